#pragma once
// The element classes: the base class `Element` and one subclass per element
// variant (Element.R, Element.Cpe, ...), each wrapping one immutable element
// value with explicit field values.
#include "elements/element.hpp"
#include "python/pyref.hpp"

namespace velotz::py {

// What every element object holds: one element value, never changed after
// the constructor.
struct ElementObject {
    PyObject_HEAD
    Element value;
};

// Creates the base class and the fourteen variant classes (once per
// process), registers each variant as a class attribute of the base under
// its canonical code, and returns a new reference to the base class, or null
// with an exception set.
PyObject* create_element_types();

PyTypeObject* element_type();  // null before create_element_types succeeded

// True for instances of `Element` and of its variant classes.
bool is_element(PyObject* obj);

// Copies the element value out of an element object. Returns false, without
// raising, when `obj` is not an element object.
bool element_value(PyObject* obj, Element& out);

}  // namespace velotz::py
