import numpy as np
import pytest

import halvane
from conftest import raises
from halvane import HalvaneError

PINHOLES = (40.0, 15.3, 11.2, 40.0, 15.3, 11.2, 31, 23)


def test_equal_pinholes_return_the_source_and_empty_destinations_keep_their_shape():
    rng = np.random.default_rng(1)
    image = rng.integers(0, 65536, (23, 31), dtype=np.uint16)
    mask = rng.random((23, 31)) < 0.5
    out = halvane.remap_image(image, *PINHOLES)
    assert out.dtype == np.uint16 and out.flags.c_contiguous and np.array_equal(out, image)
    flags = halvane.remap_mask(mask, *PINHOLES)
    assert flags.dtype == np.bool_ and flags.flags.c_contiguous and np.array_equal(flags, mask)
    # 8-bit frames come back widened by 257.
    small = rng.integers(0, 256, (23, 31), dtype=np.uint8)
    assert np.array_equal(halvane.remap_image(small, *PINHOLES), small.astype(np.uint16) * 257)
    assert halvane.remap_image(image, *PINHOLES[:6], 0, 5).shape == (5, 0)
    assert halvane.remap_mask(mask, *PINHOLES[:6], 7, 0).shape == (0, 7)


def test_each_camera_takes_its_own_extent():
    # An all-sky source sized by its own image and a fisheye destination
    # sized by dst_width x dst_height: one lit source pixel lands where
    # cameras built on those extents put it, and fill marks the rest.
    source = np.zeros((40, 60), np.uint16)
    source[25, 37] = 60000
    cameras = dict(src_focal_px=None, src_cx=30.0, src_cy=20.0, src_fisheye_fov_deg=180.0,
                   dst_focal_px=None, dst_cx=50.0, dst_cy=40.0, dst_width=100, dst_height=80, dst_fisheye_fov_deg=180.0)
    out = halvane.remap_image(source, **cameras, fill=7)
    src = halvane.Camera(None, 30.0, 20.0, width=60, height=40, fisheye_fov_deg=180.0)
    dst = halvane.Camera(None, 50.0, 40.0, width=100, height=80, fisheye_fov_deg=180.0)
    x, y = dst.vec_to_pixel(src.pixel_to_vec(37, 25))
    assert np.unravel_index(out.argmax(), out.shape) == (round(y), round(x)) and out[0, 0] == 7


def test_refusals_in_argument_order():
    image = np.zeros((4, 6), dtype=np.uint16)
    pinholes = (10.0, 3, 2, 10.0, 3, 2, 6, 4)
    to_fisheye = dict(dst_fisheye_fov_deg=180.0)
    # fill is bound before the image is converted.
    raises(OverflowError, "argument 'fill': 65536 is outside the range 0 to 65535",
           halvane.remap_image, "not an image", *pinholes, fill=65536)
    raises(OverflowError, "argument 'dst_width': -1 is outside the range 0 to 18446744073709551615",
           halvane.remap_image, image, 10.0, 3, 2, 10.0, 3, 2, -1, 4)
    raises(TypeError, "remap_mask() got an unexpected keyword argument 'fill'",
           halvane.remap_mask, image > 0, *pinholes, fill=1)
    raises(HalvaneError, "mask must be a 2-D bool numpy array", halvane.remap_mask, image.astype(np.uint8), *pinholes)
    # The image before the cameras, the source camera before the destination.
    raises(HalvaneError, "image must be a 2-D uint8 or uint16 numpy array",
           halvane.remap_image, image.astype(np.int32), None, 3, 2, 500.0, 3, 2, 6, 4, **to_fisheye)
    with pytest.raises(HalvaneError, match="^focal_px is required for the pinhole camera"):
        halvane.remap_image(image, None, 3, 2, 500.0, 3, 2, 6, 4, **to_fisheye)
    with pytest.raises(HalvaneError, match="^focal_px is ignored for the ideal equidistant fisheye"):
        halvane.remap_mask(image > 0, 10.0, 3, 2, 500.0, 3, 2, 6, 4, **to_fisheye)
    # Refused before anything the size of the destination is allocated.
    raises(HalvaneError, "bad image: destination image 16385x16384 is 268451840 pixels, over the 268435456 limit",
           halvane.remap_image, image, *pinholes[:6], 16385, 16384)
