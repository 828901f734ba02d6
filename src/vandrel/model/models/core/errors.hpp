// Error builders of the module, kept together and out of the fast paths.
// Each sets a Python error; the `raise_*` forms then throw `PyErrSet`.
#pragma once

#include "core/refs.hpp"

namespace vandrel {

// Raises `type` with `message` (a new reference, or NULL when it could not be
// made: then the MemoryError or formatting error already set stays).
void set_error_message(PyObject* type, PyObject* message) noexcept;

// PyErr_Format that keeps the MemoryError when the message itself cannot be
// made (the interpreter would raise `type` with no message instead).
template <class... Args>
[[gnu::cold]] void set_error(PyObject* type, const char* format, Args... args) noexcept {
    set_error_message(type, PyUnicode_FromFormat(format, args...));
}

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
[[gnu::cold]] void set_arg_type_error(const char* param, const char* expected,
                                      PyObject* got) noexcept;

// "name '%U' is not defined"
[[gnu::cold]] [[noreturn]] void raise_name_error(PyObject* name);

// "Expected %s, got %.200s" for a value that had to be exactly `str` (or None).
[[gnu::cold]] [[noreturn]] void raise_expected_unicode(PyObject* got);

// KeyError carrying `key` as its only argument, as a dict lookup raises it.
[[gnu::cold]] [[noreturn]] void raise_key_error(PyObject* key);

// The interpreter's `raise X`: a class is called with no arguments, an instance
// is raised as it is, anything else is a TypeError.
[[gnu::cold]] [[noreturn]] void raise_object(PyObject* exc);

// Exact-type tests of typed parameters. They return false with the TypeError set.
inline bool exact_or_none(PyObject* v, PyTypeObject* t, const char* param, const char* expected) {
    if (v == Py_None || Py_TYPE(v) == t) return true;
    set_arg_type_error(param, expected, v);
    return false;
}
inline bool exact(PyObject* v, PyTypeObject* t, const char* param, const char* expected) {
    if (Py_TYPE(v) == t) return true;
    set_arg_type_error(param, expected, v);
    return false;
}

}  // namespace vandrel
