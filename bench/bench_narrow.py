"""Identification rates of pinhole fields from 8 to 70 degrees across
(1024 x 768 px), from true centroids:

- random pointings: uniform over the sky above 30 degrees altitude at a
  random place and time, random roll; the sky holds every source star to
  --sky-mag (V 6.5 by default: a star-tracker camera sees that deep);
- seeded scenes: the renderer's pick of the richest of its directions;
- clean, and with 10 and 20 false detections (anywhere in the frame,
  magnitudes uniform from 3 to 6.5).

Columns: "wide" is the wide bundled catalogue with the plain search (how
things were); "chosen" is default_catalog(field_deg) with narrow.identify.
A fix counts when it lands within 30 nm of the truth; any farther fix is
counted as wrong. Times are the median identification-and-fix call of the
clean random fields. Random detection sets (--random-sets per field, alone
with --only-random-sets, over --jobs processes) must give no fix at all.

With --cedar, the same random fields go to cedar-solve (a separate
benchmark venv under build/, NumPy < 2) with a database for each field.
Every figure is seeded; rerun any row with the same arguments.
"""
from __future__ import annotations

import argparse
import json
import math
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

import halvane
import halvane_tools
from halvane_tools import catalog_builder, narrow, pointings, report, scenarios
from halvane_tools.scenarios import CameraModel

FIELDS = (8, 10, 12, 15, 20, 40, 70)
FALSE_COUNTS = (0, 10, 20)
RIGHT_NM = 30.0
ROOT = Path(__file__).resolve().parents[1]


def sky_from_source(faintest_vmag: float) -> pointings.SkyStars:
    deep = catalog_builder.build(ROOT / "data" / "bsc5.dat", catalog_builder.DEEP_LIMITS)[0]
    return pointings.SkyStars.from_catalog_bytes(deep, faintest_vmag)


def random_fields(sky, field_deg, false_stars, count, seed):
    rng = random.Random(seed * 1000 + int(field_deg) * 10 + false_stars)
    return [pointings.random_field(rng, sky, field_deg, false_stars) for _ in range(count)]


def seeded_fields(field_deg, false_stars, count, seed, mag_limit):
    """Scenes the renderer aims itself, as centroids (flux from magnitude)."""
    deep = halvane_tools.default_catalog(name="deep")
    focal = pointings.focal_for_field(field_deg)
    camera = CameraModel(f"pinhole {field_deg}", pointings.WIDTH, pointings.HEIGHT, focal, None, mag_limit)
    rng = random.Random(seed + false_stars)
    out = []
    for case in scenarios.seeded_scenarios(count, camera, seed=seed + int(field_deg), noise=scenarios.NOISELESS):
        scene = scenarios.render(case, deep)
        centroids = [(x, y, 10 ** (-0.4 * deep.star(hr)[2])) for (x, y), hr in zip(scene.star_pixels, scene.rendered_hr_ids)]
        true_count = len(centroids)
        for _ in range(false_stars):
            centroids.append((rng.uniform(0, camera.width), rng.uniform(0, camera.height), 10 ** (-0.4 * rng.uniform(3.0, 6.5))))
        centroids.sort(key=lambda c: -c[2])
        out.append(pointings.Field(centroids, focal, camera.cx, camera.cy, scene.up_cam, case.utc, case.lat_deg,
                                   case.lon_deg, true_count))
    return out


def run_halvane(fields, catalog, robust, field_deg=None):
    right = wrong = 0
    times = []
    for f in fields:
        start = time.process_time()
        try:
            if robust:
                fix = narrow.identify(f.centroids, f.focal_px, f.cx, f.cy, f.up_cam, f.utc, catalog, field=field_deg)
            else:
                fix = halvane.resolve_from_centroids(f.centroids, f.focal_px, f.cx, f.cy, f.up_cam, f.utc, catalog)
        except halvane.HalvaneError:
            times.append(time.process_time() - start)
            continue
        times.append(time.process_time() - start)
        off = halvane.great_circle_nm(f.lat_deg, f.lon_deg, fix.latitude_deg, fix.longitude_deg)
        right += off <= RIGHT_NM
        wrong += off > RIGHT_NM
    return right, wrong, times


def percent(right, wrong, count):
    return f"{100.0 * right / count:.0f}" + (f" ({wrong} wrong)" if wrong else "")


CEDAR_VENV = ROOT / "build" / "bench-venv"


def cedar_python():
    """The benchmark venv's interpreter with cedar-solve, made on first use;
    None (with the reason printed) when it cannot be installed here."""
    python = CEDAR_VENV / "bin" / "python"
    if not python.exists():
        subprocess.run([sys.executable, "-m", "venv", str(CEDAR_VENV)], check=True)
    probe = subprocess.run([str(python), "-c", "import tetra3"], capture_output=True)
    if probe.returncode != 0:
        install = subprocess.run([str(python), "-m", "pip", "install", "-q", "numpy<2", "cedar-solve"],
                                 capture_output=True, text=True)
        if install.returncode != 0:
            print("cedar-solve could not be installed:", install.stderr.strip().splitlines()[-1:])
            return None
    return python


def cedar_star_file(sky_mag):
    """The source's stars to sky_mag in the binary BSC5 layout cedar-solve
    reads (J2000 radians, magnitude x 100, proper motion in radians a year),
    so both solvers see one star list."""
    import numpy as np

    path = ROOT / "build" / "cedar-stars" / f"v{sky_mag:g}" / "bsc5"
    if path.exists():
        return path
    deep = catalog_builder.build(ROOT / "data" / "bsc5.dat", catalog_builder.DEEP_LIMITS)[0]
    records = catalog_builder.read_catalog_records(deep)[1]
    records = records[records["vmag"] <= sky_mag]
    entry = np.dtype([("id", "<f4"), ("ra", "<f8"), ("dec", "<f8"), ("type", "<i2"), ("mag", "<i2"),
                      ("pm_ra", "<f4"), ("pm_dec", "<f4")])
    table = np.zeros(len(records), entry)
    mas = math.radians(1.0 / 3.6e6)
    table["id"], table["ra"], table["dec"] = records["hr_id"], records["ra"], records["dec"]
    table["mag"] = np.round(records["vmag"] * 100).astype(np.int16)
    table["pm_ra"], table["pm_dec"] = records["pm_ra"] * mas, records["pm_dec"] * mas
    # Header: first star, first number, -count (J2000), numbered, proper motions, one magnitude, 32 bytes.
    header = np.array([0, 1, -len(records), 1, 1, 1, 32], "<i4")
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(header.tobytes() + table.tobytes())
    return path


def run_cedar(python, field_deg, batches, sky_mag):
    """cedar-solve's right fixes per list of fields (one database for the
    field): a solution counts when its boresight lies within the angle
    RIGHT_NM makes on the Earth (30 arcminutes) of the true one."""
    payload = {"field_deg": field_deg, "width": pointings.WIDTH, "height": pointings.HEIGHT,
               "stars": str(cedar_star_file(sky_mag)), "star_max_vmag": sky_mag,
               "batches": [[[list(c[:2]) for c in f.centroids] for f in fields] for fields in batches],
               "database": str(ROOT / "build" / "cedar-db" / f"v{round(sky_mag * 100)}-{field_deg}")}
    Path(payload["database"]).parent.mkdir(parents=True, exist_ok=True)
    done = subprocess.run([str(python), str(ROOT / "bench" / "cedar_worker.py")], input=json.dumps(payload),
                          capture_output=True, text=True)
    if done.returncode != 0:
        print(f"  cedar-solve failed at {field_deg} degrees: {done.stderr.strip().splitlines()[-1:]}")
        return None
    limit = math.cos(math.radians(RIGHT_NM / 60.0))
    rights = []
    for fields, answers in zip(batches, json.loads(done.stdout)):
        right = 0
        for f, answer in zip(fields, answers):
            if answer is None:
                continue
            ra, dec = map(math.radians, answer)
            got = (math.cos(dec) * math.cos(ra), math.cos(dec) * math.sin(ra), math.sin(dec))
            right += sum(a * b for a, b in zip(got, f.boresight_j2000)) >= limit
        rights.append(right)
    return rights


def random_set(field_deg, index, seed):
    """The index-th random detection set of a field: its own seed, so any
    share of the sets gives the same ones."""
    rng = random.Random(f"{seed}-{field_deg}-{index}")
    camera = CameraModel("", pointings.WIDTH, pointings.HEIGHT, pointings.focal_for_field(field_deg), None, 6.5)
    return camera, *scenarios.random_detections(rng, camera)


def false_fixes(field_deg, indices, seed):
    """(fixes as (index, matched stars, residual rms arcmin), CPU seconds)
    of narrow.identify with the field's bundled catalogue on those sets."""
    catalog = halvane_tools.default_catalog(field_deg=field_deg)
    fixes = []
    start = time.process_time()
    for index in indices:
        camera, detections, up, utc = random_set(field_deg, index, seed)
        try:
            fix = narrow.identify(detections, camera.focal_px, camera.cx, camera.cy, up, utc, catalog,
                                  field=field_deg)
        except halvane.HalvaneError:
            continue
        fixes.append((index, len(fix.matched_hr_ids), report.residual_arcmin(fix)))
    return fixes, time.process_time() - start


def report_random_sets(fields, count, seed, jobs):
    """Random detection sets through the path a narrow field takes: any fix
    is a false one. Spread over `jobs` processes."""
    from concurrent.futures import ProcessPoolExecutor

    print(f"random detection sets, {count} per field, seed {seed}, bundled catalogue by field with narrow.identify:")
    with ProcessPoolExecutor(max(1, jobs)) as pool:
        for field_deg in fields:
            shares = [range(k, count, max(1, jobs)) for k in range(max(1, jobs))]
            done = list(pool.map(false_fixes, [field_deg] * len(shares), shares, [seed] * len(shares)))
            fixes = sorted(f for got, _ in done for f in got)
            cpu = sum(seconds for _, seconds in done)
            words = "; ".join(f"set {i}: {m} stars at {rms:.2f}'" for i, m, rms in fixes)
            print(f"  {field_deg} deg: {len(fixes)} fixes, {1000 * cpu / count:.0f} ms CPU a set"
                  + (f" ({words})" if words else ""), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=100, help="fields per cell (default 100)")
    parser.add_argument("--fields", type=int, nargs="+", default=list(FIELDS))
    parser.add_argument("--sky-mag", type=float, default=6.5, help="faintest star in the sky (default 6.5)")
    parser.add_argument("--random-sets", type=int, default=0, help="random detection sets per field (e.g. 2000)")
    parser.add_argument("--seeded", action="store_true", help="also the renderer's seeded scenes")
    parser.add_argument("--cedar", action="store_true", help="also cedar-solve (installs into build/)")
    parser.add_argument("--only-random-sets", action="store_true", help="the random detection sets alone")
    parser.add_argument("--jobs", type=int, default=1, help="processes for the random detection sets")
    parser.add_argument("--seed", type=int, default=5)
    args = parser.parse_args()
    if args.only_random_sets:
        report_random_sets(args.fields, args.random_sets or 2000, args.seed, args.jobs)
        return

    sky = sky_from_source(args.sky_mag)
    wide = halvane_tools.default_catalog(name="wide")
    python = cedar_python() if args.cedar else None
    print(f"{args.count} fields per cell, sky to V {args.sky_mag}, seed {args.seed}; rates in %, fix within {RIGHT_NM:.0f} nm")
    header = "field | stars (mean; <4) | catalogue | " + " | ".join(
        f"{who} {'clean' if k == 0 else f'+{k} false'}" for k in FALSE_COUNTS for who in ("wide", "chosen", *(("cedar",) if python else ())))
    print(header + " | ms wide | ms chosen")
    for field_deg in args.fields:
        chosen = halvane_tools.default_catalog(field_deg=field_deg)
        cells, ms = [], []
        batches = []
        for false_stars in FALSE_COUNTS:
            fields = random_fields(sky, field_deg, false_stars, args.count, args.seed)
            batches.append(fields)
            r0, w0, t0 = run_halvane(fields, wide, robust=False)
            r1, w1, t1 = run_halvane(fields, chosen, robust=True, field_deg=field_deg)
            cells.append([percent(r0, w0, args.count), percent(r1, w1, args.count)])
            if false_stars == 0:
                counts = [f.true_count for f in fields]
                stars = f"{statistics.mean(counts):.1f}; {100.0 * sum(c < 4 for c in counts) / len(counts):.0f} %"
                ms = [1000 * statistics.median(t0), 1000 * statistics.median(t1)]
        if python:
            result = run_cedar(python, field_deg, batches, args.sky_mag)
            for cell, res in zip(cells, result or [None] * len(cells)):
                cell.append("-" if res is None else f"{100.0 * res / args.count:.0f}")
        print(f"{field_deg} deg | {stars} | {narrow.catalog_name(field_deg)} | " + " | ".join(" | ".join(c) for c in cells)
              + f" | {ms[0]:.2f} | {ms[1]:.2f}", flush=True)
    if args.seeded:
        print("seeded scenes (the renderer's rich directions), wide / chosen:")
        for field_deg in args.fields:
            chosen = halvane_tools.default_catalog(field_deg=field_deg)
            row = []
            for false_stars in FALSE_COUNTS:
                fields = seeded_fields(field_deg, false_stars, args.count, args.seed, args.sky_mag)
                r0, w0, _ = run_halvane(fields, wide, robust=False)
                r1, w1, _ = run_halvane(fields, chosen, robust=True, field_deg=field_deg)
                row.append(f"{percent(r0, w0, args.count)} / {percent(r1, w1, args.count)}")
            print(f"  {field_deg} deg: " + " | ".join(row), flush=True)
    if args.random_sets:
        report_random_sets(args.fields, args.random_sets, args.seed, args.jobs)


if __name__ == "__main__":
    main()
