"""is_plain_gray through each of its execution paths (one thread, the two
halves side by side, row slices over the cores) against the written-out
formulation, and the fused grey conversion against OpenCV."""

import math

import cv2
import numpy as np
import pytest

from support import opencv_x86
from tessel import _gray_kernels as K
from tessel.image import ImageTool
from test_plain_gray import KEYS, reference, rgb

DIGITS = [1, 4, 2, 2, 6, 4, 1]


def scenes(h, w, seed):
    """A textured photo-like scene, a near-plain one and a flat one with a faint blob.

    In double precision: NumPy's single-precision sine differs in the last bit
    between its vector widths, which moves a few pixels across a grey level."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float64)
    base = 128 + 60 * np.sin(xx / w * 7.0) * np.cos(yy / h * 5.0)
    textured = np.dstack([base, base * 0.9 + 10, base * 0.8 + 20]) + rng.normal(0, 6, (h, w, 3))
    textured[h // 4: h // 2, w // 3: w // 2] = (30, 200, 90)
    near_plain = 140 + rng.normal(0, 1.0, (h, w, 1)).repeat(3, 2) + (xx / w * 3)[..., None]
    flat = np.full((h, w, 3), 90.0)
    flat[h // 3: h // 3 + max(h // 10, 1), w // 2: w // 2 + max(w // 10, 1)] = (92, 93, 91)
    return {"textured": textured, "near_plain": near_plain, "flat": flat}


# 40x50 and 200x300 run on one thread; 600x700 runs the two halves side by
# side; 1100x900 does too, with row slices inside them; 2100x1000 runs the
# halves one after the other, each split into row slices.
@pytest.mark.parametrize("h,w", [(40, 50), (200, 300), (600, 700), (1100, 900), (2100, 1000)])
@pytest.mark.parametrize("scene", ["textured", "near_plain", "flat"])
def test_metrics_match_the_written_out_formulation(h, w, scene):
    array = np.clip(scenes(h, w, h + w)[scene], 0, 255).astype(np.uint8)
    for fmt in ("PNG", "JPEG"):
        data = rgb(array, fmt)
        plain, metrics, message = ImageTool.is_plain_gray(data)
        want_plain, values, want_message = reference(data)
        assert (plain, message) == (want_plain, want_message), fmt
        assert list(metrics) == KEYS
        for key, value, digits in zip(KEYS, values, DIGITS):
            assert metrics[key] == pytest.approx(round(value, digits), rel=1e-9, abs=1e-12), (fmt, key)


@pytest.mark.parametrize("vectorised", [True, False])
def test_grey_conversion_of_every_colour(vectorised):
    # All 2^24 colours once: the fixed-point weights and rounding must be the
    # library's, in the sixteen-pixel vector pass as in the plain loop.
    v = np.arange(1 << 24, dtype=np.uint32)
    bgr = np.stack([(v >> 16) & 255, (v >> 8) & 255, v & 255], -1).astype(np.uint8).reshape(4096, 4096, 3)
    grey, total, squares, saturation = K.grey_and_saturation(bgr, vectorised)
    expected = cv2.cvtColor(bgr, cv2.COLOR_BGR2GRAY)
    assert np.array_equal(np.frombuffer(grey, np.uint8).reshape(4096, 4096), expected)
    wide = expected.astype(np.int64)
    assert (total, squares) == (int(wide.sum()), int((wide * wide).sum()))
    assert saturation == opencv_x86.saturation_sum(bgr)


@pytest.mark.parametrize("vectorised", [True, False])
@pytest.mark.parametrize("h,w", [(1, 1), (1, 15), (1, 17), (1, 4097), (3, 5), (700, 800)])
def test_grey_conversion_of_odd_sizes(h, w, vectorised):
    # Sizes around the vector pass's sixteen pixels, the 4096-pixel blocks
    # and the thread split.
    bgr = np.random.default_rng(h * w).integers(0, 256, (h, w, 3), dtype=np.uint8)
    grey, total, squares, saturation = K.grey_and_saturation(bgr, vectorised)
    expected = cv2.cvtColor(bgr, cv2.COLOR_BGR2GRAY)
    assert np.array_equal(np.frombuffer(grey, np.uint8).reshape(h, w), expected)
    assert total == int(expected.sum(dtype=np.int64))
    assert squares == int((expected.astype(np.int64) ** 2).sum())
    assert saturation == opencv_x86.saturation_sum(bgr)


def test_metric_rounding_equals_the_builtin_round():
    # Random magnitudes, decimal ties such as 2.675 and 0.125 (not exact in
    # binary), and the special values, at every digit count the metrics use.
    rng = np.random.default_rng(5)
    values = [float(v) for v in rng.random(4000) * 10.0 ** rng.integers(-8, 6, 4000)]
    values += [k / 1000 + 0.0005 for k in range(2000)] + [0.125, 2.675, 1e300, 5e-324, 0.0, -0.0,
                                                         float("inf"), float("-inf")]
    for digits in (1, 2, 4, 6):
        for x in values:
            got = K.round_float(x, digits)
            assert repr(got) == repr(round(x, digits)), (x, digits)
    assert math.isnan(K.round_float(float("nan"), 2))


def test_a_rebound_round_is_used_for_the_metrics(monkeypatch):
    import tessel.image as module

    calls = []

    def fake_round(value, digits):
        calls.append(digits)
        return -1.0

    monkeypatch.setattr(module, "round", fake_round, raising=False)
    _, metrics, _ = ImageTool.is_plain_gray(rgb(np.full((30, 30, 3), 128, np.uint8), "PNG"))
    assert sorted(calls) == [1, 1, 2, 2, 4, 4, 6] and set(metrics.values()) == {-1.0}
