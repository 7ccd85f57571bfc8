"""Adverse skies: synthesized frames with what real nights add to the stars,
for the photo path's tests and benchmarks.

Each adversity is drawn in sky coordinates (altitude and azimuth about the
scene's vertical), so it lands where it would on a real frame whatever the
camera's pointing:

- ``aurora``: one or two arcs with a sharp lower edge, and rays of a few
  pixels' width rising out of them (the fine structure that outshines stars);
- ``moon``: a saturated disc with its glare and a 22-degree halo;
- ``horizon``: a lit horizon (city glow), and on it buildings with lit windows
  and trees;
- ``dome``: the bright edge of a dome or housing (the image circle's rim for a
  fisheye, an arc across a corner for a pinhole) with reflections on it;
- ``twilight``: the twilight glow, brightest towards the Sun's azimuth;
- ``hot_pixels``: single bright pixels;
- ``jpeg``: 8-bit quantisation with the artefacts of JPEG compression.

Everything depends on the scenario and the seed only.
"""
from __future__ import annotations

import dataclasses
import io
import math

import numpy as np
from PIL import Image

import halvane

from . import scenarios

ADVERSITIES = ("aurora", "moon", "horizon", "dome", "twilight", "hot_pixels", "jpeg")

FULL_SCALE = 65535.0


@dataclasses.dataclass(frozen=True)
class AdverseSky:
    scenario: scenarios.Scenario
    adversities: tuple[str, ...]
    pixels: np.ndarray  # uint8 when "jpeg" is among the adversities, else uint16
    up_cam: tuple[float, float, float]
    star_pixels: list  # where the stamped stars are, as the scene reports


@dataclasses.dataclass(frozen=True)
class SkyGrid:
    """Altitude and azimuth (radians) of every pixel, and its angle from the
    boresight; azimuth is measured in an arbitrary horizontal frame."""

    altitude: np.ndarray
    azimuth: np.ndarray
    off_axis: np.ndarray
    px_per_rad: float  # at the boresight
    directions: np.ndarray  # (height, width, 3) camera frame
    horizontal: tuple  # north, east and up in the camera frame

    def angle_to(self, direction: np.ndarray) -> np.ndarray:
        return np.arccos(np.clip(self.directions @ direction, -1.0, 1.0))

    def direction(self, altitude: float, azimuth: float) -> np.ndarray:
        north, east, up = self.horizontal
        return math.cos(altitude) * (math.cos(azimuth) * north + math.sin(azimuth) * east) + math.sin(altitude) * up


def sky_grid(camera_model: scenarios.CameraModel, up_cam) -> SkyGrid:
    c = camera_model
    focal = halvane.Camera(c.focal_px, c.cx, c.cy, c.width, c.height, c.fisheye_fov_deg).effective_focal_px
    ys, xs = np.mgrid[0 : c.height, 0 : c.width].astype(np.float64)
    dx, dy = xs - c.cx, ys - c.cy
    if c.fisheye_fov_deg is None:
        norm = np.sqrt(dx * dx + dy * dy + focal * focal)
        v = np.stack([dx / norm, dy / norm, np.full_like(dx, focal) / norm], axis=-1)
    else:
        r = np.hypot(dx, dy)
        theta = r / focal
        scale = np.divide(np.sin(theta), r, out=np.zeros_like(r), where=r > 0)
        v = np.stack([dx * scale, dy * scale, np.cos(theta)], axis=-1)
    up = np.asarray(up_cam, dtype=np.float64)
    up /= np.linalg.norm(up)
    east = np.cross(up, [0.0, 1.0, 0.0] if abs(up[1]) < 0.9 else [1.0, 0.0, 0.0])
    east /= np.linalg.norm(east)
    north = np.cross(east, up)
    altitude = np.arcsin(np.clip(v @ up, -1.0, 1.0))
    azimuth = np.arctan2(v @ east, v @ north)
    return SkyGrid(altitude, azimuth, np.arccos(np.clip(v[..., 2], -1.0, 1.0)), focal, v, (north, east, up))


def _wrapped(angle):
    return (angle + np.pi) % (2 * np.pi) - np.pi


def add_aurora(sky: np.ndarray, grid: SkyGrid, rng: np.random.Generator) -> None:
    deg = math.radians(1.0)
    for _ in range(int(rng.integers(1, 3))):
        base_alt = rng.uniform(20, 50) * deg
        centre_az, half_extent = rng.uniform(-np.pi, np.pi), rng.uniform(40, 100) * deg
        wobble, wobble_phase = rng.uniform(2, 8) * deg, rng.uniform(0, 2 * np.pi)
        brightness = rng.uniform(5000, 14000)
        daz = _wrapped(grid.azimuth - centre_az)
        along = np.clip(1.0 - (np.abs(daz) / half_extent) ** 4, 0.0, None)
        edge = base_alt + wobble * np.sin(2.0 * daz + wobble_phase)
        above = grid.altitude - edge
        width = rng.uniform(2, 4) * deg
        # Sharp lower edge, a slower fade upwards.
        band = np.exp(-0.5 * (above / np.where(above < 0, width / 3, width)) ** 2)
        sky += brightness * along * band
        # Rays rising from the arc, a fraction of a degree wide.
        near = (along > 0) & (above > -width) & (above < 30 * deg)
        idx = np.nonzero(near)
        ray_daz, ray_above = daz[idx], above[idx]
        cos_alt = np.cos(grid.altitude[idx])
        rays = np.zeros(ray_daz.shape)
        for _ in range(int(rng.integers(25, 60))):
            az = rng.uniform(-half_extent, half_extent)
            ray_width = rng.uniform(0.15, 0.5) * deg
            height = rng.uniform(8, 25) * deg
            strength = rng.uniform(0.3, 1.0) * brightness
            across = (ray_daz - az) * cos_alt / ray_width
            rays += strength * np.exp(-0.5 * across * across) * np.exp(-np.clip(ray_above, 0, None) / height)
        sky[idx] += rays * along[idx] * (ray_above > -width / 3)
        # Knots: compact brightenings along the arc's lower edge, as small
        # as stars.
        for _ in range(int(rng.integers(10, 25))):
            az = centre_az + rng.uniform(-half_extent, half_extent)
            knot = grid.direction(base_alt + wobble * math.sin(2.0 * _wrapped(az - centre_az) + wobble_phase)
                                  + rng.uniform(0, 2) * deg, az)
            _add_spot(sky, grid, knot, rng.uniform(0.3, 1.0) * brightness, rng.uniform(1.5, 3.0))


def add_moon(sky: np.ndarray, grid: SkyGrid, rng: np.random.Generator) -> None:
    deg = math.radians(1.0)
    moon = grid.direction(rng.uniform(20, 60) * deg, rng.uniform(-np.pi, np.pi))
    angle = grid.angle_to(moon)
    core = max(1.0 * deg, 4.0 / grid.px_per_rad)  # the disc with its bloom
    sky += 50000.0 / (1.0 + (angle / (1.5 * core)) ** 2) + 9000.0 * np.exp(-angle / (12 * deg))
    sky += rng.uniform(1500, 3500) * np.exp(-0.5 * ((angle - 22 * deg) / (0.6 * deg)) ** 2)
    sky[angle < core] = FULL_SCALE
    # Lens ghosts: discs along the line from the Moon through the centre.
    moon_pixel = np.unravel_index(np.argmin(angle), angle.shape)
    centre = np.array(angle.shape) / 2.0
    for _ in range(int(rng.integers(2, 5))):
        spot = centre + rng.uniform(-1.2, 0.6) * (np.array(moon_pixel) - centre)
        ys, xs = np.ogrid[0 : sky.shape[0], 0 : sky.shape[1]]
        radius = rng.uniform(3, 12)
        disc = (ys - spot[0]) ** 2 + (xs - spot[1]) ** 2 < radius**2
        sky[disc] += rng.uniform(2000, 8000)


def add_horizon(sky: np.ndarray, grid: SkyGrid, rng: np.random.Generator) -> None:
    deg = math.radians(1.0)
    az, alt = grid.azimuth, grid.altitude
    towns = sum(rng.uniform(0.5, 2.0) * np.exp(-0.5 * (_wrapped(az - rng.uniform(-np.pi, np.pi)) / (rng.uniform(10, 40) * deg)) ** 2)
                for _ in range(3))
    sky += 14000.0 * (1.0 + towns) * np.exp(-np.clip(alt, 0, None) / (4 * deg))
    # The skyline: buildings (flat tops) and trees (ragged), up to 11 degrees.
    edges = np.sort(rng.uniform(-np.pi, np.pi, 24))
    heights = rng.uniform(1, 11, 24) * deg
    segment = np.searchsorted(edges, az) % 24
    skyline = heights[segment]
    trees = segment % 3 == 0
    skyline = np.where(trees, skyline * (0.7 + 0.3 * np.abs(np.sin(az * 400.0))), skyline)
    ground = alt < skyline
    sky[ground] = 1500.0
    # Lit windows and street lights, two or three pixels each.
    lights = ground & (rng.random(sky.shape) < 0.003)
    lights |= np.roll(lights, 1, axis=1) | (np.roll(lights, 1, axis=0) & (rng.random(sky.shape) < 0.5))
    sky[lights] = rng.uniform(25000, FULL_SCALE, int(lights.sum()))


def add_dome(sky: np.ndarray, grid: SkyGrid, camera_model: scenarios.CameraModel, rng: np.random.Generator) -> None:
    c = camera_model
    ys, xs = np.mgrid[0 : c.height, 0 : c.width].astype(np.float64)
    if c.fisheye_fov_deg is not None:  # the housing surrounds the image circle
        rim_radius = 0.97 * min(c.width, c.height) / 2
        centre = (c.cx + rng.uniform(-3, 3), c.cy + rng.uniform(-3, 3))
        sign = 1.0
    else:  # the housing fills a lower corner
        rim_radius = rng.uniform(0.5, 0.6) * c.height
        centre = (-0.25 * c.width if rng.random() < 0.5 else 1.25 * c.width, 1.35 * c.height)
        sign = -1.0
    r = np.hypot(xs - centre[0], ys - centre[1])
    phase = np.arctan2(ys - centre[1], xs - centre[0])
    brightness = rng.uniform(12000, 25000) * (1.0 + 0.4 * np.sin(3 * phase + rng.uniform(0, 6)))
    sky += brightness * np.exp(-0.5 * ((r - rim_radius) / 2.0) ** 2)
    sky[sign * (r - rim_radius) > 4] = 2500.0
    for _ in range(8):  # reflections on the rim
        a = rng.uniform(-np.pi, np.pi)
        x, y = centre[0] + rim_radius * math.cos(a), centre[1] + rim_radius * math.sin(a)
        sky += rng.uniform(20000, 50000) * np.exp(-((xs - x) ** 2 + (ys - y) ** 2) / (2 * 2.0**2))


def add_twilight(sky: np.ndarray, grid: SkyGrid, rng: np.random.Generator) -> None:
    deg = math.radians(1.0)
    sun_az = rng.uniform(-np.pi, np.pi)
    towards = 0.5 * (1.0 + np.cos(grid.azimuth - sun_az))
    sky += rng.uniform(8000, 22000) * (0.3 + 0.7 * towards**2) * np.exp(-np.clip(grid.altitude, 0, None) / (25 * deg))


def add_hot_pixels(sky: np.ndarray, rng: np.random.Generator) -> None:
    """Single hot pixels, and a few hot pairs (which look more like stars)."""
    count = int(sky.size * 300e-6)
    flat = sky.reshape(-1)
    where = rng.integers(0, flat.size - 1, count)
    flat[where] = rng.uniform(30000, FULL_SCALE, count)
    pairs = where[: count // 10]
    flat[pairs + 1] = flat[pairs] * 0.6


def _add_spot(sky: np.ndarray, grid: SkyGrid, direction: np.ndarray, amplitude: float, sigma_px: float) -> None:
    """A Gaussian spot of sigma_px pixels at a sky direction."""
    angle = grid.angle_to(direction)
    y, x = np.unravel_index(np.argmin(angle), angle.shape)
    if angle[y, x] * grid.px_per_rad > 2.0:  # outside the frame
        return
    r = int(4 * sigma_px) + 1
    y0, y1, x0, x1 = max(0, y - r), min(sky.shape[0], y + r + 1), max(0, x - r), min(sky.shape[1], x + r + 1)
    ys, xs = np.ogrid[y0:y1, x0:x1]
    sky[y0:y1, x0:x1] += amplitude * np.exp(-((ys - y) ** 2 + (xs - x) ** 2) / (2 * sigma_px**2))


def jpeg_round_trip(sky: np.ndarray, quality: int = 90) -> np.ndarray:
    """8-bit, through JPEG compression and back (Pillow)."""
    eight = np.clip(np.rint(sky / 257.0), 0, 255).astype(np.uint8)
    buffer = io.BytesIO()
    Image.fromarray(eight).save(buffer, format="JPEG", quality=quality)
    buffer.seek(0)
    with Image.open(buffer) as decoded:
        return np.asarray(decoded.convert("L")).copy()


def adverse_sky(scenario: scenarios.Scenario, catalog, adversities=ADVERSITIES) -> AdverseSky:
    """The scenario's synthesized frame with the given adversities added;
    seeded by the scenario, so the same call gives the same pixels."""
    unknown = set(adversities) - set(ADVERSITIES)
    if unknown:
        raise ValueError(f"unknown adversities {sorted(unknown)}; choose among {', '.join(ADVERSITIES)}")
    scene = scenarios.render(scenario, catalog)
    rng = np.random.default_rng(scenario.seed)
    sky = scene.pixels.astype(np.float64)
    grid = sky_grid(scenario.camera, scene.up_cam)
    light = np.zeros_like(sky)
    if "twilight" in adversities:
        add_twilight(light, grid, rng)
    if "aurora" in adversities:
        add_aurora(light, grid, rng)
    if "moon" in adversities:
        add_moon(light, grid, rng)
    sky += light
    # Photon noise of the added light, and a camera's read noise.
    sky += rng.normal(0.0, 1.0, sky.shape) * np.sqrt(150.0**2 + 4.0 * light)
    if "horizon" in adversities:
        add_horizon(sky, grid, rng)
    if "dome" in adversities:
        add_dome(sky, grid, scenario.camera, rng)
    if "hot_pixels" in adversities:
        add_hot_pixels(sky, rng)
    sky = np.clip(sky, 0.0, FULL_SCALE)
    pixels = jpeg_round_trip(sky) if "jpeg" in adversities else np.rint(sky).astype(np.uint16)
    return AdverseSky(scenario, tuple(adversities), pixels, tuple(scene.up_cam), list(scene.star_pixels))
