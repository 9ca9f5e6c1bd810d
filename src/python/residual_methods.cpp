// Circuit.residuals and Circuit.jacobian: the building blocks of the fit,
// exposed so that external optimizers can drive the same mathematics.
#include <algorithm>
#include <memory>
#include <optional>

#include "fit/fit_model.hpp"
#include "fit/residuals.hpp"
#include "util/text.hpp"
#include "python/circuit_methods.hpp"
#include "python/circuit_type.hpp"
#include "python/data_input.hpp"
#include "python/guard.hpp"

namespace velotz::py {

const char* const kResidualsDoc =
    "residuals($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
    "Weighted residual vector (interleaved `[re0, im0, re1, im1, ...]`) for an\n"
    "arbitrary parameter vector -- the same building block `fit()` uses\n"
    "internally for Levenberg-Marquardt, exposed so an external optimizer (e.g.\n"
    "`scipy.optimize.least_squares`) can drive this circuit's math directly.";

const char* const kJacobianDoc =
    "jacobian($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
    "Central-difference Jacobian of `residuals()` at `params`, shape `(2 *\n"
    "len(frequencies), len(params))` -- rows are residuals, columns are\n"
    "parameters, matching what `scipy.optimize.least_squares(jac=...)` expects.";

namespace {

// Everything the two methods need, as native copies.
struct Request {
    std::shared_ptr<const NodeList> tree;
    // Set when the circuit has fixed parameters: `params` then holds the free
    // ones, which the model places among the fixed values.
    std::optional<FitModel> model;
    std::vector<double> params;
    std::vector<double> omegas;
    std::vector<Cx> impedances;
    std::vector<double> weights;
};

bool parse_request(PyObject* self, PyObject* args, PyObject* kwargs, const char* fname, Request& req) {
    static const char* keywords[] = {"params", "frequencies", "impedances", "weight", nullptr};
    PyObject *params = nullptr, *frequencies = nullptr, *impedances = Py_None, *weight = nullptr;
    std::string format = std::string("OO|OO:") + fname;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(keywords), &params,
                                     &frequencies, &impedances, &weight))
        return false;
    auto p = floats_from_sequence(params);
    if (!p) {
        prefix_pending_error("params");
        return false;
    }
    std::string weight_text = "modulus";
    if (weight) {
        if (!PyUnicode_Check(weight)) {
            raise_argument_error("weight", "'" + type_name(weight) + "' object cannot be converted to 'str'");
            return false;
        }
        auto w = utf8_of(weight);
        if (!w) return false;
        weight_text = *w;
    }
    Spectrum spectrum_in;
    if (!spectrum(frequencies, impedances, spectrum_in)) return false;
    auto weighting = parse_weighting(weight_text);
    if (!weighting) {
        set_error(PyExc_ValueError, weighting.error());
        return false;
    }
    req.tree = *reinterpret_cast<CircuitObject*>(self)->tree;
    const auto& mask = circuit_mask(self);
    if (mask && std::find(mask->fixed.begin(), mask->fixed.end(), true) != mask->fixed.end()) {
        FitModel model(req.tree, mask);
        if (p->size() != model.free_count()) {
            const std::string text = "expected " + std::to_string(model.free_count()) +
                                     " values for the free parameters " + quote_list(model.names()) + ", got " +
                                     std::to_string(p->size());
            set_error(PyExc_ValueError, text);
            return false;
        }
        req.model = std::move(model);
    }
    req.params = std::move(*p);
    req.omegas = angular(spectrum_in.frequencies);
    req.weights = compute_weights(spectrum_in.impedances, *weighting);
    req.impedances = std::move(spectrum_in.impedances);
    return true;
}

}  // namespace

PyObject* circuit_residuals(PyObject* self, PyObject* args, PyObject* kwargs) {
    Request req;
    if (!parse_request(self, args, kwargs, "residuals", req)) return nullptr;
    auto r = without_gil([&]() -> std::expected<std::vector<double>, std::string> {
        EvalCounter counter{0};
        const Measurement data{req.omegas, req.impedances, req.weights};
        if (req.model) {
            std::vector<double> out;
            req.model->residuals_into(req.params, data, counter, out);
            return out;
        }
        return residuals(*req.tree, req.params, data, counter);
    });
    if (!r) {
        set_error(PyExc_ValueError, r.error());
        return nullptr;
    }
    return list_of_floats(*r);
}

PyObject* circuit_jacobian(PyObject* self, PyObject* args, PyObject* kwargs) {
    Request req;
    if (!parse_request(self, args, kwargs, "jacobian", req)) return nullptr;
    auto cols = without_gil([&] {
        EvalCounter counter{0};
        const Measurement data{req.omegas, req.impedances, req.weights};
        return req.model ? req.model->jacobian_columns(req.params, data, counter)
                         : jacobian_columns(*req.tree, req.params, data, counter);
    });
    if (!cols) {
        set_error(PyExc_ValueError, cols.error());
        return nullptr;
    }
    // Columns to rows: as many rows as the first column has entries.
    const std::size_t n = cols->size();
    const std::size_t m = n ? (*cols)[0].size() : 0;
    Ref rows(PyList_New(static_cast<Py_ssize_t>(m)));
    if (!rows) return nullptr;
    for (std::size_t i = 0; i < m; ++i) {
        PyObject* row = PyList_New(static_cast<Py_ssize_t>(n));
        if (!row) return nullptr;
        PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), row);
        for (std::size_t k = 0; k < n; ++k) {
            PyObject* v = PyFloat_FromDouble((*cols)[k][i]);
            if (!v) return nullptr;
            PyList_SET_ITEM(row, static_cast<Py_ssize_t>(k), v);
        }
    }
    return rows.release();
}

}  // namespace velotz::py
