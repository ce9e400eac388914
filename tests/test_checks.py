"""tessel.check: one read and one decode per decoder, against the four
ImageTool methods called one by one on the same source."""

from __future__ import annotations

import io
import os
import re
import sys
import time
from typing import Any, Callable, Dict, List, Tuple

import numpy as np
import pytest
from PIL import Image

import tessel
from faultdefs import InvalidImageError
from support.images import encode
from support.records import good_image_record
from support.server import Reply
from tessel.checks import CHECKS, _outcomes
from tessel.image import ImageTool

ARGS = {"is_valid_image": (), "is_plain_gray": (30.0, 0.01), "has_multiple_transparency": (5,), "has_colored_lines": ()}


@pytest.fixture(autouse=True, params=["never", "always"])
def side_thread(request):
    """Every test runs with OpenCV's side of the check on the caller's thread
    and on a side thread (by default only images of some size take it)."""
    from tessel import _checks

    previous = _checks._side_thread(request.param)
    yield request.param
    _checks._side_thread(previous)


def separately(source: Any, gray_thresh=30.0, edge_thresh=0.01, threshold=5) -> List[Any]:
    """Each method's result, or the exception it raised."""
    args = dict(ARGS, is_plain_gray=(gray_thresh, edge_thresh), has_multiple_transparency=(threshold,))
    out = []
    for name in CHECKS:
        try:
            out.append(getattr(ImageTool, name)(source, *args[name]))
        except Exception as err:  # noqa: BLE001
            out.append(err)
    return out


def masked(text: str) -> str:
    return re.sub(r" at 0x[0-9a-fA-F]+", " at 0x…", text)


def describe(outcome: Any) -> Any:
    """An outcome as comparable data: values with their exact types, and
    exceptions by type, text and (for InvalidImageError) their context."""
    if isinstance(outcome, InvalidImageError):
        original = outcome.original_error
        return ("InvalidImageError", masked(outcome.message), outcome.image_size, outcome.extra_data,
                type(original).__name__, masked(str(original)))  # fmt: skip
    if isinstance(outcome, BaseException):
        return (type(outcome).__name__, masked(str(outcome)))
    if isinstance(outcome, tuple):
        return tuple(describe(v) for v in outcome)
    if isinstance(outcome, dict):
        return [(k, type(v).__name__, v) for k, v in outcome.items()]
    return (type(outcome).__name__, outcome)


def assert_same_as_separately(source: Any, **params: Any) -> Tuple[Any, ...]:
    size, source_error, together = _outcomes(
        source, params.get("gray_thresh", 30.0), params.get("edge_thresh", 0.01), params.get("threshold", 5)
    )
    apart = separately(source, **params)
    assert [describe(x) for x in together] == [describe(x) for x in apart]
    return size, source_error, together


# --- images of every mode, in every format that stores it ---------------------


def pixels(mode: str, size=(37, 23), seed=0) -> Image.Image:
    """Noise in `mode`; modes with alpha have a fully transparent top half."""
    rng = np.random.default_rng(seed)
    w, h = size
    if mode in ("I;16", "I", "F"):
        values = rng.integers(0, 65536, (h, w))
        return Image.fromarray(values.astype({"I;16": np.uint16, "I": np.int32, "F": np.float32}[mode]))
    rgba = rng.integers(0, 256, (h, w, 4), dtype=np.uint8)
    rgba[: h // 2, :, 3] = 0
    return Image.fromarray(rgba, "RGBA").convert(mode)


def palette(kind: str, size=(37, 23), used=9) -> Tuple[Image.Image, Dict[str, Any]]:
    """A palette image whose entry 0 is used by `used` pixels, with the
    transparency `kind`: "index" (info int), "table" (a bytes alpha table)
    or "none"."""
    w, h = size
    index = (np.arange(w * h) % 200 + 1).astype(np.uint8)
    index[:used] = 0
    img = Image.fromarray(index.reshape(h, w), "P")
    img.putpalette(bytes(range(256)) * 3)
    params: Dict[str, Any] = {}
    if kind == "index":
        params["transparency"] = 0
    elif kind == "table":
        params["transparency"] = bytes([0, 128, 255, 7])
    return img, params


def corpus() -> List[Tuple[str, bytes]]:
    samples: List[Tuple[str, bytes]] = []

    def add(name: str, img: Image.Image, fmt: str, **params: Any) -> None:
        samples.append((f"{name}.{fmt.lower()}", encode(img, fmt, **params)))

    formats = {
        "PNG": ["1", "L", "LA", "RGB", "RGBA", "I;16"],
        "GIF": ["L", "RGB"],
        "WEBP": ["RGB", "RGBA"],
        "JPEG": ["L", "RGB", "CMYK", "YCbCr"],
        "BMP": ["1", "L", "RGB", "RGBA"],
        "TIFF": ["1", "L", "LA", "RGB", "RGBA", "CMYK", "I;16", "I", "F", "YCbCr"],
    }
    for fmt, modes in formats.items():
        for mode in modes:
            add(mode, pixels(mode), fmt)
    for fmt in ("PNG", "GIF", "BMP", "TIFF"):
        for kind in ("index", "table", "none"):
            if kind == "table" and fmt != "PNG":
                continue
            img, params = palette(kind)
            add(f"P-{kind}", img, fmt, **params)
    for used in (5, 6):
        img, params = palette("index", used=used)
        add(f"P-index-{used}-used", img, "PNG", **params)
    rgb_trns = pixels("RGB")
    add("RGB-trns", rgb_trns, "PNG", transparency=tuple(rgb_trns.getpixel((0, 0))))
    add("lines", Image.fromarray(np.pad(np.full((4, 30, 3), (0, 255, 0), np.uint8), ((13, 13), (0, 0), (0, 0)))), "PNG")
    add("grey", Image.new("RGB", (40, 30), (128, 128, 128)), "PNG")
    return samples


CORPUS = corpus()


def damaged() -> List[Tuple[str, bytes]]:
    out: List[Tuple[str, bytes]] = [("empty", b""), ("garbage", b"not an image at all" * 5)]
    for name, data in CORPUS:
        if name.startswith(("RGBA.png", "P-table.png", "P-index.gif", "RGB.jpeg", "RGBA.webp", "RGB.tiff", "RGB.bmp")):
            for cut in (0.5, 0.9):
                out.append((f"{name}-cut{cut}", data[: int(len(data) * cut)]))
            flipped = bytearray(data)
            flipped[len(data) // 2] ^= 0xFF
            out.append((f"{name}-flipped", bytes(flipped)))
            out.append((f"{name}-header", data[:40]))
    return out


DAMAGED = damaged()


@pytest.mark.parametrize("name, data", CORPUS + DAMAGED, ids=[n for n, _ in CORPUS + DAMAGED])
def test_outcomes_equal_the_methods_one_by_one(name, data):
    size, source_error, _ = assert_same_as_separately(data)
    assert (size, source_error) == (len(data), None)


# Large enough for the measurements to be split in two halves, which the
# caller's thread may take on while OpenCV's side runs on a side thread;
# cut short, the halves run on an image partly decoded.
@pytest.mark.parametrize("mode", ["RGB", "L", "P"])
@pytest.mark.parametrize("size", [(180, 120), (640, 480)])
def test_outcomes_equal_the_methods_with_the_measurements_shared(mode, size):
    data = encode(pixels(mode, size=size), "PNG")
    for part in (data, data[: len(data) * 3 // 4]):
        assert_same_as_separately(part)


@pytest.mark.parametrize("threshold", [-1, 0, 8, 9])
@pytest.mark.parametrize("kind", ["index", "table", "none"])
def test_palette_thresholds(kind, threshold):
    img, params = palette(kind)
    data = encode(img, "PNG", **params)
    assert_same_as_separately(data, threshold=threshold)
    assert_same_as_separately(data[: len(data) - 30], threshold=threshold)


@pytest.mark.parametrize("gray_thresh, edge_thresh", [(0.0, 0.0), (1000.0, 1.0)])
def test_plain_gray_thresholds(gray_thresh, edge_thresh):
    for name, data in CORPUS[:6]:
        assert_same_as_separately(data, gray_thresh=gray_thresh, edge_thresh=edge_thresh)


def test_buffer_kinds():
    data = dict(CORPUS)["RGBA.png"]
    for source in (bytearray(data), memoryview(data)):
        assert_same_as_separately(source)


@pytest.mark.parametrize(
    "name, make",
    [
        ("valid", lambda d: d["RGBA.png"]),
        ("palette", lambda d: d["P-index.gif"]),
        ("truncated", lambda d: d["RGBA.png"][:200]),
        ("garbage", lambda d: b"garbage" * 9),
    ],
)
def test_paths(tmp_path, name, make):
    path = tmp_path / f"{name}.img"
    path.write_bytes(make(dict(CORPUS)))
    size, source_error, _ = assert_same_as_separately(str(path))
    assert (size, source_error) == (path.stat().st_size, None)


@pytest.mark.parametrize("where", ["missing.png", "."])
def test_unreadable_paths(tmp_path, where):
    path = str(tmp_path / where)
    size, source_error, _ = assert_same_as_separately(path)
    assert size is None and isinstance(source_error, FileNotFoundError)


def test_urls_are_downloaded_once(server, image_sleeps, capsys):
    data = dict(CORPUS)["P-index.png"]
    url = server.reply("/p.png", Reply(200, data))
    _, source_error, together = _outcomes(url, 30.0, 0.01, 5)
    assert source_error is None and len(server.requests) == 1
    assert [describe(x) for x in together] == [describe(x) for x in separately(data)]
    gone = server.reply("/gone.png", Reply(404, b"no"))
    size, source_error, _ = assert_same_as_separately(gone)
    assert size is None and type(source_error).__name__ == "ServiceError"


# --- the record -------------------------------------------------------------


def test_record_of_a_good_image_holds_the_method_results():
    data = dict(CORPUS)["lines.png"]
    record = tessel.check(data)
    assert record == good_image_record(data)
    assert list(record) == list(tessel.CheckRecord.__annotations__)


def record_cases() -> List[Tuple[str, Callable[[Any], Any], Dict[str, Any]]]:
    return [
        # name, source maker, expected entries (ok/error prefix/None checks)
        ("truncated", lambda tmp: dict(CORPUS)["RGBA.png"][:300], {"is_valid_image": False, "error": "图片无效: "}),
        ("garbage", lambda tmp: b"garbage" * 9, {"is_valid_image": False, "is_plain_gray": None,
                                                 "has_multiple_transparency": None, "has_colored_lines": None}),
        ("missing", lambda tmp: tmp / "missing.png", {"image_size": None, "error": "图片文件不存在: ",
                                                      "is_valid_image": None, "errors": {}}),
        ("unmeasured", lambda tmp: tmp / "garbage.bin", {"is_plain_gray": None}),
    ]  # fmt: skip


@pytest.mark.parametrize("name, make, expected", record_cases(), ids=[c[0] for c in record_cases()])
def test_failure_records(tmp_path, name, make, expected):
    (tmp_path / "garbage.bin").write_bytes(b"\x89PNG garbage")
    source = make(tmp_path)
    record = tessel.check(source)
    assert list(record) == list(tessel.CheckRecord.__annotations__)
    assert record["ok"] is False and record["error"]
    for key, value in expected.items():
        if key == "error":
            assert record["error"].startswith(value)
        else:
            assert record[key] == value
    # Stable: no object addresses, the same text every time.
    assert " at 0x" not in repr(record)
    assert tessel.check(source) == record
    assert set(record["errors"]) <= set(CHECKS)
    for key in record["errors"]:
        assert record[key] in (None, False)


def test_pillow_only_image_reports_the_unmeasured_plain_check():
    # OpenCV reads no TIFF of 32-bit floats in colour; Pillow opens it.
    data = dict(CORPUS)["F.tiff"]
    assert ImageTool.is_plain_gray(data) == (False, {"std": 0, "edge_ratio": 100, "saturation": 0}, "图片为空")
    record = tessel.check(data)
    assert record["is_valid_image"] is True and record["is_plain_gray"] is None
    assert record["ok"] is False and record["error"] == "is_plain_gray: 图片为空"


def test_source_types():
    data = dict(CORPUS)["grey.png"]
    assert tessel.check(io.BytesIO(data).getbuffer())["ok"] is True
    with pytest.raises(TypeError, match="expects bytes, a path or a URL, got int"):
        tessel.check(3)  # type: ignore[arg-type]
    for bad, message in (({"threshold": "5"}, "Argument 'threshold' has incorrect type"), ({"gray_thresh": "30"}, "")):
        with pytest.raises(TypeError, match=message):
            tessel.check(data, **bad)


@pytest.mark.parametrize(
    "source",
    [io.BytesIO(dict(CORPUS)["RGBA.png"]), None, 5, "HTTPS://example.invalid/a.png", dict(CORPUS)["grey.png"].decode("latin-1")],
    ids=["BytesIO", "None", "int", "capital-scheme", "str-of-bytes"],
)
def test_odd_sources(source):
    if isinstance(source, io.BytesIO):
        # Each method leaves the stream where it stops reading; start both runs alike.
        together = _outcomes(source, 30.0, 0.01, 5)[2]
        source.seek(0)
        assert [describe(x) for x in together] == [describe(x) for x in separately(source)]
    else:
        assert_same_as_separately(source)


class Counting:
    """A module stand-in that counts the calls of one of its functions and
    can make them raise."""

    def __init__(self, module: Any, name: str, raises: Any = None) -> None:
        self.module, self.name, self.raises, self.calls = module, name, raises, 0

    def __getattr__(self, attr: str) -> Any:
        value = getattr(self.module, attr)
        if attr != self.name:
            return value

        def counted(*args: Any, **kwargs: Any) -> Any:
            self.calls += 1
            if self.raises is not None:
                raise self.raises
            return value(*args, **kwargs)

        return counted


@pytest.mark.parametrize("name", ["RGBA.png", "P-index.png", "P-table.png", "RGB.jpeg", "F.tiff"])
def test_one_read_and_one_decode_per_decoder(monkeypatch, tmp_path, name):
    import cv2

    import tessel.image

    path = tmp_path / name
    path.write_bytes(dict(CORPUS)[name])
    pillow = Counting(tessel.image.Image, "open")
    opencv = Counting(cv2, "imdecode")
    files = Counting(__import__("builtins"), "open")
    monkeypatch.setattr(tessel.image, "Image", pillow)
    monkeypatch.setattr(tessel.image, "cv2", opencv)
    monkeypatch.setattr(tessel.image, "open", files.open, raising=False)
    record = tessel.check(path)
    assert (pillow.calls, opencv.calls, files.calls) == (1, 1, 1)
    assert record["is_valid_image"] is True and record["image_size"] == path.stat().st_size


def native_threads() -> int:
    return len(os.listdir("/proc/self/task")) if os.path.isdir("/proc/self/task") else 0


def native_threads_once_exited(expected: int) -> int:
    """The thread count, given up to 5 s to come down to `expected`: a joined
    thread stays listed until its exit has finished (for long under qemu-user)."""
    deadline = time.monotonic() + 5
    while native_threads() != expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return native_threads()


# KeyboardInterrupt from either decoder: from Pillow on the caller's thread
# while OpenCV's side may still be decoding (it is waited for, and its result
# dropped), or from OpenCV's side, raised once Pillow's checks are done.
@pytest.mark.parametrize("module, name", [("Image", "open"), ("cv2", "imdecode")])
def test_exceptions_outside_the_exception_family_leave_the_call(monkeypatch, module, name):
    import tessel.image

    data = encode(pixels("RGB", size=(600, 400)), "PNG")
    threads, references = native_threads(), sys.getrefcount(data)
    # The class, not an instance: a kept instance would keep its traceback's frames.
    monkeypatch.setattr(tessel.image, module, Counting(getattr(tessel.image, module), name, KeyboardInterrupt))
    interrupted = False
    try:
        tessel.check(data)
    except KeyboardInterrupt:  # left here, so that its traceback goes with it
        interrupted = True
    assert (interrupted, native_threads_once_exited(threads), sys.getrefcount(data)) == (True, threads, references)


# A check that calls itself again from inside OpenCV's side (here from a
# patched imdecode) recurses on one thread until RecursionError, whichever
# thread that side started on; the outermost call still returns its record.
def test_reentry_from_the_decoder_ends_in_recursion_error(monkeypatch):
    import cv2

    import tessel.image

    data = dict(CORPUS)["RGB.png"]
    hits = []

    class Reentrant:
        def __getattr__(self, attr: str) -> Any:
            return getattr(cv2, attr)

        def imdecode(self, *args: Any) -> Any:
            try:
                tessel.check(data)
            except RecursionError:
                hits.append(1)
                raise
            return cv2.imdecode(*args)

    monkeypatch.setattr(tessel.image, "cv2", Reentrant())
    record = tessel.check(data)
    monkeypatch.undo()
    assert hits == [1] and record == tessel.check(data)
