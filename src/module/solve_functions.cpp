// resolve_fix and resolve_from_centroids: the everyday entry points.
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "binder.hpp"
#include "camera.hpp"
#include "catalog.hpp"
#include "convert.hpp"
#include "fix.hpp"
#include "module.hpp"
#include "numeric.hpp"
#include "site.hpp"

namespace halvane::py {

namespace {

// Arcminutes to radians, as every angular option of a solve is converted.
double arcmin_to_rad(double arcmin) { return arcmin / 60.0 * kDegToRad; }

SolveOptions solve_options(std::optional<std::uint64_t> max_centroids,
                           std::optional<std::uint64_t> min_matched_stars,
                           std::optional<double> max_residual_rms_arcmin, bool use_sun) {
    SolveOptions options;
    options.max_centroids = max_centroids.value_or(12);
    if (min_matched_stars) options.min_matched_stars = *min_matched_stars;
    if (max_residual_rms_arcmin) options.max_residual_rms_rad = arcmin_to_rad(*max_residual_rms_arcmin);
    options.use_sun = use_sun;
    return options;
}

PyObject* resolve_fix_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature<18> kSig{
        "resolve_fix",
        {{{"image"}, {"focal_px"}, {"cx"}, {"cy"}, {"up_cam"}, {"utc"}, {"catalog"},
          {"sigma_arcmin", kOptional}, {"fisheye_fov_deg", kOptional}, {"k1", kOptional}, {"k2", kOptional},
          {"k3", kOptional}, {"k4", kOptional}, {"use_sun", kOptional}, {"max_centroids", kOptional},
          {"min_matched_stars", kOptional}, {"max_residual_rms_arcmin", kOptional}, {"mask", kOptional}}}};
    PyObject* image = nullptr;
    std::optional<double> focal_px, sigma_arcmin, fisheye_fov_deg, max_residual_rms_arcmin;
    CameraScalars lens;
    std::array<double, 3> up_cam{};
    PyObject* utc = nullptr;
    const Catalog* catalog = nullptr;
    bool use_sun = false;
    std::optional<std::uint64_t> max_centroids, min_matched_stars;
    PyObject* mask = Py_None;
    if (!bind(kSig, args, kwargs, image, focal_px, lens.cx, lens.cy, up_cam, utc, catalog, sigma_arcmin,
              fisheye_fov_deg, lens.k1, lens.k2, lens.k3, lens.k4, use_sun, max_centroids, min_matched_stars,
              max_residual_rms_arcmin, mask))
        return nullptr;

    lens.fisheye_fov_deg = fisheye_fov_deg;
    if (!focal_for_projection(focal_px, fisheye_fov_deg.has_value(), lens.k1, lens.k2, lens.k3, lens.k4,
                              lens.focal_px))
        return nullptr;
    OwnedImage pixels;
    if (!extract_u16_image(image, pixels)) return nullptr;
    double jd = 0.0;
    if (!utc_to_jd(utc, jd) || !check_solve_limits(sigma_arcmin, max_residual_rms_arcmin)) return nullptr;
    const SolveOptions options = solve_options(max_centroids, min_matched_stars, max_residual_rms_arcmin, use_sun);
    std::optional<OwnedMask> flags;
    if (!extract_optional_mask(mask, flags)) return nullptr;
    const std::optional<MaskView> mask_view = flags ? std::optional(flags->view()) : std::nullopt;
    return fix_or_error(resolve_fix_masked_at_site(pixels.view(), mask_view, up_cam, *catalog, sigma_arcmin,
                                                   lens, options, jd));
}

PyObject* resolve_from_centroids_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature<16> kSig{
        "resolve_from_centroids",
        {{{"centroids"}, {"focal_px"}, {"cx"}, {"cy"}, {"up_cam"}, {"utc"}, {"catalog"},
          {"sigma_arcmin", kOptional}, {"fisheye_fov_deg", kOptional}, {"k1", kOptional}, {"k2", kOptional},
          {"k3", kOptional}, {"k4", kOptional}, {"max_centroids", kOptional}, {"min_matched_stars", kOptional},
          {"max_residual_rms_arcmin", kOptional}}}};
    std::vector<Centroid> centroids;
    std::optional<double> focal_px, sigma_arcmin, fisheye_fov_deg, max_residual_rms_arcmin;
    CameraScalars lens;
    std::array<double, 3> up_cam{};
    PyObject* utc = nullptr;
    const Catalog* catalog = nullptr;
    std::optional<std::uint64_t> max_centroids, min_matched_stars;
    if (!bind(kSig, args, kwargs, centroids, focal_px, lens.cx, lens.cy, up_cam, utc, catalog, sigma_arcmin,
              fisheye_fov_deg, lens.k1, lens.k2, lens.k3, lens.k4, max_centroids, min_matched_stars,
              max_residual_rms_arcmin))
        return nullptr;

    lens.fisheye_fov_deg = fisheye_fov_deg;
    if (!focal_for_projection(focal_px, fisheye_fov_deg.has_value(), lens.k1, lens.k2, lens.k3, lens.k4,
                              lens.focal_px))
        return nullptr;
    double jd = 0.0;
    if (!utc_to_jd(utc, jd) || !check_solve_limits(sigma_arcmin, max_residual_rms_arcmin)) return nullptr;
    const SolveOptions options = solve_options(max_centroids, min_matched_stars, max_residual_rms_arcmin, false);
    return fix_or_error(
        resolve_from_centroids_at_site(centroids, up_cam, *catalog, sigma_arcmin, lens, options, jd));
}

constexpr const char* kCameraRules =
    "Camera: with fisheye_fov_deg=None the lens is a pinhole of focal length focal_px\n"
    "(pixels). With fisheye_fov_deg set (the full field of view, degrees) and k1..k4\n"
    "all 0 it is the ideal equidistant fisheye, whose focal length fills the shorter\n"
    "image dimension: pass focal_px=None. With any k non-zero it is a calibrated\n"
    "fisheye, r_px = focal_px * (t + k1 t^3 + k2 t^5 + k3 t^7 + k4 t^9) for a ray t\n"
    "radians off the axis, with focal_px the real radial scale and cx, cy (pixels)\n"
    "the real optical centre.\n\n";

constexpr const char* kCommonArguments =
    "up_cam: the local vertical (towards the zenith) in the camera frame (x right,\n"
    "y down, z along the optical axis); it need not be unit length.\n"
    "utc: the exposure time, a (year, month, day, hour, minute, second) tuple in UTC\n"
    "or a timezone-aware datetime.datetime; a naive datetime is refused.\n"
    "catalog: a halvane.Catalog.\n"
    "sigma_arcmin: standard deviation of a star's measured direction, arcminutes;\n"
    "None gives half a pixel, at least one arcminute (see Camera.default_sigma_arcmin).\n"
    "The match tolerance is four sigma, at least 4 arcminutes.\n"
    "max_centroids: how many of the brightest detections are used (None: 12).\n"
    "min_matched_stars, max_residual_rms_arcmin: optional health gates; a fix that\n"
    "fails one raises HalvaneError with a \"thin lock\" message.\n\n"
    "Returns a halvane.Fix. Raises HalvaneError with the reason when no fix can be\n"
    "made, for example \"no star pattern match found\" or an ambiguous star pattern\n"
    "(this function never breaks such a tie; FixTracker does).";

}  // namespace

PyMethodDef resolve_fix_def = method_def<resolve_fix_impl>(
    "resolve_fix",
    [] {
        static const std::string doc =
            std::string(
                "resolve_fix(image, focal_px, cx, cy, up_cam, utc, catalog, sigma_arcmin=None, "
                "fisheye_fov_deg=None, k1=0.0, k2=0.0, k3=0.0, k4=0.0, use_sun=False, max_centroids=None, "
                "min_matched_stars=None, max_residual_rms_arcmin=None, mask=None)\n--\n\n"
                "Latitude and longitude from a photograph of the night sky.\n\n"
                "image: a 2-D C-contiguous uint16 (full scale 65535) or uint8 NumPy array.\n"
                "mask: optional 2-D bool array of the image's shape, True where the pixel is\n"
                "not sky (a tree, a roof). It reaches both detectors, so the obstruction gives\n"
                "no star centroid, no solar disc and no background sample; a mask of another\n"
                "shape is refused.\n"
                "use_sun: also find the Sun's disc and use it as one more sight (only when it\n"
                "stands at least 15 degrees high; Fix.used_sun tells).\n\n") +
            kCameraRules + kCommonArguments;
        return doc.c_str();
    }());

PyMethodDef resolve_from_centroids_def = method_def<resolve_from_centroids_impl>(
    "resolve_from_centroids",
    [] {
        static const std::string doc =
            std::string(
                "resolve_from_centroids(centroids, focal_px, cx, cy, up_cam, utc, catalog, sigma_arcmin=None, "
                "fisheye_fov_deg=None, k1=0.0, k2=0.0, k3=0.0, k4=0.0, max_centroids=None, "
                "min_matched_stars=None, max_residual_rms_arcmin=None)\n--\n\n"
                "Latitude and longitude from star centroids found by the caller's own detector.\n\n"
                "centroids: a sequence of (x, y, flux) triples, pixel coordinates in the camera\n"
                "model below; they are ordered brightest first by flux before the list is cut\n"
                "to max_centroids. use_sun is not available: the Sun is found only in an image.\n"
                "For the ideal fisheye the image extent is taken as 2 * cx by 2 * cy, assuming\n"
                "a centred principal point: an off-centre cx, cy in that mode misplaces the\n"
                "focal length silently.\n\n") +
            kCameraRules + kCommonArguments;
        return doc.c_str();
    }());

}  // namespace halvane::py
