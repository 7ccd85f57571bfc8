"""How soon each long engine call ends after Ctrl-C.

A kernel timer (setitimer, ITIMER_REAL) sends SIGALRM DELAY_S into the call;
the handler raises KeyboardInterrupt, as the default SIGINT handler does.
Latency is the time from the timer's expiry to the call's end, as the caller
sees it; "full" is the time the call takes when nothing interrupts it (a
call that ignores the signal shows the rest of its run as latency). The
inputs are chosen to take seconds, so the signal always lands mid-call.
Goal: every latency under 0.1 s.

    PYTHONPATH=build/dev:python python bench/bench_interrupt.py [--rounds N] [--only NAME]

Measured on the shared two-core development machine (so "full" varies by
a factor of two from run to run). Before: the engine polled only during
identification, so every call below ran to its end, the given time after
the signal (one round, signal at 0.3 s; _detect_sun on the unlit sky and
_glare_mask on the sky with one saturated patch, lighter inputs than those
below). After: five rounds, signal at 0.1 s.

    entry point               full s   before: ms to end   after: median / max ms
    detect_centroids            0.61          514                 18 / 19
    detect_centroids_matched    7.07        14219                  0 / 5
    foreground_mask             1.38         3241                 15 / 25
    resolve_fix                 0.68         1187                 14 / 19
    resolve_from_frames         4.79        13622                  1 / 2
    synthesize_scene            2.25         5223                 17 / 20
    remap_image                 8.64        18172                  4 / 8
    remap_mask                  7.47        13893                  1 / 5
    _remove_extended_light      3.54         6779                 17 / 19
    _below_altitude_mask        1.10         1748                  2 / 6
    _glare_mask                 0.57         1127                 17 / 23
    _detect_sun                 1.54          470                 18 / 19

What remains after the signal is mostly handing back the memory of the
frame's copy and the pass's buffers.
"""

import argparse
import functools
import itertools
import signal
import statistics
import time

import numpy as np

import halvane
from halvane_tools import default_catalog

DELAY_S = 0.1
UTC = (2026, 3, 20, 22, 0, 0)


def noisy_sky(width, height, seed=1):
    rng = np.random.default_rng(seed)
    sky = rng.integers(2950, 3050, size=(height, width), dtype=np.uint16)
    # Point stars enough to keep the flood fill and the peak tests busy.
    ys = rng.integers(4, height - 4, 4000)
    xs = rng.integers(4, width - 4, 4000)
    sky[ys, xs] = rng.integers(8000, 60000, 4000, dtype=np.uint16)
    return sky


def cases(catalog):
    """name -> (function, args, kwargs)."""
    big = noisy_sky(8192, 8192)
    mid = noisy_sky(4096, 4096, seed=2)
    small = noisy_sky(2048, 2048, seed=6)
    glare = big.copy()
    glare[1000:1400, 1000:1400] = 65535
    lit = big.copy()
    lit[:, :3072] += 20000  # a floodlit wall: one region the Sun's flood fill covers whole
    frames = [noisy_sky(1024, 1024, seed=s) for s in (3, 4, 5)]
    times = [(2026, 3, 20, 22, 0, 0), (2026, 3, 20, 22, 5, 0), (2026, 3, 20, 22, 10, 0)]
    fisheye = dict(fisheye_fov_deg=180.0)
    remap_lens = dict(src_fisheye_fov_deg=180.0, dst_fisheye_fov_deg=185.0)
    return {
        "detect_centroids": (halvane.detect_centroids, (big, 50), {}),
        "detect_centroids_matched": (halvane.detect_centroids_matched, (small, 50, 64.0), {}),
        "foreground_mask": (halvane.foreground_mask, (big,), {}),
        "resolve_fix": (halvane.resolve_fix, (big, None, 4096.0, 4096.0, (0, 0, 1), UTC, catalog), fisheye),
        "resolve_from_frames": (halvane.resolve_from_frames,
                                (frames, times, None, 512.0, 512.0, (0, 0, 1), catalog),
                                dict(fisheye, psf_sigma_px=64.0)),
        "synthesize_scene": (halvane.synthesize_scene,
                             (catalog, 40.0, -70.0, 2461120.4, 0.0, 6000, 6000, None, 6.5, 0.0, 0.0, 30.0, 7),
                             fisheye),
        "remap_image": (halvane.remap_image,
                        (mid, None, 2048.0, 2048.0, None, 4096.0, 4096.0, 8192, 8192), remap_lens),
        "remap_mask": (halvane.remap_mask,
                       (mid > 3040, None, 2048.0, 2048.0, None, 4096.0, 4096.0, 8192, 8192), remap_lens),
        "_remove_extended_light": (halvane._remove_extended_light, (big, 255), {}),
        "_below_altitude_mask": (halvane._below_altitude_mask,
                                 (10000, 10000, None, 5000.0, 5000.0, (0.3, 0.1, 1.0), 10.0), fisheye),
        "_glare_mask": (halvane._glare_mask, (np.maximum(glare, glare[::-1]), 20, 1 << 20), {}),
        "_detect_sun": (halvane._detect_sun, (lit,), {}),
    }


def on_alarm(signum, frame):
    raise KeyboardInterrupt


def interrupted_latency(function, args, kwargs):
    """(seconds from the timer's expiry to the call's end, whether the
    signal stopped the call); None when the call ended before the timer.
    The call returns into a C list, so a call that ran to its end is told
    apart from one the signal stopped."""
    returned = []
    previous = signal.signal(signal.SIGALRM, on_alarm)
    start = time.perf_counter()
    try:
        signal.setitimer(signal.ITIMER_REAL, DELAY_S)
        try:
            returned.extend(itertools.starmap(functools.partial(function, **kwargs), [args]))
        except halvane.HalvaneError:
            returned.append(None)
        ended = time.perf_counter()
        signal.setitimer(signal.ITIMER_REAL, 0)
    except KeyboardInterrupt:
        ended = time.perf_counter()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    if ended - start < DELAY_S:
        return None
    return ended - start - DELAY_S, not returned


def full_duration(function, args, kwargs):
    start = time.perf_counter()
    try:
        function(*args, **kwargs)
    except halvane.HalvaneError:
        pass
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", action="append", help="entry point name (repeatable)")
    parser.add_argument("--no-full", action="store_true", help="skip the uninterrupted run")
    options = parser.parse_args()
    catalog = default_catalog()
    table = cases(catalog)
    print(f"{'entry point':28s} {'full s':>8s} {'latency ms (median, max)':>26s}")
    for name, (function, args, kwargs) in table.items():
        if options.only and name not in options.only:
            continue
        full = "" if options.no_full else f"{full_duration(function, args, kwargs):8.2f}"
        runs = [interrupted_latency(function, args, kwargs) for _ in range(options.rounds)]
        if any(run is None for run in runs):
            print(f"{name:28s} {full:>8s}   ended before the signal: make the input larger", flush=True)
            continue
        ms = [1000.0 * latency for latency, _ in runs]
        ran_on = "" if all(stopped for _, stopped in runs) else "  ran to its end"
        print(f"{name:28s} {full:>8s} {statistics.median(ms):14.1f} {max(ms):10.1f}{ran_on}", flush=True)


if __name__ == "__main__":
    main()
