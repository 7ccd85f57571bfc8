// Order statistics shared by the detectors and the foreground mask:
// selection of the element of a given rank, medians and median absolute
// deviations (MAD), and a counting test that bounds a MAD without finding it.
//
// "Element k" is the value a full ascending sort would put at 0-based
// position k; a median is element n / 2 unless a caller says otherwise.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "numeric.hpp"

namespace halvane {

// Robust sigma of Gaussian noise per unit of median absolute deviation.
inline constexpr double kMadToSigma = 1.4826;

// Element k (k < values.size()) of 16-bit samples, by counting: two linear
// passes, the input left as it is.
std::uint16_t nth_u16(std::span<const std::uint16_t> values, std::size_t k);

// Element k of the values counted in a histogram (histogram[v] = how many
// equal v); k must be below the total count.
std::size_t nth_in_histogram(std::span<const std::size_t> histogram, std::size_t k);

// Elements (n - 1) / 2 and n / 2 of the n values counted in a histogram:
// the two middle values, equal for an odd n. n must be positive.
struct MiddlePair {
    std::size_t lo = 0;
    std::size_t hi = 0;
};
MiddlePair middle_pair(std::span<const std::size_t> histogram, std::size_t n);

// An unsigned key whose ascending order is the IEEE total order of doubles.
inline std::uint64_t order_key(double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// Reusable state of select_rank, so repeated selections allocate once.
struct Selection {
    std::vector<std::uint32_t> histogram = std::vector<std::uint32_t>(std::size_t{2} << 16);
    std::vector<double> bucket;
};

// Element `rank` in IEEE total order of the usable values of a frame of
// height rows by width columns: what a full sort would put there, found in
// two linear passes. row(y) gives a pointer to row y's width values (it
// may compute them into a buffer of its own, valid until the next call);
// flags, when not null, marks unusable values by a non-zero byte. The first
// pass counts values by the top 16 bits of their order key; the second
// gathers the one bucket holding the rank (a few per cent of a noisy frame)
// for std::nth_element. Within a bucket all values share a sign, so `<` and
// the total order agree there. rank must be below the usable count.
template <class Row>
double select_rank(Selection& state, std::size_t height, std::size_t width, const std::uint8_t* flags,
                   std::size_t rank, Row row) {
    auto usable = [flags, width](std::size_t y, std::size_t x) { return flags == nullptr || flags[y * width + x] == 0; };
    state.bucket.clear();
    if (height * width > std::numeric_limits<std::uint32_t>::max()) {
        // Beyond 32-bit counts: a plain selection over a copy.
        for (std::size_t y = 0; y < height; ++y) {
            const double* values = row(y);
            for (std::size_t x = 0; x < width; ++x)
                if (usable(y, x)) state.bucket.push_back(values[x]);
        }
        const auto nth = state.bucket.begin() + static_cast<std::ptrdiff_t>(rank);
        std::nth_element(state.bucket.begin(), nth, state.bucket.end(), total_order_less);
        return *nth;
    }
    // Two tables for alternate columns: neighbouring pixels often share a
    // bin, and alternating tables keeps those increments from waiting on
    // each other.
    std::fill(state.histogram.begin(), state.histogram.end(), 0);
    std::uint32_t* const tables[2] = {state.histogram.data(), state.histogram.data() + (std::size_t{1} << 16)};
    for (std::size_t y = 0; y < height; ++y) {
        const double* values = row(y);
        if (flags == nullptr) {
            for (std::size_t x = 0; x < width; ++x) ++tables[x & 1][order_key(values[x]) >> 48];
        } else {
            const std::uint8_t* masked = flags + y * width;
            for (std::size_t x = 0; x < width; ++x) tables[x & 1][order_key(values[x]) >> 48] += masked[x] == 0;
        }
    }
    auto in_bin = [&tables](std::size_t bin) { return std::size_t{tables[0][bin]} + tables[1][bin]; };
    std::size_t bucket = 0;
    while (rank >= in_bin(bucket)) rank -= in_bin(bucket++);
    state.bucket.reserve(in_bin(bucket));
    for (std::size_t y = 0; y < height; ++y) {
        const double* values = row(y);
        for (std::size_t x = 0; x < width; ++x)
            if ((order_key(values[x]) >> 48) == bucket && usable(y, x)) state.bucket.push_back(values[x]);
    }
    const auto nth = state.bucket.begin() + static_cast<std::ptrdiff_t>(rank);
    std::nth_element(state.bucket.begin(), nth, state.bucket.end());
    return *nth;
}

// A cheap proof that the median absolute deviation of a set of values is
// at most `bound`, without finding the median: if an interval no wider than
// the bound holds more than half of the values (at least n / 2 + 1 of n),
// it holds the median (element n / 2) too, and so more than half of the
// values lie within the bound of the median. Values are counted in bins a
// quarter of the bound wide; three adjacent bins make the interval, which
// leaves room for rounding at the bin edges.
class DeviationBound {
public:
    explicit DeviationBound(double bound) : per_bin_(4.0 / bound) {}

    // Counts values[x] for x < n whose flag (when flags is not null) is 0.
    void add(const double* values, const std::uint8_t* flags, std::size_t n) {
        for (std::size_t x = 0; x < n; ++x) {
            // fmax/fmin keep any value, NaN included, inside the table; the
            // two end bins collect everything beyond and never count.
            const double bin = std::fmin(std::fmax(std::floor(values[x] * per_bin_), -kHalfBins), kHalfBins);
            counts_[static_cast<std::size_t>(bin + kHalfBins)] += flags == nullptr || flags[x] == 0;
        }
    }

    // Whether the values counted so far, `usable` of them, have a median
    // absolute deviation of at most the bound.
    bool proves(std::size_t usable) const {
        for (std::size_t i = 1; i + 3 < counts_.size(); ++i)
            if (counts_[i] + counts_[i + 1] + counts_[i + 2] > usable / 2) return true;
        return false;
    }

private:
    static constexpr double kHalfBins = 64.0;
    double per_bin_;
    std::array<std::size_t, 129> counts_{};
};

}  // namespace halvane
