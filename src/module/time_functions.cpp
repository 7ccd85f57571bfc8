// julian_date and gmst_deg: calendar and sidereal-time helpers.
#include "binder.hpp"
#include "module.hpp"
#include "numeric.hpp"
#include "time.hpp"

namespace halvane::py {

namespace {

constexpr auto kJulianDateSig =
    signature("julian_date", {{"year"}, {"month"}, {"day"}, {"hour"}, {"minute"}, {"second"}});
constexpr auto kGmstDegSig = signature("gmst_deg", {{"jd_ut"}});

PyObject* julian_date_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    std::int32_t year = 0;
    std::uint32_t month = 0, day = 0, hour = 0, minute = 0;
    double second = 0.0;
    if (!bind<kJulianDateSig>(args, kwargs, arg<"year">(year), arg<"month">(month), arg<"day">(day),
                              arg<"hour">(hour), arg<"minute">(minute), arg<"second">(second)))
        return nullptr;
    return PyFloat_FromDouble(julian_date(year, month, day, hour, minute, second));
}

PyObject* gmst_deg_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    double jd_ut = 0.0;
    if (!bind<kGmstDegSig>(args, kwargs, arg<"jd_ut">(jd_ut))) return nullptr;
    return PyFloat_FromDouble(gmst_rad(jd_ut) * kRadToDeg);
}

PyMethodDef julian_date_def = method_def<julian_date_impl, kJulianDateSig>("");

PyMethodDef gmst_deg_def = method_def<gmst_deg_impl, kGmstDegSig>("");

}  // namespace

HALVANE_REGISTRATIONS(time_registrations, exported_function(6, julian_date_def, "float"),
                                          exported_function(7, gmst_deg_def, "float"))

}  // namespace halvane::py
