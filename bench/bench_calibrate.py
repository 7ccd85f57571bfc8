"""Lens calibration on seeded skies (bundled catalogue), and its time.

Recovery: for each seeded fisheye sky (2048 x 2048, k1 -0.025 to -0.035,
k2 -0.003 to -0.005, principal point 5 to 15 px off centre per axis, mount
tilted 1 degree, 0.3 px star noise) calibrated from the ideal, centred,
level 180-degree fisheye, and each pinhole sky (1600 x 1200, 20 to 60
degrees across, same offsets) from a focal up to 5 % off: the errors of
focal, k1, principal point and up_cam, then the error of a solve of the same
sky with the fitted lens file (its up_cam standing in for the vertical).
Goals: focal 0.1 %, k1 0.002, centre 0.3 px, up_cam 1 arcmin, fix 1.5 nm.

Time: one 4000 x 3000 (12 Mpix) fisheye photo, calibrate_photo end to end,
on one core (BLAS threads pinned to one).

    python bench/bench_calibrate.py [--cases N] [--seed S]
"""
import os

for _variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_variable] = "1"

import argparse  # noqa: E402
import math  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import halvane_tools  # noqa: E402
from halvane_tools import scenarios  # noqa: E402
from halvane_tools.calibrate import CalibrationError, calibrate_photo  # noqa: E402
from halvane_tools.photo import solve_photo  # noqa: E402

GOALS = {"focal %": 0.1, "k1": 0.002, "centre px": 0.3, "up '": 1.0, "fix nm": 1.5}


def errors(case, catalog) -> dict | None:
    sky, s = case.sky, case.scenario
    try:
        found = calibrate_photo(sky.pixels, s.utc, s.lat_deg, s.lon_deg, catalog=catalog, **case.rough)
    except CalibrationError as e:
        print(f"    refused: {e}")
        return None
    lens = found.lens
    fix = solve_photo(sky.pixels, s.utc, None, lens, catalog=catalog).fix
    row = {
        "focal %": abs(lens.focal_px / sky.focal_px - 1.0) * 100.0,
        "k1": abs(lens.k1 - sky.k1) if sky.fisheye_fov_deg else None,
        "centre px": math.hypot(lens.cx - sky.cx, lens.cy - sky.cy),
        "up '": math.degrees(math.acos(min(1.0, float(np.dot(lens.up_cam, sky.up_cam))))) * 60.0,
        "fix nm": scenarios.error_nm(s, fix),
        "stars": found.n_stars,
        "median px": found.median_residual_px,
    }
    return row


def recovery(kind: str, count: int, seed: int, catalog) -> None:
    print(f"{kind} (seed {seed}):")
    print("    " + "".join(f"{name:>11}" for name in list(GOALS) + ["stars", "median px"]))
    rows = []
    for case in scenarios.calibration_cases(count, kind, catalog, seed=seed):
        row = errors(case, catalog)
        if row is None:
            rows.append(None)
            continue
        rows.append(row)
        print("    " + "".join("          -" if row[k] is None else f"{row[k]:>11.4f}" for k in GOALS)
              + f"{row['stars']:>11d}{row['median px']:>11.3f}")
    passed = "".join(
        f"{sum(1 for r in rows if r and (r[k] is None or r[k] <= goal)):>8d}/{len(rows):<2d}" for k, goal in GOALS.items())
    print("    within:" + passed)


def timing(catalog) -> None:
    camera = scenarios.CameraModel("12 Mpix fisheye", 4000, 3000, None, 180.0, 5.5)
    scenario = scenarios.seeded_scenarios(1, camera, seed=3, noise=scenarios.Noise(0.0, 0.0, 20.0))[0]
    k1, k2 = -0.03, -0.004
    half = math.pi / 2
    focal = 1500.0 / (half + k1 * half**3 + k2 * half**5)
    sky = scenarios.render_calibration_sky(scenario, catalog, 4000, 3000, focal, 180.0, k1, k2, (9, -7), 1.0, 40.0)
    start = time.perf_counter()
    found = calibrate_photo(sky.pixels, scenario.utc, scenario.lat_deg, scenario.lon_deg, fisheye_fov_deg=180.0,
                            catalog=catalog)
    elapsed = time.perf_counter() - start
    print(f"12 Mpix fisheye (4000 x 3000): {elapsed:.1f} s on one core, {found.n_stars} stars,"
          f" median residual {found.median_residual_px:.3f} px (goal: at most 20 s)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", type=int, default=10, help="skies per lens kind (10)")
    parser.add_argument("--seed", type=int, default=17)
    args = parser.parse_args()
    catalog = halvane_tools.default_catalog()
    for kind in ("fisheye", "pinhole"):
        recovery(kind, args.cases, args.seed, catalog)
    timing(catalog)


if __name__ == "__main__":
    main()
