"""SequentialFormattedString.sample: identifiers formatted by the module against
the same call forced through the pandas pipeline, and against other ways of
making the same column (`make bench`).

The pipeline is forced by binding the module's `pd` to a module that forwards
every attribute to pandas, so both sides run the same member on the same model.
Peers (produce_nans=False): f-strings in a list comprehension; np.strings
(zfill, add; numpy >= 2); pyarrow compute (utf8_lpad, binary_join_element_wise);
polars (int_range, cast, str.zfill, concat_str). Each ends in a frame of the
model's dtype and must equal the model's frame. Rows/s at n = 1 .. 10^6, once per
string storage pandas has here (bench/common.py), and the growth of the peak
resident set over one call at 10^6 rows (fresh interpreter per side).
Writes bench/results/sequential.md. Timings are reported, never asserted.
"""
import argparse
import json
import sys
import types
from typing import Callable, Dict, List

import common
import numpy as np
import pandas as pd
from common import NOT_INSTALLED, optional
from vandrel.metadata.value import String
from vandrel.model.models import string as native

pa, pl = optional("pyarrow"), optional("polars")
pc = optional("pyarrow.compute")
SIZES = [1, 10, 10**3, 10**5, 10**6]
MEMORY_N = 10**6
SETTINGS = dict(length=8, prefix="CUST-", suffix="-NL")
BUDGET = 0.5  # seconds of timing per side and cell (at least one run)
# native rows/s over the peer's at 10^6 rows: (storage, peer) -> goal
GOALS = {("arrow", "pipeline"): 3.0, ("arrow", "pyarrow"): 2.5, ("python", "pipeline"): 5.0,
         ("arrow", "numpy"): 3.0, ("python", "numpy"): 4.5}


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


def numpy_writer(arrow: bool) -> Callable[[int], object]:
    """Fixed-width rows written by hand in numpy (common.Lanes): the digits of
    each lane one field, its value (i // 10^e) % 10^c looked up in a table of
    all c-digit texts, OR-ed into the template row."""
    prefix, suffix, length = SETTINGS["prefix"], SETTINGS["suffix"], SETTINGS["length"]
    lanes, places, start = common.Lanes((prefix + "0" * length + suffix).encode()), [], len(prefix)
    at, end = start, start + length
    while at < end:
        c = min(end - at, 8 - at % 8, 5)
        lanes.field(at, np.array([list(f"{v:0{c}d}".encode()) for v in range(10**c)], np.uint8))
        places.append((10 ** (end - at - c), 10**c))
        at += c

    def make(n: int) -> object:
        i = np.arange(n, dtype=np.int64)
        return common.fixed_rows(lanes.rows([i // e % m if e > 1 else i % m for e, m in places]), arrow)
    return make


def peers(arrow: bool) -> Dict[str, object]:
    """name -> (steps, make(n) -> raw output) or a note; raw output goes through column()."""
    prefix, suffix, length = SETTINGS["prefix"], SETTINGS["suffix"], SETTINGS["length"]
    out: Dict[str, object] = {"numpy": ("np.arange -> digits per lane from tables of all c-digit texts packed in "
                                        "8-byte lanes -> OR into uint8 rows -> " +
                                        ("Arrow data buffer" if arrow else "view S -> astype U"),
                                        numpy_writer(arrow)),
                              "f-strings": ("[f'{prefix}{i:0{length}d}{suffix}' for i in range(n)]",
                                            lambda n: [f"{prefix}{i:0{length}d}{suffix}" for i in range(n)])}
    if hasattr(np, "strings"):
        out["np.strings"] = ("np.strings.add(np.strings.add(prefix, np.strings.zfill(np.arange(n).astype(str), "
                             "length)), suffix)",
                             lambda n: np.strings.add(np.strings.add(
                                 prefix, np.strings.zfill(np.arange(n).astype(str), length)), suffix))
    else:
        out["np.strings"] = f"n/a (numpy {np.__version__} < 2)"
    out["pyarrow"] = (("pc.binary_join_element_wise(prefix, pc.utf8_lpad(pc.cast(pa.array(np.arange(n)), "
                       "pa.string()), length, '0'), suffix, '')",
                       lambda n: pc.binary_join_element_wise(prefix, pc.utf8_lpad(
                           pc.cast(pa.array(np.arange(n)), pa.string()), width=length, padding="0"), suffix, ""))
                      if pc else NOT_INSTALLED)
    out["polars"] = (("pl.select(pl.concat_str([pl.lit(prefix), pl.int_range(0, n).cast(pl.Utf8).str.zfill(length), "
                      "pl.lit(suffix)])).to_series()",
                      lambda n: pl.select(pl.concat_str([pl.lit(prefix), pl.int_range(0, n).cast(pl.Utf8)
                                                         .str.zfill(length), pl.lit(suffix)])).to_series())
                     if pl else NOT_INSTALLED)
    return out


def bench_storage(storage: str, quick: bool) -> str:
    fns = {"native": sampler("native", False), "pipeline": sampler("pipeline", False)}
    reference = fns["native"](1000)
    name, dtype = reference.columns[0], reference.dtypes.iloc[0]
    if not fns["pipeline"](1000).equals(reference):
        raise SystemExit("native and pipeline frames differ")
    notes, types_rows = {}, []
    arrow = str(getattr(dtype, "storage", "")).startswith("pyarrow")
    for peer, how in peers(arrow).items():
        if isinstance(how, str):
            notes[peer] = how
            continue
        steps, make = how
        fns[peer] = lambda n, make=make: common.column(make(n), name, dtype)
        if not fns[peer](1000).equals(reference):
            raise SystemExit(f"{peer}: frame differs from the model's")
        dist = {"np.strings": "numpy"}.get(peer, peer)
        types_rows.append([peer, sys.version.split()[0] if peer == "f-strings" else common.version(dist), f"`{steps}`", common.describe(make(3)),
                           f"`{common.describe_dtype(dtype)}`"])
    cols = ["native", "pipeline", "numpy", "f-strings", "np.strings", "pyarrow", "polars"]
    width = len(SETTINGS["prefix"]) + SETTINGS["length"] + len(SETTINGS["suffix"])
    floor = common.copy_bandwidth() / width
    sizes = [n for n in SIZES if not quick or n <= 10**5]
    rows, goals, nans_rows, slower = [], [], [], []
    for n in sizes:
        best = common.best_times(fns, n, notes, BUDGET / (5 if quick else 1))
        rate = last = {k: n / t for k, t in best.items()}
        row = ([f"{n:,}"] + [common.fmt_rate(rate[k]) if k in rate else notes[k] for k in cols]
               + [common.fmt_ratio(rate["native"], rate.get(k)) for k in ("pipeline", "numpy", "pyarrow", "polars")]
               + [f"{rate['native'] / floor:.2f}"])
        rows.append(row)
        print("  " + " | ".join(row), flush=True)
        if rate["native"] < rate["pipeline"]:
            slower.append(f"n={n:,}")
        for (s, peer), goal in GOALS.items():
            if s == storage and n == 10**6:
                value = rate["native"] / rate[peer] if peer in rate else None
                goals.append(common.goal_line(f"at 10^6 rows, native / {peer}", value, goal))
    nans = {"native": sampler("native", True), "pipeline": sampler("pipeline", True)}
    for n in sizes:
        best = common.best_times(nans, n, {}, BUDGET / (5 if quick else 1))
        nans_rows.append([f"{n:,}", common.fmt_rate(n / best["native"]), common.fmt_rate(n / best["pipeline"]),
                          f"{best['pipeline'] / best['native']:.2f}x"])
    md = [f"### {storage.capitalize()} storage: the model gives `{common.describe_dtype(dtype)}`", "",
          f"Settings {SETTINGS}, produce_nans=False; rows per second (wall clock, best of interleaved runs; "
          "every side ends in a frame equal to the model's):", ""]
    md += common.table(["n"] + [f"{c} rows/s" for c in cols]
                       + ["native/pipeline", "native/numpy", "native/pyarrow", "native/polars", "native/floor"],
                       rows, ["---:"] * (len(cols) + 6))
    md += ["", f"Floor: {width} bytes a row at one core's copy bandwidth (np.copyto of 256 MiB), "
           f"{floor:,.0f} rows/s."]
    common.write_json(f"sequential-{storage}.json", {"n": sizes[-1], "rates": {"identifiers": last}})
    goals = goals or ["- at 10^6 rows: not measured (--quick)"]
    md += ["", "Goals:", ""] + goals + [common.never_slower(slower, "pipeline"), "", "What each peer makes before it becomes that column:", ""]
    md += common.table(["peer", "version", "steps", "makes", "column"], types_rows, ["---"] * 5)
    md += ["", "produce_nans=True, native against the pipeline:", ""]
    md += common.table(["n", "native rows/s", "pipeline rows/s", "native/pipeline"], nans_rows, ["---:"] * 4)
    return "\n".join(md) + "\n"


def memory_child(side: str, n: int) -> None:
    print(json.dumps({"kib": common.peak_growth_kib(sampler(side, produce_nans=False), n)}))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer repeats, n up to 10^5, no memory")
    ap.add_argument("--storage", choices=["arrow", "python"], help=argparse.SUPPRESS)
    ap.add_argument("--out", help=argparse.SUPPRESS)
    ap.add_argument("--memory-child", nargs=2, metavar=("SIDE", "N"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.storage:
        common.set_storage(args.storage)
        if args.memory_child:
            return memory_child(args.memory_child[0], int(args.memory_child[1]))
        print(f"sequential, {args.storage} storage:", flush=True)
        with open(args.out, "w") as f:
            f.write(bench_storage(args.storage, args.quick))
        return
    parts = [common.header("SequentialFormattedString.sample: native formatting, the forced pipeline and peers")]
    parts += common.run_storages(__file__, ["--quick"] if args.quick else [])
    if not args.quick:
        cmds: List[List[str]] = [[sys.executable, __file__, "--storage", s, "--memory-child", side, str(MEMORY_N)]
                                 for s in common.storages() for side in ("native", "pipeline")]
        kib = [common.last_json(out)["kib"] / 1024 for out in common.run_parallel(cmds)]
        rows = [[s, f"{kib[2 * i]:.1f}", f"{kib[2 * i + 1]:.1f}"] for i, s in enumerate(common.storages())]
        parts.append("\n".join([f"Peak memory growth of one call at {MEMORY_N:,} rows (MiB, fresh interpreter each, "
                                "run side by side):", ""]
                               + common.table(["storage", "native", "pipeline"], rows, ["---", "---:", "---:"])) + "\n")
    md = "\n".join(parts)
    print("\n" + md)
    common.write("sequential.md", [md])


if __name__ == "__main__":
    main()
