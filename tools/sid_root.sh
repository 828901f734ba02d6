#!/usr/bin/env bash
# CPython 3.14 and 3.15, which pyenv here does not have, from Debian unstable:
# a Debian sid amd64 root made by debootstrap (minbase, Debian's python3.X with
# -dev and -venv, g++, cmake, make, git), kept in .venv/debian/sid-amd64.
#
#   tools/sid_root.sh setup               make the root (once; a second run returns at once)
#   tools/sid_root.sh run CMD [ARG...]    run CMD in the root, in the current folder
#   tools/sid_root.sh pythons             the root's interpreters as paths seen from here
#   tools/sid_root.sh versions            their full versions (and the root's g++, cmake)
#   tools/sid_root.sh arm64-headers OUT   the aarch64 headers of each version, from
#                                         Debian's libpython3.X-dev:arm64, into OUT/
#
# `run` sees the repository at the same absolute path as here, so venvs made
# inside (.venv/3.14) and CMake's build trees stay valid there. Each run has a
# mount namespace of its own: /dev, /proc, a fresh /tmp (tmpfs), this machine's
# resolv.conf and CA bundle are mounted for the run only and nothing stays
# mounted after it. The environment inside is a clean one: PATH, HOME=/root,
# LANG, TERM, CI and the VANDREL_, PYTEST_, HYPOTHESIS_ and a few PYTHON*
# variables; no pip settings of this machine but the CA bundle (PIP_CERT), so
# pip inside reaches PyPI only. `make ... PYTHON=3.14` goes through here (see
# the Makefile). setup, run and arm64-headers need root (debootstrap, chroot).
set -euo pipefail
CALLER=$PWD
cd "$(dirname "$0")/.."
REPO=$PWD
VERSIONS=(3.14 3.15)
PACKAGES=(g++ make cmake git ca-certificates)
for v in "${VERSIONS[@]}"; do PACKAGES+=("python$v" "python$v-dev" "python$v-venv"); done
SUITE=sid
MIRROR=http://deb.debian.org/debian
DEBIAN=$REPO/.venv/debian
ROOT=$DEBIAN/$SUITE-amd64
STAMP=etc/vandrel-packages  # in the root: the package list it was made with
LOG=$ROOT.log
say() { printf 'sid: %s\n' "$*" >&2; }
fail() { printf 'sid: FAILED: %s\n' "$*" >&2; exit 1; }
need_root() { [ "$(id -u)" = 0 ] || fail "$1 needs root (debootstrap, chroot, mount)"; }
ready() { [ -f "$ROOT/$STAMP" ] && [ "$(cat "$ROOT/$STAMP")" = "${PACKAGES[*]}" ]; }

# The CA bundle this machine's pip and Python trust.
host_ca() {
  local ca=${PIP_CERT:-${SSL_CERT_FILE:-}}
  [ -n "$ca" ] || ca=$(python3 -c 'import ssl; print(ssl.get_default_verify_paths().cafile or "")' 2>/dev/null || true)
  [ -f "$ca" ] && printf '%s\n' "$ca"
  return 0
}

# in_root ROOT REPO CA CWD CMD...: CMD in ROOT, in a private mount namespace,
# with a clean environment. REPO (when not empty) is mounted at its own path and
# CA over the root's CA bundle.
in_root() {
  local root=$1 repo=$2 ca=$3 cwd=$4; shift 4
  local env=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
             DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1)
  [ -z "$ca" ] || env+=(PIP_CERT=/etc/ssl/certs/ca-certificates.crt SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt)
  local name
  while IFS= read -r name; do
    case $name in
      VANDREL_* | PYTEST_* | HYPOTHESIS_* | CI | TERM | PIP_DEFAULT_TIMEOUT | CMAKE_BUILD_PARALLEL_LEVEL | \
      PYTHONDONTWRITEBYTECODE | PYTHONUNBUFFERED | PYTHONHASHSEED | PYTHONMALLOC | PYTHONFAULTHANDLER | \
      PYTHONWARNINGS | PYTHONDEVMODE) env+=("$name=${!name}") ;;
    esac
  done < <(compgen -e)
  # shellcheck disable=SC2016  # expanded by the inner shell
  unshare --mount --propagation private /bin/bash -c '
    set -e
    root=$1 repo=$2 ca=$3; shift 3
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
    if [ -n "$repo" ]; then mkdir -p "$root$repo" && mount --bind "$repo" "$root$repo"; fi
    if [ -L "$root/etc/resolv.conf" ] || [ ! -e "$root/etc/resolv.conf" ]; then
      rm -f "$root/etc/resolv.conf" && : >"$root/etc/resolv.conf"
    fi
    mount --bind -o ro /etc/resolv.conf "$root/etc/resolv.conf"
    [ -z "$ca" ] || mount --bind -o ro "$ca" "$root/etc/ssl/certs/ca-certificates.crt"
    exec chroot "$root" "$@"' \
    bash "$root" "$repo" "$ca" /usr/bin/env -i "${env[@]}" /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$cwd" "$@"
}

# The packages, installed by apt inside the root (the names checked first).
install_packages() {
  local root=$1
  # sid's Release file is valid for a week: a mirror or snapshot that lags
  # behind would be refused without this
  printf 'Acquire::Check-Valid-Until "false";\n' >"$root/etc/apt/apt.conf.d/99valid-until"
  # shellcheck disable=SC2016
  in_root "$root" "" "" / /bin/bash -c '
    set -euo pipefail
    apt-get update -q
    missing=()
    for p in "$@"; do apt-cache show --no-all-versions "$p" >/dev/null 2>&1 || missing+=("$p"); done
    [ ${#missing[@]} -eq 0 ] || { echo "not in the archive: ${missing[*]}"; exit 1; }
    apt-get install -y -q --no-install-recommends "$@"
    apt-get clean' sh "${PACKAGES[@]}" || return 1
  printf '%s\n' "${PACKAGES[*]}" >"$root/$STAMP"
}

setup() {
  need_root setup
  mkdir -p "$DEBIAN"
  exec 9>"$DEBIAN/.lock"  # one apt-get (here or in tools/debian_check.sh) at a time
  flock 9
  if ready; then say "the root is ready: ${ROOT#"$REPO"/}"; return 0; fi
  local start=$SECONDS
  if ! command -v debootstrap >/dev/null; then
    say "installing debootstrap (apt-get)"
    apt-get update -qq || fail "apt-get update"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null || fail "apt-get install debootstrap"
  fi
  : >"$LOG"
  if [ -d "$ROOT" ]; then
    # made with another package list: brought up to this one in place
    say "adding packages to ${ROOT#"$REPO"/} (log: ${LOG#"$REPO"/})"
    install_packages "$ROOT" >>"$LOG" 2>&1 || { tail -n 30 "$LOG" >&2; fail "apt-get install in ${ROOT#"$REPO"/}"; }
  else
    local new=$ROOT.new
    say "making a Debian $SUITE amd64 root with CPython ${VERSIONS[*]} (debootstrap, once; log: ${LOG#"$REPO"/})"
    rm -rf "$new"
    debootstrap --arch=amd64 --variant=minbase "$SUITE" "$new" "$MIRROR" >>"$LOG" 2>&1 \
      || { tail -n 30 "$LOG" >&2; fail "debootstrap $SUITE"; }
    install_packages "$new" >>"$LOG" 2>&1 || { tail -n 30 "$LOG" >&2; fail "apt-get install in the new root"; }
    mv "$new" "$ROOT"
  fi
  say "the root is ready in $(( SECONDS - start ))s: ${ROOT#"$REPO"/}"
  versions
}

run() {
  need_root run
  [ $# -gt 0 ] || fail "run: no command"
  ready || fail "no Debian $SUITE root in ${ROOT#"$REPO"/} (tools/sid_root.sh setup makes it)"
  local cwd=$CALLER  # the caller's folder when it lies in the repository
  case $cwd/ in "$REPO"/*) ;; *) cwd=$REPO ;; esac
  in_root "$ROOT" "$REPO" "$(host_ca)" "$cwd" "$@"
}

pythons() {
  ready || return 0
  local v
  for v in "${VERSIONS[@]}"; do [ -x "$ROOT/usr/bin/python$v" ] && printf '%s\n' "$ROOT/usr/bin/python$v"; done
  return 0
}

versions() {
  # shellcheck disable=SC2016
  run /bin/sh -c 'for v in "$@"; do printf "%s: " "python$v"; "python$v" -c "import sys; print(sys.version.split()[0])"; \
    dpkg-query -W -f "  (Debian \${Package} \${Version})\n" "python$v"; done
    g++ --version | head -n 1; cmake --version | head -n 1' sh "${VERSIONS[@]}"
}

# Debian puts pyconfig.h in a folder of each architecture (multiarch):
# /usr/include/python3.X/pyconfig.h only includes
# <aarch64-linux-gnu/python3.X/pyconfig.h> on arm64, which libpython3.X-dev:arm64
# holds. Fetched by apt-get download (arm64 added to the root's dpkg) and unpacked
# by dpkg-deb; OUT/python3.X is then the include folder of 3.X on aarch64, with
# the arm64 pyconfig.h in place of the multiarch one.
arm64_headers() {
  need_root arm64-headers
  [ $# -eq 1 ] || fail "arm64-headers OUT"
  local out
  out=$(mkdir -p "$1" && cd "$1" && pwd)
  case $out/ in "$REPO"/*) ;; *) fail "arm64-headers: OUT must lie in the repository (it is written from inside the root)" ;; esac
  ready || fail "no Debian $SUITE root in ${ROOT#"$REPO"/} (tools/sid_root.sh setup makes it)"
  local pkgs=() v
  for v in "${VERSIONS[@]}"; do pkgs+=("libpython$v-dev:arm64"); done
  # shellcheck disable=SC2016
  in_root "$ROOT" "$REPO" "$(host_ca)" "$out" /bin/bash -c '
    set -euo pipefail
    out=$1; shift
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then dpkg --add-architecture arm64; fi
    apt-get update -q >/dev/null
    tmp=$(mktemp -d)
    (cd "$tmp" && apt-get download -q -o APT::Sandbox::User=root "$@" >/dev/null)
    for deb in "$tmp"/*.deb; do
      v=$(dpkg-deb -f "$deb" Package); v=${v#libpython}; v=${v%-dev}
      rm -rf "$out/deb-$v" "$out/python$v"
      dpkg-deb -x "$deb" "$out/deb-$v"
      cp -r "$out/deb-$v/usr/include/python$v" "$out/python$v"
      cp "$out/deb-$v/usr/include/aarch64-linux-gnu/python$v/pyconfig.h" "$out/python$v/pyconfig.h"
      rm -rf "$out/deb-$v"
      echo "sid: $out/python$v: the headers of $(dpkg-deb -W --showformat "\${Package} \${Version}" "$deb")"
    done' sh "$out" "${pkgs[@]}"
}

cmd=${1:-setup}
[ $# -eq 0 ] || shift
case $cmd in
  setup) setup ;;
  run) run "$@" ;;
  pythons) pythons ;;
  versions) need_root versions; versions ;;
  arm64-headers) arm64_headers "$@" ;;
  *) fail "unknown command $cmd (setup, run, pythons, versions, arm64-headers)" ;;
esac
