#include <cstdlib>

#include "mask.hpp"
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

// The mask plainly: sorting, floating densities, mirroring per sample and a
// search for the nearest foreground pixel.
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

// 373 bright pixels in one 61 x 61 box (its four corners plus a block) make
// exactly the box centre foreground; the mask is then the diamond of
// city-block radius 15 around it. 372 make nothing.
TEST(ForegroundMask, DensityBoundaryAndDiamondGrowth) {
    for (std::size_t bright : {372u, 373u}) {
        Frame f(121, 121);
        for (auto [x, y] : {std::pair{30, 30}, {90, 30}, {30, 90}, {90, 90}}) f.at(x, y) = 9000;
        for (std::size_t k = 0; k < bright - 4; ++k) f.at(45 + k % 30, 45 + k / 30) = 9000;
        const auto flags = mask_of(f);
        for (long y = 0; y < 121; ++y)
            for (long x = 0; x < 121; ++x)
                ASSERT_EQ(flags[y * 121 + x], bright == 373 && std::labs(x - 60) + std::labs(y - 60) <= 15)
                    << bright << " at " << x << "," << y;
    }
}

TEST(ForegroundMask, MatchesTheDefinition) {
    std::vector<Frame> frames;
    // Noisy skies with a bright clump; lines shorter than the box fold
    // several times, one-pixel lines take all 61 samples from one pixel.
    XorShift64Star rng(42);
    for (auto [w, h] : {std::pair<std::size_t, std::size_t>{1, 1}, {1, 9}, {3, 2}, {7, 5}, {12, 40}, {47, 33}, {70, 64}}) {
        Frame& f = frames.emplace_back(w, h);
        for (std::size_t y = 0; y < h; ++y)
            for (std::size_t x = 0; x < w; ++x) {
                const bool clump = x < w / 3 + 1 && y < h / 2 + 1 && rng.uniform() < 0.6;
                f.at(x, y) = static_cast<std::uint16_t>(clump ? 20000 : 1000 + 50 * rng.uniform());
            }
    }
    // Half at 100, half at 300 or more: the true median 200 and deviation
    // 100 make 800 bright (t = 570.65); element n / 2 (median 300,
    // deviation 200, t = 1041.3) would make nothing.
    Frame& even = frames.emplace_back(64, 64, 100);
    even.fill(32, 0, 32, 64, 300);
    even.fill(40, 20, 20, 20, 800);
    for (const Frame& f : frames) EXPECT_EQ(mask_of(f), reference_mask(f)) << f.width << "x" << f.height;
    const auto clump = mask_of(frames[6]);
    EXPECT_GT(std::count(clump.begin(), clump.end(), 1), 0);
    EXPECT_EQ(mask_of(even)[30 * 64 + 50], 1);
    const std::vector<std::uint16_t> six(6, 0);
    EXPECT_EQ(foreground_mask({six, 2, 2}).error().message(), "bad image: 2x2 does not match 6 pixels");
}

// The mask of every frame of the detectors' fixed corpus, bit for bit.
TEST(ForegroundMask, FixedCorpusOutputsAreUnchanged) {
    const std::uint64_t expected[] = {
        0x695b0ecd60f89f25, 0x19c27192d82b16c9, 0x5821e1b66907b9f0, 0x7055e67b56bf7d14,
        0xa745cf5f6de643ba, 0xaf63bd4c8601b7df, 0x78e7f76b5c14a3a5, 0x6d97e654db395e07,
        0xf85d7f295aa05977, 0xc2c52dd22ebc637a, 0x83be77f25355ac26, 0x7af0e63350cc7cc9,
        0xb036d16b2af3ff09, 0xb7c0ca46af747ae5, 0x1f50cdae3c10da3a, 0x3aefc885e76ecb37,
    };
    const auto corpus = testing::detector_corpus();
    ASSERT_EQ(corpus.size(), std::size(expected));
    for (std::size_t k = 0; k < corpus.size(); ++k) {
        const std::vector<std::uint8_t> flags = mask_of(corpus[k].frame);
        const std::uint64_t hash = testing::fnv1a(flags.data(), flags.size());
        EXPECT_EQ(hash, expected[k]) << "case " << k << ": 0x" << std::hex << hash;
    }
}

}  // namespace
}  // namespace halvane
