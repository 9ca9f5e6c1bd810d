// Circuit.fit: argument conversion, the choice of starting values, and the
// fit itself with the interpreter lock released.
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "fit/fit.hpp"
#include "start/start.hpp"
#include "python/circuit_methods.hpp"
#include "python/circuit_type.hpp"
#include "python/fit_result.hpp"
#include "python/data_input.hpp"
#include "python/guard.hpp"
#include "python/paths.hpp"
#include "python/fit_options.hpp"

namespace velotz::py {

const char* const kFitDoc =
    "fit($self, frequencies, impedances=None" VELOTZ_FIT_OPTION_SIGNATURE ")\n--\n\n"
    "Fit this circuit's parameters to a measured spectrum.\n"
    "\n"
    "Accepts two sequences of frequencies and impedances, or a single battery\n"
    "data format dataframe (`impedances` left as None).\n"
    "\n"
    "`guess_init` unset means start from a machine-learning guess whenever the\n"
    "circuit is not explicitly given starting parameters. If no model has been\n"
    "trained for the topology it warns and starts from placeholder values.\n"
    "\n"
    "`True` always guesses, and raises rather than warns when it cannot.\n"
    "`False` never guesses.";

namespace {

PyObject* raise_value_error(const std::string& text) {
    return raise(PyExc_ValueError, text);
}

}  // namespace

PyObject* circuit_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"frequencies", "impedances", VELOTZ_FIT_OPTION_KEYWORDS nullptr};
    PyObject *frequencies = nullptr, *impedances = Py_None;
    FitOptionArgs options_;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O" VELOTZ_FIT_OPTION_UNITS ":fit", const_cast<char**>(keywords),
                                     &frequencies, &impedances VELOTZ_FIT_OPTION_TARGETS)) {
        suggest_keyword(kwargs, keywords);
        return nullptr;
    }

    // 1. Options, in signature order.
    FitRequest request;
    FitCallOptions call;
    if (!convert_fit_options(options_, request, call)) {
        // fit(f, zr, zi): the imaginary parts landed in guess_init.
        PyObject* third = options_.guess_init;
        if (PyTuple_GET_SIZE(args) >= 3 && third && !PyBool_Check(third) && PySequence_Check(third) &&
            !PyUnicode_Check(third)) {
            append_to_pending_error(
                "; the third positional argument is guess_init: pass the impedances as one complex "
                "sequence, for example fit(frequencies, zr + 1j*zi)");
        }
        return nullptr;
    }

    // 2.-4. The circuit (kept alive by self), the spectrum and the weighting.
    std::shared_ptr<const NodeList> tree = *reinterpret_cast<CircuitObject*>(self)->tree;
    Spectrum data;
    if (!spectrum(frequencies, impedances, data)) {
        explain_split_impedances(impedances);
        return nullptr;
    }
    auto weighting = parse_weighting(call.weight);
    if (!weighting) return raise_value_error(weighting.error());
    request.weighting = *weighting;

    // 5. Starting values (start/start.hpp): a network's guess unless the
    // caller supplied values or said not to guess.
    request.mask = circuit_mask(self);
    const StartChoice start =
        choose_start(*tree, StartOptions{call.guess_init, call.weights, circuit_values_given(self)});
    if (!start.warning.empty() && PyErr_WarnEx(PyExc_UserWarning, start.warning.c_str(), 1) < 0) return nullptr;
    if (start.source != StartSource::Circuit) {
        auto circuit = without_gil([&] {
            return start_circuit(start, *tree, request.mask.get(), data.frequencies, data.impedances);
        });
        if (!circuit) return raise_value_error(circuit.error());
        request.circuit = std::move(*circuit);
    } else {
        request.circuit = *tree;  // copied only when the fit starts from it
    }
    request.frequencies = std::move(data.frequencies);
    request.impedances = std::move(data.impedances);

    // 6. The fit, on native copies only.
    FitResultOr result = without_gil_interruptible([&] { return fit_dispatch(request); });

    // 7. Back to Python.
    if (!result) return raise_value_error(result.error().display());
    return make_fit_result(std::move(*result));
}

}  // namespace velotz::py
