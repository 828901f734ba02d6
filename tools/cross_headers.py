"""Run by tools/build_wheels.sh: the headers of one CPython for a zig build.

    python cross_headers.py ARCH OUT ZIG_CC

Copies the include folder of the CPython running this script to OUT. The
headers are the same on every architecture but for pyconfig.h, which the
configure script wrote for the host: for another ARCH its x86-only features (the
x87 and x86-64 inline assembly) are taken out, and for every target <crypt.h>,
which zig does not ship. Then zig compiles, for the target,
one file that includes Python.h and asserts every size and alignment
pyconfig.h states (SIZEOF_LONG, ALIGNOF_SIZE_T, ...) and its byte order: a
header that does not describe the target stops the build here.
"""
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

arch, out, zig_cc = sys.argv[1], Path(sys.argv[2]), sys.argv[3:]
HOST_ONLY = {"x86_64": (), "aarch64": ("HAVE_GCC_ASM_FOR_X87", "HAVE_GCC_ASM_FOR_X64")}
TYPES = {"VOID_P": "void *", "LONG_LONG": "long long", "LONG_DOUBLE": "long double", "_BOOL": "_Bool",
         "MAX_ALIGN_T": "max_align_t"}

if out.exists():
    shutil.rmtree(out)
shutil.copytree(sysconfig.get_paths()["include"], out)
pyconfig = out / "pyconfig.h"
text = pyconfig.read_text()
# Python.h of early 3.9 releases (Debian 11's 3.9.2) includes <crypt.h> when the
# host has it; zig's libc has no such header, and the module needs none.
text += "\n/* zig ships no <crypt.h> (tools/cross_headers.py) */\n#undef HAVE_CRYPT_H\n"
if arch != platform.machine():
    text += f"/* {arch}: the host's x86-only features taken out */\n"
    text += "".join(f"#undef {name}\n" for name in HOST_ONLY[arch])
pyconfig.write_text(text)

checks = []
for what, name, value in re.findall(r"^#define (SIZEOF|ALIGNOF)_(\w+) (\d+)\s*$", text, re.M):
    ctype = TYPES.get(name, name.lower())
    op = "sizeof" if what == "SIZEOF" else "_Alignof"
    checks.append(f'_Static_assert({op}({ctype}) == {value}, "{what}_{name} is {value}");')
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
print(f"{len(checks) - 1} sizes and alignments of pyconfig.h and the byte order hold for {arch}")
