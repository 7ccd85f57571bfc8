"""Whole fixes on synthesized skies against their known truth: the accuracy
the project promises, on a fixed seeded set."""
import statistics

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
