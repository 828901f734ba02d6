#!/usr/bin/env bash
# Run by tools/check_wheel.sh: one cp39 wheel where a user of Debian 11 runs it.
#
#   tools/debian_check.sh ARCH WHEEL [PYTEST_ARGS...]
#
# A Debian 11 (bullseye) root of that architecture made by debootstrap
# (minbase, Debian's python3 and python3-venv, no compiler), kept under
# .venv/debian/ for the next run; an aarch64 root runs under qemu-user through
# binfmt_misc. Inside, with none of this machine's environment or pip settings
# (only its CA bundle): a fresh venv of Debian's CPython 3.9, Debian's pip
# installs the stand-in of the host package (host/, as a wheel built here),
# then the wheel (never an sdist) with its dependencies and the pinned pytest
# and hypothesis, then pip check, tools/wheel_smoke.py, examples/demo.py and
# the test suite (tests/, PYTEST_ARGS).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
arch=$1 wheel=$2; shift 2
declare -A DEB=([x86_64]=amd64 [aarch64]=arm64)
deb=${DEB[$arch]}
source tools/wheel_check_lib.sh  # say, fail, quiet
[ "$(id -u)" = 0 ] || fail "Debian 11 roots need root (debootstrap, chroot)"

# ---- the tools: Debian's packages, installed when missing ---------------------------
mkdir -p "$ROOT/.venv/debian"
exec 9>"$ROOT/.venv/debian/.lock"  # the two checks run side by side: one apt-get at a time
flock 9
need=()
command -v debootstrap >/dev/null || need+=(debootstrap)
if [ "$arch" != "$(uname -m)" ]; then
  [ -x "/usr/bin/qemu-$arch-static" ] || need+=(qemu-user-static)
  command -v update-binfmts >/dev/null || need+=(binfmt-support)
fi
if [ ${#need[@]} -gt 0 ]; then
  say "installing ${need[*]} (apt-get)"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null \
    || fail "apt-get install ${need[*]}"
fi
if [ "$arch" != "$(uname -m)" ] && [ ! -e "/proc/sys/fs/binfmt_misc/qemu-$arch" ]; then
  [ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  update-binfmts --enable "qemu-$arch" || fail "binfmt_misc for qemu-$arch"
fi
flock -u 9

# ---- the root, made once -----------------------------------------------------------------
root=$ROOT/.venv/debian/bullseye-$deb
if [ ! -x "$root/usr/bin/python3" ]; then
  say "making a Debian 11 $deb root (debootstrap, once; kept in ${root#"$ROOT"/})"
  rm -rf "$root.new" && mkdir -p "$(dirname "$root")"
  debootstrap --arch="$deb" --variant=minbase --include=python3,python3-venv bullseye "$root.new" \
    >"$root.log" 2>&1 || { tail -n 20 "$root.log" >&2; fail "debootstrap bullseye $deb"; }
  rm -rf "$root" && mv "$root.new" "$root"
fi
for cc in cc gcc g++ c++ clang; do
  [ ! -e "$root/usr/bin/$cc" ] || fail "the Debian 11 root has a compiler ($cc)"
done

# ---- what the run needs, copied in afresh --------------------------------------------------
work=$root/tmp/wheel-check
rm -rf "$work" && mkdir -p "$work"
cp "$wheel" "$work/"
"$(tools/find-python)" -m pip wheel --disable-pip-version-check -q --no-deps -w "$work" ./host \
  || fail "the wheel of the stand-in host"
host_wheel=$(cd "$work" && ls vandrel_host_standin-*.whl)
cp -r tests "$work/tests"
cp tools/wheel_smoke.py examples/demo.py "$work/"
# the stub of the sources, which a test compares, and the table of source lines the tests read
mkdir -p "$work/src/vandrel/model/models/frame"
cp src/vandrel/model/models/string.pyi "$work/src/vandrel/model/models/"
cp src/vandrel/model/models/frame/lines.hpp "$work/src/vandrel/model/models/frame/"
find "$work/tests" -name __pycache__ -prune -exec rm -rf {} +
ca=${PIP_CERT:-${SSL_CERT_FILE:-$(python3 -c 'import ssl; print(ssl.get_default_verify_paths().cafile or "")')}}
[ -f "$ca" ] && cp "$ca" "$work/ca.crt"
cp /etc/resolv.conf "$root/etc/resolv.conf"
pins=$(grep -E '^(pytest|hypothesis)==' requirements.txt | tr '\n' ' ')

cat >"$work/run.sh" <<SCRIPT
set -euo pipefail
cd /tmp/wheel-check
python3 -m venv venv
venv/bin/python -m pip install -q --only-binary :all: ./$host_wheel
venv/bin/python -m pip install -q --only-binary :all: ./$(basename "$wheel") $pins
venv/bin/python -m pip check
venv/bin/python -c 'import platform, sys, numpy, pandas; print("wheel-check: Debian 11", platform.machine() + ":", "CPython", sys.version.split()[0] + ", pip", __import__("pip").__version__ + ", numpy", numpy.__version__ + ", pandas", pandas.__version__)'
venv/bin/python wheel_smoke.py /tmp/wheel-check/venv
venv/bin/python demo.py >/dev/null && echo "wheel-check:   ok   examples/demo.py"
cd tests
if ../venv/bin/python -m pytest -q -p no:cacheprovider -rfE $* >../pytest.log 2>&1; then
  tail -n 1 ../pytest.log
else
  tail -n 80 ../pytest.log; exit 1
fi
SCRIPT
env_ca=()
[ -f "$work/ca.crt" ] && env_ca=(PIP_CERT=/tmp/wheel-check/ca.crt)
# A mount namespace of its own: /dev and /proc are mounted in the root for the run only.
unshare --mount --propagation private sh -c '
  mount --rbind /dev "$1/dev" && mount -t proc proc "$1/proc" && shift && exec chroot "$@"' \
  sh "$root" "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
  "${env_ca[@]}" PIP_DISABLE_PIP_VERSION_CHECK=1 /bin/bash /tmp/wheel-check/run.sh \
  || fail "$(basename "$wheel") on Debian 11 $deb"
