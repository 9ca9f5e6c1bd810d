// Port of MINPACK's LMDER, LMPAR, QRFAC, QRSOLV and ENORM (Argonne National
// Laboratory, MINPACK project, March 1980; Garbow, Hillstrom, Moré).
//
// The routines keep the Fortran structure and variable names so that they can
// be read side by side with the original; statement labels are quoted where a
// `go to` became a branch or a loop exit. Indices are 0-based: Fortran's
// fjac(i,j) is fjac[(i-1) + (j-1)*ldfjac] here.
//
// Differences from LMDER, all at the driver level:
// - the Jacobian comes from the problem, the evaluation budget is
//   patience * (n + 1), and the run always uses MINPACK's scaling mode 1;
// - n = 0, m = 0, a non-finite initial residual norm and an initial norm at or
//   below the smallest normal double end the run before the first Jacobian;
// - a NaN or infinity in the scaled norm of the iterate, in the step's scaled
//   length, in the predicted reduction, or a NaN in the scaled gradient ends
//   the run (NonFinite) instead of letting it propagate;
// - the predicted reduction, which depends only on the step, is computed
//   before the trial point is evaluated, so a non-finite prediction costs no
//   evaluation;
// - m < n is allowed: the Jacobian and residuals are padded with zero rows to
//   n rows, which leaves the least-squares problem unchanged;
// - when several termination tests hold at once the first one in the order
//   ftol/xtol, evaluation limit, too-small tolerances decides the reason;
// - the problem is always left at the last accepted iterate.

#include "fit/lmder.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "util/simd.hpp"

namespace velotz {

bool lm_termination_success(LmTermination t) {
    return t == LmTermination::ZeroResiduals || t == LmTermination::GradientOrthogonal ||
           t == LmTermination::Converged;
}

std::string_view lm_termination_name(LmTermination t) {
    switch (t) {
        case LmTermination::ResidualsFailed: return "ResidualsFailed";
        case LmTermination::NonFinite: return "NonFinite";
        case LmTermination::ZeroResiduals: return "ZeroResiduals";
        case LmTermination::GradientOrthogonal: return "GradientOrthogonal";
        case LmTermination::Converged: return "Converged";
        case LmTermination::TolerancesTooSmall: return "TolerancesTooSmall";
        case LmTermination::EvaluationLimit: return "EvaluationLimit";
        case LmTermination::NoParameters: return "NoParameters";
        case LmTermination::NoResiduals: return "NoResiduals";
        case LmTermination::BadJacobianShape: return "BadJacobianShape";
    }
    return "?";
}

// The factorisation and the solves are compiled for AVX2 and for the baseline
// and picked at run time (util/simd.hpp): their element-wise loops then handle
// four doubles per instruction. No FMA is enabled and no sum changes its
// order, so both copies give the same bits.

namespace minpack {

namespace {

// Fortran's dmax1/dmin1 for two arguments.
inline double dmax1(double a, double b) { return a < b ? b : a; }
inline double dmin1(double a, double b) { return b < a ? b : a; }

using simd::vd;
using simd::vi;
VELOTZ_ALWAYS_INLINE vd load4(const double* p) { return simd::load(p); }

// Lanes of |v| that are zero or in enorm's intermediate range (rdwarf, agiant):
// all bits set there, clear elsewhere (NaN and infinity included).
__attribute__((always_inline)) inline vi plain_lanes(const vd& v, const vd& agiant) {
    const vd a = (vd)((vi)v & vi{INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX});
    const vd zero = {0.0, 0.0, 0.0, 0.0};
    const vd dwarf = {rdwarf, rdwarf, rdwarf, rdwarf};
    return (a == zero) | ((a > dwarf) & (a < agiant));
}

// Rows i..i+3 of the four columns c, c + ld, c + 2ld, c + 3ld: t[r] holds row
// i + r, one column per lane.
VELOTZ_ALWAYS_INLINE void transpose4(const double* c, std::size_t ld, vd (&t)[4]) {
    simd::transpose4(load4(c), load4(c + ld), load4(c + 2 * ld), load4(c + 3 * ld), t);
}

}  // namespace

// ---------------------------------------------------------------- enorm
//
// The sum of squares is accumulated in three sums: components above
// rgiant / n ("large") and at or below rdwarf ("small") are scaled by the
// largest of their kind so that nothing overflows or underflows destructively;
// the intermediate ones are summed unscaled. A NaN lands in the large sum and
// makes the result NaN.
namespace {

double enorm_scaled(std::size_t n, const double* x) {
    const double one = 1.0, zero = 0.0;
    double s1 = zero, s2 = zero, s3 = zero;
    double x1max = zero, x3max = zero;
    const double floatn = static_cast<double>(n);
    const double agiant = rgiant / floatn;
    for (std::size_t i = 0; i < n; ++i) {
        const double xabs = std::fabs(x[i]);
        if (xabs > rdwarf && xabs < agiant) {
            // sum for intermediate components.
            s2 = s2 + xabs * xabs;
        } else if (!(xabs <= rdwarf)) {
            // sum for large components.
            if (!(xabs <= x1max)) {
                const double q = x1max / xabs;
                s1 = one + s1 * (q * q);
                x1max = xabs;
            } else {
                const double q = xabs / x1max;
                s1 = s1 + q * q;
            }
        } else {
            // sum for small components.
            if (xabs > x3max) {
                const double q = x3max / xabs;
                s3 = one + s3 * (q * q);
                x3max = xabs;
            } else if (xabs != zero) {
                const double q = xabs / x3max;
                s3 = s3 + q * q;
            }
        }
    }
    // calculation of norm.
    if (s1 != zero) return x1max * std::sqrt(s1 + (s2 / x1max) / x1max);
    if (s2 != zero) {
        if (s2 >= x3max) return std::sqrt(s2 * (one + (x3max / s2) * (x3max * s3)));
        return std::sqrt(x3max * ((s2 / x3max) + (x3max * s3)));
    }
    return x3max * std::sqrt(s3);
}

}  // namespace

// When every component is zero or intermediate, the loop above adds only to
// s2, in index order (a zero changes neither s3 nor x3max), and returns
// sqrt(s2): the "s2 != 0" branch is then sqrt(s2·(1 + 0)), and with nothing
// but zeros the result is 0·sqrt(0). That sum is formed here with the squares
// taken four at a time and added one by one in the same order; any other
// component sends the vector through the loop above.
VELOTZ_ALWAYS_INLINE double enorm_body(std::size_t n, const double* x) {
    const double agiant = rgiant / static_cast<double>(n);
    const vd giant = {agiant, agiant, agiant, agiant};
    vi plain = {-1, -1, -1, -1};
    double sum = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const vd v = load4(x + i);
        plain &= plain_lanes(v, giant);
        const vd q = v * v;
        sum = sum + q[0];
        sum = sum + q[1];
        sum = sum + q[2];
        sum = sum + q[3];
    }
    bool ok = (plain[0] & plain[1] & plain[2] & plain[3]) != 0;
    for (; i < n; ++i) {
        const double xabs = std::fabs(x[i]);
        ok = ok && (xabs == 0.0 || (xabs > rdwarf && xabs < agiant));
        sum = sum + xabs * xabs;
    }
    return ok ? std::sqrt(sum) : enorm_scaled(n, x);
}
VELOTZ_SIMD_DISPATCH(double, enorm, (std::size_t n, const double* x), (n, x))

// Norms of the four columns x, x + ld, x + 2ld, x + 3ld of length n, each
// equal to enorm of that column. When every component is zero or in the
// intermediate range, enorm sums the squares in index order and returns the
// square root: four such sums run side by side here. Otherwise each column
// goes through enorm.
VELOTZ_ALWAYS_INLINE void enorm4_body(std::size_t n, const double* x, std::size_t ld, double* out) {
    const double agiant = rgiant / static_cast<double>(n);
    const vd giant = {agiant, agiant, agiant, agiant};
    vi plain = {-1, -1, -1, -1};
    // Lane c sums the squares of column c in index order; four rows of the
    // four columns are read and transposed in registers at a time.
    vd sums = {0.0, 0.0, 0.0, 0.0};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        vd t[4];
        transpose4(x + i, ld, t);
        for (int r = 0; r < 4; ++r) {
            plain &= plain_lanes(t[r], giant);
            sums = sums + t[r] * t[r];
        }
    }
    for (; i < n; ++i) {
        const vd row = {x[i], x[i + ld], x[i + 2 * ld], x[i + 3 * ld]};
        plain &= plain_lanes(row, giant);
        sums = sums + row * row;
    }
    if ((plain[0] & plain[1] & plain[2] & plain[3]) == 0) {
        for (int c = 0; c < 4; ++c) out[c] = enorm(n, x + static_cast<std::size_t>(c) * ld);
        return;
    }
    // enorm's "s2 != 0" branch with no small components is sqrt(s2·(1 + 0)),
    // and with nothing but zeros it is 0·sqrt(0): both are sqrt(s).
    for (int c = 0; c < 4; ++c) out[c] = std::sqrt(sums[c]);
}
VELOTZ_SIMD_DISPATCH(void, enorm4, (std::size_t n, const double* x, std::size_t ld, double* out), (n, x, ld, out))

// ---------------------------------------------------------------- column_dots
//
// Each sum runs in index order from 0.0, as the column loop of qrfac sums it,
// so the columns can be summed side by side without changing a bit: up to
// eight independent chains of additions keep the floating-point adders busy.
// Four columns share one vector of sums: four rows of those columns are read
// (contiguous in each column), transposed in registers, and added row by row,
// so every lane adds a[i]·b[i + c·ld] in the order i = 0, 1, 2, ... A fifth to
// seventh column is summed in scalar form in the same loop.

namespace {

#if defined(__GNUC__)
// G groups of four columns in vectors, R further columns in scalars.
template <std::size_t G, std::size_t R>
__attribute__((always_inline)) inline void dots_block(std::size_t n, const double* a, const double* b, std::size_t ld,
                                                      double* sums) {
    vd sv[G > 0 ? G : 1];
    double sr[R > 0 ? R : 1];
    for (std::size_t g = 0; g < G; ++g) sv[g] = vd{0.0, 0.0, 0.0, 0.0};
    for (std::size_t r = 0; r < R; ++r) sr[r] = 0.0;
    const double* rest = b + 4 * G * ld;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const vd a0 = {a[i], a[i], a[i], a[i]};
        const vd a1 = {a[i + 1], a[i + 1], a[i + 1], a[i + 1]};
        const vd a2 = {a[i + 2], a[i + 2], a[i + 2], a[i + 2]};
        const vd a3 = {a[i + 3], a[i + 3], a[i + 3], a[i + 3]};
        vd t[G > 0 ? G : 1][4];
        for (std::size_t g = 0; g < G; ++g) transpose4(b + 4 * g * ld + i, ld, t[g]);
        for (std::size_t g = 0; g < G; ++g) sv[g] = sv[g] + a0 * t[g][0];
        for (std::size_t r = 0; r < R; ++r) sr[r] = sr[r] + a[i] * rest[r * ld + i];
        for (std::size_t g = 0; g < G; ++g) sv[g] = sv[g] + a1 * t[g][1];
        for (std::size_t r = 0; r < R; ++r) sr[r] = sr[r] + a[i + 1] * rest[r * ld + i + 1];
        for (std::size_t g = 0; g < G; ++g) sv[g] = sv[g] + a2 * t[g][2];
        for (std::size_t r = 0; r < R; ++r) sr[r] = sr[r] + a[i + 2] * rest[r * ld + i + 2];
        for (std::size_t g = 0; g < G; ++g) sv[g] = sv[g] + a3 * t[g][3];
        for (std::size_t r = 0; r < R; ++r) sr[r] = sr[r] + a[i + 3] * rest[r * ld + i + 3];
    }
    for (; i < n; ++i) {
        const vd ai = {a[i], a[i], a[i], a[i]};
        for (std::size_t g = 0; g < G; ++g) {
            const double* col = b + 4 * g * ld + i;
            sv[g] = sv[g] + ai * vd{col[0], col[ld], col[2 * ld], col[3 * ld]};
        }
        for (std::size_t r = 0; r < R; ++r) sr[r] = sr[r] + a[i] * rest[r * ld + i];
    }
    for (std::size_t g = 0; g < G; ++g)
        for (std::size_t c = 0; c < 4; ++c) sums[4 * g + c] = sv[g][c];
    for (std::size_t r = 0; r < R; ++r) sums[4 * G + r] = sr[r];
}
#endif

}  // namespace

VELOTZ_ALWAYS_INLINE void column_dots_body(std::size_t n, const double* a, const double* b, std::size_t ld, std::size_t count,
                 double* sums) {
    switch (count) {
        case 8: dots_block<2, 0>(n, a, b, ld, sums); break;
        case 7: dots_block<1, 3>(n, a, b, ld, sums); break;
        case 6: dots_block<1, 2>(n, a, b, ld, sums); break;
        case 5: dots_block<1, 1>(n, a, b, ld, sums); break;
        case 4: dots_block<1, 0>(n, a, b, ld, sums); break;
        case 3: dots_block<0, 3>(n, a, b, ld, sums); break;
        case 2: dots_block<0, 2>(n, a, b, ld, sums); break;
        case 1: dots_block<0, 1>(n, a, b, ld, sums); break;
        default: break;
    }
}
VELOTZ_SIMD_DISPATCH(void, column_dots, (std::size_t n, const double* a, const double* b, std::size_t ld, std::size_t count,
                 double* sums), (n, a, b, ld, count, sums))

// ---------------------------------------------------------------- qrfac
VELOTZ_ALWAYS_INLINE void qrfac_body(std::size_t m, std::size_t n, double* a, std::size_t lda, bool pivot,
           std::size_t* ipvt, double* rdiag, double* acnorm, double* wa, std::size_t extra) {
    const double one = 1.0, p05 = 5.0e-2, zero = 0.0;
    auto A = [a, lda](std::size_t i, std::size_t j) -> double& { return a[i + j * lda]; };

    // compute the initial column norms and initialize several arrays.
    // Four columns at a time: their sums run side by side, each in its own
    // order, so every norm is the one enorm gives.
    std::size_t j0 = 0;
    for (; j0 + 4 <= n; j0 += 4) enorm4(m, &A(0, j0), lda, &acnorm[j0]);
    for (; j0 < n; ++j0) acnorm[j0] = enorm(m, &A(0, j0));
    for (std::size_t j = 0; j < n; ++j) {
        rdiag[j] = acnorm[j];
        wa[j] = rdiag[j];
        if (pivot) ipvt[j] = j;
    }

    // reduce a to r with householder transformations.
    const std::size_t minmn = std::min(m, n);
    for (std::size_t j = 0; j < minmn; ++j) {
        if (pivot) {
            // bring the column of largest norm into the pivot position.
            std::size_t kmax = j;
            for (std::size_t k = j; k < n; ++k)
                if (rdiag[k] > rdiag[kmax]) kmax = k;
            if (kmax != j) {
                for (std::size_t i = 0; i < m; ++i) std::swap(A(i, j), A(i, kmax));
                rdiag[kmax] = rdiag[j];
                wa[kmax] = wa[j];
                std::swap(ipvt[j], ipvt[kmax]);
            }
        }

        // compute the householder transformation to reduce the j-th column
        // of a to a multiple of the j-th unit vector.
        // Column 0 is still a column of the input (the pivot's): its norm
        // is the one computed above.
        double ajnorm = j == 0 ? acnorm[pivot ? ipvt[0] : 0] : enorm(m - j, &A(j, j));
        if (ajnorm != zero) {  // else go to 100
            if (A(j, j) < zero) ajnorm = -ajnorm;
            for (std::size_t i = j; i < m; ++i) A(i, j) = A(i, j) / ajnorm;
            A(j, j) = A(j, j) + one;

            // apply the transformation to the remaining columns and update
            // the norms. The dot products of up to eight columns with column
            // j run side by side, each summed in its own order; a column's
            // update and norm then use its own sum, as in the original.
            // The extra columns follow the remaining ones: for them lmder's
            // q^T fvec loop computes -(sum / a(j,j)) and adds a(i,j)·that,
            // which is exactly the subtraction below.
            double sums[kColumnDots];
            const std::size_t end = n + extra;
            std::size_t block_start = j + 1, block_end = j + 1;
            for (std::size_t k = j + 1; k < end; ++k) {
                if (k == block_end) {
                    block_start = k;
                    block_end = std::min(end, k + kColumnDots);
                    column_dots(m - j, &A(j, j), &A(j, k), lda, block_end - k, sums);
                }
                const double sum = sums[k - block_start];
                double temp = sum / A(j, j);
                for (std::size_t i = j; i < m; ++i) A(i, k) = A(i, k) - temp * A(i, j);
                if (k >= n || !pivot || rdiag[k] == zero) continue;  // go to 80
                temp = A(j, k) / rdiag[k];
                rdiag[k] = rdiag[k] * std::sqrt(dmax1(zero, one - temp * temp));
                const double q = rdiag[k] / wa[k];
                if (p05 * (q * q) > epsmch) continue;  // go to 80
                rdiag[k] = enorm(m - j - 1, &A(j + 1, k));
                wa[k] = rdiag[k];
            }
        }
        // 100
        rdiag[j] = -ajnorm;
    }
}
VELOTZ_SIMD_DISPATCH(void, qrfac, (std::size_t m, std::size_t n, double* a, std::size_t lda, bool pivot,
           std::size_t* ipvt, double* rdiag, double* acnorm, double* wa, std::size_t extra), (m, n, a, lda, pivot, ipvt, rdiag, acnorm, wa, extra))

// ---------------------------------------------------------------- qrsolv
VELOTZ_ALWAYS_INLINE void qrsolv_body(std::size_t n, double* r, std::size_t ldr, const std::size_t* ipvt,
            const double* diag, const double* qtb, double* x, double* sdiag, double* wa) {
    const double p5 = 5.0e-1, p25 = 2.5e-1, zero = 0.0;
    auto R = [r, ldr](std::size_t i, std::size_t j) -> double& { return r[i + j * ldr]; };

    // copy r and (q transpose)*b to preserve input and initialize s.
    // in particular, save the diagonal elements of r in x.
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t i = j; i < n; ++i) R(i, j) = R(j, i);
        x[j] = R(j, j);
        wa[j] = qtb[j];
    }

    // eliminate the diagonal matrix d using a givens rotation.
    for (std::size_t j = 0; j < n; ++j) {
        // prepare the row of d to be eliminated, locating the diagonal
        // element using p from the qr factorization.
        const std::size_t l = ipvt[j];
        if (diag[l] != zero) {  // else go to 90
            for (std::size_t k = j; k < n; ++k) sdiag[k] = zero;
            sdiag[j] = diag[l];

            // the transformations to eliminate the row of d modify only a
            // single element of (q transpose)*b beyond the first n, which is
            // initially zero.
            double qtbpj = zero;
            for (std::size_t k = j; k < n; ++k) {
                // determine a givens rotation which eliminates the
                // appropriate element in the current row of d.
                if (sdiag[k] == zero) continue;  // go to 70
                double sin, cos;
                if (std::fabs(R(k, k)) >= std::fabs(sdiag[k])) {
                    const double tan = sdiag[k] / R(k, k);
                    cos = p5 / std::sqrt(p25 + p25 * (tan * tan));
                    sin = cos * tan;
                } else {
                    const double cotan = R(k, k) / sdiag[k];
                    sin = p5 / std::sqrt(p25 + p25 * (cotan * cotan));
                    cos = sin * cotan;
                }

                // compute the modified diagonal element of r and the
                // modified element of ((q transpose)*b,0).
                R(k, k) = cos * R(k, k) + sin * sdiag[k];
                double temp = cos * wa[k] + sin * qtbpj;
                qtbpj = -sin * wa[k] + cos * qtbpj;
                wa[k] = temp;

                // accumulate the tranformation in the row of s.
                for (std::size_t i = k + 1; i < n; ++i) {
                    temp = cos * R(i, k) + sin * sdiag[i];
                    sdiag[i] = -sin * R(i, k) + cos * sdiag[i];
                    R(i, k) = temp;
                }
            }
        }
        // 90: store the diagonal element of s and restore the corresponding
        // diagonal element of r.
        sdiag[j] = R(j, j);
        R(j, j) = x[j];
    }

    // solve the triangular system for z. if the system is singular, then
    // obtain a least squares solution.
    std::size_t nsing = n;
    for (std::size_t j = 0; j < n; ++j) {
        if (sdiag[j] == zero && nsing == n) nsing = j;
        if (nsing < n) wa[j] = zero;
    }
    for (std::size_t k = 0; k < nsing; ++k) {
        const std::size_t j = nsing - 1 - k;
        double sum = zero;
        for (std::size_t i = j + 1; i < nsing; ++i) sum = sum + R(i, j) * wa[i];
        wa[j] = (wa[j] - sum) / sdiag[j];
    }

    // permute the components of z back to components of x.
    for (std::size_t j = 0; j < n; ++j) x[ipvt[j]] = wa[j];
}
VELOTZ_SIMD_DISPATCH(void, qrsolv, (std::size_t n, double* r, std::size_t ldr, const std::size_t* ipvt,
            const double* diag, const double* qtb, double* x, double* sdiag, double* wa), (n, r, ldr, ipvt, diag, qtb, x, sdiag, wa))

// ---------------------------------------------------------------- lmpar
VELOTZ_ALWAYS_INLINE void lmpar_body(std::size_t n, double* r, std::size_t ldr, const std::size_t* ipvt,
           const double* diag, const double* qtb, double delta, double& par,
           double* x, double* sdiag, double* wa1, double* wa2) {
    const double p1 = 1.0e-1, p001 = 1.0e-3, zero = 0.0;
    auto R = [r, ldr](std::size_t i, std::size_t j) -> double& { return r[i + j * ldr]; };

    // compute and store in x the gauss-newton direction. if the jacobian is
    // rank-deficient, obtain a least squares solution.
    std::size_t nsing = n;
    for (std::size_t j = 0; j < n; ++j) {
        wa1[j] = qtb[j];
        if (R(j, j) == zero && nsing == n) nsing = j;
        if (nsing < n) wa1[j] = zero;
    }
    for (std::size_t k = 0; k < nsing; ++k) {
        const std::size_t j = nsing - 1 - k;
        wa1[j] = wa1[j] / R(j, j);
        const double temp = wa1[j];
        for (std::size_t i = 0; i < j; ++i) wa1[i] = wa1[i] - R(i, j) * temp;
    }
    for (std::size_t j = 0; j < n; ++j) x[ipvt[j]] = wa1[j];

    // initialize the iteration counter. evaluate the function at the origin,
    // and test for acceptance of the gauss-newton direction.
    int iter = 0;
    for (std::size_t j = 0; j < n; ++j) wa2[j] = diag[j] * x[j];
    double dxnorm = enorm(n, wa2);
    double fp = dxnorm - delta;
    if (fp <= p1 * delta) {  // go to 220
        par = zero;
        return;
    }

    // if the jacobian is not rank deficient, the newton step provides a lower
    // bound, parl, for the zero of the function. otherwise set this bound to
    // zero.
    double parl = zero;
    if (nsing >= n) {
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t l = ipvt[j];
            wa1[j] = diag[l] * (wa2[l] / dxnorm);
        }
        for (std::size_t j = 0; j < n; ++j) {
            double sum = zero;
            for (std::size_t i = 0; i < j; ++i) sum = sum + R(i, j) * wa1[i];
            wa1[j] = (wa1[j] - sum) / R(j, j);
        }
        const double temp = enorm(n, wa1);
        parl = ((fp / delta) / temp) / temp;
    }

    // calculate an upper bound, paru, for the zero of the function.
    for (std::size_t j = 0; j < n; ++j) {
        double sum = zero;
        for (std::size_t i = 0; i <= j; ++i) sum = sum + R(i, j) * qtb[i];
        const std::size_t l = ipvt[j];
        wa1[j] = sum / diag[l];
    }
    const double gnorm = enorm(n, wa1);
    double paru = gnorm / delta;
    if (paru == zero) paru = dwarf / dmin1(delta, p1);

    // if the input par lies outside of the interval (parl,paru), set par to
    // the closer endpoint.
    par = dmax1(par, parl);
    par = dmin1(par, paru);
    if (par == zero) par = gnorm / dxnorm;

    // beginning of an iteration.
    for (;;) {
        iter = iter + 1;

        // evaluate the function at the current value of par.
        if (par == zero) par = dmax1(dwarf, p001 * paru);
        double temp = std::sqrt(par);
        for (std::size_t j = 0; j < n; ++j) wa1[j] = temp * diag[j];
        qrsolv(n, r, ldr, ipvt, wa1, qtb, x, sdiag, wa2);
        for (std::size_t j = 0; j < n; ++j) wa2[j] = diag[j] * x[j];
        dxnorm = enorm(n, wa2);
        temp = fp;
        fp = dxnorm - delta;

        // if the function is small enough, accept the current value of par.
        // also test for the exceptional cases where parl is zero or the number
        // of iterations has reached 10.
        if (std::fabs(fp) <= p1 * delta || (parl == zero && fp <= temp && temp < zero) ||
            iter == 10)
            break;  // go to 220

        // compute the newton correction.
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t l = ipvt[j];
            wa1[j] = diag[l] * (wa2[l] / dxnorm);
        }
        for (std::size_t j = 0; j < n; ++j) {
            wa1[j] = wa1[j] / sdiag[j];
            temp = wa1[j];
            for (std::size_t i = j + 1; i < n; ++i) wa1[i] = wa1[i] - R(i, j) * temp;
        }
        temp = enorm(n, wa1);
        const double parc = ((fp / delta) / temp) / temp;

        // depending on the sign of the function, update parl or paru.
        if (fp > zero) parl = dmax1(parl, par);
        if (fp < zero) paru = dmin1(paru, par);

        // compute an improved estimate for par.
        par = dmax1(parl, par + parc);
    }
    // 220: termination (iter > 0 here, so par is kept).
}
VELOTZ_SIMD_DISPATCH(void, lmpar, (std::size_t n, double* r, std::size_t ldr, const std::size_t* ipvt,
           const double* diag, const double* qtb, double delta, double& par,
           double* x, double* sdiag, double* wa1, double* wa2), (n, r, ldr, ipvt, diag, qtb, delta, par, x, sdiag, wa1, wa2))

}  // namespace minpack

// ---------------------------------------------------------------- lmder
std::expected<LmReport, std::string> lmder_minimize(LmProblemBase& problem, const LmConfig& config) {
    LmWorkspace work;
    return lmder_minimize(problem, config, work);
}

std::expected<LmReport, std::string> lmder_minimize(LmProblemBase& problem, const LmConfig& config,
                                                    LmWorkspace& work) {
    using minpack::enorm;
    using minpack::epsmch;
    const double one = 1.0, p1 = 1.0e-1, p5 = 5.0e-1, p25 = 2.5e-1, p75 = 7.5e-1,
                 p0001 = 1.0e-4, zero = 0.0;

    // check the input parameters for errors. A set sign bit is refused, so
    // -0.0 is refused and a NaN with a clear sign bit passes.
    if (std::signbit(config.ftol)) return std::unexpected(std::string("ftol must be >= 0"));
    if (std::signbit(config.xtol)) return std::unexpected(std::string("xtol must be >= 0"));
    if (std::signbit(config.gtol)) return std::unexpected(std::string("gtol must be >= 0"));
    if (!(config.stepbound > zero)) return std::unexpected(std::string("stepbound must be > 0"));
    const double ftol = config.ftol, xtol = config.xtol, gtol = config.gtol;
    const double factor = config.stepbound;

    std::vector<double>& x = work.x;
    problem.params_into(x);
    const std::size_t n = x.size();

    // evaluate the function at the starting point and calculate its norm.
    std::uint64_t nfev = 1;
    std::vector<double>& fvec = work.fvec;
    if (!problem.residuals(fvec)) return LmReport{LmTermination::ResidualsFailed, nfev};
    if (n == 0) return LmReport{LmTermination::NoParameters, nfev};
    const std::size_t m = fvec.size();
    if (m == 0) return LmReport{LmTermination::NoResiduals, nfev};
    double fnorm = enorm(m, fvec.data());
    if (!std::isfinite(fnorm)) return LmReport{LmTermination::NonFinite, nfev};
    if (fnorm <= minpack::dwarf) return LmReport{LmTermination::ZeroResiduals, nfev};

    // maxfev = max(patience, 1) * (n + 1), saturating.
    const std::uint64_t patience = std::max<std::uint64_t>(config.patience, 1);
    const std::uint64_t np1 = static_cast<std::uint64_t>(n) + 1;
    const std::uint64_t maxfev = patience > std::numeric_limits<std::uint64_t>::max() / np1
                                     ? std::numeric_limits<std::uint64_t>::max()
                                     : patience * np1;

    // The factorisation works on mrows >= n rows; rows m..mrows-1 of the
    // Jacobian and of the residual copy are zero when m < n.
    const std::size_t mrows = std::max(m, n);
    const std::size_t ldfjac = mrows;
    // Every array is written before it is read, so reused storage (zeroed
    // here all the same, as fresh vectors would be) gives the same run.
    std::vector<double>&fjac = work.fjac, &diag = work.diag, &qtf = work.qtf, &wa1 = work.wa1, &wa2 = work.wa2,
                       &wa3 = work.wa3, &wa4 = work.wa4, &jac = work.jac, &ftrial = work.ftrial;
    std::vector<std::size_t>& ipvt = work.ipvt;
    // One column more than the Jacobian: qrfac applies its reflections to
    // the residuals stored there, forming q^T fvec alongside the columns.
    fjac.reserve(ldfjac * (n + 1));
    fjac.assign(ldfjac * n, zero);
    for (std::vector<double>* v : {&diag, &qtf, &wa1, &wa2, &wa3}) v->assign(n, zero);
    wa4.assign(mrows, zero);
    ipvt.assign(n, 0);
    jac.assign(mrows == m ? 0 : m * n, zero);
    auto FJ = [&fjac, ldfjac](std::size_t i, std::size_t j) -> double& { return fjac[i + j * ldfjac]; };

    // The problem sits at x except after a rejected trial point; every exit
    // goes through here to put it back.
    bool problem_at_x = true;
    auto finish = [&](LmTermination t) {
        if (!problem_at_x) problem.set_params(x);
        return LmReport{t, nfev};
    };

    // initialize levenberg-marquardt parameter and iteration counter.
    double par = zero;
    std::uint64_t iter = 1;
    double delta = zero, xnorm = zero;

    // beginning of the outer loop.
    for (;;) {
        // calculate the jacobian matrix. Without padding rows fjac has the
        // Jacobian's shape and receives it directly.
        std::vector<double>& target = mrows == m ? fjac : jac;
        target.resize(m * n);
        std::memset(target.data(), 0, m * n * sizeof(double));  // all bits clear: +0.0
        if (!problem.jacobian(target)) return finish(LmTermination::ResidualsFailed);
        if (target.size() != m * n) return finish(LmTermination::BadJacobianShape);
        if (mrows != m) {
            for (std::size_t j = 0; j < n; ++j) {
                std::copy_n(jac.begin() + static_cast<std::ptrdiff_t>(j * m), m, &FJ(0, j));
                std::fill(&FJ(0, j) + m, &FJ(0, j) + mrows, zero);
            }
        }

        // compute the qr factorization of the jacobian, and with it
        // (q transpose)*fvec in the column after it.
        fjac.resize(ldfjac * (n + 1));
        std::copy(fvec.begin(), fvec.end(), &FJ(0, n));
        std::fill(&FJ(0, n) + m, &FJ(0, n) + mrows, zero);
        minpack::qrfac(mrows, n, fjac.data(), ldfjac, true, ipvt.data(), wa1.data(), wa2.data(),
                       wa3.data(), 1);

        // on the first iteration, scale according to the norms of the columns
        // of the initial jacobian, calculate the norm of the scaled x and
        // initialize the step bound delta.
        if (iter == 1) {
            for (std::size_t j = 0; j < n; ++j) {
                diag[j] = wa2[j];
                if (wa2[j] == zero) diag[j] = one;
            }
            for (std::size_t j = 0; j < n; ++j) wa3[j] = diag[j] * x[j];
            xnorm = enorm(n, wa3.data());
            if (!std::isfinite(xnorm)) return finish(LmTermination::NonFinite);
            delta = factor * xnorm;
            if (delta == zero) delta = factor;
        }

        // store the first n components of (q transpose)*fvec in qtf.
        for (std::size_t j = 0; j < n; ++j) {
            FJ(j, j) = wa1[j];
            qtf[j] = FJ(j, n);
        }

        // compute the norm of the scaled gradient.
        double gnorm = zero;
        if (fnorm != zero) {
            for (std::size_t j = 0; j < n; ++j) {
                const std::size_t l = ipvt[j];
                if (wa2[l] == zero) continue;
                double sum = zero;
                for (std::size_t i = 0; i <= j; ++i) sum = sum + FJ(i, j) * (qtf[i] / fnorm);
                const double g = std::fabs(sum / wa2[l]);
                if (std::isnan(g)) return finish(LmTermination::NonFinite);
                gnorm = minpack::dmax1(gnorm, g);
            }
        }

        // test for convergence of the gradient norm.
        if (gnorm <= gtol) return finish(LmTermination::GradientOrthogonal);

        // rescale.
        for (std::size_t j = 0; j < n; ++j) diag[j] = minpack::dmax1(diag[j], wa2[j]);

        // beginning of the inner loop.
        for (;;) {
            // determine the levenberg-marquardt parameter.
            minpack::lmpar(n, fjac.data(), ldfjac, ipvt.data(), diag.data(), qtf.data(), delta, par,
                           wa1.data(), wa2.data(), wa3.data(), wa4.data());

            // store the direction p and x + p. calculate the norm of p.
            for (std::size_t j = 0; j < n; ++j) {
                wa1[j] = -wa1[j];
                wa2[j] = x[j] + wa1[j];
                wa3[j] = diag[j] * wa1[j];
            }
            const double pnorm = enorm(n, wa3.data());
            if (!std::isfinite(pnorm)) return finish(LmTermination::NonFinite);

            // on the first iteration, adjust the initial step bound.
            if (iter == 1) delta = minpack::dmin1(delta, pnorm);

            // compute the scaled predicted reduction and the scaled
            // directional derivative.
            for (std::size_t j = 0; j < n; ++j) {
                wa3[j] = zero;
                const std::size_t l = ipvt[j];
                const double temp = wa1[l];
                for (std::size_t i = 0; i <= j; ++i) wa3[i] = wa3[i] + FJ(i, j) * temp;
            }
            const double temp1 = enorm(n, wa3.data()) / fnorm;
            const double temp2 = (std::sqrt(par) * pnorm) / fnorm;
            const double prered = temp1 * temp1 + temp2 * temp2 / p5;
            const double dirder = -(temp1 * temp1 + temp2 * temp2);
            if (!std::isfinite(prered)) return finish(LmTermination::NonFinite);

            // evaluate the function at x + p and calculate its norm.
            problem.set_params(wa2);
            problem_at_x = false;
            nfev = nfev + 1;
            if (!problem.residuals(ftrial)) return finish(LmTermination::ResidualsFailed);
            if (ftrial.size() != m) return finish(LmTermination::BadJacobianShape);
            const double fnorm1 = enorm(m, ftrial.data());

            // compute the scaled actual reduction. A NaN or infinite fnorm1
            // fails the comparison and counts as an increase.
            double actred = -one;
            if (p1 * fnorm1 < fnorm) {
                const double q = fnorm1 / fnorm;
                actred = one - q * q;
            }

            // compute the ratio of the actual to the predicted reduction.
            double ratio = zero;
            if (prered != zero) ratio = actred / prered;

            // update the step bound.
            if (!(ratio > p25)) {
                double temp;
                if (actred >= zero)
                    temp = p5;
                else
                    temp = p5 * dirder / (dirder + p5 * actred);
                if (p1 * fnorm1 >= fnorm || temp < p1) temp = p1;
                delta = temp * minpack::dmin1(delta, pnorm / p1);
                par = par / temp;
            } else if (!(par != zero && ratio < p75)) {
                delta = pnorm / p5;
                par = p5 * par;
            }

            // test for successful iteration.
            if (ratio >= p0001) {
                // successful iteration. update x, fvec, and their norms.
                for (std::size_t j = 0; j < n; ++j) {
                    x[j] = wa2[j];
                    wa2[j] = diag[j] * x[j];
                }
                problem_at_x = true;
                fvec.swap(ftrial);
                xnorm = enorm(n, wa2.data());
                fnorm = fnorm1;
                iter = iter + 1;
                if (!std::isfinite(xnorm)) return finish(LmTermination::NonFinite);
            }

            // tests for convergence.
            const bool ftol_met =
                std::fabs(actred) <= ftol && prered <= ftol && p5 * ratio <= one;
            const bool xtol_met = delta <= xtol * xnorm;
            if (ftol_met || xtol_met) return finish(LmTermination::Converged);

            // tests for termination and stringent tolerances.
            if (nfev >= maxfev) return finish(LmTermination::EvaluationLimit);
            if ((std::fabs(actred) <= epsmch && prered <= epsmch && p5 * ratio <= one) ||
                delta <= epsmch * xnorm || gnorm <= epsmch)
                return finish(LmTermination::TolerancesTooSmall);

            // end of the inner loop. repeat if iteration unsuccessful.
            if (ratio >= p0001) break;
        }
        // end of the outer loop.
    }
}

}  // namespace velotz
