"""Time of drawing and saving the overlay of a solved 12 Mpix photo.

    python bench/bench_overlay.py [--repeat N]

A 4000 x 3000 fisheye sky is synthesized, prepared and solved once; the
overlay is then drawn and written as PNG and as JPEG, each N times, on the
synthesized frame (a dark sky that compresses well) and on the same frame
under a noisy sky glow (as a real photo's background, which compresses
badly). Wall and CPU time (the process's, every thread counted) are
printed, best and median, with the machine's load: on a shared machine the
CPU time is the steadier figure.
"""
from __future__ import annotations

import argparse
import dataclasses
import os
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np

import halvane

import halvane_tools
from halvane_tools import annotate, photo


def timed(action) -> tuple[float, float]:
    wall, cpu = time.perf_counter(), time.process_time()
    action()
    return time.perf_counter() - wall, time.process_time() - cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    catalog = halvane_tools.default_catalog()
    utc = (2026, 2, 18, 22, 41, 7.0)
    scene = halvane.synthesize_scene(catalog, 69.65, 18.96, halvane.julian_date(*utc), 0.0, 4000, 3000, None, 5.5,
                                     0.5, 1.0, 0.0, 7, fisheye_fov_deg=180.0)
    lens = photo.Lens(fisheye_fov_deg=180.0, cx=2000.0, cy=1500.0)
    prepared = photo.prepare_photo(scene.pixels, scene.up_cam, lens)
    fix = prepared.solve(utc, catalog)
    glow = np.random.default_rng(7).normal(3000.0, 300.0, scene.pixels.shape)
    noisy = dataclasses.replace(prepared, image=np.clip(scene.pixels + glow, 0, 65535).astype(np.uint16))
    print(f"12 Mpix overlay: {len(fix.matched_hr_ids)} stars labelled, {len(prepared.detections)} detections;"
          f" load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    with tempfile.TemporaryDirectory() as folder:
        for sky, photo_ in (("dark", prepared), ("noisy", noisy)):
            for suffix in (".png", ".jpg"):
                path = Path(folder) / f"overlay{suffix}"
                draws, totals = [], []
                for _ in range(args.repeat):
                    picture = None

                    def draw():
                        nonlocal picture
                        picture = annotate.overlay(photo_, fix, utc, catalog)

                    drawn = timed(draw)
                    saved = timed(lambda: annotate.save(picture, path))
                    draws.append(drawn)
                    totals.append((drawn[0] + saved[0], drawn[1] + saved[1]))
                size = path.stat().st_size / 1e6
                line = [f"  {sky:5} {suffix:4} {size:5.1f} MB"]
                for name, runs in (("draw", draws), ("draw + save", totals)):
                    wall, cpu = zip(*runs)
                    line.append(f"{name} wall {min(wall):.3f} s (median {statistics.median(wall):.3f}),"
                                f" cpu {min(cpu):.3f} s (median {statistics.median(cpu):.3f})")
                print("; ".join(line))
    print(f"load average after: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
