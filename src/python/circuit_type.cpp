// The Circuit class: construction from a circuit text or model name, the
// parameter lists, re-parameterisation and impedance evaluation.
#include "python/circuit_type.hpp"

#include <algorithm>
#include <map>

#include "models/catalog.hpp"
#include "python/circuit_methods.hpp"
#include "python/numpy_api.hpp"
#include "python/data_input.hpp"
#include "python/state.hpp"
#include "util/text.hpp"

namespace velotz::py {
namespace {

PyTypeObject* g_circuit_type = nullptr;

CircuitObject* as_circuit(PyObject* self) { return reinterpret_cast<CircuitObject*>(self); }

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
    Ref stripped(PyObject_CallMethod(s, "strip", nullptr));
    if (!stripped) return nullptr;
    auto trimmed = utf8_of(stripped.get());
    if (!trimmed) return nullptr;
    std::string source = *text;
    if (auto model = model_by_name(*trimmed)) source = model->circuit;

    auto parsed = parse(source);
    if (!parsed) {
        PyErr_SetString(PyExc_ValueError, parse_error_message(parsed.error(), source).c_str());
        return nullptr;
    }
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    as_circuit(self.get())->tree = new std::shared_ptr<const NodeList>(std::make_shared<const NodeList>(std::move(*parsed)));
    as_circuit(self.get())->values_given = false;
    return self.release();
}

void circuit_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_circuit(self)->tree;
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

PyObject* circuit_repr(PyObject* self) {
    const NodeList& tree = circuit_tree(self);
    auto names = param_names(tree);
    auto values = param_values(tree);
    auto units = param_units(tree);
    auto bounds = param_bounds(tree);
    std::size_t n = std::min({names.size(), values.size(), units.size(), bounds.size()});
    std::size_t width = longest(names);
    std::string out = "Circuit (" + std::to_string(names.size()) + " parameter" + (names.size() == 1 ? "" : "s") + ")\n";
    for (std::size_t i = 0; i < n; ++i) {
        if (i) out += "\n";
        out += "  " + padded(names[i], width) + " = " + padded(format_number(values[i]), 10) + " [" + units[i] +
               "]  bounds (" + format_number(bounds[i].lo) + ", " + format_number(bounds[i].hi) + ")";
    }
    return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyObject* circuit_param_names(PyObject* self, PyObject*) { return list_of_strings(param_names(circuit_tree(self))); }

PyObject* circuit_param_units(PyObject* self, PyObject*) { return list_of_strings(param_units(circuit_tree(self))); }

PyObject* circuit_param_values(PyObject* self, PyObject*) { return list_of_floats(param_values(circuit_tree(self))); }

PyObject* circuit_param_bounds(PyObject* self, PyObject*) {
    auto bounds = param_bounds(circuit_tree(self));
    Ref list(PyList_New(static_cast<Py_ssize_t>(bounds.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < bounds.size(); ++i) {
        PyObject* pair = Py_BuildValue("(dd)", bounds[i].lo, bounds[i].hi);
        if (!pair) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
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
    return make_circuit(rebuild(tree, *values), true);
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
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            raise_argument_error("values", "'" + type_name(key) + "' object cannot be converted to 'str'");
            return nullptr;
        }
        auto name = utf8_of(key);
        if (!name) return nullptr;
        double v = PyFloat_AsDouble(value);
        if (v == -1.0 && PyErr_Occurred()) {
            prefix_pending_error("values");
            return nullptr;
        }
        given.emplace_back(std::move(*name), v);
    }

    const NodeList& tree = circuit_tree(self);
    auto names = param_names(tree);
    std::map<std::string, double> by_name(given.begin(), given.end());
    std::vector<std::string> lines;
    for (const auto& [name, v] : given) {
        if (std::find(names.begin(), names.end(), name) != names.end()) continue;
        std::string line = "unknown parameter " + quote(name);
        if (auto suggestion = closest_param_name(name, names)) line += " (did you mean " + quote(*suggestion) + "?)";
        lines.push_back(std::move(line));
    }
    std::vector<std::string> missing;
    for (const auto& n : names) {
        if (!by_name.count(n)) missing.push_back(n);
    }
    if (lines.empty() && missing.empty()) {
        std::vector<double> vector;
        vector.reserve(names.size());
        for (const auto& n : names) vector.push_back(by_name.at(n));
        return make_circuit(rebuild(tree, vector), true);
    }
    if (!missing.empty()) lines.push_back("missing parameter(s): " + quote_list(missing));
    lines.emplace_back();
    lines.emplace_back("valid parameters for this circuit:");
    auto units = param_units(tree);
    auto bounds = param_bounds(tree);
    std::size_t width = longest(names);
    for (std::size_t i = 0; i < names.size(); ++i) {
        lines.push_back("  " + padded(names[i], width) + "  [" + units[i] + "]  bounds (" + format_number(bounds[i].lo) +
                        ", " + format_number(bounds[i].hi) + ")");
    }
    std::string message;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) message += "\n";
        message += lines[i];
    }
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
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
    std::vector<Cx> values;
    Py_BEGIN_ALLOW_THREADS
    values = impedance_spectrum(*tree, freqs);
    std::copy(values.begin(), values.end(), data);
    Py_END_ALLOW_THREADS
    return array.release();
}

#define VELOTZ_DOC(sig, body) sig "\n--\n\n" body

PyMethodDef circuit_methods[] = {
    {"param_names", circuit_param_names, METH_NOARGS,
     VELOTZ_DOC("param_names($self)", "Parameter names, in the same order `with_values()` consumes and\n"
                                      "`with_named_values()` expects as keys.")},
    {"param_units", circuit_param_units, METH_NOARGS, VELOTZ_DOC("param_units($self)", "Physical units per parameter")},
    {"param_values", circuit_param_values, METH_NOARGS,
     VELOTZ_DOC("param_values($self)", "Current parameter values, in `param_names()` order.")},
    {"param_bounds", circuit_param_bounds, METH_NOARGS,
     VELOTZ_DOC("param_bounds($self)", "Default physical-validity `(lo, hi)` bounds per parameter, in\n"
                                       "`param_names()` order. `hi` is `inf` for open-bound parameters.")},
    {"with_values", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(circuit_with_values)),
     METH_VARARGS | METH_KEYWORDS,
     VELOTZ_DOC("with_values($self, values)", "Rebuild this circuit with a new flat parameter vector, assigned\n"
                                              "positionally in `param_names()` order.")},
    {"with_named_values", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(circuit_with_named_values)),
     METH_VARARGS | METH_KEYWORDS,
     VELOTZ_DOC("with_named_values($self, values)",
                "Rebuild this circuit with parameter values looked up by name (see\n"
                "`param_names()`). Every name must be present and no unknown names\nmay be supplied.")},
    {"impedance", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(circuit_impedance)),
     METH_VARARGS | METH_KEYWORDS, VELOTZ_DOC("impedance($self, frequencies)", "")},
    VELOTZ_CIRCUIT_EXTRA_METHODS
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot circuit_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(circuit_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(circuit_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(circuit_repr)},
    {Py_tp_methods, circuit_methods},
    {Py_tp_richcompare, reinterpret_cast<void*>(circuit_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(circuit_hash)},
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

PyObject* make_circuit(std::shared_ptr<const NodeList> tree, bool values_given) {
    PyTypeObject* type = g_circuit_type;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_circuit(self)->tree = new std::shared_ptr<const NodeList>(std::move(tree));
    as_circuit(self)->values_given = values_given;
    return self;
}

PyObject* make_circuit(NodeList tree, bool values_given) {
    return make_circuit(std::make_shared<const NodeList>(std::move(tree)), values_given);
}

}  // namespace velotz::py
