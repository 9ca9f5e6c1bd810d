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

}  // namespace velotz::py
