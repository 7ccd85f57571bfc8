"""Time of drawing and saving the overlay of a solved 12 Mpix photo.

    python bench/bench_overlay.py [--repeat N]

A 4000 x 3000 fisheye sky is synthesized, prepared and solved once; the
overlay is then drawn and written as PNG and as JPEG, each N times, and the
best and median times printed.
"""
from __future__ import annotations

import argparse
import statistics
import tempfile
import time
from pathlib import Path

import halvane

import halvane_tools
from halvane_tools import annotate, photo


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
    print(f"12 Mpix overlay: {len(fix.matched_hr_ids)} stars labelled, {len(prepared.detections)} detections")
    with tempfile.TemporaryDirectory() as folder:
        for suffix in (".png", ".jpg"):
            draw, total = [], []
            for _ in range(args.repeat):
                start = time.perf_counter()
                picture = annotate.overlay(prepared, fix, utc, catalog)
                drawn = time.perf_counter()
                annotate.save(picture, Path(folder) / f"overlay{suffix}")
                draw.append(drawn - start)
                total.append(time.perf_counter() - start)
            print(f"  {suffix:5} draw {min(draw):.3f} s (median {statistics.median(draw):.3f}),"
                  f" draw + save {min(total):.3f} s (median {statistics.median(total):.3f})")


if __name__ == "__main__":
    main()
