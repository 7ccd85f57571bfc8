"""Narrow fields: which bundled catalogue a lens needs, and an identification
that survives false detections among the brightest.

The wide catalogue (stars to V 5.5) leaves a third of 10-degree fields with
fewer than four stars; the deep one holds every star of the source with
pairs short enough for a narrow field. A pinhole's triangle search draws
from its five brightest detections, so two or three false ones among them
(hot pixels, satellites) leave no true triangle: `identify` then offers the
engine other five-detection pools from the brightest few, still verified on
every detection.
"""
from __future__ import annotations

import itertools
import math

# Fields at most this wide (degrees across the long side) get the deep
# catalogue; wider ones keep the wide catalogue, which is faster there and
# identifies as often.
DEEP_FIELD_DEG = 15.0

# The engine's pinhole triangle search uses this many of the brightest.
TRIANGLE_POOL = 5
# Pools are drawn from this many of the brightest detections.
POOL_CANDIDATES = 7
# A fix from a pool other than the brightest five must identify this many
# stars: each further search is a further chance for a lucky coincidence.
RETRY_MIN_MATCHED = 5

NO_MATCH = "no star pattern match found"
TOO_FEW_PREFIX = "insufficient stars"


class NarrowFieldError(ValueError):
    """A narrow field solved with the wide catalogue found too few stars."""


def field_deg(focal_px: float | None, width: int | None, height: int | None = None,
              fisheye_fov_deg: float | None = None) -> float | None:
    """Field across the long side of a pinhole of that focal length and
    image size, in degrees; None when it cannot be told (a fisheye is wide)."""
    if fisheye_fov_deg is not None:
        return float(fisheye_fov_deg)
    if not focal_px or not width or not (focal_px > 0):
        return None
    side = max(width, height or 0)
    return math.degrees(2.0 * math.atan(side / 2.0 / focal_px))


def wants_deep(field: float | None) -> bool:
    return field is not None and field <= DEEP_FIELD_DEG


def catalog_name(field: float | None) -> str:
    """"deep" or "wide": the bundled catalogue for a field of that width."""
    return "deep" if wants_deep(field) else "wide"


def lens_field_deg(lens, width: int, height: int) -> float | None:
    """field_deg of a halvane_tools.Lens on an image of that size."""
    return field_deg(lens.focal_px, width, height, lens.fisheye_fov_deg)


def too_few_message(field: float, error: Exception) -> str:
    return (f"{error}: a {field:.1f}-degree field holds few stars of the wide catalogue; "
            f"solve with the deep one (halvane_tools.default_catalog(field_deg={field:.1f}) or --catalog deep)")


def catalog_for(choice, field: float | None):
    """The catalogue a command line asks for: None chooses the bundled one
    by field; one word names a bundled catalogue ("wide" or "deep"); two
    paths are a catalogue file and its pair index."""
    import halvane

    from . import default_catalog

    if not choice:
        return default_catalog(field_deg=field)
    if len(choice) == 1:
        return default_catalog(name=choice[0])
    if len(choice) == 2:
        return halvane.Catalog(*choice)
    raise ValueError("--catalog takes a bundled catalogue's name (wide, deep) or STARS PAIRS files")


def _pools(count: int, candidates: int):
    """Five-detection pools from the brightest `candidates` of `count`
    detections, brightest pools first (by the sum of brightness ranks), the
    brightest five itself left out: the plain search has tried it."""
    top = min(count, candidates)
    pools = list(itertools.combinations(range(top), TRIANGLE_POOL))[1:]
    pools.sort(key=lambda pool: (sum(pool), pool))
    return pools


def identify(centroids, focal_px, cx, cy, up_cam, utc, catalog, *, fisheye_fov_deg=None,
             min_matched_stars=None, pool_candidates: int = POOL_CANDIDATES, solve=None,
             field: float | None = None, **options):
    """halvane.resolve_from_centroids, then, for a pinhole that found no
    match, the same detections with other five-detection pools from the
    brightest `pool_candidates` in front. The engine orders detections by
    flux alone (stably), so a pool is put in front by handing out ranks as
    fluxes; every detection still verifies and checks the identification.
    A fix from a later pool needs RETRY_MIN_MATCHED identified stars (or the
    caller's larger minimum). Raises the first search's error when no pool
    gives a fix. `solve` replaces halvane.resolve_from_centroids (a tracker's).

    A narrow field (`field`, degrees) that finds no fix with the wide
    bundled catalogue is refused with a message that points at the deep one."""
    import halvane

    solve = solve or halvane.resolve_from_centroids

    def attempt(points, minimum):
        return solve(points, focal_px, cx, cy, up_cam, utc, catalog, fisheye_fov_deg=fisheye_fov_deg,
                     min_matched_stars=minimum, **options)

    try:
        return _retry_pools(attempt, centroids, min_matched_stars, fisheye_fov_deg, pool_candidates)
    except halvane.HalvaneError as error:
        if not wants_deep(field) or not _is_wide(catalog):
            raise
        if not (str(error) == NO_MATCH or str(error).startswith(TOO_FEW_PREFIX)):
            raise
        raise halvane.HalvaneError(too_few_message(field, error)) from error


def _is_wide(catalog) -> bool:
    from . import default_catalog

    return catalog is default_catalog(name="wide")


def _retry_pools(attempt, centroids, min_matched_stars, fisheye_fov_deg, pool_candidates):
    import halvane

    try:
        return attempt(centroids, min_matched_stars)
    except halvane.HalvaneError as error:
        if fisheye_fov_deg is not None or str(error) != NO_MATCH:
            raise
        first = error
    ordered = sorted(centroids, key=lambda c: -c[2])
    if any(not math.isfinite(c[2]) for c in ordered):
        raise first
    minimum = max(RETRY_MIN_MATCHED, min_matched_stars or 0)
    for pool in _pools(len(ordered), pool_candidates):
        chosen = set(pool)
        order = [ordered[k] for k in pool] + [c for k, c in enumerate(ordered) if k not in chosen]
        ranked = [(x, y, float(len(order) - k)) for k, (x, y, _) in enumerate(order)]
        try:
            return attempt(ranked, minimum)
        except halvane.HalvaneError:
            continue
    raise first
