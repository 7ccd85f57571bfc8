"""The photo path's one options object (:class:`PhotoOptions`) and its form
on the command line (:func:`add_photo_options`, :func:`lens_from_args`):
what to leave out, how to detect, the solve's gates, the site's air and how
good the vertical and the clock are."""
from __future__ import annotations

import argparse
import dataclasses
import math

from .air import Air
from .lens import KEYS as LENS_KEYS
from .lens import Lens, LensError, read_lens
from .readers import DEFAULT_MAX_PIXELS, PhotoError
from .times import DEFAULT_TIME_IS, TIME_IS, clock_offset_argument

# Measured on the adverse skies of halvane_tools.adverse with
# `bench/bench_photo.py --min-altitude 10 15 20 --line-px 7 11 15`: every
# pair solved alike there (their skyline stands up to 11 degrees), so the
# cut sits where it clears that skyline with room for haze.
DEFAULT_MIN_ALTITUDE_DEG = 15.0
# The flattening line is by default about three times the full width at
# half maximum of the frame's own stars (measured on it, see
# photo.star_width_px): long enough to leave a star whole, short enough to
# take the Moon's ghosts, tree edges and glare halos away. Real all-sky
# cameras' stars are 1.6-2.3 px wide, the synthesized skies' 3.2-4.4 px
# (lines of 9-13). Not shorter than 7: real stars have wider wings than their
# half width tells, and at 5 px a real frame loses a third of its fainter
# detections (63 of 91 on one) though its brightest stay. DEFAULT_LINE_PX is
# the line when too few stars can be measured, and the one the sky's noise
# is measured with.
DEFAULT_LINE_PX = 11
LINE_PER_STAR_WIDTH = 3.0
AUTO_LINE_PX = (7, 15)  # the automatic line's bounds
MIN_LINE_PX, MAX_LINE_PX = 3, 255
DEFAULT_MAX_CENTROIDS = 28
# A faint camera's frame is scaled so that the floor stands this many times
# its noise above the background (the detectors' own noise threshold), by at
# most MAX_GAIN (beyond it the noise estimate is the quantisation's own) and
# never so far that the brightest sky pixel saturates: clipped stars would
# lose their order and their centres.
DEFAULT_DETECTION_SIGMA = 5.0


@dataclasses.dataclass(frozen=True)
class PhotoOptions:
    """The photo path's settings: what to leave out and how to detect
    (mask, min_altitude_deg, line_px, max_centroids; line_px None chooses the
    line from the width of the frame's stars), the solve's gates
    (those of halvane.resolve_fix) with use_sun, and how good the vertical
    and the clock are (up_sigma_arcmin per horizontal axis, time_sigma_s; None
    for the lens file's or the defaults of halvane_tools.uncertainty). mask:
    None, a path, or an array of the photo's shape; non-zero means not sky.
    max_pixels: the largest photo file read (None: any)."""

    mask: object = None
    min_altitude_deg: float = DEFAULT_MIN_ALTITUDE_DEG
    line_px: int | None = None  # None: from the frame's star width
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


def _checked(text: str, convert, accepted, refusal: str):
    """text read by convert, refused with `refusal` unless it reads and is accepted."""
    try:
        value = convert(text)
    except ValueError:
        raise argparse.ArgumentTypeError(refusal) from None
    if not accepted(value):
        raise argparse.ArgumentTypeError(refusal)
    return value


def positive_int(text: str) -> int:
    return _checked(text, int, lambda v: v >= 1, f"not a positive whole number: {text.strip()!r}")


def line_px_argument(text: str) -> int | None:
    """--line-px: 'auto' (None), or an odd whole number of pixels, 3 to 255
    (the line's middle pixel is the one it tests, so an even length has none)."""
    if text.strip().lower() == "auto":
        return None
    return _checked(text, int, lambda v: MIN_LINE_PX <= v <= MAX_LINE_PX and v % 2 == 1,
                    f"must be an odd whole number of pixels from {MIN_LINE_PX} to {MAX_LINE_PX}"
                    f" (got {text.strip()!r}), or auto (the default: about {LINE_PER_STAR_WIDTH:g} times the"
                    " width of the photo's stars)")


def altitude_argument(text: str) -> float:
    """--min-altitude: degrees in [0, 90); at 90 and above no sky is left."""
    return _checked(text, float, lambda v: 0.0 <= v < 90.0,
                    f"must be an altitude in degrees from 0 up to (not including) 90 (got {text.strip()!r})")


def non_negative_float(text: str) -> float:
    return _checked(text, float, lambda v: math.isfinite(v) and v >= 0,
                    f"not a finite number >= 0: {text.strip()!r}")


def add_command(commands, name: str, run, help: str, description: str | None = None) -> argparse.ArgumentParser:
    """A subcommand of the command line whose parsed arguments go to `run`."""
    command = commands.add_parser(name, help=help, description=description)
    command.set_defaults(run=run)
    return command


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
    path.add_argument("--line-px", type=line_px_argument, default=None, metavar="N|auto",
                      help="remove light longer than N px in some direction, odd (default auto: about"
                           f" {LINE_PER_STAR_WIDTH:g} times the width of the photo's stars, {AUTO_LINE_PX[0]} to"
                           f" {AUTO_LINE_PX[1]}, or {DEFAULT_LINE_PX} when too few can be measured)")
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


def add_exposure_options(group, given: str) -> None:
    """--exposure and --time-is, as solve and batch share them; `given` names
    where the time they speak of comes from (--utc, the frame's time)."""
    group.add_argument("--exposure", type=float, metavar="S",
                       help="exposure length, s (default: the photo's EXIF or FITS exposure, else 0)")
    group.add_argument("--time-is", choices=TIME_IS, default=DEFAULT_TIME_IS,
                       help=f"which moment of the exposure {given} gives (default %(default)s: what cameras stamp and"
                            " the moment the shutter opens); the solve uses the middle, where the stars' centroids sit")


def add_time_sources(sources, offsets) -> None:
    """The per-file time sources that batch, calibrate and watch share:
    --time-from-name, --time-from-exif and --times into the mutually exclusive
    group `sources`, --clock-offset into `offsets`."""
    sources.add_argument("--time-from-name", metavar="PATTERN",
                         help="strptime pattern matching the whole file name without suffix, e.g."
                              " 'cam_%%Y%%m%%d_%%H%%M%%S'; UTC unless it holds %%z")
    sources.add_argument("--time-from-exif", action="store_true",
                         help="EXIF DateTimeOriginal, less --clock-offset (default: the photo's OffsetTimeOriginal,"
                              " or 0)")
    sources.add_argument("--times", metavar="CSV", help="rows of file (path or name) and UTC (ISO 8601)")
    offsets.add_argument("--clock-offset", type=clock_offset_argument, metavar="OFFSET",
                         help="how far the camera's clock is ahead of UTC: seconds, or +HH:MM")


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
