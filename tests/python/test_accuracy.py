"""Whole fixes on seeded synthesized skies against their known truth."""
import statistics

import pytest

import halvane
import halvane_tools
from halvane_tools import scenarios

CATALOG = halvane_tools.default_catalog()


@pytest.mark.parametrize(
    "camera, count, noise, rate, median_nm, held",
    [
        (scenarios.FISHEYE, 40, None, 0.95, 2.0, 0.80),  # held: the share of fixes whose ellipse holds the truth
        (scenarios.PINHOLE, 40, None, 0.90, None, None),
        (scenarios.FISHEYE, 20, scenarios.NOISELESS, 0.90, 0.5, None),
    ],
    ids=["fisheye", "pinhole", "noise-free-fisheye"],
)
def test_seeded_places(camera, count, noise, rate, median_nm, held):
    cases = scenarios.seeded_scenarios(count, camera, **({} if noise is None else {"noise": noise}))
    solved = []
    for case in cases:
        try:
            solved.append((case, scenarios.solve(case, scenarios.render(case, CATALOG), CATALOG)))
        except halvane.HalvaneError:
            pass
    assert len(solved) / len(cases) >= rate
    if median_nm is not None:
        assert statistics.median(scenarios.error_nm(c, f) for c, f in solved) <= median_nm
    if held is not None:
        assert sum(scenarios.inside_ellipse(c, f) for c, f in solved) / len(solved) >= held


@pytest.mark.parametrize("index, sigma", [(1, None), (5, None), (21, None), (3, 10.0), (21, 10.0)])
def test_a_mis_stated_lens_is_refused_or_near(index, sigma):
    """A k1 = -0.05 sky solved as the ideal fisheye, at places that once gave fixes thousands of miles off."""
    case = scenarios.seeded_scenarios(22, scenarios.FISHEYE, seed=5)[index]
    scene = scenarios.render_distorted(case, CATALOG, -0.05)
    try:
        fix = scenarios.solve(case, scene, CATALOG, sigma_arcmin=sigma)
    except halvane.HalvaneError as error:
        assert str(error) == "no star pattern match found"
        return
    assert scenarios.error_nm(case, fix) < 300.0
