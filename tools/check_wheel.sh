#!/usr/bin/env bash
# Builds the wheel, checks its metadata and contents, installs it into a fresh
# venv with the pinned dependencies, imports and samples both models there, and
# type-checks examples/demo.py against the installed package.
#
#   PYTHON  base CPython 3.9 interpreter for the fresh venv (default: tools/find-python)
#   VPY     interpreter that builds the wheel: has scikit-build-core (default: .venv/bin/python)
#
# Exits non-zero on the first failed check.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHON=${PYTHON:-$(tools/find-python)}
VPY=${VPY:-.venv/bin/python}
case $VPY in /*) ;; *) VPY=$ROOT/$VPY ;; esac

TMP=$(mktemp -d "${TMPDIR:-/tmp}/wheel-check.XXXXXX")
trap 'rm -rf "$TMP"' EXIT

say() { printf 'wheel-check: %s\n' "$*"; }
fail() { printf 'wheel-check: FAILED: %s\n' "$*" >&2; exit 1; }
# Runs a step quietly; on failure shows its output and stops.
quiet() {
  local what=$1; shift
  if ! "$@" >"$TMP/step.log" 2>&1; then
    cat "$TMP/step.log" >&2
    fail "$what"
  fi
}

# ---- 1. build ------------------------------------------------------------------
# A build directory of its own, so the check builds from scratch and never
# touches build/ of `make install`.
say "building the wheel with $VPY"
quiet "pip wheel" "$VPY" -m pip wheel --disable-pip-version-check --no-build-isolation --no-deps \
  -w "$TMP/dist" --config-settings=build-dir="$TMP/build" .
shopt -s nullglob
wheels=("$TMP"/dist/*.whl)
[ ${#wheels[@]} -eq 1 ] || fail "expected one wheel, found ${#wheels[@]}"
WHEEL=${wheels[0]}
say "built $(basename "$WHEEL")"

# ---- 2. metadata and contents ----------------------------------------------------
"$VPY" - "$WHEEL" "$ROOT" <<'EOF' || fail "metadata or contents"
import email.parser
import pathlib
import re
import sys
import zipfile

import tomli
from packaging.requirements import Requirement
from packaging.specifiers import SpecifierSet
from packaging.utils import canonicalize_name

wheel, root = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
project = tomli.loads((root / "pyproject.toml").read_text())["project"]
errors = []


def check(ok, what):
    print(f"wheel-check:   {'ok  ' if ok else 'FAIL'} {what}")
    if not ok:
        errors.append(what)


# File name: distribution, version and the CPython 3.9 tag.
m = re.fullmatch(r"(?P<dist>[^-]+)-(?P<ver>[^-]+)-(?P<tag>cp39-cp39-linux_\w+)\.whl", wheel.name)
check(m is not None, f"file name carries the cp39-cp39-linux tag ({wheel.name})")

with zipfile.ZipFile(wheel) as z:
    names = set(z.namelist())
    dist_info = f"{project['name'].replace('-', '_')}-{project['version']}.dist-info"
    meta = email.parser.Parser().parsestr(z.read(f"{dist_info}/METADATA").decode())
    wheel_info = email.parser.Parser().parsestr(z.read(f"{dist_info}/WHEEL").decode())
    stub = z.read("vandrel/model/models/string.pyi").decode() if "vandrel/model/models/string.pyi" in names else None

# Metadata.
check(canonicalize_name(meta["Name"]) == canonicalize_name(project["name"]), f"Name {meta['Name']}")
check(meta["Version"] == project["version"], f"Version {meta['Version']}")
check(meta["License"] == project["license"]["text"], f"License {meta['License']}")
rp = SpecifierSet(meta["Requires-Python"] or "")
check(rp == SpecifierSet(project["requires-python"]) and "3.9.0" in rp and "3.9.99" in rp
      and "3.10.0" not in rp and "3.8.18" not in rp, f"Requires-Python {rp} admits 3.9 only")
check(wheel_info["Root-Is-Purelib"] == "false", "Root-Is-Purelib false (platform wheel)")

runtime = {}
for line in meta.get_all("Requires-Dist") or []:
    r = Requirement(line)
    if r.marker is None:
        runtime[canonicalize_name(r.name)] = r.specifier
declared = {canonicalize_name(Requirement(d).name): Requirement(d).specifier for d in project["dependencies"]}
check(runtime == declared, "Requires-Dist: " + ", ".join(f"{k}{v}" for k, v in sorted(runtime.items())))
pins = {}
for line in (root / "requirements.txt").read_text().splitlines():
    line = line.split("#")[0].strip()
    if "==" in line:
        name, version = line.split("==")
        pins[canonicalize_name(name)] = version.strip()
for name in ("numpy", "pandas", "rstr"):
    allowed = runtime.get(name)
    check(allowed is not None and pins.get(name) in allowed,
          f"{name} range {allowed} admits the pinned {pins.get(name)} of requirements.txt")

# Contents.
so = [n for n in names if re.fullmatch(r"vandrel/model/models/string\.cpython-39-[\w-]+\.so", n)]
check(len(so) == 1, f"extension module {so[0] if so else '(missing)'}")
check(stub is not None and "class FormattedStringModel(" in stub and "class SequentialFormattedString(" in stub,
      "stub vandrel/model/models/string.pyi")
src_stub = (root / "src/vandrel/model/models/string.pyi").read_text()
check(stub == src_stub, "stub identical to the source tree's")
check("vandrel/py.typed" in names, "marker vandrel/py.typed")
host = sorted(p.relative_to(root / "src").as_posix() for p in (root / "src/vandrel").rglob("*.py"))
missing = [h for h in host if h not in names]
check(not missing, f"{len(host)} Python modules of the package" + (f", missing {missing}" if missing else ""))
bad = sorted(n for n in names if n.endswith((".cpp", ".hpp", ".pyc")) or "__pycache__" in n)
check(not bad, "no C++ sources or bytecode" + (f": {bad}" if bad else ""))
outside = sorted(n for n in names if not (n.startswith("vandrel/") or n.startswith(dist_info + "/")))
check(not outside, "nothing outside vandrel/ and the dist-info" + (f": {outside}" if outside else ""))

sys.exit(1 if errors else 0)
EOF

# ---- 3. fresh venv -------------------------------------------------------------
VENV=$TMP/venv
say "creating a fresh venv with $PYTHON"
quiet "venv" "$PYTHON" -m venv "$VENV"
grep -E '^(numpy|pandas|rstr)==' requirements.txt >"$TMP/pins.txt"
say "installing the wheel with $(tr '\n' ' ' <"$TMP/pins.txt")"
quiet "pip install" "$VENV/bin/python" -m pip install --disable-pip-version-check -q "$WHEEL" -r "$TMP/pins.txt"
quiet "pip check" "$VENV/bin/python" -m pip check
say "  ok   pip check: dependencies consistent"

# ---- 4. import and sample (outside the source tree) ------------------------------
mkdir "$TMP/run"
cd "$TMP/run"
"$VENV/bin/python" - "$VENV" <<'EOF' || fail "import and sample"
import random
import re
import sys
from pathlib import Path

import numpy as np

from vandrel.metadata.value import FormattedString, String
from vandrel.model.exceptions import ModelNotFittedError
import vandrel.model.models.string as mod
from vandrel.model.models.string import FormattedStringModel, SequentialFormattedString

venv = Path(sys.argv[1]).resolve()
assert venv in Path(mod.__file__).resolve().parents, f"imported from {mod.__file__}"
print(f"wheel-check:   ok   imported {mod.__name__} from the fresh venv")

random.seed(1)
np.random.seed(1)
codes = FormattedStringModel(FormattedString("code", nan_freq=0.5, pattern=r"[A-Z]{3}-\d{4}"))
frame = codes.sample(200, produce_nans=False)
assert list(frame.columns) == ["code"] and len(frame) == 200
assert all(re.fullmatch(r"[A-Z]{3}-\d{4}", v) for v in frame["code"])
with_nans = codes.sample(200)
assert 0 < with_nans["code"].isna().sum() < 200
restored = FormattedStringModel.from_dict({"meta": {"name": "pc", "pattern": r"\d{2}"}})
assert restored.pattern == r"\d{2}" and len(restored.sample(3)) == 3
try:
    FormattedStringModel(FormattedString("x")).pattern
except ModelNotFittedError:
    pass
else:
    raise AssertionError("pattern without a pattern did not raise")
print("wheel-check:   ok   FormattedStringModel samples, injects NaN, restores from a dict")

ids = SequentialFormattedString(String("id", nan_freq=0.5), length=4, prefix="C-", suffix="/x")
assert ids.sample(3, produce_nans=False)["id"].tolist() == ["C-0000/x", "C-0001/x", "C-0002/x"]
assert 0 < ids.sample(200)["id"].isna().sum() < 200
again = SequentialFormattedString.from_dict({"meta": {"name": "id"}, "prefix": "C-", "length": 4})
assert again.sample(2)["id"].tolist() == ["C-0000", "C-0001"]
try:
    ids.sample(True)
except TypeError as e:
    assert str(e) == "Argument 'n' has incorrect type (expected int, got bool)", e
else:
    raise AssertionError("sample(True) did not raise")
print("wheel-check:   ok   SequentialFormattedString samples, injects NaN, restores from a dict")
EOF
quiet "examples/demo.py in the fresh venv" "$VENV/bin/python" "$ROOT/examples/demo.py"
say "  ok   examples/demo.py runs in the fresh venv"

# ---- 5. type check against the installed package ---------------------------------
if "$VENV/bin/python" -m pip install --disable-pip-version-check -q -r "$ROOT/requirements-dev.txt" \
    >"$TMP/dev.log" 2>&1; then
  mkdir "$TMP/typecheck"
  cp "$ROOT/examples/demo.py" "$TMP/typecheck/demo.py"
  cd "$TMP/typecheck"
  quiet "mypy --strict examples/demo.py" "$VENV/bin/python" -m mypy --strict --no-incremental demo.py
  say "  ok   mypy --strict examples/demo.py against the installed stub ($(tail -n1 "$TMP/step.log"))"
else
  say "  skip mypy: requirements-dev.txt could not be installed"
fi

say "all checks passed"
