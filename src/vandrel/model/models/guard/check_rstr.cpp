// Step 1 of validation (validator.hpp): rstr.xeger, the method, its module,
// its class and methods, the instance with its dispatch tables and alphabets.
#include <string>

#include "core/compat.hpp"
#include "guard/genuine.hpp"
#include "guard/lookups.hpp"
#include "guard/refusal.hpp"
#include "guard/validator.hpp"
#include "core/state.hpp"

namespace vandrel::xeger {

namespace {

// rstr 3.2.2's two source files, by digest: other rstr code is not reproduced.
constexpr uint64_t kXegerSource = 0x5a7e4cf6ca96db24ULL;
constexpr uint64_t kRstrBaseSource = 0x8ab9d229a98dcf85ULL;

const char* const CATEGORY_ALPHABETS[6] = {"digits",        "nondigits", "whitespace",
                                           "nonwhitespace", "word",      "nonword"};
const char* const CASE_KEYS[15] = {"literal",    "not_literal", "at",         "in",
                                   "any",        "range",       "category",   "branch",
                                   "subpattern", "assert",      "assert_not", "groupref",
                                   "min_repeat", "max_repeat",  "negate"};

}  // namespace

// 1. rstr.xeger: the method, its module, its class and the class's methods.
void Validator::xeger_method() {
    s_.func = s_.hold(func_);
    s_.xeger_type = Py_TYPE(self_);
    s_.self = s_.hold(self_);
    need(Py_TYPE(func_) == &PyFunction_Type);
    xg_ = PyFunction_GET_GLOBALS(func_);
    s_.watch_dict(xg_);
    need(is_ascii(s_.get(xg_, "__name__"), "rstr.xeger"));
    need(file_digest(s_.get(xg_, "__file__")) == kXegerSource);
    xeger_type_ = s_.get(xg_, "Xeger");
    s_.watch_type(xeger_type_);
    need(Py_TYPE(self_) == reinterpret_cast<PyTypeObject*>(xeger_type_));
    need(mro_lookup(xeger_type_, "xeger") == func_);
    function(func_, xg_, "Xeger.xeger", {});
    for (const char* m :
         {"_build_string", "_handle_state", "_handle_group", "_handle_in", "_handle_repeat"}) {
        method(xeger_type_, m, xg_, std::string("Xeger.") + m);
    }
    PyObject* base_rstr = mro_lookup(xeger_type_, "rstr");
    need(base_rstr != nullptr && Py_TYPE(base_rstr) == &PyFunction_Type);
    bg_ = PyFunction_GET_GLOBALS(base_rstr);
    s_.watch_dict(bg_);
    need(is_ascii(s_.get(bg_, "__name__"), "rstr.rstr_base"));
    need(file_digest(s_.get(bg_, "__file__")) == kRstrBaseSource);
    method(xeger_type_, "rstr", bg_, "RstrBase.rstr",
           {Default::none, Default::none, Default::empty, Default::empty});
    method(xeger_type_, "sample_wr", bg_, "RstrBase.sample_wr");
    method(xeger_type_, "__getattr__", bg_, "RstrBase.__getattr__");
    need(mro_lookup(xeger_type_, "__getattribute__") == object_slot("__getattribute__"));
    // Instance attributes are not shadowed by the class; `printable` is left to __getattr__.
    for (const char* a :
         {"_random", "_alphabets", "_cache", "_categories", "_cases", "printable"}) {
        need(mro_lookup(xeger_type_, a) == nullptr);
    }
}

// 1 (cont.). The instance: its attributes, dispatch tables and alphabets.
void Validator::instance() {
    Ref idict = s_.watch_attributes(self_);
    PyObject* d = idict.get();
    for (const char* m : {"xeger", "_build_string", "_handle_state", "_handle_group", "_handle_in",
                          "_handle_repeat", "rstr", "sample_wr", "printable"}) {
        need(s_.get(d, m) == nullptr);
    }
    PyObject* rnd = s_.get(d, "_random");
    PyObject* alphabets = s_.get(d, "_alphabets");
    PyObject* cache = s_.get(d, "_cache");
    need(rnd != nullptr && PyModule_CheckExact(rnd));
    rd_ = PyModule_GetDict(rnd);
    need(cache != nullptr && PyDict_CheckExact(cache));
    s_.group_cache = s_.hold(cache);
    s_.watch_dict(alphabets);
    dispatch_tables(d);
    // The instance's alphabets are still rstr_base.ALPHABETS' (equal strings).
    PyObject* defaults = s_.get(bg_, "ALPHABETS");
    s_.watch_dict(defaults);
    auto alphabet = [&](const char* key) {
        PyObject* a = s_.get(alphabets, key);
        PyObject* b = s_.get(defaults, key);
        need(a != nullptr && b != nullptr && PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) &&
             PyUnicode_Compare(a, b) == 0);
        return s_.hold(a);
    };
    for (int i = 0; i < 6; ++i) s_.category_alphabet[i] = alphabet(CATEGORY_ALPHABETS[i]);
    s_.any_alphabet = alphabet("printable");
}

// The dispatch tables hold Xeger.__init__'s own lambdas, in source order,
// each closed over this instance only.
void Validator::dispatch_tables(PyObject* d) {
    PyObject* categories = s_.get(d, "_categories");
    PyObject* cases = s_.get(d, "_cases");
    s_.watch_dict(categories, false);
    s_.watch_dict(cases, false);
    PyObject* init = mro_lookup(xeger_type_, "__init__");
    need(init != nullptr && Py_TYPE(init) == &PyFunction_Type);
    // Its code (lambdas included) is the source's; its default is not on the rows' path.
    s_.watch_func(init);
    need(PyFunction_GET_GLOBALS(init) == xg_ &&
         code_from_source(PyFunction_GET_CODE(init), s_.get(xg_, "__file__"), "Xeger.__init__"));
    for (PyObject* name : global_loads(PyFunction_GET_CODE(init))) {
        loads_.emplace_back(xg_, name);
    }
    std::vector<PyObject*> lambdas;
    PyObject* consts = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(init))->co_consts;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i) {
        PyObject* c = PyTuple_GET_ITEM(consts, i);
        if (PyCode_Check(c)) lambdas.push_back(s_.hold(c));
    }
    need(lambdas.size() == 6 + 15);
    auto check_table = [&](PyObject* table, const char* const* keys, size_t nkeys, size_t first) {
        need(static_cast<size_t>(PyDict_GET_SIZE(table)) == nkeys);
        Py_ssize_t pos = 0;
        PyObject *k = nullptr, *v = nullptr;
        for (size_t i = 0; PyDict_Next(table, &pos, &k, &v); ++i) {
            need(i < nkeys && is_ascii(k, keys[i]));
            s_.watch_func(v);
            need(PyFunction_GET_CODE(v) == lambdas[first + i] && PyFunction_GET_GLOBALS(v) == xg_ &&
                 PyFunction_GET_DEFAULTS(v) == nullptr && PyFunction_GET_KW_DEFAULTS(v) == nullptr);
            need(function_builtins_are(v, S.builtins_dict));
            if (PyObject* cl = PyFunction_GET_CLOSURE(v)) {
                for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(cl); ++j) {
                    need(PyCell_GET(PyTuple_GET_ITEM(cl, j)) == self_);
                }
            }
        }
    };
    check_table(categories, CATEGORY_KEYS, 6, 0);
    check_table(cases, CASE_KEYS, 15, 6);
}

}  // namespace vandrel::xeger
