#pragma once
// Series() and Parallel(): circuits joined from element objects and other
// circuits.
#include "python/pyref.hpp"

namespace velotz::py {

// The method table of the two module functions, in the order they are
// added to the module (for PyModule_AddFunctions).
PyMethodDef* compose_functions();

}  // namespace velotz::py
