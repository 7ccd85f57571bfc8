#include "centroid.hpp"

#include <algorithm>
#include <array>
#include <bit>
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
// the value. Two linear passes, no reordering of the input. Sky samples
// share one or two high bytes, so the counts are spread over four
// interleaved tables to keep increments of one bin from queueing behind
// each other.
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

// Element k of the ascending order of a 65536-bin histogram.
std::size_t nth_in_histogram(std::span<const std::size_t> histogram, std::size_t k) {
    std::size_t value = 0;
    while (k >= histogram[value]) k -= histogram[value++];
    return value;
}

// An unsigned key whose ascending order is the IEEE total order of doubles.
inline std::uint64_t order_key(double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// Reusable state of `select_rank`, so repeated selections allocate once.
struct Selection {
    std::vector<std::uint32_t> histogram = std::vector<std::uint32_t>(std::size_t{2} << 16);
    std::vector<double> bucket;
};

// Element `rank` of the ascending total order of value(p) over the indices
// p < count with usable(p): what a full sort would put there, found in two
// linear passes. The first counts values by the top 16 bits of their order
// key; the second gathers the one bucket holding the rank (a few per cent
// of a noisy frame) for std::nth_element. Within a bucket all values share a
// sign, so `<` and the total order agree there.
template <class Value, class Usable>
double select_rank(Selection& state, std::size_t count, std::size_t rank, Value value, Usable usable) {
    if (count > std::numeric_limits<std::uint32_t>::max()) {
        // Beyond 32-bit counts: a plain selection over a copy.
        state.bucket.clear();
        for (std::size_t p = 0; p < count; ++p)
            if (usable(p)) state.bucket.push_back(value(p));
        const auto nth = state.bucket.begin() + static_cast<std::ptrdiff_t>(rank);
        std::nth_element(state.bucket.begin(), nth, state.bucket.end(), total_order_less);
        return *nth;
    }
    // Two tables fed from the two halves of the frame: neighbouring pixels
    // often share a bin, and alternating tables keeps those increments from
    // waiting on each other.
    std::fill(state.histogram.begin(), state.histogram.end(), 0);
    std::uint32_t* first = state.histogram.data();
    std::uint32_t* second = first + (std::size_t{1} << 16);
    const std::size_t half = count / 2;
    for (std::size_t p = 0; p < half; ++p) {
        if (usable(p)) ++first[order_key(value(p)) >> 48];
        if (usable(p + half)) ++second[order_key(value(p + half)) >> 48];
    }
    if (count % 2 != 0 && usable(count - 1)) ++first[order_key(value(count - 1)) >> 48];
    auto in_bin = [first, second](std::size_t bin) { return std::size_t{first[bin]} + second[bin]; };
    std::size_t bucket = 0;
    while (rank >= in_bin(bucket)) rank -= in_bin(bucket++);
    const std::size_t bucket_size = in_bin(bucket);
    state.bucket.clear();
    state.bucket.reserve(bucket_size);
    for (std::size_t p = 0; p < count; ++p) {
        if (!usable(p)) continue;
        const double v = value(p);
        if ((order_key(v) >> 48) == bucket) state.bucket.push_back(v);
    }
    const auto nth = state.bucket.begin() + static_cast<std::ptrdiff_t>(rank);
    std::nth_element(state.bucket.begin(), nth, state.bucket.end());
    return *nth;
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

// out[x] = sum over t of kernel[t] * sources[t][x] for x < n, each sum
// taken from 0.0 in tap order. Eight outputs at a time stay in registers
// across the taps instead of being read and written once per tap.
void weighted_sum(std::span<const double> kernel, const double* const* sources, double* out, std::size_t n) {
    constexpr std::size_t kBlock = 8;
    std::size_t x = 0;
    for (; x + kBlock <= n; x += kBlock) {
        double acc[kBlock] = {};
        for (std::size_t t = 0; t < kernel.size(); ++t) {
            const double g = kernel[t];
            const double* src = sources[t] + x;
            for (std::size_t j = 0; j < kBlock; ++j) acc[j] += g * src[j];
        }
        for (std::size_t j = 0; j < kBlock; ++j) out[x + j] = acc[j];
    }
    for (; x < n; ++x) {
        double acc = 0.0;
        for (std::size_t t = 0; t < kernel.size(); ++t) acc += kernel[t] * sources[t][x];
        out[x] = acc;
    }
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
    std::array<std::uint16_t, kTile * kTile> samples;
    bool any_empty = false;
    for (std::size_t j = 0; j < ny; ++j) {
        const std::size_t y_end = std::min(height, kTile * (j + 1));
        for (std::size_t i = 0; i < nx; ++i) {
            const std::size_t x_begin = kTile * i;
            const std::size_t x_end = std::min(width, kTile * (i + 1));
            std::size_t n = 0;
            for (std::size_t y = kTile * j; y < y_end; ++y) {
                const std::uint16_t* row = &image.pixels[y * width];
                if (flags == nullptr) {
                    std::copy(row + x_begin, row + x_end, samples.begin() + static_cast<std::ptrdiff_t>(n));
                    n += x_end - x_begin;
                } else {
                    const std::uint8_t* masked = &flags[y * width];
                    for (std::size_t x = x_begin; x < x_end; ++x) {
                        samples[n] = row[x];
                        n += masked[x] == 0 ? 1 : 0;
                    }
                }
            }
            if (n == 0) {
                mesh[j * nx + i] = std::nan("");
                any_empty = true;
            } else {
                mesh[j * nx + i] = nth_u16(std::span(samples.data(), n), n / 2);
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
    // The horizontal mixes of the two mesh rows around y change only at tile
    // bands, so they are made once per band and each pixel costs one mix.
    // a + f (b - a) rather than (1 - f) a + f b: equal values mix to exactly
    // themselves, so a flat sky leaves a residual of exactly 0 instead of
    // rounding noise that the detectors would pick up.
    std::vector<double> upper(width), lower(width);
    std::size_t band_lo = ny, band_hi = ny;
    for (std::size_t y = 0; y < height; ++y) {
        const Bracket& v = down[y];
        if (v.lo != band_lo || v.hi != band_hi) {
            band_lo = v.lo;
            band_hi = v.hi;
            const double* top = &mesh[v.lo * nx];
            const double* bottom = &mesh[v.hi * nx];
            for (std::size_t x = 0; x < width; ++x) {
                const Bracket& h = across[x];
                upper[x] = top[h.lo] + h.fraction * (top[h.hi] - top[h.lo]);
                lower[x] = bottom[h.lo] + h.fraction * (bottom[h.hi] - bottom[h.lo]);
            }
        }
        double* out = &background[y * width];
        const double f = v.fraction;
        for (std::size_t x = 0; x < width; ++x) out[x] = upper[x] + f * (lower[x] - upper[x]);
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
    const std::size_t usable =
        flags == nullptr ? count : static_cast<std::size_t>(std::count(flags, flags + count, 0));
    if (usable > 0) {
        Selection selection;
        auto unmasked = [&](std::size_t p) { return !masked(p); };
        const double median =
            select_rank(selection, count, usable / 2, [&](std::size_t p) { return residual[p]; }, unmasked);
        const double mad = select_rank(
            selection, count, usable / 2, [&](std::size_t p) { return std::fabs(residual[p] - median); }, unmasked);
        threshold = max_ignoring_nan(mad * kMadToSigma * kBlobSigmas, kBlobFloor);
    }

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
    std::vector<const double*> sources(taps);
    for (std::size_t t = 0; t < taps; ++t) sources[t] = &line[t];
    for (std::size_t y = 0; y < height; ++y) {
        double* row = &rows[y * width];
        for (std::size_t i = 0; i < line.size(); ++i) {
            const std::size_t x = std::min(i - std::min(i, radius), width - 1);
            line[i] = row[x];
        }
        weighted_sum(kernel, sources.data(), row, width);
    }
    // Column pass, row by row so the inner loop runs along memory, written
    // back over the row-pass result: row k of that is last read for output
    // row k + radius, so each output row waits in a ring of radius + 1 rows
    // until its slot is free. This saves a second frame-sized buffer.
    const std::size_t ring_rows = std::min(radius + 1, height);
    std::vector<double> ring(ring_rows * width);
    auto flush = [&](std::size_t row) {
        const double* held = &ring[(row % ring_rows) * width];
        std::copy(held, held + width, &rows[row * width]);
    };
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t t = 0; t < taps; ++t) {
            const std::size_t shifted = y + t;  // y + k + radius
            sources[t] = &rows[std::min(shifted - std::min(shifted, radius), height - 1) * width];
        }
        if (y >= ring_rows) flush(y - ring_rows);
        weighted_sum(kernel, sources.data(), &ring[(y % ring_rows) * width], width);
    }
    for (std::size_t row = height - std::min(height, ring_rows); row < height; ++row) flush(row);
    std::vector<double>().swap(ring);
    const std::vector<double>& filtered = rows;

    Selection selection;
    auto all = [](std::size_t) { return true; };
    const double median =
        select_rank(selection, count, count / 2, [&](std::size_t p) { return filtered[p]; }, all);
    const double noise =
        kMadToSigma *
        select_rank(selection, count, count / 2, [&](std::size_t p) { return std::fabs(filtered[p] - median); }, all);
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
