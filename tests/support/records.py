"""The record tessel.check gives for an image every check reads, built from the
four methods called one by one."""

from __future__ import annotations

from tessel.image import ImageTool


def good_image_record(data: bytes) -> dict:
    is_gray, metrics, message = ImageTool.is_plain_gray(data)
    return {
        "ok": True,
        "is_valid_image": True,
        "is_plain_gray": {"result": is_gray, "metrics": metrics, "message": message},
        "has_multiple_transparency": ImageTool.has_multiple_transparency(data),
        "has_colored_lines": ImageTool.has_colored_lines(data),
        "image_size": len(data),
        "error": None,
        "errors": {},
    }
