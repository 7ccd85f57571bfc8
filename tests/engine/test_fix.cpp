#include "entry.hpp"
#include "ephemeris.hpp"
#include "fix.hpp"
#include "support.hpp"
#include "time.hpp"

namespace halvane {
namespace {

// A whole-sky catalogue of well separated stars with every pair indexed:
// dense enough for the matcher, small enough to build in a blink.
const Catalog& sky_catalog() {
    static const Catalog catalog = [] {
        std::vector<Star> stars;
        for (const Vec3& v : testing::spread_over_sky(400, 2.0 * kDegToRad, 2024))
            stars.push_back(testing::star_at(v, static_cast<std::uint32_t>(1000 + stars.size())));
        return testing::catalog_of(std::move(stars));
    }();
    return catalog;
}

// What a zenith-pointing ideal fisheye (1000 x 1000 px, 180 degrees) sees
// from (lat, lon) at jd: image right is west, image down is south, so the
// up vector is the boresight (0, 0, 1).
const Camera kCamera = Camera::from_fov(1000, 1000, 180.0, 0.0, 500.0, 500.0, 0, 0, 0, 0);

struct Scene {
    std::vector<Centroid> centroids;
    std::vector<double> altitudes;  // true altitude of each centroid, radians
    ObserverAxes observer;
};

Scene observe(double lat_deg, double lon_deg, double jd) {
    Scene scene;
    scene.observer = observer_axes(lat_deg * kDegToRad, lon_deg * kDegToRad, jd);
    const Mat3 p = precession_matrix(jd);
    const Vec3 aberration = annual_aberration(jd);
    const Catalog& c = sky_catalog();
    for (std::size_t i = 0; i < c.stars.size(); ++i) {
        const Vec3 s = normalized(p * c.stars[i].unit_at(jd, c.epoch) + aberration);
        double h = 0.0;
        const Vec3 seen = testing::seen_from_zenith_camera(scene.observer, s, h);
        if (h < 5.0 * kDegToRad) continue;
        const auto pixel = kCamera.vec_to_pixel(seen);
        if (!pixel) continue;
        scene.centroids.push_back({pixel->x, pixel->y, 1000.0 - static_cast<double>(i)});
        scene.altitudes.push_back(h);
    }
    return scene;
}

// The configuration a caller gets by default: half a pixel of sigma, so a
// tolerance of four half-pixels (about 21 arcminutes), which also absorbs
// the refraction of low stars.
FixConfig fisheye_config() { return make_fix_config(kCamera, std::nullopt, true, {}); }

const double kJd = julian_date(2026, 3, 14, 21, 30, 0.0);

Result<Fix> solve(std::span<const Centroid> centroids, const FixConfig& config, double jd = kJd,
                  std::optional<PixelPosition> sun = std::nullopt, const Vec3& up = {0, 0, 1}) {
    return resolve_fix_from_centroids(centroids, sun, kCamera, up, sky_catalog(), config, jd);
}

TEST(ResolveFix, RecoversThePlaceFromCentroids) {
    for (const auto& [lat, lon] : {std::pair{52.5, 13.4}, {-33.9, 151.2}, {10.0, 179.99}, {-5.0, -179.99}}) {
        const Scene scene = observe(lat, lon, kJd);
        const auto fix = solve(scene.centroids, fisheye_config());
        ASSERT_TRUE(fix.has_value()) << fix.error().message() << lat << " " << lon;
        EXPECT_LT(great_circle_nm(lat, lon, fix->latitude_deg, fix->longitude_deg), 0.5) << lat << " " << lon;
        EXPECT_GT(fix->longitude_deg, -180.0);
        EXPECT_LE(fix->longitude_deg, 180.0);
        EXPECT_GE(fix->matched_hr_ids.size(), 4u);
        EXPECT_FALSE(fix->used_sun);
        const auto& q = fix->attitude;
        EXPECT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1.0, 1e-12);
    }
}

TEST(ResolveFix, EarlyRefusals) {
    const Scene scene = observe(40.0, -70.0, kJd);
    const FixConfig config = fisheye_config();
    for (const Vec3& up : {Vec3{0, 0, 0}, Vec3{NAN, 0, 1}, Vec3{0, INFINITY, 1}, Vec3{1e-10, 0, 0}}) {
        EXPECT_EQ(testing::refusal(solve(scene.centroids, config, kJd, {}, up)),
                  "up vector is degenerate: zero length or non-finite");
    }
    EXPECT_EQ(testing::refusal(solve(std::span(scene.centroids).first(3), config)),
              "insufficient stars: needed 4, got 3");
    FixConfig capped = config;
    capped.max_centroids = 3;
    EXPECT_EQ(testing::refusal(solve(scene.centroids, capped)), "insufficient stars: needed 4, got 3");

    SolveOptions with_sun;
    with_sun.use_sun = true;
    CameraScalars lens{180.0, 0.0, 500.0, 500.0};
    // Tracked or not, and before the vertical is looked at.
    FixHistory history;
    const Tracking tracking{history, {600.0, 50.0}};
    for (const Tracking* tracked : {static_cast<const Tracking*>(nullptr), &tracking}) {
        const auto sun_path = solve_centroids({}, {NAN, 0, 0}, sky_catalog(), std::nullopt, lens, with_sun, kJd, tracked);
        EXPECT_EQ(sun_path.error().message(), "bad image: use_sun requires the image path");
    }
}

TEST(ResolveFix, HealthGatesAtAndPastTheirLimits) {
    const Scene scene = observe(-20.0, 30.0, kJd);
    FixConfig config = fisheye_config();
    ASSERT_ACCEPTED(base, solve(scene.centroids, config));
    const std::size_t used = base->matched_hr_ids.size();

    config.min_matched_stars = used;
    config.max_residual_rms_rad = base->residual_rms_rad;
    EXPECT_TRUE(solve(scene.centroids, config));

    config.min_matched_stars = used + 1;
    const auto few = solve(scene.centroids, config);
    const auto* thin = few.error().get_if<Error::ThinLock>();
    ASSERT_NE(thin, nullptr);
    EXPECT_EQ(std::string(thin->reason), Error::kThinLockTooFewStars);
    EXPECT_EQ(thin->matched, used);
    EXPECT_EQ(thin->margin, base->match_margin);

    config.min_matched_stars.reset();
    config.max_residual_rms_rad = std::nextafter(base->residual_rms_rad, 0.0);
    const auto rough = solve(scene.centroids, config);
    ASSERT_TRUE(rough.error().is<Error::ThinLock>());
    EXPECT_EQ(std::string(rough.error().get_if<Error::ThinLock>()->reason), Error::kThinLockResidualTooHigh);
}

TEST(ResolveFix, AltitudeCutAndTheSunAsAThirdSight) {
    // Midday at 48 N 2 E in March: the Sun stands about 40 degrees high.
    const double jd = julian_date(2026, 3, 14, 12, 0, 0.0);
    const Scene scene = observe(48.0, 2.0, jd);
    const EquatorialPosition sun = sun_apparent(jd);
    double sun_h = 0.0;
    const Vec3 sun_seen = testing::seen_from_zenith_camera(scene.observer, testing::from_radec(sun.ra, sun.dec), sun_h);
    ASSERT_GT(sun_h, 0.5);

    // The altitude cut just below the Sun, and only two stars above it.
    FixConfig config = fisheye_config();
    config.min_altitude = sun_h - 0.001;
    std::vector<Centroid> centroids;
    std::size_t high = 0;
    for (std::size_t i = 0; i < scene.centroids.size(); ++i) {
        if (scene.altitudes[i] < config.min_altitude - 0.02) centroids.push_back(scene.centroids[i]);
        if (scene.altitudes[i] > config.min_altitude + 0.02 && high < 2) {
            centroids.push_back(scene.centroids[i]);
            ++high;
        }
    }
    ASSERT_EQ(high, 2u);
    EXPECT_EQ(testing::refusal(solve(centroids, config, jd)), "insufficient stars: needed 3, got 2");

    // The Sun where the camera sees it, refraction included.
    const auto pixel = kCamera.vec_to_pixel(sun_seen);
    ASSERT_TRUE(pixel.has_value());
    ASSERT_ACCEPTED(with_sun, solve(centroids, config, jd, pixel));
    EXPECT_TRUE(with_sun->used_sun);
    EXPECT_EQ(with_sun->matched_hr_ids.size(), 2u);
    EXPECT_LT(great_circle_nm(48.0, 2.0, with_sun->latitude_deg, with_sun->longitude_deg), 2.0);

    // Below the cut the Sun is no error: it is just not used.
    config.min_altitude = sun_h + 0.001;
    ASSERT_ACCEPTED(low_sun, solve(scene.centroids, config, jd, pixel));
    EXPECT_FALSE(low_sun->used_sun);

    // A disc where the stars' attitude does not put the Sun (the Moon, a
    // lamp) is not used either: the fix is the stars' own.
    config = fisheye_config();
    ASSERT_ACCEPTED(stars_only, solve(scene.centroids, config, jd));
    const double tolerance_px = config.match_tolerance * kCamera.focal;
    for (const PixelPosition lamp : {PixelPosition{1000.0 - pixel->x, 1000.0 - pixel->y},
                                     PixelPosition{pixel->x + 1.5 * tolerance_px, pixel->y}}) {
        ASSERT_ACCEPTED(fix, solve(scene.centroids, config, jd, lamp));
        EXPECT_FALSE(fix->used_sun);
        EXPECT_EQ(fix->latitude_deg, stars_only->latitude_deg);
        EXPECT_EQ(fix->longitude_deg, stars_only->longitude_deg);
    }
    ASSERT_ACCEPTED(near, solve(scene.centroids, config, jd, PixelPosition{pixel->x + 0.5 * tolerance_px, pixel->y}));
    EXPECT_TRUE(near->used_sun);

    // The same sky as an image: the two high stars and the low ones drawn
    // brightest first, the Sun a saturated disc of 12 px radius. Found by
    // the solar-disc detector, it is again the third sight.
    testing::Frame frame(1000, 1000);
    const auto stamp = [&](const PixelPosition& at, double radius, double peak, double sigma) {
        for (std::size_t y = saturating_cast<std::size_t>(at.y - radius); y <= at.y + radius; ++y)
            for (std::size_t x = saturating_cast<std::size_t>(at.x - radius); x <= at.x + radius; ++x) {
                const double d2 = (x - at.x) * (x - at.x) + (y - at.y) * (y - at.y);
                const double add = sigma > 0.0 ? peak * std::exp(-d2 / (2.0 * sigma * sigma)) : (d2 <= radius * radius) * peak;
                frame.at(x, y) = saturating_cast<std::uint16_t>(std::min(frame.at(x, y) + add, 65535.0));
            }
    };
    for (std::size_t i = 0; i < centroids.size(); ++i)
        stamp({centroids[i].x, centroids[i].y}, 8.0, 30000.0 * std::pow(0.97, static_cast<double>(i)), 1.5);
    stamp(*pixel, 12.0, 64535.0, 0.0);
    config = fisheye_config();
    config.min_altitude = sun_h - 0.001;
    config.max_centroids = centroids.size();
    config.use_sun = true;
    const auto imaged = resolve_fix_masked(frame.view(), std::nullopt, kCamera, {0, 0, 1}, sky_catalog(), config, jd);
    ASSERT_TRUE(imaged.has_value()) << imaged.error().message();
    EXPECT_TRUE(imaged->used_sun);
    EXPECT_EQ(imaged->matched_hr_ids.size(), 2u);
    EXPECT_LT(great_circle_nm(48.0, 2.0, imaged->latitude_deg, imaged->longitude_deg), 2.0);
}

TEST(ResolveFix, SightsFarWorseThanSigmaAreNoMatch) {
    // Centroids off by about a third of a pixel (3.5 arcminutes): they fit
    // the default sigma of half a pixel, not one of a twentieth of that.
    Scene scene = observe(35.0, -120.0, kJd);
    XorShift64Star rng(7);
    for (Centroid& c : scene.centroids) {
        c.x += 0.33 * rng.normal();
        c.y += 0.33 * rng.normal();
    }
    FixConfig config = fisheye_config();
    ASSERT_ACCEPTED(fix, solve(scene.centroids, config));
    EXPECT_LT(fix->residual_rms_rad, config.sigma_rad);
    config.sigma_rad /= 20.0;
    EXPECT_EQ(testing::refusal(solve(scene.centroids, config)), "no star pattern match found");
}

TEST(FixConfig, ToleranceFloorAndTriangleStars) {
    const Camera pinhole = Camera::from_fov(0, 0, std::nullopt, 1000.0, 500, 400, 0, 0, 0, 0);
    const FixConfig half = make_fix_config(pinhole, 0.5, false, {});
    EXPECT_DOUBLE_EQ(half.match_tolerance, 4.0 / 60.0 * kDegToRad);
    EXPECT_DOUBLE_EQ(half.sigma_rad, 0.5 / 60.0 * kDegToRad);
    EXPECT_EQ(half.triangle_stars, 5u);
    const FixConfig wide = make_fix_config(pinhole, 2.0, true, {});
    EXPECT_DOUBLE_EQ(wide.match_tolerance, 8.0 / 60.0 * kDegToRad);
    EXPECT_EQ(wide.triangle_stars, 12u);
    // No sigma: half a pixel, floored at one arcminute.
    const Camera long_lens = Camera::from_fov(0, 0, std::nullopt, 100000.0, 500, 400, 0, 0, 0, 0);
    const FixConfig fallback = make_fix_config(long_lens, std::nullopt, false, {});
    EXPECT_DOUBLE_EQ(fallback.sigma_rad, 1.0 / 60.0 * kDegToRad);
    EXPECT_EQ(make_fix_config(pinhole, NAN, false, {}).match_tolerance, FixConfig::kMinMatchTolerance);
}

TEST(SplitDetections, SearchCheckCapAndTheSunsGlare) {
    const std::size_t most = std::numeric_limits<std::size_t>::max();
    for (const auto& [given, checked] : {std::pair{std::size_t{3}, std::size_t{12}}, {most / 4, most / 4 * 4},
                                         {most / 4 + 1, most}, {most, most}})
        EXPECT_EQ(checked_detections(given), checked) << given;

    FixConfig config;
    config.max_centroids = 2;   // 2 search, up to 8 in all
    config.sun_min_area = 25;   // a glare radius of 20 px
    std::vector<Centroid> brightest;
    for (int i = 0; i < 10; ++i) brightest.push_back({100.0 + 10.0 * i, 0.0, 100.0 - i});
    const auto xs = [](const std::vector<Centroid>& list) {
        std::vector<double> out;
        for (const Centroid& c : list) out.push_back(c.x);
        return out;
    };
    const StarsAndSun plain = split_detections(brightest, std::nullopt, config);
    EXPECT_EQ(xs(plain.stars), (std::vector<double>{100, 110}));
    EXPECT_EQ(xs(plain.fainter), (std::vector<double>{120, 130, 140, 150, 160, 170}));
    // The glare bound is inclusive, and an unplaceable detection counts as glare.
    brightest[5].x = NAN;
    const StarsAndSun lit = split_detections(brightest, Centroid{100.0, 0.0, 1.0}, config);
    ASSERT_TRUE(lit.sun.has_value());
    EXPECT_TRUE(lit.stars.empty());
    EXPECT_EQ(xs(lit.fainter), (std::vector<double>{130, 140, 160, 170}));
}

TEST(OrderedCamVecs, StableTotalOrderByFlux) {
    const Camera pinhole = Camera::from_fov(0, 0, std::nullopt, 1000.0, 0, 0, 0, 0, 0, 0);
    const std::vector<Centroid> c{{1, 0, 5.0}, {2, 0, NAN}, {3, 0, 5.0}, {4, 0, -NAN}, {5, 0, INFINITY}};
    const auto v = ordered_cam_vecs(c, pinhole, 4);
    ASSERT_EQ(v.size(), 4u);
    const auto x_of = [&](const Vec3& d) { return std::round(d[0] / d[2] * 1000.0); };
    EXPECT_EQ(x_of(v[0]), 2);  // +NaN ranks above +inf
    EXPECT_EQ(x_of(v[1]), 5);
    EXPECT_EQ(x_of(v[2]), 1);  // equal fluxes keep their order
    EXPECT_EQ(x_of(v[3]), 3);
}

}  // namespace
}  // namespace halvane
