import math

import numpy as np
import pytest

import halvane

JD = halvane.julian_date(2026, 3, 14, 21, 30, 0.0)


def fisheye(bundled_catalog, width=320, height=240, **overrides):
    args = dict(lat_deg=37.0, lon_deg=-122.0, jd_ut=JD, roll_deg=0.0, width=width, height=height, focal_px=None,
                mag_limit=4.5, pixel_noise_arcmin=0.0, up_noise_arcmin=0.0, background_noise=0.0, seed=7)
    return halvane.synthesize_scene(bundled_catalog, **{**args, "fisheye_fov_deg": 180.0, **overrides})


@pytest.mark.parametrize(
    "overrides, error, text",
    [
        # The focal rules (their texts: test_camera) come before the engine's own checks.
        (dict(focal_px=900.0, width=0), halvane.HalvaneError, "focal_px is ignored for the ideal equidistant fisheye"),
        (dict(k2=0.01), halvane.HalvaneError, "focal_px is required for a calibrated fisheye"),
        (dict(bit_depth=-1), OverflowError, "argument 'bit_depth'"),
        (dict(seed=2**64), OverflowError, "argument 'seed'"),
        (dict(width=2**40, height=2**40), MemoryError, "a scene of 1099511627776 x 1099511627776 pixels is too large to address"),
    ],
)
def test_refusals(bundled_catalog, overrides, error, text):
    with pytest.raises(error) as info:
        fisheye(bundled_catalog, **overrides)
    assert str(info.value).startswith(text)


def test_scene_properties_are_fresh_read_only_copies(bundled_catalog):
    with pytest.raises(TypeError, match="^No constructor defined for Scene$"):
        halvane.Scene()
    scene = fisheye(bundled_catalog)
    assert (scene.boresight_alt_deg, scene.boresight_az_deg) == (90.0, 0.0)
    a, b = scene.pixels, scene.pixels
    assert a.shape == (240, 320) and a.dtype == np.uint16 and a.flags.c_contiguous
    a[:] = 0
    assert np.array_equal(scene.pixels, b) and b[0, 0] == 1024
    assert isinstance(scene.up_cam, tuple) and scene.up_cam == pytest.approx((0.0, 0.0, 1.0), abs=1e-12)
    ids, centres = scene.rendered_hr_ids, scene.star_pixels
    assert len(ids) == len(centres) > 20
    # Each listed star is a bright spot at its listed (x, y) centre.
    assert all(b[round(y), round(x)] > 1024 for x, y in centres)
    with pytest.raises(AttributeError):
        scene.up_cam = (0.0, 0.0, 1.0)


def test_the_seed_and_noise_reach_the_renderer(bundled_catalog):
    noisy = dict(up_noise_arcmin=5.0, background_noise=20.0)
    first, again, other = (fisheye(bundled_catalog, seed=s, **noisy) for s in (1, 1, 2))
    assert np.array_equal(again.pixels, first.pixels) and again.up_cam == first.up_cam
    assert not np.array_equal(other.pixels, first.pixels)
    # 600 px short side, 180 degrees: focal 300 / (pi / 2), derived from the
    # extent; six arcminutes of position noise is about 0.33 px per axis.
    clean = fisheye(bundled_catalog, width=800, height=600, mag_limit=5.5)
    jittered = fisheye(bundled_catalog, width=800, height=600, mag_limit=5.5, pixel_noise_arcmin=6.0)
    where = dict(zip(clean.rendered_hr_ids, clean.star_pixels))
    offsets = [(x - where[hr][0], y - where[hr][1]) for hr, (x, y) in zip(jittered.rendered_hr_ids, jittered.star_pixels) if hr in where]
    assert len(offsets) > 300
    rms = math.sqrt(sum(dx * dx + dy * dy for dx, dy in offsets) / (2 * len(offsets)))
    assert rms == pytest.approx(300.0 / (math.pi / 2) * math.radians(6.0 / 60.0), rel=0.15)
