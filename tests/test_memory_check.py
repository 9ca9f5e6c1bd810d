"""The resident-memory check of conftest.py (memory_is_flat): memory taken
while a function warms up passes, a steady leak fails."""
import mmap

import pytest

BLOCK = 1 << 16  # bytes kept per call


def block(size):
    """A mapping of size bytes with every page written, so that all of it is
    resident. Mappings of their own, not the interpreter's heap: memory an
    earlier test freed there (PyPy keeps and reuses it) cannot hide a leak."""
    m = mmap.mmap(-1, size)
    for i in range(0, size, mmap.PAGESIZE):
        m[i] = 1
    return m


@pytest.mark.parametrize("calls_that_keep", [0, 150])
def test_growth_that_levels_off_passes(memory_is_flat, calls_that_keep):
    # The first calls keep a block each (a cache filling up: 9.8 MB over the
    # first three rounds, well above the slack), then nothing more is kept.
    kept = []

    def warms_up():
        if len(kept) < calls_that_keep:
            kept.append(block(BLOCK))
        return len(kept)

    memory_is_flat(warms_up, rounds=3, per_round=50, slack=2 * 1024 * 1024)


@pytest.mark.parametrize("every", [1, 4])
def test_steady_leak_fails(memory_is_flat, every):
    # One block kept every `every` calls, for ever: 3.2 to 12.8 MB per round
    # of 50 calls, beyond the slack after three rounds even with PyPy's
    # fourfold slack (the check's limit is slack / (rounds * per_round) per call).
    kept = []
    count = [0]

    def leaks():
        count[0] += 1
        if count[0] % every == 0:
            kept.append(block(4 * BLOCK))
        return len(kept)

    with pytest.raises(AssertionError, match="memory grew by"):
        memory_is_flat(leaks, rounds=3, per_round=50, slack=2 * 1024 * 1024, max_warmup_rounds=3)
