#include "fit/uncertainty.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace velotz {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// ln x where the caller also knows y = 1 - x exactly: log1p(-y) keeps the
// precision of an x close to 1.
double log_of(double x, double y) { return x < 0.5 ? std::log(x) : std::log1p(-y); }

// ln Gamma(a + b) - ln Gamma(a). For large a the difference of two lgamma
// values of about a ln a would lose the digits of a small result, so there
// it comes from Stirling's series, whose terms are differenced one by one.
double log_gamma_ratio(double a, double b) {
    if (a < 100.0) return std::lgamma(a + b) - std::lgamma(a);
    auto series = [](double x) {
        const double x2 = x * x;
        return (1.0 / 12.0 - (1.0 / 360.0 - (1.0 / 1260.0) / x2) / x2) / x;
    };
    return (a - 0.5) * std::log1p(b / a) + b * std::log(a + b) - b + (series(a + b) - series(a));
}

// The continued fraction of I_x(a, b) (modified Lentz), to be used where it
// converges fast: x < (a + 1) / (a + b + 2).
double beta_continued_fraction(double a, double b, double x) {
    constexpr double kTiny = 1e-300;
    constexpr double kEps = 1e-16;
    constexpr int kMaxTerms = 100000;
    const double qab = a + b, qap = a + 1.0, qam = a - 1.0;
    double c = 1.0;
    double d = 1.0 - qab * x / qap;
    if (std::fabs(d) < kTiny) d = kTiny;
    d = 1.0 / d;
    double h = d;
    for (int m = 1; m <= kMaxTerms; ++m) {
        const double m2 = 2.0 * m;
        double aa = m * (b - m) * x / ((qam + m2) * (a + m2));
        d = 1.0 + aa * d;
        if (std::fabs(d) < kTiny) d = kTiny;
        c = 1.0 + aa / c;
        if (std::fabs(c) < kTiny) c = kTiny;
        d = 1.0 / d;
        h *= d * c;
        aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2));
        d = 1.0 + aa * d;
        if (std::fabs(d) < kTiny) d = kTiny;
        c = 1.0 + aa / c;
        if (std::fabs(c) < kTiny) c = kTiny;
        d = 1.0 / d;
        const double step = d * c;
        h *= step;
        if (std::fabs(step - 1.0) < kEps) break;
    }
    return h;
}

// t with P(T > t) = tail for 0 < tail <= 0.5 (t >= 0): the tail probability
// falls as t grows, so the root is bracketed by doubling and then bisected
// until the bracket cannot shrink.
double upper_quantile(double tail, double dof) {
    if (tail == 0.5) return 0.0;
    double lo = 0.0, hi = 1.0;
    while (student_t_upper_tail(hi, dof) > tail) {
        lo = hi;
        hi *= 2.0;
        if (!std::isfinite(hi)) return kInf;
    }
    for (int i = 0; i < 4000; ++i) {
        const double mid = lo + 0.5 * (hi - lo);
        if (mid <= lo || mid >= hi) break;
        if (student_t_upper_tail(mid, dof) > tail) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return lo + 0.5 * (hi - lo);
}

}  // namespace

std::vector<double> scaled_covariance(const std::vector<double>& inverse, std::size_t k, double s2) {
    std::vector<double> cov(k * k);
    for (std::size_t i = 0; i < k; ++i) {
        cov[i * k + i] = s2 * inverse[i * k + i];
        for (std::size_t j = i + 1; j < k; ++j) {
            // The inverse of a symmetric matrix is symmetric; the LU and
            // cofactor formulas may round the two halves differently.
            const double v = 0.5 * (s2 * inverse[i * k + j] + s2 * inverse[j * k + i]);
            cov[i * k + j] = v;
            cov[j * k + i] = v;
        }
    }
    return cov;
}

std::vector<double> correlation(const std::vector<double>& covariance, std::size_t k) {
    std::vector<double> se(k);
    for (std::size_t i = 0; i < k; ++i) {
        const double v = covariance[i * k + i];
        se[i] = (v > 0.0 && std::isfinite(v)) ? std::sqrt(v) : kNaN;
    }
    std::vector<double> out(k * k);
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            double r;
            if (std::isnan(se[i]) || std::isnan(se[j])) {
                r = kNaN;
            } else if (i == j) {
                r = 1.0;
            } else {
                r = covariance[i * k + j] / (se[i] * se[j]);
                if (!std::isnan(r)) r = std::clamp(r, -1.0, 1.0);
            }
            out[i * k + j] = r;
        }
    }
    return out;
}

double incomplete_beta(double a, double b, double x, double y) {
    if (!(a > 0.0) || !(b > 0.0) || !(x >= 0.0) || !(y >= 0.0) || !(x <= 1.0) || !(y <= 1.0)) return kNaN;
    if (x == 0.0) return 0.0;
    if (y == 0.0) return 1.0;
    // ln [Gamma(a + b) / (Gamma(a) Gamma(b))], the larger argument's ratio
    // taken exactly where it is large.
    const double log_beta = a >= b ? log_gamma_ratio(a, b) - std::lgamma(b) : log_gamma_ratio(b, a) - std::lgamma(a);
    const double log_front = log_beta + a * log_of(x, y) + b * log_of(y, x);
    const double front = std::exp(log_front);
    if (x < (a + 1.0) / (a + b + 2.0)) return front * beta_continued_fraction(a, b, x) / a;
    return 1.0 - front * beta_continued_fraction(b, a, y) / b;
}

double student_t_upper_tail(double t, double dof) {
    if (std::isnan(t) || !(dof > 0.0)) return kNaN;
    if (std::isinf(dof)) return 0.5 * std::erfc(t / std::sqrt(2.0));
    if (t < 0.0) return 1.0 - student_t_upper_tail(-t, dof);
    if (std::isinf(t)) return 0.0;
    // P(T > t) = I_x(dof/2, 1/2) / 2 with x = dof / (dof + t^2).
    const double denom = dof + t * t;
    return 0.5 * incomplete_beta(0.5 * dof, 0.5, dof / denom, t * t / denom);
}

double student_t_quantile(double p, double dof) {
    if (!(p > 0.0) || !(p < 1.0) || !(dof > 0.0)) return kNaN;
    if (p > 0.5) return upper_quantile(1.0 - p, dof);
    return -upper_quantile(p, dof);
}

std::vector<Interval> confidence_intervals(const std::vector<double>& values, const std::vector<double>& std_errors,
                                           const std::vector<Bounds>& bounds, double dof, double level) {
    const std::size_t k = std::min({values.size(), std_errors.size(), bounds.size()});
    std::vector<Interval> out(k, Interval{kNaN, kNaN});
    if (!(level > 0.0) || !(level < 1.0) || !(dof > 0.0)) return out;
    // The tail beyond each end, computed from the level directly rather than
    // as 1 - (1 + level) / 2.
    const double q = upper_quantile(0.5 * (1.0 - level), dof);
    for (std::size_t i = 0; i < k; ++i) {
        const double p = values[i], se = std_errors[i];
        const double lo = bounds[i].lo, hi = bounds[i].hi;
        if (!std::isfinite(p) || std::isnan(se) || se < 0.0) continue;
        const double half = q * se;
        const double d = p - lo;
        if (std::isinf(hi) && d > 0.0) {
            const double factor = std::exp(half / d);
            double low = lo + d / factor;
            double high = lo + d * factor;
            if (std::isnan(high)) high = kInf;  // d * inf
            out[i] = Interval{std::min(low, p), std::max(high, p)};
        } else {
            // On its own scale; also a parameter at the lower bound of an
            // open range, where the log scale has no room below it.
            out[i] = Interval{std::max(lo, p - half), std::min(hi, p + half)};
        }
    }
    return out;
}

InformationCriteria information_criteria(double chi_square, std::size_t n, std::size_t k) {
    if (n == 0) return {kNaN, kNaN};
    const double nd = static_cast<double>(n);
    const double kd = static_cast<double>(k);
    const double base = chi_square <= 0.0 ? -kInf : nd * std::log(chi_square / nd);
    return {base + 2.0 * kd, base + kd * std::log(nd)};
}

}  // namespace velotz
