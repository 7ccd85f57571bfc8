#include "photo.hpp"
#include "support.hpp"

namespace halvane {
namespace {

using testing::Frame;

// Opening by a line, plainly: the most, over the line's placements covering
// the pixel and centred in the frame, of the least in-frame pixel under it.
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

TEST(RemoveExtendedLight, RefusesBadLinesAndFrames) {
    const Frame f(8, 8);
    for (const std::size_t length : {0u, 2u, 4u, 256u, 257u})
        EXPECT_EQ(testing::refusal(remove_extended_light(f.view(), length)),
                  "bad image: line_px must be odd and in 3..255 (got " + std::to_string(length) + ")");
    EXPECT_TRUE(remove_extended_light(f.view(), 255).has_value());  // longer than the frame is fine
    EXPECT_FALSE(remove_extended_light({{}, 0, 0}, 11).has_value());
}

// Every flag is the direct per-pixel answer: below the altitude, or outside
// a fisheye's field (however high it looks). The cameras: tilted, narrow and
// calibrated fisheyes, and pinholes whose principal point lies far off the
// frame (the table then starts at the nearest pixel). Pixels on the cut or
// the field's edge may go either way.
TEST(BelowAltitudeMask, EachPixelIsCutWhereItLooks) {
    const double tilt = 30.0 * kDegToRad;
    struct Case { Camera camera; Vec3 up; std::size_t width, height; double min_alt_deg; };  // NaN: the middle
    std::vector<Case> cases = {
        {Camera::from_fov(201, 201, 180.0, 0.0, 100.0, 100.0, 0, 0, 0, 0), {std::sin(tilt), 0, std::cos(tilt)}, 201,
         201, 15},
        {Camera::from_fov(201, 201, 120.0, 0.0, 100.0, 100.0, 0, 0, 0, 0), {0, 0, 1}, 201, 201, 0},
        {Camera::from_fov(201, 201, 190.0, 60.0, 90.5, 110.2, -0.02, 0.003, 0, 0), {0, -std::sin(tilt), std::cos(tilt)},
         201, 201, 5},
    };
    for (auto [cx, cy] : {std::pair{-250.0, 30.0}, {40.0, 700.0}, {-800.0, -600.0}, {39.5, 29.5}})
        cases.push_back({Camera::from_fov(0, 0, std::nullopt, 300.0, cx, cy, 0, 0, 0, 0), normalized({0.3, -1.0, 0.6}),
                         80, 60, NAN});
    for (const Case& c : cases) {
        double half_fov = INFINITY;
        if (const auto* e = std::get_if<Equidistant>(&c.camera.projection)) half_fov = e->half_fov;
        if (const auto* d = std::get_if<DistortedFisheye>(&c.camera.projection)) half_fov = d->half_fov;
        std::vector<double> sines, angles;
        for (std::size_t y = 0; y < c.height; ++y)
            for (std::size_t x = 0; x < c.width; ++x) {
                const Vec3 v = normalized(c.camera.pixel_to_vec(static_cast<double>(x), static_cast<double>(y)));
                sines.push_back(dot(v, c.up));
                angles.push_back(std::acos(std::clamp(v[2], -1.0, 1.0)));
            }
        std::vector<double> sorted = sines;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        const double min_sin =
            std::isnan(c.min_alt_deg) ? sorted[sorted.size() / 2] : std::sin(c.min_alt_deg * kDegToRad);
        const auto mask = below_altitude_mask(c.camera, c.up, c.width, c.height, std::asin(min_sin));
        ASSERT_TRUE(mask.has_value()) << testing::refusal(mask);
        std::size_t differ = 0, unsure = 0, out = 0;
        for (std::size_t p = 0; p < sines.size(); ++p) {
            const bool edge = std::abs(sines[p] - min_sin) < 1e-5 || std::abs(angles[p] - half_fov) < 0.01;
            const bool below = !(angles[p] < half_fov) || sines[p] < min_sin;
            unsure += edge;
            out += !edge && below;
            differ += !edge && mask->flags[p] != (below ? 1 : 0);
        }
        EXPECT_EQ(differ, 0u) << c.camera.cx << ", " << c.camera.cy;
        EXPECT_LT(unsure, sines.size() / 20) << c.camera.cx << ", " << c.camera.cy;
        EXPECT_GT(out, 100u) << c.camera.cx << ", " << c.camera.cy;
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
    const struct { double cx, cy; Vec3 up; std::size_t width, height; std::string text; } cases[] = {
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

// Saturated areas of min_saturated_px or more are glare, a saturated star is
// not; on a frame of partial blocks every margin, up to one whose rounding up
// would overflow, grows each glare block by a square of whole blocks.
TEST(GlareMask, GrowsLargeSaturatedAreasBySquaresOfWholeBlocks) {
    Frame f(203, 117, 3000);
    f.fill(10, 12, 9, 9, 65535);
    f.fill(150, 90, 12, 10, 65535);
    f.fill(190, 3, 13, 8, 65535);
    f.fill(100, 60, 2, 2, 65535);  // a saturated star
    const Frame black(16, 16, 0);
    EXPECT_EQ(glare_mask(black.view(), 20, 16).value().flags, std::vector<std::uint8_t>(256, 0));
    EXPECT_EQ(testing::refusal(glare_mask(f.view(), 0, 16)), "bad image: min_saturated_px must be positive");
    const std::size_t bw = 26, bh = 15;
    const auto glare_blocks = glare_mask(f.view(), 20, 0);
    ASSERT_TRUE(glare_blocks.has_value());
    EXPECT_EQ(glare_blocks->flags[16 * f.width + 14], 1);
    EXPECT_EQ(glare_blocks->flags[60 * f.width + 100], 0);
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
