"""resolve_from_frames as a Python caller sees it (conversion of every frame
included): 3 and 5 frames of 1024 x 1024 and 2048 x 2048 from a
zenith-pointing 180-degree fisheye, 5 minutes apart, with 30 hot spots in
every frame (halvane_tools.scenarios.frame_sequence). Wall time, fastest of
three runs per place, median over places. The split into detection,
verification and solve comes from bench_frames (C++).
"""

import dataclasses
import statistics
import time

import halvane
import halvane_tools
from halvane_tools import scenarios

RUNS = 3
PLACES = 3


def main():
    catalog = halvane_tools.default_catalog()
    print("| frames | size | solved | median error nm | resolve_from_frames ms |")
    print("|---|---|---|---|---|")
    for size in (1024, 2048):
        camera = dataclasses.replace(scenarios.FISHEYE, width=size, height=size)
        for count in (3, 5):
            errors, times = [], []
            for case in scenarios.seeded_scenarios(PLACES, camera, seed=12):
                frames, utc, _ = scenarios.frame_sequence(case, catalog, count)
                best = float("inf")
                for _ in range(RUNS):
                    start = time.perf_counter()
                    try:
                        fix = halvane.resolve_from_frames(frames, utc, None, camera.cx, camera.cy, (0.0, 0.0, 1.0),
                                                          catalog, fisheye_fov_deg=180.0, psf_sigma_px=1.3)
                    except halvane.HalvaneError:
                        fix = None
                    best = min(best, time.perf_counter() - start)
                times.append(best * 1000.0)
                if fix is not None:
                    errors.append(scenarios.error_nm(case, fix))
            error = f"{statistics.median(errors):.2f}" if errors else "-"
            print(f"| {count} | {size}x{size} | {len(errors)}/{PLACES} | {error} | {statistics.median(times):.1f} |")


if __name__ == "__main__":
    main()
