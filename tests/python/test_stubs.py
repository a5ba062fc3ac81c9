"""The shipped type stubs agree with the built modules, and mypy accepts the examples.

Every native module of the packages has a `.pyi` beside it; every public name
of the module and of its classes appears in the stub and the other way round;
the parameters of each stubbed function and method equal those that
`inspect.signature` reports for the runtime object, where it reports any.
The walk starts from the runtime, so a new class or method without a stub
entry fails here.
"""

import ast
import importlib
import importlib.machinery
import inspect
import pathlib
import pkgutil
import subprocess
import sys
import types

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PACKAGES = ("quenda_loomi", "nyxel")


def native_modules():
    names = []
    for package_name in PACKAGES:
        package = importlib.import_module(package_name)
        for info in pkgutil.walk_packages(package.__path__, package_name + "."):
            spec = importlib.util.find_spec(info.name)
            if spec.origin and spec.origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
                names.append(info.name)
    return sorted(names)


NATIVE_MODULES = native_modules()


def test_the_walk_finds_the_native_modules():
    assert {"quenda_loomi.capi.tessaly", "quenda_loomi.base.durrowmere_skalvotin",
            "nyxel.allocator_protocol.durrowmere_skalvotin", "nyxel.bytemap.sorvelink"} <= set(NATIVE_MODULES)


def stub_tree(module):
    path = pathlib.Path(module.__file__)
    stub = path.with_name(path.name.split(".")[0] + ".pyi")
    assert stub.is_file(), f"{module.__name__} has no stub next to {path.name}"
    return ast.parse(stub.read_text(), str(stub))


def declared_names(body):
    """Names a stub body (module or class) declares, mapped to their AST node."""
    names = {}
    for node in body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.setdefault(node.name, node)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            names.update((t.id, node) for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.ImportFrom):
            # Only `import x as x` re-exports a name from a stub.
            names.update((a.asname, node) for a in node.names if a.asname == a.name)
    return names


def is_public(name):
    return not name.startswith("_")


def runtime_public_names(module):
    return {n for n in vars(module) if is_public(n) and not isinstance(getattr(module, n), types.ModuleType)}


def decorators(node):
    return {d.id if isinstance(d, ast.Name) else getattr(d, "attr", "") for d in node.decorator_list}


def stub_parameters(node):
    """(name, kind, default) of each parameter; default is `...` when the stub elides it."""
    a = node.args
    kinds = inspect.Parameter
    out = []
    positional = [(p, kinds.POSITIONAL_ONLY) for p in a.posonlyargs] + [(p, kinds.POSITIONAL_OR_KEYWORD) for p in a.args]
    defaults = [inspect.Parameter.empty] * (len(positional) - len(a.defaults)) + list(a.defaults)
    for (p, kind), default in zip(positional, defaults):
        out.append((p.arg, kind, default))
    if a.vararg:
        out.append((a.vararg.arg, kinds.VAR_POSITIONAL, inspect.Parameter.empty))
    for p, default in zip(a.kwonlyargs, a.kw_defaults):
        out.append((p.arg, kinds.KEYWORD_ONLY, inspect.Parameter.empty if default is None else default))
    if a.kwarg:
        out.append((a.kwarg.arg, kinds.VAR_KEYWORD, inspect.Parameter.empty))
    if "classmethod" in decorators(node):
        out = out[1:]  # compared with the bound class method
    return [(name, kind, default if default is inspect.Parameter.empty else ast.literal_eval(default))
            for name, kind, default in out]


def runtime_parameters(obj):
    """Like stub_parameters for a runtime callable; None when it reports no real signature."""
    try:
        signature = inspect.signature(obj)
    except (TypeError, ValueError):
        return None
    params = list(signature.parameters.values())
    # A slot or constructor that takes anything reports only *args/**kwargs.
    if all(p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD) for p in params if p.name != "self"):
        return None
    return [(p.name, p.kind, p.default) for p in params]


def assert_same_parameters(where, stub_node, runtime_obj):
    expected = runtime_parameters(runtime_obj)
    if expected is None:
        return
    got = stub_parameters(stub_node)
    assert [(n, k) for n, k, _ in got] == [(n, k) for n, k, _ in expected], where
    for (name, _, stub_default), (_, _, runtime_default) in zip(got, expected):
        assert (stub_default is inspect.Parameter.empty) == (runtime_default is inspect.Parameter.empty), (where, name)
        if stub_default is not Ellipsis and stub_default is not inspect.Parameter.empty:
            assert stub_default == runtime_default, (where, name)


def base_names(stub_class):
    return [b.id if isinstance(b, ast.Name) else b.attr for b in stub_class.bases]


@pytest.mark.parametrize("module_name", NATIVE_MODULES)
def test_stub_matches_module(module_name):
    module = importlib.import_module(module_name)
    stub = declared_names(stub_tree(module).body)

    runtime_names = runtime_public_names(module)
    assert sorted(runtime_names - set(stub)) == [], "public at runtime but missing from the stub"
    assert sorted(n for n in stub if is_public(n) and n not in runtime_names) == [], "stubbed but not at runtime"

    for name, node in stub.items():
        if not hasattr(module, name):
            continue  # private helper types of the stub (TypedDicts)
        where = f"{module_name}.{name}"
        runtime = getattr(module, name)
        if isinstance(node, ast.FunctionDef):
            assert_same_parameters(where, node, runtime)
        elif isinstance(node, ast.ClassDef):
            assert isinstance(runtime, type), where
            assert base_names(node) == [b.__name__ for b in runtime.__bases__ if b is not object], where
            members = declared_names(node.body)
            public = {n for n in vars(runtime) if is_public(n)}
            assert sorted(public - set(members)) == [], f"{where}: members missing from the stub"
            for member, member_node in members.items():
                assert hasattr(runtime, member), f"{where}.{member} is stubbed but not at runtime"
                if isinstance(member_node, ast.FunctionDef) and not decorators(member_node) & {"property", "setter"}:
                    assert_same_parameters(f"{where}.{member}", member_node, getattr(runtime, member))


def test_parameter_comparison_sees_a_wrong_stub():
    # The comparison itself: a renamed, reordered or re-kinded parameter is caught.
    from quenda_loomi.capi.tessaly import Topic

    def stub(source):
        return ast.parse(source).body[0]

    assert_same_parameters("ok", stub("def format_map(self, /, mapping, internalized=True, strict=False): ..."), Topic.format_map)
    for wrong in ("def format_map(self, /, mapping, strict=False, internalized=True): ...",
                  "def format_map(self, mapping, internalized=True, strict=False): ...",
                  "def format_map(self, /, mapping, internalized=False, strict=False): ...",
                  "def format_map(self, /, mapping, internalized, strict=False): ..."):
        with pytest.raises(AssertionError):
            assert_same_parameters("wrong", stub(wrong), Topic.format_map)


def run_mypy(*args, cwd=ROOT):
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir=/dev/null", *args],
                          cwd=cwd, capture_output=True, text=True, timeout=300)


def test_mypy_strict_accepts_the_examples():
    proc = run_mypy("examples/topic_walkthrough.py", "examples/typed_usage.py")
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_mypy_strict_rejects_misuse_through_the_stubs(tmp_path):
    bad = tmp_path / "misuse.py"
    bad.write_text(
        "from quenda_loomi.capi.tessaly import Topic, get_internal_topic\n"
        "from quenda_loomi.base.durrowmere_skalvotin import RUNTIME_ALLOCATOR_CONFIG\n"
        "Topic(1)\n"
        "Topic('a').match('a')\n"
        "get_internal_topic('a').addr\n"
        "RUNTIME_ALLOCATOR_CONFIG.QL_CFG_LOCKED = True\n"
    )
    proc = run_mypy(str(bad))
    flagged = {int(line.split(":")[1]) for line in proc.stdout.splitlines() if ": error:" in line}
    assert flagged == {3, 4, 5, 6}, proc.stdout


@pytest.mark.parametrize("module_name", [m for m in NATIVE_MODULES if m.startswith("quenda_loomi.")])
def test_module_and_its_classes_say_what_they_are(module_name):
    module = importlib.import_module(module_name)
    assert module.__doc__
    undocumented = [name for name, value in vars(module).items()
                    if isinstance(value, type) and value.__module__ == module_name and not value.__doc__]
    assert undocumented == []
