"""Run by tools/check_wheel.sh: what no packaging tool checks of our wheels.

Each wheel: its tag is its own CPython's on a manylinux platform, the extension
module inside is built for that CPython, Requires-Python admits 3.9 to 3.13
only, Requires-Dist is what pyproject.toml declares and admits the pins of
requirements.txt for that version, and the stub, py.typed and the host package
are inside, with no sources or bytecode.
"""
import email.parser
import pathlib
import re
import sys
import zipfile

import tomli
from packaging.markers import Marker
from packaging.requirements import Requirement
from packaging.specifiers import SpecifierSet
from packaging.utils import canonicalize_name

root = pathlib.Path(sys.argv[1])
wheels = [pathlib.Path(p) for p in sys.argv[2:]]
project = tomli.loads((root / "pyproject.toml").read_text())["project"]
src_stub = (root / "src/vandrel/model/models/string.pyi").read_text()
host = sorted(p.relative_to(root / "src").as_posix() for p in (root / "src/vandrel").rglob("*.py"))
errors = []


def check(ok, what):
    print(f"wheel-check:   {'ok  ' if ok else 'FAIL'} {what}")
    if not ok:
        errors.append(what)


def pins_for(version):
    """numpy/pandas/rstr pins of requirements.txt that apply to `version` ("3.9")."""
    pins = {}
    for line in (root / "requirements.txt").read_text().splitlines():
        line = line.split("#")[0].strip()
        if "==" not in line:
            continue
        req = Requirement(line)
        if req.marker is None or req.marker.evaluate({"python_version": version}):
            pins[canonicalize_name(req.name)] = str(req.specifier).lstrip("=")
    return pins


for wheel in wheels:
    m = re.fullmatch(r"[^-]+-[^-]+-cp3(\d+)-cp3\1-(manylinux_\d+_\d+_\w+)\.whl", wheel.name)
    check(m is not None, f"{wheel.name}: a CPython tag and a manylinux platform")
    if m is None:
        continue
    minor = m.group(1)
    version = f"3.{minor}"
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
        dist_info = f"{project['name'].replace('-', '_')}-{project['version']}.dist-info"
        meta = email.parser.Parser().parsestr(z.read(f"{dist_info}/METADATA").decode())
        stub = z.read("vandrel/model/models/string.pyi").decode() if "vandrel/model/models/string.pyi" in names else None
    rp = SpecifierSet(meta["Requires-Python"] or "")
    check(all(f"3.{v}.0" in rp for v in range(9, 14)) and "3.8.18" not in rp and "3.14.0" not in rp,
          f"  Requires-Python {rp} admits 3.9 to 3.13")
    runtime = {canonicalize_name(Requirement(r).name): Requirement(r).specifier
               for r in meta.get_all("Requires-Dist") or [] if Requirement(r).marker is None}
    declared = {canonicalize_name(Requirement(d).name): Requirement(d).specifier for d in project["dependencies"]}
    check(runtime == declared, "  Requires-Dist " + ", ".join(f"{k}{v}" for k, v in sorted(runtime.items())))
    pins = pins_for(version)
    for name in ("numpy", "pandas", "rstr"):
        check(name in runtime and pins.get(name) in runtime[name],
              f"  {name} {runtime.get(name)} admits the pin {pins.get(name)} of CPython {version}")
    so = [n for n in names if re.fullmatch(rf"vandrel/model/models/string\.cpython-3{minor}-[\w-]+\.so", n)]
    check(len(so) == 1, f"  extension module {so[0] if so else '(missing)'}")
    check(stub == src_stub and "vandrel/py.typed" in names, "  stub as in the sources, and py.typed")
    missing = [h for h in host if h not in names]
    check(not missing, f"  {len(host)} Python modules of the package" + (f", missing {missing}" if missing else ""))
    bad = sorted(n for n in names if n.endswith((".cpp", ".hpp", ".pyc")) or "__pycache__" in n)
    check(not bad, "  no C++ sources or bytecode" + (f": {bad}" if bad else ""))

sys.exit(1 if errors else 0)
