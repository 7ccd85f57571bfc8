"""The command line's own part: the demo, the words of a fix, numbers in every form, refusals that
say what to change, the version, and the README's Python example."""
import datetime

import numpy as np
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


# --- Messages that say what to change ---------------------------------------------------

SKY = ["solve", "sky.png", "--utc", "2026-01-01T00:00:00", "--up", "0", "0", "1"]


@pytest.mark.parametrize(
    "argv, reason",
    [
        ([*SKY, "--fisheye-fov", "180", "--line-px", "10"], "--line-px: must be an odd whole number of pixels from 3"),
        ([*SKY, "--fisheye-fov", "180", "--line-px", "1"], "--line-px: must be an odd whole number"),
        ([*SKY, "--fisheye-fov", "180", "--min-altitude", "95"], "--min-altitude: must be an altitude in degrees"),
        ([*SKY, "--fisheye-fov", "180", "--min-altitude", "nan"], "--min-altitude: must be an altitude in degrees"),
        (["calibrate", "sky.png", "--utc", "2026-01-01T00:00:00", "--lat", "0", "--lon", "0", "--focal", "900",
          "--min-altitude", "90"], "--min-altitude: must be an altitude"),
    ],
)
def test_out_of_range_options_are_refused_before_any_work(argv, reason, capsys):
    with pytest.raises(SystemExit) as stopped:
        cli.main(argv)
    err = capsys.readouterr().err
    assert stopped.value.code == 2 and reason in err and err.count("\n") == 1


@pytest.mark.parametrize("value, accepted", [("3", True), ("255", True), ("11", True), ("257", False), ("-3", False)])
def test_line_px_bounds(value, accepted):
    args = cli._numbers_as_values([*SKY, "--focal", "900", "--line-px", value])
    if accepted:
        assert cli.build_parser().parse_args(args).line_px == int(value)
    else:
        with pytest.raises(SystemExit):
            cli.build_parser().parse_args(args)


def test_a_focal_beside_an_ideal_fisheye_is_refused_not_dropped(tmp_path, capsys):
    np.save(tmp_path / "sky.npy", np.zeros((64, 64), np.uint16))
    argv = ["solve", str(tmp_path / "sky.npy"), "--utc", "2026-01-01T00:00:00", "--up", "0", "0", "1",
            "--fisheye-fov", "180", "--focal", "300"]
    assert cli.main(argv) == 1
    assert "--focal is unused with --fisheye-fov unless --k1..--k4" in capsys.readouterr().err
    # With a distortion term the focal is the calibrated fisheye's own.
    assert cli.main([*argv, "--k1", "-0.01"]) == 1
    assert "no fix" in capsys.readouterr().err


def test_a_directory_is_not_called_a_missing_file(tmp_path, capsys):
    assert cli.main(["solve", str(tmp_path), "--utc", "2026-01-01T00:00:00", "--up", "0", "0", "1",
                     "--fisheye-fov", "180"]) == 1
    err = capsys.readouterr().err
    assert "a directory, not a photo" in err and "no such file" not in err


def test_counts_agree_with_their_nouns():
    assert [report.counted(n, "star") for n in (0, 1, 2)] == ["0 stars", "1 star", "2 stars"]
    assert report.counted(1, "fix", "fixes") == "1 fix" and report.counted(3, "fix", "fixes") == "3 fixes"


def test_version_has_one_source():
    import tomllib
    from pathlib import Path

    import halvane
    import halvane_tools

    declared = tomllib.loads((Path(__file__).parents[2] / "pyproject.toml").read_text())["project"]["version"]
    assert halvane.__version__ == halvane_tools.__version__ == declared
    assert "__version__" not in halvane.__all__
    with pytest.raises(SystemExit) as stopped:
        cli.main(["--version"])
    assert stopped.value.code == 0


def test_a_closed_pipe_ends_quietly():
    import os
    import subprocess
    import sys

    # The reader is gone before the first line is written, as with `| head -0`.
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    child = subprocess.Popen([sys.executable, "-m", "halvane_tools", "demo", "--camera", "pinhole"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    child.stdout.close()
    err = child.stderr.read().decode()
    assert child.wait() == 141 and err == ""


def test_the_readmes_python_example_runs_as_written():
    import re
    from pathlib import Path

    readme = (Path(__file__).parents[2] / "README.md").read_text()
    (example,) = re.findall(r"```python\n(.*?)```", readme, flags=re.S)
    namespace: dict = {}
    exec(compile(example, "README.md", "exec"), namespace)
    fix = namespace["fix"]
    assert namespace["halvane"].great_circle_nm(52.37, 4.90, fix.latitude_deg, fix.longitude_deg) < 5.0
