// SequentialFormattedString.sample without the pandas pipeline's intermediate
// columns: the identifiers are written straight into the storage the pipeline's
// dtype keeps them in, which becomes the one Series of the result: UTF-8 in
// Arrow buffers for pandas' Arrow-backed string dtype (arrow_strings.hpp), else
// Python strings in a numpy object array.
//
// The native path is taken only when its frame is certain to equal the
// pipeline's: `np` and `pd` are the real numpy and pandas, `n` is in range, the
// `length` is a plain int of a sane width, `prefix` and `suffix` are None or
// exact strings that the pipeline keeps whole (no trailing NUL, no lone
// surrogate), the column name is a plain value, and the dtype the pipeline
// ends with under the current pandas options is known (found once per set of
// options by running the pipeline itself on two rows). Attributes are read in
// the pipeline's order and at its lines; as soon as a value read is not one of
// those, the pipeline takes over with the values read so far.
#include "columns/sequential_column.hpp"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "columns/arrow_strings.hpp"
#include "columns/missing.hpp"
#include "columns/storage.hpp"
#include "frame/member.hpp"
#include "frame/lines.hpp"
#include "core/state.hpp"

namespace vandrel {

namespace {

VANDREL_GLOBAL(pd)
VANDREL_GLOBAL(np)

// Widest zero padding formatted here; wider ones go through pandas.
constexpr long kMaxWidth = 4096;
// Rows between two checks for signals (Ctrl-C) while the column is written.
constexpr Py_ssize_t kSignalStride = Py_ssize_t{1} << 16;

// A number in decimal, right-aligned in `digits`: digits[first .. 20), from 0.
struct Decimal {
    char digits[20] = {};
    int first = 19;
    Decimal() noexcept { std::memset(digits, '0', sizeof digits); }
    Py_ssize_t size() const noexcept { return 20 - first; }
    const char* data() const noexcept { return digits + first; }
    // Adds 10^(19 - at), carrying.
    void add_at(int at) noexcept {
        int d = at;
        while (d >= first && digits[d] == '9') digits[d--] = '0';
        if (d < first) first = d;
        if (d >= 0) ++digits[d];
    }
};

PyObject* keep_new(PyObject*& slot, PyObject* value) {
    if (value == nullptr) raise_set();
    if (slot == nullptr) {
        slot = value;
    } else {
        Py_DECREF(value);  // made by another thread in the meantime
    }
    return slot;
}

void make_kept() {
    if (S.kw_series != nullptr) return;
    keep_new(S.sequential_columns, PyDict_New());
    keep_new(S.kw_series, Py_BuildValue("(sss)", "name", "dtype", "copy"));
}

// --- are np and pd the real numpy and pandas? --------------------------------------------------

// pandas 2.x or 3.x, the versions whose pipeline is known here.
bool version_is_2_or_3(PyObject* module) {
    Ref version = module_item(module, K.str___version__);
    PyObject* v = version.get();
    if (v == nullptr || !PyUnicode_CheckExact(v)) return false;
    check(PyUnicode_READY(v));
    if (PyUnicode_GET_LENGTH(v) < 2 || PyUnicode_READ_CHAR(v, 1) != '.') return false;
    Py_UCS4 major = PyUnicode_READ_CHAR(v, 0);
    return major == '2' || major == '3';
}

// Keeps strong references of `values` in `slots`, in place of the ones there.
void remember(std::initializer_list<PyObject**> slots, std::initializer_list<PyObject*> values) {
    const auto* value = values.begin();
    for (PyObject** slot : slots) {
        PyObject* old = *slot;
        Py_INCREF(*value);
        *slot = *value++;
        Py_XDECREF(old);
    }
}

// A numpy function from its C core: `arange` and `empty` of numpy 1.x and 2.x.
bool numpy_builtin(PyObject* f, const char* name) {
    if (f == nullptr || !PyCFunction_Check(f) || !str_attr_is(f, K.str___name__, name)) {
        return false;
    }
    PyObject* core = PyCFunction_GET_SELF(f);
    return core != nullptr && PyModule_Check(core) &&
           (str_attr_is(core, K.str___name__, "numpy._core._multiarray_umath") ||
            str_attr_is(core, K.str___name__, "numpy.core._multiarray_umath"));
}

bool genuine_numpy(PyObject* np) {
    if (!PyModule_CheckExact(np)) return false;
    Ref arange = module_item(np, K.str_arange);
    Ref empty = module_item(np, K.str_empty);
    if (np == S.np && arange.get() == S.np_arange && empty.get() == S.np_empty) return true;
    if (!str_attr_is(np, K.str___name__, "numpy") || !numpy_builtin(arange.get(), "arange") ||
        !numpy_builtin(empty.get(), "empty")) {
        return false;
    }
    remember({&S.np, &S.np_arange, &S.np_empty}, {np, arange.get(), empty.get()});
    return true;
}

bool genuine_pandas(PyObject* pd) {
    if (!PyModule_CheckExact(pd)) return false;
    Ref series = module_item(pd, K.str_Series);
    if (pd == S.pd && series.get() == S.pd_series) return true;
    if (!str_attr_is(pd, K.str___name__, "pandas") || !version_is_2_or_3(pd)) return false;
    // pandas 3 gives its public classes the module "pandas".
    PyObject* cls = series.get();
    if (cls == nullptr || !PyType_Check(cls) || !str_attr_is(cls, K.str___qualname__, "Series") ||
        !(str_attr_is(cls, K.str___module__, "pandas.core.series") ||
          str_attr_is(cls, K.str___module__, "pandas"))) {
        return false;
    }
    remember({&S.pd, &S.pd_series}, {pd, cls});
    return true;
}

// --- the column ----------------------------------------------------------------------------------

// prefix + "0" * width + suffix: the shape of every row whose number has at
// most `width` digits. Concatenated by the interpreter, so it has the kind and
// maximum character that the pipeline's concatenations give.
Ref row_template(Py_ssize_t width, PyObject* prefix, PyObject* suffix) {
    Ref row = Ref::steal(PyUnicode_New(width, 127));
    std::memset(PyUnicode_1BYTE_DATA(row.get()), '0', static_cast<size_t>(width));
    if (prefix != nullptr) row = Ref::steal(PyUnicode_Concat(prefix, row.get()));
    if (suffix != nullptr) row = Ref::steal(PyUnicode_Concat(row.get(), suffix));
    return row;
}

// The object array's items as a C array of references, for as long as it lives.
class ObjectItems {
  public:
    explicit ObjectItems(PyObject* array) {
        check(
            PyObject_GetBuffer(array, &view_, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS));
        if (view_.format == nullptr || std::strcmp(view_.format, "O") != 0 ||
            view_.itemsize != static_cast<Py_ssize_t>(sizeof(PyObject*))) {
            PyBuffer_Release(&view_);  // the destructor of a half-made object does not run
            PyErr_SetString(PyExc_SystemError, "numpy object array without object items");
            raise_set();
        }
    }
    ~ObjectItems() { PyBuffer_Release(&view_); }
    ObjectItems(const ObjectItems&) = delete;
    ObjectItems& operator=(const ObjectItems&) = delete;
    ObjectItems(ObjectItems&&) = delete;
    ObjectItems& operator=(ObjectItems&&) = delete;

    Py_ssize_t size() const { return view_.len / view_.itemsize; }
    // Puts `value` (a new reference, taken over) at `i`, dropping what was there.
    void put(Py_ssize_t i, PyObject* value) const {
        auto** items = static_cast<PyObject**>(view_.buf);
        PyObject* old = items[i];
        items[i] = value;
        Py_XDECREF(old);
    }

  private:
    Py_buffer view_{};
};

// Copies `n` bytes (`to` and `from` apart) eight at a time, the last eight
// overlapping the ones before: a few stores for a short row, no call.
inline void copy_short(char* to, const char* from, Py_ssize_t n) noexcept {
    if (n < 8) {
        for (Py_ssize_t k = 0; k < n; ++k) to[k] = from[k];
        return;
    }
    for (Py_ssize_t k = 0; k < n - 8; k += 8) std::memcpy(to + k, from + k, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
}

// Writes the identifiers of 0 .. count-1 into `array` (a numpy object array of
// `count` items): `prefix` (or nothing), the number zero-padded to `length`
// digits like str.zfill, `suffix` (or nothing).
void write_identifiers(PyObject* array, Py_ssize_t count, Py_ssize_t length, PyObject* prefix,
                       PyObject* suffix) {
    ObjectItems items(array);
    if (items.size() != count) {
        PyErr_SetString(PyExc_SystemError, "numpy object array of an unexpected size");
        raise_set();
    }
    const Py_ssize_t before = prefix != nullptr ? PyUnicode_GET_LENGTH(prefix) : 0;

    Decimal number;

    // The row template of the current field width (the wider of `length` and
    // the number of digits): size, kind, maximum character and data.
    Ref row;
    Py_ssize_t field = 0, size = 0;
    int kind = 0;
    Py_UCS4 maxchar = 0;
    const void* shape = nullptr;

    for (Py_ssize_t i = 0; i < count; ++i) {
        const Py_ssize_t ndigits = number.size();
        const Py_ssize_t wanted = ndigits > length ? ndigits : length;
        if (!row || wanted != field) {
            field = wanted;
            row = row_template(field, prefix, suffix);
            size = PyUnicode_GET_LENGTH(row.get());
            kind = static_cast<int>(PyUnicode_KIND(row.get()));
            maxchar = PyUnicode_MAX_CHAR_VALUE(row.get());
            shape = PyUnicode_DATA(row.get());
        }
        PyObject* text = nullptr;
        if (size == 1) {
            // One character, as the interpreter gives it: its shared latin-1 string.
            text = PyUnicode_FromOrdinal(static_cast<unsigned char>(number.digits[19]));
            if (text == nullptr) raise_set();
        } else {
            text = PyUnicode_New(size, maxchar);
            if (text == nullptr) raise_set();
            void* data = PyUnicode_DATA(text);
            if (kind == PyUnicode_1BYTE_KIND && field <= 20) {
                // The template, then the whole field from the number's zero-padded
                // digits, in copies that the compiler keeps inline.
                auto* row = static_cast<char*>(data);
                copy_short(row, static_cast<const char*>(shape), size);
                copy_short(row + before, number.digits + (20 - field), field);
            } else {
                std::memcpy(data, shape, static_cast<size_t>(size) * static_cast<size_t>(kind));
                const Py_ssize_t at = before + field - ndigits;
                const char* src = number.data();
                switch (kind) {
                    case PyUnicode_1BYTE_KIND:
                        std::memcpy(static_cast<Py_UCS1*>(data) + at, src,
                                    static_cast<size_t>(ndigits));
                        break;
                    case PyUnicode_2BYTE_KIND:
                        for (Py_ssize_t k = 0; k < ndigits; ++k) {
                            static_cast<Py_UCS2*>(data)[at + k] =
                                static_cast<unsigned char>(src[k]);
                        }
                        break;
                    default:
                        for (Py_ssize_t k = 0; k < ndigits; ++k) {
                            static_cast<Py_UCS4*>(data)[at + k] =
                                static_cast<unsigned char>(src[k]);
                        }
                        break;
                }
            }
        }
        items.put(i, text);

        number.add_at(19);  // the next number

        if ((i + 1) % kSignalStride == 0) check(PyErr_CheckSignals());
    }
}

// pd.Series(array, name=name, dtype=dtype, copy=False)
Ref make_series(PyObject* array, PyObject* name, PyObject* dtype) {
    PyObject* args[] = {array, name, dtype, Py_False};
    return call(S.pd_series, args, 1, S.kw_series);
}

// --- identifiers in Arrow buffers ----------------------------------------------------------------

// The bytes of the identifiers of 0 .. count-1 zero-padded to `length`, each with
// `affixes` bytes of prefix and suffix; -1 past what int64 counts.
int64_t identifier_bytes(Py_ssize_t count, Py_ssize_t length, int64_t affixes) {
    int64_t total = 0;
    int64_t start = 0, end = 10;  // the numbers of `digits` digits: [start, end)
    for (int64_t digits = 1; start < count; ++digits) {
        const int64_t rows = (end < count ? end : count) - start;
        const int64_t each = affixes + (digits > length ? digits : length);
        int64_t bytes = 0;
        if (__builtin_mul_overflow(rows, each, &bytes) ||
            __builtin_add_overflow(total, bytes, &total)) {
            return -1;
        }
        start = end;
        end = end > INT64_MAX / 10 ? INT64_MAX : end * 10;
    }
    return total;
}

// The UTF-8 form of `text` (None: empty), valid while `text` lives.
std::string_view utf8_of(PyObject* text) {
    if (text == nullptr) return {};
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) raise_set();
    return {data, static_cast<size_t>(size)};
}

// Writes the identifiers of 0 .. count-1 as rows of `out`: `prefix`, the number
// zero-padded to `length` digits like str.zfill, `suffix` (UTF-8).
void write_utf8_identifiers(ArrowStringBuilder& out, Py_ssize_t count, Py_ssize_t length,
                            std::string_view prefix, std::string_view suffix) {
    Decimal number;
    std::string row;  // prefix, `field` zeros, suffix
    Py_ssize_t field = -1;
    Py_ssize_t next_check = kSignalStride;
    auto rows_done = [&](Py_ssize_t i) {  // interruptible, every kSignalStride rows or so
        if (i < next_check) return;
        check(PyErr_CheckSignals());
        next_check = i + kSignalStride;
    };
    // Whole thousands (the rows from a multiple of 1000 on, all of one width
    // when they are past 999 or padded to 3 digits or more) a block at a
    // time: the block's rows are kept, and for the next thousand only the
    // digits above the last three that changed are set in each, then the
    // block is copied out in one go. Other rows go a decade at a time (the
    // rows up to the next number ending in 0): the row once, copied for the
    // others with their last digit set. Offsets in one go either way.
    constexpr Py_ssize_t kBlock = 1000;
    std::string block;        // kBlock rows of the width `block_field`
    std::string block_upper;  // the digits above the last three the block holds
    Py_ssize_t block_field = -1;
    for (Py_ssize_t i = 0; i < count;) {
        const Py_ssize_t ndigits = number.size();
        const Py_ssize_t wanted = ndigits > length ? ndigits : length;
        if (wanted != field) {
            field = wanted;
            row.assign(prefix).append(static_cast<size_t>(field), '0').append(suffix);
        }
        if (i % kBlock == 0 && count - i >= kBlock && (i > 0 || length >= 3)) {
            const size_t width = row.size(), upper = static_cast<size_t>(field) - 3;
            const size_t at_upper = prefix.size();  // the field's digits above the last three
            std::string now(static_cast<size_t>(field), '0');
            now.replace(static_cast<size_t>(field - ndigits), static_cast<size_t>(ndigits),
                        number.data(), static_cast<size_t>(ndigits));
            now.resize(upper);
            if (block_field != field) {
                block_field = field;
                block.resize(width * kBlock);
                for (Py_ssize_t j = 0; j < kBlock; ++j) {
                    char* r = &block[static_cast<size_t>(j) * width];
                    row.copy(r, width);
                    now.copy(r + at_upper, upper);
                    r[at_upper + upper] = static_cast<char>('0' + j / 100);
                    r[at_upper + upper + 1] = static_cast<char>('0' + j / 10 % 10);
                    r[at_upper + upper + 2] = static_cast<char>('0' + j % 10);
                }
            } else {
                for (size_t d = 0; d < upper; ++d) {
                    if (now[d] == block_upper[d]) continue;
                    for (size_t r = at_upper + d; r < block.size(); r += width) block[r] = now[d];
                }
            }
            block_upper = std::move(now);
            std::memcpy(out.room(static_cast<int64_t>(block.size())), block.data(), block.size());
            out.commit_rows(kBlock, static_cast<int64_t>(width));
            i += kBlock;
            number.add_at(16);  // the next thousand
            rows_done(i);
            continue;
        }
        const int last = number.digits[19] - '0';
        const Py_ssize_t k = std::min<Py_ssize_t>(10 - last, count - i);
        const auto width = static_cast<int64_t>(row.size());
        char* at = out.room(k * width);
        row.copy(at, row.size());
        std::memcpy(at + prefix.size() + (field - ndigits), number.data(),
                    static_cast<size_t>(ndigits));
        const size_t unit = prefix.size() + static_cast<size_t>(field) - 1;  // the last digit
        for (Py_ssize_t j = 1; j < k; ++j) {
            char* copy = at + j * width;
            std::memcpy(copy, at, static_cast<size_t>(width));
            copy[unit] = static_cast<char>('0' + last + j);
        }
        out.commit_rows(k, width);
        i += k;

        number.digits[19] = static_cast<char>('0' + last + k - 1);  // the decade's last number,
        number.add_at(19);                                          // then the next
        rows_done(i);
    }
}

// The identifiers of a column, written and not yet handed to pandas: Arrow
// buffers or a numpy object array of str.
struct Identifiers {
    std::unique_ptr<ArrowStringBuilder> arrow;
    Ref objects;
    explicit operator bool() const noexcept { return arrow || objects; }
};

// The column in Arrow buffers, or none when it is too large to allocate here
// (the pipeline then fails or copes in its own way) or pyarrow is no longer
// the one the dtype was probed with. Without `exact_room` the builder grows as
// it goes, as it does for texts of unknown sizes.
Identifiers arrow_column(Column column, Py_ssize_t count, Py_ssize_t length, PyObject* prefix,
                         PyObject* suffix, bool exact_room) {
    if (arrow_capsule_importer() == nullptr) return {};
    const std::string_view before = utf8_of(prefix), after = utf8_of(suffix);
    const int64_t bytes =
        identifier_bytes(count, length, static_cast<int64_t>(before.size() + after.size()));
    if (bytes < 0) return {};
    Identifiers out;
    out.arrow = std::make_unique<ArrowStringBuilder>(column == Column::arrow_large_string);
    try {
        if (exact_room) out.arrow->reserve(count, bytes);
    } catch (const PyErrSet&) {
        if (!PyErr_ExceptionMatches(PyExc_MemoryError) &&
            !PyErr_ExceptionMatches(PyExc_OverflowError)) {
            throw;
        }
        PyErr_Clear();
        return {};
    }
    write_utf8_identifiers(*out.arrow, count, length, before, after);
    return out;
}

// An object array of `count` items (None); empty when numpy cannot allocate
// it (the pipeline's range then fails with numpy's own words).
Ref object_array(Py_ssize_t count) {
    Ref rows = Ref::steal(PyLong_FromSsize_t(count));
    PyObject* args[] = {rows.get(), reinterpret_cast<PyObject*>(&PyBaseObject_Type)};
    Ref array = Ref::steal_or_null(PyObject_Vectorcall(S.np_empty, args, 2, nullptr));
    if (!array) {
        if (!PyErr_ExceptionMatches(PyExc_MemoryError)) raise_set();
        PyErr_Clear();
    }
    return array;
}

// The same as Python strings in a numpy object array.
Identifiers object_column(Py_ssize_t count, Py_ssize_t length, PyObject* prefix, PyObject* suffix) {
    Identifiers out;
    out.objects = object_array(count);
    if (out.objects) write_identifiers(out.objects.get(), count, length, prefix, suffix);
    return out;
}

Identifiers identifier_values(Column column, Py_ssize_t count, Py_ssize_t length, PyObject* prefix,
                              PyObject* suffix, bool exact_room = true) {
    return column == Column::objects
               ? object_column(count, length, prefix, suffix)
               : arrow_column(column, count, length, prefix, suffix, exact_room);
}

// The Series of the identifiers, named `name`, of `dtype`.
Ref identifier_series(Identifiers& values, PyObject* name, PyObject* dtype) {
    if (values.objects) return make_series(values.objects.get(), name, dtype);
    Ref array = values.arrow->finish(arrow_capsule_importer(), dtype);
    return make_series(array.get(), name, dtype);
}

// The Series of the probe of missing rows: an Arrow array, or a tuple of
// objects put in an object array as the column's are.
Ref probe_series(PyObject* values, PyObject* dtype) {
    if (!PyTuple_Check(values)) return make_series(values, Py_None, dtype);
    Ref array = object_array(PyTuple_GET_SIZE(values));
    if (!array) raise_set();
    ObjectItems items(array.get());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(values); ++i) {
        PyObject* v = PyTuple_GET_ITEM(values, i);
        Py_INCREF(v);
        items.put(i, v);
    }
    return make_series(array.get(), Py_None, dtype);
}

// --- the dtype the pipeline ends with ------------------------------------------------------------

// Runs the pipeline on two rows and the native writing on the same two rows;
// returns (the pipeline's dtype, Column) when both give alike Series, else None.
Ref probe_column(bool with_prefix, bool with_suffix, PyObject* objects) {
    // What the steps reach is not pandas' and pyarrow's own: the steps make
    // the column, unprobed (a probe would show them one more call).
    if (objects == Py_False) return Ref::borrow(Py_None);
    PyObject* p = with_prefix ? K.str_p : nullptr;
    PyObject* s = with_suffix ? K.str_p : nullptr;
    Ref two = Ref::steal(PyLong_FromLong(2));
    Ref piped;
    {
        Ref numbers = call2(S.np_arange, K.int_0, two.get());
        PyObject* args[] = {numbers.get(), Py_None, reinterpret_cast<PyObject*>(&PyUnicode_Type)};
        Ref column = call(S.pd_series, args, 1, K.kw_name_dtype);
        Ref accessor = getattr(column.get(), K.str_str);
        Ref zfill = getattr(accessor.get(), K.str_zfill);
        piped = call1(zfill.get(), two.get());
        if (p != nullptr) piped = Ref::steal(PyNumber_Add(p, piped.get()));
        if (s != nullptr) piped = Ref::steal(PyNumber_Add(piped.get(), s));
    }
    Ref dtype = getattr(piped.get(), K.str_dtype);
    Ref arrow = arrow_type_name(piped.get());
    const Column column = column_for(arrow.get());
    // An Arrow column only where the steps reach pandas' and pyarrow's own
    // functions, and make no validity bitmap (pandas 3's zfill does, for rows
    // with no affix): none is written here.
    if (column != Column::objects &&
        (!PyTuple_Check(objects) || arrow_chunks_have_validity(piped.get()))) {
        return Ref::borrow(Py_None);
    }
    // Written without reserving: the builder's growth is proved here too.
    Identifiers values = identifier_values(column, 2, 2, p, s, false);
    if (!values) return Ref::borrow(Py_None);
    Ref ours = identifier_series(values, Py_None, dtype.get());
    if (!same_series(ours.get(), piped.get(), arrow.get())) return Ref::borrow(Py_None);
    return Ref::steal(Py_BuildValue("(Ol)", dtype.get(), static_cast<long>(column)));
}

// The dtype to build the column with under `options` (column_key: the option
// values and what the steps reach) and how to build it, or NULL when the pipeline's result is not
// one reproduced here.
Ref column_dtype(PyObject* options, bool with_prefix, bool with_suffix, Column& column) {
    Ref key = Ref::steal(Py_BuildValue("(OOO)", options, with_prefix ? Py_True : Py_False,
                                       with_suffix ? Py_True : Py_False));
    Ref known = Ref::borrow(PyDict_GetItemWithError(S.sequential_columns, key.get()));
    if (!known) {
        if (PyErr_Occurred()) raise_set();
        known = probe_column(with_prefix, with_suffix, PyTuple_GET_ITEM(options, 1));
        check(PyDict_SetItem(S.sequential_columns, key.get(), known.get()));
    }
    if (known.get() == Py_None) return {};
    column = static_cast<Column>(PyLong_AsLong(PyTuple_GET_ITEM(known.get(), 1)));
    return Ref::borrow(PyTuple_GET_ITEM(known.get(), 0));
}

// Whether the pipeline puts `affix` (an exact str) into every row as it is,
// whatever the storage: numpy, through which the text goes on its way into an
// object or Python-backed column, drops its trailing NULs, and Arrow refuses to
// encode a lone surrogate (UnicodeEncodeError at the concatenation).
bool affix_kept_whole(PyObject* affix) {
    check(PyUnicode_READY(affix));
    const Py_ssize_t size = PyUnicode_GET_LENGTH(affix);
    const int kind = static_cast<int>(PyUnicode_KIND(affix));
    const void* data = PyUnicode_DATA(affix);
    if (size > 0 && PyUnicode_READ(kind, data, size - 1) == 0) return false;
    if (kind == PyUnicode_1BYTE_KIND) return true;
    for (Py_ssize_t i = 0; i < size; ++i) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch >= 0xD800 && ch <= 0xDFFF) return false;
    }
    return true;
}

// A column name that pandas takes as it is, with no code of its own run.
bool plain_name(PyObject* name) {
    return name == Py_None || PyUnicode_CheckExact(name) || PyLong_CheckExact(name);
}

// Whether memory for the pipeline's range (`count` int64) can be had: when not,
// its np.arange fails with numpy's MemoryError before any attribute is read, so
// the native path gives way before reading any.
bool range_fits(Py_ssize_t count) {
    void* room = PyMem_RawMalloc(static_cast<size_t>(count) * sizeof(int64_t) + 1);
    PyMem_RawFree(room);
    return room != nullptr;
}

// The model's settings as the pipeline reads them (name, length, prefix,
// suffix, at their lines); false as soon as one is not formatted here.
struct Settings {
    PyObject* name = nullptr;  // borrowed from `reads`, as the others
    long width = 0;
    PyObject* prefix = nullptr;  // NULL: none
    PyObject* suffix = nullptr;
};

bool read_settings(PyObject* self, SequentialReads& reads, int& line, Settings& got) {
    got.name = reads.read(self, SequentialReads::name, K.str_name);
    if (!plain_name(got.name)) return false;

    line = line::sfs_sample_length;
    PyObject* length = reads.read(self, SequentialReads::length, K.str_length);
    if (!PyLong_CheckExact(length)) return false;
    int overflow = 0;
    got.width = PyLong_AsLongAndOverflow(length, &overflow);
    if (overflow != 0 || got.width < 0 || got.width > kMaxWidth) return false;

    line = line::sfs_sample_prefix_test;
    if (reads.read(self, SequentialReads::prefix_test, K.str_prefix) != Py_None) {
        line = line::sfs_sample_prefix;
        got.prefix = reads.read(self, SequentialReads::prefix, K.str_prefix);
        if (!PyUnicode_CheckExact(got.prefix) || !affix_kept_whole(got.prefix)) return false;
    }
    line = line::sfs_sample_suffix_test;
    if (reads.read(self, SequentialReads::suffix_test, K.str_suffix) != Py_None) {
        line = line::sfs_sample_suffix;
        got.suffix = reads.read(self, SequentialReads::suffix, K.str_suffix);
        if (!PyUnicode_CheckExact(got.suffix) || !affix_kept_whole(got.suffix)) return false;
    }
    return true;
}

}  // namespace

Ref sample_sequential_native(PyObject* func, PyObject* self, PyObject* n, PyObject* produce_nans,
                             int& line, SequentialReads& reads) {
    // 1. Line 104: pd and np (the pipeline's lookups, in its order), n and the
    // pandas options.
    line = line::sfs_sample_rows;
    make_kept();
    Ref pd = lookup_global(global_pd, globals_of(func));
    if (!genuine_pandas(pd.get())) return {};
    Ref np = lookup_global(global_np, globals_of(func));
    if (!genuine_numpy(np.get())) return {};
    int overflow = 0;
    long long wanted = PyLong_AsLongLongAndOverflow(n, &overflow);
    if (overflow != 0 || (wanted == -1 && PyErr_Occurred())) {
        if (PyErr_Occurred()) raise_set();
        return {};
    }
    // Beyond this numpy refuses the array (as it refuses the pipeline's range).
    if (wanted > static_cast<long long>(PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(void*)))) {
        return {};
    }
    const Py_ssize_t count = wanted > 0 ? static_cast<Py_ssize_t>(wanted) : 0;
    Ref options = column_key(pd.get());
    if (!options || !range_fits(count)) return {};

    // 2. The settings, at the pipeline's lines.
    Settings got;
    if (!read_settings(self, reads, line, got)) return {};
    // A read that changed the options or what the steps reach (a property,
    // say) leaves the column to the steps, under what is in force now.
    Ref now = column_key(pd.get());
    const int same = now ? PyObject_RichCompareBool(now.get(), options.get(), Py_EQ) : 0;
    if (same < 0) raise_set();
    if (same == 0) return {};

    // 3. Line 104 again for the making of the column itself.
    line = line::sfs_sample_rows;
    Column column = Column::objects;
    Ref dtype = column_dtype(options.get(), got.prefix != nullptr, got.suffix != nullptr, column);
    if (!dtype) return {};
    // No rows: the pipeline's Arrow column has no chunk at all.
    if (column != Column::objects && count == 0) return {};
    Identifiers values = identifier_values(column, count, got.width, got.prefix, got.suffix);
    if (!values) return {};

    // 4. Missing values and the frame, as the pipeline makes them. The Series
    // the pipeline has now is made once the mask is known, with its missing
    // rows in it where that is what the assignment would leave; a read of the
    // missing step that changed what the column is made under (options, the
    // functions the steps reach) leaves the mask to the assignment.
    MissingRows missing;
    const bool drawn = missing.draw(
        func, self, n, produce_nans, line,
        {line::sfs_sample_nan_test, line::sfs_sample_nan_draw, line::sfs_sample_nan_assign});
    bool masked = false;
    if (drawn && missing.native() && missing.rows() == static_cast<int64_t>(count)) {
        Ref after = column_key(pd.get());
        const int same = after ? PyObject_RichCompareBool(after.get(), options.get(), Py_EQ) : 0;
        if (same < 0) raise_set();
        masked = same == 1 &&
                 nulls_built_alike(options.get(), dtype.get(), column, missing.nan(), probe_series);
    }
    if (masked && values.arrow) {
        values.arrow->apply_nulls(missing.mask());
    } else if (masked) {
        ObjectItems items(values.objects.get());
        const uint8_t* mask = missing.mask();
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (mask[i] == 0) continue;
            Py_INCREF(missing.nan());
            items.put(i, missing.nan());
        }
    }
    const int at = line;
    line = line::sfs_sample_rows;  // (where the pipeline makes its Series)
    Ref samples = identifier_series(values, got.name, dtype.get());
    line = at;
    if (drawn && !masked) missing.assign(samples.get());
    line = line::sfs_sample_frame;
    Ref to_frame = getattr(samples.get(), K.str_to_frame);
    return call0(to_frame.get());
}

}  // namespace vandrel
