"""FormattedStringModel.sample: native rows against the xeger calls and other
random-string generators (`make bench`).

For each pattern and n, rows per second of
  native  - model.sample(n) as shipped (rows made natively when rstr is untouched);
  forced  - the same with the module's `rstr` bound to a stand-in whose xeger is a
            Python function calling rstr.xeger: one real call per row (the reference);
  rstr    - [rstr.xeger(p) for _ in range(n)];  exrex - the same with exrex.getone;
  Faker   - Faker().bothify / uuid4 of the same shape;  Mimesis - Random's mask
            codes / Cryptographic.uuid;  numpy - a generator written for the pattern
            (fixed-width rows from tables of packed multi-character texts, one
            rng.integers draw per field; for the address, drawn lengths and a
            vectorised choice), then a string column of the storage pandas uses.
Each pattern's floor, measured in the same run: its bytes a row at one core's
copy bandwidth plus its words a row (counted on rstr with a counting Random) at
the module's own draw rate in rows of 100 hex picks.
Every peer ends in a frame of the model's dtype (bench/common.py, `column`), once per
string storage pandas has here. Plus the peak memory growth of one sample of 10^6
rows, native and forced, each in a fresh interpreter. Prints Markdown tables and
writes bench/results/xeger.md. Timings are reported, never asserted.
"""
import argparse
import itertools
import json
import random
import re
import string
import sys
import types

import common
import numpy as np
import rstr
from common import NOT_INSTALLED, optional
from vandrel.metadata.value import FormattedString
from vandrel.model.models import string as native

pa = optional("pyarrow")

PATTERNS = [
    r"[A-Z]{3}-\d{4}",
    r"[1-9]\d{3} [A-Z]{2}",
    r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}",
    r"[a-z]{4,9}\.[a-z]{2,8}@(example|mail)\.(com|org)",
    r"\+1-\d{3}-\d{3}-\d{4}",
    r"\w{10}",
]
SIZES = [1, 10**3, 10**5, 10**6]
MEMORY_N = 10**6
# native / numpy rows/s at 10^6 rows; the address pattern's native / floor
GOALS = {p: 1.2 for p in (PATTERNS[0], PATTERNS[2], PATTERNS[3], PATTERNS[4], PATTERNS[5])}
FLOOR_GOALS = {PATTERNS[3]: 0.6}
DRAW_PATTERN = "[0-9a-f]{100}"  # half its words rejected (16 of 32), skipped by the acceptance bits
BUDGET = 0.5  # seconds of timing per side and cell (at least one run)
# A side whose one run would take longer (at its rate at the n before) is not run at
# that n, except the reference at n <= 10^5 (one run of 10^5 UUID rows takes ~25 s).
RUN_LIMIT = {"forced": 12.0}
DEFAULT_RUN_LIMIT = 3.0
REFERENCE_ALWAYS_UP_TO = 10**5
U, D, H = string.ascii_uppercase, string.digits, "0123456789abcdef"
W = string.ascii_letters + string.digits + "_"  # rstr's \\w
# Fixed-width shapes: one alphabet per position (numpy), a Faker call, a Mimesis call.
SHAPES = {
    PATTERNS[0]: dict(numpy=[U] * 3 + ["-"] + [D] * 4, faker=("bothify", "???-####"), mimesis="@@@-####"),
    PATTERNS[1]: dict(numpy=["123456789"] + [D] * 3 + [" "] + [U] * 2, faker=("bothify", "%### ??")),
    PATTERNS[4]: dict(numpy=["+", "1", "-"] + [D] * 3 + ["-"] + [D] * 3 + ["-"] + [D] * 4,
                      faker=("bothify", "+1-###-###-####")),
    PATTERNS[5]: dict(numpy=[W] * 10),
    PATTERNS[2]: dict(numpy=[H] * 8 + ["-"] + [H] * 4 + ["-", "4"] + [H] * 3 + ["-", "89ab"] + [H] * 3
                      + ["-"] + [H] * 12, faker=("uuid4", None), mimesis="uuid"),
}


class forced_calls:
    """Binds the module's rstr to a stand-in making one real rstr.xeger call per row."""

    def __enter__(self):
        self.saved = native.rstr
        native.rstr = types.SimpleNamespace(xeger=lambda p: rstr.xeger(p))

    def __exit__(self, *exc):
        native.rstr = self.saved


def numpy_generator(shape, arrow):
    """n rows of len(shape) bytes (common.Lanes): each run of positions of one
    alphabet, up to the most whose texts fit 2^16 and within a lane, is one
    field, drawn as one rng.integers index into the table of all its texts."""
    template = "".join(a if len(a) == 1 else "\0" for a in shape).encode()
    lanes, bounds, i = common.Lanes(template), [], 0
    while i < len(shape):
        a = shape[i]
        if len(a) == 1:
            i += 1
            continue
        j = i + 1
        while j < len(shape) and shape[j] == a and len(a) ** (j + 1 - i) <= 1 << 16 and j // 8 == i // 8:
            j += 1
        texts = np.array(list(itertools.product(a.encode(), repeat=j - i)), np.uint8)
        lanes.field(i, texts)
        bounds.append(len(texts))
        i = j
    rng = np.random.default_rng()

    def make(n):
        return common.fixed_rows(lanes.rows([rng.integers(0, m, n, np.uint16 if m <= 1 << 16 else np.uint32)
                                             for m in bounds]), arrow)
    return make


def rows_out(buf, lengths, arrow):
    """Rows left-aligned in `buf` (n, width) uint8 with `lengths`: an Arrow string
    array over the compacted bytes, or a fixed-width numpy text array."""
    n, width = buf.shape
    keep = np.arange(width) < lengths[:, None]
    if arrow:
        offsets = np.zeros(n + 1, np.int64)
        np.cumsum(lengths, out=offsets[1:])
        return pa.Array.from_buffers(pa.large_string(), n, [None, pa.py_buffer(offsets), pa.py_buffer(buf[keep])])
    return np.where(keep, buf, 0).view(f"S{width}").ravel().astype(f"U{width}")


def email_generator(arrow):
    """[a-z]{4,9}\\.[a-z]{2,8}@(example|mail)\\.(com|org): random letters for the
    longest row, the alternatives by a vectorised choice, each part's length
    drawn, and the rows packed: in Arrow the valid bytes in row order, else a
    scatter of them to the left of fixed-width rows."""
    rng = np.random.default_rng()
    letters = np.frombuffer(string.ascii_lowercase.encode(), np.uint8)
    hosts = np.frombuffer(b"example" + b"mail\0\0\0", np.uint8).reshape(2, 7)
    host_len = np.array([7, 4])
    tlds = np.frombuffer(b"comorg", np.uint8).reshape(2, 3)

    def make(n):
        a, b = rng.integers(4, 10, n), rng.integers(2, 9, n)
        h = rng.integers(0, 2, n)
        parts = [letters[rng.integers(0, 26, (n, 9), np.uint8)], np.full((n, 1), ord("."), np.uint8),
                 letters[rng.integers(0, 26, (n, 8), np.uint8)], np.full((n, 1), ord("@"), np.uint8),
                 hosts[h], np.full((n, 1), ord("."), np.uint8), tlds[rng.integers(0, 2, n)]]
        lens = [a, np.ones(n, np.int64), b, np.ones(n, np.int64), host_len[h], np.ones(n, np.int64),
                np.full(n, 3, np.int64)]
        wide = np.concatenate(parts, axis=1)
        valid = np.concatenate([np.arange(p.shape[1]) < ln[:, None] for p, ln in zip(parts, lens)], axis=1)
        lengths = sum(lens)
        if arrow:  # the valid bytes in row order are the data buffer itself
            offsets = np.zeros(n + 1, np.int64)
            np.cumsum(lengths, out=offsets[1:])
            return pa.Array.from_buffers(pa.large_string(), n,
                                         [None, pa.py_buffer(offsets), pa.py_buffer(wide[valid])])
        buf = np.zeros_like(wide)
        rows, _ = np.nonzero(valid)
        pos = np.cumsum(valid, axis=1)[valid] - 1
        buf[rows, pos] = wide[valid]
        return rows_out(buf, lengths, arrow)
    return make


def peers(pattern, dtype, arrow):
    """name -> (steps, make(n) -> raw output) or a note; raw output goes through column()."""
    shape = SHAPES.get(pattern, {})
    out = {"rstr": ("[rstr.xeger(p) for _ in range(n)]", lambda n: [rstr.xeger(pattern) for _ in range(n)])}
    exrex = optional("exrex")
    out["exrex"] = (("[exrex.getone(p) for _ in range(n)]", lambda n: [exrex.getone(pattern) for _ in range(n)])
                    if exrex else NOT_INSTALLED)
    faker = optional("faker")
    if not faker:
        out["Faker"] = NOT_INSTALLED
    elif "faker" in shape:
        fake, (method, text) = faker.Faker(), shape["faker"]
        call = (lambda: fake.uuid4()) if text is None else (lambda: fake.bothify(text, letters=U))
        out["Faker"] = (f"[Faker().{method}({repr(text) + ', letters=A-Z' if text else ''}) for _ in range(n)]",
                        lambda n: [call() for _ in range(n)])
    else:
        out["Faker"] = "n/a (no call of this shape)"
    mimesis = optional("mimesis")
    if not mimesis:
        out["Mimesis"] = NOT_INSTALLED
    elif shape.get("mimesis") == "uuid":
        crypto = mimesis.Cryptographic()
        out["Mimesis"] = ("[Cryptographic().uuid() for _ in range(n)]", lambda n: [crypto.uuid() for _ in range(n)])
    elif "mimesis" in shape:
        rnd, mask = mimesis.random.Random(), shape["mimesis"]
        code = getattr(rnd, "generate_string_by_mask", None) or rnd.custom_code  # renamed in mimesis 12
        out["Mimesis"] = (f"[Random().{code.__name__}(mask={mask!r}) for _ in range(n)]",
                          lambda n: [code(mask=mask) for _ in range(n)])
    else:
        out["Mimesis"] = "n/a (no call of this shape)"
    if pattern == PATTERNS[3]:
        out["numpy"] = ("letters for the longest row, choices, drawn lengths -> scatter of the valid bytes -> " +
                        ("Arrow data buffer" if arrow else "view S30 -> astype U30"), email_generator(arrow))
    elif "numpy" in shape:
        w = len(shape["numpy"])
        steps = ("rng.integers per field -> table of its texts packed in 8-byte lanes -> OR into uint8 rows -> " +
                 ("Arrow data buffer (pa.Array.from_buffers)" if arrow else f"view S{w} -> astype U{w}"))
        out["numpy"] = (steps, numpy_generator(shape["numpy"], arrow))
    else:
        out["numpy"] = "n/a (variable length)"
    return out


def sides(pattern):
    model = native.FormattedStringModel(FormattedString("c", pattern=pattern))
    dtype = model.sample(1, produce_nans=False).dtypes.iloc[0]
    arrow = str(getattr(dtype, "storage", "")).startswith("pyarrow")

    def run_forced(n):
        with forced_calls():
            return model.sample(n, produce_nans=False)
    fns = {"native": lambda n: model.sample(n, produce_nans=False), "forced": run_forced}
    notes, steps = {}, {}
    for name, peer in peers(pattern, dtype, arrow).items():
        if isinstance(peer, str):
            notes[name] = peer
        else:
            steps[name], make = peer
            fns[name] = lambda n, make=make: common.column(make(n), model.name, dtype)
            steps[name] = (steps[name], common.describe(make(3)))
    return model, dtype, fns, notes, steps


class CountingRandom(random.Random):
    """A Random that counts the 32-bit words its draws take (getrandbits(k) takes
    ceil(k / 32), as _random.Random does)."""
    words = 0

    def getrandbits(self, k):
        self.words += (k + 31) // 32
        return super().getrandbits(k)


def cost_per_row(pattern, rows=20000):
    """(UTF-8 bytes, words) a row of rstr.xeger(pattern), on average over `rows`."""
    counting = CountingRandom(0)
    made = rstr.Rstr(counting)
    size = sum(len(made.xeger(pattern).encode()) for _ in range(rows))
    return size / rows, counting.words / rows


def draw_rate(n):
    """Words per second the module draws, in rows of DRAW_PATTERN (best of 3)."""
    model = native.FormattedStringModel(FormattedString("c", pattern=DRAW_PATTERN))
    best = common.best_times({"draw": lambda m: model.sample(m, produce_nans=False)}, n, {}, BUDGET, rounds=3)
    return n / best["draw"] * cost_per_row(DRAW_PATTERN)[1]


def check(model, dtype, fns):
    """Every side gives a frame of the model's dtype whose rows match the pattern."""
    for name, fn in fns.items():
        frame = fn(200)
        ok = frame.dtypes.iloc[0] == dtype and all(re.fullmatch(model.pattern, s) for s in frame.iloc[:, 0])
        if not ok:
            raise SystemExit(f"{name}: frame of {frame.dtypes.iloc[0]} or rows not matching {model.pattern}")


def bench_storage(storage, sizes):
    cols = ["native", "forced", "rstr", "exrex", "Faker", "Mimesis", "numpy"]
    rows, types_rows, goals, footnote, slower = [], {}, [], False, []
    bandwidth, draws = common.copy_bandwidth(), draw_rate(sizes[-1])
    floors_md, chart = [], {}
    for pattern in PATTERNS:
        model, dtype, fns, notes, steps = sides(pattern)
        check(model, dtype, fns)
        for name, (how, raw) in steps.items():
            types_rows.setdefault((name, how), [name, common.version(name.lower()), f"`{how}`", raw])
        size, words = cost_per_row(pattern)
        floor = common.floor_rate(size, words, bandwidth, draws)
        last = {}
        for n in sizes:
            skip = dict(notes)
            for k in fns:
                if k == "forced" and n <= REFERENCE_ALWAYS_UP_TO:
                    continue
                note = common.too_slow(last.get(k), n, RUN_LIMIT.get(k, DEFAULT_RUN_LIMIT))
                if note:
                    skip[k] = note
            best = common.best_times(fns, n, skip, BUDGET)
            rate = {k: n / t for k, t in best.items()}
            last.update(rate)
            forced = rate.get("forced", last.get("forced"))
            mark = "" if "forced" in rate else " †"
            footnote |= bool(mark)
            vs_numpy = common.fmt_ratio(rate["native"], rate.get("numpy"))
            row = ([f"`{pattern}`" if n == sizes[0] else "", f"{n:,}"]
                   + [common.fmt_rate(rate[k]) if k in rate else skip[k] for k in cols]
                   + [vs_numpy, common.fmt_ratio(rate["native"], forced) + mark,
                      f"{rate['native'] / floor:.2f}"])
            rows.append(row)
            print("  " + " | ".join(row), flush=True)
            if "forced" in rate and rate["native"] < rate["forced"]:
                slower.append(f"`{pattern}` at n={n:,}")
            if n == 10**6 and pattern in GOALS:
                value = rate["native"] / rate["numpy"] if "numpy" in rate else None
                goals.append(common.goal_line(f"`{pattern}` at 10^6 rows, native / numpy", value, GOALS[pattern]))
            if n == 10**6 and pattern in FLOOR_GOALS:
                goals.append(common.goal_line(f"`{pattern}` at 10^6 rows, native / its floor",
                                              rate["native"] / floor, FLOOR_GOALS[pattern]))
        floors_md.append([f"`{pattern}`", f"{size:.1f}", f"{words:.2f}", common.fmt_rate(floor),
                          f"{rate['native'] / floor:.2f}"])
        chart[pattern] = {k: rate[k] for k in ("native", "numpy", "rstr", "exrex", "Faker", "Mimesis") if k in rate}
        chart[pattern]["forced"] = forced  # (its rate at the largest n it ran: about the same at any n)
    column_dtype = common.describe_dtype(dtype)
    md = [f"### {storage.capitalize()} storage: the model gives `{column_dtype}`", "",
          "Rows per second (wall clock, best of interleaved runs; every side ends in a frame of that dtype):", ""]
    md += common.table(["pattern", "n"] + [f"{c} rows/s" for c in cols] + ["native/numpy", "native/forced",
                                                                         "native/floor"], rows,
                       ["---", "---:"] + ["---:"] * (len(cols) + 3))
    md += ["", f"Floors: one core copies {bandwidth / 1e9:.1f} GB/s (np.copyto, 256 MiB); the module draws "
           f"{draws / 1e6:.0f}M words/s (`{DRAW_PATTERN}`, {sizes[-1]:,} rows). A pattern's floor is its bytes a row "
           "at that bandwidth plus its words a row at that rate; native/floor is its distance to it "
           f"(at {sizes[-1]:,} rows):", ""]
    md += common.table(["pattern", "bytes a row", "words a row", "floor rows/s", "native/floor"], floors_md,
                       ["---", "---:", "---:", "---:", "---:"])
    common.write_json(f"xeger-{storage}.json", {"n": sizes[-1], "rates": chart})
    if footnote:
        md += ["", "† forced not run at this n (one run over its limit): ratio against its rate at the largest n run."]
    goals = goals or ["- at 10^6 rows: not measured (--quick)"]
    md += ["", "Goals:", ""] + goals + [common.never_slower(slower, "forced"), "", "What each peer makes before it becomes that column:", ""]
    md += common.table(["peer", "version", "steps", "makes", "column"],
                       [r + [f"`{column_dtype}`"] for r in types_rows.values()], ["---"] * 5)
    md += ["", "polars: no regex or random-string generator of its own; not measured for regex rows.", ""]
    return "\n".join(md)


def memory_child(side, pattern, n):
    fns = sides(pattern)[2]
    random.seed(0)
    print(json.dumps({"kib": common.peak_growth_kib(fns[side], n)}))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="sizes up to 10^3, no memory runs")
    ap.add_argument("--storage", choices=["arrow", "python"], help=argparse.SUPPRESS)
    ap.add_argument("--out", help=argparse.SUPPRESS)
    ap.add_argument("--memory-child", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.storage:
        common.set_storage(args.storage)
        if args.memory_child:
            side, pattern, n = args.memory_child
            return memory_child(side, pattern, int(n))
        print(f"xeger, {args.storage} storage:", flush=True)
        with open(args.out, "w") as f:
            f.write(bench_storage(args.storage, [n for n in SIZES if not args.quick or n <= 10**3]))
        return
    parts = [common.header("FormattedStringModel.sample: native rows, the forced calls and peers")]
    parts += common.run_storages(__file__, ["--quick"] if args.quick else [])
    if not args.quick:
        pattern, cmds = PATTERNS[0], []
        for storage in common.storages():
            cmds += [[sys.executable, __file__, "--storage", storage, "--memory-child", side, pattern, str(MEMORY_N)]
                     for side in ("native", "forced")]
        kib = [common.last_json(out)["kib"] for out in common.run_parallel(cmds)]
        rows = [[s, f"{kib[2 * i]:,}", f"{kib[2 * i + 1]:,}"] for i, s in enumerate(common.storages())]
        parts.append("\n".join([f"Peak memory growth of one sample of {MEMORY_N:,} rows of `{pattern}` "
                                "(KiB, fresh interpreter each, run side by side):", ""]
                               + common.table(["storage", "native", "forced"], rows, ["---", "---:", "---:"])) + "\n")
    md = "\n".join(parts)
    print("\n" + md)
    common.write("xeger.md", [md])


if __name__ == "__main__":
    main()
