// The arguments of resolve_fix and resolve_from_centroids, bound and
// converted once for the module functions and for FixTracker's twins of
// them, so that both see the same parameters, conversions and refusals.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <tuple>
#include <vector>

#include "binder.hpp"
#include "catalog.hpp"
#include "convert.hpp"
#include "entry.hpp"
#include "py_camera.hpp"
#include "py_catalog.hpp"

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

// The parameters of resolve_fix(image, focal_px, ..., mask=None) and of
// resolve_from_centroids(centroids, focal_px, ...), for the module
// functions and FixTracker's methods of the same names.
inline constexpr auto kSolveHeadParams =
    std::to_array<Param>({{"up_cam"}, {"utc"}, {"catalog"}, {"sigma_arcmin", "None"}});
inline constexpr auto kSolveGateParams = std::to_array<Param>(
    {{"max_centroids", "None"}, {"min_matched_stars", "None"}, {"max_residual_rms_arcmin", "None"}});

template <std::size_t N>
constexpr auto image_solve_signature(const char (&function_name)[N]) {
    return signature(function_name, std::to_array<Param>({{"image"}}), kLensFocalParams, kSolveHeadParams,
                     kLensProjectionParams, std::to_array<Param>({{"use_sun", "False"}}), kSolveGateParams,
                     std::to_array<Param>({{"mask", "None"}}));
}

template <std::size_t N>
constexpr auto centroid_solve_signature(const char (&function_name)[N]) {
    return signature(function_name, std::to_array<Param>({{"centroids"}}), kLensFocalParams, kSolveHeadParams,
                     kLensProjectionParams, kSolveGateParams);
}

// The arguments both solves share as bound, before conversion.
struct SolveBinding {
    LensArguments lens;
    PyObject* utc = nullptr;
    std::optional<std::uint64_t> max_centroids, min_matched_stars;
    std::optional<double> max_residual_rms_arcmin;

    auto slots(SolveArguments& out) {
        return std::tuple_cat(lens.slots(), std::tuple{arg<"up_cam">(out.up_cam), arg<"utc">(utc),
                                                       arg<"catalog">(out.catalog),
                                                       arg<"sigma_arcmin">(out.sigma_arcmin),
                                                       arg<"max_centroids">(max_centroids),
                                                       arg<"min_matched_stars">(min_matched_stars),
                                                       arg<"max_residual_rms_arcmin">(max_residual_rms_arcmin)});
    }

    // Converts in the documented order after binding: the focal rule, then
    // (after the caller's own array) the time and the solve's limits.
    bool convert_lens(SolveArguments& out) const { return lens.scalars(out.lens); }
    bool convert_rest(SolveArguments& out, bool use_sun) const;
};

// Binds and converts the arguments of an image solve (Sig from
// image_solve_signature). False with the refusal raised.
template <const auto& Sig>
bool bind_image_solve(PyObject* args, PyObject* kwargs, ImageSolveArguments& out) {
    SolveBinding b;
    PyObject* image = nullptr;
    bool use_sun = false;
    PyObject* mask = Py_None;
    return bind<Sig>(args, kwargs, arg<"image">(image), b.slots(out), arg<"use_sun">(use_sun), arg<"mask">(mask)) &&
           b.convert_lens(out) && extract_u16_image(image, out.pixels) && b.convert_rest(out, use_sun) &&
           extract_optional_mask(mask, out.mask);
}

// Likewise for a centroid solve (Sig from centroid_solve_signature).
template <const auto& Sig>
bool bind_centroid_solve(PyObject* args, PyObject* kwargs, CentroidSolveArguments& out) {
    SolveBinding b;
    return bind<Sig>(args, kwargs, arg<"centroids">(out.centroids), b.slots(out)) && b.convert_lens(out) &&
           b.convert_rest(out, false);
}

// The state inside a halvane.FixTracker.
struct Tracker {
    FixHistory history;
    TrackerBounds bounds;
    bool borrowed = false;  // a call on this tracker is running
};

// Holds a tracker for one call: a call made while another holds it (a
// signal handler or another thread let in by an argument's conversion)
// must fail at once rather than wait for, or change, the history
// mid-solve. held() is false with RuntimeError("Already borrowed") raised.
// The interpreter lock makes the test-and-set atomic.
class TrackerBorrow {
public:
    explicit TrackerBorrow(Tracker& tracker);
    ~TrackerBorrow();
    TrackerBorrow(const TrackerBorrow&) = delete;
    TrackerBorrow& operator=(const TrackerBorrow&) = delete;
    bool held() const noexcept { return tracker_ != nullptr; }

private:
    Tracker* tracker_ = nullptr;
};

// A halvane.FixTracker argument: its state, or the binder's TypeError
// "'{type}' object is not an instance of 'FixTracker'".
template <>
struct Converter<Tracker*> {
    static bool convert(PyObject* object, const char* name, Tracker*& out);
};

}  // namespace halvane::py
