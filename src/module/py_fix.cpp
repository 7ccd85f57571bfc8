// halvane.Fix: the Python face of the engine's fix result.
#include "py_fix.hpp"

#include <string>

#include "numeric.hpp"
#include "pyclass.hpp"

namespace halvane::py {

namespace {

PyObject* covariance_get(const Fix& fix) {
    const auto& c = fix.covariance;
    return Py_BuildValue("[[dd][dd]]", c[0], c[1], c[2], c[3]);
}

PyObject* ellipse_get(const Fix& fix) {
    const auto& e = fix.ellipse_2sigma_nm;
    return Py_BuildValue("(ddd)", e.semi_major_nm, e.semi_minor_nm, e.orientation_deg);
}

PyObject* used_sun_get(const Fix& fix) { return PyBool_FromLong(fix.used_sun ? 1 : 0); }
PyObject* residual_get(const Fix& fix) { return PyFloat_FromDouble(fix.residual_rms_rad); }
PyObject* longitude_get(const Fix& fix) { return PyFloat_FromDouble(fix.longitude_deg); }
PyObject* latitude_get(const Fix& fix) { return PyFloat_FromDouble(fix.latitude_deg); }
PyObject* iterations_get(const Fix& fix) { return PyLong_FromSize_t(fix.n_iterations); }
PyObject* margin_get(const Fix& fix) { return PyLong_FromSize_t(fix.match_margin); }

PyObject* matched_hr_ids_get(const Fix& fix) { return hr_id_list(fix.matched_hr_ids); }

PyObject* fix_repr(PyObject* self) noexcept {
    return guard([self] {
        const Fix* fix = unwrap<Fix>(self);
        if (fix == nullptr) return PyUnicode_FromString("Fix()");
        return new_text("Fix(latitude_deg=" + format_fixed(fix->latitude_deg, 6) +
                        ", longitude_deg=" + format_fixed(fix->longitude_deg, 6) +
                        ", matched=" + std::to_string(fix->matched_hr_ids.size()) +
                        ", semi_major_nm=" + format_fixed(fix->ellipse_2sigma_nm.semi_major_nm, 3) + ")");
    });
}

PyGetSetDef kGetters[] = {
    {"covariance", getter<Fix, covariance_get>, nullptr,
     "[[var_north, cov_ne], [cov_ne, var_east]] in radians squared.", nullptr},
    {"ellipse_2sigma_nm", getter<Fix, ellipse_get>, nullptr, "(semi_major_nm, semi_minor_nm, orientation_deg).",
     nullptr},
    {"used_sun", getter<Fix, used_sun_get>, nullptr, nullptr, nullptr},
    {"residual_rms_rad", getter<Fix, residual_get>, nullptr,
     "RMS, in radians, of the converged per-observation altitude residuals.", nullptr},
    {"longitude_deg", getter<Fix, longitude_get>, nullptr, nullptr, nullptr},
    {"latitude_deg", getter<Fix, latitude_get>, nullptr, nullptr, nullptr},
    {"n_iterations", getter<Fix, iterations_get>, nullptr, nullptr, nullptr},
    {"match_margin", getter<Fix, margin_get>, nullptr,
     "Vote margin from the star matcher: the gap, in verified-correspondence\n"
     "count, between the winning identification and the strongest distinct\n"
     "rival found during the search.",
     nullptr},
    {"matched_hr_ids", getter<Fix, matched_hr_ids_get>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* make_fix_type(PyObject*) {
    return create_class<Fix>(
        "halvane.Fix",
        {"Result of a resolved celestial fix.",
         nullptr, kGetters, nullptr, fix_repr});
}

const MemberType kStubTypes[] = {
    {"list[list[float]]", "covariance"},
    {"tuple[float, float, float]", "ellipse_2sigma_nm"},
    {"bool", "used_sun"},
    {"float", "residual_rms_rad longitude_deg latitude_deg"},
    {"int", "n_iterations match_margin"},
    {"list[int]", "matched_hr_ids"},
};

}  // namespace

HALVANE_REGISTRATIONS(fix_registrations, exported_class(3, make_fix_type, kStubTypes))

PyObject* hr_id_list(const std::vector<std::uint32_t>& hr_ids) {
    return new_list(hr_ids, [](std::uint32_t id) { return PyLong_FromUnsignedLong(id); });
}

PyObject* fix_or_error(Result<Fix> result) {
    // An interrupt that stopped the engine is what the caller must see.
    if (PyErr_Occurred()) return nullptr;
    if (!result) return to_py_err(result.error());
    return wrap<Fix>(std::move(*result));
}

}  // namespace halvane::py
