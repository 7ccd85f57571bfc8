#include "remap.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace halvane {

namespace {

std::string extent_text(std::string_view label, std::size_t width, std::size_t height) {
    return std::string(label) + " " + std::to_string(width) + "x" + std::to_string(height);
}

// (cos, sin) of atan2(y, x) given length = hypot(x, y). Dividing by the
// length gives the same unit vector to a few units in the last place at a
// fraction of the cost of atan2, cos and sin, which dominate a remap of a
// fisheye otherwise; the origin and non-finite values keep the
// trigonometric path, which is what defines them (atan2 of signed zeros).
struct Azimuth {
    double cos = 1.0;
    double sin = 0.0;
};

Azimuth azimuth(double x, double y, double length) noexcept {
    if (length > 0.0 && std::isfinite(length)) return {x / length, y / length};
    const double phi = std::atan2(y, x);
    return {std::cos(phi), std::sin(phi)};
}

// The clamped source position each destination pixel samples: the
// composition src.vec_to_pixel(dst.pixel_to_vec(x, y)) behind the
// destination's own field test and the source frame test. A fisheye's
// radial law comes from the camera itself (Newton inverse included), so
// positions agree with the Camera methods to rounding; only the azimuth
// takes the shortcut above, and the off-axis angle that both field tests
// and a fisheye source need is computed once.
class SourceMap {
public:
    SourceMap(const Camera& src, const Camera& dst, std::size_t src_width, std::size_t src_height)
        : src_(src),
          dst_(dst),
          src_pinhole_(std::holds_alternative<Pinhole>(src.projection)),
          dst_pinhole_(std::holds_alternative<Pinhole>(dst.projection)),
          x_limit_(static_cast<double>(src_width) - 0.5),
          y_limit_(static_cast<double>(src_height) - 0.5),
          x_last_(static_cast<double>(src_width) - 1.0),
          y_last_(static_cast<double>(src_height) - 1.0) {}

    std::optional<PixelPosition> operator()(double x, double y) const noexcept {
        const std::optional<PixelPosition> s = project(x, y);
        // Off the source frame otherwise; a NaN fails both comparisons.
        if (!s || !(s->x >= -0.5 && s->x < x_limit_ && s->y >= -0.5 && s->y < y_limit_)) return std::nullopt;
        return PixelPosition{std::clamp(s->x, 0.0, x_last_), std::clamp(s->y, 0.0, y_last_)};
    }

private:
    Vec3 destination_direction(double x, double y) const noexcept {
        if (dst_pinhole_) return dst_.pixel_to_vec(x, y);
        const double dx = x - dst_.cx;
        const double dy = y - dst_.cy;
        const double rho = std::hypot(dx, dy);
        const double theta = dst_.fisheye_angle(rho);
        const Azimuth a = azimuth(dx, dy, rho);
        const double s = std::sin(theta);
        return {s * a.cos, s * a.sin, std::cos(theta)};
    }

    std::optional<PixelPosition> project(double x, double y) const noexcept {
        const Vec3 d = destination_direction(x, y);
        if (!std::isfinite(d[0]) || !std::isfinite(d[1]) || !std::isfinite(d[2])) return std::nullopt;
        // The destination's own field test first, as dst.vec_to_pixel(d) makes it.
        if (dst_pinhole_ && d[2] <= 1e-12) return std::nullopt;
        if (dst_pinhole_ && src_pinhole_) return src_.vec_to_pixel(d);
        const double theta = std::acos(std::clamp(d[2], -1.0, 1.0));
        if (!dst_pinhole_ && !dst_.fisheye_radius(theta)) return std::nullopt;
        if (src_pinhole_) return src_.vec_to_pixel(d);
        const std::optional<double> r = src_.fisheye_radius(theta);
        if (!r) return std::nullopt;
        const Azimuth a = azimuth(d[0], d[1], std::hypot(d[0], d[1]));
        return PixelPosition{src_.cx + a.cos * *r, src_.cy + a.sin * *r};
    }

    Camera src_;
    Camera dst_;
    bool src_pinhole_;
    bool dst_pinhole_;
    double x_limit_, y_limit_;  // source width and height - 0.5
    double x_last_, y_last_;    // the last column and row
};

// Nearest integer of a value in [0, 2^32), halves away from zero, as
// std::round gives it: the truncating cast is exact in that range and
// spares a library call per destination pixel.
std::size_t round_nonnegative(double value) noexcept {
    const auto whole = static_cast<std::uint32_t>(value);
    return whole + (value - static_cast<double>(whole) >= 0.5 ? 1 : 0);
}

// One pass over the destination, row by row, appending each row to `out`
// (reserved for them all, so the memory is touched in the polled loop):
// out[y * width + x] = sample(s) wherever pixel (x, y) images source
// position s, `fill` elsewhere.
template <class T, class Sample>
void remap_into(const SourceMap& map, std::size_t dst_width, std::size_t dst_height, T fill, std::vector<T>& out,
                const Sample& sample, Cancellation cancel) {
    RowPoll poll(cancel);
    out.reserve(dst_width * dst_height);
    for (std::size_t y = 0; y < dst_height; ++y) {
        poll();
        out.resize(out.size() + dst_width, fill);
        T* row = out.data() + y * dst_width;
        for (std::size_t x = 0; x < dst_width; ++x) {
            if (const auto s = map(static_cast<double>(x), static_cast<double>(y))) row[x] = sample(*s);
        }
    }
}

// Checks both extents and the source buffer, in the order of the messages.
Result<std::size_t> checked_destination(std::string_view kind, std::size_t width, std::size_t height,
                                        std::size_t buffer_length, std::size_t dst_width, std::size_t dst_height) {
    const std::string source = "source " + std::string(kind);
    const auto n_src = pixel_count(source, width, height);
    if (!n_src) return std::unexpected(n_src.error());
    if (*n_src != buffer_length) {
        return std::unexpected(Error::BadImage{extent_text(source, width, height) + " does not match " +
                                               std::to_string(buffer_length) + " pixels"});
    }
    return pixel_count("destination " + std::string(kind), dst_width, dst_height);
}

// The checks, then the pass: a source buffer of `length` values and
// width x height pixels seen through `src`, resampled for `dst`.
template <class T, class Sample>
Result<std::vector<T>> remapped(std::string_view kind, std::size_t width, std::size_t height, std::size_t length,
                                const Camera& src, const Camera& dst, std::size_t dst_width, std::size_t dst_height,
                                T fill, const Sample& sample, Cancellation cancel) {
    const auto n_dst = checked_destination(kind, width, height, length, dst_width, dst_height);
    if (!n_dst) return std::unexpected(n_dst.error());
    std::vector<T> out;
    remap_into<T>(SourceMap(src, dst, width, height), dst_width, dst_height, fill, out, sample, cancel);
    return out;
}

}  // namespace

Result<std::size_t> pixel_count(std::string_view label, std::size_t width, std::size_t height) {
    std::size_t count = 0;
    if (__builtin_mul_overflow(width, height, &count))
        return std::unexpected(Error::BadImage{extent_text(label, width, height) + " overflows a pixel count"});
    if (count > kMaxRemapPixels) {
        return std::unexpected(Error::BadImage{extent_text(label, width, height) + " is " + std::to_string(count) +
                                               " pixels, over the " + std::to_string(kMaxRemapPixels) +
                                               " limit"});
    }
    return count;
}

Result<OwnedImage> remap_image(const ImageView& image, const Camera& src, const Camera& dst,
                               std::size_t dst_width, std::size_t dst_height, std::uint16_t fill,
                               Cancellation cancel) {
    const std::size_t width = image.width;
    const std::uint16_t* pixels = image.pixels.data();
    auto out = remapped<std::uint16_t>(
        "image", image.width, image.height, image.pixels.size(), src, dst, dst_width, dst_height, fill,
        [&](const PixelPosition& s) {
            // s lies within the frame's pixel centres, so truncation is the floor.
            const auto x0 = static_cast<std::size_t>(s.x);
            const auto y0 = static_cast<std::size_t>(s.y);
            const std::size_t x1 = std::min(x0 + 1, width - 1);
            const std::size_t y1 = std::min(y0 + 1, image.height - 1);
            const double fx = s.x - static_cast<double>(x0);
            const double fy = s.y - static_cast<double>(y0);
            auto at = [&](std::size_t col, std::size_t row) { return static_cast<double>(pixels[row * width + col]); };
            const double v = (1.0 - fy) * ((1.0 - fx) * at(x0, y0) + fx * at(x1, y0)) +
                             fy * ((1.0 - fx) * at(x0, y1) + fx * at(x1, y1));
            // v is a weighted mean of 16-bit values: at most rounding above 65535.
            return static_cast<std::uint16_t>(std::min<std::size_t>(round_nonnegative(v), 65535));
        },
        cancel);
    if (!out) return std::unexpected(out.error());
    return OwnedImage{std::move(*out), dst_width, dst_height};
}

Result<OwnedMask> remap_mask(const MaskView& mask, const Camera& src, const Camera& dst,
                             std::size_t dst_width, std::size_t dst_height, Cancellation cancel) {
    const std::size_t width = mask.width;
    const std::uint8_t* flags = mask.flags.data();
    auto out = remapped<std::uint8_t>("mask", mask.width, mask.height, mask.flags.size(), src, dst, dst_width,
                                      dst_height, 1,
                                      [&](const PixelPosition& s) {
                                          const std::size_t col = round_nonnegative(s.x);
                                          const std::size_t row = round_nonnegative(s.y);
                                          return static_cast<std::uint8_t>(flags[row * width + col] != 0);
                                      },
                                      cancel);
    if (!out) return std::unexpected(out.error());
    return OwnedMask{std::move(*out), dst_width, dst_height};
}

}  // namespace halvane
