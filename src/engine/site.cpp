#include "site.hpp"

#include <cmath>

#include "numeric.hpp"

namespace halvane {

Camera camera_from_scalars(const CameraScalars& lens, std::size_t width, std::size_t height) {
    return Camera::from_fov(width, height, lens.fisheye_fov_deg, lens.focal_px, lens.cx, lens.cy, lens.k1,
                            lens.k2, lens.k3, lens.k4);
}

FixConfig make_fix_config(const Camera& camera, std::optional<double> sigma_arcmin, bool fisheye,
                          const SolveOptions& options) {
    FixConfig config;
    const double sigma = sigma_arcmin.value_or(camera.default_sigma_arcmin());
    config.sigma_rad = sigma / 60.0 * kDegToRad;
    config.match_tolerance = max_ignoring_nan(4.0 * config.sigma_rad, FixConfig::kMinMatchTolerance);
    config.triangle_stars = fisheye ? 12 : 5;
    config.max_centroids = options.max_centroids;
    config.min_matched_stars = options.min_matched_stars;
    config.max_residual_rms_rad = options.max_residual_rms_rad;
    config.use_sun = options.use_sun;
    return config;
}

Result<Fix> resolve_fix_masked_at_site(const ImageView& image, std::optional<MaskView> mask,
                                       const Vec3& up_cam, const Catalog& catalog,
                                       std::optional<double> sigma_arcmin, const CameraScalars& lens,
                                       const SolveOptions& options, double jd) {
    const Camera camera = camera_from_scalars(lens, image.width, image.height);
    const FixConfig config = make_fix_config(camera, sigma_arcmin, lens.fisheye_fov_deg.has_value(), options);
    return resolve_fix_masked(image, mask, camera, up_cam, catalog, config, jd);
}

Result<Fix> resolve_from_centroids_at_site(std::span<const Centroid> centroids, const Vec3& up_cam,
                                           const Catalog& catalog, std::optional<double> sigma_arcmin,
                                           const CameraScalars& lens, const SolveOptions& options,
                                           double jd) {
    if (options.use_sun) return std::unexpected(Error::BadImage{"use_sun requires the image path"});
    const auto width = saturating_cast<std::size_t>(std::round(2.0 * lens.cx));
    const auto height = saturating_cast<std::size_t>(std::round(2.0 * lens.cy));
    const Camera camera = camera_from_scalars(lens, width, height);
    const FixConfig config = make_fix_config(camera, sigma_arcmin, lens.fisheye_fov_deg.has_value(), options);
    return resolve_fix_from_centroids(centroids, std::nullopt, camera, up_cam, catalog, config, jd);
}

}  // namespace halvane
