#include "member.hpp"

namespace vandrel {

namespace {
VANDREL_GLOBAL(np)
VANDREL_GLOBAL(ModelNotFittedError)
}  // namespace

Ref super_init(PyObject* func, PyObject* self) {
    PyObject* cls = as_func(func)->func_class;
    if (cls == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell not found");
        raise_set();
    }
    Ref sup = call2(K.builtin_super, cls, self);
    return getattr(sup.get(), K.str___init__);
}

void raise_not_fitted(PyObject* func, PyObject* message) {
    Ref exc = lookup_global(global_ModelNotFittedError, globals_of(func));
    if (message == nullptr) raise_object(exc.get());
    Ref instance = call1(exc.get(), message);
    raise_object(instance.get());
}

void inject_nans(PyObject* func, PyObject* self, PyObject* n, PyObject* produce_nans,
                 PyObject* samples, int& line, int line_test, int line_draw, int line_assign) {
    // 1. produce_nans, then `nan_freq is not None`, then `nan_freq > 0`, each
    //    read afresh and short-circuited.
    line = line_test;
    if (!truth(produce_nans)) return;
    if (getattr(self, K.str_nan_freq).get() == Py_None) return;
    {
        Ref freq = getattr(self, K.str_nan_freq);
        Ref positive = Ref::steal(PyObject_RichCompare(freq.get(), K.int_0, Py_GT));
        if (!truth(positive.get())) return;
    }
    // 2. is_nan = np.random.binomial(1, p=nan_freq, size=n) == 1
    line = line_draw;
    Ref is_nan;
    {
        Ref np = lookup_global(global_np, globals_of(func));
        Ref random = getattr(np.get(), K.str_random);
        Ref binomial = getattr(random.get(), K.str_binomial);
        Ref freq = getattr(self, K.str_nan_freq);
        PyObject* args[] = {K.int_1, freq.get(), n};
        Ref draws = call(binomial.get(), args, 1, K.kw_p_size);
        is_nan = Ref::steal(PyObject_RichCompare(draws.get(), K.int_1, Py_EQ));
    }
    // 3. samples[is_nan] = np.nan
    line = line_assign;
    Ref np = lookup_global(global_np, globals_of(func));
    Ref nan = getattr(np.get(), K.str_nan);
    check(PyObject_SetItem(samples, is_nan.get(), nan.get()));
}

}  // namespace vandrel
