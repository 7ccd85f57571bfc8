"""The lens's share of a fix's uncertainty: where each sight lies in the
camera, how a focal length off moves it, and the focal's trace in the
residuals of a solved fix (the derivations are in
:mod:`halvane_tools.uncertainty`, which adds these terms to the others)."""
from __future__ import annotations

import dataclasses
import functools
import math
from importlib import resources

import numpy as np

import halvane

from . import CATALOG_FILE, DEEP_CATALOG_FILE
from .air import engine_refraction_rad
from .catalog_builder import read_catalog_records
from .rough_start import local_axes

RAD_PER_ARCMIN = math.pi / (180.0 * 60.0)
MAS_TO_RAD = math.radians(1.0 / 3.6e6)
# The Sun sight's fixed standard deviation in the fix pipeline.
SUN_SIGMA_ARCMIN = 1.0
ZERO = ((0.0, 0.0), (0.0, 0.0))


def _radial_gain(theta: float, fisheye: bool, k: tuple[float, float, float, float]) -> float:
    """g(theta) / g'(theta) of the projection r = focal * g(theta): how far a
    star moves radially, in radians, per unit of relative focal error."""
    if not fisheye:
        return math.sin(theta) * math.cos(theta)
    t2 = theta * theta
    k1, k2, k3, k4 = k
    g = theta * (1.0 + t2 * (k1 + t2 * (k2 + t2 * (k3 + t2 * k4))))
    slope = 1.0 + t2 * (3.0 * k1 + t2 * (5.0 * k2 + t2 * (7.0 * k3 + t2 * 9.0 * k4)))
    return g / slope if slope > 0 else 0.0


def _sun_longitude(jd: float) -> tuple[float, float]:
    """The Sun's ecliptic longitude and the obliquity, radians, by the
    low-precision formulae the engine uses for aberration and parallax."""
    t = (jd - 2451545.0) / 36525.0
    g = math.radians(357.528 + 35999.05 * t)
    sun = math.radians(280.46 + 36000.771 * t + 1.915 * math.sin(g) + 0.02 * math.sin(2.0 * g))
    return sun, math.radians(23.4393 - 0.013 * t)


def _aberration(jd: float) -> np.ndarray:
    """The annual aberration the engine adds to every star's place of date
    (up to 20 arcseconds): a vector in the equator of date."""
    sun, obliquity = _sun_longitude(jd)
    return 9.936508497454117e-5 * np.array([math.sin(sun), -math.cos(sun) * math.cos(obliquity),
                                            -math.cos(sun) * math.sin(obliquity)])


@functools.lru_cache(maxsize=1)
def _bundled_motions() -> dict:
    """HR number -> (ra, dec, pm_ra, pm_dec, parallax, epoch) of the bundled
    catalogues: halvane.Catalog hands out a star's place but not its motion,
    and the fastest stars move an arcminute or more in decades."""
    motions = {}
    for name in (CATALOG_FILE, DEEP_CATALOG_FILE):
        try:
            epoch, records = read_catalog_records((resources.files("halvane_tools") / "data" / name).read_bytes())
        except (OSError, ValueError):
            continue
        for r in records:
            motions[int(r["hr_id"])] = (float(r["ra"]), float(r["dec"]), float(r["pm_ra"]), float(r["pm_dec"]),
                                        float(r["parallax"]), float(epoch))
    return motions


def _star_unit(catalog, hr: int, jd: float) -> np.ndarray:
    """A catalogue star's J2000 unit vector at jd, moved as the engine moves
    it (proper motion and parallax) when the bundled catalogues know the
    star at the same place, else as catalogued."""
    ra_deg, dec_deg, _ = catalog.star(hr)
    ra, dec = math.radians(ra_deg), math.radians(dec_deg)
    known = _bundled_motions().get(hr)
    if known is None or abs(known[0] - ra) > 1e-9 or abs(known[1] - dec) > 1e-9 or not any(known[2:5]):
        return np.array([math.cos(dec) * math.cos(ra), math.cos(dec) * math.sin(ra), math.sin(dec)])
    _, _, pm_ra, pm_dec, parallax, epoch = known
    years = (jd - 2451545.0) / 365.25 + 2000.0 - epoch
    ra, dec = ra + years * pm_ra * MAS_TO_RAD / math.cos(dec), dec + years * pm_dec * MAS_TO_RAD
    p = np.array([math.cos(dec) * math.cos(ra), math.cos(dec) * math.sin(ra), math.sin(dec)])
    sun, obliquity = _sun_longitude(jd)
    s = np.array([math.cos(sun), math.cos(obliquity) * math.sin(sun), math.sin(obliquity) * math.sin(sun)])
    p = p + parallax * MAS_TO_RAD * (s - p * (s @ p))
    return p / np.linalg.norm(p)


def sight_directions(fix, catalog, jd: float):
    """Unit vectors (east, north, up) at the fix of every sight that entered
    it, stars in order then the Sun: the stars' apparent places as the engine
    makes them (the motion of a star the bundled catalogues do not hold
    aside)."""
    east, north, up = local_axes(fix.latitude_deg, fix.longitude_deg, jd)
    axes = np.array([east, north, up])
    aberration = _aberration(jd)
    directions = []
    for hr in fix.matched_hr_ids:
        apparent = np.asarray(halvane.precess_vector(jd, tuple(_star_unit(catalog, hr, jd)))) + aberration
        directions.append(axes @ (apparent / np.linalg.norm(apparent)))
    if fix.used_sun:
        ra, dec = (math.radians(v) for v in halvane.sun_apparent_jd(jd))
        directions.append(axes @ np.array([math.cos(dec) * math.cos(ra), math.cos(dec) * math.sin(ra), math.sin(dec)]))
    return np.asarray(directions).reshape(-1, 3)


def _frame(axis, vertical):
    """Rows: axis, the part of vertical across it, and their cross product."""
    w = vertical - (vertical @ axis) * axis
    if np.linalg.norm(w) < 1e-12:
        # Looking along the vertical: the turn about it does not matter.
        w = np.cross(axis, [1.0, 0.0, 0.0] if abs(axis[0]) < 0.9 else [0.0, 1.0, 0.0])
    w = w / np.linalg.norm(w)
    return np.array([axis, w, np.cross(axis, w)])


def _about_vertical(angle: float):
    c, s = math.cos(angle), math.sin(angle)
    return np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])


def camera_from_local(local, up_cam, camera=None, detections=None):
    """The rotation taking local (east, north, up) directions into the
    camera frame, for sights in the local directions `local` (n, 3).

    A Fix does not say how the camera was turned about the vertical; up_cam
    fixes the rest. The first guess puts the boresight at the azimuth of the
    mean sight. With the camera and the photo's detections ((x, y, ...)
    rows), the turn is then the one that lays the sights on detections:
    in steps that move a sight by about 10 px, then by 0.5 px about the best."""
    up_c = _unit(up_cam)
    altitude = math.asin(max(-1.0, min(1.0, up_c[2])))
    mean = local.sum(axis=0)
    azimuth = math.atan2(mean[0], mean[1])
    b = np.array([math.cos(altitude) * math.sin(azimuth), math.cos(altitude) * math.cos(azimuth), math.sin(altitude)])
    # The boresight to z, the vertical to up_cam.
    guess = _frame(np.array([0.0, 0.0, 1.0]), up_c).T @ _frame(b, np.array([0.0, 0.0, 1.0]))
    if camera is None or detections is None or len(detections) == 0 or len(local) == 0:
        return guess
    found = np.asarray([d[:2] for d in detections], dtype=np.float64)

    def best_of(angles: np.ndarray) -> float:
        turns = np.array([guess @ _about_vertical(a) for a in angles])
        cams = np.einsum("aij,nj->ani", turns, local).reshape(-1, 3)
        pixels = np.asarray(camera.vec_to_pixel(cams), dtype=np.float64).reshape(len(angles), len(local), 2)
        gaps = np.sqrt(((pixels[:, :, None, :] - found[None, None, :, :]) ** 2).sum(axis=3)).min(axis=2)
        # A sight farther than 20 px from every detection (or outside the field) counts as 20 px.
        cost = np.minimum(np.nan_to_num(gaps, nan=np.inf), 20.0).sum(axis=1)
        return float(angles[int(np.argmin(cost))])

    # Steps that move a sight by at most about 10 px; the mean sight lies
    # within the field of the boresight, so the turn is within the field's
    # reach of the guess, unless the camera looks near the zenith, where the
    # mean sight's azimuth says nothing.
    step = min(math.radians(2.0), 10.0 / camera.effective_focal_px)
    width, height = 2.0 * camera.cx, 2.0 * camera.cy
    corners = np.asarray(camera.pixel_to_vec([0.0, width, 0.0, width], [0.0, 0.0, height, height]))
    reach = float(np.max(np.arccos(np.clip(np.nan_to_num(corners[:, 2], nan=-1.0), -1.0, 1.0))))
    window = math.pi if math.pi / 2 - altitude < reach else min(math.pi, reach + math.radians(10.0))
    best = best_of(np.arange(-window, window, step))
    best = best_of(best + np.arange(-20, 21) * step / 20)
    return guess @ _about_vertical(float(best))


@dataclasses.dataclass(frozen=True)
class _Geometry:
    """The sights of a fix as the least squares saw them, and how a focal
    error would have moved their altitudes."""

    local: np.ndarray  # (n, 3) east, north, up at the fix
    camera: np.ndarray  # (n, 3) the same directions in the camera frame
    rows: np.ndarray  # (n, 2) cos Z, sin Z: the least squares' design
    weights: np.ndarray  # (n,) relative to a star
    pattern: np.ndarray  # (n,) altitude change, radians, per unit relative focal error

    def gain(self) -> np.ndarray:
        """G = (A^T W A)^-1 A^T W: the fix's move (north, east) per altitude change of each sight."""
        a, w = self.rows, self.weights
        return np.linalg.solve(a.T @ (a * w[:, None]), (a * w[:, None]).T)


def _geometry(fix, catalog, jd: float, up_c: np.ndarray, camera, *, sigma_arcmin: float, fisheye: bool, k,
              detections) -> _Geometry:
    local = sight_directions(fix, catalog, jd)
    cam = local @ camera_from_local(local, up_c, camera, detections).T
    z = np.array([0.0, 0.0, 1.0])
    weight_sun = (sigma_arcmin / SUN_SIGMA_ARCMIN) ** 2
    rows, dh, weights = [], [], []
    for i, (l, v) in enumerate(zip(local, cam)):
        altitude = math.asin(max(-1.0, min(1.0, l[2])))
        azimuth = math.atan2(l[0], l[1])
        rows.append((math.cos(azimuth), math.sin(azimuth)))
        weights.append(weight_sun if fix.used_sun and i == len(local) - 1 else 1.0)
        theta = math.acos(max(-1.0, min(1.0, v[2])))
        s = math.sin(theta)
        if s < 1e-12 or math.cos(altitude) < 1e-12:
            dh.append(0.0)
            continue
        outward = (v * math.cos(theta) - z) / s
        # Solving with a focal too long by eps pulls each star towards the axis.
        dh.append(-(up_c @ outward) / math.cos(altitude) * _radial_gain(theta, fisheye, tuple(k)))
    return _Geometry(local, cam, np.asarray(rows).reshape(-1, 2), np.asarray(weights), np.asarray(dh))


def _unit(up_cam) -> np.ndarray:
    up_c = np.asarray(up_cam, dtype=np.float64)
    return up_c / np.linalg.norm(up_c)


def lens_term(fix, catalog, jd: float, up_cam, camera, focal_sigma_px: float, *, sigma_arcmin: float,
              fisheye: bool, k=(0.0, 0.0, 0.0, 0.0), detections=None):
    """The lens term of a fix solved with a focal length known to
    focal_sigma_px (one standard deviation), the residuals left aside: a 2x2
    covariance in radians squared, north and east (``(G dh)(G dh)^T
    eps_sigma^2`` of the module's documentation).

    camera: the ``halvane.Camera`` the fix was solved with (its focal is the
    unit of the relative error); fisheye and k: its projection family and
    distortion terms; sigma_arcmin: the star sigma of the solve (it weighs the
    stars against the Sun); detections: the photo's (x, y, flux) detections,
    which place the camera's turn about the vertical (see
    :func:`camera_from_local`; without them a pinhole's term is rougher)."""
    if not (math.isfinite(focal_sigma_px) and focal_sigma_px >= 0):
        raise ValueError(f"focal_sigma_px must be a finite number >= 0 (got {focal_sigma_px!r})")
    if focal_sigma_px == 0:
        return ZERO
    eps = focal_sigma_px / camera.effective_focal_px
    geometry = _geometry(fix, catalog, jd, _unit(up_cam), camera, sigma_arcmin=sigma_arcmin, fisheye=fisheye, k=k,
                         detections=detections)
    shift = geometry.gain() @ geometry.pattern * eps
    return _outer(shift)


def _outer(vector):
    return tuple(tuple(float(v) for v in row) for row in np.outer(vector, vector))


@dataclasses.dataclass(frozen=True)
class FocalFit:
    """What the residuals of a fix say about its focal length.

    shift: the fix's move (north, east, radians) per unit of relative focal
    error, G dh; information: v^T W v, the part of the focal's altitude
    pattern dh that the position cannot take up (v = dh - A G dh), in squared
    radians per unit squared error; projection: v^T W r, the residuals r
    along that part; unexplained: the share of r^T W r that is not along it;
    sights: how many sights; stated_sigma: the focal's stated relative
    standard deviation, None when nothing was stated."""

    shift: tuple[float, float]
    information: float
    projection: float
    unexplained: float
    sights: int
    stated_sigma: float | None


# A sight whose detection lies farther than this from where the fix puts it
# is not trusted to be its detection: the residuals are then not rebuilt.
MATCH_RADIUS_PX = 20.0
# The rebuilt residuals must agree with the engine's rms to this fraction
# (the expected difference: the proper motion of a star that only a catalogue
# other than the bundled ones holds, a few tenths of an arcminute for the
# fastest).
REBUILT_RMS_TOLERANCE = 0.25


def focal_fit(fix, catalog, jd: float, up_cam, camera, detections, *, focal_sigma_px: float | None,
              sigma_arcmin: float, fisheye: bool, k=(0.0, 0.0, 0.0, 0.0)) -> FocalFit | None:
    """The focal's trace in the residuals of a fix, for :func:`total_uncertainty`.

    The residuals are rebuilt sight by sight: each sight's detection is the
    one nearest where the fix puts the star, its observed altitude the
    engine's (the angle above the plane of up_cam, refraction taken off), its
    computed altitude the star's apparent place at the fix. focal_sigma_px:
    the focal's stated standard deviation, None when nothing is stated (the
    residuals alone then say how far off it is); the other arguments as for
    :func:`lens_term`. None when the residuals cannot be rebuilt: a sight
    without its detection, a fix with the Sun (its disc is not among the
    detections), or rebuilt residuals that disagree with the engine's."""
    if focal_sigma_px is not None and not (math.isfinite(focal_sigma_px) and focal_sigma_px >= 0):
        raise ValueError(f"focal_sigma_px must be a finite number >= 0 (got {focal_sigma_px!r})")
    if fix.used_sun or detections is None or len(detections) == 0:
        return None
    up_c = _unit(up_cam)
    geometry = _geometry(fix, catalog, jd, up_c, camera, sigma_arcmin=sigma_arcmin, fisheye=fisheye, k=k,
                         detections=detections)
    n = len(geometry.local)
    if n < 3:
        return None
    found = np.asarray([d[:2] for d in detections], dtype=np.float64)
    predicted = np.asarray(camera.vec_to_pixel(geometry.camera), dtype=np.float64).reshape(-1, 2)
    gaps = np.sqrt(((predicted[:, None, :] - found[None, :, :]) ** 2).sum(axis=2))
    nearest = np.argmin(np.nan_to_num(gaps, nan=np.inf), axis=1)
    if not np.all(gaps[np.arange(n), nearest] <= MATCH_RADIUS_PX) or len(set(nearest.tolist())) < n:
        return None
    seen = np.asarray(camera.pixel_to_vec(found[nearest, 0], found[nearest, 1]), dtype=np.float64).reshape(-1, 3)
    apparent = np.arcsin(np.clip(seen @ up_c, -1.0, 1.0))
    residuals = apparent - engine_refraction_rad(apparent) - np.arcsin(np.clip(geometry.local[:, 2], -1.0, 1.0))
    rms = float(fix.residual_rms_rad)
    rebuilt = math.sqrt(float(np.mean(residuals**2)))
    if not (math.isfinite(rebuilt) and abs(rebuilt - rms) <= REBUILT_RMS_TOLERANCE * rms + 0.05 * RAD_PER_ARCMIN):
        return None
    gain, w = geometry.gain(), geometry.weights
    # What the position takes up (a small offset between the engine's sky and
    # this one among it) is no residual.
    residuals = residuals - geometry.rows @ (gain @ residuals)
    shift = gain @ geometry.pattern
    across = geometry.pattern - geometry.rows @ shift
    information = float(across @ (w * across))
    projection = float(across @ (w * residuals))
    squares = float(residuals @ (w * residuals))
    if not (information > 0.0 and squares > 0.0):
        return None
    stated = None if focal_sigma_px is None else focal_sigma_px / camera.effective_focal_px
    return FocalFit((float(shift[0]), float(shift[1])), information, projection,
                    max(0.0, 1.0 - projection * projection / (information * squares)), n, stated)
