#include "fit/outcome.hpp"

#include <algorithm>
#include <cmath>

#include "fit/linalg.hpp"
#include "fit/uncertainty.hpp"
#include "util/text.hpp"

namespace velotz {

std::string FitError::display() const {
    switch (kind) {
        case Kind::LengthMismatch:
            return "frequencies and impedances must have the same length";
        case Kind::EmptySpectrum:
            return "frequencies and impedances must not be empty";
        case Kind::NoFitParameters:
            return "circuit topology has no parameters to fit";
        case Kind::SolverFailure:
            return "solver error: " + text;
        case Kind::UnknownMethod:
            return "unknown fit method " + quote(text) +
                   ", expected one of \"levenberg_marquardt\", \"particle_swarm\", \"nelder_mead\", "
                   "\"differential_evolution\", \"simulated_annealing\", \"basin_hopping\"";
        case Kind::Aborted:
            return text;
    }
    return text;
}

std::optional<FitError> check_fit_inputs(const NodeList& circuit, std::size_t frequency_count,
                                         std::size_t impedance_count) {
    if (frequency_count != impedance_count) return FitError::length_mismatch();
    if (frequency_count == 0) return FitError::empty_spectrum();
    if (param_count(circuit) == 0) return FitError::no_fit_parameters();
    return std::nullopt;
}

bool clamp_into_bounds(std::vector<double>& params, const std::vector<Bounds>& bounds) {
    const std::size_t n = std::min(params.size(), bounds.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(bounds[i].lo) || std::isnan(bounds[i].hi) || bounds[i].lo > bounds[i].hi) return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (params[i] < bounds[i].lo) {
            params[i] = bounds[i].lo;
        } else if (params[i] > bounds[i].hi) {
            params[i] = bounds[i].hi;
        }
    }
    return true;
}

FitOutcome build_outcome(const FitModel& model, std::vector<double> params, bool success,
                         std::uint64_t iterations, const std::vector<double>& omegas,
                         const std::vector<Cx>& impedances, const std::vector<double>& weights,
                         EvalCounter& counter) {
    FitEvaluator evaluator(model, Measurement{omegas, impedances, weights});
    return build_outcome(model, std::move(params), success, iterations, evaluator, counter);
}

FitOutcome build_outcome(const FitModel& model, std::vector<double> params, bool success,
                         std::uint64_t iterations, FitEvaluator& evaluator, EvalCounter& counter) {
    const std::vector<Bounds>& bounds = model.bounds();
    params.resize(std::min(params.size(), bounds.size()));
    clamp_into_bounds(params, bounds);

    FitOutcome out;
    // The cost as evaluator.cost computes it (one counted evaluation), from
    // residuals kept for the result.
    std::vector<double> r;
    if (evaluator.residuals(params, counter, r)) {
        out.cost = half_sum_of_squares(r);
    } else {
        out.cost = std::nan("");
        std::fill(r.begin(), r.end(), std::nan(""));
    }
    out.chi_square = out.cost * 2.0;
    out.residuals = std::move(r);

    const std::size_t n = params.size();
    const std::size_t m = 2 * evaluator.points();
    // The Jacobian and the matrices from it are scratch of the thread (the
    // outcome keeps only the standard errors and the covariance).
    struct Scratch {
        std::vector<double> jac, normal, inverse, work;
    };
    thread_local Scratch scratch;
    std::vector<double>& jac = scratch.jac;
    jac.assign(m * n, 0.0);
    if (evaluator.jacobian(params, counter, jac.data()) && n > 0) {
        const double dof = static_cast<double>(m) - static_cast<double>(n);
        if (dof > 0.0) {
            normal_matrix_into(jac.data(), m, n, scratch.normal);
            if (invert_normal_matrix_into(scratch.normal, n, scratch.inverse, scratch.work)) {
                const std::vector<double>& inverse = scratch.inverse;
                const double s2 = out.chi_square / dof;
                std::vector<double> se(n);
                for (std::size_t i = 0; i < n; ++i) se[i] = std::sqrt(s2 * inverse[i * n + i]);
                out.std_errors = std::move(se);
                out.covariance = scaled_covariance(inverse, n, s2);
            }
        }
    }

    // After a long spectrum the Jacobian's array is given back rather than
    // kept for the thread's life.
    if (jac.capacity() > (std::size_t{1} << 16)) std::vector<double>().swap(jac);

    if (params.size() >= model.free_count()) {
        out.circuit = model.rebuild(params);
    } else {
        out.circuit = model.circuit();  // unreachable: every caller passes a full vector
    }
    out.names = param_names(out.circuit);
    // The free parameters' names: all of them, as param_names of the model's
    // tree (whose shape and labels the rebuilt circuit has), unless some are
    // fixed.
    if (model.constrained()) {
        out.std_error_names = model.names();
    } else {
        out.std_error_names = out.names;
    }
    if (model.constrained() && params.size() >= model.free_count()) {
        std::vector<double> scratch;
        out.params = model.expand(params, scratch);  // the fixed values in their places
    } else {
        out.params = std::move(params);
    }
    out.mask = model.mask();
    // Whatever the method concluded, a result whose cost or any parameter is
    // not finite is not a usable fit.
    out.success = success && usable_fit(out.cost, out.params);
    out.iterations = iterations;
    out.impedance_evals = counter.load();
    return out;
}

bool usable_fit(double cost, const std::vector<double>& params) {
    return std::isfinite(cost) && std::all_of(params.begin(), params.end(), [](double v) { return std::isfinite(v); });
}

}  // namespace velotz
