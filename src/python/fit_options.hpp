#pragma once
// Conversions of the fit options shared by Circuit.fit and the batch fit:
// each takes the argument object (null when it was not given, which keeps
// `out` unchanged) and the argument's name for its error message, and
// returns false with a Python exception set when the value is refused.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "python/pyref.hpp"

namespace velotz::py {

// Unsigned 64-bit integer (anything with __index__).
bool convert_u64(PyObject* obj, const char* name, std::uint64_t& out);
// Unsigned machine-word integer.
bool convert_size(PyObject* obj, const char* name, std::size_t& out);
bool convert_f64(PyObject* obj, const char* name, double& out);
bool convert_str(PyObject* obj, const char* name, std::string& out);
// None (or absent) leaves `out` empty.
bool convert_optional_str(PyObject* obj, const char* name, std::optional<std::string>& out);
// None, True or False; numpy's boolean scalar counts as a bool.
bool convert_optional_bool(PyObject* obj, const char* name, std::optional<bool>& out);
bool convert_optional_u64(PyObject* obj, const char* name, std::optional<std::uint64_t>& out);

// The UserWarning text of a fit that would guess but finds no trained
// network for the circuit's topology.
std::string no_network_warning();

}  // namespace velotz::py
