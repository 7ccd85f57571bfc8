// The arguments of resolve_fix and resolve_from_centroids, bound and
// converted once for the module functions and for FixTracker's twins of
// them, so that both see the same parameters, conversions and refusals.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <vector>

#include "../engine/catalog.hpp"
#include "../engine/site.hpp"
#include "convert.hpp"

namespace halvane::py {

// What both solves share after conversion.
struct SolveArguments {
    Vec3 up_cam{};
    const Catalog* catalog = nullptr;  // valid while the call's arguments live
    std::optional<double> sigma_arcmin;
    CameraScalars lens;
    SolveOptions options;
    double jd = 0.0;  // UT
};

struct ImageSolveArguments : SolveArguments {
    OwnedImage pixels;
    std::optional<OwnedMask> mask;
    std::optional<MaskView> mask_view() const;
};

struct CentroidSolveArguments : SolveArguments {
    std::vector<Centroid> centroids;
};

// Binds and converts the arguments of resolve_fix(image, focal_px, ...,
// mask=None) in their documented order; `function_name` is the name binder
// errors show. False with the refusal raised.
bool bind_image_solve(const char* function_name, PyObject* args, PyObject* kwargs, ImageSolveArguments& out);

// Likewise for resolve_from_centroids(centroids, focal_px, ...).
bool bind_centroid_solve(const char* function_name, PyObject* args, PyObject* kwargs,
                         CentroidSolveArguments& out);

}  // namespace halvane::py
