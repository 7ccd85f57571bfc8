"""Where the catalogue's stars stand, seen from a place at a time: ERFA's
observed places (precession, nutation, aberration, refraction for the
site's air), which calibration fits a lens against."""
from __future__ import annotations

import dataclasses
import importlib
import math
import warnings
from importlib import resources
from pathlib import Path

import numpy as np

from . import CATALOG_FILE
from .air import Air
from .calibration_quality import CalibrationError
from .catalog_builder import read_catalog_records
from .focal import MAS_TO_RAD
from .times import utc_tuple

# Below about 10 degrees refraction models part from the real air and haze
# swallows the faint stars.
DEFAULT_MIN_ALTITUDE_DEG = 10.0


def require_extra(module: str, package: str):
    """The module of an optional extra, or CalibrationError naming what to install."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise CalibrationError(f"lens calibration needs {package}: pip install {package}"
                               " (or the package's calibrate extra)") from None


@dataclasses.dataclass(frozen=True)
class LocalSky:
    """Catalogue stars above the altitude cut at one place and time,
    brightest first: HR numbers, magnitudes and observed directions as east,
    north, up unit vectors."""

    hr_ids: np.ndarray
    vmag: np.ndarray
    local: np.ndarray


def _utc_parts(utc) -> tuple:
    year, month, day, hour, minute, second = utc_tuple(utc)
    return int(year), int(month), int(day), int(hour), int(minute), float(second)


def observed_sky(utc, lat_deg: float, lon_deg: float, height_m: float = 0.0,
                 min_altitude_deg: float = DEFAULT_MIN_ALTITUDE_DEG, catalog_file: str | Path | None = None) -> LocalSky:
    """The observed places (refraction included) of the catalogue's stars
    at a place and time, from ERFA. catalog_file: a catalogue file (default:
    the bundled one)."""
    erfa = require_extra("erfa", "pyerfa")
    if catalog_file is None:
        data = (resources.files("halvane_tools") / "data" / CATALOG_FILE).read_bytes()
    else:
        data = Path(catalog_file).read_bytes()
    epoch, stars = read_catalog_records(data)
    dec = stars["dec"].astype(np.float64)
    pm_ra = stars["pm_ra"] * MAS_TO_RAD / np.maximum(np.cos(dec), 1e-9)
    pm_dec = stars["pm_dec"] * MAS_TO_RAD
    # ERFA takes J2000 places; a catalogue of another epoch is moved there first.
    ra = stars["ra"] + pm_ra * (2000.0 - epoch)
    dec = dec + pm_dec * (2000.0 - epoch)
    air = Air.at_site(height_m)  # the air the photo path's solve corrects for
    with warnings.catch_warnings():
        # Dates past the leap-second table are "dubious" to ERFA; a second of UT does not matter here.
        warnings.simplefilter("ignore", erfa.ErfaWarning)
        utc1, utc2 = erfa.dtf2d("UTC", *_utc_parts(utc))
        azimuth, zenith_distance, *_ = erfa.atco13(
            ra, dec, pm_ra, pm_dec, stars["parallax"] / 1000.0, 0.0, utc1, utc2, 0.0, math.radians(lon_deg),
            math.radians(lat_deg), height_m, 0.0, 0.0, *air.erfa_arguments())
    keep = zenith_distance < math.radians(90.0 - min_altitude_deg)
    z, a = zenith_distance[keep], azimuth[keep]
    local = np.column_stack([np.sin(z) * np.sin(a), np.sin(z) * np.cos(a), np.cos(z)])
    order = np.argsort(stars["vmag"][keep], kind="stable")
    return LocalSky(stars["hr_id"][keep][order].astype(np.int64), stars["vmag"][keep][order].astype(np.float64),
                    local[order])
