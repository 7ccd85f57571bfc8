#include "temporal.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "numeric.hpp"
#include "time.hpp"

namespace halvane {

namespace {

// The smallest rotation to the middle frame must exceed this many
// tolerances, or a junk detection could pass for a star that barely moved.
constexpr double kMinSpacingTolerances = 1.5;
// Putative matches lie within the rotation angle plus this many tolerances
// of a candidate: a real star moves by at most the angle, wherever the pole.
constexpr double kConeWideningTolerances = 3.0;
// Two displacements this close to parallel do not fix an axis.
constexpr double kDegeneracyRatio = 0.001;
constexpr int kDrawBudget = 256;
constexpr std::uint64_t kSamplerSeed = 0x9E3779B97F4A7C15ULL;
constexpr std::size_t kMinAxisSupport = 8;
constexpr std::size_t kMinConfirmed = 5;

// A detection of another frame that could be a candidate's star there.
struct PutativeMatch {
    std::size_t candidate = 0;  // index into the middle frame
    std::size_t frame = 0;      // index among the other frames
    double cos_theta = 1.0;     // that frame's rotation angle
    double sin_theta = 0.0;
    Vec3 direction{};
};

// Rodrigues' formula: v turned right-handedly by the angle about unit k.
Vec3 rotated(const Vec3& k, double cos_theta, double sin_theta, const Vec3& v) {
    return scaled(v, cos_theta) + scaled(cross(k, v), sin_theta) + scaled(k, dot(k, v) * (1.0 - cos_theta));
}

Error bad(std::string message) { return Error::BadImage{std::move(message)}; }

// The refusal for frames whose rotation to the middle frame is too small
// for the tolerance to tell a star from junk.
Error too_closely_spaced(double theta_min, double tolerance) {
    return bad("frames too closely spaced for temporal verification at this tolerance: smallest inter-frame "
               "rotation |theta| = " +
               format_exponent(theta_min, 3) + " rad is only " + format_fixed(theta_min / tolerance, 2) +
               "x the inlier tolerance " + format_exponent(tolerance, 3) + " rad (need >= " +
               format_fixed(kMinSpacingTolerances, 1) + "x)");
}

// Marks each (candidate, frame) pair with a match within the tolerance of
// where `axis` puts its candidate, and counts the pairs newly marked. A
// pair is marked when its cell holds `generation`, so a fresh generation
// clears the whole table at once.
class SupportTable {
public:
    SupportTable(std::size_t candidates, std::size_t other_frames)
        : other_frames_(other_frames), cells_(candidates * other_frames, 0) {}

    std::size_t mark(const Vec3& axis, std::span<const PutativeMatch> records, std::span<const Vec3> candidates,
                     double cos_tolerance) {
        ++generation_;
        std::size_t support = 0;
        for (const PutativeMatch& r : records) {
            std::uint32_t& cell = cells_[r.candidate * other_frames_ + r.frame];
            if (cell == generation_) continue;
            const Vec3 predicted = rotated(axis, r.cos_theta, r.sin_theta, candidates[r.candidate]);
            if (dot(r.direction, predicted) >= cos_tolerance) {
                cell = generation_;
                ++support;
            }
        }
        return support;
    }

    bool marked(std::size_t candidate, std::size_t frame) const {
        return cells_[candidate * other_frames_ + frame] == generation_;
    }

private:
    std::size_t other_frames_;
    std::vector<std::uint32_t> cells_;
    std::uint32_t generation_ = 0;
};

// The axis two putative matches imply, signed to carry the first record's
// candidate towards its match, or nothing for a degenerate pair.
std::optional<Vec3> axis_from(const PutativeMatch& a, const PutativeMatch& b, std::span<const Vec3> candidates) {
    const Vec3& ca = candidates[a.candidate];
    const Vec3 ua = a.direction - ca;
    const Vec3 ub = b.direction - candidates[b.candidate];
    const Vec3 n = cross(ua, ub);
    const double length = norm(n);
    // A zero cross product (a detection that did not move) has no direction
    // to normalise, whatever the two displacement lengths.
    if (!(length > 0.0) || length < kDegeneracyRatio * norm(ua) * norm(ub)) return std::nullopt;
    const Vec3 axis = scaled(n, 1.0 / length);
    const Vec3 opposite = scaled(axis, -1.0);
    const double along = dot(a.direction, rotated(axis, a.cos_theta, a.sin_theta, ca));
    const double against = dot(a.direction, rotated(opposite, a.cos_theta, a.sin_theta, ca));
    return along >= against ? axis : opposite;
}

Result<void> check_sequence(std::size_t frames, std::span<const double> times_jd) {
    if (frames != times_jd.size())
        return std::unexpected(bad("detections has " + std::to_string(frames) + " frames but times_jd has " +
                                   std::to_string(times_jd.size())));
    if (frames < 3 || frames % 2 == 0)
        return std::unexpected(bad("need an odd number of frames >= 3, got " + std::to_string(frames)));
    for (std::size_t k = 0; k + 1 < frames; ++k)
        if (times_jd[k + 1] <= times_jd[k]) return std::unexpected(bad("times_jd must be strictly increasing"));
    return {};
}

}  // namespace

Result<SiderealVerification> verify_sidereal(std::span<const std::vector<Centroid>> detections,
                                             const Camera& camera, std::span<const double> times_jd,
                                             double tolerance) {
    if (auto checked = check_sequence(detections.size(), times_jd); !checked)
        return std::unexpected(std::move(checked.error()));
    const std::size_t mid = detections.size() / 2;
    const std::size_t other_frames = detections.size() - 1;

    std::vector<Vec3> candidates;
    candidates.reserve(detections[mid].size());
    for (const Centroid& c : detections[mid]) candidates.push_back(camera.pixel_to_vec(c.x, c.y));

    // Rotation angles of the other frames, in increasing time. Earlier
    // frames turn forward onto the middle one, later frames backward.
    std::vector<double> thetas;
    thetas.reserve(other_frames);
    double theta_min = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < detections.size(); ++i) {
        if (i == mid) continue;
        const double theta = (times_jd[i] - times_jd[mid]) * (-kSiderealRateRadPerS) * kSecondsPerDay;
        thetas.push_back(theta);
        theta_min = min_ignoring_nan(theta_min, std::fabs(theta));
    }
    if (theta_min < kMinSpacingTolerances * tolerance)
        return std::unexpected(too_closely_spaced(theta_min, tolerance));
    if (candidates.empty()) return std::unexpected(Error::InsufficientStars{kMinAxisSupport, 0});

    // Putative matches: frames outer, candidates middle, detections inner.
    // This order decides which pairs the sampler draws.
    std::vector<PutativeMatch> records;
    std::vector<Vec3> directions;
    for (std::size_t f = 0; f < other_frames; ++f) {
        const std::vector<Centroid>& frame = detections[f < mid ? f : f + 1];
        directions.clear();
        for (const Centroid& d : frame) directions.push_back(camera.pixel_to_vec(d.x, d.y));
        const double theta = thetas[f];
        const double cos_cone = std::cos(std::fabs(theta) + kConeWideningTolerances * tolerance);
        const double cos_theta = std::cos(theta), sin_theta = std::sin(theta);
        for (std::size_t c = 0; c < candidates.size(); ++c)
            for (const Vec3& d : directions)
                if (dot(candidates[c], d) >= cos_cone) records.push_back({c, f, cos_theta, sin_theta, d});
    }
    if (records.size() < 2) return std::unexpected(Error::InsufficientStars{kMinAxisSupport, 0});

    const double cos_tolerance = std::cos(tolerance);
    SupportTable table(candidates.size(), other_frames);
    XorShift64Star sampler(kSamplerSeed);
    const std::uint64_t count = records.size();
    std::size_t best_support = 0;
    Vec3 best_axis{};
    for (int draw = 0; draw < kDrawBudget; ++draw) {
        const auto a = static_cast<std::size_t>(sampler.next_u64() % count);
        auto b = static_cast<std::size_t>(sampler.next_u64() % count);
        if (b == a) b = a + 1 == count ? 0 : a + 1;
        const std::optional<Vec3> axis = axis_from(records[a], records[b], candidates);
        if (!axis) continue;
        const std::size_t support = table.mark(*axis, records, candidates, cos_tolerance);
        if (support > best_support) {
            best_support = support;
            best_axis = *axis;
        }
    }
    if (best_support < kMinAxisSupport)
        return std::unexpected(Error::InsufficientStars{kMinAxisSupport, best_support});

    table.mark(best_axis, records, candidates, cos_tolerance);
    SiderealVerification out{best_axis, {}};
    for (std::size_t c = 0; c < candidates.size(); ++c) {
        bool everywhere = true;
        for (std::size_t f = 0; f < other_frames && everywhere; ++f) everywhere = table.marked(c, f);
        if (everywhere) out.confirmed.push_back(detections[mid][c]);
    }
    if (out.confirmed.size() < kMinConfirmed)
        return std::unexpected(Error::InsufficientStars{kMinConfirmed, out.confirmed.size()});
    return out;
}

Result<Fix> resolve_fix_from_frames(std::span<const ImageView> frames, std::span<const double> times_jd,
                                    const Camera& camera, const Vec3& up_cam, const Catalog& catalog,
                                    const FixConfig& config, double psf_sigma_px, double tolerance) {
    for (std::size_t i = 1; i < frames.size(); ++i) {
        const ImageView& f = frames[i];
        if (f.width == frames[0].width && f.height == frames[0].height) continue;
        return std::unexpected(bad("frame " + std::to_string(i) + " is " + std::to_string(f.width) + "x" +
                                   std::to_string(f.height) + " but frame 0 is " + std::to_string(frames[0].width) +
                                   "x" + std::to_string(frames[0].height) + "; all frames must share one size"));
    }
    // Spare candidates beyond the stars finally used, so that junk among
    // the brightest does not crowd out the stars the solve needs.
    const std::size_t cap = config.max_centroids > std::numeric_limits<std::size_t>::max() / 4
                                ? std::numeric_limits<std::size_t>::max()
                                : 4 * config.max_centroids;
    std::vector<std::vector<Centroid>> detections;
    detections.reserve(frames.size());
    for (const ImageView& frame : frames) {
        auto found = detect_centroids_matched(frame, cap, psf_sigma_px, config.cancel);
        if (!found) return std::unexpected(std::move(found.error()));
        detections.push_back(std::move(*found));
    }
    auto verified = verify_sidereal(detections, camera, times_jd, tolerance);
    if (!verified) return std::unexpected(std::move(verified.error()));
    const double jd_mid = times_jd[frames.size() / 2];
    return resolve_fix_from_centroids(verified->confirmed, std::nullopt, camera, up_cam, catalog, config, jd_mid);
}

}  // namespace halvane
