"""The installed distribution holds the module and its stub only, the host provides
the package around them (py.typed included), and the stub agrees with the module."""
import ast
import inspect
from importlib import metadata
from pathlib import Path

import pytest

import vandrel
from conftest import MODULE
from vandrel.metadata.value import FormattedString, String

REPO_STUB = Path(__file__).resolve().parents[1] / "src" / "vandrel" / "model" / "models" / "string.pyi"


@pytest.fixture(scope="module")
def stub_path(mod):
    return Path(mod.__file__).with_name("string.pyi")


@pytest.fixture(scope="module")
def stub(stub_path):
    """Class name -> ast.ClassDef of the installed stub."""
    tree = ast.parse(stub_path.read_text(encoding="utf-8"), filename=str(stub_path))
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def test_stub_and_marker_are_installed_beside_the_module(mod, stub_path):
    assert Path(mod.__file__).suffix == ".so"
    assert stub_path.is_file()
    assert (Path(vandrel.__file__).parent / "py.typed").is_file()


def test_the_distribution_installs_the_module_and_its_stub_only(mod):
    """The rest of the package (vandrel/__init__.py, py.typed, the models'
    __init__.py) is the host's: a wheel that carried it would overwrite the
    host's files, and remove them when uninstalled."""
    try:
        files = metadata.files("vandrel-string-models")
    except metadata.PackageNotFoundError:
        pytest.skip("the module is not installed as a distribution")
    installed = sorted(f.as_posix() for f in files if not f.parts[0].endswith(".dist-info"))
    assert installed == ["vandrel/model/models/" + Path(mod.__file__).name, "vandrel/model/models/string.pyi"]


def test_installed_stub_is_the_one_in_the_sources(stub_path):
    if not REPO_STUB.is_file():
        pytest.skip("not run from a source tree")
    assert stub_path.read_text(encoding="utf-8") == REPO_STUB.read_text(encoding="utf-8")


def test_stub_declares_exactly_the_classes_of_the_module(mod, stub):
    classes = {k for k, v in vars(mod).items() if isinstance(v, type) and v.__module__ == MODULE}
    assert classes == {"FormattedStringModel", "SequentialFormattedString"}
    assert set(stub) == classes


def kind(node):
    names = {d.id for d in node.decorator_list if isinstance(d, ast.Name)}
    return "property" if "property" in names else "classmethod" if "classmethod" in names else "function"


def runtime_kind(value):
    return ("property" if isinstance(value, property)
            else "classmethod" if isinstance(value, classmethod) else "function")


def base_text(base):
    origin = getattr(base, "__origin__", None)
    if origin is None:
        return base.__name__
    return f"{origin.__name__}[{', '.join(a.__name__ for a in base.__args__)}]"


def instance_of(cls):
    if cls.__name__ == "FormattedStringModel":
        return cls(FormattedString("code", pattern="[a-z]"))
    return cls(String("ident"), length=3, prefix="P", suffix="S")


@pytest.mark.parametrize("name", ["FormattedStringModel", "SequentialFormattedString"])
def test_stub_members_match_the_class(mod, stub, name):
    cls, node = getattr(mod, name), stub[name]
    assert [ast.unparse(b) for b in node.bases] == [base_text(b) for b in cls.__orig_bases__]

    members = {k: v for k, v in vars(cls).items()
               if not (k.startswith("_") and not k.startswith("__"))
               and (callable(v) or isinstance(v, (property, classmethod)))}
    defs = {d.name: d for d in node.body if isinstance(d, ast.FunctionDef)}
    assert set(defs) == set(members)

    for member, value in members.items():
        d = defs[member]
        assert kind(d) == runtime_kind(value), member
        func = value.fget if isinstance(value, property) else getattr(value, "__func__", value)
        sig = inspect.signature(func)
        args = d.args
        assert [a.arg for a in args.args] == list(sig.parameters), member
        assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg), member
        stub_defaults = [ast.literal_eval(x) for x in args.defaults]
        assert stub_defaults == list(func.__defaults__ or ()), member
        for a in args.args:
            expected = func.__annotations__.get(a.arg)
            assert (ast.unparse(a.annotation) if a.annotation else None) == expected, (member, a.arg)
        returns = func.__annotations__.get("return", "None").strip("'")
        assert ast.unparse(d.returns) == returns, member

    # Annotated attributes are exactly the public attributes a new model holds.
    attrs = {a.target.id: ast.unparse(a.annotation) for a in node.body if isinstance(a, ast.AnnAssign)}
    model = instance_of(cls)
    assert set(attrs) == {k for k in vars(model) if not k.startswith("_")}
    init_annotations = cls.__init__.__annotations__
    assert all(init_annotations[k] == text for k, text in attrs.items())
