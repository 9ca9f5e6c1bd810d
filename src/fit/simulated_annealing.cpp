// Simulated annealing: uniform moves of half-width T, logistic (Barker)
// acceptance, fast schedule T = T0 / (k + 1). No early stopping, no reannealing.

#include <cmath>
#include <limits>

#include "fit/global_engines.hpp"

namespace velotz {

SearchOutcome simulated_annealing_search(const CostFunction& cost, const std::vector<double>& x0,
                                         std::uint64_t iterations, double initial_temperature,
                                         std::optional<std::uint64_t> seed) {
    const double t0 = initial_temperature;
    if (t0 <= 0.0)
        return std::unexpected(std::string(
            "Invalid parameter: \"`SimulatedAnnealing`: Initial temperature must be > 0.\""));
    if (!std::isfinite(t0) || !std::isfinite(2.0 * t0))
        return std::unexpected("simulated annealing needs a finite initial temperature whose double is finite, got " +
                               engine_detail::number_text(t0));

    // Moves and acceptance draw from separate generators; with a seed s they are
    // seeded from s and s + 1.
    std::optional<StdRng> neighbour, acceptance;
    if (seed) {
        neighbour = StdRng::seed_from_u64(*seed);
        acceptance = StdRng::seed_from_u64(*seed + 1);
    } else {
        auto a = StdRng::from_os_entropy();
        if (!a) return std::unexpected(a.error());
        auto b = StdRng::from_os_entropy();
        if (!b) return std::unexpected(b.error());
        neighbour = *a;
        acceptance = *b;
    }

    std::vector<double> x = x0;
    double f = cost(x);
    std::vector<double> best_x;
    double best_cost = INFINITY;
    bool have_best = false;
    if (engine_detail::improves_best(f, best_cost)) {
        best_x = x;
        best_cost = f;
        have_best = true;
    }

    double t = t0;
    std::uint64_t k = 0;
    std::uint64_t done = 0;
    std::vector<double> candidate(x.size());
    while (done < iterations) {
        const double width = 2.0 * t;
        for (std::size_t i = 0; i < x.size(); ++i)
            candidate[i] = x[i] + (width * neighbour->unit52() - t);
        const double fc = cost(candidate);

        const double u = acceptance->unit53();   // drawn every iteration
        const bool accepted = fc < f || 1.0 / (1.0 + std::exp((fc - f) / t)) > u;

        ++k;
        t = t0 / static_cast<double>(k + 1);

        if (accepted) {
            x.swap(candidate);
            f = fc;
        }
        if (engine_detail::improves_best(f, best_cost)) {
            best_x = x;
            best_cost = f;
            have_best = true;
        }
        ++done;
    }

    if (!have_best) return std::unexpected(std::string("simulated annealing found no best position"));
    return SearchResult{std::move(best_x), best_cost, done};
}

}  // namespace velotz
