#!/usr/bin/env bash
# The whole test suite against a build of the module with AddressSanitizer and
# UBSan (`make asan`). The sanitized module is built in its own tree
# (build/asan) and imported from a temporary package tree that holds the host
# stand-in of host/src/vandrel plus that module, ahead of the installed package.
# The slow reliability checks run too (VANDREL_SLOW=1).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VPY=${VPY:-.venv/bin/python}
case "$VPY" in /*) ;; *) VPY="$ROOT/$VPY" ;; esac
[ -x "$VPY" ] || { echo "asan: no interpreter at $VPY (run make install first)" >&2; exit 1; }
BUILD=build/asan-$("$VPY" -c "import sys; print(\"%d.%d\" % sys.version_info[:2])")
start=$(date +%s)

# 1. Configure and build with -DVANDREL_SANITIZE=ON.
cmake -S . -B "$BUILD" -DVANDREL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DPython_EXECUTABLE="$VPY" >/dev/null
cmake --build "$BUILD" -j "$(nproc 2>/dev/null || echo 2)"
SO=$(find "$BUILD" -maxdepth 1 -name 'string*.so' | head -n 1)
[ -n "$SO" ] || { echo "asan: no module built in $BUILD" >&2; exit 1; }
# (grep reads all of nm's output: a `grep -q` that stops early would end nm by
# SIGPIPE, which pipefail reports as a failure)
nm -D --undefined-only "$SO" | grep -c __asan_ >/dev/null \
  || { echo "asan: $SO is not instrumented" >&2; exit 1; }

# 2. A package tree: the host stand-in (Python sources only) and the sanitized module.
TREE=$(mktemp -d "${TMPDIR:-/tmp}/vandrel-asan.XXXXXX")
trap 'rm -rf "$TREE"' EXIT
for dir in host/src src; do  # the stand-in host, then the module's stub
  (cd "$dir" && find vandrel \( -name '*.py' -o -name '*.pyi' -o -name py.typed \) -print0 \
    | xargs -0 cp --parents -t "$TREE")
done
cp "$SO" "$TREE/vandrel/model/models/"
MODULE_FILE="$TREE/vandrel/model/models/$(basename "$SO")"

# 3. The sanitizer runtimes of the compiler, preloaded into the interpreter.
LIBASAN=$(g++ -print-file-name=libasan.so)
LIBUBSAN=$(g++ -print-file-name=libubsan.so)
for lib in "$LIBASAN" "$LIBUBSAN"; do
  [ -f "$lib" ] || { echo "asan: sanitizer runtime not found: $lib" >&2; exit 1; }
done
export LD_PRELOAD="$LIBASAN $LIBUBSAN"
export PYTHONPATH="$TREE${PYTHONPATH:+:$PYTHONPATH}"
export PYTHONMALLOC=malloc
# allocator_may_return_null: a huge allocation fails as malloc would (MemoryError)
# instead of ending the process, so the tests of such failures run here too.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export VANDREL_SLOW=1
export PYTHONDONTWRITEBYTECODE=1

# 4. The sanitized module is the one imported.
"$VPY" - "$MODULE_FILE" <<'EOF'
import os, sys
import vandrel.model.models.string as m
expected = os.path.realpath(sys.argv[1])
assert os.path.realpath(m.__file__) == expected, (m.__file__, expected)
print("asan: testing", m.__file__)
EOF

# 5. The whole suite, slow checks included.
(cd tests && "$VPY" -m pytest -q "$@")
echo "asan: passed in $(( $(date +%s) - start ))s"
