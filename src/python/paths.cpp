#include "python/paths.hpp"

namespace velotz::py {

bool optional_path(PyObject* obj, const char* name, std::optional<std::string>& out) {
    if (!obj || obj == Py_None) return true;
    Ref text = Ref::borrow(obj);
    if (!PyUnicode_Check(obj)) {
        // os.PathLike: whatever __fspath__ gives (a str or bytes path).
        Ref method(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__fspath__"));
        if (!method) {
            PyErr_Clear();
            raise_argument_error(name, "'" + type_name(obj) + "' object cannot be converted to 'str'");
            return false;
        }
        text = Ref(PyObject_CallOneArg(method.get(), obj));
        if (!text) return false;
        if (!PyUnicode_Check(text.get()) && !PyBytes_Check(text.get())) {
            raise_argument_error(name, "expected " + type_name(obj) + ".__fspath__() to return str or bytes, not " +
                                           type_name(text.get()));
            return false;
        }
    }
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(text.get(), &converted)) {
        prefix_pending_error(name);
        return false;
    }
    Ref bytes(converted);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return false;
    out = std::string(data, static_cast<std::size_t>(size));
    return true;
}

}  // namespace velotz::py
