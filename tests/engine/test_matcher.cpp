#include <set>
#include <thread>

#include "matcher.hpp"
#include "support.hpp"

namespace halvane {
namespace {

using testing::from_radec;
using testing::rotation_about;
constexpr double kArcmin = kDegToRad / 60.0;

// A catalogue of the given directions with every pair up to `max_sep`.
Catalog make_catalog(const std::vector<Vec3>& directions, double max_sep = kPi) {
    std::vector<Star> stars;
    for (std::size_t i = 0; i < directions.size(); ++i)
        stars.push_back(testing::star_at(directions[i], static_cast<std::uint32_t>(i + 1)));
    return testing::catalog_of(std::move(stars), max_sep);
}

// Deterministic scattered directions inside a cap of `radius` around `centre`.
std::vector<Vec3> scatter(const Vec3& centre, double radius, std::size_t n, std::uint64_t seed) {
    XorShift64Star rng(seed);
    const Vec3 pole = std::abs(centre[2]) < 0.9 ? Vec3{0, 0, 1} : Vec3{1, 0, 0};
    const Vec3 east = normalized(cross(pole, centre));
    const Vec3 north = cross(centre, east);
    std::vector<Vec3> out;
    while (out.size() < n) {
        const double r = radius * std::sqrt(rng.uniform());
        const double az = kTwoPi * rng.uniform();
        const Vec3 v = normalized(centre + scaled(east, std::tan(r) * std::cos(az)) +
                                  scaled(north, std::tan(r) * std::sin(az)));
        if (std::all_of(out.begin(), out.end(), [&](const Vec3& o) { return angle_between(o, v) > kDegToRad; }))
            out.push_back(v);
    }
    return out;
}

// Camera-frame detections of sky directions under attitude R (sky = R cam).
std::vector<Vec3> detections(const Mat3& r, const std::vector<Vec3>& sky, double noise = 0.0,
                             std::uint64_t seed = 5) {
    XorShift64Star rng(seed);
    std::vector<Vec3> out;
    const Mat3 rt = transposed(r);
    for (const Vec3& v : sky) {
        Vec3 cam = rt * v;
        if (noise > 0) cam = normalized(cam + Vec3{noise * rng.normal(), noise * rng.normal(), noise * rng.normal()});
        out.push_back(cam);
    }
    return out;
}

TEST(StarGrid, CellLookupReducesAndClamps) {
    const StarGrid g = build_star_grid(Catalog{}, 0.0);
    EXPECT_EQ(g.cell_of(0.0, kPi / 2), g.band_start[359]);
    EXPECT_EQ(g.cell_of(kTwoPi, 0.1), g.cell_of(0.0, 0.1));
    EXPECT_EQ(g.cell_of(-0.5, 0.1), g.cell_of(kTwoPi - 0.5, 0.1));
    EXPECT_EQ(g.cell_of(NAN, NAN), 0u);
}

// Every star in the cone comes back once, at the poles, astride ra 0 and at
// any size; a cone covering the sky returns every star in cell order.
TEST(StarGrid, QueriesReturnEveryStarInTheConeOnce) {
    std::vector<Vec3> dirs = testing::spread_over_sky(2000, 0.0, 11);
    std::vector<Vec3> centres;
    for (double dec : {kHalfPi, -kHalfPi, 1.56, -1.5, 0.2, 0.0})
        for (double ra : {0.0, 1e-9, kTwoPi - 1e-9, 3.0}) centres.push_back(from_radec(ra, dec));
    dirs.insert(dirs.end(), centres.begin(), centres.end());
    for (std::size_t s = 0; s < dirs.size(); s += 40) centres.push_back(dirs[s]);
    const Catalog c = make_catalog(dirs, 0.0);
    std::vector<std::size_t> out;
    for (double radius : {4 * kArcmin, 1.5 * kDegToRad, 12 * kDegToRad, 2.0}) {
        const StarGrid g = build_star_grid(c, std::min(radius, 0.2));
        for (const Vec3& centre : centres) {
            g.query(centre, radius, out);
            const std::set<std::size_t> found(out.begin(), out.end());
            EXPECT_EQ(found.size(), out.size());
            for (std::size_t s = 0; s < dirs.size(); ++s) {
                if (angle_between(centre, dirs[s]) <= radius) { ASSERT_TRUE(found.count(s)) << radius << " " << s; }
            }
        }
        g.query({1, 0, 0}, kPi / 2, out);
        EXPECT_EQ(out, std::vector<std::size_t>(g.star_index.begin(), g.star_index.end()));
    }
}

class MatcherTest : public ::testing::Test {
protected:
    const double t = 4 * kArcmin;
    const Mat3 attitude = rotation_about({0.2, 0.7, -0.4}, 0.9);

    // The `seen` directions detected under the attitude, matched against
    // a catalogue of `sky`.
    Result<StarMatch> match(const std::vector<Vec3>& sky, const std::vector<Vec3>& seen, double noise = 0.0,
                            std::uint64_t seed = 5) const {
        return match_stars(detections(attitude, seen, noise, seed), make_catalog(sky), 5, t);
    }
};

// A grid built once and shared by four threads gives the serial answers,
// which are those of a grid built for the call.
TEST_F(MatcherTest, ConcurrentSolvesOnOneCatalogueAgree) {
    const std::vector<Vec3> sky = testing::spread_over_sky(400, 1.5 * kDegToRad, 9);
    Catalog shared = make_catalog(sky, 30 * kDegToRad);
    const Catalog per_call = shared;
    shared.grid = std::make_shared<const StarGrid>(build_star_grid(shared, 0.0));
    std::vector<std::vector<Vec3>> fields;
    for (std::uint64_t k = 0; k < 8; ++k) {
        const Mat3 r = rotation_about({0.3, -0.2 + 0.1 * static_cast<double>(k), 0.9}, 0.4 * static_cast<double>(k));
        std::vector<Vec3> seen;
        std::copy_if(sky.begin(), sky.end(), std::back_inserter(seen),
                     [&](const Vec3& v) { return dot(v, r * Vec3{0, 0, 1}) > std::cos(12 * kDegToRad); });
        fields.push_back(detections(r, seen, 0.3 * kArcmin, k + 1));
    }
    using Answer = std::pair<std::string, Correspondences>;  // the margin or the refusal, and the stars
    const auto solve_all = [&](const Catalog& c) {
        std::vector<Answer> out;
        for (const auto& field : fields) {
            const auto m = match_stars(field, c, 6, t);
            out.emplace_back(m ? std::to_string(m->match_margin) : m.error().message(),
                             m.value_or(StarMatch{}).correspondences);
        }
        return out;
    };
    const auto serial = solve_all(shared);
    EXPECT_EQ(serial, solve_all(per_call));
    std::vector<std::vector<Answer>> results(4);
    {
        std::vector<std::jthread> threads;
        for (auto& r : results) threads.emplace_back([&] { r = solve_all(shared); });
    }
    for (const auto& r : results) EXPECT_EQ(r, serial);
    EXPECT_GT(std::count_if(serial.begin(), serial.end(), [](const Answer& a) { return !a.second.empty(); }), 4);
}

// The grouped search gives the hypotheses of the plain product of two
// scanned windows, in the same order.
TEST(TriangleSearch, EqualsTheBruteForceProductInOrder) {
    XorShift64Star rng(5);
    std::size_t compared = 0;
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        const Catalog c = make_catalog(testing::spread_over_sky(60 + 10 * seed, 0.5 * kDegToRad, seed));
        const auto vectors = testing::spread_over_sky(3, 0.0, seed + 100);
        const double t = (0.5 + 2.0 * rng.uniform()) * kDegToRad;
        const auto in_window = [&](std::size_t a, std::size_t b) {
            const double separation = std::acos(std::clamp(dot(vectors[a], vectors[b]), -1.0, 1.0));
            const double lo = std::cos(separation + t), hi = std::cos(separation - t);
            std::vector<StarPair> out;
            std::copy_if(c.pairs.begin(), c.pairs.end(), std::back_inserter(out),
                         [&](const StarPair& p) { return p.cos_theta >= lo && p.cos_theta <= hi; });
            return out;
        };
        const auto ij = in_window(0, 1), jk = in_window(1, 2), ik = in_window(0, 2);
        const auto has = [](const std::vector<StarPair>& w, std::uint32_t x, std::uint32_t y) {
            return std::any_of(w.begin(), w.end(),
                               [&](const StarPair& p) { return (p.i == x && p.j == y) || (p.i == y && p.j == x); });
        };
        std::vector<Hypothesis> brute;
        for (const StarPair& p : ij)
            for (const auto& [first, second] : {std::pair<std::uint32_t, std::uint32_t>{p.i, p.j}, {p.j, p.i}})
                for (const StarPair& q : jk)
                    for (const auto& [from, y] : {std::pair<std::uint32_t, std::uint32_t>{q.i, q.j}, {q.j, q.i}})
                        if (from == second && y != first && has(ik, y, first)) brute.push_back({first, second, y});
        EXPECT_EQ(triangle_hypotheses(vectors, {0, 1, 2}, c, t), brute) << seed;
        compared += brute.size();
    }
    EXPECT_GT(compared, 50u);
}

TEST_F(MatcherTest, EarlyRefusals) {
    std::vector<Vec3> sky = scatter({0, 0, 1}, 10 * kDegToRad, 20, 8);
    const Catalog c = make_catalog(sky);
    const auto cams = detections(attitude, std::vector<Vec3>(sky.begin(), sky.begin() + 6));
    const auto three = match_stars(std::span(cams).first(3), c, 5, t);
    EXPECT_EQ(three.error().message(), "insufficient stars: needed 4, got 3");
    EXPECT_TRUE(match_stars(cams, c, 0, t).error().is<Error::NoMatch>());
    // No pair index at all: every window is empty.
    Catalog no_pairs = c;
    no_pairs.pairs.clear();
    EXPECT_TRUE(match_stars(cams, no_pairs, 5, t).error().is<Error::NoMatch>());
    EXPECT_TRUE(triangle_hypotheses(cams, {0, 1, 2}, no_pairs, t).empty());
}

// A 30-degree tolerance on a dense sky offers millions of triangles: the
// search gives up within the budget (plus one spend) and an unselective
// triangle yields no hypotheses. The hook is asked every kPollSteps.
TEST_F(MatcherTest, WorkIsBoundedAndCancellable) {
    const std::vector<Vec3> dense_sky = testing::spread_over_sky(400, 1.0 * kDegToRad, 4);
    const Catalog c = make_catalog(dense_sky);
    const auto cams = detections(attitude, std::vector<Vec3>(dense_sky.begin(), dense_sky.begin() + 40));
    const double wide = 30 * kDegToRad;
    EXPECT_TRUE(triangle_hypotheses(cams, {0, 1, 2}, c, wide).empty());
    EXPECT_FALSE(triangle_hypotheses(cams, {0, 1, 2}, c, t).empty());

    constexpr std::uint64_t budget = std::uint64_t{1} << 22;
    WorkMeter meter({}, budget);
    EXPECT_TRUE(match_stars(cams, c, 12, wide, {}, &meter).error().is<Error::NoMatch>());
    EXPECT_TRUE(meter.stopped());
    EXPECT_LT(meter.spent(), budget + 2 * c.pairs.size() + 4 * c.stars.size());

    WorkMeter enough({}, budget);
    EXPECT_TRUE(match_stars(cams, c, 12, t, {}, &enough).has_value());
    EXPECT_FALSE(enough.stopped());

    int polls = 0;
    const Cancellation after_three{[](void* n) { return ++*static_cast<int*>(n) >= 3; }, &polls};
    WorkMeter cancelled(after_three);
    EXPECT_TRUE(match_stars(cams, c, 12, wide, {}, &cancelled).error().is<Error::NoMatch>());
    EXPECT_EQ(polls, 3);
    EXPECT_LT(cancelled.spent(), 4 * WorkMeter::kPollSteps + 2 * c.pairs.size() + 4 * c.stars.size());
}

// Two exact copies of a pattern tie; against a copy distorted within the
// tolerance the true one wins on its residuals, by a margin of 0.
TEST_F(MatcherTest, EqualCountsTieUnlessOneResidualIsClearlySmaller) {
    const std::vector<Vec3> a = scatter({1, 0, 0}, 8 * kDegToRad, 6, 21);
    const Mat3 move = rotation_about({0, 0, 1}, 2.0);
    std::vector<Vec3> exact = a, distorted = a;
    XorShift64Star rng(99);
    const double d = 0.6 * kArcmin;
    for (const Vec3& v : a) {
        exact.push_back(move * v);
        distorted.push_back(normalized(move * v + Vec3{d * rng.normal(), d * rng.normal(), 0.0}));
    }
    const auto tied = match(exact, a, 0.5 * kArcmin);
    ASSERT_FALSE(tied.has_value());
    const auto* tie = tied.error().get_if<Error::MatchAmbiguous>();
    ASSERT_NE(tie, nullptr) << tied.error().message();
    EXPECT_EQ(tied.error().message(), "star pattern match is ambiguous: 6 vs 6 correspondences");
    std::set<std::size_t> first, second;
    for (const auto& x : tie->winner) first.insert(x.catalog_index / 6);
    for (const auto& x : tie->rival) second.insert(x.catalog_index / 6);
    EXPECT_EQ(first.size(), 1u);
    EXPECT_EQ(second.size(), 1u);
    EXPECT_NE(*first.begin(), *second.begin());

    ASSERT_ACCEPTED(clear, match(distorted, a));
    EXPECT_EQ(clear->match_margin, 0u);
    for (const auto& x : clear->correspondences) EXPECT_LT(x.catalog_index, 6u);
}

// Detection 7 lies midway between two stars 1.2 tolerances apart, so nearly
// equal attitudes name either with equal counts: one identification, not a
// tie, with detection 7 left out.
TEST_F(MatcherTest, CandidatesOfOneAttitudeAreOneIdentification) {
    const std::vector<Vec3> seen = scatter(normalized({0.3, 0.5, 0.8}), 10 * kDegToRad, 10, 3);
    const Vec3 across = scaled(normalized(cross(seen[7], {0, 0, 1})), 0.6 * t);
    std::vector<Vec3> sky = seen;
    sky[7] = normalized(seen[7] + across);
    sky.push_back(normalized(seen[7] - across));
    ASSERT_ACCEPTED(result, match(sky, seen, 0.3 * kArcmin, 17));
    ASSERT_EQ(result->correspondences.size(), 9u);
    for (const auto& x : result->correspondences) {
        EXPECT_NE(x.detection, 7u);
        EXPECT_EQ(x.catalog_index, x.detection);
    }
}

TEST_F(MatcherTest, HigherCountClearsATie) {
    // Copies A and B hold six of the seven detected stars; copy C all seven.
    const std::vector<Vec3> pattern = scatter({1, 0, 0}, 8 * kDegToRad, 7, 33);
    std::vector<Vec3> sky(pattern.begin(), pattern.begin() + 6), seen;
    for (double angle : {2.0, 4.0})
        for (std::size_t i = 0; i < (angle == 4.0 ? 7u : 6u); ++i)
            sky.push_back(rotation_about({0, 0, 1}, angle) * pattern[i]);
    for (const Vec3& v : pattern) seen.push_back(rotation_about({0, 0, 1}, 4.0) * v);
    ASSERT_ACCEPTED(result, match(sky, seen, 0.3 * kArcmin));
    EXPECT_EQ(result->correspondences.size(), 7u);
    EXPECT_EQ(result->match_margin, 1u);
    for (const auto& x : result->correspondences) EXPECT_GE(x.catalog_index, 12u);
}

TEST_F(MatcherTest, EqualDotProductsGoToTheLowerIndex) {
    std::vector<Vec3> sky = scatter({0, 1, 0}, 8 * kDegToRad, 6, 44);
    const std::vector<Vec3> seen = sky;
    sky.push_back(sky[4]);  // a duplicate entry of detection 4's star
    ASSERT_ACCEPTED(result, match(sky, seen));
    EXPECT_EQ(result->correspondences[4].catalog_index, 4u);
}

// Every star's antipode is in the catalogue: the reflected pattern matches
// as well as the true one.
TEST_F(MatcherTest, MirrorSymmetricSkyIsRefused) {
    const std::vector<Vec3> seen = scatter({0, 0, 1}, 8 * kDegToRad, 6, 55);
    std::vector<Vec3> sky = seen;
    for (const Vec3& v : seen) sky.push_back(scaled(v, -1.0));
    EXPECT_TRUE(match(sky, seen).error().is<Error::NoMatch>());
    EXPECT_TRUE(match(seen, seen).has_value());
}

TEST_F(MatcherTest, ConfidenceChecks) {
    std::vector<Vec3> sky = scatter({0, 0, 1}, 8 * kDegToRad, 8, 66);
    const Catalog c = make_catalog(sky);
    const StarGrid g = build_star_grid(c, t);
    const auto cams = detections(attitude, sky);
    EXPECT_TRUE(confidence_checks(3, cams, c, g, 5, t).error().is<Error::NoMatch>());
    EXPECT_TRUE(confidence_checks(8, cams, c, g, 5, t).has_value());
    // Four of eight is about 1e-5 likely by chance for one hypothesis: a
    // search that verified 50 may trust it, one that verified 100 may not,
    // unless the attitude also puts fainter detections on stars.
    EXPECT_TRUE(confidence_checks(4, cams, c, g, 5, t, {50, 0, 0}).has_value());
    EXPECT_TRUE(confidence_checks(4, cams, c, g, 5, t, {100, 0, 0}).error().is<Error::NoMatch>());
    EXPECT_TRUE(confidence_checks(4, cams, c, g, 5, t, {100, 10, 0}).error().is<Error::NoMatch>());
    EXPECT_TRUE(confidence_checks(4, cams, c, g, 5, t, {100, 10, 10}).has_value());
    // A tolerance so wide that any direction lands on a star by chance.
    const StarGrid wide = build_star_grid(c, 1.5);
    EXPECT_TRUE(confidence_checks(8, cams, c, wide, 5, 1.5).error().is<Error::NoMatch>());
}

// Hits as loose as chance leaves them must be far rarer by count than hits
// within the centroid error. A sky of 20,000 stars puts a random direction
// on one about once in 150, so six hits of eight pass the count alone.
TEST_F(MatcherTest, ALooseFitNeedsAFarRarerCount) {
    std::vector<Vec3> sky = scatter({0, 0, 1}, 8 * kDegToRad, 8, 66), dirs = sky;
    const auto chance = testing::spread_over_sky(20000, 0.0, 21);
    dirs.insert(dirs.end(), chance.begin(), chance.end());
    const Catalog c = make_catalog(dirs, 0.0);
    const StarGrid g = build_star_grid(c, t);
    const auto cams = detections(attitude, sky);
    const SearchEvidence one{1, 0, 0};
    const double close = 0.1 * kArcmin;
    struct Case { std::vector<double> offsets; bool trusted; };
    const std::vector<Case> cases = {
        {{}, true},                                           // no fit known: the count alone
        {std::vector<double>(6, 0.9 * t), false},             // spread as chance hits are
        {std::vector<double>(6, 2 * t), false},               // beyond the tolerance counts as at it
        {std::vector<double>(6, NAN), false},                 // unknown counts as the whole tolerance
        {std::vector<double>(6, close), true},                // within the centroid error
        {{close, close, close, close, close, t}, true},      // one false detection's hit among them
        {{close, close, close, 0.9 * t, 0.9 * t, 0.9 * t}, false},  // only the triangle close
    };
    for (const Case& k : cases) {
        const auto got = confidence_checks(6, cams, c, g, 5, t, one, k.offsets);
        EXPECT_EQ(got.has_value(), k.trusted) << k.offsets.size() << " offsets, first "
                                              << (k.offsets.empty() ? 0.0 : k.offsets[0] / kArcmin);
    }
    // A count that chance cannot reach passes however loose the fit.
    EXPECT_TRUE(confidence_checks(8, cams, c, g, 5, t, one, std::vector<double>(8, 0.9 * t)).has_value());
}

}  // namespace
}  // namespace halvane
