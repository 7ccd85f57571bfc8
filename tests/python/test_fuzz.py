"""Seeded mutation fuzzing of the lens file, time and photo parsers from tests/fuzz: parse or refuse in one line."""
import random
from pathlib import Path

import pytest

from halvane_tools import lens, readers, report
from halvane_tools.times import BatchError, TimeFromCsv

CORPORA = Path(__file__).resolve().parents[1] / "fuzz"
ROUNDS = 300
INTERESTING = [b"0", b"-1", b"1e308", b"NaN", b"9" * 400, b"[" * 2000, b"\x00", b"\xff\xfe", b"\"", b"{}", b",",
               b"\n", b"T", b"Z", b"+14:00", b"-99:99", b"\x89PNG", b"SIMPLE  =", b"\x93NUMPY"]


def mutate(data: bytes, rng: random.Random, corpus: list[bytes]) -> bytes:
    """One to four random edits: flip, delete, insert, duplicate, splice."""
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        at = rng.randint(0, len(data))
        edit = rng.randrange(6)
        if edit == 0 and data:
            data[min(at, len(data) - 1)] ^= 1 << rng.randrange(8)
        elif edit == 1:
            del data[at : at + rng.randint(1, 16)]
        elif edit == 2:
            data[at:at] = rng.choice(INTERESTING)
        elif edit == 3:
            data[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 8)))
        elif edit == 4 and data:
            start = rng.randrange(len(data))
            data[at:at] = data[start : start + rng.randint(1, 64)] * rng.randint(1, 4)
        else:
            other = rng.choice(corpus)
            data[at:] = other[rng.randint(0, len(other)) :]
    return bytes(data)


def fuzz(folder: str, suffix: str, call, refusals, tmp_path):
    corpus = [p.read_bytes() for p in sorted((CORPORA / folder).iterdir())]
    rng = random.Random(folder)
    target = tmp_path / f"input{suffix}"
    for round_ in range(ROUNDS):
        data = mutate(rng.choice(corpus), rng, corpus)
        target.write_bytes(data)
        try:
            call(target, data)
        except refusals as e:
            assert "\n" not in str(e).strip(), (round_, data[:200])
        except Exception as e:  # noqa: BLE001 - reported with the input that made it
            pytest.fail(f"round {round_} of {folder}: {type(e).__name__}: {e} on {data[:200]!r}")


def test_the_lens_file_parser(tmp_path):
    fuzz("lens", ".json", lambda path, _: lens.read_lens(path).camera(64, 48), lens.LensError, tmp_path)


def _times(path, data):
    text = data.decode("utf-8", "replace")
    try:
        report.parse_utc(text)
    except ValueError:
        pass
    TimeFromCsv(path)


def test_the_time_parsers(tmp_path):
    fuzz("times", ".csv", _times, BatchError, tmp_path)


@pytest.mark.filterwarnings("ignore")  # astropy warns of every broken header it reads
@pytest.mark.parametrize("suffix", [".png", ".jpg", ".tiff", ".npy", ".fits"])
def test_the_photo_readers(tmp_path, suffix):
    if suffix == ".fits":
        pytest.importorskip("astropy")
    fuzz("photos", suffix, lambda path, _: readers.read_photo(path, max_pixels=1_000_000), readers.PhotoError,
         tmp_path)
