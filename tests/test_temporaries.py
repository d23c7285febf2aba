"""Temporary files of writers killed midway: named after their process, removed by the next
write of the same file once that process is gone (its PID dead or given to another process)
and their lock is free; a live writer's file, and other files, stay."""

import fcntl
import os
import signal
import subprocess
import sys
import textwrap

import pytest

import orx

from helpers import TEMPORARY, temporaries
from test_writer import metadata, read, stream_of

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = stream_of(3, 200)


def start_time(pid):
    """Field 22 of /proc/PID/stat (read here on its own, not through orx)."""
    with open(f"/proc/{pid}/stat") as f:
        return int(f.read().rpartition(")")[2].split()[19])


def dead_pid():
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid


def child_env(**extra):
    return dict(os.environ, PYTHONPATH=os.pathsep.join([HERE] + sys.path), **extra)


def orx_write_in_child(target, kill=False, compression=None):
    code = textwrap.dedent(f"""
        import sys, orx
        orx.write({str(target)!r}, orx.open(sys.stdin.buffer.read()), compression={compression!r})
    """)
    env = child_env(ORX_WRITE_KILL_AT="created") if kill else child_env()
    return subprocess.run([sys.executable, "-c", code], input=DATA, env=env, timeout=120,
                          capture_output=True)


def orx_cli_killed(*args):
    return subprocess.run([sys.executable, "-m", "orx", *map(str, args)], timeout=120,
                          env=child_env(ORX_WRITE_KILL_AT="created"), capture_output=True)


KILLED = [
    ("write", lambda d: orx_write_in_child(d / "t.orx", kill=True)),
    ("write zstd", lambda d: orx_write_in_child(d / "t.orx", kill=True, compression="zstd")),
    ("convert", lambda d: orx_cli_killed("convert", d / "in.orx", d / "t.orx")),
    ("merge", lambda d: orx_cli_killed("merge", d / "in.orx", d / "in.orx", d / "t.orx")),
]


@pytest.mark.parametrize("kill", [k for _, k in KILLED], ids=[n for n, _ in KILLED])
def test_the_next_write_removes_what_a_killed_writer_left(tmp_path, kill):
    (tmp_path / "in.orx").write_bytes(DATA)
    done = kill(tmp_path)
    assert done.returncode == -signal.SIGKILL, done.stderr
    left = temporaries(tmp_path)
    assert len(left) == 1 and TEMPORARY.match(left[0])["target"] == "t.orx"
    assert not (tmp_path / "t.orx").exists()
    orx.write(tmp_path / "t.orx", orx.open(DATA))
    assert temporaries(tmp_path) == [] and read(tmp_path / "t.orx") == DATA


def test_a_live_writers_file_stays(tmp_path):
    target = tmp_path / "t.orx"
    w = orx.Writer(target, metadata(3))
    w.write(orx.open(DATA))
    mine = temporaries(tmp_path)
    assert len(mine) == 1 and int(TEMPORARY.match(mine[0])["pid"]) == os.getpid()
    assert int(TEMPORARY.match(mine[0])["start"]) == start_time(os.getpid())
    done = orx_write_in_child(target)  # another process writes the same file meanwhile
    assert done.returncode == 0, done.stderr
    assert temporaries(tmp_path) == mine and read(target) == DATA
    w.close()
    assert temporaries(tmp_path) == [] and read(target) == DATA


def test_only_files_no_process_writes_any_more_go(tmp_path):
    me, gone = os.getpid(), dead_pid()
    token = "0123456789abcdef"
    names = {
        # (pid, start) of a process that ended, or a PID now held by a later process
        "dead": f".t.orx.orx-tmp.{gone}.{start_time(me)}.{token}",
        "reused": f".t.orx.orx-tmp.{me}.{start_time(me) + 1}.{token}",
        # still writing, by the PID and start time or by the lock it holds
        "live": f".t.orx.orx-tmp.{me}.{start_time(me)}.{token}",
        "locked": f".t.orx.orx-tmp.{gone}.1.{'f' * 16}",
        # not a temporary file of t.orx
        "other": f".u.orx.orx-tmp.{gone}.1.{token}",
        "unlike": f".t.orx.orx-tmp.{gone}.1.{token}x",
        "old form": f".t.orx.{gone}-1.tmp",
    }
    for name in names.values():
        (tmp_path / name).write_bytes(b"x")
    held = os.open(tmp_path / names["locked"], os.O_RDONLY)
    try:
        fcntl.flock(held, fcntl.LOCK_EX)
        orx.write(tmp_path / "t.orx", orx.open(DATA))
        left = set(os.listdir(tmp_path)) - {"t.orx"}
    finally:
        os.close(held)
    assert left == {names[k] for k in ("live", "locked", "other", "unlike", "old form")}
    orx.write(tmp_path / "t.orx", orx.open(DATA))  # the lock is free now
    assert set(os.listdir(tmp_path)) - {"t.orx"} == left - {names["locked"]}
