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

// The Sun's geometric ecliptic longitude and the obliquity of the ecliptic,
// radians, low precision, for a Julian Date: with T the Julian centuries
// since J2000, L = 280.46 + 36000.771 T, g = 357.528 + 35999.05 T,
// longitude = L + 1.915 sin g + 0.02 sin 2g and obliquity = 23.4393 -
// 0.013 T, all in degrees. The one home of these numbers: annual aberration
// and the parallax of catalogue stars both use it. Never fails.
struct SunDirection {
    double longitude = 0.0;
    double obliquity = 0.0;

    // Unit vector towards the Sun, equatorial: (cos L, cos e sin L, sin e sin L).
    Vec3 unit() const noexcept;
};
SunDirection sun_direction(double jd) noexcept;

// Annual aberration as a vector to add to a unit direction of date before
// normalising it: 9.936508497454117e-5 rad (20.5 arcseconds) times
// (sin L, -cos L cos eps, -cos L sin eps), with L and eps from
// sun_direction(jd). The fix and scene
// synthesis both make apparent places with it, so they agree exactly.
Vec3 annual_aberration(double jd) noexcept;

}  // namespace halvane
