// Frames and masks as the detectors see them: read-only views, owned
// buffers, and the checks that a view's shape is consistent.
//
// Pixel (x, y) is element y * width + x: x is the column, y the row
// (growing downwards). Frames are 16-bit with full scale 65535; 8-bit
// frames are widened by 257 before they get here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"

namespace halvane {

// A read-only grey frame, row-major: pixels[y * width + x]. Does not own.
struct ImageView {
    std::span<const std::uint16_t> pixels;
    std::size_t width = 0;
    std::size_t height = 0;
};

// A read-only exclusion mask laid out like its frame. A non-zero flag marks
// a pixel that is not sky (foreground, obstruction) and must not be used.
// Bytes rather than bool so that any byte pattern read from outside is a
// valid value. Does not own.
struct MaskView {
    std::span<const std::uint8_t> flags;
    std::size_t width = 0;
    std::size_t height = 0;
};

// Owned counterparts of the views, for converted inputs and for results
// such as a computed mask: plain buffers plus their shape.
struct OwnedImage {
    std::vector<std::uint16_t> pixels;
    std::size_t width = 0;
    std::size_t height = 0;
    ImageView view() const { return {pixels, width, height}; }
};

struct OwnedMask {
    std::vector<std::uint8_t> flags;  // 0 = sky, 1 = not sky
    std::size_t width = 0;
    std::size_t height = 0;
    MaskView view() const { return {flags, width, height}; }
};

// Succeeds when width and height are both non-zero and their product equals
// the pixel count (an overflowing product never does). Error: BadImage
// "{width}x{height} does not match {pixel count} pixels".
Result<void> check_frame_shape(const ImageView& image);

// Succeeds when the mask has the frame's width, height and pixel count.
// Error: BadImage "mask {w}x{h} ({n} flags) does not match the {W}x{H}
// frame".
Result<void> check_mask_shape(const MaskView& mask, const ImageView& image);

}  // namespace halvane
