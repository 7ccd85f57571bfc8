import math

import numpy as np
import pytest

import halvane
from halvane import HalvaneError

J2000 = 2451545.0


def test_precess_vector():
    assert halvane.precess_vector(J2000, [1, 0, 0]) == [1.0, 0.0, 0.0]
    # A list back, and the length of v carried through, not normalised (the values: test_reference).
    jd = J2000 + 0.25 * 36525
    assert halvane.precess_vector(jd, np.array([2.0, 0.0, 0.0])) == [2 * c for c in halvane.precess_vector(jd, (1, 0, 0))]


def test_sun_apparent_jd_and_great_circle_nm():
    ra, dec = result = halvane.sun_apparent_jd(J2000)
    assert type(result) is tuple
    assert (math.degrees(ra), math.degrees(dec)) == pytest.approx((281.28, -23.03), abs=0.01)
    # A degree of longitude at 60 N is half a degree of arc: the arguments keep their order.
    assert halvane.great_circle_nm(lat1_deg=60, lon1_deg=0, lat2_deg=60, lon2_deg=1) == pytest.approx(30.0, abs=1e-3)


def test_covariance_ellipse():
    # Lines 10 degrees either side of 30: long across that bearing.
    result = halvane.covariance_ellipse(np.array([20.0, 40.0]), 1.5)
    assert type(result) is tuple and all(type(value) is float for value in result)
    expected = (3 / math.sqrt(2) / math.sin(math.radians(10)), 3 / math.sqrt(2) / math.cos(math.radians(10)), -60.0)
    assert result == pytest.approx(expected, rel=1e-12, abs=1e-12)


SINGULAR = "singular geometry: parallel lines of position"


@pytest.mark.parametrize(
    "function, args, kind, text",
    [
        # The binder's length and type refusals.
        ("precess_vector", (J2000, (1, 0)), ValueError, "argument 'v': expected a sequence of length 3 (got 2)"),
        ("precess_vector", (J2000, [1, "a", 0]), TypeError, "argument 'v': must be real number, not str"),
        ("covariance_ellipse", ("0, 90", 1.0), TypeError, "argument 'azimuths_deg': expected a sequence of floats, not str"),
        ("covariance_ellipse", ([0.0, None], 1.0), TypeError, "argument 'azimuths_deg': must be real number, not NoneType"),
        # The ellipse's own.
        ("covariance_ellipse", ([], 1.0), HalvaneError, "need at least two azimuths"),
        ("covariance_ellipse", ([10.0], 1.0), HalvaneError, "need at least two azimuths"),
        ("covariance_ellipse", ([10.0, 190.0, 10.0], 1.0), HalvaneError, SINGULAR),
        ("covariance_ellipse", ([0.0, 90.0], 0.0), HalvaneError, SINGULAR),
    ],
)
def test_refusals(function, args, kind, text):
    with pytest.raises(kind) as info:
        getattr(halvane, function)(*args)
    assert type(info.value) is kind and str(info.value) == text
