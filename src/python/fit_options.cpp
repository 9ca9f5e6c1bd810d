// Conversions of the fit options, shared by Circuit.fit and the batch fit.
#include "python/fit_options.hpp"

#include "python/paths.hpp"

#include <cstring>


namespace velotz::py {

// Unsigned 64-bit integer (anything with __index__); absent argument keeps
// the default.
bool convert_u64(PyObject* obj, const char* name, std::uint64_t& out) {
    if (!obj) return true;
    Ref index(PyNumber_Index(obj));
    if (index) {
        const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
        if (!(v == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            out = v;
            return true;
        }
    }
    prefix_pending_error(name, /*keep_overflow=*/true);
    return false;
}

bool convert_size(PyObject* obj, const char* name, std::size_t& out) {
    static_assert(sizeof(std::size_t) <= sizeof(std::uint64_t));
    if (!obj) return true;
    std::uint64_t v = out;
    if (!convert_u64(obj, name, v)) return false;
    if (v > static_cast<std::uint64_t>(SIZE_MAX)) {
        raise_argument_error(name, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::size_t>(v);
    return true;
}

bool convert_f64(PyObject* obj, const char* name, double& out) {
    if (!obj) return true;
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        prefix_pending_error(name, /*keep_overflow=*/true);
        return false;
    }
    out = v;
    return true;
}

bool convert_str(PyObject* obj, const char* name, std::string& out) {
    if (!obj) return true;
    if (!PyUnicode_Check(obj)) {
        raise_argument_error(name, "'" + type_name(obj) + "' object cannot be converted to 'str'");
        return false;
    }
    auto text = utf8_of(obj);
    if (!text) return false;
    out = std::move(*text);
    return true;
}

// None, True or False; numpy's boolean scalar counts as a bool.
bool convert_optional_bool(PyObject* obj, const char* name, std::optional<bool>& out) {
    if (!obj || obj == Py_None) return true;
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    const char* tp = Py_TYPE(obj)->tp_name;
    if (std::strcmp(tp, "numpy.bool_") == 0 || std::strcmp(tp, "numpy.bool") == 0) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    raise_argument_error(name, "'" + type_name(obj) + "' object cannot be converted to 'bool'");
    return false;
}

bool convert_optional_u64(PyObject* obj, const char* name, std::optional<std::uint64_t>& out) {
    if (!obj || obj == Py_None) return true;
    std::uint64_t v = 0;
    if (!convert_u64(obj, name, v)) return false;
    out = v;
    return true;
}

bool convert_fit_options(const FitOptionArgs& a, FitRequest& request, std::optional<bool>& guess_init,
                         std::optional<std::string>& weights_path, std::string& weight_text) {
    return convert_optional_bool(a.guess_init, "guess_init", guess_init) &&
           optional_path(a.weights, "weights", weights_path) && convert_str(a.weight, "weight", weight_text) &&
           convert_str(a.method, "method", request.method) &&
           convert_size(a.max_iterations, "max_iterations", request.max_iterations) &&
           convert_f64(a.ftol, "ftol", request.ftol) && convert_f64(a.xtol, "xtol", request.xtol) &&
           convert_size(a.num_particles, "num_particles", request.num_particles) &&
           convert_u64(a.generations, "generations", request.generations) &&
           convert_u64(a.nelder_mead_iterations, "nelder_mead_iterations", request.nelder_mead_iterations) &&
           convert_size(a.de_evaluations, "de_evaluations", request.de_evaluations) &&
           convert_u64(a.sa_iterations, "sa_iterations", request.sa_iterations) &&
           convert_f64(a.sa_initial_temperature, "sa_initial_temperature", request.sa_initial_temperature) &&
           convert_size(a.basin_hopping_hops, "basin_hopping_hops", request.basin_hopping_hops) &&
           convert_f64(a.basin_hopping_step_size, "basin_hopping_step_size", request.basin_hopping_step_size) &&
           convert_f64(a.basin_hopping_temperature, "basin_hopping_temperature",
                       request.basin_hopping_temperature) &&
           convert_optional_u64(a.seed, "seed", request.seed);
}

}  // namespace velotz::py
