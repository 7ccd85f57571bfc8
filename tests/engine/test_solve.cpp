#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "numeric.hpp"
#include "solve.hpp"

namespace halvane {
namespace {

constexpr double kGmst = 1.2;
constexpr double kLat = 0.7;    // about 40.1 N
constexpr double kLon = -1.3;   // about 74.5 W
constexpr double kSigma = 2e-4;

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

std::vector<Sight> well_spread() {
    return sights_from(kLat, kLon, {{0.3, 0.9}, {-1.0, 0.2}, {2.2, 1.1}, {-2.5, 0.5}, {0.9, -0.1}});
}

TEST(AltAzimuth, KnownGeometry) {
    // On the meridian a star north of the zenith is at azimuth 0, one south of
    // it at 180 degrees; a star at the pole stands at the latitude.
    EXPECT_NEAR(computed_alt_azimuth(kGmst + kLon, 1.0, kGmst, kLat, kLon).azimuth, 0.0, 1e-15);
    EXPECT_NEAR(std::fabs(computed_alt_azimuth(kGmst + kLon, 0.2, kGmst, kLat, kLon).azimuth),
                std::numbers::pi, 1e-15);
    EXPECT_NEAR(computed_alt_azimuth(0.4, std::numbers::pi / 2, kGmst, kLat, kLon).altitude, kLat, 1e-12);
    // A negative hour angle (not yet culminated) is east of the meridian.
    const double east = computed_alt_azimuth(kGmst + kLon + 1.0, 0.0, kGmst, kLat, kLon).azimuth;
    EXPECT_GT(east, 0.0);
    EXPECT_LT(east, std::numbers::pi);
}

TEST(RefineFix, ConvergesToTheTruePosition) {
    const std::vector<Sight> sights = well_spread();
    for (auto [dlat, dlon] : {std::pair{0.05, -0.08}, std::pair{-0.2, 0.3}, std::pair{1e-6, 0.0}}) {
        const auto fix = refine_fix(sights, kGmst, kLat + dlat, kLon + dlon);
        ASSERT_TRUE(fix) << fix.error().message();
        EXPECT_NEAR(fix->lat, kLat, 1e-10);
        EXPECT_NEAR(fix->lon, kLon, 1e-10);
        EXPECT_GT(fix->n_iterations, 1u);
        EXPECT_LT(fix->n_iterations, 20u);
        for (const Sight& s : sights) EXPECT_NEAR(sight_residual(s, kGmst, fix->lat, fix->lon), 0.0, 1e-12);
    }
}

TEST(RefineFix, OnePassWhenAlreadyThere) {
    const auto fix = refine_fix(well_spread(), kGmst, kLat, kLon);
    ASSERT_TRUE(fix);
    EXPECT_EQ(fix->n_iterations, 1u);
    EXPECT_NEAR(fix->lat, kLat, 1e-15);
    EXPECT_NEAR(fix->lon, kLon, 1e-15);
}

TEST(RefineFix, CovarianceOfTwoPerpendicularLines) {
    // A star due north on the meridian and one due east: each fixes one axis.
    const double lat = 0.0;
    std::vector<Sight> sights = sights_from(lat, kLon, {{0.0, 0.5}, {-std::numbers::pi / 2 + 0.3, 0.0}});
    const auto fix = refine_fix(sights, kGmst, lat, kLon);
    ASSERT_TRUE(fix);
    const Covariance2& c = fix->covariance;
    EXPECT_EQ(c[1], c[2]);
    EXPECT_NEAR(c[0], kSigma * kSigma, 1e-14);
    EXPECT_NEAR(c[3], kSigma * kSigma, 1e-14);
    EXPECT_NEAR(c[1], 0.0, 1e-14);
}

TEST(RefineFix, Refusals) {
    const std::vector<Sight> one = sights_from(kLat, kLon, {{0.3, 0.9}});
    const auto too_few = refine_fix(one, kGmst, kLat, kLon);
    ASSERT_FALSE(too_few);
    EXPECT_EQ(too_few.error().message(), "insufficient stars: needed 2, got 1");
    EXPECT_EQ(refine_fix({}, kGmst, kLat, kLon).error().message(), "insufficient stars: needed 2, got 0");

    // Azimuths 0 and 180: both on the meridian, parallel lines of position.
    const std::vector<Sight> meridian = sights_from(kLat, kLon, {{0.0, 1.2}, {0.0, -0.3}, {0.0, 0.1}});
    const auto singular = refine_fix(meridian, kGmst, kLat, kLon);
    ASSERT_FALSE(singular);
    EXPECT_TRUE(singular.error().is<Error::SingularGeometry>());

    // A zero sigma or a NaN observation must not come back as a position.
    std::vector<Sight> zero_sigma = well_spread();
    zero_sigma[2].sigma = 0.0;
    EXPECT_TRUE(refine_fix(zero_sigma, kGmst, kLat, kLon).error().is<Error::SingularGeometry>());
    std::vector<Sight> nan_altitude = well_spread();
    nan_altitude[0].altitude = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(refine_fix(nan_altitude, kGmst, kLat, kLon).error().is<Error::SingularGeometry>());
}

TEST(RefineFix, StopsAfterTwentyPassesWithoutConverging) {
    // Sights contradicting each other by half a radian: the Gauss-Newton
    // steps never shrink below the tolerance, and the twentieth position is
    // returned without error.
    std::vector<Sight> sights = sights_from(kLat, kLon, {{0.4, 0.2}, {-0.4, 0.2}, {2.0, 0.9}});
    sights[0].altitude += 0.5;
    sights[1].altitude -= 0.5;
    const auto fix = refine_fix(sights, kGmst, kLat, kLon);
    ASSERT_TRUE(fix);
    EXPECT_EQ(fix->n_iterations, 20u);
    EXPECT_TRUE(std::isfinite(fix->lat) && std::isfinite(fix->lon));
}

TEST(Ellipse, CircleForPerpendicularAzimuths) {
    const double azimuths[] = {0.0, std::numbers::pi / 2};
    const auto ellipse = azimuth_ellipse_2sigma(azimuths, kSigma);
    ASSERT_TRUE(ellipse);
    EXPECT_NEAR(ellipse->semi_major_nm, 2.0 * kSigma * kNmPerRad, 1e-9);
    EXPECT_NEAR(ellipse->semi_minor_nm, 2.0 * kSigma * kNmPerRad, 1e-9);
    EXPECT_EQ(ellipse->orientation_deg, 0.0);
    // Four lines at right angles, with the rounding of degrees to radians.
    const double compass[] = {0.0, 90.0 * kDegToRad, 180.0 * kDegToRad, 270.0 * kDegToRad};
    EXPECT_EQ(azimuth_ellipse_2sigma(compass, kSigma)->orientation_deg, 0.0);
}

TEST(Ellipse, ShallowCutIsLongAcrossTheAzimuths) {
    // Two lines from stars 10 degrees either side of north pin down the
    // north coordinate well and the east one badly.
    const double azimuths[] = {-10.0 * kDegToRad, 10.0 * kDegToRad};
    const auto ellipse = azimuth_ellipse_2sigma(azimuths, kSigma);
    ASSERT_TRUE(ellipse);
    EXPECT_NEAR(std::fabs(ellipse->orientation_deg), 90.0, 1e-9);
    const double east_sigma = kSigma / std::sqrt(2.0) / std::sin(10.0 * kDegToRad);
    const double north_sigma = kSigma / std::sqrt(2.0) / std::cos(10.0 * kDegToRad);
    EXPECT_NEAR(ellipse->semi_major_nm, 2.0 * east_sigma * kNmPerRad, 1e-9);
    EXPECT_NEAR(ellipse->semi_minor_nm, 2.0 * north_sigma * kNmPerRad, 1e-9);
    // A rotated pair tilts the axis by the same angle.
    const double rotated[] = {20.0 * kDegToRad, 40.0 * kDegToRad};
    EXPECT_NEAR(azimuth_ellipse_2sigma(rotated, kSigma)->orientation_deg, -60.0, 1e-9);
}

TEST(Ellipse, SingularGeometryIsAbsent) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::vector<double>> singular = {
        {}, {0.3}, {0.0, std::numbers::pi}, {0.5, 0.5, 0.5 + std::numbers::pi}, {0.0, nan}};
    for (const auto& azimuths : singular) EXPECT_FALSE(azimuth_ellipse_2sigma(azimuths, kSigma)) << azimuths.size();
    const double good[] = {0.0, 1.0};
    EXPECT_FALSE(azimuth_ellipse_2sigma(good, 0.0));
    EXPECT_FALSE(azimuth_ellipse_2sigma(good, nan));
    EXPECT_FALSE(azimuth_ellipse_2sigma(good, std::numeric_limits<double>::infinity()));
}

TEST(Ellipse, ReductionOfAGivenCovariance) {
    // Eigenvalues 4e-8 and 1e-8 with the major axis 30 degrees east of north.
    const double big = 4e-8, small = 1e-8, angle = 30.0 * kDegToRad;
    const double c = std::cos(angle), s = std::sin(angle);
    const Covariance2 cov = {big * c * c + small * s * s, (big - small) * c * s, (big - small) * c * s,
                             big * s * s + small * c * c};
    const Ellipse2Sigma e = covariance_ellipse_2sigma(cov);
    EXPECT_NEAR(e.semi_major_nm, 2.0 * std::sqrt(big) * kNmPerRad, 1e-9);
    EXPECT_NEAR(e.semi_minor_nm, 2.0 * std::sqrt(small) * kNmPerRad, 1e-9);
    EXPECT_NEAR(e.orientation_deg, 30.0, 1e-9);
    // A slightly negative eigenvalue from rounding counts as zero.
    EXPECT_EQ(covariance_ellipse_2sigma({1e-8, 2e-8, 2e-8, 1e-8}).semi_minor_nm, 0.0);
}

TEST(GreatCircle, Distances) {
    EXPECT_EQ(great_circle_nm(12.5, -40.0, 12.5, -40.0), 0.0);
    EXPECT_NEAR(great_circle_nm(0.0, 0.0, 0.0, 1.0), 60.0, 1e-9);
    EXPECT_NEAR(great_circle_nm(0.0, 0.0, 1.0, 0.0), 60.0, 1e-9);
    // Near the antipode asin loses digits: a ten-thousandth of a mile.
    EXPECT_NEAR(great_circle_nm(10.0, 20.0, -10.0, -160.0), 10800.0, 1e-3);
    EXPECT_NEAR(great_circle_nm(89.0, 0.0, 89.0, 180.0), 120.0, 1e-9);
    // Symmetric, and longitudes wrap.
    EXPECT_DOUBLE_EQ(great_circle_nm(51.5, -0.1, 40.7, -74.0), great_circle_nm(40.7, -74.0, 51.5, -0.1));
    EXPECT_NEAR(great_circle_nm(0.0, 179.5, 0.0, -179.5), 60.0, 1e-9);
    EXPECT_TRUE(std::isnan(great_circle_nm(std::numeric_limits<double>::quiet_NaN(), 0.0, 0.0, 0.0)));
}

}  // namespace
}  // namespace halvane
