#include "matched_filter.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "background.hpp"
#include "detection.hpp"
#include "numeric.hpp"
#include "statistics.hpp"

namespace halvane {

namespace {

using detection::median_deviation;
using detection::order_and_truncate;

constexpr double kMatchedSigmas = 4.0;
constexpr std::size_t kPeakHalfWindow = 2;
constexpr std::size_t kCutHalfLength = 3;
constexpr double kMaxPsfSigmaPx = 64.0;
// The matched filter plans from blocks of kSampleRows rows, one block in
// every kSamplePeriodRows (a quarter of them).
constexpr std::size_t kSampleRows = 16;
constexpr std::size_t kSamplePeriodRows = 64;

// out[x] = sum over t of kernel[t] * sources[t][x] for x < n, each sum
// taken from 0.0 in tap order. Thirty-two outputs at a time stay in
// registers across the taps, as four independent chains of eight lanes,
// instead of being read and written once per tap. The build for the widest
// registers the processor has is picked at load time; none changes the sums:
// each is still one multiply and one add per tap, in order, never fused
// into one rounding (the engine is built with -ffp-contract=off).
__attribute__((target_clones("avx512f", "avx2", "default"))) void weighted_sum(
    std::span<const double> kernel, const double* const* sources, double* out, std::size_t n) {
    using Lanes = double __attribute__((vector_size(64)));
    constexpr std::size_t kLanes = 8;
    constexpr std::size_t kChains = 4;
    constexpr std::size_t kBlock = kLanes * kChains;
    std::size_t x = 0;
    for (; x + kBlock <= n; x += kBlock) {
        Lanes acc[kChains] = {};
        for (std::size_t t = 0; t < kernel.size(); ++t) {
            const double k = kernel[t];
            const Lanes g = {k, k, k, k, k, k, k, k};
            const double* src = sources[t] + x;
            for (std::size_t c = 0; c < kChains; ++c) {
                Lanes v;
                std::memcpy(&v, src + c * kLanes, sizeof v);
                acc[c] += g * v;
            }
        }
        std::memcpy(out + x, acc, sizeof acc);
    }
    for (; x < n; ++x) {
        double acc = 0.0;
        for (std::size_t t = 0; t < kernel.size(); ++t) acc += kernel[t] * sources[t][x];
        out[x] = acc;
    }
}

// The normalised Gaussian taps of a PSF of width sigma, radius
// max(ceil(3 sigma), 1).
std::vector<double> gaussian_kernel(double sigma) {
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
    return kernel;
}

// The residual convolved with a separable kernel, edges clamped: every row
// first, then every column of the row result. Rows stream: each residual
// row is filtered along the row into a ring of the last `taps` row-pass
// rows, and each output row is filtered down the columns from that ring as
// soon as its rows are in. Neither the background, the residual nor the
// surface is ever held whole. Every pass over the surface comes through
// here, so this is where the detector asks whether to stop.
class FilteredRows {
public:
    FilteredRows(const ImageView& image, const BackgroundMesh& mesh, std::vector<double> kernel, RowPoll& poll)
        : kernel_(std::move(kernel)),
          radius_(kernel_.size() / 2),
          width_(image.width),
          height_(image.height),
          image_(image),
          mesh_(mesh),
          line_(width_ + 2 * radius_),
          ring_rows_(std::min(kernel_.size(), height_)),
          ring_(ring_rows_ * width_),
          sources_(kernel_.size()),
          out_(width_),
          poll_(poll) {}

    // Row y of the filtered surface, valid until the next call. Rows come
    // in increasing order, possibly skipping some; asking for row 0 starts
    // over.
    const double* operator()(std::size_t y) {
        poll_();
        if (y == 0) passed_ = 0;
        // Rows y - radius to y + radius must have had their row pass; the
        // ring keeps the last `taps` of them.
        passed_ = std::max(passed_, y - std::min(y, radius_));
        for (; passed_ < std::min(y + radius_ + 1, height_); ++passed_) row_pass(passed_);
        for (std::size_t t = 0; t < kernel_.size(); ++t) {
            const std::size_t shifted = y + t;  // y + k + radius
            sources_[t] = &ring_[(std::min(shifted - std::min(shifted, radius_), height_ - 1) % ring_rows_) * width_];
        }
        weighted_sum(kernel_, sources_.data(), out_.data(), width_);
        return out_.data();
    }

private:
    void row_pass(std::size_t y) {
        poll_();  // a wide kernel starts with hundreds of row passes
        // The residual row with its edge values repeated `radius` times on
        // either side.
        double* residual = &line_[radius_];
        mesh_.residual_row(y, &image_.pixels[y * width_], residual);
        std::fill(line_.begin(), line_.begin() + static_cast<std::ptrdiff_t>(radius_), residual[0]);
        std::fill(line_.end() - static_cast<std::ptrdiff_t>(radius_), line_.end(), residual[width_ - 1]);
        for (std::size_t t = 0; t < kernel_.size(); ++t) sources_[t] = &line_[t];
        weighted_sum(kernel_, sources_.data(), &ring_[(y % ring_rows_) * width_], width_);
    }

    std::vector<double> kernel_;
    std::size_t radius_;
    std::size_t width_;
    std::size_t height_;
    const ImageView& image_;
    const BackgroundMesh& mesh_;
    std::vector<double> line_;
    std::size_t ring_rows_;
    std::vector<double> ring_;
    std::vector<const double*> sources_;
    std::vector<double> out_;
    RowPoll& poll_;
    std::size_t passed_ = 0;  // rows before this one have had their row pass
};

// Widens [lowest, highest] to take in values[0 .. n), which are finite
// (so the order of comparisons cannot matter). Four chains per end keep
// the comparisons from queueing behind one another; kept out of line so
// that its chains stay in registers.
__attribute__((noinline)) void widen_range(const double* values, std::size_t n, double& lowest, double& highest) {
    double low[4] = {lowest, lowest, lowest, lowest};
    double high[4] = {highest, highest, highest, highest};
    std::size_t x = 0;
    for (; x + 4 <= n; x += 4)
        for (std::size_t c = 0; c < 4; ++c) {
            low[c] = values[x + c] < low[c] ? values[x + c] : low[c];
            high[c] = values[x + c] > high[c] ? values[x + c] : high[c];
        }
    for (; x < n; ++x) {
        low[0] = std::min(low[0], values[x]);
        high[0] = std::max(high[0], values[x]);
    }
    lowest = std::min({low[0], low[1], low[2], low[3]});
    highest = std::max({high[0], high[1], high[2], high[3]});
}

// The matched filter's peaks, found on a window of seven surface rows that
// slides down the frame: row y is examined once rows y - 3 to y + 3 are in.
class PeakFinder {
public:
    PeakFinder(std::size_t width, std::size_t height)
        : width_(width), height_(height), ring_rows_(std::min(kRing, height)), ring_(ring_rows_ * width) {}

    // Takes the next surface row (rows come in order, once per pass) and
    // appends the peaks of the row now complete, in row-major order: values
    // not below threshold and above floor (both let NaN through) that beat
    // their 5 x 5 neighbourhood.
    void add_row(const double* row, double threshold, double floor, std::vector<Centroid>& out) {
        std::copy(row, row + width_, &ring_[(next_ % ring_rows_) * width_]);
        ++next_;
        if (next_ > kCutHalfLength) examine(next_ - 1 - kCutHalfLength, threshold, floor, out);
    }

    // Examines the rows still waiting after the last one, and starts over.
    void finish(double threshold, double floor, std::vector<Centroid>& out) {
        for (std::size_t y = next_ - std::min(next_, kCutHalfLength); y < height_; ++y)
            examine(y, threshold, floor, out);
        restart();
    }

    // Starts over, dropping a pass left unfinished.
    void restart() { next_ = 0; }

private:
    static constexpr std::size_t kRing = 2 * kCutHalfLength + 1;

    const double* row(std::size_t y) const { return &ring_[(y % ring_rows_) * width_]; }

    void examine(std::size_t y, double threshold, double floor, std::vector<Centroid>& out) {
        const std::size_t wy0 = y - std::min(y, kPeakHalfWindow);
        const std::size_t wy1 = std::min(y + kPeakHalfWindow, height_ - 1);
        const double* centre = row(y);
        for (std::size_t x = 0; x < width_; ++x) {
            const double v = centre[x];
            if (v < threshold || v <= floor) continue;
            const std::size_t wx0 = x - std::min(x, kPeakHalfWindow);
            const std::size_t wx1 = std::min(x + kPeakHalfWindow, width_ - 1);
            bool peak = true;
            for (std::size_t ny = wy0; ny <= wy1 && peak; ++ny) {
                const double* neighbours = row(ny);
                for (std::size_t nx = wx0; nx <= wx1; ++nx) {
                    if (ny == y && nx == x) continue;
                    // Neighbours before it in row-major order must be lower,
                    // those after not higher: a plateau peaks at its first pixel.
                    const bool before = ny < y || (ny == y && nx < x);
                    if (before ? !(neighbours[nx] < v) : neighbours[nx] > v) {
                        peak = false;
                        break;
                    }
                }
            }
            if (!peak) continue;

            std::array<double, 2 * kCutHalfLength + 1> cut{};
            const std::size_t cx0 = x - std::min(x, kCutHalfLength);
            const std::size_t cx1 = std::min(x + kCutHalfLength, width_ - 1);
            for (std::size_t i = cx0; i <= cx1; ++i) cut[i - cx0] = centre[i];
            const std::optional<double> px = log_parabola_peak(std::span(cut.data(), cx1 - cx0 + 1));
            const std::size_t cy0 = y - std::min(y, kCutHalfLength);
            const std::size_t cy1 = std::min(y + kCutHalfLength, height_ - 1);
            for (std::size_t j = cy0; j <= cy1; ++j) cut[j - cy0] = row(j)[x];
            const std::optional<double> py = log_parabola_peak(std::span(cut.data(), cy1 - cy0 + 1));
            out.push_back({px ? static_cast<double>(cx0) + *px : static_cast<double>(x),
                           py ? static_cast<double>(cy0) + *py : static_cast<double>(y), v});
        }
    }

    std::size_t width_;
    std::size_t height_;
    std::size_t ring_rows_;
    std::vector<double> ring_;
    std::size_t next_ = 0;  // rows taken in this pass
};
}  // namespace

Result<std::vector<Centroid>> detect_centroids_matched(const ImageView& image, std::size_t max_count,
                                                       double psf_sigma_px, Cancellation cancel) {
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

    // The filtered surface is never held whole: it is computed again on
    // each pass, which costs less than writing and reading 8 bytes a pixel.
    RowPoll poll(cancel);
    const BackgroundMesh mesh(image, std::nullopt, cancel);
    FilteredRows filtered(image, mesh, gaussian_kernel(psf_sigma_px), poll);

    // First pass, over a sample of the rows: the surface's values counted
    // by bucket, to plan what the second pass must hold.
    KeyHistogram histogram;
    std::size_t sampled = 0;
    // Each block sits at the next quarter of its period, so that the sample
    // meets every phase of the 32-row background tiles alike.
    for (std::size_t block = 0; block * kSamplePeriodRows < height; ++block) {
        const std::size_t first = block * kSamplePeriodRows + (block % 4) * kSampleRows;
        for (std::size_t y = first; y < std::min(first + kSampleRows, height); ++y) {
            histogram.add(filtered(y), nullptr, width);
            sampled += width;
        }
    }
    const double scale = static_cast<double>(count) / static_cast<double>(sampled);
    // Rank slack for the sample: six standard errors of a sampled median's
    // rank, plus 0.05 per cent for rows that are neighbours rather than
    // independent draws. A sample that still misleads costs a third pass,
    // never a wrong value: the plan is checked against the exact counts.
    const auto slack = static_cast<std::size_t>(3.0 * std::sqrt(static_cast<double>(sampled)) +
                                                0.0005 * static_cast<double>(sampled));
    const std::size_t max_kept = count / 8 + 4096;
    MedianDeviation statistics;
    const bool planned = count <= std::numeric_limits<std::uint32_t>::max() &&
                         statistics.plan(histogram, sampled, static_cast<std::size_t>(
                                                                 static_cast<double>(max_kept) / scale), slack);

    // Second pass, over every row: the exact counts, the values the plan
    // asks for, and every peak at or above the lowest threshold its
    // deviation bound allows (the peak test itself does not depend on the
    // threshold).
    auto threshold_of = [](double deviation) { return kMatchedSigmas * (kMadToSigma * deviation); };
    const double lowest_threshold =
        planned ? threshold_of(statistics.deviation_lower_bound()) : std::numeric_limits<double>::infinity();
    if (planned) statistics.reserve(scale);
    std::vector<Centroid> centroids;
    PeakFinder peaks(width, height);
    histogram.clear();
    bool too_many = false;  // candidates: then detect again once the threshold is known
    for (std::size_t y = 0; y < height; ++y) {
        const double* row = filtered(y);
        histogram.add(row, nullptr, width);
        if (!planned || too_many) continue;
        statistics.add(row, width);
        peaks.add_row(row, lowest_threshold, -std::numeric_limits<double>::infinity(), centroids);
        too_many = centroids.size() > max_kept;
    }
    if (planned && !too_many) peaks.finish(lowest_threshold, -std::numeric_limits<double>::infinity(), centroids);
    peaks.restart();
    // The surface's range matters only to a surface without noise, where it
    // takes a pass of its own. The surface is finite (16-bit input, a finite
    // mesh, normalised taps), so plain min and max serve.
    std::optional<std::pair<double, double>> range;
    auto surface_range = [&] {
        if (!range) {
            range.emplace(std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity());
            for (std::size_t y = 0; y < height; ++y) widen_range(filtered(y), width, range->first, range->second);
        }
        return *range;
    };
    // Values in two buckets differ; values in one may all be equal, and a
    // flat surface has no peak.
    std::size_t filled = 0;
    for (std::size_t b = 0; b < KeyHistogram::kBuckets && filled < 2; ++b) filled += histogram.count(b) != 0;
    if (filled == 1 && surface_range().first == surface_range().second) return std::vector<Centroid>{};
    // With no noise at all, a peak must also stand above the surface's
    // minimum.
    auto floor_of = [&](double deviation) {
        return deviation == 0.0 ? surface_range().first : -std::numeric_limits<double>::infinity();
    };
    auto keep_detections = [&](double deviation) {
        const double threshold = threshold_of(deviation);
        const double floor = floor_of(deviation);
        std::erase_if(centroids, [&](const Centroid& c) { return c.flux < threshold || c.flux <= floor; });
        order_and_truncate(centroids, max_count);
        return centroids;
    };
    MedianDeviation exact;
    const bool exact_planned =
        count <= std::numeric_limits<std::uint32_t>::max() && exact.plan(histogram, count, max_kept);
    if (planned && exact_planned && !too_many && statistics.narrow_to(exact)) {
        const double deviation = statistics.result().deviation;
        if (threshold_of(deviation) >= lowest_threshold) return keep_detections(deviation);
    }
    std::vector<Centroid>().swap(centroids);
    statistics = MedianDeviation{};

    // The sample misled the plan: a third pass with the exact one.
    too_many = false;
    if (exact_planned) {
        const double exact_lowest_threshold = threshold_of(exact.deviation_lower_bound());
        exact.reserve(1.0);
        for (std::size_t y = 0; y < height && !too_many; ++y) {
            const double* row = filtered(y);
            exact.add(row, width);
            peaks.add_row(row, exact_lowest_threshold, -std::numeric_limits<double>::infinity(), centroids);
            too_many = centroids.size() > max_kept;
        }
        if (!too_many) {
            peaks.finish(exact_lowest_threshold, -std::numeric_limits<double>::infinity(), centroids);
            return keep_detections(exact.result().deviation);
        }
        centroids.clear();
        peaks.restart();
    }
    // Values crowded into a few buckets (a nearly flat sky), or a threshold
    // bound too loose to be useful: exact selections over the recomputed
    // surface, then the detection pass.
    const double deviation = median_deviation(height, width, nullptr, count, filtered);
    const double threshold = threshold_of(deviation);
    const double floor = floor_of(deviation);
    for (std::size_t y = 0; y < height; ++y) peaks.add_row(filtered(y), threshold, floor, centroids);
    peaks.finish(threshold, floor, centroids);
    order_and_truncate(centroids, max_count);
    return centroids;
}

}  // namespace halvane
