// Function objects of the members, after the interpreter's own function type:
// the same getset table, and a descriptor that binds with PyMethod_New.
#include "frame/function.hpp"

#include <structmember.h>

#include <cstddef>
#include <string>

#include "core/compat.hpp"
#include "core/names.hpp"
#include "core/errors.hpp"

namespace vandrel {

// Filled in by ready_func_type(); static storage starts zeroed.
PyTypeObject FuncType{};

namespace {

int func_traverse(PyObject* o, visitproc visit, void* arg) noexcept {
    FuncObject* f = as_func(o);
    Py_VISIT(f->func_name);
    Py_VISIT(f->func_qualname);
    Py_VISIT(f->func_module);
    Py_VISIT(f->func_doc);
    Py_VISIT(f->func_code);
    Py_VISIT(f->func_defaults);
    Py_VISIT(f->func_annotations);
    Py_VISIT(f->func_annotate);
    Py_VISIT(f->func_globals);
    Py_VISIT(f->func_dict);
    Py_VISIT(f->func_class);
    return 0;
}

int func_clear(PyObject* o) noexcept {
    FuncObject* f = as_func(o);
    Py_CLEAR(f->func_name);
    Py_CLEAR(f->func_qualname);
    Py_CLEAR(f->func_module);
    Py_CLEAR(f->func_doc);
    Py_CLEAR(f->func_code);
    Py_CLEAR(f->func_defaults);
    Py_CLEAR(f->func_annotations);
    Py_CLEAR(f->func_annotate);
    Py_CLEAR(f->func_globals);
    Py_CLEAR(f->func_dict);
    Py_CLEAR(f->func_class);
    return 0;
}

void func_dealloc(PyObject* o) noexcept {
    FuncObject* f = as_func(o);
    PyObject_GC_UnTrack(o);
    if (f->func_weakreflist != nullptr) PyObject_ClearWeakRefs(o);
    func_clear(o);
    PyObject_GC_Del(o);
}

PyObject* func_repr(PyObject* o) noexcept {
    PyObject* qualname = as_func(o)->func_qualname;
    if (qualname == nullptr) return PyUnicode_FromFormat("<function at %p>", o);  // cleared by GC
    return PyUnicode_FromFormat("<function %U at %p>", qualname, o);
}

// Through an instance: a bound method; through the class (obj None or NULL):
// the function itself. `classmethod` hands us the class as `obj`.
PyObject* func_descr_get(PyObject* func, PyObject* obj, PyObject*) noexcept {
    if (obj == Py_None || obj == nullptr) {
        Py_INCREF(func);
        return func;
    }
    return PyMethod_New(func, obj);
}

PyObject* none_if_null(PyObject* v) noexcept {
    if (v == nullptr) v = Py_None;
    Py_INCREF(v);
    return v;
}

PyObject* get_code(PyObject* o, void*) noexcept {
    return none_if_null(as_func(o)->func_code);
}
PyObject* get_defaults(PyObject* o, void*) noexcept {
    return none_if_null(as_func(o)->func_defaults);
}
PyObject* get_none(PyObject*, void*) noexcept {
    Py_RETURN_NONE;
}

// As a Python function's: where annotations are deferred (3.14), a missing
// dictionary comes from __annotate__(1) when one is set.
PyObject* get_annotations(PyObject* o, void*) noexcept {
    FuncObject* f = as_func(o);
    if (f->func_annotations == nullptr && f->func_annotate != nullptr) {
        PyObject* format = PyLong_FromLong(1);  // annotationlib.Format.VALUE
        if (format == nullptr) return nullptr;
        PyObject* made = PyObject_CallOneArg(f->func_annotate, format);
        Py_DECREF(format);
        if (made == nullptr) return nullptr;
        if (!PyDict_Check(made)) {
            set_error(PyExc_TypeError, kAnnotateNotDict, Py_TYPE(made)->tp_name);
            Py_DECREF(made);
            return nullptr;
        }
        Py_XSETREF(f->func_annotations, made);
    }
    if (f->func_annotations == nullptr) {
        f->func_annotations = PyDict_New();
        if (f->func_annotations == nullptr) return nullptr;
    }
    Py_INCREF(f->func_annotations);
    return f->func_annotations;
}

int set_annotations(PyObject* o, PyObject* v, void*) noexcept {
    if (v == Py_None) v = nullptr;
    if (v != nullptr && !PyDict_Check(v)) {
        set_error(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(v);
    Py_XSETREF(as_func(o)->func_annotations, v);
    if (kDeferredAnnotations) Py_CLEAR(as_func(o)->func_annotate);
    return 0;
}

// __annotate__, where annotations are deferred (3.14): None, as for a module
// whose annotations are strings, until a callable is set.
PyObject* get_annotate(PyObject* o, void*) noexcept {
    return none_if_null(as_func(o)->func_annotate);
}

int set_annotate(PyObject* o, PyObject* v, void*) noexcept {
    FuncObject* f = as_func(o);
    if (v == nullptr) {
        set_error(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (v == Py_None) {
        Py_CLEAR(f->func_annotate);
        return 0;
    }
    if (!PyCallable_Check(v)) {
        set_error(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    Py_INCREF(v);
    Py_XSETREF(f->func_annotate, v);
    Py_CLEAR(f->func_annotations);
    return 0;
}

PyObject* get_name(PyObject* o, void*) noexcept {
    return none_if_null(as_func(o)->func_name);
}
PyObject* get_qualname(PyObject* o, void*) noexcept {
    return none_if_null(as_func(o)->func_qualname);
}

int set_text(PyObject*& slot, PyObject* v, const char* what) noexcept {
    if (v == nullptr || !PyUnicode_Check(v)) {
        set_error(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(v);
    Py_XSETREF(slot, v);
    return 0;
}
int set_name(PyObject* o, PyObject* v, void*) noexcept {
    return set_text(as_func(o)->func_name, v, "__name__");
}
int set_qualname(PyObject* o, PyObject* v, void*) noexcept {
    return set_text(as_func(o)->func_qualname, v, "__qualname__");
}

// copy, deepcopy and pickle treat a function as a global: copied as itself,
// pickled by module and qualified name (and refused by pickle when that name
// does not lead back to this very object, as for the interpreter's functions).
PyObject* func_reduce(PyObject* o, PyObject*) noexcept {
    return none_if_null(as_func(o)->func_qualname);
}

PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef func_getset[] = {
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    // Where annotations are not deferred this entry ends the table.
    {kDeferredAnnotations ? "__annotate__" : nullptr, get_annotate, set_annotate, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef func_members[] = {
    {"__doc__", T_OBJECT, offsetof(FuncObject, func_doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FuncObject, func_globals), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FuncObject, func_module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

void ready_func_type() {
    if (FuncType.tp_flags & Py_TPFLAGS_READY) return;
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&FuncType), 1);  // a static type is never freed
    FuncType.tp_name = "vandrel.model.models.string.function";
    FuncType.tp_basicsize = sizeof(FuncObject);
    // NOLINTNEXTLINE(misc-redundant-expression): Py_TPFLAGS_DEFAULT expands to `0 | ... | 0`
    FuncType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                        Py_TPFLAGS_METHOD_DESCRIPTOR;
    FuncType.tp_vectorcall_offset = offsetof(FuncObject, vectorcall);
    FuncType.tp_call = PyVectorcall_Call;
    FuncType.tp_dealloc = func_dealloc;
    FuncType.tp_traverse = func_traverse;
    FuncType.tp_clear = func_clear;
    FuncType.tp_repr = func_repr;
    FuncType.tp_descr_get = func_descr_get;
    FuncType.tp_methods = func_methods;
    FuncType.tp_getset = func_getset;
    FuncType.tp_members = func_members;
    FuncType.tp_dictoffset = offsetof(FuncObject, func_dict);
    FuncType.tp_weaklistoffset = offsetof(FuncObject, func_weakreflist);
    check(PyType_Ready(&FuncType));
}

Ref func_new(const MemberDef& member, PyObject* globals, PyObject* annotations) {
    FuncObject* f = PyObject_GC_New(FuncObject, &FuncType);
    if (f == nullptr) raise_set();
    f->vectorcall = member.impl;
    f->member = &member;
    auto own = [](PyObject* v) {
        Py_XINCREF(v);
        return v;
    };
    f->func_name = own(member.name_str);
    f->func_qualname = own(member.qualname_str);
    f->func_module = own(K.str_module_name);
    f->func_doc = own(Py_None);
    f->func_code = own(member.code);
    f->func_defaults = own(member.defaults ? *member.defaults : nullptr);
    f->func_annotations = own(annotations);
    f->func_annotate = nullptr;
    f->func_globals = own(globals);
    f->func_dict = nullptr;
    f->func_class = nullptr;
    f->func_weakreflist = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

void make_member_strings(MemberDef& member) {
    if (member.tb_name != nullptr) return;  // made by an earlier attempt
    for (int i = 0; i < member.nannotations; ++i) {
        Annotation& a = member.annotations[i];
        if (a.value == nullptr) a.value = Ref::steal(PyUnicode_FromString(a.text)).release();
    }
    if (member.name_str == nullptr) {
        member.name_str = name_of(member.name);
    }
    if (member.qualname_str == nullptr) {
        member.qualname_str = Ref::steal(PyUnicode_FromString(member.qualname)).release();
    }
    std::string tb = std::string("vandrel.model.models.string.") + member.qualname;
    member.tb_name = name_of(tb.c_str());
}

void make_member_code(MemberDef& member) {
    if (member.code != nullptr) return;
    Ref varnames = Ref::steal(PyTuple_New(member.nvars));
    for (int i = 0; i < member.nvars; ++i) {
        PyObject* v = *member.vars[i];
        Py_INCREF(v);
        PyTuple_SET_ITEM(varnames.get(), i, v);
    }
    // Optimised and new-locals; flags the interpreter adds of its own (CO_NOFREE
    // on 3.9) are its business.
    PyCodeObject* code = new_member_code(
        member.nparams, member.nvars, CO_OPTIMIZED | CO_NEWLOCALS, K.empty_bytes, K.empty_tuple,
        varnames.get(), K.str_source_path, member.name_str, member.qualname_str, member.first_line);
    member.code = Ref::steal(reinterpret_cast<PyObject*>(code)).release();
}

}  // namespace vandrel
