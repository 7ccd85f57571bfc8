"""Overlay pictures: the photo as the photo path saw it, with what it did;
the track plot of a batch's fixes with their median and a scale in nautical
miles (:func:`plot_track`) and a calibration's residual plot
(:func:`write_residual_plot`), both with matplotlib.

:func:`overlay` draws, on a stretched copy of the photo, the pixels left out
(shaded red), the horizon with N, E, S, W on it and the altitude cut, the
zenith, every detection used (yellow rings) and the identified stars (green
rings with their names), a caption with the fix, its ellipse and star count
(or what failed) and a legend. Text and lines scale with the picture and
are outlined in black, so they read on grey sky and aurora alike.
:func:`save` writes JPEG or PNG by the file's suffix.
"""
from __future__ import annotations

import datetime
import io
import math
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw, ImageFont

from .catalog_builder import GREEK_LETTERS
from .report import axis_bearing_deg, counted, format_position, utc_text
from .sky import horizontal_basis as _horizontal_basis
from .sky import place_stars, star_name

EXCLUDED = (255, 40, 40)
HORIZON = (60, 200, 255)
ALTITUDE_CUT = (255, 150, 40)
ZENITH = (255, 255, 255)
DETECTION = (255, 220, 0)
IDENTIFIED = (60, 255, 90)
FAILED = (255, 90, 90)
OUTLINE = (0, 0, 0)
EXCLUDED_OPACITY = 0.35
# Where the compass letters stand: just above the horizon, inside a fisheye's circle.
COMPASS_ALTITUDE_DEG = 4.0
JPEG_SUFFIXES = {".jpg", ".jpeg"}


def _stretch_table(image: np.ndarray) -> np.ndarray:
    """The 65,536-entry table taking uint16 luminance to 8-bit grey for the
    eye: 1st to 99.8th percentile, square-root stretched so faint stars show.
    A table lookup is one pass over a 12 Mpix frame."""
    sample = image[::4, ::4]
    low, high = np.percentile(sample, [1.0, 99.8])
    levels = (np.arange(65536, dtype=np.float32) - low) / max(float(high - low), 1.0)
    return (np.sqrt(np.clip(levels, 0.0, 1.0)) * 255.0 + 0.5).astype(np.uint8)


def display_stretch(image: np.ndarray) -> np.ndarray:
    """uint16 luminance as 8-bit grey for the eye (see :func:`_stretch_table`)."""
    return _stretch_table(image)[image]


def identified_star_pixels(prepared, fix, utc, catalog) -> dict[int, tuple[float, float]]:
    """Pixel of each identified star (HR number -> (x, y)), for those in the field."""
    placed = place_stars(prepared, fix, utc, catalog)
    return {} if placed is None else {star.hr: (star.x, star.y) for star in placed.stars}


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


def _font_file() -> str | None:
    """A TrueType font that has Greek letters for the stars' names: the one
    matplotlib ships, or the system's DejaVu Sans; None when neither is there."""
    import importlib.util

    matplotlib_found = importlib.util.find_spec("matplotlib")
    folders = matplotlib_found.submodule_search_locations if matplotlib_found else []
    places = [Path(p) / "mpl-data" / "fonts" / "ttf" / "DejaVuSans.ttf" for p in folders]
    places.append(Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"))
    return next((str(p) for p in places if p.is_file()), None)


_FONT_FILE = _font_file()
# Pillow's own font has no Greek: the catalogue's three-letter form stands in.
_LATIN_GREEK = {greek: latin for latin, greek in GREEK_LETTERS.items()}


def _font(size: int):
    return ImageFont.truetype(_FONT_FILE, size) if _FONT_FILE else ImageFont.load_default(size=size)


def _drawable(text: str) -> str:
    if _FONT_FILE:
        return text
    return "".join(_LATIN_GREEK.get(c, c) + (" " if c in _LATIN_GREEK else "") for c in text).replace("  ", " ")


class _Pen:
    """Scaled, outlined drawing on one picture, and the boxes already taken
    by text so that labels do not overlap."""

    def __init__(self, picture: Image.Image):
        self.draw = ImageDraw.Draw(picture)
        self.width, self.height = picture.size
        size = max(self.width, self.height)
        self.line = max(1, round(size / 700))
        self.ring = max(6, size // 120)
        self.font = _font(max(12, round(size / 75)))
        self.small = _font(max(11, round(size / 95)))
        self.stroke = max(1, round(size / 900))
        self.taken: list[tuple[float, float, float, float]] = []

    def text(self, xy, text: str, colour, font=None, anchor: str = "la") -> tuple[float, float, float, float]:
        font, text = font or self.font, _drawable(text)
        self.draw.text(xy, text, fill=colour, font=font, anchor=anchor, stroke_width=self.stroke, stroke_fill=OUTLINE)
        box = self.draw.textbbox(xy, text, font=font, anchor=anchor, stroke_width=self.stroke)
        self.taken.append(box)
        return box

    def free(self, box) -> bool:
        left, top, right, bottom = box
        if left < 0 or top < 0 or right > self.width or bottom > self.height:
            return False
        return not any(left < r and l < right and top < b and t < bottom for l, t, r, b in self.taken)

    def label(self, x: float, y: float, gap: float, text: str, colour, font=None) -> bool:
        """Text beside (x, y), on the first side where it overlaps nothing
        already written; False (and nothing written) where every side is taken."""
        font, text = font or self.small, _drawable(text)
        for dx, dy, anchor in ((gap, 0, "lm"), (-gap, 0, "rm"), (0, -gap, "md"), (0, gap, "ma"),
                               (gap, -gap, "ld"), (-gap, gap, "ra")):
            box = self.draw.textbbox((x + dx, y + dy), text, font=font, anchor=anchor, stroke_width=self.stroke)
            if self.free(box):
                self.text((x + dx, y + dy), text, colour, font, anchor)
                return True
        return False

    def polyline(self, points, colour) -> None:
        self.draw.line(points, fill=OUTLINE, width=self.line + 2 * self.stroke)
        self.draw.line(points, fill=colour, width=self.line)

    def circle(self, x: float, y: float, r: float, colour) -> None:
        self.draw.ellipse([x - r, y - r, x + r, y + r], outline=colour, width=self.line)

    def panel(self, corner: str, lines: list[tuple[str, tuple]], font=None) -> None:
        """Lines of text on a dark panel at a corner ('top-left', 'bottom-left')."""
        font = font or self.font
        margin = self.ring
        heights = [self.draw.textbbox((0, 0), text, font=font)[3] for text, _ in lines]
        step = max(heights) * 1.25
        width = max(self.draw.textlength(_drawable(text), font=font) for text, _ in lines)
        top = margin if corner == "top-left" else self.height - margin - step * len(lines)
        self.draw.rectangle([margin / 2, top - margin / 2, margin * 1.5 + width, top + step * len(lines)],
                            fill=(0, 0, 0))
        for k, (text, colour) in enumerate(lines):
            self.text((margin, top + k * step), text, colour, font)


def _shaded_picture(prepared) -> Image.Image:
    """The stretched photo as RGB with the left-out pixels tinted red: one
    lookup of grey and left-out bit into a 512-colour table, no per-channel
    passes over the frame."""
    grey = _stretch_table(prepared.image)[prepared.image]
    levels = np.arange(256, dtype=np.float32)[:, None]
    colours = np.empty((512, 3), dtype=np.uint8)
    colours[:256] = levels.astype(np.uint8)
    colours[256:] = (levels * (1.0 - EXCLUDED_OPACITY) + np.asarray(EXCLUDED) * EXCLUDED_OPACITY + 0.5).astype(np.uint8)
    index = np.left_shift(np.asarray(prepared.excluded, dtype=bool).view(np.uint8), 8, dtype=np.uint16)
    index |= grey
    return Image.fromarray(np.take(colours, index, axis=0), "RGB")


def _caption(prepared, fix, utc, failure: str | None, total=None) -> list[tuple[str, tuple]]:
    if isinstance(utc, (tuple, list)):
        seconds = float(utc[5])
        utc = datetime.datetime(*map(int, utc[:5]), tzinfo=datetime.timezone.utc) + datetime.timedelta(seconds=seconds)
    if fix is None:
        lines = [("no fix", FAILED)]
        for part in (failure or "").removeprefix("no fix: ").split("; "):
            if part:
                lines.append((part, FAILED))
        lines.append((f"{counted(len(prepared.detections), 'detection')} used", ZENITH))
        return lines + ([(utc_text(utc), ZENITH)] if utc is not None else [])
    major, minor, orientation = fix.ellipse_2sigma_nm if total is None else total.ellipse_2sigma_nm
    return [
        (f"{format_position(fix.latitude_deg, fix.longitude_deg)}", IDENTIFIED),
        (f"2-sigma ellipse {major:.2f} x {minor:.2f} nm, axis {axis_bearing_deg(orientation):05.1f}° true", ZENITH),
        *([(f"vertical {total.up_sigma_arcmin:.3g}', clock {total.time_sigma_s:.3g} s, stars"
            f" {total.star_sigma_arcmin:.2f}' counted", ZENITH)] if total is not None else []),
        (f"{counted(len(fix.matched_hr_ids), 'star')} identified of"
         f" {counted(len(prepared.detections), 'detection')}", ZENITH),
        *([(utc_text(utc), ZENITH)] if utc is not None else []),
    ]


def overlay(prepared, fix=None, utc=None, catalog=None, message: str | None = None, *, failure: str | None = None,
            hr_numbers: bool = False, total=None):
    """The annotated picture as a PIL RGB image of the photo's size.

    prepared: a halvane_tools.photo.PreparedPhoto; fix, utc, catalog: the
    fix with its time and catalogue, to label the identified stars and put
    N, E, S, W on the horizon (fix None: neither); failure: why there is no
    fix, written in the caption; message: one more line for the caption;
    hr_numbers: the labels add each star's HR number; total: the fix's total
    uncertainty (halvane_tools.uncertainty), whose ellipse the caption gives."""
    picture = _shaded_picture(prepared)
    pen = _Pen(picture)
    for altitude, colour in ((0.0, HORIZON), (prepared.min_altitude_deg, ALTITUDE_CUT)):
        for run in _altitude_circle(prepared, altitude):
            if len(run) > 1:
                pen.polyline(run, colour)
    camera = prepared.lens.camera(prepared.width, prepared.height)
    ring = pen.ring
    zenith = camera.vec_to_pixel(_horizontal_basis(prepared.up_cam)[2])
    if zenith is not None and all(np.isfinite(zenith)):
        zx, zy = zenith
        pen.polyline([(zx - 2 * ring, zy), (zx + 2 * ring, zy)], ZENITH)
        pen.polyline([(zx, zy - 2 * ring), (zx, zy + 2 * ring)], ZENITH)
    for x, y, _ in prepared.detections:
        pen.circle(x, y, ring, DETECTION)

    caption = _caption(prepared, fix, utc, failure, total)
    if message:
        caption.append((message, ZENITH))
    pen.panel("top-left", caption)
    legend = [("detection", DETECTION), ("identified star", IDENTIFIED), ("horizon", HORIZON),
              (f"altitude cut {prepared.min_altitude_deg:g}°", ALTITUDE_CUT), ("left out", EXCLUDED)]
    pen.panel("bottom-left", legend, pen.small)
    if zenith is not None and all(np.isfinite(zenith)):
        pen.label(zenith[0], zenith[1], ring, "zenith", ZENITH)

    placed = place_stars(prepared, fix, utc, catalog) if fix is not None and utc is not None and catalog else None
    if placed is not None:
        altitude = math.radians(max(COMPASS_ALTITUDE_DEG, 0.0))
        up = _horizontal_basis(prepared.up_cam)[2]
        north, east = np.asarray(placed.north_cam), np.asarray(placed.east_cam)
        for letter, direction in (("N", north), ("E", east), ("S", -north), ("W", -east)):
            xy = camera.vec_to_pixel(math.cos(altitude) * direction + math.sin(altitude) * up)
            if xy is not None and all(np.isfinite(xy)) and 0 <= xy[0] < pen.width and 0 <= xy[1] < pen.height:
                pen.text(xy, letter, HORIZON, anchor="mm")
        r = ring + 2 * pen.line + 1
        for star in placed.stars:
            pen.circle(star.x, star.y, r, IDENTIFIED)
            pen.taken.append((star.x - r, star.y - r, star.x + r, star.y + r))  # no label over another star
        # Brightest first: when labels crowd, the names a reader knows win.
        for star in sorted(placed.stars, key=lambda s: catalog.star(s.hr)[2]):
            pen.label(star.x, star.y, r + pen.line + 2, star_name(star.hr, hr_numbers), IDENTIFIED)
    return picture


def save(picture: Image.Image, path: str | Path) -> None:
    """Writes JPEG for a .jpg or .jpeg path, PNG for any other."""
    if Path(path).suffix.lower() in JPEG_SUFFIXES:
        picture.save(path, format="JPEG", quality=90)
    else:
        Path(path).write_bytes(png_bytes(picture))


# Overlays are looked at, not archived: the fastest compression with rows
# unfiltered and run-length matching (choosing a filter per row costs more
# than it saves on a noisy sky). imagecodecs' encoder takes those settings;
# Pillow, which always chooses filters, is the fallback.
PNG_SETTINGS = {"level": 1, "strategy": 3, "filter": 8}  # speed, RLE, no filter


def png_bytes(picture: Image.Image) -> bytes:
    """An RGB picture as PNG file bytes."""
    picture = picture.convert("RGB") if picture.mode != "RGB" else picture
    try:
        import imagecodecs
    except ImportError:
        out = io.BytesIO()
        picture.save(out, format="PNG", compress_level=1)
        return out.getvalue()
    return bytes(imagecodecs.png_encode(np.asarray(picture), **PNG_SETTINGS))


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


def nice_length(most: float) -> float:
    """The longest 1, 2 or 5 times a power of ten that is at most `most` (> 0)."""
    exponent = math.floor(math.log10(most))
    return max(m * 10.0**e for e in (exponent - 1, exponent) for m in (1, 2, 5) if m * 10.0**e <= most)


def median_fix(records) -> tuple[float, float] | None:
    """The median latitude and longitude of the records' fixes, or None
    without a fix. Longitudes are taken within 180° of the first fix's, so
    that a track across 180° has its median there and not on the far side
    of the Earth."""
    fixes = [(r["latitude_deg"], r["longitude_deg"]) for r in records if "error" not in r and r.get("utc")]
    if not fixes:
        return None
    lat, lon = np.array(fixes, dtype=np.float64).T
    lon = lon[0] + (lon - lon[0] + 180.0) % 360.0 - 180.0
    return float(np.median(lat)), (float(np.median(lon)) + 180.0) % 360.0 - 180.0


def track_figure(records):
    """The fixes of batch records on a map-like plot: latitude against
    longitude at the local scale, each fix with its 2-sigma ellipse,
    coloured by time, the median fix marked and a scale bar in nautical
    miles. Records with an error or without a time are left out. Returns
    (matplotlib Figure, how many fixes were drawn)."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.collections import LineCollection
    from matplotlib.figure import Figure
    from mpl_toolkits.axes_grid1.anchored_artists import AnchoredSizeBar

    fixes = sorted((datetime.datetime.fromisoformat(r["utc"]), r["latitude_deg"], r["longitude_deg"],
                    r["ellipse_2sigma_nm"]) for r in records if "error" not in r and r.get("utc"))
    figure = Figure(figsize=(8.0, 7.0), dpi=120)
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    axes.set_xlabel("longitude (° east)")
    axes.set_ylabel("latitude (° north)")
    if not fixes:
        axes.set_title("no fix")
        return figure, 0
    times = np.array([(t - fixes[0][0]).total_seconds() / 3600.0 for t, *_ in fixes])
    lat = np.array([f[1] for f in fixes])
    middle_lat, middle_lon = median_fix(records)
    # Longitudes unwrapped about the median fix, so a track across 180° stays whole.
    lon = np.array([middle_lon + (f[2] - middle_lon + 180.0) % 360.0 - 180.0 for f in fixes])
    outlines = [ellipse_outline(la, lo, f[3]) for la, lo, f in zip(lat, lon, fixes)]
    colours = LineCollection(outlines, cmap="viridis", linewidths=0.6, alpha=0.6)
    colours.set_array(times)
    axes.add_collection(colours)
    dots = axes.scatter(lon, lat, c=times, cmap="viridis", s=6, zorder=3)
    axes.plot([middle_lon], [middle_lat], "+", color="#d02020", markersize=16, markeredgewidth=2, zorder=4,
              label=f"median fix {format_position(middle_lat, middle_lon)}")
    axes.legend(loc="best", fontsize="small")
    axes.autoscale_view()
    # One nautical mile the same length both ways at the track's latitude.
    nm_per_lon_deg = 60.0 * max(math.cos(math.radians(middle_lat)), 1e-3)
    axes.set_aspect(60.0 / nm_per_lon_deg, adjustable="datalim")
    bar = figure.colorbar(dots, ax=axes)
    bar.set_label(f"hours after {fixes[0][0]:%Y-%m-%d %H:%M:%S} UTC")
    axes.apply_aspect()  # the limits the picture will have, colour bar and aspect settled
    left, right = axes.get_xlim()
    length_nm = nice_length(max((right - left) * nm_per_lon_deg / 4.0, 1e-6))
    axes.add_artist(AnchoredSizeBar(axes.transData, length_nm / nm_per_lon_deg, f"{length_nm:g} nm", "lower right",
                                    pad=0.6, sep=4, frameon=True, size_vertical=0.0))
    axes.set_title(f"{len(fixes)} fixes with their total 2-sigma ellipses")
    axes.grid(True, linewidth=0.3)
    return figure, len(fixes)


def plot_track(records, path) -> int:
    """Writes :func:`track_figure` of the records to path (PNG); returns
    how many fixes were drawn."""
    figure, drawn = track_figure(records)
    figure.savefig(path)
    return drawn


def _magnification(residuals_px: np.ndarray, size_px: int) -> float:
    """1, 2 or 5 times a power of ten that draws a typical large residual
    about 3 % of the picture long."""
    typical = max(float(np.percentile(residuals_px, 90)), 1e-3)
    return nice_length(0.03 * size_px / typical)


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
