"""Network faults on loopback, for the image download and the HTTP client.

Each fault must end the way the retry rules say (the image download retries
every failure and ends in ServiceError; the client retries only connection
failures and ends in "Service connection error", anything else propagates at
once), with the recorded waits in place of real sleeps, and no call may hang
past its timeouts. Large downloads are measured in a child process.
"""

from __future__ import annotations

import time

import pytest
import requests

import tessel.http
import tessel.image
from faultdefs import ServiceError
from support.faults import SANITIZED, BigBodyServer, expected_byte_sum, measure_in_subprocess
from support.server import Reply, closed_port

ImageTool = tessel.image.ImageTool
HttpRequestClient = tessel.http.HttpRequestClient

# No call in this file may take longer than this; every timeout used is far
# shorter, so going past it means a timeout was not honoured.
HANG_LIMIT = 15.0

DRIP_BODY = b"d" * 40  # 40 s at one byte per second


class LineLogger:
    def __init__(self):
        self.lines = []

    def error(self, msg):
        self.lines.append(msg)


class Waits:
    def __init__(self):
        self.waits = []

    def sleep(self, seconds):
        self.waits.append(seconds)


@pytest.fixture
def http_sleeps(monkeypatch):
    recorder = Waits()
    monkeypatch.setattr(tessel.http, "time", recorder)
    return recorder


def _timed(fn):
    start = time.monotonic()
    try:
        return fn()
    finally:
        assert time.monotonic() - start < HANG_LIMIT


# Each fault: how to make the URL, and the text the failure line carries.
def _refused(server):
    return f"http://127.0.0.1:{closed_port()}/refused"


def _reset(server):
    return server.reply("/reset", Reply(200, b"r" * 5000, reset=True))


def _short(server):
    return server.reply("/short", Reply(200, b"abc", length=1000))


def _drip(server):
    return server.reply("/drip", Reply(200, DRIP_BODY, drip=1.0))


def _slow_drip(server):
    # One byte at once, then one every 3 s: a 1 s read time-out always falls
    # inside the body, however late a loaded machine delivers the headers.
    return server.reply("/drip", Reply(200, DRIP_BODY, drip=3.0))


def _server_error(server):
    return server.reply("/5xx", Reply(503, b"busy"))


def _redirect_loop(server):
    return server.reply("/loop", Reply(302, b"", headers={"Location": "/loop"}))


# (fault, url maker, requests per attempt seen by the server, failure-line prefix)
DOWNLOAD_FAULTS = [
    ("refused", _refused, 0, "请求发生错误: "),
    ("reset", _reset, 1, "请求发生错误: "),
    ("short", _short, 1, "请求发生错误: "),
    ("drip", _drip, 1, "请求发生错误: "),
    ("5xx", _server_error, 1, "请求失败，状态码: 503, "),
    ("redirect_loop", _redirect_loop, 31, "请求发生错误: "),
]


@pytest.mark.parametrize("fault,make_url,per_attempt,prefix", DOWNLOAD_FAULTS, ids=[f[0] for f in DOWNLOAD_FAULTS])
def test_download_fault_ends_in_service_error(server, image_sleeps, fault, make_url, per_attempt, prefix):
    url = make_url(server)
    logger = LineLogger()
    with pytest.raises(ServiceError) as info:
        _timed(lambda: ImageTool.get_img_url_io(url, logger=logger, timeout=0.3))
    assert info.value.extra_data == {"url": url}
    assert image_sleeps.waits == [0.5, 1.0, 2.0]
    assert len(server.requests) == 3 * per_attempt
    failures = [line for line in logger.lines if not line.startswith("第 ")]
    assert len(failures) == 3 and len(logger.lines) == 5
    for line, delay in zip(failures, ("0.5", "1.0", "2.0")):
        assert line.startswith(prefix) and line.endswith(f", {delay}s 后重试...: {url}")


# A redirect loop served from a two-reply script would end after one redirect,
# so recovery is checked for the single-response faults.
RECOVERABLE = DOWNLOAD_FAULTS[1:5]


@pytest.mark.parametrize("fault,make_url,_per_attempt,_prefix", RECOVERABLE, ids=[f[0] for f in RECOVERABLE])
def test_download_recovers_with_a_fresh_stream(server, image_sleeps, fault, make_url, _per_attempt, _prefix):
    """A failed attempt's partial bytes never leak into the returned stream."""
    url = make_url(server)
    path = url[url.rindex("/") :]
    good = bytes(range(256)) * 20
    failing = server.routes[path][0]
    server.reply(path, failing, Reply(200, good))
    stream = _timed(lambda: ImageTool.get_img_url_io(url, max_retries=2, timeout=0.3, logger=LineLogger()))
    assert stream.getvalue() == good and stream.tell() == len(good)
    assert image_sleeps.waits == [0.5]


@pytest.mark.parametrize("method", ["has_multiple_transparency", "is_plain_gray", "has_colored_lines"])
def test_image_methods_reach_the_same_download_faults(server, image_sleeps, capsys, method):
    url = _short(server)
    call = getattr(ImageTool, method)
    if method == "is_plain_gray":  # reports failures in its result
        verdict, metrics, message = _timed(lambda: call(url))
        assert verdict is False and metrics == {"std": 0, "edge_ratio": 100, "saturation": 0}
        assert message.startswith("无效的图片资源")
    else:
        with pytest.raises(ServiceError):
            _timed(lambda: call(url))
    assert image_sleeps.waits == [0.5, 1.0, 2.0]
    assert len(capsys.readouterr().out.splitlines()) == 5


# The client: only connection errors (refused, read time-out while the body
# drips) are retried; everything else comes back or propagates at once.
CLIENT_FAULTS = [
    ("refused", _refused, requests.exceptions.RequestException, 0),
    ("drip", _slow_drip, requests.exceptions.RequestException, 1),
    ("reset", _reset, requests.exceptions.ChunkedEncodingError, 1),
    ("short", _short, requests.exceptions.ChunkedEncodingError, 1),
    ("redirect_loop", _redirect_loop, requests.exceptions.TooManyRedirects, 31),
]


@pytest.mark.parametrize("fault,make_url,error,per_attempt", CLIENT_FAULTS, ids=[f[0] for f in CLIENT_FAULTS])
@pytest.mark.parametrize("verb", ["request", "get", "post"])
def test_client_fault(server, http_sleeps, fault, make_url, error, per_attempt, verb):
    url = make_url(server)
    client = HttpRequestClient()
    if verb == "request":
        send = lambda: client.request("GET", url, timeout=1.0)  # noqa: E731
    elif verb == "get":
        # get() takes whole seconds only; without one it uses base_timeout,
        # which may be any number.
        client.base_timeout = 1.0
        send = lambda: client.get(url)  # noqa: E731
    else:
        send = lambda: client.post(url, timeout=1.0)  # noqa: E731
    with pytest.raises(error) as info:
        _timed(send)
    retried = error is requests.exceptions.RequestException
    if retried:
        assert type(info.value) is requests.exceptions.RequestException
        assert str(info.value) == "Service connection error"
        assert isinstance(info.value.__context__, requests.exceptions.ConnectionError)
        assert info.value.__cause__ is None
        assert http_sleeps.waits == [1, 2]
        assert len(server.requests) == 3 * per_attempt
    else:
        assert http_sleeps.waits == []
        assert len(server.requests) == per_attempt


@pytest.mark.parametrize("status", [500, 502, 503])
def test_client_returns_server_errors_without_retry(server, http_sleeps, status):
    url = server.reply("/5xx", Reply(status, b"oops"), Reply(200, b"fine"))
    response = _timed(lambda: HttpRequestClient().get(url, timeout=1))
    assert response.status_code == status and response.content == b"oops"
    assert http_sleeps.waits == [] and len(server.requests) == 1


def test_client_recovers_after_refused_attempts(server, http_sleeps, monkeypatch):
    """Connection failures are retried; the first answer that arrives is returned."""
    url = server.reply("/ok", Reply(200, b"late"))
    refused = f"http://127.0.0.1:{closed_port()}/x"
    client = HttpRequestClient()
    real = client.session.request
    calls = []

    def flaky(**kwargs):
        calls.append(kwargs["url"])
        if len(calls) < 3:
            kwargs["url"] = refused
        return real(**kwargs)

    monkeypatch.setattr(client.session, "request", flaky)
    response = _timed(lambda: client.get(url, timeout=1))
    assert response.content == b"late" and calls == [url] * 3
    assert http_sleeps.waits == [1, 2]


# --- a body larger than 100 MB ---------------------------------------------

BIG = 105 * 1000 * 1000


@pytest.fixture(scope="module")
def big_server():
    srv = BigBodyServer(BIG)
    yield srv
    srv.close()


_DOWNLOADS = {
    "get_img_url_io": (
        "import tessel.image as m\n"
        "fetch = lambda url: m.ImageTool.get_img_url_io(url).getbuffer()"
    ),
    "get_img_url_bytes": (
        "import tessel.image as m\n"
        "fetch = lambda url: m.ImageTool.get_img_url_bytes(url)"
    ),
    "client_get_streamed": (
        "import io, tessel.http as m\n"
        "def fetch(url):\n"
        "    out = io.BytesIO()\n"
        "    for piece in m.HttpRequestClient().get(url, timeout=30, stream=True).iter_content(1 << 16):\n"
        "        out.write(piece)\n"
        "    return out.getbuffer()"
    ),
    # requests assembles a non-streamed body by joining its chunk list, which
    # briefly holds the body twice: allow the interpreter's own slack on top.
    "client_get": (
        "import tessel.http as m\n"
        "fetch = lambda url: m.HttpRequestClient().get(url, timeout=30).content"
    ),
}
_SLACK = {"client_get": 16 * 1024 * 1024}


@pytest.mark.parametrize("how", list(_DOWNLOADS))
def test_download_larger_than_100mb_stays_within_twice_its_size(big_server, how):
    code = f"""
import numpy as np
{_DOWNLOADS[how]}
before = peak_rss()
data = fetch({big_server.url()!r})
grown = peak_rss() - before
view = np.frombuffer(data, dtype=np.uint8)
print(json.dumps({{"size": view.size, "sum": int(view.sum(dtype=np.uint64)), "grown": grown}}))
"""
    result = measure_in_subprocess(code, timeout=120)
    assert result["size"] == BIG
    assert result["sum"] == expected_byte_sum(BIG)
    assert SANITIZED or result["grown"] <= 2 * BIG + _SLACK.get(how, 0), result
