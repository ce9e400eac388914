# Type information for the exception types tessel.image raises.

from typing import Any, Dict, Optional

__all__ = ["ServiceError", "InvalidImageError"]

class ServiceError(Exception):
    message: str
    extra_data: Dict[str, Any]
    def __init__(self, message: str = "", extra_data: Optional[Dict[str, Any]] = None) -> None: ...

class InvalidImageError(Exception):
    message: str
    image_size: Optional[int]
    original_error: Optional[BaseException]
    extra_data: Dict[str, Any]
    def __init__(
        self,
        message: str = "",
        image_size: Optional[int] = None,
        original_error: Optional[BaseException] = None,
        extra_data: Optional[Dict[str, Any]] = None,
    ) -> None: ...
