// FixHistory and tracked solving, on a sky that holds two copies of one
// patch of stars 180 degrees of right ascension apart: a genuine tie that
// only a remembered position can break.
#include "entry.hpp"
#include "ephemeris.hpp"
#include "fix.hpp"
#include "support.hpp"
#include "time.hpp"

namespace halvane {
namespace {

constexpr double kLat = 40.0, kLon = -30.0;
// J2000.0 itself: precession is the identity, so the twin of the place is
// the same latitude 180 degrees of longitude away (up to aberration).
constexpr double kJd = 2451545.0;
constexpr std::uint32_t kTwinHr = 100;  // HR numbers of the second copy start above this

struct TwinSky {
    std::vector<Vec3> patch;  // J2000 directions around the zenith of (kLat, kLon)
    Camera camera = Camera::from_fov(1000, 1000, std::nullopt, 1000.0, 500.0, 500.0, 0, 0, 0, 0);
    std::vector<Centroid> centroids;
    Vec3 up_cam{0.0, 0.0, 1.0};

    TwinSky() {
        const ObserverAxes o = observer_axes(kLat * kDegToRad, kLon * kDegToRad, kJd);
        const auto& [up, north, east] = o;
        XorShift64Star rng(11);
        while (patch.size() < 8) {
            const Vec3 v = normalized(up + scaled(east, 0.2 * rng.uniform() - 0.1) +
                                      scaled(north, 0.2 * rng.uniform() - 0.1));
            if (std::all_of(patch.begin(), patch.end(), [&](const Vec3& o) { return dot(o, v) < std::cos(0.02); }))
                patch.push_back(v);
        }
        // Seen from a zenith-pointing pinhole, image right west and down
        // south, with aberration and refraction as the pipeline undoes them.
        const Vec3 aberration = annual_aberration(kJd);
        for (std::size_t i = 0; i < patch.size(); ++i) {
            double altitude = 0.0;
            const Vec3 s = normalized(precession_matrix(kJd) * patch[i] + aberration);
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
    return !fix.matched_hr_ids.empty() &&
           std::all_of(fix.matched_hr_ids.begin(), fix.matched_hr_ids.end(),
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
                                          kJd, tracked ? &history : nullptr);
    }
    void refer(double lat_deg, double lon_deg, double jd = kJd) {
        ASSERT_TRUE(history.set_last_known_position(lat_deg, lon_deg, jd).has_value());
    }
    // The two sides of the tie the untracked pipeline reports: the one
    // that identifies the patch itself, then the one on its twin.
    // Empty when the pipeline does not report a tie (a matcher fault):
    // the caller's assertion then fails one test instead of crashing all.
    std::optional<std::pair<Correspondences, Correspondences>> sides() {
        const auto r = solve(config(), false);
        const auto* tie = r ? nullptr : r.error().get_if<Error::MatchAmbiguous>();
        if (tie == nullptr) return std::nullopt;
        const auto winner = candidate(tie->winner);
        if (winner && all_from_twin(*winner, false)) return std::pair{tie->winner, tie->rival};
        return std::pair{tie->rival, tie->winner};
    }
    std::optional<Fix> candidate(const Correspondences& side) const {
        auto fix = resolve_from_matches(side, 0, vectors, std::nullopt, sky.camera, sky.up_cam, twins, config(), kJd);
        if (!fix) return std::nullopt;
        return std::move(*fix);
    }
    std::optional<Fix> pick(const Correspondences& winner, const Correspondences& rival, double bound_nm,
                            const FixHistory::Reference& reference = {kLat, kLon, kJd}) const {
        return pick_nearer_candidate({winner, rival}, vectors, std::nullopt, sky.camera, sky.up_cam, twins, config(),
                                     reference, bound_nm, kJd);
    }
    void expect_reference(const FixHistory::Reference& expected) {
        ASSERT_TRUE(history.reference().has_value());
        EXPECT_EQ(history.reference()->lat_deg, expected.lat_deg);
        EXPECT_EQ(history.reference()->lon_deg, expected.lon_deg);
        EXPECT_EQ(history.reference()->jd, expected.jd);
    }
    void expect_refused(const Result<Fix>& r, const FixHistory::Reference& kept) {
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().message(), "star pattern match is ambiguous: 8 vs 8 correspondences");
        expect_reference(kept);
    }
};

TEST(FixHistory, OutsidePositionBoundsAndTexts) {
    FixHistory h;
    EXPECT_FALSE(h.reference().has_value());
    for (const auto& [lat, lon] : {std::pair{90.0, -180.0}, {-90.0, 180.0}, {-0.0, 0.0}})
        EXPECT_TRUE(h.set_last_known_position(lat, lon, kJd).has_value());
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const struct {
        double lat, lon, jd;
        const char* text;
    } refusals[] = {
        {90.000001, 0.0, kJd, "latitude 90.000001 out of range [-90, 90]"},
        {-95.5, nan, kJd, "latitude -95.5 out of range [-90, 90]"},
        {nan, 0.0, kJd, "latitude NaN out of range [-90, 90]"},
        {0.0, nan, kJd, "longitude NaN out of range [-180, 180]"},
        {0.0, -180.5, nan, "longitude -180.5 out of range [-180, 180]"},
        {0.0, 0.0, inf, "timestamp jd inf is not finite"},
        {0.0, 0.0, nan, "timestamp jd NaN is not finite"},
    };
    for (const auto& r : refusals) {
        const auto result = h.set_last_known_position(r.lat, r.lon, r.jd);
        ASSERT_FALSE(result.has_value());
        ASSERT_TRUE(result.error().is<Error::BadPosition>());
        EXPECT_EQ(result.error().get_if<Error::BadPosition>()->message, r.text);
        // The last accepted position survives every refusal.
        EXPECT_EQ(h.reference()->lat_deg, -0.0);
        EXPECT_EQ(h.reference()->lon_deg, 0.0);
    }
}

TEST_F(TrackedFix, WithoutAFreshReferenceTheTieStands) {
    // Nothing remembered: the untracked error, nothing recorded.
    EXPECT_EQ(testing::refusal(solve(config())), "star pattern match is ambiguous: 8 vs 8 correspondences");
    EXPECT_FALSE(history.reference().has_value());
    // A reference, but a configuration without the tracker's bounds.
    refer(kLat, kLon);
    FixConfig untracked = config();
    untracked.max_reference_age_s.reset();
    expect_refused(solve(untracked), {kLat, kLon, kJd});
    untracked = config();
    untracked.max_disambiguation_distance_nm.reset();
    expect_refused(solve(untracked), {kLat, kLon, kJd});
}

TEST_F(TrackedFix, TheNearerCandidateWinsAndBecomesTheReference) {
    for (const bool twin : {false, true}) {
        // 20 nm north of the place (or of its twin), half a day old.
        const double lon = twin ? kLon + 180.0 : kLon;
        refer(kLat + 20.0 / 60.0, lon, kJd - 0.5);
        ASSERT_ACCEPTED(fix, solve(config(43200.0, 50.0)));
        EXPECT_TRUE(all_from_twin(*fix, twin));
        EXPECT_EQ(fix->match_margin, 0u);
        EXPECT_EQ(fix->matched_hr_ids.size(), 8u);
        EXPECT_LT(great_circle_nm(kLat, lon, fix->latitude_deg, fix->longitude_deg), 2.0);
        expect_reference({fix->latitude_deg, fix->longitude_deg, kJd});
    }
}

TEST_F(TrackedFix, AgeBoundIsInclusiveInAbsoluteSeconds) {
    // Half a day and a quarter day are exact in binary, so are their seconds.
    refer(kLat, kLon, kJd - 0.5);
    expect_refused(solve(config(43200.0 - 0.001)), {kLat, kLon, kJd - 0.5});
    EXPECT_TRUE(solve(config(43200.0)).has_value());
    // A reference dated after the image counts by its absolute age.
    refer(kLat, kLon, kJd + 0.25);
    expect_refused(solve(config(21600.0 - 0.001)), {kLat, kLon, kJd + 0.25});
    EXPECT_TRUE(solve(config(21600.0)).has_value());
}

TEST_F(TrackedFix, DistanceBoundIsInclusiveAndTheOtherIsNotTriedInstead) {
    const auto tie = sides();
    ASSERT_TRUE(tie.has_value());
    const auto found = candidate(tie->first);
    ASSERT_TRUE(found.has_value());
    const Fix& near = *found;
    const double ref_lat = kLat + 20.0 / 60.0;
    const double d = great_circle_nm(ref_lat, kLon, near.latitude_deg, near.longitude_deg);
    EXPECT_GT(d, 15.0);
    refer(ref_lat, kLon);
    expect_refused(solve(config(600.0, std::nextafter(d, 0.0))), {ref_lat, kLon, kJd});
    const auto at_bound = solve(config(600.0, d));
    ASSERT_TRUE(at_bound.has_value());
    EXPECT_EQ(fields(*at_bound), fields(near));
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
        const auto fix = pick(winner, rival, 50.0, {kLat + 0.5, kLon - 0.5, kJd});
        ASSERT_TRUE(fix.has_value());
        EXPECT_TRUE(all_from_twin(*fix, twin));
    }
}

TEST_F(TrackedFix, FailuresOtherThanTheTieLeaveTheRecord) {
    refer(kLat, kLon);
    FixConfig c = config();
    EXPECT_TRUE(solve(c, true, 8, {0, 0, 0}).error().is<Error::DegenerateUp>());
    EXPECT_EQ(testing::refusal(solve(c, true, 3)), "insufficient stars: needed 4, got 3");
    // Both candidates fail the health gate: the tie is what the caller hears.
    c.min_matched_stars = 9;
    expect_refused(solve(c), {kLat, kLon, kJd});
}

TEST_F(TrackedFix, AnUntiedSkyIsTheUntrackedFixRecorded) {
    twins = sky.catalog();
    refer(0.0, 0.0, kJd - 1000.0);  // stale and far: an untied sky never consults it
    const auto tracked = solve(config());
    const auto plain = solve(config(), false);
    ASSERT_TRUE(tracked.has_value() && plain.has_value());
    EXPECT_EQ(fields(*tracked), fields(*plain));
    expect_reference({plain->latitude_deg, plain->longitude_deg, kJd});
}

}  // namespace
}  // namespace halvane
