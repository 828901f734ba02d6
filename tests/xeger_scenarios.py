"""One adversarial scenario per process: `python xeger_scenarios.py NAME` changes
something an rstr.xeger row depends on (before the first native row, or after
the pattern's program was made), samples natively and with every row forced
through the calls, and prints a JSON verdict of what differed."""
import builtins
import collections
import functools
import importlib
import itertools
import json
import random
import re
import sys
import typing

import numpy as np
import rstr

from conftest import MODULE, entries, make_fmeta
from fakes import rng_state

mod = importlib.import_module(MODULE)
XMOD, BASE = sys.modules["rstr.xeger"], sys.modules["rstr.rstr_base"]
P = XMOD.sre_parse
COUNTS = collections.Counter()


def count(name):
    COUNTS[name] += 1


def counting(name, f):
    def wrapper(*a, **k):
        count(name)
        return f(*a, **k)
    return wrapper


def same_name_code(func, body):
    """Code under the function's own name and file doing `body` instead."""
    c = func.__code__
    src = "def %s(%s):\n    %s\n" % (c.co_name, ", ".join(c.co_varnames[:c.co_argcount]), body)
    ns = {}
    exec(compile(src, c.co_filename, "exec"), func.__globals__, ns)
    return ns[c.co_name].__code__


def look_alike(cls, counter):
    """A subclass carrying the C type's own name, counting its instances."""
    def new(sub, *a, **k):
        count(counter)
        return cls.__new__(sub, *a, **k)
    return type("%s.%s" % (cls.__module__, cls.__name__), (cls,), {"__new__": new})


def no_watcher_left():
    import _testcapi
    ids = []
    try:
        while True:
            ids.append(_testcapi.add_dict_watcher(0))
    except Exception:
        pass
    return ids


COUNT_UNIQ = "__import__('sys').modules['__main__'].count('uniq'); return list(dict.fromkeys(items))"

# name: (applied after the pattern's program is made?, pattern, change)
SCENARIOS = {
    # 1. state the compiled program was made from, changed afterwards
    "parser MAXREPEAT lowered": (True, r"[A-Z]{3}-\d{4}", lambda: setattr(P, "MAXREPEAT", 2)),
    "parser CATEGORIES item": (True, r"\d\d", lambda: P.CATEGORIES.__setitem__(
        r"\d", (P.IN, [(P.LITERAL, 55)]))),
    "parser CATEGORIES inner list": (True, r"\d\d", lambda: P.CATEGORIES[r"\d"][1].__setitem__(
        0, (P.LITERAL, 55))),
    "parser ESCAPES item": (True, r"a\tb", lambda: P.ESCAPES.__setitem__(r"\t", (P.LITERAL, 65))),
    "opcode name": (True, r"ab[cd]", lambda: setattr(P.LITERAL, "name", "NOT_LITERAL")),
    "category name": (True, r"\d\w", lambda: setattr(P.CATEGORY_DIGIT, "name", "CATEGORY_WORD")),
    "rstr ALPHABETS and instance": (True, r"\d{3}", lambda: rstr._default_instance._alphabets.__setitem__(
        "digits", "01")),
    "randrange defaults after": (True, r"[A-Z]{1,6}", lambda: setattr(
        random.Random.randrange, "__defaults__", (None, 2))),
    # 2. functions and types by identity and content, globals read at run time
    "randrange defaults": (False, r"[A-Z]{1,6}", lambda: setattr(
        random.Random.randrange, "__defaults__", (None, 2))),
    "rstr include default": (False, r"[a-c].\d", lambda: setattr(
        BASE.RstrBase.rstr, "__defaults__", (None, None, "Z", ""))),
    "xeger method code, same name and file": (False, r"[a-c]\d", lambda: setattr(
        XMOD.Xeger._handle_in, "__code__", same_name_code(XMOD.Xeger._handle_in, "return '#'"))),
    "random method code, same name and file": (False, r"[a-c]\d", lambda: setattr(
        random.Random._randbelow_with_getrandbits, "__code__",
        same_name_code(random.Random._randbelow_with_getrandbits, "return 0"))),
    "parser helper code counting": (False, r"[a-c][xyz]", lambda: setattr(
        P._uniq, "__code__", same_name_code(P._uniq, COUNT_UNIQ))),
    "parser helper code counting after": (True, r"[a-c][xyz]", lambda: setattr(
        P._uniq, "__code__", same_name_code(P._uniq, COUNT_UNIQ))),
    "chain look-alike": (False, r"[a-c]x", lambda: setattr(XMOD, "chain", look_alike(itertools.chain, "chain"))),
    "partial look-alike": (False, r"a.b", lambda: setattr(BASE, "partial", look_alike(functools.partial, "partial"))),
    "random global shadows len": (False, r"[abc]", lambda: setattr(random, "len", counting("len", len))),
    "rstr_base global shadows list": (False, r"a.", lambda: setattr(BASE, "list", counting("list", list))),
    "xeger global shadows set": (False, r"[^ab]", lambda: setattr(XMOD, "set", counting("set", set))),
    "builtins chr": (False, r"ab", lambda: setattr(builtins, "chr", counting("chr", chr))),
    "typing alias attribute": (False, r"ab", lambda: (setattr(typing.Pattern, "_nparams", 2),
                                                      [c() for c in typing._cleanups])),
    "typing cast code": (False, r"ab", lambda: setattr(typing.cast, "__code__", same_name_code(
        typing.cast, "__import__('sys').modules['__main__'].count('cast'); return val"))),
    # 3. the guard's own probes
    "Random.seed raises": (False, r"[a-c]\d", lambda: setattr(
        random.Random, "seed", lambda self, *a, **k: 1 / 0)),
    "Random.getstate counted": (False, r"[a-c]\d", lambda: setattr(
        random.Random, "getstate", counting("getstate", random.Random.getstate))),
    "Random.getrandbits counted": (False, r"[a-c]\d", lambda: setattr(
        random.Random, "getrandbits", counting("getrandbits", random.Random.getrandbits))),
    # 4. limits of the interpreter
    "no dict watcher left": (False, r"[a-c]\d", no_watcher_left),
}


class Forced:
    """A stand-in for rstr whose xeger makes one real call of rstr's a row, reached
    as rstr's own is, through a bound method: from 3.14 on RecursionError comes
    where the C stack ends, so near it a bare function (one C call fewer) may
    return where rstr's xeger would not."""

    def __init__(self, orig):
        self.orig = orig

    def xeger(self, p):
        return self.orig.xeger(p)


def outcome(meta, n, seed, forced):
    rstr._default_instance._cache.clear()
    COUNTS.clear()
    random.seed(seed)
    np.random.seed(seed)
    orig = mod.rstr
    if forced:
        mod.rstr = Forced(orig)
    try:
        frame, exc = mod.FormattedStringModel(meta).sample(n), None
    except Exception as e:
        frame, exc = None, e
    finally:
        mod.rstr = orig
    return {
        "values": None if frame is None else frame.iloc[:, 0].tolist(),
        # From 3.14 on a stack overflow names the stack used and the C step that
        # met the limit, which depend on the C frames of the caller's path
        "exc": None if exc is None else [type(exc).__name__,
                                         re.sub(r"Stack overflow \(used \d+ kB\)[^'\"]*",
                                                "Stack overflow", repr(exc.args)),
                                         entries(exc)],
        "state": hash(random.getstate()), "np": hash(str(rng_state())),
        "cache": sorted(rstr._default_instance._cache.items()), "counts": sorted(COUNTS.items()),
    }


def run(name):
    after, pattern, change = SCENARIOS[name]
    meta = make_fmeta(pattern=pattern, nan_freq=0.25)
    if after:
        outcome(meta, 4, 0, False)
        outcome(meta, 4, 0, False)  # the pattern's program is made
    plain = outcome(meta, 12, 7, True)  # forced rows make no native check
    change()
    native, forced = outcome(meta, 12, 7, False), outcome(meta, 12, 7, True)
    return {"differs": sorted(k for k in native if native[k] != forced[k]), "native": native,
            "forced": forced, "plain": plain}


def c_budget():
    """Recursion through C calls (map) with a high Python limit, at depths up to
    where the C budget ends: native rows and calls give the same outcome at each."""
    # nested groups: a call goes deeper in C than the frame's other steps
    meta = make_fmeta(pattern="(" * 12 + "[a-c]" + ")" * 12 + r"\d", nan_freq=None)
    outcome(meta, 4, 0, False)
    outcome(meta, 4, 0, False)
    sys.setrecursionlimit(10 ** 6)

    def down(depth, leaf):
        if depth == 0:
            return leaf()
        return list(map(lambda d: down(d, leaf), [depth - 1]))[0]

    def reaches(depth):
        try:
            down(depth, lambda: None)
            return True
        except RecursionError:
            return False

    low, high = 1, 2
    while reaches(high):
        low, high = high, high * 2
    while high - low > 1:  # the deepest recursion that still returns
        mid = (low + high) // 2
        low, high = (mid, high) if reaches(mid) else (low, mid)
    seen = []
    for depth in range(max(1, low - 80), low + 1):
        try:
            pair = [down(depth, lambda f=f: outcome(meta, 3, 1, f)) for f in (False, True)]
        except RecursionError:
            continue
        seen.append([depth, sorted(k for k in pair[0] if pair[0][k] != pair[1][k]),
                     bool(pair[1]["exc"])])
    return {"differs": [d for d in seen if d[1]], "depths": len(seen),
            "raised": sum(1 for d in seen if d[2]), "native": None, "forced": None, "plain": None}


def first_sample():
    """Calls of rstr's xeger made by the first samples of a process (a profiler counts them)."""
    code, calls = XMOD.Xeger.xeger.__code__, []
    sys.setprofile(lambda frame, event, arg: calls.append(1)
                   if event == "call" and frame.f_code is code else None)
    counts = []
    for n in (40, 40):
        model = mod.FormattedStringModel(make_fmeta(pattern=r"[A-Z]{3}-\d{4}"))
        model.sample(n)
        counts.append(len(calls))
        calls.clear()
    sys.setprofile(None)
    return {"calls": counts}


if __name__ == "__main__":
    special = {"C budget": c_budget, "first sample": first_sample}
    print(json.dumps(special[sys.argv[1]]() if sys.argv[1] in special else run(sys.argv[1]), default=str))
