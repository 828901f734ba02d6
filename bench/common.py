"""Helpers shared by bench/xeger.py and bench/sequential.py.

String storage: each script measures every storage pandas offers here in a child
interpreter of its own (`--storage arrow|python`): "arrow" is pandas 3's default
with pyarrow installed, or pandas 2 with `future.infer_string`; "python" is
pandas 2's object column, or pandas 3 with `mode.string_storage = "python"`.
Every peer ends in a one-column frame of the dtype the model gives under that
storage (`column`), so all sides pay for making the same pandas column.
Timings are wall clock (polars may use both cores), best of interleaved runs.
"""
import gc
import importlib
import importlib.metadata
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
import time
from typing import Callable, Dict, List, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")
HAVE_PYARROW = importlib.util.find_spec("pyarrow") is not None
NOT_INSTALLED = "n/a (not installed)"


def optional(name: str):
    """The module, or None when it is not installed (or does not import here)."""
    try:
        return importlib.import_module(name)
    except Exception:  # noqa: BLE001  (an old release may fail on this Python)
        return None


def version(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def set_storage(storage: str) -> None:
    import pandas as pd
    pandas3 = int(pd.__version__.split(".")[0]) >= 3
    if storage == "arrow" and not pandas3:
        pd.options.future.infer_string = True
    elif storage == "python" and pandas3:
        pd.options.mode.string_storage = "python"


def describe_dtype(dtype) -> str:
    storage = getattr(dtype, "storage", None)
    return f"{dtype} ({storage})" if storage else str(dtype)


def describe(raw) -> str:
    """The type a peer makes before `column` turns it into the model's frame."""
    kind = f"{type(raw).__module__.split('.')[0]}.{type(raw).__name__}"
    if isinstance(raw, list):
        return f"list[{type(raw[0]).__name__}]" if raw else "list"
    for attr in ("type", "dtype"):  # pyarrow arrays, numpy/polars/pandas arrays
        if hasattr(raw, attr):
            return f"{kind}[{getattr(raw, attr)}]"
    if hasattr(raw, "dtypes"):
        return f"{kind}[{describe_dtype(raw.dtypes.iloc[0])}]"
    return kind


def column(raw, name: str, dtype):
    """A one-column frame of `dtype` from a peer's list, numpy, pyarrow or polars output."""
    import pandas as pd
    if type(raw).__module__.startswith("polars"):
        raw = raw.to_arrow() if HAVE_PYARROW else raw.to_numpy()
    if type(raw).__module__.startswith("pyarrow"):
        if getattr(dtype, "storage", "").startswith("pyarrow"):
            return pd.Series(pd.array(raw, dtype=dtype), name=name, copy=False).to_frame()
        raw = raw.to_numpy(zero_copy_only=False)
    s = pd.Series(raw, name=name, copy=False)
    return (s if s.dtype == dtype else s.astype(dtype)).to_frame()


# ------------------------------------------------------------------------ timing


def best_times(fns: Dict[str, Callable[[int], object]], n: int, skip: Dict[str, str],
               budget: float, rounds: int = 7) -> Dict[str, float]:
    """Best seconds per call of each fn at n, rounds interleaved in rotating order.

    Small n is called repeatedly within one timing (about 5 ms each); a side stops
    once it has spent `budget` seconds (so a slow side may get a single run).
    Names in `skip` are left out.
    """
    live = [k for k in fns if k not in skip]
    inner, best, spent = {}, {k: float("inf") for k in live}, {k: 0.0 for k in live}
    for k in live:  # untimed calls (lazy imports, compiled patterns, caches) of at most 1000 rows:
        m, calls, spent_k = min(n, 1000), 0, 0.0  # 3 of them, or one if that takes 50 ms
        while calls < 3 and spent_k < 0.05:
            t0 = time.perf_counter()
            fns[k](m)
            dt = time.perf_counter() - t0
            calls, spent_k = calls + 1, spent_k + dt
        estimate = dt * n / m  # from the last call
        inner[k] = max(1, min(1000, int(0.005 / max(estimate, 1e-7))))
    for r in range(rounds):
        for k in live[r % len(live):] + live[:r % len(live)]:
            if r and spent[k] > budget:
                continue
            gc.collect()
            t0 = time.perf_counter()
            for _ in range(inner[k]):
                fns[k](n)
            dt = time.perf_counter() - t0
            best[k], spent[k] = min(best[k], dt / inner[k]), spent[k] + dt
    return best


def too_slow(rate: Optional[float], n: int, limit: float) -> Optional[str]:
    """A note when a run of n rows at `rate` rows/s would take over `limit` seconds."""
    if rate and n / rate > limit:
        return f"not run (≈{n / rate:.0f} s a run)"
    return None


def fmt_rate(v) -> str:
    return v if isinstance(v, str) else f"{v:,.0f}"


def fmt_ratio(a, b) -> str:
    return f"{a / b:.2f}x" if isinstance(a, float) and isinstance(b, float) else "–"


def goal_line(label: str, value, goal: float) -> str:
    if not isinstance(value, float):
        return f"- {label}: goal >= {goal}x: not measured"
    return f"- {label}: {value:.2f}x, goal >= {goal}x: {'PASS' if value >= goal else 'MISS'}"


def never_slower(slower: List[str], reference: str) -> str:
    """The check line: native at least as fast as the reference at every n where both ran."""
    where = f" (slower: {', '.join(slower)})" if slower else ""
    return f"- native never slower than {reference} at any n measured: {'MISS' if slower else 'PASS'}{where}"


def table(header: List[str], rows: List[List[str]], align: str) -> List[str]:
    out = ["| " + " | ".join(header) + " |", "|" + "|".join(align) + "|"]
    return out + ["| " + " | ".join(r) + " |" for r in rows]


# ---------------------------------------------------------------- numpy writers


class Lanes:
    """The fastest fixed-width writer we know in numpy: rows of `template`'s
    width as 8-byte little-endian lanes, each field (c bytes within one lane)
    taken from a table of all its values, pre-shifted to its place, so a row
    costs one gather and one OR per field. `rows(indexes)` takes one index
    array per field (in the order of `field`) and gives (n, width) uint8."""

    def __init__(self, template: bytes):
        import numpy as np
        self.width, self.lanes = len(template), (len(template) + 7) // 8
        base = np.zeros(8 * self.lanes, np.uint8)
        base[:self.width] = np.frombuffer(template, np.uint8)
        self.base, self.fields = base.view("<u8"), []

    def field(self, start: int, values) -> None:
        """values: (m, c) uint8, all the field's texts; bytes start..start+c in one lane."""
        import numpy as np
        lane, off = divmod(start, 8)
        assert off + values.shape[1] <= 8, "a field within one lane"
        packed = np.zeros(len(values), np.uint64)
        for k in range(values.shape[1]):
            packed |= values[:, k].astype(np.uint64) << np.uint64(8 * (off + k))
        self.fields.append((lane, packed))

    def rows(self, indexes):
        import numpy as np
        out = np.empty((len(indexes[0]), self.lanes), np.uint64)
        out[:] = self.base
        for (lane, packed), index in zip(self.fields, indexes):
            out[:, lane] |= packed[index]
        buf = out.view(np.uint8)
        return buf if 8 * self.lanes == self.width else np.ascontiguousarray(buf[:, :self.width])


def fixed_rows(buf, arrow: bool):
    """(n, width) uint8 rows as an Arrow string array over that buffer, or as a
    fixed-width numpy text array."""
    import numpy as np
    n, width = buf.shape
    if arrow:
        import pyarrow as pa
        offsets = np.arange(0, (n + 1) * width, width, dtype=np.int64)
        return pa.Array.from_buffers(pa.large_string(), n, [None, pa.py_buffer(offsets), pa.py_buffer(buf)])
    return buf.view(f"S{width}").ravel().astype(f"U{width}")


# ------------------------------------------------------------------------ floors


def copy_bandwidth() -> float:
    """Bytes per second one core copies (np.copyto of 256 MiB, best of 5)."""
    import numpy as np
    src = np.ones(1 << 28, np.uint8)
    dst = np.empty_like(src)
    best = float("inf")
    for _ in range(5):
        t0 = time.perf_counter()
        np.copyto(dst, src)
        best = min(best, time.perf_counter() - t0)
    return src.nbytes / best


def floor_rate(bytes_per_row: float, words_per_row: float, bandwidth: float, draw_rate: float) -> float:
    """Rows/s of a column that only writes its bytes (at `bandwidth`) and draws its
    words (at `draw_rate` words/s)."""
    return 1.0 / (bytes_per_row / bandwidth + words_per_row / draw_rate)


# ------------------------------------------------------------------------ memory


def peak_growth_kib(fn: Callable[[int], object], n: int) -> int:
    """Growth of the peak RSS over one fn(n), in this (fresh) process.

    VmHWM is reset to the current RSS through /proc/self/clear_refs just before
    the call (ru_maxrss would carry the parent's high-water mark over the fork).
    """
    fn(1000)  # warm-up
    gc.collect()

    def kib(key: str) -> int:
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith(key + ":"))

    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = kib("VmRSS")
    out = fn(n)
    assert len(out) == n
    return kib("VmHWM") - before


def run_parallel(cmds: List[List[str]]) -> List[str]:
    """Runs the commands at once (memory is not timed) and returns their stdout."""
    procs = [subprocess.Popen(c, stdout=subprocess.PIPE, text=True) for c in cmds]
    outs = [p.communicate()[0] for p in procs]
    for c, p in zip(cmds, procs):
        if p.returncode:
            raise SystemExit(f"failed ({p.returncode}): {' '.join(c)}")
    return outs


def last_json(stdout: str):
    return json.loads(stdout.strip().splitlines()[-1])


# ------------------------------------------------------------------ storage runs


def storages() -> List[str]:
    return ["arrow", "python"] if HAVE_PYARROW else ["python"]


def run_storages(script: str, extra: List[str]) -> List[str]:
    """Runs `script --storage S` once per storage, one after the other (timings), and
    returns the Markdown each child wrote; a missing pyarrow gives a note instead."""
    name = os.path.splitext(os.path.basename(script))[0]
    for storage in ("arrow", "python"):  # the chart's data is this run's only
        stale = os.path.join(RESULTS, f"{name}-{storage}.json")
        if os.path.exists(stale):
            os.remove(stale)
    parts = [] if HAVE_PYARROW else ["### Arrow storage\n\nskipped: pyarrow not installed\n"]
    for storage in storages():
        with tempfile.NamedTemporaryFile("r", suffix=".md") as out:
            subprocess.run([sys.executable, script, "--storage", storage, "--out", out.name] + extra,
                           check=True)
            parts.append(out.read())
    return parts


def header(title: str) -> str:
    import numpy as np
    import pandas as pd
    return (f"## {title}\n\nCPython {sys.version.split()[0]}, numpy {np.__version__}, pandas {pd.__version__}, "
            f"pyarrow {version('pyarrow')}; load average {os.getloadavg()[0]:.1f} at the start "
            "(2 shared cores: figures are noisy).\n")


def write_json(name: str, data) -> None:
    """The rates a chart is drawn from (bench/chart.py), beside the tables."""
    os.makedirs(RESULTS, exist_ok=True)
    with open(os.path.join(RESULTS, name), "w") as f:
        json.dump(data, f, indent=1)


def write(name: str, parts: List[str]) -> None:
    os.makedirs(RESULTS, exist_ok=True)
    with open(os.path.join(RESULTS, name), "w") as f:
        f.write("\n".join(parts))
    print(f"written: {os.path.relpath(os.path.join(RESULTS, name))}")
