#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "ephemeris.hpp"
#include "numeric.hpp"
#include "time.hpp"

namespace halvane {
namespace {

TEST(SunApparent, AtJ2000) {
    const EquatorialPosition sun = sun_apparent(kJ2000);
    EXPECT_NEAR(sun.ra * kRadToDeg, 281.28, 0.01);
    EXPECT_NEAR(sun.dec * kRadToDeg, -23.03, 0.01);
}

TEST(SunApparent, EquinoxesAndSolstice) {
    // 2024 March equinox 03:06 UT, June solstice 20:51 UT.
    const EquatorialPosition march = sun_apparent(julian_date(2024, 3, 20, 3, 6, 0.0));
    EXPECT_NEAR(march.dec * kRadToDeg, 0.0, 0.01);
    EXPECT_TRUE(march.ra * kRadToDeg < 0.05 || march.ra * kRadToDeg > 359.95);
    const EquatorialPosition june = sun_apparent(julian_date(2024, 6, 20, 20, 51, 0.0));
    EXPECT_NEAR(june.ra * kRadToDeg, 90.0, 0.02);
    EXPECT_NEAR(june.dec * kRadToDeg, 23.436, 0.01);
}

TEST(SunApparent, RangesHoldFarFromJ2000) {
    for (double jd = 1000000.0; jd < 3500000.0; jd += 12345.678) {
        const EquatorialPosition sun = sun_apparent(jd);
        EXPECT_GE(sun.ra, 0.0) << jd;
        EXPECT_LT(sun.ra, kTwoPi) << jd;
        EXPECT_LE(std::fabs(sun.dec), std::numbers::pi / 2) << jd;
    }
}

}  // namespace
}  // namespace halvane
