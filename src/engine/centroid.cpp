#include "centroid.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "background.hpp"
#include "numeric.hpp"
#include "detection.hpp"
#include "statistics.hpp"

namespace halvane {

namespace {

using detection::FloodFill;
using detection::median_deviation;
using detection::order_and_truncate;

constexpr double kBlobSigmas = 5.0;
constexpr double kBlobFloor = 2048.0;
constexpr std::size_t kMinArea = 3;
constexpr std::size_t kMaxArea = 400;
constexpr std::size_t kProfileMargin = 3;
// A deviation at or below this puts the blob threshold on its floor: with
// rounding, mad * kMadToSigma * kBlobSigmas <= kBlobFloor for every mad up
// to it, since each product rounds monotonically.
constexpr double kBlobFloorDeviation = kBlobFloor / (kMadToSigma * kBlobSigmas) * (1.0 - 1e-9);
static_assert(kBlobFloorDeviation * kMadToSigma * kBlobSigmas <= kBlobFloor);

// Residuals of a frame over its background mesh, row by row, into one
// reused row buffer. Every pass over the rows comes through here, so this
// is where the detector asks whether to stop.
class ResidualRows {
public:
    ResidualRows(const ImageView& image, const BackgroundMesh& mesh, RowPoll& poll)
        : image_(image), mesh_(mesh), poll_(poll), row_(image.width) {}

    // The residuals of row y, valid until the next call.
    const double* operator()(std::size_t y) {
        poll_();
        mesh_.residual_row(y, &image_.pixels[y * image_.width], row_.data());
        return row_.data();
    }

    double at(std::size_t p, std::size_t x, std::size_t y) const {
        return static_cast<double>(image_.pixels[p]) - mesh_.at(x, y);
    }

private:
    const ImageView& image_;
    const BackgroundMesh& mesh_;
    RowPoll& poll_;
    std::vector<double> row_;
};

// The blob detector's threshold and its candidate seeds.
struct BlobThreshold {
    double threshold = kBlobFloor;
    // Every unmasked pixel whose residual reaches the floor, which no
    // threshold is below, in row-major order; gathered on the pass that
    // settles the threshold so that the seed search need not visit the
    // whole frame again. Not complete when there are too many to keep.
    std::vector<std::size_t> seeds;
    bool seeds_complete = true;
};

// max(5 robust sigma, 2048) of the unmasked residuals (2048 when none is).
// A count settles the usual case: when more than half of the residuals
// fit in an interval narrower than the floor's deviation, the threshold is
// the floor whatever the exact deviation, and no selection is needed.
BlobThreshold blob_threshold(ResidualRows& residuals, std::size_t height, std::size_t width,
                             const std::uint8_t* flags, std::size_t usable) {
    BlobThreshold out;
    if (usable == 0) return out;
    const std::size_t max_seeds = std::max<std::size_t>(64, height * width / 32);
    DeviationBound bound(kBlobFloorDeviation);
    for (std::size_t y = 0; y < height; ++y) {
        const double* values = residuals(y);
        const std::uint8_t* masked = flags == nullptr ? nullptr : flags + y * width;
        bound.add(values, masked, width);
        if (!out.seeds_complete) continue;
        for (std::size_t x = 0; x < width; ++x) {
            // Eight values tested with one branch: almost all are sky.
            if (x % 8 == 0 && x + 8 <= width) {
                bool any = false;
                for (std::size_t i = 0; i < 8; ++i) any |= values[x + i] >= kBlobFloor;
                if (!any) {
                    x += 7;
                    continue;
                }
            }
            if (!(values[x] >= kBlobFloor) || (masked != nullptr && masked[x] != 0)) continue;
            if (out.seeds.size() == max_seeds) {
                out.seeds_complete = false;
                std::vector<std::size_t>().swap(out.seeds);
                break;
            }
            out.seeds.push_back(y * width + x);
        }
    }
    if (bound.proves(usable)) return out;
    const double mad = median_deviation(height, width, flags, usable, residuals);
    out.threshold = max_ignoring_nan(mad * kMadToSigma * kBlobSigmas, kBlobFloor);
    return out;
}

}  // namespace

std::optional<double> log_parabola_peak(std::span<const double> profile) {
    const std::size_t n = profile.size();
    if (n < 3) return std::nullopt;
    std::size_t i = 0;
    for (std::size_t j = 1; j < n; ++j)
        if (profile[j] > profile[i]) i = j;
    if (i == 0 || i == n - 1) return std::nullopt;
    const double a = profile[i - 1];
    const double b = profile[i];
    const double c = profile[i + 1];
    if (!(a > 0.0) || !(b > 0.0) || !(c > 0.0)) return std::nullopt;
    const double la = std::log(a);
    const double lb = std::log(b);
    const double lc = std::log(c);
    const double d = la - 2.0 * lb + lc;
    if (!(d < 0.0)) return std::nullopt;
    const double offset = 0.5 * (la - lc) / d;
    if (!(std::fabs(offset) <= 1.0)) return std::nullopt;
    return static_cast<double>(i) + offset;
}

Result<std::vector<Centroid>> detect_centroids_masked(const ImageView& image, std::size_t max_count,
                                                      std::optional<MaskView> mask, Cancellation cancel) {
    if (auto shape = check_frame_shape(image); !shape) return std::unexpected(shape.error());
    if (mask) {
        if (auto shape = check_mask_shape(*mask, image); !shape) return std::unexpected(shape.error());
    }
    const std::size_t width = image.width;
    const std::size_t height = image.height;
    const std::size_t count = image.pixels.size();
    const detection::MaskFlags masked(mask);
    const std::uint8_t* flags = masked.flags;

    // Residuals are computed where they are needed, never stored whole.
    RowPoll poll(cancel);
    const BackgroundMesh mesh(image, mask, cancel);
    ResidualRows residuals(image, mesh, poll);
    const std::size_t usable =
        flags == nullptr ? count : static_cast<std::size_t>(std::count(flags, flags + count, 0));
    const BlobThreshold settled = blob_threshold(residuals, height, width, flags, usable);
    const double threshold = settled.threshold;

    FloodFill fill(width, height, &poll);
    std::vector<double> column_profile;
    std::vector<double> row_profile;
    std::vector<Centroid> centroids;

    // Grows the component of an unvisited seed and keeps it if it passes.
    auto component = [&](std::size_t seed) {
        double sum = 0.0, sum_x = 0.0, sum_y = 0.0;
        std::size_t area = 0;
        bool touches = false;
        std::size_t min_x = width, max_x = 0, min_y = height, max_y = 0;
        fill.grow(
            seed,
            [&](std::size_t n, std::size_t x, std::size_t y) {
                if (!masked(n)) return residuals.at(n, x, y) >= threshold;
                touches = true;  // a masked pixel never joins, and taints the component
                return false;
            },
            [&](std::size_t q, std::size_t x, std::size_t y) {
                min_x = std::min(min_x, x);
                max_x = std::max(max_x, x);
                min_y = std::min(min_y, y);
                max_y = std::max(max_y, y);
                if (x == 0 || x == width - 1 || y == 0 || y == height - 1) touches = true;
                const double v = residuals.at(q, x, y);
                sum += v;
                sum_x += v * static_cast<double>(x);
                sum_y += v * static_cast<double>(y);
                ++area;
            });
        if (touches || area < kMinArea || area > kMaxArea || !(sum > 0.0)) return;

        // Marginal profiles over the box widened by the margin: every window
        // pixel counts, neighbours and negative residuals included.
        const std::size_t x0 = min_x - std::min(min_x, kProfileMargin);
        const std::size_t y0 = min_y - std::min(min_y, kProfileMargin);
        const std::size_t x1 = std::min(max_x + kProfileMargin, width - 1);
        const std::size_t y1 = std::min(max_y + kProfileMargin, height - 1);
        column_profile.assign(x1 - x0 + 1, 0.0);
        row_profile.assign(y1 - y0 + 1, 0.0);
        for (std::size_t y = y0; y <= y1; ++y) {
            for (std::size_t x = x0; x <= x1; ++x) {
                const std::size_t p = y * width + x;
                const double r = masked(p) ? 0.0 : residuals.at(p, x, y);
                column_profile[x - x0] += r;
                row_profile[y - y0] += r;
            }
        }
        const std::optional<double> px = log_parabola_peak(column_profile);
        const std::optional<double> py = log_parabola_peak(row_profile);
        centroids.push_back({px ? static_cast<double>(x0) + *px : sum_x / sum,
                             py ? static_cast<double>(y0) + *py : sum_y / sum, sum});
    };
    if (settled.seeds_complete) {
        for (std::size_t i = 0; i < settled.seeds.size(); ++i) {
            const std::size_t seed = settled.seeds[i];
            if (i % FloodFill::kPollPixels == 0) poll();
            if (residuals.at(seed, seed % width, seed / width) >= threshold && !fill.visited(seed)) component(seed);
        }
    } else {
        for (std::size_t y = 0; y < height; ++y) {
            const double* row = residuals(y);
            for (std::size_t x = 0; x < width; ++x) {
                const std::size_t seed = y * width + x;
                if (row[x] >= threshold && !masked(seed) && !fill.visited(seed)) component(seed);
            }
        }
    }
    order_and_truncate(centroids, max_count);
    return centroids;
}

}  // namespace halvane
