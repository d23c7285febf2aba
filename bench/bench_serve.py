"""The historical-data service on 127.0.0.1: a real `orx serve` process over a generated
catalog of 20 trading days of MBP-1 records for 10 instruments.

1. get_range to pandas through orx.Client (zstd and raw) against Catalog.query(...).to_pandas()
   in this process: one symbol over 20 days, every symbol over one day. Target: at most 1.4x.
2. Bytes per second of a large raw answer against the same stack (starlette on uvicorn)
   serving a static file of the same bytes (FileResponse). Target: at least 0.8x.
3. CLIENTS concurrent clients (4 processes of 8 threads) for DURATION seconds, mixing
   metadata calls and ranges: errors, p50 and p99 of each call, the server's peak RSS
   (target: under 400 MB).

    python bench/bench_serve.py [--repeats 5] [--per-day 100000] [--duration 10] [--clients 32]

Medians of interleaved rounds; every figure is printed with the machine's load average.
"""

import argparse
import json
import multiprocessing as mp
import os
import queue
import random
import re
import resource
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import pandas as pd

from common import interleaved, report

import orx
from orx._kinds import record_dtype

HERE = os.path.dirname(os.path.abspath(__file__))
NS_DAY = 86_400 * 1_000_000_000
DAY0 = 20_423 * NS_DAY  # 2025-12-01
SYMBOLS = [f"SYM{i:02d}" for i in range(1, 11)]
PX = 1_000_000_000


def load():
    return "load average " + ", ".join(f"{x:.1f}" for x in os.getloadavg()) + \
        f" on {os.cpu_count()} cores"


def trading_days(n=20):
    day, out = DAY0, []
    while len(out) < n:
        if (day // NS_DAY + 3) % 7 < 5:  # Monday to Friday (1970-01-01 was a Thursday)
            out.append(day)
        day += NS_DAY
    return out


def make_day(start, n, rng):
    """n book updates over the session, a random walk of one-tick steps per instrument."""
    a = np.zeros(n, dtype=record_dtype(1))
    a["length"], a["rtype"] = 24, 1
    iid = rng.integers(1, len(SYMBOLS) + 1, n)
    a["instrument_id"] = iid
    t = np.sort(rng.integers(start + 14 * 3600 * 10**9, start + 21 * 3600 * 10**9, n))
    a["ts_event"], a["ts_recv"] = t, t + rng.integers(200, 900, n)
    steps = rng.integers(-1, 2, n) * (PX // 4)
    price = np.empty(n, np.int64)
    for i in range(1, len(SYMBOLS) + 1):
        m = iid == i
        price[m] = (4000 + 100 * i) * PX + np.cumsum(steps[m])
    a["price"] = price
    a["size"] = rng.integers(1, 50, n)
    a["action"] = np.array([b"A", b"C", b"M", b"T"])[rng.integers(0, 4, n)]
    a["side"] = np.array([b"A", b"B"])[rng.integers(0, 2, n)]
    a["bid_px"], a["ask_px"] = price - PX // 4, price
    a["bid_sz"], a["ask_sz"] = rng.integers(1, 200, n), rng.integers(1, 200, n)
    a["bid_ct"], a["ask_ct"] = rng.integers(1, 20, n), rng.integers(1, 20, n)
    a["sequence"] = np.arange(n)
    return a


def build(root, per_day):
    rng = np.random.default_rng(17)
    meta = orx.Metadata(orx.Schema.MBP1, orx.Dataset.FUTURES, 0, 0,
                        orx.SymbolMap({i + 1: s for i, s in enumerate(SYMBOLS)}))
    cat = orx.Catalog(root)
    days = trading_days()
    for d in days:
        cat.write(make_day(d, per_day, rng), meta)
    return cat, days


def params(symbols, start, end):
    p = orx.RetrieveParams(symbols, "1970-01-01", "1970-01-01", orx.Schema.MBP1,
                           orx.Dataset.FUTURES, orx.Stype.RAW)
    p.start_ts, p.end_ts = start, end
    return p


class Proc:
    """A server process that prints its URL once ready (stdout), stopped with SIGTERM."""

    def __init__(self, args, env=None, url=None):
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, env=env)
        if url is None:
            line = self.proc.stdout.readline()
            m = re.search(r"(http://\S+)", line)
            if m is None:
                raise RuntimeError(f"no URL from {args}: {line!r} {self.proc.stderr.read()}")
            url = m.group(1)
        self.url = url

    def peak_rss_mb(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
        return float("nan")

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def serve(root, *args):
    return Proc([sys.executable, "-m", "orx", "serve", root, "--port", "0", *args])


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def static_server(path):
    """The same stack (starlette on uvicorn, httptools) serving `path` as a static file."""
    import httpx

    port = free_port()
    p = Proc([sys.executable, "-m", "uvicorn", "bench_serve_stack:starlette_app", "--app-dir",
              HERE, "--port", str(port), "--host", "127.0.0.1", "--http", "httptools",
              "--no-access-log", "--log-level", "warning"],
             env=dict(os.environ, ORX_STACK_FILE=path), url=f"http://127.0.0.1:{port}")
    deadline = time.monotonic() + 60
    while True:
        try:
            httpx.get(p.url + "/json", timeout=1)
            return p
        except httpx.TransportError:
            if time.monotonic() > deadline or p.proc.poll() is not None:
                raise RuntimeError("static server did not start") from None
            time.sleep(0.05)


# --- 1. to pandas through the client ---------------------------------------------------------

def bench_frames(cat, days, url, repeats):
    client = orx.Client(url)
    cases = {
        "1 symbol x 20 days": params(["SYM03"], days[0], days[-1] + NS_DAY),
        "all symbols x 1 day": params([], days[7], days[7] + NS_DAY),
    }
    for title, p in cases.items():
        want = cat.query(p).to_pandas()
        for compression in ("zstd", None):
            got = client.timeseries.get_range(p, compression=compression).to_pandas()
            pd.testing.assert_frame_equal(got, want, check_exact=True)
        medians = interleaved({
            "Catalog.query().to_pandas()": lambda: cat.query(p).to_pandas(),
            "Client get_range zstd": lambda: client.timeseries.get_range(p).to_pandas(),
            "Client get_range raw": lambda: client.timeseries.get_range(
                p, compression=None).to_pandas(),
        }, repeats=repeats)
        report(f"get_range to pandas, {title} ({len(want):,} records); {load()}", medians,
               "Catalog.query().to_pandas()", len(want), "records")
    client.close()


# --- 2. stream throughput against a static file ---------------------------------------------

def bench_throughput(cat, days, url, tmp, repeats):
    import httpx

    p = params([], days[0], days[-1] + NS_DAY)
    path = os.path.join(tmp, "answer.orx")
    cat.query(p).write(path)
    size = os.path.getsize(path)
    static = static_server(path)
    try:
        body = p.to_json()

        def fetch(method, target, **kw):
            got = 0
            with httpx.Client(timeout=120) as c:
                with c.stream(method, target, **kw) as r:
                    r.raise_for_status()
                    for chunk in r.iter_raw(1 << 20):
                        got += len(chunk)
            assert got == size, (got, size)

        def made():
            assert sum(len(piece) for piece in cat.query(p).stream(None)) == size

        medians = interleaved({
            "static file (FileResponse)": lambda: fetch("GET", static.url + "/file"),
            "the catalog's stream, in process": made,
            "orx serve get_range raw": lambda: fetch(
                "POST", url + "/v0/timeseries.get_range", params={"compression": "none"},
                content=body),
        }, repeats=repeats)
        print(f"large answer: {size / 1e6:,.0f} MB raw; {load()}")
        base = medians["static file (FileResponse)"]
        for name, t in medians.items():
            print(f"  {name:34} {size / t / 1e6:9,.0f} MB/s   x{base / t:5.2f} of the static "
                  "file's rate")
    finally:
        static.stop()


# --- 3. concurrent clients -------------------------------------------------------------------

def _worker(url, days, duration, threads, seed, out):
    """One process of `threads` clients, each calling in a loop until `duration` runs out;
    puts {call: [seconds...]} and the errors seen."""
    rng = random.Random(seed)
    stop = time.monotonic() + duration
    lat: dict[str, list[float]] = {}
    errors: list[str] = []
    lock = threading.Lock()

    def client_loop(k):
        r = random.Random(seed * 100 + k)
        with orx.Client(url) as c:
            calls = {
                "list_datasets": lambda: c.metadata.list_datasets(),
                "list_schemas": lambda: c.metadata.list_schemas("Futures"),
                "get_dataset_range": lambda: c.metadata.get_dataset_range("Futures"),
                "list_symbols": lambda: c.metadata.list_symbols("Futures", "mbp-1"),
                "get_record_count": lambda: c.metadata.get_record_count(one()),
                "resolve": lambda: c.symbology.resolve(one()),
                "get_range 1 symbol x 1 day": lambda: len(
                    c.timeseries.get_range(one()).to_numpy()),
                "get_range 1 symbol x 5 days": lambda: len(
                    c.timeseries.get_range(five()).to_numpy()),
            }
            names = list(calls)
            while time.monotonic() < stop:
                name = r.choice(names)
                t0 = time.perf_counter()
                try:
                    calls[name]()
                except Exception as exc:  # counted, and the loop goes on
                    with lock:
                        errors.append(f"{name}: {type(exc).__name__}: {exc}")
                    continue
                with lock:
                    lat.setdefault(name, []).append(time.perf_counter() - t0)

    def one():
        d = rng.randrange(len(days))
        return params([rng.choice(SYMBOLS)], days[d], days[d] + NS_DAY)

    def five():
        d = rng.randrange(len(days) - 5)
        return params([rng.choice(SYMBOLS)], days[d], days[d + 4] + NS_DAY)

    ts = [threading.Thread(target=client_loop, args=(k,)) for k in range(threads)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    out.put((lat, errors))


def bench_concurrency(root, days, clients, duration):
    server = serve(root, "--max-streams", str(clients))
    try:
        procs, out = [], mp.Queue()
        per = max(1, clients // 4)
        n = (clients + per - 1) // per
        load0 = load()
        for i in range(n):
            p = mp.Process(target=_worker, args=(server.url, days, duration,
                                                 min(per, clients - i * per), i + 1, out))
            p.start()
            procs.append(p)
        lat: dict[str, list[float]] = {}
        errors: list[str] = []
        for _ in procs:
            try:
                got, errs = out.get(timeout=duration + 300)
            except queue.Empty:
                errors.append("a client process did not report")
                continue
            for k, v in got.items():
                lat.setdefault(k, []).extend(v)
            errors += errs
        for p in procs:
            p.join(60)
        rss = server.peak_rss_mb()
    finally:
        server.stop()
    calls = sum(len(v) for v in lat.values())
    print(f"{clients} concurrent clients for {duration:.0f} s: {calls:,} calls, "
          f"{len(errors)} errors; server peak RSS {rss:,.0f} MB (target < 400 MB); "
          f"{load0} at the start, {load()} at the end")
    for name in sorted(lat):
        v = sorted(lat[name])
        p99 = v[min(len(v) - 1, int(len(v) * 0.99))]
        print(f"  {name:30} {len(v):7,} calls   p50 {statistics.median(v) * 1e3:8.1f} ms   "
              f"p99 {p99 * 1e3:8.1f} ms")
    for e in errors[:10]:
        print("  error:", e)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--per-day", type=int, default=100_000)
    ap.add_argument("--duration", type=float, default=10.0)
    ap.add_argument("--clients", type=int, default=32)
    ap.add_argument("--only", choices=("frames", "throughput", "concurrency"))
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="orx-bench-serve-") as tmp:
        root = os.path.join(tmp, "catalog")
        t0 = time.perf_counter()
        cat, days = build(root, args.per_day)
        print(f"catalog: {len(days)} days x {args.per_day:,} MBP-1 records, {len(SYMBOLS)} "
              f"instruments, built in {time.perf_counter() - t0:.1f} s; {load()}")
        server = serve(root, "--max-streams", "8")
        try:
            if args.only in (None, "frames"):
                bench_frames(cat, days, server.url, args.repeats)
            if args.only in (None, "throughput"):
                bench_throughput(cat, days, server.url, tmp, args.repeats)
            print(f"server peak RSS so far {server.peak_rss_mb():,.0f} MB; this process "
                  f"{resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:,.0f} MB")
        finally:
            server.stop()
        if args.only in (None, "concurrency"):
            bench_concurrency(root, days, args.clients, args.duration)


if __name__ == "__main__":
    main()
