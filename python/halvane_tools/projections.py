"""The lens model a calibration fits, and the radial laws a user can name.

One parameter vector holds a small rotation after a base rotation, focal,
principal point and the calibrated fisheye's k1..k4 (or a pinhole's focal
and centre); these functions project catalogue directions through it, pair
them with detections, and turn pixels back into directions.
"""
from __future__ import annotations

import dataclasses
import math

import numpy as np

try:
    from scipy.spatial import cKDTree
    from scipy.spatial.transform import Rotation
except ImportError:  # the calibrate extra: calibrate_photo names it before any of this runs
    cKDTree = Rotation = None

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


def radial(theta: np.ndarray, k: np.ndarray) -> np.ndarray:
    t2 = theta * theta
    return theta * (1.0 + t2 * (k[0] + t2 * (k[1] + t2 * (k[2] + t2 * k[3]))))


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


def fold_theta(k: np.ndarray) -> float:
    """The off-axis angle, radians, where the radial law of k1..k4 stops
    growing (pi when it grows all the way). Beyond it a fitted polynomial
    turns back and lays stars far off axis inside the image."""
    theta = np.linspace(0.0, math.pi, 1801)
    t2 = theta * theta
    slope = 1.0 + t2 * (3 * k[0] + t2 * (5 * k[1] + t2 * (7 * k[2] + t2 * 9 * k[3])))
    bent = np.flatnonzero(slope <= 0.0)
    return float(theta[bent[0]]) if len(bent) else math.pi


def imaged(model: "LensModel", p: np.ndarray, local: np.ndarray) -> np.ndarray:
    """Which local directions the lens of p images where no other does:
    in front of a pinhole, short of a fisheye law's fold."""
    cam = local @ model.rotation(p).T
    if not model.fisheye:
        return cam[:, 2] > 1e-12
    return np.arctan2(np.hypot(cam[:, 0], cam[:, 1]), cam[:, 2]) < fold_theta(p[LensModel.K])


def rotation_between(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """The smallest rotation taking unit vector a to unit vector b."""

    axis = np.cross(a, b)
    s, c = np.linalg.norm(axis), float(np.dot(a, b))
    if s < 1e-12:
        if c > 0:
            return np.eye(3)
        other = np.cross(a, [1.0, 0.0, 0.0] if abs(a[0]) < 0.9 else [0.0, 1.0, 0.0])
        return Rotation.from_rotvec(math.pi * other / np.linalg.norm(other)).as_matrix()
    return Rotation.from_rotvec(axis / s * math.atan2(s, c)).as_matrix()


def inside_frame(pixels: np.ndarray, frame: np.ndarray) -> np.ndarray:
    """Indices of the pixels inside a (width, height) frame, in order."""
    return np.flatnonzero(np.all((pixels >= 0) & (pixels < frame), axis=1))


def mutual_pairs(predicted: np.ndarray, detections: np.ndarray, radius_px: float) -> np.ndarray:
    """(star, detection) index pairs that are each other's nearest and lie
    within radius_px."""

    seen = np.flatnonzero(np.isfinite(predicted).all(axis=1))
    if len(seen) == 0 or len(detections) == 0:
        return np.empty((0, 2), dtype=np.int64)
    gaps, nearest = cKDTree(detections).query(predicted[seen], distance_upper_bound=radius_px)
    _, back = cKDTree(predicted[seen]).query(detections)
    found = np.isfinite(gaps)
    stars, dets = seen[found], nearest[found]
    mutual = seen[back[dets]] == stars
    return np.column_stack([stars[mutual], dets[mutual]])


def unproject(model: LensModel, p: np.ndarray, pixels: np.ndarray) -> np.ndarray:
    """Camera-frame unit vectors of pixels through the lens of p."""
    rel = (pixels - p[[LensModel.CX, LensModel.CY]]) / p[LensModel.FOCAL]
    r = np.hypot(rel[:, 0], rel[:, 1])
    if model.fisheye:
        k = p[LensModel.K]
        theta = r.copy()
        for _ in range(8):
            t2 = theta * theta
            slope = 1.0 + t2 * (3 * k[0] + t2 * (5 * k[1] + t2 * (7 * k[2] + t2 * 9 * k[3])))
            theta -= (radial(theta, k) - r) / np.where(np.abs(slope) > 1e-6, slope, 1e-6)
    else:
        theta = np.arctan(r)
    scale = np.divide(np.sin(theta), r, out=np.ones_like(r), where=r > 0)
    return np.column_stack([rel * scale[:, None], np.cos(theta)])


def fisheye_fov_for(model: LensModel, p: np.ndarray, frame: np.ndarray) -> float:
    """A field, degrees, wide enough for the fitted calibrated fisheye to image
    the whole frame, for a lens started from a focal."""
    corners = np.array([[0.0, 0.0], [frame[0], 0.0], [0.0, frame[1]], [frame[0], frame[1]]])
    reach = float(np.max(np.hypot(corners[:, 0] - p[LensModel.CX], corners[:, 1] - p[LensModel.CY])))
    theta = np.linspace(0.0, math.radians(179.0), 3600)
    r = p[LensModel.FOCAL] * radial(theta, p[LensModel.K])
    beyond = np.flatnonzero(r >= reach)
    top = theta[beyond[0]] if len(beyond) else theta[-1]
    return min(360.0, 2.0 * math.degrees(top) + 2.0)
