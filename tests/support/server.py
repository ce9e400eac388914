"""A scripted HTTP(S) server on 127.0.0.1 for tests.

Each path gets a list of replies served in order (the last one repeats);
every request is recorded. Replies can stream chunked bodies (also endless
ones), lie about their length, drip bytes slowly, or reset the connection
after the headers. The server listens on 127.0.0.1 or on another loopback
address such as ::1.
"""

from __future__ import annotations

import json
import socket
import ssl
import sys
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Dict, List, Optional
from urllib.parse import parse_qs, urlsplit


@dataclass
class Reply:
    status: int = 200
    body: bytes = b""
    headers: Dict[str, str] = field(default_factory=dict)
    chunked: bool = False  # Transfer-Encoding: chunked, in chunks of `chunk_size` bytes
    chunk_size: int = 1024
    delay: float = 0.0  # seconds before the status line
    drip: float = 0.0  # seconds between body bytes
    length: Optional[int] = None  # Content-Length to announce (default: len(body))
    reset: bool = False  # close the connection right after the headers
    echo: bool = False  # body = JSON of the recorded request
    endless: bool = False  # chunked, `body` repeated until the client goes away


@dataclass
class Recorded:
    method: str
    path: str
    query: Dict[str, List[str]]
    headers: Dict[str, str]
    body: bytes


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: "_Server"

    def log_message(self, format, *args):  # noqa: A002 - keep test output quiet
        pass

    def _serve(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        parts = urlsplit(self.path)
        record = Recorded(self.command, parts.path, parse_qs(parts.query), dict(self.headers.items()), body)
        owner = self.server.owner
        with owner.lock:
            owner.requests.append(record)
            queue = owner.routes.get(parts.path) or [Reply(404, b"not found")]
            reply = queue.pop(0) if len(queue) > 1 else queue[0]
        if reply.delay:
            time.sleep(reply.delay)
        payload = reply.body
        if reply.echo:
            payload = json.dumps(
                {
                    "method": record.method,
                    "path": record.path,
                    "query": record.query,
                    "headers": record.headers,
                    "body": record.body.decode("latin-1"),
                }
            ).encode()
        self.send_response(reply.status)
        for key, value in reply.headers.items():
            self.send_header(key, value)
        if reply.chunked or reply.endless:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(len(payload) if reply.length is None else reply.length))
        self.end_headers()
        self.wfile.flush()
        if reply.reset:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            self.close_connection = True
            return
        try:
            if reply.endless:
                piece = b"%x\r\n%s\r\n" % (len(payload), payload)
                while True:
                    self.wfile.write(piece)
            elif reply.chunked:
                step = reply.chunk_size
                for i in range(0, len(payload), step):
                    piece = payload[i : i + step]
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                self.wfile.write(b"0\r\n\r\n")
            elif reply.drip:
                for i in range(len(payload)):
                    self.wfile.write(payload[i : i + 1])
                    self.wfile.flush()
                    time.sleep(reply.drip)
            else:
                self.wfile.write(payload)
            if reply.length is not None and reply.length != len(payload):
                self.close_connection = True
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = _serve


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    owner: "LoopbackServer"

    def handle_error(self, request, client_address):
        # A client that hangs up before sending a request (a refused peer, a
        # download stopped early) is part of the tests, not a server fault.
        if not isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError)):
            super().handle_error(request, client_address)


class _Server6(_Server):
    address_family = socket.AF_INET6


class LoopbackServer:
    def __init__(self, ssl_context: Optional[ssl.SSLContext] = None, port: int = 0, host: str = "127.0.0.1"):
        self.lock = threading.Lock()
        self.routes: Dict[str, List[Reply]] = {}
        self.requests: List[Recorded] = []
        self.host = host
        server_class = _Server6 if ":" in host else _Server
        self._server = server_class((host, port), _Handler)
        self._server.owner = self
        if ssl_context is not None:
            self._server.socket = ssl_context.wrap_socket(self._server.socket, server_side=True)
        self.scheme = "https" if ssl_context is not None else "http"
        # A short poll keeps close() (which waits for the loop to notice) quick.
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self._thread.start()

    @property
    def port(self) -> int:
        return self._server.server_address[1]

    def url(self, path: str = "/") -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"{self.scheme}://{host}:{self.port}{path}"

    def reply(self, path: str, *replies: Reply) -> str:
        """Scripts `path` and returns its URL."""
        with self.lock:
            self.routes[path] = list(replies)
        return self.url(path)

    def close(self) -> None:
        self._server.shutdown()
        self._server.server_close()


def closed_port() -> int:
    """A loopback port on which nothing listens (connections are refused)."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    return port
