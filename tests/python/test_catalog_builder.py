import dataclasses
import math
import pathlib
import sys
from importlib import resources

import numpy as np
import pytest

import halvane
import halvane_tools
from halvane_tools import catalog_builder as builder

BSC5 = pathlib.Path(__file__).resolve().parents[2] / "data" / "bsc5.dat"


def bsc5_line(hr, ra_hms, vmag, dec_dms=("+", 0, 0, 0), pm=(0.0, 0.0), parallax=None):
    """A catalogue line in the fixed-width layout of bsc5.dat (1-based columns)."""
    (h, m, s), (sign, d, am, asec) = ra_hms, dec_dms
    line = [" "] * 197
    for first, text in {
        1: f"{hr:4d}", 76: f"{h:02d}{m:02d}{s:04.1f}", 84: f"{sign}{d:02d}{am:02d}{asec:02d}", 103: f"{vmag:5.2f}",
        149: f"{pm[0]:+6.3f}{pm[1]:+6.3f}", 162: "" if parallax is None else f"{parallax:5.3f}",
    }.items():
        line[first - 1 : first - 1 + len(text)] = text
    return "".join(line).rstrip()


def read_files(catalog, pairs):
    epoch, stars = builder.read_catalog_records(catalog)
    assert epoch == builder.EPOCH_YEARS
    pair_records = np.frombuffer(pairs, dtype=builder.PAIR_RECORD, offset=12)
    return stars, pair_records


@pytest.mark.parametrize("column, name", [(" 13Alp Aur", "α Aur"), ("  1Pi 3Ori", "π3 Ori"), (" 61    Cyg", "61 Cyg"),
                                          ("          ", None), ("   Eps Car", "ε Car")])
def test_designations_read_as_charts_print_them(column, name):
    assert builder.designation("1234" + column) == name


# Synthetic sky on the equator (ra in degrees as h, m, s): A and B bright and
# opposite; C 10 degrees from A; D 25 degrees from C; E kept but unpaired; F too faint.
SYNTHETIC = [bsc5_line(10, (0, 0, 0.0), 1.0, parallax=0.1)] + [
    bsc5_line(hr, (h, m, 0.0), vmag)
    for hr, h, m, vmag in [(20, 12, 0, 2.0), (30, 0, 40, 4.0), (40, 2, 20, 4.5), (50, 0, 20, 6.0), (60, 1, 0, 7.0)]
    + [(25, 6, 0, 6.0)]
]
LIMITS = builder.SelectionLimits(
    faintest_star_vmag=6.5, faintest_paired_vmag=5.0, max_pair_separation_deg=20.0, faintest_all_separation_vmag=3.0
)


@pytest.fixture
def synthetic_source(tmp_path):
    path = tmp_path / "bsc5.dat"
    path.write_text("\n".join(SYNTHETIC) + "\n")
    return path


def test_selection_limits_and_order_through_the_command_line(synthetic_source, tmp_path, capsys):
    flags = [f"--{f.name.replace('_', '-')}={getattr(LIMITS, f.name)}" for f in dataclasses.fields(LIMITS)]
    assert builder.main(["--source", str(synthetic_source), "--out-dir", str(tmp_path), *flags]) == 0
    assert "6 stars" in capsys.readouterr().out
    catalog, pairs = (tmp_path / halvane_tools.CATALOG_FILE), (tmp_path / halvane_tools.PAIRS_FILE)
    assert (catalog.read_bytes(), pairs.read_bytes()) == builder.build(synthetic_source, LIMITS)
    stars, pair_records = read_files(catalog.read_bytes(), pairs.read_bytes())
    # Brightest first, equal magnitudes by HR number; too faint dropped.
    assert stars["hr_id"].tolist() == [10, 20, 30, 40, 25, 50]
    assert stars[0]["parallax"] == np.float32(100.0)
    assert [(p["i"], p["j"]) for p in pair_records] == [(0, 1), (0, 2)]
    assert pair_records["cos_theta"].tolist() == [-1.0, np.float32(math.cos(math.radians(10.0)))]
    loaded = halvane.Catalog(str(catalog), str(pairs))
    assert loaded.n_stars == 6 and loaded.has_pair(20, 10, 180.0, 0.01) and loaded.has_pair(30, 10, 10.0, 0.01)

    # Widening the separation limit pairs C with D; lowering the bright tier drops A-B.
    _, pair_records = read_files(*builder.build(synthetic_source, builder.SelectionLimits(6.5, 5.0, 25.5, 1.5)))
    assert sorted((p["i"], p["j"]) for p in pair_records) == [(0, 2), (2, 3)]


def test_default_build_reproduces_the_shipped_files_and_follows_the_limits():
    catalog, pairs = builder.build(BSC5)
    data = resources.files(halvane_tools) / "data"
    assert catalog == (data / halvane_tools.CATALOG_FILE).read_bytes()
    assert pairs == (data / halvane_tools.PAIRS_FILE).read_bytes()
    stars, got = read_files(catalog, pairs)
    names = builder.names_text(BSC5, stars["hr_id"])
    assert names == (data / halvane_tools.NAMES_FILE).read_text(encoding="utf-8")
    assert "1708\tα Aur\n" in names and "2061\tα Ori\n" in names and "1790\tγ Ori\n" in names
    limits = builder.DEFAULT_LIMITS
    assert stars["vmag"].max() <= np.float32(limits.faintest_star_vmag) and np.all(np.diff(stars["vmag"]) >= 0)

    # The pairs an independent selection from the full dot-product matrix
    # wants, up to rounding at the separation limit.
    vmag = stars["vmag"].astype(float)
    n_paired = int(np.sum(vmag <= limits.faintest_paired_vmag))
    n_all = int(np.sum(vmag <= limits.faintest_all_separation_vmag))
    units = np.stack([stars[axis] for axis in "xyz"], axis=1)[: max(n_paired, n_all)]
    dots = units @ units.T
    i, j = np.triu_indices(len(units), k=1)
    cos_max = math.cos(math.radians(limits.max_pair_separation_deg))
    wanted = (j < n_all) | ((j < n_paired) & (dots[i, j] >= cos_max))
    borderline = np.abs(dots[i, j] - cos_max) < 1e-12
    expected = set(zip(i[wanted & ~borderline].tolist(), j[wanted & ~borderline].tolist()))
    found = set(zip(got["i"].tolist(), got["j"].tolist()))
    assert len(found) == len(got) and expected <= found and len(found - expected) <= int(np.sum(borderline))
    np.testing.assert_allclose(got["cos_theta"], dots[got["i"], got["j"]], atol=1e-7)


def test_the_catalogue_reader_refuses_a_short_or_foreign_file():
    catalog = builder.catalog_bytes(np.zeros(2, dtype=builder.STAR_RECORD))
    assert len(builder.read_catalog_records(catalog)[1]) == 2
    for data in (catalog[:-1], catalog[:19], catalog + b"x", builder.pairs_bytes(np.zeros(0, builder.PAIR_RECORD))):
        with pytest.raises(ValueError, match="catalogue file"):
            builder.read_catalog_records(data)


def test_proper_names_come_from_ephem_and_only_with_it(tmp_path, monkeypatch, capsys):
    pytest.importorskip("ephem")
    data = resources.files(halvane_tools) / "data"
    _, records = builder.read_catalog_records((data / halvane_tools.CATALOG_FILE).read_bytes())
    shipped = (data / halvane_tools.PROPER_NAMES_FILE).read_text(encoding="utf-8")
    assert builder.proper_names_text(records) == shipped
    # Every star the library names (aliases share a position) found its catalogue star.
    names = dict(line.split("\t") for line in shipped.splitlines())
    assert len(set(names.values())) == len({(round(ra, 9), round(dec, 9)) for _, ra, dec, _ in builder.named_stars()})
    source = tmp_path / "bsc5.dat"
    source.write_text("".join(line + "\n" for line in BSC5.read_text().splitlines() if line[:4] in ("1708", "7001", "1612")))
    builder.write(source, tmp_path / "with")
    assert (tmp_path / "with" / halvane_tools.PROPER_NAMES_FILE).read_text() == "1708\tCapella\n7001\tVega\n"
    # Without the library the builder leaves the names file alone and says so, rather than writing it empty.
    monkeypatch.setitem(sys.modules, "ephem", None)
    assert builder.main(["--source", str(source), "--out-dir", str(tmp_path / "without")]) == 0
    assert not (tmp_path / "without" / halvane_tools.PROPER_NAMES_FILE).exists()
    assert (tmp_path / "without" / halvane_tools.NAMES_FILE).read_text() == "1612\tζ Aur\n1708\tα Aur\n7001\tα Lyr\n"
    assert "ephem is not installed" in capsys.readouterr().out
