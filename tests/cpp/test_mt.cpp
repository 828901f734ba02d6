// Checks of the Mersenne Twister of mt/ (no Python.h): every refill and
// acceptance-bit width this processor runs against the word-by-word ones, the
// readers of a block against each other, and the words and draws against
// CPython's own `random` (the file tests/cpp/cpython_words.py writes, argv[1]).
// Prints a line per failed check, then `cpp: N passed, N failed`.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "mt/cursor.hpp"
#include "mt/mt19937.hpp"

using namespace vandrel::mt;

namespace {

int passed = 0, failed = 0;
#define CHECK(ok, ...)                                                                   \
    ((ok) ? (++passed, true)                                                             \
          : (++failed, std::printf("FAIL " __VA_ARGS__), std::printf("\n"), false))

uint64_t splitmix(uint64_t& x) {
    uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}
uint8_t shift_of(uint32_t n) { return static_cast<uint8_t>(__builtin_clz(n)); }  // 32 - bit_length

// A starting state: init_genrand(seed) of _randommodule.c ('g'), pseudo-random
// words ('r'), or all ones ('1').
struct State {
    char kind;
    uint32_t seed;
    void fill(uint32_t* mt) const {
        uint64_t x = seed;
        for (int i = 0; i < MT_N; ++i) {
            mt[i] = kind == '1'   ? 0xFFFFFFFFU
                    : kind == 'r' ? static_cast<uint32_t>(splitmix(x))
                    : i == 0      ? seed
                                  : 1812433253U * (mt[i - 1] ^ (mt[i - 1] >> 30)) + i;
        }
    }
};
const State kStates[] = {{'g', 5489}, {'g', 0}, {'g', 19650218}, {'r', 1},
                         {'r', 7},    {'r', 0xdeadbeef},        {'1', 0}};

int first_difference(const uint32_t* a, const uint32_t* b) {  // MT_N when none
    return static_cast<int>(std::mismatch(a, a + MT_N, b).first - a);
}

// A copy of a state and its tempered words, for a reader from any index.
struct Block {
    uint32_t state[MT_N], tempered[MT_N];
    explicit Block(const uint32_t* st) {
        std::memcpy(state, st, sizeof state);
        for (int i = 0; i < MT_N; ++i) tempered[i] = mt_temper(state[i]);
    }
    Cursor at(int index) { return {state, tempered, tempered + index}; }
};

// Every refill this processor runs, and mt_refill, against the word-by-word
// one, on states at two alignments (a generator's state follows its object's head).
void check_refills(const Impls& all, std::string& ran) {
    std::vector<Impl<Refill>> impls(all.refill + 1, all.refill + all.refills);
    impls.push_back({"mt_refill", mt_refill, true});
    for (const auto& impl : impls) {
        if (!impl.runs) continue;
        const int before = passed + failed;
        for (const State& s : kStates) {
            for (int offset : {0, 5}) {
                alignas(64) uint32_t buf[MT_N + 16], tbuf[MT_N + 16];
                uint32_t ref[MT_N], tref[MT_N], *mine = buf + offset, *tmine = tbuf + offset;
                s.fill(mine);
                s.fill(ref);
                for (int round = 0; round < 5; ++round) {
                    impl.fn(mine, tmine);
                    all.refill[0].fn(ref, tref);
                    bool tempered = true;
                    for (int i = 0; i < MT_N; ++i) tempered &= tref[i] == mt_temper(ref[i]);
                    const int st = first_difference(mine, ref), tw = first_difference(tmine, tref);
                    if (!CHECK(st == MT_N && tw == MT_N && tempered,
                               "refill %s: state %c%u, offset %d, refill %d: state words equal up "
                               "to %d, tempered words up to %d%s",
                               impl.name, s.kind, s.seed, offset, round, st, tw,
                               tempered ? "" : " (the reference's tempered words wrong)"))
                        break;
                }
            }
        }
        ran += std::string(" ") + impl.name + "=" + std::to_string(passed + failed - before);
    }
}

// `check(impl, s, t, x)` for each of `impls` this processor runs, over each
// state's first block `t` (by the word-by-word refill), `x` a seed of more
// cases; the number of checks of each goes to `ran`.
template <class F, class Check>
void over_blocks(const Impls& all, std::vector<Impl<F>> impls, std::string& ran, Check check) {
    for (const auto& impl : impls) {
        if (!impl.runs) continue;
        const int before = passed + failed;
        for (const State& s : kStates) {
            uint32_t mt[MT_N], t[MT_N];
            s.fill(mt);
            all.refill[0].fn(mt, t);
            uint64_t x = s.seed;
            check(impl, s, t, x);
        }
        ran += std::string(" ") + impl.name + "=" + std::to_string(passed + failed - before);
    }
}

// Every acceptance-bit builder this processor runs, and mt_accept_bits, against
// the word-by-word one, itself checked against the bits' definition: bit i of
// test m is t[i] < below[m] from `from` on, and 0 past the block.
void check_accept_bits(const Impls& all, std::string& ran) {
    std::vector<Impl<Accept>> impls(all.accept, all.accept + all.accepts);
    impls.push_back({"mt_accept_bits", mt_accept_bits, true});
    over_blocks(all, impls, ran, [&](const Impl<Accept>& impl, const State& s, const uint32_t* t,
                                     uint64_t& x) {
        std::vector<int> froms = {0, 1, 63, 64, 65, 200, MT_N - 2, MT_N - 1, MT_N};
        for (int k = 0; k < 3; ++k) froms.push_back(static_cast<int>(splitmix(x) % MT_N));
        std::vector<uint32_t> bounds = {0x80000000U, 0xFFFFFFFFU, 1,         0,
                                        0x7FFFFFFFU, 0x80000001U, t[100],    t[100] + 1,
                                        t[MT_N - 1], static_cast<uint32_t>(splitmix(x))};
        for (uint32_t n : {1U, 3U, 26U, 100U, 1000U, 65537U}) bounds.push_back(n << shift_of(n));
        for (int from : froms) {
            for (int count = 1; count <= MAX_TESTS; ++count) {
                for (size_t k = 0; k < bounds.size(); ++k) {
                    uint32_t below[MAX_TESTS];
                    for (int m = 0; m < count; ++m) below[m] = bounds[(k + 3 * m) % bounds.size()];
                    for (int stale : {0x00, 0xA5}) {  // over zeros, and over old bits
                        AcceptBits mine, ref;
                        std::memset(&mine, stale, sizeof mine);
                        std::memset(&ref, stale, sizeof ref);
                        impl.fn(t, from, below, count, mine);
                        all.accept[0].fn(t, from, below, count, ref);
                        bool defined = true;
                        for (int m = 0; m < count; ++m) {
                            for (int i = from; i < AcceptBits::WORDS * 64; ++i) {
                                const bool bit = (ref.bits[m][i / 64] >> (i % 64)) & 1;
                                defined &= bit == (i < MT_N && t[i] < below[m]);
                            }
                        }
                        CHECK(std::memcmp(&mine, &ref, sizeof mine) == 0 && defined,
                              "accept %s: state %c%u, from %d, count %d, bounds from %08x, "
                              "over %02x: %s",
                              impl.name, s.kind, s.seed, from, count, below[0], stale,
                              defined ? "bits differ" : "the reference's bits wrong");
                    }
                }
            }
        }
    });
}

// Every top-byte packer this processor runs, and mt_accepted_tops, against the
// definition: the top bytes of the words from `from` on whose bit is set, in order.
void check_tops(const Impls& all, std::string& ran) {
    std::vector<Impl<Tops>> impls(all.tops, all.tops + all.topss);
    impls.push_back({"mt_accepted_tops", mt_accepted_tops, true});
    over_blocks(all, impls, ran, [&](const Impl<Tops>& impl, const State& s, const uint32_t* t,
                                     uint64_t& x) {
        for (uint32_t below :
             {0x80000000U, 26U << 27, 0xFFFFFFFFU, 0U, static_cast<uint32_t>(splitmix(x))}) {
            AcceptBits bits;
            all.accept[0].fn(t, 0, &below, 1, bits);
            for (int from : {0, 1, 15, 16, 63, 64, 200, MT_N - 17, MT_N - 1, MT_N,
                             static_cast<int>(splitmix(x) % MT_N)}) {
                std::vector<uint8_t> want, got(MT_N + 128, 0xA5);
                for (int i = from; i < MT_N; ++i) {
                    if (t[i] < below) want.push_back(static_cast<uint8_t>(t[i] >> 24));
                }
                const int n = impl.fn(t, from, bits.bits[0], got.data());
                // (nothing written past the 64 bytes after them)
                const bool kept = n >= 0 && std::all_of(got.begin() + n + 64, got.end(),
                                                        [](uint8_t b) { return b == 0xA5; });
                got.resize(static_cast<size_t>(std::max(n, 0)));
                CHECK(kept && n == static_cast<int>(want.size()) && got == want,
                      "tops %s: state %c%u, below %08x, from %d: %d bytes, %zu wanted",
                      impl.name, s.kind, s.seed, below, from, n, want.size());
            }
        }
    });
}

// MaskedCursor's draws and picks, and Cursor's picks, against draw_below on a
// plain Cursor, a draw at a time, over runs of some 70 refills.
void check_masked() {
    static uint32_t table[1 << 17];  // padded to 2^(32 - shift) for every bound below
    for (uint32_t i = 0; i < (1U << 17); ++i) table[i] = i * 2654435761U;
    const uint32_t kSets[][MAX_TESTS] = {{1, 2, 3, 26}, {129, 1000, 5, 4096}, {7, 100, 255, 65537}};
    for (const State& s : kStates) {
        uint32_t st[MT_N];
        s.fill(st);
        for (const auto& ns : kSets) {
            for (int from : {0, 1, 300, MT_N - 1, MT_N}) {
                Block b0(st), b1(st), b2(st);
                Cursor ref = b0.at(from), plain = b1.at(from);
                uint32_t accept[MAX_TESTS];
                for (int m = 0; m < MAX_TESTS; ++m) accept[m] = ns[m] << shift_of(ns[m]);
                AcceptBits bits{};
                mt_accept_bits(b2.tempered, from, accept, MAX_TESTS, bits);
                MaskedCursor masked{b2.at(from), &bits, accept, MAX_TESTS};
                uint64_t x = s.seed * 31ULL + from;
                int bad = -1;
                bool picks = false;
                for (int op = 0; op < 400 && bad < 0; ++op) {
                    const uint64_t r = splitmix(x);
                    const auto m = static_cast<uint8_t>(r % MAX_TESTS);
                    const uint32_t n = ns[m], times = 1 + (r >> 8) % 150;
                    const uint8_t shift = shift_of(n);
                    uint32_t want[150], got_plain[150], got_masked[150];
                    for (uint32_t j = 0; j < times; ++j) want[j] = table[draw_below(ref, n, shift)];
                    picks = (r >> 20) & 1;
                    if (picks) {
                        plain.picks(got_plain, times, table, n, shift);
                        masked.picks(got_masked, times, table, n, shift, m);
                    }
                    for (uint32_t j = 0; j < times && !picks; ++j) {
                        got_plain[j] = table[plain.below(n, shift)];
                        if (n == 1) {  // a fixed count's draw: the cursor moves, the value is 0
                            masked.below_one(shift, m);
                            got_masked[j] = table[0];
                        } else {
                            got_masked[j] = table[masked.below(n, shift, m)];
                        }
                    }
                    if (std::memcmp(want, got_plain, times * 4) != 0 ||
                        std::memcmp(want, got_masked, times * 4) != 0 ||
                        plain.index() != ref.index() || masked.words.index() != ref.index())
                        bad = op;
                }
                CHECK(bad < 0,
                      "masked: state %c%u, bounds %u %u %u %u, from %d: draws differ at op %d (%s)",
                      s.kind, s.seed, ns[0], ns[1], ns[2], ns[3], from, bad,
                      picks ? "picks" : "below");
            }
        }
    }
}

bool read_list(std::istream& in, const char* name, std::vector<uint32_t>& out) {
    std::string tag;
    size_t n = 0;
    if (!(in >> tag >> n) || tag != name) return false;
    out.resize(n);
    for (auto& v : out) in >> v;
    return static_cast<bool>(in);
}

// The words, a Cursor's words, draw_below and MaskedCursor::below against CPython's.
void check_cpython(const char* path) {
    std::ifstream in(path);
    std::string tag, seed, skip;
    std::vector<uint32_t> st, words, bounds, below;
    int cases = 0;
    for (; in >> tag && tag == "case"; ++cases) {
        if (!CHECK(in >> seed >> skip && read_list(in, "state", st) && st.size() == MT_N + 1 &&
                       st[MT_N] <= MT_N && read_list(in, "words", words) &&
                       read_list(in, "bounds", bounds) && !bounds.empty() &&
                       bounds.size() <= MAX_TESTS && read_list(in, "below", below),
                   "cpython: %s: case %d unreadable", path, cases))
            return;
        const int index = static_cast<int>(st[MT_N]), tests = static_cast<int>(bounds.size());
        Block manual(st.data()), b1(st.data()), b2(st.data()), b3(st.data());
        int word_bad = -1, cursor_bad = -1, below_bad = -1, masked_bad = -1;
        Cursor cursor = b1.at(index), plain = b2.at(index);
        for (int i = 0, at = index; i < static_cast<int>(words.size()); ++i, ++at) {
            if (at == MT_N) {  // as genrand_uint32
                mt_refill(manual.state, manual.tempered);
                at = 0;
            }
            if (word_bad < 0 && mt_temper(manual.state[at]) != words[i]) word_bad = i;
            if (cursor_bad < 0 && cursor.next() != words[i]) cursor_bad = i;
        }
        uint32_t accept[MAX_TESTS];
        for (int m = 0; m < tests; ++m) accept[m] = bounds[m] << shift_of(bounds[m]);
        AcceptBits bits{};
        mt_accept_bits(b3.tempered, index, accept, tests, bits);
        MaskedCursor masked{b3.at(index), &bits, accept, tests};
        for (int i = 0; i < static_cast<int>(below.size()); ++i) {
            const auto m = static_cast<uint8_t>(i % tests);
            const uint32_t n = bounds[m];
            if (below_bad < 0 && draw_below(plain, n, shift_of(n)) != below[i]) below_bad = i;
            if (masked_bad < 0 && masked.below(n, shift_of(n), m) != below[i]) masked_bad = i;
        }
        const std::pair<const char*, int> found[] = {
            {"word", word_bad}, {"Cursor's word", cursor_bad}, {"draw_below", below_bad},
            {"MaskedCursor's draw", masked_bad}};
        for (const auto& [what, bad] : found) {
            CHECK(bad < 0, "cpython: seed %s, index %d: %s %d differs", seed.c_str(), index, what,
                  bad);
        }
    }
    CHECK(cases > 0 && in.eof(), "cpython: no words of CPython read from %s", path);
}

}  // namespace

int main(int argc, char** argv) {
    const Impls all = impls();
    std::string refills, accepts, tops;
    check_refills(all, refills);
    check_accept_bits(all, accepts);
    check_tops(all, tops);
    check_masked();
    check_cpython(argc > 1 ? argv[1] : "(no file given)");
    std::printf("checks a width: refill%s; accept bits%s; tops%s\n", refills.c_str(),
                accepts.c_str(), tops.c_str());
    std::printf("cpp: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
