// Passes over a compiled program (program.hpp), run by the compiler once a
// pattern's nodes are made:
//
//  * `longest`: the longest row a program can make (past kMaxRow, more than it).
//  * `flatten`: for a program that comes down to one sequence of characters,
//    texts, picks, runs of picks and choices among fixed texts, its steps
//    (Program::flat, Program::steps) and the acceptance tests of their draws
//    (Program::masked, Program::accept), for the runner of such rows; and for
//    a masked program of rows of one length in ASCII, the bytes of a row with
//    its characters in place and the runs of draws that fill it
//    (Program::templated).
#pragma once

#include <cstddef>
#include <cstdint>

#include "regex/program.hpp"

namespace vandrel::xeger {

// Rows longer than this are left to the calls.
constexpr size_t kMaxRow = size_t{1} << 22;

size_t longest(const Program& p, uint32_t root);
void flatten(Program& p);

}  // namespace vandrel::xeger
