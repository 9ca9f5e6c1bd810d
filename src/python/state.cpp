#include "python/state.hpp"

#include "python/guard.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/param_mask.hpp"
#include "elements/user_formula.hpp"
#include "fit/outcome.hpp"
#include "python/circuit_type.hpp"
#include "python/data_methods.hpp"
#include "python/element_types.hpp"
#include "python/fit_result.hpp"
#include "util/text.hpp"

namespace velotz::py {
namespace {

constexpr long kStateFormat = 1;

// ---------------------------------------------------------------- values

// Equal as floats, or both NaN.
bool same_value(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// A hash that agrees with same_value: both zeros hash alike, every NaN
// hashes alike.
std::uint64_t value_bits(double v) {
    if (v == 0.0) return 0;
    if (std::isnan(v)) return 0x7ff8000000000000ull;
    return std::bit_cast<std::uint64_t>(v);
}

struct Hasher {
    std::uint64_t h = 0xcbf29ce484222325ull;
    void add(std::uint64_t x) {
        h ^= x + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
        h *= 0x100000001b3ull;
    }
    void add(const std::string& s) {
        add(s.size());
        for (unsigned char c : s) add(c);
    }
    Py_hash_t finish() const {
        auto out = static_cast<Py_hash_t>(h);
        return out == -1 ? -2 : out;
    }
};

void hash_tree(const NodeList& series, Hasher& hasher) {
    hasher.add(series.size());
    for (const Node& node : series) {
        if (node.is_parallel()) {
            hasher.add(0xfffffffful);
            hasher.add(node.branches.size());
            for (const NodeList& b : node.branches) hash_tree(b, hasher);
            continue;
        }
        hasher.add(static_cast<std::uint64_t>(node.element.kind));
        if (node.element.kind == Kind::User) hasher.add(static_cast<std::uint64_t>(node.element.user));
        hasher.add(node.label ? 1u : 0u);
        if (node.label) hasher.add(*node.label);
        for (double v : node.element.values()) hasher.add(value_bits(v));
    }
}

// A mask that constrains nothing counts as no mask at all.
const ParamMask* effective_mask(const std::shared_ptr<const ParamMask>& mask) {
    return mask && mask->any() ? mask.get() : nullptr;
}

bool same_mask(const std::shared_ptr<const ParamMask>& a_ptr, const std::shared_ptr<const ParamMask>& b_ptr) {
    const ParamMask* a = effective_mask(a_ptr);
    const ParamMask* b = effective_mask(b_ptr);
    if (!a || !b) return a == b;
    if (a->fixed != b->fixed || a->bounds.size() != b->bounds.size()) return false;
    for (std::size_t i = 0; i < a->bounds.size(); ++i) {
        const auto& x = a->bounds[i];
        const auto& y = b->bounds[i];
        if (x.has_value() != y.has_value()) return false;
        if (x && !(same_value(x->lo, y->lo) && same_value(x->hi, y->hi))) return false;
    }
    return true;
}

void hash_mask(const std::shared_ptr<const ParamMask>& mask_ptr, Hasher& hasher) {
    const ParamMask* mask = effective_mask(mask_ptr);
    if (!mask) return;
    hasher.add(0xfacefeedull);
    for (std::size_t i = 0; i < mask->size(); ++i) {
        hasher.add((mask->is_fixed(i) ? 1u : 0u) | (mask->has_bounds(i) ? 2u : 0u));
        if (mask->has_bounds(i)) {
            hasher.add(value_bits(mask->bounds[i]->lo));
            hasher.add(value_bits(mask->bounds[i]->hi));
        }
    }
}

PyObject* rich_result(bool equal, int op) {
    if (op == Py_EQ) return PyBool_FromLong(equal);
    if (op == Py_NE) return PyBool_FromLong(!equal);
    Py_RETURN_NOTIMPLEMENTED;
}

PyObject* text(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// ---------------------------------------------------------------- tree state

PyObject* element_values_tuple(const Element& e) {
    const auto values = e.values();
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* v = PyFloat_FromDouble(values[i]);
        if (!v) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), v);
    }
    return tuple.release();
}

PyObject* nodes_state(const NodeList& series) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(series.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < series.size(); ++i) {
        const Node& node = series[i];
        Ref item;
        if (node.is_parallel()) {
            item = Ref(PyList_New(static_cast<Py_ssize_t>(node.branches.size())));
            if (!item) return nullptr;
            for (std::size_t b = 0; b < node.branches.size(); ++b) {
                PyObject* branch = nodes_state(node.branches[b]);
                if (!branch) return nullptr;
                PyList_SET_ITEM(item.get(), static_cast<Py_ssize_t>(b), branch);
            }
        } else {
            // A user kind is stored by its code: reading the state back needs
            // the same definition in the reading process.
            Ref code(PyUnicode_FromString(node.element.code()));
            Ref label = node.label ? Ref(text(*node.label)) : Ref::borrow(Py_None);
            Ref values(element_values_tuple(node.element));
            if (!code || !label || !values) return nullptr;
            item = Ref(PyTuple_Pack(3, code.get(), label.get(), values.get()));
            if (!item) return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
}

bool state_error(const std::string& message) {
    set_error(PyExc_ValueError, "invalid state: " + message);
    return false;
}

// The items of a state's list or tuple as a tuple of their own: the
// conversion below calls back into Python (__float__, __index__, __bool__),
// and such a call may empty or shrink the caller's list while it is read.
Ref items_of(PyObject* seq, const char* message) {
    Ref fast(PySequence_Fast(seq, message));
    if (!fast) return {};
    return Ref(PySequence_Tuple(fast.get()));
}

// Whether `label` is what the parser gives an element of `kind` written as
// that label alone ("R0", "CPE1"): labels travel into parameter names and
// the circuit's text, so a state cannot bring in one the parser would refuse.
bool valid_label(const Element& proto, const std::string& label) {
    auto tree = parse(label);
    return tree && tree->size() == 1 && !(*tree)[0].is_parallel() && (*tree)[0].element.kind == proto.kind &&
           (*tree)[0].element.user == proto.user && (*tree)[0].label && *(*tree)[0].label == label;
}

std::optional<Kind> kind_of_code(PyObject* code) {
    if (!PyUnicode_Check(code)) return std::nullopt;
    for (int k = 0; k < kKindCount; ++k) {
        if (PyUnicode_CompareWithASCIIString(code, kind_info(k).code) == 0) return static_cast<Kind>(k);
    }
    return std::nullopt;
}

// A built-in code, or a code defined by define_element in this process:
// an element of that kind (values not set).
std::optional<Element> prototype_of_code(PyObject* code) {
    if (auto kind = kind_of_code(code)) {
        Element e;
        e.kind = *kind;
        return e;
    }
    if (!PyUnicode_Check(code)) return std::nullopt;
    auto text = utf8_of(code);
    if (!text) {
        PyErr_Clear();
        return std::nullopt;
    }
    const std::size_t index = user::Registry::instance().find(*text);
    if (index == user::Registry::npos) return std::nullopt;
    Element e;
    e.kind = Kind::User;
    e.user = static_cast<std::uint32_t>(index);
    return e;
}

// Field values of `proto`'s kind from a sequence of exactly its field count.
bool element_from_values(const Element& proto, PyObject* values, Element& out) {
    Ref items(items_of(values, "element values must be a sequence"));
    if (!items) return false;
    const int count = proto.field_count();
    if (PyTuple_GET_SIZE(items.get()) != count) {
        return state_error(std::string("element ") + proto.code() + " takes " + std::to_string(count) +
                           " values");
    }
    out = Element{};
    out.kind = proto.kind;
    out.user = proto.user;
    for (int i = 0; i < count; ++i) {
        const double v = PyFloat_AsDouble(PyTuple_GET_ITEM(items.get(), i));
        if (v == -1.0 && PyErr_Occurred()) return false;
        out.v[static_cast<std::size_t>(i)] = v;
    }
    return true;
}

bool nodes_from_state(PyObject* state, std::size_t depth, NodeList& out) {
    if (!PyList_Check(state)) return state_error("a series list must be a list");
    Ref series(items_of(state, "a series list must be a list"));
    if (!series) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(series.get());
    out.clear();
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(series.get(), i);
        if (PyList_Check(item)) {
            if (depth + 1 > kMaxNesting) return state_error("parallel groups nested too deep");
            Ref group(items_of(item, "a parallel group must be a list"));
            if (!group) return false;
            std::vector<NodeList> branches(static_cast<std::size_t>(PyTuple_GET_SIZE(group.get())));
            for (std::size_t b = 0; b < branches.size(); ++b) {
                if (!nodes_from_state(PyTuple_GET_ITEM(group.get(), static_cast<Py_ssize_t>(b)), depth + 1,
                                      branches[b]))
                    return false;
            }
            out.push_back(Node::parallel(std::move(branches)));
            continue;
        }
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3) {
            return state_error("a node must be a (code, label, values) tuple or a list of branches");
        }
        auto proto = prototype_of_code(PyTuple_GET_ITEM(item, 0));
        if (!proto) return state_error("unknown element code");
        PyObject* label_obj = PyTuple_GET_ITEM(item, 1);
        std::optional<std::string> label;
        if (label_obj != Py_None) {
            if (!PyUnicode_Check(label_obj)) return state_error("a label must be a str or None");
            label = utf8_of(label_obj);
            if (!label) return false;
            if (!valid_label(*proto, *label)) {
                return state_error("label " + quote(*label) + " is not a label of element " + proto->code());
            }
        }
        Element e;
        if (!element_from_values(*proto, PyTuple_GET_ITEM(item, 2), e)) return false;
        out.push_back(Node::leaf(e, std::move(label)));
    }
    return true;
}

// ---------------------------------------------------------------- constraint state
//
// A circuit's constraints travel as two optional keys, both one entry per
// parameter in param_names order: "fixed", a list of bools, and "bounds", a
// list of None (the element default) or a (lower, upper) pair. They are
// written only when the circuit carries constraints; a state without them
// is an unconstrained circuit.

// Adds "fixed" and "bounds" to `dict` when `mask` constrains anything.
bool add_mask_state(PyObject* dict, const std::shared_ptr<const ParamMask>& mask_ptr) {
    const ParamMask* mask = effective_mask(mask_ptr);
    if (!mask) return true;
    const auto n = static_cast<Py_ssize_t>(mask->size());
    Ref fixed(PyList_New(n));
    Ref bounds(PyList_New(n));
    if (!fixed || !bounds) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const auto k = static_cast<std::size_t>(i);
        PyList_SET_ITEM(fixed.get(), i, PyBool_FromLong(mask->is_fixed(k)));
        PyObject* pair = nullptr;
        if (mask->has_bounds(k)) {
            pair = Py_BuildValue("(dd)", mask->bounds[k]->lo, mask->bounds[k]->hi);
            if (!pair) return false;
        } else {
            Py_INCREF(Py_None);
            pair = Py_None;
        }
        PyList_SET_ITEM(bounds.get(), i, pair);
    }
    return PyDict_SetItemString(dict, "fixed", fixed.get()) == 0 &&
           PyDict_SetItemString(dict, "bounds", bounds.get()) == 0;
}

// Reads the optional constraint keys of `state` for `tree` into `out` (null
// when there are none), checking them as with_fixed/with_bounds would.
bool mask_from_state(PyObject* state, const NodeList& tree, std::shared_ptr<const ParamMask>& out) {
    out.reset();
    Ref fixed_ref = Ref::borrow(PyDict_GetItemString(state, "fixed"));
    Ref bounds_ref = Ref::borrow(PyDict_GetItemString(state, "bounds"));
    PyObject* fixed = fixed_ref.get();
    PyObject* bounds = bounds_ref.get();
    if (!fixed && !bounds) return true;
    const std::size_t n = param_count(tree);
    ParamMask mask = ParamMask::none(n);
    if (fixed) {
        Ref items(items_of(fixed, "\"fixed\" must be a sequence"));
        if (!items) return false;
        if (static_cast<std::size_t>(PyTuple_GET_SIZE(items.get())) != n)
            return state_error("\"fixed\" must hold one entry per parameter (" + std::to_string(n) + ")");
        for (std::size_t i = 0; i < n; ++i) {
            PyObject* flag = PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i));
            if (!PyBool_Check(flag)) return state_error("\"fixed\" entries must be bools");
            mask.fixed[i] = flag == Py_True;
        }
    }
    if (bounds) {
        Ref items(items_of(bounds, "\"bounds\" must be a sequence"));
        if (!items) return false;
        if (static_cast<std::size_t>(PyTuple_GET_SIZE(items.get())) != n)
            return state_error("\"bounds\" must hold one entry per parameter (" + std::to_string(n) + ")");
        for (std::size_t i = 0; i < n; ++i) {
            PyObject* pair = PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i));
            if (pair == Py_None) continue;
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
                return state_error("\"bounds\" entries must be None or a (lower, upper) tuple");
            const double lo = PyFloat_AsDouble(PyTuple_GET_ITEM(pair, 0));
            if (lo == -1.0 && PyErr_Occurred()) return false;
            const double hi = PyFloat_AsDouble(PyTuple_GET_ITEM(pair, 1));
            if (hi == -1.0 && PyErr_Occurred()) return false;
            mask.bounds[i] = Bounds{lo, hi};
        }
    }
    if (auto problem = check_mask(tree, mask)) return state_error(*problem);
    if (mask.any()) out = std::make_shared<const ParamMask>(std::move(mask));
    return true;
}

// Looks `key` up in a state dict; a missing key is an error. The reference
// is the caller's own: a conversion that calls back into Python may remove
// the key from the dict meanwhile.
Ref state_item(PyObject* dict, const char* key) {
    Ref v = Ref::borrow(PyDict_GetItemString(dict, key));
    if (!v) state_error(std::string("missing \"") + key + "\"");
    return v;
}

// Checks the dict, its format and that it holds no key outside `known`.
bool check_state_dict(PyObject* state, std::initializer_list<const char*> known) {
    if (!PyDict_Check(state)) return state_error("expected a dict");
    Ref format = state_item(state, "format");
    if (!format) return false;
    const long f = PyLong_AsLong(format.get());
    if (f == -1 && PyErr_Occurred()) return false;
    if (f != kStateFormat) return state_error("unsupported format " + std::to_string(f));
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(state, &pos, &key, &value)) {
        bool found = false;
        for (const char* k : known) found = found || (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, k) == 0);
        if (!found) {
            Ref r(PyObject_Repr(key));
            auto name = r ? utf8_of(r.get()) : std::nullopt;
            return state_error("unknown key " + (name ? *name : std::string("?")) +
                               " (written by a newer version of velotz?)");
        }
    }
    return true;
}

PyObject* build_dict(std::initializer_list<std::pair<const char*, PyObject*>> items) {
    // Takes ownership of every value.
    std::vector<Ref> owned;
    for (const auto& kv : items) owned.emplace_back(kv.second);
    for (const Ref& r : owned) {
        if (!r) return nullptr;
    }
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    std::size_t i = 0;
    for (const auto& kv : items) {
        if (PyDict_SetItemString(dict.get(), kv.first, owned[i++].get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* floats_or_none(const std::optional<std::vector<double>>& v) {
    if (!v) Py_RETURN_NONE;
    return list_of_floats(*v);
}

// A bound method of the reconstructor `name` of velotz._core, as pickle
// finds it (by module and name).
PyObject* reconstructor(const char* name) {
    Ref module(PyImport_ImportModule("velotz._core"));
    if (!module) return nullptr;
    return PyObject_GetAttrString(module.get(), name);
}

// ---------------------------------------------------------------- reconstructors

PyObject* element_from_state(PyObject*, PyObject* args) {
    PyObject *code = nullptr, *values = nullptr;
    if (!PyArg_ParseTuple(args, "OO:_element_from_state", &code, &values)) return nullptr;
    auto kind = kind_of_code(code);
    if (!kind) {
        state_error("unknown element code");
        return nullptr;
    }
    Element proto;
    proto.kind = *kind;
    Element e;
    if (!element_from_values(proto, values, e)) return nullptr;
    PyObject* cls = PyObject_GetAttrString(reinterpret_cast<PyObject*>(element_type()), kind_info(*kind).code);
    if (!cls) return nullptr;
    Ref type(cls);
    auto* t = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* self = t->tp_alloc(t, 0);
    if (!self) return nullptr;
    new (&reinterpret_cast<ElementObject*>(self)->value) Element(e);
    return self;
}

PyObject* circuit_from_state(PyObject*, PyObject* state) {
    if (!check_state_dict(state, {"format", "nodes", "values_given", "fixed", "bounds"})) return nullptr;
    Ref nodes = state_item(state, "nodes");
    Ref given = nodes ? state_item(state, "values_given") : Ref();
    if (!given) return nullptr;
    NodeList tree;
    if (!nodes_from_state(nodes.get(), 0, tree)) return nullptr;
    const int flag = PyObject_IsTrue(given.get());
    if (flag < 0) return nullptr;
    std::shared_ptr<const ParamMask> mask;
    if (!mask_from_state(state, tree, mask)) return nullptr;
    return make_circuit(std::move(tree), flag != 0, std::move(mask));
}

bool read_u64(PyObject* state, const char* key, std::uint64_t& out) {
    Ref v = state_item(state, key);
    if (!v) return false;
    out = PyLong_AsUnsignedLongLong(v.get());
    return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

bool read_f64(PyObject* state, const char* key, double& out) {
    Ref v = state_item(state, key);
    if (!v) return false;
    out = PyFloat_AsDouble(v.get());
    return !(out == -1.0 && PyErr_Occurred());
}

// A list of str as UTF-8 strings; false with the exception set otherwise.
bool read_names(PyObject* seq, const char* what, std::vector<std::string>& out) {
    const std::string message = std::string(what) + " must be a sequence";
    Ref items(items_of(seq, message.c_str()));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* n = PyTuple_GET_ITEM(items.get(), i);
        if (!PyUnicode_Check(n)) return state_error(std::string(what) + " must be str");
        auto s = utf8_of(n);
        if (!s) return false;
        out.push_back(std::move(*s));
    }
    return true;
}

// The optional "covariance" of a fit result state: a flat row-major list of
// k * k floats, k the number of free parameters, symmetric, with the squares
// of the standard errors on its diagonal (sqrt of each diagonal entry is the
// standard error, bit for bit). It belongs to the standard errors: a state
// without standard errors has no covariance, and its entry is not read. A
// state with standard errors but without the key (written before velotz
// kept the covariance) loads without one.
bool covariance_from_state(PyObject* state, FitOutcome& o) {
    if (!o.std_errors) return true;
    Ref cov = Ref::borrow(PyDict_GetItemString(state, "covariance"));
    if (!cov) return true;
    const std::size_t k = o.std_error_names.size();
    const std::string shape = "covariance must be a list of " + std::to_string(k * k) + " floats (" +
                              std::to_string(k) + " x " + std::to_string(k) + ", row by row)";
    if (!PyList_Check(cov.get()) || static_cast<std::size_t>(PyList_GET_SIZE(cov.get())) != k * k)
        return state_error(shape);
    auto values = floats_from_sequence(cov.get());
    if (!values) return false;
    if (values->size() != k * k) return state_error(shape);
    for (std::size_t i = 0; i < k; ++i) {
        if (!same_value(std::sqrt((*values)[i * k + i]), (*o.std_errors)[i]))
            return state_error("the covariance's diagonal must hold the squares of stderr");
        for (std::size_t j = i + 1; j < k; ++j) {
            if (!same_value((*values)[i * k + j], (*values)[j * k + i]))
                return state_error("covariance must be symmetric");
        }
    }
    o.covariance = std::move(*values);
    return true;
}

// The optional "residuals": a list of 2N floats (N >= 1, the number of
// points), absent in states written before velotz kept them.
bool residuals_from_state(PyObject* state, FitOutcome& o) {
    Ref r = Ref::borrow(PyDict_GetItemString(state, "residuals"));
    if (!r) return true;
    if (!PyList_Check(r.get())) return state_error("residuals must be a list of floats");
    auto values = floats_from_sequence(r.get());
    if (!values) return false;
    if (values->empty() || values->size() % 2 != 0)
        return state_error("residuals must hold two floats per point (real and imaginary parts)");
    o.residuals = std::move(*values);
    return true;
}

PyObject* fit_result_from_state(PyObject*, PyObject* state) {
    if (!check_state_dict(state, {"format", "circuit", "names", "params", "stderr", "success", "iterations",
                                  "impedance_evals", "cost", "chi_square", "std_error_names", "fixed",
                                  "bounds", "covariance", "residuals"}))
        return nullptr;
    FitOutcome o;
    Ref nodes = state_item(state, "circuit");
    if (!nodes || !nodes_from_state(nodes.get(), 0, o.circuit)) return nullptr;
    Ref names = state_item(state, "names");
    if (!names || !read_names(names.get(), "names", o.names)) return nullptr;
    Ref params = state_item(state, "params");
    if (!params) return nullptr;
    auto p = floats_from_sequence(params.get());
    if (!p) return nullptr;
    o.params = std::move(*p);
    Ref se = state_item(state, "stderr");
    if (!se) return nullptr;
    if (se.get() != Py_None) {
        auto s = floats_from_sequence(se.get());
        if (!s) return nullptr;
        o.std_errors = std::move(*s);
    }
    // What a fit reports is tied to its circuit: the names are the circuit's
    // parameter names and the values its parameter values.
    if (o.names != param_names(o.circuit)) {
        state_error("names must be the parameter names of the circuit");
        return nullptr;
    }
    const std::vector<double> values = param_values(o.circuit);
    bool same = o.params.size() == values.size();
    for (std::size_t i = 0; same && i < values.size(); ++i) same = same_value(o.params[i], values[i]);
    if (!same) {
        state_error("params must be the parameter values of the circuit");
        return nullptr;
    }
    if (!mask_from_state(state, o.circuit, o.mask)) return nullptr;
    // The names of the parameters with a standard error: the free ones. A
    // state without them comes from a fit without constraints, where every
    // parameter is free.
    std::vector<std::string> free_names;
    for (std::size_t i = 0; i < o.names.size(); ++i) {
        if (!(o.mask && o.mask->is_fixed(i))) free_names.push_back(o.names[i]);
    }
    if (Ref se_names = Ref::borrow(PyDict_GetItemString(state, "std_error_names"))) {
        if (!read_names(se_names.get(), "std_error_names", o.std_error_names)) return nullptr;
        if (o.std_error_names != free_names) {
            state_error("std_error_names must be the names of the free parameters");
            return nullptr;
        }
    } else {
        o.std_error_names = free_names;
    }
    if (o.std_errors && o.std_errors->size() != o.std_error_names.size()) {
        state_error("stderr and std_error_names differ in length");
        return nullptr;
    }
    if (!covariance_from_state(state, o) || !residuals_from_state(state, o)) return nullptr;
    Ref success = state_item(state, "success");
    if (!success) return nullptr;
    const int flag = PyObject_IsTrue(success.get());
    if (flag < 0) return nullptr;
    if (!read_u64(state, "iterations", o.iterations) || !read_u64(state, "impedance_evals", o.impedance_evals) ||
        !read_f64(state, "cost", o.cost) || !read_f64(state, "chi_square", o.chi_square))
        return nullptr;
    // The rule every fit applies: a result whose cost or any parameter is not
    // finite is not a usable fit, whatever the state says.
    o.success = flag != 0 && usable_fit(o.cost, o.params);
    return make_fit_result(std::move(o));
}

PyMethodDef functions[] = {
    {"_element_from_state", VELOTZ_GUARD_METH(element_from_state), METH_VARARGS,
     "_element_from_state(code, values)\n--\n\nRebuilds a pickled element."},
    {"_circuit_from_state", VELOTZ_GUARD_METH(circuit_from_state), METH_O, "_circuit_from_state(state)\n--\n\nRebuilds a pickled Circuit."},
    {"_fit_result_from_state", VELOTZ_GUARD_METH(fit_result_from_state), METH_O,
     "_fit_result_from_state(state)\n--\n\nRebuilds a pickled FitResult."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- element methods

PyObject* element_reduce(PyObject* self, PyObject*) {
    const Element& e = reinterpret_cast<ElementObject*>(self)->value;
    Ref fn(reconstructor("_element_from_state"));
    Ref values(element_values_tuple(e));
    if (!fn || !values) return nullptr;
    return Py_BuildValue("(O(sO))", fn.get(), kind_info(e.kind).code, values.get());
}

// ---------------------------------------------------------------- fit result methods

PyObject* outcome_state(const FitOutcome& o, const NodeList& circuit) {
    Ref dict(build_dict({
        {"format", PyLong_FromLong(kStateFormat)},
        {"circuit", nodes_state(circuit)},
        {"names", list_of_strings(o.names)},
        {"params", list_of_floats(o.params)},
        {"stderr", floats_or_none(o.std_errors)},
        {"success", PyBool_FromLong(o.success)},
        {"iterations", PyLong_FromUnsignedLongLong(o.iterations)},
        {"impedance_evals", PyLong_FromUnsignedLongLong(o.impedance_evals)},
        {"cost", PyFloat_FromDouble(o.cost)},
        {"chi_square", PyFloat_FromDouble(o.chi_square)},
        {"std_error_names", list_of_strings(o.std_error_names)},
        {"covariance", floats_or_none(o.std_errors ? o.covariance : std::nullopt)},
    }));
    if (dict && o.residuals) {
        Ref r(list_of_floats(*o.residuals));
        if (!r || PyDict_SetItemString(dict.get(), "residuals", r.get()) < 0) return nullptr;
    }
    if (!dict || !add_mask_state(dict.get(), o.mask)) return nullptr;
    return dict.release();
}

PyObject* fit_result_reduce(PyObject* self, PyObject*) {
    Ref fn(reconstructor("_fit_result_from_state"));
    if (!fn) return nullptr;
    Ref state(outcome_state(fit_result_outcome(self), fit_result_circuit(self)));
    if (!state) return nullptr;
    return Py_BuildValue("(O(O))", fn.get(), state.get());
}

bool same_outcome(const FitOutcome& a, const FitOutcome& b) {
    auto same_list = [](const std::vector<double>& x, const std::vector<double>& y) {
        if (x.size() != y.size()) return false;
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (!same_value(x[i], y[i])) return false;
        }
        return true;
    };
    if (a.std_errors.has_value() != b.std_errors.has_value()) return false;
    if (a.std_errors && !same_list(*a.std_errors, *b.std_errors)) return false;
    auto same_optional = [&](const std::optional<std::vector<double>>& x, const std::optional<std::vector<double>>& y) {
        return x.has_value() == y.has_value() && (!x || same_list(*x, *y));
    };
    if (a.std_errors && !same_optional(a.covariance, b.covariance)) return false;
    if (!same_optional(a.residuals, b.residuals)) return false;
    return a.iterations == b.iterations && a.impedance_evals == b.impedance_evals && same_value(a.cost, b.cost) &&
           same_value(a.chi_square, b.chi_square) && a.success == b.success && a.names == b.names &&
           same_list(a.params, b.params) && a.std_error_names == b.std_error_names && same_mask(a.mask, b.mask);
}

}  // namespace

PyMethodDef* state_functions() { return functions; }

PyObject* return_self(PyObject* self, PyObject*) {
    Py_INCREF(self);
    return self;
}

// ---------------------------------------------------------------- circuit

PyObject* circuit_reduce(PyObject* self, PyObject*) {
    Ref fn(reconstructor("_circuit_from_state"));
    if (!fn) return nullptr;
    Ref state(build_dict({
        {"format", PyLong_FromLong(kStateFormat)},
        {"nodes", nodes_state(circuit_tree(self))},
        {"values_given", PyBool_FromLong(circuit_values_given(self))},
    }));
    if (!state || !add_mask_state(state.get(), circuit_mask(self))) return nullptr;
    return Py_BuildValue("(O(O))", fn.get(), state.get());
}

PyObject* circuit_richcompare(PyObject* a, PyObject* b, int op) {
    if (!is_circuit(a) || !is_circuit(b) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = circuit_values_given(a) == circuit_values_given(b) && circuit_tree(a) == circuit_tree(b) &&
                       same_mask(circuit_mask(a), circuit_mask(b));
    return rich_result(equal, op);
}

Py_hash_t circuit_hash(PyObject* self) {
    Hasher h;
    h.add(circuit_values_given(self) ? 1u : 0u);
    hash_tree(circuit_tree(self), h);
    hash_mask(circuit_mask(self), h);
    return h.finish();
}

// ---------------------------------------------------------------- element

PyMethodDef element_state_methods[] = {
    {"__reduce__", VELOTZ_GUARD_METH(element_reduce), METH_NOARGS, nullptr},
    {"__copy__", VELOTZ_GUARD_METH(return_self), METH_NOARGS, nullptr},
    {"__deepcopy__", VELOTZ_GUARD_METH(return_self), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* element_richcompare(PyObject* a, PyObject* b, int op) {
    if (!is_element(a) || !is_element(b) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = reinterpret_cast<ElementObject*>(a)->value == reinterpret_cast<ElementObject*>(b)->value;
    return rich_result(equal, op);
}

Py_hash_t element_hash(PyObject* self) {
    const Element& e = reinterpret_cast<ElementObject*>(self)->value;
    Hasher h;
    h.add(static_cast<std::uint64_t>(e.kind));
    for (double v : e.values()) h.add(value_bits(v));
    return h.finish();
}

// ---------------------------------------------------------------- fit result

PyMethodDef fit_result_extra_methods[] = {
    {"__reduce__", VELOTZ_GUARD_METH(fit_result_reduce), METH_NOARGS, nullptr},
    {"__copy__", VELOTZ_GUARD_METH(return_self), METH_NOARGS, nullptr},
    {"__deepcopy__", VELOTZ_GUARD_METH(return_self), METH_O, nullptr},
    VELOTZ_FIT_RESULT_PRETTY_METHOD
    {nullptr, nullptr, 0, nullptr},
};

PyObject* fit_result_richcompare(PyObject* a, PyObject* b, int op) {
    PyTypeObject* type = fit_result_type();
    if (!type || !PyObject_TypeCheck(a, type) || !PyObject_TypeCheck(b, type) || (op != Py_EQ && op != Py_NE))
        Py_RETURN_NOTIMPLEMENTED;
    const bool equal =
        same_outcome(fit_result_outcome(a), fit_result_outcome(b)) && fit_result_circuit(a) == fit_result_circuit(b);
    return rich_result(equal, op);
}

Py_hash_t fit_result_hash(PyObject* self) {
    const FitOutcome& o = fit_result_outcome(self);
    Hasher h;
    h.add(o.iterations);
    h.add(o.impedance_evals);
    h.add(value_bits(o.cost));
    h.add(o.success ? 1u : 0u);
    for (double v : o.params) h.add(value_bits(v));
    hash_mask(o.mask, h);
    return h.finish();
}

}  // namespace velotz::py
