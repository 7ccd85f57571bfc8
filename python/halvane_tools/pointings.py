"""Star fields at random pointings, as a star-tracker camera sees them: the
true centroids of the catalogue's stars in a pinhole aimed anywhere above an
altitude, with a random roll, plus optional false detections (hot pixels,
satellites, aircraft). Shared by the narrow-field benchmark and tests.

Seeded scenes (`scenarios`, `synthesize_scene`) aim at the richest of a few
directions, so they hold about twice the stars of an average field; these
fields are what an arbitrary pointing gets.
"""
from __future__ import annotations

import dataclasses
import datetime
import math
import random

import numpy as np

import halvane

from .rough_start import local_axes
from .scenarios import J2000

WIDTH, HEIGHT = 1024, 768


def focal_for_field(field_deg: float, width: int = WIDTH) -> float:
    """Pinhole focal length (px) whose field is field_deg across the long side."""
    return width / 2 / math.tan(math.radians(field_deg) / 2)


@dataclasses.dataclass(frozen=True)
class SkyStars:
    """Unit vectors (J2000, epoch 2000), proper motions (radians per year
    along RA and Dec) and V magnitudes of the stars a sky is drawn from."""

    unit: np.ndarray  # (n, 3)
    pm: np.ndarray  # (n, 2)
    vmag: np.ndarray  # (n,)

    @classmethod
    def from_catalog_bytes(cls, data: bytes, faintest_vmag: float = 99.0) -> "SkyStars":
        from .catalog_builder import read_catalog_records

        _, records = read_catalog_records(data)
        records = records[records["vmag"] <= faintest_vmag]
        unit = np.stack([records["x"], records["y"], records["z"]], axis=1)
        mas = math.radians(1.0 / 3.6e6)
        pm = np.stack([records["pm_ra"], records["pm_dec"]], axis=1).astype(np.float64) * mas
        return cls(unit, pm, records["vmag"].astype(np.float64))

    def at(self, years_since_2000: float) -> np.ndarray:
        """Unit vectors moved by proper motion (linearly: decades only)."""
        u = self.unit
        ra = np.arctan2(u[:, 1], u[:, 0])
        dec = np.arcsin(np.clip(u[:, 2], -1.0, 1.0))
        e_ra = np.stack([-np.sin(ra), np.cos(ra), np.zeros_like(ra)], axis=1)
        e_dec = np.stack([-np.sin(dec) * np.cos(ra), -np.sin(dec) * np.sin(ra), np.cos(dec)], axis=1)
        moved = u + years_since_2000 * (self.pm[:, :1] * e_ra + self.pm[:, 1:] * e_dec)
        return moved / np.linalg.norm(moved, axis=1, keepdims=True)


@dataclasses.dataclass(frozen=True)
class Field:
    """One exposure: centroids (x, y, flux) brightest first, the true place,
    the time and the camera's vertical; `true_count` of the centroids are stars."""

    centroids: list
    focal_px: float
    cx: float
    cy: float
    up_cam: tuple
    utc: tuple
    lat_deg: float
    lon_deg: float
    true_count: int
    boresight_j2000: tuple | None = None  # the optical axis, J2000 unit vector


def _random_place_and_time(rng: random.Random):
    lat = math.degrees(math.asin(rng.uniform(-1.0, 1.0)))
    lon = rng.uniform(-180.0, 180.0)
    when = J2000 + datetime.timedelta(seconds=round(rng.uniform(0.0, 50.0 * 365.25 * 86400.0)))
    return lat, lon, when


def random_field(rng: random.Random, sky: SkyStars, field_deg: float, false_stars: int = 0,
                 min_altitude_deg: float = 30.0, false_vmag: tuple[float, float] = (3.0, 6.5)) -> Field:
    """A pinhole of field_deg across (1024 x 768 px) aimed uniformly over
    the sky above min_altitude_deg at a random place and time, with a random
    roll. Each star of `sky` inside the frame becomes a centroid of flux
    10^(-0.4 V); false_stars detections land anywhere in the frame with
    magnitudes uniform over false_vmag."""
    lat, lon, when = _random_place_and_time(rng)
    utc = (when.year, when.month, when.day, when.hour, when.minute, float(when.second))
    jd = halvane.julian_date(*utc)
    east, north, up = local_axes(lat, lon, jd)
    # Uniform over the cap above the altitude: sin(alt) uniform.
    alt = math.asin(rng.uniform(math.sin(math.radians(min_altitude_deg)), 1.0))
    az = rng.uniform(0.0, 2.0 * math.pi)
    boresight = math.cos(alt) * (math.sin(az) * east + math.cos(az) * north) + math.sin(alt) * up
    reference = north if abs(math.sin(alt)) > 0.999 else up
    x0 = np.cross(boresight, reference)
    x0 /= np.linalg.norm(x0)
    y0 = np.cross(boresight, x0)
    roll = rng.uniform(0.0, 2.0 * math.pi)
    axes = np.array([math.cos(roll) * x0 + math.sin(roll) * y0, math.cos(roll) * y0 - math.sin(roll) * x0, boresight])

    focal = focal_for_field(field_deg)
    cx, cy = WIDTH / 2, HEIGHT / 2
    years = (when - J2000).total_seconds() / (365.25 * 86400.0)
    # Precession is a rotation: its matrix from the three axes.
    precession = np.array([halvane.precess_vector(jd, axis) for axis in np.eye(3)]).T
    date_frame = sky.at(years) @ precession.T
    cam = date_frame @ axes.T
    ahead = cam[:, 2] > 0.0
    with np.errstate(divide="ignore", invalid="ignore"):
        x = cx + focal * cam[:, 0] / cam[:, 2]
        y = cy + focal * cam[:, 1] / cam[:, 2]
    inside = ahead & (x >= 0) & (x < WIDTH) & (y >= 0) & (y < HEIGHT)
    centroids = [(float(a), float(b), 10 ** (-0.4 * m)) for a, b, m in zip(x[inside], y[inside], sky.vmag[inside])]
    true_count = len(centroids)
    for _ in range(false_stars):
        centroids.append((rng.uniform(0, WIDTH), rng.uniform(0, HEIGHT), 10 ** (-0.4 * rng.uniform(*false_vmag))))
    centroids.sort(key=lambda c: -c[2])
    up_cam = tuple(float(v) for v in axes @ up)
    # The date frame's axis back in J2000 (the precession matrix is a rotation).
    axis = tuple(float(v) for v in precession.T @ axes[2])
    return Field(centroids, focal, cx, cy, up_cam, utc, lat, lon, true_count, axis)
