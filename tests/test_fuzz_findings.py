"""Regression tests for inputs the fuzzers found.

PNG chunk overrun: a 45-byte PNG whose IEND chunk declares a length of about
4 GiB made OpenCV's decoder allocate and fill that length before giving up,
so is_plain_gray took 5 to 15 seconds and 4 GiB of memory to answer
"图片为空". A chunk that runs past the end of the data can never decode, so
the answer is now given without calling the decoder; PNGs that only lack
their end, or carry bytes after it, still go to the decoder as before.
"""

from __future__ import annotations

import struct
import zlib

import pytest

from support.faults import measure_in_subprocess
from support.images import noise
from tessel.image import ImageTool

FALLBACK = {"std": 0, "edge_ratio": 100, "saturation": 0}

# The input as the image fuzzer wrote it (IHDR with a wrong CRC, then an IEND
# of length 0xf88f0d11).
FUZZ_PNG_IEND_OVERRUN = bytes.fromhex(
    "89504e470d0a1a0a0000000d49484452000000200000001808020000016360a036f88f0d1149454e44ae426082"
)


def _chunk(kind: bytes, payload: bytes, length=None) -> bytes:
    size = len(payload) if length is None else length
    return struct.pack(">I", size) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))


def _split(png: bytes):
    """(signature + IHDR, the chunks after IHDR up to IEND, IEND)."""
    iend = png.rindex(b"IEND") - 4
    return png[:33], png[33:iend], png[iend:]


def _with_chunk_before_idat(kind: bytes, length: int) -> bytes:
    head, middle, tail = _split(noise((24, 20)))
    return head + struct.pack(">I", length) + kind + b"abcd" + middle + tail


OVERRUNS = {
    "fuzz_iend": FUZZ_PNG_IEND_OVERRUN,
    "text_2gib": _with_chunk_before_idat(b"tEXt", 0x7FFFFF00),
    "iend_4gib": _with_chunk_before_idat(b"IEND", 0xF88F0D11),
    "idat_short": noise((24, 20))[:-30],
}


@pytest.mark.parametrize("name", sorted(OVERRUNS))
def test_plain_gray_answers_overrunning_png_without_decoding(name):
    code = f"""
from tessel.image import ImageTool
data = {OVERRUNS[name]!r}
base = peak_rss()
result = ImageTool.is_plain_gray(data)
print(json.dumps({{"result": list(result), "grown": peak_rss() - base}}))
"""
    report = measure_in_subprocess(code, timeout=60)
    assert report["result"] == [False, FALLBACK, "图片为空"]
    assert report["grown"] < 64 * 1024 * 1024, report


@pytest.mark.parametrize(
    "name,make",
    [
        ("trailing_bytes", lambda png: png + b"\x00\x00\x00\xffjunk after the end"),
        ("extra_text_chunk", lambda png: _split(png)[0] + _chunk(b"tEXt", b"k\x00v") + _split(png)[1] + _split(png)[2]),
    ],
)
def test_well_framed_png_still_decodes(name, make):
    png = noise((24, 20))
    verdict, metrics, message = ImageTool.is_plain_gray(make(png))
    assert (verdict, message) == (False, ImageTool.is_plain_gray(png)[2])
    assert len(metrics) == 7


def test_png_without_end_chunk_still_goes_to_the_decoder():
    head, middle, _tail = _split(noise((24, 20)))
    # Cut at a chunk boundary: nothing overruns; the decoder decides.
    assert ImageTool.is_plain_gray(head + middle) == (False, FALLBACK, "图片为空")
