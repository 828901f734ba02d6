"""Hostile input: argument binding of all nine members against a model of the
binding rules (keyword names delivered from C included), huge and negative row
counts, and subclasses of the tested types."""
import collections
import importlib
import types

import _testcapi
import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

from conftest import MODULE, entries, make_fmeta, make_smeta, scaled
from vandrel.model.base import DiscreteModel
from vandrel.model.exceptions import ModelNotFittedError

M = importlib.import_module(MODULE)
FSM, SFS = M.FormattedStringModel, M.SequentialFormattedString


def raw(cls, name):
    """The function object of a member, as stored in the class."""
    v = vars(cls)[name]
    return getattr(v, "fget", None) or getattr(v, "__func__", v)


SAMPLE = ("self", "n", "produce_nans", "conditions", "associations")
MEMBERS = [  # class, member, parameters, required, first line
    (FSM, "__init__", ("self", "meta"), 2, 25), (FSM, "categories", ("self",), 1, 28),
    (FSM, "pattern", ("self",), 1, 35), (FSM, "sample", SAMPLE, 2, 41), (FSM, "from_dict", ("cls", "d"), 2, 56),
    (SFS, "__init__", ("self", "meta", "length", "prefix", "suffix"), 2, 75), (SFS, "categories", ("self",), 1, 90),
    (SFS, "sample", SAMPLE, 2, 97), (SFS, "from_dict", ("cls", "d"), 2, 119),
]


def bind(name, params, nreq, nargs, kwnames):
    """The binding rules: ("ok", {parameter: slot}) or ("error", message)."""
    n = len(params)

    def count(many, given):
        c = n if many else nreq
        word = "exactly" if nreq == n else ("at most" if many else "at least")
        return "%s() takes %s %d positional argument%s (%d given)" % (name, word, c, "" if c == 1 else "s", given)

    if nargs > n or (not kwnames and nargs < nreq):
        return "error", count(nargs > n, nargs)
    slots, used = {p: i for i, p in enumerate(params[:nargs])}, set()
    for i in range(nargs, nreq):
        j = next((j for j, k in enumerate(kwnames) if isinstance(k, str) and k == params[i]), None)
        if j is None:
            return "error", count(False, i)
        slots[params[i]] = nargs + j
        used.add(j)
    for j, k in enumerate(kwnames):
        if j in used:
            continue
        if not isinstance(k, str):
            return "error", "%s() keywords must be strings" % name
        if k not in params:
            return "error", "%s() got an unexpected keyword argument '%s'" % (name, k)
        if k in slots:
            return "error", "%s() got multiple values for keyword argument '%s'" % (name, k)
        slots[k] = nargs + j
    return "ok", slots


Name = type("Name", (str,), {})  # a keyword name that is a str, but not the interned one
SEEN = []  # tags of the produce_nans values whose truth was taken
Flag = type("Flag", (types.SimpleNamespace,), {"__bool__": lambda self: SEEN.append(self.tag) or False})
Recorder = type("Recorder", (DiscreteModel,), {"__init__": lambda self, meta: vars(self).update(_meta=meta)})
PF, PS = type("PF", (FSM, Recorder), {}), type("PS", (SFS, Recorder), {})


def new(cls, tag):
    obj = cls.__new__(cls)
    obj.tag = tag
    return obj


def host(tag):
    """`self` of the getters and of `sample`, with what they read."""
    return types.SimpleNamespace(pattern="x", length=1, prefix=None, suffix=None, nan_freq=None, name=tag,
                                 _meta=types.SimpleNamespace(categories=[tag], pattern="t%d" % tag))


VALUE = {  # a valid value for each parameter that tells which slot (tag) it was passed in
    "self": lambda m, t: new({"F": PF, "S": PS}[m[0]], t) if m[1] == "__init__" else host(t),
    "meta": lambda m, t: types.SimpleNamespace(tag=t, nan_freq=None), "length": lambda m, t: t,
    "prefix": lambda m, t: "p%d" % t, "suffix": lambda m, t: "s%d" % t, "n": lambda m, t: t,
    "produce_nans": lambda m, t: Flag(tag=t), "conditions": lambda m, t: object(), "associations": lambda m, t: [t],
    "cls": lambda m, t: (lambda **kw: (t, kw)), "d": lambda m, t: {"meta": {"name": "m%d" % t}},
}


def observe(member, result, passed):
    """Which slot each observable parameter was bound from (None: its default)."""
    if member[1] == "__init__":
        model = next(v for v in passed if isinstance(v, Recorder) and "_meta" in vars(v))
        seen = {"self": model.tag, "meta": model._meta.tag}
        if member[0] == "S":
            seen.update(length=model.length, prefix=model.prefix and int(model.prefix[1:]),
                        suffix=model.suffix and int(model.suffix[1:]))
        return seen
    if member[1] == "categories":
        return {"self": result[0]}
    if member[1] == "pattern":
        return {"self": int(result[1:])}
    if member[1] == "sample":
        return {"self": result.columns[0], "n": len(result), "produce_nans": SEEN.pop() if SEEN else None}
    return {"cls": result[0], "d": int(result[1]["meta"].name[1:])}


OBSERVED = {"__init__": ("self", "meta", "length", "prefix", "suffix"), "categories": ("self",),
            "pattern": ("self",), "sample": ("self", "n", "produce_nans"), "from_dict": ("cls", "d")}
KEYWORDS = st.one_of(st.sampled_from(sorted({p for m in MEMBERS for p in m[2]} | {"bogus", "Self"})),
                     st.sampled_from([1, None, b"n", ("self",)]), st.builds(Name, st.sampled_from(["n", "self", "d"])))


@st.composite
def calls(draw):
    """(member, positional count, keyword names, None for no keywords): mostly the
    member's own names after the positional ones, with hostile names mixed in."""
    member = draw(st.integers(0, len(MEMBERS) - 1))
    params = MEMBERS[member][2]
    nargs = draw(st.integers(0, len(params) + 1))
    names = list(draw(st.permutations(params[nargs:] if draw(st.booleans()) else params)))
    names = names[:draw(st.integers(0, len(names)))]
    for extra in draw(st.lists(KEYWORDS, max_size=4)):
        names.insert(draw(st.integers(0, len(names))), extra)
    return member, nargs, tuple(names), draw(st.booleans())


@settings(max_examples=scaled(200, 3000), deadline=None, database=None, suppress_health_check=list(HealthCheck))
@given(calls())
@example((3, 1, ("n", 1), False))
@example((3, 1, ("n", "n"), False))
@example((3, 2, ("n", Name("n")), False))
@example((8, 1, (Name("d"), 1, "d"), False))
@example((3, 1, (Name("n"), "bogus", "n"), True))
@example((5, 1, ("length", "prefix", "suffix", "meta", "bogus", "x", "y", "z", "w"), True))
@example((5, 1, ("length", "prefix", "suffix", "meta", "self"), False))
@example((7, 0, (), True))
def test_binding_matches_model(case):
    index, nargs, kwnames, none_for_empty = case
    cls, name, params, nreq, line = MEMBERS[index]
    member = (cls.__name__[0], name)
    verdict, detail = bind(name, params, nreq, nargs, kwnames)
    slot_of = {slot: p for p, slot in detail.items()} if verdict == "ok" else {}
    passed = tuple(VALUE[slot_of[s]](member, s + 1) if s in slot_of else object()
                   for s in range(nargs + len(kwnames)))
    SEEN.clear()
    try:
        result = _testcapi.pyobject_vectorcall(raw(cls, name), passed, kwnames or (None if none_for_empty else ()))
    except Exception as e:
        got = ("error", type(e), str(e), entries(e))
    else:
        got = ("ok", observe(member, result, passed))
    if verdict == "error":
        assert got == ("error", TypeError, detail, [(MODULE + "." + cls.__name__ + "." + name, line)])
    else:
        expected = {p: (detail[p] + 1 if p in detail else None) for p in OBSERVED[name] if p in params}
        assert got == ("ok", expected)


# --- row counts out of the ordinary ----------------------------------------------------------------

class Boom(Exception):
    pass


def raising(*args):
    raise Boom()


FQ, SQ = MODULE + ".FormattedStringModel.", MODULE + ".SequentialFormattedString."
fm = FSM(make_fmeta(name="c", nan_freq=0.5))
fm0 = FSM(make_fmeta(pattern=None, nan_freq=0.5))
sm = SFS(make_smeta(name="c", nan_freq=0.5), 2, "a", "b")


@pytest.mark.parametrize("call, rstr, outcome, where", [
    (lambda: fm0.sample(2 ** 62), None, ModelNotFittedError, [(FQ + "sample", 48), (FQ + "pattern", 38)]),
    (lambda: fm0.sample(2 ** 64 + 1), None, ModelNotFittedError, [(FQ + "sample", 48), (FQ + "pattern", 38)]),
    (lambda: fm.sample(2 ** 62), raising, Boom, [(FQ + "sample", 48)]),
    (lambda: fm.sample(2 ** 70), raising, Boom, [(FQ + "sample", 48)]),
    (lambda: sm.sample(2 ** 62), None, (ValueError, MemoryError), [(SQ + "sample", 104)]),
    (lambda: sm.sample(2 ** 70), None, (ValueError, OverflowError, MemoryError), [(SQ + "sample", 104)]),
    (lambda: fm.sample(-3), None, ValueError, [(FQ + "sample", 51)]),
    (lambda: sm.sample(-3), None, ValueError, [(SQ + "sample", 114)]),
    (lambda: fm.sample(-2 ** 70), None, (ValueError, OverflowError), [(FQ + "sample", 51)]),
    (lambda: fm.sample(-3, False).shape, raising, (0, 1), None),
    (lambda: fm.sample(-2 ** 70, None).shape, raising, (0, 1), None),
    (lambda: sm.sample(-2 ** 62, 0).shape, None, (0, 1), None),
], ids=["f-2**62-unfitted", "f-2**64+1-unfitted", "f-2**62-xeger", "f-2**70-xeger", "s-2**62", "s-2**70",
        "f-negative", "s-negative", "f--2**70", "f-negative-no-nans", "f--2**70-no-nans", "s--2**62-no-nans"])
def test_row_counts(monkeypatch, call, rstr, outcome, where):
    if rstr is not None:
        monkeypatch.setattr(M, "rstr", types.SimpleNamespace(xeger=rstr))
    if where is None:
        assert call() == outcome
        return
    with pytest.raises(outcome) as ei:
        call()
    assert entries(ei.value) == where


# --- subclasses of the tested types ----------------------------------------------------------------

Int, Str, Dict, List = (type(t.__name__.capitalize() + "Sub", (t,), {}) for t in (int, str, dict, list))
smeta, sd = make_smeta(), {"meta": make_smeta().to_dict()}
ARG = "Argument '%s' has incorrect type (expected %s, got %s)"
VIA_FROM_DICT, PATTERN = [(SQ + "from_dict", 123)], [(FQ + "pattern", 39)]


@pytest.mark.parametrize("call, message, where", [  # a type test adds no entry of its own member
    (lambda: fm.sample(Int(2)), ARG % ("n", "int", "IntSub"), []),
    (lambda: sm.sample(True), ARG % ("n", "int", "bool"), []),
    (lambda: fm.sample(2, associations=List()), ARG % ("associations", "list", "ListSub"), []),
    (lambda: sm.sample(n=2, associations=List([1])), ARG % ("associations", "list", "ListSub"), []),
    (lambda: SFS(smeta, Int(3)), ARG % ("length", "int", "IntSub"), []),
    (lambda: SFS(smeta, False), ARG % ("length", "int", "bool"), []),
    (lambda: SFS(smeta, 3, Str("a")), ARG % ("prefix", "str", "StrSub"), []),
    (lambda: SFS(smeta, suffix=Str("b")), ARG % ("suffix", "str", "StrSub"), []),
    (lambda: FSM.from_dict(Dict(sd)), ARG % ("d", "dict", "DictSub"), []),
    (lambda: SFS.from_dict(d=collections.OrderedDict(sd)), ARG % ("d", "dict", "collections.OrderedDict"), []),
    (lambda: SFS.from_dict(collections.defaultdict(None, sd)), ARG % ("d", "dict", "collections.defaultdict"), []),
    (lambda: SFS.from_dict(dict(sd, length=Int(2))), ARG % ("length", "int", "IntSub"), VIA_FROM_DICT),
    (lambda: SFS.from_dict(dict(sd, prefix=Str("x"))), ARG % ("prefix", "str", "StrSub"), VIA_FROM_DICT),
    (lambda: FSM(make_fmeta(pattern=Str("ab"))).pattern, "Expected unicode, got StrSub", PATTERN),
    (lambda: FSM(make_fmeta(pattern=Str("ab"))).sample(1), "Expected unicode, got StrSub", [(FQ + "sample", 48)] + PATTERN),
], ids=["n-int", "n-bool", "associations", "associations-keyword", "length-int", "length-bool", "prefix", "suffix",
        "d-dict", "d-ordered", "d-default", "from_dict-length", "from_dict-prefix", "pattern", "sample-pattern"])
def test_subclasses_are_refused(call, message, where):
    with pytest.raises(TypeError) as ei:
        call()
    assert (str(ei.value), entries(ei.value)) == (message, where)
