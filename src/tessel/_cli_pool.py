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
from typing import Any, Callable, Dict, Iterable, Iterator, Optional, TypeVar

T = TypeVar("T")


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
        # An ignored SIGINT (a job started in the background by a shell) stays
        # ignored, and a handler installed from C (shown as None) cannot be
        # put back, so it is left in place too.
        current = signal.getsignal(signal.SIGINT)
        if threading.current_thread() is threading.main_thread() and current not in (None, signal.SIG_IGN):
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


def run(
    fn: Callable[[T], object],
    items: Iterable[T],
    workers: int,
    interrupts: Interrupts,
    on_result: Callable[[T, "Future[Any]"], None],
    ordered: bool = False,
) -> None:
    """Calls `fn` on every item in `workers` threads and hands each ended task to `on_result`.

    `on_result(item, future)` runs in the calling thread, in completion order,
    or in the order of `items` when `ordered`. Only a few items are queued
    ahead of the workers, so that a stop drops the rest at once, whatever
    their number. After a SIGINT no item is started any more; the running
    ones end and are handed over, then `run` returns (`interrupts.requested`
    tells the caller why). An exception from `on_result` (a closed pipe)
    drops the queued items, waits for the running ones and propagates.
    """
    source = iter(items)
    ahead: "Dict[Future[Any], T]" = {}  # submitted, not yet handed over; insertion order is item order
    ended: "queue.SimpleQueue[Future[Any]]" = queue.SimpleQueue()
    executor = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="tessel-cli")

    def top_up() -> None:
        while len(ahead) < 2 * workers and not interrupts.requested:
            try:
                item = next(source)
            except StopIteration:
                return
            future = executor.submit(fn, item)
            if not ordered:
                future.add_done_callback(ended.put)
            ahead[future] = item

    try:
        top_up()
        try:
            while ahead:
                with interrupts.waiting():
                    if ordered:
                        future = next(iter(ahead))
                        future.exception()  # waits for it to end, raising nothing of its own
                    else:
                        future = ended.get()
                on_result(ahead.pop(future), future)
                top_up()
        except KeyboardInterrupt:
            pass
    finally:
        executor.shutdown(wait=True, cancel_futures=True)
    # Interrupted: the tasks that were running have ended by now; the queued
    # ones were cancelled and are left out.
    for future, item in ahead.items():
        if future.cancelled():
            if ordered:
                break  # what ended after it would leave a gap in the order
            continue
        on_result(item, future)
