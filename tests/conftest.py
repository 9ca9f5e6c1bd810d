import gc
import os
import sys

import pytest


def rss_bytes():
    """Resident set size of this process, from /proc (Linux)."""
    with open(f"/proc/{os.getpid()}/statm") as f:
        pages = int(f.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture
def memory_is_flat():
    """Calls fn repeatedly and asserts that resident memory stops growing."""

    def check(fn, rounds=5, per_round=2000, slack=8 * 1024 * 1024):
        # Collections before each reading: PyPy's collector frees objects
        # handed through its C-API layer only when it runs. Its heap also
        # keeps growing for a while after warm-up (the next major collection
        # is due at a multiple of the live heap) and is not handed back to
        # the system, so resident size there gets four times the slack; a
        # leak still shows on CPython, which runs the same checks.
        if sys.implementation.name == "pypy":
            slack *= 4
        for _ in range(per_round):  # warm-up: caches, allocator pools
            fn()
        gc.collect()
        start = rss_bytes()
        for _ in range(rounds * per_round):
            fn()
        gc.collect()
        grown = rss_bytes() - start
        assert grown < slack, f"memory grew by {grown} bytes over {rounds * per_round} calls"

    return check


# Match statements do not parse before Python 3.10 (PyPy 7.3 implements 3.9).
collect_ignore = ["test_elements_match.py"] if sys.version_info < (3, 10) else []

