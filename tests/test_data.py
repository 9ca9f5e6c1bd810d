"""Circuits and results as data: Circuit.text, to_dict/from_dict and JSON."""
import copy
import json
import math

import pytest

import velotz
from velotz import Circuit, Element, FitResult, Parallel, Series

np = pytest.importorskip("numpy")


def strict_json(text):
    """Parses JSON text refusing the NaN/Infinity literals JSON lacks."""
    def refuse(name):
        raise AssertionError(f"non-standard literal {name}")
    return json.loads(text, parse_constant=refuse)


def spectrum(seed=0, n=40, noise=0.002):
    f = np.logspace(5, -1, n)
    z = Circuit("R0-p(R1,CPE1)").with_values([10.0, 50.0, 2e-5, 0.85]).impedance(f)
    rng = np.random.default_rng(seed)
    return f, z * (1 + noise * (rng.standard_normal(n) + 1j * rng.standard_normal(n)))


# ---------------------------------------------------------------- Circuit.text

@pytest.mark.parametrize("circuit, text", [
    (Circuit("R0-(R1,CPE1)"), "R0-(R1,CPE1)"),
    (Circuit("R0-p(R1-W1,Cpe2)"), "R0-(R1-W1,Cpe2)"),
    (Circuit("randles"), None),
    (Series([Element.R(10.0), Element.C(1e-6), Element.R(2.0)]), "R0-C0-R1"),
    (Parallel([Element.R(1.0), Series([Element.Cpe(1e-3, 0.9), Element.W(3.0)])]), "(R0,Cpe0-W0)"),
    (Series([Circuit("R5-(R1,C1)"), Element.Zarc(1.0, 1e-3, 0.8), Element.R(2.0)]), "R5-(R1,C1)-Zarc0-R0"),
    (Series([]), ""),
])
def test_text_has_a_label_for_every_element(circuit, text):
    if text is not None:
        assert circuit.text == text
    # Without repeated labels the text parses back to the same topology and
    # names.
    rebuilt = Circuit(circuit.text) if circuit.text else None
    if rebuilt is not None:
        assert rebuilt.param_names() == circuit.param_names()
        assert rebuilt.with_values(circuit.param_values()).impedance([1.0, 1e3]).tolist() == \
            circuit.impedance([1.0, 1e3]).tolist()


def test_text_keeps_repeated_labels_like_param_names():
    joined = Series([Circuit("R0"), Element.R(1.0)])
    assert joined.text == "R0-R0"
    assert joined.param_names() == ["R0.r", "R0.r"]


# ---------------------------------------------------------------- Circuit round trips

def circuits():
    base = Circuit("R0-p(R1,CPE1)-W1")
    return [
        base,
        base.with_values([1.5, 2.0 ** -60, 1e300, 0.3333333333333333, 7.0]),
        base.with_values([math.nan, math.inf, -math.inf, -0.0, 5e-324]),
        base.with_fixed({"CPE1.alpha": 0.9}).with_bounds({"R1.r": (1.0, 1e3)}),
        Series([Element.R(10.0), Parallel([Element.C(1e-6), Series([Element.R(2.0), Element.T(1, 2, 3, 4)])])]),
        Series([Circuit("R0-(R1,C1)"), Element.L(1e-7)]),
        Parallel([]),
    ]


@pytest.mark.parametrize("circuit", circuits(), ids=lambda c: c.text or "empty")
def test_circuit_round_trips_exactly(circuit):
    text = circuit.to_json()
    document = strict_json(text)
    assert document["format"] == "velotz.Circuit" and document["version"] == 1
    assert document["text"] == circuit.text
    again = Circuit.from_json(text)
    assert again == circuit
    assert again.param_names() == circuit.param_names()
    # Floats by value: bit patterns of every finite value, NaN as NaN.
    for a, b in zip(again.param_values(), circuit.param_values()):
        assert (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    assert again.fixed_params() == circuit.fixed_params()
    assert again.custom_bounds() == circuit.custom_bounds()
    assert Circuit.from_dict(circuit.to_dict()).to_dict() == circuit.to_dict()
    assert circuit.to_json(indent=2) != text and Circuit.from_json(circuit.to_json(indent=2)) == circuit


def test_values_given_travels():
    parsed = Circuit("R0-C1")
    assert parsed.to_dict()["values_given"] is False
    assert parsed.with_values([1.0, 2.0]).to_dict()["values_given"] is True
    # A circuit read back keeps the flag: fit() starts from a network guess
    # only for the parsed one.
    assert Circuit.from_dict(parsed.to_dict()) == parsed
    assert Circuit.from_dict(parsed.to_dict()) != parsed.with_values([1.0, 0.001])


def test_document_layout_is_readable():
    doc = Circuit("R0-(R1,CPE1)").with_fixed(["R0.r"]).to_dict()
    assert doc["nodes"] == [
        {"element": "R", "label": "R0", "values": [1.0]},
        {"parallel": [[{"element": "R", "label": "R1", "values": [1.0]}],
                      [{"element": "Cpe", "label": "CPE1", "values": [0.001, 0.8]}]]},
    ]
    assert doc["fixed"] == [True, False, False, False]
    assert doc["bounds"] == [None] * 4


# ---------------------------------------------------------------- refusing documents

def circuit_doc():
    return Circuit("R0-(R1,CPE1)").to_dict()


def changed(doc, path, value):
    doc = copy.deepcopy(doc)
    target = doc
    for key in path[:-1]:
        target = target[key]
    if value is KeyError:
        del target[path[-1]]
    else:
        target[path[-1]] = value
    return doc


def nested(depth):
    node = [{"element": "R", "label": "R0", "values": [1.0]}]
    for _ in range(depth):
        node = [{"parallel": [node]}]
    return node


@pytest.mark.parametrize("document, error, message", [
    ([], TypeError, "a velotz.Circuit document must be a dict, not list"),
    (changed(circuit_doc(), ["format"], "velotz.FitResult"), ValueError,
     'this is a "velotz.FitResult" document, not a "velotz.Circuit" document'),
    (changed(circuit_doc(), ["format"], "impedance.py"), ValueError, 'not a velotz document of kind'),
    (changed(circuit_doc(), ["version"], 2), ValueError, "unknown velotz.Circuit document version 2"),
    (changed(circuit_doc(), ["version"], "1"), TypeError, '"version" must be an int, not str'),
    (changed(circuit_doc(), ["extra"], 1), ValueError, '"extra" is unknown'),
    (changed(circuit_doc(), ["nodes"], KeyError), ValueError, '"nodes" is missing'),
    (changed(circuit_doc(), ["nodes", 0, "element"], "X"), ValueError, "unknown element code"),
    (changed(circuit_doc(), ["nodes", 0, "element"], "C"), ValueError, 'label "R0" is not a label of element C'),
    (changed(circuit_doc(), ["nodes", 0, "label"], "R0-R1"), ValueError, "does not match the nodes"),
    (changed(changed(circuit_doc(), ["nodes", 0, "label"], "R0-R1"), ["text"], KeyError), ValueError,
     'label "R0-R1" is not a label of element R'),
    (changed(circuit_doc(), ["nodes", 0, "values"], [1.0, 2.0]), ValueError, "element R takes 1 values"),
    (changed(circuit_doc(), ["nodes", 0, "values"], [True]), TypeError,
     "nodes[0].values[0] must be a number or one of"),
    (changed(circuit_doc(), ["nodes", 0, "values"], ["nan"]), TypeError, "nodes[0].values[0] must be a number"),
    (changed(circuit_doc(), ["nodes", 0, "values"], [10 ** 400]), ValueError, "is too large for a float"),
    (changed(circuit_doc(), ["nodes", 1, "parallel"], {"a": 1}), TypeError, "nodes[1].parallel must be a list"),
    (changed(circuit_doc(), ["nodes", 0, "extra"], 1), ValueError, 'must hold "element", "label" and "values"'),
    (changed(circuit_doc(), ["text"], "R0-(R1,C1)"), ValueError, '"R0-(R1,C1)" does not match the nodes'),
    (changed(circuit_doc(), ["values_given"], 1), TypeError, "values_given must be a bool, not int"),
    (changed(circuit_doc(), ["fixed"], [True]), ValueError, "one entry per parameter (4)"),
    (changed(circuit_doc(), ["fixed"], [True] * 4), ValueError, "at least one must stay free"),
    (changed(circuit_doc(), ["bounds"], [None, [1.0], None, None]), ValueError, "bounds[1] must be None or a"),
    (changed(circuit_doc(), ["bounds"], [None, [5.0, 1.0], None, None]), ValueError, "need lower < upper"),
    ({**circuit_doc(), "nodes": nested(250), "text": None}, ValueError, "deeper than 200"),
])
def test_hostile_circuit_documents_are_refused(document, error, message):
    if isinstance(document, dict) and document.get("text", "") is None:
        del document["text"]
    with pytest.raises(error) as info:
        Circuit.from_dict(document)
    assert message in str(info.value)


@pytest.mark.parametrize("text, message", [
    ("{", "not valid JSON"),
    ("[" * 100000 + "]" * 100000, "nested too deeply"),
    (b"\xff", "must be UTF-8"),
    ("42", "must be a dict, not int"),
])
def test_bad_json_text_is_refused(text, message):
    with pytest.raises((ValueError, TypeError)) as info:
        Circuit.from_json(text)
    assert message in str(info.value)


def test_from_json_takes_text_only():
    with pytest.raises(TypeError, match="expected a str, bytes or bytearray, not dict"):
        Circuit.from_json({})
    with pytest.raises(TypeError, match="indent"):
        Circuit("R0").to_json(indent="  ")


# ---------------------------------------------------------------- FitResult

@pytest.fixture(scope="module")
def fitted():
    f, z = spectrum()
    circuit = Circuit("R0-p(R1,CPE1)").with_values([8.0, 40.0, 1e-5, 0.8])
    plain = circuit.fit(f, z)
    constrained = circuit.with_fixed({"R0.r": 10.0}).with_bounds({"CPE1.alpha": (0.5, 0.95)}).fit(f, z)
    one_point = Circuit("R0").fit([1.0], [5.0 + 0j], guess_init=False)  # no standard errors
    return f, z, [plain, constrained, one_point]


def test_fit_result_round_trips_exactly(fitted):
    for result in fitted[2]:
        text = result.to_json()
        doc = strict_json(text)
        assert doc["format"] == "velotz.FitResult"
        again = FitResult.from_json(text)
        assert again == result
        assert again.params == result.params
        assert again.stderr == result.stderr
        assert again.free_names == result.free_names
        assert again.circuit == result.circuit
        assert again.circuit.fixed_params() == result.circuit.fixed_params()
        for a, b in ((again.covariance, result.covariance), (again.residuals, result.residuals)):
            assert (a is None and b is None) or np.array_equal(a, b)
        assert again.conf_int() == result.conf_int()
        assert FitResult.from_dict(doc).to_dict() == doc


def test_fit_result_document_holds_the_fit(fitted):
    result = fitted[2][1]
    doc = result.to_dict()
    assert doc["names"] == result.circuit.param_names()
    assert doc["params"] == result.circuit.param_values()
    assert doc["free_names"] == ["R1.r", "CPE1.q", "CPE1.alpha"]
    assert doc["stderr"] == [result.stderr[n] for n in doc["free_names"]]
    assert doc["circuit"]["fixed"] == [True, False, False, False]
    assert doc["circuit"]["bounds"][3] == [0.5, 0.95]
    assert len(doc["covariance"]) == 3 and all(len(row) == 3 for row in doc["covariance"])
    assert len(doc["residuals"]) == 2 * len(fitted[0])


def fit_doc(fitted):
    return fitted[2][0].to_dict()


@pytest.mark.parametrize("path, value, error, message", [
    (["format"], "velotz.Circuit", ValueError, 'this is a "velotz.Circuit" document'),
    (["params", 0], 3.0, ValueError, "params must be the parameter values of the circuit"),
    (["names", 0], "R9.r", ValueError, "names must be the parameter names of the circuit"),
    (["stderr"], [1.0], ValueError, "stderr must hold 4 items, not 1"),
    (["iterations"], -1, ValueError, "iterations must lie between 0 and"),
    (["iterations"], 2 ** 64, ValueError, "iterations must lie between 0 and"),
    (["impedance_evals"], 3.0, TypeError, "impedance_evals must be an int, not float"),
    (["covariance", 0, 1], 123.0, ValueError, "covariance must be symmetric"),
    (["covariance", 0, 0], 123.0, ValueError, "diagonal must hold the squares of stderr"),
    (["covariance"], [[1.0]], ValueError, "covariance must hold 4 items, not 1"),
    (["residuals"], [1.0, 2.0, 3.0], ValueError, "two floats per point"),
    (["free_names", 0], "R9.r", ValueError, "free_names must be the names of the free parameters"),
    (["circuit", "values_given"], False, ValueError, '"values_given" true'),
    (["circuit", "nodes", 0, "element"], "Q", ValueError, "unknown element code"),
    (["circuit"], "R0", TypeError, "circuit must be a dict"),
    (["success"], "yes", TypeError, "success must be a bool"),
])
def test_hostile_fit_result_documents_are_refused(fitted, path, value, error, message):
    with pytest.raises(error) as info:
        FitResult.from_dict(changed(fit_doc(fitted), path, value))
    assert message in str(info.value)


def test_a_fit_with_non_finite_cost_is_not_a_success(fitted):
    doc = changed(fit_doc(fitted), ["cost"], "NaN")
    assert FitResult.from_dict(doc).success is False


# ---------------------------------------------------------------- Python results

def same(a, b):
    """Equal values, field by field (arrays by value and dtype kind, NaN equal)."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (np.asarray(a).dtype.kind == np.asarray(b).dtype.kind and np.shape(a) == np.shape(b)
                and np.array_equal(a, b, equal_nan=np.asarray(a).dtype.kind in "fc"))
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def round_trip(obj):
    text = obj.to_json()
    doc = strict_json(text)
    assert doc["format"] == "velotz." + type(obj).__name__ and doc["version"] == 1
    again = type(obj).from_json(text)
    assert type(again) is type(obj)
    assert again.to_dict() == doc
    return again


@pytest.mark.parametrize("options", [{}, {"method": "mu"}, {"c": None, "max_m": 8, "add_capacitance": True}])
def test_kramers_kronig_result_round_trips(options):
    f, z = spectrum(noise=0.01)
    z[5] *= 1.2  # an outlier
    result = velotz.kramers_kronig(f, z, **options)
    again = round_trip(result)
    for name in type(result).__slots__:
        assert same(getattr(again, name), getattr(result, name)), name
    assert again.summary() == result.summary()


def test_drt_result_round_trips():
    f, z = spectrum()
    result = velotz.drt(f, z)
    again = round_trip(result)
    for name in type(result).__slots__:
        assert same(getattr(again, name), getattr(result, name)), name
    assert again.summary() == result.summary()


def test_bootstrap_result_round_trips(fitted):
    f, z, (result, *_) = fitted
    boot = velotz.bootstrap(result, f, z, n=6, seed=3)
    again = round_trip(boot)
    assert same(again.samples, boot.samples) and again.names == boot.names
    assert (again.failed, again.n, again.level, again.seed) == (boot.failed, boot.n, boot.level, boot.seed)
    assert again.intervals == boot.intervals


def test_diagnosis_and_comparison_round_trip(fitted):
    f, z, (result, *_) = fitted
    diagnosis = velotz.diagnose(result, f, z)
    again = round_trip(diagnosis)
    assert [repr(x) for x in again] == [repr(x) for x in diagnosis]
    comparison = velotz.compare(f, z, ["R0-p(R1,CPE1)", "R0-p(R1,C1)", Series([])])
    again = round_trip(comparison)
    assert repr(again) == repr(comparison)
    for a, b in zip(again, comparison):
        assert a.result == b.result and a.circuit == b.circuit and a.error == b.error
        assert same([a.cost, a.aic, a.bic, a.delta, a.seconds], [b.cost, b.aic, b.bic, b.delta, b.seconds])
    assert again.recommended.name == comparison.recommended.name


def test_batch_result_round_trips_with_errors(fitted):
    f, z, _ = fitted
    batch = velotz.fit_batch("R0-p(R1,CPE1)", {"a": (f, z), "b": (f[:3], z[:2]), "c": (f, z * 2)})
    assert batch.errors
    again = round_trip(batch)
    assert again == batch
    assert isinstance(again.errors["b"], ValueError)


@pytest.mark.parametrize("kind, change, error, message", [
    ("kk", lambda d: d.update(z_fit=d["z_fit"][:-1]), ValueError, "z_fit holds 39 values but frequencies holds 40"),
    ("kk", lambda d: d.update(outliers=[40]), ValueError, "outliers[0] is 40, not the index of one of 40 points"),
    ("kk", lambda d: d.update(method="best"), ValueError, 'method must be one of "auto", "mu", "fixed"'),
    ("kk", lambda d: d.update(impedances=[[1.0]] * 40), ValueError, "impedances[0] must be a [real, imaginary]"),
    ("kk", lambda d: d.update(passed=None), TypeError, "passed must be a bool, not NoneType"),
    ("kk", lambda d: d.pop("noise"), ValueError, '"noise" is missing'),
    ("drt", lambda d: d.update(derivative=3), ValueError, "derivative must be 1 or 2"),
    ("drt", lambda d: d.update(gamma=d["gamma"][1:]), ValueError, "gamma holds"),
    ("drt", lambda d: d.update(peaks=[[1.0, 2.0]]), ValueError, "peaks[0] must be a list of 3 numbers"),
    ("diagnosis", lambda d: d.update(findings=[{"kind": "x", "params": [], "message": "m", "severity": "bad"}]),
     ValueError, 'findings[0].severity must be one of "problem", "note"'),
    ("batch", lambda d: d["results"].__setitem__(1, {"error": "SystemExit", "args": []}), ValueError,
     "names no exception velotz writes"),
    ("batch", lambda d: d.update(ids=["a"]), ValueError, "results must hold 1 items, not 3"),
    ("batch", lambda d: d["results"][0].update(cost=[]), TypeError, "results[0]: invalid velotz.FitResult"),
])
def test_hostile_result_documents_are_refused(fitted, kind, change, error, message):
    f, z, _ = fitted
    if kind == "kk":
        obj = velotz.kramers_kronig(f, z)
    elif kind == "drt":
        obj = velotz.drt(f, z)
    elif kind == "diagnosis":
        obj = velotz.diagnose(fitted[2][0], f, z)
    else:
        obj = velotz.fit_batch("R0-p(R1,CPE1)", [(f, z), (f[:3], z[:2]), (f, z)])
    doc = obj.to_dict()
    change(doc)
    with pytest.raises(error) as info:
        type(obj).from_dict(doc)
    assert message in str(info.value)


def test_ids_that_json_cannot_hold_are_refused(fitted):
    f, z, _ = fitted
    batch = velotz.fit_batch("R0-p(R1,CPE1)", [(f, z)], ids=[("a", 1)])
    with pytest.raises(TypeError, match=r"ids\[0\] cannot be written as JSON"):
        batch.to_json()
