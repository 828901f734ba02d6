#!/usr/bin/env bash
# `make wheel-check`: the wheels and the sdist of dist/ (built by
# tools/build_wheels.sh first when dist/ has none) as a user gets them.
#  1. twine check, check-wheel-contents and auditwheel show: metadata, contents,
#     and the symbol versions against auditwheel's manylinux_2_17 policy; then
#     tools/wheel_metadata.py for what no tool knows (tags, suffix and ELF
#     machine of the module, its one exported symbol, dependency ranges).
#  2. Each x86_64 wheel in a fresh venv of its own CPython with the newest
#     dependencies: pip check, import and sample (tools/wheel_smoke.py),
#     examples/demo.py, and mypy --strict on the demo against the installed stub.
#  3. The cp39 wheels where Debian 11 users run them (tools/debian_check.sh):
#     x86_64 in a Debian 11 amd64 root with the whole test suite, aarch64 in a
#     Debian 11 arm64 root under qemu-user with the whole test suite.
#  4. The sdist once: built from source in a fresh venv, then imported and sampled.
#
#   PYTHONS  the interpreters (default: tools/find-python --all)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHONS=${PYTHONS:-$(tools/find-python --all)}
TOOLS=$ROOT/.venv/tools
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}  # the sdist build: two cores, shared
TMP=$(mktemp -d "${TMPDIR:-/tmp}/wheel-check.XXXXXX")
arm64=""  # the process group of the aarch64 check (step 3), running beside the others
trap '[ -z "$arm64" ] || kill -- -"$arm64" 2>/dev/null; wait; rm -rf "$TMP"' EXIT
say() { printf 'wheel-check: %s\n' "$*"; }
fail() { printf 'wheel-check: FAILED: %s\n' "$*" >&2; exit 1; }
quiet() {  # runs a step quietly; on failure shows its output and stops
  local what=$1; shift
  "$@" >"$TMP/step.log" 2>&1 || { cat "$TMP/step.log" >&2; fail "$what"; }
}

shopt -s nullglob
wheels=(dist/*.whl)
sdists=(dist/*.tar.gz)
if [ ${#wheels[@]} -eq 0 ] || [ ${#sdists[@]} -eq 0 ]; then
  PYTHONS="$PYTHONS" tools/build_wheels.sh
  wheels=(dist/*.whl)
  sdists=(dist/*.tar.gz)
fi
"$TOOLS/bin/python" -m pip install --disable-pip-version-check -q -r tools/requirements-packaging.txt

# ---- 1. the tools, then what they do not check -------------------------------------
quiet "twine check" "$TOOLS/bin/twine" check --strict "${wheels[@]}" "${sdists[@]}"
say "  ok   twine check --strict: ${#wheels[@]} wheels, ${#sdists[@]} sdist"
quiet "check-wheel-contents" "$TOOLS/bin/check-wheel-contents" "${wheels[@]}"
say "  ok   check-wheel-contents"
for py in $PYTHONS; do
  tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  for arch in x86_64 aarch64; do
    [ -f dist/*-"$tag"-"$tag"-manylinux2014_"$arch".*.whl ] || fail "no $arch wheel for $tag in dist/"
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

# The aarch64 wheel under qemu-user (step 3) takes longest, on one core: it
# runs beside steps 2 to 4, its output held back until the end.
setsid tools/debian_check.sh aarch64 dist/*-cp39-cp39-manylinux2014_aarch64.*.whl >"$TMP/arm64.log" 2>&1 &
arm64=$!

# ---- 2. each wheel in a fresh venv of its CPython ----------------------------------
smoke() {  # venv, what
  mkdir -p "$TMP/run" && (cd "$TMP/run" && "$1/bin/python" "$ROOT/tools/wheel_smoke.py" "$1") \
    || fail "import and sample ($2)"
}
for py in $PYTHONS; do
  tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  wheel=$(ls dist/*-"$tag"-"$tag"-*_"$(uname -m)".whl 2>/dev/null | head -n 1)
  [ -n "$wheel" ] || fail "no $(uname -m) wheel for $tag in dist/"
  venv=$TMP/venv-$tag
  quiet "venv $tag" "$py" -m venv "$venv"
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
done

# ---- 3. the cp39 wheels on Debian 11 -----------------------------------------------------
tools/debian_check.sh x86_64 dist/*-cp39-cp39-manylinux2014_x86_64.*.whl

# ---- 4. the sdist, built from source -------------------------------------------------
newest=$(tools/find-python)
venv=$TMP/venv-sdist
quiet "venv (sdist)" "$newest" -m venv "$venv"
quiet "pip install ${sdists[0]}" "$venv/bin/python" -m pip install --disable-pip-version-check -q "$ROOT/${sdists[0]}"
smoke "$venv" "sdist"
say "  ok   $(basename "${sdists[0]}") builds from source with $("$newest" -V) and samples"
say "(the aarch64 wheel under qemu-user, started after step 1:)"
wait "$arm64" && cat "$TMP/arm64.log" || { cat "$TMP/arm64.log" >&2; fail "the aarch64 wheel on Debian 11 arm64"; }
arm64=""
say "all checks passed"
