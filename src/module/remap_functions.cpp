// remap_image and remap_mask: frames and exclusion masks carried from one
// lens model to another.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "arrays.hpp"
#include "binder.hpp"
#include "camera.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "remap.hpp"
#include "site.hpp"

namespace halvane::py {

namespace {

// The scalars both functions share, bound in signature order after the
// source array.
struct RemapScalars {
    std::optional<double> src_focal_px, dst_focal_px;
    CameraScalars src, dst;
    std::uint64_t dst_width = 0, dst_height = 0;
};

// The parameters both functions share, after the source array.
constexpr std::array<Param, 18> kScalarParams{{{"src_focal_px"},
                                               {"src_cx"},
                                               {"src_cy"},
                                               {"dst_focal_px"},
                                               {"dst_cx"},
                                               {"dst_cy"},
                                               {"dst_width"},
                                               {"dst_height"},
                                               {"src_fisheye_fov_deg", kOptional},
                                               {"src_k1", kOptional},
                                               {"src_k2", kOptional},
                                               {"src_k3", kOptional},
                                               {"src_k4", kOptional},
                                               {"dst_fisheye_fov_deg", kOptional},
                                               {"dst_k1", kOptional},
                                               {"dst_k2", kOptional},
                                               {"dst_k3", kOptional},
                                               {"dst_k4", kOptional}}};

// A signature: the source array, the shared parameters, then `extra`.
template <std::size_t Extra>
constexpr Signature<1 + kScalarParams.size() + Extra> remap_signature(const char* function_name, Param source,
                                                                      std::array<Param, Extra> extra) {
    Signature<1 + kScalarParams.size() + Extra> sig{function_name, {}};
    sig.params[0] = source;
    for (std::size_t i = 0; i < kScalarParams.size(); ++i) sig.params[1 + i] = kScalarParams[i];
    for (std::size_t i = 0; i < Extra; ++i) sig.params[1 + kScalarParams.size() + i] = extra[i];
    return sig;
}

// bind() for the array argument, the shared scalars and any further outputs.
template <std::size_t N, class... Rest>
bool bind_remap(const Signature<N>& sig, PyObject* args, PyObject* kwargs, PyObject*& source, RemapScalars& s,
                Rest&... rest) {
    return bind(sig, args, kwargs, source, s.src_focal_px, s.src.cx, s.src.cy, s.dst_focal_px, s.dst.cx, s.dst.cy,
                s.dst_width, s.dst_height, s.src.fisheye_fov_deg, s.src.k1, s.src.k2, s.src.k3, s.src.k4,
                s.dst.fisheye_fov_deg, s.dst.k1, s.dst.k2, s.dst.k3, s.dst.k4, rest...);
}

// The focal rule for one camera, then the camera on its own extent.
bool remap_camera(std::optional<double> focal_px, CameraScalars& lens, std::size_t width, std::size_t height,
                  Camera& camera) {
    if (!focal_for_projection(focal_px, lens.fisheye_fov_deg.has_value(), lens.k1, lens.k2, lens.k3, lens.k4,
                              lens.focal_px))
        return false;
    camera = camera_from_scalars(lens, width, height);
    return true;
}

// Both cameras, the source's first so that its refusal wins.
bool remap_cameras(RemapScalars& s, std::size_t src_width, std::size_t src_height, Camera& src, Camera& dst) {
    return remap_camera(s.src_focal_px, s.src, src_width, src_height, src) &&
           remap_camera(s.dst_focal_px, s.dst, s.dst_width, s.dst_height, dst);
}

PyObject* remap_image_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr auto kSig = remap_signature("remap_image", {"image"}, std::array<Param, 1>{{{"fill", kOptional}}});
    PyObject* image_arg = nullptr;
    RemapScalars scalars;
    std::uint16_t fill = 0;
    if (!bind_remap(kSig, args, kwargs, image_arg, scalars, fill)) return nullptr;
    OwnedImage image;
    if (!extract_u16_image(image_arg, image)) return nullptr;
    Camera src, dst;
    if (!remap_cameras(scalars, image.width, image.height, src, dst)) return nullptr;
    const auto out = remap_image(image.view(), src, dst, scalars.dst_width, scalars.dst_height, fill);
    if (!out) return to_py_err(out.error());
    return new_array({static_cast<Py_ssize_t>(out->height), static_cast<Py_ssize_t>(out->width)}, "uint16",
                     out->pixels.data(), out->pixels.size() * sizeof(std::uint16_t));
}

PyObject* remap_mask_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr auto kSig = remap_signature("remap_mask", {"mask"}, std::array<Param, 0>{});
    PyObject* mask_arg = nullptr;
    RemapScalars scalars;
    if (!bind_remap(kSig, args, kwargs, mask_arg, scalars)) return nullptr;
    OwnedMask mask;
    if (!extract_bool_mask(mask_arg, mask)) return nullptr;
    Camera src, dst;
    if (!remap_cameras(scalars, mask.width, mask.height, src, dst)) return nullptr;
    const auto out = remap_mask(mask.view(), src, dst, scalars.dst_width, scalars.dst_height);
    if (!out) return to_py_err(out.error());
    // Flags are 0/1 bytes, the layout of a NumPy bool array.
    return new_array({static_cast<Py_ssize_t>(out->height), static_cast<Py_ssize_t>(out->width)}, "bool",
                     out->flags.data(), out->flags.size());
}

// The shared scalars of the text signatures.
constexpr const char* kScalarsSignature =
    "src_focal_px, src_cx, src_cy, dst_focal_px, dst_cx, dst_cy, dst_width, dst_height, "
    "src_fisheye_fov_deg=None, src_k1=0.0, src_k2=0.0, src_k3=0.0, src_k4=0.0, dst_fisheye_fov_deg=None, "
    "dst_k1=0.0, dst_k2=0.0, dst_k3=0.0, dst_k4=0.0";

}  // namespace

PyMethodDef remap_image_def = method_def<remap_image_impl>(
    "remap_image",
    [] {
        static const std::string doc =
            std::string("remap_image(image, ") + kScalarsSignature +
            ", fill=0)\n--\n\n"
            "Reproject an image from one camera model to another, for example a bench\n"
            "fisheye frame into the circular all-sky form a segmentation model was\n"
            "trained on.\n\n"
            "Both cameras share one boresight orientation (both rigs look straight up),\n"
            "so no rotation is applied. Each destination pixel is mapped to a\n"
            "camera-frame direction by the destination camera, projected back through\n"
            "the source camera, and the source is sampled there bilinearly (rounded to\n"
            "the nearest count, halves up). fill is written wherever the destination\n"
            "pixel images nothing: outside the destination lens's own field (the\n"
            "corners beyond an all-sky circle), outside the source lens's field, or off\n"
            "the source frame.\n\n"
            "The src_ and dst_ camera scalars follow exactly the rules of resolve_fix:\n"
            "fisheye_fov_deg=None is a pinhole of focal length focal_px; a field of\n"
            "view with k1..k4 all 0 is the ideal equidistant fisheye, whose focal fills\n"
            "the shorter image dimension (pass focal_px=None); any k non-zero is a\n"
            "calibrated fisheye with focal_px its real radial scale. The source's\n"
            "shorter dimension is that of the image, the destination's\n"
            "min(dst_width, dst_height).\n\n"
            "image: a 2-D C-contiguous uint16 array, or uint8 widened by 257.\n"
            "fill: 0 to 65535.\n"
            "Returns a new (dst_height, dst_width) uint16 array. A source buffer that\n"
            "does not match its shape, or an extent over 2^28 pixels on either side,\n"
            "is refused with HalvaneError.";
        return doc.c_str();
    }());

PyMethodDef remap_mask_def = method_def<remap_mask_impl>(
    "remap_mask",
    [] {
        static const std::string doc =
            std::string("remap_mask(mask, ") + kScalarsSignature +
            ")\n--\n\n"
            "Reproject an exclusion mask the way remap_image reprojects a frame, for\n"
            "example carrying a mask predicted on the all-sky form back to camera\n"
            "pixels for resolve_fix(mask=...), with the same camera rules and geometry.\n"
            "It is resampled nearest-neighbour, so no destination pixel takes a value\n"
            "between the two states.\n\n"
            "True means excluded (not sky). A destination pixel that images nothing is\n"
            "True, so uncovered sky is excluded rather than silently trusted.\n\n"
            "mask: a 2-D C-contiguous bool array.\n"
            "Returns a new (dst_height, dst_width) bool array, with the same extent\n"
            "refusals as remap_image.";
        return doc.c_str();
    }());

}  // namespace halvane::py
