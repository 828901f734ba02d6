// See compiler.hpp.
#include "regex/compiler.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/names.hpp"
#include "guard/refusal.hpp"
#include "regex/passes.hpp"

namespace vandrel::xeger {

namespace {

uint8_t shift_for(uint64_t n) {
    int k = 0;
    while ((n >> k) != 0) ++k;
    need(n >= 1 && k <= 32);
    return static_cast<uint8_t>(32 - k);
}

// The lower-case opcode name, as Xeger._handle_state dispatches on it.
std::string op_name(PyObject* op) {
    Ref name = getattr(op, K.str_name);
    need(PyUnicode_Check(name.get()));
    const char* u = PyUnicode_AsUTF8(name.get());
    if (u == nullptr) raise_set();
    std::string s(u);
    for (char& c : s) {
        need(static_cast<unsigned char>(c) < 0x80);
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

long long as_int(PyObject* v) {
    need(PyLong_Check(v));
    int overflow = 0;
    long long r = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (r == -1 && PyErr_Occurred()) raise_set();
    need(overflow == 0);
    return r;
}

class Compiler {
  public:
    Compiler(const Validated& s, Program& p) : s_(s), p_(p) {}

    void compile(PyObject* parsed) {
        std::vector<bool> defined;
        p_.root = seq(parsed, 0, defined);
    }

  private:
    const Validated& s_;
    Program& p_;

    uint32_t table(const Py_UCS4* data, size_t n) {
        need(n >= 1 && n <= MAX_TABLE && p_.chars.size() + n <= (1u << 22));
        auto off = static_cast<uint32_t>(p_.chars.size());
        for (size_t i = 0; i < n; ++i) {
            p_.chars.push_back(data[i]);
            if (data[i] > p_.maxchar) p_.maxchar = data[i];
        }
        return off;
    }
    static void append_str(std::vector<Py_UCS4>& out, PyObject* str) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(str);
        need(out.size() + static_cast<size_t>(len) <= MAX_TABLE);
        int kind = PyUnicode_KIND(str);
        const void* data = PyUnicode_DATA(str);
        for (Py_ssize_t i = 0; i < len; ++i) out.push_back(PyUnicode_READ(kind, data, i));
    }
    // A choice among `chars`; its table is padded to the next power of two so
    // that a run of picks may index it with a rejected draw too.
    Node pick(const std::vector<Py_UCS4>& chars) {
        Node n{Kind::Pick};
        n.a = table(chars.data(), chars.size());
        n.n = static_cast<uint32_t>(chars.size());
        n.shift = shift_for(chars.size());
        size_t padded = size_t{1} << (32 - n.shift);
        need(p_.chars.size() + padded - chars.size() <= (1u << 23));
        p_.chars.resize(p_.chars.size() + padded - chars.size(), 0);
        return n;
    }
    PyObject* category(PyObject* value) {
        std::string c = op_name(value);
        for (int i = 0; i < 6; ++i) {
            if (c == CATEGORY_KEYS[i]) return s_.category_alphabet[i];
        }
        refuse();
    }

    // `[...]`: the candidates of Xeger._handle_in, in their order.
    Node in(PyObject* items) {
        Ref fast = Ref::steal(PySequence_Fast(items, "in"));
        std::vector<Py_UCS4> cands;
        bool negated = false;
        Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* it = PySequence_Fast_GET_ITEM(fast.get(), i);
            need(PyTuple_Check(it) && PyTuple_GET_SIZE(it) == 2);
            std::string op = op_name(PyTuple_GET_ITEM(it, 0));
            PyObject* v = PyTuple_GET_ITEM(it, 1);
            if (op == "negate") {
                need(i == 0);  // anywhere else, False would be a candidate
                negated = true;
            } else if (op == "literal") {
                long long c = as_int(v);
                need(c >= 0 && c <= 0x10FFFF && cands.size() < MAX_TABLE);
                cands.push_back(static_cast<Py_UCS4>(c));
            } else if (op == "range") {
                need(PyTuple_Check(v) && PyTuple_GET_SIZE(v) == 2);
                long long lo = as_int(PyTuple_GET_ITEM(v, 0)), hi = as_int(PyTuple_GET_ITEM(v, 1));
                need(lo >= 0 && hi <= 0x10FFFF && hi - lo < static_cast<long long>(MAX_TABLE) &&
                     cands.size() + static_cast<size_t>(hi - lo + 1) <= MAX_TABLE);
                for (long long c = lo; c <= hi; ++c) cands.push_back(static_cast<Py_UCS4>(c));
            } else if (op == "category") {
                append_str(cands, category(v));
            } else {
                refuse();
            }
        }
        if (!negated) return pick(cands);
        // list(set(string.printable).difference(candidates[1:])): the set's order
        // is this process's, so let the interpreter make it.
        Ref rest = Ref::steal(PyList_New(static_cast<Py_ssize_t>(cands.size())));
        for (size_t i = 0; i < cands.size(); ++i) {
            PyObject* ch = PyUnicode_FromOrdinal(static_cast<int>(cands[i]));
            if (ch == nullptr) raise_set();
            PyList_SET_ITEM(rest.get(), static_cast<Py_ssize_t>(i), ch);
        }
        Ref all = Ref::steal(PySet_New(s_.printable));
        Ref diff = Ref::steal(PyObject_CallMethod(all.get(), "difference", "O", rest.get()));
        Ref list = Ref::steal(PySequence_List(diff.get()));
        std::vector<Py_UCS4> left;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
            PyObject* ch = PyList_GET_ITEM(list.get(), i);
            need(PyUnicode_CheckExact(ch) && PyUnicode_GET_LENGTH(ch) == 1);
            left.push_back(PyUnicode_READ_CHAR(ch, 0));
        }
        return pick(left);
    }

    // One parsed sequence; `defined` holds the groups certainly set on entry
    // and, on return, those certainly set after it.
    // NOLINTNEXTLINE(misc-no-recursion): nested as the pattern, at most MAX_DEPTH deep
    uint32_t seq(PyObject* sub, int depth, std::vector<bool>& defined) {
        need(depth <= MAX_DEPTH);
        Ref fast = Ref::steal(PySequence_Fast(sub, "pattern"));
        std::vector<Node> local;
        Py_ssize_t count = PySequence_Fast_GET_SIZE(fast.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* st = PySequence_Fast_GET_ITEM(fast.get(), i);
            need(PyTuple_Check(st) && PyTuple_GET_SIZE(st) == 2);
            state(op_name(PyTuple_GET_ITEM(st, 0)), PyTuple_GET_ITEM(st, 1), depth, defined, local);
        }
        Program::Range r{static_cast<uint32_t>(p_.nodes.size()), 0};
        p_.nodes.insert(p_.nodes.end(), local.begin(), local.end());
        r.end = static_cast<uint32_t>(p_.nodes.size());
        need(p_.nodes.size() < (1u << 24));
        p_.seqs.push_back(r);
        return static_cast<uint32_t>(p_.seqs.size() - 1);
    }

    // One node of the parse, as Xeger._handle_state dispatches on its opcode.
    // NOLINTNEXTLINE(misc-no-recursion): see seq
    void state(const std::string& op, PyObject* v, int depth, std::vector<bool>& defined,
               std::vector<Node>& local) {
        if (op == "literal") {
            local.push_back(literal(v));
        } else if (op == "not_literal") {
            local.push_back(not_literal(v));
        } else if (op == "at" || op == "assert_not") {
            // '' (and a negative lookaround's body is never generated)
        } else if (op == "in") {
            local.push_back(in(v));
        } else if (op == "any") {
            local.push_back(any());
        } else if (op == "category") {
            // the whole alphabet, as Xeger returns it here (nothing when empty)
            std::vector<Py_UCS4> chars;
            append_str(chars, category(v));
            if (!chars.empty()) local.push_back(text(chars));
        } else if (op == "branch") {
            local.push_back(branch(v, depth, defined));
        } else if (op == "subpattern" || op == "assert") {
            local.push_back(group(op == "assert", v, depth, defined));
        } else if (op == "groupref") {
            local.push_back(groupref(v, defined));
        } else if (op == "min_repeat" || op == "max_repeat") {
            local.push_back(repeat(v, depth, defined));
        } else {
            refuse();
        }
    }

    Node literal(PyObject* v) {
        long long c = as_int(v);
        need(c >= 0 && c <= 0x10FFFF);
        Node n{Kind::Char};
        n.a = static_cast<uint32_t>(c);
        if (n.a > p_.maxchar) p_.maxchar = n.a;
        return n;
    }
    // string.printable without the character: one choice among the rest
    Node not_literal(PyObject* v) {
        long long c = as_int(v);
        need(c >= 0 && c <= 0x10FFFF);
        Ref ch = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(c)));
        Ref rest = Ref::steal(PyUnicode_Replace(s_.printable, ch.get(), K.empty_str, -1));
        std::vector<Py_UCS4> chars;
        append_str(chars, rest.get());
        return pick(chars);
    }
    // self.printable(1, exclude='\n'): one choice among the others
    Node any() {
        std::vector<Py_UCS4> all, chars;
        append_str(all, s_.any_alphabet);
        for (Py_UCS4 c : all) {
            if (c != '\n') chars.push_back(c);
        }
        return pick(chars);
    }
    Node text(const std::vector<Py_UCS4>& chars) {
        Node n{Kind::Text};
        n.a = table(chars.data(), chars.size());
        n.n = static_cast<uint32_t>(chars.size());
        return n;
    }
    // One alternative chosen; after it, the groups every alternative sets.
    // NOLINTNEXTLINE(misc-no-recursion): see seq
    Node branch(PyObject* v, int depth, std::vector<bool>& defined) {
        need(PyTuple_Check(v) && PyTuple_GET_SIZE(v) == 2);
        Ref alts = Ref::steal(PySequence_Fast(PyTuple_GET_ITEM(v, 1), "branch"));
        Py_ssize_t na = PySequence_Fast_GET_SIZE(alts.get());
        need(na >= 1);
        std::vector<uint32_t> bodies;
        std::vector<bool> after;
        for (Py_ssize_t j = 0; j < na; ++j) {
            std::vector<bool> d = defined;
            bodies.push_back(seq(PySequence_Fast_GET_ITEM(alts.get(), j), depth + 1, d));
            if (j == 0) {
                after = d;
            } else {
                for (size_t g = 0; g < after.size(); ++g) {
                    after[g] = after[g] && g < d.size() && d[g];
                }
            }
        }
        defined = after;
        Node n{Kind::Branch};
        n.n = static_cast<uint32_t>(na);
        n.shift = shift_for(static_cast<uint64_t>(na));
        n.body = static_cast<uint32_t>(p_.alts.size());
        p_.alts.insert(p_.alts.end(), bodies.begin(), bodies.end());
        return n;
    }
    // A group (numbered: its text is kept for references) or a lookahead's body.
    // NOLINTNEXTLINE(misc-no-recursion): see seq
    Node group(bool lookahead, PyObject* v, int depth, std::vector<bool>& defined) {
        need(PyTuple_Check(v) && PyTuple_GET_SIZE(v) >= 2);
        Py_ssize_t last = lookahead ? 1 : PyTuple_GET_SIZE(v) - 1;
        Node n{Kind::Group};
        n.body = seq(PyTuple_GET_ITEM(v, last), depth + 1, defined);
        PyObject* g = PyTuple_GET_ITEM(v, 0);
        if (!lookahead && g != Py_None) {
            long long gi = as_int(g);
            need(gi >= 1 && gi < 1000);
            n.a = static_cast<uint32_t>(gi);
            if (defined.size() <= n.a) defined.resize(n.a + 1);
            defined[n.a] = true;
            if (p_.groups <= n.a) p_.groups = n.a + 1;
        }
        return n;
    }
    static Node groupref(PyObject* v, const std::vector<bool>& defined) {
        long long gi = as_int(v);
        // Xeger raises KeyError for a group not set yet: not reproduced.
        need(gi >= 1 && static_cast<size_t>(gi) < defined.size() && defined[gi]);
        Node n{Kind::Backref};
        n.a = static_cast<uint32_t>(gi);
        return n;
    }
    // randint(min, min(max, STAR_PLUS_LIMIT)) times the body; one pick as a run.
    // NOLINTNEXTLINE(misc-no-recursion): see seq
    Node repeat(PyObject* v, int depth, std::vector<bool>& defined) {
        need(PyTuple_Check(v) && PyTuple_GET_SIZE(v) == 3);
        long long lo = as_int(PyTuple_GET_ITEM(v, 0)), hi = as_int(PyTuple_GET_ITEM(v, 1));
        long long top = hi < s_.repeat_limit ? hi : s_.repeat_limit;
        need(lo >= 0 && top >= lo);  // else randint raises
        Node n{Kind::Repeat};
        n.a = static_cast<uint32_t>(lo);
        n.n = static_cast<uint32_t>(top - lo + 1);
        n.shift = shift_for(static_cast<uint64_t>(n.n));
        std::vector<bool> d = defined;
        n.body = seq(PyTuple_GET_ITEM(v, 2), depth + 1, d);
        if (lo >= 1) defined = d;
        const Program::Range body = p_.seqs[n.body];
        if (body.end - body.begin == 1 && p_.nodes[body.begin].kind == Kind::Pick) {
            n.kind = Kind::RepeatPick;
            n.body = body.begin;
        }
        return n;
    }
};

// The parser warns (FutureWarning, DeprecationWarning) about a few spellings;
// such a pattern keeps its calls so that every warning is issued as before.
bool may_warn(PyObject* pattern) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(pattern);
    int kind = PyUnicode_KIND(pattern);
    const void* data = PyUnicode_DATA(pattern);
    for (Py_ssize_t i = 0; i + 1 < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i), d = PyUnicode_READ(kind, data, i + 1);
        if (c == d && (c == '[' || c == '-' || c == '&' || c == '~' || c == '|')) return true;
        if (c == '(' && d == '?' && i + 2 < n) {
            Py_UCS4 e = PyUnicode_READ(kind, data, i + 2);
            if (e == '(') {
                return true;  // a condition's group name (3.12), and rstr refuses it anyway
            }
            if (i != 0 && std::strchr("aiLmsux-", static_cast<int>(e)) != nullptr && e != 0) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

std::unique_ptr<Program> compile(const Validated& s, PyObject* pattern) {
    if (may_warn(pattern)) return nullptr;
    Ref parsed = Ref::steal_or_null(PyObject_CallOneArg(s.parse, pattern));
    if (!parsed) {
        // The parser's refusal is the call's to raise, row by row. An interrupt
        // (anything not an Exception) is raised here, where the call would.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) raise_set();
        PyErr_Clear();
        return nullptr;
    }
    auto p = std::make_unique<Program>();
    try {
        Compiler(s, *p).compile(parsed.get());
    } catch (const Refuse&) {
        return nullptr;
    }
    p->max_len = longest(*p, p->root);
    if (p->max_len > kMaxRow) return nullptr;  // a row that long is left to the calls
    auto surrogate = [](Py_UCS4 c) { return c >= 0xD800 && c <= 0xDFFF; };
    p->surrogates = std::any_of(p->chars.begin(), p->chars.end(), surrogate) ||
                    std::any_of(p->nodes.begin(), p->nodes.end(), [&](const Node& n) {
                        return n.kind == Kind::Char && surrogate(n.a);
                    });
    flatten(*p);
    return p;
}

}  // namespace vandrel::xeger
