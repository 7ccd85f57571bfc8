import math

import numpy as np
import pytest

import halvane
from conftest import raises
from halvane import Camera, HalvaneError

NOT_AN_IMAGE = "image must be a 2-D uint8 or uint16 numpy array"
NOT_A_MASK = "mask must be a 2-D bool numpy array"
IDEAL_FOCAL_TEXT = (
    "focal_px is ignored for the ideal equidistant fisheye (fisheye_fov_deg set with k1..k4 all zero), "
    "whose focal length fills the shorter image dimension: pass focal_px=None, or pass the calibrated "
    "k1..k4 that make focal_px the real radial scale"
)
PINHOLE_TEXT = (
    "focal_px is required for the pinhole camera (fisheye_fov_deg=None); focal_px=None is only "
    "meaningful for the ideal equidistant fisheye"
)
SCALARS = (
    "src_focal_px, src_cx, src_cy, dst_focal_px, dst_cx, dst_cy, dst_width, dst_height, "
    "src_fisheye_fov_deg=None, src_k1=0.0, src_k2=0.0, src_k3=0.0, src_k4=0.0, dst_fisheye_fov_deg=None, "
    "dst_k1=0.0, dst_k2=0.0, dst_k3=0.0, dst_k4=0.0"
)

# Lenses as (camera scalars, extent); principal points sit off the pixel
# grid so that no source position falls on an exact half.
CALIBRATED = (dict(focal_px=10.5, cx=14.7, cy=11.3, fisheye_fov_deg=190.0, k1=-0.02, k2=0.003), (30, 24))
IDEAL = (dict(focal_px=None, cx=12.6, cy=10.4, fisheye_fov_deg=180.0), (26, 22))
PINHOLE = (dict(focal_px=6.0, cx=19.2, cy=14.9), (40, 30))


def remap_args(src, dst):
    """Keyword arguments of remap_image/remap_mask for two lenses."""
    (src_lens, _), (dst_lens, (width, height)) = src, dst
    args = {f"src_{k}": v for k, v in src_lens.items()}
    args.update({f"dst_{k}": v for k, v in dst_lens.items()})
    return dict(args, dst_width=width, dst_height=height)


def camera(lens):
    scalars, (width, height) = lens
    return Camera(width=width, height=height, **scalars)


def test_equal_pinholes_return_the_source():
    rng = np.random.default_rng(1)
    image = rng.integers(0, 65536, (23, 31), dtype=np.uint16)
    mask = rng.random((23, 31)) < 0.5
    args = (40.0, 15.3, 11.2, 40.0, 15.3, 11.2, 31, 23)
    out = halvane.remap_image(image, *args)
    assert out.dtype == np.uint16 and out.flags.c_contiguous and np.array_equal(out, image)
    flags = halvane.remap_mask(mask, *args)
    assert flags.dtype == np.bool_ and flags.flags.c_contiguous and np.array_equal(flags, mask)
    # 8-bit frames come back widened by 257.
    small = rng.integers(0, 256, (23, 31), dtype=np.uint8)
    assert np.array_equal(halvane.remap_image(small, *args), small.astype(np.uint16) * 257)


def reference(source, src, dst, sample):
    """Per-pixel remap through Camera.pixel_to_vec/vec_to_pixel; None where nothing is imaged."""
    src_cam, dst_cam = camera(src), camera(dst)
    height, width = source.shape
    dst_width, dst_height = dst[1]
    out = np.full((dst_height, dst_width), None, dtype=object)
    for y in range(dst_height):
        for x in range(dst_width):
            d = dst_cam.pixel_to_vec(x, y)
            if not np.all(np.isfinite(d)) or dst_cam.vec_to_pixel(d) is None:
                continue
            s = src_cam.vec_to_pixel(d)
            if s is None or not (-0.5 <= s[0] < width - 0.5 and -0.5 <= s[1] < height - 0.5):
                continue
            out[y, x] = sample(source, min(max(s[0], 0.0), width - 1), min(max(s[1], 0.0), height - 1))
    return out


def round_half_away(v):
    whole = math.floor(v)
    return whole + (v - whole >= 0.5)


def bilinear(image, cx, cy):
    height, width = image.shape
    x0, y0 = math.floor(cx), math.floor(cy)
    x1, y1 = min(x0 + 1, width - 1), min(y0 + 1, height - 1)
    fx, fy = cx - x0, cy - y0
    i = image.astype(float)
    v = (1 - fy) * ((1 - fx) * i[y0, x0] + fx * i[y0, x1]) + fy * ((1 - fx) * i[y1, x0] + fx * i[y1, x1])
    return min(round_half_away(v), 65535)


def nearest(mask, cx, cy):
    return bool(mask[round_half_away(cy), round_half_away(cx)])


@pytest.mark.parametrize("dst", [IDEAL, PINHOLE], ids=["ideal fisheye", "pinhole"])
def test_calibrated_fisheye_matches_a_per_pixel_reference(dst):
    rng = np.random.default_rng(7)
    image = rng.integers(0, 65536, (24, 30), dtype=np.uint16)
    mask = rng.random((24, 30)) < 0.5
    args = remap_args(CALIBRATED, dst)
    expected_image = reference(image, CALIBRATED, dst, bilinear)
    expected_mask = reference(mask, CALIBRATED, dst, nearest)
    imaged = expected_image != None  # noqa: E711 (elementwise)
    assert 100 < imaged.sum() < imaged.size
    out = halvane.remap_image(image, fill=4321, **args)
    assert np.all(out[~imaged] == 4321)
    assert np.abs(out[imaged].astype(int) - expected_image[imaged].astype(int)).max() <= 1
    flags = halvane.remap_mask(mask, **args)
    assert np.all(flags[~imaged])
    assert np.array_equal(flags[imaged], expected_mask[imaged].astype(bool))


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
    # An all-sky frame (focal 127.3 px) and a pinhole seeing 100 degrees
    # across at a finer scale; stars up to 40 degrees off the axis.
    positions = [(200.3, 200.6), (260.7, 185.2), (150.4, 250.9), (230.1, 120.8), (120.6, 170.3)]
    fisheye = stars((400, 400), positions)
    to_pinhole = dict(src_focal_px=None, src_cx=199.5, src_cy=199.5, src_fisheye_fov_deg=180.0,
                      dst_focal_px=250.0, dst_cx=299.5, dst_cy=299.5, dst_width=600, dst_height=600)
    back = dict(src_focal_px=250.0, src_cx=299.5, src_cy=299.5, dst_focal_px=None, dst_cx=199.5, dst_cy=199.5,
                dst_width=400, dst_height=400, dst_fisheye_fov_deg=180.0)
    pinhole = halvane.remap_image(fisheye, **to_pinhole)
    round_trip = halvane.remap_image(pinhole, **back)
    for x, y in positions:
        cx, cy = centroid(fisheye, x, y)
        rx, ry = centroid(round_trip, x, y)
        assert math.hypot(rx - cx, ry - cy) < 0.05


def test_zero_and_oversized_destinations():
    image = np.zeros((4, 6), dtype=np.uint16)
    out = halvane.remap_image(image, 10.0, 3, 2, 10.0, 3, 2, 0, 5)
    assert out.shape == (5, 0) and out.dtype == np.uint16
    assert halvane.remap_mask(image > 0, 10.0, 3, 2, 10.0, 3, 2, 7, 0).shape == (0, 7)
    # Refused before anything the size of the destination is allocated.
    raises(HalvaneError, "bad image: destination image 16385x16384 is 268451840 pixels, over the 268435456 limit",
           halvane.remap_image, image, 10.0, 3, 2, 10.0, 3, 2, 16385, 16384)
    raises(HalvaneError, "bad image: destination mask 8589934592x8589934592 overflows a pixel count",
           halvane.remap_mask, image > 0, 10.0, 3, 2, 10.0, 3, 2, 2**33, 2**33)


def test_ideal_fisheye_destination_keeps_fill_beyond_its_circle():
    image = np.full((300, 300), 1000, dtype=np.uint16)
    args = dict(src_focal_px=None, src_cx=149.5, src_cy=149.5, src_fisheye_fov_deg=180.0, dst_focal_px=None,
                dst_cx=499.5, dst_cy=399.5, dst_width=1000, dst_height=800, dst_fisheye_fov_deg=180.0)
    out = halvane.remap_image(image, fill=65535, **args)
    flags = halvane.remap_mask(np.zeros((300, 300), dtype=bool), **args)
    # The 180-degree circle fills the shorter side: radius 400 px.
    y, x = np.mgrid[0:800, 0:1000]
    radius = np.hypot(x - 499.5, y - 399.5)
    assert np.all(out[radius > 400.5] == 65535) and np.all(flags[radius > 400.5])
    assert np.all(out[radius < 399] == 1000) and not flags[radius < 399].any()


def test_refusals_in_argument_order():
    image = np.zeros((4, 6), dtype=np.uint16)
    pinholes = (10.0, 3, 2, 10.0, 3, 2, 6, 4)
    # fill is bound before the image is converted.
    raises(OverflowError, "argument 'fill': 65536 is outside the range 0 to 65535",
           halvane.remap_image, "not an image", *pinholes, fill=65536)
    raises(OverflowError, "argument 'dst_width': -1 is outside the range 0 to 18446744073709551615",
           halvane.remap_image, image, 10.0, 3, 2, 10.0, 3, 2, -1, 4)
    raises(HalvaneError, NOT_A_MASK, halvane.remap_mask, image.astype(np.uint8), *pinholes)
    # The image before the cameras, the source camera before the destination.
    raises(HalvaneError, NOT_AN_IMAGE, halvane.remap_image, image.astype(np.int32), None, 3, 2, 500.0, 3, 2, 6, 4,
           dst_fisheye_fov_deg=180.0)
    raises(HalvaneError, PINHOLE_TEXT, halvane.remap_image, image, None, 3, 2, 500.0, 3, 2, 6, 4,
           dst_fisheye_fov_deg=180.0)
    raises(HalvaneError, IDEAL_FOCAL_TEXT, halvane.remap_mask, image > 0, 10.0, 3, 2, 500.0, 3, 2, 6, 4,
           dst_fisheye_fov_deg=180.0)
    raises(TypeError, "remap_mask() got an unexpected keyword argument 'fill'",
           halvane.remap_mask, image > 0, *pinholes, fill=1)
