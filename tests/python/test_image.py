import math

import numpy as np
import pytest

import halvane
from conftest import raises

CONTIGUITY = (
    "{0} must be C-contiguous (row-major). A Fortran-ordered or transposed view holds its own "
    "transpose in memory, which would be read as rows: pass numpy.ascontiguousarray({0})"
)
NOT_AN_IMAGE = "image must be a 2-D uint8 or uint16 numpy array"
NOT_A_MASK = "mask must be a 2-D bool numpy array"
TRUTH = [(64.55, 48.2, 30000), (40.1, 75.9, 20000), (100.8, 20.45, 15000), (20.3, 30.7, 9000)]


def sky(height=96, width=128):
    """Sloped sky with Gaussian noise and the stars of TRUTH, brightest first."""
    y, x = np.mgrid[0:height, 0:width].astype(float)
    frame = 3000 + 4 * x + 3 * y + np.random.default_rng(3).normal(0, 20, (height, width))
    for sx, sy, amplitude in TRUTH:
        frame += amplitude * np.exp(-((x - sx) ** 2 + (y - sy) ** 2) / (2 * 1.4**2))
    return np.clip(np.rint(frame), 0, 65535).astype(np.uint16)


def test_detectors_recover_stars_and_take_the_mask_row_major():
    image = sky()
    found = halvane.detect_centroids(image=image, max_count=10, mask=None)
    assert all(type(v) is float for c in found for v in c) and halvane.detect_centroids(image, 2) == found[:2]
    matched = halvane.detect_centroids_matched(image=image, max_count=4, psf_sigma_px=1.4)
    for (x, y, _), (mx, my, _), (tx, ty, _) in zip(found, matched, TRUTH, strict=True):
        assert abs(x - tx) < 0.05 and abs(y - ty) < 0.05 and abs(mx - tx) < 0.1 and abs(my - ty) < 0.1
    # Stars alone make no foreground, and the mask comes back ready for use.
    foreground = halvane.foreground_mask(image=image)
    assert foreground.dtype == np.bool_ and foreground.shape == (96, 128) and not foreground.any()
    assert halvane.detect_centroids(image, 10, foreground) == found
    # Row 48, column 61 is 4-adjacent to the brightest star only.
    foreground[48, 61] = True
    assert halvane.detect_centroids(image, 10, foreground) == found[1:]


def test_uint8_is_widened_by_257():
    rng = np.random.default_rng(5)
    image = rng.integers(20, 40, (100, 90), dtype=np.uint8)
    image[30:70, 10:50] = rng.integers(150, 255, (40, 40), dtype=np.uint8)  # a roof
    image[80:83, 70:73] = 250
    twin = image.astype(np.uint16) * 257
    mask = halvane.foreground_mask(image)
    assert mask[50, 30] and not mask[90, 85]
    assert np.array_equal(mask, halvane.foreground_mask(twin))
    assert halvane.detect_centroids(image, 10) == halvane.detect_centroids(twin, 10) != []
    assert halvane.detect_centroids_matched(image, 10, 1.5) == halvane.detect_centroids_matched(twin, 10, 1.5)


@pytest.mark.parametrize(
    "image, text",
    [
        (np.zeros((30, 40), np.uint16).T, CONTIGUITY.format("image")),
        (np.asfortranarray(np.zeros((30, 40), np.uint8)), CONTIGUITY.format("image")),
        (np.zeros((30, 40), np.int32), NOT_AN_IMAGE),
        (np.zeros((30, 40), ">u2"), NOT_AN_IMAGE),
        (np.zeros((3, 30, 40), np.uint16), NOT_AN_IMAGE),
        (np.zeros((30, 40), bool), NOT_AN_IMAGE),
        ([[1, 2], [3, 4]], NOT_AN_IMAGE),
        (np.zeros((0, 5), np.uint16), "bad image: 5x0 does not match 0 pixels"),
    ],
    ids=["transposed", "fortran", "int32", "big-endian", "3-D", "bool", "list", "empty"],
)
def test_image_refusals(image, text):
    raises(halvane.HalvaneError, text, halvane.detect_centroids, image, 5)
    raises(halvane.HalvaneError, text, halvane.detect_centroids_matched, image, 5, 1.5)
    raises(halvane.HalvaneError, text, halvane.foreground_mask, image)


@pytest.mark.parametrize(
    "mask, text",
    [
        (np.zeros((40, 30), bool), "bad image: mask 30x40 (1200 flags) does not match the 40x30 frame"),
        (np.zeros((40, 30), bool).T, CONTIGUITY.format("mask")),
        (np.zeros((30, 40), np.uint8), NOT_A_MASK),
    ],
)
def test_mask_refusals(mask, text):
    raises(halvane.HalvaneError, text, halvane.detect_centroids, np.zeros((30, 40), np.uint16), 5, mask)


@pytest.mark.parametrize("sigma, shown", [(0.0, "0"), (math.nan, "NaN"), (64.000001, "64.000001")])
def test_psf_width_is_checked_before_the_image(sigma, shown):
    text = f"psf_sigma_px must be finite and in (0, 64] pixels (got {shown}); a star PSF is 1-2 px sigma"
    for image in (np.zeros((30, 40), np.uint16), "not an image"):
        raises(halvane.HalvaneError, text, halvane.detect_centroids_matched, image, 5, sigma)


def test_psf_width_bounds_and_argument_conversions():
    image = sky(48, 64)
    for sigma in (64.0, 64, 5e-324):
        assert isinstance(halvane.detect_centroids_matched(image, 3, sigma), list)
    # The width is converted before the image is.
    raises(TypeError, "argument 'psf_sigma_px': must be real number, not str", halvane.detect_centroids_matched, "x", 1, "1.5")
    # Read-only arrays and NumPy integers are accepted.
    mask = np.zeros(image.shape, bool)
    image.setflags(write=False)
    mask.setflags(write=False)
    assert halvane.detect_centroids(image, np.uint8(3), mask) == halvane.detect_centroids(image.copy(), 3)
