#pragma once
// FitResult: what Circuit.fit returns. No constructor; read-only attributes
// circuit, params, stderr, success, iterations, impedance_evals, cost and
// chi_square.
#include "fit/outcome.hpp"
#include "python/pyref.hpp"

namespace velotz::py {

PyTypeObject* fit_result_type();  // null before the module has created it
PyObject* create_fit_result_type();

// A new FitResult holding the outcome.
PyObject* make_fit_result(FitOutcome outcome);

// The outcome a FitResult object holds.
const FitOutcome& fit_result_outcome(PyObject* self);

}  // namespace velotz::py
