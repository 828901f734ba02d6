// What differs between the interpreters the module is built for (CPython 3.9
// to 3.15), kept in one place so that the rest of the module reads the same on
// every version: every test of PY_VERSION_HEX and every read of an
// interpreter structure's field or private function is here, and the rest of
// the module sees named flags and functions.
#pragma once

#include <cstdint>

#include <pthread.h>
#include <utility>

#include "core/refs.hpp"

#include <frameobject.h>
#include <opcode.h>

namespace vandrel {

// ---- the native rows -------------------------------------------------------------------------
//
// The interpreters whose generator layout, bytecode and dictionaries the
// native rows know, with the interpreter lock they rely on; on any other every
// row is a call.
#if PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x03100000 && !defined(Py_GIL_DISABLED)
constexpr bool kNativeRows = true;
#else
constexpr bool kNativeRows = false;
#endif

// ---- recursion ---------------------------------------------------------------------
//
// A member call counts against the interpreter's recursion limit as a call of
// a Python function does, so a loop that never leaves the module (a model whose
// `_meta` is itself, say) ends in RecursionError instead of a stack overflow.
//
// Up to 3.11 Python frames and C calls share one counter, which
// Py_EnterRecursiveCall advances. From 3.12 on, Python frames count
// `py_recursion_remaining` (sys.getrecursionlimit()) and C calls a separate C
// budget: a member takes one step of each, the first because it stands for a
// Python function, the second because it really does use the C stack.
inline bool enter_call() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyThreadState* ts = PyThreadState_Get();
    if (ts->py_recursion_remaining-- <= 0) {
        ts->py_recursion_remaining++;
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return false;
    }
    if (Py_EnterRecursiveCall("") != 0) {
        ts->py_recursion_remaining++;
        return false;
    }
    return true;
#else
    return Py_EnterRecursiveCall("") == 0;
#endif
}

// Python frames that may still be opened before RecursionError.
inline int frames_left() noexcept {
    PyThreadState* ts = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030C0000
    return ts->py_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
    return ts->recursion_remaining;
#else
    return Py_GetRecursionLimit() - ts->recursion_depth;
#endif
}

#if PY_VERSION_HEX >= 0x030F0000
// From 3.14 on C recursion ends where the machine stack nears its end, not at
// a count; 3.15 exports no test of its limit. The room left on this thread's stack, counted in KiB
// past a margin of 1 MiB (far more than the interpreter keeps at the end of a stack), as frames; 0
// when the stack's bounds cannot be read (then the rows are calls).
inline int c_stack_frames_left() noexcept {
    thread_local uintptr_t low = [] {
        pthread_attr_t attr;
        void* addr = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return uintptr_t{0};
        const bool ok = pthread_attr_getstack(&attr, &addr, &size) == 0;
        pthread_attr_destroy(&attr);
        return ok ? reinterpret_cast<uintptr_t>(addr) : uintptr_t{0};
    }();
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    constexpr uintptr_t kMargin = uintptr_t{1} << 20;
    if (low == 0 || here < low + kMargin) return 0;
    const uintptr_t kib = (here - low - kMargin) >> 10;
    return kib > 1000000 ? 1000000 : static_cast<int>(kib);
}
#endif

// C calls that may still be made before RecursionError: from 3.12 on a budget
// of its own, which deep recursion through C (map, sorted keys) spends while
// the Python-frame budget is untouched. Before 3.12 frames_left() covers both.
inline int c_frames_left() noexcept {
#if PY_VERSION_HEX >= 0x030F0000
    return c_stack_frames_left();
#elif PY_VERSION_HEX >= 0x030E0000
    // 3.14 exports the interpreter's own test of its stack limit: 64 margins
    // (1 MiB on 64-bit) above it, a call, or a validation, has all the stack
    // it needs.
    return _Py_ReachedRecursionLimitWithMargin(PyThreadState_Get(), 64) ? 0 : 1000000;
#elif PY_VERSION_HEX >= 0x030C0000
    return PyThreadState_Get()->c_recursion_remaining;
#else
    return frames_left();
#endif
}

inline void leave_call() noexcept {
    Py_LeaveRecursiveCall();
#if PY_VERSION_HEX >= 0x030C0000
    PyThreadState_Get()->py_recursion_remaining++;
#endif
}

// ---- code objects ------------------------------------------------------------------
//
// The introspection-only code object of a member. From 3.11 on the constructor
// takes the qualified name (co_qualname) and an exception table, and from 3.12
// it carries the PyUnstable_ name; the old name is a deprecated alias there.
inline PyCodeObject* new_member_code(int argcount, int nlocals, int flags, PyObject* empty_bytes,
                                     PyObject* empty_tuple, PyObject* varnames, PyObject* filename,
                                     PyObject* name, PyObject* qualname, int firstlineno) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple, empty_tuple, varnames,
        empty_tuple, empty_tuple, filename, name, qualname, firstlineno, empty_bytes, empty_bytes);
#elif PY_VERSION_HEX >= 0x030B0000
    return PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple,
                                     empty_tuple, varnames, empty_tuple, empty_tuple, filename,
                                     name, qualname, firstlineno, empty_bytes, empty_bytes);
#else
    (void)qualname;  // no co_qualname before 3.11
    return PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple,
                                     empty_tuple, varnames, empty_tuple, empty_tuple, filename,
                                     name, firstlineno, empty_bytes);
#endif
}

// ---- the error being raised --------------------------------------------------------
//
// Parked while a traceback entry is built (PyFrame_New refuses to run with an
// error set). 3.12 keeps the error as one exception object.
struct ParkedError {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = nullptr;
    void park() noexcept {
        exc = PyErr_GetRaisedException();
    }
    void restore() noexcept {
        PyErr_SetRaisedException(std::exchange(exc, nullptr));
    }
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    void park() noexcept {
        PyErr_Fetch(&type, &value, &tb);
    }
    void restore() noexcept {
        PyErr_Restore(std::exchange(type, nullptr), std::exchange(value, nullptr),
                      std::exchange(tb, nullptr));
    }
#endif
};

// ---- dictionary versions -----------------------------------------------------------
//
// Every change of a dictionary gives it a new version tag; the global-lookup
// cache compares them. The field is deprecated from 3.12 on (dict watchers
// were added beside it) but still advances on every change up to 3.13; 3.14
// removed it: there dict_version is always 0, and only watchers tell a change.
constexpr bool kDictVersions = PY_VERSION_HEX < 0x030E0000;
inline uint64_t dict_version([[maybe_unused]] PyObject* dict) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    return 0;
#else
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
#endif
}

// ---- types ---------------------------------------------------------------------------------
//
// A type's version tag is valid until the type or one of its bases is
// modified: before 3.12 that clears a flag, from 3.12 on it resets the tag to 0.
// False when the type has no valid tag.
inline bool type_version_tag(PyTypeObject* t, unsigned int& tag) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    if (!PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG)) return false;
#endif
    tag = t->tp_version_tag;
    return tag != 0;
}

// The namespace of a type (a new reference; from 3.12 on static builtin types
// keep it per interpreter, behind PyType_GetDict).
inline PyObject* type_namespace(PyTypeObject* t) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(t);
#else
    Py_XINCREF(t->tp_dict);
    return t->tp_dict;
#endif
}

// Whether instances of `t` keep their attributes in inline values that a
// materialized dictionary shares (3.13): such a store gives the dictionary no
// new version tag and no watcher event (CPython gh-125608).
inline bool unwatched_inline_values([[maybe_unused]] PyTypeObject* t) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyType_HasFeature(t, Py_TPFLAGS_INLINE_VALUES);
#else
    return false;
#endif
}

// ---- functions -----------------------------------------------------------------------------

// From 3.14 on annotations are deferred: a function has __annotate__ (None for
// annotations that are strings), and __annotations__ comes from it when unset.
constexpr bool kDeferredAnnotations = PY_VERSION_HEX >= 0x030E0000;
// The TypeError of an __annotate__ that gives no dict (reworded in 3.15).
constexpr const char* kAnnotateNotDict = PY_VERSION_HEX >= 0x030F0000
                                             ? "__annotate__() must return a dict, not %.100s"
                                             : "__annotate__ returned non-dict of type '%.100s'";

// Whether a function's builtins are `builtins` (from 3.10 on a function keeps
// its own; before, its globals' __builtins__ is all there is).
inline bool function_builtins_are([[maybe_unused]] PyObject* f,
                                  [[maybe_unused]] PyObject* builtins) noexcept {
#if PY_VERSION_HEX >= 0x030A0000
    return reinterpret_cast<PyFunctionObject*>(f)->func_builtins == builtins;
#else
    return true;
#endif
}

// Random.shuffle(x, random=None) lost its second parameter in 3.11.
constexpr bool kShuffleTakesRandom = PY_VERSION_HEX < 0x030B0000;

// ---- dictionary watchers -------------------------------------------------------------------
//
// From 3.12 on a dictionary can be watched: `changed(dict)` runs on every
// change of a watched one. One watcher for the module, added at the first
// watch. Returns 1 once `dict` is watched (and, doing nothing, before 3.12),
// 0 when no watcher slot is free or the watch fails with an Exception
// (cleared), -1 with any other error set.
constexpr bool kDictWatchers = PY_VERSION_HEX >= 0x030C0000;
using DictChanged = void (*)(PyObject* dict) noexcept;
#if PY_VERSION_HEX >= 0x030C0000
namespace detail {
inline DictChanged dict_changed = nullptr;
inline int on_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept {
    if (dict_changed != nullptr) dict_changed(dict);
    return 0;
}
}  // namespace detail
#endif
inline int watch_dict_events([[maybe_unused]] PyObject* dict,
                             [[maybe_unused]] DictChanged changed) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    static int watcher = -1;
    detail::dict_changed = changed;
    if (watcher < 0) watcher = PyDict_AddWatcher(detail::on_dict_event);
    if (watcher < 0 || PyDict_Watch(watcher, dict) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
        PyErr_Clear();
        return 0;
    }
#endif
    return 1;
}

// ---- bytecode ------------------------------------------------------------------------------
//
// The opcodes of LOAD_GLOBAL and EXTENDED_ARG in co_code (renumbered in 3.13,
// 3.14 and 3.15: taken from the interpreter's own opcode.h), and the shift of LOAD_GLOBAL's
// argument that gives its co_names index (from 3.11 on, its low bit says whether NULL is pushed
// too).
constexpr int kOpLoadGlobal = LOAD_GLOBAL, kOpExtendedArg = EXTENDED_ARG;
constexpr int kLoadGlobalNameShift = PY_VERSION_HEX >= 0x030B0000 ? 1 : 0;

// ---- frames --------------------------------------------------------------------------------
//
// The line a traceback entry shows for a frame that ran no instruction: up to
// 3.10 the frame's own line, set here; from 3.11 on its code object's first
// line, which the caller made `line`.
inline void set_frame_line([[maybe_unused]] PyFrameObject* frame,
                           [[maybe_unused]] int line) noexcept {
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#endif
}

// ---- private reads -------------------------------------------------------------------------
//
// What an attribute lookup finds on a type along its MRO, no descriptor run
// (borrowed, or NULL with no error), and the address of an object's
// instance-dictionary slot (NULL when it has none): the interpreter's own
// functions, with no public equivalent that runs no code.
inline PyObject* type_lookup(PyTypeObject* t, PyObject* name) noexcept {
    return _PyType_Lookup(t, name);
}
inline PyObject** object_dict_ptr(PyObject* obj) noexcept {
    return _PyObject_GetDictPtr(obj);
}

}  // namespace vandrel
