"""OpenCV's CLAHE and BGR-to-HSV saturation as its x86-64 wheel computes them,
on any machine, and other OpenCV results another machine cannot reproduce.

These are the two results on which OpenCV's own wheels disagree: the ARM64
wheel blends CLAHE's tile tables in float code that GCC compiles into fused
multiply-adds there, and converts BGR to HSV in its NEON layer (Carotene) with
an approximate reciprocal, so a few pixels come out one level away from the
x86-64 wheel. Our kernels give the x86-64 bytes on every machine.
Some results are out of reach elsewhere: OpenCV's heap overrun on an animated
PNG, which x86-64 survives long enough to print the picture, aborts it there.

opencv_x86_64.json holds, for the tests' seeded inputs, a digest of each input
with its parameters and the digest (CLAHE), exact sum (saturation) or text
(`result`) of the x86-64 wheel's result. TESSEL_OPENCV picks what a call does:
  check   (default on x86-64) runs OpenCV; its result must be the recorded
          one, so the file cannot fall behind the tests or the wheel;
  replay  (default elsewhere) takes the record in place of OpenCV;
  record  runs OpenCV and rewrites the file at exit (`make opencv-records`).
"""

import atexit
import hashlib
import json
import os
import platform
from pathlib import Path

import cv2
import numpy as np

PATH = Path(__file__).with_name("opencv_x86_64.json")
MODE = os.environ.get("TESSEL_OPENCV") or ("check" if platform.machine() in ("x86_64", "AMD64") else "replay")
if MODE not in ("check", "replay", "record"):
    raise ValueError(f"TESSEL_OPENCV={MODE!r}: expected check, replay or record")
_recorded = {} if MODE == "record" or not PATH.exists() else json.loads(PATH.read_text())
_seen = {}


def digest(*parts):
    h = hashlib.sha256()
    for part in parts:
        if isinstance(part, bytes):
            h.update(part)
        elif isinstance(part, np.ndarray):
            part = np.ascontiguousarray(part)
            h.update(f"{part.dtype.str}{part.shape}".encode())
            h.update(part.data)
        else:
            h.update(repr(part).encode())
        h.update(b"\0")
    return h.hexdigest()[:16]


def result(compute, *inputs):
    """compute() (a JSON value) of `inputs` on x86-64, recorded under their digest."""
    return _result(digest(*inputs), compute)


def _result(key, compute):
    if MODE == "replay":
        if key not in _recorded:
            raise AssertionError(f"no x86-64 OpenCV result recorded for input {key}")
        return _recorded[key]
    value = compute()
    if MODE == "record":
        _seen[key] = value
    elif _recorded.get(key) != value:
        raise AssertionError(f"OpenCV's result for input {key} is not the recorded one ({_recorded.get(key)} "
                             f"!= {value}): `make opencv-records` rewrites {PATH.name}")
    return value


def clahe(gray, clip, tiles, ours):
    """OpenCV's CLAHE of `gray`; when replaying, `ours` if it has the recorded digest."""
    key = digest("clahe", float(clip), tuple(tiles), gray)
    expected = None

    def run():
        nonlocal expected
        expected = cv2.createCLAHE(clipLimit=clip, tileGridSize=tuple(tiles)).apply(gray)
        return digest(expected)

    recorded = _result(key, run)
    if expected is not None:
        return expected
    if digest(np.asarray(ours, np.uint8).reshape(gray.shape)) != recorded:
        raise AssertionError(f"CLAHE of input {key}: ours differs from x86-64 OpenCV's recorded result")
    return ours


def saturation_sum(bgr):
    """The sum of the S channel of OpenCV's BGR-to-HSV conversion of `bgr`."""
    return _result(digest("saturation", bgr),
                   lambda: int(cv2.cvtColor(bgr, cv2.COLOR_BGR2HSV)[:, :, 1].sum(dtype=np.int64)))


@atexit.register
def _write():
    if MODE == "record" and _seen:
        PATH.write_text("{\n" + ",\n".join(f'"{k}": {json.dumps(v)}' for k, v in sorted(_seen.items())) + "\n}\n")
