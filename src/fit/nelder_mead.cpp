// Downhill simplex (Nelder and Mead) on an abstract cost in internal coordinates.

#include <cmath>

#include "fit/global_engines.hpp"

namespace velotz {

namespace {

constexpr double kAlpha = 1.0;   // reflection
constexpr double kGamma = 2.0;   // expansion
constexpr double kRho = 0.5;     // contraction
constexpr double kSigma = 0.5;   // shrink
constexpr double kSpreadTolerance = 2.220446049250313e-16;   // 2^-52

struct Vertex {
    std::vector<double> x;
    double cost;
};

// out = a + (b - a) * t, componentwise; `out` may be `b`.
void along(const std::vector<double>& a, const std::vector<double>& b, double t, std::vector<double>& out) {
    out.resize(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] + (b[i] - a[i]) * t;
}

// The worst vertex replaced by the point in `x` (whose array takes the old
// one's, so that the trial arrays are reused from iteration to iteration).
void replace_worst(Vertex& worst, std::vector<double>& x, double cost) {
    worst.x.swap(x);
    worst.cost = cost;
}

// Sample standard deviation of the vertex costs (divisor: vertices - 1).
double cost_spread(const std::vector<Vertex>& simplex) {
    const std::size_t m = simplex.size();
    double sum = 0.0;
    for (const auto& v : simplex) sum += v.cost;
    const double mean = sum / static_cast<double>(m);
    double squares = 0.0;
    for (const auto& v : simplex) {
        const double d = v.cost - mean;
        squares += d * d;
    }
    return std::sqrt((1.0 / static_cast<double>(m - 1)) * squares);
}

}  // namespace

SearchOutcome nelder_mead_search(const CostFunction& cost, const std::vector<double>& x0,
                                 std::uint64_t max_iterations) {
    const std::size_t n = x0.size();
    if (n == 0) return std::unexpected(std::string("nelder-mead needs at least one coordinate"));

    // Initial simplex: x0 and one vertex per coordinate, stepped by 10 % of its
    // magnitude (0.1 for values within 1e-8 of zero, or NaN).
    std::vector<Vertex> simplex;
    simplex.reserve(n + 1);
    simplex.push_back({x0, 0.0});
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<double> x = x0;
        const double magnitude = std::fabs(x0[i]);
        x[i] += magnitude > 1e-8 ? 0.1 * magnitude : 0.1;
        simplex.push_back({std::move(x), 0.0});
    }
    for (auto& v : simplex) v.cost = cost(v.x);

    auto by_cost = [](const Vertex& v) { return v.cost; };
    engine_detail::stable_sort_by_less(simplex, by_cost);

    std::vector<double> best_x;
    double best_cost = INFINITY;
    bool have_best = false;
    auto track_best = [&] {
        if (engine_detail::improves_best(simplex[0].cost, best_cost)) {
            best_x.assign(simplex[0].x.begin(), simplex[0].x.end());
            best_cost = simplex[0].cost;
            have_best = true;
        }
    };
    track_best();

    std::uint64_t k = 0;
    const double inv_n = 1.0 / static_cast<double>(n);
    std::vector<double> centroid(n), xr(n), xt(n);  // reused by every iteration
    for (;;) {
        if (cost_spread(simplex) < kSpreadTolerance) break;   // NaN spread never stops
        if (k >= max_iterations) break;

        const double f0 = simplex[0].cost;
        const double f_second_worst = simplex[n - 1].cost;
        const double f_worst = simplex[n].cost;
        const std::vector<double>& x_worst = simplex[n].x;

        centroid.assign(n, 0.0);
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t i = 0; i < n; ++i) centroid[i] += simplex[j].x[i];
        for (double& c : centroid) c *= inv_n;

        xr.resize(n);
        for (std::size_t i = 0; i < n; ++i) xr[i] = centroid[i] + (centroid[i] - x_worst[i]) * kAlpha;
        const double fr = cost(xr);

        bool shrink = false;
        if (fr < f_second_worst && fr >= f0) {
            replace_worst(simplex[n], xr, fr);
        } else if (fr < f0) {
            std::vector<double>& xe = xt;
            along(centroid, xr, kGamma, xe);
            const double fe = cost(xe);
            if (fe < fr) replace_worst(simplex[n], xe, fe);
            else replace_worst(simplex[n], xr, fr);
        } else if (fr >= f_second_worst) {
            std::vector<double>& xc = xt;
            if (fr < f_worst) {
                along(centroid, xr, kRho, xc);   // outside
                const double fc = cost(xc);
                if (fc <= fr) replace_worst(simplex[n], xc, fc);
                else shrink = true;
            } else {
                along(centroid, x_worst, kRho, xc);   // inside
                const double fc = cost(xc);
                if (fc < f_worst) replace_worst(simplex[n], xc, fc);
                else shrink = true;
            }
        } else {
            // fr or the second-worst cost is NaN: none of the moves applies.
            return std::unexpected(
                std::string("nelder-mead failed: `NelderMead`: Reached unreachable point."));
        }

        if (shrink) {
            for (std::size_t j = 1; j <= n; ++j) {
                along(simplex[0].x, simplex[j].x, kSigma, simplex[j].x);
                simplex[j].cost = cost(simplex[j].x);
            }
        }

        engine_detail::stable_sort_by_less(simplex, by_cost);
        track_best();
        ++k;
    }

    if (!have_best) return std::unexpected(std::string("nelder-mead found no best position"));
    return SearchResult{std::move(best_x), best_cost, k};
}

}  // namespace velotz
