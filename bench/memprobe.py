"""Peak resident-memory growth of one call, measured in a fresh process.

Usage: memprobe.py METHOD_KEY CONTENDER IMAGE_PATH WARMUP_PATH

Prints one JSON line: {"growth": bytes, "reset": bool, "error": text|null}.
The call is first made once on a small image of the same kind (so codecs,
FFT plans and lazily imported modules are in place), then the kernel's peak
RSS mark is reset (/proc/self/clear_refs "5"), and the growth of VmHWM over
the VmRSS just before the measured call is reported. tracemalloc cannot see
the C allocations of OpenCV, NumPy and Pillow; the RSS high-water mark can.
"""

from __future__ import annotations

import gc
import json
import re
import sys


def _status(field: str) -> int:
    with open("/proc/self/status") as fh:
        match = re.search(rf"^{field}:\s+(\d+) kB", fh.read(), re.M)
    return int(match.group(1)) * 1024 if match else 0


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return True
    except OSError:
        return False


def main(argv) -> int:
    key, contender, path, warmup_path = argv[1:5]
    import contenders  # imports tessel, the baseline and the floors alike

    method = contenders.METHODS_BY_KEY[key]
    fn = getattr(method, contender)
    with open(warmup_path, "rb") as fh:
        warm = fh.read()
    with open(path, "rb") as fh:
        data = fh.read()
    ctx = method.prepare(data)
    warm_ctx = method.prepare(warm)
    try:
        fn(warm, warm_ctx)
    except NotImplementedError as exc:
        print(json.dumps({"growth": None, "reset": False, "error": f"not implemented: {exc}"}))
        return 0
    gc.collect()
    reset = _reset_peak()
    before = _status("VmRSS")
    error = None
    result = None
    try:
        result = fn(data, ctx)
    except Exception as exc:  # reported, the figure is then meaningless
        error = f"{type(exc).__name__}: {exc}"
    peak = _status("VmHWM")
    if not reset:
        # without the reset the mark may predate this call: report only growth
        peak = max(peak, _status("VmRSS"))
    print(json.dumps({"growth": peak - before, "reset": reset, "error": error}))
    del result
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
