#include "fit/lm_fit.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

namespace velotz {

// ---------------------------------------------------------------- LmProblem

LmProblem::LmProblem(const FitModel& model, std::vector<double> omegas, const std::vector<Cx>& impedances,
                     std::vector<double> weights, std::vector<Bounds> bounds, std::vector<double> x0,
                     std::vector<bool> held, EvalCounter& counter)
    : own_evaluator_(std::make_unique<FitEvaluator>(model, Measurement{omegas, impedances, weights})),
      evaluator_(*own_evaluator_),
      bounds_(std::move(bounds)),
      x_(std::move(x0)),
      held_(std::move(held)),
      counter_(counter) {}

LmProblem::LmProblem(FitEvaluator& evaluator, std::vector<Bounds> bounds, std::vector<double> x0,
                     std::vector<bool> held, EvalCounter& counter)
    : evaluator_(evaluator), bounds_(std::move(bounds)), x_(std::move(x0)), held_(std::move(held)), counter_(counter) {}

// The solver asks for the Jacobian at the point whose residuals it has just
// accepted: the physical values (a pow per open-bound parameter) are kept.
void LmProblem::update_physical() {
    if (p_current_) return;
    physical_into(x_, bounds_, p_);
    p_current_ = true;
}

bool LmProblem::residuals(std::vector<double>& r) {
    update_physical();
    const bool ok = evaluator_.residuals(p_, counter_, r);
    if (ok && !evaluated_) start_cost_ = half_sum_of_squares(r);
    evaluated_ = true;
    return ok;
}

bool LmProblem::jacobian(std::vector<double>& jac_colmajor) {
    update_physical();
    const std::size_t n = x_.size();
    const std::size_t m = 2 * evaluator_.points();
    if (p_.size() != n || jac_colmajor.size() != m * n) return false;
    // Held parameters get zero columns, which need not be computed.
    if (!evaluator_.jacobian(p_, counter_, jac_colmajor.data(), &held_)) return false;
    for (std::size_t k = 0; k < n; ++k) {
        if (k < held_.size() && held_[k]) continue;
        // dp/dx of the internal coordinate: 1 on the plain scale, 10^x ln 10
        // on the log scale above lo.
        if (std::isfinite(bounds_[k].hi)) continue;  // a factor of 1 changes no value
        const double s = (p_[k] - bounds_[k].lo) * kLn10;
        double* out = jac_colmajor.data() + k * m;
        for (std::size_t i = 0; i < m; ++i) out[i] = out[i] * s;
    }
    return true;
}

std::expected<SingleStartResult, std::string> levenberg_marquardt_single_start(
    FitEvaluator& evaluator, const std::vector<Bounds>& bounds, const std::vector<double>& x0,
    const std::vector<bool>& held, const LmSettings& settings, EvalCounter& counter, LmWorkspace* work) {
    LmProblem problem(evaluator, bounds, x0, held, counter);
    LmConfig config{settings.ftol, settings.xtol, settings.gtol, 100.0, settings.patience};
    auto report = work != nullptr ? lmder_minimize(problem, config, *work) : lmder_minimize(problem, config);
    if (!report) return std::unexpected(report.error());
    return SingleStartResult{physical(problem.params(), bounds), lm_termination_success(report->termination),
                             report->evaluations, problem.start_cost()};
}

std::expected<SingleStartResult, std::string> levenberg_marquardt_single_start(
    const FitModel& model, const std::vector<double>& omegas, const std::vector<Cx>& impedances,
    const std::vector<double>& weights, const std::vector<Bounds>& bounds, const std::vector<double>& x0,
    const std::vector<bool>& held, const LmSettings& settings, EvalCounter& counter) {
    FitEvaluator evaluator(model, Measurement{omegas, impedances, weights});
    return levenberg_marquardt_single_start(evaluator, bounds, x0, held, settings, counter);
}

// ---------------------------------------------------------------- candidates

namespace {

std::int64_t total_order_key(double v) {
    const auto bits = std::bit_cast<std::int64_t>(v);
    // Negative values: flip every bit below the sign so that larger
    // magnitudes order lower; the signed comparison then is totalOrder.
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

}  // namespace

bool total_order_less(double a, double b) { return total_order_key(a) < total_order_key(b); }

void sort_candidates(std::vector<Candidate>& candidates) {
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return total_order_less(a.cost, b.cost); });
}

std::vector<Candidate> candidate_starting_points(const FitModel& model, const Measurement& data,
                                                 const std::vector<Bounds>& bounds,
                                                 const std::vector<double>& p0, EvalCounter& counter) {
    FitEvaluator evaluator(model, data);
    return candidate_starting_points(evaluator, bounds, p0, counter);
}

std::vector<Candidate> candidate_starting_points(FitEvaluator& evaluator, const std::vector<Bounds>& bounds,
                                                 const std::vector<double>& p0, EvalCounter& counter) {
    const std::size_t n = std::min(bounds.size(), p0.size());
    const std::vector<double> start(p0.begin(), p0.begin() + static_cast<std::ptrdiff_t>(n));
    std::vector<std::vector<double>> vectors;
    vectors.reserve(9);
    vectors.push_back(start);
    for (double factor : {3.0, 0.3333333333333333, 8.0, 0.125}) {
        std::vector<double> v = start;
        for (std::size_t i = 0; i < n; ++i) {
            if (!std::isfinite(bounds[i].hi)) v[i] = start[i] * factor;
        }
        vectors.push_back(std::move(v));
    }
    for (double fraction : {0.2, 0.4, 0.6, 0.8}) {
        std::vector<double> v = start;
        for (std::size_t i = 0; i < n; ++i) {
            if (std::isfinite(bounds[i].hi)) v[i] = bounds[i].lo + (bounds[i].hi - bounds[i].lo) * fraction;
        }
        vectors.push_back(std::move(v));
    }
    std::vector<Candidate> out;
    out.reserve(vectors.size());
    for (auto& v : vectors) {
        const double c = evaluator.cost(v, counter);
        out.push_back(Candidate{c, std::move(v)});
    }
    return out;
}

bool is_plausible(const std::vector<double>& params, bool success, double cost,
                  const std::vector<Bounds>& bounds, const std::vector<double>& p0) {
    if (!success || !std::isfinite(cost)) return false;
    const std::size_t n = std::min({bounds.size(), params.size(), p0.size()});
    for (std::size_t i = 0; i < n; ++i) {
        const double p = params[i], lo = bounds[i].lo, hi = bounds[i].hi;
        if (std::isfinite(hi)) {
            const double margin = 1e-6 * (hi - lo);
            if (!(std::fabs(p - lo) > margin) || !(std::fabs(hi - p) > margin)) return false;
        } else {
            if (!(p > 100.0 * lo)) return false;
            const double a = std::fabs(p0[i]);
            const double q = p / (std::isnan(a) ? 1e-300 : std::max(a, 1e-300));
            if (!std::isfinite(q) || !(q >= 1e-6) || !(q < 1000000.0)) return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------- multi-start fit

FitResultOr levenberg_marquardt_fit(const FitModel& model, const std::vector<double>& frequencies,
                                    const std::vector<Cx>& impedances, Weighting weighting,
                                    const LmSettings& settings) {
    if (auto error = check_fit_inputs(model.circuit(), frequencies.size(), impedances.size())) return std::unexpected(*error);
    FitProblem problem(model, frequencies, impedances, weighting);
    return levenberg_marquardt_fit(problem.model, problem.evaluator, settings);
}

FitResultOr levenberg_marquardt_fit(const FitModel& model, FitEvaluator& evaluator, const LmSettings& settings) {
    if (auto error = check_fit_inputs(model.circuit(), evaluator.points(), evaluator.impedances().size())) {
        return std::unexpected(*error);
    }
    EvalCounter counter{0};
    // Everything below works on the free parameters only.
    const std::vector<Bounds>& bounds = model.bounds();
    const std::vector<double> p0 = model.values();

    std::vector<Candidate> candidates = candidate_starting_points(evaluator, bounds, p0, counter);
    sort_candidates(candidates);

    struct Best {
        std::vector<double> params;
        double cost;
        bool success;
    };
    std::optional<Best> best;
    std::uint64_t total = 0;
    const std::vector<bool> none_held(std::min(bounds.size(), p0.size()), false);
    LmWorkspace work;  // the solver arrays of every run below
    for (const Candidate& candidate : candidates) {
        const std::vector<double> x0 = internal_from_physical(candidate.params, bounds);
        auto run = levenberg_marquardt_single_start(evaluator, bounds, x0, none_held, settings, counter, &work);
        if (!run) return std::unexpected(FitError::aborted(run.error()));
        total += run->evaluations;
        const double cost = evaluator.cost(run->params, counter);
        const bool better = !best || (run->success && !best->success) ||
                            (run->success == best->success && cost < best->cost);
        if (better) best = Best{run->params, cost, run->success};
        if (is_plausible(run->params, run->success, cost, bounds, p0)) break;
    }
    if (!best) {
        return std::unexpected(
            FitError::aborted("candidate_starting_points always returns at least one candidate"));
    }

    std::vector<double> clamped = best->params;
    if (!clamp_into_bounds(clamped, bounds)) {
        return std::unexpected(FitError::aborted("parameter bounds must be ordered numbers (lo <= hi)"));
    }
    const std::size_t n = std::min(bounds.size(), clamped.size());
    std::vector<bool> at_bound(n, false);
    bool any_at_bound = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isfinite(bounds[i].hi) && (clamped[i] <= bounds[i].lo || clamped[i] >= bounds[i].hi)) {
            at_bound[i] = true;
            any_at_bound = true;
        }
    }

    std::vector<double> final_params = best->params;
    bool success = best->success;
    if (any_at_bound) {
        // Refit with the parameters at a bound held there: the others may
        // lower the cost once those are fixed at a feasible value.
        const std::vector<double> x0 = internal_from_physical(clamped, bounds);
        auto refit = levenberg_marquardt_single_start(evaluator, bounds, x0, at_bound, settings, counter, &work);
        if (!refit) return std::unexpected(FitError::aborted(refit.error()));
        total += refit->evaluations;
        double refit_cost = evaluator.cost(refit->params, counter);
        const double clamped_cost = refit->start_cost;
        // The clamped vector mixes the held values with the others' values
        // from beyond the box, which may suit them badly: a refit from it can
        // run off to absurd values (a capacitance of 1e37) while lowering
        // the cost. Such a refit is not plausible; the same held refit is
        // then also run from the starting values, and the better of the two
        // is taken.
        if (!is_plausible(refit->params, refit->success, refit_cost, bounds, p0)) {
            std::vector<double> from_start(p0.begin(), p0.begin() + static_cast<std::ptrdiff_t>(n));
            for (std::size_t i = 0; i < n; ++i) {
                if (at_bound[i]) from_start[i] = clamped[i];
            }
            if (from_start != clamped) {
                auto second = levenberg_marquardt_single_start(evaluator, bounds,
                                                               internal_from_physical(from_start, bounds), at_bound,
                                                               settings, counter, &work);
                if (!second) return std::unexpected(FitError::aborted(second.error()));
                total += second->evaluations;
                const double second_cost = evaluator.cost(second->params, counter);
                if (second->success && std::isfinite(second_cost) && (!refit->success || second_cost < refit_cost)) {
                    refit = std::move(second);
                    refit_cost = second_cost;
                }
            }
        }
        // The unconstrained best lies outside the bounds, so a refit inside
        // them can rarely beat its cost; what the refit replaces is the
        // clamped vector, so it is kept when it is no worse than that as well
        // as when it beats the best.
        if (refit->success && (refit_cost < best->cost || refit_cost <= clamped_cost)) {
            final_params = std::move(refit->params);
            success = true;
        } else {
            final_params = std::move(clamped);
        }
    }
    return build_outcome(model, std::move(final_params), success, total, evaluator, counter);
}

// ---------------------------------------------------------------- polish

FitResultOr polish_or_fallback(FitProblem& problem, const std::vector<double>& best, std::uint64_t iterations,
                               EvalCounter& counter) {
    FitOutcome fallback = build_outcome(problem.model, best, true, iterations, problem.evaluator, counter);

    // The polish starts from the circuit rebuilt with `best` and runs on the
    // search's own evaluator (the rebuilt model keeps the tree, the mask and
    // the fixed values), with a counter of its own.
    const std::size_t needed = problem.model.free_count();
    const FitModel start = best.size() >= needed ? problem.model.with_values(best) : problem.model;
    auto polished = levenberg_marquardt_fit(start, problem.evaluator, kPolishSettings);
    if (!polished) return polished;

    count_evaluation(counter, polished->impedance_evals);
    FitOutcome result = (std::isfinite(polished->cost) && polished->cost <= fallback.cost) ? std::move(*polished)
                                                                                         : std::move(fallback);
    result.impedance_evals = counter.load();
    return result;
}

}  // namespace velotz
