#pragma once
// Circuit methods defined in other files of the module surface. Each adds
// its PyMethodDef entries to VELOTZ_CIRCUIT_EXTRA_METHODS so the class's
// method table stays in one place.
#include "python/guard.hpp"

namespace velotz::py {

PyObject* circuit_residuals(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* circuit_jacobian(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char* const kResidualsDoc;
extern const char* const kJacobianDoc;
PyObject* circuit_fit(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char* const kFitDoc;

PyObject* circuit_guess(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* circuit_ml_circuits(PyObject* cls, PyObject* unused);
extern const char* const kGuessDoc;
extern const char* const kMlCircuitsDoc;

// Pickling and copies (python/state.cpp).
PyObject* circuit_reduce(PyObject* self, PyObject*);
PyObject* return_self(PyObject* self, PyObject*);
PyObject* circuit_estimate_start(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char* const kEstimateStartDoc;

}  // namespace velotz::py

// Entries are guarded (python/guard.hpp): no C++ exception reaches the
// interpreter from any of them.
#define VELOTZ_KW_METHOD(name, fn, doc) {name, VELOTZ_GUARD_METH(fn), METH_VARARGS | METH_KEYWORDS, doc}

#define VELOTZ_CIRCUIT_EXTRA_METHODS                                                    \
    VELOTZ_KW_METHOD("residuals", velotz::py::circuit_residuals, velotz::py::kResidualsDoc), \
    VELOTZ_KW_METHOD("jacobian", velotz::py::circuit_jacobian, velotz::py::kJacobianDoc),      \
    VELOTZ_KW_METHOD("fit", velotz::py::circuit_fit, velotz::py::kFitDoc),                     \
    VELOTZ_KW_METHOD("guess", velotz::py::circuit_guess, velotz::py::kGuessDoc),                \
    {"ml_circuits", VELOTZ_GUARD_METH(velotz::py::circuit_ml_circuits), METH_NOARGS | METH_STATIC, velotz::py::kMlCircuitsDoc}, \
    VELOTZ_KW_METHOD("estimate_start", velotz::py::circuit_estimate_start, velotz::py::kEstimateStartDoc), \
    {"__reduce__", VELOTZ_GUARD_METH(velotz::py::circuit_reduce), METH_NOARGS, nullptr},                                         \
    {"__copy__", VELOTZ_GUARD_METH(velotz::py::return_self), METH_NOARGS, nullptr},                                              \
    {"__deepcopy__", VELOTZ_GUARD_METH(velotz::py::return_self), METH_O, nullptr},
