"""Throughput and peak memory of the three image detectors on realistic frames.

Frames: a sky of 3000 counts with a gradient, Gaussian noise of 30 counts and
300 Gaussian stars (sigma 1.2 to 2.0 px, peaks 2500 to 40000 counts), as
uint16. Each Python function is timed as a caller sees it, the copy of the
NumPy frame into the engine included; the table shows the median of several
runs. Peak memory is measured in a fresh process per case: the rise of the
resident-set high-water mark during one call, divided by the pixel count
(the NumPy input itself is excluded, the engine's copy of it included).
"""

import ctypes
import statistics
import subprocess
import sys
import time

import numpy as np

import halvane

SIZES = [(1920, 1080), (4096, 3072)]
RUNS = {(1920, 1080): 7, (4096, 3072): 5}
PSF_SIGMA_PX = 1.5

DETECTORS = {
    "detect_centroids": (lambda image: halvane.detect_centroids(image, 500), 40.0),
    "detect_centroids_matched": (lambda image: halvane.detect_centroids_matched(image, 500, PSF_SIGMA_PX), 20.0),
    "foreground_mask": (lambda image: halvane.foreground_mask(image), 40.0),
}


def make_frame(width, height, stars=300, seed=1):
    rng = np.random.default_rng(seed)
    y = np.arange(height, dtype=np.float64)[:, None]
    x = np.arange(width, dtype=np.float64)[None, :]
    sky = 3000.0 + 400.0 * x / width + 250.0 * y / height + rng.normal(0.0, 30.0, (height, width))
    half = 8
    stamp = np.arange(-half, half + 1, dtype=np.float64)
    for _ in range(stars):
        cx = rng.uniform(half + 1, width - half - 2)
        cy = rng.uniform(half + 1, height - half - 2)
        sigma = rng.uniform(1.2, 2.0)
        peak = np.exp(rng.uniform(np.log(2500.0), np.log(40000.0)))
        ix, iy = int(cx), int(cy)
        gx = np.exp(-((stamp + ix - cx) ** 2) / (2 * sigma * sigma))
        gy = np.exp(-((stamp + iy - cy) ** 2) / (2 * sigma * sigma))
        sky[iy - half : iy + half + 1, ix - half : ix + half + 1] += peak * np.outer(gy, gx)
    return np.clip(np.rint(sky), 0, 65535).astype(np.uint16)


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field + " not found")


def measure_peak_in_this_process(name, width, height):
    """Child side: prints the high-water rise of one call, in bytes."""
    image = make_frame(width, height)
    call, _ = DETECTORS[name]
    # Hand freed heap back to the system first, or the call would reuse the
    # frame builder's leftovers unseen.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # resets the high-water mark to the current RSS
    before = status_kib("VmRSS")
    result = call(image)
    peak = status_kib("VmHWM")
    del result
    print((peak - before) * 1024)


def peak_bytes(name, width, height):
    out = subprocess.run(
        [sys.executable, __file__, "--peak", name, str(width), str(height)],
        capture_output=True,
        text=True,
        check=True,
    )
    return int(out.stdout.strip())


def median_seconds(call, image, runs):
    call(image)  # warm-up: first-touch page faults and lazy imports
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        call(image)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    header = f"{'function':<26} {'frame':>10} {'ms':>9} {'Mpix/s':>8} {'goal':>6} {'peak B/px':>10} {'found':>6}"
    print(header)
    print("-" * len(header))
    for width, height in SIZES:
        image = make_frame(width, height)
        mpix = width * height / 1e6
        for name, (call, goal) in DETECTORS.items():
            seconds = median_seconds(call, image, RUNS[(width, height)])
            result = call(image)
            found = int(result.sum()) if name == "foreground_mask" else len(result)
            per_pixel = peak_bytes(name, width, height) / (width * height)
            print(
                f"{name:<26} {width:>4}x{height:<5} {seconds * 1e3:>9.1f} {mpix / seconds:>8.1f} "
                f"{goal:>6.0f} {per_pixel:>10.1f} {found:>6}"
            )
        copy_seconds = median_seconds(np.copy, image, RUNS[(width, height)])
        print(f"{'(numpy copy of the frame)':<26} {width:>4}x{height:<5} {copy_seconds * 1e3:>9.1f}")
    print("found: centroids returned (cap 500) or masked pixels; goal: Mpix/s on one core")


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--peak":
        measure_peak_in_this_process(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    else:
        main()
