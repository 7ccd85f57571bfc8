"""The photo path that solves a night sky from a photograph, the lens, the
vertical and the time alone, and its one options object (:class:`PhotoOptions`,
with its command-line options in :func:`add_photo_options`).

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

import argparse
import dataclasses
import math
import numbers
import time
from pathlib import Path

import numpy as np

import halvane

from . import default_catalog
from .air import Air, as_engine_altitude
from .lens import KEYS as LENS_KEYS
from .lens import Lens, LensError, as_lens, read_lens
from .narrow import identify, lens_field_deg
from .readers import DEFAULT_MAX_PIXELS, PhotoError, luminance, read_mask, read_photo
from .trust import check_lens_supports

__all__ = ["PhotoOptions", "PreparedPhoto", "PhotoFix", "PhotoError", "prepare_photo", "solve_photo",
           "add_photo_options", "lens_from_args", "round_detections", "as_lens", "luminance", "read_photo",
           "read_mask"]

# Measured on the adverse skies of halvane_tools.adverse with
# `bench/bench_photo.py --min-altitude 10 15 20 --line-px 7 11 15`: every
# pair solved alike there (their skyline stands up to 11 degrees), so the
# cut sits where it clears that skyline with room for haze, and the line at
# about three times a star's full width.
DEFAULT_MIN_ALTITUDE_DEG = 15.0
DEFAULT_LINE_PX = 11
MIN_LINE_PX, MAX_LINE_PX = 3, 255
DEFAULT_MAX_CENTROIDS = 28
# A detection whose second moments are more elongated than this (major over
# minor axis) is a ray or an edge, not a star.
MAX_ELONGATION = 2.0
GLARE_MIN_SATURATED_PX = 20
# The detectors' fixed floor above the background, in counts of a 16-bit frame.
DETECTOR_FLOOR = 2048
# A faint camera's frame is scaled so that the floor stands this many times
# its noise above the background (the detectors' own noise threshold), by at
# most MAX_GAIN (beyond it the noise estimate is the quantisation's own) and
# never so far that the brightest sky pixel saturates: clipped stars would
# lose their order and their centres.
DEFAULT_DETECTION_SIGMA = 5.0
MAX_GAIN = 64.0


@dataclasses.dataclass(frozen=True)
class PhotoOptions:
    """The photo path's settings: what to leave out and how to detect
    (mask, min_altitude_deg, line_px, max_centroids), the solve's gates
    (those of halvane.resolve_fix) with use_sun, and how good the vertical
    and the clock are (up_sigma_arcmin per horizontal axis, time_sigma_s; None
    for the lens file's or the defaults of halvane_tools.uncertainty). mask:
    None, a path, or an array of the photo's shape; non-zero means not sky.
    max_pixels: the largest photo file read (None: any)."""

    mask: object = None
    min_altitude_deg: float = DEFAULT_MIN_ALTITUDE_DEG
    line_px: int = DEFAULT_LINE_PX
    max_centroids: int = DEFAULT_MAX_CENTROIDS
    sigma_arcmin: float | None = None
    min_matched_stars: int | None = None
    max_residual_rms_arcmin: float | None = None
    use_sun: bool = False
    hdu: str | int | None = None
    detection_sigma: float | None = DEFAULT_DETECTION_SIGMA
    height_m: float | None = None
    pressure_hpa: float | None = None
    temperature_c: float | None = None
    max_pixels: int | None = DEFAULT_MAX_PIXELS
    up_sigma_arcmin: float | None = None
    time_sigma_s: float | None = None

    def __post_init__(self):
        # Refused here, before a batch starts, not at its first fix.
        for name in ("up_sigma_arcmin", "time_sigma_s"):
            value = getattr(self, name)
            if value is not None and (isinstance(value, bool) or not isinstance(value, (int, float))
                                      or not math.isfinite(value) or value < 0):
                raise PhotoError(f"{name} must be a finite number >= 0 (got {value!r})")

    def air(self) -> Air | None:
        """The site's air, or None for the engine's own sea-level refraction."""
        if self.height_m is None and self.pressure_hpa is None and self.temperature_c is None:
            return None
        try:
            return Air.at_site(self.height_m, self.pressure_hpa, self.temperature_c)
        except ValueError as e:
            raise PhotoError(str(e)) from None

    def updated(self, **changes) -> "PhotoOptions":
        """These options with the given fields replaced (TypeError for a name that is none)."""
        return dataclasses.replace(self, **changes) if changes else self

    def gates(self) -> dict:
        """The solve's keyword arguments these options set."""
        return {"sigma_arcmin": self.sigma_arcmin, "min_matched_stars": self.min_matched_stars,
                "max_residual_rms_arcmin": self.max_residual_rms_arcmin, "max_centroids": self.max_centroids}

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> "PhotoOptions":
        """The options that :func:`add_photo_options` put on a parsed command line."""
        return cls(mask=args.mask, min_altitude_deg=args.min_altitude, line_px=args.line_px,
                   max_centroids=args.max_centroids, sigma_arcmin=args.sigma, min_matched_stars=args.min_stars,
                   max_residual_rms_arcmin=args.max_residual, use_sun=args.use_sun, hdu=args.hdu,
                   detection_sigma=args.detection_sigma or None, height_m=args.height, pressure_hpa=args.pressure,
                   temperature_c=args.temperature, max_pixels=args.max_pixels, up_sigma_arcmin=args.up_sigma,
                   time_sigma_s=args.time_sigma)


SOLVE_FIELDS = frozenset(("sigma_arcmin", "min_matched_stars", "max_residual_rms_arcmin", "use_sun"))


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
    if not (isinstance(line_px, numbers.Integral) and not isinstance(line_px, bool) and MIN_LINE_PX <= line_px <= MAX_LINE_PX and line_px % 2 == 1):
        raise PhotoError(f"line_px must be odd and in {MIN_LINE_PX}..{MAX_LINE_PX} (got {line_px!r})")
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
    flattened = halvane._remove_extended_light(image, int(options.line_px))
    noise, peak = sky_noise(flattened, excluded)
    gain = noise_gain(noise, peak, options.detection_sigma)
    if gain > 1.0:
        flattened = np.minimum(flattened * np.float32(gain) + np.float32(0.5), 65535).astype(np.uint16)
    # Room for the detections the shape test will drop.
    candidates = halvane.detect_centroids(flattened, 3 * options.max_centroids, excluded)
    detections = round_detections(flattened, candidates)[: options.max_centroids]
    if air is not None:
        detections = through_air(detections, lens, up_cam, width, height, air)
    return PreparedPhoto(image, lens, up_cam, caller_mask, below, excluded, detections, options, noise, gain)


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


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a positive whole number: {text.strip()!r}")
    return value


def line_px_argument(text: str) -> int:
    """--line-px: an odd whole number of pixels, 3 to 255 (the line's middle
    pixel is the one it tests, so an even length has none)."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not (MIN_LINE_PX <= value <= MAX_LINE_PX and value % 2 == 1):
        raise argparse.ArgumentTypeError(f"must be an odd whole number of pixels from {MIN_LINE_PX} to {MAX_LINE_PX}"
                                         f" (got {text.strip()!r}); the default is {DEFAULT_LINE_PX}")
    return value


def altitude_argument(text: str) -> float:
    """--min-altitude: degrees in [0, 90); at 90 and above no sky is left."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0.0 <= value < 90.0:
        raise argparse.ArgumentTypeError(f"must be an altitude in degrees from 0 up to (not including) 90"
                                         f" (got {text.strip()!r})")
    return value


def non_negative_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"not a finite number >= 0: {text.strip()!r}")
    return value


def add_photo_options(parser: argparse.ArgumentParser) -> None:
    """The lens, photo-path and solve options that solve and batch share;
    :func:`lens_from_args` and :meth:`PhotoOptions.from_args` read them back."""
    lens = parser.add_argument_group("lens (give --fisheye-fov, --focal, both with --k1..--k4, or --lens)")
    lens.add_argument("--lens", metavar="FILE", help="JSON object with focal_px, cx, cy, fisheye_fov_deg, k1..k4;"
                      " options given here override its keys")
    # The lens options store into the Lens fields of the same names.
    lens.add_argument("--focal", dest="focal_px", type=float, help="focal length (radial scale) in pixels")
    lens.add_argument("--fisheye-fov", dest="fisheye_fov_deg", type=float,
                      help="full field of view of a fisheye, degrees")
    lens.add_argument("--cx", type=float, help="principal point x, pixels (default: image centre)")
    lens.add_argument("--cy", type=float, help="principal point y, pixels (default: image centre)")
    for k in ("k1", "k2", "k3", "k4"):
        lens.add_argument(f"--{k}", type=float, help=f"calibrated fisheye coefficient {k} (default 0)")
    path = parser.add_argument_group("photo path")
    path.add_argument("--mask", metavar="FILE", help="image or .npy of the photo's size; non-zero = not sky")
    path.add_argument("--min-altitude", type=altitude_argument, default=DEFAULT_MIN_ALTITUDE_DEG, metavar="DEG",
                      help="leave out the sky below this altitude (default %(default)g)")
    path.add_argument("--line-px", type=line_px_argument, default=DEFAULT_LINE_PX, metavar="N",
                      help="remove light longer than N px in some direction, odd (default %(default)d)")
    path.add_argument("--max-centroids", type=positive_int, default=DEFAULT_MAX_CENTROIDS, metavar="N",
                      help="brightest detections to use (default %(default)d)")
    gates = parser.add_argument_group("solve")
    gates.add_argument("--sigma", type=float, metavar="ARCMIN", help="star position sigma (default: half a pixel)")
    gates.add_argument("--min-stars", type=positive_int, metavar="N", help="refuse a fix with fewer identified stars")
    gates.add_argument("--max-residual", type=float, metavar="ARCMIN", help="refuse a fix with a larger residual")
    gates.add_argument("--use-sun", action="store_true", help="also use the Sun's disc as a sight")
    path.add_argument("--max-pixels", type=positive_int, default=DEFAULT_MAX_PIXELS, metavar="N",
                      help="refuse a photo of more pixels, before decoding it (default %(default)d)")
    path.add_argument("--hdu", metavar="NAME|INDEX",
                      help="the image of a FITS file with several: its EXTNAME or number, 0 = primary (default: one"
                           " named AVEPIXEL, a meteor camera's average, else the first image)")
    path.add_argument("--detection-sigma", type=float, default=DEFAULT_DETECTION_SIGMA, metavar="K",
                      help="lift a faint camera's frame so that the detectors' fixed floor sits at K times its noise;"
                           " 0 = never (default %(default)g)")
    air = parser.add_argument_group("air at the site (default: the engine's sea-level refraction)")
    air.add_argument("--height", type=float, metavar="M",
                     help="height above sea level, m: the standard pressure there")
    air.add_argument("--pressure", type=float, metavar="HPA", help="measured air pressure, hPa (overrides --height)")
    air.add_argument("--temperature", type=float, metavar="C", help="air temperature, deg C (default 10)")
    sigmas = parser.add_argument_group("uncertainty (what the total ellipse counts besides the stars)")
    sigmas.add_argument("--up-sigma", type=non_negative_float, metavar="ARCMIN",
                        help="standard deviation of the vertical's error along each horizontal axis (default: the"
                        " lens file's record for its own up_cam, else a measured default; the fix says which)")
    sigmas.add_argument("--time-sigma", type=non_negative_float, metavar="S",
                        help="standard deviation of the photo's time, seconds (default: a measured default)")


def lens_from_args(args: argparse.Namespace) -> Lens:
    """The lens of --lens FILE with any of --focal, --cx, --cy, --fisheye-fov
    and --k1..--k4 given on the command line put over it."""
    given = {key: getattr(args, key) for key in LENS_KEYS if getattr(args, key) is not None}
    if not args.lens and "focal_px" not in given and "fisheye_fov_deg" not in given:
        raise LensError("give the lens: --fisheye-fov (ideal fisheye), --focal (pinhole), --focal and"
                        " --fisheye-fov with --k1..--k4 (calibrated fisheye), or --lens FILE")
    fields = dataclasses.asdict(read_lens(args.lens)) if args.lens else {}
    if "focal_px" in given and fields.get("uncertainty"):
        # The file's focal sigma is that of its own focal, not of the one given here.
        fields["uncertainty"] = {**fields["uncertainty"], "focal_sigma_px": None}
    fields.update(given)
    lens = Lens(**fields)
    # An ideal fisheye's focal follows from its field, so a --focal beside
    # --fisheye-fov without k1..k4 would go unused: say so rather than drop it.
    if "focal_px" in given and lens.fisheye_fov_deg is not None and not lens.is_calibrated:
        raise LensError("--focal is unused with --fisheye-fov unless --k1..--k4 are given (a calibrated fisheye):"
                        " drop --focal for an ideal fisheye, or --fisheye-fov for a pinhole")
    return lens
