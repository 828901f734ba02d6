"""Run by tools/build_wheels.sh: the headers of one CPython for a zig build.

    python cross_headers.py [--from INCLUDE] ARCH OUT ZIG_CC...

Copies an include folder of CPython to OUT: INCLUDE (the headers of a version
this machine runs no interpreter of), else that of the CPython running this
script. The headers are the same on every architecture but for pyconfig.h,
which the configure script wrote for one machine. Debian's pyconfig.h
(multiarch) only includes <TRIPLET/python3.X/pyconfig.h>: it is replaced by
that file of the target (TRIPLET is ARCH-linux-gnu), found beside INCLUDE
(/usr/include/x86_64-linux-gnu/python3.X/pyconfig.h for
/usr/include/python3.X), or by the host's for another ARCH when the target's
is not there. A pyconfig.h written for an x86 machine loses, for another ARCH,
its x86-only features (the x87 and x86-64 inline assembly); every target loses
<crypt.h>, which zig does not ship. Then zig compiles, for the target, one
file that includes Python.h and asserts every size and alignment pyconfig.h
states (SIZEOF_LONG, ALIGNOF_SIZE_T, ...) and its byte order: a header that
does not describe the target stops the build here.
"""
import argparse
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

parser = argparse.ArgumentParser()
parser.add_argument("--from", dest="source", type=Path, default=Path(sysconfig.get_paths()["include"]))
parser.add_argument("arch")
parser.add_argument("out", type=Path)
parser.add_argument("zig_cc", nargs="+")
args = parser.parse_args()
arch, out, source, zig_cc = args.arch, args.out, args.source, args.zig_cc
X86_ONLY = ("HAVE_GCC_ASM_FOR_X87", "HAVE_GCC_ASM_FOR_X64")
TYPES = {"VOID_P": "void *", "LONG_LONG": "long long", "LONG_DOUBLE": "long double", "_BOOL": "_Bool",
         "MAX_ALIGN_T": "max_align_t"}

if not (source / "Python.h").is_file():
    sys.exit(f"{source}: no Python.h, not an include folder of CPython")
if out.exists():
    shutil.rmtree(out)
shutil.copytree(source, out)
pyconfig = out / "pyconfig.h"
text = pyconfig.read_text()
notes = []

# Debian's multiarch stub: a chain of #if defined(__x86_64__) ... #include <...>
included = re.findall(r"^#\s*include\s*<([\w.-]+)/" + re.escape(source.name) + r"/pyconfig\.h>", text, re.M)
if included:
    for triplet in dict.fromkeys([f"{arch}-linux-gnu", f"{platform.machine()}-linux-gnu"]):
        real = source.parent / triplet / source.name / "pyconfig.h"
        if triplet in included and real.is_file():
            break
    else:
        sys.exit(f"{source}/pyconfig.h includes <{arch}-linux-gnu/{source.name}/pyconfig.h>, "
                 f"which is not in {source.parent}")
    text = real.read_text()
    notes.append(f"pyconfig.h of {triplet}")
# Python.h of early 3.9 releases (Debian 11's 3.9.2) includes <crypt.h> when the
# configured machine has it; zig's libc has no such header, and the module needs none.
text += "\n/* zig ships no <crypt.h> (tools/cross_headers.py) */\n#undef HAVE_CRYPT_H\n"
x86 = [name for name in X86_ONLY if re.search(rf"^#define {name}\b", text, re.M)]
if x86 and arch not in ("x86_64", "i686"):
    text += f"/* {arch}: the x86-only features of the configured machine taken out */\n"
    text += "".join(f"#undef {name}\n" for name in x86)
    notes.append("x86-only features taken out")
pyconfig.write_text(text)

checks = []
for what, name, value in re.findall(r"^#define (SIZEOF|ALIGNOF)_(\w+) (\d+)\s*$", text, re.M):
    ctype = TYPES.get(name, name.lower())
    op = "sizeof" if what == "SIZEOF" else "_Alignof"
    checks.append(f'_Static_assert({op}({ctype}) == {value}, "{what}_{name} is {value}");')
if not checks:
    sys.exit(f"{pyconfig} states no size: not a pyconfig.h of the configure script")
big = re.search(r"^#define WORDS_BIGENDIAN", text, re.M) is not None
checks.append(f'_Static_assert((__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) == {int(big)}, "byte order");')
probe = out.parent / f"{out.name}-check.c"
probe.write_text("#define PY_SSIZE_T_CLEAN\n#include <Python.h>\n#include <stddef.h>\n#include <stdio.h>\n#include <stdint.h>\n"
                 "#include <time.h>\n#include <wchar.h>\n#include <pthread.h>\n#include <sys/types.h>\n"
                 + "\n".join(checks) + "\n")
run = subprocess.run([*zig_cc, "-std=c11", "-c", "-o", str(probe.with_suffix(".o")), f"-I{out}", str(probe)],
                     capture_output=True, text=True)
if run.returncode != 0:
    sys.exit(f"{pyconfig} does not describe {arch}:\n{run.stderr}")
print(f"{len(checks) - 1} sizes and alignments of pyconfig.h and the byte order hold for {arch}"
      + "".join(f"; {n}" for n in notes))
