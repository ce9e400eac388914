"""Typed use of the package; must pass `mypy --strict` against the installed stubs."""

from __future__ import annotations

import logging
from io import BytesIO
from typing import Any, Dict, List, Optional, Tuple

import requests

import tessel
import tessel.image
from faultdefs import InvalidImageError, ServiceError
from tessel.http import DEFAULT_USER_AGENT, HttpRequestClient
from tessel.image import ImageTool


def plain(data: bytes, log: logging.Logger) -> Tuple[bool, Dict[str, Any], str]:
    is_gray, metrics, message = ImageTool.is_plain_gray(data, 20.0, edge_thresh=0.02, logger=log)
    std: Any = metrics["std"]
    return is_gray, {"std": std}, message.strip()


def fetch(url: str, log: Optional[logging.Logger] = None) -> bytes:
    stream: Optional[BytesIO] = ImageTool.get_img_url_io(url, max_retries=2, base_delay=0.1, logger=log, timeout=5)
    if stream is None:
        return ImageTool.get_img_url_bytes(url, headers={"Referer": url})
    return stream.getvalue()


def validity(data: bytes) -> Optional[int]:
    try:
        valid: bool = ImageTool.is_valid_image(data, task_id="abc123")
    except InvalidImageError as err:
        size: Optional[int] = err.image_size
        cause: Optional[BaseException] = err.original_error
        context: Dict[str, Any] = err.extra_data
        return size if cause is not None and context else None
    except ServiceError as err:
        return len(err.message) + len(err.extra_data)
    return 1 if valid else 0


def transparency(paths: List[str], directory: str) -> Dict[str, bool]:
    verdicts = {p: ImageTool.has_multiple_transparency(p, threshold=3) for p in paths}
    verdicts.update(ImageTool.batch_has_multiple_transparency(directory, 5, 2, [".png"], desc="scan"))
    verdicts["stream"] = ImageTool().has_multiple_transparency(BytesIO(b""))
    return verdicts


def trimmed(data: bytes) -> int:
    out: bytes = ImageTool.trim_transparent_edges(data, padding=0, output_format="WEBP")
    lines: Dict[str, Any] = ImageTool.has_colored_lines(out, bg_threshold=20, max_fill_ratio=0.25)
    return len(out) + len(lines)


def client_calls(url: str) -> List[requests.Response]:
    client = HttpRequestClient(max_retries=2, base_timeout=10, verify_ssl=True, user_agent=DEFAULT_USER_AGENT)
    session: requests.Session = client.session
    session.headers["X-Test"] = "1"
    wait: float = HttpRequestClient._calc_backoff_wait(2)
    client.base_timeout = int(wait)
    return [
        client.request("get", url, headers={"A": "b"}, timeout=(1, 2), allow_redirects=False),
        client.get(url, params={"q": "1"}, timeout=3),
        client.post(url, json={"k": [1, 2]}, data=None, stream=True),
    ]


def module_globals() -> None:
    # The globals the methods look up at call time, as tests rebind them.
    tessel.image.time.sleep(0)
    tessel.image.np.zeros(1, dtype=tessel.image.np.uint8)
    tessel.image.logging.getLogger("tessel")


def one_pass(path: str) -> Optional[bool]:
    record: tessel.CheckRecord = tessel.check(path, gray_thresh=20.0, threshold=3)
    plain = record["is_plain_gray"]
    if plain is not None and plain["result"]:
        return None
    return record["has_multiple_transparency"]
