// _define_element: checks and compiles a user element (elements/user_formula.hpp)
// and adds it to the registry that circuit texts look codes up in.
#include "python/user_elements.hpp"

#include <string>
#include <utility>
#include <vector>

#include "elements/user_formula.hpp"
#include "python/guard.hpp"
#include "python/pyref.hpp"

namespace velotz::py {
namespace {

bool read_strings(PyObject* seq, const char* what, std::vector<std::string>& out) {
    if (seq == Py_None) return true;
    PyObject* list = PySequence_Fast(seq, what);
    if (!list) return false;
    Ref owner(list);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(list, i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "%s must hold strings, not %.100s", what, Py_TYPE(item)->tp_name);
            return false;
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        if (!utf8) return false;
        out.emplace_back(utf8, static_cast<std::size_t>(size));
    }
    return true;
}

// A sequence of floats, or nothing for None (the element's own defaults).
bool read_doubles(PyObject* seq, std::vector<double>& out) {
    if (seq == Py_None) return true;
    auto values = floats_from_sequence(seq);
    if (!values) return false;
    out = std::move(*values);
    return true;
}

// _define_element(code, fields, formula, units, defaults, lower, upper) -> int
// (units, defaults, lower, upper: sequences or None).
PyObject* py_define_element(PyObject*, PyObject* args) {
    const char *code = nullptr, *formula = nullptr;
    PyObject *fields = nullptr, *units = nullptr, *defaults = nullptr, *lower = nullptr, *upper = nullptr;
    if (!PyArg_ParseTuple(args, "sOsOOOO:_define_element", &code, &fields, &formula, &units, &defaults, &lower,
                          &upper))
        return nullptr;
    std::vector<std::string> field_names, unit_names;
    std::vector<double> default_values, lo, hi;
    if (!read_strings(fields, "fields", field_names) || !read_strings(units, "units", unit_names) ||
        !read_doubles(defaults, default_values) || !read_doubles(lower, lo) || !read_doubles(upper, hi))
        return nullptr;
    try {
        user::UserKind kind = user::make_user_kind(code, std::move(field_names), formula, std::move(unit_names),
                                                   std::move(default_values), std::move(lo), std::move(hi));
        const std::size_t index = user::Registry::instance().define(std::move(kind));
        return PyLong_FromSize_t(index);
    } catch (const user::FormulaError& e) {
        std::string message = e.what();
        if (e.column() != static_cast<std::size_t>(-1)) message += ":\n" + user::caret_lines(formula, e.column());
        return raise(PyExc_ValueError, message);
    }
}

PyMethodDef functions[] = {
    {"_define_element", VELOTZ_GUARD_METH(py_define_element), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* user_element_functions() { return functions; }

}  // namespace velotz::py
