"""The total uncertainty of a fix: its terms in closed form, against the engine, and as often right as it says."""

import datetime
import json
import math
import random
import types

import numpy as np
import pytest

import halvane
import halvane_tools
from halvane_tools import annotate, cli, scenarios, uncertainty
from halvane_tools.lens import LensError, LensUncertainty, read_lens
from halvane_tools.photo import PhotoOptions, lens_from_args
from halvane_tools.readers import PhotoError
from halvane_tools.uncertainty import NM_PER_RAD, RAD_PER_ARCMIN

from conftest import refused


# Hour angle turned by one second of clock, in arcminutes.
ARCMIN_PER_CLOCK_S = 15.0 * 1.00273781191135448 / 60.0


def star_fix(azimuths_deg, sigma_arcmin, residual_rms_arcmin, lat_deg=0.0, used_sun=False):
    """A stand-in Fix whose covariance is that of sights at these azimuths."""
    w = 1.0 / (sigma_arcmin * RAD_PER_ARCMIN) ** 2
    nn = sum(w * math.cos(math.radians(a)) ** 2 for a in azimuths_deg)
    ne = sum(w * math.cos(math.radians(a)) * math.sin(math.radians(a)) for a in azimuths_deg)
    ee = sum(w * math.sin(math.radians(a)) ** 2 for a in azimuths_deg)
    det = nn * ee - ne * ne
    covariance = [[ee / det, -ne / det], [-ne / det, nn / det]]
    count = len(azimuths_deg) - (1 if used_sun else 0)
    return types.SimpleNamespace(covariance=covariance, residual_rms_rad=residual_rms_arcmin * RAD_PER_ARCMIN,
                                 matched_hr_ids=list(range(count)), used_sun=used_sun, latitude_deg=lat_deg,
                                 longitude_deg=0.0)


SQUARE = (0.0, 90.0, 180.0, 270.0)
SPREAD = (10.0, 75.0, 140.0, 200.0, 260.0, 330.0)


@pytest.mark.parametrize("lat_deg, up_sigma, time_sigma", [(0.0, 0.5, 0.0), (30.0, 3.0, 0.0), (0.0, 0.0, 1.0),
                                                           (60.0, 0.0, 4.0), (-35.0, 0.0, 2.5)])
def test_a_pure_vertical_error_is_a_circle_and_a_pure_clock_error_lies_east_west(lat_deg, up_sigma, time_sigma):
    total = uncertainty.total_uncertainty(star_fix(SPREAD, 2.0, 0.0, lat_deg), sigma_arcmin=2.0,
                                          up_sigma_arcmin=up_sigma, time_sigma_s=time_sigma)
    major, minor, orientation = total.ellipse_2sigma_nm
    if time_sigma:
        east = 2.0 * ARCMIN_PER_CLOCK_S * time_sigma * math.cos(math.radians(lat_deg))
        assert (major, minor, abs(orientation)) == (pytest.approx(east, rel=1e-9), 0.0, pytest.approx(90.0))
    else:  # twice its sigma
        assert (major, minor) == pytest.approx((2.0 * up_sigma, 2.0 * up_sigma), rel=1e-12)


@pytest.mark.parametrize("azimuths", [SQUARE, SPREAD])
def test_a_residual_of_twice_sigma_quadruples_the_variance_with_the_small_sample_allowance(azimuths):
    sigma = 1.5
    fix = star_fix(azimuths, sigma, 2.0 * sigma)
    total = uncertainty.total_uncertainty(fix, sigma_arcmin=sigma, up_sigma_arcmin=0.0)
    n = len(azimuths)
    nu = n - 2
    factor = 4.0 * n / nu * nu * (math.exp(4.0 / nu) - 1.0) / 4.0
    for got, module in zip(sum(total.covariance, ()), sum(fix.covariance, [])):
        assert got == pytest.approx(factor * module, rel=1e-12, abs=1e-24)
    # The module's own figures stay beside the total.
    assert total.stars_covariance == tuple(tuple(row) for row in fix.covariance)
    assert total.star_sigma_arcmin == pytest.approx(2.0 * sigma * math.sqrt(n / nu))


@pytest.mark.parametrize("dof", [1, 2, 3, 5, 10, 26, 1000])
def test_student_factor_is_the_f_quantile_over_its_known_variance_value(dof):
    stats = pytest.importorskip("scipy.stats")
    held = 1.0 - math.exp(-2.0)
    assert uncertainty.student_factor(dof) == pytest.approx(stats.f.ppf(held, 2, dof) / 2.0, rel=1e-9)


def test_terms_add_and_are_reported():
    lens = ((1e-8, 2e-9), (2e-9, 3e-8))
    total = uncertainty.total_uncertainty(star_fix(SPREAD, 2.0, 3.0, lat_deg=45.0), sigma_arcmin=2.0, up_sigma_arcmin=1.0,
                                          time_sigma_s=2.0, lens_term=lens, up_source="lens file")
    parts = np.array([total.star_term, total.vertical_term, total.clock_term, lens])
    assert np.allclose(total.covariance, parts.sum(axis=0), rtol=1e-12, atol=0)
    record = total.record()
    assert (set(record), record["vertical"]["source"], record["clock"]["time_sigma_s"]) == (
        {"stars", "vertical", "clock", "lens"}, "lens file", 2.0)


@pytest.mark.parametrize("azimuths, sigma", [((0.0, 60.0, 200.0), 1.0), ((15.0, 40.0, 95.0, 170.0, 300.0), 2.5),
                                             ((80.0, 100.0, 110.0), 0.7)])
def test_the_ellipse_reduction_is_the_modules(azimuths, sigma):
    fix = star_fix(azimuths, sigma, 0.0)
    ours = uncertainty.ellipse_2sigma_nm(fix.covariance)
    assert ours == pytest.approx(halvane.covariance_ellipse(list(azimuths), sigma), rel=1e-9, abs=1e-9)


def test_ellipse_distance_is_one_on_the_ellipse_and_grows_with_the_offset():
    cov = ((RAD_PER_ARCMIN**2 * 4.0, 0.0), (0.0, RAD_PER_ARCMIN**2))  # 2 sigma: 4 nm north, 2 nm east
    lat = 10.0
    on_north = uncertainty.ellipse_distance(cov, lat, 20.0, lat + 4.0 / 60.0, 20.0)
    on_east = uncertainty.ellipse_distance(cov, lat, 20.0, lat, 20.0 + 2.0 / 60.0 / math.cos(math.radians(lat)))
    assert on_north == pytest.approx(1.0)
    assert on_east == pytest.approx(1.0)
    assert uncertainty.ellipse_distance(cov, lat, 179.99, lat, -179.99) < 1.0
    assert uncertainty.ellipse_distance(((0.0, 0.0), (0.0, 0.0)), lat, 20.0, lat + 0.1, 20.0) == math.inf


@pytest.mark.parametrize("fit, age_years, expected", [(0.3, 0.0, 0.3), (0.0, 1.0, 4.4 / math.sqrt(2.0)),
                                                      (0.5, -0.5, math.hypot(0.5, 2.2 / math.sqrt(2.0)))])
def test_a_fixed_mounts_vertical_drifts_with_the_age_of_its_calibration(fit, age_years, expected):
    age_s = age_years * uncertainty.SECONDS_PER_YEAR
    assert uncertainty.drifted_up_sigma_arcmin(fit, age_s) == pytest.approx(expected)


def test_a_recorded_vertical_without_its_time_or_with_no_drift_stays_as_fitted():
    still = LensUncertainty(up_sigma_arcmin=0.4, up_drift_arcmin_per_year=0.0, utc="2000-01-01T00:00:00+00:00")
    for recorded in (LensUncertainty(up_sigma_arcmin=0.4), still):
        assert uncertainty.calibrated_up_sigma_arcmin(recorded, scenarios.J2000.replace(year=2030)) == 0.4


@pytest.mark.parametrize("keyword, value", [("up_sigma_arcmin", -1.0), ("time_sigma_s", math.nan),
                                            ("sigma_arcmin", 0.0), ("up_sigma_arcmin", math.inf)])
def test_bad_sigmas_are_refused(keyword, value):
    arguments = dict(sigma_arcmin=1.0, up_sigma_arcmin=1.0, time_sigma_s=0.0)
    arguments[keyword] = value
    with pytest.raises(ValueError, match=keyword):
        uncertainty.total_uncertainty(star_fix(SPREAD, 1.0, 1.0), **arguments)


# Fixes from the engine, solved as the terms suppose: a vertical, a clock or a focal off.

CAMERAS = [scenarios.FISHEYE, scenarios.PINHOLE]


def solved(case, scene, catalog, up=None, when=None, focal_scale=1.0):
    c = case.camera
    if c.fisheye_fov_deg is None:
        focal, fov = c.focal_px * focal_scale, None
    else:
        focal, fov = None, c.fisheye_fov_deg / focal_scale
    return halvane.resolve_fix(scene.pixels, focal, c.cx, c.cy, up or scene.up_cam, when or case.when, catalog,
                               fisheye_fov_deg=fov, max_centroids=28), halvane.Camera(focal, c.cx, c.cy, c.width,
                                                                                      c.height, fisheye_fov_deg=fov)


def offset_nm(a, b):
    north = (b.latitude_deg - a.latitude_deg) * 60.0
    east = ((b.longitude_deg - a.longitude_deg + 180.0) % 360.0 - 180.0) * 60.0 * math.cos(math.radians(a.latitude_deg))
    return north, east


# The focal's trace in the residuals.


def focal_fit(stated=None, sights=len(SPREAD)):
    return uncertainty.FocalFit(shift=(2e-3, -1e-3), information=4.0, projection=1e-3, unexplained=0.25,
                                sights=sights, stated_sigma=stated)


def test_a_fitted_focal_leaves_the_stars_what_it_does_not_explain_and_weighs_against_a_stated_sigma():
    fix = star_fix(SPREAD, 1.0, 2.0)

    def total(fix=fix, **terms):
        return uncertainty.total_uncertainty(fix, sigma_arcmin=1.0, up_sigma_arcmin=0.0, **terms)

    # Nothing stated: the stars keep what the focal leaves unexplained, on one degree of freedom less, and the
    # residuals' estimate and its spread make the second moment along the shift.
    fit = focal_fit()
    free = total(focal=fit)
    n = len(SPREAD)
    variance = (2.0 * RAD_PER_ARCMIN) ** 2 * n * fit.unexplained / (n - 3)
    assert free.dof == n - 3 and free.star_sigma_arcmin == pytest.approx(math.sqrt(variance) / RAD_PER_ARCMIN)
    assert free.star_scale == pytest.approx(variance / RAD_PER_ARCMIN**2 * uncertainty.student_factor(n - 3))
    estimate, spread = fit.projection / fit.information, variance / fit.information
    assert (free.focal_error, free.focal_sigma, free.focal_source) == pytest.approx(
        (estimate, math.sqrt(spread), "residuals"))
    assert np.allclose(free.lens_term, np.outer(fit.shift, fit.shift) * (estimate**2 + spread), rtol=1e-12, atol=0)
    # A tight statement wins; equal weights halve the estimate and the variance; the stars' share stays.
    tight = total(focal=focal_fit(stated=1e-6))
    assert tight.focal_sigma == pytest.approx(1e-6, rel=1e-4) and abs(tight.focal_error) < 1e-3 * abs(free.focal_error)
    even = total(focal=focal_fit(stated=math.sqrt(spread)))
    assert (even.focal_error, even.focal_sigma**2) == pytest.approx((free.focal_error / 2, spread / 2))
    assert even.focal_source == "stated and residuals"
    assert tight.star_term == free.star_term == even.star_term
    exact = total(focal=focal_fit(stated=0.0))
    assert exact.covariance == total().covariance and exact.focal_source is None
    # Three sights cannot fit the focal too: the residuals are the stars', the stated sigma the lens term.
    three = star_fix(SPREAD[:3], 1.0, 2.0)
    few = total(three, focal=focal_fit(1e-3, 3))
    assert few.star_term == total(three).star_term
    assert np.allclose(few.lens_term, np.outer((2e-3, -1e-3), (2e-3, -1e-3)) * 1e-6, rtol=1e-12, atol=0)
    with pytest.raises(ValueError, match="not both"):
        total(focal=focal_fit(), lens_term=uncertainty.ZERO)


@pytest.mark.parametrize("camera, eps", [(scenarios.FISHEYE, -0.004), (scenarios.PINHOLE, 0.003)],
                         ids=["fisheye", "pinhole"])
def test_the_residuals_find_a_wrong_focal_and_where_it_moved_the_fix(camera, eps, bundled_catalog):
    case = scenarios.seeded_scenarios(1, camera, seed=7, noise=scenarios.Noise(0.5, 0.0, 20.0))[0]
    scene = scenarios.render(case, bundled_catalog)
    base, right = solved(case, scene, bundled_catalog)
    off, used = solved(case, scene, bundled_catalog, focal_scale=1.0 + eps)
    fit = uncertainty.focal_fit(off, bundled_catalog, case.jd, scene.up_cam, used,
                                halvane.detect_centroids(scene.pixels, 40), focal_sigma_px=None,
                                sigma_arcmin=used.default_sigma_arcmin, fisheye=camera.fisheye_fov_deg is not None)
    total = uncertainty.total_uncertainty(off, sigma_arcmin=used.default_sigma_arcmin, up_sigma_arcmin=0.0, focal=fit)
    assert total.focal_error == pytest.approx(eps, abs=3.0 * total.focal_sigma + 0.05 * abs(eps))
    # The stars get back their own error, which the right focal's residuals show.
    alone = uncertainty.total_uncertainty(base, sigma_arcmin=right.default_sigma_arcmin, up_sigma_arcmin=0.0)
    assert total.star_sigma_arcmin < 1.5 * alone.star_sigma_arcmin
    assert total.star_sigma_arcmin * 2.0 < off.residual_rms_rad / RAD_PER_ARCMIN
    # The lens term lies where the wrong focal moved the fix, and holds the truth.
    north, east = offset_nm(base, off)
    predicted = np.array(fit.shift) * total.focal_error * NM_PER_RAD
    assert math.hypot(north - predicted[0], east - predicted[1]) < 0.15 * math.hypot(north, east) + 0.05
    assert uncertainty.ellipse_distance(total.covariance, off.latitude_deg, off.longitude_deg, case.lat_deg,
                                        case.lon_deg) <= 1.0


def test_residuals_that_cannot_be_rebuilt_leave_the_focal_unfitted(bundled_catalog):
    case = scenarios.seeded_scenarios(1, scenarios.FISHEYE, seed=7, noise=scenarios.Noise(0.5, 0.0, 20.0))[0]
    scene = scenarios.render(case, bundled_catalog)
    fix, used = solved(case, scene, bundled_catalog)
    detections = halvane.detect_centroids(scene.pixels, 40)

    def fit(fix, detections):
        return uncertainty.focal_fit(fix, bundled_catalog, case.jd, scene.up_cam, used, detections,
                                     focal_sigma_px=None, sigma_arcmin=1.0, fisheye=True)

    assert fit(fix, detections) is not None
    # Detections not where the stars are, none at all, or a Sun sight that is not among them.
    assert fit(fix, [(x + 40.0, y, flux) for x, y, flux in detections]) is None
    assert fit(fix, []) is None
    with_sun = types.SimpleNamespace(**{name: getattr(fix, name) for name in (
        "covariance", "residual_rms_rad", "matched_hr_ids", "latitude_deg", "longitude_deg")}, used_sun=True)
    assert fit(with_sun, detections) is None
    # Residuals that disagree with the engine's: the sights were not what the fix used.
    wrong = types.SimpleNamespace(**vars(with_sun) | {"used_sun": False, "residual_rms_rad": 10 * fix.residual_rms_rad})
    assert fit(wrong, detections) is None


def test_the_total_ellipse_holds_the_truth_as_often_as_it_should(bundled_catalog):
    """Vertical off 2' per axis, clock 3 s, focal 0.1 %: the module's ellipse holds under half, the total ~86 %."""
    rng = random.Random(4)
    noise = scenarios.Noise(pixel_arcmin=0.5, up_arcmin=0.0, background=20.0)
    held = {"module": 0, "total": 0}
    count = 0
    for camera in CAMERAS:
        for case in scenarios.seeded_scenarios(24, camera, seed=77, noise=noise):
            scene = scenarios.render(case, bundled_catalog)
            up = scenarios.tilted_up(scene.up_cam, rng.gauss(0.0, 2.0), rng.gauss(0.0, 2.0))
            when = case.when + datetime.timedelta(seconds=rng.gauss(0.0, 3.0))
            try:
                fix, used = solved(case, scene, bundled_catalog, up=up, when=when,
                                   focal_scale=1.0 + rng.gauss(0.0, 0.001))
            except halvane.HalvaneError:
                continue
            jd = halvane.julian_date(when.year, when.month, when.day, when.hour, when.minute,
                                     when.second + when.microsecond / 1e6)
            fit = uncertainty.focal_fit(fix, bundled_catalog, jd, up, used, halvane.detect_centroids(scene.pixels, 40),
                                        focal_sigma_px=None, sigma_arcmin=used.default_sigma_arcmin,
                                        fisheye=camera.fisheye_fov_deg is not None)
            total = uncertainty.total_uncertainty(fix, sigma_arcmin=used.default_sigma_arcmin, up_sigma_arcmin=2.0,
                                                  time_sigma_s=3.0, focal=fit)
            count += 1
            for name, cov in (("module", fix.covariance), ("total", total.covariance)):
                held[name] += uncertainty.ellipse_distance(cov, fix.latitude_deg, fix.longitude_deg, case.lat_deg,
                                                           case.lon_deg) <= 1.0
    assert count >= 40
    assert held["module"] / count < 0.6
    assert 0.75 <= held["total"] / count <= 0.97


# The lens file's recorded uncertainty (what a calibration writes: test_calibrate).


@pytest.mark.parametrize("recorded, message", [
    ({"up_sigma_arcmin": -1}, "uncertainty up_sigma_arcmin must be a finite number >= 0 (got -1)"),
    ({"focal_sigma_px": "0.1"}, "uncertainty focal_sigma_px must be a finite number >= 0 (got '0.1')"),
    ({"utc": "2026-01-01T00:00:00"}, "uncertainty utc must be an ISO 8601 time with its UTC offset"
                                     " (got '2026-01-01T00:00:00')"),
    ({"up_sigma": 1.0}, "unknown uncertainty key 'up_sigma'; the keys are up_sigma_arcmin, focal_sigma_px,"
                        " up_drift_arcmin_per_year, utc"),
    ([1.0], "uncertainty must be an object (got [1.0])"),
])
def test_a_bad_recorded_uncertainty_is_refused(recorded, message, tmp_path):
    path = tmp_path / "lens.json"
    path.write_text(json.dumps({"fisheye_fov_deg": 180, "uncertainty": recorded}))
    with pytest.raises(LensError) as info:
        read_lens(path)
    assert str(info.value) == f"lens file {path}: {message}"


# The total in what the commands print and write.


@pytest.fixture(scope="module")
def fisheye_sky(tmp_path_factory):
    """A seeded 180-degree fisheye sky saved as .npy, with its scenario and scene."""
    case = scenarios.seeded_scenarios(1, scenarios.FISHEYE, seed=12, noise=scenarios.Noise(0.5, 0.0, 20.0))[0]
    scene = scenarios.render(case, halvane_tools.default_catalog())
    path = tmp_path_factory.mktemp("uncertainty") / "sky.npy"
    np.save(path, scene.pixels)
    return case, scene, path


def solve_command(case, path, *extra):
    return cli.main(["solve", str(path), "--utc", case.when.isoformat(), *map(str, extra)])


def test_the_json_record_and_the_overlay_hold_the_total_and_find_a_field_of_view_stated_wrong(fisheye_sky, tmp_path,
                                                                                               monkeypatch, capsys):
    case, scene, path = fisheye_sky
    captions = []
    written = annotate._caption
    monkeypatch.setattr(annotate, "_caption", lambda *args: captions.append(written(*args)) or captions[-1])
    assert solve_command(case, path, "--fisheye-fov", "181", "--up", *scene.up_cam, "--up-sigma", "1.5",
                         "--time-sigma", "2", "--json", "--annotate", tmp_path / "overlay.png") == 0
    record = json.loads(capsys.readouterr().out)
    terms = record["uncertainty"]
    assert terms["vertical"]["up_sigma_arcmin"] == 1.5 and terms["vertical"]["source"] == "given"
    assert terms["clock"]["time_sigma_s"] == 2.0 and terms["clock"]["source"] == "given"
    parts = sum(np.array(terms[name]["covariance"]) for name in ("stars", "vertical", "clock", "lens"))
    assert np.allclose(record["covariance"], parts, rtol=1e-12, atol=0)
    # The record gives an ellipse's axis as a bearing in [0, 180).
    for ellipse, covariance in (("ellipse_2sigma_nm", "covariance"), ("stars_ellipse_2sigma_nm", "stars_covariance")):
        major, minor, orientation = uncertainty.ellipse_2sigma_nm(record[covariance])
        assert record[ellipse] == pytest.approx([major, minor, orientation % 180.0], abs=1e-9)
    # A vertical good to 1.5 arcmin alone makes a 3 nm circle.
    assert record["ellipse_2sigma_nm"][1] > 3.0
    # 181 degrees for 180: the focal 1/181 short, found in the residuals, and the stars given back their own error.
    lens = terms["lens"]
    assert lens["source"] == "residuals"
    assert lens["focal_relative_error"] == pytest.approx(-1.0 / 181.0, abs=3.0 * lens["focal_relative_sigma"] + 5e-4)
    assert terms["stars"]["sigma_arcmin_from_residuals"] < 1.5
    assert uncertainty.ellipse_distance(record["covariance"], record["latitude_deg"], record["longitude_deg"],
                                        case.lat_deg, case.lon_deg) <= 1.0
    # The overlay's caption gives the total ellipse and the terms taken.
    major, minor, _ = record["ellipse_2sigma_nm"]
    assert any(text.startswith(f"2-sigma ellipse {major:.2f} x {minor:.2f} nm") for text, _ in captions[0])
    assert any(text.startswith("vertical 1.5', clock 2 s, stars ") for text, _ in captions[0])


def test_the_text_says_how_good_the_vertical_and_the_clock_were_taken(fisheye_sky, tmp_path, capsys):
    case, scene, path = fisheye_sky
    assert solve_command(case, path, "--fisheye-fov", "180", "--up", *scene.up_cam) == 0
    out = capsys.readouterr().out
    assert "\n  vertical    taken as good to 2 arcmin per axis (the default; --up-sigma states it)\n" in out
    assert "\n  clock       taken as good to 3 s (the default; --time-sigma states it)\n" in out
    assert "(star errors alone, as assumed: " in out

    # A fixed camera's lens file, calibrated a year before the photo: its vertical has drifted.
    lens = tmp_path / "lens.json"
    calibrated = case.when.replace(year=case.when.year - 1)
    lens.write_text(json.dumps({"fisheye_fov_deg": 180, "up_cam": list(scene.up_cam),
                                "uncertainty": {"up_sigma_arcmin": 0.2, "up_drift_arcmin_per_year": 3.0,
                                                "utc": calibrated.isoformat()}}))
    assert solve_command(case, path, "--lens", lens, "--time-sigma", "0.5") == 0
    out = capsys.readouterr().out
    sigma = math.hypot(0.2, 3.0 * (case.when - calibrated).total_seconds() / uncertainty.SECONDS_PER_YEAR)
    assert (f"\n  vertical    taken as good to {sigma:.3g} arcmin per axis (the lens file's fit, and the mount's"
            " drift since the calibration)\n") in out
    assert "\n  clock       taken as good to 0.5 s (as stated)\n" in out
    # The same lens with a vertical of the caller's own: the file's record is not the caller's vertical's.
    assert solve_command(case, path, "--lens", lens, "--up", *scenarios.tilted_up(scene.up_cam, 1.0, 0.0)) == 0
    assert "per axis (the default; --up-sigma states it)" in capsys.readouterr().out


def test_a_focal_given_on_the_command_line_drops_the_files_focal_sigma(tmp_path):
    lens = tmp_path / "lens.json"
    lens.write_text(json.dumps({"focal_px": 900.0, "uncertainty": {"up_sigma_arcmin": 0.3, "focal_sigma_px": 0.2}}))
    parse = cli.build_parser().parse_args
    kept = lens_from_args(parse(["solve", "sky.png", "--utc", "2026-01-01T00:00:00", "--lens", str(lens)]))
    assert kept.uncertainty == LensUncertainty(up_sigma_arcmin=0.3, focal_sigma_px=0.2)
    given = lens_from_args(parse(["solve", "sky.png", "--utc", "2026-01-01T00:00:00", "--lens", str(lens),
                                  "--focal", "905"]))
    assert given.focal_px == 905.0 and given.uncertainty == LensUncertainty(up_sigma_arcmin=0.3)


@pytest.mark.parametrize("option, value", [("--up-sigma", "-1"), ("--time-sigma", "nan"), ("--up-sigma", "x")])
def test_a_bad_sigma_on_the_command_line_is_refused_in_one_line(fisheye_sky, option, value, capsys):
    case, scene, path = fisheye_sky
    refused(capsys, 2, f"argument {option}: not a finite number >= 0: {value!r}", "solve", path, "--utc",
            case.when.isoformat(), "--fisheye-fov", "180", "--up", *scene.up_cam, option, value)


@pytest.mark.parametrize("field, value", [("up_sigma_arcmin", -0.5), ("time_sigma_s", math.inf),
                                          ("time_sigma_s", "2")])
def test_options_refuse_a_bad_sigma_before_anything_is_solved(field, value):
    with pytest.raises(PhotoError) as info:
        PhotoOptions(**{field: value})
    assert str(info.value) == f"{field} must be a finite number >= 0 (got {value!r})"
