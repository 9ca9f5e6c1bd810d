// What a fit diagnosis needs to know about a circuit's structure: how much
// every series node and parallel branch contributes over the measured
// frequencies, and the characteristic times of its arcs.
#include <cmath>

#include "analysis/analysis.hpp"

namespace velotz {
namespace {

double modulus(Cx z) { return std::hypot(z.re, z.im); }

// Largest ratio over the frequencies; NaN as soon as one ratio is NaN.
template <class Ratio>
double max_ratio(const std::vector<double>& omegas, Ratio ratio) {
    double best = 0.0;
    for (double w : omegas) {
        const double r = ratio(w);
        if (std::isnan(r)) return r;
        if (r > best) best = r;
    }
    return best;
}

void walk_series(const NodeList& list, std::size_t first, const std::vector<double>& omegas, double negligible,
                 std::vector<BranchShare>& out);

void walk_parallel(const Node& node, std::size_t first, const std::vector<double>& omegas, double negligible,
                   std::vector<BranchShare>& out) {
    const NodeList group{node};
    std::size_t p = first;
    for (const NodeList& branch : node.branches) {
        const std::size_t count = param_count(branch);
        const double share = max_ratio(omegas, [&](double w) {
            // Share of the group's current: |Y_branch| / |Y_group| = |Z_group| / |Z_branch|.
            return modulus(impedance(group, w)) / modulus(impedance(branch, w));
        });
        out.push_back({true, p, count, share});
        if (!(share < negligible)) walk_series(branch, p, omegas, negligible, out);
        p += count;
    }
}

void walk_series(const NodeList& list, std::size_t first, const std::vector<double>& omegas, double negligible,
                 std::vector<BranchShare>& out) {
    std::size_t p = first;
    for (const Node& node : list) {
        const NodeList alone{node};
        const std::size_t count = param_count(alone);
        double share = 1.0;
        if (list.size() >= 2) {
            share = max_ratio(omegas, [&](double w) { return modulus(impedance(alone, w)) / modulus(impedance(list, w)); });
            out.push_back({false, p, count, share});
        }
        if (node.is_parallel() && !(share < negligible)) walk_parallel(node, p, omegas, negligible, out);
        p += count;
    }
}

// The single leaf of a one-element branch, or null.
const Element* lone_leaf(const NodeList& branch) {
    if (branch.size() != 1 || branch[0].is_parallel()) return nullptr;
    return &branch[0].element;
}

void collect_times(const NodeList& list, std::size_t& p, std::vector<TimeConstant>& out) {
    for (const Node& node : list) {
        if (!node.is_parallel()) {
            const Element& e = node.element;
            switch (e.kind) {
                case Kind::K:
                case Kind::Zarc:
                case Kind::Wo:
                case Kind::Ws:
                case Kind::G:
                case Kind::Gs: out.push_back({{p + 1}, e.v[1]}); break;
                case Kind::T: out.push_back({{p + 3}, e.v[3]}); break;
                // No time constant of their own (R, C and CPE pairs are
                // found as parallel groups below).
                case Kind::R: case Kind::C: case Kind::L: case Kind::La: case Kind::Cpe: case Kind::W:
                case Kind::Tlmq: case Kind::User:  // a user formula names no time constant
                    break;
            }
            p += static_cast<std::size_t>(e.field_count());
            continue;
        }
        // An R in parallel with a C or a CPE: one relaxation time.
        if (node.branches.size() == 2) {
            const Element* a = lone_leaf(node.branches[0]);
            const Element* b = lone_leaf(node.branches[1]);
            if (a && b) {
                const std::size_t pa = p, pb = p + static_cast<std::size_t>(a->field_count());
                const Element* r = a->kind == Kind::R ? a : b->kind == Kind::R ? b : nullptr;
                const Element* other = r == a ? b : a;
                const std::size_t pr = r == a ? pa : pb, po = r == a ? pb : pa;
                if (r && other->kind == Kind::C) out.push_back({{pr, po}, r->v[0] * other->v[0]});
                if (r && other->kind == Kind::Cpe)
                    out.push_back({{pr, po, po + 1}, std::pow(r->v[0] * other->v[0], 1.0 / other->v[1])});
            }
            // A Randles-type group: a C or CPE (the double layer) in
            // parallel with a series branch holding one R (charge transfer)
            // and elements such as a diffusion impedance. The charge-transfer
            // arc relaxes at R C (or (R Q)^(1/n)); the diffusion element
            // names its own time constant below.
            for (int side = 0; side < 2 && !(a && b); ++side) {
                const Element* cap = side == 0 ? a : b;
                const NodeList& other = node.branches[side == 0 ? 1 : 0];
                if (!cap || (cap->kind != Kind::C && cap->kind != Kind::Cpe) || other.size() < 2) continue;
                const std::size_t pc = side == 0 ? p : p + param_count(node.branches[0]);
                std::size_t q = side == 0 ? p + static_cast<std::size_t>(cap->field_count()) : p;
                const Element* r = nullptr;
                std::size_t pr = 0, resistors = 0;
                for (const Node& n : other) {
                    if (!n.is_parallel() && n.element.kind == Kind::R) {
                        r = &n.element;
                        pr = q;
                        ++resistors;
                    }
                    q += param_count(NodeList{n});
                }
                if (resistors != 1) continue;
                if (cap->kind == Kind::C) out.push_back({{pr, pc}, r->v[0] * cap->v[0]});
                else out.push_back({{pr, pc, pc + 1}, std::pow(r->v[0] * cap->v[0], 1.0 / cap->v[1])});
            }
        }
        for (const NodeList& branch : node.branches) collect_times(branch, p, out);
    }
}

}  // namespace

std::vector<BranchShare> branch_shares(const NodeList& series, const std::vector<double>& freqs_hz,
                                       double negligible) {
    std::vector<BranchShare> out;
    const std::vector<double> omegas = [&] {
        std::vector<double> w;
        w.reserve(freqs_hz.size());
        for (double f : freqs_hz) w.push_back(kTwoPi * f);
        return w;
    }();
    if (omegas.empty()) return out;
    walk_series(series, 0, omegas, negligible, out);
    return out;
}

std::vector<TimeConstant> time_constants(const NodeList& series) {
    std::vector<TimeConstant> out;
    std::size_t p = 0;
    collect_times(series, p, out);
    return out;
}

}  // namespace velotz
