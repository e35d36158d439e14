"""Repeated native calls keep memory and the reference counts of their arguments flat.

Each check warms the entry point up, then makes 20,000 calls and compares the process's resident
memory and the reference counts of the objects handed in with their values before the calls. The
inputs are sized so that a leaked result or argument per call would add far more than the limit.
Run ``python -m pytest -m leak -rP tests/test_native_leaks.py`` to see the measured figures.
"""

import gc
import sys

import psutil
import pytest

from kovalt.ulmora import str_to_bytearray

pytestmark = pytest.mark.leak

CALLS = 20_000
WARM_UP = 2_000
RSS_LIMIT = 2 * 1024 * 1024


def measure(call, watched=()):
    """Runs `call` CALLS times after a warm-up; returns (rss growth, refcount changes)."""
    for _ in range(WARM_UP):
        call()
    gc.collect()
    counts = refcounts(watched)
    rss = psutil.Process().memory_info().rss
    for _ in range(CALLS):
        call()
    gc.collect()
    growth = psutil.Process().memory_info().rss - rss
    changes = [after - before for after, before in zip(refcounts(watched), counts)]
    return growth, changes


def refcounts(objects):
    return [sys.getrefcount(obj) for obj in objects]


def check(name, call, watched=()):
    growth, changes = measure(call, watched)
    print(f"{name}: {CALLS} calls, resident memory {growth / 1024:+.0f} KiB, "
          f"reference counts {changes}")
    assert growth < RSS_LIMIT
    assert changes == [0] * len(watched)


@pytest.mark.parametrize("width", [0x7F, 0xFF, 0xFFFF, 0x10FFFF])
def test_str_to_bytearray(width):
    # 2,000 characters: a leaked text or result would add 40 MB or more over the run.
    text = "".join(chr(width - k % 64) for k in range(2_000))
    check(f"str_to_bytearray(max U+{width:04X})", lambda: str_to_bytearray(text), [text])


def test_str_to_bytearray_refusals():
    wrong = [b"x" * 1_000, ["x"] * 200]
    check("str_to_bytearray refusals", lambda: [_refuse(value) for value in wrong], wrong)


def _refuse(value):
    try:
        str_to_bytearray(value)
    except TypeError:
        return
    raise AssertionError("accepted a non-text argument")
