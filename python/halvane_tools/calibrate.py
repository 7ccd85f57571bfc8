"""Lens calibration from the stars of one photograph, or of several from one fixed camera.

A clear night photo taken at a known place and time is the best calibration
target there is: it holds hundreds of stars whose directions are known to
arcseconds. :func:`calibrate_photo`

1. detects the stars with the photo path's preparation (hundreds of them,
   not the dozen a fix needs);
2. computes where every catalogue star stands in the local sky at that
   place and time (observed places from ERFA: precession, nutation,
   aberration and refraction);
3. finds the camera's rotation about one known axis by trying every angle:
   the vertical for a camera whose vertical is known (a fisheye looking
   up), or the boresight that the engine's own star identification yields;
4. fits focal, principal point, k1, k2 (k3, k4 on request) and the rotation
   by robust least squares (SciPy, in :mod:`halvane_tools.calibration_fit`),
   pairing each predicted star with the nearest detection within a radius
   that halves at every round, from a few degrees down to two pixels. The terms the stars cannot see well are held:
   k3, k4 at the values of the family the fitted k1 names, or at none,
   whichever fits better; k2 likewise on a field too narrow to show it.

Several photos of one fixed camera (:func:`calibrate_photos`) share the lens
and the vertical: the start is made on the photo with the most detections,
then each photo's stars, placed at its own time, pair with its own
detections in one fit. A narrow camera with a score of stars a photo gets
hundreds this way, as the sky turns through its field.

What comes out is a :class:`halvane_tools.Lens` with the vertical ``up_cam``
in the camera frame, ready for ``halvane solve --lens``, with the number of
stars and the residuals; :func:`halvane_tools.annotate.write_residual_plot`
draws the residuals. SciPy and pyerfa (matplotlib for the plot) are needed
for calibration only (pyerfa through :mod:`halvane_tools.observed`).
"""
from __future__ import annotations

import dataclasses
import datetime
import importlib
import json
import math
from pathlib import Path

import numpy as np

import halvane

from . import annotate, default_catalog
from .lens import Lens, LensError
from .photo import DEFAULT_LINE_PX, PhotoError, prepare_photo
from .calibration_quality import CalibrationError, FitQuality, measure_quality, refusal
from .calibration_fit import FINAL_RADIUS_PX, START_AGAIN, Fitted, Pool, brightest, fit_rounds, fitter
from .observed import DEFAULT_MIN_ALTITUDE_DEG, LocalSky, observed_sky, require_extra
from .projections import PROJECTIONS, LensModel, fisheye_fov_for, projection_k
from .report import counted
from .rough_start import MIN_START_MATCHES, engine_boresight, start_about_axis, start_looking_up
from .times import utc_datetime

# A camera said to look up may lean this far (the start reaches farther);
# beyond it the place or the time is the likelier fault.
MAX_LEAN_DEG = 15.0
# Each fitted parameter wants several stars.
STARS_PER_PARAMETER = 3
DEFAULT_MAX_DETECTIONS = 3000
# The first pairing radius, as an angle: it covers the error of an ideal
# fisheye standing in for a distorted one (about 4 degrees mid-field for
# k1 = -0.03) and of a pinhole focal 5 % off at the edge of the frame.
START_RADIUS_RAD = math.radians(6.0)
# The rough start must lay this share of the brightest stars near a
# detection: a right start lays nearly all of them, a wrong one a third.
START_SHARE = 0.6
FEW_STARS = "use a longer exposure, a clearer sky, a wider field or a lower --min-altitude"
# Heights the refraction of standard air is computed for: the shore of the
# Dead Sea to the top of the air that bends starlight.
MIN_HEIGHT_M = -1000.0
MAX_HEIGHT_M = 100_000.0


@dataclasses.dataclass(frozen=True)
class Calibration:
    """A fitted lens (with up_cam) and how well it fits: the stars used,
    their detected and predicted pixels and off-axis angles, and the place
    and time of the photo."""

    lens: Lens
    hr_ids: np.ndarray
    detected_px: np.ndarray  # (n, 2)
    predicted_px: np.ndarray  # (n, 2)
    off_axis_deg: np.ndarray  # (n,)
    utc: datetime.datetime
    lat_deg: float
    lon_deg: float
    height_m: float
    width: int
    height: int
    image: np.ndarray = dataclasses.field(repr=False)  # the photo's luminance, for the plot
    quality: "FitQuality | None" = None
    # Several photos: which photo each star is from, and the photos' times (utc is the first's).
    frame_index: np.ndarray | None = dataclasses.field(default=None, repr=False)
    utcs: tuple = ()

    @property
    def n_stars(self) -> int:
        return len(self.hr_ids)

    @property
    def residuals_px(self) -> np.ndarray:
        return np.linalg.norm(self.predicted_px - self.detected_px, axis=1)

    @property
    def median_residual_px(self) -> float:
        return float(np.median(self.residuals_px))

    @property
    def rms_residual_px(self) -> float:
        return float(np.sqrt(np.mean(self.residuals_px**2)))

    def record(self) -> dict:
        """The lens file's JSON object: the lens keys, up_cam, and what the
        calibration was made from."""
        lens = dataclasses.asdict(self.lens)
        lens["up_cam"] = list(self.lens.up_cam)
        lens["calibration"] = {
            "n_stars": self.n_stars,
            "median_residual_px": round(self.median_residual_px, 4),
            "rms_residual_px": round(self.rms_residual_px, 4),
            "utc": self.utc.isoformat(),
            "lat_deg": self.lat_deg,
            "lon_deg": self.lon_deg,
            "height_m": self.height_m,
        }
        if len(self.utcs) > 1:
            lens["calibration"]["utcs"] = [when.isoformat() for when in self.utcs]
        q = self.quality
        if q is not None:
            inner, outer, reach = q.off_axis_deg
            lens["calibration"].update({
                "projection": q.projection,
                "held_out_median_px": round(q.held_out_median_px, 4),
                "n_held_out": q.n_held_out,
                "off_axis_deg": [round(inner, 2), round(outer, 2), round(reach, 2)],
                "azimuth_sectors": q.azimuth_sectors,
                "sigma": {name: float(f"{value:.4g}") for name, value in q.sigma.items()},
                # The vertical in the frame's own axes, which a narrow field knows
                # no better than the principal point.
                "up_frame_sigma_arcmin": float(f"{q.up_frame_sigma_arcmin:.4g}"),
            })
            lens["uncertainty"] = {
                "up_sigma_arcmin": float(f"{q.up_sigma_arcmin:.4g}"),
                "focal_sigma_px": float(f"{q.sigma.get('focal_px', 0.0):.4g}"),
                "utc": self.utc.isoformat(),
            }
        return lens

    def write(self, path: str | Path) -> None:
        Path(path).write_text(json.dumps(self.record(), indent=2) + "\n", encoding="utf-8")


def _as_datetime(utc) -> datetime.datetime:
    if isinstance(utc, datetime.datetime):
        if utc.tzinfo is None:
            raise CalibrationError("utc must be timezone-aware (or a (year, month, day, hour, minute, second) tuple)")
    return utc_datetime(utc)


def _check_place(lat_deg: float, lon_deg: float, height_m: float) -> None:
    """Refuse a place the observed sky cannot be computed for, naming the value and its range."""
    for name, value, low, high in (("latitude", lat_deg, -90.0, 90.0), ("longitude", lon_deg, -360.0, 360.0),
                                   ("height", height_m, MIN_HEIGHT_M, MAX_HEIGHT_M)):
        if not (isinstance(value, (int, float)) and low <= value <= high):  # NaN fails too
            raise CalibrationError(f"{name} must be a number from {low:g} to {high:g} (got {value!r})")


@dataclasses.dataclass(frozen=True)
class _FrameStars:
    """One photo's part of a calibration: its detections (brightest first),
    the catalogue stars above the cut at its time, and its sky area."""

    name: str
    when: datetime.datetime
    detections: np.ndarray  # (n, 2)
    centroids: list  # (x, y, flux), as the engine's star identification takes them
    sky: LocalSky | None
    sky_area_px: float


def calibrate_photo(photo, utc, lat_deg: float, lon_deg: float, **keywords) -> Calibration:
    """Fit the lens and the vertical to the stars of one photo, in one call.

    photo: a path or an array (as for halvane_tools.photo.prepare_photo);
    utc: a timezone-aware datetime or a UTC (year, month, day, hour, minute,
    second) tuple; lat_deg, lon_deg: where it was taken. The keywords are
    those of :func:`calibrate_photos`."""
    return calibrate_photos([(photo, utc)], lat_deg, lon_deg, **keywords)


def calibrate_photos(frames, lat_deg: float, lon_deg: float, *, height_m: float = 0.0,
                     fisheye_fov_deg: float | None = None, focal_px: float | None = None, cx: float | None = None,
                     cy: float | None = None, up_cam=None, fit_k3_k4: bool = False, mask=None,
                     min_altitude_deg: float = DEFAULT_MIN_ALTITUDE_DEG,
                     max_detections: int = DEFAULT_MAX_DETECTIONS, catalog=None,
                     projection: str | None = None, progress=None) -> Calibration:
    """Fit one lens and one vertical to the stars of one or more photos of a
    fixed camera, in one call.

    frames: (photo, utc) pairs, the photo a path or an array (as for
    halvane_tools.photo.prepare_photo), utc a timezone-aware datetime or a
    UTC (year, month, day, hour, minute, second) tuple; every photo has the
    same size. lat_deg, lon_deg, height_m: where the camera stands.
    The rough start: fisheye_fov_deg (the field across the shorter side) or
    focal_px, cx, cy (default the centre), up_cam (default straight along the
    boresight for a fisheye; for a pinhole without it the engine's star
    identification finds the pointing), projection (one of PROJECTIONS; any
    named projection is fitted as the calibrated fisheye, so a distorted
    narrow lens is ``focal_px`` with ``projection="rectilinear"``; none
    means the equidistant fisheye for a field and the pinhole for a focal).
    A fisheye looking up is started by searching the principal point, the
    focal and the projection with the rotation, on the photo with the most
    detections; every photo's stars then take part in the fit, each photo
    with the sky of its own time. fit_k3_k4 also fits the fisheye's k3 and
    k4. mask: as for prepare_photo, shared by every photo. catalog: the
    halvane.Catalog the pinhole's pointing is identified with (default: the
    bundled one); the observed places come from the bundled catalogue.
    progress: None, or a callable given one line of text at each stage.
    Raises CalibrationError with one line saying what to change; a lens
    whose stars do not cover the field, whose held-out stars miss, or whose
    vertical is poorly known is refused, never returned."""
    require_extra("scipy", "scipy")
    least_squares = importlib.import_module("scipy.optimize").least_squares
    frames = list(frames)
    _check_request(frames, projection, fisheye_fov_deg, focal_px, lat_deg, lon_deg, height_m)
    fisheye = fisheye_fov_deg is not None or projection is not None
    several = len(frames) > 1

    def say(text: str) -> None:
        if progress is not None:
            progress(text)

    whens = [_as_datetime(utc) for _, utc in frames]
    up_known = up_cam is not None or fisheye_fov_deg is not None
    start_up = tuple(float(v) for v in (up_cam if up_cam is not None else (0.0, 0.0, 1.0)))
    rough_lens = {"focal_px": focal_px, "cx": cx, "cy": cy, "fisheye_fov_deg": fisheye_fov_deg}
    first, reachable, stars_of = _detect_stars(frames, whens, rough_lens, start_up, mask, max_detections,
                                               max(min_altitude_deg - 5.0, 0.0) if up_known else -90.0, say)
    frame = np.array([first.width, first.height])
    family, focal0, half_field = _rough_law(frame, fisheye_fov_deg, focal_px, projection)
    # The start is made on the photo with the most detections.
    lead = max(range(len(stars_of)), key=lambda i: (len(stars_of[i].detections), -i))
    if len(stars_of[lead].detections) < MIN_START_MATCHES:
        raise CalibrationError(f"only {counted(len(stars_of[lead].detections), 'star')} detected"
                               f"{' in any photo' if several else ''}: use a longer exposure or a darker, clearer sky")
    say(f"{counted(sum(len(s.detections) for s in stars_of), 'detection')}; placing the catalogue stars"
        " (ERFA observed places)")
    stars_of = [dataclasses.replace(s, sky=observed_sky(s.when, lat_deg, lon_deg, height_m, min_altitude_deg))
                for s in stars_of]
    say(f"{counted(len(stars_of[lead].sky.local), 'catalogue star')} above {min_altitude_deg:g}°; turning the rough"
        " lens onto them")
    looking_up = fisheye and up_known and start_up[2] > 0 and math.hypot(start_up[0], start_up[1]) < 1e-9
    start = _start(stars_of[lead], first, frame, fisheye, family, focal0, half_field, start_up, up_known, looking_up,
                   lat_deg, lon_deg, catalog, least_squares)
    pool = Pool.of(stars_of)
    place = _Place(f"the {len(stars_of)} photos" if several else "the photo", several)
    min_stars = STARS_PER_PARAMETER * (6 + (4 if fit_k3_k4 else 2) * fisheye)
    _check_start(start, pool.standing(start.model, start.p, frame), min_stars, len(stars_of[lead].detections),
                 looking_up, place, min_altitude_deg)
    fit = fitter(start.model, pool, least_squares)
    fitted = fit_rounds(pool, start, frame, fisheye, fit_k3_k4, half_field, fit, say)
    inliers = _check_fit(fitted, start.model, pool, place) <= FINAL_RADIUS_PX
    quality = _quality_gates(fitted, start.model, pool, inliers, frame, fit, reachable, fisheye, looking_up)
    return _calibration(fitted, start.model, pool, inliers, quality, fisheye, fisheye_fov_deg, frame, first, whens,
                        lat_deg, lon_deg, height_m)


def _check_request(frames, projection, fisheye_fov_deg, focal_px, lat_deg, lon_deg, height_m) -> None:
    """Refuse a call that names no photo, no rough lens or both, an unknown projection or an impossible place."""
    if not frames:
        raise CalibrationError("give at least one photo to calibrate from")
    if projection is not None and projection not in PROJECTIONS:
        raise CalibrationError(f"unknown projection {projection!r}: name one of {', '.join(PROJECTIONS)}")
    if (fisheye_fov_deg is None) == (focal_px is None):
        raise CalibrationError("give the rough lens: --fisheye-fov DEG for a fisheye or --focal PX for a pinhole")
    _check_place(lat_deg, lon_deg, height_m)


def _detect_stars(frames, whens, rough_lens: dict, start_up, mask, max_detections: int, cut_deg: float, say):
    """Every photo's detections, prepared with the rough lens (rough_lens:
    Lens's keywords) and an altitude cut of cut_deg; photos of another size
    than the first are refused. Returns the first photo's preparation, where
    stars were looked for in it, and each photo's _FrameStars (no sky yet)."""
    several = len(frames) > 1
    first = reachable = None
    stars_of = []
    for number, ((photo, _), when) in enumerate(zip(frames, whens)):
        name = str(photo) if isinstance(photo, (str, Path)) else f"photo {number + 1}"
        say(f"detecting stars{f' in {name}' if several else ''}")
        try:
            rough = Lens(**rough_lens)
            # The fit wants the faint stars too, and a line shorter than 11 px
            # cuts their wings below the floor (a real frame kept 63 of 91 at 5 px).
            prepared = prepare_photo(photo, start_up, rough, mask=mask, max_centroids=max_detections,
                                     min_altitude_deg=cut_deg, line_px=DEFAULT_LINE_PX)
        except (PhotoError, LensError, halvane.HalvaneError) as e:
            raise CalibrationError(f"{name}: {e}" if several else str(e)) from None
        if first is None:
            first = prepared
            # Where stars were looked for: the same in every photo of the camera.
            reachable = ~(prepared.below_horizon | prepared.caller_mask)
        elif (prepared.width, prepared.height) != (first.width, first.height):
            raise CalibrationError(f"{name} is {prepared.width} x {prepared.height} px but the first photo"
                                   f" {first.width} x {first.height} px: calibrate one camera's photos at a time")
        detections = np.asarray([(x, y) for x, y, _ in prepared.detections], dtype=np.float64).reshape(-1, 2)
        stars_of.append(_FrameStars(name, when, detections, prepared.detections, None,
                                    float(np.count_nonzero(~prepared.excluded))))
    return first, reachable, stars_of


def _rough_law(frame: np.ndarray, fisheye_fov_deg, focal_px, projection) -> tuple[str, float, float]:
    """The family to start from, its focal, and the half field (radians) the
    family's polynomial is fitted over."""
    family = projection or ("equidistant" if fisheye_fov_deg is not None else "rectilinear")
    if fisheye_fov_deg is not None:
        half_field = math.radians(fisheye_fov_deg) / 2.0
        focal0 = min(frame) / 2.0 / float(PROJECTIONS[family](np.array(min(half_field, math.radians(89.0)))
                                                             if family in ("orthographic", "rectilinear")
                                                             else np.array(half_field)))
    else:
        focal0 = float(focal_px)
        half_field = min(math.atan(math.hypot(*frame) / 2.0 / focal0) * 1.15, math.radians(120.0))
    return family, focal0, half_field


@dataclasses.dataclass(frozen=True)
class _Start:
    """The rough start: the turned model, its parameters, the family chosen,
    the brightest stars in the frame, the pairing radius reached and how many
    of those stars it lays near a detection."""

    model: LensModel
    p: np.ndarray
    family: str
    visible: np.ndarray
    radius: float
    laid: int


def _start(lead: _FrameStars, first, frame: np.ndarray, fisheye: bool, family: str, focal0: float, half_field: float,
           start_up, up_known: bool, looking_up: bool, lat_deg: float, lon_deg: float, catalog,
           least_squares) -> _Start:
    """The rough start on the lead photo: a fisheye looking up by the search
    of centre, focal and projection with the spin; any other camera turned
    about one known axis (the vertical given, or the engine's boresight)."""
    rough = first.lens
    model = LensModel(fisheye, np.eye(3))
    p = np.zeros(10)
    p[LensModel.FOCAL], p[LensModel.CX], p[LensModel.CY] = focal0, rough.cx, rough.cy
    if fisheye:
        p[LensModel.K] = projection_k(family, half_field)
    radius = START_RADIUS_RAD * focal0
    start_count = brightest(radius, lead.sky_area_px)
    if looking_up:
        model, family, visible, radius, laid = start_looking_up(
            model, p, lead.sky.local, lead.detections, family, half_field, min(frame) / 2.0, frame, start_count,
            least_squares)
        return _Start(model, p, family, visible, radius, laid)
    if up_known:
        axis_cam, axis_local = start_up, (0.0, 0.0, 1.0)
    else:
        axis_local = engine_boresight(lead.centroids, rough, lead.when, catalog or default_catalog(), lat_deg, lon_deg)
        if axis_local is None:
            raise CalibrationError("the stars were not identified with the rough lens: give --up X Y Z (the"
                                   " vertical in the camera frame) or a focal nearer the truth (--focal)")
        axis_cam = (0.0, 0.0, 1.0)
    model, visible, laid = start_about_axis(model, p, axis_cam, axis_local, lead.sky.local, lead.detections,
                                            rough.camera(first.width, first.height), frame, start_count, radius)
    return _Start(model, p, family, visible, radius, laid)


@dataclasses.dataclass(frozen=True)
class _Place:
    """How the messages name the photos: "the photo" or "the 3 photos"."""

    where: str
    several: bool

    @property
    def whose(self) -> str:
        return f"{self.where}'" if self.several else f"{self.where}'s"


def _check_start(start: _Start, in_frame: int, min_stars: int, lead_detections: int, looking_up: bool, place: _Place,
                 min_altitude_deg: float) -> None:
    """Refuse a sky with too few catalogue stars in the frame, or a start
    that lays too few of the brightest near a detection."""
    if in_frame < min_stars:
        raise CalibrationError(f"only {counted(in_frame, 'catalogue star')} {'stands' if in_frame == 1 else 'stand'}"
                               f" in {place.where} above {min_altitude_deg:g}° (at least {min_stars} needed):"
                               f" {FEW_STARS}")
    # A faint camera detects fewer stars than the brightest listed: the share
    # is of the stars it could have laid.
    laid, visible = start.laid, start.visible
    if laid < max(MIN_START_MATCHES, START_SHARE * min(len(visible), lead_detections)):
        what = ("the camera's pointing (--up), then the rough lens: the search reaches a focal about a quarter"
                " either side of the stated one and a zenith a fifth of the image circle's radius from --cx/--cy"
                if looking_up else
                "the place, the time, the rough lens (--focal, --projection) or --up")
        raise CalibrationError(f"the rough start lays only {laid} of the {counted(len(visible), 'brightest star')} near a"
                               f" detection even after searching the centre, focal and projection: check --utc,"
                               f" --lat/--lon and {what}"
                               if looking_up else
                               f"the rough start lays only {laid} of the {counted(len(visible), 'brightest star')} near a"
                               f" detection: check --utc, --lat/--lon, {what}")


def _check_fit(fitted: Fitted, model: LensModel, pool: Pool, place: _Place) -> np.ndarray:
    """Refuse a fit that did not converge or holds too few stars for its
    parameters, naming whether the sky or the start is short. Returns each
    pair's residual, pixels."""
    result, pairs, in_frame = fitted.result, fitted.pairs, fitted.in_frame
    if not result.success:
        raise CalibrationError(f"the fit did not converge ({result.message.rstrip('.')}): {START_AGAIN}")
    min_stars = STARS_PER_PARAMETER * len(fitted.variables)
    if len(pairs) < min_stars:
        more = ", or more photos" if place.several else ", or several photos of the same camera"
        detected = sum(len(s.detections) for s in pool.frames)
        # When most of what was detected paired, the photo is short of stars, not the fit of a start.
        if 2 * len(pairs) >= detected:
            raise CalibrationError(f"only {counted(len(pairs), 'star')} identified (at least {min_stars} needed):"
                                   f" {place.where} {'show' if place.several else 'shows'} only"
                                   f" {counted(detected, 'star')} of {in_frame} catalogue stars; {FEW_STARS}{more}")
        if in_frame < 3 * min_stars:
            raise CalibrationError(f"only {counted(len(pairs), 'star')} identified (at least {min_stars} needed)"
                                   f" although {in_frame} catalogue stars stand in {place.where}: {FEW_STARS}{more}")
        raise CalibrationError(f"only {len(pairs)} of {place.whose} {in_frame} catalogue stars paired with a"
                               f" detection (at least {min_stars} needed): name the lens's projection"
                               f" (--projection), or {START_AGAIN}")
    p = fitted.p
    gaps = np.linalg.norm(model.project(p, pool.local[pairs[:, 0]]) - pool.detections[pairs[:, 1]], axis=1)
    if not math.isfinite(p[LensModel.FOCAL]) or p[LensModel.FOCAL] <= 0 or np.median(gaps) > FINAL_RADIUS_PX / 2:
        raise CalibrationError(f"the fit did not converge (median residual {np.median(gaps):.2f} px): {START_AGAIN}")
    return gaps


def _quality_gates(fitted: Fitted, model: LensModel, pool: Pool, inliers: np.ndarray, frame: np.ndarray, fit,
                   reachable: np.ndarray, fisheye: bool, looking_up: bool) -> FitQuality:
    """The fit's quality from its inliers, or CalibrationError when the
    camera said to look up leans too far or the lens fails a gate."""
    quality = measure_quality(model, fitted.p, fitted.variables, pool.local, fitted.pairs[inliers], pool.detections,
                              frame, fit, reachable)
    lean_deg = math.degrees(math.acos(min(1.0, max(-1.0, float(model.rotation(fitted.p)[2, 2])))))
    if looking_up and lean_deg > MAX_LEAN_DEG:
        # A camera said to look up whose stars say it leans far over is more
        # likely placed or timed wrong: the sky then turns as a lean would.
        raise CalibrationError(f"the stars put the vertical {lean_deg:.1f}° from the optical axis of a camera said to"
                               f" look up: check --utc and --lat/--lon, or give the camera's pointing with --up")
    why = refusal(quality, fisheye)
    if why is not None:
        raise CalibrationError(why)
    return quality


def _calibration(fitted: Fitted, model: LensModel, pool: Pool, inliers: np.ndarray, quality: FitQuality,
                 fisheye: bool, fisheye_fov_deg, frame: np.ndarray, first, whens: list, lat_deg: float,
                 lon_deg: float, height_m: float) -> Calibration:
    """The lens file's record: the fitted lens with its vertical, and the
    inlying stars it was fitted to."""
    p, pairs = fitted.p, fitted.pairs
    rotation = model.rotation(p)
    cam = pool.local[pairs[:, 0]] @ rotation.T
    off_axis = np.degrees(np.arctan2(np.hypot(cam[:, 0], cam[:, 1]), cam[:, 2]))
    predicted = model.project(p, pool.local[pairs[:, 0]])
    detected = pool.detections[pairs[:, 1]]
    k = p[LensModel.K] if fisheye else np.zeros(4)
    field = fisheye_fov_deg if fisheye_fov_deg is not None else (fisheye_fov_for(model, p, frame) if fisheye
                                                                 else None)
    lens = Lens(focal_px=float(p[LensModel.FOCAL]), cx=float(p[LensModel.CX]), cy=float(p[LensModel.CY]),
                fisheye_fov_deg=field, k1=float(k[0]), k2=float(k[1]), k3=float(k[2]), k4=float(k[3]),
                up_cam=tuple(float(v) for v in rotation[:, 2]))
    frame_of = np.searchsorted(pool.star_start, pairs[inliers, 0], side="right") - 1
    return Calibration(lens, pool.hr_ids[pairs[inliers, 0]], detected[inliers], predicted[inliers], off_axis[inliers],
                       whens[0], float(lat_deg), float(lon_deg), float(height_m), first.width, first.height,
                       first.image, quality=dataclasses.replace(quality, projection=fitted.family if fisheye
                                                                else "pinhole"),
                       frame_index=frame_of, utcs=tuple(whens))


def write_residual_plot(calibration: Calibration, path: str | Path) -> None:
    """The residual picture and plot of :func:`halvane_tools.annotate.write_residual_plot`;
    CalibrationError when matplotlib is missing."""
    require_extra("matplotlib", "matplotlib")
    annotate.write_residual_plot(calibration, path)
