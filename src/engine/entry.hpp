// The engine's entry points for the module: one per input kind (an image,
// a caller's centroids, a photo's detections, a frame sequence) and the
// scene renderer. They take the plain camera scalars and options a caller
// passes, build the camera and the fix configuration, and start the fix
// pipeline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "catalog.hpp"
#include "centroid.hpp"
#include "error.hpp"
#include "fix.hpp"
#include "plate.hpp"
#include "synth.hpp"
#include "vector.hpp"
#include "work.hpp"

namespace halvane {

// The lens as the caller describes it (see Camera::from_fov): no
// fisheye_fov_deg for a pinhole; with it, k1..k4 all zero for the ideal
// equidistant fisheye (focal_px unused, derived from the image extent),
// otherwise the calibrated fisheye with focal_px its radial scale.
struct CameraScalars {
    std::optional<double> fisheye_fov_deg;
    double focal_px = 0.0;
    double cx = 0.0;
    double cy = 0.0;
    double k1 = 0.0;
    double k2 = 0.0;
    double k3 = 0.0;
    double k4 = 0.0;
};

// The caller's solve options.
struct SolveOptions {
    std::size_t max_centroids = 12;
    std::optional<std::size_t> min_matched_stars;
    std::optional<double> max_residual_rms_rad;
    bool use_sun = false;
    Cancellation cancel;  // see FixConfig::cancel
};

// The configuration of a solve: sigma_arcmin (absent: the camera's default
// of half a pixel, at least one arcminute) gives the altitude sigma and a
// match tolerance of at least 4 arcminutes; a fisheye triangulates with its
// 12 brightest detections, a pinhole with 5.
FixConfig make_fix_config(const Camera& camera, std::optional<double> sigma_arcmin,
                          bool fisheye, const SolveOptions& options);

// The camera a caller's scalars describe for an image of width x height.
Camera camera_from_scalars(const CameraScalars& lens, std::size_t width, std::size_t height);

// The two bounds of tracked solving, fixed by the tracker that owns the
// history.
struct TrackerBounds {
    double max_reference_age_s = 0.0;             // seconds between reference and image
    double max_disambiguation_distance_nm = 0.0;  // nautical miles from reference to pick
};

// A tracker's history with the bounds it was made with. An entry point
// given one solves tracked (see resolve_fix_from_centroids), with both
// bounds set in its configuration, and records a healthy fix.
struct Tracking {
    FixHistory& history;
    TrackerBounds bounds;
};

// A fix from an image (16-bit, full scale 65535) and optional exclusion
// mask; the ideal fisheye's focal comes from the image extent.
// jd: Julian Date (UT) of the exposure. tracking: none for an untracked
// solve. Errors: those of resolve_fix_masked.
Result<Fix> solve_image(const ImageView& image, std::optional<MaskView> mask, const Vec3& up_cam,
                        const Catalog& catalog, std::optional<double> sigma_arcmin, const CameraScalars& lens,
                        const SolveOptions& options, double jd, const Tracking* tracking = nullptr);

// A fix from the caller's centroids. With no image, the ideal fisheye's
// extent is taken as round(2 cx) by round(2 cy), i.e. a centred principal
// point. Errors: BadImage "use_sun requires the image path" when
// options.use_sun is set (checked first), then those of
// resolve_fix_from_centroids.
Result<Fix> solve_centroids(std::span<const Centroid> centroids, const Vec3& up_cam, const Catalog& catalog,
                            std::optional<double> sigma_arcmin, const CameraScalars& lens,
                            const SolveOptions& options, double jd, const Tracking* tracking = nullptr);

// A fix from the detections of a photo of width x height pixels: the camera
// is the one an image of that extent gets (the ideal fisheye's focal from
// the extent, the principal point as given). sun: the pixel of a solar disc
// found in the photo, used as solve_image uses a detected one (the
// centroids in its glare dropped, the Sun a sight only when the stars'
// attitude agrees). Errors: those of resolve_fix_from_detections.
Result<Fix> solve_photo(std::span<const Centroid> centroids, std::optional<PixelPosition> sun, std::size_t width,
                        std::size_t height, const Vec3& up_cam, const Catalog& catalog,
                        std::optional<double> sigma_arcmin, const CameraScalars& lens, const SolveOptions& options,
                        double jd, const Tracking* tracking = nullptr);

// A fix from a chronological frame sequence of a camera fixed to the
// ground (see resolve_fix_from_frames). The camera's extent is frame 0's,
// or round(2 cx) by round(2 cy) without frames; the temporal test accepts a
// prediction within two pixels at the optical centre (2 / focal radians).
// frames: 16-bit views; times_jd: Julian Date (UT) of each; psf_sigma_px:
// the matched-filter width, finite and in (0, 64]. Errors: BadImage
// "use_sun requires the single-image resolve_fix path" when options.use_sun
// is set (checked first), then those of resolve_fix_from_frames.
Result<Fix> solve_frames(std::span<const ImageView> frames, std::span<const double> times_jd, const Vec3& up_cam,
                         const Catalog& catalog, std::optional<double> sigma_arcmin, const CameraScalars& lens,
                         const SolveOptions& options, double psf_sigma_px);

// A synthetic scene as the caller asks for it. The lens follows the rules
// of CameraScalars with the principal point at the image centre (lens.cx
// and lens.cy are unused); the ideal fisheye's focal fills the shorter side.
struct SceneRequest {
    std::size_t width = 0;  // pixels
    std::size_t height = 0;
    std::uint64_t seed = 0;
    CameraScalars lens;  // no fisheye_fov_deg: pinhole
    std::uint32_t bit_depth = 16;
    double lat_deg = 0.0;
    double lon_deg = 0.0;
    double jd_ut = 0.0;
    double roll_deg = 0.0;
    float mag_limit = 6.5f;
    double pixel_noise_arcmin = 0.0;  // star position noise, arcminutes
    double up_noise_arcmin = 0.0;
    double background_noise = 0.0;
    Cancellation cancel;  // see SceneParams::cancel
};

// Renders the scene a request describes (see synthesize_scene): star
// position noise turned from arcminutes into pixels with the camera's focal
// (the derived one for the ideal fisheye); a fisheye (ideal or calibrated)
// looks straight up, a pinhole at pick_rich_boresight's choice, made before
// the request is validated. Errors: those of synthesize_scene.
Result<Scene> render_scene(const Catalog& catalog, const SceneRequest& request);

}  // namespace halvane
