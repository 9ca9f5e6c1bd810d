"""Callbacks that change the caller's containers while velotz reads them, and
pickle states that do not describe a fit the code could have produced.

Each hostile call runs in a child process, so a crash shows up as a failed
test with the child's exit status instead of ending the run."""
import math
import pickle

import numpy as np
import pytest

import velotz
from test_boundaries import run_child

# Every case empties (or changes) the list being read from inside a
# conversion callback; the expected output is what the call returns when the
# list is read as it was passed.
CLEAR = """
import sys, numpy as np, velotz
core = sys.modules["velotz._core"]
class Clear:
    def __init__(self, target, value=1.0):
        self.target, self.value = target, value
    def __float__(self):
        self.target.clear()
        return float(self.value)
    def __index__(self):
        self.target.clear()
        return int(self.value)
f = list(np.logspace(0, 3, 5))
z = [2.0 + 0j] * 5
"""

MUTATING = {
    "element values": ("""
vals = [None, 0.5]; vals[0] = Clear(vals, 2.0)
print(core._element_from_state("Cpe", vals))""", "Element.Cpe(q=2.0, alpha=0.5)"),
    "circuit nodes": ("""
nodes = [None, ("R", "R1", (3.0,))]
nodes[0] = ("R", "R0", (Clear(nodes, 2.0),))
print(core._circuit_from_state({"format": 1, "nodes": nodes, "values_given": True}).param_values())""",
                      "[2.0, 3.0]"),
    "parallel branches": ("""
group = [None, [("C", "C1", (1e-3,))]]
group[0] = [("R", "R1", (Clear(group, 2.0),))]
c = core._circuit_from_state({"format": 1, "nodes": [group], "values_given": True})
print(c.param_names(), c.param_values())""", "['R1.r', 'C1.c'] [2.0, 0.001]"),
    "state dict": ("""
state = {"format": 1, "values_given": True}
state["nodes"] = [("R", "R0", (Clear(state, 2.0),)), ("R", "R1", (3.0,))]
print(core._circuit_from_state(state).param_values())""", "[2.0, 3.0]"),
    "custom bounds": ("""
c = velotz.Circuit("R0-(R1,C1)").with_bounds({"R0.r": (1.0, 5.0)})
state = c.__reduce__()[1][0]
state["bounds"][0] = (Clear(state["bounds"], 1.0), 5.0)
print(core._circuit_from_state(state).custom_bounds())""", "{'R0.r': (1.0, 5.0)}"),
    "batch spectra": ("""
spectra = [None] * 30
f0 = list(f); f0[0] = Clear(spectra, f[0])
spectra[:] = [(f0, z)] + [(f, z)] * 29
out = core._fit_batch(velotz.Circuit("R0").with_values([1.5]), spectra, method="levenberg_marquardt")
print(len(out), all(round(r.params["R0.r"], 9) == 2.0 for r in out))""", "30 True"),
    "batch seeds": ("""
seeds = [None] * 30; seeds[0] = Clear(seeds, 7)
out = core._fit_batch(velotz.Circuit("R0"), [(f, z)] * 30, seeds=seeds, method="nelder_mead",
                      nelder_mead_iterations=50)
print(len(out), all(abs(r.params["R0.r"] - 2.0) < 1e-3 for r in out))""", "30 True"),
}


@pytest.mark.parametrize("name", sorted(MUTATING))
def test_callbacks_that_change_the_container_being_read(name):
    code, expected = MUTATING[name]
    rc, out, err = run_child(CLEAR + code)
    assert rc == 0, err
    assert out.strip() == expected


# ---------------------------------------------------------------- states

F = np.logspace(-1, 4, 20)
Z = 10.0 + 100.0 / (1 + 2j * np.pi * F * 100.0 * 1e-4)


def _fit(circuit=None):
    c = circuit or velotz.Circuit("R0-(R1,C1)").with_values([5.0, 50.0, 2e-4])
    return c.fit(F, Z, guess_init=False)


def _state(r):
    return r.__reduce__()[1][0]


@pytest.mark.parametrize("changes", [
    {"cost": math.nan}, {"cost": math.inf}, {"chi_square": math.nan, "cost": -math.inf},
    "nan params", "inf params",
], ids=["nan cost", "inf cost", "-inf cost", "nan params", "inf params"])
def test_a_state_claiming_success_for_an_unusable_fit_loads_as_a_failure(changes):
    r = _fit()
    assert r.success
    state = dict(_state(r))
    if isinstance(changes, dict):
        state.update(changes)
    else:
        bad = math.nan if changes == "nan params" else math.inf
        params = [state["params"][0], bad, state["params"][2]]
        state["params"] = params
        # The circuit holds the same values, as in a state a fit writes.
        state["circuit"] = velotz.Circuit("R0-(R1,C1)").with_values(params).__reduce__()[1][0]["nodes"]
    back = r.__reduce__()[0](state)
    assert back.success is False
    assert not (math.isfinite(back.cost) and all(math.isfinite(v) for v in back.params.values()))


def test_a_state_of_a_usable_fit_keeps_its_success():
    r = _fit()
    back = pickle.loads(pickle.dumps(r))
    assert back.success is True and back == r


@pytest.mark.parametrize("label, code", [
    ("R0\x00-(", "R"), ("C1", "R"), ("", "R"), ("R", "R"), ("R0-C1", "R"), (" R0", "R"), ("CPE1x", "Cpe"),
    ("R0" + "0" * 5000 + "é", "R"),
])
def test_circuit_states_with_labels_the_parser_refuses_are_refused(label, code):
    values = (1.0,) if code == "R" else (1e-3, 0.8)
    state = {"format": 1, "nodes": [(code, label, values)], "values_given": True}
    with pytest.raises(ValueError, match="is not a label of element"):
        velotz.Circuit("R0").__reduce__()[0](state)


def test_circuit_states_with_parser_labels_load():
    state = {"format": 1, "nodes": [("R", "R00", (1.0,)), ("Cpe", "CPE7", (1e-3, 0.8)), ("Tlmq", "TLMQ2",
                                                                                             (1.0, 1e-3, 0.9))],
             "values_given": True}
    c = velotz.Circuit("R0").__reduce__()[0](state)
    assert c.param_names() == ["R00.r", "CPE7.q", "CPE7.alpha", "TLMQ2.r_ion", "TLMQ2.qs", "TLMQ2.gamma"]


@pytest.mark.parametrize("key, value, message", [
    ("names", ["R0.r", "R0.r", "C1.c"], "names must be the parameter names of the circuit"),
    ("names", ["R0.r\x00x", "R1.r", "C1.c"], "names must be the parameter names of the circuit"),
    ("names", ["R0.r", "R1.r"], "names must be the parameter names of the circuit"),
    ("params", [1.0, 2.0, 3.0], "params must be the parameter values of the circuit"),
    ("std_error_names", ["R0.r"], "std_error_names must be the names of the free parameters"),
    ("std_error_names", ["C1.c", "R1.r", "R0.r"], "std_error_names must be the names of the free parameters"),
])
def test_fit_result_states_must_agree_with_their_circuit(key, value, message):
    r = _fit()
    with pytest.raises(ValueError, match=message):
        r.__reduce__()[0](dict(_state(r), **{key: value}))


def test_constrained_fit_state_names_the_free_parameters():
    c = velotz.Circuit("R0-(R1,C1)").with_values([5.0, 50.0, 2e-4]).with_fixed({"R0.r": 10.0})
    r = _fit(c)
    state = _state(r)
    assert state["std_error_names"] == ["R1.r", "C1.c"]
    back = r.__reduce__()[0](state)
    assert back == r and sorted(back.stderr) == ["C1.c", "R1.r"]
    # Written without the key, the free names follow from the constraints.
    del state["std_error_names"]
    assert r.__reduce__()[0](state) == r


# ---------------------------------------------------------------- the batch's lock

PROGRESS = """
import numpy as np, threading, velotz
f = np.logspace(0, 3, 8); z = 1.0 + 0 * f + 0j
c = velotz.Circuit("R0").with_values([1.0])
ticks = []
def ticker():  # another Python thread: runs only if the lock is really released and re-taken
    for _ in range(50):
        ticks.append(1)
t = threading.Thread(target=ticker)
"""


@pytest.mark.parametrize("case, expected", [
    ("""
def progress(done, total):
    raise RuntimeError("stop here")
try:
    velotz.fit_batch(c, [(f, z)] * 200, progress=progress, method="nelder_mead", nelder_mead_iterations=2000)
except RuntimeError as e:
    print("RuntimeError", e)""", "RuntimeError stop here"),
    ("""
def progress(done, total):
    velotz.fit_batch(c, [(f, z)] * 3)  # a nested batch from inside the callback
    raise KeyboardInterrupt
try:
    velotz.fit_batch(c, [(f, z)] * 200, progress=progress, method="nelder_mead", nelder_mead_iterations=2000)
except KeyboardInterrupt:
    print("KeyboardInterrupt")""", "KeyboardInterrupt"),
    ("""
try:
    velotz.fit_batch(c, [(f, z)] * 8, method="particle_swarm", num_particles=2**40)
except MemoryError:
    print("MemoryError")""", "MemoryError"),
])
def test_batch_errors_leave_with_the_lock_held_and_the_module_usable(case, expected):
    from interpreter import SANITIZED
    if "2**40" in case and SANITIZED:
        pytest.skip("AddressSanitizer aborts on an allocation that cannot succeed")
    code = PROGRESS + case + """
t.start(); t.join()
r = velotz.fit_batch(c, [(f, z)] * 4)
print(len(ticks), [round(x.params["R0.r"], 6) for x in r])
"""
    rc, out, err = run_child(code)
    assert rc == 0, err
    assert out.strip().splitlines() == [expected, "50 [1.0, 1.0, 1.0, 1.0]"]
