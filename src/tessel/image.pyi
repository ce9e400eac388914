# Type information for the compiled tessel.image module.
#
# The parameter and return types are the annotation texts the functions carry
# at run time (their __annotations__), so editors, mypy and inspect agree.
# The module globals the methods look up at call time are listed too: callers
# and tests rebind them (tessel.image.time, tessel.image.requests).

import logging as logging
import os as os
import time as time
from concurrent.futures import ThreadPoolExecutor as ThreadPoolExecutor
from concurrent.futures import as_completed as as_completed
from io import BytesIO as BytesIO
from typing import Any as Any
from typing import Dict as Dict
from typing import List as List
from typing import Optional as Optional
from typing import Tuple as Tuple
from typing import Union as Union

import cv2 as cv2
import numpy
import requests as requests
from faultdefs import InvalidImageError as InvalidImageError
from faultdefs import ServiceError as ServiceError
from PIL import Image as Image

from .utils import str_to_md5 as str_to_md5

np = numpy

class ImageTool:
    @staticmethod
    def is_plain_gray(
        image_data: Union[bytes, str], gray_thresh: float = 30.0, edge_thresh: float = 0.01, **kwargs: Any
    ) -> Tuple[bool, Dict[str, Any], str]: ...
    @staticmethod
    def get_img_url_io(
        url: str,
        max_retries: int = 3,
        base_delay: float = 0.5,
        logger: Optional[logging.Logger] = None,
        **kwargs: Any,
    ) -> Optional[BytesIO]: ...
    @staticmethod
    def get_img_url_bytes(url: str, **kwargs: Any) -> bytes: ...
    @staticmethod
    def is_valid_image(image_data: Union[bytes, str], **kwargs: Any) -> bool: ...
    @staticmethod
    def has_multiple_transparency(image_data: Union[bytes, str, BytesIO], threshold: int = 5) -> bool: ...
    @staticmethod
    def batch_has_multiple_transparency(
        directory: str,
        threshold: int = 5,
        max_workers: int = 4,
        extensions: Optional[List[str]] = None,
        desc: str = "检测透明度",
    ) -> Dict[str, bool]: ...
    @staticmethod
    def trim_transparent_edges(
        image_data: Union[bytes, str, BytesIO], padding: int = 10, output_format: str = "PNG"
    ) -> bytes: ...
    @staticmethod
    def has_colored_lines(
        image_data: Union[bytes, str, BytesIO],
        bg_threshold: int = 30,
        color_gap: int = 30,
        max_fill_ratio: float = 0.3,
        min_colored_ratio: float = 0.85,
        min_dual_color_ratio: float = 0.15,
        max_density_for_single_color: float = 0.05,
    ) -> Dict[str, Any]: ...
