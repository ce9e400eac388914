"""The compiled functions look like Python functions to inspect, typing and pydoc."""

from __future__ import annotations

import inspect
import io
import logging
import pydoc
import re
import typing
from io import BytesIO
from typing import Any, Dict, List, Optional, Tuple, Union

import pytest
import requests

from tessel.image import ImageTool

P = inspect.Parameter

IMAGE_SIGNATURES = {
    "is_plain_gray": "(image_data: 'Union[bytes, str]', gray_thresh: 'float' = 30.0, edge_thresh: 'float' = 0.01, "
    "**kwargs) -> 'Tuple[bool, Dict[str, Any], str]'",
    "get_img_url_io": "(url: 'str', max_retries: 'int' = 3, base_delay: 'float' = 0.5, "
    "logger: 'Optional[logging.Logger]' = None, **kwargs) -> 'Optional[BytesIO]'",
    "get_img_url_bytes": "(url: 'str', **kwargs) -> 'bytes'",
    "is_valid_image": "(image_data: 'Union[bytes, str]', **kwargs: 'Any') -> 'bool'",
    "has_multiple_transparency": "(image_data: 'Union[bytes, str, BytesIO]', threshold: 'int' = 5) -> 'bool'",
    "batch_has_multiple_transparency": "(directory: 'str', threshold: 'int' = 5, max_workers: 'int' = 4, "
    "extensions: 'Optional[List[str]]' = None, desc: 'str' = '检测透明度') -> 'Dict[str, bool]'",
    "trim_transparent_edges": "(image_data: 'Union[bytes, str, BytesIO]', padding: 'int' = 10, "
    "output_format: 'str' = 'PNG') -> 'bytes'",
    "has_colored_lines": "(image_data: 'Union[bytes, str, BytesIO]', bg_threshold: 'int' = 30, color_gap: 'int' = 30, "
    "max_fill_ratio: 'float' = 0.3, min_colored_ratio: 'float' = 0.85, min_dual_color_ratio: 'float' = 0.15, "
    "max_density_for_single_color: 'float' = 0.05) -> 'Dict[str, Any]'",
}

IMAGE_HINTS = {
    "is_plain_gray": {
        "image_data": Union[bytes, str],
        "gray_thresh": float,
        "edge_thresh": float,
        "return": Tuple[bool, Dict[str, Any], str],
    },
    "get_img_url_io": {
        "url": str,
        "max_retries": int,
        "base_delay": float,
        "logger": Optional[logging.Logger],
        "return": Optional[BytesIO],
    },
    "get_img_url_bytes": {"url": str, "return": bytes},
    "is_valid_image": {"image_data": Union[bytes, str], "kwargs": Any, "return": bool},
    "has_multiple_transparency": {"image_data": Union[bytes, str, BytesIO], "threshold": int, "return": bool},
    "batch_has_multiple_transparency": {
        "directory": str,
        "threshold": int,
        "max_workers": int,
        "extensions": Optional[List[str]],
        "desc": str,
        "return": Dict[str, bool],
    },
    "trim_transparent_edges": {
        "image_data": Union[bytes, str, BytesIO],
        "padding": int,
        "output_format": str,
        "return": bytes,
    },
    "has_colored_lines": {
        "image_data": Union[bytes, str, BytesIO],
        "bg_threshold": int,
        "color_gap": int,
        "max_fill_ratio": float,
        "min_colored_ratio": float,
        "min_dual_color_ratio": float,
        "max_density_for_single_color": float,
        "return": Dict[str, Any],
    },
}

USER_AGENT = (
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/150.0.0.0 Safari/537.36 Edg/150.0.0.0"
)

HTTP_SIGNATURES = {
    "__init__": "(self, max_retries: 'int' = 3, base_timeout: 'int' = 300, verify_ssl: 'bool' = False, "
    f"user_agent: 'str' = '{USER_AGENT}')",
    "_calc_backoff_wait": "(attempt: 'int') -> 'float'",
    "request": "(self, method: 'str', url: 'str', headers: 'dict' = None, params: 'dict' = None, "
    "json: 'dict' = None, data: 'dict' = None, timeout=None, **kwargs) -> 'requests.Response'",
    "post": "(self, url: 'str', json: 'dict' = None, data: 'dict' = None, headers: 'dict' = None, timeout=None, "
    "**kwargs) -> 'requests.Response'",
    "get": "(self, url: 'str', params: 'dict' = None, headers: 'dict' = None, timeout: 'int' = None, "
    "**kwargs) -> 'requests.Response'",
}

HTTP_HINTS = {
    "__init__": {"max_retries": int, "base_timeout": int, "verify_ssl": bool, "user_agent": str},
    "_calc_backoff_wait": {"attempt": int, "return": float},
    "request": {
        "method": str,
        "url": str,
        "headers": dict,
        "params": dict,
        "json": dict,
        "data": dict,
        "return": requests.Response,
    },
    "post": {"url": str, "json": dict, "data": dict, "headers": dict, "return": requests.Response},
    "get": {"url": str, "params": dict, "headers": dict, "timeout": int, "return": requests.Response},
}


def http_client_class():
    from tessel.http import HttpRequestClient

    return HttpRequestClient


def check_kinds(signature: inspect.Signature) -> None:
    kinds = [p.kind for p in signature.parameters.values()]
    plain = [k for k in kinds if k is not P.VAR_KEYWORD]
    assert all(k is P.POSITIONAL_OR_KEYWORD for k in plain)
    assert kinds.count(P.VAR_KEYWORD) <= 1 and (P.VAR_KEYWORD not in kinds or kinds[-1] is P.VAR_KEYWORD)


@pytest.mark.parametrize("name", list(IMAGE_SIGNATURES))
def test_image_signature(name):
    function = getattr(ImageTool, name)
    signature = inspect.signature(function)
    assert str(signature) == IMAGE_SIGNATURES[name]
    check_kinds(signature)
    # Reached through an instance the static method has the same signature.
    assert inspect.signature(getattr(ImageTool(), name)) == signature
    # Defaults keep their Python types (30.0 is a float, 5 an int).
    for param in signature.parameters.values():
        if param.default is not P.empty and param.default is not None:
            assert type(param.default) in (int, float, str)
    assert all(isinstance(p.annotation, str) for p in signature.parameters.values() if p.annotation is not P.empty)


@pytest.mark.parametrize("name", list(HTTP_SIGNATURES))
def test_http_signature(name):
    cls = http_client_class()
    function = cls.__dict__[name]
    function = function.__func__ if isinstance(function, staticmethod) else function
    signature = inspect.signature(function)
    assert str(signature) == HTTP_SIGNATURES[name]
    check_kinds(signature)


def test_http_bound_method_signature_drops_self():
    cls = http_client_class()
    assert str(inspect.signature(cls)) == HTTP_SIGNATURES["__init__"].replace("(self, ", "(")
    client = cls()
    assert list(inspect.signature(client.get).parameters) == ["url", "params", "headers", "timeout", "kwargs"]
    assert list(inspect.signature(client._calc_backoff_wait).parameters) == ["attempt"]


@pytest.mark.parametrize("name", list(IMAGE_HINTS))
def test_image_type_hints_resolve(name):
    assert typing.get_type_hints(getattr(ImageTool, name)) == IMAGE_HINTS[name]


@pytest.mark.parametrize("name", list(HTTP_HINTS))
def test_http_type_hints_resolve(name):
    cls = http_client_class()
    assert typing.get_type_hints(getattr(cls, name)) == HTTP_HINTS[name]


def test_type_hints_follow_rebound_module_globals(monkeypatch):
    # Resolution happens in the module's namespace at the time it is asked for.
    import tessel.image

    class OtherLogger:
        pass

    monkeypatch.setattr(tessel.image, "logging", type("ns", (), {"Logger": OtherLogger}))
    hints = typing.get_type_hints(ImageTool.get_img_url_io)
    assert hints["logger"] == Optional[OtherLogger]


def rendered(obj) -> str:
    return pydoc.render_doc(obj, renderer=pydoc.plaintext)


def flat(text: str) -> str:
    """Text without the class box's bars and all whitespace: newer pydoc
    versions wrap long signatures over several lines."""
    return re.sub(r"\s+", "", "".join(line.lstrip(" |") for line in text.splitlines()))


def test_help_of_image_tool_shows_every_method():
    text = rendered(ImageTool)
    assert "class ImageTool(builtins.object)" in text
    assert "图片工具类，提供图像检测、处理、获取等操作。" in text
    assert "Static methods defined here:" in text
    for name, signature in IMAGE_SIGNATURES.items():
        assert flat(f"{name}{signature}") in flat(text)
        summary = getattr(ImageTool, name).__doc__.strip().splitlines()[0]
        assert summary in text


def test_help_of_http_client_shows_methods_and_docs():
    cls = http_client_class()
    text = rendered(cls)
    assert "class HttpRequestClient(builtins.object)" in text
    assert "通用带指数退避重试的 HTTP 请求客户端" in text
    for name in ("__init__", "request", "get", "post"):
        assert flat(f"{name}{HTTP_SIGNATURES[name]}") in flat(text)
    for doc in ("通用请求入口", "GET 请求快捷方法", "POST 请求快捷方法", ":param max_retries: 最大重试次数"):
        assert doc in text


def test_builtin_help_renders_a_method():
    out = io.StringIO()
    pydoc.Helper(output=out).help(ImageTool.has_multiple_transparency)
    text = out.getvalue()
    assert flat(IMAGE_SIGNATURES["has_multiple_transparency"]) in flat(text)
    assert "检测图片是否包含多个透明区域。" in text


@pytest.mark.parametrize("name", list(IMAGE_SIGNATURES))
def test_inspect_treats_methods_as_routines(name):
    function = getattr(ImageTool, name)
    assert inspect.isroutine(function)
    assert inspect.getdoc(function).splitlines()[0] == function.__doc__.strip().splitlines()[0]
    assert isinstance(inspect.getattr_static(ImageTool, name), staticmethod)
    assert function.__globals__ is vars(__import__("tessel.image", fromlist=["_"]))
