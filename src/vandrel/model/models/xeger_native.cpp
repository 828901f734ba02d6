// Native rows for FormattedStringModel.sample; see xeger_native.hpp.
//
// The entry point and the process-wide state: the guard (xeger_guard.cpp)
// decides whether a row may be native, the compiler (xeger_compiler.cpp) makes
// a pattern's program once, the generator (xeger_generator.hpp) runs it.
#include "xeger_native.hpp"

#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "compat.hpp"
#include "xeger_compiler.hpp"
#include "xeger_generator.hpp"
#include "xeger_guard.hpp"

namespace vandrel {

namespace {

using namespace xeger;  // NOLINT(google-build-using-namespace)

// ---- the process-wide state ---------------------------------------------------------------

enum class Status { Unknown, Ready, Refused };

// Compiled patterns: `programs` maps a pattern to its index in `store`, or to
// SEEN (met once: the first row of a pattern is a call, so that a single row
// costs no compilation) or REFUSED.
constexpr long SEEN = -2, REFUSED = -1;
constexpr Py_ssize_t MAX_PROGRAMS = 512;

struct State {
    Status status = Status::Unknown;
    Snapshot snap;
    uint64_t generation = 0;  // bumped by every validation
    bool busy = false;        // validating or compiling (Python code runs meanwhile)
    Ref programs;             // dict
    std::vector<std::unique_ptr<Program>> store;
    Ref last_pattern;
    const Program* last_program = nullptr;
    std::vector<uint8_t> ascii;
    std::vector<Py_UCS4> wide;
    std::vector<std::pair<size_t, size_t>> groups;
    // The generator's words from its index on, tempered, while `tempered_valid`:
    // from a check to the end of the run of rows it allows.
    alignas(16) uint32_t tempered[MT_N] = {};
    bool tempered_valid = false;
    AcceptBits accept = {};  // of `tempered`, for the program of a run of masked rows

    void forget_programs() {
        if (programs) PyDict_Clear(programs.get());
        store.clear();
        last_pattern = Ref();
        last_program = nullptr;
    }
    // A validation again: what a program was made of (the parser's tables and
    // constants, the alphabets) may have changed, so every pattern compiles
    // anew, at its next row (patterns already met need no call first).
    void recompile_all() {
        store.clear();
        last_pattern = Ref();
        last_program = nullptr;
        if (!programs) return;
        Ref seen = Ref::steal(PyLong_FromLong(SEEN));
        Ref keys = Ref::steal(PyDict_Keys(programs.get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
            check(PyDict_SetItem(programs.get(), PyList_GET_ITEM(keys.get(), i), seen.get()));
        }
    }
};

State& state() {
    // Made once and never destroyed: at exit the interpreter may be gone.
    static auto* s = new State();  // NOLINT(cppcoreguidelines-owning-memory)
    return *s;
}

struct Busy {
    State& s;
    explicit Busy(State& st) : s(st) { s.busy = true; }
    Busy(const Busy&) = delete;
    Busy(Busy&&) = delete;
    Busy& operator=(const Busy&) = delete;
    Busy& operator=(Busy&&) = delete;
    ~Busy() { s.busy = false; }
};

void revalidate(State& st, PyObject* func, PyObject* self) {
    Busy busy(st);
    st.status = Status::Unknown;
    ++st.generation;
    Snapshot fresh;
    current_snapshot = &fresh;
    struct Install {  // whatever happens, events go to the snapshot in use afterwards
        State& st;
        Install(const Install&) = delete;
        Install(Install&&) = delete;
        Install& operator=(const Install&) = delete;
        Install& operator=(Install&&) = delete;
        ~Install() { current_snapshot = &st.snap; }
    } install{st};
    try {
        validate(fresh, func, self);
        st.status = Status::Ready;
    } catch (const Refuse&) {
        st.status = Status::Refused;
    }
    st.recompile_all();
    st.snap = std::move(fresh);
}

// The program for `pattern`, or NULL for a call.
const Program* program_for(State& st, PyObject* pattern) {
    if (pattern == st.last_pattern.get()) return st.last_program;
    if (!st.programs) st.programs = Ref::steal(PyDict_New());
    PyObject* found = PyDict_GetItemWithError(st.programs.get(), pattern);
    if (found == nullptr && PyErr_Occurred()) raise_set();
    long index = found ? PyLong_AsLong(found) : SEEN - 1;
    const Program* prog = nullptr;
    if (index >= 0) {
        prog = st.store[static_cast<size_t>(index)].get();
    } else if (index == SEEN) {
        uint64_t generation = st.generation;
        std::unique_ptr<Program> made;
        {
            Busy busy(st);
            made = compile(st.snap, pattern);
        }
        // Parsing ran Python code: another thread may have changed what was
        // validated. Then this row is a call, and the next one validates again.
        if (generation != st.generation || !st.snap.unchanged()) return nullptr;
        long value = REFUSED;
        if (made) {
            value = static_cast<long>(st.store.size());
            st.store.push_back(std::move(made));
            prog = st.store.back().get();
        }
        Ref v = Ref::steal(PyLong_FromLong(value));
        check(PyDict_SetItem(st.programs.get(), pattern, v.get()));
    } else if (index != REFUSED) {
        if (PyDict_GET_SIZE(st.programs.get()) >= MAX_PROGRAMS) st.forget_programs();
        if (!st.programs) st.programs = Ref::steal(PyDict_New());
        Ref v = Ref::steal(PyLong_FromLong(SEEN));
        check(PyDict_SetItem(st.programs.get(), pattern, v.get()));
        return nullptr;
    }
    st.last_pattern = Ref::borrow(pattern);
    st.last_program = prog;
    return prog;
}

}  // namespace

const XegerProgram* xeger_native_program(PyObject* xeger, PyObject* pattern) {
#if PY_VERSION_HEX < 0x03090000 || PY_VERSION_HEX >= 0x030E0000 || defined(Py_GIL_DISABLED)
    (void)xeger;
    (void)pattern;
    return nullptr;
#else
    if (!PyMethod_Check(xeger) || !PyUnicode_CheckExact(pattern)) return nullptr;
    State& st = state();
    // Python code may have drawn from the generator since the last row.
    st.tempered_valid = false;
    if (st.busy) return nullptr;
    PyObject* func = PyMethod_GET_FUNCTION(xeger);
    PyObject* self = PyMethod_GET_SELF(xeger);
    Snapshot& s = st.snap;
    // __class__ can be assigned without any watched change: the classes seen
    // by the last validation are compared too (and a refusal they caused ends).
    bool moved = Py_TYPE(self) != s.xeger_type ||
                 (s.random_inst != nullptr && Py_TYPE(s.random_inst) != s.random_type);
    if (st.status == Status::Unknown || func != s.func || self != s.self || moved ||
        !s.unchanged()) {
        revalidate(st, func, self);
        // Validation ran Python code: what it saw must still hold.
        if (!s.unchanged()) return nullptr;
    }
    if (st.status != Status::Ready) return nullptr;
    if (PyDict_GET_SIZE(s.group_cache) != 0) return nullptr;
    return reinterpret_cast<const XegerProgram*>(program_for(st, pattern));
#endif
}

namespace {

// `count` rows of `prog`, one reader of the generator for them all: each row
// is written at `where()` (room for prog.max_len characters), then handed to
// `made(at, length)`.
template <class Char, class Where, class Made>
void rows_of(State& st, const Program& prog, int64_t count, Where where, Made made) {
    Words words(reinterpret_cast<MTObject*>(st.snap.random_inst), st.tempered, st.tempered_valid);
    if (kAcceptBits && prog.masked) {
        Words::Lease lease(words);
        Cursor& at = lease.cursor();
        const auto tests = static_cast<int>(prog.accept.size());
        mt_accept_bits(at.tempered, at.index(), prog.accept.data(), tests, st.accept);
        MaskedCursor masked{at, &st.accept, prog.accept.data(), tests};
        for (int64_t i = 0; i < count; ++i) {
            Char* row = where();
            const size_t len = run_steps(prog, masked, row);
            at = masked.words;  // the row's draws are made, whatever `made` does
            made(row, len);
        }
        return;
    }
    if (prog.flat) {
        Words::Lease lease(words);
        for (int64_t i = 0; i < count; ++i) {
            Char* at = where();
            made(at, run_steps(prog, lease.cursor(), at));
        }
        return;
    }
    if (count > 1) words.temper_rest();
    for (int64_t i = 0; i < count; ++i) {
        Char* at = where();
        made(at, Runner<Char>(prog, words, at, st.groups).run());
    }
}

template <class Char>
Char* buffer_for(std::vector<Char>& buffer, const Program& prog) {
    if (buffer.size() < prog.max_len) buffer.resize(prog.max_len);
    return buffer.data();
}

// The most UTF-8 bytes of a character up to `maxchar`.
int64_t utf8_width(Py_UCS4 maxchar) {
    return maxchar < 0x80 ? 1 : maxchar < 0x800 ? 2 : maxchar < 0x10000 ? 3 : 4;
}

// A row of code points as UTF-8 (no surrogates: see xeger_native_utf8).
unsigned char* put_utf8(unsigned char* end, const Py_UCS4* text, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        const Py_UCS4 c = text[i];
        if (c < 0x80) {
            *end++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *end++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *end++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *end++ = static_cast<unsigned char>(0xE0 | (c >> 12));
            *end++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *end++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            *end++ = static_cast<unsigned char>(0xF0 | (c >> 18));
            *end++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            *end++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *end++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    return end;
}

}  // namespace

void xeger_native_rows(const XegerProgram* program, int64_t count, PyObject* list) {
    State& st = state();
    const auto& prog = *reinterpret_cast<const Program*>(program);
    auto append = [&](auto* buffer) {
        using Char = std::remove_pointer_t<decltype(buffer)>;
        rows_of<Char>(
            st, prog, count, [&] { return buffer; },
            [&](const Char* at, size_t len) {
                Ref text = make_str(at, len);
                check(PyList_Append(list, text.get()));
            });
    };
    if (prog.maxchar < 0x80) {
        append(buffer_for(st.ascii, prog));
    } else {
        append(buffer_for(st.wide, prog));
    }
}

bool xeger_native_utf8(const XegerProgram* program) {
    return !reinterpret_cast<const Program*>(program)->surrogates;
}

int64_t xeger_native_max_utf8(const XegerProgram* program) {
    const auto& prog = *reinterpret_cast<const Program*>(program);
    return utf8_width(prog.maxchar) * static_cast<int64_t>(prog.max_len);
}

void xeger_native_rows(const XegerProgram* program, int64_t count, ArrowStringBuilder& out) {
    State& st = state();
    const auto& prog = *reinterpret_cast<const Program*>(program);
    if (prog.maxchar < 0x80) {  // written in place
        const auto max_len = static_cast<int64_t>(prog.max_len);
        rows_of<uint8_t>(
            st, prog, count, [&] { return reinterpret_cast<uint8_t*>(out.room(max_len)); },
            [&](const uint8_t*, size_t len) { out.commit(static_cast<int64_t>(len)); });
        return;
    }
    Py_UCS4* text = buffer_for(st.wide, prog);
    const int64_t width = utf8_width(prog.maxchar);
    rows_of<Py_UCS4>(
        st, prog, count, [&] { return text; },
        [&](const Py_UCS4*, size_t len) {
            auto* at =
                reinterpret_cast<unsigned char*>(out.room(width * static_cast<int64_t>(len)));
            out.commit(put_utf8(at, text, len) - at);
        });
}

}  // namespace vandrel
