"""Running the image checks over very large image sets on Dask.

The per-image work is :func:`check_path`, a plain module-level function: it
pickles by reference, so any process pool, ``dask.bag`` with the
multiprocessing scheduler, or a ``distributed`` cluster can run it, as long as
the workers have tessel installed. It runs :func:`tessel.check` (one read and
one decode per decoder for the four checks) and never raises: one unreadable
or damaged file becomes a record with ``None`` checks and an ``"error"`` entry
instead of failing the whole computation.

    import dask
    from tessel.dask_recipe import image_paths, checks_bag

    bag = checks_bag(image_paths("/data/uploads"), partition_size=2000)
    with dask.config.set(scheduler="processes", num_workers=8):
        bag.map(json.dumps).to_textfiles("results/part-*.jsonl")

With ``distributed``, create a ``Client`` first and leave out the scheduler
setting: the same bag then runs on the cluster. Dask is an optional
dependency (``pip install ".[dask]"`` from a checkout, ``pip install
"tessel[dask]"`` from an index); only :func:`checks_bag` needs it.
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


def check_path(path: str, threshold: int = 5, colored_lines: bool = True) -> Dict[str, Any]:
    """The checks for one image file, as a JSON-ready record: "path" followed
    by the keys of :class:`tessel.checks.CheckRecord`, every key present in
    every record (None where a check could not run, the reason in "error"
    and "errors"), so ``pluck`` and ``frequencies`` work on messy data.
    "has_colored_lines" is always measured: it shares the other checks'
    decode, so `colored_lines` (once the switch for it) no longer changes
    the record.
    """
    from .checks import check

    return {"path": path, **check(path, threshold=threshold)}


def checks_bag(
    paths: Iterable[str],
    threshold: int = 5,
    colored_lines: bool = True,
    partition_size: Optional[int] = None,
    npartitions: Optional[int] = None,
) -> Any:
    """A ``dask.bag.Bag`` of :func:`check_path` records, one per path, not yet computed.

    Give `partition_size` (paths per task; a few thousand suits large sets) or
    `npartitions`; by default dask chooses. Compute it with any scheduler.
    `colored_lines` is accepted for older callers: every record has
    "has_colored_lines".
    """
    import dask.bag as db

    items: List[str] = list(paths)
    if partition_size is None and npartitions is None:
        npartitions = max(1, min(len(items), 100))
    bag = db.from_sequence(items, partition_size=partition_size, npartitions=npartitions)  # type: ignore[no-untyped-call]
    return bag.map(check_path, threshold=threshold)
