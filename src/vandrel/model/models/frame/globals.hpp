// Module globals at call time: the module namespace first, then the
// interpreter's builtins, else NameError. A lookup is cached for as long as
// neither dictionary has changed (their version tags), so a rebinding of a
// module attribute is seen by the very next use.
#pragma once

#include <cstdint>

#include "core/refs.hpp"

namespace vandrel {

// One cache slot per global name used by a member.
struct GlobalSlot {
    PyObject* const* name;  // address of the interned name in the constants table
    PyObject* globals;      // identity of the namespace the value was cached from (not a reference)
    uint64_t dict_version;  // version tags seen when `value` was cached
    uint64_t builtins_version;
    PyObject* value;  // borrowed from one of the two dictionaries
};

// Returns a new reference to the global's current value in `globals` (the
// calling function's namespace), then the builtins.
Ref lookup_global(GlobalSlot& slot, PyObject* globals);

// Uncached lookup, used while the module body runs.
Ref lookup_global_uncached(PyObject* name, PyObject* globals);

}  // namespace vandrel
