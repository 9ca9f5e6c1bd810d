#pragma once
// Constraints a circuit may carry beside its tree: parameters held at their
// current value while fitting (fixed) and bounds narrower than the element
// defaults. Both are indexed in param_names order. A circuit without any
// constraint carries no mask at all, so nothing about it changes.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"

namespace velotz {

struct ParamMask {
    std::vector<bool> fixed;                    // one per parameter
    std::vector<std::optional<Bounds>> bounds;  // one per parameter; nullopt: the element default

    // An unconstrained mask of n parameters.
    static ParamMask none(std::size_t n) { return ParamMask{std::vector<bool>(n, false), std::vector<std::optional<Bounds>>(n)}; }

    std::size_t size() const { return fixed.size(); }
    bool is_fixed(std::size_t i) const { return i < fixed.size() && fixed[i]; }
    bool has_bounds(std::size_t i) const { return i < bounds.size() && bounds[i].has_value(); }
    // Whether any parameter is fixed or has custom bounds.
    bool any() const;
    // The masks of parts joined end to end (their parameters in that order).
    void append(const ParamMask& part);
};

// Bounds used by the fit: the custom ones where set, the element defaults
// (param_bounds) otherwise. A null mask gives param_bounds unchanged.
std::vector<Bounds> effective_bounds(const NodeList& tree, const ParamMask* mask);

// The first reason `mask` cannot go with `tree`, as a message naming the
// parameter: a mask of the wrong length; custom bounds with a NaN, with
// lower >= upper or reaching outside the default bounds; a fixed value that
// is not finite or lies outside its bounds; every parameter fixed.
std::optional<std::string> check_mask(const NodeList& tree, const ParamMask& mask);

// Starting values from elsewhere (a network's guess) made to respect the
// mask: fixed parameters take the tree's (fixed) values; a value outside
// custom bounds moves to the nearer bound, except that a value at or below
// the lower bound of a custom bound without an upper end moves to twice that
// bound, as the fit measures such a parameter on a log scale above the bound.
// Parameters without custom bounds are left as they are.
void apply_mask(const NodeList& tree, const ParamMask& mask, std::vector<double>& values);

}  // namespace velotz
