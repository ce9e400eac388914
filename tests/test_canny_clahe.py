"""The Canny, CLAHE and grey-conversion kernels against OpenCV, byte for byte."""

import cv2
import numpy as np
import pytest

from support import opencv_x86
from tessel import _gray_kernels as K

# Tiny, thin, prime, tile-multiple and odd sizes.
SIZES = [(1, 1), (1, 2), (2, 1), (2, 2), (3, 3), (1, 40), (40, 1), (2, 9), (7, 5), (8, 8), (9, 9), (16, 24),
         (13, 31), (63, 65), (64, 64), (100, 37), (127, 131), (256, 256), (331, 97)]


def textures(h, w, seed):
    """Noise, smooth waves, flat blocks, few-level steps (many magnitude ties), sparse dots, faint noise."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:h, 0:w]
    blocks = np.full((h, w), rng.integers(0, 256), np.uint8)
    for _ in range(5):
        y0, x0 = rng.integers(0, h), rng.integers(0, w)
        blocks[y0:y0 + rng.integers(1, h + 1), x0:x0 + rng.integers(1, w + 1)] = rng.integers(0, 256)
    dots = np.full((h, w), 100, np.uint8)
    dots[rng.random((h, w)) < 0.05] = rng.integers(0, 256)
    return {
        "noise": rng.integers(0, 256, (h, w), dtype=np.uint8),
        "waves": (128 + 100 * np.sin(xx / (w + 1) * rng.uniform(1, 20))
                  * np.cos(yy / (h + 1) * rng.uniform(1, 20))).astype(np.uint8),
        "blocks": blocks,
        "steps": (rng.integers(0, 4, (h, w)) * rng.integers(1, 30) + rng.integers(0, 100)).astype(np.uint8),
        "dots": dots,
        "faint": np.clip(128 + rng.normal(0, rng.uniform(0.5, 8), (h, w)), 0, 255).astype(np.uint8),
    }


def canny(gray, low=10, high=50, vectorised=True):
    count, edges = K.canny_edges(gray, low, high, vectorised)
    return count, np.frombuffer(edges, np.uint8).reshape(gray.shape)


def clahe(gray, clip=4.0, tiles=(8, 8), vectorised=True):
    return np.frombuffer(K.clahe(gray, clip, *tiles, vectorised), np.uint8).reshape(gray.shape)


@pytest.mark.parametrize("vectorised", [True, False])
@pytest.mark.parametrize("h,w", SIZES)
@pytest.mark.parametrize("seed", range(3))
def test_canny_edge_map_equals_opencv(h, w, seed, vectorised):
    for name, gray in textures(h, w, seed * 1000 + h * 31 + w).items():
        expected = cv2.Canny(gray, 10, 50)
        count, edges = canny(gray, vectorised=vectorised)
        assert np.array_equal(edges, expected), name
        assert count == K.canny_edge_count(gray, 10, 50, vectorised) == np.count_nonzero(expected), name


PRIMES = [41, 43, 47, 53, 61, 67, 79, 97, 101, 127, 131, 257]


@pytest.mark.parametrize("vectorised", [True, False])
@pytest.mark.parametrize("h", [1, 2, 3, 5, 18])
def test_canny_widths_around_the_vector_steps(h, vectorised):
    # Every width up to 40 and some primes: the 16- and 8-pixel steps, the
    # pixel-by-pixel tail and the neighbour scans' 16-byte chunks all meet
    # at different columns. Thresholds include ties and swapped pairs.
    rng = np.random.default_rng(h * 2 + vectorised)
    for w in list(range(1, 41)) + PRIMES:
        for name, gray in textures(h, w, int(rng.integers(1 << 30))).items():
            low, high = (int(v) for v in rng.integers(0, 80, 2))
            for lo, hi in [(10, 50), (low, high), (high, low), (low, low)]:
                count, edges = canny(gray, lo, hi, vectorised)
                expected = cv2.Canny(gray, lo, hi)
                assert np.array_equal(edges, expected), (name, h, w, lo, hi)
                assert count == np.count_nonzero(expected), (name, h, w, lo, hi)


@pytest.mark.parametrize("vectorised", [True, False])
@pytest.mark.parametrize("low,high", [(10, 50), (100, 120), (300, 310), (1, 2), (0, 900), (40, 41)])
@pytest.mark.parametrize("kind", ["noise", "ramps"])
def test_canny_hysteresis_from_either_side(kind, low, high, vectorised):
    # Thresholds that leave far more edges than candidates or the other way
    # round, so the walk starts from either set; ramps plus noise give every
    # gradient direction, near the sector bounds too.
    rng = np.random.default_rng(low * 1000 + high)
    for _ in range(6):
        h, w = (int(v) for v in rng.integers(17, 120, 2))
        if kind == "noise":
            gray = rng.integers(0, 256, (h, w), dtype=np.uint8)
        else:
            yy, xx = np.mgrid[0:h, 0:w]
            a, b = rng.uniform(-6, 6, 2)
            gray = np.clip(a * xx + b * yy + 128 + rng.normal(0, rng.uniform(1, 30), (h, w)), 0, 255).astype(np.uint8)
        count, edges = canny(gray, low, high, vectorised)
        expected = cv2.Canny(gray, low, high)
        assert np.array_equal(edges, expected), (h, w)
        assert count == K.canny_edge_count(gray, low, high, vectorised) == np.count_nonzero(expected), (h, w)


@pytest.mark.parametrize("h,w", SIZES)
@pytest.mark.parametrize("seed", range(3))
def test_clahe_bytes_equal_opencv_and_feed_the_second_detection(h, w, seed):
    for name, gray in textures(h, w, seed * 7 + h * 131 + w).items():
        enhanced = clahe(gray)
        expected = opencv_x86.clahe(gray, 4.0, (8, 8), enhanced)
        assert np.array_equal(enhanced, expected), name
        assert K.canny_edge_count(enhanced, 10, 50) == np.count_nonzero(cv2.Canny(expected, 10, 50)), name


@pytest.mark.parametrize("vectorised", [True, False])
@pytest.mark.parametrize("seed", range(8))
def test_canny_thresholds_including_ties(seed, vectorised):
    # Few grey levels make magnitudes land exactly on the thresholds; equal
    # and swapped thresholds are accepted by the library as well.
    rng = np.random.default_rng(seed)
    for _ in range(40):
        h, w = (int(v) for v in rng.integers(1, 70, 2))
        gray = (rng.integers(0, 3, (h, w)) * rng.integers(1, 9)).astype(np.uint8)
        low, high = (int(v) for v in rng.integers(0, 120, 2))
        for lo, hi in [(low, high), (low, low), (0, 0), (8, 16)]:
            assert np.array_equal(canny(gray, lo, hi, vectorised)[1], cv2.Canny(gray, lo, hi)), (h, w, lo, hi)


@pytest.mark.parametrize("vectorised", [True, False])
@pytest.mark.parametrize("seed", range(8))
def test_clahe_other_clip_limits_and_grids(seed, vectorised):
    # Tiles larger than the image, uneven sides and clipping off (0) or
    # always (1), with and without the AVX2 table step.
    rng = np.random.default_rng(100 + seed)
    for _ in range(30):
        h, w = (int(v) for v in rng.integers(1, 90, 2))
        gray = rng.integers(0, 256, (h, w), dtype=np.uint8) if rng.random() < 0.5 else \
            textures(h, w, int(rng.integers(1 << 30)))["steps"]
        clip = float(rng.choice([0.0, 1.0, 2.5, 4.0, 40.0]))
        tiles = tuple(int(v) for v in rng.integers(1, 12, 2))
        got = clahe(gray, clip, tiles, vectorised)
        assert np.array_equal(got, opencv_x86.clahe(gray, clip, tiles, got)), (h, w, clip, tiles)


@pytest.mark.parametrize("vectorised", [True, False])
@pytest.mark.parametrize("levels", [1, 2, 40, 95, 96, 97, 150, 256])
@pytest.mark.parametrize("h,w", [(16, 16), (64, 48), (200, 200), (97, 211)])
def test_clahe_tables_for_scattered_grey_sets(levels, h, w, vectorised):
    # A tile's table is filled either for the values occurring around it or
    # whole: sets of scattered grey levels around the switch-over, with
    # tiles big enough for clipped pixels to leave a residual.
    rng = np.random.default_rng(levels * 7919 + h * w)
    palette = rng.choice(256, levels, replace=False).astype(np.uint8)
    weights = rng.random(levels) ** 3  # uneven: some bins overflow the clip limit
    gray = palette[rng.choice(levels, (h, w), p=weights / weights.sum())]
    for clip in (1.0, 4.0):
        got = clahe(gray, clip, vectorised=vectorised)
        assert np.array_equal(got, opencv_x86.clahe(gray, clip, (8, 8), got)), clip


@pytest.mark.parametrize("vectorised", [True, False])
@pytest.mark.parametrize("h,w", [(1000, 1000), (1031, 517), (2, 300_001), (300_001, 2)])
def test_large_images_split_over_threads(h, w, vectorised):
    # Large enough for the row slices to run on several threads; the wide
    # two-row image queues a whole row of starting pixels at once.
    rng = np.random.default_rng(h + w)
    yy, xx = np.mgrid[0:h, 0:w]
    gray = (128 + 100 * np.sin(xx / w * 13) * np.cos(yy / h * 9) + rng.normal(0, 3, (h, w))).clip(0, 255).astype(np.uint8)
    count, edges = canny(gray, vectorised=vectorised)
    assert np.array_equal(edges, cv2.Canny(gray, 10, 50))
    assert count == np.count_nonzero(edges)
    enhanced = clahe(gray)
    expected = opencv_x86.clahe(gray, 4.0, (8, 8), enhanced)
    assert np.array_equal(enhanced, expected)
    assert K.canny_edge_count(expected, 10, 50, vectorised) == np.count_nonzero(cv2.Canny(expected, 10, 50))


@pytest.mark.parametrize("vectorised", [True, False])
@pytest.mark.parametrize("low,high", [(10, 50), (100, 120), (60, 400)])
def test_dense_walks_over_threads(low, high, vectorised):
    # Noise leaves dense patches of candidates and edges; sized so that both
    # the row passes and the walk run in slices, the walk starting from the
    # edges or from the candidates depending on the thresholds.
    rng = np.random.default_rng(low + high)
    gray = rng.integers(0, 256, (1100, 997), dtype=np.uint8)
    count, edges = canny(gray, low, high, vectorised)
    expected = cv2.Canny(gray, low, high)
    assert np.array_equal(edges, expected)
    assert count == np.count_nonzero(expected)


@pytest.mark.parametrize("vectorised", [True, False])
@pytest.mark.parametrize("h,w", [(1000, 1000), (2400, 300)])
@pytest.mark.parametrize("strong_end", ["top", "bottom", "middle"])
def test_weak_edge_chains_crossing_row_slices(h, w, strong_end, vectorised):
    # A step edge whose magnitude lies between the thresholds for the whole
    # height except a short strong part: the weak chain must be followed
    # across every row slice boundary, in either direction.
    gray = np.zeros((h, w), np.uint8)
    gray[:, w // 2:] = 5
    rows = {"top": slice(0, 3), "bottom": slice(h - 3, h), "middle": slice(h // 2 - 1, h // 2 + 2)}[strong_end]
    gray[rows, w // 2:] = 40
    # A diagonal weak line as well, crossing the boundaries at an angle.
    for y in range(h):
        gray[y, (y * 7) % (w // 2)] = 6
    expected = cv2.Canny(gray, 10, 50)
    count, edges = canny(gray, vectorised=vectorised)
    assert np.array_equal(edges, expected)
    assert count == np.count_nonzero(expected) > h
