#include "time.hpp"

#include <cmath>

#include "numeric.hpp"

namespace halvane {

double julian_date(std::int32_t year, std::uint32_t month, std::uint32_t day, std::uint32_t hour,
                   std::uint32_t minute, double second) noexcept {
    // January and February count as months 13 and 14 of the previous year
    // (month 0 too: the comparison is unsigned). The year is taken to double
    // first so that the year before INT32_MIN cannot overflow.
    const bool early = month < 3;
    const double y = static_cast<double>(year) - (early ? 1.0 : 0.0);
    const double m = static_cast<double>(month) + (early ? 12.0 : 0.0);
    const double a = std::floor(y / 100.0);
    const double b = 2.0 - a + std::floor(a * 0.25);
    const double day_fraction =
        (second / 3600.0 + (static_cast<double>(minute) / 60.0 + static_cast<double>(hour))) / 24.0;
    // The grouping of these sums is part of the result's last bits.
    return b + (day_fraction + ((std::floor((m + 1.0) * 30.6001) + std::floor((y + 4716.0) * 365.25)) +
                                static_cast<double>(day))) +
           (-1524.5);
}

double gmst_rad(double jd_ut) noexcept {
    const double t = (jd_ut - kJ2000) / kDaysPerJulianCentury;
    double seconds = t * 3164400184.812866 + 67310.54841 + t * (t * 0.093104) +
                     t * (t * (t * -6.2e-6));
    seconds = std::fmod(seconds, kSecondsPerDay);
    if (seconds < 0.0) seconds += kSecondsPerDay;
    return seconds / kSecondsPerDay * kTwoPi;
}

}  // namespace halvane
