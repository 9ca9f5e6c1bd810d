#pragma once
// Weighted residuals of a circuit against a measured spectrum, their
// central-difference Jacobian, and the internal coordinates in which the
// optimizers move.
#include <atomic>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/circuit.hpp"
#include "util/interrupt.hpp"
#include "circuit/program.hpp"

namespace velotz {

enum class Weighting { Modulus, Unit };

// "modulus" or "unit", compared exactly.
std::expected<Weighting, std::string> parse_weighting(std::string_view text);

// One weight per point from the measured impedances: |Z| (at least 1e-30,
// NaN counting as 1e-30) or 1.
std::vector<double> compute_weights(const std::vector<Cx>& impedances, Weighting weighting);
// The same weights written into `out` (no allocation once it has the capacity).
void compute_weights_into(const std::vector<Cx>& impedances, Weighting weighting, std::vector<double>& out);

// Residual-vector evaluations of one top-level call.
using EvalCounter = std::atomic<std::uint64_t>;

// Counts n residual evaluations. Every evaluation passes here, so this is
// also where long work notices a request to stop (util/interrupt.hpp).
inline void count_evaluation(EvalCounter& counter, std::uint64_t n = 1) {
    interruption_point();
    counter.fetch_add(n, std::memory_order_relaxed);
}

// ω_j = 2π·f_j.
std::vector<double> angular(const std::vector<double>& freqs_hz);

// The data a residual evaluation compares against. Spans are borrowed.
struct Measurement {
    const std::vector<double>& omegas;
    const std::vector<Cx>& impedances;
    const std::vector<double>& weights;
};

// Writes the 2N interleaved residuals [re0, im0, re1, im1, ...] of model
// minus data over weight into `out` (resized to 2N) and counts one
// evaluation. Returns false when `params` is shorter than the circuit needs.
bool residuals_into(const NodeList& circuit, const std::vector<double>& params, const Measurement& data,
                    EvalCounter& counter, std::vector<double>& out);

std::expected<std::vector<double>, std::string> residuals(const NodeList& circuit, const std::vector<double>& params,
                                                          const Measurement& data, EvalCounter& counter);

// 0.5·Σ r², summed in index order from -0.0.
double half_sum_of_squares(const std::vector<double>& r);

// Central-difference derivative of the residuals with respect to each
// physical parameter: one column of 2N entries per parameter, computed on
// the worker pool (2 evaluations per column).
std::expected<std::vector<std::vector<double>>, std::string> jacobian_columns(const NodeList& circuit,
                                                                              const std::vector<double>& params,
                                                                              const Measurement& data,
                                                                              EvalCounter& counter);

// Step of the central difference for a parameter value.
double jacobian_step(double p);

// The weighted residuals of one circuit shape against one measured spectrum,
// compiled once for all the evaluations of a fit: the circuit program, ω and
// √ω of the spectrum, and the arrays every evaluation reuses, so that no
// residual or Jacobian call allocates once the first has run.
//
// This is the one place where a full physical parameter vector enters
// evaluation: every fitting method, the outcome statistics and the Python
// residuals() and jacobian() reach the circuit through residuals() and
// jacobian() here. The values are those of residuals_into and
// jacobian_columns, bit for bit, and so are the evaluation counts.
//
// The program depends only on the tree's shape and kinds, so the model serves
// any rebuild of the same tree. A model is used by one thread at a time
// (its Jacobian fans out over the pool internally).
class ResidualModel {
public:
    ResidualModel(const NodeList& circuit, const Measurement& data);

    std::size_t points() const { return grid_.size(); }
    std::size_t param_count() const { return program_.param_count(); }
    const std::vector<double>& omegas() const { return grid_.omega; }
    const std::vector<Cx>& impedances() const { return impedances_; }
    const std::vector<double>& weights() const { return weights_; }

    // As residuals_into: counts one evaluation, writes 2N residuals into
    // `out`; false when `params` is shorter than the circuit needs (and
    // there are frequencies to evaluate).
    bool residuals(const std::vector<double>& params, EvalCounter& counter, std::vector<double>& out);

    // 0.5·Σr² at params (one counted evaluation), NaN for a short vector.
    // The same bits as half_sum_of_squares of residuals(); it runs the
    // program's fused blocks and keeps no step's array, so a Jacobian at
    // these params evaluates them again.
    double cost(const std::vector<double>& params, EvalCounter& counter);

    // As jacobian_columns, written column-major into `colmajor` (2N rows,
    // params.size() columns; column k at colmajor + k·2N). Counts 2 per
    // column. Columns whose `zero` flag is set are filled with zeros without
    // being computed (they still count). False for a short vector.
    bool jacobian(const std::vector<double>& params, EvalCounter& counter, double* colmajor,
                  const std::vector<bool>* zero = nullptr);

    // The same program against another spectrum, in the arrays already held
    // (no allocation once they have the capacity): ω = 2πf of `frequencies`
    // in hertz, √ω and ln ω as the constructor computes them from
    // angular(frequencies), the impedances and their weights (those of
    // compute_weights). The caller guarantees that the trees to be evaluated
    // have the shape the program was compiled from (same_shape).
    void assign_spectrum(const std::vector<double>& frequencies, const std::vector<Cx>& impedances,
                         Weighting weighting);

private:
    CircuitProgram program_;
    SpectrumGrid grid_;
    std::vector<Cx> impedances_;
    std::vector<double> weights_;
    std::vector<double> weights2_;  // each weight twice, beside re and im
    CircuitProgram::Workspace ws_;
    // Evaluates at params into ws_ unless ws_ already holds the evaluation
    // at the same values (bit for bit), as when a solver asks for the
    // Jacobian at the point whose residuals it has just computed.
    const Cx* evaluate(const std::vector<double>& params);

    std::vector<double> evaluated_;  // the values ws_ was last evaluated at
    bool ws_valid_ = false;
    std::vector<double> base_;  // residuals at the Jacobian's base point
    std::vector<Cx> scratch_;   // per column: the plus and the minus arrays; cost()'s impedances
};

// Internal coordinates: open-bound parameters (hi not finite) move as
// log10(p - lo); the others as themselves.
std::vector<double> physical(const std::vector<double>& x, const std::vector<Bounds>& bounds);
std::vector<double> internal_from_physical(const std::vector<double>& p, const std::vector<Bounds>& bounds);
// physical() into an existing vector (no allocation once it has the size).
void physical_into(const std::vector<double>& x, const std::vector<Bounds>& bounds, std::vector<double>& p);
// internal_from_physical() into an existing vector.
void internal_from_physical_into(const std::vector<double>& p, const std::vector<Bounds>& bounds,
                                 std::vector<double>& x);

inline constexpr double kLn10 = 2.302585092994046;

}  // namespace velotz
