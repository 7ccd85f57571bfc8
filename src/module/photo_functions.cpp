// The photo path of the companion package halvane_tools: its pixel passes
// (_remove_extended_light, _below_altitude_mask, _glare_mask), the solar
// disc (_detect_sun) and its one solve (_resolve_photo). They are
// registered under underscore names and kept out of __all__, so the
// module's public interface stays exactly as documented.
#include <array>
#include <cstdint>
#include <optional>

#include "arrays.hpp"
#include "binder.hpp"
#include "convert.hpp"
#include "entry.hpp"
#include "module.hpp"
#include "numeric.hpp"
#include "photo.hpp"
#include "py_camera.hpp"
#include "py_fix.hpp"
#include "solar_disc.hpp"
#include "solve_functions.hpp"

namespace halvane::py {

namespace {

constexpr auto kRemoveExtendedLightSig = signature("_remove_extended_light", {{"image"}, {"line_px"}});
constexpr auto kBelowAltitudeMaskSig = signature(
    "_below_altitude_mask", {{"width"}, {"height"}, {"focal_px"}, {"cx"}, {"cy"}, {"up_cam"}, {"min_altitude_deg"},
                             {"fisheye_fov_deg", "None"}, {"k1", "0.0"}, {"k2", "0.0"}, {"k3", "0.0"},
                             {"k4", "0.0"}});
constexpr auto kGlareMaskSig = signature("_glare_mask", {{"image"}, {"min_saturated_px"}, {"margin_px"}});

PyObject* remove_extended_light_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* image_arg = nullptr;
    std::uint64_t line_px = 0;
    if (!bind<kRemoveExtendedLightSig>(args, kwargs, arg<"image">(image_arg), arg<"line_px">(line_px)))
        return nullptr;
    OwnedImage image;
    if (!extract_u16_image(image_arg, image)) return nullptr;
    return value_or_error(remove_extended_light(image.view(), saturating_cast<std::size_t>(line_px), interrupt_on_signal()), image_array);
}

PyObject* below_altitude_mask_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    std::uint64_t width = 0, height = 0;
    LensArguments lens;
    std::array<double, 3> up_cam{};
    double min_altitude_deg = 0.0;
    if (!bind<kBelowAltitudeMaskSig>(args, kwargs, arg<"width">(width), arg<"height">(height), lens.slots(),
                                     arg<"up_cam">(up_cam), arg<"min_altitude_deg">(min_altitude_deg)))
        return nullptr;
    CameraScalars scalars;
    if (!lens.scalars(scalars)) return nullptr;
    const auto w = saturating_cast<std::size_t>(width), h = saturating_cast<std::size_t>(height);
    return value_or_error(
        below_altitude_mask(camera_from_scalars(scalars, w, h), up_cam, w, h, min_altitude_deg * kDegToRad,
                            interrupt_on_signal()),
        mask_array);
}

PyObject* glare_mask_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* image_arg = nullptr;
    std::uint64_t min_saturated_px = 0, margin_px = 0;
    if (!bind<kGlareMaskSig>(args, kwargs, arg<"image">(image_arg), arg<"min_saturated_px">(min_saturated_px),
                             arg<"margin_px">(margin_px)))
        return nullptr;
    OwnedImage image;
    if (!extract_u16_image(image_arg, image)) return nullptr;
    return value_or_error(glare_mask(image.view(), saturating_cast<std::size_t>(min_saturated_px),
                                     saturating_cast<std::size_t>(margin_px), interrupt_on_signal()),
                          mask_array);
}

constexpr auto kDetectSunSig = signature("_detect_sun", {{"image"}, {"mask", "None"}});
constexpr auto kResolvePhotoSig = signature(
    "_resolve_photo",
    {{"centroids"}, {"width"}, {"height"}, {"focal_px"}, {"cx"}, {"cy"}, {"up_cam"}, {"utc"}, {"catalog"},
     {"sun", "None", kKeywordOnly}, {"tracker", "None", kKeywordOnly}, {"sigma_arcmin", "None", kKeywordOnly},
     {"min_matched_stars", "None", kKeywordOnly}, {"max_residual_rms_arcmin", "None", kKeywordOnly},
     {"max_centroids", "12", kKeywordOnly}, {"fisheye_fov_deg", "None", kKeywordOnly},
     {"k1", "0.0", kKeywordOnly}, {"k2", "0.0", kKeywordOnly}, {"k3", "0.0", kKeywordOnly},
     {"k4", "0.0", kKeywordOnly}});

PyObject* detect_sun_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* image_arg = nullptr;
    PyObject* mask_arg = Py_None;
    if (!bind<kDetectSunSig>(args, kwargs, arg<"image">(image_arg), arg<"mask">(mask_arg))) return nullptr;
    OwnedImage image;
    std::optional<OwnedMask> mask;
    if (!extract_u16_image(image_arg, image) || !extract_optional_mask(mask_arg, mask)) return nullptr;
    // A mask of another shape is refused as the solve refuses it, not read as "no Sun".
    if (mask) {
        if (const Result<void> shape = check_mask_shape(mask->view(), image.view()); !shape)
            return to_py_err(shape.error());
    }
    const std::optional<Centroid> sun = detect_sun_masked(
        image.view(), FixConfig{}.sun_min_area, mask ? std::optional(mask->view()) : std::nullopt,
        interrupt_on_signal());
    if (!sun) Py_RETURN_NONE;
    return Py_BuildValue("(dd)", sun->x, sun->y);
}

PyObject* resolve_photo_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    CentroidSolveArguments a;
    SolveBinding b;
    std::uint64_t width = 0, height = 0;
    std::optional<std::array<double, 2>> sun;
    std::optional<Tracker*> tracker;
    if (!bind<kResolvePhotoSig>(args, kwargs, arg<"centroids">(a.centroids), arg<"width">(width),
                                arg<"height">(height), b.slots(a), arg<"sun">(sun), arg<"tracker">(tracker)) ||
        !b.convert_lens(a) || !b.convert_rest(a, false))
        return nullptr;
    const std::optional<PixelPosition> sun_px =
        sun ? std::optional(PixelPosition{(*sun)[0], (*sun)[1]}) : std::nullopt;
    const auto w = saturating_cast<std::size_t>(width), h = saturating_cast<std::size_t>(height);
    if (!tracker)
        return fix_or_error(
            solve_photo(a.centroids, sun_px, w, h, a.up_cam, *a.catalog, a.sigma_arcmin, a.lens, a.options, a.jd));
    Tracker& state = **tracker;
    const TrackerBorrow borrow(state);
    if (!borrow.held()) return nullptr;
    const Tracking tracking{state.history, state.bounds};
    return fix_or_error(solve_photo(a.centroids, sun_px, w, h, a.up_cam, *a.catalog, a.sigma_arcmin, a.lens,
                                    a.options, a.jd, &tracking));
}

PyMethodDef detect_sun_def = method_def<detect_sun_impl, kDetectSunSig>(
    "The (x, y) pixel of the solar disc's centre as resolve_fix(use_sun=True) finds it\n"
    "(the same minimum area), or None. image and mask: as for resolve_fix.");

PyMethodDef resolve_photo_def = method_def<resolve_photo_impl, kResolvePhotoSig>(
    R"(A photo's fix from its detections: resolve_from_centroids with the camera an
image of width x height pixels gets (the ideal fisheye's focal from that
extent, the principal point as given). sun: None or the (x, y) pixel of the
solar disc's centre, used as resolve_fix(use_sun=True) uses a detected one.
tracker: None or a halvane.FixTracker, which then breaks a tie and records the
fix as its resolve_from_centroids does. Arguments, refusals and gates
otherwise as for resolve_from_centroids.)");

PyMethodDef remove_extended_light_def = method_def<remove_extended_light_impl, kRemoveExtendedLightSig>(
    "The frame minus its largest opening by a line of line_px pixels (odd, 3 to\n"
    "255) in the four directions: stars keep their height, light that is long in\n"
    "some direction (gradients, glare, aurora, a lit horizon) goes. A new uint16\n"
    "array of the image's shape. image: as for detect_centroids.");

PyMethodDef below_altitude_mask_def = method_def<below_altitude_mask_impl, kBelowAltitudeMaskSig>(
    "A (height, width) bool array, True where the pixel's direction stands below\n"
    "min_altitude_deg above the horizon that up_cam defines, or lies outside a\n"
    "fisheye's field. The camera scalars follow the rules of resolve_fix.");

PyMethodDef glare_mask_def = method_def<glare_mask_impl, kGlareMaskSig>(
    "A bool array of the image's shape, True within margin_px of every area of\n"
    "8 x 8 px blocks whose 3 x 3 block neighbourhood holds at least\n"
    "min_saturated_px pixels at 98 per cent of the frame's maximum or more.");

}  // namespace

HALVANE_REGISTRATIONS(photo_registrations, companion_function(1, remove_extended_light_def),
                                           companion_function(2, below_altitude_mask_def),
                                           companion_function(3, glare_mask_def),
                                           companion_function(4, detect_sun_def),
                                           companion_function(5, resolve_photo_def))

}  // namespace halvane::py
