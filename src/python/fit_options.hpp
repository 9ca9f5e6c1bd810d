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
// when not given), in fit()'s signature order.
struct FitOptionArgs {
    PyObject* guess_init = nullptr;
    PyObject* weights = nullptr;
    PyObject* weight = nullptr;
    PyObject* method = nullptr;
    PyObject* max_iterations = nullptr;
    PyObject* ftol = nullptr;
    PyObject* xtol = nullptr;
    PyObject* num_particles = nullptr;
    PyObject* generations = nullptr;
    PyObject* nelder_mead_iterations = nullptr;
    PyObject* de_evaluations = nullptr;
    PyObject* sa_iterations = nullptr;
    PyObject* sa_initial_temperature = nullptr;
    PyObject* basin_hopping_hops = nullptr;
    PyObject* basin_hopping_step_size = nullptr;
    PyObject* basin_hopping_temperature = nullptr;
    PyObject* seed = nullptr;
};

// fit()'s option keywords in signature order, and the FitOptionArgs fields
// PyArg_ParseTupleAndKeywords fills for them (17 "O" units), so that fit()
// and fit_batch() list their shared options once.
#define VELOTZ_FIT_OPTION_KEYWORDS                                                                          \
    "guess_init", "weights", "weight", "method", "max_iterations", "ftol", "xtol", "num_particles",          \
        "generations", "nelder_mead_iterations", "de_evaluations", "sa_iterations", "sa_initial_temperature", \
        "basin_hopping_hops", "basin_hopping_step_size", "basin_hopping_temperature", "seed"
#define VELOTZ_FIT_OPTION_TARGETS(o)                                                                          \
    &(o).guess_init, &(o).weights, &(o).weight, &(o).method, &(o).max_iterations, &(o).ftol, &(o).xtol,       \
        &(o).num_particles, &(o).generations, &(o).nelder_mead_iterations, &(o).de_evaluations,             \
        &(o).sa_iterations, &(o).sa_initial_temperature, &(o).basin_hopping_hops, &(o).basin_hopping_step_size, \
        &(o).basin_hopping_temperature, &(o).seed

// Every option converted in signature order into `request` (method, budgets,
// tolerances, seed) and the three that decide the start and the weighting;
// the first refusal sets its Python exception and returns false.
bool convert_fit_options(const FitOptionArgs& args, FitRequest& request, std::optional<bool>& guess_init,
                         std::optional<std::string>& weights_path, std::string& weight_text);

}  // namespace velotz::py
