"""Seeds for every decoder OpenCV brings, made on the spot.

`corpus.seeds()` already covers PNG, JPEG, GIF, BMP, WebP and TIFF; this adds
what only a decoder-level fuzzer needs: animated PNGs in every blend and
dispose mode (with and without a default image that is not part of the
animation), animated WebP, JPEG 2000 (both containers), big-endian TIFF,
BigTIFF, every PNM flavour (PBM, PGM, PPM, PAM, PFM), Sun raster, Radiance
HDR and AVIF. Each stays small so that mutations are cheap.

    python fuzz/decoder_seeds.py OUTDIR
"""

from __future__ import annotations

import io
import struct
import zlib
from pathlib import Path
from typing import Dict, List

import cv2
import numpy as np
from PIL import Image

import corpus


def _frames(mode: str, count: int, size=(12, 9), seed: int = 7) -> List[Image.Image]:
    rng = np.random.default_rng(seed)
    out = []
    for i in range(count):
        rgba = rng.integers(0, 256, (size[1], size[0], 4), dtype=np.uint8)
        rgba[..., 3] = np.where(rng.random((size[1], size[0])) < 0.3, 0, 255 - 40 * i)
        image = Image.fromarray(rgba, "RGBA")
        out.append(image.quantize(colors=16) if mode == "P" else image.convert(mode))
    return out


def set_frame_ops(png: bytes, disposal: int, blend: int) -> bytes:
    """Rewrites the dispose and blend bytes of every fcTL (CRCs updated)."""
    out = bytearray(png)
    at = 8
    while at + 8 <= len(out):
        length = struct.unpack(">I", out[at : at + 4])[0]
        if out[at + 4 : at + 8] == b"fcTL" and length == 26:
            out[at + 8 + 24] = disposal
            out[at + 8 + 25] = blend
            out[at + 8 + length : at + 12 + length] = struct.pack(">I", zlib.crc32(out[at + 4 : at + 8 + length]))
        at += 12 + length
    return bytes(out)


def apng(mode: str = "RGBA", count: int = 3, size=(12, 9), **params) -> bytes:
    """An animated PNG written by Pillow; `params` go to Image.save.

    Pillow cannot compose palette frames with dispose-to-background or
    dispose-to-previous; those are written with disposal 0 and the fcTL bytes
    set afterwards (still a valid animation)."""
    frames = _frames(mode, count, size)
    buf = io.BytesIO()
    try:
        frames[0].save(buf, format="PNG", save_all=True, append_images=frames[1:], duration=40, loop=0, **params)
    except ValueError:
        disposal, blend = params.pop("disposal", 0), params.pop("blend", 0)
        buf = io.BytesIO()
        frames[0].save(buf, format="PNG", save_all=True, append_images=frames[1:], duration=40, loop=0, **params)
        return set_frame_ops(buf.getvalue(), disposal, blend)
    return buf.getvalue()


def apng_seeds() -> Dict[str, bytes]:
    out = {}
    for mode in ("RGBA", "RGB", "P", "L", "LA"):
        for disposal in (0, 1, 2):
            for blend in (0, 1):
                out[f"apng_{mode}_d{disposal}_b{blend}.png"] = apng(mode, disposal=disposal, blend=blend)
        out[f"apng_{mode}_default_image.png"] = apng(mode, count=3, default_image=True)
    return out


def _tiff_be(pixels: np.ndarray) -> bytes:
    """An uncompressed big-endian RGB TIFF, written by hand (Pillow writes LE)."""
    h, w, _ = pixels.shape
    data = pixels.tobytes()
    entries = [
        (256, 4, 1, w), (257, 4, 1, h), (258, 3, 3, None), (259, 3, 1, 1), (262, 3, 1, 2),
        (273, 4, 1, None), (277, 3, 1, 3), (278, 4, 1, h), (279, 4, 1, len(data)),
    ]
    ifd_at = 8
    ifd_size = 2 + 12 * len(entries) + 4
    bits_at = ifd_at + ifd_size
    data_at = bits_at + 6
    ifd = struct.pack(">H", len(entries))
    for tag, kind, count, value in entries:
        if tag == 258:
            ifd += struct.pack(">HHII", tag, kind, count, bits_at)
        elif tag == 273:
            ifd += struct.pack(">HHII", tag, kind, count, data_at)
        elif kind == 3:
            ifd += struct.pack(">HHIHH", tag, kind, count, value, 0)
        else:
            ifd += struct.pack(">HHII", tag, kind, count, value)
    ifd += struct.pack(">I", 0)
    return b"MM\x00\x2a" + struct.pack(">I", ifd_at) + ifd + struct.pack(">HHH", 8, 8, 8) + data


def _encode(ext: str, image: np.ndarray) -> bytes:
    ok, buf = cv2.imencode(ext, image)
    if not ok:
        raise RuntimeError(f"OpenCV cannot write {ext}")
    return buf.tobytes()


def _save(image: Image.Image, fmt: str, **params) -> bytes:
    buf = io.BytesIO()
    image.save(buf, format=fmt, **params)
    return buf.getvalue()


def seeds() -> Dict[str, bytes]:
    rng = np.random.default_rng(11)
    bgr = rng.integers(0, 256, (9, 12, 3), dtype=np.uint8)
    bgr[3:6] = (40, 90, 200)
    grey = cv2.cvtColor(bgr, cv2.COLOR_BGR2GRAY)
    rgb = Image.fromarray(bgr[..., ::-1].copy(), "RGB")
    out = dict(corpus.seeds())
    out.update(apng_seeds())
    frames = _frames("RGBA", 3)
    buf = io.BytesIO()
    frames[0].save(buf, format="WEBP", save_all=True, append_images=frames[1:], duration=40, lossless=True)
    out["webp_animated_lossless.webp"] = buf.getvalue()
    buf = io.BytesIO()
    frames[0].save(buf, format="WEBP", save_all=True, append_images=frames[1:], duration=40, quality=40)
    out["webp_animated_lossy.webp"] = buf.getvalue()
    out["gif_animated_disposal.gif"] = _save(
        frames[0].convert("P"), "GIF", save_all=True, append_images=[f.convert("P") for f in frames[1:]],
        duration=40, disposal=2, transparency=0,
    )
    big = cv2.resize(bgr, (48, 40), interpolation=cv2.INTER_NEAREST)
    out["jp2_codestream.j2k"] = _save(Image.fromarray(big[..., ::-1].copy()), "JPEG2000", no_jp2=True)
    out["jp2_container.jp2"] = _encode(".jp2", big)
    out["tiff_be_rgb.tif"] = _tiff_be(bgr[..., ::-1].copy())
    out["tiff_le_deflate.tif"] = _save(rgb, "TIFF", compression="tiff_adobe_deflate")
    out["bigtiff_rgb.tif"] = _save(rgb, "TIFF", big_tiff=True)
    out["pbm_bitmap.pbm"] = _save(Image.fromarray(grey).convert("1"), "PPM")
    out["pgm_grey.pgm"] = _encode(".pgm", grey)
    out["pgm_ascii.pgm"] = b"P2\n4 3\n255\n" + b" ".join(str(v).encode() for v in grey[:3, :4].ravel()) + b"\n"
    out["pgm_16bit.pgm"] = _encode(".pgm", grey.astype(np.uint16) * 200)
    out["ppm_colour.ppm"] = _encode(".ppm", bgr)
    out["pam_colour.pam"] = _encode(".pam", bgr)
    out["pfm_float.pfm"] = _encode(".pfm", bgr.astype(np.float32) / 255)
    out["sunras_colour.ras"] = _encode(".ras", bgr)
    out["hdr_radiance.hdr"] = _encode(".hdr", bgr.astype(np.float32) / 255)
    out["bmp_opencv.bmp"] = _encode(".bmp", bgr)
    out["gif_opencv.gif"] = _encode(".gif", bgr)
    try:
        out["avif_colour.avif"] = _encode(".avif", bgr)
    except (RuntimeError, cv2.error):
        pass  # a build without an AVIF encoder still fuzzes everything else
    return out


def write(outdir: Path) -> int:
    return corpus.write(outdir, seeds)


if __name__ == "__main__":
    corpus.main("decoder_seeds.py", seeds)
