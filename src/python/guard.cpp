#include "python/guard.hpp"

#include <new>
#include <stdexcept>

namespace velotz::py {

void set_error(PyObject* type, std::string_view text) noexcept {
    Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!message) return;  // MemoryError already set
    PyErr_SetObject(type, message.get());
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const Interrupted&) {
        // The poll that stopped the work left its exception set.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more elements than it can address: the same
        // condition as an allocation that cannot succeed.
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_error(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

namespace {
unsigned long g_main_thread = 0;
}  // namespace

bool note_main_thread() {
    // The importing thread, unless threading is loaded and says otherwise
    // (without threading there are no other Python threads to tell apart).
    g_main_thread = PyThread_get_thread_ident();
    PyObject* threading = PyDict_GetItemString(PyImport_GetModuleDict(), "threading");  // borrowed
    if (!threading) return true;
    Ref main(PyObject_CallMethod(threading, "main_thread", nullptr));
    if (!main) return false;
    Ref ident(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) return false;
    const unsigned long id = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) return false;
    g_main_thread = id;
    return true;
}

bool receives_signals() { return PyThread_get_thread_ident() == g_main_thread; }

bool run_signal_handlers() {
#ifdef PYPY_VERSION
    // PyPy runs signal handlers between bytecodes, and its PyErr_CheckSignals
    // does not run them: a line of Python code does.
    static PyObject* code = nullptr;
    static PyObject* globals = nullptr;
    if (!code) {
        globals = PyDict_New();
        code = Py_CompileString("None", "<velotz signal check>", Py_eval_input);
        if (!globals || !code) return false;
    }
    Ref result(PyEval_EvalCode(code, globals, globals));
    if (!result) return false;
#endif
    return PyErr_CheckSignals() == 0;
}

bool check_signals(void* context) noexcept {
    auto* state = static_cast<PyThreadState**>(context);
    PyEval_RestoreThread(*state);
    const bool ok = run_signal_handlers();
    *state = PyEval_SaveThread();
    return ok;
}

}  // namespace velotz::py
