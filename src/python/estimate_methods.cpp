// Circuit.estimate_start: heuristic starting values for any circuit from the
// shape of a measured spectrum.
#include <memory>

#include "start/start.hpp"
#include "python/circuit_methods.hpp"
#include "python/circuit_type.hpp"
#include "python/data_input.hpp"
#include "python/guard.hpp"

namespace velotz::py {

const char* const kEstimateStartDoc =
    "estimate_start($self, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
    "A copy of this circuit with starting values read from a measured\n"
    "spectrum, for any circuit text: series resistance from the\n"
    "high-frequency intercept, inductance from an inductive tail, arcs at\n"
    "the spectrum's relaxation frequencies (peaks of -Im Z) with CPE\n"
    "exponents from their depression, capacitors and Warburg terms from the\n"
    "low-frequency tail. Several assignments are costed and the best is\n"
    "refined briefly. For two or more arcs the same is done with the peaks\n"
    "of the distribution of relaxation times, which separates arcs that\n"
    "-Im Z merges; those values are kept when at least 10 % cheaper.\n"
    "`fit()` then starts from these values:\n\n"
    "    circuit.estimate_start(f, z).fit(f, z)\n\n"
    "Accepts two sequences or a dataframe, like `fit()`.";

PyObject* circuit_estimate_start(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"frequencies", "impedances", "weight", nullptr};
    PyObject *frequencies = nullptr, *impedances = Py_None, *weight = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:estimate_start", const_cast<char**>(keywords), &frequencies,
                                     &impedances, &weight)) {
        suggest_keyword(kwargs, keywords);
        return nullptr;
    }
    std::string weight_text = "modulus";
    if (weight) {
        if (!PyUnicode_Check(weight)) {
            raise_argument_error("weight", "'" + type_name(weight) + "' object cannot be converted to 'str'");
            return nullptr;
        }
        auto w = utf8_of(weight);
        if (!w) return nullptr;
        weight_text = *w;
    }
    Spectrum data;
    if (!spectrum(frequencies, impedances, data)) {
        explain_split_impedances(impedances);
        return nullptr;
    }
    auto weighting = parse_weighting(weight_text);
    if (!weighting) {
        return raise(PyExc_ValueError, weighting.error());
    }
    std::shared_ptr<const NodeList> tree = *reinterpret_cast<CircuitObject*>(self)->tree;
    // The copy keeps this circuit's constraints: fixed parameters keep their
    // values and the estimate is moved inside custom bounds.
    const std::shared_ptr<const ParamMask>& mask = circuit_mask(self);
    auto values = without_gil_interruptible([&] {
        return start_values(estimate_start_choice(), *tree, mask.get(), data.frequencies, data.impedances,
                            *weighting);
    });
    if (!values) return raise(PyExc_ValueError, values.error());
    return make_circuit(rebuild(*tree, *values), true, mask);
}

}  // namespace velotz::py
