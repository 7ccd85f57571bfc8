// Position from altitude sights: least-squares refinement, the 2-sigma
// error ellipse and great-circle distance.
//
// Distances on the ground are angles: one nautical mile is one arcminute of
// great circle (kNmPerRad nautical miles per radian). Positions are latitude
// (north positive) and longitude (east positive) in radians.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>

#include "error.hpp"

namespace halvane {

// One altitude observation of a sky object of known apparent place.
struct Sight {
    double ra = 0.0;        // apparent right ascension of date, radians
    double dec = 0.0;       // apparent declination of date, radians
    double altitude = 0.0;  // observed true altitude (refraction removed), radians
    double sigma = 0.0;     // standard deviation of the altitude, radians
};

// Computed altitude and azimuth of a sky object seen from (lat, lon) at
// Greenwich mean sidereal time gmst (all radians). Azimuth from north
// through east, in (-pi, pi].
struct AltAzimuth {
    double altitude = 0.0;
    double azimuth = 0.0;
};
AltAzimuth computed_alt_azimuth(double ra, double dec, double gmst, double lat,
                                double lon) noexcept;

// Atmospheric refraction (Bennett's formula) at an apparent altitude,
// radians in and out; never negative. The fix subtracts it from observed
// altitudes and scene synthesis adds it to true ones.
double refraction_rad(double apparent_altitude) noexcept;

// Observed minus computed altitude of a sight at (lat, lon), radians.
double sight_residual(const Sight& sight, double gmst, double lat, double lon) noexcept;

// 2x2 covariance in radians squared on the local north and east axes,
// entries in row order: C_nn, C_ne, C_ne, C_ee.
using Covariance2 = std::array<double, 4>;

struct RefinedFix {
    Covariance2 covariance{};
    double lat = 0.0;  // radians
    double lon = 0.0;  // radians, not wrapped
    std::size_t n_iterations = 0;  // 1 to 20
};

// Latitude and longitude that best fit the sights, by Gauss-Newton in local
// north/east steps from (lat0, lon0), weights 1 / sigma^2.
//   gmst: Greenwich mean sidereal time of the observations, radians.
// Stops after a step shorter than 1e-9 radians (about 6e-6 nm) or after
// 20 passes; reaching 20 is not an error (the twentieth position is
// returned). The covariance is the inverse normal matrix of the last pass,
// evaluated at the position before its step. The longitude step is divided
// by cos(lat), so it grows large near the poles; lon is returned unwrapped.
// Errors:
//   InsufficientStars{needed 2, got n} for fewer than 2 sights.
//   SingularGeometry when the normal matrix is not invertible in practice
//     (determinant zero, non-finite, or below 1e-12 of the matrix's squared
//     Frobenius norm): all sights on one azimuth or its reciprocal, a zero
//     sigma, or a NaN anywhere.
// Allocation-free.
Result<RefinedFix> refine_fix(std::span<const Sight> sights, double gmst, double lat0,
                              double lon0) noexcept;

struct Ellipse2Sigma {
    double semi_major_nm = 0.0;
    double semi_minor_nm = 0.0;
    double orientation_deg = 0.0;  // major axis from north toward east, [-90, 90]
};

// The 2-sigma error ellipse of a north/east covariance (radians squared):
// semi-axes are twice the square roots of the eigenvalues (a negative
// eigenvalue counts as 0) in nautical miles. A circle (axes equal to 12
// digits) has orientation 0.
Ellipse2Sigma covariance_ellipse_2sigma(const Covariance2& covariance) noexcept;

// The 2-sigma ellipse of a fix from lines of position at the given azimuths
// (radians from north through east), each with standard deviation sigma
// (radians). None when the geometry is singular (fewer than two distinct
// non-reciprocal azimuths, a zero or NaN sigma, a NaN azimuth).
std::optional<Ellipse2Sigma> azimuth_ellipse_2sigma(std::span<const double> azimuths,
                                                    double sigma) noexcept;

// Great-circle (haversine) distance between two points given in degrees,
// nautical miles. Never fails; antipodal points give 10800.
double great_circle_nm(double lat1_deg, double lon1_deg, double lat2_deg,
                       double lon2_deg) noexcept;

}  // namespace halvane
