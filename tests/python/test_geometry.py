import inspect
import math

import numpy as np
import pytest

import halvane
from halvane import HalvaneError

J2000 = 2451545.0
ARCMIN = math.radians(1 / 60)


def test_signatures():
    expected = {
        "precess_vector": ["jd_tt", "v"],
        "sun_apparent_jd": ["jd"],
        "great_circle_nm": ["lat1_deg", "lon1_deg", "lat2_deg", "lon2_deg"],
        "covariance_ellipse": ["azimuths_deg", "sigma_arcmin"],
    }
    for name, params in expected.items():
        assert list(inspect.signature(getattr(halvane, name)).parameters) == params


def test_precess_vector():
    assert halvane.precess_vector(J2000, [1, 0, 0]) == [1.0, 0.0, 0.0]
    # A quarter century on: P times the unit vectors gives P's columns.
    jd = J2000 + 0.25 * 36525
    rows = [
        (0.999981420817, -0.005590818971, -0.002429149035),
        (0.00559081897, 0.999984371226, -0.000006790821),
        (0.002429149037, -0.000006790238, 0.99999704959),
    ]
    for column, axis in enumerate(np.eye(3)):
        result = halvane.precess_vector(jd, axis)
        assert isinstance(result, list)
        assert result == pytest.approx([row[column] for row in rows], abs=1e-12)
    # Not normalised: the length is carried through.
    assert math.hypot(*halvane.precess_vector(jd, (0, 3.0, 4.0))) == pytest.approx(5.0, abs=1e-14)


@pytest.mark.parametrize(
    "v, kind, text",
    [
        ((1, 0), ValueError, "expected a sequence of length 3 (got 2)"),
        ([1, 0, 0, 0], ValueError, "expected a sequence of length 3 (got 4)"),
        (np.zeros(5), ValueError, "expected a sequence of length 3 (got 5)"),
        (1.0, TypeError, "argument 'v': expected a sequence of floats, not float"),
        ("abc", TypeError, "argument 'v': expected a sequence of floats, not str"),
        ([1, "a", 0], TypeError, "argument 'v': must be real number, not str"),
    ],
)
def test_precess_vector_refusals(v, kind, text):
    with pytest.raises(kind) as info:
        halvane.precess_vector(J2000, v)
    assert type(info.value) is kind and str(info.value) == text


def test_sun_apparent_jd():
    ra, dec = result = halvane.sun_apparent_jd(J2000)
    assert type(result) is tuple
    assert math.degrees(ra) == pytest.approx(281.28, abs=0.01)
    assert math.degrees(dec) == pytest.approx(-23.03, abs=0.01)
    for jd in (0.0, 1e6, J2000 - 1e6, 3e6):
        ra, dec = halvane.sun_apparent_jd(jd)
        assert 0.0 <= ra < 2 * math.pi and abs(dec) <= math.pi / 2


def test_great_circle_nm():
    assert halvane.great_circle_nm(12.0, 34.0, 12.0, 34.0) == 0.0
    assert halvane.great_circle_nm(0, 0, 0, 1) == pytest.approx(60.0, abs=1e-9)
    assert halvane.great_circle_nm(lat1_deg=0, lon1_deg=0, lat2_deg=90, lon2_deg=0) == pytest.approx(5400.0)


def test_covariance_ellipse_circle():
    major, minor, orientation = result = halvane.covariance_ellipse([0.0, 90.0], 1.0)
    assert type(result) is tuple and all(type(value) is float for value in result)
    # 2 sigma of one arcminute is two nautical miles on each axis.
    assert major == pytest.approx(2.0, abs=1e-12) and minor == pytest.approx(2.0, abs=1e-12)
    assert orientation == 0.0


def test_covariance_ellipse_shape():
    # Lines from 10 degrees either side of north cross at a shallow angle:
    # the ellipse is long east-west.
    major, minor, orientation = halvane.covariance_ellipse(np.array([-10.0, 10.0]), 1.5)
    assert abs(orientation) == pytest.approx(90.0)
    assert major == pytest.approx(2 * 1.5 / math.sqrt(2) / math.sin(math.radians(10)), rel=1e-12)
    assert minor == pytest.approx(2 * 1.5 / math.sqrt(2) / math.cos(math.radians(10)), rel=1e-12)
    assert halvane.covariance_ellipse((20, 40), 1.0)[2] == pytest.approx(-60.0)


@pytest.mark.parametrize(
    "azimuths, sigma, text",
    [
        ([], 1.0, "need at least two azimuths"),
        ([10.0], 1.0, "need at least two azimuths"),
        ([10.0, 10.0], 1.0, "singular geometry: parallel lines of position"),
        ([10.0, 190.0, 10.0], 1.0, "singular geometry: parallel lines of position"),
        ([0.0, 90.0], 0.0, "singular geometry: parallel lines of position"),
        ([0.0, math.nan], 1.0, "singular geometry: parallel lines of position"),
        ([0.0, 90.0], math.nan, "singular geometry: parallel lines of position"),
    ],
)
def test_covariance_ellipse_refusals(azimuths, sigma, text):
    with pytest.raises(HalvaneError) as info:
        halvane.covariance_ellipse(azimuths, sigma)
    assert str(info.value) == text


def test_covariance_ellipse_binder_refusals():
    with pytest.raises(TypeError, match="^argument 'azimuths_deg': "):
        halvane.covariance_ellipse("0, 90", 1.0)
    with pytest.raises(TypeError, match="^argument 'azimuths_deg': "):
        halvane.covariance_ellipse([0.0, None], 1.0)
    with pytest.raises(TypeError, match="^argument 'sigma_arcmin': "):
        halvane.covariance_ellipse([0.0, 90.0], "1")
