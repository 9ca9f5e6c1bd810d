// Module initialisation of the compiled core velotz._core: registers the
// classes and functions that the package velotz re-exports.
// Nothing else happens at import: numpy, the networks and the worker pool
// are all started on first use.
#include "elements/element.hpp"
#include "python/analysis_functions.hpp"
#include "python/batch_methods.hpp"
#include "python/circuit_type.hpp"
#include "python/compose.hpp"
#include "python/drt_function.hpp"
#include "python/element_types.hpp"
#include "python/fit_result.hpp"
#include "python/guard.hpp"
#include "python/pyref.hpp"
#include "python/state.hpp"
#include "python/user_elements.hpp"

namespace {

PyModuleDef velotz_module = {
    PyModuleDef_HEAD_INIT, "velotz._core", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;

bool add(PyObject* module, const char* name, PyObject* obj) {
    if (!obj) return false;
    if (PyModule_AddObject(module, name, obj) < 0) {
        Py_DECREF(obj);
        return false;
    }
    return true;
}

PyObject* init_module() {
    if (g_module) {
        Py_INCREF(g_module);
        return g_module;
    }
    using velotz::py::Ref;
    if (!velotz::py::note_main_thread()) return nullptr;
    Ref module(PyModule_Create(&velotz_module));
    if (!module) return nullptr;
    // Attributes in a fixed order: the classes, the two joining functions,
    // then the element variants.
    if (!add(module.get(), "Element", velotz::py::create_element_types())) return nullptr;
    if (!add(module.get(), "Circuit", velotz::py::create_circuit_type())) return nullptr;
    if (!add(module.get(), "FitResult", velotz::py::create_fit_result_type())) return nullptr;
    if (PyModule_AddFunctions(module.get(), velotz::py::compose_functions()) < 0) return nullptr;
    // Each variant class is bound under its code as the very object that is
    // the attribute of the same name on Element.
    PyObject* element = reinterpret_cast<PyObject*>(velotz::py::element_type());
    for (int k = 0; k < velotz::kKindCount; ++k) {
        const char* code = velotz::kind_info(k).code;
        if (!add(module.get(), code, PyObject_GetAttrString(element, code))) return nullptr;
    }
    // Private helpers after the public names: the analysis tools' entry
    // points, the reconstructors that pickles refer to, the batch fit and the DRT.
    if (PyModule_AddFunctions(module.get(), velotz::py::analysis_functions()) < 0) return nullptr;
    if (PyModule_AddFunctions(module.get(), velotz::py::state_functions()) < 0) return nullptr;
    if (PyModule_AddFunctions(module.get(), velotz::py::batch_functions()) < 0) return nullptr;
    if (PyModule_AddFunctions(module.get(), velotz::py::drt_functions()) < 0) return nullptr;
    if (PyModule_AddFunctions(module.get(), velotz::py::user_element_functions()) < 0) return nullptr;
    g_module = module.get();
    Py_INCREF(g_module);
    return module.release();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core() { return VELOTZ_GUARD(init_module)(); }
