#pragma once
// Analysis around a fit: the linear Kramers-Kronig validity test, and the
// structural facts a fit diagnosis needs (how much each branch of a circuit
// contributes over a frequency range, and the time constants of its arcs).
// Free of Python; errors are message texts.
#include <cstddef>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "circuit/circuit.hpp"

namespace velotz {

// ---------------------------------------------------------------- least squares
// Minimum of |A x - b| for a column-major m x n matrix A (entry (i, k) at
// a[k * m + i]) with m >= n, by Householder QR. A column whose diagonal entry
// of R vanishes (below 1e-14 times the largest one) gets x_k = 0, so a zero or
// dependent column does not blow the solution up. A and b are overwritten.
std::vector<double> least_squares_qr(std::vector<double>& a, std::vector<double>& b, std::size_t m,
                                     std::size_t n);

// ---------------------------------------------------------------- Kramers-Kronig
// Which part of the spectrum the linear test fits (Schoenleber et al. 2014;
// Boukamp 1995 for the imaginary variant's ohmic resistance).
enum class KkFitType { Real, Imag, Complex };

struct KkOptions {
    // The mu cutoff; absent: use exactly max_m elements.
    std::optional<double> c = 0.85;
    std::size_t max_m = 50;
    bool add_capacitance = false;
    bool add_inductance = true;
    KkFitType fit_type = KkFitType::Real;
};

struct KkResult {
    std::size_t m = 0;                // number of RC elements
    double mu = 0.0;                  // 1 - sum|R_k < 0| / sum|R_k >= 0|
    double r_ohm = 0.0;               // series resistance
    std::vector<double> taus;         // time constants of the RC elements, s
    std::vector<double> resistances;  // their resistances R_k, ohm
    double inductance = 0.0;          // series inductance (0 when not added), H
    double inverse_capacitance = 0.0; // 1/C of the series capacitance (0 when not added), 1/F
    std::vector<Cx> z_fit;            // the test circuit's impedance at every frequency
    std::vector<double> residuals_real;  // Re(Z - Z_fit) / |Z|
    std::vector<double> residuals_imag;  // Im(Z - Z_fit) / |Z|
};

// Time constants of M RC elements spread log-uniformly from 1/omega_max to
// 1/omega_min (one element: 1/omega_min).
std::vector<double> kk_time_constants(double f_min, double f_max, std::size_t m);

// The linear Kramers-Kronig test. With a cutoff c, M runs from 1 up until
// mu <= c or M = max_m (M is also kept below the number of equations);
// without one, M = max_m. Fails for an empty spectrum, a frequency that is
// not positive and finite, an impedance that is zero or not finite, or
// max_m = 0.
std::expected<KkResult, std::string> kramers_kronig(const std::vector<double>& freqs_hz,
                                                    const std::vector<Cx>& impedances,
                                                    const KkOptions& options);

// ---------------------------------------------------------------- automatic Kramers-Kronig test
// The linear test with M chosen by leave-one-out cross-validation, the noise
// level estimated from the residuals, and the points and frequency ranges
// that stand out from that noise (kk_auto.cpp explains the method).
struct KkAutoOptions {
    std::size_t max_m = 50;
    bool add_capacitance = true;
    bool add_inductance = true;
    double tolerance = 0.01;  // deviations below this share of |Z| never count
};

struct KkAutoResult {
    std::size_t m = 0;                 // number of RC elements chosen
    double mu = 0.0;                   // 1 - sum|R_k < 0| / sum|R_k >= 0| (-inf when no R_k > 0)
    double r_ohm = 0.0;
    std::vector<double> taus;          // s
    std::vector<double> resistances;   // ohm
    double inductance = 0.0;           // H (0 when not added)
    double inverse_capacitance = 0.0;  // 1/F (0 when not added)
    std::vector<Cx> z_fit;             // at every frequency, in the order given
    std::vector<Cx> residuals;         // (Z - Z_fit) / |Z|
    double noise = 0.0;                // estimated standard deviation of the residuals' parts
    std::vector<std::size_t> outliers;  // indices (ascending) of points standing out
    std::vector<std::pair<double, double>> systematic;  // (lowest, highest) Hz of deviating stretches
    std::vector<double> scores;        // trimmed leave-one-out score of M = 1, 2, ... (last round)
    std::size_t rounds = 0;            // fits made (1 + rounds with outliers left out)
};

// Fails as kramers_kronig does for a spectrum it cannot test, for max_m = 0
// or a tolerance that is not positive. Passes interruption points
// (util/interrupt.hpp) at every M and every Jacobi sweep.
std::expected<KkAutoResult, std::string> kramers_kronig_auto(const std::vector<double>& freqs_hz,
                                                             const std::vector<Cx>& impedances,
                                                             const KkAutoOptions& options);

// The least squares of the automatic test: x minimising |A x - b| for a
// column-major rows x cols matrix A whose rows are the real parts of n
// points followed by their imaginary parts (rows = 2n), by the SVD of A with
// its columns scaled to unit norm, singular values below 1e-12 times the
// largest dropped (the minimum-norm solution of the rest). With want_loo,
// loo[i] = |e_i|^2 for the error e_i of predicting point i (both rows) from
// the fit to the others, inf where the others cannot predict it.
struct KkLooSolution {
    std::vector<double> x;
    std::vector<double> loo;
};
KkLooSolution kk_solve_loo(std::vector<double> a, const std::vector<double>& b, std::size_t rows, std::size_t cols,
                           bool want_loo);

// Robust standard deviation of the noise in residuals ordered by frequency,
// from the differences of neighbours: 1.4826 MAD / sqrt(2) over the real and
// imaginary differences together (0 for fewer than two points).
double kk_noise_level(const std::vector<Cx>& residuals_sorted);

// Points inside stretches whose mean residual (real or imaginary part, over
// each odd window width in turn, shorter at the ends) exceeds both `factor`
// times the noise such a mean has and `floor`; the whole window is marked.
std::vector<bool> kk_runs_away(const std::vector<Cx>& residuals_sorted, double noise, double factor, double floor,
                               const std::vector<std::size_t>& windows);

// The points of residuals ordered by frequency that stand out from `noise`
// (ascending positions) and the mask of systematically deviating stretches
// (an outlier is never part of one).
struct KkStandOut {
    std::vector<std::size_t> outliers;
    std::vector<bool> systematic;
};
KkStandOut kk_stand_out(const std::vector<Cx>& residuals_sorted, double noise, double tolerance);

// The same for residuals in any frequency order: noise level, outliers as
// indices into the arrays given, deviating stretches as frequency ranges.
struct KkVerdict {
    double noise = 0.0;
    std::vector<std::size_t> outliers;
    std::vector<std::pair<double, double>> systematic;
};
KkVerdict kk_verdict(const std::vector<double>& freqs_hz, const std::vector<Cx>& residuals, double tolerance);

// Quantile of the standard normal distribution (Wichura's AS241), 0 < p < 1.
double normal_quantile(double p);

// ---------------------------------------------------------------- non-negative least squares
// Minimum of 0.5 x'Gx - c'x subject to x_k >= 0 for every k with
// free[k] == false, for a symmetric positive (semi)definite n x n matrix G
// (row-major). This is the Lawson-Hanson active-set method written on the
// normal equations (Bro & De Jong 1997): the least squares problem
// min |Ax - b| is G = A'A, c = A'b. Free variables stay in the passive set
// throughout. `stop` (may be empty) is polled every iteration; when it
// returns true the solver gives up and returns nothing. `start` (optional):
// a nearby solution (of a slightly different problem) whose positive entries
// start the passive set, which saves most iterations.
std::optional<std::vector<double>> nnls_gram(const std::vector<double>& g, const std::vector<double>& c,
                                             std::size_t n, const std::vector<bool>& free,
                                             const std::function<bool()>& stop = {},
                                             const std::vector<double>* start = nullptr);

// ---------------------------------------------------------------- distribution of relaxation times
// Z(w) = R_inf + jwL + integral of gamma(ln tau) / (1 + jw tau) d ln tau,
// gamma a sum of Gaussian radial basis functions exp(-(eps (ln tau - y_m))^2)
// on a uniform ln tau grid (Wan et al., Electrochim. Acta 184 (2015) 483),
// fitted by Tikhonov-regularised non-negative least squares.
enum class DrtPart { Both, Real, Imag };
enum class DrtWeighting { Modulus, Unit };

struct DrtOptions {
    DrtPart part = DrtPart::Both;
    DrtWeighting weighting = DrtWeighting::Modulus;
    int derivative = 1;              // order of the penalised derivative of gamma: 1 or 2
    bool inductance = true;          // fit a series inductance (not with DrtPart::Real)
    std::optional<double> lambda;    // absent: chosen by generalised cross-validation
    // The GCV score's stabilisation factor rho (Kim & Gu 2004): the
    // denominator is (rows - rho trace H)^2. 1 is plain GCV; above 1 favours
    // smoother solutions (plain GCV tends to undersmooth).
    double gcv_rho = 1.0;
    // A guard from robust GCV (Lukas 2006), whose score is the GCV score
    // times gamma + (1 - gamma) trace(H^2) / rows, gamma = gcv_robust: the
    // factor grows as lambda shrinks (H nears a projection), so it does not
    // settle in the far small end of a flat GCV curve. When its choice lies
    // more than gcv_robust_decades above the GCV choice it is taken
    // instead. 1 (the default) leaves GCV alone.
    double gcv_robust = 1.0;
    double gcv_robust_decades = 2.0;
    std::size_t gcv_steps = 12;      // golden-section steps in log lambda after the grid of decades
    // Spacing of the grid over 1e-10 ... 10 (in decades of lambda) that
    // brackets the GCV minimum before the golden-section steps.
    double gcv_grid_step = 1.0;
    // After the GCV choice (not with a given lambda): when the residuals of
    // the non-negative fit are positively correlated from one frequency to
    // the next (a systematic model error rather than independent noise,
    // which GCV assumes), lambda is raised as long as the residual sum of
    // squares stays within (1 + r) / (1 - r) times its value at the GCV
    // choice, r being the lag-1 autocorrelation of the residuals at the
    // raised lambda. The raise stops at correlated_lambda_max.
    bool correlated_residuals = false;
    double correlated_lambda_max = 1e-2;
    double shape = 0.5;              // FWHM coefficient: FWHM of each RBF = spacing / shape
    std::size_t max_centres = 400;   // the grid is made coarser beyond this many centres
    std::size_t samples_per_centre = 4;  // gamma is returned this many times finer than the grid
};

struct DrtResult {
    std::vector<double> tau;         // ascending, s
    std::vector<double> gamma;       // gamma(ln tau) at tau, ohm
    std::vector<double> centres;     // tau of the RBF centres, s
    std::vector<double> coefficients;  // their weights, ohm
    double epsilon = 0.0;            // RBF shape in 1 / (ln tau)
    double r_inf = 0.0;              // ohm
    double inductance = 0.0;         // H (0 when not fitted)
    double lambda = 0.0;             // the regularisation parameter used
    std::vector<double> gcv_lambdas;  // the values tried when it was chosen
    std::vector<double> gcv_scores;
    double lambda_gcv = 0.0;         // lambda chosen by GCV before the correlated-residual check (0 when given)
    double residual_correlation = 0.0;  // lag-1 autocorrelation of the residuals at lambda_gcv
    std::vector<Cx> z_fit;
};

// The real and imaginary integrals of one Gaussian RBF exp(-(eps x)^2)
// against the RC kernel at u = ln(omega tau_m): the RBF's impedance is
// re - j im. Computed by the trapezoidal rule (exponentially accurate for
// these smooth, rapidly decaying integrands).
Cx drt_rbf_integral(double u, double epsilon);

// Fails for fewer than 3 points, frequencies that are not positive and
// finite or all equal, impedances that are not finite, a bad option, or
// when `stop` returns true ("interrupted").
std::expected<DrtResult, std::string> drt(const std::vector<double>& freqs_hz, const std::vector<Cx>& impedances,
                                          const DrtOptions& options, const std::function<bool()>& stop = {});

// ---------------------------------------------------------------- structure
// A part of a circuit that can be negligible: a node of a series list (its
// impedance compared with the list's) or a branch of a parallel group (its
// admittance compared with the group's, i.e. the share of the group's
// current it carries). Parameters [first_param, first_param + param_count).
struct BranchShare {
    bool in_parallel = false;  // a branch of a parallel group (else a series node)
    std::size_t first_param = 0;
    std::size_t param_count = 0;
    double max_share = 0.0;    // largest share over the frequencies (NaN if any share is NaN)
};

// Shares of every series node (in lists of two or more nodes) and every
// parallel branch, over the given frequencies, depth first. The parts of a
// node that is itself negligible (share below `negligible`) are not listed.
std::vector<BranchShare> branch_shares(const NodeList& series, const std::vector<double>& freqs_hz,
                                       double negligible);

// A characteristic time of an element or of an R-C / R-CPE pair in
// parallel: tau of K, Zarc, Wo, Ws, T, tg of G and Gs, R*C, (R*Q)^(1/alpha).
struct TimeConstant {
    std::vector<std::size_t> params;  // the parameters it is made of
    double tau = 0.0;                 // seconds
};
std::vector<TimeConstant> time_constants(const NodeList& series);

}  // namespace velotz
