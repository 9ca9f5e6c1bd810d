#include "fit/linalg.hpp"

#include <cmath>
#include <utility>

namespace velotz {

std::vector<double> normal_matrix(const std::vector<double>& jac_colmajor, std::size_t m,
                                  std::size_t n) {
    std::vector<double> a;
    normal_matrix_into(jac_colmajor.data(), m, n, a);
    return a;
}

void normal_matrix_into(const double* jac_colmajor, std::size_t m, std::size_t n, std::vector<double>& a) {
    a.assign(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double* ci = jac_colmajor + i * m;
        for (std::size_t k = i; k < n; ++k) {
            const double* ck = jac_colmajor + k * m;
            double sum = 0.0;
            for (std::size_t r = 0; r < m; ++r) sum += ci[r] * ck[r];
            a[i * n + k] = sum;
            a[k * n + i] = sum;
        }
    }
}

namespace {

using Matrix = std::vector<double>;

bool invert1(const Matrix& a, Matrix& out) {
    const double det = a[0];
    if (det == 0.0) return false;
    out.assign({1.0 / det});
    return true;
}

bool invert2(const Matrix& a, Matrix& out) {
    const double a00 = a[0], a01 = a[1];
    const double a10 = a[2], a11 = a[3];
    const double det = a00 * a11 - a10 * a01;
    if (det == 0.0) return false;
    out.assign({a11 / det, -a01 / det,
                -a10 / det, a00 / det});
    return true;
}

bool invert3(const Matrix& a, Matrix& out) {
    const double a00 = a[0], a01 = a[1], a02 = a[2];
    const double a10 = a[3], a11 = a[4], a12 = a[5];
    const double a20 = a[6], a21 = a[7], a22 = a[8];

    // Cofactors of the first row; the determinant is their expansion.
    const double c00 = a11 * a22 - a21 * a12;
    const double c01 = -(a10 * a22 - a20 * a12);
    const double c02 = a10 * a21 - a20 * a11;
    const double det = a00 * c00 + a01 * c01 + a02 * c02;
    if (det == 0.0) return false;

    const double c10 = -(a01 * a22 - a21 * a02);
    const double c11 = a00 * a22 - a20 * a02;
    const double c12 = -(a00 * a21 - a20 * a01);
    const double c20 = a01 * a12 - a11 * a02;
    const double c21 = -(a00 * a12 - a10 * a02);
    const double c22 = a00 * a11 - a10 * a01;

    // inverse = adjugate / det, the adjugate being the transposed cofactors.
    out.assign({c00 / det, c10 / det, c20 / det,
                c01 / det, c11 / det, c21 / det,
                c02 / det, c12 / det, c22 / det});
    return true;
}

// Determinant of the 3 x 3 matrix left after deleting row `skip_r` and
// column `skip_c` of the row-major 4 x 4 matrix a.
double minor4(const Matrix& a, int skip_r, int skip_c) {
    int rows[3], cols[3];
    for (int i = 0, r = 0, c = 0; i < 4; ++i) {
        if (i != skip_r) rows[r++] = i;
        if (i != skip_c) cols[c++] = i;
    }
    auto e = [&](int i, int j) { return a[static_cast<std::size_t>(rows[i] * 4 + cols[j])]; };
    return e(0, 0) * (e(1, 1) * e(2, 2) - e(2, 1) * e(1, 2)) -
           e(0, 1) * (e(1, 0) * e(2, 2) - e(2, 0) * e(1, 2)) +
           e(0, 2) * (e(1, 0) * e(2, 1) - e(2, 0) * e(1, 1));
}

bool invert4(const Matrix& a, Matrix& inv) {
    double cof[4][4];
    for (int j = 0; j < 4; ++j) cof[0][j] = ((j % 2 == 0) ? 1.0 : -1.0) * minor4(a, 0, j);
    const double det = a[0] * cof[0][0] + a[1] * cof[0][1] + a[2] * cof[0][2] + a[3] * cof[0][3];
    if (det == 0.0) return false;
    for (int i = 1; i < 4; ++i)
        for (int j = 0; j < 4; ++j) cof[i][j] = (((i + j) % 2 == 0) ? 1.0 : -1.0) * minor4(a, i, j);

    const double inv_det = 1.0 / det;
    inv.resize(16);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) inv[static_cast<std::size_t>(i * 4 + j)] = cof[j][i] * inv_det;
    return true;
}

// Gaussian elimination with partial pivoting (L U = P A, L unit lower
// triangular), then the two triangular solves applied to P I.
bool invert_lu(const Matrix& a, std::size_t n, Matrix& inv, Matrix& lu) {
    lu.assign(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n * n));
    inv.assign(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) inv[i * n + i] = 1.0;
    auto LU = [&lu, n](std::size_t r, std::size_t c) -> double& { return lu[r * n + c]; };
    auto INV = [&inv, n](std::size_t r, std::size_t c) -> double& { return inv[r * n + c]; };

    for (std::size_t i = 0; i < n; ++i) {
        std::size_t piv = i;
        for (std::size_t r = i + 1; r < n; ++r)
            if (std::fabs(LU(r, i)) > std::fabs(LU(piv, i))) piv = r;
        const double pivot = LU(piv, i);
        if (pivot == 0.0) return false;
        if (piv != i) {
            for (std::size_t c = 0; c < n; ++c) {
                std::swap(LU(i, c), LU(piv, c));
                std::swap(INV(i, c), INV(piv, c));
            }
        }
        const double inv_pivot = 1.0 / pivot;
        for (std::size_t r = i + 1; r < n; ++r) {
            const double l = LU(r, i) * inv_pivot;
            LU(r, i) = l;
            for (std::size_t c = i + 1; c < n; ++c) LU(r, c) -= l * LU(i, c);
        }
    }

    for (std::size_t c = 0; c < n; ++c) {
        // L y = P e_c (unit diagonal).
        for (std::size_t i = 0; i < n; ++i) {
            const double y = INV(i, c);
            for (std::size_t r = i + 1; r < n; ++r) INV(r, c) -= LU(r, i) * y;
        }
        // U x = y.
        for (std::size_t k = n; k-- > 0;) {
            const double xk = INV(k, c) / LU(k, k);
            INV(k, c) = xk;
            for (std::size_t r = 0; r < k; ++r) INV(r, c) -= LU(r, k) * xk;
        }
    }
    return true;
}

}  // namespace

std::optional<std::vector<double>> invert_normal_matrix(const std::vector<double>& a, std::size_t n) {
    std::vector<double> out, work;
    if (!invert_normal_matrix_into(a, n, out, work)) return std::nullopt;
    return out;
}

bool invert_normal_matrix_into(const std::vector<double>& a, std::size_t n, std::vector<double>& out,
                               std::vector<double>& work) {
    if (a.size() < n * n) return false;
    switch (n) {
        case 0: out.clear(); return true;
        case 1: return invert1(a, out);
        case 2: return invert2(a, out);
        case 3: return invert3(a, out);
        case 4: return invert4(a, out);
        default: return invert_lu(a, n, out, work);
    }
}

}  // namespace velotz
