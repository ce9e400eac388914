"""The host process survives us: daemon threads inside a call at interpreter
exit, and re-entrant calls on small thread stacks. Each case runs in a child
interpreter, whose exit status is the verdict."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import numpy as np
import pytest
from PIL import Image


def run_child(code, *args):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        capture_output=True,
        text=True,
        timeout=300,
    )


@pytest.fixture(scope="module")
def large_png(tmp_path_factory):
    # 1500 x 1500: every method spends long in its pixel loops and decoders.
    # A transparent frame gives trim and the transparency count work to do;
    # the gradient keeps encoding fast.
    y, x = np.mgrid[0:1500, 0:1500]
    pixels = np.zeros((1500, 1500, 4), np.uint8)
    pixels[..., 0], pixels[..., 1], pixels[..., 2] = x % 256, y % 256, (x + y) % 256
    pixels[100:1400, 100:1400, 3] = 255
    path = tmp_path_factory.mktemp("exit") / "large.png"
    Image.fromarray(pixels, "RGBA").save(path)
    return path


# Two daemon threads call the method in a loop; the main thread returns once
# two calls have finished, so the threads are inside their next call while
# the interpreter finalises and ends them. is_plain_gray is not here: its
# thread may also be ended inside cv2.imdecode, whose own binding frames
# abort the process the same way under plain Python code calling OpenCV.
DAEMONS_AT_EXIT = """
    import sys, threading
    from tessel.image import ImageTool
    call, path = getattr(ImageTool, sys.argv[1]), sys.argv[2]
    finished = threading.Semaphore(0)
    def loop():
        while True:
            call(path)
            finished.release()
    for _ in range(2):
        threading.Thread(target=loop, daemon=True).start()
    finished.acquire()
    finished.acquire()
"""


@pytest.mark.parametrize("method", ["has_colored_lines", "has_multiple_transparency", "trim_transparent_edges"])
def test_interpreter_exit_with_daemon_threads_inside_a_call(method, large_png):
    for _ in range(3):
        result = run_child(DAEMONS_AT_EXIT, method, large_png)
        assert (result.returncode, result.stderr) == (0, "")


# A logger whose error() calls is_plain_gray again: each level adds our
# frames and a Python frame called from C to the thread's C stack. The
# outermost call must raise RecursionError (as the same code in plain Python
# does), on small stacks as on the default one.
REENTRANT_LOGGER = """
    import sys, threading
    from tessel.image import ImageTool
    class Logger:
        def error(self, message):
            ImageTool.is_plain_gray(0, logger=self)
    outcome = []
    def run():
        try:
            ImageTool.is_plain_gray(0, logger=Logger())
            outcome.append("returned")
        except BaseException as e:
            outcome.append(type(e).__name__)
    if sys.argv[1] != "default":
        threading.stack_size(int(sys.argv[1]) * 1024)
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    print(*outcome)
"""


@pytest.mark.parametrize("stack_kib", ["256", "512", "default"])
def test_reentrant_logger_raises_recursion_error(stack_kib):
    result = run_child(REENTRANT_LOGGER, stack_kib)
    assert (result.returncode, result.stdout, result.stderr) == (0, "RecursionError\n", "")
