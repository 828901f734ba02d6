#include "frame/traceback.hpp"

#include <frameobject.h>

#include <unordered_map>
#include <utility>

#include "core/compat.hpp"
#include "core/names.hpp"

namespace vandrel {

namespace {

// Empty code objects per (function name, line); owned for the life of the
// process, so a repeated error costs one frame and no new code object.
struct KeyHash {
    size_t operator()(const std::pair<PyObject*, int>& k) const noexcept {
        return std::hash<void*>()(k.first) ^
               (static_cast<size_t>(k.second) * 0x9E3779B97F4A7C15ull);
    }
};
using CodeCache = std::unordered_map<std::pair<PyObject*, int>, PyCodeObject*, KeyHash>;

PyCodeObject* code_for(PyObject* funcname, int line) {
    // Entries live as long as the process; the map itself never calls into Python.
    static CodeCache code_cache;
    auto key = std::make_pair(funcname, line);
    auto it = code_cache.find(key);
    if (it != code_cache.end()) return it->second;
    const char* fname = PyUnicode_AsUTF8(funcname);
    const char* path = fname ? PyUnicode_AsUTF8(K.str_source_path) : nullptr;
    if (path == nullptr) return nullptr;
    // The line a 3.9 traceback shows comes from the code object as well.
    PyCodeObject* code = PyCode_NewEmpty(path, fname, line);
    if (code == nullptr) return nullptr;
    try {
        code_cache.emplace(key, code);
    } catch (...) {
        Py_DECREF(code);
        return nullptr;
    }
    Py_INCREF(funcname);  // the key's name stays alive with its code object
    return code;
}

}  // namespace

void add_traceback(PyObject* funcname, int line, PyObject* globals) noexcept {
    if (globals == nullptr) return;  // a function torn down by the collector: no frame to show
    // PyFrame_New refuses to run with an error set: park the error meanwhile.
    ParkedError parked;
    parked.park();
    PyFrameObject* frame = nullptr;
    try {
        PyCodeObject* code = code_for(funcname, line);
        if (code != nullptr) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    } catch (...) {
        frame = nullptr;
    }
    PyErr_Clear();  // a failure to build the entry never replaces the real error
    parked.restore();
    if (frame == nullptr) return;
    set_frame_line(frame, line);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace vandrel
