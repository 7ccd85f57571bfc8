#include "centroid.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "numeric.hpp"

namespace halvane {

namespace {

constexpr std::size_t kTile = 32;
constexpr double kMadToSigma = 1.4826;

constexpr double kBlobSigmas = 5.0;
constexpr double kBlobFloor = 2048.0;
constexpr std::size_t kMinArea = 3;
constexpr std::size_t kMaxArea = 400;
constexpr std::size_t kProfileMargin = 3;

constexpr double kMatchedSigmas = 4.0;
constexpr std::size_t kPeakHalfWindow = 2;
constexpr std::size_t kCutHalfLength = 3;
constexpr double kMaxPsfSigmaPx = 64.0;

constexpr double kSunSigmas = 5.0;
constexpr double kSunFloor = 2048.0;

bool mask_matches(const MaskView& mask, const ImageView& image) {
    return mask.width == image.width && mask.height == image.height &&
           mask.flags.size() == image.pixels.size();
}

// Element k of the ascending order of 16-bit samples, by counting: the
// high byte picks the bucket, the low bytes of that bucket's samples pick
// the value. Two linear passes, no reordering of the input.
std::uint16_t nth_u16(std::span<const std::uint16_t> values, std::size_t k) {
    std::array<std::size_t, 256> counts{};
    for (std::uint16_t v : values) ++counts[v >> 8];
    std::size_t high = 0;
    while (k >= counts[high]) k -= counts[high++];
    counts.fill(0);
    for (std::uint16_t v : values)
        if ((v >> 8) == high) ++counts[v & 0xFF];
    std::size_t low = 0;
    while (k >= counts[low]) k -= counts[low++];
    return static_cast<std::uint16_t>((high << 8) | low);
}

// Element k of the ascending order of a 65536-bin histogram.
std::size_t nth_in_histogram(std::span<const std::size_t> histogram, std::size_t k) {
    std::size_t value = 0;
    while (k >= histogram[value]) k -= histogram[value++];
    return value;
}

// Element n / 2 of the ascending order. The values reaching here are
// finite, where `<` and IEEE total order agree but for the sign of zero,
// which no caller can observe. Reorders `values`.
double middle_element(std::span<double> values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Tile centres along one axis: the midpoint of the first and last pixel
// each tile covers, so a partial last tile is centred on its own pixels.
std::vector<double> tile_centres(std::size_t extent) {
    const std::size_t tiles = std::max<std::size_t>(1, (extent + kTile - 1) / kTile);
    std::vector<double> centres(tiles);
    for (std::size_t i = 0; i < tiles; ++i) {
        const std::size_t last = std::min(extent, kTile * (i + 1)) - 1;
        centres[i] = static_cast<double>(kTile * i + last) / 2.0;
    }
    return centres;
}

// The interpolation bracket of every position along one axis: the two tile
// indices and the clamped fraction between their centres. Flat (both on the
// same tile, fraction 0) beyond the last centre.
struct Bracket {
    std::size_t lo = 0;
    std::size_t hi = 0;
    double fraction = 0.0;
};

std::vector<Bracket> brackets(const std::vector<double>& centres, std::size_t extent) {
    std::vector<Bracket> out(extent);
    const std::size_t last = centres.size() - 1;
    std::size_t i = 1;  // smallest index >= 1 with centres[i] > position
    for (std::size_t position = 0; position < extent; ++position) {
        const double p = static_cast<double>(position);
        while (i <= last && !(centres[i] > p)) ++i;
        if (i <= last) {
            const double f = (p - centres[i - 1]) / (centres[i] - centres[i - 1]);
            out[position] = {i - 1, i, std::clamp(f, 0.0, 1.0)};
        } else {
            out[position] = {last, last, 0.0};
        }
    }
    return out;
}

}  // namespace

Result<void> check_frame_shape(const ImageView& image) {
    std::size_t product = 0;
    const bool ok = image.width != 0 && image.height != 0 &&
                    !__builtin_mul_overflow(image.width, image.height, &product) &&
                    product == image.pixels.size();
    if (ok) return {};
    return std::unexpected(Error::BadImage{std::to_string(image.width) + "x" + std::to_string(image.height) +
                                           " does not match " + std::to_string(image.pixels.size()) +
                                           " pixels"});
}

std::vector<double> estimate_background(const ImageView& image, std::optional<MaskView> mask) {
    const std::size_t width = image.width;
    const std::size_t height = image.height;
    const std::uint8_t* flags = mask ? mask->flags.data() : nullptr;
    const std::vector<double> cx = tile_centres(width);
    const std::vector<double> cy = tile_centres(height);
    const std::size_t nx = cx.size();
    const std::size_t ny = cy.size();

    // Tile medians; NaN marks a tile without a usable pixel.
    std::vector<double> mesh(nx * ny);
    std::vector<std::uint16_t> samples;
    samples.reserve(kTile * kTile);
    bool any_empty = false;
    for (std::size_t j = 0; j < ny; ++j) {
        const std::size_t y_end = std::min(height, kTile * (j + 1));
        for (std::size_t i = 0; i < nx; ++i) {
            const std::size_t x_end = std::min(width, kTile * (i + 1));
            samples.clear();
            for (std::size_t y = kTile * j; y < y_end; ++y) {
                const std::size_t row = y * width;
                for (std::size_t x = kTile * i; x < x_end; ++x)
                    if (flags == nullptr || flags[row + x] == 0) samples.push_back(image.pixels[row + x]);
            }
            if (samples.empty()) {
                mesh[j * nx + i] = std::nan("");
                any_empty = true;
            } else {
                mesh[j * nx + i] = nth_u16(samples, samples.size() / 2);
            }
        }
    }

    if (any_empty) {
        std::vector<std::size_t> histogram(65536, 0);
        std::size_t usable = 0;
        for (std::size_t p = 0; p < image.pixels.size(); ++p) {
            if (flags != nullptr && flags[p] != 0) continue;
            ++histogram[image.pixels[p]];
            ++usable;
        }
        const double fallback =
            usable == 0 ? 0.0 : static_cast<double>(nth_in_histogram(histogram, usable / 2));
        for (double& value : mesh)
            if (std::isnan(value)) value = fallback;
    }

    const std::vector<Bracket> across = brackets(cx, width);
    const std::vector<Bracket> down = brackets(cy, height);
    std::vector<double> background(width * height);
    for (std::size_t y = 0; y < height; ++y) {
        const Bracket& v = down[y];
        const double* top = &mesh[v.lo * nx];
        const double* bottom = &mesh[v.hi * nx];
        double* out = &background[y * width];
        for (std::size_t x = 0; x < width; ++x) {
            // a + f (b - a) rather than (1 - f) a + f b: equal corners give
            // exactly their value, so a flat sky leaves a residual of exactly
            // 0 instead of rounding noise that the detectors would pick up.
            const Bracket& h = across[x];
            const double upper = top[h.lo] + h.fraction * (top[h.hi] - top[h.lo]);
            const double lower = bottom[h.lo] + h.fraction * (bottom[h.hi] - bottom[h.lo]);
            out[x] = upper + v.fraction * (lower - upper);
        }
    }
    return background;
}

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

namespace {

// Brightest first; a stable sort keeps equal fluxes in detection order.
void order_and_truncate(std::vector<Centroid>& centroids, std::size_t max_count) {
    std::stable_sort(centroids.begin(), centroids.end(), [](const Centroid& a, const Centroid& b) {
        return total_order(a.flux, b.flux) > 0;
    });
    if (centroids.size() > max_count) centroids.resize(max_count);
}

}  // namespace

Result<std::vector<Centroid>> detect_centroids_masked(const ImageView& image, std::size_t max_count,
                                                      std::optional<MaskView> mask) {
    if (auto shape = check_frame_shape(image); !shape) return std::unexpected(shape.error());
    if (mask && !mask_matches(*mask, image)) {
        return std::unexpected(Error::BadImage{
            "mask " + std::to_string(mask->width) + "x" + std::to_string(mask->height) + " (" +
            std::to_string(mask->flags.size()) + " flags) does not match the " +
            std::to_string(image.width) + "x" + std::to_string(image.height) + " frame"});
    }
    const std::size_t width = image.width;
    const std::size_t height = image.height;
    const std::size_t count = image.pixels.size();
    const std::uint8_t* flags = mask ? mask->flags.data() : nullptr;
    auto masked = [flags](std::size_t p) { return flags != nullptr && flags[p] != 0; };

    // The background array becomes the residual in place.
    std::vector<double> residual = estimate_background(image, mask);
    for (std::size_t p = 0; p < count; ++p) residual[p] = static_cast<double>(image.pixels[p]) - residual[p];

    double threshold = kBlobFloor;
    {
        std::size_t usable = count;
        if (flags != nullptr) usable = static_cast<std::size_t>(std::count(flags, flags + count, 0));
        std::vector<double> scratch;
        scratch.reserve(usable);
        for (std::size_t p = 0; p < count; ++p)
            if (!masked(p)) scratch.push_back(residual[p]);
        if (!scratch.empty()) {
            const double median = middle_element(scratch);
            for (double& r : scratch) r = std::fabs(r - median);
            const double mad = middle_element(scratch);
            threshold = max_ignoring_nan(mad * kMadToSigma * kBlobSigmas, kBlobFloor);
        }
    }  // the scratch copy is released before the flood fill's own state

    std::vector<std::uint8_t> visited(count, 0);
    std::vector<std::size_t> stack;
    std::vector<double> column_profile;
    std::vector<double> row_profile;
    std::vector<Centroid> centroids;

    for (std::size_t seed = 0; seed < count; ++seed) {
        if (visited[seed] != 0 || masked(seed) || !(residual[seed] >= threshold)) continue;
        visited[seed] = 1;
        stack.push_back(seed);
        double sum = 0.0, sum_x = 0.0, sum_y = 0.0;
        std::size_t area = 0;
        bool touches = false;
        std::size_t min_x = width, max_x = 0, min_y = height, max_y = 0;
        auto visit = [&](std::size_t n) {
            if (masked(n)) {
                touches = true;  // a masked pixel never joins, and taints the component
            } else if (visited[n] == 0 && residual[n] >= threshold) {
                visited[n] = 1;
                stack.push_back(n);
            }
        };
        while (!stack.empty()) {
            const std::size_t q = stack.back();
            stack.pop_back();
            const std::size_t x = q % width;
            const std::size_t y = q / width;
            min_x = std::min(min_x, x);
            max_x = std::max(max_x, x);
            min_y = std::min(min_y, y);
            max_y = std::max(max_y, y);
            if (x == 0 || x == width - 1 || y == 0 || y == height - 1) touches = true;
            if (x > 0) visit(q - 1);
            if (x + 1 < width) visit(q + 1);
            if (y > 0) visit(q - width);
            if (y + 1 < height) visit(q + width);
            const double v = residual[q];
            sum += v;
            sum_x += v * static_cast<double>(x);
            sum_y += v * static_cast<double>(y);
            ++area;
        }
        if (touches || area < kMinArea || area > kMaxArea || !(sum > 0.0)) continue;

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
                const double r = masked(p) ? 0.0 : residual[p];
                column_profile[x - x0] += r;
                row_profile[y - y0] += r;
            }
        }
        const std::optional<double> px = log_parabola_peak(column_profile);
        const std::optional<double> py = log_parabola_peak(row_profile);
        centroids.push_back({px ? static_cast<double>(x0) + *px : sum_x / sum,
                             py ? static_cast<double>(y0) + *py : sum_y / sum, sum});
    }
    order_and_truncate(centroids, max_count);
    return centroids;
}

Result<std::vector<Centroid>> detect_centroids_matched(const ImageView& image, std::size_t max_count,
                                                       double psf_sigma_px) {
    if (auto shape = check_frame_shape(image); !shape) return std::unexpected(shape.error());
    // Callers check the width; this guard keeps the kernel size bounded for
    // any direct caller.
    if (!(psf_sigma_px > 0.0 && psf_sigma_px <= kMaxPsfSigmaPx)) {
        return std::unexpected(Error::BadImage{"psf_sigma_px must be finite and in (0, " +
                                               format_float(kMaxPsfSigmaPx) + "] pixels (got " +
                                               format_float(psf_sigma_px) + ")"});
    }
    const std::size_t width = image.width;
    const std::size_t height = image.height;
    const std::size_t count = image.pixels.size();
    const double sigma = psf_sigma_px;

    const std::size_t radius = std::max<std::size_t>(saturating_cast<std::size_t>(std::ceil(3.0 * sigma)), 1);
    const std::size_t taps = 2 * radius + 1;
    std::vector<double> kernel(taps);
    const double spread = sigma * (sigma + sigma);
    double kernel_sum = 0.0;
    for (std::size_t t = 0; t < taps; ++t) {
        const double k = static_cast<double>(t) - static_cast<double>(radius);
        // The centre tap is exp(-0) = 1 for any width; writing it out keeps a
        // width so small that its square underflows from giving 0/0 = NaN.
        kernel[t] = t == radius ? 1.0 : std::exp(-(k * k) / spread);
        kernel_sum += kernel[t];
    }
    for (double& g : kernel) g /= kernel_sum;

    // Residual, then the row pass in place through a clamped line buffer.
    std::vector<double> rows = estimate_background(image);
    for (std::size_t p = 0; p < count; ++p) rows[p] = static_cast<double>(image.pixels[p]) - rows[p];
    std::vector<double> line(width + 2 * radius);
    for (std::size_t y = 0; y < height; ++y) {
        double* row = &rows[y * width];
        for (std::size_t i = 0; i < line.size(); ++i) {
            const std::size_t x = std::min(i - std::min(i, radius), width - 1);
            line[i] = row[x];
        }
        std::fill(row, row + width, 0.0);
        for (std::size_t t = 0; t < taps; ++t) {
            const double g = kernel[t];
            const double* src = &line[t];
            for (std::size_t x = 0; x < width; ++x) row[x] += g * src[x];
        }
    }
    // Column pass, row by row so the inner loop runs along memory.
    std::vector<double> filtered(count, 0.0);
    for (std::size_t y = 0; y < height; ++y) {
        double* out = &filtered[y * width];
        for (std::size_t t = 0; t < taps; ++t) {
            const std::size_t shifted = y + t;  // y + k + radius
            const std::size_t source = std::min(shifted - std::min(shifted, radius), height - 1);
            const double g = kernel[t];
            const double* src = &rows[source * width];
            for (std::size_t x = 0; x < width; ++x) out[x] += g * src[x];
        }
    }

    // Noise of the filtered surface; the row-pass buffer is free for it.
    std::copy(filtered.begin(), filtered.end(), rows.begin());
    const double median = middle_element(rows);
    for (double& v : rows) v = std::fabs(v - median);
    const double noise = kMadToSigma * middle_element(rows);
    std::vector<double>().swap(rows);
    const double threshold = kMatchedSigmas * noise;
    double floor = -std::numeric_limits<double>::infinity();
    if (noise == 0.0) {
        double lowest = filtered[0], highest = filtered[0];
        for (double v : filtered) {
            lowest = min_ignoring_nan(lowest, v);
            highest = max_ignoring_nan(highest, v);
        }
        if (lowest == highest) return std::vector<Centroid>{};  // a flat surface has no peak
        floor = lowest;
    }

    std::vector<Centroid> centroids;
    std::array<double, 2 * kCutHalfLength + 1> cut{};
    for (std::size_t y = 0; y < height; ++y) {
        const std::size_t wy0 = y - std::min(y, kPeakHalfWindow);
        const std::size_t wy1 = std::min(y + kPeakHalfWindow, height - 1);
        for (std::size_t x = 0; x < width; ++x) {
            const double v = filtered[y * width + x];
            if (v < threshold || v <= floor) continue;
            const std::size_t wx0 = x - std::min(x, kPeakHalfWindow);
            const std::size_t wx1 = std::min(x + kPeakHalfWindow, width - 1);
            bool peak = true;
            for (std::size_t ny = wy0; ny <= wy1 && peak; ++ny) {
                const double* row = &filtered[ny * width];
                for (std::size_t nx = wx0; nx <= wx1; ++nx) {
                    if (ny == y && nx == x) continue;
                    // Neighbours before it in row-major order must be lower,
                    // those after not higher: a plateau peaks at its first pixel.
                    const bool before = ny < y || (ny == y && nx < x);
                    if (before ? !(row[nx] < v) : row[nx] > v) {
                        peak = false;
                        break;
                    }
                }
            }
            if (!peak) continue;

            const std::size_t cx0 = x - std::min(x, kCutHalfLength);
            const std::size_t cx1 = std::min(x + kCutHalfLength, width - 1);
            for (std::size_t i = cx0; i <= cx1; ++i) cut[i - cx0] = filtered[y * width + i];
            const std::optional<double> px = log_parabola_peak(std::span(cut.data(), cx1 - cx0 + 1));
            const std::size_t cy0 = y - std::min(y, kCutHalfLength);
            const std::size_t cy1 = std::min(y + kCutHalfLength, height - 1);
            for (std::size_t j = cy0; j <= cy1; ++j) cut[j - cy0] = filtered[j * width + x];
            const std::optional<double> py = log_parabola_peak(std::span(cut.data(), cy1 - cy0 + 1));
            centroids.push_back({px ? static_cast<double>(cx0) + *px : static_cast<double>(x),
                                 py ? static_cast<double>(cy0) + *py : static_cast<double>(y), v});
        }
    }
    order_and_truncate(centroids, max_count);
    return centroids;
}

std::optional<Centroid> detect_sun_masked(const ImageView& image, std::size_t min_area,
                                          std::optional<MaskView> mask) {
    if (!check_frame_shape(image)) return std::nullopt;
    if (mask && !mask_matches(*mask, image)) return std::nullopt;
    const std::size_t width = image.width;
    const std::size_t height = image.height;
    const std::size_t count = image.pixels.size();
    const std::uint8_t* flags = mask ? mask->flags.data() : nullptr;
    auto masked = [flags](std::size_t p) { return flags != nullptr && flags[p] != 0; };

    // Median and absolute deviation of the unmasked pixels. Both are whole
    // numbers below 2^16, so a histogram gives element n / 2 exactly.
    std::vector<std::size_t> histogram(65536, 0);
    std::size_t usable = 0;
    for (std::size_t p = 0; p < count; ++p) {
        if (masked(p)) continue;
        ++histogram[image.pixels[p]];
        ++usable;
    }
    double threshold = kSunFloor;
    double median = 0.0;
    if (usable > 0) {
        const std::size_t med = nth_in_histogram(histogram, usable / 2);
        std::fill(histogram.begin(), histogram.end(), 0);
        for (std::size_t p = 0; p < count; ++p) {
            if (masked(p)) continue;
            const std::size_t v = image.pixels[p];
            ++histogram[v > med ? v - med : med - v];
        }
        const double mad = static_cast<double>(nth_in_histogram(histogram, usable / 2));
        median = static_cast<double>(med);
        threshold = median + max_ignoring_nan(mad * kMadToSigma * kSunSigmas, kSunFloor);
    } else {
        threshold = median + kSunFloor;
    }
    std::vector<std::size_t>().swap(histogram);

    auto bright = [&](std::size_t p) { return static_cast<double>(image.pixels[p]) >= threshold; };
    std::vector<std::uint8_t> visited(count, 0);
    std::vector<std::size_t> stack;
    std::optional<Centroid> best;
    std::size_t best_area = 0;
    for (std::size_t seed = 0; seed < count; ++seed) {
        if (visited[seed] != 0 || masked(seed) || !bright(seed)) continue;
        visited[seed] = 1;
        stack.push_back(seed);
        double sum = 0.0, sum_x = 0.0, sum_y = 0.0;
        std::size_t area = 0;
        auto visit = [&](std::size_t n) {
            // The disc may be cut by the mask or the frame: neither rejects it.
            if (visited[n] == 0 && !masked(n) && bright(n)) {
                visited[n] = 1;
                stack.push_back(n);
            }
        };
        while (!stack.empty()) {
            const std::size_t q = stack.back();
            stack.pop_back();
            const std::size_t x = q % width;
            const std::size_t y = q / width;
            if (x > 0) visit(q - 1);
            if (x + 1 < width) visit(q + 1);
            if (y > 0) visit(q - width);
            if (y + 1 < height) visit(q + width);
            const double w = static_cast<double>(image.pixels[q]) - median;
            sum += w;
            sum_x += w * static_cast<double>(x);
            sum_y += w * static_cast<double>(y);
            ++area;
        }
        if (area >= min_area && sum > 0.0 && (!best || area > best_area)) {
            best = Centroid{sum_x / sum, sum_y / sum, sum};
            best_area = area;
        }
    }
    return best;
}

}  // namespace halvane
