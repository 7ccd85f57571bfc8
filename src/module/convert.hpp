// Conversion of Python arguments into owned engine values (timestamps,
// images, masks, coordinate lists), each with its exact refusal texts. A
// refused argument never reaches the engine. Every function returns false
// with a Python exception set on refusal.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "centroid.hpp"

namespace halvane::py {

// A 2-D C-contiguous uint8 or native-order uint16 ndarray, copied row-major
// into 16-bit pixels (8-bit values widened by 257, so 255 -> 65535); width
// is the second axis, height the first. Refusals (HalvaneError): "image must
// be a 2-D uint8 or uint16 numpy array", and the C-contiguity text.
bool extract_u16_image(PyObject* image, OwnedImage& out);

// A 2-D C-contiguous bool ndarray, copied as flags (1 = not sky). Its own
// shape is kept; matching it against a frame is the engine's job. Refusals:
// "mask must be a 2-D bool numpy array", and the C-contiguity text.
bool extract_bool_mask(PyObject* mask, OwnedMask& out);

// A PSF width must be finite and in (0, 64] pixels; otherwise HalvaneError
// "psf_sigma_px must be finite and in (0, 64] pixels (got {value}); a star
// PSF is 1-2 px sigma".
bool check_psf_sigma_px(double psf_sigma_px);

}  // namespace halvane::py
