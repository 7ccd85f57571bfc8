#include "support.hpp"

namespace halvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kGmst = 1.2;
constexpr double kLat = 0.7, kLon = -1.3;  // about 40.1 N, 74.5 W
constexpr double kSigma = 2e-4;

AltAzimuth seen_from_home(double hour_angle, double dec) {
    return computed_alt_azimuth(kGmst + kLon - hour_angle, dec, kGmst, kLat, kLon);
}

// Sights taken at (lat, lon) of stars at the given (hour angle, dec):
// exactly consistent with that position.
std::vector<Sight> sights_from(double lat, double lon, std::initializer_list<std::pair<double, double>> stars) {
    std::vector<Sight> sights;
    for (auto [hour_angle, dec] : stars) {
        const double ra = kGmst + lon - hour_angle;
        sights.push_back({ra, dec, computed_alt_azimuth(ra, dec, kGmst, lat, lon).altitude, kSigma});
    }
    return sights;
}

const std::vector<Sight> kSpread =
    sights_from(kLat, kLon, {{0.3, 0.9}, {-1.0, 0.2}, {2.2, 1.1}, {-2.5, 0.5}, {0.9, -0.1}});

// On the meridian a star stands 90 degrees less its offset from the zenith,
// due north or due south; the pole stands at the latitude.
TEST(AltAzimuth, KnownGeometry) {
    EXPECT_NEAR(seen_from_home(0.0, 1.0).altitude, kPi / 2 - 0.3, 1e-12);
    EXPECT_NEAR(seen_from_home(0.0, 1.0).azimuth, 0.0, 1e-15);
    EXPECT_NEAR(seen_from_home(0.0, 0.2).altitude, kPi / 2 - 0.5, 1e-12);
    EXPECT_NEAR(std::fabs(seen_from_home(0.0, 0.2).azimuth), kPi, 1e-15);
    EXPECT_NEAR(seen_from_home(0.4, kPi / 2).altitude, kLat, 1e-12);
}

TEST(RefineFix, ConvergesToTheTruePosition) {
    const std::pair<double, double> starts[] = {{0.0, 0.0}, {0.05, -0.08}, {-0.2, 0.3}, {1e-6, 0.0}};
    for (const auto& [dlat, dlon] : starts) {
        SCOPED_TRACE(::testing::Message() << dlat << " " << dlon);
        ASSERT_ACCEPTED(fix, refine_fix(kSpread, kGmst, kLat + dlat, kLon + dlon));
        EXPECT_NEAR(fix->lat, kLat, 1e-10);
        EXPECT_NEAR(fix->lon, kLon, 1e-10);
        // One pass when already there, a few otherwise.
        if (dlat == 0.0 && dlon == 0.0) EXPECT_EQ(fix->n_iterations, 1u);
        else EXPECT_TRUE(fix->n_iterations > 1 && fix->n_iterations < 20) << fix->n_iterations;
    }
}

// Truth metres from the pole, the start on the far meridian: the first step
// north overshoots the pole.
TEST(RefineFix, FoldsOverThePoleInsteadOfPassingIt) {
    const double lat = kPi / 2 - 2e-6;
    const auto sights = sights_from(lat, kLon, {{0.3, 0.9}, {-1.0, 0.8}, {2.2, 1.1}, {-2.5, 0.5}, {1.4, 0.6}});
    for (double start_lon : {kLon + kPi, kLon + 3.0}) {
        ASSERT_ACCEPTED(fix, refine_fix(sights, kGmst, kPi / 2 - 3e-3, start_lon));
        EXPECT_LE(std::fabs(fix->lat), kPi / 2);
        EXPECT_LT(great_circle_nm(fix->lat * kRadToDeg, fix->lon * kRadToDeg, lat * kRadToDeg, kLon * kRadToDeg),
                  0.01);
    }
}

// From the equator a star due north and one due east each fix one axis.
TEST(RefineFix, CovarianceOfTwoPerpendicularLines) {
    ASSERT_ACCEPTED(fix, refine_fix(sights_from(0.0, kLon, {{0.0, 0.5}, {-kPi / 2 + 0.3, 0.0}}), kGmst, 0.0, kLon));
    const double expected[] = {kSigma * kSigma, 0.0, 0.0, kSigma * kSigma};
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(fix->covariance[i], expected[i], 1e-14) << i;
    EXPECT_EQ(fix->covariance[1], fix->covariance[2]);
}

TEST(RefineFix, RefusalsAndTheTwentyPassLimit) {
    for (std::size_t n : {0u, 1u})
        EXPECT_EQ(testing::refusal(refine_fix(std::span<const Sight>(kSpread).first(n), kGmst, kLat, kLon)),
                  "insufficient stars: needed 2, got " + std::to_string(n));
    // All on the meridian (parallel lines of position), a zero sigma, a NaN
    // altitude: no position comes back.
    std::vector<std::vector<Sight>> singular = {sights_from(kLat, kLon, {{0.0, 1.2}, {0.0, -0.3}, {0.0, 0.1}}),
                                                kSpread, kSpread};
    singular[1][2].sigma = 0.0;
    singular[2][0].altitude = kNaN;
    for (const auto& sights : singular) {
        const auto fix = refine_fix(sights, kGmst, kLat, kLon);
        EXPECT_TRUE(!fix && fix.error().is<Error::SingularGeometry>());
    }
    // Sights half a radian at odds never settle: the twentieth position comes
    // back without error.
    std::vector<Sight> sights = sights_from(kLat, kLon, {{0.4, 0.2}, {-0.4, 0.2}, {2.0, 0.9}});
    sights[0].altitude += 0.5;
    sights[1].altitude -= 0.5;
    ASSERT_ACCEPTED(fix, refine_fix(sights, kGmst, kLat, kLon));
    EXPECT_EQ(fix->n_iterations, 20u);
    EXPECT_TRUE(std::isfinite(fix->lat) && std::isfinite(fix->lon));
}

// Perpendicular lines give a circle (the rounding of cos(pi/2) must pick no
// orientation); lines 10 degrees either side of a bearing pin the distance
// along it well and across it badly; turning the pair turns the axis.
TEST(Ellipse, AxesOrientationAndSingularGeometry) {
    const double unit = 2.0 * kSigma * kNmPerRad, d10 = 10.0 * kDegToRad;
    const double across = unit / std::sqrt(2.0) / std::sin(d10), along = unit / std::sqrt(2.0) / std::cos(d10);
    const struct { std::vector<double> azimuths_deg; double major, minor, orientation; } cases[] = {
        {{0.0, 90.0}, unit, unit, 0.0},
        {{-10.0, 10.0}, across, along, 90.0},
        {{20.0, 40.0}, across, along, -60.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.azimuths_deg[1]);
        std::vector<double> azimuths;
        for (double degrees : c.azimuths_deg) azimuths.push_back(degrees * kDegToRad);
        const auto ellipse = azimuth_ellipse_2sigma(azimuths, kSigma);
        ASSERT_TRUE(ellipse);
        EXPECT_NEAR(ellipse->semi_major_nm, c.major, 1e-9);
        EXPECT_NEAR(ellipse->semi_minor_nm, c.minor, 1e-9);
        // An axis: +90 and -90 are the same one.
        EXPECT_NEAR(std::remainder(ellipse->orientation_deg - c.orientation, 180.0), 0.0, 1e-9);
    }
    // Parallel or missing lines, or no usable sigma: no ellipse.
    const std::vector<std::vector<double>> singular = {{}, {0.3}, {0.0, kPi}, {0.5, 0.5, 0.5 + kPi}, {0.0, kNaN}};
    for (const auto& azimuths : singular) EXPECT_FALSE(azimuth_ellipse_2sigma(azimuths, kSigma)) << azimuths.size();
    const double good[] = {0.0, 1.0};
    for (double sigma : {0.0, kNaN, std::numeric_limits<double>::infinity()})
        EXPECT_FALSE(azimuth_ellipse_2sigma(good, sigma)) << sigma;
    // A negative eigenvalue (from rounding) counts as zero.
    EXPECT_EQ(covariance_ellipse_2sigma({1e-8, 2e-8, 2e-8, 1e-8}).semi_minor_nm, 0.0);
}

TEST(GreatCircle, Distances) {
    const struct { double lat1, lon1, lat2, lon2, nm, tolerance; } cases[] = {
        {0.0, 0.0, 0.0, 1.0, 60.0, 1e-9},            // 60 nm per degree on the equator
        {0.0, 0.0, 1.0, 0.0, 60.0, 1e-9},            // and along a meridian
        {89.0, 0.0, 89.0, 180.0, 120.0, 1e-9},       // over the pole
        {0.0, 0.0, 60.0, 90.0, 5400.0, 1e-9},        // a quarter of the way round
        {0.0, 179.5, 0.0, -179.5, 60.0, 1e-9},       // across the date line
        {10.0, 20.0, -10.0, -160.0, 10800.0, 1e-3},  // antipodes, where asin loses digits
    };
    for (const auto& c : cases)
        EXPECT_NEAR(great_circle_nm(c.lat1, c.lon1, c.lat2, c.lon2), c.nm, c.tolerance) << c.lat1 << " " << c.lon1;
}

}  // namespace
}  // namespace halvane
