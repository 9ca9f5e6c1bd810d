"""Every public function and class used as documented, with the types the
stubs promise. Checked by mypy --strict (test_typing.py) and also run."""
from __future__ import annotations

import copy
import pickle
from typing import Any

import matplotlib

matplotlib.use("Agg")
import numpy as np  # noqa: E402
from numpy.typing import NDArray  # noqa: E402

import velotz  # noqa: E402
from velotz import (  # noqa: E402
    BatchResult, BootstrapResult, C, Circuit, Comparison, ComparisonEntry, Cpe, Diagnosis, DRTResult, Element, Finding,
    FitResult,
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
    started: Circuit = Circuit("R0-(R1,CPE1)-W2").estimate_start(frequencies, impedances)
    assert started.param_names() == ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha", "W2.aw"]
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
    auto_kk: KramersKronigResult = velotz.kramers_kronig(frequencies, impedances, tolerance=0.02)
    outlier_hz: NDArray[np.float64] = auto_kk.outlier_frequencies
    ranges: list[tuple[float, float]] = auto_kk.systematic
    verdict: str = auto_kk.summary()
    noise_level: float = auto_kk.noise
    data_findings: Diagnosis = velotz.check_data(frequencies, impedances, n_params=4)
    problems: list[Finding] = data_findings.problems + data_findings.notes
    severity: str = problems[0].severity if problems else "problem"
    diagnosis: Diagnosis = velotz.diagnose(result, frequencies, impedances, noise=noise_level)
    problem_kinds: list[str] = diagnosis.kinds("problem")
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

    # Fixed parameters and custom bounds.
    held: Circuit = truth.with_fixed({"R0.r": 10.0}).with_bounds({"CPE1.alpha": (0.5, 0.95), "R1.r": None})
    held_by_name: Circuit = truth.with_fixed("R0.r").with_fixed(["R1.r"]).with_free(["R1.r"])
    released: Circuit = held.with_free()
    fixed: dict[str, float] = held.fixed_params()
    custom: dict[str, tuple[float, float]] = held.custom_bounds()
    free_names: list[str] = held.free_param_names()
    free_values: list[float] = held.free_param_values()
    held_result: FitResult = held.fit(frequencies, impedances)

    # Objects that travel: pickles, copies, equality and hashes.
    back: Circuit = pickle.loads(pickle.dumps(held))
    same: bool = back == held and hash(back) == hash(held) and copy.deepcopy(held) is held
    reduced = held_result.__reduce__()
    element_hash: int = hash(R(5.0))

    # Many spectra in one call, and results as tables.
    spectra = [(frequencies, impedances), (frequencies, impedances * 1.1)]
    batch: BatchResult = velotz.fit_batch(held, spectra, ids=["a", "b"], method="levenberg_marquardt",
                                          progress=lambda done, total: None)
    by_text: BatchResult = velotz.fit_batch("R0-(R1,CPE1)", {"x": (frequencies, impedances)}, seed=3)
    first = batch[0]
    items: list[FitResult | BaseException] = batch[0:2]
    fitted_by_id: dict[object, FitResult] = batch.fitted
    errors: dict[object, BaseException] = batch.errors
    batch_table = batch.to_dataframe(backend="pandas", id_name="cell")
    table = velotz.to_dataframe([held_result, result], ids=[1, 2])
    single_row = velotz.to_dataframe(result, backend="polars")

    # Uncertainty: covariance, intervals, residuals, criteria, bootstrap.
    order: list[str] = held_result.free_names
    covariance: NDArray[np.float64] | None = held_result.covariance
    correlation: NDArray[np.float64] | None = held_result.correlation
    intervals: dict[str, tuple[float, float]] | None = held_result.conf_int(level=0.9)
    fit_residuals: NDArray[np.float64] | None = result.residuals
    criteria: tuple[float | None, float | None, int | None] = (result.aic, result.bic, result.n_points)
    boot: BootstrapResult = velotz.bootstrap(held_result, frequencies, impedances, n=20, seed=1,
                                             max_iterations=50)
    boot_intervals: dict[str, tuple[float, float]] = boot.conf_int(0.8)
    boot_spread: dict[str, float] = boot.stderr
    # Instrument files in: one file, and many files as one long frame.
    import tempfile
    from pathlib import Path

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "cell.csv"
        path.write_text("freq,Zreal,Zimag\n" + "".join(
            f"{f!r},{z.real!r},{z.imag!r}\n" for f, z in zip(frequencies.tolist(), impedances.tolist())))
        read_frame = velotz.read(path, columns={"frequency": "freq"}, backend="pandas")
        read_result: FitResult = circuit.fit(read_frame)
        read_columns = velotz.read(str(path), format="csv", backend="numpy")
        long_frame = velotz.read_many(Path(folder) / "*.csv")
        many: BatchResult = velotz.fit_batch(circuit, long_frame, id_column="Spectrum")

    # Distribution of relaxation times: the result, its peaks, table and plot.
    dist: DRTResult = velotz.drt(frequencies, impedances, derivative=2, part="both", weighting="modulus")
    given: DRTResult = velotz.drt(frequencies, listed, lam=1e-3, inductance=False)
    drt_peaks: list[tuple[float, float, float]] = dist.peaks
    drt_gamma: NDArray[np.float64] = dist.gamma
    drt_residuals: NDArray[np.complex128] = dist.residuals
    drt_text: str = dist.summary()
    drt_table = dist.to_dataframe()
    drt_ax = velotz.plot_drt(dist, x="frequency")
    drt_copy: DRTResult = pickle.loads(pickle.dumps(given))

    # Circuits and results as data (dicts, JSON) and in notebooks (HTML).
    circuit_text: str = held.text
    circuit_doc: dict[str, Any] = held.to_dict()
    circuit_back: Circuit = Circuit.from_json(held.to_json(indent=2))
    result_back: FitResult = FitResult.from_dict(held_result.to_dict())
    result_json: FitResult = FitResult.from_json(held_result.to_json().encode())
    kk_back: KramersKronigResult = KramersKronigResult.from_json(kk.to_json())
    diagnosis_back: Diagnosis = Diagnosis.from_dict(diagnosis.to_dict())
    comparison_back: Comparison = Comparison.from_json(comparison.to_json())
    batch_back: BatchResult = BatchResult.from_dict(batch.to_dict())
    boot_back: BootstrapResult = BootstrapResult.from_json(boot.to_json())
    drt_back: DRTResult = DRTResult.from_dict(dist.to_dict())
    pages: list[str] = [held_result._repr_html_(), kk._repr_html_(), diagnosis._repr_html_(),
                        comparison._repr_html_(), batch._repr_html_(), dist._repr_html_()]

    assert len(names) == len(units) == len(bounds) == len(guess) == 4
    assert again.param_values() == values and fitted.param_names() == names and len(models) == 11
    assert params.keys() == set(names) and stderr is not None and scalars[0]
    assert len(residuals) == 80 and len(jacobian) == 80 and element.r == resistance == 5.0  # type: ignore[attr-defined]
    assert cpe_alpha == 0.8 and gamma == 0.8 and joined.param_names() and passed is kk.passed
    assert kk_residuals.shape == (40,) and isinstance(findings, list) and isinstance(flagged, list)
    assert best is not None and recommended is not None and len(rows) == 3 and len(axes) == 4 and version
    assert nyquist is not None and modulus is not None and phase is not None and resid_ax is not None
    assert fixed == {"R0.r": 10.0} and custom == {"CPE1.alpha": (0.5, 0.95)} and len(free_names) == 3
    assert len(free_values) == 3 and held_result.params["R0.r"] == 10.0 and released.fixed_params() == {}
    assert held_by_name.fixed_params() == {"R0.r": 10.0}
    assert held_result.stderr is not None and set(held_result.stderr) == set(free_names)
    assert same and back.fixed_params() == fixed and callable(reduced[0]) and isinstance(element_hash, int)
    assert batch.ids == ["a", "b"] and len(batch) == 2 and isinstance(first, FitResult) and len(items) == 2
    assert set(fitted_by_id) == {"a", "b"} and errors == {} and by_text.ids == ["x"]
    assert isinstance(batch.results[1], FitResult) and batch.results[1].params["R0.r"] == 10.0
    assert len(batch_table) == 2 and len(table) == 2 and len(single_row) == 1
    assert order == free_names and covariance is not None and covariance.shape == (3, 3)
    assert correlation is not None and intervals is not None and set(intervals) == set(order)
    assert fit_residuals is not None and fit_residuals.shape == (80,) and criteria[2] == 40
    assert boot.names == order and boot.samples.shape[1] == 3 and set(boot_intervals) == set(boot.intervals)
    assert set(boot_spread) == set(order)
    assert read_result.success and len(read_columns["Sweep"]) == 40 and len(many) == 1
    assert len(drt_peaks) >= 1 and drt_gamma.shape == dist.tau.shape and drt_residuals.shape == (40,)
    assert dist.method == "gcv-corr" and given.method == "given" and given.inductance is None and drt_text
    assert len(drt_table) == len(dist.tau) and drt_ax is not None and drt_copy.lam == given.lam == 1e-3
    assert circuit_text == "R0-(R1,CPE1)" and circuit_doc["format"] == "velotz.Circuit" and circuit_back == held
    assert result_back == held_result == result_json and kk_back.passed == kk.passed
    assert len(diagnosis_back) == len(diagnosis) and len(comparison_back) == 3 and batch_back == batch
    assert boot_back.names == boot.names and drt_back.lam == dist.lam and all("<table" in p for p in pages[:1])
    velotz.define_element("Qtyped", ["q", "alpha"], "1/(q*s^alpha)", bounds=[(1e-12, 1.0), (0.0, 1.0)],
                          units=["ohm^-1*s^alpha", "-"], defaults=[1e-3, 0.8])
    user_z: NDArray[np.complex128] = Circuit("R0-Qtyped1").impedance(frequencies)
    assert user_z.shape == (40,)


if __name__ == "__main__":
    main()
