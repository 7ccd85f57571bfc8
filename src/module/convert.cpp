#include "convert.hpp"

#include <algorithm>
#include <cstring>

#include "arrays.hpp"
#include "module.hpp"

namespace halvane::py {

namespace {

// Owned reference that is released on scope exit.
struct Ref {
    PyObject* object;
    explicit Ref(PyObject* o) : object(o) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object); }
};

// Items of a sequence are read one at a time; a length claimed by a Python
// object is not trusted for an up-front reservation.
constexpr std::size_t kMaxReserve = std::size_t{1} << 16;

// A 1-D float64 array in native order is copied in one go; false means
// "not that form": the caller falls back to the sequence protocol.
bool copy_float64_vector(PyObject* object, std::vector<double>& out) {
    const int is_array = is_ndarray(object);
    if (is_array <= 0) {
        PyErr_Clear();
        return false;
    }
    ArrayBuffer buffer;
    if (!buffer.acquire(object) || buffer.ndim() != 1 || buffer.element_format() != "d" ||
        !buffer.native_byte_order() || !buffer.c_contiguous())
        return false;
    const auto n = static_cast<std::size_t>(buffer.shape()[0]);
    out.resize(n);
    if (n > 0) std::memcpy(out.data(), buffer.data(), n * sizeof(double));
    return true;
}

}  // namespace

bool number_as_double(PyObject* object, double& out) {
    if (PyUnicode_Check(object)) return false;
    if (!PyFloat_Check(object) && !PyLong_Check(object)) {
        const int is_array = is_ndarray(object);
        if (is_array < 0) PyErr_Clear();
        if (is_array > 0) {
            ArrayBuffer buffer;
            if (!buffer.acquire(object) || buffer.ndim() != 0) return false;
        }
    }
    out = PyFloat_AsDouble(object);
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

bool extract_coordinates(PyObject* values, const char* name, std::vector<double>& out) {
    const auto refuse = [name] {
        raise_halvane_error(
            std::string("x and y must both be floats, or both 1-D sequences of floats of the same length (") +
            name + " is neither)");
        return false;
    };
    out.clear();
    if (PyUnicode_Check(values)) return refuse();
    if (copy_float64_vector(values, out)) return true;
    if (!PySequence_Check(values)) return refuse();
    const Py_ssize_t n = PySequence_Size(values);
    if (n < 0) {
        PyErr_Clear();
        return refuse();
    }
    out.reserve(std::min(static_cast<std::size_t>(n), kMaxReserve));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item(PySequence_GetItem(values, i));
        double value = 0.0;
        if (item.object == nullptr || !number_as_double(item.object, value)) {
            PyErr_Clear();
            out.clear();
            return refuse();
        }
        out.push_back(value);
    }
    return true;
}

bool Converter<std::vector<double>>::convert(PyObject* object, const char* name, std::vector<double>& out) {
    out.clear();
    if (PyUnicode_Check(object) || !PySequence_Check(object))
        return raise_argument_error(PyExc_TypeError, name, "expected a sequence of floats, not " + type_name(object));
    if (copy_float64_vector(object, out)) return true;
    const Py_ssize_t n = PySequence_Size(object);
    if (n < 0) return false;
    out.reserve(std::min(static_cast<std::size_t>(n), kMaxReserve));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item(PySequence_GetItem(object, i));
        if (item.object == nullptr) return false;
        double value = 0.0;
        if (!Converter<double>::convert(item.object, name, value)) return false;
        out.push_back(value);
    }
    return true;
}

bool convert_fixed_sequence(PyObject* object, const char* name, double* out, std::size_t n) {
    if (PyUnicode_Check(object) || !PySequence_Check(object))
        return raise_argument_error(PyExc_TypeError, name, "expected a sequence of floats, not " + type_name(object));
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) != n) {
        PyErr_SetString(PyExc_ValueError, ("expected a sequence of length " + std::to_string(n) + " (got " +
                                           std::to_string(length) + ")")
                                              .c_str());
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        Ref item(PySequence_GetItem(object, static_cast<Py_ssize_t>(i)));
        if (item.object == nullptr) return false;
        if (!Converter<double>::convert(item.object, name, out[i])) return false;
    }
    return true;
}

}  // namespace halvane::py
