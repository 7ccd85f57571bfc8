"""Companions of the halvane engine: the bundled star catalogue, its builder,
the photo path (solve_photo) and the command line. Imports :mod:`halvane`; the engine never imports this."""
from __future__ import annotations

import functools
from importlib import resources

__all__ = ["default_catalog", "solve_photo", "calibrate_photo", "calibrate_photos", "Lens", "LensError",
           "PhotoError", "PhotoOptions", "CalibrationError"]

# Names of the bundled files under halvane_tools/data; the builder writes them.
CATALOG_FILE = "stars.hcat"
PAIRS_FILE = "pairs.hprs"
NAMES_FILE = "names.tsv"
# Proper names (Capella) of the named bright stars, made by the builder from ephem.
PROPER_NAMES_FILE = "proper_names.tsv"
# The deep catalogue for narrow fields: every star of the source, short pairs.
DEEP_CATALOG_FILE = "stars_deep.hcat"
DEEP_PAIRS_FILE = "pairs_deep.hprs"


def default_catalog(field_deg: float | None = None, *, name: str | None = None):
    """The bundled catalogue for a lens of field_deg across its long side,
    loaded once as a :class:`halvane.Catalog` and shared (it is immutable).

    Fields up to 15 degrees get the deep catalogue (every star of the Yale
    Bright Star Catalogue, to about magnitude 7, with pairs up to 12
    degrees); wider fields and None get the wide one (stars to magnitude
    5.5, pairs for every field up to a full sky). name ("wide" or "deep")
    chooses directly and overrides field_deg."""
    from .narrow import catalog_name

    chosen = name if name is not None else catalog_name(field_deg)
    if chosen not in _BUNDLED:
        raise ValueError(f"no bundled catalogue {chosen!r}; choose one of {', '.join(_BUNDLED)}")
    return _load_bundled(chosen)


# Bundled catalogue name -> (stars file, pairs file) under halvane_tools/data.
_BUNDLED = {"wide": (CATALOG_FILE, PAIRS_FILE), "deep": (DEEP_CATALOG_FILE, DEEP_PAIRS_FILE)}


def __getattr__(name: str):
    # __version__ is the extension's, which the build reads from pyproject.toml;
    # asked for lazily so that the catalogue builder runs without the extension.
    if name == "__version__":
        import halvane

        return halvane.__version__
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


@functools.cache
def _load_bundled(name: str):
    import halvane

    data = resources.files(__name__) / "data"
    stars_file, pairs_file = _BUNDLED[name]
    with resources.as_file(data / stars_file) as stars, resources.as_file(data / pairs_file) as pairs:
        return halvane.Catalog(str(stars), str(pairs))


# The one-call photo path and what its callers need beside it.
from .lens import Lens, LensError  # noqa: E402
from .photo import PhotoError, PhotoOptions, solve_photo  # noqa: E402
from .calibrate import CalibrationError, calibrate_photo, calibrate_photos  # noqa: E402
