import inspect
import math

import numpy as np
import pytest

import halvane
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
    return (
        "x and y must both be floats, or both 1-D sequences of floats of the same length "
        f"({name} is neither)"
    )


def extent_text(name, centre, value):
    return (
        f"{name} defaults to 2 * {centre}, so {centre} must be positive (got {value}); "
        f"pass {name} explicitly for an off-centre principal point"
    )


PINHOLE = dict(focal_px=1000.0, cx=320.0, cy=240.0)
IDEAL = dict(focal_px=None, cx=500.0, cy=400.0, fisheye_fov_deg=180.0)
CALIBRATED = dict(focal_px=260.0, cx=510.0, cy=395.0, fisheye_fov_deg=190.0, k1=-0.02, k2=0.003, k3=-0.0004, k4=2e-5)


def raises_text(kind, text, call, *args, **kwargs):
    with pytest.raises(kind) as info:
        call(*args, **kwargs)
    assert type(info.value) is kind
    assert str(info.value) == text


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        ((300, 500, 400), dict(fisheye_fov_deg=180), IDEAL_FOCAL_TEXT),
        # -0.0 is zero, so this is still the ideal lens.
        ((300, 500, 400), dict(fisheye_fov_deg=180, k1=-0.0, k4=-0.0), IDEAL_FOCAL_TEXT),
        ((None, 500, 400), dict(), PINHOLE_TEXT),
        ((None, 500, 400), dict(fisheye_fov_deg=180, k2=0.01), CALIBRATED_TEXT),
        ((None, 500, 400), dict(fisheye_fov_deg=180, k4=1e-6), CALIBRATED_TEXT),
        # NaN is not zero: a calibrated lens, which needs its focal.
        ((None, 500, 400), dict(fisheye_fov_deg=180, k3=math.nan), CALIBRATED_TEXT),
        ((None, 0, 400), dict(fisheye_fov_deg=180), extent_text("width", "cx", "0")),
        ((None, 500, -3.5), dict(fisheye_fov_deg=180), extent_text("height", "cy", "-3.5")),
        ((None, math.nan, 400), dict(fisheye_fov_deg=180), extent_text("width", "cx", "NaN")),
        # Width is settled first.
        ((None, -1, -2), dict(fisheye_fov_deg=180), extent_text("width", "cx", "-1")),
        ((None, -1, -2), dict(width=100, fisheye_fov_deg=180), extent_text("height", "cy", "-2")),
    ],
)
def test_constructor_refusals(args, kwargs, text):
    raises_text(HalvaneError, text, Camera, *args, **kwargs)


def test_ideal_fisheye_derives_its_focal_from_the_shorter_side():
    camera = Camera(None, 500, 400, fisheye_fov_deg=180)
    assert camera.effective_focal_px == pytest.approx(254.6479089, abs=1e-6)
    assert camera.effective_focal_px == 400 / (math.pi / 2)
    # A given width with a zero cx is fine; the height comes from cy.
    assert Camera(None, 0, 400, width=1000, fisheye_fov_deg=180).effective_focal_px == 400 / (math.pi / 2)
    assert Camera(None, 500, 400, width=300, height=900, fisheye_fov_deg=90).effective_focal_px == 150 / (
        math.pi / 4
    )
    # round(2 * cx) with halves away from zero: 1001.0 and 1000.5 both give 1001.
    for cx in (500.5, 500.25):
        assert Camera(None, cx, 2000, fisheye_fov_deg=180).effective_focal_px == 500.5 / (math.pi / 2)


def test_extent_is_ignored_when_a_focal_is_given():
    assert Camera(1000, 0, 0, width=1, height=2).effective_focal_px == 1000
    calibrated = Camera(**CALIBRATED, width=0, height=0)
    assert calibrated.effective_focal_px == 260.0


def test_binder_refusals():
    raises_text(TypeError, "Camera() missing 1 required positional argument: 'cy'", Camera, 1000, 320)
    raises_text(OverflowError, "argument 'width': -1 is outside the range 0 to 18446744073709551615",
                Camera, None, 1, 1, width=-1, fisheye_fov_deg=90)
    with pytest.raises(TypeError, match="^argument 'cx': "):
        Camera(1000, "320", 240)
    with pytest.raises(TypeError, match="^argument 'height': "):
        Camera(None, 1, 1, height=2.5, fisheye_fov_deg=90)


@pytest.mark.parametrize(
    "kwargs, text",
    [
        (PINHOLE, "Camera(pinhole, focal_px=1000.0000, cx=320.0000, cy=240.0000)"),
        (IDEAL, "Camera(equidistant fisheye fov=180.0 deg, focal_px=254.6479, cx=500.0000, cy=400.0000)"),
        (
            CALIBRATED,
            "Camera(distorted fisheye fov=190.0 deg k=(-0.02, 0.003, -0.0004, 0.00002), "
            "focal_px=260.0000, cx=510.0000, cy=395.0000)",
        ),
        (
            dict(focal_px=300, cx=0.5, cy=-1, fisheye_fov_deg=123.45, k4=1),
            "Camera(distorted fisheye fov=123.5 deg k=(0, 0, 0, 1), focal_px=300.0000, cx=0.5000, cy=-1.0000)",
        ),
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
    assert Camera(**IDEAL).arcmin_per_pixel == pytest.approx(1 / (400 / (math.pi / 2)) * 57.29577951308232 * 60)
    with pytest.raises(AttributeError):
        camera.cx = 1.0


def test_signatures():
    assert str(inspect.signature(Camera)) == (
        "(focal_px, cx, cy, width=None, height=None, fisheye_fov_deg=None, k1=0.0, k2=0.0, k3=0.0, k4=0.0)"
    )
    assert list(inspect.signature(Camera.pixel_to_vec).parameters) == ["self", "x", "y"]
    assert list(inspect.signature(Camera.vec_to_pixel).parameters) == ["self", "v"]
    assert halvane.Camera.__module__ == "halvane"


def test_pixel_to_vec_forms():
    camera = Camera(**PINHOLE)
    centre = camera.pixel_to_vec(320, 240)
    assert isinstance(centre, np.ndarray) and centre.dtype == np.float64 and centre.shape == (3,)
    assert centre.tolist() == [0.0, 0.0, 1.0]
    xs, ys = [10.0, 320.0, 700.5], [-5, 240, 900]
    rows = camera.pixel_to_vec(xs, ys)
    assert rows.shape == (3, 3) and rows.dtype == np.float64
    for row, x, y in zip(rows, xs, ys):
        assert row.tolist() == camera.pixel_to_vec(x, y).tolist()
    assert camera.pixel_to_vec(np.array(xs), tuple(ys)).tolist() == rows.tolist()
    assert camera.pixel_to_vec(np.array(xs, dtype=np.float32)[::2], np.array(ys)[::2]).shape == (2, 3)
    assert camera.pixel_to_vec([], []).shape == (0, 3)
    # A one-element array is a sequence of one pixel, not a scalar.
    assert camera.pixel_to_vec(np.array([320.0]), np.array([240.0])).shape == (1, 3)
    assert camera.pixel_to_vec(np.float32(320), np.int64(240)).shape == (3,)


@pytest.mark.parametrize(
    "x, y, text",
    [
        ([1, 2], [3], "x and y must have the same length, got 2 and 1"),
        (np.zeros(4), [], "x and y must have the same length, got 4 and 0"),
        (1.0, [1.0], coordinates_text("x")),
        ("12", "34", coordinates_text("x")),
        ([1.0, "a"], [1.0, 2.0], coordinates_text("x")),
        ([1.0], None, coordinates_text("y")),
        ([1.0], [[1.0]], coordinates_text("y")),
    ],
)
def test_pixel_to_vec_refusals(x, y, text):
    raises_text(HalvaneError, text, Camera(**PINHOLE).pixel_to_vec, x, y)


def test_vec_to_pixel_forms():
    camera = Camera(**PINHOLE)
    assert camera.vec_to_pixel((0, 0, 1)) == (320.0, 240.0)
    assert camera.vec_to_pixel(np.array([0.0, 0.0, 1.0])) == (320.0, 240.0)
    assert camera.vec_to_pixel([0, 0, -1]) is None
    assert camera.vec_to_pixel((1.0, 0.0, 0.0)) is None
    rows = camera.vec_to_pixel(np.array([[0.0, 0.0, 1.0], [0.0, 0.0, -1.0]]))
    assert rows.shape == (2, 2) and rows.dtype == np.float64
    assert rows[0].tolist() == [320.0, 240.0] and np.isnan(rows[1]).all()
    listed = camera.vec_to_pixel([(0, 0, 1), [0.6, 0, 0.8], (0, 0, 1)])
    assert listed.shape == (3, 2) and listed[1].tolist() == [1070.0, 240.0]
    # A (3, 3) array is three directions, not one.
    assert camera.vec_to_pixel(np.eye(3)).shape == (3, 2)
    assert camera.vec_to_pixel(np.eye(3, dtype=np.int32)).shape == (3, 2)
    assert camera.vec_to_pixel(np.zeros((0, 3))).shape == (0, 2)
    assert camera.vec_to_pixel([]).shape == (0, 2)
    # Directions are used as given, not normalised.
    assert camera.vec_to_pixel((0.0, 0.0, 2.0)) == (320.0, 240.0)
    nan_pixel = camera.vec_to_pixel((math.nan, 0.0, 1.0))
    assert math.isnan(nan_pixel[0]) and nan_pixel[1] == 240.0


def test_fisheye_field_limit_is_strict():
    camera = Camera(**IDEAL)
    assert camera.vec_to_pixel((1.0, 0.0, 0.0)) is None
    x, y = camera.vec_to_pixel((math.sin(math.radians(89.9)), 0.0, math.cos(math.radians(89.9))))
    assert x - 500 == pytest.approx(399.5556, abs=1e-3) and y == pytest.approx(400.0)


@pytest.mark.parametrize("v", ["abc", 5, None, [[1.0, 2.0]], [(1, 2, 3), "xyz"], np.zeros((2, 4)), np.zeros((3, 1)), {1, 2, 3}])
def test_vec_to_pixel_refusals(v):
    raises_text(HalvaneError, DIRECTIONS_TEXT, Camera(**PINHOLE).vec_to_pixel, v)


@pytest.mark.parametrize("kwargs", [PINHOLE, IDEAL, CALIBRATED], ids=["pinhole", "equidistant", "calibrated"])
def test_round_trip_through_python(kwargs):
    camera = Camera(**kwargs)
    rng = np.random.default_rng(7)
    radius = rng.uniform(0, 380, 200)
    angle = rng.uniform(-math.pi, math.pi, 200)
    xs = camera.cx + radius * np.cos(angle)
    ys = camera.cy + radius * np.sin(angle)
    back = camera.vec_to_pixel(camera.pixel_to_vec(xs, ys))
    assert np.abs(back[:, 0] - xs).max() < 1e-6
    assert np.abs(back[:, 1] - ys).max() < 1e-6
