#include "fix.hpp"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <limits>

#include "attitude.hpp"
#include "ephemeris.hpp"
#include "frame.hpp"
#include "matcher.hpp"
#include "numeric.hpp"
#include "solar_disc.hpp"
#include "time.hpp"

namespace halvane {

namespace {

// Observed altitude of a camera direction given the unit up vector.
double altitude_of(const Vec3& up, const Vec3& direction) {
    return kHalfPi - std::acos(clamp_unit(dot(up, direction)));
}

// (-pi, pi]: remainder modulo 2 pi, plus 2 pi if negative, minus 2 pi if
// above pi.
double wrap_longitude(double lon) {
    double r = std::fmod(lon, kTwoPi);
    if (r < 0.0) r += kTwoPi;
    if (r > kPi) r -= kTwoPi;
    return r;
}

std::array<double, 4> quaternion_xyzw(const Mat3& r) {
    Eigen::Matrix3d m;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m(i, j) = r[i][j];
    const Eigen::Quaterniond q(m);
    return {q.x(), q.y(), q.z(), q.w()};
}

std::optional<PixelPosition> sun_pixel(const StarsAndSun& detected) {
    if (!detected.sun) return std::nullopt;
    return PixelPosition{detected.sun->x, detected.sun->y};
}

}  // namespace

std::size_t checked_detections(std::size_t max_centroids) noexcept {
    constexpr std::size_t kFactor = 4;
    const std::size_t limit = std::numeric_limits<std::size_t>::max();
    return max_centroids > limit / kFactor ? limit : max_centroids * kFactor;
}

std::vector<Centroid> brightest_first(std::span<const Centroid> centroids) {
    std::vector<Centroid> sorted(centroids.begin(), centroids.end());
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Centroid& a, const Centroid& b) { return total_order_less(b.flux, a.flux); });
    return sorted;
}

StarsAndSun split_detections(std::vector<Centroid> brightest, std::optional<Centroid> sun,
                             const FixConfig& config) {
    StarsAndSun out;
    out.sun = sun;
    out.stars = std::move(brightest);
    if (out.stars.size() > checked_detections(config.max_centroids))
        out.stars.resize(checked_detections(config.max_centroids));
    if (out.stars.size() > config.max_centroids) {
        out.fainter.assign(out.stars.begin() + static_cast<std::ptrdiff_t>(config.max_centroids), out.stars.end());
        out.stars.resize(config.max_centroids);
    }
    if (out.sun) {
        const double glare_px = 4.0 * std::sqrt(static_cast<double>(config.sun_min_area));
        const Centroid disc = *out.sun;
        // A NaN distance counts as glare: nothing unplaceable survives beside the Sun.
        const auto in_glare = [&](const Centroid& c) { return !(std::hypot(c.x - disc.x, c.y - disc.y) > glare_px); };
        std::erase_if(out.stars, in_glare);
        std::erase_if(out.fainter, in_glare);
    }
    return out;
}

Result<StarsAndSun> detect_stars_and_sun(const ImageView& image, std::optional<MaskView> mask,
                                         const FixConfig& config) {
    std::optional<Centroid> sun;
    if (config.use_sun) sun = detect_sun_masked(image, config.sun_min_area, mask, config.cancel);
    auto stars = detect_centroids_masked(image, checked_detections(config.max_centroids), mask, config.cancel);
    if (!stars) return std::unexpected(std::move(stars.error()));
    return split_detections(std::move(*stars), sun, config);
}

std::vector<Vec3> ordered_cam_vecs(std::span<const Centroid> centroids, const Camera& camera,
                                   std::size_t max_centroids) {
    std::vector<Centroid> sorted = brightest_first(centroids);
    if (sorted.size() > max_centroids) sorted.resize(max_centroids);
    std::vector<Vec3> vectors;
    vectors.reserve(sorted.size());
    for (const Centroid& c : sorted) vectors.push_back(camera.pixel_to_vec(c.x, c.y));
    return vectors;
}

Result<Fix> resolve_from_matches(const Correspondences& correspondences, std::size_t match_margin,
                                 std::span<const Vec3> vectors, std::optional<PixelPosition> sun,
                                 const Camera& camera, const Vec3& up_cam, const Catalog& catalog,
                                 const FixConfig& config, double jd) {
    std::vector<Vec3> camera_dirs, sky_dirs;
    camera_dirs.reserve(correspondences.size());
    sky_dirs.reserve(correspondences.size());
    for (const Correspondence& c : correspondences) {
        camera_dirs.push_back(vectors[c.detection]);
        sky_dirs.push_back(catalog.stars[c.catalog_index].unit_at(jd, catalog.epoch));
    }
    const auto rotation = solve_wahba(camera_dirs, sky_dirs);
    if (!rotation) return std::unexpected(rotation.error());

    const double gmst = gmst_rad(jd);
    const Mat3 precession = precession_matrix(jd);

    // First position: the local vertical on the sky of date.
    const Vec3 up = normalized(up_cam);
    const Vec3 zenith = precession * (*rotation * up);
    const double lat0 = std::asin(clamp_unit(zenith[2]));
    const double lon0 = wrap_longitude(std::atan2(zenith[1], zenith[0]) - gmst);

    const Vec3 aberration = annual_aberration(jd);
    Fix fix;
    std::vector<Sight> sights;
    sights.reserve(correspondences.size() + 1);
    for (std::size_t i = 0; i < correspondences.size(); ++i) {
        const double h = altitude_of(up, camera_dirs[i]);
        if (h < config.min_altitude) continue;
        const Vec3 apparent = normalized(precession * sky_dirs[i] + aberration);
        sights.push_back({std::atan2(apparent[1], apparent[0]), std::asin(clamp_unit(apparent[2])),
                          h - refraction_rad(h), config.sigma_rad});
        fix.matched_hr_ids.push_back(catalog.stars[correspondences[i].catalog_index].hr_id);
    }
    if (sun) {
        // Any bright disc (the Moon, a lamp) passes for the Sun in the
        // image; only one where the stars' attitude puts the Sun is used.
        const Vec3 seen = camera.pixel_to_vec(sun->x, sun->y);
        const EquatorialPosition place = sun_apparent(jd);
        const Vec3 place_of_date{std::cos(place.dec) * std::cos(place.ra), std::cos(place.dec) * std::sin(place.ra),
                                 std::sin(place.dec)};
        const Vec3 predicted = transposed(*rotation) * (transposed(precession) * place_of_date);
        const double h = altitude_of(up, seen);
        fix.used_sun = h >= config.min_altitude && dot(seen, predicted) > std::cos(config.match_tolerance);
        if (fix.used_sun) sights.push_back({place.ra, place.dec, h - refraction_rad(h), config.sun_sigma_rad});
    }
    if (sights.size() < 3) return std::unexpected(Error::InsufficientStars{3, sights.size()});

    const auto refined = refine_fix(sights, gmst, lat0, lon0);
    if (!refined) return std::unexpected(refined.error());

    double sum_sq = 0.0, sum_sq_in_sigmas = 0.0;
    for (const Sight& s : sights) {
        const double r = sight_residual(s, gmst, refined->lat, refined->lon);
        sum_sq += r * r;
        sum_sq_in_sigmas += (r / s.sigma) * (r / s.sigma);
    }
    const double count = static_cast<double>(sights.size());
    fix.residual_rms_rad = std::sqrt(sum_sq / count);
    fix.match_margin = match_margin;
    // Sights of the stars they were taken for scatter by about their sigma;
    // an rms of three sigmas or more (a chi-square far beyond any chance
    // for three or more sights) says they are other stars.
    if (!(std::sqrt(sum_sq_in_sigmas / count) < 3.0)) return std::unexpected(Error::NoMatch{});

    const std::size_t matched = fix.matched_hr_ids.size();
    if (config.min_matched_stars && matched < *config.min_matched_stars)
        return std::unexpected(Error::ThinLock{Error::kThinLockTooFewStars, matched, match_margin, fix.residual_rms_rad});
    if (config.max_residual_rms_rad && fix.residual_rms_rad > *config.max_residual_rms_rad)
        return std::unexpected(
            Error::ThinLock{Error::kThinLockResidualTooHigh, matched, match_margin, fix.residual_rms_rad});

    fix.covariance = refined->covariance;
    fix.ellipse_2sigma_nm = covariance_ellipse_2sigma(refined->covariance);
    fix.n_iterations = refined->n_iterations;
    fix.latitude_deg = refined->lat * kRadToDeg;
    fix.longitude_deg = wrap_longitude(refined->lon) * kRadToDeg;
    fix.attitude = quaternion_xyzw(*rotation);
    return fix;
}

namespace {

// Detection directions, brightest first: `search` for the star pattern,
// `check` (fainter) only to check the identification.
struct Detections {
    std::vector<Vec3> search;
    std::vector<Vec3> check;
};

// A caller's centroids: the brightest max_centroids search, the next ones
// up to checked_detections check.
Detections centroid_detections(std::span<const Centroid> centroids, const Camera& camera,
                               const FixConfig& config) {
    std::vector<Vec3> vectors = ordered_cam_vecs(centroids, camera, checked_detections(config.max_centroids));
    const auto split = static_cast<std::ptrdiff_t>(std::min(vectors.size(), config.max_centroids));
    Detections d;
    d.check.assign(vectors.begin() + split, vectors.end());
    vectors.resize(static_cast<std::size_t>(split));
    d.search = std::move(vectors);
    return d;
}

// An image's detections, already split by detect_stars_and_sun.
Detections image_detections(const StarsAndSun& detected, const Camera& camera, const FixConfig& config) {
    return {ordered_cam_vecs(detected.stars, camera, config.max_centroids),
            ordered_cam_vecs(detected.fainter, camera, detected.fainter.size())};
}

Result<Fix> resolve_from_detections(const Detections& d, std::optional<PixelPosition> sun, const Camera& camera,
                                    const Vec3& up_cam, const Catalog& catalog, const FixConfig& config,
                                    double jd) {
    const double up_length = norm(up_cam);
    if (!std::isfinite(up_cam[0]) || !std::isfinite(up_cam[1]) || !std::isfinite(up_cam[2]) ||
        !std::isfinite(up_length) || up_length < 1e-9)
        return std::unexpected(Error::DegenerateUp{});
    if (d.search.size() < 4) return std::unexpected(Error::InsufficientStars{4, d.search.size()});
    WorkMeter meter(config.cancel);
    auto match = match_stars(d.search, catalog, config.triangle_stars, config.match_tolerance, d.check, &meter);
    if (!match) {
        if (match.error().is<Error::NoMatch>() && meter.budget_spent())
            return std::unexpected(Error::NoMatch{.work_budget_spent = true});
        return std::unexpected(std::move(match.error()));
    }
    return resolve_from_matches(match->correspondences, match->match_margin, d.search, sun, camera, up_cam, catalog,
                                config, jd);
}

// resolve_from_detections with the history consulted and updated; see
// resolve_fix_from_centroids_tracked.
Result<Fix> resolve_from_detections_tracked(const Detections& d, std::optional<PixelPosition> sun,
                                            const Camera& camera, const Vec3& up_cam, const Catalog& catalog,
                                            const FixConfig& config, FixHistory& history, double jd) {
    Result<Fix> untracked = resolve_from_detections(d, sun, camera, up_cam, catalog, config, jd);
    if (untracked) {
        history.record_if_healthy(*untracked, config, jd);
        return untracked;
    }
    const auto* tie = untracked.error().get_if<Error::MatchAmbiguous>();
    const auto& reference = history.reference();
    if (tie == nullptr || !config.max_reference_age_s || !config.max_disambiguation_distance_nm || !reference)
        return untracked;
    const double age_s = std::fabs(jd - reference->jd) * kSecondsPerDay;
    if (!(age_s <= *config.max_reference_age_s)) return untracked;
    // The correspondences index the search list.
    std::optional<Fix> pick = pick_nearer_candidate(*tie, d.search, sun, camera, up_cam, catalog, config, *reference,
                                                    *config.max_disambiguation_distance_nm, jd);
    if (!pick) return untracked;
    history.record_if_healthy(*pick, config, jd);
    return std::move(*pick);
}

Result<Fix> solve_detections(const Detections& d, std::optional<PixelPosition> sun, const Camera& camera,
                             const Vec3& up_cam, const Catalog& catalog, const FixConfig& config, double jd,
                             FixHistory* history) {
    if (history == nullptr) return resolve_from_detections(d, sun, camera, up_cam, catalog, config, jd);
    return resolve_from_detections_tracked(d, sun, camera, up_cam, catalog, config, *history, jd);
}

}  // namespace

Result<Fix> resolve_fix_from_centroids(std::span<const Centroid> centroids, std::optional<PixelPosition> sun,
                                       const Camera& camera, const Vec3& up_cam, const Catalog& catalog,
                                       const FixConfig& config, double jd, FixHistory* history) {
    return solve_detections(centroid_detections(centroids, camera, config), sun, camera, up_cam, catalog, config, jd,
                            history);
}

Result<Fix> resolve_fix_masked(const ImageView& image, std::optional<MaskView> mask, const Camera& camera,
                               const Vec3& up_cam, const Catalog& catalog, const FixConfig& config, double jd,
                               FixHistory* history) {
    auto detected = detect_stars_and_sun(image, mask, config);
    if (!detected) return std::unexpected(std::move(detected.error()));
    return resolve_fix_from_detections(*detected, camera, up_cam, catalog, config, jd, history);
}

Result<Fix> resolve_fix_from_detections(const StarsAndSun& detected, const Camera& camera, const Vec3& up_cam,
                                        const Catalog& catalog, const FixConfig& config, double jd,
                                        FixHistory* history) {
    return solve_detections(image_detections(detected, camera, config), sun_pixel(detected), camera, up_cam, catalog,
                            config, jd, history);
}

Result<void> FixHistory::set_last_known_position(double lat_deg, double lon_deg, double jd) {
    if (!(std::fabs(lat_deg) <= 90.0))
        return std::unexpected(Error::BadPosition{"latitude " + format_float(lat_deg) + " out of range [-90, 90]"});
    if (!(std::fabs(lon_deg) <= 180.0))
        return std::unexpected(
            Error::BadPosition{"longitude " + format_float(lon_deg) + " out of range [-180, 180]"});
    if (!std::isfinite(jd))
        return std::unexpected(Error::BadPosition{"timestamp jd " + format_float(jd) + " is not finite"});
    reference_ = Reference{lat_deg, lon_deg, jd};
    return {};
}

void FixHistory::record_if_healthy(const Fix& fix, const FixConfig& config, double jd) {
    if (config.min_matched_stars && fix.matched_hr_ids.size() < *config.min_matched_stars) return;
    if (config.max_residual_rms_rad && fix.residual_rms_rad > *config.max_residual_rms_rad) return;
    reference_ = Reference{fix.latitude_deg, fix.longitude_deg, jd};
}

std::optional<Fix> pick_nearer_candidate(const Error::MatchAmbiguous& tie, std::span<const Vec3> vectors,
                                         std::optional<PixelPosition> sun, const Camera& camera,
                                         const Vec3& up_cam, const Catalog& catalog, const FixConfig& config,
                                         const FixHistory::Reference& reference, double max_distance_nm,
                                         double jd) {
    auto solve = [&](const Correspondences& correspondences) {
        return resolve_from_matches(correspondences, 0, vectors, sun, camera, up_cam, catalog, config, jd);
    };
    auto distance = [&](const Fix& fix) {
        return great_circle_nm(reference.lat_deg, reference.lon_deg, fix.latitude_deg, fix.longitude_deg);
    };
    Result<Fix> winner = solve(tie.winner);
    Result<Fix> rival = solve(tie.rival);
    Result<Fix>* chosen = nullptr;
    if (winner && rival) chosen = distance(*rival) < distance(*winner) ? &rival : &winner;
    else if (winner) chosen = &winner;
    else if (rival) chosen = &rival;
    if (chosen == nullptr || !(distance(**chosen) <= max_distance_nm)) return std::nullopt;
    return std::move(**chosen);
}

}  // namespace halvane
