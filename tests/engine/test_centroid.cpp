#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "centroid.hpp"
#include "numeric.hpp"
#include "support.hpp"

namespace halvane {
namespace {

using testing::Frame;

struct Flags {
    std::size_t width, height;
    std::vector<std::uint8_t> flags;
    Flags(std::size_t w, std::size_t h) : width(w), height(h), flags(w * h, 0) {}
    void set(std::size_t x0, std::size_t y0, std::size_t w = 1, std::size_t h = 1) {
        for (std::size_t y = y0; y < y0 + h; ++y)
            for (std::size_t x = x0; x < x0 + w; ++x) flags[y * width + x] = 1;
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

std::vector<Centroid> blob(const Frame& f, std::size_t max_count = 100, std::optional<MaskView> mask = {}) {
    auto result = detect_centroids_masked(f.view(), max_count, mask);
    EXPECT_TRUE(result.has_value()) << result.error().message();
    return result.value_or(std::vector<Centroid>{});
}

std::vector<Centroid> matched(const Frame& f, double sigma, std::size_t max_count = 100) {
    auto result = detect_centroids_matched(f.view(), max_count, sigma);
    EXPECT_TRUE(result.has_value()) << result.error().message();
    return result.value_or(std::vector<Centroid>{});
}

// ---------------------------------------------------------------- mesh

TEST(Background, ConstantFrameAndNarrowFrame) {
    for (auto [w, h] : {std::pair<std::size_t, std::size_t>{70, 45}, {5, 3}, {1, 1}, {31, 100}}) {
        Frame f(w, h, 1234);
        for (double b : estimate_background(f.view())) ASSERT_EQ(b, 1234.0);
    }
    // One tile column: every pixel of a row takes the same value.
    Frame narrow(20, 70);
    narrow.fill(0, 32, 20, 32, 2000);
    const auto b = estimate_background(narrow.view());
    for (std::size_t y = 0; y < 70; ++y)
        for (std::size_t x = 1; x < 20; ++x) ASSERT_EQ(b[y * 20 + x], b[y * 20]);
}

TEST(Background, TileCentresAndInterpolation) {
    // Width 100: tile columns of 32, 32, 32, 4 pixels with centres 15.5,
    // 47.5, 79.5 and 97.5; each tile constant at 100 * (i + 1).
    Frame f(100, 10);
    for (std::size_t i = 0; i < 4; ++i) f.fill(32 * i, 0, std::min<std::size_t>(32, 100 - 32 * i), 10, 100 * (i + 1));
    const auto b = estimate_background(f.view());
    for (std::size_t x = 0; x <= 15; ++x) EXPECT_EQ(b[x], 100.0) << x;
    EXPECT_EQ(b[31], (1 - 0.484375) * 100 + 0.484375 * 200);
    EXPECT_EQ(b[47], (1 - 31.5 / 32) * 100 + 31.5 / 32 * 200);
    EXPECT_DOUBLE_EQ(b[97], (1 - 17.5 / 18) * 300 + 17.5 / 18 * 400);
    EXPECT_EQ(b[98], 400.0);
    EXPECT_EQ(b[99], 400.0);
}

TEST(Background, TileMedianIsUpperMiddleOfUsableValues) {
    Frame f(32, 32, 7);
    for (std::size_t p = 0; p < 1024; ++p) f.pixels[p] = static_cast<std::uint16_t>(p % 1024);
    EXPECT_EQ(estimate_background(f.view())[0], 512.0);  // sorted index 512 of 0..1023

    // Only two usable values, 10 and 20, the rest masked with extremes.
    Frame g(32, 32, 65535);
    g.at(3, 4) = 10;
    g.at(30, 31) = 20;
    Flags m(32, 32);
    m.set(0, 0, 32, 32);
    m.flags[4 * 32 + 3] = 0;
    m.flags[31 * 32 + 30] = 0;
    for (double b : estimate_background(g.view(), m.view())) ASSERT_EQ(b, 20.0);
}

TEST(Background, MaskedTilesTakeTheFrameMedianAndFullMaskGivesZero) {
    Frame f(64, 32, 500);
    f.fill(32, 0, 32, 32, 60000);  // an obstruction filling the right tile
    f.fill(0, 0, 10, 32, 100);      // left tile median stays 500
    Flags m(64, 32);
    m.set(32, 0, 32, 32);
    const auto b = estimate_background(f.view(), m.view());
    // Unmasked pixels: 320 at 100, 704 at 500; element 512 is 500.
    EXPECT_EQ(b[0], 500.0);
    EXPECT_EQ(b[63], 500.0);

    m.set(0, 0, 64, 32);
    for (double v : estimate_background(f.view(), m.view())) ASSERT_EQ(v, 0.0);
}

// ------------------------------------------------------- log parabola

TEST(LogParabolaPeak, ExactOnSampledGaussianAndRefusals) {
    auto gauss = [](double centre) {
        std::vector<double> p;
        for (int i = 0; i < 7; ++i) p.push_back(500 * std::exp(-(i - centre) * (i - centre) / (2 * 1.3 * 1.3)));
        return p;
    };
    for (double centre : {3.0, 3.3, 2.6, 1.2}) {
        const auto peak = log_parabola_peak(gauss(centre));
        ASSERT_TRUE(peak);
        EXPECT_NEAR(*peak, centre, 1e-12);
    }
    struct Case {
        std::vector<double> profile;
        const char* why;
    };
    const Case refused[] = {
        {{1, 5}, "shorter than 3"},
        {{9, 5, 1}, "maximum first"},
        {{1, 5, 9}, "maximum last"},
        {{0, 5, 1}, "zero neighbour"},
        {{1, 5, -1}, "negative neighbour"},
        {{2, 2, 2}, "flat: first maximum is at the start"},
        {{1, 4, 16}, "log-linear"},
    };
    for (const Case& c : refused) EXPECT_FALSE(log_parabola_peak(c.profile)) << c.why;
    // The first of equal maxima is used: (1, 4, 4) peaks half-way.
    EXPECT_DOUBLE_EQ(*log_parabola_peak(std::vector<double>{1, 4, 4, 1}), 1.5);
}

// ------------------------------------------------------------- blob

TEST(Blob, RecoversStarsOnNoisySlopedSkyBrightestFirst) {
    Frame f = noisy_sky(128, 96, 7);
    struct Truth {
        double x, y, amplitude;
    };
    const Truth stars[] = {{20.3, 30.7, 9000}, {64.55, 48.2, 30000}, {100.8, 20.45, 15000},
                           {40.1, 75.9, 20000}, {110.25, 80.6, 12000}};
    for (const Truth& s : stars) f.star(s.x, s.y, s.amplitude, 1.4);
    const auto found = blob(f);
    ASSERT_EQ(found.size(), 5u);
    const std::size_t brightest_first[] = {1, 3, 2, 4, 0};
    for (std::size_t k = 0; k < 5; ++k) {
        const Truth& s = stars[brightest_first[k]];
        EXPECT_NEAR(found[k].x, s.x, 0.05) << k;
        EXPECT_NEAR(found[k].y, s.y, 0.05) << k;
        if (k > 0) {
            EXPECT_GT(found[k - 1].flux, found[k].flux);
        }
    }
    const auto top2 = blob(f, 2);
    ASSERT_EQ(top2.size(), 2u);
    EXPECT_EQ(top2[0], found[0]);
    EXPECT_EQ(top2[1], found[1]);
    EXPECT_TRUE(blob(f, 0).empty());
}

// On a flat frame of 1000 without noise the threshold is the floor 2048,
// so a pixel of 3048 is just bright enough.
TEST(Blob, RejectionRules) {
    struct Case {
        const char* name;
        void (*draw)(Frame&, Flags&);
        std::size_t expected;
    };
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
        {"diagonal pixels never join",
         [](Frame& f, Flags&) { f.at(10, 10) = f.at(11, 11) = f.at(12, 12) = f.at(13, 13) = 9000; }, 0},
        {"area 400 kept", [](Frame& f, Flags&) { f.fill(5, 5, 20, 20, 6000); }, 1},
        {"area 401 dropped", [](Frame& f, Flags&) { f.fill(5, 5, 20, 20, 6000); f.at(25, 5) = 6000; }, 0},
        {"4-adjacent to a masked pixel",
         [](Frame& f, Flags& m) { f.fill(10, 10, 3, 3, 6000); m.set(13, 11); }, 0},
        {"only diagonal to a masked pixel",
         [](Frame& f, Flags& m) { f.fill(10, 10, 3, 3, 6000); m.set(13, 13); }, 1},
        {"masked bright pixels never seed", [](Frame& f, Flags& m) { f.fill(10, 10, 3, 3, 6000); m.set(10, 10, 3, 3); }, 0},
        {"a bright masked pixel splits nothing into a star",
         [](Frame& f, Flags& m) { f.fill(10, 10, 5, 1, 6000); m.set(12, 10); }, 0},
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
    EXPECT_DOUBLE_EQ(found[0].x, 26.0);
    EXPECT_EQ(found[1].flux, found[2].flux);
    EXPECT_DOUBLE_EQ(found[1].x, 41.0);
    EXPECT_DOUBLE_EQ(found[2].x, 11.0);
}

TEST(Blob, WeightedMeanFallbackWhenTheProfileCannotBeFitted) {
    // Columns of residual 2100, 5000, 4000 with a much brighter single
    // pixel (dropped: area 1) 3 px to the right, at the window's last column.
    Frame f(48, 40);
    for (std::size_t y = 20; y < 23; ++y) {
        f.at(20, y) = 3100;
        f.at(21, y) = 6000;
        f.at(22, y) = 5000;
    }
    f.at(25, 21) = 65535;
    auto found = blob(f);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_DOUBLE_EQ(found[0].x, 3.0 * (20 * 2100.0 + 21 * 5000.0 + 22 * 4000.0) / 33300.0);
    EXPECT_NEAR(found[0].y, 21.0, 1e-12);  // symmetric rows still fit
    EXPECT_EQ(found[0].flux, 33300.0);

    // A one-column line: its neighbours' column sums are 0, so x falls back
    // to the line's column; the row profile's first maximum has a zero
    // neighbour too.
    Frame g(48, 40);
    g.fill(30, 12, 1, 3, 8000);
    found = blob(g);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].x, 30.0);
    EXPECT_EQ(found[0].y, 13.0);
}

TEST(Blob, FullyMaskedTileAndFrame) {
    Frame f(96, 64);
    f.fill(32, 0, 32, 32, 65000);  // a saturated obstruction on one tile
    f.star(70.4, 40.6, 20000, 1.3);
    Flags m(96, 64);
    m.set(32, 0, 32, 32);
    const auto found = blob(f, 10, m.view());
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NEAR(found[0].x, 70.4, 0.05);
    EXPECT_NEAR(found[0].y, 40.6, 0.05);

    m.set(0, 0, 96, 64);
    EXPECT_TRUE(blob(f, 10, m.view()).empty());
}

TEST(Blob, ShapeRefusals) {
    Frame f(10, 10);
    Flags wide(11, 10);
    auto r = detect_centroids_masked(f.view(), 5, wide.view());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "bad image: mask 11x10 (110 flags) does not match the 10x10 frame");
    Flags short_flags(10, 10);
    short_flags.flags.pop_back();
    r = detect_centroids_masked(f.view(), 5, short_flags.view());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "bad image: mask 10x10 (99 flags) does not match the 10x10 frame");

    const std::vector<std::uint16_t> none;
    const std::vector<std::uint16_t> fifteen(15, 0);
    struct Case {
        ImageView view;
        const char* text;
    };
    const Case cases[] = {
        {{none, 0, 5}, "bad image: 0x5 does not match 0 pixels"},
        {{none, 5, 0}, "bad image: 5x0 does not match 0 pixels"},
        {{fifteen, 4, 4}, "bad image: 4x4 does not match 15 pixels"},
        // width * height wraps to 15 in 64 bits; it must not pass.
        {{fifteen, std::size_t{1} << 32, (std::size_t{1} << 32) + 15}, nullptr},
    };
    for (const Case& c : cases) {
        auto blob_result = detect_centroids_masked(c.view, 5);
        auto matched_result = detect_centroids_matched(c.view, 5, 1.5);
        ASSERT_FALSE(blob_result);
        ASSERT_FALSE(matched_result);
        if (c.text != nullptr) {
            EXPECT_EQ(blob_result.error().message(), c.text);
            EXPECT_EQ(matched_result.error().message(), c.text);
        }
        EXPECT_FALSE(detect_sun_masked(c.view, 1));
    }
}

// ---------------------------------------------------------- matched

TEST(Matched, SinglePixelLandsExactlyOnIt) {
    for (double sigma : {1.0, 1.5, 2.0}) {
        Frame f(40, 36);
        f.at(17, 22) = 9000;
        const auto found = matched(f, sigma);
        ASSERT_EQ(found.size(), 1u) << sigma;
        EXPECT_EQ(found[0].x, 17.0);
        EXPECT_EQ(found[0].y, 22.0);
        EXPECT_GT(found[0].flux, 0.0);
    }
    // Frames shorter and narrower than the kernel clamp on both sides.
    Frame low(40, 3), thin(3, 40);
    low.at(17, 1) = 9000;
    thin.at(1, 17) = 9000;
    for (const Frame* f : {&low, &thin}) {
        const auto found = matched(*f, 2.0);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].x, f == &low ? 17.0 : 1.0);
        EXPECT_EQ(found[0].y, f == &low ? 1.0 : 17.0);
    }
}

TEST(Matched, PlateauPeaksAtItsFirstPixelCornerAndFlat) {
    Frame f(40, 36);
    f.at(10, 12) = f.at(11, 12) = 9000;  // equal filtered values at x = 10 and 11
    auto found = matched(f, 1.0);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NEAR(found[0].x, 10.5, 1e-9);
    EXPECT_EQ(found[0].y, 12.0);

    Frame corner(40, 36);
    corner.at(0, 0) = 9000;
    found = matched(corner, 1.0);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].x, 0.0);
    EXPECT_EQ(found[0].y, 0.0);

    EXPECT_TRUE(matched(Frame(40, 36, 777), 1.5).empty());
    EXPECT_TRUE(matched(Frame(1, 1, 777), 1.5).empty());
}

TEST(Matched, RecoversStarsOnNoisySkyAndTruncates) {
    Frame f = noisy_sky(96, 80, 11);
    f.star(30.3, 20.6, 800, 1.5);
    f.star(60.7, 50.2, 1500, 1.5);
    f.star(75.45, 15.8, 400, 1.5);
    const auto found = matched(f, 1.5, 3);
    ASSERT_EQ(found.size(), 3u);
    const double truth[3][2] = {{60.7, 50.2}, {30.3, 20.6}, {75.45, 15.8}};
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_NEAR(found[k].x, truth[k][0], 0.15) << k;
        EXPECT_NEAR(found[k].y, truth[k][1], 0.15) << k;
    }
    EXPECT_TRUE(matched(f, 1.5, 0).empty());
}

TEST(Matched, WidthOutsideRangeIsRefusedAndTinyWidthsStayFinite) {
    Frame f(40, 36);
    f.at(17, 22) = 9000;
    for (double sigma : {0.0, -1.0, 64.5, std::numeric_limits<double>::infinity(), std::nan("")}) {
        auto r = detect_centroids_matched(f.view(), 5, sigma);
        ASSERT_FALSE(r) << sigma;
        EXPECT_EQ(r.error().message(), "bad image: psf_sigma_px must be finite and in (0, 64] pixels (got " +
                                           format_float(sigma) + ")");
    }
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

// -------------------------------------------------------------- sun

TEST(Sun, LargestRegionWinsTiesGoToTheFirst) {
    Frame f(64, 64);
    f.fill(40, 5, 20, 16, 30000);   // 320 px, dimmer, seeded first
    f.fill(5, 30, 18, 18, 60000);   // 324 px, brighter
    auto disc = detect_sun_masked(f.view(), 300);
    ASSERT_TRUE(disc);
    EXPECT_DOUBLE_EQ(disc->x, 13.5);
    EXPECT_DOUBLE_EQ(disc->y, 38.5);
    EXPECT_DOUBLE_EQ(disc->flux, 324.0 * 59000.0);

    Frame tie(64, 64);
    tie.fill(5, 30, 20, 16, 60000);  // seeded second
    tie.fill(40, 5, 16, 20, 30000);  // same 320 px, seeded first
    disc = detect_sun_masked(tie.view(), 300);
    ASSERT_TRUE(disc);
    EXPECT_DOUBLE_EQ(disc->x, 47.5);
    EXPECT_DOUBLE_EQ(disc->y, 14.5);
}

TEST(Sun, MinimumAreaAndThreshold) {
    Frame f(64, 64);
    f.fill(10, 10, 23, 13, 9000);  // 299 px
    f.at(33, 10) = 9000;           // 300 px with this one
    EXPECT_TRUE(detect_sun_masked(f.view(), 300));
    f.at(33, 10) = 1000;
    EXPECT_FALSE(detect_sun_masked(f.view(), 300));
    EXPECT_TRUE(detect_sun_masked(f.view(), 299));
    // A uniform sky has no spread: the threshold is median + 2048.
    Frame g(64, 64);
    g.fill(10, 10, 20, 20, 3047);
    EXPECT_FALSE(detect_sun_masked(g.view(), 300));
    g.fill(10, 10, 20, 20, 3048);
    EXPECT_TRUE(detect_sun_masked(g.view(), 300));
    EXPECT_FALSE(detect_sun_masked(Frame(64, 64, 65535).view(), 1));
}

TEST(Sun, DiscCutByTheEdgeOrTheMaskIsStillFound) {
    Frame f(64, 64);
    f.fill(0, 20, 20, 20, 65535);  // touches column 0
    auto disc = detect_sun_masked(f.view(), 300);
    ASSERT_TRUE(disc);
    EXPECT_DOUBLE_EQ(disc->x, 9.5);
    EXPECT_DOUBLE_EQ(disc->y, 29.5);

    Flags m(64, 64);
    m.set(10, 0, 54, 64);  // hides the right half of the disc
    f.fill(20, 20, 10, 20, 65535);  // the disc now spans x = 0..29
    disc = detect_sun_masked(f.view(), 150, m.view());
    ASSERT_TRUE(disc);
    EXPECT_DOUBLE_EQ(disc->x, 4.5);
    EXPECT_FALSE(detect_sun_masked(f.view(), 201, m.view()));

    Flags wrong(63, 64);
    EXPECT_FALSE(detect_sun_masked(f.view(), 300, wrong.view()));
    m.set(0, 0, 64, 64);
    EXPECT_FALSE(detect_sun_masked(f.view(), 1, m.view()));
}

}  // namespace
}  // namespace halvane
