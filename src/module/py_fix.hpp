// halvane.Fix, shared by every function that returns a fix.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

#include "error.hpp"
#include "fix.hpp"

namespace halvane::py {

// A new halvane.Fix holding the engine's fix, or the engine error raised
// as HalvaneError.
PyObject* fix_or_error(Result<Fix> result);

// HR numbers as a list of ints, as a fix and a scene report them.
PyObject* hr_id_list(const std::vector<std::uint32_t>& hr_ids);

}  // namespace halvane::py
