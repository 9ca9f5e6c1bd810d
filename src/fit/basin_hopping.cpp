// Basin hopping: random jumps in internal coordinates, each followed by a
// complete local fit, with Metropolis acceptance of the new local minimum.

#include <cmath>

#include "fit/global_engines.hpp"

namespace velotz {

std::expected<BasinHoppingResult, std::string> basin_hopping_search(
    const LocalFit& local_fit, const CoordinateMap& to_internal, const CoordinateMap& to_physical,
    const std::vector<double>& start, std::uint64_t hops, double step_size, double temperature,
    std::optional<std::uint64_t> seed) {
    const double s = step_size;
    // A jump draws 2s * u - s: it needs s >= 0 and a finite 2s. The temperature
    // is used as given (0 rejects every uphill hop).
    if (!(s >= 0.0) || !std::isfinite(2.0 * s))
        return std::unexpected("basin hopping step size must be finite and >= 0 with a finite double, got " +
                               engine_detail::number_text(s));

    auto rng_or = StdRng::from_optional_seed(seed);
    if (!rng_or) return std::unexpected(rng_or.error());
    StdRng& rng = *rng_or;

    auto first = local_fit(start);
    if (!first) return std::unexpected(std::string(kBasinHoppingLocalFitFailed));
    LocalMinimum current = std::move(*first);
    std::vector<double> best_params = current.params;
    double best_cost = current.cost;
    std::uint64_t total = current.iterations;

    const double width = 2.0 * s;
    for (std::uint64_t hop = 0; hop < hops; ++hop) {
        std::vector<double> x = to_internal(current.params);
        for (double& xi : x) xi = xi + (width * rng.unit52() - s);

        auto found = local_fit(to_physical(x));
        if (!found) return std::unexpected(std::string(kBasinHoppingLocalFitFailed));
        total += found->iterations;

        const double c_new = found->cost;
        if (std::isfinite(c_new) && c_new < best_cost) {
            best_params = found->params;
            best_cost = c_new;
        }

        const double c = current.cost;
        bool accept;
        if (!std::isfinite(c_new)) {
            accept = false;
        } else if (c <= c_new) {
            const double u = rng.unit53();
            // A NaN exponential (0/0 at zero temperature) accepts.
            accept = !(std::exp(-(c_new - c) / temperature) <= u);
        } else {
            accept = true;   // downhill, or the current cost is NaN
        }
        if (accept) current = std::move(*found);
    }

    return BasinHoppingResult{std::move(best_params), best_cost, total};
}

}  // namespace velotz
