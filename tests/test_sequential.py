"""Behaviour of SequentialFormattedString: construction, categories, sampling, restoring."""
import collections
import re
import types
import typing

import numpy as np
import pandas as pd
import pytest

from conftest import entries, make_smeta
from vandrel.metadata.value import String
from vandrel.model.base import DiscreteModel
from vandrel.model.exceptions import ModelNotFittedError

Q = "vandrel.model.models.string.SequentialFormattedString."


def ids(n, length, prefix=None, suffix=None):
    return ["%s%s%s" % (prefix or "", str(i).zfill(length), suffix or "") for i in range(n)]


def rng_state():
    kind, keys, pos, has_gauss, cached = np.random.get_state()
    return kind, keys.tolist(), pos, has_gauss, cached


class Probe(DiscreteModel):
    """Sits right after the model class in the MRO and records the base call."""

    calls = []
    fail = None

    def __init__(self, *args, **kwargs):
        Probe.calls.append((args, kwargs))
        if Probe.fail is not None:
            raise Probe.fail
        super().__init__(*args, **kwargs)


@pytest.fixture
def probed(mod):
    Probe.calls, Probe.fail = [], None
    return type("ProbedSequential", (mod.SequentialFormattedString, Probe), {})


class Counted:
    """Data descriptor counting reads; the reads listed in `fail_on` raise."""

    def __init__(self, fail_on=()):
        self.reads, self.fail_on = 0, fail_on

    def __set_name__(self, owner, name):
        self.key = "_c_" + name

    def __get__(self, obj, owner=None):
        if obj is None:
            return self
        self.reads += 1
        if self.reads in self.fail_on:
            raise ArithmeticError("read %d" % self.reads)
        return obj.__dict__[self.key]

    def __set__(self, obj, value):
        obj.__dict__[self.key] = value


class Meta:
    """Metadata stand-in counting reads of `nan_freq` and able to fail on `name`."""

    def __init__(self, name="ident", nan_freq=None, categories=None, fail=None):
        self._name, self._nan, self.categories, self.fail, self.nan_reads = name, nan_freq, categories, fail, 0

    @property
    def name(self):
        if self.fail == "name":
            raise ArithmeticError("name")
        return self._name

    @property
    def nan_freq(self):
        self.nan_reads += 1
        if self.fail == "nan_freq":
            raise ArithmeticError("nan_freq")
        return self._nan


class FakeNp:
    """numpy stand-in: real numpy except for a recorded (and optionally forced) binomial."""

    def __init__(self, log, mask=None):
        self.log, self.mask = log, mask
        self.random = types.SimpleNamespace(binomial=self._binomial)

    def __getattr__(self, name):
        return getattr(np, name)

    def _binomial(self, *args, **kwargs):
        self.log.append((args, list(kwargs.items())))
        return np.asarray(self.mask) if self.mask is not None else np.zeros(kwargs["size"], dtype=int)


# --- construction -------------------------------------------------------------------------

@pytest.mark.parametrize("length, prefix, suffix", [
    (None, None, None), (4, "ID-", None), (0, "", ""), (-3, None, "x"), (12, "p" * 50, "s")])
def test_init_stores_as_passed(mod, length, prefix, suffix):
    meta = make_smeta()
    model = mod.SequentialFormattedString(meta, length, prefix, suffix)
    assert model._meta is meta
    assert model.length is length and model.prefix is prefix and model.suffix is suffix
    kw = mod.SequentialFormattedString(suffix=suffix, meta=meta, length=length, prefix=prefix)
    assert (kw.length, kw.prefix, kw.suffix) == (length, prefix, suffix)


@pytest.mark.parametrize("by_keyword", [False, True])
def test_init_hands_meta_to_base_as_keyword(probed, by_keyword):
    meta = make_smeta()
    if by_keyword:
        model = probed(length=3, meta=meta, suffix="s")
    else:
        model = probed(meta, 3, None, "s")
    assert Probe.calls == [((), {"meta": meta})]
    assert (model._meta, model.length, model.prefix, model.suffix) == (meta, 3, None, "s")


def test_init_type_error_before_body(probed):
    with pytest.raises(TypeError, match=r"^Argument 'length' has incorrect type \(expected int, got float\)$"):
        probed(make_smeta(), 2.0, 5)
    assert Probe.calls == []


@pytest.mark.parametrize("nan_freq, fitted", [(None, False), (0, True), (0.0, True), (0.25, True), (-1, True)])
def test_fitted_flag(mod, nan_freq, fitted):
    model = mod.SequentialFormattedString(make_smeta(nan_freq=nan_freq), 3)
    assert model._fitted is fitted and model.fitted is fitted


@pytest.mark.parametrize("before, after", [(None, 0.5), (0.5, None)])
def test_fitted_decided_once(mod, before, after):
    meta = make_smeta(nan_freq=before)
    model = mod.SequentialFormattedString(meta, 3)
    meta.nan_freq = after
    assert model._fitted is (before is not None)


def _recording_setattr(fail):
    def __setattr__(self, name, value):
        self.__dict__.setdefault("_sets", []).append(name)
        if name == fail and (name != "_fitted" or value is True):
            raise ArithmeticError(name)
        object.__setattr__(self, name, value)
    return __setattr__


@pytest.mark.parametrize("fail, line, done", [
    ("length", 83, []), ("prefix", 84, ["length"]), ("suffix", 85, ["length", "prefix"]),
    ("_fitted", 88, ["length", "prefix", "suffix"])])
def test_init_assignment_lines(mod, fail, line, done):
    cls = type("Hooked", (mod.SequentialFormattedString,), {"__setattr__": _recording_setattr(fail)})
    model = cls.__new__(cls)
    with pytest.raises(ArithmeticError, match="^%s$" % fail) as ei:
        model.__init__(make_smeta(nan_freq=0.1), 2, "p", "s")
    assert entries(ei.value) == [(Q + "__init__", line)]
    own = [n for n in model._sets if n in ("length", "prefix", "suffix")]
    assert own == done + ([] if fail == "_fitted" else [fail])
    assert all(model.__dict__[n] == v for n, v in [("length", 2), ("prefix", "p"), ("suffix", "s")] if n in done)


@pytest.mark.parametrize("case, line", [("base", 82), ("nan_freq", 87)])
def test_init_failure_lines(probed, case, line):
    meta = Meta(fail="nan_freq")
    if case == "base":
        Probe.fail = ArithmeticError("base")
    with pytest.raises(ArithmeticError, match="^%s$" % case) as ei:
        probed(meta, 1)
    assert entries(ei.value) == [(Q + "__init__", line)]


# --- categories ---------------------------------------------------------------------------

def test_categories_missing(mod):
    meta = make_smeta(categories=None)
    model = mod.SequentialFormattedString(meta, 2)
    with pytest.raises(ModelNotFittedError) as ei:
        model.categories
    assert type(ei.value) is ModelNotFittedError and ei.value.args == ()
    assert entries(ei.value) == [(Q + "categories", 93)]
    meta.categories = ["00"]
    assert model.categories is meta.categories


@pytest.mark.parametrize("cats", [[], ["00", "01"], ("a",), "abc"])
def test_categories_identity(mod, cats):
    assert mod.SequentialFormattedString(make_smeta(categories=cats)).categories is cats


def test_categories_read_only_and_rebound_error(mod, monkeypatch):
    model = mod.SequentialFormattedString(make_smeta(categories=["a"]))
    with pytest.raises(AttributeError):
        model.categories = ["b"]
    with pytest.raises(AttributeError):
        del model.categories
    assert model.categories == ["a"]
    model._meta.categories = None
    monkeypatch.setattr(mod, "ModelNotFittedError", LookupError)
    with pytest.raises(LookupError):
        model.categories


# --- sampling -----------------------------------------------------------------------------

@pytest.mark.parametrize("length, prefix, suffix, n, expected", [
    (4, "ID-", None, 3, ["ID-0000", "ID-0001", "ID-0002"]),
    (1, None, None, 12, [str(i) for i in range(12)]),
    (2, None, "-x", 3, ["00-x", "01-x", "02-x"]),
    (1, "a", "z", 11, ids(11, 1, "a", "z")),
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
    assert df["key"].tolist() == expected
    assert df["key"].dtype == object


@pytest.mark.parametrize("n", [0, -1, -7])
def test_sample_no_rows(mod, n):
    df = mod.SequentialFormattedString(make_smeta(name="key"), 3, "a", "b").sample(n)
    assert df.shape == (0, 1) and list(df.columns) == ["key"]


def test_sample_zero_rows_draws_empty_mask(mod, monkeypatch):
    log = []
    monkeypatch.setattr(mod, "np", FakeNp(log))
    df = mod.SequentialFormattedString(make_smeta(nan_freq=0.5), 3).sample(0)
    assert log == [((1,), [("p", 0.5), ("size", 0)])] and df.shape == (0, 1)


def test_sample_without_length(mod):
    with pytest.raises(TypeError) as expected:
        pd.Series(["0"]).str.zfill(None)
    with pytest.raises(TypeError) as ei:
        mod.SequentialFormattedString(make_smeta()).sample(2)
    assert str(ei.value) == str(expected.value)
    assert entries(ei.value) == [(Q + "sample", 105)]


def test_sample_reads_current_attributes(mod):
    model = mod.SequentialFormattedString(make_smeta(), 1)
    model.length, model.prefix, model.suffix = 3, "n", "!"
    assert model.sample(2)["ident"].tolist() == ["n000!", "n001!"]


@pytest.mark.parametrize("prefix, suffix", [("p", "s"), (None, "s"), ("p", None), (None, None)])
def test_sample_reads_prefix_suffix(mod, prefix, suffix):
    class Sub(mod.SequentialFormattedString):
        length, prefix, suffix = Counted(), Counted(), Counted()

    model = Sub(make_smeta(), 2, prefix, suffix)
    model.sample(3)
    assert Sub.length.reads == 1
    assert Sub.prefix.reads == (1 if prefix is None else 2)
    assert Sub.suffix.reads == (1 if suffix is None else 2)


class _Boom:
    def __bool__(self):
        raise ArithmeticError("truth")

    def __gt__(self, other):
        raise ArithmeticError("compare")


class _NanFails(FakeNp):
    @property
    def nan(self):
        raise ArithmeticError("nan")


class _NoFrame:
    def __init__(self, *args, **kwargs):
        self.str = types.SimpleNamespace(zfill=lambda width: self)

    def __add__(self, other):
        return self

    __radd__ = __add__

    def to_frame(self):
        raise ArithmeticError("frame")


@pytest.mark.parametrize("case, line", [
    ("name", 104), ("arange", 104), ("length", 105), ("prefix 1", 107), ("prefix 2", 108),
    ("suffix 1", 110), ("suffix 2", 111), ("truth", 113), ("compare", 113), ("nan_freq", 113),
    ("binomial", 114), ("nan", 115), ("frame", 117)])
def test_sample_failure_lines(mod, monkeypatch, case, line):
    attr, _, nth = case.partition(" ")
    counted = {a: Counted((int(nth or 1),) if a == attr else ()) for a in ("length", "prefix", "suffix")}
    cls = type("Sub", (mod.SequentialFormattedString,), counted)
    meta, produce_nans = Meta(nan_freq=0.5), True
    model = cls(meta, 2, "p", "s")
    if case in ("name", "nan_freq"):
        meta.fail = case
    elif case == "arange":
        monkeypatch.setattr(mod, "np", types.SimpleNamespace(arange=_raise))
    elif case == "truth":
        produce_nans = _Boom()
    elif case == "compare":
        meta._nan = _Boom()
    elif case == "binomial":
        fake = FakeNp([])
        fake.random = types.SimpleNamespace(binomial=_raise)
        monkeypatch.setattr(mod, "np", fake)
    elif case == "nan":
        monkeypatch.setattr(mod, "np", _NanFails([]))
    elif case == "frame":
        monkeypatch.setattr(mod, "pd", types.SimpleNamespace(Series=_NoFrame))
        produce_nans = False
    with pytest.raises(ArithmeticError) as ei:
        model.sample(3, produce_nans)
    assert entries(ei.value) == [(Q + "sample", line)]


def _raise(*args, **kwargs):
    raise ArithmeticError(args[0] if args and isinstance(args[0], str) else "raised")


@pytest.mark.parametrize("n, nan_freq", [(3, 2), (3, 1.5), (-2, 0.5)])
def test_sample_numpy_refuses_draw(mod, n, nan_freq):
    with pytest.raises(ValueError) as expected:
        np.random.binomial(1, p=nan_freq, size=n)
    with pytest.raises(ValueError) as ei:
        mod.SequentialFormattedString(make_smeta(nan_freq=nan_freq), 2).sample(n)
    assert str(ei.value) == str(expected.value)
    assert entries(ei.value) == [(Q + "sample", 114)]


@pytest.mark.parametrize("produce_nans, nan_freq, reads", [
    (False, 1.0, 0), (None, 1.0, 0), (0, 1.0, 0), ((), 1.0, 0),
    (True, None, 1), (True, 0, 2), (True, 0.0, 2), (True, -0.5, 2)])
def test_sample_without_nans_leaves_rng(mod, produce_nans, nan_freq, reads):
    meta = Meta(name="key", nan_freq=nan_freq)
    model = mod.SequentialFormattedString(meta, 3, "#")
    meta.nan_reads = 0
    np.random.seed(4)
    before = rng_state()
    df = model.sample(20, produce_nans=produce_nans)
    assert rng_state() == before
    assert df["key"].tolist() == ids(20, 3, "#")
    assert meta.nan_reads == reads


def test_sample_all_nans(mod):
    meta = Meta(name="key", nan_freq=1)
    df = mod.SequentialFormattedString(meta, 3, "a", "b").sample(6)
    assert df.shape == (6, 1) and list(df.columns) == ["key"] and df["key"].isna().all()


def test_sample_binomial_call(mod, monkeypatch):
    log = []
    meta = Meta(name="key", nan_freq=0.25)
    model = mod.SequentialFormattedString(meta, 2, "a", "z")
    meta.nan_reads = 0
    monkeypatch.setattr(mod, "np", FakeNp(log, mask=[0, 1, 0, 1, 1]))
    values = model.sample(5)["key"]
    assert log == [((1,), [("p", 0.25), ("size", 5)])] and meta.nan_reads == 3
    assert [None if pd.isna(v) else v for v in values] == ["a00z", None, "a02z", None, None]


def test_sample_mask_from_numpy_rng(mod):
    model = mod.SequentialFormattedString(make_smeta(name="key", nan_freq=0.4), 3, "x", "y")
    np.random.seed(17)
    values = model.sample(50)["key"]
    np.random.seed(17)
    mask = np.random.binomial(1, p=0.4, size=50) == 1
    assert 0 < mask.sum() < 50
    assert values.isna().tolist() == mask.tolist()
    assert values[~mask].tolist() == [v for v, m in zip(ids(50, 3, "x", "y"), mask) if not m]
    np.random.seed(17)
    pd.testing.assert_frame_equal(model.sample(50), values.to_frame())


# --- from_dict ----------------------------------------------------------------------------

def smeta_dict(**kw):
    return make_smeta(**kw).to_dict()


@pytest.mark.parametrize("extra", [{}, {"prefix": None, "suffix": None, "length": None}, {"other": 1, "pattern": "x"}])
def test_from_dict_absent_settings(mod, extra):
    model = mod.SequentialFormattedString.from_dict(dict({"meta": smeta_dict(name="col", nan_freq=0)}, **extra))
    assert type(model) is mod.SequentialFormattedString and type(model._meta) is String
    assert (model.length, model.prefix, model.suffix) == (None, None, None)
    assert (model.name, model.nan_freq, model._fitted) == ("col", 0, True)


def test_from_dict_restores_settings(mod):
    meta = make_smeta(name="col", categories=["a"])
    d = {"meta": meta.to_dict(), "prefix": "P", "suffix": "", "length": 3, "junk": object()}
    model = mod.SequentialFormattedString.from_dict(d)
    assert model.prefix is d["prefix"] and model.suffix is d["suffix"] and model.length == 3
    assert model._meta.to_dict() == meta.to_dict() and model._fitted is False
    assert model.sample(2, produce_nans=False)["col"].tolist() == ["P000", "P001"]


@pytest.mark.parametrize("key, value, message", [
    ("length", 3.0, "'length' has incorrect type (expected int, got float)"),
    ("length", "3", "'length' has incorrect type (expected int, got str)"),
    ("length", True, "'length' has incorrect type (expected int, got bool)"),
    ("prefix", 5, "'prefix' has incorrect type (expected str, got int)"),
    ("suffix", 1.5, "'suffix' has incorrect type (expected str, got float)"),
])
def test_from_dict_wrong_setting_types(mod, key, value, message):
    with pytest.raises(TypeError) as ei:
        mod.SequentialFormattedString.from_dict({"meta": smeta_dict(), key: value})
    assert str(ei.value) == "Argument " + message
    assert entries(ei.value) == [(Q + "from_dict", 123)]


class UserDict(dict):
    pass


@pytest.mark.parametrize("d", [collections.OrderedDict, collections.defaultdict, UserDict])
def test_from_dict_refuses_dict_subclasses(mod, d):
    value = d({"meta": smeta_dict()}) if d is not collections.defaultdict else d(None, {"meta": smeta_dict()})
    with pytest.raises(TypeError) as ei:
        mod.SequentialFormattedString.from_dict(value)
    assert re.fullmatch(r"Argument 'd' has incorrect type \(expected dict, got (collections\.)?%s\)"
                        % d.__name__, str(ei.value))


@pytest.mark.parametrize("d", [{}, {"prefix": "a", "suffix": "b", "length": 2}])
def test_from_dict_missing_meta(mod, monkeypatch, d):
    calls = []
    monkeypatch.setattr(mod, "String", types.SimpleNamespace(from_dict=calls.append))
    with pytest.raises(KeyError) as ei:
        mod.SequentialFormattedString.from_dict(d)
    assert ei.value.args == ("meta",) and calls == []
    assert entries(ei.value) == [(Q + "from_dict", 121)]


@pytest.fixture
def traced(mod, monkeypatch):
    """Rebinds cast and String so that every step of from_dict is logged."""
    log, real_cast = [], typing.cast

    def cast(typ, value):
        log.append(("cast", typ, value))
        return real_cast(typ, value)

    class FakeString:
        @staticmethod
        def from_dict(meta_dict):
            log.append(("String.from_dict", meta_dict))
            return make_smeta(name="traced")

    monkeypatch.setattr(mod, "cast", cast)
    monkeypatch.setattr(mod, "String", FakeString)
    return log


def test_from_dict_reads_keys_in_order(mod, traced):
    d = {"meta": {"m": 1}, "prefix": "a", "suffix": "b", "length": 2}
    inner = d["meta"]
    model = mod.SequentialFormattedString.from_dict(d)
    assert traced == [("cast", typing.Dict[str, object], inner), ("String.from_dict", inner),
                      ("cast", typing.Optional[str], "a"), ("cast", typing.Optional[str], "b"),
                      ("cast", typing.Optional[int], 2)]
    assert (model.name, model.prefix, model.suffix, model.length) == ("traced", "a", "b", 2)


def test_from_dict_sees_changes_between_reads(mod, monkeypatch):
    d = {"meta": smeta_dict(), "prefix": "old", "suffix": "old", "length": 1}

    def mutate(meta_dict):
        d.update(prefix="P-", length=4)
        del d["suffix"]
        return make_smeta()

    monkeypatch.setattr(mod, "String", types.SimpleNamespace(from_dict=mutate))
    real_cast = typing.cast

    def cast(typ, value):
        if value == "P-":
            d["length"] = 6
        return real_cast(typ, value)

    monkeypatch.setattr(mod, "cast", cast)
    model = mod.SequentialFormattedString.from_dict(d)
    assert (model.prefix, model.suffix, model.length) == ("P-", None, 6)


def test_from_dict_globals_looked_up_per_use(mod, monkeypatch):
    seen = []

    def second_cast(typ, value):
        seen.append(("second", value))
        return value

    def first_cast(typ, value):
        seen.append(("first", value))
        monkeypatch.setattr(mod, "cast", second_cast)
        return value

    class Opt:
        def __init__(self, tag, then=None):
            self.tag, self.then = tag, then

        def __getitem__(self, item):
            seen.append((self.tag, item))
            if self.then is not None:
                monkeypatch.setattr(mod, "Optional", self.then)
            return item

    monkeypatch.setattr(mod, "cast", first_cast)
    monkeypatch.setattr(mod, "Optional", Opt("opt1", Opt("opt2", Opt("opt3"))))
    model = mod.SequentialFormattedString.from_dict({"meta": smeta_dict(), "prefix": "p", "length": 1})
    assert [s[0] for s in seen] == ["first", "opt1", "second", "opt2", "second", "opt3", "second"]
    assert [s[1] for s in seen if s[0].startswith("opt")] == [str, str, int]
    assert (model.prefix, model.suffix, model.length) == ("p", None, 1)


def test_from_dict_constructor_keywords(mod):
    seen = []

    class Sub(mod.SequentialFormattedString):
        def __init__(self, *args, **kwargs):
            seen.append((args, list(kwargs)))
            super().__init__(*args, **kwargs)

    d = {"length": 2, "suffix": "s", "meta": smeta_dict(), "prefix": "p"}
    model = Sub.from_dict(d)
    assert type(model) is Sub and seen == [((), ["meta", "prefix", "suffix", "length"])]
    again = model.from_dict({"meta": smeta_dict()})
    assert type(again) is Sub and again is not model
    assert (model.prefix, model.suffix, model.length) == ("p", "s", 2)
    assert seen[1] == ((), ["meta", "prefix", "suffix", "length"])


def _fail_at(k):
    calls = []

    def cast(typ, value):
        calls.append(1)
        if len(calls) == k:
            raise ArithmeticError("cast")
        return value
    return cast


@pytest.mark.parametrize("case, line", [
    ("cast 1", 121), ("from_dict", 122), ("ctor", 123), ("kwarg", 123),
    ("cast 2", 125), ("cast 3", 126), ("cast 4", 127)])
def test_from_dict_failure_lines(mod, monkeypatch, case, line):
    cls = mod.SequentialFormattedString
    d = {"meta": smeta_dict(), "prefix": "p", "suffix": "s", "length": 1}
    exc = ArithmeticError
    if case.startswith("cast"):
        monkeypatch.setattr(mod, "cast", _fail_at(int(case[-1])))
    elif case == "from_dict":
        d["meta"] = None
        exc = TypeError
    elif case == "ctor":
        cls = type("Failing", (cls,), {"__init__": lambda self, **kw: _raise("ctor")})
    else:
        cls = type("NoPrefix", (cls,), {"__init__": lambda self, meta, length, suffix: None})
        exc = TypeError
    with pytest.raises(exc) as ei:
        cls.from_dict(d)
    if case == "kwarg":
        assert "unexpected keyword argument 'prefix'" in str(ei.value)
    assert entries(ei.value) == [(Q + "from_dict", line)]
