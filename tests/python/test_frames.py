"""resolve_from_frames as Python sees it: its refusals in order, its options and the lock it releases."""
import datetime
import threading
import time

import numpy as np
import pytest

import halvane
import halvane_tools
from halvane_tools import scenarios

CATALOG = halvane_tools.default_catalog()
CASE = scenarios.seeded_scenarios(1, scenarios.FISHEYE, seed=12)[0]
FLAT = np.full((64, 64), 1000, np.uint16)
T = [(2026, 3, 14, 21, 30 + k, 0.0) for k in range(3)]


@pytest.fixture(scope="module")
def sequences():
    """(case, frames, times) of 3 and 5 frames, keyed by their count, hot spots in every frame."""
    return {n: (CASE, *scenarios.frame_sequence(CASE, CATALOG, n)[:2]) for n in (3, 5)}


def solve(frames, times, case=CASE, **kwargs):
    c = case.camera
    args = dict(focal_px=None, cx=c.cx, cy=c.cy, up_cam=(0.0, 0.0, 1.0), catalog=CATALOG, fisheye_fov_deg=180.0, psf_sigma_px=1.3)
    return halvane.resolve_from_frames(frames, times, **{**args, **kwargs})


NAIVE = datetime.datetime(2026, 3, 14, 21, 31)


@pytest.mark.parametrize(
    "frames, times, options, text",
    [
        # The width first, before any frame is looked at.
        ([FLAT, object()], [NAIVE], dict(psf_sigma_px=0.0),
         "psf_sigma_px must be finite and in (0, 64] pixels (got 0); a star PSF is 1-2 px sigma"),
        # Then the focal rule, then every frame, then every time.
        ([object()], [NAIVE], dict(focal_px=300.0), "focal_px is ignored"),
        ([FLAT, FLAT, FLAT.T], T, {}, "image must be C-contiguous (row-major)"),
        ([FLAT, FLAT, np.zeros((4, 4), np.int32)], [T[0], NAIVE, T[2]], {}, "image must be a 2-D uint8 or uint16 numpy array"),
        ([FLAT, FLAT, FLAT], [T[0], NAIVE, T[2]], {}, "utc is a naive datetime, which fixes no instant in time"),
        # Then the limits, as for a single image, then the engine's own.
        ([FLAT, FLAT, FLAT], T, dict(sigma_arcmin=0.0), "sigma_arcmin must be finite and greater than 0"),
        ([FLAT, FLAT, FLAT], T[:2], {}, "bad image: detections has 3 frames but times_jd has 2"),
    ],
)
def test_refusals_in_their_order(frames, times, options, text):
    with pytest.raises(halvane.HalvaneError) as info:
        solve(frames, times, **options)
    assert str(info.value).startswith(text)


@pytest.mark.parametrize("name", ["frames", "times_utc"])
@pytest.mark.parametrize("text", ["abc", b"abc"])
def test_a_string_is_not_a_sequence_of_frames_or_times(name, text):
    args = {"frames": [FLAT] * 3, "times": T, name.removesuffix("_utc"): text}
    with pytest.raises(TypeError, match=f"^argument '{name}': expected a sequence, not {type(text).__name__}$"):
        solve(**args)


def test_options_reach_the_engine(sequences):
    case, frames, times = sequences[3]
    # Tuples serve as well as lists; the matched filter's width defaults to one pixel.
    c = case.camera
    args = (tuple(frames), tuple(times), None, c.cx, c.cy, (0.0, 0.0, 1.0), CATALOG)
    fixes = [halvane.resolve_from_frames(*args, fisheye_fov_deg=180.0, **width) for width in ({}, {"psf_sigma_px": 1.0}, {"psf_sigma_px": 1.5})]
    assert fixes[0].latitude_deg == fixes[1].latitude_deg != fixes[2].latitude_deg
    assert scenarios.error_nm(case, fixes[2]) < 2.0
    with pytest.raises(halvane.HalvaneError, match="^thin lock: residual rms above the configured maximum"):
        solve(frames, times, case, max_residual_rms_arcmin=1e-6)
    with pytest.raises(halvane.HalvaneError, match="^thin lock: fewer matched stars than the configured minimum"):
        solve(frames, times, case, min_matched_stars=100)


def test_other_threads_run_while_it_works(sequences):
    case, frames, times = sequences[5]
    ticks, done = [], threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.0005)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        time.sleep(0.01)
        start = time.perf_counter()
        solve(frames, times, case)
        end = time.perf_counter()
    finally:
        done.set()
        ticker.join()
    # Holding the lock, the call would leave no gap for a single tick.
    assert sum(start < t < end for t in ticks) >= 3
