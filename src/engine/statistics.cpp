#include "statistics.hpp"

#include <cmath>

namespace halvane {

// The high byte picks the bucket, the low bytes of that bucket's samples
// pick the value. Sky samples share one or two high bytes, so the counts
// are spread over four interleaved tables to keep increments of one bin
// from queueing behind each other.
std::uint16_t nth_u16(std::span<const std::uint16_t> values, std::size_t k) {
    std::array<std::array<std::uint32_t, 256>, 4> counts{};
    const std::size_t n = values.size();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (std::size_t lane = 0; lane < 4; ++lane) ++counts[lane][values[i + lane] >> 8];
    for (; i < n; ++i) ++counts[0][values[i] >> 8];
    auto total = [&counts](unsigned bin) {
        return counts[0][bin] + counts[1][bin] + counts[2][bin] + counts[3][bin];
    };
    unsigned high = 0;
    while (k >= total(high)) k -= total(high++);
    counts = {};
    // Branch-free: which samples fall in the bucket is unpredictable.
    for (i = 0; i + 4 <= n; i += 4)
        for (std::size_t lane = 0; lane < 4; ++lane) {
            const std::uint16_t v = values[i + lane];
            counts[lane][v & 0xFF] += static_cast<std::uint32_t>((v >> 8) == high);
        }
    for (; i < n; ++i) counts[0][values[i] & 0xFF] += static_cast<std::uint32_t>((values[i] >> 8) == high);
    unsigned low = 0;
    while (k >= total(low)) k -= total(low++);
    return static_cast<std::uint16_t>((high << 8) | low);
}

std::size_t nth_in_histogram(std::span<const std::size_t> histogram, std::size_t k) {
    std::size_t value = 0;
    while (k >= histogram[value]) k -= histogram[value++];
    return value;
}

MiddlePair middle_pair(std::span<const std::size_t> histogram, std::size_t n) {
    const std::size_t rank_lo = (n - 1) / 2;
    const std::size_t rank_hi = n / 2;
    MiddlePair out;
    std::size_t running = 0;
    bool have_lo = false;
    for (std::size_t value = 0; value < histogram.size(); ++value) {
        running += histogram[value];
        if (!have_lo && running > rank_lo) {
            out.lo = value;
            have_lo = true;
        }
        if (running > rank_hi) {
            out.hi = value;
            break;
        }
    }
    return out;
}


namespace {

// The deviations |v - m| of the values of `bucket`, for any median m in
// [a, z] (the median's bucket), lie in [low, high]. Deviations are
// computed in floating point, but rounding is monotonic, so the bounds
// computed the same way still hold.
struct DeviationSpan {
    double low = 0.0;
    double high = 0.0;
};

DeviationSpan deviation_span(std::size_t bucket, std::size_t median_bucket, double a, double z) {
    const double lo = KeyHistogram::lowest(bucket);
    const double hi = KeyHistogram::highest(bucket);
    if (bucket > median_bucket) return {lo - z, hi - a};
    if (bucket < median_bucket) return {a - hi, z - lo};
    return {0.0, z - a};
}

// Element k of the span ends end(span), each weighted by its bucket's
// count. The ends grow with the distance from the median's bucket on
// either side, so the two sides merge outwards in one walk.
template <class End>
double nth_span_end(const KeyHistogram& histogram, std::size_t median_bucket, double a, double z, std::size_t k,
                    End end) {
    auto value = [&](std::size_t bucket) { return end(deviation_span(bucket, median_bucket, a, z)); };
    auto next_up = [&](std::size_t b) {
        while (b < KeyHistogram::kBuckets && histogram.count(b) == 0) ++b;
        return b;
    };
    // `down` counts one past the candidate so that it can run out at 0.
    auto next_down = [&](std::size_t b) {
        while (b > 0 && histogram.count(b - 1) == 0) --b;
        return b;
    };
    std::size_t up = next_up(median_bucket + 1);
    std::size_t down = next_down(median_bucket);
    std::size_t bucket = median_bucket;
    std::size_t seen = histogram.count(median_bucket);
    while (seen <= k) {
        const bool take_up = down == 0 || (up < KeyHistogram::kBuckets && value(up) <= value(down - 1));
        if (take_up) {
            bucket = up;
            up = next_up(up + 1);
        } else {
            bucket = down - 1;
            down = next_down(down - 1);
        }
        seen += histogram.count(bucket);
    }
    return value(bucket);
}

}  // namespace

bool MedianDeviation::plan(const KeyHistogram& histogram, std::size_t n, std::size_t max_gathered) {
    const std::size_t k = n / 2;
    const auto [median_bucket, within] = histogram.locate(k);
    const double a = KeyHistogram::lowest(median_bucket);
    const double z = KeyHistogram::highest(median_bucket);
    // Every deviation up to the true one has its span's low end at or below
    // it, and at least k + 1 deviations are; likewise for the high ends.
    const double lower = nth_span_end(histogram, median_bucket, a, z, k, [](DeviationSpan s) { return s.low; });
    const double upper = nth_span_end(histogram, median_bucket, a, z, k, [](DeviationSpan s) { return s.high; });
    roles_.assign(KeyHistogram::kBuckets, 0);
    roles_[median_bucket] = kMedian;
    std::size_t below = 0;  // deviations surely below the true one
    std::size_t gathered = histogram.count(median_bucket);
    for (std::size_t b = 0; b < KeyHistogram::kBuckets; ++b) {
        const std::size_t count = histogram.count(b);
        if (count == 0) continue;
        const DeviationSpan span = deviation_span(b, median_bucket, a, z);
        if (span.high < lower) {
            below += count;
        } else if (!(span.low > upper)) {
            roles_[b] |= kDeviation;
            gathered += count;
        }
    }
    if (gathered > max_gathered) {
        std::vector<std::uint8_t>().swap(roles_);
        return false;
    }
    median_rank_ = within;
    deviation_rank_ = k - below;
    deviation_lower_ = lower;
    median_values_.clear();
    median_values_.reserve(histogram.count(median_bucket));
    deviation_values_.clear();
    deviation_values_.reserve(gathered - histogram.count(median_bucket));
    return true;
}

MedianDeviation::Result MedianDeviation::result() {
    Result out;
    auto nth = median_values_.begin() + static_cast<std::ptrdiff_t>(median_rank_);
    std::nth_element(median_values_.begin(), nth, median_values_.end());
    out.median = *nth;
    for (double& v : deviation_values_) v = std::fabs(v - out.median);
    nth = deviation_values_.begin() + static_cast<std::ptrdiff_t>(deviation_rank_);
    std::nth_element(deviation_values_.begin(), nth, deviation_values_.end());
    out.deviation = *nth;
    return out;
}

}  // namespace halvane
