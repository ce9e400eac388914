"""Seed images for the fuzz harnesses, made on the spot.

Every seed is small (a few hundred bytes to a few KiB) so that mutations stay
cheap, and together they reach each decoder the image methods meet: PNG in
every colour type and bit depth (palette with and without a transparency
chunk, 16-bit, Adam7-interlaced), baseline and progressive JPEG, GIF (still,
transparent, animated), BMP, WebP (lossy and lossless with alpha) and TIFF.
Pillow cannot write interlaced or 16-bit colour PNGs, so those are encoded
here by hand.

Run as a script to write the seeds into a directory:
    python fuzz/corpus.py OUTDIR
"""

from __future__ import annotations

import io
import struct
import sys
import zlib
from pathlib import Path
from typing import Callable, Dict

import numpy as np
from PIL import Image

# Adam7 passes: (first column, first row, column step, row step).
_ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))

# PNG colour types by channel count.
_COLOUR_TYPE = {1: 0, 2: 4, 3: 2, 4: 6}


def _chunk(kind: bytes, payload: bytes) -> bytes:
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))


def _scanlines(pixels: np.ndarray) -> bytes:
    """Rows with filter type 0 in front of each; `pixels` is (h, w, c) big-endian."""
    rows = np.ascontiguousarray(pixels).reshape(pixels.shape[0], -1).view(np.uint8)
    out = bytearray()
    for row in rows:
        out += b"\x00" + row.tobytes()
    return bytes(out)


def png_raw(pixels: np.ndarray, interlaced: bool = False, extra_chunks: bytes = b"") -> bytes:
    """Encodes an (h, w, c) uint8 or uint16 array as a PNG of 1-4 channels."""
    if pixels.ndim == 2:
        pixels = pixels[:, :, None]
    height, width, channels = pixels.shape
    depth = 16 if pixels.dtype == np.uint16 else 8
    pixels = pixels.astype(">u2" if depth == 16 else np.uint8)
    header = struct.pack(">IIBBBBB", width, height, depth, _COLOUR_TYPE[channels], 0, 0, 1 if interlaced else 0)
    if interlaced:
        raw = b"".join(
            _scanlines(pixels[y0::dy, x0::dx])
            for x0, y0, dx, dy in _ADAM7
            if pixels[y0::dy, x0::dx].size
        )
    else:
        raw = _scanlines(pixels)
    return (
        b"\x89PNG\r\n\x1a\n"
        + _chunk(b"IHDR", header)
        + extra_chunks
        + _chunk(b"IDAT", zlib.compress(raw, 9))
        + _chunk(b"IEND", b"")
    )


def _save(image: Image.Image, fmt: str, **params) -> bytes:
    buf = io.BytesIO()
    image.save(buf, format=fmt, **params)
    return buf.getvalue()


def _pictures(rng: np.random.Generator) -> Dict[str, np.ndarray]:
    """A few RGBA pictures that steer the methods into their interesting branches."""
    lines = np.zeros((24, 32, 4), np.uint8)
    lines[..., 3] = 255
    lines[4, 2:30, :3] = (255, 0, 0)
    lines[12, 2:30, :3] = (0, 255, 0)
    lines[18:20, 5, :3] = (0, 200, 150)
    framed = np.zeros((20, 28, 4), np.uint8)
    framed[6:14, 9:19] = (30, 60, 200, 255)
    framed[8, 11] = (255, 255, 255, 128)
    noise = rng.integers(0, 256, (16, 16, 4), dtype=np.uint8)
    grey = np.full((24, 24, 4), (128, 128, 128, 255), np.uint8)
    return {"lines": lines, "framed": framed, "noise": noise, "grey": grey}


def seeds() -> Dict[str, bytes]:
    rng = np.random.default_rng(20240601)
    pics = _pictures(rng)
    rgba = Image.fromarray(pics["framed"], "RGBA")
    rgb = Image.fromarray(pics["lines"][..., :3], "RGB")
    noisy = Image.fromarray(pics["noise"], "RGBA")
    grey = Image.fromarray(pics["grey"][..., 0], "L")
    palette = rgb.quantize(colors=8)
    out: Dict[str, bytes] = {}

    # PNG: every colour type Pillow writes, plus palette transparency.
    out["png_gray1.png"] = _save(grey.point(lambda v: 255 if v > 100 else 0).convert("1"), "PNG")
    out["png_gray8.png"] = _save(grey, "PNG")
    out["png_gray_alpha.png"] = _save(noisy.convert("LA"), "PNG")
    out["png_rgb.png"] = _save(rgb, "PNG")
    out["png_rgba.png"] = _save(rgba, "PNG")
    out["png_rgba_noise.png"] = _save(noisy, "PNG")
    out["png_palette.png"] = _save(palette, "PNG")
    out["png_palette_4bit.png"] = _save(palette, "PNG", bits=4)
    trns = palette.copy()
    trns.info["transparency"] = 0
    out["png_palette_trns.png"] = _save(trns, "PNG", transparency=0)
    alpha_table = bytes([0, 64, 128, 255, 255, 255, 255, 255])
    out["png_palette_trns_table.png"] = _save(palette, "PNG", transparency=alpha_table)
    out["png_gray_trns.png"] = _save(grey, "PNG", transparency=128)
    out["png_rgb_trns.png"] = _save(rgb, "PNG", transparency=(0, 0, 0))
    out["png_gray16.png"] = _save(Image.fromarray(pics["grey"][..., 0].astype(np.uint16) * 257), "PNG")
    # Hand-encoded: 16-bit colour, interlaced, 1-pixel strips.
    wide16 = pics["noise"].astype(np.uint16) * 257
    out["png_rgb16.png"] = png_raw(wide16[..., :3])
    out["png_rgba16.png"] = png_raw(wide16)
    out["png_rgba_interlaced.png"] = png_raw(pics["framed"], interlaced=True)
    out["png_rgb_interlaced.png"] = png_raw(pics["lines"][..., :3], interlaced=True)
    out["png_gray16_interlaced.png"] = png_raw(wide16[..., 0], interlaced=True)
    out["png_1x1.png"] = png_raw(np.array([[[10, 20, 30, 40]]], np.uint8))
    out["png_1x9.png"] = png_raw(pics["noise"][:1, :9, :3])
    out["png_9x1.png"] = png_raw(pics["noise"][:9, :1])

    # JPEG: baseline colour and grey, progressive, CMYK.
    out["jpeg_baseline.jpg"] = _save(rgb, "JPEG", quality=80)
    out["jpeg_gray.jpg"] = _save(grey, "JPEG", quality=70)
    out["jpeg_progressive.jpg"] = _save(rgb, "JPEG", quality=80, progressive=True)
    out["jpeg_cmyk.jpg"] = _save(rgb.convert("CMYK"), "JPEG", quality=60)

    # GIF: still, with a transparent index, animated.
    out["gif_still.gif"] = _save(palette, "GIF")
    out["gif_transparent.gif"] = _save(palette, "GIF", transparency=1)
    frames = [palette, Image.fromarray(pics["noise"][..., :3], "RGB").quantize(colors=4)]
    buf = io.BytesIO()
    frames[0].save(buf, format="GIF", save_all=True, append_images=frames[1:], duration=50, loop=0)
    out["gif_animated.gif"] = buf.getvalue()

    # BMP: 24-bit, palette, 32-bit with alpha.
    out["bmp_rgb.bmp"] = _save(rgb, "BMP")
    out["bmp_palette.bmp"] = _save(palette, "BMP")
    out["bmp_rgba.bmp"] = _save(rgba, "BMP")

    # WebP: lossy, lossless with alpha.
    out["webp_lossy.webp"] = _save(rgb, "WEBP", quality=50)
    out["webp_lossless_alpha.webp"] = _save(rgba, "WEBP", lossless=True)

    # TIFF: uncompressed colour, LZW with alpha, palette.
    out["tiff_rgb.tiff"] = _save(rgb, "TIFF")
    out["tiff_rgba_lzw.tif"] = _save(rgba, "TIFF", compression="tiff_lzw")
    out["tiff_palette.tiff"] = _save(palette, "TIFF")
    return out


def write(outdir: Path, make: Callable[[], Dict[str, bytes]] = seeds) -> int:
    """Writes the seeds `make` returns into `outdir`; returns how many."""
    outdir = Path(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    made = make()
    for name, data in made.items():
        (outdir / name).write_bytes(data)
    return len(made)


def main(script: str, make: Callable[[], Dict[str, bytes]] = seeds) -> None:
    if len(sys.argv) != 2:
        sys.exit(f"usage: {script} OUTDIR")
    print(f"{write(Path(sys.argv[1]), make)} seeds written to {sys.argv[1]}")


if __name__ == "__main__":
    main("corpus.py")
