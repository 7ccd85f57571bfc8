#include "solar_disc.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "detection.hpp"
#include "numeric.hpp"
#include "statistics.hpp"

namespace halvane {

namespace {

constexpr double kSunSigmas = 5.0;
constexpr double kSunFloor = 2048.0;

}  // namespace

std::optional<Centroid> detect_sun_masked(const ImageView& image, std::size_t min_area,
                                          std::optional<MaskView> mask, Cancellation cancel) {
    if (!check_frame_shape(image)) return std::nullopt;
    if (mask && !check_mask_shape(*mask, image)) return std::nullopt;
    const std::size_t width = image.width;
    const std::size_t height = image.height;
    const std::size_t count = image.pixels.size();
    const detection::MaskFlags masked(mask);

    // Median and absolute deviation of the unmasked pixels. Both are whole
    // numbers below 2^16, so histograms give element n / 2 exactly; the
    // deviations' one follows from the values' without another pass.
    RowPoll poll(cancel);
    constexpr std::size_t kPollPixels = detection::FloodFill::kPollPixels;
    std::vector<std::size_t> histogram(65536, 0);
    std::size_t usable = 0;
    for (std::size_t p = 0; p < count; ++p) {
        if (p % kPollPixels == 0) poll();
        if (masked(p)) continue;
        ++histogram[image.pixels[p]];
        ++usable;
    }
    double threshold = kSunFloor;
    double median = 0.0;
    if (usable > 0) {
        const std::size_t med = nth_in_histogram(histogram, usable / 2);
        const std::size_t doubled_mad = nth_in_histogram(doubled_deviations(histogram, 2 * med), usable / 2);
        const double mad = static_cast<double>(doubled_mad / 2);
        median = static_cast<double>(med);
        threshold = median + max_ignoring_nan(mad * kMadToSigma * kSunSigmas, kSunFloor);
    } else {
        threshold = median + kSunFloor;
    }
    std::vector<std::size_t>().swap(histogram);

    // A whole-valued pixel reaches the threshold exactly when it reaches its
    // ceiling; the threshold is at least 2048 and finite.
    const double least_bright = std::ceil(threshold);
    const auto bright_from = static_cast<std::uint32_t>(std::min(least_bright, 65536.0));
    auto bright = [&](std::size_t p) { return image.pixels[p] >= bright_from; };
    detection::FloodFill fill(width, height, &poll);
    std::optional<Centroid> best;
    std::size_t best_area = 0;
    for (std::size_t seed = 0; seed < count; ++seed) {
        // Seeds step by one or to the next multiple of 8, so each multiple of the period is met.
        if (seed % kPollPixels == 0) poll();
        // Eight pixels tested with one branch: almost all are dark.
        if (seed % 8 == 0 && seed + 8 <= count) {
            bool any = false;
            for (std::size_t i = 0; i < 8; ++i) any |= bright(seed + i);
            if (!any) {
                seed += 7;
                continue;
            }
        }
        if (!bright(seed) || masked(seed) || fill.visited(seed)) continue;
        double sum = 0.0, sum_x = 0.0, sum_y = 0.0;
        std::size_t area = 0;
        fill.grow(
            seed,
            // The disc may be cut by the mask or the frame: neither rejects it.
            [&](std::size_t n, std::size_t, std::size_t) { return !masked(n) && bright(n); },
            [&](std::size_t q, std::size_t x, std::size_t y) {
                const double w = static_cast<double>(image.pixels[q]) - median;
                sum += w;
                sum_x += w * static_cast<double>(x);
                sum_y += w * static_cast<double>(y);
                ++area;
            });
        if (area >= min_area && sum > 0.0 && (!best || area > best_area)) {
            best = Centroid{sum_x / sum, sum_y / sum, sum};
            best_area = area;
        }
    }
    return best;
}

}  // namespace halvane
