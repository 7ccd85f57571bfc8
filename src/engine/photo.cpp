#include "photo.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "numeric.hpp"
#include "remap.hpp"

namespace halvane {

namespace {

constexpr std::uint16_t kMinPixel = 0;
constexpr std::uint16_t kMaxPixel = std::numeric_limits<std::uint16_t>::max();

struct Min {
    static constexpr std::uint16_t kNeutral = kMaxPixel;
    static std::uint16_t apply(std::uint16_t a, std::uint16_t b) { return std::min(a, b); }
};
struct Max {
    static constexpr std::uint16_t kNeutral = kMinPixel;
    static std::uint16_t apply(std::uint16_t a, std::uint16_t b) { return std::max(a, b); }
};

// A row-major 16-bit plane with its width; the passes below work on a copy
// of the frame padded by half a line on every side, so that every window of
// an image pixel lies inside the plane. Its values start undefined: each
// pass writes every value it later reads, a row at a time, so the memory is
// first touched in the passes' polled loops rather than all at once.
struct Plane {
    std::unique_ptr<std::uint16_t[]> values;
    std::size_t width = 0;
    std::size_t height = 0;
    Plane(std::size_t w, std::size_t h) : values(new std::uint16_t[w * h]), width(w), height(h) {}
    std::uint16_t* row(std::size_t y) { return values.get() + y * width; }
    const std::uint16_t* row(std::size_t y) const { return values.get() + y * width; }
};

// Minimum or maximum over windows of `length` = 2 half + 1 pixels along lines
// of direction (dx, 1), dx in {-1, 0, 1}, or along rows when `along_rows`.
// van Herk's running block extremes: a prefix (g) and a suffix (h) per block
// of `length` along each line, so each pixel costs three operations whatever
// the length. Beyond the plane counts as neutral. Scratch planes g and h are
// the plane's size and reused by every call.
template <class Op>
void line_extreme(const Plane& in, Plane& out, Plane& g, Plane& h, bool along_rows, int dx, std::size_t half,
                  RowPoll& poll) {
    const std::size_t w = in.width, ht = in.height, length = 2 * half + 1;
    if (along_rows) {
        for (std::size_t y = half; y + half < ht; ++y) {
            poll();
            const std::uint16_t* f = in.row(y);
            std::uint16_t* gr = g.row(y);
            std::uint16_t* hr = h.row(y);
            for (std::size_t start = 0; start < w; start += length) {
                const std::size_t end = std::min(start + length, w);
                gr[start] = f[start];
                for (std::size_t x = start + 1; x < end; ++x) gr[x] = Op::apply(f[x], gr[x - 1]);
                hr[end - 1] = f[end - 1];
                for (std::size_t x = end - 1; x-- > start;) hr[x] = Op::apply(f[x], hr[x + 1]);
            }
            std::uint16_t* o = out.row(y);
            for (std::size_t x = half; x + half < w; ++x) o[x] = Op::apply(hr[x - half], gr[x + half]);
        }
        return;
    }
    // Lines step one row down and dx columns across. Pixel x of a row takes
    // its line's running extreme from column x - dx of the row before (g) or
    // x + dx of the row after (h); a line entering from outside the plane
    // starts with the pixel itself.
    const auto step_rows = [&](const std::uint16_t* f, const std::uint16_t* other, std::uint16_t* dst, int step) {
        const std::size_t lo = step < 0 ? 1 : 0, hi = step > 0 ? w - 1 : w;
        for (std::size_t x = 0; x < lo; ++x) dst[x] = f[x];
        for (std::size_t x = hi; x < w; ++x) dst[x] = f[x];
        for (std::size_t x = lo; x < hi; ++x) dst[x] = Op::apply(f[x], other[static_cast<std::ptrdiff_t>(x) + step]);
    };
    for (std::size_t y = 0; y < ht; ++y) {
        poll();
        if (y % length == 0)
            std::copy_n(in.row(y), w, g.row(y));
        else
            step_rows(in.row(y), g.row(y - 1), g.row(y), -dx);
    }
    for (std::size_t y = ht; y-- > 0;) {
        poll();
        if (y % length == length - 1 || y + 1 == ht)
            std::copy_n(in.row(y), w, h.row(y));
        else
            step_rows(in.row(y), h.row(y + 1), h.row(y), dx);
    }
    // Only the image part of the plane is needed: there both ends of the
    // window lie inside the plane.
    const auto shift = static_cast<std::ptrdiff_t>(half) * dx;  // column offset of the window's ends
    for (std::size_t y = half; y + half < ht; ++y) {
        poll();
        // Offsets from the window's first column keep every pointer inside
        // the plane.
        const auto first = static_cast<std::ptrdiff_t>(half);
        const std::uint16_t* top = h.row(y - half) + (first - shift);
        const std::uint16_t* bottom = g.row(y + half) + (first + shift);
        std::uint16_t* o = out.row(y) + half;
        for (std::size_t i = 0; i + 2 * half < w; ++i) o[i] = Op::apply(top[i], bottom[i]);
    }
}

}  // namespace

Result<OwnedImage> remove_extended_light(const ImageView& image, std::size_t line_px, Cancellation cancel) {
    if (auto shape = check_frame_shape(image); !shape) return std::unexpected(shape.error());
    if (line_px < 3 || line_px > 255 || line_px % 2 == 0)
        return std::unexpected(
            Error::BadImage{"line_px must be odd and in 3..255 (got " + std::to_string(line_px) + ")"});
    const std::size_t half = line_px / 2;
    RowPoll poll(cancel);
    const std::size_t plane_width = image.width + 2 * half, plane_height = image.height + 2 * half;
    Plane frame(plane_width, plane_height);
    for (std::size_t y = 0; y < plane_height; ++y) {
        poll();
        std::uint16_t* row = frame.row(y);
        if (y < half || y >= half + image.height) {
            std::fill_n(row, plane_width, Min::kNeutral);
            continue;
        }
        std::fill_n(row, half, Min::kNeutral);
        std::copy_n(image.pixels.data() + (y - half) * image.width, image.width, row + half);
        std::fill_n(row + half + image.width, half, Min::kNeutral);
    }
    Plane eroded(plane_width, plane_height), opened(plane_width, plane_height);
    Plane g(plane_width, plane_height), h(plane_width, plane_height);
    // The first direction's opening starts the background, row by row.
    std::vector<std::uint16_t> background;
    background.reserve(image.pixels.size());

    struct Direction {
        bool along_rows;
        int dx;
    };
    constexpr Direction kDirections[] = {{true, 0}, {false, 0}, {false, 1}, {false, -1}};
    for (const Direction& d : kDirections) {
        line_extreme<Min>(frame, eroded, g, h, d.along_rows, d.dx, half, poll);
        // The dilation must see neutral padding, not the erosion's spill.
        for (std::size_t y = 0; y < eroded.height; ++y) {
            poll();
            std::uint16_t* row = eroded.row(y);
            const bool pad_row = y < half || y >= half + image.height;
            if (pad_row) {
                std::fill_n(row, eroded.width, Max::kNeutral);
                continue;
            }
            std::fill_n(row, half, Max::kNeutral);
            std::fill_n(row + half + image.width, half, Max::kNeutral);
        }
        line_extreme<Max>(eroded, opened, g, h, d.along_rows, d.dx, half, poll);
        const bool first = background.empty();
        for (std::size_t y = 0; y < image.height; ++y) {
            poll();
            const std::uint16_t* o = opened.row(y + half) + half;
            if (first) {
                background.insert(background.end(), o, o + image.width);
                continue;
            }
            std::uint16_t* b = background.data() + y * image.width;
            for (std::size_t x = 0; x < image.width; ++x) b[x] = std::max(b[x], o[x]);
        }
    }
    OwnedImage out{std::move(background), image.width, image.height};
    for (std::size_t y = 0; y < image.height; ++y) {
        poll();
        const std::uint16_t* in = image.pixels.data() + y * image.width;
        std::uint16_t* o = out.pixels.data() + y * image.width;
        for (std::size_t x = 0; x < image.width; ++x) o[x] = static_cast<std::uint16_t>(in[x] - o[x]);
    }
    return out;
}

namespace {

// How far off the frame a principal point may lie, in frame sizes (the
// larger side): far beyond any decentred or cropped lens, and the rule the
// companion's lens files follow.
constexpr double kMaxCentreOffsetFrames = 10.0;

// Refuses a principal point coordinate (`name` "cx" or "cy") more than
// kMaxCentreOffsetFrames frame sizes off a frame `extent` px along its axis.
Result<void> check_centre(const char* name, double value, std::size_t extent, std::size_t frame_size,
                          const char* side) {
    const double reach = kMaxCentreOffsetFrames * static_cast<double>(frame_size);
    const double far = static_cast<double>(extent) + reach;
    if (value >= -reach && value <= far) return {};
    return std::unexpected(Error::BadImage{std::string(name) + " must lie within " +
                                           format_float(kMaxCentreOffsetFrames) + " frame sizes of the mask, -" +
                                           format_float(reach) + " to " + format_float(far) + " px on this " +
                                           std::to_string(extent) + " px " + side + " mask (got " +
                                           format_float(value) + ")"});
}

}  // namespace

Result<OwnedMask> below_altitude_mask(const Camera& camera, const Vec3& up_cam, std::size_t width,
                                      std::size_t height, double min_altitude_rad, Cancellation cancel) {
    const double up_length = norm(up_cam);
    if (!std::isfinite(up_length) || up_length == 0.0) return std::unexpected(Error::DegenerateUp{});
    std::size_t count = 0;
    if (__builtin_mul_overflow(width, height, &count) || count == 0)
        return std::unexpected(Error::BadImage{"a " + std::to_string(width) + "x" + std::to_string(height) +
                                               " mask is empty or too large"});
    if (auto limited = pixel_count("mask", width, height); !limited) return std::unexpected(limited.error());
    const std::size_t frame_size = std::max(width, height);
    if (auto ok = check_centre("cx", camera.cx, width, frame_size, "wide"); !ok) return std::unexpected(ok.error());
    if (auto ok = check_centre("cy", camera.cy, height, frame_size, "high"); !ok) return std::unexpected(ok.error());
    const Vec3 up = scaled(up_cam, 1.0 / up_length);
    const double min_sin_altitude = std::sin(min_altitude_rad);
    RowPoll poll(cancel);

    // Every projection is radial about the principal point: tabulate, per
    // quarter pixel of radius over the radii the frame covers, sin(theta) / r
    // and cos(theta), and whether the radius is past a fisheye's field
    // limit. A principal point off the frame starts the table at the
    // frame's nearest pixel; a long thin strip coarsens the step so that the
    // table never outgrows the mask.
    const double far_x = std::max(std::abs(camera.cx), std::abs(static_cast<double>(width) - camera.cx));
    const double far_y = std::max(std::abs(camera.cy), std::abs(static_cast<double>(height) - camera.cy));
    const double last_x = static_cast<double>(width - 1), last_y = static_cast<double>(height - 1);
    const double near_x = std::max({0.0, -camera.cx, camera.cx - last_x});
    const double near_y = std::max({0.0, -camera.cy, camera.cy - last_y});
    const double r_first = near_x == 0.0 && near_y == 0.0 ? 0.0 : std::hypot(near_x, near_y);
    const double span = std::hypot(far_x, far_y) - r_first;
    const double max_steps = static_cast<double>(count / 16 + 1024);
    const double step = std::max(0.25, span / max_steps);
    const std::size_t entries = saturating_cast<std::size_t>(span / step) + 2;
    double half_fov = std::numeric_limits<double>::infinity();
    if (const auto* e = std::get_if<Equidistant>(&camera.projection)) half_fov = e->half_fov;
    if (const auto* d = std::get_if<DistortedFisheye>(&camera.projection)) half_fov = d->half_fov;
    std::vector<double> sin_over_r(entries), cos_theta(entries);
    std::size_t field_end = entries;  // first entry outside the field
    for (std::size_t i = 0; i < entries; ++i) {
        if (i % 4096 == 0) poll();
        const double r = r_first + static_cast<double>(i) * step;
        const Vec3 v = camera.pixel_to_vec(camera.cx + r, camera.cy);
        sin_over_r[i] = r == 0.0 ? 0.0 : v[0] / r;
        cos_theta[i] = v[2];
        // Beyond half_fov the ideal fisheye's angle can pass pi, where its
        // cosine turns back: the first entry outside ends the field.
        if (field_end == entries && std::acos(std::clamp(v[2], -1.0, 1.0)) >= half_fov) field_end = i;
        if (field_end == entries && !(std::isfinite(v[0]) && std::isfinite(v[2]))) field_end = i;
    }

    // Made a row at a time, so that its memory is touched in the polled loop.
    OwnedMask mask{{}, width, height};
    mask.flags.reserve(count);
    for (std::size_t y = 0; y < height; ++y) {
        poll();
        mask.flags.resize((y + 1) * width);
        const double dy = static_cast<double>(y) - camera.cy;
        std::uint8_t* row = mask.flags.data() + y * width;
        for (std::size_t x = 0; x < width; ++x) {
            const double dx = static_cast<double>(x) - camera.cx;
            // Not below 0, which rounding at the nearest pixel could give.
            const double position = std::max((std::sqrt(dx * dx + dy * dy) - r_first) / step, 0.0);
            const auto i = std::min(static_cast<std::size_t>(position), entries - 2);
            const double t = position - static_cast<double>(i);
            // A pixel whose interpolation reaches past the field is out.
            const bool outside = i + 1 >= field_end;
            const double s = sin_over_r[i] + t * (sin_over_r[i + 1] - sin_over_r[i]);
            const double c = cos_theta[i] + t * (cos_theta[i + 1] - cos_theta[i]);
            const double sin_altitude = s * (dx * up[0] + dy * up[1]) + c * up[2];
            row[x] = (outside || !(sin_altitude >= min_sin_altitude)) ? 1 : 0;
        }
    }
    return mask;
}

Result<OwnedMask> glare_mask(const ImageView& image, std::size_t min_saturated_px, std::size_t margin_px,
                             Cancellation cancel) {
    if (auto shape = check_frame_shape(image); !shape) return std::unexpected(shape.error());
    if (min_saturated_px == 0) return std::unexpected(Error::BadImage{"min_saturated_px must be positive"});
    constexpr std::size_t kBlock = 8;
    const std::size_t w = image.width, h = image.height;
    const std::size_t bw = (w + kBlock - 1) / kBlock, bh = (h + kBlock - 1) / kBlock;
    OwnedMask mask{{}, w, h};
    RowPoll poll(cancel);
    std::uint16_t peak = 0;
    for (std::size_t y = 0; y < h; ++y) {
        poll();
        const std::uint16_t* row = image.pixels.data() + y * w;
        peak = std::max(peak, *std::max_element(row, row + w));
    }
    if (peak == 0) return OwnedMask{std::vector<std::uint8_t>(image.pixels.size(), 0), w, h};
    // 98 per cent of the peak, in integers: a pixel v is saturated when
    // 50 v >= 49 peak.
    const std::uint32_t level_times_50 = 49u * peak;

    std::vector<std::uint32_t> saturated(bw * bh, 0);
    for (std::size_t y = 0; y < h; ++y) {
        poll();
        const std::uint16_t* row = image.pixels.data() + y * w;
        std::uint32_t* blocks = saturated.data() + (y / kBlock) * bw;
        for (std::size_t x = 0; x < w; ++x) blocks[x / kBlock] += 50u * row[x] >= level_times_50 ? 1u : 0u;
    }
    std::vector<std::uint8_t> glare(bw * bh, 0);
    for (std::size_t by = 0; by < bh; ++by) {
        poll();
        for (std::size_t bx = 0; bx < bw; ++bx) {
            std::size_t total = 0;
            for (std::size_t ny = by == 0 ? 0 : by - 1; ny <= std::min(by + 1, bh - 1); ++ny)
                for (std::size_t nx = bx == 0 ? 0 : bx - 1; nx <= std::min(bx + 1, bw - 1); ++nx)
                    total += saturated[ny * bw + nx];
            glare[by * bw + bx] = total >= min_saturated_px ? 1 : 0;
        }
    }
    // Grown by the margin in whole blocks (a square): along the rows, then
    // along the columns, each by a running count of glare blocks in the
    // window, so a wide margin costs no more than a narrow one. Rounded up
    // without overflowing for any margin.
    const std::size_t reach = margin_px / kBlock + (margin_px % kBlock != 0 ? 1 : 0);
    const auto grow_lines = [&](const std::vector<std::uint8_t>& in, std::vector<std::uint8_t>& out,
                                std::size_t lines, std::size_t length, std::size_t line_step, std::size_t along) {
        std::vector<std::size_t> running(length + 1);
        for (std::size_t line = 0; line < lines; ++line) {
            poll();
            const std::uint8_t* first = in.data() + line * line_step;
            for (std::size_t i = 0; i < length; ++i) running[i + 1] = running[i] + first[i * along];
            std::uint8_t* target = out.data() + line * line_step;
            for (std::size_t i = 0; i < length; ++i) {
                const std::size_t lo = i - std::min(i, reach);
                const std::size_t hi = i + std::min(length - 1 - i, reach);
                target[i * along] = running[hi + 1] != running[lo] ? 1 : 0;
            }
        }
    };
    std::vector<std::uint8_t> across(bw * bh, 0), grown(bw * bh, 0);
    grow_lines(glare, across, bh, bw, bw, 1);
    grow_lines(across, grown, bw, bh, 1, bw);
    // Made a row at a time, so that its memory is touched in the polled loop.
    mask.flags.reserve(image.pixels.size());
    for (std::size_t y = 0; y < h; ++y) {
        poll();
        mask.flags.resize((y + 1) * w);
        const std::uint8_t* blocks = grown.data() + (y / kBlock) * bw;
        std::uint8_t* row = mask.flags.data() + y * w;
        for (std::size_t x = 0; x < w; ++x) row[x] = blocks[x / kBlock];
    }
    return mask;
}

}  // namespace halvane
