// Reads of the guard that run no code a user can patch: dictionary items,
// class attributes along the MRO (no descriptor run), exact texts and ints.
// Each throws PyErrSet for a lookup error, Refuse where a shape is not the
// one expected.
#pragma once

#include "core/refs.hpp"

namespace vandrel::xeger {

// The namespace of a type (a new reference).
Ref type_dict(PyTypeObject* t);

Ref interned(const char* s);

// Borrowed item of an exact dict, or NULL; a lookup error is raised.
PyObject* item(PyObject* dict, PyObject* key);
PyObject* item(PyObject* dict, const char* key);

bool is_ascii(PyObject* s, const char* text);
bool exact_int(PyObject* v, long expected);

// Looks `name` up along the MRO of `t` without running any descriptor: what an
// instance attribute lookup would find on the class. Borrowed, or NULL.
PyObject* mro_lookup(PyObject* t, const char* name);

// An attribute of `object` itself (its namespace is fixed). Borrowed.
PyObject* object_slot(const char* name);

}  // namespace vandrel::xeger
