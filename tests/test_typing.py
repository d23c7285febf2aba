"""The stubs against the compiled module (mypy's stubtest), and the examples and the README's
usage example under `mypy --strict`."""

import os
import re
import subprocess
import sys

import pytest

import orx

from helpers import UNDER_SANITIZER

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

pytestmark = pytest.mark.skipif(UNDER_SANITIZER, reason="type checks do not involve the build")


def run_mypy(*args):
    # The stubs of the source tree, checked against the installed module.
    env = dict(os.environ, MYPYPATH=os.path.join(ROOT, "python"))
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          cwd=ROOT, env=env, timeout=600)


def test_stubs_match_the_module():
    done = run_mypy("mypy.stubtest", "orx", "--mypy-config-file", "pyproject.toml",
                    "--allowlist", os.path.join("tests", "stubtest-allowlist.txt"))
    assert done.returncode == 0, done.stdout + done.stderr


def readme_examples():
    text = open(os.path.join(ROOT, "README.md")).read()
    return re.findall(r"```python\n(.*?)```", text, re.S)


def test_examples_and_readme_type_check(tmp_path):
    # The examples draw with matplotlib: without it they cannot type-check (the demo skips
    # its picture then, and so does this test).
    pytest.importorskip("matplotlib")
    files = []
    for i, code in enumerate(readme_examples()):
        (tmp_path / f"readme_example_{i}.py").write_text(code)
        files.append(str(tmp_path / f"readme_example_{i}.py"))
    assert len(files) >= 5
    # The package's own modules are checked by stubtest, not held to --strict here.
    done = run_mypy("mypy", "--strict", "--follow-imports=silent", "--cache-dir",
                    os.path.join("build", "mypy-cache"), "examples", *files)
    assert done.returncode == 0, done.stdout + done.stderr


def test_version_is_the_project_version():
    pyproject = open(os.path.join(ROOT, "pyproject.toml")).read()
    assert orx.__version__ == re.search(r'^version = "(.+)"$', pyproject, re.M).group(1)
    assert "__version__" not in orx.__all__
