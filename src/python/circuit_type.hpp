#pragma once
#include <memory>

#include "circuit/circuit.hpp"
#include "python/pyref.hpp"

namespace velotz::py {

// What a Circuit object holds: an immutable tree (shared between objects
// that have the same values) and whether the caller supplied the values.
struct CircuitObject {
    PyObject_HEAD
    std::shared_ptr<const NodeList>* tree;
    bool values_given;
};

PyTypeObject* circuit_type();  // null before the module has created it
PyObject* create_circuit_type();

bool is_circuit(PyObject* obj);
inline const NodeList& circuit_tree(PyObject* obj) { return **reinterpret_cast<CircuitObject*>(obj)->tree; }
inline bool circuit_values_given(PyObject* obj) { return reinterpret_cast<CircuitObject*>(obj)->values_given; }

// A new Circuit object owning `tree`.
PyObject* make_circuit(std::shared_ptr<const NodeList> tree, bool values_given);
PyObject* make_circuit(NodeList tree, bool values_given);

}  // namespace velotz::py
