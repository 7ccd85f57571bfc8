// Shared pieces of the extension module: the exception class, engine error
// mapping, the exception safety net every entry point runs inside, and the
// declarations of what the module registers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "error.hpp"
#include "matcher.hpp"

namespace halvane::py {

// halvane.HalvaneError, created once on first need (borrowed reference;
// nullptr with an exception set if it could not be created).
PyObject* halvane_error_type();

// Raises HalvaneError carrying `message`; returns nullptr for `return`.
PyObject* raise_halvane_error(const std::string& message);

// Raises HalvaneError with the error's display text; returns nullptr.
PyObject* to_py_err(const Error& error);

// Turns the C++ exception being handled into a Python one: bad_alloc as
// MemoryError, anything else as SystemError carrying the failure text.
// Call only inside a catch block.
void raise_current_exception() noexcept;

// A cancellation hook for engine calls made holding the interpreter lock:
// it answers true once a pending signal handler has raised (Ctrl-C's
// KeyboardInterrupt), leaving that exception set for the caller to return.
Cancellation interrupt_on_signal() noexcept;

// The same for an engine call made with the interpreter lock released: the
// hook takes the lock for its check.
Cancellation interrupt_on_signal_without_lock() noexcept;

// For failures with no caller to report to (destructors, callbacks):
// writes an unraisable exception instead of aborting.
void report_unraisable_failure() noexcept;

// Every function and method body runs inside this wrapper, so that no C++
// exception ever crosses into the interpreter.
using VarargsImpl = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs);

template <VarargsImpl Impl>
PyObject* guarded(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    try {
        return Impl(self, args, kwargs);
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

// PyMethodDef entry for a METH_VARARGS | METH_KEYWORDS implementation.
template <VarargsImpl Impl>
constexpr PyMethodDef method_def(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&guarded<Impl>)),
            METH_VARARGS | METH_KEYWORDS, doc};
}

// Registered functions, one definition each in the file of its group.
extern PyMethodDef julian_date_def;
extern PyMethodDef gmst_deg_def;
extern PyMethodDef precess_vector_def;
extern PyMethodDef detect_centroids_def;
extern PyMethodDef detect_centroids_matched_def;
extern PyMethodDef foreground_mask_def;
extern PyMethodDef great_circle_nm_def;
extern PyMethodDef covariance_ellipse_def;
extern PyMethodDef synthesize_scene_def;
extern PyMethodDef resolve_fix_def;
extern PyMethodDef resolve_from_centroids_def;
extern PyMethodDef remap_image_def;
extern PyMethodDef remap_mask_def;
extern PyMethodDef sun_apparent_jd_def;
extern PyMethodDef resolve_from_frames_def;
// Helpers of the companion package, registered but kept out of __all__.
extern PyMethodDef remove_extended_light_def;
extern PyMethodDef below_altitude_mask_def;
extern PyMethodDef glare_mask_def;

// Registered classes: each builds its type once and returns a new reference.
PyObject* make_camera_type(PyObject* module_name);
PyObject* make_catalog_type(PyObject* module_name);
PyObject* make_fix_type(PyObject* module_name);
PyObject* make_tracker_type(PyObject* module_name);
PyObject* make_scene_type(PyObject* module_name);

}  // namespace halvane::py
