// See xeger_generator.hpp.
#include "xeger_generator.hpp"

#include <cstring>

namespace vandrel::xeger {

Ref make_str(const std::vector<uint8_t>& out) {
    Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(out.size()), 127));
    if (!out.empty()) std::memcpy(PyUnicode_1BYTE_DATA(s.get()), out.data(), out.size());
    return s;
}
Ref make_str(const std::vector<Py_UCS4>& out) {
    return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(),
                                                static_cast<Py_ssize_t>(out.size())));
}

}  // namespace vandrel::xeger
