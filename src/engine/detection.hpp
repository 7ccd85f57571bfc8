// What the detectors share: the one flood fill, the robust spread of a
// frame given row by row, and the brightest-first order of their results.
// Internal to the detectors (centroid, matched_filter, solar_disc).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "centroid.hpp"
#include "numeric.hpp"
#include "statistics.hpp"
#include "work.hpp"

namespace halvane::detection {

// A mask's flags read by pixel index; without a mask nothing is masked.
struct MaskFlags {
    const std::uint8_t* flags;

    explicit MaskFlags(const std::optional<MaskView>& mask) : flags(mask ? mask->flags.data() : nullptr) {}
    bool operator()(std::size_t p) const { return flags != nullptr && flags[p] != 0; }
};

// The one 4-connected flood fill of the detectors. Visited flags are bits,
// an eighth of a byte per pixel, so a large frame costs no page-fault storm;
// the stack is reused across components. A component can cover most of a
// frame, so the fill asks `poll` (when given) every kPollPixels members.
class FloodFill {
public:
    static constexpr std::size_t kPollPixels = std::size_t{1} << 16;

    FloodFill(std::size_t width, std::size_t height, RowPoll* poll = nullptr)
        : width_(width), height_(height), visited_((width * height + 63) / 64, 0), poll_(poll) {}

    bool visited(std::size_t p) const { return ((visited_[p >> 6] >> (p & 63)) & 1) != 0; }

    // Grows the component of `seed`, which must qualify and be unvisited.
    // joins(n, x, y) says whether the unvisited neighbour n at (x, y) joins
    // (and may note why it does not); take(q, x, y) sees every member once,
    // in the order the stack yields them.
    template <class Joins, class Take>
    void grow(std::size_t seed, Joins&& joins, Take&& take) {
        mark(seed);
        stack_.push_back(seed);
        auto consider = [&](std::size_t n, std::size_t x, std::size_t y) {
            if (!visited(n) && joins(n, x, y)) {
                mark(n);
                stack_.push_back(n);
            }
        };
        while (!stack_.empty()) {
            const std::size_t q = stack_.back();
            stack_.pop_back();
            const std::size_t x = q % width_;
            const std::size_t y = q / width_;
            if (x > 0) consider(q - 1, x - 1, y);
            if (x + 1 < width_) consider(q + 1, x + 1, y);
            if (y > 0) consider(q - width_, x, y - 1);
            if (y + 1 < height_) consider(q + width_, x, y + 1);
            take(q, x, y);
            if (poll_ != nullptr && ++taken_ % kPollPixels == 0) (*poll_)();
        }
    }

private:
    void mark(std::size_t p) { visited_[p >> 6] |= std::uint64_t{1} << (p & 63); }

    std::size_t width_;
    std::size_t height_;
    std::vector<std::uint64_t> visited_;
    std::vector<std::size_t> stack_;
    RowPoll* poll_;
    std::size_t taken_ = 0;
};

// Median and median absolute deviation (both element usable / 2) of the
// usable values of a frame given row by row; `row` as for select_rank.
template <class Row>
inline double median_deviation(std::size_t height, std::size_t width, const std::uint8_t* flags, std::size_t usable,
                        Row&& row) {
    Selection selection;
    const double median = select_rank(selection, height, width, flags, usable / 2, row);
    std::vector<double> deviations(width);
    return select_rank(selection, height, width, flags, usable / 2, [&](std::size_t y) {
        const double* values = row(y);
        for (std::size_t x = 0; x < width; ++x) deviations[x] = std::fabs(values[x] - median);
        return static_cast<const double*>(deviations.data());
    });
}

// Brightest first; a stable sort keeps equal fluxes in detection order.
inline void order_and_truncate(std::vector<Centroid>& centroids, std::size_t max_count) {
    std::stable_sort(centroids.begin(), centroids.end(), [](const Centroid& a, const Centroid& b) {
        return total_order(a.flux, b.flux) > 0;
    });
    if (centroids.size() > max_count) centroids.resize(max_count);
}

}  // namespace halvane::detection
