"""Animated PNGs for tests: written by Pillow, then taken apart and edited
chunk by chunk (CRCs kept right)."""

from __future__ import annotations

import io
import struct
import zlib
from typing import List, Tuple

import numpy as np
from PIL import Image

SIGNATURE = b"\x89PNG\r\n\x1a\n"
Chunk = Tuple[bytes, bytes]


def chunks(png: bytes) -> List[Chunk]:
    out, at = [], 8
    while at < len(png):
        length = struct.unpack(">I", png[at:at + 4])[0]
        out.append((png[at + 4:at + 8], png[at + 8:at + 8 + length]))
        at += 12 + length
    return out


def build(parts: List[Chunk]) -> bytes:
    out = bytearray(SIGNATURE)
    for kind, payload in parts:
        out += struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))
    return bytes(out)


def frames(mode: str, count: int, size, seed: int = 5, patch: bool = False) -> List[Image.Image]:
    """Noise frames; with `patch`, later frames differ from the first only in
    a small block, so that Pillow writes them as sub-regions of the canvas."""
    rng = np.random.default_rng(seed)
    w, h = size
    base = rng.integers(0, 256, (h, w, 4), dtype=np.uint8)
    base[..., 3] = np.where(rng.random((h, w)) < 0.25, 0, 200)
    out = []
    for i in range(count):
        rgba = base.copy()
        if i and patch:
            y, x = (i * 3) % max(h - 2, 1), (i * 5) % max(w - 3, 1)
            rgba[y:y + 2, x:x + 3] = rng.integers(0, 256, (min(2, h - y), min(3, w - x), 4), dtype=np.uint8)
        elif i:
            rgba = rng.integers(0, 256, (h, w, 4), dtype=np.uint8)
        image = Image.fromarray(rgba, "RGBA")
        out.append(image.convert("RGB").quantize(colors=16) if mode == "P" else image.convert(mode))
    return out


def set_ops(png: bytes, disposal: int, blend: int) -> bytes:
    return build([(k, p[:24] + bytes([disposal, blend]) if k == b"fcTL" else p) for k, p in chunks(png)])


def write(mode="RGBA", count=3, size=(12, 9), disposal=0, blend=0, patch=False, default_image=False) -> bytes:
    """An APNG as Pillow writes it. Pillow cannot compose palette frames for
    the background and previous disposals; those get the fcTL bytes set after
    writing (the file stays a valid animation)."""
    images = frames(mode, count, size, patch=patch)
    buf = io.BytesIO()
    save = dict(format="PNG", save_all=True, append_images=images[1:], duration=30, default_image=default_image)
    try:
        images[0].save(buf, disposal=disposal, blend=blend, **save)
    except ValueError:
        buf = io.BytesIO()
        images[0].save(buf, **save)
        return set_ops(buf.getvalue(), disposal, blend)
    return buf.getvalue()


def replace(png: bytes, index_of_kind: Tuple[bytes, int], new: List[Chunk]) -> bytes:
    """The PNG with the n-th chunk of a kind replaced by `new` (any number)."""
    kind, n = index_of_kind
    parts, seen = [], 0
    for part in chunks(png):
        if part[0] == kind:
            if seen == n:
                parts.extend(new)
                seen += 1
                continue
            seen += 1
        parts.append(part)
    return build(parts)


def first_frame_only(png: bytes) -> bytes:
    """The bytes up to the fcTL that starts the second frame, then IEND."""
    parts, idat_seen, controls = [], False, 0
    for kind, payload in chunks(png):
        if kind == b"IDAT":
            idat_seen = True
        if kind == b"fcTL" and idat_seen:
            controls += 1
            first_in_image = any(k == b"fcTL" for k, _ in parts[: [k for k, _ in parts].index(b"IDAT")])
            if first_in_image or controls == 2:
                break
        parts.append((kind, payload))
    return build(parts + [(b"IEND", b"")])


_ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))
_COLOUR_TYPE = {1: 0, 2: 4, 3: 2, 4: 6}


def _scanlines(pixels: np.ndarray, interlaced: bool) -> bytes:
    pixels = pixels.astype(">u2") if pixels.dtype == np.uint16 else pixels

    def rows(part):
        flat = np.ascontiguousarray(part).reshape(part.shape[0], -1)
        return b"".join(b"\0" + row.tobytes() for row in flat)

    if not interlaced:
        return rows(pixels)
    return b"".join(rows(pixels[y0::dy, x0::dx]) for x0, y0, dx, dy in _ADAM7 if pixels[y0::dy, x0::dx].size)


def handmade(images, interlaced=True, default_image=True, disposal=0, blend=0) -> bytes:
    """An APNG of uint8 or uint16 (h, w, channels) frames, written here
    because Pillow writes neither interlaced nor 16-bit APNGs. With
    `default_image` the first image is the IDAT image outside the animation."""
    h, w, c = images[0].shape
    depth = 16 if images[0].dtype == np.uint16 else 8
    parts = [(b"IHDR", struct.pack(">IIBBBBB", w, h, depth, _COLOUR_TYPE[c], 0, 0, int(interlaced))),
             (b"acTL", struct.pack(">II", len(images) - int(default_image), 0))]
    seq = 0
    for i, image in enumerate(images):
        data = zlib.compress(_scanlines(image, interlaced))
        if not (default_image and i == 0):
            parts.append((b"fcTL", struct.pack(">IIIIIHHBB", seq, w, h, 0, 0, 1, 25, disposal, blend)))
            seq += 1
        if i == 0:
            parts.append((b"IDAT", data))
        else:
            parts.append((b"fdAT", struct.pack(">I", seq) + data))
            seq += 1
    return build(parts + [(b"IEND", b"")])
