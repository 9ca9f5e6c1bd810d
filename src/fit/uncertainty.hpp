#pragma once
// What a fit says about the precision of its parameters: the covariance of
// the free parameters and their correlations, confidence intervals, and the
// information criteria of the fit.
//
// The covariance is the linearised one of least squares,
// C = s^2 (J^T J)^-1 with s^2 = chi^2 / (m - k), J the m x k Jacobian of the
// weighted residuals at the solution; its diagonal gives the standard errors
// (fit/outcome.hpp computes both from the same inverse, so sqrt(C_ii) is
// the standard error bit for bit).
#include <cstddef>
#include <optional>
#include <vector>

#include "circuit/circuit.hpp"

namespace velotz {

// s2 * inverse (row-major k x k), made exactly symmetric: each off-diagonal
// pair becomes the mean of its two entries, the diagonal is s2 * inverse_ii
// untouched. Requires inverse.size() >= k * k.
std::vector<double> scaled_covariance(const std::vector<double>& inverse, std::size_t k, double s2);

// The correlation matrix of a row-major k x k covariance: C_ij / (se_i se_j)
// with se_i = sqrt(C_ii), clipped to [-1, 1]; the diagonal is exactly 1 where
// C_ii is positive and finite. Rows and columns of a parameter whose
// variance is zero, negative or not finite are NaN.
std::vector<double> correlation(const std::vector<double>& covariance, std::size_t k);

// Regularised incomplete beta function I_x(a, b) for a, b > 0 and
// 0 <= x <= 1, with y = 1 - x passed separately so that values of x near 1
// keep their precision. NaN outside the domain.
double incomplete_beta(double a, double b, double x, double y);

// P(T > t) for Student's t distribution with `dof` > 0 degrees of freedom
// (dof may be infinite: the standard normal). NaN for a dof that is not
// positive or for a NaN t.
double student_t_upper_tail(double t, double dof);

// The quantile t_p with P(T <= t_p) = p, 0 < p < 1, of Student's t with
// `dof` > 0 degrees of freedom (infinite: the standard normal). Found by
// bisection on the tail probability to within a few units in the last
// place of the tail computation. NaN outside the domain.
double student_t_quantile(double p, double dof);

struct Interval {
    double lo;
    double hi;
};

// Confidence intervals of level `level` (0 < level < 1) for free
// parameters with values `values`, standard errors `std_errors` and the fit's
// `bounds`, from the quantile q = t_{(1+level)/2} with `dof` degrees of
// freedom:
// - a parameter with a finite upper bound on its own scale,
//   value -/+ q * se, clipped to its bounds;
// - one whose upper bound is infinite (its lower bound is then positive, and
//   the fit moves it as log10(p - lo)) on that log scale:
//   lo + (p - lo) * exp(-/+ q * se / (p - lo)), which stays above lo.
// Every interval contains its value. A standard error that is NaN gives a NaN
// interval. The three vectors have one entry per free parameter.
std::vector<Interval> confidence_intervals(const std::vector<double>& values, const std::vector<double>& std_errors,
                                           const std::vector<Bounds>& bounds, double dof, double level);

struct InformationCriteria {
    double aic;
    double bic;
};

// With n real residuals, k free parameters and the weighted chi-square:
// AIC = n ln(chi^2 / n) + 2k, BIC = n ln(chi^2 / n) + k ln n, where a
// chi-square that is zero or negative counts as ln 0 = -inf; NaN for n = 0.
InformationCriteria information_criteria(double chi_square, std::size_t n, std::size_t k);

}  // namespace velotz
