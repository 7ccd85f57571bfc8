// Foreground (obstruction) mask derived from a frame alone, by bright-pixel
// density: trees, roofs and furniture are dense clusters of bright pixels,
// while a star is an isolated point.
#pragma once

#include "error.hpp"
#include "image.hpp"
#include "work.hpp"

namespace halvane {

// A pixel is bright when it exceeds the frame's true median (the mean of the
// two middle values for an even count) by more than 2.5 robust sigma
// (1.4826 times the median absolute deviation). A pixel is foreground when
// more than 10 per cent of the 61 x 61 box centred on it is bright, the box
// being mirrored at the frame edges (d c b a | a b c d | d c b a, folded
// again for lines shorter than the box). The result marks every pixel
// within city-block distance 15 of a foreground pixel (a diamond-shaped
// growth).
//
// image: the frame; all pixels are used.
// Returns width * height flags, row-major, 1 = not sky; all zero for a frame
// without foreground. Errors: BadImage "{w}x{h} does not match {n} pixels"
// for an empty or inconsistent frame. cancel: asked once per row of every
// pass (see RowPoll); throws Interrupted when it answers true.
Result<OwnedMask> foreground_mask(const ImageView& image, Cancellation cancel = {});

}  // namespace halvane
