// The solar disc: the largest bright region of a frame. Pixel coordinates
// and 16-bit units as in centroid.hpp.
#pragma once

#include <cstddef>
#include <optional>

#include "centroid.hpp"
#include "error.hpp"
#include "image.hpp"
#include "work.hpp"

namespace halvane {

// Solar disc: the largest 4-connected region (ties to the first seed in
// row-major order) of unmasked pixels at or above median + max(5 robust
// sigma, 2048) of the unmasked pixels, with at least min_area pixels. A
// region may touch the frame edge or the mask (the disc may be cut).
// Returns its excess-weighted centre with flux = summed excess over the
// median, or nothing: no qualifying region, an empty or inconsistent frame,
// or a mask of another shape. Never fails, but throws Interrupted when
// `cancel` (asked every block of pixels, see RowPoll) answers true.
std::optional<Centroid> detect_sun_masked(const ImageView& image, std::size_t min_area,
                                          std::optional<MaskView> mask = std::nullopt, Cancellation cancel = {});

}  // namespace halvane
