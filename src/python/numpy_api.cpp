#include "python/numpy_api.hpp"

#include <cstdint>
#include <cstring>

namespace velotz::py {
namespace {

// Entries of numpy's stable array-API table.
constexpr std::size_t kArrayTypeSlot = 2;
constexpr std::size_t kArrayNewSlot = 93;
constexpr int kTypeFloat64 = 12;     // NPY_DOUBLE
constexpr int kTypeComplex128 = 15;  // NPY_CDOUBLE

using ArrayNew = PyObject* (*)(PyTypeObject*, int, const Py_ssize_t*, int, const Py_ssize_t*, void*, int, int,
                               PyObject*);

void** g_api = nullptr;  // set once, under the interpreter lock

bool load_api() {
    if (g_api) return true;
    auto fail = [] {
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, "Failed to access NumPy array API capsule");
        return false;
    };
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return fail();
    Ref lib(PyImport_ImportModule("numpy.lib"));
    if (!lib) return fail();
    Ref version_class(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
    Ref version_text(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version_class || !version_text) return fail();
    Ref version(PyObject_CallOneArg(version_class.get(), version_text.get()));
    if (!version) return fail();
    Ref major_obj(PyObject_GetAttrString(version.get(), "major"));
    if (!major_obj) return fail();
    long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) return fail();
    Ref multiarray(PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
    if (!multiarray) return fail();
    Ref capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule || !PyCapsule_CheckExact(capsule.get())) return fail();
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (!table) return fail();
    g_api = static_cast<void**>(table);
    return true;
}

}  // namespace

PyObject* new_complex_array(std::size_t n, Cx** data) {
    if (!load_api()) return nullptr;
    auto array_new = reinterpret_cast<ArrayNew>(g_api[kArrayNewSlot]);
    auto array_type = static_cast<PyTypeObject*>(g_api[kArrayTypeSlot]);
    Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(n)};
    PyObject* array = array_new(array_type, 1, dims, kTypeComplex128, nullptr, nullptr, 0, 0, nullptr);
    if (!array) return nullptr;
    // The array object starts with PyObject_HEAD followed by its data pointer.
    char* buffer = *reinterpret_cast<char**>(reinterpret_cast<char*>(array) + sizeof(PyObject));
    *data = reinterpret_cast<Cx*>(buffer);
    return array;
}

PyObject* new_float_array(const double* values, std::size_t rows, std::size_t cols) {
    if (!load_api()) return nullptr;
    auto array_new = reinterpret_cast<ArrayNew>(g_api[kArrayNewSlot]);
    auto array_type = static_cast<PyTypeObject*>(g_api[kArrayTypeSlot]);
    Py_ssize_t dims[2] = {static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols)};
    const int ndim = cols == 0 ? 1 : 2;
    PyObject* array = array_new(array_type, ndim, dims, kTypeFloat64, nullptr, nullptr, 0, 0, nullptr);
    if (!array) return nullptr;
    const std::size_t count = rows * (cols == 0 ? 1 : cols);
    char* buffer = *reinterpret_cast<char**>(reinterpret_cast<char*>(array) + sizeof(PyObject));
    if (count > 0) std::memcpy(buffer, values, count * sizeof(double));
    return array;
}

}  // namespace velotz::py
