// Tests of the multi-start fit's internals: candidate vectors and their
// order, the plausibility rule, the solver problem's Jacobian, the outcome's
// statistics and the polish's bookkeeping.

#include "fit/lm_fit.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <vector>

#include "fit/fit.hpp"

namespace velotz {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

NodeList circuit(const char* text, const std::vector<double>& values) {
    auto tree = parse(text);
    EXPECT_TRUE(tree.has_value()) << text;
    return rebuild(*tree, values);
}

// Z of R0-Cpe1 written out: R + 1 / (q (j w)^a).
std::complex<double> r_cpe(double r, double q, double a, double w) {
    return r + 1.0 / (q * std::pow(w, a) * std::polar(1.0, a * std::numbers::pi / 2));
}

TEST(CandidateOrder, TotalOrderPutsSignedNaNsAtTheEndsAndKeepsTies) {
    const double neg_nan = -kNaN;
    ASSERT_TRUE(std::signbit(neg_nan));
    // Costs with a tag in params[0] to follow each candidate.
    std::vector<double> costs = {kNaN, 1.0, neg_nan, kInf, 0.0, -0.0, 1.0, -kInf, -2.0};
    std::vector<Candidate> c;
    for (std::size_t i = 0; i < costs.size(); ++i) c.push_back({costs[i], {double(i)}});
    sort_candidates(c);
    // -NaN < -inf < -2 < -0 < +0 < 1 (first) < 1 (second) < inf < +NaN.
    const std::vector<double> tags = {2, 7, 8, 5, 4, 1, 6, 3, 0};
    for (std::size_t i = 0; i < tags.size(); ++i) EXPECT_EQ(c[i].params[0], tags[i]) << i;

    EXPECT_TRUE(total_order_less(-0.0, 0.0));
    EXPECT_FALSE(total_order_less(0.0, -0.0));
    EXPECT_FALSE(total_order_less(kNaN, kNaN));
    EXPECT_TRUE(total_order_less(kInf, kNaN));
    EXPECT_TRUE(total_order_less(neg_nan, -kInf));
}

TEST(CandidateOrder, NineVectorsInTheirFixedOrderEachCostedOnce) {
    const std::vector<double> p0 = {5.0, 2e-3, 0.7};
    const NodeList tree = circuit("R0-CPE1", p0);
    const std::vector<double> omegas = {0.5, 3.0, 40.0};
    const std::vector<Cx> data = {{8.0, -1.0}, {6.0, -0.5}, {5.5, -0.1}};
    const std::vector<double> weights = {1.0, 1.0, 1.0};
    EvalCounter counter{0};
    auto c = candidate_starting_points(tree, Measurement{omegas, data, weights}, param_bounds(tree), p0, counter);
    EXPECT_EQ(counter.load(), 9u);
    ASSERT_EQ(c.size(), 9u);
    const double third = 0.3333333333333333;
    const std::vector<std::vector<double>> expected = {
        {5.0, 2e-3, 0.7},          {15.0, 6e-3, 0.7},      {5.0 * third, 2e-3 * third, 0.7},
        {40.0, 16e-3, 0.7},        {0.625, 2.5e-4, 0.7},   {5.0, 2e-3, 0.2},
        {5.0, 2e-3, 0.4},          {5.0, 2e-3, 0.6},       {5.0, 2e-3, 0.8}};
    for (std::size_t k = 0; k < 9; ++k) {
        EXPECT_EQ(c[k].params, expected[k]) << "candidate " << k + 1;
        double ss = 0.0;
        for (std::size_t j = 0; j < omegas.size(); ++j) {
            const auto d = r_cpe(expected[k][0], expected[k][1], expected[k][2], omegas[j]) -
                           std::complex<double>(data[j].re, data[j].im);
            ss += std::norm(d);
        }
        EXPECT_NEAR(c[k].cost, 0.5 * ss, 1e-12 * ss) << "candidate " << k + 1;
    }
}

struct PlausibleCase {
    const char* what;
    std::vector<double> params;
    bool success;
    double cost;
    bool plausible;
};

class Plausibility : public testing::TestWithParam<PlausibleCase> {};

TEST_P(Plausibility, Rule) {
    const std::vector<Bounds> bounds = {{0.0, 1.0}, {1e-12, kInf}};
    const std::vector<double> p0 = {0.5, 10.0};
    const PlausibleCase& c = GetParam();
    EXPECT_EQ(is_plausible(c.params, c.success, c.cost, bounds, p0), c.plausible) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Plausibility,
    testing::Values(PlausibleCase{"inside", {0.5, 10.0}, true, 1.0, true},
                    PlausibleCase{"failed run", {0.5, 10.0}, false, 1.0, false},
                    PlausibleCase{"infinite cost", {0.5, 10.0}, true, kInf, false},
                    PlausibleCase{"NaN cost", {0.5, 10.0}, true, kNaN, false},
                    PlausibleCase{"exactly 1e-6 from the lower edge", {1e-6, 10.0}, true, 1.0, false},
                    PlausibleCase{"just beyond 1e-6 from the lower edge", {1.5e-6, 10.0}, true, 1.0, true},
                    PlausibleCase{"within 1e-6 of the upper edge", {1.0 - 5e-7, 10.0}, true, 1.0, false},
                    PlausibleCase{"outside the box but far from its edges", {1.2, 10.0}, true, 1.0, true},
                    PlausibleCase{"NaN finite-bounded value", {kNaN, 10.0}, true, 1.0, false},
                    PlausibleCase{"moved up almost 1e6 times", {0.5, 9.99999e6}, true, 1.0, true},
                    PlausibleCase{"moved up 1e6 times", {0.5, 1e7}, true, 1.0, false},
                    PlausibleCase{"moved down 1e6 times", {0.5, 1e-5}, true, 1.0, true},
                    PlausibleCase{"moved down more than 1e6 times", {0.5, 9.9e-6}, true, 1.0, false},
                    PlausibleCase{"not above 100 lo", {0.5, 1e-10}, true, 1.0, false},
                    PlausibleCase{"NaN open-bound value", {0.5, kNaN}, true, 1.0, false}));

TEST(Plausibility, ZeroOrNaNStartCountsAsTiny) {
    const std::vector<Bounds> bounds = {{1e-12, kInf}};
    // q = p / 1e-300 is far above 1e6 for any sensible p.
    EXPECT_FALSE(is_plausible({1.0}, true, 0.0, bounds, {0.0}));
    EXPECT_FALSE(is_plausible({1.0}, true, 0.0, bounds, {kNaN}));
    // With a tiny lower bound and start, a tiny result still passes.
    EXPECT_TRUE(is_plausible({1e-300}, true, 0.0, {{0.0, kInf}}, {1e-300}));
}

TEST(LmProblemJacobian, OpenBoundColumnsScaledAndHeldColumnsZero) {
    // R0-C1 with unit weights: dr/dR0 is 1 on the real rows and 0 on the
    // imaginary rows; on the log scale it becomes (R0 - lo) ln 10.
    const std::vector<double> p = {25.0, 1e-4};
    const NodeList tree = circuit("R0-C1", p);
    const auto bounds = param_bounds(tree);
    const std::vector<double> omegas = {1.0, 10.0};
    const std::vector<Cx> data = {{1.0, 1.0}, {2.0, 2.0}};
    EvalCounter counter{0};
    LmProblem problem(tree, omegas, data, {1.0, 1.0}, bounds, internal_from_physical(p, bounds), {false, true},
                      counter);
    std::vector<double> r;
    ASSERT_TRUE(problem.residuals(r));
    EXPECT_EQ(counter.load(), 1u);
    std::vector<double> jac(4 * 2, 99.0);
    ASSERT_TRUE(problem.jacobian(jac));
    EXPECT_EQ(counter.load(), 5u);
    const double scale = (25.0 - 1e-12) * std::numbers::ln10;
    for (int j = 0; j < 2; ++j) {
        EXPECT_NEAR(jac[2 * j], scale, 1e-8 * scale);
        EXPECT_EQ(jac[2 * j + 1], 0.0);
    }
    for (int i = 4; i < 8; ++i) EXPECT_EQ(jac[i], 0.0) << i;
}

TEST(LmProblemJacobian, FiniteBoundedColumnIsThePlainDerivative) {
    // d/da of 1 / (q (j w)^a) = -ln(j w) / (q (j w)^a).
    const double q = 2e-3, a = 0.6;
    const NodeList tree = circuit("CPE0", {q, a});
    const auto bounds = param_bounds(tree);
    const std::vector<double> omegas = {0.3, 7.0, 90.0};
    const std::vector<Cx> data = {{0.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}};
    EvalCounter counter{0};
    LmProblem problem(tree, omegas, data, {1.0, 1.0, 1.0}, bounds, internal_from_physical({q, a}, bounds),
                      {false, false}, counter);
    std::vector<double> jac(6 * 2);
    ASSERT_TRUE(problem.jacobian(jac));
    for (std::size_t j = 0; j < omegas.size(); ++j) {
        const std::complex<double> jw(0.0, omegas[j]);
        const std::complex<double> d = -std::log(jw) / (q * std::pow(jw, a));
        EXPECT_NEAR(jac[6 + 2 * j], d.real(), 1e-7 * std::abs(d));
        EXPECT_NEAR(jac[6 + 2 * j + 1], d.imag(), 1e-7 * std::abs(d));
    }
}

TEST(SingleStart, HeldParameterNeverMoves) {
    const NodeList tree = circuit("R0-(R1,C1)", {10.0, 100.0, 1e-5});
    std::vector<double> omegas, weights;
    std::vector<Cx> data;
    for (double w : {1.0, 10.0, 100.0, 1e3, 1e4}) {
        omegas.push_back(w);
        data.push_back(impedance(tree, w));
        weights.push_back(1.0);
    }
    const auto bounds = param_bounds(tree);
    const std::vector<double> x0 = internal_from_physical({30.0, 50.0, 2e-5}, bounds);
    EvalCounter counter{0};
    auto run = levenberg_marquardt_single_start(tree, omegas, data, weights, bounds, x0, {false, true, false},
                                                kPolishSettings, counter);
    ASSERT_TRUE(run.has_value());
    EXPECT_EQ(run->params[1], physical(x0, bounds)[1]);
    EXPECT_NE(run->params[0], physical(x0, bounds)[0]);

    auto refused = levenberg_marquardt_single_start(tree, omegas, data, weights, bounds, x0, {false, false, false},
                                                    LmSettings{1e-8, -0.0, 1e-8, 10}, counter);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), "xtol must be >= 0");
}

TEST(Outcome, StandardErrorsOfAConstantModel) {
    // R0 against data d_j with unit weights: J is 1 on real rows, 0 on
    // imaginary rows, so J^T J = N and stderr = sqrt(chi2 / (2N - 1) / N).
    const NodeList tree = circuit("R0", {4.0});
    const std::vector<double> omegas = {1.0, 2.0, 3.0};
    const std::vector<Cx> data = {{3.0, 0.5}, {5.0, -1.0}, {4.5, 0.0}};
    EvalCounter counter{0};
    FitOutcome o = build_outcome(tree, {4.0}, false, 17, omegas, data, {1.0, 1.0, 1.0}, counter);
    const double chi2 = 1.0 + 0.25 + 1.0 + 1.0 + 0.25 + 0.0;
    EXPECT_DOUBLE_EQ(o.chi_square, chi2);
    EXPECT_EQ(o.chi_square, o.cost * 2.0);
    ASSERT_TRUE(o.std_errors.has_value());
    EXPECT_NEAR((*o.std_errors)[0], std::sqrt(chi2 / 5.0 / 3.0), 1e-9);
    EXPECT_EQ(o.impedance_evals, 3u);  // 1 + 2n
    EXPECT_EQ(o.iterations, 17u);
    EXPECT_FALSE(o.success);
    EXPECT_EQ(o.names, std::vector<std::string>{"R0.r"});
}

TEST(Outcome, NoStandardErrorsWithoutDegreesOfFreedomOrForASingularMatrix) {
    EvalCounter counter{0};
    // One point, two parameters: m - n = 0.
    FitOutcome few = build_outcome(circuit("R0-C1", {1.0, 1e-3}), {1.0, 1e-3}, true, 0, {1.0}, {{1.0, -1.0}},
                                   {1.0}, counter);
    EXPECT_FALSE(few.std_errors.has_value());
    // Two equal resistors in series have identical Jacobian columns.
    FitOutcome singular = build_outcome(circuit("R0-R1", {7.0, 7.0}), {7.0, 7.0}, true, 0, {1.0, 2.0},
                                        {{1.0, 0.0}, {2.0, 0.0}}, {1.0, 1.0}, counter);
    EXPECT_FALSE(singular.std_errors.has_value());
}

TEST(Outcome, ValuesBeyondABoundAreReportedAtTheBound) {
    const double q = 1e-3;
    const NodeList tree = circuit("CPE0", {q, 0.5});
    const std::vector<double> omegas = {2.0, 20.0};
    const std::vector<Cx> data = {{100.0, -300.0}, {20.0, -50.0}};
    EvalCounter counter{0};
    FitOutcome o = build_outcome(tree, {q, 1.7}, true, 0, omegas, data, {1.0, 1.0}, counter);
    EXPECT_EQ(o.params, (std::vector<double>{q, 1.0}));
    EXPECT_EQ(param_values(o.circuit), o.params);
    double ss = 0.0;
    for (std::size_t j = 0; j < 2; ++j) ss += std::norm(1.0 / (q * std::complex<double>(0.0, omegas[j])) -
                                                        std::complex<double>(data[j].re, data[j].im));
    EXPECT_NEAR(o.cost, 0.5 * ss, 1e-12 * ss);
}

TEST(Polish, CountsTheGlobalSearchTheFallbackAndThePolish) {
    // Values whose internal coordinates map back exactly, so the polish's
    // first candidate has zero residuals and its run stops at once.
    const std::vector<double> p = {10.0 + 1e-12, 100.0 + 1e-12, 1e-5 + 1e-12};
    ASSERT_EQ(physical(internal_from_physical(p, param_bounds(circuit("R0-(R1,C1)", p))),
                       param_bounds(circuit("R0-(R1,C1)", p))),
              p);
    const NodeList tree = circuit("R0-(R1,C1)", p);
    std::vector<double> freqs;
    std::vector<Cx> data;
    for (double f : {0.1, 1.0, 10.0, 100.0, 1e3}) {
        freqs.push_back(f);
        data.push_back(impedance(tree, f * kTwoPi));
    }
    EvalCounter counter{100};  // as if a global search had made 100 evaluations
    FitProblem problem(tree, freqs, data, Weighting::Unit);
    auto out = polish_or_fallback(problem, p, 42, counter);
    ASSERT_TRUE(out.has_value());
    // fallback 1 + 2n; polish: 9 candidates, 1 solver evaluation, 1 cost, 1 + 2n.
    EXPECT_EQ(out->impedance_evals, 100u + 7u + 18u);
    EXPECT_EQ(counter.load(), out->impedance_evals);
    EXPECT_EQ(out->iterations, 1u);  // the polish won (equal cost)
    EXPECT_TRUE(out->success);
    EXPECT_EQ(out->cost, 0.0);
}

TEST(Polish, NonFiniteDataKeepTheGlobalResultButNotAsASuccess) {
    const std::vector<double> p = {10.0, 100.0, 1e-5};
    const NodeList tree = circuit("R0-(R1,C1)", p);
    const std::vector<double> freqs = {1.0, 10.0, 100.0};
    const std::vector<Cx> data = {{kNaN, 0.0}, {1.0, -1.0}, {1.0, -0.1}};
    EvalCounter counter{0};
    FitProblem problem(tree, freqs, data, Weighting::Unit);
    auto out = polish_or_fallback(problem, p, 42, counter);
    ASSERT_TRUE(out.has_value());
    // The global result is kept, but a NaN cost is never a usable fit.
    EXPECT_FALSE(out->success);
    EXPECT_EQ(out->iterations, 42u);
    EXPECT_TRUE(std::isnan(out->cost));
    EXPECT_EQ(out->params, p);
    // fallback 7; polish: 9 candidates + 9 runs of 1 evaluation and 1 cost + 7.
    EXPECT_EQ(out->impedance_evals, 7u + 9u + 18u + 7u);
}

TEST(Dispatch, UnknownMethodComesBeforeTheInputChecks) {
    FitRequest request;
    request.method = "Levenberg_Marquardt";
    request.frequencies = {1.0, 2.0};  // mismatched lengths and no circuit
    auto out = fit_dispatch(request);
    ASSERT_FALSE(out.has_value());
    EXPECT_EQ(out.error().kind, FitError::Kind::UnknownMethod);
    for (std::string_view m : kFitMethods) {
        request.method = std::string(m);
        auto checked = fit_dispatch(request);
        ASSERT_FALSE(checked.has_value());
        EXPECT_EQ(checked.error().display(), "frequencies and impedances must have the same length") << m;
    }
}

}  // namespace
}  // namespace velotz
