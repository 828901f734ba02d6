// See missing.hpp.
#include "columns/missing.hpp"

#include <cstdio>
#include <cstring>

#include "columns/arrow_strings.hpp"
#include "core/state.hpp"

#include "frame/member.hpp"
#include "guard/numpy_random.hpp"

namespace vandrel {

namespace {

VANDREL_GLOBAL(np)

// numpy.zeros of the loaded numpy, for the mask of a native draw as the
// array the assignment takes: a C function of numpy's core.
PyObject* numpy_zeros() {
    PyObject* numpy = PyDict_GetItemWithError(PyImport_GetModuleDict(), K.str_numpy);
    if (numpy == nullptr || !PyModule_CheckExact(numpy)) return nullptr;
    PyObject* zeros = PyDict_GetItemWithError(PyModule_GetDict(numpy), K.str_zeros);
    if (zeros == nullptr || !PyCFunction_Check(zeros)) return nullptr;
    PyObject* core = PyCFunction_GET_SELF(zeros);
    if (core == nullptr || !PyModule_Check(core)) return nullptr;
    const char* name = PyModule_GetName(core);
    if (name == nullptr || (std::strcmp(name, "numpy._core._multiarray_umath") != 0 &&
                            std::strcmp(name, "numpy.core._multiarray_umath") != 0)) {
        return nullptr;
    }
    return zeros;
}

}  // namespace

bool MissingRows::draw(PyObject* func, PyObject* self, PyObject* n, PyObject* produce_nans,
                       int& line, const MissingLines& lines) {
    // 1. produce_nans, then `nan_freq is not None`, then `nan_freq > 0`, each
    //    read afresh and short-circuited.
    line = lines.test;
    if (!truth(produce_nans)) return false;
    if (getattr(self, K.str_nan_freq).get() == Py_None) return false;
    {
        Ref freq = getattr(self, K.str_nan_freq);
        Ref positive = Ref::steal(PyObject_RichCompare(freq.get(), K.int_0, Py_GT));
        if (!truth(positive.get())) return false;
    }
    // 2. is_nan = np.random.binomial(1, p=nan_freq, size=n) == 1
    line = lines.draw;
    {
        Ref np = lookup_global(global_np, globals_of(func));
        Ref random = getattr(np.get(), K.str_random);
        Ref binomial = getattr(random.get(), K.str_binomial);
        Ref freq = getattr(self, K.str_nan_freq);
        // Drawn here only where the array for a later assignment can be made.
        if (numpy_zeros() == nullptr || !numpy_binomial_one(binomial.get(), freq.get(), n, mask_)) {
            if (PyErr_Occurred()) raise_set();
            mask_.clear();
            // binomial(1, p=nan_freq, size=n): the 1 is the item of the constant argument tuple
            PyObject* args[] = {PyTuple_GET_ITEM(K.args_binomial, 0), freq.get(), n};
            Ref draws = call(binomial.get(), args, 1, K.kw_p_size);
            is_nan_ = Ref::steal(PyObject_RichCompare(draws.get(), K.int_1, Py_EQ));
        }
    }
    // 3. (the reads of) samples[is_nan] = np.nan
    line = lines.assign;
    Ref np = lookup_global(global_np, globals_of(func));
    nan_ = getattr(np.get(), K.str_nan);
    return true;
}

void MissingRows::assign(PyObject* samples) {
    if (!is_nan_) {
        PyObject* zeros = numpy_zeros();
        if (zeros == nullptr) {
            PyErr_SetString(PyExc_SystemError, "numpy.zeros is gone");
            raise_set();
        }
        Ref size = Ref::steal(PyLong_FromSsize_t(static_cast<Py_ssize_t>(mask_.size())));
        Ref array = call2(zeros, size.get(), reinterpret_cast<PyObject*>(&PyBool_Type));
        Py_buffer view{};
        check(PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS));
        if (view.len == static_cast<Py_ssize_t>(mask_.size())) {
            if (!mask_.empty()) std::memcpy(view.buf, mask_.data(), mask_.size());
        }
        const bool sized = view.len == static_cast<Py_ssize_t>(mask_.size());
        PyBuffer_Release(&view);
        if (!sized) {
            PyErr_SetString(PyExc_SystemError, "numpy bool array of an unexpected size");
            raise_set();
        }
        is_nan_ = std::move(array);
    }
    // Held as a Python function holds a local during `local[key] = value`:
    // once by its name (the caller's reference) and once as the operand of the
    // store. pandas tells an assignment to a named object from a chained one by
    // counting these references, so it sees what this is.
    Ref operand = Ref::borrow(samples);
    check(PyObject_SetItem(operand.get(), is_nan_.get(), nan_.get()));
}

}  // namespace vandrel

namespace vandrel {

namespace {

// The comparison of two Series to the last byte of their Arrow buffers, in
// Python for what it reads of pyarrow's objects.
constexpr const char* kAlike = R"(
def alike(a, b):
    if type(a.dtype) is not type(b.dtype) or a.dtype != b.dtype or len(a) != len(b):
        return False
    for x, y in zip(a.tolist(), b.tolist()):
        if type(x) is not type(y) or (x != y if type(x) is str else x is not y):
            return False
    if a.memory_usage(deep=True) != b.memory_usage(deep=True):
        return False
    x, y = getattr(a.array, "_pa_array", None), getattr(b.array, "_pa_array", None)
    if x is None and y is None:
        return True
    if type(x) is not type(y) or x.type != y.type or x.num_chunks != y.num_chunks:
        return False
    for c, d in zip(x.chunks, y.chunks):
        if c.offset != d.offset or c.null_count != d.null_count:
            return False
        for e, f in zip(c.buffers(), d.buffers()):
            if (e is None) != (f is None):
                return False
            if e is not None and (e.size != f.size or e.to_pybytes() != f.to_pybytes()):
                return False
    return True
)";

PyObject* alike_function() {
    static PyObject* alike = nullptr;  // NOLINT: made once, kept for the process
    if (alike != nullptr) return alike;
    Ref globals = Ref::steal(PyDict_New());
    check(PyDict_SetItemString(globals.get(), "__builtins__", S.builtins_dict));
    Ref code =
        Ref::steal(Py_CompileString(kAlike, "<vandrel.model.models.string probe>", Py_file_input));
    Ref done = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
    PyObject* f = PyDict_GetItemString(globals.get(), "alike");
    if (f == nullptr) raise_set();
    Py_INCREF(f);
    alike = f;
    return alike;
}

// Rows "r0", "r1", ... with the masked ones null (np.nan in an object
// array); the Series `make` makes.
Ref probe_rows(Column column, PyObject* dtype, const std::vector<uint8_t>* mask, int64_t rows,
               PyObject* nan, const MakeSeries& make) {
    if (column == Column::objects) {
        Ref array = Ref::steal(PyList_New(0));
        for (int64_t i = 0; i < rows; ++i) {
            Ref text = Ref::steal(PyUnicode_FromFormat("r%lld", static_cast<long long>(i)));
            check(PyList_Append(array.get(), mask != nullptr && (*mask)[i] ? nan : text.get()));
        }
        Ref objects = Ref::steal(PyList_AsTuple(array.get()));
        return make(objects.get(), dtype);
    }
    ArrowStringBuilder b(column == Column::arrow_large_string);
    for (int64_t i = 0; i < rows; ++i) {
        char text[24];
        const int size = std::snprintf(text, sizeof text, "r%lld", static_cast<long long>(i));
        std::memcpy(b.room(size), text, static_cast<size_t>(size));
        b.commit(size);
    }
    if (mask != nullptr) b.apply_nulls(mask->data());
    Ref array = b.finish(arrow_capsule_importer(), dtype);
    return make(array.get(), dtype);
}

bool probe_nulls(PyObject* dtype, Column column, PyObject* nan, const MakeSeries& make) {
    if ((column != Column::objects && arrow_capsule_importer() == nullptr) ||
        numpy_zeros() == nullptr) {
        return false;
    }
    PyObject* alike = alike_function();
    const int64_t rows = 19;  // (three bytes of validity, the last one partly)
    std::vector<std::vector<uint8_t>> masks(3, std::vector<uint8_t>(rows, 0));
    for (int64_t i = 0; i < rows; ++i) {
        masks[0][i] = (i % 3 == 1 || i == 18) ? 1 : 0;
        masks[1][i] = 1;
        masks[2][i] = i == 0 ? 1 : 0;
    }
    masks.emplace_back(rows, 0);
    for (const auto& mask : masks) {
        Ref ours = probe_rows(column, dtype, &mask, rows, nan, make);
        Ref theirs = probe_rows(column, dtype, nullptr, rows, nan, make);
        MissingRows m;
        m.set_native(mask, nan);
        m.assign(theirs.get());
        if (!truth(call2(alike, ours.get(), theirs.get()).get())) return false;
    }
    return true;
}

}  // namespace

bool nulls_built_alike(PyObject* key, PyObject* dtype, Column column, PyObject* nan,
                       const MakeSeries& make) {
    if (S.masked_columns == nullptr) {
        S.masked_columns = PyDict_New();
        if (S.masked_columns == nullptr) raise_set();
    }
    Ref entry = Ref::steal(Py_BuildValue("(OOlO)", key, dtype, static_cast<long>(column),
                                         reinterpret_cast<PyObject*>(Py_TYPE(nan))));
    PyObject* known = PyDict_GetItemWithError(S.masked_columns, entry.get());
    if (known == nullptr) {
        if (PyErr_Occurred()) raise_set();
        bool same = false;
        // Only a float NaN is what a null row reads back as.
        if (PyFloat_CheckExact(nan) && PyFloat_AS_DOUBLE(nan) != PyFloat_AS_DOUBLE(nan)) {
            try {
                same = probe_nulls(dtype, column, nan, make);
            } catch (const PyErrSet&) {
                PyErr_Clear();
                same = false;
            }
        }
        known = same ? Py_True : Py_False;
        check(PyDict_SetItem(S.masked_columns, entry.get(), known));
    }
    return known == Py_True;
}

}  // namespace vandrel
