"""The service as users run it: `python -m orx serve` in a child process on an ephemeral
127.0.0.1 port, ready once it printed its URL, stopped with SIGTERM (killed if it hangs)."""

import queue
import re
import signal
import struct
import subprocess
import sys
import threading

import numpy as np
import pytest

import orx
from catalog_util import DAY0, NS_DAY, TICKERS
from stream_util import mbp1_bytes, metadata_body, stream

READY_TIMEOUT = 60  # seconds a server may take to start on a loaded machine


class Server:
    """A running `orx serve`: its URL, its stderr lines as they come, and how to stop it."""

    def __init__(self, catalog, *args):
        self.args = [sys.executable, "-m", "orx", "serve", str(catalog), "--port", "0", *args]
        self.proc = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True)
        self.lines = queue.Queue()
        self.stderr = []
        first = queue.Queue()
        threading.Thread(target=self._pump_stdout, args=(first,), daemon=True).start()
        threading.Thread(target=self._pump_stderr, daemon=True).start()
        try:
            line = first.get(timeout=READY_TIMEOUT)
        except queue.Empty:
            self.kill()
            raise RuntimeError(f"orx serve did not start: {''.join(self.stderr)}") from None
        m = re.search(r"(http://\S+)", line or "")
        if m is None:
            self.kill()
            raise RuntimeError(f"orx serve said {line!r}; stderr: {''.join(self.stderr)}")
        self.url = m.group(1)
        self.startup_line = line

    def _pump_stdout(self, first):
        for line in self.proc.stdout:
            first.put(line)
        first.put(None)

    def _pump_stderr(self):
        for line in self.proc.stderr:
            self.stderr.append(line)
            self.lines.put(line)

    def wait_for_log(self, pattern, timeout=30):
        """The next stderr line matching `pattern` (a regular expression)."""
        import time

        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no log line like {pattern!r}: {''.join(self.stderr)}")
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if re.search(pattern, line):
                return line

    def stop(self, timeout=30):
        """SIGTERM, then the exit status (killed, and an error, if it does not end)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("orx serve did not stop on SIGTERM") from None

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def big_day(n, day=3, ids=(7, 8)):
    """A stream of `n` MBP-1 records on day `day` of the test days, instruments alternating,
    times rising: large enough that a reader who stops reading holds the stream open."""
    one = np.frombuffer(mbp1_bytes(), dtype="V96")
    arr = np.tile(one, n)
    view = arr.view(np.uint8).reshape(n, 96)
    ts = DAY0 + day * NS_DAY + np.arange(n, dtype=np.uint64) * (NS_DAY // (n + 1))
    view[:, 8:16] = ts.view(np.uint8).reshape(n, 8)
    iid = np.asarray(ids, dtype=np.uint32)[np.arange(n) % len(ids)]
    view[:, 4:8] = iid.view(np.uint8).reshape(n, 4)
    price = np.arange(n, dtype=np.int64)
    view[:, 24:32] = price.view(np.uint8).reshape(n, 8)
    return stream(symbols=tuple(TICKERS.items())) + arr.tobytes()


BIG = 250_000  # records of the big day: 24 MB raw


def make_catalog(root):
    """Futures MBP-1 (days 0-2 small, day 3 big) and trades (days 0-1), Equities MBP-1 (day
    1): what the service's tests ask for."""
    from catalog_util import records, spread
    from stream_util import trade_bytes

    cat = orx.Catalog(root)
    cat.write(records(spread(3, 6)))
    cat.write(big_day(BIG))
    trades = [trade_bytes(iid=7 + k % 2, ts=DAY0 + d * NS_DAY + k * 1000, price=k)
              for d in range(2) for k in range(4)]
    cat.write(stream(*trades, symbols=tuple(TICKERS.items()), schema=6))
    cat.write(equities())
    return cat


def equities(n=3):
    """`n` MBP-1 records of AAPL (id 40) on day 1, in the Equities dataset."""
    body = metadata_body(dataset=2, symbols=((40, "AAPL"),))
    recs = [mbp1_bytes(iid=40, ts=DAY0 + NS_DAY + k, price=k) for k in range(n)]
    return struct.pack("<H", len(body)) + body + b"".join(recs)


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    """A catalog made by make_catalog, one per test module."""
    root = tmp_path_factory.mktemp("served")
    make_catalog(root)
    return root


@pytest.fixture(scope="module")
def catalog(root):
    return orx.Catalog(root)


@pytest.fixture(scope="module")
def server(root):
    """`orx serve` over `root`, one per test module; it must stop cleanly, without a traceback."""
    s = Server(root)
    yield s
    assert s.stop() == 0, "".join(s.stderr)
    assert "Traceback" not in "".join(s.stderr)
