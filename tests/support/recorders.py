"""Stand-ins that record how tessel.image talks to its collaborators while
keeping the real behaviour underneath (the real HTTP transport, real images).
"""

from __future__ import annotations

import types

import requests


class RecordingRequests(types.SimpleNamespace):
    """Replaces the `requests` global of tessel.image: `get` goes to the real
    requests.get, and every call and every response is kept."""

    def __init__(self):
        super().__init__(calls=[], responses=[])

    def get(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        response = requests.get(*args, **kwargs)
        self.responses.append(response)
        return response


class ListLogger:
    """A logger-like object: only `error` is used, with one string."""

    def __init__(self, fail_times=0, failure=RuntimeError):
        self.lines = []
        self.fail_times = fail_times
        self.failure = failure

    def error(self, msg):
        self.lines.append(msg)
        if self.fail_times:
            self.fail_times -= 1
            raise self.failure(f"logger broke on line {len(self.lines)}")


class FalsyLogger(ListLogger):
    """A logger that is falsy, so the download prints instead of using it."""

    def __bool__(self):
        return False
