"""Photo files read by content (compressed and multi-image FITS, 16-bit colour, raw) and the time a photo was taken."""
import bz2
import datetime
import gzip
import re
import struct
import sys
import zlib

import numpy as np
import pytest

from halvane_tools import readers
from halvane_tools.readers import PhotoError, RecordedTime
from halvane_tools.report import parse_utc
from halvane_tools.times import TimeError, exposure_time

from conftest import exif_photo

fits = pytest.importorskip("astropy.io.fits")

UTC = datetime.timezone.utc
GREY = (np.arange(40 * 56, dtype=np.uint32).reshape(40, 56) * 29 % 65536).astype(np.uint16)


def write_fits(path, *hdus):
    fits.HDUList(list(hdus)).writeto(path)


@pytest.mark.parametrize("form", ["gz", "bz2", "fz", "renamed"])
def test_compressed_fits_reads_as_the_plain_file(tmp_path, form):
    plain = tmp_path / "frame.fits"
    write_fits(plain, fits.PrimaryHDU(GREY))
    path = tmp_path / {"gz": "frame.fits.gz", "bz2": "frame.fits.bz2", "fz": "frame.fz", "renamed": "frame.png"}[form]
    if form == "fz":
        write_fits(path, fits.PrimaryHDU(), fits.CompImageHDU(GREY, compression_type="RICE_1"))
    else:  # renamed: the content decides, not the name
        path.write_bytes({"gz": gzip.compress, "bz2": bz2.compress, "renamed": bytes}[form](plain.read_bytes()))
    expected = readers.read_image_array(plain)
    read = readers.read_image_array(path)
    assert read.dtype == expected.dtype and np.array_equal(read, expected)
    assert np.array_equal(readers.read_photo(path), GREY)


def meteor_file(path):
    """A meteor camera's file: an empty primary and four named images."""
    images = {name: (GREY // (i + 1)).astype(np.uint16) for i, name in
              enumerate(("MAXPIXEL", "MAXFRAME", "AVEPIXEL", "STDPIXEL"))}
    write_fits(path, fits.PrimaryHDU(), *(fits.ImageHDU(data, name=name) for name, data in images.items()))
    return images


@pytest.mark.parametrize("hdu, expected", [
    (None, "AVEPIXEL"), ("maxpixel", "MAXPIXEL"), ("4", "STDPIXEL"), (2, "MAXFRAME"),
    ("NOPE", "no image 'NOPE' in the FITS file; its images are 1 MAXPIXEL"), ("9", "no image '9'"), ("0", "HDU '0' holds no image"),
])
def test_multi_image_fits_reads_the_chosen_image_or_names_the_images_there(tmp_path, hdu, expected):
    path = tmp_path / "meteor.fits"
    images = meteor_file(path)
    if expected in images:
        assert np.array_equal(readers.read_image_array(path, hdu), images[expected])
        return
    with pytest.raises(PhotoError, match="^" + str(path)) as refused:
        readers.read_photo(path, hdu)
    assert expected in str(refused.value) and str(refused.value).count(str(path)) == 1


def test_hdu_is_refused_for_a_file_that_is_not_fits(tmp_path):
    path = tmp_path / "frame.npy"
    np.save(path, GREY)
    with pytest.raises(PhotoError, match="--hdu is for FITS files"):
        readers.read_image_array(path, "1")


@pytest.mark.parametrize("planar", [False, True])
def test_16_bit_colour_tiff_keeps_its_depth(tmp_path, planar):
    tifffile = pytest.importorskip("tifffile")
    rgb = np.stack([GREY, GREY[::-1], 65535 - GREY], axis=2)
    path = tmp_path / "colour.tif"
    if planar:
        tifffile.imwrite(path, np.moveaxis(rgb, 2, 0), photometric="rgb", planarconfig="separate")
    else:
        tifffile.imwrite(path, rgb, photometric="rgb")
    read = readers.read_image_array(path)
    assert read.dtype == np.uint16 and np.array_equal(read, rgb)
    assert np.array_equal(readers.read_photo(path), readers.luminance(rgb))


def png_bytes(pixels, width=None, height=None):
    """A 16-bit PNG written byte by byte, to check the reader against the format; the header may lie on size."""
    height_px, width_px, channels = pixels.shape
    colour_type = {3: 2, 4: 6}[channels]

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = b"".join(b"\0" + row.astype(">u2").tobytes() for row in pixels)
    header = struct.pack(">IIBBBBB", width or width_px, height or height_px, 16, colour_type, 0, 0, 0)
    return readers.PNG_SIGNATURE + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


@pytest.mark.parametrize("channels", [3, 4])
def test_16_bit_colour_png_keeps_its_depth(tmp_path, channels):
    pytest.importorskip("imagecodecs")
    colour = np.stack([GREY, GREY[::-1], 65535 - GREY, GREY.T.reshape(GREY.shape)][:channels], axis=2)
    path, plain = tmp_path / "colour.png", tmp_path / "colour.npy"
    path.write_bytes(png_bytes(colour))
    np.save(plain, colour)
    read = readers.read_image_array(path)
    assert read.dtype == np.uint16 and np.array_equal(read, readers.read_image_array(plain))
    assert np.array_equal(readers.read_photo(path), readers.read_photo(plain))


def test_16_bit_colour_png_without_imagecodecs_and_too_large(tmp_path, monkeypatch):
    colour = np.stack([GREY, GREY[::-1], 65535 - GREY], axis=2)
    path = tmp_path / "colour.png"
    path.write_bytes(png_bytes(colour))
    monkeypatch.setitem(sys.modules, "imagecodecs", None)  # not installed: Pillow's 8 bits, same picture
    read = readers.read_image_array(path)
    assert read.shape == colour.shape and np.abs(read.astype(np.int32) - colour // 257).max() <= 1
    monkeypatch.undo()
    pytest.importorskip("imagecodecs")
    huge = tmp_path / "huge.png"  # the size stated in the header is refused before any decoding
    huge.write_bytes(png_bytes(colour, width=100_000, height=100_000))
    with pytest.raises(PhotoError, match=r"10000000000 pixels \(100000 x 100000\)"):
        readers.read_image_array(huge)


def test_camera_raw_reads_linear_with_black_removed_and_white_at_full_scale(tmp_path):
    """A minimal DNG's ramp reads back as (value - black) / (white - black) of full scale in every channel."""
    tifffile = pytest.importorskip("tifffile")
    pytest.importorskip("rawpy")
    black, white = 256, 4095
    ramp = black + 200 + 30 * np.arange(96)
    mosaic = np.tile(ramp, (64, 1)).astype(np.uint16)
    tags = [(50706, "B", 4, (1, 4, 0, 0), True), (50707, "B", 4, (1, 1, 0, 0), True),  # DNG versions
            (50708, "s", 0, "halvane test", True), (33421, "H", 2, (2, 2), True),  # camera, CFA repeat
            (33422, "B", 4, (0, 1, 1, 2), True), (50710, "B", 3, (0, 1, 2), True),  # RGGB, plane colours
            (50711, "H", 1, 1, True), (50714, "H", 1, black, True), (50717, "H", 1, white, True),
            (50721, "2i", 9, (1, 1, 0, 1, 0, 1, 0, 1, 1, 1, 0, 1, 0, 1, 0, 1, 1, 1), True),  # identity colour
            (50728, "2I", 3, (1, 1, 1, 1, 1, 1), True), (50778, "H", 1, 21, True)]  # neutral, D65
    path = tmp_path / "frame.dng"
    tifffile.imwrite(path, mosaic, photometric=32803, subfiletype=0, extratags=tags, metadata=None, software=False)
    rgb = readers.read_image_array(path)
    assert rgb.shape == (64, 96, 3) and rgb.dtype == np.uint16
    expected = (mosaic.astype(np.float64) - black) / (white - black) * 65535.0
    inner = (slice(2, -2), slice(2, -2))
    for channel in range(3):
        assert np.abs(rgb[..., channel][inner] - expected[inner]).max() < 0.001 * 65535


@pytest.mark.parametrize("name, is_photo", [("a.fits.gz", True), ("a.FIT.bz2", True), ("a.fz", True),
                                            ("a.cr2", True), ("a.png", True), ("notes.gz", False),
                                            ("a.tar.bz2", False), ("README", False)])
def test_folder_search_knows_compressed_and_raw_names(name, is_photo):
    assert readers.is_photo_name(name) is is_photo


# --- What a file records ------------------------------------------------------------


def test_recorded_time_from_fits_header_and_exif(tmp_path):
    header = fits.Header({"DATE-OBS": "2018-08-17", "TIME-OBS": "03:38:28.5", "EXPTIME": 60.0})
    write_fits(tmp_path / "a.fits", fits.PrimaryHDU(GREY, header))
    assert readers.recorded_time(tmp_path / "a.fits") == RecordedTime(
        datetime.datetime(2018, 8, 17, 3, 38, 28, 500000, UTC), 60.0, "FITS header")
    local = readers.recorded_time(exif_photo(tmp_path / "b.jpg", "2026:01:15 22:09:33", "+01:00", 30.0))
    assert local.clock == datetime.datetime(2026, 1, 15, 21, 9, 33, tzinfo=UTC) and local.says_local
    assert local.exposure_s == 30.0
    naive = readers.recorded_time(exif_photo(tmp_path / "c.jpg", "2026:01:15 22:09:33"))
    assert naive.clock.tzinfo is None and not naive.says_local
    assert readers.recorded_time(exif_photo(tmp_path / "d.jpg")) is None


# --- The solve's time -----------------------------------------------------------------

T0 = datetime.datetime(2026, 1, 15, 21, 9, 33, tzinfo=UTC)


def recorded(clock, exposure_s=None, source="EXIF"):
    return RecordedTime(clock, exposure_s, source)


PLUS_ONE = datetime.timezone(datetime.timedelta(hours=1))


@pytest.mark.parametrize(
    "given, photo, exposure_s, expected, warned",
    [
        # The photo's own time and exposure, its offset honoured.
        (None, recorded(datetime.datetime(2026, 1, 15, 22, 9, 33, tzinfo=PLUS_ONE), 60.0), None, 30.0, None),
        # A camera clock without an offset is UTC, and says so.
        (None, recorded(datetime.datetime(2026, 1, 15, 21, 9, 33), 10.0), None, 5.0, "taken as UTC"),
        # --utc with its offset agrees with the photo: no word.
        ("2026-01-15T22:09:33+01:00", recorded(T0.astimezone(PLUS_ONE), 60.0), None, 30.0, None),
        # --exposure overrides the photo's; agreement is judged at the start.
        ("2026-01-15T21:09:33Z", recorded(T0, 60.0), 20.0, 10.0, None),
        # 20 s apart: solved with --utc, with a warning in UTC.
        ("2026-01-15T21:09:53Z", recorded(T0, 0.0), None, 20.0, "20.0 s apart"),
        # No recorded time, no exposure: the time as given.
        ("2026-01-15T21:09:33", None, None, 0.0, None),
        # The photo's clock of unknown zone is compared as UTC.
        ("2026-01-15T21:09:33", recorded(datetime.datetime(2026, 1, 15, 21, 9, 33)), None, 0.0, None),
        # Refused: no time at all, or a time without an offset for a photo whose clock was local.
        (None, None, None, None, "the photo records no time"),
        (None, recorded(None, 60.0), None, None, "the photo records no time"),
        ("2026-01-15T22:09:33", recorded(T0.astimezone(PLUS_ONE)), None, None, "local time (UTC+01:00)"),
    ],
)
def test_time_rules(given, photo, exposure_s, expected, warned):
    if expected is None:
        with pytest.raises(TimeError, match=re.escape(warned)):
            exposure_time(parse_utc(given) if given else None, photo, exposure_s=exposure_s)
        return
    mid, _, warnings = exposure_time(parse_utc(given) if given else None, photo, exposure_s=exposure_s)
    assert mid == T0 + datetime.timedelta(seconds=expected)
    assert mid.utcoffset() == datetime.timedelta(0)
    assert (warnings == []) if warned is None else (len(warnings) == 1 and warned in warnings[0])
