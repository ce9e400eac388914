"""Speed of ImageTool.is_plain_gray against the same computation written
out with NumPy and OpenCV, and against decoding alone.

    python bench/plain_gray_speed.py [sizes...] [--rounds N] [--rss]

Sizes are names from SIZES (default: all). For each size a textured JPEG
(PNG with --png) is built once; the three timings then alternate, round after round, so
load from other processes hits them alike, and the medians are printed
in milliseconds with the ratios. --rss runs one call on the largest size
in a fresh child process and prints its peak RSS growth per pixel beyond
the decoded image (3 bytes a pixel), for tessel and for the written-out
formulation; the decoder's own transient buffers count too.

Set PYTHONPATH to compare another build of the package.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time

import cv2
import numpy as np

from tessel.image import ImageTool

SIZES = {
    "16": (16, 16),
    "32": (32, 32),
    "48x64": (48, 64),
    "64": (64, 64),
    "256": (256, 256),
    "1MP": (1000, 1000),
    "4MP": (2000, 2000),
    "12MP": (3000, 4000),
    "20MP": (4000, 5000),
}


def textured_jpeg(h: int, w: int, ext: str = ".jpg") -> bytes:
    """Smooth colour fields with noise and a few hard shapes."""
    rng = np.random.default_rng(h * 131 + w)
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    base = 128 + 60 * np.sin(xx / w * 7.0) * np.cos(yy / h * 5.0)
    img = np.dstack([base, base * 0.9 + 10, base * 0.8 + 20])
    img += rng.normal(0, 6, (h, w, 3)).astype(np.float32)
    img[h // 4: h // 2, w // 3: w // 2] = (30, 200, 90)
    params = [cv2.IMWRITE_JPEG_QUALITY, 90] if ext == ".jpg" else []
    ok, buf = cv2.imencode(ext, np.clip(img, 0, 255).astype(np.uint8), params)
    assert ok
    return buf.tobytes()


def straightforward(data: bytes):
    img = cv2.imdecode(np.frombuffer(data, dtype=np.uint8), cv2.IMREAD_COLOR)
    gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
    std = float(np.std(gray))
    edges = cv2.Canny(gray, 10, 50)
    edge_ratio = float(np.count_nonzero(edges) / edges.size)
    hsv = cv2.cvtColor(img, cv2.COLOR_BGR2HSV)
    saturation = float(np.mean(hsv[:, :, 1]))
    local_contrast = float(np.std(cv2.Laplacian(gray, cv2.CV_64F)))
    magnitude = np.abs(np.fft.fftshift(np.fft.fft2(gray.astype(np.float64))))
    h, w = magnitude.shape
    cy, cx = h // 2, w // 2
    r = min(h, w) // 20
    mask = np.ones((h, w), dtype=bool)
    mask[cy - r:cy + r, cx - r:cx + r] = False
    total = np.sum(magnitude ** 2)
    high = float(np.sum(magnitude[mask] ** 2) / total) if total > 0 else 0.0
    enhanced = cv2.createCLAHE(clipLimit=4.0, tileGridSize=(8, 8)).apply(gray)
    enhanced_edges = cv2.Canny(enhanced, 10, 50)
    enhanced_ratio = float(np.count_nonzero(enhanced_edges) / enhanced_edges.size)
    enhanced_std = float(np.std(enhanced))
    return std, edge_ratio, saturation, local_contrast, high, enhanced_ratio, enhanced_std


def decode_only(data: bytes):
    return cv2.imdecode(np.frombuffer(data, dtype=np.uint8), cv2.IMREAD_COLOR)


def rounds_for(pixels: int) -> int:
    return max(5, min(2000, int(3e8 / max(pixels * 60, 1))))


def bench(name: str, rounds: int | None, ext: str = ".jpg") -> tuple[float, float, float]:
    h, w = SIZES[name]
    data = textured_jpeg(h, w, ext)
    runs = {"tessel": [], "plain": [], "decode": []}
    fns = {"tessel": lambda: ImageTool.is_plain_gray(data), "plain": lambda: straightforward(data),
           "decode": lambda: decode_only(data)}
    for fn in fns.values():
        fn()
    n = rounds or rounds_for(h * w)
    for _ in range(n):
        for key, fn in fns.items():
            t0 = time.perf_counter()
            fn()
            runs[key].append(time.perf_counter() - t0)
    return tuple(statistics.median(runs[k]) * 1e3 for k in ("tessel", "plain", "decode"))


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def peak_rss_child(path: str, which: str) -> None:
    with open(path, "rb") as f:
        data = f.read()
    h, w = decode_only(data).shape[:2]
    run = {"tessel": ImageTool.is_plain_gray, "plain": straightforward}[which]
    base = _status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # restart the peak (VmHWM) from the current RSS
    run(data)
    peak = _status_kib("VmHWM")
    beyond = (peak - base) * 1024 - 3 * h * w
    print(f"{which:>6} {w}x{h}: peak RSS beyond the decoded image {beyond / (h * w):.2f} bytes/pixel")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("sizes", nargs="*", default=list(SIZES))
    parser.add_argument("--rounds", type=int)
    parser.add_argument("--rss", action="store_true")
    parser.add_argument("--png", action="store_true", help="encode the test images as PNG instead of JPEG")
    parser.add_argument("--rss-child")
    parser.add_argument("--rss-of", default="tessel")
    args = parser.parse_args()
    if args.rss_child:
        peak_rss_child(args.rss_child, args.rss_of)
        return
    print(f"{'size':>6} {'tessel ms':>10} {'plain ms':>10} {'decode ms':>10} {'speed-up':>9} {'/decode':>8}")
    for name in args.sizes:
        t, p, d = bench(name, args.rounds, ".png" if args.png else ".jpg")
        print(f"{name:>6} {t:10.3f} {p:10.3f} {d:10.3f} {p / t:8.2f}x {t / d:7.2f}x", flush=True)
    if args.rss:
        # The image is built here: building it needs far more memory than
        # the call, and would hide the call's peak in the child.
        import tempfile
        with tempfile.NamedTemporaryFile(suffix=".jpg") as f:
            f.write(textured_jpeg(*SIZES["20MP"]))
            f.flush()
            for which in ("tessel", "plain"):
                subprocess.run([sys.executable, __file__, "--rss-child", f.name, "--rss-of", which], check=True,
                               env=os.environ)


if __name__ == "__main__":
    main()
