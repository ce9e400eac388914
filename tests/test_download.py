"""ImageTool.get_img_url_io / get_img_url_bytes against real loopback servers."""

from __future__ import annotations

import gc
import io
import logging
import sys

import pytest
import requests

import tessel.image
from faultdefs import ServiceError
from support import images
from support.recorders import FalsyLogger, ListLogger, RecordingRequests
from support.server import Reply, closed_port

ImageTool = tessel.image.ImageTool

SERVICE_MESSAGE = "无效的图片资源，请确认图片链接可正常访问"


def status_line(status, delay, url):
    return f"请求失败，状态码: {status}, {delay}s 后重试...: {url}"


def retry_line(number, url):
    return f"第 {number} 次重试...: {url}"


def refused_url():
    return f"http://127.0.0.1:{closed_port()}/img.png"


@pytest.fixture
def recording_requests(monkeypatch):
    recorder = RecordingRequests()
    monkeypatch.setattr(tessel.image, "requests", recorder)
    return recorder


# --- success -----------------------------------------------------------------

BODIES = {
    "png": images.noise(),
    "empty": b"",
    "large": bytes(range(256)) * (3 * 4096 + 7),  # about 3 MB, not a multiple of 4096
}


@pytest.mark.parametrize("chunked", [False, True], ids=["length", "chunked"])
@pytest.mark.parametrize("name", list(BODIES))
def test_whole_body_in_a_stream_left_at_its_end(server, image_sleeps, capsys, name, chunked):
    body = BODIES[name]
    url = server.reply("/img", Reply(200, body, chunked=chunked))
    stream = ImageTool.get_img_url_io(url)
    assert type(stream) is io.BytesIO
    assert stream.getvalue() == body
    assert stream.tell() == len(body)
    assert stream.read() == b""
    assert len(server.requests) == 1 and server.requests[0].method == "GET"
    assert image_sleeps.waits == []
    assert capsys.readouterr().out == ""


def test_request_call_shape(server, recording_requests):
    url = server.reply("/img", Reply(200, b"abc"))
    ImageTool.get_img_url_io(url)
    (args, kwargs), = recording_requests.calls
    assert args == (url,) and type(args[0]) is str
    assert list(kwargs.items()) == [("stream", True), ("timeout", 20), ("verify", False), ("headers", None)]


def test_request_settings_from_kwargs(server, recording_requests):
    url = server.reply("/img", Reply(200, b"abc"))
    headers = {"User-Agent": "probe/1.0", "Referer": "http://example.invalid/"}
    ImageTool.get_img_url_io(url, timeout=7.5, headers=headers, verify=True, other=1)
    (_, kwargs), = recording_requests.calls
    assert list(kwargs.items()) == [("stream", True), ("timeout", 7.5), ("verify", False), ("headers", headers)]
    seen = server.requests[0].headers
    assert seen["User-Agent"] == "probe/1.0" and seen["Referer"] == "http://example.invalid/"


# urllib3 warns about each unverified HTTPS request; that is the point here.
@pytest.mark.filterwarnings("ignore::Warning")
@pytest.mark.parametrize("kwargs", [{}, {"verify": True}], ids=["default", "verify-asked"])
def test_https_certificate_is_never_verified(tls_server, kwargs):
    body = images.uniform()
    url = tls_server.reply("/img", Reply(200, body))
    assert ImageTool.get_img_url_io(url, max_retries=1, **kwargs).getvalue() == body


def test_requests_global_is_looked_up_at_each_attempt(server, monkeypatch, image_sleeps):
    body = images.uniform()
    url = server.reply("/img", Reply(500), Reply(200, body))
    first, second = RecordingRequests(), RecordingRequests()

    class SwapAfterFirstWait:
        def sleep(self, seconds):
            image_sleeps.sleep(seconds)
            monkeypatch.setattr(tessel.image, "requests", second)

    monkeypatch.setattr(tessel.image, "requests", first)
    monkeypatch.setattr(tessel.image, "time", SwapAfterFirstWait())
    assert ImageTool.get_img_url_io(url, logger=ListLogger()).getvalue() == body
    assert len(first.calls) == 1 and len(second.calls) == 1


# --- failed attempts, waits and messages --------------------------------------

# 301/302 without a Location header are not followed, so they reach the method.
@pytest.mark.parametrize("status", [201, 204, 206, 301, 302, 404, 500, 503])
def test_any_status_but_200_is_retried(server, image_sleeps, capsys, status):
    body = images.uniform()
    url = server.reply("/img", Reply(status, b"" if status == 204 else b"nope"), Reply(200, body))
    assert ImageTool.get_img_url_io(url).getvalue() == body
    assert capsys.readouterr().out.splitlines() == [status_line(status, 0.5, url), retry_line(2, url)]
    assert image_sleeps.waits == [0.5]
    assert len(server.requests) == 2


def test_default_run_that_always_fails_prints_five_lines(server, image_sleeps, capsys):
    url = server.reply("/img", Reply(503, b"busy"))
    with pytest.raises(ServiceError) as caught:
        ImageTool.get_img_url_io(url)
    assert capsys.readouterr().out == "".join(
        line + "\n"
        for line in [
            status_line(503, 0.5, url),
            retry_line(2, url),
            status_line(503, 1.0, url),
            retry_line(3, url),
            status_line(503, 2.0, url),
        ]
    )
    assert image_sleeps.waits == [0.5, 1.0, 2.0]
    assert all(type(w) is float for w in image_sleeps.waits)
    assert len(server.requests) == 3
    err = caught.value
    assert type(err) is ServiceError
    assert err.args == (SERVICE_MESSAGE,)
    assert err.extra_data == {"url": url}
    assert err.__cause__ is None and err.__context__ is None


def test_refused_connection_lines(image_sleeps, capsys):
    url = refused_url()
    with pytest.raises(ServiceError) as caught:
        ImageTool.get_img_url_io(url)
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 5
    for line, delay in zip(lines[0::2], ["0.5", "1.0", "2.0"]):
        # str(e) of the transport error, without its type name
        assert line.startswith("请求发生错误: HTTPConnectionPool(")
        assert "Connection refused" in line
        assert line.endswith(f", {delay}s 后重试...: {url}")
    assert lines[1::2] == [retry_line(2, url), retry_line(3, url)]
    assert image_sleeps.waits == [0.5, 1.0, 2.0]
    assert caught.value.extra_data == {"url": url}
    assert caught.value.__context__ is None


@pytest.mark.parametrize(
    "make_logger, printed",
    [
        (lambda: None, True),
        (FalsyLogger, True),
        (ListLogger, False),
    ],
    ids=["none", "falsy", "truthy"],
)
def test_lines_go_to_a_truthy_logger_or_to_print(server, image_sleeps, capsys, make_logger, printed):
    url = server.reply("/img", Reply(500))
    logger = make_logger()
    with pytest.raises(ServiceError):
        ImageTool.get_img_url_io(url, max_retries=2, base_delay=0.0, logger=logger)
    expected = [status_line(500, 0.0, url), retry_line(2, url), status_line(500, 0.0, url)]
    out = capsys.readouterr().out.splitlines()
    if printed:
        assert out == expected
        assert logger is None or logger.lines == []
    else:
        assert out == []
        assert logger.lines == expected
    assert image_sleeps.waits == [0.0, 0.0]


def test_standard_logger_gets_error_records(server, image_sleeps, capsys):
    url = server.reply("/img", Reply(404))
    logger = logging.getLogger("tessel-download-test")
    logger.propagate = False
    records = []

    class Keep(logging.Handler):
        def emit(self, record):
            records.append(record)

    handler = Keep()
    logger.addHandler(handler)
    try:
        with pytest.raises(ServiceError):
            ImageTool.get_img_url_io(url, logger=logger)
    finally:
        logger.removeHandler(handler)
    assert [(r.levelno, r.getMessage()) for r in records] == [
        (logging.ERROR, status_line(404, 0.5, url)),
        (logging.ERROR, retry_line(2, url)),
        (logging.ERROR, status_line(404, 1.0, url)),
        (logging.ERROR, retry_line(3, url)),
        (logging.ERROR, status_line(404, 2.0, url)),
    ]
    assert capsys.readouterr().out == ""


def test_print_is_a_module_global_looked_up_at_call_time(server, image_sleeps, monkeypatch):
    url = server.reply("/img", Reply(500))
    printed = []
    monkeypatch.setattr(tessel.image, "print", printed.append, raising=False)
    with pytest.raises(ServiceError):
        ImageTool.get_img_url_io(url, max_retries=1)
    assert printed == [status_line(500, 0.5, url)]


def _qualname(o):
    # Any object the collector tracks, a closed image left by another test
    # among them, whose attribute lookup may raise.
    try:
        return getattr(o, "__qualname__", None)
    except Exception:
        return None


def test_log_is_a_fresh_inner_function(server, image_sleeps):
    url = server.reply("/img", Reply(500))
    seen = []

    class Inspecting(ListLogger):
        def error(self, msg):
            super().error(msg)
            seen.extend(
                o
                for o in gc.get_objects()
                if _qualname(o) == "ImageTool.get_img_url_io.<locals>.log" and not any(o is s for s in seen)
            )

    with pytest.raises(ServiceError):
        ImageTool.get_img_url_io(url, max_retries=1, logger=Inspecting())
    with pytest.raises(ServiceError):
        ImageTool.get_img_url_io(url, max_retries=1, logger=Inspecting())
    assert len(seen) == 2 and seen[0] is not seen[1]
    log = seen[0]
    assert log.__name__ == "log" and log.__module__ == "tessel.image"
    assert log.__annotations__ == {"msg": "str"}
    assert log.__defaults__ is None
    assert str(__import__("inspect").signature(log)) == "(msg: 'str')"
    with pytest.raises(TypeError, match=r"^Argument 'msg' has incorrect type \(expected str, got int\)$"):
        log(5)


@pytest.mark.parametrize(
    "max_retries, requests_made, waits",
    [(0, 0, []), (-2, 0, []), (1, 1, [0.5]), (2, 2, [0.5, 1.0]), (2.7, 2, [0.5, 1.0]), (True, 1, [0.5])],
)
def test_max_retries_counts_attempts(server, image_sleeps, capsys, max_retries, requests_made, waits):
    url = server.reply("/img", Reply(500))
    with pytest.raises(ServiceError) as caught:
        ImageTool.get_img_url_io(url, max_retries)
    assert len(server.requests) == requests_made
    assert image_sleeps.waits == waits
    expected = []
    for n, delay in enumerate(waits):
        if n:
            expected.append(retry_line(n + 1, url))
        expected.append(status_line(500, delay, url))
    assert capsys.readouterr().out.splitlines() == expected
    assert caught.value.extra_data == {"url": url}


@pytest.mark.parametrize(
    "base_delay, waits, texts",
    [
        (1, [1.0, 2.0, 4.0], ["1.0", "2.0", "4.0"]),
        (0, [0.0, 0.0, 0.0], ["0.0", "0.0", "0.0"]),
        (0.1, [0.1, 0.2, 0.4], ["0.1", "0.2", "0.4"]),
        (1e-7, [1e-7, 2e-7, 4e-7], ["1e-07", "2e-07", "4e-07"]),
    ],
)
def test_waits_double_and_print_as_floats(server, image_sleeps, capsys, base_delay, waits, texts):
    url = server.reply("/img", Reply(500))
    with pytest.raises(ServiceError):
        ImageTool.get_img_url_io(url, 3, base_delay)
    assert image_sleeps.waits == waits
    assert all(type(w) is float for w in image_sleeps.waits)
    failures = capsys.readouterr().out.splitlines()[0::2]
    assert failures == [status_line(500, text, url) for text in texts]


def test_failed_attempt_data_is_never_returned(server, image_sleeps, capsys):
    good = images.noise(seed=3)
    # The first reply promises more bytes than it sends, so reading breaks off.
    url = server.reply("/img", Reply(200, good[:1000], length=len(good)), Reply(200, good))
    assert ImageTool.get_img_url_io(url).getvalue() == good
    first, second = capsys.readouterr().out.splitlines()
    assert first.startswith("请求发生错误: ") and first.endswith(f", 0.5s 后重试...: {url}")
    assert second == retry_line(2, url)


def test_bad_timeout_makes_every_attempt_fail(server, image_sleeps, capsys):
    url = server.reply("/img", Reply(200, b"x"))
    with pytest.raises(ServiceError):
        ImageTool.get_img_url_io(url, timeout="soon", base_delay=0)
    assert len(server.requests) == 0
    assert capsys.readouterr().out.count("请求发生错误: ") == 3


def test_timeout_reaches_the_transport(server, image_sleeps, capsys):
    url = server.reply("/img", Reply(200, b"late", delay=1.0))
    with pytest.raises(ServiceError):
        ImageTool.get_img_url_io(url, max_retries=1, timeout=0.2)
    (line,) = capsys.readouterr().out.splitlines()
    assert line.startswith("请求发生错误: ") and "timed out" in line


class FirstWriteFails(io.BytesIO):
    """A BytesIO whose very first write (over all instances) fails."""

    failed = False

    def write(self, data):
        if not FirstWriteFails.failed:
            FirstWriteFails.failed = True
            raise OSError("disk on fire")
        return super().write(data)


@pytest.mark.parametrize("failure", ["status", "write"])
def test_failed_attempt_response_is_closed_before_the_wait(server, recording_requests, monkeypatch, failure):
    body = images.noise(seed=1, size=(200, 200))
    if failure == "status":
        first = Reply(500, b"x" * 50_000)
    else:
        first = Reply(200, b"y" * 50_000)
        FirstWriteFails.failed = False
        monkeypatch.setattr(tessel.image, "BytesIO", FirstWriteFails)
    url = server.reply("/img", first, Reply(200, body))
    closed_at_wait = []

    class CheckingTime:
        def sleep(self, seconds):
            closed_at_wait.append(recording_requests.responses[-1].raw.closed)

    monkeypatch.setattr(tessel.image, "time", CheckingTime())
    logger = ListLogger()
    assert ImageTool.get_img_url_io(url, logger=logger).getvalue() == body
    assert closed_at_wait == [True]
    assert len(recording_requests.responses) == 2
    if failure == "write":
        assert logger.lines[0] == f"请求发生错误: disk on fire, 0.5s 后重试...: {url}"


# --- errors raised while handling a failed attempt -----------------------------


def test_negative_delay_after_request_error_leaves_at_once(image_sleeps):
    url = refused_url()
    with pytest.raises(ValueError, match="non-negative") as caught:
        ImageTool.get_img_url_io(url, base_delay=-1)
    assert isinstance(caught.value.__context__, requests.ConnectionError)
    assert caught.value.__cause__ is None
    assert image_sleeps.waits == []


def test_negative_delay_after_bad_status_is_caught_once(server, image_sleeps, capsys):
    url = server.reply("/img", Reply(500))
    with pytest.raises(ValueError) as caught:
        ImageTool.get_img_url_io(url, base_delay=-0.5)
    # The status branch's wait fails inside the handler; the handler's own
    # wait fails again and leaves, chained to the first failure.
    assert type(caught.value.__context__) is ValueError
    assert caught.value.__context__.__context__ is None
    assert len(server.requests) == 1
    assert capsys.readouterr().out == ""


def test_logger_failure_in_status_branch_is_reported_as_an_error(server, image_sleeps):
    body = images.uniform()
    url = server.reply("/img", Reply(500), Reply(200, body))
    logger = ListLogger(fail_times=1)
    assert ImageTool.get_img_url_io(url, logger=logger).getvalue() == body
    assert logger.lines == [
        status_line(500, 0.5, url),
        f"请求发生错误: logger broke on line 1, 0.5s 后重试...: {url}",
        retry_line(2, url),
    ]
    assert image_sleeps.waits == [0.5, 0.5]


def test_logger_failure_in_error_branch_propagates(server, image_sleeps):
    url = server.reply("/img", Reply(500))
    logger = ListLogger(fail_times=2)
    with pytest.raises(RuntimeError, match="line 2") as caught:
        ImageTool.get_img_url_io(url, logger=logger)
    assert str(caught.value.__context__) == "logger broke on line 1"
    assert image_sleeps.waits == [0.5, 0.5]
    assert len(server.requests) == 1


@pytest.mark.parametrize("failure", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_base_exceptions_are_not_attempt_failures(server, image_sleeps, failure):
    url = server.reply("/img", Reply(500))
    with pytest.raises(failure):
        ImageTool.get_img_url_io(url, logger=ListLogger(fail_times=1, failure=failure))
    assert image_sleeps.waits == [0.5]
    assert len(server.requests) == 1


def test_context_of_caller_handler_is_kept(server, image_sleeps, capsys):
    url = server.reply("/img", Reply(500))
    try:
        raise LookupError("outer")
    except LookupError as exc:
        outer = exc
        with pytest.raises(ServiceError) as caught:
            ImageTool.get_img_url_io(url, max_retries=1)
        assert sys.exc_info()[1] is outer
    assert caught.value.__context__ is outer
    assert sys.exc_info() == (None, None, None)


def test_service_error_is_a_module_global(server, image_sleeps, monkeypatch, capsys):
    url = server.reply("/img", Reply(500))
    made = []

    class Recorded(Exception):
        def __init__(self, *args, **kwargs):
            super().__init__(*args)
            made.append((args, kwargs))

    monkeypatch.setattr(tessel.image, "ServiceError", Recorded)
    with pytest.raises(Recorded):
        ImageTool.get_img_url_io(url, max_retries=0)
    assert made == [((SERVICE_MESSAGE,), {"extra_data": {"url": url}})]


# --- get_img_url_bytes --------------------------------------------------------


def test_bytes_variant_passes_settings_through(server, image_sleeps, capsys):
    body = images.noise(seed=5)
    url = server.reply("/img", Reply(200, body))
    headers = {"X-Probe": "42"}
    data = ImageTool.get_img_url_bytes(url, max_retries=1, timeout=5, headers=headers)
    assert type(data) is bytes and data == body
    assert server.requests[0].headers["X-Probe"] == "42"


def test_bytes_variant_settings_reach_the_retry_loop(server, image_sleeps):
    url = server.reply("/img", Reply(502))
    logger = ListLogger()
    with pytest.raises(ServiceError):
        ImageTool.get_img_url_bytes(url, max_retries=2, base_delay=2, logger=logger)
    assert image_sleeps.waits == [2.0, 4.0]
    assert logger.lines == [status_line(502, 2.0, url), retry_line(2, url), status_line(502, 4.0, url)]


def test_bytes_variant_rejects_url_in_kwargs():
    with pytest.raises(TypeError) as caught:
        ImageTool.get_img_url_bytes("http://127.0.0.1:1/", **{"url": "http://127.0.0.1:1/"})
    assert str(caught.value) == "get_img_url_bytes() got multiple values for keyword argument 'url'"


def test_bytes_variant_calls_the_current_imagetool(monkeypatch):
    calls = []

    class Fake:
        @staticmethod
        def get_img_url_io(*args, **kwargs):
            calls.append((args, kwargs))
            return io.BytesIO(b"fake")

    monkeypatch.setattr(tessel.image, "ImageTool", Fake)
    kwargs = {"max_retries": 9, "anything": object()}
    assert ImageTool.get_img_url_bytes("u", **kwargs) == b"fake"
    (args, seen), = calls
    assert args == ("u",) and seen == kwargs and seen is not kwargs


@pytest.mark.parametrize("value, type_name", [("text", "str"), (bytearray(b"x"), "bytearray")])
def test_bytes_variant_result_must_be_exact_bytes(monkeypatch, value, type_name):
    class Stream:
        def getvalue(self):
            return value

    class Fake:
        @staticmethod
        def get_img_url_io(url, **kwargs):
            return Stream()

    monkeypatch.setattr(tessel.image, "ImageTool", Fake)
    with pytest.raises(TypeError, match=rf"^Expected bytes, got {type_name}$"):
        ImageTool.get_img_url_bytes("u")


# --- image sources that are URLs ------------------------------------------------


class MyStr(str):
    pass


def test_str_subclass_url_in_an_image_source_is_downloaded(server, recording_requests):
    body = images.uniform(fmt="PNG")
    url = server.reply("/img", Reply(200, body))
    assert ImageTool.is_valid_image(MyStr(url)) is True
    (args, _), = recording_requests.calls
    assert type(args[0]) is str and args[0] == url


# --- reference counts -------------------------------------------------------------


def test_reference_counts_are_unchanged(server, image_sleeps, capsys):
    body = images.noise(seed=9)
    ok = server.reply("/ok", Reply(200, body))
    bad = server.reply("/bad", Reply(500))
    logger, headers, timeout = ListLogger(), {"X-A": "1"}, 12.5
    watched = [logger, headers, timeout, ok, bad]

    def run():
        ImageTool.get_img_url_io(ok, 2, 0.0, logger, timeout=timeout, headers=headers)
        ImageTool.get_img_url_bytes(ok, logger=logger, timeout=timeout, headers=headers)
        for call in (ImageTool.get_img_url_io, ImageTool.get_img_url_bytes):
            try:
                call(bad, max_retries=2, base_delay=0.0, logger=logger, timeout=timeout, headers=headers)
            except ServiceError:
                pass
        try:
            ImageTool.get_img_url_io(bad, max_retries=1, base_delay=-1.0, logger=logger, headers=headers)
        except ValueError:
            pass

    run()  # warm up caches (interned names, connection pools)
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(5):
        run()
    assert [sys.getrefcount(o) for o in watched] == before
