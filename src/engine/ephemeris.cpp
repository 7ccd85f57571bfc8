#include "ephemeris.hpp"

#include <algorithm>
#include <cmath>

#include "numeric.hpp"
#include "time.hpp"

namespace halvane {

namespace {

// Reduces degrees to [0, 360).
double wrap_degrees(double degrees) noexcept {
    const double wrapped = std::fmod(degrees, 360.0);
    return wrapped < 0.0 ? wrapped + 360.0 : wrapped;
}

}  // namespace

EquatorialPosition sun_apparent(double jd) noexcept {
    const double n = jd - kJ2000;
    const double mean_longitude = wrap_degrees(n * 0.9856474 + 280.46);
    const double mean_anomaly = wrap_degrees(357.528 + 0.9856003 * n) * kDegToRad;
    const double longitude =
        ((mean_longitude + 1.915 * std::sin(mean_anomaly)) + 0.02 * std::sin(mean_anomaly + mean_anomaly) +
         -0.00569) *
        kDegToRad;
    const double obliquity = (n * -3.6e-7 + 23.439) * kDegToRad;
    double ra = std::atan2(std::cos(obliquity) * std::sin(longitude), std::cos(longitude));
    ra = std::fmod(ra, kTwoPi);
    if (ra < 0.0) ra += kTwoPi;
    // A tiny negative angle plus 2*pi rounds to 2*pi itself, which is the
    // same direction as 0 and outside the promised [0, 2*pi).
    if (ra >= kTwoPi) ra = 0.0;
    const double dec = std::asin(std::clamp(std::sin(obliquity) * std::sin(longitude), -1.0, 1.0));
    return {ra, dec};
}

SunDirection sun_direction(double jd) noexcept {
    const double t = (jd - kJ2000) / kDaysPerJulianCentury;
    const double l = 280.46 + 36000.771 * t;
    const double g = (357.528 + 35999.05 * t) * kDegToRad;
    return {(l + 1.915 * std::sin(g) + 0.02 * std::sin(2.0 * g)) * kDegToRad, (23.4393 - 0.013 * t) * kDegToRad};
}

Vec3 SunDirection::unit() const noexcept {
    return {std::cos(longitude), std::cos(obliquity) * std::sin(longitude), std::sin(obliquity) * std::sin(longitude)};
}

Vec3 annual_aberration(double jd) noexcept {
    const SunDirection sun = sun_direction(jd);
    constexpr double kappa = 9.936508497454117e-5;
    return {kappa * std::sin(sun.longitude), -kappa * std::cos(sun.longitude) * std::cos(sun.obliquity),
            -kappa * std::cos(sun.longitude) * std::sin(sun.obliquity)};
}

}  // namespace halvane
