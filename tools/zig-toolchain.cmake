# Toolchain of the release wheels (tools/build_wheels.sh): zig's clang and libc++
# for a Linux target with an old glibc (x86_64-linux-gnu.2.17 or
# aarch64-linux-gnu.2.17, manylinux2014). The environment names the target and
# the wrapper that runs `python -m ziglang c++ -target <target>`; CMake reads
# this file again for each of its compiler checks, and the environment is
# still there.
if(NOT DEFINED ENV{VANDREL_ZIG_CXX} OR NOT DEFINED ENV{VANDREL_ZIG_ARCH})
  message(FATAL_ERROR "zig-toolchain.cmake: set VANDREL_ZIG_CXX and VANDREL_ZIG_ARCH (see tools/build_wheels.sh)")
endif()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR "$ENV{VANDREL_ZIG_ARCH}")
set(CMAKE_CXX_COMPILER "$ENV{VANDREL_ZIG_CXX}")
# Stripped at the link: the host's strip does not read an aarch64 file.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s")
