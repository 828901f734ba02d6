"""Behaviour of FormattedStringModel: construction, properties, sampling, restoring."""
import random
import re
import types
from collections import Counter

import numpy as np
import pandas as pd
import pytest

from conftest import entries, make_fmeta
from vandrel.metadata.value import FormattedString
from vandrel.model.base import DiscreteModel
from vandrel.model.exceptions import ModelNotFittedError

Q = "vandrel.model.models.string.FormattedStringModel."
NO_PATTERN = "FormattedStringModel doesn't have a pattern specified."


class Reads:
    """Successive values of an attribute; the last one repeats, exceptions are raised."""

    def __init__(self, *values):
        self.values = list(values)

    def next(self):
        value = self.values.pop(0) if len(self.values) > 1 else self.values[0]
        if isinstance(value, BaseException):
            raise value
        return value


class Meta:
    """Metadata stand-in that counts every attribute read."""

    def __init__(self, **attrs):
        self.__dict__["reads"] = Counter()
        self.__dict__["_attrs"] = attrs

    def __getattr__(self, attr):
        if attr not in self._attrs:
            raise AttributeError(attr)
        self.reads[attr] += 1
        value = self._attrs[attr]
        return value.next() if isinstance(value, Reads) else value


def fmeta(**kw):
    base = dict(name="code", nan_freq=None, categories=None, pattern="ab")
    base.update(kw)
    return Meta(**base)


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
    return type("ProbedModel", (mod.FormattedStringModel, Probe), {})


class FakeNp:
    """numpy stand-in recording binomial draws; the mask may be forced."""

    nan = np.nan

    def __init__(self, log, mask=None):
        self.log, self.mask = log, mask
        self.random = types.SimpleNamespace(binomial=self._binomial)

    def _binomial(self, *args, **kwargs):
        self.log.append(("binomial", args, list(kwargs.items())))
        if self.mask is not None:
            return np.asarray(self.mask)
        return np.zeros(kwargs["size"], dtype=int)


class FakeRstr:
    def __init__(self, log):
        self.log, self.count = log, 0

    def xeger(self, pattern):
        self.log.append(("xeger", pattern))
        self.count += 1
        return "v%d" % (self.count - 1)


def rng_state():
    kind, keys, pos, has_gauss, cached = np.random.get_state()
    return kind, keys.tolist(), pos, has_gauss, cached


# --- construction -------------------------------------------------------------------------

@pytest.mark.parametrize("by_keyword", [False, True])
def test_init_hands_meta_to_base_as_keyword(probed, by_keyword):
    meta = make_fmeta()
    model = probed(meta=meta) if by_keyword else probed(meta)
    assert Probe.calls == [((), {"meta": meta})]
    assert model._meta is meta


def test_init_does_not_examine_meta(mod):
    odd = object()
    assert mod.FormattedStringModel(odd)._meta is odd
    assert mod.FormattedStringModel(make_fmeta(pattern=None))._meta.pattern is None


def test_init_base_failure_line(probed):
    Probe.fail = RuntimeError("base")
    with pytest.raises(RuntimeError, match="^base$") as ei:
        probed(make_fmeta())
    assert entries(ei.value) == [(Q + "__init__", 26)]


# --- properties ---------------------------------------------------------------------------

def test_categories_missing(mod):
    model = mod.FormattedStringModel(make_fmeta(categories=None))
    with pytest.raises(ModelNotFittedError) as ei:
        model.categories
    assert type(ei.value) is ModelNotFittedError and ei.value.args == ()
    assert entries(ei.value) == [(Q + "categories", 31)]
    assert model.pattern == r"[A-Z]{3}-\d{4}"


def test_pattern_missing(mod):
    cats = ["x"]
    model = mod.FormattedStringModel(make_fmeta(pattern=None, categories=cats))
    with pytest.raises(ModelNotFittedError) as ei:
        model.pattern
    assert type(ei.value) is ModelNotFittedError and ei.value.args == (NO_PATTERN,)
    assert entries(ei.value) == [(Q + "pattern", 38)]
    assert model.categories is cats


@pytest.mark.parametrize("cats", [[], ["a", "b"], ("a",), {"x": 1}, "abc"])
def test_categories_identity(mod, cats):
    assert mod.FormattedStringModel(make_fmeta(categories=cats)).categories is cats


@pytest.mark.parametrize("pattern", ["", "a+", r"[A-Z]{3}-\d{4}"])
def test_pattern_returned(mod, pattern):
    assert mod.FormattedStringModel(make_fmeta(pattern=pattern)).pattern is pattern


def test_properties_follow_metadata_changes(mod):
    meta = make_fmeta(pattern=None, categories=None)
    model = mod.FormattedStringModel(meta)
    with pytest.raises(ModelNotFittedError):
        model.pattern
    meta.pattern, meta.categories = "z", ["z"]
    assert model.pattern == "z" and model.categories == ["z"]
    meta.pattern = None
    with pytest.raises(ModelNotFittedError):
        model.pattern


def test_pattern_str_subclass_refused(mod):
    class Pat(str):
        pass

    with pytest.raises(TypeError) as ei:
        mod.FormattedStringModel(make_fmeta(pattern=Pat("ab"))).pattern
    assert str(ei.value) == "Expected unicode, got Pat"
    assert entries(ei.value) == [(Q + "pattern", 39)]


@pytest.mark.parametrize("attr, first, second", [
    ("pattern", "one", "two"), ("pattern", "one", None),
    ("categories", ["one"], ["two"]), ("categories", ["one"], None)])
def test_property_reads_metadata_twice(mod, attr, first, second):
    meta = fmeta(**{attr: Reads(first, second)})
    assert getattr(mod.FormattedStringModel(meta), attr) is second
    assert meta.reads[attr] == 2


@pytest.mark.parametrize("attr, read, line", [
    ("categories", 1, 30), ("categories", 2, 33), ("pattern", 1, 37), ("pattern", 2, 39)])
def test_property_read_failure_lines(mod, attr, read, line):
    values = [["c"]] * (read - 1) + [LookupError("read")]
    model = mod.FormattedStringModel(fmeta(**{attr: Reads(*values)}))
    with pytest.raises(LookupError, match="^read$") as ei:
        getattr(model, attr)
    assert entries(ei.value) == [(Q + attr, line)]


@pytest.mark.parametrize("attr", ["pattern", "categories"])
def test_not_fitted_error_looked_up_at_raise(mod, monkeypatch, attr):
    class Other(Exception):
        pass

    model = mod.FormattedStringModel(make_fmeta(pattern=None))
    monkeypatch.setattr(mod, "ModelNotFittedError", Other)
    with pytest.raises(Other) as ei:
        getattr(model, attr)
    assert ei.value.args == ((NO_PATTERN,) if attr == "pattern" else ())
    monkeypatch.delattr(mod, "ModelNotFittedError")
    with pytest.raises(NameError, match="^name 'ModelNotFittedError' is not defined$"):
        getattr(model, attr)


@pytest.mark.parametrize("attr", ["pattern", "categories"])
def test_properties_read_only(mod, attr):
    meta = make_fmeta(categories=["c"])
    model = mod.FormattedStringModel(meta)
    with pytest.raises(AttributeError):
        setattr(model, attr, "other")
    with pytest.raises(AttributeError):
        delattr(model, attr)
    assert getattr(model, attr) is getattr(meta, attr)


# --- sampling -----------------------------------------------------------------------------

@pytest.mark.parametrize("pattern", [r"[A-Z]{3}-\d{4}", r"(foo|bar)_[a-z]{2,5}", r"x?\d+\.[0-9a-f]{2}", "plain"])
@pytest.mark.parametrize("n", [1, 7, 40])
def test_sample_values_match_pattern(mod, pattern, n):
    df = mod.FormattedStringModel(make_fmeta(pattern=pattern, name="col")).sample(n)
    assert isinstance(df, pd.DataFrame) and df.shape == (n, 1)
    assert list(df.columns) == ["col"]
    pd.testing.assert_index_equal(df.index, pd.RangeIndex(n))
    assert all(type(v) is str and re.fullmatch(pattern, v) for v in df["col"])


@pytest.mark.parametrize("n", [0, -1, -5])
@pytest.mark.parametrize("pattern", [None, "ab"])
def test_sample_no_rows(mod, n, pattern):
    df = mod.FormattedStringModel(make_fmeta(pattern=pattern, name="col")).sample(n)
    assert df.shape == (0, 1) and list(df.columns) == ["col"]
    pd.testing.assert_index_equal(df.index, pd.RangeIndex(0))


def test_sample_zero_rows_still_draws(mod, monkeypatch):
    log = []
    monkeypatch.setattr(mod, "np", FakeNp(log))
    df = mod.FormattedStringModel(make_fmeta(pattern=None, nan_freq=0.5, name="c")).sample(0)
    assert log == [("binomial", (1,), [("p", 0.5), ("size", 0)])]
    assert df.shape == (0, 1) and list(df.columns) == ["c"]


def test_sample_negative_rows_reach_binomial(mod):
    with pytest.raises(ValueError, match="negative dimensions") as ei:
        mod.FormattedStringModel(make_fmeta(nan_freq=0.5)).sample(-2)
    assert entries(ei.value) == [(Q + "sample", 51)]


@pytest.mark.parametrize("produce_nans, nan_freq", [
    (False, 1.0), (None, 1.0), (0, 1.0), ("", 1.0), ([], 1.0),
    (True, None), (True, 0), (True, 0.0), (True, -0.5), (1, -1)])
def test_sample_without_nans_leaves_rng(mod, produce_nans, nan_freq):
    model = mod.FormattedStringModel(make_fmeta(nan_freq=nan_freq))
    np.random.seed(11)
    before = rng_state()
    df = model.sample(25, produce_nans=produce_nans)
    assert rng_state() == before
    assert df.shape == (25, 1) and not df["code"].isna().any()


@pytest.mark.parametrize("nan_freq", [1, 1.0])
def test_sample_all_nans(mod, nan_freq):
    df = mod.FormattedStringModel(make_fmeta(nan_freq=nan_freq, name="c")).sample(9)
    assert df.shape == (9, 1) and list(df.columns) == ["c"]
    assert df["c"].isna().all()


def test_sample_mask_from_numpy_rng(mod):
    model = mod.FormattedStringModel(make_fmeta(nan_freq=0.4))
    random.seed(5)
    plain = model.sample(60, produce_nans=False)["code"]
    random.seed(5)
    np.random.seed(8)
    got = model.sample(60)["code"]
    np.random.seed(8)
    expected = np.random.binomial(1, p=0.4, size=60) == 1
    assert 0 < expected.sum() < 60
    assert got.isna().tolist() == expected.tolist()
    assert got[~expected].tolist() == plain[~expected].tolist()


def test_sample_seeded_reproducible(mod):
    model = mod.FormattedStringModel(make_fmeta(nan_freq=0.3))
    frames = []
    for _ in range(2):
        random.seed(21)
        np.random.seed(21)
        frames.append(model.sample(30))
    pd.testing.assert_frame_equal(frames[0], frames[1])


@pytest.mark.parametrize("nan_freq, mask", [(0.5, [0, 0, 0, 0]), (0.25, [1, 0, 1, 0]), (1, [1, 1, 1, 1])])
def test_sample_draw_order_and_mask(mod, monkeypatch, nan_freq, mask):
    log = []
    monkeypatch.setattr(mod, "rstr", FakeRstr(log))
    monkeypatch.setattr(mod, "np", FakeNp(log, mask))
    df = mod.FormattedStringModel(make_fmeta(pattern="p", nan_freq=nan_freq, name="c")).sample(4)
    assert log == [("xeger", "p")] * 4 + [("binomial", (1,), [("p", nan_freq), ("size", 4)])]
    assert [None if m else "v%d" % i for i, m in enumerate(mask)] == \
        [None if pd.isna(v) else v for v in df["c"]]


def test_sample_reads_xeger_for_every_row(mod, monkeypatch):
    fake = types.SimpleNamespace()

    def first(pattern):
        fake.xeger = lambda p: "later"
        return "first"

    fake.xeger = first
    monkeypatch.setattr(mod, "rstr", fake)
    assert mod.FormattedStringModel(make_fmeta()).sample(3)["code"].tolist() == ["first", "later", "later"]


@pytest.mark.parametrize("produce_nans, nan_freq, nan_reads", [
    (True, 0.5, 3), (True, None, 1), (True, 0, 2), (True, -1, 2), (False, 0.5, 0), (None, None, 0)])
def test_sample_read_counts(mod, monkeypatch, produce_nans, nan_freq, nan_reads):
    monkeypatch.setattr(mod, "rstr", FakeRstr([]))
    meta = fmeta(nan_freq=nan_freq)
    model = mod.FormattedStringModel(meta)
    model.sample(5, produce_nans=produce_nans)
    assert meta.reads == +Counter(pattern=10, name=1, nan_freq=nan_reads)


def test_sample_reads_pattern_property_per_row(mod, monkeypatch):
    seen = []

    class Sub(mod.FormattedStringModel):
        @property
        def pattern(self):
            seen.append(1)
            return "q"

    monkeypatch.setattr(mod, "rstr", FakeRstr([]))
    Sub(make_fmeta(pattern=None)).sample(4)
    assert len(seen) == 4


class _Boom:
    def __bool__(self):
        raise ArithmeticError("truth")

    def __gt__(self, other):
        raise ArithmeticError("compare")


class _NanFails(FakeNp):
    @property
    def nan(self):
        raise ArithmeticError("nan")


def _fail_xeger(pattern):
    raise ArithmeticError("xeger")


def _fail_series(*args, **kwargs):
    raise ArithmeticError("series")


class _NoFrame:
    def __init__(self, *args, **kwargs):
        pass

    def to_frame(self):
        raise ArithmeticError("frame")


@pytest.mark.parametrize("case, line", [
    ("xeger", 48), ("series", 48), ("name", 48), ("truth", 50), ("compare", 50),
    ("binomial", 51), ("nan", 52), ("frame", 54)])
def test_sample_failure_lines(mod, monkeypatch, case, line):
    meta = fmeta(nan_freq=0.5)
    produce_nans = True
    if case == "xeger":
        monkeypatch.setattr(mod, "rstr", types.SimpleNamespace(xeger=_fail_xeger))
    elif case == "series":
        monkeypatch.setattr(mod, "pd", types.SimpleNamespace(Series=_fail_series))
    elif case == "name":
        meta = fmeta(name=Reads(ArithmeticError("name")))
    elif case == "truth":
        produce_nans = _Boom()
    elif case == "compare":
        meta = fmeta(nan_freq=_Boom())
    elif case == "binomial":
        meta = fmeta(nan_freq=Reads(0.5, 0.5, ArithmeticError("binomial")))
    elif case == "nan":
        monkeypatch.setattr(mod, "np", _NanFails([]))
    else:
        monkeypatch.setattr(mod, "pd", types.SimpleNamespace(Series=_NoFrame))
        produce_nans = False
    with pytest.raises(ArithmeticError, match="^%s$" % case) as ei:
        mod.FormattedStringModel(meta).sample(3, produce_nans)
    assert entries(ei.value) == [(Q + "sample", line)]


def test_sample_truth_failure_after_generation(mod, monkeypatch):
    fake = FakeRstr([])
    monkeypatch.setattr(mod, "rstr", fake)
    with pytest.raises(ArithmeticError):
        mod.FormattedStringModel(make_fmeta()).sample(6, _Boom())
    assert fake.count == 6


def test_sample_without_pattern(mod):
    meta = fmeta(pattern=None)
    with pytest.raises(ModelNotFittedError) as ei:
        mod.FormattedStringModel(meta).sample(2)
    assert ei.value.args == (NO_PATTERN,)
    assert entries(ei.value) == [(Q + "sample", 48), (Q + "pattern", 38)]
    assert meta.reads["name"] == 0 and meta.reads["nan_freq"] == 0


@pytest.mark.parametrize("name, line", [("rstr", 48), ("pd", 48), ("np", 51)])
def test_sample_missing_global(mod, monkeypatch, name, line):
    monkeypatch.delattr(mod, name)
    with pytest.raises(NameError, match="^name '%s' is not defined$" % name) as ei:
        mod.FormattedStringModel(make_fmeta(nan_freq=0.5)).sample(2)
    assert entries(ei.value) == [(Q + "sample", line)]


# --- from_dict ----------------------------------------------------------------------------

class FakeFormattedString:
    calls = []

    @classmethod
    def from_dict(cls, d):
        cls.calls.append(d)
        return make_fmeta(pattern="r")


@pytest.fixture
def fake_fs(mod, monkeypatch):
    FakeFormattedString.calls = []
    monkeypatch.setattr(mod, "FormattedString", FakeFormattedString)
    return FakeFormattedString


def test_from_dict_restores(mod):
    meta = make_fmeta(pattern="[ab]{2}", name="col", nan_freq=0.1, categories=["aa"])
    model = mod.FormattedStringModel.from_dict({"meta": meta.to_dict(), "extra": 1, "pattern": "zz"})
    assert type(model) is mod.FormattedStringModel
    assert type(model._meta) is FormattedString and model._meta is not meta
    assert model._meta.to_dict() == meta.to_dict()
    assert (model.pattern, model.name, model.nan_freq, model.categories) == ("[ab]{2}", "col", 0.1, ["aa"])


def test_from_dict_forwards_meta_only(mod, fake_fs):
    inner = {"anything": 1}
    first = mod.FormattedStringModel.from_dict({"meta": inner, "junk": object()})
    second = mod.FormattedStringModel.from_dict({"meta": None})
    assert fake_fs.calls[0] is inner and fake_fs.calls[1] is None
    assert first is not second and first._meta is not second._meta
    assert first.pattern == "r"


@pytest.mark.parametrize("d", [{}, {"pattern": "x", "name": "y"}])
def test_from_dict_missing_meta(mod, fake_fs, d):
    with pytest.raises(KeyError) as ei:
        mod.FormattedStringModel.from_dict(d)
    assert ei.value.args == ("meta",)
    assert entries(ei.value) == [(Q + "from_dict", 58)]
    assert fake_fs.calls == []


def test_from_dict_uses_current_cast_and_dict(mod, monkeypatch, fake_fs):
    log, replacement = [], {"replaced": True}

    class FakeDict:
        def __getitem__(self, key):
            log.append(("Dict", key))
            return "typ"

    def fake_cast(typ, value):
        log.append(("cast", typ, value))
        return replacement

    inner = {"x": 1}
    monkeypatch.setattr(mod, "Dict", FakeDict())
    monkeypatch.setattr(mod, "cast", fake_cast)
    mod.FormattedStringModel.from_dict({"meta": inner})
    assert log == [("Dict", (str, object)), ("cast", "typ", inner)]
    assert fake_fs.calls == [replacement]


def test_from_dict_subclass_and_instance(mod):
    seen = []

    class Sub(mod.FormattedStringModel):
        def __init__(self, *args, **kwargs):
            seen.append((args, kwargs))
            super().__init__(*args, **kwargs)

    d = {"meta": make_fmeta().to_dict()}
    model = Sub.from_dict(d)
    assert type(model) is Sub and seen == [((), {"meta": model._meta})]
    again = model.from_dict(d)
    assert type(again) is Sub and again is not model and again._meta is not model._meta
    base = mod.FormattedStringModel(make_fmeta())
    assert type(base.from_dict(d)) is mod.FormattedStringModel


def _raise_from_dict(d):
    raise ArithmeticError("meta")


@pytest.mark.parametrize("case, line", [("cast", 58), ("from_dict", 59), ("ctor", 60), ("kwarg", 60)])
def test_from_dict_failure_lines(mod, monkeypatch, case, line):
    cls = mod.FormattedStringModel
    if case == "cast":
        monkeypatch.setattr(mod, "cast", lambda typ, value: _raise_from_dict(value))
    elif case == "from_dict":
        monkeypatch.setattr(mod, "FormattedString", types.SimpleNamespace(from_dict=_raise_from_dict))
    elif case == "ctor":
        class Failing(cls):
            def __init__(self, meta):
                raise ArithmeticError("meta")
        cls = Failing
    else:
        class NoMeta(cls):
            def __init__(self, other):
                pass
        cls = NoMeta
    exc = TypeError if case == "kwarg" else ArithmeticError
    with pytest.raises(exc) as ei:
        cls.from_dict({"meta": make_fmeta().to_dict()})
    if case == "kwarg":
        assert "unexpected keyword argument 'meta'" in str(ei.value)
    assert entries(ei.value) == [(Q + "from_dict", line)]


def test_from_dict_host_refuses_meta(mod):
    with pytest.raises(TypeError, match="^FormattedString.from_dict expects a dict, got NoneType$") as ei:
        mod.FormattedStringModel.from_dict({"meta": None})
    assert entries(ei.value) == [(Q + "from_dict", 59)]
