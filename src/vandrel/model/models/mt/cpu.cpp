// See cpu.hpp.
#include "mt/cpu.hpp"

#include <cstdlib>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace vandrel::mt {

namespace {

Cpu detect() noexcept {
    Cpu cpu;
    const char* baseline =
        std::getenv("VANDREL_CPU_BASELINE");  // NOLINT(concurrency-mt-unsafe): read once
    if (baseline != nullptr && *baseline != '\0') return cpu;
#if defined(__x86_64__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_OSXSAVE) == 0) return cpu;
    unsigned lo = 0, hi = 0;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    const bool ymm = (lo & 0x6U) == 0x6U, zmm = ymm && (lo & 0xE0U) == 0xE0U;
    const bool popcnt = (c & bit_POPCNT) != 0;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return cpu;
    cpu.bmi = popcnt && (b & bit_BMI) != 0 && (b & bit_BMI2) != 0;
    cpu.avx2 = ymm && (b & bit_AVX2) != 0;
    cpu.avx512f = zmm && (b & bit_AVX512F) != 0;
    cpu.avx512vbmi = cpu.avx512f && (b & bit_AVX512BW) != 0 && (c & bit_AVX512VBMI) != 0;
    cpu.avx512vbmi2 = cpu.avx512vbmi && popcnt && (c & bit_AVX512VBMI2) != 0;
#endif
    return cpu;
}

}  // namespace

const Cpu& this_cpu() noexcept {
    static const Cpu cpu = detect();
    return cpu;
}

}  // namespace vandrel::mt
