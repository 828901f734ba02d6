// Step 5 of validation (validator.hpp): every global the checked code loads.
#include "core/compat.hpp"
#include "guard/genuine.hpp"
#include "guard/lookups.hpp"
#include "guard/refusal.hpp"
#include "guard/validator.hpp"

namespace vandrel::xeger {

// 5. Every global the checked code loads: what its module defines, or a
//    genuine builtin. A few are loaded only on branches these rows never
//    take (an error message's class, shuffle's `random` argument).
void Validator::check_globals() {
    for (PyObject* g : {xg_, bg_, td_, rd_}) builtins_of(g);
    for (const auto& [globals, name] : loads_) {
        PyObject* v = s_.get(globals, name);
        if (v == nullptr) {
            builtin_load(name);
        } else {
            need(module_global(globals, name, v));
        }
    }
}

bool Validator::module_global(PyObject* globals, PyObject* name, PyObject* v) {
    auto is = [name](const char* n) { return PyUnicode_CompareWithASCIIString(name, n) == 0; };
    if (globals == xg_) {
        if (is("Pattern")) return v == item(td_, "Pattern");
        if (is("STAR_PLUS_LIMIT")) return exact_int(v, 100);
        if (is("chain")) return c_type_of(v, "itertools.chain", "itertools");
        if (is("sre_parse")) return PyModule_CheckExact(v) && PyModule_GetDict(v) == pd_;
        if (is("typing")) return PyModule_CheckExact(v) && PyModule_GetDict(v) == td_;
        if (is("string")) return string_module(v);
    } else if (globals == bg_) {
        if (is("SameCharacterError")) return true;  // include and exclude never overlap here
        if (is("partial")) return c_type_of(v, "functools.partial", "_functools");
        if (is("itertools")) return itertools_module(v);
    } else if (globals == rd_) {
        if (is("_ONE")) return exact_int(v, 1);
        if (is("_index")) return c_function_of(v, "_operator", "index");
        if (is("_floor") || is("_warn")) return true;  // shuffle(x, random) only
    } else if (globals == td_) {
        if (is("_caches")) return tp_caches(v);
    }
    return false;
}

bool Validator::string_module(PyObject* v) {
    if (!PyModule_CheckExact(v)) return false;
    PyObject* d = PyModule_GetDict(v);
    s_.watch_dict(d);
    s_.printable = s_.get(d, "printable");
    return s_.printable != nullptr && PyUnicode_CheckExact(s_.printable) &&
           PyUnicode_Compare(s_.printable, s_.any_alphabet) == 0 && s_.hold(s_.printable);
}

bool Validator::itertools_module(PyObject* v) {
    if (!PyModule_CheckExact(v)) return false;
    PyObject* d = PyModule_GetDict(v);
    s_.watch_dict(d);
    return c_type_of(s_.get(d, "repeat"), "itertools.repeat", "itertools");
}

// typing's caches (3.12+): the subscription's own cached function.
bool Validator::tp_caches(PyObject* v) {
    if (!PyDict_CheckExact(v)) return false;
    s_.watch_dict(v);
    PyObject* alias_type = item(td_, "_SpecialGenericAlias");
    Ref d = type_dict(reinterpret_cast<PyTypeObject*>(alias_type));
    PyObject* inner = item(d.get(), "__getitem__");
    PyObject* cl = inner ? PyFunction_GET_CLOSURE(inner) : nullptr;
    if (cl == nullptr || PyTuple_GET_SIZE(cl) != 1) return false;
    PyObject* cached = s_.get(v, PyCell_GET(PyTuple_GET_ITEM(cl, 0)));
    return cached != nullptr && c_type_of(reinterpret_cast<PyObject*>(Py_TYPE(cached)),
                                          "functools._lru_cache_wrapper", "_functools");
}

}  // namespace vandrel::xeger
