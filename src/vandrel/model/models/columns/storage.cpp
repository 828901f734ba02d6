// See storage.hpp.
#include "columns/storage.hpp"

#include "columns/arrow_strings.hpp"
#include "core/names.hpp"

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

}  // namespace vandrel
