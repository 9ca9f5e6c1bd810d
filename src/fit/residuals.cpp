#include "fit/residuals.hpp"

#include <algorithm>
#include <cmath>

#include "util/pool.hpp"
#include "util/text.hpp"

namespace velotz {

std::expected<Weighting, std::string> parse_weighting(std::string_view text) {
    if (text == "unit") return Weighting::Unit;
    if (text == "modulus") return Weighting::Modulus;
    return std::unexpected("unknown weight scheme " + quote(text) + ", expected \"modulus\" or \"unit\"");
}

std::vector<double> compute_weights(const std::vector<Cx>& impedances, Weighting weighting) {
    std::vector<double> w(impedances.size(), 1.0);
    if (weighting == Weighting::Modulus) {
        for (std::size_t j = 0; j < impedances.size(); ++j) {
            const double m = std::hypot(impedances[j].re, impedances[j].im);
            w[j] = (std::isnan(m) || !(m > 1e-30)) ? 1e-30 : m;
        }
    }
    return w;
}

std::vector<double> angular(const std::vector<double>& freqs_hz) {
    std::vector<double> w(freqs_hz.size());
    for (std::size_t j = 0; j < w.size(); ++j) w[j] = freqs_hz[j] * kTwoPi;
    return w;
}

bool residuals_into(const NodeList& circuit, const std::vector<double>& params, const Measurement& data,
                    EvalCounter& counter, std::vector<double>& out) {
    count_evaluation(counter);
    const std::size_t n = data.omegas.size();
    out.assign(2 * n, 0.0);
    BoundCircuit bound;
    // A short vector only fails when a frequency needs it evaluated.
    if (!bound.bind(circuit, params.data(), params.size())) return n == 0;
    for (std::size_t j = 0; j < n; ++j) {
        const Cx zm = bound.impedance(data.omegas[j]);
        const Cx& zd = data.impedances[j];
        out[2 * j] = (zm.re - zd.re) / data.weights[j];
        out[2 * j + 1] = (zm.im - zd.im) / data.weights[j];
    }
    return true;
}

std::expected<std::vector<double>, std::string> residuals(const NodeList& circuit, const std::vector<double>& params,
                                                          const Measurement& data, EvalCounter& counter) {
    std::vector<double> r;
    if (!residuals_into(circuit, params, data, counter, r)) return std::unexpected(std::string(kNotEnoughValues));
    return r;
}

double half_sum_of_squares(const std::vector<double>& r) {
    double ss = -0.0;
    for (double v : r) ss += v * v;
    return 0.5 * ss;
}

double jacobian_step(double p) {
    constexpr double c = 6.0554544523933395e-06;  // cube root of 2^-52
    const double a = std::isnan(p) ? 1e-8 : std::fabs(p);
    return c * std::max(a, 1e-8);
}

std::expected<std::vector<std::vector<double>>, std::string> jacobian_columns(const NodeList& circuit,
                                                                              const std::vector<double>& params,
                                                                              const Measurement& data,
                                                                              EvalCounter& counter) {
    const std::size_t n = params.size();
    std::vector<std::vector<double>> columns(n);
    std::vector<char> failed(n, 0);
    parallel_for(n, [&](std::size_t k) {
        const double h = jacobian_step(params[k]);
        std::vector<double> plus = params, minus = params;
        plus[k] = params[k] + h;
        minus[k] = params[k] - h;
        std::vector<double> rp, rm;
        if (!residuals_into(circuit, plus, data, counter, rp) || !residuals_into(circuit, minus, data, counter, rm)) {
            failed[k] = 1;
            return;
        }
        const std::size_t m = std::min(rp.size(), rm.size());
        std::vector<double>& col = columns[k];
        col.resize(m);
        for (std::size_t i = 0; i < m; ++i) col[i] = (rp[i] - rm[i]) / (h + h);
    });
    if (std::find(failed.begin(), failed.end(), 1) != failed.end()) return std::unexpected(std::string(kNotEnoughValues));
    return columns;
}

std::vector<double> physical(const std::vector<double>& x, const std::vector<Bounds>& bounds) {
    const std::size_t n = std::min(x.size(), bounds.size());
    std::vector<double> p(n);
    for (std::size_t i = 0; i < n; ++i) {
        p[i] = std::isfinite(bounds[i].hi) ? x[i] : std::pow(10.0, x[i]) + bounds[i].lo;
    }
    return p;
}

std::vector<double> internal_from_physical(const std::vector<double>& p, const std::vector<Bounds>& bounds) {
    const std::size_t n = std::min(p.size(), bounds.size());
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isfinite(bounds[i].hi)) {
            x[i] = p[i];
        } else {
            double d = p[i] - bounds[i].lo;
            if (std::isnan(d) || !(d > 1e-300)) d = 1e-300;
            x[i] = std::log10(d);
        }
    }
    return x;
}

}  // namespace velotz
