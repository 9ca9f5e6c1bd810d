"""Objects that travel: pickling (also into another process), copies,
equality by value and hashing of elements, circuits and fit results."""
import copy
import math
import os
import pickle
import struct
import subprocess
import sys
import warnings

import numpy as np
import pytest

import velotz
from velotz import Circuit, Element, Parallel, Series

NAN = float("nan")
INF = float("inf")
CODES = ["R", "C", "L", "La", "Cpe", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "Tlmq", "T"]
FIELDS = {"R": 1, "C": 1, "L": 1, "La": 2, "Cpe": 2, "W": 1, "Wo": 2, "Ws": 2, "G": 2, "Gs": 3,
          "K": 2, "Zarc": 3, "Tlmq": 3, "T": 4}
# Values whose bits a text round trip could lose or change: signed zero,
# NaN with a payload, infinities, subnormals, non-terminating decimals.
AWKWARD = [-0.0, struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000123))[0], -INF, 5e-324, 0.1 + 0.2]


def bits(x):
    return struct.pack("<d", x)


def element_bits(e):
    return [bits(getattr(e, f)) for f in type(e).__match_args__]


def circuit_bits(c):
    return [bits(v) for v in c.param_values()]


@pytest.mark.parametrize("code", CODES)
@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
def test_elements_pickle_bit_for_bit(code, protocol):
    cls = getattr(Element, code)
    values = [AWKWARD[(i + len(code)) % len(AWKWARD)] for i in range(FIELDS[code])]
    e = cls(*values)
    back = pickle.loads(pickle.dumps(e, protocol))
    assert type(back) is cls and repr(back) == repr(e)
    assert element_bits(back) == [bits(v) for v in values]
    assert back == e and hash(back) == hash(e)
    assert copy.copy(e) is e and copy.deepcopy(e) is e


@pytest.mark.parametrize("code", CODES)
def test_element_equality_by_kind_and_value(code):
    cls = getattr(Element, code)
    n = FIELDS[code]
    a = cls(*[1.5] * n)
    assert a == cls(*[1.5] * n) and not (a != cls(*[1.5] * n))
    assert hash(a) == hash(cls(*[1.5] * n))
    assert a != cls(*([1.5] * (n - 1) + [2.5]))
    # A variant with the same number of fields and the same values differs.
    for other in [c for c in CODES if c != code and FIELDS[c] == n][:1]:
        assert a != getattr(Element, other)(*[1.5] * n)
    assert a != (1.5,) * n and a != 1.5
    # Signed zeros are equal values; NaN equals NaN so copies compare equal.
    assert cls(*[0.0] * n) == cls(*[-0.0] * n) and hash(cls(*[0.0] * n)) == hash(cls(*[-0.0] * n))
    assert cls(*[NAN] * n) == cls(*[NAN] * n)
    assert len({a, cls(*[1.5] * n), cls(*[7.0] * n)}) == 2


def _mixed():
    parsed = Circuit("R0-(R1,CPE1)").with_values([1.0, 2.0, 3e-5, 0.5])
    return Series([Element.R(-0.0), Element.R(AWKWARD[1]), parsed, Element.Cpe(1e-3, 0.9), parsed])


CIRCUITS = {
    "parsed": lambda: Circuit("R0-p(R1,CPE1)-Wo1"),
    "model name": lambda: Circuit("randles"),
    "given values": lambda: Circuit("R0-(R1,C1)").with_values([5e-324, 0.1 + 0.2, -INF]),
    "unlabelled and repeated labels": _mixed,
    "empty parallel": lambda: Parallel([]),
    "empty series": lambda: Series([]),
    "nested groups": lambda: Parallel([Element.R(1.0), Parallel([Element.C(2.0), Series([])]), Circuit("L0")]),
    "deep nesting": lambda: Circuit("R0-" + "".join(f"(R{i}," for i in range(1, 151)) + "C1" + ")" * 150),
}


@pytest.mark.parametrize("make", CIRCUITS.values(), ids=CIRCUITS.keys())
def test_circuits_pickle_to_equal_circuits(make):
    c = make()
    for protocol in (2, pickle.HIGHEST_PROTOCOL):
        back = pickle.loads(pickle.dumps(c, protocol))
        assert type(back) is Circuit
        assert back == c and hash(back) == hash(c)
        assert repr(back) == repr(c)
        assert back.param_names() == c.param_names()
        assert circuit_bits(back) == circuit_bits(c)
    assert copy.copy(c) is c and copy.deepcopy([c])[0] is c


@pytest.mark.parametrize("given", [False, True])
def test_pickle_keeps_whether_values_were_given(given):
    # "R0-Wo1" has no trained network: a fit warns exactly when it would
    # have guessed, i.e. when the values were not given.
    c = Circuit("R0-Wo1")
    if given:
        c = c.with_values(c.param_values())
    back = pickle.loads(pickle.dumps(c))
    f = [1.0, 10.0, 100.0, 1000.0]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        back.fit(f, [2 - 1j, 1.5 - 0.5j, 1.2 - 0.2j, 1.1 - 0.1j])
    assert len(caught) == (0 if given else 1)
    # Same tree, different flag: not equal, since fit() treats them apart.
    assert (back == Circuit("R0-Wo1")) is (not given)


def test_circuit_equality_is_by_structure_labels_and_values():
    assert Circuit("R0-(R1,C1)") == Circuit("R0-p(R1,C1)")
    assert Circuit("R0-(R1,C1)") != Circuit("R0-(C1,R1)")
    assert Circuit("R0-(R1,C1)") != Circuit("R0-(R2,C1)")
    assert Circuit("R0-C1") != Circuit("R0-(C1)")
    assert Series([Element.R(1.0)]) != Circuit("R0").with_values([1.0])  # unlabelled vs labelled
    a = Circuit("R0").with_values([0.0])
    assert a == Circuit("R0").with_values([-0.0]) and hash(a) == hash(Circuit("R0").with_values([-0.0]))
    assert Circuit("R0").with_values([NAN]) == Circuit("R0").with_values([NAN])
    assert Circuit("R0") != "R0" and Circuit("R0") != Element.R(1.0)
    assert len({Circuit("R0"), Circuit("R0"), Circuit("R1")}) == 2


def _fit():
    f = np.logspace(4, -1, 25)
    z = Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5]).impedance(f) * (1 + 0.01 * np.sin(np.arange(25)))
    return Circuit("R0-(R1,C1)").fit(f, z)


def _fit_without_stderr():
    # One frequency, three parameters: no standard errors.
    return Circuit("R0-(R1,C1)").fit([100.0], [12 - 3j], guess_init=False)


@pytest.mark.parametrize("make", [_fit, _fit_without_stderr])
def test_fit_results_pickle_to_equal_results(make):
    r = make()
    back = pickle.loads(pickle.dumps(r))
    assert type(back) is velotz.FitResult
    assert back == r and hash(back) == hash(r) and repr(back) == repr(r)
    for name in ("params", "stderr", "success", "iterations", "impedance_evals", "cost", "chi_square"):
        a, b = getattr(r, name), getattr(back, name)
        if isinstance(a, dict):
            assert {k: bits(v) for k, v in a.items()} == {k: bits(v) for k, v in b.items()}
        elif isinstance(a, float):
            assert bits(a) == bits(b)
        else:
            assert a == b
    assert back.circuit == r.circuit
    assert copy.deepcopy(r) is r


def test_fit_results_differ_when_any_field_differs():
    r = _fit()
    state = r.__reduce__()[1][0]
    rebuild = velotz.FitResult.__reduce__(r)[0]
    assert rebuild(dict(state)) == r
    for key, value in [("cost", state["cost"] * 2), ("iterations", state["iterations"] + 1), ("success", False),
                       ("stderr", None)]:
        assert rebuild(dict(state, **{key: value})) != r, key
    # Other parameter values come with the circuit holding them.
    scaled = [p * 1.5 for p in state["params"]]
    nodes = r.circuit.with_values(scaled).__reduce__()[1][0]["nodes"]
    assert rebuild(dict(state, params=scaled, circuit=nodes)) != r


@pytest.mark.parametrize("state, message", [
    ({"format": 1, "nodes": [("R", "R0", (1.0,))], "values_given": True, "locked": []}, "unknown key 'locked'"),
    ({"format": 2, "nodes": [], "values_given": True}, "unsupported format 2"),
    ({"format": 1, "nodes": [("R", "R0", (1.0, 2.0))], "values_given": True}, "element R takes 1 values"),
    ({"format": 1, "nodes": [("Q", None, (1.0,))], "values_given": True}, "unknown element code"),
    ({"format": 1, "nodes": [("R", None, (1.0,))]}, 'missing "values_given"'),
])
def test_malformed_circuit_states_are_refused(state, message):
    rebuild = Circuit("R0").__reduce__()[0]
    with pytest.raises(ValueError, match=message):
        rebuild(state)


# ---------------------------------------------------------------- constraints

F_RQ = np.logspace(5, -2, 30)
Z_RQ = (Circuit("R0-(R1,CPE1)").with_values([10.0, 100.0, 1e-4, 0.85]).impedance(F_RQ)
        * (1 + 0.01 * np.cos(np.arange(30))))
START_RQ = [30.0, 30.0, 3e-4, 0.7]


def _rq(values=START_RQ):
    return Circuit("R0-(R1,CPE1)").with_values(values)


CONSTRAINED = {
    "fixed": lambda: _rq().with_fixed({"R0.r": 0.1 + 0.2}),
    "finite bounds": lambda: _rq().with_bounds({"CPE1.alpha": (0.5, 0.8)}),
    "open bound": lambda: _rq().with_bounds({"R1.r": (0.1 + 0.2, INF)}),
    "fixed and bounds": lambda: _rq().with_fixed({"R0.r": 12.0}).with_bounds({"CPE1.alpha": (0.5, 0.8),
                                                                             "R1.r": (1e-3, 1e4)}),
    "fixed within its bounds": lambda: _rq().with_bounds({"R0.r": (10.0, 40.0)}).with_fixed(["R0.r"]),
    "values not given": lambda: Circuit("R0-(R1,CPE1)").with_bounds({"CPE1.alpha": (0.5, 0.95)}),
}


def _fit_bits(r):
    names = r.circuit.param_names()
    stderr = None if r.stderr is None else {k: bits(v) for k, v in r.stderr.items()}
    return [bits(r.params[n]) for n in names], stderr, bits(r.cost), r.iterations, r.impedance_evals, r.success


@pytest.mark.parametrize("make", CONSTRAINED.values(), ids=CONSTRAINED.keys())
def test_constrained_circuits_pickle_to_equal_circuits_that_fit_alike(make):
    c = make()
    for protocol in (2, pickle.HIGHEST_PROTOCOL):
        back = pickle.loads(pickle.dumps(c, protocol))
        assert back == c and hash(back) == hash(c) and repr(back) == repr(c)
        assert {k: bits(v) for k, v in back.fixed_params().items()} == {
            k: bits(v) for k, v in c.fixed_params().items()}
        assert {k: (bits(lo), bits(hi)) for k, (lo, hi) in back.custom_bounds().items()} == {
            k: (bits(lo), bits(hi)) for k, (lo, hi) in c.custom_bounds().items()}
        assert back.free_param_names() == c.free_param_names()
        assert circuit_bits(back) == circuit_bits(c)
    back = pickle.loads(pickle.dumps(c))
    assert _fit_bits(back.fit(F_RQ, Z_RQ)) == _fit_bits(c.fit(F_RQ, Z_RQ))
    assert back.fit(F_RQ, Z_RQ) == c.fit(F_RQ, Z_RQ)
    # An unconstrained circuit still pickles without the constraint keys.
    assert not {"fixed", "bounds"} & set(_rq().__reduce__()[1][0])


@pytest.mark.parametrize("make", CONSTRAINED.values(), ids=CONSTRAINED.keys())
def test_constraints_take_part_in_equality_and_hash(make):
    c = make()
    plain = c.with_free().with_bounds({name: None for name in c.custom_bounds()})
    assert plain.fixed_params() == {} and plain.custom_bounds() == {}
    assert plain.param_values() == c.param_values()  # same tree, same values
    assert c != plain and not (c == plain)
    assert plain == pickle.loads(pickle.dumps(plain))
    # Removing the constraints one by one gives back equal circuits.
    assert len({c, make(), plain, pickle.loads(pickle.dumps(plain))}) == 2


def test_constraints_differ_in_what_and_where():
    base = _rq()
    variants = [
        base.with_fixed(["R0.r"]),
        base.with_fixed(["R1.r"]),
        base.with_bounds({"CPE1.alpha": (0.5, 0.8)}),
        base.with_bounds({"CPE1.alpha": (0.5, 0.8000000000000002)}),
        base.with_bounds({"CPE1.alpha": (0.5, 0.8)}).with_fixed(["R0.r"]),
        base.with_bounds({"R1.r": (1.0, INF)}),
        base.with_bounds({"R1.r": (1.0, 1e300)}),
    ]
    for i, a in enumerate(variants):
        for j, b in enumerate(variants):
            assert (a == b) is (i == j), (i, j)
    # Equal constraints reached in a different order are equal, with equal hashes.
    a = base.with_fixed(["R0.r"]).with_bounds({"CPE1.alpha": (0.5, 0.8)})
    b = base.with_bounds({"CPE1.alpha": (0.5, 0.8)}).with_fixed(["R0.r"])
    assert a == b and hash(a) == hash(b)


@pytest.mark.parametrize("make", [CONSTRAINED["fixed and bounds"], CONSTRAINED["fixed"]],
                         ids=["fixed and bounds", "fixed"])
def test_constrained_fit_results_pickle_with_stderr_of_free_parameters(make):
    c = make()
    r = c.fit(F_RQ, Z_RQ)
    assert r.stderr is not None and set(r.stderr) == set(c.free_param_names())
    back = pickle.loads(pickle.dumps(r))
    assert back == r and hash(back) == hash(r) and repr(back) == repr(r)
    assert _fit_bits(back) == _fit_bits(r)
    assert back.circuit == r.circuit and back.circuit.fixed_params() == c.fixed_params()
    assert back.circuit.custom_bounds() == c.custom_bounds()
    # The fitted circuit keeps its constraints: refitting it holds the fixed value.
    assert back.circuit.fit(F_RQ, Z_RQ).params["R0.r"] == c.fixed_params()["R0.r"]
    # The same fit without constraints is a different result.
    state = r.__reduce__()[1][0]
    rebuild = r.__reduce__()[0]
    unconstrained = {k: v for k, v in state.items() if k not in ("fixed", "bounds", "std_error_names")}
    unconstrained["stderr"] = None
    assert rebuild(unconstrained) != r
    # Standard errors named for other parameters than the free ones do not load.
    with pytest.raises(ValueError, match="std_error_names must be the names of the free parameters"):
        rebuild(dict(state, std_error_names=list(reversed(state["std_error_names"]))))


def test_states_written_before_constraints_still_read():
    r = _fit()
    state = r.__reduce__()[1][0]
    assert state["std_error_names"] == state["names"]
    old = {k: v for k, v in state.items() if k != "std_error_names"}
    back = r.__reduce__()[0](old)
    assert back == r and back.stderr == r.stderr
    c_state = {"format": 1, "nodes": [("R", "R0", (1.0,))], "values_given": True}
    assert Circuit("R0").__reduce__()[0](c_state) == Circuit("R0").with_values([1.0])


@pytest.mark.parametrize("extra, message", [
    ({"fixed": [True]}, r"\"fixed\" must hold one entry per parameter \(2\)"),
    ({"fixed": [1, 0]}, "entries must be bools"),
    ({"bounds": [None, (1.0,)]}, "None or a \\(lower, upper\\) tuple"),
    ({"bounds": [None, (5.0, 1.0)]}, "need lower < upper"),
    ({"bounds": [(0.0, 1.0), None]}, "must lie within its default bounds"),
    ({"fixed": [True, False], "bounds": [(3.0, 4.0), None]}, "lies outside its bounds"),
    ({"fixed": [True, True]}, "every parameter of this circuit would be fixed"),
])
def test_malformed_constraint_states_are_refused(extra, message):
    state = {"format": 1, "nodes": [("R", "R0", (1.0,)), ("R", "R1", (2.0,))], "values_given": True, **extra}
    with pytest.raises(ValueError, match=message):
        Circuit("R0").__reduce__()[0](state)
    r = _rq().fit(F_RQ, Z_RQ)
    rstate = dict(r.__reduce__()[1][0], circuit=state["nodes"], names=["R0.r", "R1.r"], params=[1.0, 2.0],
                  stderr=None, std_error_names=[], **extra)
    with pytest.raises(ValueError, match=message):
        r.__reduce__()[0](rstate)


CHILD = r"""
import pickle, struct, sys
import velotz
objs = pickle.load(sys.stdin.buffer)
out = []
for o in objs:
    if isinstance(o, velotz.Circuit):
        out.append(("circuit", repr(o), o.param_names(), [struct.pack("<d", v) for v in o.param_values()],
                    [complex(z) for z in o.impedance([1.0, 1000.0])]))
        out.append(("constraints", o.fixed_params(), o.custom_bounds(), o.free_param_names()))
    elif isinstance(o, velotz.Element):
        out.append(("element", repr(o)))
    else:
        out.append(("result", repr(o), sorted(o.params.items()), o.cost, o.stderr, o.circuit.fixed_params(),
                    o.circuit.custom_bounds()))
out.append(objs)
pickle.dump(out, sys.stdout.buffer)
"""


def test_objects_travel_to_another_process_and_back():
    circuits = [make() for make in CIRCUITS.values()]
    elements = [getattr(Element, c)(*[0.25] * FIELDS[c]) for c in CODES]
    circuits += [make() for make in CONSTRAINED.values()]
    result = _fit()
    constrained = CONSTRAINED["fixed and bounds"]().fit(F_RQ, Z_RQ)
    objs = circuits + elements + [result, constrained]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    done = subprocess.run([sys.executable, "-c", CHILD], input=pickle.dumps(objs), capture_output=True, env=env,
                          timeout=120)
    assert done.returncode == 0, done.stderr.decode()
    report = pickle.loads(done.stdout)
    circuit_reports = report[:2 * len(circuits)]
    for i, c in enumerate(circuits):
        got, constraints = circuit_reports[2 * i], circuit_reports[2 * i + 1]
        assert got[0] == "circuit" and got[1] == repr(c) and got[2] == c.param_names()
        assert got[3] == circuit_bits(c)
        # Impedance in the child equals the parent's, NaN included.
        np.testing.assert_array_equal(np.array(got[4]), c.impedance([1.0, 1000.0]))
        assert constraints == ("constraints", c.fixed_params(), c.custom_bounds(), c.free_param_names())
    for e, got in zip(elements, report[2 * len(circuits):]):
        assert got == ("element", repr(e))
    for r, got in zip([result, constrained], report[-3:-1]):
        assert got == ("result", repr(r), sorted(r.params.items()), r.cost, r.stderr, r.circuit.fixed_params(),
                       r.circuit.custom_bounds())
    assert set(report[-2][4]) == {"R1.r", "CPE1.q", "CPE1.alpha"}
    assert report[-1] == objs  # and back again


def test_version():
    assert isinstance(velotz.__version__, str)
    assert [int(p) for p in velotz.__version__.split(".")][:2] >= [0, 1]
