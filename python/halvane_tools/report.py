"""The record of a fix and its words: the JSON object of ``solve --json``
and of every batch line (:func:`fix_record`), and the lines the commands
print (:func:`describe_fix`, :func:`describe_photo`,
:func:`describe_calibration`, :class:`Summary`)."""
from __future__ import annotations

import datetime
import math
import time
from pathlib import Path

import halvane

from .lens import MOUNT_DRIFT_ARCMIN_PER_YEAR
from .sky import place_stars, star_name
from .times import ASSUMED_UTC, UtcRangeError, parse_utc, utc_text  # noqa: F401  (re-exported: the record's time words)

NM_TO_KM = 1.852


# The engine's failures that are the sky's answer to a sound question; the
# others (a bad position, a degenerate vertical, an unreadable image or
# catalogue) are about what the caller gave, not "no fix".
SKY_FAILURES = ("insufficient stars", "star pattern match", "no star pattern match", "observation geometry",
                "thin lock", "stated lens cannot support")


def residual_arcmin(fix) -> float:
    """The rms scatter of a fix's stars about it, arcminutes."""
    return math.degrees(fix.residual_rms_rad) * 60.0


def failure_text(error: BaseException) -> str:
    """The one line of a failed solve: 'no fix: ...' when the sky gave none,
    the engine's own text when the input was at fault."""
    text = str(error)
    return f"no fix: {text}" if text.startswith(SKY_FAILURES) else text


def counted(n: int, noun: str, plural: str | None = None) -> str:
    """'1 star', '0 stars', '3 stars'."""
    return f"{n} {noun if n == 1 else plural or noun + 's'}"


def _dms(value: float, positive: str, negative: str, degree_digits: int) -> str:
    """40.0012 -> 40°00.1'N: degrees and decimal minutes, as charts print them."""
    hemisphere = positive if value >= 0 else negative
    minutes = round(abs(value) * 60.0, 1)
    degrees, minutes = divmod(minutes, 60.0)
    return f"{int(degrees):0{degree_digits}d}°{minutes:04.1f}'{hemisphere}"


def format_position(lat_deg: float, lon_deg: float) -> str:
    return f"{_dms(lat_deg, 'N', 'S', 2)} {_dms(lon_deg, 'E', 'W', 3)}"


def axis_bearing_deg(orientation_deg: float) -> float:
    """An ellipse's axis as a bearing in [0, 180): an axis has two ends, so
    its direction and the opposite one are the same axis."""
    return orientation_deg % 180.0


# What a quality figure means, from the word a reader sees. Margins are the
# matcher's vote gap; residuals are compared with the photo's pixel where known.
GOOD, FAIR, WEAK = "good", "fair", "weak"


def quality_words(fix, pixel_arcmin: float | None = None) -> dict[str, str]:
    """One word for each quality figure of a fix and the worst of them:
    stars (how many were identified), margin (how far the winning
    identification led its nearest rival), residual (the stars' rms scatter
    about the fix, in pixels when pixel_arcmin is given), overall."""
    n = len(fix.matched_hr_ids)
    stars = GOOD if n >= 10 else FAIR if n >= 6 else WEAK
    margin = GOOD if fix.match_margin >= 3 else FAIR if fix.match_margin >= 1 else WEAK
    rms_arcmin = residual_arcmin(fix)
    if pixel_arcmin:
        residual_px = rms_arcmin / pixel_arcmin
        residual = GOOD if residual_px <= 1.0 else FAIR if residual_px <= 2.0 else WEAK
    else:
        residual = GOOD if rms_arcmin <= 3.0 else FAIR if rms_arcmin <= 8.0 else WEAK
    order = (GOOD, FAIR, WEAK)
    return {"stars": stars, "margin": margin, "residual": residual,
            "overall": max((stars, margin, residual), key=order.index)}


def pixel_arcmin(prepared) -> float:
    """The photo's pixel at its principal point, arcminutes."""
    return math.degrees(1.0 / prepared.lens.camera(prepared.width, prepared.height).effective_focal_px) * 60.0


def fix_record(fix, prepared, elapsed_s: float, *, file=None, utc=None, catalog=None, total=None) -> dict:
    """The --json object of a fix. With file and utc given, they lead the
    record; with the catalogue, so do the pointing (the camera axis's
    altitude and azimuth) and each identified star's residual. With its total
    uncertainty (an ``uncertainty.Uncertainty``), ellipse_2sigma_nm and
    covariance are the total's, the module's own figures (star errors alone,
    at the assumed sigma) are stars_ellipse_2sigma_nm and stars_covariance,
    and the terms of the total are under uncertainty."""
    major, minor, orientation = fix.ellipse_2sigma_nm
    record = {} if file is None else {"file": str(file)}
    if isinstance(utc, datetime.datetime):
        record["utc"] = utc.astimezone(datetime.timezone.utc).isoformat()
    record.update({
        "latitude_deg": fix.latitude_deg,
        "longitude_deg": fix.longitude_deg,
        "ellipse_2sigma_nm": [major, minor, axis_bearing_deg(orientation)],
        "covariance": fix.covariance,
    })
    if total is not None:
        total_major, total_minor, total_orientation = total.ellipse_2sigma_nm
        record["ellipse_2sigma_nm"] = [total_major, total_minor, axis_bearing_deg(total_orientation)]
        record["covariance"] = [list(row) for row in total.covariance]
        record["stars_ellipse_2sigma_nm"] = [major, minor, axis_bearing_deg(orientation)]
        record["stars_covariance"] = fix.covariance
    record.update({
        "matched_hr_ids": fix.matched_hr_ids,
        "match_margin": fix.match_margin,
        "residual_rms_arcmin": residual_arcmin(fix),
        "used_sun": fix.used_sun,
        "n_detections": len(prepared.detections),
        "elapsed_s": elapsed_s,
        "quality": quality_words(fix, pixel_arcmin(prepared)),
    })
    if utc is not None and catalog is not None:
        placed = place_stars(prepared, fix, utc, catalog)
        if placed is not None:
            record["pointing"] = {"altitude_deg": placed.axis_altitude_deg, "azimuth_deg": placed.axis_azimuth_deg}
            record["stars"] = [{"hr": star.hr, "name": star_name(star.hr), "x": star.x, "y": star.y,
                                "residual_px": star.residual_px, "residual_arcmin": star.residual_arcmin}
                               for star in placed.stars]
    if total is not None:
        record["uncertainty"] = total.record()
    return record


# Below this share of the frame left as sky, the vertical or the altitude
# cut is the likelier fault than the sky itself.
NO_SKY_SHARE = 0.02


# Fewer detections than this with too few stars: say whether the stars were
# absent or below the detectors' floor.
FEW_DETECTIONS = 10


def spent_work_budget(error: BaseException) -> bool:
    """Whether a failed match gave up on the engine's work budget rather than
    finding no pattern (the texts are the same); followed through the errors
    a retry or a rewording raised from it."""
    seen = set()
    while error is not None and id(error) not in seen:
        if getattr(error, "_work_budget_spent", False):
            return True
        seen.add(id(error))
        error = error.__cause__ or error.__context__
    return False


def failure_hint(prepared, error) -> str:
    """What to check when a prepared photo gave no fix: one clause saying what
    most likely failed (no sky left, no detections, no match, the lens)."""
    text = str(error)
    sky_share = 1.0 - float(prepared.excluded.mean())
    if not prepared.detections:
        if float(prepared.below_horizon.mean()) > 1.0 - NO_SKY_SHARE:
            return (f"the altitude cut leaves no sky ({100.0 * sky_share:.0f} % of the frame kept): check --up"
                    " (x right, y down, z forward: a camera looking up has z > 0) and --min-altitude")
        if sky_share < NO_SKY_SHARE:
            return f"only {100.0 * sky_share:.0f} % of the frame is left as sky: check --mask and --min-altitude"
        return f"no star detected in the sky left: {prepared.why_few_stars()}"
    stars = counted(len(prepared.detections), "detection")
    if text.startswith("insufficient stars") and len(prepared.detections) < FEW_DETECTIONS:
        return f"only {stars}: {prepared.why_few_stars()}"
    if text.startswith("star pattern match is ambiguous"):
        return (f"{stars}, matching two places alike: give more stars (--max-centroids) or solve the night"
                " in order (halvane batch --tracked)")
    if spent_work_budget(error):
        return (f"{stars}, but the star pattern search ran out of its work budget before it could decide:"
                " a tighter --sigma or fewer stars (--max-centroids) narrow it, and a wrong lens"
                " (--fisheye-fov/--focal or --lens) widens it")
    if text.startswith(("insufficient stars", "no star pattern match", "thin lock")):
        return (f"{stars} but too few laid on catalogue stars: the lens is suspect; check --fisheye-fov/--focal"
                " (or --lens), --up and --utc")
    return f"{stars} used"


MEANINGS = {
    "stars": "identified stars: 10 or more is good, 6 to 9 fair, fewer weak",
    "margin": "how many more stars the winning identification explains than its nearest rival:"
              " 3 or more is good, 1 or 2 fair (often the same match missing a star), 0 weak (a tie)",
    "residual": "scatter of the stars about the fix: up to a pixel is good, up to two fair, more weak"
                " (a lens or vertical off)",
}


# Where a sigma came from, as the lines of a fix say it.
_VERTICAL_SOURCES = {"default": "the default; --up-sigma states it",
                     "lens file": "the lens file's fit, and the mount's drift since the calibration",
                     "given": "as stated"}
_CLOCK_SOURCES = {"default": "the default; --time-sigma states it", "given": "as stated"}


def describe_uncertainty(total) -> list[str]:
    """The lines of a total uncertainty: the 2-sigma semi-major axis of each
    of its terms, and how good the vertical and the clock were taken to be."""
    terms = total.record()
    sizes = ", ".join(f"{name} {terms[name]['ellipse_2sigma_nm'][0]:.2f}"
                      for name in ("stars", "vertical", "clock", "lens"))
    return [
        f"  made of     {sizes} nm; stars {total.star_sigma_arcmin:.2f}' each from the residuals"
        f" (assumed {total.assumed_sigma_arcmin:.2f}')",
        f"  vertical    taken as good to {total.up_sigma_arcmin:.3g} arcmin per axis"
        f" ({_VERTICAL_SOURCES.get(total.up_source, total.up_source)})",
        f"  clock       taken as good to {total.time_sigma_s:.3g} s"
        f" ({_CLOCK_SOURCES.get(total.time_source, total.time_source)})",
    ]


def describe_fix(fix, elapsed_s: float, truth: tuple[float, float] | None = None,
                 pixel_arcmin: float | None = None, total=None) -> list[str]:
    """The lines of a fix (with its error when the truth is known). With its
    total uncertainty the ellipse is the total's, the stars' own beside it."""
    major, minor, orientation = fix.ellipse_2sigma_nm if total is None else total.ellipse_2sigma_nm
    words = quality_words(fix, pixel_arcmin)
    lines = [f"  fix         {format_position(fix.latitude_deg, fix.longitude_deg)}"
             f"   ({fix.latitude_deg:.5f}, {fix.longitude_deg:.5f})"]
    if truth is not None:
        error_nm = halvane.great_circle_nm(truth[0], truth[1], fix.latitude_deg, fix.longitude_deg)
        lines.append(f"  truth       {format_position(*truth)}   ({truth[0]:.5f}, {truth[1]:.5f})")
        lines.append(f"  error       {error_nm:.2f} nm ({error_nm * NM_TO_KM:.2f} km)")
    rms_arcmin = residual_arcmin(fix)
    in_px = f" ({rms_arcmin / pixel_arcmin:.2f} px)" if pixel_arcmin else ""
    ellipse = (f"  2-sigma     ellipse with semi-axes {major:.2f} and {minor:.2f} nm, major axis"
               f" {axis_bearing_deg(orientation):05.1f}° true")
    if total is not None:
        stars_major, stars_minor, _ = fix.ellipse_2sigma_nm
        ellipse += f" (star errors alone, as assumed: {stars_major:.2f} and {stars_minor:.2f} nm)"
    lines.append(ellipse)
    if total is not None:
        lines += describe_uncertainty(total)
    lines += [
        f"  stars       {len(fix.matched_hr_ids)} identified ({', '.join(map(star_name, fix.matched_hr_ids))}),"
        f" {words['stars']}" + (", Sun used" if fix.used_sun else ""),
        f"  margin      {fix.match_margin} over the nearest rival identification, {words['margin']}",
        f"  residual    {rms_arcmin:.2f}'{in_px} rms after {fix.n_iterations} iterations, {words['residual']}",
        f"  quality     {words['overall']}" + ("" if words["overall"] == GOOD else
                                                 f": {'; '.join(MEANINGS[k] for k in MEANINGS if words[k] != GOOD)}"),
        f"  time        {elapsed_s * 1000.0:.1f} ms to detect, identify and solve",
    ]
    return lines


def describe_photo(name: str, prepared, utc: datetime.datetime, fix, elapsed_s: float, catalog=None,
                   total=None) -> list[str]:
    """The lines of `halvane solve`: the photo, what was left out, the fix."""
    excluded = 100.0 * prepared.excluded.mean()
    lines = [
        f"halvane: {name}, {prepared.width} x {prepared.height} px, {utc_text(utc)}",
        f"  sky         {len(prepared.detections)} detections used; {excluded:.0f} % of the frame left out"
        f" (below {prepared.min_altitude_deg:g}° or outside the field, mask, glare)",
        *describe_fix(fix, elapsed_s, pixel_arcmin=pixel_arcmin(prepared), total=total),
    ]
    placed = place_stars(prepared, fix, utc, catalog) if catalog is not None else None
    if placed is not None:
        lines.insert(2, f"  pointing    camera axis at altitude {placed.axis_altitude_deg:.1f}°,"
                        f" azimuth {placed.axis_azimuth_deg:05.1f}° true")
    return lines


def describe_calibration(name: str, result, lat_deg: float, lon_deg: float, elapsed_s: float) -> list[str]:
    """The lines of `halvane calibrate`: the stars, the fitted lens and vertical."""
    lens = result.lens
    lines = [
        f"halvane: {name}, {result.width} x {result.height} px, {utc_text(result.utc)},"
        f" {format_position(lat_deg, lon_deg)}",
        f"  stars       {result.n_stars} identified; residual median {result.median_residual_px:.3f} px,"
        f" rms {result.rms_residual_px:.3f} px",
        f"  focal       {lens.focal_px:.3f} px, centre ({lens.cx:.2f}, {lens.cy:.2f})",
    ]
    if lens.fisheye_fov_deg is not None:
        lines.append(f"  distortion  k1 {lens.k1:.6f}, k2 {lens.k2:.6f}, k3 {lens.k3:.6f}, k4 {lens.k4:.6f}")
    tilt = math.degrees(math.acos(max(-1.0, min(1.0, lens.up_cam[2]))))
    lines.append(f"  up_cam      ({lens.up_cam[0]:.6f}, {lens.up_cam[1]:.6f}, {lens.up_cam[2]:.6f}),"
                 f" {tilt:.3f}° from the optical axis")
    quality = getattr(result, "quality", None)
    if quality is not None:
        lines.append(f"  uncertainty vertical {quality.up_sigma_arcmin:.3f} arcmin per axis, focal"
                     f" {quality.sigma.get('focal_px', 0.0):.3f} px (1 sigma); on a fixed mount the vertical is"
                     f" taken to drift {MOUNT_DRIFT_ARCMIN_PER_YEAR:.1f} arcmin per axis a year")
    lines.append(f"  time        {elapsed_s:.1f} s")
    return lines


def outputs(*labelled: tuple[str, str | Path | None]) -> list[str]:
    """One line for each file written: '  label       path'."""
    return [f"  {label:<11} {path}" for label, path in labelled if path]


class Summary:
    """Counts and figures of the batch records seen, for the closing lines."""

    def __init__(self):
        self.solved, self.failed, self.reasons, self.fixes = 0, 0, {}, []
        self.start = time.perf_counter()

    def add(self, record: dict) -> None:
        if "error" in record:
            self.failed += 1
            reason = self.reason(record)
            self.reasons[reason] = self.reasons.get(reason, 0) + 1
        else:
            self.solved += 1
            self.fixes.append((record["latitude_deg"], record["longitude_deg"]))

    @staticmethod
    def reason(record: dict) -> str:
        """The kind of an error: 'no fix: insufficient stars', 'cannot read the image'."""
        text = record["error"].removeprefix(f"{record['file']}: ")
        head, _, rest = text.partition(": ")
        return f"{head}: {rest.partition(':')[0]}" if head in ("no fix", "not solved") else head

    def lines(self) -> list[str]:
        done = self.solved + self.failed
        seconds = time.perf_counter() - self.start
        lines = [f"  frames      {done} in {seconds:.1f} s ({done / seconds if seconds > 0 else 0.0:.2f} per second):"
                 f" {self.solved} solved, {self.failed} failed"]
        for reason, count in sorted(self.reasons.items(), key=lambda item: -item[1])[:5]:
            lines.append(f"  failed      {count} x {reason}")
        if self.fixes:
            lat = sorted(f[0] for f in self.fixes)[len(self.fixes) // 2]
            lon = sorted(f[1] for f in self.fixes)[len(self.fixes) // 2]
            spread = sorted(halvane.great_circle_nm(lat, lon, *f) for f in self.fixes)
            lines.append(f"  median fix  ({lat:.5f}, {lon:.5f}); half the fixes within {spread[len(spread) // 2]:.2f} nm"
                         f" of it, 95 % within {spread[min(len(spread) - 1, int(0.95 * len(spread)))]:.2f} nm")
        return lines
