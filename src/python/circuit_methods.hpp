#pragma once
// Circuit methods defined in other files of the module surface (fitting,
// guessing). Each adds its PyMethodDef entries here so the class's method
// table stays in one place.
#include "python/pyref.hpp"

#define VELOTZ_CIRCUIT_EXTRA_METHODS
