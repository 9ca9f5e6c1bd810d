#pragma once
// The private function of velotz._core behind velotz.define_element.
#include "python/pyref.hpp"

namespace velotz::py {

// The method table, for PyModule_AddFunctions.
PyMethodDef* user_element_functions();

}  // namespace velotz::py
