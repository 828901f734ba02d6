// See mt19937.hpp.
#include "mt/mt19937.hpp"

#include <cstring>

#include <initializer_list>

#include "mt/cpu.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace vandrel::mt {

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

// Whether `refill` gives the reference's words and tempered words over a few
// refills of one state (the loops hold no branch on the words).
// A state for the self-checks below: init_genrand's recurrence from `x`.
void check_state(uint32_t* mt, uint32_t x) noexcept {
    for (int i = 0; i < MT_N; ++i) mt[i] = x = 1812433253U * (x ^ (x >> 30)) + i;
}

bool same_as_reference(Refill candidate) {
    uint32_t mine[MT_N], theirs[MT_N], t_mine[MT_N], t_theirs[MT_N];
    check_state(mine, 20240611U);
    std::memcpy(theirs, mine, sizeof mine);
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

// The widest refill this processor runs that gives the reference's words.
Refill widest_refill() {
#if defined(__x86_64__)
    const Cpu& cpu = this_cpu();
    if (cpu.avx512f && same_as_reference(refill_16)) return refill_16;
    if (cpu.avx2 && same_as_reference(refill_8)) return refill_8;
#endif
    return same_as_reference(refill_4) ? refill_4 : refill_words;
}

// ---- the bits a draw accepts ----------------------------------------------------------------

// Each writes the bits of words from the 64-word group of `from` to the end of
// the block, 8 words a byte (one of AcceptBits' little-endian words holds 8
// such bytes), and clears the rest.
unsigned char* accept_bytes(AcceptBits& out, int m) noexcept {
    return reinterpret_cast<unsigned char*>(out.bits[m]);  // a char type may alias any object
}
void clear_past_block(unsigned char* bytes) noexcept {
    std::memset(bytes + MT_N / 8, 0, sizeof(AcceptBits::bits[0]) - MT_N / 8);
}

// Word by word: the reference.
void accept_words(const uint32_t* t, int from, const uint32_t* below, int count,
                  AcceptBits& out) noexcept {
    for (int m = 0; m < count; ++m) {
        unsigned char* bytes = accept_bytes(out, m);
        for (int i = from & ~63; i < MT_N; i += 8) {
            unsigned byte = 0;
            for (int j = 0; j < 8; ++j) byte |= static_cast<unsigned>(t[i + j] < below[m]) << j;
            bytes[i / 8] = static_cast<unsigned char>(byte);
        }
        clear_past_block(bytes);
    }
}

#if defined(__x86_64__)
// SSE2 and AVX2 compare signed words: w < b unsigned is (w ^ 2^31) < (b ^ 2^31) signed.
void accept_4(const uint32_t* t, int from, const uint32_t* below, int count,
              AcceptBits& out) noexcept {
    const __m128i sign = _mm_set1_epi32(INT32_MIN);
    for (int m = 0; m < count; ++m) {
        unsigned char* bytes = accept_bytes(out, m);
        const __m128i b = _mm_xor_si128(_mm_set1_epi32(static_cast<int>(below[m])), sign);
        auto bits4 = [&](int i) {
            const __m128i w =
                _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t + i)), sign);
            return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmplt_epi32(w, b))));
        };
        for (int i = from & ~63; i < MT_N; i += 8) {
            bytes[i / 8] = static_cast<unsigned char>(bits4(i) | (bits4(i + 4) << 4));
        }
        clear_past_block(bytes);
    }
}
[[gnu::target("avx2")]] void accept_8(const uint32_t* t, int from, const uint32_t* below, int count,
                                      AcceptBits& out) noexcept {
    const __m256i sign = _mm256_set1_epi32(INT32_MIN);
    for (int m = 0; m < count; ++m) {
        unsigned char* bytes = accept_bytes(out, m);
        const __m256i b = _mm256_xor_si256(_mm256_set1_epi32(static_cast<int>(below[m])), sign);
        for (int i = from & ~63; i < MT_N; i += 8) {
            const __m256i w =
                _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + i)), sign);
            bytes[i / 8] = static_cast<unsigned char>(
                _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(b, w))));
        }
        clear_past_block(bytes);
    }
}
[[gnu::target("avx512f"), gnu::always_inline]] inline uint64_t bits64(__m512i b, __m512i w0,
                                                                      __m512i w1, __m512i w2,
                                                                      __m512i w3) noexcept {
    return uint64_t{_mm512_cmplt_epu32_mask(w0, b)} |
           uint64_t{_mm512_cmplt_epu32_mask(w1, b)} << 16 |
           uint64_t{_mm512_cmplt_epu32_mask(w2, b)} << 32 |
           uint64_t{_mm512_cmplt_epu32_mask(w3, b)} << 48;
}
// 64 words a step: a test's four masks of 16 words joined into one word of
// bits, stored once (the block's last 48 words three vectors, then 0).
[[gnu::target("avx512f")]] void accept_16(const uint32_t* t, int from, const uint32_t* below,
                                          int count, AcceptBits& out) noexcept {
    constexpr int kFull = MT_N / 64 * 64;  // 576
    static_assert(MT_N - kFull == 48, "three vectors in the last group");
    const __m512i zero = _mm512_setzero_si512();
    for (int m = 0; m < count; ++m) {
        const __m512i b = _mm512_set1_epi32(static_cast<int>(below[m]));
        for (int i = from & ~63; i < kFull; i += 64) {
            out.bits[m][i >> 6] =
                bits64(b, _mm512_loadu_si512(t + i), _mm512_loadu_si512(t + i + 16),
                       _mm512_loadu_si512(t + i + 32), _mm512_loadu_si512(t + i + 48));
        }
        out.bits[m][kFull >> 6] =
            bits64(b, _mm512_loadu_si512(t + kFull), _mm512_loadu_si512(t + kFull + 16),
                   _mm512_loadu_si512(t + kFull + 32), zero) &
            ((uint64_t{1} << 48) - 1);
        out.bits[m][AcceptBits::WORDS - 1] = 0;
    }
}
#elif defined(__aarch64__)
void accept_4(const uint32_t* t, int from, const uint32_t* below, int count,
              AcceptBits& out) noexcept {
    const uint32_t weights[4] = {1, 2, 4, 8};
    const uint32x4_t weight = vld1q_u32(weights);
    for (int m = 0; m < count; ++m) {
        unsigned char* bytes = accept_bytes(out, m);
        const uint32x4_t b = vdupq_n_u32(below[m]);
        auto bits4 = [&](int i) {
            return vaddvq_u32(vandq_u32(vcltq_u32(vld1q_u32(t + i), b), weight));
        };
        for (int i = from & ~63; i < MT_N; i += 8) {
            bytes[i / 8] = static_cast<unsigned char>(bits4(i) | (bits4(i + 4) << 4));
        }
        clear_past_block(bytes);
    }
}
#endif

// Whether `candidate` gives the reference's bits for a few blocks, tests and starts.
bool same_bits(Accept candidate) {
    uint32_t mt[MT_N], t[MT_N];
    check_state(mt, 19650218U);
    const uint32_t below[MAX_TESTS] = {0x80000000U, 26U << 27, 10U << 28, 0xFFFFFFFFU};
    for (int round = 0; round < 3; ++round) {
        refill_words(mt, t);
        for (int from : {0, 200, MT_N - 1, MT_N}) {
            AcceptBits mine{}, theirs{};
            candidate(t, from, below, MAX_TESTS, mine);
            accept_words(t, from, below, MAX_TESTS, theirs);
            if (std::memcmp(&mine, &theirs, sizeof mine) != 0) return false;
        }
    }
    return true;
}

Accept widest_accept() {
#if defined(__x86_64__)
    const Cpu& cpu = this_cpu();
    if (cpu.avx512f && same_bits(accept_16)) return accept_16;
    if (cpu.avx2 && same_bits(accept_8)) return accept_8;
#endif
#if defined(__x86_64__) || defined(__aarch64__)
    if (same_bits(accept_4)) return accept_4;
#endif
    return accept_words;
}

// ---- the top bytes of accepted words ---------------------------------------------------------

// Word by word, with no branch on the bit: the reference.
int tops_words(const uint32_t* t, int from, const uint64_t* bits, uint8_t* out) noexcept {
    int n = 0;
    for (int i = from; i < MT_N; ++i) {
        out[n] = static_cast<uint8_t>(t[i] >> 24);
        n += static_cast<int>((bits[i >> 6] >> (i & 63)) & 1);
    }
    return n;
}
#if defined(__x86_64__)
// 16 words at a time: the accepted ones' top bytes compressed to the front of
// a vector, its 16 bytes stored, the count advanced by how many were accepted.
[[gnu::target("avx512f")]] int tops_16(const uint32_t* t, int from, const uint64_t* bits,
                                       uint8_t* out) noexcept {
    int n = 0;
    for (int i = from & ~15; i < MT_N; i += 16) {
        auto k = static_cast<uint16_t>(bits[i >> 6] >> (i & 63));
        if (i < from) k = static_cast<uint16_t>(k & (0xFFFFU << (from - i)));
        // (the masked forms: the plain ones trip GCC 12's maybe-uninitialized)
        const __m512i top = _mm512_maskz_srli_epi32(0xFFFF, _mm512_loadu_si512(t + i), 24);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n),
                         _mm512_mask_cvtepi32_epi8(_mm_setzero_si128(), 0xFFFF,
                                                   _mm512_maskz_compress_epi32(k, top)));
        n += __builtin_popcount(k);
    }
    return n;
}
// The 16 words at `at`, 0 past the block (MT_N is a multiple of 16: they are
// all in it or all past it).
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512i words16(const uint32_t* t,
                                                                      int at) noexcept {
    return at < MT_N ? _mm512_loadu_si512(t + at) : _mm512_setzero_si512();
}

// 64 words at a time: their top bytes gathered into one vector (vpermt2b on
// two pairs of 16 words, each pair's in a half), the accepted ones compressed to its front
// (vpcompressb), its 64 bytes stored, the count advanced by how many were accepted.
[[gnu::target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,popcnt")]] int tops_64(
    const uint32_t* t, int from, const uint64_t* bits, uint8_t* out) noexcept {
    alignas(64) static constexpr uint8_t kTop[64] = {
        3,  7,  11, 15, 19, 23, 27, 31, 35, 39,  43,  47,  51,  55,  59,  63,
        67, 71, 75, 79, 83, 87, 91, 95, 99, 103, 107, 111, 115, 119, 123, 127,
        3,  7,  11, 15, 19, 23, 27, 31, 35, 39,  43,  47,  51,  55,  59,  63,
        67, 71, 75, 79, 83, 87, 91, 95, 99, 103, 107, 111, 115, 119, 123, 127};
    const __m512i top = _mm512_load_si512(kTop);
    int n = 0;
    for (int i = from & ~63; i < MT_N; i += 64) {
        uint64_t k = bits[i >> 6] & (~uint64_t{0} << (i < from ? from - i : 0));
        if (MT_N - i < 64) k &= (uint64_t{1} << (MT_N - i)) - 1;
        const __m512i low = _mm512_permutex2var_epi8(words16(t, i), top, words16(t, i + 16));
        const __m512i high = _mm512_permutex2var_epi8(words16(t, i + 32), top, words16(t, i + 48));
        const __m512i tops = _mm512_mask_mov_epi8(low, ~uint64_t{0} << 32, high);
        _mm512_storeu_si512(out + n, _mm512_maskz_compress_epi8(k, tops));
        n += __builtin_popcountll(k);
    }
    return n;
}
#endif

// Whether `candidate` packs the reference's bytes for a few blocks, tests and starts.
bool same_tops(Tops candidate) {
    uint32_t mt[MT_N], t[MT_N];
    check_state(mt, 5489U);
    const uint32_t below[2] = {0x80000000U, 26U << 27};
    for (int round = 0; round < 3; ++round) {
        refill_words(mt, t);
        AcceptBits bits{};
        accept_words(t, 0, below, 2, bits);
        for (int m = 0; m < 2; ++m) {
            for (int from : {0, 1, 200, MT_N - 17, MT_N - 1, MT_N}) {
                uint8_t mine[MT_N + 64], theirs[MT_N + 64];
                const int n = candidate(t, from, bits.bits[m], mine);
                if (n != tops_words(t, from, bits.bits[m], theirs) ||
                    std::memcmp(mine, theirs, static_cast<size_t>(n)) != 0) {
                    return false;
                }
            }
        }
    }
    return true;
}

Tops widest_tops() {
#if defined(__x86_64__)
    if (this_cpu().avx512vbmi2 && same_tops(tops_64)) return tops_64;
    if (this_cpu().avx512f && same_tops(tops_16)) return tops_16;
#endif
    return tops_words;
}

}  // namespace

void mt_refill(uint32_t* mt, uint32_t* tempered) noexcept {
    static const Refill chosen = widest_refill();
    chosen(mt, tempered);
}

void mt_accept_bits(const uint32_t* tempered, int from, const uint32_t* below, int count,
                    AcceptBits& out) noexcept {
    static const Accept chosen = widest_accept();
    chosen(tempered, from, below, count, out);
}

int mt_accepted_tops(const uint32_t* tempered, int from, const uint64_t* bits,
                     uint8_t* out) noexcept {
    static const Tops chosen = widest_tops();
    return chosen(tempered, from, bits, out);
}

Impls impls() noexcept {
    const Cpu& cpu = this_cpu();
    Impls all{};
    auto refill_impl = [&](const char* name, Refill fn, bool runs) {
        all.refill[all.refills++] = {name, fn, runs};
    };
    auto accept_impl = [&](const char* name, Accept fn, bool runs) {
        all.accept[all.accepts++] = {name, fn, runs};
    };
    auto tops_impl = [&](const char* name, Tops fn, bool runs) {
        all.tops[all.topss++] = {name, fn, runs};
    };
    refill_impl("words", refill_words, true);
    tops_impl("words", tops_words, true);
    refill_impl("4", refill_4, true);
    accept_impl("words", accept_words, true);
#if defined(__x86_64__)
    refill_impl("avx2", refill_8, cpu.avx2);
    refill_impl("avx512f", refill_16, cpu.avx512f);
    accept_impl("sse2", accept_4, true);
    accept_impl("avx2", accept_8, cpu.avx2);
    accept_impl("avx512f", accept_16, cpu.avx512f);
    tops_impl("avx512f", tops_16, cpu.avx512f);
    tops_impl("avx512vbmi2", tops_64, cpu.avx512vbmi2);
#elif defined(__aarch64__)
    (void)cpu;
    accept_impl("neon", accept_4, true);
#else
    (void)cpu;
#endif
    return all;
}

}  // namespace vandrel::mt
