"""Builds the star catalogue (HCAT version 2) and pair index (HPRS version 1)
from the Yale Bright Star Catalogue, 5th revised edition (``bsc5.dat``).

Stars are written brightest first (ties by HR number) with J2000 positions,
proper motions in mas/yr (the catalogue's RA rate is already a great-circle
rate) and parallax in mas, epoch 2000.0. Pairs hold catalogue indices, the
brighter star first, sorted by the cosine of their separation.

Which pairs go in decides the matcher's cost: every pair of a separation
window is tried against the pairs of another window, so the limits below keep
the faint stars' pairs short while the brightest stars pair at every
separation (the brightest detections of an all-sky lens lie anywhere).

The output depends only on the input bytes and the limits, so a rebuild
reproduces the shipped files byte for byte:

    python -m halvane_tools.catalog_builder --source data/bsc5.dat
"""
from __future__ import annotations

import argparse
import dataclasses
import importlib.util
import math
import struct
import sys
from pathlib import Path

import numpy as np

from halvane_tools import CATALOG_FILE, DEEP_CATALOG_FILE, DEEP_PAIRS_FILE, NAMES_FILE, PAIRS_FILE, PROPER_NAMES_FILE

EPOCH_YEARS = 2000.0

STAR_RECORD = np.dtype(
    [
        ("hr_id", "<u4"),
        ("vmag", "<f4"),
        ("ra", "<f8"),
        ("dec", "<f8"),
        ("x", "<f8"),
        ("y", "<f8"),
        ("z", "<f8"),
        ("pm_ra", "<f4"),
        ("pm_dec", "<f4"),
        ("parallax", "<f4"),
    ]
)
PAIR_RECORD = np.dtype([("cos_theta", "<f4"), ("i", "<u2"), ("j", "<u2")])
assert STAR_RECORD.itemsize == 60 and PAIR_RECORD.itemsize == 8

# Pair records address stars with 16-bit indices.
MAX_PAIRED_STARS = 1 << 16


@dataclasses.dataclass(frozen=True)
class SelectionLimits:
    """Which stars and pairs the builder writes. The defaults are the
    shipped catalogue's, chosen by measurement on synthesized skies (a
    180-degree fisheye to magnitude 5.5 and a 40-degree pinhole to 6.0):
    stars fainter than the brightest dozen detections only add wrong
    neighbours to the match, and every extra pair adds hypotheses to try."""

    # Stars fainter than this are left out of the catalogue.
    faintest_star_vmag: float = 5.5
    # Stars up to this magnitude pair with each other up to the separation below.
    faintest_paired_vmag: float = 4.5
    max_pair_separation_deg: float = 30.0
    # Stars up to this magnitude pair with each other at every separation.
    faintest_all_separation_vmag: float = 2.5


DEFAULT_LIMITS = SelectionLimits()

# The deep catalogue for narrow fields: every star of the source (a field of
# ten degrees holds too few stars to 5.5 for a triangle and a check), pairs
# among stars to 6.25 short enough to lie inside such a field, and the
# brightest stars at every separation as in the wide one. Measured on random
# pointings of a sky to 6.5 (60 fields each, 8/10/12/15 degrees, median
# search): pairing every star gave 85/97/100/100 % at 11-22 ms; to 6.25,
# 85/97/100/100 % at 4-8 ms; to 6.0, 78/93/100/100 % at 2-5 ms; a 10- or
# 15-degree limit instead of 12 changed no rate of these fields.
DEEP_LIMITS = SelectionLimits(
    faintest_star_vmag=99.0,
    faintest_paired_vmag=6.25,
    max_pair_separation_deg=12.0,
    faintest_all_separation_vmag=2.5,
)

# Which files each bundled catalogue's build writes: name -> (limits, stars, pairs).
BUNDLES = {
    "wide": (DEFAULT_LIMITS, CATALOG_FILE, PAIRS_FILE),
    "deep": (DEEP_LIMITS, DEEP_CATALOG_FILE, DEEP_PAIRS_FILE),
}


@dataclasses.dataclass(frozen=True)
class SourceStar:
    hr_id: int
    vmag: float
    ra_rad: float
    dec_rad: float
    pm_ra_mas: float
    pm_dec_mas: float
    parallax_mas: float


def _field(line: str, first: int, last: int) -> str:
    """Bytes first..last of a line, 1-based and inclusive as the catalogue's
    byte-by-byte description counts them."""
    return line[first - 1 : last].strip()


def parse_bsc5_line(line: str) -> SourceStar | None:
    """One catalogue line as a star, or None for an entry without a J2000
    position or a visual magnitude."""
    line = line.rstrip("\r\n").ljust(197)
    ra_fields = (_field(line, 76, 77), _field(line, 78, 79), _field(line, 80, 83))
    dec_fields = (_field(line, 85, 86), _field(line, 87, 88), _field(line, 89, 90))
    vmag = _field(line, 103, 107)
    if not all(ra_fields) or not all(dec_fields) or not vmag:
        return None
    hours, minutes, seconds = int(ra_fields[0]), int(ra_fields[1]), float(ra_fields[2])
    ra_deg = 15.0 * (hours + minutes / 60.0 + seconds / 3600.0)
    degrees, arcmin, arcsec = (int(f) for f in dec_fields)
    dec_deg = degrees + arcmin / 60.0 + arcsec / 3600.0
    if _field(line, 84, 84) == "-":
        dec_deg = -dec_deg

    def arcsec_to_mas(first: int, last: int) -> float:
        text = _field(line, first, last)
        return float(text) * 1000.0 if text else 0.0

    return SourceStar(
        hr_id=int(_field(line, 1, 4)),
        vmag=float(vmag),
        ra_rad=math.radians(ra_deg),
        dec_rad=math.radians(dec_deg),
        pm_ra_mas=arcsec_to_mas(149, 154),
        pm_dec_mas=arcsec_to_mas(155, 160),
        parallax_mas=arcsec_to_mas(162, 166),
    )


GREEK_LETTERS = dict(zip(
    "Alp Bet Gam Del Eps Zet Eta The Iot Kap Lam Mu Nu Xi Omi Pi Rho Sig Tau Ups Phi Chi Psi Ome".split(),
    "αβγδεζηθικλμνξοπρστυφχψω"))


def designation(line: str) -> str | None:
    """The name column of a catalogue line as a chart prints it: '13Alp Aur'
    gives 'α Aur', '1Pi 3Ori' gives 'π3 Ori', '61    Cyg' gives '61 Cyg';
    None when the star has neither a Bayer letter nor a Flamsteed number."""
    line = line.rstrip("\r\n").ljust(197)
    flamsteed, bayer, index, constellation = line[4:7].strip(), line[7:10].strip(), line[10].strip(), line[11:14].strip()
    if not constellation:
        return None
    if bayer in GREEK_LETTERS:
        return f"{GREEK_LETTERS[bayer]}{index} {constellation}"
    if flamsteed:
        return f"{flamsteed} {constellation}"
    return None


def names_text(source: str | Path, hr_ids) -> str:
    """The names file: 'HR<TAB>designation' lines for the given stars that
    have one, in HR order."""
    wanted = set(int(hr) for hr in hr_ids)
    lines = []
    for line in Path(source).read_text(encoding="ascii").splitlines():
        hr = _field(line.ljust(4), 1, 4)
        if hr.isdigit() and int(hr) in wanted and (name := designation(line)) is not None:
            lines.append(f"{int(hr)}\t{name}\n")
    return "".join(lines)


# A named star is the catalogue star within this distance whose magnitude is
# nearest its own: close doubles (Rigil Kentaurus, Acrux, Castor, Mizar) lie
# a few arcseconds apart, and the library gives the pair's combined light.
PROPER_NAME_RADIUS_ARCSEC = 60.0
PROPER_NAME_MAX_MAG_GAP = 1.0
# A camera sees such a double as one star and may identify either entry, so
# the other entries this close to the named one carry its name too.
PROPER_NAME_COMPANION_ARCSEC = 20.0
# Spellings the star library keeps beside the right ones for old callers.
OLD_SPELLINGS = frozenset({"Albereo", "Formalhaut"})


def named_stars() -> list[tuple[str, float, float, float]]:
    """The named bright stars of the ephem library as (name, ra, dec in
    radians at J2000, magnitude), aliases included. Raises ImportError
    without ephem."""
    import ephem.stars

    stars = []
    for line in ephem.stars.db.splitlines():
        fields = line.split(",")
        if len(fields) < 5:
            continue
        if len(fields) > 5 and float(fields[5]) != 2000.0:
            raise ValueError(f"{fields[0]}: position not at J2000 ({fields[5]})")
        ra_hours, dec_deg = float(fields[2].split("|")[0]), float(fields[3].split("|")[0])
        stars.append((fields[0], math.radians(15.0 * ra_hours), math.radians(dec_deg), float(fields[4])))
    return stars


def proper_names_text(records: np.ndarray) -> str:
    """The proper names file: 'HR<TAB>name' lines, in HR order, for the
    catalogue stars that ephem's named stars fall on and their close
    companions. Where the library has several names for one star, the
    navigators' name (its numbered list) wins, then the first in
    alphabetical order."""
    import ephem.stars

    navigational = set(ephem.stars.STAR_NUMBER_NAME.values())
    xyz = np.column_stack([records["x"], records["y"], records["z"]])
    vmag = records["vmag"].astype(np.float64)
    cos_radius = math.cos(math.radians(PROPER_NAME_RADIUS_ARCSEC / 3600.0))
    cos_companion = math.cos(math.radians(PROPER_NAME_COMPANION_ARCSEC / 3600.0))
    own: dict[int, list[str]] = {}
    companions: dict[int, list[str]] = {}
    for name, ra, dec, mag in named_stars():
        if name in OLD_SPELLINGS:
            continue
        direction = np.array([math.cos(dec) * math.cos(ra), math.cos(dec) * math.sin(ra), math.sin(dec)])
        dots = xyz @ direction
        gaps = np.abs(vmag - mag)
        near = np.flatnonzero((dots >= cos_radius) & (gaps <= PROPER_NAME_MAX_MAG_GAP))
        if len(near):
            best = near[np.lexsort((-dots[near], gaps[near]))[0]]
            own.setdefault(int(records["hr_id"][best]), []).append(name)
            for k in np.flatnonzero(xyz @ xyz[best] >= cos_companion):
                companions.setdefault(int(records["hr_id"][k]), []).append(name)
    names = companions | own  # a star's own name before a neighbour's
    return "".join(f"{hr}\t{min(choices, key=lambda n: (n not in navigational, n))}\n"
                   for hr, choices in sorted(names.items()))


def read_bsc5(path: str | Path) -> list[SourceStar]:
    text = Path(path).read_text(encoding="ascii")
    stars = (parse_bsc5_line(line) for line in text.splitlines() if line.strip())
    return [s for s in stars if s is not None]


def select_stars(stars: list[SourceStar], limits: SelectionLimits) -> list[SourceStar]:
    """The kept stars, brightest first, ties by HR number."""
    kept = [s for s in stars if s.vmag <= limits.faintest_star_vmag]
    return sorted(kept, key=lambda s: (s.vmag, s.hr_id))


def star_records(stars: list[SourceStar]) -> np.ndarray:
    records = np.zeros(len(stars), dtype=STAR_RECORD)
    for k, s in enumerate(stars):
        cos_dec = math.cos(s.dec_rad)
        records[k] = (
            s.hr_id,
            s.vmag,
            s.ra_rad,
            s.dec_rad,
            cos_dec * math.cos(s.ra_rad),
            cos_dec * math.sin(s.ra_rad),
            math.sin(s.dec_rad),
            s.pm_ra_mas,
            s.pm_dec_mas,
            s.parallax_mas,
        )
    return records


def _prefix_length(stars: list[SourceStar], faintest_vmag: float) -> int:
    """Stars are brightest first, so a magnitude tier is a prefix."""
    return sum(1 for s in stars if s.vmag <= faintest_vmag)


def pair_records(records: np.ndarray, stars: list[SourceStar], limits: SelectionLimits) -> np.ndarray:
    """Every pair (i < j) among the first n_paired stars within the largest
    separation, plus every pair among the first n_all stars, sorted by
    cos_theta, then i, then j."""
    n_paired = _prefix_length(stars, limits.faintest_paired_vmag)
    n_all = _prefix_length(stars, limits.faintest_all_separation_vmag)
    n_total = max(n_paired, n_all)
    if n_total > MAX_PAIRED_STARS:
        raise ValueError(f"{n_total} paired stars; pair records address at most {MAX_PAIRED_STARS}")
    # Element-wise products and sums only (no BLAS): every platform rounds
    # them the same way, which keeps the output reproducible.
    x, y, z = records["x"][:n_total], records["y"][:n_total], records["z"][:n_total]
    cos_max = math.cos(math.radians(limits.max_pair_separation_deg))
    chunks = []
    for i in range(n_total - 1):
        j = np.arange(i + 1, n_total)
        dots = np.clip(x[i] * x[j] + y[i] * y[j] + z[i] * z[j], -1.0, 1.0)
        wanted = (j < n_all) if i < n_all else np.zeros(len(j), dtype=bool)
        if i < n_paired:
            wanted |= (j < n_paired) & (dots >= cos_max)
        chunk = np.zeros(int(wanted.sum()), dtype=PAIR_RECORD)
        chunk["cos_theta"] = dots[wanted].astype(np.float32)
        chunk["i"] = i
        chunk["j"] = j[wanted]
        chunks.append(chunk)
    pairs = np.concatenate(chunks) if chunks else np.zeros(0, dtype=PAIR_RECORD)
    order = np.lexsort((pairs["j"], pairs["i"], pairs["cos_theta"]))
    return pairs[order]


def catalog_bytes(records: np.ndarray) -> bytes:
    return struct.pack("<4sIId", b"HCAT", 2, len(records), EPOCH_YEARS) + records.tobytes()


def read_catalog_records(data: bytes) -> tuple[float, np.ndarray]:
    """(epoch in Julian years, star records) of catalogue file bytes, for
    callers that need the proper motions and parallaxes the engine's
    Catalog does not hand out. Raises ValueError for anything else."""
    header = struct.calcsize("<4sIId")
    if len(data) < header:
        raise ValueError("not a catalogue file: too short")
    magic, version, count, epoch = struct.unpack_from("<4sIId", data)
    if magic != b"HCAT" or version != 2 or len(data) != header + count * STAR_RECORD.itemsize:
        raise ValueError("not a version 2 catalogue file of the stated length")
    return epoch, np.frombuffer(data, dtype=STAR_RECORD, count=count, offset=header)


def pairs_bytes(pairs: np.ndarray) -> bytes:
    return struct.pack("<4sII", b"HPRS", 1, len(pairs)) + pairs.tobytes()


def build(source: str | Path, limits: SelectionLimits = DEFAULT_LIMITS) -> tuple[bytes, bytes]:
    """(catalogue file bytes, pair file bytes) built from a bsc5.dat file."""
    stars = select_stars(read_bsc5(source), limits)
    records = star_records(stars)
    return catalog_bytes(records), pairs_bytes(pair_records(records, stars, limits))


def write(source: str | Path, out_dir: str | Path, limits: SelectionLimits = DEFAULT_LIMITS,
          names: tuple[str, str] = (CATALOG_FILE, PAIRS_FILE)) -> tuple[Path, Path]:
    """Builds both files into out_dir under the given names (the wide
    bundle's by default)."""
    catalog, pairs = build(source, limits)
    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    catalog_path, pairs_path = out / names[0], out / names[1]
    catalog_path.write_bytes(catalog)
    pairs_path.write_bytes(pairs)
    if names[0] == CATALOG_FILE:  # the names file follows the wide bundle's stars
        hr_ids = read_catalog_records(catalog)[1]["hr_id"]
        (out / NAMES_FILE).write_text(names_text(source, hr_ids), encoding="utf-8")
        try:
            proper = proper_names_text(read_catalog_records(catalog)[1])
        except ImportError:  # the shipped file stays; main says so
            pass
        else:
            (out / PROPER_NAMES_FILE).write_text(proper, encoding="utf-8")
    return catalog_path, pairs_path


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m halvane_tools.catalog_builder",
        description="Build the HCAT star catalogue and HPRS pair index from bsc5.dat.",
    )
    parser.add_argument("--source", default="data/bsc5.dat", help="bsc5.dat to read (default: %(default)s)")
    parser.add_argument("--bundle", choices=(*BUNDLES, "all"), default="wide",
                        help="which bundled catalogue's limits and file names (default: %(default)s); "
                             "the limit options below override its limits")
    parser.add_argument(
        "--out-dir",
        default=str(Path(__file__).resolve().parent / "data"),
        help="directory for stars.hcat and pairs.hprs (default: the package's bundled data)",
    )
    for field in dataclasses.fields(SelectionLimits):
        parser.add_argument(
            "--" + field.name.replace("_", "-"), type=float, help="(default: the bundle's)"
        )
    args = parser.parse_args(argv)
    for name in BUNDLES if args.bundle == "all" else (args.bundle,):
        bundle_limits, *names = BUNDLES[name]
        given = {f.name: getattr(args, f.name) for f in dataclasses.fields(SelectionLimits)}
        limits = dataclasses.replace(bundle_limits, **{k: v for k, v in given.items() if v is not None})
        catalog_path, pairs_path = write(args.source, args.out_dir, limits, tuple(names))
        n_stars = (catalog_path.stat().st_size - 20) // STAR_RECORD.itemsize
        n_pairs = (pairs_path.stat().st_size - 12) // PAIR_RECORD.itemsize
        print(f"{catalog_path}: {n_stars} stars, {catalog_path.stat().st_size} bytes")
        print(f"{pairs_path}: {n_pairs} pairs, {pairs_path.stat().st_size} bytes")
    if importlib.util.find_spec("ephem") is None:
        print(f"ephem is not installed: {PROPER_NAMES_FILE} left as it was (pip install ephem)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
