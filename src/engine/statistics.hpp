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
#include <utility>
#include <vector>

#include "numeric.hpp"

namespace halvane {

// Robust sigma of Gaussian noise per unit of median absolute deviation.
inline constexpr double kMadToSigma = 1.4826;

// Element k (k < values.size()) of 16-bit samples, by bisection on the
// value with vectorised counts; the input is left as it is.
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

// The histogram of the doubled absolute deviations |2 v - doubled_centre|
// of the 16-bit values counted in `values` (values[v] = how many equal v),
// in 2^17 bins: found from the counts alone, with no second look at the
// samples. Doubling keeps the deviations from a half-integer centre whole.
// doubled_centre must lie in 0 .. 2^17 - 2.
std::vector<std::size_t> doubled_deviations(std::span<const std::size_t> values, std::size_t doubled_centre);

// An unsigned key whose ascending order is the IEEE total order of doubles.
inline std::uint64_t order_key(double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// The double whose order key is `key` (the inverse of order_key).
inline double from_order_key(std::uint64_t key) {
    return std::bit_cast<double>((key >> 63) != 0 ? key & ~(std::uint64_t{1} << 63) : ~key);
}

// buckets[x] = the top 16 bits of the order key of values[x], for x < n.
void bucket_block(const double* values, std::size_t n, std::uint16_t* buckets);

// Counts of doubles by the top 16 bits of their order key. Each of these
// 65536 buckets holds one interval of the total order: the values from
// lowest(b) to highest(b).
class KeyHistogram {
public:
    static constexpr std::size_t kBuckets = std::size_t{1} << 16;

    static std::size_t bucket(double value) { return static_cast<std::size_t>(order_key(value) >> 48); }
    static double lowest(std::size_t bucket) { return from_order_key(std::uint64_t{bucket} << 48); }
    static double highest(std::size_t bucket) {
        return from_order_key((std::uint64_t{bucket} << 48) | ((std::uint64_t{1} << 48) - 1));
    }

    void clear() { std::fill(counts_.begin(), counts_.end(), 0); }

    // Counts values[x] for x < n whose flag (when flags is not null) is 0,
    // up to 2^32 - 1 values in all.
    void add(const double* values, const std::uint8_t* flags, std::size_t n) {
        std::array<std::uint16_t, kBlock> buckets;
        for (std::size_t start = 0; start < n; start += kBlock) {
            const std::size_t m = std::min(kBlock, n - start);
            bucket_block(values + start, m, buckets.data());
            if (flags == nullptr) {
                for (std::size_t x = 0; x < m; ++x) ++counts_[buckets[x]];
            } else {
                for (std::size_t x = 0; x < m; ++x) counts_[buckets[x]] += flags[start + x] == 0;
            }
        }
    }

    // Values are bucketed a block at a time, in a loop built for wider
    // registers where the processor has them, then counted.
    static constexpr std::size_t kBlock = 256;

    std::size_t count(std::size_t bucket) const { return counts_[bucket]; }

    // The bucket holding element `rank` of the counted values, and the
    // rank within that bucket; rank must be below the count.
    std::pair<std::size_t, std::size_t> locate(std::size_t rank) const {
        std::size_t b = 0;
        while (rank >= count(b)) rank -= count(b++);
        return {b, rank};
    }

private:
    std::vector<std::uint32_t> counts_ = std::vector<std::uint32_t>(kBuckets);
};

// Reusable state of select_rank, so repeated selections allocate once.
struct Selection {
    KeyHistogram histogram;
    std::vector<double> bucket;
};

// Element `rank` in IEEE total order of the usable values of a frame of
// height rows by width columns: what a full sort would put there, found in
// two linear passes. row(y) gives a pointer to row y's width values (it
// may compute them into a buffer of its own, valid until the next call);
// rows are asked for in order 0 to height - 1, twice. flags, when not
// null, marks unusable values by a non-zero byte. The first pass counts
// values by bucket; the second gathers the one bucket holding the rank (a
// few per cent of a noisy frame) for std::nth_element. Within a bucket all
// values share a sign, so `<` and the total order agree there. rank must
// be below the usable count.
template <class Row>
double select_rank(Selection& state, std::size_t height, std::size_t width, const std::uint8_t* flags,
                   std::size_t rank, Row&& row) {
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
    state.histogram.clear();
    for (std::size_t y = 0; y < height; ++y)
        state.histogram.add(row(y), flags == nullptr ? nullptr : flags + y * width, width);
    const auto [bucket, within] = state.histogram.locate(rank);
    state.bucket.reserve(state.histogram.count(bucket));
    for (std::size_t y = 0; y < height; ++y) {
        const double* values = row(y);
        for (std::size_t x = 0; x < width; ++x)
            if (KeyHistogram::bucket(values[x]) == bucket && usable(y, x)) state.bucket.push_back(values[x]);
    }
    const auto nth = state.bucket.begin() + static_cast<std::ptrdiff_t>(within);
    std::nth_element(state.bucket.begin(), nth, state.bucket.end());
    return *nth;
}

// The median and the median absolute deviation (both element n / 2) of n
// values that can be computed twice but not kept, in two passes and with
// a few per cent of them held. After a first pass has counted every value
// in a KeyHistogram, plan() bounds the deviation: the median lies in a
// known bucket (a known run of buckets, when planned from a sample), so
// each bucket's deviations lie in a known interval, and
// element n / 2 of the lower (upper) interval ends bounds the deviation
// from below (above). Only the median's bucket and the buckets that can
// hold deviations within those bounds are gathered on the second pass;
// the buckets below the bounds are just counted. Exact: the same values a
// full sort gives.
class MedianDeviation {
public:
    // Plans the second pass for the n values counted (n > 0, every value
    // finite). Returns false, keeping nothing, when the values to hold
    // would exceed `max_held` (values crowded into few buckets; a value of
    // the median's buckets may be held twice, once for each statistic).
    //
    // slack: 0 when the histogram counts every value. A histogram of a
    // sample may stand in for the whole: the plan then widens to every rank
    // within `slack` of the middle, and narrow_to() must confirm it once
    // every value has been counted.
    bool plan(const KeyHistogram& histogram, std::size_t n, std::size_t max_held, std::size_t slack = 0);

    // Reserves room for the values the plan holds, times `scale` (the
    // values the histogram stands for per value counted).
    void reserve(double scale);

    // After the second pass of a sample's plan: whether it held everything
    // the plan of all values (`exact`, made with no slack) asks for; if so,
    // keeps only that, and result() is exact.
    bool narrow_to(const MedianDeviation& exact);

    // A lower bound of the deviation, known once planned.
    double deviation_lower_bound() const { return deviation_lower_; }

    // Second pass: gathers what the plan asks for from values[0 .. n).
    // Which values are held is unpredictable, so a block's are picked out
    // without branches and then appended.
    void add(const double* values, std::size_t n) {
        std::array<std::uint16_t, KeyHistogram::kBlock> buckets;
        std::array<double, KeyHistogram::kBlock> for_median;
        std::array<double, KeyHistogram::kBlock> for_deviation;
        for (std::size_t start = 0; start < n; start += KeyHistogram::kBlock) {
            const std::size_t m = std::min(KeyHistogram::kBlock, n - start);
            bucket_block(values + start, m, buckets.data());
            std::size_t medians = 0;
            std::size_t deviations = 0;
            for (std::size_t x = 0; x < m; ++x) {
                const std::uint8_t role = roles_[buckets[x]];
                for_median[medians] = values[start + x];
                medians += role & kMedian;
                for_deviation[deviations] = values[start + x];
                deviations += (role & kDeviation) >> 1;
            }
            median_values_.insert(median_values_.end(), for_median.begin(), for_median.begin() + medians);
            deviation_values_.insert(deviation_values_.end(), for_deviation.begin(),
                                     for_deviation.begin() + deviations);
        }
    }

    struct Result {
        double median = 0.0;
        double deviation = 0.0;
    };
    // After the second pass.
    Result result();

private:
    static constexpr std::uint8_t kMedian = 1;
    static constexpr std::uint8_t kDeviation = 2;
    std::vector<std::uint8_t> roles_;
    std::size_t median_held_ = 0;
    std::size_t deviation_held_ = 0;
    std::size_t median_rank_ = 0;     // within the median's buckets
    std::size_t deviation_rank_ = 0;  // within the gathered deviations
    double deviation_lower_ = 0.0;
    std::vector<double> median_values_;
    std::vector<double> deviation_values_;
};

// bins[x] = values[x] * per_bin + 64 truncated to a whole number, held in
// 0 .. 128 (NaN gives 0): the bins of DeviationBound.
void deviation_bins(const double* values, std::size_t n, double per_bin, std::uint8_t* bins);

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
    // Bins are found a block at a time (in a loop built for wider registers
    // where the processor has them), then counted into four interleaved tables, since most values share a
    // bin and increments of one counter would queue. The offset to the
    // table's middle is added before truncating, so a value within rounding
    // of a bin edge may land in the next bin: the slack bin covers that.
    void add(const double* values, const std::uint8_t* flags, std::size_t n) {
        constexpr std::size_t kBlock = 256;
        std::array<std::uint8_t, kBlock> bins;
        for (std::size_t start = 0; start < n; start += kBlock) {
            const std::size_t m = std::min(kBlock, n - start);
            deviation_bins(values + start, m, per_bin_, bins.data());
            for (std::size_t x = 0; x < m; ++x)
                counts_[x & 3][bins[x]] += flags == nullptr || flags[start + x] == 0;
        }
    }

    // Whether the values counted so far, `usable` of them, have a median
    // absolute deviation of at most the bound.
    bool proves(std::size_t usable) const {
        auto in_bin = [this](std::size_t i) { return counts_[0][i] + counts_[1][i] + counts_[2][i] + counts_[3][i]; };
        for (std::size_t i = 1; i + 3 < kBins; ++i)
            if (in_bin(i) + in_bin(i + 1) + in_bin(i + 2) > usable / 2) return true;
        return false;
    }

private:
    static constexpr std::size_t kBins = 129;
    double per_bin_;
    std::array<std::array<std::size_t, kBins>, 4> counts_{};
};

}  // namespace halvane
