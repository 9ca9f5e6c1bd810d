// Linear least squares by Householder QR, for the Kramers-Kronig test.
#include <algorithm>
#include <cmath>

#include "analysis/analysis.hpp"
#include "util/interrupt.hpp"

namespace velotz {

std::vector<double> least_squares_qr(std::vector<double>& a, std::vector<double>& b, std::size_t m,
                                     std::size_t n) {
    std::vector<double> diag(n, 0.0);
    for (std::size_t k = 0; k < n && k < m; ++k) {
        interruption_point();  // a column costs O(m n): long spectra with many columns take a while
        double* col = a.data() + k * m;
        // Norm of col[k..m), scaled against overflow and underflow.
        double scale = 0.0;
        for (std::size_t i = k; i < m; ++i) scale = std::max(scale, std::fabs(col[i]));
        if (scale == 0.0 || !std::isfinite(scale)) {
            diag[k] = scale == 0.0 ? 0.0 : scale;
            continue;
        }
        double ss = 0.0;
        for (std::size_t i = k; i < m; ++i) {
            const double t = col[i] / scale;
            ss += t * t;
        }
        const double norm = scale * std::sqrt(ss);
        const double beta = -std::copysign(norm, col[k]);
        const double tau = (beta - col[k]) / beta;
        const double inv = 1.0 / (col[k] - beta);
        for (std::size_t i = k + 1; i < m; ++i) col[i] *= inv;  // v, with v_k = 1 implied
        col[k] = beta;
        diag[k] = beta;
        auto reflect = [&](double* y) {
            double s = y[k];
            for (std::size_t i = k + 1; i < m; ++i) s += col[i] * y[i];
            s *= tau;
            y[k] -= s;
            for (std::size_t i = k + 1; i < m; ++i) y[i] -= s * col[i];
        };
        for (std::size_t j = k + 1; j < n; ++j) reflect(a.data() + j * m);
        reflect(b.data());
    }
    // Back substitution on R x = (Q^T b)[0, n); negligible pivots give 0.
    double largest = 0.0;
    for (double d : diag) largest = std::max(largest, std::fabs(d));
    const double cutoff = 1e-14 * largest;
    std::vector<double> x(n, 0.0);
    for (std::size_t kk = std::min(n, m); kk-- > 0;) {
        if (!(std::fabs(diag[kk]) > cutoff)) continue;
        double s = b[kk];
        for (std::size_t j = kk + 1; j < n; ++j) s -= a[j * m + kk] * x[j];
        x[kk] = s / diag[kk];
    }
    return x;
}

}  // namespace velotz
