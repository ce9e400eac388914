"""Deterministic benchmark images, encoded in the formats the image methods meet.

Every image comes from a fixed seed, so two runs measure the same inputs.
Kinds:

- ``photo``: smooth colour fields, grain, filled shapes and text-like strokes;
- ``plain``: one grey level with faint grain (the "plain picture" case);
- ``icon``: RGBA artwork on a transparent canvas, anti-aliased edges, a
  translucent shadow (transparency share well above 5 %) -- or, for the
  ``icon-opaque`` variant, an opaque picture with tiny transparent corners;
- ``palette``: a 256-colour palette picture whose transparency index is used
  by a blob of pixels (or by only a few pixels, for the ``palette-few`` variant);
- ``palette-table``: the same picture with an alpha table (one alpha byte per
  palette entry, several of them neither 0 nor 255) instead of one index;
- ``lines``: red and/or green anti-aliased strokes on a near-black background.

Sizes are grouped into the buckets the report uses; only two images exceed
12 MP (an RGBA illustration and a palette picture), to keep the run short.
"""

from __future__ import annotations

import functools
import io
import os
import string
from dataclasses import dataclass, field
from typing import Dict, Iterable, List, Optional, Tuple

import cv2
import numpy as np
from PIL import Image

MP = 1_000_000

# (label, largest pixel count in the bucket)
BUCKETS: List[Tuple[str, float]] = [
    ("<=64²", 64 * 64),
    ("<=256²", 256 * 256),
    ("<=1 MP", 1 * MP),
    ("<=4 MP", 4 * MP),
    ("<=12 MP", 12 * MP),
    (">12 MP", float("inf")),
]

# Two sizes per bucket (width, height); the quick run takes the first only.
BUCKET_SIZES: List[List[Tuple[int, int]]] = [
    [(64, 64), (48, 36)],
    [(256, 256), (240, 160)],
    [(1000, 1000), (1024, 768)],
    [(2000, 2000), (2048, 1536)],
    [(4000, 3000)],  # seconds per call for some contenders: one image only
]
LARGE_RGBA = (5000, 4000)  # 20 MP
LARGE_PALETTE = (4500, 3000)  # 13.5 MP


def bucket_of(pixels: int) -> int:
    for index, (_, limit) in enumerate(BUCKETS):
        if pixels <= limit:
            return index
    return len(BUCKETS) - 1


@dataclass
class Sample:
    name: str
    kind: str
    fmt: str
    width: int
    height: int
    data: bytes
    mode: str = ""
    extra: Dict[str, object] = field(default_factory=dict)

    @property
    def pixels(self) -> int:
        return self.width * self.height

    @property
    def bucket(self) -> int:
        return bucket_of(self.pixels)


# ---------------------------------------------------------------- drawing


def _seed(*parts: object) -> int:
    text = "/".join(str(p) for p in parts)
    value = 0
    for ch in text.encode():
        value = (value * 131 + ch) % (2**31 - 1)
    return value


def _smooth_field(rng: np.random.Generator, w: int, h: int, cell: int) -> np.ndarray:
    coarse = rng.integers(0, 256, (h // cell + 2, w // cell + 2, 3), dtype=np.uint8)
    return cv2.resize(coarse, (w, h), interpolation=cv2.INTER_CUBIC)


def _grain(rng: np.random.Generator, img: np.ndarray, amplitude: int) -> np.ndarray:
    if amplitude <= 0:
        return img
    cv2.setRNGSeed(int(rng.integers(0, 2**31 - 1)))
    noise = np.empty(img.shape, np.uint8)
    cv2.randu(noise, 0, amplitude)
    out = cv2.add(img, noise)
    return cv2.subtract(out, np.full(img.shape, amplitude // 2, np.uint8))


def _colour(rng: np.random.Generator) -> Tuple[int, int, int]:
    return tuple(int(c) for c in rng.integers(0, 256, 3))


def _shapes(rng: np.random.Generator, img: np.ndarray, count: int) -> None:
    h, w = img.shape[:2]
    scale = max(4, min(w, h) // 6)
    for _ in range(count):
        x, y = int(rng.integers(0, w)), int(rng.integers(0, h))
        size = int(rng.integers(2, scale + 3))
        colour = _colour(rng)
        pick = rng.integers(0, 3)
        if pick == 0:
            cv2.circle(img, (x, y), size, colour, -1, cv2.LINE_AA)
        elif pick == 1:
            cv2.rectangle(img, (x, y), (x + size, y + size // 2 + 1), colour, -1)
        else:
            pts = rng.integers(-size, size + 1, (5, 2)) + np.array([x, y])
            cv2.fillPoly(img, [pts.astype(np.int32)], colour, cv2.LINE_AA)


def _strokes(rng: np.random.Generator, img: np.ndarray, count: int) -> None:
    """Text-like strokes: runs of letters in a few sizes and line work."""
    h, w = img.shape[:2]
    letters = string.ascii_letters + string.digits
    for _ in range(count):
        x, y = int(rng.integers(0, w)), int(rng.integers(0, h))
        text = "".join(rng.choice(list(letters), int(rng.integers(3, 12))))
        font_scale = max(0.3, min(w, h) / 600 * float(rng.uniform(0.5, 2.0)))
        thickness = max(1, int(font_scale * 1.5))
        cv2.putText(img, text, (x, y), cv2.FONT_HERSHEY_SIMPLEX, font_scale, _colour(rng), thickness, cv2.LINE_AA)
    for _ in range(count // 2 + 1):
        pts = rng.integers(0, [w, h], (4, 2)).astype(np.int32)
        cv2.polylines(img, [pts], False, _colour(rng), max(1, min(w, h) // 400), cv2.LINE_AA)


def photo(w: int, h: int, seed: int, grain: int = 14) -> np.ndarray:
    rng = np.random.default_rng(seed)
    img = np.ascontiguousarray(_smooth_field(rng, w, h, max(4, min(w, h) // 6)))
    area = w * h
    _shapes(rng, img, int(np.clip(area / 40_000, 4, 300)))
    _strokes(rng, img, int(np.clip(area / 80_000, 2, 150)))
    return _grain(rng, img, grain)


def plain(w: int, h: int, seed: int, variant: str = "") -> np.ndarray:
    """A plain picture, or one that a single plain-colour check rejects:
    ``tint`` (saturation), ``grain`` (local contrast), ``wave`` (a faint
    mid-frequency pattern: spectrum share), ``stripes`` (hidden by CLAHE)."""
    rng = np.random.default_rng(seed)
    if variant == "tint":
        return np.full((h, w, 3), (120, 150, 200), np.uint8)
    if variant == "wave":
        x = np.arange(w)
        row = np.round(90 + 6 * np.sin(2 * np.pi * x / 12)).astype(np.uint8)
        return np.repeat(np.tile(row, (h, 1))[..., None], 3, axis=2)
    if variant == "stripes":
        x = np.arange(w)
        row = np.round(128 + 3 * np.sin(2 * np.pi * x / 6)).astype(np.uint8)
        return np.repeat(np.tile(row, (h, 1))[..., None], 3, axis=2)
    level = int(rng.integers(90, 200))
    img = np.full((h, w, 3), level, np.uint8)
    return _grain(rng, img, 12 if variant == "grain" else 2)


def icon(w: int, h: int, seed: int, opaque: bool = False) -> np.ndarray:
    """RGBA artwork. The opaque variant keeps only four tiny transparent corners."""
    rng = np.random.default_rng(seed)
    # big canvases are drawn without grain, like flat artwork: re-encoding
    # them as PNG (which trimming does) then takes a second, not several
    rgb = photo(w, h, seed + 1, grain=(6 if not opaque else 14) if w * h <= 256 * 256 else 0)
    alpha = np.zeros((h, w), np.uint8)
    if opaque:
        alpha[:] = 255
        corner = max(1, min(w, h) // 40)
        for ys in (slice(0, corner), slice(h - corner, h)):
            for xs in (slice(0, corner), slice(w - corner, w)):
                alpha[ys, xs] = 0
    else:
        mx, my = max(1, w // 8), max(1, h // 8)
        # translucent drop shadow, then the opaque body with soft edges
        axes = (max(0, w // 2 - mx), max(0, h // 2 - my))
        cv2.ellipse(alpha, (w // 2 + mx // 3, h // 2 + my // 3), axes, 0, 0, 360, 90, -1, cv2.LINE_AA)
        body = np.zeros_like(alpha)
        cv2.rectangle(body, (mx, my), (w - mx - 1, h - my - 1), 255, -1)
        radius = max(1, min(w, h) // 10)
        body = cv2.GaussianBlur(body, (0, 0), max(0.6, radius / 6))
        alpha = np.maximum(alpha, body)
        # a few fully transparent holes inside the artwork
        for _ in range(3):
            cx, cy = int(rng.integers(mx, w - mx)), int(rng.integers(my, h - my))
            cv2.circle(alpha, (cx, cy), max(1, min(w, h) // 30), 0, -1, cv2.LINE_AA)
        # pure white pixels on the transparent margin count as background
        rgb[alpha == 0] = 255
    return np.dstack([rgb, alpha])


def palette(w: int, h: int, seed: int, few: bool = False, table: bool = False) -> Image.Image:
    rng = np.random.default_rng(seed)
    index = cv2.resize(rng.integers(1, 256, (h // 16 + 2, w // 16 + 2), dtype=np.uint8), (w, h), interpolation=cv2.INTER_NEAREST)
    index = np.ascontiguousarray(index)
    area = w * h
    for _ in range(int(np.clip(area / 50_000, 3, 200))):
        x, y = int(rng.integers(0, w)), int(rng.integers(0, h))
        cv2.circle(index, (x, y), int(rng.integers(1, max(2, min(w, h) // 8))), int(rng.integers(1, 256)), -1)
    if few:
        for _ in range(3):
            index[int(rng.integers(0, h)), int(rng.integers(0, w))] = 0
    else:
        cv2.ellipse(index, (w // 3, h // 3), (max(1, w // 6), max(1, h // 8)), 15, 0, 360, 0, -1)
        cv2.circle(index, (w - w // 4, h - h // 4), max(1, min(w, h) // 10), 0, -1)
    img = Image.fromarray(index, "L").convert("P")
    pal = rng.integers(0, 256, 768, dtype=np.uint8)
    pal[:3] = 0
    img.putpalette(pal.tobytes())
    # An alpha table with partial alphas stays a table when read back (one
    # fully transparent entry among opaque ones would be read as an index).
    img.info["transparency"] = bytes([0, 64, 128, 192] + [255] * 12) if table else 0
    return img


def lines(w: int, h: int, seed: int, colours: str = "rg") -> np.ndarray:
    rng = np.random.default_rng(seed)
    img = np.zeros((h, w, 3), np.uint8)
    img = _grain(rng, img, 20)  # dark, uneven background well under the threshold
    thickness = max(1, min(w, h) // 150)
    pens = {"r": (255, 20, 10), "g": (15, 235, 25)}
    strokes = int(np.clip(w * h / 60_000, 3, 120))
    for i in range(strokes):
        pen = pens[colours[i % len(colours)]]
        pts = rng.integers(0, [w, h], (int(rng.integers(2, 6)), 2)).astype(np.int32)
        cv2.polylines(img, [pts], False, pen, thickness, cv2.LINE_AA)
    return img


# ---------------------------------------------------------------- encoding


def encode(image, fmt: str) -> bytes:
    if isinstance(image, np.ndarray):
        image = Image.fromarray(image)
    buf = io.BytesIO()
    params: Dict[str, object] = {}
    if fmt == "JPEG":
        image = image.convert("RGB")
        params["quality"] = 88
    elif fmt == "WEBP":
        params.update(quality=85, method=2)
        if image.mode == "RGBA":
            params["exact"] = False
    elif fmt == "PNG":
        if image.mode == "P" and "transparency" in image.info:
            params["transparency"] = image.info["transparency"]
        # large PNGs at the fast setting, so generating them stays cheap
        if image.width * image.height > 4 * MP:
            params["compress_level"] = 1
    elif fmt == "GIF":
        if image.mode != "P":
            image = image.convert("RGB").quantize(255)
        if "transparency" in image.info:
            params["transparency"] = image.info["transparency"]
    image.save(buf, format=fmt, **params)
    return buf.getvalue()


def _make(kind: str, variant: str, fmt: str, w: int, h: int, index: int) -> Sample:
    seed = _seed(kind, variant, fmt, w, h, index)
    if kind == "photo":
        image = photo(w, h, seed)
    elif kind == "plain":
        image = plain(w, h, seed, variant)
    elif kind == "icon":
        image = icon(w, h, seed, opaque=(variant == "opaque"))
    elif kind == "palette":
        image = palette(w, h, seed, few=(variant == "few"))
    elif kind == "palette-table":
        image = palette(w, h, seed, few=(variant == "few"), table=True)
    elif kind == "lines":
        image = lines(w, h, seed, colours=variant or "rg")
    else:
        raise ValueError(kind)
    data = encode(image, fmt)
    mode = Image.open(io.BytesIO(data)).mode
    label = f"{kind}{'-' + variant if variant else ''}-{w}x{h}.{fmt.lower()}"
    return Sample(label, kind, fmt, w, h, data, mode, {"variant": variant})


# Per kind: the (variant, format) to use for the n-th image of a bucket.
_ROTATION: Dict[str, List[Tuple[str, str]]] = {
    "photo": [("", "JPEG"), ("", "PNG"), ("", "WEBP"), ("", "GIF")],
    "plain": [("", "PNG"), ("tint", "JPEG"), ("wave", "PNG"), ("grain", "PNG"), ("stripes", "PNG"), ("", "JPEG")],
    "icon": [("", "PNG"), ("opaque", "PNG"), ("", "WEBP")],
    "palette": [("", "PNG"), ("few", "GIF"), ("", "GIF"), ("few", "PNG")],
    "palette-table": [("", "PNG"), ("few", "PNG")],
    "lines": [("rg", "PNG"), ("g", "PNG"), ("rg", "JPEG"), ("rg", "WEBP")],
}


def _pick(kind: str, bucket: int, slot: int) -> Tuple[str, str]:
    choices = _ROTATION[kind]
    variant, fmt = choices[(bucket * 2 + slot) % len(choices)]
    # WebP and GIF encoders are slow on big canvases; keep them to small images
    if bucket >= 3 and fmt in ("WEBP", "GIF"):
        fmt = "PNG" if kind in ("icon", "palette", "palette-table", "lines") else "JPEG"
    if kind == "plain" and bucket >= 3:
        fmt = "PNG"
    return variant, fmt


# Bump when the drawing or encoding changes, so cached files are not reused.
GENERATOR_VERSION = 3


def default_cache_dir() -> str:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "tessel-bench", f"v{GENERATOR_VERSION}")


class Catalogue:
    """Lazily generated samples, memoised by their parameters and, when a
    cache directory is given, kept on disk between runs (the images are the
    same every run: fixed seeds)."""

    def __init__(self, quick: bool = False, cache_dir: Optional[str] = None) -> None:
        self.quick = quick
        self.cache_dir = cache_dir
        self._cache: Dict[Tuple, Sample] = {}

    def __len__(self) -> int:
        return len(self._cache)

    def _sample(self, kind: str, variant: str, fmt: str, w: int, h: int, index: int) -> Sample:
        key = (kind, variant, fmt, w, h, index)
        if key not in self._cache:
            self._cache[key] = self._load(key) or self._store(key, _make(kind, variant, fmt, w, h, index))
        return self._cache[key]

    def _path(self, key: Tuple) -> Optional[str]:
        if not self.cache_dir:
            return None
        return os.path.join(self.cache_dir, "-".join(str(part) or "_" for part in key) + ".bin")

    def _load(self, key: Tuple) -> Optional[Sample]:
        path = self._path(key)
        if not path or not os.path.exists(path):
            return None
        kind, variant, fmt, w, h, _ = key
        with open(path, "rb") as fh:
            data = fh.read()
        try:
            mode = Image.open(io.BytesIO(data)).mode
        except Exception:
            return None
        label = f"{kind}{'-' + variant if variant else ''}-{w}x{h}.{fmt.lower()}"
        return Sample(label, kind, fmt, w, h, data, mode, {"variant": variant})

    def _store(self, key: Tuple, sample: Sample) -> Sample:
        path = self._path(key)
        if path:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            partial = f"{path}.{os.getpid()}.part"
            with open(partial, "wb") as fh:
                fh.write(sample.data)
            os.replace(partial, path)  # never a half-written file under the final name
        return sample

    def bucketed(
        self,
        small_kinds: Iterable[str],
        big_kinds: Optional[Iterable[str]] = None,
        kind_limit: Optional[Dict[str, int]] = None,
    ) -> List[Sample]:
        """Images for the five bounded buckets.

        Up to 1 MP every kind of ``small_kinds`` comes at every size; above,
        the sizes take turns through ``big_kinds`` (default: the same kinds),
        one image per size, because those images cost seconds each.
        ``kind_limit`` caps the bucket up to which a kind is used.
        """
        kind_limit = kind_limit or {}
        small_kinds = list(small_kinds)
        big_kinds = list(big_kinds) if big_kinds is not None else small_kinds
        out: List[Sample] = []
        turn = 0
        for bucket, sizes in enumerate(BUCKET_SIZES):
            if self.quick:
                # one image per bucket, nothing above 4 MP
                if bucket > 3:
                    break
                sizes = sizes[:1]
            for slot, (w, h) in enumerate(sizes):
                if bucket <= 2:
                    chosen = small_kinds
                else:
                    chosen = [big_kinds[turn % len(big_kinds)]]
                    turn += 1
                for kind in chosen:
                    if bucket > kind_limit.get(kind, bucket):
                        continue
                    variant, fmt = _pick(kind, bucket, slot)
                    out.append(self._sample(kind, variant, fmt, w, h, slot))
        return out

    def large_rgba(self) -> Sample:
        w, h = LARGE_RGBA
        return self._sample("icon", "", "PNG", w, h, 0)

    def large_palette(self, table: bool = False) -> Sample:
        w, h = LARGE_PALETTE
        return self._sample("palette-table" if table else "palette", "", "PNG", w, h, 0)


@functools.lru_cache(maxsize=1)
def edge_samples() -> Tuple[Sample, ...]:
    """Odd small inputs, checked for agreement only (not timed): single
    pixels, one-pixel-wide strips, sides under 20 pixels, empty content."""
    out: List[Sample] = []

    def add(name: str, kind: str, image, fmt: str = "PNG") -> None:
        data = encode(image, fmt)
        img = Image.open(io.BytesIO(data))
        out.append(Sample(f"edge:{name}", kind, fmt, img.width, img.height, data, img.mode, {"edge": True}))

    add("photo-1x1", "photo", photo(1, 1, 11))
    add("photo-1x57", "photo", photo(1, 57, 12))
    add("photo-57x1", "photo", photo(57, 1, 13))
    add("plain-16x12", "plain", plain(16, 12, 14))
    add("plain-black-40x30", "plain", np.zeros((30, 40, 3), np.uint8))
    add("plain-19x300", "plain", plain(19, 300, 15, "wave"))
    add("lines-7x300", "lines", lines(7, 300, 16))
    add("lines-sparse-green-400x300", "lines", _sparse_green(400, 300))
    add("white-50x40", "lines", np.full((40, 50, 3), 255, np.uint8))
    add("icon-1x1", "icon", np.array([[[10, 20, 30, 100]]], np.uint8))
    strip = np.random.default_rng(18).integers(0, 256, (50, 2, 4), dtype=np.uint8)
    strip[:20, :, 3] = 255
    add("icon-2x50", "icon", strip)
    add("icon-clear-20x20", "icon", np.zeros((20, 20, 4), np.uint8))
    add("icon-white-30x20", "icon", np.dstack([np.full((20, 30, 3), 255, np.uint8), np.full((20, 30), 128, np.uint8)]))
    share = np.full((4, 5, 4), 255, np.uint8)
    share[0, 0, 3] = 254  # exactly 5 % not opaque
    add("icon-share-5pct-5x4", "icon", share)
    share2 = share.copy()
    share2[3, 4, 3] = 0  # 10 %
    add("icon-share-10pct-5x4", "icon", share2)
    tiny = palette(1, 1, 19)
    add("palette-1x1", "palette", tiny)
    for count in (5, 6):
        pal = palette(40, 30, 20, few=True)
        arr = np.array(pal)
        arr[arr == 0] = 7
        arr.flat[:count] = 0
        img = Image.fromarray(arr, "P")
        img.putpalette(pal.getpalette())
        img.info["transparency"] = 0
        add(f"palette-{count}-transparent", "palette", img)
    table = palette(40, 30, 23, table=True)
    add("palette-table-40x30", "palette-table", table)
    table_png = encode(palette(90, 60, 24, table=True), "PNG")
    out.append(Sample("edge:truncated-palette-table.png", "palette-table", "PNG", 90, 60, table_png[: len(table_png) * 2 // 3], "P", {"edge": True}))
    # damaged data: both sides must fail the same way
    whole = encode(icon(60, 40, 21), "PNG")
    cut = whole[: len(whole) // 2]
    out.append(Sample("edge:truncated-icon.png", "icon", "PNG", 60, 40, cut, "RGBA", {"edge": True}))
    jpeg = encode(photo(60, 40, 22), "JPEG")
    out.append(Sample("edge:truncated-photo.jpeg", "photo", "JPEG", 60, 40, jpeg[: len(jpeg) // 2], "RGB", {"edge": True}))
    out.append(Sample("edge:garbage", "photo", "?", 1, 1, b"not an image at all" * 5, "", {"edge": True}))
    out.append(Sample("edge:empty", "photo", "?", 1, 1, b"", "", {"edge": True}))
    return tuple(out)


def _sparse_green(w: int, h: int) -> np.ndarray:
    img = np.zeros((h, w, 3), np.uint8)
    cv2.line(img, (10, 10), (w - 10, h // 2), (0, 255, 0), 1)
    return img


def load_corpus(directory: Optional[str]) -> List[Sample]:
    """Every file under ``directory`` that Pillow can identify, as a sample."""
    if not directory:
        return []
    out: List[Sample] = []
    for root, _dirs, files in os.walk(directory):
        for fname in sorted(files):
            path = os.path.join(root, fname)
            try:
                with open(path, "rb") as fh:
                    data = fh.read()
                with Image.open(io.BytesIO(data)) as im:
                    w, h, mode, fmt = im.width, im.height, im.mode, im.format or "?"
            except Exception:
                continue
            kind = {"P": "palette", "RGBA": "icon"}.get(mode, "photo")
            out.append(Sample(f"corpus:{os.path.relpath(path, directory)}", kind, fmt, w, h, data, mode, {"corpus": True}))
    return out


def cached_tree(root: str, count: int) -> Tuple[str, Dict[str, int]]:
    """The batch-scan tree under ``root``, made once (a marker file records
    that it is complete, with its counts)."""
    tree = os.path.join(root, f"tree-{count}")
    marker = os.path.join(root, f"tree-{count}.done")
    if os.path.exists(marker):
        with open(marker) as fh:
            counts = {k: int(v) for k, v in (line.split() for line in fh if line.strip())}
        return tree, counts
    if os.path.exists(tree):
        import shutil

        shutil.rmtree(tree)
    os.makedirs(tree)
    counts = make_tree(tree, count)
    with open(marker, "w") as fh:
        fh.writelines(f"{k} {v}\n" for k, v in counts.items())
    return tree, counts


def make_tree(directory: str, count: int = 300, seed: int = 2024) -> Dict[str, int]:
    """A mixed directory tree for the batch scan: RGBA icons (PNG, WebP),
    palette PNG/GIF with transparency, RGB JPEG photos, nested folders,
    upper-case suffixes, a few damaged files and some non-image files.
    Returns counts per category."""
    rng = np.random.default_rng(seed)
    folders = [directory]
    for depth_path in ("a", "a/b", "a/b/c", "d", "d/e", "f"):
        path = os.path.join(directory, depth_path)
        os.makedirs(path, exist_ok=True)
        folders.append(path)
    counts: Dict[str, int] = {}
    for i in range(count):
        folder = folders[i % len(folders)]
        side = int(rng.integers(96, 640))
        w, h = side, int(side * rng.uniform(0.6, 1.4))
        roll = rng.random()
        s = _seed("tree", i)
        if roll < 0.40:
            category, data, ext = "rgba-png", encode(icon(w, h, s, opaque=rng.random() < 0.3), "PNG"), ".png"
        elif roll < 0.50:
            category, data, ext = "rgba-webp", encode(icon(w, h, s), "WEBP"), ".webp"
        elif roll < 0.65:
            fmt = "PNG" if rng.random() < 0.5 else "GIF"
            category, data, ext = "palette", encode(palette(w, h, s, few=rng.random() < 0.3), fmt), "." + fmt.lower()
        elif roll < 0.95:
            category, data, ext = "rgb-jpeg", encode(photo(w, h, s), "JPEG"), ".jpg"
        else:
            whole = encode(icon(w, h, s), "PNG")
            category, data, ext = "damaged", whole[: len(whole) // 2], ".png"
        if i % 17 == 0:
            ext = ext.upper()
        with open(os.path.join(folder, f"img{i:04d}{ext}"), "wb") as fh:
            fh.write(data)
        counts[category] = counts.get(category, 0) + 1
    for j, folder in enumerate(folders):
        with open(os.path.join(folder, f"notes{j}.txt"), "w") as fh:
            fh.write("not an image\n")
    with open(os.path.join(directory, "garbage.png"), "wb") as fh:
        fh.write(b"this is not a png at all" * 10)
    counts["damaged"] = counts.get("damaged", 0) + 1
    return counts
