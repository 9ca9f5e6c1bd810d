#include "fit/global_fit.hpp"

#include <cmath>
#include <memory>
#include <utility>

#include "fit/global_engines.hpp"
#include "fit/lm_fit.hpp"

namespace velotz {

namespace {

// The set-up every global method shares, after the input checks.
struct GlobalSetup {
    std::vector<double> omegas;
    std::vector<double> weights;
    std::vector<Bounds> bounds;
    std::vector<double> values;  // the circuit's current (starting) values
};

std::expected<GlobalSetup, FitError> global_setup(const FitRequest& request) {
    if (auto error = check_fit_inputs(request.circuit, request.frequencies.size(), request.impedances.size()))
        return std::unexpected(*error);
    GlobalSetup s;
    s.omegas = angular(request.frequencies);
    s.weights = compute_weights(request.impedances, request.weighting);
    s.bounds = param_bounds(request.circuit);
    s.values = param_values(request.circuit);
    return s;
}

// The data a cost function reads; shared read-only by the calls of one search.
struct CostData {
    NodeList circuit;
    std::vector<double> omegas;
    std::vector<Cx> impedances;
    std::vector<double> weights;
    std::vector<Bounds> bounds;
};

// 0.5 * sum(r^2) at physical(x): one counted residual evaluation per call.
CostFunction make_cost(std::shared_ptr<const CostData> data, EvalCounter& counter) {
    return [data = std::move(data), &counter, r = std::vector<double>()](const std::vector<double>& x) mutable {
        const Measurement m{data->omegas, data->impedances, data->weights};
        if (!residuals_into(data->circuit, physical(x, data->bounds), m, counter, r)) return std::nan("");
        return half_sum_of_squares(r);
    };
}

std::shared_ptr<const CostData> cost_data(const FitRequest& request, const GlobalSetup& s) {
    return std::make_shared<const CostData>(
        CostData{request.circuit, s.omegas, request.impedances, s.weights, s.bounds});
}

SearchBox search_box(const GlobalSetup& s) {
    std::vector<std::pair<double, double>> pairs;
    pairs.reserve(s.bounds.size());
    for (const Bounds& b : s.bounds) pairs.emplace_back(b.lo, b.hi);
    return pso_search_box(pairs, s.values);
}

// The engine's best point, mapped to physical values and polished.
FitResultOr hand_over(const FitRequest& request, const GlobalSetup& s, const SearchOutcome& found,
                      EvalCounter& counter) {
    if (!found) return std::unexpected(FitError::solver_failure(found.error()));
    return polish_or_fallback(request.circuit, physical(found->x, s.bounds), found->iterations, request.frequencies,
                              request.impedances, request.weighting, s.omegas, s.weights, counter);
}

}  // namespace

FitResultOr nelder_mead_fit(const FitRequest& request) {
    auto setup = global_setup(request);
    if (!setup) return std::unexpected(setup.error());
    EvalCounter counter{0};
    const CostFunction cost = make_cost(cost_data(request, *setup), counter);
    const auto found =
        nelder_mead_search(cost, internal_from_physical(setup->values, setup->bounds), request.nelder_mead_iterations);
    return hand_over(request, *setup, found, counter);
}

FitResultOr particle_swarm_fit(const FitRequest& request) {
    auto setup = global_setup(request);
    if (!setup) return std::unexpected(setup.error());
    EvalCounter counter{0};
    const CostFunction cost = make_cost(cost_data(request, *setup), counter);
    const auto found =
        particle_swarm_search(cost, search_box(*setup), request.num_particles, request.generations, request.seed);
    return hand_over(request, *setup, found, counter);
}

FitResultOr differential_evolution_fit(const FitRequest& request) {
    auto setup = global_setup(request);
    if (!setup) return std::unexpected(setup.error());
    EvalCounter counter{0};
    // Every run gets its own cost function over its own copy of the data.
    const CostFactory factory = [&request, &setup, &counter] {
        return make_cost(cost_data(request, *setup), counter);
    };
    const auto found = differential_evolution_search(factory, search_box(*setup), request.de_evaluations);
    return hand_over(request, *setup, found, counter);
}

FitResultOr simulated_annealing_fit(const FitRequest& request) {
    auto setup = global_setup(request);
    if (!setup) return std::unexpected(setup.error());
    EvalCounter counter{0};
    const CostFunction cost = make_cost(cost_data(request, *setup), counter);
    const auto found = simulated_annealing_search(cost, internal_from_physical(setup->values, setup->bounds),
                                                  request.sa_iterations, request.sa_initial_temperature,
                                                  request.seed);
    return hand_over(request, *setup, found, counter);
}

FitResultOr basin_hopping_fit(const FitRequest& request) {
    if (auto error = check_fit_inputs(request.circuit, request.frequencies.size(), request.impedances.size()))
        return std::unexpected(*error);
    const std::vector<Bounds> bounds = param_bounds(request.circuit);
    const std::size_t needed = param_count(request.circuit);

    // A local fit is a complete multi-start fit from the circuit rebuilt with
    // the start values; its error (if any) is kept to be returned unchanged.
    std::optional<FitError> local_error;
    const LocalFit local_fit = [&](const std::vector<double>& start) -> std::optional<LocalMinimum> {
        const NodeList jumped = start.size() >= needed ? rebuild(request.circuit, start) : request.circuit;
        auto outcome = levenberg_marquardt_fit(jumped, request.frequencies, request.impedances, request.weighting,
                                               kPolishSettings);
        if (!outcome) {
            local_error = outcome.error();
            return std::nullopt;
        }
        return LocalMinimum{std::move(outcome->params), outcome->cost, outcome->iterations};
    };
    const CoordinateMap to_internal = [&bounds](const std::vector<double>& p) {
        return internal_from_physical(p, bounds);
    };
    const CoordinateMap to_physical = [&bounds](const std::vector<double>& x) { return physical(x, bounds); };

    auto found = basin_hopping_search(local_fit, to_internal, to_physical, param_values(request.circuit),
                                      request.basin_hopping_hops, request.basin_hopping_step_size,
                                      request.basin_hopping_temperature, request.seed);
    if (!found) {
        if (local_error) return std::unexpected(*local_error);
        return std::unexpected(FitError::solver_failure(found.error()));
    }

    // The outcome counts only its own evaluations, not those of the local fits.
    const std::vector<double> omegas = angular(request.frequencies);
    const std::vector<double> weights = compute_weights(request.impedances, request.weighting);
    EvalCounter counter{0};
    return build_outcome(request.circuit, std::move(found->params), true, found->iterations, omegas,
                         request.impedances, weights, counter);
}

}  // namespace velotz
