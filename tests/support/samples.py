"""Small image files with known check results, for CLI, pool and Dask tests."""

from __future__ import annotations

from pathlib import Path
from typing import Dict

import numpy as np
from PIL import Image

from support.images import encode, uniform


def palette_with_transparent_pixels(count: int, size=(8, 8)) -> bytes:
    """A palette image whose transparency index 0 is used by `count` pixels."""
    w, h = size
    indices = np.ones(w * h, dtype=np.uint8)
    indices[:count] = 0
    image = Image.fromarray(indices.reshape(h, w), mode="P")
    image.putpalette([0, 0, 0, 200, 30, 30] + [0] * (256 * 3 - 6))
    return encode(image, "PNG", transparency=0)


def rgba_with_transparent_share(transparent: int, size=(5, 4)) -> bytes:
    """An RGBA image with `transparent` pixels of alpha 0, the rest opaque red."""
    w, h = size
    pixels = np.zeros((h * w, 4), dtype=np.uint8)
    pixels[:, 0] = 220
    pixels[:, 3] = 255
    pixels[:transparent, 3] = 0
    return encode(Image.fromarray(pixels.reshape(h, w, 4), mode="RGBA"), "PNG")


def lines_on_black(size=(40, 40)) -> bytes:
    """Red and green strokes in equal amounts on black, 10 % of the pixels."""
    w, h = size
    pixels = np.zeros((h, w, 3), dtype=np.uint8)
    pixels[5, :] = (255, 0, 0)
    pixels[30, :] = (255, 0, 0)
    pixels[:, 5] = (0, 255, 0)
    pixels[:, 30] = (0, 255, 0)
    pixels[5, 5] = pixels[5, 30] = pixels[30, 5] = pixels[30, 30] = (0, 0, 0)
    return encode(Image.fromarray(pixels, mode="RGB"), "PNG")


def content_box(size=(100, 50), box=(10, 5, 20, 10)) -> bytes:
    """Transparent RGBA with opaque blue content over `box` (left, top, right, bottom)."""
    w, h = size
    pixels = np.zeros((h, w, 4), dtype=np.uint8)
    left, top, right, bottom = box
    pixels[top:bottom, left:right] = (0, 0, 255, 255)
    return encode(Image.fromarray(pixels, mode="RGBA"), "PNG")


def truncated_png() -> bytes:
    data = palette_with_transparent_pixels(10, size=(32, 32))
    return data[: len(data) // 2]


SAMPLES = {
    "grey.png": lambda: uniform((32, 32), (128, 128, 128)),
    "palette6.png": lambda: palette_with_transparent_pixels(6),
    "palette5.png": lambda: palette_with_transparent_pixels(5),
    "rgba2of20.png": lambda: rgba_with_transparent_share(2),
    "rgba1of20.png": lambda: rgba_with_transparent_share(1),
    "lines.png": lines_on_black,
}

# What has_multiple_transparency answers for each sample, with threshold 5.
TRANSPARENCY = {
    "grey.png": False,
    "palette6.png": True,
    "palette5.png": False,
    "rgba2of20.png": True,
    "rgba1of20.png": False,
    "lines.png": False,
}


def write_samples(directory: Path, names=None) -> Dict[str, Path]:
    directory.mkdir(parents=True, exist_ok=True)
    written = {}
    for name in names or SAMPLES:
        path = directory / name
        path.write_bytes(SAMPLES[name]())
        written[name] = path
    return written
