// The element classes. `Element` is the base class: it owns the shared
// representation and has no constructor. Each variant is a heap subclass
// named "Element_{code}" that takes its fields positionally or by keyword,
// exposes them as read-only float attributes and publishes them in
// `__match_args__` for class patterns.
#include "python/element_types.hpp"

#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/guard.hpp"
#include "python/state.hpp"
#include "util/text.hpp"

namespace velotz::py {
namespace {

PyTypeObject* g_element_type = nullptr;

ElementObject* as_element(PyObject* self) { return reinterpret_cast<ElementObject*>(self); }

// Once created, a class refuses attribute assignment like the built-in types.
void make_immutable([[maybe_unused]] PyTypeObject* type) {
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
}

// ---------------------------------------------------------------- base class

constexpr const char* kElementDoc =
    "A single circuit element.\n\n"
    "These are Python subclasses taking its fields as arguments.\n"
    "They are combined with `Series()` and `Parallel()`.";

PyObject* element_base_new(PyTypeObject* type, PyObject*, PyObject*) {
    std::string name = type->tp_name;
    Ref name_obj(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    if (name_obj) {
        if (auto u = utf8_of(name_obj.get())) name = *u;
    }
    PyErr_Clear();
    set_error(PyExc_TypeError, "No constructor defined for " + name);
    return nullptr;
}

void element_dealloc(PyObject* self) noexcept {
    // Instances of heap types hold a reference to their type (taken by
    // tp_alloc); it is returned here.
    PyTypeObject* type = Py_TYPE(self);
    as_element(self)->value.~Element();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* element_repr(PyObject* self) {
    const Element& e = as_element(self)->value;
    const KindInfo& info = kind_info(e.kind);
    std::string out = "Element.";
    out += info.code;
    out += '(';
    for (int i = 0; i < info.field_count; ++i) {
        if (i) out += ", ";
        out += info.fields[static_cast<std::size_t>(i)];
        out += '=';
        out += format_debug(e.v[static_cast<std::size_t>(i)]);
    }
    out += ')';
    return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

#ifdef PYPY_VERSION
// PyPy gives instances of these classes an attribute dictionary that CPython
// does not: every assignment is refused here, as CPython refuses it (the
// fields are read-only and there is nowhere to put new attributes).
int element_setattro(PyObject* self, PyObject* name, PyObject*) {
    Ref text(PyObject_Str(name));
    auto key = text ? utf8_of(text.get()) : std::nullopt;
    if (!key) return -1;
    const std::string type = type_name(self);
    const KindInfo& info = kind_info(as_element(self)->value.kind);
    bool field = false;
    for (int i = 0; i < info.field_count; ++i) field = field || *key == info.fields[static_cast<std::size_t>(i)];
    if (field) {
        set_error(PyExc_AttributeError, "attribute '" + *key + "' of '" + type + "' objects is not writable");
    } else {
        set_error(PyExc_AttributeError, "'" + type + "' object has no attribute '" + *key + "'");
    }
    return -1;
}
#endif

PyType_Slot element_slots[] = {
#ifdef PYPY_VERSION
    {Py_tp_setattro, VELOTZ_GUARD_SLOT(element_setattro)},
#endif
    {Py_tp_new, VELOTZ_GUARD_SLOT(element_base_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(element_dealloc)},
    {Py_tp_repr, VELOTZ_GUARD_SLOT(element_repr)},
    {Py_tp_methods, element_state_methods},
    {Py_tp_richcompare, VELOTZ_GUARD_SLOT(element_richcompare)},
    {Py_tp_hash, VELOTZ_GUARD_SLOT(element_hash)},
    {Py_tp_doc, const_cast<char*>(kElementDoc)},
    {0, nullptr},
};

PyType_Spec element_spec = {
    "velotz.Element",
    sizeof(ElementObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    element_slots,
};

// ---------------------------------------------------------------- variants

PyObject* get_field(PyObject* self, void* closure) {
    auto index = static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(closure));
    return PyFloat_FromDouble(as_element(self)->value.v[index]);
}

// Everything a variant class keeps pointers to must outlive it, i.e. live
// for the whole process: the type name, the argument-parsing tables and the
// attribute descriptors.
struct VariantTable {
    std::string short_name;  // "Element_La"
    std::string type_name;   // "velotz.Element_La"
    std::string doc;         // "Element_La(l, alpha)\n--\n\n": the text signature
    std::array<PyGetSetDef, 5> getset{};
    std::array<PyType_Slot, 6> slots{};
    PyType_Spec spec{};
};

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the way Python lists missing
// arguments.
std::string name_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'" + names[i] + "'";
    }
    return out;
}

// Binds the call's arguments to the fields, positionally or by keyword, with
// the messages of a Python function `name(field, ...)`. Returns false with a
// TypeError set.
bool bind_fields(const std::string& name, const KindInfo& info, PyObject* args, PyObject* kwargs,
                 std::array<PyObject*, 4>& out) {
    const auto count = static_cast<Py_ssize_t>(info.field_count);
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", name.c_str(), count,
                     count == 1 ? "" : "s", given, given == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) out[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_ssize_t index = -1;
            for (Py_ssize_t i = 0; i < count && PyUnicode_Check(key); ++i) {
                if (PyUnicode_CompareWithASCIIString(key, info.fields[static_cast<std::size_t>(i)]) == 0) index = i;
            }
            if (index < 0) {
                Ref text(PyObject_Str(key));
                auto key_text = text ? utf8_of(text.get()) : std::nullopt;
                if (!key_text) return false;
                set_error(PyExc_TypeError, name + "() got an unexpected keyword argument '" + *key_text + "'");
                return false;
            }
            if (index < given) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", name.c_str(),
                             info.fields[static_cast<std::size_t>(index)]);
                return false;
            }
            out[static_cast<std::size_t>(index)] = value;
        }
    }
    std::vector<std::string> missing;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!out[static_cast<std::size_t>(i)]) missing.emplace_back(info.fields[static_cast<std::size_t>(i)]);
    }
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", name.c_str(), missing.size(),
                     missing.size() == 1 ? "" : "s", name_list(missing).c_str());
        return false;
    }
    return true;
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs, Kind kind, const VariantTable& table) {
    const KindInfo& info = kind_info(kind);
    std::array<PyObject*, 4> given{};
    if (!bind_fields(table.short_name, info, args, kwargs, given)) return nullptr;
    Element value;
    value.kind = kind;
    for (int i = 0; i < info.field_count; ++i) {
        const auto u = static_cast<std::size_t>(i);
        double v = PyFloat_AsDouble(given[u]);
        if (v == -1.0 && PyErr_Occurred()) {
            prefix_pending_error(info.fields[u]);
            return nullptr;
        }
        value.v[u] = v;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&as_element(self)->value) Element(value);
    return self;
}

std::array<VariantTable, kKindCount>& variant_tables();

template <int K>
PyObject* variant_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct(type, args, kwargs, static_cast<Kind>(K), variant_tables()[K]);
}

template <std::size_t... K>
constexpr std::array<newfunc, sizeof...(K)> make_constructors(std::index_sequence<K...>) {
    return {VELOTZ_GUARD(variant_new<static_cast<int>(K)>)...};
}

constexpr auto kConstructors = make_constructors(std::make_index_sequence<kKindCount>{});

std::array<VariantTable, kKindCount>& variant_tables() {
    // Built on first use and never freed: the classes refer to it.
    static auto* tables = [] {
        auto* t = new std::array<VariantTable, kKindCount>();
        for (int k = 0; k < kKindCount; ++k) {
            const KindInfo& info = kind_info(k);
            VariantTable& vt = (*t)[static_cast<std::size_t>(k)];
            const std::string short_name = std::string("Element_") + info.code;
            std::string signature;
            for (int i = 0; i < info.field_count; ++i) {
                const auto u = static_cast<std::size_t>(i);
                if (i) signature += ", ";
                signature += info.fields[u];
                vt.getset[u] = PyGetSetDef{info.fields[u], VELOTZ_GUARD(get_field), nullptr, nullptr,
                                           reinterpret_cast<void*>(static_cast<std::uintptr_t>(i))};
            }
            vt.short_name = short_name;
            vt.type_name = "velotz." + short_name;
            vt.doc = short_name + "(" + signature + ")\n--\n\n";
            vt.slots = {{
                {Py_tp_new, reinterpret_cast<void*>(kConstructors[static_cast<std::size_t>(k)])},
                {Py_tp_dealloc, reinterpret_cast<void*>(element_dealloc)},
                {Py_tp_getset, vt.getset.data()},
                {Py_tp_doc, const_cast<char*>(vt.doc.c_str())},
                {0, nullptr},
                {0, nullptr},
            }};
            vt.spec = PyType_Spec{vt.type_name.c_str(), static_cast<int>(sizeof(ElementObject)), 0,
                                  Py_TPFLAGS_DEFAULT, vt.slots.data()};
        }
        return t;
    }();
    return *tables;
}

// Creates one variant class as a subclass of `base` with its
// `__match_args__`, or returns null with an exception set.
Ref create_variant(PyObject* base, int k) {
    VariantTable& vt = variant_tables()[static_cast<std::size_t>(k)];
    Ref bases(PyTuple_Pack(1, base));
    if (!bases) return {};
    Ref type(PyType_FromSpecWithBases(&vt.spec, bases.get()));
    if (!type) return {};
    const KindInfo& info = kind_info(k);
    Ref match_args(PyTuple_New(info.field_count));
    if (!match_args) return {};
    for (int i = 0; i < info.field_count; ++i) {
        PyObject* name = PyUnicode_FromString(info.fields[static_cast<std::size_t>(i)]);
        if (!name) return {};
        PyTuple_SET_ITEM(match_args.get(), i, name);
    }
    if (PyObject_SetAttrString(type.get(), "__match_args__", match_args.get()) < 0) return {};
    make_immutable(reinterpret_cast<PyTypeObject*>(type.get()));
    return type;
}

}  // namespace

PyObject* create_element_types() {
    if (!g_element_type) {
        Ref base(PyType_FromSpec(&element_spec));
        if (!base) return nullptr;
        for (int k = 0; k < kKindCount; ++k) {
            Ref variant = create_variant(base.get(), k);
            if (!variant) return nullptr;
            if (PyObject_SetAttrString(base.get(), kind_info(k).code, variant.get()) < 0) return nullptr;
        }
        make_immutable(reinterpret_cast<PyTypeObject*>(base.get()));
        g_element_type = reinterpret_cast<PyTypeObject*>(base.release());
    }
    Py_INCREF(g_element_type);
    return reinterpret_cast<PyObject*>(g_element_type);
}

PyTypeObject* element_type() { return g_element_type; }

bool is_element(PyObject* obj) { return g_element_type && PyObject_TypeCheck(obj, g_element_type); }

bool element_value(PyObject* obj, Element& out) {
    if (!is_element(obj)) return false;
    out = as_element(obj)->value;
    return true;
}

}  // namespace velotz::py
