"""The automatic linear Kramers-Kronig test: the number of RC elements chosen
by cross-validation, the noise level estimated from the residuals, and the
points and frequency ranges that stand out from that noise.

Why not the mu criterion: mu = 1 - sum|R_k < 0| / sum|R_k >= 0| measures how
much the RC basis has begun to oscillate, not how well it describes the
spectrum. On measured spectra it often drops below its cutoff at three or four
elements, long before the basis can follow a depressed arc, and the residuals
left (10-50 %) fail every spectrum. Letting the residuals alone choose M goes
wrong the other way: with enough elements the basis absorbs corrupted points
and drifting ends. Cross-validation sits between the two: each M is judged by
how well the fit predicts each frequency point from the others (leave one
point out, both parts at once), which rewards following real structure and
punishes bending towards single points. The largest tenth of the
prediction errors is left out of the score, so a few corrupted points do not
pull M down to one element.

With M chosen, the residuals (Z - Z_fit)/|Z| of a valid spectrum are noise.
The noise level is estimated from the differences of neighbouring residuals
(in frequency order), which a smooth systematic deviation hardly changes;
a point stands out when its residual exceeds OUTLIER_FACTOR times that level,
and a frequency range deviates systematically when the mean residual over a
window of 5, 9 or 17 neighbouring points exceeds SYSTEMATIC_FACTOR times the
level expected of such a mean. Deviations smaller than the tolerance (1 % of
|Z| by default) never count.

The least squares are small (2N rows, at most max_m + 4 columns) and run in
numpy's LAPACK routines, which release the interpreter lock.
"""
import math

__all__ = ["auto_test", "noise_level", "stand_out", "runs_away", "frequency_ranges"]

# Decades by which the time constants reach below 1/omega_max and above
# 1/omega_min. An arc whose peak lies just above the highest frequency still
# shapes the measured flank, and a basis that stops at the window bends the
# fit there. At the low-frequency end the series capacitance takes that role,
# and that end is where a drifting system shows (the slow points take most of
# the measuring time): a basis reaching beyond it would absorb the drift.
TAU_EXTENSION = (0.5, 0.0)
# Share of the largest leave-one-out errors left out of the score.
TRIM = 0.1
OUTLIER_FACTOR = 5.0
SYSTEMATIC_FACTOR = 4.5
# On long spectra the factors grow so that pure noise is flagged somewhere
# in at most this share of spectra (a normal quantile over the 2N values
# tested); below about 10^4 points the fixed factors are the larger ones.
FALSE_ALARM = 0.01


def _factor(base, values_tested):
    from statistics import NormalDist

    return max(base, NormalDist().inv_cdf(1.0 - FALSE_ALARM / (2.0 * max(values_tested, 1))))
SYSTEMATIC_WINDOWS = (5, 9, 17)
# The score of a basis that has begun to follow the noise rises with M; the
# search stops this many elements past the best M found so far.
PATIENCE = 12
# Points on which M is scored at most (long spectra: every k-th point).
SCORE_POINTS = 1000
# Rounds of leaving out the points that stand out and testing again.
MAX_ROUNDS = 5
# Relative singular-value cutoff of the least squares: dependent columns of
# a dense basis get no weight instead of huge opposite ones.
RCOND = 1e-12
# Noise level reported for residuals that are exactly zero (synthetic data
# from an RC circuit): keeps the thresholds defined.
NOISE_FREE = 0.0


def _basis(np, omega, taus, add_capacitance, add_inductance):
    """Columns of the test circuit's impedance, per unit of each unknown:
    series R, the RC elements, then a series capacitance and inductance in
    units that keep their columns within [0, 1] in magnitude: omega_min/C and
    L*omega_max (1/(j omega C) and j omega L overflow on spectra that span
    hundreds of decades). `_series_terms` turns them back into 1/C and L."""
    # 1/(1 + j x) with x = omega tau, written so that x = 0 or inf gives the
    # limits instead of NaN.
    with np.errstate(over="ignore", divide="ignore"):
        x = np.outer(omega, taus)
        rc = 1.0 / (1.0 + x * x) - 1j / (x + 1.0 / x)
    cols = [np.ones((omega.size, 1), dtype=complex), rc]
    if add_capacitance:
        cols.append((-1j * (omega.min() / omega))[:, None])
    if add_inductance:
        cols.append((1j * (omega / omega.max()))[:, None])
    return np.hstack(cols)


def _series_terms(omega, x, m, add_capacitance, add_inductance):
    """(1/C, L) from the solution of a basis built by `_basis`."""
    inverse_capacitance = float(x[1 + m]) * float(omega.min()) if add_capacitance else 0.0
    inductance = float(x[-1]) / float(omega.max()) if add_inductance else 0.0
    return inverse_capacitance, inductance


def _time_constants(np, omega, m):
    t_lo = math.log10(1.0 / omega.max()) - TAU_EXTENSION[0]
    t_hi = math.log10(1.0 / omega.min()) + TAU_EXTENSION[1]
    if m == 1:
        return np.array([10.0 ** t_hi])
    return np.logspace(t_lo, t_hi, m)


def _solve(np, a_complex, z, mod):
    """Weighted complex least squares: x minimising |(A x - Z) / |Z||, with
    both parts stacked. Returns x, the residuals (Z - A x)/|Z| and the
    leave-one-point-out prediction errors of every point."""
    n = len(z)
    aw = a_complex / mod[:, None]
    a = np.vstack([aw.real, aw.imag])
    b = np.concatenate([z.real / mod, z.imag / mod])
    scale = np.linalg.norm(a, axis=0)
    scale[scale == 0] = 1.0
    u, s, vt = np.linalg.svd(a / scale, full_matrices=False)
    keep = s > RCOND * s[0] if s.size else s.astype(bool)
    u, s, vt = u[:, keep], s[keep], vt[keep]
    x = (vt.T @ ((u.T @ b) / s)) / scale
    r = b - (a @ x)
    # Leave out point i (its real and imaginary rows): the prediction error
    # is (I - H_ii)^-1 r_i with H_ii the 2 x 2 block of the hat matrix U U^T.
    u1, u2 = u[:n], u[n:]
    h11 = np.einsum("ij,ij->i", u1, u1)
    h22 = np.einsum("ij,ij->i", u2, u2)
    h12 = np.einsum("ij,ij->i", u1, u2)
    a11, a22, a12 = 1.0 - h11, 1.0 - h22, -h12
    det = a11 * a22 - a12 * a12
    r1, r2 = r[:n], r[n:]
    with np.errstate(divide="ignore", invalid="ignore"):
        l1 = (a22 * r1 - a12 * r2) / det
        l2 = (a11 * r2 - a12 * r1) / det
    loo = l1 * l1 + l2 * l2
    # A point the fit reproduces exactly whatever it is (a block of the hat
    # matrix at one) cannot be predicted from the others at all.
    loo[~np.isfinite(loo)] = np.inf
    return x, r1 + 1j * r2, loo


def _score(np, loo):
    e = np.sort(loo)
    kept = max(1, int(round(len(e) * (1.0 - TRIM))))
    return float(np.sum(e[:kept]))


def noise_level(np, residuals_in_frequency_order):
    """Robust standard deviation of the noise in residuals ordered by
    frequency, from the differences of neighbours (a smooth deviation adds
    little to them): 1.4826 * MAD / sqrt(2)."""
    r = residuals_in_frequency_order
    if len(r) < 2:
        return NOISE_FREE
    d = np.concatenate([np.diff(r.real), np.diff(r.imag)]) / math.sqrt(2.0)
    return float(1.4826 * np.median(np.abs(d - np.median(d))))


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


def stand_out(np, residuals_in_frequency_order, noise, tolerance):
    """Indices (in the order given) of points whose residual stands out from
    the noise, and a boolean mask of points inside systematically deviating
    stretches."""
    r = residuals_in_frequency_order
    n = len(r)
    dev = np.maximum(np.abs(r.real), np.abs(r.imag))
    outliers = np.nonzero(dev > max(_factor(OUTLIER_FACTOR, 2 * n) * noise, tolerance))[0]
    cleaned = r.copy()
    cleaned[outliers] = 0.0
    systematic = runs_away(np, cleaned, noise, _factor(SYSTEMATIC_FACTOR, 2 * n), tolerance, SYSTEMATIC_WINDOWS)
    # A point that stands out alone is an outlier, not a stretch.
    systematic[outliers] = False
    return outliers, systematic


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


def _choose_and_fit(np, f, z, max_m, add_capacitance, add_inductance, use):
    """M chosen by the trimmed leave-one-out score on the points in `use`,
    and that fit's basis, solution and residuals at every point.

    On long spectra M is scored on every k-th used point (about
    SCORE_POINTS of them, spread evenly over the sweep): the score needs the
    shape of the spectrum, not every point of it, and each SVD costs time
    in proportion to the points. The chosen fit then uses every point."""
    omega = 2.0 * math.pi * f
    mod = np.abs(z)
    used = np.nonzero(use)[0]
    stride = max(1, -(-used.size // SCORE_POINTS))
    scored = used[::stride]
    extra = 1 + int(add_capacitance) + int(add_inductance)
    # Leaving one point out must keep more equations than unknowns.
    m_top = max(1, min(max_m, 2 * scored.size - extra - 3))
    best = None
    for m in range(1, m_top + 1):
        taus = _time_constants(np, omega, m)
        a = _basis(np, omega[scored], taus, add_capacitance, add_inductance)
        _, _, loo = _solve(np, a, z[scored], mod[scored])
        score = _score(np, loo)
        if best is None or score < best[0]:
            best = (score, m, taus)
        elif m - best[1] >= PATIENCE:
            break
    _, m, taus = best
    a = _basis(np, omega, taus, add_capacitance, add_inductance)
    x, _, _ = _solve(np, a[used], z[used], mod[used])
    return m, taus, a, x, (z - a @ x) / mod


def auto_test(np, f, z, max_m, add_capacitance, add_inductance, tolerance):
    """The automatic test on numpy arrays f (Hz) and z (ohm). Returns a dict
    of the chosen fit and the verdict's pieces, in the order given.

    A corrupted point pulls the fit towards itself and its neighbours'
    residuals away from zero, so the points that stand out are left out and
    the test repeats (M chosen anew) until the set of points standing out no
    longer changes; their residuals are then measured against the fit of the
    others. More than a quarter of the points standing out is not a few bad
    points: then nothing is left out.
    """
    n = len(f)
    order = np.argsort(f, kind="stable")
    use = np.ones(n, dtype=bool)
    for _ in range(MAX_ROUNDS):
        m, taus, a, x, r = _choose_and_fit(np, f, z, max_m, add_capacitance, add_inductance, use)
        noise = noise_level(np, r[order][use[order]])
        out_sorted, sys_sorted = stand_out(np, r[order], noise, tolerance)
        flagged = np.zeros(n, dtype=bool)
        flagged[order[out_sorted]] = True
        if not flagged.any() or np.array_equal(flagged, ~use) or flagged.sum() > n // 4:
            break
        if n - flagged.sum() < 2:
            break
        use = ~flagged
    outliers = np.sort(order[out_sorted])
    ranges = frequency_ranges(f[order], sys_sorted)
    inverse_capacitance, inductance = _series_terms(2.0 * math.pi * f, x, m, add_capacitance, add_inductance)
    return {
        "m": m,
        "taus": taus,
        "r_ohm": float(x[0]),
        "resistances": x[1:1 + m].astype(float),
        "inverse_capacitance": inverse_capacitance,
        "inductance": inductance,
        "z_fit": a @ x,
        "residuals": r,
        "noise": noise,
        "outliers": outliers,
        "systematic": ranges,
    }
