"""The README's examples run as pasted: each Python example, and the command-line one, in the
directory the demo leaves its files in (examples/out, made afresh here by the demo itself).
tests/test_typing.py holds every Python example to mypy --strict."""

import os
import re
import subprocess
import sys

import pytest

from helpers import UNDER_SANITIZER

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

pytestmark = pytest.mark.skipif(UNDER_SANITIZER, reason="the examples are user code")


def readme():
    with open(os.path.join(ROOT, "README.md")) as f:
        return f.read()


def examples(language: str = "python", text: str | None = None) -> list[str]:
    """The code of every ```language block of the README (or of `text`), in order."""
    return re.findall(rf"```{language}\n(.*?)```", readme() if text is None else text, re.S)


@pytest.fixture(scope="module")
def out(tmp_path_factory):
    """A directory holding what ./dev demo leaves in examples/out, from the demo itself."""
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    directory = tmp_path_factory.mktemp("out")
    done = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "demo.py"), "20000",
                           str(directory / "2026-12-07.orx")], capture_output=True, text=True,
                          timeout=600, env=dict(os.environ, MPLBACKEND="Agg"))
    assert done.returncode == 0, done.stderr[-3000:]
    return directory


def test_the_demo_leaves_what_the_readme_lists(out):
    listed = re.findall(r"^examples/out/(\S+)", readme(), re.M)
    assert listed, "the README lists the demo's files"
    for name in listed:
        assert (out / name).exists(), name


@pytest.mark.parametrize("index", range(len(examples())))
def test_each_python_example_runs_in_the_demo_directory(out, index):
    code = examples()[index]
    if "matplotlib" in code or ".plot(" in code:
        pytest.importorskip("matplotlib")
    server = None
    if "orx.Client(" in code:
        # The client's example runs against `orx serve` of the demo's catalog, on a free port
        # here rather than the default 8080 of the example.
        pytest.importorskip("httpx")
        pytest.importorskip("starlette")
        from serve_util import Server

        server = Server(out / "catalog")
        code = code.replace("http://127.0.0.1:8080", server.url)
    try:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              cwd=out, timeout=600, env=dict(os.environ, MPLBACKEND="Agg"))
    finally:
        if server is not None:
            server.stop()
    assert done.returncode == 0, code + "\n" + done.stderr[-3000:]


def test_the_command_line_example_runs_in_the_demo_directory(out, tmp_path):
    text = readme()
    section = text[text.index("## The command line"):]
    (code,) = examples("sh", section[:section.index("\n## ", 3)])
    work = tmp_path / "work"
    work.mkdir()
    for name in ("2026-12-07.orx", "2026-12-07.orx.zst"):
        os.symlink(out / name, work / name)
    os.symlink(out / "catalog", work / "catalog")
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    done = subprocess.run(["bash", "-euo", "pipefail", "-c", code], capture_output=True,
                          text=True, cwd=work, env=env, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    assert (work / "day.orx").read_bytes() == (out / "2026-12-07.orx").read_bytes()


def test_one_extension_for_streams():
    # Streams are .orx (.orx.zst compressed) everywhere: no .bin, .mbp1 or .dbn files.
    assert re.findall(r"\w\.(?:bin|mbp1|dbn)\b", readme()) == []
