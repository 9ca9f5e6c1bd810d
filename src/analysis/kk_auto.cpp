// The automatic linear Kramers-Kronig test: the number of RC elements chosen
// by cross-validation, the noise level estimated from the residuals, and the
// points and frequency ranges that stand out from that noise.
//
// Why not the mu criterion: mu = 1 - sum|R_k < 0| / sum|R_k >= 0| measures
// how much the RC basis has begun to oscillate, not how well it describes the
// spectrum. On measured spectra it often drops below its cutoff at three or
// four elements, long before the basis can follow a depressed arc. Letting
// the residuals alone choose M goes wrong the other way: with enough elements
// the basis absorbs corrupted points and drifting ends. Cross-validation sits
// between the two: each M is judged by how well the fit predicts each point
// from the others (leave one point out, both parts at once), which rewards
// following real structure and punishes bending towards single points. The
// largest tenth of the prediction errors is left out of the score, so a few
// corrupted points do not pull M down to one element.
//
// With M chosen, the residuals (Z - Z_fit)/|Z| of a valid spectrum are noise.
// The noise level is estimated from the differences of neighbouring residuals
// (in frequency order), which a smooth systematic deviation hardly changes; a
// point stands out when its residual exceeds kOutlierFactor times that level,
// and a frequency range deviates systematically when the mean residual over
// 5, 9 or 17 neighbouring points exceeds kSystematicFactor times the level
// expected of such a mean. Deviations below the tolerance never count.
//
// The least squares: the columns are scaled to unit norm, factored A P = QR
// by Householder reflections with column pivoting, and R's singular value
// decomposition is computed by one-sided Jacobi rotations (accurate even for
// the small singular values of a dense RC basis). Singular values below
// kRcond times the largest are dropped: dependent columns get no weight
// instead of huge opposite ones. The leave-one-point-out errors come from the
// 2 x 2 blocks of the hat matrix U U^T.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <numeric>

#include "analysis/analysis.hpp"
#include "util/interrupt.hpp"

namespace velotz {
namespace {

// Decades by which the time constants reach below 1/omega_max and above
// 1/omega_min. An arc whose peak lies just above the highest frequency still
// shapes the measured flank; at the low-frequency end the series capacitance
// takes that role, and a basis reaching beyond it would absorb drift (the
// slow points take most of the measuring time).
constexpr double kTauBelow = 0.5;
constexpr double kTauAbove = 0.0;
// Share of the largest leave-one-out errors left out of the score.
constexpr double kTrim = 0.1;
constexpr double kOutlierFactor = 5.0;
constexpr double kSystematicFactor = 4.5;
// On long spectra the factors grow so that pure noise is flagged somewhere
// in at most this share of spectra (a normal quantile over the values
// tested); below about 10^4 points the fixed factors are the larger ones.
constexpr double kFalseAlarm = 0.01;
const std::vector<std::size_t> kSystematicWindows = {5, 9, 17};
// The score of a basis that has begun to follow the noise rises with M; the
// search stops this many elements past the best M found so far.
constexpr std::size_t kPatience = 12;
// Points on which M is scored at most (long spectra: every k-th point).
constexpr std::size_t kScorePoints = 1000;
// Rounds of leaving out the points that stand out and testing again.
constexpr int kMaxRounds = 5;
// Relative singular-value cutoff of the least squares.
constexpr double kRcond = 1e-12;

double factor_for(double base, std::size_t values_tested) {
    const double count = static_cast<double>(std::max<std::size_t>(values_tested, 1));
    return std::max(base, normal_quantile(1.0 - kFalseAlarm / (2.0 * count)));
}

// Time constants of M elements: log-uniform from kTauBelow decades below
// 1/omega_max to kTauAbove above 1/omega_min (one element: the longest).
std::vector<double> auto_time_constants(double omega_min, double omega_max, std::size_t m) {
    const double lo = std::log10(1.0 / omega_max) - kTauBelow;
    const double hi = std::log10(1.0 / omega_min) + kTauAbove;
    if (m == 1) return {std::pow(10.0, hi)};
    std::vector<double> t(m);
    const double step = (hi - lo) / static_cast<double>(m - 1);
    for (std::size_t k = 0; k + 1 < m; ++k) t[k] = std::pow(10.0, static_cast<double>(k) * step + lo);
    t[m - 1] = std::pow(10.0, hi);
    return t;
}

// The test circuit's design matrix over the points `rows` (indices into
// omega/z), divided by |Z|: real parts in rows [0, n), imaginary parts in
// [n, 2n), column-major. Columns: series R, the RC elements, then a series
// capacitance and inductance in units that keep them within [0, 1] in
// magnitude, omega_lo/C and L*omega_hi (1/(j omega C) and j omega L overflow
// on spectra spanning hundreds of decades).
struct Design {
    std::vector<double> a;
    std::vector<double> b;
    std::size_t rows = 0;
    std::size_t cols = 0;
};

Design design(const std::vector<double>& omega, const std::vector<Cx>& z, const std::vector<double>& mod,
              const std::vector<std::size_t>& rows, const std::vector<double>& taus, double omega_lo,
              double omega_hi, bool add_c, bool add_l) {
    const std::size_t n = rows.size();
    const std::size_t m = taus.size();
    Design d;
    d.rows = 2 * n;
    d.cols = 1 + m + (add_c ? 1 : 0) + (add_l ? 1 : 0);
    d.a.assign(d.rows * d.cols, 0.0);
    d.b.resize(d.rows);
    // Column by column: each is written in one pass over memory.
    std::vector<double> inv(n);
    for (std::size_t r = 0; r < n; ++r) {
        const std::size_t i = rows[r];
        inv[r] = 1.0 / mod[i];
        d.a[r] = inv[r];
        d.b[r] = z[i].re / mod[i];
        d.b[n + r] = z[i].im / mod[i];
    }
    for (std::size_t k = 0; k < m; ++k) {
        interruption_point();
        double* re_col = d.a.data() + (1 + k) * d.rows;
        double* im_col = re_col + n;
        for (std::size_t r = 0; r < n; ++r) {
            // 1/(1 + j x), x = omega tau, written so that x = 0 or inf gives
            // the limits instead of NaN.
            const double x = omega[rows[r]] * taus[k];
            re_col[r] = 1.0 / (1.0 + x * x) * inv[r];
            im_col[r] = -1.0 / (x + 1.0 / x) * inv[r];
        }
    }
    std::size_t c = 1 + m;
    if (add_c) {
        double* col = d.a.data() + (c++) * d.rows + n;
        for (std::size_t r = 0; r < n; ++r) col[r] = -(omega_lo / omega[rows[r]]) * inv[r];
    }
    if (add_l) {
        double* col = d.a.data() + c * d.rows + n;
        for (std::size_t r = 0; r < n; ++r) col[r] = (omega[rows[r]] / omega_hi) * inv[r];
    }
    return d;
}

// Sum of x[i] y[i], in four interleaved partial sums: a single running sum
// waits for each addition before the next, four keep the adder busy.
double dot(const double* x, const double* y, std::size_t n) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += x[i] * y[i];
        s1 += x[i + 1] * y[i + 1];
        s2 += x[i + 2] * y[i + 2];
        s3 += x[i + 3] * y[i + 3];
    }
    for (; i < n; ++i) s0 += x[i] * y[i];
    return (s0 + s1) + (s2 + s3);
}

}  // namespace

// x minimising |A x - b| (truncated SVD, columns scaled to unit norm), and
// when asked the leave-one-out errors: leaving out point i (its real and
// imaginary rows) the prediction error is (I - H_ii)^-1 r_i with H_ii the
// 2 x 2 block of the hat matrix U U^T.
//
// The SVD (Drmac & Veselic, SIAM J. Matrix Anal. Appl. 29 (2008) 1322): A P =
// Q R by Householder QR with column pivoting, then one-sided Jacobi rotations
// J on the columns of R^T until they are orthogonal, R^T J = W. So R = J W^T,
// the singular values are the column norms of W, the left singular vectors
// of A are Q J and the right ones P W / sigma. Pivoting makes R graded, and
// Jacobi on R^T then needs few sweeps. Most bases are far enough from the
// cutoff that no singular value is dropped; then the SVD is not needed.

KkLooSolution kk_solve_loo(std::vector<double> a, const std::vector<double>& rhs, std::size_t rows,
                           std::size_t p, bool want_loo) {
    const std::size_t n = rows / 2;
    std::vector<double> scale(p, 1.0);
    for (std::size_t k = 0; k < p; ++k) {
        interruption_point();
        double ss = 0.0;
        for (std::size_t i = 0; i < rows; ++i) ss += a[k * rows + i] * a[k * rows + i];
        const double s = std::sqrt(ss);
        if (s != 0.0) scale[k] = s;
        for (std::size_t i = 0; i < rows; ++i) a[k * rows + i] /= scale[k];
    }
    std::vector<double> scaled;  // kept for the residuals of the leave-one-out errors
    if (want_loo) scaled = a;

    // Householder QR with column pivoting: reflector k is v = (1, a[k+1..rows)
    // of column k) with factor tau[k]; R is left in the upper triangle;
    // column k of the factored matrix is column perm[k] of A.
    const std::size_t steps = std::min(p, rows);
    std::vector<double> tau(steps, 0.0), rdiag(steps, 0.0);
    std::vector<std::size_t> perm(p);
    std::iota(perm.begin(), perm.end(), std::size_t{0});
    auto reflect = [&](std::size_t k, double* y) {
        if (tau[k] == 0.0) return;
        const double* v = a.data() + k * rows;
        double s = (y[k] + dot(v + k + 1, y + k + 1, rows - k - 1)) * tau[k];
        y[k] -= s;
        for (std::size_t i = k + 1; i < rows; ++i) y[i] -= s * v[i];
    };
    for (std::size_t k = 0; k < steps; ++k) {
        // The remaining column with the largest norm below row k goes next.
        std::size_t pick = k;
        double pick_ss = -1.0;
        for (std::size_t j = k; j < p; ++j) {
            interruption_point();
            const double ss = dot(a.data() + j * rows + k, a.data() + j * rows + k, rows - k);
            if (ss > pick_ss) {
                pick_ss = ss;
                pick = j;
            }
        }
        if (pick != k) {
            std::swap_ranges(a.begin() + static_cast<std::ptrdiff_t>(k * rows),
                             a.begin() + static_cast<std::ptrdiff_t>((k + 1) * rows),
                             a.begin() + static_cast<std::ptrdiff_t>(pick * rows));
            std::swap(perm[k], perm[pick]);
        }
        double* col = a.data() + k * rows;
        double big = 0.0;
        for (std::size_t i = k; i < rows; ++i) big = std::max(big, std::fabs(col[i]));
        if (big == 0.0) break;  // the rest is zero: R's remaining rows vanish
        double ss = 0.0;
        for (std::size_t i = k; i < rows; ++i) ss += (col[i] / big) * (col[i] / big);
        const double norm = big * std::sqrt(ss);
        const double beta = -std::copysign(norm, col[k]);
        tau[k] = (beta - col[k]) / beta;
        const double inv = 1.0 / (col[k] - beta);
        for (std::size_t i = k + 1; i < rows; ++i) col[i] *= inv;
        rdiag[k] = beta;
        for (std::size_t j = k + 1; j < p; ++j) {
            interruption_point();  // each costs O(rows): long spectra take a while
            reflect(k, a.data() + j * rows);
        }
    }
    // c = Q^T b.
    std::vector<double> qb = rhs;
    for (std::size_t k = 0; k < steps; ++k) reflect(k, qb.data());
    auto r_at = [&](std::size_t i, std::size_t j) { return i == j ? rdiag[i] : a[j * rows + i]; };

    // When R is certainly far from the cutoff (1 / |R^-1|_F <= sigma_min and
    // sigma_max <= |R|_F, with a margin of 10 for rounding), no singular
    // value is dropped and the truncated SVD solution is the plain one:
    // x = R^-1 c, hat matrix Q_1 Q_1^T. Otherwise the SVD is computed.
    bool plain = steps == p;
    for (std::size_t k = 0; plain && k < p; ++k) plain = rdiag[k] != 0.0;
    if (plain) {
        double r_norm2 = 0.0, inv_norm2 = 0.0;
        for (std::size_t j = 0; j < p; ++j)
            for (std::size_t i = 0; i <= j; ++i) r_norm2 += r_at(i, j) * r_at(i, j);
        std::vector<double> y(p);
        for (std::size_t j = 0; j < p; ++j) {  // column j of R^-1
            y[j] = 1.0 / rdiag[j];
            inv_norm2 += y[j] * y[j];
            for (std::size_t i = j; i-- > 0;) {
                double sum = 0.0;
                for (std::size_t k = i + 1; k <= j; ++k) sum += a[k * rows + i] * y[k];
                y[i] = -sum / rdiag[i];
                inv_norm2 += y[i] * y[i];
            }
        }
        plain = std::isfinite(inv_norm2) && 1.0 / std::sqrt(inv_norm2) > 10.0 * kRcond * std::sqrt(r_norm2);
    }
    std::vector<double> xp(p, 0.0);
    // Dropped left singular vectors of R (columns of J), steps values each.
    std::vector<std::vector<double>> dropped;
    if (plain) {
        for (std::size_t i = p; i-- > 0;) {
            double sum = qb[i];
            for (std::size_t k = i + 1; k < p; ++k) sum -= a[k * rows + i] * xp[k];
            xp[i] = sum / rdiag[i];
        }
    } else {
        // G = R^T (p x steps, column-major: column i of G is row i of R),
        // and the rotations J (steps x steps).
        std::vector<double> g(p * steps, 0.0), jr(steps * steps, 0.0);
        for (std::size_t i = 0; i < steps; ++i) {
            for (std::size_t j = i; j < p; ++j) g[i * p + j] = r_at(i, j);
            jr[i * steps + i] = 1.0;
        }
        constexpr double eps = std::numeric_limits<double>::epsilon();
        std::vector<double> norm2(steps);
        for (int sweep = 0; sweep < 80; ++sweep) {
            interruption_point();
            for (std::size_t j = 0; j < steps; ++j) norm2[j] = dot(g.data() + j * p, g.data() + j * p, p);
            bool rotated = false;
            for (std::size_t j = 0; j + 1 < steps; ++j) {
                double* gj = g.data() + j * p;
                double* jj = jr.data() + j * steps;
                for (std::size_t k = j + 1; k < steps; ++k) {
                    const double alpha = norm2[j], beta = norm2[k];
                    if (alpha == 0.0 || beta == 0.0) continue;
                    double* gk = g.data() + k * p;
                    const double gamma = dot(gj, gk, p);
                    if (!(std::fabs(gamma) > eps * std::sqrt(alpha) * std::sqrt(beta))) continue;
                    rotated = true;
                    const double zeta = (beta - alpha) / (2.0 * gamma);
                    // t = tan of the rotation angle, the smaller root of
                    // t^2 + 2 zeta t - 1 = 0 (zeta^2 would overflow beyond 1e150).
                    const double az = std::fabs(zeta);
                    const double root = az < 1e150 ? std::sqrt(1.0 + az * az) : az;
                    const double t = std::copysign(1.0, zeta) / (az + root);
                    const double c = 1.0 / std::sqrt(1.0 + t * t);
                    const double s = c * t;
                    for (std::size_t i = 0; i < p; ++i) {
                        const double x = gj[i], y = gk[i];
                        gj[i] = c * x - s * y;
                        gk[i] = s * x + c * y;
                    }
                    double* jk = jr.data() + k * steps;
                    for (std::size_t i = 0; i < steps; ++i) {
                        const double x = jj[i], y = jk[i];
                        jj[i] = c * x - s * y;
                        jk[i] = s * x + c * y;
                    }
                    norm2[j] = alpha - t * gamma;
                    norm2[k] = beta + t * gamma;
                }
            }
            if (!rotated) break;
        }
        std::vector<double> sv(steps);
        for (std::size_t j = 0; j < steps; ++j) sv[j] = std::sqrt(dot(g.data() + j * p, g.data() + j * p, p));
        const double smax = steps ? *std::max_element(sv.begin(), sv.end()) : 0.0;
        // x = P sum_j w_j (J_j . c) / sigma_j^2 over the kept j.
        for (std::size_t j = 0; j < steps; ++j) {
            if (!(sv[j] > kRcond * smax)) {
                dropped.emplace_back(jr.begin() + static_cast<std::ptrdiff_t>(j * steps),
                                     jr.begin() + static_cast<std::ptrdiff_t>((j + 1) * steps));
                continue;
            }
            const double coef = dot(jr.data() + j * steps, qb.data(), steps) / (sv[j] * sv[j]);
            for (std::size_t i = 0; i < p; ++i) xp[i] += coef * g[j * p + i];
        }
    }
    std::vector<double> xs(p, 0.0);
    for (std::size_t k = 0; k < p; ++k) xs[perm[k]] = xp[k];
    KkLooSolution out;
    out.x.resize(p);
    for (std::size_t k = 0; k < p; ++k) out.x[k] = xs[k] / scale[k];
    if (!want_loo) return out;

    std::vector<double> r = rhs;
    for (std::size_t k = 0; k < p; ++k) {
        interruption_point();
        if (xs[k] == 0.0) continue;
        const double* col = scaled.data() + k * rows;
        for (std::size_t i = 0; i < rows; ++i) r[i] -= col[i] * xs[k];
    }
    // The hat blocks: Q_1 Q_1^T (column j of Q_1 is H_0 ... H_j e_j; the
    // later reflections leave e_j alone), less the directions Q [J_j; 0] of
    // the dropped singular values.
    std::vector<double> h11(n, 0.0), h22(n, 0.0), h12(n, 0.0), u(rows);
    auto add = [&](double sign) {
        for (std::size_t i = 0; i < n; ++i) {
            h11[i] += sign * u[i] * u[i];
            h22[i] += sign * u[n + i] * u[n + i];
            h12[i] += sign * u[i] * u[n + i];
        }
    };
    for (std::size_t j = 0; j < steps; ++j) {
        interruption_point();
        std::fill(u.begin(), u.end(), 0.0);
        u[j] = 1.0;
        for (std::size_t k = j + 1; k-- > 0;) reflect(k, u.data());
        add(1.0);
    }
    for (const auto& jd : dropped) {
        interruption_point();
        std::fill(u.begin(), u.end(), 0.0);
        std::copy(jd.begin(), jd.end(), u.begin());
        for (std::size_t k = steps; k-- > 0;) reflect(k, u.data());
        add(-1.0);
    }
    out.loo.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double a11 = 1.0 - h11[i], a22 = 1.0 - h22[i], a12 = -h12[i];
        const double det = a11 * a22 - a12 * a12;
        const double l1 = (a22 * r[i] - a12 * r[n + i]) / det;
        const double l2 = (a11 * r[n + i] - a12 * r[i]) / det;
        const double e = l1 * l1 + l2 * l2;
        // A point the fit reproduces exactly whatever it is (a block of the
        // hat matrix at one) cannot be predicted from the others at all.
        out.loo[i] = std::isfinite(e) ? e : std::numeric_limits<double>::infinity();
    }
    return out;
}

namespace {

// Sum of the smallest (1 - kTrim) share of the errors (at least one),
// the count rounded half to even.
double trimmed_score(std::vector<double> e) {
    std::sort(e.begin(), e.end());
    const double want = std::nearbyint(static_cast<double>(e.size()) * (1.0 - kTrim));
    const std::size_t kept = std::max<std::size_t>(1, static_cast<std::size_t>(want));
    double sum = 0.0;
    for (std::size_t i = 0; i < kept && i < e.size(); ++i) sum += e[i];
    return sum;
}

double median_of(std::vector<double> v) {
    const std::size_t n = v.size();
    const std::size_t mid = n / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
    const double upper = v[mid];
    if (n % 2) return upper;
    const double lower = *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid));
    return (lower + upper) / 2.0;
}

struct Spectrum {
    std::vector<double> f, omega, mod;
    std::vector<Cx> z;
    double omega_min = 0.0, omega_max = 0.0;
};

struct Chosen {
    std::size_t m = 0;
    std::vector<double> taus;
    std::vector<double> x;          // solution in design units
    std::vector<Cx> z_fit;
    std::vector<Cx> residuals;
    std::vector<double> scores;
};

// M chosen by the trimmed leave-one-out score on the points `used`, and that
// fit at every point. On long spectra M is scored on every k-th used point
// (about kScorePoints of them, spread evenly over the sweep): the score
// needs the shape of the spectrum, not every point of it. The chosen fit
// then uses every used point.
Chosen choose_and_fit(const Spectrum& s, const std::vector<std::size_t>& used, const KkAutoOptions& o) {
    const std::size_t stride = std::max<std::size_t>(1, (used.size() + kScorePoints - 1) / kScorePoints);
    std::vector<std::size_t> scored;
    for (std::size_t i = 0; i < used.size(); i += stride) scored.push_back(used[i]);
    double lo = INFINITY, hi = 0.0;
    for (std::size_t i : scored) {
        lo = std::min(lo, s.omega[i]);
        hi = std::max(hi, s.omega[i]);
    }
    const long extra = 1 + (o.add_capacitance ? 1 : 0) + (o.add_inductance ? 1 : 0);
    // Leaving one point out must keep more equations than unknowns.
    const long room = 2 * static_cast<long>(scored.size()) - extra - 3;
    const std::size_t m_top = static_cast<std::size_t>(std::max(1L, std::min(static_cast<long>(o.max_m), room)));
    Chosen out;
    double best_score = 0.0;
    std::size_t best_m = 0;
    for (std::size_t m = 1; m <= m_top; ++m) {
        interruption_point();
        const auto taus = auto_time_constants(s.omega_min, s.omega_max, m);
        Design d = design(s.omega, s.z, s.mod, scored, taus, lo, hi, o.add_capacitance, o.add_inductance);
        const double score = trimmed_score(kk_solve_loo(std::move(d.a), d.b, d.rows, d.cols, true).loo);
        out.scores.push_back(score);
        if (best_m == 0 || score < best_score) {
            best_score = score;
            best_m = m;
        } else if (m - best_m >= kPatience) {
            break;
        }
    }
    out.m = best_m;
    out.taus = auto_time_constants(s.omega_min, s.omega_max, best_m);
    Design d = design(s.omega, s.z, s.mod, used, out.taus, s.omega_min, s.omega_max, o.add_capacitance,
                            o.add_inductance);
    out.x = kk_solve_loo(std::move(d.a), d.b, d.rows, d.cols, false).x;
    const std::size_t n = s.f.size();
    out.z_fit.resize(n);
    out.residuals.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        interruption_point();
        // The same sum as the design's columns times x, unnormalised.
        double re = out.x[0], im = 0.0;
        for (std::size_t k = 0; k < best_m; ++k) {
            const double x = s.omega[i] * out.taus[k];
            re += out.x[1 + k] * (1.0 / (1.0 + x * x));
            im += out.x[1 + k] * (-1.0 / (x + 1.0 / x));
        }
        std::size_t c = 1 + best_m;
        if (o.add_capacitance) im += out.x[c++] * -(s.omega_min / s.omega[i]);
        if (o.add_inductance) im += out.x[c] * (s.omega[i] / s.omega_max);
        out.z_fit[i] = {re, im};
        out.residuals[i] = {(s.z[i].re - re) / s.mod[i], (s.z[i].im - im) / s.mod[i]};
    }
    return out;
}

std::vector<std::size_t> frequency_order(const std::vector<double>& f) {
    std::vector<std::size_t> order(f.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return f[a] < f[b]; });
    return order;
}

std::vector<std::pair<double, double>> ranges_of(const std::vector<double>& f_sorted, const std::vector<bool>& mask) {
    std::vector<std::pair<double, double>> out;
    std::size_t start = 0;
    bool inside = false;
    for (std::size_t i = 0; i <= mask.size(); ++i) {
        const bool here = i < mask.size() && mask[i];
        if (here && !inside) {
            start = i;
            inside = true;
        } else if (!here && inside) {
            out.emplace_back(f_sorted[start], f_sorted[i - 1]);
            inside = false;
        }
    }
    return out;
}

}  // namespace

double normal_quantile(double p) {
    const double q = p - 0.5;
    if (std::fabs(q) <= 0.425) {
        const double r = 0.180625 - q * q;
        const double num = (((((((2.5090809287301226727e+3 * r + 3.3430575583588128105e+4) * r +
                                 6.7265770927008700853e+4) * r + 4.5921953931549871457e+4) * r +
                               1.3731693765509461125e+4) * r + 1.9715909503065514427e+3) * r +
                             1.3314166789178437745e+2) * r + 3.3871328727963666080e+0) * q;
        const double den = (((((((5.2264952788528545610e+3 * r + 2.8729085735721942674e+4) * r +
                                 3.9307895800092710610e+4) * r + 2.1213794301586595867e+4) * r +
                               5.3941960214247511077e+3) * r + 6.8718700749205790830e+2) * r +
                             4.2313330701600911252e+1) * r + 1.0);
        return num / den;
    }
    double r = q <= 0.0 ? p : 1.0 - p;
    r = std::sqrt(-std::log(r));
    double num, den;
    if (r <= 5.0) {
        r -= 1.6;
        num = (((((((7.7454501427834140764e-4 * r + 2.2723844989269184583e-2) * r + 2.4178072517745061177e-1) * r +
                  1.2704582524523683826e+0) * r + 3.6478483247632046050e+0) * r + 5.7694972214606914055e+0) * r +
                4.6303378461565452959e+0) * r + 1.4234371107496835773e+0);
        den = (((((((1.0507500716444168432e-9 * r + 5.4759380849953449460e-4) * r + 1.5198666563616457197e-2) * r +
                  1.4810397642748007459e-1) * r + 6.8976733498510000455e-1) * r + 1.6763848301838038494e+0) * r +
                2.0531916266377588219e+0) * r + 1.0);
    } else {
        r -= 5.0;
        num = (((((((2.0103343992922881327e-7 * r + 2.7115555687434875782e-5) * r + 1.2426609473880784386e-3) * r +
                  2.6532189526576123093e-2) * r + 2.9656057182850489123e-1) * r + 1.7848265399172913358e+0) * r +
                5.4637849111641143699e+0) * r + 6.6579046435011037772e+0);
        den = (((((((2.0442631033899397856e-15 * r + 1.4215117583164458887e-7) * r + 1.8463183175100546818e-5) * r +
                  7.8686913114561325910e-4) * r + 1.4875361290850614853e-2) * r + 1.3692988092273580531e-1) * r +
                5.9983220655588793769e-1) * r + 1.0);
    }
    const double x = num / den;
    return q < 0.0 ? -x : x;
}

double kk_noise_level(const std::vector<Cx>& r) {
    const std::size_t n = r.size();
    if (n < 2) return 0.0;
    std::vector<double> d;
    d.reserve(2 * (n - 1));
    const double root2 = std::sqrt(2.0);
    for (std::size_t i = 1; i < n; ++i) d.push_back((r[i].re - r[i - 1].re) / root2);
    for (std::size_t i = 1; i < n; ++i) d.push_back((r[i].im - r[i - 1].im) / root2);
    const double centre = median_of(d);
    for (double& x : d) x = std::fabs(x - centre);
    return 1.4826 * median_of(std::move(d));
}

std::vector<bool> kk_runs_away(const std::vector<Cx>& r, double noise, double factor, double floor,
                               const std::vector<std::size_t>& windows) {
    const std::size_t n = r.size();
    std::vector<bool> mask(n, false);
    for (std::size_t width : windows) {
        if (n < width || width == 0) continue;
        const std::size_t half = (width - 1) / 2;
        for (int part = 0; part < 2; ++part) {
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t first = i >= half ? i - half : 0;
                const std::size_t last = std::min(n - 1, i + half);
                double sum = 0.0;
                for (std::size_t j = first; j <= last; ++j) sum += part == 0 ? r[j].re : r[j].im;
                const double count = static_cast<double>(last - first + 1);
                const double limit = std::max(factor * noise / std::sqrt(count), floor);
                if (std::fabs(sum / count) > limit)
                    for (std::size_t j = first; j <= last; ++j) mask[j] = true;
            }
        }
    }
    return mask;
}

KkStandOut kk_stand_out(const std::vector<Cx>& r, double noise, double tolerance) {
    const std::size_t n = r.size();
    KkStandOut out;
    const double limit = std::max(factor_for(kOutlierFactor, 2 * n) * noise, tolerance);
    std::vector<Cx> cleaned = r;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::max(std::fabs(r[i].re), std::fabs(r[i].im)) > limit) {
            out.outliers.push_back(i);
            cleaned[i] = {0.0, 0.0};
        }
    }
    out.systematic = kk_runs_away(cleaned, noise, factor_for(kSystematicFactor, 2 * n), tolerance, kSystematicWindows);
    // A point that stands out alone is an outlier, not a stretch.
    for (std::size_t i : out.outliers) out.systematic[i] = false;
    return out;
}

KkVerdict kk_verdict(const std::vector<double>& freqs_hz, const std::vector<Cx>& residuals, double tolerance) {
    const auto order = frequency_order(freqs_hz);
    std::vector<Cx> sorted(order.size());
    std::vector<double> f_sorted(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        sorted[i] = residuals[order[i]];
        f_sorted[i] = freqs_hz[order[i]];
    }
    KkVerdict out;
    out.noise = kk_noise_level(sorted);
    const auto so = kk_stand_out(sorted, out.noise, tolerance);
    for (std::size_t i : so.outliers) out.outliers.push_back(order[i]);
    std::sort(out.outliers.begin(), out.outliers.end());
    out.systematic = ranges_of(f_sorted, so.systematic);
    return out;
}

std::expected<KkAutoResult, std::string> kramers_kronig_auto(const std::vector<double>& freqs_hz,
                                                             const std::vector<Cx>& impedances,
                                                             const KkAutoOptions& o) {
    const std::size_t n = freqs_hz.size();
    if (n != impedances.size()) return std::unexpected("frequencies and impedances must have the same length");
    if (n == 0) return std::unexpected("frequencies and impedances must not be empty");
    if (o.max_m == 0) return std::unexpected("max_m must be at least 1");
    if (!(o.tolerance > 0.0)) return std::unexpected("tolerance must be positive");
    Spectrum s;
    s.f = freqs_hz;
    s.z = impedances;
    s.omega.resize(n);
    s.mod.resize(n);
    s.omega_min = INFINITY;
    for (std::size_t i = 0; i < n; ++i) {
        const double f = freqs_hz[i];
        if (!(f > 0.0) || !std::isfinite(f))
            return std::unexpected("every frequency must be positive and finite for the Kramers-Kronig test");
        const double mod = std::hypot(impedances[i].re, impedances[i].im);
        if (!std::isfinite(mod) || mod == 0.0)
            return std::unexpected("every impedance must be finite and nonzero for the Kramers-Kronig test");
        s.omega[i] = 2.0 * std::numbers::pi * f;
        s.mod[i] = mod;
        s.omega_min = std::min(s.omega_min, s.omega[i]);
        s.omega_max = std::max(s.omega_max, s.omega[i]);
    }
    const std::size_t extra = (o.add_capacitance ? 1 : 0) + (o.add_inductance ? 1 : 0);
    if (2 * n < 2 + extra) return std::unexpected("too few frequencies for the Kramers-Kronig test");

    // A corrupted point pulls the fit towards itself and its neighbours'
    // residuals away from zero, so the points that stand out are left out
    // and the test repeats (M chosen anew) until the set of points standing
    // out no longer changes; their residuals are then measured against the
    // fit of the others. More than a quarter of the points standing out is
    // not a few bad points: then nothing is left out.
    const auto order = frequency_order(freqs_hz);
    std::vector<bool> use(n, true);
    Chosen fit;
    KkStandOut so;
    double noise = 0.0;
    KkAutoResult out;
    for (int round = 0; round < kMaxRounds; ++round) {
        std::vector<std::size_t> used;
        for (std::size_t i = 0; i < n; ++i)
            if (use[i]) used.push_back(i);
        fit = choose_and_fit(s, used, o);
        ++out.rounds;
        std::vector<Cx> sorted_used, sorted_all(n);
        for (std::size_t k = 0; k < n; ++k) {
            sorted_all[k] = fit.residuals[order[k]];
            if (use[order[k]]) sorted_used.push_back(sorted_all[k]);
        }
        noise = kk_noise_level(sorted_used);
        so = kk_stand_out(sorted_all, noise, o.tolerance);
        std::vector<bool> flagged(n, false);
        for (std::size_t k : so.outliers) flagged[order[k]] = true;
        const std::size_t count = so.outliers.size();
        bool same = true;
        for (std::size_t i = 0; i < n; ++i) same = same && flagged[i] == !use[i];
        if (count == 0 || same || count > n / 4) break;
        if (n - count < 2) break;
        for (std::size_t i = 0; i < n; ++i) use[i] = !flagged[i];
    }

    const std::size_t m = fit.m;
    out.m = m;
    out.taus = fit.taus;
    out.r_ohm = fit.x[0];
    out.resistances.assign(fit.x.begin() + 1, fit.x.begin() + 1 + static_cast<std::ptrdiff_t>(m));
    std::size_t c = 1 + m;
    if (o.add_capacitance) out.inverse_capacitance = fit.x[c++] * s.omega_min;
    if (o.add_inductance) out.inductance = fit.x[c] / s.omega_max;
    double neg = 0.0, pos = 0.0;
    for (double r : out.resistances) (r < 0 ? neg : pos) += std::fabs(r);
    out.mu = pos > 0 ? 1.0 - neg / pos : -INFINITY;
    out.z_fit = std::move(fit.z_fit);
    out.residuals = std::move(fit.residuals);
    out.noise = noise;
    for (std::size_t k : so.outliers) out.outliers.push_back(order[k]);
    std::sort(out.outliers.begin(), out.outliers.end());
    std::vector<double> f_sorted(n);
    for (std::size_t k = 0; k < n; ++k) f_sorted[k] = freqs_hz[order[k]];
    out.systematic = ranges_of(f_sorted, so.systematic);
    out.scores = std::move(fit.scores);
    return out;
}

}  // namespace velotz
