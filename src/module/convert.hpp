// Conversion of Python arguments into owned engine values (timestamps,
// images, masks, coordinate lists), each with its exact refusal texts. A
// refused argument never reaches the engine. Every function returns false
// with a Python exception set on refusal.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace halvane::py {

}  // namespace halvane::py
