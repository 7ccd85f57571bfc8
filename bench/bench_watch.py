"""halvane watch: latency from a file landing to its sentence on the wire,
and memory over many frames.

Synthesizes a few 512 x 512 fisheye frames, then lands --frames copies of
them one after the other into a watched folder (written under a temporary
name and renamed, as capture programs do) while a Watcher runs in this
process with an NMEA UDP output to a receiver on 127.0.0.1. For each frame:
the time from the rename to the GGA's arrival, less the frame's solve time
(the record's elapsed_s: photo path, solve and total ellipse). Prints the
median, 95th percentile and worst of that overhead (the goal: at most
100 ms), frames lost (records missing or sentences missing) and the
resident memory after the first 100 frames and at the end (the goal: less
than 10 MB of growth).

    python bench/bench_watch.py [--frames N]
"""
from __future__ import annotations

import argparse
import datetime
import os
import socket
import tempfile
import threading
import time
from pathlib import Path

from PIL import Image

import halvane_tools
from halvane_tools import nmea, scenarios, watch

FISHEYE = scenarios.CameraModel("fisheye", 512, 512, None, 180.0, 5.5)
SITE = (48.2, 16.4)
START = datetime.datetime(2026, 1, 15, 21, 0, tzinfo=datetime.timezone.utc)
SCENES = 8


def rss_mb() -> float:
    with open("/proc/self/statm") as stream:
        return int(stream.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=2000)
    args = parser.parse_args()

    catalog = halvane_tools.default_catalog()
    work = Path(tempfile.mkdtemp(prefix="bench-watch-"))
    sources, times = [], {}
    for k in range(SCENES):
        when = START + datetime.timedelta(seconds=30 * k)
        scene = scenarios.render(scenarios.Scenario(FISHEYE, *SITE, when, 90 + k), catalog)
        path = work / f"scene{k}.png"
        Image.fromarray(scene.pixels).save(path)
        sources.append((path.read_bytes(), when))
    folder = work / "incoming"
    folder.mkdir()

    receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    receiver.bind(("127.0.0.1", 0))
    receiver.settimeout(0.5)
    arrivals: list[float] = []
    done = threading.Event()

    def receive():
        while not done.is_set():
            try:
                data = receiver.recv(4096)
            except TimeoutError:
                continue
            if data.startswith(b"$GPGGA"):
                arrivals.append(time.perf_counter())

    listener = threading.Thread(target=receive)
    listener.start()
    # Only what the figures need, so that the bench's own lists do not count as the watch's memory.
    counts = {"records": 0, "fixes": 0}
    last: dict = {}
    solve = []

    def on_record(record):
        last.clear()
        last.update(record)
        if "elapsed_s" in record:
            solve.append(record["elapsed_s"])
            counts["fixes"] += 1
        counts["records"] += 1

    settings = watch.WatchSettings({"fisheye_fov_deg": 180.0}, (0.0, 0.0, 1.0),
                                   time_from=lambda path: times[Path(path).name])
    watcher = watch.Watcher(folder, settings, outputs=[nmea.NmeaOutput(nmea.NmeaUdpSender(*receiver.getsockname()))],
                            on_record=on_record, catalog=catalog)
    runner = threading.Thread(target=watcher.run)
    runner.start()
    overheads, memory = [], {}
    start = time.perf_counter()
    for i in range(args.frames):
        data, when = sources[i % SCENES]
        name = f"frame{i:05d}.png"
        times.clear()
        times[name] = when
        expected = len(arrivals) + 1
        (folder / f".{name}.part").write_bytes(data)
        landed = time.perf_counter()
        os.replace(folder / f".{name}.part", folder / name)
        end = time.monotonic() + 30
        while counts["records"] < i + 1 and time.monotonic() < end:
            time.sleep(0.001)
        while len(arrivals) < expected and time.monotonic() < end and "error" not in last:
            time.sleep(0.001)
        if len(arrivals) >= expected and counts["records"] == i + 1 and "elapsed_s" in last:
            overheads.append(arrivals[expected - 1] - landed - last["elapsed_s"])
        (folder / name).unlink()
        if i + 1 == 100:
            memory["after 100"] = rss_mb()
    memory["at the end"] = rss_mb()
    elapsed = time.perf_counter() - start
    watcher.stop()
    runner.join()
    watcher.close()
    done.set()
    listener.join()

    fixes = counts["fixes"]
    overheads.sort()
    ms = [1000.0 * overheads[int(q * (len(overheads) - 1))] for q in (0.5, 0.95, 1.0)] if overheads else [0.0] * 3
    solve.sort()
    print(f"frames      {args.frames} landed in {elapsed:.1f} s; {counts['records']} records, {fixes} fixes,"
          f" {len(arrivals)} GGA on the wire; lost {args.frames - counts['records']} records,"
          f" {fixes - len(arrivals)} sentences")
    if solve:
        print(f"solve       median {1000 * solve[len(solve) // 2]:.0f} ms per frame")
    print(f"overhead    landing to GGA less the solve: median {ms[0]:.1f} ms, 95 % {ms[1]:.1f} ms, worst {ms[2]:.1f} ms")
    print(f"memory      {memory.get('after 100', float('nan')):.1f} MB after 100 frames,"
          f" {memory['at the end']:.1f} MB at the end"
          f" ({memory['at the end'] - memory.get('after 100', memory['at the end']):+.1f} MB)")


if __name__ == "__main__":
    main()
