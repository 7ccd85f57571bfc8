// The lens model: pixel coordinates to camera-frame unit directions and back.
//
// Camera frame: x to the right along image rows (increasing pixel x), y down
// the image (increasing pixel y), z along the boresight out of the lens, so a
// direction straight ahead is (0, 0, 1). Pixel coordinates are continuous;
// (cx, cy) is the pixel of the boresight. theta below is the angle between a
// direction and the boresight, r the distance in pixels from (cx, cy).
//
// Every part of the engine that goes between pixels and directions (fix,
// scene synthesis, remapping) uses this one model, and the Python Camera
// class wraps it, so predictions drawn from Python match what the solver saw.
#pragma once

#include <cstddef>
#include <optional>
#include <variant>

#include "vector.hpp"

namespace halvane {

// Rectilinear lens: r = focal * tan(theta).
struct Pinhole {};

// Ideal equidistant fisheye: r = focal * theta, imaging theta < half_fov.
struct Equidistant {
    double half_fov = 0.0;  // radians
};

// Calibrated fisheye: r = focal * g(theta), imaging theta < half_fov, with
// g(theta) = theta + k1*theta^3 + k2*theta^5 + k3*theta^7 + k4*theta^9.
struct DistortedFisheye {
    double half_fov = 0.0;  // radians
    double k1 = 0.0;
    double k2 = 0.0;
    double k3 = 0.0;
    double k4 = 0.0;
};

using Projection = std::variant<Pinhole, Equidistant, DistortedFisheye>;

struct PixelPosition {
    double x = 0.0;
    double y = 0.0;
};

// A small copyable value with no heap memory; every operation is pure
// arithmetic and allocation-free, so hot loops may call them freely.
struct Camera {
    Projection projection;
    double focal = 0.0;  // radial scale in pixels
    double cx = 0.0;     // principal point, pixels
    double cy = 0.0;

    // Builds a camera from the scalars the Python boundary accepts, taken
    // as given (the rules about which focal is required live there):
    //   fisheye_fov_deg absent: Pinhole with `focal`; width, height and
    //     k1..k4 unused.
    //   fisheye_fov_deg present, k1..k4 all == 0.0 (-0.0 is zero, NaN is
    //     not): Equidistant, half_fov = fov / 2 in radians, focal derived so
    //     the image circle fills the shorter image side:
    //     (min(width, height) / 2) / half_fov; the given focal is unused.
    //   otherwise: DistortedFisheye with half_fov, k1..k4 and `focal`.
    // No value is checked: a zero field or focal gives a degenerate camera.
    static Camera from_fov(std::size_t width, std::size_t height,
                           std::optional<double> fisheye_fov_deg, double focal, double cx,
                           double cy, double k1, double k2, double k3, double k4) noexcept;

    // Unit camera-frame direction of pixel (x, y). Defined for every pixel:
    // fisheyes apply no field limit here (a pixel beyond the image circle
    // maps beyond half_fov). The calibrated fisheye inverts g by at most 8
    // Newton steps from theta = r / focal, stopping after the first step
    // smaller than 1e-12 in magnitude; convergence is not checked.
    Vec3 pixel_to_vec(double x, double y) const noexcept;

    // Pixel of direction v (expected unit length; not normalised), or none
    // when v is outside the imaged field: for the pinhole when v.z <= 1e-12,
    // for fisheyes when theta >= half_fov (a direction exactly at the edge
    // is outside). A NaN component is not refused: it yields a NaN pixel.
    std::optional<PixelPosition> vec_to_pixel(const Vec3& v) const noexcept;

    // The radial halves of pixel_to_vec and vec_to_pixel for the fisheyes,
    // for callers that map many pixels and handle the azimuth themselves
    // (remapping); both give exactly the values those methods use.
    // fisheye_angle: theta of a pixel rho_px from (cx, cy), no field limit
    //   (not meaningful for the pinhole).
    // fisheye_radius: r of a direction theta off the boresight, none when
    //   theta >= half_fov (always none for the pinhole).
    double fisheye_angle(double rho_px) const noexcept;
    std::optional<double> fisheye_radius(double theta) const noexcept;

    // Angular size of one pixel at the boresight, arcminutes:
    // atan(1 / focal) for the pinhole, 1 / focal for fisheyes.
    double arcmin_per_pixel() const noexcept;

    // The star-match tolerance used when the caller gives none, arcminutes:
    // half a pixel, floored at one arcminute (a NaN pixel size gives 1).
    double default_sigma_arcmin() const noexcept;
};

}  // namespace halvane
