// The runner of a program: one row of a Program (program.hpp) from the
// generator's words, drawn in the order of rstr's randint/choice calls.
//
//  * `Runner<Char>`: any program, node by node (groups, back-references,
//    nested repeats), from the generator's reader (`Words`).
//  * `run_steps`: a flat program's steps, from a Cursor, or for a masked
//    program from a MaskedCursor.
//  * `run_template_rows`: rows of a templated program, a row's template
//    copied and its draws written in place, from a MaskedCursor.
#pragma once

#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "mt/generator.hpp"
#include "regex/program.hpp"

namespace vandrel::xeger {

using mt::draw_below;
using mt::Words;

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
            case Kind::Choice:  // a step's kind, never a node's
                break;
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
            case Kind::Choice: {
                const uint32_t* text = s.texts + 2 * words.below(s.size, s.shift, s.mask);
                for (uint32_t k = 0; k < text[1]; ++k) {
                    *at++ = static_cast<Char>(s.chars[text[0] + k]);
                }
                break;
            }
            default: {  // RepeatPick
                size_t times = s.a;
                if (s.count_n == 1) {  // {m}: the count's draw is 0
                    words.below_one(s.count_shift, s.count_mask);
                } else {
                    times += words.below(s.count_n, s.count_shift, s.count_mask);
                }
                words.picks(at, times, s.chars, s.size, s.shift, s.mask);
                at += times;
                break;
            }
        }
    }
    cursor = words;
    return static_cast<size_t>(at - out);
}

// `count` rows of a templated program (Program::templated), one after another
// from `out`, which has room for them and 8 bytes more (a row's template is
// copied 8 bytes at a time, and its counts' draws write the byte after it),
// from a MaskedCursor whose bits are those of its block.
template <class Reader>
[[gnu::always_inline]] inline void run_template_rows(const Program& p, Reader& cursor, uint8_t* out,
                                                     size_t count) noexcept {
    Reader words = cursor;  // a local: in registers, whatever the stores of characters alias
    const uint8_t* tmpl = p.row_template.data();
    const size_t chunks = p.row_template.size(), width = p.max_len;
    const Draw* first = p.draws.data();
    const Draw* last = first + p.draws.size();
    for (size_t r = 0; r < count; ++r, out += width) {
        for (size_t k = 0; k < chunks; k += 8) std::memcpy(out + k, tmpl + k, 8);
        for (const Draw* d = first; d != last; ++d) {
            if (d->at == width) {  // a count's draw, whose value is 0
                words.skip_top(d->shift, d->mask);
            } else {
                words.draw_tops(out + d->at, d->times, d->table, d->shift, d->mask);
            }
        }
    }
    words.sync();
    cursor = words;
}

}  // namespace vandrel::xeger
