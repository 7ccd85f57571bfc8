#include "convert.hpp"

#include <cstdint>

#include "binder.hpp"
#include "module.hpp"
#include "time.hpp"

namespace halvane::py {

// --- Timestamps -----------------------------------------------------------

namespace {

constexpr const char* kUtcFormsText =
    "utc must be a (year, month, day, hour, minute, second) tuple or a timezone-aware "
    "datetime.datetime";
constexpr const char* kNaiveUtcText =
    "utc is a naive datetime, which fixes no instant in time: attach the tzinfo the timestamp was "
    "recorded in (datetime.timezone.utc when it is already UTC)";

struct CalendarFields {
    std::int32_t year = 0;
    std::uint32_t month = 0, day = 0, hour = 0, minute = 0;
    double second = 0.0;
};

// The six-tuple form; false (with no exception left) when `utc` is not one.
bool calendar_from_tuple(PyObject* utc, CalendarFields& f) {
    if (!PyTuple_Check(utc) || PyTuple_Size(utc) != 6) return false;
    const auto item = [utc](Py_ssize_t i) { return PyTuple_GetItem(utc, i); };
    const bool ok = Converter<std::int32_t>::convert(item(0), "year", f.year) &&
                    Converter<std::uint32_t>::convert(item(1), "month", f.month) &&
                    Converter<std::uint32_t>::convert(item(2), "day", f.day) &&
                    Converter<std::uint32_t>::convert(item(3), "hour", f.hour) &&
                    Converter<std::uint32_t>::convert(item(4), "minute", f.minute) &&
                    Converter<double>::convert(item(5), "second", f.second);
    if (!ok) PyErr_Clear();
    return ok;
}

// Reads one integer attribute; a failure propagates as the object raised it
// (or as the binder's conversion error for a non-integer value).
template <class Int>
bool integer_attribute(PyObject* object, const char* name, Int& out) {
    PyObject* value = PyObject_GetAttrString(object, name);
    if (value == nullptr) return false;
    const bool ok = Converter<Int>::convert(value, name, out);
    Py_DECREF(value);
    return ok;
}

bool refuse(const char* text) {
    raise_halvane_error(text);
    return false;
}

PyObject* utc_timezone() {
    PyObject* datetime = PyImport_ImportModule("datetime");
    if (datetime == nullptr) return nullptr;
    PyObject* timezone = PyObject_GetAttrString(datetime, "timezone");
    Py_DECREF(datetime);
    if (timezone == nullptr) return nullptr;
    PyObject* utc = PyObject_GetAttrString(timezone, "utc");
    Py_DECREF(timezone);
    return utc;
}

bool calendar_from_aware_datetime(PyObject* utc, CalendarFields& f) {
    if (PyObject_HasAttrString(utc, "utcoffset") != 1) return refuse(kUtcFormsText);
    if (PyObject_HasAttrString(utc, "astimezone") != 1) return refuse(kUtcFormsText);

    PyObject* offset = PyObject_CallMethod(utc, "utcoffset", nullptr);
    if (offset == nullptr) return false;
    const bool naive = offset == Py_None;
    Py_DECREF(offset);
    if (naive) return refuse(kNaiveUtcText);

    PyObject* zone = utc_timezone();
    if (zone == nullptr) return false;
    PyObject* converted = PyObject_CallMethod(utc, "astimezone", "O", zone);
    Py_DECREF(zone);
    if (converted == nullptr) return false;

    std::uint32_t second = 0, microsecond = 0;
    const bool ok = integer_attribute(converted, "second", second) &&
                    integer_attribute(converted, "microsecond", microsecond) &&
                    integer_attribute(converted, "year", f.year) &&
                    integer_attribute(converted, "month", f.month) &&
                    integer_attribute(converted, "day", f.day) &&
                    integer_attribute(converted, "hour", f.hour) &&
                    integer_attribute(converted, "minute", f.minute);
    Py_DECREF(converted);
    if (!ok) return false;
    f.second = static_cast<double>(microsecond) / 1e6 + static_cast<double>(second);
    return true;
}

}  // namespace

bool utc_to_jd(PyObject* utc, double& jd_ut) {
    CalendarFields f;
    if (!calendar_from_tuple(utc, f) && !calendar_from_aware_datetime(utc, f)) return false;
    jd_ut = julian_date(f.year, f.month, f.day, f.hour, f.minute, f.second);
    return true;
}

}  // namespace halvane::py
