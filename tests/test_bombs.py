"""Decompression bombs: tiny files whose headers declare 30,000 x 30,000 pixels.

Decoding one for real would take gigabytes. Every image method must refuse
such a file from its header: the Pillow-based methods through Pillow's own
guard (DecompressionBombError, which is not an OSError and so propagates
unchanged, even from is_valid_image), the plain-colour check through its
handled-failure result, the batch scan by logging the file and leaving it
out. Each method runs in a child process whose peak RSS must stay small.
"""

from __future__ import annotations

import os
import struct
import zlib

import pytest

from support.faults import measure_in_subprocess
from support.images import noise

SIDE = 30_000
MIB = 1024 * 1024
PEAK_RSS_LIMIT = 200 * MIB
# What the calls themselves may add on top of the interpreter with its
# imports (about 60 MiB): the same limit, and the one that still means
# something under AddressSanitizer, whose shadow memory inflates the baseline.
GROWTH_LIMIT = 140 * MIB
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def _png_chunk(kind: bytes, payload: bytes) -> bytes:
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))


def png_bomb() -> bytes:
    """An RGB PNG header of SIDE x SIDE with a few rows of real pixel data."""
    header = struct.pack(">IIBBBBB", SIDE, SIDE, 8, 2, 0, 0, 0)
    rows = (b"\x00" + b"\x7f" * (SIDE * 3)) * 4
    return (
        b"\x89PNG\r\n\x1a\n"
        + _png_chunk(b"IHDR", header)
        + _png_chunk(b"IDAT", zlib.compress(rows, 9))
        + _png_chunk(b"IEND", b"")
    )


def jpeg_bomb() -> bytes:
    """A real baseline JPEG whose frame header is rewritten to SIDE x SIDE."""
    data = bytearray(noise((16, 16), fmt="JPEG"))
    at = data.index(b"\xff\xc0")  # SOF0: marker, length(2), precision(1), height(2), width(2)
    data[at + 5 : at + 9] = struct.pack(">HH", SIDE, SIDE)
    return bytes(data)


@pytest.fixture(scope="module")
def bomb_files(tmp_path_factory):
    root = tmp_path_factory.mktemp("bombs")
    files = {"png": root / "bomb.png", "jpeg": root / "bomb.jpg"}
    files["png"].write_bytes(png_bomb())
    files["jpeg"].write_bytes(jpeg_bomb())
    return files


def test_bombs_are_small_and_declare_the_huge_size(bomb_files):
    from PIL import Image

    for path in bomb_files.values():
        assert path.stat().st_size < 64 * 1024
    # Opening reads the header only; with the guard off the declared size shows.
    Image.MAX_IMAGE_PIXELS, saved = None, Image.MAX_IMAGE_PIXELS
    try:
        for path in bomb_files.values():
            with Image.open(path) as img:
                assert img.size == (SIDE, SIDE)
    finally:
        Image.MAX_IMAGE_PIXELS = saved


# Child-side driver: runs one method over both bombs in every source form it
# takes and reports, per case, the exception class name or a summary of the
# result, plus the process's peak RSS.
_CHILD = """
import io, logging, os
from tessel.image import ImageTool

records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append(record.getMessage())
logging.getLogger().addHandler(Keep())

def outcome(call):
    try:
        result = call()
    except Exception as err:
        return {"raised": type(err).__name__, "is_oserror": isinstance(err, OSError)}
    if isinstance(result, tuple):
        return {"tuple": [result[0], result[1], type(result[2]).__name__, bool(result[2])]}
    return {"returned": repr(result)[:80]}

method = getattr(ImageTool, METHOD)
base = peak_rss()
cases = {}
for kind, path in PATHS.items():
    data = open(path, "rb").read()
    forms = {"bytes": lambda: data, "path": lambda: path}
    if STREAMS:
        forms["stream"] = lambda: io.BytesIO(data)
    for form, make in forms.items():
        cases[kind + "/" + form] = outcome(lambda: method(make()))
if METHOD == "batch_has_multiple_transparency":
    cases = {"dir": outcome(lambda: method(os.path.dirname(PATHS["png"]), max_workers=2))}
print(json.dumps({"cases": cases, "logged": records, "base": base, "peak": peak_rss()}))
"""

PILLOW_METHODS = ["is_valid_image", "has_multiple_transparency", "trim_transparent_edges", "has_colored_lines"]
STREAM_METHODS = {"has_multiple_transparency", "trim_transparent_edges", "has_colored_lines"}


def _run(method, bomb_files):
    paths = {kind: str(path) for kind, path in bomb_files.items()}
    prelude = f"METHOD = {method!r}\nPATHS = {paths!r}\nSTREAMS = {method in STREAM_METHODS!r}\n"
    report = measure_in_subprocess(prelude + _CHILD, timeout=120)
    grown = report["peak"] - report["base"]
    assert grown < GROWTH_LIMIT, f"{method} grew by {grown / MIB:.0f} MiB"
    if not SANITIZED:
        assert report["peak"] < PEAK_RSS_LIMIT, f"{method} peaked at {report['peak'] / MIB:.0f} MiB"
    return report


@pytest.mark.parametrize("method", PILLOW_METHODS)
def test_pillow_methods_raise_the_bomb_error_unchanged(bomb_files, method):
    report = _run(method, bomb_files)
    expected_cases = 6 if method in STREAM_METHODS else 4
    assert len(report["cases"]) == expected_cases
    for case, result in report["cases"].items():
        assert result == {"raised": "DecompressionBombError", "is_oserror": False}, case


def test_plain_gray_refuses_bombs_through_its_failure_result(bomb_files):
    report = _run("is_plain_gray", bomb_files)
    assert len(report["cases"]) == 4
    for case, result in report["cases"].items():
        verdict, metrics, message_type, message_nonempty = result["tuple"]
        assert verdict is False, case
        assert metrics == {"std": 0, "edge_ratio": 100, "saturation": 0}, case
        assert message_type == "str" and message_nonempty, case


def test_batch_scan_logs_bombs_and_leaves_them_out(bomb_files):
    report = _run("batch_has_multiple_transparency", bomb_files)
    assert report["cases"] == {"dir": {"returned": "{}"}}
    assert len(report["logged"]) == 2
    assert all(line.startswith("检测透明度失败 [") and "bomb" in line for line in report["logged"])
