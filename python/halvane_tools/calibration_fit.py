"""Calibration's fit: every photo's stars and detections pooled, paired
within a radius that halves each round, and the lens fitted to the pairs by
robust least squares; the terms the stars cannot see held at a named
family's values."""
from __future__ import annotations

import dataclasses
import math

import numpy as np

from .calibration_quality import CalibrationError
from .projections import PROJECTIONS, LensModel, imaged, inside_frame, mutual_pairs, projection_k
from .report import counted
from .rough_start import MIN_START_MATCHES

# k2 is fitted only when the stars know it to this (from the fit's
# covariance), the size by which the named families' k2 differ; less well
# known it is held at the family's value.
K2_SEEN = 0.01
FINAL_RADIUS_PX = 2.0
FINAL_ROUNDS = 3
# While the radius is wide only the brightest stars take part, as many as
# keep the expected number of strangers within the radius of a star small.
CROWDING = 0.25
MIN_ROUND_STARS = 40
START_AGAIN = "check --utc and --lat/--lon, then start nearer the truth with --fisheye-fov or --focal, --cx/--cy and --up"


def brightest(radius_px: float, area_px: float) -> int:
    """How many of the brightest stars take part at a pairing radius."""
    return max(MIN_ROUND_STARS, int(CROWDING * area_px / (math.pi * radius_px**2)))


@dataclasses.dataclass(frozen=True)
class Pool:
    """Every photo's stars and detections in one list each, and where each
    photo's part of them begins; a star pairs only with a detection of its
    own photo."""

    frames: list  # each photo's stars and detections, with their skies
    local: np.ndarray
    detections: np.ndarray
    hr_ids: np.ndarray
    star_start: np.ndarray
    detection_start: np.ndarray

    @classmethod
    def of(cls, stars_of: list) -> "Pool":
        return cls(stars_of, np.concatenate([s.sky.local for s in stars_of]),
                   np.concatenate([s.detections for s in stars_of]), np.concatenate([s.sky.hr_ids for s in stars_of]),
                   np.cumsum([0] + [len(s.sky.local) for s in stars_of]),
                   np.cumsum([0] + [len(s.detections) for s in stars_of]))

    def standing(self, model: LensModel, p: np.ndarray, frame: np.ndarray) -> int:
        """How many catalogue stars the lens of p lays inside the frame, over every photo."""
        return sum(len(inside_frame(model.project(p, s.sky.local), frame)) for s in self.frames)

    def pair(self, model: LensModel, p: np.ndarray, frame: np.ndarray, radius_px: float) -> tuple[np.ndarray, int]:
        """(star, detection) pairs in the pooled lists within radius_px, of
        each photo's brightest stars the radius allows; and how many stars
        the lens images in the frames."""
        found, standing = [], 0
        for i, s in enumerate(self.frames):
            count = brightest(radius_px, s.sky_area_px)
            pixels = model.project(p, s.sky.local)
            seen = inside_frame(pixels, frame)
            seen = seen[imaged(model, p, s.sky.local[seen])]
            standing += len(seen)
            seen = seen[:count]
            pairs = mutual_pairs(pixels[seen], s.detections[:2 * count], radius_px)
            found.append(np.column_stack([seen[pairs[:, 0]] + self.star_start[i],
                                          pairs[:, 1] + self.detection_start[i]]))
        return np.concatenate(found).astype(np.int64), standing


def fitter(model: LensModel, pool: Pool, least_squares):
    """fit(pairs, variables, start, f_scale): the robust least-squares fit of
    the variables (indices into the parameters, the others held at start's)
    to the pooled pairs; returns the full parameters, SciPy's result and the
    residual function."""
    def fit(pairs, variables, start, f_scale):
        stars, dets = pool.local[pairs[:, 0]], pool.detections[pairs[:, 1]]

        def residuals(q):
            full = start.copy()
            full[variables] = q
            return (model.project(full, stars) - dets).ravel()

        result = least_squares(residuals, start[variables], loss="soft_l1", f_scale=f_scale, x_scale="jac",
                               max_nfev=200)
        full = start.copy()
        full[variables] = result.x
        return full, result, residuals

    return fit


def _higher_terms(fit, families: dict, pairs, variables, p, result):
    """The terms a fit cannot see well, held at those of the family that the
    fitted k1 names. Returns the parameters, the result, the family and
    whether k2 stays free."""
    # On a narrow field the start cannot tell the families apart; k1 it can:
    # k3, k4 at the family's values or at none for a law that two terms
    # already give, whichever the stars fit better (both fits have the same
    # freedom; holding the wrong pair skews the focal by tenths of a per
    # cent); then k2 likewise when the stars know it no better than K2_SEEN:
    # on a narrow field k2 moves no star and only trades against the focal.
    name = min(families, key=lambda n: abs(float(families[n][0]) - p[LensModel.K1]))
    k = families[name]
    best = None
    for higher in (k[2:], np.zeros(2)):
        trial = p.copy()
        trial[[LensModel.K3, LensModel.K4]] = higher
        trial, other, _ = fit(pairs, variables, trial, FINAL_RADIUS_PX / 4.0)
        if other.success and (best is None or other.cost < best[1].cost):
            best = (trial, other)
    p, result = best if best is not None else (p, result)
    count = 2 * len(pairs)
    noise = 2.0 * result.cost / max(count - len(variables), 1)
    cov = noise * np.linalg.pinv(result.jac.T @ result.jac)
    at = list(variables).index(LensModel.K2)
    k2_sigma = math.sqrt(max(float(cov[at, at]), 0.0))
    if not k2_sigma > K2_SEEN:
        return p, result, name, True
    held = p.copy()
    held[LensModel.K2:] = k[1:]
    held, other, _ = fit(pairs, variables[variables != LensModel.K2], held, FINAL_RADIUS_PX / 4.0)
    return (held, other, name, False) if other.success else (p, result, name, True)


@dataclasses.dataclass(frozen=True)
class Fitted:
    """The last round of the fit: parameters, SciPy's result, the pairs and
    variables it was made with, the family named, and how many catalogue
    stars the lens images in the frames."""

    p: np.ndarray
    result: object
    pairs: np.ndarray
    variables: np.ndarray
    family: str
    in_frame: int


def fit_rounds(pool: Pool, start, frame: np.ndarray, fisheye: bool, fit_k3_k4: bool, half_field: float,
               fit, say) -> Fitted:
    """Pair and fit with a radius halving every round down to
    FINAL_RADIUS_PX, then FINAL_ROUNDS rounds at it; the first rounds free
    only what the rough start (its model, p, family and radius) is most
    wrong about."""
    model, p, family, radius = start.model, start.p, start.family, start.radius
    rotation_and_focal = [0, 1, 2, LensModel.FOCAL]
    free = rotation_and_focal + ([LensModel.K1] if fisheye else [])
    rounds = 0
    families = {name: projection_k(name, half_field) for name in PROJECTIONS}
    fit_k2 = True
    while True:
        pairs, in_frame = pool.pair(model, p, frame, radius)
        if len(pairs) < MIN_START_MATCHES:
            raise CalibrationError(f"the fit did not converge (only {counted(len(pairs), 'star')} paired within {radius:.1f} px):"
                                   f" {START_AGAIN}")
        variables = np.array(free)
        say(f"fitting {len(variables)} parameters to {counted(len(pairs), 'star')} paired within {radius:.1f} px")
        p, result, _ = fit(pairs, variables, p, max(radius / 4.0, 0.5))
        if radius <= FINAL_RADIUS_PX:
            if rounds == 0 and fisheye and not fit_k3_k4:
                p, result, family, fit_k2 = _higher_terms(fit, families, pairs, variables, p, result)
                variables = variables[(variables != LensModel.K2) | fit_k2]
            rounds += 1
            if rounds == FINAL_ROUNDS:
                return Fitted(p, result, pairs, variables, family, in_frame)
        radius = max(radius / 2.0, FINAL_RADIUS_PX)
        # Once the pairing is tight enough to trust, everything is free.
        free = rotation_and_focal + [LensModel.CX, LensModel.CY]
        if fisheye:
            free += [LensModel.K1] + [LensModel.K2] * fit_k2
            if fit_k3_k4 and radius <= 4 * FINAL_RADIUS_PX:
                free += [LensModel.K3, LensModel.K4]
