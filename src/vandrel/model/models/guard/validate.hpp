// The whole check of a bound `xeger`: every step of validation, each in the
// file named for what it checks, recording what it read in a Snapshot.
#pragma once

#include "guard/refusal.hpp"
#include "guard/snapshot.hpp"

namespace vandrel::xeger {

// The whole check of one bound `xeger` (function `func`, instance `self`).
// Throws Refuse when the rows must stay calls, PyErrSet for an error of the
// interpreter's own (no memory).
void validate(Snapshot& s, PyObject* func, PyObject* self);

}  // namespace vandrel::xeger
