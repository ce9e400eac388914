"""Hostile inputs that once broke a native reader, replayed natively and through Python.

Every file under fuzz/native/regressions/NAME/ is an input that made the
libFuzzer harness fuzz/native/NAME_fuzzer.cc fail. Here each harness is
compiled with the host compiler under AddressSanitizer and
UndefinedBehaviorSanitizer together with fuzz/native/replay_main.cc, which
hands every file to the harness in a heap block of exactly its size: a read
one byte outside the input ends the run. Through Python such reads land
inside the bytes object's own header and go unseen, so the native replay is
the only test that can see them.

The same hostile headers then go through is_plain_gray: a header that
cannot describe a real image is not recognised, so the decoder has its say
(OpenCV decodes none of them: "图片为空", or the error it raises), while a
real bomb is refused from its header with the size it declares.
"""

from __future__ import annotations

import os
import shutil
import struct
import subprocess
import zlib
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import cv2
import numpy as np
import pytest

from tessel.image import ImageTool

ROOT = Path(__file__).resolve().parents[1]
FUZZ = ROOT / "fuzz" / "native"
KERNELS = ROOT / "src" / "native" / "image" / "kernels"
HARNESSES = sorted(d.name for d in (FUZZ / "regressions").iterdir() if d.is_dir() and any(d.iterdir())) \
    if (FUZZ / "regressions").is_dir() else []
SANITIZERS = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined"]
FALLBACK = {"std": 0, "edge_ratio": 100, "saturation": 0}
# The compiler and the replay run without what a sanitized test run preloads
# or sets for the interpreter (tools/sanitize.sh): those are not theirs.
CLEAN_ENV = {k: v for k, v in os.environ.items()
             if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "PYTHONMALLOC")}


def _compiler() -> str | None:
    # `make wheel-test` runs the suite with only the venv on PATH and CXX
    # set to `false`, so that nothing can be built: then there is no compiler.
    # clang first: its UndefinedBehaviorSanitizer also sees an index that
    # wraps below a row's start, which GCC's folds away.
    for name in (os.environ.get("CXX", ""), "clang++-19", "clang++", "g++", "c++"):
        path = shutil.which(name) if name else None
        if path and Path(path).name not in ("false", "true"):
            return path
    return None


@pytest.fixture(scope="module")
def kernel_archive(tmp_path_factory):
    """The kernel sources compiled once with the sanitizers, as a static archive."""
    cxx = _compiler()
    if cxx is None:
        pytest.skip("no C++ compiler on PATH (the wheel-test environment hides them): "
                    "native regression replay not run")
    out = tmp_path_factory.mktemp("native-replay")
    flags = ["-std=c++20", "-O0", "-g", "-ffp-contract=off", f"-I{ROOT / 'src' / 'native'}", *SANITIZERS]

    def compile_one(source: Path) -> Path:
        obj = out / (source.stem + ".o")
        done = subprocess.run([cxx, *flags, "-c", str(source), "-o", str(obj)], capture_output=True, text=True,
                              env=CLEAN_ENV)
        assert done.returncode == 0, done.stderr
        return obj

    with ThreadPoolExecutor(max_workers=2) as pool:
        objects = list(pool.map(compile_one, sorted(KERNELS.glob("*.cpp"))))
    archive = out / "kernels.a"
    subprocess.run(["ar", "rcs", str(archive), *map(str, objects)], check=True, env=CLEAN_ENV)
    return cxx, flags, archive


@pytest.mark.parametrize("name", HARNESSES)
def test_regression_inputs_replay_cleanly_under_the_sanitizers(kernel_archive, tmp_path, name):
    cxx, flags, archive = kernel_archive
    binary = tmp_path / f"{name}_replay"
    built = subprocess.run([cxx, *flags, str(FUZZ / f"{name}_fuzzer.cc"), str(FUZZ / "replay_main.cc"),
                            str(archive), "-o", str(binary)], capture_output=True, text=True, env=CLEAN_ENV)
    assert built.returncode == 0, built.stderr
    inputs = sorted(str(p) for p in (FUZZ / "regressions" / name).iterdir())
    env = CLEAN_ENV | {"ASAN_OPTIONS": "detect_leaks=1", "UBSAN_OPTIONS": "print_stacktrace=1"}
    ran = subprocess.run([str(binary), *inputs], capture_output=True, text=True, env=env, timeout=300)
    assert ran.returncode == 0, ran.stderr[-4000:]
    assert ran.stderr.count("running ") == len(inputs)


def _png(width: int, height: int) -> bytes:
    def chunk(kind: bytes, body: bytes) -> bytes:
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(b"\0" * 64)) + chunk(b"IEND", b"")


def _tiff(order: str, big: bool, entries: list[tuple[int, int, int]], ifd: int | None = None) -> bytes:
    mark = b"II" if order == "<" else b"MM"
    wide = "Q" if big else "I"
    head = mark + (struct.pack(order + "HHHQ", 43, 8, 0, 16 if ifd is None else ifd) if big
                   else struct.pack(order + "HI", 42, 8 if ifd is None else ifd))
    body = struct.pack(order + ("Q" if big else "H"), len(entries))
    for tag, kind, value in entries:
        packed = struct.pack(order + {3: "H", 4: "I", 16: "Q"}[kind], value)
        body += struct.pack(order + "HH" + wide, tag, kind, 1) + packed.ljust(struct.calcsize(wide), b"\0")
    return head + body


def _bmp(width: int, height: int) -> bytes:
    return b"BM" + struct.pack("<IHHI", 54, 0, 0, 54) + struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, 0, 0, 0, 0, 0)


# (header, the size the reader declares or None). None rows are headers no
# decoder accepts; sized rows are real, if huge, declarations.
HOSTILE = {
    "bigtiff-ifd-offset-wraps": (b"II+\0\x08\0\0\0" + struct.pack("<Q", 2**64 - 8) + bytes(8), None),
    "tiff-long8-in-4-byte-field": (_tiff("<", False, [(256, 16, 7)]), None),
    "bigtiff-width-beyond-32-bits": (_tiff(">", True, [(256, 16, 2**32), (257, 3, 5)]), None),
    "bigtiff-huge-entry-count": (b"II+\0\x08\0\0\0" + struct.pack("<QQ", 16, 2**64 - 1), None),
    "png-2^32-1-square": (_png(2**32 - 1, 2**32 - 1), None),
    "png-2^31-by-1": (_png(2**31, 1), None),
    "png-zero-width": (_png(0, 10), None),
    "pnm-20-digit-width": (b"P6\n11946050087648366497 1281\n255\n" + bytes(16), None),
    "pnm-2^31-width": (b"P5 2147483648 1\n255\n" + bytes(16), None),
    "pam-absurd-height": (b"P7\nWIDTH 4\nHEIGHT 99999999999999\nDEPTH 3\nMAXVAL 255\nENDHDR\n" + bytes(16), None),
    "bmp-negative-width": (_bmp(-5, 5), None),
    "sun-raster-negative-width": (struct.pack(">8I", 0x59A66A95, 0x80000000, 4, 24, 0, 1, 0, 0), None),
    "radiance-absurd-rows": (b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 99999999999 +X 4\n" + bytes(16), None),
    "png-real-bomb": (_png(50_000, 50_000), (50_000, 50_000)),
    "png-largest-side": (_png(2**31 - 1, 2**31 - 1), (2**31 - 1, 2**31 - 1)),
    "pnm-real-bomb": (b"P5 99999 99999 255\n" + bytes(16), (99_999, 99_999)),
    "bigtiff-long8-bomb": (_tiff("<", True, [(256, 16, 2**32 - 1), (257, 4, 2**32 - 1)]), (2**32 - 1, 2**32 - 1)),
    "bmp-top-down-bomb": (_bmp(60_000, -60_000), (60_000, 60_000)),
}


@pytest.mark.parametrize("name", HOSTILE)
def test_hostile_headers_are_read_safely_and_judged_by_size_or_by_the_decoder(name):
    from PIL import Image

    K = pytest.importorskip("tessel._gray_kernels")
    data, declared = HOSTILE[name]
    assert K.declared_size(data) == declared
    plain, metrics, message = ImageTool.is_plain_gray(data)
    assert (plain, metrics) == (False, FALLBACK)
    if declared is None:
        # The decoder's own answer: None, or the error it raises.
        try:
            decoded = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_COLOR)
        except cv2.error as err:
            assert message == str(err)
        else:
            assert decoded is None
            assert message == "图片为空"
    else:
        width, height = declared
        limit = 2 * Image.MAX_IMAGE_PIXELS
        assert message == (f"图片尺寸过大: {width}x{height}，共 {width * height} 像素，"
                           f"超过上限 {limit} 像素，拒绝解码")
