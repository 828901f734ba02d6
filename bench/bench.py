"""Benchmarks of the native string models (`make bench`).

1. Call overhead of every member of the native classes against the pure-Python
   classes of bench/pure.py, which take the same steps on the same host stand-in.
2. `sample` of both native models against the bare pandas/rstr calls they are
   made of, at n = 10^3 .. 10^6, plus the peak memory of each at 10^6 rows.
3. The same comparison in instructions executed (valgrind's callgrind), which
   unlike CPU time does not move between runs.

Prints Markdown tables, writes them to bench/results/bench.md and draws
bench/results/sample_time.png. Timings are reported, never asserted.
"""
import argparse
import gc
import json
import os
import platform
import random
import shutil
import subprocess
import sys
import tempfile
import time
import timeit
from typing import Callable, Dict, List, Tuple

import numpy as np
import pandas as pd
import rstr

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")
sys.path.insert(0, HERE)

import pure  # noqa: E402  (bench/pure.py)
from vandrel.metadata.value import FormattedString, String  # noqa: E402
from vandrel.model.models import string as native  # noqa: E402

# rstr.xeger re-parses the pattern on every call, so its cost grows quickly with
# the pattern; this one keeps 10^6 rows at roughly 15 s per run on a 2-core box.
DEFAULT_PATTERN = r"[A-Z]\d"
SIZES = [10**3, 10**4, 10**5, 10**6]
MEMORY_N = 10**6
# Instruction counts: xeger under callgrind runs ~50x slower than natively, so
# FormattedStringModel stops at 10^4 rows.
CALLGRIND_SIZES = {"FormattedStringModel": [10**3, 10**4],
                   "SequentialFormattedString": [10**3, 10**4, 10**5]}
CALLGRIND_RUNS = 2  # each cell measured twice: the two must agree

# Goals: C++ time / Python time (call overhead), module time / bare time (sampling).
GOAL_PROPERTY = 0.70
GOAL_BUILD = 0.85
GOAL_TYPE_ERROR = 0.70
GOAL_SAMPLE = 1.02


# --------------------------------------------------------------------------- models


def metadata(pattern: str) -> Tuple[FormattedString, String]:
    fmeta = FormattedString("code", nan_freq=0.1, categories=["A1", "B2"], pattern=pattern)
    smeta = String("customer_id", nan_freq=0.1, categories=["CUST-00001-NL"])
    return fmeta, smeta


def bare_formatted(pattern: str, name: str) -> Callable[[int], pd.DataFrame]:
    def run(n: int) -> pd.DataFrame:
        return pd.Series([rstr.xeger(pattern) for _ in range(n)], name=name).to_frame()
    return run


def bare_sequential(prefix: str, suffix: str, length: int, name: str) -> Callable[[int], pd.DataFrame]:
    def run(n: int) -> pd.DataFrame:
        return (prefix + pd.Series(np.arange(0, n), name=name, dtype=str).str.zfill(length)
                + suffix).to_frame()
    return run


SEQ_ARGS = dict(length=5, prefix="CUST-", suffix="-NL")

# CPU time of this process rather than wall time: the machine has 2 cores that
# other work shares, and time spent descheduled is not the code's cost.
TIMER = time.process_time


def sample_pipelines(pattern: str) -> Dict[str, Tuple[Callable[[int], pd.DataFrame], Callable[[int], pd.DataFrame]]]:
    """model name -> (native sample, bare pipeline), both with produce_nans=False."""
    fmeta, smeta = metadata(pattern)
    fsm = native.FormattedStringModel(fmeta)
    sfs = native.SequentialFormattedString(smeta, SEQ_ARGS["length"], SEQ_ARGS["prefix"], SEQ_ARGS["suffix"])
    return {
        "FormattedStringModel": (lambda n: fsm.sample(n, produce_nans=False),
                                 bare_formatted(fsm.pattern, fsm.name)),
        "SequentialFormattedString": (lambda n: sfs.sample(n, produce_nans=False),
                                      bare_sequential(SEQ_ARGS["prefix"], SEQ_ARGS["suffix"],
                                                      SEQ_ARGS["length"], sfs.name)),
    }


# ------------------------------------------------------------------ call overhead

CALL_CASES = [
    # (label, statement, goal, goal kind)
    ("FormattedStringModel.categories", "m.categories", GOAL_PROPERTY, "property"),
    ("FormattedStringModel.pattern", "m.pattern", GOAL_PROPERTY, "property"),
    ("SequentialFormattedString.categories", "s.categories", GOAL_PROPERTY, "property"),
    ("FormattedStringModel(meta)", "F(fmeta)", GOAL_BUILD, "construction"),
    ("SequentialFormattedString(meta, 5, 'CUST-', '-NL')", "S(smeta, 5, 'CUST-', '-NL')",
     GOAL_BUILD, "construction"),
    ("FormattedStringModel.from_dict(d)", "F.from_dict(fd)", GOAL_BUILD, "from_dict"),
    ("SequentialFormattedString.from_dict(d)", "S.from_dict(sd)", GOAL_BUILD, "from_dict"),
    ("FormattedStringModel: sample() binding error", "try:\n    m.sample()\nexcept TypeError:\n    pass",
     GOAL_TYPE_ERROR, "TypeError"),
    ("SequentialFormattedString: sample() binding error", "try:\n    s.sample()\nexcept TypeError:\n    pass",
     GOAL_TYPE_ERROR, "TypeError"),
    ("FormattedStringModel: sample(True) type error", "try:\n    m.sample(True)\nexcept TypeError:\n    pass",
     GOAL_TYPE_ERROR, "TypeError"),
    ("SequentialFormattedString: sample(True) type error", "try:\n    s.sample(True)\nexcept TypeError:\n    pass",
     GOAL_TYPE_ERROR, "TypeError"),
]


def call_namespace(mod, pattern: str) -> Dict[str, object]:
    fmeta, smeta = metadata(pattern)
    F, S = mod.FormattedStringModel, mod.SequentialFormattedString
    return {
        "F": F, "S": S, "fmeta": fmeta, "smeta": smeta,
        "m": F(fmeta), "s": S(smeta, 5, "CUST-", "-NL"),
        "fd": {"meta": fmeta.to_dict()},
        "sd": {"meta": smeta.to_dict(), "prefix": "CUST-", "suffix": "-NL", "length": 5},
    }


def check_equivalent(ns_c: Dict[str, object], ns_p: Dict[str, object]) -> None:
    """The statements must succeed (or fail) alike on both sides before they are timed."""
    for label, stmt, _, _ in CALL_CASES:
        outcomes = []
        for ns in (ns_c, ns_p):
            try:
                exec(stmt, dict(ns))
                outcomes.append("ok")
            except Exception as exc:  # noqa: BLE001
                outcomes.append(type(exc).__name__)
        if outcomes[0] != outcomes[1]:
            raise SystemExit(f"{label}: native gives {outcomes[0]}, pure Python {outcomes[1]}")


def bench_calls(pattern: str, repeats: int, target: float) -> List[Dict[str, object]]:
    ns_c = call_namespace(native, pattern)
    ns_p = call_namespace(pure, pattern)
    check_equivalent(ns_c, ns_p)
    rows = []
    for label, stmt, goal, kind in CALL_CASES:
        tc = timeit.Timer(stmt, globals=ns_c, timer=TIMER)
        tp = timeit.Timer(stmt, globals=ns_p, timer=TIMER)
        empty = timeit.Timer("pass", timer=TIMER)
        # Calibrate the loop count on the native side to about `target` seconds:
        # short timings, many of them, so that the minimum finds undisturbed ones.
        number, elapsed = tc.autorange()
        number = max(100, int(number * target / max(elapsed, 1e-9)))
        best_c = best_p = best_e = float("inf")
        for r in range(repeats):
            order = (tc, tp) if r % 2 == 0 else (tp, tc)
            for t in order:
                v = t.timeit(number)
                if t is tc:
                    best_c = min(best_c, v)
                else:
                    best_p = min(best_p, v)
            best_e = min(best_e, empty.timeit(number))
        ns = 1e9 / number
        c, p, e = best_c * ns, best_p * ns, best_e * ns
        c_net, p_net = c - e, p - e
        ratio = c_net / p_net
        rows.append(dict(label=label, kind=kind, cpp_ns=c_net, py_ns=p_net, ratio=ratio, goal=goal,
                         ok=ratio <= goal, number=number, repeats=repeats, loop_ns=e, target=target))
        print(f"  {label:55s} C++ {c_net:8.1f} ns  Python {p_net:8.1f} ns  ratio {ratio:5.2f}"
              f"  goal <= {goal:.2f} {'PASS' if ratio <= goal else 'MISS'}", flush=True)
    return rows


# ----------------------------------------------------------------------- sampling


def sample_plan(model: str, n: int, quick: bool) -> int:
    """Interleaved repeats per side for one (model, n); xeger keeps them few at large n."""
    if model == "FormattedStringModel":
        plan = {10**3: 21, 10**4: 9, 10**5: 5, 10**6: 2}
    else:
        plan = {10**3: 101, 10**4: 51, 10**5: 21, 10**6: 7}
    r = plan[n]
    return max(1, r // 3) if quick else r


def bench_sampling(pattern: str, sizes: List[int], quick: bool) -> List[Dict[str, object]]:
    rows = []
    for model, (mod_fn, bare_fn) in sample_pipelines(pattern).items():
        # Same rows on both sides, from the same seed (rstr draws from `random`).
        random.seed(0)
        a = mod_fn(1000)
        random.seed(0)
        b = bare_fn(1000)
        if not a.equals(b):
            raise SystemExit(f"{model}: module and bare pipeline give different frames")
        for n in sizes:
            repeats = sample_plan(model, n, quick)
            t0 = time.perf_counter()
            mod_fn(n)
            estimate = time.perf_counter() - t0
            number = max(1, int(0.002 / max(estimate, 1e-9)))
            def setup() -> None:
                # pandas' string accessor leaves reference cycles behind and timeit
                # turns the collector off: start every timing from a collected heap,
                # or whichever side runs second pays for the other's garbage.
                gc.collect()
                random.seed(12345)

            timers = {
                "module": timeit.Timer(lambda: mod_fn(n), setup=setup, timer=TIMER),
                "bare": timeit.Timer(lambda: bare_fn(n), setup=setup, timer=TIMER),
            }
            times: Dict[str, List[float]] = {"module": [], "bare": []}
            for r in range(repeats):
                order = ("module", "bare") if r % 2 == 0 else ("bare", "module")
                for side in order:
                    times[side].append(timers[side].timeit(number) / number)
            best = {side: min(ts) for side, ts in times.items()}
            ratio = best["module"] / best["bare"]
            # Each repeat's two timings ran back to back: their ratio shows the noise.
            paired = float(np.median([m / b for m, b in zip(times["module"], times["bare"])]))
            rows.append(dict(model=model, n=n, repeats=repeats, number=number,
                             module_s=best["module"], bare_s=best["bare"], ratio=ratio,
                             paired=paired, ok=ratio <= GOAL_SAMPLE))
            print(f"  {model:26s} n={n:>8d}  module {best['module']:9.4f} s  bare {best['bare']:9.4f} s"
                  f"  ratio {ratio:6.3f} (paired median {paired:6.3f}, {repeats} x {number})"
                  f"  {'PASS' if ratio <= GOAL_SAMPLE else 'MISS'}", flush=True)
    return rows


# ------------------------------------------------------------------------- memory


def proc_status_kib(*keys: str) -> Dict[str, int]:
    found = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in keys:
                found[key] = int(value.split()[0])
    return found


def memory_child(model: str, side: str, n: int, pattern: str) -> None:
    """Runs in a fresh interpreter: growth of the peak RSS over one sample of n rows.

    ru_maxrss is no use here: Linux carries the parent's high-water mark over
    fork+exec. VmHWM belongs to this process's own address space, and writing 5
    to /proc/self/clear_refs resets it to the current RSS just before the call.
    """
    mod_fn, bare_fn = sample_pipelines(pattern)[model]
    fn = mod_fn if side == "module" else bare_fn
    random.seed(0)
    fn(1000)  # warm-up: lazy imports and caches of pandas/numpy/rstr
    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        before = proc_status_kib("VmRSS")["VmRSS"]
        method = "VmHWM-reset"
    except OSError:
        before = proc_status_kib("VmHWM")["VmHWM"]
        method = "VmHWM"
    frame = fn(n)
    after = proc_status_kib("VmHWM")["VmHWM"]
    assert len(frame) == n
    print(json.dumps({"kib": after - before, "method": method}))


def bench_memory(pattern: str, n: int) -> List[Dict[str, object]]:
    rows = []
    for model in ("FormattedStringModel", "SequentialFormattedString"):
        peak = {}
        for side in ("module", "bare"):
            out = subprocess.run(
                [sys.executable, os.path.abspath(__file__), "--memory-child", model, side, str(n),
                 "--pattern", pattern],
                check=True, capture_output=True, text=True).stdout
            peak[side] = json.loads(out.strip().splitlines()[-1])["kib"] / 1024.0
        rows.append(dict(model=model, n=n, module_mib=peak["module"], bare_mib=peak["bare"]))
        print(f"  {model:26s} n={n}  module +{peak['module']:.1f} MiB  bare +{peak['bare']:.1f} MiB",
              flush=True)
    return rows


# ------------------------------------------------------------ instruction counts
#
# One child interpreter per (model, n, side) under callgrind. Each child warms
# both pipelines up, then makes the measured call through sys.call_tracing(fn,
# (n,)): that is the only caller of the C function _PyEval_CallTracing, which
# does nothing but call fn (tracing is off), and pandas, numpy, rstr and the
# module never use it. Callgrind collects only while inside it
# (--collect-atstart=no --toggle-collect=...) and dumps on leaving it
# (--dump-after=...), so the single dump holds the instructions of the call and
# of nothing else; a second dump would mean a second entry, and is refused.
#
# Start-up (importing pandas) is not counted either way but would take ~15 s
# per child with instrumentation on, so on x86-64 the child starts with it off
# (--instr-atstart=no) and switches it on after the warm-up with callgrind's
# START_INSTRUMENTATION client request, issued from a few bytes of machine code
# through ctypes (the magic sequence of valgrind.h, which is a no-op natively).

CALLGRIND_MARK = "_PyEval_CallTracing"
CALLGRIND_SEED = 12345
# The children get this environment and nothing else. Counts depend a little on
# the heap layout, which the size of the environment moves: with the caller's
# full environment they changed by up to ~0.3% between a shell and `make`. The
# second run of each cell adds one variable, so its difference from the first
# shows how far a shifted layout moves the counts.
CALLGRIND_ENV = {"PATH": os.defpath, "LC_ALL": "C.UTF-8", "PYTHONHASHSEED": "0",
                 "PYTHONDONTWRITEBYTECODE": "1"}
CALLGRIND_SHIFT = {"BENCH_LAYOUT_SHIFT": "x" * 64}


def callgrind_start_instrumentation() -> None:
    """CALLGRIND_START_INSTRUMENTATION from Python (x86-64 only)."""
    import ctypes
    import mmap

    # unsigned long request(unsigned long *args): rax = args, rdx = default (0),
    # the preamble rolq 3/13/61/51 of %rdi and xchgq %rbx,%rbx, return rdx.
    code = bytes.fromhex("4889f8" "31d2" "48c1c703" "48c1c70d" "48c1c73d" "48c1c733"
                         "4887db" "4889d0" "c3")
    page = mmap.mmap(-1, mmap.PAGESIZE, prot=mmap.PROT_READ | mmap.PROT_WRITE | mmap.PROT_EXEC)
    page.write(code)
    func = ctypes.CFUNCTYPE(ctypes.c_ulong, ctypes.c_void_p)(
        ctypes.addressof(ctypes.c_char.from_buffer(page)))
    base = (ord("C") << 24) | (ord("T") << 16)  # VG_USERREQ_TOOL_BASE('C', 'T')
    args = (ctypes.c_ulong * 6)(base + 4)       # VG_USERREQ__START_INSTRUMENTATION
    func(ctypes.addressof(args))
    # keep the page mapped: valgrind may still hold translations of it
    callgrind_start_instrumentation.page = page  # type: ignore[attr-defined]


def callgrind_child(model: str, side: str, n: int, pattern: str, start_instr: bool) -> None:
    """Runs in a fresh interpreter under callgrind: one call, counted from the inside."""
    pipelines = sample_pipelines(pattern)
    for mod_fn, bare_fn in pipelines.values():  # warm-up: both sides, both models
        for fn in (mod_fn, bare_fn):
            random.seed(0)
            fn(1000)
    fn = pipelines[model][0 if side == "module" else 1]
    if start_instr:
        callgrind_start_instrumentation()
    gc.collect()
    gc.disable()  # as while timing (timeit), and from the same collected heap
    random.seed(CALLGRIND_SEED)
    frame = sys.call_tracing(fn, (n,))
    gc.enable()
    assert len(frame) == n


def callgrind_totals(path: str) -> int:
    with open(path) as f:
        for line in f:
            if line.startswith("totals:"):
                return int(line.split()[1])
    raise ValueError(f"{path}: no totals line")


def callgrind_launch(valgrind: str, model: str, side: str, n: int, pattern: str, outdir: str,
                     start_instr: bool, shift: bool) -> subprocess.Popen:
    cmd = [valgrind, "--tool=callgrind", "--collect-atstart=no",
           f"--toggle-collect={CALLGRIND_MARK}", f"--dump-after={CALLGRIND_MARK}",
           f"--callgrind-out-file={os.path.join(outdir, 'callgrind.out')}"]
    if start_instr:
        cmd.append("--instr-atstart=no")
    cmd += [sys.executable, os.path.abspath(__file__), "--callgrind-child", model, side, str(n),
            "--pattern", pattern]
    if start_instr:
        cmd.append("--callgrind-start-instr")
    env = dict(CALLGRIND_ENV, **(CALLGRIND_SHIFT if shift else {}))
    return subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def callgrind_result(proc: subprocess.Popen, outdir: str) -> int:
    """Ir of the one measured call; raises RuntimeError when the run is not usable."""
    _, err = proc.communicate()
    if proc.returncode != 0:
        tail = "\n".join(err.strip().splitlines()[-6:])
        raise RuntimeError(f"child exited with {proc.returncode}:\n{tail}")
    dumps = sorted(f for f in os.listdir(outdir) if f.startswith("callgrind.out."))
    if len(dumps) != 1:
        raise RuntimeError(f"{CALLGRIND_MARK} entered {len(dumps)} times, expected once")
    rest = callgrind_totals(os.path.join(outdir, "callgrind.out"))
    if rest != 0:
        raise RuntimeError(f"{rest} instructions collected outside {CALLGRIND_MARK}")
    ir = callgrind_totals(os.path.join(outdir, dumps[0]))
    if ir <= 0:
        raise RuntimeError("no instructions collected (instrumentation never started?)")
    return ir


def bench_callgrind(pattern: str, runs: int) -> Dict[str, object]:
    """{'skipped': reason} or {'rows': [...]}: Ir of module and bare per (model, n)."""
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        print("  valgrind not found: instruction counts skipped", flush=True)
        return {"skipped": "valgrind is not installed"}
    start_instr = platform.machine().lower() in ("x86_64", "amd64")
    rows = []
    for model, sizes in CALLGRIND_SIZES.items():
        for n in sizes:
            irs: Dict[str, List[int]] = {"module": [], "bare": []}
            error = None
            for run in range(runs):
                # The two sides run side by side (one per core): counts do not
                # depend on timing.
                with tempfile.TemporaryDirectory() as dm, tempfile.TemporaryDirectory() as db:
                    dirs = {"module": dm, "bare": db}
                    procs = {side: callgrind_launch(valgrind, model, side, n, pattern, d, start_instr,
                                                    shift=run > 0)
                             for side, d in dirs.items()}
                    for side, proc in procs.items():
                        try:
                            irs[side].append(callgrind_result(proc, dirs[side]))
                        except RuntimeError as exc:
                            error = error or f"{side}: {exc}"
                if error:
                    break
            if error:
                print(f"  {model:26s} n={n:>8d}  callgrind failed ({error})", flush=True)
                rows.append(dict(model=model, n=n, error=error.splitlines()[0]))
                continue
            module_ir, bare_ir = irs["module"][0], irs["bare"][0]
            ratio = module_ir / bare_ir
            spread = max((max(v) - min(v)) / min(v) for v in irs.values())
            rows.append(dict(model=model, n=n, module_ir=module_ir, bare_ir=bare_ir, ratio=ratio,
                             spread=spread, runs=runs, ok=ratio <= GOAL_SAMPLE))
            print(f"  {model:26s} n={n:>8d}  module {module_ir:>15,d} Ir  bare {bare_ir:>15,d} Ir"
                  f"  ratio {ratio:7.4f}  run-to-run {spread * 100:.4f}%  {status(ratio <= GOAL_SAMPLE)}",
                  flush=True)
    return {"rows": rows, "start_instr": start_instr}


# ------------------------------------------------------------------------ reports


def status(ok: bool) -> str:
    return "PASS" if ok else "MISS"


def markdown(calls, samples, callgrind, memory, pattern: str, quick: bool, seconds: float,
             load: Tuple[float, float]) -> str:
    out = []
    out.append("# vandrel.model.models.string benchmarks\n")
    out.append(f"Python {platform.python_version()}, numpy {np.__version__}, pandas {pd.__version__}, "
               f"rstr {getattr(rstr, '__version__', '3.2.2')}, {cpu_name()}, {os.cpu_count()} CPUs. "
               f"Whole run: {seconds:.0f} s{' (--quick)' if quick else ''}; 1-minute load average "
               f"{load[0]:.2f} at the start, {load[1]:.2f} at the end (above 0 means other work shared "
               "the cores).\n")

    out.append("## Call overhead: native members against the pure-Python class (bench/pure.py)\n")
    if calls:
        r0 = calls[0]
        out.append(f"timeit on process CPU time (`time.process_time`), min of {r0['repeats']} timings per side, "
                   f"C++ and Python interleaved (order alternating), each timing ~{r0['target'] * 1e3:.0f} ms "
                   f"of calls; ns/call net of timeit's empty-loop cost (~{r0['loop_ns']:.1f} ns). "
                   "Ratio = C++ / Python; lower is better. Goal for the four TypeError rows: <= 0.70.\n")
        out.append("| Member | C++ ns/call | Python ns/call | C++/Python | Goal | Status |")
        out.append("|---|---:|---:|---:|---:|:---:|")
        for r in calls:
            out.append(f"| {r['label']} | {r['cpp_ns']:.1f} | {r['py_ns']:.1f} | {r['ratio']:.2f} "
                       f"| <= {r['goal']:.2f} | {status(r['ok'])} |")
        out.append("")

    out.append("## sample() against the bare pipeline it is made of (produce_nans=False)\n")
    out.append(f"FormattedStringModel: pattern `{pattern}`; bare = "
               "`pd.Series([rstr.xeger(p) for _ in range(n)], name=name).to_frame()`. "
               "SequentialFormattedString: length 5, prefix 'CUST-', suffix '-NL'; bare = "
               "`(prefix + pd.Series(np.arange(0, n), name=name, dtype=str).str.zfill(length) + suffix)"
               ".to_frame()`.\n")
    out.append("Time is process CPU time per call (timeit with `time.process_time`), min over the "
               "interleaved repeats (order alternating); before each timing `random` is seeded alike "
               "(xeger draws the same rows on both sides) and the heap is collected (`gc.collect()`, so "
               "neither side pays for the cyclic garbage of pandas' string accessor left by the other); "
               "timeit's default of no garbage collection while timing. Calls per timing make it last >= 2 ms. FormattedStringModel gets fewer "
               "repeats as n grows (xeger costs ~16 us a row here), see the column.\n")
    if samples:
        out.append("module/bare is the ratio of the two minima (the timing figure for the goal; the "
                   "instruction counts below are free of its noise); "
                   "'paired median' is the median over repeats of module/bare for the two timings taken "
                   "back to back, a check on the noise.\n")
        out.append("| Model | n | repeats x calls | module s | bare s | module rows/s | bare rows/s "
                   "| module/bare | paired median | Goal | Status |")
        out.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|:---:|")
        for r in samples:
            out.append(f"| {r['model']} | {r['n']:,} | {r['repeats']} x {r['number']} | {r['module_s']:.4g} "
                       f"| {r['bare_s']:.4g} | {r['n'] / r['module_s']:,.0f} | {r['n'] / r['bare_s']:,.0f} "
                       f"| {r['ratio']:.3f} | {r['paired']:.3f} | <= {GOAL_SAMPLE:.2f} | {status(r['ok'])} |")
        out.append("")

    if callgrind:
        out.append("## Instruction counts (callgrind)\n")
        if "skipped" in callgrind:
            out.append(f"Skipped: {callgrind['skipped']}.\n")
        else:
            rows = callgrind["rows"]
            runs = max((r.get("runs", 1) for r in rows), default=1)
            out.append("These are the noise-free figures for the sampling goal; the wall-clock table above "
                       "shows the time.\n")
            out.append("Instructions executed (callgrind's Ir) by one `sample(n, produce_nans=False)` call "
                       "against one call of the bare pipeline, same rows (`random.seed"
                       f"({CALLGRIND_SEED})` before the call, PYTHONHASHSEED=0). A fresh interpreter per "
                       "model, n and side, under `valgrind --tool=callgrind`: both pipelines of both models "
                       "warmed up at 1,000 rows, `gc.collect()`, then the call made through "
                       f"`sys.call_tracing(fn, (n,))` with the collector off (as timeit has it); callgrind "
                       f"collects only inside `{CALLGRIND_MARK}` (`--collect-atstart=no --toggle-collect`), "
                       "the C function that call_tracing runs exactly once around the call, and the run is "
                       "refused unless it was entered once. Counts everything the call executes (interpreter, "
                       "pandas, numpy, the module, libc), not start-up or freeing the returned frame"
                       + ". The children get a fixed, minimal environment (its size moves the heap "
                         "layout, on which the counts depend slightly)"
                       + (f". Each cell ran {runs} times, the later runs with one more environment "
                          "variable to shift the layout; 'run-to-run' is the largest relative difference "
                          "between runs of the same side; module/bare is from the first run."
                          if runs > 1 else ".") + "\n")
            out.append("| Model | n | module Ir | bare Ir | module/bare | run-to-run | Goal | Status |")
            out.append("|---|---:|---:|---:|---:|---:|---:|:---:|")
            for r in rows:
                if "error" in r:
                    out.append(f"| {r['model']} | {r['n']:,} | - | - | - | - | <= {GOAL_SAMPLE:.2f} "
                               f"| failed: {r['error']} |")
                    continue
                spread = f"{r['spread'] * 100:.4f}%" if r["runs"] > 1 else "-"
                out.append(f"| {r['model']} | {r['n']:,} | {r['module_ir']:,} | {r['bare_ir']:,} "
                           f"| {r['ratio']:.4f} | {spread} | <= {GOAL_SAMPLE:.2f} | {status(r['ok'])} |")
            out.append("")

    if memory:
        out.append(f"## Peak memory at {memory[0]['n']:,} rows\n")
        out.append("Growth of the peak resident set over one sample call, in a fresh subprocess per cell "
                   "after a 1,000-row warm-up: the peak RSS (`VmHWM` of /proc/self/status, reset to the "
                   "current RSS through /proc/self/clear_refs just before the call) minus the RSS before it. "
                   "(`ru_maxrss` deltas are not used: Linux hands a child the parent's high-water mark "
                   "across fork+exec.) Counts every allocator, in pages; the frame itself is still alive "
                   "at the end, so it is included.\n")
        out.append("| Model | module MiB | bare MiB | module/bare |")
        out.append("|---|---:|---:|---:|")
        for r in memory:
            ratio = r["module_mib"] / r["bare_mib"] if r["bare_mib"] else float("nan")
            out.append(f"| {r['model']} | {r['module_mib']:.1f} | {r['bare_mib']:.1f} | {ratio:.3f} |")
        out.append("")

    out.append("Plot: `sample_time.png` (time against n, log-log).\n")
    return "\n".join(out)


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def plot(samples, path: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax, rax) = plt.subplots(2, 1, figsize=(7.5, 7), sharex=True,
                                  gridspec_kw={"height_ratios": [3, 1.3]})
    styles = {
        ("FormattedStringModel", "module"): ("tab:blue", "-", "o"),
        ("FormattedStringModel", "bare"): ("tab:blue", "--", "x"),
        ("SequentialFormattedString", "module"): ("tab:orange", "-", "o"),
        ("SequentialFormattedString", "bare"): ("tab:orange", "--", "x"),
    }
    for (model, side), (color, ls, marker) in styles.items():
        pts = [(r["n"], r[f"{side}_s"]) for r in samples if r["model"] == model]
        if not pts:
            continue
        xs, ys = zip(*pts)
        label = f"{model}.sample" if side == "module" else f"{model}: bare pipeline"
        ax.plot(xs, ys, color=color, linestyle=ls, marker=marker, label=label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_ylabel("CPU time per call (s)")
    ax.set_title("sample(n, produce_nans=False): native module against bare pipeline")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    for model, color in (("FormattedStringModel", "tab:blue"), ("SequentialFormattedString", "tab:orange")):
        pts = [(r["n"], r["ratio"]) for r in samples if r["model"] == model]
        if pts:
            xs, ys = zip(*pts)
            rax.plot(xs, ys, color=color, marker="o", label=model)
    rax.axhline(GOAL_SAMPLE, color="tab:red", linestyle=":", label=f"goal {GOAL_SAMPLE:.2f}")
    rax.axhline(1.0, color="grey", linewidth=0.8)
    rax.set_xlabel("rows n")
    rax.set_ylabel("module / bare")
    rax.grid(True, which="both", alpha=0.3)
    rax.legend(fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--pattern", default=DEFAULT_PATTERN, help="regex for FormattedStringModel")
    ap.add_argument("--quick", action="store_true", help="fewer repeats, n up to 10^5, one callgrind run, no memory")
    ap.add_argument("--only", choices=["calls", "sample", "callgrind", "memory"], action="append",
                    help="run only these sections (repeatable)")
    ap.add_argument("--memory-child", nargs=3, metavar=("MODEL", "SIDE", "N"), help=argparse.SUPPRESS)
    ap.add_argument("--callgrind-child", nargs=3, metavar=("MODEL", "SIDE", "N"), help=argparse.SUPPRESS)
    ap.add_argument("--callgrind-start-instr", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.callgrind_child:
        model, side, n = args.callgrind_child
        callgrind_child(model, side, int(n), args.pattern, args.callgrind_start_instr)
        return

    if args.memory_child:
        model, side, n = args.memory_child
        memory_child(model, side, int(n), args.pattern)
        return

    sections = set(args.only or ["calls", "sample", "callgrind", "memory"])
    start = time.perf_counter()
    load_start = os.getloadavg()[0]
    calls = samples = memory = []
    callgrind: Dict[str, object] = {}
    if "calls" in sections:
        print("call overhead:", flush=True)
        calls = bench_calls(args.pattern, repeats=31 if args.quick else 151, target=0.002)
    if "sample" in sections:
        print("sample:", flush=True)
        sizes = SIZES[:3] if args.quick else SIZES
        samples = bench_sampling(args.pattern, sizes, args.quick)
    if "callgrind" in sections:
        print("instruction counts (callgrind):", flush=True)
        callgrind = bench_callgrind(args.pattern, runs=1 if args.quick else CALLGRIND_RUNS)
    if "memory" in sections and not args.quick:
        print("memory:", flush=True)
        memory = bench_memory(args.pattern, MEMORY_N)
    seconds = time.perf_counter() - start

    os.makedirs(RESULTS, exist_ok=True)
    md = markdown(calls, samples, callgrind, memory, args.pattern, args.quick, seconds, (load_start, os.getloadavg()[0]))
    with open(os.path.join(RESULTS, "bench.md"), "w") as f:
        f.write(md)
    if samples:
        plot(samples, os.path.join(RESULTS, "sample_time.png"))
    print()
    print(md)
    print(f"written: {os.path.relpath(RESULTS)}/bench.md"
          + (f", {os.path.relpath(RESULTS)}/sample_time.png" if samples else ""))


if __name__ == "__main__":
    main()
