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

// A new C-ordered float64 array of shape (rows,) when `cols` is 0, else
// (rows, cols), holding a copy of `values` (at least rows * max(cols, 1)
// entries). Returns null with an exception set.
PyObject* new_float_array(const double* values, std::size_t rows, std::size_t cols);

}  // namespace velotz::py
