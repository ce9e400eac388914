"""Fuzzing of the argument layer of both extension modules.

Every input picks a callable (an ImageTool method, the HttpRequestClient
constructor, a client method bound or unbound, the backoff helper) and builds
a random call for it: a random number of positional arguments and random
keywords (real parameter names, unknown names, duplicates of positional
ones), with values drawn from a pool of awkward objects: numbers at the
edges, NaN and infinities, NumPy scalars and arrays, subclasses of the
built-in types, objects whose number or truth conversions raise, buffers that
are not contiguous, closed or foreign streams, loggers that fail, and images,
paths and URLs that lead the call deep into its body.

Network calls can only reach a closed loopback port and waits return at
once (see sandbox.py), so no call blocks. Any Python exception is an
acceptable outcome; a crash, an abort, a sanitizer report or a call running
past the fuzzer's -timeout is a finding.

    python fuzz/fuzz_args.py [libFuzzer flags] [CORPUS_DIR ...]
"""

from __future__ import annotations

import io
import logging
import math
import os
import sys
from pathlib import Path

import atheris

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import sandbox  # noqa: E402

sandbox.silence_opencv()

# Instrumented Python below the calls: request preparation and URL parsing,
# and Pillow's parsers for the images that reach a method body.
with atheris.instrument_imports(include=["requests", "urllib3", "PIL"]):
    import requests
    import urllib3  # noqa: F401
    from PIL import Image

    Image.init()

import numpy as np  # noqa: E402

import tessel.image  # noqa: E402

try:
    import tessel.http as http_module
except ImportError:  # a build without the HTTP module: fuzz the image side only
    http_module = None
    HttpRequestClient = None
    print("fuzz_args: tessel.http is not built; fuzzing tessel.image only", file=sys.stderr)
else:
    HttpRequestClient = http_module.HttpRequestClient

ImageTool = tessel.image.ImageTool


# --- awkward objects -------------------------------------------------------


class StrSub(str):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


class BytesIOSub(io.BytesIO):
    pass


class Boom(Exception):
    pass


class RaisingIndex:
    def __index__(self):
        raise Boom("__index__")


class RaisingFloat:
    def __float__(self):
        raise Boom("__float__")


class BadIndex:
    def __index__(self):
        return "not an int"


class RaisingBool:
    def __bool__(self):
        raise Boom("__bool__")


class RaisingStr:
    def __str__(self):
        raise Boom("__str__")

    def __len__(self):
        raise Boom("__len__")


class FalsyLogger:
    def __bool__(self):
        return False

    def error(self, msg):
        raise AssertionError("a falsy logger must not be used")


class RaisingLogger:
    def error(self, msg):
        raise Boom("logger.error")


class ListLogger:
    def __init__(self):
        self.lines = []

    def error(self, msg):
        self.lines.append(msg)
        del self.lines[:-4]


class NoErrorLogger:
    pass


class FakeClient:
    """A `self` that is not an HttpRequestClient, for the unbound methods."""

    def __init__(self, port):
        self.max_retries = 2
        self.base_timeout = 1
        self.verify_ssl = False
        self.session = requests.Session()


class Pool:
    """The objects a fuzz input can choose from, grouped by kind."""

    def __init__(self, workdir: Path, port: int) -> None:
        import corpus  # imports Pillow; the args harness does not instrument it

        seeds = corpus.seeds()
        self.images = [seeds[k] for k in ("png_rgba.png", "png_palette_trns.png", "jpeg_baseline.jpg", "png_1x1.png")]
        self.image_dir = workdir / "images"
        self.image_dir.mkdir(exist_ok=True)
        self.paths = []
        for name, data in list(seeds.items())[::6]:
            target = self.image_dir / name
            target.write_bytes(data)
            self.paths.append(str(target))
        (self.image_dir / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\nbroken")
        base = f"127.0.0.1:{port}"
        self.urls = [f"http://{base}/a.png", f"https://{base}/b", f"HTTPS://{base}/c", "http://", "https://[::1", "ftp://x"]
        self.port = port
        self.logger = logging.getLogger("tessel.fuzz")
        self.logger.addHandler(logging.NullHandler())
        self.logger.propagate = False
        big = np.arange(12, dtype=np.uint8).reshape(3, 4)
        self.fixed = [
            None, True, False, 0, 1, -1, 3, 2 ** 31, 2 ** 63, -(2 ** 63) - 1, 2 ** 64 + 1, 10 ** 30,
            0.0, -0.0, 0.5, 2.9, -2.5, 1e308, float("nan"), float("inf"), float("-inf"), 5e-324,
            1 + 2j, np.int64(7), np.int8(-3), np.uint64(2 ** 64 - 1), np.float32("nan"), np.float64(1e300),
            np.bool_(True), big, big[:, ::2], np.array([]),
            "", "GET", "get", "post", "PUT", "HEAD", "\udcff", "PNG", "webp", "JPEG", "nonsense",
            StrSub("PNG"), StrSub(f"http://{base}/s"), IntSub(4), FloatSub(0.25), ListSub([".png"]),
            DictSub(a="1"), [], [".png"], [".PNG", "png"], [5], [None], (".png",), {".png"}, frozenset(),
            {}, {"a": "1"}, {"User-Agent": "x"}, {1: 2}, {"X": None}, {"json": [1, 2]},
            b"", b"\x00" * 9, bytearray(b"\x89PNG"), memoryview(b"abcdef"), memoryview(b"abcdef")[::2],
            object(), RaisingIndex(), RaisingFloat(), BadIndex(), RaisingBool(), RaisingStr(),
            FalsyLogger(), RaisingLogger(), ListLogger(), NoErrorLogger(), self.logger,
            str(self.image_dir), str(workdir / "missing"), str(self.image_dir / "broken.png"),
            (1, 2), (0.1, 0.1), (None, None), ("a", "b", "c"), FakeClient(port), self,
            len, print, sys.maxsize, -sys.maxsize - 1,
        ]

    @atheris.instrument_func  # the choices themselves are the coverage signal here
    def value(self, fdp: atheris.FuzzedDataProvider):
        kind = fdp.ConsumeIntInRange(0, 11)
        if kind <= 4:
            return self.fixed[fdp.ConsumeIntInRange(0, len(self.fixed) - 1)]
        if kind == 5:
            return fdp.ConsumeIntInRange(-50, 50)
        if kind == 6:
            return fdp.ConsumeRegularFloat() if fdp.ConsumeBool() else fdp.ConsumeFloatInRange(-5.0, 5.0)
        if kind == 7:
            # Random text stays a relative name inside the scratch directory.
            return "fz_" + fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 12))
        if kind == 8:
            return self.urls[fdp.ConsumeIntInRange(0, len(self.urls) - 1)]
        if kind == 9:
            data = self.images[fdp.ConsumeIntInRange(0, len(self.images) - 1)]
            form = fdp.ConsumeIntInRange(0, 4)
            if form == 0:
                return data
            if form == 1:
                return io.BytesIO(data)
            if form == 2:
                closed = io.BytesIO(data)
                closed.close()
                return closed
            if form == 3:
                return BytesIOSub(data)
            return bytearray(data)
        if kind == 10:
            return self.paths[fdp.ConsumeIntInRange(0, len(self.paths) - 1)]
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))


# --- callables ---------------------------------------------------------------

_IMAGE_PARAMS = {
    "is_plain_gray": ("image_data", "gray_thresh", "edge_thresh", "logger"),
    "get_img_url_io": ("url", "max_retries", "base_delay", "logger", "timeout", "headers"),
    "get_img_url_bytes": ("url", "max_retries", "base_delay", "logger", "timeout", "headers"),
    "is_valid_image": ("image_data", "task_id"),
    "has_multiple_transparency": ("image_data", "threshold"),
    "batch_has_multiple_transparency": ("directory", "threshold", "max_workers", "extensions", "desc"),
    "trim_transparent_edges": ("image_data", "padding", "output_format"),
    "has_colored_lines": (
        "image_data", "bg_threshold", "color_gap", "max_fill_ratio", "min_colored_ratio",
        "min_dual_color_ratio", "max_density_for_single_color",
    ),
}
_HTTP_PARAMS = {
    "request": ("method", "url", "headers", "params", "json", "data", "timeout", "verify", "stream", "allow_redirects"),
    "get": ("url", "params", "headers", "timeout", "json", "data", "method", "verify"),
    "post": ("url", "json", "data", "headers", "timeout", "params", "method"),
    "_calc_backoff_wait": ("attempt",),
    "__init__": ("max_retries", "base_timeout", "verify_ssl", "user_agent"),
}
_EXTRA_NAMES = ("foo", "self", "kwargs", "image_data", "url", "stream")

# Values that would make a call legitimately run for ever (millions of
# attempts against the closed port, 2 ** 10**30, a pool of 10**18 threads)
# are replaced for the parameters that count something.
_COUNTING = {"max_retries", "attempt", "max_workers"}


def _bounded(name, value):
    if name not in _COUNTING:
        return value
    try:
        number = float(value)
    except Exception:
        return value
    if math.isfinite(number) and abs(number) <= 64:
        return value
    return 3 if math.isfinite(number) else value


class Harness:
    def __init__(self, workdir: Path, port: int) -> None:
        self.pool = Pool(workdir, port)
        self.client = HttpRequestClient(max_retries=2, base_timeout=1) if HttpRequestClient else None

    @atheris.instrument_func
    def _target(self, fdp):
        choice = fdp.ConsumeIntInRange(0, 13 if HttpRequestClient is not None else 7)
        names = sorted(_IMAGE_PARAMS)
        if choice < 8:
            name = names[choice]
            owner = ImageTool if fdp.ConsumeBool() else ImageTool()
            return getattr(owner, name), _IMAGE_PARAMS[name], None
        http_names = sorted(_HTTP_PARAMS)
        name = http_names[(choice - 8) % len(http_names)]
        if name == "__init__":
            return HttpRequestClient, _HTTP_PARAMS[name], None
        if choice == 13:
            # Unbound, with an arbitrary `self` as first positional argument.
            return getattr(HttpRequestClient, name), ("self",) + _HTTP_PARAMS[name], "self"
        client = self.client if fdp.ConsumeBool() else HttpRequestClient(max_retries=1, base_timeout=1)
        return getattr(client, name), _HTTP_PARAMS[name], None

    def __call__(self, data: bytes) -> None:
        fdp = atheris.FuzzedDataProvider(data)
        func, params, _ = self._target(fdp)
        args = []
        for i in range(fdp.ConsumeIntInRange(0, len(params) + 2)):
            name = params[i] if i < len(params) else ""
            args.append(_bounded(name, self.pool.value(fdp)))
        kwargs = {}
        for _ in range(fdp.ConsumeIntInRange(0, 4)):
            if fdp.ConsumeIntInRange(0, 5) == 0:
                key = _EXTRA_NAMES[fdp.ConsumeIntInRange(0, len(_EXTRA_NAMES) - 1)]
            else:
                key = params[fdp.ConsumeIntInRange(0, len(params) - 1)]
            kwargs[key] = _bounded(key, self.pool.value(fdp))
        with sandbox.muted_stdout():
            try:
                func(*args, **kwargs)
            except Exception:
                pass  # any Python exception is a legitimate answer


def _corpus_args(argv):
    work = Path(os.environ.get("FUZZ_WORK", HERE.parent / "build" / "fuzz")).resolve()
    flags = [a for a in argv[1:] if a.startswith("-")]
    dirs = [str(Path(a).resolve()) for a in argv[1:] if not a.startswith("-")]
    if not dirs:
        seed_dir = work / "args"
        seed_dir.mkdir(parents=True, exist_ok=True)
        dirs = [str(seed_dir)]
    (work / "artifacts").mkdir(parents=True, exist_ok=True)
    defaults = ["-timeout=10", "-rss_limit_mb=4096", "-max_len=512", f"-artifact_prefix={work / 'artifacts'}/args-"]
    given = {f.split("=")[0] for f in flags}
    flags += [d for d in defaults if d.split("=")[0] not in given]
    return [argv[0]] + flags + dirs


def main() -> None:
    argv = _corpus_args(sys.argv)
    port = sandbox.prepare(tessel.image, http_module)
    harness = Harness(sandbox.scratch_dir(), port)
    atheris.Setup(argv, harness)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
