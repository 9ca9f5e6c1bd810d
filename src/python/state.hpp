#pragma once
// Objects that travel: pickling, copying, equality and hashing of Circuit,
// FitResult and the element classes.
//
// Pickles hold plain Python values and name a private reconstructor of
// velotz._core, so they do not depend on the layout of the C objects:
// - an element: _element_from_state(code, (field values...));
// - a circuit: _circuit_from_state(state), state a dict with "format" (1),
//   "nodes" (the series list: an element node is a tuple (code, label or
//   None, (field values...)), a parallel node a list of branches, each a
//   series list) and "values_given"; a circuit with constraints adds
//   "fixed" (one bool per parameter) and "bounds" (one None or (lower,
//   upper) per parameter). New circuit properties add keys; the
//   reconstructor refuses keys it does not know rather than dropping them,
//   and reads states without the optional ones;
// - a fit result: _fit_result_from_state(state), a dict of the outcome's
//   fields with the fitted circuit's nodes, "std_error_names" (the free
//   parameters; absent in older states, meaning every parameter) and the
//   fitted circuit's "fixed"/"bounds" as for a circuit, and (absent in older
//   states, which still load) "covariance" (a flat row-major list of k * k
//   floats, or None without standard errors) and "residuals" (2N floats).
// Floats travel as Python floats, which pickle bit for bit.
//
// Equality is by value: same kinds, labels, structure, values and
// constraints (fixed parameters, custom bounds), where two
// values are equal when they compare equal as floats or are both NaN (so an
// object equals its own unpickled copy even with NaN values). Hashes agree
// with that equality. All these objects are immutable, so copy and deepcopy
// return the object itself.
#include "circuit/circuit.hpp"
#include "python/pyref.hpp"

namespace velotz::py {

// The reconstructor functions, for PyModule_AddFunctions.
PyMethodDef* state_functions();

// Circuit: methods (__reduce__, __copy__, __deepcopy__) and slots.
PyObject* circuit_reduce(PyObject* self, PyObject*);
PyObject* circuit_richcompare(PyObject* a, PyObject* b, int op);
Py_hash_t circuit_hash(PyObject* self);

// Element: the base class's methods and slots (inherited by the variants).
extern PyMethodDef element_state_methods[];
PyObject* element_richcompare(PyObject* a, PyObject* b, int op);
Py_hash_t element_hash(PyObject* self);

// FitResult: methods (__reduce__ and the copies) and slots.
extern PyMethodDef fit_result_extra_methods[];
PyObject* fit_result_richcompare(PyObject* a, PyObject* b, int op);
Py_hash_t fit_result_hash(PyObject* self);

// Returns self (a new reference): copies of immutable objects.
PyObject* return_self(PyObject* self, PyObject*);

}  // namespace velotz::py
