// Shared pieces of the extension module: owned references and lists, the
// exception class, engine error mapping, the exception safety net every
// entry point runs inside, and the declarations of what the module
// registers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "binder.hpp"
#include "error.hpp"
#include "work.hpp"

namespace halvane::py {

// An owned reference, released on scope exit unless handed on.
class Ref {
public:
    explicit Ref(PyObject* object = nullptr) : object_(object) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }
    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_;
};

// A new str holding `text` whole (a NUL included).
inline PyObject* new_text(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// A new list of make(item) for each item; nullptr with the exception set
// when one cannot be made.
template <class Items, class MakeItem>
PyObject* new_list(const Items& items, MakeItem make) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        PyObject* made = make(item);
        if (made == nullptr || PyList_SetItem(list.get(), i++, made) < 0) return nullptr;  // steals made
    }
    return list.release();
}

// halvane.HalvaneError, created once on first need (borrowed reference;
// nullptr with an exception set if it could not be created).
PyObject* halvane_error_type();

// Raises HalvaneError carrying `message`; returns nullptr for `return`.
PyObject* raise_halvane_error(const std::string& message);

// Raises HalvaneError with the error's display text; returns nullptr.
PyObject* to_py_err(const Error& error);

// A successful engine result made into a Python object by `make`, or its
// error raised as HalvaneError.
template <class T, class Make>
PyObject* value_or_error(const Result<T>& result, Make make) {
    return result ? make(*result) : to_py_err(result.error());
}

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

// The safety net every entry point runs inside, so that no C++ exception
// ever crosses into the interpreter: body's result, or nullptr (0) with the
// exception raised.
template <class Body>
auto guard(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return {};
    }
}

using VarargsImpl = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs);

template <VarargsImpl Impl>
PyObject* guarded(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&] { return Impl(self, args, kwargs); });
}

// tp_new of a class whose constructor is Impl.
template <VarargsImpl Impl>
PyObject* guarded_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&] { return Impl(nullptr, args, kwargs); });
}

// Runs `work` with the interpreter lock released; it must touch no Python
// object. An exception it throws is rethrown once the lock is held again.
template <class Work>
auto without_interpreter_lock(Work&& work) -> decltype(work()) {
    std::optional<decltype(work())> result;
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        result.emplace(work());
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

// The PyMethodDef of a METH_VARARGS | METH_KEYWORDS implementation: its
// name and text signature from Sig ("f" or "Class.method"), then `body`.
template <VarargsImpl Impl, const auto& Sig>
PyMethodDef method_def(std::string_view body) {
    const std::string_view qualified = Sig.function_name;
    const std::size_t dot = qualified.rfind('.');
    const char* name = dot == std::string_view::npos ? Sig.function_name : Sig.function_name + dot + 1;
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&guarded<Impl>)),
            METH_VARARGS | METH_KEYWORDS, docstring<Sig>(body)};
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
extern PyMethodDef detect_sun_def;
extern PyMethodDef resolve_photo_def;

// Registered classes: each builds its type once and returns a new reference.
PyObject* make_camera_type(PyObject* module_name);
PyObject* make_catalog_type(PyObject* module_name);
PyObject* make_fix_type(PyObject* module_name);
PyObject* make_tracker_type(PyObject* module_name);
PyObject* make_scene_type(PyObject* module_name);

}  // namespace halvane::py
