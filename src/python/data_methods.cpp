// Forwarding entries of Circuit and FitResult for their data and notebook
// methods (see data_methods.hpp). Each one calls a function of a Python
// module of the package with the receiver (the object, or the class for the
// from_* class methods) prepended to the caller's arguments; argument
// checking and every message are the Python function's.
#include "python/data_methods.hpp"

namespace velotz::py {
namespace {

PyObject* forward(const char* module, const char* function, PyObject* first, PyObject* args, PyObject* kwargs) {
    Ref mod(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    Ref fn(PyObject_GetAttrString(mod.get(), function));
    if (!fn) return nullptr;
    const Py_ssize_t n = args ? PyTuple_GET_SIZE(args) : 0;
    Ref all(PyTuple_New(n + 1));
    if (!all) return nullptr;
    Py_INCREF(first);
    PyTuple_SET_ITEM(all.get(), 0, first);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(args, i);
        Py_INCREF(item);
        PyTuple_SET_ITEM(all.get(), i + 1, item);
    }
    return PyObject_Call(fn.get(), all.get(), kwargs);
}

constexpr const char* kData = "velotz._data";
constexpr const char* kDisplay = "velotz._display";

}  // namespace

PyObject* circuit_text(PyObject* self, void*) { return forward(kData, "circuit_text", self, nullptr, nullptr); }
PyObject* circuit_to_dict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return forward(kData, "circuit_to_dict", self, args, kwargs);
}
PyObject* circuit_to_json(PyObject* self, PyObject* args, PyObject* kwargs) {
    return forward(kData, "to_json", self, args, kwargs);
}
PyObject* circuit_from_dict(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return forward(kData, "circuit_from_dict", cls, args, kwargs);
}
PyObject* circuit_from_json(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return forward(kData, "from_json", cls, args, kwargs);
}
PyObject* fit_result_to_dict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return forward(kData, "fit_result_to_dict", self, args, kwargs);
}
PyObject* fit_result_to_json(PyObject* self, PyObject* args, PyObject* kwargs) {
    return forward(kData, "to_json", self, args, kwargs);
}
PyObject* fit_result_from_dict(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return forward(kData, "fit_result_from_dict", cls, args, kwargs);
}
PyObject* fit_result_from_json(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return forward(kData, "from_json", cls, args, kwargs);
}
PyObject* fit_result_repr_html(PyObject* self, PyObject* args, PyObject* kwargs) {
    return forward(kDisplay, "fit_result_html", self, args, kwargs);
}
PyObject* fit_result_repr_pretty(PyObject* self, PyObject* args, PyObject* kwargs) {
    return forward(kDisplay, "repr_pretty", self, args, kwargs);
}

const char* const kCircuitTextDoc =
    "The circuit text with labels, such as \"R0-(R1,CPE1)\" (str).\n"
    "\n"
    "Elements without a label of their own (those joined from element objects\n"
    "by Series() and Parallel()) are written with the automatic label of their\n"
    "parameter names (canonical code and per-code counter, as param_names()\n"
    "gives them), so Circuit(c.text) rebuilds the topology with the same\n"
    "parameter names whenever those labels are distinct. The values, fixed\n"
    "parameters and bounds are not part of the text (see to_dict()).";

const char* const kCircuitToDictDoc =
    "to_dict($self)\n--\n\n"
    "The circuit as a versioned dict of JSON types, which from_dict() reads\n"
    "back into an equal Circuit.\n"
    "\n"
    "Keys: \"format\" (\"velotz.Circuit\"), \"version\" (1), \"text\" (see text),\n"
    "\"nodes\" (the tree: {\"element\": code, \"label\": label or None, \"values\":\n"
    "[...]} per element, values in field order and in the units of\n"
    "param_units(), and {\"parallel\": [branch, ...]} per parallel group, each\n"
    "branch a list of nodes), \"values_given\" (bool), \"fixed\" (one bool per\n"
    "parameter, param_names() order) and \"bounds\" (None or [lo, hi] per\n"
    "parameter: the custom bounds). Floats are written by value; NaN and the\n"
    "infinities as the strings \"NaN\", \"Infinity\" and \"-Infinity\". Returns a\n"
    "dict.";

const char* const kCircuitToJsonDoc =
    "to_json($self, *, indent=None)\n--\n\n"
    "The circuit as JSON text: to_dict() written as strict JSON (no NaN or\n"
    "Infinity literals), every float exactly. `indent` (int or None) indents\n"
    "nested levels by that many spaces. Returns a str; from_json() reads it.";

const char* const kCircuitFromDictDoc =
    "from_dict($type, document)\n--\n\n"
    "The Circuit a dict written by to_dict() describes.\n"
    "\n"
    "`document` is a dict as to_dict() returns it (\"text\" may be left out;\n"
    "when given it must match the nodes). Raises ValueError for a document of\n"
    "another kind, an unknown version, unknown keys, an element code or label\n"
    "the circuit-text parser would refuse, wrong numbers of values, fixed\n"
    "flags or bounds, unsound constraints or nesting deeper than 200 groups,\n"
    "and TypeError for entries of the wrong type. Returns a new Circuit.";

const char* const kCircuitFromJsonDoc =
    "from_json($type, text)\n--\n\n"
    "The Circuit JSON text written by to_json() describes (`text`: str, bytes\n"
    "or bytearray). Raises ValueError for text that is not JSON and as\n"
    "from_dict() for the document it holds. Returns a new Circuit.";

const char* const kFitResultToDictDoc =
    "to_dict($self)\n--\n\n"
    "The result as a versioned dict of JSON types, which from_dict() reads\n"
    "back into an equal FitResult.\n"
    "\n"
    "Keys: \"format\" (\"velotz.FitResult\"), \"version\" (1), \"circuit\" (the\n"
    "fitted circuit as Circuit.to_dict() writes it, with the fit's fixed\n"
    "parameters and bounds), \"names\" and \"params\" (parameter names and fitted\n"
    "values in param_names() order, in the units of param_units()), \"success\",\n"
    "\"iterations\", \"impedance_evals\", \"cost\", \"chi_square\", \"free_names\",\n"
    "\"stderr\" (list in free_names order, or None), \"covariance\" (k x k rows, or\n"
    "None) and \"residuals\" (the 2N weighted residuals, or None). Floats are\n"
    "written by value; NaN and the infinities as \"NaN\", \"Infinity\" and\n"
    "\"-Infinity\". Returns a dict.";

const char* const kFitResultToJsonDoc =
    "to_json($self, *, indent=None)\n--\n\n"
    "The result as JSON text: to_dict() written as strict JSON, every float\n"
    "exactly. `indent` (int or None) indents nested levels by that many\n"
    "spaces. Returns a str; from_json() reads it.";

const char* const kFitResultFromDictDoc =
    "from_dict($type, document)\n--\n\n"
    "The FitResult a dict written by to_dict() describes.\n"
    "\n"
    "The document is checked as a pickled result is: names and params must be\n"
    "those of the circuit, stderr and the covariance must belong to the free\n"
    "parameters, counts must be integers from 0 to 2^64 - 1, and a result\n"
    "whose cost or a parameter is not finite does not count as a success.\n"
    "Raises ValueError for a document of another kind, an unknown version,\n"
    "unknown keys or inconsistent entries, and TypeError for entries of the\n"
    "wrong type. Returns a new FitResult.";

const char* const kFitResultFromJsonDoc =
    "from_json($type, text)\n--\n\n"
    "The FitResult JSON text written by to_json() describes (`text`: str,\n"
    "bytes or bytearray). Raises ValueError for text that is not JSON and as\n"
    "from_dict() for the document it holds. Returns a new FitResult.";

const char* const kFitResultReprHtmlDoc =
    "_repr_html_($self)\n--\n\n"
    "The result as HTML for notebooks: the verdict, the circuit text, N,\n"
    "chi-square, cost, counts and AIC/BIC, a table of the parameters (value\n"
    "and unit, standard error, relative error, 95 % interval, fixed ones\n"
    "marked) and an inline SVG picture of the weighted residuals. Returns a\n"
    "str.";

const char* const kFitResultReprPrettyDoc =
    "_repr_pretty_($self, p, cycle)\n--\n\n"
    "IPython's plain-text display: the representation, the circuit text and\n"
    "one line per parameter with its standard error and unit, written to the\n"
    "pretty printer `p` (only the representation when `cycle` is true).\n"
    "Returns None.";

}  // namespace velotz::py
