// The vector extensions this processor and its system run, read once: on
// x86-64 CPUID's feature bits and the register state the system saves
// (XGETBV), read directly (the runtime of some compilers has no
// __builtin_cpu_supports for a shared module). No Python.h.
// With VANDREL_CPU_BASELINE set (not empty) none is taken: every choice of
// code by processor falls back to the one that runs everywhere, so that the
// tests can run those on any machine.
#pragma once

namespace vandrel::mt {

struct Cpu {
    bool bmi = false;  // BMI1, BMI2 and POPCNT
    bool avx2 = false;
    bool avx512f = false;
    bool avx512vbmi = false;   // with AVX512F and AVX512BW
    bool avx512vbmi2 = false;  // with AVX512VBMI and POPCNT
};

const Cpu& this_cpu() noexcept;

}  // namespace vandrel::mt
