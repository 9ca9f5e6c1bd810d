#pragma once
#include <memory>

#include "circuit/circuit.hpp"
#include "circuit/param_mask.hpp"
#include "python/pyref.hpp"

namespace velotz::py {

// What a Circuit object holds: an immutable tree (shared between objects
// that have the same values), whether the caller supplied the values, and
// the parameters' constraints (fixed values, custom bounds; null when there
// are none).
struct CircuitObject {
    PyObject_HEAD
    std::shared_ptr<const NodeList>* tree;
    bool values_given;
    std::shared_ptr<const ParamMask>* mask;
};

PyTypeObject* circuit_type();  // null before the module has created it
PyObject* create_circuit_type();

bool is_circuit(PyObject* obj);
inline const NodeList& circuit_tree(PyObject* obj) { return **reinterpret_cast<CircuitObject*>(obj)->tree; }
inline bool circuit_values_given(PyObject* obj) { return reinterpret_cast<CircuitObject*>(obj)->values_given; }
inline const std::shared_ptr<const ParamMask>& circuit_mask(PyObject* obj) {
    return *reinterpret_cast<CircuitObject*>(obj)->mask;
}

// A new Circuit object owning `tree`, with the constraints `mask` (checked by
// the caller; a mask that constrains nothing is dropped).
PyObject* make_circuit(std::shared_ptr<const NodeList> tree, bool values_given,
                       std::shared_ptr<const ParamMask> mask = nullptr);
PyObject* make_circuit(NodeList tree, bool values_given, std::shared_ptr<const ParamMask> mask = nullptr);

}  // namespace velotz::py
