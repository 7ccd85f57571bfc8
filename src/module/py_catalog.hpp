// halvane.Catalog: the loaded star catalogue and pair index, and the
// argument converter that lets other functions take one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "catalog.hpp"
#include "binder.hpp"

namespace halvane::py {

// What a halvane.Catalog instance holds: shared, so that a long solve can
// keep the catalogue alive without copying it.
using SharedCatalog = std::shared_ptr<const Catalog>;

// Binds an argument that must be a halvane.Catalog; the pointer is valid
// while the argument object lives (for the whole call).
template <>
struct Converter<const Catalog*> {
    static bool convert(PyObject* object, const char* name, const Catalog*& out);
};

}  // namespace halvane::py
