#include "circuit/param_mask.hpp"

#include <algorithm>
#include <cmath>

#include "util/text.hpp"

namespace velotz {

bool ParamMask::any() const {
    return std::any_of(fixed.begin(), fixed.end(), [](bool f) { return f; }) ||
           std::any_of(bounds.begin(), bounds.end(), [](const auto& b) { return b.has_value(); });
}

void ParamMask::append(const ParamMask& part) {
    fixed.insert(fixed.end(), part.fixed.begin(), part.fixed.end());
    bounds.insert(bounds.end(), part.bounds.begin(), part.bounds.end());
}

std::vector<Bounds> effective_bounds(const NodeList& tree, const ParamMask* mask) {
    std::vector<Bounds> out = param_bounds(tree);
    if (!mask) return out;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (mask->has_bounds(i)) out[i] = *mask->bounds[i];
    }
    return out;
}

namespace {

std::string pair_text(double lo, double hi) { return "(" + format_number(lo) + ", " + format_number(hi) + ")"; }

}  // namespace

std::optional<std::string> check_mask(const NodeList& tree, const ParamMask& mask) {
    const std::vector<std::string> names = param_names(tree);
    const std::vector<Bounds> defaults = param_bounds(tree);
    const std::vector<double> values = param_values(tree);
    const std::size_t n = names.size();
    if (mask.fixed.size() != n || mask.bounds.size() != n) {
        return "parameter constraints describe " + std::to_string(mask.fixed.size()) +
               " parameters, the circuit has " + std::to_string(n);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!mask.bounds[i]) continue;
        const Bounds b = *mask.bounds[i];
        const std::string what = "bounds for " + quote(names[i]);
        if (std::isnan(b.lo) || std::isnan(b.hi)) return what + " must be numbers, got " + pair_text(b.lo, b.hi);
        if (!(b.lo < b.hi)) {
            std::string message = what + " need lower < upper, got " + pair_text(b.lo, b.hi);
            if (b.lo == b.hi) message += " (with_fixed holds a parameter at one value)";
            return message;
        }
        if (b.lo < defaults[i].lo || b.hi > defaults[i].hi) {
            return what + " must lie within its default bounds " + pair_text(defaults[i].lo, defaults[i].hi) +
                   ", got " + pair_text(b.lo, b.hi);
        }
    }
    std::size_t fixed_count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!mask.fixed[i]) continue;
        ++fixed_count;
        const double v = values[i];
        const Bounds b = mask.bounds[i] ? *mask.bounds[i] : defaults[i];
        if (!std::isfinite(v)) {
            return "fixed value of " + quote(names[i]) + " must be a finite number, got " + format_number(v);
        }
        if (v < b.lo || v > b.hi) {
            return "fixed value of " + quote(names[i]) + " lies outside its bounds: " + format_number(v) +
                   " is not in " + pair_text(b.lo, b.hi);
        }
    }
    if (n > 0 && fixed_count == n) {
        return "every parameter of this circuit would be fixed; at least one must stay free to fit";
    }
    return std::nullopt;
}

void apply_mask(const NodeList& tree, const ParamMask& mask, std::vector<double>& values) {
    const std::vector<double> current = param_values(tree);
    const std::size_t n = std::min({values.size(), current.size(), mask.size()});
    for (std::size_t i = 0; i < n; ++i) {
        if (mask.fixed[i]) {
            values[i] = current[i];
            continue;
        }
        if (!mask.bounds[i]) continue;
        const Bounds b = *mask.bounds[i];
        double& v = values[i];
        if (!std::isfinite(b.hi)) {
            if (!(v > b.lo)) v = b.lo > 0.0 ? 2.0 * b.lo : b.lo + 1.0;
        } else if (std::isnan(v)) {
            v = b.lo + 0.5 * (b.hi - b.lo);
        } else {
            v = std::clamp(v, b.lo, b.hi);
        }
    }
}

}  // namespace velotz
