// The position fix: from centroids (or an image) to latitude and longitude.
//
// Road: detect star centroids (and optionally the Sun), turn the brightest
// into camera-frame directions, identify them in the catalogue, solve the
// attitude, put the local vertical on the sky for a first position, turn
// each identified star above the altitude cut (and the Sun) into an altitude
// sight, refine by least squares, apply the health gates and reduce the
// covariance to the 2-sigma ellipse.
//
// Tracked solving sits on top: a FixHistory remembers the last healthy fix
// (or a position given from outside), and when a solve comes back
// ambiguous both tied identifications are solved and the one nearer the
// remembered position is kept, within an age and a distance bound.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "catalog.hpp"
#include "centroid.hpp"
#include "correspondence.hpp"
#include "error.hpp"
#include "matcher.hpp"
#include "plate.hpp"
#include "solve.hpp"
#include "vector.hpp"
#include "work.hpp"

namespace halvane {

// Settings every solve carries. Angles in radians.
struct FixConfig {
    std::optional<std::size_t> min_matched_stars;        // health gate
    std::optional<double> max_residual_rms_rad;          // health gate
    std::optional<double> max_reference_age_s;           // tracked solving
    std::optional<double> max_disambiguation_distance_nm;  // tracked solving
    double match_tolerance = kMinMatchTolerance;  // max(4 sigma, 4 arcminutes)
    double min_altitude = 0.2617993877991494;     // 15 degrees: lower stars give no sight
    std::size_t max_centroids = 12;               // brightest detections used
    double sigma_rad = 0.0;                       // star altitude standard deviation
    std::size_t triangle_stars = 12;              // 12 for fisheyes, 5 for a pinhole
    double sun_sigma_rad = 0.0002908882086657216;  // 1 arcminute
    std::size_t sun_min_area = 300;               // pixels
    bool use_sun = false;
    // Asked during detection and identification: true stops detection with
    // Interrupted thrown, identification with NoMatch.
    Cancellation cancel;

    static constexpr double kMinMatchTolerance = 0.0011635528346628863;  // 4 arcminutes
};

// The engine's fix result. Every Fix returned has passed the health gates.
struct Fix {
    std::vector<std::uint32_t> matched_hr_ids;  // stars whose sights were used, detection order
    double latitude_deg = 0.0;                  // north positive
    double longitude_deg = 0.0;                 // east positive, (-180, 180]
    Covariance2 covariance{};                   // var_north, cov_ne, cov_en, var_east (rad^2)
    Ellipse2Sigma ellipse_2sigma_nm{};
    std::size_t n_iterations = 0;               // refinement passes, 1 to 20
    std::array<double, 4> attitude{};           // camera-to-catalogue rotation, quaternion x, y, z, w
    double residual_rms_rad = 0.0;              // altitude residual rms at the fix
    std::size_t match_margin = 0;               // the matcher's vote margin
    bool used_sun = false;                      // a Sun sight entered the refinement
};

// The tracker's remembered reference: empty when made, then one record that
// each write replaces (last write wins). A stale record stays in place; the
// tracked solves only ignore it.
class FixHistory {
public:
    struct Reference {
        double lat_deg = 0.0;  // north positive
        double lon_deg = 0.0;  // east positive
        double jd = 0.0;       // Julian Date (UT) of the solve or of the outside reading
    };

    // An outside position (a satellite-navigation reading, a known launch
    // site) as the reference. Bounds are inclusive. Errors, checked in this
    // order, leave the record as it was: BadPosition "latitude {lat_deg} out
    // of range [-90, 90]" (also for a non-finite latitude), "longitude
    // {lon_deg} out of range [-180, 180]", "timestamp jd {jd} is not finite".
    Result<void> set_last_known_position(double lat_deg, double lon_deg, double jd);

    // Records the fix of a solve made at `jd` unless one of the config's
    // health gates (min_matched_stars, max_residual_rms_rad) refuses it.
    void record_if_healthy(const Fix& fix, const FixConfig& config, double jd);

    const std::optional<Reference>& reference() const noexcept { return reference_; }

private:
    std::optional<Reference> reference_;
};

struct StarsAndSun {
    std::optional<Centroid> sun;    // the solar disc, when asked for and found
    std::vector<Centroid> stars;    // brightest first, without those in the Sun's glare
    std::vector<Centroid> fainter;  // the next detections, likewise: they only check the identification
};

// How many detections a solve looks at in all: the brightest max_centroids
// search for the star pattern, and the fainter ones up to four times as
// many check the identification (saturating).
std::size_t checked_detections(std::size_t max_centroids) noexcept;

// The centroids brightest first: a stable sort by flux, descending under
// IEEE total order (equal fluxes keep their input order).
std::vector<Centroid> brightest_first(std::span<const Centroid> centroids);

// Splits detections already listed brightest first as a solve uses them:
// the first config.max_centroids in `stars`, the next ones up to
// checked_detections(config.max_centroids) in `fainter`. With a sun, it is
// kept and the stars within 4 * sqrt(config.sun_min_area) pixels of its
// centre (its glare) are dropped from both lists.
StarsAndSun split_detections(std::vector<Centroid> brightest, std::optional<Centroid> sun,
                             const FixConfig& config);

// Blob-detects checked_detections(config.max_centroids) stars and, with
// config.use_sun, the solar disc (at least config.sun_min_area pixels),
// split by split_detections. Errors: the blob detector's.
Result<StarsAndSun> detect_stars_and_sun(const ImageView& image, std::optional<MaskView> mask,
                                         const FixConfig& config);

// Camera-frame unit vectors of the brightest max_centroids centroids: a
// stable sort by flux, descending under IEEE total order (equal fluxes keep
// their input order), then the camera's pixel_to_vec.
std::vector<Vec3> ordered_cam_vecs(std::span<const Centroid> centroids, const Camera& camera,
                                   std::size_t max_centroids);

// The fix from identified stars.
//   correspondences: (detection index into `vectors`, catalogue index).
//   sun: pixel of the solar-disc centre, if any. It is used only when the
//        attitude the stars give predicts the Sun within the match
//        tolerance of it (and above min_altitude); otherwise the fix comes
//        from the stars and reports used_sun false.
//   up_cam: local vertical in the camera frame (checked non-degenerate by
//           the caller; normalised here).
//   jd: Julian Date (UT) of the exposure.
// Errors: solve_wahba's; InsufficientStars{3, n} for fewer than 3 sights;
// refine_fix's; NoMatch when the sights fit far worse than their sigmas
// allow (rms of residual / sigma above 3: not the stars they were taken
// for); ThinLock when a health gate refuses.
Result<Fix> resolve_from_matches(const Correspondences& correspondences, std::size_t match_margin,
                                 std::span<const Vec3> vectors, std::optional<PixelPosition> sun,
                                 const Camera& camera, const Vec3& up_cam, const Catalog& catalog,
                                 const FixConfig& config, double jd);

// The fix from centroids: the brightest config.max_centroids search for the
// star pattern, the next ones up to checked_detections(max_centroids) check
// it. DegenerateUp for an up vector with a non-finite component or a length
// below 1e-9 (or non-finite); InsufficientStars{4, n} for fewer than 4
// searching centroids; match_stars' errors (MatchAmbiguous included); then
// resolve_from_matches.
//
// With a history the solve is tracked: a fix is recorded
// (record_if_healthy) and returned with the matcher's own margin. Errors
// other than MatchAmbiguous return unchanged and leave the history alone.
// MatchAmbiguous is broken by pick_nearer_candidate when config carries
// both max_reference_age_s and max_disambiguation_distance_nm and the
// history holds a reference whose age |jd - reference.jd| * 86400 is at
// most max_reference_age_s (NaN: stale; a reference dated after the image
// counts by its absolute age). The pick is recorded and returned with
// match_margin 0. Every way the tie-break declines returns the original
// MatchAmbiguous unchanged.
Result<Fix> resolve_fix_from_centroids(std::span<const Centroid> centroids, std::optional<PixelPosition> sun,
                                       const Camera& camera, const Vec3& up_cam, const Catalog& catalog,
                                       const FixConfig& config, double jd, FixHistory* history = nullptr);

// The fix from an image: detect_stars_and_sun (its error returned
// unchanged), then as resolve_fix_from_detections, tracked with a history.
Result<Fix> resolve_fix_masked(const ImageView& image, std::optional<MaskView> mask, const Camera& camera,
                               const Vec3& up_cam, const Catalog& catalog, const FixConfig& config,
                               double jd, FixHistory* history = nullptr);

// Breaks a tie by position: solves the winner's and the rival's
// correspondences with resolve_from_matches (margin 0) on `vectors` (the
// brightest-first list the correspondences index), and keeps the candidate
// nearer the reference (great-circle nautical miles; an exact tie or an
// unordered comparison keeps the winner; a candidate that fails to solve
// drops out). Gives nothing when neither solves or the kept one lies beyond
// max_distance_nm (inclusive bound); the other is then not tried instead.
std::optional<Fix> pick_nearer_candidate(const Error::MatchAmbiguous& tie, std::span<const Vec3> vectors,
                                         std::optional<PixelPosition> sun, const Camera& camera,
                                         const Vec3& up_cam, const Catalog& catalog, const FixConfig& config,
                                         const FixHistory::Reference& reference, double max_distance_nm,
                                         double jd);

// The fix from detections split as by split_detections: the stars search
// and check as in resolve_fix_from_centroids, the sun's centre (if any)
// goes to resolve_from_matches. With a history, tracked as
// resolve_fix_from_centroids describes. Errors: those of
// resolve_fix_from_centroids.
Result<Fix> resolve_fix_from_detections(const StarsAndSun& detected, const Camera& camera, const Vec3& up_cam,
                                        const Catalog& catalog, const FixConfig& config, double jd,
                                        FixHistory* history = nullptr);

}  // namespace halvane
