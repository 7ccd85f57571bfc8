"""halvane export: fixes and ellipses in GeoJSON, GPX, KML and CSV, read back by independent readers."""
import csv
import io
import json
import math
import xml.etree.ElementTree as ElementTree

import pytest

from halvane_tools import cli, export

RECORDS = [
    {"file": "night/a.png", "utc": "2026-01-15T21:00:00+00:00", "latitude_deg": 60.0, "longitude_deg": -179.99,
     "stars_ellipse_2sigma_nm": [1.0, 0.5, 10.0], "ellipse_2sigma_nm": [4.0, 2.0, 90.0],
     "matched_hr_ids": [1, 2, 3], "residual_rms_arcmin": 0.4},
    {"file": "night/b.png", "utc": "2026-01-15T21:10:00+00:00", "error": "no fix: insufficient stars"},
    {"file": "night/c & d.png", "utc": "2026-01-15T21:20:00+00:00", "latitude_deg": -10.5, "longitude_deg": 20.25,
     "ellipse_2sigma_nm": [2.0, 1.0, 45.0], "matched_hr_ids": [4, 5, 6, 7], "residual_rms_arcmin": 0.6},
]


def ring_distances_nm(lat, lon, ring):
    """(north, east) in nm of each ring point from the fix."""
    out = []
    for x, y in ring:
        east = ((x - lon + 180) % 360 - 180) * 60 * math.cos(math.radians(lat))
        out.append(((y - lat) * 60, east))
    return out


@pytest.mark.parametrize("lat, lon, axes", [(60.0, -179.99, (4.0, 2.0, 90.0)), (-10.5, 20.25, (2.0, 1.0, 45.0)),
                                            (0.0, 0.0, (3.0, 3.0, 0.0))])
def test_the_ring_is_the_ellipse(lat, lon, axes):
    major, minor, orientation = axes
    ring = export.ellipse_ring(lat, lon, major, minor, orientation)
    assert ring[0] == ring[-1] and all(-180 <= x < 180 for x, _ in ring)
    points = ring_distances_nm(lat, lon, ring)
    turn = math.radians(orientation)
    for north, east in points:
        along = north * math.cos(turn) + east * math.sin(turn)
        across = -north * math.sin(turn) + east * math.cos(turn)
        assert (along / major) ** 2 + (across / minor) ** 2 == pytest.approx(1.0, abs=1e-9)
    # Counter-clockwise (positive signed area) as GeoJSON's outer rings.
    area = sum(a[1] * b[0] - b[1] * a[0] for a, b in zip(points, points[1:]))
    assert area > 0


def test_every_format_carries_each_fix_and_its_total_ellipse():
    features = json.loads(export.export(RECORDS, "geojson"))["features"]
    assert [f["properties"]["kind"] for f in features] == ["fix", "ellipse_2sigma"] * 2
    assert features[0]["geometry"]["coordinates"] == [-179.99, 60.0]
    assert features[1]["properties"]["semi_major_nm"] == 4.0  # the total ellipse, not the stars'
    assert features[3]["properties"]["semi_major_nm"] == 2.0
    gpx = ElementTree.fromstring(export.export(RECORDS, "gpx"))
    ns = {"g": "http://www.topografix.com/GPX/1/1"}
    waypoints = gpx.findall("g:wpt", ns)
    assert [(float(w.get("lat")), float(w.get("lon"))) for w in waypoints] == [(60.0, -179.99), (-10.5, 20.25)]
    assert waypoints[1].find("g:name", ns).text == "c & d.png"
    assert len(gpx.findall("g:trk", ns)) == 2
    kml = ElementTree.fromstring(export.export(RECORDS, "kml"))
    ns = {"k": "http://www.opengis.net/kml/2.2"}
    points = [p.find("k:coordinates", ns).text for p in kml.iter("{http://www.opengis.net/kml/2.2}Point")]
    assert points == ["-179.99000000,60.00000000", "20.25000000,-10.50000000"]
    assert kml.find(".//k:TimeStamp/k:when", ns).text == "2026-01-15T21:00:00+00:00"
    # CSV keeps every frame, failures too.
    rows = list(csv.DictReader(io.StringIO(export.export(RECORDS, "csv"))))
    assert [r["file"] for r in rows] == ["night/a.png", "night/b.png", "night/c & d.png"]
    assert float(rows[0]["longitude_deg"]) == -179.99 and rows[0]["semi_major_nm"] == "4.0000"
    assert rows[1]["error"] == "no fix: insufficient stars" and rows[1]["latitude_deg"] == ""


@pytest.mark.parametrize("to", ["geojson", "gpx", "kml"])
def test_a_gis_reader_opens_the_files(tmp_path, to):
    fiona = pytest.importorskip("fiona")
    # GDAL reads KML; fiona lists it only when asked.
    fiona.drvsupport.supported_drivers.setdefault("KML", "r")
    path = tmp_path / f"fixes.{to}"
    path.write_text(export.export(RECORDS, to))
    # GPX readers also list every track point as a point layer of its own.
    layers = [name for name in fiona.listlayers(path) if name not in ("track_points", "route_points")]
    points = []
    for layer in layers:
        with fiona.open(path, layer=layer) as source:
            for feature in source:
                geometry = feature.geometry
                # A KML placemark's point and ellipse come as one collection.
                for part in geometry["geometries"] if geometry["type"] == "GeometryCollection" else [geometry]:
                    if part["type"] == "Point":
                        points.append(tuple(round(v, 9) for v in part["coordinates"][:2]))
    assert sorted(points) == sorted([(-179.99, 60.0), (20.25, -10.5)])


def test_the_command_writes_the_format(tmp_path, capsys):
    results = tmp_path / "results.jsonl"
    results.write_text("".join(json.dumps(r) + "\n" for r in RECORDS) + '{"cut short')
    assert cli.main(["export", str(results), "--to", "kml", "--out", str(tmp_path / "out.kml")]) == 0
    assert capsys.readouterr().out == f"halvane export: 2 fixes to {tmp_path / 'out.kml'}\n"
    assert cli.main(["export", str(results), "--to", "csv"]) == 0
    assert capsys.readouterr().out.count("\n") == 4
    assert cli.main(["export", str(tmp_path / "missing.jsonl"), "--to", "csv"]) == 1
    assert "missing.jsonl" in capsys.readouterr().err
