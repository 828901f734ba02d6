#!/usr/bin/env bash
# The sdist built from source with CMake 3.18.4, the oldest CMake the project
# states (cmake_minimum_required in CMakeLists.txt, cmake.version in
# pyproject.toml; the CMake of Debian 11).
#
#   tools/sdist_cmake318.sh [SDIST]   (default: an sdist built from this tree)
#   PYTHON   the interpreter (default: the newest found, tools/find-python)
#
# A fresh venv with PyPI's build of CMake 3.18.4 and the pinned
# scikit-build-core; the sdist is built there without build isolation, so that
# this CMake configures it and not a newer one of the system (scikit-build-core
# prefers the cmake package of the environment), and the build log must say so.
# Then the stand-in of the host (host/) beside it, and the module imports and
# samples (tools/wheel_smoke.py). Also checks what the sdist holds.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
CMAKE_PIN=cmake==3.18.4.post1
source tools/wheel_check_lib.sh  # say, fail, quiet
QUIET_TAIL=60  # a build's log: its end
TMP=$(mktemp -d "${TMPDIR:-/tmp}/sdist-cmake318.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

py=$(tools/find-python)
venv=$TMP/venv
pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
skbuild=$(grep -E '^scikit-build-core==' requirements.txt)
quiet "venv" "$py" -m venv "$venv"
quiet "pip install $CMAKE_PIN $skbuild" "${pip[@]}" install "$CMAKE_PIN" "$skbuild"
version=$("$venv/bin/cmake" --version | head -n 1)
[ "$version" = "cmake version 3.18.4" ] || fail "$CMAKE_PIN gave $version"

sdist=${1:-}
if [ -z "$sdist" ]; then
  mkdir "$TMP/dist"  # the backend's own hook, as `python -m build --sdist` calls it
  quiet "the sdist" "$venv/bin/python" -c 'import sys; from scikit_build_core.build import build_sdist; build_sdist(sys.argv[1])' "$TMP/dist"
  sdist=$(ls "$TMP"/dist/*.tar.gz)
fi
sdist=$(realpath "$sdist")
# What the sdist holds: what builds the module, its documentation and the
# example (pyproject.toml, sdist.exclude), the license; none of the tooling.
top=$(tar -tzf "$sdist" | cut -d/ -f2 | grep -v '^$' | LC_ALL=C sort -u | tr '\n' ' ')
[ "$top" = "CMakeLists.txt LICENSE PKG-INFO README.md docs examples pyproject.toml src " ] \
  || fail "$(basename "$sdist") holds: $top"
say "  ok   $(basename "$sdist"): $top"

# The host first, as on a user's machine; then the sdist, built here and now (no
# wheel of pip's cache; -v: scikit-build-core names the CMake it runs), and the
# dependencies the built wheel declares.
quiet "pip install ./host" "${pip[@]}" install --no-build-isolation "$ROOT/host"
quiet "pip install $(basename "$sdist") with CMake 3.18.4" \
  "$venv/bin/python" -m pip --disable-pip-version-check --no-cache-dir install -v --no-build-isolation --no-deps "$sdist"
grep -q "scikit-build-core .* using CMake 3\.18\.4 (wheel)" "$TMP/step.log" \
  || { tail -n 60 "$TMP/step.log" >&2; fail "$(basename "$sdist") was not built with CMake 3.18.4"; }
"$venv/bin/python" -c 'from importlib.metadata import requires; print("\n".join(requires("vandrel-string-models")))' >"$TMP/requires.txt"
quiet "the dependencies: $(tr '\n' ' ' <"$TMP/requires.txt")" "${pip[@]}" install -r "$TMP/requires.txt"
quiet "pip check" "$venv/bin/python" -m pip check
say "  ok   $(basename "$sdist") builds with CMake 3.18.4 and $("$py" -V)"
mkdir -p "$TMP/run"
(cd "$TMP/run" && "$venv/bin/python" "$ROOT/tools/wheel_smoke.py" "$venv") || fail "import and sample (sdist, CMake 3.18.4)"
