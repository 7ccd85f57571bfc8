"""Ctrl-C ends every long engine call: a timer's handler raises KeyboardInterrupt inside it (latency: bench/)."""
import functools
import itertools
import signal

import numpy as np
import pytest

import halvane

DELAY_S = 0.05
UTC = (2026, 3, 20, 22, 0, 0)


def ended_by_interrupt(call, *args, **kwargs) -> bool:
    """True when call(*args, **kwargs), with a timer firing DELAY_S into it, ended by KeyboardInterrupt
    before returning: a call run to its end returns into the C list below before the handler runs."""
    returned = []

    def on_alarm(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, DELAY_S)
    try:
        with pytest.raises(KeyboardInterrupt) as info:
            returned.extend(itertools.starmap(functools.partial(call, **kwargs), [args]))
    except KeyboardInterrupt:  # the call ran to a refusal and the handler ran after it, outside the block
        return False
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    return not returned and info.value.__context__ is None


def noisy_sky(width, height, seed=1):
    rng = np.random.default_rng(seed)
    sky = rng.integers(2950, 3050, size=(height, width), dtype=np.uint16)
    ys, xs = rng.integers(4, height - 4, 3000), rng.integers(4, width - 4, 3000)
    sky[ys, xs] = rng.integers(8000, 60000, 3000, dtype=np.uint16)
    return sky


def lit(sky):
    """The sky with its left part floodlit: one region the solar disc's flood fill must cover whole."""
    lit = sky.copy()
    lit[:, : sky.shape[1] * 3 // 8] += 20000
    return lit


@pytest.fixture(scope="module")
def big():
    return noisy_sky(8192, 8192)


@pytest.fixture(scope="module")
def mid():
    return noisy_sky(3072, 3072, seed=2)


FISHEYE = {"fisheye_fov_deg": 180.0}
CENTROIDS = [tuple(p) for p in np.random.default_rng(3).uniform(0, 1000, (12, 3)).tolist()]
REMAP_LENSES = {"src_fisheye_fov_deg": 180.0, "dst_fisheye_fov_deg": 185.0}

# Each entry point with an input that takes seconds: name -> (big, mid, catalog) -> (function, args, kwargs).
CALLS = {
    "detect_centroids": lambda big, mid, catalog: (halvane.detect_centroids, (big, 50), {}),
    "detect_centroids_matched": lambda big, mid, catalog: (halvane.detect_centroids_matched, (mid, 50, 64.0), {}),
    "foreground_mask": lambda big, mid, catalog: (halvane.foreground_mask, (big,), {}),
    "resolve_fix": lambda big, mid, catalog: (
        halvane.resolve_fix, (big, None, 4096.0, 4096.0, (0, 0, 1), UTC, catalog), {**FISHEYE, "use_sun": True}),
    "FixTracker.resolve_fix": lambda big, mid, catalog: (
        halvane.FixTracker(max_reference_age_s=60.0, max_disambiguation_distance_nm=60.0).resolve_fix,
        (big, None, 4096.0, 4096.0, (0, 0, 1), UTC, catalog), FISHEYE),
    # A 90-arcminute sigma keeps the matcher busy until its work budget runs out.
    "resolve_from_centroids": lambda big, mid, catalog: (
        halvane.resolve_from_centroids, (CENTROIDS, None, 500.0, 500.0, (0, 0, 1), UTC, catalog),
        {**FISHEYE, "sigma_arcmin": 90.0}),
    "resolve_from_frames": lambda big, mid, catalog: (
        halvane.resolve_from_frames,
        ([mid[:2048, :2048], mid[1024:, 1024:], mid[:2048, 1024:]],
         [(2026, 3, 20, 22, 0, 0), (2026, 3, 20, 22, 5, 0), (2026, 3, 20, 22, 10, 0)],
         None, 1024.0, 1024.0, (0, 0, 1), catalog), {**FISHEYE, "psf_sigma_px": 64.0}),
    "synthesize_scene": lambda big, mid, catalog: (
        halvane.synthesize_scene, (catalog, 40.0, -70.0, 2461120.4, 0.0, 6000, 6000, None, 6.5, 0.0, 0.0, 30.0, 7),
        FISHEYE),
    "remap_image": lambda big, mid, catalog: (
        halvane.remap_image, (mid, None, 1536.0, 1536.0, None, 4096.0, 4096.0, 8192, 8192), REMAP_LENSES),
    "remap_mask": lambda big, mid, catalog: (
        halvane.remap_mask, (mid > 3040, None, 1536.0, 1536.0, None, 4096.0, 4096.0, 8192, 8192), REMAP_LENSES),
    "_remove_extended_light": lambda big, mid, catalog: (halvane._remove_extended_light, (big, 255), {}),
    "_below_altitude_mask": lambda big, mid, catalog: (
        halvane._below_altitude_mask, (12000, 12000, None, 6000.0, 6000.0, (0.3, 0.1, 1.0), 10.0), FISHEYE),
    "_glare_mask": lambda big, mid, catalog: (halvane._glare_mask, (np.maximum(big, big[::-1]), 20, 1 << 20), {}),
    "_detect_sun": lambda big, mid, catalog: (halvane._detect_sun, (lit(big),), {}),
}


@pytest.mark.parametrize("name", CALLS)
def test_a_long_call_ends_with_keyboard_interrupt(name, big, mid, bundled_catalog):
    function, args, kwargs = CALLS[name](big, mid, bundled_catalog)
    # Contiguous copies made now, so the timer runs during the call alone.
    args = tuple(np.ascontiguousarray(a) if isinstance(a, np.ndarray) else a for a in args)
    if name == "resolve_from_frames":
        args = ([np.ascontiguousarray(f) for f in args[0]],) + args[1:]
    assert ended_by_interrupt(function, *args, **kwargs)


def test_an_interrupted_call_leaves_the_module_working(mid):
    assert ended_by_interrupt(halvane.detect_centroids_matched, mid, 50, 64.0)
    small = np.ascontiguousarray(mid[:256, :256])
    assert halvane.detect_centroids_matched(small, 50, 1.5) == halvane.detect_centroids_matched(small, 50, 1.5)
