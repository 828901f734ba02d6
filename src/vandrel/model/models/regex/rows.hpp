// The rows' one boundary to the columns: native rows for
// FormattedStringModel.sample.
//
// A row is `rstr.xeger(pattern)`. When the `xeger` read for the row is rstr's
// own bound method and everything that call depends on (the Xeger instance and
// its class, rstr's modules, the parser, `random` and its generator, the
// builtins) is still what rstr 3.2.2 and this interpreter's `random` define,
// the row is produced here instead: the same string, from the same words of the
// same Mersenne Twister, drawn in place in the same order. Anything else, a
// pattern whose generation could raise, or one holding something this file
// does not reproduce, makes the row go through the call as before.
//
// A row is made in two halves, for runs of rows: the program of the row
// `xeger(pattern)` once every check has passed (`row_program`; NULL: make the
// call), then rows of it (`run_rows`), written as code points where the column
// says. A program stays valid for further rows until Python code runs (nothing
// a row of it does runs any), so a caller whose own reads between rows run
// none either may make a run of rows from one check. The column turns the
// code points into what it keeps (str objects, UTF-8).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/refs.hpp"
#include "mt/generator.hpp"
#include "regex/program.hpp"
#include "regex/runner.hpp"
#include "regex/stream.hpp"

namespace vandrel::xeger {

// row_program throws PyErrSet only for an error the call would have raised at
// the same point (an interrupt while the pattern is parsed, no memory).
const Program* row_program(PyObject* xeger, PyObject* pattern);

// What runs of rows draw with: the validated generator and the module's copy
// of its block.
struct RowState {
    mt::MTObject* generator = nullptr;  // `random`'s, as the last row_program found it
    std::vector<std::pair<size_t, size_t>> groups;
    // The generator's words from its index on, tempered, while `tempered_valid`:
    // from a check to the end of the run of rows it allows.
    alignas(16) uint32_t tempered[mt::MT_N] = {};
    bool tempered_valid = false;
    mt::AcceptBits accept = {};  // of `tempered`, for the program of a run of masked rows
    // Room for one row, for columns that convert each row.
    std::vector<uint8_t> ascii;
    std::vector<uint32_t> wide;
    std::vector<uint8_t> tops;  // a streamed program's packed draws (run_stream_rows)
};
RowState& row_state() noexcept;

// `count` rows of `prog` (from the row_program just returned): each is
// written at `where()` (room for prog.max_len characters of type Char: uint8_t
// for a program of ASCII characters, else uint32_t), then handed to
// `made(at, length)`. The row's draws are made before `made` runs, whatever it
// does; `made` may throw.
template <class Char, class Where, class Made>
void run_rows(const Program& prog, int64_t count, Where where, Made made) {
    RowState& st = row_state();
    mt::Words words(st.generator, st.tempered, st.tempered_valid);
    if (mt::kAcceptBits && prog.masked) {
        mt::Words::Lease lease(words);
        mt::Cursor& at = lease.cursor();
        const auto tests = static_cast<int>(prog.accept.size());
        mt::mt_accept_bits(at.tempered, at.index(), prog.accept.data(), tests, st.accept);
        mt::MaskedCursor masked{at, &st.accept, prog.accept.data(), tests};
        for (int64_t i = 0; i < count; ++i) {
            Char* row = where();
            const size_t len = run_steps(prog, masked, row);
            at = masked.words;  // the row's draws are made, whatever `made` does
            made(row, len);
        }
        return;
    }
    if (prog.flat) {
        mt::Words::Lease lease(words);
        for (int64_t i = 0; i < count; ++i) {
            Char* at = where();
            made(at, run_steps(prog, lease.cursor(), at));
        }
        return;
    }
    if (count > 1) words.temper_rest();
    for (int64_t i = 0; i < count; ++i) {
        Char* at = where();
        made(at, Runner<Char>(prog, words, at, st.groups).run());
    }
}

// run_template_rows in the widest instructions this processor runs.
void template_rows(const Program& prog, mt::MaskedCursor& cursor, uint8_t* out,
                   size_t count) noexcept;

// `rows(cursor, tops)` with a MaskedCursor over the validated generator's
// block for `prog` (from the row_program just returned), and the state's room
// for a streamed or varied program's packed draws; returns what it returns.
template <class Rows>
auto with_masked_cursor(const Program& prog, Rows rows) {
    RowState& st = row_state();
    const size_t room = prog.streamed || prog.varied ? stream_room(prog) : 0;
    if (st.tops.size() < room) st.tops.resize(room);  // before the generator is leased
    mt::Words words(st.generator, st.tempered, st.tempered_valid);
    mt::Words::Lease lease(words);
    mt::Cursor& at = lease.cursor();
    const auto tests = static_cast<int>(prog.accept.size());
    mt::mt_accept_bits(at.tempered, at.index(), prog.accept.data(), tests, st.accept);
    mt::MaskedCursor masked{at, &st.accept, prog.accept.data(), tests};
    const auto made = rows(masked, st.tops.data());
    at = masked.words;
    return made;
}

// `count` rows of a templated `prog` (from the row_program just returned),
// written one after another from `out`, which has room for them and 8 bytes more.
inline void run_template(const Program& prog, int64_t count, uint8_t* out) {
    with_masked_cursor(prog, [&](mt::MaskedCursor& masked, uint8_t* tops) {
        if (prog.streamed) {
            run_stream_rows(prog, masked, out, static_cast<size_t>(count), tops);
        } else {
            template_rows(prog, masked, out, static_cast<size_t>(count));
        }
        return 0;
    });
}

// `count` rows of a varied `prog` (from the row_program just returned), written
// one after another from `out` (room for count * max_len bytes and 64 more),
// their lengths to `lengths`; returns the bytes written.
inline size_t run_varied(const Program& prog, int64_t count, uint8_t* out, uint32_t* lengths) {
    return with_masked_cursor(prog, [&](mt::MaskedCursor& masked, uint8_t* tops) {
        return run_varied_rows(prog, masked, out, static_cast<size_t>(count), tops, lengths);
    });
}

// Room for one row of `prog` in the state's buffer of that character type.
template <class Char>
Char* row_buffer(const Program& prog) {
    RowState& st = row_state();
    auto& buffer = [&st]() -> std::vector<Char>& {
        if constexpr (sizeof(Char) == 1) {
            return st.ascii;
        } else {
            return st.wide;
        }
    }();
    if (buffer.size() < prog.max_len) buffer.resize(prog.max_len);
    return buffer.data();
}

}  // namespace vandrel::xeger
