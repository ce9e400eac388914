"""Leak soak: every public callable of tessel.image and tessel.http, many times.

Each callable gets a rotation of cases (good input, bad input, argument
errors), each with the outcome it must have every single time. After a
warm-up, every callable runs --calls times; the soak then fails if

  * the resident set grew by more than --rss-limit-mb,
  * the reference count of any argument object changed across a callable's
    calls (a reference leaked or stolen by the extension),
  * any call ended differently from its case's expected outcome.

Network cases talk to a scripted server on 127.0.0.1 or to a closed port;
waits are recorded instead of slept.

    python tools/soak.py [--calls 10000] [--rss-limit-mb 5] [--only NAME]
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import ctypes
import gc
import io
import logging
import os
import sys
import tempfile
import time
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, List, Tuple

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import numpy as np  # noqa: E402
from PIL import Image  # noqa: E402

import tessel.http  # noqa: E402
import tessel.image  # noqa: E402
from faultdefs import InvalidImageError, ServiceError  # noqa: E402
from support.server import LoopbackServer, Reply, closed_port  # noqa: E402

ImageTool = tessel.image.ImageTool
HttpRequestClient = tessel.http.HttpRequestClient
OK = None  # expected outcome: returns normally


@dataclass
class Case:
    label: str
    args: Tuple[Any, ...] = ()
    kwargs: Dict[str, Any] = field(default_factory=dict)
    expect: Any = OK  # OK or an exception class the call must raise


class NoWait:
    def sleep(self, seconds):
        if seconds < 0:
            raise ValueError("sleep length must be non-negative")


class CappedLogger:
    def __init__(self):
        self.count = 0

    def error(self, msg):
        self.count += 1


class StrSub(str):
    pass


class DictSub(dict):
    pass


def rss_bytes() -> int:
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def settle() -> None:
    """Collects garbage and hands free heap back, so RSS shows live memory."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:
        pass


def _encode(image: Image.Image, fmt: str = "PNG", **params) -> bytes:
    buf = io.BytesIO()
    image.save(buf, format=fmt, **params)
    return buf.getvalue()


class Fixtures:
    """Images, files, directories and URLs the cases share."""

    def __init__(self, root: Path, server: LoopbackServer) -> None:
        rgba = np.zeros((24, 32, 4), np.uint8)
        rgba[6:18, 8:24] = (40, 80, 200, 255)
        self.rgba = _encode(Image.fromarray(rgba, "RGBA"))
        lines = np.zeros((32, 32, 3), np.uint8)
        lines[5, 2:30] = (255, 0, 0)
        lines[20, 2:30] = (0, 255, 0)
        self.lines = _encode(Image.fromarray(lines, "RGB"))
        palette = Image.fromarray(lines, "RGB").quantize(colors=4)
        self.palette = _encode(palette, transparency=0)
        self.jpeg = _encode(Image.fromarray(lines, "RGB"), "JPEG")
        self.grey = _encode(Image.new("RGB", (32, 32), (128, 128, 128)))
        self.truncated = self.jpeg[: len(self.jpeg) // 2]
        self.garbage = b"not an image at all" * 4
        self.dir = root / "scan"
        (self.dir / "sub").mkdir(parents=True)
        (self.dir / "a.png").write_bytes(self.palette)
        (self.dir / "sub" / "b.PNG").write_bytes(self.rgba)
        (self.dir / "broken.png").write_bytes(self.truncated)
        self.path = str(self.dir / "a.png")
        self.missing = str(root / "missing.png")
        self.url = server.reply("/img.png", Reply(200, self.palette))
        self.url_503 = server.reply("/busy", Reply(503, b"busy"))
        self.url_echo = server.reply("/echo", Reply(200, echo=True))
        self.url_500 = server.reply("/err", Reply(500, b"oops"))
        self.refused = f"http://127.0.0.1:{closed_port()}/x"
        self.logger = CappedLogger()


def image_cases(f: Fixtures) -> Dict[str, Tuple[Callable, List[Case]]]:
    T = ImageTool
    return {
        "is_plain_gray": (T.is_plain_gray, [
            Case("grey bytes", (f.grey,)),
            Case("lines path", (f.path,), {"logger": f.logger}),
            Case("garbage", (f.garbage,)),
            Case("missing path", (f.missing,), {"logger": f.logger}),
            Case("bytesio", (io.BytesIO(f.grey),)),
            Case("url", (f.url,), {"task": 1}),
            Case("threshold str", (f.grey, "30"), expect=TypeError),
            Case("too many", (f.grey, 1, 2, 3), expect=TypeError),
            Case("no args", (), expect=TypeError),
        ]),
        "get_img_url_io": (T.get_img_url_io, [
            Case("ok", (f.url,), {"timeout": 5}),
            Case("503", (f.url_503,), {"max_retries": 2, "base_delay": 0.0, "logger": f.logger}, ServiceError),
            Case("refused", (f.refused,), {"max_retries": 2, "logger": f.logger}, ServiceError),
            Case("zero retries", (f.url, 0), expect=ServiceError),
            Case("negative delay", (f.refused, 1, -1.0), {"logger": f.logger}, ValueError),
            Case("headers", (f.url,), {"headers": {"X-Soak": "1"}}),
            Case("url None", (None,), expect=TypeError),
            Case("url subclass", (StrSub(f.url),), expect=TypeError),
            Case("retries str", (f.url, "3"), expect=TypeError),
        ]),
        "get_img_url_bytes": (T.get_img_url_bytes, [
            Case("ok", (f.url,), {"max_retries": 1}),
            Case("refused", (f.refused,), {"max_retries": 1, "logger": f.logger}, ServiceError),
            Case("two positional", (f.url, 5), expect=TypeError),
            Case("url twice", (f.url,), {"url": f.url}, TypeError),
        ]),
        "is_valid_image": (T.is_valid_image, [
            Case("png", (f.palette,), {"task_id": "abc"}),
            Case("path", (f.path,)),
            Case("truncated", (f.truncated,), {"task_id": "abc", "user_id": 42}, InvalidImageError),
            Case("empty", (b"",), expect=InvalidImageError),
            Case("missing", (f.missing,), expect=InvalidImageError),
            Case("bytesio", (io.BytesIO(f.jpeg),), expect=TypeError),
            Case("url", (f.url,)),
            Case("keyword", (), {"image_data": f.jpeg}),
            Case("only extra keywords", (), {"task_id": 1}, TypeError),
        ]),
        "has_multiple_transparency": (T.has_multiple_transparency, [
            Case("palette", (f.palette,)),
            Case("rgba stream", (io.BytesIO(f.rgba),), {"threshold": 5.9}),
            Case("path", (f.path, 0)),
            Case("garbage", (f.garbage,), expect=Image.UnidentifiedImageError),
            Case("int data", (5,), expect=TypeError),
            Case("missing", (f.missing,), expect=FileNotFoundError),
            Case("threshold str", (f.palette, "5"), expect=TypeError),
            Case("unknown kw", (f.palette,), {"foo": 1}, TypeError),
        ]),
        "batch_has_multiple_transparency": (T.batch_has_multiple_transparency, [
            Case("tree", (str(f.dir),), {"max_workers": 2}),
            Case("extensions", (str(f.dir),), {"extensions": [".PNG"], "desc": "soak"}),
            Case("missing dir", (f.missing,), expect=FileNotFoundError),
            Case("zero workers", (str(f.dir), 5, 0), expect=ValueError),
            Case("tuple ext", (str(f.dir),), {"extensions": (".png",)}, TypeError),
            Case("bad ext item", (str(f.dir),), {"extensions": [5]}, TypeError),
            Case("dir None", (None,), expect=TypeError),
        ]),
        "trim_transparent_edges": (T.trim_transparent_edges, [
            Case("rgba", (f.rgba,)),
            Case("stream webp", (io.BytesIO(f.rgba), 3, "WEBP")),
            Case("path", (f.path, 0)),
            Case("bad format", (f.rgba, 1, "NOPE"), expect=KeyError),
            Case("garbage", (f.garbage,), expect=Image.UnidentifiedImageError),
            Case("format None", (f.rgba, 1, None), expect=TypeError),
            Case("padding None", (f.rgba, None), expect=TypeError),
        ]),
        "has_colored_lines": (T.has_colored_lines, [
            Case("lines", (f.lines,)),
            Case("stream", (io.BytesIO(f.jpeg),), {"bg_threshold": 30.9, "max_fill_ratio": 1}),
            Case("path", (f.path,)),
            Case("garbage", (f.garbage,), expect=Image.UnidentifiedImageError),
            Case("threshold str", (f.lines, "30"), expect=TypeError),
            Case("nan threshold", (f.lines, float("nan")), expect=ValueError),
            Case("unknown kw", (f.lines,), {"foo": 1}, TypeError),
        ]),
    }


def http_cases(f: Fixtures, client) -> Dict[str, Tuple[Callable, List[Case]]]:
    C = HttpRequestClient
    return {
        "HttpRequestClient": (C, [
            Case("defaults"),
            Case("coerced", (), {"max_retries": 2.7, "base_timeout": True, "verify_ssl": [1]}),
            Case("retries str", ("3",), expect=TypeError),
            Case("agent None", (), {"user_agent": None}, TypeError),
            Case("too many", (1, 2, 3, "x", 5), expect=TypeError),
            Case("unknown kw", (), {"timeout": 5}, TypeError),
        ]),
        "request": (client.request, [
            Case("get", ("get", f.url_echo), {"headers": {"X": "1"}, "params": {"q": "1"}}),
            Case("post json", ("POST", f.url_echo), {"json": {"a": 1}, "timeout": 5, "verify": False}),
            Case("500", ("GET", f.url_500)),
            Case("refused", ("GET", f.refused), expect=tessel.http.RequestException),
            Case("json list", ("POST", f.url_echo), {"json": [1]}, TypeError),
            Case("headers subclass", ("GET", f.url_echo), {"headers": DictSub()}, TypeError),
            Case("session rejects kw", ("GET", f.url_echo), {"bogus": 1}, TypeError),
            Case("missing url", ("GET",), expect=TypeError),
        ]),
        "get": (client.get, [
            Case("ok", (f.url_echo,), {"params": {"a": "1"}, "timeout": 2.5}),
            Case("refused", (f.refused,), expect=tessel.http.RequestException),
            Case("tuple timeout", (f.url_echo,), {"timeout": (1, 1)}, TypeError),
            Case("method kw", (f.url_echo,), {"method": "POST"}, TypeError),
        ]),
        "post": (client.post, [
            Case("ok", (f.url_echo,), {"data": {"a": "1"}, "params": {"p": "2"}}),
            Case("refused", (f.refused,), expect=tessel.http.RequestException),
            Case("bytes data", (f.url_echo,), {"data": b"x"}, TypeError),
        ]),
        "_calc_backoff_wait": (C._calc_backoff_wait, [
            Case("zero", (0,)),
            Case("negative", (-1,)),
            Case("float", (2.9,)),
            Case("keyword", (), {"attempt": 3}),
            Case("None", (None,), expect=TypeError),
            Case("two", (1, 2), expect=TypeError),
        ]),
    }


def _run(func: Callable, cases: List[Case], count: int, start: int, failures: List[str], name: str) -> None:
    for i in range(start, start + count):
        case = cases[i % len(cases)]
        try:
            func(*case.args, **case.kwargs)
        except Exception as err:  # noqa: BLE001 - the outcome is checked below
            if case.expect is OK or not isinstance(err, case.expect):
                failures.append(f"{name}/{case.label}: raised {type(err).__name__}: {err}"[:300])
        else:
            if case.expect is not OK:
                failures.append(f"{name}/{case.label}: returned, expected {case.expect.__name__}")


def _shared_singleton(obj: Any) -> bool:
    """Objects every piece of Python code references (None, bools, cached
    small ints): their counts move with unrelated work."""
    if obj is None or obj is True or obj is False or obj == b"" or obj == "":
        return True
    if sys.getrefcount(obj) > 100_000_000:  # statically allocated (one-character str, ...)
        return True
    return type(obj) is int and -5 <= obj <= 256


def _arg_objects(cases: List[Case]) -> List[Any]:
    objs = []
    for case in cases:
        objs.extend(case.args)
        objs.extend(case.kwargs.values())
    unique = {id(o): o for o in objs if not _shared_singleton(o)}
    return list(unique.values())


@dataclass
class SoakResult:
    failures: List[str]
    report: List[Tuple[str, int, float, int]]  # name, calls, seconds, RSS change
    rss_before: int
    rss_after: int
    blocks_before: int
    blocks_after: int


def soak(table: Dict[str, Tuple[Callable, List[Case]]], calls: int, warmup: int, rss_limit_mb: float) -> SoakResult:
    """Warms every callable up, then runs each `calls` times and checks."""
    failures: List[str] = []
    for name, (func, cases) in table.items():
        _run(func, cases, warmup, 0, failures, name)
    settle()
    rss_before = rss_bytes()
    blocks_before = sys.getallocatedblocks()
    report = []
    for name, (func, cases) in table.items():
        objs = _arg_objects(cases) + [func]
        refs = [sys.getrefcount(o) for o in objs]
        t0 = time.monotonic()
        rss0 = rss_bytes()
        _run(func, cases, calls, warmup, failures, name)
        gc.collect()
        after = [sys.getrefcount(o) for o in objs]  # same expression as `refs`
        for i, obj in enumerate(objs):
            if after[i] != refs[i]:
                failures.append(f"{name}: refcount of {repr(obj)[:60]} went {refs[i]} -> {after[i]}")
        report.append((name, calls, time.monotonic() - t0, rss_bytes() - rss0))
    settle()
    rss_after = rss_bytes()
    if rss_after - rss_before > rss_limit_mb * 1024 * 1024:
        failures.append(f"RSS grew by {(rss_after - rss_before) / 2**20:.2f} MiB")
    return SoakResult(failures, report, rss_before, rss_after, blocks_before, sys.getallocatedblocks())


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=10_000, help="measured calls per callable")
    parser.add_argument("--warmup", type=int, default=None, help="calls per callable before measuring")
    parser.add_argument("--rss-limit-mb", type=float, default=5.0)
    parser.add_argument("--only", action="append", help="restrict to these callables")
    opts = parser.parse_args(argv)
    warmup = opts.warmup if opts.warmup is not None else max(100, opts.calls // 10)

    # Set here, not at import: the tests import this module (tqdm reads its
    # TQDM_* defaults when it is first imported, by the first batch scan).
    os.environ.setdefault("TQDM_DISABLE", "1")
    warnings.simplefilter("ignore")
    logging.disable(logging.CRITICAL)
    tessel.image.time = NoWait()
    tessel.http.time = NoWait()
    server = LoopbackServer()
    # The scripted server records every request; keep only the last few so
    # that its log does not count as growth, and keep its console quiet.
    server.requests = collections.deque(maxlen=16)
    server._server.handle_error = lambda request, address: None
    scratch = tempfile.TemporaryDirectory(prefix="tessel-soak-")
    fixtures = Fixtures(Path(scratch.name), server)
    client = HttpRequestClient(max_retries=2, base_timeout=5)
    # The scripted server writes headers and body in two segments; on a
    # kept-alive connection that meets the peer's delayed ACK (40 ms a call).
    client.session.headers["Connection"] = "close"
    table = {**image_cases(fixtures), **http_cases(fixtures, client)}
    if opts.only:
        table = {k: v for k, v in table.items() if k in opts.only}

    devnull = open(os.devnull, "w")
    with contextlib.redirect_stdout(devnull):
        result = soak(table, opts.calls, warmup, opts.rss_limit_mb)
    server.close()
    failures, report = result.failures, result.report
    rss_before, rss_after = result.rss_before, result.rss_after
    blocks_before, blocks_after = result.blocks_before, result.blocks_after

    mib = 1024 * 1024
    for name, calls, seconds, grown in report:
        print(f"  {name:34s} {calls:6d} calls {seconds:7.1f}s  rss {grown / mib:+7.2f} MiB")
    grown = rss_after - rss_before
    print(
        f"soak: {len(table)} callables x {opts.calls} calls (+{warmup} warm-up); "
        f"RSS {rss_before / mib:.1f} -> {rss_after / mib:.1f} MiB ({grown / mib:+.2f} MiB, limit {opts.rss_limit_mb} MiB); "
        f"allocated blocks {blocks_before} -> {blocks_after} ({blocks_after - blocks_before:+d})"
    )
    unique = list(dict.fromkeys(failures))
    for line in unique[:40]:
        print("FAIL " + line)
    if unique:
        print(f"soak: FAILED ({len(failures)} problems, {len(unique)} distinct)")
        return 1
    print("soak: OK")
    return 0


if __name__ == "__main__":
    sys.exit(main())
