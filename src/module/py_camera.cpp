// halvane.Camera: the engine's lens model, for predicting star positions
// and drawing overlays with exactly the projection the solver uses.
#include "py_camera.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "binder.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "numeric.hpp"
#include "plate.hpp"
#include "pyclass.hpp"

namespace halvane::py {

namespace {

constexpr const char* kCalibratedNeedsFocal =
    "focal_px is required for a calibrated fisheye (a non-zero k1..k4): it is the lens's real radial scale, "
    "which no image dimension can supply";

constexpr const char* kBadDirections =
    "v must be three floats (one camera-frame direction) or an (N, 3) array of them";

bool focal_for_projection(std::optional<double> focal_px, bool fisheye, double k1, double k2, double k3,
                          double k4, double& focal) {
    if (!fisheye) {
        if (!focal_px) {
            raise_halvane_error(
                "focal_px is required for the pinhole camera (fisheye_fov_deg=None); focal_px=None is only "
                "meaningful for the ideal equidistant fisheye");
            return false;
        }
        focal = *focal_px;
        return true;
    }
    const bool calibrated = !(k1 == 0.0 && k2 == 0.0 && k3 == 0.0 && k4 == 0.0);
    if (calibrated) {
        if (!focal_px) {
            raise_halvane_error(kCalibratedNeedsFocal);
            return false;
        }
        focal = *focal_px;
        return true;
    }
    if (focal_px) {
        raise_halvane_error(
            "focal_px is ignored for the ideal equidistant fisheye (fisheye_fov_deg set with k1..k4 all zero), "
            "whose focal length fills the shorter image dimension: pass focal_px=None, or pass the calibrated "
            "k1..k4 that make focal_px the real radial scale");
        return false;
    }
    focal = 0.0;
    return true;
}

}  // namespace

bool LensArguments::scalars(CameraScalars& out) const {
    out.fisheye_fov_deg = fisheye_fov_deg;
    out.cx = cx;
    out.cy = cy;
    out.k1 = k1;
    out.k2 = k2;
    out.k3 = k3;
    out.k4 = k4;
    return focal_for_projection(focal_px, fisheye_fov_deg.has_value(), k1, k2, k3, k4, out.focal_px);
}

bool derived_extent(const char* name, const char* centre_name, double centre, std::size_t& extent) {
    if (centre > 0.0) {
        extent = saturating_cast<std::size_t>(std::round(2.0 * centre));
        return true;
    }
    raise_halvane_error(std::string(name) + " defaults to 2 * " + centre_name + ", so " + centre_name +
                        " must be positive (got " + format_float(centre) + "); pass " + name +
                        " explicitly for an off-centre principal point");
    return false;
}

bool check_solve_limits(std::optional<double> sigma_arcmin, std::optional<double> max_residual_rms_arcmin) {
    if (sigma_arcmin && !(std::isfinite(*sigma_arcmin) && *sigma_arcmin > 0.0)) {
        raise_halvane_error("sigma_arcmin must be finite and greater than 0 arcminutes (got " +
                            format_float(*sigma_arcmin) + "); None takes half a pixel");
        return false;
    }
    if (max_residual_rms_arcmin && !(*max_residual_rms_arcmin >= 0.0)) {
        raise_halvane_error("max_residual_rms_arcmin must be 0 or more arcminutes (got " +
                            format_float(*max_residual_rms_arcmin) + "); None sets no limit");
        return false;
    }
    return true;
}

namespace {

const Camera& self_camera(PyObject* self) { return *unwrap<Camera>(self); }

constexpr auto kCameraSig = signature("Camera", kLensFocalParams,
                                      std::to_array<Param>({{"width", "None"}, {"height", "None"}}),
                                      kLensProjectionParams);
constexpr auto kPixelToVecSig = signature("Camera.pixel_to_vec", {{"x"}, {"y"}});
constexpr auto kVecToPixelSig = signature("Camera.vec_to_pixel", {{"v"}});

PyObject* camera_new_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    LensArguments lens;
    std::optional<std::uint64_t> width, height;
    if (!bind<kCameraSig>(args, kwargs, lens.slots(), arg<"width">(width), arg<"height">(height))) return nullptr;
    CameraScalars scalars;
    if (!lens.scalars(scalars)) return nullptr;
    // Only the ideal fisheye reads the extent; width is settled first.
    std::size_t w = 0, h = 0;
    if (!lens.focal_px) {
        if (width) w = *width;
        else if (!derived_extent("width", "cx", lens.cx, w)) return nullptr;
        if (height) h = *height;
        else if (!derived_extent("height", "cy", lens.cy, h)) return nullptr;
    }
    return wrap(camera_from_scalars(scalars, w, h));
}

PyObject* float64_array(std::initializer_list<Py_ssize_t> shape, const std::vector<double>& values) {
    return new_array(shape, "float64", values.data(), values.size() * sizeof(double));
}

PyObject* pixel_to_vec_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* x_arg = nullptr;
    PyObject* y_arg = nullptr;
    if (!bind<kPixelToVecSig>(args, kwargs, arg<"x">(x_arg), arg<"y">(y_arg))) return nullptr;
    const Camera& camera = self_camera(self);
    double x = 0.0, y = 0.0;
    if (number_as_double(x_arg, x) && number_as_double(y_arg, y)) {
        const Vec3 v = camera.pixel_to_vec(x, y);
        return new_array({3}, "float64", v.data(), sizeof v);
    }
    std::vector<double> xs, ys;
    if (!extract_coordinates(x_arg, "x", xs) || !extract_coordinates(y_arg, "y", ys)) return nullptr;
    if (xs.size() != ys.size())
        return raise_halvane_error("x and y must have the same length, got " + std::to_string(xs.size()) +
                                   " and " + std::to_string(ys.size()));
    std::vector<double> out(3 * xs.size());
    for (std::size_t i = 0; i < xs.size(); ++i) {
        const Vec3 v = camera.pixel_to_vec(xs[i], ys[i]);
        std::memcpy(&out[3 * i], v.data(), sizeof v);
    }
    return float64_array({static_cast<Py_ssize_t>(xs.size()), 3}, out);
}

// One direction given as exactly three numbers; false (no exception set)
// for any other form.
bool as_direction(PyObject* object, Vec3& v) {
    if (number_triple(object, "v", v)) return true;
    PyErr_Clear();
    return false;
}

// Directions as an (N, 3) float64 array read in place, or as a sequence of
// triples; false with the refusal raised.
static_assert(sizeof(Vec3) == 3 * sizeof(double), "rows of an (N, 3) array are copied as Vec3");

bool as_directions(PyObject* object, std::vector<Vec3>& out) {
    const Py_ssize_t n = sequence_size(object);
    if (n < 0) return raise_halvane_error(kBadDirections) != nullptr;
    const int is_array = is_ndarray(object);
    if (is_array < 0) PyErr_Clear();
    if (is_array > 0) {
        ArrayBuffer buffer;
        if (buffer.acquire(object) && buffer.ndim() == 2 && buffer.shape()[1] == 3 &&
            buffer.element_format() == "d" && buffer.native_byte_order() && buffer.c_contiguous()) {
            out.resize(static_cast<std::size_t>(buffer.shape()[0]));
            if (!out.empty()) std::memcpy(out.data(), buffer.data(), out.size() * sizeof(Vec3));
            return true;
        }
    }
    out.clear();
    const bool read = read_items(object, "v", n, [&](PyObject* item, std::size_t) {
        Vec3 v{};
        if (!as_direction(item, v)) return false;
        out.push_back(v);
        return true;
    });
    if (read) return true;
    PyErr_Clear();
    return raise_halvane_error(kBadDirections) != nullptr;
}

PyObject* vec_to_pixel_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* v_arg = nullptr;
    if (!bind<kVecToPixelSig>(args, kwargs, arg<"v">(v_arg))) return nullptr;
    const Camera& camera = self_camera(self);
    Vec3 v{};
    if (as_direction(v_arg, v)) {
        const auto pixel = camera.vec_to_pixel(v);
        if (!pixel) Py_RETURN_NONE;
        return Py_BuildValue("(dd)", pixel->x, pixel->y);
    }
    std::vector<Vec3> directions;
    if (!as_directions(v_arg, directions)) return nullptr;
    std::vector<double> out(2 * directions.size());
    for (std::size_t i = 0; i < directions.size(); ++i) {
        const auto pixel = camera.vec_to_pixel(directions[i]);
        out[2 * i] = pixel ? pixel->x : std::numeric_limits<double>::quiet_NaN();
        out[2 * i + 1] = pixel ? pixel->y : std::numeric_limits<double>::quiet_NaN();
    }
    return float64_array({static_cast<Py_ssize_t>(directions.size()), 2}, out);
}

std::string projection_text(const Projection& projection) {
    struct Text {
        std::string operator()(const Pinhole&) const { return "pinhole"; }
        std::string operator()(const Equidistant& p) const {
            return "equidistant fisheye fov=" + format_fixed(p.half_fov * kRadToDeg * 2.0, 1) + " deg";
        }
        std::string operator()(const DistortedFisheye& p) const {
            return "distorted fisheye fov=" + format_fixed(p.half_fov * kRadToDeg * 2.0, 1) + " deg k=(" +
                   format_float(p.k1) + ", " + format_float(p.k2) + ", " + format_float(p.k3) + ", " +
                   format_float(p.k4) + ")";
        }
    };
    return std::visit(Text{}, projection);
}

PyObject* camera_repr(PyObject* self) noexcept {
    return guard([self] {
        const Camera& camera = self_camera(self);
        return new_text("Camera(" + projection_text(camera.projection) + ", focal_px=" + format_fixed(camera.focal, 4) +
                        ", cx=" + format_fixed(camera.cx, 4) + ", cy=" + format_fixed(camera.cy, 4) + ")");
    });
}

PyObject* effective_focal_px(const Camera& camera) { return PyFloat_FromDouble(camera.focal); }
PyObject* principal_x(const Camera& camera) { return PyFloat_FromDouble(camera.cx); }
PyObject* principal_y(const Camera& camera) { return PyFloat_FromDouble(camera.cy); }
PyObject* arcmin_per_pixel(const Camera& camera) { return PyFloat_FromDouble(camera.arcmin_per_pixel()); }
PyObject* default_sigma_arcmin(const Camera& camera) {
    return PyFloat_FromDouble(camera.default_sigma_arcmin());
}

PyGetSetDef kGetters[] = {
    {"effective_focal_px", getter<Camera, effective_focal_px>, nullptr,
     "Radial scale in pixels the camera projects with: the given focal_px, or the value derived for the "
     "ideal equidistant fisheye.",
     nullptr},
    {"cx", getter<Camera, principal_x>, nullptr, "Principal point x, pixels.", nullptr},
    {"cy", getter<Camera, principal_y>, nullptr, "Principal point y, pixels.", nullptr},
    {"arcmin_per_pixel", getter<Camera, arcmin_per_pixel>, nullptr,
     "Angular size of one pixel at the boresight, arcminutes.", nullptr},
    {"default_sigma_arcmin", getter<Camera, default_sigma_arcmin>, nullptr,
     "Star-match tolerance used when sigma_arcmin is None: half a pixel, at least one arcminute.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    method_def<pixel_to_vec_impl, kPixelToVecSig>(
        "Unit camera-frame direction of pixel (x, y): x right, y down, z along the boresight.\n"
        "Two floats give a float64 array of shape (3,); two 1-D sequences (or arrays) of equal\n"
        "length N give shape (N, 3). Defined for every pixel: no field limit is applied."),
    method_def<vec_to_pixel_impl, kVecToPixelSig>(
        "Pixel of a camera-frame direction (not normalised: pass unit vectors).\n"
        "Three floats give a tuple (x, y), or None when the direction is outside the\n"
        "lens's field; an (N, 3) array or a list of triples gives a float64 array of\n"
        "shape (N, 2) with NaN rows for directions outside the field."),
    {nullptr, nullptr, 0, nullptr},
};

const MemberType kStubTypes[] = {
    {"npt.NDArray[np.float64]", "pixel_to_vec"},
    {"tuple[float, float] | None | npt.NDArray[np.float64]", "vec_to_pixel"},
    {"float", "effective_focal_px cx cy arcmin_per_pixel default_sigma_arcmin"},
};

PyObject* make_camera_type(PyObject*) {
    return create_class<Camera>(
         "halvane.Camera",
        {docstring<kCameraSig>(
         R"(The lens projection the solver itself uses, built from the same camera scalars as
resolve_fix: a pinhole when fisheye_fov_deg is None; with fisheye_fov_deg (the full
field of view, degrees), the ideal equidistant fisheye when k1..k4 are all zero
(focal_px must then be None: the focal is derived so the image circle fills the
shorter image side), otherwise the calibrated fisheye with radial scale focal_px.
width and height are read only for the ideal equidistant fisheye, where they
default to 2 * cx by 2 * cy. Immutable.)"),
         guarded_new<camera_new_impl>, kGetters, kMethods, camera_repr});
}

}  // namespace

HALVANE_REGISTRATIONS(camera_registrations, exported_class(1, make_camera_type, kStubTypes))

}  // namespace halvane::py
