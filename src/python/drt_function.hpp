#pragma once
// The private function of velotz._core behind velotz.drt.
#include "python/pyref.hpp"

namespace velotz::py {

// The method table, for PyModule_AddFunctions.
PyMethodDef* drt_functions();

}  // namespace velotz::py
