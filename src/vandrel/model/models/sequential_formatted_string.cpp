// SequentialFormattedString: zero-padded sequential identifiers with an
// optional prefix and suffix, built column-wise with pandas; restored from its
// dictionary form via the host's String.from_dict.
#include "frame/member.hpp"
#include "columns/missing.hpp"
#include "columns/sequential_column.hpp"
#include "frame/lines.hpp"

namespace vandrel {

namespace {

VANDREL_GLOBAL(pd)
VANDREL_GLOBAL(np)
VANDREL_GLOBAL(cast)
VANDREL_GLOBAL(Optional)
VANDREL_GLOBAL(String)

// __init__(self, meta, length=None, prefix=None, suffix=None)
PyObject* sfs_init_impl(PyObject* func, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) noexcept {
    PyObject* a[5];
    if (!bind_arguments(sfs_init, func, args, nargsf, kwnames, a)) return nullptr;
    PyObject *self = a[0], *meta = a[1], *length = a[2], *prefix = a[3], *suffix = a[4];
    if (!exact_or_none(length, &PyLong_Type, "length", "int")) return nullptr;
    if (!exact_or_none(prefix, &PyUnicode_Type, "prefix", "str")) return nullptr;
    if (!exact_or_none(suffix, &PyUnicode_Type, "suffix", "str")) return nullptr;
    return run_body(sfs_init, func, [&](int& line) {
        line = line::sfs_init_super;
        call_super_init(func, self, meta);
        line = line::sfs_init_length;
        setattr(self, K.str_length, length);
        line = line::sfs_init_prefix;
        setattr(self, K.str_prefix, prefix);
        line = line::sfs_init_suffix;
        setattr(self, K.str_suffix, suffix);
        // Fitted once, from the metadata as it is now.
        line = line::sfs_init_fitted_test;
        Ref meta_obj = getattr(self, K.str__meta);
        Ref freq = getattr(meta_obj.get(), K.str_nan_freq);
        line = line::sfs_init_fitted;
        if (freq.get() != Py_None) setattr(self, K.str__fitted, Py_True);
        Py_RETURN_NONE;
    });
}

PyObject* sfs_categories_impl(PyObject* func, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    PyObject* a[1];
    if (!bind_arguments(sfs_categories, func, args, nargsf, kwnames, a)) return nullptr;
    PyObject* self = a[0];
    return run_body(sfs_categories, func, [&](int& line) {
        line = line::sfs_categories_test;
        {
            Ref meta = getattr(self, K.str__meta);
            if (getattr(meta.get(), K.str_categories).get() == Py_None) {
                line = line::sfs_categories_raise;
                raise_not_fitted(func, nullptr);
            }
        }
        line = line::sfs_categories_return;
        Ref meta = getattr(self, K.str__meta);
        return getattr(meta.get(), K.str_categories).release();
    });
}

PyObject* sfs_sample_impl(PyObject* func, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) noexcept {
    PyObject* a[5];
    if (!bind_arguments(sfs_sample, func, args, nargsf, kwnames, a)) return nullptr;
    PyObject *self = a[0], *n = a[1], *produce_nans = a[2], *associations = a[4];
    if (!exact(n, &PyLong_Type, "n", "int")) return nullptr;
    if (!exact_or_none(associations, &PyList_Type, "associations", "list")) return nullptr;
    return run_body(sfs_sample, func, [&](int& line) {
        // The identifiers formatted here when the result is certain; otherwise
        // the pandas pipeline, which takes any attribute the attempt has read.
        SequentialReads reads;
        if (Ref frame = sample_sequential_native(func, self, n, produce_nans, line, reads)) {
            return frame.release();
        }
        // 1-3. pd.Series(np.arange(0, n), name=self.name, dtype=str)
        line = line::sfs_sample_rows;
        Ref samples;
        {
            Ref column;
            {
                Ref pd = lookup_global(global_pd, globals_of(func));
                Ref series = getattr(pd.get(), K.str_Series);
                Ref np = lookup_global(global_np, globals_of(func));
                Ref arange = getattr(np.get(), K.str_arange);
                Ref numbers = call2(arange.get(), K.int_0, n);
                Ref name = reads.take(self, SequentialReads::name, K.str_name);
                PyObject* sargs[] = {numbers.get(), name.get(),
                                     reinterpret_cast<PyObject*>(&PyUnicode_Type)};
                column = call(series.get(), sargs, 1, K.kw_name_dtype);
            }
            // 4-5. samples = column.str.zfill(self.length); the unpadded column
            // goes as soon as it is padded.
            line = line::sfs_sample_length;
            Ref accessor = getattr(column.get(), K.str_str);
            Ref zfill = getattr(accessor.get(), K.str_zfill);
            Ref length = reads.take(self, SequentialReads::length, K.str_length);
            samples = call1(zfill.get(), length.get());
        }
        // 6-7. prefix in front
        line = line::sfs_sample_prefix_test;
        if (reads.take(self, SequentialReads::prefix_test, K.str_prefix).get() != Py_None) {
            line = line::sfs_sample_prefix;
            Ref prefix = reads.take(self, SequentialReads::prefix, K.str_prefix);
            samples = Ref::steal(PyNumber_Add(prefix.get(), samples.get()));
        }
        // 8-9. suffix behind
        line = line::sfs_sample_suffix_test;
        if (reads.take(self, SequentialReads::suffix_test, K.str_suffix).get() != Py_None) {
            line = line::sfs_sample_suffix;
            Ref suffix = reads.take(self, SequentialReads::suffix, K.str_suffix);
            samples = Ref::steal(PyNumber_Add(samples.get(), suffix.get()));
        }
        // 10-12. missing values
        MissingRows missing;
        if (missing.draw(func, self, n, produce_nans, line,
                         {line::sfs_sample_nan_test, line::sfs_sample_nan_draw,
                          line::sfs_sample_nan_assign})) {
            missing.assign(samples.get());
        }
        line = line::sfs_sample_frame;
        Ref to_frame = getattr(samples.get(), K.str_to_frame);
        return call0(to_frame.get()).release();
    });
}

// cast(Optional[<type>], d.get(<key>))
Ref optional_setting(PyObject* func, PyObject* d, PyTypeObject* type, PyObject* key) {
    Ref cast = lookup_global(global_cast, globals_of(func));
    Ref optional = lookup_global(global_Optional, globals_of(func));
    Ref alias = Ref::steal(PyObject_GetItem(optional.get(), reinterpret_cast<PyObject*>(type)));
    PyObject* value = PyDict_GetItemWithError(d, key);  // borrowed
    if (value == nullptr) {
        if (PyErr_Occurred()) raise_set();
        value = Py_None;
    }
    Ref hold = Ref::borrow(value);
    return call2(cast.get(), alias.get(), value);
}

PyObject* sfs_from_dict_impl(PyObject* func, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames) noexcept {
    PyObject* a[2];
    if (!bind_arguments(sfs_from_dict, func, args, nargsf, kwnames, a)) return nullptr;
    PyObject *cls = a[0], *d = a[1];
    if (!exact(d, &PyDict_Type, "d", "dict")) return nullptr;
    return run_body(sfs_from_dict, func, [&](int& line) {
        Ref meta = restore_meta(func, d, global_String, line, line::sfs_from_dict_meta,
                                line::sfs_from_dict_host);
        line = line::sfs_from_dict_prefix;
        Ref prefix = optional_setting(func, d, &PyUnicode_Type, K.str_prefix);
        line = line::sfs_from_dict_suffix;
        Ref suffix = optional_setting(func, d, &PyUnicode_Type, K.str_suffix);
        line = line::sfs_from_dict_length;
        Ref length = optional_setting(func, d, &PyLong_Type, K.str_length);
        line = line::sfs_from_dict_return;
        PyObject* kw[] = {meta.get(), prefix.get(), suffix.get(), length.get()};
        return call(cls, kw, 0, K.kw_seq_ctor).release();
    });
}

}  // namespace

// The members' static descriptions: name, qualified name, first line, parameters
// (all, required), co_varnames, annotations, defaults, implementation.
// clang-format off
MemberDef sfs_init = {
    "__init__", "SequentialFormattedString.__init__", line::sfs_init, 5, 2,
    {&K.str_self, &K.str_meta, &K.str_length, &K.str_prefix, &K.str_suffix}, 5,
    {{&K.str_meta, "String"},
     {&K.str_length, "Optional[int]"},
     {&K.str_prefix, "Optional[str]"},
     {&K.str_suffix, "Optional[str]"}}, 4,
    &K.defaults_seq_init, sfs_init_impl};

MemberDef sfs_categories = {
    "categories", "SequentialFormattedString.categories", line::sfs_categories, 1, 1,
    {&K.str_self}, 1,
    {{&K.str_return, "Sequence[str]"}}, 1,
    nullptr, sfs_categories_impl};

MemberDef sfs_sample = {
    "sample", "SequentialFormattedString.sample", line::sfs_sample, 5, 2,
    {&K.str_self, &K.str_n, &K.str_produce_nans, &K.str_conditions, &K.str_associations,
     &K.str_samples, &K.str_is_nan}, 7,
    {{&K.str_n, "int"},
     {&K.str_produce_nans, "bool"},
     {&K.str_conditions, "Optional[pd.DataFrame]"},
     {&K.str_associations, "Optional[List[Association]]"},
     {&K.str_return, "pd.DataFrame"}}, 5,
    &K.defaults_sample, sfs_sample_impl};

MemberDef sfs_from_dict = {
    "from_dict", "SequentialFormattedString.from_dict", line::sfs_from_dict, 2, 2,
    {&K.str_cls, &K.str_d, &K.str_meta_dict, &K.str_meta, &K.str_model}, 5,
    {{&K.str_d, "Dict[str, object]"}, {&K.str_return, "'SequentialFormattedString'"}}, 2,
    nullptr, sfs_from_dict_impl};
// clang-format on

}  // namespace vandrel
