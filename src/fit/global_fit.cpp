#include "fit/global_fit.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "fit/global_engines.hpp"
#include "fit/lm_fit.hpp"
#include "util/text.hpp"

namespace velotz {

namespace {

// The set-up every global method shares, after the input checks and the
// method's own settings checks: the request compiled once, and the free
// parameters' starting values. The searches move the free parameters only.
struct GlobalSetup {
    explicit GlobalSetup(const FitRequest& request)
        : problem(request_model(request), request.frequencies, request.impedances, request.weighting),
          values(problem.model.values()) {}

    const std::vector<Bounds>& bounds() const { return problem.bounds(); }

    FitProblem problem;
    std::vector<double> values;
};

std::optional<FitError> input_error(const FitRequest& request) {
    return check_fit_inputs(request.circuit, request.frequencies.size(), request.impedances.size());
}

// ---------------------------------------------------------------- settings checks
//
// Settings a method cannot run with are refused after the three input checks
// and before the first cost evaluation, with a message naming the fit()
// argument.

// The largest half-width h for which a uniform draw x + (2h * u - h) can be
// computed: 2h must stay finite.
constexpr double kMaxHalfWidth = std::numeric_limits<double>::max() / 2;

std::optional<FitError> swarm_settings_error(const FitRequest& request) {
    if (request.num_particles == 0) return FitError::aborted("num_particles must be at least 1, got 0");
    return std::nullopt;
}

std::optional<FitError> annealing_settings_error(const FitRequest& request) {
    const double t0 = request.sa_initial_temperature;
    if (t0 <= 0.0) {
        return FitError::solver_failure(
            "Invalid parameter: \"`SimulatedAnnealing`: Initial temperature must be > 0.\"");
    }
    // The first move draws from [x - T0, x + T0]; NaN and inf fail here too.
    if (!(t0 <= kMaxHalfWidth)) {
        return FitError::aborted("sa_initial_temperature must be a finite number no larger than " +
                                 format_debug(kMaxHalfWidth) + ", got " + format_debug(t0));
    }
    return std::nullopt;
}

std::optional<FitError> hopping_settings_error(const FitRequest& request) {
    const double s = request.basin_hopping_step_size;
    if (!(s >= 0.0 && s <= kMaxHalfWidth)) {
        return FitError::aborted("basin_hopping_step_size must be a number from 0 to " +
                                 format_debug(kMaxHalfWidth) + ", got " + format_debug(s));
    }
    return std::nullopt;
}

// How a search box is sampled: the particle swarm draws in 64-bit floats and
// allows a zero-width entry (the parameter is then held); differential
// evolution draws in 32-bit floats and needs lower < upper there.
enum class BoxUse { Swarm, Evolution };

std::optional<FitError> box_error(const GlobalSetup& s, const SearchBox& box, BoxUse use) {
    const char* method = use == BoxUse::Swarm ? "particle swarm" : "differential evolution";
    const std::vector<std::string> names = s.problem.model.names();
    for (std::size_t i = 0; i < box.lower.size() && i < box.upper.size(); ++i) {
        const double lo = box.lower[i];
        const double hi = box.upper[i];
        const char* fault = nullptr;
        if (use == BoxUse::Swarm) {
            if (!std::isfinite(lo) || !std::isfinite(hi) || !std::isfinite(hi - lo)) fault = "not finite";
            else if (lo > hi) fault = "inverted";
        } else {
            const float lo32 = static_cast<float>(lo);
            const float hi32 = static_cast<float>(hi);
            if (!std::isfinite(lo32) || !std::isfinite(hi32) || !std::isfinite(hi32 - lo32)) fault = "not finite";
            else if (!(lo32 < hi32)) fault = "empty in single precision";
        }
        if (!fault) continue;
        const std::string name = i < names.size() ? quote(names[i]) : "parameter " + std::to_string(i);
        const std::string value = i < s.values.size() ? format_debug(s.values[i]) : "NaN";
        return FitError::aborted(std::string(method) + " cannot search " + name +
                                 ": the search box around its value " + value + " is [" + format_debug(lo) +
                                 ", " + format_debug(hi) + "], which is " + fault);
    }
    return std::nullopt;
}

// 0.5 * sum(r^2) at physical(x): one counted residual evaluation per call,
// through `evaluator`, which must outlive the function and serve one thread.
CostFunction make_cost(FitEvaluator& evaluator, const std::vector<Bounds>& bounds, EvalCounter& counter) {
    return [&evaluator, &bounds, &counter, p = std::vector<double>()](const std::vector<double>& x) mutable {
        physical_into(x, bounds, p);
        return evaluator.cost(p, counter);
    };
}

SearchBox search_box(const GlobalSetup& s) {
    std::vector<std::pair<double, double>> pairs;
    pairs.reserve(s.bounds().size());
    for (const Bounds& b : s.bounds()) pairs.emplace_back(b.lo, b.hi);
    return pso_search_box(pairs, s.values);
}

// The engine's best point, mapped to physical values and polished.
FitResultOr hand_over(GlobalSetup& s, const SearchOutcome& found, EvalCounter& counter) {
    if (!found) return std::unexpected(FitError::solver_failure(found.error()));
    return polish_or_fallback(s.problem, physical(found->x, s.bounds()), found->iterations, counter);
}

}  // namespace

FitResultOr nelder_mead_fit(const FitRequest& request) {
    if (auto error = input_error(request)) return std::unexpected(*error);
    GlobalSetup setup(request);
    EvalCounter counter{0};
    const CostFunction cost = make_cost(setup.problem.evaluator, setup.bounds(), counter);
    const auto found = nelder_mead_search(cost, internal_from_physical(setup.values, setup.bounds()),
                                          request.nelder_mead_iterations);
    return hand_over(setup, found, counter);
}

FitResultOr particle_swarm_fit(const FitRequest& request) {
    if (auto error = input_error(request)) return std::unexpected(*error);
    if (auto error = swarm_settings_error(request)) return std::unexpected(*error);
    GlobalSetup setup(request);
    const SearchBox box = search_box(setup);
    if (auto error = box_error(setup, box, BoxUse::Swarm)) return std::unexpected(*error);
    EvalCounter counter{0};
    const CostFunction cost = make_cost(setup.problem.evaluator, setup.bounds(), counter);
    const auto found = particle_swarm_search(cost, box, request.num_particles, request.generations, request.seed);
    return hand_over(setup, found, counter);
}

FitResultOr differential_evolution_fit(const FitRequest& request) {
    if (auto error = input_error(request)) return std::unexpected(*error);
    GlobalSetup setup(request);
    const SearchBox box = search_box(setup);
    if (auto error = box_error(setup, box, BoxUse::Evolution)) return std::unexpected(*error);
    EvalCounter counter{0};
    // The runs may go on several threads: each gets an evaluator of its own,
    // owned by its cost function.
    const CostFactory factory = [&setup, &counter]() -> CostFunction {
        std::shared_ptr<FitEvaluator> own = setup.problem.another_evaluator();
        return [own, &bounds = setup.bounds(), &counter, p = std::vector<double>()](
                   const std::vector<double>& x) mutable {
            physical_into(x, bounds, p);
            return own->cost(p, counter);
        };
    };
    const auto found = differential_evolution_search(factory, box, request.de_evaluations);
    return hand_over(setup, found, counter);
}

FitResultOr simulated_annealing_fit(const FitRequest& request) {
    if (auto error = input_error(request)) return std::unexpected(*error);
    if (auto error = annealing_settings_error(request)) return std::unexpected(*error);
    GlobalSetup setup(request);
    EvalCounter counter{0};
    const CostFunction cost = make_cost(setup.problem.evaluator, setup.bounds(), counter);
    const auto found = simulated_annealing_search(cost, internal_from_physical(setup.values, setup.bounds()),
                                                  request.sa_iterations, request.sa_initial_temperature,
                                                  request.seed);
    return hand_over(setup, found, counter);
}

FitResultOr basin_hopping_fit(const FitRequest& request) {
    if (auto error = input_error(request)) return std::unexpected(*error);
    if (auto error = hopping_settings_error(request)) return std::unexpected(*error);
    GlobalSetup setup(request);
    const FitModel& model = setup.problem.model;
    FitEvaluator& evaluator = setup.problem.evaluator;
    const std::vector<Bounds>& bounds = setup.bounds();
    const std::size_t needed = model.free_count();

    // A local fit is a complete multi-start fit from the circuit rebuilt with
    // the start values; its error (if any) is kept to be returned unchanged.
    // Every local fit goes through the problem's evaluator (the rebuilt
    // models keep the tree, the mask and the fixed values).
    std::optional<FitError> local_error;
    const LocalFit local_fit = [&](const std::vector<double>& start) -> std::optional<LocalMinimum> {
        const FitModel jumped = start.size() >= needed ? model.with_values(start) : model;
        auto outcome = levenberg_marquardt_fit(jumped, evaluator, kPolishSettings);
        if (!outcome) {
            local_error = outcome.error();
            return std::nullopt;
        }
        // The outcome lists every parameter; the hops move the free ones.
        std::vector<double> free = std::move(outcome->params);
        if (free.size() != needed) {
            std::vector<double> all = std::move(free);
            free.clear();
            for (std::size_t i : model.free_index()) free.push_back(i < all.size() ? all[i] : std::nan(""));
        }
        return LocalMinimum{std::move(free), outcome->cost, outcome->iterations};
    };
    const CoordinateMap to_internal = [&bounds](const std::vector<double>& p) {
        return internal_from_physical(p, bounds);
    };
    const CoordinateMap to_physical = [&bounds](const std::vector<double>& x) { return physical(x, bounds); };

    auto found = basin_hopping_search(local_fit, to_internal, to_physical, setup.values,
                                      request.basin_hopping_hops, request.basin_hopping_step_size,
                                      request.basin_hopping_temperature, request.seed);
    if (!found) {
        if (local_error) return std::unexpected(*local_error);
        return std::unexpected(FitError::solver_failure(found.error()));
    }

    // The outcome counts only its own evaluations, not those of the local fits.
    EvalCounter counter{0};
    return build_outcome(model, std::move(found->params), true, found->iterations, evaluator, counter);
}

}  // namespace velotz
