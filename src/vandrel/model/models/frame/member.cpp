#include "frame/member.hpp"

namespace vandrel {

namespace {
VANDREL_GLOBAL(ModelNotFittedError)
VANDREL_GLOBAL(cast)
VANDREL_GLOBAL(Dict)

// The attribute `__init__` that super(cls, self) finds: the first class after
// `cls` in type(self).__mro__ whose own dictionary holds it. Borrowed; NULL when
// the walk does not apply (then the real super object is asked).
PyObject* next_init_in_mro(PyObject* cls, PyObject* self) {
    PyObject* mro = Py_TYPE(self)->tp_mro;
    if (mro == nullptr) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(mro), i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != cls) ++i;
    for (++i; i < n; ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        if (dict == nullptr) continue;
        PyObject* found = PyDict_GetItemWithError(dict, K.str___init__);
        if (found != nullptr) return found;
        if (PyErr_Occurred()) raise_set();
    }
    return nullptr;
}

}  // namespace

void call_super_init(PyObject* func, PyObject* self, PyObject* meta) {
    PyObject* cls = as_func(func)->func_class;
    if (cls == nullptr) {
        set_error(PyExc_RuntimeError, "super(): __class__ cell not found");
        raise_set();
    }
    // The built-in super on an instance of `cls`: walk the MRO as it would and
    // call a plain function with `self` in front, sparing the super object and
    // the bound method. Everything else goes through the captured super itself.
    if (K.builtin_super == reinterpret_cast<PyObject*>(&PySuper_Type) && !PyType_Check(self) &&
        PyType_Check(cls) &&
        PyType_IsSubtype(Py_TYPE(self), reinterpret_cast<PyTypeObject*>(cls))) {
        Ref mro = Ref::borrow(Py_TYPE(self)->tp_mro);  // kept alive while we walk and call
        Ref init = Ref::borrow(next_init_in_mro(cls, self));
        if (init && PyFunction_Check(init.get())) {
            PyObject* args[] = {self, meta};
            call(init.get(), args, 1, K.kw_meta);
            return;
        }
        if (init) {
            descrgetfunc get = Py_TYPE(init.get())->tp_descr_get;
            if (get != nullptr) {
                init =
                    Ref::steal(get(init.get(), self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
            }
            PyObject* args[] = {meta};
            call(init.get(), args, 0, K.kw_meta);
            return;
        }
    }
    Ref sup = call2(K.builtin_super, cls, self);
    Ref init = getattr(sup.get(), K.str___init__);
    PyObject* args[] = {meta};
    call(init.get(), args, 0, K.kw_meta);
}

void raise_not_fitted(PyObject* func, PyObject* message) {
    Ref exc = lookup_global(global_ModelNotFittedError, globals_of(func));
    if (message == nullptr) raise_object(exc.get());
    Ref instance = call1(exc.get(), message);
    raise_object(instance.get());
}

Ref restore_meta(PyObject* func, PyObject* d, GlobalSlot& host_class, int& line, int line_meta,
                 int line_from_dict) {
    // meta_dict = cast(Dict[str, object], d["meta"])
    line = line_meta;
    Ref meta_dict;
    {
        Ref cast = lookup_global(global_cast, globals_of(func));
        Ref dict_alias = lookup_global(global_Dict, globals_of(func));
        Ref type = Ref::steal(PyObject_GetItem(dict_alias.get(), K.dict_key_types));
        PyObject* value = PyDict_GetItemWithError(d, K.str_meta);  // borrowed
        if (value == nullptr) {
            if (PyErr_Occurred()) raise_set();
            raise_key_error(K.str_meta);
        }
        Ref hold = Ref::borrow(value);  // keep it alive through cast()
        meta_dict = call2(cast.get(), type.get(), value);
    }
    // meta = <host class>.from_dict(meta_dict)
    line = line_from_dict;
    Ref host = lookup_global(host_class, globals_of(func));
    Ref from_dict = getattr(host.get(), K.str_from_dict);
    return call1(from_dict.get(), meta_dict.get());
}

}  // namespace vandrel
