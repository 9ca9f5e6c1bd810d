"""Element impedances against the formulas written independently in numpy."""
import math

import numpy as np
import pytest

import velotz

W = np.logspace(-3, 6, 37) * 2 * np.pi  # angular frequencies
F = W / 6.283185307179586


def z_of(code, values, freqs=F):
    circuit = velotz.Circuit(code).with_values(values)
    return circuit.impedance(list(freqs))


def reference(code, p, w):
    s = 1j * w
    if code == "R0":
        return np.full_like(s, p[0])
    if code == "C0":
        return 1 / (s * p[0])
    if code == "L0":
        return s * p[0]
    if code == "La0":
        return (s * p[0]) ** p[1]
    if code in ("Cpe0", "CPE0"):
        return 1 / (p[0] * s ** p[1])
    if code == "W0":
        return p[0] / np.sqrt(w) * (1 - 1j)
    if code == "Wo0":
        u = np.sqrt(s * p[1])
        return p[0] / (u * np.tanh(u))
    if code == "Ws0":
        u = np.sqrt(s * p[1])
        return p[0] * np.tanh(u) / u
    if code == "G0":
        return p[0] / np.sqrt(1 + s * p[1])
    if code == "Gs0":
        v = np.sqrt(1 + s * p[1])
        return p[0] / (v * np.tanh(p[2] * v))
    if code == "K0":
        return p[0] / (1 + s * p[1])
    if code == "Zarc0":
        return p[0] / (1 + (s * p[1]) ** p[2])
    if code in ("Tlmq0", "TLMQ0"):
        zq = 1 / (p[1] * s ** p[2])
        return np.sqrt(p[0] * zq) / np.tanh(np.sqrt(p[0] / zq))
    if code == "T0":
        beta = np.sqrt(p[2] + s * p[3])
        # Beyond |Re β| > 20 the element takes coth β = ±1 and csch β = 0.
        saturated = np.abs(beta.real) > 20
        with np.errstate(all="ignore"):
            coth = np.where(saturated, np.sign(beta.real), 1 / np.tanh(beta))
            csch = np.where(saturated, 0, 1 / np.sinh(beta))
        return p[0] * coth / beta + p[1] * csch / beta
    raise AssertionError(code)


CASES = [
    ("R0", [12.5]),
    ("C0", [3.3e-6]),
    ("L0", [2e-7]),
    ("La0", [2e-6, 0.7]),
    ("La0", [2e-6, 0.5]),
    ("Cpe0", [1e-4, 0.85]),
    ("CPE0", [2e-3, 0.5]),
    ("W0", [35.0]),
    ("Wo0", [10.0, 0.2]),
    ("Ws0", [10.0, 0.2]),
    ("G0", [4.0, 0.03]),
    ("Gs0", [4.0, 0.03, 1.5]),
    ("K0", [50.0, 1e-3]),
    ("Zarc0", [50.0, 1e-3, 0.75]),
    ("Tlmq0", [30.0, 2e-3, 0.9]),
    ("TLMQ0", [30.0, 2e-3, 0.5]),
    ("T0", [3.0, 2.0, 0.5, 0.01]),
]


@pytest.mark.parametrize("code,values", CASES)
def test_element_matches_numpy_formula(code, values):
    got = z_of(code, values)
    want = reference(code, values, W)
    # tanh/sinh overflow in numpy beyond the saturation point; compare where finite.
    ok = np.isfinite(want)
    assert ok.sum() > 20
    np.testing.assert_allclose(got[ok], want[ok], rtol=1e-11, atol=0)


def test_resistor_is_exactly_real():
    z = z_of("R0", [7.25])
    assert np.all(z.real == 7.25) and np.all(z.imag == 0.0)


@pytest.mark.parametrize(
    "a,avalues,b,bvalues",
    [
        ("Cpe0", [2.5e-4, 1.0], "C0", [2.5e-4]),
        ("Zarc0", [80.0, 2e-3, 1.0], "K0", [80.0, 2e-3]),
        ("La0", [3e-6, 1.0], "L0", [3e-6]),
    ],
)
def test_unit_exponent_equals_ideal_element_bit_for_bit(a, avalues, b, bvalues):
    np.testing.assert_array_equal(z_of(a, avalues), z_of(b, bvalues))


@pytest.mark.parametrize(
    "code,values,expected",
    [
        ("La0", [123.0, 0.0], 1 + 0j),
        ("Cpe0", [4e-3, 0.0], 1 / 4e-3 + 0j),
        ("Zarc0", [9.0, 0.5, 0.0], 4.5 + 0j),
    ],
)
def test_zero_exponent_special_cases(code, values, expected):
    z = z_of(code, values)
    assert np.all(z == expected)


def test_warburg_at_zero_frequency_is_not_finite():
    z = z_of("W0", [1.0], [0.0])
    assert not np.isfinite(z.real[0]) and not np.isfinite(z.imag[0])


@pytest.mark.parametrize("code", ["Wo0", "Ws0"])
def test_finite_warburgs_switch_to_saturated_tangent_above_omega_tau_800(code):
    z0, tau = 3.0, 1.0
    w_above = np.nextafter(800.0, 1e9) * 1.000001
    w_below = 799.9
    above = z_of(code, [z0, tau], [w_above / 6.283185307179586])[0]
    u = np.sqrt(1j * w_above * tau)
    # Saturated: both forms collapse to z0 / u.
    assert abs(above - z0 / u) <= 1e-15 * abs(z0 / u)
    below = z_of(code, [z0, tau], [w_below / 6.283185307179586])[0]
    np.testing.assert_allclose(below, reference(code, [z0, tau], np.array([w_below]))[0], rtol=1e-12)


def test_transmission_line_csch_term_is_exactly_zero_once_saturated():
    # a = 0 leaves only b·csch(β)/β; with Re β > 20 that term is exactly 0,
    # while just below the switch it is tiny but not zero.
    tau = 1.0
    w_above = 801.0 * 2  # Re sqrt(j·w·tau) = sqrt(w·tau/2) > 20 for w·tau > 800
    above = z_of("T0", [0.0, 1.0, 0.0, tau], [w_above / 6.283185307179586])[0]
    assert above == 0
    w_below = 790.0
    below = z_of("T0", [0.0, 1.0, 0.0, tau], [w_below / 6.283185307179586])[0]
    assert below != 0
    np.testing.assert_allclose(below, reference("T0", [0.0, 1.0, 0.0, tau], np.array([w_below]))[0], rtol=1e-9)


def test_gerischer_saturation_uses_phi_times_v():
    # phi·Re v > 20 saturates tanh to exactly 1, so Gs equals G bit for bit.
    rg, tg = 2.0, 1e-3
    freqs = [0.01, 0.1, 1.0]
    gs = z_of("Gs0", [rg, tg, 25.0], freqs)
    g = z_of("G0", [rg, tg], freqs)
    np.testing.assert_array_equal(gs, g)


@pytest.mark.parametrize("w", [0.0, -5.0, math.inf, math.nan])
def test_non_finite_and_odd_frequencies_flow_through_without_error(w):
    z = velotz.Circuit("R0-(R1,C1)-Wo1").impedance([w / 6.283185307179586])
    assert z.shape == (1,) and z.dtype == np.complex128
