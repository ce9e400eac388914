"""Argument binding and entry rules of HttpRequestClient, and construction."""

import collections
import math
import re

import numpy as np
import pytest
import requests

import tessel.http
from tessel.http import HttpRequestClient

from support.http_client import http_sleeps, server, shared_server  # noqa: F401 (fixtures)
from support.server import Reply


def incorrect(param, expected, got):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {got})"


class StrSub(str):
    pass


class Boom:
    def __bool__(self):
        raise ZeroDivisionError("truth of Boom")


# ---------------------------------------------------------------- construction


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, (3, 300, False)),
        ({"max_retries": 2.7, "base_timeout": True}, (2, 1, False)),
        ({"max_retries": np.int64(4), "base_timeout": np.float32(9.9)}, (4, 9, False)),
        ({"max_retries": -1, "base_timeout": 0}, (-1, 0, False)),
        ({"verify_ssl": []}, (3, 300, False)),
        ({"verify_ssl": "no"}, (3, 300, True)),
        ({"verify_ssl": 1}, (3, 300, True)),
    ],
)
def test_construction_stores_exact_values(kwargs, expected):
    client = HttpRequestClient(**kwargs)
    stored = (client.max_retries, client.base_timeout, client.verify_ssl)
    assert stored == expected
    assert [type(v) for v in stored] == [int, int, bool]


def test_positional_construction_and_custom_user_agent():
    client = HttpRequestClient(5, 10, True, "agent/1")
    assert (client.max_retries, client.base_timeout, client.verify_ssl) == (5, 10, True)
    assert client.session.headers["User-Agent"] == "agent/1"
    # The other default headers of the session stay.
    assert client.session.headers["Accept"] == requests.Session().headers["Accept"]


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {"max_retries": "3"}, TypeError, incorrect("max_retries", "int", "str")),
        ((), {"max_retries": None}, TypeError, incorrect("max_retries", "int", "NoneType")),
        ((), {"base_timeout": [1]}, TypeError, incorrect("base_timeout", "int", "list")),
        ((), {"max_retries": math.inf}, OverflowError, "cannot convert float infinity to integer"),
        ((), {"base_timeout": math.nan}, ValueError, "cannot convert float NaN to integer"),
        ((), {"verify_ssl": Boom()}, ZeroDivisionError, "truth of Boom"),
        ((), {"user_agent": None}, TypeError, incorrect("user_agent", "str", "NoneType")),
        ((), {"user_agent": b"ua"}, TypeError, incorrect("user_agent", "str", "bytes")),
        # Entry order: int, int, bool, str; the first failure is reported.
        ((), {"user_agent": None, "max_retries": "x"}, TypeError, incorrect("max_retries", "int", "str")),
        ((), {"verify_ssl": Boom(), "base_timeout": "x"}, TypeError, incorrect("base_timeout", "int", "str")),
        ((), {"user_agent": 1, "verify_ssl": Boom()}, ZeroDivisionError, "truth of Boom"),
        ((1, 2, 3, "x", 5), {}, TypeError, "__init__() takes at most 5 positional arguments (6 given)"),
        ((), {"timeout": 5}, TypeError, "__init__() got an unexpected keyword argument 'timeout'"),
        ((3,), {"max_retries": 3}, TypeError, "__init__() got multiple values for keyword argument 'max_retries'"),
    ],
)
def test_construction_errors(args, kwargs, error, message):
    target = HttpRequestClient.__new__(HttpRequestClient)
    with pytest.raises(error) as info:
        HttpRequestClient.__init__(target, *args, **kwargs)
    assert str(info.value) == message
    assert vars(target) == {}
    with pytest.raises(error, match="^" + re.escape(message) + "$"):
        HttpRequestClient(*args, **kwargs)


def test_non_string_keyword_is_rejected():
    # CPython unpacks a ** dict for vectorcall itself and words this error
    # on its own, before the function sees the call.
    with pytest.raises(TypeError, match="keywords must be strings$"):
        HttpRequestClient(**{1: 2})


def test_str_subclass_user_agent_carries_one_note():
    with pytest.raises(TypeError) as info:
        HttpRequestClient(user_agent=StrSub("x"))
    assert str(info.value) == incorrect("user_agent", "str", "StrSub")
    assert len(info.value.__notes__) == 1 and "ubclass" in info.value.__notes__[0]


def test_session_failure_leaves_the_first_three_attributes(monkeypatch):
    class FailingRequests:
        class Session:
            def __init__(self):
                raise RuntimeError("no session")

    monkeypatch.setattr(tessel.http, "requests", FailingRequests)
    target = HttpRequestClient.__new__(HttpRequestClient)
    with pytest.raises(RuntimeError, match="no session"):
        target.__init__(4)
    assert vars(target) == {"max_retries": 4, "base_timeout": 300, "verify_ssl": False}


def test_session_made_through_the_module_global(monkeypatch):
    class MySession(requests.Session):
        pass

    class OtherRequests:
        Session = MySession

    monkeypatch.setattr(tessel.http, "requests", OtherRequests)
    assert type(HttpRequestClient().session) is MySession


# ------------------------------------------------------------ request/get/post


@pytest.fixture
def client():
    return HttpRequestClient(max_retries=1)


REQUEST_ERRORS = [
    ((), {}, "request() takes at least 3 positional arguments (1 given)"),
    (("GET",), {}, "request() takes at least 3 positional arguments (2 given)"),
    ((), {"url": "u"}, "request() takes at least 3 positional arguments (1 given)"),
    (("GET", "u", None, None, None, None, None, None), {}, "request() takes at most 8 positional arguments (9 given)"),
    (("GET", "u"), {"url": "v"}, "request() got multiple values for keyword argument 'url'"),
    ((b"GET", "u"), {}, incorrect("method", "str", "bytes")),
    (("GET", None), {}, incorrect("url", "str", "NoneType")),
    ((None, None), {}, incorrect("method", "str", "NoneType")),
    (("GET", "u"), {"headers": [("a", "b")]}, incorrect("headers", "dict", "list")),
    (("GET", "u"), {"params": "a=1"}, incorrect("params", "dict", "str")),
    (("GET", "u"), {"json": [1, 2]}, incorrect("json", "dict", "list")),
    (("GET", "u"), {"data": b"raw"}, incorrect("data", "dict", "bytes")),
    (("GET", "u"), {"data": "raw"}, incorrect("data", "dict", "str")),
    (("GET", "u"), {"data": "raw", "headers": 1}, incorrect("headers", "dict", "int")),
]

GET_ERRORS = [
    ((), {}, "get() takes at least 2 positional arguments (1 given)"),
    (("u", None, None, None, None), {}, "get() takes at most 5 positional arguments (6 given)"),
    (("u",), {"timeout": (1, 2)}, incorrect("timeout", "int", "tuple")),
    (("u",), {"timeout": "5"}, incorrect("timeout", "int", "str")),
    # timeout is handled before url.
    ((None,), {"timeout": "5"}, incorrect("timeout", "int", "str")),
    ((None,), {}, incorrect("url", "str", "NoneType")),
    (("u",), {"params": [("a", 1)]}, incorrect("params", "dict", "list")),
    (("u",), {"method": "POST"}, "function() got multiple values for keyword argument 'method'"),
]

POST_ERRORS = [
    ((), {}, "post() takes at least 2 positional arguments (1 given)"),
    (("u", None, None, None, None, None), {}, "post() takes at most 6 positional arguments (7 given)"),
    (("u",), {"json": [1]}, incorrect("json", "dict", "list")),
    (("u",), {"data": b"x"}, incorrect("data", "dict", "bytes")),
    (("u",), {"headers": "h"}, incorrect("headers", "dict", "str")),
    (("u",), {"method": "GET"}, "function() got multiple values for keyword argument 'method'"),
]


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [("request", *case) for case in REQUEST_ERRORS]
    + [("get", *case) for case in GET_ERRORS]
    + [("post", *case) for case in POST_ERRORS],
)
def test_entry_errors_send_nothing(server, http_sleeps, client, name, args, kwargs, message):
    url = server.reply("/e", Reply(echo=True))
    args = tuple(url if a == "u" else a for a in args)
    kwargs = {k: (url if v == "u" else v) for k, v in kwargs.items()}
    with pytest.raises(TypeError) as info:
        getattr(client, name)(*args, **kwargs)
    assert str(info.value) == message
    assert server.requests == [] and http_sleeps.waits == []


@pytest.mark.parametrize("name", ["request", "get", "post"])
def test_dict_subclass_headers_are_rejected_with_a_note(client, name):
    args = ("GET", "http://127.0.0.1:9/") if name == "request" else ("http://127.0.0.1:9/",)
    with pytest.raises(TypeError) as info:
        getattr(client, name)(*args, headers=collections.OrderedDict(a="1"))
    assert str(info.value) == incorrect("headers", "dict", "collections.OrderedDict")
    assert len(info.value.__notes__) == 1


# ---------------------------------------------------------- _calc_backoff_wait


@pytest.mark.parametrize(
    "attempt, expected",
    [(0, 1), (1, 2), (2, 4), (10, 1024), (62, 2**62), (63, 2**63), (200, 2**200),
     (-1, 0.5), (-3, 0.125), (2.9, 4), (True, 2), (np.int32(5), 32)],
)
def test_backoff_wait_is_integer_power(attempt, expected):
    for function in (HttpRequestClient._calc_backoff_wait, HttpRequestClient()._calc_backoff_wait):
        for result in (function(attempt), function(attempt=attempt)):
            assert result == expected
            assert type(result) is type(expected)


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((None,), {}, TypeError, incorrect("attempt", "int", "NoneType")),
        (("1",), {}, TypeError, incorrect("attempt", "int", "str")),
        ((math.nan,), {}, ValueError, "cannot convert float NaN to integer"),
        ((), {}, TypeError, "_calc_backoff_wait() takes exactly 1 positional argument (0 given)"),
        ((1, 2), {}, TypeError, "_calc_backoff_wait() takes exactly 1 positional argument (2 given)"),
        ((), {"n": 1}, TypeError, "_calc_backoff_wait() takes exactly 1 positional argument (0 given)"),
        ((1,), {"n": 1}, TypeError, "_calc_backoff_wait() got an unexpected keyword argument 'n'"),
    ],
)
def test_backoff_wait_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        HttpRequestClient()._calc_backoff_wait(*args, **kwargs)
    assert str(info.value) == message
