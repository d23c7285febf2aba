"""The stubs of orx._ext list exactly its functions, with their parameters and docstrings."""

import ast
import os

import pytest

from orx import _ext

STUB = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python", "orx",
                    "_ext.pyi")
with open(STUB) as f:
    FUNCTIONS = {n.name: n for n in ast.parse(f.read()).body if isinstance(n, ast.FunctionDef)}


def words(text):
    return " ".join(text.split())


def test_stub_lists_every_function():
    public = sorted(n for n in dir(_ext) if not n.startswith("_"))
    assert sorted(FUNCTIONS) == public


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_stub_matches_signature_and_doc(name):
    fn, node = getattr(_ext, name), FUNCTIONS[name]
    assert fn.__text_signature__ == "(" + ", ".join(a.arg for a in node.args.args) + ")"
    assert words(fn.__doc__) == words(ast.get_docstring(node))
