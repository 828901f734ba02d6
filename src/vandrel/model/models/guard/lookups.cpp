// See lookups.hpp.
#include "guard/lookups.hpp"

#include "core/compat.hpp"
#include "core/names.hpp"
#include "guard/refusal.hpp"

namespace vandrel::xeger {

Ref type_dict(PyTypeObject* t) {
    return Ref::steal(type_namespace(t));
}

Ref interned(const char* s) {
    return Ref::borrow(name_of(s));
}

PyObject* item(PyObject* dict, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (v == nullptr && PyErr_Occurred()) raise_set();
    return v;
}
PyObject* item(PyObject* dict, const char* key) {
    return item(dict, interned(key).get());
}

bool is_ascii(PyObject* s, const char* text) {
    return s != nullptr && PyUnicode_CheckExact(s) &&
           PyUnicode_CompareWithASCIIString(s, text) == 0;
}

bool exact_int(PyObject* v, long expected) {
    return v != nullptr && PyLong_CheckExact(v) && PyLong_AsLong(v) == expected &&
           !PyErr_Occurred();
}

PyObject* mro_lookup(PyObject* t, const char* name) {
    PyObject* mro = reinterpret_cast<PyTypeObject*>(t)->tp_mro;
    need(mro != nullptr && PyTuple_CheckExact(mro));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        Ref d = type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        need(d && PyDict_CheckExact(d.get()));
        if (PyObject* v = item(d.get(), name)) return v;  // alive while the class is
    }
    return nullptr;
}

PyObject* object_slot(const char* name) {
    Ref d = type_dict(&PyBaseObject_Type);
    return item(d.get(), name);  // object's namespace is fixed
}

}  // namespace vandrel::xeger
