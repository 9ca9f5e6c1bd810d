"""Circuit.residuals and Circuit.jacobian."""
import math

import numpy as np
import pytest

import velotz

RC = velotz.Circuit("R0-(R1,C1)")
P = [10.0, 100.0, 1e-5]
F = [1.0, 10.0, 100.0, 1000.0]


def model(p, f):
    w = 2 * np.pi * np.asarray(f)
    return p[0] + p[1] / (1 + 1j * w * p[1] * p[2])


DATA = model([12.0, 90.0, 2e-5], F)


def test_layout_and_modulus_weighting():
    r = RC.residuals(P, F, list(DATA))
    assert len(r) == 8
    diff = (model(P, F) - DATA) / np.abs(DATA)
    np.testing.assert_allclose(r[0::2], diff.real, rtol=1e-13)
    np.testing.assert_allclose(r[1::2], diff.imag, rtol=1e-13)


def test_unit_weighting_is_plain_difference():
    r = RC.residuals(P, F, list(DATA), weight="unit")
    diff = model(P, F) - DATA
    np.testing.assert_allclose(r[0::2], diff.real, rtol=1e-13)
    np.testing.assert_allclose(r[1::2], diff.imag, rtol=1e-13)


@pytest.mark.parametrize("z", [0j, complex(math.nan, 1.0)])
def test_degenerate_points_get_the_smallest_weight(z):
    r = velotz.Circuit("R0").residuals([2.0], [1.0], [z])
    # The weight is 1e-30, visible in the imaginary residual (0 - Im z)/w.
    assert r[1] == -z.imag / 1e-30
    if z == 0:
        assert r[0] == 2.0 / 1e-30
    else:
        assert math.isnan(r[0])


@pytest.mark.parametrize("weight", ["Unit", "Modulus", "abs", "", " unit"])
def test_weight_scheme_is_exact(weight):
    with pytest.raises(ValueError) as info:
        RC.residuals(P, F, list(DATA), weight=weight)
    assert str(info.value) == f'unknown weight scheme "{weight}", expected "modulus" or "unit"'


def test_jacobian_shape_and_values():
    J = RC.jacobian(P, F, list(DATA))
    assert len(J) == 8 and all(len(row) == 3 for row in J)
    J = np.array(J)
    w = np.abs(DATA)
    # Analytic derivatives of the model, divided by the weights.
    omega = 2 * np.pi * np.asarray(F)
    d = 1 + 1j * omega * P[1] * P[2]
    dR0 = np.ones_like(d) / w
    dR1 = (1 / d - P[1] * 1j * omega * P[2] / d**2) / w
    dC1 = (-P[1] * 1j * omega * P[1] / d**2) / w
    for k, dk in enumerate([dR0, dR1, dC1]):
        np.testing.assert_allclose(J[0::2, k], dk.real, rtol=1e-6, atol=1e-12)
        np.testing.assert_allclose(J[1::2, k], dk.imag, rtol=1e-6, atol=1e-12)


def test_jacobian_uses_central_difference_with_relative_step():
    # For r(p) = p - d the central difference is exact up to rounding in p ± h.
    p = 1000.0
    h = 6.0554544523933395e-06 * p
    J = velotz.Circuit("R0").jacobian([p], [1.0], [0.0], weight="unit")
    assert J[0][0] == ((p + h) - (p - h)) / (h + h)
    tiny = 1e-10
    h = 6.0554544523933395e-06 * 1e-8
    J = velotz.Circuit("R0").jacobian([tiny], [1.0], [0.0], weight="unit")
    assert J[0][0] == ((tiny + h) - (tiny - h)) / (h + h)


@pytest.mark.parametrize("params,freqs", [([], F), (P, [])])
def test_empty_jacobian_and_residuals(params, freqs):
    assert RC.jacobian(params, freqs, [1j] * len(freqs)) == []
    if params:
        assert RC.residuals(params, freqs, []) == []


def test_extra_params_are_ignored_and_get_zero_columns():
    J = np.array(RC.jacobian(P + [5.0], F, list(DATA)))
    assert J.shape == (8, 4) and np.all(J[:, 3] == 0.0)
    assert RC.residuals(P + [5.0], F, list(DATA)) == RC.residuals(P, F, list(DATA))


@pytest.mark.parametrize("method", ["residuals", "jacobian"])
def test_short_params_fail(method):
    with pytest.raises(ValueError, match="^impedance_from_iter: not enough values supplied$"):
        getattr(RC, method)([1.0, 2.0], F, list(DATA))


def test_dataframe_input_matches_two_sequences():
    df = {"Frequency / Hz": F, "Real Impedance / ohm": list(DATA.real), "Imaginary Impedance / ohm": list(DATA.imag)}
    assert RC.residuals(P, df) == RC.residuals(P, F, list(DATA))
    assert RC.jacobian(P, df, weight="unit") == RC.jacobian(P, F, list(DATA), weight="unit")


def test_scipy_least_squares_can_drive_the_circuit():
    optimize = pytest.importorskip("scipy.optimize")
    true = [12.0, 90.0, 2e-5]
    f = list(np.logspace(0, 5, 30))
    z = list(model(true, f))
    x0 = np.array([5.0, 50.0, 1e-5])
    res = optimize.least_squares(
        lambda p: RC.residuals(list(p), f, z), x0, jac=lambda p: RC.jacobian(list(p), f, z), x_scale="jac"
    )
    np.testing.assert_allclose(res.x, true, rtol=1e-6)


def test_failing_calls_do_not_leak(memory_is_flat):
    def failing():
        for call in (
            lambda: RC.residuals([1.0], F, list(DATA)),
            lambda: RC.jacobian(P, F, list(DATA), weight="x"),
            lambda: RC.residuals(P, {"Frequency / Hz": [1.0]}),
            lambda: RC.residuals(P, F, "abc"),
        ):
            try:
                call()
            except (ValueError, TypeError):
                pass
            else:
                raise AssertionError("expected a failure")

    memory_is_flat(failing, rounds=5, per_round=1000)


@pytest.mark.parametrize(
    "text,params",
    [
        ("R0-(R1,C1)", P),
        ("R0-(R1-W1,CPE1)-(R2-Wo2,CPE2)", [3.0, 40.0, 12.0, 2e-5, 0.9, 70.0, 8.0, 0.3, 1e-3, 0.7]),
        ("L0-Zarc1-(Tlmq2,(G3,Gs4)-T5)-La6-K7", [2e-6, 5.0, 1e-3, 0.8, 9.0, 2e-3, 0.75, 3.0, 0.1, 2.0, 0.2, 1.3,
                                                  4.0, 5.0, 0.6, 0.02, 1e-6, 0.9, 8.0, 1e-4]),
        ("R0-(R1,C1)", P + [7.0, math.nan]),
    ],
)
@pytest.mark.parametrize("weight", ["modulus", "unit"])
@pytest.mark.parametrize("points", [23, 700])  # 700 points: columns run on the worker pool
def test_jacobian_column_is_the_central_difference_of_residuals_bit_for_bit(text, params, weight, points):
    circuit = velotz.Circuit(text)
    f = list(np.logspace(-2, 5, points))
    z = list(circuit.with_values(params[: len(circuit.param_names())]).impedance(f) * (1 + 0.02j))
    J = np.array(circuit.jacobian(params, f, z, weight=weight))
    for k, p in enumerate(params):
        h = 6.0554544523933395e-06 * (1e-8 if math.isnan(p) else max(abs(p), 1e-8))
        plus = list(params)
        minus = list(params)
        plus[k] = p + h
        minus[k] = p - h
        want = (np.array(circuit.residuals(plus, f, z, weight=weight)) - np.array(circuit.residuals(minus, f, z, weight=weight))) / (h + h)
        np.testing.assert_array_equal(J[:, k], want)
