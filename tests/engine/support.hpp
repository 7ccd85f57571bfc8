// Test fixtures shared by the engine tests: rotations, hand-made stars and
// catalogues, and small frames to draw on.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "catalog.hpp"
#include "centroid.hpp"
#include "numeric.hpp"
#include "vector.hpp"

namespace halvane::testing {

inline constexpr double kPi = 3.141592653589793;

// Rotation by `angle` radians about `axis` (right-handed).
inline Mat3 rotation_about(Vec3 axis, double angle) {
    axis = normalized(axis);
    const double c = std::cos(angle), s = std::sin(angle), t = 1.0 - c;
    const auto [x, y, z] = axis;
    return {{{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
             {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
             {t * x * z - s * y, t * y * z + s * x, t * z * z + c}}};
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

}  // namespace halvane::testing
