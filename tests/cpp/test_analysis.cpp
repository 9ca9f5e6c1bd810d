// Internals of the analysis code: the QR least squares, the time-constant
// grid of the Kramers-Kronig test, branch shares and time constants.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "analysis/analysis.hpp"

using namespace velotz;

TEST(LeastSquaresQr, ConsistentOverdeterminedSystemIsSolvedExactly) {
    // A = [[1, 0], [1, 1], [1, 2], [1, 3]] (column-major), x = (2, -0.5).
    std::vector<double> a = {1, 1, 1, 1, 0, 1, 2, 3};
    std::vector<double> b = {2, 1.5, 1, 0.5};
    auto x = least_squares_qr(a, b, 4, 2);
    ASSERT_EQ(x.size(), 2u);
    EXPECT_NEAR(x[0], 2.0, 1e-14);
    EXPECT_NEAR(x[1], -0.5, 1e-14);
}

TEST(LeastSquaresQr, InconsistentSystemGivesTheNormalEquationSolution) {
    // Line through (0, 0), (1, 1), (2, 1), (3, 3): slope 0.9, intercept -0.1
    // from the normal equations [[4, 6], [6, 14]] x = [5, 12].
    std::vector<double> a = {1, 1, 1, 1, 0, 1, 2, 3};
    std::vector<double> b = {0, 1, 1, 3};
    auto x = least_squares_qr(a, b, 4, 2);
    EXPECT_NEAR(x[0], -0.1, 1e-14);
    EXPECT_NEAR(x[1], 0.9, 1e-14);
}

TEST(LeastSquaresQr, ZeroAndDuplicateColumnsGetZero) {
    // Columns: ones, zeros, ones again. The second and third add nothing.
    std::vector<double> a = {1, 1, 1, 0, 0, 0, 1, 1, 1};
    std::vector<double> b = {1, 2, 3};
    auto x = least_squares_qr(a, b, 3, 3);
    EXPECT_NEAR(x[0], 2.0, 1e-14);
    EXPECT_EQ(x[1], 0.0);
    EXPECT_EQ(x[2], 0.0);
}

TEST(KramersKronig, TimeConstantsSpanTheMeasuredRangeLogUniformly) {
    auto one = kk_time_constants(0.1, 1000.0, 1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_DOUBLE_EQ(one[0], 1.0 / (2.0 * std::numbers::pi * 0.1));
    auto ts = kk_time_constants(0.1, 1000.0, 5);
    EXPECT_DOUBLE_EQ(ts.front(), 1.0 / (2.0 * std::numbers::pi * 1000.0));
    EXPECT_DOUBLE_EQ(ts.back(), 1.0 / (2.0 * std::numbers::pi * 0.1));
    for (std::size_t k = 1; k < ts.size(); ++k) EXPECT_NEAR(ts[k] / ts[k - 1], 10.0, 1e-12);
}

TEST(KramersKronig, ExactRcSpectrumOnTheGridIsReproduced) {
    // R0 + one RC element whose time constant is the grid's longest: the
    // test circuit contains the truth, so the residuals vanish.
    std::vector<double> f;
    std::vector<Cx> z;
    const double tau = 1.0 / (2.0 * std::numbers::pi * 0.01);
    for (int i = 0; i <= 40; ++i) {
        const double fi = std::pow(10.0, 4.0 - 0.15 * i);
        f.push_back(fi);
        const double wt = 2.0 * std::numbers::pi * fi * tau;
        z.push_back({5.0 + 50.0 / (1.0 + wt * wt), -50.0 * wt / (1.0 + wt * wt)});
    }
    KkOptions o;
    o.c.reset();
    o.max_m = 1;
    auto r = kramers_kronig(f, z, o);
    ASSERT_TRUE(r.has_value());
    EXPECT_NEAR(r->r_ohm, 5.0, 1e-10);
    EXPECT_NEAR(r->resistances[0], 50.0, 1e-10);
    EXPECT_NEAR(r->inductance, 0.0, 1e-15);
    for (std::size_t i = 0; i < f.size(); ++i) {
        EXPECT_NEAR(r->residuals_real[i], 0.0, 1e-12);
        EXPECT_NEAR(r->residuals_imag[i], 0.0, 1e-12);
    }
}

TEST(Structure, BranchSharesOfSeriesNodesAndParallelBranches) {
    // R0 = 1 in series with R1 = 1e6 || C1 = 1 F, at 1 Hz: the group's
    // impedance is about 1 / (2 pi) and the resistor carries about
    // |Z_group| / R1 of its current.
    auto tree = parse("R0-(R1,C1)");
    ASSERT_TRUE(tree.has_value());
    auto circuit = rebuild(*tree, {1.0, 1e6, 1.0});
    auto shares = branch_shares(circuit, {1.0}, 1e-3);
    ASSERT_EQ(shares.size(), 4u);  // R0, the group, then its two branches
    const Cx zg = impedance(NodeList{circuit[1]}, 2.0 * std::numbers::pi);
    const Cx zt = impedance(circuit, 2.0 * std::numbers::pi);
    const double mg = std::hypot(zg.re, zg.im), mt = std::hypot(zt.re, zt.im);
    EXPECT_FALSE(shares[0].in_parallel);
    EXPECT_EQ(shares[0].first_param, 0u);
    EXPECT_NEAR(shares[0].max_share, 1.0 / mt, 1e-12);
    EXPECT_NEAR(shares[1].max_share, mg / mt, 1e-12);
    EXPECT_TRUE(shares[2].in_parallel);
    EXPECT_EQ(shares[2].first_param, 1u);
    EXPECT_NEAR(shares[2].max_share, mg / 1e6, 1e-15);
    EXPECT_NEAR(shares[3].max_share, mg * 2.0 * std::numbers::pi, 1e-12);
}

TEST(Structure, NegligibleNodesAreNotEnteredAndTimeConstantsAreFound) {
    auto tree = parse("R0-(R1,CPE1)-K2-(R3,C3)");
    ASSERT_TRUE(tree.has_value());
    // (R1, CPE1) with R1 = 1e-9: the whole group is negligible in series.
    auto circuit = rebuild(*tree, {10.0, 1e-9, 1e-3, 0.8, 5.0, 1e-2, 20.0, 1e-4});
    auto shares = branch_shares(circuit, {1.0, 100.0}, 1e-3);
    for (const auto& s : shares) EXPECT_FALSE(s.in_parallel && s.first_param == 1u);
    auto times = time_constants(circuit);
    ASSERT_EQ(times.size(), 3u);
    EXPECT_EQ(times[0].params, (std::vector<std::size_t>{1, 2, 3}));
    EXPECT_DOUBLE_EQ(times[0].tau, std::pow(1e-9 * 1e-3, 1.0 / 0.8));
    EXPECT_EQ(times[1].params, (std::vector<std::size_t>{5}));
    EXPECT_DOUBLE_EQ(times[1].tau, 1e-2);
    EXPECT_EQ(times[2].params, (std::vector<std::size_t>{6, 7}));
    EXPECT_DOUBLE_EQ(times[2].tau, 20.0 * 1e-4);
}

struct RandlesCase {
    const char* text;
    std::vector<double> values;
    std::vector<std::size_t> params;  // of the charge-transfer time constant
    double tau;
};

class RandlesTimeConstant : public ::testing::TestWithParam<RandlesCase> {};

TEST_P(RandlesTimeConstant, IsTheChargeTransferResistanceTimesTheDoubleLayer) {
    const RandlesCase& c = GetParam();
    auto tree = parse(c.text);
    ASSERT_TRUE(tree.has_value());
    auto times = time_constants(rebuild(*tree, c.values));
    bool found = false;
    for (const auto& t : times) {
        if (t.params != c.params) continue;
        found = true;
        EXPECT_NEAR(t.tau, c.tau, 1e-12 * c.tau);
    }
    EXPECT_TRUE(found) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Structure, RandlesTimeConstant,
    ::testing::Values(
        // R0, C1, R1, W1 (one field)
        RandlesCase{"R0-(C1,R1-W1)", {5.0, 1e-5, 40.0, 3.0}, {2, 1}, 40.0 * 1e-5},
        // the branches the other way round: R1 then CPE1 (Q, n)
        RandlesCase{"R0-(R1-W1,CPE1)", {5.0, 40.0, 3.0, 2e-5, 0.8}, {1, 3, 4}, std::pow(40.0 * 2e-5, 1.0 / 0.8)},
        // after an SEI arc: R0, (R1, CPE1), (CPE2, R2-Wo2 (R, tau))
        RandlesCase{"R0-(R1,CPE1)-(CPE2,R2-Wo2)", {5.0, 10.0, 1e-6, 0.9, 3e-4, 0.85, 25.0, 8.0, 20.0}, {6, 4, 5},
                    std::pow(25.0 * 3e-4, 1.0 / 0.85)}));

TEST(Structure, ABranchWithTwoResistorsNamesNoChargeTransferTime) {
    auto tree = parse("(C1,R1-R2)");
    ASSERT_TRUE(tree.has_value());
    EXPECT_TRUE(time_constants(rebuild(*tree, {1e-5, 10.0, 20.0})).empty());
}
