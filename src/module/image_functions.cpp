// detect_centroids, detect_centroids_matched and foreground_mask: the
// engine's image detectors on NumPy frames.
#include <optional>
#include <vector>

#include "arrays.hpp"
#include "binder.hpp"
#include "centroid.hpp"
#include "matched_filter.hpp"
#include "convert.hpp"
#include "mask.hpp"
#include "module.hpp"

namespace halvane::py {

namespace {

constexpr auto kDetectCentroidsSig = signature("detect_centroids", {{"image"}, {"max_count"}, {"mask", "None"}});
constexpr auto kDetectCentroidsMatchedSig =
    signature("detect_centroids_matched", {{"image"}, {"max_count"}, {"psf_sigma_px"}});
constexpr auto kForegroundMaskSig = signature("foreground_mask", {{"image"}});

// (x, y, flux) float tuples in the engine's order.
PyObject* centroid_list(const std::vector<Centroid>& centroids) {
    return new_list(centroids, [](const Centroid& c) { return Py_BuildValue("(ddd)", c.x, c.y, c.flux); });
}

PyObject* detect_centroids_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* image_arg = nullptr;
    std::uint64_t max_count = 0;
    PyObject* mask_arg = Py_None;
    if (!bind<kDetectCentroidsSig>(args, kwargs, arg<"image">(image_arg), arg<"max_count">(max_count),
                                   arg<"mask">(mask_arg)))
        return nullptr;
    OwnedImage image;
    if (!extract_u16_image(image_arg, image)) return nullptr;
    std::optional<OwnedMask> mask;
    if (!extract_optional_mask(mask_arg, mask)) return nullptr;
    const std::optional<MaskView> mask_view = mask ? std::optional(mask->view()) : std::nullopt;
    return value_or_error(detect_centroids_masked(image.view(), max_count, mask_view, interrupt_on_signal()), centroid_list);
}

PyObject* detect_centroids_matched_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* image_arg = nullptr;
    std::uint64_t max_count = 0;
    double psf_sigma_px = 0.0;
    if (!bind<kDetectCentroidsMatchedSig>(args, kwargs, arg<"image">(image_arg), arg<"max_count">(max_count),
                                          arg<"psf_sigma_px">(psf_sigma_px)))
        return nullptr;
    if (!check_psf_sigma_px(psf_sigma_px)) return nullptr;  // before the image is looked at
    OwnedImage image;
    if (!extract_u16_image(image_arg, image)) return nullptr;
    return value_or_error(detect_centroids_matched(image.view(), max_count, psf_sigma_px, interrupt_on_signal()), centroid_list);
}

PyObject* foreground_mask_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* image_arg = nullptr;
    if (!bind<kForegroundMaskSig>(args, kwargs, arg<"image">(image_arg))) return nullptr;
    OwnedImage image;
    if (!extract_u16_image(image_arg, image)) return nullptr;
    const auto mask = foreground_mask(image.view(), interrupt_on_signal());
    // The frame's copy is no longer needed: freed before the result array is
    // made, it does not add to the call's peak.
    image = OwnedImage{};
    return value_or_error(mask, mask_array);
}

PyMethodDef detect_centroids_def = method_def<detect_centroids_impl, kDetectCentroidsSig>(
    R"(Star centroids as a list of (x, y, flux) float tuples, brightest first,
at most max_count of them. x is the column and y the row, in pixels, with
pixel (i, j) centred on (i, j); flux is the background-subtracted sum over
the star's pixels.

image: a 2-D C-contiguous numpy array, uint16 (full scale 65535) or uint8
(widened to 16-bit by 257).
mask: None, or a 2-D bool array of the image's own shape where True marks
a pixel that is not sky (a tree, a roof, a cloud flagged by a segmentation
model). A masked pixel seeds no component and joins none, and feeds
neither the background mesh nor the noise estimate; a component that
reaches the mask is dropped whole, as one that reaches the frame edge is.
This replaces filling masked pixels with the frame median before the
call, which still lets the mesh sample the flat patch and cannot drop a
star cut by the obstruction. A mask of another shape is refused.

Stars are 4-connected components of 3 to 400 pixels at least
max(5 robust sigma, 2048) above a 32 px tiled-median background, placed
to sub-pixel precision by a log-parabola fit of their marginal profiles.)");

PyMethodDef detect_centroids_matched_def = method_def<detect_centroids_matched_impl, kDetectCentroidsMatchedSig>(
    R"(Star centroids from a Gaussian matched filter of width psf_sigma_px, as
(x, y, flux) float tuples, brightest first, at most max_count of them.
Meant for PSFs of 1 to 2 px sigma, which the blob detector of
detect_centroids rejects because its 3-pixel minimum area exceeds their
footprint.

The filter rejects junk smaller than the template (a hot pixel must be
pi * psf_sigma_px**2 times brighter than a star's peak to outrank it) and
barely demotes extended structure (a cloud edge much brighter than a star
still outranks it; exclude foreground with a mask on the other paths).
It subtracts the same tiled-median background, convolves with the
Gaussian, takes 5x5 local maxima at least 4 robust sigma of the filtered
surface above zero and refines each by a log-parabola fit. flux is the
filtered peak value, not comparable with the flux of detect_centroids.
There is no mask parameter.

image: as for detect_centroids (2-D uint16, or uint8 widened by 257).
psf_sigma_px: finite and in (0, 64]. The engine takes the width on trust,
so the range is enforced here; 64 px is far above any real star PSF and
above the widest defocus worth filtering for.)");

PyMethodDef foreground_mask_def = method_def<foreground_mask_impl, kForegroundMaskSig>(
    R"(Exclusion mask derived from the frame by bright-pixel density, as a new
(height, width) bool array with True for "not sky", ready for the mask
parameter of detect_centroids and of the solve functions.

A pixel more than 2.5 robust sigma above the frame median is bright; a
pixel whose 61 px box holds more than 10 per cent bright pixels is
foreground; the result grows by 15 px (city-block). A single star's PSF
covers well under one per cent of the box, so stars never trip it.

image: as for detect_centroids (2-D uint16, or uint8 widened by 257).)");

}  // namespace

HALVANE_REGISTRATIONS(image_registrations, exported_function(9, detect_centroids_def, "list[tuple[float, float, float]]"),
                                           exported_function(10, detect_centroids_matched_def, "list[tuple[float, float, float]]"),
                                           exported_function(11, foreground_mask_def, "npt.NDArray[np.bool_]"))

}  // namespace halvane::py
