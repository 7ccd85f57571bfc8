"""When each frame of a batch was taken: from its file name
(:class:`TimeFromName`), its EXIF DateTimeOriginal (:class:`TimeFromExif`) or
a CSV of file and UTC (:class:`TimeFromCsv`), chosen by
:func:`choose_time_source`."""
from __future__ import annotations

import argparse
import csv
import datetime
import io
import math
from pathlib import Path

from .files import read_text
from .readers import exif_time, parse_offset


class BatchError(ValueError):
    """A batch that cannot start (no photos, an unreadable CSV of times); one line."""


class FrameError(ValueError):
    """Why one frame cannot be solved before any pixel is read (no time)."""


# The zone of a time written without an offset: UTC, under a name of its own
# so that a photo whose clock was local can refuse it.
ASSUMED_UTC = datetime.timezone(datetime.timedelta(0), "UTC (no offset given)")


class UtcRangeError(ValueError):
    """A time that is valid ISO 8601 but falls outside the years 1 to 9999 in UTC."""


def parse_utc(text: str) -> datetime.datetime:
    """ISO 8601; a time without an offset is taken as UTC (tzinfo
    ASSUMED_UTC). UtcRangeError (a ValueError) when its UTC falls outside
    the years 1 to 9999."""
    when = datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    if not when.tzinfo:
        return when.replace(tzinfo=ASSUMED_UTC)
    try:  # 9999-12-31T23:59:59-14:00 reads, but no datetime holds its UTC
        when.astimezone(datetime.timezone.utc)
    except OverflowError:
        raise UtcRangeError(f"{text!r} falls outside the years 1 to 9999 in UTC") from None
    return when


def utc_text(when: datetime.datetime) -> str:
    """'2026-01-15 21:00:05 UTC' for any aware datetime, whatever its offset."""
    return f"{when.astimezone(datetime.timezone.utc):%Y-%m-%d %H:%M:%S} UTC"


def utc_tuple(utc) -> tuple:
    """(year, month, day, hour, minute, second) in UTC of a datetime, or the tuple given."""
    if isinstance(utc, datetime.datetime):
        u = utc.astimezone(datetime.timezone.utc)
        return (u.year, u.month, u.day, u.hour, u.minute, u.second + u.microsecond / 1e6)
    return tuple(utc)


def utc_datetime(utc) -> datetime.datetime:
    """An aware datetime in UTC from a (year, month, day, hour, minute,
    second) tuple in UTC, or from an aware datetime."""
    if isinstance(utc, datetime.datetime):
        return utc.astimezone(datetime.timezone.utc)
    year, month, day, hour, minute, second = utc_tuple(utc)
    return datetime.datetime(int(year), int(month), int(day), int(hour), int(minute),
                             tzinfo=datetime.timezone.utc) + datetime.timedelta(seconds=float(second))


def as_utc(when: datetime.datetime) -> datetime.datetime:
    """A datetime in UTC; a naive one is taken as UTC already. ValueError
    when its UTC falls outside the years 1 to 9999."""
    if not when.tzinfo:
        return when.replace(tzinfo=datetime.timezone.utc)
    try:
        return when.astimezone(datetime.timezone.utc)
    except OverflowError:
        raise ValueError(f"{when.isoformat()} falls outside the years 1 to 9999 in UTC") from None


TIME_IS = ("start", "mid", "end")
# Cameras and FITS headers stamp the exposure's start, and so does a user
# noting the moment of pressing the shutter.
DEFAULT_TIME_IS = "start"


class TimeError(ValueError):
    """A time that cannot be taken as the exposure's; one line saying what to give."""


def mid_exposure(when: datetime.datetime, exposure_s: float, time_is: str = DEFAULT_TIME_IS) -> datetime.datetime:
    """The middle of an exposure whose start, middle or end (time_is) is
    ``when``: a star's centroid sits at its mid-exposure place."""
    if time_is not in TIME_IS:
        raise ValueError(f"time_is must be one of {', '.join(TIME_IS)}, not {time_is!r}")
    if not (math.isfinite(exposure_s) and exposure_s >= 0):
        raise TimeError(f"the exposure must be a finite number of seconds, at least 0 (got {exposure_s!r})")
    half = datetime.timedelta(seconds=exposure_s / 2.0)
    return when + half if time_is == "start" else when - half if time_is == "end" else when


def _offset_text(clock: datetime.datetime) -> str:
    offset = clock.utcoffset() or datetime.timedelta(0)
    sign, minutes = ("-" if offset < datetime.timedelta(0) else "+"), abs(int(offset.total_seconds())) // 60
    return f"{sign}{minutes // 60:02d}:{minutes % 60:02d}"


def recorded_exposure_s(recorded) -> float:
    """The exposure a photo records (a RecordedTime, or None), else 0."""
    return recorded.exposure_s if recorded is not None and recorded.exposure_s is not None else 0.0


def exposure_time(given: datetime.datetime | None, recorded, *, exposure_s: float | None = None,
                  time_is: str = DEFAULT_TIME_IS) -> tuple[datetime.datetime, float, list[str]]:
    """(mid-exposure UTC, exposure seconds, warnings) of a photo.

    given: the time the user gave (from :func:`parse_utc`; its start, middle
    or end by time_is), or None to take the photo's own; recorded: the
    photo's :class:`halvane_tools.readers.RecordedTime` or None. The
    exposure is exposure_s, else the photo's own, else 0. Refused
    (TimeError): no time at all; a time given without an offset for a
    photo whose clock says it was local. Warned: a given time more than a
    second from the photo's own, and a photo clock of unknown zone taken as
    UTC."""
    clock = recorded.clock if recorded is not None else None
    if exposure_s is None:
        exposure_s = recorded_exposure_s(recorded)
    warnings = []
    if given is None:
        if clock is None:
            raise TimeError("the photo records no time (EXIF DateTimeOriginal or FITS DATE-OBS): give --utc")
        if clock.tzinfo is None:
            warnings.append(f"the photo's {recorded.source} time {clock:%Y-%m-%d %H:%M:%S} has no offset from UTC:"
                            " taken as UTC")
            clock = clock.replace(tzinfo=datetime.timezone.utc)
        return mid_exposure(as_utc(clock), exposure_s, "start"), exposure_s, warnings
    if given.tzinfo is ASSUMED_UTC and recorded is not None and recorded.says_local:
        raise TimeError(f"the photo's clock was local time (UTC{_offset_text(clock)}): give --utc with its offset,"
                        f" e.g. {given.replace(tzinfo=None).isoformat()}{_offset_text(clock)}, or with Z if it is UTC")
    mid = mid_exposure(as_utc(given), exposure_s, time_is)
    if clock is not None:
        stated = clock if clock.tzinfo else clock.replace(tzinfo=datetime.timezone.utc)
        start = mid - datetime.timedelta(seconds=exposure_s / 2.0)
        apart_s = (start - stated).total_seconds()
        if abs(apart_s) > 1.0:
            zone = "" if clock.tzinfo else " (no offset recorded, read as UTC)"
            warnings.append(f"the exposure started at {utc_text(start)} by --utc but at {utc_text(stated)} by the"
                            f" photo's {recorded.source}{zone}: {abs(apart_s):.1f} s apart; solving with --utc")
    return mid, exposure_s, warnings


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
    try:
        return parse_offset(text)
    except ValueError:
        pass
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
        try:
            clock, stated_offset_s, _ = exif_time(path)
        except ValueError as e:
            raise FrameError(str(e)) from None
        except Exception as e:  # whatever the reader says, the frame gets one line
            raise FrameError(f"cannot read EXIF: {str(e).splitlines()[0] if str(e) else type(e).__name__}") from None
        if clock is None:
            raise FrameError("no EXIF DateTimeOriginal")
        offset = self.clock_offset_s if self.clock_offset_s is not None else (stated_offset_s or 0.0)
        try:  # an offset of 1e300 seconds reads as a number but reaches no date
            utc = clock - datetime.timedelta(seconds=offset)
        except OverflowError:
            raise FrameError(f"the clock offset {offset:g} s takes {clock.isoformat()} outside the years 1 to 9999")
        return utc.replace(tzinfo=datetime.timezone.utc)


class TimeFromCsv:
    """Times from a CSV of file and UTC (ISO 8601, no offset meaning UTC),
    one frame a row; a first row that is not a time is a header. A row's
    file is a path relative to the CSV's folder; a bare name also stands for
    a file of that name in any folder."""

    def __init__(self, path):
        path = Path(path)
        self.by_path, self.by_name, self.source = {}, {}, path
        try:
            rows = list(csv.reader(io.StringIO(read_text(path), newline="")))
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


def choose_time_source(*, name_pattern: str | None = None, times_csv=None, from_exif: bool = False,
                       clock_offset_s: float | None = None):
    """The time source of a batch: the name pattern, else the CSV, else EXIF
    (read with clock_offset_s, which only EXIF takes)."""
    if name_pattern:
        source = TimeFromName(name_pattern)
    elif times_csv:
        source = TimeFromCsv(times_csv)
    else:
        source = TimeFromExif(clock_offset_s)
    if clock_offset_s is not None and not from_exif:
        raise BatchError("--clock-offset goes with --time-from-exif")
    return source


def clock_offset_argument(text: str) -> float:
    """--clock-offset: seconds, or +HH:MM, as an argparse type."""
    try:
        return parse_clock_offset(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
