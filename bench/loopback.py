"""A loopback HTTP/1.1 server for the download benchmarks, run as its own
process so that serving does not compete with the client for the GIL.

GET /bytes/N answers 200 with N deterministic bytes (keep-alive, with a
Content-Length). Prints the port on its first line, then serves until killed.
"""

from __future__ import annotations

import random
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

_BODIES = {}


def _body(size: int) -> bytes:
    if size not in _BODIES:
        _BODIES[size] = random.Random(size).randbytes(size)
    return _BODIES[size]


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # headers and body leave in separate writes: without TCP_NODELAY the
    # second one waits for the client's delayed ACK (40 ms per request)
    disable_nagle_algorithm = True

    def do_GET(self):  # noqa: N802 - the http.server naming
        try:
            size = int(self.path.rsplit("/", 1)[1]) if self.path.startswith("/bytes/") else -1
        except ValueError:
            size = -1
        if size < 0 or size > 64 << 20:
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        body = _body(size)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format, *args):  # noqa: A002 - keep the console quiet
        pass


def main() -> int:
    server = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
