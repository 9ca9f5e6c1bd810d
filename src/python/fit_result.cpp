#include "python/fit_result.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fit/fit_model.hpp"
#include "fit/uncertainty.hpp"
#include "python/circuit_type.hpp"
#include "python/data_methods.hpp"
#include "python/guard.hpp"
#include "python/numpy_api.hpp"
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

// ---------------------------------------------------------------- uncertainty
//
// Beside the standard errors: the covariance and correlation of the free
// parameters (rows and columns in free_names order), confidence intervals,
// the residuals at the solution, the number of points and the information
// criteria. A result read from a state written before velotz kept the
// residuals knows neither them nor its number of points, nor (having no
// covariance) anything derived from those: such attributes are None.

// The base's attributes read the FitResult they are called on; anything else
// (only a Python subclass of the base could reach them) is refused.
const FitOutcome* statistics_of(PyObject* self) {
    if (g_fit_result_type && PyObject_TypeCheck(self, g_fit_result_type)) return as_result(self)->outcome;
    PyErr_SetString(PyExc_TypeError, "expected a FitResult");
    return nullptr;
}

PyObject* get_free_names(PyObject* self, void*) {
    const FitOutcome* o = statistics_of(self);
    if (!o) return nullptr;
    return list_of_strings(o->std_error_names);
}

PyObject* get_covariance(PyObject* self, void*) {
    const FitOutcome* checked = statistics_of(self);
    if (!checked) return nullptr;
    const FitOutcome& o = *checked;
    if (!o.std_errors || !o.covariance) Py_RETURN_NONE;
    const std::size_t k = o.std_error_names.size();
    return new_float_array(o.covariance->data(), k, k);
}

PyObject* get_correlation(PyObject* self, void*) {
    const FitOutcome* checked = statistics_of(self);
    if (!checked) return nullptr;
    const FitOutcome& o = *checked;
    if (!o.std_errors || !o.covariance) Py_RETURN_NONE;
    const std::size_t k = o.std_error_names.size();
    const std::vector<double> corr = correlation(*o.covariance, k);
    return new_float_array(corr.data(), k, k);
}

PyObject* get_residuals(PyObject* self, void*) {
    const FitOutcome* checked = statistics_of(self);
    if (!checked) return nullptr;
    const FitOutcome& o = *checked;
    if (!o.residuals) Py_RETURN_NONE;
    return new_float_array(o.residuals->data(), o.residuals->size(), 0);
}

PyObject* get_n_points(PyObject* self, void*) {
    const FitOutcome* checked = statistics_of(self);
    if (!checked) return nullptr;
    const FitOutcome& o = *checked;
    if (!o.residuals) Py_RETURN_NONE;
    return PyLong_FromSize_t(o.residuals->size() / 2);
}

PyObject* criterion(PyObject* self, bool aic) {
    const FitOutcome* checked = statistics_of(self);
    if (!checked) return nullptr;
    const FitOutcome& o = *checked;
    if (!o.residuals) Py_RETURN_NONE;
    const InformationCriteria ic = information_criteria(o.chi_square, o.residuals->size(), o.std_error_names.size());
    return PyFloat_FromDouble(aic ? ic.aic : ic.bic);
}

PyObject* get_aic(PyObject* self, void*) { return criterion(self, true); }
PyObject* get_bic(PyObject* self, void*) { return criterion(self, false); }

const char* const kConfIntDoc =
    "conf_int($self, level=0.95)\n--\n\n"
    "Confidence intervals of the free parameters, {name: (lower, upper)}.\n"
    "\n"
    "From the standard errors and Student's t quantile with 2N - k degrees of\n"
    "freedom. A parameter with a finite upper bound gets value -/+ t*stderr\n"
    "clipped to its bounds; one without an upper bound (a positive quantity,\n"
    "which the fit moves on a log scale) the interval of that log scale,\n"
    "lo + (p - lo) * exp(-/+ t*stderr / (p - lo)), which stays positive. None\n"
    "when the standard errors are not defined, or for a result read from a\n"
    "state that did not record its number of points.";

PyObject* conf_int(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"level", nullptr};
    double level = 0.95;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|d:conf_int", const_cast<char**>(keywords), &level))
        return nullptr;
    const FitOutcome* checked = statistics_of(self);
    if (!checked) return nullptr;
    if (!(level > 0.0 && level < 1.0)) return raise(PyExc_ValueError, "level must lie between 0 and 1 (exclusive)");
    const FitOutcome& o = *checked;
    if (!o.std_errors || !o.residuals) Py_RETURN_NONE;
    const FitModel model(*as_result(self)->circuit, o.mask);
    const std::vector<double> values = model.values();
    const double dof = static_cast<double>(o.residuals->size()) - static_cast<double>(o.std_error_names.size());
    const std::vector<Interval> intervals = confidence_intervals(values, *o.std_errors, model.bounds(), dof, level);
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t i = 0; i < intervals.size() && i < o.std_error_names.size(); ++i) {
        Ref pair(Py_BuildValue("(dd)", intervals[i].lo, intervals[i].hi));
        if (!pair || PyDict_SetItemString(dict.get(), o.std_error_names[i].c_str(), pair.get()) < 0) return nullptr;
    }
    return dict.release();
}

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

// The uncertainty attributes and conf_int live on a private base class of
// FitResult, so that FitResult's own attributes stay the eight it has always
// registered (in their order) while every instance reads the others too.
// The base has no constructor either, and only FitResult derives from it.
PyGetSetDef statistics_getset[] = {
    {"free_names", VELOTZ_GUARD(get_free_names), nullptr,
     "Names of the free parameters: the order of stderr, conf_int(), and the rows and columns of covariance and "
     "correlation.",
     nullptr},
    {"covariance", VELOTZ_GUARD(get_covariance), nullptr,
     "Covariance matrix of the free parameters (numpy, k x k, free_names order), s^2 (J^T J)^-1 with "
     "s^2 = chi_square / (2N - k); its diagonal holds the squares of stderr. None where stderr is None.",
     nullptr},
    {"correlation", VELOTZ_GUARD(get_correlation), nullptr,
     "Correlation matrix of the free parameters (numpy, k x k, free_names order), from covariance. None where "
     "stderr is None.",
     nullptr},
    {"residuals", VELOTZ_GUARD(get_residuals), nullptr,
     "Weighted residuals at the solution (numpy, 2N floats), interleaved [re0, im0, re1, im1, ...] as "
     "Circuit.residuals gives them: (model - data) / weight.",
     nullptr},
    {"n_points", VELOTZ_GUARD(get_n_points), nullptr, "Number of frequencies N the fit used.", nullptr},
    {"aic", VELOTZ_GUARD(get_aic), nullptr,
     "Akaike information criterion n ln(chi_square / n) + 2k, with n = 2N real residuals and k free parameters.",
     nullptr},
    {"bic", VELOTZ_GUARD(get_bic), nullptr,
     "Bayesian information criterion n ln(chi_square / n) + k ln n, with n = 2N and k free parameters.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef statistics_methods[] = {
    {"conf_int", VELOTZ_GUARD_METH(conf_int), METH_VARARGS | METH_KEYWORDS, kConfIntDoc},
    VELOTZ_FIT_RESULT_DATA_METHODS
    {nullptr, nullptr, 0, nullptr},
};

PyObject* statistics_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for _FitStatistics");
    return nullptr;
}

PyType_Slot statistics_slots[] = {
    {Py_tp_new, VELOTZ_GUARD_SLOT(statistics_new)},
    {Py_tp_getset, statistics_getset},
    {Py_tp_methods, statistics_methods},
    {0, nullptr},
};

PyType_Spec statistics_spec = {
    "velotz._core._FitStatistics",
    sizeof(FitResultObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | VELOTZ_TPFLAGS_IMMUTABLE,
    statistics_slots,
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
        Ref base(PyType_FromSpec(&statistics_spec));
        if (!base) return nullptr;
        Ref bases(PyTuple_Pack(1, base.get()));
        if (!bases) return nullptr;
        g_fit_result_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpecWithBases(&fit_result_spec, bases.get()));
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
