"""Photo files read by content, and the time a photo was taken: compressed
and multi-image FITS, 16-bit colour TIFF, the recorded time and exposure,
and the rules that turn them and the user's --utc into the solve's time."""
import bz2
import datetime
import gzip

import numpy as np
import pytest
from PIL import Image

from halvane_tools import readers
from halvane_tools.readers import PhotoError, RecordedTime
from halvane_tools.report import parse_utc
from halvane_tools.times import TimeError, exposure_time, mid_exposure

fits = pytest.importorskip("astropy.io.fits")

UTC = datetime.timezone.utc
GREY = (np.arange(40 * 56, dtype=np.uint32).reshape(40, 56) * 29 % 65536).astype(np.uint16)


def write_fits(path, *hdus):
    fits.HDUList(list(hdus)).writeto(path)


@pytest.mark.parametrize("form", ["gz", "bz2", "fz", "renamed"])
def test_compressed_fits_reads_as_the_plain_file(tmp_path, form):
    plain = tmp_path / "frame.fits"
    write_fits(plain, fits.PrimaryHDU(GREY))
    if form == "gz":
        path = tmp_path / "frame.fits.gz"
        path.write_bytes(gzip.compress(plain.read_bytes()))
    elif form == "bz2":
        path = tmp_path / "frame.fits.bz2"
        path.write_bytes(bz2.compress(plain.read_bytes()))
    elif form == "fz":
        path = tmp_path / "frame.fz"
        write_fits(path, fits.PrimaryHDU(), fits.CompImageHDU(GREY, compression_type="RICE_1"))
    else:  # the content decides, not the name
        path = tmp_path / "frame.png"
        path.write_bytes(plain.read_bytes())
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


@pytest.mark.parametrize("hdu, name", [(None, "AVEPIXEL"), ("maxpixel", "MAXPIXEL"), ("4", "STDPIXEL"),
                                       (2, "MAXFRAME")])
def test_multi_image_fits_reads_the_chosen_image(tmp_path, hdu, name):
    path = tmp_path / "meteor.fits"
    images = meteor_file(path)
    assert np.array_equal(readers.read_image_array(path, hdu), images[name])


@pytest.mark.parametrize("hdu, reason", [("NOPE", "no image 'NOPE' in the FITS file; its images are 1 MAXPIXEL"),
                                         ("9", "no image '9'"), ("0", "HDU '0' holds no image")])
def test_a_wrong_hdu_is_refused_with_the_images_there(tmp_path, hdu, reason):
    path = tmp_path / "meteor.fits"
    meteor_file(path)
    with pytest.raises(PhotoError, match="^" + str(path)) as refused:
        readers.read_photo(path, hdu)
    assert reason in str(refused.value) and str(refused.value).count(str(path)) == 1


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


@pytest.mark.parametrize("name, is_photo", [("a.fits.gz", True), ("a.FIT.bz2", True), ("a.fz", True),
                                            ("a.cr2", True), ("a.png", True), ("notes.gz", False),
                                            ("a.tar.bz2", False), ("README", False)])
def test_folder_search_knows_compressed_and_raw_names(name, is_photo):
    assert readers.is_photo_name(name) is is_photo


# --- What a file records ------------------------------------------------------------


def exif_jpeg(path, clock=None, offset=None, exposure=None):
    exif = Image.Exif()
    fields = exif.get_ifd(readers.EXIF_IFD)
    if clock:
        fields[readers.DATE_TIME_ORIGINAL] = clock
    if offset:
        fields[readers.OFFSET_TIME_ORIGINAL] = offset
    if exposure is not None:
        fields[readers.EXPOSURE_TIME] = exposure
    Image.fromarray(np.zeros((8, 8), np.uint8)).save(path, exif=exif)
    return path


def test_recorded_time_from_fits_header_and_exif(tmp_path):
    header = fits.Header({"DATE-OBS": "2018-08-17", "TIME-OBS": "03:38:28.5", "EXPTIME": 60.0})
    write_fits(tmp_path / "a.fits", fits.PrimaryHDU(GREY, header))
    assert readers.recorded_time(tmp_path / "a.fits") == RecordedTime(
        datetime.datetime(2018, 8, 17, 3, 38, 28, 500000, UTC), 60.0, "FITS header")
    local = readers.recorded_time(exif_jpeg(tmp_path / "b.jpg", "2026:01:15 22:09:33", "+01:00", 30.0))
    assert local.clock == datetime.datetime(2026, 1, 15, 21, 9, 33, tzinfo=UTC) and local.says_local
    assert local.exposure_s == 30.0
    naive = readers.recorded_time(exif_jpeg(tmp_path / "c.jpg", "2026:01:15 22:09:33"))
    assert naive.clock.tzinfo is None and not naive.says_local
    assert readers.recorded_time(exif_jpeg(tmp_path / "d.jpg")) is None


# --- The solve's time -----------------------------------------------------------------

T0 = datetime.datetime(2026, 1, 15, 21, 9, 33, tzinfo=UTC)


@pytest.mark.parametrize("time_is, expected_s", [("start", 30.0), ("mid", 0.0), ("end", -30.0)])
def test_the_solve_uses_mid_exposure(time_is, expected_s):
    assert mid_exposure(T0, 60.0, time_is) == T0 + datetime.timedelta(seconds=expected_s)


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
    ],
)
def test_time_rules(given, photo, exposure_s, expected, warned):
    mid, _, warnings = exposure_time(parse_utc(given) if given else None, photo, exposure_s=exposure_s)
    assert mid == T0 + datetime.timedelta(seconds=expected)
    assert mid.utcoffset() == datetime.timedelta(0)
    assert (warnings == []) if warned is None else (len(warnings) == 1 and warned in warnings[0])


@pytest.mark.parametrize(
    "given, photo, reason",
    [
        (None, None, "the photo records no time"),
        (None, recorded(None, 60.0), "the photo records no time"),
        # A time without an offset for a photo whose clock was local.
        ("2026-01-15T22:09:33", recorded(T0.astimezone(PLUS_ONE)), "local time (UTC+01:00)"),
    ],
)
def test_times_that_are_refused(given, photo, reason):
    with pytest.raises(TimeError, match=reason.replace("(", r"\(").replace(")", r"\)").replace("+", r"\+")):
        exposure_time(parse_utc(given) if given else None, photo)
