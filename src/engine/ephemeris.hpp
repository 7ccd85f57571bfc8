// The Sun's apparent place, low precision (about 0.01 degree over decades
// around J2000): enough for the Sun as an extra sight and for drawing it in
// synthesized scenes.
#pragma once

#include "vector.hpp"

namespace halvane {

struct EquatorialPosition {
    double ra = 0.0;   // radians, [0, 2*pi)
    double dec = 0.0;  // radians, [-pi/2, pi/2]
};

// Apparent right ascension and declination of the Sun, referred to the
// equinox of date, for a Julian Date (days). Mean longitude and anomaly
// from linear terms in days since J2000, the equation of centre to second
// order, a constant -0.00569 degree for aberration, and the linearly
// decreasing obliquity; no nutation. Never fails.
EquatorialPosition sun_apparent(double jd) noexcept;

// Annual aberration as a vector to add to a unit direction of date before
// normalising it: 9.936508497454117e-5 rad (20.5 arcseconds) times
// (sin L, -cos L cos eps, -cos L sin eps), with the Sun's low-precision
// longitude L and the obliquity eps at Julian Date `jd`. The fix and scene
// synthesis both make apparent places with it, so they agree exactly.
Vec3 annual_aberration(double jd) noexcept;

}  // namespace halvane
