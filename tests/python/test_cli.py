"""The command line's own part: the demo, numbers in every form, refusals, the version, the README's example."""
import datetime
import os
import re
import subprocess
import sys
import tomllib
from pathlib import Path

import numpy as np
import pytest

import halvane
import halvane_tools
from halvane_tools import cli, report

from conftest import refused, run_cli


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


SKY = ["solve", "sky.png", "--utc", "2026-01-01T00:00:00", "--up", "0", "0", "1"]


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["--up", "-6.5e-05", "0", "1", "--k1", "-2.1e-2"], {"up": [-6.5e-05, 0.0, 1.0], "k1": -0.021}),
        (["--up", "0", "-1.", "-.5", "--cx", "-3", "--line-px", "3"], {"up": [0.0, -1.0, -0.5], "cx": -3.0, "line_px": 3}),
        (["--up", "1E-3", "0", "1", "--max-centroids", "20", "--line-px", "255"],
         {"up": [1e-3, 0.0, 1.0], "max_centroids": 20, "line_px": 255}),
    ],
)
def test_numbers_in_every_form_are_values(argv, expected):
    args = cli.build_parser().parse_args(
        cli._numbers_as_values(["solve", "sky.png", "--utc", "2026-01-01T00:00:00", "--focal", "900", *argv]))
    assert {key: getattr(args, key) for key in expected} == expected


# --- Messages that say what to change ---------------------------------------------------


@pytest.mark.parametrize(
    "argv, reason",
    [
        ([*SKY, "--max-centroids", "-5"], "argument --max-centroids: not a positive whole number: '-5'"),  # as given
        ([*SKY, "--fisheye-fov", "180", "--line-px", "10"], "--line-px: must be an odd whole number of pixels from 3"),
        ([*SKY, "--fisheye-fov", "180", "--line-px", "1"], "--line-px: must be an odd whole number"),
        ([*SKY, "--focal", "900", "--line-px", "257"], "--line-px: must be an odd whole number"),
        ([*SKY, "--fisheye-fov", "180", "--min-altitude", "95"], "--min-altitude: must be an altitude in degrees"),
        ([*SKY, "--fisheye-fov", "180", "--min-altitude", "nan"], "--min-altitude: must be an altitude in degrees"),
        (["calibrate", "sky.png", "--utc", "2026-01-01T00:00:00", "--lat", "0", "--lon", "0", "--focal", "900",
          "--min-altitude", "90"], "--min-altitude: must be an altitude"),
    ],
)
def test_out_of_range_options_are_refused_before_any_work(argv, reason, capsys):
    refused(capsys, 2, reason, *argv)


def test_a_focal_beside_an_ideal_fisheye_is_refused_not_dropped(tmp_path, capsys):
    np.save(tmp_path / "sky.npy", np.zeros((64, 64), np.uint16))
    argv = ["solve", str(tmp_path / "sky.npy"), "--utc", "2026-01-01T00:00:00", "--up", "0", "0", "1",
            "--fisheye-fov", "180", "--focal", "300"]
    refused(capsys, 1, "--focal is unused with --fisheye-fov unless --k1..--k4", *argv)
    # With a distortion term the focal is the calibrated fisheye's own.
    refused(capsys, 1, "no fix", *argv, "--k1", "-0.01")


def test_a_directory_is_not_called_a_missing_file(tmp_path, capsys):
    err = refused(capsys, 1, "a directory, not a photo", "solve", tmp_path, "--utc", "2026-01-01T00:00:00", "--up", "0",
                  "0", "1", "--fisheye-fov", "180")
    assert "no such file" not in err


def test_counts_agree_with_their_nouns():
    assert [report.counted(n, "star") for n in (0, 1, 2)] == ["0 stars", "1 star", "2 stars"]
    assert report.counted(1, "fix", "fixes") == "1 fix" and report.counted(3, "fix", "fixes") == "3 fixes"


def test_version_has_one_source(capsys):
    declared = tomllib.loads((Path(__file__).parents[2] / "pyproject.toml").read_text())["project"]["version"]
    assert halvane.__version__ == halvane_tools.__version__ == declared
    assert "__version__" not in halvane.__all__
    assert run_cli(capsys, "--version")[:2] == (0, f"halvane {declared}\n")


def test_a_closed_pipe_ends_quietly():
    # The reader is gone before the first line is written, as with `| head -0`.
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    child = subprocess.Popen([sys.executable, "-m", "halvane_tools", "demo", "--camera", "pinhole"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    child.stdout.close()
    err = child.stderr.read().decode()
    assert child.wait() == 141 and err == ""


def test_the_readmes_python_example_runs_as_written():
    readme = (Path(__file__).parents[2] / "README.md").read_text()
    (example,) = re.findall(r"```python\n(.*?)```", readme, flags=re.S)
    namespace: dict = {}
    exec(compile(example, "README.md", "exec"), namespace)
    fix = namespace["fix"]
    assert namespace["halvane"].great_circle_nm(52.37, 4.90, fix.latitude_deg, fix.longitude_deg) < 5.0
