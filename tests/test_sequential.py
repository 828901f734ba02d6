"""Behaviour of SequentialFormattedString: construction, categories, sampling, restoring."""
import collections
import re
import types
import typing

import numpy as np
import pandas as pd
import pytest

from conftest import TEXT_DTYPE, entries, make_smeta
from fakes import Boom, FakeNp, Meta, NanFails, NoFrame, Probe, Reads, fail, rng_state
from vandrel.metadata.value import String
from vandrel.model.exceptions import ModelNotFittedError

Q = "vandrel.model.models.string.SequentialFormattedString."
FULL = {"prefix": "p", "suffix": "s", "length": 1}


def ids(n, length, prefix=None, suffix=None):
    return ["%s%s%s" % (prefix or "", str(i).zfill(length), suffix or "") for i in range(n)]


@pytest.fixture
def probed(mod):
    Probe.calls, Probe.fail = [], None
    return type("Probed", (mod.SequentialFormattedString, Probe), {})


class Counted:
    """Data descriptor counting reads; the reads numbered in `fail_on` raise."""

    def __init__(self, fail_on=()):
        self.reads, self.fail_on = 0, fail_on

    def __set_name__(self, owner, name):
        self.key = "_c_" + name

    def __get__(self, obj, owner=None):
        if obj is None:
            return self
        self.reads += 1
        if self.reads in self.fail_on:
            raise ArithmeticError("read")
        return obj.__dict__[self.key]

    def __set__(self, obj, value):
        obj.__dict__[self.key] = value


# --- construction and categories ----------------------------------------------------------------

@pytest.mark.parametrize("length, prefix, suffix", [
    (None, None, None), (4, "ID-", None), (0, "", ""), (-3, None, "x"), (12, "p" * 50, "s")])
def test_init_stores_as_passed(probed, length, prefix, suffix):
    meta = make_smeta()
    for model in (probed(meta, length, prefix, suffix),
                  probed(suffix=suffix, meta=meta, length=length, prefix=prefix)):
        assert model._meta is meta
        assert model.length is length and model.prefix is prefix and model.suffix is suffix
    assert Probe.calls == [((), {"meta": meta})] * 2


def test_init_type_error_before_body(probed):
    with pytest.raises(TypeError, match=r"^Argument 'length' has incorrect type \(expected int, got float\)$"):
        probed(make_smeta(), 2.0, 5)
    assert Probe.calls == []


@pytest.mark.parametrize("before, after, fitted", [
    (None, None, False), (None, 0.5, False), (0, None, True), (0.0, None, True), (0.25, 0.25, True), (-1, None, True)])
def test_fitted_decided_once(mod, before, after, fitted):
    meta = make_smeta(nan_freq=before)
    model = mod.SequentialFormattedString(meta, 3)
    meta.nan_freq = after
    assert model._fitted is fitted and model.fitted is fitted


@pytest.mark.parametrize("fail_on, line, done", [
    ("length", 83, []), ("prefix", 84, ["length"]), ("suffix", 85, ["length", "prefix"]),
    ("_fitted", 88, ["length", "prefix", "suffix"])])
def test_init_assignment_lines(mod, fail_on, line, done):
    def __setattr__(self, name, value):
        self.__dict__.setdefault("_sets", []).append(name)
        if name == fail_on and value is not False:  # the host base sets _fitted to False first
            fail(name)
        object.__setattr__(self, name, value)

    cls = type("Hooked", (mod.SequentialFormattedString,), {"__setattr__": __setattr__})
    model = cls.__new__(cls)
    with pytest.raises(ArithmeticError, match="^%s$" % fail_on) as ei:
        model.__init__(make_smeta(nan_freq=0.1), 2, "p", "s")
    assert entries(ei.value) == [(Q + "__init__", line)]
    assert model._sets[-len(done) - 1:] == done + [fail_on]
    assert [model.__dict__[n] for n in done] == [2, "p", "s"][:len(done)]


@pytest.mark.parametrize("case, line", [("base", 82), ("nan_freq", 87)])
def test_init_failure_lines(probed, case, line):
    Probe.fail = ArithmeticError("base") if case == "base" else None
    with pytest.raises(ArithmeticError, match="^%s$" % case) as ei:
        probed(Meta(nan_freq=Reads(ArithmeticError("nan_freq"))), 1)
    assert entries(ei.value) == [(Q + "__init__", line)]


def test_categories(mod):
    meta = make_smeta(categories=None)
    model = mod.SequentialFormattedString(meta, 2)
    with pytest.raises(ModelNotFittedError) as ei:
        model.categories
    assert type(ei.value) is ModelNotFittedError and ei.value.args == ()
    assert entries(ei.value) == [(Q + "categories", 93)]
    for cats in ([], ["00", "01"], ("a",)):
        meta.categories = cats
        assert model.categories is cats
    with pytest.raises(AttributeError):
        model.categories = ["b"]
    with pytest.raises(AttributeError):
        del model.categories


# --- sampling -----------------------------------------------------------------------------------

@pytest.mark.parametrize("length, prefix, suffix, n, expected", [
    (4, "ID-", None, 3, ["ID-0000", "ID-0001", "ID-0002"]),
    (1, None, None, 12, [str(i) for i in range(12)]),
    (2, None, "-x", 3, ["00-x", "01-x", "02-x"]),
    (3, "", "", 2, ["000", "001"]),
    (0, None, None, 3, ["0", "1", "2"]),
    (-2, "<", ">", 2, ["<0>", "<1>"]),
    (2, "p", "s", 120, ids(120, 2, "p", "s")),
])
def test_sample_values(mod, length, prefix, suffix, n, expected):
    model = mod.SequentialFormattedString(make_smeta(name="key", nan_freq=0.9), length, prefix, suffix)
    df = model.sample(n, produce_nans=False)
    assert isinstance(df, pd.DataFrame) and list(df.columns) == ["key"]
    pd.testing.assert_index_equal(df.index, pd.RangeIndex(n))
    assert df["key"].tolist() == expected and df["key"].dtype == TEXT_DTYPE


@pytest.mark.parametrize("n", [0, -1, -7])
def test_sample_no_rows(mod, monkeypatch, n):
    model = mod.SequentialFormattedString(make_smeta(name="key", nan_freq=0.5), 3, "a", "b")
    df = model.sample(n, produce_nans=False)
    assert df.shape == (0, 1) and list(df.columns) == ["key"]
    if n == 0:  # the draw still happens, with size 0
        log = []
        monkeypatch.setattr(mod, "np", FakeNp(log))
        assert model.sample(0).shape == (0, 1) and log == [("binomial", (1,), [("p", 0.5), ("size", 0)])]


def test_sample_reads_current_attributes(mod):
    model = mod.SequentialFormattedString(make_smeta(), 1)
    model.length, model.prefix, model.suffix = 3, "n", "!"
    assert model.sample(2)["ident"].tolist() == ["n000!", "n001!"]


@pytest.mark.parametrize("prefix, suffix", [("p", "s"), (None, "s"), ("p", None), (None, None)])
def test_sample_reads_prefix_suffix(mod, prefix, suffix):
    sub = type("Sub", (mod.SequentialFormattedString,), {a: Counted() for a in ("length", "prefix", "suffix")})
    sub(make_smeta(), 2, prefix, suffix).sample(3)
    twice = (1 + (prefix is not None), 1 + (suffix is not None))
    assert (sub.length.reads, (sub.prefix.reads, sub.suffix.reads)) == (1, twice)


@pytest.mark.parametrize("case, line", [
    ("name", 104), ("arange", 104), ("length 1", 105), ("prefix 1", 107), ("prefix 2", 108),
    ("suffix 1", 110), ("suffix 2", 111), ("truth", 113), ("compare", 113), ("nan_freq", 113),
    ("binomial", 114), ("nan", 115), ("frame", 117)])
def test_sample_failure_lines(mod, monkeypatch, case, line):
    attr, _, nth = case.partition(" ")
    counted = {a: Counted((int(nth),) if a == attr else ()) for a in ("length", "prefix", "suffix")}
    meta, produce_nans, message = Meta(nan_freq=0.5), True, "read" if nth else case
    model = type("Sub", (mod.SequentialFormattedString,), counted)(meta, 2, "p", "s")
    if case in ("name", "nan_freq"):
        meta._attrs[case] = Reads(ArithmeticError(case))
    elif case == "arange":
        monkeypatch.setattr(mod, "np", types.SimpleNamespace(arange=lambda *a: fail("arange")))
    elif case == "truth":
        produce_nans = Boom()
    elif case == "compare":
        meta._attrs["nan_freq"] = Boom()
    elif case in ("binomial", "nan"):
        fake = NanFails([]) if case == "nan" else FakeNp([])
        if case == "binomial":
            fake.random = types.SimpleNamespace(binomial=lambda *a, **k: fail("binomial"))
        monkeypatch.setattr(mod, "np", fake)
    elif case == "frame":
        monkeypatch.setattr(mod, "pd", types.SimpleNamespace(Series=NoFrame))
        produce_nans = False
    with pytest.raises(ArithmeticError, match="^%s$" % message) as ei:
        model.sample(3, produce_nans)
    assert entries(ei.value) == [(Q + "sample", line)]


@pytest.mark.parametrize("n, nan_freq, length, line", [
    (3, 0.5, None, 105), (3, 2, 2, 114), (3, 1.5, 2, 114), (-2, 0.5, 2, 114)])
def test_sample_dependency_refuses(mod, n, nan_freq, length, line):
    with pytest.raises((TypeError, ValueError)) as expected:  # the dependency's own refusal
        pd.Series(["0"]).str.zfill(length)
        np.random.binomial(1, p=nan_freq, size=n)
    with pytest.raises(type(expected.value)) as ei:
        mod.SequentialFormattedString(make_smeta(nan_freq=nan_freq), length).sample(n)
    assert str(ei.value) == str(expected.value)
    assert entries(ei.value) == [(Q + "sample", line)]


@pytest.mark.parametrize("produce_nans, nan_freq, reads", [
    (False, 1.0, 0), (None, 1.0, 0), (0, 1.0, 0), ((), 1.0, 0),
    (True, None, 1), (True, 0, 2), (True, 0.0, 2), (True, -0.5, 2)])
def test_sample_without_nans_leaves_rng(mod, produce_nans, nan_freq, reads):
    meta = Meta(name="key", nan_freq=nan_freq)
    model = mod.SequentialFormattedString(meta, 3, "#")
    meta.reads.clear()
    np.random.seed(4)
    before = rng_state()
    df = model.sample(20, produce_nans=produce_nans)
    assert rng_state() == before
    assert df["key"].tolist() == ids(20, 3, "#") and meta.reads["nan_freq"] == reads


def test_sample_binomial_call(mod, monkeypatch):
    log, meta = [], Meta(name="key", nan_freq=0.25)
    model = mod.SequentialFormattedString(meta, 2, "a", "z")
    meta.reads.clear()
    monkeypatch.setattr(mod, "np", FakeNp(log, mask=[0, 1, 0, 1, 1]))
    values = model.sample(5)["key"]
    assert log == [("binomial", (1,), [("p", 0.25), ("size", 5)])] and meta.reads["nan_freq"] == 3
    assert [None if pd.isna(v) else v for v in values] == ["a00z", None, "a02z", None, None]
    monkeypatch.undo()
    meta._attrs["nan_freq"] = 1
    df = model.sample(6)
    assert df.shape == (6, 1) and list(df.columns) == ["key"] and df["key"].isna().all()


def test_sample_mask_from_numpy_rng(mod):
    model = mod.SequentialFormattedString(make_smeta(name="key", nan_freq=0.4), 3, "x", "y")
    np.random.seed(17)
    values = model.sample(50)["key"]
    np.random.seed(17)
    mask = np.random.binomial(1, p=0.4, size=50) == 1
    assert 0 < mask.sum() < 50 and values.isna().tolist() == mask.tolist()
    assert values[~mask].tolist() == [v for v, m in zip(ids(50, 3, "x", "y"), mask) if not m]
    np.random.seed(17)
    pd.testing.assert_frame_equal(model.sample(50), values.to_frame())


# --- from_dict ----------------------------------------------------------------------------------

def smeta_dict(**kw):
    return make_smeta(**kw).to_dict()


@pytest.mark.parametrize("settings, expected", [
    ({}, (None, None, None)), ({"prefix": None, "suffix": None, "length": None}, (None, None, None)),
    ({"other": 1, "pattern": "x"}, (None, None, None)), ({"prefix": "P", "suffix": "", "length": 3}, ("P", "", 3))])
def test_from_dict_settings(mod, settings, expected):
    meta = make_smeta(name="col", nan_freq=0, categories=["a"])
    model = mod.SequentialFormattedString.from_dict(dict(settings, meta=meta.to_dict(), junk=object()))
    assert type(model) is mod.SequentialFormattedString and type(model._meta) is String
    assert model._meta.to_dict() == meta.to_dict() and model._fitted is True
    assert (model.prefix, model.suffix, model.length) == expected
    if expected[2] is not None:
        assert model.sample(2, produce_nans=False)["col"].tolist() == ["P000", "P001"]


@pytest.mark.parametrize("key, value, expected", [
    ("length", 3.0, "'length' has incorrect type (expected int, got float)"),
    ("length", "3", "'length' has incorrect type (expected int, got str)"),
    ("length", True, "'length' has incorrect type (expected int, got bool)"),
    ("prefix", 5, "'prefix' has incorrect type (expected str, got int)"),
    ("suffix", 1.5, "'suffix' has incorrect type (expected str, got float)")])
def test_from_dict_wrong_setting_types(mod, key, value, expected):
    with pytest.raises(TypeError) as ei:
        mod.SequentialFormattedString.from_dict({"meta": smeta_dict(), key: value})
    assert str(ei.value) == "Argument " + expected
    assert entries(ei.value) == [(Q + "from_dict", 123)]


@pytest.mark.parametrize("kind", [collections.OrderedDict, collections.defaultdict, type("UserDict", (dict,), {})])
def test_from_dict_refuses_dict_subclasses(mod, kind):
    d = kind()
    d["meta"] = smeta_dict()
    with pytest.raises(TypeError) as ei:
        mod.SequentialFormattedString.from_dict(d)
    assert re.fullmatch(r"Argument 'd' has incorrect type \(expected dict, got (collections\.)?%s\)"
                        % kind.__name__, str(ei.value))


@pytest.mark.parametrize("d", [{}, dict(FULL)])
def test_from_dict_missing_meta(mod, monkeypatch, d):
    calls = []
    monkeypatch.setattr(mod, "String", types.SimpleNamespace(from_dict=calls.append))
    with pytest.raises(KeyError) as ei:
        mod.SequentialFormattedString.from_dict(d)
    assert ei.value.args == ("meta",) and calls == []
    assert entries(ei.value) == [(Q + "from_dict", 121)]


def test_from_dict_reads_keys_in_order(mod, monkeypatch):
    log, inner = [], {"m": 1}
    d = {"meta": inner, "prefix": "old", "suffix": "old", "length": 1}

    def cast(typ, value):
        log.append(("cast", typ, value))
        if value == "P-":
            d["length"] = 6  # the later reads see the change
        return value

    def from_dict(meta_dict):
        log.append(("String.from_dict", meta_dict))
        d.update(prefix="P-")
        del d["suffix"]
        return make_smeta(name="traced")

    monkeypatch.setattr(mod, "cast", cast)
    monkeypatch.setattr(mod, "String", types.SimpleNamespace(from_dict=from_dict))
    model = mod.SequentialFormattedString.from_dict(d)
    opt = typing.Optional
    assert log == [("cast", typing.Dict[str, object], inner), ("String.from_dict", inner),
                   ("cast", opt[str], "P-"), ("cast", opt[str], None), ("cast", opt[int], 6)]
    assert (model.name, model.prefix, model.suffix, model.length) == ("traced", "P-", None, 6)


def test_from_dict_globals_looked_up_per_use(mod, monkeypatch):
    seen = []

    def rebinding(tag, name, then):
        def use(*args):
            seen.append(tag)
            if then is not None:
                monkeypatch.setattr(mod, name, then)
            return args[-1]
        return use

    casts = None
    for i in (4, 3, 2, 1):
        casts = rebinding("cast%d" % i, "cast", casts)
    opts = None
    for i in (3, 2, 1):
        opts = type("Opt", (), {"__getitem__": staticmethod(rebinding("opt%d" % i, "Optional", opts))})()
    monkeypatch.setattr(mod, "cast", casts)
    monkeypatch.setattr(mod, "Optional", opts)
    model = mod.SequentialFormattedString.from_dict(dict(FULL, meta=smeta_dict()))
    assert seen == ["cast1", "opt1", "cast2", "opt2", "cast3", "opt3", "cast4"]
    assert (model.prefix, model.suffix, model.length) == ("p", "s", 1)


def test_from_dict_constructor_keywords(mod):
    seen = []

    class Sub(mod.SequentialFormattedString):
        def __init__(self, *args, **kwargs):
            seen.append((args, list(kwargs)))
            super().__init__(*args, **kwargs)

    model = Sub.from_dict({"length": 2, "suffix": "s", "meta": smeta_dict(), "prefix": "p"})
    again = model.from_dict({"meta": smeta_dict()})
    assert type(model) is Sub and type(again) is Sub and again is not model
    assert (model.prefix, model.suffix, model.length) == ("p", "s", 2)
    assert seen == [((), ["meta", "prefix", "suffix", "length"])] * 2


@pytest.mark.parametrize("case, line", [
    ("cast 1", 121), ("host", 122), ("ctor", 123), ("kwarg", 123), ("cast 2", 125), ("cast 3", 126), ("cast 4", 127)])
def test_from_dict_failure_lines(mod, monkeypatch, case, line):
    cls, d, calls = mod.SequentialFormattedString, dict(FULL, meta=smeta_dict()), []
    message = {"host": "String.from_dict expects a dict, got NoneType", "ctor": "ctor",
               "kwarg": "<lambda>() got an unexpected keyword argument 'prefix'"}.get(case, "cast")
    if case.startswith("cast"):
        def cast(typ, value):
            calls.append(typ)
            return fail("cast") if len(calls) == int(case[-1]) else value
        monkeypatch.setattr(mod, "cast", cast)
    elif case == "host":
        d["meta"] = None
    elif case == "ctor":
        cls = type("Failing", (cls,), {"__init__": lambda self, **kw: fail("ctor")})
    else:
        cls = type("NoPrefix", (cls,), {"__init__": lambda self, meta, length, suffix: None})
    with pytest.raises((ArithmeticError, TypeError)) as ei:
        cls.from_dict(d)
    assert str(ei.value).endswith(message)  # the lambda by its qualified name from 3.10 on
    assert entries(ei.value) == [(Q + "from_dict", line)]
