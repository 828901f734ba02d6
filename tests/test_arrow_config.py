"""Arrow columns under what a user changes during a sample: the options in force
when the pandas steps build the column, and the functions they reach. Each
case against the steps themselves (pandas reached through a forwarding module,
which the native paths do not take for pandas)."""
import random
import types

import numpy as np
import pandas as pd
import pytest
from conftest import ARROW, PANDAS3, arrow_type, make_fmeta, make_smeta

pytestmark = [pytest.mark.skipif(not ARROW, reason="Arrow storage needs pyarrow"),
              pytest.mark.filterwarnings("ignore:The 'future.infer_string' option is deprecated")]

# The options that put text in Arrow, and the change that takes it out again.
ARROW_ON = ("mode.string_storage", "pyarrow") if PANDAS3 else ("future.infer_string", True)
ARROW_OFF = ("mode.string_storage", "python") if PANDAS3 else ("future.infer_string", False)


def forwarding_pandas():
    fwd = types.ModuleType("forwarding_pandas")
    fwd.__getattr__ = lambda attr: getattr(pd, attr)
    return fwd


def frame_of(mod, monkeypatch, make, forced, patch):
    with pd.option_context(*ARROW_ON):
        make().sample(3)  # the storage is probed before any change
        with monkeypatch.context() as m:
            if forced:
                m.setattr(mod, "pd", forwarding_pandas())
            calls = patch(m)
            random.seed(0)
            np.random.seed(0)
            frame = make().sample(40, False)
    column = frame.iloc[:, 0]
    return (str(column.dtype), type(column.dtype), arrow_type(column), column.tolist(), calls)


def options_flipped_by_name(cls, *args):
    """A model whose `name`, read while the column is made, changes the options."""
    class Flipping(cls):
        @property
        def name(self):
            pd.set_option(*ARROW_OFF)
            return "c"
    return lambda: Flipping(*args)


def counting_pa_array(m):
    import pyarrow as pa
    calls, original = [], pa.array

    def array(*args, **kwargs):
        calls.append(1)
        return original(*args, **kwargs)
    m.setattr(pa, "array", array)
    return calls


def upper_series_init(m):
    calls, original = [], pd.Series.__init__

    def __init__(self, data=None, *args, **kwargs):
        calls.append(1)
        if isinstance(data, list):
            data = [v.upper() if isinstance(v, str) else v for v in data]
        original(self, data, *args, **kwargs)
    m.setattr(pd.Series, "__init__", __init__)
    return calls


def counting_from_arrow(m):
    calls, original = [], pd.StringDtype.__from_arrow__

    def __from_arrow__(self, array):
        calls.append(1)
        return original(self, array)
    m.setattr(pd.StringDtype, "__from_arrow__", __from_arrow__)
    return calls


PATCHES = {"pa.array": counting_pa_array, "Series.__init__": upper_series_init,
           "StringDtype.__from_arrow__": counting_from_arrow}
FORMATTED = (lambda mod: mod.FormattedStringModel, lambda: (make_fmeta(pattern=r"[a-c]{2}\d"),))
SEQUENTIAL = (lambda mod: mod.SequentialFormattedString, lambda: (make_smeta(), 3, "id-", None))


@pytest.mark.parametrize("model", [FORMATTED, SEQUENTIAL], ids=["formatted", "sequential"])
@pytest.mark.parametrize("change", ["options"] + sorted(PATCHES))
def test_arrow_column_as_the_steps_make_it(mod, monkeypatch, model, change):
    cls_of, args_of = model
    cls = cls_of(mod)
    if change == "options":
        make, patch = options_flipped_by_name(cls, *args_of()), lambda m: []
    else:
        make = lambda: cls(*args_of())  # noqa: E731
        patch = PATCHES[change]
    native = frame_of(mod, monkeypatch, make, False, patch)
    steps = frame_of(mod, monkeypatch, make, True, patch)
    assert native == steps
