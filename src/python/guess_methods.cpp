// Circuit.guess and Circuit.ml_circuits: starting values from the trained
// networks.
#include <optional>
#include <string>

#include "start/registry.hpp"
#include "start/start.hpp"
#include "python/circuit_methods.hpp"
#include "python/circuit_type.hpp"
#include "python/data_input.hpp"
#include "python/guard.hpp"
#include "python/paths.hpp"

namespace velotz::py {

const char* const kGuessDoc =
    "guess($self, frequencies, impedances=None, weights=None)\n--\n\n"
    "Machine-learning guess of starting parameters for this circuit's\n"
    "topology, in `param_names()` order.\n\n"
    "Series and parallel elements may be written with any order and labels:\n"
    "`(R1,C2)-R3` uses the same model as `R0-(R1,C1)`. `K` and `Zarc` reach\n"
    "the models trained on the pairs they abbreviate, so `R0-Zarc1` uses the\n"
    "`R0-(R1,CPE1)` model and gets its guess back as `r`, `tau_k`, `gamma`.\n\n"
    "`weights` loads a `.eisnn` file from disk instead of looking for a\n"
    "bundled model.\n\n"
    "Raises if no model has been trained for this topology, or if `weights`\n"
    "was trained for a different one.";

const char* const kMlCircuitsDoc =
    "ml_circuits()\n--\n\n"
    "Names accepted by the constructor that have trained initial-parameter\n"
    "models, and so get a guessed starting point from `fit()` by default.";

PyObject* circuit_guess(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"frequencies", "impedances", "weights", nullptr};
    PyObject *frequencies = nullptr, *impedances = Py_None, *weights = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:guess", const_cast<char**>(keywords), &frequencies,
                                     &impedances, &weights)) {
        suggest_keyword(kwargs, keywords);
        return nullptr;
    }
    std::optional<std::string> path;
    if (!optional_path(weights, "weights", path)) return nullptr;
    Spectrum data;
    if (!spectrum(frequencies, impedances, data)) {
        explain_split_impedances(impedances);
        return nullptr;
    }
    // Reading a weight file (which may be a slow disk or a pipe) and running
    // the network happen without the interpreter lock; the tree is kept
    // alive by self.
    std::shared_ptr<const NodeList> tree = *reinterpret_cast<CircuitObject*>(self)->tree;
    // What fit() would start from: fixed values kept, custom bounds respected.
    const ParamMask* mask = circuit_mask(self).get();
    auto values = without_gil([&] {
        return start_values(network_start(path), *tree, mask, data.frequencies, data.impedances);
    });
    if (!values) return raise(PyExc_ValueError, values.error());
    return list_of_floats(*values);
}

PyObject* circuit_ml_circuits(PyObject*, PyObject*) {
    std::vector<std::string> names;
    for (const ModelSpec& m : MODEL_SPECS) names.emplace_back(m.name);
    return list_of_strings(names);
}

}  // namespace velotz::py
