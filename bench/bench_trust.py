"""How far a fix can be trusted, on seeded inputs (bundled catalogue):

- false fixes from random detection sets: (x, y, flux) points thrown at a
  180-degree fisheye and a 40-degree pinhole, 8 to 40 of them, the up
  vector a few degrees off the boresight, a random time. Any fix is false.
- far fixes from a mis-stated lens: skies rendered through a calibrated
  fisheye (k1 from -0.08 to -0.02) and solved as the ideal fisheye, with
  sigma None, 5 and 10 arcminutes. A fix more than 300 nm off is false.
- solve rate and median error of the seeded accuracy sets, and the solve
  rate of ordinary noisy fisheye skies with the refusals by kind.

The default run is a quarter of the full counts (2,000 random sets, 200
distorted skies, 400 ordinary skies); --full runs them all. Every count is
printed with its seed, so any figure can be rerun.
"""
import argparse
import collections
import datetime
import math
import random
import statistics

import halvane
import halvane_tools
from halvane_tools import scenarios

FAR_NM = 300.0


def random_detections(rng, camera):
    """8 to 40 random centroids inside the camera's image (the image circle
    of a fisheye), with lognormal fluxes."""
    out = []
    count = rng.randint(8, 40)
    while len(out) < count:
        x, y = rng.uniform(0, camera.width), rng.uniform(0, camera.height)
        if camera.fisheye_fov_deg and math.hypot(x - camera.cx, y - camera.cy) > min(camera.cx, camera.cy):
            continue
        out.append((x, y, math.exp(rng.gauss(8.0, 1.5))))
    return out


def tilted_up(rng, max_deg=3.0):
    """A unit vector within max_deg of the boresight (0, 0, 1)."""
    tilt = math.radians(max_deg) * math.sqrt(rng.random())
    az = rng.uniform(0, 2 * math.pi)
    return (math.sin(tilt) * math.cos(az), math.sin(tilt) * math.sin(az), math.cos(tilt))


def random_utc(rng):
    when = scenarios.J2000 + datetime.timedelta(seconds=round(rng.uniform(0.0, 50.0 * 365.25 * 86400.0)))
    return (when.year, when.month, when.day, when.hour, when.minute, float(when.second))


def false_fixes_from_random_sets(catalog, count, seed):
    rng = random.Random(seed)
    print(f"random detection sets (seed {seed}):")
    for camera in (scenarios.FISHEYE, scenarios.PINHOLE):
        fixes, by_size = 0, collections.Counter()
        for _ in range(count):
            detections = random_detections(rng, camera)
            try:
                halvane.resolve_from_centroids(detections, camera.focal_px, camera.cx, camera.cy, tilted_up(rng),
                                               random_utc(rng), catalog, fisheye_fov_deg=camera.fisheye_fov_deg)
            except halvane.HalvaneError:
                continue
            fixes += 1
            by_size[len(detections)] += 1
        sizes = ", ".join(f"{n}: {k}" for n, k in sorted(by_size.items()))
        print(f"  {camera.label}: {fixes} fixes of {count}" + (f" (by set size {sizes})" if sizes else ""))


def distorted_fisheye_scene(catalog, scenario, k1):
    """The scenario's sky through a calibrated fisheye whose image circle
    still fills the frame at 90 degrees off axis."""
    c, n = scenario.camera, scenario.noise
    half = math.pi / 2
    focal = c.cx / (half + k1 * half ** 3)
    return halvane.synthesize_scene(
        catalog, scenario.lat_deg, scenario.lon_deg, scenario.jd, 0.0, c.width, c.height, focal, c.mag_limit,
        n.pixel_arcmin, n.up_arcmin, n.background, scenario.seed, fisheye_fov_deg=180.0, k1=k1,
    )


def far_fixes_from_distorted_lenses(catalog, count, seed):
    rng = random.Random(seed)
    cases = scenarios.seeded_scenarios(count, scenarios.FISHEYE, seed=seed)
    print(f"distorted lens solved as the ideal fisheye (seed {seed}, k1 from -0.08 to -0.02):")
    tallies = {sigma: collections.Counter() for sigma in (None, 5.0, 10.0)}
    worst = {sigma: 0.0 for sigma in tallies}
    for case in cases:
        scene = distorted_fisheye_scene(catalog, case, rng.uniform(-0.08, -0.02))
        for sigma, tally in tallies.items():
            try:
                fix = scenarios.solve(case, scene, catalog, sigma_arcmin=sigma)
            except halvane.HalvaneError:
                tally["refused"] += 1
                continue
            off = scenarios.error_nm(case, fix)
            worst[sigma] = max(worst[sigma], off)
            tally["far" if off > FAR_NM else "near"] += 1
    for sigma, tally in tallies.items():
        print(f"  sigma {sigma}: {tally['far']} fixes > {FAR_NM:.0f} nm, {tally['near']} near, "
              f"{tally['refused']} refused of {count}; worst {worst[sigma]:.0f} nm")


def solve_rate(catalog, cases):
    errors, refusals = [], collections.Counter()
    for case in cases:
        scene = scenarios.render(case, catalog)
        try:
            fix = scenarios.solve(case, scene, catalog)
        except halvane.HalvaneError as error:
            refusals[str(error).split(":")[0]] += 1
            continue
        errors.append(scenarios.error_nm(case, fix))
    return errors, refusals


def report_rate(label, cases, errors, refusals):
    median = f"{statistics.median(errors):.2f}" if errors else "-"
    far = sum(e > FAR_NM for e in errors)
    kinds = "; ".join(f"{k}: {v}" for k, v in sorted(refusals.items()))
    print(f"  {label}: {len(errors)}/{len(cases)} solved ({100.0 * len(errors) / len(cases):.1f}%), "
          f"median error {median} nm, {far} > {FAR_NM:.0f} nm" + (f"; refused: {kinds}" if kinds else ""))


def accuracy_sets(catalog):
    print("seeded accuracy sets (seed 2026, as the accuracy tests):")
    for label, cases in (
        ("fisheye, 40 places", scenarios.seeded_scenarios(40, scenarios.FISHEYE)),
        ("pinhole, 40 places", scenarios.seeded_scenarios(40, scenarios.PINHOLE)),
        ("noise-free fisheye, 20 places", scenarios.seeded_scenarios(20, scenarios.FISHEYE, noise=scenarios.NOISELESS)),
    ):
        report_rate(label, cases, *solve_rate(catalog, cases))


def ordinary_skies(catalog, count, seed):
    print(f"ordinary noisy fisheye skies (seed {seed}):")
    cases = scenarios.seeded_scenarios(count, scenarios.FISHEYE, seed=seed)
    report_rate(f"{count} skies", cases, *solve_rate(catalog, cases))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--full", action="store_true", help="the full counts instead of a quarter of them")
    args = parser.parse_args()
    scale = 1 if args.full else 4
    catalog = halvane_tools.default_catalog()
    false_fixes_from_random_sets(catalog, 1000 // scale, seed=11)
    far_fixes_from_distorted_lenses(catalog, 200 // scale, seed=12)
    accuracy_sets(catalog)
    ordinary_skies(catalog, 400 // scale, seed=13)


if __name__ == "__main__":
    main()
