"""The lens file: a JSON object with the lens keywords of
``halvane.resolve_fix``, for example ::

    {"focal_px": 905.2, "cx": 1416.3, "cy": 1415.8, "fisheye_fov_deg": 190,
     "k1": -0.0213, "k2": 0.0011, "k3": 0.0, "k4": 0.0,
     "up_cam": [0.0123, -0.0051, 0.9999]}

Every key is optional. ``cx`` and ``cy`` default to the centre of the photo;
``fisheye_fov_deg`` absent or null means a pinhole; ``focal_px`` is left out
for the ideal fisheye (whose focal fills the shorter side) and required
otherwise, as ``resolve_fix`` says. ``up_cam``, the vertical in the camera
frame, is for a camera fixed on its mount: it stands in for an up vector
not given. ``halvane calibrate`` writes all of these, under ``calibration``
what the fit was made from (that object is not read), and under
``uncertainty`` how well the fit knows the lens and the vertical::

    "uncertainty": {"up_sigma_arcmin": 0.04, "focal_sigma_px": 0.02,
                    "utc": "2026-03-01T22:10:00+00:00"}

up_sigma_arcmin is the fitted vertical's standard deviation along each
horizontal axis, focal_sigma_px the focal's; a fixed mount's vertical then
drifts from the time of the calibration, ``utc``, by MOUNT_DRIFT_ARCMIN_PER_YEAR
per axis, or by the file's own ``up_drift_arcmin_per_year`` (0 for a mount
known not to move). A lens known only roughly can say so by hand with a
focal_sigma_px. Each key is optional, and so is the object: files without it
solve as before.
"""
from __future__ import annotations

import dataclasses
import datetime
import json
import math
from pathlib import Path

import halvane

from .files import read_text

KEYS = ("focal_px", "cx", "cy", "fisheye_fov_deg", "k1", "k2", "k3", "k4")
FILE_KEYS = KEYS + ("up_cam", "calibration", "uncertainty")
# A lens file is a few hundred bytes; a calibration's record beside it a few kilobytes.
MAX_LENS_FILE_BYTES = 1024 * 1024
# How far off the photo a principal point may lie, in frame sizes (the
# larger side): far beyond any decentred or cropped lens.
MAX_CENTRE_OFFSET_FRAMES = 10


# A fixed mount drifts: one camera's vertical moved 4.4 arcmin in a year,
# taken as the rms of a tilt whose two horizontal components each grow by
# 4.4 / sqrt(2) arcmin a year.
MOUNT_DRIFT_ARCMIN_PER_YEAR = 4.4 / math.sqrt(2.0)


class LensError(ValueError):
    """A lens that cannot be used; the text is one line for the user."""


def _finite_number(value) -> bool:
    """An int or float that is finite as a float (a huge int is not)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return False
    try:
        return math.isfinite(float(value))
    except OverflowError:
        return False


def _shown(value) -> str:
    """value's repr, cut short: a lens file may hold a number of thousands of digits."""
    text = repr(value)
    return text if len(text) <= 40 else f"{text[:20]}...({len(text)} characters)"


@dataclasses.dataclass(frozen=True)
class LensUncertainty:
    """How well a calibration knows the lens and the vertical (see the
    module's documentation); None where it does not say."""

    up_sigma_arcmin: float | None = None
    focal_sigma_px: float | None = None
    up_drift_arcmin_per_year: float | None = None
    utc: str | None = None  # ISO 8601 with its offset

    def __post_init__(self):
        for key in ("up_sigma_arcmin", "focal_sigma_px", "up_drift_arcmin_per_year"):
            value = getattr(self, key)
            if value is None:
                continue
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value < 0:
                raise LensError(f"uncertainty {key} must be a finite number >= 0 (got {value!r})")
        if self.utc is not None:
            try:
                when = datetime.datetime.fromisoformat(self.utc) if isinstance(self.utc, str) else None
            except ValueError:
                when = None
            if when is None or when.tzinfo is None:
                raise LensError(f"uncertainty utc must be an ISO 8601 time with its UTC offset (got {self.utc!r})")

    @property
    def when(self) -> datetime.datetime | None:
        return None if self.utc is None else datetime.datetime.fromisoformat(self.utc)


@dataclasses.dataclass(frozen=True)
class Lens:
    """A lens in resolve_fix's terms; cx and cy None mean the photo's centre."""

    focal_px: float | None = None
    cx: float | None = None
    cy: float | None = None
    fisheye_fov_deg: float | None = None
    k1: float = 0.0
    k2: float = 0.0
    k3: float = 0.0
    k4: float = 0.0
    up_cam: tuple[float, float, float] | None = None
    uncertainty: LensUncertainty | None = None

    def __post_init__(self):
        for key in KEYS:
            value = getattr(self, key)
            optional = key in ("focal_px", "cx", "cy", "fisheye_fov_deg")
            if value is None and optional:
                continue
            if not _finite_number(value):
                raise LensError(f"{key} must be a finite number (got {_shown(value)})")
        if self.fisheye_fov_deg is not None and not 0 < self.fisheye_fov_deg <= 360:
            raise LensError(f"fisheye_fov_deg must be in (0, 360] (got {self.fisheye_fov_deg!r})")
        if self.focal_px is not None and self.focal_px <= 0:
            raise LensError(f"focal_px must be positive (got {self.focal_px!r})")
        if self.focal_px is None and (self.fisheye_fov_deg is None or self.is_calibrated):
            kind = "a pinhole" if self.fisheye_fov_deg is None else "a calibrated fisheye (non-zero k1..k4)"
            raise LensError(f"focal_px is required for {kind}")
        if self.up_cam is not None:
            up = tuple(self.up_cam) if isinstance(self.up_cam, (list, tuple)) else ()
            if len(up) != 3 or not all(_finite_number(v) for v in up) or not any(up):
                raise LensError(f"up_cam must be three finite numbers, not all zero (got {_shown(self.up_cam)})")
            object.__setattr__(self, "up_cam", tuple(float(v) for v in up))
        if isinstance(self.uncertainty, dict):
            unknown = sorted(set(self.uncertainty) - {f.name for f in dataclasses.fields(LensUncertainty)})
            if unknown:
                raise LensError(f"unknown uncertainty key {unknown[0]!r}; the keys are"
                                f" {', '.join(f.name for f in dataclasses.fields(LensUncertainty))}")
            object.__setattr__(self, "uncertainty", LensUncertainty(**self.uncertainty))
        elif self.uncertainty is not None and not isinstance(self.uncertainty, LensUncertainty):
            raise LensError(f"uncertainty must be an object (got {self.uncertainty!r})")

    @property
    def is_calibrated(self) -> bool:
        return any(k != 0.0 for k in (self.k1, self.k2, self.k3, self.k4))

    def centred(self, width: int, height: int) -> "Lens":
        """The lens with the principal point defaulted to the photo's centre.
        A principal point more than MAX_CENTRE_OFFSET_FRAMES frame sizes off
        the photo is refused: no lens puts it there, and the pixel passes
        would size their tables by the distance."""
        for key, size in (("cx", width), ("cy", height)):
            value = getattr(self, key)
            reach = MAX_CENTRE_OFFSET_FRAMES * max(width, height)
            if value is not None and not -reach <= value <= size + reach:
                side = "wide" if key == "cx" else "high"
                raise LensError(f"{key} must lie within {MAX_CENTRE_OFFSET_FRAMES} frame sizes of the photo,"
                                f" -{reach} to {size + reach} px on this {size} px {side} photo (got {_shown(value)})")
        return dataclasses.replace(
            self,
            cx=width / 2 if self.cx is None else self.cx,
            cy=height / 2 if self.cy is None else self.cy,
        )

    def keywords(self) -> dict:
        """focal_px, cx, cy and the keyword arguments of resolve_fix. The
        ideal fisheye's focal_px is None, as resolve_fix wants it."""
        ideal = self.fisheye_fov_deg is not None and not self.is_calibrated
        return {
            "focal_px": None if ideal else self.focal_px,
            "cx": self.cx,
            "cy": self.cy,
            "fisheye_fov_deg": self.fisheye_fov_deg,
            "k1": self.k1,
            "k2": self.k2,
            "k3": self.k3,
            "k4": self.k4,
        }

    def camera(self, width: int, height: int):
        """The halvane.Camera this lens gives on a width x height photo."""
        k = self.centred(width, height).keywords()
        return halvane.Camera(k.pop("focal_px"), k.pop("cx"), k.pop("cy"), width=width, height=height, **k)


def read_lens(path: str | Path) -> Lens:
    """The Lens of a lens file; LensError with a one-line reason otherwise."""
    path = Path(path)
    try:
        text = read_text(path, MAX_LENS_FILE_BYTES)
    except (OSError, UnicodeDecodeError) as e:
        raise LensError(f"cannot read lens file {path}: {getattr(e, 'strerror', None) or e}") from None
    try:
        data = json.loads(text)
    except json.JSONDecodeError as e:
        raise LensError(f"lens file {path} is not JSON: {e.msg} at line {e.lineno} column {e.colno}") from None
    except RecursionError:
        raise LensError(f"lens file {path} is not a lens: its JSON is nested too deeply") from None
    except ValueError as e:  # an integer of more digits than Python converts
        raise LensError(f"lens file {path} is not a lens: {str(e).splitlines()[0]}") from None
    if not isinstance(data, dict):
        raise LensError(f"lens file {path} must hold a JSON object with keys among {', '.join(KEYS)}")
    unknown = sorted(set(data) - set(FILE_KEYS))
    if unknown:
        raise LensError(f"lens file {path}: unknown key {unknown[0]!r}; the keys are {', '.join(FILE_KEYS)}")
    data.pop("calibration", None)
    try:
        return Lens(**data)
    except LensError as e:
        raise LensError(f"lens file {path}: {e}") from None


def as_lens(lens) -> Lens:
    """A Lens, a lens file's path, or a dict of lens keywords, as a Lens."""
    if isinstance(lens, Lens):
        return lens
    if isinstance(lens, (str, Path)):
        return read_lens(lens)
    if isinstance(lens, dict):
        return Lens(**lens)
    raise LensError(f"lens must be a Lens, a lens file or a dict of lens keywords (got {type(lens).__name__})")
