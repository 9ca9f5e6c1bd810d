#pragma once
// The default fitting method: Levenberg–Marquardt runs on the weighted
// residuals in internal coordinates, started from nine candidate vectors,
// with a bound-aware refit; and the polishing step after a global search.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <limits>
#include <memory>
#include <vector>

#include "circuit/circuit.hpp"
#include "fit/fit_model.hpp"
#include "fit/lmder.hpp"
#include "fit/outcome.hpp"
#include "fit/residuals.hpp"

namespace velotz {

// What callers pass to every solver run.
struct LmSettings {
    double ftol;
    double xtol;
    double gtol;
    std::size_t patience;  // maximum residual evaluations = max(patience, 1) * (n + 1)
};

// Settings of the polish after a global method and of basin hopping's local fits.
inline constexpr LmSettings kPolishSettings{1e-8, 1e-8, 1e-8, 200};

// The arrays of one LmProblem. The runs of a fit hand them from problem to
// problem (LmProblem(evaluator, arrays, counter), release()), so that a run
// allocates nothing once they have grown.
struct LmProblemArrays {
    std::vector<Bounds> bounds;
    std::vector<double> x;     // the internal coordinates
    std::vector<double> p;     // physical(x), reused
    std::vector<bool> held;
};

// One solver run's least-squares problem: the circuit's weighted residuals at
// physical(x), x holding the model's free parameters. Open-bound parameters move on a log10 scale, so their Jacobian
// columns are scaled by dp/dx = (p - lo) * ln 10; held parameters get zero
// columns and so never move. Residuals and Jacobian count on the shared
// counter (1 and 2n evaluations).
class LmProblem final : public LmProblemBase {
public:
    LmProblem(const FitModel& model, std::vector<double> omegas, const std::vector<Cx>& impedances,
              std::vector<double> weights, std::vector<Bounds> bounds, std::vector<double> x0,
              std::vector<bool> held, EvalCounter& counter);
    // The same problem on an evaluator compiled by the caller (shared by the
    // runs of a fit).
    LmProblem(FitEvaluator& evaluator, std::vector<Bounds> bounds, std::vector<double> x0, std::vector<bool> held,
              EvalCounter& counter);
    // The same problem in arrays handed over by the caller: bounds, x (the
    // start) and held filled in, p any size.
    LmProblem(FitEvaluator& evaluator, LmProblemArrays&& arrays, EvalCounter& counter);
    // Hands the arrays back (the problem is not used afterwards).
    LmProblemArrays release();

    void set_params(const std::vector<double>& x) override {
        x_ = x;
        p_current_ = false;
    }
    std::vector<double> params() const override { return x_; }
    void params_into(std::vector<double>& out) const override { out.assign(x_.begin(), x_.end()); }
    // 0.5·Σr² of the first residual evaluation (the start point), or NaN.
    double start_cost() const { return start_cost_; }
    bool residuals(std::vector<double>& r) override;
    bool jacobian(std::vector<double>& jac_colmajor) override;

private:
    std::unique_ptr<FitEvaluator> own_evaluator_;  // when built from a model and data
    FitEvaluator& evaluator_;
    std::vector<Bounds> bounds_;
    std::vector<double> p_;  // physical(x), reused
    bool p_current_ = false;  // p_ is physical(x_) (no set_params since)
    void update_physical();
    std::vector<double> x_;
    std::vector<bool> held_;
    EvalCounter& counter_;
    double start_cost_ = std::numeric_limits<double>::quiet_NaN();
    bool evaluated_ = false;
};

struct SingleStartResult {
    std::vector<double> params;  // physical(final x); not confined to finite bounds
    bool success = false;        // ZeroResiduals, GradientOrthogonal or Converged
    std::uint64_t evaluations = 0;  // the solver's own residual evaluations
    double start_cost = std::numeric_limits<double>::quiet_NaN();  // 0.5·Σr² at x0 (its first evaluation)
};

// One solver run from the internal coordinates x0. The only error is a
// refused tolerance ("ftol must be >= 0", "xtol must be >= 0", "gtol must be >= 0").
std::expected<SingleStartResult, std::string> levenberg_marquardt_single_start(
    const FitModel& model, const std::vector<double>& omegas, const std::vector<Cx>& impedances,
    const std::vector<double>& weights, const std::vector<Bounds>& bounds, const std::vector<double>& x0,
    const std::vector<bool>& held, const LmSettings& settings, EvalCounter& counter);
// The same run on an evaluator compiled by the caller, in the solver arrays
// of `work` when given (the runs of one fit share them).
std::expected<SingleStartResult, std::string> levenberg_marquardt_single_start(
    FitEvaluator& evaluator, const std::vector<Bounds>& bounds, const std::vector<double>& x0,
    const std::vector<bool>& held, const LmSettings& settings, EvalCounter& counter,
    LmWorkspace* work = nullptr);

// A starting point of the multi-start fit.
struct Candidate {
    double cost;                 // 0.5 * sum(r^2) at params
    std::vector<double> params;  // physical values
};

// candidate_starting_points written into `out` (resized to nine, each
// candidate's vector reused): the same vectors, costs and counts.
void candidate_starting_points_into(FitEvaluator& evaluator, const std::vector<Bounds>& bounds,
                                    const std::vector<double>& p0, EvalCounter& counter,
                                    std::vector<Candidate>& out);

// The nine starting vectors in their fixed order (p0; open-bound parameters
// scaled by 3, 1/3, 8, 1/8; finite-bounded parameters placed at 0.2, 0.4,
// 0.6, 0.8 of their box), each costed with one counted evaluation.
std::vector<Candidate> candidate_starting_points(const FitModel& model, const Measurement& data,
                                                 const std::vector<Bounds>& bounds,
                                                 const std::vector<double>& p0, EvalCounter& counter);
std::vector<Candidate> candidate_starting_points(FitEvaluator& evaluator, const std::vector<Bounds>& bounds,
                                                 const std::vector<double>& p0, EvalCounter& counter);

// IEEE 754 totalOrder "a < b": -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
bool total_order_less(double a, double b);

// Stable sort by cost under totalOrder.
void sort_candidates(std::vector<Candidate>& candidates);

// Whether a run's result is good enough to stop trying further candidates:
// it succeeded, its cost is finite, every finite-bounded parameter keeps a
// distance of more than 1e-6 of its box width from both edges, and every
// open-bound parameter is above 100 * lo and within [1e-6, 1e6) times its
// starting value p0.
bool is_plausible(const std::vector<double>& params, bool success, double cost,
                  const std::vector<Bounds>& bounds, const std::vector<double>& p0);

// The multi-start fit of the model's current free values: candidates costed and
// sorted, one run per candidate until a plausible one, the best by (success,
// cost) clamped into its bounds and, when a finite-bounded parameter sits at
// a bound, refitted with those parameters held (a second time from the
// starting values when the refit from the clamped vector is not plausible;
// the better refit is kept). iterations = the solver evaluations of all runs.
FitResultOr levenberg_marquardt_fit(const FitModel& model, const std::vector<double>& frequencies,
                                    const std::vector<Cx>& impedances, Weighting weighting,
                                    const LmSettings& settings);
// The same fit through an evaluator compiled by the caller for these
// frequencies, impedances and weighting from `model` or a model it serves
// (see FitEvaluator); the polish and basin hopping's local fits share one.
FitResultOr levenberg_marquardt_fit(const FitModel& model, FitEvaluator& evaluator, const LmSettings& settings);

// After a global method: the global best as an outcome of its own (marked
// successful), and a Levenberg–Marquardt polish from it with a fresh counter,
// both through the problem's evaluator; the polish wins when its cost is
// finite and not above the fallback's. The polish's evaluations are added to
// `counter`, whose value becomes the returned impedance_evals.
FitResultOr polish_or_fallback(FitProblem& problem, const std::vector<double>& best, std::uint64_t iterations,
                               EvalCounter& counter);

}  // namespace velotz
