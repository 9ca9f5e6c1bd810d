// Particle swarm over a box in internal coordinates, and the search box shared
// with differential evolution.

#include <algorithm>
#include <cmath>

#include "fit/global_engines.hpp"

namespace velotz {

namespace {

constexpr double kInertia = 0.7213475204444817;     // 1 / (2 ln 2)
constexpr double kCognitive = 1.1931471805599454;   // 0.5 + ln 2
constexpr double kSocial = 1.1931471805599454;

// A difference below 1e-300 (or NaN) is taken as 1e-300 before the logarithm.
double floored_log10(double d) {
    if (std::isnan(d) || d < 1e-300) d = 1e-300;
    return std::log10(d);
}

struct Particle {
    std::vector<double> position;
    std::vector<double> velocity;
    double cost = 0.0;
    std::vector<double> best_position;
    double best_cost = 0.0;
};

}  // namespace

SearchBox pso_search_box(std::span<const std::pair<double, double>> bounds,
                         std::span<const double> values) {
    const std::size_t n = std::min(bounds.size(), values.size());
    SearchBox box;
    box.lower.resize(n);
    box.upper.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto [lo, hi] = bounds[i];
        if (std::isfinite(hi)) {
            box.lower[i] = lo;
            box.upper[i] = hi;
            continue;
        }
        double l = std::fabs(values[i]);
        if (std::isnan(l) || l < 1e-6) l = 1e-6;
        // The maximum ignores a NaN operand.
        const double scaled_down = l * 1e-4;
        const double floor = std::isnan(lo) ? scaled_down
                             : std::isnan(scaled_down) ? lo
                                                        : std::max(scaled_down, lo);
        box.lower[i] = floored_log10(floor - lo);
        box.upper[i] = floored_log10(l * 1e4 - lo);
    }
    return box;
}

SearchOutcome particle_swarm_search(const CostFunction& cost, const SearchBox& box,
                                    std::size_t num_particles, std::uint64_t generations,
                                    std::optional<std::uint64_t> seed) {
    using engine_detail::number_text;
    const std::size_t n = box.lower.size();
    if (num_particles == 0)
        return std::unexpected(std::string("particle swarm needs at least one particle"));
    if (n == 0 || box.upper.size() != n)
        return std::unexpected(std::string(
            "particle swarm needs a search box with at least one coordinate and equal lower and upper lengths"));
    std::vector<double> delta(n), minus_delta(n);
    for (std::size_t i = 0; i < n; ++i) {
        delta[i] = box.upper[i] - box.lower[i];
        if (!std::isfinite(box.lower[i]) || !std::isfinite(box.upper[i]) || !std::isfinite(delta[i]))
            return std::unexpected("particle swarm search box is not finite at coordinate " +
                                   std::to_string(i) + ": [" + number_text(box.lower[i]) + ", " +
                                   number_text(box.upper[i]) + "]");
        minus_delta[i] = -delta[i];
    }

    auto rng_or = StdRng::from_optional_seed(seed);
    if (!rng_or) return std::unexpected(rng_or.error());
    StdRng& rng = *rng_or;

    // Initialisation: all positions, then all velocities, then all costs.
    std::vector<Particle> swarm(num_particles);
    for (auto& p : swarm) p.position = rand_from_range(box.lower, box.upper, rng);
    for (auto& p : swarm) p.velocity = rand_from_range(minus_delta, delta, rng);
    for (auto& p : swarm) {
        p.cost = cost(p.position);
        p.best_position = p.position;
        p.best_cost = p.cost;
    }
    engine_detail::stable_sort_by_less(swarm, [](const Particle& p) { return p.cost; });

    std::vector<double> swarm_best_position = swarm[0].position;
    double swarm_best_cost = swarm[0].cost;

    std::vector<double> best_x;
    double best_cost = INFINITY;
    bool have_best = false;
    auto track_best = [&] {
        if (engine_detail::improves_best(swarm_best_cost, best_cost)) {
            best_x.assign(swarm_best_position.begin(), swarm_best_position.end());
            best_cost = swarm_best_cost;
            have_best = true;
        }
    };
    track_best();

    const std::vector<double> zeros(n, 0.0);
    std::vector<double> diff(n);
    // The draws and costs of a generation, in arrays reused by every one.
    std::vector<double> own(n), social(n), costs(num_particles);
    std::uint64_t generation = 0;
    while (generation < generations) {
        for (auto& p : swarm) {
            for (std::size_t i = 0; i < n; ++i) diff[i] = p.best_position[i] - p.position[i];
            rand_from_range_into(zeros, diff, rng, own);
            for (std::size_t i = 0; i < n; ++i) diff[i] = swarm_best_position[i] - p.position[i];
            rand_from_range_into(zeros, diff, rng, social);
            for (std::size_t i = 0; i < n; ++i) {
                const double momentum = kInertia * p.velocity[i];
                const double pull1 = kCognitive * own[i];
                const double pull2 = kSocial * social[i];
                p.velocity[i] = momentum + pull1 + pull2;
                // NaN falls to the lower bound: max keeps the bound unless the value is greater.
                double x = p.position[i] + p.velocity[i];
                x = x > box.lower[i] ? x : box.lower[i];
                x = x < box.upper[i] ? x : box.upper[i];
                p.position[i] = x;
            }
        }
        for (std::size_t j = 0; j < num_particles; ++j) costs[j] = cost(swarm[j].position);
        for (std::size_t j = 0; j < num_particles; ++j) {
            Particle& p = swarm[j];
            p.cost = costs[j];
            if (p.cost < p.best_cost) {
                p.best_position.assign(p.position.begin(), p.position.end());
                p.best_cost = p.cost;
                if (p.cost < swarm_best_cost) {
                    swarm_best_position.assign(p.position.begin(), p.position.end());
                    swarm_best_cost = p.cost;
                }
            }
        }
        track_best();
        ++generation;
    }

    if (!have_best) return std::unexpected(std::string("particle swarm found no best position"));
    return SearchResult{std::move(best_x), best_cost, generation};
}

}  // namespace velotz
