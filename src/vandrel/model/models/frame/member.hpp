// What every member shares once its arguments are bound: running the body with
// a current source line, and turning a failure into one traceback entry.
#pragma once

#include <new>

#include "frame/binder.hpp"
#include "core/compat.hpp"
#include "core/names.hpp"
#include "core/errors.hpp"
#include "frame/globals.hpp"
#include "frame/traceback.hpp"

namespace vandrel {

// Runs `body(line)`; `body` moves `line` along as it goes and returns a new
// reference. An error leaves with one traceback entry at the line reached.
template <class Body>
inline PyObject* run_body(const MemberDef& member, PyObject* func, Body&& body) noexcept {
    // The caller's reference need not last the call: a property's getter can be
    // replaced while it runs (property.__init__ again). The body and the error
    // path read the function's namespace and class, so hold it ourselves.
    Ref keep = Ref::borrow(func);
    // A body is a frame of its own for the recursion limit; the call that
    // finds the limit reached adds no entry, as a Python frame that cannot
    // start adds none.
    if (!enter_call()) return nullptr;
    struct Leave {  // NOLINT(cppcoreguidelines-special-member-functions): a scope guard
        ~Leave() { leave_call(); }
    } leave;
    int line = member.first_line;
    try {
        return body(line);
    } catch (const PyErrSet&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError,
                        "unexpected C++ exception in vandrel.model.models.string");
    }
    add_traceback(member.tb_name, line, as_func(func)->func_globals);
    return nullptr;
}

inline PyObject* globals_of(PyObject* func) noexcept {
    return as_func(func)->func_globals;
}

// A global slot for each name the members look up at call time.
#define VANDREL_GLOBAL(id) GlobalSlot global_##id{&K.str_##id, nullptr, 0, 0, nullptr};

// The members, one source per class.
extern MemberDef fsm_init, fsm_categories, fsm_pattern, fsm_sample, fsm_from_dict;
extern MemberDef sfs_init, sfs_categories, sfs_sample, sfs_from_dict;

// The zero-argument `super().__init__(meta=meta)` of an `__init__`: the class
// after the one of the def in the instance's MRO; its result is discarded.
void call_super_init(PyObject* func, PyObject* self, PyObject* meta);

// `raise <global>` and `raise <global>(message)` for ModelNotFittedError.
[[noreturn]] void raise_not_fitted(PyObject* func, PyObject* message);

// The first steps of both `from_dict`: the metadata rebuilt from d["meta"]
// through `cast(Dict[str, object], ...)` and the host class's `from_dict`.
Ref restore_meta(PyObject* func, PyObject* d, GlobalSlot& host_class, int& line, int line_meta,
                 int line_from_dict);

}  // namespace vandrel
