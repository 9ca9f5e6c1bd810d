#include "start/start_drt.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "analysis/analysis.hpp"
#include "util/interrupt.hpp"

namespace velotz {

std::vector<DrtPeak> drt_peaks(const std::vector<double>& tau, const std::vector<double>& gamma, double fraction) {
    std::vector<DrtPeak> out;
    const std::size_t n = std::min(tau.size(), gamma.size());
    if (n < 3) return out;
    // Local maxima (a plateau counts once, at its first point).
    auto is_max = [&](std::size_t i) {
        return (i == 0 || gamma[i] > gamma[i - 1]) && (i == n - 1 || gamma[i] >= gamma[i + 1]);
    };
    // The threshold is relative to the largest maximum inside the grid: the
    // rise of a tail into an end can be far larger than any arc.
    double top = 0.0, top_inside = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!is_max(i)) continue;
        top = std::max(top, gamma[i]);
        if (i > 0 && i + 1 < n) top_inside = std::max(top_inside, gamma[i]);
    }
    if (top_inside > 0.0) top = top_inside;
    if (!(top > 0.0) || !std::isfinite(top)) return out;
    std::vector<double> y(n);
    for (std::size_t i = 0; i < n; ++i) y[i] = std::log(tau[i]);
    std::vector<std::size_t> maxima;
    for (std::size_t i = 0; i < n; ++i)
        if (is_max(i) && gamma[i] >= fraction * top) maxima.push_back(i);
    for (std::size_t k = 0; k < maxima.size(); ++k) {
        const std::size_t i = maxima[k];
        const std::size_t lo = k ? maxima[k - 1] : 0, hi = k + 1 < maxima.size() ? maxima[k + 1] : n - 1;
        // the minima between this maximum and its neighbours (or the grid's ends)
        std::size_t left = i, right = i;
        for (std::size_t j = lo; j < i; ++j)
            if (gamma[j] < gamma[left]) left = j;
        for (std::size_t j = i + 1; j <= hi; ++j)
            if (gamma[j] < gamma[right]) right = j;
        double area = 0.0;
        for (std::size_t j = left; j < right; ++j) area += 0.5 * (gamma[j] + gamma[j + 1]) * (y[j + 1] - y[j]);
        const double half = 0.5 * gamma[i];
        auto crossing = [&](int step) {
            std::size_t j = i;
            while (true) {
                const std::size_t next = step > 0 ? j + 1 : j - 1;
                if ((step > 0 && j == right) || (step < 0 && j == left)) return y[j];
                if (!(gamma[next] > half)) {
                    const double t = (gamma[j] - half) / (gamma[j] - gamma[next]);
                    return y[j] + t * (y[next] - y[j]);
                }
                j = next;
            }
        };
        const double width = (crossing(1) - crossing(-1)) / std::numbers::ln10;
        out.push_back({tau[i], area, width, i == 0 || i == n - 1});
    }
    return out;
}

double zarc_drt_width(double alpha) {
    const double c = std::cos((1.0 - alpha) * std::numbers::pi);
    return 2.0 * std::acosh(2.0 - c) / (alpha * std::numbers::ln10);
}

double zarc_alpha_from_width(double width) {
    double lo = 0.4, hi = 1.0;  // the width falls from lo to hi
    if (!(width < zarc_drt_width(lo))) return lo;
    for (int it = 0; it < 40; ++it) {
        const double mid = 0.5 * (lo + hi);
        if (zarc_drt_width(mid) > width) lo = mid;
        else hi = mid;
    }
    return 0.5 * (lo + hi);
}

std::vector<SpectrumShape::Relaxation> drt_relaxations(const std::vector<double>& freqs_hz,
                                                       const std::vector<Cx>& impedances) {
    std::vector<SpectrumShape::Relaxation> out;
    std::vector<double> f;
    std::vector<Cx> z;
    for (std::size_t j = 0; j < std::min(freqs_hz.size(), impedances.size()); ++j) {
        if (std::isfinite(freqs_hz[j]) && freqs_hz[j] > 0.0 && std::isfinite(impedances[j].re) &&
            std::isfinite(impedances[j].im) && (impedances[j].re != 0.0 || impedances[j].im != 0.0)) {
            f.push_back(freqs_hz[j]);
            z.push_back(impedances[j]);
        }
    }
    constexpr std::size_t kMaxPoints = 512;
    if (f.size() > kMaxPoints) {
        const std::size_t stride = (f.size() + kMaxPoints - 1) / kMaxPoints;
        std::size_t kept = 0;
        for (std::size_t j = 0; j < f.size(); j += stride, ++kept) f[kept] = f[j], z[kept] = z[j];
        f.resize(kept);
        z.resize(kept);
    }
    if (f.size() < 5) return out;
    const auto [lo, hi] = std::minmax_element(f.begin(), f.end());
    const double decades = std::log10(*hi / *lo);
    if (!(decades > 0.5)) return out;
    DrtOptions options;
    // about six centres per decade of the grid (the window and half a decade
    // on either side): peaks 0.75 decade apart stay apart
    options.max_centres = std::clamp<std::size_t>(static_cast<std::size_t>(std::ceil(6.0 * (decades + 1.0))) + 1, 8,
                                                  options.max_centres);
    options.samples_per_centre = 2;
    // lambda to within a factor of about 1.6 (the decade grid and four
    // golden-section steps) is close enough for placing arcs
    options.gcv_steps = 4;
    // the modified GCV of the Python surface's default
    options.gcv_rho = f.size() >= 50 ? 2.0 : 1.3;
    auto result = drt(f, z, options, [] {
        interruption_point();
        return false;
    });
    if (!result) return out;
    const std::vector<DrtPeak> peaks = drt_peaks(result->tau, result->gamma, 0.01);
    double total = 0.0;
    // the share of each arc counts among arcs: a tail's rise can hold far more
    for (const DrtPeak& p : peaks)
        if (!p.at_edge) total += p.r;
    // the width one basis function adds: its FWHM, the grid spacing / shape
    double spacing = 0.0;
    if (result->centres.size() > 1)
        spacing = std::log10(result->centres[1] / result->centres[0]) / options.shape;
    for (const DrtPeak& p : peaks) {
        if (p.at_edge || !(p.r >= 0.05 * total) || !(p.tau > 0.0)) continue;
        const double w2 = p.width * p.width - spacing * spacing;
        const double alpha = std::clamp(zarc_alpha_from_width(std::sqrt(std::max(w2, 0.0))), 0.5, 1.0);
        out.push_back({1.0 / p.tau, p.r, alpha});
    }
    std::sort(out.begin(), out.end(), [](const SpectrumShape::Relaxation& a, const SpectrumShape::Relaxation& b) {
        return a.omega > b.omega;
    });
    return out;
}

}  // namespace velotz
