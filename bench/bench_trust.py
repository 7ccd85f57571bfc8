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
import random
import statistics

import halvane
import halvane_tools
from halvane_tools import scenarios

FAR_NM = 300.0


def false_fixes_from_random_sets(catalog, count, seed):
    rng = random.Random(seed)
    print(f"random detection sets (seed {seed}):")
    for camera in (scenarios.FISHEYE, scenarios.PINHOLE):
        fixes, by_size = 0, collections.Counter()
        for _ in range(count):
            detections, up, utc = scenarios.random_detections(rng, camera)
            try:
                halvane.resolve_from_centroids(detections, camera.focal_px, camera.cx, camera.cy, up, utc, catalog,
                                               fisheye_fov_deg=camera.fisheye_fov_deg)
            except halvane.HalvaneError:
                continue
            fixes += 1
            by_size[len(detections)] += 1
        sizes = ", ".join(f"{n}: {k}" for n, k in sorted(by_size.items()))
        print(f"  {camera.label}: {fixes} fixes of {count}" + (f" (by set size {sizes})" if sizes else ""))


def far_fixes_from_distorted_lenses(catalog, count, seed):
    rng = random.Random(seed)
    cases = scenarios.seeded_scenarios(count, scenarios.FISHEYE, seed=seed)
    print(f"distorted lens solved as the ideal fisheye (seed {seed}, k1 from -0.08 to -0.02):")
    tallies = {sigma: collections.Counter() for sigma in (None, 5.0, 10.0)}
    worst = {sigma: 0.0 for sigma in tallies}
    for case in cases:
        scene = scenarios.render_distorted(case, catalog, rng.uniform(-0.08, -0.02))
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
