import math

import numpy as np
import pytest

import halvane
from conftest import raises


def test_arguments_by_keyword_and_numpy_scalars():
    assert halvane.julian_date(second=0, minute=0, hour=12, day=1, month=1, year=2000) == 2451545.0
    assert halvane.julian_date(2000, 1, day=np.uint8(1), hour=np.int64(12), minute=0, second=np.float32(0)) == 2451545.0
    # Out-of-range fields flow through the formula instead of raising.
    assert halvane.julian_date(2000, 13, 1, 0, 0, 0.0) == halvane.julian_date(2001, 1, 1, 0, 0, 0.0)
    assert halvane.gmst_deg(jd_ut=2451545) == pytest.approx(280.46061837, abs=1e-8)
    # The integer bounds are inclusive.
    assert math.isfinite(halvane.julian_date(-(2**31), 4294967295, 0, 0, 0, 0.0))
    assert math.isfinite(halvane.julian_date(2**31 - 1, 0, 4294967295, 4294967295, 4294967295, 0.0))


@pytest.mark.parametrize(
    "call, kind, text",
    [
        (lambda: halvane.gmst_deg(), TypeError, "gmst_deg() missing 1 required positional argument: 'jd_ut'"),
        (lambda: halvane.gmst_deg(1.0, 2.0), TypeError, "gmst_deg() takes 1 positional argument but 2 were given"),
        (lambda: halvane.gmst_deg(jd=1.0), TypeError, "gmst_deg() got an unexpected keyword argument 'jd'"),
        (lambda: halvane.gmst_deg(1.0, jd_ut=1.0), TypeError, "gmst_deg() got multiple values for argument 'jd_ut'"),
        # Keyword names are shown whole: a NUL is not a terminator, a lone
        # surrogate is escaped rather than failing the message.
        (lambda: halvane.gmst_deg(**{"jd\0x": 1.0}), TypeError, "gmst_deg() got an unexpected keyword argument 'jd\0x'"),
        (lambda: halvane.gmst_deg(**{"jd\ud800": 1.0}), TypeError, "gmst_deg() got an unexpected keyword argument 'jd\\ud800'"),
        (lambda: halvane.gmst_deg("2451545"), TypeError, "argument 'jd_ut': must be real number, not str"),
        (lambda: halvane.gmst_deg(10**400), OverflowError, "argument 'jd_ut': int too large to convert to float"),
        (lambda: halvane.julian_date(2000, 1, 1), TypeError,
         "julian_date() missing 3 required positional arguments: 'hour', 'minute', and 'second'"),
        (lambda: halvane.julian_date(2000, 1, 1, 12, 0), TypeError, "julian_date() missing 1 required positional argument: 'second'"),
        (lambda: halvane.julian_date(2000, 1, 1, 12, 0, 0.0, 1), TypeError, "julian_date() takes 6 positional arguments but 7 were given"),
        (lambda: halvane.julian_date(2000, 1, 1, 12.5, 0, 0.0), TypeError, "argument 'hour': 'float' object cannot be interpreted as an integer"),
        (lambda: halvane.julian_date(2000, -1, 1, 12, 0, 0.0), OverflowError, "argument 'month': -1 is outside the range 0 to 4294967295"),
        (lambda: halvane.julian_date(2**31, 1, 1, 12, 0, 0.0), OverflowError,
         "argument 'year': 2147483648 is outside the range -2147483648 to 2147483647"),
        (lambda: halvane.julian_date(2000, 1, 2**32, 12, 0, 0.0), OverflowError, "argument 'day': 4294967296 is outside the range 0 to 4294967295"),
        # The first failing argument in signature order.
        (lambda: halvane.julian_date(2000, "x", 1, 12.5, 0, "y"), TypeError, "argument 'month': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_binder_refusals(call, kind, text):
    raises(kind, text, call)
