// The automatic Kramers-Kronig test: M chosen by leave-one-out
// cross-validation, the noise estimate, and the points and stretches that
// stand out from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "analysis/analysis.hpp"

using namespace velotz;

namespace {

constexpr double kPi = std::numbers::pi;

std::vector<double> log_frequencies(double lo, double hi, int n) {
    std::vector<double> f(n);
    for (int i = 0; i < n; ++i) f[i] = std::pow(10.0, lo + (hi - lo) * i / (n - 1));
    return f;
}

// The automatic test's time-constant grid: half a decade below 1/omega_max
// up to 1/omega_min.
std::vector<double> grid(const std::vector<double>& f, std::size_t m) {
    const auto [lo_f, hi_f] = std::minmax_element(f.begin(), f.end());
    const double lo = std::log10(1.0 / (2 * kPi * *hi_f)) - 0.5, hi = std::log10(1.0 / (2 * kPi * *lo_f));
    std::vector<double> t(m);
    for (std::size_t k = 0; k < m; ++k) t[k] = std::pow(10.0, m == 1 ? hi : lo + (hi - lo) * k / (m - 1.0));
    return t;
}

// R0 + sum R_k / (1 + j omega tau_k), times (1 + noise (e1 + j e2)).
std::vector<Cx> rc_spectrum(const std::vector<double>& f, double r0, const std::vector<double>& r,
                            const std::vector<double>& taus, double noise, std::mt19937& rng) {
    std::normal_distribution<double> gauss;
    std::vector<Cx> z(f.size());
    for (std::size_t i = 0; i < f.size(); ++i) {
        Cx zi{r0, 0.0};
        for (std::size_t k = 0; k < r.size(); ++k) {
            const double x = 2 * kPi * f[i] * taus[k];
            zi = zi + Cx{r[k] / (1 + x * x), -r[k] * x / (1 + x * x)};
        }
        z[i] = zi * Cx{1.0 + noise * gauss(rng), noise * gauss(rng)};
    }
    return z;
}

// Two depressed arcs (Zarc elements) in series with 20 ohm.
std::vector<Cx> two_arcs(const std::vector<double>& f, double noise, std::mt19937& rng) {
    std::normal_distribution<double> gauss;
    std::vector<Cx> z(f.size());
    for (std::size_t i = 0; i < f.size(); ++i) {
        const double w = 2 * kPi * f[i];
        auto zarc = [&](double r, double tau, double alpha) {
            // r / (1 + (j w tau)^alpha)
            const double mag = std::pow(w * tau, alpha), ph = alpha * kPi / 2;
            const Cx den{1.0 + mag * std::cos(ph), mag * std::sin(ph)};
            const double d = den.re * den.re + den.im * den.im;
            return Cx{r * den.re / d, -r * den.im / d};
        };
        z[i] = (Cx{20.0, 0.0} + zarc(100.0, 1e-3, 0.8) + zarc(200.0, 2.0, 0.95)) *
               Cx{1.0 + noise * gauss(rng), noise * gauss(rng)};
    }
    return z;
}

}  // namespace

TEST(KkAuto, ChoosesTheNumberOfElementsOfAnRcSpectrumOnItsGrid) {
    // Built from M0 elements on the test's own grid with 0.1 % noise: the
    // cross-validation picks M0, or a finer grid that holds the same time
    // constants ((M - 1) a multiple of (M0 - 1)), and the noise estimate is
    // the noise put in.
    const auto f = log_frequencies(-1.0, 4.0, 120);
    for (std::size_t m0 : {3u, 5u, 8u}) {
        int exact = 0;
        for (unsigned seed = 0; seed < 8; ++seed) {
            std::mt19937 rng(seed);
            std::uniform_real_distribution<double> uniform(10.0, 100.0);
            std::vector<double> r(m0);
            for (auto& x : r) x = uniform(rng);
            const auto z = rc_spectrum(f, 5.0, r, grid(f, m0), 1e-3, rng);
            auto res = kramers_kronig_auto(f, z, {});
            ASSERT_TRUE(res.has_value());
            EXPECT_TRUE(res->outliers.empty());
            EXPECT_TRUE(res->systematic.empty());
            // A finer grid holding the same time constants fits as well.
            EXPECT_EQ((res->m - 1) % (m0 - 1), 0u) << "m0 " << m0 << " seed " << seed << " m " << res->m;
            exact += res->m == m0;
            EXPECT_NEAR(res->noise, 1e-3, 0.3e-3) << "m0 " << m0 << " seed " << seed;
        }
        EXPECT_GE(exact, 4) << "m0 " << m0;
    }
}

TEST(KkAuto, ScoresAreTheTrimmedLeaveOneOutErrorsOfRefits) {
    // Each point left out in turn (both parts), the rest refitted, the left
    // out point predicted: the sum of the smallest 90 % of the squared
    // errors is the score of M, here for M = 1, 2, 3.
    const auto f = log_frequencies(-1.0, 4.0, 23);
    std::mt19937 rng(7);
    const auto z = two_arcs(f, 0.01, rng);
    KkAutoOptions o;
    o.max_m = 3;
    o.tolerance = 1.0;  // nothing stands out: one round, its scores kept
    auto res = kramers_kronig_auto(f, z, o);
    ASSERT_TRUE(res.has_value());
    ASSERT_EQ(res->rounds, 1u);
    ASSERT_EQ(res->scores.size(), 3u);
    const std::size_t n = f.size();
    for (std::size_t m = 1; m <= 3; ++m) {
        const auto taus = grid(f, m);
        const std::size_t cols = m + 3;
        // Unknown-by-unknown columns over rows (Re, Im) / |Z| of the point.
        auto row = [&](std::size_t i, bool imag) {
            const double w = 2 * kPi * f[i], mod = std::hypot(z[i].re, z[i].im);
            std::vector<double> a(cols, 0.0);
            a[0] = imag ? 0.0 : 1.0 / mod;
            for (std::size_t k = 0; k < m; ++k) {
                const double x = w * taus[k];
                a[1 + k] = (imag ? -x / (1 + x * x) : 1 / (1 + x * x)) / mod;
            }
            a[1 + m] = imag ? -1.0 / w / mod : 0.0;
            a[2 + m] = imag ? w / mod : 0.0;
            return a;
        };
        std::vector<double> errors;
        for (std::size_t out = 0; out < n; ++out) {
            const std::size_t rows = 2 * (n - 1);
            std::vector<double> a(rows * cols), b(rows);
            std::size_t r = 0;
            for (std::size_t i = 0; i < n; ++i) {
                if (i == out) continue;
                const double mod = std::hypot(z[i].re, z[i].im);
                for (int part = 0; part < 2; ++part, ++r) {
                    const auto ar = row(i, part == 1);
                    for (std::size_t c = 0; c < cols; ++c) a[c * rows + r] = ar[c];
                    b[r] = (part ? z[i].im : z[i].re) / mod;
                }
            }
            const auto x = least_squares_qr(a, b, rows, cols);
            const double mod = std::hypot(z[out].re, z[out].im);
            double e = 0.0;
            for (int part = 0; part < 2; ++part) {
                const auto ar = row(out, part == 1);
                double pred = 0.0;
                for (std::size_t c = 0; c < cols; ++c) pred += ar[c] * x[c];
                const double d = (part ? z[out].im : z[out].re) / mod - pred;
                e += d * d;
            }
            errors.push_back(e);
        }
        std::sort(errors.begin(), errors.end());
        const std::size_t kept = static_cast<std::size_t>(std::nearbyint(0.9 * n));  // 20.7 -> 21
        double score = 0.0;
        for (std::size_t i = 0; i < kept; ++i) score += errors[i];
        EXPECT_NEAR(res->scores[m - 1], score, 1e-9 * score) << "m " << m;
    }
}

TEST(KkAuto, CorruptedPointIsNamedAndTheRestPasses) {
    const auto f = log_frequencies(-2.0, 5.0, 71);
    std::mt19937 rng(3);
    auto z = two_arcs(f, 0.005, rng);
    auto clean = kramers_kronig_auto(f, z, {});
    ASSERT_TRUE(clean.has_value());
    EXPECT_TRUE(clean->outliers.empty());
    EXPECT_TRUE(clean->systematic.empty());
    for (std::size_t bad : {10u, 40u, 65u}) {
        auto spoilt = z;
        spoilt[bad] = spoilt[bad] * Cx{1.08, 0.05};
        auto res = kramers_kronig_auto(f, spoilt, {});
        ASSERT_TRUE(res.has_value());
        EXPECT_EQ(res->outliers, std::vector<std::size_t>{bad});
        EXPECT_TRUE(res->systematic.empty());
        EXPECT_GE(res->rounds, 2u);  // refitted without the point
        // Measured against the fit of the others: the whole corruption shows.
        EXPECT_GT(std::max(std::fabs(res->residuals[bad].re), std::fabs(res->residuals[bad].im)), 0.04);
    }
}

TEST(KkAuto, FitReproducesAnExactSpectrumWithItsSeriesTerms) {
    // R0 + RC elements on the grid + series L and C, no noise: every residual
    // vanishes and the series terms come back.
    const auto f = log_frequencies(-1.0, 5.0, 50);
    std::mt19937 rng(1);
    const auto taus = grid(f, 4);
    auto z = rc_spectrum(f, 3.0, {40.0, 10.0, 60.0, 25.0}, taus, 0.0, rng);
    const double l = 2e-6, c = 0.5;
    for (std::size_t i = 0; i < f.size(); ++i) {
        const double w = 2 * kPi * f[i];
        z[i].im += w * l - 1.0 / (w * c);
    }
    auto res = kramers_kronig_auto(f, z, {});
    ASSERT_TRUE(res.has_value());
    for (const Cx& r : res->residuals) EXPECT_LT(std::hypot(r.re, r.im), 1e-8);
    EXPECT_NEAR(res->inductance, l, 1e-6 * l);
    EXPECT_NEAR(res->inverse_capacitance, 1.0 / c, 1e-6 / c);
    EXPECT_EQ(res->noise, res->noise);  // defined (not NaN) on exact data
    EXPECT_TRUE(res->outliers.empty());
    EXPECT_EQ(res->z_fit.size(), f.size());
}

TEST(KkAuto, NoiseLevelOfPureNoiseAndNothingStandsOut) {
    std::mt19937 rng(11);
    std::normal_distribution<double> gauss;
    for (double sigma : {1e-4, 1e-2}) {
        std::vector<Cx> r(4000);
        for (auto& x : r) x = {sigma * gauss(rng), sigma * gauss(rng)};
        const double noise = kk_noise_level(r);
        EXPECT_NEAR(noise, sigma, 0.05 * sigma);
        const auto so = kk_stand_out(r, noise, 1e-6);
        EXPECT_TRUE(so.outliers.empty());
        EXPECT_EQ(std::count(so.systematic.begin(), so.systematic.end(), true), 0);
    }
    // A smooth deviation hardly changes the neighbours' differences.
    std::vector<Cx> r(2000);
    for (std::size_t i = 0; i < r.size(); ++i) r[i] = {1e-3 * gauss(rng) + 0.05 * std::sin(i * 0.003), 1e-3 * gauss(rng)};
    EXPECT_NEAR(kk_noise_level(r), 1e-3, 0.1e-3);
    EXPECT_EQ(kk_noise_level({}), 0.0);
    EXPECT_EQ(kk_noise_level({{0.3, 0.1}}), 0.0);
}

TEST(KkAuto, StretchesAreMarkedWholeAndALonePointIsAnOutlier) {
    std::mt19937 rng(5);
    std::normal_distribution<double> gauss;
    // Noise of 0.5e-3 tested against a level of 1e-3: a point stands out
    // beyond 5e-3, a mean over 17 points beyond 1.1e-3.
    std::vector<Cx> r(200);
    for (auto& x : r) x = {0.5e-3 * gauss(rng), 0.5e-3 * gauss(rng)};
    for (std::size_t i = 100; i < 130; ++i) r[i].im += 2.5e-3;  // a systematic shift
    r[30].re += 0.02;                                             // one bad point
    const auto so = kk_stand_out(r, 1e-3, 1e-6);
    EXPECT_EQ(so.outliers, std::vector<std::size_t>{30});
    EXPECT_FALSE(so.systematic[30]);
    for (std::size_t i = 102; i < 128; ++i) EXPECT_TRUE(so.systematic[i]) << i;
    for (std::size_t i = 0; i < 80; ++i) EXPECT_FALSE(so.systematic[i]) << i;
    // Below the floor nothing counts.
    const auto quiet = kk_runs_away(r, 1e-3, 4.5, 0.01, {5, 9, 17});
    EXPECT_EQ(std::count(quiet.begin(), quiet.end(), true), 0);
    // One window's mean beyond the limit marks the whole window.
    std::vector<Cx> step(20, Cx{0.0, 0.0});
    step[10] = {1.0, 0.0};
    const auto mask = kk_runs_away(step, 0.01, 1.0, 0.0, {5});
    for (std::size_t i = 0; i < 20; ++i) EXPECT_EQ(mask[i], i >= 6 && i <= 14) << i;
}

TEST(KkAuto, VerdictMapsPositionsBackToTheGivenOrder) {
    // Frequencies given downwards: outlier indices and ranges refer to them.
    auto f = log_frequencies(-1.0, 3.0, 120);
    std::reverse(f.begin(), f.end());
    std::mt19937 rng(2);
    std::normal_distribution<double> gauss;
    std::vector<Cx> r(f.size());
    for (auto& x : r) x = {1e-3 * gauss(rng), 1e-3 * gauss(rng)};
    r[7].im = -0.05;
    for (std::size_t i = 60; i < 80; ++i) r[i].re += 2e-3;  // below a point's limit, not a mean's
    const auto v = kk_verdict(f, r, 1e-3);
    EXPECT_NEAR(v.noise, 1e-3, 0.3e-3);
    EXPECT_EQ(v.outliers, std::vector<std::size_t>{7});
    ASSERT_EQ(v.systematic.size(), 1u);
    // (lowest, highest) frequency, around the shifted points 60..79.
    EXPECT_LE(v.systematic[0].first, f[75]);
    EXPECT_GE(v.systematic[0].first, f[100]);
    EXPECT_GE(v.systematic[0].second, f[65]);
    EXPECT_LE(v.systematic[0].second, f[50]);
}

TEST(KkAuto, NormalQuantile) {
    EXPECT_EQ(normal_quantile(0.5), 0.0);
    EXPECT_NEAR(normal_quantile(0.975), 1.959963984540054, 1e-14);
    EXPECT_NEAR(normal_quantile(0.999), 3.090232306167813, 1e-13);
    EXPECT_NEAR(normal_quantile(1.0 - 1e-7), 5.199337582290661, 1e-9);
    EXPECT_NEAR(normal_quantile(1e-30), -11.464024688443613, 1e-11);
    for (double p : {1e-5, 0.1, 0.3, 0.45})
        EXPECT_NEAR(normal_quantile(p), -normal_quantile(1.0 - p), 1e-9 * std::fabs(normal_quantile(p)));
}

TEST(KkAuto, Refusals) {
    const auto f = log_frequencies(0.0, 3.0, 10);
    std::vector<Cx> z(10, Cx{1.0, -1.0});
    KkAutoOptions o;
    EXPECT_EQ(kramers_kronig_auto({}, {}, o).error(), "frequencies and impedances must not be empty");
    EXPECT_EQ(kramers_kronig_auto(f, std::vector<Cx>(9, Cx{1.0, 0.0}), o).error(),
              "frequencies and impedances must have the same length");
    auto zero = z;
    zero[4] = {0.0, 0.0};
    EXPECT_EQ(kramers_kronig_auto(f, zero, o).error(),
              "every impedance must be finite and nonzero for the Kramers-Kronig test");
    auto bad_f = f;
    bad_f[2] = -1.0;
    EXPECT_EQ(kramers_kronig_auto(bad_f, z, o).error(),
              "every frequency must be positive and finite for the Kramers-Kronig test");
    EXPECT_EQ(kramers_kronig_auto({1.0}, {Cx{1.0, 0.0}}, o).error(), "too few frequencies for the Kramers-Kronig test");
    o.max_m = 0;
    EXPECT_EQ(kramers_kronig_auto(f, z, o).error(), "max_m must be at least 1");
    o.max_m = 5;
    o.tolerance = 0.0;
    EXPECT_EQ(kramers_kronig_auto(f, z, o).error(), "tolerance must be positive");
}

namespace {

// A column-major rows x cols matrix of smooth, independent columns.
std::vector<double> smooth_columns(std::size_t rows, std::size_t cols) {
    std::vector<double> a(rows * cols);
    for (std::size_t k = 0; k < cols; ++k)
        for (std::size_t i = 0; i < rows; ++i) a[k * rows + i] = std::cos(0.37 * (k + 1) * i + 0.2 * k) + 0.1 * k;
    return a;
}

}  // namespace

TEST(KkSolveLoo, DependentColumnsGetTheMinimumNormSplitAndLeaveTheErrorsAlone) {
    // [c0 c1 c2 c1 (+ a trace below the cutoff)] against [c0 c1 c2]: the same
    // column space, so the same fit and leave-one-out errors; the repeated
    // column's weight is shared equally (the minimum-norm solution).
    const std::size_t rows = 30, cols = 3;
    const auto a = smooth_columns(rows, cols);
    std::vector<double> b(rows);
    for (std::size_t i = 0; i < rows; ++i) b[i] = 1.0 + std::sin(0.5 * i) + 0.01 * std::cos(7.0 * i);
    const auto ref = kk_solve_loo(a, b, rows, cols, true);
    for (double trace : {0.0, 1e-15}) {
        auto wide = a;
        for (std::size_t i = 0; i < rows; ++i) wide.push_back(a[rows + i] + trace * std::cos(3.0 * i));
        const auto got = kk_solve_loo(wide, b, rows, cols + 1, true);
        EXPECT_NEAR(got.x[0], ref.x[0], 1e-9 * std::fabs(ref.x[0]));
        EXPECT_NEAR(got.x[1], ref.x[1] / 2, 1e-9 * std::fabs(ref.x[1]));
        EXPECT_NEAR(got.x[3], ref.x[1] / 2, 1e-9 * std::fabs(ref.x[1]));
        EXPECT_NEAR(got.x[2], ref.x[2], 1e-9 * std::fabs(ref.x[2]));
        for (std::size_t i = 0; i < rows / 2; ++i) EXPECT_NEAR(got.loo[i], ref.loo[i], 1e-9 * ref.loo[i]) << i;
    }
    // A zero column gets no weight.
    auto zero = a;
    zero.insert(zero.begin() + rows, rows, 0.0);
    const auto z = kk_solve_loo(zero, b, rows, cols + 1, true);
    EXPECT_EQ(z.x[1], 0.0);
    EXPECT_NEAR(z.x[2], ref.x[1], 1e-12 * std::fabs(ref.x[1]));
    for (std::size_t i = 0; i < rows / 2; ++i) EXPECT_NEAR(z.loo[i], ref.loo[i], 1e-10 * ref.loo[i]);
}
