"""Behaviour of FormattedStringModel: construction, properties, sampling, restoring."""
import random
import re
import types
from collections import Counter

import numpy as np
import pandas as pd
import pytest

from conftest import TEXT_DTYPE, entries, make_fmeta
from fakes import Boom, FakeNp, FakeRstr, Meta, NanFails, NoFrame, Probe, Reads, fail, rng_state
from vandrel.metadata.value import FormattedString
from vandrel.model.exceptions import ModelNotFittedError

Q = "vandrel.model.models.string.FormattedStringModel."
NO_PATTERN = "FormattedStringModel doesn't have a pattern specified."


# --- construction and properties --------------------------------------------------------------

@pytest.mark.parametrize("by_keyword", [False, True])
@pytest.mark.parametrize("meta", [make_fmeta(), make_fmeta(pattern=None), object()])
def test_init_hands_meta_to_base_as_keyword(mod, by_keyword, meta):
    Probe.calls, Probe.fail = [], None
    cls = type("Probed", (mod.FormattedStringModel, Probe), {})
    model = cls(meta=meta) if by_keyword else cls(meta)
    assert Probe.calls == [((), {"meta": meta})] and model._meta is meta
    Probe.fail = RuntimeError("base")
    with pytest.raises(RuntimeError, match="^base$") as ei:
        cls(meta)
    assert entries(ei.value) == [(Q + "__init__", 26)]


def test_missing_categories_and_pattern(mod):
    meta = make_fmeta(pattern=None, categories=None)
    model = mod.FormattedStringModel(meta)
    with pytest.raises(ModelNotFittedError) as ei:
        model.categories
    assert type(ei.value) is ModelNotFittedError and ei.value.args == ()
    assert entries(ei.value) == [(Q + "categories", 31)]
    with pytest.raises(ModelNotFittedError) as ei:
        model.pattern
    assert type(ei.value) is ModelNotFittedError and ei.value.args == (NO_PATTERN,)
    assert entries(ei.value) == [(Q + "pattern", 38)]
    meta.pattern = "z"  # each property is judged on its own, from the current metadata
    assert model.pattern == "z"
    with pytest.raises(ModelNotFittedError):
        model.categories
    meta.categories, meta.pattern = ["z"], None
    assert model.categories == ["z"]
    with pytest.raises(ModelNotFittedError):
        model.pattern


@pytest.mark.parametrize("attr, value", [
    ("categories", []), ("categories", ["a", "b"]), ("categories", ("a",)), ("categories", "abc"),
    ("pattern", ""), ("pattern", r"[A-Z]{3}-\d{4}")])
def test_property_returns_metadata_object_read_only(mod, attr, value):
    model = mod.FormattedStringModel(make_fmeta(**{attr: value}))
    assert getattr(model, attr) is value
    with pytest.raises(AttributeError):
        setattr(model, attr, "other")
    with pytest.raises(AttributeError):
        delattr(model, attr)
    assert getattr(model, attr) is value


def test_pattern_str_subclass_refused(mod):
    pat = type("Pat", (str,), {})("ab")
    with pytest.raises(TypeError) as ei:
        mod.FormattedStringModel(make_fmeta(pattern=pat)).pattern
    assert str(ei.value) == "Expected unicode, got Pat"
    assert entries(ei.value) == [(Q + "pattern", 39)]


@pytest.mark.parametrize("attr, first, second", [
    ("pattern", "one", "two"), ("pattern", "one", None),
    ("categories", ["one"], ["two"]), ("categories", ["one"], None)])
def test_property_reads_metadata_twice(mod, attr, first, second):
    meta = Meta(**{attr: Reads(first, second)})
    assert getattr(mod.FormattedStringModel(meta), attr) is second
    assert meta.reads[attr] == 2


@pytest.mark.parametrize("attr, read, line", [
    ("categories", 1, 30), ("categories", 2, 33), ("pattern", 1, 37), ("pattern", 2, 39)])
def test_property_read_failure_lines(mod, attr, read, line):
    model = mod.FormattedStringModel(Meta(**{attr: Reads(*["c"] * (read - 1), LookupError("read"))}))
    with pytest.raises(LookupError, match="^read$") as ei:
        getattr(model, attr)
    assert entries(ei.value) == [(Q + attr, line)]


@pytest.mark.parametrize("attr", ["pattern", "categories"])
def test_not_fitted_error_looked_up_at_raise(mod, monkeypatch, attr):
    other = type("Other", (Exception,), {})
    model = mod.FormattedStringModel(make_fmeta(pattern=None))
    monkeypatch.setattr(mod, "ModelNotFittedError", other)
    with pytest.raises(other) as ei:
        getattr(model, attr)
    assert ei.value.args == ((NO_PATTERN,) if attr == "pattern" else ())
    monkeypatch.delattr(mod, "ModelNotFittedError")
    with pytest.raises(NameError, match="^name 'ModelNotFittedError' is not defined$"):
        getattr(model, attr)


# --- sampling -----------------------------------------------------------------------------------

@pytest.mark.parametrize("pattern", [r"[A-Z]{3}-\d{4}", r"(foo|bar)_[a-z]{2,5}", r"x?\d+\.[0-9a-f]{2}", "plain"])
@pytest.mark.parametrize("n", [1, 30])
def test_sample_values_match_pattern(mod, pattern, n):
    df = mod.FormattedStringModel(make_fmeta(pattern=pattern, name="col")).sample(n)
    assert isinstance(df, pd.DataFrame) and df.shape == (n, 1) and list(df.columns) == ["col"]
    pd.testing.assert_index_equal(df.index, pd.RangeIndex(n))
    assert all(type(v) is str and re.fullmatch(pattern, v) for v in df["col"])
    assert n == 0 or df["col"].dtype == TEXT_DTYPE


@pytest.mark.parametrize("n", [0, -1, -5])
@pytest.mark.parametrize("pattern", [None, "ab"])
def test_sample_no_rows(mod, n, pattern):
    df = mod.FormattedStringModel(make_fmeta(pattern=pattern, name="col")).sample(n)
    assert df.shape == (0, 1) and list(df.columns) == ["col"]
    pd.testing.assert_index_equal(df.index, pd.RangeIndex(0))


def test_sample_zero_and_negative_rows_reach_binomial(mod, monkeypatch):
    model = mod.FormattedStringModel(make_fmeta(pattern=None, nan_freq=0.5, name="c"))
    with pytest.raises(ValueError, match="negative dimensions") as ei:
        model.sample(-2)
    assert entries(ei.value) == [(Q + "sample", 51)]
    log = []
    monkeypatch.setattr(mod, "np", FakeNp(log))
    df = model.sample(0)
    assert log == [("binomial", (1,), [("p", 0.5), ("size", 0)])]
    assert df.shape == (0, 1) and list(df.columns) == ["c"]


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
    all_nan = model.sample(9, produce_nans=True) if nan_freq == 1.0 else None
    assert all_nan is None or (all_nan.shape == (9, 1) and all_nan["code"].isna().all())


def test_sample_seeded_mask_from_numpy(mod):
    model = mod.FormattedStringModel(make_fmeta(nan_freq=0.4))
    random.seed(5)
    plain = model.sample(60, produce_nans=False)["code"]
    frames = []
    for _ in range(2):
        random.seed(5)
        np.random.seed(8)
        frames.append(model.sample(60))
    pd.testing.assert_frame_equal(frames[0], frames[1])
    np.random.seed(8)
    mask = np.random.binomial(1, p=0.4, size=60) == 1
    got = frames[0]["code"]
    assert 0 < mask.sum() < 60 and got.isna().tolist() == mask.tolist()
    assert got[~mask].tolist() == plain[~mask].tolist()


@pytest.mark.parametrize("nan_freq, mask", [(0.5, [0, 0, 0, 0]), (0.25, [1, 0, 1, 0]), (1, [1, 1, 1, 1])])
def test_sample_draw_order_and_mask(mod, monkeypatch, nan_freq, mask):
    log = []
    monkeypatch.setattr(mod, "rstr", FakeRstr(log))
    monkeypatch.setattr(mod, "np", FakeNp(log, mask))
    df = mod.FormattedStringModel(make_fmeta(pattern="p", nan_freq=nan_freq, name="c")).sample(4)
    assert log == [("xeger", "p")] * 4 + [("binomial", (1,), [("p", nan_freq), ("size", 4)])]
    assert [None if pd.isna(v) else v for v in df["c"]] == [None if m else "v%d" % i for i, m in enumerate(mask)]


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
    meta = Meta(nan_freq=nan_freq)
    mod.FormattedStringModel(meta).sample(5, produce_nans=produce_nans)
    assert meta.reads == +Counter(pattern=10, name=1, nan_freq=nan_reads)


@pytest.mark.parametrize("case, line", [
    ("xeger", 48), ("series", 48), ("name", 48), ("truth", 50), ("compare", 50),
    ("binomial", 51), ("nan", 52), ("frame", 54)])
def test_sample_failure_lines(mod, monkeypatch, case, line):
    log, produce_nans = [], True
    monkeypatch.setattr(mod, "rstr", FakeRstr(log))
    meta = Meta(nan_freq=0.5)
    if case == "xeger":
        monkeypatch.setattr(mod, "rstr", types.SimpleNamespace(xeger=lambda p: fail("xeger")))
    elif case == "series":
        monkeypatch.setattr(mod, "pd", types.SimpleNamespace(Series=lambda *a, **k: fail("series")))
    elif case == "frame":
        monkeypatch.setattr(mod, "pd", types.SimpleNamespace(Series=NoFrame))
        produce_nans = False
    elif case == "name":
        meta._attrs["name"] = Reads(ArithmeticError("name"))
    elif case == "truth":
        produce_nans = Boom()
    elif case == "compare":
        meta._attrs["nan_freq"] = Boom()
    elif case == "binomial":
        meta._attrs["nan_freq"] = Reads(0.5, 0.5, ArithmeticError("binomial"))
    elif case == "nan":
        monkeypatch.setattr(mod, "np", NanFails([]))
    with pytest.raises(ArithmeticError, match="^%s$" % case) as ei:
        mod.FormattedStringModel(meta).sample(3, produce_nans)
    assert entries(ei.value) == [(Q + "sample", line)]
    if case in ("truth", "compare"):
        assert len(log) == 3  # every string was generated before the condition was evaluated


def test_sample_without_pattern(mod):
    meta = Meta(pattern=None)
    with pytest.raises(ModelNotFittedError) as ei:
        mod.FormattedStringModel(meta).sample(2)
    assert ei.value.args == (NO_PATTERN,)
    assert entries(ei.value) == [(Q + "sample", 48), (Q + "pattern", 38)]
    assert meta.reads == Counter(pattern=1)


@pytest.mark.parametrize("name, line", [("rstr", 48), ("pd", 48), ("np", 51)])
def test_sample_missing_global(mod, monkeypatch, name, line):
    monkeypatch.delattr(mod, name)
    with pytest.raises(NameError, match="^name '%s' is not defined$" % name) as ei:
        mod.FormattedStringModel(make_fmeta(nan_freq=0.5)).sample(2)
    assert entries(ei.value) == [(Q + "sample", line)]


# --- from_dict ----------------------------------------------------------------------------------

def test_from_dict_restores(mod):
    meta = make_fmeta(pattern="[ab]{2}", name="col", nan_freq=0.1, categories=["aa"])
    model = mod.FormattedStringModel.from_dict({"meta": meta.to_dict(), "extra": 1, "pattern": "zz"})
    assert type(model) is mod.FormattedStringModel and type(model._meta) is FormattedString
    assert model._meta is not meta and model._meta.to_dict() == meta.to_dict()
    assert (model.pattern, model.name, model.nan_freq, model.categories) == ("[ab]{2}", "col", 0.1, ["aa"])


def test_from_dict_uses_current_globals(mod, monkeypatch):
    log, replacement, inner = [], {"replaced": True}, {"anything": 1}
    fake_dict = type("FakeDict", (), {"__getitem__": lambda self, key: log.append(("Dict", key)) or "typ"})
    fake_fs = types.SimpleNamespace(from_dict=lambda d: log.append(("from_dict", d)) or make_fmeta(pattern="r"))
    monkeypatch.setattr(mod, "Dict", fake_dict())
    monkeypatch.setattr(mod, "cast", lambda typ, value: log.append(("cast", typ, value)) or replacement)
    monkeypatch.setattr(mod, "FormattedString", fake_fs)
    first = mod.FormattedStringModel.from_dict({"meta": inner, "junk": object()})
    assert log == [("Dict", (str, object)), ("cast", "typ", inner), ("from_dict", replacement)]
    assert log[1][2] is inner and log[2][1] is replacement and first.pattern == "r"
    second = mod.FormattedStringModel.from_dict({"meta": inner})
    assert second is not first and second._meta is not first._meta


@pytest.mark.parametrize("d", [{}, {"pattern": "x", "name": "y"}])
def test_from_dict_missing_meta(mod, monkeypatch, d):
    calls = []
    monkeypatch.setattr(mod, "FormattedString", types.SimpleNamespace(from_dict=calls.append))
    with pytest.raises(KeyError) as ei:
        mod.FormattedStringModel.from_dict(d)
    assert ei.value.args == ("meta",) and calls == []
    assert entries(ei.value) == [(Q + "from_dict", 58)]


def test_from_dict_subclass_and_instance(mod):
    seen = []

    class Sub(mod.FormattedStringModel):
        def __init__(self, *args, **kwargs):
            seen.append((args, kwargs))
            super().__init__(*args, **kwargs)

    d = {"meta": make_fmeta().to_dict()}
    model = Sub.from_dict(d)
    assert type(model) is Sub and seen == [((), {"meta": model._meta})]
    before = model._meta
    again = model.from_dict(d)
    assert type(again) is Sub and again is not model and model._meta is before
    assert type(mod.FormattedStringModel(make_fmeta()).from_dict(d)) is mod.FormattedStringModel


@pytest.mark.parametrize("case, line", [("cast", 58), ("host", 59), ("ctor", 60), ("kwarg", 60)])
def test_from_dict_failure_lines(mod, monkeypatch, case, line):
    cls, d = mod.FormattedStringModel, {"meta": make_fmeta().to_dict()}
    if case == "cast":
        monkeypatch.setattr(mod, "cast", fail)
    elif case == "host":
        d["meta"] = None
    elif case == "ctor":
        cls = type("Failing", (cls,), {"__init__": lambda self, meta: fail("ctor")})
    else:
        cls = type("NoMeta", (cls,), {"__init__": lambda self, other: None})
    with pytest.raises((ArithmeticError, TypeError)) as ei:
        cls.from_dict(d)
    # the interpreter names the lambda by its qualified name from 3.10 on
    assert str(ei.value).endswith({"cast": "fail", "ctor": "ctor",
                                   "host": "FormattedString.from_dict expects a dict, got NoneType"}.get(
        case, "<lambda>() got an unexpected keyword argument 'meta'"))
    assert entries(ei.value) == [(Q + "from_dict", line)]
