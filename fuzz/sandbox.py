"""Process set-up shared by the fuzz harnesses.

The harnesses call into methods that download, sleep, print, log, draw
progress bars and walk directories. Under a fuzzer all of that has to be
contained: only one closed loopback port may be dialled, waits return at once
(after the same argument checks as `time.sleep`), the console stays quiet,
relative paths resolve inside a scratch directory, and large declared image
sizes are refused early so that slow-but-correct work on huge pictures is not
mistaken for a hang.
"""

from __future__ import annotations

import contextlib
import io
import logging
import math
import operator
import os
import socket
import sys
import tempfile
import warnings
from pathlib import Path

# Pixel budget while fuzzing: Pillow refuses images above twice this many
# pixels, and the plain-colour check scales its own guard from the same value.
FUZZ_MAX_IMAGE_PIXELS = 1 << 20

_LOOPBACK_HOSTS = {"127.0.0.1", "localhost", "::1"}


def silence_opencv() -> None:
    """OpenCV logs every rejected input; it reads this when cv2 is imported,
    so the harnesses call this before importing the extension modules."""
    os.environ.setdefault("OPENCV_LOG_LEVEL", "OFF")


def closed_port() -> int:
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    return port


class InstantClock:
    """Stands in for the `time` module of the extensions: validates, never waits."""

    def __init__(self) -> None:
        self.calls = 0

    def sleep(self, seconds) -> None:
        # time.sleep takes a float (subclasses included) or an integer by
        # __index__; anything else is a TypeError.
        value = float(seconds) if isinstance(seconds, float) else float(operator.index(seconds))
        if math.isnan(value):
            raise ValueError("Invalid value NaN (not a number)")
        if value < 0:
            raise ValueError("sleep length must be non-negative")
        if value > 1e15:
            raise OverflowError("sleep length is too large")
        self.calls += 1

    def __getattr__(self, name):
        import time

        return getattr(time, name)


def confine_network(allowed_port: int) -> None:
    """Lets name resolution succeed only for the one closed loopback port."""
    real = socket.getaddrinfo

    def guarded(host, port, *args, **kwargs):
        name = host.decode("ascii", "replace") if isinstance(host, (bytes, bytearray)) else host
        try:
            port_number = int(port) if port is not None else None
        except (TypeError, ValueError):
            port_number = None
        if name not in _LOOPBACK_HOSTS or port_number != allowed_port:
            raise socket.gaierror(socket.EAI_NONAME, "name resolution disabled while fuzzing")
        return real(host, port, *args, **kwargs)

    socket.getaddrinfo = guarded


def scratch_dir() -> Path:
    """A private working directory; the process chdirs into it."""
    path = Path(tempfile.mkdtemp(prefix="tessel-fuzz-"))
    os.chdir(path)
    return path


def quiet() -> None:
    os.environ.setdefault("TQDM_DISABLE", "1")
    logging.disable(logging.CRITICAL)
    warnings.simplefilter("ignore")


@contextlib.contextmanager
def muted_stdout():
    """Download diagnostics are printed; keep them off the fuzzer's console."""
    with contextlib.redirect_stdout(io.StringIO()):
        yield


def prepare(image_module, http_module=None) -> int:
    """Applies every containment to the imported extension modules.

    Returns the closed port that URLs in the harnesses point at.
    """
    quiet()
    port = closed_port()
    confine_network(port)
    from PIL import Image

    Image.MAX_IMAGE_PIXELS = FUZZ_MAX_IMAGE_PIXELS
    image_module.time = InstantClock()
    if http_module is not None:
        http_module.time = InstantClock()
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 3000))
    return port
