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

namespace {

// Below this many leaf evaluations per column a Jacobian column is too small
// to pay for a hand-off to a worker (measured: a 60-point, 5-parameter
// column takes about 2 µs, a wake-up and hand-off about 10 µs).
constexpr std::size_t kParallelColumnWork = 4096;

}  // namespace

// Each column perturbs one parameter, which only one leaf reads: the other
// leaves' impedances are computed once and reused, and the perturbed leaf is
// recombined with them. The operations per frequency are exactly those of a
// full evaluation, so the columns equal (residuals(p + h e_k) -
// residuals(p - h e_k)) / 2h bit for bit.
std::expected<std::vector<std::vector<double>>, std::string> jacobian_columns(const NodeList& circuit,
                                                                              const std::vector<double>& params,
                                                                              const Measurement& data,
                                                                              EvalCounter& counter) {
    const std::size_t n = params.size();
    const std::size_t points = data.omegas.size();
    std::vector<std::vector<double>> columns(n);
    if (n == 0) return columns;
    BoundCircuit base;
    if (!base.bind(circuit, params.data(), params.size())) {
        // A short vector only fails when a frequency needs it evaluated.
        count_evaluation(counter, 2 * n);
        if (points == 0) return columns;
        return std::unexpected(std::string(kNotEnoughValues));
    }
    const std::size_t leaves = base.leaf_count();
    const std::size_t ops = base.op_count();
    std::vector<Cx> cache(points * ops);
    for (std::size_t j = 0; j < points; ++j) base.record(data.omegas[j], cache.data() + j * ops);

    // `evaluator` supplies the group stack for replay: the base itself when
    // columns run one after another, a copy per task when they run in parallel.
    auto column = [&](std::size_t k, const BoundCircuit& evaluator) {
        count_evaluation(counter, 2);
        const double h = jacobian_step(params[k]);
        std::vector<double>& col = columns[k];
        col.resize(2 * points);
        const std::size_t leaf = base.leaf_of_param(k);
        if (leaf == leaves) {
            // No leaf reads this parameter: both residual vectors are the base one.
            for (std::size_t j = 0; j < points; ++j) {
                const Cx zm = evaluator.replay(cache.data() + j * ops, leaves, {});
                const Cx& zd = data.impedances[j];
                const double re = (zm.re - zd.re) / data.weights[j];
                const double im = (zm.im - zd.im) / data.weights[j];
                col[2 * j] = (re - re) / (h + h);
                col[2 * j + 1] = (im - im) / (h + h);
            }
            return;
        }
        const Kind kind = base.leaf_kind(leaf);
        const std::size_t first = base.leaf_first_param(leaf);
        double plus[4], minus[4];
        for (int f = 0; f < kind_info(kind).field_count; ++f) plus[f] = minus[f] = params[first + static_cast<std::size_t>(f)];
        plus[k - first] = params[k] + h;
        minus[k - first] = params[k] - h;
        const Element::Prepared pre_plus = Element::prepare(kind, plus);
        const Element::Prepared pre_minus = Element::prepare(kind, minus);
        for (std::size_t j = 0; j < points; ++j) {
            const double w = data.omegas[j];
            const Cx* row = cache.data() + j * ops;
            const Cx zp = evaluator.replay(row, leaf, Element::impedance_prepared(kind, plus, pre_plus, w));
            const Cx zm = evaluator.replay(row, leaf, Element::impedance_prepared(kind, minus, pre_minus, w));
            const Cx& zd = data.impedances[j];
            const double wj = data.weights[j];
            col[2 * j] = ((zp.re - zd.re) / wj - (zm.re - zd.re) / wj) / (h + h);
            col[2 * j + 1] = ((zp.im - zd.im) / wj - (zm.im - zd.im) / wj) / (h + h);
        }
    };
    if (points * ops < kParallelColumnWork) {
        for (std::size_t k = 0; k < n; ++k) column(k, base);
    } else {
        parallel_for(n, [&](std::size_t k) {
            const BoundCircuit own = base;
            column(k, own);
        });
    }
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
