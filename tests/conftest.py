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

    def check(fn, rounds=5, per_round=2000, slack=8 * 1024 * 1024, max_warmup_rounds=10):
        # Resident size is read after a collection at the end of every round
        # of per_round calls (PyPy's collector frees objects handed through
        # its C-API layer only when it runs). The first rounds warm up caches,
        # allocator pools and, on PyPy, the heap, which keeps growing for a
        # while (its next major collection is due at a multiple of the live
        # heap, and it hands no pages back): warm-up ends at the first round
        # that grows by less than slack / rounds, and at the latest after
        # max_warmup_rounds. From the reading before that round, `rounds`
        # rounds must together grow by less than slack. A leak of
        # slack / (rounds * per_round) bytes per call or more never levels
        # off, so it fails as it would without the warm-up. PyPy's heap still
        # grows in steps after warm-up, so it gets four times the slack; a
        # leak still shows on CPython, which runs the same checks.
        if sys.implementation.name == "pypy":
            slack *= 4
        level = slack / rounds
        readings = []

        def run_round():
            for _ in range(per_round):
                fn()
            gc.collect()
            readings.append(rss_bytes())

        run_round()
        start = None
        while start is None:
            run_round()
            if readings[-1] - readings[-2] < level:
                start = len(readings) - 2
            elif len(readings) > max_warmup_rounds:
                start = len(readings) - 1
        while len(readings) - 1 - start < rounds:
            run_round()
        grown = readings[-1] - readings[start]
        assert grown < slack, (
            f"memory grew by {grown} bytes over {rounds * per_round} calls after "
            f"{start + 1} rounds of warm-up (readings per round: {readings})")

    return check


# Match statements do not parse before Python 3.10 (PyPy 7.3 implements 3.9).
collect_ignore = ["test_elements_match.py"] if sys.version_info < (3, 10) else []

