#include "convert.hpp"

#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "arrays.hpp"
#include "module.hpp"
#include "numeric.hpp"

namespace halvane::py {

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

}  // namespace

bool extract_u16_image(PyObject* image, OwnedImage& out) {
    ArrayBuffer buffer;
    const int found = view_2d(image, {"B", "H"}, buffer);
    if (found < 0) return false;
    if (found == 0) {
        raise_halvane_error("image must be a 2-D uint8 or uint16 numpy array");
        return false;
    }
    std::size_t rows = 0, columns = 0;
    if (!contiguous_extent(buffer, "image", rows, columns)) return false;
    const std::size_t count = rows * columns;
    std::vector<std::uint16_t> pixels(count);
    if (buffer.itemsize() == 1) {
        const auto* bytes = static_cast<const std::uint8_t*>(buffer.data());
        for (std::size_t p = 0; p < count; ++p) pixels[p] = static_cast<std::uint16_t>(bytes[p] * 257u);
    } else if (count > 0) {
        std::memcpy(pixels.data(), buffer.data(), count * sizeof(std::uint16_t));
    }
    out = OwnedImage{std::move(pixels), columns, rows};
    return true;
}

bool extract_bool_mask(PyObject* mask, OwnedMask& out) {
    ArrayBuffer buffer;
    const int found = view_2d(mask, {"?"}, buffer);
    if (found < 0) return false;
    if (found == 0) {
        raise_halvane_error("mask must be a 2-D bool numpy array");
        return false;
    }
    std::size_t rows = 0, columns = 0;
    if (!contiguous_extent(buffer, "mask", rows, columns)) return false;
    const std::size_t count = rows * columns;
    std::vector<std::uint8_t> flags(count);
    // Normalised to 0/1: a bool array viewed from other bytes may hold any.
    const auto* bytes = static_cast<const std::uint8_t*>(buffer.data());
    for (std::size_t p = 0; p < count; ++p) flags[p] = bytes[p] != 0 ? 1 : 0;
    out = OwnedMask{std::move(flags), columns, rows};
    return true;
}

bool check_psf_sigma_px(double psf_sigma_px) {
    if (std::isfinite(psf_sigma_px) && psf_sigma_px > 0.0 && psf_sigma_px <= kMaxPsfSigmaPx) return true;
    raise_halvane_error("psf_sigma_px must be finite and in (0, " + format_float(kMaxPsfSigmaPx) +
                        "] pixels (got " + format_float(psf_sigma_px) + "); a star PSF is 1-2 px sigma");
    return false;
}

}  // namespace halvane::py
