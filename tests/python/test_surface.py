"""The Python surface as callers and type checkers see it, held against the
committed stub: the module is built from its registration tables, the stub
is the reviewed record of what those tables gave, so a signature, a name or
an order that drifts from it fails here until `make stub` is rerun and the
change reviewed."""

import ast
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import halvane

ROOT = Path(__file__).resolve().parents[2]
STUB = ast.parse((ROOT / "stubs/halvane.pyi").read_text())


def stub_all():
    for node in STUB.body:
        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            return ast.literal_eval(node.value)
    raise AssertionError("the stub has no __all__")


def stub_parameters(node):
    """(name, kind, default) per parameter of a stub def, receiver dropped."""
    a = node.args
    positional = a.args[1:] if a.args and a.args[0].arg in ("self", "cls") else a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    rows = [(p.arg, "positional", d) for p, d in zip(positional, defaults)]
    rows += [(p.arg, "keyword", d) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    return [(name, kind, "-" if d is None else repr(ast.literal_eval(d))) for name, kind, d in rows]


def stub_callables():
    """Every def of the stub, under the name the surface uses ("Camera" for __new__)."""
    for node in STUB.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, stub_parameters(node)
        elif isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef) and not any(
                        isinstance(d, ast.Name) and d.id == "property" for d in member.decorator_list):
                    name = node.name if member.name == "__new__" else f"{node.name}.{member.name}"
                    yield name, stub_parameters(member)


def module_parameters(obj):
    kinds = {inspect.Parameter.POSITIONAL_OR_KEYWORD: "positional", inspect.Parameter.KEYWORD_ONLY: "keyword"}
    return [(p.name, kinds.get(p.kind, str(p.kind)), "-" if p.default is p.empty else repr(p.default))
            for p in inspect.signature(obj).parameters.values() if p.name != "self"]


def surface():
    """Every function, class and method of __all__ that takes arguments."""
    for name in halvane.__all__:
        obj = getattr(halvane, name)
        if not isinstance(obj, type):
            yield name, obj
            continue
        if obj.__text_signature__ is not None:
            yield name, obj
        for attribute, value in vars(obj).items():
            if inspect.ismethoddescriptor(value) and not attribute.startswith("__"):
                yield f"{name}.{attribute}", value


SURFACE = dict(surface())
EXPECTED = dict(stub_callables())


def test_names_and_their_order_are_the_committed_ones():
    assert halvane.__all__ == stub_all()
    assert sorted(SURFACE) == sorted(EXPECTED)


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_signature_is_the_committed_one(name):
    # Read through inspect, so this also fails when a docstring's first line
    # stops being a text signature the interpreter recognises.
    assert module_parameters(SURFACE[name]) == EXPECTED[name]


def run(*command, **env):
    return subprocess.run(command, capture_output=True, text=True, cwd=ROOT, env={**os.environ, **env})


def test_the_stub_is_what_the_generator_writes_from_this_module():
    written = run(sys.executable, "stubs/make_stub.py")
    assert written.returncode == 0, written.stderr
    assert written.stdout == (ROOT / "stubs/halvane.pyi").read_text(), "run `make stub`"


def test_stubtest_finds_the_stub_consistent_with_the_module(tmp_path):
    checked = run(sys.executable, "-m", "mypy.stubtest", "halvane", "--mypy-config-file", os.devnull,
                  MYPYPATH=str(ROOT / "stubs"), MYPY_CACHE_DIR=str(tmp_path))
    assert checked.returncode == 0, checked.stdout + checked.stderr
