import math

import numpy as np
import pytest

import halvane
from conftest import raises
from halvane import Camera, HalvaneError

IDEAL_FOCAL_TEXT = (
    "focal_px is ignored for the ideal equidistant fisheye (fisheye_fov_deg set with k1..k4 all zero), "
    "whose focal length fills the shorter image dimension: pass focal_px=None, or pass the calibrated "
    "k1..k4 that make focal_px the real radial scale"
)
CALIBRATED_TEXT = (
    "focal_px is required for a calibrated fisheye (a non-zero k1..k4): it is the lens's real radial "
    "scale, which no image dimension can supply"
)
PINHOLE_TEXT = (
    "focal_px is required for the pinhole camera (fisheye_fov_deg=None); focal_px=None is only "
    "meaningful for the ideal equidistant fisheye"
)
DIRECTIONS_TEXT = "v must be three floats (one camera-frame direction) or an (N, 3) array of them"


def coordinates_text(name):
    return f"x and y must both be floats, or both 1-D sequences of floats of the same length ({name} is neither)"


def extent_text(name, centre, value):
    return (f"{name} defaults to 2 * {centre}, so {centre} must be positive (got {value}); "
            f"pass {name} explicitly for an off-centre principal point")


PINHOLE = dict(focal_px=1000.0, cx=320.0, cy=240.0)
IDEAL = dict(focal_px=None, cx=500.0, cy=400.0, fisheye_fov_deg=180.0)
CALIBRATED = dict(focal_px=260.0, cx=510.0, cy=395.0, fisheye_fov_deg=190.0, k1=-0.02, k2=0.003, k3=-0.0004, k4=2e-5)
FISHEYE = dict(fisheye_fov_deg=180)


@pytest.mark.parametrize(
    "args, kwargs, kind, text",
    [
        ((300, 500, 400), FISHEYE, HalvaneError, IDEAL_FOCAL_TEXT),
        # -0.0 is zero, so this is still the ideal lens.
        ((300, 500, 400), dict(FISHEYE, k1=-0.0, k4=-0.0), HalvaneError, IDEAL_FOCAL_TEXT),
        ((None, 500, 400), dict(), HalvaneError, PINHOLE_TEXT),
        ((None, 500, 400), dict(FISHEYE, k4=1e-6), HalvaneError, CALIBRATED_TEXT),
        # NaN is not zero: a calibrated lens, which needs its focal.
        ((None, 500, 400), dict(FISHEYE, k3=math.nan), HalvaneError, CALIBRATED_TEXT),
        ((None, 0, 400), FISHEYE, HalvaneError, extent_text("width", "cx", "0")),
        ((None, math.nan, 400), FISHEYE, HalvaneError, extent_text("width", "cx", "NaN")),
        # Width is settled first.
        ((None, -1, -2), FISHEYE, HalvaneError, extent_text("width", "cx", "-1")),
        ((None, -1, -2), dict(FISHEYE, width=100), HalvaneError, extent_text("height", "cy", "-2")),
        # The argument binder's own refusals, as a constructor gives them.
        ((1000, 320), {}, TypeError, "Camera() missing 1 required positional argument: 'cy'"),
    ],
)
def test_constructor_refusals(args, kwargs, kind, text):
    raises(kind, text, Camera, *args, **kwargs)


@pytest.mark.parametrize(
    "args, kwargs, focal",
    [
        # The ideal fisheye's image circle fills the shorter side, 2 * cy here.
        ((None, 500, 400), FISHEYE, 400 / (math.pi / 2)),
        # A given width lets cx be zero; given extents win over the centre.
        ((None, 0, 400), dict(FISHEYE, width=1000), 400 / (math.pi / 2)),
        ((None, 500, 400), dict(width=300, height=900, fisheye_fov_deg=90), 150 / (math.pi / 4)),
        # round(2 * cx) with halves away from zero: 1000.5 gives 1001.
        ((None, 500.25, 2000), FISHEYE, 500.5 / (math.pi / 2)),
        # With a focal given the extent is never read.
        ((1000, 0, 0), dict(width=1, height=2), 1000.0),
        ((), dict(CALIBRATED, width=0, height=0), 260.0),
    ],
)
def test_effective_focal(args, kwargs, focal):
    assert Camera(*args, **kwargs).effective_focal_px == focal


@pytest.mark.parametrize(
    "kwargs, text",
    [
        (PINHOLE, "Camera(pinhole, focal_px=1000.0000, cx=320.0000, cy=240.0000)"),
        (IDEAL, "Camera(equidistant fisheye fov=180.0 deg, focal_px=254.6479, cx=500.0000, cy=400.0000)"),
        (CALIBRATED, "Camera(distorted fisheye fov=190.0 deg k=(-0.02, 0.003, -0.0004, 0.00002), "
                     "focal_px=260.0000, cx=510.0000, cy=395.0000)"),
    ],
)
def test_repr(kwargs, text):
    assert repr(Camera(**kwargs)) == text


def test_properties():
    camera = Camera(**PINHOLE)
    assert (camera.effective_focal_px, camera.cx, camera.cy) == (1000.0, 320.0, 240.0)
    assert camera.arcmin_per_pixel == math.atan(0.001) * 57.29577951308232 * 60.0
    assert camera.default_sigma_arcmin == camera.arcmin_per_pixel * 0.5
    assert Camera(100000.0, 0, 0).default_sigma_arcmin == 1.0
    with pytest.raises(AttributeError):
        camera.cx = 1.0
    assert halvane.Camera.__module__ == "halvane"


def test_pixel_to_vec_forms():
    camera = Camera(**PINHOLE)
    # Two numbers (NumPy scalars too): one float64 direction.
    for x, y in ((320, 240), (np.float32(320), np.int64(240))):
        centre = camera.pixel_to_vec(x, y)
        assert centre.dtype == np.float64 and centre.tolist() == [0.0, 0.0, 1.0]
    # Two sequences of any kind: one row per pixel, each as the scalar call gives it.
    xs, ys = [10.0, 320.0, 700.5], [-5, 240, 900]
    rows = camera.pixel_to_vec(xs, ys)
    assert rows.shape == (3, 3) and rows.dtype == np.float64
    assert rows.tolist() == [camera.pixel_to_vec(x, y).tolist() for x, y in zip(xs, ys)]
    assert camera.pixel_to_vec(np.array(xs), tuple(ys)).tolist() == rows.tolist()
    assert camera.pixel_to_vec(np.array(xs, dtype=np.float32)[::2], np.array(ys)[::2]).shape == (2, 3)
    assert camera.pixel_to_vec([], []).shape == (0, 3)
    # A one-element array is a sequence of one pixel, not a scalar.
    assert camera.pixel_to_vec(np.array([320.0]), np.array([240.0])).shape == (1, 3)


@pytest.mark.parametrize(
    "x, y, text",
    [
        ([1, 2], [3], "x and y must have the same length, got 2 and 1"),
        (1.0, [1.0], coordinates_text("x")),
        ("12", "34", coordinates_text("x")),
        ([1.0, "a"], [1.0, 2.0], coordinates_text("x")),
        ([1.0], None, coordinates_text("y")),
        ([1.0], [[1.0]], coordinates_text("y")),
    ],
)
def test_pixel_to_vec_refusals(x, y, text):
    raises(HalvaneError, text, Camera(**PINHOLE).pixel_to_vec, x, y)


def test_vec_to_pixel_forms():
    camera = Camera(**PINHOLE)
    # One direction, used as given (not normalised): a tuple, or None outside the field.
    for v in ((0, 0, 1), np.array([0.0, 0.0, 1.0]), (0.0, 0.0, 2.0)):
        assert camera.vec_to_pixel(v) == (320.0, 240.0)
    assert camera.vec_to_pixel([0, 0, -1]) is None
    nan_pixel = camera.vec_to_pixel((math.nan, 0.0, 1.0))
    assert math.isnan(nan_pixel[0]) and nan_pixel[1] == 240.0
    # Many: an (N, 2) float64 array with NaN rows outside the field.
    rows = camera.vec_to_pixel(np.array([[0.0, 0.0, 1.0], [0.0, 0.0, -1.0]]))
    assert rows.shape == (2, 2) and rows.dtype == np.float64
    assert rows[0].tolist() == [320.0, 240.0] and np.isnan(rows[1]).all()
    listed = camera.vec_to_pixel([(0, 0, 1), [0.6, 0, 0.8], (0, 0, 1)])
    assert listed.shape == (3, 2) and listed[1].tolist() == [1070.0, 240.0]
    # A (3, 3) array is three directions, not one, whatever its dtype.
    for v, n in ((np.eye(3), 3), (np.eye(3, dtype=np.int32), 3), (np.zeros((0, 3)), 0), ([], 0)):
        assert camera.vec_to_pixel(v).shape == (n, 2)


@pytest.mark.parametrize("v", ["abc", 5, None, [[1.0, 2.0]], [(1, 2, 3), "xyz"], np.zeros((2, 4)), np.zeros((3, 1)), {1, 2, 3}])
def test_vec_to_pixel_refusals(v):
    raises(HalvaneError, DIRECTIONS_TEXT, Camera(**PINHOLE).vec_to_pixel, v)
