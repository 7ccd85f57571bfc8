// halvane.Fix, shared by every function that returns a fix.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "error.hpp"
#include "../engine/fix.hpp"

namespace halvane::py {

// A new halvane.Fix holding the engine's fix, or the engine error raised
// as HalvaneError.
PyObject* fix_or_error(Result<Fix> result);

}  // namespace halvane::py
