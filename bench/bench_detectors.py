"""Throughput and peak memory of the three image detectors, beside the
reference source extractor SEP set up like each of them, in one process.

Frames: a sky of 3000 counts with a gradient, Gaussian noise of 30 counts and
300 Gaussian stars (sigma 1.2 to 2.0 px, peaks 2500 to 40000 counts), as
uint16. Each function is timed as a caller sees it: for halvane the copy of
the NumPy frame into the engine, for SEP the conversion to float32 it needs.
The machine is shared, so the calls of one size alternate (halvane, SEP,
halvane, ...) and the table shows medians. SEP is set up like each detector:

- blob: 32 px background mesh without median filtering, subtracted; the same
  absolute threshold (2048, the blob detector's floor, which it uses on these
  frames), minimum area 3, no deblending, no filter, no cleaning;
- matched: the same mesh, an 11 x 11 Gaussian filter of sigma 1.5, a 4 sigma
  threshold against the mesh's global RMS, minimum area 1, no deblending.

The foreground mask has no SEP counterpart. Peak memory is measured in a
fresh process per case: the rise of the resident-set high-water mark during
one call, divided by the pixel count (the NumPy input itself excluded, the
engine's copy of it included). ratio is halvane's Mpix/s over SEP's.
"""

import ctypes
import statistics
import subprocess
import sys
import time

import numpy as np

import halvane

try:
    import sep
except ImportError:  # the development set-up installs it; say so instead of failing
    sep = None

SIZES = [(1024, 1024), (2048, 2048), (4096, 3072)]
ROUNDS = {(1024, 1024): 9, (2048, 2048): 7, (4096, 3072): 5}
PSF_SIGMA_PX = 1.5
BLOB_THRESHOLD = 2048.0
MATCHED_SIGMAS = 4.0


def gaussian_kernel(sigma, radius):
    t = np.arange(-radius, radius + 1, dtype=np.float64)
    g = np.exp(-(t * t) / (2 * sigma * sigma))
    kernel = np.outer(g, g)
    return (kernel / kernel.sum()).astype(np.float32)


SEP_KERNEL = gaussian_kernel(PSF_SIGMA_PX, 5)


def sep_subtracted(image):
    data = image.astype(np.float32)
    background = sep.Background(data, bw=32, bh=32, fw=1, fh=1)
    background.subfrom(data)
    return data, background


def sep_blob(image):
    data, _ = sep_subtracted(image)
    return sep.extract(data, BLOB_THRESHOLD, minarea=3, filter_kernel=None, deblend_cont=1.0, clean=False)


def sep_matched(image):
    data, background = sep_subtracted(image)
    return sep.extract(data, MATCHED_SIGMAS, err=background.globalrms, minarea=1, filter_kernel=SEP_KERNEL,
                       deblend_cont=1.0, clean=False)


# name: (halvane call, SEP counterpart or None, goal)
DETECTORS = {
    "detect_centroids": (lambda image: halvane.detect_centroids(image, 500), sep_blob, "2x SEP"),
    "detect_centroids_matched": (lambda image: halvane.detect_centroids_matched(image, 500, PSF_SIGMA_PX),
                                 sep_matched, "3x SEP"),
    "foreground_mask": (lambda image: halvane.foreground_mask(image), None, "300 Mpix/s"),
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
    call = DETECTORS[name][0]
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


def alternating_medians(calls, image, rounds):
    """Median seconds of each call, the calls taking turns in every round."""
    for call in calls:
        call(image)  # warm-up: first-touch page faults and lazy imports
    times = [[] for _ in calls]
    for _ in range(rounds):
        for call, samples in zip(calls, times):
            start = time.perf_counter()
            call(image)
            samples.append(time.perf_counter() - start)
    return [statistics.median(samples) for samples in times]


def main():
    if sep is None:
        print("SEP is not installed (pip install -r requirements-dev.txt); its columns stay empty")
    header = (f"{'function':<26} {'frame':>10} {'ms':>8} {'Mpix/s':>8} {'SEP ms':>8} {'SEP Mpix/s':>10} "
              f"{'ratio':>6} {'goal':>10} {'peak B/px':>10} {'found':>6} {'SEP found':>9}")
    print(header)
    print("-" * len(header))
    for width, height in SIZES:
        image = make_frame(width, height)
        mpix = width * height / 1e6
        for name, (call, reference, goal) in DETECTORS.items():
            calls = [call] + ([reference] if reference is not None and sep is not None else [])
            seconds = alternating_medians(calls, image, ROUNDS[(width, height)])
            result = call(image)
            found = int(result.sum()) if name == "foreground_mask" else len(result)
            per_pixel = peak_bytes(name, width, height) / (width * height)
            line = f"{name:<26} {width:>4}x{height:<5} {seconds[0] * 1e3:>8.1f} {mpix / seconds[0]:>8.1f} "
            if len(seconds) > 1:
                line += (f"{seconds[1] * 1e3:>8.1f} {mpix / seconds[1]:>10.1f} {seconds[1] / seconds[0]:>6.2f} "
                         f"{goal:>10} {per_pixel:>10.1f} {found:>6} {len(reference(image)):>9}")
            else:
                line += f"{'':>8} {'':>10} {'':>6} {goal:>10} {per_pixel:>10.1f} {found:>6}"
            print(line, flush=True)
    print("found: centroids returned (cap 500) or masked pixels; peak memory goal: 4 B/px")


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--peak":
        measure_peak_in_this_process(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    else:
        main()
