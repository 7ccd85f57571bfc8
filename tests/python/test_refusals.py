"""What the command line refuses and how: one line, the right status, no traceback, no hang, no pixel bomb."""
import functools
import os
import types

import numpy as np
import pytest
from PIL import Image

import halvane
from halvane_tools import batch, cli, lens, readers, report, scenarios, trust

from conftest import refused

UTC = "2026-01-15T20:00:00"
NAME_PATTERN = "cam_%Y%m%d_%H%M%S"


@pytest.fixture(scope="module")
def place(tmp_path_factory):
    """A folder with a small photo, FIFOs without a writer or reader, and lens files that are not lenses."""
    folder = tmp_path_factory.mktemp("hostile")
    Image.fromarray(np.random.default_rng(0).normal(1000, 10, (200, 300)).astype(np.uint16)).save(
        folder / "sky.png")
    (folder / "cam_20260115_200000.png").write_bytes((folder / "sky.png").read_bytes())
    for name in ("fifo", "fifo.json", "fifo.csv", "fifo.png"):
        os.mkfifo(folder / name)
    (folder / "deep.json").write_text("[" * 100_000 + "]" * 100_000)
    (folder / "digits.json").write_text('{"cx": ' + "9" * 4400 + "}")
    (folder / "huge_int.json").write_text('{"fisheye_fov_deg": 180, "cx": ' + "9" * 4000 + "}")
    (folder / "far.json").write_text('{"fisheye_fov_deg": 180, "cx": 1e308}')
    return folder


SOLVE = ["solve", "sky.png", "--utc", UTC, "--up", "0", "0", "1"]
FISHEYE = ["--fisheye-fov", "180"]
BATCH = ["batch", "cam_20260115_200000.png", "--up", "0", "0", "1", *FISHEYE]


@pytest.mark.parametrize(
    "argv, status, text",
    [
        # Files that would hang or flood a plain open.
        (SOLVE + ["--lens", "fifo.json"], 1, "cannot read lens file fifo.json: not a regular file"),
        (["solve", "fifo.png", "--utc", UTC, "--up", "0", "0", "1", *FISHEYE], 1, "fifo.png: not a regular file"),
        (SOLVE + FISHEYE + ["--mask", "/dev/zero"], 1, "/dev/zero: not a regular file"),
        (SOLVE + FISHEYE + ["--annotate", "fifo"], 1, "cannot write fifo: a FIFO that nothing reads"),
        (BATCH + ["--times", "fifo.csv", "--out", "r.jsonl"], 1, "cannot read the times fifo.csv: not a regular file"),
        (BATCH + ["--time-from-name", NAME_PATTERN, "--out", "fifo"], 1,
         "cannot use fifo for the results: a FIFO that nothing reads"),
        (BATCH + ["--time-from-name", NAME_PATTERN, "--out", "/dev/zero", "--resume"], 1,
         "cannot use /dev/zero for the results: not a regular file"),
        (BATCH + ["--time-from-name", NAME_PATTERN, "--out", "r.jsonl", "--plot", "fifo"], 1,
         "cannot write fifo: a FIFO that nothing reads"),
        # Lens files and values beyond what a lens can be.
        (SOLVE + ["--lens", "deep.json"], 1, "lens file deep.json is not a lens: its JSON is nested too deeply"),
        (SOLVE + ["--lens", "digits.json"], 1, "lens file digits.json is not a lens: Exceeds the limit"),
        (SOLVE + ["--lens", "huge_int.json"], 1, "huge_int.json: cx must be a finite number (got 9999"),
        (SOLVE + ["--lens", "far.json"], 1, "cx must lie within 10 frame sizes of the photo, -3000 to 3300 px"),
        (SOLVE + FISHEYE + ["--cy", "-3e7"], 1, "cy must lie within 10 frame sizes of the photo, -3000 to 3200 px"),
        # Numbers the module bounds, and its refusals, are not "no fix".
        (SOLVE + FISHEYE + ["--min-stars", str(10**30)], 1, "argument 'min_matched_stars': 1000000000000000000000"),
        (SOLVE + FISHEYE + ["--sigma", "-1"], 1, "halvane: sigma_arcmin must be finite and greater than 0"),
        (SOLVE + ["--fisheye-fov", "180", "--up", "0", "0", "0"], 1, "halvane: up vector is degenerate"),
        # A time that reads but has no UTC, and a place off the Earth.
        (["solve", "sky.png", "--utc", "9999-12-31T23:59:59-14:00", *FISHEYE, "--up", "0", "0", "1"], 2,
         "'9999-12-31T23:59:59-14:00' falls outside the years 1 to 9999 in UTC"),
        (["calibrate", "sky.png", "--utc", UTC, "--lat", "91", "--lon", "0", *FISHEYE], 1,
         "latitude must be a number from -90 to 90 (got 91.0)"),
        (["calibrate", "sky.png", "--utc", UTC, "--lat", "45", "--lon", "0", "--height", "-1e9", *FISHEYE], 1,
         "height must be a number from -1000 to 100000 (got -1000000000.0)"),
        (["calibrate", "sky.png", "--utc", UTC, "--lat", "45", "--lon", "0", *FISHEYE, "--out", "fifo"], 1,
         "cannot write fifo: a FIFO that nothing reads"),
    ],
)
def test_a_hostile_argument_is_refused_in_one_line(place, capsys, monkeypatch, argv, status, text):
    monkeypatch.chdir(place)
    assert "no fix" not in refused(capsys, status, text, *argv)
    assert not (place / "r.jsonl").exists()


def test_the_pixel_limit_is_applied_before_decoding(tmp_path, monkeypatch):
    # A 1-bit PNG of a few kilobytes that claims 144 million pixels.
    Image.new("1", (12000, 12000)).save(tmp_path / "bomb.png", optimize=True)
    assert (tmp_path / "bomb.png").stat().st_size < 50_000
    with pytest.raises(readers.PhotoError, match=r"144000000 pixels \(12000 x 12000\), more than the limit of"
                                                 r" 120000000; give --max-pixels"):
        readers.read_photo(tmp_path / "bomb.png")
    # A .npy file claiming 400 million pixels, most of them never written.
    np.lib.format.open_memmap(tmp_path / "big.npy", mode="w+", dtype=np.uint8, shape=(20000, 20000)).flush()
    with pytest.raises(readers.PhotoError, match="400000000 pixels"):
        readers.read_photo(tmp_path / "big.npy")
    fits = pytest.importorskip("astropy.io.fits")
    fits.PrimaryHDU(np.zeros((3, 20, 30), np.uint16)).writeto(tmp_path / "colour.fits")
    with pytest.raises(readers.PhotoError, match=r"600 pixels \(30 x 20\)"):
        readers.read_photo(tmp_path / "colour.fits", max_pixels=599)
    assert readers.read_photo(tmp_path / "colour.fits", max_pixels=600).shape == (20, 30)
    # Raising the limit reads a frame that Pillow's own guard would refuse.
    Image.fromarray(np.full((200, 300), 7, np.uint8)).save(tmp_path / "large.png")
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 1000)
    assert readers.read_photo(tmp_path / "large.png", max_pixels=60_000).shape == (200, 300)
    with pytest.raises(readers.PhotoError, match="more than the limit of 59999"):
        readers.read_photo(tmp_path / "large.png", max_pixels=59_999)
    assert Image.MAX_IMAGE_PIXELS == 1000


def test_max_pixels_reaches_the_command_and_every_batch_worker(tmp_path, capsys):
    Image.fromarray(np.full((200, 300), 7, np.uint8)).save(tmp_path / "cam_20260115_200000.png")
    photo = str(tmp_path / "cam_20260115_200000.png")
    refused(capsys, 1, "more than the limit of 59999", "solve", photo, "--utc", UTC, "--up", "0", "0", "1", *FISHEYE,
            "--max-pixels", "59999")
    out = tmp_path / "r.jsonl"
    cli.main(["batch", photo, "--out", str(out), "--up", "0", "0", "1", *FISHEYE,
              "--time-from-name", NAME_PATTERN, "--jobs", "1", "--max-pixels", "59999"])
    [record] = batch.read_records(out)
    assert "more than the limit of 59999" in record["error"]


def test_lens_numbers_must_be_finite_as_floats():
    assert lens.Lens(focal_px=10**300, fisheye_fov_deg=180, k1=0.1).focal_px == 10**300  # large but a float: a lens
    for fields, text in [({"k1": 10**400}, "k1 must be a finite number (got 10000000000000000000...(401 characters))"),
                         ({"up_cam": [0, 0, 10**400]}, "up_cam must be three finite numbers")]:
        with pytest.raises(lens.LensError) as refused:
            lens.Lens(fisheye_fov_deg=180, **fields)
        assert str(refused.value).startswith(text)


def test_times_out_of_range_in_utc_are_value_errors():
    with pytest.raises(report.UtcRangeError):
        report.parse_utc("0001-01-01T00:00:00+01:00")
    assert report.parse_utc("9999-12-31T23:59:59+14:00").year == 9999
    with pytest.raises(batch.FrameError, match="does not match the time pattern"):
        batch.TimeFromName("%Y%m%d%H%M%S%z")("99991231235959-1400.png")


# --- Trust under a wrong lens ----------------------------------------------------------------


def test_a_fix_through_a_lens_stated_far_too_narrow_is_refused(bundled_catalog):
    # A 180-degree sky solved as a 2-degree fisheye once gave a fix some 8,000 nm off. Through the
    # true lens the same detections give the right place, and that fix judged under the narrow lens
    # leaves the frame's light unexplained.
    case = scenarios.seeded_scenarios(10, scenarios.FISHEYE, seed=14)[6]
    camera = case.camera
    scene = scenarios.render(case, bundled_catalog)
    detections = halvane.detect_centroids(scene.pixels, 28)
    solve = lambda fov: halvane.resolve_from_centroids(detections, None, camera.cx, camera.cy, scene.up_cam,
                                                       case.utc, bundled_catalog, fisheye_fov_deg=fov,
                                                       sigma_arcmin=2.0)
    with pytest.raises(halvane.HalvaneError, match="^no star pattern match found$"):
        solve(2.0)
    fix = solve(180.0)
    assert scenarios.error_nm(case, fix) < 300.0
    verdicts = {}
    for fov in (180.0, 2.0):
        lens_camera = halvane.Camera(None, camera.cx, camera.cy, width=camera.width, height=camera.height,
                                     fisheye_fov_deg=fov)
        verdicts[fov] = trust.unexplained_light(fix, detections, lens_camera, scene.up_cam, case.when,
                                                bundled_catalog).supported
        if fov == 2.0:
            with pytest.raises(halvane.HalvaneError, match=r"stated lens cannot support the match: residual 4\.9 px and 28 bright"):
                trust.check_lens_supports(fix, detections, lens_camera, scene.up_cam, case.when, bundled_catalog)
    assert verdicts == {180.0: True, 2.0: False}


# --- Sizes the engine derives from a caller's numbers ----------------------------------------


def test_the_altitude_mask_refuses_a_size_no_photo_has_and_takes_the_companions_furthest_centre():
    # The engine's other limits and their texts: tests/engine.
    with pytest.raises(halvane.HalvaneError, match=r"^bad image: a 4611686018427387904x8 mask is empty or too large$"):
        halvane._below_altitude_mask(1 << 62, 8, 800.0, 0.0, 0.0, (0.0, 0.0, 1.0), 10.0)
    # Ten frame sizes off, as lens files may state, is still a lens.
    mask = halvane._below_altitude_mask(300, 200, 800.0, -3000.0, 3200.0, (0.0, -1.0, 1.0), 5.0)
    assert mask.shape == (200, 300) and not mask.any()


def test_a_scene_too_large_to_draw_says_its_size(bundled_catalog):
    with pytest.raises(MemoryError, match=r"^a scene of 65536 x 32768 pixels \(2147483648\) is over the 268435456"
                                          r" pixels a scene may have$"):
        halvane.synthesize_scene(bundled_catalog, 40.0, -70.0, 2461120.4, 0.0, 1 << 16, 1 << 15, None, 6.5, 0.0, 0.0,
                                 0.0, 7, fisheye_fov_deg=180.0)


# --- A spent work budget -----------------------------------------------------------------------


def test_a_spent_work_budget_keeps_its_text_but_the_hint_says_so(bundled_catalog):
    rng = np.random.default_rng(3)
    centroids = [(float(x), float(y), float(f)) for x, y, f in rng.uniform(0, 1000, (12, 3))]
    # A 90-arcminute sigma over an all-sky fisheye lets almost any triangle
    # match somewhere: the search spends its budget; at 2 arcminutes it ends.
    solve = functools.partial(halvane.resolve_from_centroids, centroids, None, 500.0, 500.0, (0.0, 0.0, 1.0),
                              (2026, 1, 15, 20, 0, 0), bundled_catalog, fisheye_fov_deg=180.0)
    prepared = types.SimpleNamespace(detections=centroids, excluded=np.zeros((4, 4), bool),
                                     below_horizon=np.zeros((4, 4), bool))
    hints = {}
    for sigma in (2.0, 90.0):
        with pytest.raises(halvane.HalvaneError) as failed:
            solve(sigma_arcmin=sigma)
        assert str(failed.value) == "no star pattern match found"
        hints[sigma] = report.failure_hint(prepared, failed.value)
    assert "work budget" not in hints[2.0] and "the lens is suspect" in hints[2.0]
    assert hints[90.0].startswith("12 detections, but the star pattern search ran out of its work budget")
    # A rewording raised from it (as the narrow-field retry does) keeps the cause visible.
    reworded = halvane.HalvaneError("insufficient stars: a reworded refusal")
    reworded.__cause__ = failed.value
    assert report.spent_work_budget(reworded) and not hasattr(reworded, "_work_budget_spent")
