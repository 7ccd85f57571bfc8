"""A batch's frames: found under the inputs, dated, and solved one by one
(or a camera's in time order through one tracker). :mod:`halvane_tools.batch`
spreads them over processes or a cluster."""
from __future__ import annotations

import dataclasses
import datetime
import functools
import glob
import re
import time
from pathlib import Path

import halvane

from .lens import Lens, LensError
from .options import PhotoOptions
from .photo import prepare_photo
from .readers import PhotoError, is_photo_name, read_mask, read_photo, recorded_time
from .report import failure_text, fix_record
from .uncertainty import photo_uncertainty
from .times import DEFAULT_TIME_IS, TIME_IS, BatchError, FrameError, TimeFromExif, mid_exposure, recorded_exposure_s

# Tracker bounds for an all-sky camera taking a frame every few minutes.
DEFAULT_MAX_REFERENCE_AGE_S = 900.0
DEFAULT_MAX_DISAMBIGUATION_DISTANCE_NM = 50.0


# --- Which frames ------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Frame:
    """One photo to solve: its path, its time (None when it has none), its
    camera (for tracked solving) and, when it cannot be solved, why.
    time_is: which moment of the exposure utc is (start, mid or end); EXIF
    times are the start whatever the batch was told."""

    file: str
    utc: datetime.datetime | None
    camera: str
    error: str | None = None
    time_is: str = DEFAULT_TIME_IS


def find_photos(inputs) -> list[str]:
    """The photos that files, directories (searched below for files with a
    photo suffix) and glob patterns name, each once, in the order given
    (directories and globs sorted). An input that names no photo is refused:
    it is a mistake in the command, not a bad frame."""
    found, seen = [], set()
    for entry in map(str, inputs):
        path = Path(entry)
        if path.is_dir():
            names = sorted(str(p) for p in path.rglob("*") if is_photo_name(p) and p.is_file())
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


def plan_frames(inputs, time_from, camera_from: str = "folder", time_is: str = DEFAULT_TIME_IS) -> list[Frame]:
    """The frames of the inputs (see :func:`find_photos`) with their times
    from time_from (a callable taking the path, e.g. :class:`TimeFromName`)
    and their cameras (see :func:`camera_of`). A frame without a time or a
    camera carries the reason instead. time_is says which moment of the
    exposure the times are, except EXIF's, which are its start."""
    if time_is not in TIME_IS:
        raise BatchError(f"time_is must be one of {', '.join(TIME_IS)}, not {time_is!r}")
    if isinstance(time_from, TimeFromExif):
        time_is = "start"
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
        frames.append(Frame(name, utc, camera, error, time_is))
    return frames


# --- Solving a frame (in a worker) ---------------------------------------------------


@dataclasses.dataclass(frozen=True)
class FrameSettings:
    """What every frame of a batch shares: the vertical, the lens, the photo
    path's options (its mask a file, read once per process), the catalogue
    files (stars, pairs) when not the bundled one and the exposure length."""

    up_cam: tuple[float, float, float]
    lens: Lens
    photo: PhotoOptions = PhotoOptions()
    catalog_files: tuple[str, str] | None = None
    exposure_s: float | None = None  # None: each photo's recorded exposure, else 0


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
        tracker = halvane.FixTracker(max_reference_age_s=self.max_reference_age_s,
                                     max_disambiguation_distance_nm=self.max_disambiguation_distance_nm)
        if self.known_position is not None:
            tracker.set_last_known_position(*self.known_position, (2000, 1, 1, 12, 0, 0.0))


@functools.cache
def worker_catalog(catalog_files: tuple[str, str] | None):
    """The catalogue, loaded once per process and shared by its frames;
    None leaves the choice of the bundled one to each photo's field (the
    bundled catalogues are themselves loaded once per process)."""
    return None if catalog_files is None else halvane.Catalog(*catalog_files)


# Every frame of a batch shares the one mask file.
_cached_mask = functools.lru_cache(maxsize=2)(read_mask)


def _one_line(error: BaseException) -> str:
    text = str(error).splitlines()[0] if str(error) else ""
    return text if isinstance(error, (PhotoError, LensError)) else f"{type(error).__name__}: {text}".rstrip(": ")


def _record(frame: Frame, error: str | None = None, retry: bool = False) -> dict:
    record = {"file": frame.file, "utc": frame.utc.isoformat() if frame.utc else None}
    if error is not None:
        record["error"] = error
    if retry:
        record["retry"] = True
    return record


def at_mid_exposure(frame: Frame, exposure_s: float | None, hdu=None) -> Frame:
    """The frame with its time moved to mid-exposure, where a star's centroid
    sits: exposure_s long, or as long as the photo records (else 0)."""
    if frame.utc is None:
        return frame
    if exposure_s is None:
        exposure_s = recorded_exposure_s(recorded_time(frame.file, hdu))
    try:
        utc = mid_exposure(frame.utc, exposure_s, frame.time_is)
    except OverflowError:
        raise FrameError(f"the mid-exposure of {frame.utc.isoformat()} falls outside the years 1 to 9999") from None
    return dataclasses.replace(frame, utc=utc, time_is="mid")


def solve_frame(frame: Frame, settings: FrameSettings, tracker=None) -> dict:
    """The record of one frame: file, its mid-exposure utc, and the fix's
    fields or error."""
    if frame.error:
        return _record(frame, frame.error)
    start = time.perf_counter()
    options = settings.photo
    try:
        frame = at_mid_exposure(frame, settings.exposure_s, options.hdu)
    except (FrameError, ValueError) as e:
        return _record(frame, str(e))
    try:
        image = read_photo(frame.file, options.hdu, options.max_pixels)
        if options.mask is not None:
            options = options.updated(mask=_cached_mask(options.mask, image.shape))
        prepared = prepare_photo(image, settings.up_cam, settings.lens, options=options)
    except halvane.HalvaneError as e:
        return _record(frame, str(e))
    except Exception as e:  # a bad file is a line, whatever broke on it
        return _record(frame, _one_line(e))
    catalog = worker_catalog(settings.catalog_files) or prepared.bundled_catalog()
    try:
        fix = prepared.solve(frame.utc, catalog, tracker=tracker)
    except halvane.HalvaneError as e:
        return _record(frame, failure_text(e))
    total = photo_uncertainty(fix, prepared, frame.utc, catalog)
    return {**_record(frame), **fix_record(fix, prepared, time.perf_counter() - start, utc=frame.utc, catalog=catalog,
                                           total=total)}


def solve_sequence(frames, settings: FrameSettings, tracking: Tracking | None = None):
    """Records of frames solved one after the other: each alone, or (with
    tracking) through one FixTracker, so the caller gives one camera's
    frames in time order."""
    if tracking is None:
        for frame in frames:
            yield solve_frame(frame, settings)
        return
    tracker = halvane.FixTracker(max_reference_age_s=tracking.max_reference_age_s,
                                 max_disambiguation_distance_nm=tracking.max_disambiguation_distance_nm)
    seeded = tracking.known_position is None
    for frame in frames:
        if not seeded and frame.utc is not None:
            tracker.set_last_known_position(*tracking.known_position, frame.utc)
            seeded = True
        yield {**solve_frame(frame, settings, tracker), "camera": frame.camera}
