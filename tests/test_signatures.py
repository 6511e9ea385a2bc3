"""Text signatures at run time against the shipped type stubs.

Every constructor, method and function must have a signature that
inspect.signature can read, with the parameter names and kinds the stubs
declare. Classes that are not usable yet (no constructor signature) are skipped.
"""

import ast
import importlib.resources
import inspect
import keyword
import pathlib

import pytest

import quorral

# The stubs shipped with the installed package.
STUBS = importlib.resources.files("quorral")
MODULES = {"quorral": ("__init__.pyi", quorral), "quorral.geometry": ("_geometry.pyi", quorral.geometry)}
P = inspect.Parameter


def parse(module: str) -> ast.Module:
    return ast.parse((STUBS / MODULES[module][0]).read_text())


def stub_all(tree: ast.Module) -> list[str]:
    for node in tree.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets if isinstance(t, ast.Name)] == ["__all__"]:
            return ast.literal_eval(node.value)
    raise AssertionError("stub has no __all__")


def decorators(fn: ast.FunctionDef) -> set[str]:
    return {ast.unparse(d) for d in fn.decorator_list}


def stub_params(fn: ast.FunctionDef) -> list[tuple[str, object, object]]:
    """Name, kind and default (P.empty when required) of each parameter."""
    a = fn.args
    assert not (a.vararg or a.kwarg or a.kwonlyargs), f"{fn.name}: only positional parameters"
    params = [(p.arg, P.POSITIONAL_ONLY) for p in a.posonlyargs] + [(p.arg, P.POSITIONAL_OR_KEYWORD) for p in a.args]
    defaults = [P.empty] * (len(params) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    return [(name, kind, default) for (name, kind), default in zip(params, defaults)]


def classes(module: str) -> dict[str, dict[str, list[ast.FunctionDef]]]:
    found = {}
    for node in parse(module).body:
        if isinstance(node, ast.ClassDef):
            assert "typing.final" in {ast.unparse(d) for d in node.decorator_list}, node.name
            members: dict[str, list[ast.FunctionDef]] = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members.setdefault(item.name, []).append(item)
            found[node.name] = members
    return found


def functions(module: str) -> dict[str, ast.FunctionDef]:
    return {n.name: n for n in parse(module).body if isinstance(n, ast.FunctionDef)}


ITERATORS = {"VecListIterator": "VecList", "QuatListIterator": "QuatList",
             "RigidTransformListIterator": "RigidTransformList"}


def runtime_class(module: str, name: str) -> type:
    if name in ITERATORS:
        container = getattr(quorral, ITERATORS[name], None)
        if not hasattr(container, "empty"):
            pytest.skip(f"{ITERATORS[name]} has not landed")
        return type(iter(container.empty()))
    if name == "VecListWriter":
        if not hasattr(quorral.VecList, "writable"):
            pytest.skip("the writable view has not landed")
        return type(quorral.VecList.empty().writable())
    cls = getattr(MODULES[module][1], name)
    if not cls.__text_signature__:
        pytest.skip(f"{name} has not landed")
    return cls


def runtime_params(obj) -> list[tuple[str, object, object]]:
    try:
        sig = inspect.signature(obj)
    except ValueError:
        # A parameter named after a Python keyword (Vec3d.new_from_to's `from`)
        # cannot be read back; the stub spells it with a trailing underscore.
        names = [n.strip() for n in obj.__text_signature__.strip("()").split(",") if n.strip()]
        assert any(keyword.iskeyword(n) for n in names), f"{obj!r}: unreadable signature {obj.__text_signature__!r}"
        return [
            (n + "_", P.POSITIONAL_ONLY, P.empty) if keyword.iskeyword(n) else (n, P.POSITIONAL_OR_KEYWORD, P.empty)
            for n in names
        ]
    return [(p.name, p.kind, p.default) for p in sig.parameters.values()]


METHODS = [
    (module, cls, name)
    for module in MODULES
    for cls, members in classes(module).items()
    for name in members
    if not (name.startswith("__") and name.endswith("__")) and "property" not in decorators(members[name][0])
]
PROPERTIES = [
    (module, cls, name)
    for module in MODULES
    for cls, members in classes(module).items()
    for name in members
    if "property" in decorators(members[name][0])
]
CONSTRUCTORS = [(module, cls) for module in MODULES for cls, members in classes(module).items() if "__new__" in members]
FUNCTIONS = [(module, name) for module in MODULES for name in functions(module)]


@pytest.mark.parametrize("module", MODULES)
def test_all_matches_stub(module):
    assert MODULES[module][1].__all__ == stub_all(parse(module))


@pytest.mark.parametrize("name", ITERATORS)
def test_iterator_is_declared_but_not_exported(name):
    assert name in classes("quorral")
    assert name not in stub_all(parse("quorral"))
    assert not hasattr(quorral, name)


@pytest.mark.parametrize("module, cls", CONSTRUCTORS)
def test_constructor(module, cls):
    runtime = runtime_class(module, cls)
    (new,) = classes(module)[cls]["__new__"]
    params = stub_params(new)
    assert params[0] == ("cls", P.POSITIONAL_OR_KEYWORD, P.empty)
    assert runtime_params(runtime) == params[1:]
    assert all(kind is P.POSITIONAL_OR_KEYWORD for _, kind, _ in params)


@pytest.mark.parametrize("module, cls, name", METHODS)
def test_method(module, cls, name):
    runtime = runtime_class(module, cls)
    if name not in vars(runtime):
        pytest.skip(f"{cls}.{name} has not landed")
    member = getattr(runtime, name)
    assert member.__doc__ is None
    for fn in classes(module)[cls][name]:  # each overload names the runtime's parameters
        static = "staticmethod" in decorators(fn)
        assert isinstance(inspect.getattr_static(runtime, name), staticmethod) == static
        params = stub_params(fn)
        if not static:
            assert params[0] == ("self", P.POSITIONAL_ONLY, P.empty), f"{cls}.{name}: self must be positional-only"
        assert runtime_params(member) == params


@pytest.mark.parametrize("module, cls, name", PROPERTIES)
def test_property(module, cls, name):
    runtime = runtime_class(module, cls)
    if name not in vars(runtime):
        pytest.skip(f"{cls}.{name} has not landed")
    assert inspect.isgetsetdescriptor(vars(runtime)[name]) or isinstance(vars(runtime)[name], property)


@pytest.mark.parametrize("module, name", FUNCTIONS)
def test_function(module, name):
    runtime = getattr(MODULES[module][1], name, None)
    if runtime is None:
        pytest.skip(f"{name} has not landed")
    assert runtime.__module__ == module
    params = stub_params(functions(module)[name])
    assert all(kind is P.POSITIONAL_OR_KEYWORD for _, kind, _ in params)
    assert runtime_params(runtime) == params


@pytest.mark.parametrize("module, cls", [(m, c) for m in MODULES for c in classes(m)])
def test_public_members_are_declared(module, cls):
    runtime = runtime_class(module, cls)
    declared = set(classes(module)[cls])
    public = {n for n in vars(runtime) if not n.startswith("_")}
    assert public == {n for n in declared if not n.startswith("_")}


# Type checking accepts the imports that work at run time and refuses the ones
# that fail there (the submodule is not in sys.modules).
IMPORTS = {
    "from quorral import geometry\nplane: geometry.Plane = geometry.Plane.xy()\n": None,
    "import quorral\nplane: quorral.geometry.Plane = quorral.geometry.Plane.xy()\n": None,
    "from quorral import Vec3d, geometry\nhit: Vec3d = geometry.plane_line(geometry.Plane.xy(), Vec3d.i(), Vec3d.k())\n": None,
    "from quorral.geometry import Plane\n": 'Cannot find implementation or library stub for module named "quorral.geometry"',
    "import quorral.geometry\n": 'Cannot find implementation or library stub for module named "quorral.geometry"',
}


@pytest.mark.thread_unsafe(reason="mypy's API is not thread-safe")
def test_type_checking_matches_run_time_imports(tmp_path):
    api = pytest.importorskip("mypy.api", reason="mypy is not installed")
    files = []
    for i, source in enumerate(IMPORTS):
        path = tmp_path / f"snippet{i}.py"
        path.write_text(source)
        files.append(str(path.resolve()))
        namespace: dict = {}
        if IMPORTS[source] is None:
            exec(source, namespace)
        else:
            with pytest.raises(ModuleNotFoundError):
                exec(source, namespace)
    out, err, _ = api.run(["--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"), *files])
    # mypy names a file relative to the working directory where it can.
    errors = {str(pathlib.Path(line.split(":")[0]).resolve()): line for line in out.splitlines() if ": error: " in line}
    for path, expected in zip(files, IMPORTS.values()):
        if expected is None:
            assert path not in errors, errors[path]
        else:
            assert path in errors and expected in errors[path], out
