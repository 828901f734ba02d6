// See xeger_generator.hpp.
#include "xeger_generator.hpp"

#include <cstring>

namespace vandrel::xeger {

Ref make_str(const uint8_t* out, size_t len) {
    if (len <= 1) {
        return Ref::steal(
            PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, out, static_cast<Py_ssize_t>(len)));
    }
    Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(len), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(s.get()), out, len);
    return s;
}
Ref make_str(const Py_UCS4* out, size_t len) {
    return Ref::steal(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out, static_cast<Py_ssize_t>(len)));
}

}  // namespace vandrel::xeger
