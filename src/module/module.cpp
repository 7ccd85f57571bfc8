// PyInit_halvane: the module object, its registration table and the
// exception class.
#include "module.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <ranges>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "numeric.hpp"

namespace halvane::py {

namespace {

PyObject* g_halvane_error = nullptr;
PyObject* g_module = nullptr;
std::int64_t g_interpreter_id = -1;

}  // namespace

PyObject* halvane_error_type() {
    if (g_halvane_error == nullptr) {
        g_halvane_error = PyErr_NewExceptionWithDoc("halvane.HalvaneError",
                                                    "Celestial navigation pipeline failure.",
                                                    PyExc_Exception, nullptr);
    }
    return g_halvane_error;
}

PyObject* raise_halvane_error(const std::string& message) {
    PyObject* type = halvane_error_type();
    if (type == nullptr) return nullptr;
    Ref text(new_text(message));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* to_py_err(const Error& error) {
    const auto* no_match = error.get_if<Error::NoMatch>();
    if (no_match == nullptr || !no_match->work_budget_spent) return raise_halvane_error(error.message());
    // The text of any failed match; a private attribute lets the companion
    // say that the search ran out of its work budget and what to change.
    PyObject* type = halvane_error_type();
    if (type == nullptr) return nullptr;
    Ref text(new_text(error.message()));
    if (!text) return nullptr;
    Ref raised(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
    if (!raised || PyObject_SetAttrString(raised.get(), "_work_budget_spent", Py_True) < 0) return nullptr;
    PyErr_SetObject(type, raised.get());
    return nullptr;
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const Interrupted&) {
        // The cancellation hook answered true because a signal handler
        // raised (Ctrl-C's KeyboardInterrupt): that exception is the answer.
        if (PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const SizeOverflow& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown internal failure");
    }
}

Cancellation interrupt_on_signal() noexcept {
    return {[](void*) { return PyErr_CheckSignals() != 0; }, nullptr};
}

Cancellation interrupt_on_signal_without_lock() noexcept {
    return {[](void*) {
                const PyGILState_STATE state = PyGILState_Ensure();
                const bool raised = PyErr_CheckSignals() != 0;
                PyGILState_Release(state);
                return raised;
            },
            nullptr};
}

namespace {

PyObject* make_halvane_error(PyObject*) {
    PyObject* type = halvane_error_type();
    return Py_XNewRef(type);
}

const Registration kModuleRegistrations[] = {
    // Last in __all__, after every function whatever place it takes.
    exported_class(std::numeric_limits<int>::max(), make_halvane_error),
};

std::span<const Registration> module_registrations() { return kModuleRegistrations; }

// Every file that registers names; their rows are put in order by place.
constexpr std::span<const Registration> (*kRegistrationFiles[])() = {
    camera_registrations, catalog_registrations, fix_registrations,    tracker_registrations,
    scene_registrations,  time_registrations,    geometry_registrations, image_registrations,
    solve_registrations,  remap_registrations,   photo_registrations,    module_registrations,
};

// Exported names first, in __all__; companion names after them.
std::vector<const Registration*> registrations_in_order() {
    std::vector<const Registration*> rows;
    for (const auto file : kRegistrationFiles) {
        for (const Registration& row : file()) rows.push_back(&row);
    }
    const auto key = [](const Registration* row) { return std::pair(row->visibility, row->place); };
    std::ranges::sort(rows, {}, key);
    return rows;
}

// The object a row stands for (a new reference) and the name it goes
// under; nullptr with the exception set when either cannot be made.
PyObject* create(const Registration& row, PyObject* module_name, std::string& name) {
    if (row.function != nullptr) {
        name = row.function->ml_name;
        return PyCFunction_NewEx(row.function, nullptr, module_name);
    }
    Ref type(row.make_type(module_name));
    if (!type) return nullptr;
    Ref type_name(PyObject_GetAttrString(type.get(), "__name__"));
    const char* text = type_name ? PyUnicode_AsUTF8AndSize(type_name.get(), nullptr) : nullptr;
    if (text == nullptr) return nullptr;
    name = text;
    return type.release();
}

// The stub types of an exported row, under its name ("f") or its members'
// ("Class.member"), for stubs/make_stub.py.
bool add_stub_types(PyObject* stub_types, const Registration& row, const std::string& name) {
    if (row.returns != nullptr) {
        Ref type(PyUnicode_FromString(row.returns));
        if (!type || PyDict_SetItemString(stub_types, name.c_str(), type.get()) < 0) return false;
    }
    for (const MemberType& members : row.members) {
        Ref type(PyUnicode_FromString(members.type));
        if (!type) return false;
        for (const auto member : std::views::split(std::string_view(members.names), ' ')) {
            const std::string key = name + "." + std::string(std::string_view(member));
            if (PyDict_SetItemString(stub_types, key.c_str(), type.get()) < 0) return false;
        }
    }
    return true;
}

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "halvane",
    "",  // the module docstring is an empty string, not absent
    // 0 rather than -1: the interpreter then calls PyInit_halvane again on
    // every import instead of copying the first module's dict, which lets
    // init_module hand back the cached module or refuse a second interpreter.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool register_all(PyObject* module) {
    Ref all(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
    // Outside __all__: the interface stays as documented.
    if (PyModule_AddStringConstant(module, "__version__", HALVANE_VERSION) < 0) return false;
    Ref stub_types(PyDict_New());
    if (!stub_types) return false;
    Ref module_name(PyUnicode_FromString("halvane"));
    if (!module_name) return false;
    const std::vector<const Registration*> rows = registrations_in_order();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Registration& row = *rows[i];
        if (i > 0 && rows[i - 1]->visibility == row.visibility && rows[i - 1]->place == row.place) {
            PyErr_Format(PyExc_SystemError, "halvane: two registrations take place %d", row.place);
            return false;
        }
        std::string name;
        Ref object(create(row, module_name.get(), name));
        if (!object) return false;
        if (PyObject_HasAttrString(module, name.c_str())) {
            PyErr_Format(PyExc_SystemError, "halvane: %s is registered twice", name.c_str());
            return false;
        }
        if (PyModule_AddObjectRef(module, name.c_str(), object.get()) < 0) return false;
        if (row.visibility == Visibility::exported) {
            Ref text(PyUnicode_FromString(name.c_str()));
            if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
            if (!add_stub_types(stub_types.get(), row, name)) return false;
        }
    }
    return PyModule_AddObjectRef(module, "_stub_types", stub_types.get()) == 0;
}

PyObject* init_module() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return nullptr;
    if (g_module != nullptr) {
        // The module keeps process-wide state (the exception class), so it
        // can live in one interpreter only.
        if (interpreter != g_interpreter_id) {
            PyErr_SetString(PyExc_ImportError,
                            "halvane can be initialised in one interpreter per process only");
            return nullptr;
        }
        return Py_NewRef(g_module);
    }
    if (halvane_error_type() == nullptr) return nullptr;
    Ref module(PyModule_Create(&g_module_def));
    if (!module || !register_all(module.get())) return nullptr;
    g_interpreter_id = interpreter;
    g_module = Py_NewRef(module.get());  // the cache holds its own reference
    return module.release();
}

}  // namespace

}  // namespace halvane::py

PyMODINIT_FUNC PyInit_halvane() { return halvane::py::guard(halvane::py::init_module); }
