// Entry point and module body of vandrel.model.models.string.
//
// Multi-phase initialisation: the create phase guards against a second
// interpreter and hands back the one module of the process; the exec phase
// runs the body once: imports, then the two classes, then `__test__`.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "frame/member.hpp"
#include "frame/lines.hpp"
#include "core/state.hpp"

namespace vandrel {

namespace {

// ---- process-wide state -------------------------------------------------------

int64_t recorded_interpreter = -1;
PyObject* current_module = nullptr;  // owned: the module initialised or being initialised

const char* const kModuleName = "vandrel.model.models.string";

// A failure of the body at `line`; line 0 means "no entry".
struct BodyError {
    int line;
};
[[noreturn]] void fail_at(int line) {
    throw BodyError{line};
}

// Runs `step`, turning a Python error into a failure at `line`.
template <class F>
void at_line(int line, F&& step) {
    try {
        step();
    } catch (const PyErrSet&) {
        fail_at(line);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        fail_at(line);
    }
}

// ---- imports --------------------------------------------------------------------

Ref import_machinery(PyObject* name, PyObject* ns, PyObject* fromlist, int level) {
    Ref locals = Ref::steal(PyDict_New());
    return Ref::steal(PyImport_ImportModuleLevelObject(name, ns, locals.get(), fromlist, level));
}

// `from <name> import <names...>` at `level`: each name bound before the next is read.
void import_names(PyObject* ns, PyObject* name, int level, std::initializer_list<PyObject*> names) {
    Ref fromlist = Ref::steal(PyList_New(0));
    for (PyObject* n : names) check(PyList_Append(fromlist.get(), n));
    Ref module = import_machinery(name, ns, fromlist.get(), level);
    for (PyObject* n : names) {
        Ref value = Ref::steal_or_null(PyObject_GetAttr(module.get(), n));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_set();
            PyErr_Clear();
            // A submodule of that name that is already loaded will do.
            Ref modname = Ref::steal_or_null(PyObject_GetAttr(module.get(), K.str___name__));
            if (modname && PyUnicode_Check(modname.get())) {
                Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", modname.get(), n));
                value = Ref::steal_or_null(PyImport_GetModule(full.get()));
                if (!value && PyErr_Occurred()) raise_set();
            } else {
                PyErr_Clear();
            }
            if (!value) {
                set_error(PyExc_ImportError, "cannot import name %S", n);
                raise_set();
            }
        }
        check(PyDict_SetItem(ns, n, value.get()));
    }
}

// `import <name> as <alias>`: a module already loaded (and not mid-import) is
// taken from the table of loaded modules without the import machinery.
void import_module(PyObject* ns, PyObject* name, PyObject* alias) {
    Ref module = Ref::steal_or_null(PyImport_GetModule(name));
    if (!module && PyErr_Occurred()) raise_set();
    if (module) {
        bool initializing = false;
        Ref module_spec = Ref::steal_or_null(PyObject_GetAttr(module.get(), K.str___spec__));
        if (!module_spec) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_set();
            PyErr_Clear();
        } else {
            Ref flag = Ref::steal_or_null(PyObject_GetAttr(module_spec.get(), K.str__initializing));
            if (!flag) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_set();
                PyErr_Clear();
            } else {
                initializing = truth(flag.get());
            }
        }
        if (initializing) module = Ref();
    }
    if (!module) module = import_machinery(name, ns, nullptr, 0);
    check(PyDict_SetItem(ns, alias, module.get()));
}

// ---- class creation -------------------------------------------------------------

enum class Wrap { Plain, Property, ClassMethod };

struct ClassMember {
    MemberDef* member;
    Wrap wrap;
};

struct ClassDef {
    PyObject* const* name;
    int line;
    PyObject* const* meta_class_name;  // FormattedString or String
    PyObject* const* doc;
    ClassMember members[5];
    int nmembers;
};

// Bases as the interpreter resolves them for a class statement: items that are
// not classes and have __mro_entries__ are replaced by what it returns.
Ref resolve_bases(PyObject* bases) {
    Py_ssize_t n = PyTuple_GET_SIZE(bases);
    Ref resolved;  // a list once something is replaced
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        Ref entries;
        if (!PyType_Check(base)) {
            Ref meth = Ref::steal_or_null(PyObject_GetAttr(base, K.str___mro_entries__));
            if (!meth) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_set();
                PyErr_Clear();
            } else {
                entries = call1(meth.get(), bases);
                if (!PyTuple_Check(entries.get())) {
                    set_error(PyExc_TypeError, "__mro_entries__ must return a tuple");
                    raise_set();
                }
            }
        }
        if (entries) {
            if (!resolved) {
                resolved = Ref::steal(PyList_New(0));
                for (Py_ssize_t j = 0; j < i; ++j) {
                    check(PyList_Append(resolved.get(), PyTuple_GET_ITEM(bases, j)));
                }
            }
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(entries.get()); ++j) {
                check(PyList_Append(resolved.get(), PyTuple_GET_ITEM(entries.get(), j)));
            }
        } else if (resolved) {
            check(PyList_Append(resolved.get(), base));
        }
    }
    if (!resolved) return Ref::borrow(bases);
    return Ref::steal(PyList_AsTuple(resolved.get()));
}

// The most derived metaclass of the bases' types.
PyObject* choose_metaclass(PyObject* bases) {
    PyTypeObject* winner = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (winner == nullptr || PyType_IsSubtype(t, winner)) {
            winner = t;
        } else if (!PyType_IsSubtype(winner, t)) {
            set_error(PyExc_TypeError,
                      "metaclass conflict: the metaclass of a derived class must be a "
                      "(non-strict) subclass of the metaclasses of all its bases");
            raise_set();
        }
    }
    return reinterpret_cast<PyObject*>(winner ? winner : &PyType_Type);  // borrowed
}

Ref make_annotations(const MemberDef& member) {
    Ref d = Ref::steal(PyDict_New());
    for (int i = 0; i < member.nannotations; ++i) {
        check(PyDict_SetItem(d.get(), *member.annotations[i].key, member.annotations[i].value));
    }
    return d;
}

// Creates one class and binds it in the module namespace.
void create_class(PyObject* ns, const ClassDef& cs) {
    Ref bases_written, bases, metaclass, class_ns;
    Ref init_func;  // our own reference: a namespace from __prepare__ need not keep it
    at_line(cs.line, [&] {
        // 1-3. DiscreteModel[<metadata class>, str], NonAssociationModel
        Ref discrete = lookup_global_uncached(K.str_DiscreteModel, ns);
        Ref meta_cls = lookup_global_uncached(*cs.meta_class_name, ns);
        Ref key = Ref::steal(
            PyTuple_Pack(2, meta_cls.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type)));
        Ref generic = Ref::steal(PyObject_GetItem(discrete.get(), key.get()));
        Ref non_assoc = lookup_global_uncached(K.str_NonAssociationModel, ns);
        bases_written = Ref::steal(PyTuple_Pack(2, generic.get(), non_assoc.get()));
        // 4-5. resolved bases, metaclass
        bases = resolve_bases(bases_written.get());
        metaclass = Ref::borrow(choose_metaclass(bases.get()));
        // 6. namespace: __prepare__ or a new dict; then the class attributes
        Ref prepare = Ref::steal_or_null(PyObject_GetAttr(metaclass.get(), K.str___prepare__));
        if (prepare) {
            class_ns = call2(prepare.get(), *cs.name, bases.get());
        } else {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_set();
            PyErr_Clear();
            class_ns = Ref::steal(PyDict_New());
        }
        check(PyObject_SetItem(class_ns.get(), K.str___module__, K.str_module_name));
        check(PyObject_SetItem(class_ns.get(), K.str___qualname__, *cs.name));
        check(PyObject_SetItem(class_ns.get(), K.str___doc__, *cs.doc));
        if (bases.get() != bases_written.get()) {
            check(PyObject_SetItem(class_ns.get(), K.str___orig_bases__, bases_written.get()));
        }
    });
    // 7. the members, each reported at its own first line
    for (int i = 0; i < cs.nmembers; ++i) {
        const ClassMember& m = cs.members[i];
        at_line(m.member->first_line, [&] {
            Ref annotations = make_annotations(*m.member);
            Ref func = func_new(*m.member, ns, annotations.get());
            Ref wrapped;
            switch (m.wrap) {
                case Wrap::Plain:
                    wrapped = Ref::borrow(func.get());
                    break;
                case Wrap::Property:
                    wrapped = call1(K.builtin_property, func.get());
                    break;
                case Wrap::ClassMethod:
                    wrapped = Ref::steal(PyClassMethod_New(func.get()));
                    break;
            }
            check(PyObject_SetItem(class_ns.get(), m.member->name_str, wrapped.get()));
            if (m.member->name_str == K.str___init__) init_func = Ref::borrow(func.get());
        });
    }
    at_line(cs.line, [&] {
        // 8. metaclass(name, bases, namespace)
        PyObject* args[] = {*cs.name, bases.get(), class_ns.get()};
        Ref cls = call(metaclass.get(), args, 3);
        // 9. the class that zero-argument super() in __init__ names
        if (init_func && as_func(init_func.get())->func_class == nullptr) {
            Py_INCREF(cls.get());
            as_func(init_func.get())->func_class = cls.get();
        }
        // 10. bind it
        check(PyDict_SetItem(ns, *cs.name, cls.get()));
    });
}

const ClassDef kFormattedStringModel = {&K.str_FormattedStringModel,
                                        line::fsm_class,
                                        &K.str_FormattedString,
                                        &K.doc_formatted,
                                        {{&fsm_init, Wrap::Plain},
                                         {&fsm_categories, Wrap::Property},
                                         {&fsm_pattern, Wrap::Property},
                                         {&fsm_sample, Wrap::Plain},
                                         {&fsm_from_dict, Wrap::ClassMethod}},
                                        5};

const ClassDef kSequentialFormattedString = {&K.str_SequentialFormattedString,
                                             line::sfs_class,
                                             &K.str_String,
                                             &K.doc_sequential,
                                             {{&sfs_init, Wrap::Plain},
                                              {&sfs_categories, Wrap::Property},
                                              {&sfs_sample, Wrap::Plain},
                                              {&sfs_from_dict, Wrap::ClassMethod}},
                                             4};

MemberDef* const kMembers[] = {&fsm_init,       &fsm_categories, &fsm_pattern,
                               &fsm_sample,     &fsm_from_dict,  &sfs_init,
                               &sfs_categories, &sfs_sample,     &sfs_from_dict};

// ---- version warning ------------------------------------------------------------

// The interpreter agrees when its version string starts with "3.9" followed by
// anything but a digit.
int warn_on_version_mismatch() {
    char built[8];
    (void)std::snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char* running = Py_GetVersion();
    size_t len = std::strlen(built);
    if (std::strncmp(running, built, len) == 0 &&
        !std::isdigit(static_cast<unsigned char>(running[len]))) {
        return 0;
    }
    char shown[5] = {0};
    bool dot = false;
    for (int i = 0; i < 4; ++i) {
        char c = running[i];
        if (c == '.') {
            if (dot) break;
            dot = true;
        } else if (!std::isdigit(static_cast<unsigned char>(c))) {
            break;
        }
        shown[i] = c;
    }
    char message[200];
    (void)std::snprintf(
        message, sizeof message,
        "compile time version %s of module '%.100s' does not match runtime version %s", built,
        kModuleName, shown);
    return PyErr_WarnEx(nullptr, message, 1);
}

// ---- phases ---------------------------------------------------------------------

PyObject* module_create(PyObject* module_spec, PyModuleDef*) noexcept {
    // 1. one interpreter per process
    int64_t id = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (id == -1) return nullptr;
    if (recorded_interpreter == -1) {
        recorded_interpreter = id;
    } else if (recorded_interpreter != id) {
        set_error(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one "
                  "interpreter per process.");
        return nullptr;
    }
    // 2. the one module of the process
    if (current_module != nullptr) {
        Py_INCREF(current_module);
        return current_module;
    }
    // 3-4. a new module named after its ModuleSpec, with four of its attributes
    try {
        Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
        Ref module = Ref::steal(PyModule_NewObject(name.get()));
        PyObject* mdict = PyModule_GetDict(module.get());
        struct Copy {
            const char* from;
            const char* to;
            bool none_too;
        };
        for (const Copy& c : {Copy{"loader", "__loader__", true}, Copy{"origin", "__file__", true},
                              Copy{"parent", "__package__", true},
                              Copy{"submodule_search_locations", "__path__", false}}) {
            Ref value = Ref::steal_or_null(PyObject_GetAttrString(module_spec, c.from));
            if (!value) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_set();
                PyErr_Clear();
                continue;
            }
            if (value.get() == Py_None && !c.none_too) continue;
            check(PyDict_SetItemString(mdict, c.to, value.get()));
        }
        return module.release();
    } catch (const PyErrSet&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}

void run_body(PyObject* module, PyObject* ns) {
    // 3. __builtins__
    at_line(0, [&] {
        PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
        if (builtins == nullptr) raise_set();
        check(PyObject_SetAttrString(module, "__builtins__", builtins));
        if (S.builtins_dict == nullptr) {
            S.builtins_dict = PyModule_GetDict(builtins);
            Py_INCREF(S.builtins_dict);
        }
    });
    // 4. version warning; 5. constants
    at_line(0, [&] {
        if (warn_on_version_mismatch() < 0) raise_set();
        make_strings();
        for (MemberDef* m : kMembers) make_member_strings(*m);
    });
    at_line(line::body_first, [&] {
        // 6. the table of loaded modules knows the module under its full name
        PyObject* modules = PyImport_GetModuleDict();  // borrowed
        int has = PyDict_Contains(modules, K.str_module_name);
        check(has);
        if (!has) check(PyDict_SetItem(modules, K.str_module_name, module));
        // 7. captured built-ins
        PyObject** slots[] = {&K.builtin_property, &K.builtin_super, &K.builtin_range,
                              &K.builtin_object};
        PyObject* names[] = {K.str_property, K.str_super, K.str_range, K.str_object};
        for (int i = 0; i < 4; ++i) {
            PyObject* v = PyDict_GetItemWithError(S.builtins_dict, names[i]);
            if (v == nullptr) {
                if (!PyErr_Occurred()) raise_name_error(names[i]);
                raise_set();
            }
            Py_INCREF(v);
            Py_XSETREF(*slots[i], v);
        }
        // 8. default tuples, code objects, and the function type
        make_tuples();
        for (MemberDef* m : kMembers) make_member_code(*m);
        ready_func_type();
    });
    // 9. imports
    at_line(line::body_first, [&] {
        import_names(ns, K.str_typing, 0,
                     {K.str_Dict, K.str_List, K.str_Optional, K.str_Sequence, K.str_cast});
    });
    at_line(line::body_numpy, [&] { import_module(ns, K.str_numpy, K.str_np); });
    at_line(line::body_pandas, [&] { import_module(ns, K.str_pandas, K.str_pd); });
    at_line(line::body_rstr, [&] { import_module(ns, K.str_rstr, K.str_rstr); });
    at_line(line::body_association,
            [&] { import_names(ns, K.str_assoc_module, 0, {K.str_Association}); });
    at_line(line::body_value, [&] {
        import_names(ns, K.str_metadata_value, 3, {K.str_FormattedString, K.str_String});
    });
    at_line(line::body_base, [&] {
        import_names(ns, K.str_base, 2, {K.str_DiscreteModel, K.str_NonAssociationModel});
    });
    at_line(line::body_exceptions,
            [&] { import_names(ns, K.str_exceptions, 2, {K.str_ModelNotFittedError}); });
    // 10. the classes
    create_class(ns, kFormattedStringModel);
    create_class(ns, kSequentialFormattedString);
    // 11. __test__
    at_line(line::body_first, [&] {
        Ref test = Ref::steal(PyDict_New());
        check(PyDict_SetItem(ns, K.str___test__, test.get()));
    });
}

int module_exec(PyObject* module) noexcept {
    // 1. the body runs once per process
    if (current_module != nullptr) {
        if (current_module == module) return 0;
        set_error(PyExc_RuntimeError,
                  "Module 'string' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    // 2. this module is the current one
    Py_INCREF(module);
    current_module = module;
    PyObject* ns = PyModule_GetDict(module);  // borrowed
    int line = 0;
    try {
        run_body(module, ns);
        return 0;
    } catch (const BodyError& e) {
        line = e.line;
    } catch (const PyErrSet&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (line != 0 && K.str_init_funcname != nullptr) add_traceback(K.str_init_funcname, line, ns);
    Py_CLEAR(current_module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "string",  // m_name
    nullptr,   // m_doc: the module's __doc__ is None
    0,         // m_size: all state is process-wide
    nullptr,   // m_methods
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vandrel

PyMODINIT_FUNC PyInit_string(void) {
    return PyModuleDef_Init(&vandrel::module_def);
}
