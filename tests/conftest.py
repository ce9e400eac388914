import pytest
import trustme

from support.server import LoopbackServer


@pytest.fixture
def server():
    srv = LoopbackServer()
    yield srv
    srv.close()


@pytest.fixture(scope="session")
def tls_authority():
    return trustme.CA()


@pytest.fixture
def tls_server(tls_authority):
    """An HTTPS server whose certificate no client trusts."""
    context = __import__("ssl").SSLContext(__import__("ssl").PROTOCOL_TLS_SERVER)
    tls_authority.issue_cert("127.0.0.1").configure_cert(context)
    srv = LoopbackServer(ssl_context=context)
    yield srv
    srv.close()


class SleepRecorder:
    """Stands in for the `time` module: records waits instead of sleeping."""

    def __init__(self):
        self.waits = []

    def sleep(self, seconds):
        if seconds < 0:
            raise ValueError("sleep length must be non-negative")
        self.waits.append(seconds)


@pytest.fixture
def image_sleeps(monkeypatch):
    import tessel.image

    recorder = SleepRecorder()
    monkeypatch.setattr(tessel.image, "time", recorder)
    return recorder
