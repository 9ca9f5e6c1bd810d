// The private entry point of the batch fit, velotz._core._fit_batch: one
// circuit fitted to many spectra with every option of Circuit.fit. The
// spectra are converted first, with the interpreter lock held; the fits then
// run on the worker pool, one task per spectrum, with the lock released for
// the whole batch. The calling thread takes part in the work and, between
// its own spectra, briefly re-takes the lock to report progress and to
// notice Ctrl-C (a stop then lets running spectra finish and starts no new
// ones).
#include "python/batch_methods.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fit/batch.hpp"
#include "start/start.hpp"
#include "python/circuit_type.hpp"
#include "python/data_input.hpp"
#include "python/fit_options.hpp"
#include "python/fit_result.hpp"
#include "python/guard.hpp"
#include "python/paths.hpp"

namespace velotz::py {
namespace {

// The pending exception as an instance (its traceback attached), clearing it.
Ref take_exception() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref(value);
}

Ref value_error(const std::string& text) {
    Ref message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!message) return {};
    return Ref(PyObject_CallFunctionObjArgs(PyExc_ValueError, message.get(), nullptr));
}

// The items of a sequence as a new tuple (a list's items are copied).
Ref own_items(PyObject* seq, const char* message) {
    Ref fast(PySequence_Fast(seq, message));
    if (!fast) return {};
    return Ref(PySequence_Tuple(fast.get()));
}

// One item of `spectra`: a (frequencies, impedances) pair as a tuple or list
// of two, or a dataframe. Returns false with the exception set.
bool convert_item(PyObject* item, Spectrum& out) {
    if ((PyTuple_Check(item) || PyList_Check(item)) && PySequence_Size(item) == 2) {
        Ref f(PySequence_GetItem(item, 0));
        Ref z(PySequence_GetItem(item, 1));
        if (!f || !z) return false;
        // As fit() reads them: numpy float64/complex128 arrays straight from
        // their buffer, masked arrays and everything else item by item.
        if (spectrum(f.get(), z.get(), out)) return true;
        explain_split_impedances(z.get());
        return false;
    }
    return spectrum(item, nullptr, out);
}

// Owns the interpreter lock of the calling thread while the batch runs:
// release() gives it up for the fits, poll() re-takes it briefly between two
// of the caller's own spectra (checks for signals, Ctrl-C, at most every
// 20 ms and calls the progress callback at most every `interval` seconds; an
// exception from either stops the batch and is kept for re-raising).
//
// It knows whether it holds the lock, so however the batch ends (normally,
// or by a C++ exception from a task, rethrown on the calling thread) the lock
// is taken back exactly once: by acquire(), or at the latest by the
// destructor while the exception unwinds towards the guard, which needs the
// lock to set the Python exception.
class Supervisor {
public:
    Supervisor(PyObject* progress, double interval, std::size_t total)
        : progress_(progress), interval_(interval), total_(total) {}
    Supervisor(const Supervisor&) = delete;
    Supervisor& operator=(const Supervisor&) = delete;
    ~Supervisor() { acquire(); }

    void release() {
        if (!save_) save_ = PyEval_SaveThread();
    }
    void acquire() {
        if (save_) PyEval_RestoreThread(std::exchange(save_, nullptr));
    }

    // Runs on the calling thread inside a pool task, with the lock released.
    // Never throws: it returns with the lock released again whatever
    // happened, and a failure stops the batch like a raising callback.
    bool poll(std::size_t finished) noexcept {
        const auto now = Clock::now();
        if (now - last_check_ < std::chrono::milliseconds(20)) return true;
        last_check_ = now;
        acquire();
        bool ok = false;
        try {
            ok = run_signal_handlers();
            if (ok && progress_ && std::chrono::duration<double>(now - last_report_).count() >= interval_) {
                last_report_ = now;
                ok = report(finished);
            }
        } catch (...) {
            set_error_from_current_exception();
            ok = false;
        }
        if (!ok) error_ = take_exception();
        release();
        return ok;
    }

    // Calls the progress callback with (finished, total); needs the lock.
    bool report(std::size_t finished) {
        if (!progress_) return true;
        Ref r(PyObject_CallFunction(progress_, "nn", static_cast<Py_ssize_t>(finished),
                                    static_cast<Py_ssize_t>(total_)));
        return static_cast<bool>(r);
    }

    Ref& error() { return error_; }

private:
    using Clock = std::chrono::steady_clock;
    PyObject* progress_;
    double interval_;
    std::size_t total_;
    PyThreadState* save_ = nullptr;
    Clock::time_point last_check_ = Clock::now();
    Clock::time_point last_report_ = Clock::now();
    Ref error_;
};

PyObject* fit_batch_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"circuit", "spectra", "seeds", "progress", "progress_interval",
                                     VELOTZ_FIT_OPTION_KEYWORDS nullptr};
    PyObject *circuit = nullptr, *spectra = nullptr, *seeds = Py_None, *progress = Py_None,
             *progress_interval = nullptr;
    FitOptionArgs options_;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOO" VELOTZ_FIT_OPTION_UNITS ":fit_batch",
                                     const_cast<char**>(keywords), &circuit, &spectra, &seeds, &progress,
                                     &progress_interval VELOTZ_FIT_OPTION_TARGETS)) {
        suggest_keyword(kwargs, keywords);
        return nullptr;
    }
    if (!is_circuit(circuit)) {
        raise_argument_error("circuit", "'" + type_name(circuit) + "' object cannot be converted to 'Circuit'");
        return nullptr;
    }
    if (progress != Py_None && !PyCallable_Check(progress)) {
        raise_argument_error("progress", "'" + type_name(progress) + "' object is not callable");
        return nullptr;
    }

    // Options, converted and checked as Circuit.fit does.
    FitRequest request;
    FitCallOptions call;
    double interval = 0.1;
    if (!convert_f64(progress_interval, "progress_interval", interval) ||
        !convert_fit_options(options_, request, call))
        return nullptr;
    // A method name that no spectrum could use is the caller's error, not a
    // spectrum's: refused before any work, with fit()'s message.
    if (std::find(kFitMethods.begin(), kFitMethods.end(), request.method) == kFitMethods.end()) {
        set_error(PyExc_ValueError, FitError::unknown_method(request.method).display());
        return nullptr;
    }
    auto weighting = parse_weighting(call.weight);
    if (!weighting) {
        set_error(PyExc_ValueError, weighting.error());
        return nullptr;
    }
    request.weighting = *weighting;

    // The spectra, each converted on its own: a conversion error becomes
    // that spectrum's result.
    // Read from a tuple of their own: converting a spectrum may call back into
    // Python (__float__, a dataframe's __getitem__), which may change the
    // caller's list meanwhile.
    Ref items = own_items(spectra, "argument 'spectra': expected a sequence of spectra");
    if (!items) return nullptr;
    const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(items.get()));
    std::vector<BatchSpectrum> natives(count);
    std::vector<Ref> conversion_errors(count);
    std::vector<std::size_t> to_fit;  // index into `spectra` of every converted spectrum
    to_fit.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i));
        Spectrum data;
        if (!convert_item(item, data)) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
                return nullptr;  // KeyboardInterrupt, MemoryError, ...: not the spectrum's fault
            }
            conversion_errors[i] = take_exception();
            if (!conversion_errors[i]) return nullptr;
            continue;
        }
        static_cast<Spectrum&>(natives[i]) = std::move(data);
        to_fit.push_back(i);
    }
    if (seeds != Py_None) {
        Ref seed_items = own_items(seeds, "argument 'seeds': expected a sequence of seeds");
        if (!seed_items) return nullptr;
        if (static_cast<std::size_t>(PyTuple_GET_SIZE(seed_items.get())) != count) {
            PyErr_Format(PyExc_ValueError, "seeds has %zd entries but there are %zu spectra",
                         PyTuple_GET_SIZE(seed_items.get()), count);
            return nullptr;
        }
        for (std::size_t i = 0; i < count; ++i) {
            natives[i].own_seed = true;
            if (!convert_optional_u64(PyTuple_GET_ITEM(seed_items.get(), static_cast<Py_ssize_t>(i)),
                                      "seeds", natives[i].seed))
                return nullptr;
        }
    }

    // Starting values, decided once for the batch as Circuit.fit decides
    // them for one spectrum: the warning of a missing network is issued
    // once, and the network guess itself runs per spectrum on the pool.
    std::shared_ptr<const NodeList> tree = *reinterpret_cast<CircuitObject*>(circuit)->tree;
    request.circuit = *tree;
    request.mask = circuit_mask(circuit);
    const StartChoice choice =
        choose_start(*tree, StartOptions{call.guess_init, call.weights, circuit_values_given(circuit)});
    // Stack level 2: attributed to the caller of velotz.fit_batch, the
    // Python wrapper of this function, as fit()'s is to its caller.
    if (!choice.warning.empty() && PyErr_WarnEx(PyExc_UserWarning, choice.warning.c_str(), 2) < 0) return nullptr;
    BatchStart start;
    if (choice.source != StartSource::Circuit) {
        start = [tree, choice, mask = request.mask](const std::vector<double>& f, const std::vector<Cx>& z) {
            return start_circuit(choice, *tree, mask.get(), f, z);
        };
    }

    // Only the converted spectra go to the pool.
    std::vector<BatchSpectrum> work;
    work.reserve(to_fit.size());
    for (std::size_t i : to_fit) work.push_back(std::move(natives[i]));
    natives.clear();

    Supervisor supervisor(progress == Py_None ? nullptr : progress, interval, count);
    BatchControl control;
    control.poll = [&supervisor, skipped = count - to_fit.size()](std::size_t finished) {
        return supervisor.poll(finished + skipped);
    };
    // An exception from the pool (a task's, rethrown here) leaves with the
    // lock re-taken by ~Supervisor, before the guard turns it into a Python
    // exception.
    supervisor.release();
    std::vector<BatchSlot> slots = fit_batch(request, work, start, control);
    supervisor.acquire();
    if (supervisor.error()) {
        Ref& e = supervisor.error();
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e.get())), e.get());
        return nullptr;
    }
    if (PyErr_CheckSignals() < 0) return nullptr;
    if (!supervisor.report(count)) return nullptr;

    // Results in input order.
    Ref out(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        if (conversion_errors[i]) PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), conversion_errors[i].release());
    }
    for (std::size_t k = 0; k < to_fit.size(); ++k) {
        BatchSlot& slot = slots[k];
        Ref item;
        if (slot.status == BatchStatus::Done) {
            item = Ref(make_fit_result(std::move(*slot.outcome)));
        } else if (slot.status == BatchStatus::Failed) {
            item = value_error(slot.error);
        } else {
            PyErr_SetString(PyExc_RuntimeError, "the batch stopped before this spectrum was fitted");
            item = take_exception();
        }
        if (!item) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(to_fit[k]), item.release());
    }
    return out.release();
}

PyObject* fit_options_entry(PyObject*, PyObject*) { return fit_option_table(); }
PyObject* fit_methods_entry(PyObject*, PyObject*) { return fit_method_names(); }

PyMethodDef functions[] = {
    {"_fit_batch", VELOTZ_GUARD_METH(fit_batch_entry),
     METH_VARARGS | METH_KEYWORDS,
     "_fit_batch(circuit, spectra, *, seeds=None, progress=None, progress_interval=0.1, **fit_options)\n--\n\n"
     "Fits `circuit` to every spectrum of `spectra` (each a (frequencies,\n"
     "impedances) pair or a dataframe) on the worker pool; returns a list in\n"
     "input order holding a FitResult or the exception of each spectrum.\n"
     "Use velotz.fit_batch, which wraps this."},
    {"_fit_options", VELOTZ_GUARD_METH(fit_options_entry), METH_NOARGS,
     "_fit_options()\n--\n\n"
     "The options of Circuit.fit in signature order, each as (name, conversion,\n"
     "default as the signature shows it, value check, description)."},
    {"_fit_methods", VELOTZ_GUARD_METH(fit_methods_entry), METH_NOARGS,
     "_fit_methods()\n--\n\n"
     "The names accepted by the `method` option of Circuit.fit."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* batch_functions() { return functions; }

}  // namespace velotz::py
