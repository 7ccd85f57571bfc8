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

#include <cstddef>
#include <optional>

namespace halvane::py {

// The focal to hand to Camera::from_fov, into `focal`: focal_px as given
// for the pinhole and the calibrated fisheye, 0 (a placeholder: from_fov
// derives it) for the ideal fisheye. Refuses with HalvaneError a missing
// focal for the pinhole or a calibrated fisheye, and a given one for the
// ideal fisheye (where it would be silently ignored). Coefficients compare
// as floats: -0.0 is zero, NaN is not.
bool focal_for_projection(std::optional<double> focal_px, bool fisheye, double k1, double k2, double k3,
                          double k4, double& focal);

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
