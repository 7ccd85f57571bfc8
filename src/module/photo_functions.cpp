// The photo path's pixel passes for the companion package halvane_tools:
// _remove_extended_light, _below_altitude_mask and _glare_mask. They are
// registered under underscore names and kept out of __all__, so the
// module's public interface stays exactly as documented.
#include <array>
#include <cstdint>
#include <optional>

#include "arrays.hpp"
#include "binder.hpp"
#include "camera.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "numeric.hpp"
#include "photo.hpp"
#include "site.hpp"

namespace halvane::py {

namespace {

PyObject* image_array(const OwnedImage& image) {
    return new_array({static_cast<Py_ssize_t>(image.height), static_cast<Py_ssize_t>(image.width)}, "uint16",
                     image.pixels.data(), image.pixels.size() * sizeof(std::uint16_t));
}

PyObject* mask_array(const OwnedMask& mask) {
    return new_array({static_cast<Py_ssize_t>(mask.height), static_cast<Py_ssize_t>(mask.width)}, "bool",
                     mask.flags.data(), mask.flags.size());
}

PyObject* remove_extended_light_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature<2> kSig{"_remove_extended_light", {{{"image"}, {"line_px"}}}};
    PyObject* image_arg = nullptr;
    std::uint64_t line_px = 0;
    if (!bind(kSig, args, kwargs, image_arg, line_px)) return nullptr;
    OwnedImage image;
    if (!extract_u16_image(image_arg, image)) return nullptr;
    const auto flattened = remove_extended_light(image.view(), saturating_cast<std::size_t>(line_px));
    if (!flattened) return to_py_err(flattened.error());
    return image_array(*flattened);
}

PyObject* below_altitude_mask_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature<12> kSig{
        "_below_altitude_mask",
        {{{"width"}, {"height"}, {"focal_px"}, {"cx"}, {"cy"}, {"up_cam"}, {"min_altitude_deg"},
          {"fisheye_fov_deg", kOptional}, {"k1", kOptional}, {"k2", kOptional}, {"k3", kOptional},
          {"k4", kOptional}}}};
    std::uint64_t width = 0, height = 0;
    std::optional<double> focal_px, fisheye_fov_deg;
    CameraScalars lens;
    std::array<double, 3> up_cam{};
    double min_altitude_deg = 0.0;
    if (!bind(kSig, args, kwargs, width, height, focal_px, lens.cx, lens.cy, up_cam, min_altitude_deg,
              fisheye_fov_deg, lens.k1, lens.k2, lens.k3, lens.k4))
        return nullptr;
    lens.fisheye_fov_deg = fisheye_fov_deg;
    if (!focal_for_projection(focal_px, fisheye_fov_deg.has_value(), lens.k1, lens.k2, lens.k3, lens.k4,
                              lens.focal_px))
        return nullptr;
    const auto w = saturating_cast<std::size_t>(width), h = saturating_cast<std::size_t>(height);
    const auto mask = below_altitude_mask(camera_from_scalars(lens, w, h), up_cam, w, h,
                                          min_altitude_deg * kDegToRad);
    if (!mask) return to_py_err(mask.error());
    return mask_array(*mask);
}

PyObject* glare_mask_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature<3> kSig{"_glare_mask", {{{"image"}, {"min_saturated_px"}, {"margin_px"}}}};
    PyObject* image_arg = nullptr;
    std::uint64_t min_saturated_px = 0, margin_px = 0;
    if (!bind(kSig, args, kwargs, image_arg, min_saturated_px, margin_px)) return nullptr;
    OwnedImage image;
    if (!extract_u16_image(image_arg, image)) return nullptr;
    const auto mask = glare_mask(image.view(), saturating_cast<std::size_t>(min_saturated_px),
                                 saturating_cast<std::size_t>(margin_px));
    if (!mask) return to_py_err(mask.error());
    return mask_array(*mask);
}

}  // namespace

PyMethodDef remove_extended_light_def = method_def<remove_extended_light_impl>(
    "_remove_extended_light",
    "_remove_extended_light(image, line_px)\n--\n\n"
    "The frame minus its largest opening by a line of line_px pixels (odd, 3 to\n"
    "255) in the four directions: stars keep their height, light that is long in\n"
    "some direction (gradients, glare, aurora, a lit horizon) goes. A new uint16\n"
    "array of the image's shape. image: as for detect_centroids.");

PyMethodDef below_altitude_mask_def = method_def<below_altitude_mask_impl>(
    "_below_altitude_mask",
    "_below_altitude_mask(width, height, focal_px, cx, cy, up_cam, min_altitude_deg, fisheye_fov_deg=None, "
    "k1=0.0, k2=0.0, k3=0.0, k4=0.0)\n--\n\n"
    "A (height, width) bool array, True where the pixel's direction stands below\n"
    "min_altitude_deg above the horizon that up_cam defines, or lies outside a\n"
    "fisheye's field. The camera scalars follow the rules of resolve_fix.");

PyMethodDef glare_mask_def = method_def<glare_mask_impl>(
    "_glare_mask",
    "_glare_mask(image, min_saturated_px, margin_px)\n--\n\n"
    "A bool array of the image's shape, True within margin_px of every area of\n"
    "8 x 8 px blocks whose 3 x 3 block neighbourhood holds at least\n"
    "min_saturated_px pixels at 98 per cent of the frame's maximum or more.");

}  // namespace halvane::py
