// Traceback entries of the module: one per failing member or module body,
// carrying the source path, a function name and a source line.
#pragma once

#include "core/refs.hpp"

namespace vandrel {

// Adds an entry for the error currently set. `funcname` is borrowed (a constant
// of the module); `globals` is the namespace the frame reports. Never fails: if
// the entry cannot be made the original error is left as it was.
void add_traceback(PyObject* funcname, int line, PyObject* globals) noexcept;

}  // namespace vandrel
