"""When each frame of a batch was taken: from its file name
(:class:`TimeFromName`), its EXIF DateTimeOriginal (:class:`TimeFromExif`) or
a CSV of file and UTC (:class:`TimeFromCsv`), chosen by
:func:`choose_time_source`."""
from __future__ import annotations

import csv
import datetime
import io
import math
import re
from pathlib import Path

from PIL import Image

from .files import read_text
from .report import parse_utc

# EXIF tags: the Exif sub-IFD, and in it DateTimeOriginal, its fraction of
# a second and its offset from UTC.
EXIF_IFD = 0x8769
DATE_TIME_ORIGINAL = 36867
SUBSEC_TIME_ORIGINAL = 37521
OFFSET_TIME_ORIGINAL = 36881


class BatchError(ValueError):
    """A batch that cannot start (no photos, an unreadable CSV of times); one line."""


class FrameError(ValueError):
    """Why one frame cannot be solved before any pixel is read (no time)."""


def utc_tuple(utc) -> tuple:
    """(year, month, day, hour, minute, second) in UTC of a datetime, or the tuple given."""
    if isinstance(utc, datetime.datetime):
        u = utc.astimezone(datetime.timezone.utc)
        return (u.year, u.month, u.day, u.hour, u.minute, u.second + u.microsecond / 1e6)
    return tuple(utc)


def as_utc(when: datetime.datetime) -> datetime.datetime:
    """A datetime in UTC; a naive one is taken as UTC already. ValueError
    when its UTC falls outside the years 1 to 9999."""
    if not when.tzinfo:
        return when.replace(tzinfo=datetime.timezone.utc)
    try:
        return when.astimezone(datetime.timezone.utc)
    except OverflowError:
        raise ValueError(f"{when.isoformat()} falls outside the years 1 to 9999 in UTC") from None


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
            utc = clock - datetime.timedelta(seconds=offset)
        except (ValueError, OverflowError):
            raise FrameError(f"EXIF DateTimeOriginal {str(text)!r} is not a time") from None
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
