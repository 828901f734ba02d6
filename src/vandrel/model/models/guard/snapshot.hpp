// The guard of the native rows: what a row of rstr.xeger depends on, checked
// to be rstr's and `random`'s own, and watched for change.
//
// What "own" means here:
//  - a Python function is the one its module defines: the same object as the
//    one its class or namespace holds, its code equal to the code the import
//    system makes of the module's file (rstr's file being rstr 3.2.2's), its
//    defaults the ones that source gives, no keyword defaults, no closure but
//    the cells that source makes;
//  - a C type or function is the one its C module made (never a look-alike with
//    the same name);
//  - every global a checked function's code loads (LOAD_GLOBAL, found by
//    reading its bytecode) is what the module defines, or a genuine builtin,
//    or known to be loaded only on a branch these rows never take.
//
// What a validation saw is kept in a Snapshot: dictionaries by version tag (and
// dictionary watchers from 3.12 on), types by version tag, functions by their
// code, defaults and closure, lists by their items. `unchanged()` compares it
// all again. Validation itself calls nothing a user can patch: the generator's
// layout is probed through the C type `_random.Random`'s own methods.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "core/refs.hpp"
#include "guard/validated.hpp"

namespace vandrel::xeger {

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
struct ListWatch {  // a list a parser table holds: its items, by identity
    PyObject* list;
    std::vector<PyObject*> items;
};

class Snapshot : public Validated {
  public:
    // Whether everything validated still holds.
    bool unchanged() noexcept;

    // ---- building one (snapshot.cpp) ---------------------------------------------
    PyObject* hold(PyObject* o);
    void watch_dict(PyObject* d, bool by_reads = true);
    Ref watch_attributes(PyObject* obj);
    PyObject* get(PyObject* d, const char* key);
    PyObject* get(PyObject* d, PyObject* key);
    void watch_type(PyObject* t);
    void watch_func(PyObject* f);
    void watch_list(PyObject* list);
    void on_event(PyObject* dict) noexcept;

  private:
    std::vector<Ref> keep_;  // every watched object, so that no address is reused
    std::vector<DictWatch> dicts_;
    // Instances whose attribute dictionary is watched: still that dictionary?
    std::vector<std::pair<PyObject*, PyObject*>> owners_;
    std::vector<TypeWatch> types_;
    std::vector<FuncWatch> funcs_;
    std::vector<ListWatch> lists_;
};

// The snapshot being made or in use: where dictionary events are recorded.
extern Snapshot* current_snapshot;

}  // namespace vandrel::xeger
