"""Companions of the halvane engine: the bundled star catalogue, its builder,
the photo path (solve_photo) and the command line. Imports :mod:`halvane`; the engine never imports this."""
from __future__ import annotations

import functools
from importlib import resources

__all__ = ["default_catalog", "solve_photo", "calibrate_photo", "Lens", "LensError", "PhotoError", "PhotoOptions",
           "CalibrationError"]

# Names of the bundled files under halvane_tools/data; the builder writes them.
CATALOG_FILE = "stars.hcat"
PAIRS_FILE = "pairs.hprs"
NAMES_FILE = "names.tsv"


def __getattr__(name: str):
    # __version__ is the extension's, which the build reads from pyproject.toml;
    # asked for lazily so that the catalogue builder runs without the extension.
    if name == "__version__":
        import halvane

        return halvane.__version__
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


@functools.cache
def default_catalog():
    """The bundled catalogue (Yale Bright Star Catalogue, stars to magnitude
    5.5) and its pair index, loaded once as a :class:`halvane.Catalog`. The
    catalogue is immutable, so every caller shares the one instance."""
    import halvane

    data = resources.files(__name__) / "data"
    with resources.as_file(data / CATALOG_FILE) as stars, resources.as_file(data / PAIRS_FILE) as pairs:
        return halvane.Catalog(str(stars), str(pairs))


# The one-call photo path and what its callers need beside it.
from .lens import Lens, LensError  # noqa: E402
from .photo import PhotoError, PhotoOptions, solve_photo  # noqa: E402
from .calibrate import CalibrationError, calibrate_photo  # noqa: E402
