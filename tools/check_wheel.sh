#!/usr/bin/env bash
# `make wheel-check`: the wheels and the sdist of dist/ (built by
# tools/build_wheels.sh first when dist/ has none) as a user gets them.
#  1. twine check, check-wheel-contents and auditwheel show: metadata, contents,
#     and the symbol versions against auditwheel's manylinux_2_17 policy; then
#     tools/wheel_metadata.py for what no tool knows (tags, record, suffix and
#     ELF machine of the module, its one exported symbol, dependency ranges).
#  2. Each x86_64 wheel in a fresh venv of its own CPython with the newest
#     dependencies and the stand-in of the host package (host/, as a wheel
#     built here): pip check, import and sample (tools/wheel_smoke.py),
#     examples/demo.py, and mypy --strict on the demo against the installed
#     stub. CPython 3.14 and 3.15 are Debian's, in the unstable root
#     (tools/sid_root.sh), where the test suite runs as well (the newest of
#     them with pyarrow).
#  3. The cp39 wheels where Debian 11 users run them (tools/debian_check.sh):
#     x86_64 in a Debian 11 amd64 root with the whole test suite, aarch64 in a
#     Debian 11 arm64 root under qemu-user with the test suite but two files
#     that do not depend on the architecture (ARM64_IGNORE).
#  4. The sdist once: built from source in a fresh venv, then imported and
#     sampled; and built with CMake 3.18.4, the oldest it states
#     (tools/sdist_cmake318.sh).
#  5. The newest x86_64 wheel installed over the stand-in host and removed
#     again: none of the host's files changes (tools/host_check.sh).
#
#   PYTHONS       the interpreters of this machine (default: tools/find-python --all)
#   SID_VERSIONS  the versions of the Debian unstable root (default: "3.14 3.15"; empty: none)
#   ARM64_IGNORE  test files the aarch64 leg leaves out (default: test_import.py
#                 test_nomemory.py; empty: the whole suite)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHONS=${PYTHONS:-$(tools/find-python --all)}
SID_VERSIONS=${SID_VERSIONS-3.14 3.15}
# Under qemu the suite takes minutes on one core. Two files are left out there:
# test_import.py (fresh interpreters loading the module: import-time paths) and
# test_nomemory.py (allocation-failure sweeps), together a fifth of the suite's
# time under qemu; both run on Debian 11 amd64 with the same CPython 3.9, and
# nothing in them depends on the architecture. Everything that does runs: the
# generator's vector loops, the regex programs and their rows, the columns and
# their buffers, recursion against the C stack, threads, signals, leaks.
ARM64_IGNORE=${ARM64_IGNORE-test_import.py test_nomemory.py}
TOOLS=$ROOT/.venv/tools
WORK=$ROOT/build/wheel-check  # what the Debian unstable root reads (it sees the repository only)
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}  # the sdist build: two cores, shared
TMP=$(mktemp -d "${TMPDIR:-/tmp}/wheel-check.XXXXXX")
arm64=""  # the process group of the aarch64 check (step 3), running beside the others
trap '[ -z "$arm64" ] || kill -- -"$arm64" 2>/dev/null; wait; rm -rf "$TMP" "$WORK"' EXIT
source tools/wheel_check_lib.sh  # say, fail, quiet
took() { say "($1: $(( SECONDS - $2 ))s)"; }

shopt -s nullglob
wheels=(dist/*.whl)
sdists=(dist/*.tar.gz)
if [ ${#wheels[@]} -eq 0 ] || [ ${#sdists[@]} -eq 0 ]; then
  PYTHONS="$PYTHONS" SID_VERSIONS="$SID_VERSIONS" tools/build_wheels.sh
  wheels=(dist/*.whl)
  sdists=(dist/*.tar.gz)
fi
"$TOOLS/bin/python" -m pip install --disable-pip-version-check -q -r tools/requirements-packaging.txt
if [ -n "$SID_VERSIONS" ]; then
  [ "$(id -u)" = 0 ] || fail "CPython ${SID_VERSIONS// /, } run in the Debian unstable root, which needs root (tools/sid_root.sh); SID_VERSIONS= checks the others only"
  tools/sid_root.sh setup
fi

# ---- 1. the tools, then what they do not check -------------------------------------
start=$SECONDS
quiet "twine check" "$TOOLS/bin/twine" check --strict "${wheels[@]}" "${sdists[@]}"
say "  ok   twine check --strict: ${#wheels[@]} wheels, ${#sdists[@]} sdist"
quiet "check-wheel-contents" "$TOOLS/bin/check-wheel-contents" "${wheels[@]}"
say "  ok   check-wheel-contents"
tags=()
for py in $PYTHONS; do tags+=("$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"); done
for ver in $SID_VERSIONS; do tags+=("cp${ver/./}"); done
for tag in "${tags[@]}"; do
  for arch in x86_64 aarch64; do
    found=(dist/*-"$tag"-"$tag"-manylinux2014_"$arch".*.whl)
    [ ${#found[@]} -eq 1 ] || fail "${#found[@]} $arch wheels for $tag in dist/, not one"
  done
done
for w in "${wheels[@]}"; do
  arch=${w%.whl}; arch=${arch##*manylinux_2_17_}
  quiet "auditwheel show $w" "$TOOLS/bin/auditwheel" show "$w"
  tr '\n' ' ' <"$TMP/step.log" | grep -q "consistent with the following platform tag: \"manylinux_2_17_$arch\"" \
    || { cat "$TMP/step.log" >&2; fail "auditwheel: $w is not manylinux_2_17_$arch"; }
  glibc=$(grep -o "GLIBC_[0-9.]*" "$TMP/step.log" | sort -uV | tail -n 1)
  say "  ok   auditwheel show: $(basename "$w"): manylinux_2_17_$arch, $glibc at most"
done
"$TOOLS/bin/python" tools/wheel_metadata.py "$ROOT" "${wheels[@]}" || fail "metadata or contents"
took "step 1" "$start"

# The aarch64 wheel under qemu-user (step 3) takes longest, on one core: it
# runs beside steps 2 to 5, its output held back until the end.
arm64_args=()
for f in $ARM64_IGNORE; do arm64_args+=("--ignore=$f"); done
arm64_start=$SECONDS
setsid tools/debian_check.sh aarch64 dist/*-cp39-cp39-manylinux2014_aarch64.*.whl "${arm64_args[@]}" >"$TMP/arm64.log" 2>&1 &
arm64=$!

# The stand-in of the host package, which every venv gets beside the module.
rm -rf "$WORK" && mkdir -p "$WORK"
quiet "the wheel of the stand-in host" "$(tools/find-python)" -m pip wheel --disable-pip-version-check -q --no-deps -w "$WORK" ./host
host_wheel=$(ls "$WORK"/vandrel_host_standin-*.whl)

# ---- 2. each wheel in a fresh venv of its CPython ----------------------------------
smoke() {  # venv, what
  mkdir -p "$TMP/run" && (cd "$TMP/run" && "$1/bin/python" "$ROOT/tools/wheel_smoke.py" "$1") \
    || fail "import and sample ($2)"
}
for py in $PYTHONS; do
  start=$SECONDS
  tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  wheel=$(ls dist/*-"$tag"-"$tag"-*_"$(uname -m)".whl 2>/dev/null | head -n 1)
  [ -n "$wheel" ] || fail "no $(uname -m) wheel for $tag in dist/"
  venv=$TMP/venv-$tag
  quiet "venv $tag" "$py" -m venv "$venv"
  quiet "pip install $(basename "$host_wheel")" "$venv/bin/python" -m pip install --disable-pip-version-check -q --only-binary :all: "$host_wheel"
  quiet "pip install $wheel" "$venv/bin/python" -m pip install --disable-pip-version-check -q "$ROOT/$wheel"
  quiet "pip check" "$venv/bin/python" -m pip check
  say "$(basename "$wheel"): installed with $("$venv/bin/python" -c 'import numpy, pandas; print("numpy", numpy.__version__, "pandas", pandas.__version__)')"
  smoke "$venv" "$tag"
  quiet "examples/demo.py ($tag)" "$venv/bin/python" "$ROOT/examples/demo.py"
  say "  ok   examples/demo.py"
  quiet "type-checking tools ($tag)" "$venv/bin/python" -m pip install --disable-pip-version-check -q -r "$ROOT/requirements-dev.txt"
  mkdir -p "$TMP/typecheck-$tag" && cp "$ROOT/examples/demo.py" "$TMP/typecheck-$tag/demo.py"
  (cd "$TMP/typecheck-$tag" && quiet "mypy --strict ($tag)" "$venv/bin/python" -m mypy --strict --no-incremental demo.py)
  say "  ok   mypy --strict examples/demo.py against the installed stub"
  took "$tag" "$start"
done

# The same for Debian's CPython 3.14 and 3.15 in the unstable root, which sees
# the repository at its path and has a /tmp of its own; then the test suite,
# run from tests/ against the installed wheel (PYTHONDONTWRITEBYTECODE: the
# tree stays as it is).
cat >"$WORK/sid-check.sh" <<'EOF'
set -euo pipefail
ver=$1 wheel=$2 host_wheel=$3 repo=$4; shift 4  # then the pins of pytest and hypothesis
say() { printf 'wheel-check: %s\n' "$*"; }
venv=/tmp/venv
pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
"python$ver" -m venv "$venv"
"${pip[@]}" install --only-binary :all: "$host_wheel"
"${pip[@]}" install --only-binary :all: "$wheel" "$@"
"${pip[@]}" check >/dev/null
say "$(basename "$wheel"): installed in the Debian unstable root with $("$venv/bin/python" -c 'import sys, numpy, pandas; import importlib.util as u; pa = u.find_spec("pyarrow") and __import__("pyarrow"); print("CPython", sys.version.split()[0] + ", numpy", numpy.__version__ + ", pandas", pandas.__version__ + ", pyarrow", pa.__version__ if pa else "none")')"
mkdir -p /tmp/run && (cd /tmp/run && "$venv/bin/python" "$repo/tools/wheel_smoke.py" "$venv")
"$venv/bin/python" "$repo/examples/demo.py" >/dev/null
say "  ok   examples/demo.py"
"${pip[@]}" install --only-binary :all: -r "$repo/requirements-dev.txt"
mkdir -p /tmp/typecheck && cp "$repo/examples/demo.py" /tmp/typecheck/
(cd /tmp/typecheck && "$venv/bin/python" -m mypy --strict --no-incremental demo.py >/tmp/mypy.log 2>&1) \
  || { cat /tmp/mypy.log; exit 1; }
say "  ok   mypy --strict examples/demo.py against the installed stub"
cd "$repo/tests"
if PYTHONDONTWRITEBYTECODE=1 "$venv/bin/python" -m pytest -q -x -p no:cacheprovider -rfE >/tmp/pytest.log 2>&1; then
  say "  ok   the test suite: $(tail -n 1 /tmp/pytest.log)"
else
  tail -n 80 /tmp/pytest.log; exit 1
fi
EOF
mapfile -t pins < <(grep -E '^(pytest|hypothesis)==' requirements.txt)
for ver in $SID_VERSIONS; do
  start=$SECONDS
  tag=cp${ver/./}
  wheel=$(ls dist/*-"$tag"-"$tag"-*_x86_64.whl 2>/dev/null | head -n 1)
  [ -n "$wheel" ] || fail "no x86_64 wheel for $tag in dist/"
  extra=()  # the newest with pyarrow: the zig-built Arrow writers under the suite
  [ "$ver" != "${SID_VERSIONS##* }" ] || extra=(-r "$ROOT/requirements-arrow.txt")
  tools/sid_root.sh run /bin/bash "$WORK/sid-check.sh" "$ver" "$ROOT/$wheel" "$host_wheel" "$ROOT" "${pins[@]}" "${extra[@]}" \
    || fail "$(basename "$wheel") in the Debian unstable root"
  took "$tag, in the root" "$start"
done

# ---- 3. the cp39 wheels on Debian 11 -----------------------------------------------------
start=$SECONDS
tools/debian_check.sh x86_64 dist/*-cp39-cp39-manylinux2014_x86_64.*.whl
took "cp39 on Debian 11 amd64" "$start"

# ---- 4. the sdist, built from source -------------------------------------------------
start=$SECONDS
newest=$(tools/find-python)
venv=$TMP/venv-sdist
quiet "venv (sdist)" "$newest" -m venv "$venv"
quiet "pip install $(basename "$host_wheel")" "$venv/bin/python" -m pip install --disable-pip-version-check -q --only-binary :all: "$host_wheel"
quiet "pip install ${sdists[0]}" "$venv/bin/python" -m pip install --disable-pip-version-check -q "$ROOT/${sdists[0]}"
smoke "$venv" "sdist"
say "  ok   $(basename "${sdists[0]}") builds from source with $("$newest" -V) and samples"
tools/sdist_cmake318.sh "$ROOT/${sdists[0]}" || fail "the sdist with CMake 3.18.4"
took "the sdist" "$start"

# ---- 5. the module's wheel over a host tree: none of the host's files changes --------
start=$SECONDS
newest_tag=$("$newest" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
tools/host_check.sh "$ROOT/$(ls dist/*-"$newest_tag"-"$newest_tag"-*_"$(uname -m)".whl | head -n 1)" \
  || fail "the wheel over the host"
took "the wheel over the host" "$start"
say "(the aarch64 wheel under qemu-user, started after step 1${ARM64_IGNORE:+, without $ARM64_IGNORE}:)"
if wait "$arm64"; then cat "$TMP/arm64.log"; else cat "$TMP/arm64.log" >&2; fail "the aarch64 wheel on Debian 11 arm64"; fi
arm64=""
took "cp39 on Debian 11 arm64, beside steps 2 to 5" "$arm64_start"
say "all checks passed in ${SECONDS}s"
