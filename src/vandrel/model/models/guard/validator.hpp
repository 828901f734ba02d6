// The steps of validation (validate.hpp), one class whose state they share:
// each step is defined in the file named for what it checks.
//
//   1. check_rstr.cpp     rstr.xeger: the method, its module, its class; the
//                         instance, its dispatch tables and alphabets
//   2. check_typing.cpp   what xeger subscripts and calls in typing
//   3. check_parser.cpp   what the parser's parse() reaches
//   4. check_random.cpp   `random`: the bound methods, the generator, its layout
//   5. check_globals.cpp  every global the checked code loads
//
// validate.cpp runs them in that order, with what they share: the check of
// one function against its module's source.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "guard/snapshot.hpp"

namespace vandrel::xeger {

// Defaults a checked function must carry, as its source gives them.
enum class Default { none, empty, one };
using Defaults = std::initializer_list<Default>;

class Validator {
  public:
    Validator(Snapshot& s, PyObject* func, PyObject* self) : s_(s), func_(func), self_(self) {}

    void run();

  private:
    Snapshot& s_;
    PyObject* func_;
    PyObject* self_;
    PyObject* xg_ = nullptr;  // rstr.xeger's namespace
    PyObject* bg_ = nullptr;  // rstr.rstr_base's
    PyObject* td_ = nullptr;  // typing's
    PyObject* pd_ = nullptr;  // the parser's
    PyObject* rd_ = nullptr;  // random's
    PyObject* xeger_type_ = nullptr;
    PyObject* random_type_ = nullptr;
    // Globals loaded by checked code, checked once all namespaces are known.
    std::vector<std::pair<PyObject*, PyObject*>> loads_;  // (namespace, name)

    // ---- shared by the steps (validate.cpp) ----

    // The builtins a namespace's code falls back to must be the interpreter's.
    PyObject* builtins_of(PyObject* globals);
    // A Python function of `globals` that the module's source defines at
    // `qualname`, with `defaults`, no keyword defaults and no closure (unless
    // `cells`); watched, and its global loads queued for checking (`loads`).
    void function(PyObject* f, PyObject* globals, const char* qualname, Defaults defaults,
                  bool cells = false, bool loads = true);
    void method(PyObject* type, const char* name, PyObject* globals, const std::string& qualname,
                Defaults defaults = {});
    // A name a checked function loads that its module lacks: a genuine builtin, or absent.
    void builtin_load(PyObject* name);

    // ---- 1. check_rstr.cpp ----
    void xeger_method();
    void instance();
    void dispatch_tables(PyObject* d);

    // ---- 2. check_typing.cpp ----
    void typing_reads();

    // ---- 3. check_parser.cpp ----
    void parser();
    std::vector<PyObject*> parser_value(PyObject* name, PyObject* v);
    static std::string unmangled(const char* cls, const char* key);
    void table_value(PyObject* v);
    bool named_constant(PyObject* v);
    static bool immutable(PyObject* v);

    // ---- 4. check_random.cpp ----
    void generator();
    static PyObject* own_method(PyTypeObject* base, const char* name);
    static bool generator_layout_matches(PyTypeObject* base);

    // ---- 5. check_globals.cpp ----
    void check_globals();
    bool module_global(PyObject* globals, PyObject* name, PyObject* v);
    bool string_module(PyObject* v);
    bool itertools_module(PyObject* v);
    bool tp_caches(PyObject* v);
};

}  // namespace vandrel::xeger
