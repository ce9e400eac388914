"""Loopback helpers for fault tests that the scripted server does not cover.

`BigBodyServer` streams a body of any size, generated on the fly in 1 MiB
pieces, so that a test can download hundreds of megabytes without the server
holding them. `measure_in_subprocess` runs a snippet in a fresh interpreter
and returns the JSON it prints, for measurements (peak RSS) that must not be
blurred by the test process itself.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Dict, Optional

_PIECE = bytes(range(256)) * 4096  # 1 MiB

# Under AddressSanitizer (tools/sanitize.sh preloads it) freed memory waits in
# a quarantine of up to 256 MiB and every mapping carries shadow memory, so a
# child's peak memory says nothing about what the code keeps: the bounds are
# checked by the uninstrumented runs, the outcomes by both.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


class _BigBodyHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):  # noqa: A002 - keep test output quiet
        pass

    def do_GET(self):
        size = self.server.body_size
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(size))
        self.end_headers()
        left = size
        try:
            while left > 0:
                piece = _PIECE if left >= len(_PIECE) else _PIECE[:left]
                self.wfile.write(piece)
                left -= len(piece)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True


class BigBodyServer:
    """Answers every GET with `body_size` bytes (the 0..255 byte cycle)."""

    def __init__(self, body_size: int) -> None:
        self._server = ThreadingHTTPServer(("127.0.0.1", 0), _BigBodyHandler)
        self._server.daemon_threads = True
        self._server.body_size = body_size
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    def url(self, path: str = "/big") -> str:
        return f"http://127.0.0.1:{self._server.server_address[1]}{path}"

    def close(self) -> None:
        self._server.shutdown()
        self._server.server_close()


def expected_byte_sum(size: int) -> int:
    """Sum of the first `size` bytes of the generated body (a cheap checksum)."""
    whole, rest = divmod(size, 256)
    return whole * (255 * 256 // 2) + rest * (rest - 1) // 2


def measure_in_subprocess(code: str, timeout: float = 120.0, env: Optional[Dict[str, str]] = None) -> dict:
    """Runs `code` in a new interpreter; it must print one JSON object last.

    The child gets `peak_rss()` (its own peak in bytes) predefined, the
    tests directory on its path so that `support` is importable, and the
    variables of `env` on top of this process's environment.
    """
    prelude = textwrap.dedent(
        """
        import json, resource, sys
        def peak_rss():
            # ru_maxrss of a process started by (v)fork and exec begins at its
            # parent's peak; VmHWM is the peak of this process's own memory.
            try:
                with open("/proc/self/status") as status:
                    for line in status:
                        if line.startswith("VmHWM:"):
                            return int(line.split()[1]) * 1024
            except OSError:
                pass
            return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        """
    )
    env = dict(os.environ, **(env or {}))
    tests_dir = str(Path(__file__).resolve().parent.parent)
    env["PYTHONPATH"] = tests_dir + os.pathsep + env.get("PYTHONPATH", "")
    proc = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
        cwd=tests_dir,
    )
    if proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])
