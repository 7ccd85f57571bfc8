#include "synth.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <new>
#include <string>

#include "ephemeris.hpp"
#include "frame.hpp"
#include "numeric.hpp"
#include "solve.hpp"

namespace halvane {

namespace {

// The observer's local axes in the equatorial frame of date, and what turns
// a catalogue star into its apparent place of date there. The fix pipeline
// makes apparent places the same way, so a rendered star is exactly where
// the solver will look for it.
struct SkyOfDate : ObserverAxes {
    Mat3 precession{};
    Vec3 aberration{};

    SkyOfDate(double lat, double lon, double jd_ut)
        : ObserverAxes(observer_axes(lat, lon, jd_ut)),
          precession(precession_matrix(jd_ut)),
          aberration(annual_aberration(jd_ut)) {}

    Vec3 apparent(const Star& star, double jd_ut, double epoch) const {
        return normalized(precession * star.unit_at(jd_ut, epoch) + aberration);
    }
};

// East-north-up unit vector of an altitude and azimuth in radians.
Vec3 local_direction(double alt, double az) {
    return {std::cos(alt) * std::sin(az), std::cos(alt) * std::cos(az), std::sin(alt)};
}

// Camera axes in east-north-up coordinates: row k is camera axis k, so a
// local direction w maps to (x . w, y . w, z . w).
Mat3 camera_axes(double alt_deg, double az_deg, double roll_deg) {
    const double alt = alt_deg * kDegToRad;
    const Vec3 boresight = local_direction(alt, az_deg * kDegToRad);
    // Near the zenith or nadir "up" no longer defines a horizon, so north
    // takes its place (within 2 degrees).
    const Vec3 reference = std::abs(std::sin(alt)) > 0.9993908270190958 ? Vec3{0.0, 1.0, 0.0} : Vec3{0.0, 0.0, 1.0};
    const Vec3 x0 = normalized(cross(boresight, reference));
    const Vec3 y0 = cross(boresight, x0);
    const double roll = roll_deg * kDegToRad;
    const double c = std::cos(roll), s = std::sin(roll);
    return {scaled(x0, c) + scaled(y0, s), scaled(y0, c) - scaled(x0, s), boresight};
}

struct KeptStar {
    PixelPosition pixel;
    std::uint32_t hr_id = 0;
    float vmag = 0.0f;
};

// The most pixels a scene may have: the renderer holds ten bytes a pixel
// (a double and the 16-bit result), 2.5 GiB at this size.
constexpr std::size_t kMaxScenePixels = std::size_t{1} << 28;

// width * height, or SizeOverflow when no buffer of that many doubles could
// be addressed (the product must neither wrap nor exceed what a vector
// holds), or when it is over kMaxScenePixels: checked before anything is
// allocated, so an absurd extent costs nothing and says what was asked.
std::size_t pixel_count(std::size_t width, std::size_t height) {
    std::size_t count = 0;
    const std::string extent =
        "a scene of " + std::to_string(width) + " x " + std::to_string(height) + " pixels";
    if (__builtin_mul_overflow(width, height, &count) || count > std::vector<double>().max_size())
        throw SizeOverflow(extent + " is too large to address");
    if (count > kMaxScenePixels)
        throw SizeOverflow(extent + " (" + std::to_string(count) + ") is over the " +
                           std::to_string(kMaxScenePixels) + " pixels a scene may have");
    return count;
}

// Adds a 9 x 9 Gaussian of peak `amplitude` centred on (x, y). The caller
// keeps (x, y) at least 5 pixels inside the border, so every tap is inside.
void stamp_star(double* image, std::size_t width, double x, double y, double amplitude, double sigma_px) {
    const double two_sigma_sq = sigma_px * (sigma_px + sigma_px);
    const auto ix = saturating_cast<std::int64_t>(std::round(x));
    const auto iy = saturating_cast<std::int64_t>(std::round(y));
    for (std::int64_t j = -4; j <= 4; ++j) {
        const double dy = static_cast<double>(iy + j) - y;
        double* row = image + static_cast<std::size_t>(iy + j) * width;
        for (std::int64_t i = -4; i <= 4; ++i) {
            const double dx = static_cast<double>(ix + i) - x;
            row[ix + i] += amplitude * std::exp(-(dy * dy + dx * dx) / two_sigma_sq);
        }
    }
}

// Snaps 0..65535 to (2^bit_depth - 1) levels, as an N-bit converter widened
// to 16 bits would read, then clamps. fmax/fmin send NaN to 0, which is what
// a saturating conversion would give it.
// Appends the rows to `out`, which holds the rows before them.
void quantise(const double* image, std::size_t count, std::size_t width, std::uint32_t bit_depth,
              std::vector<std::uint16_t>& out, RowPoll& poll) {
    const double levels = static_cast<double>((std::uint32_t{1} << bit_depth) - 1);
    const double step = 65535.0 / levels;
    for (std::size_t first = 0; first < count; first += width) {
        poll();
        out.resize(first + width);
        const double* in = image + first;
        std::uint16_t* dst = out.data() + first;
        for (std::size_t k = 0; k < width; ++k) {
            const double snapped = step * std::round(in[k] / step);
            dst[k] = static_cast<std::uint16_t>(std::fmin(std::fmax(snapped, 0.0), 65535.0));
        }
    }
}

// Tilts the unit vector u by a normal angle of standard deviation sigma
// (radians) about a uniformly random axis perpendicular to it.
Vec3 tilted(const Vec3& u, double sigma, XorShift64Star& rng) {
    const double g0 = rng.normal();
    const double g1 = rng.normal();
    const double g2 = rng.normal();
    const Vec3 g{g0, g1, g2};
    const Vec3 axis = normalized(g - scaled(u, dot(g, u)));
    const double angle = rng.normal() * sigma;
    return normalized(scaled(u, std::cos(angle)) + scaled(cross(axis, u), std::sin(angle)));
}

}  // namespace

Boresight pick_rich_boresight(const Catalog& catalog, const Camera& camera, std::size_t width,
                              std::size_t height, double lat_rad, double lon_rad, double jd_ut) {
    constexpr Boresight kDefault{55.0, 0.0};
    const SkyOfDate sky(lat_rad, lon_rad, jd_ut);
    std::vector<Vec3> bright;
    for (const Star& star : catalog.stars) {
        if (star.vmag > 4.0f) continue;
        const Vec3 s = sky.apparent(star, jd_ut, catalog.epoch);
        const double u = dot(sky.up, s);
        if (!(u > 0.0)) continue;
        bright.push_back(normalized({dot(sky.east, s), dot(sky.north, s), u}));
    }
    if (bright.empty()) return kDefault;

    const double half_diagonal =
        std::atan(std::hypot(static_cast<double>(width) / 2.0, static_cast<double>(height) / 2.0) / camera.focal);
    const double cos_radius = std::cos(0.9 * half_diagonal);

    Boresight best = kDefault;
    std::size_t best_count = 0;
    for (const double alt_deg : {45.0, 60.0, 75.0}) {
        for (int k = 0; k < 18; ++k) {
            const double az_deg = 20.0 * k;
            const Vec3 b = local_direction(alt_deg * kDegToRad, az_deg * kDegToRad);
            const auto count = static_cast<std::size_t>(
                std::count_if(bright.begin(), bright.end(), [&](const Vec3& d) { return dot(d, b) > cos_radius; }));
            if (count > best_count) {
                best_count = count;
                best = {alt_deg, az_deg};
            }
        }
    }
    return best;
}

Result<Scene> synthesize_scene(const Catalog& catalog, const SceneParams& params, double lat_rad,
                               double lon_rad, double jd_ut, double alt_deg, double az_deg, double roll_deg) {
    if (params.width == 0 || params.height == 0) return std::unexpected(Error::BadImage{"zero-sized image"});
    if (!std::isfinite(lat_rad) || !std::isfinite(lon_rad) || !std::isfinite(jd_ut))
        return std::unexpected(Error::BadImage{"non-finite lat/lon/jd"});
    if (params.bit_depth < 1 || params.bit_depth > 16)
        return std::unexpected(
            Error::BadImage{"bit_depth " + std::to_string(params.bit_depth) + " out of range 1..=16"});
    const std::size_t n_pixels = pixel_count(params.width, params.height);

    const SkyOfDate sky(lat_rad, lon_rad, jd_ut);
    const Mat3 axes = camera_axes(alt_deg, az_deg, roll_deg);

    std::vector<KeptStar> kept;
    for (const Star& star : catalog.stars) {
        if (star.vmag > params.mag_limit) continue;
        const Vec3 s = sky.apparent(star, jd_ut, catalog.epoch);
        const double h = std::asin(std::clamp(dot(sky.up, s), -1.0, 1.0));
        if (!(h > 0.0)) continue;
        const double azimuth = std::atan2(dot(sky.east, s), dot(sky.north, s));
        // Render what the eye sees: the star raised by refraction, the very
        // correction the solver takes off again.
        const double seen = h + refraction_rad(h);
        const Vec3 in_camera = axes * local_direction(seen, azimuth);
        const auto pixel = params.camera.vec_to_pixel(in_camera);
        if (!pixel) continue;
        kept.push_back({*pixel, star.hr_id, star.vmag});
    }
    std::stable_sort(kept.begin(), kept.end(),
                     [](const KeptStar& a, const KeptStar& b) { return total_order_less(a.vmag, b.vmag); });

    // The buffers are first touched row by row in polled loops, not all at
    // once when they are made.
    RowPoll poll(params.cancel);
    Scene scene;
    scene.pixels.reserve(n_pixels);
    const std::unique_ptr<double[]> image(new double[n_pixels]);
    for (std::size_t first = 0; first < n_pixels; first += params.width) {
        poll();
        std::fill_n(image.get() + first, params.width, params.background);
    }
    XorShift64Star rng(params.seed);

    const double width = static_cast<double>(params.width);
    const double height = static_cast<double>(params.height);
    for (const KeptStar& star : kept) {
        double x = star.pixel.x;
        double y = star.pixel.y;
        if (params.pixel_noise_px > 0.0) {
            x += params.pixel_noise_px * rng.normal();
            y += params.pixel_noise_px * rng.normal();
        }
        // Comparisons written so that a NaN centre is skipped.
        if (!(x >= 5.0 && x < width - 5.0 && y >= 5.0 && y < height - 5.0)) continue;
        const bool crowded = std::any_of(scene.star_pixels.begin(), scene.star_pixels.end(), [&](const PixelPosition& p) {
            const double dx = p.x - x, dy = p.y - y;
            return std::sqrt(dx * dx + dy * dy) < 6.0;
        });
        if (crowded) continue;
        const double amplitude = params.peak_scale * std::pow(10.0, -0.4 * static_cast<double>(star.vmag));
        stamp_star(image.get(), params.width, x, y, amplitude, params.star_sigma_px);
        scene.rendered_hr_ids.push_back(star.hr_id);
        scene.star_pixels.push_back({x, y});
    }

    if (params.background_noise > 0.0) {
        const double sigma = params.background_noise;
        for (std::size_t first = 0; first < n_pixels; first += params.width) {
            poll();
            double* row = image.get() + first;
            for (std::size_t x = 0; x < params.width; ++x) row[x] += sigma * rng.normal();
        }
    }
    quantise(image.get(), n_pixels, params.width, params.bit_depth, scene.pixels, poll);

    Vec3 up{axes[0][2], axes[1][2], axes[2][2]};
    if (params.up_noise_arcmin > 0.0) up = tilted(up, arcmin_to_rad(params.up_noise_arcmin), rng);
    scene.up_cam = up;
    scene.boresight_alt_deg = alt_deg;
    scene.boresight_az_deg = az_deg;
    return scene;
}

}  // namespace halvane
