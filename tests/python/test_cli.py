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


def write_pgm(path, pixels, maxval):
    height, width = pixels.shape
    body = pixels.astype(">u2").tobytes() if maxval > 255 else pixels.astype(np.uint8).tobytes()
    path.write_bytes(b"P5\n# made by a test\n%d %d\n%d\n" % (width, height, maxval) + body)


@pytest.mark.parametrize("suffix", [".npy", ".pgm"])
def test_solve_reads_a_photo_from_disk(fisheye_sky, tmp_path, capsys, suffix):
    case, scene = fisheye_sky
    path = tmp_path / f"sky{suffix}"
    if suffix == ".npy":
        np.save(path, scene.pixels)
    else:
        write_pgm(path, scene.pixels, 65535)
    up = [str(v) for v in scene.up_cam]
    when = case.when.isoformat()
    assert cli.main(["solve", str(path), "--utc", when, "--up", *up, "--fisheye-fov", "180"]) == 0
    out = capsys.readouterr().out
    assert "1024 x 1024 px" in out
    lat, lon = out.split("(")[1].split(")")[0].split(", ")
    assert halvane.great_circle_nm(case.lat_deg, case.lon_deg, float(lat), float(lon)) < 3.0


def test_solve_reports_a_failure_without_a_traceback(tmp_path, capsys):
    path = tmp_path / "dark.npy"
    np.save(path, np.zeros((64, 64), dtype=np.uint16))
    assert cli.main(["solve", str(path), "--utc", "2026-01-01T00:00", "--up", "0", "0", "1", "--fisheye-fov", "180"]) == 1
    assert capsys.readouterr().err == "halvane: no fix: insufficient stars: needed 4, got 0\n"


def test_pgm_reader_handles_both_depths():
    small = np.array([[0, 7], [255, 1]], dtype=np.uint16)
    eight = cli.read_pgm(b"P5 2 2 255\n" + small.astype(np.uint8).tobytes())
    assert eight.dtype == np.uint8 and eight.tolist() == small.tolist()
    wide = np.array([[0, 4097], [65535, 256]], dtype=np.uint16)
    sixteen = cli.read_pgm(b"P5\n2 2\n65535\n" + wide.astype(">u2").tobytes())
    assert sixteen.dtype == np.uint16 and sixteen.tolist() == wide.tolist()
    for broken in (b"P2 2 2 255\n0 1 2 3", b"P5 2 2 255\n\x00", b"P5 2 x 255\n", b"P5 -2 2 255\n\x00\x00\x00\x00", b"P5 2"):
        with pytest.raises(SystemExit, match="^halvane: not a binary PGM"):
            cli.read_pgm(broken)


def test_positions_read_as_charts_print_them():
    assert cli.format_position(40.0, -74.0) == "40°00.0'N 074°00.0'W"
    assert cli.format_position(-0.99999, 179.99999) == "01°00.0'S 180°00.0'E"
    assert cli.parse_utc("2026-03-14T21:30:00").tzinfo == datetime.timezone.utc
