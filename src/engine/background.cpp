#include "background.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <span>

#include "statistics.hpp"

namespace halvane {

namespace {

constexpr std::size_t kTile = 32;
// Passes with no rows ask for cancellation every this many pixels.
constexpr std::size_t kPollPixels = std::size_t{1} << 16;

// Tile centres along one axis: the midpoint of the first and last pixel
// each tile covers, so a partial last tile is centred on its own pixels.
std::vector<double> tile_centres(std::size_t extent) {
    const std::size_t tiles = std::max<std::size_t>(1, (extent + kTile - 1) / kTile);
    std::vector<double> centres(tiles);
    for (std::size_t i = 0; i < tiles; ++i) {
        const std::size_t last = std::min(extent, kTile * (i + 1)) - 1;
        centres[i] = static_cast<double>(kTile * i + last) / 2.0;
    }
    return centres;
}

// The bracket of every position along one axis; flat (both on the same
// tile, fraction 0) beyond the last centre.
std::vector<BackgroundMesh::Bracket> brackets(const std::vector<double>& centres, std::size_t extent) {
    std::vector<BackgroundMesh::Bracket> out(extent);
    const std::size_t last = centres.size() - 1;
    std::size_t i = 1;  // smallest index >= 1 with centres[i] > position
    for (std::size_t position = 0; position < extent; ++position) {
        const double p = static_cast<double>(position);
        while (i <= last && !(centres[i] > p)) ++i;
        if (i <= last) {
            const double f = (p - centres[i - 1]) / (centres[i] - centres[i - 1]);
            out[position] = {i - 1, i, std::clamp(f, 0.0, 1.0)};
        } else {
            out[position] = {last, last, 0.0};
        }
    }
    return out;
}

// Tile medians, nx per mesh row; a tile without a usable pixel takes the
// median of every unmasked pixel of the frame.
std::vector<double> tile_medians(const ImageView& image, const std::uint8_t* flags, std::size_t nx, std::size_t ny,
                                 RowPoll& poll) {
    const std::size_t width = image.width;
    const std::size_t height = image.height;
    std::vector<double> mesh(nx * ny);
    std::array<std::uint16_t, kTile * kTile> samples;
    bool any_empty = false;
    for (std::size_t j = 0; j < ny; ++j) {
        poll();
        const std::size_t y_end = std::min(height, kTile * (j + 1));
        for (std::size_t i = 0; i < nx; ++i) {
            const std::size_t x_begin = kTile * i;
            const std::size_t x_end = std::min(width, kTile * (i + 1));
            std::size_t n = 0;
            for (std::size_t y = kTile * j; y < y_end; ++y) {
                const std::uint16_t* row = &image.pixels[y * width];
                if (flags == nullptr) {
                    std::copy(row + x_begin, row + x_end, samples.begin() + static_cast<std::ptrdiff_t>(n));
                    n += x_end - x_begin;
                } else {
                    const std::uint8_t* masked = &flags[y * width];
                    for (std::size_t x = x_begin; x < x_end; ++x) {
                        samples[n] = row[x];
                        n += masked[x] == 0 ? 1 : 0;
                    }
                }
            }
            if (n == 0) {
                mesh[j * nx + i] = std::nan("");
                any_empty = true;
            } else {
                mesh[j * nx + i] = nth_u16(std::span(samples.data(), n), n / 2);
            }
        }
    }
    if (any_empty) {
        std::vector<std::size_t> histogram(65536, 0);
        std::size_t usable = 0;
        for (std::size_t p = 0; p < image.pixels.size(); ++p) {
            if (p % kPollPixels == 0) poll();
            if (flags != nullptr && flags[p] != 0) continue;
            ++histogram[image.pixels[p]];
            ++usable;
        }
        const double fallback = usable == 0 ? 0.0 : static_cast<double>(nth_in_histogram(histogram, usable / 2));
        for (double& value : mesh)
            if (std::isnan(value)) value = fallback;
    }
    return mesh;
}

}  // namespace

BackgroundMesh::BackgroundMesh(const ImageView& image, std::optional<MaskView> mask, Cancellation cancel)
    : width_(image.width) {
    RowPoll poll(cancel);
    const std::vector<double> cx = tile_centres(image.width);
    const std::vector<double> cy = tile_centres(image.height);
    const std::size_t nx = cx.size();
    const std::size_t ny = cy.size();
    const std::vector<double> mesh = tile_medians(image, mask ? mask->flags.data() : nullptr, nx, ny, poll);
    const std::vector<Bracket> across = brackets(cx, image.width);
    down_ = brackets(cy, image.height);
    // The horizontal mixes change only from one mesh row to the next, so
    // each is made once and every pixel then costs one vertical mix.
    mixed_.resize(ny * width_);
    for (std::size_t j = 0; j < ny; ++j) {
        const double* tiles = &mesh[j * nx];
        double* out = &mixed_[j * width_];
        for (std::size_t x = 0; x < width_; ++x) out[x] = mix(tiles[across[x].lo], tiles[across[x].hi], across[x].fraction);
    }
}

void BackgroundMesh::row(std::size_t y, double* out) const {
    const Bracket& v = down_[y];
    const double* upper = &mixed_[v.lo * width_];
    const double* lower = &mixed_[v.hi * width_];
    for (std::size_t x = 0; x < width_; ++x) out[x] = mix(upper[x], lower[x], v.fraction);
}

// Every detector's first look at a row, so it is built for wider registers
// where the processor has them (the same operations, hence the same values).
HALVANE_AVX2_CLONES void BackgroundMesh::residual_row(std::size_t y,
                                                                                  const std::uint16_t* pixels,
                                                                                  double* out) const {
    const Bracket& v = down_[y];
    const double* upper = &mixed_[v.lo * width_];
    const double* lower = &mixed_[v.hi * width_];
    for (std::size_t x = 0; x < width_; ++x)
        out[x] = static_cast<double>(pixels[x]) - mix(upper[x], lower[x], v.fraction);
}

std::vector<double> estimate_background(const ImageView& image, std::optional<MaskView> mask) {
    const BackgroundMesh mesh(image, mask);
    std::vector<double> background(image.width * image.height);
    for (std::size_t y = 0; y < image.height; ++y) mesh.row(y, &background[y * image.width]);
    return background;
}

}  // namespace halvane
