"""Type stubs of velotz: equivalent-circuit fitting of impedance spectra."""
import os
from typing import Any, Callable, ClassVar, Iterable, Iterator, Literal, Mapping, Protocol, Sequence, overload

import numpy as np
from numpy.typing import NDArray

__version__: str

class _Frame(Protocol):
    """A dataframe: item lookup by column name gives a sequence of numbers."""
    def __getitem__(self, key: str, /) -> Any: ...

# What the spectrum arguments accept: two sequences (frequencies in hertz,
# complex impedances in ohm), or one Battery Data Format dataframe passed as
# `frequencies` with `impedances` left as None.
_Frequencies = Sequence[float] | NDArray[Any] | _Frame
_Impedances = Sequence[complex] | NDArray[Any]
_Method = Literal["levenberg_marquardt", "nelder_mead", "particle_swarm", "differential_evolution",
                  "simulated_annealing", "basin_hopping"] | str

class Element:
    """A single circuit element."""
    R: ClassVar[type[Element_R]]
    C: ClassVar[type[Element_C]]
    L: ClassVar[type[Element_L]]
    La: ClassVar[type[Element_La]]
    Cpe: ClassVar[type[Element_Cpe]]
    W: ClassVar[type[Element_W]]
    Wo: ClassVar[type[Element_Wo]]
    Ws: ClassVar[type[Element_Ws]]
    G: ClassVar[type[Element_G]]
    Gs: ClassVar[type[Element_Gs]]
    K: ClassVar[type[Element_K]]
    Zarc: ClassVar[type[Element_Zarc]]
    Tlmq: ClassVar[type[Element_Tlmq]]
    T: ClassVar[type[Element_T]]
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]: ...
    def __copy__(self) -> Element: ...
    def __deepcopy__(self, memo: Any, /) -> Element: ...

class Element_R(Element):
    __match_args__: ClassVar[tuple[str]]
    def __init__(self, r: float) -> None: ...
    @property
    def r(self) -> float: ...

class Element_C(Element):
    __match_args__: ClassVar[tuple[str]]
    def __init__(self, c: float) -> None: ...
    @property
    def c(self) -> float: ...

class Element_L(Element):
    __match_args__: ClassVar[tuple[str]]
    def __init__(self, l: float) -> None: ...
    @property
    def l(self) -> float: ...

class Element_La(Element):
    __match_args__: ClassVar[tuple[str, str]]
    def __init__(self, l: float, alpha: float) -> None: ...
    @property
    def l(self) -> float: ...
    @property
    def alpha(self) -> float: ...

class Element_Cpe(Element):
    __match_args__: ClassVar[tuple[str, str]]
    def __init__(self, q: float, alpha: float) -> None: ...
    @property
    def q(self) -> float: ...
    @property
    def alpha(self) -> float: ...

class Element_W(Element):
    __match_args__: ClassVar[tuple[str]]
    def __init__(self, aw: float) -> None: ...
    @property
    def aw(self) -> float: ...

class Element_Wo(Element):
    __match_args__: ClassVar[tuple[str, str]]
    def __init__(self, z0: float, tau: float) -> None: ...
    @property
    def z0(self) -> float: ...
    @property
    def tau(self) -> float: ...

class Element_Ws(Element):
    __match_args__: ClassVar[tuple[str, str]]
    def __init__(self, z0: float, tau: float) -> None: ...
    @property
    def z0(self) -> float: ...
    @property
    def tau(self) -> float: ...

class Element_G(Element):
    __match_args__: ClassVar[tuple[str, str]]
    def __init__(self, rg: float, tg: float) -> None: ...
    @property
    def rg(self) -> float: ...
    @property
    def tg(self) -> float: ...

class Element_Gs(Element):
    __match_args__: ClassVar[tuple[str, str, str]]
    def __init__(self, rg: float, tg: float, phi: float) -> None: ...
    @property
    def rg(self) -> float: ...
    @property
    def tg(self) -> float: ...
    @property
    def phi(self) -> float: ...

class Element_K(Element):
    __match_args__: ClassVar[tuple[str, str]]
    def __init__(self, r: float, tau_k: float) -> None: ...
    @property
    def r(self) -> float: ...
    @property
    def tau_k(self) -> float: ...

class Element_Zarc(Element):
    __match_args__: ClassVar[tuple[str, str, str]]
    def __init__(self, r: float, tau_k: float, gamma: float) -> None: ...
    @property
    def r(self) -> float: ...
    @property
    def tau_k(self) -> float: ...
    @property
    def gamma(self) -> float: ...

class Element_Tlmq(Element):
    __match_args__: ClassVar[tuple[str, str, str]]
    def __init__(self, r_ion: float, qs: float, gamma: float) -> None: ...
    @property
    def r_ion(self) -> float: ...
    @property
    def qs(self) -> float: ...
    @property
    def gamma(self) -> float: ...

class Element_T(Element):
    __match_args__: ClassVar[tuple[str, str, str, str]]
    def __init__(self, a: float, b: float, k_tau: float, tau: float) -> None: ...
    @property
    def a(self) -> float: ...
    @property
    def b(self) -> float: ...
    @property
    def k_tau(self) -> float: ...
    @property
    def tau(self) -> float: ...

class Circuit:
    def __init__(self, s: str) -> None: ...
    def param_names(self) -> list[str]:
        """Parameter names, in the same order `with_values()` consumes and
        `with_named_values()` expects as keys."""
    def param_units(self) -> list[str]:
        """Physical units per parameter."""
    def param_bounds(self) -> list[tuple[float, float]]:
        """Default physical-validity `(lo, hi)` bounds per parameter, in
        `param_names()` order. `hi` is `inf` for open-bound parameters."""
    def param_values(self) -> list[float]:
        """Current parameter values, in `param_names()` order."""
    def with_values(self, values: Sequence[float] | NDArray[Any]) -> Circuit:
        """Rebuild this circuit with a new flat parameter vector, assigned
        positionally in `param_names()` order."""
    def with_named_values(self, values: dict[str, float]) -> Circuit:
        """Rebuild this circuit with parameter values looked up by name (see
        `param_names()`). Every name must be present and no unknown names
        may be supplied."""
    def impedance(self, frequencies: _Frequencies) -> NDArray[np.complex128]: ...
    def fit(
        self,
        frequencies: _Frequencies,
        impedances: _Impedances | None = None,
        guess_init: bool | None = None,
        weights: str | os.PathLike[str] | None = None,
        weight: Literal["modulus", "unit"] | str = "modulus",
        method: _Method = "levenberg_marquardt",
        max_iterations: int = 200,
        ftol: float = 1e-8,
        xtol: float = 1e-8,
        num_particles: int = 200,
        generations: int = 1000,
        nelder_mead_iterations: int = 2000,
        de_evaluations: int = 20000,
        sa_iterations: int = 5000,
        sa_initial_temperature: float = 2.0,
        basin_hopping_hops: int = 20,
        basin_hopping_step_size: float = 1.0,
        basin_hopping_temperature: float = 1.0,
        seed: int | None = None,
    ) -> FitResult:
        """Fit this circuit's parameters to a measured spectrum."""
    def residuals(
        self,
        params: Sequence[float] | NDArray[Any],
        frequencies: _Frequencies,
        impedances: _Impedances | None = None,
        weight: str = "modulus",
    ) -> list[float]:
        """Weighted residual vector (interleaved `[re0, im0, re1, im1, ...]`) for an
        arbitrary parameter vector -- the same building block `fit()` uses
        internally for Levenberg-Marquardt, exposed so an external optimizer (e.g.
        `scipy.optimize.least_squares`) can drive this circuit's math directly."""
    def jacobian(
        self,
        params: Sequence[float] | NDArray[Any],
        frequencies: _Frequencies,
        impedances: _Impedances | None = None,
        weight: str = "modulus",
    ) -> list[list[float]]:
        """Central-difference Jacobian of `residuals()` at `params`, shape `(2 *
        len(frequencies), len(params))` -- rows are residuals, columns are
        parameters, matching what `scipy.optimize.least_squares(jac=...)` expects."""
    def guess(
        self,
        frequencies: _Frequencies,
        impedances: _Impedances | None = None,
        weights: str | os.PathLike[str] | None = None,
    ) -> list[float]:
        """Machine-learning guess of starting parameters for this circuit's
        topology, in `param_names()` order.

        Series and parallel elements may be written with any order and labels:
        `(R1,C2)-R3` uses the same model as `R0-(R1,C1)`. `K` and `Zarc` reach
        the models trained on the pairs they abbreviate. `weights` loads a
        `.eisnn` file from disk instead of looking for a bundled model. Raises
        if no model has been trained for this topology, or if `weights` was
        trained for a different one."""
    @staticmethod
    def ml_circuits() -> list[str]:
        """Names accepted by the constructor that have trained initial-parameter
        models, and so get a guessed starting point from `fit()` by default."""
    def estimate_start(
        self,
        frequencies: _Frequencies,
        impedances: _Impedances | None = None,
        weight: Literal["modulus", "unit"] | str = "modulus",
    ) -> Circuit:
        """A copy of this circuit with starting values read from a measured
        spectrum (frequencies in Hz, impedances in ohm), for any circuit text;
        `fit()` then starts from these values. Accepts two sequences or a
        dataframe, like `fit()`."""
    def with_fixed(self, params: Mapping[str, float] | str | Sequence[str]) -> Circuit:
        """A copy of this circuit whose named parameters are held fixed by `fit()`."""
    def with_free(self, names: str | Sequence[str] | None = None) -> Circuit:
        """A copy of this circuit whose named parameters (all when `names` is
        None) are no longer fixed; they keep their current values."""
    def with_bounds(self, bounds: Mapping[str, tuple[float, float] | None]) -> Circuit:
        """A copy of this circuit with custom `(lo, hi)` bounds for the named
        parameters, used by `fit()` instead of the defaults (None restores the
        default). Bounds must satisfy lo < hi and lie within the defaults."""
    def fixed_params(self) -> dict[str, float]:
        """Fixed parameters and their values, in `param_names()` order."""
    def custom_bounds(self) -> dict[str, tuple[float, float]]:
        """Parameters with custom bounds and those bounds, in `param_names()` order."""
    def free_param_names(self) -> list[str]:
        """Names of the parameters `fit()` moves (all but the fixed ones), in
        the order `residuals()` and `jacobian()` take them."""
    def free_param_values(self) -> list[float]:
        """Current values of the free parameters, in `free_param_names()` order."""
    @property
    def text(self) -> str:
        """The circuit text with labels, such as "R0-(R1,CPE1)". Elements without
        a label (joined from element objects) get the automatic label of their
        parameter names, so `Circuit(c.text)` rebuilds the topology whenever
        the labels are distinct; values and constraints are not part of it."""
    def to_dict(self) -> dict[str, Any]:
        """The circuit as a versioned dict of JSON types ("format":
        "velotz.Circuit", "version": 1, the text, the nodes with their values,
        values_given, fixed flags and custom bounds); floats by value, NaN and
        the infinities as "NaN", "Infinity" and "-Infinity"."""
    def to_json(self, *, indent: int | None = None) -> str:
        """The circuit as strict JSON text (`to_dict()`, every float exact);
        `indent` spaces per nesting level."""
    @classmethod
    def from_dict(cls, document: Mapping[str, Any]) -> Circuit:
        """The Circuit a `to_dict()` document describes; raises ValueError or
        TypeError, naming the entry, for a document it cannot trust."""
    @classmethod
    def from_json(cls, text: str | bytes | bytearray) -> Circuit:
        """The Circuit JSON text written by `to_json()` describes; raises
        ValueError for text that is not JSON and as `from_dict()`."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, tuple[dict[str, Any]]]: ...
    def __copy__(self) -> Circuit: ...
    def __deepcopy__(self, memo: Any, /) -> Circuit: ...

class FitResult:
    @property
    def circuit(self) -> Circuit: ...
    @property
    def params(self) -> dict[str, float]: ...
    @property
    def stderr(self) -> dict[str, float] | None: ...
    @property
    def success(self) -> bool: ...
    @property
    def iterations(self) -> int: ...
    @property
    def impedance_evals(self) -> int: ...
    @property
    def cost(self) -> float: ...
    @property
    def chi_square(self) -> float: ...
    @property
    def free_names(self) -> list[str]:
        """Names of the free parameters: the order of stderr, conf_int(), covariance and correlation."""
    @property
    def covariance(self) -> NDArray[np.float64] | None:
        """Covariance matrix s^2 (J^T J)^-1 of the free parameters; None where stderr is None."""
    @property
    def correlation(self) -> NDArray[np.float64] | None:
        """Correlation matrix of the free parameters; None where stderr is None."""
    @property
    def residuals(self) -> NDArray[np.float64] | None:
        """Weighted residuals at the solution, interleaved [re0, im0, re1, im1, ...]."""
    @property
    def n_points(self) -> int | None:
        """Number of frequencies N the fit used."""
    @property
    def aic(self) -> float | None:
        """Akaike information criterion n ln(chi_square / n) + 2k, n = 2N, k free parameters."""
    @property
    def bic(self) -> float | None:
        """Bayesian information criterion n ln(chi_square / n) + k ln n."""
    def conf_int(self, level: float = 0.95) -> dict[str, tuple[float, float]] | None:
        """Confidence intervals of the free parameters, {name: (lower, upper)}."""
    def to_dict(self) -> dict[str, Any]:
        """The result as a versioned dict of JSON types ("format":
        "velotz.FitResult", "version": 1, the fitted circuit as
        `Circuit.to_dict()` writes it, names, params, counts, cost,
        chi_square, free_names, stderr, covariance and residuals)."""
    def to_json(self, *, indent: int | None = None) -> str:
        """The result as strict JSON text (`to_dict()`, every float exact)."""
    @classmethod
    def from_dict(cls, document: Mapping[str, Any]) -> FitResult:
        """The FitResult a `to_dict()` document describes, checked as a pickled
        result is; raises ValueError or TypeError naming the entry."""
    @classmethod
    def from_json(cls, text: str | bytes | bytearray) -> FitResult:
        """The FitResult JSON text written by `to_json()` describes."""
    def _repr_html_(self) -> str:
        """Parameters with standard errors and 95 % intervals, the verdict and
        the weighted residuals, as HTML with an inline SVG picture."""
    def _repr_pretty_(self, p: Any, cycle: bool) -> None:
        """The representation, then one line per parameter (IPython)."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, tuple[dict[str, Any]]]: ...
    def __copy__(self) -> FitResult: ...
    def __deepcopy__(self, memo: Any, /) -> FitResult: ...

def Series(parts: Sequence[Element | Circuit]) -> Circuit:
    """Connect elements and circuits end to end."""

def Parallel(parts: Sequence[Element | Circuit]) -> Circuit:
    """Connect elements and circuits as parallel branches."""

R = Element_R
C = Element_C
L = Element_L
La = Element_La
Cpe = Element_Cpe
W = Element_W
Wo = Element_Wo
Ws = Element_Ws
G = Element_G
Gs = Element_Gs
K = Element_K
Zarc = Element_Zarc
Tlmq = Element_Tlmq
T = Element_T

# ---------------------------------------------------------------- analysis
class KramersKronigResult:
    """Outcome of the linear Kramers-Kronig test of one spectrum."""
    frequencies: NDArray[np.float64]
    impedances: NDArray[np.complex128]
    m: int
    mu: float
    r_ohm: float
    time_constants: NDArray[np.float64]
    resistances: NDArray[np.float64]
    inductance: float | None
    capacitance: float | None
    z_fit: NDArray[np.complex128]
    residuals_real: NDArray[np.float64]
    residuals_imag: NDArray[np.float64]
    max_residual: float
    tolerance: float
    passed: bool
    c: float | None
    fit_type: str
    method: Literal["auto", "mu", "fixed"]
    noise: float
    outliers: NDArray[np.intp]
    systematic: list[tuple[float, float]]
    @property
    def outlier_frequencies(self) -> NDArray[np.float64]:
        """Frequencies (Hz) of the points in ``outliers``."""
    def summary(self) -> str:
        """The verdict in a few sentences."""
    def to_dict(self) -> dict[str, Any]:
        """This result as a versioned dict of JSON types ("format":
        "velotz.KramersKronigResult", "version": 1, one key per attribute); floats by value,
        complex numbers as [re, im], arrays as lists."""
    def to_json(self, *, indent: int | None = None) -> str:
        """This result as strict JSON text (`to_dict()`, every float exact)."""
    @classmethod
    def from_dict(cls, document: Mapping[str, Any]) -> KramersKronigResult:
        """The result a `to_dict()` document describes; raises ValueError or
        TypeError, naming the entry, for a document it cannot trust."""
    @classmethod
    def from_json(cls, text: str | bytes | bytearray) -> KramersKronigResult:
        """The result JSON text written by `to_json()` describes."""
    def _repr_html_(self) -> str:
        """This result as HTML for notebooks (a table, with a small SVG picture where it helps)."""
    def _repr_pretty_(self, p: Any, cycle: bool) -> None:
        """The representation, then the summary in words (IPython)."""

def kramers_kronig(
    frequencies: _Frequencies,
    impedances: _Impedances | None = None,
    *,
    method: Literal["auto", "mu", "fixed"] | None = None,
    c: float | None = ...,
    max_m: int = 50,
    add_capacitance: bool | None = None,
    add_inductance: bool = True,
    fit_type: Literal["real", "imag", "complex"] | None = None,
    tolerance: float = 0.01,
) -> KramersKronigResult:
    """Linear Kramers-Kronig test of a spectrum: can a series resistance, RC
    elements, and a series inductance and capacitance reproduce it?"""

class Finding:
    """One finding about a fit or its data: what kind, which parameters, a
    sentence, and its severity."""
    kind: Literal["at_bound", "undetermined", "negligible", "time_constant", "lack_of_fit", "data"]
    params: tuple[str, ...]
    message: str
    severity: Literal["problem", "note"]
    def __init__(self, kind: str, params: Sequence[str], message: str,
                 severity: Literal["problem", "note"] = "problem") -> None: ...

class Diagnosis:
    """What a fit result does not tell by itself."""
    findings: list[Finding]
    def __init__(self, findings: Sequence[Finding]) -> None: ...
    @property
    def ok(self) -> bool: ...
    @property
    def problems(self) -> list[Finding]: ...
    @property
    def notes(self) -> list[Finding]: ...
    def kinds(self, severity: Literal["problem", "note"] | None = None) -> list[str]:
        """The kinds of the findings (of one severity when given), in order."""
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Finding]: ...
    def __getitem__(self, index: int) -> Finding: ...
    def flagged(self) -> list[str]:
        """Names of the parameters any finding mentions, in first-mention order."""
    def to_dict(self) -> dict[str, Any]:
        """This result as a versioned dict of JSON types ("format":
        "velotz.Diagnosis", "version": 1, one key per attribute); floats by value,
        complex numbers as [re, im], arrays as lists."""
    def to_json(self, *, indent: int | None = None) -> str:
        """This result as strict JSON text (`to_dict()`, every float exact)."""
    @classmethod
    def from_dict(cls, document: Mapping[str, Any]) -> Diagnosis:
        """The result a `to_dict()` document describes; raises ValueError or
        TypeError, naming the entry, for a document it cannot trust."""
    @classmethod
    def from_json(cls, text: str | bytes | bytearray) -> Diagnosis:
        """The result JSON text written by `to_json()` describes."""
    def _repr_html_(self) -> str:
        """This result as HTML for notebooks (a table, with a small SVG picture where it helps)."""

def diagnose(
    result: FitResult, frequencies: _Frequencies, impedances: _Impedances | None = None,
    *, noise: float | None = None, refit: bool = True, weight: Literal["modulus", "unit"] | str = "modulus",
) -> Diagnosis:
    """Diagnosis of a fit result over the spectrum it was fitted to."""

class ComparisonEntry:
    """One candidate circuit of a comparison."""
    name: str
    circuit: Circuit
    result: FitResult | None
    n_params: int
    cost: float
    chi_square: float
    aic: float
    bic: float
    delta: float
    diagnosis: Diagnosis | None
    seconds: float
    error: str | None

class Comparison:
    """Candidate circuits fitted to one spectrum, best first."""
    entries: list[ComparisonEntry]
    n_points: int
    criterion: Literal["aic", "bic"]
    @property
    def best(self) -> ComparisonEntry | None:
        """The best-ranked entry that fitted without an error (None if none did)."""
    @property
    def recommended(self) -> ComparisonEntry | None:
        """The best-ranked entry whose fit succeeded without a problem in its diagnosis."""
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[ComparisonEntry]: ...
    def __getitem__(self, index: int) -> ComparisonEntry: ...
    def rows(self) -> list[dict[str, Any]]:
        """One dict per entry, best first."""
    def to_dataframe(self) -> Any:
        """The table as a pandas DataFrame (pandas imported here)."""
    def to_dict(self) -> dict[str, Any]:
        """This result as a versioned dict of JSON types ("format":
        "velotz.Comparison", "version": 1, one key per attribute); floats by value,
        complex numbers as [re, im], arrays as lists."""
    def to_json(self, *, indent: int | None = None) -> str:
        """This result as strict JSON text (`to_dict()`, every float exact)."""
    @classmethod
    def from_dict(cls, document: Mapping[str, Any]) -> Comparison:
        """The result a `to_dict()` document describes; raises ValueError or
        TypeError, naming the entry, for a document it cannot trust."""
    @classmethod
    def from_json(cls, text: str | bytes | bytearray) -> Comparison:
        """The result JSON text written by `to_json()` describes."""
    def _repr_html_(self) -> str:
        """This result as HTML for notebooks (a table, with a small SVG picture where it helps)."""

def compare(
    frequencies: _Frequencies,
    impedances: _Impedances | None = None,
    circuits: Sequence[str | Circuit] | str | Circuit | None = None,
    *,
    criterion: Literal["aic", "bic"] = "aic",
    prune: bool = True,
    robust: bool = False,
    **fit_options: Any,
) -> Comparison:
    """Fit several circuits to one spectrum and rank them by AIC or BIC; with
    ``prune``, a candidate with parts the data cannot see is also entered
    without them ("NAME without PARTS")."""

# ---------------------------------------------------------------- plots
_Model = FitResult | Circuit | KramersKronigResult

def plot_nyquist(
    model: _Model | None, frequencies: _Frequencies, impedances: _Impedances | None = None, *, ax: Any = None,
    decades: bool = True, inset: Literal["auto"] | bool | float | None = "auto", prefix: str | None = None,
) -> Any:
    """Nyquist plot: -Im Z against Re Z with equal axis scales; returns the axes."""

def plot_bode(
    model: _Model | None, frequencies: _Frequencies, impedances: _Impedances | None = None, *,
    axes: Sequence[Any] | None = None, prefix: str | None = None,
) -> tuple[Any, Any]:
    """Bode plot: |Z| and phase against frequency; returns (modulus axes, phase axes)."""

def plot_residuals(
    model: _Model, frequencies: _Frequencies, impedances: _Impedances | None = None, *, ax: Any = None,
    band: float | None = None, verdict: bool = True,
) -> Any:
    """Relative residuals (Z - Z_model) / |Z| in percent, real and imaginary
    parts, against frequency; returns the axes."""

def plot_fit(
    model: _Model | None, frequencies: _Frequencies, impedances: _Impedances | None = None, *,
    axes: Sequence[Any] | None = None, title: str | None = None, table: bool | Any = False,
    decades: bool = True, inset: Literal["auto"] | bool | float | None = "auto", prefix: str | None = None,
) -> list[Any]:
    """Nyquist, Bode (|Z| and phase) and relative residuals of a model against
    a spectrum, on four axes (passed, or a new 2 x 2 figure); returns them."""

# ---------------------------------------------------------------- many spectra
# One spectrum of a batch: a (frequencies, impedances) pair or a Battery
# Data Format dataframe.
_Spectrum = tuple[_Frequencies, _Impedances] | _Frame
_Backend = Literal["pandas", "polars"]

class BatchResult(Sequence[FitResult | BaseException]):
    """The results of `fit_batch`, in input order."""
    ids: list[Any]
    results: list[FitResult | BaseException]
    circuit: Circuit
    def __init__(self, ids: Iterable[Any], results: Iterable[FitResult | BaseException], circuit: Circuit) -> None: ...
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int) -> FitResult | BaseException: ...
    @overload
    def __getitem__(self, index: slice) -> list[FitResult | BaseException]: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __reduce__(self) -> tuple[Any, tuple[list[Any], list[FitResult | BaseException], Circuit]]: ...
    @property
    def errors(self) -> dict[Any, BaseException]:
        """{id: exception} of the spectra that failed."""
    @property
    def fitted(self) -> dict[Any, FitResult]:
        """{id: FitResult} of the spectra that were fitted."""
    def to_dataframe(self, backend: _Backend = "pandas", id_name: str = "id") -> Any:
        """One row per spectrum, in input order: the id, every parameter (in
        `circuit.param_names()` order), its standard error "{name}_stderr",
        cost, chi_square, success, iterations, impedance_evals and the error
        text ("error", empty for fitted spectra). `backend` is "pandas" or
        "polars"."""
    def to_dict(self) -> dict[str, Any]:
        """This result as a versioned dict of JSON types ("format":
        "velotz.BatchResult", "version": 1, one key per attribute); floats by value,
        complex numbers as [re, im], arrays as lists."""
    def to_json(self, *, indent: int | None = None) -> str:
        """This result as strict JSON text (`to_dict()`, every float exact)."""
    @classmethod
    def from_dict(cls, document: Mapping[str, Any]) -> BatchResult:
        """The result a `to_dict()` document describes; raises ValueError or
        TypeError, naming the entry, for a document it cannot trust."""
    @classmethod
    def from_json(cls, text: str | bytes | bytearray) -> BatchResult:
        """The result JSON text written by `to_json()` describes."""
    def _repr_html_(self) -> str:
        """This result as HTML for notebooks (a table, with a small SVG picture where it helps)."""

def fit_batch(
    circuit: Circuit | str,
    spectra: Sequence[_Spectrum] | Mapping[Any, _Spectrum] | _Frame,
    *,
    ids: Iterable[Any] | None = None,
    id_column: str | None = None,
    seeds: Sequence[int | None] | None = None,
    progress: bool | Callable[[int, int], object] = False,
    progress_interval: float = 0.1,
    guess_init: bool | None = None,
    weights: str | os.PathLike[str] | None = None,
    weight: Literal["modulus", "unit"] | str = "modulus",
    method: _Method = "levenberg_marquardt",
    max_iterations: int = 200,
    ftol: float = 1e-8,
    xtol: float = 1e-8,
    num_particles: int = 200,
    generations: int = 1000,
    nelder_mead_iterations: int = 2000,
    de_evaluations: int = 20000,
    sa_iterations: int = 5000,
    sa_initial_temperature: float = 2.0,
    basin_hopping_hops: int = 20,
    basin_hopping_step_size: float = 1.0,
    basin_hopping_temperature: float = 1.0,
    seed: int | None = None,
) -> BatchResult:
    """Fit `circuit` to many spectra, each independently, on all cores."""

def to_dataframe(
    results: FitResult | BatchResult | Iterable[FitResult | BaseException],
    backend: _Backend = "pandas",
    ids: Iterable[Any] | None = None,
    id_name: str = "id",
) -> Any:
    """Fit results as a pandas or polars DataFrame, one row per result."""

# ---------------------------------------------------------------- uncertainty
class BootstrapResult:
    """Parameters refitted to resampled spectra, and their percentile intervals."""
    names: list[str]
    samples: NDArray[np.float64]
    failed: int
    n: int
    level: float
    seed: int | None
    def __init__(self, names: Sequence[str], samples: NDArray[np.float64], failed: int, n: int, level: float,
                 seed: int | None) -> None: ...
    def conf_int(self, level: float | None = None) -> dict[str, tuple[float, float]]:
        """Percentile intervals {name: (lower, upper)} of the refitted values."""
    @property
    def intervals(self) -> dict[str, tuple[float, float]]:
        """The percentile intervals at ``level``, {name: (lower, upper)}."""
    @property
    def stderr(self) -> dict[str, float]:
        """Standard deviation of the refitted values, {name: value}."""
    def to_dict(self) -> dict[str, Any]:
        """This result as a versioned dict of JSON types ("format":
        "velotz.BootstrapResult", "version": 1, one key per attribute); floats by value,
        complex numbers as [re, im], arrays as lists."""
    def to_json(self, *, indent: int | None = None) -> str:
        """This result as strict JSON text (`to_dict()`, every float exact)."""
    @classmethod
    def from_dict(cls, document: Mapping[str, Any]) -> BootstrapResult:
        """The result a `to_dict()` document describes; raises ValueError or
        TypeError, naming the entry, for a document it cannot trust."""
    @classmethod
    def from_json(cls, text: str | bytes | bytearray) -> BootstrapResult:
        """The result JSON text written by `to_json()` describes."""

def bootstrap(
    result: FitResult,
    frequencies: _Frequencies,
    impedances: _Impedances | None = None,
    *,
    n: int = 1000,
    seed: int | None = 0,
    level: float = 0.95,
    weight: Literal["modulus", "unit"] | str = "modulus",
    progress: bool | Callable[[int, int], object] = False,
    progress_interval: float = 0.1,
    guess_init: bool | None = None,
    weights: str | os.PathLike[str] | None = None,
    method: _Method = "levenberg_marquardt",
    max_iterations: int = 200,
    ftol: float = 1e-8,
    xtol: float = 1e-8,
    num_particles: int = 200,
    generations: int = 1000,
    nelder_mead_iterations: int = 2000,
    de_evaluations: int = 20000,
    sa_iterations: int = 5000,
    sa_initial_temperature: float = 2.0,
    basin_hopping_hops: int = 20,
    basin_hopping_step_size: float = 1.0,
    basin_hopping_temperature: float = 1.0,
) -> BootstrapResult:
    """Bootstrap confidence intervals of a fit's free parameters."""

def check_data(
    frequencies: _Frequencies, impedances: _Impedances | None = None, n_params: int | None = None
) -> Diagnosis:
    """Findings about a spectrum itself, before any fit: what a user may have
    got wrong."""

def fit_robust(
    circuit: Circuit,
    frequencies: _Frequencies,
    impedances: _Impedances | None = None,
    *,
    weight: Literal["modulus", "unit"] | str = "modulus",
    seed: int = 0,
    hops: int = 8,
) -> FitResult:
    """Fit `circuit` from several starts and return the best sound result."""

# ---------------------------------------------------------------- instrument files
_Path = str | os.PathLike[str]
_Format = Literal["gamry", "mpt", "mpr", "zplot", "autolab", "chi", "parstat", "versastudio", "powersuite",
                  "ivium", "csv", "excel"] | str
_ReadBackend = Literal["pandas", "polars", "numpy"]
# What `columns` maps: a role ("frequency", "real", "imag", "-imag",
# "modulus", "phase", "-phase", "time", "voltage", "current", "cycle",
# "sweep", or a Battery Data Format name) to a column name or position, or
# a column name to a role.
_Columns = Mapping[str | int, str | int]

def read(
    path: _Path,
    format: _Format | None = None,
    columns: _Columns | None = None,
    backend: _ReadBackend = "pandas",
    *,
    encoding: str | None = None,
    sheet: str | int | None = None,
) -> Any:
    """Read the impedance spectrum (or spectra) in an instrument file."""

def read_many(
    paths: _Path | Iterable[_Path],
    format: _Format | None = None,
    columns: _Columns | None = None,
    backend: _ReadBackend = "pandas",
    *,
    encoding: str | None = None,
    sheet: str | int | None = None,
) -> Any:
    """Read many instrument files into one long frame for fit_batch."""

# ---------------------------------------------------------------- distribution of relaxation times
class DRTResult:
    """The distribution of relaxation times of one spectrum."""
    frequencies: NDArray[np.float64]
    impedances: NDArray[np.complex128]
    tau: NDArray[np.float64]
    gamma: NDArray[np.float64]
    r_inf: float
    inductance: float | None
    z_fit: NDArray[np.complex128]
    residuals: NDArray[np.complex128]
    lam: float
    method: Literal["gcv", "mgcv", "mgcv-corr", "gcv-corr", "given"]
    peaks: list[tuple[float, float, float]]
    centres: NDArray[np.float64]
    coefficients: NDArray[np.float64]
    epsilon: float
    derivative: int
    part: Literal["both", "real", "imag"]
    weighting: Literal["modulus", "unit"]
    gcv_lambdas: NDArray[np.float64]
    gcv_scores: NDArray[np.float64]
    @property
    def frequency(self) -> NDArray[np.float64]:
        """The relaxation frequencies 1/(2 pi tau) of the grid, Hz."""
    @property
    def polarization_resistance(self) -> float:
        """The integral of gamma over ln tau, ohm."""
    def summary(self) -> str:
        """The result in a few lines: series terms, lambda and every peak."""
    def to_dataframe(self) -> Any:
        """gamma as a pandas DataFrame: columns tau, frequency, gamma."""
    def to_dict(self) -> dict[str, Any]:
        """This result as a versioned dict of JSON types ("format":
        "velotz.DRTResult", "version": 1, one key per attribute); floats by value,
        complex numbers as [re, im], arrays as lists."""
    def to_json(self, *, indent: int | None = None) -> str:
        """This result as strict JSON text (`to_dict()`, every float exact)."""
    @classmethod
    def from_dict(cls, document: Mapping[str, Any]) -> DRTResult:
        """The result a `to_dict()` document describes; raises ValueError or
        TypeError, naming the entry, for a document it cannot trust."""
    @classmethod
    def from_json(cls, text: str | bytes | bytearray) -> DRTResult:
        """The result JSON text written by `to_json()` describes."""
    def _repr_html_(self) -> str:
        """This result as HTML for notebooks (a table, with a small SVG picture where it helps)."""
    def _repr_pretty_(self, p: Any, cycle: bool) -> None:
        """The representation, then the summary in words (IPython)."""

def drt(
    frequencies: _Frequencies,
    impedances: _Impedances | None = None,
    *,
    lam: float | Literal["gcv", "mgcv", "mgcv-corr", "gcv-corr"] | None = "gcv-corr",
    derivative: int = 2,
    part: Literal["both", "real", "imag"] = "both",
    weighting: Literal["modulus", "unit"] = "modulus",
    inductance: bool = True,
    shape: float = 0.5,
    max_centres: int = 400,
) -> DRTResult:
    """Distribution of relaxation times of a spectrum."""

def plot_drt(
    result: DRTResult, *, ax: Any = None, x: Literal["tau", "frequency"] = "tau", peaks: bool = True,
    prefix: str | None = None,
) -> Any:
    """gamma of a ``DRTResult`` against tau or the relaxation frequency, peaks marked; returns the axes."""
def define_element(
    code: str,
    fields: Sequence[str],
    formula: str,
    *,
    bounds: Sequence[tuple[float, float]] | None = None,
    units: Sequence[str] | None = None,
    defaults: Sequence[float] | None = None,
) -> None:
    """Define an element of your own from an impedance formula in s = jω (compiled, no Python evaluation); its code is usable in circuit texts from then on."""
