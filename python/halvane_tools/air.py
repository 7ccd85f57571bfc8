"""The air at the camera's site and what it does to star altitudes.

The engine removes refraction for sea-level air (Bennett's formula). At a
mountain site the air is thinner and bends light less (about a quarter less
at 2,300 m), so a fix that trusts sea-level refraction puts every star a
little too low and the position a little too far from the stars: 1-2 nm on
real frames. The photo path therefore moves each detection along its
vertical by the difference between the engine's refraction and the site's
(:func:`as_engine_altitude`), and the lens calibration uses the same air
(:meth:`Air.erfa_arguments`), so that a lens file and a fix agree.

The site's refraction is ERFA's model (A tan z + B tan^3 z, with A and B
from pressure, temperature, humidity and wavelength), written out here so
that solving needs no extra package.
"""
from __future__ import annotations

import dataclasses
import math

import numpy as np

# The standard air a site gets when only its height is known: the lens
# calibration has always used it.
STANDARD_TEMPERATURE_C = 10.0
STANDARD_HUMIDITY = 0.5
WAVELENGTH_UM = 0.55  # visual light
SEA_LEVEL_PRESSURE_HPA = 1013.25


def standard_pressure_hpa(height_m: float, temperature_c: float = STANDARD_TEMPERATURE_C) -> float:
    """The pressure of an isothermal standard atmosphere at a height above sea level."""
    return SEA_LEVEL_PRESSURE_HPA * math.exp(-float(height_m) / (29.3 * (273.15 + float(temperature_c))))


@dataclasses.dataclass(frozen=True)
class Air:
    """The air at a site: pressure (hPa), temperature (deg C), relative
    humidity (0..1) and the wavelength of the light (micrometres)."""

    pressure_hpa: float
    temperature_c: float = STANDARD_TEMPERATURE_C
    humidity: float = STANDARD_HUMIDITY
    wavelength_um: float = WAVELENGTH_UM

    @classmethod
    def at_site(cls, height_m: float | None = None, pressure_hpa: float | None = None,
                temperature_c: float | None = None) -> "Air":
        """The air of a site from what is known of it: a measured pressure,
        else the standard pressure at height_m (sea level without it); the
        temperature given, else the standard 10 deg C."""
        temperature = STANDARD_TEMPERATURE_C if temperature_c is None else float(temperature_c)
        if pressure_hpa is None:
            pressure_hpa = standard_pressure_hpa(height_m or 0.0, temperature)
        values = (float(pressure_hpa), temperature, float(height_m or 0.0))
        if not all(math.isfinite(v) for v in values):
            raise ValueError("the height, pressure and temperature must be finite numbers")
        if not 0.0 <= values[0] <= 1200.0:
            raise ValueError(f"a pressure of {values[0]:g} hPa is not air at a camera's site (0 to 1200)")
        if not -100.0 <= temperature <= 60.0:
            raise ValueError(f"a temperature of {temperature:g} C is not air at a camera's site (-100 to 60)")
        return cls(values[0], temperature)

    def erfa_arguments(self) -> tuple[float, float, float, float]:
        """(pressure hPa, temperature C, humidity, wavelength um), as ERFA's
        observed-place functions take them."""
        return (self.pressure_hpa, self.temperature_c, self.humidity, self.wavelength_um)

    def coefficients(self) -> tuple[float, float]:
        """ERFA's refraction constants A and B (radians) of this air, for
        optical wavelengths: refraction = A tan z + B tan^3 z."""
        t = min(max(self.temperature_c, -150.0), 200.0)
        p = min(max(self.pressure_hpa, 0.0), 10000.0)
        r = min(max(self.humidity, 0.0), 1.0)
        w = min(max(self.wavelength_um, 0.1), 1e6)
        if p > 0.0:
            saturation = 10.0 ** ((0.7859 + 0.03477 * t) / (1.0 + 0.00412 * t)) * (1.0 + p * (4.5e-6 + 6e-10 * t * t))
            vapour = r * saturation / (1.0 - (1.0 - r) * saturation / p)
        else:
            vapour = 0.0
        kelvin = t + 273.15
        w2 = w * w
        gamma = ((77.53484e-6 + (4.39108e-7 + 3.666e-9 / w2) / w2) * p - 11.2684e-6 * vapour) / kelvin
        beta = 4.4474e-6 * kelvin
        return gamma * (1.0 - beta), -gamma * (beta - gamma / 2.0)

    def refraction_rad(self, apparent_altitude_rad):
        """How much this air raises a star seen at an apparent altitude
        (radians, scalar or array). Like ERFA, the zenith distance is held
        at 83 degrees below it, where no model of the air is reliable."""
        a, b = self.coefficients()
        zenith = np.minimum(np.pi / 2 - np.asarray(apparent_altitude_rad, dtype=np.float64), math.radians(83.0))
        tan_z = np.tan(zenith)
        return a * tan_z + b * tan_z**3


def engine_refraction_rad(apparent_altitude_rad):
    """The refraction the engine removes: Bennett's formula for sea-level
    air, never negative (radians in, radians out, scalar or array)."""
    h_deg = np.degrees(np.asarray(apparent_altitude_rad, dtype=np.float64))
    arcmin = np.fmax(1.0 / np.tan(np.radians(h_deg + 7.31 / (h_deg + 4.4))), 0.0)
    return np.radians(arcmin / 60.0)


def as_engine_altitude(apparent_altitude_rad, air: Air):
    """The altitude at which the engine, removing its own refraction, finds
    the true altitude that this air gives the star seen at
    apparent_altitude_rad: h' with h' - R_engine(h') = h - R_air(h)."""
    h = np.asarray(apparent_altitude_rad, dtype=np.float64)
    true = h - air.refraction_rad(h)
    moved = h.copy()
    # R_engine changes by under 0.02 of the altitude change above 10
    # degrees, so a few rounds settle it far below a milliarcsecond.
    for _ in range(4):
        moved = true + engine_refraction_rad(moved)
    return moved
