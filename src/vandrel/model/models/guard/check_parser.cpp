// Step 3 of validation (validator.hpp): the parser, everything its parse()
// reaches, to be the same when a row calls it.
#include <algorithm>
#include <string>

#include "core/compat.hpp"
#include "guard/genuine.hpp"
#include "guard/lookups.hpp"
#include "guard/refusal.hpp"
#include "guard/validator.hpp"

namespace vandrel::xeger {

// 3. The parser: what parse() reaches, to be the same when a row calls it.
void Validator::parser() {
    PyObject* parser = s_.get(xg_, "sre_parse");
    need(parser != nullptr && PyModule_CheckExact(parser));
    pd_ = PyModule_GetDict(parser);
    // Any change to its namespace may change what parse() gives.
    s_.watch_dict(pd_, false);
    builtins_of(pd_);
    Ref entry = interned("parse");
    s_.parse = s_.get(pd_, entry.get());
    need(s_.parse != nullptr);
    // Breadth-first over the globals the parser's code loads (names borrowed
    // from the co_names of checked code, alive as long as it is).
    std::vector<PyObject*> queue = {entry.get()};
    for (size_t i = 0; i < queue.size(); ++i) {
        PyObject* v = s_.get(pd_, queue[i]);
        if (v == nullptr) {
            builtin_load(queue[i]);
            continue;
        }
        for (PyObject* next : parser_value(queue[i], v)) {
            bool seen = std::any_of(queue.begin(), queue.end(), [next](PyObject* x) {
                return PyUnicode_Compare(x, next) == 0;
            });
            if (!seen) queue.push_back(next);
        }
    }
}

// One global of the parser: checked, and the globals its code loads.
std::vector<PyObject*> Validator::parser_value(PyObject* name, PyObject* v) {
    std::vector<PyObject*> loads;
    auto own = [&](PyObject* f, const std::string& qualname) {
        s_.watch_func(f);
        need(PyFunction_GET_GLOBALS(f) == pd_ && PyFunction_GET_KW_DEFAULTS(f) == nullptr &&
             PyFunction_GET_CLOSURE(f) == nullptr);
        need(code_from_source(PyFunction_GET_CODE(f), s_.get(pd_, "__file__"), qualname.c_str()));
        if (PyObject* d = PyFunction_GET_DEFAULTS(f)) need(immutable(d));
        for (PyObject* n : global_loads(PyFunction_GET_CODE(f))) loads.push_back(n);
    };
    const char* n = PyUnicode_AsUTF8(name);
    if (n == nullptr) raise_set();
    if (Py_TYPE(v) == &PyFunction_Type) {
        own(v, n);
    } else if (PyType_Check(v) &&
               PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(v),
                                reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
        // error classes: raised only for patterns the rows leave to the calls
    } else if (PyType_Check(v)) {
        s_.watch_type(v);
        Ref cdict = type_dict(reinterpret_cast<PyTypeObject*>(v));
        need(is_ascii(item(cdict.get(), "__module__"), PyUnicode_AsUTF8(s_.get(pd_, "__name__"))));
        Py_ssize_t pos = 0;
        PyObject *k = nullptr, *m = nullptr;
        while (PyDict_Next(cdict.get(), &pos, &k, &m)) {
            if (Py_TYPE(m) == &PyFunction_Type) {
                own(m, std::string(n) + "." + unmangled(n, PyUnicode_AsUTF8(k)));
            } else if (Py_TYPE(m) == &PyProperty_Type) {
                for (const char* part : {"fget", "fset", "fdel"}) {
                    Ref f = Ref::steal(PyObject_GetAttrString(m, part));
                    if (f.get() != Py_None) {
                        own(f.get(), std::string(n) + "." + PyUnicode_AsUTF8(k));
                    }
                }
            } else if (PyObject_TypeCheck(m, &PyClassMethod_Type) ||
                       PyObject_TypeCheck(m, &PyStaticMethod_Type)) {
                refuse();  // not in the parsers of 3.9 to 3.13
            }
        }
    } else {
        table_value(v);
    }
    return loads;
}

// The name a method was defined with: `_Class__name` is `__name` in the source.
std::string Validator::unmangled(const char* cls, const char* key) {
    std::string prefix = std::string("_") + cls + "__";
    std::string k(key);
    return k.compare(0, prefix.size(), prefix) == 0 ? k.substr(prefix.size() - 2) : k;
}

// A constant or table of the parser: immutable, or watched.
// NOLINTNEXTLINE(misc-no-recursion): as deep as the tables nest (three levels)
void Validator::table_value(PyObject* v) {
    if (immutable(v)) return;
    if (named_constant(v)) return;
    if (PyDict_CheckExact(v)) {
        s_.watch_dict(v, false);
        Py_ssize_t pos = 0;
        PyObject *k = nullptr, *x = nullptr;
        while (PyDict_Next(v, &pos, &k, &x)) table_value(x);
    } else if (PyList_CheckExact(v)) {
        s_.watch_list(v);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) table_value(PyList_GET_ITEM(v, i));
    } else if (PyTuple_CheckExact(v)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i) {
            table_value(PyTuple_GET_ITEM(v, i));
        }
    } else if (PyFrozenSet_CheckExact(v)) {
        Ref it = Ref::steal(PyObject_GetIter(v));
        while (Ref k = Ref::steal_or_null(PyIter_Next(it.get()))) table_value(k.get());
        if (PyErr_Occurred()) raise_set();
    } else {
        refuse();
    }
}

// An opcode of the parser's constants (an int subclass with a `name` that
// rstr dispatches on): its attributes watched.
bool Validator::named_constant(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    if (!PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE) || t->tp_base != &PyLong_Type) return false;
    s_.watch_type(reinterpret_cast<PyObject*>(t));
    need(mro_lookup(reinterpret_cast<PyObject*>(t), "name") == nullptr &&
         t->tp_getattro == PyObject_GenericGetAttr);
    Ref d = Ref::steal(PyObject_GenericGetDict(v, nullptr));
    s_.watch_dict(d.get(), false);
    need(PyUnicode_CheckExact(item(d.get(), "name")));
    return true;
}

bool Validator::immutable(PyObject* v) {  // NOLINT(misc-no-recursion): nested tuples
    if (v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyUnicode_CheckExact(v) ||
        PyBytes_CheckExact(v)) {
        return true;
    }
    if (PyFrozenSet_CheckExact(v)) {
        Ref it = Ref::steal(PyObject_GetIter(v));
        while (Ref k = Ref::steal_or_null(PyIter_Next(it.get()))) {
            if (!PyLong_CheckExact(k.get()) && !PyUnicode_CheckExact(k.get())) return false;
        }
        if (PyErr_Occurred()) raise_set();
        return true;
    }
    if (PyTuple_CheckExact(v)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i) {
            if (!immutable(PyTuple_GET_ITEM(v, i))) return false;
        }
        return true;
    }
    return false;
}

}  // namespace vandrel::xeger
