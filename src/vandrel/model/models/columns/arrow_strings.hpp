// A column of texts written straight into Arrow buffers and handed to pandas as
// an array of its Arrow-backed string dtype, through the Arrow C data interface:
// nothing of Arrow is linked and pyarrow is never imported here (the pyarrow that
// pandas loaded is found in sys.modules).
//
// Ownership, from the first byte written to the last reference dropped:
//
//  * `ArrowStringBuilder` owns its two buffers (offsets, UTF-8 data) until
//    `finish`; a builder destroyed before that (an error thrown on the way)
//    frees them.
//  * `finish` moves both buffers into the private data of one `ArrowArray`,
//    whose `release` callback frees them and the private data, once, and marks
//    the struct released. The `ArrowArray` and its `ArrowSchema` travel in the
//    PyCapsules "arrow_array" and "arrow_schema"; pyarrow's import moves their
//    contents out (leaving them released), and a capsule's destructor releases
//    whatever was not moved (an import that failed) before freeing the struct.
//  * From then on the buffers belong to the pyarrow array, and to the pandas
//    array over it: the last of them to go calls `release`, on whatever thread
//    it runs (the callback needs no interpreter lock).
//  * The builder is empty after `finish`, whether it succeeded or threw.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

#include "core/refs.hpp"

// The Arrow C data interface, as its ABI defines it.
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

extern "C" {
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};
}

#endif  // ARROW_C_DATA_INTERFACE

namespace vandrel {

// pyarrow's `Array._import_from_c_capsule` of the pyarrow that pandas has
// loaded (a borrowed reference, kept for the process), or NULL when there is
// none or it does not look like pyarrow's own (then the caller falls back).
PyObject* arrow_capsule_importer();

// Whether the attribute `attr` of `o` is the text `expected` (false when absent).
bool str_attr_is(PyObject* o, PyObject* attr, const char* expected);

// Rows of UTF-8 text, null where apply_nulls makes them so: Arrow `string` (int32 offsets) or
// `large_string` (int64 offsets). Usage:
//
//     ArrowStringBuilder b(large);
//     b.reserve(rows, bytes);            // optional, exact sizes give one allocation each
//     char* at = b.room(max_bytes);      // space for one row
//     ... write up to max_bytes of UTF-8 at `at` ...
//     b.commit(used);                    // the row is the `used` bytes written
//     Ref array = b.finish(dtype);       // pandas array of `dtype`
//
// The bytes are not checked: a row must be valid UTF-8. Every method throws
// PyErrSet (MemoryError, OverflowError past int32 offsets) with the error set.
class ArrowStringBuilder {
  public:
    explicit ArrowStringBuilder(bool large) noexcept : large_(large) {}
    ~ArrowStringBuilder();
    ArrowStringBuilder(const ArrowStringBuilder&) = delete;
    ArrowStringBuilder& operator=(const ArrowStringBuilder&) = delete;
    ArrowStringBuilder(ArrowStringBuilder&&) = delete;
    ArrowStringBuilder& operator=(ArrowStringBuilder&&) = delete;

    // Room for `rows` rows and `bytes` bytes in all, beyond what is written.
    void reserve(int64_t rows, int64_t bytes);

    // Where the next row goes, with at least `max_bytes` writable bytes and
    // room for its offset: once it returns, a commit of that row cannot fail.
    char* room(int64_t max_bytes) {
        if (rows_ == rows_cap_) grow_rows();
        if (max_bytes > data_cap_ - used_) grow_data(max_bytes);
        return data_ + used_;
    }
    // Room for the offsets of `rows` more rows: asked for before rows are drawn
    // that commit_rows or commit will end, so that no growth fails after the draws.
    void room_rows(int64_t rows) {
        while (rows_cap_ - rows_ < rows) grow_rows();
    }
    // The bytes writable at `room()`.
    int64_t room_left() const noexcept { return data_cap_ - used_; }
    // Ends the row: the first `used` (at most the `max_bytes` asked for) bytes at
    // `room()` are its text.
    void commit(int64_t used) {
        if (rows_ == rows_cap_) grow_rows();
        used_ += used;
        ++rows_;
        if (large_) {
            static_cast<int64_t*>(offsets_)[rows_] = used_;
        } else {
            static_cast<int32_t*>(offsets_)[rows_] = static_cast<int32_t>(used_);
        }
    }

    // Ends `rows` rows of `width` bytes each, written one after another at
    // `room()` (asked for rows * width bytes): their offsets in one go.
    void commit_rows(int64_t rows, int64_t width) {
        while (rows_cap_ - rows_ < rows) grow_rows();
        const int64_t used = used_;  // (a local: the stores cannot alias it)
        if (large_) {
            auto* at = static_cast<int64_t*>(offsets_) + rows_;
            for (int64_t k = 1; k <= rows; ++k) at[k] = used + k * width;
        } else {
            auto* at = static_cast<int32_t*>(offsets_) + rows_;
            for (int64_t k = 1; k <= rows; ++k) at[k] = static_cast<int32_t>(used + k * width);
        }
        rows_ += rows;
        used_ += rows * width;
    }

    // Ends `rows` rows of lengths[0 .. rows) bytes, written one after another
    // at `room()` (asked for their bytes, and room_rows for them, before).
    void commit_lengths(const uint32_t* lengths, int64_t rows) {
        room_rows(rows);  // (made already: nothing grows here)
        int64_t used = used_;
        if (large_) {
            auto* at = static_cast<int64_t*>(offsets_) + rows_ + 1;
            for (int64_t k = 0; k < rows; ++k) at[k] = used += lengths[k];
        } else {
            auto* at = static_cast<int32_t*>(offsets_) + rows_ + 1;
            for (int64_t k = 0; k < rows; ++k) at[k] = static_cast<int32_t>(used += lengths[k]);
        }
        rows_ += rows;
        used_ = used;
    }

    int64_t rows() const noexcept { return rows_; }
    // The bytes of row `i` (below rows()), valid until the next write.
    std::pair<const char*, int64_t> row(int64_t i) const noexcept {
        int64_t begin = large_ ? static_cast<const int64_t*>(offsets_)[i]
                               : static_cast<const int32_t*>(offsets_)[i];
        int64_t end = large_ ? static_cast<const int64_t*>(offsets_)[i + 1]
                             : static_cast<const int32_t*>(offsets_)[i + 1];
        return {data_ + begin, end - begin};
    }

    // Makes the rows where mask[i] is set (i below rows()) null, leaving what
    // pyarrow's replace_with_mask leaves: a validity bitmap of exactly the
    // rows' bits (none when no row is null), null rows of no bytes, the data of
    // the others in order. Returns the rows made null.
    int64_t apply_nulls(const uint8_t* mask);

    // The rows as a pyarrow array (through `importer`, see arrow_capsule_importer)
    // turned into the pandas array of `dtype` by `dtype.__from_arrow__`.
    Ref finish(PyObject* importer, PyObject* dtype);

  private:
    int64_t data_limit() const noexcept;
    void grow_data(int64_t max_bytes);
    void grow_rows();
    void resize(int64_t rows_cap, int64_t data_cap);

    bool large_;
    void* offsets_ = nullptr;      // owned: rows_cap_ + 1 offsets, the first 0
    char* data_ = nullptr;         // owned: data_cap_ bytes
    uint8_t* validity_ = nullptr;  // owned: (rows_ + 7) / 8 bytes once rows are null
    int64_t nulls_ = 0;
    int64_t rows_ = 0, rows_cap_ = 0;
    int64_t used_ = 0, data_cap_ = 0;
};

}  // namespace vandrel
