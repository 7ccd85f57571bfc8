"""Lens calibration from the stars of one photograph.

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
   by robust least squares (SciPy), pairing each predicted star with the
   nearest detection within a radius that halves at every round, from a few
   degrees down to two pixels.

What comes out is a :class:`halvane_tools.Lens` with the vertical ``up_cam``
in the camera frame, ready for ``halvane solve --lens``, with the number of
stars and the residuals; :func:`halvane_tools.annotate.write_residual_plot`
draws the residuals. SciPy and pyerfa (matplotlib for the plot) are needed
only here.
"""
from __future__ import annotations

import dataclasses
import datetime
import importlib
import json
import math
import warnings
from importlib import resources
from pathlib import Path

import numpy as np

import halvane

from . import CATALOG_FILE, annotate, default_catalog
from .catalog_builder import read_catalog_records
from .lens import Lens, LensError
from .photo import DEFAULT_MAX_CENTROIDS, PhotoError, prepare_photo
from .times import utc_tuple

# Each fitted parameter wants several stars.
STARS_PER_PARAMETER = 3
# Below about 10 degrees refraction models part from the real air and haze
# swallows the faint stars.
DEFAULT_MIN_ALTITUDE_DEG = 10.0
DEFAULT_MAX_DETECTIONS = 3000
# The first pairing radius, as an angle: it covers the error of an ideal
# fisheye standing in for a distorted one (about 4 degrees mid-field for
# k1 = -0.03) and of a pinhole focal 5 % off at the edge of the frame.
START_RADIUS_RAD = math.radians(6.0)
FINAL_RADIUS_PX = 2.0
FINAL_ROUNDS = 3
# While the radius is wide only the brightest stars take part, as many as
# keep the expected number of strangers within the radius of a star small.
CROWDING = 0.25
MIN_ROUND_STARS = 40
# The rotation search must lay at least this many, and this share, of the
# brightest stars near a detection, or the rough lens, vertical, place or
# time is wrong: a right start lays nearly all of them, a wrong one a third.
MIN_START_MATCHES = 8
START_SHARE = 0.6
# Standard air for refraction: 10 degrees C, 50 % humidity, visual light.
AIR_TEMPERATURE_C = 10.0
AIR_HUMIDITY = 0.5
WAVELENGTH_UM = 0.55
START_AGAIN = "start nearer the truth with --fisheye-fov or --focal, --cx/--cy and --up"
FEW_STARS = "use a longer exposure, a clearer sky, a wider field or a lower --min-altitude"
MAS_TO_RAD = math.radians(1.0 / 3.6e6)
# Heights the refraction of standard air is computed for: the shore of the
# Dead Sea to the top of the air that bends starlight.
MIN_HEIGHT_M = -1000.0
MAX_HEIGHT_M = 100_000.0


class CalibrationError(ValueError):
    """A calibration that cannot be made; the text is one line saying what to change."""


def require_extra(module: str, package: str):
    """The module of an optional extra, or CalibrationError naming what to install."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise CalibrationError(f"lens calibration needs {package}: pip install {package}"
                               " (or the package's calibrate extra)") from None


@dataclasses.dataclass(frozen=True)
class LocalSky:
    """Catalogue stars above the altitude cut at one place and time,
    brightest first: HR numbers, magnitudes and observed directions as east,
    north, up unit vectors."""

    hr_ids: np.ndarray
    vmag: np.ndarray
    local: np.ndarray


def _utc_parts(utc) -> tuple:
    year, month, day, hour, minute, second = utc_tuple(utc)
    return int(year), int(month), int(day), int(hour), int(minute), float(second)


def observed_sky(utc, lat_deg: float, lon_deg: float, height_m: float = 0.0,
                 min_altitude_deg: float = DEFAULT_MIN_ALTITUDE_DEG, catalog_file: str | Path | None = None) -> LocalSky:
    """The observed places (refraction included) of the catalogue's stars
    at a place and time, from ERFA. catalog_file: a catalogue file (default:
    the bundled one)."""
    erfa = require_extra("erfa", "pyerfa")
    if catalog_file is None:
        data = (resources.files("halvane_tools") / "data" / CATALOG_FILE).read_bytes()
    else:
        data = Path(catalog_file).read_bytes()
    epoch, stars = read_catalog_records(data)
    dec = stars["dec"].astype(np.float64)
    pm_ra = stars["pm_ra"] * MAS_TO_RAD / np.maximum(np.cos(dec), 1e-9)
    pm_dec = stars["pm_dec"] * MAS_TO_RAD
    # ERFA takes J2000 places; a catalogue of another epoch is moved there first.
    ra = stars["ra"] + pm_ra * (2000.0 - epoch)
    dec = dec + pm_dec * (2000.0 - epoch)
    # The pressure of the standard atmosphere at the observer's height.
    pressure_hpa = 1013.25 * math.exp(-height_m / (29.3 * (273.15 + AIR_TEMPERATURE_C)))
    with warnings.catch_warnings():
        # Dates past the leap-second table are "dubious" to ERFA; a second of UT does not matter here.
        warnings.simplefilter("ignore", erfa.ErfaWarning)
        utc1, utc2 = erfa.dtf2d("UTC", *_utc_parts(utc))
        azimuth, zenith_distance, *_ = erfa.atco13(
            ra, dec, pm_ra, pm_dec, stars["parallax"] / 1000.0, 0.0, utc1, utc2, 0.0, math.radians(lon_deg),
            math.radians(lat_deg), height_m, 0.0, 0.0, pressure_hpa, AIR_TEMPERATURE_C, AIR_HUMIDITY, WAVELENGTH_UM)
    keep = zenith_distance < math.radians(90.0 - min_altitude_deg)
    z, a = zenith_distance[keep], azimuth[keep]
    local = np.column_stack([np.sin(z) * np.sin(a), np.sin(z) * np.cos(a), np.cos(z)])
    order = np.argsort(stars["vmag"][keep], kind="stable")
    return LocalSky(stars["hr_id"][keep][order].astype(np.int64), stars["vmag"][keep][order].astype(np.float64),
                    local[order])


@dataclasses.dataclass(frozen=True)
class LensModel:
    """The fitted quantities as one parameter vector: a small rotation
    (rotation vector, radians) applied after the base rotation (camera from
    local east-north-up), then focal, cx, cy and the fisheye's k1..k4."""

    fisheye: bool
    base: np.ndarray  # 3 x 3, camera from local

    ROTATION = slice(0, 3)
    FOCAL, CX, CY = 3, 4, 5
    K = slice(6, 10)
    K1, K2, K3, K4 = 6, 7, 8, 9

    def rotation(self, p: np.ndarray) -> np.ndarray:
        from scipy.spatial.transform import Rotation

        return Rotation.from_rotvec(p[self.ROTATION]).as_matrix() @ self.base

    def project(self, p: np.ndarray, local: np.ndarray) -> np.ndarray:
        """Pixels (n, 2) of local directions (n, 3); NaN where the lens
        images nothing (behind a pinhole)."""
        cam = local @ self.rotation(p).T
        focal, cx, cy = p[self.FOCAL], p[self.CX], p[self.CY]
        if self.fisheye:
            rho = np.hypot(cam[:, 0], cam[:, 1])
            theta = np.arctan2(rho, cam[:, 2])
            k1, k2, k3, k4 = p[self.K]
            t2 = theta * theta
            r = focal * theta * (1.0 + t2 * (k1 + t2 * (k2 + t2 * (k3 + t2 * k4))))
            scale = np.divide(r, rho, out=np.zeros_like(r), where=rho > 0)
        else:
            with np.errstate(divide="ignore", invalid="ignore"):
                scale = np.where(cam[:, 2] > 1e-12, focal / cam[:, 2], np.nan)
        return np.column_stack([cx + cam[:, 0] * scale, cy + cam[:, 1] * scale])


def _rotation_between(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """The smallest rotation taking unit vector a to unit vector b."""
    from scipy.spatial.transform import Rotation

    axis = np.cross(a, b)
    s, c = np.linalg.norm(axis), float(np.dot(a, b))
    if s < 1e-12:
        if c > 0:
            return np.eye(3)
        other = np.cross(a, [1.0, 0.0, 0.0] if abs(a[0]) < 0.9 else [0.0, 1.0, 0.0])
        return Rotation.from_rotvec(math.pi * other / np.linalg.norm(other)).as_matrix()
    return Rotation.from_rotvec(axis / s * math.atan2(s, c)).as_matrix()


def _spin_search(model: LensModel, p: np.ndarray, axis_cam, axis_local, local: np.ndarray, detections: np.ndarray,
                 radius_px: float) -> tuple[np.ndarray, int]:
    """The base rotation that takes axis_local to axis_cam and, of all the
    turns about that axis, best lays the given stars on the detections; and
    how many stars it lays within radius_px of one."""
    from scipy.spatial import cKDTree
    from scipy.spatial.transform import Rotation

    axis_cam = np.asarray(axis_cam, float) / np.linalg.norm(axis_cam)
    axis_local = np.asarray(axis_local, float) / np.linalg.norm(axis_local)
    align = _rotation_between(axis_local, axis_cam)
    tree = cKDTree(detections)

    def scores(angles: np.ndarray) -> np.ndarray:
        bases = align @ Rotation.from_rotvec(np.outer(angles, axis_local)).as_matrix()
        pixels = np.concatenate([dataclasses.replace(model, base=b).project(p, local) for b in bases])
        gaps, _ = tree.query(np.nan_to_num(pixels, nan=1e12))
        return np.minimum(gaps, radius_px).reshape(len(angles), len(local)).sum(axis=1)

    coarse = np.radians(np.arange(0.0, 360.0, 0.5))
    best = coarse[np.argmin(scores(coarse))]
    fine = best + np.radians(np.arange(-0.5, 0.5, 0.02))
    best = fine[np.argmin(scores(fine))]
    base = align @ Rotation.from_rotvec(best * axis_local).as_matrix()
    gaps, _ = tree.query(np.nan_to_num(dataclasses.replace(model, base=base).project(p, local), nan=1e12))
    return base, int(np.count_nonzero(gaps < radius_px))


def _in_frame(pixels: np.ndarray, frame: np.ndarray) -> np.ndarray:
    """Indices of the pixels inside a (width, height) frame, in order."""
    return np.flatnonzero(np.all((pixels >= 0) & (pixels < frame), axis=1))


def _pairs(predicted: np.ndarray, detections: np.ndarray, radius_px: float) -> np.ndarray:
    """(star, detection) index pairs that are each other's nearest and lie
    within radius_px."""
    from scipy.spatial import cKDTree

    seen = np.flatnonzero(np.isfinite(predicted).all(axis=1))
    if len(seen) == 0 or len(detections) == 0:
        return np.empty((0, 2), dtype=np.int64)
    gaps, nearest = cKDTree(detections).query(predicted[seen], distance_upper_bound=radius_px)
    _, back = cKDTree(predicted[seen]).query(detections)
    found = np.isfinite(gaps)
    stars, dets = seen[found], nearest[found]
    mutual = seen[back[dets]] == stars
    return np.column_stack([stars[mutual], dets[mutual]])


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
        return lens

    def write(self, path: str | Path) -> None:
        Path(path).write_text(json.dumps(self.record(), indent=2) + "\n", encoding="utf-8")


def _as_datetime(utc) -> datetime.datetime:
    if isinstance(utc, datetime.datetime):
        if utc.tzinfo is None:
            raise CalibrationError("utc must be timezone-aware (or a (year, month, day, hour, minute, second) tuple)")
        return utc.astimezone(datetime.timezone.utc)
    year, month, day, hour, minute, second = _utc_parts(utc)
    return datetime.datetime(year, month, day, hour, minute, tzinfo=datetime.timezone.utc) + datetime.timedelta(
        seconds=second)


def local_axes(lat_deg: float, lon_deg: float, jd: float):
    """East, north and up of a place as the engine sees them: unit vectors
    in the mean equator and equinox of date, turned by the mean sidereal time."""
    lat, theta = math.radians(lat_deg), math.radians(lon_deg + halvane.gmst_deg(jd))
    east = np.array([-math.sin(theta), math.cos(theta), 0.0])
    north = np.array([-math.sin(lat) * math.cos(theta), -math.sin(lat) * math.sin(theta), math.cos(lat)])
    up = np.array([math.cos(lat) * math.cos(theta), math.cos(lat) * math.sin(theta), math.sin(lat)])
    return east, north, up


def _engine_boresight(detections, lens: Lens, utc, catalog, lat_deg: float, lon_deg: float) -> np.ndarray | None:
    """The local direction of the camera's boresight from the engine's own
    star identification, or None. Solving with the boresight given as the
    vertical puts the fix where the boresight is the zenith; a pinhole's
    small field is never near the altitude cut that way."""
    jd = halvane.julian_date(*_utc_parts(utc))
    # The rough focal may be a few per cent off: widen the tolerance, then the focal.
    for scale, sigma_arcmin in ((1.0, None), (1.0, 15.0), (0.97, 15.0), (1.03, 15.0)):
        try:
            fix = halvane.resolve_from_centroids(detections, lens.focal_px * scale, lens.cx, lens.cy, (0.0, 0.0, 1.0),
                                                 utc, catalog, sigma_arcmin=sigma_arcmin,
                                                 max_centroids=DEFAULT_MAX_CENTROIDS)
        except halvane.HalvaneError:
            continue
        boresight = local_axes(fix.latitude_deg, fix.longitude_deg, jd)[2]
        return np.array([axis @ boresight for axis in local_axes(lat_deg, lon_deg, jd)])
    return None


def _check_place(lat_deg: float, lon_deg: float, height_m: float) -> None:
    """Refuse a place the observed sky cannot be computed for, naming the value and its range."""
    for name, value, low, high in (("latitude", lat_deg, -90.0, 90.0), ("longitude", lon_deg, -360.0, 360.0),
                                   ("height", height_m, MIN_HEIGHT_M, MAX_HEIGHT_M)):
        if not (isinstance(value, (int, float)) and low <= value <= high):  # NaN fails too
            raise CalibrationError(f"{name} must be a number from {low:g} to {high:g} (got {value!r})")


def calibrate_photo(photo, utc, lat_deg: float, lon_deg: float, *, height_m: float = 0.0,
                    fisheye_fov_deg: float | None = None, focal_px: float | None = None, cx: float | None = None,
                    cy: float | None = None, up_cam=None, fit_k3_k4: bool = False, mask=None,
                    min_altitude_deg: float = DEFAULT_MIN_ALTITUDE_DEG,
                    max_detections: int = DEFAULT_MAX_DETECTIONS, catalog=None) -> Calibration:
    """Fit the lens and the vertical to the stars of one photo, in one call.

    photo: a path or an array (as for halvane_tools.photo.prepare_photo);
    utc: a timezone-aware datetime or a UTC (year, month, day, hour, minute,
    second) tuple; lat_deg, lon_deg, height_m: where it was taken.
    The rough start: fisheye_fov_deg (an ideal fisheye of that field) or
    focal_px (a pinhole), cx, cy (default the centre), up_cam (default
    straight along the boresight for a fisheye; for a pinhole without it the
    engine's star identification finds the pointing). fit_k3_k4 also fits
    the fisheye's k3 and k4. mask: as for prepare_photo. catalog: the
    halvane.Catalog the pinhole's pointing is identified with (default: the
    bundled one); the observed places come from the bundled catalogue.
    Raises CalibrationError with one line saying what to change."""
    require_extra("scipy", "scipy")
    least_squares = importlib.import_module("scipy.optimize").least_squares
    fisheye = fisheye_fov_deg is not None
    if fisheye == (focal_px is not None):
        raise CalibrationError("give the rough lens: --fisheye-fov DEG for a fisheye or --focal PX for a pinhole")
    _check_place(lat_deg, lon_deg, height_m)
    when = _as_datetime(utc)
    try:
        rough = Lens(focal_px=focal_px, cx=cx, cy=cy, fisheye_fov_deg=fisheye_fov_deg)
        up_known = up_cam is not None or fisheye
        start_up = tuple(float(v) for v in (up_cam if up_cam is not None else (0.0, 0.0, 1.0)))
        prepared = prepare_photo(photo, start_up, rough, mask=mask, max_centroids=max_detections,
                                 min_altitude_deg=max(min_altitude_deg - 5.0, 0.0) if up_known else -90.0)
    except (PhotoError, LensError, halvane.HalvaneError) as e:
        raise CalibrationError(str(e)) from None
    rough = prepared.lens
    camera = rough.camera(prepared.width, prepared.height)
    focal0 = camera.effective_focal_px
    detections = np.asarray([(x, y) for x, y, _ in prepared.detections], dtype=np.float64).reshape(-1, 2)
    if len(detections) < MIN_START_MATCHES:
        raise CalibrationError(f"only {len(detections)} stars detected: use a longer exposure or a darker, clearer"
                               " sky")
    sky = observed_sky(when, lat_deg, lon_deg, height_m, min_altitude_deg)
    model = LensModel(fisheye, np.eye(3))
    p = np.zeros(10)
    p[LensModel.FOCAL], p[LensModel.CX], p[LensModel.CY] = focal0, rough.cx, rough.cy
    sky_area_px = float(np.count_nonzero(~prepared.excluded))

    def brightest(radius_px: float) -> int:
        return max(MIN_ROUND_STARS, int(CROWDING * sky_area_px / (math.pi * radius_px**2)))

    radius = START_RADIUS_RAD * focal0
    start_count = brightest(radius)
    if up_known:
        axis_cam, axis_local = start_up, (0.0, 0.0, 1.0)
    else:
        axis_local = _engine_boresight(prepared.detections, rough, when, catalog or default_catalog(), lat_deg,
                                       lon_deg)
        if axis_local is None:
            raise CalibrationError("the stars were not identified with the rough lens: give --up X Y Z or a focal"
                                   " nearer the truth (--focal)")
        axis_cam = (0.0, 0.0, 1.0)
    # Only stars that can fall in the frame compete: those no farther from
    # the known axis than the frame's farthest corner, and after a first
    # search those the rough lens places inside the frame.
    frame = np.array([prepared.width, prepared.height])
    corners = camera.pixel_to_vec([0.0, frame[0], 0.0, frame[0]], [0.0, 0.0, frame[1], frame[1]])
    reach = float(np.min(np.asarray(corners) @ (np.asarray(axis_cam) / np.linalg.norm(axis_cam))))
    near_axis = sky.local @ (np.asarray(axis_local) / np.linalg.norm(axis_local)) >= reach
    bright = sky.local[near_axis][:start_count * 2]
    base, _ = _spin_search(model, p, axis_cam, axis_local, bright, detections[:2 * start_count], radius)
    visible = bright[_in_frame(dataclasses.replace(model, base=base).project(p, bright), frame)[:start_count]]
    base, laid = _spin_search(model, p, axis_cam, axis_local, visible, detections[:2 * start_count], radius)
    model = dataclasses.replace(model, base=base)
    n_fitted = 6 + (4 if fit_k3_k4 else 2) * fisheye
    min_stars = STARS_PER_PARAMETER * n_fitted
    in_frame = len(_in_frame(model.project(p, sky.local), frame))
    if in_frame < min_stars:
        raise CalibrationError(f"only {in_frame} catalogue stars stand in the photo above {min_altitude_deg:g}°"
                               f" (at least {min_stars} needed): {FEW_STARS}")
    if laid < max(MIN_START_MATCHES, START_SHARE * len(visible)):
        raise CalibrationError(f"the rough start lays only {laid} of the {len(visible)} brightest stars near a"
                               " detection: check --utc, --lat/--lon, the rough lens (--fisheye-fov or --focal,"
                               " --cx/--cy) and --up")

    # The first rounds fit what the rough start is most wrong about.
    rotation_and_focal = [0, 1, 2, LensModel.FOCAL]
    free = rotation_and_focal + ([LensModel.K1] if fisheye else [])
    rounds = 0
    while True:
        count = brightest(radius)
        in_frame = _in_frame(model.project(p, sky.local), frame)[:count]
        pairs = _pairs(model.project(p, sky.local[in_frame]), detections[:2 * count], radius)
        pairs[:, 0] = in_frame[pairs[:, 0]]
        if len(pairs) < MIN_START_MATCHES:
            raise CalibrationError(f"the fit did not converge (only {len(pairs)} stars paired within {radius:.1f} px):"
                                   f" {START_AGAIN}")
        stars, dets = sky.local[pairs[:, 0]], detections[pairs[:, 1]]
        variables = np.array(free)

        def residuals(q, stars=stars, dets=dets, variables=variables):
            full = p.copy()
            full[variables] = q
            return (model.project(full, stars) - dets).ravel()

        result = least_squares(residuals, p[variables], loss="soft_l1", f_scale=max(radius / 4.0, 0.5),
                               x_scale="jac", max_nfev=200)
        p[variables] = result.x
        if radius <= FINAL_RADIUS_PX:
            rounds += 1
            if rounds == FINAL_ROUNDS:
                break
        radius = max(radius / 2.0, FINAL_RADIUS_PX)
        # Once the pairing is tight enough to trust, everything is free.
        free = rotation_and_focal + [LensModel.CX, LensModel.CY]
        if fisheye:
            free += [LensModel.K1, LensModel.K2]
            if fit_k3_k4 and radius <= 4 * FINAL_RADIUS_PX:
                free += [LensModel.K3, LensModel.K4]

    if len(pairs) < min_stars:
        raise CalibrationError(f"only {len(pairs)} stars identified (at least {min_stars} needed): {FEW_STARS}")
    predicted = model.project(p, sky.local[pairs[:, 0]])
    detected = detections[pairs[:, 1]]
    gaps = np.linalg.norm(predicted - detected, axis=1)
    if not result.success or not math.isfinite(p[LensModel.FOCAL]) or p[LensModel.FOCAL] <= 0 \
            or np.median(gaps) > FINAL_RADIUS_PX / 2:
        raise CalibrationError(f"the fit did not converge (median residual {np.median(gaps):.2f} px): {START_AGAIN}")
    inliers = gaps <= FINAL_RADIUS_PX
    rotation = model.rotation(p)
    cam = sky.local[pairs[:, 0]] @ rotation.T
    off_axis = np.degrees(np.arctan2(np.hypot(cam[:, 0], cam[:, 1]), cam[:, 2]))
    k = p[LensModel.K] if fisheye else np.zeros(4)
    lens = Lens(focal_px=float(p[LensModel.FOCAL]), cx=float(p[LensModel.CX]), cy=float(p[LensModel.CY]),
                fisheye_fov_deg=fisheye_fov_deg, k1=float(k[0]), k2=float(k[1]), k3=float(k[2]), k4=float(k[3]),
                up_cam=tuple(float(v) for v in rotation[:, 2]))
    return Calibration(lens, sky.hr_ids[pairs[inliers, 0]], detected[inliers], predicted[inliers], off_axis[inliers],
                       when, float(lat_deg), float(lon_deg), float(height_m), prepared.width, prepared.height,
                       prepared.image)


def write_residual_plot(calibration: Calibration, path: str | Path) -> None:
    """The residual picture and plot of :func:`halvane_tools.annotate.write_residual_plot`;
    CalibrationError when matplotlib is missing."""
    require_extra("matplotlib", "matplotlib")
    annotate.write_residual_plot(calibration, path)
