#include "entry.hpp"
#include "support.hpp"
#include "synth.hpp"
#include "temporal.hpp"
#include "time.hpp"

namespace halvane {
namespace {

using Detections = std::vector<std::vector<Centroid>>;

// A zenith-pointing ideal fisheye, 1000 x 1000 px, 180 degrees: about
// 318 px per radian, so the two-pixel tolerance is 6.3e-3 rad.
const Camera kCamera = Camera::from_fov(1000, 1000, 180.0, 0.0, 500.0, 500.0, 0, 0, 0, 0);
const double kTolerance = 2.0 / kCamera.focal;
const double kJd = julian_date(2026, 3, 14, 21, 30, 0.0);
constexpr double kLatDeg = 40.0;
// The north celestial pole seen from latitude 40 by that camera (image up
// is north).
const Vec3 kPole{0.0, -std::cos(kLatDeg * kDegToRad), std::sin(kLatDeg * kDegToRad)};

// `count` camera-frame star directions well inside the field.
std::vector<Vec3> stars_in_view(std::size_t count) {
    std::vector<Vec3> out;
    for (const Vec3& v : testing::spread_over_sky(400, 3.0 * kDegToRad, 99))
        if (v[2] > 0.3 && out.size() < count) out.push_back(v);
    return out;
}

struct Sequence {
    Detections detections;
    std::vector<double> times;
};

// What the camera records of `stars` in `frames` exposures `minutes_apart`,
// the middle one at kJd: each frame turns the sky about the pole by the
// sidereal angle. Detections brightest first, in the stars' order.
Sequence observe(std::span<const Vec3> stars, std::size_t frames, double minutes_apart = 10.0) {
    Sequence s;
    const std::size_t mid = frames / 2;
    for (std::size_t i = 0; i < frames; ++i) {
        const double minutes = (static_cast<double>(i) - static_cast<double>(mid)) * minutes_apart;
        s.times.push_back(kJd + minutes / 1440.0);
        const Mat3 turn = testing::rotation_about(kPole, -kSiderealRateRadPerS * minutes * 60.0);
        std::vector<Centroid>& frame = s.detections.emplace_back();
        for (std::size_t k = 0; k < stars.size(); ++k) {
            const auto pixel = kCamera.vec_to_pixel(turn * stars[k]);
            frame.push_back({pixel->x, pixel->y, 100.0 - static_cast<double>(k)});
        }
    }
    return s;
}

// The same pixel in every frame, brighter than every star.
void add_hot_pixel(Sequence& s, PixelPosition p) {
    for (auto& frame : s.detections) frame.insert(frame.begin(), {p.x, p.y, 1000.0});
}

Result<SiderealVerification> verify(const Sequence& s) {
    return verify_sidereal(s.detections, kCamera, s.times, kTolerance);
}

using testing::refusal;

TEST(VerifySidereal, RefusesBadSequencesInOrder) {
    const Sequence three = observe(stars_in_view(10), 3);
    const std::vector<double> t = three.times, seconds{kJd - 1.0 / 86400.0, kJd, kJd + 1.0 / 86400.0};
    const std::string close = "bad image: frames too closely spaced for temporal verification at this tolerance: "
                              "smallest inter-frame rotation |theta| = 7.292e-5 rad is only ";
    const struct { std::size_t frames; std::vector<double> times; double tolerance; std::string text; } cases[] = {
        {2, {t[0], t[1], t[2]}, kTolerance, "bad image: detections has 2 frames but times_jd has 3"},
        {3, {t[1], t[0]}, kTolerance, "bad image: detections has 3 frames but times_jd has 2"},
        {0, {}, kTolerance, "bad image: need an odd number of frames >= 3, got 0"},
        {2, {t[0], t[1]}, kTolerance, "bad image: need an odd number of frames >= 3, got 2"},
        {4, {t[0], t[1], t[2], t[2] + 1.0}, kTolerance, "bad image: need an odd number of frames >= 3, got 4"},
        {3, {t[0], t[0], t[2]}, kTolerance, "bad image: times_jd must be strictly increasing"},
        // One second either side turns the sky by 7.292e-5 rad: under one
        // tolerance, or above one but under the required 1.5.
        {3, seconds, 1e-4, close + "0.73x the inlier tolerance 1.000e-4 rad (need >= 1.5x)"},
        {3, seconds, 6e-5, close + "1.22x the inlier tolerance 6.000e-5 rad (need >= 1.5x)"},
        // Wide enough apart for a finer tolerance; but nothing moved, and a
        // detection that stays put gives no axis.
        {3, seconds, 2e-5, "insufficient stars: needed 8, got 0"},
    };
    for (const auto& c : cases) {
        const Detections d(c.frames, three.detections[0]);
        EXPECT_EQ(refusal(verify_sidereal(d, kCamera, c.times, c.tolerance)), c.text);
    }
}

TEST(VerifySidereal, TooLittleEvidence) {
    const std::vector<Vec3> stars = stars_in_view(10);
    Sequence empty_middle = observe(stars, 3);
    empty_middle.detections[1].clear();
    // A candidate with no detection anywhere near it in the other frames.
    Sequence lone = observe(std::span(stars).first(1), 3);
    lone.detections[0].clear();
    lone.detections[2].clear();
    // A star detected twice in a frame still supports the axis once there.
    Sequence doubled = observe(std::span(stars).first(3), 3);
    for (std::size_t f : {0u, 2u}) {
        std::vector<Centroid>& frame = doubled.detections[f];
        for (std::size_t k = 0; k < 3; ++k) frame.push_back({frame[k].x + 0.5, frame[k].y, 1.0});
    }
    // n stars over 3 frames support an axis with 2 n pairs: 3 stars are too
    // weak an axis, 4 make one but too few confirmations, 5 pass.
    const std::pair<Sequence, const char*> cases[] = {
        {empty_middle, "insufficient stars: needed 8, got 0"},
        {lone, "insufficient stars: needed 8, got 0"},
        {doubled, "insufficient stars: needed 8, got 6"},
        {observe(std::span(stars).first(3), 3), "insufficient stars: needed 8, got 6"},
        {observe(std::span(stars).first(4), 3), "insufficient stars: needed 5, got 4"},
        {observe(std::span(stars).first(5), 3), "accepted"},
    };
    for (const auto& [s, text] : cases) {
        const auto r = verify(s);
        EXPECT_EQ(refusal(r), text) << s.detections[1].size();
        if (r) {
            EXPECT_EQ(r->confirmed, s.detections[1]);
        }
    }
}

// Of two hot pixels the one at the pole hardly moves with the sky and is
// confirmed, the other cannot be; a star missing from any other frame is not
// confirmed either. Played backwards, the sky turns the other way about the
// same pole.
TEST(VerifySidereal, FindsThePoleEitherWayAndConfirmsOnlyWhatIsInEveryFrame) {
    const std::vector<Vec3> stars = stars_in_view(20);
    const PixelPosition pole = *kCamera.vec_to_pixel(kPole);
    for (std::size_t frames : {3u, 5u})
        for (std::size_t gap = 0; gap < frames; ++gap) {
            if (gap == frames / 2) continue;
            SCOPED_TRACE(::testing::Message() << frames << " frames, gap in " << gap);
            Sequence s = observe(stars, frames);
            add_hot_pixel(s, {800.0, 650.0});
            add_hot_pixel(s, {pole.x + 2.0, pole.y - 3.0});
            s.detections[gap].erase(s.detections[gap].begin() + 9);  // star 7, after the two hot pixels
            std::vector<Centroid> expected = s.detections[frames / 2];
            expected.erase(expected.begin() + 9);
            expected.erase(expected.begin() + 1);
            const auto forward = verify(s);
            std::reverse(s.detections.begin(), s.detections.end());
            const auto backward = verify(s);
            ASSERT_TRUE(forward.has_value() && backward.has_value());
            EXPECT_EQ(forward->confirmed, expected);
            EXPECT_EQ(backward->confirmed, expected);
            EXPECT_GT(dot(forward->axis, kPole), std::cos(0.1 * kDegToRad));
            EXPECT_GT(dot(backward->axis, scaled(kPole, -1.0)), std::cos(0.1 * kDegToRad));
            EXPECT_NEAR(norm(forward->axis), 1.0, 1e-12);
        }
}

// --- The fix from frames ----------------------------------------------------

constexpr double kLonDeg = -74.0;
constexpr double kPsfSigmaPx = 1.3;

// Five bright stars scattered 20 to 45 degrees from the zenith of
// (kLatDeg, kLonDeg) at kJd, and nothing else: a sequence of that sky can
// confirm at most five.
Catalog five_stars_overhead() {
    const ObserverAxes o = observer_axes(kLatDeg * kDegToRad, kLonDeg * kDegToRad, kJd);
    const Mat3 to_j2000 = transposed(precession_matrix(kJd));
    std::vector<Star> stars;
    for (const auto& [off_deg, az_deg] :
         {std::pair{20.0, 10.0}, {30.0, 85.0}, {40.0, 170.0}, {35.0, 230.0}, {45.0, 300.0}}) {
        const double off = off_deg * kDegToRad, az = az_deg * kDegToRad;
        const Vec3 v = scaled(o.up, std::cos(off)) +
                       scaled(scaled(o.east, std::cos(az)) + scaled(o.north, std::sin(az)), std::sin(off));
        stars.push_back(testing::star_at(to_j2000 * v, static_cast<std::uint32_t>(100 + stars.size()), 1.0f));
    }
    return testing::catalog_of(std::move(stars));
}

const std::vector<PixelPosition> kHotSpots{{120.5, 480.0}, {700.0, 300.0}, {420.0, 880.0}, {860.0, 760.0}};

// Three noisy frames of that sky 10 minutes apart, with the same bright hot
// spots, wider than a single hot pixel, stamped into each.
TEST(ResolveFixFromFrames, ExactlyFiveConfirmedStarsSolveAtTheMiddleEpoch) {
    const Catalog catalog = five_stars_overhead();
    SceneParams params;
    params.camera = kCamera;
    params.width = params.height = 1000;
    params.background_noise = 20.0;
    std::vector<std::vector<std::uint16_t>> pixels;
    std::vector<ImageView> views;
    std::vector<double> times;
    for (int i = -1; i <= 1; ++i) {
        times.push_back(kJd + i * 10.0 / 1440.0);
        params.seed = static_cast<std::uint64_t>(i + 7);
        ASSERT_ACCEPTED(scene, synthesize_scene(catalog, params, kLatDeg * kDegToRad, kLonDeg * kDegToRad,
                                                times.back(), 90.0, 0.0, 0.0));
        std::vector<std::uint16_t>& frame = pixels.emplace_back(scene->pixels);
        for (const PixelPosition& p : kHotSpots)
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    frame[static_cast<std::size_t>(p.y + dy) * 1000 + static_cast<std::size_t>(p.x + dx)] =
                        dx == 0 && dy == 0 ? 65535 : 40000;
    }
    for (const auto& p : pixels) views.push_back({p, 1000, 1000});

    Detections detections;
    for (const ImageView& v : views) detections.push_back(*detect_centroids_matched(v, 48, kPsfSigmaPx));
    const auto near_hot_spot = [](const Centroid& c) {
        return std::any_of(kHotSpots.begin(), kHotSpots.end(),
                           [&](const PixelPosition& p) { return std::hypot(c.x - p.x, c.y - p.y) < 2.0; });
    };
    ASSERT_EQ(std::count_if(detections[1].begin(), detections[1].begin() + 9, near_hot_spot), 4);
    ASSERT_ACCEPTED(verified, verify_sidereal(detections, kCamera, times, kTolerance));
    EXPECT_EQ(verified->confirmed.size(), 5u);
    EXPECT_TRUE(std::none_of(verified->confirmed.begin(), verified->confirmed.end(), near_hot_spot));

    const FixConfig config = make_fix_config(kCamera, std::nullopt, true, {});
    ASSERT_ACCEPTED(fix, resolve_fix_from_frames(views, times, kCamera, {0, 0, 1}, catalog, config, kPsfSigmaPx,
                                                 kTolerance));
    EXPECT_EQ(fix->matched_hr_ids.size(), 5u);
    // Ten minutes of sidereal time are 2.5 degrees of longitude: the wrong
    // epoch would miss by some 115 nautical miles.
    EXPECT_LT(great_circle_nm(kLatDeg, kLonDeg, fix->latitude_deg, fix->longitude_deg), 1.0);
}

TEST(ResolveFixFromFrames, RefusalsBeforeAnyDetection) {
    const std::vector<std::uint16_t> pixels(100 * 100, 1000);
    // Frame 1 would fail detection (its pixel count is wrong); the size
    // check reaches frame 2 first, whichever side differs.
    const std::vector<double> times{kJd, kJd + 0.01, kJd + 0.02};
    for (const auto& [w, h, text] : {std::tuple{99, 100, "frame 2 is 99x100"}, {100, 99, "frame 2 is 100x99"}}) {
        const std::vector<ImageView> frames{{pixels, 100, 100}, {std::span(pixels).first(10), 100, 100},
                                            {std::span(pixels).first(9900), std::size_t(w), std::size_t(h)}};
        const auto r =
            resolve_fix_from_frames(frames, times, kCamera, {0, 0, 1}, Catalog{}, FixConfig{}, 1.0, kTolerance);
        EXPECT_EQ(r.error().message(),
                  std::string("bad image: ") + text + " but frame 0 is 100x100; all frames must share one size");
    }
    // The entry point refuses before it reads the sequence.
    const CameraScalars lens{180.0, 0.0, 500.0, 500.0};
    SolveOptions with_sun;
    with_sun.use_sun = true;
    EXPECT_EQ(solve_frames({}, {}, {0, 0, 1}, Catalog{}, std::nullopt, lens, with_sun, 1.0).error().message(),
              "bad image: use_sun requires the single-image resolve_fix path");
    // No frames: the camera takes its extent from the principal point.
    EXPECT_EQ(solve_frames({}, {}, {0, 0, 1}, Catalog{}, std::nullopt, lens, {}, 1.0).error().message(),
              "bad image: need an odd number of frames >= 3, got 0");
}

}  // namespace
}  // namespace halvane
