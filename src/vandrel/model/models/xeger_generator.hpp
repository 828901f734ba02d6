// The generator of the native rows: the Mersenne Twister of _random.Random,
// drawn in place, and the runner that turns a program into one row.
//
// Each getrandbits(k) of a row is one 32-bit word shifted right by 32 - k, as
// _random.Random gives it for k <= 32; Random._randbelow_with_getrandbits(n)
// draws k = n.bit_length() bits until the value is below n. The runner makes
// these draws in the order of rstr's randint/choice calls.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "refs.hpp"
#include "xeger_compiler.hpp"

namespace vandrel::xeger {

// ---- the Mersenne Twister of _random.Random -----------------------------------------------

constexpr int MT_N = 624;
constexpr int MT_M = 397;

// The object layout of _random.Random (Modules/_randommodule.c). It is not
// trusted blindly: the guard compares it with the C type's own getstate() and
// getrandbits() on two probe generators before any native row.
struct MTObject {
    PyObject_HEAD int index;
    uint32_t state[MT_N];
};

// The next 624 words of the state, refilled in place as genrand_uint32 does
// in _randommodule.c, with their tempered values written to `tempered`
// (a vector of words at a time; see xeger_generator.cpp).
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
                                              const Py_UCS4* table, uint32_t size,
                                              uint8_t shift) noexcept {
    for (size_t j = 0; j < times;) {
        const uint32_t r = words.next() >> shift;
        dst[j] = static_cast<Char>(table[r]);
        j += static_cast<size_t>(r < size);
    }
}

// A position in a block of tempered words (see Words::Lease).
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
    void picks(Char* dst, size_t times, const Py_UCS4* table, uint32_t size,
               uint8_t shift) noexcept {
        draw_picks(*this, dst, times, table, size, shift);
    }
    // As a MaskedCursor's, for run_steps: a plain Cursor has no masks to read.
    uint32_t below(uint32_t n, uint8_t shift, uint8_t /*mask*/) noexcept { return below(n, shift); }
    template <class Char>
    void picks(Char* dst, size_t times, const Py_UCS4* table, uint32_t size, uint8_t shift,
               uint8_t /*mask*/) noexcept {
        picks(dst, times, table, size, shift);
    }
};

// Which words of a block a draw accepts, a bit a word: bit i of `bits[m]` (in
// the byte order of a little-endian word) is set when tempered word i is below
// the program's accept[m]; bits past the block are 0, and the last word is
// padding, so that 64 bits can be read from any word's bit.
struct AcceptBits {
    static constexpr int WORDS = (MT_N + 63) / 64 + 1;
    uint64_t bits[MAX_MASKS][WORDS];
};
// Reads of 64 bits at any bit need a little-endian word.
constexpr bool kAcceptBits = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// The bits of `tempered[from..MT_N)` (and of a few words before) for each of
// `below[0..count)` (count <= MAX_MASKS).
void mt_accept_bits(const uint32_t* tempered, int from, const uint32_t* below, int count,
                    AcceptBits& out) noexcept;

// A Cursor that draws from the block's AcceptBits: a draw finds its accepted
// word from the bits (the rejected ones before it skipped in one step), not a
// branch per word. Where the bits of the block run out, the draw goes on word
// by word, and the refill makes the new block's bits.
struct MaskedCursor {
    Cursor words;
    AcceptBits* bits;
    const uint32_t* accept;  // the program's tests
    int tests;

    // The next 64 bits (at least 57 of the block's, then 0) of mask m from `at`.
    [[gnu::always_inline]] uint64_t window(uint8_t m) const noexcept {
        const auto pos = static_cast<size_t>(words.at - words.tempered);
        uint64_t w = 0;
        std::memcpy(&w, reinterpret_cast<const unsigned char*>(bits->bits[m]) + (pos >> 3),
                    sizeof w);
        return w >> (pos & 7);
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
        const uint64_t accepted = window(m);
        if (accepted == 0) return below_slowly(n, shift);
        words.at += __builtin_ctzll(accepted) + 1;
        return words.at[-1] >> shift;
    }
    [[gnu::noinline]] uint32_t below_slowly(uint32_t n, uint8_t shift) noexcept {
        return draw_below(*this, n, shift);
    }
    // Cursor::picks, mask m: each window's accepted words in turn.
    template <class Char>
    [[gnu::always_inline]] void picks(Char* dst, size_t times, const Py_UCS4* table, uint32_t size,
                                      uint8_t shift, uint8_t m) noexcept {
        size_t j = 0;
        while (j < times) {
            uint64_t accepted = window(m);
            if (accepted == 0) return picks_slowly(dst + j, times - j, table, size, shift);
            const uint32_t* from = words.at;
            int i = 0;
            do {
                i = __builtin_ctzll(accepted);
                dst[j++] = static_cast<Char>(table[from[i] >> shift]);
                accepted &= accepted - 1;
            } while (j < times && accepted != 0);
            words.at = from + i + 1;
        }
    }
    template <class Char>
    [[gnu::noinline]] void picks_slowly(Char* dst, size_t times, const Py_UCS4* table,
                                        uint32_t size, uint8_t shift) noexcept {
        draw_picks(*this, dst, times, table, size, shift);
    }
};

// The words of a generator as its genrand_uint32 gives them, read from a block
// of tempered words: the block is filled at each refill, or, for words the
// generator had before, tempered one at a time until the first refill
// (`temper_rest` does them at once). The state and index of the generator are
// the interpreter's as ever; the block is only a copy, and the caller keeps it
// valid (nothing else may draw from the generator while it is used). The index
// goes back to the generator when the reader ends.
class Words {
  public:
    // `tempered` holds MT_N words; `valid` says whether it holds the tempered
    // words of the generator from its index on, and is kept up to date.
    Words(MTObject* mt, uint32_t* tempered, bool& valid) noexcept
        : mt_(mt), tempered_(tempered), valid_out_(valid), valid_(valid), index_(mt->index) {}
    Words(const Words&) = delete;
    Words(Words&&) = delete;
    Words& operator=(const Words&) = delete;
    Words& operator=(Words&&) = delete;
    ~Words() {
        mt_->index = index_;
        valid_out_ = valid_;
    }

    uint32_t next() noexcept {
        if (index_ >= MT_N) refill();
        const uint32_t w = valid_ ? tempered_[index_] : mt_temper(mt_->state[index_]);
        ++index_;
        return w;
    }
    // The words left before the next refill, tempered now.
    void temper_rest() noexcept {
        if (valid_) return;
        for (int i = index_; i < MT_N; ++i) tempered_[i] = mt_temper(mt_->state[i]);
        valid_ = true;
    }

    // The position of the reader as a Cursor, for a loop that keeps it in
    // registers (no store of a character can alias a local whose address is
    // not taken), put back when the lease ends, an exception's included.
    class Lease {
      public:
        explicit Lease(Words& w) noexcept
            : words_(w), at_{w.mt_->state, w.tempered_, w.tempered_ + w.index_} {
            w.temper_rest();
        }
        Lease(const Lease&) = delete;
        Lease(Lease&&) = delete;
        Lease& operator=(const Lease&) = delete;
        Lease& operator=(Lease&&) = delete;
        ~Lease() { words_.index_ = at_.index(); }
        Cursor& cursor() noexcept { return at_; }

      private:
        Words& words_;
        Cursor at_;
    };

    template <class Char>
    void picks(Char* dst, uint32_t times, const Py_UCS4* table, uint32_t size,
               uint8_t shift) noexcept {
        Lease lease(*this);
        lease.cursor().picks(dst, times, table, size, shift);
    }

  private:
    void refill() noexcept {
        mt_refill(mt_->state, tempered_);
        index_ = 0;
        valid_ = true;
    }

    MTObject* mt_;
    uint32_t* tempered_;
    bool& valid_out_;
    bool valid_;
    int index_;
};

// ---- running a program --------------------------------------------------------------------

// Runs a program into `out`, which has room for `p.max_len` characters;
// returns the row's length.
template <class Char>
class Runner {
  public:
    Runner(const Program& p, Words& words, Char* out,
           std::vector<std::pair<size_t, size_t>>& groups)
        : p_(p), words_(words), out_(out), groups_(groups) {
        if (groups_.size() < p.groups) groups_.resize(p.groups);
    }
    size_t run() {
        seq(p_.root);
        return len_;
    }

  private:
    const Program& p_;
    Words& words_;
    Char* out_;
    size_t len_ = 0;
    std::vector<std::pair<size_t, size_t>>& groups_;

    uint32_t below(uint32_t n, uint8_t shift) { return draw_below(words_, n, shift); }
    void pick_run(uint32_t times, const Node& pick) {
        words_.picks(out_ + len_, times, p_.chars.data() + pick.a, pick.n, pick.shift);
        len_ += times;
    }
    // NOLINTNEXTLINE(misc-no-recursion): nested as the program, at most MAX_DEPTH deep
    void seq(uint32_t index) {
        const Program::Range r = p_.seqs[index];
        for (uint32_t i = r.begin; i < r.end; ++i) node(p_.nodes[i]);
    }
    // NOLINTNEXTLINE(misc-no-recursion): see seq
    void node(const Node& n) {
        switch (n.kind) {
            case Kind::Char:
                out_[len_++] = static_cast<Char>(n.a);
                break;
            case Kind::Text:
                for (uint32_t i = 0; i < n.n; ++i) {
                    out_[len_++] = static_cast<Char>(p_.chars[n.a + i]);
                }
                break;
            case Kind::Pick:
                out_[len_++] = static_cast<Char>(p_.chars[n.a + below(n.n, n.shift)]);
                break;
            case Kind::Branch:
                seq(p_.alts[n.body + below(n.n, n.shift)]);
                break;
            case Kind::Group: {
                size_t start = len_;
                seq(n.body);
                if (n.a != 0) groups_[n.a] = {start, len_};
                break;
            }
            case Kind::Backref: {
                auto [start, end] = groups_[n.a];
                for (size_t i = start; i < end; ++i) out_[len_++] = out_[i];
                break;
            }
            case Kind::RepeatPick:
                pick_run(n.a + below(n.n, n.shift), p_.nodes[n.body]);
                break;
            case Kind::Repeat: {
                uint32_t times = n.a + below(n.n, n.shift);
                for (uint32_t t = 0; t < times; ++t) seq(n.body);
                break;
            }
        }
    }
};

// Runs a flat program (Program::flat) into `out`, which has room for
// `p.max_len` characters, from a Cursor, or, for a masked program
// (Program::masked), from a MaskedCursor whose bits are those of its block;
// returns the row's length.
template <class Char, class Reader>
[[gnu::always_inline]] inline size_t run_steps(const Program& p, Reader& cursor,
                                               Char* out) noexcept {
    Reader words = cursor;  // a local: in registers, whatever the stores of characters alias
    Char* at = out;
    for (const Step& s : p.steps) {
        switch (s.kind) {
            case Kind::Char:
                *at++ = static_cast<Char>(s.a);
                break;
            case Kind::Text:
                for (uint32_t k = 0; k < s.a; ++k) *at++ = static_cast<Char>(s.chars[k]);
                break;
            case Kind::Pick:
                *at++ = static_cast<Char>(s.chars[words.below(s.size, s.shift, s.mask)]);
                break;
            default: {  // RepeatPick
                const size_t times = s.a + words.below(s.count_n, s.count_shift, s.count_mask);
                words.picks(at, times, s.chars, s.size, s.shift, s.mask);
                at += times;
                break;
            }
        }
    }
    cursor = words;
    return static_cast<size_t>(at - out);
}

// The row as a str of the smallest kind that holds it (the interpreter's own
// for the empty and the one-character strings, as a call gives them).
Ref make_str(const uint8_t* out, size_t len);
Ref make_str(const Py_UCS4* out, size_t len);

}  // namespace vandrel::xeger
