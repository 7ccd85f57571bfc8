#include "site.hpp"

#include <cmath>

#include "numeric.hpp"
#include "temporal.hpp"

namespace halvane {

Camera camera_from_scalars(const CameraScalars& lens, std::size_t width, std::size_t height) {
    return Camera::from_fov(width, height, lens.fisheye_fov_deg, lens.focal_px, lens.cx, lens.cy, lens.k1,
                            lens.k2, lens.k3, lens.k4);
}

FixConfig make_fix_config(const Camera& camera, std::optional<double> sigma_arcmin, bool fisheye,
                          const SolveOptions& options) {
    FixConfig config;
    const double sigma = sigma_arcmin.value_or(camera.default_sigma_arcmin());
    config.sigma_rad = arcmin_to_rad(sigma);
    config.match_tolerance = max_ignoring_nan(4.0 * config.sigma_rad, FixConfig::kMinMatchTolerance);
    config.triangle_stars = fisheye ? 12 : 5;
    config.max_centroids = options.max_centroids;
    config.min_matched_stars = options.min_matched_stars;
    config.max_residual_rms_rad = options.max_residual_rms_rad;
    config.use_sun = options.use_sun;
    config.cancel = options.cancel;
    return config;
}

namespace {

// With no image, the ideal fisheye's extent comes from a centred principal point.
Camera centroid_camera(const CameraScalars& lens) {
    const auto width = saturating_cast<std::size_t>(std::round(2.0 * lens.cx));
    const auto height = saturating_cast<std::size_t>(std::round(2.0 * lens.cy));
    return camera_from_scalars(lens, width, height);
}

FixConfig tracked_config(FixConfig config, const TrackerBounds& bounds) {
    config.max_reference_age_s = bounds.max_reference_age_s;
    config.max_disambiguation_distance_nm = bounds.max_disambiguation_distance_nm;
    return config;
}

// The Sun is found only in an image.
Error centroid_sun_refusal() { return Error::BadImage{"use_sun requires the image path"}; }

FixConfig lens_config(const Camera& camera, std::optional<double> sigma_arcmin, const CameraScalars& lens,
                      const SolveOptions& options) {
    return make_fix_config(camera, sigma_arcmin, lens.fisheye_fov_deg.has_value(), options);
}

}  // namespace

Result<Fix> resolve_fix_masked_at_site(const ImageView& image, std::optional<MaskView> mask,
                                       const Vec3& up_cam, const Catalog& catalog,
                                       std::optional<double> sigma_arcmin, const CameraScalars& lens,
                                       const SolveOptions& options, double jd) {
    const Camera camera = camera_from_scalars(lens, image.width, image.height);
    const FixConfig config = lens_config(camera, sigma_arcmin, lens, options);
    return resolve_fix_masked(image, mask, camera, up_cam, catalog, config, jd);
}

Result<Fix> resolve_from_centroids_at_site(std::span<const Centroid> centroids, const Vec3& up_cam,
                                           const Catalog& catalog, std::optional<double> sigma_arcmin,
                                           const CameraScalars& lens, const SolveOptions& options,
                                           double jd) {
    if (options.use_sun) return std::unexpected(centroid_sun_refusal());
    const Camera camera = centroid_camera(lens);
    const FixConfig config = lens_config(camera, sigma_arcmin, lens, options);
    return resolve_fix_from_centroids(centroids, std::nullopt, camera, up_cam, catalog, config, jd);
}

Result<Fix> resolve_fix_masked_at_site_tracked(const ImageView& image, std::optional<MaskView> mask,
                                               const Vec3& up_cam, const Catalog& catalog,
                                               std::optional<double> sigma_arcmin, const CameraScalars& lens,
                                               const SolveOptions& options, FixHistory& history,
                                               const TrackerBounds& bounds, double jd) {
    const Camera camera = camera_from_scalars(lens, image.width, image.height);
    const FixConfig config = tracked_config(lens_config(camera, sigma_arcmin, lens, options), bounds);
    return resolve_fix_masked_tracked(image, mask, camera, up_cam, catalog, config, history, jd);
}

Result<Fix> resolve_from_centroids_at_site_tracked(std::span<const Centroid> centroids, const Vec3& up_cam,
                                                   const Catalog& catalog, std::optional<double> sigma_arcmin,
                                                   const CameraScalars& lens, const SolveOptions& options,
                                                   FixHistory& history, const TrackerBounds& bounds,
                                                   double jd) {
    if (options.use_sun) return std::unexpected(centroid_sun_refusal());
    const Camera camera = centroid_camera(lens);
    const FixConfig config = tracked_config(lens_config(camera, sigma_arcmin, lens, options), bounds);
    return resolve_fix_from_centroids_tracked(centroids, std::nullopt, camera, up_cam, catalog, config, history,
                                              jd);
}

Result<Fix> resolve_photo_at_site(std::span<const Centroid> centroids, std::optional<PixelPosition> sun,
                                  std::size_t width, std::size_t height, const Vec3& up_cam, const Catalog& catalog,
                                  std::optional<double> sigma_arcmin, const CameraScalars& lens,
                                  const SolveOptions& options, const Tracking* tracking, double jd) {
    const Camera camera = camera_from_scalars(lens, width, height);
    FixConfig config = lens_config(camera, sigma_arcmin, lens, options);
    if (tracking != nullptr) config = tracked_config(config, tracking->bounds);
    const std::optional<Centroid> disc = sun ? std::optional(Centroid{sun->x, sun->y, 0.0}) : std::nullopt;
    const StarsAndSun detected = split_detections(brightest_first(centroids), disc, config);
    return resolve_fix_from_detections(detected, camera, up_cam, catalog, config, jd,
                                       tracking != nullptr ? &tracking->history : nullptr);
}

Result<Scene> synthesize_scene_at_site(const Catalog& catalog, const SceneRequest& request) {
    const CameraScalars lens{request.fisheye_fov_deg,
                             request.focal_px,
                             static_cast<double>(request.width) * 0.5,
                             static_cast<double>(request.height) * 0.5,
                             request.k1,
                             request.k2,
                             request.k3,
                             request.k4};
    const Camera camera = camera_from_scalars(lens, request.width, request.height);
    SceneParams params;
    params.camera = camera;
    params.width = request.width;
    params.height = request.height;
    params.background_noise = request.background_noise;
    params.pixel_noise_px = arcmin_to_rad(request.pixel_noise_arcmin) * camera.focal;
    params.up_noise_arcmin = request.up_noise_arcmin;
    params.seed = request.seed;
    params.mag_limit = request.mag_limit;
    params.bit_depth = request.bit_depth;
    const double lat = request.lat_deg * kDegToRad;
    const double lon = request.lon_deg * kDegToRad;
    const Boresight boresight =
        request.fisheye_fov_deg ? Boresight{90.0, 0.0}
                                : pick_rich_boresight(catalog, camera, request.width, request.height, lat, lon,
                                                      request.jd_ut);
    return synthesize_scene(catalog, params, lat, lon, request.jd_ut, boresight.alt_deg, boresight.az_deg,
                            request.roll_deg);
}

Result<Fix> resolve_from_frames_at_site(std::span<const ImageView> frames, std::span<const double> times_jd,
                                        const Vec3& up_cam, const Catalog& catalog,
                                        std::optional<double> sigma_arcmin, const CameraScalars& lens,
                                        const SolveOptions& options, double psf_sigma_px) {
    if (options.use_sun)
        return std::unexpected(Error::BadImage{"use_sun requires the single-image resolve_fix path"});
    const Camera camera =
        frames.empty() ? centroid_camera(lens) : camera_from_scalars(lens, frames[0].width, frames[0].height);
    // Two pixels at the optical centre.
    const double tolerance = 2.0 / camera.focal;
    const FixConfig config = lens_config(camera, sigma_arcmin, lens, options);
    return resolve_fix_from_frames(frames, times_jd, camera, up_cam, catalog, config, psf_sigma_px, tolerance);
}

}  // namespace halvane
