#pragma once
// Search engines of the derivative-free fitting methods.
//
// The engines know nothing about circuits: they minimise an abstract cost of a
// point in internal coordinates. The fitting code supplies the cost (one
// residual evaluation per call), does the input checks and the start-up work,
// maps the returned point to physical values and polishes it.
//
// Every engine makes its cost calls on the calling thread, in a fixed order, so
// that a seeded run repeats bit for bit. Errors are returned as message texts.

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "fit/rng.hpp"

namespace velotz {

// Cost of a point in internal coordinates. Never fails; may return NaN or ±inf.
using CostFunction = std::function<double(const std::vector<double>& x)>;

// Makes a new, independent cost function (differential evolution uses one per run).
using CostFactory = std::function<CostFunction()>;

// The best point of a search, in internal coordinates, with its cost and the
// method's iteration measure.
struct SearchResult {
    std::vector<double> x;
    double cost = 0.0;
    std::uint64_t iterations = 0;
};

using SearchOutcome = std::expected<SearchResult, std::string>;

// ------------------------------------------------------------------ Nelder-Mead

// Downhill simplex from x0 (internal coordinates, at least one). Cost calls:
// n + 1 for the initial simplex, then per iteration 1 (reflection) + 1
// (expansion or contraction, when taken) + n (shrink, when taken).
// iterations = completed simplex iterations.
SearchOutcome nelder_mead_search(const CostFunction& cost, const std::vector<double>& x0,
                                 std::uint64_t max_iterations);

// ------------------------------------------------------------------ search box

// Per coordinate (the smaller of the two input lengths): [lo, hi] when hi is
// finite; for an open-bound parameter with value p and l = max(|p|, 1e-6), the
// decades [log10(max(l*1e-4, lo) - lo), log10(l*1e4 - lo)], each difference
// floored at 1e-300.
struct SearchBox {
    std::vector<double> lower;
    std::vector<double> upper;
};

SearchBox pso_search_box(std::span<const std::pair<double, double>> bounds,
                         std::span<const double> values);

// ------------------------------------------------------------------ particle swarm

// Swarm of num_particles over the box; cost calls: num_particles * (1 + generations).
// iterations = completed generations. seed: std::nullopt draws from the OS.
SearchOutcome particle_swarm_search(const CostFunction& cost, const SearchBox& box,
                                    std::size_t num_particles, std::uint64_t generations,
                                    std::optional<std::uint64_t> seed);

// ------------------------------------------------------------------ differential evolution

// Ten self-adaptive DE/rand/1/bin runs in 32-bit floats, population 100, each
// with a fresh cost function from make_cost and a fresh xorshift128 generator.
// Cost calls: 10 * (max(evaluations, 1) + 1). The result is the kept run's best
// point widened to 64 bits, its 64-bit cost and iterations = 10 * max(evaluations, 1).
SearchOutcome differential_evolution_search(const CostFactory& make_cost, const SearchBox& box,
                                            std::uint64_t evaluations);

// Same, with the generator of each run taken from make_generator (for tests).
using GeneratorSource = std::function<std::expected<Xorshift128, std::string>()>;
SearchOutcome differential_evolution_search(const CostFactory& make_cost, const SearchBox& box,
                                            std::uint64_t evaluations,
                                            const GeneratorSource& make_generator);

// ------------------------------------------------------------------ simulated annealing

// Random walk from x0 with the fast schedule T0 / k and logistic acceptance.
// Cost calls: 1 + iterations. iterations = completed iterations.
SearchOutcome simulated_annealing_search(const CostFunction& cost, const std::vector<double>& x0,
                                         std::uint64_t iterations, double initial_temperature,
                                         std::optional<std::uint64_t> seed);

// ------------------------------------------------------------------ basin hopping

// A local minimum found by a complete local fit.
struct LocalMinimum {
    std::vector<double> params;   // physical values
    double cost = 0.0;
    std::uint64_t iterations = 0; // the local fit's iteration measure
};

// A complete local fit from the physical start vector. std::nullopt means the
// fit failed; the caller keeps that failure's error and basin_hopping_search
// stops at once, returning kBasinHoppingLocalFitFailed.
using LocalFit = std::function<std::optional<LocalMinimum>(const std::vector<double>& start)>;

// Physical <-> internal coordinates.
using CoordinateMap = std::function<std::vector<double>(const std::vector<double>&)>;

inline constexpr const char* kBasinHoppingLocalFitFailed = "basin hopping local fit failed";

struct BasinHoppingResult {
    std::vector<double> params;   // best local minimum seen (physical)
    double cost = 0.0;
    std::uint64_t iterations = 0; // sum of all local fits' iterations
};

// One local fit from `start`, then `hops` jumps of half-width step_size in
// internal coordinates, each followed by a local fit and the Metropolis test at
// `temperature`. Local fits: 1 + hops.
std::expected<BasinHoppingResult, std::string> basin_hopping_search(
    const LocalFit& local_fit, const CoordinateMap& to_internal, const CoordinateMap& to_physical,
    const std::vector<double>& start, std::uint64_t hops, double step_size, double temperature,
    std::optional<std::uint64_t> seed);

// ------------------------------------------------------------------ shared helpers

namespace engine_detail {

// A point's cost replaces the best cost when it is lower, or when both are
// infinite with the same sign (so +inf can be a best when nothing is finite).
inline bool improves_best(double cost, double best) {
    return cost < best ||
           (std::isinf(cost) && std::isinf(best) && std::signbit(cost) == std::signbit(best));
}

// Stable insertion sort whose only comparison is `key(a) < key(b)`: an element
// whose key is NaN compares equal to everything and is never moved past.
template <class T, class Key>
void stable_sort_by_less(std::vector<T>& items, Key key) {
    for (std::size_t i = 1; i < items.size(); ++i) {
        std::size_t j = i;
        if (!(key(items[j]) < key(items[j - 1]))) continue;
        T moving = std::move(items[i]);
        const double k = key(moving);
        while (j > 0 && k < key(items[j - 1])) {
            items[j] = std::move(items[j - 1]);
            --j;
        }
        items[j] = std::move(moving);
    }
}

// Shortest round-trip text of a double, for messages.
inline std::string number_text(double value) {
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, res.ptr);
}

}  // namespace engine_detail

}  // namespace velotz
