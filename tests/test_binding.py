"""Argument binding, typed parameters and call-time globals of the nine members."""
import builtins
import collections
import types
from typing import Dict, Optional

import _testcapi
import numpy as np
import pytest

from conftest import MODULE, entries, make_fmeta, make_smeta

PATTERN = r"[A-Z]{3}-\d{4}"
SAMPLE = ("self", "n", "produce_nans", "conditions", "associations")
# qualified name, parameters, number of defaults, first line
MEMBERS = [
    ("FormattedStringModel.__init__", ("self", "meta"), 0, 25),
    ("FormattedStringModel.categories", ("self",), 0, 28),
    ("FormattedStringModel.pattern", ("self",), 0, 35),
    ("FormattedStringModel.sample", SAMPLE, 3, 41),
    ("FormattedStringModel.from_dict", ("cls", "d"), 0, 56),
    ("SequentialFormattedString.__init__", ("self", "meta", "length", "prefix", "suffix"), 3, 75),
    ("SequentialFormattedString.categories", ("self",), 0, 90),
    ("SequentialFormattedString.sample", SAMPLE, 3, 97),
    ("SequentialFormattedString.from_dict", ("cls", "d"), 0, 119),
]
MEMBER_IDS = [m[0] for m in MEMBERS]


class MyInt(int):
    pass


class MyStr(str):
    pass


class MyList(list):
    pass


class MyDict(dict):
    pass


def function(mod, qualname):
    cls_name, name = qualname.split(".")
    obj = vars(getattr(mod, cls_name))[name]
    if isinstance(obj, property):
        return obj.fget
    if isinstance(obj, classmethod):
        return obj.__func__
    return obj


def takes(name, word, num, given):
    return f"{name}() takes {word} {num} positional argument{'' if num == 1 else 's'} ({given} given)"


def outcome(call):
    """(exception type, message, module traceback entries) of a call that is expected to fail."""
    try:
        call()
    except Exception as exc:  # noqa: BLE001 - the outcome itself is compared
        return type(exc).__name__, str(exc), entries(exc)
    return "no error", None, None


def binding_cases(name, params, ndefaults):
    """(positional args, keyword args, message) for every binding failure of a member."""
    nall, nreq = len(params), len(params) - ndefaults
    few, many = ("exactly", "exactly") if not ndefaults else ("at least", "at most")
    cases = [([0] * (nall + 1), {}, takes(name, many, nall, nall + 1)),
             ([0] * (nall + 1), {"zzz": 0}, takes(name, many, nall, nall + 1))]
    for k in range(nreq):
        short = takes(name, few, nreq, k)
        cases += [([0] * k, {}, short), ([0] * k, {"zzz": 0}, short)]
        if k:  # required parameters before the missing one given by keyword, or twice
            cases += [([], {**dict.fromkeys(params[:k], 0), "zzz": 0}, short), ([0] * k, {params[0]: 0}, short)]
    req = [0] * nreq
    unexpected = f"{name}() got an unexpected keyword argument 'zzz'"
    multiple = "%s() got multiple values for keyword argument '%s'"
    cases += [(req, {"zzz": 0}, unexpected), (req, {params[0]: 0}, multiple % (name, params[0])),
              (req, {"zzz": 0, params[0]: 0}, unexpected), (req, {params[0]: 0, "zzz": 0}, multiple % (name, params[0]))]
    if nreq > 1:
        cases.append((req, {params[nreq - 1]: 0}, multiple % (name, params[nreq - 1])))
    if ndefaults:
        cases += [([0], {params[-1]: 0}, takes(name, few, nreq, 1)),
                  ([0] * nall, {params[-1]: 0}, multiple % (name, params[-1])),
                  (req, {params[-1]: 0, "zzz": 0}, unexpected)]
    return cases


@pytest.mark.parametrize("qualname, params, ndefaults, line", MEMBERS, ids=MEMBER_IDS)
def test_binding_errors(mod, qualname, params, ndefaults, line):
    f = function(mod, qualname)
    cases = binding_cases(f.__name__, params, ndefaults)
    got = [outcome(lambda: f(*args, **kwargs)) for args, kwargs, _ in cases]
    entry = [(f"{MODULE}.{qualname}", line)]
    assert got == [("TypeError", message, entry) for *_, message in cases]


@pytest.mark.parametrize("qualname, params, ndefaults, line", MEMBERS, ids=MEMBER_IDS)
def test_non_string_keyword_names(mod, qualname, params, ndefaults, line):
    f = function(mod, qualname)
    name, nreq = f.__name__, len(params) - ndefaults
    req = (0,) * nreq
    calls = [
        (req + (0,), (5,), f"{name}() keywords must be strings"),
        (req + (0, 0), (5, "zzz"), f"{name}() keywords must be strings"),
        (req + (0, 0), ("zzz", 5), f"{name}() got an unexpected keyword argument 'zzz'"),
        (req[1:] + (0,), (5,), takes(name, "exactly" if not ndefaults else "at least", nreq, nreq - 1)),
    ]
    got = [outcome(lambda: _testcapi.pyobject_vectorcall(f, a, kw)) for a, kw, _ in calls]
    assert got == [("TypeError", m, [(f"{MODULE}.{qualname}", line)]) for *_, m in calls]


@pytest.fixture
def c(mod):
    F, S = mod.FormattedStringModel, mod.SequentialFormattedString
    fmeta, smeta = make_fmeta(), make_smeta(categories=None)
    return types.SimpleNamespace(
        F=F, S=S, fmeta=fmeta, smeta=smeta, fm=F(fmeta), sm=S(smeta, 3),
        fm_bare=F(make_fmeta(pattern=None)), fm_nan=F(make_fmeta(nan_freq=0.5)),
        fdict={"meta": fmeta.to_dict()}, sdict={"meta": smeta.to_dict(), "length": 3})


@pytest.mark.parametrize("call, message, qualname, line", [
    (lambda c: c.fm.sample(), takes("sample", "at least", 2, 1), "FormattedStringModel.sample", 41),
    (lambda c: c.sm.sample(1, True, None, None, None), takes("sample", "at most", 5, 6),
     "SequentialFormattedString.sample", 97),
    (lambda c: c.fm.sample(produce_nans=False), takes("sample", "at least", 2, 1), "FormattedStringModel.sample", 41),
    (lambda c: c.fm.sample(True, zzz=1), "sample() got an unexpected keyword argument 'zzz'",
     "FormattedStringModel.sample", 41),
    (lambda c: c.F(), takes("__init__", "exactly", 2, 1), "FormattedStringModel.__init__", 25),
    (lambda c: c.F(c.fmeta, meta=c.fmeta), "__init__() got multiple values for keyword argument 'meta'",
     "FormattedStringModel.__init__", 25),
    (lambda c: c.S(length=3), takes("__init__", "at least", 2, 1), "SequentialFormattedString.__init__", 75),
    (lambda c: c.S(c.smeta, 1, "a", "b", "c"), takes("__init__", "at most", 5, 6),
     "SequentialFormattedString.__init__", 75),
    (lambda c: c.F.from_dict(), takes("from_dict", "exactly", 2, 1), "FormattedStringModel.from_dict", 56),
    (lambda c: c.fm.from_dict({}, {}), takes("from_dict", "exactly", 2, 3), "FormattedStringModel.from_dict", 56),
    (lambda c: c.S.from_dict(cls=c.S, d={}), "from_dict() got multiple values for keyword argument 'cls'",
     "SequentialFormattedString.from_dict", 119),
])
def test_binding_errors_through_classes_and_instances(c, call, message, qualname, line):
    assert outcome(lambda: call(c)) == ("TypeError", message, [(f"{MODULE}.{qualname}", line)])


LONG = type("L" * 300, (int,), {})


@pytest.mark.parametrize("call, param, expected, got", [
    (lambda c: c.fm_bare.sample(True), "n", "int", "bool"),
    (lambda c: c.fm_bare.sample(n=False), "n", "int", "bool"),
    (lambda c: c.fm_bare.sample(MyInt(2)), "n", "int", "MyInt"),
    (lambda c: c.sm.sample(np.int64(2)), "n", "int", "numpy.int64"),
    (lambda c: c.sm.sample(2.0), "n", "int", "float"),
    (lambda c: c.fm_bare.sample(LONG(1)), "n", "int", "L" * 200),
    (lambda c: c.fm_bare.sample(1, associations=()), "associations", "list", "tuple"),
    (lambda c: c.sm.sample(1, True, None, MyList()), "associations", "list", "MyList"),
    (lambda c: c.sm.sample("1", associations={}), "n", "int", "str"),
    (lambda c: c.S(c.smeta, True), "length", "int", "bool"),
    (lambda c: c.S(c.smeta, np.int64(3)), "length", "int", "numpy.int64"),
    (lambda c: c.S(c.smeta, 1.0, 2, 3), "length", "int", "float"),
    (lambda c: c.S(c.smeta, 3, 1), "prefix", "str", "int"),
    (lambda c: c.S(c.smeta, 3, MyStr("a")), "prefix", "str", "MyStr"),
    (lambda c: c.S(meta=c.smeta, suffix=1, prefix=2), "prefix", "str", "int"),
    (lambda c: c.S(c.smeta, None, None, b"x"), "suffix", "str", "bytes"),
    (lambda c: c.F.from_dict(collections.OrderedDict(c.fdict)), "d", "dict", "collections.OrderedDict"),
    (lambda c: c.fm.from_dict(d=collections.defaultdict(list, c.fdict)), "d", "dict", "collections.defaultdict"),
    (lambda c: c.S.from_dict(MyDict(c.sdict)), "d", "dict", "MyDict"),
    (lambda c: c.sm.from_dict(None), "d", "dict", "NoneType"),
])
def test_typed_parameters_are_exact(c, call, param, expected, got):
    assert outcome(lambda: call(c)) == (
        "TypeError", f"Argument '{param}' has incorrect type (expected {expected}, got {got})", [])


def test_type_error_runs_nothing_of_the_body(c):
    blank = c.S.__new__(c.S)
    with pytest.raises(TypeError, match="Argument 'length'"):
        c.S.__init__(blank, c.smeta, True)
    assert vars(blank) == {}


def test_exact_types_are_accepted(c):
    for call in (lambda: c.fm_bare.sample(0, associations=None), lambda: c.fm_bare.sample(0, False, "x", []),
                 lambda: c.sm.sample(n=0, associations=[1, "x"])):
        assert call().shape == (0, 1)
    assert vars(c.F)["sample"](conditions=1, n=0, self=c.fm_bare).shape == (0, 1)  # all by keyword
    model = c.S(c.smeta, 0, "", "")
    assert (model.length, model.prefix, model.suffix) == (0, "", "")
    assert type(c.F.from_dict(c.fdict)) is c.F and type(c.S.from_dict(c.sdict)) is c.S


@pytest.mark.parametrize("name, call, qualname, line", [
    ("ModelNotFittedError", lambda c: c.fm.categories, "FormattedStringModel.categories", 31),
    ("ModelNotFittedError", lambda c: c.fm_bare.pattern, "FormattedStringModel.pattern", 38),
    ("ModelNotFittedError", lambda c: c.sm.categories, "SequentialFormattedString.categories", 93),
    ("pd", lambda c: c.fm.sample(1), "FormattedStringModel.sample", 48),
    ("rstr", lambda c: c.fm.sample(1), "FormattedStringModel.sample", 48),
    ("np", lambda c: c.fm_nan.sample(1), "FormattedStringModel.sample", 51),
    ("pd", lambda c: c.sm.sample(1), "SequentialFormattedString.sample", 104),
    ("np", lambda c: c.sm.sample(1), "SequentialFormattedString.sample", 104),
    ("cast", lambda c: c.F.from_dict(c.fdict), "FormattedStringModel.from_dict", 58),
    ("Dict", lambda c: c.F.from_dict(c.fdict), "FormattedStringModel.from_dict", 58),
    ("FormattedString", lambda c: c.F.from_dict(c.fdict), "FormattedStringModel.from_dict", 59),
    ("cast", lambda c: c.S.from_dict(c.sdict), "SequentialFormattedString.from_dict", 121),
    ("String", lambda c: c.S.from_dict(c.sdict), "SequentialFormattedString.from_dict", 122),
    ("Optional", lambda c: c.S.from_dict(c.sdict), "SequentialFormattedString.from_dict", 125),
])
def test_missing_global_raises_name_error(mod, c, monkeypatch, name, call, qualname, line):
    outcome(lambda: call(c))  # a first call, so that a cached lookup would be stale
    monkeypatch.delattr(mod, name)
    assert outcome(lambda: call(c)) == (
        "NameError", f"name '{name}' is not defined", [(f"{MODULE}.{qualname}", line)])


def test_rebound_globals_are_seen_at_next_call(mod, c, monkeypatch):
    class Boom(Exception):
        pass

    assert c.fm.sample(1)["code"].str.fullmatch(PATTERN).all()
    assert outcome(lambda: c.sm.categories)[0] == "ModelNotFittedError"
    monkeypatch.setattr(mod, "ModelNotFittedError", Boom)
    assert [outcome(lambda: m.categories)[0] for m in (c.fm, c.sm)] == ["Boom", "Boom"]
    with pytest.raises(Boom) as info:
        c.fm_bare.pattern
    assert info.value.args == ("FormattedStringModel doesn't have a pattern specified.",)

    seen = []
    monkeypatch.setattr(mod, "rstr", types.SimpleNamespace(xeger=lambda p: seen.append(p) or "x"))
    assert c.fm.sample(2, produce_nans=False)["code"].tolist() == ["x", "x"]
    assert seen == [PATTERN, PATTERN]

    draws = []

    def binomial(*args, **kwargs):
        draws.append((args, kwargs))
        return np.array([1, 0, 1])

    monkeypatch.setattr(mod, "np", types.SimpleNamespace(random=types.SimpleNamespace(binomial=binomial), nan="gap"))
    assert c.fm_nan.sample(3)["code"].tolist() == ["gap", "x", "gap"]
    assert draws == [((1,), {"p": 0.5, "size": 3})]

    monkeypatch.setattr(mod, "pd", types.SimpleNamespace(
        Series=lambda data, name: types.SimpleNamespace(to_frame=lambda: ("frame", data, name))))
    assert c.fm.sample(2, produce_nans=False) == ("frame", ["x", "x"], "code")


def test_rebound_cast_sees_captured_object(mod, c, monkeypatch):
    seen = []
    monkeypatch.setattr(mod, "cast", lambda t, v: seen.append(t) or v)
    monkeypatch.setattr(mod, "object", 42, raising=False)  # the captured built-in is used, not this
    assert type(c.F.from_dict(c.fdict)) is c.F
    assert c.S.from_dict(c.sdict).length == 3
    assert seen == [Dict[str, object], Dict[str, object], Optional[str], Optional[str], Optional[int]]


def test_global_found_only_in_builtins(mod, c, monkeypatch):
    class Boom(Exception):
        pass

    monkeypatch.setattr(builtins, "rstr", types.SimpleNamespace(xeger=lambda p: "b"), raising=False)
    assert c.fm.sample(1, produce_nans=False)["code"].str.fullmatch(PATTERN).all()  # module first
    monkeypatch.delattr(mod, "rstr")
    assert c.fm.sample(1, produce_nans=False)["code"].tolist() == ["b"]
    monkeypatch.delattr(mod, "ModelNotFittedError")
    monkeypatch.setattr(builtins, "ModelNotFittedError", Boom, raising=False)
    assert outcome(lambda: c.sm.categories)[0] == "Boom"


def test_global_bound_during_its_own_lookup_is_seen_by_the_next_call(mod, c, monkeypatch):
    # A key of the builtins whose __eq__ binds `rstr` in the module while the
    # lookup falls through to the builtins: the next call must not keep the builtin.
    mine = types.SimpleNamespace(xeger=lambda p: "m")

    class Key:
        def __hash__(self):
            return hash("rstr")

        def __eq__(self, other):
            if armed:
                vars(mod)["rstr"] = mine
            return False

    armed = False
    monkeypatch.delattr(mod, "rstr")
    monkeypatch.setitem(vars(builtins), Key(), None)  # ahead of `rstr` on the builtins' probe path
    monkeypatch.setattr(builtins, "rstr", types.SimpleNamespace(xeger=lambda p: "b"), raising=False)
    armed = True
    assert c.fm.sample(1, produce_nans=False)["code"].tolist() == ["b"]
    assert c.fm.sample(1, produce_nans=False)["code"].tolist() == ["m"]


def test_module_names_shadowing_captured_builtins_change_nothing(mod, c, monkeypatch):
    for name in ("property", "super", "range", "object", "str"):
        monkeypatch.setattr(mod, name, 42, raising=False)
    assert c.F(c.fmeta)._meta is c.fmeta and c.S(c.smeta, 2).length == 2
    assert c.fm.sample(2, produce_nans=False).shape == (2, 1)
    assert c.sm.sample(2, produce_nans=False)["ident"].tolist() == ["000", "001"]
    assert type(c.F.from_dict(c.fdict)) is c.F and c.fm.pattern == PATTERN


def test_rebinding_captured_builtins_changes_nothing(mod, c, monkeypatch):
    monkeypatch.setattr(mod, "pd", types.SimpleNamespace(
        Series=lambda data, name: types.SimpleNamespace(to_frame=lambda: data)))
    monkeypatch.setattr(mod, "rstr", types.SimpleNamespace(xeger=lambda p: p + "!"))
    with monkeypatch.context() as mp:  # keep the window with broken built-ins small
        for name in ("property", "super", "range"):
            mp.setattr(builtins, name, 42)
        made, seq = c.F(c.fmeta), c.S(c.smeta, 2)
        rows, pattern = c.fm.sample(3, produce_nans=False), c.fm.pattern
    assert made._meta is c.fmeta and seq._meta is c.smeta and seq.length == 2
    assert rows == [PATTERN + "!"] * 3 and pattern == PATTERN
