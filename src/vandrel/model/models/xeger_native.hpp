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

// A row is made in two halves, for runs of rows: the program of the row
// `xeger(pattern)` once every check has passed (NULL: make the call), then
// rows of it. A program stays valid for further rows until Python code runs
// (nothing a row of it does runs any), so a caller whose own reads between
// rows run none either may make a run of rows from one check.
// xeger_native_program throws PyErrSet only for an error the call would have
// raised at the same point (an interrupt while the pattern is parsed, no memory).
struct XegerProgram;
const XegerProgram* xeger_native_program(PyObject* xeger, PyObject* pattern);

// `count` rows of `program`, appended to `list` as str.
void xeger_native_rows(const XegerProgram* program, int64_t count, PyObject* list);

// Whether every row of `program` has a UTF-8 form (no surrogate in it), and
// `count` rows written as UTF-8 into `out` (no str made).
bool xeger_native_utf8(const XegerProgram* program);
// The most UTF-8 bytes a row of `program` can take.
int64_t xeger_native_max_utf8(const XegerProgram* program);
void xeger_native_rows(const XegerProgram* program, int64_t count, ArrowStringBuilder& out);

}  // namespace vandrel
