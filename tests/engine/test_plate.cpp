#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "numeric.hpp"
#include "plate.hpp"

namespace halvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Camera pinhole() { return Camera::from_fov(0, 0, std::nullopt, 1000.0, 320.0, 240.0, 0, 0, 0, 0); }
Camera ideal_fisheye() { return Camera::from_fov(1000, 800, 180.0, 0.0, 500.0, 400.0, 0, 0, 0, 0); }
Camera calibrated_fisheye() {
    return Camera::from_fov(1000, 800, 190.0, 260.0, 510.0, 395.0, -0.02, 0.003, -0.0004, 0.00002);
}

// A direction theta off the boresight, at azimuth phi in the image plane.
Vec3 off_axis(double theta, double phi) {
    return {std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi), std::cos(theta)};
}

TEST(CameraFromFov, SelectsTheProjection) {
    EXPECT_TRUE(std::holds_alternative<Pinhole>(pinhole().projection));
    const Camera ideal = ideal_fisheye();
    ASSERT_TRUE(std::holds_alternative<Equidistant>(ideal.projection));
    EXPECT_DOUBLE_EQ(std::get<Equidistant>(ideal.projection).half_fov, std::numbers::pi / 2);
    // The image circle fills the shorter side; the given focal is ignored.
    EXPECT_NEAR(ideal.focal, 254.6479089, 1e-6);
    EXPECT_DOUBLE_EQ(ideal.focal, 400.0 / (std::numbers::pi / 2));

    // Only k4 set: still the calibrated lens, with the given focal.
    const Camera k4_only = Camera::from_fov(1000, 800, 180.0, 300.0, 500, 400, 0, 0, 0, 1e-5);
    ASSERT_TRUE(std::holds_alternative<DistortedFisheye>(k4_only.projection));
    EXPECT_EQ(k4_only.focal, 300.0);
    // -0.0 counts as zero, NaN does not.
    EXPECT_TRUE(std::holds_alternative<Equidistant>(
        Camera::from_fov(1000, 800, 180.0, 300.0, 500, 400, -0.0, 0, -0.0, 0).projection));
    EXPECT_TRUE(std::holds_alternative<DistortedFisheye>(
        Camera::from_fov(1000, 800, 180.0, 300.0, 500, 400, kNaN, 0, 0, 0).projection));
}

TEST(CameraPinhole, BoresightAndFieldLimit) {
    const Camera camera = pinhole();
    const Vec3 centre = camera.pixel_to_vec(320.0, 240.0);
    EXPECT_EQ(centre, (Vec3{0.0, 0.0, 1.0}));
    const auto back = camera.vec_to_pixel({0.0, 0.0, 1.0});
    ASSERT_TRUE(back);
    EXPECT_EQ(back->x, 320.0);
    EXPECT_EQ(back->y, 240.0);
    // At the side of the lens or behind it: no pixel. The limit is 1e-12.
    for (const Vec3& v : {Vec3{1, 0, 0}, Vec3{0, 0, -1}, Vec3{0.6, 0.8, 1e-12}, Vec3{0, -1, -1e-300}})
        EXPECT_FALSE(camera.vec_to_pixel(v)) << v[0] << " " << v[1] << " " << v[2];
    EXPECT_TRUE(camera.vec_to_pixel({0.0, 0.0, 2e-12}));
    // x right, y down: a pixel right of and below the centre looks that way.
    const Vec3 v = camera.pixel_to_vec(420.0, 340.0);
    EXPECT_GT(v[0], 0.0);
    EXPECT_GT(v[1], 0.0);
}

TEST(CameraFisheye, HalfFieldIsOutside) {
    const Camera ideal = ideal_fisheye();
    // (1, 0, 0) is exactly 90 degrees off-axis, the edge of a 180-degree lens.
    EXPECT_FALSE(ideal.vec_to_pixel({1.0, 0.0, 0.0}));
    EXPECT_FALSE(ideal.vec_to_pixel({0.0, -1.0, 0.0}));
    EXPECT_FALSE(ideal.vec_to_pixel({0.0, 0.0, -1.0}));
    const auto near_edge = ideal.vec_to_pixel(off_axis(89.9 * kDegToRad, 0.0));
    ASSERT_TRUE(near_edge);
    EXPECT_NEAR(near_edge->x - 500.0, 399.5556, 1e-3);
    EXPECT_NEAR(near_edge->y, 400.0, 1e-9);

    const Camera calibrated = calibrated_fisheye();
    const double half_fov = std::get<DistortedFisheye>(calibrated.projection).half_fov;
    EXPECT_FALSE(calibrated.vec_to_pixel(off_axis(half_fov, 0.3)));
    EXPECT_TRUE(calibrated.vec_to_pixel(off_axis(half_fov - 1e-9, 0.3)));
}

TEST(CameraFisheye, PixelToVecHasNoFieldLimit) {
    // Far beyond the image circle the angle keeps growing past the half field.
    const Camera ideal = ideal_fisheye();
    const Vec3 v = ideal.pixel_to_vec(500.0 + 2.0 * 400.0, 400.0);  // theta = pi
    EXPECT_NEAR(v[2], -1.0, 1e-12);
}

TEST(CameraProjection, RoundTripInsideTheField) {
    struct Case {
        std::string name;
        Camera camera;
        double max_radius_px;
    };
    const std::vector<Case> cases = {
        {"pinhole", pinhole(), 600.0},
        {"equidistant", ideal_fisheye(), 399.0},
        {"calibrated", calibrated_fisheye(), 390.0},
    };
    for (const Case& c : cases) {
        for (double r = 0.0; r <= c.max_radius_px; r += c.max_radius_px / 13.0) {
            for (double phi = -3.1; phi < 3.2; phi += 0.37) {
                const double x = c.camera.cx + r * std::cos(phi);
                const double y = c.camera.cy + r * std::sin(phi);
                const Vec3 v = c.camera.pixel_to_vec(x, y);
                EXPECT_NEAR(v[0] * v[0] + v[1] * v[1] + v[2] * v[2], 1.0, 1e-14);
                const auto back = c.camera.vec_to_pixel(v);
                ASSERT_TRUE(back) << c.name << " r=" << r << " phi=" << phi;
                EXPECT_NEAR(back->x, x, 1e-6) << c.name << " r=" << r << " phi=" << phi;
                EXPECT_NEAR(back->y, y, 1e-6) << c.name << " r=" << r << " phi=" << phi;
            }
        }
    }
}

TEST(CameraProjection, CalibratedLawIsInverted) {
    // The direction found for a pixel must reproduce its radius through the
    // forward law r = focal * g(theta).
    const Camera camera = calibrated_fisheye();
    const auto& p = std::get<DistortedFisheye>(camera.projection);
    for (double r : {1.0, 50.0, 200.0, 380.0}) {
        const Vec3 v = camera.pixel_to_vec(camera.cx + r, camera.cy);
        const double theta = std::acos(v[2]);
        const double g = theta + p.k1 * std::pow(theta, 3) + p.k2 * std::pow(theta, 5) +
                         p.k3 * std::pow(theta, 7) + p.k4 * std::pow(theta, 9);
        EXPECT_NEAR(camera.focal * g, r, 1e-8) << r;
    }
}

TEST(CameraProjection, NanIsCarriedNotRefused) {
    for (const Camera& camera : {pinhole(), ideal_fisheye(), calibrated_fisheye()}) {
        const auto pixel = camera.vec_to_pixel({kNaN, 0.0, kNaN});
        ASSERT_TRUE(pixel);
        EXPECT_TRUE(std::isnan(pixel->x));
        const Vec3 v = camera.pixel_to_vec(kNaN, 10.0);
        EXPECT_TRUE(std::isnan(v[0]));
    }
    // A lens law whose slope is zero at the start gives an infinite, then
    // NaN, Newton step: the loop still ends and the NaN comes out.
    const Camera folded = Camera::from_fov(100, 100, 180.0, 100.0, 50, 50, -1.0 / 3.0, 0, 0, 0);
    EXPECT_TRUE(std::isnan(folded.pixel_to_vec(150.0, 50.0)[2]));
}

TEST(CameraScale, ArcminPerPixelAndDefaultSigma) {
    const double expected_pinhole = std::atan(0.001) * kRadToDeg * 60.0;
    EXPECT_DOUBLE_EQ(pinhole().arcmin_per_pixel(), expected_pinhole);
    EXPECT_NEAR(expected_pinhole, 3.4377, 1e-4);
    const Camera fisheye = Camera::from_fov(0, 0, 120.0, 1000.0, 0, 0, 0.01, 0, 0, 0);
    EXPECT_DOUBLE_EQ(fisheye.arcmin_per_pixel(), 0.001 * kRadToDeg * 60.0);
    EXPECT_NE(fisheye.arcmin_per_pixel(), expected_pinhole);

    EXPECT_DOUBLE_EQ(pinhole().default_sigma_arcmin(), expected_pinhole * 0.5);
    const Camera long_lens = Camera::from_fov(0, 0, std::nullopt, 100000.0, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(long_lens.default_sigma_arcmin(), 1.0);
    const Camera broken = Camera::from_fov(0, 0, std::nullopt, kNaN, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(broken.default_sigma_arcmin(), 1.0);
}

TEST(CameraFromFov, DegenerateInputsBuildACamera) {
    // Zero extent: focal 0; zero field: infinite focal. Nothing traps.
    EXPECT_EQ(Camera::from_fov(0, 800, 180.0, 0, 0, 0, 0, 0, 0, 0).focal, 0.0);
    EXPECT_TRUE(std::isinf(Camera::from_fov(1000, 800, 0.0, 0, 0, 0, 0, 0, 0, 0).focal));
    const Camera zero_field = Camera::from_fov(1000, 800, 0.0, 0, 500, 400, 0, 0, 0, 0);
    EXPECT_FALSE(zero_field.vec_to_pixel({0.0, 0.0, 1.0}));
}

}  // namespace
}  // namespace halvane
