#pragma once
// The edge between Python and C++.
//
// A C++ exception must never unwind into the interpreter: it would abort the
// process. Every function the interpreter calls directly (method tables,
// tp_new, tp_repr, getters, module functions) is therefore registered through
// VELOTZ_GUARD, which wraps it in a noexcept trampoline that turns any
// escaping exception into a Python exception:
//
//   Interrupted (see without_gil_interruptible)
//                                      -> the exception a signal handler raised
//   std::bad_alloc, std::length_error  -> MemoryError
//   any other std::exception           -> RuntimeError(what())
//   anything else                      -> RuntimeError
//
// Usage, for any function pointer whose result is PyObject* or int:
//
//   {"my_method", VELOTZ_GUARD_METH(my_method), METH_VARARGS | METH_KEYWORDS, doc},
//   {Py_tp_new, VELOTZ_GUARD_SLOT(my_new)},
//   PyGetSetDef{"name", VELOTZ_GUARD(my_getter), nullptr, nullptr, nullptr},
//
// Code that releases the interpreter lock uses without_gil(), which
// re-acquires the lock before any exception continues to the guard.
#include <exception>
#include <string_view>
#include <type_traits>
#include <utility>

#include "python/pyref.hpp"
#include "util/interrupt.hpp"

namespace velotz::py {

// Sets a Python exception whose message is the whole of `text` (UTF-8;
// NUL and non-ASCII characters kept, invalid bytes replaced). Use this, not
// PyErr_SetString/PyErr_Format with %s, for any message holding user text.
void set_error(PyObject* type, std::string_view text) noexcept;
// The same, returning null for `return raise(...)`.
inline PyObject* raise(PyObject* type, std::string_view text) noexcept {
    set_error(type, text);
    return nullptr;
}

// Sets the Python exception for the exception being handled. Call only from
// inside a catch block, with the interpreter lock held.
void set_error_from_current_exception() noexcept;

template <auto F>
struct Guard;

template <typename R, typename... A, R (*F)(A...)>
struct Guard<F> {
    static_assert(std::is_pointer_v<R> || std::is_integral_v<R>, "guarded functions return a pointer or an integer");
    static R call(A... args) noexcept {
        try {
            return F(args...);
        } catch (...) {
            set_error_from_current_exception();
            if constexpr (std::is_pointer_v<R>) {
                return nullptr;
            } else {
                return static_cast<R>(-1);
            }
        }
    }
};

// Runs f() with the interpreter lock released and returns its result. The
// lock is taken back before the function returns or an exception leaves it.
// f must not touch any Python object.
template <typename F>
decltype(auto) without_gil(F&& f) {
    struct Reacquire {
        PyThreadState* state;
        ~Reacquire() { PyEval_RestoreThread(state); }
    } reacquire{PyEval_SaveThread()};
    return std::forward<F>(f)();
}

// note_main_thread() records the main thread at import (false with an
// exception set); receives_signals() says whether Ctrl-C can reach the
// calling thread, as Python runs signal handlers on the main thread only.
// It runs no Python code: code run there could run a pending handler, whose
// exception would then be lost.
bool note_main_thread();
bool receives_signals();

// Runs pending signal handlers (PyErr_CheckSignals, and on PyPy, where that
// does not run them, a line of Python code); false with the exception set
// when one raised. Needs the lock.
bool run_signal_handlers();

// The poll function of without_gil_interruptible: re-takes the lock whose
// state *context holds, runs pending signal handlers and releases it again.
// False (stop) when a handler raised, KeyboardInterrupt for Ctrl-C; the
// exception then stays set for the caller.
bool check_signals(void* context) noexcept;

// without_gil() for long work that should stop on Ctrl-C: on the main thread
// the core's interruption points (util/interrupt.hpp) look for signals about
// every 20 ms, and a KeyboardInterrupt (or any exception a signal handler
// raises) ends f by an Interrupted exception, which the guard turns back
// into that pending Python exception.
template <typename F>
decltype(auto) without_gil_interruptible(F&& f) {
    const bool poll = receives_signals();
    struct Reacquire {
        PyThreadState* state;
        ~Reacquire() { PyEval_RestoreThread(state); }
    } reacquire{PyEval_SaveThread()};
    InterruptScope scope(poll ? &check_signals : nullptr, &reacquire.state);
    return std::forward<F>(f)();
}

}  // namespace velotz::py

// The guarded trampoline of a function, with the function's own type.
#define VELOTZ_GUARD(fn) (&::velotz::py::Guard<&(fn)>::call)
// As a PyMethodDef entry's PyCFunction (whatever the calling convention).
#define VELOTZ_GUARD_METH(fn) \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(VELOTZ_GUARD(fn)))
// As the void* of a PyType_Slot.
#define VELOTZ_GUARD_SLOT(fn) reinterpret_cast<void*>(VELOTZ_GUARD(fn))
