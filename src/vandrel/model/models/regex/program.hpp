// The program of a pattern: what the compiler (compiler.hpp) makes of rstr's
// parse of it, and what the runner (runner.hpp) turns into rows. Plain data:
// a tree of nodes (`nodes`, `seqs`, `alts`, `chars`), and for a program of one
// flat sequence its steps, with the acceptance tests of their draws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mt/mt19937.hpp"

namespace vandrel::xeger {

// RepeatPick: a Repeat whose body is one Pick (`\\d{4}`, `[a-f]*`), drawn as a run.
// Choice (steps only): a Branch among alternatives of fixed text (`(com|org)`).
enum class Kind : uint8_t { Char, Text, Pick, Branch, Group, Backref, Repeat, RepeatPick, Choice };

struct Node {
    Kind kind = Kind::Char;
    uint8_t shift = 0;  // 32 - bit_length(n): getrandbits(k) is a word >> (32 - k)
    uint32_t n = 0;     // Pick/Text: table size; Branch: alternatives; Repeat: max - min + 1
    uint32_t a = 0;  // Char: code point; Pick/Text: table offset; Group/Backref: group; Repeat: min
    uint32_t body =
        0;  // Group/Repeat: sequence; Branch: first entry in `alts`; RepeatPick: the Pick
};

// A node of a flat program (Program::flat) with what a row needs of it at hand.
struct Step {
    Kind kind = Kind::Char;           // Char, Text, Pick, RepeatPick or Choice
    uint8_t count_shift = 0;          // RepeatPick: the shift of the count's draw
    uint8_t shift = 0;                // Pick/RepeatPick: the shift of a pick's draw
    uint32_t count_n = 0;             // RepeatPick: max - min + 1
    uint32_t a = 0;                   // Char: code point; Text: length; RepeatPick: min
    uint32_t size = 0;                // Pick/RepeatPick: the table's size; Choice: alternatives
    const uint32_t* chars = nullptr;  // Text: its characters; Pick/RepeatPick: the table;
                                      // Choice: the alternatives' characters
    const uint32_t* texts = nullptr;  // Choice: (offset in `chars`, length) of each alternative
    uint8_t count_mask = 0;           // RepeatPick: the count's entry in Program::accept
    uint8_t mask = 0;                 // Pick/RepeatPick/Choice: a draw's entry in Program::accept
};

// A run of draws of a templated program (Program::templated): the characters
// of `times` draws, each the entry `table[word >> 24]` of the word test `mask`
// accepts (a table of 256: entry b is the pick's character (b >> (shift - 24))),
// go to bytes `at`.. of the row (a count's draw, whose value is 0, to the byte
// after the row).
struct Draw {
    const uint8_t* table = nullptr;
    uint32_t at = 0;
    uint32_t times = 0;
    uint8_t mask = 0;
    uint8_t shift = 0;  // >= 24
};

// A Draw of a chained program (Program::chained) as the chain reads it: the
// bits of its test are `offset` words into AcceptBits::bits, and the last word
// of its run is the set bit `last` of theirs (1 << (times - 1); 0 past 64).
struct Link {
    uint64_t last = 0;
    uint32_t offset = 0;
    uint32_t times = 0;
};

// A draw of a varied program (Program::varied) as its chain reads it: a
// single draw (`count_shift` 0) takes the next word its test (`count_offset`
// words into AcceptBits::bits) accepts; a run of picks first draws its count
// (test `count_offset`, the count `min + (top byte >> (count_shift - 1))`, or
// `min` for a fixed count), then takes that many words test `offset` accepts.
struct VaryLink {
    uint32_t offset = 0;
    uint32_t count_offset = 0;
    uint32_t min = 0;
    uint32_t count_shift = 0;  // 1 + the shift of the count's top byte, 0 for a single draw
    bool fixed = false;        // a fixed count's: its value is 0
};

// A step of a varied program as its rows are written from the top bytes of
// the words its draws took, in order: a Char the byte `a`; a Text its `a`
// bytes at `bytes`; a Pick `table[top]`; a RepeatPick `a + (top >> shift)`
// characters `table[top]`, at most `most`; a Choice the alternative whose
// (offset in `bytes`, length) is pairs[2 * top]. Texts are read 16 bytes at a
// time (Program::part_bytes has 16 more).
struct Part {
    Kind kind = Kind::Char;
    uint32_t a = 0;  // Char: the byte; Text: its length; RepeatPick: min
    uint32_t most = 0;
    uint32_t shift = 0;  // RepeatPick: of its count's top byte
    const uint8_t* table = nullptr;
    const uint8_t* bytes = nullptr;
    const uint32_t* pairs = nullptr;
};

// One draw of a streamed program (Program::streamed): its character is
// `table[top byte]` (a table as Draw's), written to byte `at` of the row.
struct Take {
    const uint8_t* table = nullptr;
    uint32_t at = 0;
};

// A streamed program's rows as vectors (stream.cpp), `rows` rows of at most
// 64 bytes in all a vector, whose draws are at most 64 bytes too: byte b of
// the vector is the drawn byte `index[b]` of those rows' draws (one row's
// after another's) mapped through table t where bit b of `placed[t]` is set,
// else `text[b]`.
struct StreamVector {
    static constexpr int TABLES = 4;
    uint8_t text[64] = {};
    uint8_t index[64] = {};
    uint8_t tables[TABLES][256] = {};
    uint64_t placed[TABLES] = {};
    int count = 0;      // tables
    size_t rows = 1;    // rows a vector
    bool high = false;  // a drawn byte may be 128 or more
};

// The most acceptance tests a masked program (Program::masked) holds: as many
// as the generator's block has bits for.
constexpr int MAX_MASKS = mt::MAX_TESTS;

struct Program {
    struct Range {
        uint32_t begin, end;
    };
    std::vector<Node> nodes;
    std::vector<Range> seqs;
    std::vector<uint32_t> alts;
    std::vector<uint32_t> chars;  // code points
    uint32_t root = 0;
    uint32_t groups = 0;  // highest group number + 1
    uint32_t maxchar = 0;
    size_t max_len = 0;       // the longest row it can make
    bool surrogates = false;  // some character it may write is a surrogate (no UTF-8 form)
    // flat: one sequence of Char, Text, Pick and RepeatPick nodes, once groups
    // no back-reference names are spliced in and branches among fixed texts
    // are Choice steps; `steps` are that sequence (into `chars` and `texts`,
    // complete by then).
    bool flat = false;
    std::vector<Step> steps;
    std::vector<uint32_t> texts;  // Choice steps' (offset, length) pairs
    // A draw of _randbelow(n) with shift s accepts a word w when (w >> s) < n,
    // that is when w < (n << s): the distinct n << s of the steps, when there
    // are at most MAX_MASKS of them (then the program is `masked`).
    bool masked = false;
    // A flat program whose rows all have the same length (max_len).
    bool fixed = false;
    std::vector<uint32_t> accept;
    // templated: a fixed, masked program of ASCII characters with no choice,
    // as the bytes of a row with its characters in place (`row_template`,
    // max_len bytes and zeros to a multiple of 8) and its draws in order
    // (`draws`, into `draw_tables`).
    bool templated = false;
    std::vector<uint8_t> row_template;
    std::vector<Draw> draws;
    std::vector<uint8_t> draw_tables;
    // streamed: a templated program with draws, whose rows take their words
    // in turn from the block (`takes`: its draws one by one, a count's to the
    // byte after the row; a loop of one length is quicker than one of runs):
    // where every draw shares one acceptance test, the next `takes.size()`
    // words it accepts; else (`chained`) the words a chain of the draws'
    // tests takes, worked out a block at a time.
    bool streamed = false;
    bool chained = false;
    std::vector<Take> takes;
    std::vector<Link> links;  // a chained program's draws
    // varied: a flat, masked program of ASCII rows of varying length (or of
    // choices), every draw of at most 8 bits, whose rows are chained a block
    // at a time as a chained program's (`vary_links`) and written from the top
    // bytes of the words taken (`parts`, into `part_bytes` and `part_pairs`);
    // `row_draws`: the most draws a row makes.
    bool varied = false;
    std::vector<VaryLink> vary_links;
    std::vector<Part> parts;
    std::vector<uint8_t> part_bytes;
    std::vector<uint32_t> part_pairs;
    size_t row_draws = 0;
    // vectored: a streamed program whose rows fit `vector` (at most 64 bytes,
    // 64 draws and StreamVector::TABLES distinct tables).
    bool vectored = false;
    StreamVector vector;
};

constexpr size_t MAX_TABLE = 1 << 16;
constexpr int MAX_DEPTH = 40;

}  // namespace vandrel::xeger
