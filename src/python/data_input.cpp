#include "python/data_input.hpp"

#include <cmath>
#include <cstring>
#include <string_view>

#include "util/text.hpp"

namespace velotz::py {
namespace {

// A one-dimensional buffer of native complex128 or float64 values (numpy
// arrays among them) is read directly: item by item, __complex__ gives the
// same parts (a real value with imaginary part +0.0).
bool read_complex_buffer(PyObject* obj, std::vector<Cx>& out) {
    if (!PyObject_CheckBuffer(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) || is_masked_array(obj)) {
        return false;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_FORMAT | PyBUF_STRIDES) < 0) {
        PyErr_Clear();
        return false;
    }
    std::string_view format = view.format ? view.format : "B";
    if (!format.empty() && (format[0] == '<' || format[0] == '=' || format[0] == '@')) format.remove_prefix(1);
    const bool c128 = format == "Zd" && view.itemsize == 16;
    const bool f64 = format == "d" && view.itemsize == 8;
    const bool ok = view.ndim == 1 && (c128 || f64);
    if (ok) {
        const Py_ssize_t n = view.shape[0];
        const Py_ssize_t stride = view.strides ? view.strides[0] : view.itemsize;
        const char* base = static_cast<const char*>(view.buf);
        out.resize(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            double parts[2] = {0.0, 0.0};
            std::memcpy(parts, base + i * stride, c128 ? 16 : 8);
            out[static_cast<std::size_t>(i)] = {parts[0], parts[1]};
        }
    }
    PyBuffer_Release(&view);
    return ok;
}

bool complex_from_sequence(PyObject* obj, std::vector<Cx>& out) {
    if (!PyUnicode_Check(obj) && PySequence_Check(obj) && read_complex_buffer(obj, out)) return true;
    std::size_t hint = 0;
    Ref it = sequence_iterator(obj, &hint);
    if (!it) return false;
    if (!reserve_from_hint(out, hint)) return false;
    while (Ref item = Ref(PyIter_Next(it.get()))) {
        Ref value = item;
        if (!PyComplex_Check(item.get())) {
            // Objects with __complex__ (numpy complex scalars among them) are
            // converted through it; anything else is read as a real number.
            Ref method(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(item.get())), "__complex__"));
            if (method) {
                value = Ref(PyObject_CallOneArg(method.get(), item.get()));
                if (!value) return false;
            } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
            } else {
                return false;
            }
        }
        double re = PyComplex_RealAsDouble(value.get());
        if (re == -1.0 && PyErr_Occurred()) return false;
        double im = PyComplex_ImagAsDouble(value.get());
        if (im == -1.0 && PyErr_Occurred()) return false;
        out.push_back({re, im});
    }
    return !PyErr_Occurred();
}

PyObject* lookup(PyObject* frame, const char* name) {
    Ref key(PyUnicode_FromString(name));
    if (!key) return nullptr;
    return PyObject_GetItem(frame, key.get());
}

}  // namespace

std::string pair_label(const ColumnPair& pair) {
    return quote(pair.primary) + " or " + quote(pair.alternative);
}

ColumnStatus column(PyObject* frame, const ColumnPair& pair, std::vector<double>& out) {
    const char* found_name = pair.primary;
    Ref found(lookup(frame, pair.primary));
    if (!found) {
        PyErr_Clear();
        found_name = pair.alternative;
        found = Ref(lookup(frame, pair.alternative));
        if (!found) {
            PyErr_Clear();
            return ColumnStatus::Absent;
        }
    }
    auto values = floats_from_sequence(found.get());
    if (!values) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return ColumnStatus::Error;
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "column %s is not numeric", quote(found_name).c_str());
        return ColumnStatus::Error;
    }
    out = std::move(*values);
    return ColumnStatus::Found;
}

bool spectrum(PyObject* frequencies, PyObject* impedances, Spectrum& out) {
    if (impedances && impedances != Py_None) {
        auto f = floats_from_sequence(frequencies);
        if (!f) return false;
        std::vector<Cx> z;
        if (!complex_from_sequence(impedances, z)) return false;
        if (f->size() != z.size()) {
            PyErr_SetString(PyExc_ValueError, "frequencies and impedances must have the same length");
            return false;
        }
        out.frequencies = std::move(*f);
        out.impedances = std::move(z);
        return true;
    }

    PyObject* frame = frequencies;
    std::vector<double> freq, re, im, mod, phase;
    ColumnStatus s_freq = column(frame, kFrequencyColumn, freq);
    if (s_freq == ColumnStatus::Error) return false;
    if (s_freq == ColumnStatus::Absent) {
        PyErr_Format(PyExc_ValueError,
                     "expected a dataframe with a %s column, or frequencies and impedances as two arguments",
                     pair_label(kFrequencyColumn).c_str());
        return false;
    }
    ColumnStatus s_re = column(frame, kRealColumn, re);
    if (s_re == ColumnStatus::Error) return false;
    ColumnStatus s_im = column(frame, kImagColumn, im);
    if (s_im == ColumnStatus::Error) return false;
    ColumnStatus s_mod = column(frame, kModulusColumn, mod);
    if (s_mod == ColumnStatus::Error) return false;
    ColumnStatus s_phase = column(frame, kPhaseColumn, phase);
    if (s_phase == ColumnStatus::Error) return false;

    std::vector<Cx> z;
    const ColumnPair* first = nullptr;
    const ColumnPair* second = nullptr;
    if (s_re == ColumnStatus::Found && s_im == ColumnStatus::Found) {
        if (re.size() != im.size()) {
            PyErr_SetString(PyExc_ValueError, "real and imaginary impedance columns must have the same length");
            return false;
        }
        z.resize(re.size());
        for (std::size_t i = 0; i < re.size(); ++i) z[i] = {re[i], im[i]};
        first = &kRealColumn;
        second = &kImagColumn;
    } else if (s_mod == ColumnStatus::Found && s_phase == ColumnStatus::Found) {
        if (mod.size() != phase.size()) {
            PyErr_SetString(PyExc_ValueError, "absolute impedance and phase columns must have the same length");
            return false;
        }
        z.resize(mod.size());
        for (std::size_t i = 0; i < mod.size(); ++i) {
            const double theta = phase[i] * 0.017453292519943295;
            z[i] = {mod[i] * std::cos(theta), mod[i] * std::sin(theta)};
        }
        first = &kModulusColumn;
        second = &kPhaseColumn;
    } else {
        PyErr_Format(PyExc_ValueError, "no impedance columns: expected %s together with %s, or %s together with %s",
                     pair_label(kRealColumn).c_str(), pair_label(kImagColumn).c_str(),
                     pair_label(kModulusColumn).c_str(), pair_label(kPhaseColumn).c_str());
        return false;
    }
    if (z.size() != freq.size()) {
        PyErr_Format(PyExc_ValueError, "frequency column has %zu rows but %s and %s have %zu", freq.size(),
                     pair_label(*first).c_str(), pair_label(*second).c_str(), z.size());
        return false;
    }
    out.frequencies.clear();
    out.impedances.clear();
    for (std::size_t i = 0; i < freq.size(); ++i) {
        if (freq[i] > 0.0) {
            out.frequencies.push_back(freq[i]);
            out.impedances.push_back(z[i]);
        }
    }
    if (out.frequencies.empty()) {
        PyErr_Format(PyExc_ValueError, "no measured points: every row of the %s column is zero or negative",
                     pair_label(kFrequencyColumn).c_str());
        return false;
    }
    return true;
}

}  // namespace velotz::py
