"""The total uncertainty of a fix: what a navigator can rely on.

``halvane.Fix.covariance`` holds only the independent errors of the star
sights, at a star sigma assumed before the photo was seen. Three more things
move a fix, and they move every sight together:

- the vertical (``up_cam``): a tilt of the vertical by a small horizontal
  vector t changes the altitude of a star at azimuth Z by t . (cos Z, sin Z),
  which is exactly what moving the observer by t does. The least-squares
  solution therefore moves by t itself, whatever the stars: with t of
  standard deviation ``up_sigma`` along each horizontal axis the term is
  ``up_sigma^2 * I``, one arcminute of vertical being one nautical mile;
- the clock: an error dt turns every hour angle by the same omega * dt
  (omega the Earth's rotation relative to the stars, 15.04 arcseconds of
  hour angle per second), which the solution takes up in longitude alone:
  the fix moves east by cos(latitude) * omega * dt, so the term is
  ``(cos(lat) * omega * time_sigma)^2`` on the east axis;
- the lens: a focal length off by a fraction eps moves every star radially
  about the principal point, by -g(theta) / g'(theta) * eps, where
  r = focal * g(theta) is the lens's projection (tan for a pinhole,
  theta * (1 + k1 theta^2 + ...) for a fisheye). The altitude error of each
  sight is eps * dh, dh that radial move per unit eps projected on the
  vertical, and the fix moves by the least-squares gain
  G = (A^T W A)^-1 A^T W applied to it (A's rows (cos Z, sin Z), W the sight
  weights): G dh * eps. See the focal below for the term.

The star term itself is the module's covariance with the star sigma taken
from the residuals rather than assumed. The vertical and the clock move the
fix, not the fit: they leave no residuals. With n sights and 2 fitted
coordinates the unbiased estimate of the sight variance is
s^2 = rms^2 * n / (n - 2), with nu = n - 2 degrees of freedom, so the module
covariance C (made with sigma) becomes C * s^2 / sigma^2. An estimated
variance makes the 2-sigma ellipse hold fewer than 1 - e^-2 (86.5 %) of the
truths: d^T C^-1 d / 2 then follows Fisher's F(2, nu), whose distribution
function 1 - (1 + 2x / nu)^(-nu/2) reaches 1 - e^-2 at
x = nu (e^(4/nu) - 1) / 2, against x = 2 for a known variance. The star term
is therefore scaled once more by q(nu) = nu (e^(4/nu) - 1) / 4 (1.23 for 10
degrees of freedom, 2.1 for 3, tending to 1).

The focal, unlike the vertical and the clock, shows in the residuals: the
position takes up A G dh * eps of its altitude errors and leaves
v * eps, v = dh - A G dh. Counted as star error, that part swells the star
term (a focal 0.1 % off leaves a fisheye's residuals at 2 arcmin, four times
the stars' own) and still says nothing of where the focal moved the fix.
With the residuals r rebuilt sight by sight (:func:`focal_fit`) the focal is
the fit's third unknown:

- its estimate is eps^ = v^T W r / v^T W v, of variance s^2 / v^T W v;
- the stars' variance is what the focal leaves,
  s^2 = (r^T W r - (v^T W r)^2 / v^T W v) / (n - 3), unbiased whatever the
  actual focal error, with nu = n - 3;
- the fix is still the module's two-unknown solution, off by
  G e + G dh * eps (e the star errors). The residuals, (I - A G)(e + dh eps),
  are independent of G e (W-orthogonal projections of the same normal
  errors), so given them the fix's error is normal about G dh * mu with
  covariance s^2 (A^T W A)^-1 + (G dh)(G dh)^T tau^2, mu and tau^2 the
  focal error's mean and variance given the residuals: eps^ and
  s^2 / v^T W v when nothing is stated about the focal; with a stated
  sigma_f, the two combined as independent normal measurements,
  1 / tau^2 = 1 / sigma_f^2 + v^T W v / s^2 and mu = tau^2 eps^ v^T W v / s^2.
  About the fix that is the star term plus the lens term
  ``(G dh)(G dh)^T (mu^2 + tau^2)``.

A focal stated exact (sigma_f = 0) is taken at its word. When the residuals
cannot be rebuilt (a sight without its detection, the Sun among the sights)
the lens term is the stated sigma's alone, ``(G dh)(G dh)^T sigma_f^2``
(:func:`lens_term`), and the residuals count wholly as star error.

The total is the sum of the four terms (they are independent), reduced to
the 2-sigma ellipse as the module reduces its covariance.
"""
from __future__ import annotations

import dataclasses
import datetime
import math

import halvane

from .focal import RAD_PER_ARCMIN, ZERO, FocalFit, _outer, focal_fit, lens_term
from .lens import MOUNT_DRIFT_ARCMIN_PER_YEAR
from .times import utc_datetime, utc_tuple

# One nautical mile is one arcminute of great circle.
NM_PER_RAD = 3437.746770784939
# The Earth's rotation relative to the stars, radians per second of UT.
SIDEREAL_RATE_RAD_S = 2.0 * math.pi * 1.00273781191135448 / 86400.0

# When nothing says how good the vertical and the clock are. A hand-levelled
# or sensor-read vertical is off by 0.5 to 3 arcmin per axis: taken evenly
# over that range, its tilts fall inside the 2-sigma circle of a 1.96 arcmin
# sigma 86.5 % of the time (their rms is 1.89), hence 2. An unsynchronised
# camera clock is off by 0 to 5 s: rms 2.9 s, hence 3. Measured with
# bench/bench_uncertainty.py --full on skies with such errors and a focal
# 0.1 % off, nothing stated about it: 86-88 % of the truths inside, area
# ratio 0.99-1.05 (1.5 arcmin: 74-78 %; 2.5 arcmin: 93-95 %, half as much
# area again as needed).
DEFAULT_UP_SIGMA_ARCMIN = 2.0
DEFAULT_TIME_SIGMA_S = 3.0

SECONDS_PER_YEAR = 365.25 * 86400.0


def student_factor(dof: int) -> float:
    """q(nu) = nu (e^(4/nu) - 1) / 4: how much an ellipse built on a variance
    estimated with nu degrees of freedom must grow in variance to hold
    1 - e^-2 of the truths, as one with a known variance does."""
    if dof <= 0:
        raise ValueError(f"degrees of freedom must be positive (got {dof})")
    return dof * math.expm1(4.0 / dof) / 4.0


def ellipse_2sigma_nm(covariance) -> tuple[float, float, float]:
    """(semi_major_nm, semi_minor_nm, orientation_deg) of a 2x2 covariance
    in radians squared, axes north and east, reduced as the module reduces a
    fix's: semi-axes 2 sqrt(eigenvalue), orientation of the major axis from
    north toward east, in [-90, 90]."""
    (a, b), (_, c) = covariance
    mean = (a + c) / 2.0
    rho = math.sqrt(b * b + (a - c) * (a - c) / 4.0)
    major = 2.0 * math.sqrt(max(mean + rho, 0.0)) * NM_PER_RAD
    minor = 2.0 * math.sqrt(max(mean - rho, 0.0)) * NM_PER_RAD
    return major, minor, math.degrees(math.atan2(2.0 * b, a - c) / 2.0)


def _matrix(covariance) -> tuple[tuple[float, float], tuple[float, float]]:
    (a, b), (b2, c) = covariance
    return (float(a), float(b)), (float(b2), float(c))


def _add(*matrices):
    return tuple(tuple(sum(m[i][j] for m in matrices) for j in range(2)) for i in range(2))


def _scaled(matrix, factor: float):
    return tuple(tuple(v * factor for v in row) for row in matrix)




def vertical_covariance(up_sigma_arcmin: float):
    """The vertical's term: isotropic, up_sigma per horizontal axis."""
    v = (up_sigma_arcmin * RAD_PER_ARCMIN) ** 2
    return (v, 0.0), (0.0, v)


def clock_covariance(time_sigma_s: float, latitude_deg: float):
    """The clock's term: along the east axis only."""
    east = math.cos(math.radians(latitude_deg)) * SIDEREAL_RATE_RAD_S * time_sigma_s
    return (0.0, 0.0), (0.0, east * east)


def drifted_up_sigma_arcmin(fit_sigma_arcmin: float, age_s: float,
                            drift_arcmin_per_year: float = MOUNT_DRIFT_ARCMIN_PER_YEAR) -> float:
    """A calibrated vertical's sigma per axis after age_s seconds on a fixed
    mount: the fit's own sigma and a drift growing linearly with the age,
    added in quadrature. A photo older than its calibration drifts alike."""
    drift = drift_arcmin_per_year * abs(age_s) / SECONDS_PER_YEAR
    return math.hypot(fit_sigma_arcmin, drift)


def calibrated_up_sigma_arcmin(recorded, utc) -> float | None:
    """The vertical's sigma per axis at a photo's time (a timezone-aware
    datetime) from a lens file's recorded uncertainty (a
    ``lens.LensUncertainty``): the fit's, grown by the drift since the
    calibration (the file's rate, else MOUNT_DRIFT_ARCMIN_PER_YEAR). None when
    the file records no fitted sigma; without the calibration's time, the
    fit's alone."""
    if recorded is None or recorded.up_sigma_arcmin is None:
        return None
    if recorded.when is None:
        return recorded.up_sigma_arcmin
    drift = MOUNT_DRIFT_ARCMIN_PER_YEAR if recorded.up_drift_arcmin_per_year is None \
        else recorded.up_drift_arcmin_per_year
    return drifted_up_sigma_arcmin(recorded.up_sigma_arcmin, (utc - recorded.when).total_seconds(), drift)


@dataclasses.dataclass(frozen=True)
class Uncertainty:
    """The total covariance of a fix and the terms it is made of.

    Covariances are 2x2 tuples in radians squared, axes north and east, as
    ``halvane.Fix.covariance``; ellipses (semi_major_nm, semi_minor_nm,
    orientation_deg) at 2 sigma."""

    covariance: tuple
    ellipse_2sigma_nm: tuple[float, float, float]
    stars_covariance: tuple  # the module's, as assumed
    stars_ellipse_2sigma_nm: tuple[float, float, float]
    star_term: tuple  # the module's scaled by star_scale
    vertical_term: tuple
    clock_term: tuple
    lens_term: tuple
    assumed_sigma_arcmin: float
    star_sigma_arcmin: float  # from the residuals
    star_scale: float  # variance factor on the module's covariance
    dof: int
    up_sigma_arcmin: float
    time_sigma_s: float
    up_source: str = "given"  # or "lens file", "default"
    time_source: str = "given"  # or "default"
    # The focal's relative error as the lens term takes it: its mean and
    # standard deviation, and whether a stated sigma, the residuals or both
    # said so (None: no focal fit).
    focal_error: float | None = None
    focal_sigma: float | None = None
    focal_source: str | None = None

    def record(self) -> dict:
        """The terms as plain JSON values."""
        def term(matrix):
            return {"covariance": [list(row) for row in matrix], "ellipse_2sigma_nm": list(ellipse_2sigma_nm(matrix))}

        return {
            "stars": {"assumed_sigma_arcmin": self.assumed_sigma_arcmin,
                      "sigma_arcmin_from_residuals": self.star_sigma_arcmin,
                      "degrees_of_freedom": self.dof, "scale": self.star_scale, **term(self.star_term)},
            "vertical": {"up_sigma_arcmin": self.up_sigma_arcmin, "source": self.up_source,
                         **term(self.vertical_term)},
            "clock": {"time_sigma_s": self.time_sigma_s, "source": self.time_source, **term(self.clock_term)},
            "lens": {**({} if self.focal_source is None else {
                "focal_relative_error": self.focal_error, "focal_relative_sigma": self.focal_sigma,
                "source": self.focal_source}), **term(self.lens_term)},
        }


def total_uncertainty(fix, *, sigma_arcmin: float, up_sigma_arcmin: float, time_sigma_s: float = 0.0,
                      lens_term=None, focal: FocalFit | None = None, up_source: str = "given",
                      time_source: str = "given") -> Uncertainty:
    """The total covariance and 2-sigma ellipse of a fix.

    fix: a ``halvane.Fix`` (or anything with its covariance, residual_rms_rad,
    matched_hr_ids, used_sun, latitude_deg); sigma_arcmin: the star sigma the
    fix was solved with (``Camera.default_sigma_arcmin`` when none was
    given); up_sigma_arcmin: the vertical's standard deviation along each
    horizontal axis; time_sigma_s: the clock's; lens_term: the
    :func:`lens_term` of the solve, or None; focal: instead of lens_term, the
    :func:`focal_fit` of the solve, which takes the focal's trace out of the
    star term and sizes the lens term from the residuals. The formulas are in
    the module's documentation."""
    if lens_term is not None and focal is not None:
        raise ValueError("give lens_term or focal, not both")
    for name, value in (("sigma_arcmin", sigma_arcmin), ("up_sigma_arcmin", up_sigma_arcmin),
                        ("time_sigma_s", time_sigma_s)):
        if not (math.isfinite(value) and value >= 0):
            raise ValueError(f"{name} must be a finite number >= 0 (got {value!r})")
    if sigma_arcmin == 0:
        raise ValueError("sigma_arcmin must be positive (got 0)")
    stars = _matrix(fix.covariance)
    n = len(fix.matched_hr_ids) + (1 if fix.used_sun else 0)
    dof = n - 2
    rms = float(fix.residual_rms_rad)
    sigma = sigma_arcmin * RAD_PER_ARCMIN
    lens_covariance = ZERO if lens_term is None else _matrix(lens_term)
    focal_error = focal_sigma = focal_source = None
    squares = rms * rms * n
    if focal is not None and focal.stated_sigma != 0 and focal.sights == n and n > 3 and math.isfinite(rms) \
            and focal.information > 0:
        # Three unknowns: the position and the focal.
        dof = n - 3
        squares *= focal.unexplained
        estimate = focal.projection / focal.information
        spread = squares / dof / focal.information
        focal_error, focal_var, focal_source = _focal_posterior(estimate, spread, focal.stated_sigma)
        focal_sigma = math.sqrt(focal_var)
        lens_covariance = _scaled(_outer(focal.shift), focal_error * focal_error + focal_var)
    elif focal is not None and focal.stated_sigma:
        # Too few sights to fit the focal as well: the stated sigma alone.
        focal_error, focal_sigma, focal_source = 0.0, focal.stated_sigma, "stated"
        lens_covariance = _scaled(_outer(focal.shift), focal_sigma * focal_sigma)
    if dof > 0 and math.isfinite(rms):
        variance = squares / dof
        scale = variance / (sigma * sigma) * student_factor(dof)
        star_sigma = math.sqrt(variance) / RAD_PER_ARCMIN
    else:
        # Two sights fit exactly: their residuals say nothing.
        scale, star_sigma = 1.0, sigma_arcmin
    star_term = _scaled(stars, scale)
    vertical = vertical_covariance(up_sigma_arcmin)
    clock = clock_covariance(time_sigma_s, fix.latitude_deg)
    total = _add(star_term, vertical, clock, lens_covariance)
    return Uncertainty(total, ellipse_2sigma_nm(total), stars, ellipse_2sigma_nm(stars), star_term, vertical, clock,
                       lens_covariance, float(sigma_arcmin), star_sigma, scale, max(dof, 0), float(up_sigma_arcmin),
                       float(time_sigma_s), up_source, time_source, focal_error, focal_sigma, focal_source)


def _focal_posterior(estimate: float, spread: float, stated: float | None) -> tuple[float, float, str]:
    """The focal's relative error given the residuals: (mean, variance,
    source) from their estimate (of variance spread) and the stated sigma
    (None: nothing stated), combined as two independent normal measurements."""
    if stated is None:
        return estimate, spread, "residuals"
    if spread <= 0.0:
        return estimate, 0.0, "stated and residuals"
    variance = 1.0 / (1.0 / (stated * stated) + 1.0 / spread)
    return variance * estimate / spread, variance, "stated and residuals"


def photo_uncertainty(fix, prepared, utc, catalog, *, sigma_arcmin: float | None = None) -> Uncertainty:
    """The total uncertainty of a fix solved from a prepared photo (its lens,
    vertical, detections and options) at utc (a timezone-aware datetime or a
    UTC tuple) with the catalogue `catalog`; sigma_arcmin: the star sigma of
    the solve when it was not the options' (None and the options' None: half
    a pixel, the module's default).

    The vertical's sigma: the options' up_sigma_arcmin when given; else, when
    the vertical is the lens file's own, what the file records for it grown
    by the drift since the calibration; else DEFAULT_UP_SIGMA_ARCMIN. The
    clock's: the options' time_sigma_s, else DEFAULT_TIME_SIGMA_S. A recorded
    focal sigma adds the lens term."""
    if not isinstance(utc, datetime.datetime):
        utc = utc_datetime(utc)
    options, lens = prepared.options, prepared.lens
    camera = lens.camera(prepared.width, prepared.height)
    if sigma_arcmin is None:
        sigma_arcmin = options.sigma_arcmin
    sigma = camera.default_sigma_arcmin if sigma_arcmin is None else sigma_arcmin
    recorded = lens.uncertainty
    up_sigma, up_source = options.up_sigma_arcmin, "given"
    if up_sigma is None:
        from_lens = lens.up_cam is not None and tuple(prepared.up_cam) == tuple(lens.up_cam)
        up_sigma, up_source = (calibrated_up_sigma_arcmin(recorded, utc) if from_lens else None), "lens file"
        if up_sigma is None:
            up_sigma, up_source = DEFAULT_UP_SIGMA_ARCMIN, "default"
    time_sigma, time_source = options.time_sigma_s, "given"
    if time_sigma is None:
        time_sigma, time_source = DEFAULT_TIME_SIGMA_S, "default"
    focal_sigma = None if recorded is None else recorded.focal_sigma_px
    term = focal = None
    # A focal recorded as exact is taken at its word: no focal fit.
    if focal_sigma != 0:
        jd = halvane.julian_date(*utc_tuple(utc))
        geometry = dict(sigma_arcmin=sigma, fisheye=lens.fisheye_fov_deg is not None,
                        k=(lens.k1, lens.k2, lens.k3, lens.k4))
        focal = focal_fit(fix, catalog, jd, prepared.up_cam, camera, prepared.detections, focal_sigma_px=focal_sigma,
                          **geometry)
        if focal is None and focal_sigma:
            term = lens_term(fix, catalog, jd, prepared.up_cam, camera, focal_sigma, detections=prepared.detections,
                             **geometry)
    return total_uncertainty(fix, sigma_arcmin=sigma, up_sigma_arcmin=up_sigma, time_sigma_s=time_sigma,
                             lens_term=term, focal=focal, up_source=up_source, time_source=time_source)


def ellipse_distance(covariance, lat_deg: float, lon_deg: float, true_lat_deg: float, true_lon_deg: float) -> float:
    """How far (true_lat_deg, true_lon_deg) lies from the fix at (lat_deg,
    lon_deg) in units of the covariance's 2-sigma ellipse: at most 1 inside
    it. Infinite for a singular covariance with the truth off its line."""
    (a, b), (_, c) = _matrix(covariance)
    north = math.radians(true_lat_deg - lat_deg)
    east = math.radians((true_lon_deg - lon_deg + 180.0) % 360.0 - 180.0) * math.cos(math.radians(lat_deg))
    det = a * c - b * b
    if not det > 0:
        return 0.0 if north == east == 0.0 else math.inf
    squared = (c * north * north - 2.0 * b * north * east + a * east * east) / det
    return math.sqrt(max(squared, 0.0)) / 2.0
