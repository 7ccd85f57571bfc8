// remap_image and remap_mask: frames and exclusion masks carried from one
// lens model to another.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "arrays.hpp"
#include "binder.hpp"
#include "convert.hpp"
#include "entry.hpp"
#include "module.hpp"
#include "py_camera.hpp"
#include "remap.hpp"

namespace halvane::py {

namespace {

// The scalars both functions share: two lenses and the destination extent.
struct RemapScalars {
    LensArguments src, dst;
    std::uint64_t dst_width = 0, dst_height = 0;

    auto slots() {
        return std::tuple_cat(src.slots<"src_">(), dst.slots<"dst_">(),
                              std::tuple{arg<"dst_width">(dst_width), arg<"dst_height">(dst_height)});
    }
};

// The parameters both functions share, after the source array.
constexpr auto kScalarParams = std::to_array<Param>(
    {{"src_focal_px"}, {"src_cx"}, {"src_cy"}, {"dst_focal_px"}, {"dst_cx"}, {"dst_cy"}, {"dst_width"},
     {"dst_height"}, {"src_fisheye_fov_deg", "None"}, {"src_k1", "0.0"}, {"src_k2", "0.0"}, {"src_k3", "0.0"},
     {"src_k4", "0.0"}, {"dst_fisheye_fov_deg", "None"}, {"dst_k1", "0.0"}, {"dst_k2", "0.0"}, {"dst_k3", "0.0"},
     {"dst_k4", "0.0"}});

constexpr auto kRemapImageSig = signature("remap_image", std::to_array<Param>({{"image"}}), kScalarParams,
                                          std::to_array<Param>({{"fill", "0"}}));
constexpr auto kRemapMaskSig = signature("remap_mask", std::to_array<Param>({{"mask"}}), kScalarParams);

// The focal rule for one camera, then the camera on its own extent.
bool remap_camera(const LensArguments& lens, std::size_t width, std::size_t height, Camera& camera) {
    CameraScalars scalars;
    if (!lens.scalars(scalars)) return false;
    camera = camera_from_scalars(scalars, width, height);
    return true;
}

// Both cameras, the source's first so that its refusal wins.
bool remap_cameras(const RemapScalars& s, std::size_t src_width, std::size_t src_height, Camera& src, Camera& dst) {
    return remap_camera(s.src, src_width, src_height, src) && remap_camera(s.dst, s.dst_width, s.dst_height, dst);
}

PyObject* remap_image_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* image_arg = nullptr;
    RemapScalars scalars;
    std::uint16_t fill = 0;
    if (!bind<kRemapImageSig>(args, kwargs, arg<"image">(image_arg), scalars.slots(), arg<"fill">(fill)))
        return nullptr;
    OwnedImage image;
    if (!extract_u16_image(image_arg, image)) return nullptr;
    Camera src, dst;
    if (!remap_cameras(scalars, image.width, image.height, src, dst)) return nullptr;
    return value_or_error(remap_image(image.view(), src, dst, scalars.dst_width, scalars.dst_height, fill,
                                      interrupt_on_signal()),
                          image_array);
}

PyObject* remap_mask_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* mask_arg = nullptr;
    RemapScalars scalars;
    if (!bind<kRemapMaskSig>(args, kwargs, arg<"mask">(mask_arg), scalars.slots())) return nullptr;
    OwnedMask mask;
    if (!extract_bool_mask(mask_arg, mask)) return nullptr;
    Camera src, dst;
    if (!remap_cameras(scalars, mask.width, mask.height, src, dst)) return nullptr;
    return value_or_error(remap_mask(mask.view(), src, dst, scalars.dst_width, scalars.dst_height, interrupt_on_signal()),
                          mask_array);
}

PyMethodDef remap_image_def = method_def<remap_image_impl, kRemapImageSig>(
            R"(Reproject an image from one camera model to another, for example a bench
fisheye frame into the circular all-sky form a segmentation model was
trained on.

Both cameras share one boresight orientation (both rigs look straight up),
so no rotation is applied. Each destination pixel is mapped to a
camera-frame direction by the destination camera, projected back through
the source camera, and the source is sampled there bilinearly (rounded to
the nearest count, halves up). fill is written wherever the destination
pixel images nothing: outside the destination lens's own field (the
corners beyond an all-sky circle), outside the source lens's field, or off
the source frame.

The src_ and dst_ camera scalars follow exactly the rules of resolve_fix:
fisheye_fov_deg=None is a pinhole of focal length focal_px; a field of
view with k1..k4 all 0 is the ideal equidistant fisheye, whose focal fills
the shorter image dimension (pass focal_px=None); any k non-zero is a
calibrated fisheye with focal_px its real radial scale. The source's
shorter dimension is that of the image, the destination's
min(dst_width, dst_height).

image: a 2-D C-contiguous uint16 array, or uint8 widened by 257.
fill: 0 to 65535.
Returns a new (dst_height, dst_width) uint16 array. A source buffer that
does not match its shape, or an extent over 2^28 pixels on either side,
is refused with HalvaneError.)");

PyMethodDef remap_mask_def = method_def<remap_mask_impl, kRemapMaskSig>(
            R"(Reproject an exclusion mask the way remap_image reprojects a frame, for
example carrying a mask predicted on the all-sky form back to camera
pixels for resolve_fix(mask=...), with the same camera rules and geometry.
It is resampled nearest-neighbour, so no destination pixel takes a value
between the two states.

True means excluded (not sky). A destination pixel that images nothing is
True, so uncovered sky is excluded rather than silently trusted.

mask: a 2-D C-contiguous bool array.
Returns a new (dst_height, dst_width) bool array, with the same extent
refusals as remap_image.)");

}  // namespace

HALVANE_REGISTRATIONS(remap_registrations, exported_function(18, remap_image_def, "npt.NDArray[np.uint16]"),
                                           exported_function(19, remap_mask_def, "npt.NDArray[np.bool_]"))

}  // namespace halvane::py
