#pragma once
// Circuit methods defined in other files of the module surface. Each adds
// its PyMethodDef entries to VELOTZ_CIRCUIT_EXTRA_METHODS so the class's
// method table stays in one place.
#include "python/pyref.hpp"

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

PyObject* circuit_estimate_start(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char* const kEstimateStartDoc;

}  // namespace velotz::py

#define VELOTZ_KW_METHOD(name, fn, doc) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_VARARGS | METH_KEYWORDS, doc}

#define VELOTZ_CIRCUIT_EXTRA_METHODS                                                    \
    VELOTZ_KW_METHOD("residuals", velotz::py::circuit_residuals, velotz::py::kResidualsDoc), \
    VELOTZ_KW_METHOD("jacobian", velotz::py::circuit_jacobian, velotz::py::kJacobianDoc),      \
    VELOTZ_KW_METHOD("fit", velotz::py::circuit_fit, velotz::py::kFitDoc),                     \
    VELOTZ_KW_METHOD("guess", velotz::py::circuit_guess, velotz::py::kGuessDoc),                \
    {"ml_circuits", velotz::py::circuit_ml_circuits, METH_NOARGS | METH_STATIC, velotz::py::kMlCircuitsDoc}, \
    VELOTZ_KW_METHOD("estimate_start", velotz::py::circuit_estimate_start, velotz::py::kEstimateStartDoc),
