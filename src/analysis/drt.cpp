// The distribution of relaxation times by Tikhonov-regularised,
// non-negative least squares on Gaussian radial basis functions.
//
// The unknowns are the RBF weights (>= 0), R_inf (>= 0) and L (free). Rows
// are the real and/or imaginary parts of the spectrum, each divided by |Z|
// ("modulus") or by max |Z| ("unit"). The RBF weights are solved for in
// units of max |Z|, so lambda does not depend on the units of Z: the
// objective is |W(Z - Z_fit)|^2 + lambda * integral (d^k gamma / d ln tau^k)^2
// d ln tau / max|Z|^2. lambda is chosen, unless given, by generalised
// cross-validation (Craven & Wahba 1979) of the problem without the sign
// constraints, optionally in the modified form of Kim & Gu (2004) that
// counts each degree of freedom rho times: it needs no noise level and is
// cheap on the normal equations. The sign constraints are then enforced by
// the active-set solver below.
#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>

#include "analysis/analysis.hpp"

namespace velotz {
namespace {

constexpr double kLn10 = std::numbers::ln10;

// In-place Cholesky factor (lower, row-major) of the n x n matrix `a`.
bool cholesky(std::vector<double>& a, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (std::size_t k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
        if (!(d > 0.0) || !std::isfinite(d)) return false;
        d = std::sqrt(d);
        a[j * n + j] = d;
        for (std::size_t i = j + 1; i < n; ++i) {
            double s = a[i * n + j];
            for (std::size_t k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
            a[i * n + j] = s / d;
        }
    }
    return true;
}

// Solves L L' x = b in place for a Cholesky factor L.
void cholesky_solve(const std::vector<double>& l, std::size_t n, double* b) {
    for (std::size_t i = 0; i < n; ++i) {
        double s = b[i];
        for (std::size_t k = 0; k < i; ++k) s -= l[i * n + k] * b[k];
        b[i] = s / l[i * n + i];
    }
    for (std::size_t i = n; i-- > 0;) {
        double s = b[i];
        for (std::size_t k = i + 1; k < n; ++k) s -= l[k * n + i] * b[k];
        b[i] = s / l[i * n + i];
    }
}

// Factors a symmetric positive semidefinite matrix, adding a growing ridge
// (relative to its largest diagonal entry) when it is numerically singular.
bool cholesky_with_ridge(std::vector<double>& a, std::size_t n) {
    if (n == 0) return true;
    const std::vector<double> original = a;
    double dmax = 0.0;
    for (std::size_t i = 0; i < n; ++i) dmax = std::max(dmax, std::fabs(a[i * n + i]));
    if (!(dmax > 0.0)) dmax = 1.0;
    double ridge = 0.0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (attempt > 0) {
            a = original;
            ridge = ridge == 0.0 ? 1e-13 * dmax : ridge * 100.0;
            for (std::size_t i = 0; i < n; ++i) a[i * n + i] += ridge;
        }
        if (cholesky(a, n)) return true;
    }
    return false;
}

// Solves G_PP z_P = c_P for the index set P.
bool solve_subset(const std::vector<double>& g, const std::vector<double>& c, std::size_t n,
                  const std::vector<std::size_t>& set, std::vector<double>& z) {
    const std::size_t k = set.size();
    std::vector<double> sub(k * k), rhs(k);
    for (std::size_t i = 0; i < k; ++i) {
        rhs[i] = c[set[i]];
        for (std::size_t j = 0; j < k; ++j) sub[i * k + j] = g[set[i] * n + set[j]];
    }
    if (!cholesky_with_ridge(sub, k)) return false;
    cholesky_solve(sub, k, rhs.data());
    std::fill(z.begin(), z.end(), 0.0);
    for (std::size_t i = 0; i < k; ++i) z[set[i]] = rhs[i];
    return true;
}

}  // namespace

std::optional<std::vector<double>> nnls_gram(const std::vector<double>& g, const std::vector<double>& c,
                                             std::size_t n, const std::vector<bool>& free,
                                             const std::function<bool()>& stop, const std::vector<double>* start) {
    std::vector<double> x(n, 0.0), z(n, 0.0), w(n);
    std::vector<bool> passive(n, false);
    double cmax = 0.0;
    for (std::size_t i = 0; i < n; ++i) cmax = std::max(cmax, std::fabs(c[i]));
    // A gradient entry below this is zero (the optimality test).
    const double tol = 1e-12 * std::max(cmax, 1e-300) * static_cast<double>(n);
    auto passive_set = [&] {
        std::vector<std::size_t> set;
        for (std::size_t i = 0; i < n; ++i)
            if (passive[i]) set.push_back(i);
        return set;
    };
    // From a feasible x and a passive set: solves on the passive set and,
    // while that solution leaves a constrained variable at or below zero,
    // moves x toward it as far as feasibility allows and drops the
    // variables that reached zero. False when a subset solve fails.
    auto settle = [&]() -> bool {
        for (std::size_t inner = 0; inner <= n; ++inner) {
            const auto set = passive_set();
            if (!solve_subset(g, c, n, set, z)) return false;
            double alpha = 2.0;
            for (std::size_t i : set) {
                if (free[i] || z[i] > 0.0) continue;
                const double denom = x[i] - z[i];
                const double a = denom > 0.0 ? x[i] / denom : 0.0;
                alpha = std::min(alpha, a);
            }
            if (alpha > 1.0) {
                x = z;
                return true;
            }
            for (std::size_t i : set) x[i] += alpha * (z[i] - x[i]);
            // Constrained variables that reached zero leave the passive set.
            bool removed = false;
            for (std::size_t i : set) {
                if (free[i]) continue;
                if (x[i] <= 1e-15 * std::max(1.0, std::fabs(z[i])) || (z[i] <= 0.0 && x[i] <= 0.0)) {
                    x[i] = 0.0;
                    passive[i] = false;
                    removed = true;
                }
            }
            if (!removed) {
                // Rounding left the blocking variable just above zero: drop it.
                std::size_t arg = n;
                double smallest = 0.0;
                for (std::size_t i : set) {
                    if (free[i] || z[i] > 0.0) continue;
                    if (arg == n || x[i] < smallest) {
                        smallest = x[i];
                        arg = i;
                    }
                }
                if (arg == n) return true;
                x[arg] = 0.0;
                passive[arg] = false;
            }
        }
        return true;
    };
    bool any_free = false;
    for (std::size_t i = 0; i < n; ++i)
        if (free[i]) passive[i] = any_free = true;
    if (start && start->size() == n) {
        // Warm start: the positive entries of a nearby solution (another
        // lambda's) as the passive set; usually one solve settles it.
        for (std::size_t i = 0; i < n; ++i) {
            const double v = (*start)[i];
            if (free[i]) {
                x[i] = std::isfinite(v) ? v : 0.0;
            } else if (v > 0.0 && std::isfinite(v)) {
                x[i] = v;
                passive[i] = true;
            }
        }
        if (!settle()) return std::nullopt;
    } else if (any_free) {
        if (!solve_subset(g, c, n, passive_set(), z)) return std::nullopt;
        x = z;
    }
    const std::size_t max_iter = 3 * n + 10;
    for (std::size_t iter = 0; iter < max_iter; ++iter) {
        if (stop && stop()) return std::nullopt;
        // w = c - G x: minus the gradient.
        std::size_t best = n;
        double best_w = tol;
        for (std::size_t i = 0; i < n; ++i) {
            if (passive[i]) continue;
            double s = c[i];
            for (std::size_t j = 0; j < n; ++j) s -= g[i * n + j] * x[j];
            w[i] = s;
            if (s > best_w) {
                best_w = s;
                best = i;
            }
        }
        if (best == n) break;
        passive[best] = true;
        if (!settle()) return std::nullopt;
    }
    return x;
}

Cx drt_rbf_integral(double u, double epsilon) {
    // x over +-6/eps (exp(-36) ~ 2e-16), steps resolving both the RBF
    // (scale 1/eps) and the kernel (scale 1).
    const double half = 6.0 / epsilon;
    const double h = std::min(1.0 / epsilon, 1.0) / 10.0;
    const auto steps = static_cast<std::size_t>(std::ceil(2.0 * half / h));
    const double step = 2.0 * half / static_cast<double>(steps);
    double re = 0.0, im = 0.0;
    for (std::size_t k = 0; k <= steps; ++k) {
        const double x = -half + step * static_cast<double>(k);
        const double phi = std::exp(-(epsilon * x) * (epsilon * x));
        const double t = x + u;
        const double weight = (k == 0 || k == steps) ? 0.5 : 1.0;
        // 1/(1 + e^{2t}) = (1 - tanh t)/2 and e^t/(1 + e^{2t}) = 1/(2 cosh t).
        re += weight * phi * 0.5 * (1.0 - std::tanh(t));
        im += weight * phi * 0.5 / std::cosh(t);
    }
    return {re * step, im * step};
}

namespace {

// The same integrals for every u_i = base + i * du... computed for many u
// at once: e^{2(x+u)} = e^{2x} e^{2u}, so each node costs one division.
struct RbfQuadrature {
    std::vector<double> phi, e1, e2;  // exp(-(eps x)^2), e^x, e^{2x} at the nodes (weights folded into phi)
    double half = 0.0;

    explicit RbfQuadrature(double epsilon) {
        half = 6.0 / epsilon;
        const double h = std::min(1.0 / epsilon, 1.0) / 10.0;
        const auto steps = static_cast<std::size_t>(std::ceil(2.0 * half / h));
        const double step = 2.0 * half / static_cast<double>(steps);
        for (std::size_t k = 0; k <= steps; ++k) {
            const double x = -half + step * static_cast<double>(k);
            const double weight = (k == 0 || k == steps) ? 0.5 : 1.0;
            phi.push_back(weight * step * std::exp(-(epsilon * x) * (epsilon * x)));
            e1.push_back(std::exp(x));
            e2.push_back(std::exp(2.0 * x));
        }
    }

    Cx operator()(double u, double epsilon) const {
        if (std::fabs(u) + half > 300.0) return drt_rbf_integral(u, epsilon);
        const double q = std::exp(2.0 * u), s = std::exp(u);
        double re = 0.0, im = 0.0;
        for (std::size_t k = 0; k < phi.size(); ++k) {
            const double r = phi[k] / (1.0 + e2[k] * q);
            re += r;
            im += r * e1[k];
        }
        return {re, im * s};
    }
};

// Integral of the products of the k-th derivatives of two Gaussians
// exp(-(eps (y - a))^2) whose centres are d apart.
double penalty_entry(double d, double eps, int derivative) {
    const double s = eps * eps * d * d;
    const double e = std::exp(-0.5 * s);
    const double root = std::sqrt(std::numbers::pi / 2.0);
    if (derivative == 1) return root * eps * (1.0 - s) * e;
    if (derivative == 2) return root * eps * eps * eps * (3.0 - 6.0 * s + s * s) * e;
    return root / eps * e;
}

}  // namespace

std::expected<DrtResult, std::string> drt(const std::vector<double>& freqs_hz, const std::vector<Cx>& impedances,
                                          const DrtOptions& options, const std::function<bool()>& stop) {
    const std::size_t n = freqs_hz.size();
    if (impedances.size() != n) return std::unexpected("frequencies and impedances differ in length");
    if (n < 3) return std::unexpected("the DRT needs at least 3 points, got " + std::to_string(n));
    for (std::size_t i = 0; i < n; ++i) {
        if (!(freqs_hz[i] > 0.0) || !std::isfinite(freqs_hz[i]))
            return std::unexpected("every frequency must be positive and finite for the DRT (index " +
                                   std::to_string(i) + ")");
        if (!std::isfinite(impedances[i].re) || !std::isfinite(impedances[i].im))
            return std::unexpected("every impedance must be finite for the DRT (index " + std::to_string(i) + ")");
    }
    if (options.derivative != 1 && options.derivative != 2)
        return std::unexpected("the penalised derivative must be of order 1 or 2");
    if (!(options.shape > 0.0) || !std::isfinite(options.shape))
        return std::unexpected("the RBF shape coefficient must be positive and finite");
    if (options.lambda && (!(*options.lambda > 0.0) || !std::isfinite(*options.lambda)))
        return std::unexpected("lambda must be positive and finite");
    if (options.max_centres < 3) return std::unexpected("max_centres must be at least 3");
    if (!(options.gcv_rho >= 1.0) || !std::isfinite(options.gcv_rho))
        return std::unexpected("the GCV factor rho must be at least 1");
    if (!(options.gcv_robust > 0.0) || !(options.gcv_robust <= 1.0))
        return std::unexpected("the robust GCV weight must be in (0, 1]");
    if (!(options.gcv_robust_decades >= 0.0) || !std::isfinite(options.gcv_robust_decades))
        return std::unexpected("the robust GCV margin must be finite and not negative");
    if (!(options.gcv_grid_step >= 0.1) || !(options.gcv_grid_step <= 11.0))
        return std::unexpected("the GCV grid step must be 0.1 ... 11 decades");
    if (!(options.correlated_lambda_max > 0.0) || !std::isfinite(options.correlated_lambda_max))
        return std::unexpected("the largest raised lambda must be positive and finite");

    std::vector<double> sorted = freqs_hz;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t distinct =
        static_cast<std::size_t>(std::unique(sorted.begin(), sorted.end()) - sorted.begin());
    if (distinct < 2) return std::unexpected("the DRT needs at least 2 different frequencies");
    const double two_pi = 2.0 * std::numbers::pi;
    const double f_lo = sorted.front(), f_hi = sorted[distinct - 1];
    // Mean spacing of ln tau between measured frequencies; the grid spans
    // 1/(2 pi f_max) ... 1/(2 pi f_min) and half a decade more on each side.
    const double spacing = std::log(f_hi / f_lo) / static_cast<double>(distinct - 1);
    const double y_lo = -std::log(two_pi * f_hi) - 0.5 * kLn10;
    const double y_hi = -std::log(two_pi * f_lo) + 0.5 * kLn10;
    std::size_t m = static_cast<std::size_t>(std::llround((y_hi - y_lo) / spacing)) + 1;
    m = std::clamp<std::size_t>(m, 3, options.max_centres);
    const double dy = (y_hi - y_lo) / static_cast<double>(m - 1);
    // Gaussian FWHM = 2 sqrt(ln 2) / eps = dy / shape.
    const double eps = options.shape * 2.0 * std::sqrt(std::numbers::ln2) / dy;

    double zmax = 0.0;
    for (const auto& z : impedances) zmax = std::max(zmax, std::hypot(z.re, z.im));
    if (!(zmax > 0.0)) return std::unexpected("every impedance is zero: there is nothing to fit");
    std::vector<double> weight(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double mod = std::hypot(impedances[i].re, impedances[i].im);
        if (options.weighting == DrtWeighting::Modulus) {
            if (!(mod > 0.0)) return std::unexpected("modulus weighting needs every impedance nonzero (index " +
                                                     std::to_string(i) + ")");
            weight[i] = 1.0 / mod;
        } else {
            weight[i] = 1.0 / zmax;
        }
    }

    const bool use_re = options.part != DrtPart::Imag, use_im = options.part != DrtPart::Real;
    const bool fit_rinf = use_re;
    const bool fit_l = options.inductance && use_im;
    const std::size_t rows = (use_re ? n : 0) + (use_im ? n : 0);
    const std::size_t col_r = m, col_l = m + (fit_rinf ? 1 : 0);
    const std::size_t p = m + (fit_rinf ? 1 : 0) + (fit_l ? 1 : 0);

    // Design matrix, row-major rows x p; RBF columns in units of zmax.
    const RbfQuadrature quad(eps);
    std::vector<double> a(rows * p, 0.0), b(rows, 0.0);
    std::vector<double> omega(n);
    std::vector<Cx> basis(n * m);
    const auto stopped = [&] { return stop && stop(); };
    for (std::size_t i = 0; i < n; ++i) {
        if (i % 16 == 0 && stopped()) return std::unexpected("interrupted");
        omega[i] = two_pi * freqs_hz[i];
        const double lw = std::log(omega[i]);
        for (std::size_t k = 0; k < m; ++k)
            basis[i * m + k] = quad(lw + y_lo + dy * static_cast<double>(k), eps);
    }
    {
        std::size_t row = 0;
        if (use_re) {
            for (std::size_t i = 0; i < n; ++i, ++row) {
                for (std::size_t k = 0; k < m; ++k) a[row * p + k] = weight[i] * zmax * basis[i * m + k].re;
                if (fit_rinf) a[row * p + col_r] = weight[i];
                b[row] = weight[i] * impedances[i].re;
            }
        }
        if (use_im) {
            for (std::size_t i = 0; i < n; ++i, ++row) {
                for (std::size_t k = 0; k < m; ++k) a[row * p + k] = -weight[i] * zmax * basis[i * m + k].im;
                if (fit_l) a[row * p + col_l] = weight[i] * omega[i];
                b[row] = weight[i] * impedances[i].im;
            }
        }
    }
    // R_inf and L columns scaled to unit norm (L's column can be many orders
    // of magnitude larger than the others); undone after the solve.
    std::vector<double> colscale(p, 1.0);
    for (std::size_t k = m; k < p; ++k) {
        double s = 0.0;
        for (std::size_t r = 0; r < rows; ++r) s += a[r * p + k] * a[r * p + k];
        s = std::sqrt(s);
        if (s > 0.0) {
            colscale[k] = 1.0 / s;
            for (std::size_t r = 0; r < rows; ++r) a[r * p + k] /= s;
        }
    }

    // Normal equations K = A'A, c = A'b and the penalty Omega (RBF block only).
    std::vector<double> kmat(p * p, 0.0), c(p, 0.0), omega_pen(p * p, 0.0);
    for (std::size_t r = 0; r < rows; ++r) {
        if (r % 16 == 0 && stopped()) return std::unexpected("interrupted");
        const double* row = &a[r * p];
        for (std::size_t i = 0; i < p; ++i) {
            if (row[i] == 0.0) continue;
            c[i] += row[i] * b[r];
            for (std::size_t j = i; j < p; ++j) kmat[i * p + j] += row[i] * row[j];
        }
    }
    for (std::size_t i = 0; i < p; ++i)
        for (std::size_t j = 0; j < i; ++j) kmat[i * p + j] = kmat[j * p + i];
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < m; ++j)
            omega_pen[i * p + j] = penalty_entry(dy * (static_cast<double>(i) - static_cast<double>(j)), eps,
                                                 options.derivative);

    DrtResult out;
    auto gram = [&](double lambda) {
        std::vector<double> g = kmat;
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t j = 0; j < m; ++j) g[i * p + j] += lambda * omega_pen[i * p + j];
        return g;
    };
    // GCV(lambda) = rows |b - A x|^2 / (rows - rho trace H)^2 for the
    // unconstrained minimiser x. With A = Q R (Householder, once; R is
    // r x p upper trapezoidal, r = min(rows, p)) and G = A'A + lambda Omega
    // = L L': trace H = |L^{-1} R'|_F^2 and |b - A x|^2 = |b|^2 - |Q'b|^2
    // + |Q'b - R x|^2, so each lambda costs two p^3/6 steps.
    const std::size_t rr = std::min(rows, p);
    std::vector<double> rfac(rr * p, 0.0), qtb(rr, 0.0);
    double b_norm2 = 0.0, qtb_norm2 = 0.0;
    if (!options.lambda) {
        std::vector<double> h = a, hb = b, v(rows);
        for (std::size_t k = 0; k < rr; ++k) {
            if (k % 8 == 0 && stopped()) return std::unexpected("interrupted");
            double norm2 = 0.0;
            for (std::size_t r = k; r < rows; ++r) norm2 += h[r * p + k] * h[r * p + k];
            const double norm = std::sqrt(norm2);
            if (norm == 0.0) continue;
            const double alpha = h[k * p + k] > 0.0 ? -norm : norm;
            double vnorm2 = 0.0;
            for (std::size_t r = k; r < rows; ++r) {
                v[r] = h[r * p + k] - (r == k ? alpha : 0.0);
                vnorm2 += v[r] * v[r];
            }
            if (vnorm2 == 0.0) continue;
            for (std::size_t j = k; j < p; ++j) {
                double dot = 0.0;
                for (std::size_t r = k; r < rows; ++r) dot += v[r] * h[r * p + j];
                const double f = 2.0 * dot / vnorm2;
                for (std::size_t r = k; r < rows; ++r) h[r * p + j] -= f * v[r];
            }
            double dot = 0.0;
            for (std::size_t r = k; r < rows; ++r) dot += v[r] * hb[r];
            const double f = 2.0 * dot / vnorm2;
            for (std::size_t r = k; r < rows; ++r) hb[r] -= f * v[r];
        }
        for (std::size_t i = 0; i < rr; ++i) {
            for (std::size_t j = i; j < p; ++j) rfac[i * p + j] = h[i * p + j];
            qtb[i] = hb[i];
            qtb_norm2 += hb[i] * hb[i];
        }
        for (double v2 : b) b_norm2 += v2 * v2;
    }
    // The plain (or modified) score, or with `robust` Lukas' robust score
    // of weight options.gcv_robust.
    auto gcv_score = [&](double lambda, bool robust) -> double {
        if (stopped()) return INFINITY;
        std::vector<double> g = gram(lambda);
        if (!cholesky_with_ridge(g, p)) return INFINITY;
        std::vector<double> x = c;
        cholesky_solve(g, p, x.data());
        double rss = std::max(0.0, b_norm2 - qtb_norm2);
        for (std::size_t i = 0; i < rr; ++i) {
            double s = qtb[i];
            for (std::size_t j = i; j < p; ++j) s -= rfac[i * p + j] * x[j];
            rss += s * s;
        }
        // Column i of R' is row i of R, zero above entry i: forward
        // substitution L y = R'e_i from entry i on.
        double trace = 0.0;
        // The columns y_i = L^{-1} R'e_i, kept for trace(H^2) = |Y'Y|_F^2
        // (H = Q Y'Y Q') when the robust score needs it.
        std::vector<double> ys(robust ? rr * p : 0, 0.0);
        std::vector<double> col(p);
        for (std::size_t i = 0; i < rr; ++i) {
            // An interrupted score is never the best; the caller's next
            // check of `stop` then ends the search.
            if (i % 16 == 0 && stopped()) return INFINITY;
            std::fill(col.begin(), col.begin() + static_cast<std::ptrdiff_t>(i), 0.0);
            for (std::size_t k = i; k < p; ++k) {
                double s = rfac[i * p + k];
                for (std::size_t t = i; t < k; ++t) s -= g[k * p + t] * col[t];
                col[k] = s / g[k * p + k];
                trace += col[k] * col[k];
            }
            if (robust) std::copy(col.begin(), col.end(), ys.begin() + static_cast<std::ptrdiff_t>(i * p));
        }
        const double dof = static_cast<double>(rows) - options.gcv_rho * trace;
        if (!(dof > 0.0)) return INFINITY;
        double factor = 1.0;
        if (robust) {
            double trace2 = 0.0;
            for (std::size_t i = 0; i < rr; ++i) {
                if (i % 16 == 0 && stopped()) return INFINITY;
                for (std::size_t j = i; j < rr; ++j) {
                    double s = 0.0;
                    // y_i is zero above entry i, y_j above entry j >= i
                    for (std::size_t k = j; k < p; ++k) s += ys[i * p + k] * ys[j * p + k];
                    trace2 += (i == j ? 1.0 : 2.0) * s * s;
                }
            }
            factor = options.gcv_robust + (1.0 - options.gcv_robust) * trace2 / static_cast<double>(rows);
        }
        return factor * static_cast<double>(rows) * rss / (dof * dof);
    };

    auto gcv = [&](double lambda) { return gcv_score(lambda, false); };
    double lambda = 0.0;
    if (options.lambda) {
        lambda = *options.lambda;
    } else {
        // A grid of decades, then a golden-section search in log lambda
        // around its best point.
        constexpr double lo_exp = -10.0, hi_exp = 1.0;
        const double grid_step = options.gcv_grid_step;
        const bool guarded = options.gcv_robust < 1.0;
        std::size_t best = 0;
        for (double e = lo_exp; e <= hi_exp + 1e-9; e += grid_step) {
            if (stop && stop()) return std::unexpected("interrupted");
            const double l = std::pow(10.0, e);
            out.gcv_lambdas.push_back(l);
            out.gcv_scores.push_back(gcv(l));
            if (out.gcv_scores.back() < out.gcv_scores[best]) best = out.gcv_scores.size() - 1;
        }
        const double ratio = (std::sqrt(5.0) - 1.0) / 2.0;
        // Golden-section steps around grid point `at` for the score `f`.
        auto refine = [&](std::size_t at, double at_score, const auto& f, std::size_t steps) -> double {
            double lo = std::max(std::log10(out.gcv_lambdas[at]) - grid_step, lo_exp);
            double hi = std::min(std::log10(out.gcv_lambdas[at]) + grid_step, hi_exp);
            double x1 = hi - ratio * (hi - lo), x2 = lo + ratio * (hi - lo);
            double f1 = f(std::pow(10.0, x1)), f2 = f(std::pow(10.0, x2));
            for (std::size_t it = 0; it < steps; ++it) {
                if (stop && stop()) return NAN;
                if (f1 <= f2) {
                    hi = x2;
                    x2 = x1;
                    f2 = f1;
                    x1 = hi - ratio * (hi - lo);
                    f1 = f(std::pow(10.0, x1));
                } else {
                    lo = x1;
                    x1 = x2;
                    f1 = f2;
                    x2 = lo + ratio * (hi - lo);
                    f2 = f(std::pow(10.0, x2));
                }
            }
            double best_exp = f1 <= f2 ? x1 : x2;
            if (std::min(f1, f2) > at_score) best_exp = std::log10(out.gcv_lambdas[at]);
            return best_exp;
        };
        double best_exp = refine(best, out.gcv_scores[best], gcv, options.gcv_steps);
        if (std::isnan(best_exp)) return std::unexpected("interrupted");
        // GCV's curve is often flat over decades of lambda, and its minimum
        // then can fall far below the lambda that smooths the noise away
        // (gamma splits into spurious peaks). The robust score is searched
        // on the grid points more than a decade above the GCV choice (its
        // minimum cannot lie options.gcv_robust_decades above that choice
        // otherwise, short of a refinement beyond a decade); its minimum
        // there replaces the GCV choice when the robust score prefers it to
        // that choice and it lies more than options.gcv_robust_decades
        // above it.
        if (guarded) {
            auto robust = [&](double l) { return gcv_score(l, true); };
            std::size_t robust_best = out.gcv_lambdas.size();
            double robust_min = INFINITY;
            for (std::size_t i = 0; i < out.gcv_lambdas.size(); ++i) {
                if (!(std::log10(out.gcv_lambdas[i]) > best_exp + 1.0)) continue;
                if (stop && stop()) return std::unexpected("interrupted");
                const double score = robust(out.gcv_lambdas[i]);
                if (score < robust_min) robust_min = score, robust_best = i;
            }
            // Refined only when the robust score already prefers that grid
            // point to the GCV choice (rarely: a flat GCV curve).
            const double at_choice = robust_best < out.gcv_lambdas.size() ? robust(std::pow(10.0, best_exp)) : 0.0;
            if (robust_best < out.gcv_lambdas.size() && robust_min < at_choice) {
                const double robust_exp = refine(robust_best, robust_min, robust, options.gcv_steps);
                if (std::isnan(robust_exp)) return std::unexpected("interrupted");
                if (robust_exp > best_exp + options.gcv_robust_decades) best_exp = robust_exp;
            }
        }
        lambda = std::pow(10.0, best_exp);
    }

    std::vector<bool> free(p, false);
    if (fit_l) free[col_l] = true;
    auto x = nnls_gram(gram(lambda), c, p, free, stop);
    if (!x) {
        if (stop && stop()) return std::unexpected("interrupted");
        return std::unexpected("the non-negative least squares solver failed (singular system)");
    }
    if (!options.lambda) out.lambda_gcv = lambda;
    if (!options.lambda && options.correlated_residuals) {
        // GCV assumes independent errors. A measured spectrum's residual is
        // mostly systematic (drift, non-ideal elements, the instrument),
        // correlated between neighbouring frequencies, and GCV then fits it
        // with a train of narrow peaks at a tiny lambda (a non-negative fit
        // with negligible regularisation is sparse). Positive correlation
        // at the GCV choice (above two standard errors of a white
        // residual's, 2 / sqrt(rows)) marks that case; lambda is then raised
        // while the residual sum of squares stays within the variance
        // inflation (1 + r) / (1 - r) of an AR(1) error with the lag-1
        // correlation r of the residual at the raised lambda. The raise
        // stops at correlated_lambda_max (1e-2 by default: below what GCV
        // picks for independent noise of 1 % of |Z| on one or two arcs,
        // 0.016 ... 0.17, so the raise never smooths more than such noise
        // would).
        std::vector<std::size_t> order(n);
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::sort(order.begin(), order.end(),
                  [&](std::size_t i, std::size_t j) { return freqs_hz[i] < freqs_hz[j]; });
        const std::size_t blocks = (use_re ? 1 : 0) + (use_im ? 1 : 0);
        // The sum of squares and the lag-1 autocorrelation (neighbours in
        // frequency, within the real and within the imaginary rows) of the
        // weighted residual of the scaled solution xs.
        auto residual_stats = [&](const std::vector<double>& xs, double& rss, double& corr) {
            std::vector<double> r(rows);
            for (std::size_t row = 0; row < rows; ++row) {
                double s = b[row];
                for (std::size_t k = 0; k < p; ++k) s -= a[row * p + k] * xs[k];
                r[row] = s;
            }
            double ss = 0.0, lag = 0.0;
            for (std::size_t blk = 0; blk < blocks; ++blk) {
                const double* rb = &r[blk * n];
                for (std::size_t q = 0; q < n; ++q) {
                    const double v = rb[order[q]];
                    ss += v * v;
                    if (q > 0) lag += v * rb[order[q - 1]];
                }
            }
            rss = ss;
            corr = ss > 0.0 ? lag / ss : 0.0;
        };
        double rss0 = 0.0, corr0 = 0.0;
        residual_stats(*x, rss0, corr0);
        out.residual_correlation = corr0;
        if (corr0 > 2.0 / std::sqrt(static_cast<double>(rows)) && rss0 > 0.0 &&
            lambda < options.correlated_lambda_max) {
            auto inflation = [](double r) {
                r = std::clamp(r, 0.0, 0.95);
                return (1.0 + r) / (1.0 - r);
            };
            // 1: accepted (xs holds the solution), 0: rejected, -1: failed.
            auto try_exponent = [&](double e, std::vector<double>& xs) -> int {
                auto trial = nnls_gram(gram(std::pow(10.0, e)), c, p, free, stop, &xs);
                if (!trial) return -1;
                double rss = 0.0, corr = 0.0;
                residual_stats(*trial, rss, corr);
                if (!(rss <= inflation(corr) * rss0)) return 0;
                xs = std::move(*trial);
                return 1;
            };
            constexpr double step = 0.5;
            const double max_exp = std::log10(options.correlated_lambda_max);
            const double start = std::log10(lambda);
            double good = start, bad = NAN;
            std::vector<double> good_x = *x;
            bool failed = false;
            while (good < max_exp) {
                const double e = std::min(good + step, max_exp);
                const int t = try_exponent(e, good_x);
                if (t < 0) {
                    failed = true;
                    break;
                }
                if (t == 0) {
                    bad = e;
                    break;
                }
                good = e;
            }
            // Bisection in log lambda between the last accepted and the
            // first rejected value.
            for (int it = 0; it < 3 && !failed && std::isfinite(bad); ++it) {
                const double mid = 0.5 * (good + bad);
                const int t = try_exponent(mid, good_x);
                if (t < 0) failed = true;
                else if (t == 0) bad = mid;
                else good = mid;
            }
            if (failed && stop && stop()) return std::unexpected("interrupted");
            if (good > start) {
                lambda = std::pow(10.0, good);
                *x = std::move(good_x);
            }
        }
    }
    out.lambda = lambda;
    for (std::size_t k = 0; k < p; ++k) (*x)[k] *= colscale[k];

    out.epsilon = eps;
    out.coefficients.resize(m);
    out.centres.resize(m);
    for (std::size_t k = 0; k < m; ++k) {
        out.coefficients[k] = (*x)[k] * zmax;
        out.centres[k] = std::exp(y_lo + dy * static_cast<double>(k));
    }
    out.inductance = fit_l ? (*x)[col_l] : 0.0;
    out.z_fit.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        Cx z{0.0, omega[i] * out.inductance};
        for (std::size_t k = 0; k < m; ++k) {
            z.re += out.coefficients[k] * basis[i * m + k].re;
            z.im -= out.coefficients[k] * basis[i * m + k].im;
        }
        out.z_fit[i] = z;
    }
    if (fit_rinf) {
        out.r_inf = (*x)[col_r];
    } else {
        // Fitting the imaginary part leaves R_inf undetermined: the weighted
        // mean of what the real part leaves over (at least 0).
        double num = 0.0, den = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            num += weight[i] * weight[i] * (impedances[i].re - out.z_fit[i].re);
            den += weight[i] * weight[i];
        }
        out.r_inf = std::max(0.0, num / den);
    }
    for (auto& z : out.z_fit) z.re += out.r_inf;

    const std::size_t fine = std::max<std::size_t>(1, options.samples_per_centre);
    const std::size_t count = (m - 1) * fine + 1;
    out.tau.resize(count);
    out.gamma.resize(count);
    for (std::size_t q = 0; q < count; ++q) {
        const double y = y_lo + dy * static_cast<double>(q) / static_cast<double>(fine);
        double s = 0.0;
        for (std::size_t k = 0; k < m; ++k) {
            const double d = eps * (y - (y_lo + dy * static_cast<double>(k)));
            if (std::fabs(d) < 8.0) s += out.coefficients[k] * std::exp(-d * d);
        }
        out.tau[q] = std::exp(y);
        out.gamma[q] = s;
    }
    return out;
}

}  // namespace velotz
