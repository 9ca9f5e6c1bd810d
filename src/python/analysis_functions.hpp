#pragma once
// Private functions of velotz._core behind the Python-level analysis tools
// (Kramers-Kronig test, fit diagnosis, spectrum conversion).
#include "python/pyref.hpp"

namespace velotz::py {

// The method table, for PyModule_AddFunctions.
PyMethodDef* analysis_functions();

}  // namespace velotz::py
