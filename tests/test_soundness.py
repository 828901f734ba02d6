"""Loops that never leave the module, pandas' chained-assignment check, and
copying or pickling the members' function objects."""
import contextlib
import copy
import json
import os
import pickle
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pandas as pd
import pytest

from conftest import MODULE, PANDAS3, make_fmeta, make_smeta

# --- recursion --------------------------------------------------------------------------------

# Each case builds a loop in the child and names the (member, line) that every
# entry of the RecursionError's traceback must carry (first entry, then the rest).
LOOPS = {
    "pattern": ("m = F(fm()); m._meta = m", "m.pattern", ("pattern", 37), ("pattern", 37)),
    "categories": ("m = F(fm()); m._meta = m", "m.categories", ("categories", 30), ("categories", 30)),
    "sample": ("m = F(fm()); m._meta = m", "m.sample(2)", ("sample", 48), ("pattern", 37)),
    "two models": ("a, b = F(fm()), F(fm()); a._meta, b._meta = b, a", "a.pattern",
                   ("pattern", 37), ("pattern", 37)),
    "sequential": ("m = S(sm()); m._meta = m", "m.categories", ("categories", 92), ("categories", 92)),
    "host init": ("H = type('H', (F.__mro__[1],), {'__init__': F.__init__}); M = type('M', (F, H), {})",
                  "M(fm())", ("__init__", 26), ("__init__", 26)),
}

CHILD = """
import json, sys, traceback
sys.path.insert(0, {tests!r})
from conftest import entries, make_fmeta as fm, make_smeta as sm
from {module} import FormattedStringModel as F, SequentialFormattedString as S
{setup}
out = {{"limit": sys.getrecursionlimit()}}
try:
    {call}
except RecursionError as e:
    out["message"] = str(e)
    out["entries"] = [[name.rsplit(".", 1)[-1], line] for name, line in entries(e)]
# the process goes on working
out["after"] = F(fm(pattern="ab")).sample(2).iloc[:, 0].tolist()
print(json.dumps(out))
"""


@pytest.mark.parametrize("case", sorted(LOOPS))
def test_loop_inside_the_module_raises_recursion_error(case):
    setup, call, first, rest = LOOPS[case]
    script = CHILD.format(tests=os.path.dirname(os.path.abspath(__file__)), module=MODULE, setup=setup, call=call)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    out = json.loads(proc.stdout)
    assert out["message"].startswith("maximum recursion depth exceeded")
    found = out["entries"]
    assert found[0] == list(first) and all(e == list(rest) for e in found[1:]), found[:3]
    # every member on the way counts one step, as a Python frame would
    assert out["limit"] - 60 <= len(found) <= out["limit"], len(found)
    assert out["after"] == ["ab", "ab"]


# --- pandas' chained-assignment check ---------------------------------------------------------

# pandas 2 has the modes; on pandas 3 copy-on-write is the only one
COW_MODES = [None] if PANDAS3 else [False, True, "warn"]


@pytest.mark.parametrize("mode", COW_MODES)
@pytest.mark.parametrize("n", [0, 4])
@pytest.mark.parametrize("which", ["formatted", "sequential"])
def test_missing_values_are_assigned_without_warning(mod, mode, n, which):
    model = (mod.FormattedStringModel(make_fmeta(pattern="x", nan_freq=1)) if which == "formatted"
             else mod.SequentialFormattedString(make_smeta(nan_freq=1), 3))
    options = contextlib.nullcontext() if mode is None else pd.option_context("mode.copy_on_write", mode)
    with options, warnings.catch_warnings():
        warnings.simplefilter("error")
        frame = model.sample(n)
    assert len(frame) == n and frame.iloc[:, 0].isna().all()


# --- copy and pickle --------------------------------------------------------------------------

def members(mod):
    for cls in (mod.FormattedStringModel, mod.SequentialFormattedString):
        for name, attr in vars(cls).items():
            if isinstance(attr, property):
                yield attr.fget, False
            elif isinstance(attr, classmethod):
                yield attr.__func__, False
            elif callable(attr):
                yield attr, True


def test_members_copy_as_themselves_and_pickle_by_name(mod):
    found = list(members(mod))
    assert len(found) == 9
    for func, by_name in found:
        assert copy.copy(func) is func and copy.deepcopy(func) is func
        assert copy.deepcopy({"f": [func]})["f"][0] is func
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            if by_name:
                assert pickle.loads(pickle.dumps(func, protocol)) is func
            else:  # its qualified name leads to a property or a bound method
                with pytest.raises(pickle.PicklingError, match="not the same object as " + MODULE):
                    pickle.dumps(func, protocol)


def test_models_still_pickle(mod):
    for model in (mod.FormattedStringModel(make_fmeta()),
                  mod.SequentialFormattedString(make_smeta(), 4, "a", "b")):
        back = pickle.loads(pickle.dumps(model))
        assert type(back) is type(model) and vars(back).keys() == vars(model).keys()
