"""The straightforward Python formulation of every ImageTool method.

This is the yardstick the compiled methods are compared against, for speed
and for results: each method does literally what its algorithm describes,
with the same libraries (OpenCV, NumPy, Pillow, requests, tqdm), the same
signatures and the same results.
"""

from __future__ import annotations

import logging
import os
import time
import warnings
from concurrent.futures import ThreadPoolExecutor, as_completed
from io import BytesIO
from typing import Any, Dict, List, Optional, Tuple, Union

import cv2
import numpy as np
import requests
from PIL import Image

from faultdefs import InvalidImageError, ServiceError

_URL_PREFIXES = ("http://", "https://")


def _pixel_tuples(img):
    """The per-pixel tuple sequence: ``getdata()`` where Pillow still has it."""
    if hasattr(img, "getdata"):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            return img.getdata()
    raw = iter(img.tobytes())
    return zip(raw, raw, raw, raw)


class ImageTool:
    """图片工具类，提供图像检测、处理、获取等操作。"""

    @staticmethod
    def is_plain_gray(
        image_data: Union[bytes, str], gray_thresh: float = 30.0, edge_thresh: float = 0.01, **kwargs
    ) -> Tuple[bool, Dict[str, Any], str]:
        gray_thresh = float(gray_thresh)
        edge_thresh = float(edge_thresh)
        logger = kwargs.get("logger", None)
        try:
            if isinstance(image_data, str) and image_data.startswith(_URL_PREFIXES):
                img_io = ImageTool.get_img_url_io(image_data)
                image_data = img_io.getvalue()
            elif isinstance(image_data, str):
                if not os.path.isfile(image_data):
                    raise FileNotFoundError(f"图片文件不存在: {image_data}")
                with open(image_data, "rb") as f:
                    image_data = f.read()

            img_array = np.frombuffer(image_data, dtype=np.uint8)
            img = cv2.imdecode(img_array, cv2.IMREAD_COLOR)
            if img is None:
                return False, {"std": 0, "edge_ratio": 100, "saturation": 0}, "图片为空"

            gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
            std = float(np.std(gray))

            edges = cv2.Canny(gray, 10, 50)
            edge_ratio = float(np.count_nonzero(edges) / edges.size)

            hsv = cv2.cvtColor(img, cv2.COLOR_BGR2HSV)
            saturation = float(np.mean(hsv[:, :, 1]))

            laplacian = cv2.Laplacian(gray, cv2.CV_64F)
            local_contrast = float(np.std(laplacian))

            f_transform = np.fft.fft2(gray.astype(np.float64))
            f_shift = np.fft.fftshift(f_transform)
            magnitude = np.abs(f_shift)
            h, w = magnitude.shape
            cy, cx = h // 2, w // 2
            dc_mask = np.ones((h, w), dtype=bool)
            dc_radius = min(h, w) // 20
            dc_mask[cy - dc_radius : cy + dc_radius, cx - dc_radius : cx + dc_radius] = False
            total_energy = np.sum(magnitude**2)
            high_freq_energy = np.sum(magnitude[dc_mask] ** 2)
            high_freq_ratio = float(high_freq_energy / total_energy if total_energy > 0 else 0.0)

            clahe = cv2.createCLAHE(clipLimit=4.0, tileGridSize=(8, 8))
            enhanced = clahe.apply(gray)
            enhanced_edges = cv2.Canny(enhanced, 10, 50)
            enhanced_edge_ratio = float(np.count_nonzero(enhanced_edges) / enhanced_edges.size)

            enhanced_std = float(np.std(enhanced))

            metrics = {
                "std": round(std, 1),
                "edge_ratio": round(edge_ratio, 4),
                "saturation": round(saturation, 2),
                "local_contrast": round(local_contrast, 2),
                "high_freq_ratio": round(high_freq_ratio, 6),
                "enhanced_edge_ratio": round(enhanced_edge_ratio, 4),
                "enhanced_std": round(enhanced_std, 1),
            }

            if std > gray_thresh:
                return False, metrics, f"标准差={std:.1f}，有明显明暗变化"
            if edge_ratio > edge_thresh:
                return False, metrics, f"边缘密度={edge_ratio:.4f}，有图案或纹理"
            if saturation > 20.0:
                return False, metrics, f"饱和度={saturation:.1f}，有明显色彩"
            if local_contrast > 3.0:
                return False, metrics, f"局部对比度={local_contrast:.2f}，有微弱纹理"
            if high_freq_ratio > 0.001:
                return False, metrics, f"高频能量占比={high_freq_ratio:.6f}，有图案"
            if enhanced_edge_ratio > 0.05:
                return False, metrics, f"CLAHE增强边缘密度={enhanced_edge_ratio:.4f}，有隐藏图案"
            if enhanced_std > 60.0:
                return False, metrics, f"CLAHE增强标准差={enhanced_std:.1f}，有隐藏纹理"
            return True, metrics, "纯色图"
        except Exception as err:
            if logger:
                logger.error(f"图片检测错误: {err}")
            return False, {"std": 0, "edge_ratio": 100, "saturation": 0}, str(err)

    @staticmethod
    def get_img_url_io(
        url: str, max_retries: int = 3, base_delay: float = 0.5, logger: Optional[logging.Logger] = None, **kwargs
    ) -> Optional[BytesIO]:
        def log(msg: str):
            if logger:
                logger.error(msg)
            else:
                print(msg)

        timeout = kwargs.get("timeout", 20)
        headers = kwargs.get("headers", None)
        retry_count = 0
        while retry_count < max_retries:
            im_io = BytesIO()
            try:
                response = requests.get(url, stream=True, timeout=timeout, verify=False, headers=headers)
                if response.status_code == 200:
                    for chunk in response.iter_content(chunk_size=4096):
                        if chunk:
                            im_io.write(chunk)
                    return im_io
                delay = base_delay * (2**retry_count)
                time.sleep(delay)
                log(f"请求失败，状态码: {response.status_code}, {delay}s 后重试...: {url}")
            except Exception as e:
                delay = base_delay * (2**retry_count)
                time.sleep(delay)
                log(f"请求发生错误: {e}, {delay}s 后重试...: {url}")
            retry_count += 1
            if retry_count < max_retries:
                log(f"第 {retry_count + 1} 次重试...: {url}")
        raise ServiceError("无效的图片资源，请确认图片链接可正常访问", extra_data={"url": url})

    @staticmethod
    def get_img_url_bytes(url: str, **kwargs) -> bytes:
        return ImageTool.get_img_url_io(url, **kwargs).getvalue()

    @staticmethod
    def is_valid_image(image_data: Union[bytes, str], **kwargs: Any) -> bool:
        try:
            if isinstance(image_data, str):
                if image_data.startswith(_URL_PREFIXES):
                    img_io = ImageTool.get_img_url_io(image_data)
                    image_data = img_io.getvalue()
                elif not os.path.isfile(image_data):
                    raise FileNotFoundError(f"图片文件不存在: {image_data}")
                else:
                    with open(image_data, "rb") as f:
                        image_data = f.read()
            with Image.open(BytesIO(image_data)) as img:
                img.load()
            return True
        except OSError as err:
            raise InvalidImageError(
                f"图片无效: {err}", image_size=len(image_data), original_error=err, extra_data=kwargs
            )

    @staticmethod
    def _open(image_data):
        """The stream variant of the image source."""
        if isinstance(image_data, str) and image_data.startswith(_URL_PREFIXES):
            img_io = ImageTool.get_img_url_io(image_data)
            return Image.open(img_io)
        if isinstance(image_data, str):
            if not os.path.isfile(image_data):
                raise FileNotFoundError(f"图片文件不存在: {image_data}")
            return Image.open(image_data)
        if isinstance(image_data, BytesIO):
            return Image.open(image_data)
        return Image.open(BytesIO(image_data))

    @staticmethod
    def has_multiple_transparency(image_data: Union[bytes, str, BytesIO], threshold: int = 5) -> bool:
        threshold = int(threshold)
        img = ImageTool._open(image_data)
        if img.mode == "P":
            transparent = img.info.get("transparency", -1)
            if transparent == -1:
                return False
            color_data = img.getcolors()
            transparent_count = sum(count for count, index in color_data if index == transparent)
            return transparent_count > threshold
        if img.mode == "RGBA":
            width, height = img.size
            transparent_pixels = 0
            total_pixels = width * height
            for pixel in _pixel_tuples(img):
                r, g, b, a = pixel
                if a < 255:
                    transparent_pixels += 1
            return transparent_pixels / total_pixels > 0.05
        return False

    @staticmethod
    def batch_has_multiple_transparency(
        directory: str,
        threshold: int = 5,
        max_workers: int = 4,
        extensions: Optional[List[str]] = None,
        desc: str = "检测透明度",
    ) -> Dict[str, bool]:
        from tqdm import tqdm

        if not os.path.isdir(directory):
            raise FileNotFoundError(f"目录不存在: {directory}")
        if extensions is None:
            extensions = [".png", ".jpg", ".jpeg", ".gif", ".bmp", ".webp", ".tiff", ".tif"]
        else:
            extensions = [ext.lower() for ext in extensions]

        image_files = []
        for root, _, files in os.walk(directory):
            for fname in files:
                if os.path.splitext(fname)[1].lower() in extensions:
                    image_files.append(os.path.join(root, fname))

        results: Dict[str, bool] = {}

        def _check(filepath: str) -> Tuple[str, bool]:
            return filepath, ImageTool.has_multiple_transparency(filepath, threshold=threshold)

        with ThreadPoolExecutor(max_workers=max_workers) as executor:
            futures = {executor.submit(_check, fp): fp for fp in image_files}
            with tqdm(total=len(futures), desc=desc, unit="img") as pbar:
                for future in as_completed(futures):
                    filepath = futures[future]
                    try:
                        path, has_trans = future.result()
                        results[path] = has_trans
                    except Exception as e:
                        logging.warning("检测透明度失败 [%s]: %s", filepath, e)
                    finally:
                        pbar.update(1)
        return results

    @staticmethod
    def trim_transparent_edges(
        image_data: Union[bytes, str, BytesIO], padding: int = 10, output_format: str = "PNG"
    ) -> bytes:
        padding = int(padding)
        img = ImageTool._open(image_data)
        img = img.convert("RGBA")
        arr = np.array(img)
        alpha = arr[:, :, 3]
        rgb = arr[:, :, :3]
        is_white = np.all(rgb == 255, axis=2)
        content_mask = (alpha > 0) & (~is_white)
        coords = np.argwhere(content_mask)
        if len(coords) == 0:
            buf = BytesIO()
            img.save(buf, format=output_format)
            return buf.getvalue()
        top, left = coords.min(axis=0)
        bottom, right = coords.max(axis=0)
        right += 1
        bottom += 1
        left = left - padding if left - padding > 0 else 0
        top = top - padding if top - padding > 0 else 0
        right = right + padding if right + padding < img.width else img.width
        bottom = bottom + padding if bottom + padding < img.height else img.height
        cropped = img.crop((left, top, right, bottom))
        buf = BytesIO()
        cropped.save(buf, format=output_format)
        return buf.getvalue()

    @staticmethod
    def has_colored_lines(
        image_data: Union[bytes, str, BytesIO],
        bg_threshold: int = 30,
        color_gap: int = 30,
        max_fill_ratio: float = 0.3,
        min_colored_ratio: float = 0.85,
        min_dual_color_ratio: float = 0.15,
        max_density_for_single_color: float = 0.05,
    ) -> Dict[str, Any]:
        bg_threshold = int(bg_threshold)
        color_gap = int(color_gap)
        img = ImageTool._open(image_data)
        img = img.convert("RGB")
        arr = np.array(img, dtype=np.int32)
        r, g, b = arr[:, :, 0], arr[:, :, 1], arr[:, :, 2]

        white_threshold = 240
        is_dark = (r <= bg_threshold) & (g <= bg_threshold) & (b <= bg_threshold)
        is_white = (r >= white_threshold) & (g >= white_threshold) & (b >= white_threshold)
        non_bg_mask = ~(is_dark | is_white)

        total_pixels = arr.shape[0] * arr.shape[1]
        non_bg_count = int(np.sum(non_bg_mask))
        if non_bg_count == 0:
            return {
                "has_lines": False,
                "has_green": False,
                "has_red": False,
                "green_ratio": 0.0,
                "red_ratio": 0.0,
                "total_non_bg_ratio": 0.0,
            }

        green_strict = non_bg_mask & (g - r > color_gap) & (g - b > color_gap) & (b * 10 < g * 6)
        green_dark = non_bg_mask & (g - r > color_gap) & (g - b > color_gap) & (r < 120) & (r < b)
        green_mask = green_strict | green_dark
        red_mask = non_bg_mask & (r - g > color_gap) & (r - b > color_gap) & (b * 10 < r * 6)

        green_count = int(np.sum(green_mask))
        red_count = int(np.sum(red_mask))
        green_ratio = green_count / non_bg_count
        red_ratio = red_count / non_bg_count
        colored_ratio = (green_count + red_count) / non_bg_count
        total_non_bg_ratio = non_bg_count / total_pixels

        is_fill = total_non_bg_ratio > max_fill_ratio
        is_multicolor = colored_ratio < min_colored_ratio
        is_sparse = total_non_bg_ratio < max_density_for_single_color
        is_single_color = False if is_sparse else min(green_ratio, red_ratio) < min_dual_color_ratio

        has_lines = (not is_fill) and (not is_multicolor) and (not is_single_color) and colored_ratio > 0.5
        return {
            "has_lines": has_lines,
            "has_green": green_ratio > 0.1,
            "has_red": red_ratio > 0.1,
            "green_ratio": round(green_ratio, 4),
            "red_ratio": round(red_ratio, 4),
            "total_non_bg_ratio": round(total_non_bg_ratio, 4),
        }
