// The compiler of the native rows: a pattern, parsed by rstr's own parser, to
// a small program that reproduces what Xeger._handle_state makes of each node.
//
// Anything whose generation could raise (a repeat floor above the repeat
// limit, a node rstr does not know, an empty choice, a group referred to before
// it is certainly set) or that the parser warns about is refused: such a
// pattern keeps going through the call.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/refs.hpp"
#include "guard/validated.hpp"
#include "regex/program.hpp"

namespace vandrel::xeger {

// Parses with rstr's parser and compiles; NULL when the pattern is refused.
std::unique_ptr<Program> compile(const Validated& s, PyObject* pattern);

}  // namespace vandrel::xeger
