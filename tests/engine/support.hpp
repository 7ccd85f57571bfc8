// Fixtures shared by the engine tests (rotations, hand-made stars and
// catalogues, frames to draw on) and the headers every test file needs.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "catalog.hpp"
#include "frame.hpp"
#include "image.hpp"
#include "numeric.hpp"
#include "solve.hpp"
#include "vector.hpp"

namespace halvane::testing {

// Rotation by `angle` radians about `axis` (right-handed).
inline Mat3 rotation_about(Vec3 axis, double angle) {
    axis = normalized(axis);
    const double c = std::cos(angle), s = std::sin(angle), t = 1.0 - c;
    const auto [x, y, z] = axis;
    return {{{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
             {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
             {t * x * z - s * y, t * y * z + s * x, t * z * z + c}}};
}

// Unit vector of right ascension and declination, radians.
inline Vec3 from_radec(double ra, double dec) {
    return {std::cos(dec) * std::cos(ra), std::cos(dec) * std::sin(ra), std::sin(dec)};
}

// A catalogue star at the J2000 direction v (normalised here), without motion.
inline Star star_at(const Vec3& v, std::uint32_t hr_id, float vmag = 0.0f) {
    Star s;
    s.unit = normalized(v);
    s.ra = std::atan2(s.unit[1], s.unit[0]);
    if (s.ra < 0) s.ra += kTwoPi;
    s.dec = std::asin(std::clamp(s.unit[2], -1.0, 1.0));
    s.hr_id = hr_id;
    s.vmag = vmag;
    return s;
}

// The stars with every pair up to `max_separation` radians indexed, sorted
// by cos_theta as the file format requires.
inline Catalog catalog_of(std::vector<Star> stars, double max_separation = kPi) {
    Catalog c;
    c.stars = std::move(stars);
    const double cos_max = std::cos(max_separation);
    for (std::size_t i = 0; i < c.stars.size(); ++i)
        for (std::size_t j = i + 1; j < c.stars.size(); ++j) {
            const double cos_theta = dot(c.stars[i].unit, c.stars[j].unit);
            if (cos_theta >= cos_max)
                c.pairs.push_back({static_cast<float>(cos_theta), static_cast<std::uint16_t>(i),
                                   static_cast<std::uint16_t>(j)});
        }
    std::stable_sort(c.pairs.begin(), c.pairs.end(),
                     [](const StarPair& a, const StarPair& b) { return a.cos_theta < b.cos_theta; });
    return c;
}

// Where a zenith camera (image right west, down south: up_cam (0, 0, 1))
// sees a star of apparent place `sky`, raised by refraction as the fix
// pipeline undoes it; its true altitude (radians) goes to `altitude`.
inline Vec3 seen_from_zenith_camera(const ObserverAxes& o, const Vec3& sky, double& altitude) {
    altitude = std::asin(std::clamp(dot(o.up, sky), -1.0, 1.0));
    const Vec3 horizontal = normalized(sky - scaled(o.up, dot(o.up, sky)));
    const double apparent = altitude + refraction_rad(altitude);
    const Vec3 seen = scaled(horizontal, std::cos(apparent)) + scaled(o.up, std::sin(apparent));
    return {-dot(o.east, seen), -dot(o.north, seen), dot(o.up, seen)};
}

// n directions spread uniformly over the sphere, no two closer than
// `min_separation` radians; the same for the same seed.
inline std::vector<Vec3> spread_over_sky(std::size_t n, double min_separation, std::uint64_t seed) {
    XorShift64Star rng(seed);
    std::vector<Vec3> out;
    const double cos_min = std::cos(min_separation);
    while (out.size() < n) {
        const double z = 2.0 * rng.uniform() - 1.0;
        const double ra = kTwoPi * rng.uniform();
        const Vec3 v{std::sqrt(1 - z * z) * std::cos(ra), std::sqrt(1 - z * z) * std::sin(ra), z};
        if (std::all_of(out.begin(), out.end(), [&](const Vec3& o) { return dot(o, v) < cos_min; }))
            out.push_back(v);
    }
    return out;
}

// Declares `name` as the result of `expr` and ends the test, naming the
// refusal, unless it holds a value.
#define ASSERT_ACCEPTED(name, expr) \
    const auto name = (expr);        \
    ASSERT_TRUE(name.has_value()) << name.error().message()

// The refusal text of a result, or "accepted".
template <class T>
std::string refusal(const Result<T>& result) {
    return result ? "accepted" : result.error().message();
}

// A small owned 16-bit frame with drawing helpers.
struct Frame {
    std::size_t width, height;
    std::vector<std::uint16_t> pixels;
    Frame(std::size_t w, std::size_t h, std::uint16_t value = 1000) : width(w), height(h), pixels(w * h, value) {}
    std::uint16_t& at(std::size_t x, std::size_t y) { return pixels[y * width + x]; }
    void fill(std::size_t x0, std::size_t y0, std::size_t w, std::size_t h, std::uint16_t value) {
        for (std::size_t y = y0; y < y0 + h; ++y)
            for (std::size_t x = x0; x < x0 + w; ++x) at(x, y) = value;
    }
    // Adds a sampled Gaussian star of peak `amplitude` centred at (cx, cy).
    void star(double cx, double cy, double amplitude, double sigma) {
        for (std::size_t y = 0; y < height; ++y)
            for (std::size_t x = 0; x < width; ++x) {
                const double dx = static_cast<double>(x) - cx, dy = static_cast<double>(y) - cy;
                const double v = at(x, y) + amplitude * std::exp(-(dx * dx + dy * dy) / (2 * sigma * sigma));
                at(x, y) = saturating_cast<std::uint16_t>(std::round(std::min(v, 65535.0)));
            }
    }
    ImageView view() const { return {pixels, width, height}; }
};

// One frame of the detectors' fixed corpus, its mask and parameters.
struct CorpusCase {
    Frame frame;
    std::vector<std::uint8_t> mask;  // empty: no mask
    std::size_t max_count = 100;
    double psf_sigma_px = 1.5;
    std::size_t sun_min_area = 20;
};

// Noisy skies of several sizes, noise levels and slopes with stars (some at
// the edge, some clipped at 65535), flat frames, saturated discs, masks,
// 8-bit frames widened by 257, odd shapes; drawn by the seeded generator.
inline std::vector<CorpusCase> detector_corpus() {
    struct Recipe { std::size_t w, h; double noise, slope; std::size_t stars; int kind; };
    // kind: 0 sky, 1 flat, 2 saturated disc, 3 masked sky, 4 8-bit sky, 5 edge stars
    const Recipe recipes[] = {
        {64, 48, 20, 2, 12, 0},   {100, 37, 5, 0, 8, 0},    {257, 129, 30, 1, 40, 0},  {96, 96, 400, 3, 20, 0},
        {33, 200, 60, 0, 10, 0},  {1, 1, 0, 0, 0, 1},       {40, 36, 0, 0, 0, 1},      {3, 70, 10, 0, 2, 0},
        {128, 96, 25, 1, 10, 2},  {160, 120, 30, 2, 30, 3}, {96, 64, 20, 0, 12, 3},    {120, 90, 3, 0, 15, 4},
        {90, 70, 15, 1, 20, 5},   {200, 150, 900, 0, 25, 0}, {64, 64, 2000, 5, 30, 3}, {7, 5, 100, 0, 0, 0},
    };
    std::vector<CorpusCase> out;
    XorShift64Star rng(20260611);
    for (const Recipe& r : recipes) {
        CorpusCase c{Frame(r.w, r.h, 0), {}, 5 + rng.next_u64() % 200, 0.7 + 2.5 * rng.uniform(),
                     1 + rng.next_u64() % 400};
        Frame& f = c.frame;
        for (std::size_t y = 0; y < r.h; ++y)
            for (std::size_t x = 0; x < r.w; ++x)
                f.at(x, y) = saturating_cast<std::uint16_t>(
                    std::round(3000.0 + r.slope * static_cast<double>(x + 2 * y) + r.noise * rng.normal()));
        for (std::size_t s = 0; s < r.stars; ++s) {
            const bool edge = r.kind == 5 && s % 2 == 0;
            const double cx = edge ? (s % 4 == 0 ? 0.3 : static_cast<double>(r.w) - 1.2) : rng.uniform() * r.w;
            const double cy = rng.uniform() * static_cast<double>(r.h);
            f.star(cx, cy, std::exp(std::log(300.0) + rng.uniform() * std::log(250.0)), 0.6 + 2.0 * rng.uniform());
        }
        if (r.kind == 2) f.star(r.w * 0.6, r.h * 0.4, 2e6, 9.0);
        if (r.kind == 3) {
            c.mask.assign(r.w * r.h, 0);
            for (std::size_t y = r.h / 3; y < r.h; ++y)
                for (std::size_t x = 0; x < r.w / 2 + y % 7; ++x)
                    c.mask[y * r.w + x] = static_cast<std::uint8_t>(1 + x % 3);
            c.mask[r.w * 5 + r.w - 9] = 1;
        }
        if (r.kind == 4)
            for (std::uint16_t& v : f.pixels) v = static_cast<std::uint16_t>(std::min(v / 40, 255) * 257);
        out.push_back(std::move(c));
    }
    return out;
}

// FNV-1a over raw bytes, for fingerprints of detector outputs.
inline std::uint64_t fnv1a(const void* data, std::size_t n, std::uint64_t hash = 0xcbf29ce484222325ULL) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < n; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ULL;
    return hash;
}

}  // namespace halvane::testing
