"""What a fix says to a reader: quality words, the JSON record, solve's lines and hints, the overlay."""
import datetime
import io
import json
import sys
from types import SimpleNamespace

import numpy as np
import pytest
from PIL import Image

import halvane_tools
from halvane_tools import annotate, photo, report, sky

from conftest import refused, run_cli

CATALOG = halvane_tools.default_catalog()


def fake_fix(stars, margin, residual_arcmin):
    return SimpleNamespace(matched_hr_ids=list(range(stars)), match_margin=margin,
                           residual_rms_rad=np.radians(residual_arcmin / 60.0))


@pytest.mark.parametrize(
    "stars, margin, residual_arcmin, pixel_arcmin, expected",
    [
        (12, 5, 2.0, None, ("good", "good", "good", "good")),
        (6, 1, 2.0, None, ("fair", "fair", "good", "fair")),
        (4, 0, 2.0, None, ("weak", "weak", "good", "weak")),
        (12, 5, 15.0, 10.0, ("good", "good", "fair", "fair")),  # 1.5 px on a coarse fisheye
        (12, 5, 2.5, 1.0, ("good", "good", "weak", "weak")),  # 2.5 px on a fine lens
    ],
)
def test_quality_words(stars, margin, residual_arcmin, pixel_arcmin, expected):
    words = report.quality_words(fake_fix(stars, margin, residual_arcmin), pixel_arcmin)
    assert (words["stars"], words["margin"], words["residual"], words["overall"]) == expected


@pytest.mark.parametrize("orientation, bearing", [(-30.0, 150.0), (190.0, 10.0), (0.0, 0.0), (179.5, 179.5)])
def test_the_ellipse_axis_is_one_bearing_in_json_and_text(orientation, bearing):
    fix = SimpleNamespace(ellipse_2sigma_nm=(2.0, 1.0, orientation), matched_hr_ids=[1708], match_margin=3,
                          residual_rms_rad=1e-4, n_iterations=3, used_sun=False, latitude_deg=1.0, longitude_deg=2.0,
                          covariance=[[1.0, 0.0], [0.0, 1.0]])
    prepared = SimpleNamespace(detections=[(1.0, 1.0, 1.0)],
                               lens=photo.Lens(fisheye_fov_deg=180.0, cx=50.0, cy=50.0), width=100, height=100)
    assert report.fix_record(fix, prepared, 0.1)["ellipse_2sigma_nm"][2] == bearing
    assert f"major axis {bearing:05.1f}° true" in "\n".join(report.describe_fix(fix, 0.1))


def test_the_record_places_the_camera_and_each_star(adverse_solved):
    case, picture, prepared, fix = adverse_solved
    record = report.fix_record(fix, prepared, 0.2, file="sky.png", utc=case.when, catalog=CATALOG)
    assert list(record)[:2] == ["file", "utc"] and record["utc"] == case.when.isoformat()
    assert set(record["quality"]) == {"stars", "margin", "residual", "overall"}
    # The synthesized camera looks straight up: the axis's altitude is 90° less its tilt from the vertical.
    tilt = np.degrees(np.arccos(picture.up_cam[2] / np.linalg.norm(picture.up_cam)))
    assert abs(record["pointing"]["altitude_deg"] - (90.0 - tilt)) < 1e-6
    assert [s["hr"] for s in record["stars"]] == fix.matched_hr_ids
    stars = np.asarray(picture.star_pixels)
    for star in record["stars"]:
        assert np.hypot(*(stars - (star["x"], star["y"])).T).min() < 3.0
        assert 0.0 <= star["residual_px"] < 3.0 and star["residual_arcmin"] < 40.0
    json.dumps(record)


@pytest.mark.parametrize("hr, name", [
    # Both entries of a double that a camera sees as one star; not a wider one's faint partner.
    (1708, "Capella"), (5459, "Rigil Kentaurus"), (5460, "Rigil Kentaurus"), (7417, "Albireo"), (7418, "β2 Cyg"),
    (5267, "Hadar"),  # the navigators' name and spelling
    (1612, "ζ Aur"), (8085, "61 Cyg"), (1, "HR 1"),  # no proper name; nor a Bayer letter or Flamsteed number
])
def test_star_names(hr, name):
    assert sky.star_name(hr) == name
    assert sky.star_name(hr, hr_number=True) == (name if name.startswith("HR") else f"{name} (HR {hr})")


def test_an_upside_down_vertical_is_named_as_the_fault(adverse_solved, tmp_path, capsys):
    case, picture, _, _ = adverse_solved
    path = tmp_path / "sky.npy"
    np.save(path, picture.pixels)
    argv = ["solve", path, "--utc", case.when.isoformat(), "--up", *(-v for v in picture.up_cam), "--fisheye-fov", "180"]
    assert "check --up" in refused(capsys, 1, "insufficient stars", *argv)
    status, out, _ = run_cli(capsys, *argv, "--json")
    record = json.loads(out)
    assert status == 1 and record["error"].startswith("no fix: insufficient stars") and "check --up" in record["hint"]


@pytest.mark.parametrize("suffix, kind", [(".jpg", "JPEG"), (".JPEG", "JPEG"), (".png", "PNG")])
def test_overlays_are_written_in_the_format_of_their_suffix(tmp_path, suffix, kind):
    annotate.save(Image.new("RGB", (40, 30)), tmp_path / f"overlay{suffix}")
    with Image.open(tmp_path / f"overlay{suffix}") as written:
        assert written.format == kind and written.size == (40, 30)


def test_the_overlay_reads_at_any_size_and_says_what_failed(adverse_solved):
    case, picture, prepared, fix = adverse_solved
    drawn = np.asarray(annotate.overlay(prepared, fix, case.when, CATALOG)).astype(int)
    failed = np.asarray(annotate.overlay(prepared, None, case.when, CATALOG, failure="no fix: no star pattern match"
                                                                                   " found; the lens is suspect"))
    # The caption's panel at the top left: dark, with text in the caption's colours.
    panel = drawn[5:60, 5:300]
    assert (np.abs(panel - annotate.IDENTIFIED).sum(axis=2) < 60).any()
    assert (np.abs(failed[5:120, 5:400].astype(int) - annotate.FAILED).sum(axis=2) < 60).any()
    # The compass letters stand near the horizon: north is one of the four edges' middles.
    placed = sky.place_stars(prepared, fix, case.when, CATALOG)
    camera = prepared.lens.camera(prepared.width, prepared.height)
    nx, ny = camera.vec_to_pixel(np.cos(np.radians(4.0)) * np.asarray(placed.north_cam)
                                 + np.sin(np.radians(4.0)) * np.asarray(prepared.up_cam) / np.linalg.norm(prepared.up_cam))
    box = drawn[int(ny) - 12 : int(ny) + 12, int(nx) - 12 : int(nx) + 12]
    assert (np.abs(box - annotate.HORIZON).sum(axis=2) < 40).any()
    # Labels never overlap, however crowded.
    pen = annotate._Pen(Image.new("RGB", (300, 300)))
    for k in range(40):
        pen.label(150 + k % 3, 150 + k % 5, 8, f"label {k}", annotate.IDENTIFIED)
    boxes = pen.taken
    assert all(not (a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3])
               for i, a in enumerate(boxes) for b in boxes[i + 1:])


@pytest.mark.parametrize("height, width", [(1, 1), (3, 7), (37, 64), (300, 401)])
@pytest.mark.parametrize("codec", [True, False])
def test_png_files_hold_the_picture_exactly(height, width, codec, monkeypatch):
    if not codec:
        monkeypatch.setitem(sys.modules, "imagecodecs", None)  # Pillow's encoder
    pixels = np.random.default_rng(height).integers(0, 256, (height, width, 3), dtype=np.uint8)
    pixels[: height // 2] = 17  # a run the compressor shortens, beside noise it cannot
    written = annotate.png_bytes(Image.fromarray(pixels))
    with Image.open(io.BytesIO(written)) as back:
        assert back.format == "PNG" and back.mode == "RGB" and np.array_equal(np.asarray(back), pixels)


def track_records(lat0, lon0, fixes=12):
    start = datetime.datetime(2026, 2, 18, 22, 0, tzinfo=datetime.timezone.utc)
    return [{"utc": (start + datetime.timedelta(minutes=5 * k)).isoformat(), "latitude_deg": lat0 + 0.01 * k,
             "longitude_deg": (lon0 + 0.02 * k + 180.0) % 360.0 - 180.0, "ellipse_2sigma_nm": (1.0, 0.5, 30.0)}
            for k in range(fixes)]


@pytest.mark.parametrize("lat0, lon0", [(69.6, 18.9), (-33.9, 179.9)])  # far north; a track across 180°
def test_the_track_plot_marks_the_median_fix_and_has_a_scale_bar_in_nautical_miles(lat0, lon0):
    from mpl_toolkits.axes_grid1.anchored_artists import AnchoredSizeBar

    records = track_records(lat0, lon0) + [{"file": "cloudy.jpg", "utc": "2026-02-18T23:30:00+00:00", "error": "no fix"}]
    figure, drawn = annotate.track_figure(records)
    axes = figure.axes[0]
    assert drawn == 12
    (median,) = [line for line in axes.get_lines() if line.get_label().startswith("median fix")]
    x, y = median.get_xdata()[0], median.get_ydata()[0]
    assert y == pytest.approx(lat0 + 0.055) and (x - (lon0 + 0.11) + 180.0) % 360.0 - 180.0 == pytest.approx(0.0, abs=1e-9)
    (bar,) = [a for a in axes.artists if isinstance(a, AnchoredSizeBar)]
    length_nm = float(bar.txt_label.get_text().removesuffix(" nm"))
    width_deg = bar.size_bar.get_children()[0].get_width()
    assert width_deg * 60.0 * np.cos(np.radians(y)) == pytest.approx(length_nm)
