"""Shared test helpers."""

import gc
import os
import re
import sys

import pytest

UNDER_SANITIZER = bool(os.environ.get("ORX_EXPECT_MODULE_DIR"))


# The temporary files orx's writers make beside a file: ".{name}.orx-tmp.{pid}.{start}.{token}".
TEMPORARY = re.compile(r"^\.(?P<target>.+)\.orx-tmp\.(?P<pid>[0-9]+)\.(?P<start>[0-9]+)\."
                       r"[0-9a-f]{16}$")


def temporaries(directory):
    """The names of orx's temporary files in `directory`."""
    return sorted(n for n in os.listdir(directory) if TEMPORARY.match(n))


def must_raise(exc_type, fn, *args, **kwargs):
    """Calls fn, which must raise exc_type (cheap enough for the loops of leak tests)."""
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{getattr(fn, '__name__', fn)} did not raise {exc_type!r}")


def raises(exc_type, message, fn, *args, **kwargs):
    """Calls fn and checks the exception type exactly and its message exactly."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type, (type(info.value), str(info.value))
    assert str(info.value) == message
    return info.value


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_no_leak(fn, iterations=20000, max_growth_bytes=1 << 20):
    """Runs fn many times and checks that neither Python objects nor process memory grow.

    The calls run in a warm-up and then three measured batches. A leak grows in every batch;
    caches that libraries fill once (pandas has some) grow in one batch at most, so the
    smallest growth of the three is what must stay flat.
    """
    batch = max(iterations // 3, 1)
    for _ in range(max(iterations // 10, 1)):
        fn()
    blocks, rss = [], []
    for _ in range(3):
        gc.collect()
        b0, r0 = sys.getallocatedblocks(), _rss_bytes()
        for _ in range(batch):
            fn()
        gc.collect()
        blocks.append(sys.getallocatedblocks() - b0)
        rss.append(_rss_bytes() - r0)
    # pandas alone grows by a few dozen blocks per thousand calls, and not steadily.
    assert min(blocks) < max(batch // 20, 10), f"Python blocks grew by {blocks} per batch"
    if not UNDER_SANITIZER:  # the sanitizer's quarantine holds freed memory back
        assert min(rss) < max_growth_bytes, f"memory grew by {rss} bytes per batch"


def assert_stubs_match(runtime, names):
    """The stub file beside a package module names the same functions, classes, members and
    parameters as the module itself."""
    import ast
    import inspect
    import pathlib

    tree = ast.parse(pathlib.Path(runtime.__file__).with_suffix(".pyi").read_text())

    def params(node):
        a = node.args
        return [x.arg for x in a.posonlyargs + a.args] + (["*" + a.vararg.arg] if a.vararg else []) + [
            x.arg for x in a.kwonlyargs]

    def runtime_params(fn):
        out = []
        for p in inspect.signature(fn).parameters.values():
            out.append("*" + p.name if p.kind is p.VAR_POSITIONAL else p.name)
        return out

    seen = set()
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            assert params(node) == runtime_params(getattr(runtime, node.name)), node.name
            seen.add(node.name)
        elif isinstance(node, ast.ClassDef):
            cls = getattr(runtime, node.name)
            members = [i for i in node.body if isinstance(i, ast.FunctionDef)]
            for item in members:
                member = inspect.getattr_static(cls, item.name)
                if isinstance(member, property):
                    assert any(isinstance(d, ast.Name) and d.id == "property"
                               for d in item.decorator_list), item.name
                else:
                    assert params(item) == runtime_params(member), (node.name, item.name)
            public = {n for n in vars(cls) if not n.startswith("_") or n.startswith("__")}
            public -= {"__module__", "__doc__", "__slots__", "__qualname__", "__weakref__",
                       "__firstlineno__", "__static_attributes__"} | set(getattr(cls, "__slots__",
                                                                                ()))
            assert public == {i.name for i in members}, node.name
            seen.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            assert hasattr(runtime, node.target.id), node.target.id
            seen.add(node.target.id)
    assert seen == names
