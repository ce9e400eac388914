"""Running the image checks over very large image sets on Dask.

The per-image work is :func:`check_path`, a plain module-level function: it
pickles by reference, so any process pool, ``dask.bag`` with the
multiprocessing scheduler, or a ``distributed`` cluster can run it, as long as
the workers have tessel installed. It never raises: one unreadable or damaged
file becomes a record with an ``"error"`` entry instead of failing the whole
computation.

    import dask
    from tessel.dask_recipe import image_paths, checks_bag

    bag = checks_bag(image_paths("/data/uploads"), partition_size=2000)
    with dask.config.set(scheduler="processes", num_workers=8):
        bag.map(json.dumps).to_textfiles("results/part-*.jsonl")

With ``distributed``, create a ``Client`` first and leave out the scheduler
setting: the same bag then runs on the cluster. Dask is an optional
dependency (``pip install "tessel[dask]"``); only :func:`checks_bag` needs it.
"""

from __future__ import annotations

import os
from typing import Any, Dict, Iterable, Iterator, List, Optional

__all__ = ["DEFAULT_EXTENSIONS", "image_paths", "check_path", "checks_bag"]

# The suffixes ImageTool.batch_has_multiple_transparency scans by default.
DEFAULT_EXTENSIONS = (".png", ".jpg", ".jpeg", ".gif", ".bmp", ".webp", ".tiff", ".tif")


def image_paths(directory: str, extensions: Iterable[str] = DEFAULT_EXTENSIONS) -> Iterator[str]:
    """Yields the image files under `directory` (recursively), lazily.

    Suffixes compare case-insensitively, as in the batch scan. Raises
    FileNotFoundError when `directory` is not a directory.
    """
    if not os.path.isdir(directory):
        raise FileNotFoundError(f"no such directory: {directory}")
    wanted = frozenset(e.lower() for e in extensions)
    for root, _dirs, files in os.walk(directory):
        for name in files:
            if os.path.splitext(name)[1].lower() in wanted:
                yield os.path.join(root, name)


def check_path(path: str, threshold: int = 5, colored_lines: bool = False) -> Dict[str, Any]:
    """The checks for one image file, as a JSON-ready record.

    Keys: "path", "valid" (bool), and for a valid image "has_multiple_transparency"
    (bool), "is_plain_gray" (bool) and "plain_gray_message" (str), plus
    "has_colored_lines" (the method's dict) when `colored_lines` is true. A file
    that cannot be read or checked gets "valid" False (or None when it could
    not even be read) and "error", the exception's text.
    """
    from faultdefs import InvalidImageError

    from .image import ImageTool

    record: Dict[str, Any] = {"path": path}
    try:
        with open(path, "rb") as fh:
            data = fh.read()
    except OSError as err:
        record.update(valid=None, error=f"{type(err).__name__}: {err}")
        return record
    try:
        ImageTool.is_valid_image(data, path=path)
    except InvalidImageError as err:
        record.update(valid=False, error=str(err))
        return record
    record["valid"] = True
    try:
        record["has_multiple_transparency"] = ImageTool.has_multiple_transparency(data, threshold)
        is_gray, _metrics, message = ImageTool.is_plain_gray(data)
        record["is_plain_gray"] = is_gray
        record["plain_gray_message"] = message
        if colored_lines:
            record["has_colored_lines"] = ImageTool.has_colored_lines(data)
    except Exception as err:  # noqa: BLE001 - keep the other images going
        record["error"] = f"{type(err).__name__}: {err}"
    return record


def checks_bag(
    paths: Iterable[str],
    threshold: int = 5,
    colored_lines: bool = False,
    partition_size: Optional[int] = None,
    npartitions: Optional[int] = None,
) -> Any:
    """A ``dask.bag.Bag`` of :func:`check_path` records, one per path, not yet computed.

    Give `partition_size` (paths per task; a few thousand suits large sets) or
    `npartitions`; by default dask chooses. Compute it with any scheduler.
    """
    import dask.bag as db

    items: List[str] = list(paths)
    if partition_size is None and npartitions is None:
        npartitions = max(1, min(len(items), 100))
    bag = db.from_sequence(items, partition_size=partition_size, npartitions=npartitions)  # type: ignore[no-untyped-call]
    return bag.map(check_path, threshold=threshold, colored_lines=colored_lines)
