"""The type stub python/corvane_core.pyi against the module these tests import.

mypy's stubtest checks that the stub and the runtime module agree on what exists. The
binding layer gives its functions no introspectable signatures, so stubtest cannot compare
parameters; the second test does that from the signature line the binding layer writes at
the top of each docstring.
"""
from __future__ import annotations

import ast
import inspect
import os
import pathlib
import subprocess
import sys

import pytest

import corvane_core

REPO_STUB = pathlib.Path(__file__).resolve().parent.parent / "python" / "corvane_core.pyi"
MODULE_DIR = pathlib.Path(corvane_core.__file__).resolve().parent
CLASSES = ("Compressor", "BPETokenizer", "WordPieceTokenizer", "CoreBPE", "Normalizer", "Model")


def stub_under_test() -> pathlib.Path:
    """The stub installed beside the module when there is one, else the repository's."""
    beside = MODULE_DIR / "corvane_core.pyi"
    return beside if beside.exists() else REPO_STUB


def test_stubtest_passes(tmp_path):
    env = dict(os.environ)
    # stubtest imports the runtime module by name: put the directory of the module these
    # tests imported first, so that it checks that very build.
    env["PYTHONPATH"] = os.pathsep.join([str(MODULE_DIR), *filter(None, [env.get("PYTHONPATH")])])
    env.pop("MYPYPATH", None)
    stubs_package = MODULE_DIR / "corvane_core-stubs" / "__init__.pyi"
    if stubs_package.exists():
        # An installed wheel: mypy finds the stub-only package on its own, exactly as it
        # does for users; it must be the stub that sits beside the module.
        assert stubs_package.read_bytes() == (MODULE_DIR / "corvane_core.pyi").read_bytes()
    else:
        # A build directory holds the module alone: the stub is found through MYPYPATH.
        env["MYPYPATH"] = str(REPO_STUB.parent)
    cwd = tmp_path
    check = subprocess.run([sys.executable, "-c", "import corvane_core; print(corvane_core.__file__)"],
                           capture_output=True, text=True, env=env, cwd=cwd, check=True)
    assert pathlib.Path(check.stdout.strip()).resolve() == pathlib.Path(corvane_core.__file__).resolve()
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "corvane_core"],
                         capture_output=True, text=True, env=env, cwd=cwd, timeout=600)
    assert out.returncode == 0, out.stdout + out.stderr
    assert "Success: no issues found in 1 module" in out.stdout


def runtime_signature(func) -> tuple[str, list[str]]:
    """Name and parameter names from the binding layer's first docstring line."""
    line = func.__doc__.splitlines()[0]
    name, _, rest = line.partition("(")
    params, depth, current = [], 0, ""
    for ch in rest:
        if ch in "([":
            depth += 1
        elif ch in ")]":
            if depth == 0:
                break
            depth -= 1
        if ch == "," and depth == 0:
            params.append(current)
            current = ""
        else:
            current += ch
    if current.strip():
        params.append(current)
    return name, [p.split(":")[0].strip() for p in params]


def stub_classes() -> dict[str, ast.ClassDef]:
    tree = ast.parse(stub_under_test().read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def stub_functions(cls: ast.ClassDef) -> dict[str, ast.FunctionDef]:
    return {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}


def cases():
    classes = stub_classes()
    for cls_name in CLASSES:
        runtime_cls = getattr(corvane_core, cls_name)
        names = [k for k in vars(runtime_cls) if not k.startswith("_") or k in ("__init__", "__getstate__", "__setstate__")]
        for name in names:
            if isinstance(inspect.getattr_static(runtime_cls, name), property):
                continue  # test_stub_properties
            yield pytest.param(runtime_cls, name, stub_functions(classes[cls_name]).get(name), id=f"{cls_name}.{name}")


@pytest.mark.parametrize("runtime_cls, name, stub", list(cases()))
def test_stub_parameters_match_the_bindings(runtime_cls, name, stub):
    assert stub is not None, f"{runtime_cls.__name__}.{name} is missing from the stub"
    raw = inspect.getattr_static(runtime_cls, name)
    is_static = isinstance(raw, staticmethod)
    decorators = [d.id for d in stub.decorator_list if isinstance(d, ast.Name)]
    assert ("staticmethod" in decorators) == is_static

    func = getattr(runtime_cls, name)
    shown_name, params = runtime_signature(func)
    assert shown_name == name
    if not is_static:
        assert params[0] == "self"
        params = params[1:]
    # Parameters without a Python name are shown as arg0, arg1, ...: positional-only; so is
    # every parameter before a "/".
    slash = params.index("/") if "/" in params else -1
    runtime_kinds = [("positional-only", None) if k < slash or (p.startswith("arg") and p[3:].isdigit())
                     else ("named", p) for k, p in enumerate(params) if p != "/"]

    args = stub.args
    assert not (args.vararg or args.kwarg or args.kwonlyargs or args.defaults or args.kw_defaults)
    posonly = list(args.posonlyargs)
    regular = list(args.args)
    if not is_static:
        first = (posonly or regular).pop(0)
        assert first.arg == "self"
    stub_kinds = [("positional-only", None)] * len(posonly) + [("named", a.arg) for a in regular]
    assert stub_kinds == runtime_kinds


@pytest.mark.parametrize("runtime_cls, name, stub", list(cases()))
def test_stub_docstrings_are_the_runtime_ones(runtime_cls, name, stub):
    assert stub is not None
    runtime_doc = getattr(runtime_cls, name).__doc__.partition("\n")[2].strip()
    stub_doc = ast.get_docstring(stub) or ""
    assert stub_doc == runtime_doc


def property_cases():
    classes = stub_classes()
    for cls_name in CLASSES:
        runtime_cls = getattr(corvane_core, cls_name)
        for name, raw in vars(runtime_cls).items():
            if isinstance(raw, property):
                yield pytest.param(raw, stub_functions(classes[cls_name]).get(name), id=f"{cls_name}.{name}")


@pytest.mark.parametrize("prop, stub", list(property_cases()))
def test_stub_properties(prop, stub):
    assert stub is not None, "a property is missing from the stub"
    assert [d.id for d in stub.decorator_list if isinstance(d, ast.Name)] == ["property"]
    assert (ast.get_docstring(stub) or "") == (prop.__doc__ or "").strip()
    assert prop.fset is None


def test_stub_has_nothing_the_module_lacks():
    for cls_name, cls in stub_classes().items():
        if cls_name.startswith("_"):
            continue  # stand-ins for the binding layer's own types
        runtime_cls = getattr(corvane_core, cls_name)
        for name in stub_functions(cls):
            assert name in vars(runtime_cls), f"{cls_name}.{name} is in the stub only"
