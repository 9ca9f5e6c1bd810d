// The side-by-side sums of qrfac and enorm4 against the one-column-at-a-time
// loops of MINPACK's QRFAC, bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "fit/lmder.hpp"

using namespace velotz;

namespace {

bool same(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (std::isnan(a) && std::isnan(b));
}

// ENORM as in MINPACK, component by component in three scaled sums.
double enorm_reference(std::size_t n, const double* x) {
    double s1 = 0.0, s2 = 0.0, s3 = 0.0, x1max = 0.0, x3max = 0.0;
    const double agiant = minpack::rgiant / static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double xabs = std::fabs(x[i]);
        if (xabs > minpack::rdwarf && xabs < agiant) {
            s2 = s2 + xabs * xabs;
        } else if (!(xabs <= minpack::rdwarf)) {
            if (!(xabs <= x1max)) {
                s1 = 1.0 + s1 * ((x1max / xabs) * (x1max / xabs));
                x1max = xabs;
            } else {
                s1 = s1 + (xabs / x1max) * (xabs / x1max);
            }
        } else if (xabs > x3max) {
            s3 = 1.0 + s3 * ((x3max / xabs) * (x3max / xabs));
            x3max = xabs;
        } else if (xabs != 0.0) {
            s3 = s3 + (xabs / x3max) * (xabs / x3max);
        }
    }
    if (s1 != 0.0) return x1max * std::sqrt(s1 + (s2 / x1max) / x1max);
    if (s2 != 0.0) {
        if (s2 >= x3max) return std::sqrt(s2 * (1.0 + (x3max / s2) * (x3max * s3)));
        return std::sqrt(x3max * ((s2 / x3max) + (x3max * s3)));
    }
    return x3max * std::sqrt(s3);
}

// QRFAC as in MINPACK, each column's dot product summed on its own.
void qrfac_reference(std::size_t m, std::size_t n, double* a, std::size_t lda, std::size_t* ipvt, double* rdiag,
                     double* acnorm, double* wa) {
    auto A = [a, lda](std::size_t i, std::size_t j) -> double& { return a[i + j * lda]; };
    for (std::size_t j = 0; j < n; ++j) {
        acnorm[j] = enorm_reference(m, &A(0, j));
        rdiag[j] = acnorm[j];
        wa[j] = rdiag[j];
        ipvt[j] = j;
    }
    for (std::size_t j = 0; j < std::min(m, n); ++j) {
        std::size_t kmax = j;
        for (std::size_t k = j; k < n; ++k)
            if (rdiag[k] > rdiag[kmax]) kmax = k;
        if (kmax != j) {
            for (std::size_t i = 0; i < m; ++i) std::swap(A(i, j), A(i, kmax));
            rdiag[kmax] = rdiag[j];
            wa[kmax] = wa[j];
            std::swap(ipvt[j], ipvt[kmax]);
        }
        double ajnorm = enorm_reference(m - j, &A(j, j));
        if (ajnorm != 0.0) {
            if (A(j, j) < 0.0) ajnorm = -ajnorm;
            for (std::size_t i = j; i < m; ++i) A(i, j) = A(i, j) / ajnorm;
            A(j, j) = A(j, j) + 1.0;
            for (std::size_t k = j + 1; k < n; ++k) {
                double sum = 0.0;
                for (std::size_t i = j; i < m; ++i) sum = sum + A(i, j) * A(i, k);
                double temp = sum / A(j, j);
                for (std::size_t i = j; i < m; ++i) A(i, k) = A(i, k) - temp * A(i, j);
                if (rdiag[k] == 0.0) continue;
                temp = A(j, k) / rdiag[k];
                rdiag[k] = rdiag[k] * std::sqrt(std::max(0.0, 1.0 - temp * temp));
                const double q = rdiag[k] / wa[k];
                if (0.05 * (q * q) > minpack::epsmch) continue;
                rdiag[k] = enorm_reference(m - j - 1, &A(j + 1, k));
                wa[k] = rdiag[k];
            }
        }
        rdiag[j] = -ajnorm;
    }
}

// Matrix entries at scales far apart, with exact zeros and 1e±160, which
// reach every branch of enorm and of the pivoting.
struct RandomEntries {
    std::mt19937_64 rng;
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> pick{0, 30};
    explicit RandomEntries(std::uint64_t seed) : rng(seed) {}
    void fill(std::vector<double>& a) {
        for (double& v : a) {
            const int roll = pick(rng);
            v = roll == 0 ? 0.0 : roll == 1 ? 1e-160 : roll == 2 ? 1e160 : normal(rng) * std::pow(10.0, pick(rng) % 7 - 3);
        }
    }
};

}  // namespace

TEST(QrBlocks, QrfacEqualsTheColumnByColumnLoopBitForBit) {
    RandomEntries entries(99);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t n = 1 + static_cast<std::size_t>(trial % 11);
        const std::size_t m = n + static_cast<std::size_t>(trial % 7) * 9;
        std::vector<double> a(m * n);
        entries.fill(a);
        if (n > 2 && trial % 4 == 0) std::copy_n(a.begin(), m, a.begin() + static_cast<std::ptrdiff_t>(m));
        std::vector<double> b = a;
        std::vector<std::size_t> ip1(n), ip2(n);
        std::vector<double> rd1(n), rd2(n), an1(n), an2(n), w1(n), w2(n);
        minpack::qrfac(m, n, a.data(), m, true, ip1.data(), rd1.data(), an1.data(), w1.data());
        qrfac_reference(m, n, b.data(), m, ip2.data(), rd2.data(), an2.data(), w2.data());
        ASSERT_EQ(ip1, ip2) << "trial " << trial;
        for (std::size_t i = 0; i < m * n; ++i) ASSERT_TRUE(same(a[i], b[i])) << "trial " << trial << " entry " << i;
        for (std::size_t j = 0; j < n; ++j) {
            ASSERT_TRUE(same(rd1[j], rd2[j])) << "trial " << trial;
            ASSERT_TRUE(same(an1[j], an2[j])) << "trial " << trial;
        }
    }
}

// An extra column carried through qrfac ends as lmder's loop that forms
// q^T fvec after the factorisation leaves it, bit for bit; the factorisation
// itself is unchanged by carrying it.
TEST(QrBlocks, ExtraColumnEqualsQTransposeTimesItBitForBit) {
    RandomEntries entries(17);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t n = 1 + static_cast<std::size_t>(trial % 12);
        const std::size_t m = n + static_cast<std::size_t>(trial % 5) * 13;
        std::vector<double> a(m * (n + 1));
        entries.fill(a);
        // A zero column (a reflection that is skipped) and a duplicated one.
        if (n > 2 && trial % 3 == 0) std::fill_n(a.begin() + static_cast<std::ptrdiff_t>(m), m, 0.0);
        if (n > 3 && trial % 4 == 1) std::copy_n(a.begin(), m, a.begin() + static_cast<std::ptrdiff_t>(2 * m));
        std::vector<double> b(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(m * n));
        std::vector<double> v(a.begin() + static_cast<std::ptrdiff_t>(m * n), a.end());
        std::vector<std::size_t> ip1(n), ip2(n);
        std::vector<double> rd1(n), rd2(n), an1(n), an2(n), w1(n), w2(n);
        minpack::qrfac(m, n, a.data(), m, true, ip1.data(), rd1.data(), an1.data(), w1.data(), 1);
        minpack::qrfac(m, n, b.data(), m, true, ip2.data(), rd2.data(), an2.data(), w2.data());
        // lmder's original loop over the reflections left in b.
        for (std::size_t j = 0; j < n; ++j) {
            if (b[j + j * m] == 0.0) continue;
            double sum = 0.0;
            for (std::size_t i = j; i < m; ++i) sum = sum + b[i + j * m] * v[i];
            const double temp = -sum / b[j + j * m];
            for (std::size_t i = j; i < m; ++i) v[i] = v[i] + b[i + j * m] * temp;
        }
        ASSERT_EQ(ip1, ip2) << "trial " << trial;
        for (std::size_t i = 0; i < m * n; ++i) ASSERT_TRUE(same(a[i], b[i])) << "trial " << trial << " entry " << i;
        for (std::size_t i = 0; i < m; ++i) ASSERT_TRUE(same(a[m * n + i], v[i])) << "trial " << trial << " row " << i;
        for (std::size_t j = 0; j < n; ++j) ASSERT_TRUE(same(rd1[j], rd2[j])) << "trial " << trial;
    }
}

TEST(QrBlocks, EnormEqualsTheScaledLoopBitForBit) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double specials[] = {0.0, -0.0, 1e-160, 1.4916681462400413e-154, 1.4916681462400415e-154, 1e-300,
                               4e-324, 1e154, 1.3407807929942596e+154, 1e300, inf, -inf, std::nan(""), 1.0, -2.5};
    std::mt19937_64 rng(23);
    std::uniform_int_distribution<int> pick(0, 60);
    std::normal_distribution<double> normal;
    for (int trial = 0; trial < 20000; ++trial) {
        const std::size_t len = static_cast<std::size_t>(trial % 23);
        std::vector<double> x(len);
        for (double& v : x) {
            const int roll = pick(rng);
            // Most vectors all intermediate; one in three with special values.
            v = roll < 15 && trial % 3 == 0 ? specials[roll] : normal(rng) * std::pow(10.0, roll % 9 - 4);
        }
        const double got = minpack::enorm(len, x.data());
        const double want = enorm_reference(len, x.data());
        ASSERT_TRUE(same(got, want)) << "trial " << trial << ": " << got << " vs " << want;
    }
}

TEST(QrBlocks, Enorm4EqualsEnormOfEachColumn) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double specials[] = {0.0, -0.0, 1e-160, 1.4916681462400413e-154, 1e-300, 1e154, 1e300, inf, std::nan(""), 1.0, -2.5};
    std::mt19937_64 rng(5);
    std::uniform_int_distribution<int> pick(0, 40);
    std::normal_distribution<double> normal;
    for (int trial = 0; trial < 2000; ++trial) {
        const std::size_t len = static_cast<std::size_t>(trial % 9);
        const std::size_t ld = len + 1;
        std::vector<double> x(4 * ld, 7.0);
        for (std::size_t c = 0; c < 4; ++c) {
            for (std::size_t i = 0; i < len; ++i) {
                const int roll = pick(rng);
                x[c * ld + i] = roll < 11 && trial % 3 == 0 ? specials[roll] : normal(rng);
            }
        }
        double out[4];
        minpack::enorm4(len, x.data(), ld, out);
        for (std::size_t c = 0; c < 4; ++c) {
            ASSERT_TRUE(same(out[c], enorm_reference(len, x.data() + c * ld))) << "trial " << trial << " column " << c;
        }
    }
}
