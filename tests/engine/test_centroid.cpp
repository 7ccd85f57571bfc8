#include "background.hpp"
#include "centroid.hpp"
#include "matched_filter.hpp"
#include "solar_disc.hpp"
#include "support.hpp"

namespace halvane {
namespace {

using testing::Frame;
using testing::refusal;

struct Flags {
    std::size_t width, height;
    std::vector<std::uint8_t> flags;
    Flags(std::size_t w, std::size_t h) : width(w), height(h), flags(w * h, 0) {}
    void set(std::size_t x0, std::size_t y0, std::size_t w = 1, std::size_t h = 1) {
        for (std::size_t y = y0; y < y0 + h; ++y) std::fill_n(flags.begin() + y * width + x0, w, 1);
    }
    MaskView view() const { return {flags, width, height}; }
};

// Sloped, noisy sky: 3000 + 4 x + 3 y with Gaussian noise of sigma 20.
Frame noisy_sky(std::size_t w, std::size_t h, std::uint64_t seed) {
    Frame f(w, h);
    XorShift64Star rng(seed);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x)
            f.at(x, y) = saturating_cast<std::uint16_t>(
                std::round(3000.0 + 4.0 * static_cast<double>(x) + 3.0 * static_cast<double>(y) + 20.0 * rng.normal()));
    return f;
}

// The detections of a frame the detector must accept.
std::vector<Centroid> accepted(Result<std::vector<Centroid>> result) {
    EXPECT_TRUE(result.has_value()) << result.error().message();
    return result.value_or(std::vector<Centroid>{});
}
std::vector<Centroid> blob(const Frame& f, std::size_t max_count = 100, std::optional<MaskView> mask = {}) {
    return accepted(detect_centroids_masked(f.view(), max_count, mask));
}
std::vector<Centroid> matched(const Frame& f, double sigma, std::size_t max_count = 100) {
    return accepted(detect_centroids_matched(f.view(), max_count, sigma));
}

// ---------------------------------------------------------------- mesh

TEST(Background, TileMedianSkipsMaskedPixelsAndEmptyTilesFallBack) {
    Frame f(32, 32);
    for (std::size_t p = 0; p < 1024; ++p) f.pixels[p] = static_cast<std::uint16_t>(p);
    EXPECT_EQ(estimate_background(f.view())[0], 512.0);  // element n / 2 of 0..1023

    // Only two usable values, 10 and 20, the rest masked at full scale.
    Frame g(32, 32, 65535);
    g.at(3, 4) = 10;
    g.at(30, 31) = 20;
    Flags m(32, 32);
    m.set(0, 0, 32, 32);
    m.flags[4 * 32 + 3] = m.flags[31 * 32 + 30] = 0;
    for (double b : estimate_background(g.view(), m.view())) ASSERT_EQ(b, 20.0);
    m.set(0, 0, 32, 32);
    for (double b : estimate_background(g.view(), m.view())) ASSERT_EQ(b, 0.0);  // nothing usable

    // A fully masked tile takes the median of the frame's unmasked pixels.
    Frame h(64, 32, 500);
    h.fill(32, 0, 32, 32, 60000);
    Flags right(64, 32);
    right.set(32, 0, 32, 32);
    EXPECT_EQ(estimate_background(h.view(), right.view())[63], 500.0);
}

// ------------------------------------------------------- log parabola

TEST(LogParabolaPeak, ExactOnSampledGaussianAndRefusals) {
    for (double centre : {3.0, 3.3, 2.6, 1.2}) {
        std::vector<double> p;
        for (int i = 0; i < 7; ++i) p.push_back(500 * std::exp(-(i - centre) * (i - centre) / (2 * 1.3 * 1.3)));
        EXPECT_NEAR(log_parabola_peak(p).value_or(-1), centre, 1e-12);
    }
    // Too short, maximum first, maximum last, a zero or negative neighbour,
    // log-linear; flat or (4, 4, 1): the first of equal maxima is the start.
    const std::vector<std::vector<double>> refused = {{1, 5}, {9, 5, 1}, {1, 5, 9},  {0, 5, 1},
                                                      {1, 5, -1}, {1, 4, 16}, {2, 2, 2}, {4, 4, 1}};
    for (const auto& p : refused) EXPECT_FALSE(log_parabola_peak(p)) << p[0] << ", " << p[1] << ", " << p[2];
    // (1, 4, 4) is fitted around its first maximum, not refused at the last.
    EXPECT_DOUBLE_EQ(log_parabola_peak(std::vector<double>{1, 4, 4}).value_or(-1), 1.5);
}

// ------------------------------------------------------------- blob

TEST(Blob, RecoversStarsOnNoisySlopedSkyBrightestFirst) {
    Frame f = noisy_sky(128, 96, 7);
    const double stars[][3] = {{20.3, 30.7, 9000}, {64.55, 48.2, 30000}, {100.8, 20.45, 15000},
                               {40.1, 75.9, 20000}, {110.25, 80.6, 12000}};
    for (const auto& s : stars) f.star(s[0], s[1], s[2], 1.4);
    const auto found = blob(f);
    ASSERT_EQ(found.size(), 5u);
    const std::size_t brightest_first[] = {1, 3, 2, 4, 0};
    for (std::size_t k = 0; k < 5; ++k) {
        EXPECT_NEAR(found[k].x, stars[brightest_first[k]][0], 0.05) << k;
        EXPECT_NEAR(found[k].y, stars[brightest_first[k]][1], 0.05) << k;
        if (k > 0) { EXPECT_GT(found[k - 1].flux, found[k].flux); }
    }
    EXPECT_EQ(blob(f, 2), std::vector<Centroid>(found.begin(), found.begin() + 2));
    EXPECT_TRUE(blob(f, 0).empty());
}

// On a flat frame of 1000 without noise the threshold is the floor 2048,
// so a pixel of 3048 is just bright enough.
TEST(Blob, RejectionRules) {
    struct Case { const char* name; void (*draw)(Frame&, Flags&); std::size_t expected; };
    const Case cases[] = {
        {"3x3 block inside", [](Frame& f, Flags&) { f.fill(1, 10, 3, 3, 6000); }, 1},
        {"touches column 0", [](Frame& f, Flags&) { f.fill(0, 10, 3, 3, 60000); }, 0},
        {"touches last column", [](Frame& f, Flags&) { f.fill(45, 10, 3, 3, 60000); }, 0},
        {"touches row 0", [](Frame& f, Flags&) { f.fill(10, 0, 3, 3, 60000); }, 0},
        {"touches last row", [](Frame& f, Flags&) { f.fill(10, 37, 3, 3, 60000); }, 0},
        {"threshold exactly met", [](Frame& f, Flags&) { f.fill(10, 10, 3, 1, 3048); }, 1},
        {"just under threshold", [](Frame& f, Flags&) { f.fill(10, 10, 3, 1, 3047); }, 0},
        {"area 2 dropped", [](Frame& f, Flags&) { f.fill(10, 10, 2, 1, 9000); }, 0},
        {"area 3 L-shape kept", [](Frame& f, Flags&) { f.fill(10, 10, 2, 1, 9000); f.at(10, 11) = 9000; }, 1},
        {"diagonals never join", [](Frame& f, Flags&) { for (int i = 10; i < 14; ++i) f.at(i, i) = 9000; }, 0},
        {"area 400 kept", [](Frame& f, Flags&) { f.fill(5, 5, 20, 20, 6000); }, 1},
        {"area 401 dropped", [](Frame& f, Flags&) { f.fill(5, 5, 20, 20, 6000); f.at(25, 5) = 6000; }, 0},
        {"4-adjacent to the mask", [](Frame& f, Flags& m) { f.fill(10, 10, 3, 3, 6000); m.set(13, 11); }, 0},
        {"diagonal to the mask", [](Frame& f, Flags& m) { f.fill(10, 10, 3, 3, 6000); m.set(13, 13); }, 1},
        {"masked pixels never seed", [](Frame& f, Flags& m) { f.fill(10, 10, 3, 3, 6000); m.set(10, 10, 3, 3); }, 0},
        {"a masked pixel splits no star off", [](Frame& f, Flags& m) { f.fill(10, 10, 5, 1, 6000); m.set(12, 10); }, 0},
    };
    for (const Case& c : cases) {
        Frame f(48, 40);
        Flags m(48, 40);
        c.draw(f, m);
        EXPECT_EQ(blob(f, 10, m.view()).size(), c.expected) << c.name;
    }
}

TEST(Blob, EqualFluxesKeepRowMajorSeedOrder) {
    Frame f(64, 48);
    f.fill(40, 8, 3, 3, 6000);   // upper right: seeded first
    f.fill(10, 30, 3, 3, 6000);  // lower left
    f.fill(25, 20, 3, 3, 6001);  // a little brighter
    const auto found = blob(f);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[1].flux, found[2].flux);
    EXPECT_DOUBLE_EQ(found[0].x, 26.0);
    EXPECT_DOUBLE_EQ(found[1].x, 41.0);
    EXPECT_DOUBLE_EQ(found[2].x, 11.0);
}

TEST(Detectors, ShapeRefusals) {
    Frame f(10, 10);
    f.fill(2, 2, 6, 6, 60000);  // a disc the solar detector finds without a mask
    ASSERT_TRUE(detect_sun_masked(f.view(), 1));
    Flags reshaped(20, 5), short_flags(10, 10);
    short_flags.flags.pop_back();
    EXPECT_EQ(refusal(detect_centroids_masked(f.view(), 5, reshaped.view())),
              "bad image: mask 20x5 (100 flags) does not match the 10x10 frame");
    EXPECT_EQ(refusal(detect_centroids_masked(f.view(), 5, short_flags.view())),
              "bad image: mask 10x10 (99 flags) does not match the 10x10 frame");
    EXPECT_FALSE(detect_sun_masked(f.view(), 1, reshaped.view()));
    EXPECT_FALSE(detect_sun_masked(f.view(), 1, short_flags.view()));

    const std::vector<std::uint16_t> none, fifteen(15, 0);
    const std::pair<ImageView, std::string> cases[] = {
        {{none, 0, 5}, "bad image: 0x5 does not match 0 pixels"},
        {{none, 5, 0}, "bad image: 5x0 does not match 0 pixels"},
        {{fifteen, 4, 4}, "bad image: 4x4 does not match 15 pixels"},
        // width * height wraps to 15 in 64 bits; it must not pass.
        {{fifteen, std::size_t{1} << 32, (std::size_t{1} << 32) + 15},
         "bad image: 4294967296x4294967311 does not match 15 pixels"},
    };
    for (const auto& [view, text] : cases) {
        EXPECT_EQ(refusal(detect_centroids_masked(view, 5)), text);
        EXPECT_EQ(refusal(detect_centroids_matched(view, 5, 1.5)), text);
        EXPECT_FALSE(detect_sun_masked(view, 1)) << text;
    }
}

// ---------------------------------------------------------- matched

TEST(Matched, RecoversStarsOnNoisySkyAndTruncates) {
    Frame f = noisy_sky(96, 80, 11);
    const double truth[][3] = {{60.7, 50.2, 1500}, {30.3, 20.6, 800}, {75.45, 15.8, 400}};
    for (const auto& s : truth) f.star(s[0], s[1], s[2], 1.5);
    const auto found = matched(f, 1.5, 3);
    ASSERT_EQ(found.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_NEAR(found[k].x, truth[k][0], 0.15) << k;
        EXPECT_NEAR(found[k].y, truth[k][1], 0.15) << k;
    }
    EXPECT_TRUE(matched(f, 1.5, 0).empty());
}

TEST(Matched, WidthOutsideRangeIsRefusedAndTinyWidthsStayFinite) {
    Frame f(40, 36);
    f.at(17, 22) = 9000;
    for (double sigma : {0.0, -1.0, 64.5, std::numeric_limits<double>::infinity(), std::nan("")})
        EXPECT_EQ(refusal(detect_centroids_matched(f.view(), 5, sigma)),
                  "bad image: psf_sigma_px must be finite and in (0, 64] pixels (got " + format_float(sigma) + ")");
    EXPECT_TRUE(detect_centroids_matched(f.view(), 5, 64.0));
    // A width whose square underflows to 0 filters like a delta instead of
    // turning every tap into 0/0.
    for (double sigma : {1e-200, std::numeric_limits<double>::denorm_min()}) {
        const auto found = matched(f, sigma);
        ASSERT_EQ(found.size(), 1u) << sigma;
        EXPECT_EQ(found[0].x, 17.0);
        EXPECT_EQ(found[0].flux, 8000.0);
    }
}

// ----------------------------------------------------------- corpus

std::uint64_t fingerprint(const std::vector<Centroid>& centroids, std::uint64_t hash) {
    const std::uint64_t size = centroids.size();
    hash = testing::fnv1a(&size, sizeof size, hash);
    for (const Centroid& c : centroids) {
        const double fields[] = {c.x, c.y, c.flux};
        hash = testing::fnv1a(fields, sizeof fields, hash);
    }
    return hash;
}

// Every detector's centroids (values and order) and the solar disc on the
// fixed corpus, bit for bit, one fingerprint per case.
TEST(Detectors, FixedCorpusOutputsAreUnchanged) {
    const std::uint64_t expected[] = {
        0x22aa5597face09a2, 0x12532423dab8fe86, 0x8c9f431770a4e33e, 0xd4fade06a0803e3b,
        0xbb16dafb0efb4154, 0x81d23fd7003c2305, 0x81d23fd7003c2305, 0x2b8c6b317738ea84,
        0xdd781e1ddce7da84, 0x7bce007a09c08dcd, 0x7f9869aba6ef9881, 0xbc06a76c2a30ebdf,
        0xc9e839b8c5ef9af3, 0x66d0224ca91da6b9, 0x98a7829fb089c4f7, 0x81d23fd7003c2305,
    };
    const auto corpus = testing::detector_corpus();
    ASSERT_EQ(corpus.size(), std::size(expected));
    for (std::size_t k = 0; k < corpus.size(); ++k) {
        const testing::CorpusCase& c = corpus[k];
        const auto mask = c.mask.empty() ? std::nullopt
                                         : std::optional(MaskView{c.mask, c.frame.width, c.frame.height});
        std::uint64_t hash = fingerprint(blob(c.frame, c.max_count, mask), testing::fnv1a(nullptr, 0));
        hash = fingerprint(matched(c.frame, c.psf_sigma_px, c.max_count), hash);
        const auto sun = detect_sun_masked(c.frame.view(), c.sun_min_area, mask);
        hash = fingerprint(sun ? std::vector<Centroid>{*sun} : std::vector<Centroid>{}, hash);
        EXPECT_EQ(hash, expected[k]) << "case " << k << ": 0x" << std::hex << hash;
    }
}

// -------------------------------------------------------------- sun

// On a flat frame of 1000 the threshold is median + 2048 = 3048. A disc may
// touch the edge or the mask; only its unmasked pixels count.
TEST(Sun, LargestRegionAreaThresholdEdgeAndMask) {
    constexpr double kNone = -1;
    struct Case { const char* name; void (*draw)(Frame&, Flags&); std::size_t min_area; double x, y; };
    const Case cases[] = {
        {"largest wins over brighter",
         [](Frame& f, Flags&) { f.fill(40, 5, 20, 16, 30000); f.fill(5, 30, 18, 18, 60000); }, 300, 13.5, 38.5},
        {"equal areas: first seeded wins",
         [](Frame& f, Flags&) { f.fill(5, 30, 20, 16, 60000); f.fill(40, 5, 16, 20, 30000); }, 300, 47.5, 14.5},
        {"300 px at minimum 300", [](Frame& f, Flags&) { f.fill(10, 10, 23, 13, 9000); f.at(33, 10) = 9000; }, 300,
         6312.0 / 300, 4794.0 / 300},
        {"299 px at minimum 300", [](Frame& f, Flags&) { f.fill(10, 10, 23, 13, 9000); }, 300, kNone, kNone},
        {"just under threshold", [](Frame& f, Flags&) { f.fill(10, 10, 20, 20, 3047); }, 300, kNone, kNone},
        {"threshold exactly met", [](Frame& f, Flags&) { f.fill(10, 10, 20, 20, 3048); }, 300, 19.5, 19.5},
        {"saturated frame", [](Frame& f, Flags&) { f.fill(0, 0, 64, 64, 65535); }, 1, kNone, kNone},
        {"touches column 0", [](Frame& f, Flags&) { f.fill(0, 20, 20, 20, 65535); }, 300, 9.5, 29.5},
        {"cut by the mask to 200 px",
         [](Frame& f, Flags& m) { f.fill(0, 20, 30, 20, 65535); m.set(10, 0, 54, 64); }, 200, 4.5, 29.5},
        {"200 px at minimum 201",
         [](Frame& f, Flags& m) { f.fill(0, 20, 30, 20, 65535); m.set(10, 0, 54, 64); }, 201, kNone, kNone},
        {"fully masked",
         [](Frame& f, Flags& m) { f.fill(0, 20, 30, 20, 65535); m.set(0, 0, 64, 64); }, 1, kNone, kNone},
    };
    for (const Case& c : cases) {
        Frame f(64, 64);
        Flags m(64, 64);
        c.draw(f, m);
        const auto disc = detect_sun_masked(f.view(), c.min_area, m.view());
        ASSERT_EQ(disc.has_value(), c.x != kNone) << c.name;
        if (!disc) continue;
        EXPECT_DOUBLE_EQ(disc->x, c.x) << c.name;
        EXPECT_DOUBLE_EQ(disc->y, c.y) << c.name;
    }
    // The flux is the sum over the disc above the median.
    Frame f(64, 64);
    f.fill(5, 30, 18, 18, 60000);
    EXPECT_EQ(detect_sun_masked(f.view(), 300).value_or(Centroid{}).flux, 324.0 * 59000.0);
}

}  // namespace
}  // namespace halvane
