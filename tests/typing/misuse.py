"""Calls the stubs must reject: every line marked `# E: <code>` must get a mypy
error with that code, and no other line may get one."""

import tessel
from tessel.http import HttpRequestClient
from tessel.image import ImageTool

ImageTool.has_multiple_transparency(b"", threshold="5")  # E: arg-type
ImageTool.has_colored_lines(b"", foo=1)  # E: call-arg
ImageTool.batch_has_multiple_transparency("d", extensions=(".png",))  # E: arg-type
ImageTool.get_img_url_bytes("u", 5)  # E: call-arg
ImageTool.trim_transparent_edges(b"", output_format=None)  # E: arg-type
flag: str = ImageTool.is_valid_image(b"")  # E: assignment
stream_bytes: bytes = ImageTool.get_img_url_io("u").getvalue()  # E: union-attr
HttpRequestClient(timeout=5)  # E: call-arg
HttpRequestClient().get("u", timeout=(1, 2))  # E: arg-type
HttpRequestClient().post("u", json=[1, 2])  # E: arg-type
wait: int = HttpRequestClient._calc_backoff_wait(1)  # E: assignment
HttpRequestClient().close()  # E: attr-defined
tessel.check(b"", 30.0)  # E: call-arg
tessel.check(3)  # E: arg-type
gray: bool = tessel.check(b"")["is_plain_gray"]  # E: assignment
