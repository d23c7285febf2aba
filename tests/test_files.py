"""BufferStore's file calls: replacing a file keeps the old one on failure, FIFOs do not freeze
the interpreter, signals run their handlers, and failures carry their errno."""

import errno
import os
import stat
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from orx import BufferStore

from helpers import TEMPORARY, raises
from stream_util import mbp1_bytes, stream

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = stream(mbp1_bytes(price=1), mbp1_bytes(price=2))
BIG = stream(*[mbp1_bytes(price=i) for i in range(5000)])  # 480 KB of records


def leftovers(directory, keep):
    return sorted(set(os.listdir(directory)) - set(keep))


def run_child(code, timeout=20, **kwargs):
    """Runs `code` in a fresh interpreter (killed after `timeout` seconds) and returns its
    completed process; the code's own prints come back in stdout."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE] + sys.path))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=env, **kwargs)


# --- replacing a file -----------------------------------------------------------------------

@pytest.mark.parametrize("mode", [0o600, 0o640, 0o755, 0o4711])
def test_overwrite_keeps_permission_bits_and_leaves_no_temporary(tmp_path, mode):
    path = tmp_path / "day.bin"
    path.write_bytes(b"old content")
    os.chmod(path, mode)
    BufferStore(DATA).write_to_file(str(path))
    assert path.read_bytes() == DATA
    assert stat.S_IMODE(os.stat(path).st_mode) == mode
    assert leftovers(tmp_path, ["day.bin"]) == []


def test_a_created_file_gets_the_umask_mode(tmp_path):
    old = os.umask(0o027)
    try:
        BufferStore(DATA).write_to_file(str(tmp_path / "new.bin"))
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(tmp_path / "new.bin").st_mode) == 0o640


@pytest.mark.parametrize("relative", [True, False])
def test_symlinks_are_written_through(tmp_path, relative):
    (tmp_path / "data").mkdir()
    target = tmp_path / "data" / "real.bin"
    target.write_bytes(b"old")
    link = tmp_path / "link.bin"
    os.symlink("data/real.bin" if relative else str(target), link)
    chain = tmp_path / "chain.bin"
    os.symlink("link.bin", chain)
    BufferStore(DATA).write_to_file(str(chain))
    assert os.path.islink(link) and os.path.islink(chain)
    assert target.read_bytes() == DATA
    assert leftovers(tmp_path / "data", ["real.bin"]) == []
    # A dangling link creates the file it names.
    os.symlink("data/later.bin", tmp_path / "dangling.bin")
    BufferStore(DATA).write_to_file(str(tmp_path / "dangling.bin"))
    assert (tmp_path / "data" / "later.bin").read_bytes() == DATA


def test_a_symlink_loop_fails_and_changes_nothing(tmp_path):
    os.symlink("b", tmp_path / "a")
    os.symlink("a", tmp_path / "b")
    e = raises(OSError, "Too many levels of symbolic links (os error 40)",
               BufferStore(DATA).write_to_file, str(tmp_path / "a"))
    assert e.errno == errno.ELOOP
    assert leftovers(tmp_path, ["a", "b"]) == []


def test_character_devices_are_written_in_place():
    BufferStore(DATA).write_to_file("/dev/null")
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


def assert_failed_write_kept(path, directory, message, code):
    e = raises(OSError, message, BufferStore(BIG).write_to_file, str(path))
    assert e.errno == code
    assert path.read_bytes() == DATA  # the old file, whole
    assert leftovers(directory, [path.name]) == []
    assert len(BufferStore.from_file(str(path)).decode_to_array()) == 2


@pytest.fixture
def small_tmpfs(tmp_path):
    mount = tmp_path / "small"
    mount.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(mount)],
                          capture_output=True)
    if done.returncode != 0:
        pytest.skip("cannot mount a tmpfs here: " + done.stderr.decode(errors="replace").strip())
    try:
        yield mount
    finally:
        subprocess.run(["umount", str(mount)], check=True)


def test_a_full_disk_keeps_the_old_file(small_tmpfs):
    path = small_tmpfs / "day.bin"
    BufferStore(DATA).write_to_file(str(path))
    assert_failed_write_kept(path, small_tmpfs, "No space left on device (os error 28)",
                             errno.ENOSPC)


def test_a_file_size_limit_keeps_the_old_file(tmp_path):
    # The limit makes write() fail with EFBIG part-way, as a full disk fails with ENOSPC.
    path = tmp_path / "day.bin"
    path.write_bytes(DATA)
    done = run_child(f"""
        import resource, signal
        from orx import BufferStore
        from stream_util import mbp1_bytes, stream
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))
        big = stream(*[mbp1_bytes(price=i) for i in range(5000)])
        try:
            BufferStore(big).write_to_file({str(path)!r})
        except OSError as e:
            print(type(e).__name__, e.errno, e)
        """)
    assert done.stdout == "OSError 27 File too large (os error 27)\n", done.stderr
    assert path.read_bytes() == DATA
    assert leftovers(tmp_path, ["day.bin"]) == []


# --- errno ----------------------------------------------------------------------------------

@pytest.mark.parametrize("call,name,message,code", [
    ("read", "missing.bin", "No such file or directory (os error 2)", errno.ENOENT),
    ("read", ".", "Is a directory (os error 21)", errno.EISDIR),
    ("read", "file.bin/x", "Not a directory (os error 20)", errno.ENOTDIR),
    ("write", ".", "Is a directory (os error 21)", errno.EISDIR),
    ("write", "no/such.bin", "No such file or directory (os error 2)", errno.ENOENT),
    ("write", "file.bin/x", "Not a directory (os error 20)", errno.ENOTDIR),
    ("write", "a\0b", "file name contained an unexpected NUL byte", None),
])
def test_failures_carry_errno_with_class_and_message_unchanged(tmp_path, call, name, message,
                                                               code):
    (tmp_path / "file.bin").write_bytes(DATA)
    path = os.path.join(str(tmp_path), name)
    fn = BufferStore.from_file if call == "read" else BufferStore(DATA).write_to_file
    e = raises(OSError, message, fn, path)
    assert (e.errno, e.strerror, e.filename, e.args) == (code, None, None, (message,))


# --- FIFOs and signals ----------------------------------------------------------------------
# Each scenario runs in a child interpreter with a timeout, so that a call that blocks with
# the interpreter lock held fails the test instead of hanging it. Where the child catches a
# signal it runs a single thread, so that the signal interrupts the blocked call.

CHILD_PRELUDE = """
    import os, signal, stat, sys, threading, time
    from orx import BufferStore
    from stream_util import mbp1_bytes, stream
    DATA = stream(mbp1_bytes(price=1), mbp1_bytes(price=2))
    fifo = sys.argv[1]
    """


def scenario(tmp_path, body, parent=None, timeout=20):
    """Runs `body` in a child with a FIFO at `fifo`; `parent(fifo)` runs meanwhile here, in a
    thread. Returns the child's output."""
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    code = textwrap.dedent(CHILD_PRELUDE) + textwrap.dedent(body)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE] + sys.path))
    child = subprocess.Popen([sys.executable, "-c", code, fifo], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    helper = threading.Thread(target=parent, args=(fifo,), daemon=True) if parent else None
    if helper:
        helper.start()
    try:
        out, err = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        child.kill()
        out, err = child.communicate()
        pytest.fail(f"the child did not finish: {out!r} {err!r}")
    finally:
        if helper:
            # A parent still waiting in open() for the child's end is released by an end of
            # our own (opening a FIFO for both never waits).
            helper.join(2)
            if helper.is_alive():
                os.close(os.open(fifo, os.O_RDWR | os.O_NONBLOCK))
                helper.join(5)
    return out, err


def test_reading_a_fifo_lets_other_threads_run(tmp_path):
    # Opening a FIFO waits for a writer; meanwhile the main thread runs Python and then
    # becomes that writer.
    out, err = scenario(tmp_path, """
        got = []
        reader = threading.Thread(target=lambda: got.append(BufferStore.from_file(fifo)))
        reader.start()
        time.sleep(0.3)
        print("main thread ran")
        with open(fifo, "wb") as w:
            w.write(DATA)
        reader.join()
        print(len(got[0].decode_to_array()))
        """)
    assert out == "main thread ran\n2\n", err


def test_writing_a_fifo_lets_other_threads_use_the_same_store(tmp_path):
    out, err = scenario(tmp_path, """
        store = BufferStore(DATA)
        writer = threading.Thread(target=store.write_to_file, args=(fifo,))
        writer.start()
        time.sleep(0.3)
        print(len(store.decode_to_array()), store.metadata.mappings.map)
        with open(fifo, "rb") as r:
            print(r.read() == DATA)
        writer.join()
        """)
    assert out == "2 {7: 'ESZ6'}\nTrue\n", err


RAISING_HANDLER = """
    def handler(signum, frame):
        raise KeyboardInterrupt("from the handler")
    signal.signal(signal.SIGALRM, handler)
    """


def test_a_raising_handler_ends_a_blocked_open(tmp_path):
    out, err = scenario(tmp_path, RAISING_HANDLER + """
    for call in (lambda: BufferStore.from_file(fifo),
                 lambda: BufferStore(DATA).write_to_file(fifo)):
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            call()
        except KeyboardInterrupt as e:
            print("KeyboardInterrupt", e)
    """)
    assert out == "KeyboardInterrupt from the handler\n" * 2, err


def test_a_raising_handler_ends_a_blocked_read(tmp_path):
    # The parent opens the FIFO and sends nothing: the child's read blocks until its alarm.
    writers = []
    out, err = scenario(tmp_path, RAISING_HANDLER + """
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        BufferStore.from_file(fifo)
    except KeyboardInterrupt as e:
        print("KeyboardInterrupt", e)
    """, parent=lambda fifo: writers.append(os.open(fifo, os.O_WRONLY)))
    for fd in writers:
        os.close(fd)
    assert out == "KeyboardInterrupt from the handler\n", err


def test_a_fifo_is_written_in_place(tmp_path):
    got = []

    def parent(fifo):
        with open(fifo, "rb") as r:
            got.append(r.read())

    out, err = scenario(tmp_path, """
    BufferStore(DATA).write_to_file(fifo)
    print(stat.S_ISFIFO(os.stat(fifo).st_mode), os.listdir(os.path.dirname(fifo)))
    """, parent=parent)
    assert got == [DATA] and out == "True ['pipe']\n", err


@pytest.mark.parametrize("wait_in", ["open", "read"])
def test_a_quiet_handler_lets_the_call_go_on(tmp_path, wait_in):
    # The handler runs (and raises nothing) while the call waits; the call then completes. The
    # child tells each run of the handler on stderr; the FIFO is fed only once the handler ran
    # three times after the child said it makes the call, so that it ran inside the call
    # however slowly the child starts.
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    code = textwrap.dedent(CHILD_PRELUDE) + textwrap.dedent("""
    calls = []
    def handler(signum, frame):
        calls.append(signum)
        os.write(2, b"handled\\n")
    signal.signal(signal.SIGALRM, handler)
    os.write(2, b"calling\\n")
    signal.setitimer(signal.ITIMER_REAL, 0.1, 0.1)
    store = BufferStore.from_file(fifo)
    signal.setitimer(signal.ITIMER_REAL, 0)
    print(len(store.decode_to_array()), len(calls) >= 2)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE] + sys.path))
    child = subprocess.Popen([sys.executable, "-c", code, fifo], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    seen = []

    def wait_for_the_handler():
        calling = False
        handled = 0
        for line in child.stderr:
            seen.append(line)
            calling = calling or line == "calling\n"
            handled += calling and line == "handled\n"
            if handled == 3:
                return
        pytest.fail(f"the child ended first: {''.join(seen)}")

    try:
        if wait_in == "open":
            wait_for_the_handler()
            with open(fifo, "wb") as w:
                w.write(DATA)
        else:
            with open(fifo, "wb") as w:
                wait_for_the_handler()
                w.write(DATA)
        out = child.stdout.read()
        assert child.wait(timeout=60) == 0, "".join(seen) + child.stderr.read()
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert out == "2 True\n"


# --- replacing a file piece by piece (orx._ext.ReplacingFile) ---------------------------------

def replace_in_pieces(path, pieces, end):
    from orx import _ext
    f = _ext.ReplacingFile(str(path))
    written = f.written_path()
    for piece in pieces:
        f.write(piece)
    getattr(f, end)()
    return written


PIECES = [b"ab", bytearray(b"cd"), memoryview(b"xef")[1:], b"g" * (3 << 20), b"", b"h"]


@pytest.mark.parametrize("end,want", [("commit", b"".join(PIECES)), ("abandon", b"old")])
@pytest.mark.parametrize("mode", [0o600, 0o4711])
def test_pieces_replace_the_file_on_commit_only(tmp_path, end, want, mode):
    path = tmp_path / "day.bin"
    path.write_bytes(b"old")
    os.chmod(path, mode)
    written = replace_in_pieces(path, PIECES, end)
    assert os.path.dirname(written) == str(tmp_path)
    assert TEMPORARY.match(os.path.basename(written))["target"] == "day.bin"
    assert path.read_bytes() == want
    assert stat.S_IMODE(os.stat(path).st_mode) == mode
    assert leftovers(tmp_path, ["day.bin"]) == []


def test_a_replacement_through_a_symlink_and_after_its_end(tmp_path):
    from orx import _ext
    (tmp_path / "real.bin").write_bytes(b"old")
    os.symlink("real.bin", tmp_path / "link.bin")
    replace_in_pieces(tmp_path / "link.bin", [b"new"], "commit")
    assert os.path.islink(tmp_path / "link.bin")
    assert (tmp_path / "real.bin").read_bytes() == b"new"
    f = _ext.ReplacingFile(str(tmp_path / "x"))
    f.abandon()
    f.abandon()  # nothing happens
    for call in (lambda: f.write(b"x"), f.commit, f.written_path):
        raises(ValueError, "the replacement was already committed or abandoned", call)
    with pytest.raises(TypeError):
        _ext.ReplacingFile(str(tmp_path / "y")).write("text")
    assert leftovers(tmp_path, ["real.bin", "link.bin"]) == []


def test_the_writer_names_the_target_in_its_errors(tmp_path):
    from orx._writer import ReplacingFile
    missing = tmp_path / "no" / "day.bin"
    with pytest.raises(FileNotFoundError) as info:
        ReplacingFile(missing)
    assert (info.value.errno, info.value.strerror, info.value.filename) == (
        errno.ENOENT, "No such file or directory", str(missing))


def test_a_fifo_is_replaced_in_place_piece_by_piece(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(open(fifo, "rb").read()))
    reader.start()
    written = replace_in_pieces(fifo, [b"a", b"b" * (2 << 20)], "commit")
    reader.join(10)
    assert written == str(fifo) and got == [b"a" + b"b" * (2 << 20)]
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)
