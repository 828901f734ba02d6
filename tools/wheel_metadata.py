"""Run by tools/check_wheel.sh: what no packaging tool checks of our wheels.

Each wheel: its tag is its own CPython's on manylinux2014 (manylinux_2_17) for
x86_64 or aarch64, named alike in its WHEEL file, for a version the project's
classifiers name; every file matches its RECORD entry; the extension module
inside is built for that CPython and that architecture (its suffix and its ELF
machine) and defines one dynamic symbol, PyInit_string (read with pyelftools,
auditwheel's ELF reader); Requires-Python is pyproject.toml's and admits 3.9
and later; Requires-Dist is what pyproject.toml declares and admits the pins of
requirements.txt for that version; beside its dist-info the wheel holds the
module, the stub as in the sources and the Python files and py.typed of
src/vandrel if any (none: the host's package is never the wheel's, host/
stands in for it), no sources or bytecode.
"""
import base64
import email.parser
import hashlib
import io
import pathlib
import re
import sys
import zipfile

import tomli
from elftools.elf.elffile import ELFFile
from packaging.markers import Marker
from packaging.requirements import Requirement
from packaging.specifiers import SpecifierSet
from packaging.utils import canonicalize_name

root = pathlib.Path(sys.argv[1])
wheels = [pathlib.Path(p) for p in sys.argv[2:]]
project = tomli.loads((root / "pyproject.toml").read_text())["project"]
STUB = "vandrel/model/models/string.pyi"
src_stub = (root / "src" / STUB).read_text()
# what src/vandrel holds for the wheel besides the module and the stub (nothing
# once the host's stand-in lives in host/)
others = {p.relative_to(root / "src").as_posix() for p in (root / "src/vandrel").rglob("*")
          if p.is_file() and (p.suffix == ".py" or p.name == "py.typed")}
classified = {c.rsplit(" :: ", 1)[1] for c in project["classifiers"]
              if c.startswith("Programming Language :: Python :: 3.")}
errors = []


def check(ok, what):
    print(f"wheel-check:   {'ok  ' if ok else 'FAIL'} {what}")
    if not ok:
        errors.append(what)


def exported(data):
    """ELF machine and the names of the dynamic symbols the object defines."""
    elf = ELFFile(io.BytesIO(data))
    syms = elf.get_section_by_name(".dynsym").iter_symbols()
    return elf["e_machine"], sorted(s.name for s in syms if s.name and s["st_shndx"] != "SHN_UNDEF"
                                    and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK", "STB_GNU_UNIQUE"))


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
    m = re.fullmatch(r"[^-]+-[^-]+-cp3(\d+)-cp3\1-manylinux2014_(x86_64|aarch64)\.manylinux_2_17_\2\.whl",
                     wheel.name)
    check(m is not None, f"{wheel.name}: a CPython tag and manylinux2014 (manylinux_2_17)")
    if m is None:
        continue
    minor, arch = m.group(1), m.group(2)
    version = f"3.{minor}"
    tag = f"cp3{minor}"
    check(version in classified, f"  CPython {version} among the classifiers ({', '.join(sorted(classified, key=lambda v: int(v[2:])))})")
    with zipfile.ZipFile(wheel) as z:
        names = {n for n in z.namelist() if not n.endswith("/")}
        files = {n: z.read(n) for n in names}
    dist_info = f"{project['name'].replace('-', '_')}-{project['version']}.dist-info"
    meta = email.parser.Parser().parsestr(files[f"{dist_info}/METADATA"].decode())
    tags = sorted(line.split(": ", 1)[1] for line in files[f"{dist_info}/WHEEL"].decode().splitlines()
                  if line.startswith("Tag: "))
    check(tags == [f"{tag}-{tag}-manylinux2014_{arch}", f"{tag}-{tag}-manylinux_2_17_{arch}"],
          f"  WHEEL tags {', '.join(tags)}")
    record = {}
    for line in files[f"{dist_info}/RECORD"].decode().splitlines():
        path, digest, size = line.rsplit(",", 2)
        record[path] = (digest, size)
    bad_record = sorted(n for n in names if n != f"{dist_info}/RECORD" and record.get(n) != (
        "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(files[n]).digest()).rstrip(b"=").decode(),
        str(len(files[n])))) + sorted(set(record) - names)
    check(not bad_record, f"  RECORD: {len(record)} entries, every file's hash and size"
          + (f", not {bad_record}" if bad_record else ""))
    stub = files[STUB].decode() if STUB in names else None
    rp = SpecifierSet(meta["Requires-Python"] or "")
    check(str(rp) == project["requires-python"] and all(f"3.{v}.0" in rp for v in range(9, 17))
          and "3.8.18" not in rp, f"  Requires-Python {rp} (pyproject.toml's) admits 3.9 and later")
    runtime = {canonicalize_name(Requirement(r).name): Requirement(r).specifier
               for r in meta.get_all("Requires-Dist") or [] if Requirement(r).marker is None}
    declared = {canonicalize_name(Requirement(d).name): Requirement(d).specifier for d in project["dependencies"]}
    check(runtime == declared, "  Requires-Dist " + ", ".join(f"{k}{v}" for k, v in sorted(runtime.items())))
    pins = pins_for(version)
    for name in ("numpy", "pandas", "rstr"):
        check(name in runtime and pins.get(name) in runtime[name],
              f"  {name} {runtime.get(name)} admits the pin {pins.get(name)} of CPython {version}")
    so = [n for n in names if re.fullmatch(rf"vandrel/model/models/string\.cpython-3{minor}-{arch}-linux-gnu\.so", n)]
    check(len(so) == 1 and len([n for n in names if n.endswith(".so")]) == 1,
          f"  extension module {so[0] if so else '(missing)'}, the only one")
    if so:
        machine, symbols = exported(files[so[0]])
        check(machine == {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}[arch], f"  ELF machine {machine}")
        check(symbols == ["PyInit_string"], f"  dynamic symbols defined: {', '.join(symbols[:5])}"
              + (f" and {len(symbols) - 5} more" if len(symbols) > 5 else ""))
    check(stub == src_stub, "  stub as in the sources")
    content = {n for n in names if not n.startswith(f"{dist_info}/")}
    expected = set(so[:1]) | {STUB} | others
    check(content == expected, "  beside the dist-info: the module and the stub"
          + (f", {len(others)} files of src/vandrel" if others else ", nothing else")
          + (f"; missing {sorted(expected - content)}" if expected - content else "")
          + (f"; not expected {sorted(content - expected)}" if content - expected else ""))
    bad = sorted(n for n in names if n.endswith((".cpp", ".hpp", ".pyc")) or "__pycache__" in n)
    check(not bad, "  no C++ sources or bytecode" + (f": {bad}" if bad else ""))

sys.exit(1 if errors else 0)
