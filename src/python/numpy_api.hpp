#pragma once
// numpy's C interface, obtained through its _ARRAY_API capsule on the first
// array operation (never at import), without compiling against numpy.
#include <cstddef>

#include "elements/complex.hpp"
#include "python/pyref.hpp"

namespace velotz::py {

// A new one-dimensional complex128 array of n entries owning its buffer;
// *data receives the buffer. Returns null with an exception set.
PyObject* new_complex_array(std::size_t n, Cx** data);

}  // namespace velotz::py
