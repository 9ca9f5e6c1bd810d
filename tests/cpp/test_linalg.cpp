// Tests of the normal matrix and its inverse.

#include "fit/linalg.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace velotz {
namespace {

using Matrix = std::vector<double>;

// Binomial coefficient, exact for the small arguments used here.
double binom(int n, int k) {
    double r = 1;
    for (int i = 1; i <= k; ++i) r = r * (n - k + i) / i;
    return r;
}

// The Hilbert matrix H_ij = 1 / (i + j - 1) and its inverse, which has
// integer entries given in closed form (1-based i, j):
// (-1)^(i+j) (i+j-1) C(n+i-1, n-j) C(n+j-1, n-i) C(i+j-2, i-1)^2.
Matrix hilbert(int n) {
    Matrix h(static_cast<std::size_t>(n * n));
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) h[static_cast<std::size_t>((i - 1) * n + j - 1)] = 1.0 / (i + j - 1);
    return h;
}
Matrix hilbert_inverse(int n) {
    Matrix h(static_cast<std::size_t>(n * n));
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) {
            const double c = binom(i + j - 2, i - 1);
            h[static_cast<std::size_t>((i - 1) * n + j - 1)] =
                ((i + j) % 2 ? -1.0 : 1.0) * (i + j - 1) * binom(n + i - 1, n - j) * binom(n + j - 1, n - i) * c * c;
        }
    return h;
}

// A deterministic, well-conditioned test matrix (non-symmetric, so that a
// transposition error would show).
Matrix test_matrix(int n) {
    Matrix a(static_cast<std::size_t>(n * n));
    std::uint64_t s = 0x9E3779B97F4A7C15ull;
    for (auto& v : a) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        v = static_cast<double>(s >> 11) / 9007199254740992.0 - 0.5;
    }
    for (int i = 0; i < n; ++i) a[static_cast<std::size_t>(i * n + i)] += n;  // diagonally dominant
    // Move the largest entry of each column off the diagonal for the LU path:
    // swap the first two rows so pivoting has to happen.
    for (int c = 0; c < n && n > 1; ++c) std::swap(a[static_cast<std::size_t>(c)], a[static_cast<std::size_t>(n + c)]);
    return a;
}

double max_identity_error(const Matrix& a, const Matrix& inv, int n) {
    double err = 0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            double s = 0;
            for (int k = 0; k < n; ++k) s += a[static_cast<std::size_t>(i * n + k)] * inv[static_cast<std::size_t>(k * n + j)];
            err = std::max(err, std::fabs(s - (i == j ? 1.0 : 0.0)));
        }
    return err;
}

class InverseBySize : public ::testing::TestWithParam<int> {};

TEST_P(InverseBySize, ProductWithMatrixIsIdentity) {
    const int n = GetParam();
    const Matrix a = test_matrix(n);
    const auto inv = invert_normal_matrix(a, static_cast<std::size_t>(n));
    ASSERT_TRUE(inv.has_value());
    ASSERT_EQ(inv->size(), a.size());
    EXPECT_LT(max_identity_error(a, *inv, n), 1e-14);
}

TEST_P(InverseBySize, HilbertInverseMatchesClosedForm) {
    const int n = GetParam();
    const auto inv = invert_normal_matrix(hilbert(n), static_cast<std::size_t>(n));
    ASSERT_TRUE(inv.has_value());
    const Matrix expected = hilbert_inverse(n);
    // cond(H_7) is about 5e8; allow a relative error of cond * 1e-15.
    for (std::size_t k = 0; k < expected.size(); ++k)
        EXPECT_NEAR((*inv)[k], expected[k], 1e-6 * std::fabs(expected[k])) << "n=" << n << " entry " << k;
}

// A Jacobian column that is zero (a parameter without influence) makes the
// normal matrix singular: its row and column are exact zeros, whatever the
// size and wherever the column sits.
TEST_P(InverseBySize, ZeroJacobianColumnGivesNoInverse) {
    const int n = GetParam();
    const std::size_t m = static_cast<std::size_t>(n) + 3;
    for (int zero_col = 0; zero_col < n; ++zero_col) {
        Matrix jac(m * static_cast<std::size_t>(n));
        for (std::size_t k = 0; k < jac.size(); ++k) jac[k] = std::sin(1.0 + 0.7 * static_cast<double>(k));
        for (std::size_t i = 0; i < m; ++i) jac[static_cast<std::size_t>(zero_col) * m + i] = 0.0;
        EXPECT_FALSE(invert_normal_matrix(normal_matrix(jac, m, static_cast<std::size_t>(n)),
                                          static_cast<std::size_t>(n))
                         .has_value())
            << "n=" << n << " zero column " << zero_col;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, InverseBySize, ::testing::Values(1, 2, 3, 4, 5, 6, 7));

// Singular matrices whose determinant (or a pivot) comes out exactly zero.
TEST(Inverse, ExactlySingularMatricesPerPath) {
    EXPECT_FALSE(invert_normal_matrix({0.0}, 1).has_value());
    EXPECT_FALSE(invert_normal_matrix({1, 2, 2, 4}, 2).has_value());
    EXPECT_FALSE(invert_normal_matrix({1, 2, 3, 2, 4, 6, 1, 0, 1}, 3).has_value());
    EXPECT_FALSE(invert_normal_matrix({1, 2, 3, 4, 2, 4, 6, 8, 0, 1, 0, 1, 5, 0, 2, 1}, 4).has_value());
    // Rank 4 of 5: the last row is the sum of the first two; every
    // elimination step is exact in binary floating point.
    EXPECT_FALSE(invert_normal_matrix({4, 0, 0, 0, 0,  //
                                       0, 2, 0, 0, 0,  //
                                       0, 0, 1, 0, 0,  //
                                       0, 0, 0, 8, 0,  //
                                       4, 2, 0, 0, 0},
                                      5)
                     .has_value());
}

TEST(Inverse, KnownSmallInverses) {
    const auto i1 = invert_normal_matrix({4.0}, 1);
    ASSERT_TRUE(i1.has_value());
    EXPECT_EQ((*i1)[0], 0.25);

    const auto i2 = invert_normal_matrix({4, 7, 2, 6}, 2);  // det 10
    ASSERT_TRUE(i2.has_value());
    EXPECT_EQ(*i2, (Matrix{0.6, -0.7, -0.2, 0.4}));

    const auto i0 = invert_normal_matrix({}, 0);
    ASSERT_TRUE(i0.has_value());
    EXPECT_TRUE(i0->empty());

    EXPECT_FALSE(invert_normal_matrix({1, 2, 3}, 2).has_value());  // too few entries
}

// Partial pivoting picks the largest magnitude at or below the diagonal; a
// zero leading entry needs a row exchange, not a failure.
TEST(Inverse, LuPivotsPastZeroDiagonal) {
    const int n = 5;
    Matrix a(25, 0.0);
    // A permutation matrix scaled by powers of two: its inverse is exact.
    const int perm[5] = {3, 0, 4, 1, 2};
    for (int i = 0; i < n; ++i) a[static_cast<std::size_t>(i * n + perm[i])] = std::ldexp(1.0, i);
    const auto inv = invert_normal_matrix(a, n);
    ASSERT_TRUE(inv.has_value());
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            EXPECT_EQ((*inv)[static_cast<std::size_t>(j * n + i)], perm[i] == j ? std::ldexp(1.0, -i) : 0.0);
}

TEST(NormalMatrix, ColumnDotProducts) {
    // J (3 x 2, column-major) = [[1, 4], [2, 5], [3, 6]].
    const Matrix jac{1, 2, 3, 4, 5, 6};
    EXPECT_EQ(normal_matrix(jac, 3, 2), (Matrix{14, 32, 32, 77}));
}

}  // namespace
}  // namespace velotz
