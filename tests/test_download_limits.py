"""Hostile servers against the image download and HttpRequestClient: a gzip
bomb, large, endless and dripping bodies, slow headers, redirects, and
servers on private addresses, with the limits of tessel.limits."""

from __future__ import annotations

import gzip
import socket
import time

import pytest

import tessel.http
import tessel.image
import tessel.limits as limits
from faultdefs import ServiceError
from support.faults import SANITIZED, measure_in_subprocess
from support.http_client import WaitRecorder
from support.recorders import ListLogger
from support.server import LoopbackServer, Reply

ImageTool = tessel.image.ImageTool
HttpRequestClient = tessel.http.HttpRequestClient

MiB = 1 << 20
ATTEMPTS = {"image": 3, "client": 1}  # the client never retries a limit error
HOWS = list(ATTEMPTS)


def _bomb() -> bytes:
    # 96 gzip members of 16 MiB of zeros: about 1.5 MB that inflates to 1.5 GiB.
    return gzip.compress(bytes(16 * MiB), 9) * 96


@pytest.fixture(scope="module")
def bomb():
    return _bomb()


BIG_BODY = bytes(range(256)) * (5 * 1000 * 1000 // 256)  # about 5 MB, ordinary


@pytest.fixture
def set_limits(monkeypatch):
    monkeypatch.setattr(tessel.image, "time", WaitRecorder())
    monkeypatch.setattr(tessel.http, "time", WaitRecorder())

    def apply(**settings):
        for name, value in settings.items():
            monkeypatch.setattr(limits, name, value)

    return apply


def fetch(how, url):
    """The body, or the messages of the failed attempts (each attempt of the
    image download is logged; the client raises the first)."""
    if how == "image":
        logger = ListLogger()
        try:
            return ImageTool.get_img_url_bytes(url, logger=logger)
        except ServiceError:
            return [line for line in logger.lines if line.startswith("请求发生错误: ")]
    try:
        return HttpRequestClient().get(url).content
    except limits.DownloadLimitError as exc:
        assert not isinstance(exc, __import__("requests").exceptions.ConnectionError)
        return [f"{type(exc).__name__}: {exc}"]


# --- bytes and time ------------------------------------------------------------

# (scenario, reply, settings, what each failed attempt says)
SCENARIOS = {
    "bomb-capped": (lambda b: Reply(200, b, headers={"Content-Encoding": "gzip"}), {"MAX_DOWNLOAD_BYTES": MiB},
                    "larger than MAX_DOWNLOAD_BYTES (1048576)"),
    "big-capped": (lambda b: Reply(200, BIG_BODY), {"MAX_DOWNLOAD_BYTES": MiB},
                   "larger than MAX_DOWNLOAD_BYTES (1048576)"),
    "endless-capped": (lambda b: Reply(200, bytes(64 * 1024), endless=True), {"MAX_DOWNLOAD_BYTES": MiB},
                       "larger than MAX_DOWNLOAD_BYTES (1048576)"),
    "drip-deadline": (lambda b: Reply(200, bytes(20000), drip=0.02), {"DOWNLOAD_DEADLINE": 0.3},
                      "DOWNLOAD_DEADLINE of 0.3 s ran out"),
    "slow-headers-deadline": (lambda b: Reply(200, b"late", delay=2.0), {"DOWNLOAD_DEADLINE": 0.3},
                              "DOWNLOAD_DEADLINE of 0.3 s ran out"),
    "bomb-behind-redirect": (None, {"MAX_DOWNLOAD_BYTES": MiB}, "larger than MAX_DOWNLOAD_BYTES (1048576)"),
}


@pytest.mark.parametrize("how", HOWS)
@pytest.mark.parametrize("scenario", list(SCENARIOS))
def test_limit_ends_each_attempt(server, set_limits, bomb, how, scenario):
    make_reply, settings, says = SCENARIOS[scenario]
    set_limits(**settings)
    if make_reply is None:
        server.reply("/bomb", Reply(200, bomb, headers={"Content-Encoding": "gzip"}))
        url = server.reply("/img", Reply(302, headers={"Location": "/bomb"}))
    else:
        url = server.reply("/img", make_reply(bomb))
    started = time.monotonic()
    failures = fetch(how, url)
    elapsed = time.monotonic() - started
    assert isinstance(failures, list), "the download was not stopped"
    assert len(failures) == ATTEMPTS[how]
    assert all(says in line and url in line for line in failures), failures
    if how == "client":
        expected = "DownloadTooLarge" if "MAX_DOWNLOAD_BYTES" in says else "DownloadDeadlineExceeded"
        assert failures[0].startswith(expected)
    assert len([r for r in server.requests if r.path == "/img"]) == ATTEMPTS[how]
    deadline = settings.get("DOWNLOAD_DEADLINE")
    if deadline:  # a generous bound: the server would go on for far longer
        assert elapsed < ATTEMPTS[how] * deadline * 3 + 1.0


@pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
@pytest.mark.parametrize("how", HOWS)
def test_deadline_bounds_reads_over_tls(tls_server, set_limits, how):
    set_limits(DOWNLOAD_DEADLINE=0.3)
    url = tls_server.reply("/img", Reply(200, bytes(20000), drip=0.02))
    started = time.monotonic()
    if how == "client":
        with pytest.raises(limits.DownloadDeadlineExceeded):
            HttpRequestClient().get(url, verify=False)
    else:
        assert len(fetch(how, url)) == 3
    assert time.monotonic() - started < ATTEMPTS[how] * 0.9 + 1.0


@pytest.mark.parametrize("how", HOWS)
def test_bodies_within_the_limits_arrive_whole(server, set_limits, how):
    set_limits(MAX_DOWNLOAD_BYTES=len(BIG_BODY), DOWNLOAD_DEADLINE=30.0)
    server.reply("/big", Reply(200, BIG_BODY, chunked=True))
    url = server.reply("/img", Reply(301, headers={"Location": "/big"}))
    assert fetch(how, url) == BIG_BODY


def test_a_streamed_client_response_stays_under_the_cap(server, set_limits):
    set_limits(MAX_DOWNLOAD_BYTES=MiB)
    url = server.reply("/img", Reply(200, BIG_BODY))
    response = HttpRequestClient().get(url, stream=True)
    received = 0
    with pytest.raises(limits.DownloadTooLarge):
        for piece in response.iter_content(64 * 1024):
            received += len(piece)
    assert received <= MiB


def test_client_session_keeps_its_adapters_settings_and_drops_limits_later(server, set_limits):
    import requests

    class OwnAdapter(requests.adapters.HTTPAdapter):
        pass

    client = HttpRequestClient()
    client.session.mount("http://127.0.0.1", requests.adapters.HTTPAdapter(max_retries=5))
    own = OwnAdapter()
    client.session.mount("http://own.invalid", own)
    set_limits(MAX_DOWNLOAD_BYTES=MiB)
    url = server.reply("/img", Reply(200, BIG_BODY))
    with pytest.raises(limits.DownloadTooLarge):
        client.get(url)
    mounted = client.session.adapters
    assert isinstance(mounted["http://127.0.0.1"], limits._GuardedAdapter)
    assert mounted["http://127.0.0.1"].max_retries.total == 5
    assert mounted["http://own.invalid"] is own
    # Back at the defaults, the guarded session is as open as a plain one.
    set_limits(MAX_DOWNLOAD_BYTES=None)
    assert client.get(url).content == BIG_BODY


@pytest.mark.parametrize("how", HOWS)
@pytest.mark.parametrize(
    "name, value, error",
    [
        ("MAX_DOWNLOAD_BYTES", "1024", TypeError),
        ("MAX_DOWNLOAD_BYTES", 1.5, TypeError),
        ("MAX_DOWNLOAD_BYTES", True, TypeError),
        ("MAX_DOWNLOAD_BYTES", -1, ValueError),
        ("DOWNLOAD_DEADLINE", "2", TypeError),
        ("DOWNLOAD_DEADLINE", True, TypeError),
        ("DOWNLOAD_DEADLINE", 0, ValueError),
        ("DOWNLOAD_DEADLINE", float("nan"), ValueError),
    ],
)
def test_a_malformed_setting_fails_the_call_before_any_request(server, set_limits, how, name, value, error):
    set_limits(**{name: value})
    url = server.reply("/img", Reply(200, b"abc"))
    with pytest.raises(error, match=name):
        if how == "image":
            ImageTool.get_img_url_bytes(url)
        else:
            HttpRequestClient().get(url)
    assert server.requests == []


@pytest.mark.parametrize("chunked", [False, True], ids=["length", "chunked"])
@pytest.mark.parametrize("encoding", ["gzip", None])
def test_wire_meter_counts_the_encoded_body(server, chunked, encoding):
    import requests

    body = gzip.compress(bytes(range(256)) * 4000) if encoding else BIG_BODY[:300000]
    headers = {"Content-Encoding": encoding} if encoding else {}
    url = server.reply("/img", Reply(200, body, headers=headers, chunked=chunked))
    response = requests.get(url, stream=True)
    meter = limits._wire_meter(response)
    decoded = b"".join(response.iter_content(4096))
    if encoding is None:
        assert meter is None and decoded == body
    else:
        # The body plus, when chunked, the CRLF after each 1 KiB chunk.
        assert meter() == len(body) + (2 * -(-len(body) // 1024) if chunked else 0)
        assert len(decoded) == 1024000


def test_a_large_plain_chunked_body_is_no_bomb(server, image_sleeps):
    body = bytes(range(256)) * (65 * MiB // 256 + 1)
    url = server.reply("/img", Reply(200, body, chunked=True, chunk_size=MiB))
    assert ImageTool.get_img_url_bytes(url) == body


# --- peers -------------------------------------------------------------------------


def _ipv6_loopback():
    if not socket.has_ipv6:
        return None
    try:
        return LoopbackServer(host="::1")
    except OSError:
        return None


@pytest.mark.parametrize("how", HOWS)
@pytest.mark.parametrize("where", ["127.0.0.1", "localhost", "::1"])
def test_private_peer_never_sees_a_request(server, set_limits, how, where):
    target = server
    if where == "::1":
        target = _ipv6_loopback()
        if target is None:
            pytest.skip("no IPv6 loopback on this machine")
    try:
        set_limits(ALLOW_PRIVATE_ADDRESSES=False)
        url = target.reply("/img", Reply(200, b"abc"))
        if where == "localhost":
            url = url.replace("127.0.0.1", "localhost")
        failures = fetch(how, url)
        assert isinstance(failures, list) and len(failures) == ATTEMPTS[how]
        assert all("ALLOW_PRIVATE_ADDRESSES is False" in line and url in line for line in failures), failures
        assert target.requests == []
    finally:
        if target is not server:
            target.close()


@pytest.mark.parametrize("how", HOWS)
def test_every_redirect_hop_is_checked_at_its_peer(server, set_limits, monkeypatch, how):
    """The first hop's peer is let through, the redirect's is not: the second
    server never sees a request."""
    inner = LoopbackServer()
    try:
        checked = []

        def first_peer_only(host):
            checked.append(host)
            return len(checked) % 2 == 1  # each attempt connects twice

        monkeypatch.setattr(limits, "_is_public", first_peer_only)
        set_limits(ALLOW_PRIVATE_ADDRESSES=False)
        target = inner.reply("/img", Reply(200, b"abc"))
        url = server.reply("/hop", Reply(302, headers={"Location": target}))
        failures = fetch(how, url)
        assert isinstance(failures, list) and len(failures) == ATTEMPTS[how]
        assert checked == ["127.0.0.1"] * 2 * ATTEMPTS[how]
        assert len(server.requests) == ATTEMPTS[how] and inner.requests == []
    finally:
        inner.close()


@pytest.mark.parametrize(
    "address, public",
    [
        ("93.184.215.14", True),
        ("2606:2800:21f:cb07:6820:80da:af6b:8b2c", True),
        ("::ffff:93.184.215.14", True),
        ("127.0.0.1", False),
        ("127.8.9.10", False),
        ("10.1.2.3", False),
        ("172.16.0.1", False),
        ("172.31.255.254", False),
        ("192.168.1.1", False),
        ("169.254.169.254", False),  # cloud metadata
        ("0.0.0.0", False),
        ("224.0.0.1", False),
        ("240.0.0.1", False),
        ("255.255.255.255", False),
        ("100.64.0.1", False),  # carrier-grade NAT
        ("::1", False),
        ("::", False),
        ("fc00::1", False),
        ("fd12:3456::1", False),
        ("fe80::1", False),
        ("fe80::1%1", False),
        ("ff02::1", False),
        ("::ffff:127.0.0.1", False),
        ("::ffff:169.254.169.254", False),
        ("::ffff:10.0.0.1", False),
        ("64:ff9b::a00:1", False),  # NAT64 of 10.0.0.1
        ("2002:7f00:1::", False),  # 6to4 of 127.0.0.1
        ("not-an-address", False),
    ],
)
def test_which_peers_count_as_public(address, public):
    assert limits._is_public(address) is public


def test_limit_errors_are_request_errors_but_not_connection_errors():
    import requests

    for error in (limits.DownloadTooLarge, limits.DownloadDeadlineExceeded, limits.AddressRefused):
        assert issubclass(error, requests.exceptions.RequestException)
        assert not issubclass(error, requests.exceptions.ConnectionError)


# --- defaults and the environment ------------------------------------------------


def test_environment_sets_the_starting_values():
    cases = [
        ({}, "None None True"),
        ({"TESSEL_MAX_DOWNLOAD_BYTES": "1048576"}, "1048576 None True"),
        ({"TESSEL_DOWNLOAD_DEADLINE": "2"}, "None 2.0 True"),
        ({"TESSEL_DOWNLOAD_DEADLINE": " 0.25 "}, "None 0.25 True"),
        ({"TESSEL_ALLOW_PRIVATE_ADDRESSES": "0"}, "None None False"),
        ({"TESSEL_ALLOW_PRIVATE_ADDRESSES": "1"}, "None None True"),
        ({"TESSEL_MAX_DOWNLOAD_BYTES": "1MB"}, "ValueError TESSEL_MAX_DOWNLOAD_BYTES"),
        ({"TESSEL_MAX_DOWNLOAD_BYTES": "-5"}, "ValueError TESSEL_MAX_DOWNLOAD_BYTES"),
        ({"TESSEL_DOWNLOAD_DEADLINE": "soon"}, "ValueError TESSEL_DOWNLOAD_DEADLINE"),
        ({"TESSEL_DOWNLOAD_DEADLINE": "0"}, "ValueError TESSEL_DOWNLOAD_DEADLINE"),
        ({"TESSEL_DOWNLOAD_DEADLINE": "inf"}, "ValueError TESSEL_DOWNLOAD_DEADLINE"),
        ({"TESSEL_DOWNLOAD_DEADLINE": "nan"}, "ValueError TESSEL_DOWNLOAD_DEADLINE"),
        ({"TESSEL_ALLOW_PRIVATE_ADDRESSES": "no"}, "ValueError TESSEL_ALLOW_PRIVATE_ADDRESSES"),
    ]
    code = f"""
import importlib, os
import tessel.limits as limits
names = ("TESSEL_MAX_DOWNLOAD_BYTES", "TESSEL_DOWNLOAD_DEADLINE", "TESSEL_ALLOW_PRIVATE_ADDRESSES")
seen = []
for env, _ in {cases!r}:
    for name in names:
        os.environ.pop(name, None)
    os.environ.update(env)
    try:
        importlib.reload(limits)
        seen.append(f"{{limits.MAX_DOWNLOAD_BYTES}} {{limits.DOWNLOAD_DEADLINE}} {{limits.ALLOW_PRIVATE_ADDRESSES}}")
    except ValueError as exc:
        name = next(n for n in names if n in str(exc))
        seen.append(f"ValueError {{name}}")
print(json.dumps(seen))
"""
    clean = {name: "" for name in ("TESSEL_MAX_DOWNLOAD_BYTES", "TESSEL_DOWNLOAD_DEADLINE", "TESSEL_ALLOW_PRIVATE_ADDRESSES")}
    assert measure_in_subprocess(code, timeout=60, env=clean) == [expected for _, expected in cases]


# Peak memory, in a fresh interpreter each: the bomb inflates to 1.5 GiB and
# the endless body never ends, so an unbounded download would show at once.
_CHILD = """
import tessel.http, tessel.image, tessel.limits
from faultdefs import ServiceError
from support.http_client import WaitRecorder
tessel.image.time = tessel.http.time = WaitRecorder()
outcomes = []
for how, url in {runs!r}:
    try:
        if how == "image":
            outcomes.append(len(tessel.image.ImageTool.get_img_url_bytes(url)))
        else:
            outcomes.append(len(tessel.http.HttpRequestClient().get(url).content))
    except (ServiceError, tessel.limits.DownloadLimitError) as exc:
        outcomes.append(type(exc).__name__)
print(json.dumps({{"outcomes": outcomes, "peak": peak_rss()}}))
"""


PEAK_LIMIT = 300 * MiB


@pytest.fixture(scope="module")
def hostile_server(bomb):
    srv = LoopbackServer()
    srv.reply("/bomb", Reply(200, bomb, headers={"Content-Encoding": "gzip"}))
    srv.reply("/endless", Reply(200, bytes(64 * 1024), endless=True))
    srv.reply("/big", Reply(200, BIG_BODY))
    yield srv
    srv.close()


@pytest.mark.parametrize(
    "env, runs, outcomes",
    [
        # No settings: the image download stops the bomb, and still takes an
        # ordinary 5 MB body.
        ({}, [("image", "/bomb"), ("image", "/big")], ["ServiceError", len(BIG_BODY)]),
        (
            {"TESSEL_MAX_DOWNLOAD_BYTES": str(MiB)},
            [("image", "/bomb"), ("client", "/bomb"), ("image", "/endless"), ("client", "/endless")],
            ["ServiceError", "DownloadTooLarge", "ServiceError", "DownloadTooLarge"],
        ),
    ],
    ids=["defaults", "capped"],
)
def test_hostile_bodies_keep_memory_bounded(hostile_server, env, runs, outcomes):
    env = {"TESSEL_MAX_DOWNLOAD_BYTES": "", "TESSEL_DOWNLOAD_DEADLINE": "", "TESSEL_ALLOW_PRIVATE_ADDRESSES": "", **env}
    runs = [(how, hostile_server.url(path)) for how, path in runs]
    result = measure_in_subprocess(_CHILD.format(runs=runs), timeout=120, env=env)
    assert result["outcomes"] == outcomes
    assert SANITIZED or result["peak"] < PEAK_LIMIT, result
