"""Photos and masks read by content: the pixels of a file as stored
(:func:`read_image_array`), a photo as 16-bit luminance (:func:`read_photo`,
:func:`luminance`) and an exclusion mask (:func:`read_mask`).

Pillow reads JPEG, PNG, TIFF, PGM and the like; astropy (an extra) reads
FITS; NumPy reads .npy.
"""
from __future__ import annotations

from pathlib import Path

import numpy as np
from PIL import Image

from .files import is_regular, open_regular

# Rec. 709 luma weights, applied to the stored (gamma-encoded) values.
LUMA_WEIGHTS = (0.2126, 0.7152, 0.0722)

PILLOW_SUFFIXES = {".jpg", ".jpeg", ".png", ".tif", ".tiff", ".pgm", ".ppm", ".pnm", ".bmp", ".webp"}
FITS_SUFFIXES = {".fits", ".fit", ".fts"}
PHOTO_SUFFIXES = PILLOW_SUFFIXES | FITS_SUFFIXES | {".npy"}


# The most pixels a photo may have unless the caller allows more
# (--max-pixels): above today's largest camera sensors (about 100 Mpix),
# and what one process can hold through the photo path (some 17 bytes a
# pixel at its peak). Checked against the size a file states before its
# pixels are decoded, so a small compressed file cannot claim gigabytes.
DEFAULT_MAX_PIXELS = 120_000_000


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


def read_image_array(path: str | Path, max_pixels: int | None = DEFAULT_MAX_PIXELS) -> np.ndarray:
    """The pixels of an image file as stored: JPEG, PNG, TIFF, PGM and
    what else Pillow reads (8 and 16 bit; Pillow reads 16-bit colour at 8
    bits), FITS (the first HDU with an image; needs astropy) and .npy. It
    must be a regular file of at most max_pixels pixels."""
    path = Path(path)
    if not path.exists():
        raise PhotoError(f"{path}: no such file")
    if not is_regular(path):
        raise PhotoError(f"{path}: not a regular file")
    suffix = path.suffix.lower()
    try:
        if suffix == ".npy":
            return _read_npy(path, max_pixels)
        if suffix in FITS_SUFFIXES:
            return _read_fits(path, max_pixels)
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


def _read_fits(path: Path, max_pixels: int | None) -> np.ndarray:
    try:
        from astropy.io import fits
    except ImportError:
        raise PhotoError(f"{path}: reading FITS needs astropy (pip install astropy)") from None
    with open_regular(path) as stream, fits.open(stream, memmap=False) as hdus:
        for hdu in hdus:
            if hdu.is_image and len(hdu.shape) in (2, 3):
                # A colour cube is (channels, height, width).
                shape = hdu.shape[1:] if len(hdu.shape) == 3 and hdu.shape[0] in (3, 4) else hdu.shape
                check_pixel_count(path, shape, max_pixels)
            if hdu.data is not None and hdu.data.ndim in (2, 3):
                data = np.asarray(hdu.data)
                # FITS colour cubes are (channels, height, width).
                return np.moveaxis(data, 0, -1) if data.ndim == 3 and data.shape[0] in (3, 4) else data
    raise PhotoError(f"{path}: no image in the FITS file")


def read_photo(path: str | Path, max_pixels: int | None = DEFAULT_MAX_PIXELS) -> np.ndarray:
    """A photo file as a 2-D uint16 luminance frame (see :func:`luminance`)
    of at most max_pixels pixels."""
    try:
        return luminance(read_image_array(path, max_pixels))
    except PhotoError as e:
        raise PhotoError(str(e) if str(e).startswith(str(path)) else f"{path}: {e}") from None


def read_mask(path: str | Path, shape: tuple[int, int]) -> np.ndarray:
    """An exclusion mask file (an image or .npy) as a bool array, True (any
    non-zero value, in any channel) where the pixel is not sky. It must have
    the photo's height and width."""
    pixels = read_image_array(path, max(shape[0] * shape[1], DEFAULT_MAX_PIXELS))
    mask = pixels.any(axis=2) if pixels.ndim == 3 else pixels != 0
    if mask.shape != tuple(shape):
        raise PhotoError(
            f"{path}: the mask is {mask.shape[1]} x {mask.shape[0]} px but the photo is {shape[1]} x {shape[0]} px"
        )
    return np.ascontiguousarray(mask)
