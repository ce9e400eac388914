"""All four image checks of one image in one call: :func:`check`.

``check(source)`` reads the image once (bytes, a file path or an http(s)
URL), decodes it once with each decoder the checks use (Pillow and OpenCV),
and returns one JSON-ready :class:`CheckRecord` holding what
``ImageTool.is_valid_image``, ``is_plain_gray``, ``has_multiple_transparency``
and ``has_colored_lines`` give on that image, called one by one. It never
raises for a bad image or an unreadable source: a check that fails leaves
``None`` under its key and its error text under ``errors``.
"""

from __future__ import annotations

import os
import re
from typing import Any, Dict, Optional, Tuple, TypedDict, Union

__all__ = ["CheckRecord", "PlainGray", "ColoredLines", "check", "unread_record"]

# The record's check keys, in the order the checks are reported.
CHECKS = ("is_valid_image", "is_plain_gray", "has_multiple_transparency", "has_colored_lines")

_FALLBACK_METRICS = {"std": 0, "edge_ratio": 100, "saturation": 0}


class PlainGray(TypedDict):
    """``ImageTool.is_plain_gray``'s ``(is_gray, metrics, message)`` by name."""

    result: bool
    metrics: Dict[str, float]
    message: str


class ColoredLines(TypedDict):
    """``ImageTool.has_colored_lines``'s result."""

    has_lines: bool
    has_green: bool
    has_red: bool
    green_ratio: float
    red_ratio: float
    total_non_bg_ratio: float


class CheckRecord(TypedDict):
    """What :func:`check` returns. Every key is always present.

    ok: True when the source was read and every check ran without error.
    is_valid_image: True, False when the image does not decode completely
        (``is_valid_image`` raised ``InvalidImageError``), None when the check
        could not run.
    is_plain_gray: the verdict, the seven metrics and the message; None when
        the image could not be measured (the method's fallback result: the
        reason is in ``errors``).
    has_multiple_transparency: True/False; None when the check raised.
    has_colored_lines: the method's dict; None when the check raised.
    image_size: the number of encoded bytes read; None when the source could
        not be read.
    error: None when ``ok``; otherwise the first failure (the source, then
        the checks in the order above), as stable text.
    errors: per check that failed, its error text.
    """

    ok: bool
    is_valid_image: Optional[bool]
    is_plain_gray: Optional[PlainGray]
    has_multiple_transparency: Optional[bool]
    has_colored_lines: Optional[ColoredLines]
    image_size: Optional[int]
    error: Optional[str]
    errors: Dict[str, str]


Source = Union[bytes, bytearray, memoryview, str, "os.PathLike[str]"]

# Object addresses make the same failure read differently on every run.
_ADDRESS = re.compile(r" ?<[\w.]+ object at 0x[0-9a-fA-F]+>")


def _stable(text: str, path: Optional[str]) -> str:
    """`text` without object addresses: the stream an image library names
    becomes the file path when there is one, and is left out otherwise."""
    return _ADDRESS.sub(f" {path!r}" if path is not None else "", text)


def _source_of(source: Any) -> Any:
    """The source as the image methods take it: bytes-like objects and str
    unchanged, other path objects as str."""
    if isinstance(source, (bytes, bytearray, memoryview, str)):
        return source
    if isinstance(source, os.PathLike):
        path = os.fspath(source)
        return path if isinstance(path, str) else os.fsdecode(path)
    raise TypeError(f"check() expects bytes, a path or a URL, got {type(source).__name__}")


def _outcomes(
    source: Any, gray_thresh: float, edge_thresh: float, threshold: int
) -> Tuple[Optional[int], Optional[BaseException], Tuple[Any, ...]]:
    """The number of bytes read and the error of reading them (one of the
    two is None) and, per check in CHECKS order, what the method returns or
    the exception it raises."""
    from . import _checks

    return _checks.check_all(source, gray_thresh, edge_thresh, threshold)


def _is_url(source: Any) -> bool:
    return isinstance(source, str) and source.startswith(("http://", "https://"))


def check(
    source: Source,
    *,
    gray_thresh: float = 30.0,
    edge_thresh: float = 0.01,
    threshold: int = 5,
) -> CheckRecord:
    """Runs the four image checks on one image and returns a CheckRecord.

    ``source`` is the encoded image (bytes, bytearray, memoryview), a file
    path (str or os.PathLike) or an http(s) URL; it is read or downloaded
    once (a URL through ``ImageTool.get_img_url_io`` with its defaults) and
    decoded once by Pillow and once by OpenCV. ``gray_thresh`` and
    ``edge_thresh`` go to ``is_plain_gray``, ``threshold`` to
    ``has_multiple_transparency``; ``has_colored_lines`` runs with its
    defaults. The values under the check keys are exactly what the four
    ImageTool methods give when called one by one on the same source.

    Never raises for a bad image or source: failures are reported in the
    record (``ok`` False, ``error``, ``errors``). Raises TypeError for a
    source of another type and for thresholds the methods refuse (a str,
    say), and lets KeyboardInterrupt and other exceptions outside the
    Exception family through.
    """
    given = _source_of(source)
    path = given if isinstance(given, str) and not _is_url(given) else None
    # The thresholds are converted (and refused) as the methods convert them.
    size, source_error, outcomes = _outcomes(given, gray_thresh, edge_thresh, threshold)
    return _record(size, source_error, dict(zip(CHECKS, outcomes)), path)


def _record(
    size: Optional[int], source_error: Optional[BaseException], outcomes: Dict[str, Any], path: Optional[str]
) -> CheckRecord:
    from faultdefs import InvalidImageError

    if source_error is not None:
        return unread_record(_stable(str(source_error), path))
    errors: Dict[str, str] = {}
    values: Dict[str, Any] = {}
    for name, outcome in outcomes.items():
        values[name] = None
        if isinstance(outcome, InvalidImageError) and name == "is_valid_image":
            values[name] = False
            errors[name] = _stable(outcome.message, path)
        elif isinstance(outcome, BaseException):
            errors[name] = f"{type(outcome).__name__}: {_stable(str(outcome), path)}"
        elif name == "is_plain_gray":
            is_gray, metrics, message = outcome
            if len(metrics) == len(_FALLBACK_METRICS):
                # The fallback result: nothing was measured.
                errors[name] = _stable(message, path)
            else:
                values[name] = PlainGray(result=is_gray, metrics=metrics, message=message)
        else:
            values[name] = outcome
    error: Optional[str] = None
    if errors:
        name, text = next(iter(errors.items()))
        error = text if name == "is_valid_image" else f"{name}: {text}"
    return CheckRecord(
        ok=error is None,
        is_valid_image=values["is_valid_image"],
        is_plain_gray=values["is_plain_gray"],
        has_multiple_transparency=values["has_multiple_transparency"],
        has_colored_lines=values["has_colored_lines"],
        image_size=size,
        error=error,
        errors=errors,
    )


def unread_record(error: str) -> CheckRecord:
    """The record of a source that could not be read, with `error` as its text."""
    return CheckRecord(
        ok=False,
        is_valid_image=None,
        is_plain_gray=None,
        has_multiple_transparency=None,
        has_colored_lines=None,
        image_size=None,
        error=error,
        errors={},
    )
