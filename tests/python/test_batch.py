"""halvane batch: frame times, one line per frame, resume, lost workers, interruption, tracked cameras, the cluster."""
import datetime
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from PIL import Image

import halvane
import halvane_tools
from halvane_tools import batch, cli, scenarios

from conftest import exif_photo, refused

UTC = datetime.timezone.utc
LAT, LON = 48.2, 16.4
START = datetime.datetime(2026, 1, 15, 20, 0, tzinfo=UTC)
NAME_PATTERN = "cam_%Y%m%d_%H%M%S"
FISHEYE = scenarios.CameraModel("fisheye", 512, 512, None, 180.0, 5.5)
LENS = ["--up", "0", "0", "1", "--fisheye-fov", "180"]


def write_png(path, pixels):
    Image.fromarray(pixels).save(path)  # 16-bit grey
    return path


@pytest.fixture(scope="module")
def night(tmp_path_factory):
    """Four clear fisheye frames ten minutes apart, named by their time, and three that give no fix."""
    folder = tmp_path_factory.mktemp("night")
    catalog = halvane_tools.default_catalog()
    for k in range(4):
        when = START + datetime.timedelta(minutes=10 * k)
        scene = scenarios.render(scenarios.Scenario(FISHEYE, LAT, LON, when, 40 + k), catalog)
        write_png(folder / f"cam_{when:%Y%m%d_%H%M%S}.png", scene.pixels)
    good = (folder / "cam_20260115_200000.png").read_bytes()
    (folder / "cam_20260115_210000.png").write_bytes(good[: len(good) // 3])
    rng = np.random.default_rng(1)
    write_png(folder / "cam_20260115_211000.png", rng.normal(3000, 20, (512, 512)).astype(np.uint16))
    write_png(folder / "notes.png", np.zeros((8, 8), np.uint16))
    return folder


def run_batch(*argv):
    return cli.main(["batch", *map(str, argv)])


def read_lines(path):
    return [json.loads(line) for line in path.read_text().splitlines()]


# --- Times ------------------------------------------------------------------------------


def at(*fields):
    return datetime.datetime(*fields, tzinfo=UTC)


@pytest.mark.parametrize(
    "pattern, name, expected",
    [
        (NAME_PATTERN, "cam_20260115_210005.png", at(2026, 1, 15, 21, 0, 5)),
        ("%Y-%m-%dT%H%M%S%z_north", "2026-01-15T230005+0200_north.jpg", at(2026, 1, 15, 21, 0, 5)),
        ("night %d.%m.%Y %Hh%M", "night 15.01.2026 21h07.fits", at(2026, 1, 15, 21, 7)),
        (NAME_PATTERN, "cam_20260115_210005_2.png", None),
        (NAME_PATTERN, "cam_20261315_210005.png", None),
    ],
)
def test_time_from_name(pattern, name, expected):
    if expected is None:  # the frame's error, not the batch's
        with pytest.raises(batch.FrameError, match="does not match the time pattern"):
            batch.TimeFromName(pattern)(name)
    else:
        assert batch.TimeFromName(pattern)(f"some/folder/{name}") == expected


@pytest.mark.parametrize(
    "original, subsec, offset, clock_offset_s, expected",
    [
        ("2026:01:15 23:00:05", None, None, None, at(2026, 1, 15, 23, 0, 5)),
        ("2026:01:15 23:00:05", "25", None, None, at(2026, 1, 15, 23, 0, 5, 250000)),
        ("2026:01:15 23:00:05", None, "+02:00", None, at(2026, 1, 15, 21, 0, 5)),
        ("2026:01:15 23:00:05", None, "+02:00", 7212.0, at(2026, 1, 15, 20, 59, 53)),  # given: it wins
        ("2026:01:15 23:00:05", None, None, -3600.0, at(2026, 1, 16, 0, 0, 5)),
        (None, None, None, None, "no EXIF DateTimeOriginal"),
        ("yesterday evening", None, None, None, "is not a time"),
        ("npy", None, None, None, "cannot read EXIF"),
    ],
)
def test_time_from_exif(tmp_path, original, subsec, offset, clock_offset_s, expected):
    path = exif_photo(tmp_path / "frame.jpg", original, offset, subsec=subsec)
    if original == "npy":  # not an image at all
        np.save(path := tmp_path / "frame.npy", np.zeros((4, 4), np.uint16))
    if isinstance(expected, str):
        with pytest.raises(batch.FrameError, match=expected):
            batch.TimeFromExif(clock_offset_s)(path)
    else:
        assert batch.TimeFromExif(clock_offset_s)(path) == expected


@pytest.mark.parametrize("text, seconds", [("+02:00", 7200.0), ("-05:30", -19800.0), ("+00:00:12.5", 12.5), ("-3", -3.0)])
def test_clock_offsets(text, seconds):
    assert batch.parse_clock_offset(text) == seconds


def test_time_from_csv(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "times.csv").write_text(
        "file,utc\n"
        "a/one.png,2026-01-15T21:00:05Z\n"
        "two.png,2026-01-15 23:00:05+02:00\n"
        "three.png,2026-01-15T21:00:00\n"
        "b/three.png,2026-01-15T22:00:00\n"
        "four.png,2026-01-15T21:00:00\n"
        "four.png,2026-01-15T21:00:01\n"
    )
    times = batch.TimeFromCsv(tmp_path / "times.csv")
    for path, expected in (("a/one.png", at(2026, 1, 15, 21, 0, 5)), ("elsewhere/two.png", at(2026, 1, 15, 21, 0, 5)),
                           ("b/three.png", at(2026, 1, 15, 22)), ("c/three.png", at(2026, 1, 15, 21))):
        assert times(tmp_path / path) == expected
    for path, reason in ((tmp_path / "one.png", "no time for this file"), (tmp_path / "c" / "four.png", "2 different")):
        with pytest.raises(batch.FrameError, match=reason):
            times(path)
    (tmp_path / "bad.csv").write_text("a.png,2026-01-15T21:00:00\nb.png,tomorrow\n")
    with pytest.raises(batch.BatchError, match="bad.csv line 2: expected file,UTC"):
        batch.TimeFromCsv(tmp_path / "bad.csv")
    # A name pattern beats the CSV; without either, EXIF with its clock offset.
    choose = batch.choose_time_source
    assert type(choose(name_pattern=NAME_PATTERN, times_csv=tmp_path / "times.csv")) is batch.TimeFromName
    assert type(choose(times_csv=tmp_path / "times.csv")) is batch.TimeFromCsv and type(choose()) is batch.TimeFromExif
    assert choose(from_exif=True, clock_offset_s=12.0).clock_offset_s == 12.0


# --- The command ------------------------------------------------------------------------


def test_one_line_per_frame_a_fix_as_solve_gives_it_and_resume_adds_the_rest(night, tmp_path, capsys):
    out, plot, lens = tmp_path / "results.jsonl", tmp_path / "track.png", tmp_path / "lens.json"
    lens.write_text('{"fisheye_fov_deg": 180, "up_cam": [0, 0, 1]}')  # the lens file's vertical serves the batch
    argv = (night, "--out", out, "--lens", lens, "--time-from-name", NAME_PATTERN, "--jobs", 2)
    assert run_batch(*argv, "--plot", plot) == 0
    summary = capsys.readouterr().out
    assert "7 photos, 0 already in" in summary and "4 solved, 3 failed" in summary and "(4 fixes)" in summary
    records = {os.path.basename(r["file"]): r for r in read_lines(out)}
    assert len(records) == 7
    for k in range(4):
        when = START + datetime.timedelta(minutes=10 * k)
        record = records[f"cam_{when:%Y%m%d_%H%M%S}.png"]
        assert record["utc"] == when.isoformat()
        assert halvane.great_circle_nm(LAT, LON, record["latitude_deg"], record["longitude_deg"]) < 5.0
    assert "cannot read the image" in records["cam_20260115_210000.png"]["error"]
    assert records["cam_20260115_211000.png"]["error"].startswith("no fix: ")
    assert records["notes.png"] == {"file": str(night / "notes.png"), "utc": None,
                                    "error": "the name 'notes' does not match the time pattern 'cam_%Y%m%d_%H%M%S'"}
    # The same frame solved alone gives the same fields.
    first = night / "cam_20260115_200000.png"
    assert cli.main(["solve", str(first), "--utc", START.isoformat(), *LENS, "--json"]) == 0
    alone = json.loads(capsys.readouterr().out)
    in_batch = records[first.name]
    assert {k: in_batch[k] for k in alone if k != "elapsed_s"} == {k: v for k, v in alone.items() if k != "elapsed_s"}
    with Image.open(plot) as picture:
        assert picture.format == "PNG" and picture.size[0] > 400

    kept = out.read_text().splitlines(keepends=True)[:3]
    out.write_text("".join(kept) + '{"file": "cut sh')  # killed while writing a line
    refused(capsys, 1, "exists: give --resume", "batch", *argv)  # without --resume or --overwrite: kept
    assert run_batch(*argv, "--resume") == 0
    assert "7 photos, 3 already in" in capsys.readouterr().out
    lines = out.read_text().splitlines(keepends=True)
    assert lines[:3] == kept
    assert sorted(r["file"] for r in map(json.loads, lines)) == sorted(str(p) for p in batch.find_photos([night]))
    assert run_batch(*argv, "--resume") == 0
    assert "7 photos, 7 already in" in capsys.readouterr().out and len(out.read_text().splitlines()) == 7


def test_a_killed_worker_is_replaced_and_its_frame_marked_for_retry(night, tmp_path):
    # The second frame is a large one that keeps its worker busy.
    good = sorted(str(p) for p in night.glob("cam_20260115_20*.png"))
    slow = tmp_path / "cam_20260115_200000_slow.png"
    Image.fromarray(np.random.default_rng(2).normal(3000, 30, (3000, 3000)).astype(np.uint16)).save(slow)
    plan = [batch.Frame(name, START, "") for name in (good[0], str(slow), *good[1:])]
    with batch.solve_batch(plan, (0, 0, 1), {"fisheye_fov_deg": 180}, jobs=1) as results:
        first = next(results)
        [victim] = results.worker_pids
        os.kill(victim, signal.SIGKILL)
        records = [first, *results]
        assert results.worker_pids[0] != victim
    assert [r["file"] for r in records] == [f.file for f in plan]
    assert records[1] == {"file": str(slow), "utc": START.isoformat(), "retry": True,
                          "error": batch.LOST_FRAME.format(-signal.SIGKILL)}
    assert all("latitude_deg" in r for r in records[:1] + records[2:])


def test_resume_retries_the_frames_a_worker_lost(night, tmp_path, capsys):
    good = sorted(str(p) for p in night.glob("cam_20260115_20*.png"))
    out = tmp_path / "r.jsonl"
    lines = [{"file": good[0], "utc": START.isoformat(), "latitude_deg": 1.0},
             {"file": good[1], "utc": START.isoformat(), "error": batch.LOST_FRAME.format(-9), "retry": True},
             {"file": good[2], "utc": START.isoformat(), "error": "no fix: insufficient stars: needed 3, got 0"}]
    out.write_text("".join(json.dumps(line) + "\n" for line in lines) + "[" * 100_000 + "\n")
    assert {str(p) for p in batch.done_files(out)} == {os.path.realpath(good[0]), os.path.realpath(good[2])}
    assert run_batch(night, "--out", out, *LENS, "--time-from-name", NAME_PATTERN, "--jobs", 1, "--resume") == 0
    assert "7 photos, 2 already in" in capsys.readouterr().out
    retried = [r for r in batch.read_records(out)[3:] if r["file"] == good[1]]
    assert len(retried) == 1 and "latitude_deg" in retried[0]


def test_ctrl_c_leaves_whole_lines_that_resume_completes(night, tmp_path):
    inputs = tmp_path / "many"
    # Enough frames that a worker running ahead of the writer cannot finish
    # them all in the moment between two looks at the file.
    for copy in range(15):
        shutil.copytree(night, inputs / f"copy{copy}", ignore=shutil.ignore_patterns("notes.png"))
    total = len(batch.find_photos([inputs]))
    out = tmp_path / "results.jsonl"
    argv = [sys.executable, "-m", "halvane_tools", "batch", str(inputs), "--out", str(out), *LENS,
            "--time-from-name", NAME_PATTERN, "--jobs", "1"]
    running = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 600  # a loaded machine may take long to start the batch
    while time.monotonic() < deadline and (not out.exists() or out.read_text().count("\n") < 2):
        time.sleep(0.05)
    assert out.exists() and out.read_text().count("\n") >= 2, "the batch wrote no lines in 10 minutes"
    running.send_signal(signal.SIGINT)
    _, err = running.communicate(timeout=60)
    assert running.returncode == 130, err
    assert "--resume goes on from there" in err and "Traceback" not in err
    interrupted = read_lines(out)  # every line whole
    assert 2 <= len(interrupted) < total
    assert subprocess.run(argv + ["--resume"], capture_output=True, timeout=120).returncode == 0
    assert sorted(r["file"] for r in read_lines(out)) == sorted(batch.find_photos([inputs]))


@pytest.mark.parametrize(
    "extra, reason",
    [
        (("--time-from-name", "cam"), "has no strptime field"),
        (("--time-from-name", NAME_PATTERN, "--clock-offset", "+01:00"), "--clock-offset goes with --time-from-exif"),
        (("--time-from-name", NAME_PATTERN, "--tracked", "--known-position", "91", "0"), "latitude 91 out of range"),
        (("--time-from-name", NAME_PATTERN, "--tracked", "--max-reference-age", "0"), "max_reference_age_s must be"),
        (("--times", "missing.csv"), "cannot read the times missing.csv"),
        (("--time-from-name", NAME_PATTERN, "--tracked", "--camera-from", "cam(["), "is not a regular expression"),
        (("--time-from-name", NAME_PATTERN, "--mask", "missing.png"), "missing.png: no such mask file"),
    ],
)
def test_a_batch_that_cannot_start_is_refused_in_one_line(night, tmp_path, capsys, extra, reason):
    refused(capsys, 1, reason, "batch", night, "--out", tmp_path / "r.jsonl", *LENS, *extra)
    assert not (tmp_path / "r.jsonl").exists()


def test_inputs_and_cameras_of_the_frames(night, tmp_path):
    assert batch.find_photos([night / "cam_20260115_200000.png", str(night / "cam_*_20*.png"), night]) == (
        [str(night / "cam_20260115_200000.png")] + sorted(str(p) for p in night.glob("cam_*.png"))[1:]
        + [str(night / "notes.png")])
    for missing in (tmp_path / "none", str(tmp_path / "*.png")):  # a mistake in the command, not a bad frame
        with pytest.raises(batch.BatchError):
            batch.find_photos([missing])
    frame = tmp_path / "x" / "cam2_0001.png"
    for rule, camera in ((r"^(cam\d+)_", "cam2"), (r"cam\d", "cam2"), ("folder", str(tmp_path / "x")), ("all", "all")):
        assert batch.camera_of(frame, rule) == camera
    with pytest.raises(batch.FrameError, match="does not match the camera pattern"):
        batch.camera_of("other.png", r"^(cam\d+)_")


# --- Tracked cameras ------------------------------------------------------------------------


@pytest.fixture(scope="module")
def twin_cameras(tmp_path_factory):
    """Two cameras (folders), three frames each of a tied sky at 0, 500, 1000 s, named against time order."""
    folder = tmp_path_factory.mktemp("twins")
    twins = scenarios.write_twin_catalog(folder)
    jd = halvane.julian_date(2026, 1, 15, 21, 0, 0.0)
    lat = 30.0  # the patch culminates near the zenith here
    lon = (60.0 - halvane.gmst_deg(jd) + 180.0) % 360.0 - 180.0
    rows = ["file,utc"]
    for camera in ("north", "south"):
        (folder / camera).mkdir()
        for seconds, name in ((0, "c"), (500, "b"), (1000, "a")):
            # A narrow calibrated fisheye looking up, so one vertical serves every frame.
            scene = halvane.synthesize_scene(twins, lat, lon, jd + seconds / 86400.0, 0.0, 512, 512, 500.0, 6.5, 0.5,
                                             0.0, 20.0, seconds + 1, fisheye_fov_deg=60.0, k1=1e-9)
            write_png(folder / camera / f"{name}.png", scene.pixels)
            when = datetime.datetime(2026, 1, 15, 21, tzinfo=UTC) + datetime.timedelta(seconds=seconds)
            rows.append(f"{camera}/{name}.png,{when.isoformat()}")
    (folder / "times.csv").write_text("\n".join(rows) + "\n")
    options = ["--times", folder / "times.csv", "--catalog", folder / "twins.hcat", folder / "twins.hprs",
               "--up", "0", "0", "1", "--focal", "500", "--fisheye-fov", "60", "--k1", "1e-9"]
    return folder, (lat, lon), options


def test_tracked_cameras_break_the_tie_frame_by_frame_in_time_order(twin_cameras, tmp_path, capsys):
    folder, (lat, lon), options = twin_cameras
    plain = tmp_path / "plain.jsonl"
    assert run_batch(folder / "north", folder / "south", "--out", plain, *options) == 1  # no frame solved
    assert all(r["error"].startswith("no fix: star pattern match is ambiguous") for r in read_lines(plain))
    tracked = tmp_path / "tracked.jsonl"
    # The known position is 20 nm off and dated at each camera's first
    # frame; with a 600 s age bound the last frame's tie is broken only by
    # the fix of the frame before it, by the same tracker.
    assert run_batch(folder / "north", folder / "south", "--out", tracked, *options, "--tracked", "--jobs", 2,
                     "--known-position", lat + 20.0 / 60.0, lon, "--max-reference-age", 600) == 0
    assert "6 solved, 0 failed" in capsys.readouterr().out
    records = read_lines(tracked)
    for camera in ("north", "south"):
        mine = [r for r in records if r["camera"] == str(folder / camera)]
        assert [os.path.basename(r["file"]) for r in mine] == ["c.png", "b.png", "a.png"]
        for r in mine:
            assert r["match_margin"] == 0 and max(r["matched_hr_ids"]) < scenarios.TWIN_HR
            assert halvane.great_circle_nm(lat, lon, r["latitude_deg"], r["longitude_deg"]) < 3.0


# --- A cluster, a mask over every frame, and nights that fail ---------------------------------


def test_a_cluster_gives_the_pools_records(night):
    distributed = pytest.importorskip("dask.distributed")
    frames = batch.plan_frames([night], batch.TimeFromName(NAME_PATTERN))
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster:
        on_cluster = list(batch.solve_batch(frames, (0, 0, 1), {"fisheye_fov_deg": 180},
                                            scheduler=cluster.scheduler_address))
    with batch.solve_batch(frames, (0, 0, 1), {"fisheye_fov_deg": 180}, jobs=2) as results:
        in_pool = list(results)
        assert len(results.worker_pids) == 2
    kept = lambda records: sorted(json.dumps({k: v for k, v in r.items() if k != "elapsed_s"}) for r in records)
    assert len(in_pool) == 7 and kept(on_cluster) == kept(in_pool)


def test_the_mask_reaches_every_frame(night, tmp_path):
    mask = write_png(tmp_path / "mask.png", np.full((512, 512), 255, np.uint8))  # no sky at all
    good = sorted(str(p) for p in night.glob("cam_20260115_20*.png"))
    records = list(batch.solve_batch(good, (0, 0, 1), {"fisheye_fov_deg": 180}, time_from=batch.TimeFromName(NAME_PATTERN),
                                     jobs=1, mask=str(mask)))
    assert len(records) == 4 and all(r["error"].startswith("no fix: insufficient stars") for r in records)


def test_a_night_of_failures_fails_and_a_batch_without_a_pattern_or_vertical_stops_first(night, tmp_path, capsys):
    bad = tmp_path / "bad"
    bad.mkdir()
    shutil.copy(night / "cam_20260115_211000.png", bad)  # no stars
    assert run_batch(bad, "--out", tmp_path / "r.jsonl", *LENS, "--time-from-name", NAME_PATTERN) == 1
    assert "0 solved, 1 failed" in capsys.readouterr().out
    refused(capsys, 1, "matches the name of none of the 7 photos", "batch", night, "--out", tmp_path / "s.jsonl", *LENS,
            "--time-from-name", "img_%Y%m%d_%H%M%S")
    assert not (tmp_path / "s.jsonl").exists()
    refused(capsys, 1, "give the vertical (--up X Y Z) or a lens file with up_cam", "batch", night, "--out",
            tmp_path / "t.jsonl", "--fisheye-fov", 180, "--time-from-name", NAME_PATTERN)
