import math

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


def stars(shape, positions, sigma=1.6):
    y, x = np.mgrid[0:shape[0], 0:shape[1]].astype(float)
    frame = sum(20000 * np.exp(-((x - sx) ** 2 + (y - sy) ** 2) / (2 * sigma**2)) for sx, sy in positions)
    return np.rint(frame).astype(np.uint16)


def centroid(image, x, y, half=6):
    """Intensity-weighted centroid of the window around (x, y)."""
    x0, y0 = round(x) - half, round(y) - half
    window = image[y0:y0 + 2 * half + 1, x0:x0 + 2 * half + 1].astype(float)
    yy, xx = np.mgrid[0:window.shape[0], 0:window.shape[1]]
    return x0 + (window * xx).sum() / window.sum(), y0 + (window * yy).sum() / window.sum()


def test_round_trip_through_a_pinhole_keeps_star_centroids():
    # An all-sky frame (its focal taken from the source's own extent) and a
    # larger pinhole seeing 100 degrees across; stars up to 40 degrees off
    # the axis.
    positions = [(200.3, 200.6), (260.7, 185.2), (150.4, 250.9), (230.1, 120.8), (120.6, 170.3)]
    fisheye = stars((400, 400), positions)
    to_pinhole = dict(src_focal_px=None, src_cx=199.5, src_cy=199.5, src_fisheye_fov_deg=180.0,
                      dst_focal_px=250.0, dst_cx=299.5, dst_cy=299.5, dst_width=600, dst_height=600)
    back = dict(src_focal_px=250.0, src_cx=299.5, src_cy=299.5, dst_focal_px=None, dst_cx=199.5, dst_cy=199.5,
                dst_width=400, dst_height=400, dst_fisheye_fov_deg=180.0)
    round_trip = halvane.remap_image(halvane.remap_image(fisheye, **to_pinhole), fill=7, **back)
    assert round_trip[0, 0] == 7  # beyond the pinhole's field
    for x, y in positions:
        cx, cy = centroid(fisheye, x, y)
        rx, ry = centroid(round_trip, x, y)
        assert math.hypot(rx - cx, ry - cy) < 0.05


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
