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


class UtcRangeError(ValueError):
    """A time that is valid ISO 8601 but falls outside the years 1 to 9999 in UTC."""


def parse_utc(text: str) -> datetime.datetime:
    """ISO 8601; a time without an offset is taken as UTC. UtcRangeError
    (a ValueError) when its UTC falls outside the years 1 to 9999."""
    when = datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    if not when.tzinfo:
        return when.replace(tzinfo=datetime.timezone.utc)
    try:  # 9999-12-31T23:59:59-14:00 reads, but no datetime holds its UTC
        when.astimezone(datetime.timezone.utc)
    except OverflowError:
        raise UtcRangeError(f"{text!r} falls outside the years 1 to 9999 in UTC") from None
    return when


# The engine's failures that are the sky's answer to a sound question; the
# others (a bad position, a degenerate vertical, an unreadable image or
# catalogue) are about what the caller gave, not "no fix".
SKY_FAILURES = ("insufficient stars", "star pattern match", "no star pattern match", "observation geometry",
                "thin lock", "stated lens cannot support")


def failure_text(error: BaseException) -> str:
    """The one line of a failed solve: 'no fix: ...' when the sky gave none,
    the engine's own text when the input was at fault."""
    text = str(error)
    return f"no fix: {text}" if text.startswith(SKY_FAILURES) else text


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


def fix_record(fix, prepared, elapsed_s: float) -> dict:
    """The --json object of a fix."""
    major, minor, orientation = fix.ellipse_2sigma_nm
    return {
        "latitude_deg": fix.latitude_deg,
        "longitude_deg": fix.longitude_deg,
        "ellipse_2sigma_nm": [major, minor, orientation],
        "covariance": fix.covariance,
        "matched_hr_ids": fix.matched_hr_ids,
        "match_margin": fix.match_margin,
        "residual_rms_arcmin": math.degrees(fix.residual_rms_rad) * 60.0,
        "used_sun": fix.used_sun,
        "n_detections": len(prepared.detections),
        "elapsed_s": elapsed_s,
    }


def describe_fix(fix, elapsed_s: float, truth: tuple[float, float] | None = None) -> list[str]:
    """The lines of a fix (with its error when the truth is known)."""
    major, minor, orientation = fix.ellipse_2sigma_nm
    lines = [f"  fix         {format_position(fix.latitude_deg, fix.longitude_deg)}"
             f"   ({fix.latitude_deg:.5f}, {fix.longitude_deg:.5f})"]
    if truth is not None:
        error_nm = halvane.great_circle_nm(truth[0], truth[1], fix.latitude_deg, fix.longitude_deg)
        lines.append(f"  truth       {format_position(*truth)}   ({truth[0]:.5f}, {truth[1]:.5f})")
        lines.append(f"  error       {error_nm:.2f} nm ({error_nm * NM_TO_KM:.2f} km)")
    lines += [
        f"  2-sigma     {major:.2f} x {minor:.2f} nm ellipse, major axis {orientation % 180.0:05.1f}° true",
        f"  stars       {len(fix.matched_hr_ids)} identified (HR {', '.join(map(str, fix.matched_hr_ids))}),"
        f" vote margin {fix.match_margin}" + (", Sun used" if fix.used_sun else ""),
        f"  residual    {math.degrees(fix.residual_rms_rad) * 60.0:.2f}' rms after {fix.n_iterations} iterations",
        f"  time        {elapsed_s * 1000.0:.1f} ms to detect, identify and solve",
    ]
    return lines


def describe_photo(name: str, prepared, utc: datetime.datetime, fix, elapsed_s: float) -> list[str]:
    """The lines of `halvane solve`: the photo, what was left out, the fix."""
    excluded = 100.0 * prepared.excluded.mean()
    return [
        f"halvane: {name}, {prepared.width} x {prepared.height} px, {utc_text(utc)}",
        f"  sky         {len(prepared.detections)} detections used; {excluded:.0f} % of the frame left out"
        f" (below {prepared.min_altitude_deg:g}° or outside the field, mask, glare)",
        *describe_fix(fix, elapsed_s),
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
