"""The stubs of orx._ext list exactly its functions, with their parameters and docstrings."""

import ast
import os

import pytest

from orx import _ext

STUB = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python", "orx",
                    "_ext.pyi")
with open(STUB) as f:
    BODY = ast.parse(f.read()).body
FUNCTIONS = {n.name: n for n in BODY if isinstance(n, ast.FunctionDef)}
CLASSES = {n.name: n for n in BODY if isinstance(n, ast.ClassDef)}


def words(text):
    return " ".join(text.split())


def test_stub_lists_every_function():
    public = sorted(n for n in dir(_ext) if not n.startswith("_"))
    assert sorted([*FUNCTIONS, *CLASSES]) == public


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_stub_classes_match_their_methods(name):
    cls, node = getattr(_ext, name), CLASSES[name]
    assert words(cls.__doc__) == words(ast.get_docstring(node))
    defs = {m.name: m for m in node.body if isinstance(m, ast.FunctionDef)}
    init = defs.pop("__init__")
    assert cls.__text_signature__ == "(" + ", ".join(a.arg for a in init.args.args[1:]) + ")"
    methods = defs
    assert sorted(methods) == sorted(n for n in vars(cls) if not n.startswith("_"))
    for m, fn in methods.items():
        assert getattr(cls, m).__text_signature__ == "($self" + "".join(
            ", " + a.arg for a in fn.args.args[1:]) + ")"
        assert words(getattr(cls, m).__doc__) == words(ast.get_docstring(fn))


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_stub_matches_signature_and_doc(name):
    fn, node = getattr(_ext, name), FUNCTIONS[name]
    assert fn.__text_signature__ == "(" + ", ".join(a.arg for a in node.args.args) + ")"
    assert words(fn.__doc__) == words(ast.get_docstring(node))
