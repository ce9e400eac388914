"""is_plain_gray on animated PNGs.

OpenCV's PNG reader (4.11 to 5.1) reads the first frame of an animation with
two faults: when the IDAT image is not part of the animation, libpng errors in
the first frame's data jump into a returned stack frame (a crash), and
disposing a greyscale first frame to the background clears three bytes per
pixel of a one- or two-byte buffer (a heap overrun). The first kind gets the
answer of undecodable data; for the second OpenCV is given the first frame
alone, which it composes exactly as before. Everything else goes to OpenCV as
is and must get its answer.
"""

from __future__ import annotations

import hashlib
import os
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import cv2
import numpy as np
import pytest

from support import apng, opencv_x86
from support.faults import measure_in_subprocess
from test_plain_gray import FALLBACK, KEYS, reference
from tessel.image import ImageTool

REGRESSIONS = Path(__file__).resolve().parent.parent / "fuzz" / "native" / "regressions" / "apng"


def grey_background_disposal(case) -> bool:
    return case.get("mode") == "L" and case.get("disposal") == 1


def valid_cases():
    cases = []
    for mode in ("RGBA", "RGB", "P", "L", "LA"):
        for disposal in (0, 1, 2):
            for blend in (0, 1):
                cases.append(dict(mode=mode, disposal=disposal, blend=blend))
        # Other geometries: one pixel, sub-region frames on an odd canvas, a
        # default image outside the animation, two frames only.
        cases.append(dict(mode=mode, size=(1, 1), disposal=1))
        cases.append(dict(mode=mode, size=(37, 23), patch=True, disposal=2, blend=1))
        cases.append(dict(mode=mode, size=(37, 23), patch=True, disposal=1))
        cases.append(dict(mode=mode, size=(20, 16), default_image=True, disposal=1, blend=1))
        cases.append(dict(mode=mode, count=2, size=(64, 3), disposal=0))
    return cases


def case_id(case):
    return "-".join(f"{k}={v}" for k, v in case.items()).replace(" ", "")


def assert_matches(data: bytes, reference_data: bytes) -> None:
    plain, metrics, message = ImageTool.is_plain_gray(data)
    if cv2.imdecode(np.frombuffer(reference_data, np.uint8), cv2.IMREAD_COLOR) is None:
        assert (plain, metrics, message) == (False, FALLBACK, "图片为空")
        return
    want_plain, values, want_message = reference(reference_data)
    assert (plain, message) == (want_plain, want_message)
    assert list(metrics) == KEYS
    for key, value, digits in zip(KEYS, values, [1, 4, 2, 2, 6, 4, 1]):
        assert metrics[key] == pytest.approx(round(value, digits), rel=1e-9, abs=1e-12)


@pytest.mark.parametrize("case", valid_cases(), ids=case_id)
def test_valid_animation_gets_opencvs_answer(case):
    data = apng.write(**case)
    # OpenCV would overrun its heap after composing the first frame of these;
    # the picture it composes is that of the first frame alone (checked
    # against the full file in a child process below).
    assert_matches(data, apng.first_frame_only(data) if grey_background_disposal(case) else data)


@pytest.mark.parametrize("size", [(1, 1), (2, 3), (5, 5), (3, 9), (8, 8), (13, 7), (33, 17)])
@pytest.mark.parametrize("channels", [1, 2, 3, 4])
def test_interlaced_animation_gets_opencvs_answer(size, channels):
    # The frame's rows are checked in libpng's own order of passes; a slip
    # in that order would refuse these.
    rng = np.random.default_rng(size[0] * 7 + channels)
    images = [rng.integers(0, 256, (size[1], size[0], channels), dtype=np.uint8) for _ in range(3)]
    for default_image in (True, False):
        data = apng.handmade(images, default_image=default_image)
        assert_matches(data, data)


@pytest.mark.parametrize("channels", [1, 2, 3, 4])
@pytest.mark.parametrize("disposal", [0, 1, 2])
def test_sixteen_bit_animation_gets_opencvs_answer(channels, disposal):
    # A 16-bit grey frame buffer holds two bytes per pixel: disposal to the
    # background overruns it as it does an 8-bit one.
    rng = np.random.default_rng(channels)
    images = [rng.integers(0, 65536, (9, 13, channels), dtype=np.uint16) for _ in range(3)]
    for default_image in (True, False):
        data = apng.handmade(images, interlaced=False, default_image=default_image, disposal=disposal)
        overruns = channels == 1 and disposal == 1
        assert_matches(data, apng.first_frame_only(data) if overruns else data)


def test_any_row_with_a_bad_filter_is_found_in_every_pass():
    # Frame data after a default image, interlaced, with filter 5 on one row
    # at a time: libpng would raise on each, with its jump buffer dead.
    cases = {}
    for w, h in [(5, 5), (13, 7), (2, 9)]:
        rng = np.random.default_rng(w)
        images = [rng.integers(0, 256, (h, w, 3), dtype=np.uint8) for _ in range(3)]
        png = apng.handmade(images)
        raw = bytearray(zlib.decompress(_frame_data(png)))
        starts, at = [], 0
        for x0, y0, dx, dy in apng._ADAM7:
            cols, rows = len(range(x0, w, dx)), len(range(y0, h, dy))
            for _ in range(rows if cols else 0):
                starts.append(at)
                at += 1 + 3 * cols
        assert at == len(raw)
        for k, start in enumerate(starts):
            bad = bytearray(raw)
            bad[start] = 5 + k % 250
            cases[f"{w}x{h}-row{k}"] = apng.replace(png, (b"fdAT", 0), [_fdat(zlib.compress(bytes(bad)))])
    code = """
from tessel.image import ImageTool
cases = %r
print(json.dumps(sorted({ImageTool.is_plain_gray(data)[2] for data in cases.values()})))
""" % (cases,)
    assert measure_in_subprocess(code) == ["图片为空"]


def test_first_frame_alone_is_what_opencv_composes_from_the_whole_file():
    cases = [c for c in valid_cases() if grey_background_disposal(c) and c.get("size", (12, 9))[0] < 30]
    assert len(cases) >= 3
    # OpenCV on the whole file, in a child: it prints the picture before the
    # overrun it leaves behind can abort it, so only its output is read. The
    # overrun is undefined behaviour and can kill the child before it prints,
    # for one heap layout every time (the environment's size sets it, so a
    # run under pytest can fail where a shell's succeeds): each try pads the
    # environment differently, which moves the heap.
    code = (
        "import cv2, hashlib, numpy as np, os, sys\n"
        "img = cv2.imdecode(np.frombuffer(sys.stdin.buffer.read(), np.uint8), cv2.IMREAD_COLOR)\n"
        "print(hashlib.sha1(img.tobytes()).hexdigest(), img.shape, flush=True)\n"
        "os._exit(0)\n"
    )
    # On ARM64 glibc's free() aborts the child inside imdecode on one of these
    # files, so other machines take the picture recorded on x86-64.

    def whole_file(data):
        for attempt in range(8):
            env = {**os.environ, "TESSEL_TEST_PAD": "x" * (211 * attempt)}
            child = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True, timeout=60, env=env)
            if child.stdout.strip():
                break
        return child.stdout.decode().strip()

    for case in cases:
        data = apng.write(**case)
        picture = opencv_x86.result(lambda: whole_file(data), "apng-whole-file", data)
        img = cv2.imdecode(np.frombuffer(apng.first_frame_only(data), np.uint8), cv2.IMREAD_COLOR)
        assert picture == f"{hashlib.sha1(img.tobytes()).hexdigest()} {img.shape}", case


def _frame_data(png: bytes, n: int = 0) -> bytes:
    """The zlib stream of the n-th fdAT."""
    return [p for k, p in apng.chunks(png) if k == b"fdAT"][n][4:]


def _fdat(stream: bytes, seq: int = 1) -> apng.Chunk:
    return (b"fdAT", struct.pack(">I", seq) + stream)


def _bad_filter(png: bytes) -> bytes:
    raw = bytearray(zlib.decompress(_frame_data(png)))
    raw[0] = 5
    return apng.replace(png, (b"fdAT", 0), [_fdat(zlib.compress(bytes(raw)))])


def _split_with(png: bytes, middle: apng.Chunk) -> bytes:
    stream = _frame_data(png)
    half = len(stream) // 2
    return apng.replace(png, (b"fdAT", 0), [_fdat(stream[:half]), middle, _fdat(stream[half:], 2)])


def _preset_dictionary(png: bytes) -> bytes:
    raw = zlib.decompress(_frame_data(png))
    body = zlib.compress(raw)[2:]
    return apng.replace(png, (b"fdAT", 0), [_fdat(b"\x78\xbb" + b"\0\0\0\1" + body)])


def _insert_after_first_frame_control(png: bytes, new: apng.Chunk) -> bytes:
    parts = apng.chunks(png)
    at = [i for i, (k, _) in enumerate(parts) if k == b"fcTL"][0] + 1
    return apng.build(parts[:at] + [new] + parts[at:])


def refused_inputs():
    """Animations OpenCV cannot read without going out of bounds."""
    hidden = apng.write("RGB", default_image=True)  # IHDR acTL IDAT fcTL fdAT fcTL fdAT IEND
    ihdr = apng.chunks(hidden)[0]
    grey = apng.write("L", disposal=1)
    cases = {
        "bad_filter_byte": _bad_filter(hidden),
        "fdat_without_sequence_number": apng.replace(hidden, (b"fdAT", 0), [(b"fdAT", b"\0\1")]),
        "critical_chunk_in_frame": _insert_after_first_frame_control(hidden, ihdr),
        "unknown_critical_chunk_in_frame": _insert_after_first_frame_control(hidden, (b"XxXx", b"1")),
        "reserved_bit_in_chunk_name": _insert_after_first_frame_control(hidden, (b"fdaT", b"1234")),
        "chunk_inside_frame_stream": _split_with(hidden, (b"tEXt", b"k\0v")),
        "preset_dictionary": _preset_dictionary(hidden),
        "grey_disposal_then_region_outside": _set_field(grey, b"fcTL", 1, 12, 1),  # x 1, full width
    }
    for path in sorted(REGRESSIONS.glob("*")):
        cases["fuzz_" + path.name] = path.read_bytes()
    return cases


def test_hazardous_animations_answer_as_undecodable_in_a_surviving_process():
    cases = refused_inputs()
    assert len(cases) > 8  # the fuzzers' finds are there too
    code = """
from tessel.image import ImageTool
cases = %r
print(json.dumps({name: list(ImageTool.is_plain_gray(data)) for name, data in cases.items()}))
""" % (cases,)
    answers = measure_in_subprocess(code)  # raises unless the child exits 0
    assert answers == {name: [False, FALLBACK, "图片为空"] for name in cases}


def _swap_sequence_numbers(png: bytes) -> bytes:
    parts = apng.chunks(png)
    numbered = [i for i, (k, _) in enumerate(parts) if k in (b"fcTL", b"fdAT")]
    first, last = numbered[0], numbered[-1]
    a, b = parts[first], parts[last]
    parts[first] = (a[0], b[1][:4] + a[1][4:])
    parts[last] = (b[0], a[1][:4] + b[1][4:])
    return apng.build(parts)


def _cut_stream(png: bytes) -> bytes:
    return apng.replace(png, (b"fdAT", 0), [_fdat(_frame_data(png)[:-30])])


def _split(png: bytes) -> bytes:
    stream = _frame_data(png)
    return apng.replace(png, (b"fdAT", 0), [_fdat(stream[:9]), _fdat(stream[9:], 2)])


def _append_after_frame_data(png: bytes) -> bytes:
    return apng.replace(png, (b"fdAT", 0), [_fdat(_frame_data(png)), (b"tEXt", b"k\0v")])


def _data_before_control(png: bytes) -> bytes:
    parts = apng.chunks(png)
    i = [i for i, (k, _) in enumerate(parts) if k == b"fcTL"][0]
    parts[i], parts[i + 1] = parts[i + 1], parts[i]
    return apng.build(parts)


def _set_field(png: bytes, kind: bytes, index: int, offset: int, value: int) -> bytes:
    """The index-th chunk of `kind` with the 32-bit field at `offset` set."""
    parts = apng.chunks(png)
    i = [i for i, (k, _) in enumerate(parts) if k == kind][index]
    payload = parts[i][1]
    parts[i] = (kind, payload[:offset] + struct.pack(">I", value) + payload[offset + 4:])
    return apng.build(parts)


@pytest.mark.parametrize(
    "name,make",
    [
        # What OpenCV's reader survives is left to it: refusing these would be
        # a different answer, not a safer one.
        ("sequence_numbers_out_of_order", lambda: _swap_sequence_numbers(apng.write("RGB", default_image=True))),
        ("corrupt_deflate_in_frame", lambda: apng.replace(
            apng.write("RGB", default_image=True), (b"fdAT", 0), [_fdat(b"\x78\x9c" + b"\xff" * 40)])),
        ("stream_cut_short", lambda: _cut_stream(apng.write("RGBA", default_image=True))),
        ("frame_data_in_two_chunks", lambda: _split(apng.write("P", default_image=True))),
        ("text_after_frame_stream", lambda: _append_after_frame_data(apng.write("LA", default_image=True))),
        ("frame_data_before_its_control", lambda: _data_before_control(apng.write("RGB", default_image=True))),
        # On a 9-row canvas a 7-row region's disposal stays inside the buffer.
        ("grey_disposal_short_of_last_rows", lambda: _set_field(apng.write("L", disposal=1), b"fcTL", 0, 8, 7)),
        ("empty_first_region", lambda: _set_field(apng.write("L", disposal=1), b"fcTL", 0, 4, 0)),
        ("region_wider_than_canvas", lambda: _set_field(apng.write("RGB"), b"fcTL", 0, 4, 13)),
        ("second_region_outside_canvas", lambda: _set_field(apng.write("RGB", disposal=1), b"fcTL", 1, 12, 5)),
        ("more_frames_declared_than_present", lambda: _set_field(apng.write("RGBA"), b"acTL", 0, 0, 9)),
        ("empty_region_after_default_image", lambda: _set_field(
            apng.write("RGB", default_image=True), b"fcTL", 0, 8, 0)),
    ],
)
def test_malformed_animation_opencv_survives_gets_its_answer(name, make):
    data = make()
    assert_matches(data, data)

