import inspect
import math
import pathlib
import struct

import numpy as np
import pytest

import halvane
import halvane_tools

# (hr_id, vmag, ra_deg, dec_deg) written by the helper below.
STARS = [(7001, 0.03, 279.2346, 38.7836), (2491, -1.46, 101.2871, -16.7161), (424, 2.2, 37.9529, 89.2642)]


def star_record(hr_id, vmag, ra_deg, dec_deg, pm_ra=0.0, pm_dec=0.0, parallax=0.0):
    ra, dec = math.radians(ra_deg), math.radians(dec_deg)
    unit = (math.cos(dec) * math.cos(ra), math.cos(dec) * math.sin(ra), math.sin(dec))
    return struct.pack("<Ifdddddfff", hr_id, vmag, ra, dec, *unit, pm_ra, pm_dec, parallax)


def catalog_bytes(stars=STARS, count=None, version=2, epoch=2000.0):
    count = len(stars) if count is None else count
    return struct.pack("<4sIId", b"HCAT", version, count, epoch) + b"".join(star_record(*s) for s in stars)


def cos_sep(a, b):
    (_, _, ra1, dec1), (_, _, ra2, dec2) = STARS[a], STARS[b]
    ra1, dec1, ra2, dec2 = map(math.radians, (ra1, dec1, ra2, dec2))
    return math.sin(dec1) * math.sin(dec2) + math.cos(dec1) * math.cos(dec2) * math.cos(ra1 - ra2)


def default_pairs():
    pairs = [(cos_sep(i, j), i, j) for i, j in ((0, 1), (1, 2), (0, 2))]
    return sorted(pairs)


def pairs_bytes(pairs=None, count=None, version=1):
    pairs = default_pairs() if pairs is None else pairs
    count = len(pairs) if count is None else count
    return struct.pack("<4sII", b"HPRS", version, count) + b"".join(struct.pack("<fHH", *p) for p in pairs)


@pytest.fixture
def write_files(tmp_path):
    def write(catalog=None, pairs=None):
        catalog_path, pairs_path = tmp_path / "stars.hcat", tmp_path / "pairs.hprs"
        catalog_path.write_bytes(catalog_bytes() if catalog is None else catalog)
        pairs_path.write_bytes(pairs_bytes() if pairs is None else pairs)
        return str(catalog_path), str(pairs_path)

    return write


@pytest.fixture
def small(write_files):
    return halvane.Catalog(*write_files())


def test_small_catalogue_queries(small):
    assert small.n_stars == 3
    ra, dec, vmag = small.star(7001)
    assert ra == pytest.approx(279.2346, abs=1e-12) and dec == pytest.approx(38.7836, abs=1e-12)
    # The stored f32 magnitude, widened exactly.
    assert small.star(424)[2] == 2.200000047683716
    assert [s[0] for s in small.stars()] == [7001, 2491, 424]
    assert small.stars()[1] == (2491, *small.star(2491))
    assert all(type(v) is float for v in small.star(2491))


def test_unknown_hr_number(small):
    with pytest.raises(halvane.HalvaneError, match="^HR 99999 not in catalog$"):
        small.star(99999)
    with pytest.raises(OverflowError):
        small.star(-1)
    with pytest.raises(OverflowError):
        small.star(2**32)


def test_has_pair_is_symmetric_and_tolerance_bounded(small, write_files):
    sep = math.degrees(math.acos(cos_sep(0, 1)))
    for a, b in ((7001, 2491), (2491, 7001)):
        assert small.has_pair(a, b, sep, 0.01)
        assert small.has_pair(a, b, sep + 0.009, 0.01)
        assert not small.has_pair(a, b, sep + 0.02, 0.01)
        # A negative tolerance is an empty window, not an error.
        assert not small.has_pair(a, b, sep, -0.01)
    assert not small.has_pair(7001, 7001, sep, 0.01)
    assert not small.has_pair(7001, 2491, math.nan, 0.01)
    # The window stops at 0 and 180 degrees instead of folding back.
    antipodal = halvane.Catalog(*write_files(pairs=pairs_bytes([(-1.0, 0, 1), (1.0, 1, 2)])))
    assert antipodal.has_pair(7001, 2491, 180.0, 0.01) and antipodal.has_pair(7001, 2491, 179.995, 0.01)
    assert antipodal.has_pair(424, 2491, 0.0, 0.01) and antipodal.has_pair(424, 2491, 0.005, 0.01)
    assert not antipodal.has_pair(7001, 2491, 180.0, -0.01)
    assert small.has_pair(hr_a=424, hr_b=7001, sep_deg=math.degrees(math.acos(cos_sep(0, 2))), tol_deg=0.001)


def test_signatures_and_docstrings():
    assert str(inspect.signature(halvane.Catalog)) == "(catalog_path, pairs_path)"
    for method, names in (("star", ["hr_id"]), ("stars", []), ("has_pair", ["hr_a", "hr_b", "sep_deg", "tol_deg"])):
        assert list(inspect.signature(getattr(halvane.Catalog, method)).parameters) == ["self", *names]
    assert halvane.Catalog.star.__doc__.endswith("(ra_deg, dec_deg, vmag) for a given HR number.")
    assert halvane.Catalog.has_pair.__doc__.endswith("True if the pair index holds (hr_a, hr_b) at sep_deg +/- tol_deg.")


def test_instances_are_immutable(small):
    with pytest.raises(AttributeError):
        small.n_stars = 4
    with pytest.raises(AttributeError):
        small.extra = 1


def test_paths_must_be_str(write_files):
    catalog_path, pairs_path = write_files()
    with pytest.raises(TypeError, match="^argument 'catalog_path': must be str, not PosixPath$"):
        halvane.Catalog(pathlib.Path(catalog_path), pairs_path)
    with pytest.raises(TypeError, match="^argument 'pairs_path': must be str, not bytes$"):
        halvane.Catalog(catalog_path, pairs_path.encode())
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'pairs_path'"):
        halvane.Catalog(catalog_path)
    assert halvane.Catalog(pairs_path=pairs_path, catalog_path=catalog_path).n_stars == 3


# (catalogue bytes, pair bytes, message after "catalog format error: ")
REFUSALS = {
    "empty catalogue": (b"", None, "truncated: wanted 4 bytes at offset 0"),
    "header only": (catalog_bytes()[:12], None, "truncated: wanted 8 bytes at offset 12"),
    "bad magic": (b"HCAX" + catalog_bytes()[4:], None, "bad magic, expected HCAT"),
    "catalogue version 3": (catalog_bytes(version=3), None, "unsupported version 3; this build reads version 2"),
    "pair version 2": (None, pairs_bytes(version=2), "unsupported version 2; this build reads version 1"),
    "pair file bad magic": (None, catalog_bytes(), "bad magic, expected HPRS"),
    "extra catalogue byte": (catalog_bytes() + b"\0", None, "trailing bytes after catalog records"),
    "extra pair byte": (None, pairs_bytes() + b"\0", "trailing bytes after pairs records"),
    "unsorted pairs": (None, pairs_bytes([(0.5, 0, 1), (0.25, 1, 2)]), "pairs not sorted by cos_theta"),
    "index out of range": (None, pairs_bytes([(0.5, 0, 1), (0.6, 2, 3)]), "pair index out of range: 2,3"),
    "last pair cut after i": (None, pairs_bytes()[:-2], "truncated: wanted 2 bytes at offset 34"),
    "huge star count": (catalog_bytes(count=4_000_000_000), None, "truncated: wanted 4 bytes at offset 200"),
    "huge pair count": (None, pairs_bytes(count=4_000_000_000), "truncated: wanted 4 bytes at offset 36"),
}


@pytest.mark.parametrize("catalog, pairs, message", REFUSALS.values(), ids=REFUSALS.keys())
def test_format_refusals(write_files, catalog, pairs, message):
    with pytest.raises(halvane.HalvaneError) as raised:
        halvane.Catalog(*write_files(catalog, pairs))
    assert str(raised.value) == "catalog format error: " + message


# A star record's fields: (offset within the record, size).
STAR_FIELDS = [(0, 4), (4, 4), (8, 8), (16, 8), (24, 8), (32, 8), (40, 8), (48, 4), (52, 4), (56, 4)]


@pytest.mark.parametrize("offset, size", STAR_FIELDS)
def test_record_cut_inside_every_field(write_files, offset, size):
    # Cut the second star record one byte into the field.
    start = 20 + 60 + offset
    with pytest.raises(halvane.HalvaneError) as raised:
        halvane.Catalog(*write_files(catalog_bytes()[: start + 1]))
    assert str(raised.value) == f"catalog format error: truncated: wanted {size} bytes at offset {start}"


def test_empty_catalogue_loads(write_files):
    catalog = halvane.Catalog(*write_files(catalog_bytes([]), pairs_bytes([])))
    assert catalog.n_stars == 0 and catalog.stars() == []
    assert not catalog.has_pair(1, 2, 10.0, 180.0)


def test_file_system_failures(write_files, tmp_path):
    catalog_path, pairs_path = write_files()
    missing = str(tmp_path / "missing.hcat")
    for args in ((missing, pairs_path), (catalog_path, missing)):
        with pytest.raises(halvane.HalvaneError) as raised:
            halvane.Catalog(*args)
        assert str(raised.value) == "i/o error: No such file or directory (os error 2)"
    with pytest.raises(halvane.HalvaneError, match=r"^i/o error: Is a directory \(os error 21\)$"):
        halvane.Catalog(str(tmp_path), pairs_path)
    with pytest.raises(halvane.HalvaneError, match=r"^i/o error: Invalid argument \(os error 22\)$"):
        halvane.Catalog(catalog_path + "\0", pairs_path)


def test_non_ascii_path(tmp_path):
    folder = tmp_path / "étoiles"
    folder.mkdir()
    (folder / "s.hcat").write_bytes(catalog_bytes())
    (folder / "p.hprs").write_bytes(pairs_bytes())
    assert halvane.Catalog(str(folder / "s.hcat"), str(folder / "p.hprs")).n_stars == 3


def test_default_catalogue_loads_in_one_call():
    catalog = halvane_tools.default_catalog()
    assert isinstance(catalog, halvane.Catalog)
    assert halvane_tools.default_catalog() is catalog
    ra, dec, vmag = catalog.star(7001)  # Vega
    assert (ra, dec, vmag) == pytest.approx((279.235, 38.784, 0.03), abs=1e-3)
    stars = catalog.stars()
    assert len(stars) == catalog.n_stars
    magnitudes = [s[3] for s in stars]
    assert magnitudes == sorted(magnitudes)
    assert stars[0][0] == 2491  # Sirius


def test_default_catalogue_pairs_bright_stars_at_every_separation():
    catalog = halvane_tools.default_catalog()
    stars = {s[0]: s for s in catalog.stars()}

    def sep_deg(a, b):
        u, v = (np.array(unit_vector(stars[h])) for h in (a, b))
        return math.degrees(math.acos(np.clip(u @ v, -1.0, 1.0)))

    # Sirius and Vega lie 127 degrees apart; both are bright.
    sep = sep_deg(2491, 7001)
    assert sep > 100
    assert catalog.has_pair(2491, 7001, sep, 0.01) and catalog.has_pair(7001, 2491, sep, 0.01)


def unit_vector(star):
    _, ra, dec, _ = star
    ra, dec = math.radians(ra), math.radians(dec)
    return (math.cos(dec) * math.cos(ra), math.cos(dec) * math.sin(ra), math.sin(dec))
