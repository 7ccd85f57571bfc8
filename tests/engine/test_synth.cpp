#include <new>
#include <set>

#include "entry.hpp"
#include "ephemeris.hpp"
#include "support.hpp"
#include "synth.hpp"
#include "time.hpp"

namespace halvane {
namespace {

const double kJd = julian_date(2026, 3, 14, 21, 30, 0.0);
constexpr double kLat = 48.0 * kDegToRad;
constexpr double kLon = -3.0 * kDegToRad;
const ObserverAxes kObserver = observer_axes(kLat, kLon, kJd);

// A J2000 star that appears, after aberration and refraction, at the local
// direction (east, north, up) `seen` from kObserver (to well under a
// milliarcsecond: refraction is undone by fixed-point iteration).
Star star_seen_at(const Vec3& seen, std::uint32_t hr_id, float vmag) {
    const Vec3 w = normalized(seen);
    const double apparent = std::asin(w[2]), azimuth = std::atan2(w[0], w[1]);
    double h = apparent;
    for (int k = 0; k < 20; ++k) h = apparent - refraction_rad(h);
    const Vec3 of_date = scaled(kObserver.east, std::cos(h) * std::sin(azimuth)) +
                         scaled(kObserver.north, std::cos(h) * std::cos(azimuth)) + scaled(kObserver.up, std::sin(h));
    const Vec3 j2000 = transposed(precession_matrix(kJd)) * normalized(of_date - annual_aberration(kJd));
    return testing::star_at(j2000, hr_id, vmag);
}

Vec3 local_of(double alt_deg, double az_deg) {
    const double alt = alt_deg * kDegToRad, az = az_deg * kDegToRad;
    return {std::cos(alt) * std::sin(az), std::cos(alt) * std::cos(az), std::sin(alt)};
}

// A camera centred on a width x height image: the ideal fisheye of field
// `fisheye_fov_deg`, or without one the pinhole of focal `focal`.
SceneParams params(std::size_t width, std::size_t height, std::optional<double> fisheye_fov_deg, double focal = 0) {
    SceneParams p;
    p.camera = Camera::from_fov(width, height, fisheye_fov_deg, focal, width * 0.5, height * 0.5, 0, 0, 0, 0);
    p.width = width;
    p.height = height;
    return p;
}

// Looking straight up.
Scene render(const Catalog& c, const SceneParams& p) {
    auto scene = synthesize_scene(c, p, kLat, kLon, kJd, 90.0, 0.0, 0.0);
    EXPECT_TRUE(scene.has_value()) << scene.error().message();
    return scene ? std::move(*scene) : Scene{};
}

// Catalogue stars placed, for a zenith pinhole, at the given pixels.
struct Placed {
    double x, y;
    float vmag;
};
Catalog placed_for_zenith_pinhole(const SceneParams& p, std::initializer_list<Placed> stars) {
    Catalog c;
    for (const Placed& s : stars) {
        const Vec3 cam = p.camera.pixel_to_vec(s.x, s.y);
        // Looking straight up: image right is west, image down is south.
        const auto hr = static_cast<std::uint32_t>(c.stars.size() + 1);
        c.stars.push_back(star_seen_at({-cam[0], -cam[1], cam[2]}, hr, s.vmag));
    }
    return c;
}

// The package's scenarios rebuild these camera axes to know where a
// rendered camera points: a pinhole looking north 20 degrees up sees east of
// north to the right and the vertical leaning back out of the image; rolled
// by 90 degrees, what was right is up.
TEST(SynthesizeScene, PinholeAxesAndRoll) {
    Catalog c;
    c.stars = {star_seen_at(local_of(20.0, 5.0), 1, 1.0f)};
    const SceneParams pin = params(300, 200, std::nullopt, 600.0);
    const auto upright = synthesize_scene(c, pin, kLat, kLon, kJd, 20.0, 0.0, 0.0);
    const auto rolled = synthesize_scene(c, pin, kLat, kLon, kJd, 20.0, 0.0, 90.0);
    ASSERT_TRUE(upright && rolled && upright->star_pixels.size() == 1 && rolled->star_pixels.size() == 1);
    const PixelPosition u = upright->star_pixels[0], r = rolled->star_pixels[0];
    EXPECT_GT(u.x, 160.0);
    EXPECT_NEAR(u.y, 100.0, 2.0);
    EXPECT_NEAR(r.x - 150.0, u.y - 100.0, 1e-9);
    EXPECT_NEAR(r.y - 100.0, -(u.x - 150.0), 1e-9);
    const Vec3 leaning_back{0.0, -std::cos(20.0 * kDegToRad), std::sin(20.0 * kDegToRad)};
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(upright->up_cam[i], leaning_back[i], 1e-15);
}

TEST(SynthesizeScene, RefusalsInOrder) {
    const struct {
        std::size_t width, height;
        double lat, lon, jd;
        std::uint32_t bits;
        const char* message;
    } cases[] = {
        {0, 10, NAN, 0, kJd, 0, "zero-sized image"},
        {10, 0, 0, 0, NAN, 99, "zero-sized image"},
        {10, 10, NAN, 0, kJd, 0, "non-finite lat/lon/jd"},
        {10, 10, 0, INFINITY, kJd, 16, "non-finite lat/lon/jd"},
        {10, 10, 0, 0, -INFINITY, 16, "non-finite lat/lon/jd"},
        {10, 10, 0, 0, kJd, 0, "bit_depth 0 out of range 1..=16"},
        {10, 10, 0, 0, kJd, 17, "bit_depth 17 out of range 1..=16"},
    };
    for (const auto& k : cases) {
        SceneParams p = params(k.width, k.height, 180.0);
        p.bit_depth = k.bits;
        EXPECT_EQ(testing::refusal(synthesize_scene(Catalog{}, p, k.lat, k.lon, k.jd, 90, 0, 0)),
                  std::string("bad image: ") + k.message);
    }
    // An extent no buffer can hold fails as an allocation, before allocating;
    // so does one the machine could hold but the renderer will not draw (its
    // text, as the caller sees it, is checked from Python).
    for (const auto& [w, h] : {std::pair{1ul << 33, 1ul << 33}, {1ul << 62, 1ul}, {1ul << 16, 1ul << 15}})
        EXPECT_THROW((void)synthesize_scene(Catalog{}, params(w, h, 180.0), 0, 0, kJd, 90, 0, 0), SizeOverflow);
}

TEST(SynthesizeScene, QuantisationToBitDepth) {
    SceneParams p = params(64, 64, 180.0);
    p.background = 32768.0;  // mid-scale, so that one bit holds both levels
    p.background_noise = 3000.0;
    p.seed = 5;
    for (const std::uint32_t bits : {1u, 8u, 12u, 16u}) {
        p.bit_depth = bits;
        const Scene scene = render(Catalog{}, p);
        const double step = 65535.0 / static_cast<double>((1u << bits) - 1);
        const std::set<std::uint16_t> values(scene.pixels.begin(), scene.pixels.end());
        for (const std::uint16_t v : values)
            EXPECT_EQ(v, static_cast<std::uint16_t>(std::min(step * std::round(v / step), 65535.0)))
                << bits << " " << v;
        EXPECT_TRUE(bits != 1 || values == (std::set<std::uint16_t>{0, 65535}));
        EXPECT_TRUE(bits != 16 || values.size() > 1000u);
    }
}

TEST(SynthesizeScene, MarginCrowdingAndBrightnessOrder) {
    SceneParams p = params(120, 100, std::nullopt, 2000.0);
    // Catalogue order is not brightness order: the renderer sorts.
    const Catalog c = placed_for_zenith_pinhole(
        p, {
               {55.8, 50.0, 2.0f},   // 1: within 6 px of star 2, which is brighter: dropped
               {50.0, 50.0, 1.0f},   // 2: stamped first
               {56.3, 50.0, 3.0f},   // 3: 6.3 px from 2; star 1 was never stamped: kept
               {50.0, 56.2, 2.5f},   // 4: 6.2 px below 2: kept
               {4.8, 20.0, 1.5f},    // 5: inside the 5 px margin
               {5.2, 30.0, 1.5f},    // 6: just outside it: kept
               {115.1, 40.0, 1.5f},  // 7: x >= width - 5
               {114.7, 70.0, 1.5f},  // 8: kept
               {30.0, 95.1, 1.5f},   // 9: y >= height - 5
               {80.0, 4.9, 1.5f},    // 10: y < 5
               {80.0, 80.0, 0.0f},   // 11: magnitude 0, brightest of all
               {20.0, 80.0, 6.6f},   // 12: fainter than the limit
               {90.0, 20.0, 2.0f},   // 13: same magnitude as 1, later in the catalogue
               {20.0, 30.0, 6.5f},   // 14: at the limit: kept
           });
    p.mag_limit = 6.5f;
    p.background_noise = 30.0;
    const Scene scene = render(c, p);
    EXPECT_EQ(scene.rendered_hr_ids, (std::vector<std::uint32_t>{11, 2, 6, 8, 13, 4, 3, 14}));
    // The magnitude-0 star peaks far above full scale and clips, noise or not.
    EXPECT_NEAR(scene.star_pixels[0].x, 80.0, 0.01);
    EXPECT_NEAR(scene.star_pixels[0].y, 80.0, 0.01);
    EXPECT_EQ(scene.pixels[80 * 120 + 80], 65535);
    // Looking straight up, the vertical is the boresight.
    EXPECT_LT(std::hypot(scene.up_cam[0], scene.up_cam[1]), 1e-15);
    EXPECT_EQ(scene.up_cam[2], 1.0);
}

// Which seed gives which draws is pinned here: the same seed gives the
// same scene, bit for bit.
TEST(SynthesizeScene, GeneratorDrawsInTheirOrder) {
    // No stars: the pixel noise takes the first normals, row-major, and the
    // up tilt the four after them, its angle being the last.
    SceneParams p = params(4, 3, 180.0);
    p.background_noise = 10.0;
    p.up_noise_arcmin = 60.0;
    p.seed = 99;
    const Scene scene = render(Catalog{}, p);
    XorShift64Star rng(99);
    for (std::size_t k = 0; k < 12; ++k)
        EXPECT_EQ(scene.pixels[k], static_cast<std::uint16_t>(std::round(1024.0 + 10.0 * rng.normal()))) << k;
    for (int k = 0; k < 3; ++k) rng.normal();
    EXPECT_NEAR(std::acos(scene.up_cam[2]), std::abs(rng.normal() * kDegToRad), 1e-9);
    EXPECT_NEAR(norm(scene.up_cam), 1.0, 1e-15);

    // A star's position noise comes first, x then y; none is drawn when it is off.
    SceneParams q = params(40, 40, std::nullopt, 500.0);
    const Catalog one = placed_for_zenith_pinhole(q, {{20.0, 20.0, 9.0f}});
    q.background_noise = 10.0;
    q.mag_limit = 10.0f;
    q.seed = 3;
    const Scene still = render(one, q);
    q.pixel_noise_px = -1.0;
    EXPECT_EQ(render(one, q).pixels, still.pixels);
    q.pixel_noise_px = 0.5;
    const Scene jittered = render(one, q);
    XorShift64Star jitter(3);
    ASSERT_EQ(jittered.star_pixels.size(), 1u);
    EXPECT_NEAR(jittered.star_pixels[0].x - still.star_pixels[0].x, 0.5 * jitter.normal(), 1e-12);
    EXPECT_NEAR(jittered.star_pixels[0].y - still.star_pixels[0].y, 0.5 * jitter.normal(), 1e-12);
}

TEST(PickRichBoresight, CandidatesTiesAndEmptySkies) {
    const Camera camera = Camera::from_fov(0, 0, std::nullopt, 1000.0, 0, 0, 0, 0, 0, 0);
    const auto expect_pick = [&](std::initializer_list<std::tuple<double, double, float>> seen, std::size_t side,
                                 double alt, double az) {
        Catalog c;
        for (const auto& [s_alt, s_az, vmag] : seen) c.stars.push_back(star_seen_at(local_of(s_alt, s_az), 1, vmag));
        const Boresight b = pick_rich_boresight(c, camera, side, side, kLat, kLon, kJd);
        EXPECT_EQ(b.alt_deg, alt);
        EXPECT_EQ(b.az_deg, az);
    };
    // Nothing counts (none, bright below the horizon, faint above): the default.
    expect_pick({}, 1000, 55.0, 0.0);
    expect_pick({{-20.0, 45.0, 0.5f}, {60.0, 40.0, 4.1f}}, 1000, 55.0, 0.0);
    // One star at the zenith: a 20-degree cone around every alt-75 candidate
    // holds it, so the first of those, azimuth 0, wins the 18-way tie. The
    // cone is 0.9 times the half-diagonal: 0.9 x 15.5 degrees reaches none.
    const std::size_t wide = 2 * static_cast<std::size_t>(std::tan(20.0 / 0.9 * kDegToRad) * 1000.0 / std::sqrt(2.0));
    expect_pick({{89.9, 0.0, 4.0f}}, wide, 75.0, 0.0);
    expect_pick({{89.9, 0.0, 4.0f}}, 392, 55.0, 0.0);
    // Midway between the alt-60 and alt-75 rows, a 10-degree cone: 60 comes first.
    expect_pick({{67.5, 100.0, 1.0f}}, 278, 60.0, 100.0);
    // More stars around (60, 200) than around (45, 40), which comes first.
    expect_pick({{45.0, 40.0, 1.0f}, {60.0, 200.0, 1.0f}, {60.5, 200.5, 1.0f}}, 200, 60.0, 200.0);
    expect_pick({{45.0, 40.0, 1.0f}, {60.0, 200.0, 1.0f}}, 200, 45.0, 40.0);
}

}  // namespace
}  // namespace halvane
