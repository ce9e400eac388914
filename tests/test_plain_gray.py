"""ImageTool.is_plain_gray: verdicts, metrics, messages and the handled failures."""

import io
import subprocess
import sys
import sys as _sys
import textwrap

import cv2
import numpy as np
import pytest

from support import images, opencv_x86
from tessel import _gray_kernels as K
from tessel.image import ImageTool

FALLBACK = {"std": 0, "edge_ratio": 100, "saturation": 0}
KEYS = ["std", "edge_ratio", "saturation", "local_contrast", "high_freq_ratio", "enhanced_edge_ratio", "enhanced_std"]


def reference(data, gray_thresh=30.0, edge_thresh=0.01):
    """The method written out with NumPy and OpenCV, unrounded values alongside."""
    img = cv2.imdecode(np.frombuffer(data, dtype=np.uint8), cv2.IMREAD_COLOR)
    gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
    std = float(np.std(gray))
    edges = cv2.Canny(gray, 10, 50)
    edge_ratio = float(np.count_nonzero(edges) / edges.size)
    saturation = opencv_x86.saturation_sum(img) / (img.shape[0] * img.shape[1])
    local_contrast = float(np.std(cv2.Laplacian(gray, cv2.CV_64F)))
    magnitude = np.abs(np.fft.fftshift(np.fft.fft2(gray.astype(np.float64))))
    h, w = magnitude.shape
    r = min(h, w) // 20
    mask = np.ones((h, w), dtype=bool)
    mask[h // 2 - r:h // 2 + r, w // 2 - r:w // 2 + r] = False
    total = np.sum(magnitude ** 2)
    high = float(np.sum(magnitude[mask] ** 2) / total) if total > 0 else 0.0
    ours = np.frombuffer(K.clahe(gray, 4.0, 8, 8, True), np.uint8).reshape(gray.shape)
    enhanced = opencv_x86.clahe(gray, 4.0, (8, 8), ours)
    enhanced_edges = cv2.Canny(enhanced, 10, 50)
    values = [std, edge_ratio, saturation, local_contrast, high,
              float(np.count_nonzero(enhanced_edges) / enhanced_edges.size), float(np.std(enhanced))]
    checks = [(gray_thresh, "标准差=", ".1f", "，有明显明暗变化"), (edge_thresh, "边缘密度=", ".4f", "，有图案或纹理"),
              (20.0, "饱和度=", ".1f", "，有明显色彩"), (3.0, "局部对比度=", ".2f", "，有微弱纹理"),
              (0.001, "高频能量占比=", ".6f", "，有图案"), (0.05, "CLAHE增强边缘密度=", ".4f", "，有隐藏图案"),
              (60.0, "CLAHE增强标准差=", ".1f", "，有隐藏纹理")]
    for value, (limit, prefix, spec, suffix) in zip(values, checks):
        if value > limit:
            return False, values, prefix + format(value, spec) + suffix
    return True, values, "纯色图"


class Recorder:
    def __init__(self, truthy=True):
        self.lines = []
        self.truthy = truthy

    def __bool__(self):
        return self.truthy

    def error(self, line):
        self.lines.append(line)


def rgb(array, fmt="PNG"):
    return images.from_array(np.ascontiguousarray(array, dtype=np.uint8), fmt=fmt)


def generated():
    rng = np.random.default_rng(42)
    out = []
    for h, w in [(1, 1), (1, 30), (30, 1), (10, 10), (19, 23), (20, 20), (64, 64), (97, 131), (256, 200), (400, 611)]:
        yy, xx = np.mgrid[0:h, 0:w]
        out.append(rgb(np.dstack([np.full((h, w), 90)] * 3)))
        out.append(rgb(np.dstack([(xx * 255 // max(w - 1, 1))] * 3)))
        out.append(rgb(rng.integers(0, 256, (h, w, 3))))
        out.append(rgb(np.clip(128 + rng.normal(0, 1.2, (h, w, 1)).repeat(3, 2), 0, 255)))
        out.append(rgb(np.dstack([np.full((h, w), 30), np.full((h, w), 60), np.full((h, w), 200)])))
    out.append(images.noise((120, 90), seed=3, fmt="JPEG"))
    out.append(images.gradient((300, 200), fmt="JPEG"))
    return out


@pytest.mark.parametrize("index", range(len(generated())))
def test_matches_the_straightforward_formulation(index):
    data = generated()[index]
    for thresholds in [(), (5.0, 0.5), (1e9, 1e9)]:
        plain, metrics, message = ImageTool.is_plain_gray(data, *thresholds)
        want_plain, values, want_message = reference(data, *thresholds)
        assert (plain, message) == (want_plain, want_message)
        assert list(metrics) == KEYS
        for key, value, digits in zip(KEYS, values, [1, 4, 2, 2, 6, 4, 1]):
            assert type(metrics[key]) is float
            assert metrics[key] == pytest.approx(round(value, digits), rel=1e-9, abs=1e-12)


@pytest.mark.parametrize("size,expected", [
    ((32, 32), (True, "纯色图")),
    ((20, 25), (True, "纯色图")),
    ((10, 10), (False, "高频能量占比=1.000000，有图案")),
    ((19, 40), (False, "高频能量占比=1.000000，有图案")),
])
def test_uniform_grey(size, expected):
    plain, metrics, message = ImageTool.is_plain_gray(images.uniform(size, (128, 128, 128)))
    assert (plain, message) == expected
    assert metrics == dict.fromkeys(KEYS, 0.0) | {"high_freq_ratio": 0.0 if expected[0] else 1.0}


def test_all_black_small_image_has_no_energy():
    plain, metrics, message = ImageTool.is_plain_gray(images.uniform((10, 10), (0, 0, 0)))
    assert (plain, message, metrics["high_freq_ratio"]) == (True, "纯色图", 0.0)


@pytest.mark.parametrize("data,prefix", [
    (images.gradient((200, 100)), "标准差="),
    (rgb(np.dstack([np.full((50, 50), 40), np.full((50, 50), 40), np.full((50, 50), 220)])), "饱和度="),
    (images.noise((80, 80), seed=1), "标准差="),
])
def test_first_check_that_fires_names_the_reason(data, prefix):
    plain, _, message = ImageTool.is_plain_gray(data)
    assert not plain and message.startswith(prefix)


def test_each_later_check_reachable_with_thresholds_lifted():
    # Faint checkerboard: small std, edges, but Laplacian contrast.
    board = (np.indices((60, 60)).sum(0) % 2 * 4 + 120).astype(np.uint8)
    plain, _, message = ImageTool.is_plain_gray(rgb(np.dstack([board] * 3)), 1e9, 1e9)
    assert not plain and message.startswith("局部对比度=") and message.endswith("，有微弱纹理")
    strong = ((np.indices((64, 64)) // 8).sum(0) % 2 * 40 + 100).astype(np.uint8)  # std 20, 8 px squares
    plain, _, message = ImageTool.is_plain_gray(rgb(np.dstack([strong] * 3)))
    assert message.startswith("边缘密度=") and message.endswith("，有图案或纹理")


def test_threshold_equal_to_value_does_not_fire():
    data = images.gradient((64, 64))
    _, values, _ = reference(data)
    plain, _, message = ImageTool.is_plain_gray(data, values[0], values[1])
    assert not message.startswith("标准差=") and not message.startswith("边缘密度=")
    assert ImageTool.is_plain_gray(data, np.nextafter(values[0], 0))[2].startswith("标准差=")


@pytest.mark.parametrize("source", ["/no/such/file.png", "HTTPS://example.invalid/a.png", "HTTP://x/y.png"])
def test_missing_paths_are_reported_and_logged(source):
    log = Recorder()
    assert ImageTool.is_plain_gray(source, logger=log) == (False, FALLBACK, "图片文件不存在: " + source)
    assert log.lines == ["图片检测错误: 图片文件不存在: " + source]


def test_directory_and_file_paths(tmp_path):
    assert ImageTool.is_plain_gray(str(tmp_path))[2] == "图片文件不存在: " + str(tmp_path)
    path = tmp_path / "grey.png"
    path.write_bytes(images.uniform((40, 40)))
    assert ImageTool.is_plain_gray(str(path)) == ImageTool.is_plain_gray(path.read_bytes())


@pytest.mark.parametrize("source", [b"definitely not an image", bytearray(b"\x00" * 64), memoryview(b"junk")])
def test_undecodable_bytes_are_empty_without_logging(source):
    log = Recorder()
    assert ImageTool.is_plain_gray(source, logger=log) == (False, FALLBACK, "图片为空")
    assert log.lines == []


def grey_pfm(rows, scale=-1.0):
    """A one-channel PFM ("Pf"): rows stored bottom-up, byte order by the scale's sign."""
    rows = np.asarray(rows, np.float32)
    order = "<f4" if scale < 0 else ">f4"
    return b"Pf\n%d %d\n%r\n" % (rows.shape[1], rows.shape[0], scale) + rows[::-1].astype(order).tobytes()


# OpenCV decodes a greyscale PFM to one channel whatever IMREAD_COLOR asks;
# the grey conversion of the metrics then refuses it with OpenCV's own error.
@pytest.mark.parametrize("data", [
    cv2.imencode(".pfm", np.random.default_rng(5).random((30, 40), np.float32))[1].tobytes(),
    grey_pfm(np.linspace(0, 1, 12).reshape(3, 4)),
    grey_pfm(np.full((25, 25), 0.5), scale=1.0),
    grey_pfm([[np.nan, np.inf], [-1.0, 2.0]]),
    grey_pfm([[0.25]]),
])
def test_a_layout_opencv_refuses_fails_with_opencvs_message(data):
    with pytest.raises(cv2.error) as refused:
        reference(data)
    logger = Recorder()
    assert ImageTool.is_plain_gray(data, logger=logger) == (False, FALLBACK, str(refused.value))
    assert logger.lines == ["图片检测错误: " + str(refused.value)]


@pytest.mark.parametrize("source", [b"", io.BytesIO(images.uniform()), 12345, None])
def test_other_sources_fail_through_the_handled_path(source):
    log = Recorder()
    plain, metrics, message = ImageTool.is_plain_gray(source, logger=log)
    assert (plain, metrics) == (False, FALLBACK) and message
    assert log.lines == ["图片检测错误: " + message]


def test_fallback_dicts_are_fresh_and_falsy_loggers_stay_silent():
    quiet = Recorder(truthy=False)
    first = ImageTool.is_plain_gray("/missing", logger=quiet)[1]
    first["std"] = 99
    assert ImageTool.is_plain_gray("/missing", logger=None)[1] == FALLBACK
    assert quiet.lines == []


def test_logger_errors_and_base_exceptions_propagate(monkeypatch):
    class Broken:
        def error(self, line):
            raise RuntimeError("log down")

    with pytest.raises(RuntimeError, match="log down") as info:
        ImageTool.is_plain_gray("/missing", logger=Broken())
    assert isinstance(info.value.__context__, FileNotFoundError)

    import tessel.image

    class Interrupting:
        uint8 = np.uint8

        def frombuffer(self, *a, **k):
            raise KeyboardInterrupt

    monkeypatch.setattr(tessel.image, "np", Interrupting())
    with pytest.raises(KeyboardInterrupt):
        ImageTool.is_plain_gray(images.uniform(), logger=Recorder())


def test_url_download_failure_is_handled():
    log = Recorder()
    plain, metrics, message = ImageTool.is_plain_gray("http://127.0.0.1:9/x.png", logger=log)
    assert (plain, metrics) == (False, FALLBACK)
    assert log.lines == ["图片检测错误: " + message]


def test_threshold_argument_rules():
    data = images.gradient((64, 64))
    with pytest.raises(TypeError):
        ImageTool.is_plain_gray(data, gray_thresh="30")
    with pytest.raises(TypeError):
        ImageTool.is_plain_gray(data, edge_thresh=None)
    assert ImageTool.is_plain_gray(data, gray_thresh=30) == ImageTool.is_plain_gray(data)
    assert ImageTool.is_plain_gray(data, True)[2] == ImageTool.is_plain_gray(data, 1.0)[2]
    assert ImageTool.is_plain_gray(data, task_id="x", other=1) == ImageTool.is_plain_gray(data)


def test_reference_counts_unchanged():
    data = images.noise((50, 50))
    log = Recorder()
    before = (_sys.getrefcount(data), _sys.getrefcount(log))
    for _ in range(20):
        ImageTool.is_plain_gray(data, logger=log)
        ImageTool.is_plain_gray("/missing", logger=log)
    assert (_sys.getrefcount(data), _sys.getrefcount(log)) == before


BOMB_SCRIPT = textwrap.dedent("""
    import resource, struct, sys, zlib
    from tessel.image import ImageTool
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    png = (b"\\x89PNG\\r\\n\\x1a\\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 30000, 30000, 8, 2, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(b"\\0" * 100000)) + chunk(b"IEND", b""))
    jpeg = (b"\\xff\\xd8\\xff\\xc0\\x00\\x11\\x08" + struct.pack(">HH", 30000, 30000)
            + b"\\x03\\x01\\x11\\x00\\x02\\x11\\x01\\x03\\x11\\x01" + b"\\xff\\xda" + b"\\0" * 64 + b"\\xff\\xd9")
    ImageTool.is_plain_gray(png[:33])  # warm up: libraries loaded, no large image
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for data in (png, jpeg):
        print(ImageTool.is_plain_gray(data)[2])
    print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
""")


def test_decompression_bomb_is_refused_without_decoding():
    out = subprocess.run([sys.executable, "-c", BOMB_SCRIPT], capture_output=True, text=True, check=True).stdout
    png_message, jpeg_message, growth_mb = out.strip().splitlines()
    for message in (png_message, jpeg_message):
        assert "30000x30000" in message and "178956970" in message
    # Decoding would need 30000 * 30000 * 3 bytes (2.7 GB); the peak must not move.
    assert int(growth_mb) < 200


@pytest.mark.parametrize("fmt", ["PNG", "JPEG", "WEBP", "BMP", "TIFF", "GIF"])
def test_pixel_limit_is_read_at_call_time(monkeypatch, fmt):
    import PIL.Image
    data = images.uniform((40, 25), fmt=fmt)
    log = Recorder()
    monkeypatch.setattr(PIL.Image, "MAX_IMAGE_PIXELS", 499)  # limit 998 < 1000 pixels
    plain, metrics, message = ImageTool.is_plain_gray(data, logger=log)
    assert (plain, metrics) == (False, FALLBACK) and "40x25" in message and "998" in message
    assert log.lines == ["图片检测错误: " + message]
    monkeypatch.setattr(PIL.Image, "MAX_IMAGE_PIXELS", 500)  # limit 1000: allowed
    assert ImageTool.is_plain_gray(data)[0] is True
    monkeypatch.setattr(PIL.Image, "MAX_IMAGE_PIXELS", None)
    assert ImageTool.is_plain_gray(data)[0] is True
