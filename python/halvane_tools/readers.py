"""Photos and masks read by content: the pixels of a file as stored
(:func:`read_image_array`), a photo as 16-bit luminance (:func:`read_photo`,
:func:`luminance`), an exclusion mask (:func:`read_mask`) and the time and
exposure the file records (:func:`recorded_time`).

The format is told by the file's first bytes, not its name, so a
``.fits.gz`` or a renamed file reads as what it holds: astropy (an extra)
reads FITS, plain or gzip/bzip2-compressed or as tiles (``.fz``); tifffile
reads TIFF at full depth (16-bit colour included); imagecodecs (an extra)
reads 16-bit colour PNG at full depth; rawpy (an extra) reads camera raw;
NumPy reads .npy; Pillow reads the rest (JPEG, PNG, PGM...).
"""
from __future__ import annotations

import dataclasses
import datetime
import importlib
import math
import re
from pathlib import Path

import numpy as np
from PIL import Image

from .files import is_regular, open_regular

# Rec. 709 luma weights, applied to the stored (gamma-encoded) values.
LUMA_WEIGHTS = (0.2126, 0.7152, 0.0722)

PILLOW_SUFFIXES = {".jpg", ".jpeg", ".png", ".tif", ".tiff", ".pgm", ".ppm", ".pnm", ".bmp", ".webp"}
FITS_SUFFIXES = {".fits", ".fit", ".fts", ".fz"}
COMPRESSED_SUFFIXES = {".gz", ".bz2"}
# Camera raw: many are TIFF inside, so the name decides between the two readers.
RAW_SUFFIXES = {".dng", ".cr2", ".cr3", ".crw", ".nef", ".nrw", ".arw", ".srf", ".sr2", ".raf", ".orf", ".rw2",
                ".pef", ".srw", ".x3f", ".3fr", ".iiq", ".erf", ".mef", ".mos", ".kdc", ".rwl"}
PHOTO_SUFFIXES = PILLOW_SUFFIXES | FITS_SUFFIXES | RAW_SUFFIXES | {".npy"}

# The image a multi-image FITS file is read from by default: a meteor
# camera's average of its frames (its maximum holds every meteor and plane).
DEFAULT_FITS_IMAGE = "AVEPIXEL"


# EXIF tags: the Exif sub-IFD, and in it DateTimeOriginal, its fraction of
# a second, its offset from UTC and the exposure time.
EXIF_IFD = 0x8769
DATE_TIME_ORIGINAL = 36867
SUBSEC_TIME_ORIGINAL = 37521
OFFSET_TIME_ORIGINAL = 36881
EXPOSURE_TIME = 33434


# The most pixels a photo may have unless the caller allows more
# (--max-pixels): above today's largest camera sensors (about 100 Mpix),
# and what one process can hold through the photo path (some 17 bytes a
# pixel at its peak). Checked against the size a file states before its
# pixels are decoded, so a small compressed file cannot claim gigabytes.
DEFAULT_MAX_PIXELS = 120_000_000


PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
PNG_HEADER_BYTES = 26  # the signature and the IHDR chunk up to its colour type


class PhotoError(ValueError):
    """A photo or mask that cannot be used; the text is one line."""


def check_pixel_count(path, shape, max_pixels: int | None) -> None:
    """Refuse an image whose stated shape (height, width[, channels]) holds
    more than max_pixels pixels (None: no limit), before it is decoded."""
    pixels = 1
    for size in shape[:2]:
        pixels *= int(size)
    if max_pixels is not None and pixels > max_pixels:
        raise PhotoError(f"{path}: the image has {pixels} pixels ({shape[1]} x {shape[0]}), more than the limit of"
                         f" {max_pixels}; give --max-pixels to allow a larger photo")
@dataclasses.dataclass(frozen=True)
class RecordedTime:
    """When a file says its exposure was taken. clock: the time as stated,
    aware when the file gives its offset (EXIF OffsetTimeOriginal) or is
    UTC by convention (FITS DATE-OBS), naive when it is a camera clock of
    unknown zone; exposure_s: the exposure length when recorded; source:
    'EXIF' or 'FITS header'. Cameras and FITS both stamp the exposure's
    start."""

    clock: datetime.datetime | None
    exposure_s: float | None
    source: str

    @property
    def says_local(self) -> bool:
        """The file's clock is local time at a stated offset other than zero."""
        offset = self.clock.utcoffset() if self.clock is not None and self.clock.tzinfo else None
        return bool(offset)


def _clean(value) -> str:
    return str(value).strip("\0 ") if value is not None else ""


def parse_offset(text: str) -> float:
    """Seconds east of UTC from '+02:00', '-05:30' or '+00:00:12'; ValueError otherwise."""
    match = re.fullmatch(r"([+-])(\d{1,2}):(\d{2})(?::(\d{2}(?:\.\d*)?))?", text.strip())
    if not match:
        raise ValueError(f"not an offset from UTC: {text!r}")
    sign, hours, minutes, seconds = match.groups()
    value = int(hours) * 3600 + int(minutes) * 60 + float(seconds or 0)
    return -value if sign == "-" else value


def exif_time(path: str | Path) -> tuple[datetime.datetime | None, float | None, float | None]:
    """(clock, offset_s, exposure_s) of a photo's EXIF: DateTimeOriginal
    with SubSecTimeOriginal as a naive datetime (None without it), its
    OffsetTimeOriginal in seconds east of UTC (None without it) and its
    ExposureTime. ValueError "EXIF DateTimeOriginal '...' is not a time"
    for a date that does not parse; whatever Pillow raises for a file it
    cannot open."""
    with open_regular(path) as stream, Image.open(stream) as image:
        exif = image.getexif().get_ifd(EXIF_IFD)
    exposure = exif.get(EXPOSURE_TIME)
    try:
        exposure_s = float(exposure) if exposure is not None else None
    except (TypeError, ValueError, ZeroDivisionError):
        exposure_s = None
    if exposure_s is not None and not (math.isfinite(exposure_s) and exposure_s >= 0):
        exposure_s = None
    text = exif.get(DATE_TIME_ORIGINAL)
    if not text:
        return None, None, exposure_s
    try:
        clock = datetime.datetime.strptime(_clean(text), "%Y:%m:%d %H:%M:%S")
        fraction = _clean(exif.get(SUBSEC_TIME_ORIGINAL))
        if fraction.isdigit():
            clock += datetime.timedelta(seconds=float("0." + fraction))
        stated = _clean(exif.get(OFFSET_TIME_ORIGINAL))
        offset_s = parse_offset(stated) if stated else None
    except ValueError:
        raise ValueError(f"EXIF DateTimeOriginal {str(text)!r} is not a time") from None
    return clock, offset_s, exposure_s


def _fits_time(path: Path, hdu) -> RecordedTime:
    fits = _extra("astropy.io.fits", "astropy", "FITS", path)
    with fits.open(path, memmap=False) as hdus:
        header = choose_fits_image(hdus, hdu).header
        primary = hdus[0].header

    def card(key):
        return header.get(key, primary.get(key))

    exposure = card("EXPTIME") if card("EXPTIME") is not None else card("EXPOSURE")
    try:
        exposure_s = float(exposure) if exposure is not None else None
    except (TypeError, ValueError):
        exposure_s = None
    if exposure_s is not None and not (math.isfinite(exposure_s) and exposure_s >= 0):
        exposure_s = None
    date = _clean(card("DATE-OBS"))
    scale = _clean(card("TIMESYS")).upper()
    clock = None
    if date and scale in ("", "UTC"):
        if "T" not in date and _clean(card("TIME-OBS")):
            date = f"{date}T{_clean(card('TIME-OBS'))}"
        try:
            clock = datetime.datetime.fromisoformat(date.replace("Z", "+00:00"))
        except ValueError:
            clock = None
        if clock is not None:
            clock = clock.astimezone(datetime.timezone.utc) if clock.tzinfo else clock.replace(
                tzinfo=datetime.timezone.utc)
    return RecordedTime(clock, exposure_s, "FITS header")


def recorded_time(path: str | Path, hdu: str | int | None = None) -> RecordedTime | None:
    """The time and exposure a photo file records: the FITS header's
    DATE-OBS (with TIME-OBS; UTC, so skipped under another TIMESYS) and
    EXPTIME or EXPOSURE, or EXIF's DateTimeOriginal, OffsetTimeOriginal and
    ExposureTime. None when the file records neither or cannot be read
    for it: a missing time is not an error here."""
    path = Path(path)
    try:
        kind = file_kind(path)
        if kind in ("fits", "gzip", "bzip2"):
            found = _fits_time(path, hdu)
        elif kind == "npy":
            return None
        else:
            clock, offset_s, exposure_s = exif_time(path)
            if clock is not None and offset_s is not None:
                clock = clock.replace(tzinfo=datetime.timezone(datetime.timedelta(seconds=offset_s)))
            found = RecordedTime(clock, exposure_s, "EXIF")
    except Exception:  # an unreadable header only means no recorded time
        return None
    return found if found.clock is not None or found.exposure_s is not None else None


def luminance(pixels: np.ndarray) -> np.ndarray:
    """A photo array as a 2-D C-contiguous uint16 frame (full scale 65535).

    Grey stays grey. Colour (height, width, 3 or 4) becomes Rec. 709 luma,
    0.2126 R + 0.7152 G + 0.0722 B of the stored values (no linearisation),
    alpha ignored; grey with alpha keeps its grey. uint8 is widened by 257,
    uint16 kept; any other type (FITS floats, 32-bit integers) is stretched
    linearly from its minimum to its maximum over 0..65535, with non-finite
    values at the minimum. Results are rounded to the nearest level."""
    pixels = np.asarray(pixels)
    if pixels.ndim == 3 and pixels.shape[2] in (2, 3, 4):
        if pixels.shape[2] == 2:
            pixels = pixels[..., 0]
        else:
            wide = pixels.dtype != np.uint8 and pixels.dtype != np.uint16
            grey = np.zeros(pixels.shape[:2], dtype=np.float64 if wide else np.float32)
            for channel, weight in enumerate(LUMA_WEIGHTS):
                grey += pixels[..., channel] * np.float32(weight)
            if not wide:
                scale = np.float32(257.0 if pixels.dtype == np.uint8 else 1.0)
                grey *= scale
                grey += np.float32(0.5)
                return np.minimum(grey, 65535).astype(np.uint16)
            pixels = grey
    if pixels.ndim != 2 or pixels.size == 0:
        raise PhotoError(f"expected a grey or colour image, got an array of shape {pixels.shape}")
    if pixels.dtype == np.uint8:
        return pixels.astype(np.uint16) * np.uint16(257)
    if pixels.dtype == np.uint16:
        return np.ascontiguousarray(pixels)
    if pixels.dtype.kind not in "iuf":
        raise PhotoError(f"cannot use pixels of type {pixels.dtype}")
    values = pixels.astype(np.float64)
    finite = np.isfinite(values)
    if not finite.any():
        raise PhotoError("the image holds no finite pixel value")
    low, high = values[finite].min(), values[finite].max()
    values = np.where(finite, values, low) - low
    if high > low:
        values *= 65535.0 / (high - low)
    return np.rint(values).astype(np.uint16)


def is_photo_name(path: str | Path) -> bool:
    """Whether a file name looks like a photo's, for searching folders
    (``x.fits.gz`` does; ``notes.gz`` does not)."""
    suffixes = [s.lower() for s in Path(path).suffixes]
    if suffixes and suffixes[-1] in COMPRESSED_SUFFIXES:
        return len(suffixes) > 1 and suffixes[-2] in FITS_SUFFIXES
    return bool(suffixes) and suffixes[-1] in PHOTO_SUFFIXES


def file_kind(path: Path) -> str:
    """What a file holds, from its first bytes: 'fits', 'gzip', 'bzip2',
    'npy', 'raw', 'tiff', 'png' or 'other' (left to Pillow)."""
    with open_regular(path) as stream:  # a FIFO would wait for a writer
        head = stream.read(16)
    if head.startswith(b"SIMPLE  ="):
        return "fits"
    if head.startswith(b"\x1f\x8b"):
        return "gzip"
    if head.startswith(b"BZh"):
        return "bzip2"
    if head.startswith(b"\x93NUMPY"):
        return "npy"
    if path.suffix.lower() in RAW_SUFFIXES:
        return "raw"
    if head[:4] in (b"II*\0", b"MM\0*", b"II+\0", b"MM\0+"):
        return "tiff"
    if head.startswith(PNG_SIGNATURE):
        return "png"
    return "other"


def _extra(module: str, package: str, purpose: str, path: Path):
    try:
        return importlib.import_module(module)
    except ImportError:
        raise PhotoError(f"{path}: reading {purpose} needs {package} (pip install {package})") from None


def read_image_array(path: str | Path, hdu: str | int | None = None,
                     max_pixels: int | None = DEFAULT_MAX_PIXELS) -> np.ndarray:
    """The pixels of an image file as stored, the format told by content:
    FITS, plain, gzip- or bzip2-compressed or tile-compressed (needs
    astropy; ``hdu`` chooses the image, see :func:`choose_fits_image`),
    TIFF at full depth (tifffile when installed, else Pillow), 16-bit colour
    PNG at full depth (imagecodecs when installed, else Pillow at 8 bits),
    camera raw (needs rawpy, see :func:`read_raw`), .npy, and what else
    Pillow reads (JPEG, PNG, PGM...). It must be a regular file of at most
    max_pixels pixels (None: any)."""
    path = Path(path)
    if path.is_dir():
        raise PhotoError(f"{path}: a directory, not a photo; give one photo file (halvane batch solves a directory)")
    if not path.exists():
        raise PhotoError(f"{path}: no such file")
    if not is_regular(path):
        raise PhotoError(f"{path}: not a regular file")
    try:
        kind = file_kind(path)
        if hdu is not None and kind not in ("fits", "gzip", "bzip2"):
            raise PhotoError(f"{path}: --hdu is for FITS files, and this one is not FITS")
        if kind == "npy":
            return _read_npy(path, max_pixels)
        if kind in ("fits", "gzip", "bzip2"):
            return _read_fits(path, hdu, max_pixels)
        if kind == "raw":
            return read_raw(path, max_pixels)
        if kind == "tiff":
            return _read_tiff(path, max_pixels)
        if kind == "png":
            return _read_png(path, max_pixels)
        return _read_with_pillow(path, max_pixels)
    except PhotoError:
        raise
    except Exception as e:  # every reader's own failure becomes one line
        reason = str(e).splitlines()[0] if str(e) else type(e).__name__
        raise PhotoError(f"{path}: cannot read the image: {reason}") from None


def _read_npy(path: Path, max_pixels: int | None) -> np.ndarray:
    mapped = np.load(path, mmap_mode="r", allow_pickle=False)  # the header's shape, no pixel read yet
    check_pixel_count(path, (*mapped.shape, 1, 1), max_pixels)
    return np.array(mapped)


def _read_tiff(path: Path, max_pixels: int | None) -> np.ndarray:
    try:
        import tifffile
    except ImportError:  # Pillow reads grey at full depth, colour at 8 bits
        return _read_with_pillow(path, max_pixels)
    with tifffile.TiffFile(path) as tif:
        page = tif.pages[0]
        planar = len(page.shape) == 3 and page.shape[0] in (3, 4) and page.shape[2] not in (3, 4)
        check_pixel_count(path, page.shape[1:] if planar else page.shape, max_pixels)
        pixels = page.asarray()
    if pixels.ndim == 3 and pixels.shape[0] in (3, 4) and pixels.shape[2] not in (3, 4):
        pixels = np.moveaxis(pixels, 0, -1)  # planar colour
    return pixels


def _read_png(path: Path, max_pixels: int | None) -> np.ndarray:
    """16-bit colour PNG through imagecodecs when installed: Pillow reads it
    at 8 bits. Every other PNG, or without imagecodecs, through Pillow."""
    with open_regular(path) as stream:
        head = stream.read(PNG_HEADER_BYTES)
        # The IHDR chunk leads every PNG: width, height, bit depth, colour type.
        if len(head) < PNG_HEADER_BYTES or head[12:16] != b"IHDR" or head[24] != 16 or head[25] not in (2, 6):
            return _read_with_pillow(path, max_pixels)
        try:
            import imagecodecs
        except ImportError:
            return _read_with_pillow(path, max_pixels)
        width, height = int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")
        check_pixel_count(path, (height, width), max_pixels)
        stream.seek(0)
        pixels = imagecodecs.png_decode(stream.read())
    if pixels.shape[:2] != (height, width):
        raise PhotoError(f"{path}: the PNG decodes to {pixels.shape[1]} x {pixels.shape[0]} px but states"
                         f" {width} x {height}")
    return pixels


def read_raw(path: str | Path, max_pixels: int | None = DEFAULT_MAX_PIXELS) -> np.ndarray:
    """A camera raw file as linear 16-bit RGB (needs rawpy): demosaiced,
    the camera's white balance, no auto-brightening, gamma 1, the sensor's
    black level removed and its white level at 65535. Linear, not the
    camera's JPEG tone curve, because star fluxes are what matter. LibRaw
    would by default put the frame's own brightest pixel at 65535 when it
    stands above three quarters of the white level, so that one frame's
    scale would differ from the next one's; that is turned off."""
    rawpy = _extra("rawpy", "rawpy", "camera raw", Path(path))
    with rawpy.imread(str(path)) as raw:
        check_pixel_count(path, (raw.sizes.height, raw.sizes.width), max_pixels)
        return raw.postprocess(use_camera_wb=True, no_auto_bright=True, gamma=(1, 1), output_bps=16,
                               adjust_maximum_thr=0.0)


def _read_with_pillow(path: Path, max_pixels: int | None) -> np.ndarray:
    # Pillow's own guard would refuse a large frame that the caller allowed;
    # the pixel limit stands in for it.
    stream = open_regular(path)
    guard, Image.MAX_IMAGE_PIXELS = Image.MAX_IMAGE_PIXELS, None
    try:
        image = Image.open(stream)
    except BaseException:
        stream.close()
        raise
    finally:
        Image.MAX_IMAGE_PIXELS = guard
    with stream, image:
        check_pixel_count(path, image.size[::-1], max_pixels)
        image.load()
        if image.mode in ("I;16", "I;16B", "I;16L"):
            return np.asarray(image).astype(np.uint16)
        if image.mode == "I":
            array = np.asarray(image)
            return array.astype(np.uint16) if array.min() >= 0 and array.max() <= 65535 else array
        if image.mode not in ("L", "LA", "RGB", "RGBA", "F"):
            image = image.convert("RGB")
        return np.asarray(image)


def _is_image(hdu) -> bool:
    if not hdu.is_image:
        return False
    shape = hdu.shape or ()
    return len(shape) in (2, 3) and all(shape)


def choose_fits_image(hdus, hdu: str | int | None = None):
    """The HDU to read: the one named (EXTNAME, any case) or numbered
    (0 = primary) by ``hdu``; by default the one named AVEPIXEL when there
    is one (a meteor camera's average image), else the first that holds a
    2-D image or a colour cube."""
    if hdu is None:
        images = [h for h in hdus if _is_image(h)]
        if not images:
            raise PhotoError("no image in the FITS file")
        named = [h for h in images if h.name.upper() == DEFAULT_FITS_IMAGE]
        return (named or images)[0]
    names = ", ".join(f"{i} {h.name}" for i, h in enumerate(hdus) if _is_image(h))
    text = str(hdu).strip()
    chosen = None
    if text.lstrip("-").isdigit():
        index = int(text)
        chosen = hdus[index] if 0 <= index < len(hdus) else None
    else:
        matches = [h for h in hdus if h.name.upper() == text.upper()]
        chosen = matches[0] if matches else None
    if chosen is None:
        raise PhotoError(f"no image {text!r} in the FITS file; its images are {names or 'none'}")
    if not _is_image(chosen):
        raise PhotoError(f"HDU {text!r} holds no image; the file's images are {names or 'none'}")
    return chosen


def _read_fits(path: Path, hdu: str | int | None = None, max_pixels: int | None = DEFAULT_MAX_PIXELS) -> np.ndarray:
    fits = _extra("astropy.io.fits", "astropy", "FITS", path)
    # astropy opens gzip and bzip2 by their content, and tile-compressed
    # images are HDUs of their own.
    with open_regular(path) as stream, fits.open(stream, memmap=False) as hdus:
        try:
            chosen = choose_fits_image(hdus, hdu)
        except PhotoError as e:
            raise PhotoError(f"{path}: {e}") from None
        # The shape the header states, before the data is read: a colour cube is (channels, height, width).
        shape = chosen.shape
        check_pixel_count(path, shape[1:] if len(shape) == 3 and shape[0] in (3, 4) else shape, max_pixels)
        data = np.asarray(chosen.data)
    # FITS colour cubes are (channels, height, width).
    return np.moveaxis(data, 0, -1) if data.ndim == 3 and data.shape[0] in (3, 4) else data


def read_photo(path: str | Path, hdu: str | int | None = None,
               max_pixels: int | None = DEFAULT_MAX_PIXELS) -> np.ndarray:
    """A photo file as a 2-D uint16 luminance frame (see :func:`luminance`)
    of at most max_pixels pixels."""
    try:
        return luminance(read_image_array(path, hdu, max_pixels))
    except PhotoError as e:
        raise PhotoError(str(e) if str(e).startswith(str(path)) else f"{path}: {e}") from None


def read_mask(path: str | Path, shape: tuple[int, int]) -> np.ndarray:
    """An exclusion mask file (an image or .npy) as a bool array, True (any
    non-zero value, in any channel) where the pixel is not sky. It must have
    the photo's height and width."""
    pixels = read_image_array(path, max_pixels=max(shape[0] * shape[1], DEFAULT_MAX_PIXELS))
    mask = pixels.any(axis=2) if pixels.ndim == 3 else pixels != 0
    if mask.shape != tuple(shape):
        raise PhotoError(
            f"{path}: the mask is {mask.shape[1]} x {mask.shape[0]} px but the photo is {shape[1]} x {shape[0]} px"
        )
    return np.ascontiguousarray(mask)
