#pragma once
// FitResult: what Circuit.fit returns. No constructor; read-only attributes
// circuit, params, stderr, success, iterations, impedance_evals, cost and
// chi_square. A private base class adds free_names, covariance,
// correlation, residuals, n_points, aic, bic and conf_int().
#include "fit/outcome.hpp"
#include "python/pyref.hpp"

namespace velotz::py {

PyTypeObject* fit_result_type();  // null before the module has created it
PyObject* create_fit_result_type();

// A new FitResult holding the outcome.
PyObject* make_fit_result(FitOutcome outcome);

// The outcome a FitResult object holds. Its `circuit` field is empty: the
// fitted circuit is kept apart (shared with the Circuit objects handed out)
// and read with fit_result_circuit.
const FitOutcome& fit_result_outcome(PyObject* self);
const NodeList& fit_result_circuit(PyObject* self);

}  // namespace velotz::py
