// The machinery behind every Python class of the module: an engine value
// held inside a heap type made with PyType_FromSpec.
//
// A class file defines its tables and its create function, and registers
// the latter with the stub types of its members:
//
//     PyObject* make_camera_type(PyObject*) {
//         return create_class<Camera>("halvane.Camera", {docstring<kCameraSig>("..."),
//                                     guarded_new<camera_new_impl>, kGetters, kMethods, camera_repr});
//     }
//     HALVANE_REGISTRATIONS(camera_registrations, exported_class(1, make_camera_type, kStubTypes))
//
// Instances have no __dict__ and properties without setters; all but
// FixTracker's are immutable.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "binder.hpp"
#include "module.hpp"

namespace halvane::py {

template <class T>
struct PyBox {
    PyObject_HEAD
    std::optional<T> value;  // engaged from construction to dealloc
};

// The type object of the class holding T; set by create_class.
template <class T>
inline PyTypeObject* class_type = nullptr;

template <class T>
void dealloc(PyObject* self) noexcept;

// What a class file supplies: the docstring (with the constructor's text
// signature, from docstring<Sig>, when it has one), tp_new (none: the
// class is made only by module functions) and its tables.
struct ClassParts {
    const char* doc;
    newfunc constructor = nullptr;
    PyGetSetDef* getters = nullptr;
    PyMethodDef* methods = nullptr;
    reprfunc repr = nullptr;
};

template <class T>
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept;

// Builds the type "halvane.<Name>" once per process; a new reference for
// registration. The name must be a literal: the type keeps pointing at it.
template <class T>
PyObject* create_class(const char* qualified_name, const ClassParts& parts) {
    if (class_type<T> == nullptr) {
        PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>(parts.doc)},
            {Py_tp_new, reinterpret_cast<void*>(parts.constructor ? parts.constructor : no_constructor<T>)},
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<T>)},
            {parts.getters ? Py_tp_getset : 0, parts.getters},
            {parts.methods ? Py_tp_methods : 0, parts.methods},
            {parts.repr ? Py_tp_repr : 0, reinterpret_cast<void*>(parts.repr)},
            {0, nullptr},
        };
        // An absent table ends the list early, so the present ones come first.
        std::stable_partition(std::begin(slots), std::end(slots) - 1, [](const PyType_Slot& s) { return s.slot != 0; });
        PyType_Spec type_spec{qualified_name, static_cast<int>(sizeof(PyBox<T>)), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
        PyObject* type = PyType_FromSpec(&type_spec);
        if (type == nullptr) return nullptr;
        class_type<T> = reinterpret_cast<PyTypeObject*>(type);  // the cache owns this reference
    }
    return Py_NewRef(reinterpret_cast<PyObject*>(class_type<T>));
}

// A new Python instance holding `value`; nullptr with an exception set.
template <class T>
PyObject* wrap(T value) {
    if (class_type<T> == nullptr) {
        PyErr_SetString(PyExc_SystemError, "halvane class used before registration");
        return nullptr;
    }
    PyObject* object = PyType_GenericAlloc(class_type<T>, 0);
    if (object == nullptr) return nullptr;
    auto* box = reinterpret_cast<PyBox<T>*>(object);
    new (&box->value) std::optional<T>(std::move(value));
    return object;
}

// The value inside an instance of T's class, or nullptr for other objects.
// Writable access is for the one class with state (FixTracker), which
// guards it with a borrow flag of its own.
template <class T>
T* unwrap_mutable(PyObject* object) {
    if (class_type<T> == nullptr || !PyObject_TypeCheck(object, class_type<T>)) return nullptr;
    auto& value = reinterpret_cast<PyBox<T>*>(object)->value;
    return value ? &*value : nullptr;
}

template <class T>
const T* unwrap(PyObject* object) {
    return unwrap_mutable<T>(object);
}

template <class T>
void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PyBox<T>*>(self)->value.~optional();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));  // heap-type instances own a reference to their type
}

// tp_new for classes whose instances come only from module functions.
template <class T>
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    if (Ref name{PyType_GetName(type)}) PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    return nullptr;
}

// Getters run inside the same safety net as functions.
template <class T, PyObject* (*Impl)(const T&)>
PyObject* getter(PyObject* self, void*) noexcept {
    return guard([self]() -> PyObject* {
        const T* value = unwrap<T>(self);
        if (value == nullptr) {
            PyErr_SetString(PyExc_TypeError, "descriptor used on a foreign object");
            return nullptr;
        }
        return Impl(*value);
    });
}

// Binds an argument that must be an instance of T's class.
template <class T>
struct Converter<const T*> {
    static bool convert(PyObject* object, const char* name, const T*& out) {
        out = unwrap<T>(object);
        if (out != nullptr) return true;
        std::string expected = "instance";
        if (class_type<T> != nullptr) {
            if (Ref type_label{PyType_GetName(class_type<T>)}) {
                if (const char* text = PyUnicode_AsUTF8AndSize(type_label.get(), nullptr)) expected = text;
            }
        }
        PyErr_Clear();
        return raise_argument_error(PyExc_TypeError, name,
                                    "'" + type_name(object) + "' object is not an instance of '" + expected + "'");
    }
};

}  // namespace halvane::py
