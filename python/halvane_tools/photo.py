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
4. detects stars on what is left, drops detections that are not round
   (aurora rays, edges), and solves with the brightest ``max_centroids``;
5. refuses a fix that leaves bright detections unexplained by the
   catalogue through the stated lens (:mod:`halvane_tools.trust`).

The heavy pixel passes run in the engine (``halvane._remove_extended_light``,
``_below_altitude_mask``, ``_glare_mask``), and so does the one solve of the
detections (``halvane._resolve_photo``, with the solar disc of
``_detect_sun`` when the Sun is asked for).
"""
from __future__ import annotations

import argparse
import dataclasses
import time
from pathlib import Path

import numpy as np

import halvane

from . import default_catalog
from .lens import KEYS as LENS_KEYS
from .lens import Lens, LensError, as_lens, read_lens
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
DEFAULT_MAX_CENTROIDS = 28
# A detection whose second moments are more elongated than this (major over
# minor axis) is a ray or an edge, not a star.
MAX_ELONGATION = 2.0
GLARE_MIN_SATURATED_PX = 20


@dataclasses.dataclass(frozen=True)
class PhotoOptions:
    """The photo path's settings: what to leave out and how to detect
    (mask, min_altitude_deg, line_px, max_centroids), and the solve's gates
    (those of halvane.resolve_fix) with use_sun. mask: None, a path, or an
    array of the photo's shape; non-zero means not sky. max_pixels: the
    largest photo file read (None: any)."""

    mask: object = None
    min_altitude_deg: float = DEFAULT_MIN_ALTITUDE_DEG
    line_px: int = DEFAULT_LINE_PX
    max_centroids: int = DEFAULT_MAX_CENTROIDS
    sigma_arcmin: float | None = None
    min_matched_stars: int | None = None
    max_residual_rms_arcmin: float | None = None
    use_sun: bool = False
    max_pixels: int | None = DEFAULT_MAX_PIXELS

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
                   max_residual_rms_arcmin=args.max_residual, use_sun=args.use_sun, max_pixels=args.max_pixels)


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
        catalog = catalog if catalog is not None else default_catalog()
        # The disc is glare to the star path, so it is looked for on the
        # luminance itself, with only the caller's and the horizon's exclusions.
        sun = halvane._detect_sun(self.image, self.below_horizon | self.caller_mask) if options.use_sun else None
        k = self.lens.keywords()
        fix = halvane._resolve_photo(self.detections, self.width, self.height, k.pop("focal_px"), k.pop("cx"),
                                     k.pop("cy"), self.up_cam, utc, catalog, sun=sun, tracker=tracker,
                                     **options.gates(), **k)
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
    image = read_photo(photo, options.max_pixels) if isinstance(photo, (str, Path)) else luminance(photo)
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
    # Room for the detections the shape test will drop.
    candidates = halvane.detect_centroids(flattened, 3 * options.max_centroids, excluded)
    detections = round_detections(flattened, candidates)[: options.max_centroids]
    return PreparedPhoto(image, lens, up_cam, caller_mask, below, excluded, detections, options)


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
    path.add_argument("--min-altitude", type=float, default=DEFAULT_MIN_ALTITUDE_DEG, metavar="DEG",
                      help="leave out the sky below this altitude (default %(default)g)")
    path.add_argument("--line-px", type=positive_int, default=DEFAULT_LINE_PX, metavar="N",
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


def lens_from_args(args: argparse.Namespace) -> Lens:
    """The lens of --lens FILE with any of --focal, --cx, --cy, --fisheye-fov
    and --k1..--k4 given on the command line put over it."""
    given = {key: getattr(args, key) for key in LENS_KEYS if getattr(args, key) is not None}
    if not args.lens and "focal_px" not in given and "fisheye_fov_deg" not in given:
        raise LensError("give the lens: --fisheye-fov (ideal fisheye), --focal (pinhole), --focal and"
                        " --fisheye-fov with --k1..--k4 (calibrated fisheye), or --lens FILE")
    fields = dataclasses.asdict(read_lens(args.lens)) if args.lens else {}
    fields.update(given)
    return Lens(**fields)
