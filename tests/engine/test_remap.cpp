#include "remap.hpp"
#include "support.hpp"

namespace halvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Camera pinhole(double focal, double cx, double cy) {
    return Camera::from_fov(0, 0, std::nullopt, focal, cx, cy, 0, 0, 0, 0);
}
Camera fisheye(std::size_t width, std::size_t height, double fov_deg, double focal, double cx, double cy,
               double k1 = 0, double k2 = 0, double k3 = 0, double k4 = 0) {
    return Camera::from_fov(width, height, fov_deg, focal, cx, cy, k1, k2, k3, k4);
}

struct Source {
    std::size_t width, height;
    std::vector<std::uint16_t> pixels;
    std::vector<std::uint8_t> flags;
    ImageView image() const { return {pixels, width, height}; }
    MaskView mask() const { return {flags, width, height}; }
};

Source random_source(std::size_t width, std::size_t height, std::uint64_t seed) {
    XorShift64Star rng(seed);
    Source s{width, height, std::vector<std::uint16_t>(width * height), std::vector<std::uint8_t>(width * height)};
    for (std::size_t i = 0; i < width * height; ++i) {
        const std::uint64_t r = rng.next_u64();
        s.pixels[i] = static_cast<std::uint16_t>(r);
        s.flags[i] = static_cast<std::uint8_t>(r >> 63);
    }
    return s;
}

// Bad extents are refused in order; empty ones image nothing.
TEST(Remap, RefusesBadExtentsInOrderAndEmptyOnesImageNothing) {
    EXPECT_EQ(pixel_count("destination image", 16384, 16384).value(), std::size_t{1} << 28);
    EXPECT_EQ(pixel_count("source mask", 0, std::size_t{1} << 62).value(), 0u);
    const Camera cam = pinhole(100, 1, 1);
    const std::vector<std::uint16_t> pixels(6);
    const std::vector<std::uint8_t> flags(6);
    const std::size_t big = std::size_t{1} << 33;
    // The source's extent, then its buffer, then the destination's extent.
    EXPECT_EQ(testing::refusal(remap_image({pixels, 16385, 16384}, cam, cam, big, big, 0)),
              "bad image: source image 16385x16384 is 268451840 pixels, over the 268435456 limit");
    EXPECT_EQ(testing::refusal(remap_image({pixels, 2, 2}, cam, cam, big, big, 0)),
              "bad image: source image 2x2 does not match 6 pixels");
    EXPECT_EQ(testing::refusal(remap_image({pixels, 3, 2}, cam, cam, big, big, 0)),
              "bad image: destination image 8589934592x8589934592 overflows a pixel count");
    EXPECT_EQ(testing::refusal(remap_mask({flags, 7, 1}, cam, cam, 4, 4)),
              "bad image: source mask 7x1 does not match 6 pixels");
    EXPECT_EQ(testing::refusal(remap_mask({flags, 3, 2}, cam, cam, 16384, 16385)),
              "bad image: destination mask 16384x16385 is 268451840 pixels, over the 268435456 limit");
    // A destination without columns or rows never reads the (empty) source.
    for (const auto& [w, h] : {std::pair<std::size_t, std::size_t>{0, 5}, {5, 0}}) {
        const auto image = remap_image({{}, 0, 0}, cam, cam, w, h, 3).value();
        EXPECT_TRUE(image.pixels.empty() && image.width == w && image.height == h) << w << "x" << h;
    }
    // An empty source images nothing: all fill.
    EXPECT_EQ(remap_mask({{}, 0, 4}, cam, cam, 2, 2).value().flags, std::vector<std::uint8_t>(4, 1));
}

// The destination's boresight pixel (0, 0) looks along (0, 0, 1), which a
// pinhole source places exactly at its principal point: so the source
// position is chosen exactly.
TEST(Remap, FrameEdgesAndRounding) {
    // Source row 1 holds 0 1 2 3 (images: x 100); a flag in column 1 only.
    const std::vector<std::uint16_t> pixels{9, 9, 9, 9, 0, 100, 200, 300, 9, 9, 9, 9};
    const std::vector<std::uint8_t> flags{0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    const double before_edge = std::nextafter(-0.5, -1.0);
    const double last_inside = std::nextafter(3.5, 0.0);
    struct Case { double sx; int value, flag; };  // value -1: fill
    for (const Case& c : {Case{-0.5, 0, 0}, Case{before_edge, -1, 1}, Case{3.5, -1, 1}, Case{last_inside, 300, 0},
                          // 0 and 100 halfway: 50 exactly; the flag halfway goes to column 1.
                          Case{0.5, 50, 1}, Case{0.49, 49, 0}, Case{1.25, 125, 1}}) {
        const Camera src = pinhole(100.0, c.sx, 1.0);
        const Camera dst = pinhole(100.0, 0.0, 0.0);
        const auto image = remap_image({pixels, 4, 3}, src, dst, 1, 1, 65535);
        const auto mask = remap_mask({flags, 4, 3}, src, dst, 1, 1);
        ASSERT_TRUE(image && mask);
        EXPECT_EQ(image->pixels[0], c.value < 0 ? 65535 : c.value) << c.sx;
        EXPECT_EQ(mask->flags[0], c.flag) << c.sx;
    }
    // Bilinear results round halves away from zero: 0 and 1 at fx = 0.5.
    const std::vector<std::uint16_t> pair{0, 1};
    const auto half = remap_image({pair, 2, 1}, pinhole(100.0, 0.5, 0.0), pinhole(100.0, 0.0, 0.0), 1, 1, 9);
    EXPECT_EQ(half->pixels[0], 1);
}

TEST(Remap, NonFiniteCamerasImageNothing) {
    const Source s = random_source(8, 8, 5);
    for (const Camera& dst : {pinhole(kNaN, 4, 4), fisheye(8, 8, 180.0, 0.0, kNaN, 4.0)})
        EXPECT_EQ(remap_image(s.image(), pinhole(10, 4, 4), dst, 8, 8, 77).value().pixels,
                  std::vector<std::uint16_t>(64, 77));
}

// The source position by the plain composition of the Camera methods. The
// remap's shortcuts move it by a few units in the last place, which changes
// no sample here: the principal points sit off the grid, away from halves.
std::optional<PixelPosition> reference_position(const Camera& src, const Camera& dst, const Source& s, double x,
                                                double y) {
    const Vec3 d = dst.pixel_to_vec(x, y);
    if (!std::isfinite(d[0]) || !std::isfinite(d[1]) || !std::isfinite(d[2]) || !dst.vec_to_pixel(d))
        return std::nullopt;
    const auto p = src.vec_to_pixel(d);
    const double w = static_cast<double>(s.width), h = static_cast<double>(s.height);
    if (!p || !(p->x >= -0.5 && p->x < w - 0.5 && p->y >= -0.5 && p->y < h - 0.5)) return std::nullopt;
    return PixelPosition{std::clamp(p->x, 0.0, w - 1), std::clamp(p->y, 0.0, h - 1)};
}

TEST(Remap, AgreesWithTheCameraMethods) {
    const Source s = random_source(41, 33, 17);
    struct Pair { const char* label; Camera src, dst; };
    const Camera ideal = fisheye(41, 33, 180.0, 0.0, 20.0, 16.0);
    const Camera calibrated = fisheye(41, 33, 190.0, 11.0, 20.7, 15.4, -0.02, 0.003);
    const Camera only_k4 = fisheye(41, 33, 200.0, 10.0, 19.2, 17.1, 0, 0, 0, 1e-3);
    // Over 360 degrees, directions beyond pi off the axis land mirrored.
    const Camera wrapped = fisheye(41, 33, 390.0, 0.0, 20.3, 15.8);
    const Camera narrow = pinhole(30.0, 18.6, 17.2);
    for (const Pair& p : {Pair{"pinhole -> pinhole", narrow, narrow}, Pair{"calibrated -> ideal", calibrated, ideal},
                          Pair{"ideal -> calibrated", ideal, calibrated}, Pair{"ideal -> pinhole", ideal, narrow},
                          Pair{"pinhole -> calibrated", narrow, calibrated}, Pair{"k4 -> wrapped", only_k4, wrapped},
                          Pair{"wrapped -> ideal", wrapped, ideal}}) {
        const auto image = remap_image(s.image(), p.src, p.dst, 41, 33, 65535);
        const auto mask = remap_mask(s.mask(), p.src, p.dst, 41, 33);
        ASSERT_TRUE(image && mask);
        std::size_t imaged = 0;
        for (std::size_t y = 0; y < 33; ++y)
            for (std::size_t x = 0; x < 41; ++x) {
                const std::size_t i = y * 41 + x;
                const auto r = reference_position(p.src, p.dst, s, static_cast<double>(x), static_cast<double>(y));
                if (!r) {
                    ASSERT_EQ(image->pixels[i], 65535) << p.label << " " << x << "," << y;
                    ASSERT_EQ(mask->flags[i], 1) << p.label << " " << x << "," << y;
                    continue;
                }
                ++imaged;
                const auto x0 = static_cast<std::size_t>(std::floor(r->x));
                const auto y0 = static_cast<std::size_t>(std::floor(r->y));
                const std::size_t x1 = std::min<std::size_t>(x0 + 1, 40), y1 = std::min<std::size_t>(y0 + 1, 32);
                const double fx = r->x - std::floor(r->x), fy = r->y - std::floor(r->y);
                auto at = [&](std::size_t c, std::size_t row) { return double(s.pixels[row * 41 + c]); };
                const double v = (1 - fy) * ((1 - fx) * at(x0, y0) + fx * at(x1, y0)) +
                                 fy * ((1 - fx) * at(x0, y1) + fx * at(x1, y1));
                ASSERT_EQ(image->pixels[i], std::round(v)) << p.label << " " << x << "," << y;
                const auto col = static_cast<std::size_t>(std::round(r->x));
                const auto row = static_cast<std::size_t>(std::round(r->y));
                ASSERT_EQ(mask->flags[i], s.flags[row * 41 + col]) << p.label << " " << x << "," << y;
            }
        EXPECT_GT(imaged, 100u) << p.label;
    }
}

}  // namespace
}  // namespace halvane
