import gc
import io
import os
import types
import warnings

import numpy as np
import pytest
from PIL import Image

import tessel.image
from support.server import Reply
from support.transparency import PALETTE, encode, expected_rgba, palette, rgba, rgba_with
from tessel.image import ImageTool

check = ImageTool.has_multiple_transparency


def unpack_error(item):
    """The error this interpreter raises for `count, index = item`."""
    try:
        count, index = item  # noqa: F841
    except (TypeError, ValueError) as exc:
        return type(exc), str(exc)
    raise AssertionError("item unpacks into two values")


class PatchedOpen:
    """Stands in for the module's `Image`: opens for real, then lets a test
    adjust the opened image and records every image and whether it got closed."""

    Image = Image.Image  # the module's class, as the real module has it

    def __init__(self, adjust=None):
        self.adjust = adjust
        self.images = []

    def open(self, fp):
        image = Image.open(fp)
        image.closed_by_call = False
        real_close = image.close

        def close():
            image.closed_by_call = True
            real_close()

        image.close = close
        if self.adjust:
            self.adjust(image)
        self.images.append(image)
        return image


@pytest.fixture
def patched_open(monkeypatch):
    def install(adjust=None):
        shim = PatchedOpen(adjust)
        monkeypatch.setattr(tessel.image, "Image", shim)
        return shim

    return install


# --- palette images -----------------------------------------------------------


@pytest.mark.parametrize(
    "uses, threshold, expected",
    [
        (5, 5, False),  # exactly the threshold is not enough
        (6, 5, True),
        (1, 0, True),
        (0, 0, False),
        (0, -1, True),  # a negative threshold: any transparency entry wins
        (64, 64, False),
        (64, 63, True),
        (6, 10**30, False),
        (0, -(10**30), True),
    ],
)
def test_palette_counts_pixels_of_the_transparency_index(uses, threshold, expected):
    data = palette(uses, index=1, transparency=1)
    assert check(data, threshold) is expected
    assert check(data, threshold=threshold) is expected


def test_palette_default_threshold_is_five():
    assert check(palette(5, transparency=1)) is False
    assert check(palette(6, transparency=1)) is True


@pytest.mark.parametrize("fmt", ["PNG", "GIF"])
def test_palette_without_transparency_is_false_whatever_the_pixels(fmt):
    assert check(palette(64, index=1, fmt=fmt), -100) is False


def test_palette_with_transparency_in_gif():
    assert check(palette(7, index=2, fmt="GIF", transparency=2)) is True


def test_palette_transparency_of_minus_one_skips_the_histogram(patched_open):
    def adjust(image):
        image.info["transparency"] = -1
        image.getcolors = lambda *a: pytest.fail("colours read")

    patched_open(adjust)
    assert check(palette(64, transparency=1), -5) is False


@pytest.mark.parametrize("threshold, expected", [(-1, True), (0, False), (5, False)])
def test_palette_alpha_table_matches_no_index(threshold, expected):
    data = palette(20, index=1, transparency=bytes([255, 0, 128, 255]))
    assert isinstance(Image.open(io.BytesIO(data)).info["transparency"], bytes)
    assert check(data, threshold) is expected


def literal_palette_count(data: bytes, threshold: int):
    """The palette rule as written: getcolors() and Python equality; the
    result, or the exception raised (type and text)."""
    try:
        img = Image.open(io.BytesIO(data))
        transparent = img.info.get("transparency", -1)
        return sum(count for count, index in img.getcolors() if index == transparent) > threshold
    except Exception as err:  # noqa: BLE001
        return type(err), str(err).split(" <")[0]


@pytest.mark.parametrize("cut", [1.0, 0.97, 0.6, 0.3])
@pytest.mark.parametrize("kind", ["table", "index"])
def test_palette_entries_against_the_literal_rule_whole_and_truncated(kind, cut):
    rng = np.random.default_rng(7)
    image = Image.fromarray(rng.integers(0, 4, (120, 90), dtype=np.uint8), "P")
    image.putpalette(PALETTE)
    whole = encode(image, "PNG", transparency=bytes([255, 0, 128, 7]) if kind == "table" else 2)
    data = whole[: int(len(whole) * cut)]
    for threshold in (-1, 0, 2700, 10**6):
        try:
            got = check(data, threshold)
        except Exception as err:  # noqa: BLE001
            got = type(err), str(err).split(" <")[0]
        assert got == literal_palette_count(data, threshold), threshold


@pytest.mark.parametrize(
    "bad_item",
    [
        lambda: (3, 1, 0),
        lambda: (3,),
        lambda: (),
        lambda: [3, 1, 7, 8],
        lambda: 5,
        lambda: iter([1, 1, 1]),
    ],
    ids=["triple", "single", "empty", "long-list", "int", "long-iterator"],
)
def test_palette_histogram_items_must_unpack_into_two(patched_open, bad_item):
    expected_type, expected_message = unpack_error(bad_item())
    patched_open(lambda image: setattr(image, "getcolors", lambda: [(2, 0), bad_item()]))
    with pytest.raises(expected_type) as info:
        check(palette(6, transparency=1))
    assert str(info.value) == expected_message


def test_palette_histogram_compares_index_by_equality(patched_open):
    # A float index equal to the transparency entry counts; a str does not.
    patched_open(lambda image: setattr(image, "getcolors", lambda: [(4, 1.0), (9, "1"), (2, True)]))
    assert check(palette(1, transparency=1), 5) is True  # 4 + 2 = 6 > 5
    assert check(palette(1, transparency=1), 6) is False


def test_palette_empty_histogram_counts_zero(patched_open):
    patched_open(lambda image: setattr(image, "getcolors", lambda: []))
    assert check(palette(10, transparency=1), -1) is True
    assert check(palette(10, transparency=1), 0) is False


def test_palette_looks_getcolors_up_once(patched_open):
    lookups = []

    def adjust(image):
        base = type(image)

        class Counting(base):
            def __getattribute__(self, name):
                if name == "getcolors":
                    lookups.append(name)
                return base.__getattribute__(self, name)

        image.__class__ = Counting

    patched_open(adjust)
    assert check(palette(6, transparency=1)) is True
    assert lookups == ["getcolors"]


def test_palette_getcolors_lookup_error_propagates(patched_open):
    def adjust(image):
        class Broken(type(image)):
            @property
            def getcolors(self):
                raise LookupError("no colours")

        image.__class__ = Broken

    patched_open(adjust)
    with pytest.raises(LookupError, match="no colours"):
        check(palette(6, transparency=1))


@pytest.mark.parametrize(
    "entry, threshold, expected",
    [
        (1, 5, True),  # 6 pixels use index 1
        (1.0, 5, True),  # equal as numbers
        (True, 5, True),
        (0, 60, False),  # 58 pixels use index 0
        (0, 57, True),
        (255, -1, True),
        (255, 0, False),
        (300, -1, True),  # no index equals it: the count is 0
        (300, 0, False),
        (-2, 0, False),
        (10**40, -1, True),
        ("1", 0, False),
    ],
)
def test_palette_entry_of_any_value(patched_open, entry, threshold, expected):
    patched_open(lambda image: image.info.__setitem__("transparency", entry))
    assert check(palette(6, index=1), threshold) is expected


def test_palette_counts_match_the_histogram_on_random_images():
    rng = np.random.default_rng(99)
    for h, w in [(1, 1), (1, 9), (9, 1)] + [tuple(int(v) for v in rng.integers(1, 50, 2)) for _ in range(60)]:
        indices = rng.integers(0, 4, (h, w)).astype(np.uint8)
        image = Image.fromarray(indices, "L").convert("P")
        image.putpalette(PALETTE)
        entry = int(rng.integers(0, 4))
        threshold = int(rng.integers(-1, 6))
        data = encode(image, "PNG", transparency=entry)
        expected = int(np.count_nonzero(indices == entry)) > threshold
        assert check(data, threshold) is expected, (h, w, entry, threshold)


def test_large_images_beyond_one_storage_block():
    # 6 million pixels: RGBA storage spans several blocks of the library.
    assert check(rgba_with(6_000_000, 300_000, width=3000)) is False
    assert check(rgba_with(6_000_000, 300_001, alpha=254, width=3000)) is True


# --- RGBA images ----------------------------------------------------------------


@pytest.mark.parametrize(
    "total, transparent, alpha, expected",
    [
        (20, 1, 0, False),  # exactly 5 %
        (20, 2, 0, True),
        (20, 2, 254, True),  # partial transparency counts
        (20, 1, 254, False),
        (20, 0, 0, False),
        (100, 5, 0, False),
        (100, 6, 1, True),
        (1, 1, 0, True),
        (1, 0, 0, False),
        (1_100_000, 55_000, 0, False),  # crosses the kernel's block size
        (1_100_000, 55_001, 200, True),
    ],
)
def test_rgba_share_strictly_above_five_percent(total, transparent, alpha, expected):
    width = 1000 if total >= 1000 else total
    assert check(rgba_with(total, transparent, alpha, width)) is expected


@pytest.mark.parametrize("threshold", [-(10**20), -1, 0, 5, 10**20])
def test_rgba_ignores_threshold(threshold):
    assert check(rgba_with(20, 2), threshold) is True
    assert check(rgba_with(20, 1), threshold) is False


def test_rgba_matches_plain_count_on_random_images():
    rng = np.random.default_rng(1234)
    sizes = [(1, 1), (1, 2), (2, 1), (1, 37), (41, 1), (3, 7), (20, 1), (1, 20), (256, 3), (300, 200)]
    sizes += [tuple(int(v) for v in rng.integers(1, 60, 2)) for _ in range(150)]
    for h, w in sizes:
        share = rng.choice([0.0, 0.03, 0.05, 0.06, 0.5, 1.0])
        alpha = np.where(rng.random((h, w)) < share, rng.integers(0, 255, (h, w)), 255).astype(np.uint8)
        assert check(rgba(alpha)) is expected_rgba(alpha), (h, w, int(np.count_nonzero(alpha < 255)))


@pytest.mark.parametrize("fmt, params", [("WEBP", {"lossless": True}), ("TIFF", {})])
def test_rgba_from_other_formats_counts_the_decoded_alpha(fmt, params):
    alpha = np.full((10, 10), 255, np.uint8)
    alpha[0, :6] = 0
    data = encode(Image.fromarray(np.dstack([alpha] * 4), "RGBA"), fmt, **params)
    decoded = Image.open(io.BytesIO(data))
    assert decoded.mode == "RGBA"
    assert check(data) is expected_rgba(np.asarray(decoded.getchannel("A"))) is True


# --- other modes ------------------------------------------------------------------


@pytest.mark.parametrize(
    "mode, fmt, params",
    [
        ("RGB", "PNG", {"transparency": (0, 0, 0)}),
        ("L", "PNG", {"transparency": 0}),
        ("LA", "PNG", {}),
        ("PA", "TIFF", {}),
        ("1", "PNG", {}),
        ("I;16", "PNG", {}),
        ("CMYK", "TIFF", {}),
    ],
)
def test_other_modes_are_false(mode, fmt, params):
    data = encode(Image.new(mode, (10, 10)), fmt, **params)
    assert Image.open(io.BytesIO(data)).mode == mode
    assert check(data, -(10**9)) is False


def test_other_modes_read_no_pixels():
    # The pixel data is cut off: only reading it would fail.
    whole = encode(Image.new("RGB", (64, 64), (1, 2, 3)))
    cut = whole[: len(whole) // 2]
    assert check(cut) is False
    rgba_cut = rgba_with(4096, 0, width=64)
    with pytest.raises(OSError):
        check(rgba_cut[: len(rgba_cut) // 2])


# --- the image source ------------------------------------------------------------------


def test_sources_bytes_bytearray_memoryview():
    data = rgba_with(20, 2)
    assert check(data) is True
    assert check(bytearray(data)) is True
    assert check(memoryview(data)) is True


def test_source_path(tmp_path):
    path = tmp_path / "img.png"
    path.write_bytes(palette(6, transparency=1))
    assert check(str(path)) is True


def test_source_bytesio_is_used_as_is_and_left_open():
    class Stream(io.BytesIO):
        pass

    for cls in (io.BytesIO, Stream):
        stream = cls(palette(6, transparency=1))
        assert check(stream) is True
        assert not stream.closed
        stream.seek(0)
        assert Image.open(stream).mode == "P"
    # The very object is handed on: a stream that cannot be read fails.
    stream = io.BytesIO(rgba_with(20, 2))
    stream.close()
    with pytest.raises(ValueError, match="closed file"):
        check(stream)


@pytest.mark.parametrize("scheme", ["HTTP://", "HTTPS://", "Http://"])
def test_capital_scheme_is_a_path(scheme):
    source = scheme + "127.0.0.1/x.png"
    with pytest.raises(FileNotFoundError) as info:
        check(source)
    assert info.value.args == ("图片文件不存在: " + source,)


def test_missing_file_and_directory(tmp_path):
    for source in (str(tmp_path / "nope.png"), str(tmp_path)):
        with pytest.raises(FileNotFoundError) as info:
            check(source)
        assert info.value.args == ("图片文件不存在: " + source,)


def test_none_and_int_sources():
    with pytest.raises(Image.UnidentifiedImageError):
        check(None)
    with pytest.raises(TypeError) as info:
        check(5)
    with pytest.raises(TypeError) as direct:
        io.BytesIO(5)
    assert str(info.value) == str(direct.value)


def test_undecodable_bytes_raise_the_library_error():
    with pytest.raises(Image.UnidentifiedImageError):
        check(b"not an image")


def test_url_goes_through_get_img_url_io_at_call_time(monkeypatch):
    seen = []
    data = rgba_with(20, 2)

    def fake(*args, **kwargs):
        seen.append((args, kwargs))
        return io.BytesIO(data)

    class Url(str):
        pass

    monkeypatch.setattr(ImageTool, "get_img_url_io", staticmethod(fake))
    assert check("http://example.invalid/a.png") is True
    assert check(Url("https://example.invalid/b.png")) is True
    assert seen[0] == (("http://example.invalid/a.png",), {})
    assert type(seen[1][0][0]) is str


def test_url_downloaded_from_loopback_server(server):
    url = server.reply("/p.png", Reply(body=palette(6, transparency=1)))
    assert check(url) is True
    assert check(url, 6) is False


# --- arguments ---------------------------------------------------------------------------


def test_threshold_conversion():
    data = palette(6, transparency=1)
    assert check(data, threshold=5.9) is True  # 5.9 -> 5, and 6 > 5
    assert check(data, threshold=6.9) is False
    assert check(data, threshold=True) is True
    for bad, name in (("5", "str"), (None, "NoneType")):
        with pytest.raises(TypeError) as info:
            check(data, threshold=bad)
        assert str(info.value) == f"Argument 'threshold' has incorrect type (expected int, got {name})"


def test_unexpected_keyword():
    with pytest.raises(TypeError, match="has_multiple_transparency\\(\\) got an unexpected keyword argument 'foo'"):
        check(b"", foo=1)


# --- closing what the call opened -------------------------------------------------------------


@pytest.mark.parametrize(
    "data",
    [
        encode(Image.new("RGB", (8, 8))),  # no pixel read
        palette(6),  # no transparency entry: no pixel read
        palette(6, transparency=1),
        rgba_with(20, 2),
    ],
    ids=["rgb", "palette-plain", "palette", "rgba"],
)
def test_files_opened_from_a_path_are_closed(tmp_path, data):
    path = tmp_path / "img"
    path.write_bytes(data)
    gc.collect()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        check(str(path))
        gc.collect()
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []


def test_failed_decode_from_a_path_leaves_no_file_open(tmp_path):
    data = rgba_with(4096, 0, width=64)
    path = tmp_path / "cut.png"
    path.write_bytes(data[: len(data) // 2])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        with pytest.raises(OSError):
            check(str(path))
        gc.collect()
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []


def test_only_images_holding_a_file_of_the_call_are_closed(patched_open, tmp_path):
    # An image opened from a path holds a file until closed; one over bytes
    # or a stream holds only memory, released with its last reference.
    shim = patched_open()
    path = tmp_path / "img.png"
    path.write_bytes(encode(Image.new("RGB", (8, 8))))
    stream = io.BytesIO(path.read_bytes())
    check(str(path))
    check(path.read_bytes())
    check(stream)
    assert [image.closed_by_call for image in shim.images] == [True, False, False]
    assert not stream.closed


def test_result_survives_a_close_error(patched_open, tmp_path):
    def adjust(image):
        def close():
            raise RuntimeError("close failed")

        image.close = close

    patched_open(adjust)
    path = tmp_path / "img.png"
    path.write_bytes(rgba_with(20, 2))
    with pytest.raises(RuntimeError, match="close failed"):
        check(str(path))


def test_decode_error_wins_over_close(patched_open, tmp_path):
    def adjust(image):
        image.close = lambda: (_ for _ in ()).throw(RuntimeError("close failed"))

    patched_open(adjust)
    data = rgba_with(4096, 0, width=64)
    path = tmp_path / "cut.png"
    path.write_bytes(data[: len(data) // 2])
    with pytest.raises(OSError):
        check(str(path))
