#include "statistics.hpp"

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

}  // namespace halvane
