// The pixel passes that prepare a real photograph for star detection: the
// star-scale background removal, the cut below a chosen altitude and the
// glare guard.
//
// Real night skies hold light that outshines stars without being stars:
// aurora, airglow, Moon glare, twilight gradients, a lit horizon, the edge of
// a dome. The detectors rank by brightness, so these passes take away what
// is wider than a star and mark what is not sky before detection runs.
// Frames are 16-bit (full scale 65535) as everywhere in the engine.
#pragma once

#include <cstddef>
#include <cstdint>

#include "error.hpp"
#include "image.hpp"
#include "plate.hpp"
#include "vector.hpp"
#include "work.hpp"

namespace halvane {

// Star-scale background removal: the frame minus its largest opening by a
// straight line of line_px pixels in the four directions (horizontal,
// vertical, both diagonals). A star is compact, so no such line fits inside
// it and it keeps its full height; a gradient, a glare halo, an aurora arc
// or a ray is long in at least one direction, so the line fits and it is
// taken away. The result is never above the frame and never negative.
//
// image:   the frame (shape checked).
// line_px: odd, 3 to 255; about three times a star's full width is right
//          (a longer line keeps more of wide structures, a shorter one
//          starts to flatten bright stars).
// Returns an owned frame of the same shape.
// Errors: BadImage "{w}x{h} does not match {n} pixels" for an empty or
// inconsistent frame; BadImage "line_px must be odd and in 3..255 (got {n})".
//
// Each pass below takes `cancel`, asks it once per row (see RowPoll) and
// throws Interrupted when it answers true.
Result<OwnedImage> remove_extended_light(const ImageView& image, std::size_t line_px, Cancellation cancel = {});

// The pixels whose direction stands below min_altitude_rad above the
// horizon given by up_cam (the local vertical in the camera frame, any
// non-zero length), and for fisheyes every pixel at or beyond half the
// field of view (outside the image circle). Directions come from
// camera.pixel_to_vec, tabulated along the radius every quarter pixel and
// interpolated, which every projection of plate allows (each is radial
// about the principal point).
//
// Returns width * height flags, 1 = not sky.
// Errors, in this order: DegenerateUp for a zero or non-finite up_cam;
// BadImage "a {w}x{h} mask is empty or too large" when width or height is
// 0 or their product overflows; BadImage "mask {w}x{h} is {n} pixels, over
// the 268435456 limit" (see pixel_count); BadImage "cx must lie within 10
// frame sizes of the mask, -{reach} to {w + reach} px on this {w} px wide
// mask (got {cx})" where reach is 10 times the larger side, then the same
// for cy ("high"): a principal point that far off is no lens, and a
// non-finite one is refused alike.
Result<OwnedMask> below_altitude_mask(const Camera& camera, const Vec3& up_cam, std::size_t width,
                                      std::size_t height, double min_altitude_rad, Cancellation cancel = {});

// Glare guard: the neighbourhood of every large saturated area (the Moon, a
// street lamp, a lit window), which a background removal cannot flatten
// because its core is a clipped plateau with hard edges. Pixels at or above
// 98 per cent of the frame's maximum are saturated; the frame is cut into
// 8 x 8 px blocks, a block whose 3 x 3 block neighbourhood holds at least
// min_saturated_px saturated pixels is glare, and every block within
// margin_px (rounded up to whole blocks) of a glare block is masked. A
// single bright star saturates a few pixels and stays.
//
// Returns width * height flags, 1 = not sky (all 0 for a black frame).
// Errors: BadImage for an empty or inconsistent frame (text as above);
// BadImage "min_saturated_px must be positive" for 0.
Result<OwnedMask> glare_mask(const ImageView& image, std::size_t min_saturated_px, std::size_t margin_px,
                             Cancellation cancel = {});

}  // namespace halvane
