// Search engines on simple costs: minima reached, exact cost-call counts, draw
// order against hand-unrolled references, reproducibility and refusals.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "fit/global_engines.hpp"

using namespace velotz;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double bowl(const std::vector<double>& x) {   // minimum 0 at (1.5, -2, 0.5, ...)
    const double t[3] = {1.5, -2.0, 0.5};
    double s = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) s += (x[i] - t[i % 3]) * (x[i] - t[i % 3]);
    return s;
}

double rosenbrock(const std::vector<double>& x) {   // minimum 0 at (1, 1)
    return (1 - x[0]) * (1 - x[0]) + 100 * (x[1] - x[0] * x[0]) * (x[1] - x[0] * x[0]);
}

// Records every point a cost function is asked for.
struct Recorder {
    explicit Recorder(std::function<double(const std::vector<double>&)> cost) : f(std::move(cost)) {}
    std::function<double(const std::vector<double>&)> f;
    std::vector<std::vector<double>> points;
    int factory_calls = 0;
    CostFunction fn() {
        return [this](const std::vector<double>& x) { points.push_back(x); return f(x); };
    }
    CostFactory factory() {
        return [this] { ++factory_calls; return fn(); };
    }
};

// ------------------------------------------------------------------ Nelder-Mead

TEST(NelderMead, ReachesMinimaOfBowlAndRosenbrock) {
    auto a = nelder_mead_search(bowl, {0.0, 0.0, 0.0}, 2000);
    ASSERT_TRUE(a);
    EXPECT_LT(a->cost, 1e-12);
    auto b = nelder_mead_search(rosenbrock, {-1.2, 1.0}, 2000);
    ASSERT_TRUE(b);
    EXPECT_NEAR(b->x[0], 1.0, 1e-5);
    EXPECT_NEAR(b->x[1], 1.0, 1e-5);
}

TEST(NelderMead, InitialSimplexSteps) {
    Recorder rec([](const std::vector<double>& x) { return -x[3]; });
    auto r = nelder_mead_search(rec.fn(), {0.0, 5e-9, 2e-8, 2.0}, 0);
    ASSERT_TRUE(r);
    ASSERT_EQ(rec.points.size(), 5u);   // n + 1 and no iteration
    EXPECT_EQ(rec.points[1][0], 0.1);
    EXPECT_EQ(rec.points[2][1], 5e-9 + 0.1);
    EXPECT_EQ(rec.points[3][2], 2e-8 + 2e-9);
    EXPECT_EQ(rec.points[4][3], 2.0 + 0.2);
    EXPECT_EQ(r->x, rec.points[4]);
    EXPECT_EQ(r->iterations, 0u);
}

TEST(NelderMead, SingleMovesAndEqualCostStop) {
    auto square = [](const std::vector<double>& x) { return x[0] * x[0]; };
    Recorder expand(square);   // vertices 1, 1.1: reflection 0.9 improves, expansion to 0.8 wins
    auto e = nelder_mead_search(expand.fn(), {1.0}, 1);
    ASSERT_TRUE(e);
    ASSERT_EQ(expand.points.size(), 4u);
    EXPECT_EQ(expand.points[2][0], 1.0 + (1.0 - 1.1));
    EXPECT_EQ(expand.points[3][0], 1.0 + (expand.points[2][0] - 1.0) * 2.0);
    EXPECT_EQ(e->x, expand.points[3]);
    EXPECT_EQ(e->iterations, 1u);

    Recorder inside(square);   // vertices 0, 0.1: reflection -0.1 ties the worst, inside to 0.05
    ASSERT_TRUE(nelder_mead_search(inside.fn(), {0.0}, 1));
    ASSERT_EQ(inside.points.size(), 4u);
    EXPECT_EQ(inside.points[3][0], 0.05);

    Recorder flat([](const std::vector<double>& x) { return (x[0] - 0.05) * (x[0] - 0.05); });
    auto f = nelder_mead_search(flat.fn(), {0.0}, 100);   // both vertices cost 0.0025
    ASSERT_TRUE(f);
    EXPECT_EQ(flat.points.size(), 2u);
    EXPECT_EQ(f->iterations, 0u);
}

TEST(NelderMead, NanCostsEndWithErrors) {
    auto r = nelder_mead_search([](const std::vector<double>& x) { return x[0] >= 1.0 ? x[0] : kNaN; },
                                {1.0}, 10);
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().find("`NelderMead`: Reached unreachable point."), std::string::npos);
    auto none = nelder_mead_search([](const std::vector<double>&) { return kNaN; }, {1.0, 2.0}, 0);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error(), "nelder-mead found no best position");
    auto inf = nelder_mead_search([](const std::vector<double>&) { return kInf; }, {1.0}, 0);
    ASSERT_TRUE(inf);   // +inf ties the initial best cost and still counts as a best
    EXPECT_EQ(inf->cost, kInf);
    EXPECT_FALSE(nelder_mead_search(bowl, {}, 10));
}

// ------------------------------------------------------------------ search box and swarm

TEST(PsoSearchBox, FiniteBoundsPassAndOpenBoundsSpanEightDecades) {
    const std::vector<std::pair<double, double>> bounds = {
        {0.0, kInf}, {0.0, kInf}, {0.0, 1.0}, {1e-12, kInf}, {0.0, kInf}};
    const std::vector<double> values = {100.0, 0.0, 0.3, kNaN};   // one value short
    const SearchBox box = pso_search_box(bounds, values);
    ASSERT_EQ(box.lower.size(), 4u);
    EXPECT_DOUBLE_EQ(box.lower[0], -2.0);
    EXPECT_DOUBLE_EQ(box.upper[0], 6.0);
    EXPECT_DOUBLE_EQ(box.lower[1], -10.0);
    EXPECT_DOUBLE_EQ(box.upper[1], -2.0);
    EXPECT_EQ(box.lower[2], 0.0);
    EXPECT_EQ(box.upper[2], 1.0);
    EXPECT_DOUBLE_EQ(box.lower[3], std::log10(1e-10 - 1e-12));   // l = 1e-6 for NaN
    EXPECT_DOUBLE_EQ(box.upper[3], std::log10(1e-2 - 1e-12));
}

TEST(ParticleSwarm, ReachesMinimaWithExactCallCounts) {
    Recorder rec(bowl);
    auto a = particle_swarm_search(rec.fn(), {{-5, -5, -5}, {5, 5, 5}}, 40, 300, 1);
    ASSERT_TRUE(a);
    EXPECT_EQ(rec.points.size(), 40u * 301u);
    EXPECT_EQ(a->iterations, 300u);
    EXPECT_LT(a->cost, 1e-10);
    auto b = particle_swarm_search(rosenbrock, {{-2, -2}, {2, 2}}, 60, 800, 2);
    ASSERT_TRUE(b);
    EXPECT_NEAR(b->x[0], 1.0, 1e-3);
    EXPECT_NEAR(b->x[1], 1.0, 2e-3);
}

TEST(ParticleSwarm, FollowsTheDrawOrder) {
    // Seed 42 on [-2, 6]: position from the first draw, velocity on [-8, 8] from
    // the second; the pulls toward own and swarm best are zero-width (no draws).
    // The second coordinate has a zero-width box and draws nothing.
    Recorder rec(bowl);
    auto r = particle_swarm_search(rec.fn(), {{-2.0, 1.0}, {6.0, 1.0}}, 1, 1, 42);
    ASSERT_TRUE(r);
    ASSERT_EQ(rec.points.size(), 2u);
    EXPECT_EQ(rec.points[0], (std::vector<double>{2.2124592720221905, 1.0}));
    EXPECT_EQ(rec.points[1], (std::vector<double>{2.705574859607836, 1.0}));
    EXPECT_EQ(r->x, rec.points[0]);   // (2.21 - 1.5)^2 beats (2.71 - 1.5)^2

    Recorder pair(bowl);   // all positions are drawn before any velocity
    ASSERT_TRUE(particle_swarm_search(pair.fn(), {{-2.0}, {6.0}}, 2, 0, 42));
    EXPECT_EQ(pair.points, (std::vector<std::vector<double>>{{2.2124592720221905}, {2.341801679225151}}));
}

TEST(ParticleSwarm, SeededRunsRepeatBitForBit) {
    const SearchBox box{{-3, -3}, {3, 3}};
    auto a = particle_swarm_search(rosenbrock, box, 10, 20, 0);
    auto b = particle_swarm_search(rosenbrock, box, 10, 20, 0);
    auto c = particle_swarm_search(rosenbrock, box, 10, 20, 1);
    auto d = particle_swarm_search(rosenbrock, box, 10, 20, std::nullopt);
    ASSERT_TRUE(a && b && c && d);
    EXPECT_EQ(a->x, b->x);
    EXPECT_EQ(a->cost, b->cost);
    EXPECT_NE(a->x, c->x);
}

TEST(ParticleSwarm, RefusesUnusableSettingsBeforeAnyCost) {
    Recorder rec(bowl);
    EXPECT_FALSE(particle_swarm_search(rec.fn(), {{0.0}, {1.0}}, 0, 5, 1));
    EXPECT_FALSE(particle_swarm_search(rec.fn(), {{}, {}}, 5, 5, 1));
    EXPECT_FALSE(particle_swarm_search(rec.fn(), {{-kInf}, {1.0}}, 5, 5, 1));
    EXPECT_FALSE(particle_swarm_search(rec.fn(), {{0.0}, {kNaN}}, 5, 5, 1));
    EXPECT_FALSE(particle_swarm_search(rec.fn(), {{-1e308}, {1e308}}, 5, 5, 1));   // width overflows
    EXPECT_TRUE(rec.points.empty());
    auto none = particle_swarm_search([](const std::vector<double>&) { return kNaN; }, {{0.0}, {1.0}}, 3, 2, 1);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error(), "particle swarm found no best position");
}

// ------------------------------------------------------------------ differential evolution

class DeCounts : public ::testing::TestWithParam<std::pair<std::uint64_t, std::uint64_t>> {};

TEST_P(DeCounts, TenRunsOfMaxEvaluationsOnePlusReevaluation) {
    const auto [evaluations, per_run] = GetParam();
    Recorder rec(bowl);
    auto r = differential_evolution_search(rec.factory(), {{-5, -5}, {5, 5}}, evaluations);
    ASSERT_TRUE(r);
    EXPECT_EQ(rec.factory_calls, 10);
    EXPECT_EQ(rec.points.size(), 10 * (per_run + 1));
    EXPECT_EQ(r->iterations, 10 * per_run);
}

INSTANTIATE_TEST_SUITE_P(Evaluations, DeCounts,
                         ::testing::Values(std::pair<std::uint64_t, std::uint64_t>{0, 1},
                                           std::pair<std::uint64_t, std::uint64_t>{1, 1},
                                           std::pair<std::uint64_t, std::uint64_t>{50, 50},
                                           std::pair<std::uint64_t, std::uint64_t>{250, 250}));

TEST(DifferentialEvolution, ReachesMinimaInSinglePrecision) {
    Recorder rec(bowl);
    auto a = differential_evolution_search(rec.factory(), {{-5, -5, -5}, {5, 5, 5}}, 5000);
    ASSERT_TRUE(a);
    EXPECT_LT(a->cost, 1e-6);   // 32-bit positions
    EXPECT_EQ(a->cost, bowl(a->x));
    Recorder ros(rosenbrock);
    auto b = differential_evolution_search(ros.factory(), {{-2, -2}, {2, 2}}, 10000);
    ASSERT_TRUE(b);
    EXPECT_NEAR(b->x[0], 1.0, 1e-3);
    EXPECT_NEAR(b->x[1], 1.0, 2e-3);
}

TEST(DifferentialEvolution, SetUpAndBreedingFollowTheDrawOrder) {
    const Xorshift128 start(123456789, 362436069, 521288629, 88675123);
    const float lo[2] = {-1.0f, 0.0f}, hi[2] = {1.0f, 4.0f};
    Recorder rec(bowl);
    auto r = differential_evolution_search(rec.factory(), {{-1.0, 0.0}, {1.0, 4.0}}, 200,
                                           [&] { return std::expected<Xorshift128, std::string>(start); });
    ASSERT_TRUE(r);

    struct Ind { float cr, f, pos[2]; };
    std::vector<Ind> pop(100);
    Xorshift128 g = start;
    for (auto& ind : pop) {
        ind.cr = g.unit_f32();
        ind.f = 0.1f + (1.0f - 0.1f) * g.unit_f32();
        for (int d = 0; d < 2; ++d) ind.pos[d] = lo[d] + (hi[d] - lo[d]) * g.unit_f32();
    }
    for (int i = 0; i < 100; ++i)   // evaluated from index 99 down to 0
        ASSERT_EQ(rec.points[99 - i], (std::vector<double>{pop[i].pos[0], pop[i].pos[1]})) << i;

    // All first-generation individuals enter the best array; the children are
    // bred from it in index order and evaluated from 99 down to 0.
    for (int i = 0; i < 100; ++i) {
        const std::uint32_t a = g.index_below(100);
        std::uint32_t b, c;
        do b = g.index_below(100); while (b == a);
        do c = g.index_below(100); while (c == a || c == b);
        float cr = pop[i].cr, f = pop[i].f;
        if (g.unit_f32() < 0.1f) cr = g.unit_f32();
        if (g.unit_f32() < 0.1f) f = 0.1f + (1.0f - 0.1f) * g.unit_f32();
        const std::uint32_t k = g.index_below(2);
        float child[2];
        for (std::uint32_t d = 0; d < 2; ++d) {
            const bool mutate = d == k || g.unit_f32() < cr;
            child[d] = mutate ? pop[c].pos[d] + f * (pop[a].pos[d] - pop[b].pos[d]) : pop[i].pos[d];
        }
        ASSERT_EQ(rec.points[199 - i], (std::vector<double>{child[0], child[1]})) << i;
    }
    // Every run had the same generator, so all ten tie and the first is kept.
    EXPECT_EQ(r->x, rec.points[200]);
}

TEST(DifferentialEvolution, RefusesBoxesItCannotSample) {
    Recorder rec(bowl);
    auto empty = differential_evolution_search(rec.factory(), {{}, {}}, 10);
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error(), "need at least one element to optimize");
    for (const SearchBox& box : {SearchBox{{1.0}, {1.0}}, SearchBox{{2.0}, {1.0}},
                                 SearchBox{{1.0}, {1.0 + 1e-12}}, SearchBox{{kNaN}, {1.0}}}) {
        auto r = differential_evolution_search(rec.factory(), box, 10);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), "Range::new called with `low >= high`");
    }
    EXPECT_EQ(rec.factory_calls, 0);
    EXPECT_TRUE(rec.points.empty());
}

// ------------------------------------------------------------------ simulated annealing

TEST(SimulatedAnnealing, ReachesMinimumWithExactCallCount) {
    Recorder rec(bowl);
    auto r = simulated_annealing_search(rec.fn(), {4.0, 3.0}, 20000, 10.0, 3);
    ASSERT_TRUE(r);
    EXPECT_EQ(rec.points.size(), 20001u);
    EXPECT_EQ(r->iterations, 20000u);
    EXPECT_LT(r->cost, 1e-8);
    auto again = simulated_annealing_search(bowl, {4.0, 3.0}, 20000, 10.0, 3);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->x, r->x);
}

TEST(SimulatedAnnealing, MovesAndAcceptanceUseSeparateStreams) {
    Recorder rec([](const std::vector<double>& x) { return std::fabs(x[0] - 0.3); });
    auto r = simulated_annealing_search(rec.fn(), {1.0}, 6, 0.5, 11);
    ASSERT_TRUE(r);
    StdRng moves = StdRng::seed_from_u64(11), accept = StdRng::seed_from_u64(12);
    double x = 1.0, f = 0.7, best = 0.7;
    for (int i = 1; i <= 6; ++i) {   // iteration i runs at T0 / i
        const double t = 0.5 / i;
        const double xn = x + (2 * t * moves.unit52() - t);
        ASSERT_EQ(rec.points[i][0], xn) << i;
        const double fn = std::fabs(xn - 0.3);
        const double u = accept.unit53();
        if (fn < f || 1 / (1 + std::exp((fn - f) / t)) > u) x = xn, f = fn;
        best = std::min(best, f);
    }
    EXPECT_EQ(r->cost, best);

    Recorder still(bowl);
    auto zero = simulated_annealing_search(still.fn(), {0.25}, 0, 1.0, 11);
    ASSERT_TRUE(zero);
    EXPECT_EQ(zero->x, (std::vector<double>{0.25}));
    EXPECT_EQ(still.points.size(), 1u);
}

class SaTemperature : public ::testing::TestWithParam<double> {};

TEST_P(SaTemperature, RefusedBeforeAnyCost) {
    Recorder rec(bowl);
    auto r = simulated_annealing_search(rec.fn(), {1.0}, 10, GetParam(), 1);
    ASSERT_FALSE(r);
    if (GetParam() <= 0.0) {
        EXPECT_EQ(r.error(), "Invalid parameter: \"`SimulatedAnnealing`: Initial temperature must be > 0.\"");
    } else {
        EXPECT_NE(r.error().find("finite initial temperature"), std::string::npos);
    }
    EXPECT_TRUE(rec.points.empty());
}

INSTANTIATE_TEST_SUITE_P(Bad, SaTemperature, ::testing::Values(0.0, -1.0, kNaN, kInf, 1e308));

// ------------------------------------------------------------------ basin hopping

const CoordinateMap kIdentity = [](const std::vector<double>& v) { return v; };

TEST(BasinHopping, FindsTheDeeperWell) {
    auto well = [](const std::vector<double>& x) { return (x[0] * x[0] - 1) * (x[0] * x[0] - 1) + 0.3 * x[0]; };
    LocalFit local = [&](const std::vector<double>& start) -> std::optional<LocalMinimum> {
        auto r = nelder_mead_search(well, start, 500);
        return LocalMinimum{r->x, r->cost, r->iterations};
    };
    auto r = basin_hopping_search(local, kIdentity, kIdentity, {1.0}, 20, 1.0, 1.0, 4);
    ASSERT_TRUE(r);
    const double x = r->params[0];
    EXPECT_LT(x, 0.0);
    EXPECT_NEAR(4 * x * (x * x - 1) + 0.3, 0.0, 1e-4);
}

TEST(BasinHopping, MetropolisRuleAndDrawOrder) {
    const std::vector<double> costs = {5.0, 3.0, 3.0, 100.0, kNaN, kInf, 2.0};
    std::vector<double> starts;
    LocalFit scripted = [&](const std::vector<double>& s) -> std::optional<LocalMinimum> {
        starts.push_back(s[0]);
        return LocalMinimum{s, costs[starts.size() - 1], 3};
    };
    auto r = basin_hopping_search(scripted, kIdentity, kIdentity, {0.5}, 6, 0.25, 1.0, 5);
    ASSERT_TRUE(r);
    StdRng g = StdRng::seed_from_u64(5);
    auto jump = [&](double from) { return from + (0.5 * g.unit52() - 0.25); };
    std::vector<double> expected = {0.5};
    expected.push_back(jump(0.5));           // downhill: accepted, no draw
    expected.push_back(jump(expected[1]));   // equal: one draw, accepted
    g.unit53();
    expected.push_back(jump(expected[2]));   // far uphill: one draw, rejected
    g.unit53();
    for (int i = 0; i < 3; ++i) expected.push_back(jump(expected[2]));   // NaN, inf (no draw), downhill
    EXPECT_EQ(starts, expected);
    EXPECT_EQ(r->params, (std::vector<double>{expected[6]}));
    EXPECT_EQ(r->cost, 2.0);
    EXPECT_EQ(r->iterations, 21u);

    // At a huge temperature the uphill hop is accepted (the next jump starts
    // from it), yet the reported minimum is the best one seen.
    starts.clear();
    auto hot = basin_hopping_search(scripted, kIdentity, kIdentity, {0.5}, 4, 0.25, 1e300, 5);
    ASSERT_TRUE(hot);
    StdRng h = StdRng::seed_from_u64(5);
    double e = 0.5;
    for (int hop = 1; hop <= 4; ++hop) {
        e = e + (0.5 * h.unit52() - 0.25);
        if (hop == 2 || hop == 3) h.unit53();
    }
    EXPECT_EQ(starts[4], e);
    EXPECT_EQ(hot->params, (std::vector<double>{starts[1]}));
}

TEST(BasinHopping, RefusalsAndLocalFailure) {
    int calls = 0;
    LocalFit failing = [&](const std::vector<double>& s) -> std::optional<LocalMinimum> {
        if (++calls == 2) return std::nullopt;
        return LocalMinimum{s, 1.0, 1};
    };
    for (double step : {-1.0, kNaN, kInf, 1e308})
        EXPECT_FALSE(basin_hopping_search(failing, kIdentity, kIdentity, {1.0}, 5, step, 1.0, 1));
    EXPECT_EQ(calls, 0);
    auto r = basin_hopping_search(failing, kIdentity, kIdentity, {1.0}, 5, 1.0, 0.0, 1);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), kBasinHoppingLocalFitFailed);
    EXPECT_EQ(calls, 2);
}

}  // namespace
