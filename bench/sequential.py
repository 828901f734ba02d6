"""SequentialFormattedString.sample: identifiers formatted by the module against
the same call forced through the pandas pipeline (`make bench`).

The pipeline is forced by binding the module's `pd` to a module that forwards
every attribute to pandas, so both sides run the same member on the same model.
Prints rows/s of each side and their ratio at n = 1 .. 10^6, and the growth of
the peak resident set over one call at 10^6 rows (fresh interpreter per side).
Writes bench/results/sequential.md. Timings are reported, never asserted.
"""
import argparse
import gc
import json
import os
import subprocess
import sys
import time
import types
from typing import Callable, Dict, List

import pandas as pd

from vandrel.metadata.value import String
from vandrel.model.models import string as native

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")
SIZES = [1, 10, 10**3, 10**5, 10**6]
MEMORY_N = 10**6
SETTINGS = dict(length=8, prefix="CUST-", suffix="-NL")
GOAL = 5.0  # native rows/s over pipeline rows/s at 10^6 rows
TIMER = time.perf_counter


def forwarding_pandas() -> types.ModuleType:
    fwd = types.ModuleType("forwarding_pandas")
    fwd.__getattr__ = lambda attr: getattr(pd, attr)  # type: ignore[attr-defined]
    return fwd


def sampler(side: str, produce_nans: bool) -> Callable[[int], pd.DataFrame]:
    model = native.SequentialFormattedString(String("customer_id", nan_freq=0.1), **SETTINGS)
    fwd = forwarding_pandas()

    def run(n: int) -> pd.DataFrame:
        native.pd = pd if side == "native" else fwd
        try:
            return model.sample(n, produce_nans=produce_nans)
        finally:
            native.pd = pd
    return run


def repeats_for(n: int, quick: bool) -> int:
    r = 201 if n <= 10**3 else 21 if n <= 10**5 else 7
    return max(3, r // 5) if quick else r


def bench_time(sizes: List[int], quick: bool, produce_nans: bool) -> List[Dict[str, float]]:
    fns = {side: sampler(side, produce_nans) for side in ("native", "pipeline")}
    if not fns["native"](1000).equals(fns["pipeline"](1000)) and not produce_nans:
        raise SystemExit("native and pipeline frames differ")
    rows = []
    for n in sizes:
        best = {"native": float("inf"), "pipeline": float("inf")}
        for r in range(repeats_for(n, quick)):
            for side in (("native", "pipeline") if r % 2 == 0 else ("pipeline", "native")):
                gc.collect()
                t0 = TIMER()
                frame = fns[side](n)
                elapsed = TIMER() - t0
                del frame
                best[side] = min(best[side], elapsed)
        ratio = best["pipeline"] / best["native"]
        rows.append(dict(n=n, native_s=best["native"], pipeline_s=best["pipeline"], ratio=ratio))
        print(f"  n={n:>8d}  native {n / best['native']:>13,.0f} rows/s  pipeline {n / best['pipeline']:>13,.0f} rows/s"
              f"  native x{ratio:5.2f}", flush=True)
    return rows


def proc_status_kib(key: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            name, _, value = line.partition(":")
            if name == key:
                return int(value.split()[0])
    raise KeyError(key)


def memory_child(side: str, n: int) -> None:
    """In a fresh interpreter: growth of the peak RSS (VmHWM, reset just before) over one call."""
    fn = sampler(side, produce_nans=False)
    fn(1000)  # warm-up: lazy imports, pandas caches, the dtype of the options
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = proc_status_kib("VmRSS")
    frame = fn(n)
    after = proc_status_kib("VmHWM")
    assert len(frame) == n
    print(json.dumps({"kib": after - before}))


def bench_memory(n: int) -> Dict[str, float]:
    peak = {}
    for side in ("native", "pipeline"):
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child", side, str(n)],
                             check=True, capture_output=True, text=True).stdout
        peak[side] = json.loads(out.strip().splitlines()[-1])["kib"] / 1024.0
    print(f"  n={n}  native +{peak['native']:.1f} MiB  pipeline +{peak['pipeline']:.1f} MiB", flush=True)
    return peak


def markdown(tables: Dict[str, List[Dict[str, float]]], memory: Dict[str, float]) -> str:
    out = ["## SequentialFormattedString.sample: native formatting against the forced pipeline", "",
           f"Python {sys.version.split()[0]}, pandas {pd.__version__}, settings {SETTINGS}; best of interleaved "
           "wall-clock timings after a collection, per side.", ""]
    for label, rows in tables.items():
        out += [f"{label}:", "", "| n | native rows/s | pipeline rows/s | native/pipeline speed |",
                "|---:|---:|---:|---:|"]
        for r in rows:
            out.append(f"| {r['n']:,} | {r['n'] / r['native_s']:,.0f} | {r['n'] / r['pipeline_s']:,.0f} | "
                       f"{r['ratio']:.2f} |")
        out.append("")
    big = [r for r in tables.get("produce_nans=False", []) if r["n"] == 10**6]
    if big:
        status = "PASS" if big[0]["ratio"] >= GOAL else "MISS"
        out += [f"Goal at 10^6 rows: native at least {GOAL:.0f}x the pipeline's rows/s: "
                f"{big[0]['ratio']:.2f}x, {status}.", ""]
    if memory:
        out += [f"Peak memory growth of one call at {MEMORY_N:,} rows (fresh interpreter per side): native "
                f"{memory['native']:.1f} MiB, pipeline {memory['pipeline']:.1f} MiB "
                f"(native/pipeline {memory['native'] / memory['pipeline']:.2f}).", ""]
    return "\n".join(out)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer repeats, no memory")
    ap.add_argument("--memory-child", nargs=2, metavar=("SIDE", "N"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_child:
        memory_child(args.memory_child[0], int(args.memory_child[1]))
        return
    tables = {}
    for produce_nans in (False, True):
        label = f"produce_nans={produce_nans}"
        print(f"sequential sample, {label}:", flush=True)
        tables[label] = bench_time(SIZES, args.quick, produce_nans)
    memory = {} if args.quick else bench_memory(MEMORY_N)
    md = markdown(tables, memory)
    os.makedirs(RESULTS, exist_ok=True)
    with open(os.path.join(RESULTS, "sequential.md"), "w") as f:
        f.write(md)
    print()
    print(md)


if __name__ == "__main__":
    main()
