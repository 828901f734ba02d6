// See stream.hpp.
#include "regex/stream.hpp"

#include <algorithm>
#include <cstring>

#include "mt/cpu.hpp"
#include "mt/mt19937.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vandrel::xeger {

namespace {

// The word after the `drawn`-th word (from 1; 0: `from` itself) at or after
// word `from` whose bit in `bits` is set; the block has that many.
int past_accepted(const uint64_t* bits, int from, size_t drawn) noexcept {
    if (drawn == 0) return from;
    int base = from & ~63;
    uint64_t word = bits[base >> 6] & (~uint64_t{0} << (from & 63));
    for (auto here = static_cast<size_t>(__builtin_popcountll(word)); drawn > here;
         here = static_cast<size_t>(__builtin_popcountll(word))) {
        drawn -= here;
        base += 64;
        word = bits[base >> 6];
    }
    for (; drawn > 1; --drawn) word &= word - 1;
    return base + __builtin_ctzll(word) + 1;
}

// ---- the words a row's draws take ----------------------------------------------------------

// Where a chain of rows stands between blocks: the next draw is the Draw
// `draw` of the row with `left` of its times still to take.
struct Chain {
    size_t draw = 0;
    uint32_t left = 0;
};

// The word of the `k`-th set bit of `x` (k >= 1) alone, `last` being bit k - 1
// (0 for k > 64); 0 when x has fewer.
template <bool kBmi2>
[[gnu::always_inline]] inline uint64_t kth_bit(uint64_t x, uint64_t last, uint32_t k) noexcept {
#if defined(__x86_64__)
    if constexpr (kBmi2) {  // (pdep in asm: the intrinsic needs its target in every caller)
        uint64_t bit = 0;
        asm("pdepq %2, %1, %0" : "=r"(bit) : "r"(last), "rm"(x));
        return bit;
    }
#endif
    (void)last;
    for (; k > 1 && x != 0; --k) x &= x - 1;
    return x & (0 - x);
}

// The words of tempered[from..MT_N) the rows' draws take, in turn, a bit a
// word in `taken` (bits[m] of AcceptBits for each draw's test m): each draw
// takes the first word its test accepts after the word the draw before took,
// as one _randbelow after another does. A run of `times` draws of one test
// takes the next `times` accepted words at once (the bits up to the last of
// them one step from the bits of the draw before), so that a row is a few
// dependent steps, with no store in them. `at` says where the chain stands, on
// entry and when the block's words run out. Only the words of `taken` from
// from's 64 to the block's end are written (the rest is never read).
template <bool kBmi2>
[[gnu::always_inline]] inline void chain_block(const Program& p, const mt::AcceptBits& b, int from,
                                               Chain& at, uint64_t* taken) noexcept {
    constexpr int kWords = (mt::MT_N + 63) / 64;
    constexpr uint32_t kBits = 64;
    const Link* first = p.links.data();
    const Link* last = first + p.links.size();
    const Link* d = first + at.draw;
    const uint64_t* tests = b.bits[0];
    uint32_t left = at.left;  // of d's run, whose last word is bit `bit` of the accepted
    uint64_t bit = left <= kBits ? uint64_t{1} << (left - 1) : 0;
    int w = from >> 6;
    uint64_t below = (uint64_t{1} << (from & 63)) - 1, bits = 0;  // below: drawn or before `from`
    for (;;) {
        const uint64_t x = tests[d->offset + static_cast<uint32_t>(w)] & ~below;
        // q: the word of the last draw of the run, 0 when the 64 words have too few
        const uint64_t q = bit == 1 ? x : kth_bit<kBmi2>(x, bit, left);
        if (__builtin_expect(q != 0, 1)) {
            below = q ^ (q - 1);  // up to the lowest set bit of q: the last word taken
            bits |= x & below;
            if (++d == last) d = first;
            bit = d->last;
            left = d->times;
        } else {  // the rest of the 64 words, then the next 64
            bits |= x;
            left -= static_cast<uint32_t>(__builtin_popcountll(x));
            bit = left <= kBits ? uint64_t{1} << (left - 1) : 0;
            taken[w] = bits;
            bits = 0;
            below = 0;
            if (++w == kWords) break;
        }
    }
    at.draw = static_cast<size_t>(d - first);
    at.left = left;
}

#if defined(__x86_64__)
[[gnu::target("bmi,bmi2,popcnt")]] void chain_block_bmi(const Program& p, const mt::AcceptBits& b,
                                                        int from, Chain& at,
                                                        uint64_t* taken) noexcept {
    chain_block<true>(p, b, from, at, taken);
}
#endif

void chain(const Program& p, const mt::AcceptBits& b, int from, Chain& at,
           uint64_t* taken) noexcept {
#if defined(__x86_64__)
    if (mt::this_cpu().bmi) {
        chain_block_bmi(p, b, from, at, taken);
        return;
    }
#endif
    chain_block<false>(p, b, from, at, taken);
}

// Where the chain of a varied program stands between blocks: the next draw is
// the link `link`'s, its count's (left 0) or one of its `left` picks.
struct VaryChain {
    size_t link = 0;
    uint32_t left = 0;
};

// chain_block for a varied program: a run's count is its word's top byte, read
// from the block as the chain reaches it; `rows` counts the rows whose last
// draw the chain reached.
template <bool kBmi2>
[[gnu::always_inline]] inline void vary_block(const Program& p, const mt::AcceptBits& b,
                                              const uint32_t* tempered, int from, VaryChain& at,
                                              uint64_t* taken, size_t& rows) noexcept {
    constexpr int kWords = (mt::MT_N + 63) / 64;
    constexpr uint32_t kBits = 64;
    const VaryLink* first = p.vary_links.data();
    const VaryLink* last = first + p.vary_links.size();
    const VaryLink* d = first + at.link;
    const auto* top = reinterpret_cast<const uint8_t*>(tempered) + 3;  // little-endian words
    uint32_t left = at.left;
    int w = from >> 6;
    const uint64_t* word = b.bits[0] + w;  // test m's bits of the 64 words: word[offset of m]
    uint64_t below = (uint64_t{1} << (from & 63)) - 1, bits = 0;  // below: drawn or before `from`
    for (;;) {
        if (left == 0) {  // a single draw, or a run's count
            const uint64_t x = word[d->count_offset] & ~below;
            if (__builtin_expect(x != 0, 1)) {
                below = x ^ (x - 1);
                bits |= x & below;
                if (d->count_shift != 0) {
                    left = d->min;
                    if (!d->fixed) {
                        const auto i =
                            static_cast<size_t>(w) * 64 + static_cast<size_t>(__builtin_ctzll(x));
                        left += static_cast<uint32_t>(top[4 * i]) >> (d->count_shift - 1);
                    }
                    if (left != 0) continue;
                }
                if (++d == last) {
                    d = first;
                    ++rows;
                }
                continue;
            }
        } else {
            const uint64_t x = word[d->offset] & ~below;
            const uint64_t bit = left <= kBits ? uint64_t{1} << (left - 1) : 0;
            const uint64_t q = left == 1 ? x : kth_bit<kBmi2>(x, bit, left);
            if (__builtin_expect(q != 0, 1)) {
                below = q ^ (q - 1);
                bits |= x & below;
                left = 0;
                if (++d == last) {
                    d = first;
                    ++rows;
                }
                continue;
            }
            bits |= x;
            left -= static_cast<uint32_t>(__builtin_popcountll(x));
        }
        // the rest of the 64 words, then the next 64
        taken[w] = bits;
        bits = 0;
        below = 0;
        ++word;
        if (++w == kWords) break;
    }
    at.link = static_cast<size_t>(d - first);
    at.left = left;
}

#if defined(__x86_64__)
[[gnu::target("bmi,bmi2,popcnt")]] void vary_block_bmi(const Program& p, const mt::AcceptBits& b,
                                                       const uint32_t* tempered, int from,
                                                       VaryChain& at, uint64_t* taken,
                                                       size_t& rows) noexcept {
    vary_block<true>(p, b, tempered, from, at, taken, rows);
}
#endif

void vary(const Program& p, const mt::AcceptBits& b, const uint32_t* tempered, int from,
          VaryChain& at, uint64_t* taken, size_t& rows) noexcept {
#if defined(__x86_64__)
    if (mt::this_cpu().bmi) {
        vary_block_bmi(p, b, tempered, from, at, taken, rows);
        return;
    }
#endif
    vary_block<false>(p, b, tempered, from, at, taken, rows);
}

// ---- the packed top bytes of the words taken ----------------------------------------------

// The packed top bytes of the words the rows take: `tops[next..end)` not
// drawn yet, those from `first` on the current block's, whose packing began
// at word `from`. The words taken are those the one test accepts, or, for a
// chained program, the chain's (`taken`).
struct Packed {
    const Program& p;
    mt::MaskedCursor& cursor;
    uint8_t* tops;
    int from;
    size_t first = 0, next = 0, end = 0;
    Chain at;
    VaryChain vary_at;
    size_t rows = 0;  // a varied program's: rows whose draws are all packed, not yet taken
    uint64_t taken[mt::AcceptBits::WORDS] = {};

    Packed(const Program& prog, mt::MaskedCursor& c, uint8_t* packed) noexcept
        : p(prog), cursor(c), tops(packed), from(c.words.index()) {
        if (p.chained) at.left = p.draws[0].times;
        end = pack(from, 0);
    }
    const uint64_t* bits() const noexcept {
        return p.chained || p.varied ? taken : cursor.bits->bits[0];
    }
    size_t pack(int start, size_t to) noexcept {
        if (p.chained) chain(p, *cursor.bits, start, at, taken);
        if (p.varied) vary(p, *cursor.bits, cursor.words.tempered, start, vary_at, taken, rows);
        return static_cast<size_t>(
            mt::mt_accepted_tops(cursor.words.tempered, start, bits(), tops + to));
    }
    // How many of `wanted` rows of `k` draws are packed, at least one: the
    // leftover to the front, the next blocks' after it, as the rows need them.
    [[gnu::always_inline]] size_t ready(size_t k, size_t wanted) noexcept {
        while (end - next < k) refill();
        return std::min(wanted, (end - next) / k);
    }
    // How many of `wanted` rows of a varied program are packed, at least one.
    [[gnu::always_inline]] size_t ready_rows(size_t wanted) noexcept {
        while (rows == 0) refill();
        return std::min(wanted, rows);
    }
    [[gnu::noinline]] void refill() noexcept {
        mt::Cursor& words = cursor.words;
        std::memmove(tops, tops + next, end - next);
        end -= next;
        next = 0;
        mt::mt_refill(words.state, words.tempered);
        mt::mt_accept_bits(words.tempered, 0, cursor.accept, cursor.tests, *cursor.bits);
        from = 0;
        first = end;
        end += pack(0, end);
    }
    // The cursor past the last word drawn (a row after a refill draws the
    // leftover and more: the drawn are the block's from `first` on), its bits
    // read from there.
    void done() noexcept {
        cursor.words.at = cursor.words.tempered + past_accepted(bits(), from, next - first);
        cursor.load();
    }
};

void rows_by_bytes(const Program& p, Packed& packed, uint8_t* out, size_t count) noexcept {
    const uint8_t* tmpl = p.row_template.data();
    const size_t chunks = p.row_template.size(), width = p.max_len, k = p.takes.size();
    const Take* takes = p.takes.data();
    for (size_t r = 0; r < count;) {  // (a batch's cursor in registers: no store aliases it)
        const size_t n = packed.ready(k, count - r);
        const uint8_t* drawn = packed.tops + packed.next;
        for (size_t i = 0; i < n; ++i, drawn += k, out += width) {
            for (size_t j = 0; j < chunks; j += 8) std::memcpy(out + j, tmpl + j, 8);
            for (size_t j = 0; j < k; ++j) out[takes[j].at] = takes[j].table[drawn[j]];
        }
        packed.next += n * k;
        r += n;
    }
}

#if defined(__x86_64__)
// Rows a vector: their drawn bytes moved to their places (vpermb), each mapped
// through its table (vpermi2b on 128 entries, twice for bytes of 128 or more)
// over the rows' text, stored under the mask of the rows there are.
[[gnu::target("avx512f,avx512bw,avx512vbmi")]] void rows_by_vectors(const Program& p,
                                                                    Packed& packed, uint8_t* out,
                                                                    size_t count) noexcept {
    const StreamVector& v = p.vector;
    const size_t width = p.max_len, k = p.takes.size(), rows = v.rows;
    const __m512i text = _mm512_loadu_si512(v.text), index = _mm512_loadu_si512(v.index);
    __m512i quarter[StreamVector::TABLES][4];
    for (int t = 0; t < v.count; ++t) {
        for (size_t q = 0; q < 4; ++q) quarter[t][q] = _mm512_loadu_si512(v.tables[t] + 64 * q);
    }
    for (size_t r = 0; r < count;) {
        const size_t n = packed.ready(k, count - r);
        const uint8_t* at = packed.tops + packed.next;
        for (size_t i = 0; i < n; i += rows, at += rows * k) {
            const size_t bytes = std::min(rows, n - i) * width;
            const __m512i drawn = _mm512_permutexvar_epi8(index, _mm512_loadu_si512(at));
            const __mmask64 high = v.high ? _mm512_movepi8_mask(drawn) : 0;
            __m512i row = text;
            for (int t = 0; t < v.count; ++t) {
                __m512i c = _mm512_permutex2var_epi8(quarter[t][0], drawn, quarter[t][1]);
                if (v.high) {
                    c = _mm512_mask_blend_epi8(
                        high, c, _mm512_permutex2var_epi8(quarter[t][2], drawn, quarter[t][3]));
                }
                row = _mm512_mask_mov_epi8(row, v.placed[t], c);
            }
            _mm512_mask_storeu_epi8(out, bytes == 64 ? ~__mmask64{0} : (__mmask64{1} << bytes) - 1,
                                    row);
            out += bytes;
        }
        packed.next += n * k;
        r += n;
    }
}
#endif

}  // namespace

namespace {
#if defined(__x86_64__)
// out[j] = table[c[j]] for j < 64 (64 bytes readable at `c`, writable at
// `out`): the table's 256 entries in four vectors, two vpermi2b and a blend
// by the index's top bit.
[[gnu::target("avx512f,avx512bw,avx512vbmi")]] inline void map_64(uint8_t* out, const uint8_t* c,
                                                                  const uint8_t* table) noexcept {
    const __m512i index = _mm512_loadu_si512(c);
    const __m512i low =
        _mm512_permutex2var_epi8(_mm512_loadu_si512(table), index, _mm512_loadu_si512(table + 64));
    const __m512i high = _mm512_permutex2var_epi8(_mm512_loadu_si512(table + 128), index,
                                                  _mm512_loadu_si512(table + 192));
    _mm512_storeu_si512(out, _mm512_mask_blend_epi8(_mm512_movepi8_mask(index), low, high));
}
#endif
// The `len` bytes at `text` (16 more readable) to `out`, 16 at a time (16 more writable).
[[gnu::always_inline]] inline void copy_text(uint8_t* out, const uint8_t* text,
                                             uint32_t len) noexcept {
    for (uint32_t k = 0; k < len; k += 16) std::memcpy(out + k, text + k, 16);
}
}  // namespace

namespace {

// The rows of run_varied_rows, with (kVbmi) the runs of picks mapped 64 at a
// time by map_64, inlined into the caller compiled for it (flattened).
template <bool kVbmi>
inline size_t varied_rows(const Program& p, Packed& packed, uint8_t* out, size_t count,
                          uint32_t* lengths) noexcept {
    uint8_t* const start = out;
    const Part* first = p.parts.data();
    const Part* last = first + p.parts.size();
    for (size_t r = 0; r < count;) {
        const size_t n = packed.ready_rows(count - r);
        const uint8_t* c = packed.tops + packed.next;
        for (size_t i = 0; i < n; ++i) {
            uint8_t* const row = out;
            for (const Part* s = first; s != last; ++s) {
                switch (s->kind) {
                    case Kind::Char:
                        *out++ = static_cast<uint8_t>(s->a);
                        break;
                    case Kind::Text:
                        copy_text(out, s->bytes, s->a);
                        out += s->a;
                        break;
                    case Kind::Pick:
                        *out++ = s->table[*c++];
                        break;
                    case Kind::RepeatPick: {
                        // (locals: the stores of bytes may alias the part)
                        const uint8_t* table = s->table;
                        const uint32_t most = s->most;
                        const uint32_t times = s->a + (static_cast<uint32_t>(*c++) >> s->shift);
                        bool mapped = false;
#if defined(__x86_64__)
                        if constexpr (kVbmi) {
                            if (most > 4 && most <= 64) {  // (a few: byte by byte)
                                map_64(out, c, table);
                                mapped = true;
                            }
                        }
#endif
                        if (!mapped) {
                            for (uint32_t j = 0; j < most; ++j) out[j] = table[c[j]];
                        }
                        out += times;
                        c += times;
                        break;
                    }
                    default: {  // Choice
                        const uint32_t* pair = s->pairs + size_t{2} * *c++;
                        copy_text(out, s->bytes + pair[0], pair[1]);
                        out += pair[1];
                        break;
                    }
                }
            }
            lengths[r + i] = static_cast<uint32_t>(out - row);
        }
        packed.next = static_cast<size_t>(c - packed.tops);
        packed.rows -= n;
        r += n;
    }
    return static_cast<size_t>(out - start);
}

#if defined(__x86_64__)
[[gnu::target("avx512f,avx512bw,avx512vbmi"), gnu::flatten]] size_t varied_rows_vbmi(
    const Program& p, Packed& packed, uint8_t* out, size_t count, uint32_t* lengths) noexcept {
    return varied_rows<true>(p, packed, out, count, lengths);
}
#endif

}  // namespace

size_t run_varied_rows(const Program& p, mt::MaskedCursor& cursor, uint8_t* out, size_t count,
                       uint8_t* tops, uint32_t* lengths) noexcept {
    Packed packed(p, cursor, tops);
    size_t made = 0;
#if defined(__x86_64__)
    if (mt::this_cpu().avx512vbmi) {
        made = varied_rows_vbmi(p, packed, out, count, lengths);
    } else
#endif
    {
        made = varied_rows<false>(p, packed, out, count, lengths);
    }
    packed.done();
    return made;
}

void run_stream_rows(const Program& p, mt::MaskedCursor& cursor, uint8_t* out, size_t count,
                     uint8_t* tops) noexcept {
    Packed packed(p, cursor, tops);
#if defined(__x86_64__)
    if (p.vectored && mt::this_cpu().avx512vbmi) {
        rows_by_vectors(p, packed, out, count);
    } else
#endif
    {
        rows_by_bytes(p, packed, out, count);
    }
    packed.done();
}

}  // namespace vandrel::xeger
