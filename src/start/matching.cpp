// Canonical forms of circuits: element order within a series and branch
// order within a parallel block do not matter, labels never enter.
#include <algorithm>
#include <cmath>
#include <tuple>

#include "start/registry.hpp"

namespace velotz {

std::string series_key(const std::vector<std::string>& keys) {
    std::string out = "[";
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i) out += ",";
        out += keys[i];
    }
    out += "]";
    return out;
}

namespace {

std::string keys_of(const std::vector<Shape>& series) {
    std::vector<std::string> keys;
    keys.reserve(series.size());
    for (const Shape& s : series) keys.push_back(s.key);
    return series_key(keys);
}

void collect_spans(const std::vector<Shape>& series, std::vector<Span>& out) {
    for (const Shape& s : series) {
        if (s.key.empty() || s.key[0] != '(') {
            out.push_back({s.start, s.count});
        } else {
            for (const auto& branch : s.branches) collect_spans(branch, out);
        }
    }
}

}  // namespace

std::vector<Shape> shapes(const NodeList& series, std::size_t& counter) {
    std::vector<Shape> out;
    out.reserve(series.size());
    for (const Node& n : series) {
        Shape shape;
        if (!n.is_parallel()) {
            shape.key = kind_info(n.element.kind).code;
            shape.start = counter;
            shape.count = static_cast<std::size_t>(n.element.field_count());
            counter += shape.count;
        } else {
            std::vector<std::vector<Shape>> branches;
            branches.reserve(n.branches.size());
            for (const NodeList& b : n.branches) branches.push_back(shapes(b, counter));
            if (branches.size() > 1) {
                // Sort by (branch key, written position); keys compare bytewise.
                std::vector<std::pair<std::string, std::size_t>> order;
                for (std::size_t i = 0; i < branches.size(); ++i) order.emplace_back(keys_of(branches[i]), i);
                std::sort(order.begin(), order.end());
                std::vector<std::vector<Shape>> sorted;
                sorted.reserve(branches.size());
                for (const auto& [key, i] : order) sorted.push_back(std::move(branches[i]));
                branches = std::move(sorted);
            }
            std::string key = "(";
            for (std::size_t i = 0; i < branches.size(); ++i) {
                if (i) key += ",";
                key += keys_of(branches[i]);
            }
            key += ")";
            shape.key = std::move(key);
            shape.branches = std::move(branches);
        }
        out.push_back(std::move(shape));
    }
    std::stable_sort(out.begin(), out.end(), [](const Shape& a, const Shape& b) { return a.key < b.key; });
    return out;
}

std::pair<std::string, std::vector<Span>> canonical(const NodeList& series) {
    std::size_t counter = 0;
    std::vector<Shape> sorted = shapes(series, counter);
    std::vector<Span> spans;
    collect_spans(sorted, spans);
    return {keys_of(sorted), std::move(spans)};
}

std::optional<Mapping> match_topology(const NodeList& model, const NodeList& user) {
    auto [model_key, model_spans] = canonical(model);
    auto [user_key, user_spans] = canonical(user);
    if (model_key != user_key) return std::nullopt;
    Mapping mapping(param_count(user), 0);
    for (std::size_t i = 0; i < user_spans.size() && i < model_spans.size(); ++i) {
        for (std::size_t j = 0; j < user_spans[i].count; ++j) {
            mapping[user_spans[i].start + j] = model_spans[i].start + j;
        }
    }
    return mapping;
}

std::optional<TopologyMatch> match_or_expand(const NodeList& model, const NodeList& user) {
    if (auto m = match_topology(model, user)) return TopologyMatch{std::move(*m), false};
    bool expanded = false;
    NodeList rewritten = expand_series(user, expanded);
    if (!expanded) return std::nullopt;
    if (auto m = match_topology(model, rewritten)) return TopologyMatch{std::move(*m), true};
    return std::nullopt;
}

namespace {

// The canonical form of every registry circuit, computed once: the circuits
// are fixed text. `parsed` is false for an entry whose circuit does not parse
// (skipped by the search, as it would be when parsed on every call).
struct ModelForm {
    bool parsed = false;
    std::string key;
    std::vector<Span> spans;
};

const std::vector<ModelForm>& model_forms() {
    static const std::vector<ModelForm> forms = [] {
        std::vector<ModelForm> out(MODEL_SPECS.size());
        for (std::size_t i = 0; i < MODEL_SPECS.size(); ++i) {
            if (auto model = parse(MODEL_SPECS[i].circuit)) {
                auto [key, spans] = canonical(*model);
                out[i] = ModelForm{true, std::move(key), std::move(spans)};
            }
        }
        return out;
    }();
    return forms;
}

// match_topology's mapping for equal keys.
Mapping map_spans(std::size_t user_params, const std::vector<Span>& user_spans, const std::vector<Span>& model_spans) {
    Mapping mapping(user_params, 0);
    for (std::size_t i = 0; i < user_spans.size() && i < model_spans.size(); ++i) {
        for (std::size_t j = 0; j < user_spans[i].count; ++j) {
            mapping[user_spans[i].start + j] = model_spans[i].start + j;
        }
    }
    return mapping;
}

}  // namespace

// match_or_expand against each registry circuit in order, with the user's
// canonical form (and that of its rewritten form, once needed) computed once
// for all of them.
std::optional<RegistryMatch> find_for_topology(const NodeList& user) {
    const std::vector<ModelForm>& forms = model_forms();
    const auto [user_key, user_spans] = canonical(user);
    bool rewrite_done = false, expanded = false;
    NodeList rewritten;
    std::string rewritten_key;
    std::vector<Span> rewritten_spans;
    for (std::size_t i = 0; i < forms.size(); ++i) {
        const ModelForm& model = forms[i];
        if (!model.parsed) continue;
        if (model.key == user_key) {
            return RegistryMatch{i, TopologyMatch{map_spans(param_count(user), user_spans, model.spans), false}};
        }
        if (!rewrite_done) {
            rewrite_done = true;
            rewritten = expand_series(user, expanded);
            if (expanded) std::tie(rewritten_key, rewritten_spans) = canonical(rewritten);
        }
        if (expanded && model.key == rewritten_key) {
            return RegistryMatch{i, TopologyMatch{map_spans(param_count(rewritten), rewritten_spans, model.spans), true}};
        }
    }
    return std::nullopt;
}

const std::optional<RegistryMatch>& find_for_topology_cached(const NodeList& user) {
    // The match depends on the shape and the kinds only (labels and values
    // never enter the canonical form), so it serves every tree of the shape.
    struct Last {
        NodeList shape;
        std::optional<RegistryMatch> found;
        bool valid = false;
    };
    thread_local Last last;
    if (!last.valid || !same_shape(last.shape, user)) {
        last.valid = false;
        last.found = find_for_topology(user);
        last.shape = user;
        last.valid = true;
    }
    return last.found;
}

std::vector<double> convert_expanded(const NodeList& user, const std::vector<double>& mapped) {
    std::vector<double> out;
    out.reserve(param_count(user));
    std::size_t pos = 0;
    auto next = [&]() { return pos < mapped.size() ? mapped[pos++] : std::nan(""); };
    for (const Leaf& leaf : collect_leaves(user)) {
        switch (leaf.element->kind) {
            case Kind::K: {
                const double r = next(), c = next();
                out.push_back(r);
                out.push_back(r * c);
                break;
            }
            case Kind::Zarc: {
                const double r = next(), q = next(), alpha = next();
                const double m = std::isnan(alpha) ? 1e-6 : std::max(alpha, 1e-6);
                out.push_back(r);
                out.push_back(std::pow(r * q, 1.0 / m));
                out.push_back(alpha);
                break;
            }
            case Kind::R: case Kind::C: case Kind::L: case Kind::La: case Kind::Cpe: case Kind::W: case Kind::Wo:
            case Kind::Ws: case Kind::G: case Kind::Gs: case Kind::Tlmq: case Kind::T: case Kind::User:
                for (int f = 0; f < leaf.element->field_count(); ++f) out.push_back(next());
        }
    }
    return out;
}

}  // namespace velotz
