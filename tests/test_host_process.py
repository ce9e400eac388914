"""The host process survives us: daemon threads inside a call at interpreter
exit, and re-entrant calls on small thread stacks. Each case runs in a child
interpreter, whose exit status is the verdict."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from PIL import Image


def run_child(code, *args):
    return subprocess.run(
        [sys.executable, "-W", "ignore::DeprecationWarning", "-c", textwrap.dedent(code), *map(str, args)],
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
# the interpreter finalises and ends them. OpenCV's binding would abort the
# process if its decode returned then (it does so under plain Python code
# calling cv2.imdecode): the exit waits for our calls into OpenCV, and later
# ones from daemon threads wait for the end of the process. An exit function
# registered before the import runs after that, and checks one image more
# on the exiting thread itself.
DAEMONS_AT_EXIT = """
    import atexit, sys, threading
    atexit.register(lambda: print(call(path) is not None))
    import tessel
    from tessel.image import ImageTool
    name, path = sys.argv[1], sys.argv[2]
    call = tessel.check if name == "check" else getattr(ImageTool, name)
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


@pytest.mark.parametrize(
    "method", ["check", "is_plain_gray", "has_colored_lines", "has_multiple_transparency", "trim_transparent_edges"]
)
def test_interpreter_exit_with_daemon_threads_inside_a_call(method, large_png):
    for _ in range(3):
        result = run_child(DAEMONS_AT_EXIT, method, large_png)
        assert (result.returncode, result.stderr, result.stdout) == (0, "", "True\n")


# A finaliser that runs while the interpreter tears its modules down, after
# the exit functions: a thread started then could be ended before it runs,
# so the check must not wait for one.
CHECK_IN_TEARDOWN = """
    import sys
    from tessel import _checks
    class Late:
        def __init__(self, *args):
            self.args = args
        def __del__(self):
            data, check_all, out = self.args
            out.write(repr(check_all(data, 30.0, 0.01, 5)[2][1][0]))
    with open(sys.argv[1], "rb") as f:
        late = Late(f.read(), _checks.check_all, sys.stdout)
"""


def test_check_from_a_finaliser_during_teardown(large_png):
    result = run_child(CHECK_IN_TEARDOWN, large_png)
    assert (result.returncode, result.stderr, result.stdout) == (0, "", "False")


# A process forked while another thread is inside OpenCV: in the child that
# thread does not exist, and the child's exit must not wait for it.
FORK_INSIDE_A_CALL = """
    import os, sys, threading
    from tessel.image import ImageTool
    started = threading.Event()
    def loop():
        while True:
            started.set()
            ImageTool.is_plain_gray(sys.argv[1])
    threading.Thread(target=loop, daemon=True).start()
    started.wait()
    for _ in range(3):
        pid = os.fork()
        if pid == 0:
            sys.exit(0)
        os.waitpid(pid, 0)
"""


def test_forked_child_exits_while_the_parent_is_inside_a_call(large_png):
    result = run_child(FORK_INSIDE_A_CALL, large_png)
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


# With no thread to be had (an unprivileged user at a process limit of one:
# the interpreter's own threads already exceed it), the one-pass check runs
# both decoders, and the measurements, on the calling thread, with the same
# record.
NO_THREADS = """
    import os, resource, sys
    import tessel
    from tessel import _checks
    _checks._side_thread("always")
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    before = tessel.check(data)
    os.setgid(65534)
    os.setuid(65534)
    resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))
    print(tessel.check(data) == before, before["ok"])
"""


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="needs root to become another user")
def test_check_without_threads_runs_inline(large_png):
    result = run_child(NO_THREADS, large_png)
    assert (result.returncode, result.stderr, result.stdout) == (0, "", "True True\n")
