// Camera-to-camera remapping of frames and exclusion masks.
//
// Both cameras share one orientation (no rotation is applied): every
// destination pixel (x, y), evaluated at its integer coordinates, takes the
// direction dst.pixel_to_vec(x, y); where the destination lens images that
// direction itself and src.vec_to_pixel projects it to (sx, sy) with
// -0.5 <= sx < source width - 0.5 and -0.5 <= sy < source height - 0.5, the
// source is sampled at (sx, sy) clamped to the outermost pixel centres (the
// half pixel beyond an edge centre repeats the edge pixel). Everywhere else
// the destination keeps a fill value.
//
// Both frames are limited to kMaxRemapPixels, checked before the
// destination is allocated. Every error is BadImage. Both passes ask
// `cancel` once per destination row (see RowPoll) and throw Interrupted
// when it answers true.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "image.hpp"
#include "error.hpp"
#include "plate.hpp"
#include "work.hpp"

namespace halvane {

inline constexpr std::size_t kMaxRemapPixels = std::size_t{1} << 28;

// width * height, for the frame named `label` ("source image", ...).
// Errors: "{label} {width}x{height} overflows a pixel count" when the
// product overflows 64 bits, then "{label} {width}x{height} is {count}
// pixels, over the 268435456 limit"; exactly 2^28 is accepted.
Result<std::size_t> pixel_count(std::string_view label, std::size_t width, std::size_t height);

// The frame `image` seen through `dst`, dst_width x dst_height, row-major.
// Sampling is bilinear, taken to the nearest integer with halves away from
// zero; `fill` is written where the destination images nothing.
// Errors, in this order: the source's pixel_count ("source image"), then
// "source image {width}x{height} does not match {pixel count} pixels" when
// the buffer length differs, then the destination's pixel_count
// ("destination image").
Result<OwnedImage> remap_image(const ImageView& image, const Camera& src, const Camera& dst,
                               std::size_t dst_width, std::size_t dst_height, std::uint16_t fill,
                               Cancellation cancel = {});

// The exclusion mask `mask` seen through `dst`, as remap_image but with the
// nearest source flag (halves away from zero), so no pixel takes a value
// between the two states. A destination pixel that images nothing is 1
// (not sky): uncovered sky counts as excluded. Flags come out as 0 or 1.
// Errors as remap_image, with "source mask" / "destination mask" and
// "source mask {width}x{height} does not match {flag count} pixels".
Result<OwnedMask> remap_mask(const MaskView& mask, const Camera& src, const Camera& dst,
                             std::size_t dst_width, std::size_t dst_height, Cancellation cancel = {});

}  // namespace halvane
