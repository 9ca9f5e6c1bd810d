// The non-negative least squares solver of the DRT against an exhaustive
// search and the optimality conditions, the RBF integrals against an
// independent quadrature, and the DRT's handling of bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

#include "analysis/analysis.hpp"

using namespace velotz;

namespace {

struct Problem {
    std::size_t n;
    std::vector<double> g, c;
};

// G = A'A, c = A'b for a random m x n A (full column rank when m >= n).
Problem random_problem(std::mt19937& rng, std::size_t m, std::size_t n) {
    std::normal_distribution<double> nd;
    std::vector<double> a(m * n), b(m);
    for (auto& v : a) v = nd(rng);
    for (auto& v : b) v = nd(rng);
    Problem p{n, std::vector<double>(n * n, 0.0), std::vector<double>(n, 0.0)};
    for (std::size_t r = 0; r < m; ++r)
        for (std::size_t i = 0; i < n; ++i) {
            p.c[i] += a[r * n + i] * b[r];
            for (std::size_t j = 0; j < n; ++j) p.g[i * n + j] += a[r * n + i] * a[r * n + j];
        }
    return p;
}

double objective(const Problem& p, const std::vector<double>& x) {
    double f = 0.0;
    for (std::size_t i = 0; i < p.n; ++i) {
        f -= p.c[i] * x[i];
        for (std::size_t j = 0; j < p.n; ++j) f += 0.5 * x[i] * p.g[i * p.n + j] * x[j];
    }
    return f;
}

// Solves G_SS x_S = c_S by Gaussian elimination (no pivoting needed: G is
// positive definite).
std::vector<double> solve_on(const Problem& p, const std::vector<std::size_t>& s) {
    const std::size_t k = s.size();
    std::vector<double> m(k * (k + 1));
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) m[i * (k + 1) + j] = p.g[s[i] * p.n + s[j]];
        m[i * (k + 1) + k] = p.c[s[i]];
    }
    for (std::size_t col = 0; col < k; ++col)
        for (std::size_t r = col + 1; r < k; ++r) {
            const double f = m[r * (k + 1) + col] / m[col * (k + 1) + col];
            for (std::size_t j = col; j <= k; ++j) m[r * (k + 1) + j] -= f * m[col * (k + 1) + j];
        }
    std::vector<double> xs(k);
    for (std::size_t i = k; i-- > 0;) {
        double v = m[i * (k + 1) + k];
        for (std::size_t j = i + 1; j < k; ++j) v -= m[i * (k + 1) + j] * xs[j];
        xs[i] = v / m[i * (k + 1) + i];
    }
    std::vector<double> x(p.n, 0.0);
    for (std::size_t i = 0; i < k; ++i) x[s[i]] = xs[i];
    return x;
}

}  // namespace

TEST(NnlsGram, MatchesExhaustiveSearchOverActiveSets) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t n = 2 + trial % 5;
        const Problem p = random_problem(rng, n + 3, n);
        std::vector<bool> free(n, false);
        if (trial % 3 == 0) free[0] = true;  // one free variable in some trials
        // The best feasible stationary point over every passive set that
        // holds the free variables.
        double best = INFINITY;
        std::vector<double> best_x;
        for (unsigned mask = 0; mask < (1u << n); ++mask) {
            std::vector<std::size_t> s;
            bool ok = true;
            for (std::size_t i = 0; i < n; ++i) {
                if (mask & (1u << i)) s.push_back(i);
                else if (free[i]) ok = false;
            }
            if (!ok) continue;
            const auto x = solve_on(p, s);
            bool feasible = true;
            for (std::size_t i = 0; i < n; ++i)
                if (!free[i] && x[i] < 0.0) feasible = false;
            if (feasible && objective(p, x) < best) {
                best = objective(p, x);
                best_x = x;
            }
        }
        const auto x = nnls_gram(p.g, p.c, n, free);
        ASSERT_TRUE(x.has_value());
        EXPECT_NEAR(objective(p, *x), best, 1e-10 * (1.0 + std::fabs(best))) << "trial " << trial;
        for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR((*x)[i], best_x[i], 1e-8) << "trial " << trial;
    }
}

TEST(NnlsGram, SatisfiesKktConditionsOnLargerProblems) {
    std::mt19937 rng(11);
    for (std::size_t n : {20u, 60u}) {
        const Problem p = random_problem(rng, 2 * n, n);
        std::vector<bool> free(n, false);
        free[n - 1] = true;
        const auto x = nnls_gram(p.g, p.c, n, free);
        ASSERT_TRUE(x.has_value());
        std::size_t zeros = 0;
        for (std::size_t i = 0; i < n; ++i) {
            double grad = -p.c[i];
            for (std::size_t j = 0; j < n; ++j) grad += p.g[i * n + j] * (*x)[j];
            if (free[i] || (*x)[i] > 0.0) {
                EXPECT_NEAR(grad, 0.0, 1e-9) << i;
            } else {
                EXPECT_EQ((*x)[i], 0.0);
                EXPECT_GE(grad, -1e-9) << i;
                ++zeros;
            }
        }
        EXPECT_GT(zeros, 0u);  // the constraints are active somewhere
    }
}

TEST(NnlsGram, StopsWhenAsked) {
    std::mt19937 rng(3);
    const Problem p = random_problem(rng, 30, 15);
    EXPECT_FALSE(nnls_gram(p.g, p.c, 15, std::vector<bool>(15, false), [] { return true; }).has_value());
}

TEST(DrtRbfIntegral, AgreesWithAFineMidpointRule) {
    for (double eps : {0.3, 1.0, 4.0}) {
        for (double u : {-8.0, -1.0, 0.0, 0.7, 5.0}) {
            const Cx got = drt_rbf_integral(u, eps);
            double re = 0.0, im = 0.0;
            const double h = 2e-3;
            for (double x = -30.0 + h / 2; x < 30.0; x += h) {
                const double phi = std::exp(-(eps * x) * (eps * x));
                re += h * phi / (1.0 + std::exp(2.0 * (x + u)));
                im += h * phi * std::exp(x + u) / (1.0 + std::exp(2.0 * (x + u)));
            }
            EXPECT_NEAR(got.re, re, 1e-7 * (1.0 + re)) << eps << " " << u;
            EXPECT_NEAR(got.im, im, 1e-7 * (1.0 + im)) << eps << " " << u;
        }
    }
}

TEST(Drt, RejectsBadInputWithMessages) {
    const std::vector<double> f = {1.0, 10.0, 100.0, 1000.0};
    const std::vector<Cx> z = {{2, -1}, {1.5, -0.8}, {1.1, -0.2}, {1.0, -0.05}};
    DrtOptions o;
    EXPECT_FALSE(drt({1.0, 10.0}, {{1, 0}, {1, 0}}, o).has_value());
    auto nan_z = z;
    nan_z[2].im = NAN;
    auto r = drt(f, nan_z, o);
    ASSERT_FALSE(r.has_value());
    EXPECT_NE(r.error().find("index 2"), std::string::npos);
    EXPECT_FALSE(drt({1.0, 1.0, 1.0, 1.0}, z, o).has_value());
    EXPECT_FALSE(drt({1.0, -10.0, 100.0, 1000.0}, z, o).has_value());
    o.derivative = 3;
    EXPECT_FALSE(drt(f, z, o).has_value());
    o.derivative = 1;
    o.lambda = -1.0;
    EXPECT_FALSE(drt(f, z, o).has_value());
    o.lambda.reset();
    EXPECT_EQ(drt(f, z, o, [] { return true; }).error(), "interrupted");
}

namespace {

// Two ZARCs (1 ms, 10 ms) on 10 ohm at 71 frequencies from 1e5 to 1e-2 Hz,
// with Gaussian noise of `noise` times |Z| and a smooth relative error of
// `drift` (a sine in log f, correlated between neighbours).
std::pair<std::vector<double>, std::vector<Cx>> two_arcs(double noise, double drift, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> nd;
    std::vector<double> f;
    std::vector<Cx> z;
    for (int i = 0; i < 71; ++i) {
        const double fi = std::pow(10.0, 5.0 - 7.0 * i / 70.0);
        const std::complex<double> jw(0.0, 2.0 * std::numbers::pi * fi);
        std::complex<double> zi = 10.0 + 50.0 / (1.0 + std::pow(jw * 1e-3, 0.9)) + 80.0 / (1.0 + std::pow(jw * 1e-2, 0.9));
        zi *= 1.0 + drift * std::sin(2.0 * std::numbers::pi * std::log10(fi) / 2.3);
        const double mod = std::abs(zi);
        f.push_back(fi);
        z.push_back({zi.real() + noise * mod * nd(rng), zi.imag() + noise * mod * nd(rng)});
    }
    return {f, z};
}

}  // namespace

TEST(Drt, CorrelatedResidualCheckLeavesIndependentNoiseAlone) {
    DrtOptions o;
    o.gcv_rho = 2.0;
    o.correlated_residuals = true;
    for (unsigned seed : {1u, 2u, 3u}) {
        const auto [f, z] = two_arcs(1e-3, 0.0, seed);
        const auto r = drt(f, z, o);
        ASSERT_TRUE(r.has_value());
        EXPECT_LT(r->residual_correlation, 2.0 / std::sqrt(142.0));
        EXPECT_EQ(r->lambda, r->lambda_gcv);
    }
}

TEST(Drt, CorrelatedResidualCheckRaisesLambdaWithinItsBound) {
    DrtOptions o;
    o.gcv_rho = 2.0;
    const auto [f, z] = two_arcs(1e-4, 3e-3, 1);
    const auto plain = drt(f, z, o);
    o.correlated_residuals = true;
    const auto raised = drt(f, z, o);
    ASSERT_TRUE(plain.has_value() && raised.has_value());
    EXPECT_EQ(raised->lambda_gcv, plain->lambda);
    EXPECT_GT(raised->residual_correlation, 0.5);
    EXPECT_GT(raised->lambda, 10.0 * plain->lambda);
    EXPECT_LE(raised->lambda, o.correlated_lambda_max * (1.0 + 1e-12));
    o.correlated_lambda_max = 1e-3;
    const auto capped = drt(f, z, o);
    ASSERT_TRUE(capped.has_value());
    EXPECT_LE(capped->lambda, 1e-3 * (1.0 + 1e-12));
    o.correlated_lambda_max = 0.0;
    EXPECT_FALSE(drt(f, z, o).has_value());
}

// A warm start from any point reaches the cold start's solution (the
// problem is strictly convex, so the solution is unique).
class NnlsWarmStart : public ::testing::TestWithParam<int> {};

TEST_P(NnlsWarmStart, ReachesTheColdSolution) {
    std::mt19937 rng(21);
    const std::size_t n = 40;
    const Problem p = random_problem(rng, 2 * n, n);
    std::vector<bool> free(n, false);
    free[0] = true;
    const auto cold = nnls_gram(p.g, p.c, n, free);
    ASSERT_TRUE(cold.has_value());
    std::vector<double> start(n, 0.0);
    switch (GetParam()) {
        case 0: start = *cold; break;                                   // the solution itself
        case 1: break;                                                  // all zero
        case 2: std::fill(start.begin(), start.end(), 1.0); break;      // every variable passive
        case 3: {                                                       // a nearby problem's solution
            Problem q = p;
            for (double& v : q.c) v *= 1.05;
            start = *nnls_gram(q.g, q.c, n, free);
            break;
        }
        case 4:                                                         // infeasible and non-finite entries
            for (std::size_t i = 0; i < n; ++i) start[i] = i % 3 == 0 ? -1.0 : i % 3 == 1 ? NAN : 2.0;
            break;
    }
    const auto warm = nnls_gram(p.g, p.c, n, free, {}, &start);
    ASSERT_TRUE(warm.has_value());
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR((*warm)[i], (*cold)[i], 1e-8) << i;
    EXPECT_NEAR(objective(p, *warm), objective(p, *cold), 1e-10 * (1.0 + std::fabs(objective(p, *cold))));
}

INSTANTIATE_TEST_SUITE_P(Starts, NnlsWarmStart, ::testing::Range(0, 5));
