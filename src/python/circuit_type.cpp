// The Circuit class: construction from a circuit text or model name, the
// parameter lists, re-parameterisation and impedance evaluation.
#include "python/circuit_type.hpp"

#include <algorithm>
#include <map>

#include "start/catalog.hpp"
#include "python/circuit_methods.hpp"
#include "python/data_methods.hpp"
#include "python/numpy_api.hpp"
#include "python/data_input.hpp"
#include "python/guard.hpp"
#include "python/state.hpp"
#include "util/text.hpp"

namespace velotz::py {
namespace {

PyTypeObject* g_circuit_type = nullptr;

CircuitObject* as_circuit(PyObject* self) { return reinterpret_cast<CircuitObject*>(self); }

// Characters with the Unicode White_Space property. (str.strip() also strips
// U+001C..U+001F, which are not whitespace.)
bool is_unicode_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string trim_unicode_space(const std::string& text) {
    std::u32string u = utf8_to_u32(text);
    std::size_t begin = 0, end = u.size();
    while (begin < end && is_unicode_space(u[begin])) ++begin;
    while (end > begin && is_unicode_space(u[end - 1])) --end;
    return u32_to_utf8(std::u32string_view(u).substr(begin, end - begin));
}

PyObject* circuit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"s", nullptr};
    PyObject* s = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Circuit", const_cast<char**>(keywords), &s)) return nullptr;
    if (!PyUnicode_Check(s)) {
        raise_argument_error("s", "'" + type_name(s) + "' object cannot be converted to 'str'");
        return nullptr;
    }
    auto text = utf8_of(s);
    if (!text) return nullptr;

    // A registered model name (surrounding whitespace ignored, ASCII case
    // ignored) stands for that model's circuit.
    std::string source = *text;
    if (auto model = model_by_name(trim_unicode_space(*text))) source = model->circuit;

    auto parsed = parse(source);
    if (!parsed) {
        set_error(PyExc_ValueError, parse_error_message(parsed.error(), source));
        return nullptr;
    }
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    as_circuit(self.get())->tree = new std::shared_ptr<const NodeList>(std::make_shared<const NodeList>(std::move(*parsed)));
    as_circuit(self.get())->values_given = false;
    as_circuit(self.get())->mask = new std::shared_ptr<const ParamMask>();
    return self.release();
}

void circuit_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    delete as_circuit(self)->tree;
    delete as_circuit(self)->mask;
    type->tp_free(self);
    Py_DECREF(type);
}

std::string padded(const std::string& s, std::size_t width) {
    // Width counts characters, as the names may hold non-ASCII labels.
    std::size_t n = utf8_to_u32(s).size();
    return n >= width ? s : s + std::string(width - n, ' ');
}

std::size_t longest(const std::vector<std::string>& names) {
    std::size_t w = 0;
    for (const auto& n : names) w = std::max(w, utf8_to_u32(n).size());
    return w;
}

// Lines listing every parameter with its unit and the bounds the fit uses,
// for the messages about unknown or missing names.
void append_valid_parameters(const NodeList& tree, const ParamMask* mask, std::vector<std::string>& lines) {
    lines.emplace_back();
    lines.emplace_back("valid parameters for this circuit:");
    auto names = param_names(tree);
    auto units = param_units(tree);
    auto bounds = effective_bounds(tree, mask);
    std::size_t width = longest(names);
    for (std::size_t i = 0; i < names.size(); ++i) {
        lines.push_back("  " + padded(names[i], width) + "  [" + units[i] + "]  bounds (" + format_number(bounds[i].lo) +
                        ", " + format_number(bounds[i].hi) + ")");
    }
}

// Walks the (key, value) pairs of a dict keyed by parameter names, in the
// dict's order, calling read(name, value) for each; false with a Python
// exception set when a key is not a str or read refuses. The pairs are taken
// as a list of their own first: converting a value may run user code
// (__float__) that changes the dict, so nothing is read from the dict while
// it is being walked.
template <typename Read>
bool read_named(PyObject* dict, const char* argument, Read&& read) {
    Ref items(PyDict_Items(dict));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        if (!PyUnicode_Check(key)) {
            raise_argument_error(argument, "'" + type_name(key) + "' object cannot be converted to 'str'");
            return false;
        }
        auto name = utf8_of(key);
        if (!name || !read(std::move(*name), PyTuple_GET_ITEM(item, 1))) return false;
    }
    return true;
}

// A dict value through the interpreter's float conversion; a refusal is
// prefixed with the argument's name.
std::optional<double> named_float(PyObject* value, const char* argument) {
    const double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) {
        prefix_pending_error(argument);
        return std::nullopt;
    }
    return v;
}

PyObject* raise_lines(const std::vector<std::string>& lines) {
    std::string message;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) message += "\n";
        message += lines[i];
    }
    set_error(PyExc_ValueError, message);
    return nullptr;
}

std::string unknown_line(const std::string& name, const std::vector<std::string>& names) {
    std::string line = "unknown parameter " + quote(name);
    if (auto suggestion = closest_param_name(name, names)) line += " (did you mean " + quote(*suggestion) + "?)";
    return line;
}

PyObject* circuit_repr(PyObject* self) {
    const NodeList& tree = circuit_tree(self);
    const ParamMask* mask = circuit_mask(self).get();
    auto names = param_names(tree);
    auto values = param_values(tree);
    auto units = param_units(tree);
    auto bounds = effective_bounds(tree, mask);
    std::size_t n = std::min({names.size(), values.size(), units.size(), bounds.size()});
    std::size_t width = longest(names);
    std::string out = "Circuit (" + std::to_string(names.size()) + " parameter" + (names.size() == 1 ? "" : "s") + ")\n";
    for (std::size_t i = 0; i < n; ++i) {
        if (i) out += "\n";
        out += "  " + padded(names[i], width) + " = " + padded(format_number(values[i]), 10) + " [" + units[i] +
               "]  bounds (" + format_number(bounds[i].lo) + ", " + format_number(bounds[i].hi) + ")";
        if (mask && mask->is_fixed(i)) out += "  fixed";
        if (mask && mask->has_bounds(i)) out += "  custom bounds";
    }
    return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyObject* circuit_param_names(PyObject* self, PyObject*) { return list_of_strings(param_names(circuit_tree(self))); }

PyObject* circuit_param_units(PyObject* self, PyObject*) { return list_of_strings(param_units(circuit_tree(self))); }

PyObject* circuit_param_values(PyObject* self, PyObject*) { return list_of_floats(param_values(circuit_tree(self))); }

// The bounds the fit uses: custom bounds where the circuit has them.
PyObject* circuit_param_bounds(PyObject* self, PyObject*) {
    auto bounds = effective_bounds(circuit_tree(self), circuit_mask(self).get());
    Ref list(PyList_New(static_cast<Py_ssize_t>(bounds.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < bounds.size(); ++i) {
        PyObject* pair = Py_BuildValue("(dd)", bounds[i].lo, bounds[i].hi);
        if (!pair) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
}

// A new Circuit with `tree` (new values for self's tree) and self's
// constraints; a fixed parameter takes its new value, which must suit its
// bounds.
PyObject* constrained_circuit(PyObject* self, NodeList tree, bool values_given) {
    const std::shared_ptr<const ParamMask>& mask = circuit_mask(self);
    if (mask) {
        if (auto problem = check_mask(tree, *mask)) {
            set_error(PyExc_ValueError, *problem);
            return nullptr;
        }
    }
    return make_circuit(std::move(tree), values_given, mask);
}

PyObject* circuit_with_values(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"values", nullptr};
    PyObject* values_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:with_values", const_cast<char**>(keywords), &values_obj))
        return nullptr;
    auto values = floats_from_sequence(values_obj);
    if (!values) {
        prefix_pending_error("values");
        return nullptr;
    }
    const NodeList& tree = circuit_tree(self);
    const std::size_t count = param_count(tree);
    if (values->size() != count) {
        PyErr_Format(PyExc_ValueError, "expected %zu values, got %zu", count, values->size());
        return nullptr;
    }
    return constrained_circuit(self, rebuild(tree, *values), true);
}

PyObject* circuit_with_named_values(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"values", nullptr};
    PyObject* dict = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:with_named_values", const_cast<char**>(keywords), &dict))
        return nullptr;
    if (!PyDict_Check(dict)) {
        raise_argument_error("values", "'" + type_name(dict) + "' object cannot be converted to 'dict'");
        return nullptr;
    }
    // Keys in the dict's own order, for the order of the unknown-key lines.
    std::vector<std::pair<std::string, double>> given;
    const bool read = read_named(dict, "values", [&](std::string name, PyObject* value) {
        auto v = named_float(value, "values");
        if (v) given.emplace_back(std::move(name), *v);
        return v.has_value();
    });
    if (!read) return nullptr;

    const NodeList& tree = circuit_tree(self);
    auto names = param_names(tree);
    std::map<std::string, double> by_name(given.begin(), given.end());
    std::vector<std::string> lines;
    for (const auto& [name, v] : given) {
        if (std::find(names.begin(), names.end(), name) != names.end()) continue;
        lines.push_back(unknown_line(name, names));
    }
    std::vector<std::string> missing;
    for (const auto& n : names) {
        if (!by_name.count(n)) missing.push_back(n);
    }
    if (lines.empty() && missing.empty()) {
        std::vector<double> vector;
        vector.reserve(names.size());
        for (const auto& n : names) vector.push_back(by_name.at(n));
        return constrained_circuit(self, rebuild(tree, vector), true);
    }
    if (!missing.empty()) lines.push_back("missing parameter(s): " + quote_list(missing));
    append_valid_parameters(tree, circuit_mask(self).get(), lines);
    return raise_lines(lines);
}

PyObject* circuit_impedance(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"frequencies", nullptr};
    PyObject* frequencies = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:impedance", const_cast<char**>(keywords), &frequencies))
        return nullptr;
    std::vector<double> freqs;
    if (auto direct = floats_from_sequence(frequencies)) {
        freqs = std::move(*direct);
    } else {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
        PyErr_Clear();
        ColumnStatus status = column(frequencies, kFrequencyColumn, freqs);
        if (status == ColumnStatus::Error) return nullptr;
        if (status == ColumnStatus::Absent) {
            PyErr_Format(PyExc_ValueError, "expected a sequence of frequencies, or a dataframe with a %s column",
                         pair_label(kFrequencyColumn).c_str());
            return nullptr;
        }
    }
    Cx* data = nullptr;
    Ref array(new_complex_array(freqs.size(), &data));
    if (!array) return nullptr;
    // The tree is kept alive by self; the array is not visible to any other
    // thread until it is returned.
    std::shared_ptr<const NodeList> tree = *as_circuit(self)->tree;
    without_gil([&] {
        impedance_spectrum_into(*tree, freqs.data(), freqs.size(), data);
    });
    return array.release();
}

// ---------------------------------------------------------------- constraints
//
// Fixed parameters and custom bounds. Each builder returns a new Circuit with
// the same tree shape, values_given flag and the changed constraints, after
// checking the whole result (check_mask).

// Names given as one str or an iterable of str (argument `arg`).
std::optional<std::vector<std::string>> names_argument(PyObject* obj, const char* arg) {
    std::vector<std::string> out;
    if (PyUnicode_Check(obj)) {
        auto name = utf8_of(obj);
        if (!name) return std::nullopt;
        out.push_back(std::move(*name));
        return out;
    }
    Ref it(PyObject_GetIter(obj));
    if (!it) {
        PyErr_Clear();
        raise_argument_error(arg, "'" + type_name(obj) + "' object cannot be converted to 'Sequence'");
        return std::nullopt;
    }
    while (Ref item = Ref(PyIter_Next(it.get()))) {
        if (!PyUnicode_Check(item.get())) {
            raise_argument_error(arg, "'" + type_name(item.get()) + "' object cannot be converted to 'str'");
            return std::nullopt;
        }
        auto name = utf8_of(item.get());
        if (!name) return std::nullopt;
        out.push_back(std::move(*name));
    }
    if (PyErr_Occurred()) return std::nullopt;
    return out;
}

// Every position holding `name` (joined circuits may repeat a name).
std::vector<std::size_t> positions_of(const std::vector<std::string>& names, const std::string& name) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) out.push_back(i);
    }
    return out;
}

// Raises the unknown-parameter message (with suggestions and the list of
// valid parameters) when any of `requested` is not a parameter name.
bool check_known(PyObject* self, const std::vector<std::string>& requested, const std::vector<std::string>& names) {
    std::vector<std::string> lines;
    for (const auto& name : requested) {
        if (std::find(names.begin(), names.end(), name) == names.end()) lines.push_back(unknown_line(name, names));
    }
    if (lines.empty()) return true;
    append_valid_parameters(circuit_tree(self), circuit_mask(self).get(), lines);
    raise_lines(lines);
    return false;
}

ParamMask mask_copy(PyObject* self) {
    const auto& mask = circuit_mask(self);
    return mask ? *mask : ParamMask::none(param_count(circuit_tree(self)));
}

PyObject* checked_circuit(PyObject* self, std::shared_ptr<const NodeList> tree, ParamMask mask) {
    if (auto problem = check_mask(*tree, mask)) {
        set_error(PyExc_ValueError, *problem);
        return nullptr;
    }
    return make_circuit(std::move(tree), circuit_values_given(self), std::make_shared<const ParamMask>(std::move(mask)));
}

PyObject* circuit_with_fixed(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"params", nullptr};
    PyObject* params = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:with_fixed", const_cast<char**>(keywords), &params))
        return nullptr;
    std::vector<std::pair<std::string, std::optional<double>>> given;
    if (PyDict_Check(params)) {
        const bool read = read_named(params, "params", [&](std::string name, PyObject* value) {
            auto v = named_float(value, "params");
            if (v) given.emplace_back(std::move(name), *v);
            return v.has_value();
        });
        if (!read) return nullptr;
    } else {
        auto names = names_argument(params, "params");
        if (!names) return nullptr;
        for (auto& n : *names) given.emplace_back(std::move(n), std::nullopt);
    }
    const NodeList& tree = circuit_tree(self);
    const std::vector<std::string> names = param_names(tree);
    std::vector<std::string> requested;
    for (const auto& g : given) requested.push_back(g.first);
    if (!check_known(self, requested, names)) return nullptr;

    ParamMask mask = mask_copy(self);
    std::vector<double> values = param_values(tree);
    bool new_values = false;
    for (const auto& [name, v] : given) {
        for (std::size_t i : positions_of(names, name)) {
            mask.fixed[i] = true;
            if (v) {
                values[i] = *v;
                new_values = true;
            }
        }
    }
    std::shared_ptr<const NodeList> out = *as_circuit(self)->tree;
    if (new_values) out = std::make_shared<const NodeList>(rebuild(tree, values));
    return checked_circuit(self, std::move(out), std::move(mask));
}

PyObject* circuit_with_free(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"names", nullptr};
    PyObject* names_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:with_free", const_cast<char**>(keywords), &names_obj))
        return nullptr;
    ParamMask mask = mask_copy(self);
    if (names_obj == Py_None) {
        std::fill(mask.fixed.begin(), mask.fixed.end(), false);
    } else {
        auto requested = names_argument(names_obj, "names");
        if (!requested) return nullptr;
        const std::vector<std::string> names = param_names(circuit_tree(self));
        if (!check_known(self, *requested, names)) return nullptr;
        for (const auto& name : *requested) {
            for (std::size_t i : positions_of(names, name)) mask.fixed[i] = false;
        }
    }
    return checked_circuit(self, *as_circuit(self)->tree, std::move(mask));
}

PyObject* circuit_with_bounds(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"bounds", nullptr};
    PyObject* dict = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:with_bounds", const_cast<char**>(keywords), &dict))
        return nullptr;
    if (!PyDict_Check(dict)) {
        raise_argument_error("bounds", "'" + type_name(dict) + "' object cannot be converted to 'dict'");
        return nullptr;
    }
    std::vector<std::pair<std::string, std::optional<Bounds>>> given;
    const bool read = read_named(dict, "bounds", [&](std::string name, PyObject* value) {
        if (value == Py_None) {
            given.emplace_back(std::move(name), std::nullopt);
            return true;
        }
        auto pair = floats_from_sequence(value);
        if (!pair) {
            prefix_pending_error("bounds");
            return false;
        }
        if (pair->size() != 2) {
            raise_argument_error("bounds", "expected a (lower, upper) pair or None for " + quote(name) + ", got " +
                                               std::to_string(pair->size()) + " values");
            return false;
        }
        given.emplace_back(std::move(name), Bounds{(*pair)[0], (*pair)[1]});
        return true;
    });
    if (!read) return nullptr;
    const std::vector<std::string> names = param_names(circuit_tree(self));
    std::vector<std::string> requested;
    for (const auto& g : given) requested.push_back(g.first);
    if (!check_known(self, requested, names)) return nullptr;
    ParamMask mask = mask_copy(self);
    for (const auto& [name, b] : given) {
        for (std::size_t i : positions_of(names, name)) mask.bounds[i] = b;
    }
    return checked_circuit(self, *as_circuit(self)->tree, std::move(mask));
}

PyObject* circuit_fixed_params(PyObject* self, PyObject*) {
    const NodeList& tree = circuit_tree(self);
    const auto& mask = circuit_mask(self);
    Ref dict(PyDict_New());
    if (!dict || !mask) return dict.release();
    const auto names = param_names(tree);
    const auto values = param_values(tree);
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!mask->is_fixed(i)) continue;
        Ref v(PyFloat_FromDouble(values[i]));
        if (!v || PyDict_SetItemString(dict.get(), names[i].c_str(), v.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* circuit_custom_bounds(PyObject* self, PyObject*) {
    const auto& mask = circuit_mask(self);
    Ref dict(PyDict_New());
    if (!dict || !mask) return dict.release();
    const auto names = param_names(circuit_tree(self));
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!mask->has_bounds(i)) continue;
        Ref pair(Py_BuildValue("(dd)", mask->bounds[i]->lo, mask->bounds[i]->hi));
        if (!pair || PyDict_SetItemString(dict.get(), names[i].c_str(), pair.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* circuit_free_param_names(PyObject* self, PyObject*) {
    const auto& mask = circuit_mask(self);
    auto names = param_names(circuit_tree(self));
    std::vector<std::string> out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!(mask && mask->is_fixed(i))) out.push_back(std::move(names[i]));
    }
    return list_of_strings(out);
}

PyObject* circuit_free_param_values(PyObject* self, PyObject*) {
    const auto& mask = circuit_mask(self);
    auto values = param_values(circuit_tree(self));
    std::vector<double> out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!(mask && mask->is_fixed(i))) out.push_back(values[i]);
    }
    return list_of_floats(out);
}

#define VELOTZ_DOC(sig, body) sig "\n--\n\n" body

PyMethodDef circuit_methods[] = {
    {"param_names", VELOTZ_GUARD_METH(circuit_param_names), METH_NOARGS,
     VELOTZ_DOC("param_names($self)", "Parameter names, in the same order `with_values()` consumes and\n"
                                      "`with_named_values()` expects as keys.")},
    {"param_units", VELOTZ_GUARD_METH(circuit_param_units), METH_NOARGS, VELOTZ_DOC("param_units($self)", "Physical units per parameter")},
    {"param_values", VELOTZ_GUARD_METH(circuit_param_values), METH_NOARGS,
     VELOTZ_DOC("param_values($self)", "Current parameter values, in `param_names()` order.")},
    {"param_bounds", VELOTZ_GUARD_METH(circuit_param_bounds), METH_NOARGS,
     VELOTZ_DOC("param_bounds($self)", "Default physical-validity `(lo, hi)` bounds per parameter, in\n"
                                       "`param_names()` order. `hi` is `inf` for open-bound parameters.")},
    {"with_values", VELOTZ_GUARD_METH(circuit_with_values),
     METH_VARARGS | METH_KEYWORDS,
     VELOTZ_DOC("with_values($self, values)", "Rebuild this circuit with a new flat parameter vector, assigned\n"
                                              "positionally in `param_names()` order.")},
    {"with_named_values", VELOTZ_GUARD_METH(circuit_with_named_values),
     METH_VARARGS | METH_KEYWORDS,
     VELOTZ_DOC("with_named_values($self, values)",
                "Rebuild this circuit with parameter values looked up by name (see\n"
                "`param_names()`). Every name must be present and no unknown names\nmay be supplied.")},
    {"impedance", VELOTZ_GUARD_METH(circuit_impedance),
     METH_VARARGS | METH_KEYWORDS, VELOTZ_DOC("impedance($self, frequencies)", "")},
    VELOTZ_CIRCUIT_EXTRA_METHODS
    {"with_fixed", VELOTZ_GUARD_METH(circuit_with_fixed),
     METH_VARARGS | METH_KEYWORDS,
     VELOTZ_DOC("with_fixed($self, params)",
                "A copy of this circuit whose named parameters are held fixed by `fit()`.\n\n"
                "`params` is a dict of name -> value (fix at that value) or a name or\n"
                "list of names (fix at the current value). A fixed value must be finite\n"
                "and inside the parameter's bounds, and at least one parameter must stay\n"
                "free. `residuals()` and `jacobian()` then take the free parameters only\n"
                "(`free_param_names()` order).")},
    {"with_free", VELOTZ_GUARD_METH(circuit_with_free),
     METH_VARARGS | METH_KEYWORDS,
     VELOTZ_DOC("with_free($self, names=None)",
                "A copy of this circuit whose named parameters (all when `names` is\n"
                "None) are no longer fixed; they keep their current values.")},
    {"with_bounds", VELOTZ_GUARD_METH(circuit_with_bounds),
     METH_VARARGS | METH_KEYWORDS,
     VELOTZ_DOC("with_bounds($self, bounds)",
                "A copy of this circuit with custom `(lo, hi)` bounds for the named\n"
                "parameters, used by `fit()` instead of the defaults (None restores the\n"
                "default). Bounds must satisfy lo < hi and lie within the defaults; a\n"
                "parameter with a finite `hi` is searched on its own scale, one with\n"
                "`hi = inf` on a log scale above `lo`.")},
    {"fixed_params", VELOTZ_GUARD_METH(circuit_fixed_params), METH_NOARGS,
     VELOTZ_DOC("fixed_params($self)", "Fixed parameters and their values, in `param_names()` order.")},
    {"custom_bounds", VELOTZ_GUARD_METH(circuit_custom_bounds), METH_NOARGS,
     VELOTZ_DOC("custom_bounds($self)",
                "Parameters with custom bounds and those bounds, in `param_names()` order.")},
    {"free_param_names", VELOTZ_GUARD_METH(circuit_free_param_names), METH_NOARGS,
     VELOTZ_DOC("free_param_names($self)",
                "Names of the parameters `fit()` moves (all but the fixed ones), in\n"
                "the order `residuals()` and `jacobian()` take them.")},
    {"free_param_values", VELOTZ_GUARD_METH(circuit_free_param_values), METH_NOARGS,
     VELOTZ_DOC("free_param_values($self)", "Current values of the free parameters, in `free_param_names()` order.")},
    VELOTZ_CIRCUIT_DATA_METHODS
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef circuit_getset[] = {
    {"text", VELOTZ_GUARD(circuit_text), nullptr, kCircuitTextDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot circuit_slots[] = {
    {Py_tp_new, VELOTZ_GUARD_SLOT(circuit_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(circuit_dealloc)},
    {Py_tp_repr, VELOTZ_GUARD_SLOT(circuit_repr)},
    {Py_tp_methods, circuit_methods},
    {Py_tp_getset, circuit_getset},
    {Py_tp_richcompare, VELOTZ_GUARD_SLOT(circuit_richcompare)},
    {Py_tp_hash, VELOTZ_GUARD_SLOT(circuit_hash)},
    {Py_tp_doc, const_cast<char*>("Circuit(s)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec circuit_spec = {
    "velotz.Circuit",
    sizeof(CircuitObject),
    0,
    Py_TPFLAGS_DEFAULT | VELOTZ_TPFLAGS_IMMUTABLE,
    circuit_slots,
};

}  // namespace

PyTypeObject* circuit_type() { return g_circuit_type; }

PyObject* create_circuit_type() {
    if (!g_circuit_type) {
        g_circuit_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&circuit_spec));
        if (!g_circuit_type) return nullptr;
    }
    Py_INCREF(g_circuit_type);
    return reinterpret_cast<PyObject*>(g_circuit_type);
}

bool is_circuit(PyObject* obj) { return g_circuit_type && PyObject_TypeCheck(obj, g_circuit_type); }

PyObject* make_circuit(std::shared_ptr<const NodeList> tree, bool values_given,
                       std::shared_ptr<const ParamMask> mask) {
    PyTypeObject* type = g_circuit_type;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    if (mask && !mask->any()) mask.reset();
    as_circuit(self)->tree = new std::shared_ptr<const NodeList>(std::move(tree));
    as_circuit(self)->values_given = values_given;
    as_circuit(self)->mask = new std::shared_ptr<const ParamMask>(std::move(mask));
    return self;
}

PyObject* make_circuit(NodeList tree, bool values_given, std::shared_ptr<const ParamMask> mask) {
    return make_circuit(std::make_shared<const NodeList>(std::move(tree)), values_given, std::move(mask));
}

}  // namespace velotz::py
