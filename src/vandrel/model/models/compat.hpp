// What differs between the interpreters the module is built for (CPython 3.9
// to 3.13), kept in one place so that the rest of the module reads the same on
// every version. Only each version's public C API is used.
#pragma once

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

inline void leave_call() noexcept {
    Py_LeaveRecursiveCall();
#if PY_VERSION_HEX >= 0x030C0000
    PyThreadState_Get()->py_recursion_remaining++;
#endif
}

}  // namespace vandrel
