"""Fractional powers of s (La, Cpe, Zarc, Tlmq) against references written from
the formulas: mpmath at high precision for the power itself, numpy for whole
circuits, and fits that start at a circuit's own impedance."""
import math

import numpy as np
import pytest

import velotz


def ulps(a, b):
    """Distance in representable doubles between two float arrays."""
    def key(v):
        i = np.asarray(v, dtype=np.float64).view(np.int64)
        return np.where(i < 0, np.int64(-2**63) - i, i)
    return np.abs(key(a) - key(b))


def la_reference(w, l, a):
    """(j·ω·l)^a = (ω·l)^a·(c + j s): the power exact at 100 bits, the
    direction (c, s) = (cos, sin) of the double a·π/2 as the element takes it
    (its conditioning is not the power's), each part rounded once."""
    mpmath = pytest.importorskip("mpmath")
    half_pi = 1.5707963267948966
    c, s = math.cos(a * half_pi), math.sin(a * half_pi)
    with mpmath.workprec(100):
        m = mpmath.power(mpmath.mpf(w) * mpmath.mpf(l), mpmath.mpf(a))
        return float(m * c), float(m * s)


@pytest.mark.parametrize("alpha", [0.85, 0.123456789, 0.999, 1e-3, 1.37, 2.5, -0.6])
def test_la_power_within_one_ulp_of_mpmath(alpha):
    # The power is within 0.52 ulp of the exact one and the product with the
    # direction rounds once more: one ulp from the reference at most.
    rng = np.random.default_rng(int(alpha * 1000) % 2**32)
    f = 10 ** rng.uniform(-7, 8.2, 300)
    f = np.concatenate([f, [1 / (2 * np.pi)]])  # ω = 1
    ell = 10 ** rng.uniform(-6, 3)
    z = velotz.Circuit("La0").with_values([ell, alpha]).impedance(f)
    w = f * 2 * np.pi
    ref = np.array([la_reference(wi, ell, alpha) for wi in w])
    assert ulps(z.real, ref[:, 0]).max() <= 1
    assert ulps(z.imag, ref[:, 1]).max() <= 1


def numpy_element(code, p, w):
    s = 1j * w
    if code == "La":
        return (s * p[0]) ** p[1]
    if code == "CPE":
        return 1 / (p[0] * s ** p[1])
    if code == "Zarc":
        return p[0] / (1 + (s * p[1]) ** p[2])
    if code == "Tlmq":
        zq = 1 / (p[1] * s ** p[2])
        return np.sqrt(p[0] * zq) / np.tanh(np.sqrt(p[0] / zq))
    if code == "R":
        return np.full_like(s, p[0])
    raise AssertionError(code)


FIELDS = {"R": 1, "La": 2, "CPE": 2, "Zarc": 3, "Tlmq": 3}


def random_values(rng, code):
    exponent = rng.choice([rng.uniform(0.05, 0.999), rng.uniform(1.01, 1.6)])
    if code == "R":
        return [10 ** rng.uniform(-1, 3)]
    if code in ("La", "CPE"):
        return [10 ** rng.uniform(-7, -2), exponent]
    if code == "Zarc":
        return [10 ** rng.uniform(0, 3), 10 ** rng.uniform(-6, 0), min(exponent, 1.0)]
    return [10 ** rng.uniform(0, 3), 10 ** rng.uniform(-6, -2), min(exponent, 1.0)]


@pytest.mark.parametrize("seed", range(12))
def test_random_series_parallel_circuits_match_numpy(seed):
    # R0-(A1,B2)-C3-(D4-E5,F6) with A..F drawn from the power elements and R.
    rng = np.random.default_rng(seed)
    codes = [str(rng.choice(["La", "CPE", "Zarc", "Tlmq", "R"])) for _ in range(6)]
    names = [f"{c}{i + 1}" for i, c in enumerate(codes)]
    text = f"R0-({names[0]},{names[1]})-{names[2]}-({names[3]}-{names[4]},{names[5]})"
    values = [[7.0]] + [random_values(rng, c) for c in codes]
    f = 10 ** rng.uniform(-3, 6, 400)
    w = 2 * np.pi * f
    z = velotz.Circuit(text).with_values([v for vs in values for v in vs]).impedance(f)
    e = [numpy_element(c, v, w) for c, v in zip(["R"] + codes, values)]
    ref = e[0] + 1 / (1 / e[1] + 1 / e[2]) + e[3] + 1 / (1 / (e[4] + e[5]) + 1 / e[6])
    # A few ulps of each operation, relative to the modulus (the numpy
    # reference rounds differently in every step).
    assert np.max(np.abs(z - ref) / np.abs(ref)) < 64 * 2.0**-52, text


def exact_start(v):
    """The nearest value at or above v whose internal coordinate
    log10(v - 1e-12) maps back to it exactly, so a fit starting there has
    zero residuals."""
    while 10 ** math.log10(v - 1e-12) + 1e-12 != v:
        v = math.nextafter(v, math.inf)
    return v


@pytest.mark.parametrize("text, values", [
    ("R0-(R1,CPE1)", [10.0, 100.0, 2e-5, 0.83]),
    ("R0-Zarc1", [10.0, 100.0, 1e-3, 0.71]),
    ("R0-La1-Tlmq2", [5.0, 1e-6, 0.77, 40.0, 1e-3, 0.88]),
])
def test_fit_of_a_circuit_own_impedance_has_cost_zero(text, values):
    circuit = velotz.Circuit(text)
    bounds = circuit.param_bounds()
    start = [v if math.isfinite(hi) else exact_start(v) for v, (lo, hi) in zip(values, bounds)]
    c = circuit.with_values(start)
    f = list(np.logspace(-2, 5, 50))
    r = c.fit(f, list(c.impedance(f)), guess_init=False)
    assert r.cost == 0.0
    assert list(r.params.values()) == start
