"""Fixed parameters and custom bounds: the builders, their checks, and every
fitting method, residuals and Jacobian honouring them.

The fits are checked against an independent optimum: scipy's least_squares
on the circuit written here in numpy, with the same fixed value and bounds.
"""
import functools
import math
import pickle

import numpy as np
import pytest

import velotz

F = np.logspace(-2, 5, 40)
W = 2 * np.pi * F
TRUE = [10.0, 100.0, 1e-4, 0.85]  # R0.r, R1.r, CPE1.q, CPE1.alpha
R0_FIXED = 12.0                   # deliberately not the true value
ALPHA_BOUNDS = (0.5, 0.8)         # excludes the true alpha: the bound is active
START = [30.0, 30.0, 3e-4, 0.7]


def model_rq(p, w):
    """R0 in series with R1 parallel to a CPE (q, alpha)."""
    zq = 1 / (p[2] * (1j * w) ** p[3])
    return p[0] + 1 / (1 / p[1] + 1 / zq)


def data():
    rng = np.random.default_rng(7)
    z = model_rq(TRUE, W)
    return z * (1 + 0.002 * (rng.standard_normal(len(z)) + 1j * rng.standard_normal(len(z))))


Z = data()


def weighted(z_model):
    r = (z_model - Z) / np.abs(Z)
    return np.column_stack([r.real, r.imag]).ravel()


def least_squares(*args, **kwargs):
    # scipy has no PyPy wheel: only the tests that compare against it skip there.
    optimize = pytest.importorskip("scipy.optimize", reason="scipy is not installed here (no PyPy wheel)")
    return optimize.least_squares(*args, **kwargs)


@functools.lru_cache(maxsize=None)
def reference_optimum():
    """The constrained optimum over (R1.r, CPE1.q, CPE1.alpha) with R0.r held."""
    def res(x):
        return weighted(model_rq([R0_FIXED, x[0], x[1], x[2]], W))
    lo = [1e-12, 1e-12, ALPHA_BOUNDS[0]]
    hi = [np.inf, np.inf, ALPHA_BOUNDS[1]]
    sol = least_squares(res, [80.0, 2e-4, 0.7], bounds=(lo, hi), x_scale=[100.0, 1e-4, 1.0],
                        xtol=1e-15, ftol=1e-15, gtol=1e-15, max_nfev=20000)
    return sol


def reference_cost():
    return 0.5 * float(np.sum(reference_optimum().fun ** 2))


def constrained(values=START):
    return (velotz.Circuit("R0-(R1,CPE1)").with_values(values)
            .with_fixed({"R0.r": R0_FIXED}).with_bounds({"CPE1.alpha": ALPHA_BOUNDS}))


METHODS = [
    ("levenberg_marquardt", {}),
    ("nelder_mead", {}),
    ("particle_swarm", {"num_particles": 40, "generations": 150, "seed": 5}),
    ("differential_evolution", {"de_evaluations": 1500}),
    ("simulated_annealing", {"sa_iterations": 1500, "seed": 5}),
    ("basin_hopping", {"basin_hopping_hops": 4, "seed": 5}),
]


def test_reference_bound_is_active():
    # The test only means something if the bound binds at the optimum.
    assert reference_optimum().x[2] == pytest.approx(ALPHA_BOUNDS[1], abs=1e-9)


@pytest.mark.parametrize("method,options", METHODS, ids=[m for m, _ in METHODS])
def test_every_method_fits_the_constrained_optimum(method, options):
    r = constrained().fit(F, Z, method=method, **options)
    # The fixed value never moves, bit for bit, and is still reported.
    assert r.params["R0.r"] == R0_FIXED
    assert r.circuit.param_values()[0] == R0_FIXED
    assert r.circuit.fixed_params() == {"R0.r": R0_FIXED}
    assert r.circuit.custom_bounds() == {"CPE1.alpha": ALPHA_BOUNDS}
    # The custom bound holds.
    assert ALPHA_BOUNDS[0] <= r.params["CPE1.alpha"] <= ALPHA_BOUNDS[1]
    # The independent optimum is reached.
    assert r.cost == pytest.approx(reference_cost(), rel=1e-6)
    assert [r.params["R1.r"], r.params["CPE1.q"], r.params["CPE1.alpha"]] == pytest.approx(list(reference_optimum().x), rel=1e-4)
    # The cost is that of the reported parameters, computed here.
    p = [r.params[n] for n in ("R0.r", "R1.r", "CPE1.q", "CPE1.alpha")]
    assert r.cost == pytest.approx(0.5 * float(np.sum(weighted(model_rq(p, W)) ** 2)), rel=1e-9)
    # Standard errors for the free parameters only.
    assert set(r.stderr) == {"R1.r", "CPE1.q", "CPE1.alpha"}


def test_stderr_of_free_parameters_matches_the_normal_matrix():
    r = constrained().fit(F, Z)
    x = [r.params["R1.r"], r.params["CPE1.q"], r.params["CPE1.alpha"]]
    # Central differences in numpy over the free parameters only.
    cols = []
    for k in range(3):
        h = 6.0554544523933395e-06 * max(abs(x[k]), 1e-8)
        up, down = list(x), list(x)
        up[k] += h
        down[k] -= h
        cols.append((weighted(model_rq([R0_FIXED] + up, W)) - weighted(model_rq([R0_FIXED] + down, W))) / (2 * h))
    J = np.column_stack(cols)
    m, n = J.shape
    chi2 = 2 * r.cost
    expected = np.sqrt(np.diag(np.linalg.inv(J.T @ J)) * chi2 / (m - n))
    got = [r.stderr[k] for k in ("R1.r", "CPE1.q", "CPE1.alpha")]
    assert got == pytest.approx(list(expected), rel=1e-5)


def test_custom_open_bound_moves_on_a_log_scale_above_its_lower_bound():
    # A lower bound above the unconstrained optimum of R1.r: the fit ends on it.
    c = velotz.Circuit("R0-(R1,CPE1)").with_values(START).with_bounds({"R1.r": (150.0, math.inf)})
    r = c.fit(F, Z)
    assert r.params["R1.r"] >= 150.0
    assert r.params["R1.r"] == pytest.approx(150.0, rel=1e-6)


def test_global_methods_search_inside_custom_finite_bounds():
    # A box far from the truth: the swarm may only report values inside it.
    c = velotz.Circuit("R0-(R1,CPE1)").with_values(START).with_bounds({"R1.r": (20.0, 40.0)})
    r = c.fit(F, Z, method="particle_swarm", num_particles=20, generations=30, seed=1)
    assert 20.0 <= r.params["R1.r"] <= 40.0


# ------------------------------------------------------------------ residuals and Jacobian

def test_residuals_take_the_free_parameters_and_insert_the_fixed_value():
    c = constrained()
    free = [90.0, 2e-4, 0.75]
    r = c.residuals(free, list(F), list(Z))
    assert np.asarray(r) == pytest.approx(weighted(model_rq([R0_FIXED] + free, W)), rel=1e-12, abs=1e-15)


def test_jacobian_has_one_column_per_free_parameter():
    c = constrained()
    free = [90.0, 2e-4, 0.75]
    J = np.asarray(c.jacobian(free, list(F), list(Z)))
    assert J.shape == (2 * len(F), 3)
    for k in range(3):
        h = 6.0554544523933395e-06 * abs(free[k])
        up, down = list(free), list(free)
        up[k] += h
        down[k] -= h
        col = (weighted(model_rq([R0_FIXED] + up, W)) - weighted(model_rq([R0_FIXED] + down, W))) / (2 * h)
        assert J[:, k] == pytest.approx(col, rel=1e-6, abs=1e-9)


def test_scipy_drives_the_free_parameters_through_residuals_and_jacobian():
    c = constrained()
    sol = least_squares(lambda x: c.residuals(list(x), list(F), list(Z)), [80.0, 2e-4, 0.7],
                        jac=lambda x: np.asarray(c.jacobian(list(x), list(F), list(Z))),
                        bounds=([1e-12, 1e-12, 0.5], [np.inf, np.inf, 0.8]), x_scale=[100.0, 1e-4, 1.0],
                        xtol=1e-15, ftol=1e-15, gtol=1e-15, max_nfev=20000)
    assert 0.5 * float(np.sum(sol.fun ** 2)) == pytest.approx(reference_cost(), rel=1e-6)


@pytest.mark.parametrize("length", [2, 4])
def test_residuals_refuse_a_vector_that_is_not_the_free_one(length):
    with pytest.raises(ValueError, match=r'expected 3 values for the free parameters \["R1.r", "CPE1.q", '
                                         r'"CPE1.alpha"\], got ' + str(length)):
        constrained().residuals([1.0] * length, list(F), list(Z))


def test_custom_bounds_alone_leave_residuals_and_jacobian_as_they_are():
    c = velotz.Circuit("R0-(R1,CPE1)").with_bounds({"CPE1.alpha": (0.5, 0.8)})
    p = [10.0, 90.0, 2e-4, 0.95]  # alpha outside the custom bounds: evaluated as given
    assert np.asarray(c.residuals(p, list(F), list(Z))) == pytest.approx(weighted(model_rq(p, W)), rel=1e-12)
    assert np.asarray(c.jacobian(p, list(F), list(Z))).shape == (2 * len(F), 4)


# ------------------------------------------------------------------ builders and read-outs

def test_read_outs_and_param_bounds_report_the_constraints():
    c = constrained()
    assert c.fixed_params() == {"R0.r": R0_FIXED}
    assert c.custom_bounds() == {"CPE1.alpha": ALPHA_BOUNDS}
    assert c.free_param_names() == ["R1.r", "CPE1.q", "CPE1.alpha"]
    assert c.free_param_values() == START[1:]
    assert c.param_values() == [R0_FIXED] + START[1:]
    assert c.param_bounds() == [(1e-12, math.inf), (1e-12, math.inf), (1e-12, math.inf), ALPHA_BOUNDS]
    plain = velotz.Circuit("R0-(R1,CPE1)")
    assert (plain.fixed_params(), plain.custom_bounds()) == ({}, {})
    assert plain.free_param_names() == plain.param_names()


def test_fix_at_current_value_by_name_or_list():
    base = velotz.Circuit("R0-(R1,CPE1)").with_values(START)
    assert base.with_fixed("R1.r").fixed_params() == {"R1.r": 30.0}
    assert base.with_fixed(["R0.r", "CPE1.q"]).fixed_params() == {"R0.r": 30.0, "CPE1.q": 3e-4}
    assert base.with_fixed(("R0.r",)).with_fixed({"CPE1.q": 1e-3}).fixed_params() == {"R0.r": 30.0, "CPE1.q": 1e-3}


def test_constraints_survive_with_values_joins_and_can_be_removed():
    c = constrained()
    moved = c.with_values([11.0, 1.0, 1e-3, 0.6])
    # lmfit's rule: a fixed parameter keeps being fixed, at the value given.
    assert moved.fixed_params() == {"R0.r": 11.0}
    assert moved.custom_bounds() == {"CPE1.alpha": ALPHA_BOUNDS}
    named = c.with_named_values({"R0.r": 12.5, "R1.r": 1.0, "CPE1.q": 1e-3, "CPE1.alpha": 0.6})
    assert named.fixed_params() == {"R0.r": 12.5}
    joined = velotz.Series([velotz.R(5.0), c])
    assert joined.param_names()[0] == "R0.r" and joined.fixed_params() == {"R0.r": R0_FIXED}
    assert joined.free_param_names() == ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"]
    assert velotz.Parallel([c, velotz.C(1e-6)]).custom_bounds() == {"CPE1.alpha": ALPHA_BOUNDS}
    plain = c.with_free().with_bounds({"CPE1.alpha": None})
    assert (plain.fixed_params(), plain.custom_bounds()) == ({}, {})
    assert c.with_free(["R0.r"]).fixed_params() == {}


def test_repr_marks_constraints_only_when_set():
    base = velotz.Circuit("R0-(R1,C1)")
    plain_lines = [
        "Circuit (3 parameters)",
        "  R0.r = 1          [ohm]  bounds (1e-12, inf)",
        "  R1.r = 1          [ohm]  bounds (1e-12, inf)",
        "  C1.c = 0.001      [F]  bounds (1e-12, inf)",
    ]
    assert repr(base) == "\n".join(plain_lines)
    c = base.with_fixed({"R0.r": 2.0}).with_bounds({"C1.c": (1e-6, 1e-2)})
    assert repr(c) == "\n".join([
        "Circuit (3 parameters)",
        "  R0.r = 2          [ohm]  bounds (1e-12, inf)  fixed",
        "  R1.r = 1          [ohm]  bounds (1e-12, inf)",
        "  C1.c = 0.001      [F]  bounds (1e-6, 0.01)  custom bounds",
    ])
    # Removing every constraint gives the plain representation back.
    assert repr(c.with_fixed({"R0.r": 1.0}).with_free().with_bounds({"C1.c": None})) == "\n".join(plain_lines)


def test_guess_substitutes_fixed_values_and_respects_custom_bounds():
    c = (velotz.Circuit("R0-(R1,CPE1)").with_fixed({"R0.r": R0_FIXED})
         .with_bounds({"R1.r": (500.0, 600.0), "CPE1.alpha": (0.5, 0.8)}))
    g = c.guess(list(F), list(Z))
    assert g[0] == R0_FIXED
    assert 500.0 <= g[1] <= 600.0
    assert 0.5 <= g[3] <= 0.8
    # fit() starts from the same guess (values not given) and keeps R0.r.
    r = c.fit(F, Z)
    assert r.params["R0.r"] == R0_FIXED and 500.0 <= r.params["R1.r"] <= 600.0


# ------------------------------------------------------------------ refused settings

RQ = velotz.Circuit("R0-(R1,CPE1)")


@pytest.mark.parametrize("build,message", [
    (lambda: RQ.with_fixed({"R0.x": 1.0}), r'unknown parameter "R0.x" \(did you mean "R0.r"\?\)'),
    (lambda: RQ.with_fixed(["CPE1.alfa"]), r'unknown parameter "CPE1.alfa" \(did you mean "CPE1.alpha"\?\)'),
    (lambda: RQ.with_bounds({"xyz": (1.0, 2.0)}), r'unknown parameter "xyz"\n\nvalid parameters for this circuit:'),
    (lambda: RQ.with_free(["R2.r"]), r'unknown parameter "R2.r" \(did you mean "R0.r"\?\)'),
    (lambda: RQ.with_bounds({"CPE1.alpha": (0.9, 0.5)}), r'bounds for "CPE1.alpha" need lower < upper, got \(0.9, 0.5\)$'),
    (lambda: RQ.with_bounds({"R1.r": (5.0, 5.0)}), r'need lower < upper, got \(5, 5\) \(with_fixed holds'),
    (lambda: RQ.with_bounds({"R1.r": (math.nan, 5.0)}), r'bounds for "R1.r" must be numbers, got \(NaN, 5\)'),
    (lambda: RQ.with_bounds({"CPE1.alpha": (0.5, 1.5)}),
     r'bounds for "CPE1.alpha" must lie within its default bounds \(0, 1\), got \(0.5, 1.5\)'),
    (lambda: RQ.with_bounds({"R0.r": (-1.0, 5.0)}), r'must lie within its default bounds \(1e-12, inf\)'),
    (lambda: RQ.with_fixed({"CPE1.alpha": 1.2}),
     r'fixed value of "CPE1.alpha" lies outside its bounds: 1.2 is not in \(0, 1\)'),
    (lambda: RQ.with_fixed({"R0.r": 0.0}), r'fixed value of "R0.r" lies outside its bounds: 0 is not in'),
    (lambda: RQ.with_fixed({"R0.r": math.inf}), r'fixed value of "R0.r" must be a finite number, got inf'),
    (lambda: RQ.with_fixed({"R0.r": math.nan}), r'fixed value of "R0.r" must be a finite number, got NaN'),
    (lambda: RQ.with_fixed({"CPE1.alpha": 0.9}).with_bounds({"CPE1.alpha": (0.5, 0.8)}),
     r'fixed value of "CPE1.alpha" lies outside its bounds: 0.9 is not in \(0.5, 0.8\)'),
    (lambda: RQ.with_fixed(["CPE1.alpha"]).with_values([1.0, 1.0, 1.0, 2.0]),
     r'fixed value of "CPE1.alpha" lies outside'),
    (lambda: RQ.with_fixed(RQ.param_names()), r'every parameter of this circuit would be fixed'),
    (lambda: RQ.with_fixed(["R0.r", "R1.r"]).with_fixed(["CPE1.q", "CPE1.alpha"]), r'every parameter'),
])
def test_impossible_settings_are_value_errors(build, message):
    with pytest.raises(ValueError, match=message):
        build()


@pytest.mark.parametrize("build,message", [
    (lambda: RQ.with_bounds([("R0.r", (1.0, 2.0))]), r"argument 'bounds': 'list' object cannot be converted to 'dict'"),
    (lambda: RQ.with_bounds({"R0.r": (1.0, 2.0, 3.0)}), r"expected a \(lower, upper\) pair or None for \"R0.r\", got 3"),
    (lambda: RQ.with_fixed([1]), r"argument 'params': 'int' object cannot be converted to 'str'"),
    (lambda: RQ.with_fixed(5), r"argument 'params': 'int' object cannot be converted to 'Sequence'"),
    (lambda: RQ.with_fixed({"R0.r": "x"}), r"argument 'params'"),
])
def test_wrong_argument_types_are_type_errors(build, message):
    with pytest.raises(TypeError, match=message):
        build()


def test_failed_builders_leave_the_circuit_unchanged():
    c = constrained()
    with pytest.raises(ValueError):
        c.with_fixed({"R1.r": -3.0})
    assert c.fixed_params() == {"R0.r": R0_FIXED}
    assert c.param_values() == [R0_FIXED] + START[1:]


def test_constraints_removed_again_fit_exactly_like_the_plain_circuit():
    plain = velotz.Circuit("R0-(R1,CPE1)").with_values(START)
    freed = plain.with_fixed({"R0.r": 30.0}).with_bounds({"CPE1.alpha": (0.5, 0.9)}).with_free().with_bounds(
        {"CPE1.alpha": None})
    a, b = plain.fit(F, Z), freed.fit(F, Z)
    assert (a.params, a.stderr, a.impedance_evals, a.iterations) == (b.params, b.stderr, b.impedance_evals,
                                                                      b.iterations)


# ------------------------------------------------------------------ batches and pickles

def _spectra(n=4):
    rng = np.random.default_rng(3)
    out = []
    for i in range(n):
        z = model_rq([10.0, 100.0 * (1 + 0.2 * i), 1e-4, 0.85], W)
        out.append((F, z * (1 + 0.003 * (rng.standard_normal(len(z)) + 1j * rng.standard_normal(len(z))))))
    return out


def _result_bits(r):
    names = r.circuit.param_names()
    return ([r.params[n].hex() for n in names], None if r.stderr is None else sorted(
        (k, v.hex()) for k, v in r.stderr.items()), r.cost.hex(), r.iterations, r.impedance_evals, r.success)


@pytest.mark.parametrize("method,options", [
    ("levenberg_marquardt", {}),
    ("nelder_mead", {"nelder_mead_iterations": 300}),
    ("particle_swarm", {"num_particles": 15, "generations": 20, "seed": 4}),
    ("basin_hopping", {"basin_hopping_hops": 2, "seed": 9}),
], ids=["lm", "nelder_mead", "particle_swarm", "basin_hopping"])
@pytest.mark.parametrize("make", [
    constrained,
    lambda: pickle.loads(pickle.dumps(constrained())),
    # Values not given: every spectrum starts from the network's guess made to respect the constraints.
    lambda: velotz.Circuit("R0-(R1,CPE1)").with_bounds({"CPE1.alpha": ALPHA_BOUNDS}),
], ids=["constrained", "unpickled", "guessed"])
def test_batches_of_constrained_circuits_equal_single_fits(make, method, options):
    c = make()
    spectra = _spectra()
    batch = velotz.fit_batch(c, spectra, method=method, **options)
    assert len(batch) == len(spectra)
    for (f, z), got in zip(spectra, batch):
        single = c.fit(f, z, method=method, **options)
        assert _result_bits(got) == _result_bits(single)
        assert got == single
        assert got.circuit.fixed_params() == c.fixed_params()
        assert got.circuit.custom_bounds() == c.custom_bounds() == {"CPE1.alpha": ALPHA_BOUNDS}
        assert ALPHA_BOUNDS[0] <= got.params["CPE1.alpha"] <= ALPHA_BOUNDS[1]
        if c.fixed_params():
            assert got.params["R0.r"] == R0_FIXED and set(got.stderr) == set(c.free_param_names())
    back = pickle.loads(pickle.dumps(batch))
    assert back == batch and [_result_bits(r) for r in back] == [_result_bits(r) for r in batch]
    # The same batch without the constraints is a different batch.
    plain = c.with_free().with_bounds({"CPE1.alpha": None})
    assert velotz.fit_batch(plain, spectra[:1], method=method, **options)[0] != batch[0]


@pytest.mark.parametrize("backend", ["pandas", "polars"])
def test_tables_of_constrained_fits_leave_the_fixed_parameters_stderr_empty(backend):
    pytest.importorskip(backend, reason=f"{backend} is an optional package that is not installed here (the PyPy lane installs numpy and pytest only)")
    batch = velotz.fit_batch(constrained(), _spectra(3))
    for frame in (batch.to_dataframe(backend=backend), velotz.to_dataframe(batch[0], backend=backend)):
        rows = frame.to_dict("records") if backend == "pandas" else frame.to_dicts()
        for row, r in zip(rows, batch):
            assert row["R0.r"] == R0_FIXED and math.isnan(row["R0.r_stderr"])
            for name in ("R1.r", "CPE1.q", "CPE1.alpha"):
                assert row[name] == r.params[name] and row[name + "_stderr"] == r.stderr[name]
