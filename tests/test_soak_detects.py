"""The leak soak must notice the faults it exists for: a reference kept or
dropped per call, memory kept per call, and a call whose outcome drifts."""

from __future__ import annotations

import ctypes
import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

import soak  # noqa: E402

_kept = []


def keeps_a_reference(value):
    _kept.append(value)


_incref = ctypes.pythonapi.Py_IncRef
_incref.argtypes = [ctypes.py_object]


def leaks_a_reference(value):
    _incref(value)  # a reference nobody owns: what a missing Py_DECREF does


def keeps_memory(value):
    # Written, not just allocated: an allocator may hand out fresh zero pages
    # (ASan's calloc does) that never count towards RSS until touched.
    _kept.append(bytearray(b"\xab") * (64 * 1024))


def well_behaved(value):
    return len(value)


def drifts(value, _count=[0]):
    _count[0] += 1
    if _count[0] > 150:
        raise ValueError("changed its mind")


class Payload:
    pass


# Under AddressSanitizer freed memory sits in a quarantine whose resident pages
# are handed out again, so memory kept by a call need not raise RSS at all: the
# RSS half of the soak is meaningful only with the ordinary allocator (which
# is how `make soak` runs it).
_rss_blind = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.parametrize(
    "func,expected",
    [
        (keeps_a_reference, "refcount of"),
        (leaks_a_reference, "refcount of"),
        pytest.param(
            keeps_memory,
            "RSS grew by",
            marks=pytest.mark.skipif(_rss_blind, reason="RSS cannot see kept memory under ASan's allocator"),
        ),
        (drifts, "raised ValueError"),
        (well_behaved, None),
    ],
)
def test_soak_flags_each_fault(func, expected):
    _kept.clear()
    arg = [Payload()] if func is well_behaved else Payload()
    cases = [soak.Case("one", (arg,))]
    result = soak.soak({"f": (func, cases)}, calls=300, warmup=100, rss_limit_mb=5)
    _kept.clear()
    if expected is None:
        assert result.failures == []
    else:
        assert any(expected in line for line in result.failures), result.failures


def test_expected_exception_is_not_a_failure():
    cases = [soak.Case("bad", ("x",), expect=TypeError), soak.Case("good", (2,))]
    result = soak.soak({"f": (lambda v: v + 1, cases)}, calls=50, warmup=10, rss_limit_mb=5)
    assert result.failures == []
