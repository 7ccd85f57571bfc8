"""Seeded test skies: the cameras, places and times that the demo, the
accuracy tests and the benchmarks share, so that all three measure the same
thing.

A scenario is a camera model plus a place and time; `render` synthesizes
what that camera sees there and `solve` hands the frame back to
`halvane.resolve_fix` with the same camera scalars.
"""
from __future__ import annotations

import dataclasses
import datetime
import math
import random
from pathlib import Path

import numpy as np

import halvane

from . import catalog_builder as builder
from .projections import PROJECTIONS, projection_k
from .rough_start import local_axes

J2000 = datetime.datetime(2000, 1, 1, 12, 0, tzinfo=datetime.timezone.utc)


@dataclasses.dataclass(frozen=True)
class CameraModel:
    label: str
    width: int
    height: int
    focal_px: float | None  # None: the ideal fisheye, whose focal fills the frame
    fisheye_fov_deg: float | None
    mag_limit: float

    @property
    def cx(self) -> float:
        return self.width / 2

    @property
    def cy(self) -> float:
        return self.height / 2


FISHEYE = CameraModel("ideal fisheye, 180° field", 1024, 1024, None, 180.0, 5.5)
# About 40 degrees across the long side.
PINHOLE = CameraModel("pinhole, 40° field", 1024, 768, 512.0 / math.tan(math.radians(20.0)), None, 6.0)
CAMERAS = {"fisheye": FISHEYE, "pinhole": PINHOLE}


@dataclasses.dataclass(frozen=True)
class Noise:
    pixel_arcmin: float = 0.5  # star position noise
    up_arcmin: float = 1.0  # error of the measured vertical
    background: float = 20.0  # pixel noise, 16-bit counts


NOISY = Noise()
NOISELESS = Noise(0.0, 0.0, 0.0)


@dataclasses.dataclass(frozen=True)
class Scenario:
    camera: CameraModel
    lat_deg: float
    lon_deg: float
    when: datetime.datetime  # UTC
    seed: int
    noise: Noise = NOISY

    @property
    def utc(self) -> tuple:
        w = self.when
        return (w.year, w.month, w.day, w.hour, w.minute, w.second + w.microsecond / 1e6)

    @property
    def jd(self) -> float:
        return halvane.julian_date(*self.utc)


def seeded_scenarios(count: int, camera: CameraModel, seed: int = 2026, noise: Noise = NOISY) -> list[Scenario]:
    """`count` places (latitude within 70 degrees of the equator, any
    longitude) and times (2000 to 2050, any hour), the same for the same seed."""
    rng = random.Random(seed)
    out = []
    for i in range(count):
        lat = math.degrees(math.asin(rng.uniform(-1.0, 1.0) * math.sin(math.radians(70.0))))
        lon = rng.uniform(-180.0, 180.0)
        when = J2000 + datetime.timedelta(seconds=round(rng.uniform(0.0, 50.0 * 365.25 * 86400.0)))
        out.append(Scenario(camera, lat, lon, when, seed * 1000 + i, noise))
    return out


def render(scenario: Scenario, catalog):
    """The synthesized frame of a scenario: a halvane.Scene."""
    c, n = scenario.camera, scenario.noise
    return halvane.synthesize_scene(
        catalog, scenario.lat_deg, scenario.lon_deg, scenario.jd, 0.0, c.width, c.height, c.focal_px,
        c.mag_limit, n.pixel_arcmin, n.up_arcmin, n.background, scenario.seed, fisheye_fov_deg=c.fisheye_fov_deg,
    )


def render_distorted(scenario: Scenario, catalog, k1: float):
    """The scenario's sky through a calibrated fisheye with radial term k1
    (the scenario's camera must be a 180-degree fisheye): its image circle
    still fills the frame at 90 degrees off axis. Solving it as the ideal
    fisheye is solving with a mis-stated lens."""
    c, n = scenario.camera, scenario.noise
    half = math.pi / 2
    focal = min(c.cx, c.cy) / (half + k1 * half**3)
    return halvane.synthesize_scene(
        catalog, scenario.lat_deg, scenario.lon_deg, scenario.jd, 0.0, c.width, c.height, focal, c.mag_limit,
        n.pixel_arcmin, n.up_arcmin, n.background, scenario.seed, fisheye_fov_deg=180.0, k1=k1,
    )


def random_detections(rng: random.Random, camera: CameraModel, max_tilt_deg: float = 3.0):
    """A detection set with no sky in it: 8 to 40 (x, y, flux) points inside
    the camera's image (a fisheye's image circle) with lognormal fluxes, an
    up vector within max_tilt_deg of the boresight and a time from 2000 to
    2050. Returns (centroids, up_cam, utc)."""
    centroids = []
    count = rng.randint(8, 40)
    while len(centroids) < count:
        x, y = rng.uniform(0, camera.width), rng.uniform(0, camera.height)
        if camera.fisheye_fov_deg and math.hypot(x - camera.cx, y - camera.cy) > min(camera.cx, camera.cy):
            continue
        centroids.append((x, y, math.exp(rng.gauss(8.0, 1.5))))
    tilt = math.radians(max_tilt_deg) * math.sqrt(rng.random())
    azimuth = rng.uniform(0, 2 * math.pi)
    up = (math.sin(tilt) * math.cos(azimuth), math.sin(tilt) * math.sin(azimuth), math.cos(tilt))
    w = J2000 + datetime.timedelta(seconds=round(rng.uniform(0.0, 50.0 * 365.25 * 86400.0)))
    return centroids, up, (w.year, w.month, w.day, w.hour, w.minute, float(w.second))


def solve(scenario: Scenario, scene, catalog, **options):
    """resolve_fix on a rendered frame with the scenario's camera scalars."""
    c = scenario.camera
    return halvane.resolve_fix(
        scene.pixels, c.focal_px, c.cx, c.cy, scene.up_cam, scenario.utc, catalog,
        fisheye_fov_deg=c.fisheye_fov_deg, **options,
    )


def tilted_up(up_cam, north_arcmin: float, east_arcmin: float) -> tuple[float, float, float]:
    """up_cam tilted by a small angle given as its components along two fixed
    horizontal axes at right angles (which two does not matter to an
    isotropic error)."""
    import numpy as np

    u = np.asarray(up_cam, dtype=np.float64)
    u = u / np.linalg.norm(u)
    p = np.cross(u, [1.0, 0.0, 0.0] if abs(u[0]) < 0.9 else [0.0, 1.0, 0.0])
    p /= np.linalg.norm(p)
    tilted = u + math.radians(north_arcmin / 60.0) * p + math.radians(east_arcmin / 60.0) * np.cross(u, p)
    return tuple(float(v) for v in tilted)


def error_nm(scenario: Scenario, fix) -> float:
    return halvane.great_circle_nm(scenario.lat_deg, scenario.lon_deg, fix.latitude_deg, fix.longitude_deg)


def inside_ellipse(scenario: Scenario, fix) -> bool:
    """Whether the true place lies inside the fix's 2-sigma ellipse."""
    major, minor, orientation_deg = fix.ellipse_2sigma_nm
    north = (scenario.lat_deg - fix.latitude_deg) * 60.0
    dlon = (scenario.lon_deg - fix.longitude_deg + 180.0) % 360.0 - 180.0
    east = dlon * 60.0 * math.cos(math.radians(fix.latitude_deg))
    # Orientation is the major axis measured from north towards east.
    a = math.radians(orientation_deg)
    along = north * math.cos(a) + east * math.sin(a)
    across = -north * math.sin(a) + east * math.cos(a)
    if major <= 0 or minor <= 0:
        return False
    return (along / major) ** 2 + (across / minor) ** 2 <= 1.0


def frame_sequence(scenario: Scenario, catalog, frames: int, minutes_apart: float = 5.0, hot_spots: int = 30):
    """What a fisheye standing still records at `frames` times `minutes_apart`
    apart, the scenario's time in the middle, with the same `hot_spots`
    bright, saturated spots stamped into every frame, as a sensor's hot
    pixels would be. Each frame gets its own noise.

    Returns (frames as uint16 arrays, UTC tuples, hot-spot pixels as (x, y)).
    The spots keep clear of the celestial poles, where a spot that does not
    move cannot be told from a star that barely does.
    """
    c = scenario.camera
    if c.fisheye_fov_deg is None:
        raise ValueError("frame sequences need a fisheye: a pinhole is re-aimed for every frame")
    lat = math.radians(scenario.lat_deg)
    lens = halvane.Camera(None, c.cx, c.cy, c.width, c.height, fisheye_fov_deg=c.fisheye_fov_deg)
    # Looking straight up, image up is north.
    poles = [lens.vec_to_pixel((0.0, -s * math.cos(lat), s * math.sin(lat))) for s in (1.0, -1.0)]
    poles = [p for p in poles if p is not None]
    keep_clear_px = 0.4 * lens.effective_focal_px

    rng = random.Random(scenario.seed)
    spots = []
    while len(spots) < hot_spots:
        x, y = rng.uniform(8.0, c.width - 9.0), rng.uniform(8.0, c.height - 9.0)
        if all(math.hypot(x - px, y - py) > keep_clear_px for px, py in poles):
            spots.append((x, y))

    star_sigma_px = 1.3  # the renderer's star width
    middle = frames // 2
    images, times = [], []
    for k in range(frames):
        moment = dataclasses.replace(
            scenario, when=scenario.when + datetime.timedelta(minutes=(k - middle) * minutes_apart), seed=scenario.seed + k
        )
        image = render(moment, catalog).pixels.astype(np.float64)
        for x, y in spots:
            x0, y0 = int(x), int(y)
            yy, xx = np.mgrid[y0 - 4 : y0 + 5, x0 - 4 : x0 + 5]
            image[y0 - 4 : y0 + 5, x0 - 4 : x0 + 5] += 150000.0 * np.exp(-((xx - x) ** 2 + (yy - y) ** 2) / (2 * star_sigma_px**2))
        images.append(np.clip(image, 0, 65535).astype(np.uint16))
        times.append(moment.utc)
    return images, times, spots


@dataclasses.dataclass(frozen=True)
class CalibrationSky:
    """A synthesized photo through a lens with a known calibration: the
    pixels, the lens in halvane.resolve_fix's terms and the true vertical in
    the camera frame at the scenario's place."""

    pixels: object  # uint16 array
    focal_px: float
    cx: float
    cy: float
    fisheye_fov_deg: float | None
    k1: float
    k2: float
    up_cam: tuple[float, float, float]


def _moved(lat_deg: float, lon_deg: float, distance_deg: float, bearing_deg: float) -> tuple[float, float]:
    """The place distance_deg of great circle away along bearing_deg."""
    lat, d, b = math.radians(lat_deg), math.radians(distance_deg), math.radians(bearing_deg)
    lat2 = math.asin(math.sin(lat) * math.cos(d) + math.cos(lat) * math.sin(d) * math.cos(b))
    dlon = math.atan2(math.sin(b) * math.sin(d) * math.cos(lat), math.cos(d) - math.sin(lat) * math.sin(lat2))
    return math.degrees(lat2), (lon_deg + math.degrees(dlon) + 180.0) % 360.0 - 180.0


def render_calibration_sky(scenario: Scenario, catalog, width: int, height: int, focal_px: float,
                           fisheye_fov_deg: float | None = None, k1: float = 0.0, k2: float = 0.0,
                           centre_offset_px: tuple[int, int] = (0, 0), tilt_deg: float = 0.0,
                           tilt_bearing_deg: float = 0.0, roll_deg: float = 0.0,
                           noise_px: float = 0.3) -> CalibrationSky:
    """The scenario's sky through a calibrated fisheye (or a pinhole) whose
    principal point sits centre_offset_px (whole pixels) off the image
    centre and whose mount leans tilt_deg towards tilt_bearing_deg.

    The renderer centres the principal point and levels a fisheye, so the
    frame is rendered larger and cropped, and the camera is levelled at the
    place tilt_deg away: seen from the scenario's place, that camera leans
    by tilt_deg. Star positions carry noise_px of noise."""
    dx, dy = (int(v) for v in centre_offset_px)
    margin = max(abs(dx), abs(dy))
    lat, lon = _moved(scenario.lat_deg, scenario.lon_deg, tilt_deg, tilt_bearing_deg)
    noise_arcmin = math.degrees(noise_px / focal_px) * 60.0
    scene = halvane.synthesize_scene(
        catalog, lat, lon, scenario.jd, roll_deg, width + 2 * margin, height + 2 * margin, focal_px,
        scenario.camera.mag_limit, noise_arcmin, 0.0, scenario.noise.background, scenario.seed,
        fisheye_fov_deg=fisheye_fov_deg, k1=k1, k2=k2,
    )
    left, top = margin - dx, margin - dy
    pixels = np.ascontiguousarray(scene.pixels[top : top + height, left : left + width])
    axes = _camera_axes(lat, lon, scenario.jd, scene.boresight_alt_deg, scene.boresight_az_deg, roll_deg)
    up_cam = axes @ local_axes(scenario.lat_deg, scenario.lon_deg, scenario.jd)[2]
    return CalibrationSky(pixels, focal_px, width / 2 + dx, height / 2 + dy, fisheye_fov_deg, k1, k2,
                          tuple(float(v) for v in up_cam))


def _camera_axes(lat_deg: float, lon_deg: float, jd: float, alt_deg: float, az_deg: float,
                 roll_deg: float) -> np.ndarray:
    """The camera's axes (rows) in the equatorial frame of date, as the
    renderer builds them for a boresight at alt_deg, az_deg seen from a place."""
    east, north, up = local_axes(lat_deg, lon_deg, jd)
    alt, az = math.radians(alt_deg), math.radians(az_deg)
    boresight = math.cos(alt) * (math.sin(az) * east + math.cos(az) * north) + math.sin(alt) * up
    reference = north if abs(math.sin(alt)) > 0.9993908270190958 else up
    x0 = np.cross(boresight, reference)
    x0 /= np.linalg.norm(x0)
    y0 = np.cross(boresight, x0)
    roll = math.radians(roll_deg)
    return np.array([math.cos(roll) * x0 + math.sin(roll) * y0, math.cos(roll) * y0 - math.sin(roll) * x0, boresight])


# Stars as the engine's renderer draws them: a Gaussian of this width and of
# peak PEAK_SCALE * 10^(-0.4 mag) on a flat sky, none within EDGE_PX of the
# border or CROWDED_PX of a brighter one.
STAR_SIGMA_PX = 1.3
PEAK_SCALE = 256000.0
SKY_LEVEL = 1024.0
EDGE_PX = 5.0
CROWDED_PX = 6.0


def render_leaning_sky(scenario: Scenario, catalog, width: int, height: int, focal_px: float,
                       fisheye_fov_deg: float, k1: float, k2: float, centre_offset_px: tuple[int, int] = (0, 0),
                       tilt_deg: float = 0.0, tilt_bearing_deg: float = 0.0, roll_deg: float = 0.0,
                       noise_px: float = 0.3) -> CalibrationSky:
    """The real sky at the scenario's place and time through a calibrated
    fisheye whose principal point sits centre_offset_px off the image centre
    and whose mount leans tilt_deg towards tilt_bearing_deg.

    The camera is the one render_calibration_sky builds, but its stars stand
    where ERFA's observed places put them (refraction about the true zenith,
    nutation, aberration), as a real camera sees them; the engine's renderer
    can only lean a fisheye by levelling it somewhere else, which bends the
    light about that other zenith (at a lean of 5 degrees the fitted vertical
    moved up to 0.4' against the stars). catalog: which stars there are (the
    observed places come from the bundled catalogue). Star positions carry
    noise_px of noise."""
    from .observed import observed_sky  # pyerfa: the calibrate extra

    dx, dy = (int(v) for v in centre_offset_px)
    lat, lon = _moved(scenario.lat_deg, scenario.lon_deg, tilt_deg, tilt_bearing_deg)
    # Level at the moved place is leaning by tilt_deg at the scenario's.
    camera_from_local = (_camera_axes(lat, lon, scenario.jd, 90.0, 0.0, roll_deg)
                         @ np.array(local_axes(scenario.lat_deg, scenario.lon_deg, scenario.jd)).T)
    sky = observed_sky(scenario.when, scenario.lat_deg, scenario.lon_deg, 0.0, 0.0)
    listed = {hr for hr, _, _, vmag in catalog.stars() if vmag <= scenario.camera.mag_limit}
    chosen = np.array([int(hr) in listed for hr in sky.hr_ids], dtype=bool)
    cam = sky.local[chosen] @ camera_from_local.T
    theta = np.arctan2(np.hypot(cam[:, 0], cam[:, 1]), cam[:, 2])
    phi = np.arctan2(cam[:, 1], cam[:, 0])
    t2 = theta * theta
    r = focal_px * theta * (1.0 + t2 * (k1 + t2 * k2))
    inside = theta < math.radians(fisheye_fov_deg) / 2.0
    cx, cy = width / 2 + dx, height / 2 + dy
    rng = np.random.default_rng(scenario.seed)
    xy = np.column_stack([cx + r * np.cos(phi), cy + r * np.sin(phi)])[inside]
    xy += noise_px * rng.standard_normal(xy.shape)
    magnitudes = sky.vmag[chosen][inside]
    image = np.full((height, width), SKY_LEVEL)
    taken = np.empty((0, 2))
    offsets = np.arange(-4, 5)
    for (x, y), vmag in zip(xy, magnitudes):  # brightest first
        if not (EDGE_PX <= x < width - EDGE_PX and EDGE_PX <= y < height - EDGE_PX):
            continue
        if len(taken) and np.min(np.hypot(taken[:, 0] - x, taken[:, 1] - y)) < CROWDED_PX:
            continue
        taken = np.vstack([taken, (x, y)])
        ix, iy = round(x), round(y)
        gx = np.exp(-((ix + offsets - x) ** 2) / (2 * STAR_SIGMA_PX**2))
        gy = np.exp(-((iy + offsets - y) ** 2) / (2 * STAR_SIGMA_PX**2))
        image[iy - 4 : iy + 5, ix - 4 : ix + 5] += PEAK_SCALE * 10.0 ** (-0.4 * vmag) * np.outer(gy, gx)
    image += scenario.noise.background * rng.standard_normal(image.shape)
    pixels = np.clip(np.round(image), 0, 65535).astype(np.uint16)
    return CalibrationSky(pixels, focal_px, cx, cy, fisheye_fov_deg, k1, k2,
                          tuple(float(v) for v in camera_from_local[:, 2]))


@dataclasses.dataclass(frozen=True)
class CalibrationCase:
    """A seeded calibration problem: the scenario, the sky through the true
    lens, and the rough start (calibrate_photo's keyword arguments)."""

    scenario: Scenario
    sky: CalibrationSky
    rough: dict


FISHEYE_CALIBRATION_PX = 2048
PINHOLE_CALIBRATION_PX = (1600, 1200)


def calibration_cases(count: int, kind: str, catalog, seed: int = 17) -> list[CalibrationCase]:
    """Seeded skies for lens calibration.

    fisheye: a 180-degree calibrated fisheye (k1 -0.025 to -0.035, k2 -0.003
    to -0.005, image circle filling the frame) whose principal point sits 5
    to 15 px off centre in each axis and whose mount leans 1 degree; the
    rough start is the ideal 180-degree fisheye, centred and level.
    pinhole: 20 to 60 degrees across, principal point likewise off centre;
    the rough start is a focal up to 5 % off, centred, no vertical."""
    rng = random.Random(seed)
    noise = Noise(pixel_arcmin=0.0, up_arcmin=0.0, background=20.0)
    fisheye = kind == "fisheye"
    width, height = (FISHEYE_CALIBRATION_PX,) * 2 if fisheye else PINHOLE_CALIBRATION_PX
    camera = CameraModel(kind, width, height, None, 180.0 if fisheye else None, 5.5)
    cases = []
    for scenario in seeded_scenarios(count, camera, seed=seed, noise=noise):
        offset = tuple(rng.choice((-1, 1)) * rng.randint(5, 15) for _ in range(2))
        if fisheye:
            k1, k2 = rng.uniform(-0.035, -0.025), rng.uniform(-0.005, -0.003)
            half = math.pi / 2
            focal = min(width, height) / 2 / (half + k1 * half**3 + k2 * half**5)
            sky = render_calibration_sky(scenario, catalog, width, height, focal, 180.0, k1, k2, offset, 1.0,
                                         rng.uniform(0.0, 360.0), rng.uniform(0.0, 360.0))
            rough = {"fisheye_fov_deg": 180.0}
        else:
            field_deg = rng.uniform(20.0, 60.0)
            focal = width / 2 / math.tan(math.radians(field_deg / 2))
            sky = render_calibration_sky(scenario, catalog, width, height, focal, None, centre_offset_px=offset,
                                         roll_deg=rng.uniform(0.0, 360.0))
            rough = {"focal_px": focal * (1.0 + rng.uniform(-0.05, 0.05))}
        cases.append(CalibrationCase(scenario, sky, rough))
    return cases

# HR numbers of the twin catalogue's second copy are above this.
TWIN_HR = 100


def write_twin_catalog(folder, ra_deg: float = 60.0, dec_deg: float = 45.0):
    """A catalogue with a genuine tie, written into folder (twins.hcat,
    twins.hprs) and loaded: ten stars of magnitude 1.6 to 3.9 within 7
    degrees of (ra_deg, dec_deg), then the same ten turned 180 degrees about
    the celestial pole, numbered from TWIN_HR + 1. An image of either copy
    matches both equally well."""
    folder = Path(folder)
    rng = np.random.default_rng(8)
    ra0, dec0 = math.radians(ra_deg), math.radians(dec_deg)
    stars = []
    while len(stars) < 10:
        dra, ddec = rng.uniform(-0.12, 0.12, size=2)
        ra, dec = ra0 + dra / math.cos(dec0), dec0 + ddec
        if all(math.hypot((ra - s.ra_rad) * math.cos(dec0), dec - s.dec_rad) > 0.02 for s in stars):
            stars.append(builder.SourceStar(len(stars) + 1, 1.6 + 0.25 * len(stars), ra, dec, 0.0, 0.0, 0.0))
    twins = [builder.SourceStar(s.hr_id + TWIN_HR, s.vmag, (s.ra_rad + math.pi) % (2 * math.pi), s.dec_rad,
                                0.0, 0.0, 0.0) for s in stars]
    limits = builder.SelectionLimits(9.0, 9.0, 180.0, 9.0)
    chosen = builder.select_stars(stars + twins, limits)
    records = builder.star_records(chosen)
    (folder / "twins.hcat").write_bytes(builder.catalog_bytes(records))
    (folder / "twins.hprs").write_bytes(builder.pairs_bytes(builder.pair_records(records, chosen, limits)))
    return halvane.Catalog(str(folder / "twins.hcat"), str(folder / "twins.hprs"))


# The generator of lens families: every projection a user can name, all-sky
# and narrow fields, a principal point off centre, a leaning mount and a
# focal the stated field only roughly gives.
FAMILY_FIELDS = {"equidistant": (180.0, 200.0, 60.0), "equisolid": (180.0, 90.0), "stereographic": (180.0, 120.0),
                 "orthographic": (160.0, 100.0), "rectilinear": (40.0, 90.0)}


def family_case(scenario: Scenario, catalog, projection: str, field_deg: float, rng: random.Random,
                offset_share: float = 0.08, tilt_deg: float = 5.0, focal_error: float = 0.15,
                side_px: int = 1024) -> CalibrationCase:
    """One camera of a named projection whose field across the frame's
    shorter side is field_deg, rendered as the calibrated fisheye nearest
    that projection. The principal point sits up to offset_share of the
    image-circle radius off centre, the mount leans up to tilt_deg and the
    true focal is up to focal_error off the one the stated field gives. The
    rough start is what a user knows: the stated field, the projection,
    a centred principal point and a camera looking up."""
    focal_scale = 1.0 + rng.uniform(-focal_error, focal_error)
    distance = offset_share * side_px / 2.0 * math.sqrt(rng.uniform(0.0, 1.0))
    bearing = rng.uniform(0.0, 2 * math.pi)
    offset = (round(distance * math.cos(bearing)), round(distance * math.sin(bearing)))
    sky = family_sky(scenario, catalog, projection, field_deg, focal_scale, offset, rng.uniform(0.0, tilt_deg),
                     rng.uniform(0.0, 360.0), rng.uniform(0.0, 360.0), side_px)
    return CalibrationCase(scenario, sky, {"fisheye_fov_deg": field_deg, "projection": projection})


def family_sky(scenario: Scenario, catalog, projection: str, field_deg: float, focal_scale: float = 1.0,
               offset_px: tuple[int, int] = (0, 0), tilt_deg: float = 0.0, tilt_bearing_deg: float = 0.0,
               roll_deg: float = 0.0, side_px: int = 1024) -> CalibrationSky:
    """The sky through a camera of a named projection whose field across the
    frame's shorter side is field_deg, rendered as the calibrated fisheye
    nearest that projection, its focal focal_scale times the stated one."""
    half = math.radians(field_deg) / 2.0
    k = projection_k(projection, half)
    k1, k2 = _two_term(projection, half)
    # The renderer takes all-zero terms for the ideal fisheye, whose focal is
    # its own; a negligible term keeps the focal given.
    k1 = k1 or 1e-12
    radius = side_px / 2.0
    stated = radius / float(half * (1.0 + half**2 * (k[0] + half**2 * (k[1] + half**2 * (k[2] + half**2 * k[3])))))
    return render_leaning_sky(scenario, catalog, side_px, side_px, stated * focal_scale,
                              min(360.0, max(field_deg * 1.5, 200.0)) if field_deg >= 150 else field_deg * 1.6,
                              k1, k2, offset_px, tilt_deg, tilt_bearing_deg, roll_deg)


def capture_case(catalog, projection: str, field_deg: float, named: str | None = None, focal_scale: float = 1.0,
                 offset_px: tuple[int, int] = (0, 0), tilt_deg: float = 0.0, seed: int = 5) -> CalibrationCase:
    """One camera at a chosen distance from the user's rough start: the
    stated field, the projection named (default the true one), a centred
    principal point and a camera looking up."""
    camera = CameraModel(projection, 1024, 1024, None, 180.0, 5.5 if field_deg >= 120.0 else 6.5)
    scenario = seeded_scenarios(1, camera, seed=seed, noise=Noise(pixel_arcmin=0.0, up_arcmin=0.0, background=20.0))[0]
    sky = family_sky(scenario, catalog, projection, field_deg, focal_scale, offset_px, tilt_deg, 40.0,
                     70.0)
    return CalibrationCase(scenario, sky, {"fisheye_fov_deg": field_deg, "projection": named or projection})


def _two_term(projection: str, half_field_rad: float) -> tuple[float, float]:
    """k1, k2 of the two-term calibrated fisheye nearest the projection."""
    top = min(half_field_rad, math.radians(85.0) if projection in ("orthographic", "rectilinear") else 3.0)
    theta = np.linspace(top / 200.0, top, 200)
    t2 = theta * theta
    k, *_ = np.linalg.lstsq(np.column_stack([t2, t2**2]), PROJECTIONS[projection](theta) / theta - 1.0, rcond=None)
    return float(k[0]), float(k[1])


def family_cases(count: int, catalog, projection: str, field_deg: float, seed: int = 17,
                 **limits) -> list[CalibrationCase]:
    """count seeded cameras of family_case."""
    rng = random.Random(seed)
    wide = field_deg >= 120.0
    camera = CameraModel(projection, 1024, 1024, None, 180.0, 5.5 if wide else 6.5)
    noise = Noise(pixel_arcmin=0.0, up_arcmin=0.0, background=20.0)
    return [family_case(s, catalog, projection, field_deg, rng, **limits)
            for s in seeded_scenarios(count, camera, seed=seed, noise=noise)]
