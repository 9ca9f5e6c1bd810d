"""The distribution of relaxation times (DRT) of a spectrum.

The regularised fit itself is compiled (velotz._core._drt); this module
finds the peaks of gamma and wraps everything in a result. numpy is imported
when drt() runs; pandas only by ``to_dataframe()``.
"""
import math
import operator
import sys

_core = sys.modules["velotz._core"]
# Results as data (dicts, JSON) and in notebooks (HTML).
from velotz import _data, _display  # noqa: E402

__all__ = ["DRTResult", "drt"]

# A local maximum of gamma counts as a peak when it reaches this fraction of
# the largest value of gamma.
PEAK_FRACTION = 0.01
# A peak of DRTResult.peaks must change the model impedance by at least this
# much in chi-square (the squared residual-noise units summed over the fitted
# points) when its bump is cut down to a flat line: see significant_peaks.
SIGNIFICANCE = 64.0
# ... and its bump over the higher of its bounding minima must hold at least
# this share of the polarisation resistance.
PROMINENT_SHARE = 0.05
_LAMBDA_WORDS = {"gcv": "generalised cross-validation", "mgcv": "modified generalised cross-validation",
                 "mgcv-corr": "modified generalised cross-validation, raised for correlated residuals",
                 "gcv-corr": "generalised cross-validation, raised for correlated residuals",
                 "given": "given"}

DRT_PARTS = ("both", "real", "imag")
DRT_WEIGHTINGS = ("modulus", "unit")
LAMBDA_METHODS = ("gcv", "mgcv", "mgcv-corr", "gcv-corr")
# The largest lambda the raise for correlated residuals reaches, by the
# order of the penalised derivative (the penalties differ in scale): within
# what GCV picks for independent noise of 1 % of |Z| on one or two arcs
# (about 0.016 ... 0.17 with the first derivative, 3e-4 ... 1e-2 with the
# second), so the raise never smooths much more than such noise would.
CORRELATED_LAMBDA_MAX = {1: 1e-2, 2: 1e-3}
# The GCV minimum is bracketed on a grid of this many decades of lambda,
# then refined by this many golden-section steps (to about 0.03 decade).
GCV_GRID_STEP = 2.0
GCV_STEPS = 10
# The guard against GCV's flat-curve failure (see drt()): the weight gamma
# of the robust GCV score (Lukas 2006) and how many decades above the GCV
# choice its own choice must lie to replace it. gamma = 1 turns it off.
GCV_ROBUST = 0.3
GCV_ROBUST_DECADES = 2.0


def _fmt(value):
    text = f"{value:.4g}"
    if "e" in text:
        mantissa, exponent = text.split("e")
        text = f"{mantissa}e{int(exponent)}"
    return text


def _maxima(np, tau, gamma, fraction, window):
    """The local maxima of gamma reaching ``fraction`` of the largest one
    inside the grid, and the set of those on the ends of the grid or beyond
    ``window`` (see find_peaks). (maxima, edges), or None when gamma has no
    positive maximum."""
    n = len(gamma)
    # Plateaus count once. A maximum on an end of the grid is where gamma
    # still rises into that end: the distribution of a capacitive or
    # diffusion tail (or of an arc) lying beyond the measured window, whose
    # position there only says where the grid stops. It bounds the areas of
    # its neighbours but is not reported as a peak, and ``fraction`` is
    # taken of the largest maximum inside the grid (such a rise can be far
    # higher than every arc).
    # Beyond the measured window (the margins the grid adds on each side)
    # no point constrains gamma; a smoothed tail bends over there into a
    # maximum whose position again only says where the grid stops.
    local = [i for i in range(n)
             if (i == 0 or gamma[i] > gamma[i - 1]) and (i == n - 1 or gamma[i] >= gamma[i + 1])]
    edges = {0, n - 1}
    if window is not None:
        edges.update(i for i in local if not window[0] <= tau[i] <= window[1])
    inside = [gamma[i] for i in local if i not in edges]
    top = float(max(inside)) if inside else float(np.max(gamma))
    if not top > 0:
        return None
    return [i for i in local if gamma[i] >= fraction * top], edges


def _bounds(np, gamma, maxima):
    """For each maximum, the indices of the minima of gamma between it and
    its neighbouring maxima (the grid ends beyond the outer ones)."""
    n = len(gamma)
    bounds = []
    for k, i in enumerate(maxima):
        lo = maxima[k - 1] if k else 0
        hi = maxima[k + 1] if k + 1 < len(maxima) else n - 1
        left = lo + int(np.argmin(gamma[lo:i + 1])) if i > lo else i
        right = i + int(np.argmin(gamma[i:hi + 1])) if hi > i else i
        bounds.append((left, right))
    return bounds


def _describe(np, tau, gamma, maxima, edges):
    """(tau, resistance, width) of each maximum not in ``edges``."""
    y = np.log(tau)
    peaks = []
    for i, (left, right) in zip(maxima, _bounds(np, gamma, maxima)):
        if i in edges:
            continue
        seg = slice(left, right + 1)
        g, yy = gamma[seg], y[seg]
        area = float(np.sum(0.5 * (g[1:] + g[:-1]) * np.diff(yy))) if len(g) > 1 else 0.0
        half = 0.5 * gamma[i]

        def crossing(j, step):
            # Walks from the maximum until gamma drops below half of it.
            while left <= j + step <= right and gamma[j + step] > half:
                j += step
            k = j + step
            if not left <= k <= right:
                return y[j]
            t = (gamma[j] - half) / (gamma[j] - gamma[k])
            return y[j] + t * (y[k] - y[j])

        width = (crossing(i, 1) - crossing(i, -1)) / math.log(10)
        peaks.append((float(tau[i]), area, float(width)))
    return peaks


def find_peaks(np, tau, gamma, fraction=PEAK_FRACTION, window=None):
    """Peaks of gamma(ln tau) on an ascending tau grid: local maxima inside
    the grid (not on its ends) reaching ``fraction`` of the largest of them, each with its resistance (the integral
    of gamma d ln tau between the minima on either side) and its full width at
    half maximum in decades (bounded by those minima). ``window`` (tau_lo,
    tau_hi), when given, is the span of the measured frequencies: maxima
    beyond it count like maxima on the ends. A list of
    (tau, resistance, width) in the order of tau."""
    if len(gamma) < 3:
        return []
    found = _maxima(np, tau, gamma, fraction, window)
    if found is None:
        return []
    return _describe(np, tau, gamma, *found)


def _bump(np, tau, gamma, left, right):
    """The part of gamma between the minima at ``left`` and ``right`` that
    rises above the higher of them (what would remain if gamma ran flat
    across the peak, as it does across a shoulder), with the trapezoid
    weights of the integral over ln tau: (slice, bump, weights)."""
    seg = slice(left, right + 1)
    bump = np.maximum(gamma[seg] - max(gamma[left], gamma[right]), 0.0)
    y = np.log(tau[seg])
    w = np.zeros(len(y))
    if len(y) > 1:
        w[1:] += 0.5 * np.diff(y)
        w[:-1] += 0.5 * np.diff(y)
    return seg, bump, w


def peak_significance(np, tau, gamma, frequencies, scale, sigma, left, right, parts=(True, True)):
    """How strongly the data need the peak of gamma between the minima at
    ``left`` and ``right``: its bump above the higher of the two minima is
    removed and the change of the model impedance at ``frequencies`` is
    measured in units of the noise: the sum over the fitted parts of
    (dZ / scale / sigma)^2, ``scale`` being what each point's residual is
    divided by and ``sigma`` the standard deviation of those residuals. An
    upper bound of the rise of chi-square that removing the bump would cost
    (the rest of gamma could make up part of it); inf when sigma is 0."""
    seg, bump, w = _bump(np, tau, gamma, left, right)
    if not sigma > 0:
        return math.inf
    # 1 / (1 + j x) = (1 - j x) / (1 + x^2), x = omega tau, summed by
    # elementwise products (a matrix product goes through BLAS, whose
    # threads cost far more than these few thousand terms).
    x = np.outer(2 * np.pi * np.asarray(frequencies, dtype=float), tau[seg])
    d = bump * w / (1.0 + x * x)
    norm = scale * sigma
    return float(parts[0] * np.sum((np.sum(d, axis=1) / norm) ** 2)
                 + parts[1] * np.sum((np.sum(x * d, axis=1) / norm) ** 2))


def noise_level(np, residuals, parts=(True, True)):
    """The standard deviation of the fitted parts of the (scaled) residuals:
    the noise of the spectrum plus whatever the model leaves over."""
    values = [part for part, used in zip((residuals.real, residuals.imag), parts) if used]
    values = np.concatenate(values) if values else np.zeros(0)
    return float(np.sqrt(np.mean(values ** 2))) if len(values) else 0.0


def significant_peaks(np, tau, gamma, frequencies, scale, sigma, fraction=PEAK_FRACTION, window=None,
                      share=None, threshold=None, parts=(True, True)):
    """The peaks of find_peaks that stand out as processes of their own.
    A local maximum counts when its bump over the higher of its two
    bounding minima (its prominence, integrated over ln tau) holds at least
    ``share`` of the polarisation resistance (the default PROMINENT_SHARE)
    and removing that bump would change the model impedance by at least
    ``threshold`` in chi-square (see peak_significance; the default
    SIGNIFICANCE). Otherwise it is a ripple of the regularised fit on a tail
    or a shoulder of a larger peak: the weakest such maximum is merged into
    the neighbour across its higher minimum (whose area takes its area),
    and the rest are tested again, until every peak left stands out."""
    share = PROMINENT_SHARE if share is None else share
    threshold = SIGNIFICANCE if threshold is None else threshold
    if len(gamma) < 3:
        return []
    found = _maxima(np, tau, gamma, fraction, window)
    if found is None:
        return []
    maxima, edges = found
    # The resistance of the processes inside the measured window: a tail
    # rising into the margins of the grid beyond it is left out.
    inside = slice(None) if window is None else (tau >= window[0]) & (tau <= window[1])
    g, y = gamma[inside], np.log(tau[inside])
    total = float(np.sum(0.5 * (g[1:] + g[:-1]) * np.diff(y))) if len(g) > 1 else 0.0
    known = {}  # strength by bounds: a merge changes only the neighbours' bounds

    def strength_of(left, right):
        if (left, right) not in known:
            _, bump, w = _bump(np, tau, gamma, left, right)
            value = float(np.sum(bump * w)) / (share * total) if share > 0 and total > 0 else math.inf
            if value >= 1.0 and threshold > 0:
                chi2 = peak_significance(np, tau, gamma, frequencies, scale, sigma, left, right, parts)
                value = min(value, chi2 / threshold)
            known[left, right] = value
        return known[left, right]

    while True:
        weakest, least = None, 1.0
        for i, (left, right) in zip(maxima, _bounds(np, gamma, maxima)):
            if i in edges:
                continue
            strength = strength_of(left, right)
            if strength < least:
                weakest, least = i, strength
        if weakest is None:
            return _describe(np, tau, gamma, maxima, edges)
        maxima.remove(weakest)


class DRTResult(_data.Data):
    """The distribution of relaxation times of one spectrum.

    ``tau`` (ascending, s) and ``gamma`` (ohm): the distribution gamma(ln tau),
    whose integral over ln tau is the polarisation resistance. ``r_inf`` (ohm)
    and ``inductance`` (H, None when not fitted) are the series terms,
    ``z_fit`` the impedance of the whole model at ``frequencies`` and
    ``residuals`` (Z - Z_fit) divided by |Z| ("modulus" weighting) or by
    max |Z| ("unit"). ``lam`` is the regularisation parameter, ``method``
    says how it was found ("gcv-corr", "mgcv-corr", "mgcv", "gcv" or "given"). ``peaks`` lists (tau,
    resistance, width in decades) of each peak of gamma that stands out as a
    process (see significant_peaks): ripples on tails and shoulders are
    merged into their neighbours, whose resistance takes theirs.
    """

    __slots__ = (
        "frequencies", "impedances", "tau", "gamma", "r_inf", "inductance",
        "z_fit", "residuals", "lam", "method", "peaks", "centres",
        "coefficients", "epsilon", "derivative", "part", "weighting",
        "gcv_lambdas", "gcv_scores",
    )

    _to_dict = _data.drt_to_dict
    _from_dict = classmethod(_data.drt_from_dict)

    def _repr_html_(self):
        """The series terms, lambda, the peaks and a picture of gamma against
        tau, as HTML with an inline SVG picture (notebooks)."""
        return _display.drt_html(self)

    def _repr_pretty_(self, p, cycle):
        """The representation and the summary in words (IPython)."""
        _display.pretty_with_summary(self, p, cycle)

    @property
    def frequency(self):
        """The relaxation frequencies 1/(2 pi tau) of the grid, Hz."""
        return 1.0 / (2 * math.pi * self.tau)

    @property
    def polarization_resistance(self):
        """The integral of gamma over ln tau, ohm."""
        import numpy as np

        y = np.log(self.tau)
        return float(np.sum(0.5 * (self.gamma[1:] + self.gamma[:-1]) * np.diff(y)))

    def summary(self):
        """The result in a few lines: series terms (ohm, H), lambda and every
        peak (tau in s, frequency in Hz, resistance in ohm). Returns a str."""
        lines = [f"DRT with {len(self.peaks)} peak{'s' if len(self.peaks) != 1 else ''}; "
                 f"R_inf = {_fmt(self.r_inf)} ohm"
                 + (f", L = {_fmt(self.inductance)} H" if self.inductance is not None else "")
                 + f", R_pol = {_fmt(self.polarization_resistance)} ohm",
                 f"lambda = {_fmt(self.lam)} ({_LAMBDA_WORDS.get(self.method, self.method)})"]
        for tau, area, width in self.peaks:
            lines.append(f"peak at tau = {_fmt(tau)} s (f = {_fmt(1 / (2 * math.pi * tau))} Hz): "
                         f"R = {_fmt(area)} ohm, width {width:.2f} decades")
        return "\n".join(lines)

    def __repr__(self):
        taus = ", ".join(_fmt(p[0]) for p in self.peaks)
        return (f"DRTResult(peaks={len(self.peaks)}, tau=[{taus}], r_inf={self.r_inf:.4g}, "
                f"lam={self.lam:.3g}, method={self.method!r})")

    def to_dataframe(self):
        """gamma as a pandas DataFrame with the columns tau (s), frequency
        (Hz) and gamma (ohm), pandas imported here. Returns the DataFrame."""
        import pandas as pd

        return pd.DataFrame({"tau": self.tau, "frequency": self.frequency, "gamma": self.gamma})

    def __getstate__(self):
        return {name: getattr(self, name) for name in self.__slots__}

    def __setstate__(self, state):
        for name in self.__slots__:
            setattr(self, name, state[name])


def drt(frequencies, impedances=None, *, lam="gcv-corr", derivative=2, part="both", weighting="modulus",
        inductance=True, shape=0.5, max_centres=400):
    """Distribution of relaxation times of a spectrum.

    The model is Z = R_inf + j omega L + integral of gamma(ln tau) /
    (1 + j omega tau) d ln tau, with gamma a sum of Gaussians on a uniform
    ln tau grid: one centre per measured frequency (mean spacing), from half
    a decade below 1/(2 pi f_max) to half a decade above 1/(2 pi f_min), at
    most ``max_centres``; each Gaussian's full width at half maximum is the
    grid spacing divided by ``shape`` (0.5: twice the spacing). gamma >= 0 and
    R_inf >= 0; L (``inductance``, fitted unless ``part="real"``) has any sign.

    The fit minimises |W (Z - Z_fit)|^2 + lam * integral of
    (d^k gamma / d ln tau^k)^2 d ln tau / max|Z|^2, k = ``derivative`` (2,
    the default, or 1), over the real and imaginary parts (``part="both"``) or one of them;
    W divides each point by |Z| (``weighting="modulus"``, as the fit does) or
    by max |Z| ("unit"). ``lam`` is a number, or the way to choose it: the
    minimum over 1e-10 ... 10 of the generalised cross-validation score of the
    problem without the sign constraints, n |r|^2 / (n - rho trace H)^2 with
    n residuals and the influence matrix H; "gcv" is the plain score
    (rho = 1), "mgcv" the modified score of Kim & Gu (2004),
    rho = 1.3 below 50 frequencies and 2 from 50 on, as pyimpspec uses.
    The GCV of the problem without the sign constraints counts degrees of
    freedom that the non-negative fit does not use, so it already leans to
    a larger lam than the non-negative solution needs; with the
    second-derivative penalty plain GCV gives the smallest error of gamma on
    spectra with a known DRT, and the raise below removes the spurious
    peaks that measured spectra would otherwise show.
    GCV's curve is often flat over decades of lambda, and its minimum can
    then fall far below the lambda that smooths the noise away (gamma
    splits one arc into two). Every choice is therefore checked against
    robust GCV (Lukas 2006: the score times 0.3 + 0.7 trace(H^2) / n, which
    grows as lambda shrinks): when that score's minimum lies more than 2
    decades above, it is taken instead; otherwise the GCV choice stands.
    "gcv-corr" (the default) starts from "gcv" from 50 frequencies on and
    from "mgcv" below (a few points leave GCV prone to undersmoothing);
    "gcv-corr" and "mgcv-corr" check the residuals
    of the fit: GCV assumes independent errors, and when the residuals are
    positively correlated between neighbouring frequencies (lag-1
    autocorrelation r above 2 / sqrt(n), as the systematic errors of
    measured spectra are) it picks a tiny lam and gamma breaks into a row of
    narrow peaks; lam is then raised, up to 1e-3 (``derivative=2``) or 1e-2
    (``derivative=1``), while the residual sum of
    squares stays within (1 + r) / (1 - r) times its value at the GCV
    choice, r taken at the raised lam. Independent noise leaves the GCV
    choice as it is.
    When only the imaginary part is fitted,
    R_inf is the weighted mean of what the real part leaves over.

    A local maximum of gamma is reported as a peak when its prominence (the
    part above the higher of the minima on either side, integrated over
    ln tau) holds at least 5 % of the polarisation resistance inside the
    measured window and removing it would change the model impedance by at
    least 64 in chi-square, in units of the residual noise: the
    non-negative fit represents the long tails of a CPE's distribution with
    small ripples, which are not processes of their own. Those and
    shoulders are merged into the neighbouring peak.

    The spectrum is given as for ``Circuit.fit``: two sequences, or one
    Battery Data Format dataframe with ``impedances`` left as None. It needs
    at least 3 points at 2 or more frequencies, all finite (drop NaN rows
    first). Ctrl-C stops the computation.

    Frequencies are in Hz and impedances in ohm. Returns a ``DRTResult``:
    ``tau`` (s) and ``gamma`` (ohm), the series terms ``r_inf`` (ohm) and
    ``inductance`` (H), ``peaks`` as (tau in s, resistance in ohm, width in
    decades), ``z_fit`` (ohm) and the relative ``residuals``.
    """
    import numpy as np

    if lam is None:
        lam = "gcv-corr"
    if isinstance(lam, str):
        if lam not in LAMBDA_METHODS:
            raise ValueError(f'lam must be a number, "gcv", "mgcv", "mgcv-corr" or "gcv-corr", not {lam!r}')
        method, rho, value = lam, 1.0, None
    else:
        method, rho, value = "given", 1.0, float(lam)
    if isinstance(derivative, bool):
        raise TypeError("derivative must be an int")
    derivative = operator.index(derivative)
    if derivative not in (1, 2):
        raise ValueError(f"derivative must be 1 or 2, not {derivative}")
    part, weighting = str(part), str(weighting)
    if part not in DRT_PARTS:
        raise ValueError(f'part must be "both", "real" or "imag", not {part!r}')
    if weighting not in DRT_WEIGHTINGS:
        raise ValueError(f'weighting must be "modulus" or "unit", not {weighting!r}')
    if isinstance(max_centres, bool):
        raise TypeError("max_centres must be an int")
    if method in ("mgcv", "mgcv-corr", "gcv-corr"):
        # Kim & Gu's factor depends on the number of frequencies; "gcv-corr"
        # keeps their small-sample factor (plain GCV can undersmooth badly on
        # a few points) and is plain GCV from 50 frequencies on.
        count = len(_core._spectrum(frequencies, impedances)[0])
        rho = (2.0 if method != "gcv-corr" else 1.0) if count >= 50 else 1.3
    raw = _core._drt(frequencies, impedances, value, derivative, part, weighting, bool(inductance),
                     float(shape), operator.index(max_centres), rho, method.endswith("-corr"),
                     CORRELATED_LAMBDA_MAX[derivative], GCV_GRID_STEP, GCV_STEPS,
                     GCV_ROBUST if method != "given" else 1.0, GCV_ROBUST_DECADES)
    out = DRTResult()
    out.frequencies = np.asarray(raw["frequencies"], dtype=float)
    out.impedances = np.asarray(raw["impedances"], dtype=complex)
    out.tau = np.asarray(raw["tau"], dtype=float)
    out.gamma = np.asarray(raw["gamma"], dtype=float)
    out.centres = np.asarray(raw["centres"], dtype=float)
    out.coefficients = np.asarray(raw["coefficients"], dtype=float)
    out.epsilon = raw["epsilon"]
    out.r_inf = raw["r_inf"]
    out.inductance = raw["inductance"] if inductance and part != "real" else None
    out.z_fit = np.asarray(raw["z_fit"], dtype=complex)
    scale = np.abs(out.impedances) if weighting == "modulus" else np.max(np.abs(out.impedances))
    out.residuals = (out.impedances - out.z_fit) / scale
    out.lam = raw["lam"]
    out.method = method
    out.gcv_lambdas = np.asarray(raw["gcv_lambdas"], dtype=float)
    out.gcv_scores = np.asarray(raw["gcv_scores"], dtype=float)
    out.derivative = derivative
    out.part = part
    out.weighting = weighting
    f_hi, f_lo = float(np.max(out.frequencies)), float(np.min(out.frequencies))
    parts = (part != "imag", part != "real")
    out.peaks = significant_peaks(np, out.tau, out.gamma, out.frequencies, scale, noise_level(np, out.residuals, parts),
                                  window=(1 / (2 * math.pi * f_hi), 1 / (2 * math.pi * f_lo)), parts=parts)
    return out
