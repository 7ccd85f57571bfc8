import itertools
import math
import random
from importlib import resources
from types import SimpleNamespace

import numpy as np
import pytest

import halvane
import halvane_tools
from halvane_tools import cli, narrow, pointings, scenarios
from halvane_tools.catalog_builder import BUNDLES, build, read_catalog_records

from test_catalog_builder import BSC5

WIDE = halvane_tools.default_catalog(name="wide")
DEEP = halvane_tools.default_catalog(name="deep")


@pytest.mark.parametrize("choice, field_deg, expected", [
    (None, None, WIDE), (None, 8.0, DEEP), (None, 15.0, DEEP), (None, 15.01, WIDE), (None, 180.0, WIDE),
    (["wide"], 10.0, WIDE), (["deep"], None, DEEP),
])
def test_the_catalogue_follows_the_field_unless_one_is_named(choice, field_deg, expected):
    assert narrow.catalog_for(choice, field_deg) is expected


def test_the_bundles_their_reach_and_a_catalogue_of_ones_own():
    assert halvane_tools.default_catalog() is WIDE and halvane_tools.default_catalog(8.0, name="wide") is WIDE
    assert WIDE.n_stars == 2887 and DEEP.n_stars == 9096
    with pytest.raises(ValueError, match="no bundled catalogue 'narrow'; choose one of wide, deep"):
        halvane_tools.default_catalog(name="narrow")
    # The deep bundle pairs faint stars a few degrees apart; the wide one does not.
    faint = [hr for hr, *_ in DEEP.stars() if DEEP.star(hr)[2] > 6.0][:50]
    assert any(DEEP.has_pair(a, b, 5.0, 5.0) for a in faint for b in faint if a != b)
    data = resources.files(halvane_tools) / "data"
    own = narrow.catalog_for([str(data / halvane_tools.CATALOG_FILE), str(data / halvane_tools.PAIRS_FILE)], 10.0)
    assert own is not WIDE and own.n_stars == WIDE.n_stars
    with pytest.raises(ValueError, match="--catalog takes"):
        narrow.catalog_for(["a", "b", "c"], 10.0)


def test_the_deep_build_reproduces_the_shipped_files():
    limits, stars_file, pairs_file = BUNDLES["deep"]
    catalog, pairs = build(BSC5, limits)
    shipped = resources.files(halvane_tools) / "data"
    assert catalog == (shipped / stars_file).read_bytes() and pairs == (shipped / pairs_file).read_bytes()
    assert read_catalog_records(catalog)[1]["vmag"].max() > 7.5


@pytest.mark.parametrize("focal, size, fisheye, expected", [
    (512.0, (1024, 768), None, 90.0),
    (512.0, (768, 1024), None, 90.0),
    (pointings.focal_for_field(10.0), (1024, 768), None, 10.0),
    (None, (1024, 1024), 180.0, 180.0),
    (None, (1024, 768), None, None),
])
def test_field_of_a_lens(focal, size, fisheye, expected):
    got = narrow.field_deg(focal, *size, fisheye_fov_deg=fisheye)
    assert got == (None if expected is None else pytest.approx(expected))


# The shipped deep catalogue holds every source star (its build is checked above).
SKY = pointings.SkyStars.from_catalog_bytes(
    (resources.files(halvane_tools) / "data" / halvane_tools.DEEP_CATALOG_FILE).read_bytes(), 6.5)


@pytest.mark.parametrize("count", [4, 5, 6, 9, 12, 30])
def test_retry_pools_hold_every_triangle_of_the_candidates(count):
    pools = narrow._pools(count, 12)
    top = min(count, 12)
    held = {t for pool in pools for t in itertools.combinations(pool, 3)}
    first = set(itertools.combinations(range(min(top, 5)), 3))
    assert held | first == set(itertools.combinations(range(top), 3))
    assert all(len(pool) == 5 and max(pool) < top for pool in pools)
    assert tuple(range(5)) not in pools and len(set(pools)) == len(pools)


def fields(field_deg, false_stars, count, seed):
    rng = random.Random(seed)
    return [pointings.random_field(rng, SKY, field_deg, false_stars) for _ in range(count)]


def solved_right(field, fix):
    return halvane.great_circle_nm(field.lat_deg, field.lon_deg, fix.latitude_deg, fix.longitude_deg) < 30.0


def test_other_pools_survive_false_detections_and_never_mislead():
    cases = fields(12.0, 10, 8, 11)
    plain = rescued = 0
    for f in cases:
        args = (f.centroids, f.focal_px, f.cx, f.cy, f.up_cam, f.utc, DEEP)
        try:
            plain += solved_right(f, halvane.resolve_from_centroids(*args))
        except halvane.HalvaneError:
            pass
        try:
            fix = narrow.identify(*args)
        except halvane.HalvaneError:
            continue
        assert solved_right(f, fix)
        rescued += 1
    assert rescued > plain


def stand_in_identify(catalog, **keywords):
    """identify on twenty made-up detections of a 1000 px pinhole, with a stand-in engine in keywords."""
    centroids = [(10.0 * k, 5.0 * k, 100.0 - k) for k in range(20)]
    return narrow.identify(centroids, 1000.0, 512.0, 384.0, (0, 0, 1), (2024, 1, 1, 0, 0, 0.0), catalog, **keywords)


@pytest.mark.parametrize("matched, rms_arcmin, caller_min, accepted", [
    (7, 0.3, None, True),    # few stars, a close fit
    (7, 0.8, None, False),   # few stars fitted only as closely as a coincidence can be
    (8, 0.8, None, True),
    (6, 0.1, None, False),   # below the floor for a retry
    (8, 0.3, 9, False),      # the caller's larger minimum holds for retries too
])
def test_a_retry_needs_more_stars_or_a_closer_fit(matched, rms_arcmin, caller_min, accepted):
    """A stand-in engine: the brightest five find nothing, every other pool names `matched` stars at that rms."""
    calls = []

    def solve(points, *args, min_matched_stars=None, max_residual_rms_arcmin=None, **given):
        calls.append((min_matched_stars, max_residual_rms_arcmin))
        if len(calls) == 1:
            raise halvane.HalvaneError(narrow.NO_MATCH)
        if matched < (min_matched_stars or 4) or rms_arcmin > (max_residual_rms_arcmin or math.inf):
            raise halvane.HalvaneError("thin lock: too few stars (matched 5 stars, margin 1, residual rms 0 rad)")
        return SimpleNamespace(matched_hr_ids=list(range(matched)), residual_rms_rad=math.radians(rms_arcmin / 60))

    run = lambda: stand_in_identify(DEEP, solve=solve, min_matched_stars=caller_min)
    if accepted:
        assert len(run().matched_hr_ids) == matched
    else:
        with pytest.raises(halvane.HalvaneError, match=f"^{narrow.NO_MATCH}$"):
            run()
        assert len(calls) == 1 + 2 * len(narrow._pools(20, narrow.POOL_CANDIDATES))
    few, enough = max(7, caller_min or 0), max(8, caller_min or 0)
    assert set(calls[1:]) <= {(few, 0.5), (enough, 1.0)} and calls[1] == (few, 0.5)


@pytest.mark.parametrize("field, fisheye, rescued", [(20.0, None, True), (30.0, None, True), (40.0, None, False),
                                                     (None, None, False), (20.0, 20.0, False)])
def test_a_field_the_wide_catalogue_misses_is_searched_with_the_deep_one(field, fisheye, rescued):
    """A stand-in search that finds nothing in the wide catalogue and a fix in the deep one."""
    seen = []

    def solve(points, *args, **given):
        seen.append(args[-1])
        if args[-1] is WIDE:
            raise halvane.HalvaneError(narrow.NO_MATCH)
        return "deep fix"

    run = lambda: stand_in_identify(WIDE, solve=solve, field=field, fisheye_fov_deg=fisheye)
    if rescued:
        assert run() == "deep fix" and seen[-1] is DEEP and all(c is WIDE for c in seen[:-1])
    else:
        with pytest.raises(halvane.HalvaneError, match=f"^{narrow.NO_MATCH}$"):
            run()
        assert DEEP not in seen


def test_a_narrow_field_too_poor_for_the_wide_catalogue_points_at_the_deep_one():
    f = next(f for f in fields(8.0, 0, 40, 2) if f.true_count >= 6)
    wide_stars = f.centroids[:3]
    args = (wide_stars, f.focal_px, f.cx, f.cy, f.up_cam, f.utc, WIDE)
    with pytest.raises(halvane.HalvaneError) as refused:
        narrow.identify(*args, field=8.0)
    assert str(refused.value) == ("insufficient stars: needed 4, got 3: a 8.0-degree field holds few stars of the "
                                  "wide catalogue; solve with the deep one "
                                  "(halvane_tools.default_catalog(field_deg=8.0) or --catalog deep)")
    # Without a narrow field, or with the deep catalogue, the engine's own words.
    for field, catalog in ((None, WIDE), (40.0, WIDE), (8.0, DEEP)):
        with pytest.raises(halvane.HalvaneError, match="^insufficient stars: needed 4, got 3$"):
            narrow.identify(*args[:-1], catalog, field=field)
    # The deep catalogue identifies the whole field.
    assert solved_right(f, narrow.identify(f.centroids, *args[1:-1], DEEP, field=8.0))


@pytest.fixture(scope="module")
def narrow_photo(tmp_path_factory):
    """A 10-degree pinhole photo, as .npy, with its scenario."""
    focal = pointings.focal_for_field(10.0)
    camera = scenarios.CameraModel("pinhole 10", 1024, 768, focal, None, 7.0)
    case = scenarios.seeded_scenarios(1, camera, seed=31, noise=scenarios.NOISELESS)[0]
    scene = scenarios.render(case, DEEP)
    path = tmp_path_factory.mktemp("narrow") / "sky.npy"
    np.save(path, scene.pixels)
    return path, case, scene


def test_the_command_line_chooses_by_field_and_catalog_overrides(narrow_photo, capsys):
    path, case, scene = narrow_photo
    argv = ["solve", str(path), "--utc", case.when.isoformat(), "--up", *map(str, scene.up_cam),
            "--focal", str(case.camera.focal_px), "--json"]
    assert cli.main(argv) == 0
    chosen = capsys.readouterr().out
    assert '"latitude_deg"' in chosen
    data = resources.files(halvane_tools) / "data"
    files = [str(data / halvane_tools.DEEP_CATALOG_FILE), str(data / halvane_tools.DEEP_PAIRS_FILE)]
    assert cli.main([*argv, "--catalog", *files]) == 0 and capsys.readouterr().out.split('"elapsed_s"')[0] == \
        chosen.split('"elapsed_s"')[0]
    assert cli.main([*argv, "--catalog", "huge"]) == 1
    assert "no bundled catalogue 'huge'" in capsys.readouterr().out


def detection_set(field_deg, index, seed=5):
    """The benchmark's index-th random detection set of a field."""
    rng = random.Random(f"{seed}-{field_deg}-{index}")
    camera = scenarios.CameraModel("", pointings.WIDTH, pointings.HEIGHT, pointings.focal_for_field(field_deg),
                                   None, 6.5)
    return camera, *scenarios.random_detections(rng, camera)


# Random detection sets whose hits the engine once trusted by their count
# alone, though they lay as far from their stars as chance leaves them: 4 to
# 6 stars from the first search, 8 from a retry pool (15 degrees, 1659).
@pytest.mark.parametrize("field_deg, index", [(8, 1540), (10, 654), (15, 1917), (15, 1659), (20, 484)])
def test_chance_hits_spread_over_the_tolerance_give_no_fix(field_deg, index):
    camera, detections, up, utc = detection_set(field_deg, index)
    catalog = halvane_tools.default_catalog(field_deg=field_deg)
    with pytest.raises(halvane.HalvaneError, match=f"^{narrow.NO_MATCH}$"):
        narrow.identify(detections, camera.focal_px, camera.cx, camera.cy, up, utc, catalog, field=field_deg)


@pytest.mark.parametrize("field_deg, stars", [(8.0, 6), (10.0, 6), (8.0, 7)])
def test_a_poor_true_field_with_centroid_noise_is_still_identified(field_deg, stars):
    """Six or seven stars with 0.3 px of centroid noise lie well within the tolerance: the closeness test passes them."""
    f = next(f for f in fields(field_deg, 0, 200, 17) if f.true_count == stars)
    noise = random.Random(stars)
    centroids = [(x + noise.gauss(0, 0.3), y + noise.gauss(0, 0.3), flux) for x, y, flux in f.centroids]
    fix = halvane.resolve_from_centroids(centroids, f.focal_px, f.cx, f.cy, f.up_cam, f.utc, DEEP)
    assert solved_right(f, fix) and len(fix.matched_hr_ids) == stars
