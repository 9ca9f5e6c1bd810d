// Conversions of the fit options, shared by Circuit.fit and the batch fit.
#include "python/fit_options.hpp"

#include "python/paths.hpp"

#include <array>
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

namespace {

// The conversion of each kind named in VELOTZ_FIT_OPTIONS.
bool convert_OptionalBool(PyObject* obj, const char* name, std::optional<bool>& out) {
    return convert_optional_bool(obj, name, out);
}
bool convert_Path(PyObject* obj, const char* name, std::optional<std::string>& out) {
    return optional_path(obj, name, out);
}
bool convert_Text(PyObject* obj, const char* name, std::string& out) { return convert_str(obj, name, out); }
bool convert_Size(PyObject* obj, const char* name, std::size_t& out) { return convert_size(obj, name, out); }
bool convert_U64(PyObject* obj, const char* name, std::uint64_t& out) { return convert_u64(obj, name, out); }
bool convert_F64(PyObject* obj, const char* name, double& out) { return convert_f64(obj, name, out); }
bool convert_OptionalU64(PyObject* obj, const char* name, std::optional<std::uint64_t>& out) {
    return convert_optional_u64(obj, name, out);
}

}  // namespace

bool convert_fit_options(const FitOptionArgs& a, FitRequest& request, FitCallOptions& call) {
#define VELOTZ_FIT_OPTION_OUT_Request(name) request.name
#define VELOTZ_FIT_OPTION_OUT_Call(name) call.name
#define VELOTZ_FIT_OPTION_CONVERT(name, conversion, type, value, shown, target, check, doc) \
    &&convert_##conversion(a.name, #name, VELOTZ_FIT_OPTION_OUT_##target(name))
    return true VELOTZ_FIT_OPTIONS(VELOTZ_FIT_OPTION_CONVERT);
#undef VELOTZ_FIT_OPTION_CONVERT
#undef VELOTZ_FIT_OPTION_OUT_Call
#undef VELOTZ_FIT_OPTION_OUT_Request
}

PyObject* fit_option_table() {
#define VELOTZ_FIT_OPTION_ROW(name, conversion, type, value, shown, target, check, doc) \
    {#name, #conversion, shown, check, doc},
    static constexpr std::array<std::array<const char*, 5>, kFitOptionCount> rows = {
        {VELOTZ_FIT_OPTIONS(VELOTZ_FIT_OPTION_ROW)}};
#undef VELOTZ_FIT_OPTION_ROW
    Ref out(PyTuple_New(static_cast<Py_ssize_t>(rows.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& r = rows[i];
        PyObject* row = Py_BuildValue("(sssss)", r[0], r[1], r[2], r[3], r[4]);
        if (!row) return nullptr;
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), row);
    }
    return out.release();
}

PyObject* fit_method_names() {
    Ref out(PyTuple_New(static_cast<Py_ssize_t>(kFitMethods.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < kFitMethods.size(); ++i) {
        const std::string_view method = kFitMethods[i];
        PyObject* name = PyUnicode_FromStringAndSize(method.data(), static_cast<Py_ssize_t>(method.size()));
        if (!name) return nullptr;
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), name);
    }
    return out.release();
}

}  // namespace velotz::py
