// The one choice of kernel level (util/simd.hpp): use_level clamps to what the
// CPU offers, and the MINPACK and circuit kernels give the same bits at every
// level this CPU runs (the network kernels are compared in test_nn.cpp).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "circuit/kernels.hpp"
#include "fit/lmder.hpp"
#include "util/simd.hpp"

using namespace velotz;

namespace {

bool same(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// Restores the best level when a test ends, whatever it chose.
struct BestLevelAfterwards {
    ~BestLevelAfterwards() { simd::use_level(-1); }
};

// Entries spread over many decades, with zeros and values that take enorm's
// scaled branches.
std::vector<double> entries(std::mt19937_64& rng, std::size_t n) {
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> pick{0, 40};
    std::vector<double> a(n);
    for (double& v : a) {
        const int roll = pick(rng);
        v = roll == 0 ? 0.0 : roll == 1 ? 1e-160 : roll == 2 ? -1e160 : normal(rng) * std::pow(10.0, roll % 9 - 4);
    }
    return a;
}

// qrfac, then lmpar on its factors: every output of both, as bits.
std::vector<double> minpack_outputs(std::size_t m, std::size_t n, std::vector<double> a, const std::vector<double>& b) {
    std::vector<std::size_t> ipvt(n);
    std::vector<double> rdiag(n), acnorm(n), wa(n);
    minpack::qrfac(m, n, a.data(), m, true, ipvt.data(), rdiag.data(), acnorm.data(), wa.data());
    std::vector<double> diag(n), qtb(n), x(n), sdiag(n), wa1(n), wa2(n);
    for (std::size_t j = 0; j < n; ++j) {
        diag[j] = acnorm[j] == 0.0 ? 1.0 : acnorm[j];
        qtb[j] = b[j];
    }
    double par = 0.0;
    minpack::lmpar(n, a.data(), m, ipvt.data(), diag.data(), qtb.data(), 0.1 * minpack::enorm(n, qtb.data()), par,
                   x.data(), sdiag.data(), wa1.data(), wa2.data());
    std::vector<double> out = a;
    for (std::size_t j = 0; j < n; ++j) out.push_back(static_cast<double>(ipvt[j]));
    out.insert(out.end(), rdiag.begin(), rdiag.end());
    out.insert(out.end(), acnorm.begin(), acnorm.end());
    out.insert(out.end(), x.begin(), x.end());
    out.insert(out.end(), sdiag.begin(), sdiag.end());
    out.push_back(par);
    return out;
}

}  // namespace

TEST(SimdLevels, UseLevelClampsToWhatTheCpuOffers) {
    BestLevelAfterwards restore;
    const int best = simd::best_level();
    ASSERT_GE(best, simd::kBaseline);
    ASSERT_LE(best, simd::kAvx512);
    EXPECT_EQ(simd::level(), best);  // the start-up choice
    for (int level : {simd::kBaseline, simd::kAvx2, simd::kAvx512}) {
        const int chosen = simd::use_level(level);
        EXPECT_EQ(chosen, level <= best ? level : best) << "level " << level;
        EXPECT_EQ(simd::level(), chosen);
    }
    EXPECT_EQ(simd::use_level(-1), best);
    EXPECT_EQ(simd::use_level(99), best);
}

TEST(SimdLevels, MinpackGivesTheSameBitsAtEveryLevel) {
    BestLevelAfterwards restore;
    std::mt19937_64 rng(2026);
    for (int trial = 0; trial < 120; ++trial) {
        const std::size_t n = 1 + static_cast<std::size_t>(trial % 9);
        const std::size_t m = n + static_cast<std::size_t>(trial % 5) * 7;
        const std::vector<double> a = entries(rng, m * n);
        const std::vector<double> b = entries(rng, n);
        simd::use_level(simd::kBaseline);
        const std::vector<double> base = minpack_outputs(m, n, a, b);
        for (int level = simd::kAvx2; level <= simd::best_level(); ++level) {
            ASSERT_EQ(simd::use_level(level), level);
            const std::vector<double> other = minpack_outputs(m, n, a, b);
            ASSERT_EQ(other.size(), base.size());
            for (std::size_t i = 0; i < base.size(); ++i) {
                ASSERT_TRUE(same(other[i], base[i]) || (std::isnan(other[i]) && std::isnan(base[i])))
                    << "trial " << trial << " level " << level << " output " << i;
            }
        }
    }
}

TEST(SimdLevels, CircuitKernelsGiveTheSameBitsAtEveryLevel) {
    BestLevelAfterwards restore;
    std::mt19937_64 rng(7);
    const double inf = std::numeric_limits<double>::infinity();
    for (std::size_t n : {1u, 4u, 7u, 64u, 203u}) {
        std::vector<double> re = entries(rng, n), im = entries(rng, n);
        re[0] = n % 2 ? inf : -0.0;  // special values go through the entry-by-entry branch
        std::vector<Cx> z(n);
        std::vector<double> x(n);
        for (std::size_t j = 0; j < n; ++j) {
            z[j] = Cx{re[j], im[j]};
            x[j] = std::fabs(re[j]) + 1e-300 * static_cast<double>(j);
        }
        const auto run = [&] {
            std::vector<Cx> r(n), t(n);
            std::vector<double> hi(n), lo(n), out;
            kernels::recip(r.data(), z.data(), n);
            kernels::tanh_sat(t.data(), z.data(), n);
            kernels::log_dd(hi.data(), lo.data(), x.data(), n);
            for (std::size_t j = 0; j < n; ++j) {
                for (double v : {r[j].re, r[j].im, t[j].re, t[j].im, hi[j], lo[j]}) out.push_back(v);
            }
            return out;
        };
        simd::use_level(simd::kBaseline);
        const std::vector<double> base = run();
        for (int level = simd::kAvx2; level <= simd::best_level(); ++level) {
            ASSERT_EQ(simd::use_level(level), level);
            const std::vector<double> other = run();
            for (std::size_t i = 0; i < base.size(); ++i) {
                ASSERT_TRUE(same(other[i], base[i]) || (std::isnan(other[i]) && std::isnan(base[i])))
                    << "n " << n << " level " << level << " output " << i;
            }
        }
    }
}
