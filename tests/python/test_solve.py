import datetime
import math
import random

import numpy as np
import pytest

import halvane
import halvane_tools
from halvane_tools import scenarios

CATALOG = halvane_tools.default_catalog()
UTC = (2026, 3, 14, 21, 30, 0.0)
JD = halvane.julian_date(*UTC)


def zenith_fisheye_centroids(lat_deg, lon_deg, jd, size=1024):
    """(x, y, flux) of the stars a noise-free zenith 180-degree fisheye renders, brightest first."""
    scene = halvane.synthesize_scene(CATALOG, lat_deg, lon_deg, jd, 0.0, size, size, None, 4.5, 0.0, 0.0, 0.0, 1,
                                     fisheye_fov_deg=180.0)
    return [(x, y, 100.0 - k) for k, (x, y) in enumerate(scene.star_pixels)]


def solve(centroids=None, utc=UTC, **kwargs):
    args = dict(focal_px=None, cx=512.0, cy=512.0, up_cam=(0.0, 0.0, 1.0), utc=utc, catalog=CATALOG, fisheye_fov_deg=180.0)
    args.update(kwargs)
    if centroids is None:
        centroids = zenith_fisheye_centroids(40.0, -74.0, JD)
    return halvane.resolve_from_centroids(centroids, **args)


def test_centroids_give_the_place_in_a_read_only_fix():
    fix = solve()
    assert isinstance(fix, halvane.Fix) and repr(fix).startswith("Fix(latitude_deg=")
    assert halvane.great_circle_nm(40.0, -74.0, fix.latitude_deg, fix.longitude_deg) < 5.0
    assert len(fix.matched_hr_ids) >= 5 and all(isinstance(i, int) for i in fix.matched_hr_ids)
    assert fix.matched_hr_ids is not fix.matched_hr_ids  # a new object on every read
    cov = fix.covariance
    assert isinstance(cov, list) and all(isinstance(r, list) and len(r) == 2 for r in cov) and len(cov) == 2
    assert cov[0][1] == cov[1][0]
    ellipse = fix.ellipse_2sigma_nm
    assert isinstance(ellipse, tuple) and len(ellipse) == 3 and ellipse[0] >= ellipse[1] >= 0
    assert fix.used_sun is False and 1 <= fix.n_iterations <= 20 and fix.match_margin >= 0 and fix.residual_rms_rad > 0
    with pytest.raises(TypeError, match="^No constructor defined for Fix$"):
        halvane.Fix()
    with pytest.raises(AttributeError):
        fix.latitude_deg = 0.0
    # The residual gate reaches the engine in radians.
    limit_arcmin = math.degrees(fix.residual_rms_rad) * 60.0
    assert solve(max_residual_rms_arcmin=limit_arcmin * 1.0001).residual_rms_rad == fix.residual_rms_rad
    with pytest.raises(halvane.HalvaneError, match="residual rms above"):
        solve(max_residual_rms_arcmin=limit_arcmin * 0.999)


def test_timestamp_forms_agree():
    reference = solve()
    utc = datetime.timezone.utc
    plus_two = datetime.timezone(datetime.timedelta(hours=2))
    forms = [
        (2026, 3, 14, 21, 30, 0),  # an integer second
        datetime.datetime(2026, 3, 14, 21, 30, tzinfo=utc),
        datetime.datetime(2026, 3, 14, 23, 30, tzinfo=plus_two),
    ]
    for form in forms:
        fix = solve(utc=form)
        assert (fix.latitude_deg, fix.longitude_deg) == (reference.latitude_deg, reference.longitude_deg)
    # Microseconds reach the Julian Date: half a second moves the sky.
    later = solve(utc=datetime.datetime(2026, 3, 14, 21, 30, 0, 500000, tzinfo=utc))
    assert later.longitude_deg != reference.longitude_deg


FORMS_TEXT = "utc must be a (year, month, day, hour, minute, second) tuple or a timezone-aware datetime.datetime"


@pytest.mark.parametrize(
    "utc, text",
    [
        *[(utc, FORMS_TEXT) for utc in [(2026, 3, 14, 21.5, 30, 0.0), [2026, 3, 14, 21, 30, 0.0], (2026, -3, 14, 21, 30, 0.0),
                                        "2026-03-14T21:30:00Z"]],
        (
            datetime.datetime(2026, 3, 14, 21, 30),
            "utc is a naive datetime, which fixes no instant in time: attach the tzinfo the timestamp was recorded in (datetime.timezone.utc when it is already UTC)",
        ),
        (UTC[:5] + (math.inf,), "utc second must be finite (got inf)"),
    ],
)
def test_timestamp_refusals(utc, text):
    with pytest.raises(halvane.HalvaneError) as info:
        solve(utc=utc)
    assert str(info.value) == text


def test_exceptions_from_the_callers_timestamp_pass_through():
    class Broken:
        def utcoffset(self):
            raise KeyError("from utcoffset")

        def astimezone(self, tz):
            return self

    with pytest.raises(KeyError, match="from utcoffset"):
        solve(utc=Broken())


@pytest.mark.parametrize(
    "kwargs, text",
    [
        (dict(centroids=[(1.0, 2.0, 3.0)] * 3), "insufficient stars: needed 4, got 3"),
        (dict(up_cam=(0, math.nan, 1)), "up vector is degenerate: zero length or non-finite"),
        (dict(focal_px=300.0), "focal_px is ignored for the ideal equidistant fisheye"),
        (dict(fisheye_fov_deg=None), "focal_px is required for the pinhole camera (fisheye_fov_deg=None)"),
        (dict(min_matched_stars=1000), "thin lock: fewer matched stars than the configured minimum"),
        (dict(max_residual_rms_arcmin=0.0), "thin lock: residual rms above the configured maximum"),
        # Limits that once read as a singular geometry, matched nothing, or
        # let every fix through.
        *[
            (dict(sigma_arcmin=v), f"sigma_arcmin must be finite and greater than 0 arcminutes (got {shown}); None takes half a pixel")
            for v, shown in [(0.0, "0"), (-2.0**63, "-9223372036854775808"), (math.nan, "NaN"), (math.inf, "inf")]
        ],
        (dict(max_residual_rms_arcmin=math.nan), "max_residual_rms_arcmin must be 0 or more arcminutes (got NaN); None sets no limit"),
        (dict(max_residual_rms_arcmin=-0.5), "max_residual_rms_arcmin must be 0 or more arcminutes (got -0.5)"),
    ],
)
def test_engine_and_camera_refusals(kwargs, text):
    with pytest.raises(halvane.HalvaneError) as info:
        solve(**kwargs)
    assert str(info.value).startswith(text)


@pytest.mark.parametrize(
    "kwargs, kind, text",
    [
        (dict(centroids="1,2,3"), TypeError, "argument 'centroids': expected a sequence of (x, y, flux) triples, not str"),
        (dict(centroids=[(1, 2, 3), (1, 2)]), TypeError, "argument 'centroids': item 1 is not an (x, y, flux) triple of floats"),
        (dict(up_cam=(0, 0, 1, 0)), ValueError, "argument 'up_cam': expected a sequence of length 3 (got 4)"),
        *[(dict(up_cam=v), TypeError, "argument 'up_cam': expected a sequence of floats, not") for v in (b"abc", bytearray(3), np.array(1.0))],
        (dict(max_centroids=-1), OverflowError, "argument 'max_centroids'"),
        (dict(catalog="stars.hcat"), TypeError, "argument 'catalog'"),
        (dict(use_sun=True), TypeError, "resolve_from_centroids() got an unexpected keyword argument 'use_sun'"),
    ],
)
def test_argument_errors_name_the_parameter(kwargs, kind, text):
    with pytest.raises(kind) as info:
        solve(**kwargs)
    assert type(info.value) is kind and str(info.value).startswith(text)


def test_sequences_that_break_their_promise_are_refused_by_name():
    class LyingLength(list):
        def __len__(self):
            return 9

    class Shrinking:
        def __init__(self):
            self.items = [0.0, 0.0, 1.0]

        def __len__(self):
            return 3

        def __getitem__(self, i):
            self.items = self.items[:1]
            return self.items[i]

    for name, kwargs in (("centroids", dict(centroids=LyingLength([(1.0, 2.0, 3.0)] * 5))), ("up_cam", dict(up_cam=Shrinking()))):
        with pytest.raises(ValueError, match=f"^argument '{name}': the sequence ended at item [0-9] of the [39]") as info:
            solve(**kwargs)
        assert not isinstance(info.value, IndexError)


def test_resolve_fix_refuses_bad_images_and_masks_before_solving():
    image = np.zeros((64, 64), dtype=np.uint16)
    base = dict(focal_px=None, cx=32.0, cy=32.0, up_cam=(0, 0, 1), utc=UTC, catalog=CATALOG, fisheye_fov_deg=180.0)
    for changes, text in [
        # The order of checks: focal rule, then image, then timestamp.
        (dict(image=image.astype(np.int32), focal_px=100.0, utc="now"), "focal_px is ignored"),
        (dict(image=image.astype(np.int32), utc="now"), "image must be a 2-D uint8 or uint16 numpy array$"),
        (dict(image=np.zeros((64, 80), dtype=np.uint16).T), "image must be C-contiguous"),
        (dict(mask=np.zeros((64, 64), dtype=np.uint8)), "mask must be a 2-D bool numpy array$"),
        (dict(mask=np.zeros((32, 64), dtype=bool)), "bad image: mask"),
        # A dark frame holds no stars.
        ({}, "insufficient stars: needed 4, got 0$"),
    ]:
        with pytest.raises(halvane.HalvaneError, match="^" + text.replace("(", r"\(")):
            halvane.resolve_fix(**{"image": image, **base, **changes})


@pytest.mark.parametrize("camera", [scenarios.FISHEYE, scenarios.PINHOLE], ids=["fisheye", "pinhole"])
def test_random_detections_are_not_a_sky(camera):
    """Points thrown at random into the field hold no star pattern: no hypothesis may become a fix."""
    rng = random.Random(camera.width + camera.height)
    for _ in range(40):
        centroids, up, utc = scenarios.random_detections(rng, camera)
        with pytest.raises(halvane.HalvaneError, match="^no star pattern match found$"):
            halvane.resolve_from_centroids(centroids, camera.focal_px, camera.cx, camera.cy, up, utc, CATALOG,
                                           fisheye_fov_deg=camera.fisheye_fov_deg)


@pytest.mark.parametrize("seed", [21, 24])
def test_a_frame_of_saturated_discs_is_not_a_sky(seed):
    """Twenty saturated discs on a flat frame (seeds that once gave fixes)."""
    rng = np.random.default_rng(seed)
    image = np.full((1024, 1024), 3000, np.uint16)
    yy, xx = np.mgrid[0:1024, 0:1024]
    for _ in range(20):
        r, a = 480 * math.sqrt(rng.random()), rng.random() * 2 * math.pi
        image[(xx - 512 - r * math.cos(a)) ** 2 + (yy - 512 - r * math.sin(a)) ** 2 <= 16] = 65535
    with pytest.raises(halvane.HalvaneError, match="^no star pattern match found$"):
        halvane.resolve_fix(image, None, 512.0, 512.0, (0, 0, 1), UTC, CATALOG, fisheye_fov_deg=180.0)
