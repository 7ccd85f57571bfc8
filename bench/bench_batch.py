"""halvane batch throughput: a night of synthesized 1024 x 1024 fisheye frames,
written as 16-bit PNG files, solved one by one in this process and then by the
process pool on every core.

Prints the single-process rate, the pool's rate and their ratio to cores x
single rate (the goal: at least 0.8), with the load average (on a shared
machine other work takes cores from the pool) and the CPU time a frame costs
alone and in the pool, which other work does not skew; whether the pool's records equal those
of the frames solved alone, and the resident memory of each pool worker after
its first frames and near the end of the run (the goal: flat). The frames are
kept under build/bench-batch for the next run; the plot of the night's fixes
goes beside them.

    python bench/bench_batch.py [--frames N | --full] [--single N] [--jobs N]
"""
from __future__ import annotations

import argparse
import datetime
import json
import multiprocessing
import os
import time
from pathlib import Path

from PIL import Image

import halvane_tools
from halvane_tools import annotate, batch, scenarios

FISHEYE = scenarios.CameraModel("fisheye", 1024, 1024, None, 180.0, 5.5)
SITE = (48.2, 16.4)
DUSK = datetime.datetime(2026, 1, 15, 17, 0, tzinfo=datetime.timezone.utc)
FRAME_INTERVAL_S = 15  # 2,000 frames: 8 h 20 min, a winter night
NAME_PATTERN = "cam_%Y%m%d_%H%M%S"
ROOT = Path(__file__).resolve().parent.parent / "build" / "bench-batch"


def _render(k: int, folder: str) -> None:
    when = DUSK + datetime.timedelta(seconds=FRAME_INTERVAL_S * k)
    scene = scenarios.render(scenarios.Scenario(FISHEYE, *SITE, when, 5000 + k), halvane_tools.default_catalog())
    Image.fromarray(scene.pixels).save(Path(folder) / f"cam_{when:%Y%m%d_%H%M%S}.png")


def night_frames(count: int) -> Path:
    """count frames of the night in a folder of their own, rendered once."""
    folder = ROOT / f"night-{count}"
    done = folder / "complete"
    if not done.exists():
        folder.mkdir(parents=True, exist_ok=True)
        start = time.perf_counter()
        with multiprocessing.get_context("forkserver").Pool() as pool:
            pool.starmap(_render, [(k, str(folder)) for k in range(count)], chunksize=8)
        done.write_text(str(count))
        print(f"rendered {count} frames into {folder} in {time.perf_counter() - start:.0f} s")
    return folder


def rss_mb(pid: int) -> tuple[float, float]:
    """Resident and peak resident memory of a process, MB."""
    fields = dict(line.split(":", 1) for line in Path(f"/proc/{pid}/status").read_text().splitlines() if ":" in line)
    return int(fields["VmRSS"].split()[0]) / 1024.0, int(fields["VmHWM"].split()[0]) / 1024.0


def cpu_s(pid: int) -> float:
    """User and system CPU time a process has used, seconds."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def without_timing(record: dict) -> str:
    return json.dumps({k: v for k, v in record.items() if k != "elapsed_s"}, sort_keys=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=200)
    parser.add_argument("--full", action="store_true", help="2,000 frames")
    parser.add_argument("--single", type=int, default=30, help="frames solved in this process for the single rate")
    parser.add_argument("--jobs", type=int, default=os.cpu_count())
    args = parser.parse_args()
    count = 2000 if args.full else args.frames

    folder = night_frames(count)
    frames = batch.plan_frames([folder], batch.TimeFromName(NAME_PATTERN))
    settings = batch.FrameSettings((0.0, 0.0, 1.0), batch.as_lens({"fisheye_fov_deg": 180.0}))
    single = frames[: min(args.single, count)]
    batch.solve_frame(single[0], settings)  # catalogue loaded, caches warm
    load_before = os.getloadavg()[0]
    start, cpu_start = time.perf_counter(), time.process_time()
    alone = {r["file"]: without_timing(r) for r in (batch.solve_frame(f, settings) for f in single)}
    single_rate = len(single) / (time.perf_counter() - start)
    single_cpu_ms = 1000.0 * (time.process_time() - cpu_start) / len(single)

    records, memory, pool_cpu_ms = [], {}, 0.0
    start = time.perf_counter()
    with batch.solve_batch(frames, settings.up_cam, settings.lens, jobs=args.jobs) as results:
        for record in results:
            records.append(record)
            # After every worker's first frames, and near the end while all
            # of them still run (each leaves when the queue is empty).
            if len(records) in (2 * args.jobs, len(frames) - 2 * args.jobs):
                for pid in results.worker_pids:
                    memory.setdefault(pid, []).append(rss_mb(pid))
            if len(records) == len(frames) - 2 * args.jobs:
                pool_cpu_ms = 1000.0 * sum(map(cpu_s, results.worker_pids)) / len(records)
    pool_rate = len(records) / (time.perf_counter() - start)

    solved = [r for r in records if "error" not in r]
    same = sum(without_timing(r) == alone[r["file"]] for r in records if r["file"] in alone)
    print(f"{count} frames of 1024 x 1024 px (16-bit PNG), {len(solved)} solved; {os.cpu_count()} cores, {args.jobs} jobs")
    print(f"  one process     {single_rate:6.2f} frames/s ({len(single)} frames)")
    print(f"  process pool    {pool_rate:6.2f} frames/s (start-up included)")
    print(f"  ratio           {pool_rate / (args.jobs * single_rate):6.2f} of {args.jobs} x one process (goal >= 0.8);"
          f" load average {load_before:.1f} before, {os.getloadavg()[0]:.1f} after")
    # What other users of the machine cannot skew: the CPU a frame costs.
    print(f"  CPU per frame   {single_cpu_ms:6.1f} ms alone, {pool_cpu_ms:.1f} ms in the pool (start-up included)")
    print(f"  identical       {same} of {len(alone)} frames solved alone give the same record")
    for pid, samples in memory.items():
        (start_rss, _), (end_rss, peak) = samples[0], samples[-1]
        print(f"  worker {pid:<8} {start_rss:6.1f} MB resident after its first frames, {end_rss:6.1f} MB near the end"
              f" (peak {peak:.1f} MB)")
    plot = ROOT / f"track-{count}.png"
    annotate.plot_track(records, plot)
    print(f"  plot            {plot}")


if __name__ == "__main__":
    main()
