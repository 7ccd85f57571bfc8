"""Real photographs: reading them, and the photo path that solves a night sky
from the photo, the lens, the vertical and the time alone.

Why a path of its own: on a real night the brightest things in a frame are
often not stars. A lit horizon, buildings and trees, the edge of a dome, the
Moon and its glare, aurora and twilight outshine all but the brightest
stars, and the detector ranks by brightness. The path therefore

1. reads the photo as 16-bit luminance (:func:`read_photo`);
2. leaves out what is not sky: the caller's mask, every pixel below
   ``min_altitude_deg`` (from the lens and ``up_cam``: the horizon, what
   stands on it and the haze above it) or outside a fisheye's field, and the
   neighbourhood of large saturated areas (the glare guard);
3. removes light wider than a star (``line_px``), so that gradients, glare
   halos and aurora no longer outrank stars;
4. detects stars on what is left, drops detections that are not round
   (aurora rays, edges), and solves with the brightest ``max_centroids``.

The heavy pixel passes run in the engine (``halvane._remove_extended_light``,
``_below_altitude_mask``, ``_glare_mask``).
"""
from __future__ import annotations

import dataclasses
import time
from pathlib import Path

import numpy as np

from .lens import Lens, LensError

# Measured on the adverse skies of halvane_tools.adverse with
# `bench/bench_photo.py --min-altitude 10 15 20 --line-px 7 11 15`: every
# pair solved alike there (their skyline stands up to 11 degrees), so the
# cut sits where it clears that skyline with room for haze, and the line at
# about three times a star's full width.
DEFAULT_MIN_ALTITUDE_DEG = 15.0
DEFAULT_LINE_PX = 11
DEFAULT_MAX_CENTROIDS = 28
# A detection whose second moments are more elongated than this (major over
# minor axis) is a ray or an edge, not a star.
MAX_ELONGATION = 2.0
GLARE_MIN_SATURATED_PX = 20

# Rec. 709 luma weights, applied to the stored (gamma-encoded) values.
LUMA_WEIGHTS = (0.2126, 0.7152, 0.0722)

PILLOW_SUFFIXES = {".jpg", ".jpeg", ".png", ".tif", ".tiff", ".pgm", ".ppm", ".pnm", ".bmp", ".webp"}
FITS_SUFFIXES = {".fits", ".fit", ".fts"}


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
    if not path.is_file():
        raise PhotoError(f"{path}: no such file")
    suffix = path.suffix.lower()
    try:
        if suffix == ".npy":
            return np.load(path, allow_pickle=False)
        if suffix in FITS_SUFFIXES:
            return _read_fits(path)
        from PIL import Image

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
    except PhotoError:
        raise
    except Exception as e:  # every reader's own failure becomes one line
        reason = str(e).splitlines()[0] if str(e) else type(e).__name__
        raise PhotoError(f"{path}: cannot read the image: {reason}") from None


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


def as_lens(lens) -> Lens:
    """A Lens, a lens file's path, or a dict of lens keywords, as a Lens."""
    from .lens import read_lens

    if isinstance(lens, Lens):
        return lens
    if isinstance(lens, (str, Path)):
        return read_lens(lens)
    if isinstance(lens, dict):
        return Lens(**lens)
    raise LensError(f"lens must be a Lens, a lens file or a dict of lens keywords (got {type(lens).__name__})")


def round_detections(flattened: np.ndarray, detections: list, max_elongation: float = MAX_ELONGATION,
                     radius: int = 3) -> list:
    """The detections whose light, in a (2 radius + 1) px box on the
    flattened frame, is about round: the ratio of the major to the minor axis
    of its second moments at most max_elongation. Stars are round; rays and
    edges that survive the background removal are not."""
    height, width = flattened.shape
    offsets = np.arange(-radius, radius + 1, dtype=np.float64)
    kept = []
    for x, y, flux in detections:
        ix, iy = int(round(x)), int(round(y))
        if ix < radius or iy < radius or ix >= width - radius or iy >= height - radius:
            continue
        box = flattened[iy - radius : iy + radius + 1, ix - radius : ix + radius + 1].astype(np.float64)
        box -= np.median(box)
        np.clip(box, 0.0, None, out=box)
        total = box.sum()
        if total <= 0:
            continue
        mx = (box.sum(axis=0) @ offsets) / total
        my = (box.sum(axis=1) @ offsets) / total
        dx, dy = offsets - mx, offsets - my
        sxx = (box.sum(axis=0) @ (dx * dx)) / total
        syy = (box.sum(axis=1) @ (dy * dy)) / total
        sxy = (dy @ box @ dx) / total
        spread = np.sqrt(((sxx - syy) / 2) ** 2 + sxy * sxy)
        major, minor = (sxx + syy) / 2 + spread, (sxx + syy) / 2 - spread
        if minor > 0 and major <= max_elongation**2 * minor:
            kept.append((x, y, flux))
    return kept


@dataclasses.dataclass
class PreparedPhoto:
    """A photo ready to solve: its luminance, what was left out and why, and
    the star detections the fix will use (brightest first)."""

    image: np.ndarray  # 2-D uint16 luminance
    lens: Lens  # principal point settled
    up_cam: tuple[float, float, float]
    caller_mask: np.ndarray  # bool: the caller's own exclusions
    below_horizon: np.ndarray  # bool: below min_altitude_deg or outside the field
    excluded: np.ndarray  # bool: every pixel left out (caller's mask, altitude cut, glare)
    detections: list  # (x, y, flux), brightest first, at most max_centroids
    max_centroids: int
    min_altitude_deg: float

    @property
    def height(self) -> int:
        return self.image.shape[0]

    @property
    def width(self) -> int:
        return self.image.shape[1]

    def solve(self, utc, catalog=None, *, sigma_arcmin=None, min_matched_stars=None,
              max_residual_rms_arcmin=None, use_sun=False, tracker=None):
        """The halvane.Fix from the detections; raises halvane.HalvaneError
        when there is none. With use_sun the solve goes through resolve_fix on
        the luminance itself (the Sun's disc is glare to the star path), with
        the caller's mask and the altitude cut. With a halvane.FixTracker the
        solve is its tracked twin: a tied match is broken by its reference,
        and the fix becomes its next one."""
        import halvane

        from . import default_catalog

        from .narrow import identify, lens_field_deg

        field = lens_field_deg(self.lens, self.width, self.height)
        catalog = catalog if catalog is not None else default_catalog(field_deg=field)
        solver = halvane if tracker is None else tracker
        k = self.lens.keywords()
        focal, cx, cy = k.pop("focal_px"), k.pop("cx"), k.pop("cy")
        gates = dict(sigma_arcmin=sigma_arcmin, min_matched_stars=min_matched_stars,
                     max_residual_rms_arcmin=max_residual_rms_arcmin, max_centroids=self.max_centroids, **k)
        if use_sun:
            return solver.resolve_fix(self.image, focal, cx, cy, self.up_cam, utc, catalog,
                                      use_sun=True, mask=self.below_horizon | self.caller_mask, **gates)
        if self._off_centre_ideal_fisheye:
            # The centroid path sizes the ideal fisheye as 2 cx by 2 cy, which
            # misplaces its focal for an off-centre principal point. The same
            # projection with the photo's own focal, written as a calibrated
            # fisheye whose k4 is too small to move any pixel, keeps it exact.
            focal = self.lens.camera(self.width, self.height).effective_focal_px
            gates["k4"] = 1e-300
        return identify(self.detections, focal, cx, cy, self.up_cam, utc, catalog,
                        solve=solver.resolve_from_centroids, field=field, **gates)

    @property
    def _off_centre_ideal_fisheye(self) -> bool:
        lens = self.lens
        ideal = lens.fisheye_fov_deg is not None and not lens.is_calibrated
        return ideal and (round(2 * lens.cx) != self.width or round(2 * lens.cy) != self.height)


def prepare_photo(photo, up_cam, lens, *, mask=None, min_altitude_deg: float = DEFAULT_MIN_ALTITUDE_DEG,
                  line_px: int = DEFAULT_LINE_PX, max_centroids: int = DEFAULT_MAX_CENTROIDS) -> PreparedPhoto:
    """Steps 1 to 4 of the photo path (see the module's docstring).

    photo: a path (any format of :func:`read_image_array`) or an array
        (grey or colour, see :func:`luminance`).
    up_cam: the local vertical in the camera frame (x right, y down, z
        along the optical axis); None takes the lens's own up_cam.
    lens: a :class:`Lens`, a lens file's path, or a dict of lens keywords.
    mask: None, a path or an array of the photo's shape; non-zero = not sky.
    """
    import halvane

    image = read_photo(photo) if isinstance(photo, (str, Path)) else luminance(photo)
    height, width = image.shape
    lens = as_lens(lens).centred(width, height)
    if isinstance(mask, (str, Path)):
        mask = read_mask(mask, image.shape)
    elif mask is not None:
        mask = np.asarray(mask)
        if mask.shape != image.shape:
            raise PhotoError(f"the mask has shape {mask.shape} but the photo {image.shape}")
        mask = mask != 0
    caller_mask = np.zeros(image.shape, dtype=bool) if mask is None else np.ascontiguousarray(mask, dtype=bool)
    if up_cam is None:
        if lens.up_cam is None:
            raise PhotoError("give the vertical (up_cam, --up X Y Z) or a lens file with up_cam")
        up_cam = lens.up_cam
    up_cam = tuple(float(v) for v in up_cam)
    if len(up_cam) != 3:
        raise PhotoError(f"up_cam must be three numbers (got {len(up_cam)})")
    k = lens.keywords()
    below = halvane._below_altitude_mask(width, height, k.pop("focal_px"), k.pop("cx"), k.pop("cy"), up_cam,
                                         float(min_altitude_deg), **k)
    margin = max(16, min(width, height) // 50)
    excluded = below | caller_mask | halvane._glare_mask(image, GLARE_MIN_SATURATED_PX, margin)
    flattened = halvane._remove_extended_light(image, int(line_px))
    # Room for the detections the shape test will drop.
    candidates = halvane.detect_centroids(flattened, 3 * max_centroids, excluded)
    detections = round_detections(flattened, candidates)[:max_centroids]
    return PreparedPhoto(image, lens, up_cam, caller_mask, below, excluded, detections, max_centroids,
                         float(min_altitude_deg))


@dataclasses.dataclass
class PhotoFix:
    """What :func:`solve_photo` found: the halvane.Fix, the prepared photo
    (detections, excluded pixels) and the seconds the whole call took."""

    fix: object
    prepared: PreparedPhoto
    elapsed_s: float


def solve_photo(photo, utc, up_cam, lens, *, catalog=None, mask=None,
                min_altitude_deg: float = DEFAULT_MIN_ALTITUDE_DEG, line_px: int = DEFAULT_LINE_PX,
                max_centroids: int = DEFAULT_MAX_CENTROIDS, sigma_arcmin=None, min_matched_stars=None,
                max_residual_rms_arcmin=None, use_sun: bool = False) -> PhotoFix:
    """Latitude and longitude from a photograph of the night sky, in one call.

    photo, up_cam, lens, mask: as for :func:`prepare_photo`; utc: a
    timezone-aware datetime or a (year, month, day, hour, minute, second)
    tuple in UTC; catalog: a halvane.Catalog (default: the bundled one). The
    gates are those of halvane.resolve_fix. Raises halvane.HalvaneError when
    the sky gives no fix, PhotoError or LensError for unusable input."""
    start = time.perf_counter()
    prepared = prepare_photo(photo, up_cam, lens, mask=mask, min_altitude_deg=min_altitude_deg,
                             line_px=line_px, max_centroids=max_centroids)
    fix = prepared.solve(utc, catalog, sigma_arcmin=sigma_arcmin, min_matched_stars=min_matched_stars,
                         max_residual_rms_arcmin=max_residual_rms_arcmin, use_sun=use_sun)
    return PhotoFix(fix, prepared, time.perf_counter() - start)
