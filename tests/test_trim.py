"""ImageTool.trim_transparent_edges: content box, margin, re-encoding, sources."""

from __future__ import annotations

import io

import numpy as np
import pytest
from PIL import Image, UnidentifiedImageError

import tessel.image
from support.images import encode
from support.pixel_paths import pixel_read_path  # noqa: F401  (fixture)

trim = tessel.image.ImageTool.trim_transparent_edges


def rgba_png(arr: np.ndarray) -> bytes:
    return encode(Image.fromarray(np.ascontiguousarray(arr, dtype=np.uint8), "RGBA"))


def decode(data: bytes) -> Image.Image:
    im = Image.open(io.BytesIO(data))
    im.load()
    return im


def transparent(h, w):
    return np.zeros((h, w, 4), np.uint8)


def reference_trim(data, padding=10, output_format="PNG"):
    """The straightforward whole-array formulation, box bounds as Python ints."""
    img = Image.open(io.BytesIO(data)).convert("RGBA")
    arr = np.array(img)
    alpha = arr[:, :, 3]
    rgb = arr[:, :, 0:3]
    is_white = np.all(rgb == 255, axis=2)
    coords = np.argwhere((alpha > 0) & ~is_white)
    if len(coords) == 0:
        out = img
    else:
        top, left = (int(v) for v in coords.min(axis=0))
        bottom, right = (int(v) for v in coords.max(axis=0))
        right += 1
        bottom += 1
        left = left - padding if left - padding > 0 else 0
        top = top - padding if top - padding > 0 else 0
        right = right + padding if right + padding < img.width else img.width
        bottom = bottom + padding if bottom + padding < img.height else img.height
        out = img.crop((left, top, right, bottom))
    buf = io.BytesIO()
    out.save(buf, format=output_format)
    return buf.getvalue()


def outcome(fn, *args, **kwargs):
    """('ok', size, pixels) of the decoded result, or ('error', type, message)."""
    try:
        data = fn(*args, **kwargs)
    except Exception as exc:  # the comparison is the point
        return ("error", type(exc), str(exc))
    im = decode(data)
    return ("ok", im.size, im.mode, np.array(im).tobytes())


def test_worked_example():
    arr = transparent(50, 100)
    arr[5:10, 10:20] = (200, 30, 40, 255)
    out = decode(trim(rgba_png(arr), 10))
    assert out.format == "PNG" and out.mode == "RGBA" and out.size == (30, 20)
    np.testing.assert_array_equal(np.array(out), arr[0:20, 0:30])


@pytest.mark.parametrize("x, y", [(0, 0), (12, 0), (0, 7), (12, 7), (6, 3), (1, 6), (11, 1)])
@pytest.mark.parametrize("padding", [0, 1, 3, 100])
def test_single_content_pixel(x, y, padding):
    w, h = 13, 8
    arr = transparent(h, w)
    arr[y, x] = (0, 0, 0, 7)
    out = np.array(decode(trim(rgba_png(arr), padding)))
    left, top = max(0, x - padding), max(0, y - padding)
    right, bottom = min(w, x + 1 + padding), min(h, y + 1 + padding)
    assert out.shape == (bottom - top, right - left, 4)
    np.testing.assert_array_equal(out, arr[top:bottom, left:right])


@pytest.mark.parametrize("padding", [0, 4, 10**30])
def test_content_on_all_four_edges_keeps_the_whole_image(padding):
    arr = transparent(9, 14)
    arr[0, 5] = arr[8, 3] = arr[4, 0] = arr[2, 13] = (1, 2, 3, 255)
    out = decode(trim(rgba_png(arr), padding))
    assert out.size == (14, 9)
    np.testing.assert_array_equal(np.array(out), arr)


@pytest.mark.parametrize(
    "image",
    [
        Image.new("RGBA", (17, 5), (40, 50, 60, 0)),
        Image.new("RGB", (17, 5), (255, 255, 255)),
        Image.new("RGBA", (17, 5), (255, 255, 255, 128)),
        Image.new("LA", (17, 5), (255, 255)),
    ],
    ids=["transparent", "white", "white-half-alpha", "white-LA"],
)
def test_background_only_image_returned_whole(image):
    out = decode(trim(encode(image), 3))
    assert out.mode == "RGBA" and out.size == (17, 5)
    np.testing.assert_array_equal(np.array(out), np.array(image.convert("RGBA")))


@pytest.mark.parametrize(
    "pixel, is_content",
    [
        ((255, 255, 255, 128), False),
        ((255, 255, 255, 255), False),
        ((254, 255, 255, 255), True),
        ((255, 254, 255, 255), True),
        ((255, 255, 254, 255), True),
        ((0, 0, 0, 1), True),
        ((0, 0, 0, 0), False),
        ((10, 200, 30, 0), False),
    ],
)
def test_content_rule(pixel, is_content):
    arr = transparent(6, 9)
    arr[2, 4] = pixel
    out = decode(trim(rgba_png(arr), 0))
    assert out.size == ((1, 1) if is_content else (9, 6))


def test_jpeg_input_is_trimmed_to_its_non_white_part_and_gains_opaque_alpha():
    arr = np.full((40, 60, 3), 255, np.uint8)
    arr[12:25, 20:41] = (20, 90, 160)
    data = encode(Image.fromarray(arr), "JPEG", quality=95)
    out = decode(trim(data, 2))
    assert out.mode == "RGBA" and out.format == "PNG"
    assert (np.array(out)[:, :, 3] == 255).all()
    assert outcome(trim, data, 2) == outcome(reference_trim, data, 2)
    assert out.size[0] < 60 and out.size[1] < 40


def test_webp_output():
    arr = transparent(30, 30)
    arr[10:20, 5:15] = (9, 9, 200, 255)
    data = trim(rgba_png(arr), 1, "WEBP")
    assert data[:4] == b"RIFF" and data[8:12] == b"WEBP"
    out = decode(data)
    assert out.format == "WEBP" and out.size == (12, 12)


@pytest.mark.parametrize(
    "output_format, exc, message",
    [("NOPE", KeyError, "NOPE"), ("JPEG", OSError, "cannot write mode RGBA as JPEG")],
)
@pytest.mark.parametrize("has_content", [True, False])
def test_format_errors_of_the_library_propagate(output_format, exc, message, has_content):
    arr = transparent(5, 5)
    if has_content:
        arr[1, 1] = (0, 0, 0, 255)
    with pytest.raises(exc, match=message):
        trim(rgba_png(arr), 0, output_format)


@pytest.mark.parametrize(
    "padding",
    [-1, -3, -5, -6, -40, -(2**70), 2**63 - 5, 2**63, 2**70],
)
def test_padding_beyond_the_ordinary_matches_python_int_arithmetic(padding):
    arr = transparent(20, 30)
    arr[4:15, 8:20] = (90, 10, 10, 255)
    data = rgba_png(arr)
    assert outcome(trim, data, padding) == outcome(reference_trim, data, padding)


def test_negative_padding_narrows_the_box():
    arr = transparent(20, 30)
    arr[4:15, 8:20] = np.arange(11 * 12 * 4, dtype=np.uint8).reshape(11, 12, 4) | 1
    out = np.array(decode(trim(rgba_png(arr), -2)))
    np.testing.assert_array_equal(out, arr[6:13, 10:18])


def test_inverted_box_raises_the_crop_error():
    arr = transparent(20, 30)
    arr[4:15, 8:20] = (90, 10, 10, 255)
    with pytest.raises(ValueError, match="Coordinate 'right' is less than 'left'"):
        trim(rgba_png(arr), -7)


def random_rgba(rng, h, w):
    """Mostly background (transparent or white), with scattered and blocky content."""
    arr = np.zeros((h, w, 4), np.uint8)
    kind = rng.integers(0, 4)
    if kind == 1:
        arr[:] = (255, 255, 255, 255)
    elif kind == 2:
        arr[:, :, :3] = 255
        arr[:, :, 3] = rng.integers(0, 256, (h, w))
    density = rng.choice([0.0, 0.001, 0.02, 0.3])
    hits = rng.random((h, w)) < density
    arr[hits] = rng.integers(0, 256, (int(hits.sum()), 4))
    if rng.random() < 0.5 and h > 2 and w > 2:
        y0, x0 = rng.integers(0, h - 1), rng.integers(0, w - 1)
        arr[y0 : y0 + rng.integers(1, 4), x0 : x0 + rng.integers(1, 4)] = (5, 5, 5, 255)
    return arr


@pytest.mark.usefixtures("pixel_read_path")
def test_random_images_match_the_whole_array_formulation():
    rng = np.random.default_rng(7)
    shapes = [(1, 1), (1, 9), (9, 1), (1, 300), (300, 1), (2, 2), (17, 33), (64, 3)]
    shapes += [tuple(rng.integers(1, 90, 2)) for _ in range(40)]
    for h, w in shapes:
        arr = random_rgba(rng, h, w)
        padding = int(rng.choice([0, 1, 2, 5, 10, 1000, -1]))
        data = rgba_png(arr)
        assert outcome(trim, data, padding) == outcome(reference_trim, data, padding), (h, w, padding)


@pytest.mark.usefixtures("pixel_read_path")
@pytest.mark.parametrize("size", [(1200, 700), (4100, 70), (70, 4100)])
def test_images_of_many_bands_match_the_whole_array_formulation(size):
    w, h = size
    rng = np.random.default_rng(w)
    arr = transparent(h, w)
    for _ in range(3):
        y, x = rng.integers(0, h), rng.integers(0, w)
        arr[y, x] = (0, 255, 0, 9)
    data = rgba_png(arr)
    assert outcome(trim, data, 3) == outcome(reference_trim, data, 3)


def test_padding_is_coerced_like_int():
    arr = transparent(20, 20)
    arr[10, 10] = (0, 0, 0, 255)
    data = rgba_png(arr)
    assert decode(trim(data, 3.9)).size == (7, 7)
    assert decode(trim(data, True)).size == (3, 3)
    assert decode(trim(data, np.int16(2))).size == (5, 5)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"padding": None}, "Argument 'padding' has incorrect type (expected int, got NoneType)"),
        ({"padding": "3"}, "Argument 'padding' has incorrect type (expected int, got str)"),
        ({"output_format": None}, "Argument 'output_format' has incorrect type (expected str, got NoneType)"),
        ({"output_format": b"PNG"}, "Argument 'output_format' has incorrect type (expected str, got bytes)"),
        ({"padding": None, "output_format": None}, "Argument 'padding' "),
    ],
)
def test_argument_type_errors(kwargs, message):
    with pytest.raises(TypeError) as info:
        trim(b"not even an image", **kwargs)
    assert str(info.value).startswith(message)


def test_str_subclass_format_is_rejected_with_a_note():
    class Fmt(str):
        pass

    with pytest.raises(TypeError, match="expected str, got Fmt") as info:
        trim(b"", output_format=Fmt("PNG"))
    assert len(getattr(info.value, "__notes__", [])) == 1


def test_unexpected_keyword():
    with pytest.raises(TypeError, match="trim_transparent_edges\\(\\) got an unexpected keyword argument 'pad'"):
        trim(b"", pad=1)


@pytest.fixture
def sample():
    arr = transparent(12, 16)
    arr[3:6, 4:9] = (30, 60, 90, 255)
    return rgba_png(arr), arr[2:7, 3:10]


def test_sources_path_bytes_bytearray_memoryview(sample, tmp_path):
    data, expected = sample
    path = tmp_path / "img.png"
    path.write_bytes(data)
    for source in (str(path), data, bytearray(data), memoryview(data)):
        np.testing.assert_array_equal(np.array(decode(trim(source, 1))), expected)


def test_caller_stream_stays_open_and_usable(sample):
    data, expected = sample
    stream = io.BytesIO(data)
    np.testing.assert_array_equal(np.array(decode(trim(stream, 1))), expected)
    assert not stream.closed
    stream.seek(0)
    assert stream.read() == data


@pytest.mark.parametrize("kind", ["missing", "directory", "capital-scheme"])
def test_path_that_is_not_a_file(kind, tmp_path):
    path = {
        "missing": str(tmp_path / "nope.png"),
        "directory": str(tmp_path),
        "capital-scheme": "HTTPS://example.invalid/a.png",
    }[kind]
    with pytest.raises(FileNotFoundError) as info:
        trim(path)
    assert info.value.args == ("图片文件不存在: " + path,)


def test_undecodable_sources():
    with pytest.raises(UnidentifiedImageError):
        trim(None)
    with pytest.raises(UnidentifiedImageError):
        trim(b"definitely not an image")
    with pytest.raises(TypeError):
        trim(12)


@pytest.fixture
def recorded_opens(monkeypatch):
    """Stands in for the module's `Image` and remembers every opened image."""
    opened = []

    class Recorder:
        def __getattr__(self, name):
            return getattr(Image, name)

        @staticmethod
        def open(target):
            im = Image.open(target)
            opened.append((im, im.fp))
            return im

    monkeypatch.setattr(tessel.image, "Image", Recorder())
    return opened


def animated_gif() -> bytes:
    frames = [Image.new("P", (8, 8), i) for i in range(3)]
    buf = io.BytesIO()
    frames[0].save(buf, format="GIF", save_all=True, append_images=frames[1:])
    return buf.getvalue()


@pytest.mark.parametrize("fails", [False, True])
def test_image_opened_from_a_path_is_closed(recorded_opens, tmp_path, fails):
    path = tmp_path / "anim.gif"
    path.write_bytes(animated_gif())
    if fails:
        with pytest.raises(KeyError):
            trim(str(path), 0, "NOPE")
    else:
        trim(str(path), 0)
    (im, fp), = recorded_opens
    assert fp.closed
    with pytest.raises(ValueError, match="closed image"):
        im.getpixel((0, 0))


def test_image_of_a_caller_stream_is_left_open(recorded_opens):
    stream = io.BytesIO(animated_gif())
    trim(stream, 0)
    (im, fp), = recorded_opens
    assert fp is stream and not stream.closed
    im.getpixel((0, 0))


def test_concurrent_calls_agree(sample):
    from concurrent.futures import ThreadPoolExecutor

    data, expected = sample
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda p: trim(data, p), [1] * 12))
    for out in results:
        assert type(out) is bytes
        np.testing.assert_array_equal(np.array(decode(out)), expected)
