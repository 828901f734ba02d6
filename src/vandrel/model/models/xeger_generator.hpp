// The generator of the native rows: the Mersenne Twister of _random.Random,
// drawn in place, and the runner that turns a program into one row.
//
// Each getrandbits(k) of a row is one 32-bit word shifted right by 32 - k, as
// _random.Random gives it for k <= 32; Random._randbelow_with_getrandbits(n)
// draws k = n.bit_length() bits until the value is below n. The runner makes
// these draws in the order of rstr's randint/choice calls.
#pragma once

#include <cstdint>
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

// The next 624 words of the state (genrand_uint32's refill in _randommodule.c).
[[gnu::noinline]] inline void mt_refill(uint32_t* mt) noexcept {
    static const uint32_t mag01[2] = {0x0U, 0x9908b0dfU};
    uint32_t y = 0;
    int kk = 0;
    for (kk = 0; kk < MT_N - MT_M; kk++) {
        y = (mt[kk] & 0x80000000U) | (mt[kk + 1] & 0x7fffffffU);
        mt[kk] = mt[kk + MT_M] ^ (y >> 1) ^ mag01[y & 0x1U];
    }
    for (; kk < MT_N - 1; kk++) {
        y = (mt[kk] & 0x80000000U) | (mt[kk + 1] & 0x7fffffffU);
        mt[kk] = mt[kk + (MT_M - MT_N)] ^ (y >> 1) ^ mag01[y & 0x1U];
    }
    y = (mt[MT_N - 1] & 0x80000000U) | (mt[0] & 0x7fffffffU);
    mt[MT_N - 1] = mt[MT_M - 1] ^ (y >> 1) ^ mag01[y & 0x1U];
}

inline uint32_t mt_temper(uint32_t y) noexcept {
    y ^= (y >> 11);
    y ^= (y << 7) & 0x9d2c5680U;
    y ^= (y << 15) & 0xefc60000U;
    y ^= (y >> 18);
    return y;
}

inline uint32_t genrand_uint32(MTObject* self) noexcept {
    if (self->index >= MT_N) {
        mt_refill(self->state);
        self->index = 0;
    }
    return mt_temper(self->state[self->index++]);
}

// ---- running a program --------------------------------------------------------------------

// Runs a program into `out`, which has room for `p.max_len` characters;
// returns the row's length.
template <class Char>
class Runner {
  public:
    Runner(const Program& p, MTObject* mt, Char* out,
           std::vector<std::pair<size_t, size_t>>& groups)
        : p_(p), mt_(mt), out_(out), groups_(groups) {
        if (groups_.size() < p.groups) groups_.resize(p.groups);
    }
    size_t run() {
        seq(p_.root);
        return len_;
    }

  private:
    const Program& p_;
    MTObject* mt_;
    Char* out_;
    size_t len_ = 0;
    std::vector<std::pair<size_t, size_t>>& groups_;

    // Random._randbelow_with_getrandbits(n), n >= 1.
    uint32_t below(uint32_t n, uint8_t shift) {
        uint32_t r = 0;
        do {
            r = genrand_uint32(mt_) >> shift;
        } while (r >= n);
        return r;
    }
    // `times` picks of `pick`, written in place: every word is written to the
    // next slot (the table is padded), and the slot is kept when the word is
    // below the table's size: the same draws as one _randbelow per pick, with
    // no branch per rejection.
    void pick_run(uint32_t times, const Node& pick) {
        Char* dst = out_ + len_;
        len_ += times;
        const Py_UCS4* table = p_.chars.data() + pick.a;
        const uint32_t size = pick.n;
        const uint8_t shift = pick.shift;
        // The generator's index in a local: the stores of characters (which may
        // alias anything) then do not make every draw reload and store it.
        uint32_t* state = mt_->state;
        int index = mt_->index;
        for (uint32_t j = 0; j < times;) {
            if (index >= MT_N) {
                mt_refill(state);
                index = 0;
            }
            const uint32_t r = mt_temper(state[index++]) >> shift;
            dst[j] = static_cast<Char>(table[r]);
            j += static_cast<uint32_t>(r < size);
        }
        mt_->index = index;
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

// The row as a str of the smallest kind that holds it (the interpreter's own
// for the empty and the one-character strings, as a call gives them).
Ref make_str(const uint8_t* out, size_t len);
Ref make_str(const Py_UCS4* out, size_t len);

}  // namespace vandrel::xeger
