#include "entry.hpp"

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

// The solve's configuration, with the tracker's bounds when there is one.
FixConfig solve_config(const Camera& camera, std::optional<double> sigma_arcmin, const CameraScalars& lens,
                       const SolveOptions& options, const Tracking* tracking) {
    FixConfig config = make_fix_config(camera, sigma_arcmin, lens.fisheye_fov_deg.has_value(), options);
    if (tracking != nullptr) {
        config.max_reference_age_s = tracking->bounds.max_reference_age_s;
        config.max_disambiguation_distance_nm = tracking->bounds.max_disambiguation_distance_nm;
    }
    return config;
}

FixHistory* history_of(const Tracking* tracking) { return tracking != nullptr ? &tracking->history : nullptr; }

}  // namespace

Result<Fix> solve_image(const ImageView& image, std::optional<MaskView> mask, const Vec3& up_cam,
                        const Catalog& catalog, std::optional<double> sigma_arcmin, const CameraScalars& lens,
                        const SolveOptions& options, double jd, const Tracking* tracking) {
    const Camera camera = camera_from_scalars(lens, image.width, image.height);
    const FixConfig config = solve_config(camera, sigma_arcmin, lens, options, tracking);
    return resolve_fix_masked(image, mask, camera, up_cam, catalog, config, jd, history_of(tracking));
}

Result<Fix> solve_centroids(std::span<const Centroid> centroids, const Vec3& up_cam, const Catalog& catalog,
                            std::optional<double> sigma_arcmin, const CameraScalars& lens,
                            const SolveOptions& options, double jd, const Tracking* tracking) {
    // The Sun is found only in an image.
    if (options.use_sun) return std::unexpected(Error::BadImage{"use_sun requires the image path"});
    const Camera camera = centroid_camera(lens);
    const FixConfig config = solve_config(camera, sigma_arcmin, lens, options, tracking);
    return resolve_fix_from_centroids(centroids, std::nullopt, camera, up_cam, catalog, config, jd,
                                      history_of(tracking));
}

Result<Fix> solve_photo(std::span<const Centroid> centroids, std::optional<PixelPosition> sun, std::size_t width,
                        std::size_t height, const Vec3& up_cam, const Catalog& catalog,
                        std::optional<double> sigma_arcmin, const CameraScalars& lens, const SolveOptions& options,
                        double jd, const Tracking* tracking) {
    const Camera camera = camera_from_scalars(lens, width, height);
    const FixConfig config = solve_config(camera, sigma_arcmin, lens, options, tracking);
    const std::optional<Centroid> disc = sun ? std::optional(Centroid{sun->x, sun->y, 0.0}) : std::nullopt;
    const StarsAndSun detected = split_detections(brightest_first(centroids), disc, config);
    return resolve_fix_from_detections(detected, camera, up_cam, catalog, config, jd, history_of(tracking));
}

Result<Fix> solve_frames(std::span<const ImageView> frames, std::span<const double> times_jd, const Vec3& up_cam,
                         const Catalog& catalog, std::optional<double> sigma_arcmin, const CameraScalars& lens,
                         const SolveOptions& options, double psf_sigma_px) {
    if (options.use_sun)
        return std::unexpected(Error::BadImage{"use_sun requires the single-image resolve_fix path"});
    const Camera camera =
        frames.empty() ? centroid_camera(lens) : camera_from_scalars(lens, frames[0].width, frames[0].height);
    // Two pixels at the optical centre.
    const double tolerance = 2.0 / camera.focal;
    const FixConfig config = solve_config(camera, sigma_arcmin, lens, options, nullptr);
    return resolve_fix_from_frames(frames, times_jd, camera, up_cam, catalog, config, psf_sigma_px, tolerance);
}

Result<Scene> render_scene(const Catalog& catalog, const SceneRequest& request) {
    CameraScalars lens = request.lens;
    lens.cx = static_cast<double>(request.width) * 0.5;
    lens.cy = static_cast<double>(request.height) * 0.5;
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
    params.cancel = request.cancel;
    const double lat = request.lat_deg * kDegToRad;
    const double lon = request.lon_deg * kDegToRad;
    const Boresight boresight =
        lens.fisheye_fov_deg ? Boresight{90.0, 0.0}
                             : pick_rich_boresight(catalog, camera, request.width, request.height, lat, lon,
                                                   request.jd_ut);
    return synthesize_scene(catalog, params, lat, lon, request.jd_ut, boresight.alt_deg, boresight.az_deg,
                            request.roll_deg);
}

}  // namespace halvane
