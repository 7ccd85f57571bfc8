// NumPy arrays through the buffer protocol (no NumPy headers needed).
//
// Reading: ArrayBuffer borrows an ndarray's memory with its format, shape and
// strides so that a converter can judge dtype, dimensions, byte order and
// layout with its own texts and then copy the data. Writing: new_array calls
// numpy.empty and fills the fresh array through its writable buffer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string_view>

#include "image.hpp"

namespace halvane::py {

// True when `object` is a numpy.ndarray (or a subclass); -1 with an
// exception set when NumPy cannot be imported.
int is_ndarray(PyObject* object);

// A read-only view of an object's buffer with format, shape and strides;
// released on destruction. Movable, not copyable.
class ArrayBuffer {
public:
    ArrayBuffer() = default;
    ArrayBuffer(const ArrayBuffer&) = delete;
    ArrayBuffer& operator=(const ArrayBuffer&) = delete;
    ~ArrayBuffer();

    // Borrows the buffer of `object`; false with the exception cleared when
    // the object exposes none (the caller then refuses with its own text).
    bool acquire(PyObject* object);

    int ndim() const { return view_.ndim; }
    std::span<const Py_ssize_t> shape() const {
        return {view_.shape, static_cast<std::size_t>(view_.ndim)};
    }
    Py_ssize_t itemsize() const { return view_.itemsize; }
    const void* data() const { return view_.buf; }
    Py_ssize_t byte_length() const { return view_.len; }

    // The struct-module format without its byte-order prefix ("B", "H",
    // "?", "d"), and whether that prefix says the data is in the machine's
    // own byte order.
    std::string_view element_format() const;
    bool native_byte_order() const;

    // Row-major with no gaps, judged from shape and strides.
    bool c_contiguous() const;

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A new C-contiguous ndarray of `shape` and NumPy dtype name `dtype`
// ("uint16", "bool", "float64") whose bytes are copied from `bytes`
// (exactly product(shape) * itemsize of them). New reference or nullptr.
PyObject* new_array(std::initializer_list<Py_ssize_t> shape, const char* dtype, const void* bytes,
                    std::size_t byte_count);

// A new (height, width) uint16 array of a frame, and bool array of a mask
// (its 0/1 flag bytes are the layout of a NumPy bool array).
PyObject* image_array(const OwnedImage& image);
PyObject* mask_array(const OwnedMask& mask);

}  // namespace halvane::py
