// Conversion of Python arguments into owned engine values (timestamps,
// images, masks, coordinate lists), each with its exact refusal texts. A
// refused argument never reaches the engine. Every function returns false
// with a Python exception set on refusal.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace halvane::py {

// --- Timestamps -----------------------------------------------------------

// A UTC timestamp as a Julian Date (UT). Accepts a (year, month, day, hour,
// minute, second) tuple (second may be an int) or any timezone-aware object
// with utcoffset() and astimezone() and the datetime field attributes.
// Refuses other forms and naive datetimes with HalvaneError; exceptions
// raised by the object's own methods propagate unchanged.
bool utc_to_jd(PyObject* utc, double& jd_ut);

}  // namespace halvane::py
