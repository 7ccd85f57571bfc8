#include "plate.hpp"

#include <algorithm>
#include <cmath>

#include "numeric.hpp"

namespace halvane {

namespace {

// The calibrated radial law and its derivative, summed term by term in the
// order they are written.
double distortion(const DistortedFisheye& p, double theta) noexcept {
    const double t2 = theta * theta;
    const double t3 = theta * t2;
    const double t5 = t3 * t2;
    const double t7 = t5 * t2;
    const double t9 = t7 * t2;
    return theta + p.k1 * t3 + p.k2 * t5 + p.k3 * t7 + p.k4 * t9;
}

double distortion_slope(const DistortedFisheye& p, double theta) noexcept {
    const double t2 = theta * theta;
    const double t4 = t2 * t2;
    const double t6 = t4 * t2;
    const double t8 = t6 * t2;
    return 1.0 + 3.0 * p.k1 * t2 + 5.0 * p.k2 * t4 + 7.0 * p.k3 * t6 + 9.0 * p.k4 * t8;
}

Vec3 direction_at(double theta, double dx, double dy) noexcept {
    const double phi = std::atan2(dy, dx);
    const double s = std::sin(theta);
    return {s * std::cos(phi), s * std::sin(phi), std::cos(theta)};
}

// theta with g(theta) = rd by Newton's method.
double undistort(const DistortedFisheye& p, double rd) noexcept {
    double theta = rd;
    for (int step_count = 0; step_count < 8; ++step_count) {
        const double step = (distortion(p, theta) - rd) / distortion_slope(p, theta);
        theta -= step;
        if (std::fabs(step) < 1e-12) break;  // a NaN step never stops the loop early
    }
    return theta;
}

}  // namespace

Camera Camera::from_fov(std::size_t width, std::size_t height,
                        std::optional<double> fisheye_fov_deg, double focal, double cx, double cy,
                        double k1, double k2, double k3, double k4) noexcept {
    if (!fisheye_fov_deg) return Camera{Pinhole{}, focal, cx, cy};
    const double half_fov = *fisheye_fov_deg * 0.5 * kDegToRad;
    if (k1 == 0.0 && k2 == 0.0 && k3 == 0.0 && k4 == 0.0) {
        const double shorter = static_cast<double>(std::min(width, height));
        return Camera{Equidistant{half_fov}, (shorter / 2.0) / half_fov, cx, cy};
    }
    return Camera{DistortedFisheye{half_fov, k1, k2, k3, k4}, focal, cx, cy};
}

Vec3 Camera::pixel_to_vec(double x, double y) const noexcept {
    const double dx = x - cx;
    const double dy = y - cy;
    if (std::holds_alternative<Pinhole>(projection)) {
        const double n = std::sqrt(focal * focal + (dx * dx + dy * dy));
        return {dx / n, dy / n, focal / n};
    }
    return direction_at(fisheye_angle(std::hypot(dx, dy)), dx, dy);
}

std::optional<PixelPosition> Camera::vec_to_pixel(const Vec3& v) const noexcept {
    const auto [vx, vy, vz] = v;
    if (std::holds_alternative<Pinhole>(projection)) {
        if (vz <= 1e-12) return std::nullopt;
        return PixelPosition{cx + vx * focal / vz, cy + vy * focal / vz};
    }
    // std::clamp hands a NaN back unchanged, so it reaches the pixel.
    const auto r = fisheye_radius(std::acos(std::clamp(vz, -1.0, 1.0)));
    if (!r) return std::nullopt;
    const double phi = std::atan2(vy, vx);
    return PixelPosition{cx + std::cos(phi) * *r, cy + std::sin(phi) * *r};
}

double Camera::fisheye_angle(double rho_px) const noexcept {
    const double rd = rho_px / focal;
    if (const auto* fisheye = std::get_if<DistortedFisheye>(&projection)) return undistort(*fisheye, rd);
    return rd;
}

std::optional<double> Camera::fisheye_radius(double theta) const noexcept {
    if (const auto* fisheye = std::get_if<DistortedFisheye>(&projection)) {
        if (theta >= fisheye->half_fov) return std::nullopt;
        return focal * distortion(*fisheye, theta);
    }
    if (const auto* ideal = std::get_if<Equidistant>(&projection)) {
        if (theta >= ideal->half_fov) return std::nullopt;
        return focal * theta;
    }
    return std::nullopt;
}

double Camera::arcmin_per_pixel() const noexcept {
    const double s = 1.0 / focal;
    const double radians = std::holds_alternative<Pinhole>(projection) ? std::atan(s) : s;
    return rad_to_arcmin(radians);
}

double Camera::default_sigma_arcmin() const noexcept {
    return max_ignoring_nan(arcmin_per_pixel() * 0.5, 1.0);
}

}  // namespace halvane
