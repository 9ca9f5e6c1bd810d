"""Helpers shared by the Kramers-Kronig test and the fit diagnosis.

The automatic test itself (M chosen by leave-one-out cross-validation, the
noise level, the outlier and stretch rounds) runs in the compiled core
(src/analysis/kk_auto.cpp, called through ``_core._kk_auto``), with the
interpreter lock released and Ctrl-C honoured. The diagnosis's lack-of-fit
check uses the same stretch rule on a fit's residuals, here on numpy arrays.
"""

__all__ = ["runs_away", "frequency_ranges"]


def runs_away(np, residuals_in_frequency_order, noise, factor, floor, windows):
    """Mask of the points inside stretches whose mean residual (real or
    imaginary part, over each window width in turn; shorter windows at the
    ends) exceeds both `factor` times the noise such a mean has and `floor`.
    The whole window of a mean beyond the limit is marked, not only its
    centre."""
    r = residuals_in_frequency_order
    n = len(r)
    mask = np.zeros(n, dtype=bool)
    for width in windows:
        if n < width:
            continue
        count = np.convolve(np.ones(n), np.ones(width), mode="same")
        limit = np.maximum(factor * noise / np.sqrt(count), floor)
        for part in (r.real, r.imag):
            mean = np.convolve(part, np.ones(width), mode="same") / count
            above = (np.abs(mean) > limit).astype(float)
            mask |= np.convolve(above, np.ones(width), mode="same") > 0
    return mask


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
