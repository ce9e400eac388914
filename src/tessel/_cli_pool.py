"""The command line's per-image work in a thread pool that Ctrl-C can stop.

The checks run in worker threads; the main thread only waits for results and
writes them out. SIGINT is turned into a request: it interrupts the main
thread only while it waits, never in the middle of writing a result, and the
pool then drops the queued images and lets the running checks finish, so what
was checked can still be printed. A second SIGINT ends the process at once.
"""

from __future__ import annotations

import queue
import signal
import threading
from concurrent.futures import Future, ThreadPoolExecutor
from contextlib import contextmanager
from types import FrameType
from typing import Any, Callable, Iterator, List, Optional, Sequence, Tuple, TypeVar

T = TypeVar("T")
R = TypeVar("R")


class Interrupts:
    """While entered, SIGINT sets `requested` and raises KeyboardInterrupt only inside `waiting()`."""

    def __init__(self) -> None:
        self.requested = False
        self._waiting = False
        self._installed = False
        self._previous: Any = None

    def __enter__(self) -> "Interrupts":
        # Signal handlers can only be set from the main thread; elsewhere (an
        # embedding application's thread) Ctrl-C is that application's business.
        if threading.current_thread() is threading.main_thread():
            self._previous = signal.signal(signal.SIGINT, self._handle)
            self._installed = True
        return self

    def __exit__(self, *exc: object) -> None:
        if self._installed:
            signal.signal(signal.SIGINT, self._previous)
            self._installed = False

    def _handle(self, signum: int, frame: Optional[FrameType]) -> None:
        self.requested = True
        # The first Ctrl-C asks for an orderly stop; a second one is not
        # caught, so it ends the process even if a check hangs.
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        if self._waiting:
            raise KeyboardInterrupt

    @contextmanager
    def waiting(self) -> Iterator[None]:
        """The block in which a SIGINT (or one that came earlier) raises KeyboardInterrupt."""
        if self.requested:
            raise KeyboardInterrupt
        self._waiting = True
        try:
            yield
        finally:
            self._waiting = False


class Pool:
    """A thread pool whose queued work is dropped when the pool is left early."""

    def __init__(self, workers: int) -> None:
        self._executor = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="tessel-cli")
        self._done: "queue.SimpleQueue[Future[Any]]" = queue.SimpleQueue()

    def __enter__(self) -> "Pool":
        return self

    def __exit__(self, *exc: object) -> None:
        # Nothing is queued any more after a complete run; after an interrupt,
        # a closed pipe or an error, the queued items are never started and
        # the running ones are waited for.
        self._executor.shutdown(wait=True, cancel_futures=True)

    def submit(self, fn: Callable[[T], R], items: Sequence[T]) -> List[Tuple[T, "Future[R]"]]:
        """One task per item, submitted in order; each is also handed to `next_done` once it ends."""
        tasks = []
        for item in items:
            future = self._executor.submit(fn, item)
            future.add_done_callback(self._done.put)
            tasks.append((item, future))
        return tasks

    def next_done(self) -> "Future[Any]":
        """The next task to end, in completion order (blocks until one does)."""
        return self._done.get()
