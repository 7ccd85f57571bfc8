"""Where a fix puts the identified stars on the photo, the camera axis's
altitude and azimuth, and the stars' names; shared by the report and the
overlay.

The fix fixes the vertical's place on the sky; the one free angle (the
camera's heading about the vertical) is the one that best lays the
identified stars on the detections.
"""
from __future__ import annotations

import dataclasses
import functools
import math
from importlib import resources

import numpy as np

import halvane

from . import NAMES_FILE, PROPER_NAMES_FILE
from .times import utc_tuple

# A star farther than this from every detection counts this much in the
# heading's score, so that one star outside the field cannot outvote the rest.
SCORE_CAP_PX = 20.0


def _read_names(file: str) -> dict[int, str]:
    text = (resources.files(__package__) / "data" / file).read_text(encoding="utf-8")
    return {int(hr): name for hr, name in (line.split("\t") for line in text.splitlines())}


@functools.cache
def _names() -> dict[int, str]:
    """Each star's label: its proper name, else its catalogue designation."""
    return _read_names(NAMES_FILE) | _read_names(PROPER_NAMES_FILE)


def star_name(hr: int, hr_number: bool = False) -> str:
    """A named bright star's proper name, 'Capella'; else its Bayer (or
    Flamsteed) designation from the catalogue, 'ζ Aur'; 'HR 1' for a star
    that has neither. hr_number adds the HR number: 'Capella (HR 1708)'."""
    name = _names().get(int(hr))
    if name is None:
        return f"HR {hr}"
    return f"{name} (HR {hr})" if hr_number else name


@dataclasses.dataclass(frozen=True)
class PlacedStar:
    hr: int
    x: float  # where the fix puts the star, px
    y: float
    residual_px: float  # to the nearest detection
    residual_arcmin: float


@dataclasses.dataclass(frozen=True)
class PlacedSky:
    axis_altitude_deg: float
    axis_azimuth_deg: float  # from true north towards east, [0, 360)
    north_cam: tuple[float, float, float]  # true north on the horizon, camera frame
    east_cam: tuple[float, float, float]
    stars: list[PlacedStar]  # the identified stars inside the frame


def horizontal_basis(up_cam) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Two horizontal unit vectors and the vertical, in the camera frame."""
    up = np.asarray(up_cam, dtype=np.float64)
    up = up / np.linalg.norm(up)
    a = np.cross(up, [0.0, 1.0, 0.0] if abs(up[1]) < 0.9 else [1.0, 0.0, 0.0])
    a /= np.linalg.norm(a)
    return a, np.cross(up, a), up


def _local_directions(fix, utc, catalog) -> np.ndarray:
    """East, north, up of each identified star at the fix. Mean places of
    date without refraction: a few arcminutes, a pixel or two."""

    jd = halvane.julian_date(*utc_tuple(utc))
    lat = math.radians(fix.latitude_deg)
    local_sidereal = math.radians(halvane.gmst_deg(jd) + fix.longitude_deg)
    local = []
    for hr in fix.matched_hr_ids:
        ra, dec = (math.radians(v) for v in catalog.star(hr)[:2])
        x, y, z = halvane.precess_vector(jd, [math.cos(dec) * math.cos(ra), math.cos(dec) * math.sin(ra), math.sin(dec)])
        hour_angle = local_sidereal - math.atan2(y, x)
        dec_date = math.asin(max(-1.0, min(1.0, z)))
        east = -math.cos(dec_date) * math.sin(hour_angle)
        north = math.sin(dec_date) * math.cos(lat) - math.cos(dec_date) * math.cos(hour_angle) * math.sin(lat)
        up = math.sin(dec_date) * math.sin(lat) + math.cos(dec_date) * math.cos(hour_angle) * math.cos(lat)
        local.append((east, north, up))
    return np.asarray(local, dtype=np.float64).reshape(-1, 3)


def place_stars(prepared, fix, utc, catalog) -> PlacedSky | None:
    """The identified stars on the photo and the camera's pointing, or None
    when there is nothing to lay them on (no detection or no star)."""
    local = _local_directions(fix, utc, catalog)
    if not len(local) or not prepared.detections:
        return None
    camera = prepared.lens.camera(prepared.width, prepared.height)
    detections = np.asarray([(x, y) for x, y, _ in prepared.detections])
    a, b, up = horizontal_basis(prepared.up_cam)

    def frame(headings: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        north = np.cos(headings)[:, None] * a + np.sin(headings)[:, None] * b
        return north, np.cross(north, up)

    def project(headings: np.ndarray) -> np.ndarray:
        north, east = frame(headings)
        cam = local[None, :, 0:1] * east[:, None] + local[None, :, 1:2] * north[:, None] + local[None, :, 2:3] * up
        return camera.vec_to_pixel(cam.reshape(-1, 3)).reshape(len(headings), len(local), 2)

    def score(pixels: np.ndarray) -> np.ndarray:
        dx = pixels[:, :, 0, None] - detections[None, None, :, 0]
        dy = pixels[:, :, 1, None] - detections[None, None, :, 1]
        nearest = np.nan_to_num(np.sqrt((dx * dx + dy * dy).min(axis=2)), nan=1e9)
        return np.minimum(nearest, SCORE_CAP_PX).sum(axis=1)

    headings = np.radians(np.arange(0.0, 360.0, 1.0))
    best = headings[np.argmin(score(project(headings)))]
    fine = best + np.radians(np.arange(-1.0, 1.0, 0.02))
    heading = fine[np.argmin(score(project(fine)))]
    pixels = project(np.array([heading]))[0]
    north, east = (v[0] for v in frame(np.array([heading])))
    # The camera axis is +z of the camera frame.
    axis_up, axis_north, axis_east = up[2], north[2], east[2]
    stars = []
    for hr, (x, y) in zip(fix.matched_hr_ids, pixels):
        if not (np.isfinite(x) and np.isfinite(y)):
            continue
        gaps = np.hypot(detections[:, 0] - x, detections[:, 1] - y)
        nearest = detections[int(np.argmin(gaps))]
        ends = np.asarray(camera.pixel_to_vec([x, nearest[0]], [y, nearest[1]]), dtype=np.float64)
        cosine = float(np.clip(ends[0] @ ends[1] / (np.linalg.norm(ends[0]) * np.linalg.norm(ends[1])), -1.0, 1.0))
        stars.append(PlacedStar(int(hr), float(x), float(y), float(gaps.min()), math.degrees(math.acos(cosine)) * 60.0))
    return PlacedSky(math.degrees(math.asin(max(-1.0, min(1.0, float(axis_up))))),
                     math.degrees(math.atan2(float(axis_east), float(axis_north))) % 360.0,
                     tuple(map(float, north)), tuple(map(float, east)), stars)
