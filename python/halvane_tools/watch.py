"""Live solving of a folder: each photo a camera writes there is solved as
soon as it is whole, and its fix goes to the outputs (NMEA, MAVLink, a
JSON-lines file) and the terminal.

    from halvane_tools import watch

    settings = watch.WatchSettings(up_cam=(0, 0, 1), lens={"fisheye_fov_deg": 180})
    with watch.Watcher("incoming/", settings, outputs=[...]) as watcher:
        watcher.run()          # until Ctrl-C (or watcher.stop())

Which photo is whole: a writer may take seconds over a file. A new file is
read when first seen and again each time its size and modification time
have held still for one poll; it is solved the first time it reads
without error and without changing under the reader. A file that still
does not read after ``give_up_s`` without change is refused. Writers that
write a temporary name and rename it are served at once (names starting
with a dot and suffixes that are not photos are never read).

The vertical of each frame is fixed (``up_cam``, or the lens file's) or
comes from an :class:`AttitudeLog` interpolated at the frame's
mid-exposure time. One ``halvane.FixTracker`` carries the fixes from frame
to frame, so that a tied star pattern is broken by the last fix.
"""
from __future__ import annotations

import bisect
import csv
import dataclasses
import datetime
import json
import math
import os
import threading
import time
from pathlib import Path

import numpy as np

import halvane

from .batch import DEFAULT_MAX_DISAMBIGUATION_DISTANCE_NM, DEFAULT_MAX_REFERENCE_AGE_S
from .lens import Lens, as_lens
from .nmea import Position
from .options import PhotoOptions
from .photo import prepare_photo
from .readers import PHOTO_SUFFIXES, PhotoError, read_mask, read_photo
from .report import fix_record, parse_utc
from .times import FrameError, as_utc
from .uncertainty import photo_uncertainty

DEFAULT_POLL_S = 0.05
DEFAULT_GIVE_UP_S = 10.0


class WatchError(ValueError):
    """A watch that cannot start (no such folder, an unusable attitude log); one line."""


# --- The vertical from an attitude log ---------------------------------------------------


def up_from_pitch_roll(level_up, pitch_deg: float, roll_deg: float) -> np.ndarray:
    """The vertical in the camera frame of a camera turned by pitch about
    its x axis, then by roll about its y axis, from a mounting whose level
    vertical is level_up (right-handed turns, degrees)."""
    p, r = math.radians(pitch_deg), math.radians(roll_deg)
    turn_x = np.array([[1.0, 0.0, 0.0], [0.0, math.cos(p), -math.sin(p)], [0.0, math.sin(p), math.cos(p)]])
    turn_y = np.array([[math.cos(r), 0.0, math.sin(r)], [0.0, 1.0, 0.0], [-math.sin(r), 0.0, math.cos(r)]])
    # A fixed direction seen from a turned camera: the inverse turn.
    up = (turn_y @ turn_x).T @ np.asarray(level_up, dtype=np.float64)
    return up / np.linalg.norm(up)


def _slerp(a: np.ndarray, b: np.ndarray, fraction: float) -> np.ndarray:
    angle = math.acos(max(-1.0, min(1.0, float(a @ b))))
    if angle < 1e-9:
        return a
    return (math.sin((1.0 - fraction) * angle) * a + math.sin(fraction * angle) * b) / math.sin(angle)


def _log_time(text: str) -> datetime.datetime:
    text = text.strip()
    try:
        return datetime.datetime.fromtimestamp(float(text), datetime.timezone.utc)
    except ValueError:
        return as_utc(parse_utc(text))


class AttitudeLog:
    """A CSV of the camera's attitude over time: a header naming the columns
    and one row per sample, in any order. The time column is ``utc`` (ISO
    8601, no offset meaning UTC) or ``time`` (the same, or Unix seconds);
    the attitude is either ``pitch_deg`` and ``roll_deg`` (turns of the
    camera from its level mounting, see :func:`up_from_pitch_roll`) or
    ``up_x``, ``up_y``, ``up_z`` (the vertical in the camera frame).

    :meth:`up_at` gives the vertical at a time, interpolated along the great
    circle between the samples around it; a time outside the samples' span
    is refused."""

    def __init__(self, path, level_up=(0.0, 0.0, 1.0)):
        self.path = Path(path)
        try:
            with self.path.open(newline="", encoding="utf-8") as stream:
                rows = list(csv.DictReader(stream))
        except (OSError, UnicodeDecodeError, csv.Error) as e:
            raise WatchError(f"cannot read the attitude log {path}: {getattr(e, 'strerror', None) or e}") from None
        columns = {name.strip().lower() for name in (rows[0].keys() if rows else ()) if name}
        time_column = "utc" if "utc" in columns else "time" if "time" in columns else None
        if {"up_x", "up_y", "up_z"} <= columns:
            kind = "vector"
        elif {"pitch_deg", "roll_deg"} <= columns:
            kind = "angles"
        else:
            kind = None
        if time_column is None or kind is None:
            raise WatchError(f"{path}: the attitude log needs a header with utc (or time) and pitch_deg, roll_deg"
                             " or up_x, up_y, up_z")
        samples = []
        for number, row in enumerate(rows, start=2):
            row = {(k or "").strip().lower(): (v or "") for k, v in row.items()}
            try:
                when = _log_time(row[time_column])
                if kind == "vector":
                    up = np.array([float(row[k]) for k in ("up_x", "up_y", "up_z")])
                    if not (np.isfinite(up).all() and np.linalg.norm(up) > 0):
                        raise ValueError
                    up = up / np.linalg.norm(up)
                else:
                    pitch, roll = float(row["pitch_deg"]), float(row["roll_deg"])
                    if not (math.isfinite(pitch) and math.isfinite(roll)):
                        raise ValueError
                    up = up_from_pitch_roll(level_up, pitch, roll)
            except (ValueError, OverflowError, OSError):
                raise WatchError(f"{path} line {number}: not a time and an attitude:"
                                 f" {','.join(row.values())!r}") from None
            samples.append((when, up))
        if not samples:
            raise WatchError(f"{path}: the attitude log has no samples")
        samples.sort(key=lambda s: s[0])
        self.times = [s[0] for s in samples]
        self.ups = [s[1] for s in samples]

    @property
    def span(self) -> tuple[datetime.datetime, datetime.datetime]:
        return self.times[0], self.times[-1]

    def up_at(self, utc: datetime.datetime) -> tuple[float, float, float]:
        """The vertical at utc; FrameError when utc lies outside the log."""
        first, last = self.span
        if not first <= utc <= last:
            raise FrameError(f"the attitude log covers {first.isoformat()} to {last.isoformat()};"
                             f" the frame's mid-exposure {utc.isoformat()} is outside it")
        i = bisect.bisect_right(self.times, utc)
        if i == len(self.times):
            return tuple(float(v) for v in self.ups[-1])
        before, after = self.times[i - 1], self.times[i]
        fraction = (utc - before) / (after - before) if after > before else 0.0
        up = _slerp(self.ups[i - 1], self.ups[i], fraction)
        return tuple(float(v) for v in up / np.linalg.norm(up))


# --- Which photos have landed ----------------------------------------------------------------


@dataclasses.dataclass
class _Pending:
    size: int
    mtime_ns: int
    changed_at: float  # monotonic seconds of the last change seen
    order: int
    tried: bool = False


@dataclasses.dataclass(frozen=True)
class Landed:
    """A photo that landed: its pixels (2-D uint16) or why it cannot be read,
    and when it was first seen (time.time() seconds) and found whole."""

    path: Path
    image: np.ndarray | None
    error: str | None
    seen_s: float
    mtime_s: float


class FolderWatch:
    """The photos that land in a folder (not below it), each once, whole.
    include_existing: also the photos already there (in name order);
    give_up_s: how long a file that does not read may stand still before it
    is refused."""

    def __init__(self, folder, *, include_existing: bool = False, give_up_s: float = DEFAULT_GIVE_UP_S,
                 read=read_photo):
        self.folder = Path(folder)
        if not self.folder.is_dir():
            raise WatchError(f"{folder}: no such directory")
        self.give_up_s, self._read = give_up_s, read
        self._pending: dict[Path, _Pending] = {}
        self._seen_at: dict[Path, float] = {}
        self._done: set[str] = set() if include_existing else set(self._names())
        self._count = 0

    def _names(self) -> list[str]:
        try:
            with os.scandir(self.folder) as entries:
                return sorted(e.name for e in entries if not e.name.startswith(".")
                              and os.path.splitext(e.name)[1].lower() in PHOTO_SUFFIXES and e.is_file())
        except OSError:
            return []

    def poll(self) -> list[Landed]:
        """The photos found whole (or refused) since the last poll, in the
        order they were first seen."""
        now = time.monotonic()
        names = self._names()
        # Forget what has left the folder, so that a long watch does not grow; a name used again is new.
        self._done.intersection_update(names)
        for name in names:
            if name in self._done:
                continue
            path = self.folder / name
            if path not in self._pending:
                self._pending[path] = _Pending(-1, -1, now, self._count)
                self._seen_at[path] = time.time()
                self._count += 1
        landed = []
        for path, state in sorted(self._pending.items(), key=lambda item: item[1].order):
            result = self._check(path, state, now)
            if result is not None:
                landed.append(result)
                del self._pending[path]
                self._done.add(path.name)
                self._seen_at.pop(path, None)
        return landed

    def _check(self, path: Path, state: _Pending, now: float) -> Landed | None:
        try:
            before = path.stat()
        except OSError:
            # Gone again (renamed away, deleted): forget it.
            self._done.add(path.name)
            return None
        moved = (before.st_size, before.st_mtime_ns) != (state.size, state.mtime_ns)
        if moved:
            state.size, state.mtime_ns, state.changed_at = before.st_size, before.st_mtime_ns, now
        # Read when first seen, then only once it stands still: a growing file is not read again and again.
        if before.st_size == 0 or (moved and state.tried):
            return None
        state.tried = True
        seen = self._seen_at[path]
        try:
            image = self._read(path)
        except PhotoError as e:
            if now - state.changed_at < self.give_up_s:
                return None
            return Landed(path, None, str(e), seen, before.st_mtime_ns / 1e9)
        after = path.stat()
        if (after.st_size, after.st_mtime_ns) != (before.st_size, before.st_mtime_ns):
            state.size, state.mtime_ns, state.changed_at = after.st_size, after.st_mtime_ns, now
            return None
        return Landed(path, image, None, seen, after.st_mtime_ns / 1e9)

    @property
    def waiting(self) -> int:
        """Files seen but not yet whole."""
        return len(self._pending)


# --- Solving what landed ----------------------------------------------------------------------


class TimeFromArrival:
    """The time a file was last written (its modification time): the end
    of the exposure for a camera that writes as soon as it has read out."""

    end_of_exposure = True

    def __call__(self, path) -> datetime.datetime:
        return datetime.datetime.fromtimestamp(Path(path).stat().st_mtime, datetime.timezone.utc)


@dataclasses.dataclass(frozen=True)
class WatchSettings:
    """What every frame shares. up_cam: the fixed vertical (None: the
    attitude log's, or the lens file's); attitude: an :class:`AttitudeLog`;
    time_from: a callable giving a path's time (``halvane_tools.times``
    sources, or :class:`TimeFromArrival`); exposure_s: the exposure, so that
    the fix is made at mid-exposure (a time source stating the shutter's
    opening is moved forward by half of it, the arrival back by half). The
    photo options' up_sigma_arcmin and time_sigma_s size the total ellipse."""

    lens: Lens | dict | str
    up_cam: tuple[float, float, float] | None = None
    attitude: AttitudeLog | None = None
    photo: PhotoOptions = PhotoOptions()
    time_from: object = dataclasses.field(default_factory=TimeFromArrival)
    exposure_s: float = 0.0
    max_reference_age_s: float = DEFAULT_MAX_REFERENCE_AGE_S
    max_disambiguation_distance_nm: float = DEFAULT_MAX_DISAMBIGUATION_DISTANCE_NM


def mid_exposure(landed_path, time_from, exposure_s: float) -> datetime.datetime:
    when = time_from(landed_path)
    half = datetime.timedelta(seconds=exposure_s / 2.0)
    return when - half if getattr(time_from, "end_of_exposure", False) else when + half


class Watcher:
    """The loop: poll the folder, solve each landed photo, send its record.

    outputs: objects with send(Position) and close() (see
    :mod:`halvane_tools.nmea`), fed each fix; on_record: called with every
    record (fix or refusal), e.g. to print it or append it to a file."""

    def __init__(self, folder, settings: WatchSettings, *, outputs=(), on_record=None, catalog=None,
                 include_existing: bool = False, poll_s: float = DEFAULT_POLL_S,
                 give_up_s: float = DEFAULT_GIVE_UP_S):
        self.settings = settings
        self.lens = as_lens(settings.lens)
        if settings.up_cam is None and settings.attitude is None and self.lens.up_cam is None:
            raise WatchError("give the vertical: --up X Y Z, a lens file with up_cam, or --attitude LOG")
        self.folder = FolderWatch(folder, include_existing=include_existing, give_up_s=give_up_s)
        self.outputs, self.on_record = list(outputs), on_record
        self.catalog = catalog  # None: the bundled one each photo's field chooses
        self.poll_s = poll_s
        self.tracker = halvane.FixTracker(max_reference_age_s=settings.max_reference_age_s,
                                          max_disambiguation_distance_nm=settings.max_disambiguation_distance_nm)
        self._stop = threading.Event()
        self._mask = None

    def stop(self):
        """Ends :meth:`run` after the frame in hand (safe from any thread)."""
        self._stop.set()

    @property
    def stopping(self) -> bool:
        return self._stop.is_set()

    def _options(self, image: np.ndarray) -> PhotoOptions:
        options = self.settings.photo
        if isinstance(options.mask, (str, Path)):
            if self._mask is None or self._mask.shape != image.shape:
                self._mask = read_mask(options.mask, image.shape)
            options = options.updated(mask=self._mask)
        return options

    def _vertical(self, utc: datetime.datetime):
        if self.settings.attitude is not None:
            return self.settings.attitude.up_at(utc)
        return self.settings.up_cam  # None: the lens file's

    def solve(self, landed: Landed) -> dict:
        """The record of a landed photo: file, utc and the fix's fields
        (its ellipse and covariance the total ones), or error."""
        start = time.perf_counter()
        record = {"file": str(landed.path), "utc": None}
        try:
            utc = mid_exposure(landed.path, self.settings.time_from, self.settings.exposure_s)
            record["utc"] = utc.isoformat()
            if landed.error:
                raise PhotoError(landed.error)
            up_cam = self._vertical(utc)
            prepared = prepare_photo(landed.image, up_cam, self.lens, options=self._options(landed.image))
        except (FrameError, PhotoError, ValueError, halvane.HalvaneError) as e:
            return {**record, "error": str(e).splitlines()[0] if str(e) else type(e).__name__}
        try:
            catalog = self.catalog or prepared.bundled_catalog()
            fix = prepared.solve(utc, catalog, tracker=self.tracker)
        except halvane.HalvaneError as e:
            return {**record, "error": f"no fix: {e}"}
        try:
            total = photo_uncertainty(fix, prepared, utc, catalog)
        except (ValueError, ArithmeticError, np.linalg.LinAlgError):
            total = None  # the stars' ellipse still goes out
        record.update(fix_record(fix, prepared, time.perf_counter() - start, utc=utc, catalog=catalog, total=total))
        if self.settings.attitude is not None:
            record["up_cam"] = list(prepared.up_cam)
        return record

    def send(self, record: dict) -> None:
        position = Position.from_record(record)
        if position is not None:
            for output in self.outputs:
                output.send(position)
        if self.on_record is not None:
            self.on_record(record)

    def step(self) -> int:
        """One poll: solve and send what landed; the number of frames."""
        landed = self.folder.poll()
        for item in landed:
            try:
                record = self.solve(item)
            except Exception as e:  # whatever broke on this frame, the next one is solved
                text = str(e).splitlines()[0] if str(e) else ""
                record = {"file": str(item.path), "utc": None,
                          "error": f"{type(e).__name__}: {text}".rstrip(": ")}
            self.send(record)
        return len(landed)

    def run(self, max_frames: int | None = None) -> int:
        """Poll until stopped (or max_frames frames); the frames handled."""
        handled = 0
        while not self._stop.is_set() and (max_frames is None or handled < max_frames):
            handled += self.step()
            self._stop.wait(self.poll_s)
        return handled

    def close(self):
        for output in self.outputs:
            output.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class JsonLines:
    """Records appended to a file, one whole flushed line each."""

    def __init__(self, path):
        self.path = Path(path)
        self._stream = self.path.open("a", encoding="utf-8")

    def write(self, record: dict) -> None:
        self._stream.write(json.dumps(record) + "\n")
        self._stream.flush()

    def close(self):
        self._stream.close()


# --- Health on the terminal ------------------------------------------------------------------


class Health:
    """The line of each record for the terminal: the fix, its stars and
    ellipse, or why the frame was refused and how old the last fix is."""

    def __init__(self):
        self.solved, self.refused, self.last_fix_s = 0, 0, None

    def line(self, record: dict, now_s: float | None = None) -> str:
        from .report import format_position

        now_s = time.time() if now_s is None else now_s
        name = Path(record["file"]).name
        stamp = record["utc"][11:19] if record.get("utc") else "--:--:--"
        if "error" in record:
            self.refused += 1
            age = "no fix yet" if self.last_fix_s is None else f"last fix {now_s - self.last_fix_s:.0f} s ago"
            return f"{stamp}  {name}  refused: {record['error']}  ({age}; {self.refused} refused)"
        self.solved += 1
        self.last_fix_s = now_s
        major, minor, orientation = record["ellipse_2sigma_nm"]
        return (f"{stamp}  {name}  {format_position(record['latitude_deg'], record['longitude_deg'])}"
                f"  {len(record['matched_hr_ids'])} stars  2-sigma {major:.2f} x {minor:.2f} nm"
                f" {orientation % 180.0:05.1f}°  {record['elapsed_s'] * 1000.0:.0f} ms")
