// Readers of a block of tempered words (mt19937.hpp) as CPython's `random`
// draws from them, with no Python.h:
//
//  * `draw_below(reader, n, shift)`: Random._randbelow_with_getrandbits(n);
//    each getrandbits(k) is one 32-bit word shifted right by 32 - k, as
//    _random.Random gives it for k <= 32.
//  * `draw_picks(...)`: a run of picks of a table, the same draws as one
//    _randbelow per pick.
//  * `Cursor`: a position in a block, refilling it at its end.
//  * `MaskedCursor`: a Cursor whose draws find their accepted word from the
//    block's AcceptBits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "mt/mt19937.hpp"

namespace vandrel::mt {

// Random._randbelow_with_getrandbits(n), n >= 1, from a reader of words.
template <class Reader>
[[gnu::always_inline]] inline uint32_t draw_below(Reader& words, uint32_t n,
                                                  uint8_t shift) noexcept {
    uint32_t r = 0;
    do {
        r = words.next() >> shift;
    } while (r >= n);
    return r;
}
// `times` picks of a table of `size` entries padded to 2^(32 - shift),
// written to dst[0..times): every word is written to the next slot and the
// slot kept when the word is below the table's size: the same draws as one
// _randbelow(size) per pick, with no branch per rejection.
template <class Reader, class Char>
[[gnu::always_inline]] inline void draw_picks(Reader& words, Char* dst, size_t times,
                                              const uint32_t* table, uint32_t size,
                                              uint8_t shift) noexcept {
    for (size_t j = 0; j < times;) {
        const uint32_t r = words.next() >> shift;
        dst[j] = static_cast<Char>(table[r]);
        j += static_cast<size_t>(r < size);
    }
}

// A position in a block of tempered words (see Words::Lease, generator.hpp).
struct Cursor {
    uint32_t* state;     // the generator's
    uint32_t* tempered;  // the tempered words of `state`
    const uint32_t* at;  // the next word, in `tempered`

    uint32_t next() noexcept {
        if (at == tempered + MT_N) {
            mt_refill(state, tempered);
            at = tempered;
        }
        return *at++;
    }
    int index() const noexcept { return static_cast<int>(at - tempered); }
    uint32_t below(uint32_t n, uint8_t shift) noexcept { return draw_below(*this, n, shift); }
    template <class Char>
    void picks(Char* dst, size_t times, const uint32_t* table, uint32_t size,
               uint8_t shift) noexcept {
        draw_picks(*this, dst, times, table, size, shift);
    }
    // As a MaskedCursor's, for run_steps: a plain Cursor has no masks to read.
    uint32_t below(uint32_t n, uint8_t shift, uint8_t /*mask*/) noexcept { return below(n, shift); }
    void below_one(uint8_t shift, uint8_t /*mask*/) noexcept { below(1, shift); }
    template <class Char>
    void picks(Char* dst, size_t times, const uint32_t* table, uint32_t size, uint8_t shift,
               uint8_t /*mask*/) noexcept {
        picks(dst, times, table, size, shift);
    }
};

// A Cursor that draws from the block's AcceptBits: a draw finds its accepted
// word from the bits (the rejected ones before it skipped in one step), not a
// branch per word. The bits of every test are read from the block at one word
// (`base`) into the block's `window`, and `live` marks those of words not yet
// drawn from, so that a draw waits on no load of the cursor's making (the
// windows' loads wait on nothing a draw computes): `window[m] & live` is test m's bits from
// the cursor on, as many as were read, and 0 above them, so its lowest set
// bit, when it has one, is the next accepted word. An empty one is read again
// from the block at the cursor; where the bits of the block run out, the draw
// goes on word by word, and the refill makes the new block's bits.
struct MaskedCursor {
    Cursor words;  // `words.at`: the cursor, always
    AcceptBits* bits;
    const uint32_t* accept;  // the program's tests
    int tests;
    const uint32_t* base = nullptr;
    uint64_t live = 0;  // (a copy of the cursor for a row is a few scalars: registers)

    MaskedCursor(Cursor at, AcceptBits* block_bits, const uint32_t* tests_below, int count) noexcept
        : words(at), bits(block_bits), accept(tests_below), tests(count) {
        load();
    }

    // The next 64 bits (at least 57 of the block's, then 0) of each test from the cursor.
    [[gnu::always_inline]] void load() noexcept {
        base = words.at;
        live = ~uint64_t{0};
        const auto pos = static_cast<size_t>(words.at - words.tempered);
        for (int m = 0; m < tests; ++m) {
            uint64_t w = 0;
            std::memcpy(&w, reinterpret_cast<const unsigned char*>(bits->bits[m]) + (pos >> 3),
                        sizeof w);
            bits->window[m] = w >> (pos & 7);
        }
    }
    // The word at bit i of the window drawn: the cursor past it.
    [[gnu::always_inline]] void drawn(unsigned i) noexcept {
        words.at = base + i + 1;
        live = -(uint64_t{2} << i);  // 0 for i = 63
    }
    uint32_t next() noexcept {
        if (words.at == words.tempered + MT_N) {
            mt_refill(words.state, words.tempered);
            words.at = words.tempered;
            mt_accept_bits(words.tempered, 0, accept, tests, *bits);
        }
        return *words.at++;
    }
    // Random._randbelow_with_getrandbits(n), n >= 1, whose test is mask m.
    [[gnu::always_inline]] uint32_t below(uint32_t n, uint8_t shift, uint8_t m) noexcept {
        uint64_t accepted = bits->window[m] & live;
        if (accepted == 0) {
            load();
            accepted = bits->window[m];
            if (accepted == 0) {
                uint32_t r = 0;
                *this = below_slowly(*this, n, shift, &r);
                return r;
            }
        }
        return take(accepted) >> shift;
    }
    // The word of the lowest bit of `accepted` (window & live, not 0): the
    // cursor past it, `live` the bits above it (x ^ (x - 1): up to the lowest
    // set bit), two steps from one draw's bits to the next's.
    [[gnu::always_inline]] uint32_t take(uint64_t accepted) noexcept {
        const auto i = static_cast<unsigned>(__builtin_ctzll(accepted));
        words.at = base + i + 1;
        live = ~(accepted ^ (accepted - 1));
        return base[i];
    }
    // The top byte (word >> 24) of the word a draw of test m accepts, the
    // draw's own bound being the test's (accept[m] >> shift), shift >= 24: the
    // cursor past it. The draws of one run leave `words.at` behind (no step
    // of theirs is spent on it); `sync()` sets it once they are done.
    [[gnu::always_inline]] uint32_t draw_top(uint8_t shift, uint8_t m) noexcept {
        uint64_t accepted = bits->window[m] & live;
        if (__builtin_expect(accepted == 0, 0)) {
            sync();
            load();
            accepted = bits->window[m];
            if (accepted == 0) {
                uint32_t r = 0;
                *this = below_slowly(*this, accept[m] >> shift, shift, &r);
                return r << (shift - 24);
            }
        }
        const auto i = static_cast<size_t>(__builtin_ctzll(accepted));
        live = ~(accepted ^ (accepted - 1));
        return reinterpret_cast<const uint8_t*>(base + i)[3];  // little-endian (kAcceptBits)
    }
    // draw_top(shift, m) whose value is not used (a fixed count's): only the cursor moves.
    [[gnu::always_inline]] void skip_top(uint8_t shift, uint8_t m) noexcept {
        const uint64_t accepted = bits->window[m] & live;
        if (__builtin_expect(accepted == 0, 0)) {
            draw_top(shift, m);
            return;
        }
        live = ~(accepted ^ (accepted - 1));
    }
    // `times` draws of draw_top(shift, m), each written as table[top byte] to
    // dst[0..times): a run's accepted words are the window's bits in turn.
    [[gnu::always_inline]] void draw_tops(uint8_t* dst, uint32_t times, const uint8_t* table,
                                          uint8_t shift, uint8_t m) noexcept {
        uint64_t accepted = bits->window[m] & live, last = 0;  // last: at the latest draw
        for (uint32_t j = 0; j < times; ++j) {
            if (__builtin_expect(accepted == 0, 0)) {
                if (last != 0) live = ~(last ^ (last - 1));
                last = 0;
                dst[j] = table[draw_top(shift, m)];
                accepted = bits->window[m] & live;
                continue;
            }
            dst[j] = table[reinterpret_cast<const uint8_t*>(base + __builtin_ctzll(accepted))[3]];
            last = accepted;
            accepted &= accepted - 1;
        }
        if (last != 0) live = ~(last ^ (last - 1));
    }
    // `words.at` from `live`: past the highest bit drawn (64 when bit 63 was).
    void sync() noexcept { words.at = base + (live == 0 ? 64 : __builtin_ctzll(live)); }
    // The slow paths take the cursor and give it back by value: a cursor whose
    // address no call sees stays in registers, whatever the rows' stores alias.
    // below(1, shift, m), whose value is 0: only the cursor moves.
    [[gnu::always_inline]] void below_one(uint8_t shift, uint8_t m) noexcept {
        const uint64_t accepted = bits->window[m] & live;
        if (accepted != 0) {
            take(accepted);
            return;
        }
        below(1, shift, m);
    }
    [[gnu::noinline]] static MaskedCursor below_slowly(MaskedCursor c, uint32_t n, uint8_t shift,
                                                       uint32_t* r) noexcept {
        *r = draw_below(c, n, shift);
        c.load();
        return c;
    }
    // Cursor::picks, mask m: each window's accepted words in turn.
    template <class Char>
    [[gnu::always_inline]] void picks(Char* dst, size_t times, const uint32_t* table, uint32_t size,
                                      uint8_t shift, uint8_t m) noexcept {
        size_t j = 0;
        while (j < times) {
            uint64_t accepted = bits->window[m] & live;
            if (accepted == 0) {
                load();
                accepted = bits->window[m];
                if (accepted == 0) {
                    *this = picks_slowly(*this, dst + j, times - j, table, size, shift);
                    return;
                }
            }
            unsigned i = 0;
            do {
                i = static_cast<unsigned>(__builtin_ctzll(accepted));
                dst[j++] = static_cast<Char>(table[base[i] >> shift]);
                accepted &= accepted - 1;
            } while (j < times && accepted != 0);
            drawn(i);
        }
    }
    template <class Char>
    [[gnu::noinline]] static MaskedCursor picks_slowly(MaskedCursor c, Char* dst, size_t times,
                                                       const uint32_t* table, uint32_t size,
                                                       uint8_t shift) noexcept {
        draw_picks(c, dst, times, table, size, shift);
        c.load();
        return c;
    }
};

}  // namespace vandrel::mt
