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

NM_TO_KM = 1.852


def parse_utc(text: str) -> datetime.datetime:
    """ISO 8601; a time without an offset is taken as UTC."""
    when = datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    return when if when.tzinfo else when.replace(tzinfo=datetime.timezone.utc)


def utc_text(when: datetime.datetime) -> str:
    """'2026-01-15 21:00:05 UTC' for any aware datetime, whatever its offset."""
    return f"{when.astimezone(datetime.timezone.utc):%Y-%m-%d %H:%M:%S} UTC"


def _dms(value: float, positive: str, negative: str, degree_digits: int) -> str:
    """40.0012 -> 40°00.1'N: degrees and decimal minutes, as charts print them."""
    hemisphere = positive if value >= 0 else negative
    minutes = round(abs(value) * 60.0, 1)
    degrees, minutes = divmod(minutes, 60.0)
    return f"{int(degrees):0{degree_digits}d}°{minutes:04.1f}'{hemisphere}"


def format_position(lat_deg: float, lon_deg: float) -> str:
    return f"{_dms(lat_deg, 'N', 'S', 2)} {_dms(lon_deg, 'E', 'W', 3)}"


def fix_record(fix, prepared, elapsed_s: float, total=None) -> dict:
    """The --json object of a fix. With its total uncertainty (an
    ``uncertainty.Uncertainty``), ellipse_2sigma_nm and covariance are the
    total's, the module's own figures (star errors alone, at the assumed
    sigma) are stars_ellipse_2sigma_nm and stars_covariance, and the terms of
    the total are under uncertainty."""
    major, minor, orientation = fix.ellipse_2sigma_nm
    record = {
        "latitude_deg": fix.latitude_deg,
        "longitude_deg": fix.longitude_deg,
        "ellipse_2sigma_nm": [major, minor, orientation],
        "covariance": fix.covariance,
    }
    if total is not None:
        record["ellipse_2sigma_nm"] = list(total.ellipse_2sigma_nm)
        record["covariance"] = [list(row) for row in total.covariance]
        record["stars_ellipse_2sigma_nm"] = [major, minor, orientation]
        record["stars_covariance"] = fix.covariance
    record.update({
        "matched_hr_ids": fix.matched_hr_ids,
        "match_margin": fix.match_margin,
        "residual_rms_arcmin": math.degrees(fix.residual_rms_rad) * 60.0,
        "used_sun": fix.used_sun,
        "n_detections": len(prepared.detections),
        "elapsed_s": elapsed_s,
    })
    if total is not None:
        record["uncertainty"] = total.record()
    return record


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


def describe_fix(fix, elapsed_s: float, truth: tuple[float, float] | None = None, total=None) -> list[str]:
    """The lines of a fix (with its error when the truth is known). With its
    total uncertainty the ellipse is the total's, the stars' own beside it."""
    major, minor, orientation = fix.ellipse_2sigma_nm if total is None else total.ellipse_2sigma_nm
    lines = [f"  fix         {format_position(fix.latitude_deg, fix.longitude_deg)}"
             f"   ({fix.latitude_deg:.5f}, {fix.longitude_deg:.5f})"]
    if truth is not None:
        error_nm = halvane.great_circle_nm(truth[0], truth[1], fix.latitude_deg, fix.longitude_deg)
        lines.append(f"  truth       {format_position(*truth)}   ({truth[0]:.5f}, {truth[1]:.5f})")
        lines.append(f"  error       {error_nm:.2f} nm ({error_nm * NM_TO_KM:.2f} km)")
    ellipse = f"  2-sigma     {major:.2f} x {minor:.2f} nm ellipse, major axis {orientation % 180.0:05.1f}° true"
    if total is not None:
        stars_major, stars_minor, _ = fix.ellipse_2sigma_nm
        ellipse += f" (star errors alone, as assumed: {stars_major:.2f} x {stars_minor:.2f} nm)"
    lines.append(ellipse)
    if total is not None:
        lines += describe_uncertainty(total)
    lines += [
        f"  stars       {len(fix.matched_hr_ids)} identified (HR {', '.join(map(str, fix.matched_hr_ids))}),"
        f" vote margin {fix.match_margin}" + (", Sun used" if fix.used_sun else ""),
        f"  residual    {math.degrees(fix.residual_rms_rad) * 60.0:.2f}' rms after {fix.n_iterations} iterations",
        f"  time        {elapsed_s * 1000.0:.1f} ms to detect, identify and solve",
    ]
    return lines


def describe_photo(name: str, prepared, utc: datetime.datetime, fix, elapsed_s: float, total=None) -> list[str]:
    """The lines of `halvane solve`: the photo, what was left out, the fix."""
    excluded = 100.0 * prepared.excluded.mean()
    return [
        f"halvane: {name}, {prepared.width} x {prepared.height} px, {utc_text(utc)}",
        f"  sky         {len(prepared.detections)} detections used; {excluded:.0f} % of the frame left out"
        f" (below {prepared.min_altitude_deg:g}° or outside the field, mask, glare)",
        *describe_fix(fix, elapsed_s, total=total),
    ]


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
    recorded = lens.uncertainty
    if recorded is not None and recorded.up_sigma_arcmin is not None:
        lines.append(f"  uncertainty vertical {recorded.up_sigma_arcmin:.3f} arcmin per axis, focal"
                     f" {recorded.focal_sigma_px:.3f} px (1 sigma); a fixed mount's vertical drifts"
                     f" {recorded.up_drift_arcmin_per_year:.1f} arcmin per axis a year")
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
