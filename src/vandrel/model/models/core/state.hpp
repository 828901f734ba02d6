// The process-wide state of the module: every object it keeps from one call
// to the next, in one table. Each field is made once (by the exec phase, or at
// its first use) and then only replaced under the interpreter lock; none is
// ever released, since the module is loaded once per process and these must
// not be touched after finalisation.
//
// The interned names, texts and default tuples are core/names.hpp's table
// (`K`); the regex engine's typed state (the watched snapshot, compiled
// programs, the generator's block) is regex/rows.cpp's, reached through
// `xeger::row_state()`.
#pragma once

#include "core/refs.hpp"

namespace vandrel {

struct State {
    // The `builtins` module's dictionary (owned), taken by the exec phase: the
    // members' globals fall back to it, the guard checks functions against it.
    PyObject* builtins_dict = nullptr;

    // pyarrow's module, its Array class and the importer of Arrow C data
    // capsules, as last found to be pyarrow's own (columns/arrow_strings.cpp).
    PyObject* arrow_module = nullptr;
    PyObject* arrow_array_type = nullptr;
    PyObject* arrow_importer = nullptr;

    // numpy's and pandas' objects last found to be the real ones
    // (columns/sequential_column.cpp), strong references.
    PyObject* np = nullptr;
    PyObject* np_arange = nullptr;
    PyObject* np_empty = nullptr;
    PyObject* pd = nullptr;
    PyObject* pd_series = nullptr;
    PyObject* kw_series = nullptr;  // ("name", "dtype", "copy")

    // How pandas keeps a column of texts, by what decides it: identifiers
    // {(column_key, prefix?, suffix?): (dtype, Column) or None}, regex rows
    // {(column_key, Series): (dtype, Column) or None}.
    PyObject* sequential_columns = nullptr;
    PyObject* regex_columns = nullptr;

    // pandas functions found to be their module source's own {function: code}
    // (columns/storage.cpp), and the code of module sources compiled or read
    // from their cached bytecode {file: [cached, compiled]} (guard/genuine.cpp).
    PyObject* genuine_functions = nullptr;

    // numpy's MT19937 bit generator whose state layout was last checked
    // against its own `state` (guard/numpy_random.cpp), a strong reference.
    PyObject* np_bit_generator = nullptr;
    // Missing rows applied as a column is built, by what decides how pandas
    // keeps the column {(column_key, dtype, Column): bool} (columns/missing.cpp).
    PyObject* masked_columns = nullptr;
    PyObject* module_codes = nullptr;
};

extern State S;

}  // namespace vandrel
