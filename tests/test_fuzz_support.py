"""The fuzzing support code: seed corpus and sandbox.

A seed that no longer decodes, or decodes as something else, silently takes
a decoder out of the fuzzing; a sandbox that lets a wait or a connection
through makes the fuzzer report hangs or reach the network.
"""

from __future__ import annotations

import io
import socket
import sys
import time
from pathlib import Path

import pytest
from PIL import Image

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "fuzz"))

import corpus  # noqa: E402
import sandbox  # noqa: E402


@pytest.fixture(scope="module")
def seeds():
    return corpus.seeds()


# name -> (format, mode, interlaced)
EXPECTED = {
    "png_gray1.png": ("PNG", "1", False),
    "png_gray16.png": ("PNG", "I;16", False),
    "png_rgb16.png": ("PNG", "RGB", False),
    "png_rgba16.png": ("PNG", "RGBA", False),
    "png_rgba_interlaced.png": ("PNG", "RGBA", True),
    "png_gray16_interlaced.png": ("PNG", "I;16", True),
    "png_palette_trns.png": ("PNG", "P", False),
    "png_palette_trns_table.png": ("PNG", "P", False),
    "jpeg_progressive.jpg": ("JPEG", "RGB", False),
    "jpeg_baseline.jpg": ("JPEG", "RGB", False),
    "gif_transparent.gif": ("GIF", "P", False),
    "bmp_rgb.bmp": ("BMP", "RGB", False),
    "webp_lossless_alpha.webp": ("WEBP", "RGBA", False),
    "tiff_rgba_lzw.tif": ("TIFF", "RGBA", False),
}


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_seed_decodes_as_intended(seeds, name):
    fmt, mode, interlaced = EXPECTED[name]
    with Image.open(io.BytesIO(seeds[name])) as img:
        assert (img.format, img.mode) == (fmt, mode)
        if fmt == "PNG":
            assert bool(img.info.get("interlace")) is interlaced
        if fmt == "JPEG":
            assert bool(img.info.get("progressive")) is name.startswith("jpeg_progressive")
        img.load()


def test_every_seed_is_small_and_complete(seeds):
    assert len(seeds) >= 30
    for name, data in seeds.items():
        assert len(data) < 4096, name
        with Image.open(io.BytesIO(data)) as img:
            img.load()


@pytest.mark.parametrize("interlaced", [False, True])
@pytest.mark.parametrize("shape,dtype", [((5, 7, 4), "uint8"), ((9, 3, 3), "uint16"), ((1, 1, 1), "uint8"), ((8, 8, 2), "uint16")])
def test_hand_encoded_png_round_trips(shape, dtype, interlaced):
    import numpy as np

    rng = np.random.default_rng(1)
    top = 65535 if dtype == "uint16" else 255
    pixels = rng.integers(0, top + 1, shape, dtype=dtype)
    with Image.open(io.BytesIO(corpus.png_raw(pixels, interlaced=interlaced))) as img:
        if dtype == "uint8":
            decoded = np.asarray(img).reshape(shape)
            assert np.array_equal(decoded, pixels)
        else:
            assert img.size == (shape[1], shape[0])
            img.load()


@pytest.mark.parametrize(
    "value,error",
    [(0, None), (0.25, None), (True, None), (-1, ValueError), (float("nan"), ValueError), ("1", TypeError), (None, TypeError), (1e300, OverflowError)],
)
def test_instant_clock_checks_like_sleep(value, error):
    clock = sandbox.InstantClock()
    start = time.monotonic()
    if error is None:
        clock.sleep(value)
        assert clock.calls == 1
    else:
        with pytest.raises(error):
            clock.sleep(value)
    assert time.monotonic() - start < 0.5
    assert clock.monotonic is time.monotonic  # everything else is the real module


def test_network_confined_to_one_closed_port(monkeypatch):
    monkeypatch.setattr(socket, "getaddrinfo", socket.getaddrinfo)  # restored afterwards
    port = sandbox.closed_port()
    sandbox.confine_network(port)
    assert socket.getaddrinfo("127.0.0.1", port)
    for host, p in [("127.0.0.1", port + 1), ("example.com", 80), ("10.0.0.1", port), (b"localhost", 1)]:
        with pytest.raises(socket.gaierror):
            socket.getaddrinfo(host, p)
