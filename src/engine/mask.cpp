#include "mask.hpp"

#include <algorithm>
#include <cmath>
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


// The brightness threshold: median + 2.5 robust sigma, with the true
// median and median absolute deviation (means of the two middle values for
// an even count). One pass counts the values; the deviations' histogram,
// doubled (a half-integer median keeps them whole), follows from it.
double bright_threshold(const ImageView& image, RowPoll& poll) {
    const std::size_t count = image.pixels.size();
    std::vector<std::size_t> values(std::size_t{1} << 16, 0);
    for (std::size_t y = 0; y < image.height; ++y) {
        poll();
        const std::uint16_t* row = &image.pixels[y * image.width];
        for (std::size_t x = 0; x < image.width; ++x) ++values[row[x]];
    }
    const MiddlePair middle = middle_pair(values, count);
    const double median = static_cast<double>(middle.lo + middle.hi) / 2.0;
    const MiddlePair deviation = middle_pair(doubled_deviations(values, middle.lo + middle.hi), count);
    return median + static_cast<double>(deviation.lo + deviation.hi) * 0.25 * kMadToSigma * kBrightSigmas;
}

// For each position x of a line, the least d[x - k] + k over k = 0..15
// (positions before the line's start left out): the running minimum
// d[x] = min(d[x], d[x - 1] + 1) of a raster pass, for values capped at
// kFar, found in four doubling steps that need no running chain. With
// `backward`, the same from the other end. Exact: every k below 16 is a
// sum of distinct steps 1, 2, 4 and 8, and larger k never win under the
// cap.
void spread_along(std::uint8_t* line, std::uint8_t* scratch, std::size_t n, bool backward) {
    std::uint8_t* from = line;
    std::uint8_t* to = scratch;
    for (std::size_t step = 1; step <= 8; step *= 2) {
        const auto cost = static_cast<std::uint8_t>(step);
        const std::size_t kept = std::min(step, n);
        if (backward) {
            for (std::size_t x = 0; x + step < n; ++x)
                to[x] = std::min<std::uint8_t>(from[x], static_cast<std::uint8_t>(from[x + step] + cost));
            std::copy(from + n - kept, from + n, to + n - kept);
        } else {
            std::copy(from, from + kept, to);
            for (std::size_t x = step; x < n; ++x)
                to[x] = std::min<std::uint8_t>(from[x], static_cast<std::uint8_t>(from[x - step] + cost));
        }
        std::swap(from, to);
    }
    // Four steps: the result is back in `line`.
}

}  // namespace

Result<OwnedMask> foreground_mask(const ImageView& image, Cancellation cancel) {
    if (auto shape = check_frame_shape(image); !shape) return std::unexpected(shape.error());
    const std::size_t width = image.width;
    const std::size_t height = image.height;
    const std::size_t count = image.pixels.size();

    // A whole-valued pixel exceeds t exactly when it exceeds floor(t).
    RowPoll poll(cancel);
    const double threshold = bright_threshold(image, poll);
    const auto bright_above =
        static_cast<std::uint16_t>(std::min(std::floor(threshold), static_cast<double>(0xFFFF)));

    // Bright pixels counted along each row's mirrored 61-sample window, a
    // row at a time into a ring of the rows the column windows still need.
    // The box mean is compared against 10 per cent as a whole count (more
    // than 372.1 of 3721), which is the same test without rounding.
    const std::vector<std::size_t> across = mirror_table(width);
    std::vector<std::uint8_t> bright(width);
    const std::size_t ring_rows = std::min(height, kBoxEdge + 1);
    std::vector<std::uint8_t> ring(ring_rows * width);
    std::size_t rows_counted = 0;
    auto row_counts = [&](std::size_t y) -> const std::uint8_t* {
        for (; rows_counted <= y; ++rows_counted) {
            const std::uint16_t* pixels = &image.pixels[rows_counted * width];
            for (std::size_t x = 0; x < width; ++x) bright[x] = pixels[x] > bright_above ? 1 : 0;
            std::uint8_t* out = &ring[(rows_counted % ring_rows) * width];
            // across[e] holds offset e - 31, so offsets -30..30 are e = 1..61.
            unsigned window = 0;
            for (std::size_t e = 1; e <= kBoxEdge; ++e) window += bright[across[e]];
            out[0] = static_cast<std::uint8_t>(window);
            for (std::size_t x = 1; x < width; ++x) {
                window += bright[across[x + kBoxEdge]];  // offset x + 30
                window -= bright[across[x]];             // offset x - 31
                out[x] = static_cast<std::uint8_t>(window);
            }
        }
        return &ring[(y % ring_rows) * width];
    };

    // Column windows slide down the rows; every foreground pixel starts at
    // distance 0, every other one far. A window's rows are at most
    // kBoxEdge apart, and mirrored rows fold back onto rows already
    // counted, so the ring always holds them.
    // Made a row at a time below, so that its memory is touched in the polled loop.
    std::vector<std::uint8_t> distance;
    distance.reserve(count);
    const std::vector<std::size_t> down = mirror_table(height);
    std::vector<std::uint32_t> box(width, 0);
    for (std::size_t y = 0; y < height; ++y) {
        poll();
        if (y == 0) {
            for (std::size_t e = 1; e <= kBoxEdge; ++e) {
                const std::uint8_t* row = row_counts(down[e]);
                for (std::size_t x = 0; x < width; ++x) box[x] += row[x];
            }
        } else {
            const std::uint8_t* leaving = row_counts(down[y]);
            const std::uint8_t* entering = row_counts(down[y + kBoxEdge]);
            for (std::size_t x = 0; x < width; ++x) box[x] = box[x] + entering[x] - leaving[x];
        }
        distance.resize((y + 1) * width);
        std::uint8_t* out = &distance[y * width];
        for (std::size_t x = 0; x < width; ++x) out[x] = box[x] * 10 > kBoxArea ? 0 : kFar;
    }
    std::vector<std::uint8_t>().swap(ring);

    // Exact city-block distance by two raster passes. Each pass takes the
    // neighbour across rows first (independent per pixel, so it vectorises)
    // and then the ones along the row. Values never exceed kFar, since each
    // starts at 0 or kFar and only decreases.
    std::vector<std::uint8_t> scratch(width);
    for (std::size_t y = 0; y < height; ++y) {
        poll();
        std::uint8_t* row = &distance[y * width];
        if (y > 0) {
            const std::uint8_t* up = row - width;
            for (std::size_t x = 0; x < width; ++x)
                row[x] = std::min<std::uint8_t>(row[x], static_cast<std::uint8_t>(up[x] + 1));
        }
        spread_along(row, scratch.data(), width, false);
    }
    for (std::size_t y = height; y-- > 0;) {
        poll();
        std::uint8_t* row = &distance[y * width];
        if (y + 1 < height) {
            const std::uint8_t* below = row + width;
            for (std::size_t x = 0; x < width; ++x)
                row[x] = std::min<std::uint8_t>(row[x], static_cast<std::uint8_t>(below[x] + 1));
        }
        spread_along(row, scratch.data(), width, true);
    }
    for (std::size_t y = 0; y < height; ++y) {
        poll();
        std::uint8_t* row = &distance[y * width];
        for (std::size_t x = 0; x < width; ++x) row[x] = row[x] <= kGrowth ? 1 : 0;
    }
    return OwnedMask{std::move(distance), width, height};
}

}  // namespace halvane
