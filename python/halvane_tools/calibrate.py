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
from .air import Air
from .catalog_builder import read_catalog_records
from .lens import Lens, LensError
from .photo import DEFAULT_MAX_CENTROIDS, PhotoError, prepare_photo
from .report import counted
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
START_AGAIN = "start nearer the truth with --fisheye-fov or --focal, --cx/--cy and --up"
FEW_STARS = "use a longer exposure, a clearer sky, a wider field or a lower --min-altitude"
MAS_TO_RAD = math.radians(1.0 / 3.6e6)


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
    air = Air.at_site(height_m)  # the air the photo path's solve corrects for
    with warnings.catch_warnings():
        # Dates past the leap-second table are "dubious" to ERFA; a second of UT does not matter here.
        warnings.simplefilter("ignore", erfa.ErfaWarning)
        utc1, utc2 = erfa.dtf2d("UTC", *_utc_parts(utc))
        azimuth, zenith_distance, *_ = erfa.atco13(
            ra, dec, pm_ra, pm_dec, stars["parallax"] / 1000.0, 0.0, utc1, utc2, 0.0, math.radians(lon_deg),
            math.radians(lat_deg), height_m, 0.0, 0.0, *air.erfa_arguments())
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


# The radial laws a user can name, r = focal * g(theta). All but the pinhole's
# are fitted as the engine's calibrated fisheye, g(theta) = theta + k1 theta^3
# + k2 theta^5 + ..., started from the family's own polynomial.
PROJECTIONS = {
    "equidistant": lambda t: t,
    "equisolid": lambda t: 2.0 * np.sin(t / 2.0),
    "stereographic": lambda t: 2.0 * np.tan(t / 2.0),
    "orthographic": np.sin,
    "rectilinear": np.tan,
}
# The start searches the focal this far either side of the stated one, and the
# vertical's place in the frame this share of the image-circle radius about
# the stated principal point (8 % of offset and 5 degrees of tilt need 14 %).
FOCAL_SEARCH = 0.2
CENTRE_SEARCH = 0.18
SEARCH_STARS = 60


def projection_k(projection: str, half_field_rad: float) -> np.ndarray:
    """k1..k4 of the calibrated fisheye nearest the family's radial law over
    [0, half_field_rad] (least squares on g(theta) / theta - 1)."""
    law = PROJECTIONS[projection]
    # Orthographic and rectilinear have no image at 90 degrees and beyond.
    top = min(half_field_rad, math.radians(85.0) if projection in ("orthographic", "rectilinear") else math.pi * 0.95)
    theta = np.linspace(top / 200.0, top, 200)
    t2 = theta * theta
    design = np.column_stack([t2, t2**2, t2**3, t2**4])
    k, *_ = np.linalg.lstsq(design, law(theta) / theta - 1.0, rcond=None)
    return k


def _radial(theta: np.ndarray, k: np.ndarray) -> np.ndarray:
    t2 = theta * theta
    return theta * (1.0 + t2 * (k[0] + t2 * (k[1] + t2 * (k[2] + t2 * k[3]))))


def _vote_start(theta: np.ndarray, azimuth: np.ndarray, detections: np.ndarray, laws: list, centre0: np.ndarray,
                reach_px: float, tolerance_px: float, step_px: float):
    """The principal point, radial law and spin about the optical axis that
    lay most of the stars (theta, azimuth about the vertical at spin 0) on
    the detections, for a camera whose vertical is its optical axis.

    For every trial centre and law, each star and each detection at about
    the star's distance from the centre vote for the spin that would join
    them; the best spin's votes count the stars laid. laws: (focal, k) pairs.
    Returns (votes, centre, law index, spin)."""
    focal = np.array([f for f, _ in laws])
    radii = focal[:, None] * np.stack([_radial(theta, k) for _, k in laws])  # laws x stars
    bins = 360
    best = (-1, centre0, 0, 0.0)
    offsets = np.arange(-reach_px, reach_px + step_px / 2, step_px)
    for dy in offsets:
        for dx in offsets:
            centre = centre0 + (dx, dy)
            rel = detections - centre
            r_d = np.hypot(rel[:, 0], rel[:, 1])
            phi_d = np.arctan2(rel[:, 1], rel[:, 0])
            close = np.abs(radii[:, :, None] - r_d[None, None, :]) < tolerance_px
            # Stars near the centre agree with any spin.
            close &= radii[:, :, None] > 4.0 * tolerance_px
            law, star, det = np.nonzero(close)
            spin = np.mod(phi_d[det] - azimuth[star], 2 * np.pi)
            index = law * bins + (spin * (bins / (2 * np.pi))).astype(np.int64) % bins
            counts = np.bincount(index, minlength=len(laws) * bins).reshape(len(laws), bins)
            window = counts + np.roll(counts, 1, axis=1) + np.roll(counts, -1, axis=1)
            flat = int(np.argmax(window))
            if window.flat[flat] > best[0]:
                law_i, b = divmod(flat, bins)
                best = (int(window.flat[flat]), centre, law_i, (b + 0.5) * 2 * np.pi / bins)
    return best


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
    quality: "FitQuality | None" = None

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


# A lens is refused when the stars used span less than this share of the
# off-axis angles the photo's stars reach, or reach less far out: a ring of
# stars fits focal, distortion and centre to one radius and says nothing of
# the rest of the field.
MIN_RADIAL_SPAN = 0.3
MIN_RADIAL_REACH = 0.55
AZIMUTH_SECTORS = 12
MIN_AZIMUTH_SECTORS = 8
# Every HELD_OUT_EVERY-th star is left out of a second fit and measured
# against it; a lens that misses them by more than this is not trusted.
HELD_OUT_EVERY = 5
MAX_HELD_OUT_PX = 1.0
# A vertical known worse than this moves a fix by miles.
MAX_UP_SIGMA_ARCMIN = 1.5
PARAMETER_NAMES = ("rotation_x", "rotation_y", "rotation_z", "focal_px", "cx", "cy", "k1", "k2", "k3", "k4")


@dataclasses.dataclass(frozen=True)
class FitQuality:
    """How far a fitted lens can be trusted: the standard deviation of each
    fitted parameter and of the vertical (from the fit's covariance), the
    median residual of stars held out of a fit of the others, and the spread
    of the stars used (off-axis angles: 10th and 90th percentile and the
    farthest a catalogue star in the photo stands; azimuth sectors of
    AZIMUTH_SECTORS about the principal point holding one)."""

    sigma: dict
    up_sigma_arcmin: float
    held_out_median_px: float
    n_held_out: int
    off_axis_deg: tuple[float, float, float]
    azimuth_sectors: int
    projection: str = ""


def _quality(model: LensModel, p: np.ndarray, variables: np.ndarray, local: np.ndarray, pairs: np.ndarray,
             detections: np.ndarray, frame: np.ndarray, fit) -> FitQuality:
    stars, dets = local[pairs[:, 0]], detections[pairs[:, 1]]

    def residuals(q):
        full = p.copy()
        full[variables] = q
        return (model.project(full, stars) - dets).ravel()

    x = p[variables]
    r0 = residuals(x)
    jac = np.empty((len(r0), len(x)))
    for i in range(len(x)):
        h = 1e-6 * max(abs(x[i]), 1.0)
        step = x.copy()
        step[i] += h
        jac[:, i] = (residuals(step) - r0) / h
    dof = max(len(r0) - len(x), 1)
    cov = float(r0 @ r0) / dof * np.linalg.pinv(jac.T @ jac)
    sigma = {PARAMETER_NAMES[v]: float(math.sqrt(max(cov[i, i], 0.0))) for i, v in enumerate(variables)}
    up_sigma = _vertical_sigma_arcmin(model, p, variables, cov, dets)

    held = np.arange(len(pairs)) % HELD_OUT_EVERY == HELD_OUT_EVERY // 2
    kept, _, _ = fit(pairs[~held], variables, p, 0.5)
    missed = np.linalg.norm(model.project(kept, stars[held]) - dets[held], axis=1)

    rotation = model.rotation(p)
    cam = stars @ rotation.T
    used = np.degrees(np.arctan2(np.hypot(cam[:, 0], cam[:, 1]), cam[:, 2]))
    everywhere = local[_in_frame(model.project(p, local), frame)] @ rotation.T
    reach = float(np.max(np.degrees(np.arctan2(np.hypot(everywhere[:, 0], everywhere[:, 1]), everywhere[:, 2]))))
    angle = np.arctan2(dets[:, 1] - p[LensModel.CY], dets[:, 0] - p[LensModel.CX])
    sectors = np.unique(np.floor((angle + math.pi) / (2 * math.pi) * AZIMUTH_SECTORS).astype(int) % AZIMUTH_SECTORS)
    return FitQuality(sigma, up_sigma, float(np.median(missed)) if len(missed) else math.nan, int(held.sum()),
                      (float(np.percentile(used, 10)), float(np.percentile(used, 90)), reach), len(sectors))


def _refuse_poor(quality: FitQuality, fisheye: bool) -> None:
    """CalibrationError, saying what to change, for a lens not to be trusted."""
    inner, outer, reach = quality.off_axis_deg
    remedy = ("name the lens's projection (--projection) or fit more terms (--k3-k4)" if fisheye else
              "fit a distorted lens instead of the pinhole (--projection rectilinear)")
    if outer - inner < MIN_RADIAL_SPAN * reach or outer < MIN_RADIAL_REACH * reach:
        raise CalibrationError(f"the stars that fit lie only {inner:.1f}° to {outer:.1f}° off axis while the photo's"
                               f" stars reach {reach:.1f}°: a lens fitted to part of the field is wrong elsewhere;"
                               f" {remedy}, or use a photo clear across the field")
    if quality.azimuth_sectors < MIN_AZIMUTH_SECTORS:
        raise CalibrationError(f"the stars that fit cover only {quality.azimuth_sectors} of {AZIMUTH_SECTORS}"
                               " directions about the centre: use a photo clear on every side or mask less of it")
    if not quality.held_out_median_px <= MAX_HELD_OUT_PX:
        raise CalibrationError(f"stars left out of the fit miss the fitted lens by a median"
                               f" {quality.held_out_median_px:.2f} px: the lens does not predict the stars it was"
                               f" not fitted to; {remedy}")
    if not quality.up_sigma_arcmin <= MAX_UP_SIGMA_ARCMIN:
        raise CalibrationError(f"the fit knows the vertical only to {quality.up_sigma_arcmin:.1f}' (at most"
                               f" {MAX_UP_SIGMA_ARCMIN:g}' is usable): use a photo with more stars, a wider field or"
                               " several photos")


def _fisheye_fov_for(model: LensModel, p: np.ndarray, frame: np.ndarray) -> float:
    """A field, degrees, wide enough for the fitted calibrated fisheye to image
    the whole frame, for a lens started from a focal."""
    corners = np.array([[0.0, 0.0], [frame[0], 0.0], [0.0, frame[1]], [frame[0], frame[1]]])
    reach = float(np.max(np.hypot(corners[:, 0] - p[LensModel.CX], corners[:, 1] - p[LensModel.CY])))
    theta = np.linspace(0.0, math.radians(179.0), 3600)
    r = p[LensModel.FOCAL] * _radial(theta, p[LensModel.K])
    beyond = np.flatnonzero(r >= reach)
    top = theta[beyond[0]] if len(beyond) else theta[-1]
    return min(360.0, 2.0 * math.degrees(top) + 2.0)


def _unproject(model: LensModel, p: np.ndarray, pixels: np.ndarray) -> np.ndarray:
    """Camera-frame unit vectors of pixels through the lens of p."""
    rel = (pixels - p[[LensModel.CX, LensModel.CY]]) / p[LensModel.FOCAL]
    r = np.hypot(rel[:, 0], rel[:, 1])
    if model.fisheye:
        k = p[LensModel.K]
        theta = r.copy()
        for _ in range(8):
            t2 = theta * theta
            slope = 1.0 + t2 * (3 * k[0] + t2 * (5 * k[1] + t2 * (7 * k[2] + t2 * 9 * k[3])))
            theta -= (_radial(theta, k) - r) / np.where(np.abs(slope) > 1e-6, slope, 1e-6)
    else:
        theta = np.arctan(r)
    scale = np.divide(np.sin(theta), r, out=np.ones_like(r), where=r > 0)
    return np.column_stack([rel * scale[:, None], np.cos(theta)])


def _vertical_sigma_arcmin(model: LensModel, p: np.ndarray, variables: np.ndarray, cov: np.ndarray,
                           pixels: np.ndarray) -> float:
    """The vertical's standard deviation along its worse horizontal axis,
    relative to the stars as the lens sees them. A shift of the principal
    point that the rotation follows moves the vertical and the stars
    together and leaves a fix where it was, so only what moves the vertical
    against the stars at pixels counts."""
    dirs0 = _unproject(model, p, pixels)
    up0 = model.rotation(p)[:, 2]
    skew = np.zeros((len(dirs0), 3, 3))
    skew[:, 0, 1], skew[:, 0, 2], skew[:, 1, 2] = -dirs0[:, 2], dirs0[:, 1], -dirs0[:, 0]
    skew -= skew.transpose(0, 2, 1)  # d x w = skew @ w
    design = skew.reshape(-1, 3)
    east = np.cross(up0, [1.0, 0.0, 0.0] if abs(up0[0]) < 0.9 else [0.0, 1.0, 0.0])
    east /= np.linalg.norm(east)
    north = np.cross(up0, east)
    jac = np.empty((2, len(variables)))
    for i, v in enumerate(variables):
        h = 1e-6 * max(abs(p[v]), 1.0)
        q = p.copy()
        q[v] += h
        moved = _unproject(model, q, pixels) - dirs0
        # The rotation that best follows the stars, taken out of the vertical's move.
        spin, *_ = np.linalg.lstsq(design, -moved.ravel(), rcond=None)
        up = model.rotation(q)[:, 2] - up0 - np.cross(spin, up0)
        jac[:, i] = (up @ east / h, up @ north / h)
    vertical = jac @ cov @ jac.T
    return math.degrees(math.sqrt(max(float(np.linalg.eigvalsh(vertical)[-1]), 0.0))) * 60.0


def calibrate_photo(photo, utc, lat_deg: float, lon_deg: float, *, height_m: float = 0.0,
                    fisheye_fov_deg: float | None = None, focal_px: float | None = None, cx: float | None = None,
                    cy: float | None = None, up_cam=None, fit_k3_k4: bool = False, mask=None,
                    min_altitude_deg: float = DEFAULT_MIN_ALTITUDE_DEG,
                    max_detections: int = DEFAULT_MAX_DETECTIONS, catalog=None,
                    projection: str | None = None, progress=None) -> Calibration:
    """Fit the lens and the vertical to the stars of one photo, in one call.

    photo: a path or an array (as for halvane_tools.photo.prepare_photo);
    utc: a timezone-aware datetime or a UTC (year, month, day, hour, minute,
    second) tuple; lat_deg, lon_deg, height_m: where it was taken.
    The rough start: fisheye_fov_deg (the field across the shorter side) or
    focal_px, cx, cy (default the centre), up_cam (default straight along the
    boresight for a fisheye; for a pinhole without it the engine's star
    identification finds the pointing), projection (one of PROJECTIONS; any
    named projection is fitted as the calibrated fisheye, so a distorted
    narrow lens is ``focal_px`` with ``projection="rectilinear"``; none
    means the equidistant fisheye for a field and the pinhole for a focal).
    A fisheye looking up is started by searching the principal point, the
    focal and the projection with the rotation. fit_k3_k4 also fits the
    fisheye's k3 and k4. mask: as for prepare_photo. catalog: the
    halvane.Catalog the pinhole's pointing is identified with (default: the
    bundled one); the observed places come from the bundled catalogue.
    progress: None, or a callable given one line of text at each stage.
    Raises CalibrationError with one line saying what to change; a lens
    whose stars do not cover the field, whose held-out stars miss, or whose
    vertical is poorly known is refused, never returned."""
    require_extra("scipy", "scipy")
    least_squares = importlib.import_module("scipy.optimize").least_squares
    if projection is not None and projection not in PROJECTIONS:
        raise CalibrationError(f"unknown projection {projection!r}: name one of {', '.join(PROJECTIONS)}")
    if (fisheye_fov_deg is None) == (focal_px is None):
        raise CalibrationError("give the rough lens: --fisheye-fov DEG for a fisheye or --focal PX for a pinhole")
    fisheye = fisheye_fov_deg is not None or projection is not None

    def say(text: str) -> None:
        if progress is not None:
            progress(text)

    when = _as_datetime(utc)
    say("detecting stars")
    try:
        rough = Lens(focal_px=focal_px, cx=cx, cy=cy, fisheye_fov_deg=fisheye_fov_deg)
        up_known = up_cam is not None or fisheye_fov_deg is not None
        start_up = tuple(float(v) for v in (up_cam if up_cam is not None else (0.0, 0.0, 1.0)))
        prepared = prepare_photo(photo, start_up, rough, mask=mask, max_centroids=max_detections,
                                 min_altitude_deg=max(min_altitude_deg - 5.0, 0.0) if up_known else -90.0)
    except (PhotoError, LensError, halvane.HalvaneError) as e:
        raise CalibrationError(str(e)) from None
    rough = prepared.lens
    camera = rough.camera(prepared.width, prepared.height)
    frame = np.array([prepared.width, prepared.height])
    shorter_half = min(prepared.width, prepared.height) / 2.0
    family = projection or ("equidistant" if fisheye_fov_deg is not None else "rectilinear")
    if fisheye_fov_deg is not None:
        half_field = math.radians(fisheye_fov_deg) / 2.0
        focal0 = shorter_half / float(PROJECTIONS[family](np.array(min(half_field, math.radians(89.0)))
                                                          if family in ("orthographic", "rectilinear")
                                                          else np.array(half_field)))
    else:
        focal0 = float(focal_px)
        half_field = min(math.atan(math.hypot(*frame) / 2.0 / focal0) * 1.15, math.radians(120.0))
    detections = np.asarray([(x, y) for x, y, _ in prepared.detections], dtype=np.float64).reshape(-1, 2)
    if len(detections) < MIN_START_MATCHES:
        raise CalibrationError(f"only {counted(len(detections), 'star')} detected: use a longer exposure or a darker, clearer"
                               " sky")
    say(f"{counted(len(detections), 'detection')}; placing the catalogue stars (ERFA observed places)")
    sky = observed_sky(when, lat_deg, lon_deg, height_m, min_altitude_deg)
    say(f"{counted(len(sky.local), 'catalogue star')} above {min_altitude_deg:g}°; turning the rough lens onto them")
    model = LensModel(fisheye, np.eye(3))
    p = np.zeros(10)
    p[LensModel.FOCAL], p[LensModel.CX], p[LensModel.CY] = focal0, rough.cx, rough.cy
    if fisheye:
        p[LensModel.K] = projection_k(family, half_field)
    sky_area_px = float(np.count_nonzero(~prepared.excluded))

    def brightest(radius_px: float) -> int:
        return max(MIN_ROUND_STARS, int(CROWDING * sky_area_px / (math.pi * radius_px**2)))

    radius = START_RADIUS_RAD * focal0
    start_count = brightest(radius)
    looking_up = fisheye and up_known and start_up[2] > 0 and math.hypot(start_up[0], start_up[1]) < 1e-9
    if looking_up:
        # Search where the vertical stands in the frame, the focal and the
        # projection with the spin: a zenith 6 degrees off centre or a focal
        # 15 % off is beyond any pairing radius that leaves the stars distinct.
        from scipy.spatial.transform import Rotation

        image_radius = shorter_half
        theta = np.arccos(np.clip(sky.local[:, 2], -1.0, 1.0))
        usable = np.flatnonzero(theta < min(half_field, math.radians(88.0)))[:SEARCH_STARS]
        azimuth = np.arctan2(sky.local[usable, 1], sky.local[usable, 0])
        families = [family] + [name for name in PROJECTIONS if name != family and name != "rectilinear"]
        scales = np.linspace(1.0 - FOCAL_SEARCH, 1.0 + FOCAL_SEARCH, 11)
        laws, law_family = [], []
        for name in families:
            k = projection_k(name, half_field)
            base_focal = focal0 * float(_radial(np.array(half_field), p[LensModel.K]) / _radial(np.array(half_field), k))
            for scale in scales:
                laws.append((base_focal * scale, k))
                law_family.append(name)
        centre0 = np.array([p[LensModel.CX], p[LensModel.CY]])
        votes, centre, law, spin = _vote_start(theta[usable], azimuth, detections[:2 * len(usable)], laws, centre0,
                                               CENTRE_SEARCH * image_radius, 0.03 * image_radius,
                                               0.04 * image_radius)
        # Then finer, about the best law of the best projection.
        near = [i for i in range(len(laws)) if law_family[i] == law_family[law]
                and abs(laws[i][0] / laws[law][0] - 1.0) < 0.05]
        fine = [(laws[law][0] * s, laws[law][1]) for s in np.linspace(0.97, 1.03, 7)] if near else [laws[law]]
        votes, centre, fine_law, spin = _vote_start(theta[usable], azimuth, detections[:2 * len(usable)], fine,
                                                    centre, 0.03 * image_radius, 0.012 * image_radius,
                                                    0.006 * image_radius)
        family = law_family[law]
        p[LensModel.FOCAL], p[LensModel.K] = fine[fine_law]
        p[LensModel.CX], p[LensModel.CY] = centre
        model = dataclasses.replace(model, base=Rotation.from_rotvec([0.0, 0.0, spin]).as_matrix())
        # The vote finds where the vertical stands, not the principal point:
        # a leaning mount leaves a few per cent of the radius for the first
        # rounds, which free the lean, to take up.
        radius = 0.06 * image_radius
        from scipy.spatial import cKDTree

        visible = sky.local[_in_frame(model.project(p, sky.local), frame)[:start_count]]
        for _ in range(2):
            # Take up the lean and the focal on the stars already near a detection.
            pairs = _pairs(model.project(p, visible), detections[:2 * start_count], radius)
            if len(pairs) < MIN_START_MATCHES:
                break
            stars, dets = visible[pairs[:, 0]], detections[pairs[:, 1]]
            variables = np.array([0, 1, 2, LensModel.FOCAL, LensModel.K1])

            def lean(q, stars=stars, dets=dets, variables=variables):
                full = p.copy()
                full[variables] = q
                return (model.project(full, stars) - dets).ravel()

            p[variables] = least_squares(lean, p[variables], loss="soft_l1", f_scale=radius / 4.0, x_scale="jac",
                                         max_nfev=100).x
        gaps, _ = cKDTree(detections[:2 * start_count]).query(model.project(p, visible))
        laid = int(np.count_nonzero(gaps < radius))
    else:
        if up_known:
            axis_cam, axis_local = start_up, (0.0, 0.0, 1.0)
        else:
            axis_local = _engine_boresight(prepared.detections, rough, when, catalog or default_catalog(), lat_deg,
                                           lon_deg)
            if axis_local is None:
                raise CalibrationError("the stars were not identified with the rough lens: give --up X Y Z (the"
                                       " vertical in the camera frame) or a focal nearer the truth (--focal)")
            axis_cam = (0.0, 0.0, 1.0)
        # Only stars that can fall in the frame compete: those no farther from
        # the known axis than the frame's farthest corner, and after a first
        # search those the rough lens places inside the frame.
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
        raise CalibrationError(f"only {counted(in_frame, 'catalogue star')} {'stands' if in_frame == 1 else 'stand'} in the photo above {min_altitude_deg:g}°"
                               f" (at least {min_stars} needed): {FEW_STARS}")
    if laid < max(MIN_START_MATCHES, START_SHARE * len(visible)):
        what = ("the camera's pointing (--up)" if looking_up else
                "the place, the time, the rough lens (--focal, --projection) or --up")
        raise CalibrationError(f"the rough start lays only {laid} of the {counted(len(visible), 'brightest star')} near a"
                               f" detection even after searching the centre, focal and projection: check --utc,"
                               f" --lat/--lon and {what}"
                               if looking_up else
                               f"the rough start lays only {laid} of the {counted(len(visible), 'brightest star')} near a"
                               f" detection: check --utc, --lat/--lon, {what}")

    # The first rounds fit what the rough start is most wrong about.
    rotation_and_focal = [0, 1, 2, LensModel.FOCAL]
    free = rotation_and_focal + ([LensModel.K1] if fisheye else [])
    rounds = 0

    def fit(pairs, variables, start, f_scale):
        stars, dets = sky.local[pairs[:, 0]], detections[pairs[:, 1]]

        def residuals(q):
            full = start.copy()
            full[variables] = q
            return (model.project(full, stars) - dets).ravel()

        result = least_squares(residuals, start[variables], loss="soft_l1", f_scale=f_scale, x_scale="jac",
                               max_nfev=200)
        full = start.copy()
        full[variables] = result.x
        return full, result, residuals

    while True:
        count = brightest(radius)
        in_frame = _in_frame(model.project(p, sky.local), frame)[:count]
        pairs = _pairs(model.project(p, sky.local[in_frame]), detections[:2 * count], radius)
        pairs[:, 0] = in_frame[pairs[:, 0]]
        if len(pairs) < MIN_START_MATCHES:
            raise CalibrationError(f"the fit did not converge (only {counted(len(pairs), 'star')} paired within {radius:.1f} px):"
                                   f" {START_AGAIN}")
        variables = np.array(free)
        say(f"fitting {len(variables)} parameters to {counted(len(pairs), 'star')} paired within {radius:.1f} px")
        p, result, _ = fit(pairs, variables, p, max(radius / 4.0, 0.5))
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

    if not result.success:
        raise CalibrationError(f"the fit did not converge ({result.message.rstrip('.')}): {START_AGAIN}")
    if len(pairs) < min_stars:
        raise CalibrationError(f"only {counted(len(pairs), 'star')} identified (at least {min_stars} needed) although"
                               f" {in_frame.size} catalogue stars stand in the photo: {FEW_STARS}"
                               if in_frame.size < 3 * min_stars else
                               f"only {len(pairs)} of the photo's {in_frame.size} catalogue stars paired with a"
                               f" detection (at least {min_stars} needed): check --utc and --lat/--lon, then name the"
                               f" lens's projection (--projection) or {START_AGAIN}")
    predicted = model.project(p, sky.local[pairs[:, 0]])
    detected = detections[pairs[:, 1]]
    gaps = np.linalg.norm(predicted - detected, axis=1)
    if not result.success or not math.isfinite(p[LensModel.FOCAL]) or p[LensModel.FOCAL] <= 0 \
            or np.median(gaps) > FINAL_RADIUS_PX / 2:
        raise CalibrationError(f"the fit did not converge (median residual {np.median(gaps):.2f} px): {START_AGAIN}")
    inliers = gaps <= FINAL_RADIUS_PX
    quality = _quality(model, p, variables, sky.local, pairs[inliers], detections, frame, fit)
    rotation = model.rotation(p)
    cam = sky.local[pairs[:, 0]] @ rotation.T
    off_axis = np.degrees(np.arctan2(np.hypot(cam[:, 0], cam[:, 1]), cam[:, 2]))
    _refuse_poor(quality, fisheye)
    k = p[LensModel.K] if fisheye else np.zeros(4)
    field = fisheye_fov_deg if fisheye_fov_deg is not None else (_fisheye_fov_for(model, p, frame) if fisheye
                                                                 else None)
    lens = Lens(focal_px=float(p[LensModel.FOCAL]), cx=float(p[LensModel.CX]), cy=float(p[LensModel.CY]),
                fisheye_fov_deg=field, k1=float(k[0]), k2=float(k[1]), k3=float(k[2]), k4=float(k[3]),
                up_cam=tuple(float(v) for v in rotation[:, 2]))
    return Calibration(lens, sky.hr_ids[pairs[inliers, 0]], detected[inliers], predicted[inliers], off_axis[inliers],
                       when, float(lat_deg), float(lon_deg), float(height_m), prepared.width, prepared.height,
                       prepared.image, quality=dataclasses.replace(quality, projection=family if fisheye
                                                                   else "pinhole"))


def write_residual_plot(calibration: Calibration, path: str | Path) -> None:
    """The residual picture and plot of :func:`halvane_tools.annotate.write_residual_plot`;
    CalibrationError when matplotlib is missing."""
    require_extra("matplotlib", "matplotlib")
    annotate.write_residual_plot(calibration, path)
