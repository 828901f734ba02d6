// Texts of code points as the columns keep them: a str object of the
// smallest kind that holds the text (the interpreter's own for the empty and
// the one-character strings, as a call gives them), or UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/refs.hpp"

namespace vandrel {

// Whether the str `s` holds a surrogate code point (then it has no UTF-8 form).
inline bool has_surrogate(PyObject* s) noexcept {
    const int kind = PyUnicode_KIND(s);
    if (kind == PyUnicode_1BYTE_KIND) return false;
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) return true;
    }
    return false;
}

// The row as a str: ASCII code units, or code points.
inline Ref make_str(const uint8_t* out, size_t len) {
    if (len <= 1) {
        return Ref::steal(
            PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, out, static_cast<Py_ssize_t>(len)));
    }
    Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(len), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(s.get()), out, len);
    return s;
}
inline Ref make_str(const uint32_t* out, size_t len) {
    return Ref::steal(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out, static_cast<Py_ssize_t>(len)));
}

// The most UTF-8 bytes of a character up to `maxchar`.
inline int64_t utf8_width(uint32_t maxchar) {
    return maxchar < 0x80 ? 1 : maxchar < 0x800 ? 2 : maxchar < 0x10000 ? 3 : 4;
}

// A row of code points as UTF-8 (no surrogates: a program without any, Program::surrogates).
inline unsigned char* put_utf8(unsigned char* end, const uint32_t* text, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        const uint32_t c = text[i];
        if (c < 0x80) {
            *end++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *end++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *end++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *end++ = static_cast<unsigned char>(0xE0 | (c >> 12));
            *end++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *end++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            *end++ = static_cast<unsigned char>(0xF0 | (c >> 18));
            *end++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            *end++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *end++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    return end;
}

}  // namespace vandrel
