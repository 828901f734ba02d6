#!/usr/bin/env bash
# The module's wheel installed over a host package and removed again, as on a
# machine with the real host: the host's files stay as they were.
#
#   tools/host_check.sh WHEEL
#
# A fresh venv of the wheel's CPython (tools/find-python) gets the stand-in of
# the host (host/), and the hash of every file under vandrel/ and of the host's
# dist-info is taken. Then the wheel with its dependencies: every one of those
# files is unchanged, the wheel added its extension module and its stub and
# nothing else, and the module imports and samples (tools/wheel_smoke.py). Then
# the wheel is uninstalled: the files are again exactly those the host installed.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
wheel=$(realpath "$1")
source tools/wheel_check_lib.sh  # say, fail, quiet
TMP=$(mktemp -d "${TMPDIR:-/tmp}/host-check.XXXXXX")
trap 'rm -rf "$TMP"' EXIT

tag=$(basename "$wheel" | cut -d- -f3)  # cp313
[[ $tag =~ ^cp3[0-9]+$ ]] || fail "$(basename "$wheel"): not a CPython wheel"
py=$(PYTHON="3.${tag#cp3}" tools/find-python) || fail "no CPython 3.${tag#cp3} for $(basename "$wheel")"
venv=$TMP/venv
pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
quiet "venv" "$py" -m venv "$venv"
quiet "pip install ./host" "${pip[@]}" install "$ROOT/host"

# Hashes of the host's files, then each state compared with them.
cat >"$TMP/state.py" <<'EOF'
"""state.py save FILE | state.py compare FILE ADDED...: the files under vandrel/
and the host's dist-info, by hash; compared, they must be those saved plus ADDED."""
import hashlib, json, sys
from importlib import metadata
from pathlib import Path

host = metadata.distribution("vandrel-host-standin")
site = Path(host.locate_file(""))
dist_info = next(f.parts[0] for f in host.files if f.parts[0].endswith(".dist-info"))
roots = [site / "vandrel", site / dist_info]
now = {p.relative_to(site).as_posix(): hashlib.sha256(p.read_bytes()).hexdigest()
       for r in roots for p in sorted(r.rglob("*")) if p.is_file()}
if sys.argv[1] == "save":
    Path(sys.argv[2]).write_text(json.dumps(now))
    print(f"{len(now)} files")
    sys.exit(0)
saved = json.loads(Path(sys.argv[2]).read_text())
expected_added = set(sys.argv[3:])
changed = sorted(f for f in saved if f in now and now[f] != saved[f])
removed = sorted(f for f in saved if f not in now)
added = {f for f in now if f not in saved}
problems = [f"changed: {changed}"] * bool(changed) + [f"removed: {removed}"] * bool(removed)
if added != expected_added:
    problems.append(f"added {sorted(added)}, expected {sorted(expected_added)}")
print("; ".join(problems) or "ok")
sys.exit(1 if problems else 0)
EOF
say "host stand-in installed: $("$venv/bin/python" "$TMP/state.py" save "$TMP/host.json")"

quiet "pip install $(basename "$wheel")" "${pip[@]}" install "$wheel"
suffix=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
module=(vandrel/model/models/string"$suffix" vandrel/model/models/string.pyi)
quiet "the host's files with the module installed" "$venv/bin/python" "$TMP/state.py" compare "$TMP/host.json" "${module[@]}"
say "  ok   $(basename "$wheel") over the host: no file of the host changed, ${module[*]} added"
mkdir -p "$TMP/run"
(cd "$TMP/run" && "$venv/bin/python" "$ROOT/tools/wheel_smoke.py" "$venv") || fail "import and sample over the host"

quiet "pip uninstall" "${pip[@]}" uninstall -y vandrel-string-models
quiet "the host's files with the module uninstalled" "$venv/bin/python" "$TMP/state.py" compare "$TMP/host.json"
say "  ok   uninstalled: the host's files are as the host installed them"
