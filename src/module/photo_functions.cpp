// The photo path's pixel passes for the companion package halvane_tools:
// _remove_extended_light, _below_altitude_mask and _glare_mask. They are
// registered under underscore names and kept out of __all__, so the
// module's public interface stays exactly as documented.
#include <array>
#include <cstdint>
#include <optional>

#include "arrays.hpp"
#include "binder.hpp"
#include "py_camera.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "numeric.hpp"
#include "photo.hpp"
#include "site.hpp"

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
    return value_or_error(remove_extended_light(image.view(), saturating_cast<std::size_t>(line_px)), image_array);
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
        below_altitude_mask(camera_from_scalars(scalars, w, h), up_cam, w, h, min_altitude_deg * kDegToRad),
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
                                     saturating_cast<std::size_t>(margin_px)),
                          mask_array);
}

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

const Registration kRegistrations[] = {
    companion_function(1, remove_extended_light_def),
    companion_function(2, below_altitude_mask_def),
    companion_function(3, glare_mask_def),
};

}  // namespace

std::span<const Registration> photo_registrations() { return kRegistrations; }

}  // namespace halvane::py
