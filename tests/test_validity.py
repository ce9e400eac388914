"""ImageTool.is_valid_image: whole images pass, damaged ones raise
InvalidImageError with the data size and the caller's context."""

from __future__ import annotations

import io
import os
import sys
import types

import numpy as np
import PIL.Image
import PIL.ImageFile
import pytest

import tessel.image
from faultdefs import InvalidImageError, ServiceError
from support import images
from support.server import Reply, closed_port

ImageTool = tessel.image.ImageTool


@pytest.fixture(autouse=True)
def strict_decoding(monkeypatch):
    # Truncated images must fail to load, whatever another test set.
    monkeypatch.setattr(PIL.ImageFile, "LOAD_TRUNCATED_IMAGES", False)


def photo(fmt):
    rng = np.random.default_rng(7)
    return images.from_array(rng.integers(0, 256, (120, 160, 3), dtype=np.uint8), fmt=fmt)


WHOLE = {fmt: photo(fmt) for fmt in ("PNG", "JPEG", "GIF", "BMP", "WEBP", "TIFF")}


def invalid(call):
    with pytest.raises(InvalidImageError) as caught:
        call()
    err = caught.value
    # Raised while the original error was handled, never chained explicitly.
    assert err.__context__ is err.original_error
    assert err.__cause__ is None
    assert err.args[0] == "图片无效: " + str(err.original_error)
    return err


@pytest.mark.parametrize("fmt", list(WHOLE))
@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview], ids=["bytes", "bytearray", "memoryview"])
def test_whole_image_is_valid(fmt, wrap):
    assert ImageTool.is_valid_image(wrap(WHOLE[fmt])) is True


@pytest.mark.parametrize("fmt", ["PNG", "JPEG"])
@pytest.mark.parametrize("keep", [0.5, 0.9])
def test_truncated_image_is_invalid(fmt, keep):
    data = WHOLE[fmt][: int(len(WHOLE[fmt]) * keep)]
    err = invalid(lambda: ImageTool.is_valid_image(data))
    assert err.image_size == len(data)
    assert isinstance(err.original_error, OSError)
    assert err.args[0].startswith("图片无效: ")
    assert err.extra_data == {}


@pytest.mark.parametrize("data", [b"", b"not an image at all", b"\x89PNG\r\n\x1a\n"], ids=["empty", "text", "signature-only"])
def test_unidentifiable_data_is_invalid(data):
    err = invalid(lambda: ImageTool.is_valid_image(data))
    assert err.image_size == len(data)
    assert isinstance(err.original_error, PIL.UnidentifiedImageError)


def test_context_travels_in_extra_data():
    err = invalid(lambda: ImageTool.is_valid_image(b"junk", task_id="abc123", user_id=42))
    assert list(err.extra_data.items()) == [("task_id", "abc123"), ("user_id", 42)]


def test_invalid_image_error_call_shape(monkeypatch):
    made = []

    class Recorded(Exception):
        def __init__(self, *args, **kwargs):
            super().__init__(*args)
            made.append((args, kwargs))

    monkeypatch.setattr(tessel.image, "InvalidImageError", Recorded)
    context = {"task_id": "t1"}
    for kwargs in ({}, context):
        with pytest.raises(Recorded) as caught:
            ImageTool.is_valid_image(b"junk", **kwargs)
        args, seen = made.pop()
        assert args == ("图片无效: " + str(caught.value.__context__),)
        assert list(seen) == ["image_size", "original_error", "extra_data"]
        assert seen["image_size"] == 4 and seen["original_error"] is caught.value.__context__
        assert type(seen["extra_data"]) is dict and seen["extra_data"] == kwargs
        assert seen["extra_data"] is not kwargs  # a new dict of this call


def test_missing_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    path = "missing1.png"
    assert len(path) == 12
    err = invalid(lambda: ImageTool.is_valid_image(path, job=1))
    assert err.image_size == 12
    assert type(err.original_error) is FileNotFoundError
    assert err.original_error.args == ("图片文件不存在: " + path,)
    assert err.args[0] == "图片无效: 图片文件不存在: " + path
    assert err.extra_data == {"job": 1}


@pytest.mark.parametrize("source", ["HTTPS://127.0.0.1/x.png", "Http://127.0.0.1/x.png", "ftp://h/x.png", "."])
def test_non_url_strings_are_paths(source):
    err = invalid(lambda: ImageTool.is_valid_image(source))
    assert type(err.original_error) is FileNotFoundError
    assert err.original_error.args == ("图片文件不存在: " + source,)
    assert err.image_size == len(source)


class PathStr(str):
    pass


@pytest.mark.parametrize("kind", [str, PathStr])
def test_file_paths_are_read(tmp_path, kind):
    good = tmp_path / "good.jpg"
    good.write_bytes(WHOLE["JPEG"])
    assert ImageTool.is_valid_image(kind(str(good))) is True
    bad = tmp_path / "bad.png"
    cut = WHOLE["PNG"][:1500]
    bad.write_bytes(cut)
    err = invalid(lambda: ImageTool.is_valid_image(kind(str(bad))))
    assert err.image_size == len(cut)  # the bytes that were read, not the path


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file(tmp_path):
    path = tmp_path / "locked.png"
    path.write_bytes(WHOLE["PNG"])
    path.chmod(0)
    err = invalid(lambda: ImageTool.is_valid_image(str(path)))
    assert isinstance(err.original_error, PermissionError)
    assert err.image_size == len(str(path))


@pytest.mark.parametrize("source", [io.BytesIO(WHOLE["PNG"]), 12345, [1, 2]], ids=["BytesIO", "int", "list"])
def test_sources_bytesio_rejects_propagate_unconverted(source):
    with pytest.raises(TypeError) as caught:
        ImageTool.is_valid_image(source)
    with pytest.raises(TypeError) as expected:
        io.BytesIO(source)
    assert str(caught.value) == str(expected.value)


def test_source_without_length_fails_in_the_handler():
    # BytesIO(None) is an empty stream, so decoding fails; len(None) then
    # fails while that error is handled.
    with pytest.raises(TypeError, match="has no len") as caught:
        ImageTool.is_valid_image(None)
    assert isinstance(caught.value.__context__, PIL.UnidentifiedImageError)


def test_non_oserror_from_the_library_propagates(monkeypatch):
    monkeypatch.setattr(PIL.Image, "MAX_IMAGE_PIXELS", 10)
    with pytest.raises(PIL.Image.DecompressionBombError):
        ImageTool.is_valid_image(WHOLE["PNG"])


def test_image_is_closed_on_every_path(monkeypatch):
    opened = []

    def recording_open(fp, *args, **kwargs):
        image = PIL.Image.open(fp, *args, **kwargs)
        opened.append(image)
        return image

    monkeypatch.setattr(tessel.image, "Image", types.SimpleNamespace(open=recording_open))
    assert ImageTool.is_valid_image(WHOLE["PNG"]) is True
    invalid(lambda: ImageTool.is_valid_image(WHOLE["PNG"][:2000]))
    assert len(opened) == 2
    assert all(image.fp is None for image in opened)  # left through __exit__


def test_error_from_exit_is_chained_to_the_load_error(monkeypatch):
    class Broken:
        def __enter__(self):
            return self

        def load(self):
            raise OSError("load failed")

        def __exit__(self, *exc):
            raise KeyError("exit failed")

    monkeypatch.setattr(tessel.image, "Image", types.SimpleNamespace(open=lambda fp: Broken()))
    with pytest.raises(KeyError) as caught:
        ImageTool.is_valid_image(b"data")
    assert str(caught.value.__context__) == "load failed"


def test_exit_may_swallow_the_load_error(monkeypatch):
    exits = []

    class Forgiving:
        def __enter__(self):
            return self

        def load(self):
            raise OSError("load failed")

        def __exit__(self, exc_type, exc, tb):
            exits.append((exc_type, str(exc), tb is not None))
            return True

    monkeypatch.setattr(tessel.image, "Image", types.SimpleNamespace(open=lambda fp: Forgiving()))
    assert ImageTool.is_valid_image(b"data") is True
    assert exits == [(OSError, "load failed", True)]


@pytest.mark.parametrize("path, body", [("/ok", WHOLE["PNG"]), ("/cut", WHOLE["PNG"][:3000])], ids=["whole", "cut"])
def test_url_source(server, path, body):
    url = server.reply(path, Reply(200, body, chunked=True))
    if path == "/ok":
        assert ImageTool.is_valid_image(url) is True
    else:
        err = invalid(lambda: ImageTool.is_valid_image(url, id=3))
        assert err.image_size == len(body)
        assert err.extra_data == {"id": 3}
    assert len(server.requests) == 1


def test_failed_download_propagates(image_sleeps, capsys):
    url = f"http://127.0.0.1:{closed_port()}/x.png"
    with pytest.raises(ServiceError) as caught:
        ImageTool.is_valid_image(url)
    assert caught.value.extra_data == {"url": url}
    assert image_sleeps.waits == [0.5, 1.0, 2.0]  # the download's defaults
    assert len(capsys.readouterr().out.splitlines()) == 5


def test_oserror_from_the_download_is_converted(monkeypatch):
    class FailingTool:
        @staticmethod
        def get_img_url_io(url):
            raise ConnectionRefusedError("refused")

    monkeypatch.setattr(tessel.image, "ImageTool", FailingTool)
    url = "http://127.0.0.1:1/x.png"
    err = invalid(lambda: ImageTool.is_valid_image(url))
    assert err.image_size == len(url)


def test_reference_counts_are_unchanged(tmp_path):
    good, bad = WHOLE["PNG"], WHOLE["JPEG"][:2000]
    path = str(tmp_path / "missing.png")
    task, user = "task-" + "x" * 20, object()
    watched = [good, bad, path, task, user]

    def run():
        ImageTool.is_valid_image(good, task_id=task)
        for source in (bad, path):
            try:
                ImageTool.is_valid_image(source, task_id=task, user=user)
            except InvalidImageError:
                pass
        try:
            ImageTool.is_valid_image(io.BytesIO(good), user=user)
        except TypeError:
            pass

    run()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(5):
        run()
    assert [sys.getrefcount(o) for o in watched] == before
