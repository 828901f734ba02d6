#!/usr/bin/env bash
# clang-format check and clang-tidy over the C++ of the extension module.
#
#   clang-format --dry-run --Werror with the repository's .clang-format, over the
#   .cpp and .hpp files; clang-tidy with the repository's .clang-tidy over the
#   .cpp files, using the compile database of `make install`.
#
#   BUILD_DIR     folder holding compile_commands.json (default: the build of $VPY,
#                 build/cpXY-cpXY-linux_<arch>)
#   CLANG_FORMAT  CLANG_TIDY   the tools (default: clang-format, clang-tidy)
#   LINT_VERBOSE  set to show every clang-format difference
#
# Missing tools are installed from Debian's packages when running as root.
# Exits non-zero when either tool reports anything.
set -euo pipefail
cd "$(dirname "$0")/.."
VPY=${VPY:-python3}
BUILD_DIR=${BUILD_DIR:-build/$("$VPY" -c 'import sys, sysconfig; v = "%d%d" % sys.version_info[:2]; print("cp%s-cp%s-%s" % (v, v, sysconfig.get_platform().replace("-", "_")))')}
CLANG_FORMAT=${CLANG_FORMAT:-clang-format}
CLANG_TIDY=${CLANG_TIDY:-clang-tidy}
SRC=src/vandrel/model/models

say() { printf 'lint: %s\n' "$*"; }

missing=()
command -v "$CLANG_FORMAT" >/dev/null 2>&1 || missing+=(clang-format)
command -v "$CLANG_TIDY" >/dev/null 2>&1 || missing+=(clang-tidy)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    say "installing ${missing[*]} (apt-get)"
    export DEBIAN_FRONTEND=noninteractive
    # one apt-get at a time with the other tools (tools/sid_root.sh, tools/debian_check.sh)
    mkdir -p .venv/debian && exec 9>.venv/debian/.lock && flock 9
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
    flock -u 9
  else
    say "missing ${missing[*]}: install them (Debian: apt-get install ${missing[*]})" >&2
    exit 2
  fi
fi

mapfile -t cpp < <(find "$SRC" -name '*.cpp' | sort)
mapfile -t hpp < <(find "$SRC" -name '*.hpp' | sort)
status=0

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# ---- clang-format ----------------------------------------------------------------
say "$("$CLANG_FORMAT" --version | head -n1)"
if "$CLANG_FORMAT" --style=file --dry-run --Werror "${cpp[@]}" "${hpp[@]}" >"$logs/format" 2>&1; then
  say "clang-format: ok (${#cpp[@]} .cpp, ${#hpp[@]} .hpp)"
else
  if [ -n "${LINT_VERBOSE:-}" ]; then cat "$logs/format"; fi
  say "clang-format: files that differ from .clang-format (places; LINT_VERBOSE=1 shows each):"
  grep -oE '^[^ :]+\.(cpp|hpp):[0-9]+:[0-9]+: error' "$logs/format" | cut -d: -f1 | uniq -c |
    sed 's/^ */  /' || cat "$logs/format"
  say "  fix: find $SRC -name '*.[ch]pp' | xargs clang-format -i"
  status=1
fi

# ---- clang-tidy ------------------------------------------------------------------
if [ ! -f "$BUILD_DIR/compile_commands.json" ]; then
  say "no $BUILD_DIR/compile_commands.json: run 'make install' first" >&2
  exit 2
fi
say "$("$CLANG_TIDY" --version | grep -i version | head -n1 | sed 's/^ *//')"
# One process per file, as many at a time as there are cores; the output of
# each file is printed whole, in file order.
printf '%s\n' "${cpp[@]}" | xargs -P "$(nproc 2>/dev/null || echo 2)" -I{} sh -c '
  f=$1; log=$2/$(echo "$f" | tr / _).log
  "$3" --quiet -p "$4" --warnings-as-errors="*" --extra-arg=-Wno-unknown-warning-option "$f" \
    >"$log" 2>&1 || echo "$f" >>"$2/failed"
' sh {} "$logs" "$CLANG_TIDY" "$BUILD_DIR" || true
for f in "${cpp[@]}"; do
  log=$logs/$(echo "$f" | tr / _).log
  # Drop the tool's own counts; keep the findings.
  grep -v -E '^[0-9]+ (warning|error)s? (generated|treated as errors)\.?$' "$log" || true
done
if [ -s "$logs/failed" ]; then
  say "clang-tidy: findings in $(sort "$logs/failed" | sed "s|^$SRC/||" | tr '\n' ' ')"
  status=1
else
  say "clang-tidy: ok (${#cpp[@]} files, checks of .clang-tidy)"
fi

exit $status
