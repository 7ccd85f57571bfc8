"""The photo path on adverse skies and on large photos.

Prints, for seeded fisheye and pinhole skies, how many solve within 5 nm and
how many give a fix more than 300 nm off: one row per adversity alone, then
every adversity together (the goal: at least 97 per cent within 5 nm and no
fix 300 nm off). Then the time of the whole photo path (prepare and solve)
at 1 and 12 Mpix, and the time of each pixel pass at 12 Mpix.

With --real DIR (a folder with frames.json, as data/realsky is laid out),
each real frame is first calibrated from the rough start a user has (an
ideal 180-degree fisheye looking up) with `halvane calibrate`, then every
frame is solved with `halvane solve --time-from-exif` and the lens of each
frame of the same camera: the error against the documented site and the
stars identified.

    python bench/bench_photo.py [--skies N] [--per-kind N] [--min-altitude DEG ...] [--line-px N|auto ...]
                                [--real DIR] [--real-only]
"""
from __future__ import annotations

import argparse
import contextlib
import datetime
import io
import json
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image

import halvane
import halvane_tools
from halvane_tools import adverse, cli, photo, readers, scenarios
from halvane_tools.times import mid_exposure

CATALOG = halvane_tools.default_catalog()


def lens_of(camera: scenarios.CameraModel) -> photo.Lens:
    return photo.Lens(focal_px=camera.focal_px, fisheye_fov_deg=camera.fisheye_fov_deg)


def outcome(case: scenarios.Scenario, sky: adverse.AdverseSky, lines=None, **options) -> float | None:
    """The fix's error in nm, or None for no fix; the line the photo path
    used is counted in lines (a dict) when given."""
    prepared = photo.prepare_photo(sky.pixels, sky.up_cam, lens_of(case.camera), **options)
    if lines is not None:
        lines[prepared.line_px] = lines.get(prepared.line_px, 0) + 1
    try:
        fix = prepared.solve(case.utc, CATALOG)
    except halvane.HalvaneError:
        return None
    return scenarios.error_nm(case, fix)


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


def row(label: str, errors: list, lines=None) -> str:
    solved = [e for e in errors if e is not None]
    within = sum(e <= 5.0 for e in solved)
    wild = sum(e > 300.0 for e in solved)
    median = f"{np.median(solved):6.2f}" if solved else "     -"
    used = "  lines " + " ".join(f"{k}:{v}" for k, v in sorted(lines.items())) if lines else ""
    return (f"  {label:<14} {len(errors):4d} skies  {100.0 * within / len(errors):5.1f} % within 5 nm"
            f"  {len(errors) - len(solved):3d} no fix  {wild} over 300 nm  median {median} nm{used}")


def accuracy(args) -> None:
    print("adverse skies (half 180-degree fisheye 1024 x 1024, half 40-degree pinhole 1024 x 768):")
    for min_altitude in args.min_altitude:
        for line_px in args.line_px:
            options = dict(min_altitude_deg=min_altitude, line_px=None if line_px == "auto" else int(line_px))
            print(f" min_altitude_deg={min_altitude:g} line_px={line_px}")
            for kind in adverse.ADVERSITIES if args.per_kind else ():
                rendered, lines = list(skies(args.per_kind, (kind,), seed=2100)), {}
                print(row(kind, [outcome(case, sky, lines, **options) for case, sky in rendered], lines), flush=True)
            rendered, lines = list(skies(args.skies, adverse.ADVERSITIES, seed=2026)), {}
            print(row("all together", [outcome(case, sky, lines, **options) for case, sky in rendered], lines),
                  flush=True)
    if not args.no_plain:
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


def _cli(argv: list[str]) -> tuple[int, str]:
    out = io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(io.StringIO()):
        code = cli.main(argv)
    return code, out.getvalue()


def real_frames(directory: str, line_px_values) -> None:
    """Calibrate each documented frame from a user's rough start, then solve
    every frame with each lens of its camera."""
    folder = Path(directory)
    frames = json.loads((folder / "frames.json").read_text())["frames"]
    work = Path(tempfile.mkdtemp())
    lenses = []
    for frame in frames:
        start = datetime.datetime.fromisoformat(frame["utc_start"].replace("Z", "+00:00"))
        # The lens is fitted at mid-exposure, where solve puts the stars too.
        mid = mid_exposure(start, frame["exposure_s"], "start")
        site = frame["site"]
        lens = work / (Path(frame["file"]).name.split(".")[0] + ".json")
        code, text = _cli(["calibrate", str(folder / frame["file"]), "--utc", mid.isoformat(), "--lat",
                           str(site["lat_deg"]), "--lon", str(site["lon_deg"]), "--height", str(site["height_m"]),
                           "--fisheye-fov", "180", "--out", str(lens)])
        stars = next((line.split()[1] for line in text.splitlines() if line.strip().startswith("stars")), "-")
        print(f"  calibrated {frame['file']}: {'refused' if code else stars + ' stars'}")
        lenses.append((frame, lens if code == 0 else None))
    camera_of = {frame["file"]: frame["file"].split("_")[0] for frame in frames}
    print("real frames: fix error against the documented site, stars identified (lens: calibrated on that frame)")
    for line_px in line_px_values:
        print(f" line_px={line_px}")
        for frame in frames:
            site = frame["site"]
            for lens_frame, lens in lenses:
                if lens is None or camera_of[lens_frame["file"]] != camera_of[frame["file"]]:
                    continue
                code, text = _cli(["solve", str(folder / frame["file"]), "--time-from-exif", "--lens", str(lens),
                                   "--height", str(site["height_m"]), "--line-px", str(line_px), "--json"])
                record = json.loads(text) if text.strip() else {}
                if "latitude_deg" in record:
                    nm = halvane.great_circle_nm(site["lat_deg"], site["lon_deg"], record["latitude_deg"],
                                                 record["longitude_deg"])
                    result = f"{nm:6.2f} nm  {len(record['matched_hr_ids']):2d} stars"
                else:
                    result = f"no fix: {record.get('error', 'exit code %d' % code)}"
                print(f"  {frame['file']:<34} lens of {lens_frame['file']:<34} {result}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--skies", type=int, default=100)
    parser.add_argument("--per-kind", type=int, default=20, help="skies per single adversity (0: none)")
    parser.add_argument("--min-altitude", type=float, nargs="+", default=[photo.DEFAULT_MIN_ALTITUDE_DEG])
    parser.add_argument("--line-px", nargs="+", default=["auto"], help="odd lengths, or auto (the default)")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--no-timing", action="store_true")
    parser.add_argument("--no-plain", action="store_true", help="leave out resolve_fix on the raw frames")
    parser.add_argument("--real", metavar="DIR", help="also calibrate and solve the real frames of DIR/frames.json")
    parser.add_argument("--real-only", action="store_true", help="only the real frames")
    args = parser.parse_args()
    if args.real:
        real_frames(args.real, args.line_px)
    if args.real_only:
        return
    accuracy(args)
    if not args.no_timing:
        timing(args.repeats)


if __name__ == "__main__":
    main()
