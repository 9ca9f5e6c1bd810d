#include "fit/residuals.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "circuit/kernels.hpp"
#include "util/pool.hpp"
#include "util/text.hpp"

namespace velotz {

std::expected<Weighting, std::string> parse_weighting(std::string_view text) {
    if (text == "unit") return Weighting::Unit;
    if (text == "modulus") return Weighting::Modulus;
    return std::unexpected("unknown weight scheme " + quote(text) + ", expected \"modulus\" or \"unit\"");
}

std::vector<double> compute_weights(const std::vector<Cx>& impedances, Weighting weighting) {
    std::vector<double> w;
    compute_weights_into(impedances, weighting, w);
    return w;
}

void compute_weights_into(const std::vector<Cx>& impedances, Weighting weighting, std::vector<double>& w) {
    w.assign(impedances.size(), 1.0);
    if (weighting == Weighting::Modulus) {
        for (std::size_t j = 0; j < impedances.size(); ++j) {
            const double m = std::hypot(impedances[j].re, impedances[j].im);
            w[j] = (std::isnan(m) || !(m > 1e-30)) ? 1e-30 : m;
        }
    }
}

std::vector<double> angular(const std::vector<double>& freqs_hz) {
    std::vector<double> w(freqs_hz.size());
    for (std::size_t j = 0; j < w.size(); ++j) w[j] = freqs_hz[j] * kTwoPi;
    return w;
}

bool residuals_into(const NodeList& circuit, const std::vector<double>& params, const Measurement& data,
                    EvalCounter& counter, std::vector<double>& out) {
    ResidualModel model(circuit, data);
    return model.residuals(params, counter, out);
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

// Below this many program slots times points the columns of a Jacobian are
// too small to pay for a hand-off to a worker (a wake-up and hand-off costs
// about 10 µs); they run one after another on the calling thread.
constexpr std::size_t kParallelColumnWork = 4096;

}  // namespace

ResidualModel::ResidualModel(const NodeList& circuit, const Measurement& data)
    : program_(circuit),
      grid_(std::vector<double>(data.omegas), program_.needs_log()),
      impedances_(data.impedances.begin(),
                  data.impedances.begin() + static_cast<std::ptrdiff_t>(std::min(data.impedances.size(), data.omegas.size()))),
      weights_(data.weights.begin(),
               data.weights.begin() + static_cast<std::ptrdiff_t>(std::min(data.weights.size(), data.omegas.size()))) {
    weights2_.resize(2 * weights_.size());
    for (std::size_t j = 0; j < weights_.size(); ++j) weights2_[2 * j] = weights2_[2 * j + 1] = weights_[j];
}

void ResidualModel::assign_spectrum(const std::vector<double>& frequencies, const std::vector<Cx>& impedances,
                                    Weighting weighting) {
    grid_.assign_hertz(frequencies.data(), frequencies.size(), true, program_.needs_log());
    const std::size_t n = std::min(impedances.size(), frequencies.size());
    impedances_.assign(impedances.begin(), impedances.begin() + static_cast<std::ptrdiff_t>(n));
    compute_weights_into(impedances, weighting, weights_);
    weights_.resize(n);
    weights2_.resize(2 * n);
    for (std::size_t j = 0; j < n; ++j) weights2_[2 * j] = weights2_[2 * j + 1] = weights_[j];
    ws_valid_ = false;
}

bool ResidualModel::residuals(const std::vector<double>& params, EvalCounter& counter, std::vector<double>& out) {
    count_evaluation(counter);
    const std::size_t n = points();
    out.resize(2 * n);
    // A short vector only fails when a frequency needs it evaluated.
    if (params.size() < program_.param_count()) {
        std::fill(out.begin(), out.end(), 0.0);
        return n == 0;
    }
    const Cx* zm = evaluate(params);
    kernels::residuals(out.data(), reinterpret_cast<const double*>(zm),
                       reinterpret_cast<const double*>(impedances_.data()), weights2_.data(), 2 * n);
    return true;
}

const Cx* ResidualModel::evaluate(const std::vector<double>& params) {
    const std::size_t used = program_.param_count();
    if (ws_valid_ && (used == 0 || std::memcmp(evaluated_.data(), params.data(), used * sizeof(double)) == 0)) {
        return program_.result(ws_);
    }
    ws_.reserve(program_, points());
    const Cx* z = program_.evaluate(params.data(), grid_, 0, points(), ws_);
    evaluated_.assign(params.begin(), params.begin() + static_cast<std::ptrdiff_t>(used));
    ws_valid_ = true;
    return z;
}

double ResidualModel::cost(const std::vector<double>& params, EvalCounter& counter) {
    std::vector<double>& r = base_;
    const std::size_t n = points();
    if (!program_.fused() || n == 0 || params.size() < program_.param_count()) {
        if (!residuals(params, counter, r)) return std::nan("");
        return half_sum_of_squares(r);
    }
    // Nothing but the sum is asked for, so no step's array needs keeping:
    // the fused run gives the impedances' bits in fewer passes, and leaves
    // the arrays of the last evaluate() (and so ws_valid_) as they were.
    count_evaluation(counter);
    if (scratch_.size() < n) scratch_.resize(n);
    program_.evaluate_into(params.data(), grid_, 0, n, ws_, scratch_.data());
    r.resize(2 * n);
    kernels::residuals(r.data(), reinterpret_cast<const double*>(scratch_.data()),
                       reinterpret_cast<const double*>(impedances_.data()), weights2_.data(), 2 * n);
    return half_sum_of_squares(r);
}

// Each column perturbs one parameter, which only one leaf reads: that leaf is
// evaluated at p_k + h and p_k - h and recombined with the kept values of all
// other steps along the chain above it. The operations per frequency are
// exactly those of a full evaluation, so the columns equal
// (residuals(p + h e_k) - residuals(p - h e_k)) / 2h bit for bit.
bool ResidualModel::jacobian(const std::vector<double>& params, EvalCounter& counter, double* colmajor,
                             const std::vector<bool>* zero) {
    const std::size_t n = params.size();
    if (n == 0) return true;
    count_evaluation(counter, 2 * n);
    const std::size_t points = this->points();
    const std::size_t m = 2 * points;
    if (params.size() < program_.param_count()) return points == 0;

    const Cx* z0 = evaluate(params);
    base_.resize(m);
    kernels::residuals(base_.data(), reinterpret_cast<const double*>(z0),
                       reinterpret_cast<const double*>(impedances_.data()), weights2_.data(), m);
    const std::size_t leaves = program_.leaf_count();
    const bool parallel = points * program_.slot_count() >= kParallelColumnWork && n > 1 && pool_threads() > 1;
    const std::size_t lanes = parallel ? n : 1;
    if (scratch_.size() < lanes * 2 * points) scratch_.resize(lanes * 2 * points);

    auto column = [&](std::size_t k, Cx* plus_values) {
        interruption_point();  // a column of a long spectrum is two evaluations' work
        double* col = colmajor + k * m;
        if (zero && k < zero->size() && (*zero)[k]) {
            std::fill(col, col + m, 0.0);
            return;
        }
        const double h = jacobian_step(params[k]);
        const std::size_t leaf = program_.leaf_of_param(k);
        if (leaf == leaves) {
            // No leaf reads this parameter: both residual vectors are the base one.
            for (std::size_t i = 0; i < m; ++i) col[i] = (base_[i] - base_[i]) / (h + h);
            return;
        }
        const std::size_t first = program_.leaf_first_param(leaf);
        const int fields = static_cast<int>(program_.leaf_field_count(leaf));
        double plus[4], minus[4];
        for (int f = 0; f < fields; ++f) plus[f] = minus[f] = params[first + static_cast<std::size_t>(f)];
        plus[k - first] = params[k] + h;
        minus[k - first] = params[k] - h;
        Cx* minus_values = plus_values + points;
        if (k == first && program_.leaf_keeps_part(leaf)) {
            // The rest of the leaf's formula is unchanged: reuse it.
            program_.leaf_values_first_field(leaf, plus[0], points, ws_, plus_values);
            program_.leaf_values_first_field(leaf, minus[0], points, ws_, minus_values);
        } else {
            program_.leaf_values(leaf, plus, grid_, 0, points, plus_values);
            program_.leaf_values(leaf, minus, grid_, 0, points, minus_values);
        }
        program_.replace_leaf_pair(leaf, plus_values, points, ws_);
        kernels::difference(col, reinterpret_cast<const double*>(plus_values),
                            reinterpret_cast<const double*>(minus_values), reinterpret_cast<const double*>(impedances_.data()), weights2_.data(),
                            h + h, m);
    };
    if (!parallel) {
        for (std::size_t k = 0; k < n; ++k) column(k, scratch_.data());
    } else {
        // By reference: the pool's std::function holds no heap copy of it.
        const auto task = [&](std::size_t k) { column(k, scratch_.data() + k * 2 * points); };
        parallel_for(n, std::cref(task));
    }
    return true;
}

std::expected<std::vector<std::vector<double>>, std::string> jacobian_columns(const NodeList& circuit,
                                                                              const std::vector<double>& params,
                                                                              const Measurement& data,
                                                                              EvalCounter& counter) {
    const std::size_t n = params.size();
    ResidualModel model(circuit, data);
    const std::size_t m = 2 * model.points();
    std::vector<double> jac(m * n);
    if (!model.jacobian(params, counter, jac.data())) return std::unexpected(std::string(kNotEnoughValues));
    std::vector<std::vector<double>> columns(n);
    for (std::size_t k = 0; k < n; ++k) {
        columns[k].assign(jac.begin() + static_cast<std::ptrdiff_t>(k * m),
                          jac.begin() + static_cast<std::ptrdiff_t>((k + 1) * m));
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

void physical_into(const std::vector<double>& x, const std::vector<Bounds>& bounds, std::vector<double>& p) {
    const std::size_t n = std::min(x.size(), bounds.size());
    p.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        p[i] = std::isfinite(bounds[i].hi) ? x[i] : std::pow(10.0, x[i]) + bounds[i].lo;
    }
}

std::vector<double> internal_from_physical(const std::vector<double>& p, const std::vector<Bounds>& bounds) {
    std::vector<double> x;
    internal_from_physical_into(p, bounds, x);
    return x;
}

void internal_from_physical_into(const std::vector<double>& p, const std::vector<Bounds>& bounds,
                                 std::vector<double>& x) {
    const std::size_t n = std::min(p.size(), bounds.size());
    x.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isfinite(bounds[i].hi)) {
            x[i] = p[i];
        } else {
            double d = p[i] - bounds[i].lo;
            if (std::isnan(d) || !(d > 1e-300)) d = 1e-300;
            x[i] = std::log10(d);
        }
    }
}

}  // namespace velotz
