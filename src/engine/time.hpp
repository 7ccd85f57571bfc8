// Calendar to Julian Date, and Greenwich mean sidereal time.
//
// The engine works in UT throughout: a Julian Date from a UTC timestamp is
// used directly for sidereal time, precession, the Sun and proper motion.
// No delta-T or leap-second table is applied anywhere.
#pragma once

#include <cstdint>

namespace halvane {

inline constexpr double kJ2000 = 2451545.0;
inline constexpr double kDaysPerJulianCentury = 36525.0;
inline constexpr double kSecondsPerDay = 86400.0;

// Julian Date (days, 64-bit float) of a Gregorian calendar instant.
//   year   signed; month, day, hour, minute unsigned; second carries the
//   fraction. No field is range-checked: month 13 or second 75.5 flow
//   through the arithmetic. The Gregorian form is used for every date.
// julian_date(2000, 1, 1, 12, 0, 0.0) == 2451545.0.
double julian_date(std::int32_t year, std::uint32_t month, std::uint32_t day, std::uint32_t hour,
                   std::uint32_t minute, double second) noexcept;

// Greenwich mean sidereal time (IAU 1982) in radians, in [0, 2*pi), for a
// Julian Date in UT. Every engine step that needs sidereal time uses this.
double gmst_rad(double jd_ut) noexcept;

}  // namespace halvane
