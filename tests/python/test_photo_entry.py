"""The photo path's private entry points, field for field what the public routes they replace give."""

import numpy as np
import pytest

import halvane
import halvane_tools
from halvane_tools import scenarios
from test_tracker import FOCAL, SIZE, UTC, fix_fields


CATALOG = halvane_tools.default_catalog()
CHECKED = 48  # the detections a solve of 12 looks at: 12 search, 36 check


@pytest.fixture(scope="module")
def night():
    case = scenarios.seeded_scenarios(1, scenarios.FISHEYE)[0]
    return case, scenarios.render(case, CATALOG)


def shifted_left(pixels, px):
    out = np.zeros_like(pixels)
    out[:, :-px] = pixels[:, px:]
    return out


def test_an_off_centre_ideal_fisheye_is_the_image_paths_camera(night):
    case, scene = night
    pixels = shifted_left(scene.pixels, 40)
    height, width = pixels.shape
    common = (scene.up_cam, case.utc, CATALOG)
    detections = halvane.detect_centroids(pixels, CHECKED)
    fix = halvane._resolve_photo(detections, width, height, None, 472.0, 512.0, *common, fisheye_fov_deg=180.0)
    assert scenarios.error_nm(case, fix) < 5.0
    # The image path sizes the camera from the image: the same fix.
    imaged = halvane.resolve_fix(pixels, None, 472.0, 512.0, *common, fisheye_fov_deg=180.0)
    assert fix_fields(fix) == fix_fields(imaged)


def paint_disc(pixels, x, y, radius):
    out = pixels.copy()
    yy, xx = np.mgrid[0 : out.shape[0], 0 : out.shape[1]]
    out[(xx - x) ** 2 + (yy - y) ** 2 <= radius**2] = 65535
    return out


def test_a_disc_is_found_and_used_as_resolve_fix_uses_it(night):
    case, scene = night
    assert halvane._detect_sun(scene.pixels) is None
    # A disc on the third brightest star: its glare must drop that star.
    x0, y0, _ = halvane.detect_centroids(scene.pixels, 12)[2]
    pixels = paint_disc(scene.pixels, round(x0), round(y0), 20)
    sun = halvane._detect_sun(pixels)
    assert sun is not None and np.hypot(sun[0] - round(x0), sun[1] - round(y0)) < 0.5
    masked = np.zeros(pixels.shape, bool)
    masked[:, : round(x0) + 40] = True
    assert halvane._detect_sun(pixels, masked) is None
    with pytest.raises(halvane.HalvaneError, match="^bad image: mask 3x2 .6 flags. does not match the 1024x1024 frame$"):
        halvane._detect_sun(pixels, np.zeros((2, 3), bool))

    c = case.camera
    common = (scene.up_cam, case.utc, CATALOG)
    detections = halvane.detect_centroids(pixels, CHECKED)
    with_sun = halvane._resolve_photo(detections, c.width, c.height, None, c.cx, c.cy, *common, sun=sun,
                                      fisheye_fov_deg=180.0)
    imaged = halvane.resolve_fix(pixels, None, c.cx, c.cy, *common, fisheye_fov_deg=180.0, use_sun=True)
    assert fix_fields(with_sun) == fix_fields(imaged) and not with_sun.used_sun  # a night sky: no Sun there
    without = halvane._resolve_photo(detections, c.width, c.height, None, c.cx, c.cy, *common, fisheye_fov_deg=180.0)
    assert fix_fields(without) != fix_fields(with_sun)


@pytest.mark.parametrize(
    "kwargs, kind, text",
    [
        ({"tracker": 3}, TypeError, "argument 'tracker': 'int' object is not an instance of 'FixTracker'"),
        ({"sun": (1.0,)}, ValueError, "expected a sequence of length 2 (got 1)"),
        ({"sigma_arcmin": 0.0}, halvane.HalvaneError, None),
    ],
)
def test_refusals_are_those_of_resolve_from_centroids(twins, kwargs, kind, text):
    args = ([(1.0, 2.0, 3.0)] * 4, SIZE, SIZE, FOCAL, SIZE / 2, SIZE / 2, (0.0, 0.0, 1.0), UTC, twins)
    with pytest.raises(kind) as info:
        halvane._resolve_photo(*args, **kwargs)
    if text is None:
        with pytest.raises(kind) as public:
            halvane.resolve_from_centroids(*args[:1], *args[3:], **kwargs)
        text = str(public.value)
    assert text in str(info.value)
