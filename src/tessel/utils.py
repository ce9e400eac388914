"""Small helpers shared by the package."""

from __future__ import annotations

import hashlib

__all__ = ["str_to_md5"]


def str_to_md5(text: str) -> str:
    """Return the hexadecimal MD5 digest of ``text`` encoded as UTF-8."""
    if not isinstance(text, str):
        raise TypeError(f"str_to_md5() expects str, got {type(text).__name__}")
    return hashlib.md5(text.encode("utf-8")).hexdigest()
