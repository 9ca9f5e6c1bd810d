// Series() and Parallel(). Each takes a sequence of element objects and
// Circuit objects, copies their values into a new tree and returns a new
// Circuit; the inputs are never changed. Element objects enter as unlabelled
// leaves (param_names numbers them per code); circuits keep their labels.
#include "python/compose.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"
#include "python/circuit_type.hpp"
#include "python/element_types.hpp"
#include "python/guard.hpp"

namespace velotz::py {
namespace {

// One item of `parts`: an element value, or a circuit's tree with its
// values_given flag. The tree is shared with the source Circuit object (trees
// are immutable) and copied only into the new tree.
struct Part {
    bool is_element = true;
    Element element;
    std::shared_ptr<const NodeList> tree;
    bool values_given = true;
    std::shared_ptr<const ParamMask> mask;  // the circuit's constraints, if any
};

// The constraints of the joined circuit: the parts' parameters appear in the
// parts' order in both Series and Parallel, so their masks are concatenated.
// Null when no part has constraints.
std::shared_ptr<const ParamMask> joined_mask(const std::vector<Part>& parts) {
    if (std::none_of(parts.begin(), parts.end(), [](const Part& p) { return p.mask != nullptr; })) return nullptr;
    ParamMask out;
    for (const Part& p : parts) {
        if (p.mask) {
            out.append(*p.mask);
        } else {
            out.append(ParamMask::none(p.is_element ? static_cast<std::size_t>(p.element.field_count())
                                                    : param_count(*p.tree)));
        }
    }
    return std::make_shared<const ParamMask>(std::move(out));
}

// How many parallel groups are nested inside each other at the deepest
// point of a series list.
std::size_t nesting_depth(const NodeList& series) {
    std::size_t depth = 0;
    for (const Node& node : series) {
        if (!node.is_parallel()) continue;
        std::size_t inner = 0;
        for (const NodeList& branch : node.branches) inner = std::max(inner, nesting_depth(branch));
        depth = std::max(depth, inner + 1);
    }
    return depth;
}

// Converts `parts` (any sequence except str) item by item; returns nothing
// with a Python exception set.
std::optional<std::vector<Part>> extract_parts(PyObject* parts) {
    std::size_t hint = 0;
    Ref it = sequence_iterator(parts, &hint);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) prefix_pending_error("parts");
        return std::nullopt;
    }
    std::vector<Part> out;
    if (!reserve_from_hint(out, hint)) return std::nullopt;
    while (Ref item = Ref(PyIter_Next(it.get()))) {
        Part part;
        if (element_value(item.get(), part.element)) {
            out.push_back(part);
            continue;
        }
        if (is_circuit(item.get())) {
            part.is_element = false;
            part.tree = *reinterpret_cast<CircuitObject*>(item.get())->tree;
            part.values_given = circuit_values_given(item.get());
            part.mask = circuit_mask(item.get());
            out.push_back(std::move(part));
            continue;
        }
        // Neither alternative fits: one line per alternative with its reason.
        const std::string type = type_name(item.get());
        raise_argument_error("parts", "failed to extract enum Part ('Element | Circuit')\n"
                                      "- variant Element (Element): '" + type +
                                          "' object cannot be converted to 'Element'\n"
                                          "- variant Circuit (Circuit): '" + type +
                                          "' object cannot be converted to 'Circuit'");
        return std::nullopt;
    }
    if (PyErr_Occurred()) return std::nullopt;
    return out;
}

bool all_values_given(const std::vector<Part>& parts) {
    return std::all_of(parts.begin(), parts.end(), [](const Part& p) { return p.values_given; });
}

std::optional<std::vector<Part>> parse_parts_argument(PyObject* args, PyObject* kwargs, const char* format) {
    static const char* keywords[] = {"parts", nullptr};
    PyObject* parts = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &parts)) return std::nullopt;
    return extract_parts(parts);
}

PyObject* series(PyObject*, PyObject* args, PyObject* kwargs) {
    auto parts = parse_parts_argument(args, kwargs, "O:Series");
    if (!parts) return nullptr;
    const bool given = all_values_given(*parts);
    // A single circuit joined with nothing is that circuit's tree unchanged.
    if (parts->size() == 1 && !parts->front().is_element) {
        return make_circuit(parts->front().tree, given, parts->front().mask);
    }

    // Circuit parts are spliced in flat, so joining never deepens the tree.
    std::size_t count = 0;
    for (const Part& p : *parts) count += p.is_element ? 1 : p.tree->size();
    NodeList nodes;
    nodes.reserve(count);
    for (const Part& p : *parts) {
        if (p.is_element) {
            nodes.push_back(Node::leaf(p.element));
        } else {
            nodes.insert(nodes.end(), p.tree->begin(), p.tree->end());
        }
    }
    return make_circuit(std::move(nodes), given, joined_mask(*parts));
}

PyObject* parallel(PyObject*, PyObject* args, PyObject* kwargs) {
    auto parts = parse_parts_argument(args, kwargs, "O:Parallel");
    if (!parts) return nullptr;
    // The new group adds one level. The evaluator and the tree functions
    // recurse once per level, so the depth is capped as for parsed texts.
    std::size_t depth = 0;
    for (const Part& p : *parts) {
        if (!p.is_element) depth = std::max(depth, nesting_depth(*p.tree));
    }
    if (depth + 1 > kMaxNesting) {
        PyErr_Format(PyExc_ValueError, "parallel groups nested more than %zu deep", kMaxNesting);
        return nullptr;
    }
    std::vector<NodeList> branches;
    branches.reserve(parts->size());
    for (const Part& p : *parts) {
        if (p.is_element) {
            branches.push_back(NodeList{Node::leaf(p.element)});
        } else {
            branches.push_back(*p.tree);
        }
    }
    NodeList nodes;
    nodes.push_back(Node::parallel(std::move(branches)));
    return make_circuit(std::move(nodes), all_values_given(*parts), joined_mask(*parts));
}

PyMethodDef functions[] = {
    {"Series", VELOTZ_GUARD_METH(series), METH_VARARGS | METH_KEYWORDS,
     "Series(parts)\n--\n\nConnect elements and circuits end to end."},
    {"Parallel", VELOTZ_GUARD_METH(parallel), METH_VARARGS | METH_KEYWORDS,
     "Parallel(parts)\n--\n\nConnect elements and circuits as parallel branches."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* compose_functions() { return functions; }

}  // namespace velotz::py
