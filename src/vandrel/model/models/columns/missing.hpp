// The missing rows of a sample, the same for both models: the tests of
// `produce_nans` and `nan_freq`, the draw `np.random.binomial(1, p=nan_freq,
// size=n) == 1`, and `samples[is_nan] = np.nan`, at the lines of the member.
//
// The draw is made here from numpy's own generator where numpy's own method
// would make it (guard/numpy_random.hpp), else by numpy's call. A column
// written here then applies the mask itself, as it is handed to pandas
// (`MissingRows::mask`); any other column is a Series already, and the
// mask is assigned to it as the steps assign it (`assign`).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "core/refs.hpp"

namespace vandrel {

// The lines of the steps in the member's source.
struct MissingLines {
    int test, draw, assign;
};

class MissingRows {
  public:
    // Steps 1 and 2, and step 3's reads of `np` and `nan`: false when the
    // tests end the step (no draw, nothing else read).
    bool draw(PyObject* func, PyObject* self, PyObject* n, PyObject* produce_nans, int& line,
              const MissingLines& lines);
    // Whether the draw was made here: mask() then holds it, one byte a row.
    bool native() const noexcept { return !is_nan_; }
    const uint8_t* mask() const noexcept { return mask_.data(); }
    int64_t rows() const noexcept { return static_cast<int64_t>(mask_.size()); }
    // np.nan as step 3 read it.
    PyObject* nan() const noexcept { return nan_.get(); }
    // samples[is_nan] = np.nan on a Series that does not have them yet.
    void assign(PyObject* samples);
    // A mask drawn elsewhere (the probe of columns that apply it).
    void set_native(std::vector<uint8_t> mask, PyObject* nan) {
        mask_ = std::move(mask);
        is_nan_ = Ref();
        nan_ = Ref::borrow(nan);
    }

  private:
    std::vector<uint8_t> mask_;
    Ref is_nan_;  // numpy's own result, or (after assign of a native draw) its array
    Ref nan_;
};

}  // namespace vandrel

#include <functional>

#include "columns/storage.hpp"

namespace vandrel {

// The Series of a column's values (an array, or for objects a tuple of
// them) of `dtype`, as the column makes it.
using MakeSeries = std::function<Ref(PyObject* values, PyObject* dtype)>;

// Whether a column of `dtype` kept as `column` may take its missing rows as
// it is built (ArrowStringBuilder::apply_nulls, or np.nan put in its object
// array; then `make`, the Series) and be what `samples[is_nan] = np.nan`
// makes of the Series built without them: the dtype, the items, the Arrow
// chunks and their buffers byte for byte, memory_usage(deep=True). Found by
// building both for a few masks, once for each `key` (a column_key).
bool nulls_built_alike(PyObject* key, PyObject* dtype, Column column, PyObject* nan,
                       const MakeSeries& make);

}  // namespace vandrel
