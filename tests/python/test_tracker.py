"""FixTracker as Python sees it: a remembered position breaking a tie between two copies of one star patch
(the twin catalogue), the tracker's arguments, and one call at a time."""

import datetime
import math
import threading

import pytest

import halvane
import halvane_tools
from halvane_tools.scenarios import TWIN_HR

UTC = (2026, 1, 15, 21, 0, 0.0)
JD = halvane.julian_date(*UTC)
LAT = 30.0
# The patch (right ascension 60) culminates 15 degrees north of the zenith
# at JD; its twin stays below the horizon.
LON = (60.0 - halvane.gmst_deg(JD) + 180.0) % 360.0 - 180.0
FOCAL, SIZE = 1200.0, 1024
BOUNDS = dict(max_reference_age_s=600.0, max_disambiguation_distance_nm=50.0)


def utc_after(seconds):
    return datetime.datetime(*UTC[:5], tzinfo=datetime.timezone.utc) + datetime.timedelta(seconds=seconds)


@pytest.fixture(scope="module")
def frames(twins):
    """Pinhole skies of the patch from (LAT, LON) 500 and 1000 seconds after JD, keyed by that offset."""
    out = {}
    for seconds in (500, 1000):
        scene = halvane.synthesize_scene(twins, LAT, LON, JD + seconds / 86400.0, 0.0, SIZE, SIZE, FOCAL, 6.5, 0.5, 0.0, 20.0, 3)
        assert len(scene.rendered_hr_ids) == 10 and max(scene.rendered_hr_ids) < TWIN_HR
        out[seconds] = scene
    return out


def solve_args(scene, seconds, catalog):
    return (scene.pixels, FOCAL, SIZE / 2, SIZE / 2, scene.up_cam, utc_after(seconds), catalog)


def tracker_at(lat, lon, utc, **bounds):
    tracker = halvane.FixTracker(**{**BOUNDS, **bounds})
    tracker.set_last_known_position(lat, lon, utc)
    return tracker


def centroids_of(scene):
    return [(x, y, 100.0 - k) for k, (x, y) in enumerate(scene.star_pixels)]


# The three tracked routes: the image, the centroids, and the photo path's entry point.
ROUTES = {
    "image": lambda tracker, scene, seconds, catalog: tracker.resolve_fix(*solve_args(scene, seconds, catalog)),
    "centroids": lambda tracker, scene, seconds, catalog: tracker.resolve_from_centroids(
        centroids_of(scene), FOCAL, SIZE / 2, SIZE / 2, scene.up_cam, utc_after(seconds), catalog),
    "photo": lambda tracker, scene, seconds, catalog: halvane._resolve_photo(
        centroids_of(scene), SIZE, SIZE, FOCAL, SIZE / 2, SIZE / 2, scene.up_cam, utc_after(seconds), catalog,
        tracker=tracker),
}


def test_the_tracker_keeps_its_picks_between_calls(twins, frames):
    with pytest.raises(halvane.HalvaneError) as info:
        halvane.resolve_fix(*solve_args(frames[1000], 1000, twins))
    ambiguous = str(info.value)
    assert ambiguous.startswith("star pattern match is ambiguous: ")
    # The outside reference, 20 nm north, is 1000 s old by the last frame:
    # only the pick recorded at 500 s keeps the chain within the 600 s bound.
    picked = {}
    for name, route in ROUTES.items():
        tracker = tracker_at(LAT + 20.0 / 60.0, LON, utc_after(0))
        for seconds in (500, 1000):
            fix = route(tracker, frames[seconds], seconds, twins)
            assert fix.match_margin == 0 and all(hr < TWIN_HR for hr in fix.matched_hr_ids), name
            assert halvane.great_circle_nm(LAT, LON, fix.latitude_deg, fix.longitude_deg) < 3.0
        picked[name] = fix_fields(fix)
        # Without that pick the same frame is the module function's error.
        with pytest.raises(halvane.HalvaneError) as info:
            route(tracker_at(LAT + 20.0 / 60.0, LON, utc_after(0)), frames[1000], 1000, twins)
        assert str(info.value) == ambiguous, name
    assert picked["photo"] == picked["centroids"]


def fix_fields(fix):
    names = ("latitude_deg", "longitude_deg", "covariance", "ellipse_2sigma_nm", "used_sun", "residual_rms_rad",
             "n_iterations", "match_margin", "matched_hr_ids")
    return tuple(getattr(fix, name) for name in names)


@pytest.fixture(scope="module")
def untied_sky():
    catalog = halvane_tools.default_catalog()
    scene = halvane.synthesize_scene(catalog, -33.9, 151.2, JD, 0.0, 1024, 1024, None, 5.5, 0.5, 0.0, 30.0, 5, fisheye_fov_deg=180.0)
    return scene, (None, 512.0, 512.0, scene.up_cam, UTC, catalog), {"fisheye_fov_deg": 180.0}


def test_an_untied_sky_gives_the_module_functions_fix_field_for_field(untied_sky):
    scene, args, kwargs = untied_sky
    tracker = tracker_at(0.0, 0.0, UTC)  # far away: irrelevant to an untied sky
    centroids = halvane.detect_centroids(scene.pixels, 12)
    for tracked, plain, first in ((tracker.resolve_fix, halvane.resolve_fix, scene.pixels),
                                  (tracker.resolve_from_centroids, halvane.resolve_from_centroids, centroids)):
        assert fix_fields(tracked(first, *args, **kwargs)) == fix_fields(plain(first, *args, **kwargs))


class CallsBack:
    """A number whose conversion calls `action` first, as any __float__ may."""

    def __init__(self, value, action):
        self.value, self.action, self.outcome = value, action, None

    def __float__(self):
        try:
            self.action()
            self.outcome = "ran"
        except RuntimeError as e:
            self.outcome = str(e)
        return self.value


def test_a_call_during_another_on_the_same_tracker_fails_at_once(untied_sky):
    scene, (focal, cx, cy, up, utc, catalog), kwargs = untied_sky
    tracker, other = halvane.FixTracker(**BOUNDS), halvane.FixTracker(**BOUNDS)
    same = CallsBack(cx, lambda: tracker.set_last_known_position(0.0, 0.0, UTC))
    independent = CallsBack(cy, lambda: other.set_last_known_position(0.0, 0.0, UTC))
    fix = tracker.resolve_fix(scene.pixels, focal, same, independent, up, utc, catalog, **kwargs)
    assert (same.outcome, independent.outcome) == ("Already borrowed", "ran")
    assert isinstance(fix, halvane.Fix)
    # Each method holds the tracker through its own conversions, and gives
    # it back after a refusal.
    lat = CallsBack(10.0, lambda: tracker.resolve_from_centroids([], None, 1.0, 1.0, up, utc, catalog))
    with pytest.raises(ValueError):
        tracker.set_last_known_position(lat, 200.0, UTC)
    assert lat.outcome == "Already borrowed"
    tracker.set_last_known_position(0.0, 0.0, UTC)


def test_another_thread_is_refused_rather_than_kept_waiting():
    tracker = halvane.FixTracker(**BOUNDS)
    converting, release = threading.Event(), threading.Event()

    def slow():
        converting.set()
        assert release.wait(10)

    worker = threading.Thread(target=lambda: tracker.set_last_known_position(CallsBack(0.0, slow), 0.0, UTC))
    worker.start()
    assert converting.wait(10)
    try:
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            tracker.set_last_known_position(1.0, 1.0, UTC)
    finally:
        release.set()
        worker.join()
    tracker.set_last_known_position(1.0, 1.0, UTC)


@pytest.mark.parametrize("value, shown", [(-1.5, "-1.5"), (math.nan, "NaN"), (math.inf, "inf")])
@pytest.mark.parametrize("name", ["max_reference_age_s", "max_disambiguation_distance_nm"])
def test_constructor_refuses_bounds_that_are_not_finite_and_positive(name, value, shown):
    with pytest.raises(ValueError) as info:
        halvane.FixTracker(**{**BOUNDS, name: value})
    assert str(info.value) == f"{name} must be finite and positive, got {shown}"


def test_constructor_binding():
    halvane.FixTracker(max_reference_age_s=5e-324, max_disambiguation_distance_nm=1)
    # The age is checked first.
    with pytest.raises(ValueError, match="^max_reference_age_s must be finite and positive, got 0$"):
        halvane.FixTracker(max_reference_age_s=0.0, max_disambiguation_distance_nm=-1.0)
    for args, kwargs in (((600.0, 50.0), {}), ((), dict(max_reference_age_s=600.0))):
        with pytest.raises(TypeError):
            halvane.FixTracker(*args, **kwargs)
    with pytest.raises(TypeError, match="^argument 'max_disambiguation_distance_nm': must be real number, not str$"):
        halvane.FixTracker(max_reference_age_s=600.0, max_disambiguation_distance_nm="50")


def test_set_last_known_position_binding():
    tracker = halvane.FixTracker(**BOUNDS)
    assert tracker.set_last_known_position(90, -180.0, UTC) is None
    # The engine's refusals are ValueErrors without a prefix.
    with pytest.raises(ValueError) as info:
        tracker.set_last_known_position(0.0, math.nan, utc_after(0))
    assert type(info.value) is ValueError and str(info.value) == "longitude NaN out of range [-180, 180]"
    with pytest.raises(halvane.HalvaneError, match="^utc is a naive datetime"):
        tracker.set_last_known_position(0.0, 0.0, datetime.datetime(2026, 1, 15))
    # A non-finite second is refused with the timestamp, before any position
    # check can see an infinite Julian Date.
    with pytest.raises(halvane.HalvaneError, match=r"^utc second must be finite \(got inf\)$"):
        tracker.set_last_known_position(0.0, 0.0, (2026, 1, 15, 21, 0, math.inf))
    with pytest.raises(TypeError, match="^argument 'lat_deg'"):
        tracker.set_last_known_position("north", 0.0, UTC)
