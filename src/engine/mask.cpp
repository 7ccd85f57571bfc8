#include "mask.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "statistics.hpp"

namespace halvane {

namespace {

constexpr double kBrightSigmas = 2.5;
constexpr std::size_t kBoxHalf = 30;
constexpr std::size_t kBoxEdge = 2 * kBoxHalf + 1;
constexpr std::uint32_t kBoxArea = kBoxEdge * kBoxEdge;  // 3721
constexpr std::uint8_t kGrowth = 15;
// Distances saturate here: only "within kGrowth" matters, and
// min(min(d, cap) + 1, cap) = min(d + 1, cap), so capping keeps the
// two-pass transform exact for that test (and the distances in a byte).
constexpr std::uint8_t kFar = kGrowth + 1;

// mirror[e] is the in-line position of offset e - (kBoxHalf + 1), for
// offsets -(kBoxHalf + 1) .. length + kBoxHalf - 1: positions outside the
// line fold back with the edge sample repeated, as often as needed.
std::vector<std::size_t> mirror_table(std::size_t length) {
    const auto n = static_cast<std::ptrdiff_t>(length);
    const auto before = static_cast<std::ptrdiff_t>(kBoxHalf + 1);
    std::vector<std::size_t> table(length + kBoxEdge);
    for (std::size_t e = 0; e < table.size(); ++e) {
        std::ptrdiff_t j = static_cast<std::ptrdiff_t>(e) - before;
        while (j < 0 || j >= n) j = j < 0 ? -j - 1 : 2 * n - j - 1;
        table[e] = static_cast<std::size_t>(j);
    }
    return table;
}

}  // namespace

Result<OwnedMask> foreground_mask(const ImageView& image) {
    if (auto shape = check_frame_shape(image); !shape) return std::unexpected(shape.error());
    const std::size_t width = image.width;
    const std::size_t height = image.height;
    const std::size_t count = image.pixels.size();

    // True median and median absolute deviation from histograms; the
    // deviation is counted doubled so that a half-integer median keeps it
    // integral (|2v - 2 median| <= 2^17 - 2).
    double threshold = 0.0;
    {
        std::vector<std::size_t> histogram(std::size_t{1} << 16, 0);
        for (std::uint16_t v : image.pixels) ++histogram[v];
        const MiddlePair middle = middle_pair(histogram, count);
        const double median = static_cast<double>(middle.lo + middle.hi) / 2.0;
        const auto doubled_median = static_cast<std::int64_t>(middle.lo + middle.hi);
        histogram.assign(std::size_t{1} << 17, 0);
        for (std::uint16_t v : image.pixels) {
            const std::int64_t e = 2 * static_cast<std::int64_t>(v) - doubled_median;
            ++histogram[static_cast<std::size_t>(e < 0 ? -e : e)];
        }
        const MiddlePair deviation = middle_pair(histogram, count);
        threshold = median + static_cast<double>(deviation.lo + deviation.hi) * 0.25 * kMadToSigma * kBrightSigmas;
    }

    // Bright pixels counted along each row's mirrored 61-sample window. The
    // box mean is compared against 10 per cent as a whole count (more than
    // 372.1 of 3721), which is the same test without rounding.
    std::vector<std::uint8_t> bright(count);
    for (std::size_t p = 0; p < count; ++p) bright[p] = static_cast<double>(image.pixels[p]) > threshold ? 1 : 0;
    std::vector<std::uint8_t> row_counts(count);
    const std::vector<std::size_t> across = mirror_table(width);
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* in = &bright[y * width];
        std::uint8_t* out = &row_counts[y * width];
        // across[e] holds offset e - 31, so offsets -30..30 are e = 1..61.
        unsigned window = 0;
        for (std::size_t e = 1; e <= kBoxEdge; ++e) window += in[across[e]];
        out[0] = static_cast<std::uint8_t>(window);
        for (std::size_t x = 1; x < width; ++x) {
            window += in[across[x + kBoxEdge]];  // offset x + 30
            window -= in[across[x]];             // offset x - 31
            out[x] = static_cast<std::uint8_t>(window);
        }
    }
    std::vector<std::uint8_t>().swap(bright);

    // Column windows slide down the rows; every foreground pixel starts at
    // distance 0, every other one far.
    std::vector<std::uint8_t> distance(count);
    const std::vector<std::size_t> down = mirror_table(height);
    std::vector<std::uint32_t> box(width, 0);
    for (std::size_t e = 1; e <= kBoxEdge; ++e) {
        const std::uint8_t* row = &row_counts[down[e] * width];
        for (std::size_t x = 0; x < width; ++x) box[x] += row[x];
    }
    for (std::size_t y = 0; y < height; ++y) {
        if (y > 0) {
            const std::uint8_t* entering = &row_counts[down[y + kBoxEdge] * width];
            const std::uint8_t* leaving = &row_counts[down[y] * width];
            for (std::size_t x = 0; x < width; ++x) box[x] = box[x] + entering[x] - leaving[x];
        }
        std::uint8_t* out = &distance[y * width];
        for (std::size_t x = 0; x < width; ++x) out[x] = box[x] * 10 > kBoxArea ? 0 : kFar;
    }
    std::vector<std::uint8_t>().swap(row_counts);

    // Exact city-block distance by two raster passes. Each pass takes the
    // neighbour across rows first (independent per pixel, so it vectorises)
    // and then the one along the row (a running chain). Values never exceed
    // kFar, since each starts at 0 or kFar and only decreases.
    for (std::size_t y = 0; y < height; ++y) {
        std::uint8_t* row = &distance[y * width];
        if (y > 0) {
            const std::uint8_t* up = row - width;
            for (std::size_t x = 0; x < width; ++x)
                row[x] = std::min<std::uint8_t>(row[x], static_cast<std::uint8_t>(up[x] + 1));
        }
        std::uint8_t previous = row[0];
        for (std::size_t x = 1; x < width; ++x) {
            previous = std::min<std::uint8_t>(row[x], static_cast<std::uint8_t>(previous + 1));
            row[x] = previous;
        }
    }
    for (std::size_t y = height; y-- > 0;) {
        std::uint8_t* row = &distance[y * width];
        if (y + 1 < height) {
            const std::uint8_t* below = row + width;
            for (std::size_t x = 0; x < width; ++x)
                row[x] = std::min<std::uint8_t>(row[x], static_cast<std::uint8_t>(below[x] + 1));
        }
        std::uint8_t previous = row[width - 1];
        for (std::size_t x = width - 1; x-- > 0;) {
            previous = std::min<std::uint8_t>(row[x], static_cast<std::uint8_t>(previous + 1));
            row[x] = previous;
        }
    }
    for (std::uint8_t& d : distance) d = d <= kGrowth ? 1 : 0;
    return OwnedMask{std::move(distance), width, height};
}

}  // namespace halvane
