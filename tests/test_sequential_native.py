"""SequentialFormattedString.sample formats plain identifiers itself; every frame,
error, attribute read and random state must equal what the pandas pipeline gives.
The pipeline is forced by binding the module's `pd` to a module that forwards every
attribute to pandas; whether a call took the native path shows in the calls of the
pandas `zfill`, which only the pipeline makes."""
import contextlib
import functools
import importlib.util
import itertools
import sys
import types
import warnings

import numpy as np
import pandas as pd
import pytest
from pandas.core.strings.accessor import StringMethods

from conftest import ARROW, OPTIONS, arrow_type, entries, make_smeta

AFFIXES = [(None, None), ("", ""), ("ID-", None), (None, "-é"), ("Ω", "ÿ"), ("😀", "-x"), ("é", "😀Ω")]
LENGTHS = [None, -2, 0, 1, 3, 12]
NS = [0, 1, 9, 10, 11, 99, 100, 1000, 10001]
NAN_FREQS = [None, 0, 0.3, 1]
# pandas 3 still takes the option, with a deprecation warning of its own.
pytestmark = pytest.mark.filterwarnings("ignore:The 'future.infer_string' option is deprecated")


class Str(str):
    pass


@pytest.fixture
def zfills(monkeypatch):
    """Counts the pipeline's zfill calls."""
    calls = []
    original = StringMethods.zfill

    @functools.wraps(original)
    def zfill(self, width):
        calls.append(width)
        return original(self, width)

    monkeypatch.setattr(StringMethods, "zfill", zfill)
    return calls


def zfill_keeps_validity():
    """Whether the pipeline's zfill, under the options in force, gives Arrow chunks with a validity bitmap."""
    column = pd.Series(np.arange(2)).astype(str).str.zfill(2)
    if arrow_type(column) is None:
        return False
    return any(c.buffers()[0] is not None for c in column.array.__arrow_array__().chunks)


def forwarding_pandas():
    fwd = types.ModuleType("forwarding_pandas")
    fwd.__getattr__ = lambda attr: getattr(pd, attr)
    return fwd


def logged_model(mod, log):
    """A model class that logs the reads of the attributes sample uses, in order."""
    watched = {"name", "length", "prefix", "suffix", "nan_freq"}

    def __getattribute__(self, attr):
        if attr in watched:
            log.append(attr)
        return object.__getattribute__(self, attr)

    return type("Logged", (mod.SequentialFormattedString,), {"__getattribute__": __getattribute__})


def outcome(model, n, produce_nans):
    """What one call gives, in a form that compares exactly: the frame or error,
    numpy's random state after it, and the warnings it gave."""
    np.random.seed(1234)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            frame = model.sample(n, produce_nans)
        except Exception as e:  # the pipeline's error must be the same, at the same line
            frame = ("error", type(e), e.args, entries(e))
    return frame, np.random.get_state(), [(w.category, str(w.message)) for w in caught]


def check_same(mod, monkeypatch, zfills, build, n, produce_nans=True, native=True, options=(),
               own_shape=False, no_affix=False):
    """`own_shape`: the pipeline's Arrow column has a shape of its own (no chunk
    for no rows), so that under Arrow storage the column is the pipeline's; so
    too for `no_affix` rows where the pipeline's zfill keeps a validity bitmap."""
    log = []
    model = build(logged_model(mod, log))
    context = pd.option_context(*itertools.chain.from_iterable(options)) if options else None
    with context or contextlib.nullcontext():
        own_shape = (own_shape or (no_affix and zfill_keeps_validity())) and \
            arrow_type(pd.Series(np.arange(1)).astype(str)) is not None
        try:  # a first call settles the column dtype for these options
            model.sample(1, False)
        except Exception:
            pass
        del log[:], zfills[:]
        got, got_rng, got_warnings = outcome(model, n, produce_nans)
        native_reads, native_zfills = list(log), len(zfills)
        del log[:], zfills[:]
        monkeypatch.setattr(mod, "pd", forwarding_pandas())
        expected, expected_rng, expected_warnings = outcome(model, n, produce_nans)
        monkeypatch.setattr(mod, "pd", pd)
    assert len(zfills) == 1 or type(expected) is tuple  # the forced run is the pipeline
    if own_shape:
        native = False
    assert native_zfills == (0 if native else len(zfills))
    assert native_reads == log
    np.testing.assert_equal(got_rng, expected_rng)
    assert got_warnings == expected_warnings
    if type(expected) is tuple:
        assert got == expected
        return
    pd.testing.assert_frame_equal(got, expected, check_exact=True)
    assert type(got.index) is type(expected.index) is pd.RangeIndex
    assert list(got.columns) == list(expected.columns) and got.dtypes.tolist() == expected.dtypes.tolist()
    column, expected_column = got.iloc[:, 0], expected.iloc[:, 0]
    assert column.dtype == expected_column.dtype and type(column.dtype) is type(expected_column.dtype)
    assert [getattr(column.dtype, a, None) for a in ("storage", "na_value")] == [
        getattr(expected_column.dtype, a, None) for a in ("storage", "na_value")]
    # Arrow storage: the same Arrow type, chunks and buffers, and (native) written as one Arrow array
    assert arrow_type(column) == arrow_type(expected_column)
    if arrow_type(expected_column):
        import pyarrow as pa
        assert [pa.Table.from_pandas(f).column(0).num_chunks for f in (got, expected)] in ([0, 0], [1, 1])
        if not expected_column.isna().any():  # (pandas rewrites the buffers where it sets missing values)
            assert got.memory_usage().tolist() == expected.memory_usage().tolist()
    if native and arrow_type(expected_column):  # written as one Arrow array
        assert len(column.array.__arrow_array__().chunks) == 1
    # same types, and strings of the same internal form (ASCII, latin-1, UCS-2, UCS-4)
    assert [(type(v), sys.getsizeof(v)) for v in column.array] == [
        (type(v), sys.getsizeof(v)) for v in expected_column.array]
    assert [v for v in column.array if v == v] == [v for v in expected_column.array if v == v]
    return got


@pytest.mark.parametrize("options", OPTIONS, ids=str)
@pytest.mark.parametrize("length, affix, n", [
    (length, affix, n) for (length, affix), n in zip(
        itertools.product(LENGTHS, AFFIXES), itertools.cycle(NS))] + [
    (3, ("ID-", "-é"), n) for n in NS] + [(12, ("😀", "Ω"), 10001), (1, (None, None), 100),
    (3, ("Ω", None), 23456), (1, (None, "-x"), 101234)])
def test_same_frame_as_pipeline(mod, monkeypatch, zfills, options, length, affix, n):
    prefix, suffix = affix
    nan_freq = NAN_FREQS[(n + LENGTHS.index(length)) % len(NAN_FREQS)]
    native = length is not None and length >= 0
    got = check_same(mod, monkeypatch, zfills, lambda cls: cls(make_smeta("key", nan_freq), length, prefix, suffix),
                     n, native=native, options=options,
                     own_shape=n <= 0, no_affix=prefix is None and suffix is None)
    if got is not None and nan_freq is None:  # and the values are the identifiers themselves
        assert got["key"].tolist() == ["%s%s%s" % (prefix or "", str(i).zfill(length), suffix or "")
                                       for i in range(n)]


# numpy drops the trailing NULs of a text it converts, Arrow refuses a lone
# surrogate: these affixes go through the pipeline, and the frame or the error
# (at the prefix's or the suffix's line) is the pipeline's.
@pytest.mark.parametrize("options", OPTIONS, ids=str)
@pytest.mark.parametrize("prefix, suffix, native", [
    ("\x00", None, False), (None, "x\x00", False), ("\x00\x00", "é\x00", False), ("a\x00b", "\x00c", True),
    ("\ud800", None, False), (None, "é\udfff", False), ("😀\udc00", "\x00", False), ("Ω", "\ud83d", False)])
@pytest.mark.parametrize("n", [0, 12])
def test_affixes_the_pipeline_transforms(mod, monkeypatch, zfills, options, prefix, suffix, native, n):
    check_same(mod, monkeypatch, zfills, lambda cls: cls(make_smeta("key", 0.3), 3, prefix, suffix),
               n, native=native, options=options, own_shape=n <= 0)


@pytest.mark.parametrize("options", sorted({OPTIONS[0], OPTIONS[-1]}), ids=str)
@pytest.mark.parametrize("n", [0, 10, -3])
@pytest.mark.parametrize("nan_freq", NAN_FREQS + [0.5, -1])
@pytest.mark.parametrize("produce_nans", [True, False])
def test_missing_values_as_pipeline(mod, monkeypatch, zfills, options, n, nan_freq, produce_nans):
    check_same(mod, monkeypatch, zfills, lambda cls: cls(make_smeta("key", nan_freq), 4, "a", "z"),
               n, produce_nans, options=options, own_shape=n <= 0)


@pytest.mark.parametrize("attr, value, native", [
    ("prefix", Str("p"), False), ("suffix", Str("s"), False), ("prefix", 5, False), ("suffix", b"x", False),
    ("length", True, False), ("length", 10 ** 30, False), ("length", 5000, False), ("length", -1, False),
    ("length", None, False), ("length", 2.0, False), ("length", np.int64(3), False), ("length", 4096, True),
    ("name", ["unhashable"], False), ("name", ("t", 1), False), ("name", 7, True), ("name", None, True),
    ("name", Str("k"), False), ("prefix", "é" * 300, True), ("suffix", "", True)],
    ids=lambda v: repr(v)[:20] if isinstance(v, str) else None)
def test_rebound_attributes(mod, monkeypatch, zfills, attr, value, native):
    def build(cls):
        model = cls(make_smeta("key", 0.3), 3, "P", "S")
        if attr == "name":
            model._meta.name = value
        else:
            setattr(model, attr, value)
        return model

    check_same(mod, monkeypatch, zfills, build, 12, native=native)


@pytest.mark.parametrize("n", [2 ** 45, 2 ** 62, 2 ** 70, -(2 ** 70)])
def test_out_of_range_n_goes_to_pipeline(mod, monkeypatch, zfills, n):
    check_same(mod, monkeypatch, zfills, lambda cls: cls(make_smeta("key"), 2), n, False, native=False)


def test_other_numpy_goes_to_pipeline(mod, monkeypatch, zfills):
    fwd = types.ModuleType("forwarding_numpy")
    fwd.__getattr__ = lambda attr: getattr(np, attr)
    monkeypatch.setattr(mod, "np", fwd)
    frame = mod.SequentialFormattedString(make_smeta("key"), 2, "a").sample(3)
    assert frame["key"].tolist() == ["a00", "a01", "a02"] and zfills == [2]
    monkeypatch.setattr(np, "arange", lambda *a: np.array([5, 6]))  # a patched numpy is not the real one either
    monkeypatch.setattr(mod, "np", np)
    assert mod.SequentialFormattedString(make_smeta("key"), 2).sample(2)["key"].tolist() == ["05", "06"]
    assert zfills == [2, 2]
