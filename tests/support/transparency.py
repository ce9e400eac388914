"""Images with a known amount of transparency, for the transparency checks."""

from __future__ import annotations

import io

import numpy as np
from PIL import Image

# Four palette entries: black, red, green, blue.
PALETTE = [0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255]


def encode(image: Image.Image, fmt: str = "PNG", **params) -> bytes:
    buf = io.BytesIO()
    image.save(buf, format=fmt, **params)
    return buf.getvalue()


def palette(uses: int, index: int = 1, size=(8, 8), fmt="PNG", **params) -> bytes:
    """A palette image whose entry `index` is used by exactly `uses` pixels
    (every other pixel uses entry 0). `params` go to save(), e.g. transparency."""
    w, h = size
    flat = np.zeros(w * h, dtype=np.uint8)
    flat[:uses] = index
    image = Image.fromarray(flat.reshape(h, w), "L").convert("P")
    image.putpalette(PALETTE)
    return encode(image, fmt, **params)


def rgba(alpha: np.ndarray, fmt="PNG") -> bytes:
    """An RGBA image with the given alpha plane (h x w, uint8) and noisy colour."""
    h, w = alpha.shape
    rng = np.random.default_rng(h * 1000 + w)
    pixels = rng.integers(0, 256, (h, w, 4), dtype=np.uint8)
    pixels[..., 3] = alpha
    return encode(Image.fromarray(pixels, "RGBA"), fmt)


def rgba_with(total: int, transparent: int, alpha: int = 0, width: int | None = None) -> bytes:
    """`total` pixels of which the first `transparent` have the given alpha."""
    width = width or total
    plane = np.full(total, 255, dtype=np.uint8)
    plane[:transparent] = alpha
    return rgba(plane.reshape(total // width, width))


def expected_rgba(alpha: np.ndarray) -> bool:
    """The plain formulation: share of alpha < 255 strictly above 5 %."""
    return int(np.count_nonzero(alpha < 255)) / alpha.size > 0.05
