import inspect
import math

import numpy as np
import pytest

import halvane

CONTIGUITY = (
    "{0} must be C-contiguous (row-major). A Fortran-ordered or transposed view holds its own "
    "transpose in memory, which would be read as rows: pass numpy.ascontiguousarray({0})"
)
NOT_AN_IMAGE = "image must be a 2-D uint8 or uint16 numpy array"


def sky(height=96, width=128, seed=3):
    """Sloped sky with Gaussian noise and a few Gaussian stars; returns (image, truth)."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(float)
    frame = 3000 + 4 * x + 3 * y + rng.normal(0, 20, (height, width))
    truth = [(64.55, 48.2, 30000), (40.1, 75.9, 20000), (100.8, 20.45, 15000), (20.3, 30.7, 9000)]
    for sx, sy, amplitude in truth:
        frame += amplitude * np.exp(-((x - sx) ** 2 + (y - sy) ** 2) / (2 * 1.4**2))
    return np.clip(np.rint(frame), 0, 65535).astype(np.uint16), truth


def call_all(image):
    """Each image function with a given image, so refusals can be checked on all three."""
    return [
        lambda: halvane.detect_centroids(image, 5),
        lambda: halvane.detect_centroids_matched(image, 5, 1.5),
        lambda: halvane.foreground_mask(image),
    ]


def test_signatures_and_docstrings():
    for function, params in [
        (halvane.detect_centroids, ["image", "max_count", "mask"]),
        (halvane.detect_centroids_matched, ["image", "max_count", "psf_sigma_px"]),
        (halvane.foreground_mask, ["image"]),
    ]:
        signature = inspect.signature(function)
        assert list(signature.parameters) == params
        assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())
        assert function.__doc__.strip()
    assert inspect.signature(halvane.detect_centroids).parameters["mask"].default is None


def test_stars_are_recovered_brightest_first_as_float_tuples():
    image, truth = sky()
    found = halvane.detect_centroids(image, 10)
    assert len(found) == len(truth)
    for (x, y, flux), (tx, ty, _) in zip(found, truth):
        assert type(x) is float and type(y) is float and type(flux) is float
        assert abs(x - tx) < 0.05 and abs(y - ty) < 0.05
    assert [c[2] for c in found] == sorted((c[2] for c in found), reverse=True)
    assert halvane.detect_centroids(image, 2) == found[:2]
    assert halvane.detect_centroids(image, 0) == []
    assert halvane.detect_centroids(image, 10, mask=None) == found
    assert halvane.detect_centroids(image=image, max_count=10, mask=None) == found

    matched = halvane.detect_centroids_matched(image, 4, 1.4)
    assert len(matched) == 4
    for (x, y, _), (tx, ty, _) in zip(matched, truth):
        assert abs(x - tx) < 0.1 and abs(y - ty) < 0.1
    assert halvane.detect_centroids_matched(image, 0, 1.4) == []


def test_mask_drops_the_star_it_touches():
    image, truth = sky()
    mask = np.zeros(image.shape, dtype=bool)
    mask[48, 61] = True  # 4-adjacent to the brightest star's footprint
    found = halvane.detect_centroids(image, 10, mask)
    assert len(found) == len(truth) - 1
    assert all(abs(x - 64.55) > 5 for x, _, _ in found)
    # A mask from foreground_mask fits the mask parameter as it is; stars
    # alone make no foreground.
    foreground = halvane.foreground_mask(image)
    assert not foreground.any()
    assert halvane.detect_centroids(image, 10, foreground) == halvane.detect_centroids(image, 10)


def test_uint8_is_widened_by_257():
    image = np.full((40, 48), 10, dtype=np.uint8)
    image[20:23, 20:23] = 200
    (x, y, flux), = halvane.detect_centroids(image, 5)
    assert (x, y) == (21.0, 21.0)
    assert flux == 9 * 190 * 257
    full = np.full((40, 48), 0, dtype=np.uint8)
    full[10:13, 10:13] = 255
    assert halvane.detect_centroids(full, 5)[0][2] == 9 * 65535


def test_uint8_and_its_widened_twin_agree():
    rng = np.random.default_rng(5)
    image = rng.integers(20, 40, (100, 90), dtype=np.uint8)
    image[30:70, 10:50] = rng.integers(150, 255, (40, 40), dtype=np.uint8)  # a roof
    image[80:83, 70:73] = 250
    twin = image.astype(np.uint16) * 257
    mask = halvane.foreground_mask(image)
    assert mask.dtype == np.bool_ and mask.shape == (100, 90) and mask.flags.c_contiguous
    assert mask[50, 30] and not mask[90, 85]
    assert np.array_equal(mask, halvane.foreground_mask(twin))
    assert halvane.detect_centroids(image, 10) == halvane.detect_centroids(twin, 10)
    assert halvane.detect_centroids_matched(image, 10, 1.5) == halvane.detect_centroids_matched(twin, 10, 1.5)


@pytest.mark.parametrize(
    "image, text",
    [
        (np.zeros((30, 40), np.uint16).T, CONTIGUITY.format("image")),
        (np.asfortranarray(np.zeros((30, 40), np.uint8)), CONTIGUITY.format("image")),
        (np.zeros((30, 80), np.uint16)[:, ::2], CONTIGUITY.format("image")),
        (np.zeros((30, 40), np.int32), NOT_AN_IMAGE),
        (np.zeros((30, 40), np.float64), NOT_AN_IMAGE),
        (np.zeros((30, 40), ">u2"), NOT_AN_IMAGE),
        (np.zeros((3, 30, 40), np.uint16), NOT_AN_IMAGE),
        (np.zeros(40, np.uint16), NOT_AN_IMAGE),
        (np.zeros((30, 40), bool), NOT_AN_IMAGE),
        ([[1, 2], [3, 4]], NOT_AN_IMAGE),
        (b"\x00" * 16, NOT_AN_IMAGE),
        (None, NOT_AN_IMAGE),
    ],
    ids=["transposed", "fortran", "strided", "int32", "float64", "big-endian", "3-D", "1-D", "bool", "list", "bytes", "None"],
)
def test_image_refusals(image, text):
    for call in call_all(image):
        with pytest.raises(halvane.HalvaneError) as info:
            call()
        assert str(info.value) == text


@pytest.mark.parametrize("shape, text", [((0, 5), "bad image: 5x0 does not match 0 pixels"), ((4, 0), "bad image: 0x4 does not match 0 pixels")])
def test_empty_frames_are_refused_by_the_engine(shape, text):
    for call in call_all(np.zeros(shape, np.uint16)):
        with pytest.raises(halvane.HalvaneError) as info:
            call()
        assert str(info.value) == text


@pytest.mark.parametrize(
    "mask, text",
    [
        (np.zeros((30, 41), bool), "bad image: mask 41x30 (1230 flags) does not match the 40x30 frame"),
        (np.zeros((40, 30), bool), "bad image: mask 30x40 (1200 flags) does not match the 40x30 frame"),
        (np.zeros((40, 30), bool).T, CONTIGUITY.format("mask")),
        (np.zeros((30, 40), np.uint8), "mask must be a 2-D bool numpy array"),
        (np.zeros((1, 30, 40), bool), "mask must be a 2-D bool numpy array"),
        ([[False] * 40] * 30, "mask must be a 2-D bool numpy array"),
    ],
)
def test_mask_refusals(mask, text):
    with pytest.raises(halvane.HalvaneError) as info:
        halvane.detect_centroids(np.zeros((30, 40), np.uint16), 5, mask)
    assert str(info.value) == text


@pytest.mark.parametrize(
    "sigma, shown",
    [(0.0, "0"), (-1.0, "-1"), (math.nan, "NaN"), (math.inf, "inf"), (-math.inf, "-inf"), (64.000001, "64.000001"), (64.5, "64.5")],
)
def test_psf_width_refusals_come_before_the_image(sigma, shown):
    text = f"psf_sigma_px must be finite and in (0, 64] pixels (got {shown}); a star PSF is 1-2 px sigma"
    for image in (np.zeros((30, 40), np.uint16), "not an image"):
        with pytest.raises(halvane.HalvaneError) as info:
            halvane.detect_centroids_matched(image, 5, sigma)
        assert str(info.value) == text


def test_psf_width_bounds_accepted():
    image, _ = sky(48, 64)
    for sigma in (64.0, 64, 5e-324, 1e-300):
        assert isinstance(halvane.detect_centroids_matched(image, 3, sigma), list)


@pytest.mark.parametrize(
    "call, kind, text",
    [
        (lambda: halvane.detect_centroids("x", -1), OverflowError, "argument 'max_count': -1 is outside the range 0 to 18446744073709551615"),
        (lambda: halvane.detect_centroids("x", 2.0), TypeError, "argument 'max_count': 'float' object cannot be interpreted as an integer"),
        (lambda: halvane.detect_centroids_matched("x", 1, "1.5"), TypeError, "argument 'psf_sigma_px': must be real number, not str"),
        (lambda: halvane.detect_centroids(np.zeros((3, 3), np.uint16)), TypeError, "detect_centroids() missing 1 required positional argument: 'max_count'"),
        (lambda: halvane.foreground_mask(np.zeros((3, 3), np.uint16), 1), TypeError, "foreground_mask() takes 1 positional argument but 2 were given"),
    ],
)
def test_argument_errors(call, kind, text):
    with pytest.raises(kind) as info:
        call()
    assert type(info.value) is kind and str(info.value) == text


def test_read_only_and_numpy_integer_arguments():
    image, _ = sky(48, 64)
    image.setflags(write=False)
    assert halvane.detect_centroids(image, np.uint8(3)) == halvane.detect_centroids(image.copy(), 3)
    mask = np.zeros(image.shape, bool)
    mask.setflags(write=False)
    assert halvane.detect_centroids(image, 3, mask) == halvane.detect_centroids(image, 3)
