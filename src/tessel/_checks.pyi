from typing import Any, Optional, Tuple

def check_all(
    image_data: Any, gray_thresh: float = 30.0, edge_thresh: float = 0.01, threshold: int = 5
) -> Tuple[Optional[int], Optional[BaseException], Tuple[Any, Any, Any, Any]]: ...
