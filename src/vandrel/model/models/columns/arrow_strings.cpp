// Arrow string columns handed to pyarrow by the C data interface's PyCapsules
// (see arrow_strings.hpp for who owns what, and when).
#include "columns/arrow_strings.hpp"

#include "core/names.hpp"
#include "core/state.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vandrel {

namespace {

// --- the pyarrow that pandas loaded
// ---------------------------------------------------------------

}  // namespace

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

PyObject* arrow_capsule_importer() {
    PyObject* module =
        PyDict_GetItemWithError(PyImport_GetModuleDict(), K.str_pyarrow);  // borrowed
    if (module == nullptr) {
        if (PyErr_Occurred()) raise_set();
        return nullptr;
    }
    if (!PyModule_CheckExact(module)) return nullptr;
    PyObject* array_type = PyDict_GetItemWithError(PyModule_GetDict(module), K.str_Array);
    if (array_type == nullptr) {
        if (PyErr_Occurred()) raise_set();
        return nullptr;
    }
    if (module == S.arrow_module && array_type == S.arrow_array_type) return S.arrow_importer;
    // pyarrow's extension class (immutable, so its importer stays what it is).
    if (!str_attr_is(module, K.str___name__, "pyarrow") || !PyType_Check(array_type) ||
        !str_attr_is(array_type, K.str___module__, "pyarrow.lib") ||
        (reinterpret_cast<PyTypeObject*>(array_type)->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0) {
        return nullptr;
    }
    PyObject* importer = PyObject_GetAttr(array_type, K.str__import_from_c_capsule);
    if (importer == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_set();
        PyErr_Clear();  // a pyarrow older than the capsule protocol (14)
        return nullptr;
    }
    if (!PyCallable_Check(importer)) {
        Py_DECREF(importer);
        return nullptr;
    }
    Py_INCREF(module);
    Py_INCREF(array_type);
    Py_XDECREF(S.arrow_module);
    Py_XDECREF(S.arrow_array_type);
    Py_XDECREF(S.arrow_importer);
    S.arrow_module = module;
    S.arrow_array_type = array_type;
    S.arrow_importer = importer;  // owned by `kept`, lent to the caller
    return importer;
}

// --- the builder
// ----------------------------------------------------------------------------------

ArrowStringBuilder::~ArrowStringBuilder() {
    PyMem_RawFree(validity_);
    PyMem_RawFree(offsets_);
    PyMem_RawFree(data_);
}

// The most bytes the offsets can address.
int64_t ArrowStringBuilder::data_limit() const noexcept {
    return large_ ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int32_t>::max();
}

namespace {

// PyMem_RawRealloc, then, for a buffer of 4 MiB or more, the advice to back it
// with huge pages where the kernel leaves that to the program (as numpy does
// for its arrays): one fault per 2 MiB written instead of one per 4 KiB.
void* regrow(void* p, size_t bytes) {
    void* grown = PyMem_RawRealloc(p, bytes);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr size_t kPage = 4096, kHuge = size_t{4} << 20;
    if (grown != nullptr && bytes >= kHuge) {
        const auto address = reinterpret_cast<uintptr_t>(grown);
        char* begin = static_cast<char*>(grown) + (kPage - address % kPage) % kPage;
        char* end = static_cast<char*>(grown) + bytes - (address + bytes) % kPage;
        (void)madvise(begin, static_cast<size_t>(end - begin), MADV_HUGEPAGE);  // advice only
    }
#endif
    return grown;
}

}  // namespace

void ArrowStringBuilder::resize(int64_t rows_cap, int64_t data_cap) {
    const int64_t width = large_ ? 8 : 4;
    if (data_cap > data_limit()) {
        PyErr_SetString(PyExc_OverflowError, "text too long for an Arrow string column");
        raise_set();
    }
    if (rows_cap >= PY_SSIZE_T_MAX / width || data_cap >= PY_SSIZE_T_MAX) {
        PyErr_NoMemory();
        raise_set();
    }
    if (rows_cap != rows_cap_ || offsets_ == nullptr) {
        void* grown = regrow(offsets_, static_cast<size_t>((rows_cap + 1) * width));
        if (grown == nullptr) {
            PyErr_NoMemory();
            raise_set();
        }
        if (offsets_ == nullptr) std::memset(grown, 0, static_cast<size_t>(width));  // offset 0
        offsets_ = grown;
        rows_cap_ = rows_cap;
    }
    if (data_cap != data_cap_ || data_ == nullptr) {
        // At least one byte: an Arrow buffer pointer may not be NULL.
        void* grown = regrow(data_, static_cast<size_t>(data_cap > 0 ? data_cap : 1));
        if (grown == nullptr) {
            PyErr_NoMemory();
            raise_set();
        }
        data_ = static_cast<char*>(grown);
        data_cap_ = data_cap;
    }
}

void ArrowStringBuilder::reserve(int64_t rows, int64_t bytes) {
    if (rows < 0 || bytes < 0) return;
    const int64_t rows_cap = rows_ + rows, data_cap = used_ + bytes;  // never less than now
    resize(rows_cap > rows_cap_ ? rows_cap : rows_cap_,
           data_cap > data_cap_ ? data_cap : data_cap_);
}

void ArrowStringBuilder::grow_data(int64_t max_bytes) {
    const int64_t wanted = max_bytes > data_limit() - used_ ? data_limit() + 1 : used_ + max_bytes;
    const int64_t doubled = data_cap_ > data_limit() / 2 ? data_limit() : data_cap_ * 2;
    resize(rows_cap_, wanted > doubled ? wanted : doubled);
}

void ArrowStringBuilder::grow_rows() {
    resize(rows_cap_ > 0 ? rows_cap_ * 2 : 64, data_cap_);
}

namespace {

// The rows `mask` marks (bytes 0 or 1), eight at a time.
int64_t count_marked(const uint8_t* mask, int64_t rows) noexcept {
    int64_t marked = 0, i = 0;
    while (rows - i >= 8) {
        uint64_t lanes = 0;  // eight byte-wide sums, 255 words at most
        const int64_t words = std::min<int64_t>((rows - i) / 8, 255);
        for (int64_t w = 0; w < words; ++w, i += 8) {
            uint64_t word = 0;
            std::memcpy(&word, mask + i, 8);
            lanes += word;
        }
        const uint64_t pairs =
            (lanes & 0x00FF00FF00FF00FFULL) + ((lanes >> 8) & 0x00FF00FF00FF00FFULL);
        marked += static_cast<int64_t>((pairs * 0x0001000100010001ULL) >> 48);
    }
    for (; i < rows; ++i) marked += mask[i];
    return marked;
}

}  // namespace

int64_t ArrowStringBuilder::apply_nulls(const uint8_t* mask) {
    const int64_t nulls = count_marked(mask, rows_);
    if (nulls == 0 || validity_ != nullptr) return 0;
    const auto bytes = static_cast<size_t>((rows_ + 7) / 8);
    validity_ = static_cast<uint8_t*>(PyMem_RawMalloc(bytes > 0 ? bytes : 1));
    if (validity_ == nullptr) {
        PyErr_NoMemory();
        raise_set();
    }
    // The validity bits, eight rows a byte (the bits past the last row 0).
    for (int64_t byte = 0; byte < static_cast<int64_t>(bytes); ++byte) {
        uint8_t bits = 0;
        const int64_t first = byte * 8, last = std::min<int64_t>(first + 8, rows_);
        for (int64_t i = first; i < last; ++i) {
            bits |= static_cast<uint8_t>((mask[i] ^ 1U) << (i - first));
        }
        validity_[byte] = bits;
    }
    // Each stretch of kept rows moved down in one go, its offsets shifted by
    // the bytes dropped before it.
    auto compact = [&](auto* offsets) {
        using Offset = std::remove_pointer_t<decltype(offsets)>;
        const int64_t rows = rows_;
        char* const data = data_;
        Offset dropped = 0;
        int64_t i = 0;
        while (i < rows) {
            if (mask[i] != 0) {
                const Offset begin = offsets[i];
                while (i < rows && mask[i] != 0) {
                    offsets[i] = begin - dropped;
                    ++i;
                }
                dropped += offsets[i] - begin;
                continue;
            }
            const Offset begin = offsets[i];
            const int64_t first = i;
            while (i < rows && mask[i] == 0) ++i;
            const Offset end = offsets[i];
            if (dropped != 0) {
                for (int64_t j = first; j < i; ++j) offsets[j] -= dropped;
                std::memmove(data + begin - dropped, data + begin,
                             static_cast<size_t>(end - begin));
            }
        }
        offsets[rows] -= dropped;
        return static_cast<int64_t>(offsets[rows]);
    };
    used_ = large_ ? compact(static_cast<int64_t*>(offsets_))
                   : compact(static_cast<int32_t*>(offsets_));
    nulls_ = nulls;
    return nulls;
}

// --- the hand-off
// ---------------------------------------------------------------------------------

namespace {

// What an ArrowArray of the builder owns: its buffer table and both buffers.
struct Owned {
    const void* buffers[3];  // validity (or none), offsets, data
    void* validity;          // owned, or NULL
    void* offsets;           // owned
    void* data;              // owned
};

void release_array(ArrowArray* array) noexcept {
    auto* owned = static_cast<Owned*>(array->private_data);
    PyMem_RawFree(owned->validity);
    PyMem_RawFree(owned->offsets);
    PyMem_RawFree(owned->data);
    PyMem_RawFree(owned);
    array->release = nullptr;
}

void release_schema(ArrowSchema* schema) noexcept {
    schema->release = nullptr;  // format and name are static texts
}

void schema_capsule_destructor(PyObject* capsule) noexcept {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (schema == nullptr) {
        PyErr_WriteUnraisable(capsule);
        return;
    }
    if (schema->release != nullptr) schema->release(schema);
    PyMem_Free(schema);
}

void array_capsule_destructor(PyObject* capsule) noexcept {
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
    if (array == nullptr) {
        PyErr_WriteUnraisable(capsule);
        return;
    }
    if (array->release != nullptr) array->release(array);
    PyMem_Free(array);
}

// A capsule holding `schema` (taken over: released and freed by the capsule,
// or here when the capsule cannot be made).
Ref schema_capsule(bool large) {
    auto* schema = static_cast<ArrowSchema*>(PyMem_Malloc(sizeof(ArrowSchema)));
    if (schema == nullptr) {
        PyErr_NoMemory();
        raise_set();
    }
    *schema =
        ArrowSchema{large ? "U" : "u", "",     nullptr, ARROW_FLAG_NULLABLE, 0, nullptr, nullptr,
                    release_schema,    nullptr};
    PyObject* capsule = PyCapsule_New(schema, "arrow_schema", schema_capsule_destructor);
    if (capsule == nullptr) {
        PyMem_Free(schema);
        raise_set();
    }
    return Ref::steal(capsule);
}

// A capsule holding an ArrowArray over `owned` (taken over as above).
Ref array_capsule(Owned* owned, int64_t rows, int64_t nulls) {
    auto* array = static_cast<ArrowArray*>(PyMem_Malloc(sizeof(ArrowArray)));
    if (array == nullptr) {
        ArrowArray bare{};
        bare.private_data = owned;
        release_array(&bare);
        PyErr_NoMemory();
        raise_set();
    }
    *array =
        ArrowArray{rows, nulls, 0, 3, 0, owned->buffers, nullptr, nullptr, release_array, owned};
    PyObject* capsule = PyCapsule_New(array, "arrow_array", array_capsule_destructor);
    if (capsule == nullptr) {
        release_array(array);
        PyMem_Free(array);
        raise_set();
    }
    return Ref::steal(capsule);
}

}  // namespace

Ref ArrowStringBuilder::finish(PyObject* importer, PyObject* dtype) {
    // 1. Empty buffers when nothing was reserved or written; room reserved and
    //    not used goes back (the array keeps its buffers as long as it lives).
    if (offsets_ == nullptr || data_ == nullptr) resize(rows_cap_, data_cap_);
    constexpr int64_t kSlack = 1 << 16;
    if (rows_cap_ - rows_ > kSlack || data_cap_ - used_ > kSlack) resize(rows_, used_);
    // 2. The schema's capsule; the buffers are still the builder's.
    Ref schema = schema_capsule(large_);
    // 3. The buffers move into the array's private data, and that into its capsule.
    auto* owned = static_cast<Owned*>(PyMem_RawMalloc(sizeof(Owned)));
    if (owned == nullptr) {
        PyErr_NoMemory();
        raise_set();
    }
    owned->validity = std::exchange(validity_, nullptr);
    owned->offsets = std::exchange(offsets_, nullptr);
    owned->data = std::exchange(data_, nullptr);
    owned->buffers[0] = owned->validity;
    owned->buffers[1] = owned->offsets;
    owned->buffers[2] = owned->data;
    const int64_t rows = std::exchange(rows_, 0);
    const int64_t nulls = std::exchange(nulls_, 0);
    rows_cap_ = used_ = data_cap_ = 0;
    Ref array = array_capsule(owned, rows, nulls);
    // 4. pyarrow takes the buffers; pandas wraps its array.
    Ref arrow = call2(importer, schema.get(), array.get());
    Ref from_arrow = getattr(dtype, K.str___from_arrow__);
    return call1(from_arrow.get(), arrow.get());
}

}  // namespace vandrel
