// The linear Kramers-Kronig test (Schoenleber et al., Electrochim. Acta 131
// (2014) 20-27): a series resistance and M RC elements with fixed time
// constants spread over the measured range, plus optionally a series
// capacitance and inductance, fitted by linear least squares to the spectrum
// normalised by |Z|. M grows from 1 until the share of negative resistance
// mass, mu, falls to the cutoff c.
#include <cmath>
#include <numbers>

#include "analysis/analysis.hpp"
#include "util/interrupt.hpp"

namespace velotz {
namespace {

struct Point {
    double omega;
    Cx z;
    double mod;  // |Z|
};

// 1 / (1 + j omega tau).
Cx rc_unit(double omega, double tau) { return rdiv(1.0, Cx{1.0, omega * tau}); }

struct Solution {
    double r_ohm = 0.0;
    std::vector<double> r;  // R_k
    double inv_c = 0.0;
    double l = 0.0;
    double mu = 0.0;
};

double mu_of(const std::vector<double>& r) {
    double neg = 0.0, pos = 0.0;
    for (double x : r) {
        if (x < 0) neg += std::fabs(x);
        else pos += std::fabs(x);
    }
    return 1.0 - neg / pos;
}

// Fits the imaginary remainder y (already divided by |Z|) with the series
// capacitance and inductance columns that are asked for.
void fit_series_reactances(const std::vector<Point>& pts, const std::vector<double>& y, const KkOptions& o,
                           Solution& s) {
    const std::size_t n = pts.size();
    const std::size_t cols = (o.add_capacitance ? 1 : 0) + (o.add_inductance ? 1 : 0);
    if (cols == 0) return;
    std::vector<double> a(n * cols), b(y);
    std::size_t c = 0;
    if (o.add_capacitance) {
        for (std::size_t i = 0; i < n; ++i) a[c * n + i] = -1.0 / (pts[i].omega * pts[i].mod);
        ++c;
    }
    if (o.add_inductance) {
        for (std::size_t i = 0; i < n; ++i) a[c * n + i] = pts[i].omega / pts[i].mod;
    }
    auto x = least_squares_qr(a, b, n, cols);
    c = 0;
    if (o.add_capacitance) s.inv_c = x[c++];
    if (o.add_inductance) s.l = x[c];
}

// The real fit's second step: the series capacitance and inductance from
// what the RC elements leave of the imaginary part.
void fit_real_reactances(const std::vector<Point>& pts, const std::vector<double>& taus, const KkOptions& o,
                         Solution& s) {
    const std::size_t n = pts.size();
    std::vector<double> y(n);
    for (std::size_t i = 0; i < n; ++i) {
        double im = 0.0;
        for (std::size_t k = 0; k < taus.size(); ++k) im += s.r[k] * rc_unit(pts[i].omega, taus[k]).im;
        y[i] = (pts[i].z.im - im) / pts[i].mod;
    }
    fit_series_reactances(pts, y, o, s);
}

Solution fit_once(const std::vector<Point>& pts, const std::vector<double>& taus, const KkOptions& o) {
    const std::size_t n = pts.size();
    const std::size_t m = taus.size();
    Solution s;
    s.r.assign(m, 0.0);
    // K[i * m + k] = 1 / (1 + j omega_i tau_k)
    std::vector<Cx> k_unit(n * m);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < m; ++k) k_unit[i * m + k] = rc_unit(pts[i].omega, taus[k]);

    switch (o.fit_type) {
        case KkFitType::Real: {
            // Real parts only: R0 and the R_k; the reactances follow from
            // what the RC elements leave of the imaginary part.
            const std::size_t cols = 1 + m;
            std::vector<double> a(n * cols), b(n);
            for (std::size_t i = 0; i < n; ++i) {
                a[i] = 1.0 / pts[i].mod;
                for (std::size_t k = 0; k < m; ++k) a[(1 + k) * n + i] = k_unit[i * m + k].re / pts[i].mod;
                b[i] = pts[i].z.re / pts[i].mod;
            }
            auto x = least_squares_qr(a, b, n, cols);
            s.r_ohm = x[0];
            for (std::size_t k = 0; k < m; ++k) s.r[k] = x[1 + k];
            // The reactances do not change R_k or mu: fitted once, for the
            // chosen M (fit_real_reactances).
            break;
        }
        case KkFitType::Imag: {
            // Imaginary parts: the R_k and the reactances; then the series
            // resistance as the |Z|^-2 weighted mean of what the RC elements
            // leave of the real part (Boukamp 1995, eq. 7).
            const std::size_t extra = (o.add_capacitance ? 1 : 0) + (o.add_inductance ? 1 : 0);
            const std::size_t cols = m + extra;
            std::vector<double> a(n * cols), b(n);
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t k = 0; k < m; ++k) a[k * n + i] = k_unit[i * m + k].im / pts[i].mod;
                std::size_t c = m;
                if (o.add_capacitance) a[(c++) * n + i] = -1.0 / (pts[i].omega * pts[i].mod);
                if (o.add_inductance) a[c * n + i] = pts[i].omega / pts[i].mod;
                b[i] = pts[i].z.im / pts[i].mod;
            }
            auto x = least_squares_qr(a, b, n, cols);
            for (std::size_t k = 0; k < m; ++k) s.r[k] = x[k];
            std::size_t c = m;
            if (o.add_capacitance) s.inv_c = x[c++];
            if (o.add_inductance) s.l = x[c];
            double num = 0.0, den = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                double re = 0.0;
                for (std::size_t k = 0; k < m; ++k) re += s.r[k] * k_unit[i * m + k].re;
                const double w = 1.0 / (pts[i].z.re * pts[i].z.re + pts[i].z.im * pts[i].z.im);
                num += w * (pts[i].z.re - re);
                den += w;
            }
            s.r_ohm = num / den;
            break;
        }
        case KkFitType::Complex: {
            // Real rows stacked over imaginary rows.
            const std::size_t extra = (o.add_capacitance ? 1 : 0) + (o.add_inductance ? 1 : 0);
            const std::size_t cols = 1 + m + extra;
            const std::size_t rows = 2 * n;
            std::vector<double> a(rows * cols, 0.0), b(rows);
            for (std::size_t i = 0; i < n; ++i) {
                const double mod = pts[i].mod;
                a[i] = 1.0 / mod;
                for (std::size_t k = 0; k < m; ++k) {
                    a[(1 + k) * rows + i] = k_unit[i * m + k].re / mod;
                    a[(1 + k) * rows + n + i] = k_unit[i * m + k].im / mod;
                }
                std::size_t c = 1 + m;
                if (o.add_capacitance) a[(c++) * rows + n + i] = -1.0 / (pts[i].omega * mod);
                if (o.add_inductance) a[c * rows + n + i] = pts[i].omega / mod;
                b[i] = pts[i].z.re / mod;
                b[n + i] = pts[i].z.im / mod;
            }
            auto x = least_squares_qr(a, b, rows, cols);
            s.r_ohm = x[0];
            for (std::size_t k = 0; k < m; ++k) s.r[k] = x[1 + k];
            std::size_t c = 1 + m;
            if (o.add_capacitance) s.inv_c = x[c++];
            if (o.add_inductance) s.l = x[c];
            break;
        }
    }
    s.mu = mu_of(s.r);
    return s;
}

}  // namespace

std::vector<double> kk_time_constants(double f_min, double f_max, std::size_t m) {
    const double t_max = 1.0 / (2.0 * std::numbers::pi * f_min);
    const double t_min = 1.0 / (2.0 * std::numbers::pi * f_max);
    std::vector<double> ts(m, 0.0);
    if (m == 0) return ts;
    ts[0] = t_min;
    ts[m - 1] = t_max;  // one element: the longest time constant
    for (std::size_t k = 2; k < m; ++k) {
        const double frac = static_cast<double>(k - 1) / static_cast<double>(m - 1);
        ts[k - 1] = std::pow(10.0, std::log10(t_min) + frac * std::log10(t_max / t_min));
    }
    return ts;
}

std::expected<KkResult, std::string> kramers_kronig(const std::vector<double>& freqs_hz,
                                                    const std::vector<Cx>& impedances,
                                                    const KkOptions& o) {
    const std::size_t n = freqs_hz.size();
    if (n != impedances.size()) return std::unexpected("frequencies and impedances must have the same length");
    if (n == 0) return std::unexpected("frequencies and impedances must not be empty");
    if (o.max_m == 0) return std::unexpected("max_m must be at least 1");
    if (o.c && std::isnan(*o.c)) return std::unexpected("c must be a number");
    std::vector<Point> pts(n);
    double f_min = INFINITY, f_max = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double f = freqs_hz[i];
        if (!(f > 0.0) || !std::isfinite(f))
            return std::unexpected("every frequency must be positive and finite for the Kramers-Kronig test");
        const Cx z = impedances[i];
        const double mod = std::hypot(z.re, z.im);
        if (!std::isfinite(mod) || mod == 0.0)
            return std::unexpected("every impedance must be finite and nonzero for the Kramers-Kronig test");
        pts[i] = {kTwoPi * f, z, mod};
        f_min = std::min(f_min, f);
        f_max = std::max(f_max, f);
    }
    // Keep the linear system overdetermined: at most as many unknowns as
    // equations.
    const std::size_t extra = (o.add_capacitance ? 1 : 0) + (o.add_inductance ? 1 : 0);
    std::size_t equations = o.fit_type == KkFitType::Complex ? 2 * n : n;
    std::size_t unknowns_beyond_m = o.fit_type == KkFitType::Real ? 1 : o.fit_type == KkFitType::Imag ? extra : 1 + extra;
    if (o.fit_type == KkFitType::Real && extra > n)
        return std::unexpected("too few frequencies for the Kramers-Kronig test");
    if (equations < unknowns_beyond_m + 1) return std::unexpected("too few frequencies for the Kramers-Kronig test");
    const std::size_t m_limit = std::min(o.max_m, equations - unknowns_beyond_m);

    std::size_t m = 0;
    Solution s;
    std::vector<double> taus;
    if (o.c) {
        do {
            interruption_point();
            ++m;
            taus = kk_time_constants(f_min, f_max, m);
            s = fit_once(pts, taus, o);
        } while (s.mu > *o.c && m < m_limit);
    } else {
        m = m_limit;
        taus = kk_time_constants(f_min, f_max, m);
        s = fit_once(pts, taus, o);
    }

    if (o.fit_type == KkFitType::Real) fit_real_reactances(pts, taus, o, s);

    KkResult out;
    out.m = m;
    out.mu = s.mu;
    out.r_ohm = s.r_ohm;
    out.taus = taus;
    out.resistances = s.r;
    out.inductance = s.l;
    out.inverse_capacitance = s.inv_c;
    out.z_fit.resize(n);
    out.residuals_real.resize(n);
    out.residuals_imag.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double w = pts[i].omega;
        Cx z{s.r_ohm, 0.0};
        for (std::size_t k = 0; k < m; ++k) z = z + s.r[k] * rc_unit(w, taus[k]);
        if (o.add_inductance) z = z + Cx{0.0, w * s.l};
        if (o.add_capacitance) z = z + Cx{0.0, -s.inv_c / w};
        out.z_fit[i] = z;
        out.residuals_real[i] = (pts[i].z.re - z.re) / pts[i].mod;
        out.residuals_imag[i] = (pts[i].z.im - z.im) / pts[i].mod;
    }
    return out;
}

}  // namespace velotz
