"""Helpers for the tessel.http tests: a wait recorder standing in for the
module's `time`, and a real requests.Session that records what it is asked."""

from __future__ import annotations

from typing import Callable, List, Optional

import pytest
import requests


class WaitRecorder:
    """Stands in for tessel.http.time: records waits instead of sleeping and
    runs an optional hook on each wait (to change things between attempts)."""

    def __init__(self):
        self.waits: List[object] = []
        self.hook: Optional[Callable[[object], None]] = None

    def sleep(self, seconds):
        self.waits.append(seconds)
        if self.hook is not None:
            self.hook(seconds)


@pytest.fixture
def http_sleeps(monkeypatch):
    import tessel.http

    recorder = WaitRecorder()
    monkeypatch.setattr(tessel.http, "time", recorder)
    return recorder


class RecordingSession(requests.Session):
    """A real session (real transport) that keeps the keywords of every
    request call, in order, and the exception each failed call raised."""

    def __init__(self):
        super().__init__()
        self.calls: List[tuple] = []
        self.errors: List[BaseException] = []

    def request(self, *args, **kwargs):
        self.calls.append((args, list(kwargs.items())))
        try:
            return super().request(*args, **kwargs)
        except BaseException as exc:
            self.errors.append(exc)
            raise


def recording_client(**settings):
    """A client whose session records its calls (the User-Agent is kept)."""
    from tessel.http import HttpRequestClient

    client = HttpRequestClient(**settings)
    session = RecordingSession()
    session.headers["User-Agent"] = client.session.headers["User-Agent"]
    client.session = session
    return client


@pytest.fixture(scope="module")
def shared_server():
    """One loopback server per test module (shutting one down takes 0.5 s)."""
    from support.server import LoopbackServer

    srv = LoopbackServer()
    yield srv
    srv.close()


@pytest.fixture
def server(shared_server):
    """Overrides the per-test server: the module's shared one, its record of
    requests cleared."""
    with shared_server.lock:
        shared_server.requests.clear()
    return shared_server
