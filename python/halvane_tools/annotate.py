"""Overlay pictures: the photo as the photo path saw it, with what it did;
the track plot of a batch's fixes (:func:`plot_track`) and a calibration's
residual plot (:func:`write_residual_plot`), both with matplotlib.

:func:`overlay` draws, on a stretched copy of the photo, the pixels left out
(shaded red), the horizon and the altitude cut, the zenith, every detection
used (yellow rings) and the identified stars (green rings with their HR
numbers). Identified stars are placed by projecting the catalogue through the
fix: the fix fixes the vertical's place on the sky, and the one free angle
(the camera's heading about the vertical) is the one that best lays the
identified stars on the detections.
"""
from __future__ import annotations

import datetime
import math
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw, ImageFont

import halvane

from .times import utc_tuple

EXCLUDED = (255, 40, 40)
HORIZON = (60, 200, 255)
ALTITUDE_CUT = (255, 150, 40)
ZENITH = (255, 255, 255)
DETECTION = (255, 220, 0)
IDENTIFIED = (60, 255, 90)
EXCLUDED_OPACITY = 0.35


def display_stretch(image: np.ndarray) -> np.ndarray:
    """uint16 luminance as 8-bit grey for the eye: 1st to 99.8th percentile,
    square-root stretched so faint stars show."""
    sample = image[::4, ::4]
    low, high = np.percentile(sample, [1.0, 99.8])
    scaled = (image.astype(np.float32) - low) / max(float(high - low), 1.0)
    return (np.sqrt(np.clip(scaled, 0.0, 1.0)) * 255.0 + 0.5).astype(np.uint8)


def _horizontal_basis(up_cam) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Two horizontal unit vectors and the vertical, in the camera frame."""
    up = np.asarray(up_cam, dtype=np.float64)
    up = up / np.linalg.norm(up)
    a = np.cross(up, [0.0, 1.0, 0.0] if abs(up[1]) < 0.9 else [1.0, 0.0, 0.0])
    a /= np.linalg.norm(a)
    return a, np.cross(up, a), up


def identified_star_pixels(prepared, fix, utc, catalog) -> dict[int, tuple[float, float]]:
    """Pixel of each identified star (HR number -> (x, y)), for those in the
    field. Places are mean places of date without refraction: a few
    arcminutes, a pixel or two, which is plenty for a label."""
    jd = halvane.julian_date(*utc_tuple(utc))
    lat = math.radians(fix.latitude_deg)
    local_sidereal = math.radians(halvane.gmst_deg(jd) + fix.longitude_deg)
    local = []
    for hr in fix.matched_hr_ids:
        ra, dec = (math.radians(v) for v in catalog.star(hr)[:2])
        x, y, z = halvane.precess_vector(jd, [math.cos(dec) * math.cos(ra), math.cos(dec) * math.sin(ra), math.sin(dec)])
        hour_angle = local_sidereal - math.atan2(y, x)
        dec_date = math.asin(max(-1.0, min(1.0, z)))
        # East, north, up components of the star's direction.
        east = -math.cos(dec_date) * math.sin(hour_angle)
        north = math.sin(dec_date) * math.cos(lat) - math.cos(dec_date) * math.cos(hour_angle) * math.sin(lat)
        up = math.sin(dec_date) * math.sin(lat) + math.cos(dec_date) * math.cos(hour_angle) * math.cos(lat)
        local.append((east, north, up))
    if not local or not prepared.detections:
        return {}
    local = np.asarray(local)
    camera = prepared.lens.camera(prepared.width, prepared.height)
    detections = np.asarray([(x, y) for x, y, _ in prepared.detections])
    a, b, up = _horizontal_basis(prepared.up_cam)

    def project(headings: np.ndarray) -> np.ndarray:
        north = np.cos(headings)[:, None] * a + np.sin(headings)[:, None] * b
        east = np.cross(north, up)
        cam = local[None, :, 0:1] * east[:, None] + local[None, :, 1:2] * north[:, None] + local[None, :, 2:3] * up
        return camera.vec_to_pixel(cam.reshape(-1, 3)).reshape(len(headings), len(local), 2)

    def score(pixels: np.ndarray) -> np.ndarray:
        gaps = np.linalg.norm(pixels[:, :, None, :] - detections[None, None], axis=-1)
        nearest = np.nan_to_num(gaps.min(axis=2), nan=1e9)
        return np.minimum(nearest, 20.0).sum(axis=1)

    headings = np.radians(np.arange(0.0, 360.0, 0.5))
    best = headings[np.argmin(score(project(headings)))]
    fine = best + np.radians(np.arange(-0.5, 0.5, 0.02))
    pixels = project(fine)[np.argmin(score(project(fine)))]
    return {hr: (float(x), float(y)) for hr, (x, y) in zip(fix.matched_hr_ids, pixels) if np.isfinite(x)}


def _altitude_circle(prepared, altitude_deg: float) -> list[list[tuple[float, float]]]:
    """The pixels of a circle of constant altitude, as runs of points
    unbroken by the edge of the field."""
    camera = prepared.lens.camera(prepared.width, prepared.height)
    a, b, up = _horizontal_basis(prepared.up_cam)
    azimuths = np.radians(np.arange(0.0, 360.5, 0.5))[:, None]
    alt = math.radians(altitude_deg)
    directions = math.cos(alt) * (np.cos(azimuths) * a + np.sin(azimuths) * b) + math.sin(alt) * up
    runs, run = [], []
    for x, y in camera.vec_to_pixel(directions):
        if np.isfinite(x) and -prepared.width < x < 2 * prepared.width and -prepared.height < y < 2 * prepared.height:
            run.append((float(x), float(y)))
        elif run:
            runs.append(run)
            run = []
    if run:
        runs.append(run)
    return runs


def overlay(prepared, fix=None, utc=None, catalog=None, message: str | None = None):
    """The annotated picture as a PIL RGB image of the photo's size.

    prepared: a halvane_tools.photo.PreparedPhoto; fix, utc, catalog: the
    fix with its time and catalogue, to label the identified stars (fix None:
    no labels); message: a line written at the top (the position, or why
    there is none)."""
    grey = display_stretch(prepared.image)
    rgb = np.repeat(grey[:, :, None], 3, axis=2).astype(np.float32)
    shade = prepared.excluded
    rgb[shade] = rgb[shade] * (1.0 - EXCLUDED_OPACITY) + np.asarray(EXCLUDED, np.float32) * EXCLUDED_OPACITY
    picture = Image.fromarray((rgb + 0.5).astype(np.uint8), "RGB")
    draw = ImageDraw.Draw(picture)
    size = max(prepared.width, prepared.height)
    line = max(1, size // 700)
    ring = max(6, size // 120)
    font = ImageFont.load_default()

    for altitude, colour in ((0.0, HORIZON), (prepared.min_altitude_deg, ALTITUDE_CUT)):
        for run in _altitude_circle(prepared, altitude):
            if len(run) > 1:
                draw.line(run, fill=colour, width=line)
    zenith = prepared.lens.camera(prepared.width, prepared.height).vec_to_pixel(_horizontal_basis(prepared.up_cam)[2])
    if zenith is not None:
        zx, zy = zenith
        draw.line([(zx - 2 * ring, zy), (zx + 2 * ring, zy)], fill=ZENITH, width=line)
        draw.line([(zx, zy - 2 * ring), (zx, zy + 2 * ring)], fill=ZENITH, width=line)
        draw.text((zx + ring, zy + ring // 2), "zenith", fill=ZENITH, font=font)
    for x, y, _ in prepared.detections:
        draw.ellipse([x - ring, y - ring, x + ring, y + ring], outline=DETECTION, width=line)
    if fix is not None and utc is not None and catalog is not None:
        for hr, (x, y) in identified_star_pixels(prepared, fix, utc, catalog).items():
            r = ring + 2 * line + 1
            draw.ellipse([x - r, y - r, x + r, y + r], outline=IDENTIFIED, width=line)
            draw.text((x + r + 2, y - r), f"HR {hr}", fill=IDENTIFIED, font=font)
    if message:
        draw.text((8, 8), message, fill=ZENITH, font=font)
    return picture


def missing_matplotlib() -> str | None:
    """Why plots cannot be drawn here, or None when they can."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return "plots need matplotlib (pip install matplotlib)"
    return None


def ellipse_outline(lat_deg: float, lon_deg: float, ellipse_2sigma_nm, points: int = 48) -> np.ndarray:
    """The 2-sigma ellipse (semi-axes in nm, major axis from north towards
    east) as (longitude, latitude) degrees around the fix."""
    major, minor, orientation_deg = ellipse_2sigma_nm
    t = np.linspace(0.0, 2.0 * np.pi, points)
    a = math.radians(orientation_deg)
    along, across = major * np.cos(t), minor * np.sin(t)
    north = along * math.cos(a) - across * math.sin(a)
    east = along * math.sin(a) + across * math.cos(a)
    return np.column_stack([lon_deg + east / (60.0 * math.cos(math.radians(lat_deg))), lat_deg + north / 60.0])


def plot_track(records, path) -> int:
    """The fixes of batch records on a map-like plot written to path (PNG):
    latitude against longitude at the local scale, each fix with its 2-sigma
    ellipse, coloured by time. Records with an error or without a time are
    left out. Returns how many fixes were drawn."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.collections import LineCollection
    from matplotlib.figure import Figure

    fixes = sorted((datetime.datetime.fromisoformat(r["utc"]), r["latitude_deg"], r["longitude_deg"],
                    r["ellipse_2sigma_nm"]) for r in records if "error" not in r and r.get("utc"))
    figure = Figure(figsize=(8.0, 7.0), dpi=120)
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    axes.set_xlabel("longitude (° east)")
    axes.set_ylabel("latitude (° north)")
    if not fixes:
        axes.set_title("no fix")
        figure.savefig(path)
        return 0
    times = np.array([(t - fixes[0][0]).total_seconds() / 3600.0 for t, *_ in fixes])
    lat = np.array([f[1] for f in fixes])
    middle = float(np.median([f[2] for f in fixes]))
    # Longitudes unwrapped about their median, so a track across 180° stays whole.
    lon = np.array([middle + (f[2] - middle + 180.0) % 360.0 - 180.0 for f in fixes])
    outlines = [ellipse_outline(la, lo, f[3]) for la, lo, f in zip(lat, lon, fixes)]
    colours = LineCollection(outlines, cmap="viridis", linewidths=0.6, alpha=0.6)
    colours.set_array(times)
    axes.add_collection(colours)
    dots = axes.scatter(lon, lat, c=times, cmap="viridis", s=6, zorder=3)
    axes.autoscale_view()
    # One nautical mile the same length both ways at the track's latitude.
    axes.set_aspect(1.0 / max(math.cos(math.radians(float(np.median(lat)))), 1e-3), adjustable="datalim")
    bar = figure.colorbar(dots, ax=axes)
    bar.set_label(f"hours after {fixes[0][0]:%Y-%m-%d %H:%M:%S} UTC")
    axes.set_title(f"{len(fixes)} fixes with their total 2-sigma ellipses")
    axes.grid(True, linewidth=0.3)
    figure.savefig(path)
    return len(fixes)


def _magnification(residuals_px: np.ndarray, size_px: int) -> float:
    """1, 2 or 5 times a power of ten that draws a typical large residual
    about 3 % of the picture long."""
    typical = max(float(np.percentile(residuals_px, 90)), 1e-3)
    exponent = math.floor(math.log10(0.03 * size_px / typical))
    return max(m * 10.0**exponent for m in (1, 2, 5) if m * 10.0**exponent <= 0.03 * size_px / typical)


def write_residual_plot(calibration, path: str | Path) -> None:
    """A PNG with the photo and each star's residual (detected minus
    fitted) drawn as a magnified arrow, beside the radial residual against
    the off-axis angle with its running median: a lens model that fits
    leaves no pattern in either. calibration: a
    halvane_tools.calibrate.Calibration."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    c = calibration
    lens = c.lens
    residual = c.detected_px - c.predicted_px
    outward = c.detected_px - np.array([lens.cx, lens.cy])
    outward /= np.maximum(np.linalg.norm(outward, axis=1, keepdims=True), 1e-9)
    radial = np.sum(residual * outward, axis=1)
    size = max(c.width, c.height)
    magnify = _magnification(np.linalg.norm(residual, axis=1), size)
    step = max(1, size // 1600)

    figure = Figure(figsize=(16, 7.5), dpi=100, layout="constrained")
    FigureCanvasAgg(figure)
    photo, plot = figure.subplots(1, 2, width_ratios=(1.1, 1))
    photo.imshow(display_stretch(c.image)[::step, ::step], cmap="gray", extent=(-0.5, c.width - 0.5, c.height - 0.5, -0.5))
    photo.quiver(c.detected_px[:, 0], c.detected_px[:, 1], residual[:, 0] * magnify, residual[:, 1] * magnify,
                 color="#ffcc00", angles="xy", scale_units="xy", scale=1.0, width=0.0025)
    photo.plot([lens.cx], [lens.cy], "+", color="#ff5050", markersize=14)
    photo.set_title(f"residuals x{magnify:g}: {c.n_stars} stars, median {c.median_residual_px:.2f} px,"
                    f" rms {c.rms_residual_px:.2f} px")
    photo.set_xlim(-0.5, c.width - 0.5)
    photo.set_ylim(c.height - 0.5, -0.5)
    plot.scatter(c.off_axis_deg, radial, s=6, alpha=0.5, color="#1f5fbf", label="star")
    edges = np.linspace(0.0, float(c.off_axis_deg.max()) + 1e-9, 13)
    bins = np.digitize(c.off_axis_deg, edges)
    centres, medians = [], []
    for b in range(1, len(edges)):
        chosen = radial[bins == b]
        if len(chosen) >= 5:
            centres.append((edges[b - 1] + edges[b]) / 2)
            medians.append(np.median(chosen))
    plot.plot(centres, medians, "-o", color="#d04020", label="median")
    plot.axhline(0.0, color="black", linewidth=0.8)
    plot.set_xlabel("off-axis angle (degrees)")
    plot.set_ylabel("radial residual, detected minus fitted (px, outward +)")
    kind = "pinhole" if lens.fisheye_fov_deg is None else f"fisheye k1={lens.k1:.5f} k2={lens.k2:.5f}"
    plot.set_title(f"focal {lens.focal_px:.2f} px, centre ({lens.cx:.2f}, {lens.cy:.2f}), {kind}")
    plot.legend(loc="upper left")
    figure.savefig(path, format="png")
