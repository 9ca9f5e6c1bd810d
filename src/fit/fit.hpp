#pragma once
// The fitting entry point: one request with every option of Circuit.fit,
// dispatched by method name.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/param_mask.hpp"
#include "fit/fit_model.hpp"
#include "fit/outcome.hpp"
#include "fit/residuals.hpp"

namespace velotz {

// Every fit method, once: X(name, entry point). The entry points are
// functions of a FitRequest (fit.cpp); the names are compared byte for
// byte. A new method is a line here and its entry point.
#define VELOTZ_FIT_METHODS(X)                          \
    X(levenberg_marquardt, levenberg_marquardt_request) \
    X(particle_swarm, particle_swarm_fit)              \
    X(nelder_mead, nelder_mead_fit)                    \
    X(differential_evolution, differential_evolution_fit) \
    X(simulated_annealing, simulated_annealing_fit)    \
    X(basin_hopping, basin_hopping_fit)

#define VELOTZ_FIT_METHOD_NAME(name, entry) std::string_view(#name),
inline constexpr std::array kFitMethods = {VELOTZ_FIT_METHODS(VELOTZ_FIT_METHOD_NAME)};
#undef VELOTZ_FIT_METHOD_NAME

// Every option of fit() (and of the batch fit, which takes them all), once,
// in fit()'s signature order:
//   X(name, conversion, C++ type, default, default as the signature shows it, target, check, doc)
// conversion: how the binding converts the Python argument (OptionalBool:
//   None/True/False; Path: None, str or os.PathLike; Text: str; Size:
//   unsigned machine word; U64: unsigned 64-bit; F64: float; OptionalU64:
//   None or unsigned 64-bit).
// target: Request for a field of FitRequest, Call for the three the binding
//   reads itself (FitCallOptions: the start decision and the weighting).
// check: the value check beyond the conversion, and who makes it.
// From this list come FitRequest's and FitCallOptions' fields, the binding's
// keywords, argument formats, conversions and fit()'s text signature; the
// type stubs are checked against it by the tests.
#define VELOTZ_FIT_OPTIONS(X)                                                                                     \
    X(guess_init, OptionalBool, std::optional<bool>, std::nullopt, "None", Call, "-",                           \
      "None: guess unless the circuit's values were given; True: always guess; False: never")                   \
    X(weights, Path, std::optional<std::string>, std::nullopt, "None", Call, "the file must load (guess)",     \
      "a .eisnn weight file for the guess instead of the shipped networks")                                     \
    X(weight, Text, std::string, "modulus", "\"modulus\"", Call, "parse_weighting: \"modulus\" or \"unit\"",    \
      "weighting of the residuals")                                                                            \
    X(method, Text, std::string, "levenberg_marquardt", "\"levenberg_marquardt\"", Request,                    \
      "one of VELOTZ_FIT_METHODS (fit_dispatch)", "the fitting method")                                         \
    X(max_iterations, Size, std::size_t, 200, "200", Request, "-", "Levenberg-Marquardt iteration budget")     \
    X(ftol, F64, double, 1e-8, "1e-8", Request, ">= 0 (Levenberg-Marquardt)", "relative cost tolerance")       \
    X(xtol, F64, double, 1e-8, "1e-8", Request, ">= 0 (Levenberg-Marquardt)", "relative step tolerance")       \
    X(num_particles, Size, std::size_t, 200, "200", Request, "-", "particle-swarm population")                  \
    X(generations, U64, std::uint64_t, 1000, "1000", Request, "-", "particle-swarm iterations")                \
    X(nelder_mead_iterations, U64, std::uint64_t, 2000, "2000", Request, "-", "Nelder-Mead iteration budget")   \
    X(de_evaluations, Size, std::size_t, 20000, "20000", Request, "-", "differential-evolution evaluations")    \
    X(sa_iterations, U64, std::uint64_t, 5000, "5000", Request, "-", "simulated-annealing iterations")          \
    X(sa_initial_temperature, F64, double, 2.0, "2.0", Request, "-", "simulated-annealing start temperature")   \
    X(basin_hopping_hops, Size, std::size_t, 20, "20", Request, "-", "basin-hopping hops")                      \
    X(basin_hopping_step_size, F64, double, 1.0, "1.0", Request, "-", "basin-hopping step in internal units")   \
    X(basin_hopping_temperature, F64, double, 1.0, "1.0", Request, "-", "basin-hopping acceptance temperature") \
    X(seed, OptionalU64, std::optional<std::uint64_t>, std::nullopt, "None", Request, "-",                      \
      "seed of the random methods; None: from the operating system")

#define VELOTZ_FIT_OPTION_COUNT_ONE(...) +1
inline constexpr std::size_t kFitOptionCount = 0 VELOTZ_FIT_OPTIONS(VELOTZ_FIT_OPTION_COUNT_ONE);
#undef VELOTZ_FIT_OPTION_COUNT_ONE

// One field of FitRequest (target Request) or of FitCallOptions (target Call).
#define VELOTZ_FIT_FIELD_Request(type, name, value) type name = value;
#define VELOTZ_FIT_FIELD_Call(type, name, value)
#define VELOTZ_FIT_REQUEST_FIELD(name, conversion, type, value, shown, target, check, doc) \
    VELOTZ_FIT_FIELD_##target(type, name, value)
#define VELOTZ_FIT_CALL_FIELD_Request(type, name, value)
#define VELOTZ_FIT_CALL_FIELD_Call(type, name, value) type name = value;
#define VELOTZ_FIT_CALL_FIELD(name, conversion, type, value, shown, target, check, doc) \
    VELOTZ_FIT_CALL_FIELD_##target(type, name, value)

// Everything a fit needs, as native values. `circuit` holds the starting
// values (the caller's, a network guess or the placeholders). Options a
// method does not use are ignored by it.
struct FitRequest {
    VELOTZ_FIT_OPTIONS(VELOTZ_FIT_REQUEST_FIELD)
    NodeList circuit;
    // Fixed parameters and custom bounds of the circuit (null: none); the
    // caller has checked it against the circuit (check_mask).
    std::shared_ptr<const ParamMask> mask;
    std::vector<double> frequencies;  // hertz
    std::vector<Cx> impedances;       // ohm
    Weighting weighting = Weighting::Modulus;
};

// The options of a fit that decide its start and its weighting; the binding
// reads them before the request is built.
struct FitCallOptions {
    VELOTZ_FIT_OPTIONS(VELOTZ_FIT_CALL_FIELD)
};

// The request's circuit with its constraints, as the methods fit it.
FitModel request_model(const FitRequest& request);

// Runs the method named by request.method; an unknown name fails with
// UnknownMethod before any input is looked at. Runs on the calling thread
// (only Jacobian columns use the worker pool) and touches no shared state.
FitResultOr fit_dispatch(const FitRequest& request);

}  // namespace velotz
