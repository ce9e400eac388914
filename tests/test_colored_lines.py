"""ImageTool.has_colored_lines: pixel classes, filters, verdict, parameters, sources."""

from __future__ import annotations

import io

import numpy as np
import pytest
from PIL import Image, UnidentifiedImageError

import tessel.image
from support.images import encode
from support.pixel_paths import pixel_read_path  # noqa: F401  (fixture)

lines = tessel.image.ImageTool.has_colored_lines

BLACK = (0, 0, 0)
GREEN = (0, 255, 0)
RED = (255, 0, 0)
EARLY = [
    ("has_lines", False),
    ("has_green", False),
    ("has_red", False),
    ("green_ratio", 0.0),
    ("red_ratio", 0.0),
    ("total_non_bg_ratio", 0.0),
]


def png(arr: np.ndarray) -> bytes:
    return encode(Image.fromarray(np.ascontiguousarray(arr, dtype=np.uint8)))


def reference_lines(
    data,
    bg_threshold=30,
    color_gap=30,
    max_fill_ratio=0.3,
    min_colored_ratio=0.85,
    min_dual_color_ratio=0.15,
    max_density_for_single_color=0.05,
):
    """The straightforward int32 whole-array formulation."""
    img = Image.open(io.BytesIO(data) if isinstance(data, bytes) else data).convert("RGB")
    arr = np.array(img, dtype=np.int32)
    r, g, b = arr[:, :, 0], arr[:, :, 1], arr[:, :, 2]
    is_dark = (r <= bg_threshold) & (g <= bg_threshold) & (b <= bg_threshold)
    is_white = (r >= 240) & (g >= 240) & (b >= 240)
    non_bg = ~(is_dark | is_white)
    total = arr.shape[0] * arr.shape[1]
    non_bg_count = int(np.sum(non_bg))
    if non_bg_count == 0:
        return dict(EARLY)
    lead_g = non_bg & (g - r > color_gap) & (g - b > color_gap)
    green = (lead_g & (b * 10 < g * 6)) | (lead_g & (r < 120) & (r < b))
    red = non_bg & (r - g > color_gap) & (r - b > color_gap) & (b * 10 < r * 6)
    gc, rc = int(np.sum(green)), int(np.sum(red))
    green_ratio, red_ratio = gc / non_bg_count, rc / non_bg_count
    colored = (gc + rc) / non_bg_count
    total_ratio = non_bg_count / total
    is_fill = total_ratio > max_fill_ratio
    is_multi = colored < min_colored_ratio
    is_sparse = total_ratio < max_density_for_single_color
    is_single = False if is_sparse else min(green_ratio, red_ratio) < min_dual_color_ratio
    return {
        "has_lines": not is_fill and not is_multi and not is_single and colored > 0.5,
        "has_green": green_ratio > 0.1,
        "has_red": red_ratio > 0.1,
        "green_ratio": round(green_ratio, 4),
        "red_ratio": round(red_ratio, 4),
        "total_non_bg_ratio": round(total_ratio, 4),
    }


def exact(result):
    """Items with their types, so True == 1 or 1.0 == 1 cannot pass for each other."""
    return [(k, type(v), v) for k, v in result.items()]


def one_pixel(colour, size=10):
    arr = np.zeros((size, size, 3), np.uint8)
    arr[3, 4] = colour
    return png(arr)


@pytest.mark.parametrize(
    "colour, green, red",
    [
        ((31, 30, 30), 0, 0),
        ((0, 61, 30), 1, 0),
        ((0, 255, 0), 1, 0),
        ((255, 0, 0), 0, 1),
        ((0, 200, 150), 1, 0),  # teal: fails the ratio term, green through the dark-green term
        ((125, 200, 120), 0, 0),  # green lead, blue too high for the ratio, red not below blue
        ((100, 200, 131), 1, 0),  # dark-green term: red below 120 and below blue
        ((120, 200, 121), 0, 0),  # red 120 is not below 120
        ((180, 120, 10), 0, 1),
        ((91, 60, 54), 0, 1),  # 540 < 546
        ((91, 60, 55), 0, 0),  # 550 is not below 546
        ((239, 250, 250), 0, 0),
    ],
)
def test_single_non_background_pixel(colour, green, red):
    result = lines(one_pixel(colour))
    assert result["total_non_bg_ratio"] == 0.01
    assert (result["green_ratio"], result["red_ratio"]) == (float(green), float(red))
    assert result == reference_lines(one_pixel(colour))


@pytest.mark.parametrize(
    "colour, color_gap, green",
    [
        ((50, 0, 255), -255, 0.0),  # g - b = -255 is not above -255
        ((50, 0, 255), -256, 1.0),  # ... but above -256: green through the dark-green term
        ((50, 0, 255), -(2**64), 1.0),
        ((0, 255, 0), 254, 1.0),
        ((0, 255, 0), 255, 0.0),
        ((0, 255, 0), 2**64, 0.0),
    ],
)
def test_extreme_gap_boundaries(colour, color_gap, green):
    data = one_pixel(colour)
    assert lines(data, color_gap=color_gap)["green_ratio"] == green
    assert lines(data, color_gap=color_gap) == reference_lines(data, color_gap=color_gap)


@pytest.mark.parametrize("bg_threshold, background", [(-1, False), (0, True), (-(2**70), False), (2**70, True)])
def test_extreme_dark_thresholds(bg_threshold, background):
    data = one_pixel((0, 0, 0))  # an all-black image
    result = lines(data, bg_threshold=bg_threshold)
    assert (result == dict(EARLY)) is background
    assert result == reference_lines(data, bg_threshold=bg_threshold)


@pytest.mark.parametrize(
    "colour",
    [(30, 30, 30), (0, 60, 30), (255, 150, 200), (0, 255, 255), (240, 240, 240), (255, 255, 255), (0, 0, 0)],
)
def test_colours_that_are_not_line_colours(colour):
    result = lines(one_pixel(colour))
    if max(colour) <= 30 or min(colour) >= 240:
        assert exact(result) == exact(dict(EARLY))
    else:
        assert result["green_ratio"] == 0.0 and result["red_ratio"] == 0.0
        assert result["total_non_bg_ratio"] == 0.01


def striped(rows_green, rows_red, size=100, base=BLACK):
    arr = np.zeros((size, size, 3), np.uint8)
    arr[:] = base
    arr[:rows_green] = GREEN
    arr[size - rows_red :] = RED
    return png(arr)


@pytest.mark.parametrize(
    "rows_green, rows_red, expected",
    [
        (3, 0, (True, True, False, 1.0, 0.0, 0.03)),  # sparse single colour
        (0, 4, (True, False, True, 0.0, 1.0, 0.04)),
        (10, 0, (False, True, False, 1.0, 0.0, 0.1)),  # single colour, not sparse
        (5, 5, (True, True, True, 0.5, 0.5, 0.1)),
        (2, 8, (True, True, True, 0.2, 0.8, 0.1)),
        (1, 9, (False, False, True, 0.1, 0.9, 0.1)),  # the smaller share 0.1 < 0.15
        (20, 20, (False, True, True, 0.5, 0.5, 0.4)),  # fill
        (30, 0, (False, True, False, 1.0, 0.0, 0.3)),  # 0.3 is not above 0.3, but single colour
        (15, 15, (True, True, True, 0.5, 0.5, 0.3)),
    ],
)
def test_filters_and_verdict(rows_green, rows_red, expected):
    keys = ["has_lines", "has_green", "has_red", "green_ratio", "red_ratio", "total_non_bg_ratio"]
    result = lines(striped(rows_green, rows_red))
    assert list(result.items()) == list(zip(keys, expected))


def test_many_coloured_content_is_rejected():
    arr = np.zeros((100, 100, 3), np.uint8)
    arr[:5] = GREEN
    arr[5:10] = (200, 200, 60)
    result = lines(png(arr))
    assert result["has_lines"] is False and result["green_ratio"] == 0.5


def test_colored_share_floor_applies_below_min_colored_ratio():
    arr = np.zeros((100, 100, 3), np.uint8)
    arr[:2] = GREEN
    arr[2:4] = RED
    arr[4:8] = (200, 200, 60)
    data = png(arr)
    assert lines(data, min_colored_ratio=0.2)["has_lines"] is False  # colored share is exactly 0.5
    arr[8] = RED
    assert lines(png(arr), min_colored_ratio=0.2)["has_lines"] is True


@pytest.mark.parametrize(
    "arr",
    [
        np.zeros((7, 9, 3), np.uint8),
        np.full((7, 9, 3), 255, np.uint8),
        np.dstack([np.random.default_rng(1).integers(0, 31, (7, 9))] * 3).astype(np.uint8),
        np.where(np.random.default_rng(2).random((7, 9, 1)) < 0.5, (30, 12, 0), (240, 255, 241)).astype(np.uint8),
    ],
    ids=["black", "white", "near-black", "near-black-and-near-white"],
)
def test_background_only_result(arr):
    result = lines(png(arr))
    assert exact(result) == exact(dict(EARLY))
    assert list(result) == [k for k, _ in EARLY]


def test_parameters_are_coerced_like_int():
    data = one_pixel((30, 30, 30))
    assert lines(data, bg_threshold=30.9) == lines(data, bg_threshold=30) == dict(EARLY)
    assert lines(data, bg_threshold=29.9)["total_non_bg_ratio"] == 0.01
    assert lines(data, bg_threshold=np.int64(29))["total_non_bg_ratio"] == 0.01
    assert lines(one_pixel((0, 61, 30)), color_gap=True)["green_ratio"] == 1.0


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"bg_threshold": "30"}, TypeError, "Argument 'bg_threshold' has incorrect type (expected int, got str)"),
        ({"color_gap": None}, TypeError, "Argument 'color_gap' has incorrect type (expected int, got NoneType)"),
        ({"bg_threshold": float("nan")}, ValueError, None),
        ({"color_gap": float("inf")}, OverflowError, None),
        ({"max_fill_ratio": "0.3"}, TypeError, None),
        ({"min_dual_color_ratio": None}, TypeError, None),
        ({"threshold": 3}, TypeError, "has_colored_lines() got an unexpected keyword argument 'threshold'"),
    ],
)
def test_parameter_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        lines(b"never decoded", **kwargs)
    if message is not None:
        assert str(info.value) == message


def test_too_many_positional_arguments():
    with pytest.raises(TypeError, match=r"has_colored_lines\(\) takes at most 7 positional arguments \(8 given\)"):
        lines(b"", 1, 2, 0.1, 0.1, 0.1, 0.1, 0.1)


def random_scene(rng, h, w):
    """Dark or white background, noise, and strokes of line-like colours."""
    arr = np.zeros((h, w, 3), np.uint8)
    base = rng.integers(0, 3)
    if base == 1:
        arr[:] = 255
    elif base == 2:
        arr[:] = rng.integers(0, 256, (h, w, 3))
    palette = np.array(
        [GREEN, RED, (0, 200, 150), (255, 150, 200), (31, 30, 30), (0, 61, 30), (91, 60, 54), (100, 200, 131)]
    )
    density = rng.choice([0.0, 0.01, 0.08, 0.4])
    hits = rng.random((h, w)) < density
    arr[hits] = palette[rng.integers(0, len(palette), int(hits.sum()))]
    jitter = rng.random((h, w)) < 0.2
    arr[jitter] = rng.integers(0, 256, (int(jitter.sum()), 3))
    return arr


def random_parameters(rng):
    big = [2**64, -(2**64), 2**31, -(2**31) - 1, 2**63, -(2**63) - 1]
    pick = lambda ordinary: int(rng.choice(big)) if rng.random() < 0.15 else int(rng.choice(ordinary))  # noqa: E731
    return {
        "bg_threshold": pick([-300, -1, 0, 10, 30, 60, 239, 254, 255, 256, 1000]),
        "color_gap": pick([-600, -256, -255, -100, -1, 0, 5, 30, 100, 254, 255, 510]),
        "max_fill_ratio": float(rng.choice([0.3, 0.05, 1.0, 0.5])),
        "min_colored_ratio": float(rng.choice([0.85, 0.2, 0.0, 1.0])),
        "min_dual_color_ratio": float(rng.choice([0.15, 0.0, 0.5])),
        "max_density_for_single_color": float(rng.choice([0.05, 0.0, 0.5, 1.0])),
    }


@pytest.mark.usefixtures("pixel_read_path")
def test_random_images_and_parameters_match_the_int32_formulation():
    rng = np.random.default_rng(11)
    shapes = [(1, 1), (1, 17), (17, 1), (1, 500), (2, 3)] + [tuple(rng.integers(1, 70, 2)) for _ in range(45)]
    for h, w in shapes:
        data = png(random_scene(rng, h, w))
        params = random_parameters(rng) if rng.random() < 0.7 else {}
        assert exact(lines(data, **params)) == exact(reference_lines(data, **params)), (h, w, params)


@pytest.mark.parametrize(
    "bg_threshold, color_gap",
    [
        (2**80, 30),
        (-(2**80), 30),
        (30, 2**80),
        (30, -(2**80)),
        (-(2**80), -(2**80)),
        (255, -256),
        (254, -255),
        (-1, 254),
        (2**63, -(2**63) - 1),
    ],
)
def test_extreme_thresholds_match_the_int32_formulation(bg_threshold, color_gap):
    data = png(random_scene(np.random.default_rng(3), 40, 50))
    expected = reference_lines(data, bg_threshold, color_gap)
    assert exact(lines(data, bg_threshold, color_gap)) == exact(expected)


@pytest.mark.usefixtures("pixel_read_path")
@pytest.mark.parametrize("size", [(1200, 700), (4100, 70), (70, 4100)])
def test_images_of_many_bands_match_the_int32_formulation(size):
    w, h = size
    rng = np.random.default_rng(w)
    data = png(random_scene(rng, h, w))
    assert exact(lines(data)) == exact(reference_lines(data))


def mode_image(mode):
    rng = np.random.default_rng(5)
    rgb = random_scene(rng, 23, 31)
    if mode == "RGBA":
        return Image.fromarray(np.dstack([rgb, rng.integers(0, 256, (23, 31), dtype=np.uint8)]), "RGBA")
    if mode == "I;16":
        return Image.fromarray(rng.integers(0, 65536, (23, 31), dtype=np.uint16))
    return Image.fromarray(rgb).convert(mode)


@pytest.mark.parametrize("mode, fmt", [("RGBA", "PNG"), ("P", "PNG"), ("L", "PNG"), ("LA", "PNG"),
                                       ("I;16", "PNG"), ("1", "PNG"), ("CMYK", "TIFF"), ("RGB", "JPEG")])
def test_other_modes_go_through_rgb_conversion(mode, fmt):
    data = encode(mode_image(mode), fmt)
    assert Image.open(io.BytesIO(data)).mode == mode
    assert exact(lines(data, 20, 10)) == exact(reference_lines(data, 20, 10))


def test_sources(tmp_path):
    data = striped(5, 5)
    expected = lines(data)
    path = tmp_path / "lines.png"
    path.write_bytes(data)
    stream = io.BytesIO(data)
    for source in (str(path), bytearray(data), memoryview(data), stream):
        assert lines(source) == expected
    assert not stream.closed and stream.getvalue() == data


@pytest.mark.parametrize("kind", ["missing", "directory"])
def test_path_that_is_not_a_file(kind, tmp_path):
    path = str(tmp_path / "nope.png") if kind == "missing" else str(tmp_path)
    with pytest.raises(FileNotFoundError) as info:
        lines(path)
    assert info.value.args == ("图片文件不存在: " + path,)


def test_undecodable_sources():
    with pytest.raises(UnidentifiedImageError):
        lines(None)
    with pytest.raises(UnidentifiedImageError):
        lines(io.BytesIO(b"garbage"))
    with pytest.raises(TypeError):
        lines(3.5)


@pytest.mark.parametrize("from_path", [True, False])
def test_only_an_image_opened_by_the_call_is_closed(monkeypatch, tmp_path, from_path):
    frames = [Image.new("P", (6, 6), i) for i in range(3)]
    buf = io.BytesIO()
    frames[0].save(buf, format="GIF", save_all=True, append_images=frames[1:])
    path = tmp_path / "anim.gif"
    path.write_bytes(buf.getvalue())
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
    stream = io.BytesIO(buf.getvalue())
    lines(str(path) if from_path else stream)
    (im, fp), = opened
    if from_path:
        assert fp.closed
        with pytest.raises(ValueError, match="closed image"):
            im.getpixel((0, 0))
    else:
        assert fp is stream and not stream.closed
        im.getpixel((0, 0))


def test_concurrent_calls_agree():
    from concurrent.futures import ThreadPoolExecutor

    rng = np.random.default_rng(21)
    images = [png(random_scene(rng, 300, 400)) for _ in range(4)]
    expected = [reference_lines(data) for data in images]
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lines, images * 4))
    assert results == expected * 4
