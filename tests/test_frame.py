"""Module namespace, class objects and the function objects of the nine members."""
import builtins
import inspect
import io
import pydoc
import re
import sys
import types
import typing
from typing import Dict, List, Optional, Sequence

import numpy as np
import pandas as pd
import pytest
import rstr

from conftest import LINES, MODULE, SOURCE, make_fmeta, make_smeta
from vandrel.metadata.rules.association import Association
from vandrel.metadata.value import FormattedString, String
from vandrel.model.base import DiscreteModel, NonAssociationModel
from vandrel.model.exceptions import ModelNotFittedError

FSM, SFS = "FormattedStringModel", "SequentialFormattedString"
FSM_DOC = (
    "A model to sample formatted strings from a regex pattern.\n\n    Attributes:\n"
    "        name (str): The name of the data column to model.\n"
    "        categories (MutableSequence[NType]): A list of the categories.\n"
    "        probabilities (Dict[NType, float]): A mapping of each of the categories to a probability.\n"
    "        pattern (str): The regex pattern from which to generate matching strings.\n\n    "
)
SFS_DOC = (
    "A model to sample formatted sequential numeric identifiers with an optional suffix or prefix.\n\n"
    "    Attributes:\n"
    "        length (int): The length of the numeric identifier. Numbers are zero padded up to this length.\n"
    "        prefix (str): The prefix of the identifier.\n"
    "        suffix (str): The suffix of the identifier.\n\n    "
)
SAMPLE_PARAMS = ("self", "n", "produce_nans", "conditions", "associations")
SAMPLE_ANN = [("n", "int"), ("produce_nans", "bool"), ("conditions", "Optional[pd.DataFrame]"),
              ("associations", "Optional[List[Association]]"), ("return", "pd.DataFrame")]

# class, member, wrapper, parameters, further locals, __defaults__, __annotations__, first line
FUNCS = [
    (FSM, "__init__", None, ("self", "meta"), (), None, [("meta", "FormattedString")], LINES["fsm_init"]),
    (FSM, "categories", property, ("self",), (), None, [("return", "Sequence[str]")], LINES["fsm_categories"]),
    (FSM, "pattern", property, ("self",), (), None, [("return", "str")], LINES["fsm_pattern"]),
    (FSM, "sample", None, SAMPLE_PARAMS, ("samples", "is_nan", "_"), (True, None, None), SAMPLE_ANN, LINES["fsm_sample"]),
    (FSM, "from_dict", classmethod, ("cls", "d"), ("meta_dict", "meta", "model"), None,
     [("d", "Dict[str, object]"), ("return", "'FormattedStringModel'")], LINES["fsm_from_dict"]),
    (SFS, "__init__", None, ("self", "meta", "length", "prefix", "suffix"), (), (None, None, None),
     [("meta", "String"), ("length", "Optional[int]"), ("prefix", "Optional[str]"),
      ("suffix", "Optional[str]")], LINES["sfs_init"]),
    (SFS, "categories", property, ("self",), (), None, [("return", "Sequence[str]")],
     LINES["sfs_categories"]),
    (SFS, "sample", None, SAMPLE_PARAMS, ("samples", "is_nan"), (True, None, None), SAMPLE_ANN,
     LINES["sfs_sample"]),
    (SFS, "from_dict", classmethod, ("cls", "d"), ("meta_dict", "meta", "model"), None,
     [("d", "Dict[str, object]"), ("return", "'SequentialFormattedString'")], LINES["sfs_from_dict"]),
]
FUNC_IDS = [f"{c}.{n}" for c, n, *_ in FUNCS]


def unwrap(obj):
    if isinstance(obj, property):
        return obj.fget
    if isinstance(obj, classmethod):
        return obj.__func__
    return obj


def expected_signature(params, defaults, annotations, bound=False):
    ann = dict(annotations)
    ret = ann.pop("return", inspect.Signature.empty)
    first_default = len(params) - len(defaults or ())
    ps = [inspect.Parameter(p, inspect.Parameter.POSITIONAL_OR_KEYWORD,
                            default=defaults[i - first_default] if i >= first_default else inspect.Parameter.empty,
                            annotation=ann.get(p, inspect.Parameter.empty))
          for i, p in enumerate(params)]
    return inspect.Signature(ps[1:] if bound else ps, return_annotation=ret)


@pytest.mark.parametrize("name, value", [
    ("Dict", Dict), ("List", List), ("Optional", Optional), ("Sequence", Sequence), ("cast", typing.cast),
    ("np", np), ("pd", pd), ("rstr", rstr), ("Association", Association),
    ("FormattedString", FormattedString), ("String", String), ("DiscreteModel", DiscreteModel),
    ("NonAssociationModel", NonAssociationModel), ("ModelNotFittedError", ModelNotFittedError),
    ("__builtins__", builtins),
])
def test_imported_names_are_the_original_objects(mod, name, value):
    assert vars(mod)[name] is value


def test_module_attributes(mod):
    assert mod.__name__ == MODULE
    assert mod.__doc__ is None
    assert type(mod.__test__) is dict and mod.__test__ == {}
    assert mod.__package__ == "vandrel.model.models"
    assert mod.__loader__ is mod.__spec__.loader
    assert mod.__file__ == mod.__spec__.origin
    assert not hasattr(mod, "__path__")


@pytest.mark.parametrize("cls_name, meta_cls, doc, length", [
    (FSM, FormattedString, FSM_DOC, 389), (SFS, String, SFS_DOC, 323)])
def test_class_objects(mod, cls_name, meta_cls, doc, length):
    cls = getattr(mod, cls_name)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (cls_name, cls_name, MODULE)
    assert cls.__doc__ == doc and len(cls.__doc__) == length
    orig = cls.__orig_bases__
    assert orig == (DiscreteModel[meta_cls, str], NonAssociationModel)
    assert orig[0].__origin__ is DiscreteModel and orig[0].__args__[1] is str
    assert cls.__bases__ == orig[0].__mro_entries__(orig) + (NonAssociationModel,)
    assert type(cls) is type(DiscreteModel)
    members = ["__init__", "categories", "pattern", "sample", "from_dict"]
    if cls_name == SFS:
        members.remove("pattern")
    assert list(vars(cls))[:3 + len(members)] == ["__module__", "__doc__", "__orig_bases__", *members]


@pytest.mark.parametrize("cls_name, member, wrapper, params, locs, defaults, ann, line", FUNCS, ids=FUNC_IDS)
def test_function_objects(mod, monkeypatch, cls_name, member, wrapper, params, locs, defaults, ann, line):
    raw = vars(getattr(mod, cls_name))[member]
    if wrapper is None:
        assert not isinstance(raw, (property, classmethod, staticmethod))
    else:
        assert type(raw) is wrapper
    if wrapper is property:
        assert raw.fset is None and raw.fdel is None and raw.__doc__ is None
    f = unwrap(raw)
    assert (f.__name__, f.__qualname__, f.__module__) == (member, f"{cls_name}.{member}", MODULE)
    assert f.__doc__ is None and f.__kwdefaults__ is None
    assert repr(f.__defaults__) == repr(defaults)
    assert list(f.__annotations__.items()) == ann
    assert f.__globals__ is vars(mod)
    assert f.__dict__ == {}
    monkeypatch.setattr(f, "marker", 7, raising=False)
    assert f.marker == 7 and f.__dict__ == {"marker": 7}

    code = f.__code__
    assert isinstance(code, types.CodeType)
    fields = ("co_name", "co_filename", "co_firstlineno", "co_argcount", "co_posonlyargcount",
              "co_kwonlyargcount", "co_varnames", "co_nlocals", "co_code", "co_consts", "co_names",
              "co_freevars", "co_cellvars")
    varnames = params + locs
    assert {k: getattr(code, k) for k in fields} == dict(zip(fields, (
        member, SOURCE, line, len(params), 0, 0, varnames, len(varnames), b"", (), (), (), ())))
    assert code.co_flags & ~inspect.CO_NOFREE == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert getattr(code, "co_qualname", f.__qualname__) == f.__qualname__  # 3.11 and later
    assert inspect.signature(f) == expected_signature(params, defaults, ann)


@pytest.fixture
def models(mod):
    return (mod.FormattedStringModel(make_fmeta()),
            mod.SequentialFormattedString(make_smeta(), 3, "a", "b"))


def test_bound_signatures(mod, models):
    table = {(c, n): row for c, n, *row in FUNCS}
    for inst in models:
        cls = type(inst)
        for member in ("__init__", "sample"):
            _, params, _, defaults, ann, _ = table[cls.__name__, member]
            assert inspect.signature(getattr(inst, member)) == expected_signature(params, defaults, ann, True)
        _, params, _, defaults, ann, _ = table[cls.__name__, "from_dict"]
        for owner in (cls, inst):
            assert inspect.signature(owner.from_dict) == expected_signature(params, defaults, ann, True)
        _, params, _, defaults, ann, _ = table[cls.__name__, "__init__"]
        assert inspect.signature(cls) == expected_signature(params, defaults, ann, True)


def test_type_hints_resolve(mod):
    F, S = mod.FormattedStringModel, mod.SequentialFormattedString
    sample = {"n": int, "produce_nans": bool, "conditions": Optional[pd.DataFrame],
              "associations": Optional[List[Association]], "return": pd.DataFrame}
    assert typing.get_type_hints(F.sample) == sample
    assert typing.get_type_hints(S.sample) == sample
    assert typing.get_type_hints(F.__init__) == {"meta": FormattedString}
    assert typing.get_type_hints(S.__init__) == {
        "meta": String, "length": Optional[int], "prefix": Optional[str], "suffix": Optional[str]}
    for cls in (F, S):
        assert typing.get_type_hints(cls.categories.fget) == {"return": Sequence[str]}
        assert typing.get_type_hints(cls.from_dict) == {"d": Dict[str, object], "return": cls}
    assert typing.get_type_hints(F.pattern.fget) == {"return": str}


@pytest.mark.parametrize("cls_name, first_doc_line", [
    (FSM, "A model to sample formatted strings from a regex pattern."),
    (SFS, "A model to sample formatted sequential numeric identifiers with an optional suffix or prefix.")])
def test_help_renders_class(mod, cls_name, first_doc_line):
    out = io.StringIO()
    pydoc.Helper(output=out).help(getattr(mod, cls_name))
    # 3.13 writes a long signature one parameter per line
    text = re.sub(r"\s*\n[\s|]*", " ", pydoc.plain(out.getvalue()))
    text = re.sub(r"\(\s+", "(", text)
    assert f"class {cls_name}(" in text and first_doc_line in text
    # from 3.14 on pydoc shows string annotations without their quotes
    q = "" if sys.version_info >= (3, 14) else "'"
    assert f"sample(self, n: {q}int{q}, produce_nans: {q}bool{q} = True" in text
    assert f"from_dict(d: {q}Dict[str, object]{q})" in text
    assert "categories" in text


def test_methods_bind_like_functions(mod, models):
    for inst in models:
        cls = type(inst)
        ns = vars(cls)
        assert cls.sample is ns["sample"] and cls.__init__ is ns["__init__"]
        for member in ("sample", "__init__"):
            bound = getattr(inst, member)
            assert type(bound) is types.MethodType
            assert bound.__self__ is inst and bound.__func__ is ns[member]

        class Sub(cls):
            pass

        sub_inst = Sub(inst._meta)
        for owner, expected in ((cls, cls), (inst, cls), (Sub, Sub), (sub_inst, Sub)):
            bound = owner.from_dict
            assert type(bound) is types.MethodType
            assert bound.__self__ is expected and bound.__func__ is ns["from_dict"].__func__
        d = {"meta": inst._meta.to_dict()}
        assert type(sub_inst.from_dict(d)) is Sub


@pytest.mark.skipif(sys.version_info < (3, 14), reason="annotations are deferred from 3.14 on")
def test_annotate_as_a_function_of_string_annotations_has_it(mod):
    def ref(n):
        pass

    ref.__annotations__ = {"n": "int"}  # attached, as the members' are: no __annotate__
    ours = mod.FormattedStringModel.sample
    saved = dict(ours.__annotations__)

    def outcome(f, step):
        try:
            step(f)
            return "ok", f.__annotate__, f.__annotations__
        except Exception as e:  # noqa: BLE001 - compared as they are
            return type(e), str(e)

    steps = [lambda f: None, lambda f: setattr(f, "__annotate__", "no"),
             lambda f: delattr(f, "__annotate__"), lambda f: setattr(f, "__annotate__", None),
             lambda f: setattr(f, "__annotate__", lambda fmt: [fmt]),
             lambda f: setattr(f, "__annotations__", {"x": "y"})]
    try:
        assert ours.__annotate__ is None and ref.__annotate__ is None
        for step in steps:
            mine, theirs = outcome(ours, step), outcome(ref, step)
            assert mine[:2] == theirs[:2] and (len(mine) < 3 or (mine[2] == {"x": "y"}) == (theirs[2] == {"x": "y"}))
        annotate = lambda fmt: {"v": fmt}  # noqa: E731
        ours.__annotate__ = annotate
        assert ours.__annotations__ == {"v": 1} and ours.__annotate__ is annotate
    finally:
        ours.__annotations__ = saved
    assert ours.__annotate__ is None and ours.__annotations__ == saved


def test_line_table_is_the_sources():
    # where the source puts the classes and the members
    first = {"fsm_class": 14, "fsm_init": 25, "fsm_categories": 28, "fsm_pattern": 35, "fsm_sample": 41,
             "fsm_from_dict": 56, "sfs_class": 65, "sfs_init": 75, "sfs_categories": 90, "sfs_sample": 97,
             "sfs_from_dict": 119}
    assert {k: LINES[k] for k in first} == first
    assert len(set(LINES)) == len(LINES) and all(LINES[k] < LINES[j] for k, j in zip(first, list(first)[1:]))
