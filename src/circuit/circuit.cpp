#include "circuit/circuit.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "circuit/program.hpp"
#include "util/pool.hpp"
#include "util/text.hpp"

namespace velotz {

Node Node::leaf(const Element& e, std::optional<std::string> label) {
    Node n;
    n.type = Type::Element;
    n.element = e;
    n.label = std::move(label);
    return n;
}

Node Node::parallel(std::vector<NodeList> branches) {
    Node n;
    n.type = Type::Parallel;
    n.branches = std::move(branches);
    return n;
}

bool Node::operator==(const Node& o) const {
    if (type != o.type) return false;
    if (type == Type::Element) return element == o.element && label == o.label;
    return branches == o.branches;
}

// ---------------------------------------------------------------- parameters
namespace {

// Calls f(node) for every element node in leaf order (collect_leaves' order).
template <class F>
void for_each_leaf(const NodeList& series, F&& f) {
    for (const Node& n : series) {
        if (n.is_parallel()) {
            for (const NodeList& b : n.branches) for_each_leaf(b, f);
        } else {
            f(n);
        }
    }
}

void collect(const NodeList& series, std::vector<Leaf>& out) {
    for (const Node& n : series) {
        if (n.is_parallel()) {
            for (const NodeList& b : n.branches) collect(b, out);
        } else {
            out.push_back({&n.element, &n.label});
        }
    }
}

}  // namespace

std::vector<Leaf> collect_leaves(const NodeList& series) {
    std::vector<Leaf> out;
    collect(series, out);
    return out;
}

std::size_t param_count(const NodeList& series) {
    std::size_t n = 0;
    for (const Node& node : series) {
        if (node.is_parallel()) {
            for (const NodeList& b : node.branches) n += param_count(b);
        } else {
            n += static_cast<std::size_t>(node.element.field_count());
        }
    }
    return n;
}

std::vector<std::string> param_names(const NodeList& series) {
    std::vector<std::string> names;
    names.reserve(param_count(series));
    std::array<std::size_t, kKindCount + 1> counters{};
    for_each_leaf(series, [&](const Node& n) {
        const Element& e = n.element;
        std::string label;
        if (n.label) {
            label = *n.label;
        } else {
            label = std::string(e.code()) + std::to_string(counters[static_cast<std::size_t>(e.kind)]++);
        }
        for (int f = 0; f < e.field_count(); ++f) names.push_back(label + "." + e.field_name(f));
    });
    return names;
}

std::vector<std::string> param_units(const NodeList& series) {
    std::vector<std::string> units;
    for (const Leaf& leaf : collect_leaves(series)) {
        const Element& e = *leaf.element;
        for (int f = 0; f < e.field_count(); ++f) units.emplace_back(e.field_unit(f));
    }
    return units;
}

std::vector<Bounds> param_bounds(const NodeList& series) {
    std::vector<Bounds> bounds;
    for (const Leaf& leaf : collect_leaves(series)) {
        const Element& e = *leaf.element;
        for (int f = 0; f < e.field_count(); ++f) bounds.push_back(e.bounds(f));
    }
    return bounds;
}

std::vector<double> param_values(const NodeList& series) {
    std::vector<double> values;
    for (const Leaf& leaf : collect_leaves(series)) {
        auto v = leaf.element->values();
        values.insert(values.end(), v.begin(), v.end());
    }
    return values;
}

void param_values_into(const NodeList& series, std::vector<double>& out) {
    out.clear();
    for_each_leaf(series, [&](const Node& n) {
        const auto v = n.element.values();
        out.insert(out.end(), v.begin(), v.end());
    });
}

void param_bounds_into(const NodeList& series, std::vector<Bounds>& out) {
    out.clear();
    for_each_leaf(series, [&](const Node& n) {
        for (int f = 0; f < n.element.field_count(); ++f) out.push_back(n.element.bounds(f));
    });
}

bool same_shape(const NodeList& a, const NodeList& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const Node& x = a[i];
        const Node& y = b[i];
        if (x.type != y.type) return false;
        if (x.is_parallel()) {
            if (x.branches.size() != y.branches.size()) return false;
            for (std::size_t k = 0; k < x.branches.size(); ++k) {
                if (!same_shape(x.branches[k], y.branches[k])) return false;
            }
        } else if (x.element.kind != y.element.kind || x.element.kind == Kind::User) {
            return false;
        }
    }
    return true;
}

namespace {

NodeList rebuild_at(const NodeList& series, const std::vector<double>& values, std::size_t& offset) {
    NodeList out;
    out.reserve(series.size());
    for (const Node& n : series) {
        if (n.is_parallel()) {
            std::vector<NodeList> branches;
            branches.reserve(n.branches.size());
            for (const NodeList& b : n.branches) branches.push_back(rebuild_at(b, values, offset));
            out.push_back(Node::parallel(std::move(branches)));
        } else {
            const std::size_t k = static_cast<std::size_t>(n.element.field_count());
            std::span<const double> slice(values.data() + offset, k);
            out.push_back(Node::leaf(n.element.with_values(slice), n.label));
            offset += k;
        }
    }
    return out;
}

}  // namespace

NodeList rebuild(const NodeList& series, const std::vector<double>& values) {
    // Callers check the length; running past the end would be a programming error.
    if (values.size() < param_count(series)) std::abort();
    std::size_t offset = 0;
    return rebuild_at(series, values, offset);
}

NodeList expand_series(const NodeList& series, bool& expanded) {
    NodeList out;
    out.reserve(series.size());
    for (const Node& n : series) {
        if (n.is_parallel()) {
            std::vector<NodeList> branches;
            branches.reserve(n.branches.size());
            for (const NodeList& b : n.branches) branches.push_back(expand_series(b, expanded));
            out.push_back(Node::parallel(std::move(branches)));
            continue;
        }
        const Element& e = n.element;
        if (e.kind == Kind::K) {
            const double r = e.v[0], tau = e.v[1];
            std::vector<NodeList> branches(2);
            branches[0].push_back(Node::leaf(Element::make(Kind::R, std::array{r})));
            branches[1].push_back(Node::leaf(Element::make(Kind::C, std::array{tau / r})));
            out.push_back(Node::parallel(std::move(branches)));
            expanded = true;
        } else if (e.kind == Kind::Zarc) {
            const double r = e.v[0], tau = e.v[1], gamma = e.v[2];
            std::vector<NodeList> branches(2);
            branches[0].push_back(Node::leaf(Element::make(Kind::R, std::array{r})));
            branches[1].push_back(Node::leaf(Element::make(Kind::Cpe, std::array{std::pow(tau, gamma) / r, gamma})));
            out.push_back(Node::parallel(std::move(branches)));
            expanded = true;
        } else {
            out.push_back(n);
        }
    }
    return out;
}

namespace {

// Levenshtein distance of a and b if it is at most `limit`, else limit + 1.
// Only the diagonal band |i - j| <= limit can hold such distances, and the
// computation stops as soon as a whole row exceeds the limit, so the cost is
// O(min(|a|, |b|) * limit) at worst instead of O(|a| * |b|).
std::size_t bounded_distance(const std::u32string& a, const std::u32string& b, std::size_t limit,
                             std::vector<std::size_t>& prev, std::vector<std::size_t>& cur) {
    const std::size_t la = a.size(), lb = b.size();
    if ((la > lb ? la - lb : lb - la) > limit) return limit + 1;
    const std::size_t over = limit + 1;
    prev.assign(lb + 1, over);
    cur.assign(lb + 1, over);
    for (std::size_t j = 0; j <= std::min(lb, limit); ++j) prev[j] = j;
    for (std::size_t i = 1; i <= la; ++i) {
        const std::size_t lo = i > limit ? i - limit : 1;
        const std::size_t hi = std::min(lb, i + limit);
        cur[lo - 1] = (lo == 1 && i <= limit) ? i : over;
        std::size_t row_min = cur[lo - 1];
        for (std::size_t j = lo; j <= hi; ++j) {
            const std::size_t sub = prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            const std::size_t d = std::min({prev[j] + 1, cur[j - 1] + 1, sub, over});
            cur[j] = d;
            row_min = std::min(row_min, d);
        }
        if (hi < lb) cur[hi + 1] = over;
        if (row_min > limit) return over;
        std::swap(prev, cur);
    }
    return std::min(prev[lb], over);
}

}  // namespace

std::optional<std::string> closest_param_name(std::string_view unknown, const std::vector<std::string>& valid) {
    const std::u32string a = utf8_to_u32(unknown);
    const std::size_t threshold = std::max<std::size_t>(2, a.size() / 2);
    std::optional<std::size_t> best;
    std::size_t best_distance = 0;
    std::vector<std::size_t> prev, cur;
    for (std::size_t idx = 0; idx < valid.size(); ++idx) {
        // A later name replaces the best only when strictly closer, so it
        // need not be measured beyond best_distance - 1.
        const std::size_t limit = best ? std::min(threshold, best_distance - 1) : threshold;
        if (best && best_distance == 0) break;
        // Small limits first: a close pair is settled in O(length * distance)
        // and a distant one stops at the first row past the limit.
        const std::u32string b = utf8_to_u32(valid[idx]);
        std::size_t d = limit + 1;
        for (std::size_t step = 2;; step *= 2) {
            const std::size_t trial = std::min(step, limit);
            d = bounded_distance(a, b, trial, prev, cur);
            if (d <= trial || trial == limit) break;
        }
        if (d <= limit) {
            best = idx;
            best_distance = d;
        }
    }
    if (best && best_distance <= threshold) return valid[*best];
    return std::nullopt;
}

// ---------------------------------------------------------------- evaluation
Cx impedance(const NodeList& series, double omega) {
    Cx z{0.0, 0.0};
    for (const Node& n : series) {
        if (n.is_parallel()) {
            Cx y{0.0, 0.0};
            for (const NodeList& b : n.branches) y = y + recip(impedance(b, omega));
            z = z + recip(y);
        } else {
            z = z + n.element.impedance(omega);
        }
    }
    return z;
}

Cx series_impedance_with_params(const NodeList& series, double omega, ParamCursor& cursor) {
    Cx z{0.0, 0.0};
    for (const Node& n : series) {
        if (n.is_parallel()) {
            Cx y{0.0, 0.0};
            for (const NodeList& b : n.branches) y = y + recip(series_impedance_with_params(b, omega, cursor));
            z = z + recip(y);
        } else {
            const Kind kind = n.element.kind;
            const std::ptrdiff_t k = n.element.field_count();
            if (cursor.end - cursor.pos < k) {
                cursor.ok = false;
                cursor.pos = cursor.end;
                return {std::nan(""), std::nan("")};
            }
            z = z + (kind == Kind::User ? Element::user_impedance(n.element.user, cursor.pos, omega)
                                        : Element::impedance_of(kind, cursor.pos, omega));
            cursor.pos += k;
        }
        if (!cursor.ok) return z;
    }
    return z;
}

void BoundCircuit::compile(const NodeList& series, std::size_t depth) {
    for (const Node& n : series) {
        if (!ok_) return;
        if (n.is_parallel()) {
            // Each group takes one frame of the stack, also without branches.
            max_depth_ = std::max(max_depth_, depth + 1);
            ops_.push_back({Op::Open, Kind::R, nullptr, {}, 0});
            for (const NodeList& b : n.branches) {
                compile(b, depth + 1);
                ops_.push_back({Op::EndBranch, Kind::R, nullptr, {}, 0});
            }
            ops_.push_back({Op::Close, Kind::R, nullptr, {}, 0});
        } else {
            const Kind kind = n.element.kind;
            const std::ptrdiff_t k = n.element.field_count();
            if (end_ - cursor_ < k) {
                ok_ = false;
                return;
            }
            const Element::Prepared pre = Element::prepare(kind, cursor_);
            ops_.push_back({Op::Leaf, kind, cursor_, pre, n.element.user});
            leaves_.push_back({kind, static_cast<std::size_t>(cursor_ - begin_), cursor_, pre,
                               static_cast<std::size_t>(k)});
            leaf_ops_.push_back(ops_.size() - 1);
            cursor_ += k;
        }
    }
}

bool BoundCircuit::bind(const NodeList& series, const double* params, std::size_t count) {
    ops_.clear();
    leaves_.clear();
    leaf_ops_.clear();
    max_depth_ = 0;
    begin_ = params;
    cursor_ = params;
    end_ = params + count;
    ok_ = true;
    compile(series, 0);
    stack_.resize(max_depth_ + 1);
    return ok_;
}

template <bool Keep>
Cx BoundCircuit::evaluate(double omega, Cx* cache) const {
    Cx z{0.0, 0.0};
    Frame* top = stack_.data();  // frame 0 is never used; groups start at 1
    for (std::size_t i = 0; i < ops_.size(); ++i) {
        const Op& op = ops_[i];
        Cx value;
        switch (op.code) {
            case Op::Leaf:
                value = op.kind == Kind::User ? Element::user_impedance(op.user, op.fields, omega)
                                              : Element::impedance_prepared(op.kind, op.fields, op.pre, omega);
                z = z + value;
                break;
            case Op::Open:
                ++top;
                top->outer = z;
                top->admittance = {0.0, 0.0};
                z = {0.0, 0.0};
                continue;
            case Op::EndBranch:
                value = recip(z);
                top->admittance = top->admittance + value;
                z = {0.0, 0.0};
                break;
            case Op::Close:
                value = recip(top->admittance);
                z = top->outer + value;
                --top;
                break;
        }
        if constexpr (Keep) cache[i] = value;
    }
    return z;
}

Cx BoundCircuit::impedance(double omega) const { return evaluate<false>(omega, nullptr); }

Cx BoundCircuit::record(double omega, Cx* cache) const { return evaluate<true>(omega, cache); }

Cx BoundCircuit::replay(const Cx* cache, std::size_t leaf, Cx value) const {
    const std::size_t target = leaf < leaf_ops_.size() ? leaf_ops_[leaf] : SIZE_MAX;
    Cx z{0.0, 0.0};
    bool dirty = false;
    Frame* top = stack_.data();
    for (std::size_t i = 0; i < ops_.size(); ++i) {
        switch (ops_[i].code) {
            case Op::Leaf:
                if (i == target) {
                    z = z + value;
                    dirty = true;
                } else {
                    z = z + cache[i];
                }
                break;
            case Op::Open:
                ++top;
                top->outer = z;
                top->admittance = {0.0, 0.0};
                top->outer_dirty = dirty;
                top->group_dirty = false;
                z = {0.0, 0.0};
                dirty = false;
                break;
            case Op::EndBranch:
                top->admittance = top->admittance + (dirty ? recip(z) : cache[i]);
                top->group_dirty = top->group_dirty || dirty;
                z = {0.0, 0.0};
                dirty = false;
                break;
            case Op::Close:
                z = top->outer + (top->group_dirty ? recip(top->admittance) : cache[i]);
                dirty = top->outer_dirty || top->group_dirty;
                --top;
                break;
        }
    }
    return z;
}

std::size_t BoundCircuit::leaf_of_param(std::size_t index) const {
    for (std::size_t i = 0; i < leaves_.size(); ++i) {
        const std::size_t first = leaves_[i].first;
        if (index >= first && index < first + leaves_[i].field_count) return i;
    }
    return leaves_.size();
}

std::vector<Cx> impedance_spectrum(const NodeList& series, const std::vector<double>& freqs_hz) {
    std::vector<Cx> out(freqs_hz.size());
    impedance_spectrum_into(series, freqs_hz.data(), freqs_hz.size(), out.data());
    return out;
}

void impedance_spectrum_into(const NodeList& series, const double* freqs_hz, std::size_t n, Cx* out) {
    const std::vector<double> values = param_values(series);
    const CircuitProgram program(series);
    const bool needs_log = program.needs_log();
    const bool needs_sqrt = program.needs_sqrt();
    // Frequencies go through the program in blocks small enough for every
    // intermediate array to stay in the first-level cache: the fused run's
    // own block length, so that each piece is one block of it.
    constexpr std::size_t kBlock = 256;
    const std::size_t piece = program.fused() ? program.fused_stride() : kBlock;
    auto range = [&](std::size_t begin, std::size_t end) {
        // One workspace and grid per thread, kept from call to call: after
        // the first call on a thread nothing is allocated or zero-filled.
        // The fused run (every circuit the parser builds) needs no arrays
        // per step.
        thread_local CircuitProgram::Workspace ws;
        thread_local SpectrumGrid grid;
        if (!program.fused()) ws.reserve(program, std::min(piece, end - begin));
        for (std::size_t b = begin; b < end; b += piece) {
            const std::size_t count = std::min(piece, end - b);
            grid.assign_hertz(freqs_hz + b, count, needs_sqrt, needs_log);
            program.evaluate_into(values.data(), grid, 0, count, ws, out + b);
        }
    };
    if (n < kParallelImpedanceThreshold) {
        range(0, n);
    } else {
        parallel_chunks(n, kBlock, range);
    }
}

}  // namespace velotz
