"""The cost of missing rows (`make bench`): CPU time of `sample(n, True)` with
`nan_freq=0.1` over `sample(n, False)`, for the identifiers and a regex column,
best of interleaved repeats; beside them numpy's own draw and pandas' assignment
of the same mask (`np.random.binomial(1, p=0.1, size=n) == 1`, then
`s[mask] = np.nan` on a copy of the column), which is what the module does
natively. Prints a Markdown table and writes bench/results/nans-<storage>.md.
Timings are reported, never asserted.

    python bench/nans.py [--n 1000000] [--repeats 7]
"""
import argparse
import importlib.util
import os
import sys
import time

import numpy as np
import pandas as pd

from vandrel.metadata.value import FormattedString, String
from vandrel.model.models import string as native

HERE = os.path.dirname(os.path.abspath(__file__))
NAN_FREQ = 0.1


def cpu(fn):
    start = time.process_time()
    fn()
    return time.process_time() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=10 ** 6)
    ap.add_argument("--repeats", type=int, default=7)
    args = ap.parse_args()
    n = args.n
    columns = {
        "identifiers (`CUST-`, length 8, `-NL`)":
            native.SequentialFormattedString(String("id", nan_freq=NAN_FREQ), 8, "CUST-", "-NL"),
        r"`[A-Z]{3}-\d{4}`": native.FormattedStringModel(
            FormattedString("code", nan_freq=NAN_FREQ, pattern=r"[A-Z]{3}-\d{4}")),
    }
    storage = str(getattr(columns[r"`[A-Z]{3}-\d{4}`"].sample(1)["code"].dtype, "storage", "object"))
    label = {"pyarrow": "Arrow", "python": "Python strings", "object": "object"}.get(storage, storage)
    rows = []
    for name, model in columns.items():
        plain = model.sample(n, False)
        series = plain.iloc[:, 0]

        def peer():
            mask = np.random.binomial(1, p=NAN_FREQ, size=n) == 1
            s = series.copy()
            s[mask] = np.nan

        runs = {"without": [], "with": [], "draw": [], "peer": []}
        for _ in range(args.repeats):  # interleaved, so that load on the machine falls on all alike
            runs["without"].append(cpu(lambda: model.sample(n, False)))
            runs["with"].append(cpu(lambda: model.sample(n, True)))
            runs["draw"].append(cpu(lambda: np.random.binomial(1, p=NAN_FREQ, size=n)))
            runs["peer"].append(cpu(peer))
        best = {k: min(v) * 1e3 for k, v in runs.items()}
        rows.append("| %s | %s | %.1f ms | %.1f ms | %.2f | %.1f ms | %.1f ms |" % (
            name, label, best["without"], best["with"], best["with"] / best["without"], best["draw"],
            best["peer"]))
    pa = importlib.util.find_spec("pyarrow") and __import__("pyarrow")
    lines = ["CPython %s, numpy %s, pandas %s, pyarrow %s; n = %d, nan_freq = %s, CPU time, best of %d" % (
        sys.version.split()[0], np.__version__, pd.__version__, pa.__version__ if pa else "none", n, NAN_FREQ,
        args.repeats), "",
        "| column | storage | without NaN rows | with NaN rows | ratio | numpy's draw | numpy's draw + `s[mask] = np.nan` |",
        "|---|---|---:|---:|---:|---:|---:|"] + rows
    print("\n".join(lines))
    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    with open(os.path.join(HERE, "results", "nans-%s.md" % storage), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
