#include "python/fit_result.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "python/circuit_type.hpp"
#include "python/guard.hpp"
#include "python/state.hpp"
#include "util/text.hpp"

namespace velotz::py {
namespace {

PyTypeObject* g_fit_result_type = nullptr;

struct FitResultObject {
    PyObject_HEAD
    FitOutcome* outcome;
    std::shared_ptr<const NodeList>* circuit;  // shared by every Circuit handed out
    PyObject* params;  // the params dict, built on first access (null before); callers get copies
};

FitResultObject* as_result(PyObject* self) { return reinterpret_cast<FitResultObject*>(self); }
const FitOutcome& outcome_of(PyObject* self) { return *as_result(self)->outcome; }

PyObject* fit_result_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for FitResult");
    return nullptr;
}

void fit_result_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    delete as_result(self)->outcome;
    delete as_result(self)->circuit;
    Py_XDECREF(as_result(self)->params);
    type->tp_free(self);
    Py_DECREF(type);
}

// Name/value pairs as a dict holds them: the first position of a name with
// the last value given for it.
std::vector<std::pair<std::string, double>> named(const std::vector<std::string>& names,
                                                  const std::vector<double>& values) {
    std::vector<std::pair<std::string, double>> out;
    const std::size_t n = std::min(names.size(), values.size());
    for (std::size_t i = 0; i < n; ++i) {
        auto it = std::find_if(out.begin(), out.end(), [&](const auto& e) { return e.first == names[i]; });
        if (it != out.end()) {
            it->second = values[i];
        } else {
            out.emplace_back(names[i], values[i]);
        }
    }
    return out;
}

PyObject* dict_of(const std::vector<std::string>& names, const std::vector<double>& values) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [name, value] : named(names, values)) {
        Ref v(PyFloat_FromDouble(value));
        if (!v) return nullptr;
        if (PyDict_SetItemString(dict.get(), name.c_str(), v.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* get_circuit(PyObject* self, void*) {
    return make_circuit(*as_result(self)->circuit, true, as_result(self)->outcome->mask);
}

// Every access returns a new dict; the first one built is kept (it holds
// only str keys and float values) and later ones are copies of it, which
// skips building the name strings again.
PyObject* get_params(PyObject* self, void*) {
    FitResultObject* r = as_result(self);
    if (r->params == nullptr) {
        const FitOutcome& o = *r->outcome;
        r->params = dict_of(o.names, o.params);
        if (r->params == nullptr) return nullptr;
    }
    return PyDict_Copy(r->params);
}

PyObject* get_stderr(PyObject* self, void*) {
    const FitOutcome& o = outcome_of(self);
    if (!o.std_errors) Py_RETURN_NONE;
    // Only free parameters have standard errors; fixed ones are absent.
    return dict_of(o.std_error_names, *o.std_errors);
}

PyObject* get_success(PyObject* self, void*) { return PyBool_FromLong(outcome_of(self).success); }

PyObject* get_iterations(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(outcome_of(self).iterations);
}

PyObject* get_impedance_evals(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(outcome_of(self).impedance_evals);
}

PyObject* get_cost(PyObject* self, void*) { return PyFloat_FromDouble(outcome_of(self).cost); }

PyObject* get_chi_square(PyObject* self, void*) { return PyFloat_FromDouble(outcome_of(self).chi_square); }

PyObject* fit_result_repr(PyObject* self) {
    const FitOutcome& o = outcome_of(self);
    std::string out = "FitResult(success=";
    out += o.success ? "true" : "false";
    out += ", iterations=" + std::to_string(o.iterations);
    out += ", impedance_evals=" + std::to_string(o.impedance_evals);
    out += ", chi_square=" + format_exp(o.chi_square, 6);
    out += ", params={";
    bool first = true;
    for (const auto& [name, value] : named(o.names, o.params)) {
        if (!first) out += ", ";
        first = false;
        out += quote(name) + ": " + format_debug(value);
    }
    out += "})";
    return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyGetSetDef fit_result_getset[] = {
    {"circuit", VELOTZ_GUARD(get_circuit), nullptr, nullptr, nullptr},
    {"params", VELOTZ_GUARD(get_params), nullptr, nullptr, nullptr},
    {"stderr", VELOTZ_GUARD(get_stderr), nullptr, nullptr, nullptr},
    {"success", VELOTZ_GUARD(get_success), nullptr, nullptr, nullptr},
    {"iterations", VELOTZ_GUARD(get_iterations), nullptr, nullptr, nullptr},
    {"impedance_evals", VELOTZ_GUARD(get_impedance_evals), nullptr, nullptr, nullptr},
    {"cost", VELOTZ_GUARD(get_cost), nullptr, nullptr, nullptr},
    {"chi_square", VELOTZ_GUARD(get_chi_square), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot fit_result_slots[] = {
    {Py_tp_new, VELOTZ_GUARD_SLOT(fit_result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(fit_result_dealloc)},
    {Py_tp_repr, VELOTZ_GUARD_SLOT(fit_result_repr)},
    {Py_tp_getset, fit_result_getset},
    {Py_tp_methods, fit_result_extra_methods},
    {Py_tp_richcompare, VELOTZ_GUARD_SLOT(fit_result_richcompare)},
    {Py_tp_hash, VELOTZ_GUARD_SLOT(fit_result_hash)},
    {0, nullptr},
};

PyType_Spec fit_result_spec = {
    "velotz.FitResult",
    sizeof(FitResultObject),
    0,
    Py_TPFLAGS_DEFAULT | VELOTZ_TPFLAGS_IMMUTABLE,
    fit_result_slots,
};

}  // namespace

PyTypeObject* fit_result_type() { return g_fit_result_type; }

PyObject* create_fit_result_type() {
    if (!g_fit_result_type) {
        g_fit_result_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&fit_result_spec));
        if (!g_fit_result_type) return nullptr;
    }
    Py_INCREF(g_fit_result_type);
    return reinterpret_cast<PyObject*>(g_fit_result_type);
}

const FitOutcome& fit_result_outcome(PyObject* self) { return outcome_of(self); }
const NodeList& fit_result_circuit(PyObject* self) { return **as_result(self)->circuit; }

PyObject* make_fit_result(FitOutcome outcome) {
    PyTypeObject* type = g_fit_result_type;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto tree = std::make_shared<const NodeList>(std::move(outcome.circuit));
    as_result(self)->circuit = new std::shared_ptr<const NodeList>(std::move(tree));
    as_result(self)->outcome = new FitOutcome(std::move(outcome));
    as_result(self)->params = nullptr;
    return self;
}

}  // namespace velotz::py
