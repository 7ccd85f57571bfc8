"""Time of a whole fix as a Python caller sees it, on the seeded skies the
accuracy tests use (bundled catalogue): resolve_fix on the frame, and
resolve_from_centroids on the frame's twelve brightest blob centroids. Each
scene is solved three times and its fastest run kept, then the median over
scenes is printed with the solve rate and the median error. The split
between detection, identification and refinement comes from bench_stages.
"""

import statistics
import time

import halvane
import halvane_tools
from halvane_tools import scenarios

RUNS = 3
# Median resolve_fix time each camera should stay within, in milliseconds.
GOAL_MS = {"fisheye": 6.0, "pinhole": 3.0}


def fastest(call):
    best = float("inf")
    result = None
    for _ in range(RUNS):
        start = time.perf_counter()
        try:
            result = call()
        except halvane.HalvaneError:
            result = None
        best = min(best, time.perf_counter() - start)
    return best * 1000.0, result


def main():
    catalog = halvane_tools.default_catalog()
    print("| camera | scenes | solved | median error nm | resolve_fix ms | goal ms | resolve_from_centroids ms |")
    print("|---|---|---|---|---|---|---|")
    for name, camera in scenarios.CAMERAS.items():
        fix_ms, centroid_ms, errors = [], [], []
        cases = scenarios.seeded_scenarios(40, camera)
        for case in cases:
            scene = scenarios.render(case, catalog)
            pixels = scene.pixels
            lens = dict(fisheye_fov_deg=camera.fisheye_fov_deg)
            ms, fix = fastest(lambda: halvane.resolve_fix(
                pixels, camera.focal_px, camera.cx, camera.cy, scene.up_cam, case.utc, catalog, **lens))
            fix_ms.append(ms)
            if fix is not None:
                errors.append(scenarios.error_nm(case, fix))
            centroids = halvane.detect_centroids(pixels, 12)
            ms, _ = fastest(lambda: halvane.resolve_from_centroids(
                centroids, camera.focal_px, camera.cx, camera.cy, scene.up_cam, case.utc, catalog, **lens))
            centroid_ms.append(ms)
        print(f"| {camera.label} | {len(cases)} | {len(errors)} | {statistics.median(errors):.2f} |"
              f" {statistics.median(fix_ms):.1f} | {GOAL_MS[name]:.0f} | {statistics.median(centroid_ms):.1f} |")


if __name__ == "__main__":
    main()
