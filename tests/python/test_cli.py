"""The command line's own part: the demo, the words of a fix, numbers in every form."""
import datetime

import pytest

from halvane_tools import cli, report


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["--camera", "pinhole", "--seed", "3"], []),
        (["--lat", "-33.86", "--lon", "151.21", "--utc", "2026-06-21T12:00:00Z"],
         ["truth       33°51.6'S 151°12.6'E", "2026-06-21 12:00:00 UTC"]),
    ],
)
def test_demo_prints_a_fix_a_navigator_can_read(argv, expected, capsys):
    assert cli.main(["demo", *argv]) == 0
    out = capsys.readouterr().out
    for label in ("fix", "truth", "error", "2-sigma", "stars", "time"):
        assert f"\n  {label} " in out
    assert " nm (" in out and "°" in out and all(text in out for text in expected)


def test_positions_and_times_read_as_charts_print_them():
    assert report.format_position(40.0, -74.0) == "40°00.0'N 074°00.0'W"
    assert report.format_position(-0.99999, 179.99999) == "01°00.0'S 180°00.0'E"
    assert report.parse_utc("2026-03-14T21:30:00").tzinfo == datetime.timezone.utc
    # A time given with an offset is printed in UTC, as its label says.
    assert report.utc_text(report.parse_utc("2026-03-14T23:30:00+02:00")) == "2026-03-14 21:30:00 UTC"


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["--up", "-6.5e-05", "0", "1", "--k1", "-2.1e-2"], {"up": [-6.5e-05, 0.0, 1.0], "k1": -0.021}),
        (["--up", "0", "-1.", "-.5", "--cx", "-3"], {"up": [0.0, -1.0, -0.5], "cx": -3.0}),
        (["--up", "1E-3", "0", "1", "--max-centroids", "20"], {"up": [1e-3, 0.0, 1.0], "max_centroids": 20}),
    ],
)
def test_negative_numbers_in_every_form_are_values(argv, expected):
    args = cli.build_parser().parse_args(
        cli._numbers_as_values(["solve", "sky.png", "--utc", "2026-01-01T00:00:00", "--focal", "900", *argv]))
    assert {key: getattr(args, key) for key in expected} == expected


def test_a_marked_number_is_refused_as_given(capsys):
    with pytest.raises(SystemExit) as stopped:
        cli.main(["solve", "sky.png", "--utc", "2026-01-01T00:00:00", "--up", "0", "0", "1", "--max-centroids", "-5"])
    err = capsys.readouterr().err
    assert stopped.value.code == 2 and "argument --max-centroids: not a positive whole number: '-5'" in err
