"""Shared fixtures and helpers for the string-model tests."""
import os
import traceback

import pytest

from vandrel.metadata.value import FormattedString, String

MODULE = "vandrel.model.models.string"
SOURCE = "vandrel/model/models/string"


@pytest.fixture(scope="session")
def mod():
    import importlib

    return importlib.import_module(MODULE)


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
