// See regex_column.hpp.
#include "columns/regex_column.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "core/names.hpp"
#include "columns/storage.hpp"
#include "columns/text.hpp"
#include "regex/rows.hpp"
#include "core/state.hpp"

namespace vandrel {

namespace {

// The pd.Series of the real pandas: exactly its class (no subclass).
bool pandas_series(PyObject* series) {
    if (!PyType_Check(series)) return false;
    auto* t = reinterpret_cast<PyTypeObject*>(series);
    if (std::strcmp(t->tp_name, "Series") != 0) return false;
    PyObject* module = PyDict_GetItemWithError(t->tp_dict, K.str___module__);
    if (module == nullptr) {
        PyErr_Clear();
        return false;
    }
    // pandas 3 names the class under its public module
    return PyUnicode_Check(module) &&
           (PyUnicode_CompareWithASCIIString(module, "pandas.core.series") == 0 ||
            PyUnicode_CompareWithASCIIString(module, "pandas") == 0);
}

// Runs `pd.Series(["ab", "cd"])` and builds the same two rows in Arrow; returns
// (dtype, Column) when the two Series are alike and Arrow-backed, and what the
// steps reach is pandas' and pyarrow's own (`objects`), else None.
Ref probe(PyObject* series, PyObject* objects) {
    // Not pandas' and pyarrow's own, or no pyarrow: the steps' list, unprobed
    // (a probe would show them one more call). Without pyarrow there is
    // nothing to hand Arrow buffers to anyway.
    if (!PyTuple_Check(objects)) return Ref::borrow(Py_None);
    Ref texts = Ref::steal(Py_BuildValue("[ss]", "ab", "cd"));
    Ref piped = call1(series, texts.get());
    Ref arrow = arrow_type_name(piped.get());
    const Column column = column_for(arrow.get());
    if (column == Column::objects) return Ref::borrow(Py_None);
    Ref dtype = getattr(piped.get(), K.str_dtype);
    ArrowStringBuilder b(column == Column::arrow_large_string);
    for (const char* row : {"ab", "cd"}) {
        std::memcpy(b.room(2), row, 2);
        b.commit(2);
    }
    Ref array = b.finish(arrow_capsule_importer(), dtype.get());
    Ref ours = call1(series, array.get());
    if (!same_series(ours.get(), piped.get(), arrow.get())) return Ref::borrow(Py_None);
    return Ref::steal(Py_BuildValue("(Ol)", dtype.get(), static_cast<long>(column)));
}

}  // namespace

XegerColumn::XegerColumn(PyObject* pd, PyObject* series) : pd_(pd), series_(series) {
    // 1. Arrow only for the real pandas, under options (and with the steps'
    // own functions) seen before or probed now.
    Ref options = PyModule_CheckExact(pd) && pandas_series(series) ? column_key(pd) : Ref();
    if (options && arrow_capsule_importer() != nullptr) {
        if (S.regex_columns == nullptr) {
            S.regex_columns = PyDict_New();
            if (S.regex_columns == nullptr) raise_set();
        }
        Ref key = Ref::steal(PyTuple_Pack(2, options.get(), series));
        Ref known = Ref::borrow(PyDict_GetItemWithError(S.regex_columns, key.get()));
        if (!known) {
            if (PyErr_Occurred()) raise_set();
            known = probe(series, PyTuple_GET_ITEM(options.get(), 1));
            check(PyDict_SetItem(S.regex_columns, key.get(), known.get()));
        }
        if (known.get() != Py_None) {
            key_ = std::move(options);
            dtype_ = Ref::borrow(PyTuple_GET_ITEM(known.get(), 0));
            column_ = static_cast<Column>(PyLong_AsLong(PyTuple_GET_ITEM(known.get(), 1)));
            arrow_ = std::make_unique<ArrowStringBuilder>(column_ == Column::arrow_large_string);
            importer_ = arrow_capsule_importer();
            return;
        }
    }
    // 2. The steps' own list.
    list_ = Ref::steal(PyList_New(0));
}

void XegerColumn::expect(int64_t rows) {
    expected_ = rows;
    constexpr int64_t kMaxRows = int64_t{1} << 24;  // beyond, the list grows as rows come
    if (arrow_ || PyList_GET_SIZE(list_.get()) != 0 || rows <= 0 || rows > kMaxRows) return;
    Ref sized = Ref::steal_or_null(PyList_New(static_cast<Py_ssize_t>(rows)));
    if (!sized) {  // only a hint: the list grows as rows come
        PyErr_Clear();
        return;
    }
    Py_SET_SIZE(sized.get(), 0);  // empty, with room for `rows` items (all NULL)
    list_ = std::move(sized);
}

// Room for the rows still expected, at their longest, once; only a hint: past
// its bounds, or when the memory is not there, the buffers grow as rows come.
void XegerColumn::reserve_for(const xeger::Program* program) {
    reserved_ = true;
    constexpr int64_t kMaxRows = int64_t{1} << 24, kMaxBytes = int64_t{1} << 28;
    const int64_t rows = std::min(expected_ - arrow_->rows(), kMaxRows);
    const int64_t width = utf8_width(program->maxchar) * static_cast<int64_t>(program->max_len);
    if (rows <= 0 || width > kMaxBytes / rows) return;
    try {
        arrow_->reserve(rows, rows * width + 64);  // (64: the slack of templated and varied rows)
    } catch (const PyErrSet&) {
        PyErr_Clear();
    }
}

namespace {

// `count` rows of `prog` appended to `list` as str.
void rows_to_list(const xeger::Program& prog, int64_t count, PyObject* list) {
    auto append = [&](auto* buffer) {
        using Char = std::remove_pointer_t<decltype(buffer)>;
        xeger::run_rows<Char>(
            prog, count, [&] { return buffer; },
            [&](const Char* at, size_t len) {
                Ref text = make_str(at, len);
                check(PyList_Append(list, text.get()));
            });
    };
    if (prog.maxchar < 0x80) {
        append(xeger::row_buffer<uint8_t>(prog));
    } else {
        append(xeger::row_buffer<uint32_t>(prog));
    }
}

// `count` rows of `prog` (no surrogate in any) written as UTF-8 into `out`:
// ASCII rows in place, others converted row by row.
void rows_to_arrow(const xeger::Program& prog, int64_t count, ArrowStringBuilder& out) {
    if (prog.varied) {  // rows of varying length, a stretch at a time
        const auto most = static_cast<int64_t>(prog.max_len);
        constexpr int64_t kStretch = 4096, kSlack = 64;
        uint32_t lengths[kStretch];
        for (int64_t done = 0; done < count;) {
            const int64_t k = std::min(kStretch, count - done);
            out.room_rows(k);  // (before the draws: a failed growth then loses no rows)
            auto* at = reinterpret_cast<uint8_t*>(out.room(k * most + kSlack));
            xeger::run_varied(prog, k, at, lengths);
            out.commit_lengths(lengths, k);
            done += k;
        }
        return;
    }
    if (prog.maxchar < 0x80 && prog.fixed && prog.max_len > 0) {
        // Rows of one length, written one after another, their offsets in one
        // go for each stretch of rows.
        const auto width = static_cast<int64_t>(prog.max_len);
        constexpr int64_t kStretch = 4096;
        for (int64_t done = 0; done < count;) {
            const int64_t k = std::min(kStretch, count - done);
            out.room_rows(k);  // (before the draws, as above)
            auto* at = reinterpret_cast<uint8_t*>(out.room(k * width));
            if (prog.templated && out.room_left() >= k * width + 8) {
                xeger::run_template(prog, k, at);
                out.commit_rows(k, width);
                done += k;
                continue;
            }
            xeger::run_rows<uint8_t>(
                prog, k,
                [&] {
                    uint8_t* row = at;
                    at += width;
                    return row;
                },
                [](const uint8_t*, size_t) {});
            out.commit_rows(k, width);
            done += k;
        }
        return;
    }
    if (prog.maxchar < 0x80) {
        const auto max_len = static_cast<int64_t>(prog.max_len);
        xeger::run_rows<uint8_t>(
            prog, count, [&] { return reinterpret_cast<uint8_t*>(out.room(max_len)); },
            [&](const uint8_t*, size_t len) { out.commit(static_cast<int64_t>(len)); });
        return;
    }
    auto* text = xeger::row_buffer<uint32_t>(prog);
    const int64_t width = utf8_width(prog.maxchar);
    xeger::run_rows<uint32_t>(
        prog, count, [&] { return text; },
        [&](const uint32_t*, size_t len) {
            auto* at =
                reinterpret_cast<unsigned char*>(out.room(width * static_cast<int64_t>(len)));
            out.commit(put_utf8(at, text, len) - at);
        });
}

}  // namespace

void XegerColumn::native(const xeger::Program* program, int64_t count) {
    if (!arrow_) {
        rows_to_list(*program, count, list_.get());
    } else if (!program->surrogates) {
        if (!reserved_) reserve_for(program);
        rows_to_arrow(*program, count, *arrow_);
    } else {  // rows that may hold a surrogate: as str, each taken as a call's
        Ref texts = Ref::steal(PyList_New(0));
        rows_to_list(*program, count, texts.get());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(texts.get()); ++i) {
            value(Ref::borrow(PyList_GET_ITEM(texts.get(), i)));
        }
    }
}

void XegerColumn::value(Ref v) {
    // A text with a lone surrogate has no UTF-8 form: pandas makes of it what
    // it makes. Found without asking for one, which would make an exception
    // object (and so perhaps a collection, running Python code mid-run).
    if (arrow_ && PyUnicode_CheckExact(v.get()) && !has_surrogate(v.get())) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(v.get(), &size);
        if (utf8 == nullptr) raise_set();
        called_.emplace_back(arrow_->rows(), Ref::borrow(v.get()));
        if (size > 0) std::memcpy(arrow_->room(size), utf8, static_cast<size_t>(size));
        arrow_->commit(size);
        return;
    }
    if (arrow_) to_list();
    check(PyList_Append(list_.get(), v.get()));
}

// From Arrow rows to the steps' list: the objects calls gave, native rows as str.
void XegerColumn::to_list() {
    Ref list = Ref::steal(PyList_New(0));
    auto call = called_.begin();
    for (int64_t i = 0; i < arrow_->rows(); ++i) {
        if (call != called_.end() && call->first == i) {
            check(PyList_Append(list.get(), call->second.get()));
            ++call;
            continue;
        }
        auto [data, size] = arrow_->row(i);
        Ref text = Ref::steal(PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), nullptr));
        check(PyList_Append(list.get(), text.get()));
    }
    called_.clear();
    arrow_.reset();
    list_ = std::move(list);
}

Ref XegerColumn::seal(PyObject* name) {
    if (arrow_ && arrow_->rows() == 0) to_list();  // no rows: pandas' dtype of an empty list
    if (arrow_) {
        // The steps build the Series now: under the options in force now, with
        // the functions in place now. Anything changed since the column
        // began leaves the rows to them.
        Ref now = column_key(pd_);
        const int same = now ? PyObject_RichCompareBool(now.get(), key_.get(), Py_EQ) : 0;
        if (same < 0) raise_set();
        if (same == 0) to_list();
    }
    if (arrow_) {
        name_ = Ref::borrow(name);
        return {};
    }
    PyObject* args[] = {list_.get(), name};
    return call(series_, args, 1, K.kw_name);
}

Ref XegerColumn::finish(MissingRows* missing) {
    // The missing rows in the buffers only while what the Series is made
    // under is still what it was at seal(), and where the probe found the
    // Series alike.
    bool masked = false;
    if (missing != nullptr && missing->native() && missing->rows() == arrow_->rows()) {
        Ref now = column_key(pd_);
        const int same = now ? PyObject_RichCompareBool(now.get(), key_.get(), Py_EQ) : 0;
        if (same < 0) raise_set();
        PyObject* series = series_;
        masked = same == 1 && nulls_built_alike(key_.get(), dtype_.get(), column_, missing->nan(),
                                                [series](PyObject* values, PyObject*) {
                                                    return call1(series, values);
                                                });
    }
    if (masked) arrow_->apply_nulls(missing->mask());
    Ref rows = arrow_->finish(importer_, dtype_.get());
    PyObject* args[] = {rows.get(), name_.get()};
    Ref samples = call(series_, args, 1, K.kw_name);
    if (missing != nullptr && !masked) missing->assign(samples.get());
    return samples;
}

}  // namespace vandrel
