// PyInit_halvane: the module object, its registration table and the
// exception class.
#include "module.hpp"

#include <new>
#include <stdexcept>

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

PyObject* to_py_err(const Error& error) { return raise_halvane_error(error.message()); }

void raise_current_exception() noexcept {
    try {
        throw;
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

// One entry per registered name, in the order the names appear in the
// module and in __all__. Later classes and functions take their place here.
struct Registration {
    const char* name;
    PyObject* (*create)(PyObject* module_name);  // new reference or nullptr
};

template <PyMethodDef& Def>
PyObject* make_function(PyObject* module_name) {
    return PyCFunction_NewEx(&Def, nullptr, module_name);
}

PyObject* make_halvane_error(PyObject*) {
    PyObject* type = halvane_error_type();
    return Py_XNewRef(type);
}

const Registration kRegistrations[] = {
    {"Camera", make_camera_type},
    {"Catalog", make_catalog_type},
    {"Fix", make_fix_type},
    {"FixTracker", make_tracker_type},
    {"Scene", make_scene_type},
    {"julian_date", make_function<julian_date_def>},
    {"gmst_deg", make_function<gmst_deg_def>},
    {"precess_vector", make_function<precess_vector_def>},
    {"detect_centroids", make_function<detect_centroids_def>},
    {"detect_centroids_matched", make_function<detect_centroids_matched_def>},
    {"foreground_mask", make_function<foreground_mask_def>},
    {"great_circle_nm", make_function<great_circle_nm_def>},
    {"covariance_ellipse", make_function<covariance_ellipse_def>},
    {"synthesize_scene", make_function<synthesize_scene_def>},
    {"resolve_fix", make_function<resolve_fix_def>},
    {"resolve_from_centroids", make_function<resolve_from_centroids_def>},
    {"resolve_from_frames", make_function<resolve_from_frames_def>},
    {"remap_image", make_function<remap_image_def>},
    {"remap_mask", make_function<remap_mask_def>},
    {"sun_apparent_jd", make_function<sun_apparent_jd_def>},
    {"HalvaneError", make_halvane_error},
};

// Registered like the above but left out of __all__: pixel passes that the
// companion package halvane_tools calls, not part of the public interface.
const Registration kCompanionRegistrations[] = {
    {"_remove_extended_light", make_function<remove_extended_light_def>},
    {"_below_altitude_mask", make_function<below_altitude_mask_def>},
    {"_glare_mask", make_function<glare_mask_def>},
    {"_detect_sun", make_function<detect_sun_def>},
    {"_resolve_photo", make_function<resolve_photo_def>},
};

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
    Ref module_name(PyUnicode_FromString("halvane"));
    if (!module_name) return false;
    for (const Registration& entry : kRegistrations) {
        Ref object(entry.create(module_name.get()));
        if (!object || PyModule_AddObjectRef(module, entry.name, object.get()) < 0) return false;
        Ref name(PyUnicode_FromString(entry.name));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
    }
    // Names the companion tools reach but that are not part of __all__.
    for (const Registration& entry : kCompanionRegistrations) {
        Ref object(entry.create(module_name.get()));
        if (!object || PyModule_AddObjectRef(module, entry.name, object.get()) < 0) return false;
    }
    return true;
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
