"""Loading the module: namespace, repeated and failed imports, class creation, interpreters.

Every test runs in a fresh interpreter, so that the module body runs under the
conditions the test sets up.
"""
import json
import subprocess
import sys
import textwrap

import pytest

from conftest import MODULE

PRELUDE = f"""
import importlib, json, sys, traceback, types
NAME = {MODULE!r}

def entries(exc):
    return [[fs.name, fs.lineno] for fs in traceback.extract_tb(exc.__traceback__)
            if fs.filename == "vandrel/model/models/string"]

def attempt():
    try:
        importlib.import_module(NAME)
    except BaseException as exc:
        return [type(exc).__name__, str(exc), entries(exc), NAME in sys.modules]
    return "imported"

def fake(name, *keep):
    real = importlib.import_module(name)
    stub = types.ModuleType(name)
    for attr in keep:
        setattr(stub, attr, getattr(real, attr))
    sys.modules[name] = stub
    return real
"""


def run(tmp_path, body):
    """Run PRELUDE + body in a new interpreter; return what it printed as JSON."""
    proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
                          cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


TAIL = ["__builtins__", "Dict", "List", "Optional", "Sequence", "cast", "np", "pd", "rstr", "Association",
        "FormattedString", "String", "DiscreteModel", "NonAssociationModel", "ModelNotFittedError",
        "FormattedStringModel", "SequentialFormattedString", "__test__"]


def test_namespace_binding_order_and_no_version_warning(tmp_path):
    out = run(tmp_path, """
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            m = importlib.import_module(NAME)
        print(json.dumps([list(vars(m)), [str(w.message) for w in caught]]))
    """)
    names, warned = out
    assert names[:2] == ["__name__", "__doc__"]
    head = names[:names.index("__builtins__")]
    assert "__file__" in head
    assert set(head) <= {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert names[len(head):] == TAIL
    assert not [w for w in warned if "compile time version" in w]


def test_second_import_gives_the_same_module_without_running_the_body(tmp_path):
    out = run(tmp_path, """
        from vandrel.metadata.value import FormattedString
        m1 = importlib.import_module(NAME)
        F, S, T = m1.FormattedStringModel, m1.SequentialFormattedString, m1.__test__
        inst = F(FormattedString("c", pattern="a"))
        m1.np = "marker"  # a second run of the body would bind numpy again
        del sys.modules[NAME]
        m2 = importlib.import_module(NAME)
        m3 = importlib.reload(m2)
        print(json.dumps({
            "same module": m2 is m1 and m3 is m1 and sys.modules[NAME] is m1,
            "same classes": m2.FormattedStringModel is F and m2.SequentialFormattedString is S,
            "same __test__": m2.__test__ is T,
            "body not rerun": m2.np == "marker",
            "old instance": isinstance(inst, m2.FormattedStringModel),
        }))
    """)
    assert out == dict.fromkeys(["same module", "same classes", "same __test__", "body not rerun",
                                 "old instance"], True)


REAL_BASE = "import vandrel.model.base as b, vandrel.metadata.value as v\nreal = b.DiscreteModel\n"


@pytest.mark.parametrize("setup, undo, error, message, line", [
    ("real = fake('vandrel.model.exceptions')", "sys.modules[real.__name__] = real",
     "ImportError", "cannot import name ModelNotFittedError", 11),
    ("real = fake('vandrel.model.base', 'DiscreteModel')", "sys.modules[real.__name__] = real",
     "ImportError", "cannot import name NonAssociationModel", 10),
    ("real = fake('vandrel.metadata.value', 'FormattedString')", "sys.modules[real.__name__] = real",
     "ImportError", "cannot import name String", 9),
    ("real = fake('vandrel.metadata.rules.association')", "sys.modules[real.__name__] = real",
     "ImportError", "cannot import name Association", 7),
    ("class Block:\n"
     "    def find_spec(self, name, path=None, target=None):\n"
     "        if name == 'rstr': raise ModuleNotFoundError('rstr is blocked')\n"
     "sys.modules.pop('rstr', None)\nsys.meta_path.insert(0, Block())",
     "sys.meta_path.pop(0)", "ModuleNotFoundError", "rstr is blocked", 5),
    (REAL_BASE + "b.DiscreteModel = object()", "b.DiscreteModel = real",
     "TypeError", "'object' object is not subscriptable", 14),
    (REAL_BASE + "class DM:\n"
     "    def __class_getitem__(cls, item):\n"
     "        if item[0] is v.String: raise ValueError('no String model')\n"
     "        return real[item]\n"
     "b.DiscreteModel = DM", "b.DiscreteModel = real", "ValueError", "no String model", 65),
    (REAL_BASE + "class Alias:\n"
     "    def __mro_entries__(self, bases): return [real]\n"
     "class DM:\n"
     "    def __class_getitem__(cls, item): return Alias()\n"
     "b.DiscreteModel = DM", "b.DiscreteModel = real", "TypeError", "__mro_entries__ must return a tuple", 14),
    (REAL_BASE + "class Meta(type): pass\nclass Other(metaclass=Meta): pass\n"
     "class DM:\n"
     "    def __class_getitem__(cls, item): return Other\n"
     "b.DiscreteModel = DM", "b.DiscreteModel = real", "TypeError",
     "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass "
     "of the metaclasses of all its bases", 14),
], ids=["line11", "line10", "line9", "line7", "line5", "line14-not-subscriptable",
        "line65", "line14-mro-entries", "line14-metaclass-conflict"])
def test_failed_body_reports_its_line_and_a_later_import_succeeds(tmp_path, setup, undo, error, message, line):
    out = run(tmp_path, f"""
{setup}
failed = attempt()
{undo}
second = attempt()
m = sys.modules.get(NAME)
print(json.dumps([failed, second, m is not None and m.FormattedStringModel.__module__ == NAME
                  and m.ModelNotFittedError is importlib.import_module("vandrel.model.exceptions").ModelNotFittedError]))
""")
    assert out == [[error, message, [[f"init {MODULE}", line]], False], "imported", True]


@pytest.mark.parametrize("setup, check", [
    # a name missing from the module is taken from a loaded submodule of that name
    ("fake('vandrel.model.exceptions')\n"
     "sub = sys.modules['vandrel.model.exceptions.ModelNotFittedError'] = types.ModuleType('sub')",
     "m.ModelNotFittedError is sub"),
    # the imports go to the import machinery directly, not through a replaced __import__
    # (from 3.12 on the interpreter's own Generic[...] imports typing through it)
    ("import builtins, numpy, pandas, rstr, vandrel.model.models, vandrel.model.exceptions\n"
     "import vandrel.metadata.rules.association, vandrel.metadata.value, vandrel.model.base\n"
     "asked, real = [], builtins.__import__\n"
     "builtins.__import__ = lambda name, *a, **k: asked.append(name) or real(name, *a, **k)",
     "m.__name__ == NAME and set(asked) <= {'typing'}"),
], ids=["submodule-fallback", "no-builtin-import"])
def test_import_succeeds(tmp_path, setup, check):
    out = run(tmp_path, f"""
{setup}
result = attempt()
m = sys.modules.get(NAME)
print(json.dumps([result, m is not None and {check}]))
""")
    assert out == ["imported", True]


def test_class_namespace_and_metaclass_call(tmp_path):
    out = run(tmp_path, """
        from abc import ABCMeta
        import vandrel.model.base as b, vandrel.metadata.value as v
        seen, inits = [], []

        class RecMeta(ABCMeta):
            @classmethod
            def __prepare__(mcls, name, bases, **kw):
                seen.append(["prepare", name, [x.__name__ for x in bases], sorted(kw)])
                return {}

            def __new__(mcls, name, bases, ns, **kw):
                orig = ns.get("__orig_bases__") or [types.SimpleNamespace(item=()), None]
                seen.append(["new", name, list(ns), ns["__qualname__"], sorted(kw),
                             [t.__name__ for t in orig[0].item], orig[1] is b.NonAssociationModel])
                return super().__new__(mcls, name, bases, ns)

        class Rec(metaclass=RecMeta):
            def __init__(self, *args, **kwargs):
                inits.append([len(args), sorted(kwargs)])
                self._meta = kwargs.get("meta")

        seen.clear()  # forget the creation of Rec itself

        class Alias:
            def __init__(self, item):
                self.item = item

            def __mro_entries__(self, bases):
                return (Rec,)

        class DM:
            def __class_getitem__(cls, item):
                return Alias(item)

        b.DiscreteModel = DM
        m = importlib.import_module(NAME)
        m.FormattedStringModel(v.FormattedString("c", pattern="a"))
        m.SequentialFormattedString(v.String("c"))
        print(json.dumps([seen, inits, [c.__name__ for c in m.FormattedStringModel.__bases__]]))
    """)
    seen, inits, bases = out
    keys = ["__module__", "__qualname__", "__doc__", "__orig_bases__", "__init__", "categories"]
    assert seen == [
        ["prepare", "FormattedStringModel", ["Rec", "NonAssociationModel"], []],
        ["new", "FormattedStringModel", keys + ["pattern", "sample", "from_dict"], "FormattedStringModel", [],
         ["FormattedString", "str"], True],
        ["prepare", "SequentialFormattedString", ["Rec", "NonAssociationModel"], []],
        ["new", "SequentialFormattedString", keys + ["sample", "from_dict"], "SequentialFormattedString", [],
         ["String", "str"], True],
    ]
    assert inits == [[0, ["meta"]], [0, ["meta"]]]  # super() in __init__ reaches the next class
    assert bases == ["Rec", "NonAssociationModel"]


def test_second_interpreter_is_refused(tmp_path):
    out = run(tmp_path, """
        try:
            import _xxsubinterpreters as interpreters  # up to 3.12
        except ImportError:
            import _interpreters as interpreters  # 3.13
        from vandrel.metadata.value import FormattedString
        m = importlib.import_module(NAME)

        def subinterpreter():
            # One that shares the GIL, as the legacy C API makes them: an isolated
            # one refuses every module that does not declare it supports them.
            if hasattr(interpreters, "new_config"):
                return interpreters.create(interpreters.new_config("legacy"))
            try:
                return interpreters.create(isolated=False)
            except TypeError:
                return interpreters.create()

        messages = []
        for _ in range(2):
            interp = subinterpreter()
            try:
                failure = interpreters.run_string(interp, "import " + NAME)
                if failure is not None:
                    messages.append(failure.formatted)
            except interpreters.RunFailedError as exc:
                messages.append(str(exc))
            finally:
                interpreters.destroy(interp)
        still = m.FormattedStringModel(FormattedString("c", pattern="ab")).pattern
        print(json.dumps([messages, sys.modules[NAME] is m, still]))
    """)
    messages, same, still = out
    assert len(messages) == 2
    for msg in messages:
        assert "ImportError" in msg
        assert ("Interpreter change detected - this module can only be loaded into one interpreter "
                "per process.") in msg
    assert same and still == "ab"


def test_namespace_that_keeps_nothing(tmp_path):
    # A __prepare__ mapping that drops what it is given: the module must still
    # own the __init__ it gives its class to, and nothing may be read after free.
    out = run(tmp_path, """
        import gc
        import vandrel.model.base as b

        class Forgetful(dict):
            def __setitem__(self, key, value):
                if key in ("__module__", "__qualname__", "__doc__", "__orig_bases__"):
                    super().__setitem__(key, value)

        class Meta(type(b.DiscreteModel)):
            @classmethod
            def __prepare__(mcls, name, bases, **kw):
                return Forgetful()

            def __new__(mcls, name, bases, ns):
                gc.collect()
                return super().__new__(mcls, name, bases, dict(ns))

        class Base(b.DiscreteModel, metaclass=Meta):
            def sample(self, *a):
                pass

            @classmethod
            def from_dict(cls, d):
                pass

        class DM:
            def __class_getitem__(cls, item):
                return Base

        b.DiscreteModel = DM
        m = importlib.import_module(NAME)
        members = ("__init__", "categories", "pattern", "sample", "from_dict")
        print(json.dumps([[k for k in members if k in vars(c)]
                          for c in (m.FormattedStringModel, m.SequentialFormattedString)]))
    """)
    assert out == [[], []]
