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

# Rec. 709 luma weights, applied to the stored (gamma-encoded) values.
LUMA_WEIGHTS = (0.2126, 0.7152, 0.0722)

PILLOW_SUFFIXES = {".jpg", ".jpeg", ".png", ".tif", ".tiff", ".pgm", ".ppm", ".pnm", ".bmp", ".webp"}
FITS_SUFFIXES = {".fits", ".fit", ".fts"}
PHOTO_SUFFIXES = PILLOW_SUFFIXES | FITS_SUFFIXES | {".npy"}


class PhotoError(ValueError):
    """A photo or mask that cannot be used; the text is one line."""


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


def read_image_array(path: str | Path) -> np.ndarray:
    """The pixels of an image file as stored: JPEG, PNG, TIFF, PGM and
    what else Pillow reads (8 and 16 bit; Pillow reads 16-bit colour at 8
    bits), FITS (the first HDU with an image; needs astropy) and .npy."""
    path = Path(path)
    if path.is_dir():
        raise PhotoError(f"{path}: a directory, not a photo; give one photo file (halvane batch solves a directory)")
    if not path.is_file():
        raise PhotoError(f"{path}: no such file")
    suffix = path.suffix.lower()
    try:
        if suffix == ".npy":
            return np.load(path, allow_pickle=False)
        if suffix in FITS_SUFFIXES:
            return _read_fits(path)
        return _read_with_pillow(path)
    except PhotoError:
        raise
    except Exception as e:  # every reader's own failure becomes one line
        reason = str(e).splitlines()[0] if str(e) else type(e).__name__
        raise PhotoError(f"{path}: cannot read the image: {reason}") from None


def _read_with_pillow(path: Path) -> np.ndarray:
    with Image.open(path) as image:
        image.load()
        if image.mode in ("I;16", "I;16B", "I;16L"):
            return np.asarray(image).astype(np.uint16)
        if image.mode == "I":
            array = np.asarray(image)
            return array.astype(np.uint16) if array.min() >= 0 and array.max() <= 65535 else array
        if image.mode not in ("L", "LA", "RGB", "RGBA", "F"):
            image = image.convert("RGB")
        return np.asarray(image)


def _read_fits(path: Path) -> np.ndarray:
    try:
        from astropy.io import fits
    except ImportError:
        raise PhotoError(f"{path}: reading FITS needs astropy (pip install astropy)") from None
    with fits.open(path, memmap=False) as hdus:
        for hdu in hdus:
            if hdu.data is not None and hdu.data.ndim in (2, 3):
                data = np.asarray(hdu.data)
                # FITS colour cubes are (channels, height, width).
                return np.moveaxis(data, 0, -1) if data.ndim == 3 and data.shape[0] in (3, 4) else data
    raise PhotoError(f"{path}: no image in the FITS file")


def read_photo(path: str | Path) -> np.ndarray:
    """A photo file as a 2-D uint16 luminance frame (see :func:`luminance`)."""
    try:
        return luminance(read_image_array(path))
    except PhotoError as e:
        raise PhotoError(str(e) if str(e).startswith(str(path)) else f"{path}: {e}") from None


def read_mask(path: str | Path, shape: tuple[int, int]) -> np.ndarray:
    """An exclusion mask file (an image or .npy) as a bool array, True (any
    non-zero value, in any channel) where the pixel is not sky. It must have
    the photo's height and width."""
    pixels = read_image_array(path)
    mask = pixels.any(axis=2) if pixels.ndim == 3 else pixels != 0
    if mask.shape != tuple(shape):
        raise PhotoError(
            f"{path}: the mask is {mask.shape[1]} x {mask.shape[0]} px but the photo is {shape[1]} x {shape[0]} px"
        )
    return np.ascontiguousarray(mask)
