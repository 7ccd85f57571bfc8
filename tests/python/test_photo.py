"""The photo path: reading, lens files, options, the adverse-sky goal, the solve command and its overlay."""
import datetime
import json

import numpy as np
import pytest
from PIL import Image

import halvane
import halvane_tools
from halvane_tools import adverse, annotate, batch, cli, photo, readers, scenarios
from halvane_tools.lens import Lens, LensError, read_lens

from conftest import exif_photo, refused, run_cli

CATALOG = halvane_tools.default_catalog()


# --- Reading ------------------------------------------------------------------


@pytest.mark.parametrize(
    "pixels, expected",
    [
        (np.array([[0, 255]], np.uint8), [[0, 65535]]),
        (np.array([[7, 65535]], np.uint16), [[7, 65535]]),
        (np.array([[[255, 0, 0], [0, 255, 0], [0, 0, 255]]], np.uint8), [[13933, 46871, 4732]]),
        (np.array([[[1000, 1000, 1000, 0]]], np.uint16), [[1000]]),  # alpha ignored
        (np.array([[[9, 200]]], np.uint8), [[9 * 257]]),  # grey with alpha
        (np.array([[-1.0, 0.0, 3.0, np.nan]]), [[0, 16384, 65535, 0]]),  # stretched
    ],
)
def test_luminance_follows_its_stated_rule(pixels, expected):
    grey = readers.luminance(pixels)
    assert grey.dtype == np.uint16 and grey.flags.c_contiguous
    assert grey.tolist() == expected


def write_jpeg(path, grey8):
    """The 8-bit frame as a colour JPEG, as most cameras write it."""
    Image.fromarray(np.repeat(grey8.astype(np.uint8)[:, :, None], 3, axis=2)).save(path, quality=95)


# --- Lens files ----------------------------------------------------------------


def test_lens_file_round_trip_and_centre_default(tmp_path):
    path = tmp_path / "lens.json"
    path.write_text(json.dumps({"focal_px": 905.5, "fisheye_fov_deg": 190, "k1": -0.02, "k2": 0.001}))
    lens = read_lens(path).centred(2000, 1500)
    assert (lens.cx, lens.cy, lens.is_calibrated) == (1000, 750, True)
    assert lens.keywords()["focal_px"] == 905.5
    assert Lens(fisheye_fov_deg=180).keywords()["focal_px"] is None


@pytest.mark.parametrize(
    "content, reason",
    [
        ("{", "is not JSON"),
        ("[1, 2]", "must hold a JSON object"),
        ('{"focal": 900}', "unknown key 'focal'"),
        ('{"focal_px": "900"}', "focal_px must be a finite number"),
        ('{"focal_px": true}', "focal_px must be a finite number"),
        ('{"fisheye_fov_deg": 180, "k1": 0.1}', "focal_px is required for a calibrated fisheye"),
        ('{"cx": 10}', "focal_px is required for a pinhole"),
        ('{"focal_px": -3}', "focal_px must be positive"),
        ('{"fisheye_fov_deg": 400}', "fisheye_fov_deg must be in (0, 360]"),
        *((json.dumps({"fisheye_fov_deg": 180, "up_cam": up}), "up_cam must be three finite numbers")
          for up in ([0, 0], [0, 0, 0], [0, "x", 1], [0, 0, float("nan")])),
    ],
)
def test_wrong_lens_files_are_refused_in_one_line(tmp_path, content, reason):
    path = tmp_path / "lens.json"
    path.write_text(content)
    with pytest.raises(LensError) as refused:
        read_lens(path)
    assert reason in str(refused.value) and "\n" not in str(refused.value)


# --- The adverse-sky goal ----------------------------------------------------------


@pytest.mark.parametrize("camera", [scenarios.FISHEYE, scenarios.PINHOLE], ids=["fisheye", "pinhole"])
def test_adverse_skies_solve_within_5_nm(camera):
    """A seeded subset of the benchmark's hundred skies (bench/bench_photo.py)."""
    lens = photo.Lens(focal_px=camera.focal_px, fisheye_fov_deg=camera.fisheye_fov_deg)
    errors = []
    for case in scenarios.seeded_scenarios(4, camera, seed=2026):
        sky = adverse.adverse_sky(case, CATALOG)
        result = photo.solve_photo(sky.pixels, case.utc, sky.up_cam, lens, catalog=CATALOG)
        errors.append(scenarios.error_nm(case, result.fix))
    assert max(errors) < 5.0, errors


@pytest.mark.parametrize(
    "along, diagonal, kept",
    [(1.0, False, True), (1.7, False, True), (2.0, False, False), (2.0, True, True), (3.0, True, False)],
)
def test_only_round_detections_are_kept(along, diagonal, kept):
    """A star stretched to `along` sigmas along x or the diagonal: a ray from about twice as long as wide."""
    ys, xs = np.mgrid[0:21, 0:21] - 10.0
    u, v = ((xs + ys) / np.sqrt(2), (xs - ys) / np.sqrt(2)) if diagonal else (xs, ys)
    frame = (1000 * np.exp(-(u**2 / (2 * along**2) + v**2 / 2))).astype(np.uint16)
    assert photo.round_detections(frame, [(10.0, 10.0, 1.0)]) == ([(10.0, 10.0, 1.0)] if kept else [])


def test_an_off_centre_fisheye_solves(adverse_fisheye):
    case, sky = adverse_fisheye
    # The image circle 40 px left of centre: the ideal fisheye's focal still
    # comes from the shorter side, not from twice the principal point.
    shifted = np.zeros_like(sky.pixels)
    shifted[:, :-40] = sky.pixels[:, 40:]
    result = photo.solve_photo(shifted, case.when, sky.up_cam, {"fisheye_fov_deg": 180, "cx": 472, "cy": 512})
    assert scenarios.error_nm(case, result.fix) < 5.0


def test_the_sun_is_looked_for_where_the_glare_guard_hides_it(adverse_fisheye, monkeypatch):
    clear = scenarios.render(adverse_fisheye[0], CATALOG)
    pixels, (ys, xs) = clear.pixels.copy(), np.mgrid[0:1024, 0:1024]
    pixels[np.hypot(xs - 600.0, ys - 450.0) < 12] = np.iinfo(pixels.dtype).max
    prepared = photo.prepare_photo(pixels, clear.up_cam, {"fisheye_fov_deg": 180})
    assert prepared.excluded[450, 600] and all(np.hypot(x - 600, y - 450) > 20 for x, y, _ in prepared.detections)
    suns = []
    # Only the sight given to the solve matters here, not whether a Sun there agrees with the ephemeris.
    def sight_taken(*args, **kwargs):
        suns.append(kwargs["sun"])
        raise halvane.HalvaneError("no star pattern match found")

    monkeypatch.setattr(halvane, "_resolve_photo", sight_taken)
    for use_sun in (False, True):
        with pytest.raises(halvane.HalvaneError):
            prepared.solve(adverse_fisheye[0].utc, CATALOG, use_sun=use_sun)
    assert suns[0] is None and np.hypot(suns[1][0] - 600.0, suns[1][1] - 450.0) < 1.0


def test_keywords_and_the_options_object_are_one_path(adverse_fisheye):
    case, sky = adverse_fisheye
    lens = Lens(fisheye_fov_deg=180)
    options = photo.PhotoOptions(min_altitude_deg=25.0, line_px=7, max_centroids=12, min_matched_stars=40)
    by_keywords = photo.prepare_photo(sky.pixels, sky.up_cam, lens, min_altitude_deg=25.0, line_px=7, max_centroids=12)
    by_options = photo.prepare_photo(sky.pixels, sky.up_cam, lens, options=options)
    assert by_keywords.detections == by_options.detections and len(by_options.detections) == 12
    assert np.array_equal(by_keywords.excluded, by_options.excluded)
    # The gates travel with the options, and a keyword replaces one.
    with pytest.raises(halvane.HalvaneError, match="fewer matched stars than the configured minimum"):
        by_options.solve(case.utc, CATALOG)
    assert scenarios.error_nm(case, by_options.solve(case.utc, CATALOG, min_matched_stars=4)) < 5.0
    with pytest.raises(TypeError, match="line_px"):
        by_options.solve(case.utc, CATALOG, line_px=5)


# --- The command line ---------------------------------------------------------------


def solve_args(path, case, up, *extra):
    return ["solve", str(path), "--utc", case.when.isoformat(), "--up", *map(str, up), *extra]


def test_solve_command_json_with_a_lens_file_and_a_mask(adverse_fisheye, tmp_path, capsys):
    case, sky = adverse_fisheye
    path, lens, mask = tmp_path / "sky.jpg", tmp_path / "lens.json", tmp_path / "mask.png"
    write_jpeg(path, sky.pixels)
    lens.write_text('{"fisheye_fov_deg": 180, "cx": 512, "cy": 512}')
    obstruction = np.zeros((1024, 1024), np.uint8)
    obstruction[:, :512] = 255  # half the sky hidden: still a fix
    Image.fromarray(obstruction).save(mask)
    for extra, detections in ((["--fisheye-fov", "180"], photo.DEFAULT_MAX_CENTROIDS),
                              (["--lens", lens, "--mask", mask, "--max-centroids", "20", "--min-stars", "6"], 20)):
        assert cli.main(solve_args(path, case, sky.up_cam, *map(str, extra), "--json")) == 0
        record = json.loads(capsys.readouterr().out)
        assert record["n_detections"] == detections and np.shape(record["covariance"]) == (2, 2)
        assert halvane.great_circle_nm(case.lat_deg, case.lon_deg, record["latitude_deg"], record["longitude_deg"]) < 5


def test_solve_command_refuses_in_one_line_without_traceback(adverse_fisheye, tmp_path, capsys):
    case, sky = adverse_fisheye
    good = tmp_path / "sky.jpg"
    write_jpeg(good, sky.pixels)
    small_mask = tmp_path / "mask.npy"
    np.save(small_mask, np.zeros((10, 10), bool))
    dark, text = tmp_path / "dark.npy", tmp_path / "notes.png"
    np.save(dark, np.zeros((64, 64), np.uint16))
    text.write_text("not a picture")
    fisheye = ("--fisheye-fov", "180")
    cases = [
        (solve_args(tmp_path / "none.jpg", case, sky.up_cam, *fisheye), "no such file"),
        (solve_args(text, case, sky.up_cam, *fisheye), "notes.png: cannot read the image"),
        (solve_args(good, case, sky.up_cam, *fisheye, "--mask", str(small_mask)), "the mask is 10 x 10 px"),
        (solve_args(good, case, sky.up_cam), "give the lens"),
        (["solve", str(good), "--utc", case.when.isoformat(), *fisheye],
         "halvane: give the vertical (up_cam, --up X Y Z) or a lens file with up_cam"),
        (solve_args(dark, case, sky.up_cam, *fisheye), "no fix: insufficient stars"),
    ]
    for argv, reason in cases:
        refused(capsys, 1, reason, *argv)
    status, out, _ = run_cli(capsys, *solve_args(dark, case, sky.up_cam, *fisheye, "--json"))
    record = json.loads(out)
    assert status == 1 and record["error"] == "no fix: insufficient stars: needed 4, got 0"
    assert record["hint"].startswith("no star detected in the sky left: nothing stands 2048 counts above the background")
    for argv in (solve_args(good, case, sky.up_cam, "--max-centroids", "0"), ["solve", str(good), "--up", "0", "0", "1"],
                 solve_args(good, case, sky.up_cam)[:3] + ["--utc", "yesterday", "--up", "0", "0", "1"]):
        refused(capsys, 2, "", *argv)


def test_the_path_leaves_out_horizon_and_glare_and_the_overlay_draws_what_it_did(adverse_solved, tmp_path, capsys):
    case, sky, prepared, fix = adverse_solved
    # The altitude cut's geometry is the engine's; here: both it and the Moon's glare are left out.
    assert prepared.below_horizon[0, 0] and not prepared.below_horizon[512, 512]
    assert (prepared.excluded & ~prepared.below_horizon).any()
    stars = np.asarray(sky.star_pixels)
    near_a_star = [np.hypot(*(stars - (x, y)).T).min() < 2.0 for x, y, _ in prepared.detections]
    assert len(near_a_star) == photo.DEFAULT_MAX_CENTROIDS and sum(near_a_star) >= 25
    path, out = tmp_path / "sky.npy", tmp_path / "overlay.png"
    np.save(path, sky.pixels)
    argv = solve_args(path, case, sky.up_cam, "--fisheye-fov", "180", "--annotate", out, "-v")
    status, said, talk = run_cli(capsys, *argv)
    assert status == 0 and f"overlay     {out}" in said and "pointing    camera axis at altitude" in said
    assert "detecting stars" in talk
    with Image.open(out) as picture:
        assert picture.format == "PNG" and picture.size == (1024, 1024)
    # The overlay labels each identified star where the photo shows it.
    labelled = annotate.identified_star_pixels(prepared, fix, case.utc, CATALOG)
    assert len(labelled) == len(fix.matched_hr_ids)
    assert all(np.hypot(*(stars - xy).T).min() < 3.0 for xy in labelled.values())


# --- Faint cameras ------------------------------------------------------------------


def star_frame(amplitudes, sigma, background, noise, size, seed, margin=20, blobs=()):
    """Gaussian stars of one width (sigma px) on a noisy background, and blobs (x, y, sigma, amplitude)."""
    rng = np.random.default_rng(seed)
    frame = rng.normal(background, noise, (size, size))
    yy, xx = np.mgrid[0:size, 0:size]
    stars = [(x, y, sigma, a) for (x, y), a in zip(rng.uniform(margin, size - margin, (len(amplitudes), 2)), amplitudes)]
    for x, y, s, a in (*stars, *blobs):
        frame += a * np.exp(-((xx - x) ** 2 + (yy - y) ** 2) / (2 * s * s))
    return np.clip(np.rint(frame), 0, 65535).astype(np.uint16)


def faint_frame(amplitudes, sigma=1.2):
    """A small imager's frame: stars a few hundred to a few thousand counts above a noise of 46."""
    return star_frame(amplitudes, sigma, 4000.0, 46.0, 256, 5)


def test_a_faint_camera_is_lifted_to_its_noise_and_says_why_stars_are_missing():
    lens = photo.Lens(focal_px=300.0)
    amplitudes = np.geomspace(300, 3200, 30)
    frame = faint_frame(amplitudes)
    prepare = lambda pixels, **k: photo.prepare_photo(pixels, (0, -1, 0), lens, min_altitude_deg=-90, **k)
    lifted, fixed = prepare(frame), prepare(frame, detection_sigma=None)
    assert fixed.gain == 1.0 and len(fixed.detections) <= 12
    assert lifted.gain > 4 and len(lifted.detections) >= 25
    assert lifted.floor == pytest.approx(5.0 * lifted.noise)  # the stated multiple
    assert "below it; lower --detection-sigma" in fixed.why_few_stars()
    empty = prepare(faint_frame([]))
    assert empty.detections == [] and "the stars are absent" in empty.why_few_stars()
    # A short line leaves a residual of mostly zeros: the noise, and so the
    # lift, still come from the reference line.
    sharp = faint_frame(amplitudes * 2, sigma=0.7)
    for line_px in (None, 5):
        lifted = prepare(sharp, line_px=line_px)
        assert lifted.noise == pytest.approx(prepare(sharp, line_px=11).noise)
        assert lifted.gain > 4 and len(lifted.detections) >= 25


# --- The flattening line from the stars' width --------------------------------------


def star_field(sigma, blobs=(), count=40):
    """Stars bright enough to measure, and the blobs given."""
    return star_frame(np.geomspace(2500, 30000, count), sigma, 3000.0, 20.0, 320, 3, margin=15, blobs=blobs)


def prepare_flat(pixels, **keywords):
    return photo.prepare_photo(pixels, (0, -1, 0), Lens(focal_px=300.0), min_altitude_deg=-90, **keywords)


@pytest.mark.parametrize("sigma, line_px", [(0.6, 7), (1.0, 7), (1.3, 9), (1.7, 13), (2.6, 15)])
def test_the_line_follows_the_width_of_the_frames_stars(sigma, line_px):
    prepared = prepare_flat(star_field(sigma))
    # Full width at half maximum, to within the pixel that a count of pixels can tell.
    assert prepared.star_width_px == pytest.approx(2.3548 * sigma, abs=0.4)
    assert prepared.line_px == line_px and len(prepared.detections) == photo.DEFAULT_MAX_CENTROIDS
    # A line given is used as given, and nothing is measured.
    given = prepare_flat(star_field(sigma), line_px=21)
    assert given.line_px == 21 and np.isnan(given.star_width_px)


def test_too_few_stars_to_measure_keep_the_fixed_line_and_clipped_stars_are_not_measured():
    few = prepare_flat(star_field(1.0, count=photo.MIN_WIDTH_STARS - 3))
    assert np.isnan(few.star_width_px) and few.line_px == photo.DEFAULT_LINE_PX
    # Stars clipped at full scale look as wide as their plateau: left out of the measure.
    clipped = star_field(1.0, blobs=[(40 + 30 * i, 160, 3.0, 400000.0) for i in range(9)])
    assert prepare_flat(clipped).line_px == 7


def test_ghosts_wider_than_the_stars_stay_out_of_the_brightest():
    ghosts = [(60 + 50 * i, 160, 3.0, 8000.0) for i in range(5)]
    pixels = star_field(0.9, blobs=ghosts)

    def ghosts_kept(prepared):
        return sum(any(np.hypot(x - gx, y - gy) < 2 for gx, gy, _, _ in ghosts) for x, y, _ in prepared.detections)

    assert ghosts_kept(prepare_flat(pixels, max_centroids=12, line_px=11)) == len(ghosts)
    chosen = prepare_flat(pixels, max_centroids=12)
    assert chosen.line_px == 7 and ghosts_kept(chosen) == 0


# --- The batch's exposure: the moment its times give, the records at mid-exposure ----


@pytest.mark.parametrize(
    "source, time_is, exposure_s, recorded_s, shift_s",
    [
        ("name", "start", None, 40.0, 20.0),  # the photo's own exposure
        ("name", "end", 60.0, 40.0, -30.0),  # --exposure over the photo's
        ("name", "mid", 60.0, None, 0.0),
        ("name", "start", None, None, 0.0),  # no exposure known: the time as given
        ("exif", "end", 10.0, None, 5.0),  # EXIF stamps the start whatever --time-is says
    ],
)
def test_batch_records_carry_the_mid_exposure_time(tmp_path, source, time_is, exposure_s, recorded_s, shift_s):
    path = exif_photo(tmp_path / "cam_20260115_210000.jpg", "2026:01:15 21:00:00", "+00:00", recorded_s)
    time_from = batch.TimeFromName("cam_%Y%m%d_%H%M%S") if source == "name" else batch.TimeFromExif()
    (frame,) = batch.plan_frames([path], time_from, time_is=time_is)
    settings = batch.FrameSettings((0.0, 0.0, 1.0), Lens(fisheye_fov_deg=180), exposure_s=exposure_s)
    record = batch.solve_frame(frame, settings)
    assert "error" in record  # no stars, but the record still says when
    expected = datetime.datetime(2026, 1, 15, 21, 0, tzinfo=datetime.timezone.utc) + datetime.timedelta(seconds=shift_s)
    assert datetime.datetime.fromisoformat(record["utc"]) == expected


def test_batch_refuses_a_bad_exposure_or_moment_before_the_results_file_is_made(tmp_path, capsys):
    common = ["--out", str(tmp_path / "out.jsonl"), "--time-from-exif", "--fisheye-fov", "180", "--up", "0", "0", "1"]
    exif_photo(tmp_path / "a.jpg", "2026:01:15 21:00:00", "+00:00")
    for bad in ("-1", "nan"):
        refused(capsys, 1, "the exposure must be a finite number of seconds, at least 0", "batch", tmp_path, *common,
                "--exposure", bad)
    assert not (tmp_path / "out.jsonl").exists()
    with pytest.raises(batch.BatchError, match="time_is must be one of start, mid, end"):
        batch.plan_frames([tmp_path], batch.TimeFromExif(), time_is="middle")
