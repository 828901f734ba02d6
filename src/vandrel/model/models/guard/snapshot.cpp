// See snapshot.hpp.
#include "guard/snapshot.hpp"

#include <algorithm>

#include "core/compat.hpp"
#include "core/names.hpp"
#include "guard/lookups.hpp"
#include "guard/refusal.hpp"

namespace vandrel::xeger {

Snapshot* current_snapshot = nullptr;

namespace {

void on_dict_changed(PyObject* dict) noexcept {
    if (current_snapshot != nullptr) current_snapshot->on_event(dict);
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
    // Without a watcher free (other extensions may hold every slot) the rows are calls.
    const int watched = watch_dict_events(d, on_dict_changed);
    if (watched < 0) raise_set();
    need(watched == 1);
    dicts_.push_back({d, {}, dict_version(d), by_reads, false, false, 0, {}});
}

// The attribute dictionary of `obj`, watched (a new reference).
Ref Snapshot::watch_attributes(PyObject* obj) {
    Ref d = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    watch_dict(d.get());
    // 3.13.0 stores an attribute into the inline values a materialized
    // dictionary shares without a new version tag or a watcher event, though
    // its size follows. So every row compares the size and each item: a key
    // added shows in the size, one removed or replaced in its item.
    if (unwatched_inline_values(Py_TYPE(obj))) {
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
    PyObject* probe = name_of("__vandrel_version_probe__");
    PyObject* r = PyObject_GetAttr(t, probe);
    if (r != nullptr) {
        Py_DECREF(r);
        refuse();
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_set();
    PyErr_Clear();
    TypeWatch w{type, 0};
    need(type_version_tag(type, w.tag));
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
        return type_version_tag(w.type, tag) && tag == w.tag;
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

}  // namespace vandrel::xeger
