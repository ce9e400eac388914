"""Image factories for tests: encoded bytes made with Pillow and NumPy."""

from __future__ import annotations

import io

import numpy as np
from PIL import Image


def encode(image: Image.Image, fmt: str = "PNG", **params) -> bytes:
    buf = io.BytesIO()
    image.save(buf, format=fmt, **params)
    return buf.getvalue()


def uniform(size=(32, 32), color=(128, 128, 128), mode="RGB", fmt="PNG") -> bytes:
    return encode(Image.new(mode, size, color), fmt)


def from_array(array: np.ndarray, mode=None, fmt="PNG") -> bytes:
    return encode(Image.fromarray(np.ascontiguousarray(array), mode), fmt)


def noise(size=(64, 48), seed=0, channels=3, fmt="PNG") -> bytes:
    rng = np.random.default_rng(seed)
    w, h = size
    shape = (h, w, channels) if channels > 1 else (h, w)
    return from_array(rng.integers(0, 256, shape, dtype=np.uint8), fmt=fmt)


def gradient(size=(64, 48), fmt="PNG") -> bytes:
    w, h = size
    row = np.linspace(0, 255, w, dtype=np.float64)
    grey = np.tile(row, (h, 1)).astype(np.uint8)
    return from_array(np.dstack([grey, grey, grey]), fmt=fmt)
