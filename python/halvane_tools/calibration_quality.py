"""How far a fitted lens can be trusted, and the gates a lens must pass
before it is written: the parameters' and the vertical's uncertainty from the
fit's covariance, the residual of stars held out of the fit, and how the
stars used cover the field.
"""
from __future__ import annotations

import dataclasses
import math

import numpy as np

from .projections import LensModel, imaged, inside_frame, unproject


class CalibrationError(ValueError):
    """A calibration that cannot be made; the text is one line saying what to change."""


# A lens is refused when the stars used span less than this share of the
# off-axis angles the photo's stars reach, or reach less far out: a ring of
# stars fits focal, distortion and centre to one radius and says nothing of
# the rest of the field.
MIN_RADIAL_SPAN = 0.3
MIN_RADIAL_REACH = 0.65
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
    fitted parameter and of the vertical (from the fit's covariance: against
    the stars, what a solve with this lens feels, and in the camera frame,
    which includes the principal point's uncertainty), the
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
    up_frame_sigma_arcmin: float = math.nan


def measure_quality(model: LensModel, p: np.ndarray, variables: np.ndarray, local: np.ndarray, pairs: np.ndarray,
                    detections: np.ndarray, frame: np.ndarray, fit, reachable: np.ndarray | None = None) -> FitQuality:
    """The quality of the fit p (variables free) to pairs of local stars and
    detections. reachable: where stars were looked for (a boolean image; None:
    the whole frame); the field's reach is that of the stars standing there."""
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
    up_sigma, up_frame_sigma = vertical_sigma_arcmin(model, p, variables, cov, dets)

    held = np.arange(len(pairs)) % HELD_OUT_EVERY == HELD_OUT_EVERY // 2
    kept, _, _ = fit(pairs[~held], variables, p, 0.5)
    missed = np.linalg.norm(model.project(kept, stars[held]) - dets[held], axis=1)

    rotation = model.rotation(p)
    cam = stars @ rotation.T
    used = np.degrees(np.arctan2(np.hypot(cam[:, 0], cam[:, 1]), cam[:, 2]))
    pixels = model.project(p, local)
    inside = inside_frame(pixels, frame)
    inside = inside[imaged(model, p, local[inside])]
    if reachable is not None:
        # Stars where nothing was looked for (outside the stated field, below
        # the altitude cut, under the caller's mask) cannot be missing.
        # Inside the frame, so finite and in range: the casts are safe.
        inside = inside[reachable[pixels[inside, 1].astype(np.int64), pixels[inside, 0].astype(np.int64)]]
    everywhere = local[inside] @ rotation.T
    reach = float(np.max(np.degrees(np.arctan2(np.hypot(everywhere[:, 0], everywhere[:, 1]), everywhere[:, 2])),
                         initial=float(np.max(used))))
    angle = np.arctan2(dets[:, 1] - p[LensModel.CY], dets[:, 0] - p[LensModel.CX])
    sectors = np.unique(np.floor((angle + math.pi) / (2 * math.pi) * AZIMUTH_SECTORS).astype(int) % AZIMUTH_SECTORS)
    return FitQuality(sigma, up_sigma, float(np.median(missed)) if len(missed) else math.nan, int(held.sum()),
                      (float(np.percentile(used, 10)), float(np.percentile(used, 90)), reach), len(sectors),
                      up_frame_sigma_arcmin=up_frame_sigma)


def refusal(quality: FitQuality, fisheye: bool) -> str | None:
    """Why a lens is not to be trusted and what to change, in one line; None
    for a lens that passes every gate."""
    inner, outer, reach = quality.off_axis_deg
    remedy = ("name the lens's projection (--projection) or fit more terms (--k3-k4)" if fisheye else
              "fit a distorted lens instead of the pinhole (--projection rectilinear)")
    if outer - inner < MIN_RADIAL_SPAN * reach or outer < MIN_RADIAL_REACH * reach:
        return (f"the stars that fit lie only {inner:.1f}° to {outer:.1f}° off axis while the photo's"
                f" stars reach {reach:.1f}°: a lens fitted to part of the field is wrong elsewhere;"
                f" {remedy}, or use a photo clear across the field")
    if quality.azimuth_sectors < MIN_AZIMUTH_SECTORS:
        return (f"the stars that fit cover only {quality.azimuth_sectors} of {AZIMUTH_SECTORS}"
                " directions about the centre: use a photo clear on every side or mask less of it")
    if not quality.held_out_median_px <= MAX_HELD_OUT_PX:
        return (f"stars left out of the fit miss the fitted lens by a median"
                f" {quality.held_out_median_px:.2f} px: the lens does not predict the stars it was"
                f" not fitted to; {remedy}")
    if not quality.up_sigma_arcmin <= MAX_UP_SIGMA_ARCMIN:
        return (f"the fit knows the vertical only to {quality.up_sigma_arcmin:.1f}' (at most"
                f" {MAX_UP_SIGMA_ARCMIN:g}' is usable): use a photo with more stars, a wider field or"
                " several photos")
    return None


def vertical_sigma_arcmin(model: LensModel, p: np.ndarray, variables: np.ndarray, cov: np.ndarray,
                          pixels: np.ndarray) -> tuple[float, float]:
    """The vertical's standard deviation along its worse horizontal axis,
    relative to the stars as the lens sees them, and in the camera frame.

    A shift of the principal point that the rotation follows moves the
    vertical and the stars together and leaves a fix where it was, so for a
    solve only what moves the vertical against the stars at pixels counts.
    On a narrow field the stars cannot tell that shift from a turn of the
    camera: the vertical in the frame is then known only as well as the
    principal point, which the second figure says."""
    dirs0 = unproject(model, p, pixels)
    up0 = model.rotation(p)[:, 2]
    skew = np.zeros((len(dirs0), 3, 3))
    skew[:, 0, 1], skew[:, 0, 2], skew[:, 1, 2] = -dirs0[:, 2], dirs0[:, 1], -dirs0[:, 0]
    skew -= skew.transpose(0, 2, 1)  # d x w = skew @ w
    design = skew.reshape(-1, 3)
    east = np.cross(up0, [1.0, 0.0, 0.0] if abs(up0[0]) < 0.9 else [0.0, 1.0, 0.0])
    east /= np.linalg.norm(east)
    north = np.cross(up0, east)
    jac = np.empty((2, len(variables)))
    frame_jac = np.empty((2, len(variables)))
    for i, v in enumerate(variables):
        h = 1e-6 * max(abs(p[v]), 1.0)
        q = p.copy()
        q[v] += h
        moved = unproject(model, q, pixels) - dirs0
        # The rotation that best follows the stars, taken out of the vertical's move.
        spin, *_ = np.linalg.lstsq(design, -moved.ravel(), rcond=None)
        turned = model.rotation(q)[:, 2] - up0
        up = turned - np.cross(spin, up0)
        jac[:, i] = (up @ east / h, up @ north / h)
        frame_jac[:, i] = (turned @ east / h, turned @ north / h)
    return tuple(math.degrees(math.sqrt(max(float(np.linalg.eigvalsh(j @ cov @ j.T)[-1]), 0.0))) * 60.0
                 for j in (jac, frame_jac))
