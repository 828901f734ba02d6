// See xeger_generator.hpp.
#include "xeger_generator.hpp"

#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace vandrel::xeger {

namespace {

// The vectors below pass between functions that are always inlined into one
// compiled for their width: no call of any passes one in registers.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

// Words in one vector: four (SSE2 on x86-64, NEON on AArch64), eight (AVX2)
// or sixteen (AVX-512).
// (Spelled out: GCC drops vector_size from an alias template's dependent type.)
template <int L>
struct Vector;
template <>
struct Vector<1> {
    using type = uint32_t;
};
template <>
struct Vector<4> {
    using type = uint32_t __attribute__((vector_size(16)));
};
template <>
struct Vector<8> {
    using type = uint32_t __attribute__((vector_size(32)));
};
template <>
struct Vector<16> {
    using type = uint32_t __attribute__((vector_size(64)));
};

template <class W>
[[gnu::always_inline]] inline W load(const uint32_t* p) noexcept {
    W v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class W>
[[gnu::always_inline]] inline void store(uint32_t* p, W v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

// One step of the refill for one word or a vector: the new mt[kk] from
// mt[kk], mt[kk + 1] and the word M ahead (or N - M behind) of it.
template <class W>
[[gnu::always_inline]] inline W twist(W here, W next, W far) noexcept {
    const W y = (here & 0x80000000U) | (next & 0x7fffffffU);
    return far ^ (y >> 1) ^ ((W{} - (y & 1U)) & 0x9908b0dfU);
}
// Words kk.. of one vector from the words `far` places away: the next words
// are read before any is written, as the word-at-a-time loop reads them.
template <class W>
[[gnu::always_inline]] inline void twist_at(uint32_t* mt, uint32_t* tempered, int kk,
                                            int far) noexcept {
    const W w = twist(load<W>(mt + kk), load<W>(mt + kk + 1), load<W>(mt + kk + far));
    store(mt + kk, w);
    store(tempered + kk, mt_temper(w));
}
[[gnu::always_inline]] inline void twist1(uint32_t* mt, uint32_t* tempered, int kk, int next,
                                          int far) noexcept {
    mt[kk] = twist(mt[kk], mt[next], mt[kk + far]);
    tempered[kk] = mt_temper(mt[kk]);
}

// The loops of genrand_uint32's refill, L words a step: the first N - M words
// read words M ahead, not yet refilled; the next ones read words N - M behind,
// refilled more than L words before; the last reads the first.
template <int L>
[[gnu::always_inline]] inline void refill(uint32_t* mt, uint32_t* tempered) noexcept {
    using W = typename Vector<L>::type;
    static_assert(sizeof(W) == sizeof(uint32_t) * L, "L words a vector");
    int kk = 0;
    for (; kk + L <= MT_N - MT_M; kk += L) {
        twist_at<W>(mt, tempered, kk, MT_M);
    }
    for (; kk < MT_N - MT_M; ++kk) twist1(mt, tempered, kk, kk + 1, MT_M);
    for (; kk + L <= MT_N - 1; kk += L) {
        twist_at<W>(mt, tempered, kk, MT_M - MT_N);
    }
    for (; kk < MT_N - 1; ++kk) twist1(mt, tempered, kk, kk + 1, MT_M - MT_N);
    twist1(mt, tempered, MT_N - 1, 0, MT_M - MT_N);
}

// genrand_uint32's refill as _randommodule.c writes it, word by word: the
// reference the vector ones are checked against.
void refill_words(uint32_t* mt, uint32_t* tempered) noexcept {
    refill<1>(mt, tempered);
}
void refill_4(uint32_t* mt, uint32_t* tempered) noexcept {
    refill<4>(mt, tempered);
}
#if defined(__x86_64__)
[[gnu::target("avx2")]] void refill_8(uint32_t* mt, uint32_t* tempered) noexcept {
    refill<8>(mt, tempered);
}
[[gnu::target("avx512f")]] void refill_16(uint32_t* mt, uint32_t* tempered) noexcept {
    refill<16>(mt, tempered);
}
#endif

using Refill = void (*)(uint32_t*, uint32_t*) noexcept;

// Whether `refill` gives the reference's words and tempered words over a few
// refills of one state (the loops hold no branch on the words).
bool same_as_reference(Refill candidate) {
    uint32_t mine[MT_N], theirs[MT_N], t_mine[MT_N], t_theirs[MT_N];
    uint32_t x = 20240611U;
    for (int i = 0; i < MT_N; ++i) mine[i] = theirs[i] = x = 1812433253U * (x ^ (x >> 30)) + i;
    for (int round = 0; round < 3; ++round) {
        candidate(mine, t_mine);
        refill_words(theirs, t_theirs);
        if (std::memcmp(mine, theirs, sizeof mine) != 0 ||
            std::memcmp(t_mine, t_theirs, sizeof t_mine) != 0) {
            return false;
        }
    }
    return true;
}

#if defined(__x86_64__)
// The vector extensions this processor and its system run: CPUID's feature
// bits and the register state the system saves (XGETBV), read directly.
struct X86 {
    bool avx2 = false, avx512f = false;
    X86() noexcept {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_OSXSAVE) == 0) return;
        unsigned lo = 0, hi = 0;
        __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        const bool ymm = (lo & 0x6U) == 0x6U, zmm = ymm && (lo & 0xE0U) == 0xE0U;
        if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return;
        avx2 = ymm && (b & bit_AVX2) != 0;
        avx512f = zmm && (b & bit_AVX512F) != 0;
    }
};
#endif

// The widest refill this processor runs that gives the reference's words.
Refill widest_refill() {
#if defined(__x86_64__)
    const X86 cpu;
    if (cpu.avx512f && same_as_reference(refill_16)) return refill_16;
    if (cpu.avx2 && same_as_reference(refill_8)) return refill_8;
#endif
    return same_as_reference(refill_4) ? refill_4 : refill_words;
}

}  // namespace

void mt_refill(uint32_t* mt, uint32_t* tempered) noexcept {
    static const Refill chosen = widest_refill();
    chosen(mt, tempered);
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
