#include "convert.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "arrays.hpp"
#include "module.hpp"
#include "numeric.hpp"
#include "time.hpp"

namespace halvane::py {

// --- Timestamps -----------------------------------------------------------

namespace {

constexpr const char* kUtcFormsText =
    "utc must be a (year, month, day, hour, minute, second) tuple or a timezone-aware "
    "datetime.datetime";
constexpr const char* kNaiveUtcText =
    "utc is a naive datetime, which fixes no instant in time: attach the tzinfo the timestamp was "
    "recorded in (datetime.timezone.utc when it is already UTC)";

struct CalendarFields {
    std::int32_t year = 0;
    std::uint32_t month = 0, day = 0, hour = 0, minute = 0;
    double second = 0.0;
};

// The six-tuple form; false (with no exception left) when `utc` is not one.
bool calendar_from_tuple(PyObject* utc, CalendarFields& f) {
    if (!PyTuple_Check(utc) || PyTuple_Size(utc) != 6) return false;
    const auto item = [utc](Py_ssize_t i) { return PyTuple_GetItem(utc, i); };
    const bool ok = Converter<std::int32_t>::convert(item(0), "year", f.year) &&
                    Converter<std::uint32_t>::convert(item(1), "month", f.month) &&
                    Converter<std::uint32_t>::convert(item(2), "day", f.day) &&
                    Converter<std::uint32_t>::convert(item(3), "hour", f.hour) &&
                    Converter<std::uint32_t>::convert(item(4), "minute", f.minute) &&
                    Converter<double>::convert(item(5), "second", f.second);
    if (!ok) PyErr_Clear();
    return ok;
}

// Reads one integer attribute; a failure propagates as the object raised it
// (or as the binder's conversion error for a non-integer value).
template <class Int>
bool integer_attribute(PyObject* object, const char* name, Int& out) {
    Ref value(PyObject_GetAttrString(object, name));
    return value && Converter<Int>::convert(value.get(), name, out);
}

bool refuse(const char* text) {
    raise_halvane_error(text);
    return false;
}

PyObject* utc_timezone() {
    Ref datetime(PyImport_ImportModule("datetime"));
    if (!datetime) return nullptr;
    Ref timezone(PyObject_GetAttrString(datetime.get(), "timezone"));
    return timezone ? PyObject_GetAttrString(timezone.get(), "utc") : nullptr;
}

bool calendar_from_aware_datetime(PyObject* utc, CalendarFields& f) {
    if (PyObject_HasAttrString(utc, "utcoffset") != 1) return refuse(kUtcFormsText);
    if (PyObject_HasAttrString(utc, "astimezone") != 1) return refuse(kUtcFormsText);

    Ref offset(PyObject_CallMethod(utc, "utcoffset", nullptr));
    if (!offset) return false;
    if (offset.get() == Py_None) return refuse(kNaiveUtcText);

    Ref zone(utc_timezone());
    if (!zone) return false;
    Ref converted(PyObject_CallMethod(utc, "astimezone", "O", zone.get()));
    if (!converted) return false;

    std::uint32_t second = 0, microsecond = 0;
    const bool ok = integer_attribute(converted.get(), "second", second) &&
                    integer_attribute(converted.get(), "microsecond", microsecond) &&
                    integer_attribute(converted.get(), "year", f.year) &&
                    integer_attribute(converted.get(), "month", f.month) &&
                    integer_attribute(converted.get(), "day", f.day) &&
                    integer_attribute(converted.get(), "hour", f.hour) &&
                    integer_attribute(converted.get(), "minute", f.minute);
    if (!ok) return false;
    f.second = static_cast<double>(microsecond) / 1e6 + static_cast<double>(second);
    return true;
}

}  // namespace

bool utc_to_jd(PyObject* utc, double& jd_ut) {
    CalendarFields f;
    if (!calendar_from_tuple(utc, f) && !calendar_from_aware_datetime(utc, f)) return false;
    // A NaN or infinite second fixes no instant; downstream it would read as
    // a singular geometry.
    if (!std::isfinite(f.second)) return refuse(("utc second must be finite (got " + format_float(f.second) + ")").c_str());
    jd_ut = julian_date(f.year, f.month, f.day, f.hour, f.minute, f.second);
    return true;
}

// --- Coordinates and float sequences --------------------------------------

namespace {

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

// Text and byte strings are sequences to Python, but never of numbers.
bool is_text_or_bytes(PyObject* object) {
    return PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object);
}

}  // namespace

Py_ssize_t sequence_size(PyObject* object) {
    const Py_ssize_t length = is_text_or_bytes(object) || !PySequence_Check(object) ? -1 : PySequence_Size(object);
    if (length < 0) PyErr_Clear();
    return length;
}

bool sequence_length(PyObject* object, const char* name, const char* expected, Py_ssize_t& length) {
    length = sequence_size(object);
    if (length >= 0) return true;
    return raise_argument_error(PyExc_TypeError, name, std::string("expected ") + expected + ", not " +
                                                           type_name(object));
}

PyObject* sequence_item(PyObject* sequence, const char* name, Py_ssize_t i, Py_ssize_t length) {
    PyObject* item = PySequence_GetItem(sequence, i);
    if (item == nullptr && PyErr_ExceptionMatches(PyExc_IndexError)) {
        PyErr_Clear();
        raise_argument_error(PyExc_ValueError, name,
                             "the sequence ended at item " + std::to_string(i) + " of the " + std::to_string(length) +
                                 " its length promised (did it change during the call?)");
    }
    return item;
}

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
    if (is_text_or_bytes(values)) return refuse();
    if (copy_float64_vector(values, out)) return true;
    const Py_ssize_t n = sequence_size(values);
    if (n < 0) return refuse();
    out.reserve(std::min(static_cast<std::size_t>(n), kMaxReserve));
    const bool read = read_items(values, name, n, [&](PyObject* item, std::size_t) {
        double value = 0.0;
        if (!number_as_double(item, value)) return false;
        out.push_back(value);
        return true;
    });
    if (read) return true;
    PyErr_Clear();
    out.clear();
    return refuse();
}

bool Converter<std::vector<double>>::convert(PyObject* object, const char* name, std::vector<double>& out) {
    out.clear();
    Py_ssize_t n = 0;
    if (!sequence_length(object, name, "a sequence of floats", n)) return false;
    if (copy_float64_vector(object, out)) return true;
    out.reserve(std::min(static_cast<std::size_t>(n), kMaxReserve));
    return read_items(object, name, n, [&](PyObject* item, std::size_t) {
        double value = 0.0;
        if (!Converter<double>::convert(item, name, value)) return false;
        out.push_back(value);
        return true;
    });
}

bool convert_fixed_sequence(PyObject* object, const char* name, double* out, std::size_t n) {
    Py_ssize_t length = 0;
    if (!sequence_length(object, name, "a sequence of floats", length)) return false;
    if (static_cast<std::size_t>(length) != n) {
        return raise_argument_error(PyExc_ValueError, name,
                                    "expected a sequence of length " + std::to_string(n) + " (got " +
                                        std::to_string(length) + ")");
    }
    return read_items(object, name, length,
                      [&](PyObject* item, std::size_t i) { return Converter<double>::convert(item, name, out[i]); });
}

bool number_triple(PyObject* object, const char* name, std::array<double, 3>& out) {
    return sequence_size(object) == 3 &&
           read_items(object, name, 3, [&](PyObject* item, std::size_t k) { return number_as_double(item, out[k]); });
}

bool Converter<std::vector<Centroid>>::convert(PyObject* object, const char* name, std::vector<Centroid>& out) {
    out.clear();
    Py_ssize_t n = 0;
    if (!sequence_length(object, name, "a sequence of (x, y, flux) triples", n)) return false;
    out.reserve(std::min(static_cast<std::size_t>(n), kMaxReserve));
    return read_items(object, name, n, [&](PyObject* item, std::size_t i) {
        std::array<double, 3> xyf{};
        if (!number_triple(item, name, xyf)) {
            PyErr_Clear();
            return raise_argument_error(PyExc_TypeError, name,
                                        "item " + std::to_string(i) + " is not an (x, y, flux) triple of floats");
        }
        out.push_back({xyf[0], xyf[1], xyf[2]});
        return true;
    });
}

// --- Images, masks and PSF widths -----------------------------------------

namespace {

constexpr double kMaxPsfSigmaPx = 64.0;

PyObject* refuse_not_contiguous(const char* name) {
    const std::string n = name;
    return raise_halvane_error(n + " must be C-contiguous (row-major). A Fortran-ordered or transposed view "
                                   "holds its own transpose in memory, which would be read as rows: pass "
                                   "numpy.ascontiguousarray(" + n + ")");
}

// Borrows `object` as a 2-D ndarray whose element format is one of
// `formats` in native byte order. 1 when it is one, 0 when not (no
// exception), -1 with an exception set.
int view_2d(PyObject* object, std::initializer_list<std::string_view> formats, ArrayBuffer& buffer) {
    const int is_array = is_ndarray(object);
    if (is_array <= 0) return is_array;
    if (!buffer.acquire(object) || buffer.ndim() != 2 || !buffer.native_byte_order()) return 0;
    for (std::string_view format : formats)
        if (buffer.element_format() == format) return 1;
    return 0;
}

// The buffer's rows and columns, once its layout has been judged C-contiguous
// and its length agrees with its shape; otherwise raises.
bool contiguous_extent(const ArrayBuffer& buffer, const char* name, std::size_t& rows, std::size_t& columns) {
    if (!buffer.c_contiguous()) {
        refuse_not_contiguous(name);
        return false;
    }
    rows = static_cast<std::size_t>(buffer.shape()[0]);
    columns = static_cast<std::size_t>(buffer.shape()[1]);
    if (buffer.data() == nullptr && rows * columns != 0) {
        raise_halvane_error(std::string(name) + " must be C-contiguous");
        return false;
    }
    if (static_cast<std::size_t>(buffer.byte_length()) != rows * columns * static_cast<std::size_t>(buffer.itemsize())) {
        raise_halvane_error(std::string(name) + " must be C-contiguous");
        return false;
    }
    return true;
}

// A 2-D C-contiguous array of one of `formats`, ready to copy; refuses
// another kind with `wrong_kind` and a bad layout with the contiguity texts.
bool readable_2d(PyObject* object, std::initializer_list<std::string_view> formats, const char* name,
                 const char* wrong_kind, ArrayBuffer& buffer, std::size_t& rows, std::size_t& columns) {
    const int found = view_2d(object, formats, buffer);
    if (found < 0) return false;
    if (found == 0) {
        raise_halvane_error(wrong_kind);
        return false;
    }
    return contiguous_extent(buffer, name, rows, columns);
}

}  // namespace

// Frames and masks are copied in blocks of this many pixels, a pending
// signal answered between blocks: the copy of a large frame is the first
// long step of every call that takes one, and memory is written once.
constexpr std::size_t kCopyBlockPixels = std::size_t{1} << 20;

// Runs copy(first, end) over [0, count) block by block; false as soon as a
// pending signal has raised its exception.
template <class Copy>
bool copy_in_blocks(std::size_t count, Copy&& copy) {
    for (std::size_t first = 0; first < count; first += kCopyBlockPixels) {
        if (PyErr_CheckSignals() != 0) return false;
        copy(first, first + std::min(kCopyBlockPixels, count - first));
    }
    return true;
}

bool extract_u16_image(PyObject* image, OwnedImage& out) {
    ArrayBuffer buffer;
    std::size_t rows = 0, columns = 0;
    if (!readable_2d(image, {"B", "H"}, "image", "image must be a 2-D uint8 or uint16 numpy array", buffer, rows,
                     columns))
        return false;
    const std::size_t count = rows * columns;
    std::vector<std::uint16_t> pixels;
    pixels.reserve(count);
    const bool widen = buffer.itemsize() == 1;
    const bool copied = copy_in_blocks(count, [&](std::size_t first, std::size_t end) {
        if (widen) {
            const auto* bytes = static_cast<const std::uint8_t*>(buffer.data());
            for (std::size_t p = first; p < end; ++p) pixels.push_back(static_cast<std::uint16_t>(bytes[p] * 257u));
        } else {
            const auto* values = static_cast<const std::uint16_t*>(buffer.data());
            pixels.insert(pixels.end(), values + first, values + end);
        }
    });
    if (!copied) return false;
    out = OwnedImage{std::move(pixels), columns, rows};
    return true;
}

bool extract_bool_mask(PyObject* mask, OwnedMask& out) {
    ArrayBuffer buffer;
    std::size_t rows = 0, columns = 0;
    if (!readable_2d(mask, {"?"}, "mask", "mask must be a 2-D bool numpy array", buffer, rows, columns)) return false;
    const std::size_t count = rows * columns;
    std::vector<std::uint8_t> flags;
    flags.reserve(count);
    // Normalised to 0/1: a bool array viewed from other bytes may hold any.
    const auto* bytes = static_cast<const std::uint8_t*>(buffer.data());
    const bool copied = copy_in_blocks(count, [&](std::size_t first, std::size_t end) {
        for (std::size_t p = first; p < end; ++p) flags.push_back(bytes[p] != 0 ? 1 : 0);
    });
    if (!copied) return false;
    out = OwnedMask{std::move(flags), columns, rows};
    return true;
}

bool extract_optional_mask(PyObject* mask, std::optional<OwnedMask>& out) {
    out.reset();
    return mask == Py_None || extract_bool_mask(mask, out.emplace());
}

bool check_psf_sigma_px(double psf_sigma_px) {
    if (std::isfinite(psf_sigma_px) && psf_sigma_px > 0.0 && psf_sigma_px <= kMaxPsfSigmaPx) return true;
    raise_halvane_error("psf_sigma_px must be finite and in (0, " + format_float(kMaxPsfSigmaPx) +
                        "] pixels (got " + format_float(psf_sigma_px) + "); a star PSF is 1-2 px sigma");
    return false;
}

}  // namespace halvane::py
