// The function-object type of the nine members: binds as a method through an
// instance (and to the class through `classmethod`), is called by vectorcall,
// and exposes the attributes that introspection reads from a Python function.
#pragma once

#include "core/refs.hpp"

namespace vandrel {

// One annotation of a member: parameter (or "return") and its text.
struct Annotation {
    PyObject* const* key = nullptr;  // address of an interned name in the constants table
    const char* text = nullptr;
    PyObject* value = nullptr;  // owned once made: the annotation text as a str
};

// Static description of a member; the runtime parts are made by the exec phase.
struct MemberDef {
    const char* name = nullptr;      // __name__, also the name in binding messages
    const char* qualname = nullptr;  // __qualname__
    int first_line = 0;              // line of the `def`
    int nparams = 0;                 // positional-or-keyword parameters
    int nrequired = 0;               // those without a default
    PyObject* const* vars[8] = {};   // co_varnames: parameters, then locals
    int nvars = 0;
    Annotation annotations[6] = {};  // in insertion order
    int nannotations = 0;
    PyObject* const* defaults = nullptr;  // address of a defaults tuple, or NULL
    vectorcallfunc impl = nullptr;

    // Made by the exec phase, owned for the life of the process.
    PyObject* name_str = nullptr;      // interned __name__
    PyObject* qualname_str = nullptr;  // __qualname__
    PyObject* tb_name = nullptr;       // "vandrel.model.models.string.<qualname>"
    PyObject* code = nullptr;          // introspection-only code object
};

struct FuncObject {
    PyObject ob_base;           // PyObject_HEAD
    vectorcallfunc vectorcall;  // the member's implementation
    const MemberDef* member;
    PyObject* func_name;         // owned
    PyObject* func_qualname;     // owned
    PyObject* func_module;       // owned
    PyObject* func_doc;          // owned
    PyObject* func_code;         // owned
    PyObject* func_defaults;     // owned, or NULL for None
    PyObject* func_annotations;  // owned dict, or NULL until asked for
    PyObject* func_annotate;     // owned callable, or NULL for None (kDeferredAnnotations)
    PyObject* func_globals;      // owned: the module namespace
    PyObject* func_dict;         // owned, or NULL until first used
    PyObject* func_class;        // owned, or NULL: the class named by super() in __init__
    PyObject* func_weakreflist;
};

extern PyTypeObject FuncType;

inline FuncObject* as_func(PyObject* o) noexcept {
    return reinterpret_cast<FuncObject*>(o);
}

// Readies the type (once per process).
void ready_func_type();

// A new function object of `member` in `globals`, with `annotations` (borrowed).
Ref func_new(const MemberDef& member, PyObject* globals, PyObject* annotations);

// Step 5 and step 8 parts of a member: its strings, then its code object.
void make_member_strings(MemberDef& member);
void make_member_code(MemberDef& member);

}  // namespace vandrel
