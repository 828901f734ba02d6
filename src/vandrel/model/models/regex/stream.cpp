// See stream.hpp.
#include "regex/stream.hpp"

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

// The packed top bytes of the words the one test accepts: `tops[next..end)`
// not drawn yet, those from `first` on the current block's, whose packing
// began at word `from`.
struct Packed {
    mt::MaskedCursor& cursor;
    uint8_t* tops;
    int from;
    size_t first = 0, next = 0, end;

    Packed(mt::MaskedCursor& c, uint8_t* packed) noexcept
        : cursor(c),
          tops(packed),
          from(c.words.index()),
          end(static_cast<size_t>(
              mt::mt_accepted_tops(c.words.tempered, from, c.bits->bits[0], tops))) {}
    // At least `k` bytes not drawn: the leftover to the front, the next blocks' after it.
    [[gnu::always_inline]] const uint8_t* at_least(size_t k) noexcept {
        while (end - next < k) refill();
        return tops + next;
    }
    [[gnu::noinline]] void refill() noexcept {
        mt::Cursor& words = cursor.words;
        std::memmove(tops, tops + next, end - next);
        end -= next;
        next = 0;
        mt::mt_refill(words.state, words.tempered);
        mt::mt_accept_bits(words.tempered, 0, cursor.accept, 1, *cursor.bits);
        from = 0;
        first = end;
        end += static_cast<size_t>(
            mt::mt_accepted_tops(words.tempered, 0, cursor.bits->bits[0], tops + end));
    }
    // The cursor past the last word drawn (a row after a refill draws the
    // leftover and more: the drawn are the block's from `first` on), its bits
    // read from there.
    void done() noexcept {
        cursor.words.at =
            cursor.words.tempered + past_accepted(cursor.bits->bits[0], from, next - first);
        cursor.load();
    }
};

void rows_by_bytes(const Program& p, Packed& packed, uint8_t* out, size_t count) noexcept {
    const uint8_t* tmpl = p.row_template.data();
    const size_t chunks = p.row_template.size(), width = p.max_len, k = p.takes.size();
    const Take* takes = p.takes.data();
    for (size_t r = 0; r < count; ++r, out += width) {
        for (size_t j = 0; j < chunks; j += 8) std::memcpy(out + j, tmpl + j, 8);
        const uint8_t* drawn = packed.at_least(k);
        for (size_t j = 0; j < k; ++j) out[takes[j].at] = takes[j].table[drawn[j]];
        packed.next += k;
    }
}

#if defined(__x86_64__)
// A row a vector: its drawn bytes moved to their places (vpermb), each mapped
// through its table (vpermi2b on 128 entries, twice for bytes of 128 or more)
// over the row's text, stored under the row's mask.
[[gnu::target("avx512f,avx512bw,avx512vbmi")]] void rows_by_vectors(const Program& p,
                                                                    Packed& packed, uint8_t* out,
                                                                    size_t count) noexcept {
    const StreamVector& v = p.vector;
    const size_t width = p.max_len, k = p.takes.size();
    const __mmask64 row = width == 64 ? ~__mmask64{0} : (__mmask64{1} << width) - 1;
    const __m512i text = _mm512_loadu_si512(v.text), index = _mm512_loadu_si512(v.index);
    __m512i quarter[StreamVector::TABLES][4];
    for (int t = 0; t < v.count; ++t) {
        for (size_t q = 0; q < 4; ++q) quarter[t][q] = _mm512_loadu_si512(v.tables[t] + 64 * q);
    }
    for (size_t r = 0; r < count; ++r, out += width) {
        const __m512i drawn =
            _mm512_permutexvar_epi8(index, _mm512_loadu_si512(packed.at_least(k)));
        packed.next += k;
        const __mmask64 high = v.high ? _mm512_movepi8_mask(drawn) : 0;
        __m512i bytes = text;
        for (int t = 0; t < v.count; ++t) {
            __m512i c = _mm512_permutex2var_epi8(quarter[t][0], drawn, quarter[t][1]);
            if (v.high) {
                c = _mm512_mask_blend_epi8(
                    high, c, _mm512_permutex2var_epi8(quarter[t][2], drawn, quarter[t][3]));
            }
            bytes = _mm512_mask_mov_epi8(bytes, v.placed[t], c);
        }
        _mm512_mask_storeu_epi8(out, row, bytes);
    }
}
#endif

}  // namespace

void run_stream_rows(const Program& p, mt::MaskedCursor& cursor, uint8_t* out, size_t count,
                     uint8_t* tops) noexcept {
    Packed packed(cursor, tops);
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
