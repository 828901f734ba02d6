// Argument binding of the members, mirroring the interpreter's rules for
// positional-or-keyword parameters, with the interpreter's messages.
#pragma once

#include "frame/function.hpp"

namespace vandrel {

// No member has more parameters than this.
constexpr int kMaxParams = 5;

// Binds `args` (vectorcall form) to `out[member.nparams]`, borrowed references,
// defaults filled in. On failure returns false with the TypeError set and the
// member's traceback entry (at its first line) added.
bool bind_arguments(const MemberDef& member, PyObject* func, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames, PyObject** out) noexcept;

}  // namespace vandrel
