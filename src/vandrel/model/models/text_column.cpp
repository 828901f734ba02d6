// See text_column.hpp.
#include "text_column.hpp"

#include "arrow_strings.hpp"
#include "constants.hpp"

namespace vandrel {

namespace {

// Names, by their value, made once.
struct Names {
    PyObject* str_config_pkg = nullptr;  // "_config"
    PyObject* str_config = nullptr;
    PyObject* str_global_config = nullptr;  // "_global_config"
    PyObject* str_future = nullptr;
    PyObject* str_mode = nullptr;
    PyObject* str_equals = nullptr;
    PyObject* str_tolist = nullptr;
    PyObject* str_storage = nullptr;
    PyObject* str_array = nullptr;
    PyObject* str_arrow_array = nullptr;  // "__arrow_array__"
    PyObject* str_type = nullptr;
    PyObject* str_pyarrow = nullptr;
};
Names names;

void make_names() {
    if (names.str_pyarrow != nullptr) return;
    const std::pair<PyObject**, const char*> all[] = {{&names.str_config_pkg, "_config"},
                                                      {&names.str_config, "config"},
                                                      {&names.str_global_config, "_global_config"},
                                                      {&names.str_future, "future"},
                                                      {&names.str_mode, "mode"},
                                                      {&names.str_equals, "equals"},
                                                      {&names.str_tolist, "tolist"},
                                                      {&names.str_storage, "storage"},
                                                      {&names.str_array, "array"},
                                                      {&names.str_arrow_array, "__arrow_array__"},
                                                      {&names.str_type, "type"},
                                                      {&names.str_pyarrow, "pyarrow"}};
    for (const auto& [slot, text] : all) {
        if (*slot == nullptr) *slot = PyUnicode_InternFromString(text);
        if (*slot == nullptr) raise_set();
    }
}

// A module attribute as `getattr` finds it for these names (in the module's
// dictionary), or an empty Ref when absent.
Ref module_item(PyObject* module, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(module), name);  // borrowed
    if (v == nullptr && PyErr_Occurred()) raise_set();
    return Ref::borrow(v);
}

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

// Whether the attribute `attr` of `o` is the text `expected` (false when absent).
bool str_attr_is(PyObject* o, PyObject* attr, const char* expected) {
    PyObject* v = PyObject_GetAttr(o, attr);
    if (v == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_set();
        PyErr_Clear();
        return false;
    }
    Ref hold = Ref::steal(v);
    return PyUnicode_Check(v) && PyUnicode_CompareWithASCIIString(v, expected) == 0;
}

// The Arrow type of a Series' values ("string", "large_string", ...), or None
// when its dtype keeps them elsewhere (it has no pyarrow `storage`).
Ref arrow_type_name(PyObject* series) {
    make_names();
    Ref dtype = getattr(series, K.str_dtype);
    PyObject* storage = PyObject_GetAttr(dtype.get(), names.str_storage);
    if (storage == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_set();
        PyErr_Clear();
        return Ref::borrow(Py_None);
    }
    Ref hold = Ref::steal(storage);
    if (!PyUnicode_Check(storage) ||
        PyUnicode_Tailmatch(storage, names.str_pyarrow, 0, PY_SSIZE_T_MAX, -1) != 1) {
        return Ref::borrow(Py_None);
    }
    Ref array = getattr(series, names.str_array);
    Ref arrow = call0(getattr(array.get(), names.str_arrow_array).get());
    return Ref::steal(PyObject_Str(getattr(arrow.get(), names.str_type).get()));
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
    make_names();
    Ref ours_dtype = getattr(ours, K.str_dtype);
    Ref dtype = getattr(piped, K.str_dtype);
    if (Py_TYPE(ours_dtype.get()) != Py_TYPE(dtype.get()) ||
        !truth(Ref::steal(PyObject_RichCompare(ours_dtype.get(), dtype.get(), Py_EQ)).get())) {
        return false;
    }
    if (!truth(call1(getattr(ours, names.str_equals).get(), piped).get())) return false;
    Ref mine = call0(getattr(ours, names.str_tolist).get());
    Ref theirs = call0(getattr(piped, names.str_tolist).get());
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
    make_names();
    Ref package = module_item(pd, names.str_config_pkg);
    if (!package || !PyModule_Check(package.get())) return {};
    Ref config = module_item(package.get(), names.str_config);
    if (!config || !PyModule_Check(config.get())) return {};
    Ref table = module_item(config.get(), names.str_global_config);
    if (!table || !PyDict_CheckExact(table.get())) return {};
    Ref future = option_section(table.get(), names.str_future);
    if (!future) return {};
    Ref mode = option_section(table.get(), names.str_mode);
    if (!mode) return {};
    return Ref::steal(PyTuple_Pack(2, future.get(), mode.get()));
}

}  // namespace vandrel
