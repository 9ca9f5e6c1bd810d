#pragma once
// Levenberg–Marquardt least-squares solver: a port of MINPACK's LMDER
// (Moré's trust-region method) with LMPAR, QRFAC, QRSOLV and ENORM.
//
// The solver is generic: it knows nothing about circuits. A problem supplies
// its parameters, its residual vector and the Jacobian of the residuals; the
// solver minimises 0.5 * sum(r_i^2) and leaves the problem at the best
// parameters it accepted.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace velotz {

// Why a run stopped. The MINPACK exit code each value stands for is given in
// brackets.
enum class LmTermination {
    ResidualsFailed,     // the problem could not produce residuals or a Jacobian
    NonFinite,           // a NaN or infinity in a norm, the step or the prediction
    ZeroResiduals,       // initial residual norm <= smallest normal double
    GradientOrthogonal,  // scaled gradient norm <= gtol          [info 4]
    Converged,           // ftol and/or xtol test satisfied        [info 1, 2, 3]
    TolerancesTooSmall,  // ftol, xtol or gtol below machine eps   [info 6, 7, 8]
    EvaluationLimit,     // residual evaluations reached maxfev    [info 5]
    NoParameters,        // n = 0
    NoResiduals,         // m = 0
    BadJacobianShape,    // a residual vector or Jacobian of the wrong size
};

// True exactly for ZeroResiduals, GradientOrthogonal and Converged.
bool lm_termination_success(LmTermination t);

// The enumerator's name, for diagnostics.
std::string_view lm_termination_name(LmTermination t);

struct LmConfig {
    double ftol, xtol, gtol;
    double stepbound = 100.0;  // MINPACK's `factor` for the initial trust radius
    std::size_t patience;      // maxfev = max(patience, 1) * (n + 1)
};

struct LmReport {
    LmTermination termination;
    // Residual evaluations made by the solver: the one at the start point plus
    // one per trial point. Jacobian evaluations are not included.
    std::uint64_t evaluations;
};

// The least-squares problem the solver works on.
class LmProblemBase {
public:
    virtual ~LmProblemBase() = default;
    // Replace the current parameter vector.
    virtual void set_params(const std::vector<double>& x) = 0;
    // The current parameter vector (its length is n).
    virtual std::vector<double> params() const = 0;
    // The same vector written into `out`; problems that can, do it without
    // allocating once `out` has the capacity.
    virtual void params_into(std::vector<double>& out) const { out = params(); }
    // Residuals at the current parameters (length m); false when they cannot
    // be produced.
    virtual bool residuals(std::vector<double>& r) = 0;
    // Jacobian of the residuals at the current parameters, column-major m x n:
    // entry (i, k) at jac_colmajor[k * m + i]. The vector arrives sized m * n.
    virtual bool jacobian(std::vector<double>& jac_colmajor) = 0;
};

// Minimises the problem's sum of squares starting from its current parameters.
//
// Tolerances are checked first, in the order ftol, xtol, gtol: one with its
// sign bit set (negative, -0.0, -inf, negative NaN) ends the call with
// "ftol must be >= 0", "xtol must be >= 0" or "gtol must be >= 0". A
// stepbound that is not positive ends it with "stepbound must be > 0".
// Otherwise the run's outcome is in the report, and the problem is left at the
// last accepted iterate (never at a rejected trial point).
std::expected<LmReport, std::string> lmder_minimize(LmProblemBase& problem, const LmConfig& config);

// The arrays one run works in. A caller making several runs (a multi-start
// fit) passes the same workspace to each, so that only the first allocates;
// every array is written before it is read, so a reused workspace gives the
// results of a fresh one whatever sizes the earlier runs had.
struct LmWorkspace {
    std::vector<double> x, fvec, ftrial, fjac, jac, diag, qtf, wa1, wa2, wa3, wa4;
    std::vector<std::size_t> ipvt;
};

// lmder_minimize working in `work` instead of arrays of its own.
std::expected<LmReport, std::string> lmder_minimize(LmProblemBase& problem, const LmConfig& config,
                                                    LmWorkspace& work);

// The MINPACK building blocks, exposed for testing. Matrices are column-major
// with leading dimension `ld*`; indices are 0-based (ipvt holds 0-based column
// numbers). Each routine follows the Fortran original statement by statement.
namespace minpack {

inline constexpr double epsmch = 2.220446049250313e-16;      // machine epsilon
inline constexpr double dwarf = 2.2250738585072014e-308;     // smallest normal
inline constexpr double rdwarf = 1.4916681462400413e-154;    // sqrt(dwarf)
inline constexpr double rgiant = 1.3407807929942596e+154;    // sqrt(largest double)

// Euclidean norm of x[0..n), safe against overflow and destructive underflow.
double enorm(std::size_t n, const double* x);

// enorm of the four columns x + c·ld (c = 0..3) of length n into out[c],
// computed side by side; each equals enorm of its column.
void enorm4(std::size_t n, const double* x, std::size_t ld, double* out);

// sums[c] = Σ_i a[i]·b[i + c·ld] over i < n for c < count (count at most
// kColumnDots), each summed in index order from 0.0 as in qrfac's column loop.
inline constexpr std::size_t kColumnDots = 8;
void column_dots(std::size_t n, const double* a, const double* b, std::size_t ld, std::size_t count,
                 double* sums);

// Householder QR factorisation with column pivoting of the m x n matrix a:
// a * p = q * r. On return the strict upper triangle of a holds that of r, the
// lower trapezoid the Householder vectors; rdiag the diagonal of r, acnorm the
// column norms of the input, ipvt the permutation. wa is workspace (n).
// The `extra` columns stored after the n columns of a (same leading dimension)
// take no part in the pivoting and the norms but receive every Householder
// transformation as the remaining columns do: on return they hold q^T times
// their input. Their dot products run side by side with those of the columns
// of a; each value is bit for bit what applying the reflections one at a time
// afterwards (lmder's loop forming q^T fvec) gives.
void qrfac(std::size_t m, std::size_t n, double* a, std::size_t lda, bool pivot,
           std::size_t* ipvt, double* rdiag, double* acnorm, double* wa, std::size_t extra = 0);

// Least-squares solution of a*x = b, d*x = 0 given the QR factors of a (full
// upper triangle of r, the permutation and the first n entries of q^T b).
// sdiag receives the diagonal of s with p^T (a^T a + d d) p = s^T s; the strict
// lower triangle of r receives the rest of s. wa is workspace (n).
void qrsolv(std::size_t n, double* r, std::size_t ldr, const std::size_t* ipvt,
            const double* diag, const double* qtb, double* x, double* sdiag, double* wa);

// The Levenberg–Marquardt parameter for trust radius delta: par (in: estimate,
// out: result) and the step x solving a*x = b, sqrt(par)*d*x = 0 with
// ||d*x|| close to delta (or par = 0 and ||d*x|| <= 1.1 delta).
// wa1, wa2 are workspace (n).
void lmpar(std::size_t n, double* r, std::size_t ldr, const std::size_t* ipvt,
           const double* diag, const double* qtb, double delta, double& par,
           double* x, double* sdiag, double* wa1, double* wa2);

}  // namespace minpack

}  // namespace velotz
