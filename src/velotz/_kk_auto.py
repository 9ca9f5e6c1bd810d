"""Helpers shared by the Kramers-Kronig test and the fit diagnosis.

The automatic test itself (M chosen by leave-one-out cross-validation, the
noise level, the outlier and stretch rounds) runs in the compiled core
(src/analysis/kk_auto.cpp, called through ``_core._kk_auto``), with the
interpreter lock released and Ctrl-C honoured. What stays here turns a
mask of points in frequency order into frequency ranges, for the test's
result and for the diagnosis's lack-of-fit findings.
"""

__all__ = ["frequency_ranges"]


def frequency_ranges(sorted_frequencies, mask):
    """The stretches where mask is set, as (lowest, highest) frequency pairs."""
    ranges = []
    start = None
    n = len(mask)
    for i in range(n + 1):
        inside = i < n and mask[i]
        if inside and start is None:
            start = i
        elif not inside and start is not None:
            ranges.append((float(sorted_frequencies[start]), float(sorted_frequencies[i - 1])))
            start = None
    return ranges
