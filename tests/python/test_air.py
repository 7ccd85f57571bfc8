"""The site's air: refraction against ERFA, the altitude handed to the engine, detections moved along the vertical."""
import math

import numpy as np
import pytest

from halvane_tools import air
from halvane_tools.air import Air

erfa = pytest.importorskip("erfa")

ALTITUDES_DEG = np.array([10.0, 15.0, 20.0, 30.0, 45.0, 60.0, 80.0])
ARCSEC = math.radians(1.0 / 3600.0)


def erfa_true_altitude(apparent_rad: float, site: Air) -> float:
    """By ERFA, the altitude of a star seen at apparent_rad with the site's air taken away."""
    utc1, utc2 = erfa.dtf2d("UTC", 2024, 3, 1, 0, 0, 0.0)
    args = (utc1, utc2, 0.0, 0.0, 0.5, 0.0, 0.0, 0.0)
    zenith = math.pi / 2 - apparent_rad
    with_air = erfa.atoc13("A", 0.3, zenith, *args, *site.erfa_arguments())
    without = erfa.atoc13("A", 0.3, zenith, *args, 0.0, site.temperature_c, site.humidity, site.wavelength_um)
    return apparent_rad - erfa.seps(*with_air, *without)


@pytest.mark.parametrize("site", [Air.at_site(0.0), Air.at_site(2200.0), Air.at_site(4200.0),
                                  Air.at_site(pressure_hpa=760.0, temperature_c=-5.0)],
                         ids=["sea", "2200m", "4200m", "measured"])
def test_the_engine_is_handed_the_true_altitude_of_erfa(site):
    apparent = np.radians(ALTITUDES_DEG)
    handed = air.as_engine_altitude(apparent, site)
    # What the engine makes of it: its own sea-level refraction removed.
    engine_true = handed - air.engine_refraction_rad(handed)
    expected = np.array([erfa_true_altitude(h, site) for h in apparent])
    assert np.abs(engine_true - expected).max() < 0.05 * ARCSEC
    assert np.abs(site.refraction_rad(apparent) - (apparent - expected)).max() < 0.05 * ARCSEC


def test_standard_pressure_and_refused_air():
    assert air.standard_pressure_hpa(0.0) == pytest.approx(1013.25)
    assert air.standard_pressure_hpa(2200.0) == pytest.approx(777.2, abs=0.1)
    assert Air.at_site(1000.0, pressure_hpa=900.0).pressure_hpa == 900.0
    for bad in ({"pressure_hpa": -1.0}, {"temperature_c": 400.0}, {"height_m": float("nan")}):
        with pytest.raises(ValueError):
            Air.at_site(**bad)


def test_the_photo_path_moves_detections_up_their_vertical():
    import halvane

    from halvane_tools import photo

    lens = photo.Lens(focal_px=800.0, cx=500.0, cy=400.0)
    up = (0.0, -0.8, 0.6)  # camera tilted 53 degrees up from the horizon
    detections = [(500.0, 790.0, 9.0), (120.0, 300.0, 8.0), (880.0, 60.0, 7.0)]
    site = Air.at_site(2200.0)
    moved = photo.through_air(detections, lens, up, 1000, 800, site)
    camera = halvane.Camera(800.0, 500.0, 400.0, 1000, 800)

    def altitude(x, y):
        ray = np.asarray(camera.pixel_to_vec(x, y))
        return math.asin(np.dot(ray / np.linalg.norm(ray), up))

    for (x, y, flux), (mx, my, mflux) in zip(detections, moved):
        assert mflux == flux
        expected = air.as_engine_altitude(altitude(x, y), site)
        assert abs(altitude(mx, my) - expected) < 0.01 * ARCSEC
        # Along the vertical: the azimuth stays.
        ray, new = (np.asarray(camera.pixel_to_vec(*p)) for p in ((x, y), (mx, my)))
        assert abs(np.dot(np.cross(ray, new), up)) < 1e-9
