import math

import numpy as np
import pytest

import halvane
import halvane_tools

JD = halvane.julian_date(2026, 3, 14, 21, 30, 0.0)


@pytest.fixture(scope="module")
def cat():
    return halvane_tools.default_catalog()


def fisheye(cat, width=320, height=240, **overrides):
    args = dict(
        lat_deg=37.0,
        lon_deg=-122.0,
        jd_ut=JD,
        roll_deg=0.0,
        width=width,
        height=height,
        focal_px=None,
        mag_limit=4.5,
        pixel_noise_arcmin=0.0,
        up_noise_arcmin=0.0,
        background_noise=0.0,
        seed=7,
        fisheye_fov_deg=180.0,
    )
    args.update(overrides)
    return halvane.synthesize_scene(cat, **args)


def test_signature_and_class():
    sig = halvane.synthesize_scene.__text_signature__
    assert sig == (
        "(catalog, lat_deg, lon_deg, jd_ut, roll_deg, width, height, focal_px, mag_limit, "
        "pixel_noise_arcmin, up_noise_arcmin, background_noise, seed, fisheye_fov_deg=None, "
        "k1=0.0, k2=0.0, k3=0.0, k4=0.0, bit_depth=16)"
    )
    with pytest.raises(TypeError, match="^No constructor defined for Scene$"):
        halvane.Scene()


@pytest.mark.parametrize(
    "overrides, text",
    [
        (dict(focal_px=900.0), "focal_px is ignored for the ideal equidistant fisheye"),
        (dict(fisheye_fov_deg=None), "focal_px is required for the pinhole camera"),
        (dict(k2=0.01), "focal_px is required for a calibrated fisheye"),
        (dict(width=0, lat_deg=math.nan), "bad image: zero-sized image"),
        (dict(height=0, jd_ut=math.inf), "bad image: zero-sized image"),
        (dict(lat_deg=math.nan, bit_depth=0), "bad image: non-finite lat/lon/jd"),
        (dict(lon_deg=-math.inf), "bad image: non-finite lat/lon/jd"),
        (dict(bit_depth=0), "bad image: bit_depth 0 out of range 1..=16"),
        (dict(bit_depth=17), "bad image: bit_depth 17 out of range 1..=16"),
    ],
)
def test_refusals(cat, overrides, text):
    with pytest.raises(halvane.HalvaneError) as info:
        fisheye(cat, **overrides)
    assert str(info.value).startswith(text)


@pytest.mark.parametrize("name, value", [("bit_depth", -1), ("width", -3), ("seed", 2**64)])
def test_out_of_range_integers_are_argument_errors(cat, name, value):
    with pytest.raises(OverflowError, match=f"^argument '{name}'"):
        fisheye(cat, **{name: value})


@pytest.mark.parametrize("width, height", [(2**40, 2**40), (2**62, 1)])
def test_unaddressable_image_is_a_memory_error(cat, width, height):
    with pytest.raises(MemoryError):
        fisheye(cat, width=width, height=height)


def test_ideal_fisheye_scene_and_its_properties(cat):
    scene = fisheye(cat)
    assert (scene.boresight_alt_deg, scene.boresight_az_deg) == (90.0, 0.0)
    a, b = scene.pixels, scene.pixels
    assert a.shape == (240, 320) and a.dtype == np.uint16 and a.flags.c_contiguous
    assert a is not b and np.array_equal(a, b)
    a[:] = 0
    assert np.array_equal(scene.pixels, b)

    up = scene.up_cam
    assert isinstance(up, tuple) and len(up) == 3
    assert up == pytest.approx((0.0, 0.0, 1.0), abs=1e-12)
    ids, centres = scene.rendered_hr_ids, scene.star_pixels
    assert len(ids) == len(centres) > 20
    mags = [cat.star(hr)[2] for hr in ids]
    assert mags == sorted(mags) and mags[-1] <= 4.5
    # Each listed star is a bright spot at its listed centre; the sky away
    # from them is the untouched background.
    for x, y in centres:
        assert 5 <= x < 315 and 5 <= y < 235
        assert b[round(y), round(x)] > 1024
    assert b[0, 0] == 1024 and np.median(b) == 1024
    with pytest.raises(AttributeError):
        scene.up_cam = (0.0, 0.0, 1.0)


def test_reproducible_for_a_seed_and_zero_is_one(cat):
    noisy = dict(pixel_noise_arcmin=2.0, up_noise_arcmin=5.0, background_noise=20.0)
    first, again = fisheye(cat, seed=1, **noisy), fisheye(cat, seed=1, **noisy)
    zero, other = fisheye(cat, seed=0, **noisy), fisheye(cat, seed=2, **noisy)
    for s in (again, zero):
        assert np.array_equal(s.pixels, first.pixels)
        assert s.star_pixels == first.star_pixels and s.rendered_hr_ids == first.rendered_hr_ids
        assert s.up_cam == first.up_cam
    assert not np.array_equal(other.pixels, first.pixels)
    assert other.up_cam != first.up_cam


def test_pixel_noise_is_converted_with_the_derived_focal(cat):
    # 600 px short side, 180 degrees: focal 300 / (pi / 2); six arcminutes
    # of position noise is about 0.33 px per axis.
    clean = fisheye(cat, width=800, height=600, mag_limit=5.5)
    noisy = fisheye(cat, width=800, height=600, mag_limit=5.5, pixel_noise_arcmin=6.0)
    expected = 300.0 / (math.pi / 2) * math.radians(6.0 / 60.0)
    where = dict(zip(clean.rendered_hr_ids, clean.star_pixels))
    offsets = [
        (x - where[hr][0], y - where[hr][1])
        for hr, (x, y) in zip(noisy.rendered_hr_ids, noisy.star_pixels)
        if hr in where
    ]
    assert len(offsets) > 300
    rms = math.sqrt(sum(dx * dx + dy * dy for dx, dy in offsets) / (2 * len(offsets)))
    assert rms == pytest.approx(expected, rel=0.15)


@pytest.mark.parametrize("lat, lon, jd", [(37.0, -122.0, JD), (-33.9, 151.2, JD + 0.3), (70.0, 20.0, JD + 100.25)])
def test_pinhole_looks_at_a_grid_direction(cat, lat, lon, jd):
    scene = halvane.synthesize_scene(cat, lat, lon, jd, 15.0, 640, 480, 900.0, 5.0, 0.0, 0.0, 0.0, 3)
    assert scene.boresight_alt_deg in (45.0, 55.0, 60.0, 75.0)
    assert scene.boresight_az_deg % 20.0 == 0.0
    assert len(scene.rendered_hr_ids) >= 4
    # The vertical leans back by the boresight's altitude.
    assert math.degrees(math.acos(scene.up_cam[2])) == pytest.approx(90.0 - scene.boresight_alt_deg, abs=1e-9)
