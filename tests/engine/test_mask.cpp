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

// An even count takes the mean of its two middles: half the frame at 100,
// half at 300 or more give median 200, deviation 100 and t = 570.65, so 800
// is bright; element n / 2 (300, 200, t = 1041.3) would make nothing.
TEST(ForegroundMask, AnEvenCountTakesTheMeanOfItsMiddlesAndShapesAreChecked) {
    Frame even(64, 64, 100);
    even.fill(32, 0, 32, 64, 300);
    even.fill(40, 20, 20, 20, 800);
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
