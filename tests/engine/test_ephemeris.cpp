#include "ephemeris.hpp"
#include "support.hpp"
#include "time.hpp"

namespace halvane {
namespace {

TEST(SunApparent, KnownDates) {
    // J2000, then the 2024 March equinox (03:06 UT) and June solstice (20:51 UT).
    const struct { double jd, ra_deg, ra_tolerance, dec_deg, dec_tolerance; } cases[] = {
        {kJ2000, 281.28, 0.01, -23.03, 0.01},
        {julian_date(2024, 3, 20, 3, 6, 0.0), 0.0, 0.05, 0.0, 0.01},
        {julian_date(2024, 6, 20, 20, 51, 0.0), 90.0, 0.02, 23.436, 0.01},
    };
    for (const auto& c : cases) {
        const EquatorialPosition sun = sun_apparent(c.jd);
        EXPECT_TRUE(sun.ra >= 0.0 && sun.ra < kTwoPi) << sun.ra;
        EXPECT_NEAR(std::remainder(sun.ra * kRadToDeg - c.ra_deg, 360.0), 0.0, c.ra_tolerance) << c.jd;
        EXPECT_NEAR(sun.dec * kRadToDeg, c.dec_deg, c.dec_tolerance) << c.jd;
    }
}

}  // namespace
}  // namespace halvane
