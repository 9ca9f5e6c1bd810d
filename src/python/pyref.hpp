#pragma once
// Owned references and the small conversions shared by the module surface.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "elements/complex.hpp"

// Types that Python code may not modify; the flag exists from 3.10 on.
#ifdef Py_TPFLAGS_IMMUTABLETYPE
#define VELOTZ_TPFLAGS_IMMUTABLE Py_TPFLAGS_IMMUTABLETYPE
#else
#define VELOTZ_TPFLAGS_IMMUTABLE 0
#endif

namespace velotz::py {

// An owned (strong) reference, released when it goes out of scope.
class Ref {
public:
    Ref() = default;
    // Takes ownership of a new reference (may be null).
    explicit Ref(PyObject* p) : p_(p) {}
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    // Hands the reference to the caller (e.g. as a return value).
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Raises TypeError "argument '{name}': {message}", the form every argument
// conversion error takes.
void raise_argument_error(const char* name, const std::string& message);

// Prefixes the pending exception (from a conversion) with
// "argument '{name}': ", keeping a ValueError (and an OverflowError when
// asked) and turning anything else into a TypeError.
void prefix_pending_error(const char* name, bool keep_overflow = false);

// The type name of an object, as Python prints it.
std::string type_name(PyObject* obj);

// Appends `tail` to the message of a pending TypeError or ValueError (exact
// types, kept); other exceptions stay as they are.
void append_to_pending_error(const std::string& tail);

// After PyArg_ParseTupleAndKeywords refused the call: when a keyword of
// `kwargs` is none of `keywords` (null-terminated) and one of them is close
// to it, appends "; did you mean '{closest}'?" to the pending TypeError.
void suggest_keyword(PyObject* kwargs, const char* const* keywords);

// After a spectrum conversion failed: when `impedances` is a pair of
// sequences (real and imaginary parts given apart), appends how to pass
// them as one complex array.
void explain_split_impedances(PyObject* impedances);

// Text of a str object as UTF-8 (surrogates replaced), or nothing with an
// exception set.
std::optional<std::string> utf8_of(PyObject* str);

// An iterator over a sequence argument: a str is refused with "Can't
// extract `str` to `Vec`" and a non-sequence with "'{type}' object cannot be
// converted to 'Sequence'" (TypeError, returning null). *hint receives the
// reported length, or 0 when it cannot be read.
Ref sequence_iterator(PyObject* obj, std::size_t* hint);

// Reserves room for `hint` items, the length a sequence reports. That length
// is not trusted: a reservation that cannot be made raises MemoryError (as
// list() does for the same object) and returns false, instead of throwing.
template <typename T>
bool reserve_from_hint(std::vector<T>& out, std::size_t hint) noexcept {
    try {
        out.reserve(hint);
        return true;
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
}

// Sequence to floats: a str is refused with "Can't extract `str` to `Vec`",
// a non-sequence with "'{type}' object cannot be converted to 'Sequence'",
// and each item goes through the interpreter's float conversion. Returns
// nothing with a Python exception set.
std::optional<std::vector<double>> floats_from_sequence(PyObject* obj);

// numpy's masked arrays (and subclasses): their buffer holds the masked
// entries' raw values, so they are read item by item.
bool is_masked_array(PyObject* obj);

// Python list of floats / complex / str.
PyObject* list_of_floats(const std::vector<double>& v);
PyObject* list_of_complex(const std::vector<Cx>& v);
PyObject* list_of_strings(const std::vector<std::string>& v);

// dict[key] = value, taking the new reference `value` (null: a failed
// conversion, whose exception stays set). False with an exception set.
bool set_item(PyObject* dict, const char* key, PyObject* value);

}  // namespace velotz::py
