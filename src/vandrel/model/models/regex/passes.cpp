// See passes.hpp.
#include "regex/passes.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "mt/cpu.hpp"

namespace vandrel::xeger {

namespace {

// The longest row `seq` can make (capped past kMaxRow). Groups are set before
// any reference to them, in the order the runner goes.
// NOLINTNEXTLINE(misc-no-recursion): nested as the program, at most MAX_DEPTH deep
size_t longest(const Program& p, uint32_t seq, std::vector<size_t>& groups) {
    size_t total = 0;
    auto add = [&](size_t n) { total = std::min(total + n, kMaxRow + 1); };
    const Program::Range r = p.seqs[seq];
    for (uint32_t i = r.begin; i < r.end; ++i) {
        const Node& n = p.nodes[i];
        switch (n.kind) {
            case Kind::Char:
            case Kind::Pick:
                add(1);
                break;
            case Kind::Text:
                add(n.n);
                break;
            case Kind::Branch: {
                size_t most = 0;
                for (uint32_t k = 0; k < n.n; ++k) {
                    most = std::max(most, longest(p, p.alts[n.body + k], groups));
                }
                add(most);
                break;
            }
            case Kind::Group: {
                size_t body = longest(p, n.body, groups);
                if (n.a != 0) groups[n.a] = std::max(groups[n.a], body);
                add(body);
                break;
            }
            case Kind::Backref:
                add(groups[n.a]);
                break;
            case Kind::RepeatPick:
                add(size_t{n.a} + n.n - 1);
                break;
            case Kind::Choice:  // a step's kind, never a node's
                break;
            case Kind::Repeat: {
                const size_t body = longest(p, n.body, groups), times = size_t{n.a} + n.n - 1;
                add(body == 0 ? 0 : (times > kMaxRow / body ? kMaxRow + 1 : times * body));
                break;
            }
        }
    }
    return total;
}
}  // namespace

size_t longest(const Program& p, uint32_t root) {
    std::vector<size_t> groups(p.groups + 1, 0);
    return longest(p, root, groups);
}

namespace {

// The nodes of sequence `seq` with the groups no back-reference names spliced
// in (a group's only effect then is its body): false when some node is not
// one a flat program holds (Char, Text, Pick, RepeatPick, or a Branch whose
// alternatives all come down to characters and texts).
// NOLINTNEXTLINE(misc-no-recursion): nested as the program, at most MAX_DEPTH deep
bool spliced(const Program& p, uint32_t seq, const std::vector<bool>& named,
             std::vector<const Node*>& out) {
    const Program::Range r = p.seqs[seq];
    for (uint32_t i = r.begin; i < r.end; ++i) {
        const Node& n = p.nodes[i];
        switch (n.kind) {
            case Kind::Group:
                if (n.a != 0 && named[n.a]) return false;
                if (!spliced(p, n.body, named, out)) return false;
                break;
            case Kind::Branch:
                for (uint32_t k = 0; k < n.n; ++k) {
                    std::vector<const Node*> alt;
                    if (!spliced(p, p.alts[n.body + k], named, alt)) return false;
                    for (const Node* a : alt) {
                        if (a->kind != Kind::Char && a->kind != Kind::Text) return false;
                    }
                }
                out.push_back(&n);
                break;
            case Kind::Char:
            case Kind::Text:
            case Kind::Pick:
            case Kind::RepeatPick:
                out.push_back(&n);
                break;
            default:
                return false;
        }
    }
    return true;
}

// The characters of an alternative that comes down to characters and texts.
void alternative_text(const Program& p, uint32_t seq, const std::vector<bool>& named,
                      std::vector<uint32_t>& out) {
    std::vector<const Node*> nodes;
    spliced(p, seq, named, nodes);
    for (const Node* n : nodes) {
        if (n->kind == Kind::Char) {
            out.push_back(n->a);
        } else {
            out.insert(out.end(), p.chars.begin() + n->a, p.chars.begin() + n->a + n->n);
        }
    }
}

// Program::vectored, for a streamed program of short rows: as many rows a
// vector as its 64 bytes hold, of the row and of the row's draws.
void vectored(Program& p) {
    constexpr size_t kBytes = 64;
    const size_t width = p.max_len, k = p.takes.size();
    if (width == 0 || width > kBytes || k > kBytes) return;
    StreamVector& v = p.vector;
    v.rows = std::min(kBytes / width, kBytes / k);
    for (size_t j = 0; j < k; ++j) {
        const Take& t = p.takes[j];
        if (t.at == width) continue;  // a count's: not in the row
        int table = 0;
        while (table < v.count && std::memcmp(v.tables[table], t.table, 256) != 0) ++table;
        if (table == v.count) {
            if (v.count == StreamVector::TABLES) return;
            std::memcpy(v.tables[v.count++], t.table, 256);
        }
        for (size_t r = 0; r < v.rows; ++r) {
            v.index[r * width + t.at] = static_cast<uint8_t>(r * k + j);
            v.placed[table] |= uint64_t{1} << (r * width + t.at);
        }
    }
    for (size_t r = 0; r < v.rows; ++r) {
        std::copy(p.row_template.begin(), p.row_template.begin() + static_cast<long>(width),
                  v.text + r * width);
    }
    // some accepted word's top byte is 128 or more
    v.high = *std::max_element(p.accept.begin(), p.accept.end()) > 0x80000000U;
    p.vectored = true;
}

// Program::templated, for a fixed, masked program of ASCII characters whose
// rows are short enough (a draw per character: the list stays small).
void templated(Program& p) {
    constexpr size_t kMaxTemplate = 4096;
    if (p.max_len > kMaxTemplate) return;
    for (const Step& s : p.steps) {
        if (s.kind == Kind::Choice) return;
        if ((s.kind == Kind::Pick || s.kind == Kind::RepeatPick) && s.shift < 24) return;
        if (s.kind == Kind::RepeatPick && s.count_shift < 24) return;
    }
    constexpr size_t kTable = 256;
    p.row_template.assign((p.max_len + 7) / 8 * 8, 0);
    p.draw_tables.assign(kTable, 0);  // a count's table: its one value, 0
    std::vector<size_t> tables;       // each draw's, in draw_tables
    auto at = static_cast<uint32_t>(0);
    auto draws = [&](uint32_t times, const Step& s) {
        if (times == 0) return;
        const size_t table = p.draw_tables.size();
        for (size_t b = 0; b < kTable; ++b) {
            const size_t value = b >> (s.shift - 24);
            p.draw_tables.push_back(value < s.size ? static_cast<uint8_t>(s.chars[value]) : 0);
        }
        p.draws.push_back(Draw{nullptr, at, times, s.mask, s.shift});
        tables.push_back(table);
        at += times;
    };
    for (const Step& s : p.steps) {
        switch (s.kind) {
            case Kind::Char:
                p.row_template[at++] = static_cast<uint8_t>(s.a);
                break;
            case Kind::Text:
                for (uint32_t k = 0; k < s.a; ++k) {
                    p.row_template[at++] = static_cast<uint8_t>(s.chars[k]);
                }
                break;
            case Kind::Pick:
                draws(1, s);
                break;
            default:  // RepeatPick of one count
                p.draws.push_back(Draw{nullptr, static_cast<uint32_t>(p.max_len), 1, s.count_mask,
                                       s.count_shift});
                tables.push_back(0);
                draws(s.a, s);
                break;
        }
    }
    for (size_t i = 0; i < p.draws.size(); ++i) p.draws[i].table = p.draw_tables.data() + tables[i];
    p.templated = true;
    // Rows of several tests are chained where the chain's steps (a run's at
    // once) beat the template loop's: where the rows are vectors, or else
    // where the runs are 4 draws long on average (`\w{10}`, 11 draws in 2
    // runs, is; `[A-Z]{3}-\d{4}`, 9 in 4, is not).
    if (p.draws.empty()) return;
    for (const Draw& d : p.draws) {
        for (uint32_t k = 0; k < d.times; ++k) {
            p.takes.push_back(Take{d.table, d.at == p.max_len ? d.at : d.at + k});
        }
    }
    vectored(p);
    const bool vectors = p.vectored && mt::this_cpu().avx512vbmi;
    const bool chain = p.accept.size() > 1 && (vectors || p.takes.size() >= 4 * p.draws.size());
    if (p.accept.size() > 1 && !chain) {
        p.takes.clear();
        p.vectored = false;
        return;
    }
    p.streamed = true;
    p.chained = chain;
    for (const Draw& d : p.draws) {
        constexpr uint32_t kBits = 64;
        p.links.push_back(Link{d.times <= kBits ? uint64_t{1} << (d.times - 1) : 0,
                               static_cast<uint32_t>(d.mask * mt::AcceptBits::WORDS), d.times});
    }
}

// Program::varied, for a flat, masked program of ASCII characters that is not
// templated, with draws of at most 8 bits, rows short enough.
void varied(Program& p) {
    constexpr size_t kMaxRow = 4096, kTable = 256;
    if (p.max_len > kMaxRow) return;
    auto small = [](uint8_t shift) { return shift >= 24; };
    for (const Step& s : p.steps) {
        if ((s.kind == Kind::Pick || s.kind == Kind::Choice) && !small(s.shift)) return;
        if (s.kind == Kind::RepeatPick && (!small(s.shift) || !small(s.count_shift))) return;
    }
    // 1. Tables and texts, as offsets (the vectors are complete before any pointer is taken).
    struct At {
        size_t table = 0, bytes = 0, pairs = 0;
    };
    std::vector<At> at(p.steps.size());
    auto table = [&](uint8_t shift, auto value) {
        const size_t offset = p.part_bytes.size();
        for (size_t b = 0; b < kTable; ++b) {
            p.part_bytes.push_back(static_cast<uint8_t>(value(b >> (shift - 24))));
        }
        return offset;
    };
    for (size_t i = 0; i < p.steps.size(); ++i) {
        const Step& s = p.steps[i];
        Part part{s.kind};
        switch (s.kind) {
            case Kind::Char:
                part.a = s.a;
                break;
            case Kind::Text:
                part.a = s.a;
                at[i].bytes = p.part_bytes.size();
                for (uint32_t k = 0; k < s.a; ++k) {
                    p.part_bytes.push_back(static_cast<uint8_t>(s.chars[k]));
                }
                break;
            case Kind::Pick:
                at[i].table = table(s.shift, [&](size_t v) { return v < s.size ? s.chars[v] : 0; });
                p.row_draws += 1;
                break;
            case Kind::RepeatPick:
                part.a = s.a;
                part.most = s.a + s.count_n - 1;
                part.shift = s.count_shift - 24U;
                at[i].table = table(s.shift, [&](size_t v) { return v < s.size ? s.chars[v] : 0; });
                p.row_draws += 1 + part.most;
                break;
            default: {  // Choice: its alternatives' texts, their places by top byte
                std::vector<uint32_t> text_at;
                for (uint32_t k = 0; k < s.size; ++k) {
                    text_at.push_back(static_cast<uint32_t>(p.part_bytes.size()));
                    for (uint32_t j = 0; j < s.texts[2 * k + 1]; ++j) {
                        p.part_bytes.push_back(
                            static_cast<uint8_t>(p.chars[s.texts[size_t{2} * k] + j]));
                    }
                }
                at[i].pairs = p.part_pairs.size();
                for (size_t b = 0; b < kTable; ++b) {
                    const size_t k = std::min<size_t>(b >> (s.shift - 24), s.size - 1);
                    p.part_pairs.push_back(text_at[k]);
                    p.part_pairs.push_back(s.texts[2 * k + 1]);
                }
                p.row_draws += 1;
                break;
            }
        }
        p.parts.push_back(part);
    }
    if (p.row_draws == 0) {
        p.parts.clear();
        p.part_bytes.clear();
        p.part_pairs.clear();
        return;
    }
    p.part_bytes.resize(p.part_bytes.size() + 16, 0);  // texts are read 16 bytes at a time
    // 2. The pointers, and the chain's links of the draws.
    const uint8_t* bytes = p.part_bytes.data();
    for (size_t i = 0; i < p.steps.size(); ++i) {
        const Step& s = p.steps[i];
        Part& part = p.parts[i];
        if (s.kind == Kind::Char) continue;
        part.bytes = bytes + at[i].bytes;
        if (s.kind == Kind::Text) continue;
        if (s.kind != Kind::Choice) part.table = bytes + at[i].table;
        const auto test = static_cast<uint32_t>(s.mask * mt::AcceptBits::WORDS);
        if (s.kind == Kind::RepeatPick) {
            p.vary_links.push_back(
                VaryLink{test, static_cast<uint32_t>(s.count_mask * mt::AcceptBits::WORDS), s.a,
                         part.shift + 1, s.count_n == 1});
        } else {
            p.vary_links.push_back(VaryLink{test, test, 0, 0, false});
        }
        if (s.kind == Kind::Choice) part.pairs = p.part_pairs.data() + at[i].pairs;
    }
    p.varied = true;
}

}  // namespace

void flatten(Program& p) {
    std::vector<bool> named(p.groups + 1, false);
    for (const Node& n : p.nodes) {
        if (n.kind == Kind::Backref) named[n.a] = true;
    }
    std::vector<const Node*> nodes;
    p.flat = spliced(p, p.root, named, nodes);
    if (!p.flat) return;
    // 1. The alternatives' texts, after the program's characters (`chars` grows
    //    here, before any step points into it).
    std::vector<size_t> first_text(nodes.size(), 0);
    for (size_t i = 0; i < nodes.size(); ++i) {
        const Node& n = *nodes[i];
        if (n.kind != Kind::Branch) continue;
        first_text[i] = p.texts.size();
        for (uint32_t k = 0; k < n.n; ++k) {
            std::vector<uint32_t> text;
            alternative_text(p, p.alts[n.body + k], named, text);
            p.texts.push_back(static_cast<uint32_t>(p.chars.size()));
            p.texts.push_back(static_cast<uint32_t>(text.size()));
            p.chars.insert(p.chars.end(), text.begin(), text.end());
        }
    }
    // 2. The steps.
    for (size_t i = 0; i < nodes.size(); ++i) {
        const Node& n = *nodes[i];
        Step s{n.kind};
        switch (n.kind) {
            case Kind::Char:
                s.a = n.a;
                break;
            case Kind::Text:
                s.a = n.n;
                s.chars = p.chars.data() + n.a;
                break;
            case Kind::Pick:
                s.shift = n.shift;
                s.size = n.n;
                s.chars = p.chars.data() + n.a;
                break;
            case Kind::Branch:
                s.kind = Kind::Choice;
                s.shift = n.shift;
                s.size = n.n;
                s.chars = p.chars.data();
                s.texts = p.texts.data() + first_text[i];
                break;
            default: {  // RepeatPick
                const Node& pick = p.nodes[n.body];
                s.count_shift = n.shift;
                s.count_n = n.n;
                s.a = n.a;
                s.shift = pick.shift;
                s.size = pick.n;
                s.chars = p.chars.data() + pick.a;
                break;
            }
        }
        p.steps.push_back(s);
    }
    // The acceptance tests of the draws (n << shift < 2^32: n has 32 - shift bits).
    auto mask_of = [&p](uint32_t n, uint8_t shift) {
        const uint32_t below = n << shift;
        auto at = std::find(p.accept.begin(), p.accept.end(), below);
        if (at == p.accept.end()) at = p.accept.insert(at, below);
        return static_cast<uint8_t>(at - p.accept.begin());
    };
    for (Step& s : p.steps) {
        if (s.kind == Kind::RepeatPick) s.count_mask = mask_of(s.count_n, s.count_shift);
        if (s.kind == Kind::Pick || s.kind == Kind::RepeatPick || s.kind == Kind::Choice) {
            s.mask = mask_of(s.size, s.shift);
        }
    }
    p.masked = p.accept.size() <= MAX_MASKS;
    p.fixed = std::all_of(p.steps.begin(), p.steps.end(), [&p](const Step& s) {
        if (s.kind == Kind::RepeatPick) return s.count_n == 1;
        if (s.kind != Kind::Choice) return true;
        for (uint32_t k = 1; k < s.size; ++k) {
            if (s.texts[2 * k + 1] != s.texts[1]) return false;
        }
        return true;
    });
    if (mt::kAcceptBits && p.fixed && p.masked && p.maxchar < 0x80) templated(p);
    if (mt::kAcceptBits && !p.templated && p.masked && p.maxchar < 0x80) varied(p);
}

}  // namespace vandrel::xeger
