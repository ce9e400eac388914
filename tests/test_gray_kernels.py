"""The plain-colour pixel kernels against the NumPy/OpenCV computations they replace."""

import struct
import zlib

import cv2
import numpy as np
import pytest

from support import opencv_x86
from tessel import _gray_kernels as K

SIZES = [(1, 1), (1, 9), (9, 1), (2, 2), (2, 31), (19, 19), (20, 20), (21, 43), (64, 64),
         (97, 211), (127, 131), (260, 263), (401, 263), (523, 797), (1009, 1013)]


def images(h, w, seed):
    """Noise, a smooth field (energy in low frequencies) and a near-constant one."""
    rng = np.random.default_rng(seed)
    noise = rng.integers(0, 256, (h, w), dtype=np.uint8)
    yy, xx = np.mgrid[0:h, 0:w]
    smooth = (120 + 60 * np.sin(xx / max(w, 1) * 3.1) * np.cos(yy / max(h, 1) * 2.3)).astype(np.uint8)
    flat = np.full((h, w), 200, np.uint8)
    flat.flat[rng.integers(0, h * w)] = 201
    return [noise, smooth, flat]


def reference_ratio(gray):
    mag = np.abs(np.fft.fftshift(np.fft.fft2(gray.astype(np.float64))))
    h, w = mag.shape
    r = min(h, w) // 20
    mask = np.ones((h, w), dtype=bool)
    mask[h // 2 - r:h // 2 + r, w // 2 - r:w // 2 + r] = False
    total = np.sum(mag ** 2)
    return np.sum(mag[mask] ** 2) / total if total > 0 else 0.0


def exact_moments(values):
    wide = values.astype(np.int64)
    return int(wide.sum()), int((wide * wide).sum()), wide.size


@pytest.mark.parametrize("h,w", SIZES + [(3, 17), (3, 18), (4, 33), (5, 50)])
def test_grey_and_laplacian_statistics(h, w):
    for gray in images(h, w, h * 7919 + w):
        assert K.grey_std(gray) == pytest.approx(float(np.std(gray)), rel=1e-12, abs=1e-12)
        lap = cv2.Laplacian(gray, cv2.CV_64F)
        for vectorised in (True, False):
            assert K.grey_moments(gray, vectorised) == exact_moments(gray)
            assert K.laplacian_moments(gray, vectorised) == exact_moments(lap.astype(np.int64))
        assert K.laplacian_std(gray) == pytest.approx(float(np.std(lap)), rel=1e-9, abs=1e-12)


@pytest.mark.parametrize("vectorised", [True, False])
def test_moments_of_extreme_rows_do_not_overflow(vectorised):
    # Long rows of the largest grey squares and Laplacian values: the vector
    # passes keep 32-bit lane sums that must be emptied in time.
    width = 600_000
    bright = np.full((3, width), 255, np.uint8)
    checker = (np.indices((3, width)).sum(0) % 2 * 255).astype(np.uint8)
    for gray in (bright, checker):
        assert K.grey_moments(gray, vectorised) == exact_moments(gray)
        lap = cv2.Laplacian(gray, cv2.CV_64F).astype(np.int64)
        assert K.laplacian_moments(gray, vectorised) == exact_moments(lap)


@pytest.mark.parametrize("h,w,method", [(h, w, m) for h, w in SIZES for m in ("auto", "direct", "fft", "vector")
                                         if m in ("auto", "fft") or h * w < 300_000])
def test_high_frequency_share_matches_full_fft(h, w, method):
    for gray in images(h, w, h + 31 * w)[:2]:
        assert K.high_freq_ratio(gray, method) == pytest.approx(reference_ratio(gray), rel=1e-12, abs=0)


@pytest.mark.parametrize("h,w", [(20, 30), (41, 50), (60, 44), (21, 1022), (300, 998), (1001, 1000)])
def test_high_frequency_share_of_even_widths(h, w):
    # Even widths fold about a quarter of the row: half widths odd and even,
    # radii under and over one block of frequencies.
    for gray in images(h, w, 7 * h + w)[:2]:
        assert K.high_freq_ratio(gray, "vector") == pytest.approx(reference_ratio(gray), rel=1e-12, abs=0)


@pytest.mark.parametrize("method", ["auto", "direct", "fft", "vector"])
@pytest.mark.parametrize("h,w", [(1, 1), (10, 10), (19, 400), (40, 40), (41, 43), (300, 300)])
def test_high_frequency_share_of_constant_images(h, w, method):
    black = np.zeros((h, w), np.uint8)
    grey = np.full((h, w), 77, np.uint8)
    assert K.high_freq_ratio(black, method) == 0.0
    # Under 20 pixels nothing is masked: all energy counts as high frequency.
    assert K.high_freq_ratio(grey, method) == (1.0 if min(h, w) < 20 else 0.0)


@pytest.mark.parametrize("h,w", [(641, 4999), (1201, 600), (2053, 1031)])
def test_high_frequency_share_with_large_prime_sides(h, w):
    # 4999, 1201, 2053, 1031 are prime: these lengths go through Bluestein.
    gray = np.random.default_rng(h).integers(0, 256, (h, w), dtype=np.uint8)
    gray[: h // 2] //= 3
    assert K.high_freq_ratio(gray) == pytest.approx(reference_ratio(gray), rel=1e-12, abs=0)


def test_saturation_of_every_max_min_pair_in_every_channel_order():
    hi, lo = np.meshgrid(np.arange(256), np.arange(256), indexing="ij")
    keep = lo <= hi
    mid = (hi[keep] + lo[keep]) // 2
    base = np.stack([hi[keep], lo[keep], mid], -1).astype(np.uint8)
    for order in ([0, 1, 2], [0, 2, 1], [1, 0, 2], [1, 2, 0], [2, 0, 1], [2, 1, 0]):
        pixels = np.ascontiguousarray(base[:, order]).reshape(1, -1, 3)
        assert K.saturation_sum(pixels) == opencv_x86.saturation_sum(pixels), order


@pytest.mark.parametrize("h,w", [(1, 1), (3, 700), (333, 517), (1024, 1100)])
def test_saturation_and_nonzero_on_random_images(h, w):
    rng = np.random.default_rng(h * w)
    bgr = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
    assert K.saturation_sum(bgr) == opencv_x86.saturation_sum(bgr)
    edges = (rng.random((h, w)) < 0.3).astype(np.uint8) * 255
    assert K.count_nonzero(edges) == np.count_nonzero(edges)


def _png_header(w, h):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))


@pytest.mark.parametrize("ext", [".png", ".jpg", ".webp", ".bmp", ".tiff", ".ppm", ".pgm", ".pfm",
                                 ".pam", ".sr", ".hdr", ".jp2", ".avif"])
@pytest.mark.parametrize("w,h", [(1, 1), (37, 5), (300, 211)])
def test_declared_size_of_encoded_images(ext, w, h):
    if ext == ".jp2":  # the JPEG 2000 encoder needs a few resolution levels
        w, h = w + 64, h + 64
    img = np.random.default_rng(w).integers(0, 256, (h, w, 3), dtype=np.uint8)
    if ext == ".pfm":
        img = img.astype(np.float32) / 255
    if ext == ".pgm":
        img = img[:, :, 0].copy()
    try:
        ok, buf = cv2.imencode(ext, img)
    except cv2.error:
        pytest.skip(f"this OpenCV build cannot write {ext}")
    assert ok
    assert K.declared_size(buf.tobytes()) == (w, h)


@pytest.mark.parametrize("data,size", [
    (_png_header(30000, 30000), (30000, 30000)),
    (b"GIF89a" + struct.pack("<HH", 640, 480) + b"\0" * 8, (640, 480)),
    (b"P6 # comment\n 12 34\n255\n", (12, 34)),
    (b"BM" + b"\0" * 12 + struct.pack("<Iii", 40, 5, -7) + b"\0" * 20, (5, 7)),
    (b"MM\0*" + struct.pack(">I", 8) + struct.pack(">H", 2) + struct.pack(">HHII", 256, 4, 1, 70000)
     + struct.pack(">HHIHH", 257, 3, 1, 9, 0), (70000, 9)),
    (b"\xff\xd8\xff\xe0\x00\x04ab\xff\xc2\x00\x0b\x08" + struct.pack(">HH", 40000, 50000) + b"\x01", (50000, 40000)),
    (b"not an image", None),
    (b"\x89PNG\r\n\x1a\n", None),
    (b"", None),
])
def test_declared_size_of_handmade_headers(data, size):
    assert K.declared_size(data) == size


@pytest.mark.parametrize("h,w", [(125, 1000), (625, 250), (375, 160), (40, 3125)])
def test_high_frequency_share_with_powers_of_five(h, w):
    # Lengths made of fives (and small factors) use the radix-5 butterflies.
    gray = np.random.default_rng(h * w).integers(0, 256, (h, w), dtype=np.uint8)
    gray[h // 3:] //= 5
    for method in ("auto", "fft"):
        assert K.high_freq_ratio(gray, method) == pytest.approx(reference_ratio(gray), rel=1e-12, abs=0)


def test_an_allocation_failure_in_a_helper_slice_is_raised_not_fatal():
    # A slice that runs on a helper thread and throws must not end the
    # process: the error comes back to the caller once every slice is done.
    slices = K.slices_with_failure(64, -1)
    assert slices[0][1] == 0 and slices[-1][2] == 64
    for failing in range(len(slices)):
        with pytest.raises(MemoryError):
            K.slices_with_failure(64, failing)
    assert K.slices_with_failure(64, -1) == slices
