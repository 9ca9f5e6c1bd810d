"""What a FitResult says about the precision of its parameters: covariance,
correlation, confidence intervals, residuals and information criteria, their
travel in pickles, and bootstrap intervals."""
import math
import os
import pickle
import struct
import sys

import numpy as np
import pytest

import velotz
from velotz import Circuit
from test_boundaries import run_child

F = np.logspace(5, -2, 40)
NOISE = np.random.default_rng(7)
EPS = 0.01 * (NOISE.standard_normal(40) + 1j * NOISE.standard_normal(40))

CASES = {
    "rq": ("R0-(R1,CPE1)", [10.0, 100.0, 2e-5, 0.9], lambda c: c),
    "randles": ("R0-(R1-W1,CPE1)", [10.0, 100.0, 50.0, 1e-5, 0.85], lambda c: c),
    "two_rq": ("R0-(R1,CPE1)-(R2,CPE2)", [5.0, 40.0, 1e-5, 0.9, 120.0, 1e-3, 0.8], lambda c: c),
    "fixed and bounds": ("R0-(R1,CPE1)", [10.0, 100.0, 2e-5, 0.9],
                         lambda c: c.with_fixed({"R0.r": 10.0}).with_bounds({"R1.r": (1.0, 1e4)})),
    "open custom bound": ("R0-(R1,CPE1)", [10.0, 100.0, 2e-5, 0.9],
                          lambda c: c.with_bounds({"R1.r": (50.0, math.inf)})),
}


def bits(v):
    return struct.pack("<d", v)


def spectrum(text, values):
    return Circuit(text).with_values(values).impedance(F) * (1 + EPS)


def fitted(name, weight="modulus"):
    text, values, constrain = CASES[name]
    circuit = constrain(Circuit(text).with_values(values))
    z = spectrum(text, values)
    return circuit.fit(F, z, weight=weight), z


@pytest.mark.parametrize("name", CASES)
@pytest.mark.parametrize("weight", ["modulus", "unit"])
def test_covariance_is_the_linearised_one_of_the_jacobian_at_the_solution(name, weight):
    r, z = fitted(name, weight)
    assert r.success and r.stderr is not None
    names = r.free_names
    assert names == r.circuit.free_param_names() == list(r.stderr)
    cov = r.covariance
    assert cov.shape == (len(names), len(names)) and cov.dtype == np.float64
    # Exactly symmetric, and the standard errors are its diagonal bit for bit.
    assert np.array_equal(cov, cov.T)
    assert [bits(v) for v in np.sqrt(np.diag(cov))] == [bits(r.stderr[n]) for n in names]
    # s^2 (J^T J)^-1 from the public Jacobian at the fitted values, in numpy.
    free = r.circuit.free_param_values()
    jac = np.array(r.circuit.jacobian(free, F, z, weight=weight))
    m, k = jac.shape
    assert (m, k) == (2 * len(F), len(names))
    reference = r.chi_square / (m - k) * np.linalg.inv(jac.T @ jac)
    np.testing.assert_allclose(cov, reference, rtol=1e-6, atol=0)
    # Positive definite: every eigenvalue of the correlation matrix positive.
    corr = r.correlation
    assert np.all(np.linalg.eigvalsh(corr) > 0)
    assert np.all(np.diag(corr) == 1.0) and np.array_equal(corr, corr.T) and np.all(np.abs(corr) <= 1.0)
    se = np.sqrt(np.diag(cov))
    np.testing.assert_allclose(corr, cov / np.outer(se, se), rtol=1e-13, atol=1e-15)


@pytest.mark.parametrize("name", CASES)
def test_residuals_points_and_information_criteria(name):
    r, z = fitted(name)
    res = r.residuals
    assert res.shape == (2 * len(F),) and r.n_points == len(F)
    free = r.circuit.free_param_values()
    assert [bits(v) for v in res] == [bits(v) for v in r.circuit.residuals(free, F, z)]
    # Interleaved real and imaginary parts of (model - data) / |data|.
    rel = (r.circuit.impedance(F) - z) / np.abs(z)
    np.testing.assert_allclose(res[0::2] + 1j * res[1::2], rel, rtol=1e-9, atol=1e-15)
    assert math.isclose(float(np.sum(res ** 2)), r.chi_square, rel_tol=1e-12)
    n, k = 2 * len(F), len(r.free_names)
    assert math.isclose(r.aic, n * np.log(r.chi_square / n) + 2 * k, rel_tol=1e-13)
    assert math.isclose(r.bic, n * np.log(r.chi_square / n) + k * np.log(n), rel_tol=1e-13)
    # The comparison of circuits ranks its fits by the same numbers.
    entry = velotz.compare(F, z, [r.circuit])[0]
    assert entry.n_params == k and entry.aic == entry.result.aic and entry.bic == entry.result.bic


@pytest.mark.parametrize("name", CASES)
def test_intervals_contain_the_estimate_on_the_scale_the_fit_uses(name):
    r, _ = fitted(name)
    bounds = dict(zip(r.circuit.param_names(), r.circuit.param_bounds()))
    wide, narrow = r.conf_int(), r.conf_int(level=0.5)
    assert list(wide) == r.free_names
    for n, (lo, hi) in wide.items():
        p, (lo_b, hi_b) = r.params[n], bounds[n]
        assert lo_b <= lo < p < hi <= hi_b
        assert lo < narrow[n][0] < p < narrow[n][1] < hi
        if math.isinf(hi_b):
            # Log scale above the lower bound: symmetric in log(p - lo_b).
            assert lo > lo_b > 0
            assert math.isclose(math.log(hi - lo_b) - math.log(p - lo_b),
                                math.log(p - lo_b) - math.log(lo - lo_b), rel_tol=1e-9)
        elif lo > lo_b and hi < hi_b:
            assert math.isclose(hi - p, p - lo, rel_tol=1e-9)


@pytest.mark.parametrize("points", [4, 7, 40])
def test_interval_widths_are_student_t_quantiles_times_the_standard_error(points):
    stats = pytest.importorskip("scipy.stats",
                                reason="scipy is an optional package that is not installed here (PyPy lane)")
    f = np.logspace(4, -1, points)
    c = Circuit("R0-(R1,CPE1)").with_values([10.0, 100.0, 2e-5, 0.9])
    z = c.impedance(f) * (1 + 1e-3 * np.cos(np.arange(points) * 2.1))
    r = c.fit(f, z)
    dof = 2 * points - 4
    for level in (0.95, 0.683, 0.999):
        t = stats.t.ppf(0.5 + level / 2, dof)
        iv = r.conf_int(level)
        lo, hi = iv["CPE1.alpha"]  # a finite bound: on its own scale
        assert math.isclose((hi - lo) / 2, t * r.stderr["CPE1.alpha"], rel_tol=1e-9)
        lo, hi = iv["R1.r"]  # open above: log scale
        p = r.params["R1.r"] - 1e-12
        assert math.isclose(math.log((hi - 1e-12) / p), t * r.stderr["R1.r"] / p, rel_tol=1e-9)


def test_an_interval_reaching_past_a_finite_bound_is_clipped_at_it():
    # An ideal capacitor fitted as a CPE: alpha ends at its upper bound 1.
    f = np.logspace(4, -1, 20)
    z = Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-4]).impedance(f) * (1 + 0.01 * np.sin(np.arange(20)))
    r = Circuit("R0-(R1,CPE1)").with_values([12.0, 80.0, 2e-4, 0.95]).fit(f, z)
    lo, hi = r.conf_int()["CPE1.alpha"]
    assert hi == 1.0 and lo < r.params["CPE1.alpha"] <= 1.0


@pytest.mark.parametrize("level, error", [(0.0, ValueError), (1.0, ValueError), (-0.5, ValueError),
                                          (math.nan, ValueError), (1.5, ValueError), ("0.9", TypeError)])
def test_conf_int_refuses_levels_outside_zero_to_one(level, error):
    r, _ = fitted("rq")
    with pytest.raises(error):
        r.conf_int(level)


def test_without_standard_errors_there_is_no_covariance():
    # One frequency, three parameters: nothing to spare for the errors.
    r = Circuit("R0-(R1,C1)").fit([100.0], [12 - 3j], guess_init=False)
    assert r.stderr is None
    assert r.covariance is None and r.correlation is None and r.conf_int() is None
    assert r.free_names == ["R0.r", "R1.r", "C1.c"]
    assert r.n_points == 1 and r.residuals.shape == (2,)
    # n = 2 real residuals, k = 3: the criteria need no standard errors.
    expected = 2 * math.log(r.chi_square / 2) + 6 if r.chi_square > 0 else -math.inf
    assert r.aic == expected


# ---------------------------------------------------------------- pickles

def _state(r):
    return r.__reduce__()[1][0]


def test_pickles_carry_covariance_and_residuals():
    r, _ = fitted("fixed and bounds")
    back = pickle.loads(pickle.dumps(r))
    assert back == r and hash(back) == hash(r) and repr(back) == repr(r)
    assert [bits(v) for v in back.covariance.ravel()] == [bits(v) for v in r.covariance.ravel()]
    assert [bits(v) for v in back.residuals] == [bits(v) for v in r.residuals]
    assert back.conf_int() == r.conf_int() and back.aic == r.aic and back.free_names == r.free_names
    # Results that differ only in these are not equal.
    rebuild = r.__reduce__()[0]
    state = _state(r)
    other = list(state["residuals"])
    other[3] = other[3] * 2
    assert rebuild(dict(state, residuals=other)) != r


def test_states_written_before_the_covariance_still_load():
    r, _ = fitted("rq")
    state = {k: v for k, v in _state(r).items() if k not in ("covariance", "residuals")}
    back = r.__reduce__()[0](state)
    assert back.stderr == r.stderr and repr(back) == repr(r) and back.free_names == r.free_names
    assert back.covariance is None and back.correlation is None and back.residuals is None
    assert back.n_points is None and back.aic is None and back.bic is None and back.conf_int() is None
    assert back != r


def test_a_state_without_standard_errors_does_not_read_its_covariance():
    r, _ = fitted("rq")
    back = r.__reduce__()[0](dict(_state(r), stderr=None, covariance="not read"))
    assert back.stderr is None and back.covariance is None and back.conf_int() is None


@pytest.mark.parametrize("change, error, message", [
    (lambda s: {"covariance": s["covariance"][:-1]}, ValueError, "covariance must be a list of 16 floats"),
    (lambda s: {"covariance": tuple(s["covariance"])}, ValueError, "covariance must be a list of 16 floats"),
    (lambda s: {"covariance": None}, ValueError, "covariance must be a list"),
    (lambda s: {"covariance": s["covariance"][:3] + ["x"] + s["covariance"][4:]}, TypeError, None),
    (lambda s: {"covariance": [v * 4 if i == 5 else v for i, v in enumerate(s["covariance"])]}, ValueError,
     "diagonal must hold the squares of stderr"),
    (lambda s: {"covariance": [v * 2 if i == 1 else v for i, v in enumerate(s["covariance"])]}, ValueError,
     "covariance must be symmetric"),
    (lambda s: {"residuals": s["residuals"][:-1]}, ValueError, "two floats per point"),
    (lambda s: {"residuals": []}, ValueError, "two floats per point"),
    (lambda s: {"residuals": "1.0"}, ValueError, "residuals must be a list"),
    (lambda s: {"residuals": [1.0, object()]}, TypeError, None),
], ids=["short", "tuple", "None", "str entry", "diagonal", "asymmetric", "odd residuals", "no residuals",
        "residual text", "residual object"])
def test_malformed_uncertainty_states_are_refused(change, error, message):
    r, _ = fitted("rq")
    state = _state(r)
    with pytest.raises(error, match=message):
        r.__reduce__()[0](dict(state, **change(state)))


def test_a_covariance_list_emptied_while_it_is_read_is_refused():
    code = """
    import numpy as np, velotz
    f = np.logspace(4, -1, 20)
    z = velotz.Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-4]).impedance(f) * (1 + 0.01 * np.sin(np.arange(20)))
    r = velotz.Circuit("R0-(R1,C1)").with_values([12.0, 80.0, 2e-4]).fit(f, z)
    state = r.__reduce__()[1][0]
    cov = state["covariance"]
    class Clear:
        def __float__(self):
            cov.clear()
            return 1.0
    cov[4] = Clear()
    try:
        r.__reduce__()[0](state)
    except ValueError as e:
        print("ValueError", e)
    """
    rc, out, err = run_child(code)
    assert rc == 0, err
    assert out.startswith("ValueError invalid state: covariance must be a list of 9 floats")


# ---------------------------------------------------------------- bootstrap

def test_bootstrap_intervals_agree_with_the_linearised_ones_on_a_well_determined_fit():
    r, z = fitted("rq")
    b = velotz.bootstrap(r, F, z, n=200, seed=1)
    assert b.names == r.free_names and b.samples.shape == (200, 4) and b.failed == 0
    linear = r.conf_int()
    for n in b.names:
        lo, hi = b.intervals[n]
        assert lo < r.params[n] < hi
        assert 0.75 < (hi - lo) / (linear[n][1] - linear[n][0]) < 1.33, n
        assert 0.75 < b.stderr[n] / r.stderr[n] < 1.33, n
    assert b.conf_int(0.5)["R1.r"][1] < b.intervals["R1.r"][1]


def test_bootstrap_of_a_fit_without_residuals_refits_the_fitted_values():
    text, values, _ = CASES["rq"]
    z = Circuit(text).with_values(values).impedance(F)
    r = Circuit(text).with_values([12.0, 80.0, 3e-5, 0.85]).fit(F, z)
    b = velotz.bootstrap(r, F, z, n=5, seed=3)
    fitted_values = np.array([r.params[n] for n in b.names])
    np.testing.assert_allclose(b.samples, np.tile(fitted_values, (5, 1)), rtol=1e-6)


def test_bootstrap_repeats_with_its_seed_and_keeps_fixed_parameters_out():
    r, z = fitted("fixed and bounds")
    a = velotz.bootstrap(r, F, z, n=30, seed=5)
    b = velotz.bootstrap(r, F, z, n=30, seed=5)
    c = velotz.bootstrap(r, F, z, n=30, seed=6)
    assert a.names == ["R1.r", "CPE1.q", "CPE1.alpha"]
    assert np.array_equal(a.samples, b.samples) and not np.array_equal(a.samples, c.samples)


def test_bootstrap_with_unit_weights():
    r, z = fitted("rq", weight="unit")
    b = velotz.bootstrap(r, F, z, n=100, seed=2, weight="unit")
    for n in b.names:
        assert 0.7 < b.stderr[n] / r.stderr[n] < 1.4, n


BOOT_CHILD = """
import hashlib, numpy as np, velotz
f = np.logspace(5, -2, 40)
rng = np.random.default_rng(7)
c = velotz.Circuit("R0-(R1-W1,CPE1)").with_values([10.0, 100.0, 50.0, 1e-5, 0.85])
z = c.impedance(f) * (1 + 0.01 * (rng.standard_normal(40) + 1j * rng.standard_normal(40)))
r = c.fit(f, z)
b = velotz.bootstrap(r, f, z, n=64, seed=11)
print(b.failed, hashlib.sha256(b.samples.tobytes()).hexdigest())
"""


def test_bootstrap_gives_the_same_answer_for_any_thread_count():
    path = os.pathsep.join(p for p in sys.path if p)
    outs = []
    for threads in ("1", "2"):
        rc, out, err = run_child(BOOT_CHILD, env={"RAYON_NUM_THREADS": threads, "PYTHONPATH": path})
        assert rc == 0, err
        outs.append(out)
    assert outs[0] == outs[1] and outs[0].startswith("0 ")


@pytest.mark.parametrize("kwargs, error, message", [
    ({"n": 0}, ValueError, "n must be at least 1"),
    ({"n": 2.5}, TypeError, "argument 'n'"),
    ({"level": 1.0}, ValueError, "level must lie between 0 and 1"),
    ({"weight": "square"}, ValueError, "square"),
    ({"ids": [1]}, TypeError, "ids"),
    ({"method": "bfgs"}, ValueError, "unknown fit method"),
])
def test_bootstrap_refuses_bad_arguments(kwargs, error, message):
    r, z = fitted("rq")
    with pytest.raises(error, match=message):
        velotz.bootstrap(r, F, z, **kwargs)


def test_bootstrap_needs_the_spectrum_of_the_fit():
    r, z = fitted("rq")
    with pytest.raises(ValueError, match="the spectrum has 39 points, but the result was fitted to 40"):
        velotz.bootstrap(r, F[1:], z[1:])
    with pytest.raises(TypeError, match="expected a FitResult"):
        velotz.bootstrap(r.circuit, F, z)
