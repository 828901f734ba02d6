// See xeger_generator.hpp.
#include "xeger_generator.hpp"

#include <cstring>

namespace vandrel::xeger {

namespace {

// Four words in one vector (SSE2 on x86-64, NEON on AArch64).
using Word4 = uint32_t __attribute__((vector_size(16)));

Word4 load4(const uint32_t* p) noexcept {
    Word4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
void store4(uint32_t* p, Word4 v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

// One step of the refill for a word or four: the new mt[kk] from mt[kk],
// mt[kk + 1] and the word M ahead (or N - M behind) of it.
template <class W>
W twist(W here, W next, W far) noexcept {
    const W y = (here & 0x80000000U) | (next & 0x7fffffffU);
    return far ^ (y >> 1) ^ ((W{} - (y & 1U)) & 0x9908b0dfU);
}
// Words kk..kk+3 from the word `far` places away: the four next words are read
// before any is written, as the word-at-a-time loop reads them.
void twist4(uint32_t* mt, uint32_t* tempered, int kk, int far) noexcept {
    const Word4 w = twist(load4(mt + kk), load4(mt + kk + 1), load4(mt + kk + far));
    store4(mt + kk, w);
    store4(tempered + kk, mt_temper(w));
}
void twist1(uint32_t* mt, uint32_t* tempered, int kk, int next, int far) noexcept {
    mt[kk] = twist(mt[kk], mt[next], mt[kk + far]);
    tempered[kk] = mt_temper(mt[kk]);
}

}  // namespace

// The loops of genrand_uint32's refill, four words a step: the first N - M
// words read words M ahead, not yet refilled; the next ones read words N - M
// behind, refilled more than four words before; the last reads the first.
void mt_refill(uint32_t* mt, uint32_t* tempered) noexcept {
    int kk = 0;
    for (; kk + 4 <= MT_N - MT_M; kk += 4) twist4(mt, tempered, kk, MT_M);
    for (; kk < MT_N - MT_M; ++kk) twist1(mt, tempered, kk, kk + 1, MT_M);
    for (; kk + 4 <= MT_N - 1; kk += 4) twist4(mt, tempered, kk, MT_M - MT_N);
    for (; kk < MT_N - 1; ++kk) twist1(mt, tempered, kk, kk + 1, MT_M - MT_N);
    twist1(mt, tempered, MT_N - 1, 0, MT_M - MT_N);
}

Ref make_str(const uint8_t* out, size_t len) {
    if (len <= 1) {
        return Ref::steal(
            PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, out, static_cast<Py_ssize_t>(len)));
    }
    Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(len), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(s.get()), out, len);
    return s;
}
Ref make_str(const Py_UCS4* out, size_t len) {
    return Ref::steal(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out, static_cast<Py_ssize_t>(len)));
}

}  // namespace vandrel::xeger
