"""The Python surface as callers and type checkers see it: every text
signature, and the type stub generated from the same tables."""

import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import halvane

ROOT = Path(__file__).resolve().parents[2]
LENS = "fisheye_fov_deg=None, k1=0.0, k2=0.0, k3=0.0, k4=0.0"
GATES = "max_centroids=None, min_matched_stars=None, max_residual_rms_arcmin=None"
SOLVE = f"focal_px, cx, cy, up_cam, utc, catalog, sigma_arcmin=None, {LENS}"
REMAP = (
    "src_focal_px, src_cx, src_cy, dst_focal_px, dst_cx, dst_cy, dst_width, dst_height, "
    "src_fisheye_fov_deg=None, src_k1=0.0, src_k2=0.0, src_k3=0.0, src_k4=0.0, dst_fisheye_fov_deg=None, "
    "dst_k1=0.0, dst_k2=0.0, dst_k3=0.0, dst_k4=0.0"
)
RESOLVE_FIX = f"image, {SOLVE}, use_sun=False, {GATES}, mask=None"
RESOLVE_FROM_CENTROIDS = f"centroids, {SOLVE}, {GATES}"

TEXT_SIGNATURES = {
    "Camera": f"(focal_px, cx, cy, width=None, height=None, {LENS})",
    "Camera.pixel_to_vec": "($self, x, y)",
    "Camera.vec_to_pixel": "($self, v)",
    "Catalog": "(catalog_path, pairs_path)",
    "Catalog.star": "($self, hr_id)",
    "Catalog.stars": "($self)",
    "Catalog.has_pair": "($self, hr_a, hr_b, sep_deg, tol_deg)",
    "FixTracker": "(*, max_reference_age_s, max_disambiguation_distance_nm)",
    "FixTracker.resolve_fix": f"($self, {RESOLVE_FIX})",
    "FixTracker.resolve_from_centroids": f"($self, {RESOLVE_FROM_CENTROIDS})",
    "FixTracker.set_last_known_position": "($self, lat_deg, lon_deg, utc)",
    "julian_date": "(year, month, day, hour, minute, second)",
    "gmst_deg": "(jd_ut)",
    "precess_vector": "(jd_tt, v)",
    "detect_centroids": "(image, max_count, mask=None)",
    "detect_centroids_matched": "(image, max_count, psf_sigma_px)",
    "foreground_mask": "(image)",
    "great_circle_nm": "(lat1_deg, lon1_deg, lat2_deg, lon2_deg)",
    "covariance_ellipse": "(azimuths_deg, sigma_arcmin)",
    "synthesize_scene": (
        "(catalog, lat_deg, lon_deg, jd_ut, roll_deg, width, height, focal_px, mag_limit, pixel_noise_arcmin, "
        f"up_noise_arcmin, background_noise, seed, {LENS}, bit_depth=16)"
    ),
    "resolve_fix": f"({RESOLVE_FIX})",
    "resolve_from_centroids": f"({RESOLVE_FROM_CENTROIDS})",
    "resolve_from_frames": (
        f"(frames, times_utc, focal_px, cx, cy, up_cam, catalog, sigma_arcmin=None, {LENS}, psf_sigma_px=1.0, "
        f"{GATES})"
    ),
    "remap_image": f"(image, {REMAP}, fill=0)",
    "remap_mask": f"(mask, {REMAP})",
    "sun_apparent_jd": "(jd)",
}


def surface():
    """Every function, class and method of __all__ that takes arguments."""
    for name in halvane.__all__:
        obj = getattr(halvane, name)
        if not isinstance(obj, type):
            yield name, obj
            continue
        if obj.__text_signature__ is not None:
            yield name, obj
        for attribute, value in vars(obj).items():
            if inspect.ismethoddescriptor(value) and not attribute.startswith("__"):
                yield f"{name}.{attribute}", value


SURFACE = dict(surface())


def test_every_callable_has_an_expected_signature():
    assert sorted(SURFACE) == sorted(TEXT_SIGNATURES)


@pytest.mark.parametrize("name", sorted(TEXT_SIGNATURES))
def test_text_signature(name):
    # The interpreter finds a text signature only on a docstring whose first
    # line is the callable's own name and parameter list.
    assert SURFACE[name].__text_signature__ == TEXT_SIGNATURES[name]


def test_keyword_only_and_defaults_reach_inspect():
    tracker = inspect.signature(halvane.FixTracker).parameters.values()
    assert [p.kind for p in tracker] == [inspect.Parameter.KEYWORD_ONLY] * 2
    assert inspect.signature(halvane.resolve_from_frames).parameters["psf_sigma_px"].default == 1.0


def run(*command, **env):
    return subprocess.run(command, capture_output=True, text=True, cwd=ROOT, env={**os.environ, **env})


def test_the_stub_is_what_the_generator_writes_from_this_module():
    written = run(sys.executable, "stubs/make_stub.py")
    assert written.returncode == 0, written.stderr
    assert written.stdout == (ROOT / "stubs/halvane.pyi").read_text(), "run `make stub`"


def test_stubtest_finds_the_stub_consistent_with_the_module(tmp_path):
    checked = run(sys.executable, "-m", "mypy.stubtest", "halvane", "--mypy-config-file", os.devnull,
                  MYPYPATH=str(ROOT / "stubs"), MYPY_CACHE_DIR=str(tmp_path))
    assert checked.returncode == 0, checked.stdout + checked.stderr
