#include "photo.hpp"
#include "support.hpp"

namespace halvane {
namespace {

using testing::Frame;

// Opening by a line straight from the definition: the maximum over every
// placement of the line that covers the pixel and is centred in the frame
// of that placement's minimum over its in-frame pixels.
std::vector<std::uint16_t> reference_flattened(const Frame& f, int length) {
    const int half = length / 2, w = static_cast<int>(f.width), h = static_cast<int>(f.height);
    const int directions[4][2] = {{1, 0}, {0, 1}, {1, 1}, {-1, 1}};
    const auto in_frame = [&](int x, int y) { return x >= 0 && y >= 0 && x < w && y < h; };
    const auto pixel = [&](int x, int y) { return f.pixels[static_cast<std::size_t>(y * w + x)]; };
    std::vector<std::uint16_t> out(f.pixels.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint16_t background = 0;
            for (const auto& d : directions) {
                std::uint16_t opened = 0;
                for (int c = -half; c <= half; ++c) {  // centre of a placement covering (x, y)
                    if (!in_frame(x + c * d[0], y + c * d[1])) continue;
                    std::uint16_t lowest = 65535;
                    for (int t = -half; t <= half; ++t) {
                        const int px = x + (c + t) * d[0], py = y + (c + t) * d[1];
                        if (in_frame(px, py)) lowest = std::min(lowest, pixel(px, py));
                    }
                    opened = std::max(opened, lowest);
                }
                background = std::max(background, opened);
            }
            out[static_cast<std::size_t>(y * w + x)] = static_cast<std::uint16_t>(pixel(x, y) - background);
        }
    return out;
}

TEST(RemoveExtendedLight, AgreesWithTheDefinitionOnNoiseStarsAndStructure) {
    for (const int length : {3, 7, 11}) {
        Frame f(37, 29);
        XorShift64Star rng(static_cast<std::uint64_t>(length));
        for (auto& p : f.pixels) p = static_cast<std::uint16_t>(1000 + 400 * rng.uniform());
        f.star(10.3, 12.7, 9000, 1.2);
        f.fill(2, 20, 30, 2, 6000);  // a ray
        const auto flattened = remove_extended_light(f.view(), static_cast<std::size_t>(length));
        ASSERT_TRUE(flattened.has_value());
        EXPECT_EQ(flattened->pixels, reference_flattened(f, length)) << "line " << length;
    }
}

TEST(RemoveExtendedLight, KeepsStarsAndTakesAwayGradientsAndRays) {
    Frame f(120, 90);
    for (std::size_t y = 0; y < f.height; ++y)
        for (std::size_t x = 0; x < f.width; ++x) f.at(x, y) = static_cast<std::uint16_t>(2000 + 150 * x + 40 * y);
    f.star(40, 30, 8000, 1.5);
    // A slanted arc, four pixels thick: lines of the four directions fit
    // it although it runs along none of them.
    for (std::size_t i = 10; i < 80; ++i)
        for (std::size_t t = 0; t < 4; ++t) f.at(i, 70 - i / 4 + t) += 7000;
    const auto flattened = remove_extended_light(f.view(), 11);
    ASSERT_TRUE(flattened.has_value());
    const auto at = [&](std::size_t x, std::size_t y) { return flattened->pixels[y * f.width + x]; };
    EXPECT_GT(at(40, 30), 7000);
    EXPECT_LT(at(80, 10), 50);  // the gradient
    EXPECT_LT(at(40, 61), 300);  // the arc
}

TEST(RemoveExtendedLight, RefusesBadLinesAndFrames) {
    const Frame f(8, 8);
    for (const std::size_t length : {0u, 2u, 4u, 256u, 257u}) {
        const auto r = remove_extended_light(f.view(), length);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().message(),
                  "bad image: line_px must be odd and in 3..255 (got " + std::to_string(length) + ")");
    }
    EXPECT_TRUE(remove_extended_light(f.view(), 255).has_value());  // longer than the frame is fine
    const ImageView empty{{}, 0, 0};
    EXPECT_FALSE(remove_extended_light(empty, 11).has_value());
}

TEST(BelowAltitudeMask, CutsAtTheChosenAltitudeAndOutsideTheField) {
    // A 180-degree fisheye on 201 x 201 (90 degrees of altitude over 100 px)
    // tilted 30 degrees towards +x, so the cut is lopsided: along +x it sits
    // at 90 + 30 - 15 = 105 degrees off-axis, beyond the field; along -x at
    // 90 - 30 - 15 = 45 degrees, between columns 51 (44 degrees) and 48 (46).
    // Pixels (0, 0) and (195, 35) lie outside the image circle.
    // A pinhole of focal 100 at the horizon, up -y: 10 degrees of altitude
    // at row 50 - 100 tan(10 deg), about 32.4.
    const double tilt = 30.0 * kDegToRad;
    const struct {
        Camera camera;
        Vec3 up;
        std::size_t width, height;
        double min_alt_deg;
        std::vector<std::tuple<std::size_t, std::size_t, int>> flags;  // x, y, flag
    } cases[] = {
        {Camera::from_fov(201, 201, 180.0, 0.0, 100.0, 100.0, 0, 0, 0, 0), {std::sin(tilt), 0.0, std::cos(tilt)},
         201, 201, 15.0, {{199, 100, 0}, {51, 100, 0}, {48, 100, 1}, {100, 100, 0}, {0, 0, 1}, {195, 35, 1}}},
        {Camera::from_fov(0, 0, std::nullopt, 100.0, 50.0, 50.0, 0, 0, 0, 0), {0.0, -2.0, 0.0}, 100, 101, 10.0,
         {{50, 32, 0}, {50, 33, 1}, {0, 100, 1}}},
    };
    for (const auto& c : cases) {
        const auto mask = below_altitude_mask(c.camera, c.up, c.width, c.height, c.min_alt_deg * kDegToRad);
        ASSERT_TRUE(mask.has_value());
        for (const auto& [x, y, flag] : c.flags) EXPECT_EQ(mask->flags[y * c.width + x], flag) << x << ", " << y;
    }
}

TEST(BelowAltitudeMask, APrincipalPointOffTheFrameCutsWhereEachPixelLooks) {
    // The table starts at the frame's nearest pixel, far from the principal
    // point: every flag must still be the direct per-pixel answer.
    const struct {
        double cx, cy;
    } centres[] = {{-250.0, 30.0}, {40.0, 700.0}, {-800.0, -600.0}, {39.5, 29.5}};
    const Vec3 up = normalized({0.3, -1.0, 0.6});
    for (const auto& c : centres) {
        const Camera camera = Camera::from_fov(0, 0, std::nullopt, 300.0, c.cx, c.cy, 0, 0, 0, 0);
        std::vector<double> exact;
        for (std::size_t y = 0; y < 60; ++y)
            for (std::size_t x = 0; x < 80; ++x) exact.push_back(dot(normalized(camera.pixel_to_vec(x, y)), up));
        // The cut through the middle of the frame's altitudes.
        std::vector<double> sorted = exact;
        std::nth_element(sorted.begin(), sorted.begin() + 2400, sorted.end());
        const double min_sin = sorted[2400];
        const auto mask = below_altitude_mask(camera, up, 80, 60, std::asin(min_sin));
        ASSERT_TRUE(mask.has_value()) << c.cx;
        std::size_t differ = 0, near_cut = 0;
        for (std::size_t p = 0; p < exact.size(); ++p) {
            if (std::abs(exact[p] - min_sin) < 1e-6) {
                ++near_cut;  // on the cut: either answer
                continue;
            }
            differ += mask->flags[p] != (exact[p] >= min_sin ? 0 : 1);
        }
        EXPECT_EQ(differ, 0u) << c.cx << ", " << c.cy;
        EXPECT_LT(near_cut, 20u) << c.cx;
    }
}

TEST(BelowAltitudeMask, Refusals) {
    const auto mask = [](double cx, double cy, const Vec3& up, std::size_t width, std::size_t height) {
        const Camera camera = Camera::from_fov(0, 0, std::nullopt, 100.0, cx, cy, 0, 0, 0, 0);
        return below_altitude_mask(camera, up, width, height, 0.0);
    };
    // Ten frame sizes (of the larger side, 80 px) either way are allowed.
    EXPECT_TRUE(mask(-800.0, 860.0, {0, 0, 1}, 80, 60).has_value());
    EXPECT_TRUE(mask(880.0, -800.0, {0, 0, 1}, 80, 60).has_value());
    const std::string degenerate = "up vector is degenerate: zero length or non-finite";
    const std::string cx =
        "bad image: cx must lie within 10 frame sizes of the mask, -800 to 880 px on this 80 px wide mask";
    const struct {
        double cx, cy;
        Vec3 up;
        std::size_t width, height;
        std::string text;
    } cases[] = {
        {50, 50, {0, 0, 0}, 10, 10, degenerate},
        {50, 50, {0, 0, NAN}, 10, 10, degenerate},
        {50, 50, {0, 0, 1}, 0, 10, "bad image: a 0x10 mask is empty or too large"},
        {-800.5, 30, {0, 0, 1}, 80, 60, cx + " (got -800.5)"},
        {-3e7, 30, {0, 0, 1}, 80, 60, cx + " (got -30000000)"},
        {NAN, 30, {0, 0, 1}, 80, 60, cx + " (got NaN)"},
        {40, INFINITY, {0, 0, 1}, 80, 60,
         "bad image: cy must lie within 10 frame sizes of the mask, -800 to 860 px on this 60 px high mask (got inf)"},
        {0, 0, {0, 0, 1}, std::size_t{1} << 20, std::size_t{1} << 20,
         "bad image: mask 1048576x1048576 is 1099511627776 pixels, over the 268435456 limit"},
    };
    for (const auto& c : cases) EXPECT_EQ(testing::refusal(mask(c.cx, c.cy, c.up, c.width, c.height)), c.text);
}

TEST(GlareMask, MasksLargeSaturatedAreasWithTheirMarginButNotStars) {
    Frame f(160, 96, 3000);
    f.fill(100, 40, 12, 12, 65535);  // the Moon
    f.fill(20, 20, 2, 2, 65535);     // a saturated star
    const auto mask = glare_mask(f.view(), 20, 16);
    ASSERT_TRUE(mask.has_value());
    const auto at = [&](std::size_t x, std::size_t y) { return mask->flags[y * f.width + x]; };
    EXPECT_EQ(at(105, 45), 1);
    EXPECT_EQ(at(100 - 14, 45), 1);  // inside the margin
    EXPECT_EQ(at(100 - 40, 45), 0);
    EXPECT_EQ(at(20, 20), 0);
    const Frame black(16, 16, 0);
    const auto none = glare_mask(black.view(), 20, 16);
    ASSERT_TRUE(none.has_value());
    EXPECT_EQ(std::count(none->flags.begin(), none->flags.end(), 1), 0);
    EXPECT_EQ(glare_mask(f.view(), 0, 16).error().message(), "bad image: min_saturated_px must be positive");
}

TEST(GlareMask, GrowsBySquaresOfWholeBlocksForAnyMargin) {
    // Scattered glare on a frame of partial blocks: every margin, up to one
    // that rounding up would overflow, grows each glare block by the same
    // square of whole blocks.
    Frame f(203, 117, 3000);
    f.fill(10, 12, 9, 9, 65535);
    f.fill(150, 90, 12, 10, 65535);
    f.fill(190, 3, 13, 8, 65535);
    const std::size_t bw = 26, bh = 15;
    const auto glare_blocks = glare_mask(f.view(), 20, 0);
    ASSERT_TRUE(glare_blocks.has_value());
    for (const std::size_t margin : {std::size_t{1}, std::size_t{8}, std::size_t{17}, std::size_t{60},
                                     std::size_t{1000}, SIZE_MAX}) {
        const auto mask = glare_mask(f.view(), 20, margin);
        ASSERT_TRUE(mask.has_value());
        const std::size_t reach = std::min<std::size_t>(margin / 8 + (margin % 8 != 0), 1000);
        for (std::size_t by = 0; by < bh; ++by)
            for (std::size_t bx = 0; bx < bw; ++bx) {
                bool near = false;
                for (std::size_t gy = 0; gy < bh; ++gy)
                    for (std::size_t gx = 0; gx < bw; ++gx) {
                        const bool glare = glare_blocks->flags[std::min(gy * 8, f.height - 1) * f.width + gx * 8] != 0;
                        const std::size_t dx = gx > bx ? gx - bx : bx - gx, dy = gy > by ? gy - by : by - gy;
                        near |= glare && dx <= reach && dy <= reach;
                    }
                EXPECT_EQ(mask->flags[std::min(by * 8, f.height - 1) * f.width + bx * 8], near ? 1 : 0)
                    << "margin " << margin << " block " << bx << ", " << by;
            }
    }
}

}  // namespace
}  // namespace halvane
