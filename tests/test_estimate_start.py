"""Circuit.estimate_start: starting values read from the spectrum, for any circuit.

Spectra are synthesised here with numpy from the element formulas, so the
cost at the true values is known independently of the module.
"""

import warnings

import numpy as np
import pytest

import velotz

TWO_PI = 2 * np.pi


def zarc(w, r, tau, alpha):
    return r / (1 + (1j * w * tau) ** alpha)


def rq(w, r, q, alpha):
    return r / (1 + r * q * (1j * w) ** alpha)


def randles(w, r, aw, q, alpha):
    zw = aw / np.sqrt(w) * (1 - 1j)
    return 1 / (1 / (r + zw) + q * (1j * w) ** alpha)


def warburg_open(w, z0, tau):
    u = np.sqrt(1j * w * tau)
    return z0 / (u * np.tanh(u))


# circuit text, true values in param_names() order, numpy model of w
CASES = {
    "three_rq": (
        "R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)",
        [10.0, 50.0, 1e-6, 0.9, 200.0, 1e-4, 0.8, 100.0, 1e-2, 0.85],
        lambda w, p: p[0] + rq(w, *p[1:4]) + rq(w, *p[4:7]) + rq(w, *p[7:10]),
    ),
    "three_rq_l": (
        "L0-R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)",
        [2e-6, 0.05, 0.02, 0.5, 0.95, 0.04, 5.0, 0.8, 0.03, 100.0, 0.6],
        lambda w, p: 1j * w * p[0] + p[1] + rq(w, *p[2:5]) + rq(w, *p[5:8]) + rq(w, *p[8:11]),
    ),
    "randles_wo": (
        "R0-(R1-Wo1,CPE1)",
        [20.0, 300.0, 150.0, 5.0, 2e-5, 0.9],
        lambda w, p: p[0] + 1 / (1 / (p[1] + warburg_open(w, p[2], p[3])) + p[4] * (1j * w) ** p[5]),
    ),
    "zarc_randles": (
        "R0-Zarc1-(R2-W2,CPE2)",
        [5.0, 40.0, 1e-4, 0.85, 100.0, 30.0, 1e-3, 0.9],
        lambda w, p: p[0] + zarc(w, *p[1:4]) + randles(w, *p[4:8]),
    ),
    "two_k": (
        "R0-K1-K2",
        [100.0, 1000.0, 1e-5, 3000.0, 1e-2],
        lambda w, p: p[0] + p[1] / (1 + 1j * w * p[2]) + p[3] / (1 + 1j * w * p[4]),
    ),
    "rq_blocking": (
        "R0-(R1,CPE1)-CPE2",
        [50.0, 500.0, 1e-6, 0.85, 1e-4, 0.9],
        lambda w, p: p[0] + rq(w, *p[1:4]) + 1 / (p[4] * (1j * w) ** p[5]),
    ),
    "rc_warburg_l": (
        "L0-R0-(R1,C1)-W1",
        [5e-7, 1.0, 3.0, 1e-3, 0.5],
        lambda w, p: 1j * w * p[0] + p[1] + p[2] / (1 + 1j * w * p[2] * p[3]) + p[4] / np.sqrt(w) * (1 - 1j),
    ),
    "nested": (
        "R0-(C1,R1-(C2,R2))",
        [10.0, 1e-7, 100.0, 1e-3, 500.0],
        lambda w, p: p[0] + 1 / (1j * w * p[1] + 1 / (p[2] + p[4] / (1 + 1j * w * p[4] * p[3]))),
    ),
}


def spectrum(case, noise=0.01, seed=3, lo=-2, hi=5, points=60):
    text, truth, model = CASES[case]
    f = np.logspace(lo, hi, points)
    z = model(TWO_PI * f, np.array(truth))
    rng = np.random.default_rng(seed)
    z = z + noise * np.abs(z) * (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size))
    return text, truth, model, f, z


def numpy_cost(model, p, f, z):
    zm = model(TWO_PI * f, np.asarray(p, dtype=float))
    r = (zm - z) / np.abs(z)
    return 0.5 * float(np.sum(r.real ** 2 + r.imag ** 2))


@pytest.mark.parametrize("case", sorted(CASES))
def test_fit_from_the_estimate_reaches_the_cost_at_the_truth(case):
    text, truth, model, f, z = spectrum(case)
    circuit = velotz.Circuit(text)
    assert circuit.param_names() and len(truth) == len(circuit.param_names())
    start = circuit.estimate_start(f, z)
    assert start.param_names() == circuit.param_names()
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # values given: no warning, no guess
        result = start.fit(f, z)
    cost_truth = numpy_cost(model, truth, f, z)
    fitted = [result.params[n] for n in circuit.param_names()]
    assert numpy_cost(model, fitted, f, z) <= 1.02 * cost_truth


@pytest.mark.parametrize("case", sorted(CASES))
def test_estimate_is_finite_and_inside_the_bounds(case):
    text, _, model, f, z = spectrum(case, noise=0.03, seed=9)
    circuit = velotz.Circuit(text)
    values = circuit.estimate_start(f, z).param_values()
    for v, (lo, hi) in zip(values, circuit.param_bounds()):
        assert np.isfinite(v) and lo < v < hi
    # a start far better than the placeholders
    assert numpy_cost(model, values, f, z) < numpy_cost(model, circuit.param_values(), f, z)


def test_series_resistance_inductance_and_arc_come_from_the_spectrum():
    # no noise, one ideal arc and a visible inductive tail
    f = np.logspace(-1, 6, 71)
    w = TWO_PI * f
    l0, r0, r1, c1 = 3e-6, 2.0, 8.0, 2e-4
    z = 1j * w * l0 + r0 + r1 / (1 + 1j * w * r1 * c1)
    got = velotz.Circuit("L0-R0-(R1,C1)").estimate_start(f, z).param_values()
    np.testing.assert_allclose(got, [l0, r0, r1, c1], rtol=1e-3)


def test_cpe_exponent_from_the_arc_depression():
    f = np.logspace(-2, 6, 81)
    z = 15.0 + zarc(TWO_PI * f, 300.0, 1e-3, 0.7)
    names = velotz.Circuit("R0-Zarc1").param_names()
    got = dict(zip(names, velotz.Circuit("R0-Zarc1").estimate_start(f, z).param_values()))
    assert got["Zarc1.gamma"] == pytest.approx(0.7, abs=0.01)
    assert got["Zarc1.tau_k"] == pytest.approx(1e-3, rel=0.05)


def test_warburg_from_the_low_frequency_slope():
    f = np.logspace(-3, 4, 71)
    w = TWO_PI * f
    z = 10.0 + 25.0 / np.sqrt(w) * (1 - 1j)
    got = velotz.Circuit("R0-W1").estimate_start(f, z).param_values()
    np.testing.assert_allclose(got, [10.0, 25.0], rtol=1e-3)


def test_arcs_follow_the_written_order_of_unlike_blocks():
    # a fast plain arc and a slow arc with diffusion, written slow one first
    f = np.logspace(-3, 6, 90)
    w = TWO_PI * f
    z = 5.0 + rq(w, 40.0, 1e-6, 0.9) + randles(w, 100.0, 20.0, 1e-3, 0.85)
    circuit = velotz.Circuit("R0-(R2-W2,CPE2)-(R1,CPE1)")
    got = dict(zip(circuit.param_names(), circuit.estimate_start(f, z).param_values()))
    assert got["R2.r"] == pytest.approx(100.0, rel=0.05)
    assert got["R1.r"] == pytest.approx(40.0, rel=0.05)


def test_dataframe_input_and_weight_scheme():
    text, _, _, f, z = spectrum("two_k")
    frame = {"Frequency / Hz": list(f), "Real Impedance / ohm": list(z.real),
             "Imaginary Impedance / ohm": list(z.imag)}
    circuit = velotz.Circuit(text)
    assert circuit.estimate_start(frame).param_values() == circuit.estimate_start(f, z).param_values()
    unit = circuit.estimate_start(f, z, weight="unit").param_values()
    assert all(np.isfinite(unit))
    with pytest.raises(ValueError, match="Modulus"):
        circuit.estimate_start(f, z, weight="Modulus")


@pytest.mark.parametrize("points", [0, 1, 2])
def test_too_few_points_keep_the_circuit_values(points):
    circuit = velotz.Circuit("R0-(R1,CPE1)")
    f = [10.0, 100.0][:points]
    z = [complex(2, -1), complex(1.5, -0.5)][:points]
    assert circuit.estimate_start(f, z).param_values() == circuit.param_values()


def test_non_finite_points_are_ignored():
    text, _, _, f, z = spectrum("two_k", noise=0.0)
    bad = z.copy()
    bad[[3, 20]] = np.nan
    circuit = velotz.Circuit(text)
    values = circuit.estimate_start(f, bad).param_values()
    assert all(np.isfinite(values))


@pytest.mark.parametrize("text", ["L0", "C0", "(R0,R1)", "R0-(C1,L1)", "K0", "T0", "Tlmq0", "Gs0", "Ws0-Wo1",
                                  "La0-R0-G1", "R0-(R1-(R2,C2),C1)", "R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)-(R4,CPE4)"
                                  "-(R5,CPE5)-(R6,CPE6)"])
def test_every_element_kind_gets_finite_values_inside_its_bounds(text):
    f = np.logspace(-2, 5, 50)
    w = TWO_PI * f
    z = 2.0 + rq(w, 30.0, 1e-5, 0.9) + randles(w, 80.0, 15.0, 1e-3, 0.85)
    circuit = velotz.Circuit(text)
    values = circuit.estimate_start(f, z).param_values()
    assert len(values) == len(circuit.param_names())
    for v, (lo, hi) in zip(values, circuit.param_bounds()):
        assert np.isfinite(v) and lo <= v <= hi


@pytest.mark.parametrize("constrain", [
    lambda c: c.with_fixed({"R0.r": 12.5}),
    lambda c: c.with_bounds({"CPE1.alpha": (0.5, 0.7)}),
    lambda c: c.with_fixed({"R0.r": 12.5}).with_bounds({"CPE1.alpha": (0.5, 0.7)}),
], ids=["fixed", "bounds", "both"])
def test_estimate_keeps_the_circuit_constraints(constrain):
    f = np.logspace(-2, 5, 50)
    z = 10.0 + rq(TWO_PI * f, 100.0, 2e-5, 0.9)
    circuit = constrain(velotz.Circuit("R0-(R1,CPE1)"))
    started = circuit.estimate_start(f, z)
    assert started.fixed_params() == circuit.fixed_params()
    assert started.custom_bounds() == circuit.custom_bounds()
    values = dict(zip(started.param_names(), started.param_values()))
    for name, value in circuit.fixed_params().items():
        assert values[name] == value
    for name, (lo, hi) in circuit.custom_bounds().items():
        assert lo <= values[name] <= hi


@pytest.mark.parametrize("case", ["three_rq", "randles_wo", "rc_warburg_l"])
@pytest.mark.parametrize("points", [2048, 2049, 30000])
def test_long_spectra_are_estimated_as_well_as_short_ones(case, points):
    # Long spectra are thinned for costing the candidates; the shape is still
    # read from every point, and the fit from the estimate reaches the truth.
    text, truth, model, f, z = spectrum(case, points=points)
    start = velotz.Circuit(text).estimate_start(f, z)
    values = start.param_values()
    assert all(np.isfinite(values))
    result = start.fit(f, z)
    fitted = [result.params[n] for n in start.param_names()]
    assert numpy_cost(model, fitted, f, z) <= 1.02 * numpy_cost(model, truth, f, z)


@pytest.mark.parametrize("sep, seed", [(0.5, 1), (0.75, 0), (0.75, 1), (0.75, 3)])
def test_arcs_that_minus_im_z_merges_are_placed_from_the_drt(sep, seed):
    # Two depressed arcs less than a decade apart show one peak of -Im Z;
    # the estimate itself (before any fit) reaches the cost of the fit
    # from the true values.
    f = np.logspace(5, -2, 50)
    w = TWO_PI * f
    taus = (1e-3, 1e-3 * 10 ** sep)
    z = 10 + zarc(w, 30, taus[0], 0.75) + zarc(w, 100, taus[1], 0.75)
    rng = np.random.default_rng(seed)
    z = z + 0.005 * np.abs(z) * (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size))
    c = velotz.Circuit("R0-(R1,CPE1)-(R2,CPE2)")
    truth = [10, 30, taus[0] ** 0.75 / 30, 0.75, 100, taus[1] ** 0.75 / 100, 0.75]
    best = c.with_values(truth).fit(f, z, guess_init=False).cost
    est = c.estimate_start(f, z)
    r = np.asarray(est.residuals(est.param_values(), f, z))
    assert 0.5 * r @ r <= 1.01 * best
