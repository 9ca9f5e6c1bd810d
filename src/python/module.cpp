// Module initialisation: registers the classes and functions of velotz.
// Nothing else happens at import: numpy, the networks and the worker pool
// are all started on first use.
#include "python/circuit_type.hpp"
#include "python/pyref.hpp"

namespace {

PyModuleDef velotz_module = {
    PyModuleDef_HEAD_INIT, "velotz", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
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

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_velotz() {
    if (g_module) {
        Py_INCREF(g_module);
        return g_module;
    }
    using velotz::py::Ref;
    Ref module(PyModule_Create(&velotz_module));
    if (!module) return nullptr;
    if (!add(module.get(), "Circuit", velotz::py::create_circuit_type())) return nullptr;
    g_module = module.get();
    Py_INCREF(g_module);
    return module.release();
}
