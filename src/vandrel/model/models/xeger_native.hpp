// Native rows for FormattedStringModel.sample.
//
// A row is `rstr.xeger(pattern)`. When the `xeger` read for the row is rstr's
// own bound method and everything that call depends on (the Xeger instance and
// its class, rstr's modules, the parser, `random` and its generator, the
// builtins) is still what rstr 3.2.2 and this interpreter's `random` define,
// the row is produced here instead: the same string, from the same words of the
// same Mersenne Twister, drawn in place in the same order. Anything else, a
// pattern whose generation could raise, or one holding something this file
// does not reproduce, makes the row go through the call as before.
#pragma once

#include "arrow_strings.hpp"
#include "refs.hpp"

namespace vandrel {

// The row's value (a new str), or an empty Ref when the caller must make the
// call itself. Throws PyErrSet only for an error the call would have raised at
// the same point (an interrupt while the pattern is parsed, no memory).
Ref xeger_native(PyObject* xeger, PyObject* pattern);

// The same in two halves, for runs of rows: the program of the row
// `xeger(pattern)` once every check has passed (NULL: make the call), and one
// row of it. A program stays valid for further rows until Python code runs
// (nothing a row of it does runs any), so a caller whose own reads between
// rows run none either may make a run of rows from one check.
struct XegerProgram;
const XegerProgram* xeger_native_program(PyObject* xeger, PyObject* pattern);
Ref xeger_native_row(const XegerProgram* program);

// Whether every row of `program` has a UTF-8 form (no surrogate in it), and
// one row written as UTF-8 into `out` (no str made).
bool xeger_native_utf8(const XegerProgram* program);
void xeger_native_row(const XegerProgram* program, ArrowStringBuilder& out);

}  // namespace vandrel
