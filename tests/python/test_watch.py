"""halvane watch: the attitude log, photos landing whole or in pieces, the loop and its outputs, Ctrl-C, gpsd."""
import datetime
import io
import json
import math
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import types

import numpy as np
import pytest
from PIL import Image

import halvane
import halvane_tools
from halvane_tools import scenarios, times, watch
from halvane_tools.photo import PhotoOptions

from conftest import wait_for

UTC = datetime.timezone.utc
LAT, LON = -33.9, 151.2
START = datetime.datetime(2026, 3, 20, 11, 0, tzinfo=UTC)
FISHEYE = scenarios.CameraModel("fisheye", 512, 512, None, 180.0, 5.5)
PATTERN = "sky_%Y%m%d_%H%M%S"
PYTHON_PATH = os.pathsep.join(p for p in sys.path if p)


def at(minutes):
    return START + datetime.timedelta(minutes=minutes)


@pytest.fixture(scope="module")
def frames():
    """Three clear frames ten minutes apart and a frame of noise: PNG bytes by name."""
    catalog = halvane_tools.default_catalog()
    pictures = {at(10 * k): scenarios.render(scenarios.Scenario(FISHEYE, LAT, LON, at(10 * k), 70 + k), catalog).pixels
                for k in range(3)}
    pictures[at(35)] = np.random.default_rng(3).normal(3000, 20, (512, 512)).astype(np.uint16)
    made = {}
    for when, pixels in pictures.items():
        Image.fromarray(pixels).save(stream := io.BytesIO(), format="PNG")
        made[f"{when:sky_%Y%m%d_%H%M%S}.png"] = stream.getvalue()
    return made


def settings(**changes):
    base = watch.WatchSettings({"fisheye_fov_deg": 180.0}, (0.0, 0.0, 1.0), time_from=times.TimeFromName(PATTERN),
                               photo=PhotoOptions(up_sigma_arcmin=2.0, time_sigma_s=1.0))
    return watch.WatchSettings(**{**base.__dict__, **changes})


def land(folder, name, data):
    """A file written the way capture programs do: under a temporary name, then renamed."""
    temporary = folder / f".{name}.part"
    temporary.write_bytes(data)
    os.replace(temporary, folder / name)


# --- The attitude log -----------------------------------------------------------------------


@pytest.mark.parametrize("pitch, roll, expected", [
    (0.0, 0.0, (0.0, 0.0, 1.0)),
    (2.0, 0.0, (0.0, math.sin(math.radians(2.0)), math.cos(math.radians(2.0)))),
    (0.0, 3.0, (-math.sin(math.radians(3.0)), 0.0, math.cos(math.radians(3.0)))),
])
def test_pitch_and_roll_turn_the_vertical(pitch, roll, expected):
    assert tuple(watch.up_from_pitch_roll((0.0, 0.0, 1.0), pitch, roll)) == pytest.approx(expected, abs=1e-12)


def test_attitude_log_interpolates_at_mid_exposure_and_refuses_outside(tmp_path):
    log = tmp_path / "imu.csv"
    # Rows out of order, Unix seconds in the time column.
    t0 = START.timestamp()
    log.write_text(f"time,pitch_deg,roll_deg\n{t0 + 20},0,4\n{t0},0,0\n{t0 + 10},0,2\n")
    attitude = watch.AttitudeLog(log)
    up = attitude.up_at(START + datetime.timedelta(seconds=15))
    assert up == pytest.approx((-math.sin(math.radians(3.0)), 0.0, math.cos(math.radians(3.0))), abs=1e-9)
    assert attitude.up_at(START) == pytest.approx((0.0, 0.0, 1.0))
    with pytest.raises(times.FrameError) as info:
        attitude.up_at(START + datetime.timedelta(seconds=20.5))
    assert str(info.value) == ("the attitude log covers 2026-03-20T11:00:00+00:00 to 2026-03-20T11:00:20+00:00;"
                               " the frame's mid-exposure 2026-03-20T11:00:20.500000+00:00 is outside it")
    # An up-vector log, ISO times: halfway between two verticals along the great circle.
    vectors = tmp_path / "up.csv"
    vectors.write_text("utc,up_x,up_y,up_z\n2026-03-20T11:00:00,0,0,1\n2026-03-20T11:01:00Z,0,1,1\n")
    up = watch.AttitudeLog(vectors).up_at(START + datetime.timedelta(seconds=30))
    angle = math.radians(22.5)
    assert up == pytest.approx((0.0, math.sin(angle), math.cos(angle)), abs=1e-12)


@pytest.mark.parametrize("text, message", [
    ("when,pitch_deg,roll_deg\n1,0,0\n", "the attitude log needs a header"),
    ("utc,pitch_deg\n2026-03-20T11:00:00,0\n", "the attitude log needs a header"),
    ("utc,up_x,up_y,up_z\n2026-03-20T11:00:00,0,0,0\n", "line 2: not a time and an attitude"),
    ("utc,pitch_deg,roll_deg\nyesterday,0,0\n", "line 2: not a time and an attitude"),
])
def test_bad_attitude_logs_are_refused(tmp_path, text, message):
    (tmp_path / "log.csv").write_text(text)
    with pytest.raises(watch.WatchError) as info:
        watch.AttitudeLog(tmp_path / "log.csv")
    assert message in str(info.value)


# --- Photos landing ------------------------------------------------------------------------------


def test_a_photo_is_taken_once_whole_and_a_bad_one_refused_after_standing_still(tmp_path, frames):
    name, data = next(iter(frames.items()))
    (tmp_path / "old.png").write_bytes(data)
    folder = watch.FolderWatch(tmp_path, give_up_s=1.0)
    assert folder.poll() == []  # what was there before is not new
    # A slow writer: half the file, several polls, then the rest.
    with (tmp_path / name).open("wb") as stream:
        stream.write(data[: len(data) // 2])
        stream.flush()
        for _ in range(3):
            assert folder.poll() == [] and folder.waiting == 1
            time.sleep(0.05)
        stream.write(data[len(data) // 2:])
    (tmp_path / "notes.txt").write_text("not a photo")
    (tmp_path / ".hidden.png").write_bytes(data)
    (tmp_path / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 100)
    assert folder.poll() == []  # grown since the last poll: read once it stands still
    landed = folder.poll()
    assert [(item.path.name, item.error) for item in landed] == [(name, None)]
    assert landed[0].image.shape == (512, 512) and folder.waiting == 1
    time.sleep(1.05)
    refused = folder.poll()
    assert [item.path.name for item in refused] == ["broken.png"] and "cannot read the image" in refused[0].error
    assert folder.poll() == [] and folder.waiting == 0
    # With the photos already there: in name order, the unreadable one still given its time.
    assert [item.path.name for item in watch.FolderWatch(tmp_path, include_existing=True).poll()] == ["old.png", name]


def test_mid_exposure_from_each_kind_of_time(tmp_path):
    path = tmp_path / f"{START:sky_%Y%m%d_%H%M%S}.png"
    path.write_bytes(b"x")
    os.utime(path, (START.timestamp() + 60, START.timestamp() + 60))
    assert watch.mid_exposure(path, times.TimeFromName(PATTERN), 30.0) == START + datetime.timedelta(seconds=15)
    assert watch.mid_exposure(path, watch.TimeFromArrival(), 30.0) == START + datetime.timedelta(seconds=45)


# --- The loop --------------------------------------------------------------------------------------


def test_frames_landing_while_it_runs_go_out_in_order_and_a_bad_one_does_not_stop_it(tmp_path, frames):
    folder = tmp_path / "incoming"
    folder.mkdir()
    records, sent = [], []
    output = types.SimpleNamespace(send=sent.append, close=lambda: sent.append("closed"))
    watcher = watch.Watcher(folder, settings(), outputs=[output], on_record=records.append, give_up_s=0.5,
                            poll_s=0.02)
    runner = threading.Thread(target=watcher.run)
    runner.start()
    try:
        names = list(frames)
        land(folder, names[0], frames[names[0]])
        land(folder, names[3], frames[names[3]])  # noise: no fix
        cut = f"{at(50):sky_%Y%m%d_%H%M%S}.png"
        (folder / cut).write_bytes(frames[names[0]][:5000])  # never completed
        for name in names[1:3]:
            assert wait_for(lambda: len(records) >= 2)
            land(folder, name, frames[name])
        assert wait_for(lambda: len(records) == 5)
    finally:
        watcher.stop()
        runner.join(30)
        watcher.close()
    by_name = {os.path.basename(r["file"]): r for r in records}
    assert by_name[names[3]]["error"].startswith("no fix: ")
    assert "cannot read the image" in by_name[cut]["error"]
    fixes = [r for r in records if "error" not in r]
    assert [os.path.basename(r["file"]) for r in fixes] == names[:3]
    for record in fixes:
        assert halvane.great_circle_nm(LAT, LON, record["latitude_deg"], record["longitude_deg"]) < 5
        # The total ellipse holds the vertical's 2 arcmin at least: 4 nm at 2 sigma.
        assert record["ellipse_2sigma_nm"][1] >= 4.0 - 1e-9 and record["uncertainty"]["vertical"]["up_sigma_arcmin"] == 2
    # Each fix goes out once, in order, and the outputs are closed with the watcher.
    assert [p.latitude_deg for p in sent[:-1]] == [r["latitude_deg"] for r in fixes] and sent[-1] == "closed"


def test_attitude_frame_outside_the_log_is_refused_with_a_clear_line(tmp_path, frames):
    name = next(iter(frames))
    log = tmp_path / "imu.csv"
    log.write_text("utc,pitch_deg,roll_deg\n2026-03-20T10:00:00,0,0\n2026-03-20T10:30:00,0,0\n")
    folder = tmp_path / "in"
    folder.mkdir()
    watcher = watch.Watcher(folder, settings(up_cam=None, attitude=watch.AttitudeLog(log)))
    land(folder, name, frames[name])
    record = watcher.solve(watcher.folder.poll()[0])
    assert record["error"] == ("the attitude log covers 2026-03-20T10:00:00+00:00 to 2026-03-20T10:30:00+00:00;"
                               " the frame's mid-exposure 2026-03-20T11:00:00+00:00 is outside it")
    assert watch.Health().line(record).startswith(f"11:00:00  {name}  refused: the attitude log covers")


def _command(folder, *extra):
    return [sys.executable, "-m", "halvane_tools", "watch", str(folder), "--up", "0", "0", "1",
            "--fisheye-fov", "180", "--time-from-name", PATTERN, *map(str, extra)]


def test_ctrl_c_stops_it_cleanly_with_every_line_written(tmp_path, frames):
    folder = tmp_path / "in"
    folder.mkdir()
    jsonl = tmp_path / "fixes.jsonl"
    receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    receiver.bind(("127.0.0.1", 0))
    receiver.settimeout(30)
    process = subprocess.Popen(_command(folder, "--jsonl", jsonl, "--nmea-udp", f"127.0.0.1:{receiver.getsockname()[1]}"),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env={**os.environ, "PYTHONPATH": PYTHON_PATH})
    try:
        assert wait_for(lambda: process.poll() is not None or jsonl.exists())
        name = next(iter(frames))
        land(folder, name, frames[name])
        datagram = receiver.recv(2048).decode("ascii")
        assert datagram.startswith("$GPGGA,110000.00,33")
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=30)
    finally:
        receiver.close()
        if process.poll() is None:
            process.kill()
            process.communicate()
    assert process.returncode == 0, err
    assert out.splitlines()[-1] == "halvane watch: stopped; 1 fixes, 0 refused"
    assert "Traceback" not in err
    [record] = [json.loads(line) for line in jsonl.read_text().splitlines()]
    assert record["file"].endswith(name) and "latitude_deg" in record
