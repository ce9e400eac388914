"""The unavoidable work of each method: what no implementation can skip.

Each floor takes the same encoded bytes as the method it bounds and does only
the decoding (and, where the result is an image, the conversion, crop and
encoding) that the method's answer depends on.
"""

from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor, as_completed
from io import BytesIO
from typing import Tuple

import cv2
import numpy as np
from PIL import Image

DEFAULT_EXTENSIONS = (".png", ".jpg", ".jpeg", ".gif", ".bmp", ".webp", ".tiff", ".tif")


def opencv_decode(data: bytes) -> None:
    """is_plain_gray: the colour decode every metric starts from."""
    cv2.imdecode(np.frombuffer(data, dtype=np.uint8), cv2.IMREAD_COLOR)


def pillow_load(data: bytes) -> None:
    """has_multiple_transparency, is_valid_image: open and decode all pixels."""
    with Image.open(BytesIO(data)) as img:
        img.load()


def two_decoders(data: bytes) -> None:
    """The four checks of one image: one Pillow open + load and one
    cv2.imdecode of the same bytes (each decode the checks depend on, once)."""
    try:
        pillow_load(data)
    finally:
        opencv_decode(data)


def pillow_rgb(data: bytes) -> None:
    """has_colored_lines: the decoded picture as an RGB image."""
    Image.open(BytesIO(data)).convert("RGB")


def pillow_crop_encode(data: bytes, box: Tuple[int, int, int, int], fmt: str = "PNG") -> bytes:
    """trim_transparent_edges: decode, RGBA, crop to the known box, encode."""
    img = Image.open(BytesIO(data)).convert("RGBA")
    buf = BytesIO()
    img.crop(box).save(buf, format=fmt)
    return buf.getvalue()


def _load_path(path: str) -> None:
    with Image.open(path) as img:
        img.load()


def scan_tree(directory: str, max_workers: int) -> int:
    """Batch scan floor: walk the tree, keep the default extensions, then
    Image.open + load every file in a ThreadPoolExecutor of ``max_workers``
    threads, consuming the results with as_completed (no pixel check, no
    progress bar; files that fail to decode are counted and skipped)."""
    files = []
    for root, _dirs, names in os.walk(directory):
        for name in names:
            if os.path.splitext(name)[1].lower() in DEFAULT_EXTENSIONS:
                files.append(os.path.join(root, name))
    done = 0
    with ThreadPoolExecutor(max_workers=max_workers) as executor:
        futures = [executor.submit(_load_path, fp) for fp in files]
        for future in as_completed(futures):
            try:
                future.result()
                done += 1
            except Exception:
                pass
    return done


SCAN_FLOOR_DEFINITION = (
    "os.walk + the default extension filter, then Image.open + load() of every file in a "
    "ThreadPoolExecutor with the same max_workers, results consumed with as_completed; "
    "no pixel check, no progress bar"
)


def read_and_decode_twice(path: str) -> None:
    """The four checks of one file: read it once, then one Pillow open +
    load and one cv2.imdecode of its bytes (a failed decode counts too)."""
    with open(path, "rb") as fh:
        data = fh.read()
    try:
        two_decoders(data)
    except Exception:
        pass


TREE_FLOOR_DEFINITION = "per file: one read, Image.open + load() and cv2.imdecode(IMREAD_COLOR) of its bytes"
