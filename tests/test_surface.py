"""The Python-visible surface of tessel.image: module globals, the ImageTool
class, the eight methods' signatures and the argument-handling messages.

Methods whose bodies live elsewhere are used here only for errors raised
before any body runs."""

from __future__ import annotations

import concurrent.futures
import inspect
import io
import logging
import math
import typing

import cv2
import numpy as np
import PIL.Image
import pytest
import requests

import faultdefs
import tessel.image
import tessel.utils
from support.server import closed_port

ImageTool = tessel.image.ImageTool

R = inspect.Parameter.empty  # marks a required parameter

# name -> (parameters (name, annotation, default), **kwargs (name, annotation) or None, return annotation, summary)
METHODS = {
    "is_plain_gray": (
        [("image_data", "Union[bytes, str]", R), ("gray_thresh", "float", 30.0), ("edge_thresh", "float", 0.01)],
        ("kwargs", None),
        "Tuple[bool, Dict[str, Any], str]",
        "检测图片是否为纯色图（无图案、无纹理、无明显色彩）。",
    ),
    "get_img_url_io": (
        [
            ("url", "str", R),
            ("max_retries", "int", 3),
            ("base_delay", "float", 0.5),
            ("logger", "Optional[logging.Logger]", None),
        ],
        ("kwargs", None),
        "Optional[BytesIO]",
        "从 URL 获取图片内容并返回 BytesIO 对象，包含指数退避重试机制。",
    ),
    "get_img_url_bytes": (
        [("url", "str", R)],
        ("kwargs", None),
        "bytes",
        "从 URL 获取图片内容并直接返回 bytes。",
    ),
    "is_valid_image": (
        [("image_data", "Union[bytes, str]", R)],
        ("kwargs", "Any"),
        "bool",
        "判断图片是否有效（未损坏）。",
    ),
    "has_multiple_transparency": (
        [("image_data", "Union[bytes, str, BytesIO]", R), ("threshold", "int", 5)],
        None,
        "bool",
        "检测图片是否包含多个透明区域。",
    ),
    "batch_has_multiple_transparency": (
        [
            ("directory", "str", R),
            ("threshold", "int", 5),
            ("max_workers", "int", 4),
            ("extensions", "Optional[List[str]]", None),
            ("desc", "str", "检测透明度"),
        ],
        None,
        "Dict[str, bool]",
        "批量检测目录下所有图片是否包含多个透明区域（多线程 + tqdm 进度条）。",
    ),
    "trim_transparent_edges": (
        [("image_data", "Union[bytes, str, BytesIO]", R), ("padding", "int", 10), ("output_format", "str", "PNG")],
        None,
        "bytes",
        "裁剪图片的透明/白色边缘，并可选添加 padding。",
    ),
    "has_colored_lines": (
        [
            ("image_data", "Union[bytes, str, BytesIO]", R),
            ("bg_threshold", "int", 30),
            ("color_gap", "int", 30),
            ("max_fill_ratio", "float", 0.3),
            ("min_colored_ratio", "float", 0.85),
            ("min_dual_color_ratio", "float", 0.15),
            ("max_density_for_single_color", "float", 0.05),
        ],
        None,
        "Dict[str, Any]",
        "检测图片中是否仅包含绿色线或红色线（黑色背景上的彩色线条）。",
    ),
}

NAMES = list(METHODS)


# --- module and class ------------------------------------------------------------


def test_module_globals_in_order():
    assert list(vars(tessel.image)) == [
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__",
        "os", "time", "cv2", "requests", "np", "BytesIO", "Image",
        "Tuple", "Dict", "Any", "Optional", "Union", "List",
        "ThreadPoolExecutor", "as_completed", "logging", "str_to_md5",
        "InvalidImageError", "ServiceError", "ImageTool",
    ]  # fmt: skip


@pytest.mark.parametrize(
    "name, obj",
    [
        ("os", __import__("os")),
        ("time", __import__("time")),
        ("cv2", cv2),
        ("requests", requests),
        ("np", np),
        ("BytesIO", io.BytesIO),
        ("Image", PIL.Image),
        *[(n, getattr(typing, n)) for n in ("Tuple", "Dict", "Any", "Optional", "Union", "List")],
        ("ThreadPoolExecutor", concurrent.futures.ThreadPoolExecutor),
        ("as_completed", concurrent.futures.as_completed),
        ("logging", logging),
        ("str_to_md5", tessel.utils.str_to_md5),
        ("InvalidImageError", faultdefs.InvalidImageError),
        ("ServiceError", faultdefs.ServiceError),
    ],
)
def test_globals_are_the_imported_objects(name, obj):
    assert getattr(tessel.image, name) is obj


def test_module_attributes():
    assert tessel.image.__doc__ is None
    assert tessel.image.__name__ == "tessel.image"
    assert tessel.image.__package__ == "tessel"
    assert tessel.image.__builtins__ is __import__("builtins")
    assert tessel.image.__file__ == tessel.image.__spec__.origin
    assert tessel.image.__loader__ is tessel.image.__spec__.loader
    assert not hasattr(tessel.image, "__path__")


def test_class():
    assert type(ImageTool) is type
    assert ImageTool.__name__ == ImageTool.__qualname__ == "ImageTool"
    assert ImageTool.__module__ == "tessel.image"
    assert ImageTool.__bases__ == (object,)
    assert ImageTool.__doc__ == "图片工具类，提供图像检测、处理、获取等操作。"
    keys = list(vars(ImageTool))
    assert keys[:2] == ["__module__", "__doc__"]
    assert keys[2:10] == NAMES
    assert set(keys[10:]) <= {"__dict__", "__weakref__"}
    assert vars(ImageTool()) == {}


@pytest.mark.parametrize("name", NAMES)
def test_methods_are_static(name):
    wrapper = vars(ImageTool)[name]
    assert type(wrapper) is staticmethod
    assert wrapper.__func__ is getattr(ImageTool, name) is getattr(ImageTool(), name)


# --- function objects -----------------------------------------------------------------


@pytest.mark.parametrize("name", NAMES)
def test_identity(name):
    f = getattr(ImageTool, name)
    assert f.__name__ == name
    assert f.__qualname__ == "ImageTool." + name
    assert f.__module__ == "tessel.image"
    assert f.__globals__ is vars(tessel.image)
    assert f.__kwdefaults__ is None
    assert repr(f).startswith(f"<function ImageTool.{name} at 0x")


@pytest.mark.parametrize("name", NAMES)
def test_signature(name):
    params, var_kw, ret, _ = METHODS[name]
    sig = inspect.signature(getattr(ImageTool, name))
    expected = [
        inspect.Parameter(p, inspect.Parameter.POSITIONAL_OR_KEYWORD, annotation=a, default=d) for p, a, d in params
    ]
    if var_kw is not None:
        kw_name, kw_ann = var_kw
        expected.append(
            inspect.Parameter(kw_name, inspect.Parameter.VAR_KEYWORD, annotation=R if kw_ann is None else kw_ann)
        )
    assert list(sig.parameters.values()) == expected
    assert sig.return_annotation == ret


@pytest.mark.parametrize("name", NAMES)
def test_defaults_keep_their_types(name):
    params = METHODS[name][0]
    defaults = getattr(ImageTool, name).__defaults__
    expected = tuple(d for _, _, d in params if d is not R)
    if not expected:
        assert defaults is None
        return
    assert defaults == expected
    assert [type(d) for d in defaults] == [type(d) for d in expected]


@pytest.mark.parametrize("name", NAMES)
def test_annotations_are_strings_in_order(name):
    params, var_kw, ret, _ = METHODS[name]
    expected = [(p, a) for p, a, _ in params]
    if var_kw is not None and var_kw[1] is not None:
        expected.append(var_kw)
    expected.append(("return", ret))
    assert list(getattr(ImageTool, name).__annotations__.items()) == expected


@pytest.mark.parametrize("name", NAMES)
def test_type_hints_resolve(name):
    hints = typing.get_type_hints(getattr(ImageTool, name))
    assert list(hints) == list(getattr(ImageTool, name).__annotations__)
    assert all(not isinstance(v, str) for v in hints.values())


def test_some_type_hints():
    assert typing.get_type_hints(ImageTool.get_img_url_io) == {
        "url": str,
        "max_retries": int,
        "base_delay": float,
        "logger": typing.Optional[logging.Logger],
        "return": typing.Optional[io.BytesIO],
    }
    assert typing.get_type_hints(ImageTool.is_valid_image)["kwargs"] is typing.Any


@pytest.mark.parametrize("name", NAMES)
def test_docstring_layout(name):
    doc = getattr(ImageTool, name).__doc__
    summary = METHODS[name][3]
    assert doc.startswith("\n        " + summary + "\n\n")
    assert doc.endswith("\n        ")
    for section in ("Args:", "Returns:"):
        assert "\n        " + section + "\n" in doc
    assert ("\n        Example:\n" in doc) == (name == "is_valid_image")


# --- binding messages -----------------------------------------------------------------

T = ImageTool


def count_msg(name, which, bound, given):
    return f"{name}() takes {which} {bound} positional argument{'' if bound == 1 else 's'} ({given} given)"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: T.get_img_url_bytes("u", 5), count_msg("get_img_url_bytes", "exactly", 1, 2)),
        (lambda: T.get_img_url_bytes(), count_msg("get_img_url_bytes", "exactly", 1, 0)),
        (lambda: T.is_valid_image(), count_msg("is_valid_image", "exactly", 1, 0)),
        (lambda: T.is_valid_image(task_id="abc"), count_msg("is_valid_image", "exactly", 1, 0)),
        (lambda: T.is_valid_image(b"", b""), count_msg("is_valid_image", "exactly", 1, 2)),
        (lambda: T.get_img_url_io(), count_msg("get_img_url_io", "at least", 1, 0)),
        (lambda: T.get_img_url_io(max_retries=1), count_msg("get_img_url_io", "at least", 1, 0)),
        (lambda: T.get_img_url_io("u", 1, 2, None, 5), count_msg("get_img_url_io", "at most", 4, 5)),
        (lambda: T.is_plain_gray(), count_msg("is_plain_gray", "at least", 1, 0)),
        (lambda: T.is_plain_gray(b"", 1, 2, 3), count_msg("is_plain_gray", "at most", 3, 4)),
        (lambda: T.has_multiple_transparency(threshold=5), count_msg("has_multiple_transparency", "at least", 1, 0)),
        (lambda: T.has_multiple_transparency(b"", 1, 2), count_msg("has_multiple_transparency", "at most", 2, 3)),
        (lambda: T.batch_has_multiple_transparency(), count_msg("batch_has_multiple_transparency", "at least", 1, 0)),
        (lambda: T.batch_has_multiple_transparency("d", 1, 2, [], "x", 6), count_msg("batch_has_multiple_transparency", "at most", 5, 6)),
        (lambda: T.trim_transparent_edges(padding=1), count_msg("trim_transparent_edges", "at least", 1, 0)),
        (lambda: T.trim_transparent_edges(b"", 1, "PNG", 4), count_msg("trim_transparent_edges", "at most", 3, 4)),
        (lambda: T.has_colored_lines(*range(8)), count_msg("has_colored_lines", "at most", 7, 8)),
        (lambda: T.has_multiple_transparency(b"", foo=1), "has_multiple_transparency() got an unexpected keyword argument 'foo'"),
        (lambda: T.trim_transparent_edges(b"", pad=1), "trim_transparent_edges() got an unexpected keyword argument 'pad'"),
        (lambda: T.has_colored_lines(b"", gap=1), "has_colored_lines() got an unexpected keyword argument 'gap'"),
        (lambda: T.batch_has_multiple_transparency("d", ext=[]), "batch_has_multiple_transparency() got an unexpected keyword argument 'ext'"),
        (lambda: T.get_img_url_io("u", url="v"), "get_img_url_io() got multiple values for keyword argument 'url'"),
        (lambda: T.get_img_url_io("u", 1, max_retries=1), "get_img_url_io() got multiple values for keyword argument 'max_retries'"),
        (lambda: T.is_valid_image(b"", image_data=b""), "is_valid_image() got multiple values for keyword argument 'image_data'"),
        (lambda: T.has_multiple_transparency(b"", 5, threshold=5), "has_multiple_transparency() got multiple values for keyword argument 'threshold'"),
        (lambda: T.is_plain_gray(b"", 1.0, gray_thresh=2.0), "is_plain_gray() got multiple values for keyword argument 'gray_thresh'"),
        # A binding error comes before any conversion error.
        (lambda: T.has_multiple_transparency(None, threshold="x", foo=1), "has_multiple_transparency() got an unexpected keyword argument 'foo'"),
    ],
)  # fmt: skip
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


@pytest.mark.parametrize("name", NAMES)
def test_keywords_must_be_strings(name):
    f = getattr(ImageTool, name)
    first = "d" if name == "batch_has_multiple_transparency" else "u"
    with pytest.raises(TypeError) as caught:
        type(f).__call__(f, first, **{1: 2})
    assert str(caught.value) == f"{name}() keywords must be strings"
    # The interpreter may reject the key itself before the function sees it.
    with pytest.raises(TypeError, match=r"keywords must be strings$"):
        f(first, **{1: 2})


# --- entry conversions -----------------------------------------------------------------


def incorrect(param, expected, got):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {got})"


class MyStr(str):
    pass


class MyList(list):
    pass


class OnlyFloat:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: T.has_multiple_transparency(b"", threshold="5"), TypeError, incorrect("threshold", "int", "str")),
        (lambda: T.has_multiple_transparency(b"", None), TypeError, incorrect("threshold", "int", "NoneType")),
        (lambda: T.has_colored_lines(b"", 30, [1]), TypeError, incorrect("color_gap", "int", "list")),
        (lambda: T.trim_transparent_edges(b"", b"10"), TypeError, incorrect("padding", "int", "bytes")),
        (lambda: T.get_img_url_io(None), TypeError, incorrect("url", "str", "NoneType")),
        (lambda: T.get_img_url_io(b"http://x"), TypeError, incorrect("url", "str", "bytes")),
        (lambda: T.get_img_url_bytes(MyStr("http://x")), TypeError, incorrect("url", "str", "MyStr")),
        (lambda: T.batch_has_multiple_transparency("d", extensions=(".png",)), TypeError, incorrect("extensions", "list", "tuple")),
        (lambda: T.batch_has_multiple_transparency("d", extensions=MyList()), TypeError, incorrect("extensions", "list", "MyList")),
        (lambda: T.batch_has_multiple_transparency("d", desc=None), TypeError, incorrect("desc", "str", "NoneType")),
        (lambda: T.batch_has_multiple_transparency(MyStr("d")), TypeError, incorrect("directory", "str", "MyStr")),
        (lambda: T.trim_transparent_edges(b"", output_format=b"PNG"), TypeError, incorrect("output_format", "str", "bytes")),
        (lambda: T.is_plain_gray(b"", gray_thresh="30"), TypeError, "must be real number, not str"),
        (lambda: T.has_colored_lines(b"", max_fill_ratio=None), TypeError, "must be real number, not NoneType"),
        (lambda: T.get_img_url_io("u", base_delay=[]), TypeError, "must be real number, not list"),
        # ints first, then floats, then exact types, whatever the parameter order
        (lambda: T.get_img_url_io(None, "x", "y"), TypeError, incorrect("max_retries", "int", "str")),
        (lambda: T.get_img_url_io(None, base_delay="y"), TypeError, "must be real number, not str"),
        (lambda: T.has_colored_lines(b"", 1, 2, "f", 0.1, 0.1, 0.1), TypeError, "must be real number, not str"),
        (lambda: T.has_colored_lines(b"", 1, "g", "f"), TypeError, incorrect("color_gap", "int", "str")),
        (lambda: T.batch_has_multiple_transparency(None, max_workers="4"), TypeError, incorrect("max_workers", "int", "str")),
    ],
)  # fmt: skip
def test_conversion_errors(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda: T.get_img_url_bytes(MyStr("http://x")),
        lambda: T.batch_has_multiple_transparency("d", extensions=MyList()),
    ],
)
def test_subclass_rejection_carries_a_note(call):
    with pytest.raises(TypeError) as caught:
        call()
    (note,) = caught.value.__notes__
    assert "ubclass" in note


def test_plain_type_rejection_has_no_note():
    with pytest.raises(TypeError) as caught:
        T.get_img_url_io(None)
    assert not hasattr(caught.value, "__notes__")


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf, 1j, OnlyFloat(), np.float64(math.nan)])
def test_int_conversion_errors_are_those_of_int(value):
    with pytest.raises(Exception) as expected:
        int(value)
    with pytest.raises(type(expected.value)) as caught:
        T.has_multiple_transparency(b"", value)
    assert str(caught.value) == str(expected.value)


# Accepted conversions are observed through the download, which is ours:
# max_retries decides how many waits a refused URL produces, and base_delay
# is the first wait.
@pytest.mark.parametrize(
    "max_retries, attempts",
    [(2.9, 2), (True, 1), (False, 0), (np.int64(2), 2), (np.float32(1.5), 1), (3, 3), (-1, 0)],
)
def test_int_rule_on_max_retries(image_sleeps, capsys, max_retries, attempts):
    url = f"http://127.0.0.1:{closed_port()}/"
    with pytest.raises(tessel.image.ServiceError):
        T.get_img_url_io(url, max_retries, 0.0)
    assert len(image_sleeps.waits) == attempts


class Index:
    def __index__(self):
        return 2


@pytest.mark.parametrize("base_delay, first_wait", [(1, 1.0), (True, 1.0), (Index(), 2.0), (np.float32(0.25), 0.25), (OnlyFloat(), 2.5)])
def test_float_rule_on_base_delay(image_sleeps, capsys, base_delay, first_wait):
    url = f"http://127.0.0.1:{closed_port()}/"
    with pytest.raises(tessel.image.ServiceError):
        T.get_img_url_io(url, 1, base_delay)
    assert image_sleeps.waits == [first_wait]
    assert type(image_sleeps.waits[0]) is float
    assert f", {first_wait}s 后重试" in capsys.readouterr().out


def test_kwargs_collects_other_keywords_in_a_new_dict(monkeypatch):
    seen = []

    class Recorded(Exception):
        def __init__(self, *args, **kwargs):
            seen.append(kwargs["extra_data"])

    monkeypatch.setattr(tessel.image, "InvalidImageError", Recorded)
    context = {"task_id": "abc123", "n": 1}
    with pytest.raises(Recorded):
        T.is_valid_image(b"", **context)
    with pytest.raises(Recorded):
        T.is_valid_image(image_data=b"", task_id="abc123", n=1)
    assert seen == [context, context]
    assert seen[0] is not context and seen[0] is not seen[1]


def test_instance_calls_behave_like_class_calls():
    png = __import__("support.images", fromlist=["x"]).uniform()
    assert ImageTool().is_valid_image(png) is True
    with pytest.raises(TypeError) as by_class:
        ImageTool.get_img_url_bytes("u", 5)
    with pytest.raises(TypeError) as by_instance:
        ImageTool().get_img_url_bytes("u", 5)
    assert str(by_class.value) == str(by_instance.value)
