"""Leak check: resident memory growth of the download and validity methods
over many calls (successes, failures and argument errors).

    python bench/download_validity_rss.py [iterations]

Runs each scenario `iterations` times (default 10000) after a warm-up and
prints the RSS growth per scenario. A loopback HTTP server in a child process
serves the images, so its own bookkeeping (it records every request) is not
counted against the client.
"""

from __future__ import annotations

import gc
import io
import multiprocessing
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

from support import images  # noqa: E402
from support.server import LoopbackServer, Reply  # noqa: E402

import tessel.image  # noqa: E402
from tessel.image import ImageTool  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class Quiet:
    def error(self, msg):
        pass


PNG = images.noise(size=(64, 64))


def serve(conn) -> None:
    server = LoopbackServer()
    conn.send((server.reply("/ok", Reply(200, PNG)), server.reply("/bad", Reply(500, b"x" * 1000))))
    conn.recv()  # until the parent is done
    server.close()


def scenarios(ok: str, bad: str):
    png = PNG
    cut = png[: len(png) // 2]
    logger = Quiet()

    def expect(error, call, *args, **kwargs):
        try:
            call(*args, **kwargs)
        except error:
            pass
        else:
            raise AssertionError(f"{call.__name__} did not raise {error.__name__}")

    return {
        "get_img_url_io ok": lambda: ImageTool.get_img_url_io(ok, headers={"X-A": "1"}),
        "get_img_url_io 500": lambda: expect(
            tessel.image.ServiceError, ImageTool.get_img_url_io, bad, 2, 0.0, logger
        ),
        "get_img_url_bytes ok": lambda: ImageTool.get_img_url_bytes(ok, timeout=5),
        "is_valid_image good": lambda: ImageTool.is_valid_image(png, task_id="t"),
        "is_valid_image truncated": lambda: expect(
            tessel.image.InvalidImageError, ImageTool.is_valid_image, cut, task_id="t"
        ),
        "is_valid_image missing path": lambda: expect(
            tessel.image.InvalidImageError, ImageTool.is_valid_image, "/nonexistent/x.png"
        ),
        "is_valid_image BytesIO": lambda: expect(TypeError, ImageTool.is_valid_image, io.BytesIO(png)),
        "argument errors": lambda: (
            expect(TypeError, ImageTool.get_img_url_io, None),
            expect(TypeError, ImageTool.get_img_url_bytes, "u", 5),
            expect(TypeError, ImageTool.is_valid_image),
            expect(ValueError, ImageTool.get_img_url_io, "u", float("nan")),
        ),
    }


def main() -> None:
    iterations = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    parent, child = multiprocessing.Pipe()
    server = multiprocessing.get_context("fork").Process(target=serve, args=(child,), daemon=True)
    server.start()
    try:
        for name, run in scenarios(*parent.recv()).items():
            for _ in range(min(500, iterations)):
                run()
            gc.collect()
            before = rss()
            started = time.perf_counter()
            for _ in range(iterations):
                run()
            elapsed = time.perf_counter() - started
            gc.collect()
            grown = rss() - before
            print(f"{name:30s} {iterations} calls  {elapsed:7.2f} s  RSS {grown / 2**20:+7.2f} MiB")
    finally:
        parent.send("done")
        server.join(10)


if __name__ == "__main__":
    main()
