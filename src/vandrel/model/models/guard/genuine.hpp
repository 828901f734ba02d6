// What makes an object the genuine one, for the guard of the native rows: C
// types and functions by the C module that made them, Python code by the
// module source it comes from, globals by the bytecode that loads them.
#pragma once

#include <cstdint>
#include <vector>

#include "core/refs.hpp"

namespace vandrel::xeger {

// A built-in function `name` of the C module `module`; for the builtins
// (`module` NULL), one bound to the module whose namespace is the interpreter's.
bool c_function_of(PyObject* f, const char* module, const char* name);

// A type that C code made under `name` ("itertools.chain"): a static type of
// that name, or a heap type made by PyType_FromSpec in the C module `module` (a Python
// subclass can carry any name, but no C module).
bool c_type_of(PyObject* t, const char* name, const char* module);

// Whether `value` is the interpreter's own builtin `name`: a function of the
// builtins module or a static type (exceptions included) of that name.
bool genuine_builtin(PyObject* name, PyObject* value);

// Whether `code` is, to the instruction, the code of `qualname` ("Class.method",
// "outer.<locals>.inner") in the module whose file is `file`: compared with the
// module's cached bytecode when that is current, else with its source compiled.
bool code_from_source(PyObject* code, PyObject* file, const char* qualname);

// FNV-1a digest of the file's bytes; 0 when it cannot be read.
uint64_t file_digest(PyObject* file);

// The names `code`, and the code objects it holds, load as globals (borrowed
// from their co_names, alive as long as `code`).
std::vector<PyObject*> global_loads(PyObject* code);

}  // namespace vandrel::xeger
