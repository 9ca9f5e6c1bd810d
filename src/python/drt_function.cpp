// _drt: the compiled part of velotz.drt (velotz/_drt.py). The spectrum and
// options are converted with the interpreter lock held; the DRT is computed
// with it released. The solver polls for Ctrl-C by briefly re-taking the
// lock every 20 ms.
#include "python/drt_function.hpp"

#include <chrono>
#include <string>

#include "analysis/analysis.hpp"
#include "python/data_input.hpp"
#include "python/guard.hpp"

namespace velotz::py {
namespace {

// _drt(frequencies, impedances, lam, derivative, part, weighting, inductance,
//      shape, max_centres, gcv_rho, correlated_residuals, correlated_lambda_max,
//      gcv_grid_step, gcv_steps, gcv_robust, gcv_robust_decades) -> dict
PyObject* py_drt(PyObject*, PyObject* args) {
    PyObject *frequencies = nullptr, *impedances = Py_None, *lam = Py_None;
    int derivative = 1, inductance = 1;
    const char *part = "both", *weighting = "modulus";
    double shape = 0.5;
    Py_ssize_t max_centres = 400;
    double gcv_rho = 1.0;
    int correlated = 0;
    DrtOptions options;
    double lambda_max = options.correlated_lambda_max, grid_step = options.gcv_grid_step;
    Py_ssize_t gcv_steps = static_cast<Py_ssize_t>(options.gcv_steps);
    double gcv_robust = options.gcv_robust, gcv_robust_decades = options.gcv_robust_decades;
    if (!PyArg_ParseTuple(args, "OOOisspdnd|pddndd:_drt", &frequencies, &impedances, &lam, &derivative, &part,
                          &weighting, &inductance, &shape, &max_centres, &gcv_rho, &correlated, &lambda_max,
                          &grid_step, &gcv_steps, &gcv_robust, &gcv_robust_decades))
        return nullptr;
    if (gcv_steps < 0 || gcv_steps > 100) return raise(PyExc_ValueError, "gcv_steps must be 0 ... 100");
    options.correlated_lambda_max = lambda_max;
    options.gcv_grid_step = grid_step;
    options.gcv_steps = static_cast<std::size_t>(gcv_steps);
    if (lam != Py_None) {
        const double value = PyFloat_AsDouble(lam);
        if (value == -1.0 && PyErr_Occurred()) return nullptr;
        options.lambda = value;
    }
    options.derivative = derivative;
    const std::string p = part, w = weighting;
    if (p == "both") options.part = DrtPart::Both;
    else if (p == "real") options.part = DrtPart::Real;
    else if (p == "imag") options.part = DrtPart::Imag;
    else return raise(PyExc_ValueError, "part must be \"both\", \"real\" or \"imag\", not \"" + p + "\"");
    if (w == "modulus") options.weighting = DrtWeighting::Modulus;
    else if (w == "unit") options.weighting = DrtWeighting::Unit;
    else return raise(PyExc_ValueError, "weighting must be \"modulus\" or \"unit\", not \"" + w + "\"");
    options.inductance = inductance != 0;
    options.shape = shape;
    options.gcv_rho = gcv_rho;
    options.gcv_robust = gcv_robust;
    options.gcv_robust_decades = gcv_robust_decades;
    options.correlated_residuals = correlated != 0;
    if (max_centres < 3) return raise(PyExc_ValueError, "max_centres must be at least 3");
    options.max_centres = static_cast<std::size_t>(max_centres);

    Spectrum s;
    if (!spectrum(frequencies, impedances, s)) return nullptr;

    // On the main thread (the one signal handlers run on), re-takes the lock
    // at most every 20 ms to let a pending Ctrl-C through; the exception it
    // raises stays set until the call returns. run_signal_handlers also runs
    // them on PyPy, where PyErr_CheckSignals alone does not.
    using Clock = std::chrono::steady_clock;
    auto last = Clock::now();
    bool interrupted = false;
    const bool poll = receives_signals();
    const std::function<bool()> stop = [&]() -> bool {
        if (interrupted) return true;
        if (!poll) return false;
        const auto now = Clock::now();
        if (now - last < std::chrono::milliseconds(20)) return false;
        last = now;
        PyGILState_STATE state = PyGILState_Ensure();
        interrupted = !run_signal_handlers();
        PyGILState_Release(state);
        return interrupted;
    };
    auto r = without_gil([&] { return drt(s.frequencies, s.impedances, options, stop); });
    if (interrupted || PyErr_Occurred()) return nullptr;
    if (!r) return raise(PyExc_ValueError, r.error());

    Ref out(PyDict_New());
    if (!out) return nullptr;
    PyObject* d = out.get();
    if (!set_item(d, "frequencies", list_of_floats(s.frequencies)) || !set_item(d, "impedances", list_of_complex(s.impedances)) ||
        !set_item(d, "tau", list_of_floats(r->tau)) || !set_item(d, "gamma", list_of_floats(r->gamma)) ||
        !set_item(d, "centres", list_of_floats(r->centres)) || !set_item(d, "coefficients", list_of_floats(r->coefficients)) ||
        !set_item(d, "epsilon", PyFloat_FromDouble(r->epsilon)) || !set_item(d, "r_inf", PyFloat_FromDouble(r->r_inf)) ||
        !set_item(d, "inductance", PyFloat_FromDouble(r->inductance)) || !set_item(d, "lam", PyFloat_FromDouble(r->lambda)) ||
        !set_item(d, "gcv_lambdas", list_of_floats(r->gcv_lambdas)) ||
        !set_item(d, "gcv_scores", list_of_floats(r->gcv_scores)) ||
        !set_item(d, "lam_gcv", PyFloat_FromDouble(r->lambda_gcv)) ||
        !set_item(d, "residual_correlation", PyFloat_FromDouble(r->residual_correlation)) ||
        !set_item(d, "z_fit", list_of_complex(r->z_fit)))
        return nullptr;
    return out.release();
}

PyMethodDef g_functions[] = {
    {"_drt", VELOTZ_GUARD_METH(py_drt), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* drt_functions() { return g_functions; }

}  // namespace velotz::py
