"""Analysis around a fit: the linear Kramers-Kronig validity test, a diagnosis
of any fit result, and the comparison of candidate circuits on one spectrum.

The numerical work (the Kramers-Kronig least squares, branch shares and time
constants of a circuit) is compiled; this module turns it into readable
results. numpy is imported only when a function that returns arrays runs;
pandas only by ``to_dataframe()``.
"""
import math
import operator
import sys
import time

from velotz._core import Circuit, FitResult
# Plain Python over numpy arrays handed in; imports nothing heavy itself.
from velotz._kk_auto import frequency_ranges
# Results as data (dicts, JSON) and in notebooks (HTML); both plain Python.
from velotz import _data, _display

_core = sys.modules["velotz._core"]

__all__ = [
    "KramersKronigResult", "kramers_kronig",
    "Finding", "Diagnosis", "diagnose",
    "ComparisonEntry", "Comparison", "compare",
]

# A part of the circuit whose share stays below this over the measured
# frequencies is reported as negligible.
NEGLIGIBLE_SHARE = 1e-3
# A relative standard error above this means the data do not determine the
# parameter.
UNDETERMINED_RELATIVE_STDERR = 1.0
# Relative distance to a bound within which a parameter counts as sitting on it.
BOUND_TOLERANCE = 1e-6
# A time constant is reported when it lies more than this factor (half a
# decade) beyond the measured window 1/(2 pi f_max) ... 1/(2 pi f_min): an arc
# whose peak is just past the last point is still fixed by its flank.
WINDOW_MARGIN = 10 ** 0.5


def _fmt(value):
    """A number for a sentence: 4 significant digits, exponent without padding
    (3.5e4, 1e-12)."""
    return _display.num(value)


def _percent(fraction):
    value = fraction * 100
    if isinstance(value, float) and not math.isfinite(value):
        return f"{value} %"
    text = f"{value:.3g}" if fraction >= 0.01 else f"{value:.2g}"
    if "e" in text:
        mantissa, exponent = text.split("e")
        text = f"{mantissa}e{int(exponent)}"
    return text + " %"


# ---------------------------------------------------------------- Kramers-Kronig
class KramersKronigResult(_data.Data):
    """Outcome of the linear Kramers-Kronig test of one spectrum.

    ``noise`` is the noise level of the residuals (a standard deviation, as a
    fraction of |Z|), ``outliers`` the indices of the points whose residuals
    stand out from it, ``systematic`` the frequency ranges (low, high) in Hz
    where the residuals deviate systematically; ``summary()`` says it in
    words.
    """

    __slots__ = (
        "frequencies", "impedances", "m", "mu", "r_ohm", "time_constants",
        "resistances", "inductance", "capacitance", "z_fit",
        "residuals_real", "residuals_imag", "max_residual", "tolerance",
        "passed", "c", "fit_type", "method", "noise", "outliers", "systematic",
    )

    _to_dict = _data.kk_to_dict
    _from_dict = classmethod(_data.kk_from_dict)

    def _repr_html_(self):
        """The verdict, its numbers and the residuals against frequency with
        the tolerance band, as HTML with an inline SVG picture (notebooks)."""
        return _display.kk_html(self)

    def _repr_pretty_(self, p, cycle):
        """The representation and the verdict in words (IPython)."""
        _display.pretty_with_summary(self, p, cycle)

    @property
    def outlier_frequencies(self):
        """Frequencies (Hz) of the points in ``outliers``."""
        return self.frequencies[self.outliers]

    def summary(self):
        """The verdict in a few sentences. Returns a str (lines joined by line
        feeds)."""
        basis = f"{self.m} RC element{'s' if self.m != 1 else ''}"
        if self.method == "auto":
            lines = []
            if self.passed:
                lines.append(
                    f"The spectrum is consistent with the Kramers-Kronig relations: with {basis} the "
                    f"residuals look like noise of {_percent(self.noise)} of |Z| "
                    f"(largest {_percent(self.max_residual)}).")
            else:
                lines.append(f"The spectrum is not consistent with the Kramers-Kronig relations "
                             f"(noise level {_percent(self.noise)} of |Z|, {basis}).")
            if len(self.outliers):
                n = len(self.outliers)
                lines.append(f"{n} point{'s stand' if n != 1 else ' stands'} out from the noise: "
                             f"{_frequency_list(self.frequencies, self.outliers)}.")
            for lo, hi in self.systematic:
                where = f"at {_fmt(lo)} Hz" if lo == hi else f"between {_fmt(lo)} and {_fmt(hi)} Hz"
                lines.append(f"The residuals deviate systematically {where} (drift, non-linearity or a "
                             f"process outside the measured range).")
            return "\n".join(lines)
        verdict = "within" if self.passed else "beyond"
        return (f"With {basis} (mu = {self.mu:.4f}) the largest residual is {_percent(self.max_residual)} "
                f"of |Z|, {verdict} the tolerance of {_percent(self.tolerance)}.")

    def __repr__(self):
        if self.method == "auto":
            return (
                f"KramersKronigResult(passed={self.passed}, method='auto', m={self.m}, "
                f"noise={self.noise:.3g}, outliers={len(self.outliers)}, systematic={len(self.systematic)}, "
                f"max_residual={self.max_residual:.3g}, tolerance={self.tolerance:.3g})"
            )
        return (
            f"KramersKronigResult(passed={self.passed}, m={self.m}, mu={self.mu:.4f}, "
            f"max_residual={self.max_residual:.3g}, tolerance={self.tolerance:.3g})"
        )


def _frequency_list(frequencies, indices, listed=6):
    """Frequencies of the given points for a sentence: each one when there
    are few, otherwise runs of neighbouring points (in frequency order) as
    ranges."""
    chosen = sorted(float(frequencies[i]) for i in indices)
    if len(chosen) <= listed:
        return ", ".join(f"{_fmt(f)} Hz" for f in chosen)
    rank = {f: i for i, f in enumerate(sorted(float(f) for f in frequencies))}
    runs = []
    for f in chosen:
        if runs and rank[f] == rank[runs[-1][-1]] + 1:
            runs[-1].append(f)
        else:
            runs.append([f])
    parts = [f"{_fmt(r[0])} Hz" if len(r) == 1 else f"{_fmt(r[0])}-{_fmt(r[-1])} Hz ({len(r)} points)"
             for r in runs]
    return ", ".join(parts)


_UNSET = object()
KK_METHODS = ("auto", "mu", "fixed")


def kramers_kronig(frequencies, impedances=None, *, method=None, c=_UNSET, max_m=50,
                   add_capacitance=None, add_inductance=True,
                   fit_type=None, tolerance=0.01):
    """Linear Kramers-Kronig test of a spectrum: can a series resistance, RC
    elements, and a series inductance and capacitance reproduce it?

    The spectrum is given as for ``Circuit.fit``: two sequences, or one
    Battery Data Format dataframe with ``impedances`` left as None.

    ``method="auto"`` (the default): both parts of the spectrum divided by |Z|
    are fitted with M = 1 ... ``max_m`` RC elements whose time constants
    spread log-uniformly from half a decade below 1/omega_max to half a decade
    above 1/omega_min, plus a series inductance and (``add_capacitance``,
    default True) a series capacitance; M is the one that best predicts each
    point from the others (leave-one-out cross-validation). The noise level is
    estimated from the residuals (Z - Z_fit)/|Z|; ``outliers`` are the points
    whose residual exceeds 5 times the noise level, ``systematic`` the
    frequency ranges whose mean residual over 5-17 neighbouring points stands
    out in the same way. Deviations below ``tolerance`` (default 0.01) never
    count. The spectrum passes when there is neither.

    ``method="mu"`` (chosen too when ``c`` is given) is the test of
    Schoenleber et al. (2014) as impedance.py's ``linKK``: time constants from
    1/omega_max to 1/omega_min, M grows from 1 until
    mu = 1 - sum|R_k < 0| / sum|R_k >= 0| is at most ``c`` (default 0.85) or
    reaches ``max_m``; ``method="fixed"`` (or ``c=None``) uses ``max_m``
    elements. ``fit_type`` chooses the parts fitted: "real" (their default),
    "imag" or "complex"; the spectrum passes when every residual is at most
    ``tolerance``.

    Frequencies are in Hz and impedances in ohm; ``tolerance`` and every
    residual are fractions of |Z|. Returns a ``KramersKronigResult``
    (``passed``, ``noise``, ``outliers``, ``systematic``, the fitted
    elements: ``r_ohm`` in ohm, ``time_constants`` in s, ``resistances`` in
    ohm, ``inductance`` in H, ``capacitance`` in F).
    """
    import numpy as np

    if method is None:
        if c is _UNSET:
            method = "auto"
        else:
            method = "fixed" if c is None else "mu"
    method = str(method)
    if method not in KK_METHODS:
        raise ValueError(f'method must be "auto", "mu" or "fixed", not {method!r}')
    if c is _UNSET or c is None:
        c = 0.85 if method == "mu" else None
    else:
        c = float(c)
        if method != "mu":
            raise ValueError(f'c is the cutoff of method="mu"; method="{method}" does not use it')
    if isinstance(max_m, bool):
        raise TypeError("max_m must be an int")
    max_m = operator.index(max_m)
    if fit_type is None:
        fit_type = "complex" if method == "auto" else "real"
    fit_type = str(fit_type)
    if add_capacitance is None:
        add_capacitance = method == "auto"
    tolerance = float(tolerance)
    if not tolerance > 0:
        raise ValueError("tolerance must be positive")
    add_capacitance = bool(add_capacitance)
    add_inductance = bool(add_inductance)
    if method == "auto":
        if fit_type != "complex":
            # The compiled test checks the spectrum and the options first,
            # with the messages every entry point uses.
            _core._kramers_kronig(frequencies, impedances, None, 1 if max_m >= 1 else max_m,
                                  add_capacitance, add_inductance, fit_type)
            raise ValueError(f'method="auto" fits both parts (fit_type="complex"); fit_type="{fit_type}" '
                             f'needs method="mu" or "fixed"')
        raw = _core._kk_auto(frequencies, impedances, min(max_m, sys.maxsize), add_capacitance,
                             add_inductance, tolerance)
    else:
        raw = _core._kramers_kronig(frequencies, impedances, c if method == "mu" else None, max_m,
                                    add_capacitance, add_inductance, fit_type, tolerance)
    out = KramersKronigResult()
    out.frequencies = np.asarray(raw["frequencies"], dtype=float)
    out.impedances = np.asarray(raw["impedances"], dtype=complex)
    out.method = method
    out.c = c
    out.fit_type = fit_type
    out.tolerance = tolerance
    out.m = raw["m"]
    out.mu = raw["mu"]
    out.r_ohm = raw["r_ohm"]
    out.time_constants = np.asarray(raw["taus"], dtype=float)
    out.resistances = np.asarray(raw["resistances"], dtype=float)
    inv, ind = raw["inverse_capacitance"], raw["inductance"]
    out.z_fit = np.asarray(raw["z_fit"], dtype=complex)
    if method == "auto":
        residuals = np.asarray(raw["residuals"], dtype=complex)
        out.residuals_real = residuals.real.copy()
        out.residuals_imag = residuals.imag.copy()
    else:
        out.residuals_real = np.asarray(raw["residuals_real"], dtype=float)
        out.residuals_imag = np.asarray(raw["residuals_imag"], dtype=float)
    out.noise = raw["noise"]
    out.outliers = np.asarray(raw["outliers"], dtype=np.intp)
    out.systematic = raw["systematic"]
    out.inductance = ind if add_inductance else None
    if add_capacitance:
        out.capacitance = 1.0 / inv if inv != 0 else math.inf
    else:
        out.capacitance = None
    out.max_residual = float(max(np.max(np.abs(out.residuals_real)),
                                 np.max(np.abs(out.residuals_imag))))
    if method == "auto":
        out.passed = not len(out.outliers) and not out.systematic
    else:
        out.passed = bool(out.max_residual <= tolerance)
    return out


# ---------------------------------------------------------------- diagnosis
SEVERITIES = ("problem", "note")


class Finding:
    """One finding about a fit or its data: what kind, which parameters, a
    sentence, and its severity.

    A "problem" makes the result, or the parameters it names, meaningless as
    they stand (a parameter stopped by a bound, a fit that misses the data
    or stopped in a local minimum, data the fit cannot use); a "note" is
    worth knowing but leaves the result sound (an exponent at 1, a part the
    data cannot see, a time constant beyond the measured window, a parameter
    known only roughly).
    """

    __slots__ = ("kind", "params", "message", "severity")

    def __init__(self, kind, params, message, severity="problem"):
        if severity not in SEVERITIES:
            raise ValueError(f'severity must be "problem" or "note", not {severity!r}')
        self.kind = kind
        self.params = tuple(params)
        self.message = message
        self.severity = severity

    def __repr__(self):
        extra = "" if self.severity == "problem" else f", severity={self.severity!r}"
        return f"Finding({self.kind!r}, {list(self.params)!r}, {self.message!r}{extra})"

    def __str__(self):
        return self.message if self.severity == "problem" else "note: " + self.message


class Diagnosis(_data.Data):
    """What a fit result does not tell by itself.

    Kinds of findings: "at_bound", "undetermined", "negligible",
    "time_constant", "lack_of_fit", "data". ``ok`` is true when no finding is
    a problem (notes do not count); ``problems`` and ``notes`` split them.
    """

    __slots__ = ("findings",)
    _to_dict = _data.diagnosis_to_dict
    _from_dict = classmethod(_data.diagnosis_from_dict)

    def __init__(self, findings):
        self.findings = list(findings)

    def _repr_html_(self):
        """The findings as an HTML list, problems first (notebooks)."""
        return _display.diagnosis_html(self)

    @property
    def ok(self):
        """True when no finding is a problem (notes do not count)."""
        return not self.problems

    @property
    def problems(self):
        """The findings of severity "problem", in order (a list of Finding)."""
        return [f for f in self.findings if f.severity == "problem"]

    @property
    def notes(self):
        """The findings of severity "note", in order (a list of Finding)."""
        return [f for f in self.findings if f.severity == "note"]

    def kinds(self, severity=None):
        """The kinds of the findings, each once, in order of first appearance.
        ``severity``: "problem", "note" or None (all). Returns a list of str."""
        out = []
        for f in self.findings:
            if (severity is None or f.severity == severity) and f.kind not in out:
                out.append(f.kind)
        return out

    def __len__(self):
        return len(self.findings)

    def __iter__(self):
        return iter(self.findings)

    def __getitem__(self, index):
        return self.findings[index]

    def flagged(self):
        """Names of the parameters any finding mentions, in first-mention order.
        Returns a list of str."""
        seen = []
        for f in self.findings:
            for p in f.params:
                if p not in seen:
                    seen.append(p)
        return seen

    def __str__(self):
        if not self.findings:
            return "no problems found"
        lines = [str(f) for f in self.problems] or ["no problems found"]
        return "\n".join(lines + [str(f) for f in self.notes])

    def __repr__(self):
        if not self.findings:
            return "Diagnosis(no problems found)"
        n_p, n_n = len(self.problems), len(self.notes)
        head = f"{n_p} problem{'s' if n_p != 1 else ''}"
        if n_n:
            head += f", {n_n} note{'s' if n_n != 1 else ''}"
        lines = "\n".join("  - " + str(f) for f in self.problems + self.notes)
        return f"Diagnosis({head}):\n{lines}"


def _frequencies_of(frequencies, impedances):
    """The frequencies of a spectrum given as for fit(), or a bare frequency
    list, and its impedances when it has them (else None)."""
    try:
        f, z = _core._spectrum(frequencies, impedances)
        return list(f), list(z)
    except (TypeError, ValueError):
        if impedances is not None:
            raise
    try:
        # Converted as every numeric argument is: a sequence too long for
        # memory (range(2**62)) is a MemoryError, not an endless loop.
        return _core._floats(frequencies), None
    except TypeError:
        return [float(f) for f in frequencies], None  # iterators and generators


def _element_names(names):
    labels = []
    for n in names:
        label = n.rsplit(".", 1)[0]
        if label not in labels:
            labels.append(label)
    return ", ".join(labels)


# Exponents whose upper bound 1 is a physical limit, not a fitting artefact:
# a CPE (or fractional inductor, Zarc, transmission line) at 1 is its ideal
# element.
EXPONENT_FIELDS = ("alpha", "gamma")
# A relative standard error above this is a note (the data fix the value
# only roughly); above UNRESOLVED_RELATIVE_STDERR the data do not fix it at
# all and it is a problem.
UNRESOLVED_RELATIVE_STDERR = 100.0
# Lack of fit: the mean residual over a window of neighbouring points must
# exceed this share of |Z| (and stand out from the noise) to count; smaller
# systematic deviations are the usual imperfection of an equivalent circuit.
LACK_OF_FIT_FLOOR = 0.04
LACK_OF_FIT_FACTOR = 4.5
LACK_OF_FIT_WINDOWS = (5, 9, 17)
# A fit is reported as a local minimum when the same circuit fitted from the
# other starts reaches a cost at least this much lower (fits that end at the
# circuit's best cost agree to far better than 20 %).
LOCAL_MINIMUM_RATIO = 0.8


def check_data(frequencies, impedances=None, n_params=None):
    """Findings about a spectrum itself, before any fit: what a user may have
    got wrong. Returns a ``Diagnosis`` of kind "data" findings.

    Problems: imaginary parts mostly positive (the other sign convention,
    -Z'' given as Z''), every imaginary part zero (a real-only array),
    real parts below zero, fewer real residuals (2 per
    frequency) than ``n_params`` free parameters, frequencies that are not
    positive and finite, impedances that are not finite. Notes: repeated
    frequencies, frequencies in no monotonic order.
    """
    import numpy as np

    f, z = _frequencies_of(frequencies, impedances)
    f = np.asarray(f, dtype=float)
    findings = []
    bad_f = ~(np.isfinite(f) & (f > 0))
    if bad_f.any():
        findings.append(Finding("data", [], (
            f"{int(bad_f.sum())} frequenc{'ies are' if bad_f.sum() != 1 else 'y is'} not positive and finite: "
            f"those points cannot be fitted.")))
    good = f[~bad_f]
    if good.size != np.unique(good).size:
        repeats = good.size - np.unique(good).size
        findings.append(Finding("data", [], (
            f"{repeats} frequenc{'ies appear' if repeats != 1 else 'y appears'} more than once (a repeated "
            f"sweep or a merged file?): each repeat counts as its own point."), "note"))
    if good.size > 2:
        step = np.diff(good)
        if (step > 0).any() and (step < 0).any():
            findings.append(Finding("data", [], (
                "The frequencies go up and down: several sweeps in one spectrum? Fit them apart if "
                "so."), "note"))
    if z is not None:
        z = np.asarray(z, dtype=complex)
        bad_z = ~np.isfinite(z)
        if bad_z.any():
            findings.append(Finding("data", [], (
                f"{int(bad_z.sum())} impedance{'s are' if bad_z.sum() != 1 else ' is'} not finite.")))
        zz = z[~bad_z & ~bad_f[: z.size]] if z.size == f.size else z[~bad_z]
        if zz.size > 1 and not np.any(zz.imag):
            findings.append(Finding("data", [], (
                "Every imaginary part is zero: only the real part of the impedance was given (a "
                "magnitude or a resistance column?), so no circuit's reactance can be fitted.")))
        elif zz.size:
            positive = int(np.sum(zz.imag > 0))
            if positive > zz.size / 2:
                findings.append(Finding("data", [], (
                    f"{positive} of {zz.size} imaginary parts are positive: capacitive behaviour has a "
                    f"negative imaginary part, so the spectrum is probably given as -Z'' (flip its sign).")))
            negative_real = int(np.sum(zz.real < 0))
            if negative_real:
                findings.append(Finding("data", [], (
                    f"{negative_real} point{'s have' if negative_real != 1 else ' has'} a negative real "
                    f"part, which no passive system shows: a measurement artefact (cable, reference "
                    f"electrode) that a circuit cannot fit.")))
    if n_params is not None:
        k = operator.index(n_params)
        n = 2 * int(good.size)
        if n < k:
            findings.append(Finding("data", [], (
                f"{good.size} frequenc{'ies give' if good.size != 1 else 'y gives'} {n} real residuals for "
                f"{k} free parameters: the fit cannot determine them.")))
    return Diagnosis(findings)


def _full_window_runs(np, r, noise):
    """Mask of the points inside full windows (of each width in
    LACK_OF_FIT_WINDOWS) whose mean residual, real or imaginary, exceeds
    both LACK_OF_FIT_FACTOR times the noise such a mean has and
    LACK_OF_FIT_FLOOR. Only full windows count: a claim of lack of fit
    rests on at least five neighbouring points, also at the ends of the
    sweep, where one or two stray points would otherwise decide."""
    n = len(r)
    mask = np.zeros(n, dtype=bool)
    for width in LACK_OF_FIT_WINDOWS:
        if n < width:
            continue
        limit = max(LACK_OF_FIT_FACTOR * noise / math.sqrt(width), LACK_OF_FIT_FLOOR)
        kernel = np.ones(width)
        for part in (r.real, r.imag):
            mean = np.convolve(part, kernel, mode="valid") / width
            above = (np.abs(mean) > limit).astype(float)
            # Window starting at i covers points i .. i + width - 1.
            mask |= np.convolve(above, kernel, mode="full")[:n] > 0
    return mask


def _lack_of_fit(np, freqs, z, circuit, noise):
    """Frequency ranges (low, high, largest residual there) where the fit's
    residuals (Z_model - Z)/|Z| run systematically away from zero."""
    f = np.asarray(freqs, dtype=float)
    z = np.asarray(z, dtype=complex)
    order = np.argsort(f, kind="stable")
    f, z = f[order], z[order]
    model = np.asarray(circuit.impedance(f), dtype=complex)
    r = (model - z) / np.abs(z)
    if not np.all(np.isfinite(r)):
        return [(float(f[0]), float(f[-1]), math.inf)]
    mask = _full_window_runs(np, r, noise)
    ranges = frequency_ranges(f, mask)
    out = []
    for lo, hi in ranges:
        inside = (f >= lo) & (f <= hi)
        dev = float(np.max(np.maximum(np.abs(r.real[inside]), np.abs(r.imag[inside]))))
        out.append((lo, hi, dev))
    return out


def _series_share(shares, indices):
    """The share of |Z| of the smallest series part holding every parameter
    index in `indices` (1.0 when there is none)."""
    best = None
    for in_parallel, first, count, share in shares:
        if in_parallel or not all(first <= i < first + count for i in indices):
            continue
        if best is None or count < best[0]:
            best = (count, share)
    return 1.0 if best is None else best[1]


def diagnose(result, frequencies, impedances=None, *, noise=None, refit=True, weight="modulus"):
    """Diagnosis of a fit result over the spectrum it was fitted to.

    ``frequencies``/``impedances`` are the spectrum as given to ``fit()`` (or
    just the frequencies, which leaves out what needs the impedances). Each
    finding is one sentence naming the parameters, a "problem" or a "note"
    (see ``Finding``):

    - parameters at a bound (a problem; an exponent such as CPE alpha at its
      upper bound 1 is a note: the element is then ideal);
    - parameters the data do not determine: no standard errors (a problem),
      a standard error above 100 % of the value (a note) or above 10000 %
      (a problem);
    - series parts and parallel branches whose share stays below 0.1 % at
      every measured frequency (of |Z| for a series part, of the group's
      current for a parallel branch): a note that the circuit does not need
      them (their parameters' bounds and standard errors are not reported
      separately);
    - time constants more than half a decade outside the measured window
      1/(2 pi f_max) ... 1/(2 pi f_min): a note (a diffusion or blocking
      element's long time constant is expected there), but a problem when
      the element contributes less than 0.1 % of |Z| inside the window:
      its values are then extrapolated, not measured;
    - lack of fit: frequency ranges where the residuals (Z_model - Z)/|Z|
      run systematically away from zero, by more than 4 % on average over
      at least five neighbouring points and by more than
      the noise allows: a problem. ``noise`` is the measurement noise as a
      fraction of |Z|; by default the noise level the automatic
      Kramers-Kronig test estimates from the spectrum;
    - a local minimum (with ``refit``, the default): the same circuit fitted
      again from the network's guess and from ``estimate_start``, as
      ``fit_robust`` does without its global search, reaches a cost at
      least 20 % lower, both costs computed with ``weight``: a problem,
      since the fit's values then describe a worse curve than the circuit
      can give;
    - what ``check_data`` finds in the spectrum.

    Frequencies are in Hz, impedances in ohm, ``noise`` a fraction of |Z|.
    Returns a ``Diagnosis`` (its ``findings``, ``ok``, ``problems`` and
    ``notes``).
    """
    if not isinstance(result, FitResult):
        raise TypeError(f"result must be a FitResult, not {type(result).__name__}")
    all_freqs, imps = _frequencies_of(frequencies, impedances)
    freqs = [f for f in all_freqs if f > 0 and math.isfinite(f)]
    circuit = result.circuit
    names = circuit.param_names()
    values = circuit.param_values()
    bounds = circuit.param_bounds()  # the custom ones where the circuit sets them
    stderr = result.stderr
    findings = []

    # Parts of the circuit the data cannot see: their parameters are not
    # determined and may sit on a bound, which says nothing beyond "the
    # circuit does not need this part", so those findings are folded into
    # one note per part. A part the user fixed entirely was their choice.
    free = circuit.free_param_names()
    fitted = set(free)
    negligible = []  # (params, message)
    shares, taus = [], []
    if freqs:
        shares, taus = _core._structure(circuit, freqs, NEGLIGIBLE_SHARE)
        for in_parallel, first, count, share in shares:
            part = names[first:first + count]
            if not part or not share < NEGLIGIBLE_SHARE or not fitted.intersection(part):
                continue
            label = _element_names(part)
            params = ", ".join(part)
            if in_parallel:
                msg = (f"The parallel branch {label} ({params}) carries at most {_percent(share)} of its group's "
                       f"current at the measured frequencies: the data cannot tell it from an open circuit, "
                       f"so its values are not determined and the circuit without it would do.")
            else:
                msg = (f"{label} ({params}) contributes at most {_percent(share)} of |Z| at the measured "
                       f"frequencies: the data cannot tell it from a short circuit, so its values are not "
                       f"determined and the circuit without it would do.")
            negligible.append((part, msg))
    unseen = {name for part, _ in negligible for name in part}

    # Only the free parameters were fitted: a fixed one sits where the user
    # put it, so neither a bound nor a missing standard error says anything
    # about the data.
    for name, value, (lo, hi) in zip(names, values, bounds):
        if name not in fitted:
            continue
        exponent = name.rsplit(".", 1)[-1] in EXPONENT_FIELDS
        if math.isfinite(lo) and value <= lo + BOUND_TOLERANCE * max(abs(lo), 1e-300) + (1e-12 if lo == 0 else 0):
            if name in unseen:
                continue
            findings.append(Finding("at_bound", [name], (
                f"{name} = {_fmt(value)} sits at its lower bound {_fmt(lo)}: the fit was stopped by the "
                f"bound, so the data favour a value outside the allowed range or do not need this parameter.")))
        elif math.isfinite(hi) and value >= hi - BOUND_TOLERANCE * max(abs(hi), 1e-300):
            if exponent and hi == 1:
                label = name.rsplit(".", 1)[0]
                findings.append(Finding("at_bound", [name], (
                    f"{name} = {_fmt(value)} sits at its upper bound 1: {label} behaves as an ideal "
                    f"element (a CPE as a capacitor), so a simpler element would do."), "note"))
            elif name not in unseen:
                findings.append(Finding("at_bound", [name], (
                    f"{name} = {_fmt(value)} sits at its upper bound {_fmt(hi)}: the fit was stopped by the "
                    f"bound, not by the data.")))

    # Parameters the data do not determine.
    if stderr is None:
        if free:
            findings.append(Finding("undetermined", free, (
                f"No standard errors for {', '.join(free)} (too few points or a singular Jacobian): "
                f"nothing shows that the data determine these parameters.")))
    else:
        for name, value in zip(names, values):
            if name not in fitted or name not in stderr or name in unseen:
                continue  # fixed, or part of a negligible part
            err = stderr[name]
            rel = abs(err) / abs(value) if value != 0 else math.inf
            if math.isnan(err):
                findings.append(Finding("undetermined", [name], (
                    f"{name} has an undefined standard error, so the data do not determine it.")))
            elif rel > UNRESOLVED_RELATIVE_STDERR:
                findings.append(Finding("undetermined", [name], (
                    f"{name} = {_fmt(value)} has a standard error of {_fmt(err)} "
                    f"({_percent(rel)} of its value): the data do not determine it.")))
            elif rel > UNDETERMINED_RELATIVE_STDERR:
                findings.append(Finding("undetermined", [name], (
                    f"{name} = {_fmt(value)} has a standard error of {_fmt(err)} "
                    f"({_percent(rel)} of its value): the data fix it only roughly."), "note"))

    for part, msg in negligible:
        findings.append(Finding("negligible", part, msg, "note"))

    if freqs:
        f_lo, f_hi = min(freqs), max(freqs)
        t_lo, t_hi = 1.0 / (2 * math.pi * f_hi), 1.0 / (2 * math.pi * f_lo)
        for idx, tau in taus:
            part = [names[i] for i in idx]
            if math.isnan(tau) or t_lo / WINDOW_MARGIN <= tau <= t_hi * WINDOW_MARGIN:
                continue
            side = ("shorter than the highest measured frequency resolves" if tau < t_lo
                    else "longer than the lowest measured frequency reaches")
            what = part[0] if len(part) == 1 else "The time constant of " + ", ".join(part[:-1]) + " and " + part[-1]
            # Outside the window a relaxation is extrapolated; that matters
            # only when the element barely shows inside the window, where
            # its values are then free to run anywhere.
            share = _series_share(shares, idx)
            if share < NEGLIGIBLE_SHARE and fitted.intersection(part):
                findings.append(Finding("time_constant", part, (
                    f"{what} is {_fmt(tau)} s, outside the measured window {_fmt(t_lo)} s to {_fmt(t_hi)} s "
                    f"({side}), and the element contributes at most {_percent(share)} of |Z| inside it: "
                    f"its values are extrapolated, not measured.")))
            else:
                findings.append(Finding("time_constant", part, (
                    f"{what} is {_fmt(tau)} s, outside the measured window {_fmt(t_lo)} s to {_fmt(t_hi)} s "
                    f"({side}): the fit extrapolates this relaxation."), "note"))

    if imps is not None and freqs and len(imps) == len(all_freqs):
        import numpy as np

        pairs = [(f, z) for f, z in zip(all_freqs, imps)
                 if f > 0 and math.isfinite(f) and z != 0 and math.isfinite(abs(z))]
        if len(pairs) >= 3:
            f_arr = np.array([p[0] for p in pairs])
            z_arr = np.array([p[1] for p in pairs])
            if noise is None:
                try:
                    noise = kramers_kronig(f_arr, z_arr).noise
                except ValueError:
                    noise = 0.0
            ranges = _lack_of_fit(np, f_arr, z_arr, circuit, float(noise))
            for lo, hi, dev in ranges:
                where = f"at {_fmt(lo)} Hz" if lo == hi else f"between {_fmt(lo)} and {_fmt(hi)} Hz"
                findings.append(Finding("lack_of_fit", [], (
                    f"The fit misses the data systematically {where} (residuals up to {_percent(dev)} of "
                    f"|Z|, against noise of {_percent(float(noise))}): the circuit lacks a process there "
                    f"or the fit stopped short.")))
            if refit and free:
                finding = _local_minimum(circuit, f_arr, z_arr, weight)
                if finding is not None:
                    findings.append(finding)
    findings.extend(check_data(all_freqs, imps, n_params=len(free)).findings)
    return Diagnosis(findings)


def _local_minimum(circuit, freqs, imps, weight):
    """A "local_minimum" problem when another start of the same circuit ends
    at a cost at least 20 % below this fit's, else None. This fit's cost is
    recomputed with `weight` (the other fits use it), so a fit made with
    other weights is judged on equal terms; an unknown weight raises."""
    from velotz._robust import _arc_above_window, _key, _other_starts, _sound

    # The fit's own values are where this fit ended: only the other starts
    # are fitted again. Their costs use `weight` already.
    own = 0.5 * math.fsum(r * r for r in circuit.residuals(circuit.param_values(), freqs, imps, weight=weight))
    try:
        other = min(_other_starts(circuit, freqs, imps, weight, hidden_series=_arc_above_window(freqs, imps)),
                    key=_key)
    except ValueError:
        return None  # a spectrum the fit refuses (too few points, ...)
    better = other.cost
    if not (_sound(other) and math.isfinite(own) and better < LOCAL_MINIMUM_RATIO * own):
        return None
    ratio = own / better if better > 0 else math.inf
    return Finding("local_minimum", [], (
        f"Fitted again from other starts (the network's guess, estimate_start, the series resistance "
        f"inside an arc above the window where the spectrum shows one), the same circuit reaches "
        f"a cost {_fmt(ratio)} times lower ({_fmt(better)} against {_fmt(own)}): this fit stopped in a "
        f"local minimum, and velotz.fit_robust returns the better one."))


# ---------------------------------------------------------------- comparison
class ComparisonEntry:
    """One candidate circuit of a comparison."""

    __slots__ = ("name", "circuit", "result", "n_params", "cost", "chi_square",
                 "aic", "bic", "delta", "diagnosis", "seconds", "error")

    def __repr__(self):
        if self.error is not None:
            return f"ComparisonEntry({self.name!r}, error={self.error!r})"
        return (f"ComparisonEntry({self.name!r}, k={self.n_params}, cost={self.cost:.6g}, "
                f"aic={self.aic:.2f}, bic={self.bic:.2f}, findings={len(self.diagnosis)})")


class Comparison(_data.Data):
    """Candidate circuits fitted to one spectrum, best first.

    With n = 2N real residuals (N frequencies), k fitted parameters and the
    weighted chi-square chi2 of the fit:
    AIC = n ln(chi2 / n) + 2k and BIC = n ln(chi2 / n) + k ln(n).
    ``delta`` is the difference to the best entry's ranking criterion.
    """

    __slots__ = ("entries", "n_points", "criterion")
    _to_dict = _data.comparison_to_dict
    _from_dict = classmethod(_data.comparison_from_dict)

    def __init__(self, entries, n_points, criterion):
        self.entries = entries
        self.n_points = n_points
        self.criterion = criterion

    def _repr_html_(self):
        """The ranking as an HTML table with the recommended circuit
        marked (notebooks)."""
        return _display.comparison_html(self)

    @property
    def best(self):
        """The best-ranked entry that fitted without an error (None if none did)."""
        for e in self.entries:
            if e.error is None:
                return e
        return None

    @property
    def recommended(self):
        """The best-ranked entry whose fit succeeded without a problem in its
        diagnosis (notes do not count). When every fit has problems: the
        best-ranked one that does not miss the data (no lack of fit), else the
        best entry (None if none fitted)."""
        fitted = [e for e in self.entries if e.error is None]
        for e in fitted:
            if e.result.success and e.diagnosis.ok:
                return e
        for e in fitted:
            if e.result.success and "lack_of_fit" not in e.diagnosis.kinds("problem"):
                return e
        return self.best

    def __len__(self):
        return len(self.entries)

    def __iter__(self):
        return iter(self.entries)

    def __getitem__(self, index):
        return self.entries[index]

    def rows(self):
        """One dict per entry, best first: rank (None for a failed fit),
        circuit, k, cost, chi_square, aic, bic, delta, success, findings,
        problems, diagnosis (the text, or the error) and ms (the fit's wall
        time in milliseconds). Returns a list of dicts."""
        out = []
        for rank, e in enumerate(self.entries, 1):
            out.append({
                "rank": rank if e.error is None else None,
                "circuit": e.name,
                "k": e.n_params,
                "cost": e.cost,
                "chi_square": e.chi_square,
                "aic": e.aic,
                "bic": e.bic,
                "delta": e.delta,
                "success": None if e.result is None else e.result.success,
                "findings": None if e.diagnosis is None else len(e.diagnosis),
                "problems": None if e.diagnosis is None else len(e.diagnosis.problems),
                "diagnosis": e.error if e.error is not None else str(e.diagnosis),
                "ms": e.seconds * 1e3,
            })
        return out

    def to_dataframe(self):
        """The table of ``rows()`` as a pandas DataFrame, one row per entry,
        best first (pandas imported here). Returns the DataFrame."""
        import pandas as pd

        return pd.DataFrame(self.rows())

    def __repr__(self):
        head = (f"Comparison of {len(self.entries)} circuit{'s' if len(self.entries) != 1 else ''} on "
                f"{self.n_points} points, ranked by {self.criterion.upper()}")
        width = max([len("circuit")] + [len(e.name) for e in self.entries])
        cols = f"  {'#':>2}  {'circuit':<{width}}  {'k':>2}  {'cost':>11}  {'AIC':>10}  {'BIC':>10}  {'delta':>9}  problems"
        lines = [head, cols]
        for rank, e in enumerate(self.entries, 1):
            if e.error is not None:
                lines.append(f"  {'-':>2}  {e.name:<{width}}  failed: {e.error}")
                continue
            problems = e.diagnosis.problems
            text = f"{len(problems)} ({', '.join(e.diagnosis.kinds('problem'))})" if problems else "-"
            lines.append(
                f"  {rank:>2}  {e.name:<{width}}  {e.n_params:>2}  {e.cost:>11.5g}  {e.aic:>10.2f}  "
                f"{e.bic:>10.2f}  {e.delta:>9.2f}  {text}")
        chosen = self.recommended
        if chosen is not None:
            lines.append(f"recommended: {chosen.name}")
        return "\n".join(lines)


def _information_criteria(chi_square, n, k):
    if n <= 0:
        return math.nan, math.nan
    if chi_square <= 0:
        base = -math.inf
    else:
        base = n * math.log(chi_square / n)
    return base + 2 * k, base + k * math.log(n)


def compare(frequencies, impedances=None, circuits=None, *, criterion="aic", prune=True, robust=False,
            **fit_options):
    """Fit several circuits to one spectrum and rank them by AIC or BIC.

    ``circuits`` is a sequence of circuit texts, model names or ``Circuit``
    objects; by default the trained topologies of ``Circuit.ml_circuits()``
    (at most two arcs), and, when the distribution of relaxation times shows
    three or more arcs (peaks of ``drt(f, z)`` away from the ends of its grid,
    each holding at least 10 % of their total resistance), a chain of as many
    R-CPE arcs (up to four) after a series resistor, with a series inductor
    when the highest-frequency point is inductive.
    ``fit_options`` go to every ``Circuit.fit`` call. A candidate whose fit
    raises ``ValueError`` is listed last with the error text. See
    ``Comparison`` for the criteria; ``criterion`` is "aic" or "bic".

    The spectrum is given as for ``Circuit.fit`` (frequencies in Hz,
    impedances in ohm, or one dataframe). Returns a ``Comparison``, best
    first, whose ``recommended`` entry is the best one without problems.

    With ``prune`` (the default), a candidate whose diagnosis finds parts
    the data cannot see (negligible series parts or parallel branches) is
    also entered without them, as "NAME without PARTS": the same fit with
    those parts held at their fitted values, so that it is ranked and
    diagnosed with the parameters the data determine. A circuit that fits
    well only through a degenerate part (a series resistance at zero, say)
    can then be recommended in its reduced form.

    A candidate given by name or circuit text is fitted from the network's
    guess (as ``Circuit.fit`` does) and again from ``estimate_start``, and,
    when the highest frequencies show the beginning of an arc above the
    window (a capacitance across the series resistance), once more with its
    series resistance started near zero; the cheapest sound result is kept
    (unless ``fit_options`` choose the start or the method). With ``robust``, every candidate is fitted by ``velotz.fit_robust``
    (several starts and a short seeded search, about ten times the time of
    a default fit), so that a candidate is not ranked down because its
    default fit stopped in a poor local minimum; ``fit_options`` may then
    hold only ``weight``, ``seed`` and ``hops``.
    """
    criterion = str(criterion).lower()
    if criterion not in ("aic", "bic"):
        raise ValueError('criterion must be "aic" or "bic"')
    if robust:
        unknown = sorted(set(fit_options) - {"weight", "seed", "hops"})
        if unknown:
            raise TypeError(f"compare(robust=True) passes only weight, seed and hops to fit_robust, "
                            f"not {', '.join(unknown)}")
        from velotz._robust import fit_robust

        def fit(circuit, freqs, imps, **options):
            return fit_robust(circuit, freqs, imps, **options)
    else:
        def fit(circuit, freqs, imps, **options):
            if proposed and circuit.text in proposed and "guess_init" not in options and "weights" not in options:
                # A chain compare proposed has no network: start it from
                # the spectrum's own estimate instead of the placeholder
                # values (and without the warning a user could not act on).
                start = circuit.estimate_start(freqs, imps, **{k: v for k, v in options.items() if k == "weight"})
                return start.fit(freqs, imps, guess_init=False, **options)
            return circuit.fit(freqs, imps, **options)
    freqs, imps = _core._spectrum(frequencies, impedances)
    proposed = set()
    # One noise estimate for every candidate's lack-of-fit test.
    try:
        noise = kramers_kronig(freqs, imps).noise
    except ValueError:
        noise = 0.0
    if circuits is None:
        proposed = set(_drt_candidates(freqs, imps))
        circuits = Circuit.ml_circuits() + sorted(proposed, key=len)
    elif isinstance(circuits, (str, Circuit)):
        circuits = [circuits]
    n = 2 * len(freqs)
    # Whether the named candidates also get the start for an arc above the
    # window (see _better_from_estimate): one look at the spectrum for all.
    from velotz._robust import _arc_above_window

    arc_above = not robust and _arc_above_window(freqs, imps)
    entries = []
    for candidate in circuits:
        entry = ComparisonEntry()
        if isinstance(candidate, Circuit):
            circuit = candidate
            entry.name = _circuit_label(candidate)
        elif isinstance(candidate, str):
            circuit = Circuit(candidate)
            entry.name = candidate
        else:
            raise TypeError(f"circuits must hold str or Circuit objects, not {type(candidate).__name__}")
        entry.circuit = circuit
        entry.result = entry.diagnosis = None
        # k of the criteria: the parameters the fit moves (fixed ones are
        # not estimated from the data).
        entry.n_params = len(circuit.free_param_names())
        entry.cost = entry.chi_square = entry.aic = entry.bic = entry.delta = math.nan
        entry.error = None
        start = time.perf_counter()
        try:
            result = fit(circuit, freqs, imps, **fit_options)
            if not robust and isinstance(candidate, str) and candidate not in proposed:
                result = _better_from_estimate(result, circuit, freqs, imps, fit_options, arc_above)
        except ValueError as exc:
            entry.seconds = time.perf_counter() - start
            entry.error = str(exc).splitlines()[0]
            entries.append(entry)
            continue
        entry.seconds = time.perf_counter() - start
        entry.result = result
        entry.cost = result.cost
        entry.chi_square = result.chi_square
        entry.aic, entry.bic = _information_criteria(result.chi_square, n, entry.n_params)
        entry.diagnosis = diagnose(result, freqs, imps, noise=noise, refit=False)
        entries.append(entry)
        pruned = _without_negligible(entry, freqs, imps, noise, n, fit_options) if prune else None
        if pruned is not None:
            entries.append(pruned)

    def key(e):
        value = e.aic if criterion == "aic" else e.bic
        return (e.error is not None, math.isnan(value), value if not math.isnan(value) else 0.0)

    entries.sort(key=key)
    best = next((e for e in entries if e.error is None), None)
    for e in entries:
        if best is not None and e.error is None:
            e.delta = (e.aic - best.aic) if criterion == "aic" else (e.bic - best.bic)
    return Comparison(entries, len(freqs), criterion)


def _without_negligible(entry, freqs, imps, noise, n, fit_options):
    """The candidate refitted with the parts its diagnosis calls negligible
    held at their fitted values: the same curve with fewer free parameters,
    so the criteria and the standard errors describe the circuit the data
    support ("two_rq_l without R0"). None when nothing is negligible or the
    refit fails."""
    result = entry.result
    if not result.success:
        return None
    parts = [f for f in entry.diagnosis.findings if f.kind == "negligible"]
    free = set(result.circuit.free_param_names())
    held = [name for f in parts for name in f.params if name in free]
    # A negligible part often leaves the Jacobian singular (no standard
    # errors at all): holding it is what makes the rest determinable. With
    # no more residuals than the parameters left, there is nothing to gain.
    if not held or len(held) >= len(free) or n <= len(free) - len(held):
        return None
    # The refit starts from the fitted values; of the options only the
    # weighting matters for it (and robust-mode options are not fit()'s).
    options = {k: v for k, v in fit_options.items() if k == "weight"}
    pruned = ComparisonEntry()
    pruned.name = f"{entry.name} without {', '.join(_element_names(f.params) for f in parts)}"
    pruned.error = None
    pruned.cost = pruned.chi_square = pruned.aic = pruned.bic = pruned.delta = math.nan
    start = time.perf_counter()
    try:
        circuit = result.circuit.with_fixed(held)
        refit = circuit.fit(freqs, imps, **options)
    except ValueError:
        return None
    pruned.seconds = time.perf_counter() - start
    if not refit.success or not refit.cost <= result.cost * (1 + 1e-6) + 1e-300:
        return None
    pruned.circuit = circuit
    pruned.result = refit
    pruned.n_params = len(circuit.free_param_names())
    pruned.cost = refit.cost
    pruned.chi_square = refit.chi_square
    pruned.aic, pruned.bic = _information_criteria(refit.chi_square, n, pruned.n_params)
    pruned.diagnosis = diagnose(refit, freqs, imps, noise=noise, refit=False)
    return pruned


# A DRT peak counts as an arc for the default candidates of compare() when
# it holds at least this share of the resistance of all arcs: measured
# spectra leave smaller bumps (noise, a CPE's long tails) in the DRT.
DRT_ARC_SHARE = 0.10


def _better_from_estimate(result, circuit, freqs, imps, fit_options, arc_above):
    """A candidate named by its text was fitted from the network's guess (or
    the placeholders): fitted again from the spectrum's own estimate, the
    cheaper sound result is kept, so that one start stopping in a poor local
    minimum does not rank the circuit down; with `arc_above` (the spectrum
    shows an arc above the window) also from the start with the series
    resistance near zero. Not done when the caller chose the start
    (guess_init, weights) or the method."""
    if any(k in fit_options for k in ("guess_init", "weights", "method")):
        return result
    weight = {k: v for k, v in fit_options.items() if k == "weight"}
    try:
        start = circuit.estimate_start(freqs, imps, **weight)
        others = [start.fit(freqs, imps, guess_init=False, **fit_options)]
    except ValueError:
        return result
    from velotz._robust import _hidden_series_fit, _key

    # An arc above the window (`arc_above`, see _arc_above_window) may hold
    # the series resistance, a basin neither start reaches.
    if arc_above and len(fit_options) == len(weight):
        hidden = _hidden_series_fit(circuit, freqs, imps, weight.get("weight", "modulus"),
                                    below=min(r.cost for r in [result] + others))
        if hidden is not None:
            others.append(hidden)
    return min([result] + others, key=_key)  # sound first, then the lower cost


def _drt_candidates(freqs, imps):
    """Circuits with three or four R-CPE arcs when the DRT of the spectrum
    shows that many arcs; [] otherwise (or when the DRT fails)."""
    from velotz._drt import drt

    try:
        res = drt(freqs, imps)
    except ValueError:
        return []
    ends = (res.tau[0], res.tau[-1])
    # a maximum on an end of the grid is the rise of a tail, not an arc
    inner = [p for p in res.peaks if p[0] not in ends]
    total = sum(p[1] for p in inner)
    arcs = sum(1 for p in inner if p[1] >= DRT_ARC_SHARE * total)
    if arcs < 3:
        return []
    chain = "-".join(f"(R{k},CPE{k})" for k in range(1, min(arcs, 4) + 1))
    top = max(range(len(freqs)), key=lambda i: freqs[i])
    head = "L0-R0-" if imps[top].imag > 0 else "R0-"
    return [head + chain]


def _circuit_label(circuit):
    """A short name for a Circuit object: its element labels joined by '-'."""
    return _element_names(circuit.param_names()) or "circuit"
