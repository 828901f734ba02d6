#include "frame/binder.hpp"

#include "core/errors.hpp"
#include "frame/traceback.hpp"

namespace vandrel {

namespace {

// Keyword names match a parameter by identity, or as equal strings (a str
// subclass included); anything that is not a str never matches.
inline bool same_name(PyObject* key, PyObject* param) noexcept {
    if (key == param) return true;
    return PyUnicode_Check(key) && PyUnicode_Compare(key, param) == 0;
}

int param_index(const MemberDef& member, PyObject* key) noexcept {
    for (int i = 0; i < member.nparams; ++i) {
        if (key == *member.vars[i]) return i;
    }
    for (int i = 0; i < member.nparams; ++i) {
        if (same_name(key, *member.vars[i])) return i;
    }
    return -1;
}

// Appends the decimal digits of `v` at `p`; returns the new end.
char* put_int(char* p, Py_ssize_t v) noexcept {
    char digits[24];
    int n = 0;
    size_t u = v < 0 ? 0 - static_cast<size_t>(v) : static_cast<size_t>(v);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (v < 0) *p++ = '-';
    while (n > 0) *p++ = digits[--n];
    return p;
}

char* put_text(char* p, const char* s, size_t max) noexcept {
    for (size_t i = 0; i < max && s[i] != '\0'; ++i) *p++ = s[i];
    return p;
}

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", written out
// by hand: the names are ASCII constants and this is the common error path.
[[gnu::cold]] void count_error(const MemberDef& member, bool too_many, Py_ssize_t given) noexcept {
    const char* word = member.defaults == nullptr ? "exactly" : (too_many ? "at most" : "at least");
    Py_ssize_t count = too_many ? member.nparams : member.nrequired;
    char buf[320];
    char* p = put_text(buf, member.name, 200);
    p = put_text(p, "() takes ", 16);
    p = put_text(p, word, 8);
    *p++ = ' ';
    p = put_int(p, count);
    p = put_text(p, " positional argument", 32);
    if (count != 1) *p++ = 's';
    p = put_text(p, " (", 4);
    p = put_int(p, given);
    p = put_text(p, " given)", 8);
    set_error_message(PyExc_TypeError, PyUnicode_DecodeASCII(buf, p - buf, nullptr));
}

[[gnu::cold]] bool failed(const MemberDef& member, PyObject* func) noexcept {
    add_traceback(member.tb_name, member.first_line, as_func(func)->func_globals);
    return false;
}

}  // namespace

bool bind_arguments(const MemberDef& member, PyObject* func, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames, PyObject** out) noexcept {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);

    // 1. Too many positional arguments; too few when no keyword can help.
    if (nargs > member.nparams || (nkw == 0 && nargs < member.nrequired)) {
        count_error(member, nargs > member.nparams, nargs);
        return failed(member, func);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (Py_ssize_t i = nargs; i < member.nparams; ++i) out[i] = nullptr;
    if (nkw == 0) {
        for (Py_ssize_t i = nargs; i < member.nparams; ++i) {
            out[i] = PyTuple_GET_ITEM(*member.defaults, i - member.nrequired);
        }
        return true;
    }

    PyObject* const* kwvalues = args + nargs;
    // Which keyword (by index) filled each required parameter in check 2.
    Py_ssize_t taken[kMaxParams];
    for (Py_ssize_t& t : taken) t = -1;

    // 2. Each required parameter from its position or its keyword, before any
    //    keyword itself is examined.
    for (Py_ssize_t i = nargs; i < member.nrequired; ++i) {
        // The first keyword of that name binds it (any later one is a
        // duplicate, reported in step 3 in the order the keywords came).
        PyObject* param = *member.vars[i];
        Py_ssize_t found = -1;
        for (Py_ssize_t j = 0; j < nkw && found < 0; ++j) {
            if (same_name(PyTuple_GET_ITEM(kwnames, j), param)) found = j;
        }
        if (found < 0) {
            count_error(member, false, i);
            return failed(member, func);
        }
        out[i] = kwvalues[found];
        taken[i] = found;
    }

    // 3. The keywords left over, in the order they were passed.
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        bool consumed = false;
        for (Py_ssize_t i = nargs; i < member.nrequired; ++i) consumed = consumed || taken[i] == j;
        if (consumed) continue;
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) {
            set_error(PyExc_TypeError, "%.200s() keywords must be strings", member.name);
            return failed(member, func);
        }
        int idx = param_index(member, key);
        if (idx < 0) {
            set_error(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", member.name,
                      key);
            return failed(member, func);
        }
        if (out[idx] != nullptr) {
            // Filled by position, or by an earlier keyword of the same name.
            set_error(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                      member.name, key);
            return failed(member, func);
        }
        out[idx] = kwvalues[j];
    }
    for (Py_ssize_t i = member.nrequired; i < member.nparams; ++i) {
        if (out[i] == nullptr) out[i] = PyTuple_GET_ITEM(*member.defaults, i - member.nrequired);
    }
    return true;
}

}  // namespace vandrel
