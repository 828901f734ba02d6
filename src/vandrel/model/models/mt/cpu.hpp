// The vector extensions this processor and its system run, read once: on
// x86-64 CPUID's feature bits and the register state the system saves
// (XGETBV), read directly (the runtime of some compilers has no
// __builtin_cpu_supports for a shared module). No Python.h.
#pragma once

namespace vandrel::mt {

struct Cpu {
    bool avx2 = false;
    bool avx512f = false;
};

const Cpu& this_cpu() noexcept;

}  // namespace vandrel::mt
