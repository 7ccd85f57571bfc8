"""The photo path on adverse skies and on large photos.

Prints, for seeded fisheye and pinhole skies, how many solve within 5 nm and
how many give a fix more than 300 nm off: one row per adversity alone, then
every adversity together (the goal: at least 95 per cent within 5 nm and no
fix 300 nm off). Then the time of the whole photo path (prepare and solve)
at 1 and 12 Mpix, and the time of each pixel pass at 12 Mpix.

    python bench/bench_photo.py [--skies N] [--per-kind N] [--min-altitude DEG ...] [--line-px N ...]
"""
from __future__ import annotations

import argparse
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image

import halvane
import halvane_tools
from halvane_tools import adverse, photo, readers, scenarios

CATALOG = halvane_tools.default_catalog()


def lens_of(camera: scenarios.CameraModel) -> photo.Lens:
    return photo.Lens(focal_px=camera.focal_px, fisheye_fov_deg=camera.fisheye_fov_deg)


def outcome(case: scenarios.Scenario, sky: adverse.AdverseSky, **options) -> float | None:
    """The fix's error in nm, or None for no fix."""
    try:
        result = photo.solve_photo(sky.pixels, case.utc, sky.up_cam, lens_of(case.camera), catalog=CATALOG, **options)
    except halvane.HalvaneError:
        return None
    return scenarios.error_nm(case, result.fix)


def plain_outcome(case: scenarios.Scenario, sky: adverse.AdverseSky) -> float | None:
    """resolve_fix on the raw frame with as many centroids, for comparison."""
    c = case.camera
    try:
        fix = halvane.resolve_fix(sky.pixels, c.focal_px, c.cx, c.cy, sky.up_cam, case.utc, CATALOG,
                                  fisheye_fov_deg=c.fisheye_fov_deg, max_centroids=photo.DEFAULT_MAX_CENTROIDS)
    except halvane.HalvaneError:
        return None
    return scenarios.error_nm(case, fix)


def skies(count: int, kinds, seed: int):
    """count skies, half fisheye and half pinhole."""
    half = count // 2
    for camera, n in ((scenarios.FISHEYE, count - half), (scenarios.PINHOLE, half)):
        for case in scenarios.seeded_scenarios(n, camera, seed=seed):
            yield case, adverse.adverse_sky(case, CATALOG, kinds)


def row(label: str, errors: list) -> str:
    solved = [e for e in errors if e is not None]
    within = sum(e <= 5.0 for e in solved)
    wild = sum(e > 300.0 for e in solved)
    median = f"{np.median(solved):6.2f}" if solved else "     -"
    return (f"  {label:<14} {len(errors):4d} skies  {100.0 * within / len(errors):5.1f} % within 5 nm"
            f"  {len(errors) - len(solved):3d} no fix  {wild} over 300 nm  median {median} nm")


def accuracy(args) -> None:
    print("adverse skies (half 180-degree fisheye 1024 x 1024, half 40-degree pinhole 1024 x 768):")
    for min_altitude in args.min_altitude:
        for line_px in args.line_px:
            options = dict(min_altitude_deg=min_altitude, line_px=line_px)
            print(f" min_altitude_deg={min_altitude:g} line_px={line_px}")
            for kind in adverse.ADVERSITIES if args.per_kind else ():
                rendered = list(skies(args.per_kind, (kind,), seed=2100))
                print(row(kind, [outcome(case, sky, **options) for case, sky in rendered]))
            rendered = list(skies(args.skies, adverse.ADVERSITIES, seed=2026))
            print(row("all together", [outcome(case, sky, **options) for case, sky in rendered]))
    print(row("resolve_fix", [plain_outcome(case, sky) for case, sky in rendered]), "(all together, raw frame)")


def big_photo(width: int, height: int):
    """An adverse all-sky frame of width x height (a 180-degree fisheye
    filling the shorter side) as 8-bit RGB, like a camera's JPEG, with its
    scenario and vertical."""
    camera = scenarios.CameraModel("fisheye", width, height, None, 180.0, 5.5)
    case = scenarios.seeded_scenarios(1, camera, seed=31)[0]
    sky = adverse.adverse_sky(case, CATALOG)
    return np.ascontiguousarray(np.repeat(sky.pixels[:, :, None], 3, axis=2)), case, sky.up_cam


def timing(repeats: int) -> None:
    print("photo path time (best of %d, one core; colour JPEG file in, fix out):" % repeats)
    for width, height in ((1024, 1024), (4000, 3000)):
        rgb, case, up = big_photo(width, height)
        lens = photo.Lens(fisheye_fov_deg=180.0)
        jpeg = Path(tempfile.mkdtemp()) / "sky.jpg"
        Image.fromarray(rgb).save(jpeg, quality=92)
        best = {}
        for _ in range(repeats):
            start = time.perf_counter()
            image = readers.read_photo(jpeg)
            stages = {"read JPEG": time.perf_counter() - start}
            t = time.perf_counter()
            prepared = photo.prepare_photo(image, up, lens)
            stages["prepare"] = time.perf_counter() - t
            t = time.perf_counter()
            fix = prepared.solve(case.utc, CATALOG)
            stages["solve"] = time.perf_counter() - t
            stages["total"] = time.perf_counter() - start
            best = {k: min(v, best.get(k, v)) for k, v in stages.items()}
        parts = ", ".join(f"{k} {v * 1000:.0f} ms" for k, v in best.items())
        print(f"  {width * height / 1e6:4.1f} Mpix: {parts}  (fix {scenarios.error_nm(case, fix):.2f} nm off)")
    image = readers.luminance(rgb)  # the 12 Mpix frame
    passes = {
        "_remove_extended_light": lambda: halvane._remove_extended_light(image, photo.DEFAULT_LINE_PX),
        "_below_altitude_mask": lambda: halvane._below_altitude_mask(4000, 3000, None, 2000, 1500, (0, 0, 1), 15.0,
                                                                     fisheye_fov_deg=180.0),
        "_glare_mask": lambda: halvane._glare_mask(image, photo.GLARE_MIN_SATURATED_PX, 60),
        "detect_centroids": lambda: halvane.detect_centroids(image, 84),
    }
    for name, run in passes.items():
        seconds = []
        for _ in range(repeats):
            start = time.perf_counter()
            run()
            seconds.append(time.perf_counter() - start)
        print(f"  12 Mpix {name}: {min(seconds) * 1000:.0f} ms")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--skies", type=int, default=100)
    parser.add_argument("--per-kind", type=int, default=20, help="skies per single adversity (0: none)")
    parser.add_argument("--min-altitude", type=float, nargs="+", default=[photo.DEFAULT_MIN_ALTITUDE_DEG])
    parser.add_argument("--line-px", type=int, nargs="+", default=[photo.DEFAULT_LINE_PX])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--no-timing", action="store_true")
    args = parser.parse_args()
    accuracy(args)
    if not args.no_timing:
        timing(args.repeats)


if __name__ == "__main__":
    main()
