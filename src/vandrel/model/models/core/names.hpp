// Process-wide constants of the module: the one table of interned names, texts,
// small integers and default tuples, plus the four built-ins captured at load
// time. Every name the module uses is interned here: the identifiers below by
// the exec phase, any other (names read from tables of the C++ code, such as
// the guard's) by `name_of`, once each.
//
// Everything here is made once by the exec phase and never changed afterwards;
// all pointers are owned by this table for the life of the process.
#pragma once

#include "core/refs.hpp"

namespace vandrel {

// Interned identifiers, named by their value (str_meta is "meta").
// clang-format off
#define VANDREL_IDENTIFIERS(X)                                                             \
    X(meta) X(prefix) X(suffix) X(length) X(self) X(cls) X(d) X(n) X(produce_nans)         \
    X(conditions) X(associations) X(samples) X(is_nan) X(_) X(meta_dict) X(model)         \
    X(_meta) X(_fitted) X(name) X(nan_freq) X(categories) X(pattern) X(xeger) X(Series)   \
    X(random) X(binomial) X(nan) X(arange) X(str) X(zfill) X(to_frame) X(p) X(size)       \
    X(dtype) X(from_dict) X(__init__) X(sample) X(cast) X(Dict) X(List) X(Optional)       \
    X(Sequence) X(np) X(pd) X(rstr) X(numpy) X(pandas) X(typing) X(Association)          \
    X(FormattedString) X(String) X(DiscreteModel) X(NonAssociationModel)                  \
    X(ModelNotFittedError) X(FormattedStringModel) X(SequentialFormattedString)           \
    X(property) X(fget) X(super) X(range) X(object) X(__builtins__) X(__module__)                 \
    X(__qualname__) X(__doc__) X(__orig_bases__) X(__mro_entries__) X(__prepare__)        \
    X(__spec__) X(_initializing) X(__name__) X(__test__) X(loader) X(origin) X(parent)    \
    X(submodule_search_locations) X(__loader__) X(__file__) X(__package__) X(__path__)    \
    X(base) X(exceptions) X(__class_getitem__) X(return)                                    \
    X(_config) X(config) X(_global_config) X(future) X(mode) X(equals) X(tolist)          \
    X(storage) X(array) X(__arrow_array__) X(type) X(pyarrow) X(Array)                    \
    X(_import_from_c_capsule) X(__from_arrow__) X(empty) X(__version__)                     \
    X(arrays) X(StringDtype) X(ArrowStringArray) X(_from_sequence) X(chunks) X(buffers) X(pa)        \
    X(_bit_generator) X(capsule) X(lock) X(acquire) X(release) X(state) X(key) X(pos)     \
    X(RandomState) X(MT19937) X(float64) X(zeros) X(bool_)
// clang-format on

struct Constants {
#define VANDREL_DECLARE(id) PyObject* str_##id;
    VANDREL_IDENTIFIERS(VANDREL_DECLARE)
#undef VANDREL_DECLARE

    // Texts that are not identifiers.
    PyObject* str_module_name;     // "vandrel.model.models.string"
    PyObject* str_source_path;     // "vandrel/model/models/string"
    PyObject* str_init_funcname;   // "init vandrel.model.models.string"
    PyObject* str_assoc_module;    // "vandrel.metadata.rules.association"
    PyObject* str_metadata_value;  // "metadata.value"
    PyObject* str_no_pattern;      // "FormattedStringModel doesn't have a pattern specified."
    PyObject* doc_formatted;       // class documentation strings
    PyObject* doc_sequential;

    PyObject* empty_tuple;
    PyObject* empty_bytes;
    PyObject* empty_str;
    PyObject* int_0;
    PyObject* int_1;

    PyObject* defaults_sample;    // (True, None, None)
    PyObject* defaults_seq_init;  // (None, None, None)
    PyObject* args_binomial;      // (1,)  positional argument of the binomial draw
    PyObject* kw_meta;            // ("meta",)
    PyObject* kw_name;            // ("name",)
    PyObject* kw_name_dtype;      // ("name", "dtype")
    PyObject* kw_p_size;          // ("p", "size")
    PyObject* kw_seq_ctor;        // ("meta", "prefix", "suffix", "length")
    PyObject* dict_key_types;     // (str, object), the subscript of Dict

    // Built-ins captured once from the interpreter's builtins.
    PyObject* builtin_property;
    PyObject* builtin_super;
    PyObject* builtin_range;
    PyObject* builtin_object;
};

extern Constants K;

// Steps 5 and 8 of the module body: interned strings and texts, then the tuples
// (which need the captured `object`). Idempotent across a failed and a retried
// import.
void make_strings();

// The interned str of `text` (borrowed: kept for the life of the process),
// interned once: later calls with the same text return the same object.
// Throws PyErrSet when it cannot be made.
PyObject* name_of(const char* text);
void make_tuples();

}  // namespace vandrel
