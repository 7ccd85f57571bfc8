// julian_date and gmst_deg: calendar and sidereal-time helpers.
#include "binder.hpp"
#include "module.hpp"
#include "numeric.hpp"
#include "time.hpp"

namespace halvane::py {

namespace {

PyObject* julian_date_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature<6> kSig{
        "julian_date", {{{"year"}, {"month"}, {"day"}, {"hour"}, {"minute"}, {"second"}}}};
    std::int32_t year = 0;
    std::uint32_t month = 0, day = 0, hour = 0, minute = 0;
    double second = 0.0;
    if (!bind(kSig, args, kwargs, year, month, day, hour, minute, second)) return nullptr;
    return PyFloat_FromDouble(julian_date(year, month, day, hour, minute, second));
}

PyObject* gmst_deg_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature<1> kSig{"gmst_deg", {{{"jd_ut"}}}};
    double jd_ut = 0.0;
    if (!bind(kSig, args, kwargs, jd_ut)) return nullptr;
    return PyFloat_FromDouble(gmst_rad(jd_ut) * kRadToDeg);
}

}  // namespace

PyMethodDef julian_date_def = method_def<julian_date_impl>(
    "julian_date", "julian_date(year, month, day, hour, minute, second)\n--\n\n");

PyMethodDef gmst_deg_def = method_def<gmst_deg_impl>("gmst_deg", "gmst_deg(jd_ut)\n--\n\n");

}  // namespace halvane::py
