#pragma once
// The solver-independent result of every fitting method, the error value of
// every fitting operation, and the statistics computed at the final vector.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include <memory>

#include "circuit/circuit.hpp"
#include "circuit/param_mask.hpp"
#include "fit/fit_model.hpp"
#include "fit/residuals.hpp"

namespace velotz {

struct FitError {
    enum class Kind {
        LengthMismatch,   // "frequencies and impedances must have the same length"
        EmptySpectrum,    // "frequencies and impedances must not be empty"
        NoFitParameters,  // "circuit topology has no parameters to fit"
        SolverFailure,    // "solver error: {text}"
        UnknownMethod,    // "unknown fit method {quoted text}, expected one of ..."
        Aborted,          // a refused setting or a broken invariant: {text} as it stands
    };
    Kind kind;
    // SolverFailure: the optimizer's message; UnknownMethod: the method as
    // given; Aborted: the whole message ("ftol must be >= 0", ...).
    std::string text;

    static FitError length_mismatch() { return {Kind::LengthMismatch, {}}; }
    static FitError empty_spectrum() { return {Kind::EmptySpectrum, {}}; }
    static FitError no_fit_parameters() { return {Kind::NoFitParameters, {}}; }
    static FitError solver_failure(std::string message) { return {Kind::SolverFailure, std::move(message)}; }
    static FitError unknown_method(std::string method) { return {Kind::UnknownMethod, std::move(method)}; }
    static FitError aborted(std::string message) { return {Kind::Aborted, std::move(message)}; }

    // The message shown to the user.
    std::string display() const;
};

struct FitOutcome {
    std::uint64_t iterations = 0;       // the method's own iteration measure
    std::uint64_t impedance_evals = 0;  // residual evaluations of the whole call
    double cost = 0.0;                  // 0.5 * sum(r^2) at params
    double chi_square = 0.0;            // sum(r^2) at params, exactly cost * 2
    // Standard error per free parameter; absent when there are no more
    // residuals than free parameters or J^T J is singular. (Named so because
    // `stderr` is a macro of <cstdio>.)
    std::optional<std::vector<double>> std_errors;
    std::vector<std::string> std_error_names;  // the free parameters' names, one per std_errors entry
    // Covariance of the free parameters (row-major, one row and column per
    // std_errors entry; fit/uncertainty.hpp), present exactly when std_errors
    // is: its diagonal holds the squares of the standard errors.
    std::optional<std::vector<double>> covariance;
    // The 2N weighted residuals at params, interleaved [re0, im0, re1, im1,
    // ...] as residuals_into writes them. Every fit records them; a result
    // read from a state written before they were kept has none.
    std::optional<std::vector<double>> residuals;
    NodeList circuit;                   // the circuit rebuilt with params
    std::vector<std::string> names;     // param_names(circuit)
    std::vector<double> params;         // final values, clamped into their bounds
    bool success = false;
    std::shared_ptr<const ParamMask> mask;  // the fitted circuit's constraints (null: none)
};

using FitResultOr = std::expected<FitOutcome, FitError>;

// Whether a fit that ended at `cost` with `params` can be reported as a
// success: the cost and every parameter are finite.
bool usable_fit(double cost, const std::vector<double>& params);

// The three checks every fitting method makes before any work, in this
// order: equal lengths, a non-empty spectrum, at least one parameter.
std::optional<FitError> check_fit_inputs(const NodeList& circuit, std::size_t frequency_count,
                                         std::size_t impedance_count);

// p_i := lo_i when p_i < lo_i, hi_i when p_i > hi_i (NaN stays NaN), for i
// below the common length. Returns false, leaving `params` untouched, when a
// bound pair is NaN or has lo > hi (the element table never produces one).
bool clamp_into_bounds(std::vector<double>& params, const std::vector<Bounds>& bounds);

// The outcome at `params` (the model's free values, clamped here into its
// bounds): residuals (one counted evaluation), cost and chi-square, the
// Jacobian over the free parameters (2n counted evaluations) and their
// standard errors from (J^T J)^-1 scaled by chi_square / (m - n), with the
// covariance that inverse gives and the residuals themselves; the circuit
// rebuilt with the clamped values and the fixed ones, whose full vector and
// names the outcome reports; the counter read last. `iterations` and
// `success` are passed through.
FitOutcome build_outcome(const FitModel& model, std::vector<double> params, bool success,
                         std::uint64_t iterations, const std::vector<double>& omegas,
                         const std::vector<Cx>& impedances, const std::vector<double>& weights,
                         EvalCounter& counter);
// The same through an evaluator of the model compiled by the caller for its
// spectrum and weights (shared with the fit that produced `params`).
FitOutcome build_outcome(const FitModel& model, std::vector<double> params, bool success,
                         std::uint64_t iterations, FitEvaluator& evaluator, EvalCounter& counter);

}  // namespace velotz
