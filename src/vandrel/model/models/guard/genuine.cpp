// See genuine.hpp.
#include "guard/genuine.hpp"

#include <fcntl.h>
#include <marshal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "core/compat.hpp"
#include "core/state.hpp"

namespace vandrel::xeger {

namespace {

bool names_module(PyObject* m, const char* module) {
    if (m == nullptr || !PyModule_Check(m)) return false;
    PyModuleDef* def = PyModule_GetDef(m);
    if (def == nullptr) {
        PyErr_Clear();
        return false;
    }
    return def->m_name != nullptr && std::strcmp(def->m_name, module) == 0;
}

// The bytes of a file, read without the interpreter's io (nothing a user can patch).
bool read_file(const std::string& path, std::string& out) {
    const int fd =
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC);  // NOLINT(cppcoreguidelines-pro-type-vararg)
    if (fd < 0) return false;
    char buf[1 << 16];
    ssize_t got = 0;
    while ((got = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(got));
    ::close(fd);
    return got == 0;
}

std::string fs_path(PyObject* file) {
    if (file == nullptr || !PyUnicode_CheckExact(file)) return {};
    Ref bytes = Ref::steal_or_null(PyUnicode_EncodeFSDefault(file));
    if (!bytes) {
        PyErr_Clear();
        return {};
    }
    return {PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()))};
}

// 1. The module's code from __pycache__/<stem>.<tag>.pyc, when its magic is this
//    interpreter's (NULL otherwise).
Ref cached_module_code(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string stem = path.substr(slash == std::string::npos ? 0 : slash + 1);
    if (stem.size() < 4 || stem.compare(stem.size() - 3, 3, ".py") != 0) return {};
    stem.resize(stem.size() - 3);
    std::string data;
    if (!read_file(dir + "/__pycache__/" + stem + "." + PyImport_GetMagicTag() + ".pyc", data) ||
        data.size() < 16) {
        return {};
    }
    long magic = PyImport_GetMagicNumber();
    const auto* b = reinterpret_cast<const unsigned char*>(data.data());
    long found =
        static_cast<long>(b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<unsigned>(b[3]) << 24));
    if (magic != found) return {};
    Ref code = Ref::steal_or_null(PyMarshal_ReadObjectFromString(
        data.data() + 16, static_cast<Py_ssize_t>(data.size() - 16)));
    if (!code || !PyCode_Check(code.get())) {
        PyErr_Clear();
        return {};
    }
    return code;
}

// 2. The module's source compiled as the import system compiles it.
Ref compiled_module_code(const std::string& path, PyObject* file) {
    std::string source;
    if (!read_file(path, source) || source.find('\0') != std::string::npos) return {};
    Ref code = Ref::steal_or_null(
        Py_CompileStringObject(source.c_str(), file, Py_file_input, nullptr, -1));
    if (!code) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) raise_set();
        PyErr_Clear();
    }
    return code;
}

// The code objects named `parts[i..]` below `code` (class bodies and functions
// by co_name; "<locals>" steps are skipped).
// NOLINTNEXTLINE(misc-no-recursion): as deep as the qualified name
void find_codes(PyObject* code, const std::vector<std::string>& parts, size_t i,
                std::vector<PyObject*>& out) {
    while (i < parts.size() && parts[i] == "<locals>") ++i;
    if (i == parts.size()) {
        out.push_back(code);
        return;
    }
    PyObject* consts = reinterpret_cast<PyCodeObject*>(code)->co_consts;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(consts); ++k) {
        PyObject* c = PyTuple_GET_ITEM(consts, k);
        if (!PyCode_Check(c)) continue;
        PyObject* name = reinterpret_cast<PyCodeObject*>(c)->co_name;
        if (PyUnicode_CompareWithASCIIString(name, parts[i].c_str()) == 0) {
            find_codes(c, parts, i + 1, out);
        }
    }
}

bool matches(PyObject* code, PyObject* module_code, const char* qualname) {
    if (module_code == nullptr || module_code == Py_None) return false;
    std::vector<std::string> parts;
    for (const char* p = qualname;;) {
        const char* dot = std::strchr(p, '.');
        parts.emplace_back(p, dot ? static_cast<size_t>(dot - p) : std::strlen(p));
        if (dot == nullptr) break;
        p = dot + 1;
    }
    std::vector<PyObject*> found;
    find_codes(module_code, parts, 0, found);
    return std::any_of(found.begin(), found.end(), [code](PyObject* c) {
        int eq = PyObject_RichCompareBool(code, c, Py_EQ);  // code objects compare in C
        if (eq < 0) raise_set();
        return eq == 1;
    });
}

}  // namespace

bool c_function_of(PyObject* f, const char* module, const char* name) {
    if (f == nullptr || !PyCFunction_Check(f)) return false;
    auto* cf = reinterpret_cast<PyCFunctionObject*>(f);
    if (std::strcmp(cf->m_ml->ml_name, name) != 0) return false;
    PyObject* owner = cf->m_self;
    if (module == nullptr) {
        return owner != nullptr && PyModule_Check(owner) &&
               PyModule_GetDict(owner) == S.builtins_dict;
    }
    return names_module(owner, module);
}

bool c_type_of(PyObject* t, const char* name, const char* module) {
    if (t == nullptr || !PyType_Check(t)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(t);
    if (std::strcmp(type->tp_name, name) != 0) return false;
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return true;
    // A heap type from C: made by PyType_FromSpec (with a method table, which a class
    // statement's type never has, and right on object), by that C module where
    // the interpreter records the module (3.9 does not for every type).
    if (type->tp_methods == nullptr || type->tp_base != &PyBaseObject_Type) return false;
    PyObject* m = PyType_GetModule(type);  // borrowed
    if (m == nullptr) {
        PyErr_Clear();
        return true;
    }
    return names_module(m, module);
}

bool genuine_builtin(PyObject* name, PyObject* value) {
    const char* n = PyUnicode_AsUTF8(name);
    if (n == nullptr) raise_set();
    if (PyType_Check(value)) {
        auto* t = reinterpret_cast<PyTypeObject*>(value);
        return !PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE) && std::strcmp(t->tp_name, n) == 0;
    }
    return c_function_of(value, nullptr, n);
}

bool code_from_source(PyObject* code, PyObject* file, const char* qualname) {
    if (code == nullptr || !PyCode_Check(code)) return false;
    std::string path = fs_path(file);
    if (path.empty()) return false;
    if (S.module_codes == nullptr) {
        S.module_codes = PyDict_New();
        if (S.module_codes == nullptr) raise_set();
    }
    PyObject* entry = PyDict_GetItemWithError(S.module_codes, file);
    if (entry == nullptr) {
        if (PyErr_Occurred()) raise_set();
        Ref cached = cached_module_code(path);
        Ref made = Ref::steal(PyList_New(2));
        PyList_SET_ITEM(made.get(), 0, Ref::borrow(cached ? cached.get() : Py_None).release());
        PyList_SET_ITEM(made.get(), 1, nullptr);
        check(PyDict_SetItem(S.module_codes, file, made.get()));
        entry = made.get();
    }
    if (matches(code, PyList_GET_ITEM(entry, 0), qualname)) return true;
    // 2. Stale or missing bytecode, or another optimisation level: the source.
    if (PyList_GET_ITEM(entry, 1) == nullptr) {
        Ref compiled = compiled_module_code(path, file);
        PyList_SET_ITEM(entry, 1, Ref::borrow(compiled ? compiled.get() : Py_None).release());
    }
    return matches(code, PyList_GET_ITEM(entry, 1), qualname);
}

uint64_t file_digest(PyObject* file) {
    std::string data;
    std::string path = fs_path(file);
    if (path.empty() || !read_file(path, data)) return 0;
    uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : data) h = (h ^ c) * 0x100000001b3ULL;
    return h;
}

std::vector<PyObject*> global_loads(PyObject* code) {  // NOLINT(misc-no-recursion): nested code
    constexpr int load_global = kOpLoadGlobal, extended_arg = kOpExtendedArg;
    std::vector<PyObject*> names;
    Ref bytes = Ref::steal(PyObject_GetAttrString(code, "co_code"));
    PyObject* co_names = reinterpret_cast<PyCodeObject*>(code)->co_names;
    if (!PyBytes_Check(bytes.get())) {
        PyErr_SetString(PyExc_SystemError, "code without bytecode");
        raise_set();
    }
    const auto* ops = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes.get()));
    Py_ssize_t size = PyBytes_GET_SIZE(bytes.get());
    unsigned long arg = 0;
    for (Py_ssize_t i = 0; i + 1 < size; i += 2) {
        arg = (arg << 8) | ops[i + 1];
        if (ops[i] == extended_arg) continue;
        if (ops[i] == load_global) {
            const unsigned long index = arg >> kLoadGlobalNameShift;
            if (index < static_cast<unsigned long>(PyTuple_GET_SIZE(co_names))) {
                names.push_back(PyTuple_GET_ITEM(co_names, static_cast<Py_ssize_t>(index)));
            }
        }
        arg = 0;
    }
    PyObject* consts = reinterpret_cast<PyCodeObject*>(code)->co_consts;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(consts); ++k) {
        PyObject* c = PyTuple_GET_ITEM(consts, k);
        if (PyCode_Check(c)) {
            std::vector<PyObject*> inner = global_loads(c);
            names.insert(names.end(), inner.begin(), inner.end());
        }
    }
    return names;
}

}  // namespace vandrel::xeger
