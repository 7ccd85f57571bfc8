"""Fixes for maps: the records of ``halvane batch`` or ``halvane watch`` as
GeoJSON, GPX, KML or CSV, each fix with its 2-sigma ellipse (the total one
in records made with it).

The ellipse is drawn as a ring of points around the fix, laid out in
nautical miles on the local north/east plane and turned into degrees there:
at these sizes (miles) the plane is exact to far better than the fix.
Records without a fix are left out, except in CSV, where they keep their
error so that a spreadsheet shows the whole night.
"""
from __future__ import annotations

import csv
import io
import json
import math
from xml.sax.saxutils import escape

FORMATS = ("geojson", "gpx", "kml", "csv")
RING_POINTS = 72


class ExportError(ValueError):
    """Records that cannot be exported; one line."""


def ellipse_of(record: dict) -> tuple[float, float, float]:
    """(semi_major_nm, semi_minor_nm, orientation_deg) at 2 sigma."""
    major, minor, orientation = record["ellipse_2sigma_nm"]
    return float(major), float(minor), float(orientation)


def ellipse_ring(lat_deg: float, lon_deg: float, major_nm: float, minor_nm: float, orientation_deg: float,
                 points: int = RING_POINTS) -> list[tuple[float, float]]:
    """The ellipse as a closed ring of (longitude, latitude) degrees, counter-clockwise
    seen from above (the right-hand rule GeoJSON asks for)."""
    turn = math.radians(orientation_deg)
    scale = math.cos(math.radians(lat_deg))
    ring = []
    for k in range(points):
        t = -2.0 * math.pi * k / points  # clockwise on the along/across plane is counter-clockwise on east/north
        along, across = major_nm * math.cos(t), minor_nm * math.sin(t)
        north = along * math.cos(turn) - across * math.sin(turn)
        east = along * math.sin(turn) + across * math.cos(turn)
        lon = lon_deg + (east / 60.0 / scale if scale > 1e-12 else 0.0)
        ring.append((_wrap(lon), max(-90.0, min(90.0, lat_deg + north / 60.0))))
    ring.append(ring[0])
    return ring


def _wrap(lon_deg: float) -> float:
    return (lon_deg + 180.0) % 360.0 - 180.0


def fixes(records) -> list[dict]:
    return [r for r in records if "error" not in r and "latitude_deg" in r]


def _name(record: dict) -> str:
    return str(record.get("file", "")).replace("\\", "/").rsplit("/", 1)[-1]


def _properties(record: dict) -> dict:
    major, minor, orientation = ellipse_of(record)
    return {"file": record.get("file"), "utc": record.get("utc"), "stars": len(record.get("matched_hr_ids", ())),
            "semi_major_nm": major, "semi_minor_nm": minor, "orientation_deg": orientation,
            "residual_rms_arcmin": record.get("residual_rms_arcmin")}


def to_geojson(records) -> str:
    """A FeatureCollection: a Point per fix and a Polygon per ellipse
    (property ``kind``: "fix" or "ellipse_2sigma")."""
    features = []
    for r in fixes(records):
        props = _properties(r)
        lat, lon = r["latitude_deg"], r["longitude_deg"]
        features.append({"type": "Feature", "properties": {"kind": "fix", **props},
                         "geometry": {"type": "Point", "coordinates": [_wrap(lon), lat]}})
        ring = ellipse_ring(lat, lon, props["semi_major_nm"], props["semi_minor_nm"], props["orientation_deg"])
        features.append({"type": "Feature", "properties": {"kind": "ellipse_2sigma", **props},
                         "geometry": {"type": "Polygon", "coordinates": [[list(p) for p in ring]]}})
    return json.dumps({"type": "FeatureCollection", "features": features}, indent=1) + "\n"


def _gpx_time(record: dict) -> str:
    return f"<time>{escape(record['utc'])}</time>" if record.get("utc") else ""


def to_gpx(records) -> str:
    """GPX 1.1: a waypoint per fix (time, name, the ellipse in its
    description) and each ellipse as a track of its own."""
    out = ['<?xml version="1.0" encoding="UTF-8"?>',
           '<gpx version="1.1" creator="halvane" xmlns="http://www.topografix.com/GPX/1/1">']
    chosen = fixes(records)
    for r in chosen:
        major, minor, orientation = ellipse_of(r)
        out.append(f'<wpt lat="{r["latitude_deg"]:.8f}" lon="{_wrap(r["longitude_deg"]):.8f}">{_gpx_time(r)}'
                   f"<name>{escape(_name(r))}</name><desc>2-sigma ellipse {major:.3f} x {minor:.3f} nm,"
                   f" major axis {orientation % 180.0:.1f} deg true; {len(r.get('matched_hr_ids', ()))} stars</desc>"
                   f"<sat>{len(r.get('matched_hr_ids', ()))}</sat></wpt>")
    for r in chosen:
        ring = ellipse_ring(r["latitude_deg"], r["longitude_deg"], *ellipse_of(r))
        points = "".join(f'<trkpt lat="{lat:.8f}" lon="{lon:.8f}"/>' for lon, lat in ring)
        out.append(f"<trk><name>{escape(_name(r))} 2-sigma ellipse</name><trkseg>{points}</trkseg></trk>")
    out.append("</gpx>")
    return "\n".join(out) + "\n"


def to_kml(records) -> str:
    """KML 2.2: a Placemark per fix holding its Point and its ellipse's
    Polygon, stamped with its time."""
    out = ['<?xml version="1.0" encoding="UTF-8"?>', '<kml xmlns="http://www.opengis.net/kml/2.2"><Document>',
           "<name>halvane fixes</name>"]
    for r in fixes(records):
        major, minor, orientation = ellipse_of(r)
        ring = ellipse_ring(r["latitude_deg"], r["longitude_deg"], major, minor, orientation)
        coordinates = " ".join(f"{lon:.8f},{lat:.8f}" for lon, lat in ring)
        stamp = f"<TimeStamp><when>{escape(r['utc'])}</when></TimeStamp>" if r.get("utc") else ""
        out.append(f"<Placemark><name>{escape(_name(r))}</name>{stamp}"
                   f"<description>{escape(f'2-sigma ellipse {major:.3f} x {minor:.3f} nm, major axis {orientation % 180.0:.1f} deg true')}</description>"
                   f"<MultiGeometry><Point><coordinates>{_wrap(r['longitude_deg']):.8f},{r['latitude_deg']:.8f}"
                   f"</coordinates></Point><Polygon><outerBoundaryIs><LinearRing><coordinates>{coordinates}"
                   "</coordinates></LinearRing></outerBoundaryIs></Polygon></MultiGeometry></Placemark>")
    out.append("</Document></kml>")
    return "\n".join(out) + "\n"


CSV_COLUMNS = ("file", "utc", "latitude_deg", "longitude_deg", "semi_major_nm", "semi_minor_nm", "orientation_deg",
               "stars", "residual_rms_arcmin", "error")


def to_csv(records) -> str:
    """One row per record, fixes and refusals alike."""
    stream = io.StringIO()
    writer = csv.writer(stream, lineterminator="\n")
    writer.writerow(CSV_COLUMNS)
    for r in records:
        if "error" in r or "latitude_deg" not in r:
            writer.writerow([r.get("file", ""), r.get("utc") or "", "", "", "", "", "", "", "", r.get("error", "")])
            continue
        major, minor, orientation = ellipse_of(r)
        writer.writerow([r.get("file", ""), r.get("utc") or "", repr(float(r["latitude_deg"])),
                         repr(float(r["longitude_deg"])), f"{major:.4f}", f"{minor:.4f}", f"{orientation:.2f}",
                         len(r.get("matched_hr_ids", ())), f"{float(r.get('residual_rms_arcmin', math.nan)):.3f}", ""])
    return stream.getvalue()


WRITERS = {"geojson": to_geojson, "gpx": to_gpx, "kml": to_kml, "csv": to_csv}


def export(records, to: str) -> str:
    """The records as text in the format `to` (one of :data:`FORMATS`)."""
    if to not in WRITERS:
        raise ExportError(f"unknown format {to!r}: one of {', '.join(FORMATS)}")
    return WRITERS[to](list(records))

