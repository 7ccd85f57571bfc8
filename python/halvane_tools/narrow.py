"""Narrow fields: which bundled catalogue a lens needs, and an identification
that survives false detections among the brightest.

The wide catalogue (stars to V 5.5) leaves a third of 10-degree fields with
fewer than four stars; the deep one holds every star of the source with
pairs short enough for a narrow field. A pinhole's triangle search draws
from its five brightest detections, so two or three false ones among them
(hot pixels, satellites) leave no true triangle: `identify` then offers the
engine other five-detection pools that together hold every triangle of the
brightest fourteen, each verified on a longer list of detections.
"""
from __future__ import annotations

import functools
import itertools
import math

import halvane

from . import default_catalog

# Fields at most this wide (degrees across the long side) get the deep
# catalogue; wider ones keep the wide catalogue, which is faster there and
# identifies as often.
DEEP_FIELD_DEG = 15.0
# A field a little wider keeps the wide catalogue, which identifies most of
# them soonest; when it finds nothing (false detections crowding its few
# paired stars), the deep one is searched too. Measured at 20 degrees with
# 10 false detections (100 random pointings): 87 % -> 100 %.
DEEP_RESCUE_FIELD_DEG = 30.0

# The engine's pinhole triangle search uses this many of the brightest.
TRIANGLE_POOL = 5
# Pools are drawn from this many of the brightest detections. Measured on
# 10-degree fields with 10 false detections (deep catalogue, 100 random
# pointings): 12 gave 92 %, 14 gave 94 %, 16 no more; 14 takes 51 pools
# against 32 for 12, which is what a field with no fix pays.
POOL_CANDIDATES = 14
# A retry verifies on at least this many of the brightest detections (the
# pool first): with a dozen false ones among them, the engine's default 12
# leaves too few true stars to confirm a fix (10 degrees: 62 % -> 95 %).
RETRY_SEARCH_DETECTIONS = 20
# A fix from a pool other than the brightest five must identify enough
# stars and fit them closely: the engine bounds the chance of a coincidence
# per search, and the retries make dozens of searches. Measured on random
# detection sets (deep catalogue, 8-15 degrees), the coincidences that the
# engine passed named 6 to 8 stars at 0.39-2.5 arcminutes rms (one in 2,000
# sets of 10 degrees named 6 at 0.39); true fixes from exact centroids with
# false detections among them stay under 0.5 arcminutes, and a field of few
# stars names only 6 or 7. So 8 stars within an arcminute, or 7 within half
# of one.
RETRY_MIN_MATCHED = 8
RETRY_MAX_RESIDUAL_RMS_ARCMIN = 1.0
RETRY_FEW_MATCHED = 7
RETRY_FEW_MAX_RESIDUAL_RMS_ARCMIN = 0.5

NO_MATCH = "no star pattern match found"
TOO_FEW_PREFIX = "insufficient stars"
THIN_LOCK_PREFIX = "thin lock: "


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
    if not choice:
        return default_catalog(field_deg=field)
    if len(choice) == 1:
        return default_catalog(name=choice[0])
    if len(choice) == 2:
        return halvane.Catalog(*choice)
    raise ValueError("--catalog takes a bundled catalogue's name (wide, deep) or STARS PAIRS files")


@functools.cache
def _pools(count: int, candidates: int) -> tuple[tuple[int, ...], ...]:
    """Five-detection pools that together hold every triangle of the
    brightest `candidates` of `count` detections, the brightest five itself
    left out (the plain search has tried its triangles). Built greedily: each
    pool holds the most triangles not yet held, brighter pools first on a
    tie, so three true stars anywhere among the candidates meet in some pool
    while the pools stay few (18 for 10 candidates against 251 subsets)."""
    top = min(count, candidates)
    if top <= TRIANGLE_POOL:
        return ()
    held = set(itertools.combinations(range(TRIANGLE_POOL), 3))
    subsets = sorted(itertools.combinations(range(top), TRIANGLE_POOL), key=lambda pool: (sum(pool), pool))
    wanted = math.comb(top, 3)
    pools = []
    while len(held) < wanted:
        best, gain = None, 0
        for pool in subsets:
            new = sum(t not in held for t in itertools.combinations(pool, 3))
            if new > gain:
                best, gain = pool, new
        held.update(itertools.combinations(best, 3))
        pools.append(best)
    return tuple(pools)


def identify(centroids, focal_px, cx, cy, up_cam, utc, catalog, *, fisheye_fov_deg=None,
             min_matched_stars=None, pool_candidates: int = POOL_CANDIDATES, solve=None,
             field: float | None = None, **options):
    """halvane.resolve_from_centroids, then, for a pinhole that found no
    match, the same detections with other five-detection pools from the
    brightest `pool_candidates` in front. The engine orders detections by
    flux alone (stably), so a pool is put in front by handing out ranks as
    fluxes; every detection still verifies and checks the identification,
    the brightest RETRY_SEARCH_DETECTIONS (or the caller's max_centroids if
    more) searched. A fix from a later pool needs RETRY_MIN_MATCHED
    identified stars within RETRY_MAX_RESIDUAL_RMS_ARCMIN rms, or
    RETRY_FEW_MATCHED within RETRY_FEW_MAX_RESIDUAL_RMS_ARCMIN (the caller's
    larger minimum and smaller bound win). Raises the first search's error
    when no pool gives a fix. `solve` replaces halvane.resolve_from_centroids (a tracker's).

    A narrow field (`field`, degrees) that finds no fix with the wide
    bundled catalogue is refused with a message that points at the deep one;
    a pinhole field up to DEEP_RESCUE_FIELD_DEG is searched with the deep
    one before the wide catalogue's refusal is raised."""
    solve = solve or halvane.resolve_from_centroids

    def search(catalog):
        def attempt(points, minimum, searched=None, rms_bound=math.inf):
            given = dict(options)
            if searched is not None:
                given["max_centroids"] = max(options.get("max_centroids") or 12, searched)
                rms = options.get("max_residual_rms_arcmin")
                given["max_residual_rms_arcmin"] = min(rms or math.inf, rms_bound)
            return solve(points, focal_px, cx, cy, up_cam, utc, catalog, fisheye_fov_deg=fisheye_fov_deg,
                         min_matched_stars=minimum, **given)

        return _retry_pools(attempt, centroids, min_matched_stars, fisheye_fov_deg, pool_candidates)

    try:
        return search(catalog)
    except halvane.HalvaneError as error:
        if field is None or not _is_wide(catalog):
            raise
        if not (str(error) == NO_MATCH or str(error).startswith(TOO_FEW_PREFIX)):
            raise
        if wants_deep(field):
            raise halvane.HalvaneError(too_few_message(field, error)) from error
        if fisheye_fov_deg is not None or field > DEEP_RESCUE_FIELD_DEG:
            raise
        try:
            return search(default_catalog(name="deep"))
        except halvane.HalvaneError:
            raise error from None


def _is_wide(catalog) -> bool:
    return catalog is default_catalog(name="wide")


def _retry_pools(attempt, centroids, min_matched_stars, fisheye_fov_deg, pool_candidates):
    try:
        return attempt(centroids, min_matched_stars)
    except halvane.HalvaneError as error:
        if fisheye_fov_deg is not None or str(error) != NO_MATCH:
            raise
        first = error
    ordered = sorted(centroids, key=lambda c: -c[2])
    if any(not math.isfinite(c[2]) for c in ordered):
        raise first
    few = max(RETRY_FEW_MATCHED, min_matched_stars or 0)
    enough = max(RETRY_MIN_MATCHED, few)
    for pool in _pools(len(ordered), pool_candidates):
        chosen = set(pool)
        order = [ordered[k] for k in pool] + [c for k, c in enumerate(ordered) if k not in chosen]
        ranked = [(x, y, float(len(order) - k)) for k, (x, y, _) in enumerate(order)]
        # Both gates go to the engine, so a tracker never records a fix
        # that is then refused; only a fix held back by a gate is tried on
        # the looser one.
        try:
            return attempt(ranked, few, RETRY_SEARCH_DETECTIONS, RETRY_FEW_MAX_RESIDUAL_RMS_ARCMIN)
        except halvane.HalvaneError as refusal:
            if not str(refusal).startswith(THIN_LOCK_PREFIX):
                continue
        try:
            return attempt(ranked, enough, RETRY_SEARCH_DETECTIONS, RETRY_MAX_RESIDUAL_RMS_ARCMIN)
        except halvane.HalvaneError:
            continue
    raise first
