// The rows of a streamed program (Program::streamed): a fixed row of ASCII
// characters whose draws take their words in turn from the block: where all
// share one acceptance test, the next words it accepts; for a chained program
// (several tests, in long runs), the words a chain of the draws' tests takes,
// worked out a block at a time from its acceptance bits. No Python.h.
//
//  * `run_stream_rows(p, cursor, out, count, tops)`: `count` rows one after
//    another from `out` (room for them and 8 bytes more), as
//    run_template_rows writes them, from a MaskedCursor whose bits are its
//    block's; `tops` has room for `stream_room(p)` bytes. The top bytes of the
//    words taken are packed a block at a time (mt_accepted_tops) and each
//    row takes the next takes.size() of them. Rows of a vectored program are
//    written as vectors of as many rows as fit where the processor runs
//    AVX512-VBMI.
//  * `run_varied_rows(...)`: rows of a varied program (rows of varying
//    length), chained as above, each written part by part from the top
//    bytes of the words its draws took.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mt/cursor.hpp"
#include "regex/program.hpp"

namespace vandrel::xeger {

inline size_t stream_room(const Program& p) noexcept {
    // (a varied row's run of picks reads up to its most, past the row's draws)
    return (p.varied ? 2 * p.row_draws : p.takes.size()) + mt::MT_N + 64;
}

void run_stream_rows(const Program& p, mt::MaskedCursor& cursor, uint8_t* out, size_t count,
                     uint8_t* tops) noexcept;

// `count` rows of a varied program (Program::varied) one after another from
// `out` (room for count * max_len bytes and 64 more), each row's length to
// `lengths[i]`, from a MaskedCursor whose bits are its block's; `tops` has room
// for `stream_room(p)` bytes. Returns the bytes written.
size_t run_varied_rows(const Program& p, mt::MaskedCursor& cursor, uint8_t* out, size_t count,
                       uint8_t* tops, uint32_t* lengths) noexcept;

}  // namespace vandrel::xeger
