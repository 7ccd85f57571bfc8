import math
import pathlib
import struct

import pytest

import halvane
import halvane_tools

# (hr_id, vmag, ra_deg, dec_deg) written by the helpers below.
STARS = [(7001, 0.03, 279.2346, 38.7836), (2491, -1.46, 101.2871, -16.7161), (424, 2.2, 37.9529, 89.2642)]


def catalog_bytes(stars=STARS):
    records = b""
    for hr_id, vmag, ra_deg, dec_deg in stars:
        ra, dec = math.radians(ra_deg), math.radians(dec_deg)
        unit = (math.cos(dec) * math.cos(ra), math.cos(dec) * math.sin(ra), math.sin(dec))
        records += struct.pack("<Ifdddddfff", hr_id, vmag, ra, dec, *unit, 0.0, 0.0, 0.0)
    return struct.pack("<4sIId", b"HCAT", 2, len(stars), 2000.0) + records


def cos_sep(a, b):
    (_, _, ra1, dec1), (_, _, ra2, dec2) = STARS[a], STARS[b]
    ra1, dec1, ra2, dec2 = map(math.radians, (ra1, dec1, ra2, dec2))
    return math.sin(dec1) * math.sin(dec2) + math.cos(dec1) * math.cos(dec2) * math.cos(ra1 - ra2)


def pairs_bytes(pairs=None):
    pairs = sorted((cos_sep(i, j), i, j) for i, j in ((0, 1), (1, 2), (0, 2))) if pairs is None else pairs
    return struct.pack("<4sII", b"HPRS", 1, len(pairs)) + b"".join(struct.pack("<fHH", *p) for p in pairs)


@pytest.fixture
def write_files(tmp_path):
    def write(catalog=None, pairs=None, folder=tmp_path):
        catalog_path, pairs_path = folder / "stars.hcat", folder / "pairs.hprs"
        catalog_path.write_bytes(catalog_bytes() if catalog is None else catalog)
        pairs_path.write_bytes(pairs_bytes() if pairs is None else pairs)
        return str(catalog_path), str(pairs_path)

    return write


@pytest.fixture
def small(write_files):
    return halvane.Catalog(*write_files())


def test_star_lookups(small):
    assert small.n_stars == 3 and [s[0] for s in small.stars()] == [7001, 2491, 424]
    assert small.star(7001)[:2] == pytest.approx((279.2346, 38.7836), abs=1e-12)
    # The stored f32 magnitude, widened exactly, as a float.
    assert small.star(424)[2] == 2.200000047683716 and all(type(v) is float for v in small.star(424))
    assert small.stars()[1] == (2491, *small.star(2491))
    with pytest.raises(halvane.HalvaneError, match="^HR 99999 not in catalog$"):
        small.star(99999)
    for bad in (-1, 2**32):
        with pytest.raises(OverflowError):
            small.star(bad)
    for name in ("n_stars", "extra"):
        with pytest.raises(AttributeError):
            setattr(small, name, 1)


def test_has_pair_is_symmetric_and_tolerance_bounded(small, write_files):
    sep = math.degrees(math.acos(cos_sep(0, 1)))
    for a, b in ((7001, 2491), (2491, 7001)):
        assert small.has_pair(a, b, sep, 0.01) and small.has_pair(a, b, sep + 0.009, 0.01)
        # Outside the window, or a negative tolerance (an empty window, not an error).
        assert not small.has_pair(a, b, sep + 0.02, 0.01) and not small.has_pair(a, b, sep, -0.01)
    assert not small.has_pair(7001, 7001, sep, 0.01) and not small.has_pair(7001, 2491, math.nan, 0.01)
    assert small.has_pair(hr_a=424, hr_b=7001, sep_deg=math.degrees(math.acos(cos_sep(0, 2))), tol_deg=0.001)
    # The window stops at 0 and 180 degrees instead of folding back.
    ends = halvane.Catalog(*write_files(pairs=pairs_bytes([(-1.0, 0, 1), (1.0, 1, 2)])))
    assert ends.has_pair(7001, 2491, 180.0, 0.01) and ends.has_pair(7001, 2491, 179.995, 0.01)
    assert ends.has_pair(424, 2491, 0.0, 0.01) and ends.has_pair(424, 2491, 0.005, 0.01)
    # Both ends of a negative window clamp to 180; it is still empty.
    assert not ends.has_pair(7001, 2491, 181.0, -0.5)


def test_paths_are_str_in_the_file_system_encoding(write_files, tmp_path):
    catalog_path, pairs_path = write_files()
    with pytest.raises(TypeError, match="^argument 'catalog_path': must be str, not PosixPath$"):
        halvane.Catalog(pathlib.Path(catalog_path), pairs_path)
    with pytest.raises(TypeError, match="^argument 'pairs_path': must be str, not bytes$"):
        halvane.Catalog(catalog_path, pairs_path.encode())
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'pairs_path'"):
        halvane.Catalog(catalog_path)
    assert halvane.Catalog(pairs_path=pairs_path, catalog_path=catalog_path).n_stars == 3
    folder = tmp_path / "étoiles"
    folder.mkdir()
    assert halvane.Catalog(*write_files(folder=folder)).n_stars == 3


@pytest.mark.parametrize(
    "name, text",
    [
        ("missing", "i/o error: No such file or directory (os error 2)"),
        # A NUL inside a str path is refused, not cut short.
        ("stars.hcat\0", "i/o error: Invalid argument (os error 22)"),
        ("pairs.hprs", "catalog format error: bad magic, expected HCAT"),
    ],
)
def test_engine_refusals_are_halvane_errors(write_files, tmp_path, name, text):
    _, pairs_path = write_files()
    with pytest.raises(halvane.HalvaneError) as raised:
        halvane.Catalog(str(tmp_path / name), pairs_path)
    assert str(raised.value) == text


def test_a_path_the_file_system_cannot_encode_is_refused_by_name(write_files):
    catalog_path, pairs_path = write_files()
    with pytest.raises(ValueError, match="^argument 'catalog_path': 'utf-8' codec can't encode") as info:
        halvane.Catalog(catalog_path + "\ud800", pairs_path)
    assert isinstance(info.value.__cause__, UnicodeEncodeError)


def test_default_catalogue_loads_once():
    catalog = halvane_tools.default_catalog()
    assert isinstance(catalog, halvane.Catalog) and halvane_tools.default_catalog() is catalog
    # Sirius and Vega, 157.86 degrees apart, are bright enough to pair at any separation.
    assert catalog.has_pair(2491, 7001, 157.86, 0.01)
