#include "frame/globals.hpp"

#include "core/compat.hpp"
#include "core/errors.hpp"
#include "core/state.hpp"

namespace vandrel {

namespace {

inline uint64_t version_of(PyObject* dict) {
    return dict_version(dict);
}

// Borrowed result, or NULL with an error set (NameError or a lookup failure).
PyObject* find(PyObject* name, PyObject* globals) {
    PyObject* v = PyDict_GetItemWithError(globals, name);
    if (v != nullptr || PyErr_Occurred()) return v;
    v = PyDict_GetItemWithError(S.builtins_dict, name);
    if (v != nullptr || PyErr_Occurred()) return v;
    raise_name_error(name);
}

}  // namespace

[[gnu::cold]] [[noreturn]] void raise_no_namespace() {
    // Only a function object already torn down by the garbage collector has none.
    set_error(PyExc_SystemError, "function object has no module namespace");
    raise_set();
}

Ref lookup_global(GlobalSlot& slot, PyObject* globals) {
    if (globals == nullptr) raise_no_namespace();
    // Without version tags (3.14 on) every use looks the name up again.
    if (!kDictVersions) return lookup_global_uncached(*slot.name, globals);
    uint64_t dv = version_of(globals);
    uint64_t bv = version_of(S.builtins_dict);
    if (slot.value != nullptr && slot.globals == globals && slot.dict_version == dv &&
        slot.builtins_version == bv) {
        return Ref::borrow(slot.value);
    }
    PyObject* v = find(*slot.name, globals);
    if (v == nullptr) raise_set();
    // A lookup may run __eq__ of a key and so change a dictionary (bind the name
    // in the namespace while the builtins are searched, say): keep the versions
    // seen before the lookup, so that any such change makes the next use look
    // again instead of trusting a value found in a dictionary state now gone.
    slot.value = v;
    slot.globals = globals;
    slot.dict_version = dv;
    slot.builtins_version = bv;
    return Ref::borrow(v);
}

Ref lookup_global_uncached(PyObject* name, PyObject* globals) {
    if (globals == nullptr) raise_no_namespace();
    PyObject* v = find(name, globals);
    if (v == nullptr) raise_set();
    return Ref::borrow(v);
}

}  // namespace vandrel
