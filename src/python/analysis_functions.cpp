// _spectrum, _kramers_kronig, _kk_auto and _structure: the compiled parts of the
// analysis tools written in Python (velotz/_analysis.py). Arguments are
// converted first; the numerical work runs with the interpreter lock released.
#include <memory>
#include <string>

#include "analysis/analysis.hpp"
#include "python/analysis_functions.hpp"
#include "python/circuit_type.hpp"
#include "python/data_input.hpp"
#include "python/guard.hpp"

namespace velotz::py {
namespace {

PyObject* spectrum_tuple(const Spectrum& s) {
    Ref f(list_of_floats(s.frequencies));
    if (!f) return nullptr;
    Ref z(list_of_complex(s.impedances));
    if (!z) return nullptr;
    return PyTuple_Pack(2, f.get(), z.get());
}

// _spectrum(frequencies, impedances=None) -> (list of float, list of complex)
PyObject* py_spectrum(PyObject*, PyObject* args) {
    PyObject *frequencies = nullptr, *impedances = Py_None;
    if (!PyArg_ParseTuple(args, "O|O:_spectrum", &frequencies, &impedances)) return nullptr;
    Spectrum s;
    if (!spectrum(frequencies, impedances, s)) return nullptr;
    return spectrum_tuple(s);
}

// _floats(sequence) -> list of float, converted as every numeric argument
// is (a sequence whose length cannot be held in memory is a MemoryError
// rather than an endless loop).
PyObject* py_floats(PyObject*, PyObject* seq) {
    auto values = floats_from_sequence(seq);
    if (!values) {
        prefix_pending_error("frequencies");
        return nullptr;
    }
    return list_of_floats(*values);
}

PyObject* list_of_indices(const std::vector<std::size_t>& v) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* item = PyLong_FromSize_t(v[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* list_of_ranges(const std::vector<std::pair<double, double>>& v) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* item = Py_BuildValue("(dd)", v[i].first, v[i].second);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// The noise level, outliers and deviating stretches of a fit's residuals.
bool set_verdict(PyObject* d, double noise, const std::vector<std::size_t>& outliers,
                 const std::vector<std::pair<double, double>>& systematic) {
    return set_item(d, "noise", PyFloat_FromDouble(noise)) && set_item(d, "outliers", list_of_indices(outliers)) &&
           set_item(d, "systematic", list_of_ranges(systematic));
}

// The items both Kramers-Kronig tests return: the spectrum as converted and
// the fitted test circuit (the basic and the automatic result share these
// field names).
template <class Result>
bool set_test_circuit(PyObject* d, const Spectrum& s, const Result& r) {
    return set_item(d, "frequencies", list_of_floats(s.frequencies)) &&
           set_item(d, "impedances", list_of_complex(s.impedances)) &&
           set_item(d, "m", PyLong_FromSize_t(r.m)) && set_item(d, "mu", PyFloat_FromDouble(r.mu)) &&
           set_item(d, "r_ohm", PyFloat_FromDouble(r.r_ohm)) && set_item(d, "taus", list_of_floats(r.taus)) &&
           set_item(d, "resistances", list_of_floats(r.resistances)) &&
           set_item(d, "inductance", PyFloat_FromDouble(r.inductance)) &&
           set_item(d, "inverse_capacitance", PyFloat_FromDouble(r.inverse_capacitance)) &&
           set_item(d, "z_fit", list_of_complex(r.z_fit));
}


// _kramers_kronig(frequencies, impedances, c, max_m, add_capacitance,
//                 add_inductance, fit_type, tolerance=0.01) -> dict, with the
// noise level and the points and stretches whose residuals stand out from it
PyObject* py_kramers_kronig(PyObject*, PyObject* args) {
    PyObject *frequencies = nullptr, *impedances = Py_None, *c = Py_None;
    Py_ssize_t max_m = 50;
    int add_capacitance = 0, add_inductance = 1;
    const char* fit_type = "real";
    double tolerance = 0.01;
    if (!PyArg_ParseTuple(args, "OOOnpps|d:_kramers_kronig", &frequencies, &impedances, &c, &max_m,
                          &add_capacitance, &add_inductance, &fit_type, &tolerance))
        return nullptr;
    KkOptions options;
    if (c == Py_None) {
        options.c.reset();
    } else {
        const double value = PyFloat_AsDouble(c);
        if (value == -1.0 && PyErr_Occurred()) return nullptr;
        options.c = value;
    }
    if (max_m < 1) {
        PyErr_SetString(PyExc_ValueError, "max_m must be at least 1");
        return nullptr;
    }
    options.max_m = static_cast<std::size_t>(max_m);
    options.add_capacitance = add_capacitance != 0;
    options.add_inductance = add_inductance != 0;
    const std::string type = fit_type;
    if (type == "real") options.fit_type = KkFitType::Real;
    else if (type == "imag") options.fit_type = KkFitType::Imag;
    else if (type == "complex") options.fit_type = KkFitType::Complex;
    else {
        PyErr_SetString(PyExc_ValueError, "fit_type must be \"real\", \"imag\" or \"complex\"");
        return nullptr;
    }
    Spectrum s;
    if (!spectrum(frequencies, impedances, s)) return nullptr;

    KkVerdict verdict;
    auto r = without_gil_interruptible([&] {
        auto fit = kramers_kronig(s.frequencies, s.impedances, options);
        if (fit) {
            std::vector<Cx> residuals(fit->residuals_real.size());
            for (std::size_t i = 0; i < residuals.size(); ++i)
                residuals[i] = {fit->residuals_real[i], fit->residuals_imag[i]};
            verdict = kk_verdict(s.frequencies, residuals, tolerance);
        }
        return fit;
    });
    if (!r) {
        set_error(PyExc_ValueError, r.error());
        return nullptr;
    }
    Ref out(PyDict_New());
    if (!out) return nullptr;
    PyObject* d = out.get();
    if (!set_test_circuit(d, s, *r) ||
        !set_item(d, "residuals_real", list_of_floats(r->residuals_real)) ||
        !set_item(d, "residuals_imag", list_of_floats(r->residuals_imag)) ||
        !set_verdict(d, verdict.noise, verdict.outliers, verdict.systematic))
        return nullptr;
    return out.release();
}

// _kk_auto(frequencies, impedances, max_m, add_capacitance, add_inductance,
//          tolerance) -> dict: the automatic test (kramers_kronig_auto)
PyObject* py_kk_auto(PyObject*, PyObject* args) {
    PyObject *frequencies = nullptr, *impedances = Py_None;
    Py_ssize_t max_m = 50;
    int add_capacitance = 1, add_inductance = 1;
    double tolerance = 0.01;
    if (!PyArg_ParseTuple(args, "OOnppd:_kk_auto", &frequencies, &impedances, &max_m, &add_capacitance,
                          &add_inductance, &tolerance))
        return nullptr;
    if (max_m < 1) {
        PyErr_SetString(PyExc_ValueError, "max_m must be at least 1");
        return nullptr;
    }
    KkAutoOptions options;
    options.max_m = static_cast<std::size_t>(max_m);
    options.add_capacitance = add_capacitance != 0;
    options.add_inductance = add_inductance != 0;
    options.tolerance = tolerance;
    Spectrum s;
    if (!spectrum(frequencies, impedances, s)) return nullptr;

    auto r = without_gil_interruptible([&] { return kramers_kronig_auto(s.frequencies, s.impedances, options); });
    if (!r) {
        set_error(PyExc_ValueError, r.error());
        return nullptr;
    }
    Ref out(PyDict_New());
    if (!out) return nullptr;
    PyObject* d = out.get();
    if (!set_test_circuit(d, s, *r) ||
        !set_item(d, "residuals", list_of_complex(r->residuals)) ||
        !set_item(d, "scores", list_of_floats(r->scores)) ||
        !set_item(d, "rounds", PyLong_FromSize_t(r->rounds)) ||
        !set_verdict(d, r->noise, r->outliers, r->systematic))
        return nullptr;
    return out.release();
}

// _structure(circuit, frequencies, negligible) ->
//   ([(in_parallel, first_param, param_count, max_share), ...],
//    [((param index, ...), tau), ...])
PyObject* py_structure(PyObject*, PyObject* args) {
    PyObject *circuit = nullptr, *frequencies = nullptr;
    double negligible = 1e-3;
    if (!PyArg_ParseTuple(args, "OOd:_structure", &circuit, &frequencies, &negligible)) return nullptr;
    if (!is_circuit(circuit)) {
        raise_argument_error("circuit", "'" + type_name(circuit) + "' object cannot be converted to 'Circuit'");
        return nullptr;
    }
    auto freqs = floats_from_sequence(frequencies);
    if (!freqs) {
        prefix_pending_error("frequencies");
        return nullptr;
    }
    std::shared_ptr<const NodeList> tree = *reinterpret_cast<CircuitObject*>(circuit)->tree;
    std::vector<BranchShare> shares;
    std::vector<TimeConstant> times;
    without_gil([&] {
        shares = branch_shares(*tree, *freqs, negligible);
        times = time_constants(*tree);
    });
    Ref share_list(PyList_New(0));
    if (!share_list) return nullptr;
    for (const auto& s : shares) {
        Ref item(Py_BuildValue("(Onnd)", s.in_parallel ? Py_True : Py_False, static_cast<Py_ssize_t>(s.first_param),
                               static_cast<Py_ssize_t>(s.param_count), s.max_share));
        if (!item || PyList_Append(share_list.get(), item.get()) < 0) return nullptr;
    }
    Ref time_list(PyList_New(0));
    if (!time_list) return nullptr;
    for (const auto& t : times) {
        Ref idx(PyTuple_New(static_cast<Py_ssize_t>(t.params.size())));
        if (!idx) return nullptr;
        for (std::size_t i = 0; i < t.params.size(); ++i) {
            PyObject* v = PyLong_FromSize_t(t.params[i]);
            if (!v) return nullptr;
            PyTuple_SET_ITEM(idx.get(), static_cast<Py_ssize_t>(i), v);
        }
        Ref item(Py_BuildValue("(Od)", idx.get(), t.tau));
        if (!item || PyList_Append(time_list.get(), item.get()) < 0) return nullptr;
    }
    return PyTuple_Pack(2, share_list.get(), time_list.get());
}

PyMethodDef g_functions[] = {
    {"_spectrum", VELOTZ_GUARD_METH(py_spectrum), METH_VARARGS, nullptr},
    {"_kramers_kronig", VELOTZ_GUARD_METH(py_kramers_kronig), METH_VARARGS, nullptr},
    {"_kk_auto", VELOTZ_GUARD_METH(py_kk_auto), METH_VARARGS, nullptr},
    {"_structure", VELOTZ_GUARD_METH(py_structure), METH_VARARGS, nullptr},
    {"_floats", VELOTZ_GUARD_METH(py_floats), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* analysis_functions() { return g_functions; }

}  // namespace velotz::py
