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

// The six method names, compared byte for byte.
inline constexpr std::array<std::string_view, 6> kFitMethods = {
    "levenberg_marquardt", "particle_swarm",      "nelder_mead",
    "differential_evolution", "simulated_annealing", "basin_hopping"};

// Everything a fit needs, as native values. `circuit` holds the starting
// values (the caller's, a network guess or the placeholders). Options a
// method does not use are ignored by it.
struct FitRequest {
    std::string method = "levenberg_marquardt";
    std::size_t max_iterations = 200;
    double ftol = 1e-8;
    double xtol = 1e-8;
    NodeList circuit;
    // Fixed parameters and custom bounds of the circuit (null: none); the
    // caller has checked it against the circuit (check_mask).
    std::shared_ptr<const ParamMask> mask;
    std::vector<double> frequencies;  // hertz
    std::vector<Cx> impedances;       // ohm
    Weighting weighting = Weighting::Modulus;
    std::size_t num_particles = 200;
    std::uint64_t generations = 1000;
    std::uint64_t nelder_mead_iterations = 2000;
    std::size_t de_evaluations = 20000;
    std::uint64_t sa_iterations = 5000;
    double sa_initial_temperature = 2.0;
    std::size_t basin_hopping_hops = 20;
    double basin_hopping_step_size = 1.0;
    double basin_hopping_temperature = 1.0;
    std::optional<std::uint64_t> seed;
};

// The request's circuit with its constraints, as the methods fit it.
FitModel request_model(const FitRequest& request);

// Runs the method named by request.method; an unknown name fails with
// UnknownMethod before any input is looked at. Runs on the calling thread
// (only Jacobian columns use the worker pool) and touches no shared state.
FitResultOr fit_dispatch(const FitRequest& request);

}  // namespace velotz
