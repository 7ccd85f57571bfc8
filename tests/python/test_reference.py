"""The engine's astronomy against ERFA: precession, sidereal time, the Sun, and the apparent places the
renderer and the solver share; where the models differ on purpose the tolerance says by how much."""

import math

import erfa
import numpy as np
import pytest

import halvane

J2000 = 2451545.0
ARCSEC = math.radians(1.0 / 3600.0)
# 1900 to 2100, in steps that land on every part of the day and year.
DATES = [J2000 + d for d in (-36524.7, -12345.6, -0.25, 0.0, 1.5, 4567.8, 9131.3, 36524.9)]


def unit(ra, dec):
    return np.array([math.cos(dec) * math.cos(ra), math.cos(dec) * math.sin(ra), math.sin(dec)])


@pytest.mark.parametrize("jd", DATES)
def test_precession_is_the_iau_1976_matrix_and_sidereal_time_the_1982_gmst(jd):
    for v in np.random.default_rng(int(jd)).normal(size=(5, 3)):
        v /= np.linalg.norm(v)
        assert np.allclose(halvane.precess_vector(jd, list(v)), erfa.pmat76(jd, 0.0) @ v, rtol=0, atol=1e-14)
    # Same polynomial; the engine reduces seconds of the day, ERFA radians.
    assert halvane.gmst_deg(jd) == pytest.approx(math.degrees(erfa.gmst82(jd, 0.0)), abs=1e-8)


@pytest.mark.parametrize("jd", DATES)
def test_the_sun_is_within_its_low_precision_bound(jd):
    # ERFA's geocentric Sun with aberration, precession and nutation; the engine's low-precision series
    # omits nutation (up to 17") and its linear terms drift by tens of arcseconds a century.
    heliocentric, barycentric = erfa.epv00(jd, 0.0)
    distance = np.linalg.norm(heliocentric["p"])
    velocity = barycentric["v"] / erfa.DC
    direction = erfa.ab(-heliocentric["p"] / distance, velocity, distance, math.sqrt(1.0 - velocity @ velocity))
    ra, dec = erfa.c2s(erfa.pnm80(jd, 0.0) @ direction)
    ra_engine, dec_engine = halvane.sun_apparent_jd(jd)
    separation = math.acos(min(1.0, unit(erfa.anp(ra), dec) @ unit(ra_engine, dec_engine)))
    assert math.degrees(separation) < 0.015


@pytest.mark.parametrize("lat_deg, lon_deg, jd", [(48.0, 2.0, J2000 + 0.3), (-33.9, 151.2, J2000 - 0.6)])
def test_rendered_altitudes_carry_aberration_and_refraction(bundled_catalog, lat_deg, lon_deg, jd):
    # Each rendered star's altitude, read back through the lens, against ERFA's aberration and its refraction
    # at 1010 hPa and 10 C (the engine's Bennett formula runs 1-2 % above it: 3 % plus 1" allowed). A sign
    # error in either correction moves high altitudes by 15" or more.
    size = 2000
    scene = halvane.synthesize_scene(bundled_catalog, lat_deg, lon_deg, jd, 0.0, size, size, None, 3.5, 0.0, 0.0,
                                     0.0, 1, fisheye_fov_deg=180.0)
    camera = halvane.Camera(None, size / 2, size / 2, fisheye_fov_deg=180.0)
    up_cam = np.array(scene.up_cam)
    heliocentric, barycentric = erfa.epv00(jd, 0.0)
    velocity = barycentric["v"] / erfa.DC
    lorentz = math.sqrt(1.0 - velocity @ velocity)
    sun_distance = np.linalg.norm(heliocentric["p"])
    theta = math.radians(lon_deg) + erfa.gmst82(jd, 0.0)
    lat = math.radians(lat_deg)
    up = np.array([math.cos(lat) * math.cos(theta), math.cos(lat) * math.sin(theta), math.sin(lat)])
    refa, refb = erfa.refco(1010.0, 10.0, 0.0, 0.55)
    compared = 0
    for hr, pixel in zip(scene.rendered_hr_ids, scene.star_pixels):
        ra_deg, dec_deg, _ = bundled_catalog.star(hr)
        place = erfa.pmat76(jd, 0.0) @ erfa.ab(unit(math.radians(ra_deg), math.radians(dec_deg)), velocity,
                                               sun_distance, lorentz)
        altitude = math.asin(up @ place)
        if altitude < math.radians(10.0):
            continue
        zenith = math.pi / 2 - altitude
        refraction = refa * math.tan(zenith) + refb * math.tan(zenith) ** 3
        seen = math.asin(float(up_cam @ camera.pixel_to_vec(*pixel)))
        assert abs(seen - (altitude + refraction)) < 0.03 * refraction + ARCSEC, hr
        compared += 1
    assert compared >= 30
