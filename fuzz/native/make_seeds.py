"""Writes the seed inputs of the native reader harnesses.

One small image per format and variant, made by real encoders (Pillow and
OpenCV) where one exists and built by hand where none does (BigTIFF, BMP v5,
HEIF-style boxes, interlaced PNG):

    fuzz/native/seeds/image_header/   every format the header reader knows
    fuzz/native/seeds/png_chunks/     the PNG variants only

    .venv/bin/python fuzz/native/make_seeds.py

The files are small and committed; rerun this after changing it.
"""

from __future__ import annotations

import io
import shutil
import struct
import zlib
from pathlib import Path

import cv2
import numpy as np
from PIL import Image

HERE = Path(__file__).resolve().parent
WIDTH, HEIGHT = 13, 7  # odd, unequal sides: a swapped width and height shows


def pixels(channels: int = 3) -> np.ndarray:
    rng = np.random.default_rng(7)
    shape = (HEIGHT, WIDTH) if channels == 1 else (HEIGHT, WIDTH, channels)
    return rng.integers(0, 256, shape, dtype=np.uint8)


def pillow(mode: str, fmt: str, **options) -> bytes:
    channels = {"1": 1, "L": 1, "P": 1, "RGB": 3, "RGBA": 4, "I;16": 1}[mode]
    if mode == "I;16":
        img = Image.fromarray(pixels(1).astype(np.uint16) * 257)
    elif mode in ("1", "P"):
        img = Image.fromarray(pixels(1)).convert(mode)
    else:
        img = Image.fromarray(pixels(channels), mode)
    out = io.BytesIO()
    img.save(out, fmt, **options)
    return out.getvalue()


def animated(fmt: str, **options) -> bytes:
    frames = [Image.fromarray(np.roll(pixels(3), k, axis=1), "RGB") for k in range(3)]
    out = io.BytesIO()
    frames[0].save(out, fmt, save_all=True, append_images=frames[1:], duration=40, loop=0, **options)
    return out.getvalue()


def exif() -> Image.Exif:
    tags = Image.Exif()
    tags[0x010F], tags[0x0110] = "maker", "model"
    return tags


def opencv(ext: str, img: np.ndarray, params: tuple[int, ...] = ()) -> bytes:
    ok, buf = cv2.imencode(ext, img, list(params))
    if not ok:
        raise RuntimeError(f"OpenCV wrote no {ext}")
    return buf.tobytes()


def chunk(kind: bytes, body: bytes) -> bytes:
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def interlaced_png() -> bytes:
    """An Adam7-interlaced RGB PNG (neither Pillow nor OpenCV writes one)."""
    img = pixels(3)
    passes = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]
    raw = b""
    for x0, y0, dx, dy in passes:
        sub = img[y0::dy, x0::dx]
        if sub.size:
            raw += b"".join(b"\0" + row.tobytes() for row in sub)
    header = struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 2, 0, 0, 1)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


def bmp_v5_top_down() -> bytes:
    """A 32-bit BMP with a 124-byte v5 header, rows stored top-down."""
    img = pixels(4)
    body = img[:, :, [2, 1, 0, 3]].tobytes()  # BGRA rows, no padding at 4 bytes a pixel
    masks = struct.pack("<IIII", 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000)
    info = struct.pack("<IiiHHIIiiII", 124, WIDTH, -HEIGHT, 1, 32, 3, len(body), 2835, 2835, 0, 0)
    info += masks + b"sRGB" + bytes(36) + bytes(12) + struct.pack("<IIII", 4, 0, 0, 0)
    offset = 14 + len(info)
    return b"BM" + struct.pack("<IHHI", offset + len(body), 0, 0, offset) + info + body


def tiff(little: bool, big: bool) -> bytes:
    """A minimal uncompressed 8-bit grey TIFF, classic or BigTIFF."""
    o = "<" if little else ">"
    body = pixels(1).tobytes()
    # Classic: 2-byte entry count, 4-byte counts, offsets and value fields;
    # BigTIFF: 8 bytes for each.
    wide = "Q" if big else "I"
    field = struct.calcsize(wide)
    offset_type = 16 if big else 4  # LONG8 or LONG
    entries = [(256, 3, WIDTH), (257, 3, HEIGHT), (258, 3, 8), (259, 3, 1), (262, 3, 1),
               (273, offset_type, None), (278, 4, HEIGHT), (279, offset_type, len(body))]
    head = (b"II" if little else b"MM") + (struct.pack(o + "HHHQ", 43, 8, 0, 16) if big else struct.pack(o + "HI", 42, 8))
    count = struct.pack(o + ("Q" if big else "H"), len(entries))
    data_at = len(head) + len(count) + len(entries) * (4 + 2 * field) + field
    ifd = count
    for tag, kind, value in entries:
        value = data_at if value is None else value
        packed = struct.pack(o + {3: "H", 4: "I", 16: "Q"}[kind], value)
        ifd += struct.pack(o + "HH" + wide, tag, kind, 1) + packed.ljust(field, b"\0")
    return head + ifd + struct.pack(o + wide, 0) + body


def box(kind: bytes, body: bytes) -> bytes:
    return struct.pack(">I", 8 + len(body)) + kind + body


def full_box(kind: bytes, body: bytes) -> bytes:
    return box(kind, bytes(4) + body)  # version 0, no flags


def heif_boxes(brand: bytes) -> bytes:
    """ftyp and meta/iprp/ipco/ispe: the boxes that carry an AVIF or HEIF image's size."""
    ftyp = box(b"ftyp", brand + bytes(4) + b"mif1" + brand)
    ispe = full_box(b"ispe", struct.pack(">II", WIDTH, HEIGHT))
    thumb = full_box(b"ispe", struct.pack(">II", 3, 2))
    meta = full_box(b"meta", full_box(b"hdlr", bytes(4) + b"pict" + bytes(13))
                    + box(b"iprp", box(b"ipco", ispe + thumb)))
    return ftyp + meta + box(b"mdat", bytes(16))


def jp2_from_codestream(codestream: bytes) -> bytes:
    signature = box(b"jP  ", b"\r\n\x87\n")
    ftyp = box(b"ftyp", b"jp2 " + bytes(4) + b"jp2 ")
    ihdr = box(b"ihdr", struct.pack(">IIHBBBB", HEIGHT, WIDTH, 3, 7, 7, 0, 0))
    colr = box(b"colr", struct.pack(">BBBI", 1, 0, 0, 16))
    return signature + ftyp + box(b"jp2h", ihdr + colr) + box(b"jp2c", codestream)


def png_seeds() -> dict[str, bytes]:
    return {
        "png-grey.png": pillow("L", "PNG"),
        "png-grey16.png": pillow("I;16", "PNG"),
        "png-rgb.png": pillow("RGB", "PNG"),
        "png-rgba.png": pillow("RGBA", "PNG"),
        "png-palette.png": pillow("P", "PNG"),
        "png-bilevel.png": pillow("1", "PNG"),
        "png-interlaced.png": interlaced_png(),
        "png-animated.png": animated("PNG"),
        "png-opencv.png": opencv(".png", pixels(3)),
    }


def header_seeds() -> dict[str, bytes]:
    rgb, grey = pixels(3), pixels(1)
    j2k = pillow("RGB", "JPEG2000", no_jp2=True)
    seeds = {
        "jpeg-baseline.jpg": pillow("RGB", "JPEG", quality=90),
        "jpeg-progressive.jpg": pillow("RGB", "JPEG", progressive=True),
        "jpeg-grey.jpg": pillow("L", "JPEG"),
        "jpeg-exif.jpg": pillow("RGB", "JPEG", exif=exif(), icc_profile=b"\0" * 64, comment=b"seed"),
        "jpeg-opencv.jpg": opencv(".jpg", rgb),
        "j2k-codestream.j2k": j2k,
        "jp2-pillow.jp2": pillow("RGB", "JPEG2000"),
        "jp2-boxes.jp2": jp2_from_codestream(j2k),
        "webp-lossy.webp": pillow("RGB", "WEBP", quality=80),
        "webp-lossless.webp": pillow("RGB", "WEBP", lossless=True),
        "webp-alpha.webp": pillow("RGBA", "WEBP"),
        "webp-animated.webp": animated("WEBP"),
        "gif-87a.gif": pillow("L", "GIF"),
        "gif-89a.gif": pillow("P", "GIF", transparency=0),
        "gif-animated.gif": animated("GIF"),
        "bmp-v3.bmp": pillow("RGB", "BMP"),
        "bmp-v5-top-down.bmp": bmp_v5_top_down(),
        "bmp-opencv.bmp": opencv(".bmp", rgb),
        "tiff-little.tif": pillow("RGB", "TIFF"),
        "tiff-little-deflate.tif": pillow("RGB", "TIFF", compression="tiff_adobe_deflate"),
        "tiff-big-endian.tif": tiff(little=False, big=False),
        "tiff-opencv.tif": opencv(".tiff", rgb),
        "bigtiff-little.tif": tiff(little=True, big=True),
        "bigtiff-big-endian.tif": tiff(little=False, big=True),
        "pnm-p1.pbm": opencv(".pbm", grey, (cv2.IMWRITE_PXM_BINARY, 0)),
        "pnm-p2.pgm": opencv(".pgm", grey, (cv2.IMWRITE_PXM_BINARY, 0)),
        "pnm-p3.ppm": opencv(".ppm", rgb, (cv2.IMWRITE_PXM_BINARY, 0)),
        "pnm-p4.pbm": opencv(".pbm", grey),
        "pnm-p5.pgm": opencv(".pgm", grey),
        "pnm-p6.ppm": opencv(".ppm", rgb),
        "pnm-comment.ppm": b"P6\n# made by hand\n13 # width\n7\n255\n" + rgb.tobytes(),
        "pam-p7.pam": opencv(".pam", rgb),
        "pfm-colour.pfm": opencv(".pfm", rgb.astype(np.float32) / 255),
        "pfm-grey.pfm": opencv(".pfm", grey.astype(np.float32) / 255),
        "sun-raster.ras": opencv(".sr", rgb),
        "radiance.hdr": opencv(".hdr", rgb.astype(np.float32) / 255),
        "avif-boxes.avif": heif_boxes(b"avif"),
        "heif-boxes.heic": heif_boxes(b"heic"),
    }
    try:
        seeds["avif-encoder.avif"] = pillow("RGB", "AVIF")
    except (KeyError, OSError, ValueError):
        pass  # this Pillow has no AVIF encoder; the hand-built boxes stand in
    return seeds


def decodes_to_seed_size(data: bytes) -> bool:
    """Whether OpenCV or Pillow reads the file as a WIDTH x HEIGHT image."""
    img = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED)
    if img is not None:
        return img.shape[:2] == (HEIGHT, WIDTH)
    try:
        with Image.open(io.BytesIO(data)) as opened:
            opened.load()
            return opened.size == (WIDTH, HEIGHT)
    except Exception:
        return False


def write(name: str, seeds: dict[str, bytes]) -> None:
    # Every hand-built seed must be a real image too, except the bare boxes
    # of the formats no installed decoder reads.
    broken = [file for file, data in seeds.items() if not file.endswith("-boxes.avif")
              and not file.endswith(".heic") and not decodes_to_seed_size(data)]
    if broken:
        raise SystemExit(f"seeds no decoder reads as {WIDTH}x{HEIGHT}: {broken}")
    target = HERE / "seeds" / name
    shutil.rmtree(target, ignore_errors=True)
    target.mkdir(parents=True)
    for file, data in seeds.items():
        (target / file).write_bytes(data)
    print(f"{target.relative_to(HERE.parents[1])}: {len(seeds)} files, {sum(map(len, seeds.values()))} bytes")


def main() -> None:
    pngs = png_seeds()
    write("png_chunks", pngs)
    write("image_header", pngs | header_seeds())


if __name__ == "__main__":
    main()
