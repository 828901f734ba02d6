// What differs between the interpreters the module is built for (CPython 3.9
// to 3.13), kept in one place so that the rest of the module reads the same on
// every version. Only each version's public C API is used.
#pragma once

#include <cstdint>
#include <utility>

#include "refs.hpp"

namespace vandrel {

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

// C calls that may still be made before RecursionError: from 3.12 on a budget
// of its own, which deep recursion through C (map, sorted keys) spends while
// the Python-frame budget is untouched. Before 3.12 frames_left() covers both.
inline int c_frames_left() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
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
// were added beside it) but still advances on every change up to 3.13.
inline uint64_t dict_version(PyObject* dict) noexcept {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

}  // namespace vandrel
