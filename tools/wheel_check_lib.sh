# shellcheck shell=bash
# Shared by the steps of `make wheel-check` (check_wheel.sh and the scripts it
# runs), sourced after `cd` to the repository: their messages, and `quiet`, which
# runs a step with its output in "$TMP/step.log" (the caller's TMP) and on failure
# shows that output (its last QUIET_TAIL lines when set) and stops.
say() { printf 'wheel-check: %s\n' "$*"; }
fail() { printf 'wheel-check: FAILED: %s\n' "$*" >&2; exit 1; }
quiet() {
  local what=$1; shift
  "$@" >"$TMP/step.log" 2>&1 || { tail -n "${QUIET_TAIL:-+1}" "$TMP/step.log" >&2; fail "$what"; }
}
