#include "python/pyref.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "circuit/circuit.hpp"

#include "python/guard.hpp"

namespace velotz::py {

void raise_argument_error(const char* name, const std::string& message) {
    set_error(PyExc_TypeError, std::string("argument '") + name + "': " + message);
}

void prefix_pending_error(const char* name, bool keep_overflow) {
    // Running out of memory is not a fault of the argument: it stays as it is.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return;
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t(type), v(value), b(tb);
    std::string text;
    if (v) {
        Ref s(PyObject_Str(v.get()));
        if (s) {
            if (auto u = utf8_of(s.get())) text = *u;
        }
        PyErr_Clear();
    }
    PyObject* kind = PyExc_TypeError;
    if (keep_overflow && t && PyErr_GivenExceptionMatches(t.get(), PyExc_OverflowError)) {
        kind = PyExc_OverflowError;
    } else if (t && PyErr_GivenExceptionMatches(t.get(), PyExc_ValueError)) {
        kind = PyExc_ValueError;
    }
    set_error(kind, std::string("argument '") + name + "': " + text);
}

void append_to_pending_error(const std::string& tail) {
    PyObject* type = PyErr_Occurred();
    if (!type || (type != PyExc_TypeError && type != PyExc_ValueError)) return;
    PyObject *t = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &value, &tb);
    PyErr_NormalizeException(&t, &value, &tb);
    Ref kind(t), v(value), b(tb);
    std::string text;
    if (v) {
        Ref s(PyObject_Str(v.get()));
        if (!s) return;  // the failure of str() is pending instead
        auto u = utf8_of(s.get());
        if (!u) return;
        text = std::move(*u);
    }
    set_error(kind.get(), text + tail);
}

void suggest_keyword(PyObject* kwargs, const char* const* keywords) {
    if (!kwargs || !PyDict_Check(kwargs) || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
    std::vector<std::string> valid;
    for (const char* const* k = keywords; *k; ++k) valid.emplace_back(*k);
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) return;
        const char* name = PyUnicode_AsUTF8(key);
        if (!name) {
            PyErr_Clear();
            return;
        }
        if (std::find(valid.begin(), valid.end(), name) != valid.end()) continue;
        // Among equally close names, one of the same length first: a swap
        // of two letters (weigth) costs two edits, as does an extra one.
        const std::size_t length = std::strlen(name);
        std::stable_partition(valid.begin(), valid.end(), [&](const std::string& v) { return v.size() == length; });
        if (auto closest = closest_param_name(name, valid)) {
            append_to_pending_error("; did you mean '" + *closest + "'?");
        }
        return;
    }
}

void explain_split_impedances(PyObject* impedances) {
    if (!impedances || !(PyTuple_Check(impedances) || PyList_Check(impedances)) || PySequence_Size(impedances) != 2)
        return;
    for (Py_ssize_t k = 0; k < 2; ++k) {
        PyObject* part = PySequence_Fast_GET_ITEM(impedances, k);
        if (PyUnicode_Check(part) || PyBytes_Check(part) || !PySequence_Check(part)) return;
    }
    append_to_pending_error(
        "; impedances holds two sequences, as if real and imaginary parts were passed apart: pass one "
        "complex sequence, for example zr + 1j*zi");
}

std::string type_name(PyObject* obj) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    if (name) {
        if (auto u = utf8_of(name.get())) return *u;
    }
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
}

std::optional<std::string> utf8_of(PyObject* str) {
    Ref bytes(PyUnicode_AsEncodedString(str, "utf-8", "replace"));
    if (!bytes) return std::nullopt;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return std::nullopt;
    return std::string(data, static_cast<std::size_t>(size));
}

namespace {

// A one-dimensional buffer of native float64 or float32 values (numpy
// arrays among them) is read directly: item by item the float conversion
// would give the same numbers, at the cost of one temporary object each.
bool read_float_buffer(PyObject* obj, std::vector<double>& out) {
    if (!PyObject_CheckBuffer(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_FORMAT | PyBUF_STRIDES) < 0) {
        PyErr_Clear();
        return false;
    }
    bool ok = false;
    const std::string format = view.format ? view.format : "B";
    const bool f64 = format == "d" || format == "<d" || format == "=d" || format == "@d";
    const bool f32 = format == "f" || format == "<f" || format == "=f" || format == "@f";
    if (view.ndim == 1 && (f64 || f32) && view.itemsize == (f64 ? 8 : 4)) {
        const Py_ssize_t n = view.shape[0];
        const Py_ssize_t stride = view.strides ? view.strides[0] : view.itemsize;
        const char* base = static_cast<const char*>(view.buf);
        if (f64 && stride == 8 && reinterpret_cast<std::uintptr_t>(base) % alignof(double) == 0) {
            // Contiguous aligned doubles: one copy, no zero-filling first.
            const double* first = reinterpret_cast<const double*>(base);
            out.assign(first, first + n);
            PyBuffer_Release(&view);
            return true;
        }
        out.resize(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            const char* item = base + i * stride;
            if (f64) {
                double v;
                std::memcpy(&v, item, sizeof v);
                out[static_cast<std::size_t>(i)] = v;
            } else {
                float v;
                std::memcpy(&v, item, sizeof v);
                out[static_cast<std::size_t>(i)] = static_cast<double>(v);
            }
        }
        ok = true;
    }
    PyBuffer_Release(&view);
    return ok;
}

}  // namespace

// numpy's masked arrays (and subclasses) export their raw data through the
// buffer protocol, masked entries included; they are read item by item, where
// a masked entry converts to NaN.
bool is_masked_array(PyObject* obj) {
    PyObject* mro = Py_TYPE(obj)->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        const char* name = t->tp_name;
        if (std::strcmp(name, "MaskedArray") == 0 || std::strcmp(name, "numpy.ma.core.MaskedArray") == 0) return true;
    }
    return false;
}


Ref sequence_iterator(PyObject* obj, std::size_t* hint) {
    *hint = 0;
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return Ref();
    }
    if (!PySequence_Check(obj)) {
        set_error(PyExc_TypeError, "'" + type_name(obj) + "' object cannot be converted to 'Sequence'");
        return Ref();
    }
    // The reported length only sizes the result; a failure to read it is ignored.
    Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) {
        PyErr_Clear();
    } else {
        *hint = static_cast<std::size_t>(size);
    }
    return Ref(PyObject_GetIter(obj));
}

std::optional<std::vector<double>> floats_from_sequence(PyObject* obj) {
    std::vector<double> out;
    if (!PyUnicode_Check(obj) && PySequence_Check(obj) && !is_masked_array(obj) && read_float_buffer(obj, out))
        return out;
    std::size_t hint = 0;
    Ref it = sequence_iterator(obj, &hint);
    if (!it) return std::nullopt;
    if (!reserve_from_hint(out, hint)) return std::nullopt;
    while (Ref item = Ref(PyIter_Next(it.get()))) {
        double v = PyFloat_AsDouble(item.get());
        if (v == -1.0 && PyErr_Occurred()) return std::nullopt;
        out.push_back(v);
    }
    if (PyErr_Occurred()) return std::nullopt;
    return out;
}

PyObject* list_of_floats(const std::vector<double>& v) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* f = PyFloat_FromDouble(v[i]);
        if (!f) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
    }
    return list.release();
}

PyObject* list_of_complex(const std::vector<Cx>& v) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* z = PyComplex_FromDoubles(v[i].re, v[i].im);
        if (!z) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), z);
    }
    return list.release();
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref v(value);
    return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

PyObject* list_of_strings(const std::vector<std::string>& v) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* s = PyUnicode_FromStringAndSize(v[i].data(), static_cast<Py_ssize_t>(v[i].size()));
        if (!s) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    return list.release();
}

}  // namespace velotz::py
