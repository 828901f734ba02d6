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

inline uint32_t genrand_uint32(MTObject* self) noexcept {
    static const uint32_t mag01[2] = {0x0U, 0x9908b0dfU};
    uint32_t* mt = self->state;
    uint32_t y = 0;
    if (self->index >= MT_N) {
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
        self->index = 0;
    }
    y = mt[self->index++];
    y ^= (y >> 11);
    y ^= (y << 7) & 0x9d2c5680U;
    y ^= (y << 15) & 0xefc60000U;
    y ^= (y >> 18);
    return y;
}

// ---- running a program --------------------------------------------------------------------

template <class Char>
class Runner {
  public:
    Runner(const Program& p, MTObject* mt, std::vector<Char>& out,
           std::vector<std::pair<size_t, size_t>>& groups)
        : p_(p), mt_(mt), out_(out), groups_(groups) {
        out_.clear();
        if (groups_.size() < p.groups) groups_.resize(p.groups);
    }
    void run() { seq(p_.root); }

  private:
    const Program& p_;
    MTObject* mt_;
    std::vector<Char>& out_;
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
        const size_t start = out_.size();
        out_.resize(start + times);
        Char* dst = out_.data() + start;
        const Py_UCS4* table = p_.chars.data() + pick.a;
        const uint32_t size = pick.n;
        const uint8_t shift = pick.shift;
        for (uint32_t j = 0; j < times;) {
            const uint32_t r = genrand_uint32(mt_) >> shift;
            dst[j] = static_cast<Char>(table[r]);
            j += static_cast<uint32_t>(r < size);
        }
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
                out_.push_back(static_cast<Char>(n.a));
                break;
            case Kind::Text:
                for (uint32_t i = 0; i < n.n; ++i) {
                    out_.push_back(static_cast<Char>(p_.chars[n.a + i]));
                }
                break;
            case Kind::Pick:
                out_.push_back(static_cast<Char>(p_.chars[n.a + below(n.n, n.shift)]));
                break;
            case Kind::Branch:
                seq(p_.alts[n.body + below(n.n, n.shift)]);
                break;
            case Kind::Group: {
                size_t start = out_.size();
                seq(n.body);
                if (n.a != 0) groups_[n.a] = {start, out_.size()};
                break;
            }
            case Kind::Backref: {
                auto [start, end] = groups_[n.a];
                for (size_t i = start; i < end; ++i) out_.push_back(out_[i]);
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

// The row as a str of the smallest kind that holds it.
Ref make_str(const std::vector<uint8_t>& out);
Ref make_str(const std::vector<Py_UCS4>& out);

}  // namespace vandrel::xeger
