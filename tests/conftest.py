"""Shared fixtures and helpers for the string-model tests."""
import importlib.util
import os
import re
import sys
import traceback

import pandas as pd
import pytest

from vandrel.metadata.value import FormattedString, String

MODULE = "vandrel.model.models.string"
SOURCE = "vandrel/model/models/string"

# What differs between the interpreters and pandas versions the tests run on,
# in one place.
PY = sys.version_info[:2]
PANDAS3 = int(pd.__version__.split(".")[0]) >= 3
# The dtype pandas gives a column of texts: object up to pandas 2, "str" on 3.
TEXT_DTYPE = "str" if PANDAS3 else object
# Allocation failures injected everywhere: from 3.11 on the interpreter itself
# loses some of them or crashes, in plain Python code as well (a Python function
# doing what a member does under the same sweep), so the sweep tells nothing there.
OOM_SWEEP = PY < (3, 11)


# pandas options that decide a text column's dtype and storage: none set, then
# future.infer_string and mode.string_storage (Arrow ones where pyarrow is installed).
ARROW = importlib.util.find_spec("pyarrow") is not None
INFER = [(), (("future.infer_string", False),), (("future.infer_string", True),)][
    :3 if "infer_string" in dir(pd.options.future) else 1]
STORAGE = [(("mode.string_storage", s),) for s in ["python"] + ["pyarrow"] * ARROW]
OPTIONS = INFER + STORAGE + [INFER[-1] + st for st in STORAGE if len(INFER) > 1]


def arrow_type(column):
    """The Arrow type of a column's values, None when they are not kept in Arrow."""
    if not str(getattr(column.dtype, "storage", "")).startswith("pyarrow"):
        return None
    return str(column.array.__arrow_array__().type)


@pytest.fixture(scope="session")
def mod():
    import importlib

    return importlib.import_module(MODULE)


def _line_table():
    """The source lines traceback entries show, by name: the module's own table
    (frame/lines.hpp, X(name, line) entries), shared with the frame code."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "src", "vandrel",
                        "model", "models", "frame", "lines.hpp")
    with open(path, encoding="utf-8") as f:
        return {name: int(line) for name, line in re.findall(r"X\((\w+), (\d+)\)", f.read())}


LINES = _line_table()


def entries(exc):
    """(function name, line) of every traceback entry in the module's source file."""
    return [(fs.name, fs.lineno) for fs in traceback.extract_tb(exc.__traceback__)
            if fs.filename == SOURCE]


def make_fmeta(pattern=r"[A-Z]{3}-\d{4}", name="code", nan_freq=None, categories=None):
    return FormattedString(name, nan_freq=nan_freq, categories=categories, pattern=pattern)


def make_smeta(name="ident", nan_freq=None, categories=None):
    return String(name, nan_freq=nan_freq, categories=categories)


# Long runs of the reliability checks (leaks, faults, hostile input, threads):
# `make asan` sets VANDREL_SLOW=1; `make test` runs the same checks, shorter.
SLOW = os.environ.get("VANDREL_SLOW", "") not in ("", "0")


def scaled(fast, slow):
    return slow if SLOW else fast
