"""Many photographs: a night's frames or an archive, solved on every core or
on a cluster, one JSON record per frame.

    from halvane_tools import batch

    times = batch.TimeFromName("cam_%Y%m%d_%H%M%S")
    for record in batch.solve_batch(["night/"], (0, 0, 1), {"fisheye_fov_deg": 180}, time_from=times):
        print(record["file"], record.get("latitude_deg"), record.get("error"))

A record holds the file, the UTC used (ISO 8601) and either the fields of
``halvane solve --json`` or ``error``: a bad, undated or unsolvable file is a
record, never an exception. Records come in the order frames finish.

Where each frame's time comes from: its file name (:class:`TimeFromName`),
its EXIF DateTimeOriginal (:class:`TimeFromExif`) or a CSV of file and UTC
(:class:`TimeFromCsv`).

Work is spread over a process pool (every core by default; each process loads
the catalogue once) or, given a scheduler address, over a Dask cluster. With
``tracked=True`` the frames of one camera go, in time order, through one
halvane.FixTracker, so that a tied star pattern is broken by the camera's
previous fix; cameras run in parallel.
"""
from __future__ import annotations

import csv
import dataclasses
import datetime
import functools
import glob
import json
import math
import os
import queue
import re
import signal
import time
from pathlib import Path

from .lens import Lens, LensError
from .photo import (DEFAULT_LINE_PX, DEFAULT_MAX_CENTROIDS, DEFAULT_MIN_ALTITUDE_DEG, FITS_SUFFIXES,
                    PILLOW_SUFFIXES, PhotoError, as_lens, prepare_photo, read_mask, read_photo)

PHOTO_SUFFIXES = PILLOW_SUFFIXES | FITS_SUFFIXES | {".npy"}
# EXIF tags: the Exif sub-IFD, and in it DateTimeOriginal, its fraction of
# a second and its offset from UTC.
EXIF_IFD = 0x8769
DATE_TIME_ORIGINAL = 36867
SUBSEC_TIME_ORIGINAL = 37521
OFFSET_TIME_ORIGINAL = 36881

# Tracker bounds for an all-sky camera taking a frame every few minutes.
DEFAULT_MAX_REFERENCE_AGE_S = 900.0
DEFAULT_MAX_DISAMBIGUATION_DISTANCE_NM = 50.0


class BatchError(ValueError):
    """A batch that cannot start (no photos, an unreadable CSV of times); one line."""


class FrameError(ValueError):
    """Why one frame cannot be solved before any pixel is read (no time)."""


def as_utc(when: datetime.datetime) -> datetime.datetime:
    """A datetime in UTC; a naive one is taken as UTC already."""
    return when.astimezone(datetime.timezone.utc) if when.tzinfo else when.replace(tzinfo=datetime.timezone.utc)


# --- When each frame was taken ---------------------------------------------------


class TimeFromName:
    """The time from the file name's stem read with a strptime pattern, which
    must match the whole stem (literal text allowed:
    ``cam_%Y%m%d_%H%M%S`` reads ``cam_20260115_210005.png``). UTC unless the
    pattern holds an offset (%z)."""

    def __init__(self, pattern: str):
        if "%" not in pattern:
            raise BatchError(f"--time-from-name {pattern!r} has no strptime field such as %Y")
        self.pattern = pattern

    def __call__(self, path) -> datetime.datetime:
        stem = Path(path).stem
        try:
            return as_utc(datetime.datetime.strptime(stem, self.pattern))
        except ValueError:
            raise FrameError(f"the name {stem!r} does not match the time pattern {self.pattern!r}") from None


def parse_clock_offset(text: str) -> float:
    """Seconds from '+02:00', '-05:30', '+00:00:12' or a plain number of seconds ('12.5')."""
    match = re.fullmatch(r"([+-])(\d{1,2}):(\d{2})(?::(\d{2}(?:\.\d*)?))?", text.strip())
    if match:
        sign, hours, minutes, seconds = match.groups()
        value = int(hours) * 3600 + int(minutes) * 60 + float(seconds or 0)
        return -value if sign == "-" else value
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise ValueError(f"not a clock offset (seconds, or +HH:MM): {text!r}")
    return value


class TimeFromExif:
    """The EXIF DateTimeOriginal (with SubSecTimeOriginal when present),
    read as the camera's clock. clock_offset_s is how far that clock is
    ahead of UTC (7200 for a clock on UTC+2; 12 for one 12 s fast), so UTC
    is the reading minus it. None: the photo's own OffsetTimeOriginal, or 0
    without one."""

    def __init__(self, clock_offset_s: float | None = None):
        self.clock_offset_s = clock_offset_s

    def __call__(self, path) -> datetime.datetime:
        from PIL import Image

        try:
            with Image.open(path) as image:
                exif = image.getexif().get_ifd(EXIF_IFD)
        except Exception as e:  # whatever the reader says, the frame gets one line
            raise FrameError(f"cannot read EXIF: {str(e).splitlines()[0] if str(e) else type(e).__name__}") from None
        text = exif.get(DATE_TIME_ORIGINAL)
        if not text:
            raise FrameError("no EXIF DateTimeOriginal")
        try:
            clock = datetime.datetime.strptime(str(text).strip("\0 "), "%Y:%m:%d %H:%M:%S")
            fraction = str(exif.get(SUBSEC_TIME_ORIGINAL, "")).strip("\0 ")
            if fraction.isdigit():
                clock += datetime.timedelta(seconds=float("0." + fraction))
            offset = self.clock_offset_s
            if offset is None:
                stated = str(exif.get(OFFSET_TIME_ORIGINAL, "")).strip("\0 ")
                offset = parse_clock_offset(stated) if stated else 0.0
        except ValueError:
            raise FrameError(f"EXIF DateTimeOriginal {str(text)!r} is not a time") from None
        return (clock - datetime.timedelta(seconds=offset)).replace(tzinfo=datetime.timezone.utc)


class TimeFromCsv:
    """Times from a CSV of file and UTC (ISO 8601, no offset meaning UTC),
    one frame a row; a first row that is not a time is a header. A row's
    file is a path relative to the CSV's folder; a bare name also stands for
    a file of that name in any folder."""

    def __init__(self, path):
        from .cli import parse_utc

        path = Path(path)
        self.by_path, self.by_name, self.source = {}, {}, path
        try:
            with path.open(newline="", encoding="utf-8") as stream:
                rows = list(csv.reader(stream))
        except (OSError, UnicodeDecodeError, csv.Error) as e:
            raise BatchError(f"cannot read the times {path}: {getattr(e, 'strerror', None) or e}") from None
        for number, row in enumerate(rows, start=1):
            if not row or not "".join(row).strip():
                continue
            try:
                if len(row) < 2:
                    raise ValueError
                when = as_utc(parse_utc(row[1].strip()))
            except ValueError:
                if number == 1:
                    continue  # a header
                raise BatchError(f"{path} line {number}: expected file,UTC (ISO 8601), got {','.join(row)!r}") from None
            name = row[0].strip()
            self.by_path.setdefault((path.parent / name).resolve(), set()).add(when)
            if Path(name).name == name:
                self.by_name.setdefault(name, set()).add(when)

    def __call__(self, path) -> datetime.datetime:
        path = Path(path)
        times = self.by_path.get(path.resolve()) or self.by_name.get(path.name)
        if not times:
            raise FrameError(f"no time for this file in {self.source}")
        if len(times) > 1:
            raise FrameError(f"{self.source} gives this file {len(times)} different times")
        return next(iter(times))


# --- Which frames ------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Frame:
    """One photo to solve: its path, its time (None when it has none), its
    camera (for tracked solving) and, when it cannot be solved, why."""

    file: str
    utc: datetime.datetime | None
    camera: str
    error: str | None = None


def find_photos(inputs) -> list[str]:
    """The photos that files, directories (searched below for files with a
    photo suffix) and glob patterns name, each once, in the order given
    (directories and globs sorted). An input that names no photo is refused:
    it is a mistake in the command, not a bad frame."""
    found, seen = [], set()
    for entry in map(str, inputs):
        path = Path(entry)
        if path.is_dir():
            names = sorted(str(p) for p in path.rglob("*") if p.suffix.lower() in PHOTO_SUFFIXES and p.is_file())
        elif path.exists():
            names = [entry]
        elif glob.has_magic(entry):
            names = sorted(p for p in glob.glob(entry, recursive=True) if Path(p).is_file())
        else:
            raise BatchError(f"{entry}: no such file or directory")
        if not names:
            raise BatchError(f"{entry}: no photos there")
        for name in names:
            key = Path(name).resolve()
            if key not in seen:
                seen.add(key)
                found.append(name)
    return found


def camera_of(path, rule: str = "folder") -> str:
    """The camera a frame belongs to: "folder" (the default) is the folder
    holding it, "all" puts every frame on one camera, and anything else is a
    regular expression searched in the file's stem whose first group (or, if
    it has none, whole match) names the camera, e.g. '^(cam\\d+)_'."""
    path = Path(path)
    if rule == "folder":
        return str(path.parent)
    if rule == "all":
        return "all"
    match = re.search(rule, path.stem)
    if match is None:
        raise FrameError(f"the name {path.stem!r} does not match the camera pattern {rule!r}")
    return match.group(1) if match.groups() else match.group(0)


def plan_frames(inputs, time_from, camera_from: str = "folder") -> list[Frame]:
    """The frames of the inputs (see :func:`find_photos`) with their times
    from time_from (a callable taking the path, e.g. :class:`TimeFromName`)
    and their cameras (see :func:`camera_of`). A frame without a time or a
    camera carries the reason instead."""
    if camera_from not in ("folder", "all"):
        try:
            re.compile(camera_from)
        except re.error as e:
            raise BatchError(f"the camera pattern {camera_from!r} is not a regular expression: {e}") from None
    frames = []
    for name in find_photos(inputs):
        utc, camera, error = None, "", None
        try:
            utc = time_from(name)
            camera = camera_of(name, camera_from)
        except FrameError as e:
            error = str(e)
        frames.append(Frame(name, utc, camera, error))
    return frames


# --- Solving a frame (in a worker) ---------------------------------------------------


@dataclasses.dataclass(frozen=True)
class PhotoOptions:
    """The photo path's settings, the same for every frame: the vertical,
    the lens, the mask file and the options of solve_photo. catalog_files is
    (stars, pairs) of a catalogue other than the bundled one."""

    up_cam: tuple[float, float, float]
    lens: Lens
    mask: str | None = None
    min_altitude_deg: float = DEFAULT_MIN_ALTITUDE_DEG
    line_px: int = DEFAULT_LINE_PX
    max_centroids: int = DEFAULT_MAX_CENTROIDS
    sigma_arcmin: float | None = None
    min_matched_stars: int | None = None
    max_residual_rms_arcmin: float | None = None
    use_sun: bool = False
    catalog_files: tuple[str, str] | None = None


@dataclasses.dataclass(frozen=True)
class Tracking:
    """How each camera's FixTracker is set up. known_position (latitude,
    longitude in degrees), when given, is where every camera stood at its
    first frame: the reference that breaks a tie until the camera's own fixes
    take over."""

    max_reference_age_s: float = DEFAULT_MAX_REFERENCE_AGE_S
    max_disambiguation_distance_nm: float = DEFAULT_MAX_DISAMBIGUATION_DISTANCE_NM
    known_position: tuple[float, float] | None = None

    def __post_init__(self):
        # Refused here, with the tracker's own texts, rather than in every worker.
        import halvane

        tracker = halvane.FixTracker(max_reference_age_s=self.max_reference_age_s,
                                     max_disambiguation_distance_nm=self.max_disambiguation_distance_nm)
        if self.known_position is not None:
            tracker.set_last_known_position(*self.known_position, (2000, 1, 1, 12, 0, 0.0))


@functools.cache
def worker_catalog(catalog_files: tuple[str, str] | None):
    """The catalogue, loaded once per process and shared by its frames;
    None leaves the choice of the bundled one to each photo's field (the
    bundled catalogues are themselves loaded once per process)."""
    import halvane

    return None if catalog_files is None else halvane.Catalog(*catalog_files)


# Every frame of a batch shares the one mask file.
_cached_mask = functools.lru_cache(maxsize=2)(read_mask)


def _one_line(error: BaseException) -> str:
    text = str(error).splitlines()[0] if str(error) else ""
    return text if isinstance(error, (PhotoError, LensError)) else f"{type(error).__name__}: {text}".rstrip(": ")


def solve_frame(frame: Frame, options: PhotoOptions, tracker=None) -> dict:
    """The record of one frame: file, utc, and the fix's fields or error."""
    import halvane

    from .cli import fix_record

    record = {"file": frame.file, "utc": frame.utc.isoformat() if frame.utc else None}
    if frame.error:
        return {**record, "error": frame.error}
    start = time.perf_counter()
    try:
        image = read_photo(frame.file)
        mask = None if options.mask is None else _cached_mask(options.mask, image.shape)
        prepared = prepare_photo(image, options.up_cam, options.lens, mask=mask,
                                 min_altitude_deg=options.min_altitude_deg, line_px=options.line_px,
                                 max_centroids=options.max_centroids)
    except halvane.HalvaneError as e:
        return {**record, "error": str(e)}
    except Exception as e:  # a bad file is a line, whatever broke on it
        return {**record, "error": _one_line(e)}
    try:
        fix = prepared.solve(frame.utc, worker_catalog(options.catalog_files), tracker=tracker,
                             sigma_arcmin=options.sigma_arcmin, min_matched_stars=options.min_matched_stars,
                             max_residual_rms_arcmin=options.max_residual_rms_arcmin, use_sun=options.use_sun)
    except halvane.HalvaneError as e:
        return {**record, "error": f"no fix: {e}"}
    return {**record, **fix_record(fix, prepared, time.perf_counter() - start)}


def solve_sequence(frames, options: PhotoOptions, tracking: Tracking | None = None):
    """Records of frames solved one after the other: each alone, or (with
    tracking) through one FixTracker, so the caller gives one camera's
    frames in time order."""
    if tracking is None:
        for frame in frames:
            yield solve_frame(frame, options)
        return
    import halvane

    tracker = halvane.FixTracker(max_reference_age_s=tracking.max_reference_age_s,
                                 max_disambiguation_distance_nm=tracking.max_disambiguation_distance_nm)
    seeded = tracking.known_position is None
    for frame in frames:
        if not seeded and frame.utc is not None:
            tracker.set_last_known_position(*tracking.known_position, frame.utc)
            seeded = True
        yield {**solve_frame(frame, options, tracker), "camera": frame.camera}


def _run_task(frames, options, tracking):
    """One unit of cluster work: its records, all at once."""
    return list(solve_sequence(frames, options, tracking))


# --- Spreading the work ----------------------------------------------------------------


def tasks_of(frames, tracked: bool) -> list[tuple[Frame, ...]]:
    """Units of work: a frame each, or (tracked) each camera's frames in
    time order, undated last; cameras in order of first appearance."""
    if not tracked:
        return [(frame,) for frame in frames]
    cameras: dict[str, list[Frame]] = {}
    for frame in frames:
        cameras.setdefault(frame.camera, []).append(frame)
    far = datetime.datetime.max.replace(tzinfo=datetime.timezone.utc)
    return [tuple(sorted(group, key=lambda f: (f.utc or far, f.file))) for group in cameras.values()]


def _work(options, tracking, tasks, results):
    """A pool process: load the catalogue, then solve tasks until told to stop."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent handles Ctrl-C and ends its workers
    worker_catalog(options.catalog_files)
    for task in iter(tasks.get, None):
        for record in solve_sequence(task, options, tracking):
            results.put(record)


class _ProcessPool:
    """Worker processes fed from one queue, each streaming a record per
    frame back; a worker that dies costs only the frames it held."""

    def __init__(self, tasks, options, tracking, jobs):
        import multiprocessing

        method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
        context = multiprocessing.get_context(method)
        self._tasks, self._results = context.Queue(), context.Queue()
        for task in tasks:
            self._tasks.put(task)
        self.processes = [context.Process(target=_work, args=(options, tracking, self._tasks, self._results),
                                          daemon=True) for _ in range(jobs)]
        for process in self.processes:
            self._tasks.put(None)
            process.start()

    def records(self, expected: int):
        got = 0
        while got < expected:
            try:
                record = self._results.get(timeout=0.2)
            except queue.Empty:
                if any(p.is_alive() for p in self.processes):
                    continue
                try:  # what the last worker sent just before it ended
                    record = self._results.get(timeout=1.0)
                except queue.Empty:
                    return
            got += 1
            yield record

    def exit_codes(self) -> list:
        return [p.exitcode for p in self.processes]

    def close(self):
        for process in self.processes:
            if process.is_alive():
                process.terminate()
        for process in self.processes:
            process.join(5)
        for q in (self._tasks, self._results):
            q.cancel_join_thread()
            q.close()


def _dask_records(tasks, options, tracking, scheduler):
    try:
        from dask.distributed import Client, as_completed
    except ImportError:
        raise BatchError("--scheduler needs Dask's distributed scheduler: pip install 'dask[distributed]'") from None
    client = Client(scheduler)
    futures = client.map(_run_task, tasks, options=options, tracking=tracking, pure=False)
    task_of = dict(zip((f.key for f in futures), tasks))
    try:
        for future in as_completed(futures):
            try:
                records = future.result()
            except Exception as e:  # a lost worker, a task the cluster gave up on
                records = [{"file": f.file, "utc": f.utc.isoformat() if f.utc else None,
                            "error": f"not solved: the cluster failed the task: {_one_line(e)}"}
                           for f in task_of[future.key]]
            yield from records
    finally:
        client.cancel(futures)
        client.close()


class Batch:
    """The records of a batch as they come (an iterator); close() (or the
    end of a with block) ends whatever still runs. worker_pids are the pool
    processes' ids (empty on a cluster)."""

    def __init__(self, frames, options: PhotoOptions, *, jobs: int | None = None, tracking: Tracking | None = None,
                 scheduler=None):
        self.frames = list(frames)
        self._tasks = tasks_of(self.frames, tracking is not None)
        self._pool = None
        if scheduler is not None:
            self._records = _dask_records(self._tasks, options, tracking, scheduler)
        elif self._tasks:
            jobs = max(1, min(jobs or os.cpu_count() or 1, len(self._tasks)))
            self._pool = _ProcessPool(self._tasks, options, tracking, jobs)
            self._records = self._pool_records()
        else:
            self._records = iter(())

    @property
    def worker_pids(self) -> list[int]:
        return [p.pid for p in self._pool.processes] if self._pool else []

    def _pool_records(self):
        done = set()
        for record in self._pool.records(len(self.frames)):
            done.add(record["file"])
            yield record
        codes = ", ".join(str(c) for c in self._pool.exit_codes() if c)
        for frame in self.frames:
            if frame.file not in done:
                yield {"file": frame.file, "utc": frame.utc.isoformat() if frame.utc else None,
                       "error": f"not solved: a worker process ended unexpectedly (exit code {codes or 'unknown'})"}

    def __iter__(self):
        return self

    def __next__(self) -> dict:
        return next(self._records)

    def close(self):
        if self._pool is not None:
            self._pool.close()
        close = getattr(self._records, "close", None)
        if close:
            close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def solve_batch(inputs, up_cam, lens, *, time_from=None, camera_from: str = "folder", jobs: int | None = None,
                tracked: bool = False, tracking: Tracking | None = None, scheduler=None, **photo_options) -> Batch:
    """Solve many photos on every core, or on the Dask cluster whose
    scheduler address (or Client) is given: a :class:`Batch` iterating over
    one record per frame.

    inputs: files, directories and glob patterns, whose frames get their
    times from time_from and their cameras by camera_from (see
    :func:`plan_frames`); or the Frames that plan_frames gave. up_cam, lens
    and photo_options (mask, min_altitude_deg, line_px, max_centroids,
    sigma_arcmin, min_matched_stars, max_residual_rms_arcmin, use_sun,
    catalog_files) are those of :class:`PhotoOptions`. jobs: pool processes
    (default: one per core). tracked: one FixTracker per camera (settings
    from tracking, default :class:`Tracking`)."""
    inputs = list(inputs)
    if all(isinstance(entry, Frame) for entry in inputs):
        frames = inputs
    elif time_from is None:
        raise BatchError("say where the frames' times come from: time_from=TimeFromName(...), TimeFromExif() or"
                         " TimeFromCsv(...)")
    else:
        frames = plan_frames(inputs, time_from, camera_from)
    options = PhotoOptions(tuple(float(v) for v in up_cam), as_lens(lens), **photo_options)
    if options.mask is not None and not Path(options.mask).is_file():
        raise BatchError(f"{options.mask}: no such mask file")
    if tracked and tracking is None:
        tracking = Tracking()
    return Batch(frames, options, jobs=jobs, tracking=tracking if tracked else None, scheduler=scheduler)


# --- The output file ---------------------------------------------------------------------


def done_files(path) -> set[Path]:
    """The files that have a whole line in a results file, resolved. A last
    line cut short (the process killed while writing it) is removed, so
    that the next line appended starts on a line of its own."""
    path = Path(path)
    if not path.exists():
        return set()
    data = path.read_bytes()
    whole = data.rfind(b"\n") + 1
    if whole < len(data):
        with path.open("r+b") as stream:
            stream.truncate(whole)
    done = set()
    for line in data[:whole].splitlines():
        try:
            done.add(Path(json.loads(line)["file"]).resolve())
        except (ValueError, KeyError, TypeError):
            continue
    return done


def read_records(path) -> list[dict]:
    """The whole records of a results file."""
    records = []
    with Path(path).open(encoding="utf-8") as stream:
        for line in stream:
            try:
                records.append(json.loads(line))
            except ValueError:
                continue
    return records


class Summary:
    """Counts and figures of the records seen, for the closing lines."""

    def __init__(self):
        self.solved, self.failed, self.reasons, self.fixes = 0, 0, {}, []
        self.start = time.perf_counter()

    def add(self, record: dict) -> None:
        if "error" in record:
            self.failed += 1
            reason = self.reason(record)
            self.reasons[reason] = self.reasons.get(reason, 0) + 1
        else:
            self.solved += 1
            self.fixes.append((record["latitude_deg"], record["longitude_deg"]))

    @staticmethod
    def reason(record: dict) -> str:
        """The kind of an error: 'no fix: insufficient stars', 'cannot read the image'."""
        text = record["error"].removeprefix(f"{record['file']}: ")
        head, _, rest = text.partition(": ")
        return f"{head}: {rest.partition(':')[0]}" if head in ("no fix", "not solved") else head

    def lines(self) -> list[str]:
        import halvane

        done = self.solved + self.failed
        seconds = time.perf_counter() - self.start
        lines = [f"  frames      {done} in {seconds:.1f} s ({done / seconds if seconds > 0 else 0.0:.2f} per second):"
                 f" {self.solved} solved, {self.failed} failed"]
        for reason, count in sorted(self.reasons.items(), key=lambda item: -item[1])[:5]:
            lines.append(f"  failed      {count} x {reason}")
        if self.fixes:
            lat = sorted(f[0] for f in self.fixes)[len(self.fixes) // 2]
            lon = sorted(f[1] for f in self.fixes)[len(self.fixes) // 2]
            spread = sorted(halvane.great_circle_nm(lat, lon, *f) for f in self.fixes)
            lines.append(f"  median fix  ({lat:.5f}, {lon:.5f}); half the fixes within {spread[len(spread) // 2]:.2f} nm"
                         f" of it, 95 % within {spread[min(len(spread) - 1, int(0.95 * len(spread)))]:.2f} nm")
        return lines


def progress_bar(total: int, stream):
    """A tqdm bar on a terminal; None in a pipe or a file, or without tqdm."""
    if not stream.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        print("halvane: no progress bar without tqdm (pip install tqdm)", file=stream)
        return None
    return tqdm(total=total, unit="frame", file=stream, dynamic_ncols=True, smoothing=0.1)
