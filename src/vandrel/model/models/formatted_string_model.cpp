// FormattedStringModel: random strings matching the metadata's pattern, one
// rstr.xeger call per row; restored from its dictionary form via the host's
// FormattedString.from_dict.
#include <algorithm>

#include "core/compat.hpp"
#include "frame/function.hpp"
#include "frame/member.hpp"
#include "columns/missing.hpp"
#include "columns/regex_column.hpp"
#include "regex/rows.hpp"
#include "frame/lines.hpp"

namespace vandrel {

namespace {

VANDREL_GLOBAL(pd)
VANDREL_GLOBAL(rstr)
VANDREL_GLOBAL(FormattedString)

// __init__(self, meta): super().__init__(meta=meta)
PyObject* fsm_init_impl(PyObject* func, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) noexcept {
    PyObject* a[2];
    if (!bind_arguments(fsm_init, func, args, nargsf, kwnames, a)) return nullptr;
    return run_body(fsm_init, func, [&](int& line) {
        line = line::fsm_init_super;
        call_super_init(func, a[0], a[1]);
        Py_RETURN_NONE;
    });
}

// Reads self._meta.<attr> twice; None at the first read raises
// ModelNotFittedError (with `message` if given). Returns the second read.
Ref read_meta_twice(PyObject* func, PyObject* self, PyObject* attr, PyObject* message, int& line,
                    int line_first, int line_raise, int line_second) {
    line = line_first;
    {
        Ref meta = getattr(self, K.str__meta);
        if (getattr(meta.get(), attr).get() == Py_None) {
            line = line_raise;
            raise_not_fitted(func, message);
        }
    }
    line = line_second;
    Ref meta = getattr(self, K.str__meta);
    return getattr(meta.get(), attr);
}

PyObject* fsm_categories_impl(PyObject* func, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    PyObject* a[1];
    if (!bind_arguments(fsm_categories, func, args, nargsf, kwnames, a)) return nullptr;
    return run_body(fsm_categories, func, [&](int& line) {
        return read_meta_twice(func, a[0], K.str_categories, nullptr, line,
                               line::fsm_categories_test, line::fsm_categories_raise,
                               line::fsm_categories_return)
            .release();
    });
}

PyObject* fsm_pattern_impl(PyObject* func, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) noexcept {
    PyObject* a[1];
    if (!bind_arguments(fsm_pattern, func, args, nargsf, kwnames, a)) return nullptr;
    return run_body(fsm_pattern, func, [&](int& line) {
        Ref pattern = read_meta_twice(func, a[0], K.str_pattern, K.str_no_pattern, line,
                                      line::fsm_pattern_test, line::fsm_pattern_raise,
                                      line::fsm_pattern_return);
        PyObject* p = pattern.get();
        if (p != Py_None && Py_TYPE(p) != &PyUnicode_Type) raise_expected_unicode(p);
        return pattern.release();
    });
}

// More Python frames than any call of rstr's xeger opens for a pattern the
// native rows take (nested at most 40 deep, a few frames a level), and more
// C calls than it makes (3.12+ counts them apart).
constexpr int kXegerFrames = 300;

// Rows made between two releases of the interpreter lock: one check, then
// rows with no reads and no checks while nothing can run Python code.
constexpr long long kRunRows = 16384;

// The work between two checks (signals, the reads of a row) and two releases
// of the lock is counted in rows of up to 64 characters: a longer row counts
// as one such row per 64 characters it may write, so that a run writes at
// most about a million characters (1024 rows of 1 KiB), and rows of a million
// characters are checked one by one, as the calls would be.
long long row_cost(const xeger::Program* prog) {
    if (prog == nullptr) return 1;
    const auto units = static_cast<long long>((prog->max_len + 63) / 64);
    return std::max(1LL, std::min(kRunRows, units));
}

// Whether the reads of a row, `rstr` (a global), `rstr.xeger` and
// `self.pattern`, run no code and so give the same objects for every row of a
// run: `rstr` a plain module holding `xeger`, `pattern` this module's own
// property over `self._meta.pattern` with both attributes plain instance
// attributes of objects whose types look them up generically.
bool reads_are_plain(PyObject* self, PyObject* rstr, PyObject* xeger) {
    if (!PyModule_CheckExact(rstr) ||
        PyDict_GetItemWithError(PyModule_GetDict(rstr), K.str_xeger) != xeger) {
        PyErr_Clear();
        return false;
    }
    auto plain_attribute = [](PyObject* obj, PyObject* name) -> PyObject* {
        PyTypeObject* t = Py_TYPE(obj);
        if (t->tp_getattro != PyObject_GenericGetAttr || type_lookup(t, name) != nullptr) {
            return nullptr;
        }
        PyObject** dict = object_dict_ptr(obj);
        if (dict == nullptr || *dict == nullptr || !PyDict_CheckExact(*dict)) return nullptr;
        PyObject* v = PyDict_GetItemWithError(*dict, name);
        if (v == nullptr) PyErr_Clear();
        return v;
    };
    PyTypeObject* t = Py_TYPE(self);
    if (t->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* prop = type_lookup(t, K.str_pattern);
    if (prop == nullptr || Py_TYPE(prop) != &PyProperty_Type) return false;
    Ref fget = Ref::steal_or_null(PyObject_GetAttr(prop, K.str_fget));
    if (!fget) {
        PyErr_Clear();
        return false;
    }
    if (Py_TYPE(fget.get()) != &FuncType ||
        reinterpret_cast<FuncObject*>(fget.get())->member != &fsm_pattern) {
        return false;
    }
    PyObject* meta = plain_attribute(self, K.str__meta);
    return meta != nullptr && plain_attribute(meta, K.str_pattern) != nullptr;
}

// Generates the n rows into `rows` (step 4 of sample).
void generate(PyObject* func, PyObject* self, PyObject* n, XegerColumn& rows) {
    const xeger::Program* run = nullptr;  // the program of the current run of rows
    long long left = 0;                   // rows the run may still make
    long long cost = 1;                   // of a row of the last checked row's program
    auto checked_row = [&] {
        // Interruptible like the interpreter's own loop, whatever xeger is bound to.
        check(PyErr_CheckSignals());
        Ref rstr = lookup_global(global_rstr, globals_of(func));
        Ref xeger = getattr(rstr.get(), K.str_xeger);
        Ref pattern = getattr(self, K.str_pattern);
        // rstr's own xeger, in a state the native rows reproduce: no call needed.
        // Near the recursion limit a real call may end in RecursionError, which a
        // native row would not: there the rows stay calls.
        bool room = frames_left() > kXegerFrames && c_frames_left() > kXegerFrames;
        const xeger::Program* prog =
            room ? xeger::row_program(xeger.get(), pattern.get()) : nullptr;
        if (prog != nullptr) {
            rows.native(prog, 1);
        } else {
            rows.value(call1(xeger.get(), pattern.get()));
        }
        run = prog != nullptr && reads_are_plain(self, rstr.get(), xeger.get()) ? prog : nullptr;
        cost = row_cost(prog);
        left = kRunRows / cost - 1;
    };
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(n, &overflow);
    if (count == -1 && PyErr_Occurred()) raise_set();
    if (overflow == 0) {
        rows.expect(count);
        // Let other threads in now and then (for rows of up to 64 characters, before
        // every row i with i % kRunRows == kRunRows - 1), as the interpreter's
        // loop would, even when xeger is bound to something that never runs
        // bytecode; what they do ends the run.
        long long budget = kRunRows - 1;  // work until the next release
        for (long long i = 0; i < count;) {
            if (budget <= 0) {
                Py_BEGIN_ALLOW_THREADS Py_END_ALLOW_THREADS run = nullptr;
                budget = kRunRows;
            }
            if (run != nullptr && left > 0) {  // the rest of the run, up to the next release
                const long long k = std::min({left, count - i, std::max(1LL, budget / cost)});
                rows.native(run, k);
                left -= k;
                i += k;
                budget -= k * cost;
            } else {
                checked_row();
                ++i;
                budget -= cost;
            }
        }
        return;
    }
    // Beyond 64 bits: iterate the interpreter's range(n) itself.
    Ref range = call1(K.builtin_range, n);
    Ref it = Ref::steal(PyObject_GetIter(range.get()));
    while (Ref item = Ref::steal_or_null(PyIter_Next(it.get()))) {
        if (run != nullptr && left-- > 0) {
            rows.native(run, 1);
        } else {
            checked_row();
        }
    }
    if (PyErr_Occurred()) raise_set();
}

PyObject* fsm_sample_impl(PyObject* func, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) noexcept {
    PyObject* a[5];
    if (!bind_arguments(fsm_sample, func, args, nargsf, kwnames, a)) return nullptr;
    PyObject *self = a[0], *n = a[1], *produce_nans = a[2], *associations = a[4];
    if (!exact(n, &PyLong_Type, "n", "int")) return nullptr;
    if (!exact_or_none(associations, &PyList_Type, "associations", "list")) return nullptr;
    return run_body(fsm_sample, func, [&](int& line) {
        // samples = pd.Series([rstr.xeger(self.pattern) for _ in range(n)], name=self.name)
        line = line::fsm_sample_rows;
        Ref pd = lookup_global(global_pd, globals_of(func));
        Ref series = getattr(pd.get(), K.str_Series);
        XegerColumn rows(pd.get(), series.get());
        generate(func, self, n, rows);
        Ref samples;
        {
            Ref name = getattr(self, K.str_name);
            samples = rows.seal(name.get());  // (none yet: made below, with its missing rows)
        }
        MissingRows missing;
        const bool drawn = missing.draw(
            func, self, n, produce_nans, line,
            {line::fsm_sample_nan_test, line::fsm_sample_nan_draw, line::fsm_sample_nan_assign});
        if (!samples) {
            const int at = line;
            line = line::fsm_sample_rows;
            samples = rows.finish(drawn ? &missing : nullptr);
            line = at;
        } else if (drawn) {
            missing.assign(samples.get());
        }
        line = line::fsm_sample_frame;
        Ref to_frame = getattr(samples.get(), K.str_to_frame);
        return call0(to_frame.get()).release();
    });
}

// from_dict(cls, d): cls(meta=FormattedString.from_dict(cast(Dict[str, object], d["meta"])))
PyObject* fsm_from_dict_impl(PyObject* func, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames) noexcept {
    PyObject* a[2];
    if (!bind_arguments(fsm_from_dict, func, args, nargsf, kwnames, a)) return nullptr;
    PyObject *cls = a[0], *d = a[1];
    if (!exact(d, &PyDict_Type, "d", "dict")) return nullptr;
    return run_body(fsm_from_dict, func, [&](int& line) {
        Ref meta = restore_meta(func, d, global_FormattedString, line, line::fsm_from_dict_meta,
                                line::fsm_from_dict_host);
        line = line::fsm_from_dict_return;
        PyObject* kw[] = {meta.get()};
        return call(cls, kw, 0, K.kw_meta).release();
    });
}

}  // namespace

// The members' static descriptions: name, qualified name, first line, parameters
// (all, required), co_varnames, annotations, defaults, implementation.
// clang-format off
MemberDef fsm_init = {
    "__init__", "FormattedStringModel.__init__", line::fsm_init, 2, 2,
    {&K.str_self, &K.str_meta}, 2,
    {{&K.str_meta, "FormattedString"}}, 1,
    nullptr, fsm_init_impl};

MemberDef fsm_categories = {
    "categories", "FormattedStringModel.categories", line::fsm_categories, 1, 1,
    {&K.str_self}, 1,
    {{&K.str_return, "Sequence[str]"}}, 1,
    nullptr, fsm_categories_impl};

MemberDef fsm_pattern = {
    "pattern", "FormattedStringModel.pattern", line::fsm_pattern, 1, 1,
    {&K.str_self}, 1,
    {{&K.str_return, "str"}}, 1,
    nullptr, fsm_pattern_impl};

MemberDef fsm_sample = {
    "sample", "FormattedStringModel.sample", line::fsm_sample, 5, 2,
    {&K.str_self, &K.str_n, &K.str_produce_nans, &K.str_conditions, &K.str_associations,
     &K.str_samples, &K.str_is_nan, &K.str__}, 8,
    {{&K.str_n, "int"},
     {&K.str_produce_nans, "bool"},
     {&K.str_conditions, "Optional[pd.DataFrame]"},
     {&K.str_associations, "Optional[List[Association]]"},
     {&K.str_return, "pd.DataFrame"}}, 5,
    &K.defaults_sample, fsm_sample_impl};

MemberDef fsm_from_dict = {
    "from_dict", "FormattedStringModel.from_dict", line::fsm_from_dict, 2, 2,
    {&K.str_cls, &K.str_d, &K.str_meta_dict, &K.str_meta, &K.str_model}, 5,
    {{&K.str_d, "Dict[str, object]"}, {&K.str_return, "'FormattedStringModel'"}}, 2,
    nullptr, fsm_from_dict_impl};
// clang-format on

}  // namespace vandrel
