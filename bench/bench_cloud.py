"""The catalog on object storage and Dask on a LocalCluster of 2 worker processes, side by side
with their baselines in one run (20 trading days x 100,000 MBP-1 records, half of them trades).

1. groupby mean/count of price by symbol through `to_dask` against `dd.read_parquet` of a
   Parquet copy of the same records (one file a day);
2. one read task on a worker against the same read in this process (timed where it runs), with
   the workers' default environment and without the MALLOC_TRIM_THRESHOLD_ dask's nanny sets;
3. OHLCV 1-minute bars of the 20 days on the 2 workers (orx.dask.ohlcv) against
   orx.reduce.ohlcv of the query result in one process;
4. a 1-symbol 20-day query against the S3 emulator (moto on 127.0.0.1): the bytes it served
   against the bytes of the blocks the plan needs, and its time against the local directory;
5. planning a request for 2 symbols over 5 years of days x 500 symbols from a synthetic index
   (no data objects), in an in-memory store and through the emulator, against pyarrow reading
   and filtering the same blocks as one Parquet table, and against the earlier JSON index.

Arguments: [repeats] [records per day].
"""

import os
import resource
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np
import pandas as pd

from common import interleaved, report

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import bench_catalog as bc  # noqa: E402
from s3_server import BUCKET, S3Server  # noqa: E402

import orx  # noqa: E402
import orx.dask  # noqa: E402
from orx import reduce  # noqa: E402

REPEATS = int(sys.argv[1]) if len(sys.argv) > 1 else 3
PER_DAY = int(sys.argv[2]) if len(sys.argv) > 2 else 100_000
bc.PER_DAY = PER_DAY


def load():
    return "load average %.1f %.1f %.1f" % os.getloadavg()


def rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def build(cat, days):
    rng = np.random.default_rng(7)
    meta = orx.Metadata(orx.Schema.MBP1, orx.Dataset.FUTURES, 0, 0,
                        orx.SymbolMap({i: f"SYM{i:02d}" for i in range(1, bc.SYMBOLS + 1)}))
    for d in days:
        day = bc.make_day(d, rng)
        day["action"][::2] = b"T"
        cat.write(day, meta)


def timed_in(fn, *args):
    """Wall time, CPU time of this thread and its minor page faults, of fn(*args)."""
    f = resource.getrusage(resource.RUSAGE_THREAD).ru_minflt
    c, t = time.thread_time(), time.perf_counter()
    fn(*args)
    return (time.perf_counter() - t, time.thread_time() - c,
            resource.getrusage(resource.RUSAGE_THREAD).ru_minflt - f)


def bench_dask(cat, days, root):
    import dask
    import dask.dataframe as dd
    from dask.distributed import Client, LocalCluster

    p = bc.params([], days)
    pq = os.path.join(root, "parquet")
    os.makedirs(pq)
    result = cat.query(p)
    for part in result.plan.parts:  # the peer's copy: one Parquet file a day
        df = part_frame(part)
        df.to_parquet(os.path.join(pq, f"{part.day}.parquet"), index=False)
    rows = len(result)
    pieces = [result.plan.with_parts([x]) for part in result.plan.parts for x in part.pieces()]
    empty = orx.dask._meta(result.plan.kind, False)
    for plain, title in ((False, "workers as dask starts them"),
                         (True, "workers without MALLOC_TRIM_THRESHOLD_")):
        config = {"distributed.nanny.pre-spawn-environ": {}} if plain else {}
        environ = plain
        with dask.config.set(config), LocalCluster(
                n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                worker_dashboard_address=None) as lc, Client(lc) as client:
            client.run(lambda: __import__("orx.dask"))

            def orx_groupby():
                ddf = cat.to_dask(p)
                return client.compute(ddf.groupby("symbol")["price"].agg(["mean", "count"],
                                                                         split_out=1)).result()

            def parquet_groupby():
                ddf = dd.read_parquet(pq)
                return client.compute(ddf.groupby("symbol")["price"].agg(["mean", "count"],
                                                                         split_out=1)).result()

            a, b = orx_groupby().sort_index(), parquet_groupby().sort_index()
            assert a["count"].tolist() == b["count"].tolist()
            if not environ:
                medians = interleaved({"dd.read_parquet groupby": parquet_groupby,
                                       "to_dask groupby": orx_groupby}, repeats=REPEATS)
                report(f"groupby mean/count of price by symbol, {rows:,} rows, 2 workers "
                       f"({load()})", medians, "dd.read_parquet groupby")
            # one read task where it runs: on a worker, and here (all columns, and the two a
            # groupby of price by symbol asks for)
            for what, columns in (("all columns", None), ("symbol, price", ["symbol", "price"])):
                on_worker, here = [], []
                for _ in range(REPEATS):
                    for k in range(0, len(pieces), 3):
                        on_worker.append(client.submit(
                            timed_in, orx.dask._partition, pieces[k], False, empty, False,
                            columns, pure=False).result())
                        here.append(timed_in(orx.dask._partition, pieces[k], False, empty,
                                             False, columns))
                (w, wc, wf), (h, hc, hf) = ([statistics.median(x) for x in zip(*t)]
                                            for t in (on_worker, here))
                print(f"a read task ({PER_DAY:,} records, {what}), {title}: on a worker "
                      f"{w * 1e3:.1f} ms ({wc * 1e3:.1f} ms CPU, {wf:,.0f} page faults), in "
                      f"process {h * 1e3:.1f} ms ({hc * 1e3:.1f} ms CPU, {hf:,.0f} faults): "
                      f"x{w / h:.2f} wall, x{wc / hc:.2f} CPU (target <= 1.3; {load()})")
            if not environ:
                single = reduce.ohlcv(cat.query(p), "1min")
                dist = client.compute(orx.dask.ohlcv(cat.query(p), "1min")).result()
                pd.testing.assert_frame_equal(dist, single, check_exact=True)
                medians = interleaved({
                    "reduce.ohlcv, one process": lambda: reduce.ohlcv(cat.query(p), "1min"),
                    "orx.dask.ohlcv, 2 workers": lambda: client.compute(
                        orx.dask.ohlcv(cat.query(p), "1min")).result()}, repeats=REPEATS)
                report(f"OHLCV 1-minute bars over {len(days)} days ({len(single):,} bars; "
                       f"{load()})", medians, "reduce.ohlcv, one process")
                print(f"  speed-up on 2 workers: x{medians['reduce.ohlcv, one process'] / medians['orx.dask.ohlcv, 2 workers']:.2f} "
                      f"(target >= 1.3; {os.cpu_count()} cores shared with other work)")


def part_frame(part):
    from orx.catalog import Plan

    plan = Plan(orx.Schema.MBP1, orx.Dataset.FUTURES, part.start, part.end, part.kind, (part,))
    return plan.result().to_pandas()


def bench_s3(local, days):
    server = S3Server()
    try:
        url = f"s3://{BUCKET}/bench"
        remote = orx.Catalog(url, server.options)
        for f in local.files(orx.Dataset.FUTURES, orx.Schema.MBP1):  # the same days, written anew
            remote.write(local.query(bc.params([], [f.entry.start // bc.NS_DAY * bc.NS_DAY])))
        p = bc.params(["SYM17"], days)
        plan = remote.plan(p)
        need = sum(part.head[1] + sum(b[5] for b in part.blocks) for part in plan.parts)
        blocks = sum(b[5] for part in plan.parts for b in part.blocks)
        server.reset()
        assert remote.query(p).to_bytes() == local.query(p).to_bytes()
        served = server.requests()
        data = sum(r[5] for r in served if not r[1].endswith("_index.json"))
        index = sum(r[5] for r in served if r[1].endswith("_index.json"))
        print(f"1-symbol {len(days)}-day query against the S3 emulator: {len(served)} requests, "
              f"{data:,} bytes of day objects for {blocks:,} bytes of blocks (+ {need - blocks:,} "
              f"of metadata): x{data / blocks:.3f} (target <= 1.2), x{data / need:.3f} of "
              f"what the plan needs; index {index:,} bytes")
        medians = interleaved({"local directory": lambda: local.query(p).to_pandas(),
                               "S3 emulator": lambda: remote.query(p).to_pandas()},
                              repeats=REPEATS)
        report(f"  time ({load()})", medians, "local directory")
        bench_planning(server)
    finally:
        server.stop()


def synthetic_entries(days, instruments):
    """Index entries of `days` days of `instruments` instruments, one block each."""
    from orx.catalog._index import Entry
    from orx.catalog._records import day_of
    from orx.catalog._storage import FileStat

    out = []
    for d in range(days):
        lo = bc.DAY0 - 5 * 365 * bc.NS_DAY + d * bc.NS_DAY
        day = day_of(lo).isoformat()
        inst = tuple((i, f"S{i:04d}", 200, lo + i, lo + i + 10**12) for i in range(instruments))
        blocks = tuple((i, 200, lo + i, lo + i + 10**12, 100 + 4000 * i, 4000)
                       for i in range(instruments))
        out.append(Entry(f"{day}@{d:016x}.orx.zst", day, 1, FileStat(100 + 4000 * instruments, 0,
                                                                     d),
                         200 * instruments, lo, lo + instruments + 10**12 - 1, inst, (0, 100),
                         blocks, ()))
    return out


def bench_planning(server):
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    from orx.catalog import _index

    days = 5 * 252
    entries = synthetic_entries(days, 500)
    doc, old = _index.dump(entries, []), _index.dump_json(entries, [])
    p = orx.RetrieveParams([], "2025-01-01", "2025-01-02", orx.Schema.MBP1, orx.Dataset.FUTURES,
                           orx.Stype.RAW)
    p.symbols = ["S0007", "S0420"]
    p.start_ts, p.end_ts = bc.DAY0 - 6 * 365 * bc.NS_DAY, bc.DAY0
    server.client().put_object(Bucket=BUCKET, Key="plan/FUTURES/mbp-1/_index.json", Body=doc)
    stores = {}
    for name, data in (("tables", doc), ("json", old)):
        mem = orx.Catalog(f"memory://orx-bench-plan-{name}")
        mem._storage.fs.pipe_file(mem._storage.full("FUTURES/mbp-1/_index.json"), data)
        stores[name] = mem
    # the peer: the same blocks as one Parquet table, read and filtered by pyarrow
    cols = {k: [] for k in ("file", "ticker", "id", "records", "first", "last", "offset",
                            "length")}
    for e in entries:
        for (i, t, _, _, _), (_, n, a, z, off, length) in zip(e.instruments, e.blocks):
            for k, v in zip(cols, (e.file, t, i, n, a, z, off, length)):
                cols[k].append(v)
    sink = pa.BufferOutputStream()
    pq.write_table(pa.table(cols), sink)
    parquet = sink.getvalue()
    del cols

    def peer():
        t = pq.read_table(pa.BufferReader(parquet))
        mask = pc.and_(pc.is_in(t["ticker"], pa.array(p.symbols)),
                       pc.and_(pc.greater_equal(t["last"], p.start_ts),
                               pc.less(t["first"], p.end_ts)))
        return t.filter(mask).to_pylist()

    s3 = lambda: orx.Catalog(f"s3://{BUCKET}/plan", server.options).plan(p)  # noqa: E731
    memory = lambda: orx.Catalog("memory://orx-bench-plan-tables").plan(p)  # noqa: E731
    assert len(s3().parts) == days and len(peer()) == 2 * days
    same = lambda plan: [(x.day, x.ids, x.instruments, x.blocks) for x in plan.parts]  # noqa: E731
    assert same(memory()) == same(orx.Catalog("memory://orx-bench-plan-json").plan(p))
    medians = interleaved({"pyarrow: Parquet of the blocks": peer,
                           "memory store, new Catalog": memory,
                           "S3 emulator, new Catalog": s3}, repeats=REPEATS)
    report(f"planning 2 symbols over {days} days x 500 symbols from a {len(doc) / 2**20:.0f} MB "
           f"index (Parquet {len(parquet) / 2**20:.0f} MB; {load()}; target < 1 s)", medians,
           "pyarrow: Parquet of the blocks")
    medians = interleaved({"index of tables": memory,
                           "index in JSON (the earlier form)": lambda: orx.Catalog(
                               "memory://orx-bench-plan-json").plan(p)},
                          repeats=max(1, REPEATS // 2), warmup=0)
    report(f"  against the earlier JSON index ({len(old) / 2**20:.0f} MB; {load()})", medians,
           "index of tables")


def main():
    print(f"{load()} before; {os.cpu_count()} cores")
    root = tempfile.mkdtemp(prefix="orx-cloud-bench-")
    try:
        days = bc.trading_days()
        cat = orx.Catalog(os.path.join(root, "local"), compression="zstd")
        build(cat, days)
        bench_s3(cat, days)
        bench_dask(cat, days, root)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print(f"{load()} after; peak RSS {rss_mb():.0f} MB")


if __name__ == "__main__":
    main()
