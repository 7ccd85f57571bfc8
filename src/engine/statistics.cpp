#include "statistics.hpp"

#include <cmath>
#include <cstring>

namespace halvane {

namespace {

// How many of values[0 .. n) are at most `limit`: sixteen lanes compared at
// once, each counting in 16 bits over chunks short enough not to wrap.
HALVANE_AVX2_CLONES std::size_t count_at_most(const std::uint16_t* values,
                                                                          std::size_t n, std::uint16_t limit) {
    using Lanes = std::uint16_t __attribute__((vector_size(32)));
    constexpr std::size_t kLanes = sizeof(Lanes) / sizeof(std::uint16_t);
    constexpr std::size_t kChunk = kLanes * 0xFFFF;
    const Lanes limits = Lanes{} + limit;
    std::size_t total = 0;
    std::size_t i = 0;
    while (i + kLanes <= n) {
        const std::size_t end = i + std::min(n - i, kChunk) / kLanes * kLanes;
        Lanes counts = {};
        for (; i < end; i += kLanes) {
            Lanes v;
            std::memcpy(&v, values + i, sizeof v);
            counts -= reinterpret_cast<Lanes>(v <= limits);  // a true lane is all ones, -1
        }
        for (std::size_t lane = 0; lane < kLanes; ++lane) total += counts[lane];
    }
    for (; i < n; ++i) total += values[i] <= limit ? 1 : 0;
    return total;
}

}  // namespace

// Bisection on the value: element k is the least m with more than k
// samples at most m. Each step is one vectorised count, and a tile of sky
// spans a few hundred values, so about nine steps settle it.
std::uint16_t nth_u16(std::span<const std::uint16_t> values, std::size_t k) {
    std::uint16_t lo = 0xFFFF;
    std::uint16_t hi = 0;
    for (std::uint16_t v : values) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    while (lo < hi) {
        const auto mid = static_cast<std::uint16_t>(lo + (hi - lo) / 2);
        if (count_at_most(values.data(), values.size(), mid) > k) {
            hi = mid;
        } else {
            lo = static_cast<std::uint16_t>(mid + 1);
        }
    }
    return lo;
}

namespace {

// The multiversioned bodies stay inside this file: other files (and the
// header's inline callers) see plain functions, which both compilers accept.
HALVANE_AVX2_CLONES void deviation_bins_cloned(const double* values, std::size_t n,
                                                                     double per_bin, std::uint8_t* bins) {
    constexpr double kMiddle = 64.0;
    for (std::size_t x = 0; x < n; ++x) {
        // Any value, NaN included, stays inside the table; the two end bins
        // collect everything beyond and never count.
        double t = values[x] * per_bin + kMiddle;
        t = t >= 0.0 ? t : 0.0;
        t = t <= 2 * kMiddle ? t : 2 * kMiddle;
        bins[x] = static_cast<std::uint8_t>(t);
    }
}

HALVANE_AVX2_CLONES void bucket_block_cloned(const double* values, std::size_t n,
                                                                   std::uint16_t* buckets) {
    for (std::size_t x = 0; x < n; ++x) buckets[x] = static_cast<std::uint16_t>(order_key(values[x]) >> 48);
}

}  // namespace

void deviation_bins(const double* values, std::size_t n, double per_bin, std::uint8_t* bins) {
    deviation_bins_cloned(values, n, per_bin, bins);
}

void bucket_block(const double* values, std::size_t n, std::uint16_t* buckets) {
    bucket_block_cloned(values, n, buckets);
}

std::size_t nth_in_histogram(std::span<const std::size_t> histogram, std::size_t k) {
    std::size_t value = 0;
    while (k >= histogram[value]) k -= histogram[value++];
    return value;
}

std::vector<std::size_t> doubled_deviations(std::span<const std::size_t> values, std::size_t doubled_centre) {
    std::vector<std::size_t> deviations(std::size_t{1} << 17, 0);
    for (std::size_t v = 0; v < values.size(); ++v) {
        const std::size_t doubled = 2 * v;
        deviations[doubled > doubled_centre ? doubled - doubled_centre : doubled_centre - doubled] += values[v];
    }
    return deviations;
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
// [a, z] (the lowest value of the median's zone of buckets, lo to hi, and
// the highest), lie in [low, high]. Deviations are computed in floating
// point, but rounding is monotonic, so the bounds computed the same way
// still hold.
struct DeviationSpan {
    double low = 0.0;
    double high = 0.0;
};

struct MedianZone {
    std::size_t lo = 0;  // buckets
    std::size_t hi = 0;
    double a = 0.0;  // values
    double z = 0.0;
};

DeviationSpan deviation_span(std::size_t bucket, const MedianZone& zone) {
    const double lo = KeyHistogram::lowest(bucket);
    const double hi = KeyHistogram::highest(bucket);
    if (bucket > zone.hi) return {lo - zone.z, hi - zone.a};
    if (bucket < zone.lo) return {zone.a - hi, zone.z - lo};
    return {0.0, zone.z - zone.a};
}

// Element k of the span ends end(span), each weighted by its bucket's
// count. The ends grow with the distance from the median's zone on either
// side, so the two sides merge outwards in one walk.
template <class End>
double nth_span_end(const KeyHistogram& histogram, const MedianZone& zone, std::size_t k, End end) {
    auto value = [&](std::size_t bucket) { return end(deviation_span(bucket, zone)); };
    auto next_up = [&](std::size_t b) {
        while (b < KeyHistogram::kBuckets && histogram.count(b) == 0) ++b;
        return b;
    };
    // `down` counts one past the candidate so that it can run out at 0.
    auto next_down = [&](std::size_t b) {
        while (b > 0 && histogram.count(b - 1) == 0) --b;
        return b;
    };
    std::size_t up = next_up(zone.hi + 1);
    std::size_t down = next_down(zone.lo);
    std::size_t bucket = zone.lo;
    std::size_t seen = 0;
    for (std::size_t b = zone.lo; b <= zone.hi; ++b) seen += histogram.count(b);
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

bool MedianDeviation::plan(const KeyHistogram& histogram, std::size_t n, std::size_t max_held, std::size_t slack) {
    const std::size_t k = n / 2;
    const std::size_t k_lo = k - std::min(k, slack);
    const std::size_t k_hi = std::min(n - 1, k + slack);
    MedianZone zone;
    zone.lo = histogram.locate(k_lo).first;
    zone.hi = histogram.locate(k_hi).first;
    zone.a = KeyHistogram::lowest(zone.lo);
    zone.z = KeyHistogram::highest(zone.hi);
    // Every deviation up to the true one has its span's low end at or below
    // it, and at least k + 1 deviations are; likewise for the high ends.
    const double lower = nth_span_end(histogram, zone, k_lo, [](DeviationSpan s) { return s.low; });
    const double upper = nth_span_end(histogram, zone, k_hi, [](DeviationSpan s) { return s.high; });
    roles_.assign(KeyHistogram::kBuckets, 0);
    std::size_t below_zone = 0;
    std::size_t below = 0;  // deviations surely below the true one
    median_held_ = 0;
    deviation_held_ = 0;
    for (std::size_t b = 0; b < KeyHistogram::kBuckets; ++b) {
        const std::size_t count = histogram.count(b);
        if (count == 0) continue;
        if (b < zone.lo) below_zone += count;
        if (b >= zone.lo && b <= zone.hi) {
            roles_[b] = kMedian;
            median_held_ += count;
        }
        const DeviationSpan span = deviation_span(b, zone);
        if (span.high < lower) {
            below += count;
        } else if (!(span.low > upper)) {
            roles_[b] |= kDeviation;
            deviation_held_ += count;
        }
    }
    if (median_held_ + deviation_held_ > max_held) {
        std::vector<std::uint8_t>().swap(roles_);
        return false;
    }
    median_rank_ = k - below_zone;
    deviation_rank_ = k - below;
    deviation_lower_ = lower;
    median_values_.clear();
    deviation_values_.clear();
    return true;
}

void MedianDeviation::reserve(double scale) {
    median_values_.reserve(static_cast<std::size_t>(static_cast<double>(median_held_) * scale));
    deviation_values_.reserve(static_cast<std::size_t>(static_cast<double>(deviation_held_) * scale));
}

bool MedianDeviation::narrow_to(const MedianDeviation& exact) {
    for (std::size_t b = 0; b < KeyHistogram::kBuckets; ++b)
        if ((exact.roles_[b] & ~roles_[b]) != 0) return false;
    auto outside = [&exact](std::uint8_t role) {
        return [&exact, role](double v) { return (exact.roles_[KeyHistogram::bucket(v)] & role) == 0; };
    };
    std::erase_if(median_values_, outside(kMedian));
    std::erase_if(deviation_values_, outside(kDeviation));
    roles_ = exact.roles_;
    median_rank_ = exact.median_rank_;
    deviation_rank_ = exact.deviation_rank_;
    deviation_lower_ = exact.deviation_lower_;
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
