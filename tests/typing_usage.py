"""Every public function and class used as documented, with the types the
stubs promise. Checked by mypy --strict (test_typing.py) and also run."""
from __future__ import annotations

import matplotlib

matplotlib.use("Agg")
import numpy as np  # noqa: E402
from numpy.typing import NDArray  # noqa: E402

import velotz  # noqa: E402
from velotz import (  # noqa: E402
    C, Circuit, Comparison, ComparisonEntry, Cpe, Diagnosis, Element, Finding, FitResult,
    KramersKronigResult, Parallel, R, Series,
)


def main() -> None:
    frequencies: NDArray[np.float64] = np.logspace(5, -1, 40)
    circuit = Circuit("R0-(R1,CPE1)")
    truth = circuit.with_named_values({"R0.r": 10.0, "R1.r": 100.0, "CPE1.q": 2e-5, "CPE1.alpha": 0.9})
    impedances: NDArray[np.complex128] = truth.impedance(frequencies)
    listed: list[complex] = [complex(z) for z in impedances]

    names: list[str] = circuit.param_names()
    units: list[str] = circuit.param_units()
    bounds: list[tuple[float, float]] = circuit.param_bounds()
    values: list[float] = truth.param_values()
    again: Circuit = truth.with_values(values)
    guess: list[float] = circuit.guess(frequencies, listed)
    models: list[str] = Circuit.ml_circuits()
    result: FitResult = circuit.fit(frequencies, impedances, method="levenberg_marquardt", seed=1)
    stderr: dict[str, float] | None = result.stderr
    params: dict[str, float] = result.params
    fitted: Circuit = result.circuit
    scalars: tuple[bool, int, int, float, float] = (
        result.success, result.iterations, result.impedance_evals, result.cost, result.chi_square)
    residuals: list[float] = circuit.residuals(values, frequencies, impedances)
    jacobian: list[list[float]] = circuit.jacobian(values, frequencies, impedances, weight="unit")

    element: Element = R(5.0)
    resistance: float = R(5.0).r
    cpe_alpha: float = Cpe(1e-3, 0.8).alpha
    joined: Circuit = Series([R(1.0), Parallel([R(2.0), C(1e-3)])])
    variant = Element.Zarc(1.0, 1e-3, 0.8)
    gamma: float = variant.gamma

    kk: KramersKronigResult = velotz.kramers_kronig(frequencies, impedances, c=0.85, add_capacitance=True)
    passed: bool = kk.passed
    kk_residuals: NDArray[np.float64] = kk.residuals_real
    diagnosis: Diagnosis = velotz.diagnose(result, frequencies, impedances)
    findings: list[Finding] = list(diagnosis)
    flagged: list[str] = diagnosis.flagged()
    comparison: Comparison = velotz.compare(frequencies, impedances, circuits=["rq", "two_rq", truth],
                                            criterion="bic", max_iterations=100)
    best: ComparisonEntry | None = comparison.best
    recommended: ComparisonEntry | None = comparison.recommended
    rows = comparison.rows()
    axes = velotz.plot_fit(result, frequencies, impedances, title="fit")
    nyquist = velotz.plot_nyquist(kk, frequencies, impedances)
    modulus, phase = velotz.plot_bode(circuit, frequencies, impedances)
    resid_ax = velotz.plot_residuals(result, frequencies, impedances)
    version: str = velotz.__version__

    assert len(names) == len(units) == len(bounds) == len(guess) == 4
    assert again.param_values() == values and fitted.param_names() == names and len(models) == 11
    assert params.keys() == set(names) and stderr is not None and scalars[0]
    assert len(residuals) == 80 and len(jacobian) == 80 and element.r == resistance == 5.0  # type: ignore[attr-defined]
    assert cpe_alpha == 0.8 and gamma == 0.8 and joined.param_names() and passed is kk.passed
    assert kk_residuals.shape == (40,) and isinstance(findings, list) and isinstance(flagged, list)
    assert best is not None and recommended is not None and len(rows) == 3 and len(axes) == 4 and version
    assert nyquist is not None and modulus is not None and phase is not None and resid_ax is not None


if __name__ == "__main__":
    main()
