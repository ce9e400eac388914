"""The benchmarked methods: for each one, the three contenders (tessel, the
baseline, the floor), the images it runs on, its goals and how two results
are compared."""

from __future__ import annotations

import io
import math
import re
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np
from PIL import Image

import baseline
import floors

try:  # the package under test; its methods may still be missing
    from tessel.image import ImageTool as TesselImageTool
except Exception as exc:  # pragma: no cover - reported by run.py
    TesselImageTool = None
    TESSEL_IMPORT_ERROR: Optional[BaseException] = exc
else:
    TESSEL_IMPORT_ERROR = None

try:  # the one-pass check of all four (a later addition than the methods)
    from tessel.checks import CHECKS, _outcomes as one_pass_outcomes
except Exception:  # pragma: no cover
    CHECKS = ("is_valid_image", "is_plain_gray", "has_multiple_transparency", "has_colored_lines")
    one_pass_outcomes = None

Base = baseline.ImageTool


def trim_box(data: bytes, padding: int = 10) -> Tuple[int, int, int, int]:
    """The crop box trimming settles on (used to give the floor the same crop)."""
    img = Image.open(io.BytesIO(data)).convert("RGBA")
    arr = np.asarray(img)
    content = (arr[:, :, 3] > 0) & ~np.all(arr[:, :, :3] == 255, axis=2)
    rows = np.flatnonzero(content.any(axis=1))
    cols = np.flatnonzero(content.any(axis=0))
    if rows.size == 0:
        return (0, 0, img.width, img.height)
    left = max(int(cols[0]) - padding, 0)
    top = max(int(rows[0]) - padding, 0)
    right = min(int(cols[-1]) + 1 + padding, img.width)
    bottom = min(int(rows[-1]) + 1 + padding, img.height)
    return (left, top, right, bottom)


# ---------------------------------------------------------------- comparison


def _close(a: float, b: float, rel: float = 1e-9) -> bool:
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return a == b or abs(a - b) <= rel * max(abs(a), abs(b))


def compare_plain_gray(got: Any, want: Any) -> List[str]:
    if not (isinstance(got, tuple) and len(got) == 3):
        return [f"result is {type(got).__name__} {got!r:.120}, expected a 3-tuple"]
    out = []
    if got[0] is not want[0]:
        out.append(f"verdict {got[0]!r} != {want[0]!r}")
    if got[2] != want[2]:
        out.append(f"message {got[2]!r} != {want[2]!r}")
    gm, wm = got[1], want[1]
    if not isinstance(gm, dict):
        out.append(f"metrics is {type(gm).__name__}")
    elif list(gm) != list(wm):
        out.append(f"metric keys {list(gm)} != {list(wm)}")
    else:
        for key, value in wm.items():
            other = gm[key]
            if type(other) is not type(value) or not _close(float(other), float(value)):
                out.append(f"metric {key}: {other!r} != {value!r}")
    return out


def compare_exact(got: Any, want: Any) -> List[str]:
    if type(got) is not type(want):
        return [f"type {type(got).__name__} != {type(want).__name__} ({got!r:.80} vs {want!r:.80})"]
    if isinstance(want, dict):
        if list(got) != list(want):
            return [f"keys {list(got)} != {list(want)}"]
        return [
            f"{k}: {got[k]!r} != {v!r}" for k, v in want.items() if type(got[k]) is not type(v) or got[k] != v
        ]
    return [] if got == want else [f"{got!r:.120} != {want!r:.120}"]


def compare_encoded(got: Any, want: Any) -> List[str]:
    if type(got) is not bytes:
        return [f"result is {type(got).__name__}, expected bytes"]
    if got == want:
        return []
    a, b = Image.open(io.BytesIO(got)), Image.open(io.BytesIO(want))
    detail = f"{a.format} {a.mode} {a.size} vs {b.format} {b.mode} {b.size}"
    if a.size == b.size and a.mode == b.mode and a.tobytes() == b.tobytes():
        return [f"encoded bytes differ ({len(got)} vs {len(want)}), same pixels: {detail}"]
    return [f"different image: {detail}"]


def _text(exc: BaseException) -> str:
    # object addresses in messages ("<_io.BytesIO object at 0x7f...>") differ between calls
    return re.sub(r" at 0x[0-9a-fA-F]+", " at 0x…", str(exc))


def compare_outcome(compare: Callable[[Any, Any], List[str]], got: Tuple[str, Any], want: Tuple[str, Any]) -> List[str]:
    """Outcomes are ("ok", value) or ("raised", exception)."""
    if got[0] == "raised" or want[0] == "raised":
        if got[0] != want[0]:
            side = "tessel" if got[0] == "raised" else "baseline"
            exc = got[1] if got[0] == "raised" else want[1]
            return [f"only {side} raised {type(exc).__name__}: {exc}"]
        ge, we = got[1], want[1]
        if type(ge) is not type(we) or _text(ge) != _text(we):
            return [f"raised {type(ge).__name__}: {ge} vs {type(we).__name__}: {we}"]
        return []
    return compare(got[1], want[1])


def _each(values: Tuple[Any, ...]) -> List[Tuple[str, Any]]:
    return [("raised", v) if isinstance(v, BaseException) else ("ok", v) for v in values]


def compare_four(got: Any, want: Any) -> List[str]:
    """The one-pass outcomes against the four methods' outcomes, check by check."""
    if not (isinstance(got, tuple) and len(got) == 4):
        return [f"result is {type(got).__name__} {got!r:.120}, expected 4 outcomes"]
    out = []
    compares = {"is_plain_gray": compare_plain_gray}
    for name, g, w in zip(CHECKS, _each(got), _each(want)):
        if g[0] == w[0] == "raised" and type(g[1]).__name__ == "InvalidImageError":
            g, w = ("ok", _invalid(g[1])), ("ok", _invalid(w[1]))
        out += [f"{name}: {d}" for d in compare_outcome(compares.get(name, compare_exact), g, w)]
    return out


def _invalid(err: Any) -> Tuple[Any, ...]:
    original = err.original_error
    return (_text(err), err.image_size, err.extra_data, type(original).__name__, _text(original))


def _one_pass(data: bytes, ctx: Dict[str, Any]) -> Any:
    if one_pass_outcomes is None:
        raise NotImplementedError("tessel.checks is not importable")
    return one_pass_outcomes(data, 30.0, 0.01, 5)[2]


def _plain_and_load(data: bytes) -> None:
    try:
        floors.pillow_load(data)
    finally:
        TesselImageTool.is_plain_gray(data)


def four_methods(source: Any) -> Tuple[Any, ...]:
    """What `tessel check` did per image before the one-pass path: the four
    methods one by one, each reading and decoding the image itself."""
    out = []
    for name in CHECKS:
        try:
            out.append(getattr(TesselImageTool, name)(source))
        except Exception as exc:  # noqa: BLE001
            out.append(exc)
    return tuple(out)


def _four_methods(data: bytes, ctx: Dict[str, Any]) -> Tuple[Any, ...]:
    return four_methods(data)


# ---------------------------------------------------------------- methods


@dataclass
class Method:
    key: str
    tessel: Callable[[bytes, Dict[str, Any]], Any]
    baseline: Callable[[bytes, Dict[str, Any]], Any]
    floor: Callable[[bytes, Dict[str, Any]], Any]
    floor_text: str
    compare: Callable[[Any, Any], List[str]]
    small_kinds: List[str]
    big_kinds: List[str]
    large: str  # "rgba" or "palette": which >12 MP image it runs on
    kind_limit: Dict[str, int] = field(default_factory=dict)  # kind -> last bucket it is used in
    accepts: Callable[[Any], bool] = lambda sample: True
    prepare: Callable[[bytes], Dict[str, Any]] = lambda data: {}
    floor_goal: Optional[float] = None  # tessel / floor, buckets above 64²
    speedup_goal: Optional[float] = None  # baseline / tessel, every bucket
    memory_goal: Optional[float] = None  # bytes per pixel
    memory_beyond_floor: bool = False  # the memory goal counts growth beyond the floor's
    baseline_repeats: bool = False  # time the baseline in every round (it has a goal)
    notes: List[str] = field(default_factory=list)
    # a fourth contender, timed beside the others and reported as t/reference
    reference: Optional[Callable[[bytes, Dict[str, Any]], Any]] = None
    reference_text: str = ""
    # also report CPU time (user + system, all threads) against the floor's:
    # for a contender that uses more threads than its floor
    report_cpu: bool = False


def _tessel(name: str) -> Callable[[bytes, Dict[str, Any]], Any]:
    def call(data: bytes, ctx: Dict[str, Any]) -> Any:
        return getattr(TesselImageTool, name)(data)

    call.__name__ = name
    return call


def _base(name: str) -> Callable[[bytes, Dict[str, Any]], Any]:
    def call(data: bytes, ctx: Dict[str, Any]) -> Any:
        return getattr(Base, name)(data)

    call.__name__ = name
    return call


def _transparency(variant: str, kind: str, large: str, mode: str, floor_goal: float) -> Method:
    """has_multiple_transparency on the images of one kind (one branch of the method)."""
    return Method(
        key=f"has_multiple_transparency[{variant}]",
        tessel=_tessel("has_multiple_transparency"),
        baseline=_base("has_multiple_transparency"),
        floor=lambda data, ctx: floors.pillow_load(data),
        floor_text="Image.open + load()",
        compare=compare_exact,
        small_kinds=[kind],
        big_kinds=[kind],
        large=large,
        accepts=lambda s: s.mode == mode,
        floor_goal=floor_goal,
    )


METHODS: List[Method] = [
    Method(
        key="is_plain_gray",
        tessel=_tessel("is_plain_gray"),
        baseline=_base("is_plain_gray"),
        floor=lambda data, ctx: floors.opencv_decode(data),
        floor_text="cv2.imdecode(IMREAD_COLOR)",
        compare=compare_plain_gray,
        small_kinds=["photo", "plain", "icon", "lines"],
        big_kinds=["photo", "plain"],
        large="rgba",
        speedup_goal=3.0,
        memory_goal=12.0,
        baseline_repeats=True,
    ),
    _transparency("RGBA", "icon", "rgba", "RGBA", 1.15),
    _transparency("palette", "palette", "palette", "P", 1.1),
    _transparency("palette-table", "palette-table", "palette-table", "P", 1.1),
    Method(
        key="has_colored_lines",
        tessel=_tessel("has_colored_lines"),
        baseline=_base("has_colored_lines"),
        floor=lambda data, ctx: floors.pillow_rgb(data),
        floor_text="Image.open + convert('RGB')",
        compare=compare_exact,
        small_kinds=["lines", "photo"],
        big_kinds=["lines", "photo"],
        large="rgba",
        floor_goal=1.15,
        memory_goal=5.0,
        memory_beyond_floor=True,
    ),
    Method(
        key="trim_transparent_edges",
        tessel=_tessel("trim_transparent_edges"),
        baseline=_base("trim_transparent_edges"),
        floor=lambda data, ctx: floors.pillow_crop_encode(data, ctx["box"]),
        floor_text="Image.open + convert('RGBA') + crop(same box) + save(PNG)",
        compare=compare_encoded,
        small_kinds=["icon", "photo"],
        big_kinds=["icon"],
        # a grainy photo has no border to trim, so the call is one PNG encode
        # of the whole noisy picture: informative when small, slow when big
        kind_limit={"photo": 1},
        large="rgba",
        prepare=lambda data: {"box": trim_box(data)},
        floor_goal=1.1,
        memory_goal=20.0,
    ),
    Method(
        key="is_valid_image",
        tessel=_tessel("is_valid_image"),
        baseline=_base("is_valid_image"),
        floor=lambda data, ctx: floors.pillow_load(data),
        floor_text="Image.open + load()",
        compare=compare_exact,
        small_kinds=["photo", "icon"],
        big_kinds=["photo", "icon"],
        large="rgba",
    ),
]

METHODS.append(
    Method(
        key="check",
        tessel=_one_pass,
        baseline=_four_methods,
        floor=lambda data, ctx: floors.two_decoders(data),
        floor_text="Image.open + load() and cv2.imdecode(IMREAD_COLOR)",
        compare=compare_four,
        small_kinds=["photo", "plain", "icon", "palette", "palette-table", "lines"],
        big_kinds=["photo", "icon", "palette", "plain"],
        large="rgba",
        floor_goal=1.3,
        baseline_repeats=True,
        notes=["baseline: the four tessel methods called one by one (each reads and decodes the image)"],
        reference=lambda data, ctx: _plain_and_load(data),
        reference_text="Image.open + load() and ImageTool.is_plain_gray (its decode and its seven metrics)",
        report_cpu=True,
    )
)

METHODS_BY_KEY = {m.key: m for m in METHODS}
