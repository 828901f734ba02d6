// Sequential identifiers formatted by the module itself: when numpy and pandas
// are the real ones and the model's settings leave no doubt about what the
// pandas pipeline would give, `sample` writes the final texts straight into the
// storage of the pipeline's own dtype (Arrow buffers, or an object array of
// Python strings) and hands pandas that one column.
#pragma once

#include "core/refs.hpp"

namespace vandrel {

// The model attributes `sample` reads, in the order it reads them. The native
// path reads them one by one; if it then has to give way to the pipeline, the
// pipeline takes the values already read from here instead of reading again.
class SequentialReads {
  public:
    enum Slot { name, length, prefix_test, prefix, suffix_test, suffix, count };

    // The value of `slot`: the one already read, else a fresh read of `attr`.
    Ref take(PyObject* self, Slot slot, PyObject* attr) {
        if (done_[slot]) {
            done_[slot] = false;
            return std::move(value_[slot]);
        }
        return getattr(self, attr);
    }
    // Reads `attr` for `slot` and keeps the value for a later `take`.
    PyObject* read(PyObject* self, Slot slot, PyObject* attr) {
        value_[slot] = getattr(self, attr);
        done_[slot] = true;
        return value_[slot].get();
    }

  private:
    Ref value_[count];
    bool done_[count] = {};
};

// Tries the native path of `sample`. Returns the frame, or an empty Ref when the
// pipeline has to run instead (then `reads` holds what was read so far). Moves
// `line` along with the steps; throws PyErrSet when a step fails.
Ref sample_sequential_native(PyObject* func, PyObject* self, PyObject* n, PyObject* produce_nans,
                             int& line, SequentialReads& reads);

}  // namespace vandrel
