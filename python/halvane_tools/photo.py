"""The photo path that solves a night sky from a photograph, the lens, the
vertical and the time alone; its one options object is
:class:`halvane_tools.options.PhotoOptions`.

Why a path of its own: on a real night the brightest things in a frame are
often not stars. A lit horizon, buildings and trees, the edge of a dome, the
Moon and its glare, aurora and twilight outshine all but the brightest
stars, and the detector ranks by brightness. The path therefore

1. reads the photo as 16-bit luminance (:func:`read_photo`);
2. leaves out what is not sky: the caller's mask, every pixel below
   ``min_altitude_deg`` (from the lens and ``up_cam``: the horizon, what
   stands on it and the haze above it) or outside a fisheye's field, and the
   neighbourhood of large saturated areas (the glare guard);
3. removes light wider than a star (``line_px``, by default about three
   times the full width of the frame's own stars, :func:`star_width_px`), so
   that gradients, glare halos, ghosts and aurora no longer outrank stars;
4. lifts a faint camera's frame so that the detectors' fixed floor sits at
   ``detection_sigma`` times its measured noise (:func:`noise_gain`);
5. detects stars on what is left, drops detections that are not round
   (aurora rays, edges), moves each along its vertical for the site's air
   (:mod:`halvane_tools.air`), and solves with the brightest ``max_centroids``;
6. refuses a fix that fits the frame loosely and leaves bright detections
   unexplained by the catalogue through the stated lens
   (:mod:`halvane_tools.trust`).

The heavy pixel passes run in the engine (``halvane._remove_extended_light``,
``_below_altitude_mask``, ``_glare_mask``), and so does the one solve of the
detections (``halvane._resolve_photo``, with the solar disc of
``_detect_sun`` when the Sun is asked for).
"""
from __future__ import annotations

import dataclasses
import numbers
import time
from pathlib import Path

import numpy as np

import halvane

from . import default_catalog
from .air import Air, as_engine_altitude
from .lens import Lens, as_lens
from .narrow import identify, lens_field_deg
# The defaults and the options' command-line form stay reachable from here, as callers have used them.
from .options import (AUTO_LINE_PX, DEFAULT_LINE_PX, DEFAULT_MAX_CENTROIDS,  # noqa: F401
                      DEFAULT_MIN_ALTITUDE_DEG, LINE_PER_STAR_WIDTH, MAX_LINE_PX, MIN_LINE_PX, SOLVE_FIELDS,
                      PhotoOptions, add_photo_options, lens_from_args)
from .readers import PhotoError, luminance, read_mask, read_photo
from .trust import check_lens_supports

__all__ = ["PhotoOptions", "PreparedPhoto", "PhotoFix", "PhotoError", "prepare_photo", "solve_photo",
           "add_photo_options", "lens_from_args", "round_detections", "as_lens", "luminance", "read_photo",
           "read_mask"]

# A detection whose second moments are more elongated than this (major over
# minor axis) is a ray or an edge, not a star.
MAX_ELONGATION = 2.0
GLARE_MIN_SATURATED_PX = 20
# The detectors' fixed floor above the background, in counts of a 16-bit frame.
DETECTOR_FLOOR = 2048
# At most this gain lifts a faint camera's frame (beyond it the noise
# estimate is the quantisation's own).
MAX_GAIN = 64.0
# A star's width is the median over at most this many of the brightest
# round, unclipped detections, and is not trusted from fewer than
# MIN_WIDTH_STARS.
WIDTH_STARS = 30
MIN_WIDTH_STARS = 8


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


def star_width_px(image: np.ndarray, flattened: np.ndarray, detections: list, radius: int = 6) -> float:
    """The full width at half maximum of the frame's stars, px: the median,
    over the brightest WIDTH_STARS detections whose (2 radius + 1) px box on
    the luminance holds no clipped pixel (a clipped star looks wider than it
    is), of the width of a disc as large as the pixels at or above half the
    star's peak over the box's border level on the flattened frame. Counting
    those pixels, unlike second moments, is not widened by a box cutting off
    the wings nor by crowded neighbours. NaN when fewer than MIN_WIDTH_STARS
    are left."""
    height, width = flattened.shape
    ceiling = np.iinfo(image.dtype).max if image.dtype.kind in "ui" else np.inf
    widths = []
    for x, y, _ in detections:
        ix, iy = int(round(x)), int(round(y))
        if ix < radius or iy < radius or ix >= width - radius or iy >= height - radius:
            continue
        if image[iy - radius : iy + radius + 1, ix - radius : ix + radius + 1].max() >= ceiling:
            continue
        box = flattened[iy - radius : iy + radius + 1, ix - radius : ix + radius + 1].astype(np.float64)
        box -= np.median(np.concatenate((box[0], box[-1], box[1:-1, 0], box[1:-1, -1])))
        peak = box[radius - 1 : radius + 2, radius - 1 : radius + 2].max()
        if peak <= 0:
            continue
        widths.append(2.0 * np.sqrt(np.count_nonzero(box >= peak / 2.0) / np.pi))
        if len(widths) == WIDTH_STARS:
            break
    if len(widths) < MIN_WIDTH_STARS:
        return float("nan")
    return float(np.median(widths))


def line_for_width(width_px: float) -> int:
    """The flattening line for stars of this full width: the odd length
    nearest LINE_PER_STAR_WIDTH times it, within AUTO_LINE_PX; DEFAULT_LINE_PX
    for an unknown (NaN) width."""
    if not np.isfinite(width_px):
        return DEFAULT_LINE_PX
    low, high = AUTO_LINE_PX
    wanted = min(max(LINE_PER_STAR_WIDTH * width_px, low), high)
    return int(2 * np.floor((wanted - 1.0) / 2.0 + 0.5) + 1)


@dataclasses.dataclass
class PreparedPhoto:
    """A photo ready to solve: its luminance, what was left out and why, the
    star detections the fix will use (brightest first) and the options it
    was prepared with."""

    image: np.ndarray  # 2-D uint16 luminance
    lens: Lens  # principal point settled
    up_cam: tuple[float, float, float]
    caller_mask: np.ndarray  # bool: the caller's own exclusions
    below_horizon: np.ndarray  # bool: below min_altitude_deg or outside the field
    excluded: np.ndarray  # bool: every pixel left out (caller's mask, altitude cut, glare)
    detections: list  # (x, y, flux), brightest first, at most max_centroids
    options: PhotoOptions
    noise: float = float("nan")  # robust sigma of the star-scale residual, counts of the luminance
    gain: float = 1.0  # the faint-camera scaling applied before detection
    line_px: int = DEFAULT_LINE_PX  # the flattening line used
    star_width_px: float = float("nan")  # measured when the line was chosen from it

    @property
    def floor(self) -> float:
        """The detectors' floor above the background, in counts of the luminance."""
        return DETECTOR_FLOOR / self.gain

    def why_few_stars(self) -> str:
        """Whether the stars were absent or below the detectors' floor."""
        if not np.isfinite(self.noise):
            return "no sky left to look for stars in"
        floor = self.floor
        threshold = max(floor, 5.0 * self.noise)
        if 0.0 < 5.0 * self.noise < floor:
            return (f"the detectors' floor is {floor:.0f} counts above the background, {floor / self.noise:.0f}"
                    f" times the sky's noise ({self.noise:.1f}): fainter stars are below it; lower --detection-sigma")
        return (f"nothing stands {threshold:.0f} counts above the background (the sky's noise is {self.noise:.1f}):"
                " the stars are absent (cloud, daylight, a lens cap) or too faint for this exposure")

    @property
    def height(self) -> int:
        return self.image.shape[0]

    @property
    def width(self) -> int:
        return self.image.shape[1]

    @property
    def max_centroids(self) -> int:
        return self.options.max_centroids

    @property
    def min_altitude_deg(self) -> float:
        return self.options.min_altitude_deg

    def bundled_catalog(self):
        """The bundled catalogue for this photo's field (the deep one for a
        narrow lens), which solve uses when given none."""
        return default_catalog(field_deg=lens_field_deg(self.lens, self.width, self.height))

    def solve(self, utc, catalog=None, *, tracker=None, **gates):
        """The halvane.Fix from the detections; raises halvane.HalvaneError
        when there is none. The gates (sigma_arcmin, min_matched_stars,
        max_residual_rms_arcmin, use_sun) default to the prepared options.
        With use_sun the solar disc, found on the luminance outside the
        caller's mask and the altitude cut, is a sight beside the stars. With
        a halvane.FixTracker the solve is its tracked twin: a tied match is
        broken by its reference, and the fix becomes its next one."""
        unknown = sorted(set(gates) - SOLVE_FIELDS)
        if unknown:
            raise TypeError(f"solve() got an unexpected keyword argument {unknown[0]!r}")
        options = self.options.updated(**gates)
        field = lens_field_deg(self.lens, self.width, self.height)
        catalog = catalog if catalog is not None else self.bundled_catalog()
        # The disc is glare to the star path, so it is looked for on the
        # luminance itself, with only the caller's and the horizon's exclusions.
        sun = halvane._detect_sun(self.image, self.below_horizon | self.caller_mask) if options.use_sun else None

        def solve(points, focal_px, cx, cy, up_cam, utc, catalog, **given):
            return halvane._resolve_photo(points, self.width, self.height, focal_px, cx, cy, up_cam, utc, catalog,
                                          sun=sun, tracker=tracker, **given)

        k = self.lens.keywords()
        fix = identify(self.detections, k.pop("focal_px"), k.pop("cx"), k.pop("cy"), self.up_cam, utc, catalog,
                       solve=solve, field=field, **options.gates(), **k)
        # A lens stated far too narrow can give a small, confident fix half
        # a world away; the light it leaves unexplained gives it away.
        check_lens_supports(fix, self.detections, self.lens.camera(self.width, self.height), self.up_cam, utc, catalog)
        return fix


def _caller_mask(mask, shape: tuple[int, int]) -> np.ndarray:
    """The caller's mask (None, a path or an array) as a bool array of the photo's shape."""
    if mask is None:
        return np.zeros(shape, dtype=bool)
    if isinstance(mask, (str, Path)):
        return read_mask(mask, shape)
    mask = np.asarray(mask)
    if mask.shape != shape:
        raise PhotoError(f"the mask has shape {mask.shape} but the photo {shape}")
    return np.ascontiguousarray(mask != 0)


def _vertical(up_cam, lens: Lens) -> tuple[float, float, float]:
    if up_cam is None:
        if lens.up_cam is None:
            raise PhotoError("give the vertical (up_cam, --up X Y Z) or a lens file with up_cam")
        up_cam = lens.up_cam
    up_cam = tuple(float(v) for v in up_cam)
    if len(up_cam) != 3:
        raise PhotoError(f"up_cam must be three numbers (got {len(up_cam)})")
    return up_cam


def prepare_photo(photo, up_cam, lens, *, options: PhotoOptions | None = None, **keywords) -> PreparedPhoto:
    """Steps 1 to 4 of the photo path (see the module's docstring).

    photo: a path (any format of :func:`halvane_tools.readers.read_image_array`)
        or an array (grey or colour, see :func:`luminance`).
    up_cam: the local vertical in the camera frame (x right, y down, z
        along the optical axis); None takes the lens's own up_cam.
    lens: a :class:`Lens`, a lens file's path, or a dict of lens keywords.
    options: a :class:`PhotoOptions`; keywords (mask, min_altitude_deg,
        line_px, max_centroids, and the gates) replace its fields.
    """
    options = (options or PhotoOptions()).updated(**keywords)
    line_px = options.line_px
    if line_px is not None and not (isinstance(line_px, numbers.Integral) and not isinstance(line_px, bool)
                                    and MIN_LINE_PX <= line_px <= MAX_LINE_PX and line_px % 2 == 1):
        raise PhotoError(f"line_px must be odd and in {MIN_LINE_PX}..{MAX_LINE_PX}, or None (got {line_px!r})")
    air = options.air()
    image = read_photo(photo, options.hdu, options.max_pixels) if isinstance(photo, (str, Path)) else luminance(photo)
    height, width = image.shape
    lens = as_lens(lens).centred(width, height)
    caller_mask = _caller_mask(options.mask, image.shape)
    up_cam = _vertical(up_cam, lens)
    k = lens.keywords()
    below = halvane._below_altitude_mask(width, height, k.pop("focal_px"), k.pop("cx"), k.pop("cy"), up_cam,
                                         float(options.min_altitude_deg), **k)
    margin = max(16, min(width, height) // 50)
    excluded = below | caller_mask | halvane._glare_mask(image, GLARE_MIN_SATURATED_PX, margin)
    # The sky's noise, and with it the faint-camera gain, is measured on the
    # frame flattened with the reference line, whatever line is used after:
    # a residual of a shorter line is mostly zeros, its median deviation
    # nothing (0 at 5 px), and the gain would vanish or soar with it.
    reference = halvane._remove_extended_light(image, DEFAULT_LINE_PX)
    noise, peak = sky_noise(reference, excluded)
    gain = noise_gain(noise, peak, options.detection_sigma)
    # The frame is lifted, and its detections found and shape-tested, once
    # for the line finally used.
    flattened, round_ones, width_px = None, None, float("nan")
    if line_px is None:
        flattened = _lifted(reference, gain)
        candidates = halvane.detect_centroids(flattened, max(3 * options.max_centroids, 2 * WIDTH_STARS), excluded)
        round_ones = round_detections(flattened, candidates)
        width_px = star_width_px(image, flattened, round_ones)
        line_px = line_for_width(width_px)
    if line_px != DEFAULT_LINE_PX:
        flattened, round_ones = _lifted(halvane._remove_extended_light(image, int(line_px)), gain), None
    elif flattened is None:
        flattened = _lifted(reference, gain)
    if round_ones is None:
        # Room for the detections the shape test will drop.
        round_ones = round_detections(flattened, halvane.detect_centroids(flattened, 3 * options.max_centroids,
                                                                          excluded))
    detections = round_ones[: options.max_centroids]
    if air is not None:
        detections = through_air(detections, lens, up_cam, width, height, air)
    return PreparedPhoto(image, lens, up_cam, caller_mask, below, excluded, detections, options, noise, gain,
                         line_px, width_px)


def _lifted(flattened: np.ndarray, gain: float) -> np.ndarray:
    """A flattened frame lifted by the faint-camera gain (unchanged for 1)."""
    if gain <= 1.0:
        return flattened
    return np.minimum(flattened * np.float32(gain) + np.float32(0.5), 65535).astype(np.uint16)


def sky_noise(flattened: np.ndarray, excluded: np.ndarray) -> tuple[float, float]:
    """(noise, peak) of the star-scale residual over the sky left in: its
    robust sigma (1.4826 MAD, sampled on a grid of at most about a million
    pixels) and its brightest pixel; NaN for both when no sky is left."""
    sky = flattened[~excluded]
    if sky.size == 0:
        return float("nan"), float("nan")
    step = max(1, sky.size // 1_000_000)
    values = sky[::step].astype(np.float64)
    median = np.median(values)
    return float(1.4826 * np.median(np.abs(values - median))), float(sky.max())


def noise_gain(noise: float, peak: float, detection_sigma: float | None) -> float:
    """The factor that puts the detectors' floor at detection_sigma times
    the noise, when the floor stands higher than that, at most MAX_GAIN and
    at most what keeps the peak below saturation; 1 for None or for a frame
    without measurable noise."""
    if detection_sigma is None or not (np.isfinite(noise) and noise > 0.0 and np.isfinite(peak)):
        return 1.0
    wanted = DETECTOR_FLOOR / (detection_sigma * noise)
    return float(max(1.0, min(MAX_GAIN, wanted, 65535.0 / max(peak, 1.0))))


def through_air(detections: list, lens: Lens, up_cam, width: int, height: int, air: Air) -> list:
    """The detections moved along their vertical to where the engine, which
    removes sea-level refraction, finds the true altitude that the site's
    air gives them. Detections the lens cannot carry back stay where they are."""
    if not detections:
        return detections
    k = lens.keywords()
    camera = halvane.Camera(k.pop("focal_px"), k.pop("cx"), k.pop("cy"), width, height, **k)
    points = np.asarray(detections, dtype=np.float64)
    rays = np.asarray(camera.pixel_to_vec(points[:, 0], points[:, 1]), dtype=np.float64).reshape(-1, 3)
    up = np.asarray(up_cam, dtype=np.float64)
    up /= np.linalg.norm(up)
    rays /= np.linalg.norm(rays, axis=1, keepdims=True)
    sine = np.clip(rays @ up, -1.0, 1.0)
    level = rays - sine[:, None] * up
    level_norm = np.linalg.norm(level, axis=1)
    altitude = np.arcsin(sine)
    moved_altitude = as_engine_altitude(altitude, air)
    ok = level_norm > 1e-9  # at the zenith there is no refraction to move by
    level[ok] /= level_norm[ok, None]
    moved = np.cos(moved_altitude)[:, None] * level + np.sin(moved_altitude)[:, None] * up
    pixels = np.asarray(camera.vec_to_pixel(moved), dtype=np.float64).reshape(-1, 2)
    result = []
    for (x, y, flux), (mx, my), good in zip(detections, pixels, ok):
        keep = good and np.isfinite(mx) and np.isfinite(my)
        result.append((float(mx), float(my), flux) if keep else (x, y, flux))
    return result


@dataclasses.dataclass
class PhotoFix:
    """What :func:`solve_photo` found: the halvane.Fix, the prepared photo
    (detections, excluded pixels) and the seconds the whole call took."""

    fix: object
    prepared: PreparedPhoto
    elapsed_s: float


def solve_photo(photo, utc, up_cam, lens, *, catalog=None, options: PhotoOptions | None = None,
                **keywords) -> PhotoFix:
    """Latitude and longitude from a photograph of the night sky, in one call.

    photo, up_cam, lens, options and its keywords (mask, min_altitude_deg,
    line_px, max_centroids, sigma_arcmin, min_matched_stars,
    max_residual_rms_arcmin, use_sun): as for :func:`prepare_photo`; utc: a
    timezone-aware datetime or a (year, month, day, hour, minute, second)
    tuple in UTC; catalog: a halvane.Catalog (default: the bundled one). The
    gates are those of halvane.resolve_fix. Raises halvane.HalvaneError when
    the sky gives no fix, PhotoError or LensError for unusable input."""
    start = time.perf_counter()
    prepared = prepare_photo(photo, up_cam, lens, options=options, **keywords)
    fix = prepared.solve(utc, catalog)
    return PhotoFix(fix, prepared, time.perf_counter() - start)


# --- On the command line ---------------------------------------------------------
