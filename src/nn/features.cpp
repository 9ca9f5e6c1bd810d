// Network input from a spectrum: its impedance and frequency scales
// ("reactive_centroid") and the features on the network's log-frequency grid.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "nn/guesser.hpp"

namespace velotz {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.5707963267948966;

// Key whose signed order is the IEEE total order of doubles.
std::int64_t total_order_key(double x) {
    const auto b = std::bit_cast<std::int64_t>(x);
    return b ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(b >> 63) >> 1);
}

}  // namespace

SpectrumScales reactive_centroid(std::span<const double> freqs_hz, std::span<const std::complex<double>> z) {
    const std::size_t n = std::min(freqs_hz.size(), z.size());
    if (n == 0) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return {nan, nan};
    }
    double s = 0.0;
    double a = 0.0;
    double b = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double f = freqs_hz[i];
        const double mod = std::hypot(z[i].real(), z[i].imag());
        if (!(f > 0.0) || !(mod > 0.0)) continue;
        double w = -z[i].imag() / mod;
        if (!(w > 0.0)) w = 0.0;  // NaN and non-capacitive points weigh nothing
        s += w;
        a += w * std::log(kTwoPi * f);
        b += w * std::log(mod);
    }
    if (s >= 1e-9 || std::isnan(s)) return {std::exp(b / s), std::exp(a / s)};

    // Fallback for spectra without capacitive points.
    double sum_log = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum_log += std::log(kTwoPi * freqs_hz[i]);
    std::vector<double> moduli(n);
    for (std::size_t i = 0; i < n; ++i) moduli[i] = std::hypot(z[i].real(), z[i].imag());
    auto mid = moduli.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(moduli.begin(), mid, moduli.end(),
                     [](double x, double y) { return total_order_key(x) < total_order_key(y); });
    return {*mid, std::exp(sum_log / static_cast<double>(n))};
}

double interpolate(double x, std::span<const double> xs, std::span<const double> ys) {
    const std::size_t n = std::min(xs.size(), ys.size());
    if (n == 0) return std::numeric_limits<double>::quiet_NaN();
    if (x <= xs[0]) return ys[0];
    if (x >= xs[n - 1]) return ys[n - 1];
    // a = number of leading entries <= x (binary search over the ascending xs).
    std::size_t lo_i = 0;
    std::size_t hi_i = n;
    while (lo_i < hi_i) {
        const std::size_t mid = lo_i + (hi_i - lo_i) / 2;
        if (xs[mid] <= x) {
            lo_i = mid + 1;
        } else {
            hi_i = mid;
        }
    }
    const std::size_t a = std::max<std::size_t>(lo_i, 1);
    const std::size_t hi = std::min(a, n - 1);
    const std::size_t lo = hi - 1;
    if (xs[lo] == xs[hi]) return ys[lo];
    return ys[lo] + (x - xs[lo]) * (ys[hi] - ys[lo]) / (xs[hi] - xs[lo]);
}

std::expected<Features, NnError> features(std::span<const double> freqs_hz,
                                          std::span<const std::complex<double>> z, std::size_t n_grid) {
    const std::size_t n = std::min(freqs_hz.size(), z.size());
    if (n < 2) return std::unexpected(NnError::too_few_points(n));
    Features out;
    out.scales = reactive_centroid(freqs_hz.first(n), z.first(n));

    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
        return total_order_key(freqs_hz[i]) < total_order_key(freqs_hz[j]);
    });
    std::vector<double> lf(n);
    std::vector<double> lm(n);
    std::vector<double> phase(n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = order[k];
        const std::complex<double> zi = z[i];
        lf[k] = std::log10(freqs_hz[i]);
        lm[k] = std::log10(std::hypot(zi.real(), zi.imag()));
        const double p = std::atan2(zi.imag(), zi.real());
        if (k == 0) {
            phase[k] = p;
        } else {
            const double d = p - phase[k - 1];
            double r = d - kTwoPi * std::floor((d + kPi) / kTwoPi);
            if (r == -kPi && d > 0.0) r = kPi;
            phase[k] = phase[k - 1] + r;
        }
    }

    const double span = lf[n - 1] - lf[0];
    const double step = n_grid > 1 ? span / static_cast<double>(n_grid - 1) : 0.0;
    const double log_z0 = std::log10(out.scales.z0);
    const double log_f0 = std::log10(out.scales.omega0 / kTwoPi);
    out.grid.resize(3 * n_grid);
    for (std::size_t t = 0; t < n_grid; ++t) {
        const double x = lf[0] + static_cast<double>(t) * step;
        out.grid[t] = interpolate(x, lf, lm) - log_z0;
        out.grid[n_grid + t] = interpolate(x, lf, phase) / kHalfPi;
        out.grid[2 * n_grid + t] = (x - log_f0) * 0.25;
    }
    out.e1 = span * 0.125;
    out.e2 = std::log10(static_cast<double>(n)) * 0.5;
    return out;
}

}  // namespace velotz
