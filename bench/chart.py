"""The chart of the README (`make bench`, last): rows per second at the largest n
of each pattern and of the identifiers, the module against the numpy generator
written for it and the other peers, one panel per string storage; drawn from
the JSON that bench/xeger.py and bench/sequential.py wrote beside their
tables. Writes docs/rates.png."""
import json
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "results")  # (or a saved run's)
OUT = os.path.join(HERE, os.pardir, "docs", "rates.png")
SIDES = [("native", "this module", "#1f77b4"), ("numpy", "numpy, written for the pattern", "#ff7f0e"),
         ("pipeline", "the pandas steps", "#9467bd"), ("forced", "one rstr.xeger call a row", "#7f7f7f")]


def load(storage):
    rates, n = {}, None
    for script in ("xeger", "sequential"):
        path = os.path.join(RESULTS, f"{script}-{storage}.json")
        if os.path.exists(path):
            with open(path) as f:
                data = json.load(f)
            rates.update(data["rates"])
            n = data["n"]
    return rates, n


def main():
    panels = [(s, *load(s)) for s in ("arrow", "python")]
    panels = [p for p in panels if p[1]]
    if not panels:
        sys.exit("chart: no results (run bench/xeger.py and bench/sequential.py first)")
    fig, axes = plt.subplots(1, len(panels), figsize=(6.5 * len(panels), 5.5), squeeze=False)
    for ax, (storage, rates, n) in zip(axes[0], panels):
        labels = list(rates)
        height = 0.8 / len(SIDES)
        for k, (side, name, color) in enumerate(SIDES):
            ys = [i + (k - len(SIDES) / 2 + 0.5) * height for i in range(len(labels))]
            ax.barh(ys, [rates[p].get(side, 0) for p in labels], height, label=name, color=color)
        ax.set_yticks(range(len(labels)))
        ax.set_yticklabels([p if len(p) <= 24 else p[:22] + "…" for p in labels], fontsize=8)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.set_xlim(left=2e3)
        ax.set_xlabel(f"rows per second at n = {n:,} (log scale)")
        ax.set_title(f"{storage.capitalize()} storage")
        ax.grid(axis="x", which="both", alpha=0.3)
    handles, names = axes[0][0].get_legend_handles_labels()
    fig.legend(handles, names, loc="lower center", ncol=len(SIDES), fontsize=8, frameon=False)
    fig.tight_layout(rect=(0, 0.05, 1, 1))
    fig.savefig(OUT, dpi=100)
    print(f"written: {os.path.relpath(OUT)}")


if __name__ == "__main__":
    main()
