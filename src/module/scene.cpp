// halvane.Scene and synthesize_scene: synthetic sky images with the ground
// truth needed to solve and check them.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "arrays.hpp"
#include "binder.hpp"
#include "entry.hpp"
#include "module.hpp"
#include "numeric.hpp"
#include "py_camera.hpp"
#include "py_catalog.hpp"
#include "py_fix.hpp"
#include "pyclass.hpp"
#include "synth.hpp"

namespace halvane::py {

namespace {

// What a halvane.Scene holds: the engine's record and the image extent its
// pixels are laid out in.
struct SceneRecord {
    Scene scene;
    std::size_t width = 0;
    std::size_t height = 0;
};

PyObject* pixels_get(const SceneRecord& record) {
    // A fresh array on every read, so that no caller can change the scene.
    const auto& pixels = record.scene.pixels;
    return new_array({static_cast<Py_ssize_t>(record.height), static_cast<Py_ssize_t>(record.width)}, "uint16",
                     pixels.data(), pixels.size() * sizeof(std::uint16_t));
}

PyObject* up_cam_get(const SceneRecord& record) {
    const Vec3& u = record.scene.up_cam;
    return Py_BuildValue("(ddd)", u[0], u[1], u[2]);
}

PyObject* star_pixels_get(const SceneRecord& record) {
    return new_list(record.scene.star_pixels, [](const auto& star) { return Py_BuildValue("(dd)", star.x, star.y); });
}

PyObject* rendered_hr_ids_get(const SceneRecord& record) { return hr_id_list(record.scene.rendered_hr_ids); }

PyObject* boresight_az_get(const SceneRecord& record) { return PyFloat_FromDouble(record.scene.boresight_az_deg); }
PyObject* boresight_alt_get(const SceneRecord& record) {
    return PyFloat_FromDouble(record.scene.boresight_alt_deg);
}

PyGetSetDef kGetters[] = {
    {"pixels", getter<SceneRecord, pixels_get>, nullptr,
     "Grey image as a new uint16 array of shape (height, width), row-major, full scale 65535;\n"
     "ready for resolve_fix or detect_centroids. Every read returns a fresh copy.",
     nullptr},
    {"up_cam", getter<SceneRecord, up_cam_get>, nullptr,
     "Local vertical as a unit vector (x, y, z) in the camera frame (x right, y down, z along\n"
     "the boresight), including the requested tilt noise.",
     nullptr},
    {"star_pixels", getter<SceneRecord, star_pixels_get>, nullptr,
     "Pixel centres (x, y) of the stamped stars, position noise included, in the order of\n"
     "rendered_hr_ids.",
     nullptr},
    {"rendered_hr_ids", getter<SceneRecord, rendered_hr_ids_get>, nullptr,
     "HR numbers of the stamped stars, brightest first.", nullptr},
    {"boresight_az_deg", getter<SceneRecord, boresight_az_get>, nullptr,
     "Azimuth of the optical axis, degrees from north through east.", nullptr},
    {"boresight_alt_deg", getter<SceneRecord, boresight_alt_get>, nullptr, "Altitude of the optical axis, degrees.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr auto kSynthesizeSceneSig =
    signature("synthesize_scene",
              std::to_array<Param>({{"catalog"}, {"lat_deg"}, {"lon_deg"}, {"jd_ut"}, {"roll_deg"}, {"width"},
                                    {"height"}, {"focal_px"}, {"mag_limit"}, {"pixel_noise_arcmin"},
                                    {"up_noise_arcmin"}, {"background_noise"}, {"seed"}}),
              kLensProjectionParams, std::to_array<Param>({{"bit_depth", "16"}}));

PyObject* synthesize_scene_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    const Catalog* catalog = nullptr;
    SceneRequest request;
    std::uint64_t width = 0, height = 0;
    LensArguments lens;
    double mag_limit = 0.0;
    if (!bind<kSynthesizeSceneSig>(
            args, kwargs, arg<"catalog">(catalog), arg<"lat_deg">(request.lat_deg), arg<"lon_deg">(request.lon_deg),
            arg<"jd_ut">(request.jd_ut), arg<"roll_deg">(request.roll_deg), arg<"width">(width),
            arg<"height">(height), lens.optics_slots(), arg<"mag_limit">(mag_limit),
            arg<"pixel_noise_arcmin">(request.pixel_noise_arcmin), arg<"up_noise_arcmin">(request.up_noise_arcmin),
            arg<"background_noise">(request.background_noise), arg<"seed">(request.seed),
            arg<"bit_depth">(request.bit_depth)))
        return nullptr;
    if (!lens.scalars(request.lens)) return nullptr;
    request.width = width;
    request.height = height;
    // The renderer compares magnitudes in single precision, as the catalogue
    // stores them; out-of-range values round to an infinity.
    request.mag_limit = static_cast<float>(mag_limit);
    request.cancel = interrupt_on_signal();
    auto scene = render_scene(*catalog, request);
    if (!scene) return to_py_err(scene.error());
    return wrap(SceneRecord{std::move(*scene), request.width, request.height});
}

PyMethodDef synthesize_scene_def = method_def<synthesize_scene_impl, kSynthesizeSceneSig>(
    R"(Synthesise the sky seen from (lat_deg, lon_deg) at jd_ut (Julian Date, UT) and return it
as a Scene: the grey image plus its ground truth. All angles are in degrees.

With fisheye_fov_deg=None the camera is a pinhole with the given focal_px, aimed by
pick_rich_boresight at the grid direction whose field holds the most bright stars.
With a field of view and k1..k4 all 0 it is the ideal equidistant fisheye, whose focal
length fills the shorter image dimension (pass focal_px=None); with non-zero k1..k4
the calibrated fisheye with radial scale focal_px. A fisheye looks straight up
(altitude 90, azimuth 0). The principal point is the image centre; roll_deg turns
the camera about its axis.

Stars no fainter than mag_limit are stamped as Gaussians; pixel_noise_arcmin (their
position noise) is converted to pixels via focal x radians(arcmin / 60);
background_noise is the per-pixel noise sigma in pixel units; up_noise_arcmin tilts
the reported up_cam. bit_depth (default 16) sets the output quantisation, snapping the
rendered 0..65535 range to (1 << bit_depth) - 1 levels as an N-bit converter would
(8 for an 8-bit sensor, 12 for 12-bit); 16 is the identity, and values outside 1..16
raise HalvaneError. The same arguments and seed always give the same scene.)");

PyObject* make_scene_type(PyObject*) {
    return create_class<SceneRecord>(
         "halvane.Scene",
        {"A synthesised scene: the grey image plus the ground-truth metadata a\n"
         "consumer needs to solve and verify it. Made by synthesize_scene;\n"
         "immutable.",
         nullptr, kGetters});
}

const MemberType kStubTypes[] = {
    {"npt.NDArray[np.uint16]", "pixels"},
    {"tuple[float, float, float]", "up_cam"},
    {"list[tuple[float, float]]", "star_pixels"},
    {"list[int]", "rendered_hr_ids"},
    {"float", "boresight_az_deg boresight_alt_deg"},
};

}  // namespace

HALVANE_REGISTRATIONS(scene_registrations, exported_class(5, make_scene_type, kStubTypes),
                                           exported_function(14, synthesize_scene_def, "Scene"))

}  // namespace halvane::py
