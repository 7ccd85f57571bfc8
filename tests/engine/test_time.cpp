#include "support.hpp"
#include "time.hpp"

namespace halvane {
namespace {

TEST(JulianDate, KnownInstantsAndFieldsNotRangeChecked) {
    const struct { int year, month, day, hour; double jd; } cases[] = {
        {2000, 1, 1, 12, 2451545.0}, {1999, 12, 31, 0, 2451543.5}, {1987, 4, 10, 0, 2446895.5},
        {1600, 1, 1, 0, 2305447.5},
        // Gregorian arithmetic before 1582 too: no switch to the Julian calendar.
        {1000, 1, 1, 0, 2086302.5},
        // Month 13 is January of the next year; month 0 is December of the last.
        {2000, 13, 1, 0, julian_date(2001, 1, 1, 0, 0, 0.0)}, {2000, 0, 1, 0, julian_date(1999, 12, 1, 0, 0, 0.0)},
    };
    for (const auto& c : cases) EXPECT_EQ(julian_date(c.year, c.month, c.day, c.hour, 0, 0.0), c.jd) << c.year;
    EXPECT_DOUBLE_EQ(julian_date(2000, 1, 1, 25, 0, 0.0), julian_date(2000, 1, 2, 1, 0, 0.0));
    // A Julian Date near 2.45e6 resolves about 40 microseconds.
    for (double second : {75.5, 59.999999})
        EXPECT_NEAR((julian_date(2000, 1, 1, 12, 0, second) - 2451545.0) * 86400.0, second, 1e-4);
    EXPECT_TRUE(std::isfinite(julian_date(std::numeric_limits<std::int32_t>::min(), 1, 1, 0, 0, 0.0)));
}

TEST(Gmst, AtJ2000AndRange) {
    EXPECT_NEAR(gmst_rad(2451545.0) * kRadToDeg, 280.46061837, 1e-8);
    for (double jd : {2451545.0, 2451545.5, 2400000.5, 2300000.0, 1000000.0, 2500000.25, 2460000.123}) {
        const double g = gmst_rad(jd);
        EXPECT_GE(g, 0.0) << jd;
        EXPECT_LT(g, kTwoPi) << jd;
    }
    // One sidereal day later the angle repeats.
    EXPECT_NEAR(gmst_rad(2451545.0 + 0.99726956633), gmst_rad(2451545.0), 1e-6);
}

}  // namespace
}  // namespace halvane
