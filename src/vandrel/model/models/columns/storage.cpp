// See storage.hpp.
#include "columns/storage.hpp"

#include "columns/arrow_strings.hpp"
#include "core/names.hpp"
#include "guard/genuine.hpp"
#include "core/state.hpp"

#include <cstring>

namespace vandrel {

namespace {

// The items of one section of pandas' option table, as a tuple; NULL when the
// section is not a dictionary or holds a value that is not hashable.
Ref option_section(PyObject* table, PyObject* section) {
    Ref options = Ref::borrow(PyDict_GetItemWithError(table, section));
    if (!options && PyErr_Occurred()) raise_set();
    if (!options || !PyDict_CheckExact(options.get())) return {};
    Ref items = Ref::steal(PyDict_Items(options.get()));
    Ref tuple = Ref::steal(PyList_AsTuple(items.get()));
    if (PyObject_Hash(tuple.get()) == -1) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise_set();
        PyErr_Clear();
        return {};
    }
    return tuple;
}

}  // namespace

Ref module_item(PyObject* module, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(module), name);  // borrowed
    if (v == nullptr && PyErr_Occurred()) raise_set();
    return Ref::borrow(v);
}

// The Arrow type of a Series' values ("string", "large_string", ...), or None
// when its dtype keeps them elsewhere (it has no pyarrow `storage`).
Ref arrow_type_name(PyObject* series) {
    Ref dtype = getattr(series, K.str_dtype);
    PyObject* storage = PyObject_GetAttr(dtype.get(), K.str_storage);
    if (storage == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_set();
        PyErr_Clear();
        return Ref::borrow(Py_None);
    }
    Ref hold = Ref::steal(storage);
    if (!PyUnicode_Check(storage) ||
        PyUnicode_Tailmatch(storage, K.str_pyarrow, 0, PY_SSIZE_T_MAX, -1) != 1) {
        return Ref::borrow(Py_None);
    }
    Ref array = getattr(series, K.str_array);
    Ref arrow = call0(getattr(array.get(), K.str___arrow_array__).get());
    return Ref::steal(PyObject_Str(getattr(arrow.get(), K.str_type).get()));
}

bool arrow_chunks_have_validity(PyObject* series) {
    Ref array = getattr(series, K.str_array);
    Ref arrow = call0(getattr(array.get(), K.str___arrow_array__).get());
    Ref chunks = getattr(arrow.get(), K.str_chunks);
    Ref seq = Ref::steal(PySequence_Fast(chunks.get(), "chunks"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        Ref buffers = call0(getattr(PySequence_Fast_GET_ITEM(seq.get(), i), K.str_buffers).get());
        Ref first = Ref::steal(PySequence_GetItem(buffers.get(), 0));
        if (first.get() != Py_None) return true;
    }
    return false;
}

// How a column of the pipeline's `dtype`, whose values have the Arrow type
// `arrow` (None: not Arrow), is built here.
Column column_for(PyObject* arrow) {
    if (arrow == Py_None || arrow_capsule_importer() == nullptr) return Column::objects;
    if (PyUnicode_CompareWithASCIIString(arrow, "large_string") == 0) {
        return Column::arrow_large_string;
    }
    if (PyUnicode_CompareWithASCIIString(arrow, "string") == 0) return Column::arrow_string;
    return Column::objects;  // pandas converts the objects to whatever it keeps
}

// Whether two Series are alike to the last detail the probe can see: dtype
// (type and value), values, exact str items, Arrow type.
bool same_series(PyObject* ours, PyObject* piped, PyObject* piped_arrow) {
    Ref ours_dtype = getattr(ours, K.str_dtype);
    Ref dtype = getattr(piped, K.str_dtype);
    if (Py_TYPE(ours_dtype.get()) != Py_TYPE(dtype.get()) ||
        !truth(Ref::steal(PyObject_RichCompare(ours_dtype.get(), dtype.get(), Py_EQ)).get())) {
        return false;
    }
    if (!truth(call1(getattr(ours, K.str_equals).get(), piped).get())) return false;
    Ref mine = call0(getattr(ours, K.str_tolist).get());
    Ref theirs = call0(getattr(piped, K.str_tolist).get());
    if (!PyList_CheckExact(mine.get()) || !PyList_CheckExact(theirs.get()) ||
        PyList_GET_SIZE(theirs.get()) != 2 ||
        !truth(Ref::steal(PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ)).get())) {
        return false;
    }
    for (Py_ssize_t i = 0; i < 2; ++i) {
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(mine.get(), i)) ||
            !PyUnicode_CheckExact(PyList_GET_ITEM(theirs.get(), i))) {
            return false;
        }
    }
    Ref ours_arrow = arrow_type_name(ours);
    return truth(Ref::steal(PyObject_RichCompare(ours_arrow.get(), piped_arrow, Py_EQ)).get());
}

// The pandas options that may decide the dtype and values of the pipeline's
// column: the sections "future" (infer_string and the other coming defaults) and
// "mode" (string_storage among them), read from the table pandas itself reads,
// which neither warns about deprecated options nor runs any code. NULL when the
// table is not where pandas 2 and 3 keep it.
Ref dtype_options(PyObject* pd) {
    Ref package = module_item(pd, K.str__config);
    if (!package || !PyModule_Check(package.get())) return {};
    Ref config = module_item(package.get(), K.str_config);
    if (!config || !PyModule_Check(config.get())) return {};
    Ref table = module_item(config.get(), K.str__global_config);
    if (!table || !PyDict_CheckExact(table.get())) return {};
    Ref future = option_section(table.get(), K.str_future);
    if (!future) return {};
    Ref mode = option_section(table.get(), K.str_mode);
    if (!mode) return {};
    return Ref::steal(PyTuple_Pack(2, future.get(), mode.get()));
}

namespace {

// Whether `f` is a Python function of a pandas module whose code is its
// source's at `qualname`.
bool pandas_function(PyObject* f, const char* qualname) {
    if (f == nullptr || Py_TYPE(f) != &PyFunction_Type) return false;
    PyObject* code = PyFunction_GET_CODE(f);
    if (S.genuine_functions == nullptr) {
        S.genuine_functions = PyDict_New();
        if (S.genuine_functions == nullptr) raise_set();
    }
    PyObject* known = PyDict_GetItemWithError(S.genuine_functions, f);
    if (known == nullptr && PyErr_Occurred()) raise_set();
    if (known != nullptr) return known == code;
    PyObject* globals = PyFunction_GET_GLOBALS(f);
    PyObject* name = PyDict_GetItemWithError(globals, K.str___name__);
    if (name == nullptr || !PyUnicode_Check(name) ||
        PyUnicode_Tailmatch(name, K.str_pandas, 0, PY_SSIZE_T_MAX, -1) != 1) {
        if (PyErr_Occurred()) raise_set();
        return false;
    }
    PyObject* file = PyDict_GetItemWithError(globals, K.str___file__);
    if (file == nullptr) {
        if (PyErr_Occurred()) raise_set();
        return false;
    }
    if (!xeger::code_from_source(code, file, qualname)) return false;
    check(PyDict_SetItem(S.genuine_functions, f, code));
    return true;
}

// The function under a class attribute (a classmethod's own function).
Ref class_function(PyObject* cls, PyObject* name) {
    Ref v = Ref::steal_or_null(PyObject_GetAttr(cls, name));
    if (!v) {
        PyErr_Clear();
        return {};
    }
    if (PyMethod_Check(v.get())) return Ref::borrow(PyMethod_GET_FUNCTION(v.get()));
    return v;
}

}  // namespace

Ref pipeline_objects(PyObject* pd) {
    PyObject* pa = PyDict_GetItemWithError(PyImport_GetModuleDict(), K.str_pyarrow);
    if (pa == nullptr) {
        if (PyErr_Occurred()) raise_set();
        return Ref::borrow(Py_None);
    }
    Ref not_own = Ref::borrow(Py_False);
    if (!PyModule_CheckExact(pa) || !str_attr_is(pa, K.str___name__, "pyarrow")) return not_own;
    // pyarrow.array: Cython's function of pyarrow.lib (a Python wrapper is a function)
    Ref array = module_item(pa, K.str_array);
    if (!array || Py_TYPE(array.get()) == &PyFunction_Type ||
        std::strstr(Py_TYPE(array.get())->tp_name, "cython_function_or_method") == nullptr ||
        !str_attr_is(array.get(), K.str___module__, "pyarrow.lib") ||
        !str_attr_is(array.get(), K.str___name__, "array")) {
        return not_own;
    }
    Ref series = module_item(pd, K.str_Series);
    Ref arrays = module_item(pd, K.str_arrays);
    Ref dtype = module_item(pd, K.str_StringDtype);
    if (!series || !arrays || !dtype) return not_own;
    Ref string_array = Ref::steal_or_null(PyObject_GetAttr(arrays.get(), K.str_ArrowStringArray));
    if (!string_array) {
        PyErr_Clear();
        return not_own;
    }
    Ref init = class_function(series.get(), K.str___init__);
    Ref from_sequence = class_function(string_array.get(), K.str__from_sequence);
    // (the Arrow columns reach pandas through StringDtype.__from_arrow__, which
    // the steps do not call: a wrapper of it would see calls they do not make)
    Ref from_arrow = class_function(dtype.get(), K.str___from_arrow__);
    if (!init || !from_sequence || !from_arrow || !pandas_function(init.get(), "Series.__init__") ||
        !pandas_function(from_sequence.get(), "ArrowStringArray._from_sequence") ||
        !pandas_function(from_arrow.get(), "StringDtype.__from_arrow__")) {
        return not_own;
    }
    // The pyarrow of sys.modules (where the Arrow buffers are handed over) is
    // the one pandas' string arrays use.
    PyObject* pandas_pa =
        PyDict_GetItemWithError(PyFunction_GET_GLOBALS(from_sequence.get()), K.str_pa);
    if (pandas_pa == nullptr && PyErr_Occurred()) raise_set();
    if (pandas_pa != pa) return not_own;
    return Ref::steal(
        PyTuple_Pack(5, pa, array.get(), init.get(), from_sequence.get(), from_arrow.get()));
}

Ref column_key(PyObject* pd) {
    Ref options = dtype_options(pd);
    if (!options) return {};
    Ref objects = pipeline_objects(pd);
    return Ref::steal(PyTuple_Pack(2, options.get(), objects.get()));
}

}  // namespace vandrel
