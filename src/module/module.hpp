// Shared pieces of the extension module: owned references and lists, the
// exception class, engine error mapping, the exception safety net every
// entry point runs inside, and the declarations of what the module
// registers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <optional>
#include <span>
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

// Raises HalvaneError with the error's display text; returns nullptr. A
// NoMatch whose search spent its work budget also carries the attribute
// _work_budget_spent = True (the text stays that of any failed match).
PyObject* to_py_err(const Error& error);

// A successful engine result made into a Python object by `make`, or its
// error raised as HalvaneError.
template <class T, class Make>
PyObject* value_or_error(const Result<T>& result, Make make) {
    return result ? make(*result) : to_py_err(result.error());
}

// Turns the C++ exception being handled into a Python one: an engine pass
// stopped by its cancellation hook leaves the exception the hook's signal
// handler raised (KeyboardInterrupt when there is none), bad_alloc becomes
// MemoryError, anything else SystemError carrying the failure text. Call
// only inside a catch block.
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

// What each file adds to the module. A file declares one row per function
// or class it defines, next to the definitions, and returns its rows from
// <file>_registrations() below, defined by HALVANE_REGISTRATIONS; module.cpp
// gathers every file's rows, so a new function touches only its own file
// (and the stub `make stub` writes).
//
// The stub generator reads each exported row's stub types through the
// module's private _stub_types; parameter types it derives from the names.

enum class Visibility {
    exported,   // in __all__, the stub and the documented interface
    companion,  // an underscore helper of halvane_tools, kept out of __all__
};

// Class members that share one type in the stub (a method's return type or
// a property's): the type, then the members' names separated by spaces.
struct MemberType {
    const char* type;
    const char* names;
};

// Makes a class (or the exception) once and returns a new reference.
using TypeFactory = PyObject* (*)(PyObject* module_name);

struct Registration {
    // The name's place among names of the same visibility: the module and
    // __all__ list names in this order, whichever file declares them. Two
    // rows with one place make the import fail.
    int place;
    Visibility visibility;
    PyMethodDef* function;             // a function, named by its ml_name ...
    TypeFactory make_type;             // ... or a class, named by its __name__
    const char* returns;               // a function's return type in the stub
    std::span<const MemberType> members;  // a class's member types in the stub
};

constexpr Registration exported_function(int place, PyMethodDef& def, const char* returns) {
    return {place, Visibility::exported, &def, nullptr, returns, {}};
}

constexpr Registration companion_function(int place, PyMethodDef& def) {
    return {place, Visibility::companion, &def, nullptr, nullptr, {}};
}

constexpr Registration exported_class(int place, TypeFactory make_type, std::span<const MemberType> members = {}) {
    return {place, Visibility::exported, nullptr, make_type, nullptr, members};
}

// Defines a file's <file>_registrations(), returning the rows given.
#define HALVANE_REGISTRATIONS(accessor, ...)                  \
    std::span<const Registration> accessor() {                \
        static const Registration rows[] = {__VA_ARGS__};     \
        return rows;                                          \
    }

// Each file's rows, in the file that defines them.
std::span<const Registration> camera_registrations();
std::span<const Registration> catalog_registrations();
std::span<const Registration> fix_registrations();
std::span<const Registration> tracker_registrations();
std::span<const Registration> scene_registrations();
std::span<const Registration> time_registrations();
std::span<const Registration> geometry_registrations();
std::span<const Registration> image_registrations();
std::span<const Registration> solve_registrations();
std::span<const Registration> remap_registrations();
std::span<const Registration> photo_registrations();

}  // namespace halvane::py
