"""FormattedStringModel.sample: native rows against the xeger calls (`make bench`).

For each pattern and n, rows per second of
  native  - model.sample(n) as shipped (rows made natively when rstr is untouched);
  forced  - the same with the module's `rstr` bound to a stand-in whose xeger is a
            Python function calling rstr.xeger: one real call per row, as before;
  bare    - [rstr.xeger(p) for _ in range(n)], the calls alone (no pandas).
Plus the peak memory growth of one sample of 10^6 rows, native and forced, each
in a fresh interpreter. Prints a Markdown table and writes bench/results/xeger.md.
Timings are reported, never asserted.
"""
import argparse
import gc
import json
import os
import random
import subprocess
import sys
import time
import types

import rstr

from vandrel.metadata.value import FormattedString
from vandrel.model.models import string as native

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")
PATTERNS = [
    r"[A-Z]{3}-\d{4}",
    r"[1-9]\d{3} [A-Z]{2}",
    r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}",
    r"[a-z]{4,9}\.[a-z]{2,8}@(example|mail)\.(com|org)",
]
SIZES = [1, 10, 10**3, 10**5]
MEMORY_N = 10**6


class forced_calls:
    """Binds the module's rstr to a stand-in making one real rstr.xeger call per row."""

    def __enter__(self):
        self.saved = native.rstr
        native.rstr = types.SimpleNamespace(xeger=lambda p: rstr.xeger(p))

    def __exit__(self, *exc):
        native.rstr = self.saved


def pipelines(pattern):
    model = native.FormattedStringModel(FormattedString("c", pattern=pattern))

    def run_native(n):
        return model.sample(n, produce_nans=False)

    def run_forced(n):
        with forced_calls():
            return model.sample(n, produce_nans=False)

    def run_bare(n):
        xeger = rstr.xeger
        return [xeger(pattern) for _ in range(n)]

    return {"native": run_native, "forced": run_forced, "bare": run_bare}


def rows_per_second(fn, n, budget):
    """Best of several timed runs; small n repeated within each run."""
    fn(n)  # warm-up (the native side compiles the pattern here)
    inner = max(1, int(2000 // n))
    best, spent = float("inf"), 0.0
    for _ in range(7):
        gc.collect()
        t0 = time.perf_counter()
        for _ in range(inner):
            fn(n)
        dt = time.perf_counter() - t0
        best, spent = min(best, dt / inner), spent + dt
        if spent > budget:
            break
    return n / best


def memory_child(side, pattern, n):
    fn = pipelines(pattern)[side]
    random.seed(0)
    fn(1000)
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # peak RSS := current RSS

    def kib(key):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith(key + ":"))

    before = kib("VmRSS")
    frame = fn(n)
    assert len(frame) == n
    print(json.dumps({"kib": kib("VmHWM") - before}))


def memory(side, pattern, n):
    out = subprocess.run([sys.executable, __file__, "--memory-child", side, pattern, str(n)],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])["kib"]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="sizes up to 10^3, no memory runs")
    ap.add_argument("--memory-child", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_child:
        side, pattern, n = args.memory_child
        return memory_child(side, pattern, int(n))
    sizes = [n for n in SIZES if not args.quick or n <= 10**3]
    lines = ["| pattern | n | native rows/s | forced rows/s | bare rows/s | native/forced | native/bare |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    print(lines[0] + "\n" + lines[1], flush=True)
    for pattern in PATTERNS:
        fns = pipelines(pattern)
        for n in sizes:
            r = {side: rows_per_second(fn, n, budget=1.0 if n < 10**5 else 3.0) for side, fn in fns.items()}
            line = "| `%s` | %d | %.0f | %.0f | %.0f | %.1fx | %.1fx |" % (
                pattern, n, r["native"], r["forced"], r["bare"], r["native"] / r["forced"], r["native"] / r["bare"])
            lines.append(line)
            print(line, flush=True)
    if not args.quick:
        mem = ["", "Peak memory growth of one sample of %d rows (KiB, fresh interpreter):" % MEMORY_N, "",
               "| pattern | native | forced |", "|---|---:|---:|"]
        print("\n".join(mem), flush=True)
        for pattern in PATTERNS[:2]:
            line = "| `%s` | %d | %d |" % (pattern, memory("native", pattern, MEMORY_N),
                                          memory("forced", pattern, MEMORY_N))
            mem.append(line)
            print(line, flush=True)
        lines += mem
    os.makedirs(RESULTS, exist_ok=True)
    with open(os.path.join(RESULTS, "xeger.md"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
