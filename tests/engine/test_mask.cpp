#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "mask.hpp"
#include "numeric.hpp"
#include "support.hpp"

namespace halvane {
namespace {

using testing::Frame;

std::vector<std::uint8_t> mask_of(const Frame& f) {
    auto result = foreground_mask(f.view());
    EXPECT_TRUE(result.has_value()) << result.error().message();
    if (!result) return {};
    EXPECT_EQ(result->width, f.width);
    EXPECT_EQ(result->height, f.height);
    return result->flags;
}

std::size_t count_set(const std::vector<std::uint8_t>& flags) {
    return static_cast<std::size_t>(std::count(flags.begin(), flags.end(), 1));
}

// Straight from the definition, with sorting, floating densities, explicit
// mirroring per sample and a search for the nearest foreground pixel.
std::vector<std::uint8_t> reference_mask(const Frame& f) {
    const std::size_t n = f.pixels.size();
    std::vector<double> sorted(f.pixels.begin(), f.pixels.end());
    std::sort(sorted.begin(), sorted.end());
    const double median = (sorted[(n - 1) / 2] + sorted[n / 2]) / 2;
    std::vector<double> deviation;
    for (std::uint16_t v : f.pixels) deviation.push_back(std::abs(v - median));
    std::sort(deviation.begin(), deviation.end());
    const double t = median + (deviation[(n - 1) / 2] + deviation[n / 2]) / 2 * 1.4826 * 2.5;
    auto mirror = [](long j, long length) {
        while (j < 0 || j >= length) j = j < 0 ? -j - 1 : 2 * length - j - 1;
        return j;
    };
    const long w = static_cast<long>(f.width), h = static_cast<long>(f.height);
    std::vector<std::uint8_t> foreground(n, 0);
    for (long y = 0; y < h; ++y)
        for (long x = 0; x < w; ++x) {
            double bright = 0;
            for (long dy = -30; dy <= 30; ++dy)
                for (long dx = -30; dx <= 30; ++dx)
                    bright += f.pixels[mirror(y + dy, h) * w + mirror(x + dx, w)] > t ? 1 : 0;
            foreground[y * w + x] = bright / 3721.0 > 0.1;
        }
    std::vector<std::uint8_t> out(n, 0);
    for (long y = 0; y < h; ++y)
        for (long x = 0; x < w; ++x)
            for (long q = 0; q < static_cast<long>(n) && !out[y * w + x]; ++q)
                if (foreground[q] && std::labs(q % w - x) + std::labs(q / w - y) <= 15) out[y * w + x] = 1;
    return out;
}

TEST(ForegroundMask, UniformFrameAndSingleStarGiveNothing) {
    EXPECT_EQ(count_set(mask_of(Frame(90, 70, 1234))), 0u);
    Frame star(90, 70, 800);
    for (std::size_t y = 30; y < 34; ++y)
        for (std::size_t x = 40; x < 44; ++x) star.at(x, y) = 65535;
    EXPECT_EQ(count_set(mask_of(star)), 0u);
}

// 373 bright pixels in one 61 x 61 box (its four corners plus a block) make
// exactly the box centre foreground; the mask is then the diamond of
// city-block radius 15 around it. 372 make nothing.
TEST(ForegroundMask, DensityBoundaryAndDiamondGrowth) {
    for (std::size_t bright : {372u, 373u}) {
        Frame f(121, 121);
        for (auto [x, y] : {std::pair{30, 30}, {90, 30}, {30, 90}, {90, 90}}) f.at(x, y) = 9000;
        for (std::size_t k = 0; k < bright - 4; ++k) f.at(45 + k % 30, 45 + k / 30) = 9000;
        const auto flags = mask_of(f);
        if (bright == 372) {
            EXPECT_EQ(count_set(flags), 0u);
            continue;
        }
        EXPECT_EQ(count_set(flags), 1u + 2 * 15 * 16);
        for (long y = 0; y < 121; ++y)
            for (long x = 0; x < 121; ++x)
                ASSERT_EQ(flags[y * 121 + x], std::labs(x - 60) + std::labs(y - 60) <= 15 ? 1 : 0) << x << "," << y;
    }
}

TEST(ForegroundMask, EvenCountUsesTheTrueMedian) {
    // Half the pixels at 100, half at 300 or more: the true median is 200
    // and the deviation 100, so 800 is bright (t = 570.65). Element n / 2
    // would give median 300, deviation 200, t = 1041.3 and no mask.
    Frame f(64, 64, 100);
    for (std::size_t y = 0; y < 64; ++y)
        for (std::size_t x = 32; x < 64; ++x) f.at(x, y) = 300;
    for (std::size_t y = 20; y < 40; ++y)
        for (std::size_t x = 40; x < 60; ++x) f.at(x, y) = 800;
    const auto flags = mask_of(f);
    EXPECT_EQ(flags[30 * 64 + 50], 1);
    EXPECT_EQ(flags[0], 0);
    EXPECT_EQ(flags, reference_mask(f));
}

TEST(ForegroundMask, MatchesTheDefinitionOnSmallAndOddFrames) {
    // Lines shorter than the box fold several times; one-pixel lines take
    // all 61 samples from the same pixel.
    struct Shape {
        std::size_t width, height;
    };
    XorShift64Star rng(42);
    for (Shape s : {Shape{1, 1}, {1, 9}, {3, 2}, {7, 5}, {12, 40}, {47, 33}, {70, 64}}) {
        Frame f(s.width, s.height, 0);
        // A sky with noise and a bright clump in one corner region.
        for (std::size_t y = 0; y < s.height; ++y)
            for (std::size_t x = 0; x < s.width; ++x) {
                const bool clump = x < s.width / 3 + 1 && y < s.height / 2 + 1 && rng.uniform() < 0.6;
                f.at(x, y) = static_cast<std::uint16_t>(clump ? 20000 : 1000 + 50 * rng.uniform());
            }
        EXPECT_EQ(mask_of(f), reference_mask(f)) << s.width << "x" << s.height;
    }
}

TEST(ForegroundMask, AllForegroundAndShapeRefusals) {
    Frame f(50, 40, 1000);
    for (std::size_t y = 0; y < 40; ++y)
        for (std::size_t x = 0; x < 50; x += 2) f.at(x, y) = 5000;  // half bright everywhere
    // Median (1000 + 5000) / 2 = 3000, deviation 2000, t = 10413: nothing
    // is bright, so a regular texture alone is no obstruction.
    EXPECT_EQ(count_set(mask_of(f)), 0u);
    for (std::size_t y = 0; y < 40; ++y)
        for (std::size_t x = 2; x < 50; x += 4) f.at(x, y) = 1000;
    // Now a quarter of the columns stand out of a flat sky: every box is
    // about a quarter bright, so the whole frame is foreground.
    EXPECT_EQ(count_set(mask_of(f)), 50u * 40u);

    const std::vector<std::uint16_t> none;
    const std::vector<std::uint16_t> six(6, 0);
    EXPECT_EQ(foreground_mask({none, 0, 7}).error().message(), "bad image: 0x7 does not match 0 pixels");
    EXPECT_EQ(foreground_mask({none, 7, 0}).error().message(), "bad image: 7x0 does not match 0 pixels");
    EXPECT_EQ(foreground_mask({six, 2, 2}).error().message(), "bad image: 2x2 does not match 6 pixels");
}

}  // namespace
}  // namespace halvane
