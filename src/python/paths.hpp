#pragma once
// File paths from Python, converted the way open() converts them.
#include <optional>
#include <string>

#include "python/pyref.hpp"

namespace velotz::py {

// None (or an absent argument) leaves `out` empty. A str or an os.PathLike
// becomes the bytes the operating system is given: the filesystem encoding
// with surrogateescape, so undecodable names round-trip. An embedded NUL is
// refused with ValueError "argument '{name}': embedded null byte"; any other
// type with TypeError "argument '{name}': '{type}' object cannot be converted
// to 'str'". Returns false with an exception set.
bool optional_path(PyObject* obj, const char* name, std::optional<std::string>& out);

}  // namespace velotz::py
