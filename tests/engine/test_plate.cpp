#include <numbers>

#include "plate.hpp"
#include "support.hpp"

namespace halvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Fisheyes on a 1000 x 800 frame centred at (500, 400).
Camera fisheye(double fov_deg, double focal, double k1 = 0, double k2 = 0, double k3 = 0, double k4 = 0) {
    return Camera::from_fov(1000, 800, fov_deg, focal, 500.0, 400.0, k1, k2, k3, k4);
}
const Camera kPinhole = Camera::from_fov(0, 0, std::nullopt, 1000.0, 320.0, 240.0, 0, 0, 0, 0);
const Camera kIdeal = fisheye(180.0, 0.0);
const Camera kCalibrated = Camera::from_fov(1000, 800, 190.0, 260.0, 510.0, 395.0, -0.02, 0.003, -0.0004, 2e-5);

// A direction theta off the boresight, at azimuth phi from image x toward image y.
Vec3 off_axis(double theta, double phi) {
    return {std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi), std::cos(theta)};
}

TEST(CameraFromFov, SelectsTheProjectionAndFocal) {
    EXPECT_TRUE(std::holds_alternative<Pinhole>(kPinhole.projection));
    // All k zero (-0.0 included): the ideal lens, whose image circle fills
    // the shorter side whatever focal is given.
    const Camera ideal = fisheye(180.0, 300.0, -0.0, 0, -0.0);
    ASSERT_TRUE(std::holds_alternative<Equidistant>(ideal.projection));
    EXPECT_DOUBLE_EQ(std::get<Equidistant>(ideal.projection).half_fov, std::numbers::pi / 2);
    EXPECT_NEAR(ideal.focal, 254.6479089, 1e-6);
    // Any other k (only k4, or a NaN): the calibrated lens with the given focal.
    for (const Camera& calibrated : {fisheye(180.0, 300.0, 0, 0, 0, 1e-5), fisheye(180.0, 300.0, kNaN)}) {
        EXPECT_TRUE(std::holds_alternative<DistortedFisheye>(calibrated.projection));
        EXPECT_EQ(calibrated.focal, 300.0);
    }
}

TEST(CameraProjection, FieldLimits) {
    // Pinhole: no pixel at the side of the lens or behind it (v.z <= 1e-12).
    for (const Vec3& v : {Vec3{1, 0, 0}, Vec3{0, 0, -1}, Vec3{0.6, 0.8, 1e-12}, Vec3{0, -1, -1e-300}})
        EXPECT_FALSE(kPinhole.vec_to_pixel(v)) << v[0] << " " << v[1] << " " << v[2];
    EXPECT_TRUE(kPinhole.vec_to_pixel({0.0, 0.0, 2e-12}));
    // Fisheyes: a direction exactly at half the field is outside.
    for (const Vec3& v : {Vec3{1, 0, 0}, Vec3{0, -1, 0}, Vec3{0, 0, -1}}) EXPECT_FALSE(kIdeal.vec_to_pixel(v));
    const double half_fov = std::get<DistortedFisheye>(kCalibrated.projection).half_fov;
    EXPECT_FALSE(kCalibrated.vec_to_pixel(off_axis(half_fov, 0.3)));
    EXPECT_TRUE(kCalibrated.vec_to_pixel(off_axis(half_fov - 1e-9, 0.3)));
    // A NaN direction is not refused: it gives a NaN pixel.
    for (const Camera& camera : {kPinhole, kIdeal, kCalibrated})
        EXPECT_TRUE(std::isnan(camera.vec_to_pixel({kNaN, 0.0, kNaN}).value_or(PixelPosition{}).x));
    // Pixels have no limit: beyond the image circle theta grows on to pi.
    EXPECT_NEAR(kIdeal.pixel_to_vec(500.0 + 800.0, 400.0)[2], -1.0, 1e-12);
}

TEST(CameraProjection, RadialLaws) {
    // r = focal * tan(theta), focal * theta and focal * (theta + k1 theta^3
    // + ... + k4 theta^9), along the azimuth from image x (right) to y (down).
    const struct { const Camera& camera; double cx, cy, theta, r; } cases[] = {
        {kPinhole, 320.0, 240.0, 0.5, 546.3024898437905},
        {kIdeal, 500.0, 400.0, 89.9 * kDegToRad, 399.55555555555554},
        {kCalibrated, 510.0, 395.0, 0.3, 77.8614727575516},
        {kCalibrated, 510.0, 395.0, 1.6, 400.4453053366272},
    };
    for (const auto& c : cases)
        for (double phi : {0.0, 0.3, -2.0}) {
            SCOPED_TRACE(::testing::Message() << c.theta << " " << phi);
            const auto pixel = c.camera.vec_to_pixel(off_axis(c.theta, phi));
            ASSERT_TRUE(pixel);
            EXPECT_NEAR(pixel->x, c.cx + c.r * std::cos(phi), 1e-6);
            EXPECT_NEAR(pixel->y, c.cy + c.r * std::sin(phi), 1e-6);
        }
}

TEST(CameraProjection, PixelToVecInvertsVecToPixel) {
    const struct { const Camera& camera; double max_radius; } cases[] = {
        {kPinhole, 600.0}, {kIdeal, 399.0}, {kCalibrated, 390.0}};
    for (const auto& [camera, max_radius] : cases)
        for (double r = 0.0; r <= max_radius; r += max_radius / 13.0)
            for (double phi = -3.1; phi < 3.2; phi += 0.37) {
                SCOPED_TRACE(::testing::Message() << max_radius << " r=" << r << " phi=" << phi);
                const double x = camera.cx + r * std::cos(phi), y = camera.cy + r * std::sin(phi);
                const Vec3 v = camera.pixel_to_vec(x, y);
                EXPECT_NEAR(dot(v, v), 1.0, 1e-14);
                const auto back = camera.vec_to_pixel(v);
                ASSERT_TRUE(back);
                EXPECT_NEAR(back->x, x, 1e-8);
                EXPECT_NEAR(back->y, y, 1e-8);
            }
    // A lens law flat at the start gives an infinite, then NaN, Newton step:
    // the loop still ends and the NaN comes out.
    const Camera folded = Camera::from_fov(100, 100, 180.0, 100.0, 50, 50, -1.0 / 3.0, 0, 0, 0);
    EXPECT_TRUE(std::isnan(folded.pixel_to_vec(150.0, 50.0)[2]));
}

TEST(CameraScale, ArcminPerPixelAndDefaultSigma) {
    // atan(1 / focal) for the pinhole, 1 / focal for fisheyes.
    const double pinhole_arcmin = std::atan(0.001) * kRadToDeg * 60.0;
    EXPECT_DOUBLE_EQ(kPinhole.arcmin_per_pixel(), pinhole_arcmin);
    EXPECT_DOUBLE_EQ(fisheye(120.0, 1000.0, 0.01).arcmin_per_pixel(), 0.001 * kRadToDeg * 60.0);
    // Half a pixel, floored at one arcminute, also when the pixel size is NaN.
    EXPECT_DOUBLE_EQ(kPinhole.default_sigma_arcmin(), pinhole_arcmin * 0.5);
    for (double focal : {100000.0, kNaN})
        EXPECT_EQ(Camera::from_fov(0, 0, std::nullopt, focal, 0, 0, 0, 0, 0, 0).default_sigma_arcmin(), 1.0);
}

}  // namespace
}  // namespace halvane
