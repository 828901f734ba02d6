// Native rows for FormattedStringModel.sample; see rows.hpp.
//
// The entry point and the process-wide state: the guard (guard/validate.hpp)
// decides whether a row may be native, the compiler (compiler.hpp) makes a
// pattern's program once, the runner (runner.hpp) runs it.
#include "regex/rows.hpp"

#include <cstring>
#include <memory>
#include <vector>

#include "core/compat.hpp"
#include "mt/cpu.hpp"
#include "regex/compiler.hpp"
#include "regex/runner.hpp"
#include "mt/generator.hpp"
#include "guard/validate.hpp"

namespace vandrel::xeger {

using mt::MTObject;

namespace {

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
    RowState run;

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

State& state() noexcept {
    // Made once and never destroyed: at exit the interpreter may be gone.
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory,bugprone-unhandled-exception-at-new)
    static auto* s = new State();  // (no memory for it: nothing of the module can run)
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

RowState& row_state() noexcept {
    return state().run;
}

const Program* row_program(PyObject* xeger, PyObject* pattern) {
    if (!kNativeRows) return nullptr;
    if (!PyMethod_Check(xeger) || !PyUnicode_CheckExact(pattern)) return nullptr;
    State& st = state();
    // Python code may have drawn from the generator since the last row.
    st.run.tempered_valid = false;
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
        try {
            revalidate(st, func, self);
        } catch (const PyErrSet&) {
            // Validation's own work (module sources compiled, the generator
            // probed) can reach the end of the stack where the call would not:
            // then this row is a call, and the next one validates again.
            if (!PyErr_ExceptionMatches(PyExc_RecursionError)) throw;
            PyErr_Clear();
            return nullptr;
        }
        // Validation ran Python code: what it saw must still hold.
        if (!s.unchanged()) return nullptr;
    }
    if (st.status != Status::Ready) return nullptr;
    if (PyDict_GET_SIZE(s.group_cache) != 0) return nullptr;
    st.run.generator = reinterpret_cast<MTObject*>(s.random_inst);
    return program_for(st, pattern);
}

#if defined(__x86_64__)
namespace {
// The draws' steps (x & ~y, x ^ (x - 1)) one instruction each with BMI.
[[gnu::target("bmi,bmi2")]] void template_rows_bmi(const Program& prog, mt::MaskedCursor& cursor,
                                                   uint8_t* out, size_t count) noexcept {
    run_template_rows(prog, cursor, out, count);
}
}  // namespace
#endif

void template_rows(const Program& prog, mt::MaskedCursor& cursor, uint8_t* out,
                   size_t count) noexcept {
#if defined(__x86_64__)
    if (mt::this_cpu().bmi) {
        template_rows_bmi(prog, cursor, out, count);
        return;
    }
#endif
    run_template_rows(prog, cursor, out, count);
}

}  // namespace vandrel::xeger
