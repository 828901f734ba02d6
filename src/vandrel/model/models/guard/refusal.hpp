// The refusal of the native rows: thrown where a row (or a pattern, or the
// state it depends on) is not reproduced here, so that it goes through the
// call instead. Never an error: nothing is set in the interpreter.
#pragma once

namespace vandrel::xeger {

struct Refuse {};  // this row (and pattern, or state) is not reproduced here
[[noreturn]] inline void refuse() {
    throw Refuse{};
}
inline void need(bool ok) {
    if (!ok) refuse();
}

}  // namespace vandrel::xeger
