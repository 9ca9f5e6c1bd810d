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

namespace velotz {

enum class Weighting { Modulus, Unit };

// "modulus" or "unit", compared exactly.
std::expected<Weighting, std::string> parse_weighting(std::string_view text);

// One weight per point from the measured impedances: |Z| (at least 1e-30,
// NaN counting as 1e-30) or 1.
std::vector<double> compute_weights(const std::vector<Cx>& impedances, Weighting weighting);

// Residual-vector evaluations of one top-level call.
using EvalCounter = std::atomic<std::uint64_t>;

inline void count_evaluation(EvalCounter& counter, std::uint64_t n = 1) {
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

// Internal coordinates: open-bound parameters (hi not finite) move as
// log10(p - lo); the others as themselves.
std::vector<double> physical(const std::vector<double>& x, const std::vector<Bounds>& bounds);
std::vector<double> internal_from_physical(const std::vector<double>& p, const std::vector<Bounds>& bounds);

inline constexpr double kLn10 = 2.302585092994046;

}  // namespace velotz
