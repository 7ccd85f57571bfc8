#include "entry.hpp"
#include "ephemeris.hpp"
#include "fix.hpp"
#include "support.hpp"
#include "time.hpp"

namespace halvane {
namespace {

using testing::refusal;

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
        double h = 0.0;
        const Vec3 s = normalized(p * c.stars[i].unit_at(jd, c.epoch) + aberration);
        const auto pixel = kCamera.vec_to_pixel(testing::seen_from_zenith_camera(scene.observer, s, h));
        if (h < 5.0 * kDegToRad || !pixel) continue;
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
        ASSERT_ACCEPTED(fix, solve(observe(lat, lon, kJd).centroids, fisheye_config()));
        EXPECT_LT(great_circle_nm(lat, lon, fix->latitude_deg, fix->longitude_deg), 0.5) << lat << " " << lon;
        EXPECT_TRUE(fix->longitude_deg > -180.0 && fix->longitude_deg <= 180.0) << fix->longitude_deg;
        const auto& q = fix->attitude;
        EXPECT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1.0, 1e-12);
    }
}

TEST(ResolveFix, EarlyRefusals) {
    const Scene scene = observe(40.0, -70.0, kJd);
    const FixConfig config = fisheye_config();
    for (const Vec3& up : {Vec3{0, 0, 0}, Vec3{NAN, 0, 1}, Vec3{0, INFINITY, 1}, Vec3{1e-10, 0, 0}})
        EXPECT_EQ(refusal(solve(scene.centroids, config, kJd, {}, up)),
                  "up vector is degenerate: zero length or non-finite");
    EXPECT_EQ(refusal(solve(std::span(scene.centroids).first(3), config)), "insufficient stars: needed 4, got 3");
    FixConfig capped = config;
    capped.max_centroids = 3;
    EXPECT_EQ(refusal(solve(scene.centroids, capped)), "insufficient stars: needed 4, got 3");
    // Before the vertical is looked at.
    SolveOptions with_sun;
    with_sun.use_sun = true;
    const CameraScalars lens{180.0, 0.0, 500.0, 500.0};
    EXPECT_EQ(refusal(solve_centroids({}, {NAN, 0, 0}, sky_catalog(), std::nullopt, lens, with_sun, kJd)),
              "bad image: use_sun requires the image path");
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
    EXPECT_EQ(refusal(solve(centroids, config, jd)), "insufficient stars: needed 3, got 2");

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
    ASSERT_ACCEPTED(lamp, solve(scene.centroids, config, jd, PixelPosition{pixel->x + 1.5 * tolerance_px, pixel->y}));
    EXPECT_FALSE(lamp->used_sun);
    EXPECT_EQ(std::pair(lamp->latitude_deg, lamp->longitude_deg),
              std::pair(stars_only->latitude_deg, stars_only->longitude_deg));
    ASSERT_ACCEPTED(near, solve(scene.centroids, config, jd, PixelPosition{pixel->x + 0.5 * tolerance_px, pixel->y}));
    EXPECT_TRUE(near->used_sun);

    // The same sky as an image: the two high stars and the low ones drawn
    // brightest first, the Sun a saturated square of 25 px. Found by the
    // solar-disc detector, it is again the third sight.
    testing::Frame frame(1000, 1000);
    for (std::size_t i = 0; i < centroids.size(); ++i) {
        const Centroid& c = centroids[i];
        const double peak = 30000.0 * std::pow(0.97, static_cast<double>(i));
        for (std::size_t y = saturating_cast<std::size_t>(c.y - 8); y <= c.y + 8; ++y)
            for (std::size_t x = saturating_cast<std::size_t>(c.x - 8); x <= c.x + 8; ++x) {
                const double d2 = (x - c.x) * (x - c.x) + (y - c.y) * (y - c.y);
                frame.at(x, y) = saturating_cast<std::uint16_t>(frame.at(x, y) + peak * std::exp(-d2 / 4.5));
            }
    }
    const auto corner = [](double centre) { return saturating_cast<std::size_t>(std::round(centre)) - 12; };
    frame.fill(corner(pixel->x), corner(pixel->y), 25, 25, 65535);
    config.min_altitude = sun_h - 0.001;
    config.max_centroids = centroids.size();
    config.use_sun = true;
    ASSERT_ACCEPTED(imaged,
                    resolve_fix_masked(frame.view(), std::nullopt, kCamera, {0, 0, 1}, sky_catalog(), config, jd));
    EXPECT_TRUE(imaged->used_sun);
    EXPECT_EQ(imaged->matched_hr_ids.size(), 2u);
    EXPECT_LT(great_circle_nm(48.0, 2.0, imaged->latitude_deg, imaged->longitude_deg), 2.0);
}

TEST(ResolveFix, SightsFarWorseThanSigmaAreNoMatch) {
    // Centroids off by about a third of a pixel (3.5 arcminutes): they fit
    // the default sigma of half a pixel, not one of a twentieth of that.
    Scene scene = observe(35.0, -120.0, kJd);
    XorShift64Star rng(7);
    for (Centroid& c : scene.centroids) c = {c.x + 0.33 * rng.normal(), c.y + 0.33 * rng.normal(), c.flux};
    FixConfig config = fisheye_config();
    ASSERT_ACCEPTED(fix, solve(scene.centroids, config));
    EXPECT_LT(fix->residual_rms_rad, config.sigma_rad);
    config.sigma_rad /= 20.0;
    EXPECT_EQ(refusal(solve(scene.centroids, config)), "no star pattern match found");
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
    EXPECT_DOUBLE_EQ(make_fix_config(long_lens, std::nullopt, false, {}).sigma_rad, 1.0 / 60.0 * kDegToRad);
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
    std::vector<double> xs;
    for (const Vec3& d : ordered_cam_vecs(c, pinhole, 4)) xs.push_back(std::round(d[0] / d[2] * 1000.0));
    // +NaN ranks above +inf; equal fluxes keep their order.
    EXPECT_EQ(xs, (std::vector<double>{2, 5, 1, 3}));
}

// --- Tracked solving ---------------------------------------------------------
// A sky that holds two copies of one patch of stars 180 degrees of right
// ascension apart: a genuine tie that only a remembered position can break.

constexpr double kLat = 40.0, kLon = -30.0;
// J2000.0 itself: precession is the identity, so the twin of the place is
// the same latitude 180 degrees of longitude away (up to aberration).
constexpr double kJ2000Jd = 2451545.0;
constexpr std::uint32_t kTwinHr = 100;  // HR numbers of the second copy start above this

struct TwinSky {
    std::vector<Vec3> patch;  // J2000 directions around the zenith of (kLat, kLon)
    Camera camera = Camera::from_fov(1000, 1000, std::nullopt, 1000.0, 500.0, 500.0, 0, 0, 0, 0);
    std::vector<Centroid> centroids;

    TwinSky() {
        const ObserverAxes o = observer_axes(kLat * kDegToRad, kLon * kDegToRad, kJ2000Jd);
        XorShift64Star rng(11);
        while (patch.size() < 8) {
            const Vec3 v = normalized(o.up + scaled(o.east, 0.2 * rng.uniform() - 0.1) +
                                      scaled(o.north, 0.2 * rng.uniform() - 0.1));
            if (std::all_of(patch.begin(), patch.end(), [&](const Vec3& p) { return dot(p, v) < std::cos(0.02); }))
                patch.push_back(v);
        }
        // Seen from a zenith-pointing pinhole, image right west and down
        // south, with aberration and refraction as the pipeline undoes them.
        for (std::size_t i = 0; i < patch.size(); ++i) {
            double altitude = 0.0;
            const Vec3 s = normalized(precession_matrix(kJ2000Jd) * patch[i] + annual_aberration(kJ2000Jd));
            const auto pixel = camera.vec_to_pixel(testing::seen_from_zenith_camera(o, s, altitude));
            centroids.push_back({pixel->x, pixel->y, 100.0 - static_cast<double>(i)});
        }
    }

    // The patch, then (with an angle) a copy turned by it about the
    // celestial pole, HR numbers above kTwinHr.
    Catalog catalog(std::optional<double> copy_turned_by = std::nullopt) const {
        std::vector<Star> stars;
        for (const Vec3& v : patch) stars.push_back(testing::star_at(v, static_cast<std::uint32_t>(stars.size() + 1)));
        if (copy_turned_by) {
            const Mat3 turn = testing::rotation_about({0, 0, 1}, *copy_turned_by);
            for (const Vec3& v : patch)
                stars.push_back(testing::star_at(turn * v, kTwinHr + static_cast<std::uint32_t>(stars.size() + 1)));
        }
        return testing::catalog_of(std::move(stars));
    }
};

bool all_from_twin(const Fix& fix, bool twin) {
    return !fix.matched_hr_ids.empty() && std::all_of(fix.matched_hr_ids.begin(), fix.matched_hr_ids.end(),
                                                      [&](std::uint32_t hr) { return (hr > kTwinHr) == twin; });
}

// Every field of a fix, to compare two bit for bit.
auto fields(const Fix& f) {
    return std::tie(f.matched_hr_ids, f.latitude_deg, f.longitude_deg, f.covariance, f.attitude, f.residual_rms_rad,
                    f.n_iterations, f.match_margin);
}

class TrackedFix : public ::testing::Test {
protected:
    TwinSky sky;
    Catalog twins = sky.catalog(kPi);
    FixHistory history;
    const std::vector<Vec3> vectors = ordered_cam_vecs(sky.centroids, sky.camera, 12);

    FixConfig config(double max_age_s = 600.0, double max_distance_nm = 50.0) const {
        FixConfig c = make_fix_config(sky.camera, std::nullopt, false, {});
        c.max_reference_age_s = max_age_s;
        c.max_disambiguation_distance_nm = max_distance_nm;
        return c;
    }
    // Tracked when `tracked`, on the first `n` centroids.
    Result<Fix> solve(const FixConfig& c, bool tracked = true, std::size_t n = 8, const Vec3& up = {0, 0, 1}) {
        return resolve_fix_from_centroids(std::span(sky.centroids).first(n), std::nullopt, sky.camera, up, twins, c,
                                          kJ2000Jd, tracked ? &history : nullptr);
    }
    void refer(double lat_deg, double lon_deg, double jd = kJ2000Jd) {
        ASSERT_TRUE(history.set_last_known_position(lat_deg, lon_deg, jd).has_value());
    }
    // The two sides of the tie the untracked pipeline reports: the one
    // that identifies the patch itself (its first stars), then the one on
    // its twin. Empty when the pipeline does not report a tie (a matcher
    // fault): the caller's assertion then fails one test instead of crashing all.
    std::optional<std::pair<Correspondences, Correspondences>> sides() {
        const auto r = solve(config(), false);
        const auto* tie = r ? nullptr : r.error().get_if<Error::MatchAmbiguous>();
        if (tie == nullptr || tie->winner.empty()) return std::nullopt;
        if (tie->winner[0].catalog_index < sky.patch.size()) return std::pair{tie->winner, tie->rival};
        return std::pair{tie->rival, tie->winner};
    }
    std::optional<Fix> candidate(const Correspondences& side) const {
        auto fix =
            resolve_from_matches(side, 0, vectors, std::nullopt, sky.camera, {0, 0, 1}, twins, config(), kJ2000Jd);
        return fix ? std::optional<Fix>(std::move(*fix)) : std::nullopt;
    }
    std::optional<Fix> pick(const Correspondences& winner, const Correspondences& rival, double bound_nm,
                            const FixHistory::Reference& reference = {kLat, kLon, kJ2000Jd}) const {
        return pick_nearer_candidate({winner, rival}, vectors, std::nullopt, sky.camera, {0, 0, 1}, twins, config(),
                                     reference, bound_nm, kJ2000Jd);
    }
    void expect_reference(const FixHistory::Reference& expected) {
        ASSERT_TRUE(history.reference().has_value());
        EXPECT_EQ(std::tie(history.reference()->lat_deg, history.reference()->lon_deg, history.reference()->jd),
                  std::tie(expected.lat_deg, expected.lon_deg, expected.jd));
    }
    void expect_refused(const Result<Fix>& r, const FixHistory::Reference& kept) {
        EXPECT_EQ(refusal(r), "star pattern match is ambiguous: 8 vs 8 correspondences");
        expect_reference(kept);
    }
};

TEST(FixHistory, OutsidePositionBoundsAndTexts) {
    FixHistory h;
    EXPECT_FALSE(h.reference().has_value());
    for (const auto& [lat, lon] : {std::pair{90.0, -180.0}, {-90.0, 180.0}, {-0.0, 0.0}})
        EXPECT_TRUE(h.set_last_known_position(lat, lon, kJd).has_value());
    const struct { double lat, lon, jd; const char* text; } refusals[] = {
        {90.000001, 0.0, kJd, "latitude 90.000001 out of range [-90, 90]"},
        {-95.5, NAN, kJd, "latitude -95.5 out of range [-90, 90]"},
        {NAN, 0.0, kJd, "latitude NaN out of range [-90, 90]"},
        {0.0, NAN, kJd, "longitude NaN out of range [-180, 180]"},
        {0.0, -180.5, NAN, "longitude -180.5 out of range [-180, 180]"},
        {0.0, 0.0, INFINITY, "timestamp jd inf is not finite"},
        {0.0, 0.0, NAN, "timestamp jd NaN is not finite"},
    };
    for (const auto& r : refusals) {
        EXPECT_EQ(refusal(h.set_last_known_position(r.lat, r.lon, r.jd)), std::string("bad position: ") + r.text);
        // The last accepted position survives every refusal.
        EXPECT_EQ(std::pair(h.reference()->lat_deg, h.reference()->lon_deg), std::pair(-0.0, 0.0));
    }
}

TEST_F(TrackedFix, WithoutAFreshReferenceTheTieStands) {
    // Nothing remembered: the untracked error, nothing recorded.
    EXPECT_EQ(refusal(solve(config())), "star pattern match is ambiguous: 8 vs 8 correspondences");
    EXPECT_FALSE(history.reference().has_value());
    // A reference, but a configuration without one of the tracker's bounds.
    refer(kLat, kLon);
    FixConfig untracked = config();
    untracked.max_reference_age_s.reset();
    expect_refused(solve(untracked), {kLat, kLon, kJ2000Jd});
    untracked = config();
    untracked.max_disambiguation_distance_nm.reset();
    expect_refused(solve(untracked), {kLat, kLon, kJ2000Jd});
}

TEST_F(TrackedFix, TheNearerCandidateWinsAndBecomesTheReference) {
    for (const bool twin : {false, true}) {
        // 20 nm north of the place (or of its twin), half a day old.
        const double lon = twin ? kLon + 180.0 : kLon;
        refer(kLat + 20.0 / 60.0, lon, kJ2000Jd - 0.5);
        ASSERT_ACCEPTED(fix, solve(config(43200.0, 50.0)));
        EXPECT_TRUE(all_from_twin(*fix, twin));
        EXPECT_EQ(fix->match_margin, 0u);
        EXPECT_EQ(fix->matched_hr_ids.size(), 8u);
        EXPECT_LT(great_circle_nm(kLat, lon, fix->latitude_deg, fix->longitude_deg), 2.0);
        expect_reference({fix->latitude_deg, fix->longitude_deg, kJ2000Jd});
    }
}

TEST_F(TrackedFix, AgeBoundIsInclusiveInAbsoluteSeconds) {
    // Half a day and a quarter day are exact in binary, so are their seconds.
    refer(kLat, kLon, kJ2000Jd - 0.5);
    expect_refused(solve(config(43200.0 - 0.001)), {kLat, kLon, kJ2000Jd - 0.5});
    EXPECT_TRUE(solve(config(43200.0)).has_value());
    // A reference dated after the image counts by its absolute age.
    refer(kLat, kLon, kJ2000Jd + 0.25);
    expect_refused(solve(config(21600.0 - 0.001)), {kLat, kLon, kJ2000Jd + 0.25});
    EXPECT_TRUE(solve(config(21600.0)).has_value());
}

TEST_F(TrackedFix, DistanceBoundIsInclusiveAndTheOtherIsNotTriedInstead) {
    const auto tie = sides();
    ASSERT_TRUE(tie.has_value());
    const auto near = candidate(tie->first);
    ASSERT_TRUE(near.has_value());
    const double ref_lat = kLat + 20.0 / 60.0;
    const double d = great_circle_nm(ref_lat, kLon, near->latitude_deg, near->longitude_deg);
    EXPECT_GT(d, 15.0);
    refer(ref_lat, kLon);
    expect_refused(solve(config(600.0, std::nextafter(d, 0.0))), {ref_lat, kLon, kJ2000Jd});
    ASSERT_ACCEPTED(at_bound, solve(config(600.0, d)));
    EXPECT_EQ(fields(*at_bound), fields(*near));
}

TEST_F(TrackedFix, CandidatesThatCannotSolveDropOut) {
    const auto tie = sides();
    ASSERT_TRUE(tie.has_value());
    const auto& [truth, twin] = *tie;
    // Two correspondences give two sights, too few: the side at the place
    // drops out, and the twin is the only candidate, far beyond 50 nm.
    const Correspondences two(truth.begin(), truth.begin() + 2);
    EXPECT_FALSE(pick(two, twin, 50.0).has_value());
    const auto far = pick(two, twin, 20000.0);
    ASSERT_TRUE(far.has_value());
    EXPECT_TRUE(all_from_twin(*far, true));
    const auto near = pick(twin, truth, 50.0);
    ASSERT_TRUE(near.has_value());
    EXPECT_TRUE(all_from_twin(*near, false));
    EXPECT_FALSE(pick(two, two, 20000.0).has_value());
}

TEST_F(TrackedFix, EqualDistancesGoToTheWinner) {
    // A second entry at every star's very place: both sides solve to the
    // same position bit for bit, told apart only by their HR numbers.
    twins = sky.catalog(0.0);
    Correspondences first, second;
    for (std::size_t q = 0; q < sky.patch.size(); ++q) {
        first.push_back({q, q});
        second.push_back({q, q + sky.patch.size()});
    }
    for (const auto& [winner, rival, twin] : {std::tuple{first, second, false}, {second, first, true}}) {
        const auto fix = pick(winner, rival, 50.0, {kLat + 0.5, kLon - 0.5, kJ2000Jd});
        ASSERT_TRUE(fix.has_value());
        EXPECT_TRUE(all_from_twin(*fix, twin));
    }
}

TEST_F(TrackedFix, FailuresOtherThanTheTieLeaveTheRecord) {
    refer(kLat, kLon);
    FixConfig c = config();
    EXPECT_TRUE(solve(c, true, 8, {0, 0, 0}).error().is<Error::DegenerateUp>());
    EXPECT_EQ(refusal(solve(c, true, 3)), "insufficient stars: needed 4, got 3");
    // Both candidates fail the health gate: the tie is what the caller hears.
    c.min_matched_stars = 9;
    expect_refused(solve(c), {kLat, kLon, kJ2000Jd});
}

TEST_F(TrackedFix, AnUntiedSkyIsTheUntrackedFixRecorded) {
    twins = sky.catalog();
    refer(0.0, 0.0, kJ2000Jd - 1000.0);  // stale and far: an untied sky never consults it
    const auto tracked = solve(config());
    const auto plain = solve(config(), false);
    ASSERT_TRUE(tracked.has_value() && plain.has_value());
    EXPECT_EQ(fields(*tracked), fields(*plain));
    expect_reference({plain->latitude_deg, plain->longitude_deg, kJ2000Jd});
}

}  // namespace
}  // namespace halvane
