"""The type stubs against the runtime: parameter names, order, kinds and
defaults of the fit-related methods and functions, and the method names."""
import ast
import inspect
import pathlib
import sys

import pytest

import velotz
from interpreter import CPYTHON, builtin_signatures

STUB = pathlib.Path(velotz.__file__).with_name("__init__.pyi")
CORE = sys.modules["velotz._core"]
REQUIRED = "<required>"


def _stub():
    return ast.parse(STUB.read_text(encoding="utf-8"))


def _stub_function(name, cls=None):
    body = _stub().body
    if cls is not None:
        body = next(n for n in body if isinstance(n, ast.ClassDef) and n.name == cls).body
    return next(n for n in body if isinstance(n, ast.FunctionDef) and n.name == name)


def _params(fn):
    """[(name, default or REQUIRED, kind)] of a parsed def, without self."""
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    out = [(p.arg, REQUIRED if d is None else ast.literal_eval(d), "positional") for p, d in zip(positional, defaults)]
    out += [(p.arg, REQUIRED if d is None else ast.literal_eval(d), "keyword") for p, d in
            zip(a.kwonlyargs, a.kw_defaults)]
    return [p for p in out if p[0] != "self"]


def _runtime_params(obj):
    """The parameters of a compiled function from its text signature (the
    docstring's first part where the interpreter does not split it off)."""
    text = getattr(obj, "__text_signature__", None)
    if not text:
        head = obj.__doc__.split("\n--\n\n")[0]
        text = head[head.index("("):]
    text = text.replace("($self, ", "(").replace("($self)", "()").replace("($module, ", "(")
    return _params(ast.parse(f"def f{text}: pass").body[0])


def _python_params(fn):
    out = []
    for p in inspect.signature(fn).parameters.values():
        if p.kind in (p.VAR_KEYWORD, p.VAR_POSITIONAL):
            continue
        kind = "keyword" if p.kind == p.KEYWORD_ONLY else "positional"
        out.append((p.name, REQUIRED if p.default is p.empty else p.default, kind))
    return out


def _fit_options():
    return [(name, ast.literal_eval(shown), "positional") for name, _conv, shown, _check, _doc in CORE._fit_options()]


@builtin_signatures
@pytest.mark.parametrize("method", ["fit", "guess", "estimate_start", "residuals", "jacobian"])
def test_circuit_method_stubs_match_the_runtime(method):
    assert _params(_stub_function(method, "Circuit")) == _runtime_params(getattr(velotz.Circuit, method))


@builtin_signatures
def test_fit_signature_lists_the_option_table():
    runtime = _runtime_params(velotz.Circuit.fit)
    assert runtime[:2] == [("frequencies", REQUIRED, "positional"), ("impedances", None, "positional")]
    assert runtime[2:] == _fit_options()
    assert [row[0] for row in CORE._fit_options()][:3] == ["guess_init", "weights", "weight"]


def test_fit_batch_stub_matches_the_wrapper_and_the_option_table():
    stub = _params(_stub_function("fit_batch"))
    own = _python_params(velotz.fit_batch)
    # The wrapper's own parameters, then progress_interval (read by the
    # compiled batch), then every option of fit() as a keyword.
    assert stub[:len(own)] == own
    assert stub[len(own)][0] == "progress_interval"
    if CPYTHON:  # PyPy keeps no text signature of functions written in C
        interval = [p for p in _runtime_params(CORE._fit_batch) if p[0] == "progress_interval"]
        assert stub[len(own)] == (interval[0][0], interval[0][1], "keyword")
    assert stub[len(own) + 1:] == [(n, d, "keyword") for n, d, _ in _fit_options()]


@pytest.mark.parametrize("function", ["fit_robust", "check_data"])
def test_python_function_stubs_match(function):
    assert _params(_stub_function(function)) == _python_params(getattr(velotz, function))


def test_bootstrap_stub_forwards_the_batch_options():
    stub = _params(_stub_function("bootstrap"))
    own = _python_params(velotz.bootstrap)
    batch = _params(_stub_function("fit_batch"))
    progress = [p for p in batch if p[0] in ("progress", "progress_interval")]
    # Its own parameters (its seed and weight included), the batch's
    # progress arguments, then every other option of fit().
    assert stub[:len(own)] == own
    assert stub[len(own):len(own) + 2] == progress
    mine = {p[0] for p in own}
    assert stub[len(own) + 2:] == [(n, d, "keyword") for n, d, _ in _fit_options() if n not in mine]


def test_method_literal_lists_every_method():
    assign = next(n for n in _stub().body if isinstance(n, ast.Assign) and n.targets[0].id == "_Method")
    literal = assign.value.left  # Literal[...] | str
    names = [ast.literal_eval(e) for e in literal.slice.elts]
    assert sorted(names) == sorted(CORE._fit_methods())
    assert len(set(names)) == len(names) == 6


@pytest.mark.parametrize("method", ["levenberg_marquardt", "nelder_mead", "particle_swarm",
                                    "differential_evolution", "simulated_annealing", "basin_hopping"])
def test_every_listed_method_is_dispatched(method):
    circuit = velotz.Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5])
    f = [10.0 ** (k / 2) for k in range(-2, 10)]
    z = circuit.impedance(f)
    result = circuit.fit(f, z, method=method, guess_init=False, num_particles=5, generations=3,
                         nelder_mead_iterations=20, de_evaluations=60, sa_iterations=20, basin_hopping_hops=1,
                         seed=1)
    assert method in CORE._fit_methods()
    assert isinstance(result, velotz.FitResult) and result.impedance_evals > 0
