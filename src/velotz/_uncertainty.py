"""Bootstrap confidence intervals of a fit's parameters.

The linearised intervals of ``FitResult.conf_int`` assume the model is close
to linear in its parameters over their uncertainty. The bootstrap makes no
such assumption: it refits many spectra built from the fitted model and the
fit's own residuals, and reads the intervals off the spread of the refitted
parameters. The refits run as one ``fit_batch`` (the worker pool, with the
interpreter lock released); numpy draws the resamples beforehand from one
seeded generator, so the answer does not depend on the number of threads.
"""
import math
import operator
import sys

from velotz._batch import fit_batch
from velotz import _data

_core = sys.modules["velotz._core"]

__all__ = ["BootstrapResult", "bootstrap"]


def _check_level(level):
    level = float(level)
    if not 0.0 < level < 1.0:
        raise ValueError("level must lie between 0 and 1 (exclusive)")
    return level


class BootstrapResult(_data.Data):
    """Parameters refitted to resampled spectra, and their percentile intervals.

    ``names`` are the free parameters (``FitResult.free_names``), ``samples``
    a numpy array with one row per successful refit and one column per name,
    ``failed`` the number of resamples whose refit raised or did not
    succeed, ``level`` the level of ``intervals``.
    """

    __slots__ = ("names", "samples", "failed", "n", "level", "seed")
    _to_dict = _data.bootstrap_to_dict
    _from_dict = classmethod(_data.bootstrap_from_dict)

    def __init__(self, names, samples, failed, n, level, seed):
        self.names = list(names)
        self.samples = samples
        self.failed = failed
        self.n = n
        self.level = level
        self.seed = seed

    def conf_int(self, level=None):
        """Percentile intervals {name: (lower, upper)}: the (1 - level) / 2 and
        (1 + level) / 2 quantiles of the refitted values (numpy's linear
        interpolation between order statistics); NaN without any refit.
        ``level`` defaults to the level the bootstrap was asked for. Values
        are in the parameters' units. Returns a dict of (lower, upper)."""
        import numpy as np

        level = self.level if level is None else _check_level(level)
        if len(self.samples) == 0:
            return {name: (math.nan, math.nan) for name in self.names}
        tail = (1.0 - level) / 2.0
        lo, hi = np.quantile(self.samples, [tail, 1.0 - tail], axis=0)
        return {name: (float(a), float(b)) for name, a, b in zip(self.names, lo, hi)}

    @property
    def intervals(self):
        """The percentile intervals at ``level``, {name: (lower, upper)}."""
        return self.conf_int()

    @property
    def stderr(self):
        """Standard deviation of the refitted values (n - 1 in the
        denominator), {name: value}; NaN with fewer than two refits."""
        import numpy as np

        if len(self.samples) < 2:
            return {name: math.nan for name in self.names}
        return {name: float(v) for name, v in zip(self.names, np.std(self.samples, axis=0, ddof=1))}

    def __repr__(self):
        return (f"BootstrapResult(n={self.n}, failed={self.failed}, level={self.level}, "
                f"names={self.names!r})")


def bootstrap(result, frequencies, impedances=None, *, n=1000, seed=0, level=0.95, weight="modulus",
              **fit_options):
    """Bootstrap confidence intervals of a fit's free parameters.

    ``result`` is a ``FitResult`` of a fit of the spectrum ``frequencies``,
    ``impedances`` (or one dataframe, as ``Circuit.fit`` reads it) with the
    weighting ``weight``. Residual resampling: the complex weighted residuals
    r_j = (Z_model - Z_j) / w_j of the fit (real and imaginary parts of one
    frequency kept together), centred and scaled by sqrt(2N / (2N - k)) for
    the degrees of freedom the fit used up, are drawn with replacement, N at
    a time; each draw gives the spectrum Z*_j = Z_model,j - w_j r*_j, which
    is refitted starting from the fitted values. With modulus weighting
    (w = |Z|) the residuals of a sound fit are exchangeable across
    frequencies, which this resampling needs; their correlation along the
    frequency axis (a systematic misfit) is not reproduced.

    ``n`` resamples (the default 1000, because the 2.5 % and 97.5 % points of
    a few hundred samples scatter enough to make 95 % intervals cover
    visibly less), drawn by numpy's ``default_rng(seed)``; ``seed`` also
    goes to every refit (it matters only for the seeded global methods).
    Every other keyword option goes to ``fit_batch`` (``method``,
    ``progress``, budgets). Returns a ``BootstrapResult`` whose
    ``intervals`` hold the percentile intervals at ``level``.
    """
    import numpy as np

    FitResult = _core.FitResult
    if not isinstance(result, FitResult):
        raise TypeError(f"argument 'result': expected a FitResult, not {type(result).__name__}")
    try:
        count = operator.index(n)
    except TypeError:
        raise TypeError(f"argument 'n': expected an int, not {type(n).__name__}") from None
    if count < 1:
        raise ValueError("n must be at least 1")
    level = _check_level(level)
    for key in ("ids", "id_column", "seeds"):
        if key in fit_options:
            raise TypeError(f"bootstrap() got an unexpected keyword argument '{key}'")

    freqs, imps = _core._spectrum(frequencies, impedances)
    points = len(freqs)
    if result.n_points is not None and result.n_points != points:
        raise ValueError(f"the spectrum has {points} points, but the result was fitted to {result.n_points}")
    circuit = result.circuit
    names = result.free_names
    k = len(names)
    if 2 * points <= k:
        raise ValueError(f"bootstrap needs more real residuals ({2 * points}) than free parameters ({k})")

    f = np.asarray(freqs, dtype=float)
    z = np.asarray(imps, dtype=complex)
    # The fit's weighted residuals, as the fit computed them (this also
    # checks `weight`).
    r = np.asarray(circuit.residuals(circuit.free_param_values(), f, z, weight=weight), dtype=float)
    r = r[0::2] + 1j * r[1::2]
    if weight == "modulus":
        w = np.abs(z)
        w = np.where(np.isnan(w) | (w < 1e-30), 1e-30, w)
    else:
        w = np.ones(points)
    r = (r - r.mean()) * math.sqrt(2 * points / (2 * points - k))
    model = circuit.impedance(f)

    rng = np.random.default_rng(seed)
    draws = rng.integers(0, points, size=(count, points))
    spectra = [(f, model - w * r[row]) for row in draws]
    batch = fit_batch(circuit, spectra, weight=weight, seed=seed, **fit_options)

    rows = []
    failed = 0
    for refit in batch:
        if isinstance(refit, BaseException) or not refit.success:
            failed += 1
            continue
        params = refit.params
        rows.append([params[name] for name in names])
    samples = np.array(rows, dtype=float).reshape(len(rows), k)
    return BootstrapResult(names, samples, failed, count, level, seed)
