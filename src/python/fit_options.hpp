#pragma once
// Conversions of the fit options shared by Circuit.fit and the batch fit:
// each takes the argument object (null when it was not given, which keeps
// `out` unchanged) and the argument's name for its error message, and
// returns false with a Python exception set when the value is refused.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "fit/fit.hpp"
#include "python/pyref.hpp"

namespace velotz::py {

// Unsigned 64-bit integer (anything with __index__).
bool convert_u64(PyObject* obj, const char* name, std::uint64_t& out);
// Unsigned machine-word integer.
bool convert_size(PyObject* obj, const char* name, std::size_t& out);
bool convert_f64(PyObject* obj, const char* name, double& out);
bool convert_str(PyObject* obj, const char* name, std::string& out);
// None, True or False; numpy's boolean scalar counts as a bool.
bool convert_optional_bool(PyObject* obj, const char* name, std::optional<bool>& out);
bool convert_optional_u64(PyObject* obj, const char* name, std::optional<std::uint64_t>& out);

// The option arguments of a fit, as the interpreter handed them over (null
// when not given), one per entry of VELOTZ_FIT_OPTIONS (fit/fit.hpp).
struct FitOptionArgs {
#define VELOTZ_FIT_OPTION_ARG(name, ...) PyObject* name = nullptr;
    VELOTZ_FIT_OPTIONS(VELOTZ_FIT_OPTION_ARG)
#undef VELOTZ_FIT_OPTION_ARG
};

// For PyArg_ParseTupleAndKeywords, from VELOTZ_FIT_OPTIONS: the keywords in
// signature order (each followed by a comma), one "O" format unit per option
// (adjacent string literals), and the FitOptionArgs fields to fill (each
// preceded by a comma).
#define VELOTZ_FIT_OPTION_KEYWORD(name, ...) #name,
#define VELOTZ_FIT_OPTION_UNIT(name, ...) "O"
#define VELOTZ_FIT_OPTION_TARGET(name, ...) , &options_.name
#define VELOTZ_FIT_OPTION_KEYWORDS VELOTZ_FIT_OPTIONS(VELOTZ_FIT_OPTION_KEYWORD)
#define VELOTZ_FIT_OPTION_UNITS VELOTZ_FIT_OPTIONS(VELOTZ_FIT_OPTION_UNIT)
// Expands to ", &o.guess_init, &o.weights, ..." for a FitOptionArgs named
// options_ in scope.
#define VELOTZ_FIT_OPTION_TARGETS VELOTZ_FIT_OPTIONS(VELOTZ_FIT_OPTION_TARGET)

// ", guess_init=None, weights=None, ..." as fit()'s text signature shows the options.
#define VELOTZ_FIT_OPTION_SIGNATURE_ENTRY(name, conversion, type, value, shown, ...) ", " #name "=" shown
#define VELOTZ_FIT_OPTION_SIGNATURE VELOTZ_FIT_OPTIONS(VELOTZ_FIT_OPTION_SIGNATURE_ENTRY)

// Every option converted in signature order into `request` (target Request)
// and `call` (target Call); the first refusal sets its Python exception and
// returns false.
bool convert_fit_options(const FitOptionArgs& args, FitRequest& request, FitCallOptions& call);

// The option table for Python: a tuple of (name, conversion, default as
// shown, check, doc) tuples in signature order; and the method names.
PyObject* fit_option_table();
PyObject* fit_method_names();

}  // namespace velotz::py
