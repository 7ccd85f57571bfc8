// The sky background under the stars: a mesh of tile medians, interpolated
// bilinearly between tile centres.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "image.hpp"
#include "work.hpp"

namespace halvane {

// Background mesh: the median of every 32 x 32 tile (tiles aligned to the
// top-left corner, partial tiles at the right and bottom; the median is
// element n / 2 of the tile's sorted usable values), interpolated bilinearly
// between tile centres and held flat beyond the outermost centres. Masked
// pixels never feed a tile; a tile with no usable pixel takes the median of
// every unmasked pixel of the frame (0.0 when there is none).
//
// Built once per frame, it hands out the background row by row or pixel by
// pixel (the same values either way) so that callers need not keep a
// frame-sized copy. Holds about a quarter of a byte per pixel.
class BackgroundMesh {
public:
    // image: a frame whose pixel count is width * height, neither 0 (the
    //        callers check; this assumes it).
    // mask:  optional, same shape (checked by the caller; only flags are
    //        read).
    // cancel: asked once per mesh row; throws Interrupted when it answers
    //        true.
    BackgroundMesh(const ImageView& image, std::optional<MaskView> mask, Cancellation cancel = {});

    // Writes the width background values of row y to out.
    void row(std::size_t y, double* out) const;

    // Writes the width residuals pixels[x] - background of row y to out,
    // where pixels is row y of the frame the mesh was built from.
    void residual_row(std::size_t y, const std::uint16_t* pixels, double* out) const;

    // The background at pixel (x, y), in 16-bit units.
    double at(std::size_t x, std::size_t y) const {
        const Bracket& v = down_[y];
        return mix(mixed_[v.lo * width_ + x], mixed_[v.hi * width_ + x], v.fraction);
    }

    // The interpolation bracket of a position along one axis: the two tile
    // indices and the clamped fraction between their centres.
    struct Bracket {
        std::size_t lo = 0;
        std::size_t hi = 0;
        double fraction = 0.0;
    };

    // a + f (b - a) rather than (1 - f) a + f b: equal values mix to exactly
    // themselves, so a flat sky leaves a residual of exactly 0 instead of
    // rounding noise that the detectors would pick up.
    static double mix(double a, double b, double f) { return a + f * (b - a); }

private:
    std::size_t width_;
    std::vector<Bracket> down_;  // per row
    std::vector<double> mixed_;  // every mesh row mixed across the columns: rows of width values
};

// The whole background, width * height values, row-major, in 16-bit units.
std::vector<double> estimate_background(const ImageView& image, std::optional<MaskView> mask = std::nullopt);

}  // namespace halvane
