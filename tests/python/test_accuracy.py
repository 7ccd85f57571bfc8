"""Whole fixes on seeded synthesized skies against their known truth."""
import statistics

import pytest

import halvane
import halvane_tools
from halvane_tools import scenarios

CATALOG = halvane_tools.default_catalog()


def run(cases):
    fixes = []
    for case in cases:
        scene = scenarios.render(case, CATALOG)
        try:
            fixes.append((case, scenarios.solve(case, scene, CATALOG)))
        except halvane.HalvaneError:
            fixes.append((case, None))
    solved = [(c, f) for c, f in fixes if f is not None]
    errors = [scenarios.error_nm(c, f) for c, f in solved]
    return len(solved) / len(cases), errors, solved


def test_fisheye_forty_places():
    rate, errors, solved = run(scenarios.seeded_scenarios(40, scenarios.FISHEYE))
    assert rate >= 0.95
    assert statistics.median(errors) <= 2.0
    held = sum(scenarios.inside_ellipse(c, f) for c, f in solved)
    assert held / len(solved) >= 0.80


def test_pinhole_forty_places():
    rate, _, _ = run(scenarios.seeded_scenarios(40, scenarios.PINHOLE))
    assert rate >= 0.90


def test_noise_free_fisheye():
    rate, errors, _ = run(scenarios.seeded_scenarios(20, scenarios.FISHEYE, noise=scenarios.NOISELESS))
    assert rate >= 0.90
    assert statistics.median(errors) <= 0.5


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
