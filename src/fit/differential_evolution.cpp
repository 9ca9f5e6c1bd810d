// Self-adaptive differential evolution (DE/rand/1/bin with per-individual CR and
// F in the manner of Brest et al.), ten independent runs in 32-bit floats.

#include <algorithm>
#include <cmath>
#include <utility>

#include "fit/global_engines.hpp"

namespace velotz {

namespace {

constexpr std::size_t kPopulation = 100;
constexpr int kRuns = 10;
constexpr float kCrLow = 0.0f, kCrHigh = 1.0f, kCrChange = 0.1f;
constexpr float kFLow = 0.1f, kFHigh = 1.0f, kFChange = 0.1f;

struct Individual {
    std::vector<float> position;
    std::optional<float> cost;
    float cr = 0.0f;
    float f = 0.0f;
};

class Run {
public:
    Run(CostFunction cost, Xorshift128 rng, const std::vector<float>& lower,
        const std::vector<float>& upper)
        : cost_(std::move(cost)), rng_(rng), dim_(lower.size()) {
        current_.assign(kPopulation, Individual{std::vector<float>(dim_, 0.0f), std::nullopt, 0.0f, 0.0f});
        best_ = current_;
        for (auto& ind : current_) {
            ind.cr = rng_.range_f32(kCrLow, kCrHigh);
            ind.f = rng_.range_f32(kFLow, kFHigh);
            for (std::size_t d = 0; d < dim_; ++d) ind.position[d] = rng_.range_f32(lower[d], upper[d]);
        }
    }

    // One cost evaluation; individuals are evaluated from index 99 down to 0,
    // with a new generation bred whenever the countdown runs out.
    void step() {
        if (countdown_ == 0) {
            update_best();
            breed();
            countdown_ = kPopulation;
        }
        --countdown_;
        Individual& ind = current_[countdown_];
        const float c = cost32(ind.position);
        ind.cost = c;
        ++evaluations_;
        if (!best_cost_ || c < *best_cost_) {
            best_cost_ = c;
            best_index_ = countdown_;
        }
    }

    const Individual& result() const {
        const Individual& cur = current_[best_index_];
        const Individual& old = best_[best_index_];
        if (!cur.cost) return old;
        if (!old.cost || *cur.cost < *old.cost) return cur;
        return old;
    }

    double cost64(const std::vector<double>& x) const { return cost_(x); }
    std::uint64_t evaluations() const { return evaluations_; }

private:
    float cost32(const std::vector<float>& position) const {
        wide_.assign(position.begin(), position.end());  // the run's own array, reused
        return static_cast<float>(cost_(wide_));
    }

    // Ties move the newer individual into the best array.
    void update_best() {
        for (std::size_t i = 0; i < kPopulation; ++i) {
            if (!best_[i].cost || (current_[i].cost && *current_[i].cost <= *best_[i].cost))
                std::swap(current_[i], best_[i]);
        }
    }

    void breed() {
        for (std::size_t i = 0; i < kPopulation; ++i) {
            const std::uint32_t a = rng_.index_below(kPopulation);
            std::uint32_t b;
            do b = rng_.index_below(kPopulation); while (b == a);
            std::uint32_t c;
            do c = rng_.index_below(kPopulation); while (c == a || c == b);

            Individual& ind = current_[i];
            ind.cr = rng_.unit_f32() < kCrChange ? rng_.range_f32(kCrLow, kCrHigh) : best_[i].cr;
            ind.f = rng_.unit_f32() < kFChange ? rng_.range_f32(kFLow, kFHigh) : best_[i].f;

            const std::size_t forced = rng_.index_below(static_cast<std::uint32_t>(dim_));
            for (std::size_t d = 0; d < dim_; ++d) {
                const bool mutate = d == forced || rng_.unit_f32() < ind.cr;
                if (mutate) {
                    ind.position[d] =
                        best_[c].position[d] + ind.f * (best_[a].position[d] - best_[b].position[d]);
                } else {
                    ind.position[d] = best_[i].position[d];
                }
            }
            ind.cost.reset();
        }
    }

    CostFunction cost_;
    Xorshift128 rng_;
    std::size_t dim_;
    std::vector<Individual> current_;
    std::vector<Individual> best_;
    std::size_t countdown_ = kPopulation;
    std::size_t best_index_ = 0;
    std::optional<float> best_cost_;
    std::uint64_t evaluations_ = 0;
    mutable std::vector<double> wide_;  // cost32's widened position
};

}  // namespace

SearchOutcome differential_evolution_search(const CostFactory& make_cost, const SearchBox& box,
                                            std::uint64_t evaluations) {
    return differential_evolution_search(make_cost, box, evaluations,
                                         [] { return Xorshift128::from_thread_generator(); });
}

SearchOutcome differential_evolution_search(const CostFactory& make_cost, const SearchBox& box,
                                            std::uint64_t evaluations,
                                            const GeneratorSource& make_generator) {
    const std::size_t dim = std::min(box.lower.size(), box.upper.size());
    if (dim == 0) return std::unexpected(std::string("need at least one element to optimize"));
    std::vector<float> lower(dim), upper(dim);
    for (std::size_t d = 0; d < dim; ++d) {
        lower[d] = static_cast<float>(box.lower[d]);
        upper[d] = static_cast<float>(box.upper[d]);
        if (!(lower[d] < upper[d]))
            return std::unexpected(std::string("Range::new called with `low >= high`"));
    }

    const std::uint64_t steps = std::max<std::uint64_t>(evaluations, 1);
    std::optional<SearchResult> kept;
    std::uint64_t total = 0;
    for (int r = 0; r < kRuns; ++r) {
        CostFunction cost = make_cost();
        auto rng = make_generator();
        if (!rng) return std::unexpected(rng.error());
        Run run(std::move(cost), *rng, lower, upper);
        for (std::uint64_t s = 0; s < steps; ++s) run.step();

        const Individual& chosen = run.result();
        std::vector<double> x(chosen.position.begin(), chosen.position.end());
        const double c = run.cost64(x);
        // Ties keep the earlier run; a NaN on either side lets the later one in.
        if (!(kept && kept->cost <= c)) kept = SearchResult{std::move(x), c, 0};
        total += run.evaluations();
    }

    if (!kept) return std::unexpected(std::string("differential evolution found no best position"));
    kept->iterations = total;
    return std::move(*kept);
}

}  // namespace velotz
