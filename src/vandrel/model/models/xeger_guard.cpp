// See xeger_guard.hpp.
#include "xeger_guard.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "compat.hpp"
#include "globals.hpp"
#include "xeger_generator.hpp"
#include "xeger_genuine.hpp"

namespace vandrel::xeger {

const char* const CATEGORY_KEYS[6] = {"category_digit", "category_not_digit",
                                      "category_space", "category_not_space",
                                      "category_word",  "category_not_word"};

Snapshot* current_snapshot = nullptr;

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

// A type's version tag is valid until the type or one of its bases is modified:
// before 3.12 that clears a flag, from 3.12 on it resets the tag to 0.
bool type_tag(PyTypeObject* t, unsigned int& tag) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    if (!PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG)) return false;
#endif
    tag = t->tp_version_tag;
    return tag != 0;
}

// The namespace of a type (a new reference).
Ref type_dict(PyTypeObject* t) {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyType_GetDict(t));
#else
    return Ref::borrow(t->tp_dict);
#endif
}

Ref interned(const char* s) {
    return Ref::steal(PyUnicode_InternFromString(s));
}

// Borrowed item of an exact dict, or NULL; a lookup error is raised.
PyObject* item(PyObject* dict, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (v == nullptr && PyErr_Occurred()) raise_set();
    return v;
}
PyObject* item(PyObject* dict, const char* key) {
    return item(dict, interned(key).get());
}

bool is_ascii(PyObject* s, const char* text) {
    return s != nullptr && PyUnicode_CheckExact(s) &&
           PyUnicode_CompareWithASCIIString(s, text) == 0;
}

bool exact_int(PyObject* v, long expected) {
    return v != nullptr && PyLong_CheckExact(v) && PyLong_AsLong(v) == expected &&
           !PyErr_Occurred();
}

// Looks `name` up along the MRO of `t` without running any descriptor: what an
// instance attribute lookup would find on the class. Borrowed, or NULL.
PyObject* mro_lookup(PyObject* t, const char* name) {
    PyObject* mro = reinterpret_cast<PyTypeObject*>(t)->tp_mro;
    need(mro != nullptr && PyTuple_CheckExact(mro));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        Ref d = type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        need(d && PyDict_CheckExact(d.get()));
        if (PyObject* v = item(d.get(), name)) return v;  // alive while the class is
    }
    return nullptr;
}

PyObject* object_slot(const char* name) {
    Ref d = type_dict(&PyBaseObject_Type);
    return item(d.get(), name);  // object's namespace is fixed
}

#if PY_VERSION_HEX >= 0x030C0000
int on_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept {
    if (current_snapshot != nullptr) current_snapshot->on_event(dict);
    return 0;
}
#endif

// A dictionary watcher where the interpreter has one free; without it the
// rows are calls (other extensions may hold every slot).
void watch_events([[maybe_unused]] PyObject* dict) {
#if PY_VERSION_HEX >= 0x030C0000
    static int watcher = -1;
    if (watcher < 0) watcher = PyDict_AddWatcher(on_dict_event);
    if (watcher < 0 || PyDict_Watch(watcher, dict) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) raise_set();
        PyErr_Clear();
        refuse();
    }
#endif
}

bool same_items(PyObject* dict, const std::vector<Read>& items) noexcept {
    bool same = std::all_of(items.begin(), items.end(), [dict](const Read& r) {
        PyObject* v = PyDict_GetItemWithError(dict, r.key);
        return v == r.value && (v != nullptr || !PyErr_Occurred());
    });
    if (!same) PyErr_Clear();  // a failed lookup is a change too
    return same;
}

}  // namespace

// ---- the snapshot --------------------------------------------------------------------------

PyObject* Snapshot::hold(PyObject* o) {
    keep_.push_back(Ref::borrow(o));
    return o;
}

void Snapshot::watch_dict(PyObject* d, bool by_reads) {
    need(d != nullptr && PyDict_CheckExact(d));
    for (DictWatch& w : dicts_) {
        if (w.dict == d) {
            w.by_reads = w.by_reads && by_reads;
            return;
        }
    }
    hold(d);
    // Watched first: from 3.12 on the watcher bits live in the version tag.
    watch_events(d);
    dicts_.push_back({d, {}, dict_version(d), by_reads, false, false, 0, {}});
}

// The attribute dictionary of `obj`, watched (a new reference).
Ref Snapshot::watch_attributes(PyObject* obj) {
    Ref d = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    watch_dict(d.get());
#if PY_VERSION_HEX >= 0x030D0000
    // 3.13.0 stores an attribute into the inline values a materialized
    // dictionary shares without a new version tag or a watcher event (CPython
    // gh-125608), though its size follows. So every row compares the size and
    // each item: a key added shows in the size, one removed or replaced in its item.
    if (PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_INLINE_VALUES)) {
        DictWatch& w = dicts_.back();
        w.per_row = true;
        w.size = PyDict_GET_SIZE(d.get());
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(d.get(), &pos, &key, &value)) {
            need(PyUnicode_CheckExact(key));
            w.items.push_back({hold(key), hold(value)});
        }
    }
#endif
    owners_.emplace_back(hold(obj), d.get());
    return d;
}

PyObject* Snapshot::get(PyObject* d, PyObject* key) {
    PyObject* v = item(d, key);
    // Every dictionary read here is watched first (the type namespaces of
    // mro_lookup are covered by the type tags instead).
    auto w =
        std::find_if(dicts_.begin(), dicts_.end(), [d](const DictWatch& x) { return x.dict == d; });
    need(w != dicts_.end());
    w->reads.push_back({hold(key), v ? hold(v) : nullptr});
    return v;
}
PyObject* Snapshot::get(PyObject* d, const char* key) {
    return get(d, interned(key).get());
}

// Assigns the type a version tag if it has none (a lookup through the type's
// method cache does), then remembers it.
void Snapshot::watch_type(PyObject* t) {
    need(t != nullptr && PyType_Check(t) && Py_TYPE(t) == &PyType_Type);
    auto* type = reinterpret_cast<PyTypeObject*>(t);
    for (const TypeWatch& w : types_) {
        if (w.type == type) return;
    }
    hold(t);
    static PyObject* probe = nullptr;
    if (probe == nullptr) probe = PyUnicode_InternFromString("__vandrel_version_probe__");
    if (probe == nullptr) raise_set();
    PyObject* r = PyObject_GetAttr(t, probe);
    if (r != nullptr) {
        Py_DECREF(r);
        refuse();
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_set();
    PyErr_Clear();
    TypeWatch w{type, 0};
    need(type_tag(type, w.tag));
    types_.push_back(w);
}

void Snapshot::watch_func(PyObject* f) {
    need(f != nullptr && Py_TYPE(f) == &PyFunction_Type);
    hold(f);
    funcs_.push_back({f, PyFunction_GET_CODE(f), PyFunction_GET_DEFAULTS(f),
                      PyFunction_GET_KW_DEFAULTS(f), PyFunction_GET_CLOSURE(f)});
}

void Snapshot::watch_list(PyObject* list) {
    need(PyList_CheckExact(list));
    ListWatch w{hold(list), {}};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        w.items.push_back(hold(PyList_GET_ITEM(list, i)));
    }
    lists_.push_back(std::move(w));
}

void Snapshot::on_event(PyObject* dict) noexcept {
    for (DictWatch& w : dicts_) {
        if (w.dict == dict) w.touched = true;
    }
}

// A watched dictionary changed elsewhere than in what validation read of it
// (say `random.seed()` setting the generator's gauss_next) is accepted again
// here, without a validation.
bool Snapshot::unchanged() noexcept {
    for (DictWatch& w : dicts_) {
        if (w.per_row) {
            if (PyDict_GET_SIZE(w.dict) != w.size || !same_items(w.dict, w.items)) return false;
            continue;
        }
        uint64_t now = dict_version(w.dict);
        if (now == w.version && !w.touched) continue;
        if (!w.by_reads || !same_items(w.dict, w.reads)) return false;
        w.version = now;
        w.touched = false;
    }
    for (const auto& [obj, dict] : owners_) {
        PyObject* d = PyObject_GenericGetDict(obj, nullptr);
        Py_XDECREF(d);
        if (d != dict) {
            PyErr_Clear();
            return false;
        }
    }
    auto type_same = [](const TypeWatch& w) {
        unsigned int tag = 0;
        return type_tag(w.type, tag) && tag == w.tag;
    };
    auto func_same = [](const FuncWatch& w) {
        return PyFunction_GET_CODE(w.func) == w.code &&
               PyFunction_GET_DEFAULTS(w.func) == w.defaults &&
               PyFunction_GET_KW_DEFAULTS(w.func) == w.kwdefaults &&
               PyFunction_GET_CLOSURE(w.func) == w.closure;
    };
    auto list_same = [](const ListWatch& w) {
        if (PyList_GET_SIZE(w.list) != static_cast<Py_ssize_t>(w.items.size())) return false;
        for (size_t i = 0; i < w.items.size(); ++i) {
            if (PyList_GET_ITEM(w.list, static_cast<Py_ssize_t>(i)) != w.items[i]) return false;
        }
        return true;
    };
    return std::all_of(types_.begin(), types_.end(), type_same) &&
           std::all_of(funcs_.begin(), funcs_.end(), func_same) &&
           std::all_of(lists_.begin(), lists_.end(), list_same);
}

// ---- validation ---------------------------------------------------------------------------

namespace {

// Defaults a checked function must carry, as its source gives them.
enum class Default { none, empty, one };
using Defaults = std::initializer_list<Default>;

class Validator {
  public:
    Validator(Snapshot& s, PyObject* func, PyObject* self) : s_(s), func_(func), self_(self) {}

    void run() {
        s_.watch_dict(builtins_dict);
        xeger_method();
        instance();
        typing_reads();
        parser();
        generator();
        check_globals();
    }

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

    // ---- functions ----

    // The builtins a namespace's code falls back to must be the interpreter's.
    PyObject* builtins_of(PyObject* globals) {
        PyObject* b = s_.get(globals, "__builtins__");
        if (b != nullptr && PyModule_CheckExact(b)) b = PyModule_GetDict(b);
        need(b == builtins_dict);
        return b;
    }

    // A Python function of `globals` that the module's source defines at
    // `qualname`, with `defaults`, no keyword defaults and no closure (unless
    // `cells`); watched, and its global loads queued for checking.
    void function(PyObject* f, PyObject* globals, const char* qualname, Defaults defaults,
                  bool cells = false, bool loads = true) {
        s_.watch_func(f);
        need(PyFunction_GET_GLOBALS(f) == globals);
#if PY_VERSION_HEX >= 0x030A0000
        need(reinterpret_cast<PyFunctionObject*>(f)->func_builtins == builtins_dict);
#endif
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
    void method(PyObject* type, const char* name, PyObject* globals, const std::string& qualname,
                Defaults defaults = {}) {
        PyObject* f = mro_lookup(type, name);
        need(f != nullptr);
        function(f, globals, qualname.c_str(), defaults);
    }

    // 1. rstr.xeger: the method, its module, its class and the class's methods.
    void xeger_method() {
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

    // 2. The instance: its attributes, dispatch tables and alphabets.
    void instance() {
        Ref idict = s_.watch_attributes(self_);
        PyObject* d = idict.get();
        for (const char* m : {"xeger", "_build_string", "_handle_state", "_handle_group",
                              "_handle_in", "_handle_repeat", "rstr", "sample_wr", "printable"}) {
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
            need(a != nullptr && b != nullptr && PyUnicode_CheckExact(a) &&
                 PyUnicode_CheckExact(b) && PyUnicode_Compare(a, b) == 0);
            return s_.hold(a);
        };
        for (int i = 0; i < 6; ++i) s_.category_alphabet[i] = alphabet(CATEGORY_ALPHABETS[i]);
        s_.any_alphabet = alphabet("printable");
    }

    // The dispatch tables hold Xeger.__init__'s own lambdas, in source order,
    // each closed over this instance only.
    void dispatch_tables(PyObject* d) {
        PyObject* categories = s_.get(d, "_categories");
        PyObject* cases = s_.get(d, "_cases");
        s_.watch_dict(categories, false);
        s_.watch_dict(cases, false);
        PyObject* init = mro_lookup(xeger_type_, "__init__");
        need(init != nullptr && Py_TYPE(init) == &PyFunction_Type);
        // Its code (lambdas included) is the source's; its default is not on the rows' path.
        s_.watch_func(init);
        need(
            PyFunction_GET_GLOBALS(init) == xg_ &&
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
        auto check_table = [&](PyObject* table, const char* const* keys, size_t nkeys,
                               size_t first) {
            need(static_cast<size_t>(PyDict_GET_SIZE(table)) == nkeys);
            Py_ssize_t pos = 0;
            PyObject *k = nullptr, *v = nullptr;
            for (size_t i = 0; PyDict_Next(table, &pos, &k, &v); ++i) {
                need(i < nkeys && is_ascii(k, keys[i]));
                s_.watch_func(v);
                need(PyFunction_GET_CODE(v) == lambdas[first + i] &&
                     PyFunction_GET_GLOBALS(v) == xg_ && PyFunction_GET_DEFAULTS(v) == nullptr &&
                     PyFunction_GET_KW_DEFAULTS(v) == nullptr);
#if PY_VERSION_HEX >= 0x030A0000
                need(reinterpret_cast<PyFunctionObject*>(v)->func_builtins == builtins_dict);
#endif
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

    // 3. What xeger subscripts and calls in typing: `Pattern[str]` and `cast`.
    void typing_reads() {
        PyObject* typing = s_.get(xg_, "typing");
        need(typing != nullptr && PyModule_CheckExact(typing));
        td_ = PyModule_GetDict(typing);
        s_.watch_dict(td_);
        need(is_ascii(s_.get(td_, "__name__"), "typing"));
        function(s_.get(td_, "cast"), td_, "cast", {});
        PyObject* alias = s_.get(td_, "Pattern");
        need(alias != nullptr && s_.get(xg_, "Pattern") == alias);
        PyObject* alias_type = s_.get(td_, "_SpecialGenericAlias");
        need(reinterpret_cast<PyObject*>(Py_TYPE(alias)) == alias_type);
        s_.watch_type(alias_type);
        // Hashed as the key of typing's cache: by identity, no code of its own.
        need(mro_lookup(alias_type, "__hash__") == object_slot("__hash__") &&
             mro_lookup(alias_type, "__eq__") == object_slot("__eq__"));
        Ref adict = s_.watch_attributes(alias);
        PyObject* origin = s_.get(adict.get(), "__origin__");
        need(exact_int(s_.get(adict.get(), "_nparams"), 1) &&
             c_type_of(origin, "re.Pattern", "_sre"));
        PyObject* getitem = mro_lookup(alias_type, "__getitem__");
        need(getitem != nullptr && Py_TYPE(getitem) == &PyFunction_Type);
        function(getitem, td_, "_tp_cache.<locals>.decorator.<locals>.inner", {}, true);
        PyObject* cl = PyFunction_GET_CLOSURE(getitem);
        Ref names = Ref::steal(PyObject_GetAttrString(PyFunction_GET_CODE(getitem), "co_freevars"));
        PyObject* freevars = names.get();
        need(PyTuple_Check(freevars));
        need(cl != nullptr && PyTuple_GET_SIZE(cl) == PyTuple_GET_SIZE(freevars));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cl); ++i) {
            PyObject* v = PyCell_GET(PyTuple_GET_ITEM(cl, i));
            PyObject* var = PyTuple_GET_ITEM(freevars, i);
            if (is_ascii(var, "func")) {
                need(v != nullptr && Py_TYPE(v) == &PyFunction_Type);
                // Runs only when typing's cache misses (Pattern[str] is cached
                // once made): its own callees are typing's internals, not followed.
                function(v, td_, "_SpecialGenericAlias.__getitem__", {}, false, false);
            } else {
                need(is_ascii(var, "cached") && v != nullptr &&
                     c_type_of(reinterpret_cast<PyObject*>(Py_TYPE(v)),
                               "functools._lru_cache_wrapper", "_functools"));
            }
        }
    }

    // 4. The parser: what parse() reaches, to be the same when a row calls it.
    void parser() {
        PyObject* parser = s_.get(xg_, "sre_parse");
        need(parser != nullptr && PyModule_CheckExact(parser));
        pd_ = PyModule_GetDict(parser);
        // Any change to its namespace may change what parse() gives.
        s_.watch_dict(pd_, false);
        builtins_of(pd_);
        Ref entry = interned("parse");
        s_.parse = s_.get(pd_, entry.get());
        need(s_.parse != nullptr);
        // Breadth-first over the globals the parser's code loads (names borrowed
        // from the co_names of checked code, alive as long as it is).
        std::vector<PyObject*> queue = {entry.get()};
        for (size_t i = 0; i < queue.size(); ++i) {
            PyObject* v = s_.get(pd_, queue[i]);
            if (v == nullptr) {
                builtin_load(queue[i]);
                continue;
            }
            for (PyObject* next : parser_value(queue[i], v)) {
                bool seen = std::any_of(queue.begin(), queue.end(), [next](PyObject* x) {
                    return PyUnicode_Compare(x, next) == 0;
                });
                if (!seen) queue.push_back(next);
            }
        }
    }

    // One global of the parser: checked, and the globals its code loads.
    std::vector<PyObject*> parser_value(PyObject* name, PyObject* v) {
        std::vector<PyObject*> loads;
        auto own = [&](PyObject* f, const std::string& qualname) {
            s_.watch_func(f);
            need(PyFunction_GET_GLOBALS(f) == pd_ && PyFunction_GET_KW_DEFAULTS(f) == nullptr &&
                 PyFunction_GET_CLOSURE(f) == nullptr);
            need(code_from_source(PyFunction_GET_CODE(f), s_.get(pd_, "__file__"),
                                  qualname.c_str()));
            if (PyObject* d = PyFunction_GET_DEFAULTS(f)) need(immutable(d));
            for (PyObject* n : global_loads(PyFunction_GET_CODE(f))) loads.push_back(n);
        };
        const char* n = PyUnicode_AsUTF8(name);
        if (n == nullptr) raise_set();
        if (Py_TYPE(v) == &PyFunction_Type) {
            own(v, n);
        } else if (PyType_Check(v) &&
                   PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(v),
                                    reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
            // error classes: raised only for patterns the rows leave to the calls
        } else if (PyType_Check(v)) {
            s_.watch_type(v);
            Ref cdict = type_dict(reinterpret_cast<PyTypeObject*>(v));
            need(is_ascii(item(cdict.get(), "__module__"),
                          PyUnicode_AsUTF8(s_.get(pd_, "__name__"))));
            Py_ssize_t pos = 0;
            PyObject *k = nullptr, *m = nullptr;
            while (PyDict_Next(cdict.get(), &pos, &k, &m)) {
                if (Py_TYPE(m) == &PyFunction_Type) {
                    own(m, std::string(n) + "." + unmangled(n, PyUnicode_AsUTF8(k)));
                } else if (Py_TYPE(m) == &PyProperty_Type) {
                    for (const char* part : {"fget", "fset", "fdel"}) {
                        Ref f = Ref::steal(PyObject_GetAttrString(m, part));
                        if (f.get() != Py_None) {
                            own(f.get(), std::string(n) + "." + PyUnicode_AsUTF8(k));
                        }
                    }
                } else if (PyObject_TypeCheck(m, &PyClassMethod_Type) ||
                           PyObject_TypeCheck(m, &PyStaticMethod_Type)) {
                    refuse();  // not in the parsers of 3.9 to 3.13
                }
            }
        } else {
            table_value(v);
        }
        return loads;
    }

    // The name a method was defined with: `_Class__name` is `__name` in the source.
    static std::string unmangled(const char* cls, const char* key) {
        std::string prefix = std::string("_") + cls + "__";
        std::string k(key);
        return k.compare(0, prefix.size(), prefix) == 0 ? k.substr(prefix.size() - 2) : k;
    }

    // A constant or table of the parser: immutable, or watched.
    // NOLINTNEXTLINE(misc-no-recursion): as deep as the tables nest (three levels)
    void table_value(PyObject* v) {
        if (immutable(v)) return;
        if (named_constant(v)) return;
        if (PyDict_CheckExact(v)) {
            s_.watch_dict(v, false);
            Py_ssize_t pos = 0;
            PyObject *k = nullptr, *x = nullptr;
            while (PyDict_Next(v, &pos, &k, &x)) table_value(x);
        } else if (PyList_CheckExact(v)) {
            s_.watch_list(v);
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) table_value(PyList_GET_ITEM(v, i));
        } else if (PyTuple_CheckExact(v)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i) {
                table_value(PyTuple_GET_ITEM(v, i));
            }
        } else if (PyFrozenSet_CheckExact(v)) {
            Ref it = Ref::steal(PyObject_GetIter(v));
            while (Ref k = Ref::steal_or_null(PyIter_Next(it.get()))) table_value(k.get());
            if (PyErr_Occurred()) raise_set();
        } else {
            refuse();
        }
    }

    // An opcode of the parser's constants (an int subclass with a `name` that
    // rstr dispatches on): its attributes watched.
    bool named_constant(PyObject* v) {
        PyTypeObject* t = Py_TYPE(v);
        if (!PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE) || t->tp_base != &PyLong_Type) return false;
        s_.watch_type(reinterpret_cast<PyObject*>(t));
        need(mro_lookup(reinterpret_cast<PyObject*>(t), "name") == nullptr &&
             t->tp_getattro == PyObject_GenericGetAttr);
        Ref d = Ref::steal(PyObject_GenericGetDict(v, nullptr));
        s_.watch_dict(d.get(), false);
        need(PyUnicode_CheckExact(item(d.get(), "name")));
        return true;
    }

    static bool immutable(PyObject* v) {  // NOLINT(misc-no-recursion): nested tuples
        if (v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyUnicode_CheckExact(v) ||
            PyBytes_CheckExact(v)) {
            return true;
        }
        if (PyFrozenSet_CheckExact(v)) {
            Ref it = Ref::steal(PyObject_GetIter(v));
            while (Ref k = Ref::steal_or_null(PyIter_Next(it.get()))) {
                if (!PyLong_CheckExact(k.get()) && !PyUnicode_CheckExact(k.get())) return false;
            }
            if (PyErr_Occurred()) raise_set();
            return true;
        }
        if (PyTuple_CheckExact(v)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i) {
                if (!immutable(PyTuple_GET_ITEM(v, i))) return false;
            }
            return true;
        }
        return false;
    }

    void builtin_load(PyObject* name) {
        PyObject* b = s_.get(builtins_dict, name);
        need(b == nullptr || genuine_builtin(name, b));
    }

    // 5. `random`: its bound choice/randint/shuffle, the generator, its class.
    void generator() {
        s_.watch_dict(rd_);
        need(is_ascii(s_.get(rd_, "__name__"), "random"));
        random_type_ = s_.get(rd_, "Random");
        s_.watch_type(random_type_);
        PyObject* inst = nullptr;
        for (const char* m : {"choice", "randint", "shuffle"}) {
            PyObject* bound = s_.get(rd_, m);
            need(bound != nullptr && PyMethod_Check(bound));
            if (inst == nullptr) inst = PyMethod_GET_SELF(bound);
            need(PyMethod_GET_SELF(bound) == inst &&
                 PyMethod_GET_FUNCTION(bound) == mro_lookup(random_type_, m));
        }
        s_.random_inst = s_.hold(inst);
        s_.random_type = Py_TYPE(inst);
        need(Py_TYPE(inst) == reinterpret_cast<PyTypeObject*>(random_type_));
        need(s_.random_type->tp_getattro == PyObject_GenericGetAttr);
        method(random_type_, "choice", rd_, "Random.choice");
        method(random_type_, "randint", rd_, "Random.randint");
        method(random_type_, "randrange", rd_, "Random.randrange", {Default::none, Default::one});
#if PY_VERSION_HEX >= 0x030B0000
        method(random_type_, "shuffle", rd_, "Random.shuffle");
#else
        method(random_type_, "shuffle", rd_, "Random.shuffle", {Default::none});
#endif
        method(random_type_, "_randbelow", rd_, "Random._randbelow_with_getrandbits");
        PyTypeObject* base = s_.random_type->tp_base;
        need(base != nullptr &&
             c_type_of(reinterpret_cast<PyObject*>(base), "_random.Random", "_random"));
        PyObject* bits = mro_lookup(random_type_, "getrandbits");
        need(bits != nullptr && Py_TYPE(bits) == &PyMethodDescr_Type);
        auto* descr = reinterpret_cast<PyMethodDescrObject*>(bits);
        need(PyDescr_TYPE(descr) == base &&
             std::strcmp(descr->d_method->ml_name, "getrandbits") == 0);
        Ref rdict = s_.watch_attributes(inst);
        for (const char* m :
             {"choice", "randint", "randrange", "shuffle", "_randbelow", "getrandbits"}) {
            need(s_.get(rdict.get(), m) == nullptr);
        }
        need(generator_layout_matches(base));
    }

    // A C method of `base` itself (its own namespace), by name.
    static PyObject* own_method(PyTypeObject* base, const char* name) {
        Ref d = type_dict(base);
        PyObject* m = item(d.get(), name);
        need(m != nullptr && Py_TYPE(m) == &PyMethodDescr_Type &&
             PyDescr_TYPE(reinterpret_cast<PyMethodDescrObject*>(m)) == base &&
             std::strcmp(reinterpret_cast<PyMethodDescrObject*>(m)->d_method->ml_name, name) == 0);
        return m;
    }

    // Whether MTObject is the layout of this interpreter's generator: two probes
    // of the C type seeded alike, one read in place, the other through its own
    // getrandbits(32). Only the C type's methods run: nothing a user can patch.
    static bool generator_layout_matches(PyTypeObject* base) {
        static PyTypeObject* checked = nullptr;
        static bool result = false;
        if (checked == base) return result;
        if (base->tp_basicsize != static_cast<Py_ssize_t>(sizeof(MTObject))) return false;
        PyObject* getstate = own_method(base, "getstate");
        PyObject* getrandbits = own_method(base, "getrandbits");
        Ref seed = Ref::steal(PyLong_FromLong(20240611));
        Ref a = call1(reinterpret_cast<PyObject*>(base), seed.get());
        Ref b = call1(reinterpret_cast<PyObject*>(base), seed.get());
        need(Py_TYPE(a.get()) == base && Py_TYPE(b.get()) == base);
        auto* mt = reinterpret_cast<MTObject*>(a.get());
        auto same_state = [&](PyObject* other) {
            Ref st = call1(getstate, other);
            if (!PyTuple_Check(st.get()) || PyTuple_GET_SIZE(st.get()) < 1) return false;
            PyObject* words = st.get();
            if (PyTuple_GET_SIZE(words) != MT_N + 1) return false;
            for (int i = 0; i <= MT_N; ++i) {
                unsigned long w = PyLong_AsUnsignedLong(PyTuple_GET_ITEM(words, i));
                if (PyErr_Occurred()) raise_set();
                if (w != (i < MT_N ? mt->state[i] : static_cast<unsigned long>(mt->index))) {
                    return false;
                }
            }
            return true;
        };
        if (!same_state(a.get())) return false;
        Ref bits = Ref::steal(PyLong_FromLong(32));
        uint32_t block[MT_N];
        for (int i = 0; i < 3 * MT_N;) {
            // Readers of 500 words: each starts in the middle of a block, tempering
            // one word at a time, then refills.
            bool valid = false;
            Words words(mt, block, valid);
            for (int k = 0; k < 500 && i < 3 * MT_N; ++k, ++i) {
                uint32_t mine = words.next();
                Ref theirs = call2(getrandbits, b.get(), bits.get());
                unsigned long w = PyLong_AsUnsignedLong(theirs.get());
                if (PyErr_Occurred()) raise_set();
                if (w != mine) return false;
            }
        }
        result = same_state(b.get());
        checked = base;
        return result;
    }

    // 6. Every global the checked code loads: what its module defines, or a
    //    genuine builtin. A few are loaded only on branches these rows never
    //    take (an error message's class, shuffle's `random` argument).
    void check_globals() {
        for (PyObject* g : {xg_, bg_, td_, rd_}) builtins_of(g);
        for (const auto& [globals, name] : loads_) {
            PyObject* v = s_.get(globals, name);
            if (v == nullptr) {
                builtin_load(name);
            } else {
                need(module_global(globals, name, v));
            }
        }
    }

    bool module_global(PyObject* globals, PyObject* name, PyObject* v) {
        auto is = [name](const char* n) { return PyUnicode_CompareWithASCIIString(name, n) == 0; };
        if (globals == xg_) {
            if (is("Pattern")) return v == item(td_, "Pattern");
            if (is("STAR_PLUS_LIMIT")) return exact_int(v, 100);
            if (is("chain")) return c_type_of(v, "itertools.chain", "itertools");
            if (is("sre_parse")) return PyModule_CheckExact(v) && PyModule_GetDict(v) == pd_;
            if (is("typing")) return PyModule_CheckExact(v) && PyModule_GetDict(v) == td_;
            if (is("string")) return string_module(v);
        } else if (globals == bg_) {
            if (is("SameCharacterError")) return true;  // include and exclude never overlap here
            if (is("partial")) return c_type_of(v, "functools.partial", "_functools");
            if (is("itertools")) return itertools_module(v);
        } else if (globals == rd_) {
            if (is("_ONE")) return exact_int(v, 1);
            if (is("_index")) return c_function_of(v, "_operator", "index");
            if (is("_floor") || is("_warn")) return true;  // shuffle(x, random) only
        } else if (globals == td_) {
            if (is("_caches")) return tp_caches(v);
        }
        return false;
    }

    bool string_module(PyObject* v) {
        if (!PyModule_CheckExact(v)) return false;
        PyObject* d = PyModule_GetDict(v);
        s_.watch_dict(d);
        s_.printable = s_.get(d, "printable");
        return s_.printable != nullptr && PyUnicode_CheckExact(s_.printable) &&
               PyUnicode_Compare(s_.printable, s_.any_alphabet) == 0 && s_.hold(s_.printable);
    }

    bool itertools_module(PyObject* v) {
        if (!PyModule_CheckExact(v)) return false;
        PyObject* d = PyModule_GetDict(v);
        s_.watch_dict(d);
        return c_type_of(s_.get(d, "repeat"), "itertools.repeat", "itertools");
    }

    // typing's caches (3.12+): the subscription's own cached function.
    bool tp_caches(PyObject* v) {
        if (!PyDict_CheckExact(v)) return false;
        s_.watch_dict(v);
        PyObject* alias_type = item(td_, "_SpecialGenericAlias");
        Ref d = type_dict(reinterpret_cast<PyTypeObject*>(alias_type));
        PyObject* inner = item(d.get(), "__getitem__");
        PyObject* cl = inner ? PyFunction_GET_CLOSURE(inner) : nullptr;
        if (cl == nullptr || PyTuple_GET_SIZE(cl) != 1) return false;
        PyObject* cached = s_.get(v, PyCell_GET(PyTuple_GET_ITEM(cl, 0)));
        return cached != nullptr && c_type_of(reinterpret_cast<PyObject*>(Py_TYPE(cached)),
                                              "functools._lru_cache_wrapper", "_functools");
    }
};

}  // namespace

void validate(Snapshot& s, PyObject* func, PyObject* self) {
    Validator(s, func, self).run();
    need(s.printable != nullptr);
    s.repeat_limit = 100;  // rstr's own limit, checked above
}

}  // namespace vandrel::xeger
