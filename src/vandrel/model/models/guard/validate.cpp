// See validate.hpp and, for the steps, validator.hpp.
#include "guard/validate.hpp"

#include "core/compat.hpp"
#include "guard/genuine.hpp"
#include "guard/lookups.hpp"
#include "guard/validator.hpp"
#include "core/state.hpp"

namespace vandrel::xeger {

const char* const CATEGORY_KEYS[6] = {"category_digit", "category_not_digit",
                                      "category_space", "category_not_space",
                                      "category_word",  "category_not_word"};

void Validator::run() {
    s_.watch_dict(S.builtins_dict);
    xeger_method();
    instance();
    typing_reads();
    parser();
    generator();
    check_globals();
}

// The builtins a namespace's code falls back to must be the interpreter's.
PyObject* Validator::builtins_of(PyObject* globals) {
    PyObject* b = s_.get(globals, "__builtins__");
    if (b != nullptr && PyModule_CheckExact(b)) b = PyModule_GetDict(b);
    need(b == S.builtins_dict);
    return b;
}

// A Python function of `globals` that the module's source defines at
// `qualname`, with `defaults`, no keyword defaults and no closure (unless
// `cells`); watched, and its global loads queued for checking.
void Validator::function(PyObject* f, PyObject* globals, const char* qualname, Defaults defaults,
                         bool cells, bool loads) {
    s_.watch_func(f);
    need(PyFunction_GET_GLOBALS(f) == globals);
    need(function_builtins_are(f, S.builtins_dict));
    need(code_from_source(PyFunction_GET_CODE(f), s_.get(globals, "__file__"), qualname));
    need(PyFunction_GET_KW_DEFAULTS(f) == nullptr);
    need(cells || PyFunction_GET_CLOSURE(f) == nullptr);
    PyObject* d = PyFunction_GET_DEFAULTS(f);
    need((d == nullptr) == (defaults.size() == 0));
    if (d != nullptr) {
        need(PyTuple_CheckExact(d) &&
             PyTuple_GET_SIZE(d) == static_cast<Py_ssize_t>(defaults.size()));
        Py_ssize_t i = 0;
        for (Default want : defaults) {
            PyObject* v = PyTuple_GET_ITEM(d, i++);
            need(want == Default::none    ? v == Py_None
                 : want == Default::empty ? is_ascii(v, "")
                                          : exact_int(v, 1));
        }
    }
    if (!loads) return;
    for (PyObject* name : global_loads(PyFunction_GET_CODE(f))) {
        loads_.emplace_back(globals, name);
    }
}

void Validator::method(PyObject* type, const char* name, PyObject* globals,
                       const std::string& qualname, Defaults defaults) {
    PyObject* f = mro_lookup(type, name);
    need(f != nullptr);
    function(f, globals, qualname.c_str(), defaults);
}

void Validator::builtin_load(PyObject* name) {
    PyObject* b = s_.get(S.builtins_dict, name);
    need(b == nullptr || genuine_builtin(name, b));
}

void validate(Snapshot& s, PyObject* func, PyObject* self) {
    Validator(s, func, self).run();
    need(s.printable != nullptr);
    s.repeat_limit = 100;  // rstr's own limit, checked above
}

}  // namespace vandrel::xeger
