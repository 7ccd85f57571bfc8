#include "arrays.hpp"

#include <bit>
#include <cstring>
#include <string>

#include "module.hpp"

namespace halvane::py {

namespace {

// numpy attributes looked up once; the module lives in one interpreter.
PyObject* numpy_attribute(const char* name, PyObject*& cache) {
    if (cache == nullptr) {
        Ref numpy(PyImport_ImportModule("numpy"));
        if (!numpy) return nullptr;
        cache = PyObject_GetAttrString(numpy.get(), name);
    }
    return cache;
}

PyObject* g_ndarray = nullptr;
PyObject* g_empty = nullptr;

}  // namespace

int is_ndarray(PyObject* object) {
    PyObject* ndarray = numpy_attribute("ndarray", g_ndarray);
    if (ndarray == nullptr) return -1;
    return PyObject_IsInstance(object, ndarray);
}

ArrayBuffer::~ArrayBuffer() {
    if (held_) PyBuffer_Release(&view_);
}

bool ArrayBuffer::acquire(PyObject* object) {
    if (held_) {
        PyBuffer_Release(&view_);
        held_ = false;
    }
    if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    held_ = true;
    return true;
}

std::string_view ArrayBuffer::element_format() const {
    std::string_view format = view_.format == nullptr ? "B" : view_.format;
    if (!format.empty() && std::string_view("@=<>!").find(format.front()) != std::string_view::npos)
        format.remove_prefix(1);
    return format;
}

bool ArrayBuffer::native_byte_order() const {
    if (view_.format == nullptr || view_.itemsize == 1) return true;
    const char order = view_.format[0];
    constexpr bool little = std::endian::native == std::endian::little;
    switch (order) {
        case '<': return little;
        case '>':
        case '!': return !little;
        default: return true;  // '@', '=' or no prefix
    }
}

bool ArrayBuffer::c_contiguous() const {
    if (view_.strides == nullptr) return true;
    Py_ssize_t expected = view_.itemsize;
    for (int axis = view_.ndim - 1; axis >= 0; --axis) {
        const Py_ssize_t extent = view_.shape[axis];
        if (extent == 0) return true;  // an empty array has no layout to get wrong
        if (extent != 1 && view_.strides[axis] != expected) return false;
        expected *= extent;
    }
    return true;
}

PyObject* new_array(std::initializer_list<Py_ssize_t> shape, const char* dtype, const void* bytes,
                    std::size_t byte_count) {
    PyObject* empty = numpy_attribute("empty", g_empty);
    if (empty == nullptr) return nullptr;
    Ref shape_list(new_list(shape, [](Py_ssize_t extent) { return PyLong_FromSsize_t(extent); }));
    if (!shape_list) return nullptr;
    Ref array(PyObject_CallFunction(empty, "Os", shape_list.get(), dtype));
    if (!array) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    const bool fits = static_cast<std::size_t>(view.len) == byte_count;
    if (fits && byte_count > 0) std::memcpy(view.buf, bytes, byte_count);
    PyBuffer_Release(&view);
    if (fits) return array.release();
    PyErr_SetString(PyExc_SystemError, "array size does not match its data");
    return nullptr;
}

PyObject* image_array(const OwnedImage& image) {
    return new_array({static_cast<Py_ssize_t>(image.height), static_cast<Py_ssize_t>(image.width)}, "uint16",
                     image.pixels.data(), image.pixels.size() * sizeof(std::uint16_t));
}

PyObject* mask_array(const OwnedMask& mask) {
    return new_array({static_cast<Py_ssize_t>(mask.height), static_cast<Py_ssize_t>(mask.width)}, "bool",
                     mask.flags.data(), mask.flags.size());
}

}  // namespace halvane::py
