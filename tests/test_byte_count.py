"""The packed-byte count behind the palette check: every instruction-set
variant against NumPy, and the palette check over every pixel read path."""

from __future__ import annotations

import io

import numpy as np
import pytest
from PIL import Image

from support.pixel_paths import pixel_read_path  # noqa: F401  (fixture)
from tessel import _gray_kernels as K
from tessel.image import ImageTool

VARIANTS = ["plain", "sse2", "avx2", "best"]

# Around the vector widths (16 and 32 bytes), the two-accumulator pairs and
# the flush of the byte counters every 255 vectors.
LENGTHS = [0, 1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 95]
LENGTHS += [255 * 16 - 1, 255 * 16, 255 * 16 + 1, 255 * 32 - 1, 255 * 32, 255 * 32 + 33, 2 * 255 * 32 + 5]
LENGTHS += [(1 << 20) + 7]


@pytest.mark.parametrize("variant", VARIANTS)
@pytest.mark.parametrize("offset", [0, 1, 7, 31])
def test_count_matches_numpy_on_odd_lengths_and_offsets(variant, offset):
    rng = np.random.default_rng(offset)
    for n in LENGTHS:
        buf = rng.integers(0, 4, n + offset, dtype=np.uint8)  # few values: many hits
        buf[offset::97] = 255
        view = memoryview(buf.tobytes())[offset:]
        for value in (0, 3, 255, 17):
            expected = int(np.count_nonzero(buf[offset:] == value))
            assert K.count_equal_bytes(view, value, variant) == expected, (n, value)


@pytest.mark.parametrize("variant", VARIANTS)
@pytest.mark.parametrize("value", [0, 128, 255])
def test_all_matching_bytes_do_not_wrap_the_byte_counters(variant, value):
    for n in [255 * 16, 255 * 32, 255 * 64 + 1, 3 * 255 * 32 + 17]:
        assert K.count_equal_bytes(bytes([value]) * n, value, variant) == n
        assert K.count_equal_bytes(bytes([value ^ 1]) * n, value, variant) == 0


def palette_png(indices: np.ndarray, transparency: int) -> bytes:
    h, w = indices.shape
    image = Image.frombytes("P", (w, h), indices.tobytes())
    image.putpalette(bytes(range(256)) * 3)
    buf = io.BytesIO()
    image.save(buf, "PNG", transparency=transparency, compress_level=1)
    return buf.getvalue()


@pytest.mark.parametrize("size", [(1, 1), (3, 17), (65, 33), (2111, 1103)], ids=lambda s: f"{s[0]}x{s[1]}")
def test_palette_check_counts_exactly_on_every_read_path(pixel_read_path, size):
    # The largest image spans several storage blocks under the "bands" path.
    w, h = size
    rng = np.random.default_rng(w * h)
    coarse = rng.integers(0, 6, (h // 8 + 1, w // 8 + 1), dtype=np.uint8)
    indices = np.ascontiguousarray(np.kron(coarse, np.ones((8, 8), np.uint8))[:h, :w])
    indices[rng.integers(0, h, 50), rng.integers(0, w, 50)] = 255
    for entry in (0, 5, 255):
        hits = int(np.count_nonzero(indices == entry))
        data = palette_png(indices, entry)
        assert ImageTool.has_multiple_transparency(data, hits - 1) is True
        assert ImageTool.has_multiple_transparency(data, hits) is False
