#pragma once
// The private batch-fit entry point of velotz._core (wrapped by
// velotz.fit_batch).
#include "python/pyref.hpp"

namespace velotz::py {

// The method table of _fit_batch, for PyModule_AddFunctions.
PyMethodDef* batch_functions();

}  // namespace velotz::py
