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

LmProblem::LmProblem(FitEvaluator& evaluator, LmProblemArrays&& arrays, EvalCounter& counter)
    : evaluator_(evaluator),
      bounds_(std::move(arrays.bounds)),
      p_(std::move(arrays.p)),
      x_(std::move(arrays.x)),
      held_(std::move(arrays.held)),
      counter_(counter) {}

LmProblemArrays LmProblem::release() {
    p_current_ = false;
    return LmProblemArrays{std::move(bounds_), std::move(x_), std::move(p_), std::move(held_)};
}

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

namespace {

// What a run reports besides its final parameters.
struct RunInfo {
    bool success = false;
    std::uint64_t evaluations = 0;
    double start_cost = std::numeric_limits<double>::quiet_NaN();
};

// One solver run from x0 in the arrays of `work` and `arrays`, its final
// physical values written into `params` (those of physical(problem.params())).
std::expected<RunInfo, std::string> run_from(FitEvaluator& evaluator, const std::vector<Bounds>& bounds,
                                             const std::vector<double>& x0, const std::vector<bool>& held,
                                             const LmSettings& settings, EvalCounter& counter, LmWorkspace& work,
                                             LmProblemArrays& arrays, std::vector<double>& params) {
    arrays.bounds.assign(bounds.begin(), bounds.end());
    arrays.x.assign(x0.begin(), x0.end());
    arrays.held.assign(held.begin(), held.end());
    LmProblem problem(evaluator, std::move(arrays), counter);
    // The arrays go back to the caller however the run ends (an
    // interruption unwinds through here).
    struct GiveBack {
        LmProblem& problem;
        LmProblemArrays& arrays;
        ~GiveBack() { arrays = problem.release(); }
    } give_back{problem, arrays};
    const LmConfig config{settings.ftol, settings.xtol, settings.gtol, 100.0, settings.patience};
    auto report = lmder_minimize(problem, config, work);
    if (!report) return std::unexpected(report.error());
    problem.params_into(params);
    physical_into(params, bounds, params);
    return RunInfo{lm_termination_success(report->termination), report->evaluations, problem.start_cost()};
}

// Everything the multi-start fit works in besides the evaluator: kept per
// thread, so that a thread's fits allocate nothing here once the first has
// sized the arrays. Every array is written before it is read.
struct LmFitScratch {
    LmWorkspace solver;
    LmProblemArrays problem;
    std::vector<Candidate> candidates;
    std::vector<double> p0, x0, run, best, clamped, from_start, refit, second;
    std::vector<bool> none_held, at_bound;
    bool busy = false;
};

// Solver arrays up to this many doubles (a 4096-point spectrum of eight
// parameters) stay with the thread between fits.
constexpr std::size_t kKeptSolverDoubles = std::size_t{1} << 16;

// The calling thread's scratch, or a fresh one when it is in use further up
// the stack.
class ScratchLease {
public:
    ScratchLease() {
        thread_local LmFitScratch mine;
        if (!mine.busy) {
            scratch_ = &mine;
        } else {
            own_ = std::make_unique<LmFitScratch>();
            scratch_ = own_.get();
        }
        scratch_->busy = true;
    }
    ~ScratchLease() {
        // The solver's arrays grow with the spectrum: after a long one they
        // are given back rather than kept for the thread's life.
        if (scratch_->solver.fjac.capacity() > kKeptSolverDoubles) scratch_->solver = LmWorkspace{};
        scratch_->busy = false;
    }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    LmFitScratch& operator*() const { return *scratch_; }

private:
    LmFitScratch* scratch_ = nullptr;
    std::unique_ptr<LmFitScratch> own_;
};

}  // namespace

std::expected<SingleStartResult, std::string> levenberg_marquardt_single_start(
    FitEvaluator& evaluator, const std::vector<Bounds>& bounds, const std::vector<double>& x0,
    const std::vector<bool>& held, const LmSettings& settings, EvalCounter& counter, LmWorkspace* work) {
    LmWorkspace own;
    LmProblemArrays arrays;
    SingleStartResult out;
    auto run = run_from(evaluator, bounds, x0, held, settings, counter, work != nullptr ? *work : own, arrays,
                        out.params);
    if (!run) return std::unexpected(std::move(run.error()));
    out.success = run->success;
    out.evaluations = run->evaluations;
    out.start_cost = run->start_cost;
    return out;
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
    // A stable insertion sort: the order std::stable_sort gives (a stable
    // order is unique), without its temporary buffer, for the nine
    // candidates of a fit.
    for (std::size_t i = 1; i < candidates.size(); ++i) {
        for (std::size_t j = i; j > 0 && total_order_less(candidates[j].cost, candidates[j - 1].cost); --j) {
            std::swap(candidates[j], candidates[j - 1]);
        }
    }
}

std::vector<Candidate> candidate_starting_points(const FitModel& model, const Measurement& data,
                                                 const std::vector<Bounds>& bounds,
                                                 const std::vector<double>& p0, EvalCounter& counter) {
    FitEvaluator evaluator(model, data);
    return candidate_starting_points(evaluator, bounds, p0, counter);
}

std::vector<Candidate> candidate_starting_points(FitEvaluator& evaluator, const std::vector<Bounds>& bounds,
                                                 const std::vector<double>& p0, EvalCounter& counter) {
    std::vector<Candidate> out;
    candidate_starting_points_into(evaluator, bounds, p0, counter, out);
    return out;
}

void candidate_starting_points_into(FitEvaluator& evaluator, const std::vector<Bounds>& bounds,
                                    const std::vector<double>& p0, EvalCounter& counter,
                                    std::vector<Candidate>& out) {
    const std::size_t n = std::min(bounds.size(), p0.size());
    out.resize(9);
    // Vector 0 is p0; 1-4 scale the open-bound values; 5-8 place the
    // finite-bounded ones inside their boxes. All are built before any is
    // costed, in this order.
    constexpr double kFactors[4] = {3.0, 0.3333333333333333, 8.0, 0.125};
    constexpr double kFractions[4] = {0.2, 0.4, 0.6, 0.8};
    for (std::size_t k = 0; k < 9; ++k) {
        std::vector<double>& v = out[k].params;
        v.assign(p0.begin(), p0.begin() + static_cast<std::ptrdiff_t>(n));
        if (k >= 1 && k <= 4) {
            const double factor = kFactors[k - 1];
            for (std::size_t i = 0; i < n; ++i) {
                if (!std::isfinite(bounds[i].hi)) v[i] = p0[i] * factor;
            }
        } else if (k >= 5) {
            const double fraction = kFractions[k - 5];
            for (std::size_t i = 0; i < n; ++i) {
                if (std::isfinite(bounds[i].hi)) v[i] = bounds[i].lo + (bounds[i].hi - bounds[i].lo) * fraction;
            }
        }
    }
    for (Candidate& c : out) c.cost = evaluator.cost(c.params, counter);
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
    ScratchLease lease;
    LmFitScratch& s = *lease;
    // Everything below works on the free parameters only.
    const std::vector<Bounds>& bounds = model.bounds();
    std::vector<double>& p0 = s.p0;
    model.values_into(p0);

    std::vector<Candidate>& candidates = s.candidates;
    candidate_starting_points_into(evaluator, bounds, p0, counter, candidates);
    sort_candidates(candidates);

    // The best run so far by (success, cost); its parameters in s.best.
    bool have_best = false;
    double best_cost = 0.0;
    bool best_success = false;
    std::uint64_t total = 0;
    s.none_held.assign(std::min(bounds.size(), p0.size()), false);
    for (const Candidate& candidate : candidates) {
        internal_from_physical_into(candidate.params, bounds, s.x0);
        auto run = run_from(evaluator, bounds, s.x0, s.none_held, settings, counter, s.solver, s.problem, s.run);
        if (!run) return std::unexpected(FitError::aborted(run.error()));
        total += run->evaluations;
        const double cost = evaluator.cost(s.run, counter);
        const bool better = !have_best || (run->success && !best_success) ||
                            (run->success == best_success && cost < best_cost);
        if (better) {
            s.best.assign(s.run.begin(), s.run.end());
            best_cost = cost;
            best_success = run->success;
            have_best = true;
        }
        if (is_plausible(s.run, run->success, cost, bounds, p0)) break;
    }
    if (!have_best) {
        return std::unexpected(
            FitError::aborted("candidate_starting_points always returns at least one candidate"));
    }

    std::vector<double>& clamped = s.clamped;
    clamped.assign(s.best.begin(), s.best.end());
    if (!clamp_into_bounds(clamped, bounds)) {
        return std::unexpected(FitError::aborted("parameter bounds must be ordered numbers (lo <= hi)"));
    }
    const std::size_t n = std::min(bounds.size(), clamped.size());
    std::vector<bool>& at_bound = s.at_bound;
    at_bound.assign(n, false);
    bool any_at_bound = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isfinite(bounds[i].hi) && (clamped[i] <= bounds[i].lo || clamped[i] >= bounds[i].hi)) {
            at_bound[i] = true;
            any_at_bound = true;
        }
    }

    // The final parameters: the best run's, or what replaces them below.
    const std::vector<double>* final_params = &s.best;
    bool success = best_success;
    if (any_at_bound) {
        // Refit with the parameters at a bound held there: the others may
        // lower the cost once those are fixed at a feasible value.
        internal_from_physical_into(clamped, bounds, s.x0);
        auto refit = run_from(evaluator, bounds, s.x0, at_bound, settings, counter, s.solver, s.problem, s.refit);
        if (!refit) return std::unexpected(FitError::aborted(refit.error()));
        total += refit->evaluations;
        double refit_cost = evaluator.cost(s.refit, counter);
        const double clamped_cost = refit->start_cost;
        // The clamped vector mixes the held values with the others' values
        // from beyond the box, which may suit them badly: a refit from it can
        // run off to absurd values (a capacitance of 1e37) while lowering
        // the cost. Such a refit is not plausible; the same held refit is
        // then also run from the starting values, and the better of the two
        // is taken.
        if (!is_plausible(s.refit, refit->success, refit_cost, bounds, p0)) {
            std::vector<double>& from_start = s.from_start;
            from_start.assign(p0.begin(), p0.begin() + static_cast<std::ptrdiff_t>(n));
            for (std::size_t i = 0; i < n; ++i) {
                if (at_bound[i]) from_start[i] = clamped[i];
            }
            if (from_start != clamped) {
                internal_from_physical_into(from_start, bounds, s.x0);
                auto second =
                    run_from(evaluator, bounds, s.x0, at_bound, settings, counter, s.solver, s.problem, s.second);
                if (!second) return std::unexpected(FitError::aborted(second.error()));
                total += second->evaluations;
                const double second_cost = evaluator.cost(s.second, counter);
                if (second->success && std::isfinite(second_cost) && (!refit->success || second_cost < refit_cost)) {
                    refit = second;
                    s.refit.swap(s.second);
                    refit_cost = second_cost;
                }
            }
        }
        // The unconstrained best lies outside the bounds, so a refit inside
        // them can rarely beat its cost; what the refit replaces is the
        // clamped vector, so it is kept when it is no worse than that as well
        // as when it beats the best.
        if (refit->success && (refit_cost < best_cost || refit_cost <= clamped_cost)) {
            final_params = &s.refit;
            success = true;
        } else {
            final_params = &clamped;
        }
    }
    // The outcome's own copy of the final vector (the one allocation of the
    // parameters it keeps).
    return build_outcome(model, std::vector<double>(*final_params), success, total, evaluator, counter);
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
