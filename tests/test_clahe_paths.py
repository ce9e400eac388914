"""CLAHE through each way of making its tables and blending, against OpenCV byte
for byte, with and without the AVX2 steps: flags for one-pixel clip limits on
small tiles (tables made only in the blocks of values the blending reads),
flags on larger tiles, partial histograms (two and four), odd row tails."""

import numpy as np
import pytest

from support import opencv_x86
from tessel import _gray_kernels as K


def clahe(gray, clip, tiles, vectorised):
    return np.frombuffer(K.clahe(gray, clip, *tiles, vectorised), np.uint8).reshape(gray.shape)


def assert_like_opencv(gray, clip, tiles):
    expected = opencv_x86.clahe(gray, clip, tiles, clahe(gray, clip, tiles, True))
    for vectorised in (True, False):
        got = clahe(gray, clip, tiles, vectorised)
        if not np.array_equal(got, expected):
            bad = np.argwhere(got != expected)[0]
            raise AssertionError(f"{gray.shape} clip={clip} tiles={tiles} vectorised={vectorised}: first "
                                 f"difference at {tuple(bad)}: {got[tuple(bad)]} != {expected[tuple(bad)]}")


def random_image(rng, h, w):
    kind = rng.integers(5)
    if kind == 0:  # noise: most values distinct, little or nothing clipped
        return rng.integers(0, 256, (h, w), dtype=np.uint8)
    if kind == 1:  # flat: one value per tile, most of each tile clipped
        return np.full((h, w), rng.integers(0, 256), np.uint8)
    if kind == 2:  # few grey levels anywhere in the range
        palette = rng.choice(256, int(rng.integers(2, 6)), replace=False).astype(np.uint8)
        return palette[rng.integers(0, len(palette), (h, w))]
    if kind == 3:  # a gradient: neighbouring tiles in different blocks of 32 values
        yy, xx = np.mgrid[0:h, 0:w]
        return ((xx * 255 // max(w - 1, 1) + yy * 37) % 256).astype(np.uint8)
    # faint noise around a level
    return np.clip(rng.normal(rng.integers(20, 236), rng.uniform(0.3, 6), (h, w)), 0, 255).astype(np.uint8)


@pytest.mark.parametrize("clip", [0.0, 1.0, 4.0, 40.0])
@pytest.mark.parametrize("seed", range(6))
def test_random_small_images_grids_and_clip_limits(clip, seed):
    rng = np.random.default_rng(seed * 101 + int(clip * 10))
    for _ in range(40):
        h, w = (int(v) for v in rng.integers(1, 71, 2))
        tiles = (8, 8) if rng.random() < 0.4 else tuple(int(v) for v in rng.integers(1, 13, 2))
        assert_like_opencv(random_image(rng, h, w), clip, tiles)


@pytest.mark.parametrize("h,w", [(64, 64), (48, 36), (36, 48), (40, 40), (63, 65), (8, 8), (16, 128), (96, 96),
                                 (100, 100), (96, 128), (120, 120), (127, 129)])
@pytest.mark.parametrize("distinct", [1, 2, 7, 31, 32, 33, 64, 120, 256])
def test_small_tiles_every_share_of_clipped_pixels(h, w, distinct):
    # Tiles of fewer than 256 pixels count in bytes. With a clip limit of one
    # pixel per bin a table depends only on how many values a tile has: from
    # one (nearly all clipped, handed back one each to every step-th bin) to
    # all different (nothing clipped); with two or three (tiles of 128 to 255
    # pixels) on how often each occurs as well.
    rng = np.random.default_rng(h * 1000 + w + distinct)
    values = rng.choice(256, distinct, replace=False).astype(np.uint8)
    gray = values[rng.integers(0, distinct, (h, w))]
    for clip in (1.0, 4.0):
        assert_like_opencv(gray, clip, (8, 8))


@pytest.mark.parametrize("tiles", [(8, 8), (3, 5), (11, 7)])
@pytest.mark.parametrize("seed", range(4))
def test_tiles_whose_values_lie_far_apart(tiles, seed):
    # Every tile takes values from its own block of 32 grey levels, with
    # single outliers near the corners: a table must be made wherever the
    # pixels that blend with it fall, including its neighbours' blocks.
    rng = np.random.default_rng(seed)
    h, w = int(rng.integers(tiles[1] * 2, 80)), int(rng.integers(tiles[0] * 2, 80))
    ty = np.minimum(np.arange(h) * tiles[1] // h, tiles[1] - 1)
    tx = np.minimum(np.arange(w) * tiles[0] // w, tiles[0] - 1)
    block = (ty[:, None] * 3 + tx[None, :] * 5) % 8
    gray = (block * 32 + rng.integers(0, 32, (h, w))).astype(np.uint8)
    for _ in range(6):
        gray[rng.integers(0, h), rng.integers(0, w)] = rng.integers(0, 256)
    for clip in (1.0, 4.0):
        assert_like_opencv(gray, clip, tiles)


@pytest.mark.parametrize("h,w", [(200, 200), (256, 256), (130, 250), (301, 257), (520, 400)])
@pytest.mark.parametrize("kind", ["flat", "two_levels", "noise", "gradient"])
@pytest.mark.parametrize("clip", [0.0, 1.0, 4.0, 40.0])
def test_larger_tiles_flags_and_partial_histograms(h, w, kind, clip):
    # Tiles of 256 pixels and more: flags with batches handed back (clip 1),
    # two or four partial histograms otherwise; flat tiles put every pixel in
    # one bin. Widths leave row tails of every length for the blending.
    rng = np.random.default_rng(h * w)
    yy, xx = np.mgrid[0:h, 0:w]
    gray = {
        "flat": np.full((h, w), 77, np.uint8),
        "two_levels": np.where(rng.random((h, w)) < 0.1, 200, 60).astype(np.uint8),
        "noise": rng.integers(0, 256, (h, w), dtype=np.uint8),
        "gradient": ((xx + 2 * yy) % 256).astype(np.uint8),
    }[kind]
    assert_like_opencv(gray, clip, (8, 8))


@pytest.mark.parametrize("w", range(1, 18))
def test_every_row_tail_length(w):
    rng = np.random.default_rng(w)
    gray = rng.integers(0, 256, (23, w), dtype=np.uint8)
    for tiles in ((8, 8), (2, 3)):
        assert_like_opencv(gray, 4.0, tiles)
