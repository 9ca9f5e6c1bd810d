#pragma once
// Circuit and FitResult as data (dicts and JSON text) and in notebooks
// (HTML). The work is plain Python in velotz._data and velotz._display; the
// compiled types are immutable, so these entries of their method tables
// forward each call to the Python function of the same purpose.
#include "python/guard.hpp"

namespace velotz::py {

PyObject* circuit_text(PyObject* self, void*);
PyObject* circuit_to_dict(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* circuit_to_json(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* circuit_from_dict(PyObject* cls, PyObject* args, PyObject* kwargs);
PyObject* circuit_from_json(PyObject* cls, PyObject* args, PyObject* kwargs);
PyObject* fit_result_to_dict(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fit_result_to_json(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fit_result_from_dict(PyObject* cls, PyObject* args, PyObject* kwargs);
PyObject* fit_result_from_json(PyObject* cls, PyObject* args, PyObject* kwargs);
PyObject* fit_result_repr_html(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fit_result_repr_pretty(PyObject* self, PyObject* args, PyObject* kwargs);

extern const char* const kCircuitTextDoc;
extern const char* const kCircuitToDictDoc;
extern const char* const kCircuitToJsonDoc;
extern const char* const kCircuitFromDictDoc;
extern const char* const kCircuitFromJsonDoc;
extern const char* const kFitResultToDictDoc;
extern const char* const kFitResultToJsonDoc;
extern const char* const kFitResultFromDictDoc;
extern const char* const kFitResultFromJsonDoc;
extern const char* const kFitResultReprHtmlDoc;
extern const char* const kFitResultReprPrettyDoc;

}  // namespace velotz::py

#define VELOTZ_DATA_KW(name, fn, flags, doc) {name, VELOTZ_GUARD_METH(fn), METH_VARARGS | METH_KEYWORDS | (flags), doc}

#define VELOTZ_CIRCUIT_DATA_METHODS                                                                    \
    VELOTZ_DATA_KW("to_dict", velotz::py::circuit_to_dict, 0, velotz::py::kCircuitToDictDoc),           \
    VELOTZ_DATA_KW("to_json", velotz::py::circuit_to_json, 0, velotz::py::kCircuitToJsonDoc),           \
    VELOTZ_DATA_KW("from_dict", velotz::py::circuit_from_dict, METH_CLASS, velotz::py::kCircuitFromDictDoc), \
    VELOTZ_DATA_KW("from_json", velotz::py::circuit_from_json, METH_CLASS, velotz::py::kCircuitFromJsonDoc),

#define VELOTZ_FIT_RESULT_DATA_METHODS                                                                       \
    VELOTZ_DATA_KW("to_dict", velotz::py::fit_result_to_dict, 0, velotz::py::kFitResultToDictDoc),            \
    VELOTZ_DATA_KW("to_json", velotz::py::fit_result_to_json, 0, velotz::py::kFitResultToJsonDoc),            \
    VELOTZ_DATA_KW("from_dict", velotz::py::fit_result_from_dict, METH_CLASS, velotz::py::kFitResultFromDictDoc), \
    VELOTZ_DATA_KW("from_json", velotz::py::fit_result_from_json, METH_CLASS, velotz::py::kFitResultFromJsonDoc), \
    VELOTZ_DATA_KW("_repr_html_", velotz::py::fit_result_repr_html, 0, velotz::py::kFitResultReprHtmlDoc),

// On FitResult itself, not on its base: IPython's pretty printer takes the
// first class in the MRO that defines _repr_pretty_ or __repr__, and
// FitResult defines __repr__.
#define VELOTZ_FIT_RESULT_PRETTY_METHOD \
    VELOTZ_DATA_KW("_repr_pretty_", velotz::py::fit_result_repr_pretty, 0, velotz::py::kFitResultReprPrettyDoc),
