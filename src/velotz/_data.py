"""Circuits and results as data: versioned dicts of JSON types and JSON text.

Every document is a dict with "format" ("velotz.<Kind>") and "version" (1)
and holds only str, int, float, bool, None, lists and dicts, so that
``json.dumps(document, allow_nan=False)`` writes it. Floats are kept by
value (JSON numbers written by ``repr`` read back as the same 64-bit float);
NaN and the infinities, which JSON lacks, are the strings "NaN",
"Infinity" and "-Infinity"; a complex number is [re, im]; numpy arrays are
lists. Reading checks every entry's type, the lengths that must agree and
the consistency a result needs, and refuses anything else with a
ValueError (a wrong value, kind, version, key or length) or a TypeError (a
wrong type), naming the entry. The compiled types (Circuit, FitResult) are
finally rebuilt through the checks their pickled states go through.
"""
import json
import math
import sys

_core = sys.modules["velotz._core"]

VERSION = 1
# Refused as absurd: circuits with more nodes or deeper nesting than this
# (the nesting limit is the compiled parser's), lists longer than MAX_ITEMS,
# JSON text longer than MAX_JSON_CHARS.
MAX_NODES = 100_000
MAX_DEPTH = 200
MAX_ITEMS = 50_000_000
MAX_JSON_CHARS = 2 ** 31
U64_MAX = 2 ** 64 - 1

_SPECIAL = {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}


class _Reader:
    """Checks entries of one document; every message names the document's
    kind and the entry."""

    def __init__(self, kind):
        self.kind = kind

    def value_error(self, where, message):
        return ValueError(f"invalid velotz.{self.kind} document: {where} {message}")

    def type_error(self, where, expected, value):
        return TypeError(f"invalid velotz.{self.kind} document: {where} must be {expected}, "
                         f"not {type(value).__name__}")

    def header(self, document, required, optional=()):
        """Checks the kind, the version and the keys of a document."""
        if not isinstance(document, dict):
            raise TypeError(f"a velotz.{self.kind} document must be a dict, not {type(document).__name__}")
        fmt = document.get("format")
        expected = f"velotz.{self.kind}"
        if fmt != expected:
            if isinstance(fmt, str) and fmt.startswith("velotz."):
                raise ValueError(f"this is a {_quote(fmt)} document, not a {_quote(expected)} document")
            raise ValueError(f"not a velotz document of kind {_quote(expected)}: "
                             f"\"format\" is {_short(fmt)}")
        version = document.get("version")
        if type(version) is not int:
            raise self.type_error('"version"', "an int", version)
        if version != VERSION:
            raise ValueError(f"unknown velotz.{self.kind} document version {_short(version)} "
                             f"(this velotz reads version {VERSION})")
        known = {"format", "version", *required, *optional}
        for key in document:
            if key not in known:
                raise self.value_error("key", f"{_short(key)} is unknown (written by a newer velotz?)")
        for key in required:
            if key not in document:
                raise self.value_error("key", f"{_quote(key)} is missing")

    def number(self, value, where):
        if isinstance(value, float):
            return float(value)
        if isinstance(value, int) and not isinstance(value, bool):
            try:
                return float(value)
            except OverflowError:
                raise self.value_error(where, "is too large for a float") from None
        if isinstance(value, str) and value in _SPECIAL:
            return _SPECIAL[value]
        raise self.type_error(where, 'a number or one of "NaN", "Infinity", "-Infinity"', value)

    def optional_number(self, value, where):
        return None if value is None else self.number(value, where)

    def integer(self, value, where, lo=0, hi=U64_MAX):
        if type(value) is not int:
            raise self.type_error(where, "an int", value)
        if not lo <= value <= hi:
            raise self.value_error(where, f"must lie between {lo} and {hi}, not {_short(value)}")
        return value

    def boolean(self, value, where):
        if type(value) is not bool:
            raise self.type_error(where, "a bool", value)
        return value

    def text(self, value, where, choices=None):
        if not isinstance(value, str):
            raise self.type_error(where, "a str", value)
        if choices is not None and value not in choices:
            raise self.value_error(where, f"must be one of {', '.join(_quote(c) for c in choices)}, "
                                          f"not {_short(value)}")
        return value

    def items(self, value, where, length=None):
        if not isinstance(value, list):
            raise self.type_error(where, "a list", value)
        if len(value) > MAX_ITEMS:
            raise self.value_error(where, f"holds {len(value)} items, more than {MAX_ITEMS}")
        if length is not None and len(value) != length:
            raise self.value_error(where, f"must hold {length} items, not {len(value)}")
        return value

    def numbers(self, value, where, length=None):
        return [self.number(v, f"{where}[{i}]") for i, v in enumerate(self.items(value, where, length))]

    def complex_numbers(self, value, where, length=None):
        out = []
        for i, pair in enumerate(self.items(value, where, length)):
            here = f"{where}[{i}]"
            if not isinstance(pair, list) or len(pair) != 2:
                raise self.value_error(here, "must be a [real, imaginary] pair")
            out.append(complex(self.number(pair[0], here + "[0]"), self.number(pair[1], here + "[1]")))
        return out

    def texts(self, value, where, length=None):
        return [self.text(v, f"{where}[{i}]") for i, v in enumerate(self.items(value, where, length))]


def _quote(text):
    return json.dumps(text)


def _short(value):
    """A value for a message: JSON-like, cut to 60 characters."""
    try:
        text = json.dumps(value)
    except (TypeError, ValueError):
        text = f"a {type(value).__name__}"
    return text if len(text) <= 60 else text[:57] + "..."


# ---------------------------------------------------------------- writing

def _number(value):
    value = float(value)
    if math.isfinite(value):
        return value
    if math.isnan(value):
        return "NaN"
    return "Infinity" if value > 0 else "-Infinity"


def _optional_number(value):
    return None if value is None else _number(value)


def _numbers(values):
    return [_number(v) for v in values]


def _complex_numbers(values):
    return [[_number(z.real), _number(z.imag)] for z in values]


def _head(kind):
    return {"format": f"velotz.{kind}", "version": VERSION}


def to_json(obj, *, indent=None):
    """``obj.to_dict()`` as strict JSON text (every float exact)."""
    if indent is not None and (isinstance(indent, bool) or not isinstance(indent, int)):
        raise TypeError(f"argument 'indent': expected an int or None, not {type(indent).__name__}")
    return json.dumps(obj.to_dict(), allow_nan=False, indent=indent)


def from_json(cls, text):
    """The object of class ``cls`` a JSON text written by ``to_json`` holds."""
    if isinstance(text, (bytes, bytearray)):
        if len(text) > MAX_JSON_CHARS:
            raise ValueError(f"JSON text of {len(text)} bytes is longer than {MAX_JSON_CHARS}")
        try:
            text = bytes(text).decode("utf-8")
        except UnicodeDecodeError as exc:
            raise ValueError(f"JSON text must be UTF-8: {exc}") from None
    if not isinstance(text, str):
        raise TypeError(f"argument 'text': expected a str, bytes or bytearray, not {type(text).__name__}")
    if len(text) > MAX_JSON_CHARS:
        raise ValueError(f"JSON text of {len(text)} characters is longer than {MAX_JSON_CHARS}")
    try:
        document = json.loads(text)
    except RecursionError:
        raise ValueError("JSON text nested too deeply") from None
    except ValueError as exc:
        raise ValueError(f"not valid JSON: {exc}") from None
    return cls.from_dict(document)


# ---------------------------------------------------------------- circuits

def _circuit_state(circuit):
    return circuit.__reduce__()[1][0]


def _label_text(nodes):
    """The circuit text of a pickled node list: labels as stored, automatic
    labels (canonical code and per-code counter over unlabelled leaves, in
    leaf order, as param_names() numbers them) for unlabelled elements."""
    counters = {}

    def series(items):
        return "-".join(node(n) for n in items)

    def node(n):
        if isinstance(n, list):
            return "(" + ",".join(series(b) for b in n) + ")"
        code, label, _values = n
        if label is None:
            k = counters.get(code, 0)
            counters[code] = k + 1
            label = f"{code}{k}"
        return label

    return series(nodes)


def circuit_text(circuit):
    """The circuit text with labels (the ``Circuit.text`` property)."""
    return _label_text(_circuit_state(circuit)["nodes"])


def _nodes_document(nodes):
    out = []
    for n in nodes:
        if isinstance(n, list):
            out.append({"parallel": [_nodes_document(b) for b in n]})
        else:
            code, label, values = n
            out.append({"element": code, "label": label, "values": _numbers(values)})
    return out


def _circuit_document(state):
    nodes = state["nodes"]
    count = sum(len(values) for _code, _label, values in _leaves(nodes))
    fixed = state.get("fixed") or [False] * count
    bounds = state.get("bounds") or [None] * count
    doc = _head("Circuit")
    doc["text"] = _label_text(nodes)
    doc["nodes"] = _nodes_document(nodes)
    doc["values_given"] = bool(state["values_given"])
    doc["fixed"] = [bool(f) for f in fixed]
    doc["bounds"] = [None if b is None else [_number(b[0]), _number(b[1])] for b in bounds]
    return doc


def _leaves(nodes):
    for n in nodes:
        if isinstance(n, list):
            for branch in n:
                yield from _leaves(branch)
        else:
            yield n


def circuit_to_dict(circuit):
    """``Circuit.to_dict``."""
    return _circuit_document(_circuit_state(circuit))


def _read_nodes(reader, value, where, depth, budget):
    nodes = []
    for i, item in enumerate(reader.items(value, where)):
        here = f"{where}[{i}]"
        budget[0] += 1
        if budget[0] > MAX_NODES:
            raise reader.value_error("nodes", f"hold more than {MAX_NODES} elements and groups")
        if not isinstance(item, dict):
            raise reader.type_error(here, "a dict", item)
        if "parallel" in item:
            if set(item) != {"parallel"}:
                raise reader.value_error(here, 'must hold only "parallel" or only "element", "label" and "values"')
            if depth + 1 > MAX_DEPTH:
                raise reader.value_error(here, f"nests parallel groups deeper than {MAX_DEPTH}")
            branches = reader.items(item["parallel"], here + ".parallel")
            nodes.append([_read_nodes(reader, b, f"{here}.parallel[{k}]", depth + 1, budget)
                          for k, b in enumerate(branches)])
            continue
        if set(item) != {"element", "label", "values"}:
            raise reader.value_error(here, 'must hold "element", "label" and "values" (or only "parallel")')
        code = reader.text(item["element"], here + ".element")
        label = item["label"]
        if label is not None:
            reader.text(label, here + ".label")
        values = reader.numbers(item["values"], here + ".values")
        nodes.append((code, label, tuple(values)))
    return nodes


def _circuit_from_document(document):
    """The compiled circuit state a Circuit document describes."""
    sub = _Reader("Circuit")
    sub.header(document, ("nodes", "values_given"), ("text", "fixed", "bounds"))
    nodes = _read_nodes(sub, document["nodes"], "nodes", 0, [0])
    state = {"format": 1, "nodes": nodes,
             "values_given": sub.boolean(document["values_given"], "values_given")}
    if document.get("fixed") is not None:
        state["fixed"] = [sub.boolean(f, f"fixed[{i}]")
                          for i, f in enumerate(sub.items(document["fixed"], "fixed"))]
    if document.get("bounds") is not None:
        bounds = []
        for i, b in enumerate(sub.items(document["bounds"], "bounds")):
            if b is None:
                bounds.append(None)
                continue
            here = f"bounds[{i}]"
            if not isinstance(b, list) or len(b) != 2:
                raise sub.value_error(here, "must be None or a [lower, upper] pair")
            bounds.append((sub.number(b[0], here + "[0]"), sub.number(b[1], here + "[1]")))
        state["bounds"] = bounds
    if "text" in document:
        text = sub.text(document["text"], "text")
        expected = _label_text(nodes)
        if text != expected:
            raise sub.value_error("text", f"{_short(text)} does not match the nodes, which read "
                                          f"{_short(expected)}")
    return state


def _state_error(kind, exc):
    message = str(exc)
    if message.startswith("invalid state: "):
        message = message[len("invalid state: "):]
    # The state's name of the list of free parameters is the document's
    # "free_names".
    message = message.replace("std_error_names", "free_names")
    return ValueError(f"invalid velotz.{kind} document: {message}")


def _build_circuit(state, kind="Circuit"):
    try:
        return _core._circuit_from_state(state)
    except ValueError as exc:
        raise _state_error(kind, exc) from None


def circuit_from_dict(cls, document):
    """``Circuit.from_dict``."""
    state = _circuit_from_document(document)
    return _build_circuit(state)


# ---------------------------------------------------------------- fit results

def fit_result_to_dict(result):
    """``FitResult.to_dict``."""
    state = result.__reduce__()[1][0]
    circuit_state = {"format": 1, "nodes": state["circuit"], "values_given": True}
    for key in ("fixed", "bounds"):
        if key in state:
            circuit_state[key] = state[key]
    doc = _head("FitResult")
    doc["circuit"] = _circuit_document(circuit_state)
    doc["names"] = list(state["names"])
    doc["params"] = _numbers(state["params"])
    doc["success"] = bool(state["success"])
    doc["iterations"] = int(state["iterations"])
    doc["impedance_evals"] = int(state["impedance_evals"])
    doc["cost"] = _number(state["cost"])
    doc["chi_square"] = _number(state["chi_square"])
    doc["free_names"] = list(state["std_error_names"])
    doc["stderr"] = None if state["stderr"] is None else _numbers(state["stderr"])
    cov = state.get("covariance")
    k = len(doc["free_names"])
    doc["covariance"] = None if cov is None else [_numbers(cov[i * k:(i + 1) * k]) for i in range(k)]
    residuals = state.get("residuals")
    doc["residuals"] = None if residuals is None else _numbers(residuals)
    return doc


_FIT_KEYS = ("circuit", "names", "params", "success", "iterations", "impedance_evals", "cost",
             "chi_square", "free_names", "stderr", "covariance", "residuals")


def _fit_result_state(document):
    reader = _Reader("FitResult")
    reader.header(document, _FIT_KEYS)
    circuit = document["circuit"]
    if not isinstance(circuit, dict):
        raise reader.type_error("circuit", "a dict (a velotz.Circuit document)", circuit)
    try:
        cstate = _circuit_from_document(circuit)
    except (TypeError, ValueError) as exc:
        kind = ValueError if isinstance(exc, ValueError) else TypeError
        raise kind(f"invalid velotz.FitResult document: circuit: {exc}") from None
    if not cstate["values_given"]:
        raise reader.value_error("circuit", 'must have "values_given" true (a fitted circuit)')
    free_names = reader.texts(document["free_names"], "free_names")
    k = len(free_names)
    state = {
        "format": 1,
        "circuit": cstate["nodes"],
        "names": reader.texts(document["names"], "names"),
        "params": reader.numbers(document["params"], "params"),
        "success": reader.boolean(document["success"], "success"),
        "iterations": reader.integer(document["iterations"], "iterations"),
        "impedance_evals": reader.integer(document["impedance_evals"], "impedance_evals"),
        "cost": reader.number(document["cost"], "cost"),
        "chi_square": reader.number(document["chi_square"], "chi_square"),
        "std_error_names": free_names,
    }
    stderr = document["stderr"]
    state["stderr"] = None if stderr is None else reader.numbers(stderr, "stderr", k)
    cov = document["covariance"]
    if cov is not None:
        if stderr is None:
            raise reader.value_error("covariance", "must be None when stderr is None")
        flat = []
        for i, row in enumerate(reader.items(cov, "covariance", k)):
            flat.extend(reader.numbers(row, f"covariance[{i}]", k))
        state["covariance"] = flat
    residuals = document["residuals"]
    if residuals is not None:
        state["residuals"] = reader.numbers(residuals, "residuals")
    for key in ("fixed", "bounds"):
        if key in cstate:
            state[key] = cstate[key]
    return state


def fit_result_from_dict(cls, document):
    """``FitResult.from_dict``."""
    state = _fit_result_state(document)
    try:
        return _core._fit_result_from_state(state)
    except ValueError as exc:
        raise _state_error("FitResult", exc) from None


# ---------------------------------------------------------------- batches

# Exceptions a batch may hold, rebuilt by name from this list only: a
# document never names a class to import.
_EXCEPTIONS = {cls.__name__: cls for cls in (
    ValueError, TypeError, OverflowError, ZeroDivisionError, ArithmeticError, MemoryError, KeyError,
    IndexError, LookupError, FileNotFoundError, PermissionError, OSError, RuntimeError, KeyboardInterrupt,
    Exception, BaseException)}


def _json_scalar(value):
    return value is None or isinstance(value, (str, bool, int)) or (
        isinstance(value, float) and math.isfinite(value))


def _plain(value):
    """A numpy scalar as the Python scalar it holds."""
    item = getattr(value, "item", None)
    if item is not None and type(value).__module__ == "numpy":
        value = item()
    return value


def _error_document(exc):
    name = next(c.__name__ for c in type(exc).__mro__ if c.__name__ in _EXCEPTIONS
                and _EXCEPTIONS[c.__name__] is c)
    args = [_plain(a) for a in exc.args]
    if not all(_json_scalar(a) for a in args):
        args = [str(exc)]
    return {"error": name, "args": args}


def batch_to_dict(batch):
    doc = _head("BatchResult")
    ids = []
    for i, value in enumerate(batch.ids):
        value = _plain(value)
        if not _json_scalar(value):
            raise TypeError(f"ids[{i}] cannot be written as JSON: an id must be a str, int, finite float, "
                            f"bool or None, not {type(value).__name__}")
        ids.append(value)
    doc["circuit"] = batch.circuit.to_dict()
    doc["ids"] = ids
    doc["results"] = [_error_document(r) if isinstance(r, BaseException) else r.to_dict()
                      for r in batch.results]
    return doc


def batch_from_dict(cls, document):
    from velotz._batch import BatchResult

    reader = _Reader("BatchResult")
    reader.header(document, ("circuit", "ids", "results"))
    circuit = _nested(reader, "circuit", document["circuit"], _core.Circuit)
    ids = reader.items(document["ids"], "ids")
    for i, value in enumerate(ids):
        if not _json_scalar(value):
            raise reader.type_error(f"ids[{i}]", "a str, int, finite float, bool or None", value)
    items = reader.items(document["results"], "results", len(ids))
    results = []
    for i, item in enumerate(items):
        where = f"results[{i}]"
        if isinstance(item, dict) and "error" in item and "format" not in item:
            if set(item) != {"error", "args"}:
                raise reader.value_error(where, 'must hold "error" and "args" (or be a velotz.FitResult document)')
            name = reader.text(item["error"], where + ".error")
            if name not in _EXCEPTIONS:
                raise reader.value_error(where + ".error", f"names no exception velotz writes: {_short(name)}")
            args = reader.items(item["args"], where + ".args")
            for k, a in enumerate(args):
                if not _json_scalar(a):
                    raise reader.type_error(f"{where}.args[{k}]", "a str, int, finite float, bool or None", a)
            results.append(_EXCEPTIONS[name](*args))
        else:
            results.append(_nested(reader, where, item, _core.FitResult))
    return _checked(cls, BatchResult)(ids, results, circuit)


def _nested(reader, where, value, cls):
    """A document held in another one, read by its class; errors name where."""
    if not isinstance(value, dict):
        raise reader.type_error(where, f"a dict (a velotz.{cls.__name__} document)", value)
    try:
        return cls.from_dict(value)
    except (TypeError, ValueError) as exc:
        kind = ValueError if isinstance(exc, ValueError) else TypeError
        raise kind(f"invalid velotz.{reader.kind} document: {where}: {exc}") from None


def _checked(cls, base):
    if not (isinstance(cls, type) and issubclass(cls, base)):
        raise TypeError(f"from_dict must be called on {base.__name__}, not {cls!r}")
    return cls


# ---------------------------------------------------------------- Python results
#
# The results written in Python are slot classes; each field is read and
# written by a converter named in its schema.

def _array(values, dtype):
    import numpy as np

    return np.asarray(values, dtype=dtype)


_WRITE = {
    "float": _number,
    "float?": _optional_number,
    "int": int,
    "bool": bool,
    "str": str,
    "farray": lambda v: _numbers(v),
    "carray": lambda v: _complex_numbers(v),
    "iarray": lambda v: [int(x) for x in v],
    "pairs": lambda v: [[_number(a), _number(b)] for a, b in v],
    "triples": lambda v: [[_number(a), _number(b), _number(c)] for a, b, c in v],
}


def _read_field(reader, kind, value, where):
    if kind == "float":
        return reader.number(value, where)
    if kind == "float?":
        return reader.optional_number(value, where)
    if kind == "int":
        return reader.integer(value, where, -(2 ** 63), 2 ** 63 - 1)
    if kind == "bool":
        return reader.boolean(value, where)
    if kind == "str":
        return reader.text(value, where)
    if kind == "farray":
        return _array(reader.numbers(value, where), float)
    if kind == "carray":
        return _array(reader.complex_numbers(value, where), complex)
    if kind == "iarray":
        import numpy as np

        values = reader.items(value, where)
        return _array([reader.integer(v, f"{where}[{i}]", -(2 ** 63), 2 ** 63 - 1)
                       for i, v in enumerate(values)], np.intp)
    width = 2 if kind == "pairs" else 3
    out = []
    for i, item in enumerate(reader.items(value, where)):
        if not isinstance(item, list) or len(item) != width:
            raise reader.value_error(f"{where}[{i}]", f"must be a list of {width} numbers")
        out.append(tuple(reader.number(x, f"{where}[{i}][{k}]") for k, x in enumerate(item)))
    return out


def _write_fields(obj, kind, schema):
    doc = _head(kind)
    for name, field in schema:
        doc[name] = _WRITE[field](getattr(obj, name))
    return doc


def _read_fields(document, kind, schema):
    reader = _Reader(kind)
    reader.header(document, [name for name, _ in schema])
    return reader, {name: _read_field(reader, field, document[name], name) for name, field in schema}


def _same_length(reader, fields, names):
    lengths = {name: len(fields[name]) for name in names if fields[name] is not None}
    first = names[0]
    for name, n in lengths.items():
        if n != lengths[first]:
            raise reader.value_error(name, f"holds {n} values but {first} holds {lengths[first]}")


_KK_SCHEMA = (
    ("method", "str"), ("fit_type", "str"), ("passed", "bool"), ("m", "int"), ("mu", "float"),
    ("c", "float?"), ("tolerance", "float"), ("max_residual", "float"), ("noise", "float"),
    ("r_ohm", "float"), ("inductance", "float?"), ("capacitance", "float?"),
    ("frequencies", "farray"), ("impedances", "carray"), ("z_fit", "carray"),
    ("residuals_real", "farray"), ("residuals_imag", "farray"),
    ("time_constants", "farray"), ("resistances", "farray"),
    ("outliers", "iarray"), ("systematic", "pairs"),
)


def kk_to_dict(result):
    return _write_fields(result, "KramersKronigResult", _KK_SCHEMA)


def kk_from_dict(cls, document):
    from velotz._analysis import KK_METHODS, KramersKronigResult

    reader, fields = _read_fields(document, "KramersKronigResult", _KK_SCHEMA)
    reader.text(fields["method"], "method", KK_METHODS)
    reader.text(fields["fit_type"], "fit_type", ("real", "imag", "complex"))
    if fields["m"] < 0:
        raise reader.value_error("m", f"must not be negative, not {fields['m']}")
    _same_length(reader, fields, ["frequencies", "impedances", "z_fit", "residuals_real", "residuals_imag"])
    _same_length(reader, fields, ["time_constants", "resistances"])
    n = len(fields["frequencies"])
    for i, k in enumerate(fields["outliers"]):
        if not 0 <= k < n:
            raise reader.value_error(f"outliers[{i}]", f"is {int(k)}, not the index of one of {n} points")
    out = _checked(cls, KramersKronigResult)()
    for name, value in fields.items():
        setattr(out, name, value)
    return out


_DRT_SCHEMA = (
    ("method", "str"), ("lam", "float"), ("derivative", "int"), ("part", "str"), ("weighting", "str"),
    ("epsilon", "float"), ("r_inf", "float"), ("inductance", "float?"),
    ("frequencies", "farray"), ("impedances", "carray"), ("z_fit", "carray"), ("residuals", "carray"),
    ("tau", "farray"), ("gamma", "farray"), ("centres", "farray"), ("coefficients", "farray"),
    ("gcv_lambdas", "farray"), ("gcv_scores", "farray"), ("peaks", "triples"),
)


def drt_to_dict(result):
    return _write_fields(result, "DRTResult", _DRT_SCHEMA)


def drt_from_dict(cls, document):
    from velotz._drt import DRT_PARTS, DRT_WEIGHTINGS, LAMBDA_METHODS, DRTResult

    reader, fields = _read_fields(document, "DRTResult", _DRT_SCHEMA)
    reader.text(fields["method"], "method", (*LAMBDA_METHODS, "given"))
    reader.text(fields["part"], "part", DRT_PARTS)
    reader.text(fields["weighting"], "weighting", DRT_WEIGHTINGS)
    if fields["derivative"] not in (1, 2):
        raise reader.value_error("derivative", f"must be 1 or 2, not {fields['derivative']}")
    _same_length(reader, fields, ["frequencies", "impedances", "z_fit", "residuals"])
    _same_length(reader, fields, ["tau", "gamma"])
    _same_length(reader, fields, ["centres", "coefficients"])
    _same_length(reader, fields, ["gcv_lambdas", "gcv_scores"])
    out = _checked(cls, DRTResult)()
    for name, value in fields.items():
        setattr(out, name, value)
    return out


def bootstrap_to_dict(result):
    doc = _head("BootstrapResult")
    doc["names"] = list(result.names)
    doc["samples"] = [_numbers(row) for row in result.samples]
    doc["failed"] = int(result.failed)
    doc["n"] = int(result.n)
    doc["level"] = _number(result.level)
    doc["seed"] = None if result.seed is None else int(result.seed)
    return doc


def bootstrap_from_dict(cls, document):
    from velotz._uncertainty import BootstrapResult

    reader = _Reader("BootstrapResult")
    reader.header(document, ("names", "samples", "failed", "n", "level", "seed"))
    names = reader.texts(document["names"], "names")
    rows = [reader.numbers(row, f"samples[{i}]", len(names))
            for i, row in enumerate(reader.items(document["samples"], "samples"))]
    failed = reader.integer(document["failed"], "failed")
    n = reader.integer(document["n"], "n", 1)
    if len(rows) + failed != n:
        raise reader.value_error("n", f"is {n}, but {len(rows)} samples and {failed} failed refits make "
                                      f"{len(rows) + failed}")
    level = reader.number(document["level"], "level")
    if not 0.0 < level < 1.0:
        raise reader.value_error("level", "must lie between 0 and 1 (exclusive)")
    seed = document["seed"]
    if seed is not None:
        seed = reader.integer(seed, "seed", 0, 2 ** 128)
    import numpy as np

    samples = np.array(rows, dtype=float).reshape(len(rows), len(names))
    return _checked(cls, BootstrapResult)(names, samples, failed, n, level, seed)


def _finding_document(finding):
    return {"kind": finding.kind, "params": list(finding.params), "message": finding.message,
            "severity": finding.severity}


def diagnosis_to_dict(diagnosis):
    doc = _head("Diagnosis")
    doc["findings"] = [_finding_document(f) for f in diagnosis.findings]
    return doc


def _read_findings(reader, value, where):
    from velotz._analysis import SEVERITIES, Finding

    findings = []
    for i, item in enumerate(reader.items(value, where)):
        here = f"{where}[{i}]"
        if not isinstance(item, dict):
            raise reader.type_error(here, "a dict", item)
        if set(item) != {"kind", "params", "message", "severity"}:
            raise reader.value_error(here, 'must hold "kind", "params", "message" and "severity"')
        findings.append(Finding(reader.text(item["kind"], here + ".kind"),
                                reader.texts(item["params"], here + ".params"),
                                reader.text(item["message"], here + ".message"),
                                reader.text(item["severity"], here + ".severity", SEVERITIES)))
    return findings


def diagnosis_from_dict(cls, document):
    from velotz._analysis import Diagnosis

    reader = _Reader("Diagnosis")
    reader.header(document, ("findings",))
    return _checked(cls, Diagnosis)(_read_findings(reader, document["findings"], "findings"))


_ENTRY_NUMBERS = ("cost", "chi_square", "aic", "bic", "delta", "seconds")


def comparison_to_dict(comparison):
    doc = _head("Comparison")
    doc["n_points"] = int(comparison.n_points)
    doc["criterion"] = comparison.criterion
    entries = []
    for e in comparison.entries:
        entry = {"name": e.name, "circuit": e.circuit.to_dict(),
                 "result": None if e.result is None else e.result.to_dict(),
                 "n_params": int(e.n_params)}
        for key in _ENTRY_NUMBERS:
            entry[key] = _number(getattr(e, key))
        entry["diagnosis"] = None if e.diagnosis is None else e.diagnosis.to_dict()
        entry["error"] = e.error
        entries.append(entry)
    doc["entries"] = entries
    return doc


def comparison_from_dict(cls, document):
    from velotz._analysis import Comparison, ComparisonEntry, Diagnosis

    reader = _Reader("Comparison")
    reader.header(document, ("n_points", "criterion", "entries"))
    n_points = reader.integer(document["n_points"], "n_points")
    criterion = reader.text(document["criterion"], "criterion", ("aic", "bic"))
    keys = {"name", "circuit", "result", "n_params", *_ENTRY_NUMBERS, "diagnosis", "error"}
    entries = []
    for i, item in enumerate(reader.items(document["entries"], "entries")):
        here = f"entries[{i}]"
        if not isinstance(item, dict):
            raise reader.type_error(here, "a dict", item)
        if set(item) != keys:
            raise reader.value_error(here, f"must hold the keys {', '.join(sorted(keys))}")
        e = ComparisonEntry()
        e.name = reader.text(item["name"], here + ".name")
        e.circuit = _nested(reader, here + ".circuit", item["circuit"], _core.Circuit)
        e.result = None if item["result"] is None else _nested(reader, here + ".result", item["result"],
                                                                  _core.FitResult)
        e.n_params = reader.integer(item["n_params"], here + ".n_params")
        for key in _ENTRY_NUMBERS:
            setattr(e, key, reader.number(item[key], f"{here}.{key}"))
        e.diagnosis = None if item["diagnosis"] is None else _nested(reader, here + ".diagnosis",
                                                                     item["diagnosis"], Diagnosis)
        e.error = None if item["error"] is None else reader.text(item["error"], here + ".error")
        if (e.error is None) == (e.result is None):
            raise reader.value_error(here, "must hold either a result or an error")
        entries.append(e)
    return _checked(cls, Comparison)(entries, n_points, criterion)


# ---------------------------------------------------------------- the mixin

def _module():
    return sys.modules[__name__]


class Data:
    """Conversions to and from versioned dicts and JSON text, for the result
    classes written in Python; each class names its two converters."""

    __slots__ = ()
    # Set by each class: staticmethod(writer), classmethod(reader).
    _to_dict = None
    _from_dict = None

    def to_dict(self):
        """This result as a versioned dict of JSON types: "format"
        ("velotz.<class name>"), "version" (1) and one key per attribute;
        floats by value (NaN and the infinities as "NaN", "Infinity",
        "-Infinity"), complex numbers as [re, im], arrays as lists, in the
        units of the attributes. ``from_dict`` reads it back. Returns a dict."""
        return self._to_dict()

    @classmethod
    def from_dict(cls, document):
        """The result a dict written by ``to_dict`` describes. Raises
        ValueError for a document of another kind, an unknown version,
        unknown or missing keys, or entries whose lengths or values do not
        fit together, and TypeError for entries of the wrong type. Returns a
        new object of this class."""
        return cls._from_dict(document)

    def to_json(self, *, indent=None):
        """This result as strict JSON text (``to_dict`` written with every
        float exact; ``indent``: int or None, spaces per nesting level).
        Returns a str."""
        return to_json(self, indent=indent)

    @classmethod
    def from_json(cls, text):
        """The result JSON text written by ``to_json`` describes (``text``: a
        str, bytes or bytearray). Raises ValueError for text that is not JSON
        and as ``from_dict`` for the document. Returns a new object of this
        class."""
        return from_json(cls, text)
