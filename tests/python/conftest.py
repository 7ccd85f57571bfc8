"""Helpers and fixtures shared by the Python tests."""

import time

import numpy as np
import pytest
from PIL import Image

import halvane_tools
from halvane_tools import adverse, cli, photo, readers, scenarios


def raises(kind, text, call, *args, **kwargs):
    """Checks that call(*args, **kwargs) raises exactly `kind` (not a subclass) with exactly `text`."""
    with pytest.raises(kind) as info:
        call(*args, **kwargs)
    assert type(info.value) is kind and str(info.value) == text


@pytest.fixture(scope="session")
def bundled_catalog():
    return halvane_tools.default_catalog()


@pytest.fixture(scope="session")
def twins(tmp_path_factory):
    """The twin catalogue: one patch of bright stars twice, 180 degrees of right ascension apart."""
    return scenarios.write_twin_catalog(tmp_path_factory.mktemp("twins"))


@pytest.fixture(scope="session")
def adverse_fisheye():
    """A seeded 180-degree fisheye case and its adverse sky (Moon, horizon, glare)."""
    case = scenarios.seeded_scenarios(3, scenarios.FISHEYE, seed=2026)[2]
    return case, adverse.adverse_sky(case, halvane_tools.default_catalog())


@pytest.fixture(scope="session")
def adverse_solved(adverse_fisheye):
    """(case, sky, prepared, fix) of the adverse fisheye sky through the photo path."""
    case, sky = adverse_fisheye
    prepared = photo.prepare_photo(sky.pixels, sky.up_cam, photo.Lens(fisheye_fov_deg=180))
    return case, sky, prepared, prepared.solve(case.utc, halvane_tools.default_catalog())


def wait_for(condition, deadline_s=30.0):
    """Polls condition until it holds or deadline_s pass; its last answer."""
    end = time.monotonic() + deadline_s
    while not condition() and time.monotonic() < end:
        time.sleep(0.01)
    return condition()


def run_cli(capsys, *argv):
    """The command line run in-process: (exit status, stdout, stderr), a SystemExit's code as the status."""
    try:
        status = cli.main([str(a) for a in argv])
    except SystemExit as stopped:
        status = stopped.code
    out, err = capsys.readouterr()
    return status, out, err


def refused(capsys, status, text, *argv):
    """Checks that the command line stops with `status` and one stderr line holding `text`; that line."""
    got, _, err = run_cli(capsys, *argv)
    assert (got, err.count("\n")) == (status, 1) and text in err and "Traceback" not in err, (argv, err)
    return err


def exif_photo(path, clock=None, offset=None, exposure_s=None, subsec=None, pixels=None):
    """A photo whose EXIF records these fields (those given), grey 20 unless pixels are given."""
    exif = Image.Exif()
    fields = exif.get_ifd(readers.EXIF_IFD)
    for tag, value in ((readers.DATE_TIME_ORIGINAL, clock), (readers.OFFSET_TIME_ORIGINAL, offset),
                       (readers.EXPOSURE_TIME, exposure_s), (readers.SUBSEC_TIME_ORIGINAL, subsec)):
        if value is not None:
            fields[tag] = value
    Image.fromarray(np.full((64, 64), 20, np.uint8) if pixels is None else pixels).save(path, exif=exif)
    return path
