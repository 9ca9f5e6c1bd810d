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
    if isinstance(value, float) and (math.isnan(value) or math.isinf(value)):
        return str(value)
    text = f"{value:.4g}"
    if "e" in text:
        mantissa, exponent = text.split("e")
        text = f"{mantissa}e{int(exponent)}"
    return text


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
class KramersKronigResult:
    """Outcome of the linear Kramers-Kronig test of one spectrum."""

    __slots__ = (
        "frequencies", "impedances", "m", "mu", "r_ohm", "time_constants",
        "resistances", "inductance", "capacitance", "z_fit",
        "residuals_real", "residuals_imag", "max_residual", "tolerance",
        "passed", "c", "fit_type",
    )

    def __repr__(self):
        return (
            f"KramersKronigResult(passed={self.passed}, m={self.m}, mu={self.mu:.4f}, "
            f"max_residual={self.max_residual:.3g}, tolerance={self.tolerance:.3g})"
        )


def kramers_kronig(frequencies, impedances=None, *, c=0.85, max_m=50,
                   add_capacitance=False, add_inductance=True,
                   fit_type="real", tolerance=0.01):
    """Linear Kramers-Kronig test (Schoenleber et al. 2014) of a spectrum.

    The spectrum is given as for ``Circuit.fit``: two sequences, or one
    Battery Data Format dataframe with ``impedances`` left as None.

    A series resistance and M RC elements whose time constants are spread
    log-uniformly from 1/omega_max to 1/omega_min (plus, when asked, a series
    inductance and a series capacitance) are fitted by linear least squares
    to the spectrum divided by |Z|. M grows from 1 until
    mu = 1 - sum|R_k < 0| / sum|R_k >= 0| is at most ``c`` (or M reaches
    ``max_m``; ``c=None`` uses ``max_m`` elements). ``fit_type`` selects the
    parts fitted: "real" (the default, as impedance.py's ``linKK``), "imag" or
    "complex". The residuals are (Z - Z_fit) / |Z|, real and imaginary parts;
    the spectrum passes when every residual's magnitude is at most
    ``tolerance``.
    """
    import numpy as np

    if c is not None:
        c = float(c)
    if isinstance(max_m, bool):
        raise TypeError("max_m must be an int")
    max_m = operator.index(max_m)
    tolerance = float(tolerance)
    if not tolerance > 0:
        raise ValueError("tolerance must be positive")
    raw = _core._kramers_kronig(frequencies, impedances, c, max_m,
                                bool(add_capacitance), bool(add_inductance), str(fit_type))
    out = KramersKronigResult()
    out.frequencies = np.asarray(raw["frequencies"], dtype=float)
    out.impedances = np.asarray(raw["impedances"], dtype=complex)
    out.m = raw["m"]
    out.mu = raw["mu"]
    out.r_ohm = raw["r_ohm"]
    out.time_constants = np.asarray(raw["taus"], dtype=float)
    out.resistances = np.asarray(raw["resistances"], dtype=float)
    out.inductance = raw["inductance"] if add_inductance else None
    if add_capacitance:
        inv = raw["inverse_capacitance"]
        out.capacitance = 1.0 / inv if inv != 0 else math.inf
    else:
        out.capacitance = None
    out.z_fit = np.asarray(raw["z_fit"], dtype=complex)
    out.residuals_real = np.asarray(raw["residuals_real"], dtype=float)
    out.residuals_imag = np.asarray(raw["residuals_imag"], dtype=float)
    out.max_residual = float(max(np.max(np.abs(out.residuals_real)),
                                 np.max(np.abs(out.residuals_imag))))
    out.tolerance = tolerance
    out.passed = bool(out.max_residual <= tolerance)
    out.c = c
    out.fit_type = str(fit_type)
    return out


# ---------------------------------------------------------------- diagnosis
class Finding:
    """One problem of a fit: what kind, which parameters, and a sentence."""

    __slots__ = ("kind", "params", "message")

    def __init__(self, kind, params, message):
        self.kind = kind
        self.params = tuple(params)
        self.message = message

    def __repr__(self):
        return f"Finding({self.kind!r}, {list(self.params)!r}, {self.message!r})"

    def __str__(self):
        return self.message


class Diagnosis:
    """What a fit result does not tell by itself; empty when nothing is wrong.

    Kinds of findings: "at_bound", "undetermined", "negligible",
    "time_constant".
    """

    __slots__ = ("findings",)

    def __init__(self, findings):
        self.findings = list(findings)

    @property
    def ok(self):
        return not self.findings

    def __len__(self):
        return len(self.findings)

    def __iter__(self):
        return iter(self.findings)

    def __getitem__(self, index):
        return self.findings[index]

    def flagged(self):
        """Names of the parameters any finding mentions, in first-mention order."""
        seen = []
        for f in self.findings:
            for p in f.params:
                if p not in seen:
                    seen.append(p)
        return seen

    def __str__(self):
        if not self.findings:
            return "no problems found"
        return "\n".join(f.message for f in self.findings)

    def __repr__(self):
        if not self.findings:
            return "Diagnosis(no problems found)"
        lines = "\n".join("  - " + f.message for f in self.findings)
        return f"Diagnosis({len(self.findings)} finding{'s' if len(self.findings) != 1 else ''}):\n{lines}"


def _frequencies_of(frequencies, impedances):
    """The frequencies of a spectrum given as for fit(), or a bare frequency list."""
    try:
        return list(_core._spectrum(frequencies, impedances)[0])
    except (TypeError, ValueError):
        if impedances is not None:
            raise
    try:
        # Converted as every numeric argument is: a sequence too long for
        # memory (range(2**62)) is a MemoryError, not an endless loop.
        return _core._floats(frequencies)
    except TypeError:
        return [float(f) for f in frequencies]  # iterators and generators


def _element_names(names):
    labels = []
    for n in names:
        label = n.rsplit(".", 1)[0]
        if label not in labels:
            labels.append(label)
    return ", ".join(labels)


def diagnose(result, frequencies, impedances=None):
    """Diagnosis of a fit result over the spectrum it was fitted to.

    ``frequencies``/``impedances`` are the spectrum as given to ``fit()`` (or
    just the frequencies). Reported, each as one sentence naming the
    parameter: parameters at a bound; parameters the data do not determine
    (no standard error, or one above 100 % of the value); series parts and
    parallel branches whose share stays below 0.1 % at every measured
    frequency (of |Z| for a series part, of the group's current for a
    parallel branch); time constants outside the measured window
    1/(2 pi f_max) ... 1/(2 pi f_min) by more than half a decade.
    """
    if not isinstance(result, FitResult):
        raise TypeError(f"result must be a FitResult, not {type(result).__name__}")
    freqs = [f for f in _frequencies_of(frequencies, impedances) if f > 0 and math.isfinite(f)]
    circuit = result.circuit
    names = circuit.param_names()
    values = circuit.param_values()
    bounds = circuit.param_bounds()  # the custom ones where the circuit sets them
    stderr = result.stderr
    findings = []

    # Only the free parameters were fitted: a fixed one sits where the user
    # put it, so neither a bound nor a missing standard error says anything
    # about the data.
    free = circuit.free_param_names()
    fitted = set(free)
    for name, value, (lo, hi) in zip(names, values, bounds):
        if name not in fitted:
            continue
        if math.isfinite(lo) and value <= lo + BOUND_TOLERANCE * max(abs(lo), 1e-300) + (1e-12 if lo == 0 else 0):
            findings.append(Finding("at_bound", [name], (
                f"{name} = {_fmt(value)} sits at its lower bound {_fmt(lo)}: the fit was stopped by the "
                f"bound, so the data favour a value outside the allowed range or do not need this parameter.")))
        elif math.isfinite(hi) and value >= hi - BOUND_TOLERANCE * max(abs(hi), 1e-300):
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
            if name not in fitted or name not in stderr:
                continue  # fixed
            err = stderr[name]
            rel = abs(err) / abs(value) if value != 0 else math.inf
            if math.isnan(err):
                findings.append(Finding("undetermined", [name], (
                    f"{name} has an undefined standard error, so the data do not determine it.")))
            elif rel > UNDETERMINED_RELATIVE_STDERR:
                findings.append(Finding("undetermined", [name], (
                    f"{name} = {_fmt(value)} has a standard error of {_fmt(err)} "
                    f"({_percent(rel)} of its value): the data do not determine it.")))

    if freqs:
        shares, taus = _core._structure(circuit, freqs, NEGLIGIBLE_SHARE)
        for in_parallel, first, count, share in shares:
            part = names[first:first + count]
            if not part or not share < NEGLIGIBLE_SHARE:
                continue
            label = _element_names(part)
            params = ", ".join(part)
            if in_parallel:
                msg = (f"The parallel branch {label} ({params}) carries at most {_percent(share)} of its group's "
                       f"current at the measured frequencies: the data cannot tell it from an open circuit.")
            else:
                msg = (f"{label} ({params}) contributes at most {_percent(share)} of |Z| at the measured "
                       f"frequencies: the data cannot tell it from a short circuit.")
            findings.append(Finding("negligible", part, msg))

        f_lo, f_hi = min(freqs), max(freqs)
        t_lo, t_hi = 1.0 / (2 * math.pi * f_hi), 1.0 / (2 * math.pi * f_lo)
        for idx, tau in taus:
            part = [names[i] for i in idx]
            if math.isnan(tau) or t_lo / WINDOW_MARGIN <= tau <= t_hi * WINDOW_MARGIN:
                continue
            side = ("shorter than the highest measured frequency resolves" if tau < t_lo
                    else "longer than the lowest measured frequency reaches")
            what = part[0] if len(part) == 1 else "The time constant of " + ", ".join(part[:-1]) + " and " + part[-1]
            findings.append(Finding("time_constant", part, (
                f"{what} is {_fmt(tau)} s, outside the measured window {_fmt(t_lo)} s to {_fmt(t_hi)} s "
                f"({side}): the fit extrapolates this relaxation.")))
    return Diagnosis(findings)


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


class Comparison:
    """Candidate circuits fitted to one spectrum, best first.

    With n = 2N real residuals (N frequencies), k fitted parameters and the
    weighted chi-square chi2 of the fit:
    AIC = n ln(chi2 / n) + 2k and BIC = n ln(chi2 / n) + k ln(n).
    ``delta`` is the difference to the best entry's ranking criterion.
    """

    __slots__ = ("entries", "n_points", "criterion")

    def __init__(self, entries, n_points, criterion):
        self.entries = entries
        self.n_points = n_points
        self.criterion = criterion

    @property
    def best(self):
        """The best-ranked entry that fitted without an error (None if none did)."""
        for e in self.entries:
            if e.error is None:
                return e
        return None

    @property
    def recommended(self):
        """The best-ranked entry whose fit succeeded with nothing to diagnose;
        the best entry when every fit has findings (None if none fitted)."""
        for e in self.entries:
            if e.error is None and e.result.success and e.diagnosis.ok:
                return e
        return self.best

    def __len__(self):
        return len(self.entries)

    def __iter__(self):
        return iter(self.entries)

    def __getitem__(self, index):
        return self.entries[index]

    def rows(self):
        """One dict per entry, best first."""
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
                "diagnosis": e.error if e.error is not None else str(e.diagnosis),
                "ms": e.seconds * 1e3,
            })
        return out

    def to_dataframe(self):
        """The table as a pandas DataFrame (pandas imported here)."""
        import pandas as pd

        return pd.DataFrame(self.rows())

    def __repr__(self):
        head = (f"Comparison of {len(self.entries)} circuit{'s' if len(self.entries) != 1 else ''} on "
                f"{self.n_points} points, ranked by {self.criterion.upper()}")
        width = max([len("circuit")] + [len(e.name) for e in self.entries])
        cols = f"  {'#':>2}  {'circuit':<{width}}  {'k':>2}  {'cost':>11}  {'AIC':>10}  {'BIC':>10}  {'delta':>9}  findings"
        lines = [head, cols]
        for rank, e in enumerate(self.entries, 1):
            if e.error is not None:
                lines.append(f"  {'-':>2}  {e.name:<{width}}  failed: {e.error}")
                continue
            kinds = ", ".join(sorted({f.kind for f in e.diagnosis})) or "-"
            lines.append(
                f"  {rank:>2}  {e.name:<{width}}  {e.n_params:>2}  {e.cost:>11.5g}  {e.aic:>10.2f}  "
                f"{e.bic:>10.2f}  {e.delta:>9.2f}  {len(e.diagnosis)} {kinds if e.diagnosis.findings else ''}".rstrip())
        return "\n".join(lines)


def _information_criteria(chi_square, n, k):
    if n <= 0:
        return math.nan, math.nan
    if chi_square <= 0:
        base = -math.inf
    else:
        base = n * math.log(chi_square / n)
    return base + 2 * k, base + k * math.log(n)


def compare(frequencies, impedances=None, circuits=None, *, criterion="aic", **fit_options):
    """Fit several circuits to one spectrum and rank them by AIC or BIC.

    ``circuits`` is a sequence of circuit texts, model names or ``Circuit``
    objects; by default the trained topologies of ``Circuit.ml_circuits()``.
    ``fit_options`` go to every ``Circuit.fit`` call. A candidate whose fit
    raises ``ValueError`` is listed last with the error text. See
    ``Comparison`` for the criteria; ``criterion`` is "aic" or "bic".
    """
    criterion = str(criterion).lower()
    if criterion not in ("aic", "bic"):
        raise ValueError('criterion must be "aic" or "bic"')
    freqs, imps = _core._spectrum(frequencies, impedances)
    if circuits is None:
        circuits = Circuit.ml_circuits()
    elif isinstance(circuits, (str, Circuit)):
        circuits = [circuits]
    n = 2 * len(freqs)
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
            result = circuit.fit(freqs, imps, **fit_options)
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
        entry.diagnosis = diagnose(result, freqs)
        entries.append(entry)

    def key(e):
        value = e.aic if criterion == "aic" else e.bic
        return (e.error is not None, math.isnan(value), value if not math.isnan(value) else 0.0)

    entries.sort(key=key)
    best = next((e for e in entries if e.error is None), None)
    for e in entries:
        if best is not None and e.error is None:
            e.delta = (e.aic - best.aic) if criterion == "aic" else (e.bic - best.bic)
    return Comparison(entries, len(freqs), criterion)


def _circuit_label(circuit):
    """A short name for a Circuit object: its element labels joined by '-'."""
    return _element_names(circuit.param_names()) or "circuit"
