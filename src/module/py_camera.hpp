// The camera arguments every lens-taking function shares, and the Python
// Camera class.
//
// Camera scalars at the boundary: focal_px (float or None), cx, cy,
// fisheye_fov_deg (None: pinhole), k1..k4 (all zero: ideal equidistant
// fisheye). Which focal is required is decided here, once; the values
// themselves are passed on unchecked (a zero focal builds a degenerate
// camera, not a refusal).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <tuple>

#include "binder.hpp"
#include "entry.hpp"

namespace halvane::py {

// The lens parameters every lens-taking function lists: the focal and the
// principal point first, the projection after the required arguments.
inline constexpr auto kLensFocalParams = std::to_array<Param>({{"focal_px"}, {"cx"}, {"cy"}});
inline constexpr auto kLensProjectionParams = std::to_array<Param>(
    {{"fisheye_fov_deg", "None"}, {"k1", "0.0"}, {"k2", "0.0"}, {"k3", "0.0"}, {"k4", "0.0"}});

// The lens scalars as a caller passes them, bound as one group and turned
// into the engine's CameraScalars by the focal rule below. Prefix names the
// parameters of a second camera ("src_", "dst_").
struct LensArguments {
    std::optional<double> focal_px;
    double cx = 0.0;
    double cy = 0.0;
    std::optional<double> fisheye_fov_deg;
    double k1 = 0.0, k2 = 0.0, k3 = 0.0, k4 = 0.0;

    template <FixedName Prefix = FixedName("")>
    auto slots() {
        return std::tuple_cat(std::tuple{arg<Prefix + FixedName("cx")>(cx), arg<Prefix + FixedName("cy")>(cy)},
                              optics_slots<Prefix>());
    }

    // Without the principal point, for a caller that places it itself.
    template <FixedName Prefix = FixedName("")>
    auto optics_slots() {
        return std::tuple{arg<Prefix + FixedName("focal_px")>(focal_px),
                          arg<Prefix + FixedName("fisheye_fov_deg")>(fisheye_fov_deg),
                          arg<Prefix + FixedName("k1")>(k1),
                          arg<Prefix + FixedName("k2")>(k2),
                          arg<Prefix + FixedName("k3")>(k3),
                          arg<Prefix + FixedName("k4")>(k4)};
    }

    // The engine's lens after the focal rule: focal_px as given for the
    // pinhole and the calibrated fisheye, 0 (from_fov derives it) for the
    // ideal fisheye. Refuses with HalvaneError a missing focal for the
    // pinhole or a calibrated fisheye, and a given one for the ideal fisheye
    // (where it would be silently ignored). Coefficients compare as floats:
    // -0.0 is zero, NaN is not.
    bool scalars(CameraScalars& out) const;
};

// The image extent along one axis when the ideal fisheye needs it and the
// caller gave none: round(2 * centre), half away from zero, into `extent`.
// A centre that is not positive (or NaN) is refused with HalvaneError
// naming both, e.g. derived_extent("width", "cx", cx).
bool derived_extent(const char* name, const char* centre_name, double centre, std::size_t& extent);

// The solve's angular limits, refused with HalvaneError naming the rule
// and the value: sigma_arcmin must be finite and above 0 (a zero or NaN
// sigma would read as a singular geometry, an infinite one match nothing,
// a negative one give a vast ellipse); max_residual_rms_arcmin must be 0 or
// more (a NaN gate would pass every fix); +inf sets no limit. None passes.
bool check_solve_limits(std::optional<double> sigma_arcmin, std::optional<double> max_residual_rms_arcmin);

}  // namespace halvane::py
