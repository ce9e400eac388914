"""Exception types raised by :mod:`tessel.image`.

``ServiceError`` reports that a remote resource could not be fetched;
``InvalidImageError`` reports that image data is damaged or incomplete. Both
keep the keyword context they were raised with, so callers can read it back
(``err.extra_data["task_id"]``).
"""

from __future__ import annotations

from typing import Any, Dict, Optional

__all__ = ["ServiceError", "InvalidImageError"]


class ServiceError(Exception):
    """A remote service or resource could not be reached."""

    def __init__(self, message: str = "", extra_data: Optional[Dict[str, Any]] = None) -> None:
        super().__init__(message)
        self.message = message
        self.extra_data = {} if extra_data is None else extra_data

    def __str__(self) -> str:
        if self.extra_data:
            return f"{self.message} {self.extra_data!r}"
        return self.message


class InvalidImageError(Exception):
    """Image data that does not decode completely."""

    def __init__(
        self,
        message: str = "",
        image_size: Optional[int] = None,
        original_error: Optional[BaseException] = None,
        extra_data: Optional[Dict[str, Any]] = None,
    ) -> None:
        super().__init__(message)
        self.message = message
        self.image_size = image_size
        self.original_error = original_error
        self.extra_data = {} if extra_data is None else extra_data

    def __str__(self) -> str:
        parts = [self.message]
        if self.image_size is not None:
            parts.append(f"(image_size={self.image_size})")
        if self.extra_data:
            parts.append(repr(self.extra_data))
        return " ".join(parts)
