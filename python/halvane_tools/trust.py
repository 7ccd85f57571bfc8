"""Whether the stated lens can support a fix.

A lens stated far too narrow (a 180-degree frame called a 2-degree
fisheye, a focal length ten times too long) squeezes the sky's brightest
stars into a patch a few degrees wide. Somewhere in the catalogue a few
stars form nearly the same small pattern, and with a loose sigma the
matcher may lock on to them: a fix thousands of miles off with an ellipse
of a few miles. Within the stated frame that fix is self-consistent; what
gives it away is the light it leaves unexplained. The catalogue holds every
star down to its limit, so at the right attitude nearly every detection as
bright as the faintest one a catalogue star explains is explained too,
apart from a planet or two; a wrong lens leaves most of the bright light
unexplained.

:func:`unexplained_light` recovers the camera's attitude from the fix (the
vertical fixes two axes, the matched stars the turn about it), lays every
catalogue star on the frame through the stated lens and counts the
detections more than twice as bright as the faintest explained one that no
catalogue star explains; :func:`check_lens_supports` refuses a fix that
fits the frame loosely (a residual of several pixels) and leaves more of
them than planets and a satellite could make.
"""
from __future__ import annotations

import dataclasses
import math

import numpy as np

import halvane

from .times import utc_tuple

# Bright detections no catalogue star explains that a sound fix may still
# have: planets, a satellite or an aircraft round in a short exposure.
MAX_UNEXPLAINED_BRIGHT = 2
# "Bright": more than this many times the flux of the faintest explained detection.
BRIGHT_FACTOR = 2.0
# A detection is explained by a catalogue star predicted within this many
# pixels, or three times the fix's residual if that is larger.
EXPLAIN_PX = 3.0
# Centroids are good to a fraction of a pixel, so a fix whose residual
# through the stated lens is several pixels fits the frame loosely: only
# such a fix is refused for unexplained light. A tight fit with bright
# unexplained light is a sound fix on a sky with lights in it.
LOOSE_RMS_PX = 3.0
# Turns about the vertical tried when recovering the attitude, per circle.
ROLL_STEPS = 7200
TT_MINUS_UT_DAYS = 69.2 / 86400.0


@dataclasses.dataclass(frozen=True)
class Explained:
    """How a fix accounts for its detections: explained, the detections a
    catalogue star falls on at the fix's attitude; unexplained_bright, the
    others brighter than BRIGHT_FACTOR times the faintest explained one."""

    explained: int
    unexplained_bright: int
    rms_px: float = 0.0

    @property
    def allowed(self) -> int:
        """Unexplained bright detections a sound fix may have: a few, more on a rich sky."""
        return max(MAX_UNEXPLAINED_BRIGHT, self.explained // 4)

    @property
    def supported(self) -> bool:
        return self.rms_px <= LOOSE_RMS_PX or self.unexplained_bright <= self.allowed


def check_lens_supports(fix, detections, camera, up_cam, utc, catalog) -> None:
    """Raise halvane.HalvaneError when the fix leaves more bright
    detections unexplained than a sound fix may (see :class:`Explained`)."""
    explained = unexplained_light(fix, detections, camera, up_cam, utc, catalog)
    if not explained.supported:
        raise halvane.HalvaneError(
            f"stated lens cannot support the match: residual {explained.rms_px:.1f} px and"
            f" {explained.unexplained_bright} bright detections that no catalogue star explains (at most"
            f" {explained.allowed} allowed); check the field of view or focal length")


def _rotation_taking(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """The smallest rotation taking unit vector a onto unit vector b."""
    axis = np.cross(a, b)
    sine, cosine = float(np.linalg.norm(axis)), float(a @ b)
    if sine < 1e-12:  # parallel, or opposite: half a turn about any perpendicular axis
        if cosine > 0:
            return np.eye(3)
        k = np.cross(a, [1.0, 0.0, 0.0] if abs(a[0]) < 0.9 else [0.0, 1.0, 0.0])
        k /= np.linalg.norm(k)
        return 2.0 * np.outer(k, k) - np.eye(3)
    k = axis / sine
    cross = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.eye(3) + sine * cross + (1 - cosine) * cross @ cross


def _turn_about(up: np.ndarray, angle: float) -> np.ndarray:
    cross = np.array([[0, -up[2], up[1]], [up[2], 0, -up[0]], [-up[1], up[0], 0]])
    return np.eye(3) + math.sin(angle) * cross + (1 - math.cos(angle)) * cross @ cross


def _of_date(ra_dec_deg: np.ndarray, jd: float) -> np.ndarray:
    """Unit vectors of (ra, dec) in degrees, precessed from J2000 to the date."""
    ra, dec = np.radians(ra_dec_deg[:, 0]), np.radians(ra_dec_deg[:, 1])
    j2000 = np.column_stack([np.cos(dec) * np.cos(ra), np.cos(dec) * np.sin(ra), np.sin(dec)])
    precession = np.column_stack([halvane.precess_vector(jd + TT_MINUS_UT_DAYS, e) for e in np.eye(3)])
    return j2000 @ precession.T


def _attitude(fix, seen: np.ndarray, up: np.ndarray, jd: float, catalog) -> np.ndarray:
    """The rotation from the sky of date to the camera: the vertical takes
    the zenith of the fix onto up; the turn about it lays the matched
    stars nearest the detections."""
    lst = math.radians(halvane.gmst_deg(jd) + fix.longitude_deg)
    lat = math.radians(fix.latitude_deg)
    zenith = np.array([math.cos(lat) * math.cos(lst), math.cos(lat) * math.sin(lst), math.sin(lat)])
    level = _rotation_taking(zenith, up)
    stars = _of_date(np.array([catalog.star(hr)[:2] for hr in fix.matched_hr_ids], dtype=np.float64), jd)
    levelled = stars @ level.T
    along = levelled @ up
    across = levelled - np.outer(along, up)
    side = np.cross(up, across)
    best_cost, best_angle = math.inf, 0.0
    for chunk in np.array_split(np.linspace(0.0, 2 * math.pi, ROLL_STEPS, endpoint=False), 16):
        c, s = np.cos(chunk)[:, None, None], np.sin(chunk)[:, None, None]
        turned = along[None, :, None] * up + c * across[None] + s * side[None]  # (angles, stars, 3)
        cost = np.arccos(np.clip((turned @ seen.T).max(axis=2), -1.0, 1.0)).sum(axis=1)
        k = int(cost.argmin())
        if cost[k] < best_cost:
            best_cost, best_angle = float(cost[k]), float(chunk[k])
    return _turn_about(up, best_angle) @ level


def unexplained_light(fix, detections, camera, up_cam, utc, catalog) -> Explained:
    """How well the fix, through camera (a halvane.Camera of the stated
    lens with its width and height), explains detections ((x, y, flux),
    brightest first) by the catalogue's stars."""
    if not detections or not fix.matched_hr_ids:
        return Explained(0, 0)
    jd = halvane.julian_date(*utc_tuple(utc))
    points = np.asarray(detections, dtype=np.float64)
    seen = np.asarray(camera.pixel_to_vec(points[:, 0], points[:, 1]), dtype=np.float64).reshape(-1, 3)
    up = np.asarray(up_cam, dtype=np.float64)
    up = up / np.linalg.norm(up)
    rotation = _attitude(fix, seen, up, jd, catalog)
    sky = _of_date(np.array([star[1:3] for star in catalog.stars()], dtype=np.float64), jd) @ rotation.T
    predicted = np.asarray(camera.vec_to_pixel(sky), dtype=np.float64).reshape(-1, 2)
    predicted = predicted[np.isfinite(predicted).all(axis=1)]
    rms_px = math.degrees(fix.residual_rms_rad) * 60.0 / camera.arcmin_per_pixel
    reach = max(EXPLAIN_PX, 3.0 * rms_px)
    if len(predicted):
        gaps = np.hypot(points[:, None, 0] - predicted[None, :, 0], points[:, None, 1] - predicted[None, :, 1])
        explained = gaps.min(axis=1) <= reach
    else:
        explained = np.zeros(len(points), dtype=bool)
    if not explained.any():
        return Explained(0, len(points), rms_px)
    faintest = float(points[explained, 2].min())
    bright = int(((~explained) & (points[:, 2] > BRIGHT_FACTOR * faintest)).sum())
    return Explained(int(explained.sum()), bright, rms_px)
