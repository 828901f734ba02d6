// What a validation of a bound `xeger` hands the compiler and the rows: the
// objects it found to be rstr's and `random`'s own (borrowed from the
// Snapshot that watches them, alive as long as it is).
#pragma once

#include "core/refs.hpp"

namespace vandrel::xeger {

// What a validation found, for the compiler and the rows.
struct Validated {
    PyObject* func = nullptr;  // the bound method validated: its function and instance
    PyObject* self = nullptr;
    PyTypeObject* xeger_type = nullptr;  // the classes of the instance and the generator
    PyObject* random_inst = nullptr;
    PyTypeObject* random_type = nullptr;
    PyObject* group_cache = nullptr;  // the instance's _cache: empty before a call
    PyObject* parse = nullptr;
    PyObject* printable = nullptr;     // string.printable
    PyObject* any_alphabet = nullptr;  // _alphabets['printable']
    PyObject* category_alphabet[6] = {};
    long long repeat_limit = 0;  // STAR_PLUS_LIMIT
};

// The keys of rstr's category alphabets, in the order of `category_alphabet`.
extern const char* const CATEGORY_KEYS[6];

}  // namespace vandrel::xeger
