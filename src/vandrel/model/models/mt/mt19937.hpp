// The Mersenne Twister of CPython's _random.Random (Modules/_randommodule.c),
// in plain C++ with no Python.h: the refill of a block of 624 words, their
// tempering, and the acceptance bits of a block.
//
// Interface:
//  * `mt_refill(state, tempered)`: genrand_uint32's refill of `state` in place,
//    the tempered words written to `tempered`, in the widest vectors this
//    processor runs (each width checked against the word-by-word loop before
//    its first use).
//  * `mt_accept_bits(...)`: for up to MAX_TESTS bounds, one bit per tempered
//    word: whether it is below the bound.
//  * `mt_accepted_tops(...)`: the top bytes of the words one test accepts,
//    in order, packed (for rows whose draws all share that test).
//  * `impls()`: every width built in, for the tests.
#pragma once

#include <cstdint>

namespace vandrel::mt {

constexpr int MT_N = 624;
constexpr int MT_M = 397;

// The next 624 words of the state, refilled in place as genrand_uint32 does
// in _randommodule.c, with their tempered values written to `tempered`
// (a vector of words at a time; see mt19937.cpp).
void mt_refill(uint32_t* mt, uint32_t* tempered) noexcept;

// The tempering of one word, or of four in a vector.
template <class W>
[[gnu::always_inline]] inline W mt_temper(W y) noexcept {
    y ^= (y >> 11);
    y ^= (y << 7) & 0x9d2c5680U;
    y ^= (y << 15) & 0xefc60000U;
    y ^= (y >> 18);
    return y;
}

// The most acceptance tests a block's bits are made for.
constexpr int MAX_TESTS = 4;

// Which words of a block a draw accepts, a bit a word: bit i of `bits[m]` (in
// the byte order of a little-endian word) is set when tempered word i is below
// the program's accept[m]; bits past the block are 0, and the last word is
// padding, so that 64 bits can be read from any word's bit.
// `window`: the bits of each test from one word on, for a reader of the bits
// (MaskedCursor, cursor.hpp).
struct AcceptBits {
    static constexpr int WORDS = (MT_N + 63) / 64 + 1;
    uint64_t bits[MAX_TESTS][WORDS];
    uint64_t window[MAX_TESTS];
};
// Reads of 64 bits at any bit need a little-endian word.
constexpr bool kAcceptBits = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// The bits of `tempered[from..MT_N)` (and of a few words before) for each of
// `below[0..count)` (count <= MAX_TESTS).
void mt_accept_bits(const uint32_t* tempered, int from, const uint32_t* below, int count,
                    AcceptBits& out) noexcept;

// The top byte (word >> 24) of each word of `tempered[from..MT_N)` whose bit
// in `bits` (one test's AcceptBits::bits) is set, in order, written to
// `out[0..)`; returns how many. Up to 64 bytes past them may be written.
int mt_accepted_tops(const uint32_t* tempered, int from, const uint64_t* bits,
                     uint8_t* out) noexcept;

// The refills, acceptance-bit builders and top-byte packers built into this module, the
// word-by-word references first; `runs` says whether this processor runs it.
using Refill = void (*)(uint32_t*, uint32_t*) noexcept;
using Accept = void (*)(const uint32_t*, int, const uint32_t*, int, AcceptBits&) noexcept;
using Tops = int (*)(const uint32_t*, int, const uint64_t*, uint8_t*) noexcept;
template <class F>
struct Impl {
    const char* name;
    F fn;
    bool runs;
};
constexpr int MAX_IMPLS = 4;
struct Impls {
    Impl<Refill> refill[MAX_IMPLS];
    Impl<Accept> accept[MAX_IMPLS];
    Impl<Tops> tops[MAX_IMPLS];
    int refills, accepts, topss;
};
Impls impls() noexcept;

}  // namespace vandrel::mt
