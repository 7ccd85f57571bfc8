import datetime

import numpy as np
import pytest

import halvane
import halvane_tools
from halvane_tools import cli, scenarios

CATALOG = halvane_tools.default_catalog()


@pytest.fixture(scope="module")
def fisheye_sky():
    case = scenarios.seeded_scenarios(1, scenarios.FISHEYE, seed=5)[0]
    return case, scenarios.render(case, CATALOG)


@pytest.mark.parametrize("camera", ["fisheye", "pinhole"])
def test_demo_prints_a_fix_a_navigator_can_read(camera, capsys):
    assert cli.main(["demo", "--camera", camera, "--seed", "3"]) == 0
    out = capsys.readouterr().out
    for label in ("fix", "truth", "error", "2-sigma", "stars", "time"):
        assert f"\n  {label} " in out
    assert " nm (" in out and "°" in out


def test_demo_takes_place_and_time(capsys):
    assert cli.main(["demo", "--lat", "-33.86", "--lon", "151.21", "--utc", "2026-06-21T12:00:00Z"]) == 0
    out = capsys.readouterr().out
    assert "truth       33°51.6'S 151°12.6'E" in out
    assert "2026-06-21 12:00:00 UTC" in out


def test_positions_read_as_charts_print_them():
    assert cli.format_position(40.0, -74.0) == "40°00.0'N 074°00.0'W"
    assert cli.format_position(-0.99999, 179.99999) == "01°00.0'S 180°00.0'E"
    assert cli.parse_utc("2026-03-14T21:30:00").tzinfo == datetime.timezone.utc
