"""Functions pickle by reference, so process pools can run the checks; the HTTP
client pickles with its session settings."""

from __future__ import annotations

import copy
import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor

import pytest

from faultdefs import InvalidImageError
from support.samples import SAMPLES, TRANSPARENCY, truncated_png, write_samples
from tessel.image import ImageTool

IMAGE_METHODS = [
    "is_plain_gray",
    "get_img_url_io",
    "get_img_url_bytes",
    "is_valid_image",
    "has_multiple_transparency",
    "batch_has_multiple_transparency",
    "trim_transparent_edges",
    "has_colored_lines",
]
HTTP_METHODS = ["__init__", "_calc_backoff_wait", "request", "post", "get"]
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def http_module():
    import tessel.http

    return tessel.http


@pytest.fixture(scope="module")
def pool():
    # spawn: workers import tessel afresh, so unpickling by name is exercised.
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as executor:
        yield executor


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("name", IMAGE_METHODS)
def test_image_function_round_trips_to_itself(name, protocol):
    function = getattr(ImageTool, name)
    data = pickle.dumps(function, protocol=protocol)
    assert b"tessel.image" in data and name.encode() in data
    assert pickle.loads(data) is function


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("name", HTTP_METHODS)
def test_http_function_round_trips_to_itself(name, protocol):
    function = getattr(http_module().HttpRequestClient, name)
    assert pickle.loads(pickle.dumps(function, protocol=protocol)) is function


@pytest.mark.parametrize("name", IMAGE_METHODS[:3])
def test_copy_keeps_the_same_function(name):
    function = getattr(ImageTool, name)
    assert copy.copy(function) is function
    assert copy.deepcopy(function) is function


@pytest.fixture
def pristine_classes():
    """Pickling an instance caches __slotnames__ on its class (copyreg); take
    it away again so other tests see the class namespaces as built."""
    classes = [ImageTool]
    try:
        classes.append(http_module().HttpRequestClient)
    except ImportError:
        pass  # the HTTP tests themselves report a missing module
    before = [set(vars(cls)) for cls in classes]
    yield
    for cls, names in zip(classes, before):
        if "__slotnames__" in vars(cls) and "__slotnames__" not in names:
            delattr(cls, "__slotnames__")


def test_image_class_pickles_by_reference(pristine_classes):
    assert pickle.loads(pickle.dumps(ImageTool)) is ImageTool
    assert type(pickle.loads(pickle.dumps(ImageTool()))) is ImageTool


def test_http_class_pickles_by_reference():
    cls = http_module().HttpRequestClient
    assert pickle.loads(pickle.dumps(cls)) is cls


def test_a_renamed_function_cannot_be_found():
    # Pickling looks the function up by its qualified name; a name that leads
    # elsewhere must fail loudly rather than pickle some other object.
    function = ImageTool.is_valid_image
    original = function.__qualname__
    function.__qualname__ = "ImageTool.no_such_method"
    try:
        with pytest.raises((pickle.PicklingError, AttributeError)):
            pickle.dumps(function)
    finally:
        function.__qualname__ = original
    assert pickle.loads(pickle.dumps(function)) is function


@pytest.fixture(scope="module")
def sample_paths(tmp_path_factory):
    written = write_samples(tmp_path_factory.mktemp("pool"))
    return {name: str(path) for name, path in written.items()}


def test_pool_maps_has_multiple_transparency(pool, sample_paths):
    names = list(sample_paths)
    got = list(pool.map(ImageTool.has_multiple_transparency, [sample_paths[n] for n in names]))
    assert got == [TRANSPARENCY[n] for n in names]


def test_pool_maps_is_plain_gray(pool, sample_paths):
    paths = list(sample_paths.values())
    got = list(pool.map(ImageTool.is_plain_gray, paths))
    assert got == [ImageTool.is_plain_gray(p) for p in paths]
    assert got[list(sample_paths).index("grey.png")][0] is True


def test_pool_maps_is_valid_image_and_carries_the_error_back(pool, sample_paths, tmp_path):
    paths = list(sample_paths.values())
    assert list(pool.map(ImageTool.is_valid_image, paths)) == [True] * len(paths)
    broken = truncated_png()
    future = pool.submit(ImageTool.is_valid_image, broken, task_id="t-1")
    with pytest.raises(InvalidImageError) as info:
        future.result()
    error = info.value
    assert error.image_size == len(broken)
    assert error.extra_data == {"task_id": "t-1"}
    assert isinstance(error.original_error, OSError)
    assert str(error).startswith("图片无效: ")


def test_pool_runs_methods_with_keyword_arguments(pool):
    data = SAMPLES["palette5.png"]()
    low = pool.submit(ImageTool.has_multiple_transparency, data, threshold=4)
    high = pool.submit(ImageTool.has_multiple_transparency, data, threshold=5)
    assert (low.result(), high.result()) == (True, False)


# --- the HTTP client ----------------------------------------------------------


def make_client(**kwargs):
    client = http_module().HttpRequestClient(**kwargs)
    client.session.cookies.set("sid", "abc", domain="127.0.0.1", path="/")
    client.session.headers["X-Extra"] = "1"
    return client


@pytest.mark.parametrize("protocol", [2, pickle.DEFAULT_PROTOCOL, pickle.HIGHEST_PROTOCOL])
def test_client_pickles_with_its_settings_and_session(protocol, pristine_classes):
    client = make_client(max_retries=5, base_timeout=7, verify_ssl=True, user_agent="probe/1")
    client.extra_attribute = [1, 2]
    clone = pickle.loads(pickle.dumps(client, protocol=protocol))
    assert type(clone) is type(client)
    assert (clone.max_retries, clone.base_timeout, clone.verify_ssl) == (5, 7, True)
    assert clone.extra_attribute == [1, 2]
    assert clone.session is not client.session
    assert clone.session.headers["User-Agent"] == "probe/1"
    assert clone.session.headers["X-Extra"] == "1"
    assert clone.session.cookies.get("sid") == "abc"


def test_unpickled_client_sends_requests(server, pristine_classes):
    from support.server import Reply

    url = server.reply("/echo", Reply(200, echo=True))
    clone = pickle.loads(pickle.dumps(make_client(user_agent="probe/2")))
    response = clone.get(url, params={"q": "1"})
    assert response.status_code == 200
    sent = response.json()
    assert sent["headers"]["User-Agent"] == "probe/2"
    assert sent["headers"]["Cookie"] == "sid=abc"
    assert sent["query"] == {"q": ["1"]}


def test_client_method_runs_in_a_process_pool(pool, server, pristine_classes):
    from support.server import Reply

    url = server.reply("/ping", Reply(201, b"pong"))
    client = make_client(user_agent="probe/3")
    response = pool.submit(client.get, url).result()
    assert (response.status_code, response.content) == (201, b"pong")
    assert server.requests[-1].headers["User-Agent"] == "probe/3"
