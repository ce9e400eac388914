"""HttpRequestClient against real loopback servers: what is sent, what is
retried and how long it waits, what is raised, and what is left behind."""

import gc
import json
import sys

import pytest
import requests
import requests.exceptions as rex

import tessel.http
from tessel.http import DEFAULT_USER_AGENT, HttpRequestClient

from support.http_client import http_sleeps, recording_client, server, shared_server  # noqa: F401 (fixtures)
from support.server import LoopbackServer, Reply, closed_port


def echoed(response):
    assert response.status_code == 200
    return json.loads(response.content)


def refused_url():
    return f"http://127.0.0.1:{closed_port()}/x"


def assert_connection_failure(info, session):
    """RequestException "Service connection error" chained to the last
    connection error, implicitly (context, no cause)."""
    exc = info.value
    assert type(exc) is rex.RequestException
    assert exc.args == ("Service connection error",)
    assert exc.__context__ is session.errors[-1]
    assert isinstance(exc.__context__, rex.ConnectionError)
    assert exc.__cause__ is None and not exc.__suppress_context__


# ------------------------------------------------------------------ sending


def test_get_with_params_and_headers_merged_with_the_session(server):
    url = server.reply("/e", Reply(echo=True))
    client = HttpRequestClient()
    got = echoed(client.get(url, params={"a": "1", "b": "x y"}, headers={"X-Test": "yes"}))
    assert got["method"] == "GET" and got["path"] == "/e"
    assert got["query"] == {"a": ["1"], "b": ["x y"]}
    assert got["headers"]["X-Test"] == "yes"
    assert got["headers"]["User-Agent"] == DEFAULT_USER_AGENT
    assert got["headers"]["Accept"] == "*/*"


@pytest.mark.parametrize(
    "kwargs, content_type, body",
    [
        ({"json": {"k": [1, 2]}}, "application/json", {"k": [1, 2]}),
        ({"data": {"k": "v", "n": "2"}}, "application/x-www-form-urlencoded", "k=v&n=2"),
    ],
)
def test_post_bodies(server, kwargs, content_type, body):
    url = server.reply("/p", Reply(echo=True))
    got = echoed(HttpRequestClient().post(url, **kwargs))
    assert got["method"] == "POST"
    assert got["headers"]["Content-Type"] == content_type
    assert (json.loads(got["body"]) if "json" in kwargs else got["body"]) == body


def test_post_forwards_params_and_get_forwards_bodies(server):
    url = server.reply("/p", Reply(echo=True))
    client = HttpRequestClient()
    assert echoed(client.post(url, params={"a": "1"}))["query"] == {"a": ["1"]}
    got = echoed(client.get(url, json={"q": 1}))
    assert got["method"] == "GET" and json.loads(got["body"]) == {"q": 1}


@pytest.mark.parametrize("method", ["get", "post", "put", "delete", "patch", "Get"])
def test_method_is_upper_cased(server, method):
    url = server.reply("/m", Reply(echo=True))
    assert echoed(HttpRequestClient().request(method, url))["method"] == method.upper()


@pytest.mark.parametrize("agent", [None, "custom-agent/2.0", ""])
def test_user_agent_sent(server, agent):
    url = server.reply("/ua", Reply(echo=True))
    client = HttpRequestClient() if agent is None else HttpRequestClient(user_agent=agent)
    expected = DEFAULT_USER_AGENT if agent is None else agent
    assert echoed(client.get(url))["headers"].get("User-Agent", "") == expected


def test_error_status_is_returned_on_the_first_attempt(server, http_sleeps):
    url = server.reply("/500", Reply(500, b"boom"))
    response = HttpRequestClient().get(url)
    assert (response.status_code, response.content) == (500, b"boom")
    assert len(server.requests) == 1 and http_sleeps.waits == []


def test_session_request_receives_keywords_only_in_order(server):
    url = server.reply("/k", Reply(echo=True))
    client = recording_client()
    client.request("get", url, {"H": "1"}, None, None, {"d": "1"}, None, allow_redirects=False, stream=False)
    args, keywords = client.session.calls[-1]
    assert args == ()
    assert keywords == [
        ("method", "GET"), ("url", url), ("headers", {"H": "1"}), ("params", None), ("json", None),
        ("data", {"d": "1"}), ("timeout", 300), ("allow_redirects", False), ("stream", False), ("verify", False),
    ]


@pytest.mark.parametrize(
    "timeout, sent",
    [(None, 300), (0, 300), (0.0, 300), ("", 300), (5, 5), (2.5, 2.5), ((1, 2), (1, 2))],
)
def test_request_timeout_falls_back_to_base_timeout(server, timeout, sent):
    url = server.reply("/t", Reply(echo=True))
    client = recording_client()
    client.request("GET", url, timeout=timeout)
    assert dict(client.session.calls[-1][1])["timeout"] == sent
    client.base_timeout = 7  # read afresh on each call
    client.request("GET", url)
    assert dict(client.session.calls[-1][1])["timeout"] == 7


@pytest.mark.parametrize(
    "name, timeout, sent",
    [("get", 2.5, 2), ("get", True, 1), ("get", None, 300), ("post", 2.5, 2.5), ("post", (1, 2), (1, 2))],
)
def test_shortcut_timeouts(server, name, timeout, sent):
    url = server.reply("/t", Reply(echo=True))
    client = recording_client()
    getattr(client, name)(url, timeout=timeout)
    sent_timeout = dict(client.session.calls[-1][1])["timeout"]
    assert sent_timeout == sent and type(sent_timeout) is type(sent)


@pytest.mark.parametrize(
    "name, call, expected",
    [
        ("get", lambda c: c.get("u", {"p": "1"}, {"h": "1"}, 3, extra=1),
         [("method", "GET"), ("url", "u"), ("headers", {"h": "1"}), ("params", {"p": "1"}), ("timeout", 3),
          ("extra", 1)]),
        ("post", lambda c: c.post("u", {"j": 1}, {"d": "1"}, {"h": "1"}, 4.5, params={"a": "1"}),
         [("method", "POST"), ("url", "u"), ("headers", {"h": "1"}), ("json", {"j": 1}), ("data", {"d": "1"}),
          ("timeout", 4.5), ("params", {"a": "1"})]),
    ],
)
def test_shortcuts_call_request_on_the_instance(name, call, expected):
    class Recording(HttpRequestClient):
        def request(self, *args, **kwargs):
            self.seen = (args, list(kwargs.items()))
            return "response"

    client = Recording()
    assert call(client) == "response"
    assert client.seen == ((), expected)


# --------------------------------------------------------------- verification


def test_verify_keyword_rules(server):
    url = server.reply("/v", Reply(echo=True))
    client = recording_client()
    mine = {"stream": False}
    client.request("GET", url, **mine)
    client.verify_ssl = True
    client.request("GET", url)
    client.request("GET", url, verify=None)
    sent = [dict(kw).get("verify", "absent") for _, kw in client.session.calls]
    assert sent == [False, True, None]
    assert mine == {"stream": False}


@pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
def test_verify_against_an_untrusted_certificate(tls_server, http_sleeps):
    url = tls_server.reply("/s", Reply(200, b"secret"))
    assert HttpRequestClient().get(url).content == b"secret"  # verify_ssl False by default
    assert HttpRequestClient(verify_ssl=True).get(url, verify=False).content == b"secret"
    assert http_sleeps.waits == []


@pytest.mark.parametrize(
    "settings, kwargs",
    [({"verify_ssl": True}, {}), ({}, {"verify": True}), ({}, {"verify": None})],
    ids=["client-verifies", "caller-verifies", "caller-none-means-session-default"],
)
def test_certificate_failure_is_a_retried_connection_error(tls_server, http_sleeps, settings, kwargs):
    assert issubclass(rex.SSLError, rex.ConnectionError)
    url = tls_server.reply("/s", Reply(200, b"secret"))
    client = recording_client(max_retries=2, **settings)
    with pytest.raises(rex.RequestException) as info:
        client.get(url, **kwargs)
    assert_connection_failure(info, client.session)
    assert all(type(e) is rex.SSLError for e in client.session.errors)
    assert len(client.session.errors) == 2 and http_sleeps.waits == [1]


# ----------------------------------------------------------------- retrying


@pytest.mark.parametrize("max_retries, waits", [(1, []), (2, [1]), (3, [1, 2]), (5, [1, 2, 4, 8])])
def test_refused_connection_is_retried_with_backoff(http_sleeps, max_retries, waits):
    client = recording_client(max_retries=max_retries)
    with pytest.raises(rex.RequestException) as info:
        client.get(refused_url())
    assert_connection_failure(info, client.session)
    assert len(client.session.calls) == max_retries
    assert http_sleeps.waits == waits
    assert all(type(w) is int for w in http_sleeps.waits)


def test_success_after_a_refused_attempt(http_sleeps):
    port = closed_port()
    servers = []

    def start_listening(_):
        servers.append(LoopbackServer(port=port))
        servers[-1].reply("/late", Reply(200, b"finally"))

    http_sleeps.hook = start_listening
    try:
        response = HttpRequestClient().get(f"http://127.0.0.1:{port}/late")
    finally:
        for srv in servers:
            srv.close()
    assert response.content == b"finally" and http_sleeps.waits == [1]


def test_read_timeout_is_not_retried(server, http_sleeps):
    url = server.reply("/slow", Reply(200, b"late", delay=1.0))
    client = recording_client(max_retries=3)
    with pytest.raises(rex.ReadTimeout) as info:
        # request, not get: get would turn 0.2 into 0, which means base_timeout.
        client.request("GET", url, timeout=0.2)
    assert not isinstance(info.value, rex.ConnectionError)
    assert info.value is client.session.errors[0]
    assert len(client.session.calls) == 1 and http_sleeps.waits == []


def test_unknown_session_keyword_is_not_retried(server, http_sleeps):
    url = server.reply("/k", Reply(echo=True))
    client = HttpRequestClient(max_retries=3)
    with pytest.raises(TypeError, match=r"request\(\) got an unexpected keyword argument 'bogus'$"):
        client.get(url, bogus=1)
    assert server.requests == [] and http_sleeps.waits == []


def test_connection_error_class_is_looked_up_when_caught(monkeypatch, http_sleeps):
    client = recording_client(max_retries=3)
    monkeypatch.setattr(tessel.http, "ConnectionError", LookupError)
    with pytest.raises(rex.ConnectionError) as info:
        client.get(refused_url())
    assert info.value is client.session.errors[0] and http_sleeps.waits == []
    monkeypatch.setattr(tessel.http, "ConnectionError", (KeyError, rex.ConnectionError))
    with pytest.raises(rex.RequestException, match="^Service connection error$"):
        client.get(refused_url())
    assert http_sleeps.waits == [1, 2]


def test_final_exception_class_is_looked_up_when_raised(monkeypatch, http_sleeps):
    class Unreachable(Exception):
        pass

    monkeypatch.setattr(tessel.http, "RequestException", Unreachable)
    with pytest.raises(Unreachable, match="^Service connection error$") as info:
        HttpRequestClient(max_retries=1).get(refused_url())
    assert isinstance(info.value.__context__, rex.ConnectionError)


def test_backoff_from_a_subclass_or_an_instance_attribute(http_sleeps):
    class Quick(HttpRequestClient):
        @staticmethod
        def _calc_backoff_wait(attempt):
            return attempt / 10

    with pytest.raises(rex.RequestException):
        Quick(max_retries=3).get(refused_url())
    assert http_sleeps.waits == [0.0, 0.1]

    client = HttpRequestClient(max_retries=3)
    client._calc_backoff_wait = lambda attempt: f"wait-{attempt}"
    with pytest.raises(rex.RequestException):
        client.get(refused_url())
    assert http_sleeps.waits[2:] == ["wait-0", "wait-1"]


@pytest.mark.parametrize("where", ["sleep", "backoff"])
def test_errors_while_waiting_propagate_with_the_connection_error(http_sleeps, where):
    def interrupt(*_):
        raise KeyboardInterrupt("stop")

    client = recording_client(max_retries=3)
    if where == "sleep":
        http_sleeps.hook = interrupt
    else:
        client._calc_backoff_wait = interrupt
    with pytest.raises(KeyboardInterrupt) as info:
        client.get(refused_url())
    assert info.value.__context__ is client.session.errors[0]
    assert len(client.session.calls) == 1


def test_handled_exception_is_restored_after_the_call(http_sleeps):
    try:
        raise ZeroDivisionError("outer")
    except ZeroDivisionError as outer:
        with pytest.raises(rex.RequestException):
            HttpRequestClient(max_retries=2).get(refused_url())
        assert sys.exc_info()[1] is outer
    assert sys.exc_info() == (None, None, None)


def test_generator_keeps_no_stale_handled_exception(http_sleeps):
    client = HttpRequestClient(max_retries=2)

    def steps():
        with pytest.raises(rex.RequestException):
            client.get(refused_url())
        yield "sent"
        yield sys.exc_info()[1]

    gen = steps()
    try:
        raise ZeroDivisionError("outer")
    except ZeroDivisionError:
        assert next(gen) == "sent"
    # Resumed outside any handler: the generator's own slot must be empty.
    assert next(gen) is None


# ---------------------------------------------- loop without a planned end


@pytest.mark.parametrize("max_retries", [0, -3])
def test_non_positive_max_retries_makes_one_attempt(server, http_sleeps, max_retries):
    url = server.reply("/one", Reply(echo=True))
    client = recording_client(max_retries=max_retries)
    assert echoed(client.get(url))["method"] == "GET"
    with pytest.raises(rex.RequestException) as info:
        client.get(refused_url())
    assert_connection_failure(info, client.session)
    assert len(client.session.calls) == 2 and http_sleeps.waits == []


@pytest.mark.parametrize(
    "start, changed_to, waits",
    [(2, 10, [1]), (3, 1, [1, 2]), (3, 0, [1, 2]), (3, 2, [1])],
)
def test_max_retries_changed_while_retrying_never_returns_none(http_sleeps, start, changed_to, waits):
    client = recording_client(max_retries=start)

    def change(_):
        client.max_retries = changed_to

    http_sleeps.hook = change
    with pytest.raises(rex.RequestException) as info:
        client.get(refused_url())
    assert_connection_failure(info, client.session)
    assert http_sleeps.waits == waits
    assert len(client.session.calls) == len(waits) + 1


@pytest.mark.parametrize("value, message", [(2.0, "'float' object cannot"), (None, "'NoneType' object cannot")])
def test_max_retries_must_be_an_index(server, value, message):
    url = server.reply("/i", Reply(echo=True))
    client = HttpRequestClient()
    client.max_retries = value
    with pytest.raises(TypeError, match=message):
        client.get(url)
    assert server.requests == []


# ---------------------------------------------------------- references kept


def _counts(objects):
    gc.collect()
    return [sys.getrefcount(o) for o in objects]


@pytest.mark.parametrize("outcome", ["ok", "refused", "read-timeout", "bad-keyword", "bad-type", "status-500"])
def test_reference_counts_unchanged(server, http_sleeps, outcome):
    url = {
        "ok": server.reply("/r", Reply(echo=True)),
        "status-500": server.reply("/r500", Reply(500)),
        "read-timeout": server.reply("/slow", Reply(delay=0.5)),
    }.get(outcome, refused_url())
    client = HttpRequestClient(max_retries=2)
    headers = {"X-Unique": "".join(["value-", outcome])}
    params = {"q": "".join(["param-", outcome])}
    cookies = {"c": "1"}
    timeout = 0.25 if outcome == "read-timeout" else 30.5
    extra = {"cookies": cookies, "bogus": 1} if outcome == "bad-keyword" else {"cookies": cookies}
    body = [1] if outcome == "bad-type" else {"j": 1}
    watched = [client.session, client.session.headers, headers, params, cookies, timeout, headers["X-Unique"], body]

    def call():
        try:
            client.request("GET", url, headers, params, body, timeout=timeout, **extra)
        except (Exception, KeyboardInterrupt):
            pass

    call()  # warm-up: first-use caches in requests and urllib3
    before = _counts(watched)
    for _ in range(3):
        call()
    assert _counts(watched) == before
