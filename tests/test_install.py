"""Installing as a user does: the wheel ./dev wheel builds, installed into a fresh virtual
environment that has numpy and nothing else, used with no zstd library the loader could find;
and the build's refusal when the zstd header is missing."""

import glob
import os
import shutil
import subprocess
import sys
import textwrap
import tomllib

import pytest

from helpers import UNDER_SANITIZER

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

pytestmark = pytest.mark.skipif(UNDER_SANITIZER, reason="the wheel is the release build")


def _zstd_libraries():
    """The zstd shared libraries the loader could find on this machine (resolved)."""
    found = set()
    cache = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True).stdout
    for line in cache.splitlines():
        if "libzstd.so" in line and "=>" in line:
            found.add(os.path.realpath(line.split("=>")[1].strip()))
    for d in ("/lib", "/usr/lib", "/lib64", "/usr/lib64", "/usr/local/lib"):
        for p in glob.glob(os.path.join(d, "libzstd.so*")) + glob.glob(
                os.path.join(d, "*-linux-gnu", "libzstd.so*")):
            found.add(os.path.realpath(p))
    return sorted(found)


def _can_hide(paths):
    """Whether this process may make a mount namespace of its own in which `paths` read as
    empty files (root, with unshare)."""
    if not paths or shutil.which("unshare") is None:
        return False
    probe = subprocess.run(["unshare", "-m", "sh", "-c", f"mount --bind /dev/null {paths[0]}"],
                           capture_output=True, timeout=30)
    return probe.returncode == 0


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """(python, orx script) of a fresh venv with the wheel installed and numpy beside it."""
    done = subprocess.run([os.path.join(ROOT, "dev"), "wheel"], capture_output=True, text=True,
                          timeout=1200, cwd=ROOT)
    assert done.returncode == 0, done.stderr[-3000:]
    wheel = done.stdout.strip().splitlines()[-1]
    assert "manylinux" in os.path.basename(wheel), wheel
    venv = tmp_path_factory.mktemp("fresh") / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True,
                   timeout=120)
    python = str(venv / "bin" / "python")
    subprocess.run([sys.executable, "-m", "pip", "--python", python, "install", "-q",
                    "--no-deps", "--no-index", "--disable-pip-version-check", wheel],
                   check=True, timeout=300)
    # numpy, the one required dependency, from this environment; nothing else of it.
    import numpy

    deps = venv / "deps"
    deps.mkdir()
    base = os.path.dirname(os.path.dirname(numpy.__file__))
    for name in ("numpy", "numpy.libs"):
        if os.path.exists(os.path.join(base, name)):
            os.symlink(os.path.join(base, name), deps / name)
    site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                          capture_output=True, text=True, check=True).stdout.strip()
    with open(os.path.join(site, "numpy-from-tests.pth"), "w") as f:
        f.write(str(deps) + "\n")
    return python, str(venv / "bin" / "orx")


def run_bare(installed, cwd, *command, hide=True):
    """Runs `command` (a list: the interpreter or script first) in the fresh venv with every
    zstd library on the machine hidden (mounted over with an empty file) when possible."""
    libs = _zstd_libraries()
    argv = list(command)
    if hide and _can_hide(libs):
        mounts = " && ".join(f"mount --bind /dev/null {p}" for p in libs)
        argv = ["unshare", "-m", "sh", "-c", mounts + ' && exec "$@"', "sh", *argv]
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "VIRTUAL_ENV", "PYTHONHOME")}
    return subprocess.run(argv, capture_output=True, text=True, cwd=cwd, env=env, timeout=300)


READ_PATH = textwrap.dedent("""
    import sys
    import orx
    from orx import Action, BidAskPair, Dataset, Mbp1Msg, Metadata, Schema, Side, SymbolMap

    day = 1_796_601_600_000_000_000  # 2026-12-07
    records = [Mbp1Msg(101 + i % 3, day + 14 * 3600 * 10**9 + i * 10**6, 0, 6_850_250_000_000,
                       1 + i % 7, Action.ADD, Side.BID, 0, 0, day + i, -5, i, 0,
                       [BidAskPair(1, 2, 3, 4, 5, 6)]) for i in range(5000)]
    meta = Metadata(Schema.MBP1, Dataset.FUTURES, day, day + 86400 * 10**9,
                    SymbolMap({101: "ESZ6", 102: "NQZ6", 103: "CLF7"}))
    orx.write("day.orx.zst", records, meta, compression="zstd")
    with orx.open("day.orx.zst") as reader:
        arr = reader.to_numpy()
    assert len(arr) == 5000 and int(arr["size"].sum()) == sum(1 + i % 7 for i in range(5000))
    batches = sum(len(b) for b in orx.open("day.orx.zst", batch_size=999).batches())
    catalog = orx.Catalog("market")
    catalog.write("day.orx.zst")
    result = catalog.query(orx.RetrieveParams(["NQZ6"], "2026-12-07", "2026-12-08", Schema.MBP1,
                                              Dataset.FUTURES, orx.Stype.RAW))
    got = result.to_numpy()
    assert len(got) == sum(1 for i in range(5000) if i % 3 == 1), len(got)
    orx.write("day.orx", orx.open("day.orx.zst"))
    loaded = [line for line in open("/proc/self/maps") if "zstd" in line]
    assert not loaded, loaded
    assert "pandas" not in sys.modules and "pyarrow" not in sys.modules
    print(batches, len(got))
""")


def test_the_wheel_links_no_zstd(installed):
    python, _ = installed
    site = subprocess.run([python, "-c", "import orx, os; print(os.path.dirname(orx.__file__))"],
                          capture_output=True, text=True, check=True).stdout.strip()
    modules = glob.glob(os.path.join(site, "_*.so"))
    assert len(modules) == 2, modules
    for so in modules:
        dynamic = subprocess.run(["readelf", "-d", so], capture_output=True, text=True,
                                 check=True).stdout
        needed = [line.split("[")[1].rstrip("]") for line in dynamic.splitlines()
                  if "(NEEDED)" in line]
        assert needed and not [n for n in needed if "zstd" in n], (so, needed)


def test_the_demo_read_path_runs_from_the_wheel_with_numpy_alone(installed, tmp_path):
    python, _ = installed
    (tmp_path / "read.py").write_text(READ_PATH)
    done = run_bare(installed, tmp_path, python, "read.py")
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["5000", str(sum(1 for i in range(5000) if i % 3 == 1))]


def test_hidden_zstd_cannot_be_loaded(installed, tmp_path):
    # The hiding is real: a program that needs the library fails under it.
    libs = _zstd_libraries()
    if not _can_hide(libs):
        pytest.skip("no mount namespace of our own here; /proc/self/maps shows zstd is unused")
    python, _ = installed
    probe = "import ctypes; ctypes.CDLL('libzstd.so.1')"
    done = run_bare(installed, tmp_path, python, "-c", probe)
    assert done.returncode != 0 and "libzstd" in done.stderr


@pytest.mark.parametrize("args, status, err", [
    (["info", "day.orx.zst"], 0, ""),
    (["head", "day.orx.zst", "-n", "2"], 0, ""),
    (["merge", "day.orx.zst", "day.orx", "both.orx", "-q"], 0, ""),
    (["convert", "day.orx.zst", "day.csv"], 1,
     "orx: error: writing day.csv needs pandas: pip install 'orx-marketdata[dataframe]'\n"),
    (["convert", "day.orx.zst", "day.parquet"], 1,
     "orx: error: writing day.parquet needs pyarrow: pip install 'orx-marketdata[parquet]'\n"),
])
def test_the_command_line_with_numpy_alone(installed, tmp_path, args, status, err):
    python, script = installed
    (tmp_path / "read.py").write_text(READ_PATH)
    assert run_bare(installed, tmp_path, python, "read.py").returncode == 0
    before = sorted(os.listdir(tmp_path))
    done = run_bare(installed, tmp_path, script, *args)
    assert (done.returncode, done.stderr) == (status, err)
    if status:
        assert sorted(os.listdir(tmp_path)) == before
    elif args[0] == "info":
        assert "records     5,000" in done.stdout.splitlines()
    elif args[0] == "head":
        assert len(done.stdout.splitlines()) == 3
    else:
        assert os.path.getsize(tmp_path / "both.orx") > os.path.getsize(tmp_path / "day.orx")


def test_a_missing_zstd_header_stops_the_build_with_one_line(tmp_path):
    cmake = shutil.which("cmake", path=os.path.dirname(sys.executable)) or shutil.which("cmake")
    headers = sorted({os.path.dirname(p) for p in glob.glob("/usr/include/zstd.h")
                      + glob.glob("/usr/local/include/zstd.h")})
    done = subprocess.run([cmake, "-S", ROOT, "-B", str(tmp_path / "b"), "-DORX_BUILD_MODULE=OFF",
                           "-DCMAKE_IGNORE_PATH=" + ";".join(headers or ["/usr/include"])],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode != 0
    lines = [line.strip() for line in done.stderr.splitlines()]
    assert "orx needs the zstd header (zstd.h): install libzstd-dev (Debian, Ubuntu), "\
           "libzstd-devel (Fedora) or zstd (macOS: brew install zstd)" in lines, done.stderr


def test_the_build_settings():
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)
    requires = project["build-system"]["requires"]
    # pip warns about cmake and ninja there; scikit-build-core brings them when needed.
    assert [r for r in requires if r.split(">")[0].split("=")[0] in ("cmake", "ninja")] == []
    skbuild = project["tool"]["scikit-build"]
    # pip's builds keep out of ./dev's build directory, so neither rebuilds the other's work.
    assert skbuild["build-dir"] != "build/{wheel_tag}"
    dev = open(os.path.join(ROOT, "dev")).read()
    assert '-C "build-dir=build/{wheel_tag}"' in dev
    assert "pip install -v" in skbuild["messages"]["after-failure"]


def test_the_readme_lists_every_build_requirement():
    text = open(os.path.join(ROOT, "README.md")).read()
    using = text[text.index("## Using it"):]
    using = using[:using.index("\n## ", 3)]
    for needed in ("CPython 3.13", "python3.13-dev", "C++20", "libzstd-dev", "libzstd-devel",
                   "brew install zstd", "pip install -v", "orx-marketdata"):
        assert needed in using, needed
