// Native rows for FormattedStringModel.sample; see xeger_native.hpp.
//
// Three parts:
//  1. Validation: the bound `xeger` is taken apart (function, Xeger instance)
//     and everything the call reaches is checked to be rstr's and `random`'s own:
//     functions by their namespace, qualified name, code, defaults; dictionaries
//     by content. What was checked is remembered as dictionary version tags,
//     type version tags and function snapshots, compared again before every row;
//     any change means validating again before the next native row.
//  2. Compilation: the pattern is parsed by rstr's own parser module and the tree
//     turned into a small program, reproducing what Xeger._handle_state makes of
//     each node. Anything whose generation could raise (a repeat floor above the
//     repeat limit, a node rstr does not know, an empty choice, a group referred
//     to before it is certainly set) or that the parser warns about is refused:
//     such a pattern keeps going through the call.
//  3. Generation: the program run against the generator of `random` in place,
//     one 32-bit word per getrandbits(k) exactly as _random.Random does it, in
//     the order of rstr's randint/choice calls.
#include "xeger_native.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "compat.hpp"
#include "globals.hpp"

namespace vandrel {

namespace {

struct Refuse {};  // this row (and pattern, or state) is not reproduced here
[[noreturn]] void refuse() {
    throw Refuse{};
}
inline void need(bool ok) {
    if (!ok) refuse();
}

// ---- the Mersenne Twister of _random.Random -----------------------------------------------

constexpr int MT_N = 624;
constexpr int MT_M = 397;

// The object layout of _random.Random (Modules/_randommodule.c). It is not
// trusted blindly: generator_layout_matches() compares it with getstate() and
// getrandbits() of two probe generators before any native row.
struct MTObject {
    PyObject_HEAD int index;
    uint32_t state[MT_N];
};

inline uint32_t genrand_uint32(MTObject* self) noexcept {
    static const uint32_t mag01[2] = {0x0U, 0x9908b0dfU};
    uint32_t* mt = self->state;
    uint32_t y = 0;
    if (self->index >= MT_N) {
        int kk = 0;
        for (kk = 0; kk < MT_N - MT_M; kk++) {
            y = (mt[kk] & 0x80000000U) | (mt[kk + 1] & 0x7fffffffU);
            mt[kk] = mt[kk + MT_M] ^ (y >> 1) ^ mag01[y & 0x1U];
        }
        for (; kk < MT_N - 1; kk++) {
            y = (mt[kk] & 0x80000000U) | (mt[kk + 1] & 0x7fffffffU);
            mt[kk] = mt[kk + (MT_M - MT_N)] ^ (y >> 1) ^ mag01[y & 0x1U];
        }
        y = (mt[MT_N - 1] & 0x80000000U) | (mt[0] & 0x7fffffffU);
        mt[MT_N - 1] = mt[MT_M - 1] ^ (y >> 1) ^ mag01[y & 0x1U];
        self->index = 0;
    }
    y = mt[self->index++];
    y ^= (y >> 11);
    y ^= (y << 7) & 0x9d2c5680U;
    y ^= (y << 15) & 0xefc60000U;
    y ^= (y >> 18);
    return y;
}

// ---- small helpers ------------------------------------------------------------------------

// A type's version tag is valid until the type or one of its bases is modified:
// before 3.12 that clears a flag, from 3.12 on it resets the tag to 0.
inline bool type_tag(PyTypeObject* t, unsigned int& tag) noexcept {
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

// Borrowed item of an exact dict, or NULL; a lookup error is raised.
PyObject* item(PyObject* dict, const char* key) {
    Ref k = Ref::steal(PyUnicode_InternFromString(key));
    PyObject* v = PyDict_GetItemWithError(dict, k.get());
    if (v == nullptr && PyErr_Occurred()) raise_set();
    return v;
}

bool is_ascii(PyObject* s, const char* text) {
    return s != nullptr && PyUnicode_CheckExact(s) &&
           PyUnicode_CompareWithASCIIString(s, text) == 0;
}

bool is_builtin_function(PyObject* f, const char* name) {
    return f != nullptr && PyCFunction_Check(f) &&
           std::strcmp(reinterpret_cast<PyCFunctionObject*>(f)->m_ml->ml_name, name) == 0;
}

bool is_type_named(PyObject* t, const char* name) {
    return t != nullptr && PyType_Check(t) &&
           std::strcmp(reinterpret_cast<PyTypeObject*>(t)->tp_name, name) == 0;
}

// ---- what a validation remembers ----------------------------------------------------------

// One item validation read from a watched dictionary (value NULL: found missing).
struct Read {
    PyObject* key;
    PyObject* value;
};
struct DictWatch {
    PyObject* dict;
    std::vector<Read> reads;
    uint64_t version;
    bool by_reads;  // only the items validation read matter (it never iterated the dict)
    bool touched;   // a watcher event came (3.12+)
    bool per_row;   // neither tells: its size and every item are compared for every row
    Py_ssize_t size;
    std::vector<Read> items;  // per_row: all of them, as they were
};

struct TypeWatch {
    PyTypeObject* type;
    unsigned int tag;
};
struct FuncWatch {
    PyObject* func;
    PyObject* code;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* closure;
};

struct Snapshot {
    std::vector<Ref> keep;  // every watched object, so that no address is reused
    std::vector<DictWatch> dicts;
    // Instances whose attribute dictionary is watched: still that dictionary?
    std::vector<std::pair<PyObject*, PyObject*>> owners;
    std::vector<TypeWatch> types;
    std::vector<FuncWatch> funcs;
    // Identity of the bound method validated: its function and instance.
    PyObject* func = nullptr;
    PyObject* self = nullptr;
    // The classes of the instance and of the generator when validated.
    PyTypeObject* xeger_type = nullptr;
    PyObject* random_inst = nullptr;
    PyTypeObject* random_type = nullptr;
    PyObject* group_cache = nullptr;  // the instance's _cache: empty before a call
    // What compiled programs are made of.
    PyObject* parse = nullptr;
    PyObject* printable = nullptr;     // string.printable
    PyObject* any_alphabet = nullptr;  // _alphabets['printable']
    PyObject* category_alphabet[6] = {};
    long long repeat_limit = 0;  // STAR_PLUS_LIMIT

    PyObject* hold(PyObject* o) {
        keep.push_back(Ref::borrow(o));
        return o;
    }
    void watch_dict(PyObject* d, bool by_reads = true) {
        need(d != nullptr && PyDict_CheckExact(d));
        hold(d);
        dicts.push_back({d, {}, dict_version(d), by_reads, false, false, 0, {}});
        watch_events(d);
    }
    // The attribute dictionary of `obj`, watched (a new reference).
    Ref watch_attributes(PyObject* obj) {
        Ref d = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
        watch_dict(d.get());
#if PY_VERSION_HEX >= 0x030D0000
        // 3.13.0 stores an attribute into the inline values a materialized
        // dictionary shares without a new version tag or a watcher event
        // (CPython gh-125608), though its size follows. So every row compares
        // the size and each item: a key added shows in the size, one removed
        // or replaced in its item.
        DictWatch& w = dicts.back();
        w.per_row = true;
        w.size = PyDict_GET_SIZE(d.get());
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(d.get(), &pos, &key, &value)) {
            need(PyUnicode_CheckExact(key));
            w.items.push_back({hold(key), hold(value)});
        }
#endif
        owners.emplace_back(hold(obj), d.get());
        return d;
    }
    // An item of a watched dictionary, remembered (borrowed, or NULL).
    PyObject* get(PyObject* d, const char* key) {
        Ref k = Ref::steal(PyUnicode_InternFromString(key));
        PyObject* v = item(d, key);
        // Every dictionary read here is watched first (the type namespaces of
        // mro_lookup are covered by the type tags instead).
        auto w = std::find_if(dicts.begin(), dicts.end(),
                              [d](const DictWatch& x) { return x.dict == d; });
        need(w != dicts.end());
        w->reads.push_back({hold(k.get()), v ? hold(v) : nullptr});
        return v;
    }
    // Assigns the type a version tag if it has none (a lookup through the type's
    // method cache does), then remembers it.
    void watch_type(PyObject* t) {
        need(t != nullptr && PyType_Check(t) && Py_TYPE(t) == &PyType_Type);
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
        auto* type = reinterpret_cast<PyTypeObject*>(t);
        TypeWatch w{type, 0};
        need(type_tag(type, w.tag));
        types.push_back(w);
    }
    void watch_func(PyObject* f) {
        need(f != nullptr && PyFunction_Check(f));
        hold(f);
        funcs.push_back({f, PyFunction_GET_CODE(f), PyFunction_GET_DEFAULTS(f),
                         PyFunction_GET_KW_DEFAULTS(f), PyFunction_GET_CLOSURE(f)});
    }
    // A function of `globals` with this qualified name, whose code is the one
    // its module's source defines under that name; watched.
    void genuine(PyObject* f, PyObject* globals, const char* qualname) {
        watch_func(f);
        need(PyFunction_GET_GLOBALS(f) == globals &&
             is_ascii(reinterpret_cast<PyFunctionObject*>(f)->func_qualname, qualname));
        const char* dot = std::strrchr(qualname, '.');
        PyObject* code = PyFunction_GET_CODE(f);
        Ref name = Ref::steal(PyObject_GetAttrString(code, "co_name"));
        Ref file = Ref::steal(PyObject_GetAttrString(code, "co_filename"));
        PyObject* source = get(globals, "__file__");
        need(is_ascii(name.get(), dot ? dot + 1 : qualname) && source != nullptr &&
             PyUnicode_CheckExact(source) && PyUnicode_CheckExact(file.get()) &&
             PyUnicode_Compare(file.get(), source) == 0);
    }

    // Whether everything validated still holds. A watched dictionary changed
    // elsewhere than in what validation read of it (say `random.seed()` setting
    // the generator's gauss_next) is accepted again here, without a validation.
    bool unchanged() noexcept {
        for (DictWatch& w : dicts) {
            if (w.per_row) {
                if (PyDict_GET_SIZE(w.dict) != w.size || !same_items(w.dict, w.items)) return false;
                continue;
            }
            uint64_t now = dict_version(w.dict);
            if (now == w.version && !w.touched) continue;
            if (!w.by_reads || !same_reads(w)) return false;
            w.version = now;
            w.touched = false;
        }
        for (const auto& [obj, dict] : owners) {
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
        return std::all_of(types.begin(), types.end(), type_same) &&
               std::all_of(funcs.begin(), funcs.end(), func_same);
    }
    static bool same_reads(const DictWatch& w) noexcept {
        return same_items(w.dict, w.reads);
    }
    static bool same_items(PyObject* dict, const std::vector<Read>& items) noexcept;
    static void watch_events(PyObject* dict);
};

// The snapshot being made or in use: where dictionary events are recorded.
Snapshot* current_snapshot = nullptr;

// From 3.12 on, an attribute stored into an instance's inline values can leave
// the version tag of its materialized dictionary as it was (3.13); a dictionary
// watcher is told of every change.
#if PY_VERSION_HEX >= 0x030C0000
int on_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept {
    if (current_snapshot != nullptr)
        for (DictWatch& w : current_snapshot->dicts)
            if (w.dict == dict) w.touched = true;
    return 0;
}
#endif

void Snapshot::watch_events([[maybe_unused]] PyObject* dict) {
#if PY_VERSION_HEX >= 0x030C0000
    static int watcher = -1;
    if (watcher < 0) watcher = PyDict_AddWatcher(on_dict_event);
    if (watcher < 0 || PyDict_Watch(watcher, dict) < 0) raise_set();
#endif
}

bool Snapshot::same_items(PyObject* dict, const std::vector<Read>& items) noexcept {
    bool same = std::all_of(items.begin(), items.end(), [dict](const Read& r) {
        PyObject* v = PyDict_GetItemWithError(dict, r.key);
        return v == r.value && (v != nullptr || !PyErr_Occurred());
    });
    if (!same) PyErr_Clear();  // a failed lookup is a change too
    return same;
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

// Whether the layout above is the one of this interpreter's generator type: two
// probes seeded alike, one read in place, the other through getrandbits(32).
bool generator_layout_matches(PyObject* random_type, PyTypeObject* base) {
    static PyTypeObject* checked = nullptr;
    static bool result = false;
    if (checked == base) return result;
    if (base->tp_basicsize != static_cast<Py_ssize_t>(sizeof(MTObject))) return false;
    Ref seed = Ref::steal(PyLong_FromLong(20240611));
    Ref a = call1(random_type, seed.get());
    Ref b = call1(random_type, seed.get());
    if (!PyObject_TypeCheck(a.get(), base)) return false;
    auto* mt = reinterpret_cast<MTObject*>(a.get());
    auto same_state = [&](PyObject* other) {
        Ref st = Ref::steal(PyObject_CallMethod(other, "getstate", nullptr));
        if (!PyTuple_Check(st.get()) || PyTuple_GET_SIZE(st.get()) < 2) return false;
        PyObject* words = PyTuple_GET_ITEM(st.get(), 1);
        if (!PyTuple_Check(words) || PyTuple_GET_SIZE(words) != MT_N + 1) return false;
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
    for (int i = 0; i < 3 * MT_N; ++i) {
        uint32_t mine = genrand_uint32(mt);
        Ref theirs = Ref::steal(PyObject_CallMethod(b.get(), "getrandbits", "O", bits.get()));
        unsigned long w = PyLong_AsUnsignedLong(theirs.get());
        if (PyErr_Occurred()) raise_set();
        if (w != mine) return false;
    }
    result = same_state(b.get());
    checked = base;
    return result;
}

const char* const CATEGORY_KEYS[6] = {"category_digit", "category_not_digit",
                                      "category_space", "category_not_space",
                                      "category_word",  "category_not_word"};
const char* const CATEGORY_ALPHABETS[6] = {"digits",        "nondigits", "whitespace",
                                           "nonwhitespace", "word",      "nonword"};
const char* const CASE_KEYS[15] = {"literal",    "not_literal", "at",         "in",
                                   "any",        "range",       "category",   "branch",
                                   "subpattern", "assert",      "assert_not", "groupref",
                                   "min_repeat", "max_repeat",  "negate"};

// The whole check of one bound `xeger` (function `func`, instance `self`).
void validate(Snapshot& s, PyObject* func, PyObject* self) {
    s.func = s.hold(func);
    s.xeger_type = Py_TYPE(self);
    s.self = s.hold(self);

    // rstr.xeger: the method, its module, its class and the class's methods.
    need(PyFunction_Check(func));
    PyObject* xg = PyFunction_GET_GLOBALS(func);
    s.watch_dict(xg);
    need(is_ascii(s.get(xg, "__name__"), "rstr.xeger"));
    s.genuine(func, xg, "Xeger.xeger");
    PyObject* xeger_type = s.get(xg, "Xeger");
    s.watch_type(xeger_type);
    need(Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(xeger_type));
    need(mro_lookup(xeger_type, "xeger") == func);
    const char* own[] = {"__init__",      "_build_string", "_handle_state",
                         "_handle_group", "_handle_in",    "_handle_repeat"};
    for (const char* m : own) {
        std::string q = std::string("Xeger.") + m;
        s.genuine(mro_lookup(xeger_type, m), xg, q.c_str());
    }
    PyObject* rstr_method = mro_lookup(xeger_type, "rstr");
    need(rstr_method != nullptr && PyFunction_Check(rstr_method));
    PyObject* bg = PyFunction_GET_GLOBALS(rstr_method);
    s.watch_dict(bg);
    need(is_ascii(s.get(bg, "__name__"), "rstr.rstr_base"));
    for (const char* m : {"rstr", "sample_wr", "__getattr__"}) {
        std::string q = std::string("RstrBase.") + m;
        s.genuine(mro_lookup(xeger_type, m), bg, q.c_str());
    }
    {
        Ref object_dict = type_dict(&PyBaseObject_Type);
        need(mro_lookup(xeger_type, "__getattribute__") ==
             item(object_dict.get(), "__getattribute__"));  // object's namespace is fixed
    }
    // Instance attributes are not shadowed by the class; `printable` is left to __getattr__.
    for (const char* a :
         {"_random", "_alphabets", "_cache", "_categories", "_cases", "printable"}) {
        need(mro_lookup(xeger_type, a) == nullptr);
    }

    // The instance's own attributes.
    Ref idict = s.watch_attributes(self);
    PyObject* d = idict.get();
    for (const char* m : {"xeger", "_build_string", "_handle_state", "_handle_group", "_handle_in",
                          "_handle_repeat", "rstr", "sample_wr", "printable"}) {
        need(s.get(d, m) == nullptr);
    }
    PyObject* rnd = s.get(d, "_random");
    PyObject* alphabets = s.get(d, "_alphabets");
    PyObject* cache = s.get(d, "_cache");
    PyObject* categories = s.get(d, "_categories");
    PyObject* cases = s.get(d, "_cases");
    need(rnd != nullptr && PyModule_CheckExact(rnd));
    need(cache != nullptr && PyDict_CheckExact(cache));
    s.group_cache = s.hold(cache);
    s.watch_dict(alphabets);
    s.watch_dict(categories, false);
    s.watch_dict(cases, false);

    // The dispatch tables hold Xeger.__init__'s own lambdas, in source order.
    std::vector<PyObject*> lambdas;
    {
        Ref consts = getattr(PyFunction_GET_CODE(mro_lookup(xeger_type, "__init__")),
                             Ref::steal(PyUnicode_FromString("co_consts")).get());
        need(PyTuple_Check(consts.get()));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
            PyObject* c = PyTuple_GET_ITEM(consts.get(), i);
            if (PyCode_Check(c)) lambdas.push_back(s.hold(c));
        }
    }
    need(lambdas.size() == 6 + 15);
    auto check_table = [&](PyObject* table, const char* const* keys, size_t nkeys, size_t first) {
        need(static_cast<size_t>(PyDict_GET_SIZE(table)) == nkeys);
        Py_ssize_t pos = 0;
        PyObject *k = nullptr, *v = nullptr;
        for (size_t i = 0; PyDict_Next(table, &pos, &k, &v); ++i) {
            need(i < nkeys && is_ascii(k, keys[i]));
            s.watch_func(v);
            need(PyFunction_GET_CODE(v) == lambdas[first + i] && PyFunction_GET_GLOBALS(v) == xg);
            if (PyObject* cl = PyFunction_GET_CLOSURE(v)) {
                for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(cl); ++j) {
                    need(PyCell_GET(PyTuple_GET_ITEM(cl, j)) == self);
                }
            }
        }
    };
    check_table(categories, CATEGORY_KEYS, 6, 0);
    check_table(cases, CASE_KEYS, 15, 6);
    // The instance's alphabets are still rstr_base.ALPHABETS' (equal strings).
    PyObject* defaults = s.get(bg, "ALPHABETS");
    s.watch_dict(defaults);
    auto alphabet = [&](const char* key) {
        PyObject* a = s.get(alphabets, key);
        PyObject* b = s.get(defaults, key);
        need(a != nullptr && b != nullptr && PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) &&
             PyUnicode_Compare(a, b) == 0);
        return s.hold(a);
    };
    for (int i = 0; i < 6; ++i) s.category_alphabet[i] = alphabet(CATEGORY_ALPHABETS[i]);
    s.any_alphabet = alphabet("printable");

    // Builtins: the same namespace for the three modules, the genuine functions.
    auto builtins_of = [&](PyObject* globals) {
        PyObject* b = s.get(globals, "__builtins__");
        if (b != nullptr && PyModule_CheckExact(b)) b = PyModule_GetDict(b);
        return b;
    };
    PyObject* bd = builtins_of(xg);
    need(bd == builtins_dict && builtins_of(bg) == bd);
    s.watch_dict(bd);
    for (const char* f : {"chr", "min", "len"}) need(is_builtin_function(s.get(bd, f), f));
    need(s.get(bd, "list") == reinterpret_cast<PyObject*>(&PyList_Type));
    need(s.get(bd, "set") == reinterpret_cast<PyObject*>(&PySet_Type));
    need(s.get(bd, "range") == reinterpret_cast<PyObject*>(&PyRange_Type));
    need(s.get(bd, "int") == reinterpret_cast<PyObject*>(&PyLong_Type));
    need(s.get(bd, "AttributeError") == PyExc_AttributeError);
    for (const char* f : {"chr", "min", "list", "set", "range", "AttributeError", "len", "int"}) {
        need(s.get(xg, f) == nullptr && s.get(bg, f) == nullptr);
    }

    // rstr.xeger's module globals.
    PyObject* limit = s.get(xg, "STAR_PLUS_LIMIT");
    need(limit != nullptr && PyLong_CheckExact(limit));
    s.repeat_limit = PyLong_AsLongLong(limit);
    if (s.repeat_limit == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise_set();
        PyErr_Clear();
        refuse();
    }
    need(s.repeat_limit == 100);  // rstr's own limit
    PyObject* chain = s.get(xg, "chain");
    need(is_type_named(chain, "itertools.chain"));
    PyObject* string_mod = s.get(xg, "string");
    need(string_mod != nullptr && PyModule_CheckExact(string_mod));
    s.watch_dict(PyModule_GetDict(string_mod));
    s.printable = s.get(PyModule_GetDict(string_mod), "printable");
    need(s.printable != nullptr && PyUnicode_CheckExact(s.printable) &&
         PyUnicode_Compare(s.printable, s.any_alphabet) == 0);
    s.hold(s.printable);
    PyObject* typing = s.get(xg, "typing");
    need(typing != nullptr && PyModule_CheckExact(typing));
    PyObject* td = PyModule_GetDict(typing);
    s.watch_dict(td);
    s.genuine(s.get(td, "cast"), td, "cast");
    need(s.get(td, "Pattern") != nullptr);
    // The parser module rstr imported (sre_parse, or re._parser from 3.11 on).
    PyObject* parser = s.get(xg, "sre_parse");
    need(parser != nullptr && PyModule_CheckExact(parser));
    PyObject* pd = PyModule_GetDict(parser);
    s.watch_dict(pd, false);
    s.parse = s.get(pd, "parse");
    s.genuine(s.parse, pd, "parse");
    for (const char* t : {"Tokenizer", "State", "SubPattern"}) s.watch_type(s.get(pd, t));
    // Every function of the parser, and of the classes it defines, is its own:
    // a helper replaced would be called once here but once per row by the calls.
    {
        PyObject* file = s.get(pd, "__file__");
        PyObject* modname = s.get(pd, "__name__");
        need(file != nullptr && PyUnicode_CheckExact(file) && modname != nullptr);
        auto own_function = [&](PyObject* f) {
            Ref cf = Ref::steal(PyObject_GetAttrString(PyFunction_GET_CODE(f), "co_filename"));
            need(PyFunction_GET_GLOBALS(f) == pd && PyUnicode_CheckExact(cf.get()) &&
                 PyUnicode_Compare(cf.get(), file) == 0);
        };
        Py_ssize_t pos = 0;
        PyObject *k = nullptr, *v = nullptr;
        while (PyDict_Next(pd, &pos, &k, &v)) {
            if (PyFunction_Check(v)) {
                own_function(v);
            } else if (PyType_Check(v) && Py_TYPE(v) == &PyType_Type) {
                Ref td2 = type_dict(reinterpret_cast<PyTypeObject*>(v));
                PyObject* m = PyDict_GetItemString(td2.get(), "__module__");
                if (m == nullptr || PyObject_RichCompareBool(m, modname, Py_EQ) != 1) continue;
                s.watch_type(v);
                Py_ssize_t p2 = 0;
                PyObject *k2 = nullptr, *v2 = nullptr;
                while (PyDict_Next(td2.get(), &p2, &k2, &v2)) {
                    if (PyFunction_Check(v2)) own_function(v2);
                }
            }
        }
    }
    // rstr_base's globals reached by `self.printable(1, exclude='\n')`.
    need(is_type_named(s.get(bg, "partial"), "functools.partial"));
    PyObject* itertools = s.get(bg, "itertools");
    need(itertools != nullptr && PyModule_CheckExact(itertools));
    s.watch_dict(PyModule_GetDict(itertools));
    need(is_type_named(s.get(PyModule_GetDict(itertools), "repeat"), "itertools.repeat"));

    // `random`: its bound choice/randint/shuffle, the generator, its class.
    PyObject* rd = PyModule_GetDict(rnd);
    s.watch_dict(rd);
    need(is_ascii(s.get(rd, "__name__"), "random") && builtins_of(rd) == bd);
    for (const char* f : {"len", "int"}) need(s.get(rd, f) == nullptr);
    PyObject* random_type = s.get(rd, "Random");
    s.watch_type(random_type);
    PyObject* inst = nullptr;
    for (const char* m : {"choice", "randint", "shuffle"}) {
        PyObject* bound = s.get(rd, m);
        need(bound != nullptr && PyMethod_Check(bound));
        if (inst == nullptr) inst = PyMethod_GET_SELF(bound);
        need(PyMethod_GET_SELF(bound) == inst &&
             PyMethod_GET_FUNCTION(bound) == mro_lookup(random_type, m));
    }
    s.random_inst = s.hold(inst);
    s.random_type = Py_TYPE(inst);
    need(Py_TYPE(inst) == reinterpret_cast<PyTypeObject*>(random_type));
    need(s.random_type->tp_getattro == PyObject_GenericGetAttr);
    const char* rmethods[][2] = {{"choice", "Random.choice"},
                                 {"randint", "Random.randint"},
                                 {"randrange", "Random.randrange"},
                                 {"shuffle", "Random.shuffle"},
                                 {"_randbelow", "Random._randbelow_with_getrandbits"}};
    for (auto& m : rmethods) s.genuine(mro_lookup(random_type, m[0]), rd, m[1]);
    if (PyObject* index = s.get(rd, "_index")) need(is_builtin_function(index, "index"));
    if (PyObject* one = s.get(rd, "_ONE")) need(PyLong_CheckExact(one) && PyLong_AsLong(one) == 1);
    PyTypeObject* base = s.random_type->tp_base;
    need(base != nullptr && std::strcmp(base->tp_name, "_random.Random") == 0);
    PyObject* bits = mro_lookup(random_type, "getrandbits");
    need(bits != nullptr && Py_TYPE(bits) == &PyMethodDescr_Type);
    auto* descr = reinterpret_cast<PyMethodDescrObject*>(bits);
    need(PyDescr_TYPE(descr) == base && std::strcmp(descr->d_method->ml_name, "getrandbits") == 0);
    Ref rdict = s.watch_attributes(inst);
    for (const char* m :
         {"choice", "randint", "randrange", "shuffle", "_randbelow", "getrandbits"}) {
        need(s.get(rdict.get(), m) == nullptr);
    }
    need(generator_layout_matches(random_type, base));
}

// ---- programs -----------------------------------------------------------------------------

enum class Kind : uint8_t { Char, Text, Pick, Branch, Group, Backref, Repeat };

struct Node {
    Kind kind;
    uint8_t shift = 0;  // 32 - bit_length(n): getrandbits(k) is a word >> (32 - k)
    uint32_t n = 0;     // Pick/Text: table size; Branch: alternatives; Repeat: max - min + 1
    uint32_t a = 0;  // Char: code point; Pick/Text: table offset; Group/Backref: group; Repeat: min
    uint32_t body = 0;  // Group/Repeat: sequence; Branch: first entry in `alts`
};

struct Program {
    struct Range {
        uint32_t begin, end;
    };
    std::vector<Node> nodes;
    std::vector<Range> seqs;
    std::vector<uint32_t> alts;
    std::vector<Py_UCS4> chars;
    uint32_t root = 0;
    uint32_t groups = 0;  // highest group number + 1
    Py_UCS4 maxchar = 0;
};

constexpr size_t MAX_TABLE = 1 << 16;
constexpr int MAX_DEPTH = 40;

uint8_t shift_for(uint64_t n) {
    int k = 0;
    while ((n >> k) != 0) ++k;
    need(n >= 1 && k <= 32);
    return static_cast<uint8_t>(32 - k);
}

// The lower-case opcode name, as Xeger._handle_state dispatches on it.
std::string op_name(PyObject* op) {
    Ref name = getattr(op, Ref::steal(PyUnicode_InternFromString("name")).get());
    need(PyUnicode_Check(name.get()));
    const char* u = PyUnicode_AsUTF8(name.get());
    if (u == nullptr) raise_set();
    std::string s(u);
    for (char& c : s) {
        need(static_cast<unsigned char>(c) < 0x80);
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

long long as_int(PyObject* v) {
    need(PyLong_Check(v));
    int overflow = 0;
    long long r = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (r == -1 && PyErr_Occurred()) raise_set();
    need(overflow == 0);
    return r;
}

class Compiler {
  public:
    Compiler(const Snapshot& s, Program& p) : s_(s), p_(p) {}

    void compile(PyObject* parsed) {
        std::vector<bool> defined;
        p_.root = seq(parsed, 0, defined);
    }

  private:
    const Snapshot& s_;
    Program& p_;

    uint32_t table(const Py_UCS4* data, size_t n) {
        need(n >= 1 && n <= MAX_TABLE && p_.chars.size() + n <= (1u << 22));
        auto off = static_cast<uint32_t>(p_.chars.size());
        for (size_t i = 0; i < n; ++i) {
            p_.chars.push_back(data[i]);
            if (data[i] > p_.maxchar) p_.maxchar = data[i];
        }
        return off;
    }
    static void append_str(std::vector<Py_UCS4>& out, PyObject* str) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(str);
        need(out.size() + static_cast<size_t>(len) <= MAX_TABLE);
        int kind = PyUnicode_KIND(str);
        const void* data = PyUnicode_DATA(str);
        for (Py_ssize_t i = 0; i < len; ++i) out.push_back(PyUnicode_READ(kind, data, i));
    }
    Node pick(const std::vector<Py_UCS4>& chars) {
        Node n{Kind::Pick};
        n.a = table(chars.data(), chars.size());
        n.n = static_cast<uint32_t>(chars.size());
        n.shift = shift_for(chars.size());
        return n;
    }
    PyObject* category(PyObject* value) {
        std::string c = op_name(value);
        for (int i = 0; i < 6; ++i) {
            if (c == CATEGORY_KEYS[i]) return s_.category_alphabet[i];
        }
        refuse();
    }

    // `[...]`: the candidates of Xeger._handle_in, in their order.
    Node in(PyObject* items) {
        Ref fast = Ref::steal(PySequence_Fast(items, "in"));
        std::vector<Py_UCS4> cands;
        bool negated = false;
        Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* it = PySequence_Fast_GET_ITEM(fast.get(), i);
            need(PyTuple_Check(it) && PyTuple_GET_SIZE(it) == 2);
            std::string op = op_name(PyTuple_GET_ITEM(it, 0));
            PyObject* v = PyTuple_GET_ITEM(it, 1);
            if (op == "negate") {
                need(i == 0);  // anywhere else, False would be a candidate
                negated = true;
            } else if (op == "literal") {
                long long c = as_int(v);
                need(c >= 0 && c <= 0x10FFFF && cands.size() < MAX_TABLE);
                cands.push_back(static_cast<Py_UCS4>(c));
            } else if (op == "range") {
                need(PyTuple_Check(v) && PyTuple_GET_SIZE(v) == 2);
                long long lo = as_int(PyTuple_GET_ITEM(v, 0)), hi = as_int(PyTuple_GET_ITEM(v, 1));
                need(lo >= 0 && hi <= 0x10FFFF && hi - lo < static_cast<long long>(MAX_TABLE) &&
                     cands.size() + static_cast<size_t>(hi - lo + 1) <= MAX_TABLE);
                for (long long c = lo; c <= hi; ++c) cands.push_back(static_cast<Py_UCS4>(c));
            } else if (op == "category") {
                append_str(cands, category(v));
            } else {
                refuse();
            }
        }
        if (!negated) return pick(cands);
        // list(set(string.printable).difference(candidates[1:])): the set's order
        // is this process's, so let the interpreter make it.
        Ref rest = Ref::steal(PyList_New(static_cast<Py_ssize_t>(cands.size())));
        for (size_t i = 0; i < cands.size(); ++i) {
            PyObject* ch = PyUnicode_FromOrdinal(static_cast<int>(cands[i]));
            if (ch == nullptr) raise_set();
            PyList_SET_ITEM(rest.get(), static_cast<Py_ssize_t>(i), ch);
        }
        Ref all = Ref::steal(PySet_New(s_.printable));
        Ref diff = Ref::steal(PyObject_CallMethod(all.get(), "difference", "O", rest.get()));
        Ref list = Ref::steal(PySequence_List(diff.get()));
        std::vector<Py_UCS4> left;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
            PyObject* ch = PyList_GET_ITEM(list.get(), i);
            need(PyUnicode_CheckExact(ch) && PyUnicode_GET_LENGTH(ch) == 1);
            left.push_back(PyUnicode_READ_CHAR(ch, 0));
        }
        return pick(left);
    }

    // One parsed sequence; `defined` holds the groups certainly set on entry
    // and, on return, those certainly set after it.
    // NOLINTNEXTLINE(misc-no-recursion): nested as the pattern, at most MAX_DEPTH deep
    uint32_t seq(PyObject* sub, int depth, std::vector<bool>& defined) {
        need(depth <= MAX_DEPTH);
        Ref fast = Ref::steal(PySequence_Fast(sub, "pattern"));
        std::vector<Node> local;
        Py_ssize_t count = PySequence_Fast_GET_SIZE(fast.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* st = PySequence_Fast_GET_ITEM(fast.get(), i);
            need(PyTuple_Check(st) && PyTuple_GET_SIZE(st) == 2);
            std::string op = op_name(PyTuple_GET_ITEM(st, 0));
            PyObject* v = PyTuple_GET_ITEM(st, 1);
            if (op == "literal") {
                long long c = as_int(v);
                need(c >= 0 && c <= 0x10FFFF);
                Node n{Kind::Char};
                n.a = static_cast<uint32_t>(c);
                if (n.a > p_.maxchar) p_.maxchar = n.a;
                local.push_back(n);
            } else if (op == "not_literal") {
                long long c = as_int(v);
                need(c >= 0 && c <= 0x10FFFF);
                Ref ch = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(c)));
                Ref rest = Ref::steal(PyUnicode_Replace(s_.printable, ch.get(), K_empty(), -1));
                std::vector<Py_UCS4> chars;
                append_str(chars, rest.get());
                local.push_back(pick(chars));
            } else if (op == "at" || op == "assert_not") {
                // '' (and a negative lookaround's body is never generated)
            } else if (op == "in") {
                local.push_back(in(v));
            } else if (op == "any") {
                // self.printable(1, exclude='\n'): one choice among the others
                std::vector<Py_UCS4> all, chars;
                append_str(all, s_.any_alphabet);
                for (Py_UCS4 c : all) {
                    if (c != '\n') chars.push_back(c);
                }
                local.push_back(pick(chars));
            } else if (op == "category") {
                // the whole alphabet, as Xeger returns it here
                std::vector<Py_UCS4> chars;
                append_str(chars, category(v));
                if (chars.empty()) continue;
                Node n{Kind::Text};
                n.a = table(chars.data(), chars.size());
                n.n = static_cast<uint32_t>(chars.size());
                local.push_back(n);
            } else if (op == "branch") {
                need(PyTuple_Check(v) && PyTuple_GET_SIZE(v) == 2);
                Ref alts = Ref::steal(PySequence_Fast(PyTuple_GET_ITEM(v, 1), "branch"));
                Py_ssize_t na = PySequence_Fast_GET_SIZE(alts.get());
                need(na >= 1);
                std::vector<uint32_t> bodies;
                std::vector<bool> after;
                for (Py_ssize_t j = 0; j < na; ++j) {
                    std::vector<bool> d = defined;
                    bodies.push_back(seq(PySequence_Fast_GET_ITEM(alts.get(), j), depth + 1, d));
                    if (j == 0) {
                        after = d;
                    } else {
                        for (size_t g = 0; g < after.size(); ++g) {
                            after[g] = after[g] && g < d.size() && d[g];
                        }
                    }
                }
                defined = after;
                Node n{Kind::Branch};
                n.n = static_cast<uint32_t>(na);
                n.shift = shift_for(static_cast<uint64_t>(na));
                n.body = static_cast<uint32_t>(p_.alts.size());
                p_.alts.insert(p_.alts.end(), bodies.begin(), bodies.end());
                local.push_back(n);
            } else if (op == "subpattern" || op == "assert") {
                need(PyTuple_Check(v) && PyTuple_GET_SIZE(v) >= 2);
                Py_ssize_t last = op == "assert" ? 1 : PyTuple_GET_SIZE(v) - 1;
                Node n{Kind::Group};
                n.body = seq(PyTuple_GET_ITEM(v, last), depth + 1, defined);
                PyObject* g = PyTuple_GET_ITEM(v, 0);
                if (op == "subpattern" && g != Py_None) {
                    long long gi = as_int(g);
                    need(gi >= 1 && gi < 1000);
                    n.a = static_cast<uint32_t>(gi);
                    if (defined.size() <= n.a) defined.resize(n.a + 1);
                    defined[n.a] = true;
                    if (p_.groups <= n.a) p_.groups = n.a + 1;
                }
                local.push_back(n);
            } else if (op == "groupref") {
                long long gi = as_int(v);
                // Xeger raises KeyError for a group not set yet: not reproduced.
                need(gi >= 1 && static_cast<size_t>(gi) < defined.size() && defined[gi]);
                Node n{Kind::Backref};
                n.a = static_cast<uint32_t>(gi);
                local.push_back(n);
            } else if (op == "min_repeat" || op == "max_repeat") {
                need(PyTuple_Check(v) && PyTuple_GET_SIZE(v) == 3);
                long long lo = as_int(PyTuple_GET_ITEM(v, 0)), hi = as_int(PyTuple_GET_ITEM(v, 1));
                long long top = hi < s_.repeat_limit ? hi : s_.repeat_limit;
                need(lo >= 0 && top >= lo);  // else randint raises
                Node n{Kind::Repeat};
                n.a = static_cast<uint32_t>(lo);
                n.n = static_cast<uint32_t>(top - lo + 1);
                n.shift = shift_for(static_cast<uint64_t>(n.n));
                std::vector<bool> d = defined;
                n.body = seq(PyTuple_GET_ITEM(v, 2), depth + 1, d);
                if (lo >= 1) defined = d;
                local.push_back(n);
            } else {
                refuse();
            }
        }
        Program::Range r{static_cast<uint32_t>(p_.nodes.size()), 0};
        p_.nodes.insert(p_.nodes.end(), local.begin(), local.end());
        r.end = static_cast<uint32_t>(p_.nodes.size());
        need(p_.nodes.size() < (1u << 24));
        p_.seqs.push_back(r);
        return static_cast<uint32_t>(p_.seqs.size() - 1);
    }

    static PyObject* K_empty() {
        static PyObject* empty = nullptr;
        if (empty == nullptr) empty = PyUnicode_FromStringAndSize("", 0);
        if (empty == nullptr) raise_set();
        return empty;
    }
};

// The parser warns (FutureWarning, DeprecationWarning) about a few spellings;
// such a pattern keeps its calls so that every warning is issued as before.
bool may_warn(PyObject* pattern) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(pattern);
    int kind = PyUnicode_KIND(pattern);
    const void* data = PyUnicode_DATA(pattern);
    for (Py_ssize_t i = 0; i + 1 < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i), d = PyUnicode_READ(kind, data, i + 1);
        if (c == d && (c == '[' || c == '-' || c == '&' || c == '~' || c == '|')) return true;
        if (c == '(' && d == '?' && i + 2 < n) {
            Py_UCS4 e = PyUnicode_READ(kind, data, i + 2);
            if (e == '(') {
                return true;  // a condition's group name (3.12), and rstr refuses it anyway
            }
            if (i != 0 && std::strchr("aiLmsux-", static_cast<int>(e)) != nullptr && e != 0) {
                return true;
            }
        }
    }
    return false;
}

// Parses with rstr's parser and compiles; NULL when the pattern is refused.
std::unique_ptr<Program> compile(const Snapshot& s, PyObject* pattern) {
    if (may_warn(pattern)) return nullptr;
    Ref parsed = Ref::steal_or_null(PyObject_CallOneArg(s.parse, pattern));
    if (!parsed) {
        // The parser's refusal is the call's to raise, row by row. An interrupt
        // (anything not an Exception) is raised here, where the call would.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) raise_set();
        PyErr_Clear();
        return nullptr;
    }
    auto p = std::make_unique<Program>();
    try {
        Compiler(s, *p).compile(parsed.get());
    } catch (const Refuse&) {
        return nullptr;
    }
    return p;
}

// ---- running a program --------------------------------------------------------------------

template <class Char>
class Runner {
  public:
    Runner(const Program& p, MTObject* mt, std::vector<Char>& out,
           std::vector<std::pair<size_t, size_t>>& groups)
        : p_(p), mt_(mt), out_(out), groups_(groups) {
        out_.clear();
        if (groups_.size() < p.groups) groups_.resize(p.groups);
    }
    void run() { seq(p_.root); }

  private:
    const Program& p_;
    MTObject* mt_;
    std::vector<Char>& out_;
    std::vector<std::pair<size_t, size_t>>& groups_;

    // Random._randbelow_with_getrandbits(n), n >= 1.
    uint32_t below(uint32_t n, uint8_t shift) {
        uint32_t r = 0;
        do {
            r = genrand_uint32(mt_) >> shift;
        } while (r >= n);
        return r;
    }
    // NOLINTNEXTLINE(misc-no-recursion): nested as the program, at most MAX_DEPTH deep
    void seq(uint32_t index) {
        const Program::Range r = p_.seqs[index];
        for (uint32_t i = r.begin; i < r.end; ++i) node(p_.nodes[i]);
    }
    // NOLINTNEXTLINE(misc-no-recursion): see seq
    void node(const Node& n) {
        switch (n.kind) {
            case Kind::Char:
                out_.push_back(static_cast<Char>(n.a));
                break;
            case Kind::Text:
                for (uint32_t i = 0; i < n.n; ++i) {
                    out_.push_back(static_cast<Char>(p_.chars[n.a + i]));
                }
                break;
            case Kind::Pick:
                out_.push_back(static_cast<Char>(p_.chars[n.a + below(n.n, n.shift)]));
                break;
            case Kind::Branch:
                seq(p_.alts[n.body + below(n.n, n.shift)]);
                break;
            case Kind::Group: {
                size_t start = out_.size();
                seq(n.body);
                if (n.a != 0) groups_[n.a] = {start, out_.size()};
                break;
            }
            case Kind::Backref: {
                auto [start, end] = groups_[n.a];
                for (size_t i = start; i < end; ++i) out_.push_back(out_[i]);
                break;
            }
            case Kind::Repeat: {
                uint32_t times = n.a + below(n.n, n.shift);
                for (uint32_t t = 0; t < times; ++t) seq(n.body);
                break;
            }
        }
    }
};

Ref make_str(const std::vector<uint8_t>& out) {
    Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(out.size()), 127));
    if (!out.empty()) std::memcpy(PyUnicode_1BYTE_DATA(s.get()), out.data(), out.size());
    return s;
}
Ref make_str(const std::vector<Py_UCS4>& out) {
    return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(),
                                                static_cast<Py_ssize_t>(out.size())));
}

// ---- the process-wide state ---------------------------------------------------------------

enum class Status { Unknown, Ready, Refused };

// Compiled patterns: `programs` maps a pattern to its index in `store`, or to
// SEEN (met once: the first row of a pattern is a call, so that a single row
// costs no compilation) or REFUSED.
constexpr long SEEN = -2, REFUSED = -1;
constexpr Py_ssize_t MAX_PROGRAMS = 512;

struct State {
    Status status = Status::Unknown;
    Snapshot snap;
    uint64_t generation = 0;  // bumped by every validation
    bool busy = false;        // validating or compiling (Python code runs meanwhile)
    Ref programs;             // dict
    std::vector<std::unique_ptr<Program>> store;
    Ref last_pattern;
    const Program* last_program = nullptr;
    std::vector<uint8_t> ascii;
    std::vector<Py_UCS4> wide;
    std::vector<std::pair<size_t, size_t>> groups;
    std::vector<Ref> made_with;  // what the compiled programs were made of

    void forget_programs() {
        if (programs) PyDict_Clear(programs.get());
        store.clear();
        last_pattern = Ref();
        last_program = nullptr;
    }
};

State& state() {
    // Made once and never destroyed: at exit the interpreter may be gone.
    static auto* s = new State();  // NOLINT(cppcoreguidelines-owning-memory)
    return *s;
}

struct Busy {
    State& s;
    explicit Busy(State& st) : s(st) { s.busy = true; }
    Busy(const Busy&) = delete;
    Busy(Busy&&) = delete;
    Busy& operator=(const Busy&) = delete;
    Busy& operator=(Busy&&) = delete;
    ~Busy() { s.busy = false; }
};

// What compiled programs depend on: the same objects, the same programs.
std::vector<PyObject*> program_inputs(const Snapshot& s) {
    std::vector<PyObject*> in = {s.parse, s.printable, s.any_alphabet};
    in.insert(in.end(), std::begin(s.category_alphabet), std::end(s.category_alphabet));
    return in;
}

void revalidate(State& st, PyObject* func, PyObject* self) {
    Busy busy(st);
    st.status = Status::Unknown;
    ++st.generation;
    Snapshot fresh;
    current_snapshot = &fresh;
    struct Install {  // whatever happens, events go to the snapshot in use afterwards
        State& st;
        Install(const Install&) = delete;
        Install(Install&&) = delete;
        Install& operator=(const Install&) = delete;
        Install& operator=(Install&&) = delete;
        ~Install() { current_snapshot = &st.snap; }
    } install{st};
    try {
        validate(fresh, func, self);
        st.status = Status::Ready;
    } catch (const Refuse&) {
        st.status = Status::Refused;
    }
    if (st.status == Status::Ready) {
        std::vector<PyObject*> inputs = program_inputs(fresh);
        bool same = inputs.size() == st.made_with.size();
        for (size_t i = 0; same && i < inputs.size(); ++i) {
            same = inputs[i] == st.made_with[i].get();
        }
        if (!same) {
            st.forget_programs();
            st.made_with.clear();
            for (PyObject* o : inputs) st.made_with.push_back(Ref::borrow(o));
        }
    }
    st.snap = std::move(fresh);
}

// The program for `pattern`, or NULL for a call.
const Program* program_for(State& st, PyObject* pattern) {
    if (pattern == st.last_pattern.get()) return st.last_program;
    if (!st.programs) st.programs = Ref::steal(PyDict_New());
    PyObject* found = PyDict_GetItemWithError(st.programs.get(), pattern);
    if (found == nullptr && PyErr_Occurred()) raise_set();
    long index = found ? PyLong_AsLong(found) : SEEN - 1;
    const Program* prog = nullptr;
    if (index >= 0) {
        prog = st.store[static_cast<size_t>(index)].get();
    } else if (index == SEEN) {
        uint64_t generation = st.generation;
        std::unique_ptr<Program> made;
        {
            Busy busy(st);
            made = compile(st.snap, pattern);
        }
        // Parsing ran Python code: another thread may have changed what was
        // validated. Then this row is a call, and the next one validates again.
        if (generation != st.generation || !st.snap.unchanged()) return nullptr;
        long value = REFUSED;
        if (made) {
            value = static_cast<long>(st.store.size());
            st.store.push_back(std::move(made));
            prog = st.store.back().get();
        }
        Ref v = Ref::steal(PyLong_FromLong(value));
        check(PyDict_SetItem(st.programs.get(), pattern, v.get()));
    } else if (index != REFUSED) {
        if (PyDict_GET_SIZE(st.programs.get()) >= MAX_PROGRAMS) st.forget_programs();
        if (!st.programs) st.programs = Ref::steal(PyDict_New());
        Ref v = Ref::steal(PyLong_FromLong(SEEN));
        check(PyDict_SetItem(st.programs.get(), pattern, v.get()));
        return nullptr;
    }
    st.last_pattern = Ref::borrow(pattern);
    st.last_program = prog;
    return prog;
}

}  // namespace

Ref xeger_native(PyObject* xeger, PyObject* pattern) {
#if PY_VERSION_HEX < 0x03090000 || PY_VERSION_HEX >= 0x030E0000 || defined(Py_GIL_DISABLED)
    (void)xeger;
    (void)pattern;
    return Ref();
#else
    if (!PyMethod_Check(xeger) || !PyUnicode_CheckExact(pattern)) return {};
    State& st = state();
    if (st.busy) return {};
    PyObject* func = PyMethod_GET_FUNCTION(xeger);
    PyObject* self = PyMethod_GET_SELF(xeger);
    Snapshot& s = st.snap;
    // __class__ can be assigned without any watched change: the classes seen
    // by the last validation are compared too (and a refusal they caused ends).
    bool moved = Py_TYPE(self) != s.xeger_type ||
                 (s.random_inst != nullptr && Py_TYPE(s.random_inst) != s.random_type);
    if (st.status == Status::Unknown || func != s.func || self != s.self || moved ||
        !s.unchanged()) {
        revalidate(st, func, self);
        // Validation ran Python code: what it saw must still hold.
        if (!s.unchanged()) return {};
    }
    if (st.status != Status::Ready) return {};
    if (PyDict_GET_SIZE(s.group_cache) != 0) return {};
    const Program* prog = program_for(st, pattern);
    if (prog == nullptr) return {};
    auto* mt = reinterpret_cast<MTObject*>(s.random_inst);
    if (prog->maxchar < 0x80) {
        Runner<uint8_t>(*prog, mt, st.ascii, st.groups).run();
        return make_str(st.ascii);
    }
    Runner<Py_UCS4>(*prog, mt, st.wide, st.groups).run();
    return make_str(st.wide);
#endif
}

}  // namespace vandrel
