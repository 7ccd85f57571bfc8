// Conversion of Python arguments into owned engine values (timestamps,
// images, masks, coordinate lists), each with its exact refusal texts. A
// refused argument never reaches the engine. Every function returns false
// with a Python exception set on refusal.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "binder.hpp"
#include "module.hpp"
#include "centroid.hpp"

namespace halvane::py {

// --- Timestamps -----------------------------------------------------------

// A UTC timestamp as a Julian Date (UT). Accepts a (year, month, day, hour,
// minute, second) tuple (second may be an int) or any timezone-aware object
// with utcoffset() and astimezone() and the datetime field attributes.
// Refuses other forms and naive datetimes with HalvaneError; exceptions
// raised by the object's own methods propagate unchanged.
bool utc_to_jd(PyObject* utc, double& jd_ut);

// --- Coordinates and float sequences --------------------------------------

// A Python number as a double, for arguments that may be a number or a
// sequence: int, float and NumPy scalars convert; str, sequences and NumPy
// arrays of one or more dimensions do not (NumPy's own conversion of a
// one-element array is deprecated and would hide a sequence). No exception
// is left set either way.
bool number_as_double(PyObject* object, double& out);

// Exactly three numbers, each read by number_as_double: a direction or an
// (x, y, flux) triple. False for any other form, perhaps with an exception
// set that the caller clears before refusing with its own text.
bool number_triple(PyObject* object, const char* name, std::array<double, 3>& out);

// A sequence of numbers (list, tuple, 1-D NumPy array, ...) into `out`. A
// str is refused, and so is anything whose items do not all convert; the
// refusal is "x and y must both be floats, or both 1-D sequences of floats
// of the same length (<name> is neither)".
bool extract_coordinates(PyObject* values, const char* name, std::vector<double>& out);

// The one reader of sequence arguments.
//
// sequence_size: the length of a sequence, or -1 with no exception set for
// anything else; str and bytes count as no sequence (never one of numbers).
// sequence_length: the same, raising TypeError "argument '<name>': expected
// <expected>, not <type>" for a non-sequence.
Py_ssize_t sequence_size(PyObject* object);
bool sequence_length(PyObject* object, const char* name, const char* expected, Py_ssize_t& length);

// Item i of a sequence argument `name` whose length was read before (a new
// reference). A sequence that ends early, because it shrank during the call
// or its __len__ lies, raises ValueError naming the argument instead of
// leaking an IndexError; other failures propagate.
PyObject* sequence_item(PyObject* sequence, const char* name, Py_ssize_t i, Py_ssize_t length);

// Reads items 0 .. length-1 in order through read(item, i), which returns
// false to stop (with an exception set, or none for the caller to refuse
// with its own text).
template <class ReadItem>
bool read_items(PyObject* sequence, const char* name, Py_ssize_t length, ReadItem&& read) {
    for (Py_ssize_t i = 0; i < length; ++i) {
        Ref item(sequence_item(sequence, name, i, length));
        if (!item || !read(item.get(), static_cast<std::size_t>(i))) return false;
    }
    return true;
}

// Binder converters for sequences of floats. A str is refused with
// TypeError; an item that is not a number gives the float converter's
// TypeError.
template <>
struct Converter<std::vector<double>> {
    static bool convert(PyObject* object, const char* name, std::vector<double>& out);
};

// Exactly N floats; another length raises ValueError
// "expected a sequence of length N (got M)".
bool convert_fixed_sequence(PyObject* object, const char* name, double* out, std::size_t n);

template <std::size_t N>
struct Converter<std::array<double, N>> {
    static bool convert(PyObject* object, const char* name, std::array<double, N>& out) {
        return convert_fixed_sequence(object, name, out.data(), N);
    }
};

// Caller-detected centroids: a sequence (not a str) of (x, y, flux) float
// triples, pixels and any brightness score. Refusals are TypeErrors naming
// the parameter.
template <>
struct Converter<std::vector<Centroid>> {
    static bool convert(PyObject* object, const char* name, std::vector<Centroid>& out);
};

// --- Images, masks and PSF widths -----------------------------------------

// A 2-D C-contiguous uint8 or native-order uint16 ndarray, copied row-major
// into 16-bit pixels (8-bit values widened by 257, so 255 -> 65535); width
// is the second axis, height the first. Refusals (HalvaneError): "image must
// be a 2-D uint8 or uint16 numpy array", and the C-contiguity text. Both
// copies stop (false) when a signal handler raises during them (Ctrl-C).
bool extract_u16_image(PyObject* image, OwnedImage& out);

// A 2-D C-contiguous bool ndarray, copied as flags (1 = not sky). Its own
// shape is kept; matching it against a frame is the engine's job. Refusals:
// "mask must be a 2-D bool numpy array", and the C-contiguity text.
bool extract_bool_mask(PyObject* mask, OwnedMask& out);

// The optional mask argument of a detector or solve: None gives no mask,
// anything else goes through extract_bool_mask.
bool extract_optional_mask(PyObject* mask, std::optional<OwnedMask>& out);

// A PSF width must be finite and in (0, 64] pixels; otherwise HalvaneError
// "psf_sigma_px must be finite and in (0, 64] pixels (got {value}); a star
// PSF is 1-2 px sigma".
bool check_psf_sigma_px(double psf_sigma_px);

}  // namespace halvane::py
