// Reference frames: precession of J2000 equatorial directions to the mean
// equator and equinox of date, and the observer's local axes in that frame.
#pragma once

#include "vector.hpp"

namespace halvane {

// The IAU 1976 precession matrix P (rows) for a Julian Date (days): applied
// to a J2000 unit vector v as the column product P * v. With
// T = (jd - 2451545) / 36525 Julian centuries, the angles are
//   zeta  = 2306.2181 T + 0.30188 T^2 + 0.017998 T^3 arcseconds
//   z     = 2306.2181 T + 1.09468 T^2 + 0.018203 T^3
//   theta = 2004.3109 T - 0.42665 T^2 - 0.041833 T^3
// and P = R3(-z) R2(theta) R3(-zeta). Exactly the identity at J2000.
// The engine passes the UT Julian Date of the observation. Never fails.
Mat3 precession_matrix(double jd) noexcept;

// The observer's local axes in the equatorial frame of date: up (the
// zenith), north and east unit vectors for latitude `lat` and east longitude
// `lon` (radians) at Julian Date jd_ut, turned by Greenwich mean sidereal
// time. Scene synthesis places stars with it; the fix inverts it. Never
// fails.
struct ObserverAxes {
    Vec3 up{};
    Vec3 north{};
    Vec3 east{};
};
ObserverAxes observer_axes(double lat, double lon, double jd_ut) noexcept;

}  // namespace halvane
