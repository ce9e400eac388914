"""The tessel.http module frame and the HttpRequestClient class surface."""

import importlib
import inspect
import sys
import typing
import weakref

import pytest
import requests
import requests.exceptions

import tessel.http
from tessel.http import HttpRequestClient

UA = (
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/150.0.0.0 Safari/537.36 Edg/150.0.0.0"
)
INIT_DOC = (
    "\n"
    "        :param max_retries: 最大重试次数\n"
    "        :param base_timeout: 默认请求超时时间(秒)\n"
    "        :param verify_ssl: 是否校验 SSL 证书\n"
    "        :param user_agent: 自定义 User-Agent\n"
    "        "
)


def test_module_globals_in_binding_order():
    names = [n for n in vars(tessel.http) if not n.startswith("__")]
    assert names == ["time", "requests", "ConnectionError", "RequestException", "DEFAULT_USER_AGENT", "HttpRequestClient"]
    assert tessel.http.time is sys.modules["time"]
    assert tessel.http.requests is requests
    assert tessel.http.ConnectionError is requests.exceptions.ConnectionError
    assert tessel.http.RequestException is requests.exceptions.RequestException
    assert type(tessel.http.DEFAULT_USER_AGENT) is str and tessel.http.DEFAULT_USER_AGENT == UA
    assert tessel.http.__name__ == "tessel.http"
    assert tessel.http.__package__ == "tessel"


@pytest.mark.parametrize("how", ["sys.modules", "reload"])
def test_module_is_never_initialised_twice(how):
    module, cls = tessel.http, tessel.http.HttpRequestClient
    if how == "sys.modules":
        del sys.modules["tessel.http"]
        try:
            again = importlib.import_module("tessel.http")
        finally:
            sys.modules["tessel.http"] = module
    else:
        again = importlib.reload(tessel.http)
    assert again is module
    assert again.HttpRequestClient is cls


def test_class_namespace():
    cls = HttpRequestClient
    assert cls.__module__ == "tessel.http"
    assert cls.__qualname__ == cls.__name__ == "HttpRequestClient"
    assert cls.__doc__ == "通用带指数退避重试的 HTTP 请求客户端"
    assert cls.__bases__ == (object,)
    assert type(cls) is type
    # type() takes __qualname__ out of the namespace, as for a class statement.
    assert list(vars(cls)) == [
        "__module__", "__doc__", "__init__", "_calc_backoff_wait", "request", "post", "get", "__dict__", "__weakref__",
    ]
    assert isinstance(vars(cls)["_calc_backoff_wait"], staticmethod)


SURFACE = {
    "__init__": (
        INIT_DOC,
        (3, 300, False, UA),
        {"max_retries": "int", "base_timeout": "int", "verify_ssl": "bool", "user_agent": "str"},
        f"(self, max_retries: 'int' = 3, base_timeout: 'int' = 300, verify_ssl: 'bool' = False, user_agent: 'str' = '{UA}')",
    ),
    "_calc_backoff_wait": (
        "计算指数退避等待时间: 1s, 2s, 4s...",
        None,
        {"attempt": "int", "return": "float"},
        "(attempt: 'int') -> 'float'",
    ),
    "request": (
        "通用请求入口",
        (None, None, None, None, None),
        {"method": "str", "url": "str", "headers": "dict", "params": "dict", "json": "dict", "data": "dict",
         "return": "requests.Response"},
        "(self, method: 'str', url: 'str', headers: 'dict' = None, params: 'dict' = None, json: 'dict' = None, "
        "data: 'dict' = None, timeout=None, **kwargs) -> 'requests.Response'",
    ),
    "post": (
        "POST 请求快捷方法",
        (None, None, None, None),
        {"url": "str", "json": "dict", "data": "dict", "headers": "dict", "return": "requests.Response"},
        "(self, url: 'str', json: 'dict' = None, data: 'dict' = None, headers: 'dict' = None, timeout=None, "
        "**kwargs) -> 'requests.Response'",
    ),
    "get": (
        "GET 请求快捷方法",
        (None, None, None),
        {"url": "str", "params": "dict", "headers": "dict", "timeout": "int", "return": "requests.Response"},
        "(self, url: 'str', params: 'dict' = None, headers: 'dict' = None, timeout: 'int' = None, **kwargs) "
        "-> 'requests.Response'",
    ),
}


@pytest.mark.parametrize("name", list(SURFACE))
def test_function_surface(name):
    doc, defaults, annotations, signature = SURFACE[name]
    function = inspect.getattr_static(HttpRequestClient, name)
    if isinstance(function, staticmethod):
        function = function.__func__
    assert function.__name__ == name
    assert function.__qualname__ == f"HttpRequestClient.{name}"
    assert function.__module__ == "tessel.http"
    assert function.__doc__ == doc
    assert function.__defaults__ == defaults
    assert function.__kwdefaults__ is None
    assert list(function.__annotations__.items()) == list(annotations.items())
    assert str(inspect.signature(function)) == signature
    assert function.__globals__ is vars(tessel.http)


@pytest.mark.parametrize(
    "name, hints",
    [
        ("__init__", {"max_retries": int, "base_timeout": int, "verify_ssl": bool, "user_agent": str}),
        ("_calc_backoff_wait", {"attempt": int, "return": float}),
        ("request", {"method": str, "url": str, "headers": dict, "params": dict, "json": dict, "data": dict,
                     "return": requests.Response}),
        ("get", {"url": str, "params": dict, "headers": dict, "timeout": int, "return": requests.Response}),
    ],
)
def test_type_hints_resolve(name, hints):
    assert typing.get_type_hints(getattr(HttpRequestClient, name)) == hints


def test_methods_bind_like_python_functions():
    client = HttpRequestClient()
    for name in ("request", "post", "get"):
        bound = getattr(client, name)
        assert bound.__self__ is client
        assert bound.__func__ is vars(HttpRequestClient)[name]
        assert "self" not in inspect.signature(bound).parameters
    # The static method receives no instance, through the class or an instance.
    assert client._calc_backoff_wait is HttpRequestClient._calc_backoff_wait
    assert str(inspect.signature(client._calc_backoff_wait)) == "(attempt: 'int') -> 'float'"


def test_instances_are_ordinary_objects():
    client = HttpRequestClient()
    assert list(vars(client)) == ["max_retries", "base_timeout", "verify_ssl", "session"]
    assert isinstance(client.session, requests.Session)
    client.extra = 1
    assert weakref.ref(client)() is client
    assert HttpRequestClient().session is not client.session


def test_subclass_keeps_the_inherited_surface():
    class Client(HttpRequestClient):
        def get(self, url, **kwargs):
            return ("sub", url, kwargs)

    client = Client(max_retries=5)
    assert client.max_retries == 5
    assert client.get("u", a=1) == ("sub", "u", {"a": 1})
    assert Client.request is HttpRequestClient.request


def test_default_user_agent_is_captured_when_the_class_is_built(monkeypatch):
    monkeypatch.setattr(tessel.http, "DEFAULT_USER_AGENT", "rebound/1.0")
    assert HttpRequestClient.__init__.__defaults__[3] == UA
    assert HttpRequestClient().session.headers["User-Agent"] == UA
