"""The rough start of a calibration: where the camera points and how it
turns, found from what a user knows before any least squares.

A camera looking up is started by a vote over the vertical's place in the
frame, the focal and the projection together with the spin; any other by
turning about one known axis (the vertical given, or the boresight that the
engine's own star identification yields).
"""
from __future__ import annotations

import dataclasses
import math

import numpy as np

import halvane

from .lens import Lens
from .options import DEFAULT_MAX_CENTROIDS
from .projections import PROJECTIONS, LensModel, inside_frame, mutual_pairs, projection_k, radial, rotation_between
from .times import utc_tuple

try:
    from scipy.spatial import cKDTree
    from scipy.spatial.transform import Rotation
except ImportError:  # the calibrate extra: calibrate_photo names it before any of this runs
    cKDTree = Rotation = None

# The start searches the focal this far either side of the stated one, and the
# vertical's place in the frame this share of the image-circle radius about
# the stated principal point (8 % of offset and 5 degrees of tilt need 14 %).
FOCAL_SEARCH = 0.2
CENTRE_SEARCH = 0.18
SEARCH_STARS = 60
# The start must lay at least this many of the brightest stars near a
# detection, or the rough lens, vertical, place or time is wrong.
MIN_START_MATCHES = 8


def local_axes(lat_deg: float, lon_deg: float, jd: float):
    """East, north and up of a place as the engine sees them: unit vectors
    in the mean equator and equinox of date, turned by the mean sidereal time."""
    lat, theta = math.radians(lat_deg), math.radians(lon_deg + halvane.gmst_deg(jd))
    east = np.array([-math.sin(theta), math.cos(theta), 0.0])
    north = np.array([-math.sin(lat) * math.cos(theta), -math.sin(lat) * math.sin(theta), math.cos(lat)])
    up = np.array([math.cos(lat) * math.cos(theta), math.cos(lat) * math.sin(theta), math.sin(lat)])
    return east, north, up


def engine_boresight(detections, lens: Lens, utc, catalog, lat_deg: float, lon_deg: float) -> np.ndarray | None:
    """The local direction of the camera's boresight from the engine's own
    star identification, or None. Solving with the boresight given as the
    vertical puts the fix where the boresight is the zenith; a pinhole's
    small field is never near the altitude cut that way."""
    jd = halvane.julian_date(*(int(v) if i < 5 else float(v) for i, v in enumerate(utc_tuple(utc))))
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


def spin_search(model: LensModel, p: np.ndarray, axis_cam, axis_local, local: np.ndarray, detections: np.ndarray,
                 radius_px: float) -> tuple[np.ndarray, int]:
    """The base rotation that takes axis_local to axis_cam and, of all the
    turns about that axis, best lays the given stars on the detections; and
    how many stars it lays within radius_px of one."""
    axis_cam = np.asarray(axis_cam, float) / np.linalg.norm(axis_cam)
    axis_local = np.asarray(axis_local, float) / np.linalg.norm(axis_local)
    align = rotation_between(axis_local, axis_cam)
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


def vote_start(theta: np.ndarray, azimuth: np.ndarray, detections: np.ndarray, laws: list, centre0: np.ndarray,
                reach_px: float, tolerance_px: float, step_px: float):
    """The principal point, radial law and spin about the optical axis that
    lay most of the stars (theta, azimuth about the vertical at spin 0) on
    the detections, for a camera whose vertical is its optical axis.

    For every trial centre and law, each star and each detection at about
    the star's distance from the centre vote for the spin that would join
    them; the best spin's votes count the stars laid. laws: (focal, k) pairs.
    Returns (votes, centre, law index, spin)."""
    focal = np.array([f for f, _ in laws])
    radii = focal[:, None] * np.stack([radial(theta, k) for _, k in laws])  # laws x stars
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


def start_looking_up(model: LensModel, p: np.ndarray, local: np.ndarray, detections: np.ndarray, family: str,
                     half_field: float, image_radius: float, frame: np.ndarray, start_count: int, least_squares):
    """The start of a fisheye looking up: the vertical's place, focal,
    projection and spin found together, then the lean taken up on the stars
    already near a detection. p is updated in place. Returns the turned
    model, the family chosen, the brightest stars in the frame, the pairing
    radius reached and how many of those stars it lays near a detection."""
    # Search where the vertical stands in the frame, the focal and the
    # projection with the spin: a zenith 6 degrees off centre or a focal
    # 15 % off is beyond any pairing radius that leaves the stars distinct.
    theta = np.arccos(np.clip(local[:, 2], -1.0, 1.0))
    usable = np.flatnonzero(theta < min(half_field, math.radians(88.0)))[:SEARCH_STARS]
    azimuth = np.arctan2(local[usable, 1], local[usable, 0])
    families = [family] + [name for name in PROJECTIONS if name != family and name != "rectilinear"]
    scales = np.linspace(1.0 - FOCAL_SEARCH, 1.0 + FOCAL_SEARCH, 11)
    laws, law_family = [], []
    for name in families:
        k = projection_k(name, half_field)
        base_focal = p[LensModel.FOCAL] * float(radial(np.array(half_field), p[LensModel.K]) / radial(np.array(half_field), k))
        for scale in scales:
            laws.append((base_focal * scale, k))
            law_family.append(name)
    centre0 = np.array([p[LensModel.CX], p[LensModel.CY]])
    search = (CENTRE_SEARCH * image_radius, 0.03 * image_radius, 0.04 * image_radius)
    _, centre, law, spin = vote_start(theta[usable], azimuth, detections[:2 * len(usable)], laws, centre0,
                                          *search)
    # Near the axis the families differ little and a leaning mount can make
    # a wrong one win the vote by a few stars, while on a narrow field the
    # families serve as finer steps of the focal: the family the user named
    # is started too, and the start that lays more stars is kept.
    candidates = [(law, centre, spin)]
    if law_family[law] != family:
        named = [i for i, name in enumerate(law_family) if name == family]
        _, named_centre, named_law, named_spin = vote_start(
            theta[usable], azimuth, detections[:2 * len(usable)], [laws[i] for i in named], centre0, *search)
        candidates.insert(0, (named[named_law], named_centre, named_spin))
    best = None
    for law, centre, spin in candidates:
        q = p.copy()
        found = _finish_start(q, law, centre, spin, laws, law_family, model, theta[usable], azimuth, local,
                              detections, image_radius, frame, start_count, least_squares)
        if best is None or found[-1] > best[1][-1]:
            best = (q, found)
    p[:] = best[0]
    return best[1]


def _finish_start(p, law, centre, spin, laws, law_family, model, theta, azimuth, local, detections, image_radius,
                  frame, start_count, least_squares):
    """start_looking_up from one coarse vote: a finer vote about its law,
    then the lean taken up. p is updated in place."""
    # Then finer, about the best law of the best projection.
    near = [i for i in range(len(laws)) if law_family[i] == law_family[law]
            and abs(laws[i][0] / laws[law][0] - 1.0) < 0.05]
    fine = [(laws[law][0] * s, laws[law][1]) for s in np.linspace(0.97, 1.03, 7)] if near else [laws[law]]
    _, centre, fine_law, spin = vote_start(theta, azimuth, detections[:2 * len(theta)], fine, centre,
                                           0.03 * image_radius, 0.012 * image_radius, 0.006 * image_radius)
    family = law_family[law]
    p[LensModel.FOCAL], p[LensModel.K] = fine[fine_law]
    p[LensModel.CX], p[LensModel.CY] = centre
    model = dataclasses.replace(model, base=Rotation.from_rotvec([0.0, 0.0, spin]).as_matrix())
    # The vote finds where the vertical stands, not the principal point:
    # a leaning mount leaves a few per cent of the radius for the first
    # rounds, which free the lean, to take up.
    radius = 0.06 * image_radius
    # Only stars within the stated field's circle judge the start: beyond it,
    # in the corners, the named law is extrapolated and may be far out.
    pixels = model.project(p, local)
    seen = inside_frame(pixels, frame)
    seen = seen[np.hypot(*(pixels[seen] - p[[LensModel.CX, LensModel.CY]]).T) <= image_radius]
    visible = local[seen[:start_count]]
    for _ in range(2):
        # Take up the lean and the focal on the stars already near a detection.
        pairs = mutual_pairs(model.project(p, visible), detections[:2 * start_count], radius)
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
    return model, family, visible, radius, laid


def start_about_axis(model: LensModel, p: np.ndarray, axis_cam, axis_local, local: np.ndarray, detections: np.ndarray,
                     camera, frame: np.ndarray, start_count: int, radius: float):
    """The start of a camera turned about one known axis (axis_cam in the
    camera frame is axis_local in the sky). Returns the turned model, the
    brightest stars in the frame and how many of them it lays within radius
    of a detection."""
    # Only stars that can fall in the frame compete: those no farther from
    # the known axis than the frame's farthest corner, and after a first
    # search those the rough lens places inside the frame.
    corners = camera.pixel_to_vec([0.0, frame[0], 0.0, frame[0]], [0.0, 0.0, frame[1], frame[1]])
    reach = float(np.min(np.asarray(corners) @ (np.asarray(axis_cam) / np.linalg.norm(axis_cam))))
    near_axis = local @ (np.asarray(axis_local) / np.linalg.norm(axis_local)) >= reach
    bright = local[near_axis][:start_count * 2]
    base, _ = spin_search(model, p, axis_cam, axis_local, bright, detections[:2 * start_count], radius)
    visible = bright[inside_frame(dataclasses.replace(model, base=base).project(p, bright), frame)[:start_count]]
    base, laid = spin_search(model, p, axis_cam, axis_local, visible, detections[:2 * start_count], radius)
    model = dataclasses.replace(model, base=base)
    return dataclasses.replace(model, base=base), visible, laid
