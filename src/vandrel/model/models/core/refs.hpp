// Reference ownership for the string-model module.
//
// The contract, written once here so that no call site needs to re-derive it:
//
//  * A `Ref` owns exactly one strong reference, or nothing. It releases the
//    reference when it goes out of scope, so every early exit (a C++ throw of
//    `PyErrSet`, or a plain return) leaves no reference behind.
//  * `Ref::steal(p)` takes over a *new* reference returned by the C API. A NULL
//    `p` means the call failed with a Python error set: `steal` throws `PyErrSet`.
//  * `Ref::borrow(p)` takes a new reference of a *borrowed* pointer (increfs).
//  * `release()` hands the reference back to the caller (for returning to the
//    interpreter, or for stealing APIs such as `PyTuple_SET_ITEM`).
//  * A raw `PyObject*` in this module is borrowed unless its declaration says
//    "owned".
//
// `PyErrSet` is the one C++ exception of the module: it means "a Python error is
// set". Every function the interpreter calls is `noexcept` and turns it back into
// a NULL or -1 return, so no C++ exception ever crosses into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vandrel {

struct PyErrSet {};

// Throws when a C API call signalled failure (error already set).
[[noreturn]] inline void raise_set() {
    throw PyErrSet{};
}
inline void check(int status) {
    if (status < 0) raise_set();
}

class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // New reference from a C API call; NULL means an error is set.
    static Ref steal(PyObject* p) {
        if (p == nullptr) raise_set();
        return Ref(p);
    }
    // New reference that may legitimately be NULL without an error.
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
    // Borrowed pointer: take a reference of our own.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;  // owned
};

// Small call helpers that throw on failure.
inline Ref getattr(PyObject* o, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(o, name));
}
inline void setattr(PyObject* o, PyObject* name, PyObject* v) {
    check(PyObject_SetAttr(o, name, v));
}
inline bool truth(PyObject* o) {
    int r = PyObject_IsTrue(o);
    check(r);
    return r != 0;
}
inline Ref call(PyObject* f, PyObject* const* args, size_t nargs, PyObject* kwnames = nullptr) {
    return Ref::steal(PyObject_Vectorcall(f, args, nargs, kwnames));
}
inline Ref call0(PyObject* f) {
    return call(f, nullptr, 0);
}
inline Ref call1(PyObject* f, PyObject* a) {
    PyObject* args[] = {a};
    return call(f, args, 1);
}
inline Ref call2(PyObject* f, PyObject* a, PyObject* b) {
    PyObject* args[] = {a, b};
    return call(f, args, 2);
}

}  // namespace vandrel
